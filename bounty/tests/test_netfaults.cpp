// The connect call against a hostile offers server: whatever the reply
// holds, each call ends in exactly one outcome.
#include "bounty_fixture.h"

#include <string>
#include <vector>

namespace {

using namespace bountytest;

TEST_F(BountyTest, HostileRepliesGiveOneOutcomePerCall)
{
    std::string errors = "<Reply>";
    for (int i = 0; i < 1000000; ++i)
        errors += "<ErrorMessage/>";
    errors += "</Reply>";
    struct Case {
        const char *what;
        std::string body;
        char outcome;
    };
    const std::vector<Case> cases = {
        {"a million error elements", errors, 'F'},
        {"a reply the XML parser refuses", "<Reply><Success>true</Success></Rep", 'F'},
        {"a verdict other than true", "<Reply><Success>yes</Success></Reply>", 'F'},
        {"no verdict at all", "<Reply/>", 'F'},
        {"an HTML error page", "<html><body>502</body>", 'F'},
        {"success", "<Reply><Success>true</Success></Reply>", 'S'},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        BountyConnect::resetForTesting();
        BountyConnect::setConnectUrls(mPrimary.url("/"), mFallback.url("/"));
        mSeen.clear();
        mPrimary.reply("/Connect", Reply{200, {}, c.body});
        const std::size_t before = mPrimary.requestCount();
        BountyConnect::requestBountyConnectWithAppId(kAppId, mLoop);
        ASSERT_TRUE(waitForNotifications(1));
        // Nothing more follows once the exchange is over.
        mLoop.runFor(0.1);
        EXPECT_EQ(mSeen, std::string(1, c.outcome));
        EXPECT_EQ(mPrimary.requestCount(), before + 1);
    }
}

} // namespace
