// The connect call against two scripted servers standing in for the offers
// network's primary and fallback hosts, with the notifications it posts
// collected as "S" (success) and "F" (failure).
#ifndef BOUNTY_TESTS_BOUNTY_FIXTURE_H
#define BOUNTY_TESTS_BOUNTY_FIXTURE_H

#include "bounty/BountyConnect.h"
#include "test_http_server.h"

#include "platform/device.h"
#include "platform/files.h"
#include "platform/notifications.h"
#include "platform/runloop.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace bountytest {

using bounty::BountyConnect;
using testsupport::Reply;
using testsupport::TestHttpServer;

inline constexpr const char *kAppId = "0a1b2c3d-0000-4000-8000-123456789abc";

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

inline const Reply kSuccess{200, {}, "<?xml version=\"1.0\"?><Reply><Success>true</Success></Reply>", 0.0};
inline const Reply kError{200, {}, "<Reply><ErrorMessage>bad app</ErrorMessage></Reply>", 0.0};

} // namespace bountytest

#endif // BOUNTY_TESTS_BOUNTY_FIXTURE_H
