// The game's doorway to analytics: starts the analytics session and turns
// game moments into named events, each echoed to the device console.
#ifndef GAME_TALLY_HELPER_H
#define GAME_TALLY_HELPER_H

#include "tally/TallyEvent.h"

#include <optional>
#include <string>

class TallyHelper {
public:
    static constexpr const char *kAppKey = "R7KQ2MZTW4NVB8XJ1HLP";

    static TallyHelper *GetInstance();

    void StartAnalytics();
    void LogEvent(const std::string &name, const std::optional<tally::TallyParameters> &params);

    void OnAppLaunched();
    void OnAppExited();
    void OnLaunchMVG();
    void OnUnlockedDescent();
    void OnUnlockedGrowth();
    void OnAchievement(unsigned int number);
    void OnStartedLevel();
    void OnCompletedStage3();
    void OnCompletedStage6();
    void OnCompletedLevel();

private:
    TallyHelper() = default;
    void LogLevelScoped(const char *const (&names)[8]);
};

#endif // GAME_TALLY_HELPER_H
