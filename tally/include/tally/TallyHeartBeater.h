// The library's clock: posts "TallyHeartBeatNotification" at a fixed
// interval on the main run loop, for the rest of the process.
#ifndef TALLY_TALLY_HEART_BEATER_H
#define TALLY_TALLY_HEART_BEATER_H

#include "platform/runloop.h"

namespace tally {

inline constexpr const char *kTallyHeartBeatNotification = "TallyHeartBeatNotification";

class TallyHeartBeater {
public:
    // The first call creates the instance and starts it with `seconds`;
    // later calls return it and ignore their interval.
    static TallyHeartBeater *createAndStartInstance(double seconds);
    // nullptr until created.
    [[nodiscard]] static TallyHeartBeater *instance();

    void start(double seconds);
    void heartBeat();
    [[nodiscard]] double interval() const { return mInterval; }

    ~TallyHeartBeater();
    TallyHeartBeater(const TallyHeartBeater &) = delete;
    TallyHeartBeater &operator=(const TallyHeartBeater &) = delete;

private:
    TallyHeartBeater() = default;
    platform::TimerId mTimer = 0;
    double mInterval = 0.0;
};

} // namespace tally

#endif // TALLY_TALLY_HEART_BEATER_H
