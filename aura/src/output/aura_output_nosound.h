// Outputs that mix into memory and play nothing: the real-time one keeps a
// game's clock running without a sound device, the non-real-time one mixes
// a block per update. The WAV writers build on them.
#ifndef AURA_OUTPUT_NOSOUND_H
#define AURA_OUTPUT_NOSOUND_H

#include "os/aura_thread.h"
#include "output/aura_output.h"
#include "output/aura_output_clock.h"
#include "output/aura_output_description.h"

#include <atomic>
#include <cstdint>

namespace AURA {

// Mixes one block at a time into a buffer of its own and hands each block
// to writeBlock.
class OutputBuffered : public Output {
public:
    ~OutputBuffered() override;

    // 37 for a null system or a format out of range, 32 when already open,
    // 44 when the block buffer cannot be allocated.
    AURA_RESULT init(DSPMixer *system, OutputFormat &format, void *extradriverdata) override;
    AURA_RESULT close() override;

    // The first failure of a block mixed on the mixer thread (0 if none).
    [[nodiscard]] AURA_RESULT getError() const { return mError.load(std::memory_order_acquire); }

protected:
    // What happens to a mixed block; nothing here.
    virtual AURA_RESULT writeBlock(const void *data, unsigned int bytes, unsigned int frames);
    // Mixes a block and writes it; a failure is also kept for getError.
    AURA_RESULT mixAndWrite();
    // Mixing needs the system's graph, writing the format it was opened with.
    [[nodiscard]] AURA_RESULT checkReady() const;

    void *mBlock = nullptr;
    unsigned int mBlockBytes = 0;
    std::atomic<AURA_RESULT> mError{AURA_OK};
};

// The registry records of the no-sound outputs: empty until getDescriptionEx
// fills them.
extern AURA_OUTPUT_DESCRIPTION_EX nosoundoutput;
extern AURA_OUTPUT_DESCRIPTION_EX nosoundoutput_nrt;

// One block per update, on the caller's thread, between start and stop.
class OutputNoSoundNRT : public OutputBuffered {
public:
    static AURA_OUTPUT_DESCRIPTION_EX *getDescriptionEx();
    AURA_RESULT start() override;
    AURA_RESULT stop() override;
    AURA_RESULT close() override;
    AURA_RESULT update() override;
    [[nodiscard]] bool isRealTime() const override { return false; }
    [[nodiscard]] const char *getName() const override { return "nosoundoutput_nrt"; }

private:
    bool mStarted = false;
};

// A mixer thread mixes a block each time real time has used one up.
class OutputNoSound : public OutputBuffered {
public:
    ~OutputNoSound() override;
    static AURA_OUTPUT_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT start() override;
    AURA_RESULT stop() override;
    AURA_RESULT close() override;
    // Reports what went wrong on the mixer thread.
    AURA_RESULT update() override { return getError(); }
    [[nodiscard]] bool isRealTime() const override { return true; }
    [[nodiscard]] const char *getName() const override { return "nosoundoutput"; }

    [[nodiscard]] const Thread &getMixerThread() const { return mThread; }

private:
    static void mixerThread(void *param);
    void mixStep();

    Thread mThread;
    OutputClock mClock;         // mixer thread only while it runs
    uint64_t mPacedFrames = 0;  // frames mixed since start; likewise
};

} // namespace AURA

#endif // AURA_OUTPUT_NOSOUND_H
