#include "os/aura_timestamp.h"

#include "os/aura_os.h"

namespace AURA {

AURA_RESULT TimeStamp::stampIn()
{
    return AURA_OS_Time_GetNs(&mIn);
}

AURA_RESULT TimeStamp::stampOut(int smoothing)
{
    unsigned int now = 0;
    (void)AURA_OS_Time_GetNs(&now);
    // Unsigned differences stay right across the 32-bit wrap.
    mLastBusy = now - mIn;
    if (mHaveOut) {
        const unsigned int period = now - mLastOut;
        float usage = period ? 100.0f * static_cast<float>(mLastBusy) / static_cast<float>(period)
                             : 0.0f;
        if (usage > 100.0f) {
            usage = 100.0f;
        }
        if (smoothing < 0) {
            smoothing = 0;
        } else if (smoothing > 100) {
            smoothing = 100;
        }
        const float keep = static_cast<float>(smoothing) / 100.0f;
        mUsage.store(mUsage.load(std::memory_order_relaxed) * keep + usage * (1.0f - keep), std::memory_order_relaxed);
    }
    mLastOut = now;
    mHaveOut = true;
    return AURA_OK;
}

AURA_RESULT TimeStamp::getCPUUsage(float *usage) const
{
    if (!usage) {
        return AURA_ERR_INVALID_PARAM;
    }
    *usage = mUsage.load(std::memory_order_relaxed);
    return AURA_OK;
}

} // namespace AURA
