// The sound device, through ALSA's "default" playback device.
#ifndef AURA_OUTPUT_ALSA_H
#define AURA_OUTPUT_ALSA_H

#include "os/aura_thread.h"
#include "output/aura_output.h"
#include "output/aura_output_clock.h"
#include "output/aura_output_description.h"

#include <atomic>
#include <cstdint>

struct _snd_pcm;

namespace AURA {

// The registry record of the sound device's output: empty until
// getDescriptionEx fills it.
extern AURA_OUTPUT_DESCRIPTION_EX alsaoutput;

class OutputALSA final : public Output {
public:
    static AURA_OUTPUT_DESCRIPTION_EX *getDescriptionEx();
    OutputALSA() = default;
    ~OutputALSA() override;
    OutputALSA(const OutputALSA &) = delete;
    OutputALSA &operator=(const OutputALSA &) = delete;

    // Opens the device with a period of one block and a buffer of numblocks
    // periods; the rate and numblocks are read back from what the device
    // took. Every failure is 62 and leaves nothing open; getErrorText says
    // what failed.
    AURA_RESULT init(DSPMixer *system, OutputFormat &format, void *extradriverdata) override;
    AURA_RESULT start() override;
    AURA_RESULT stop() override;
    // Plays out what the device holds, then closes it.
    AURA_RESULT close() override;
    // 59 once the device has failed beyond recovery (mixing goes on, paced
    // by the clock, so that the game's time keeps running).
    AURA_RESULT update() override { return mError.load(std::memory_order_acquire); }
    [[nodiscard]] bool isRealTime() const override { return true; }
    [[nodiscard]] const char *getName() const override { return "alsa"; }

    [[nodiscard]] const char *getErrorText() const { return mErrorText; }
    [[nodiscard]] const Thread &getMixerThread() const { return mThread; }
    [[nodiscard]] unsigned int getBufferFrames() const { return static_cast<unsigned int>(mBufferFrames); }

private:
    AURA_RESULT fail(const char *call, int err);
    static void mixerThread(void *param);
    void mixStep();
    void writeBlock();

    _snd_pcm *mPCM = nullptr;
    void *mBlock = nullptr;
    unsigned int mBlockBytes = 0;
    unsigned int mFrameBytes = 0;
    uint64_t mBufferFrames = 0;
    Thread mThread;
    // Mixer thread only while it runs.
    OutputClock mClock;
    uint64_t mWritten = 0;      // frames handed to the device since start
    bool mDeviceLost = false;
    std::atomic<AURA_RESULT> mError{AURA_OK};
    char mErrorText[160] = {};
};

} // namespace AURA

#endif // AURA_OUTPUT_ALSA_H
