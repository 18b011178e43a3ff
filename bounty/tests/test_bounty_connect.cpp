// The connect call: its query, the fallback host after the first failure,
// the notifications its XML reply gives, and the activations after launch.
#include "bounty_fixture.h"

namespace {

using namespace bountytest;

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

TEST_F(BountyTest, EachReplyPostsExactlyOneOutcome)
{
    struct Case {
        std::string xml;
        std::string expected;
    };
    for (const auto &c : std::vector<Case>{
             {"<a><Success>true</Success></a>", "S"},
             {"<a><Success>tr<!-- split -->ue</Success><Success>true</Success></a>", "S"},
             {"<a><Success>false</Success></a>", "F"},
             {"<a><Success> true</Success></a>", "F"},
             {"<a><ErrorMessage/><Other>true</Other></a>", "F"},
             {"<a><Success>true</Success><ErrorMessage/><ErrorMessage/></a>", "F"},
             {"<a><Success>true</Success><broken", "F"},
             {"not xml at all", "F"},
             {"", "F"},
         }) {
        SCOPED_TRACE(c.xml);
        mSeen.clear();
        bounty::postConnectReply(c.xml);
        EXPECT_EQ(mSeen, c.expected);
    }
}

} // namespace
