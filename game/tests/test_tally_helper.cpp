// The game's analytics helper: the event names it sends for each moment,
// and the guards on level index, two-player state, idiom and steering.
#include "game/TallyHelper.h"
#include "game/gameplay.h"
#include "platform/device.h"
#include "support/tally_fixture.h"
#include "tally/TallyUtil.h"
#include "test_http_server.h"

#include <string>
#include <vector>

namespace {

class TallyHelperTest : public TallyFixture {
protected:
    void SetUp() override
    {
        TallyFixture::SetUp();
        tally::TallyAPI::setServerURL(std::string("http://127.0.0.1:")
                                          .append(std::to_string(testsupport::unusedLoopbackPort()))
                                          .append("/aap.do"));
        TallyHelper::GetInstance()->StartAnalytics();
        paddle::player::UnregisterAll();
        paddle::player::RegisterPaddle(0, true);
        multiplayer::LeaveSession();
        paddle::level::SetCurrentIndex(0);
        mFacts = platform::deviceFacts();
    }
    void TearDown() override
    {
        platform::setDeviceFacts(mFacts);
        multiplayer::LeaveSession();
        TallyFixture::TearDown();
    }
    // The names the facade received since the last call, in order.
    std::vector<std::string> logged()
    {
        std::vector<std::string> names;
        const auto session = tally::TallySession::currentSession();
        if (!session) return names;
        const auto log = session->eventLog();
        for (std::size_t i = mSeen; i < log.size(); ++i) {
            EXPECT_FALSE(log[i].parameters().has_value());
            names.push_back(log[i].name());
        }
        mSeen = log.size();
        return names;
    }
    void setIdiom(std::optional<platform::UserInterfaceIdiom> idiom)
    {
        auto facts = mFacts;
        facts.idiom = idiom;
        platform::setDeviceFacts(facts);
    }

    platform::DeviceFacts mFacts;
    std::size_t mSeen = 0;
};

using Names = std::vector<std::string>;

TEST_F(TallyHelperTest, FixedMomentsAndAchievements)
{
    auto *h = TallyHelper::GetInstance();
    h->OnAppLaunched();
    h->OnLaunchMVG();
    h->OnUnlockedDescent();
    h->OnUnlockedGrowth();
    h->OnAchievement(7);
    h->OnAchievement(0);
    h->OnAchievement(1234);
    h->OnAchievement(4294967295u);
    h->OnAppExited();
    EXPECT_EQ(logged(), (Names{"APP_LAUNCHED", "MVG_LAUNCHED", "UNLOCKED_DESCENT", "UNLOCKED_GROWTH",
                               "UNLOCKED_ACHIEVEMENT_007", "UNLOCKED_ACHIEVEMENT_000", "UNLOCKED_ACHIEVEMENT_1234",
                               "UNLOCKED_ACHIEVEMENT_4294967295", "APP_EXITED"}));
    EXPECT_TRUE(tally::TallySession::currentSession()->sessionReportsOnPauseEnabled());
}

TEST_F(TallyHelperTest, LevelStartsBySteeringDeviceAndPlayers)
{
    auto *h = TallyHelper::GetInstance();
    const std::vector<std::pair<unsigned, const char *>> levels{
        {0, "TRANSITION"}, {1, "DESCENT"}, {2, "GROWTH"}, {5, "REMIX.ID"}, {6, "REMIX.EGO"}, {7, "REMIX.SUPEREGO"}};
    for (const auto &[index, fragment] : levels) {
        paddle::level::SetCurrentIndex(index);
        multiplayer::LeaveSession();
        h->OnStartedLevel();
        multiplayer::StartSession(true);
        h->OnStartedLevel();
        multiplayer::StartSession(false);
        h->OnStartedLevel();
        const std::string f(fragment);
        EXPECT_EQ(logged(), (Names{"IPHONE_STARTED_WITH_TOUCH", tally::cat("STARTED_", f), "IPHONE_STARTED_WITH_TOUCH",
                                   tally::cat("STARTED_", f, "_ONLINE"), "IPHONE_STARTED_WITH_TOUCH", tally::cat("STARTED_", f, "_LOCAL")}));
    }
    // Levels 3 and 4 have no name: only the device event.
    multiplayer::LeaveSession();
    for (unsigned index : {3u, 4u}) {
        paddle::level::SetCurrentIndex(index);
        h->OnStartedLevel();
        EXPECT_EQ(logged(), (Names{"IPHONE_STARTED_WITH_TOUCH"}));
    }
    paddle::level::SetCurrentIndex(0);
    paddle::player::RegisterPaddle(-1, false); // the lowest id leads, steered by tilt
    setIdiom(platform::UserInterfaceIdiom::Pad);
    h->OnStartedLevel();
    paddle::player::UnregisterAll();
    h->OnStartedLevel();
    setIdiom(std::nullopt); // a device that cannot tell its idiom is a phone
    h->OnStartedLevel();
    EXPECT_EQ(logged(), (Names{"IPAD_STARTED_WITH_TILT", "STARTED_TRANSITION", "IPAD_STARTED_WITH_TILT",
                               "STARTED_TRANSITION", "IPHONE_STARTED_WITH_TILT", "STARTED_TRANSITION"}));
}

TEST_F(TallyHelperTest, StagesAndCompletionsOnlyInTwoPlayerSessions)
{
    auto *h = TallyHelper::GetInstance();
    paddle::level::SetCurrentIndex(1);
    h->OnCompletedStage3();
    h->OnCompletedStage6();
    h->OnCompletedLevel();
    EXPECT_TRUE(logged().empty());
    multiplayer::StartSession(false);
    h->OnCompletedStage3();
    h->OnCompletedStage6();
    h->OnCompletedLevel();
    EXPECT_EQ(logged(), (Names{"STAGE3_DESCENT", "STAGE6_DESCENT", "COMPLETED_DESCENT"}));
    paddle::level::SetCurrentIndex(7);
    h->OnCompletedLevel();
    paddle::level::SetCurrentIndex(4);
    h->OnCompletedStage3();
    EXPECT_EQ(logged(), (Names{"COMPLETED_REMIX.SUPEREGO"}));
}

} // namespace
