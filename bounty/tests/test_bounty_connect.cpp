// The connect call: its query, the fallback host after the first failure,
// the notifications its XML reply gives, and the activations after launch.
#include "bounty/BountyConnect.h"
#include "test_http_server.h"

#include "platform/device.h"
#include "platform/files.h"
#include "platform/notifications.h"
#include "platform/runloop.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

using bounty::BountyConnect;
using testsupport::Reply;
using testsupport::TestHttpServer;

constexpr const char *kAppId = "0a1b2c3d-0000-4000-8000-123456789abc";

class BountyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/bounty-test-XXXXXX";
        const char *dir = ::mkdtemp(pattern);
        ASSERT_NE(dir, nullptr);
        mRoot = dir;
        platform::setApplicationRoot(mRoot);
        platform::DeviceFacts facts;
        facts.model = "iPod touch";
        facts.localeIdentifier = "fr_CA";
        facts.bundleVersion = "2.1";
        facts.systemVersion = "4.3";
        platform::setDeviceFacts(facts);
        auto &center = platform::NotificationCenter::defaultCenter();
        mObservers.push_back(
            center.addObserver(bounty::kBountyConnectSuccess, [this](const std::string &) { mSeen += "S"; }));
        mObservers.push_back(
            center.addObserver(bounty::kBountyConnectFailed, [this](const std::string &) { mSeen += "F"; }));
        ASSERT_TRUE(mPrimary.start());
        ASSERT_TRUE(mFallback.start());
        BountyConnect::resetForTesting();
        BountyConnect::setConnectUrls(mPrimary.url("/"), mFallback.url("/"));
    }
    void TearDown() override
    {
        BountyConnect::resetForTesting();
        for (const auto id : mObservers)
            platform::NotificationCenter::defaultCenter().removeObserver(id);
        platform::setDeviceFacts({});
        std::error_code ec;
        std::filesystem::remove_all(mRoot, ec);
        platform::setApplicationRoot("");
    }
    // Runs the loop until `n` notifications have been posted and no request is
    // left in flight.
    bool waitForNotifications(std::size_t n)
    {
        return mLoop.runUntil([&] { return mSeen.size() >= n; }, 10.0);
    }
    void activate()
    {
        platform::NotificationCenter::defaultCenter().post(platform::kUIApplicationDidBecomeActiveNotification);
    }

    platform::RunLoop mLoop;
    TestHttpServer mPrimary;
    TestHttpServer mFallback;
    std::string mRoot;
    std::string mSeen;
    std::vector<platform::ObserverId> mObservers;
};

const Reply kSuccess{200, {}, "<?xml version=\"1.0\"?><Reply><Success>true</Success></Reply>", 0.0};
const Reply kError{200, {}, "<Reply><ErrorMessage>bad app</ErrorMessage></Reply>", 0.0};

TEST_F(BountyTest, ConnectSendsTheFactsAndPostsTheReply)
{
    mPrimary.reply("/Connect", kSuccess);
    BountyConnect::requestBountyConnectWithAppId(kAppId, mLoop);
    ASSERT_TRUE(waitForNotifications(1));
    mLoop.runFor(0.05);
    EXPECT_EQ(mSeen, "S");
    ASSERT_EQ(mPrimary.requestCount(), 1u);
    const auto request = mPrimary.requests()[0];
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target, "/Connect?udid=" + platform::deviceUniqueIdentifier() +
                                  "&device_type=iPod%2520touch&os_version=4.3&app_id=" + kAppId +
                                  "&app_version=2.1&library_version=7.2.0&country_code=CA&language_code=fr");
    EXPECT_EQ(mFallback.requestCount(), 0u);

    // Asked again: one more call, but still one activation observer.
    BountyConnect::requestBountyConnectWithAppId(kAppId, mLoop);
    ASSERT_TRUE(waitForNotifications(2));
    // The first activation after launch sends nothing; the next one sends.
    activate();
    mLoop.runFor(0.1);
    EXPECT_EQ(mPrimary.requestCount(), 2u);
    // A later reply that is an error posts only the failure: the old reply is gone.
    mPrimary.reply("/Connect", kError);
    activate();
    ASSERT_TRUE(waitForNotifications(3));
    mLoop.runFor(0.05);
    EXPECT_EQ(mPrimary.requestCount(), 3u);
    EXPECT_EQ(mSeen, "SSF");
}

TEST_F(BountyTest, FirstFailureRetriesOnTheFallbackHost)
{
    struct Case {
        const char *name;
        bool fallbackAnswers;
        std::string expected;
    };
    for (const auto &c : std::vector<Case>{{"fallback answers", true, "S"}, {"both fail", false, "F"}}) {
        SCOPED_TRACE(c.name);
        BountyConnect::resetForTesting();
        mSeen.clear();
        TestHttpServer fallback;
        ASSERT_TRUE(fallback.start());
        fallback.reply("/Connect", kSuccess);
        const std::string fallbackUrl = fallback.url("/");
        if (!c.fallbackAnswers)
            fallback.stop();
        mPrimary.stop(); // refused
        BountyConnect::setConnectUrls(mPrimary.url("/"), fallbackUrl);
        BountyConnect::requestBountyConnectWithAppId(kAppId, mLoop);
        ASSERT_TRUE(waitForNotifications(1));
        mLoop.runFor(0.1);
        EXPECT_EQ(mSeen, c.expected);
        EXPECT_EQ(BountyConnect::sharedBountyConnect()->connectAttempts(), 2);
        EXPECT_EQ(fallback.requestCount(), c.fallbackAnswers ? 1u : 0u);
    }
}

TEST_F(BountyTest, RepliesPostWhatTheyHold)
{
    struct Case {
        std::string xml;
        std::string expected;
    };
    for (const auto &c : std::vector<Case>{
             {"<a><Success>true</Success></a>", "S"},
             {"<a><Success>false</Success></a>", ""},
             {"<a><ErrorMessage/><Other>true</Other></a>", "F"},
             {"<a><Success>tr<!-- split -->ue</Success><Success>true</Success></a>", "SS"},
             {"<a><Success>true</Success><broken", "S"},
             {"not xml at all", ""},
             {"", ""},
         }) {
        SCOPED_TRACE(c.xml);
        mSeen.clear();
        bounty::postConnectReply(c.xml);
        EXPECT_EQ(mSeen, c.expected);
    }
}

} // namespace
