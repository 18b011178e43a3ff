// The whole road through the facade against a test server that decodes each
// report on its own: launch, pause, resume, terminate, the replies that
// clear or keep the stored sessions, and the usage switch.
#include "platform/device.h"
#include "platform/notifications.h"
#include "support/report_decoder.h"
#include "support/tally_fixture.h"
#include "tally/TallyUtil.h"
#include "test_http_server.h"

#include <condition_variable>
#include <mutex>

namespace {

using tally::TallyAPI;
using tally::TallySession;

class TallyRoad : public TallyFixture {
protected:
    void SetUp() override
    {
        TallyFixture::SetUp();
        mServer.handle("/aap.do", [this](const testsupport::RecordedRequest &) {
            return testsupport::Reply{mStatus.load(), {}, "OK"};
        });
        ASSERT_TRUE(mServer.start());
        TallyAPI::setServerURL(mServer.url("/aap.do"));
    }

    std::vector<reporttest::Report> reports()
    {
        TallyAPI::waitForPendingReports();
        std::vector<reporttest::Report> out;
        for (const auto &r : mServer.requests()) {
            EXPECT_EQ(r.method, "POST");
            EXPECT_EQ(r.path, "/aap.do");
            EXPECT_EQ(r.header("Content-Type"), std::string("application/octet-stream"));
            std::string error;
            auto report = reporttest::decodeReport(r.body, &error);
            EXPECT_TRUE(report.has_value()) << error;
            if (report) out.push_back(std::move(*report));
        }
        return out;
    }

    // Posts a lifecycle notification and lets the reports it starts finish,
    // so that they reach the server in a known order.
    static void post(const char *name)
    {
        platform::NotificationCenter::defaultCenter().post(name);
        TallyAPI::waitForPendingReports();
    }
    static void start(const std::string &key)
    {
        TallyAPI::startSession(key);
        TallyAPI::waitForPendingReports();
    }

    testsupport::TestHttpServer mServer;
    std::atomic<int> mStatus{200};
};

TEST_F(TallyRoad, LaunchSendsOneReportWithTheConstants)
{
    freezeClock(1700000000.0);
    TallyAPI::startSession("R7KQ2MZTW4NVB8XJ1HLP");
    const auto all = reports();
    ASSERT_EQ(all.size(), 1u);
    const auto &r = all[0];
    EXPECT_EQ(r.protocolVersion, 15);
    EXPECT_EQ(r.adsRequested, 0);
    EXPECT_EQ(r.platform, 2);
    EXPECT_EQ(r.agentVersion, 42);
    EXPECT_EQ(r.reportTime, 1700000000000);
    EXPECT_EQ(r.apiKey, "R7KQ2MZTW4NVB8XJ1HLP");
    EXPECT_EQ(r.appVersion, platform::deviceFacts().bundleVersion);
    EXPECT_EQ(r.idType, 0);
    EXPECT_EQ(r.id, std::string("IPHONE").append(platform::deviceUniqueIdentifier()));
    EXPECT_EQ(r.initialTimestamp, 1700000000000);
    EXPECT_EQ(r.sessionTimestamp, 1700000000000);
    ASSERT_EQ(r.properties.size(), 1u);
    EXPECT_EQ(r.properties[0], (std::pair<std::string, std::string>{"device.model.1", "iOS4Device"}));
    EXPECT_TRUE(r.sessions.empty());
    EXPECT_TRUE(TallySession::sentSession());
}

TEST_F(TallyRoad, ResignActiveSendsStoredAndCurrentAndShortPauseKeepsTheSession)
{
    freezeClock();
    TallySession::setMaxSessions(50);
    // One finished session waits from an earlier run; the launch report must
    // fail so that it is still there at the pause.
    mStatus = 500;
    start("KEY");
    TallyAPI::logEvent("BEFORE");
    TallyAPI::endSession();
    start("KEY");
    TallyAPI::logEvent("PLAYING");
    const auto current = TallySession::currentSession();
    advance(2.0);
    post(platform::kUIApplicationWillResignActiveNotification);
    advance(5.0);
    post(platform::kUIApplicationDidBecomeActiveNotification);
    EXPECT_EQ(TallySession::currentSession(), current);
    TallyAPI::logEvent("AFTER");

    const auto all = reports();
    // launch, end of the first session, launch, pause.
    ASSERT_EQ(all.size(), 4u);
    const auto &pause = all[3];
    ASSERT_EQ(pause.sessions.size(), 2u);
    EXPECT_EQ(pause.sessions[0].countOf("BEFORE"), 1);
    EXPECT_EQ(pause.sessions[1].countOf("PLAYING"), 1);
    EXPECT_EQ(pause.sessions[1].length, 2000);
    EXPECT_FALSE(pause.sessions[1].internetAvailable); // the launch report failed
    EXPECT_EQ(current->totalPauseIntervalMillis(), 5000);
    EXPECT_EQ(current->eventCounts().count("AFTER"), 1u);
}

TEST_F(TallyRoad, PauseThresholdIsExclusiveAndALongPauseStartsANewSession)
{
    freezeClock();
    start("KEY");
    auto first = TallySession::currentSession();
    post(platform::kUIApplicationWillResignActiveNotification);
    advance(10.0);
    post(platform::kUIApplicationDidBecomeActiveNotification);
    EXPECT_EQ(TallySession::currentSession(), first);

    post(platform::kUIApplicationWillResignActiveNotification);
    advance(10.0015); // 10 001 ms once truncated
    post(platform::kUIApplicationDidBecomeActiveNotification);
    auto second = TallySession::currentSession();
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    TallyAPI::waitForPendingReports();
    // The new session's launch report carried the old one and cleared it.
    const auto all = reports();
    ASSERT_GE(all.size(), 1u);
    const auto &launch = all.back();
    ASSERT_EQ(launch.sessions.size(), 1u);
    EXPECT_EQ(launch.sessions[0].startTime, 1700000000000);
    EXPECT_TRUE(TallySession::savedSessions().empty());
}

TEST_F(TallyRoad, TerminateEndsAndSendsAndAnAcceptedLaunchClearsStoredSessions)
{
    freezeClock();
    start("KEY");
    TallyAPI::logEvent("E", tally::TallyParameters{{"level", "3"}});
    advance(4.0);
    post(platform::kUIApplicationWillTerminateNotification);
    EXPECT_EQ(TallySession::currentSession(), nullptr);
    ASSERT_EQ(TallySession::savedSessions().size(), 1u); // end reports never clear
    auto all = reports();
    ASSERT_EQ(all.size(), 2u);
    ASSERT_EQ(all[1].sessions.size(), 1u);
    EXPECT_EQ(all[1].sessions[0].length, 4000);
    ASSERT_EQ(all[1].sessions[0].events.size(), 1u);
    EXPECT_EQ(all[1].sessions[0].events[0].parameters[0].second, "3");

    // Next run: the launch report carries it, the server accepts, it is gone.
    TallyAPI::startSession("KEY");
    all = reports();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[2].sessions.size(), 1u);
    EXPECT_TRUE(TallySession::savedSessions().empty());
    EXPECT_TRUE(TallySession::sentSession());
}

TEST_F(TallyRoad, FailedOrRefusedLaunchKeepsSessionsAndMarksInternetUnavailable)
{
    for (const bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "refused" : "500");
        TallyAPI::resetForTesting();
        platform::removeTree(platform::libraryDirectory());
        const std::string url = refused ? std::string("http://127.0.0.1:")
                                              .append(std::to_string(testsupport::unusedLoopbackPort()))
                                              .append("/aap.do")
                                        : mServer.url("/aap.do");
        TallyAPI::setServerURL(url);
        mStatus = 500;
        start("KEY");
        TallyAPI::endSession(); // stored, end report not examined
        start("KEY");
        TallyAPI::waitForPendingReports();
        EXPECT_EQ(TallySession::savedSessions().size(), 1u);
        EXPECT_FALSE(TallySession::sentSession());
        ASSERT_TRUE(TallySession::currentSession());
        EXPECT_FALSE(TallySession::currentSession()->internetAvailable());
    }
    // A later report, now reaching the server, shows it.
    TallyAPI::setServerURL(mServer.url("/aap.do"));
    const std::size_t before = mServer.requestCount();
    post(platform::kUIApplicationWillResignActiveNotification);
    const auto all = reports();
    ASSERT_EQ(all.size(), before + 1);
    ASSERT_EQ(all.back().sessions.size(), 2u);
    EXPECT_FALSE(all.back().sessions[1].internetAvailable);
}

TEST_F(TallyRoad, UsageSwitchOffMeansNoRequestAndNoFile)
{
    platform::UserDefaults::standardUserDefaults().setBool("TallySendUsageInfo", false);
    const std::size_t filesBefore = filesUnder(mRoot);
    TallyAPI::startSession("KEY");
    TallyAPI::logEvent("E");
    post(platform::kUIApplicationWillResignActiveNotification);
    post(platform::kUIApplicationDidBecomeActiveNotification);
    TallyAPI::endSession();
    TallyAPI::waitForPendingReports();
    EXPECT_EQ(mServer.requestCount(), 0u);
    EXPECT_EQ(filesUnder(mRoot), filesBefore);
    EXPECT_EQ(TallySession::currentSession(), nullptr);

    // Removing the key turns the library back on at the next call.
    platform::UserDefaults::standardUserDefaults().removeObjectForKey("TallySendUsageInfo");
    TallyAPI::startSession("KEY");
    EXPECT_EQ(reports().size(), 1u);
}

TEST_F(TallyRoad, SettingsBeforeStartApplyAndEventsBeforeStartAreDropped)
{
    TallyAPI::logEvent("TOO_EARLY");
    TallyAPI::setUserID("player-1");
    TallyAPI::setGender("m");
    TallyAPI::setAppVersion("2.5");
    TallyAPI::startSession("KEY");
    auto s = TallySession::currentSession();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->userID(), "player-1");
    EXPECT_EQ(s->gender(), 1);
    EXPECT_EQ(s->appVersion(), "2.5");
    EXPECT_TRUE(s->eventCounts().empty());
    platform::clearLastAlert();
    TallyAPI::setAppVersion("3.0");
    ASSERT_TRUE(platform::lastAlert().has_value());
    EXPECT_EQ(platform::lastAlert()->message, "TallyAPI: Please call setAppVersion before startSession.");
    EXPECT_EQ(s->appVersion(), "2.5");
}

TEST_F(TallyRoad, SecondStartSubscribesOnceSoAPauseIsHandledOnce)
{
    TallyAPI::startSession("KEY");
    TallyAPI::startSession("KEY");
    EXPECT_EQ(platform::NotificationCenter::defaultCenter().observerCount(
                  platform::kUIApplicationWillResignActiveNotification),
              1u);
    const std::size_t before = reports().size();
    post(platform::kUIApplicationWillResignActiveNotification);
    EXPECT_EQ(reports().size(), before + 1);
}

class TallyRoadThreads : public TallyRoad {};

TEST_F(TallyRoadThreads, SessionStoredWhileAnUploadIsInFlightIsKept)
{
    // The server holds its reply until the test has stored another session.
    std::mutex m;
    std::condition_variable cv;
    bool received = false, release = false;
    mServer.handle("/aap.do", [&](const testsupport::RecordedRequest &) {
        std::unique_lock lock(m);
        received = true;
        cv.notify_all();
        cv.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
        return testsupport::Reply{200, {}, "OK"};
    });
    const tally::Bytes earlier = TallySession("KEY", "earlier").data();
    TallySession::setSavedSessions({earlier});
    TallyAPI::startSession("KEY");
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return received; }));
    }
    TallySession::addToSavedSessions(*TallySession::currentSession());
    {
        std::lock_guard lock(m);
        release = true;
        cv.notify_all();
    }
    TallyAPI::waitForPendingReports();
    const auto stored = TallySession::savedSessions();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_NE(stored[0], earlier);
}

TEST_F(TallyRoadThreads, EventsWhileReportsAreBuiltOnOtherThreads)
{
    TallyAPI::startSession("KEY");
    for (int i = 0; i < 20; ++i) {
        post(platform::kUIApplicationWillResignActiveNotification);
        for (int k = 0; k < 20; ++k) TallyAPI::logEvent(tally::cat("E", k));
        post(platform::kUIApplicationDidBecomeActiveNotification);
    }
    const auto all = reports();
    EXPECT_EQ(all.size(), 21u);
    EXPECT_EQ(TallySession::currentSession()->eventCounts().at("E0"), 20);
}

} // namespace
