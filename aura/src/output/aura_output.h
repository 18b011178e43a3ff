// The outputs: where the mix goes. Each output pulls the DSP graph one block
// at a time through mixBlock, either on a mixer thread of its own (real-time
// outputs) or once per System::update on the caller's thread (non-real-time
// outputs, which make tests deterministic).
#ifndef AURA_OUTPUT_H
#define AURA_OUTPUT_H

#include "aura.h"
#include "aura_dsp.h"

#include <atomic>
#include <cstdint>

namespace AURA {

class DSPMixer;
class ChannelPool;


// What the system asks of an output at init.
struct OutputFormat {
    int rate;                    // frames a second
    AURA_SOUND_FORMAT format;    // PCM16 or PCMFLOAT (what is written)
    int channels;                // interleaved output channels
    AURA_SPEAKERMODE speakermode;
    unsigned int blocklength;    // frames a mix block
    int numblocks;               // blocks of device buffering
};

class Output {
public:
    virtual ~Output() = default;

    // Opens the device or file; the format may be adjusted to what the
    // device takes (the caller reads it back).
    virtual AURA_RESULT init(DSPMixer *system, OutputFormat &format, void *extradriverdata) = 0;
    // Starts mixing (a real-time output starts its mixer thread).
    virtual AURA_RESULT start() = 0;
    // Stops mixing; the mixer thread is joined.
    virtual AURA_RESULT stop() = 0;
    // Closes the device or file (a WAV writer fixes its header here).
    virtual AURA_RESULT close() = 0;
    // Non-real-time outputs mix and write one block here; others do nothing.
    virtual AURA_RESULT update() { return AURA_OK; }
    [[nodiscard]] virtual bool isRealTime() const = 0;
    [[nodiscard]] virtual const char *getName() const = 0;

    // The mix step: applies the queued graph changes, pulls one block of
    // `frames` frames from the sound card into buffer in the output format
    // and advances the system's DSP clock. Any thread; takes the DSP section.
    AURA_RESULT mixBlock(void *buffer, unsigned int frames);

    // Frames mixed so far.
    [[nodiscard]] uint64_t getFramesMixed() const { return mFramesMixed.load(std::memory_order_acquire); }

    DSPMixer *mSystem = nullptr;
    OutputFormat mFormat{};
    ChannelPool *mChannelPool = nullptr;   // voices of this output (software mixer)

protected:
    // Checks what init was asked for: 37 for a rate, channel count or block
    // length out of range. Formats other than PCM16 and PCMFLOAT become
    // PCM16, which every output writes.
    static AURA_RESULT checkFormat(OutputFormat &format);

    std::atomic<uint64_t> mFramesMixed{0};
};

} // namespace AURA

#endif // AURA_OUTPUT_H
