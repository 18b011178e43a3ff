// The image cache's bound and its order of eviction, and the HTTP client's
// idea of success and its saved copies, against a scripted server.
#include "support/tally_fixture.h"
#include "tally/TallyCaches.h"
#include "tally/TallyHTTP.h"
#include "test_http_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using tally::TallyImageCache;

class CachesAndHttp : public TallyFixture {};

tally::TallyImage imageNumbered(std::int64_t id)
{
    tally::TallyImage image;
    image.imageId = id;
    image.width = static_cast<std::int32_t>(id);
    image.fileName = "ad" + std::to_string(id) + ".png";
    return image;
}

TEST_F(CachesAndHttp, TheImageCacheEvictsTheLeastRecentlyUsedPastForty)
{
    auto files = tally::TallyFileCache::createInstanceWithApiKey("cachekey");
    auto cache = TallyImageCache::recreateInstanceWithFileCache(files);
    const auto fileOf = [&](std::int64_t id) { return files->createFilePath(TallyImageCache::imageIdToFileName(id)); };
    for (std::int64_t id = 1; id <= TallyImageCache::kMaxImageCached; ++id)
        cache->save(imageNumbered(id), id);
    ASSERT_EQ(cache->storedIds().size(), 40u);
    // Read: 1 becomes the most recent; 2 is now the least.
    ASSERT_TRUE(cache->get(1));
    cache->save(imageNumbered(40), 40); // already there: nothing goes
    EXPECT_EQ(cache->storedIds().size(), 40u);
    cache->save(imageNumbered(41), 41);
    const auto ids = cache->storedIds();
    EXPECT_EQ(ids.size(), 40u);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 2), 0);
    EXPECT_FALSE(platform::fileExists(fileOf(2)));
    EXPECT_FALSE(cache->get(2));
    ASSERT_TRUE(cache->get(1));
    EXPECT_EQ(cache->get(1)->width, 1);
    EXPECT_TRUE(platform::fileExists(fileOf(41)));
    // Order after the reads: 3 ... 39, 40, 41, 1.
    const auto lru = cache->lru();
    ASSERT_EQ(lru.size(), 40u);
    EXPECT_EQ(lru.front(), 3);
    EXPECT_EQ(lru.back(), 1);

    // One more goes the same way: the next least recent, 3.
    cache->setAsMostRecentlyUsed(3);
    cache->save(imageNumbered(42), 42);
    EXPECT_FALSE(cache->get(4));
    EXPECT_TRUE(cache->get(3));

    // The archived index comes back with the same ids and order.
    const auto again = TallyImageCache::initWithCoder(cache->encodeWithCoder());
    EXPECT_EQ(again->storedIds(), cache->storedIds());
    EXPECT_EQ(again->lru(), cache->lru());
}

TEST_F(CachesAndHttp, SuccessIsTwoHundredToThreeNinetyNineAndCopiesReadBack)
{
    testsupport::TestHttpServer server;
    const std::string body("binary\0body\xff", 12);
    for (const int status : {200, 399, 400}) {
        server.reply("/s" + std::to_string(status),
                     {status, {{"Content-Type", "application/octet-stream"}, {"X-Tally", "yes"}}, body});
    }
    ASSERT_TRUE(server.start());
    struct Case {
        int status;
        bool success;
    };
    for (const Case c : {Case{200, true}, Case{399, true}, Case{400, false}}) {
        SCOPED_TRACE(c.status);
        const auto response = tally::TallyHTTPEater::sendMethod("GET", server.url("/s" + std::to_string(c.status)),
                                                                {}, {}, 10, false);
        EXPECT_EQ(response.statusCode(), c.status);
        EXPECT_EQ(response.isSuccess(), c.success);
        EXPECT_EQ(response.isError(), !c.success);
        EXPECT_EQ(std::string(response.body().begin(), response.body().end()), body);
        if (c.status != 399)
            continue;
        // The saved copy gives back status, body and headers.
        const auto path = response.saveToDisk();
        ASSERT_TRUE(path);
        for (const std::string &url : {*path, "file://" + *path}) {
            const auto copy = tally::TallyHTTPResponse::readFromURL(url);
            ASSERT_TRUE(copy) << url;
            EXPECT_EQ(copy->statusCode(), 399);
            EXPECT_EQ(copy->body(), response.body());
            EXPECT_EQ(copy->headers(), response.headers());
            EXPECT_EQ(copy->headers().count("X-Tally"), 1u);
            EXPECT_FALSE(copy->error());
        }
    }
    // 199 is no final status a server can send over HTTP/1.1: the answer as built.
    EXPECT_FALSE(tally::TallyHTTPResponse({}, 199, {}, std::nullopt).isSuccess());
    EXPECT_FALSE(tally::TallyHTTPResponse({}, 0, {}, std::string("refused")).isSuccess());
    EXPECT_FALSE(tally::TallyHTTPResponse::readFromURL(mRoot + "/no-such-copy"));
}

} // namespace
