// The wall clock of the outputs that have no device to pace them: how many
// frames real time has allowed since a starting point. Counting from one
// fixed start (never adding up sleeps) keeps scheduling jitter from
// accumulating into drift.
#ifndef AURA_OUTPUT_CLOCK_H
#define AURA_OUTPUT_CLOCK_H

#include "os/aura_os.h"

#include <cstdint>

namespace AURA {

class OutputClock {
public:
    // Frame `frames` is due now; the clock counts on from here.
    void rebase(int rate, uint64_t frames)
    {
        mRate = rate > 0 ? rate : 1;
        mBaseFrames = frames;
        mElapsedMs = 0;
        (void)AURA_OS_Time_GetMs(&mLastMs);
    }

    // Frames due by now. The millisecond clock wraps at 2^32; the unsigned
    // difference of two readings is right across a wrap, and the elapsed
    // time is kept in 64 bits, so a caller that reads at least once every
    // 49 days never sees a jump.
    [[nodiscard]] uint64_t framesDue()
    {
        unsigned int now = 0;
        (void)AURA_OS_Time_GetMs(&now);
        mElapsedMs += static_cast<uint32_t>(now - mLastMs);
        mLastMs = now;
        return mBaseFrames + mElapsedMs * static_cast<uint64_t>(mRate) / 1000u;
    }

    // Milliseconds that `frames` frames last, rounded up.
    [[nodiscard]] static unsigned int msFor(uint64_t frames, int rate)
    {
        const uint64_t r = rate > 0 ? static_cast<uint64_t>(rate) : 1u;
        const uint64_t ms = (frames * 1000u + r - 1) / r;
        return ms > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<unsigned int>(ms);
    }

private:
    int mRate = 1;
    uint64_t mBaseFrames = 0;
    uint64_t mElapsedMs = 0;
    unsigned int mLastMs = 0;
};

} // namespace AURA

#endif // AURA_OUTPUT_CLOCK_H
