// Ads answers from a hostile ad server, through the report exchange: what
// pictures may cost once decoded, this launch and the next ones served from
// the image cache, and answers too large to archive and read back.
#include "platform/image.h"
#include "support/ad_answer.h"
#include "support/report_decoder.h"
#include "support/tally_fixture.h"
#include "tally/TallyAdParser.h"
#include "tally/TallyAdServing.h"
#include "tally/TallyCaches.h"
#include "test_http_server.h"

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using adanswer::Answer;
using tally::TallyAdParser;
using tally::TallyAPI;

// A report server that answers reports asking for ads with `answer`.
class AdServerFaults : public TallyFixture {
protected:
    void SetUp() override
    {
        TallyFixture::SetUp();
        mServer.handle("/aap.do", [this](const testsupport::RecordedRequest &r) {
            const auto report = reporttest::decodeReport(r.body);
            std::lock_guard lock(mMutex);
            if (!report || report->adsRequested == 0)
                return testsupport::Reply{200, {}, "OK"};
            return testsupport::Reply{mStatus, {}, mStatus == 200 ? mAnswer : std::string("down")};
        });
        ASSERT_TRUE(mServer.start());
    }
    // One launch of the game: a fresh process state, a session whose report
    // asks for ads and gets the server's answer (or its failure).
    std::shared_ptr<TallyAdParser> launch(const Answer &answer, int status = 200)
    {
        {
            std::lock_guard lock(mMutex);
            mAnswer.assign(answer.body.begin(), answer.body.end());
            mStatus = status;
        }
        TallyAPI::resetForTesting();
        TallyAPI::setServerURL(mServer.url("/aap.do"));
        TallyAPI::setAppShowcaseEnabled(true);
        TallyAPI::startSession("KEY");
        TallyAPI::waitForPendingReports();
        return TallyAdParser::instance();
    }
    // A 2048 x 2048 picture (16 MiB of pixels) in a small PNG.
    static const adanswer::Bytes &bigPng()
    {
        static const adanswer::Bytes png = [] {
            platform::Image image;
            image.width = image.height = 2048;
            image.rgba.assign(std::size_t{2048} * 2048 * 4, 0);
            return platform::encodePng(image, 9);
        }();
        return png;
    }
    // Ten ads on hook "h", ad n drawn with picture `firstImage` + n.
    static Answer tenAds(std::int64_t firstImage, bool withPictures)
    {
        Answer a;
        std::vector<adanswer::Image> images;
        std::vector<adanswer::Ad> ads;
        for (std::int64_t n = 0; n < 10; ++n) {
            images.push_back({firstImage + n, 2048, 2048, "image/png", bigPng()});
            ads.push_back(adanswer::ad(100 + n, firstImage + n));
        }
        if (withPictures)
            a.images(images);
        return std::move(a.theme(2, 0, 0).hooks({{"h", 1, 2}}).adBlock(1, ads).end());
    }
    // The pictures the ads of hook "h" are served with, asked for by ten parents.
    static std::size_t picturesServed()
    {
        std::set<std::int64_t> pictures;
        for (int parent = 0; parent < 10; ++parent) {
            const auto ad = TallyAdParser::fastAdWithHook("h", "<UIView: 0x" + std::to_string(parent + 1) + ">");
            if (ad && ad->adImage)
                pictures.insert(ad->imageId.value_or(0));
        }
        return pictures.size();
    }

    testsupport::TestHttpServer mServer;
    std::mutex mMutex;
    std::string mAnswer;
    int mStatus = 200;
};

TEST_F(AdServerFaults, DecodedPicturesStayWithinTheBoundThisLaunchAndTheNext)
{
    constexpr std::uint64_t kPicture = std::uint64_t{2048} * 2048 * 4;
    constexpr std::uint64_t kFit = TallyAdParser::kMaxDecodedImageBytes / kPicture;
    static_assert(kFit == 4);

    // Ten pictures of 16 MiB each: the first four are kept, the rest refused.
    const auto first = launch(tenAds(1, true));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->imageIds().size(), kFit);
    EXPECT_EQ(first->decodedImageBytes(), kFit * kPicture);
    EXPECT_EQ(picturesServed(), kFit);
    EXPECT_LE(first->decodedImageBytes(), TallyAdParser::kMaxDecodedImageBytes);

    // A second answer brings ten more: the image cache now holds eight.
    const auto second = launch(tenAds(11, true));
    EXPECT_EQ(second->decodedImageBytes(), kFit * kPicture);
    EXPECT_EQ(tally::TallyImageCache::instance()->storedIds().size(), 2 * kFit);

    // A third answer names pictures of both from the cache; a fourth launch
    // whose exchange fails is served by the third's archive. Neither holds
    // more than the bound, however many ads ask.
    Answer both;
    std::vector<adanswer::Ad> ads;
    for (std::int64_t n = 0; n < 4; ++n) {
        ads.push_back(adanswer::ad(200 + n, 1 + n));
        ads.push_back(adanswer::ad(300 + n, 11 + n));
    }
    both.theme(2, 0, 0).hooks({{"h", 1, 2}}).adBlock(1, ads).end();
    const auto third = launch(both);
    EXPECT_EQ(third->decodedImageBytes(), kFit * kPicture);
    EXPECT_EQ(picturesServed(), kFit);
    EXPECT_LE(third->decodedImageBytes(), TallyAdParser::kMaxDecodedImageBytes);

    (void)launch(Answer{}, 500);
    const auto old = TallyAdParser::oldInstance();
    ASSERT_TRUE(old);
    for (int parent = 0; parent < 10; ++parent)
        (void)old->adWithHook("h", "<UIView: 0x" + std::to_string(parent + 1) + ">");
    EXPECT_GT(old->decodedImageBytes(), 0u);
    EXPECT_LE(old->decodedImageBytes(), TallyAdParser::kMaxDecodedImageBytes);
}

// The most an answer may declare of each kind, in hooks, ads and image codes.
Answer fullAnswer(std::uint64_t hooks, std::uint64_t adsPerBlock, std::uint64_t codes)
{
    Answer a;
    std::vector<Answer::Hook> hookList;
    for (std::uint64_t n = 0; n < hooks; ++n)
        hookList.push_back({"hook" + std::to_string(n), static_cast<std::uint8_t>(n % 16), 2});
    a.theme(2, 0, 0).hooks(hookList);
    for (std::uint64_t block = 0; block < TallyAdParser::kMaxAds / adsPerBlock; ++block) {
        std::vector<adanswer::Ad> ads;
        for (std::uint64_t n = 0; n < adsPerBlock; ++n)
            ads.push_back({static_cast<std::int64_t>(block * adsPerBlock + n), 1, "Play", "Maker", 0, 0, {1, 2}});
        a.adBlock(static_cast<std::uint8_t>(block), ads);
    }
    std::vector<std::pair<std::int64_t, std::int16_t>> codeList;
    for (std::uint64_t n = 0; n < codes; ++n)
        codeList.push_back({static_cast<std::int64_t>(n + 1), static_cast<std::int16_t>(n)});
    return std::move(a.imageCodes(codeList).end());
}

TEST_F(AdServerFaults, AnswersPastTheCapsAreRefusedWholeAndWhatIsKeptReadsBack)
{
    // At the caps: kept, archived, and read back whole by the next launch.
    const auto kept = launch(fullAnswer(TallyAdParser::kMaxHooks, 256, TallyAdParser::kMaxImageCodes));
    ASSERT_EQ(kept->hookNames().size(), TallyAdParser::kMaxHooks);
    (void)launch(Answer{}, 500);
    const auto old = TallyAdParser::oldInstance();
    ASSERT_TRUE(old) << "the archive of an accepted answer did not read back";
    EXPECT_EQ(old->hookNames().size(), TallyAdParser::kMaxHooks);
    EXPECT_EQ(old->adBlockIds().size(), TallyAdParser::kMaxAds / 256);
    EXPECT_EQ(old->adBlock(15).size(), 256u);
    EXPECT_EQ(old->imageCodes().size(), TallyAdParser::kMaxImageCodes);

    // One more of any kind refuses the answer whole: nothing of it is kept,
    // and the archive of the one before still serves.
    const std::vector<std::pair<const char *, Answer>> over = {
        {"hooks", fullAnswer(TallyAdParser::kMaxHooks + 1, 256, 1)},
        {"ads", [] {
             auto a = fullAnswer(1, 256, 1);
             return std::move(a.adBlock(200, {adanswer::ad(1)}));
         }()},
        {"image codes", fullAnswer(1, 256, TallyAdParser::kMaxImageCodes + 1)},
    };
    for (const auto &[what, answer] : over) {
        SCOPED_TRACE(what);
        const auto refused = launch(answer);
        EXPECT_TRUE(refused->hookNames().empty());
        EXPECT_TRUE(refused->adBlockIds().empty());
        EXPECT_EQ(refused->adParsingPhase(), 0);
        const auto still = TallyAdParser::oldInstance();
        ASSERT_TRUE(still);
        EXPECT_EQ(still->hookNames().size(), TallyAdParser::kMaxHooks);
    }
}

// Answers are parsed on the report's own thread while the game looks ads,
// hooks and pictures up on the main thread.
class AdServerFaultsThreads : public AdServerFaults {};

TEST_F(AdServerFaultsThreads, ParsingOnTheUploadThreadWhileTheMainThreadLooksUp)
{
    tally::TallyFileCache::createInstanceWithApiKey("KEY");
    tally::TallyImageCache::recreateInstanceWithFileCache(tally::TallyFileCache::instance());
    tally::TallyAdAssignment::recreateInstance();
    platform::Image small;
    small.width = small.height = 4;
    small.rgba.assign(64, 0x80);
    Answer answer;
    answer.images({{9, 4, 4, "image/png", platform::encodePng(small)}})
        .theme(2, 0, 0)
        .hooks({{"h", 1, 2}})
        .adBlock(1, {adanswer::ad(1, 9), adanswer::ad(2, 9)})
        .imageCodes({{9, 3}})
        .end();
    std::atomic<bool> done{false};
    std::thread upload([&] {
        for (int n = 0; n < 40; ++n) {
            const auto parser = TallyAdParser::recreateInstance();
            parser->parseData(std::span<const std::uint8_t>(answer.body));
        }
        done = true;
    });
    for (int n = 0; !done; ++n) {
        const std::string parent = "<UIView: 0x" + std::to_string(n % 7 + 1) + ">";
        if (const auto ad = TallyAdParser::fastAdWithHook("h", parent)) {
            EXPECT_NE(ad->adImage, nullptr);
        }
        (void)TallyAdParser::fastHookWithName("h");
        (void)TallyAdParser::fastImageWithCode(3);
        if (const auto parser = TallyAdParser::instance()) {
            EXPECT_LE(parser->decodedImageBytes(), TallyAdParser::kMaxDecodedImageBytes);
        }
    }
    upload.join();
    EXPECT_NE(TallyAdParser::fastAdWithHook("h", "<UIView: 0x99>"), nullptr);
    EXPECT_NE(TallyAdParser::fastImageWithCode(3), nullptr);
}

} // namespace
