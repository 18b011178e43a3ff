// tally-driver as the game would run: sessions that end in a crash or a
// kill -9 are reported at the next launch, with nothing else lost.
#include "support/report_decoder.h"
#include "test_http_server.h"

#include "support/driver_process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using drivertest::Child;
using drivertest::runDriver;
using drivertest::spawnDriver;
using drivertest::waitExit;

class TallyDriver : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tally-driver-XXXXXX";
        const char *dir = ::mkdtemp(pattern);
        ASSERT_NE(dir, nullptr);
        mData = dir;
        mServer.reply("/aap.do", {200, {}, "OK"});
        ASSERT_TRUE(mServer.start());
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(mData, ec);
    }
    std::vector<std::string> base() const { return {"--server", mServer.url("/aap.do"), "--data", mData}; }
    std::vector<reporttest::Report> reports() const
    {
        std::vector<reporttest::Report> out;
        for (const auto &r : mServer.requests()) {
            std::string error;
            auto report = reporttest::decodeReport(r.body, &error);
            EXPECT_TRUE(report.has_value()) << error;
            if (report) out.push_back(*report);
        }
        return out;
    }
    // The one stored session carrying `event` among all reports.
    static const reporttest::Session *findSession(const std::vector<reporttest::Report> &all, const std::string &event)
    {
        for (const auto &r : all) {
            for (const auto &s : r.sessions) {
                if (s.hasEvent(event)) return &s;
            }
        }
        return nullptr;
    }

    std::string mData;
    testsupport::TestHttpServer mServer;
};

TEST_F(TallyDriver, CrashedSessionIsReportedAtTheNextLaunch)
{
    auto args = base();
    for (const char *a : {"launch", "event", "SCORE", "points=12", "level-start", "0", "crash"}) args.emplace_back(a);
    EXPECT_EQ(runDriver(args), 3);

    args = base();
    args.emplace_back("launch");
    args.emplace_back("terminate");
    ASSERT_EQ(runDriver(args), 0);
    // The crashed run's own launch report may still be arriving, or may never
    // have gone out: the second run's reports are those whose header names
    // its session, the one that ended with APP_EXITED.
    const auto all = reports();
    const auto *ended = findSession(all, "APP_EXITED");
    ASSERT_NE(ended, nullptr);
    EXPECT_GE(ended->length, 0);
    EXPECT_FALSE(ended->hasEvent("SCORE"));
    std::vector<reporttest::Report> second;
    for (const auto &r : all) {
        if (r.sessionTimestamp == ended->startTime) second.push_back(r);
    }
    ASSERT_EQ(second.size(), 2u); // the second run's launch and end reports
    for (const auto &r : second) {
        EXPECT_EQ(r.protocolVersion, 15);
        EXPECT_EQ(r.adsRequested, 0);
    }
    // The launch report and the end report run side by side; the crashed
    // session is in whichever was built first, and in no other state.
    const auto *crashed = findSession(second, "SCORE");
    ASSERT_NE(crashed, nullptr);
    EXPECT_EQ(crashed->length, -1); // it never ended
    EXPECT_EQ(crashed->countOf("APP_LAUNCHED"), 1);
    EXPECT_EQ(crashed->countOf("SCORE"), 1);
    EXPECT_EQ(crashed->countOf("IPHONE_STARTED_WITH_TOUCH"), 1);
    EXPECT_EQ(crashed->countOf("STARTED_TRANSITION"), 1);
    ASSERT_EQ(crashed->events.size(), 4u);
    ASSERT_EQ(crashed->events[1].parameters.size(), 1u);
    EXPECT_EQ(crashed->events[1].parameters[0], (std::pair<std::string, std::string>{"points", "12"}));
}

TEST_F(TallyDriver, SessionKilledWithSigkillIsReportedAtTheNextLaunch)
{
    auto args = base();
    Child child = spawnDriver(args, true, true);
    ASSERT_GT(child.pid, 0);
    const std::string script = "launch\nevent KILLED_HERE\n";
    ASSERT_EQ(::write(child.stdinFd, script.data(), script.size()), static_cast<ssize_t>(script.size()));
    // The driver says when the event is in the current-session file; kill then.
    drivertest::LineReader output(child.stdoutFd);
    const bool saved = output.waitFor("saved KILLED_HERE", 60.0);
    ::kill(child.pid, SIGKILL);
    EXPECT_EQ(waitExit(child.pid), 128 + SIGKILL);
    ::close(child.stdinFd);
    ::close(child.stdoutFd);
    ASSERT_TRUE(saved);

    args.emplace_back("launch");
    ASSERT_EQ(runDriver(args), 0);
    const auto all = reports();
    const auto *killed = findSession(all, "KILLED_HERE");
    ASSERT_NE(killed, nullptr);
    EXPECT_EQ(killed->countOf("APP_LAUNCHED"), 1);
    EXPECT_EQ(killed->length, -1);
}

TEST_F(TallyDriver, PausesShortAndLongAndBadActions)
{
    auto args = base();
    for (const char *a : {"--pause-seconds", "1", "launch", "pause", "resume", "event", "SAME", "pause", "wait",
                          "1.2", "resume", "event", "NEW", "terminate"}) {
        args.emplace_back(a);
    }
    ASSERT_EQ(runDriver(args), 0);
    const auto all = reports();
    // The session that was paused briefly holds both APP_LAUNCHED and SAME.
    const auto *first = findSession(all, "SAME");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->countOf("APP_LAUNCHED"), 1);
    EXPECT_FALSE(first->hasEvent("NEW"));
    const auto *second = findSession(all, "NEW");
    ASSERT_NE(second, nullptr);
    EXPECT_FALSE(second->hasEvent("SAME"));
    EXPECT_GT(second->startTime, first->startTime);

    EXPECT_EQ(runDriver({"--server", mServer.url("/aap.do")}), 2);
    args = base();
    args.emplace_back("jump");
    EXPECT_EQ(runDriver(args), 2);
}

} // namespace
