// CPU-usage measurement of one engine activity (mixing, streaming, geometry):
// the share of wall time spent between stampIn and stampOut.
#ifndef AURA_TIMESTAMP_H
#define AURA_TIMESTAMP_H

#include "aura.h"

#include <atomic>

namespace AURA {

class TimeStamp {
public:
    // Starts one measurement.
    AURA_RESULT stampIn();
    // Ends it. The busy time is taken against the time since the previous
    // stampOut; smoothing (0..100) is the weight in percent of the old value.
    AURA_RESULT stampOut(int smoothing);
    // The smoothed usage in percent (0 until two measurements have ended).
    AURA_RESULT getCPUUsage(float *usage) const;
    // Busy microseconds of the last measurement.
    [[nodiscard]] unsigned int getLastBusy() const { return mLastBusy; }

private:
    unsigned int mIn = 0;
    unsigned int mLastOut = 0;
    unsigned int mLastBusy = 0;
    bool mHaveOut = false;
    std::atomic<float> mUsage{0.0f}; // read by other threads than the measuring one
};

} // namespace AURA

#endif // AURA_TIMESTAMP_H
