#include "game/TallyHelper.h"

#include "game/gameplay.h"
#include "platform/device.h"
#include "tally/TallyAPI.h"

#include <cstdio>

namespace {

// One literal per level index; nullptr where a level has no analytics name.
constexpr const char *kStarted[8] = {"STARTED_TRANSITION", "STARTED_DESCENT", "STARTED_GROWTH", nullptr, nullptr,
                                     "STARTED_REMIX.ID", "STARTED_REMIX.EGO", "STARTED_REMIX.SUPEREGO"};
constexpr const char *kStartedOnline[8] = {"STARTED_TRANSITION_ONLINE", "STARTED_DESCENT_ONLINE",
                                           "STARTED_GROWTH_ONLINE",     nullptr,
                                           nullptr,                     "STARTED_REMIX.ID_ONLINE",
                                           "STARTED_REMIX.EGO_ONLINE",  "STARTED_REMIX.SUPEREGO_ONLINE"};
constexpr const char *kStartedLocal[8] = {"STARTED_TRANSITION_LOCAL", "STARTED_DESCENT_LOCAL",
                                          "STARTED_GROWTH_LOCAL",     nullptr,
                                          nullptr,                    "STARTED_REMIX.ID_LOCAL",
                                          "STARTED_REMIX.EGO_LOCAL",  "STARTED_REMIX.SUPEREGO_LOCAL"};
constexpr const char *kStage3[8] = {"STAGE3_TRANSITION", "STAGE3_DESCENT",    "STAGE3_GROWTH",
                                    nullptr,             nullptr,             "STAGE3_REMIX.ID",
                                    "STAGE3_REMIX.EGO",  "STAGE3_REMIX.SUPEREGO"};
constexpr const char *kStage6[8] = {"STAGE6_TRANSITION", "STAGE6_DESCENT",    "STAGE6_GROWTH",
                                    nullptr,             nullptr,             "STAGE6_REMIX.ID",
                                    "STAGE6_REMIX.EGO",  "STAGE6_REMIX.SUPEREGO"};
constexpr const char *kCompleted[8] = {"COMPLETED_TRANSITION", "COMPLETED_DESCENT",    "COMPLETED_GROWTH",
                                       nullptr,                nullptr,                "COMPLETED_REMIX.ID",
                                       "COMPLETED_REMIX.EGO",  "COMPLETED_REMIX.SUPEREGO"};

// The prefix and the longest unsigned 32-bit number, with the terminator.
char gAchievementName[sizeof("UNLOCKED_ACHIEVEMENT_") + 10];

const char *levelName(const char *const (&names)[8], unsigned index)
{
    return index < 8 ? names[index] : nullptr;
}

} // namespace

TallyHelper *TallyHelper::GetInstance()
{
    static TallyHelper instance;
    return &instance;
}

void TallyHelper::StartAnalytics()
{
    tally::TallyAPI::startSession(kAppKey);
    tally::TallyAPI::setSessionReportsOnPauseEnabled(true);
}

void TallyHelper::LogEvent(const std::string &name, const std::optional<tally::TallyParameters> &params)
{
    if (!params) {
        tally::TallyAPI::logEvent(name);
        platform::consoleLog(std::string("Logging Tally event: ").append(name));
        return;
    }
    tally::TallyAPI::logEvent(name, *params);
    std::string line = std::string("Logging Tally event: ").append(name).append(" with params: {");
    for (const auto &[key, value] : *params) line.append(" ").append(key).append(" = ").append(value).append(";");
    platform::consoleLog(line.append(" }"));
}

void TallyHelper::OnAppLaunched() { LogEvent("APP_LAUNCHED", std::nullopt); }
void TallyHelper::OnAppExited() { LogEvent("APP_EXITED", std::nullopt); }
void TallyHelper::OnLaunchMVG() { LogEvent("MVG_LAUNCHED", std::nullopt); }
void TallyHelper::OnUnlockedDescent() { LogEvent("UNLOCKED_DESCENT", std::nullopt); }
void TallyHelper::OnUnlockedGrowth() { LogEvent("UNLOCKED_GROWTH", std::nullopt); }

void TallyHelper::OnAchievement(unsigned int number)
{
    std::snprintf(gAchievementName, sizeof gAchievementName, "UNLOCKED_ACHIEVEMENT_%.3u", number);
    LogEvent(gAchievementName, std::nullopt);
}

void TallyHelper::OnStartedLevel()
{
    const unsigned index = paddle::level::GetCurrent().GetIndex();
    const auto idiom = platform::deviceFacts().idiom;
    const bool pad = idiom.has_value() && *idiom != platform::UserInterfaceIdiom::Phone;
    const bool touch = paddle::player::IsTouchEnabled();
    if (pad) {
        LogEvent(touch ? "IPAD_STARTED_WITH_TOUCH" : "IPAD_STARTED_WITH_TILT", std::nullopt);
    } else {
        LogEvent(touch ? "IPHONE_STARTED_WITH_TOUCH" : "IPHONE_STARTED_WITH_TILT", std::nullopt);
    }
    const char *name = nullptr;
    if (!multiplayer::IsMultiplayer()) {
        name = levelName(kStarted, index);
    } else {
        name = multiplayer::IsOnline() ? levelName(kStartedOnline, index) : levelName(kStartedLocal, index);
    }
    if (name != nullptr) LogEvent(name, std::nullopt);
}

void TallyHelper::LogLevelScoped(const char *const (&names)[8])
{
    if (!multiplayer::IsMultiplayer()) return;
    const char *name = levelName(names, paddle::level::GetCurrent().GetIndex());
    if (name != nullptr) LogEvent(name, std::nullopt);
}

void TallyHelper::OnCompletedStage3() { LogLevelScoped(kStage3); }
void TallyHelper::OnCompletedStage6() { LogLevelScoped(kStage6); }
void TallyHelper::OnCompletedLevel() { LogLevelScoped(kCompleted); }
