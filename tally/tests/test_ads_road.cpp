// Ads through tally-driver as the game would run them: the report server
// answers a report that asks for ads with an answer from the test writer;
// the next launch is served by the previous answer until its own arrives.
#include "support/ad_answer.h"
#include "support/driver_process.h"
#include "support/report_decoder.h"
#include "test_http_server.h"
#include "ui_fixtures.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace {

class AdsRoad : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tally-ads-road-XXXXXX";
        const char *dir = ::mkdtemp(pattern);
        ASSERT_NE(dir, nullptr);
        mData = dir;
        const auto png = std::filesystem::path(mData) / "ad.png";
        ASSERT_TRUE(testsupport::writePlaceholderPng(png, 4, 3));
        adanswer::Answer answer;
        answer.images({{9, 4, 3, "image/png", testsupport::readBytes(png)}})
            .theme(2, 0, 0)
            .hooks({{"h", 1, 2}})
            .adBlock(1, {adanswer::ad(1, 9), adanswer::ad(2, 9)})
            .properties(30, 123456789012LL, 5, 3, "2", "1")
            .hookAttributes("h", {{0x0701, 4}})
            .end();
        mAnswer.assign(answer.body.begin(), answer.body.end());
        mServer.handle("/aap.do", [this](const testsupport::RecordedRequest &r) {
            std::lock_guard lock(mMutex);
            const auto report = reporttest::decodeReport(r.body);
            if (report)
                mReports.push_back(*report);
            if (!report || report->adsRequested == 0)
                return testsupport::Reply{200, {}, "OK", 0.0};
            return testsupport::Reply{mStatus, {}, mStatus == 200 ? mAnswer : std::string("down"), mDelay};
        });
        ASSERT_TRUE(mServer.start());
    }
    void TearDown() override
    {
        // The server's threads write mReports: they end before it goes.
        mServer.stop();
        std::error_code ec;
        std::filesystem::remove_all(mData, ec);
    }
    std::vector<std::string> base() const { return {"--server", mServer.url("/aap.do"), "--data", mData}; }
    std::vector<std::string> cacheFiles(const std::string &prefix) const
    {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto &e : std::filesystem::directory_iterator(mData + "/Library/Caches/Tally", ec)) {
            const auto name = e.path().filename().string();
            if (name.rfind("tallyCache_" + prefix, 0) == 0)
                names.push_back(name);
        }
        return names;
    }
    void setReply(int status, double delay)
    {
        std::lock_guard lock(mMutex);
        mStatus = status;
        mDelay = delay;
    }

    std::string mData;
    std::string mAnswer;
    testsupport::TestHttpServer mServer;
    std::mutex mMutex;
    std::vector<reporttest::Report> mReports;
    int mStatus = 200;
    double mDelay = 0.0;
};

// Runs a script through standard input and returns the driver's output lines.
std::vector<std::string> runScript(const std::vector<std::string> &args, const std::string &script)
{
    const auto child = drivertest::spawnDriver(args, true, true);
    EXPECT_GT(child.pid, 0);
    EXPECT_EQ(::write(child.stdinFd, script.data(), script.size()), static_cast<ssize_t>(script.size()));
    ::close(child.stdinFd);
    drivertest::LineReader out(child.stdoutFd);
    while (out.readFor(30.0)) {}
    ::close(child.stdoutFd);
    EXPECT_EQ(drivertest::waitExit(child.pid), 0);
    std::vector<std::string> answers; // report acknowledgements aside
    for (const auto &line : out.lines()) {
        if (line.rfind("ad ", 0) == 0 || line.rfind("hook ", 0) == 0 || line.rfind("offer ", 0) == 0)
            answers.push_back(line);
    }
    return answers;
}

TEST_F(AdsRoad, AnswersAreKeptAndServeTheNextLaunch)
{
    // First launch: the answer is parsed and archived with its image.
    EXPECT_EQ(drivertest::runDriver([&] {
                  auto a = base();
                  a.insert(a.end(), {"ads", "on", "launch"});
                  return a;
              }()),
              0);
    EXPECT_EQ(cacheFiles("adParser_").size(), 1u);
    EXPECT_EQ(cacheFiles("imageCache_").size(), 1u);
    EXPECT_EQ(cacheFiles("tallyImage9_").size(), 1u);

    // Next launch, its answer delayed: the previous one serves at once.
    setReply(200, 2.0);
    const auto lines =
        runScript(base(), "ads on\nlaunch\nad h <UIView: 0x1>\nad h <UIView: 0x1>\nad h <UIView: 0x1>\nhook h\n"
                          "offer h k=a&b\n");
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4),
              (std::vector<std::string>{"ad 1 4x3", "ad 2 4x3", "ad nil", "hook h block=1 theme=2 click=4"}));
    // The refused third ad rotated the block five times, so ad 2 is in front;
    // offers skip the bookkeeping.
    EXPECT_EQ(lines[4].rfind("offer  4 3 http://ads.tally.example/getIPhoneApp.do?apik=", 0), 0u) << lines[4];
    EXPECT_NE(lines[4].find("&adid=2&"), std::string::npos) << lines[4];
    EXPECT_NE(lines[4].find("&hid=h&ac=&ats="), std::string::npos) << lines[4];
    EXPECT_EQ(lines[4].substr(lines[4].size() - 10), "&c_k=a%26b") << lines[4];
    {
        std::lock_guard lock(mMutex);
        ASSERT_GE(mReports.size(), 2u);
        const auto &second = mReports.back();
        EXPECT_EQ(second.adsRequested, 1);
        EXPECT_EQ(second.adCacheTimestamp, 123456789012LL);
        ASSERT_EQ(second.cachedItems.size(), 1u);
        EXPECT_EQ(second.cachedItems[0].second, 9);
    }

    // A launch whose report fails: no ads once the failure is known, hooks
    // still answer. Ask until the failure has been seen.
    setReply(500, 0.0);
    std::string script = "ads on\nlaunch\n";
    for (int i = 0; i < 200; ++i)
        script += "ad h <UIView: 0x" + std::to_string(i + 10) + ">\nwait 0.02\n";
    script += "hook h\n";
    const auto failed = runScript(base(), script);
    ASSERT_FALSE(failed.empty());
    EXPECT_EQ(failed.back(), "hook h block=1 theme=2 click=4");
    ASSERT_GE(failed.size(), 2u);
    EXPECT_EQ(failed[failed.size() - 2], "ad nil");
}

} // namespace
