// The ads answer: its parse (bounds, odd chunks, images), the archive that
// serves the next launch, the lookups that rotate ads over parents, and the
// settings and bookkeeping beside them. Answers come from the test writer.
#include "support/ad_answer.h"
#include "support/report_decoder.h"
#include "support/tally_fixture.h"
#include "tally/TallyAdImpression.h"
#include "tally/TallyAdView.h"
#include "tally/TallyAdParser.h"
#include "tally/TallyAdServing.h"
#include "tally/TallyCaches.h"
#include "ui_fixtures.h"

#include "platform/keyed_archive.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using adanswer::Answer;
using tally::TallyAdParser;

class Recorder : public tally::TallyAdDelegate {
public:
    void dataAvailable() override { seen += "A"; }
    void dataUnavailable() override { seen += "U"; }
    std::string seen;
};

class AdsTest : public TallyFixture {
protected:
    void SetUp() override
    {
        TallyFixture::SetUp();
        tally::TallyFileCache::createInstanceWithApiKey("adkey");
        tally::TallyImageCache::recreateInstanceWithFileCache(tally::TallyFileCache::instance());
        tally::TallyAdAssignment::recreateInstance();
    }
    std::string cacheFile(const std::string &key) const
    {
        return mRoot + "/Library/Caches/Tally/tallyCache_" + key + "_adkey.archive";
    }
    // PNG bytes of a w x h picture filled with one colour, made by netpbm.
    std::vector<std::uint8_t> png(unsigned w, unsigned h)
    {
        const auto path = std::filesystem::path(mRoot) / ("p" + std::to_string(w) + "x" + std::to_string(h) + ".png");
        EXPECT_TRUE(testsupport::writePlaceholderPng(path, w, h));
        return testsupport::readBytes(path);
    }
    std::shared_ptr<TallyAdParser> parse(const Answer &answer, std::shared_ptr<Recorder> recorder = nullptr)
    {
        auto parser = TallyAdParser::recreateInstance();
        if (recorder)
            parser->setAdDelegate(recorder);
        parser->parseData(std::span<const std::uint8_t>(answer.body));
        return parser;
    }
    // An answer that serves hook "h" (and the default hook "") from block 1
    // with the given ads, all drawn with image 9.
    Answer servingAnswer(const std::vector<std::int64_t> &adIds)
    {
        std::vector<adanswer::Ad> ads;
        for (const auto id : adIds)
            ads.push_back({id, 100, "App", "Maker", 0, 9, {}});
        Answer a;
        a.images({{9, 4, 4, "image/png", png(4, 4)}}).theme(2, 0, 0).hooks({{"h", 1, 2}, {"", 1, 2}}).adBlock(1, ads);
        return a;
    }
};

TEST_F(AdsTest, ParseHandlesOddAndDamagedMessages)
{
    struct Case {
        const char *name;
        std::function<void(Answer &)> build;
        std::function<void(const TallyAdParser &)> check;
    };
    const std::vector<Case> cases = {
        {"unknown chunk skipped by its size",
         [](Answer &a) { a.chunk(0x0104, adanswer::Payload().u8(1).u32(0xFFFFFFFF)).version(41); },
         [](const TallyAdParser &p) { EXPECT_EQ(p.versionId(), 41); }},
        {"trailing bytes in a chunk ignored",
         [](Answer &a) {
             a.properties(45, 7, 4, 2, "3", "1.5", {0xAA, 0xBB, 0xCC}).version(42);
         },
         [](const TallyAdParser &p) {
             EXPECT_EQ(p.versionId(), 42);
             EXPECT_EQ(tally::TallyAdProperties::getBannerRefreshInSeconds(), 45u);
             EXPECT_EQ(tally::TallyAdProperties::getPortraitAdsMaxShown(), 4);
             EXPECT_FLOAT_EQ(tally::TallyAdProperties::getLandscapeAdsShownAtStart(), 1.5F);
             EXPECT_EQ(tally::TallyImageCache::instance()->cacheUpdateTimestamp(), 7);
         }},
        {"image -1 ends its chunk: 7 after it is not stored",
         [](Answer &a) {
             a.images({{-1, 1, 1, "image/png", {1, 2}}, {7, 1, 1, "image/png", {3}}});
         },
         [](const TallyAdParser &p) { EXPECT_TRUE(p.imageIds().empty()); }},
        {"image 0 parsed and dropped",
         [](Answer &a) {
             a.images({{0, 1, 1, "image/png", {3}}, {8, 1, 1, "image/png", {4}}});
         },
         [](const TallyAdParser &p) { EXPECT_EQ(p.imageIds(), std::vector<std::int64_t>{8}); }},
        {"block sent twice keeps the second",
         [](Answer &a) {
             a.adBlock(3, {adanswer::ad(1), adanswer::ad(2)}).adBlock(3, {adanswer::ad(5)});
         },
         [](const TallyAdParser &p) {
             const auto ads = p.adBlock(3);
             ASSERT_EQ(ads.size(), 1u);
             EXPECT_EQ(ads[0].adId, 5);
         }},
        {"cookie and texts of an ad",
         [](Answer &a) {
             a.adBlock(0, {{-3, 4, std::string("ab\0cd", 5), "", 6, 7, {0x0A, 0xFF, 0x00, 1, 2}}});
         },
         [](const TallyAdParser &p) {
             const auto ads = p.adBlock(0);
             ASSERT_EQ(ads.size(), 1u);
             EXPECT_EQ(ads[0].adId, -3);
             EXPECT_EQ(ads[0].adText, "ab"); // a zero byte ends the text
             EXPECT_EQ(ads[0].advertiser, "");
             EXPECT_EQ(ads[0].adCookieSize, 5);
             EXPECT_EQ(ads[0].adCookieString(), "0aff000102");
             EXPECT_EQ(ads[0].imageId, 7);
         }},
        {"colour top byte ignored; theme above 127 completed",
         [](Answer &a) { a.theme(200, 0, 0, 0x12FF8000).themeExtension(200, 1); },
         [](const TallyAdParser &p) {
             const auto t = p.theme(200);
             ASSERT_TRUE(t.has_value());
             const tally::TallyAdColor expected{1.0F, 128.0F / 255.0F, 0.0F, 1.0F};
             EXPECT_EQ(t->portraitSellMessageTextStyle->fontColor, expected);
             EXPECT_EQ(t->landscapeAppNameTextStyle->font, "Arial");
             EXPECT_EQ(t->portraitAdDimension, (tally::TallyAdDimension{1, 2}));
             EXPECT_EQ(t->landscapeAppImageLocation, (tally::TallyAdLocation{11, 12}));
             EXPECT_EQ(t->landscapeAdvertiserTextStyle->dimension, (tally::TallyAdDimension{35, 36}));
         }},
        {"hook names: not UTF-8 dropped, click action kept, other keys ignored",
         [](Answer &a) {
             a.hooks({{"ok", 1, 1}, {"\xff\xfe", 1, 1}}).hookAttributes("ok", {{0x0702, 9}, {0x0701, 3}});
         },
         [](const TallyAdParser &p) { EXPECT_EQ(p.hookNames(), std::vector<std::string>{"ok"}); }},
        {"count past the chunk keeps the entries read whole",
         [](Answer &a) {
             adanswer::Payload p;
             p.u32(3).str("one").u8(1).u8(1).str("two").u8(2); // the second is cut short
             a.chunk(0x0107, p).version(5);
         },
         [](const TallyAdParser &p) {
             EXPECT_EQ(p.hookNames(), std::vector<std::string>{"one"});
             EXPECT_EQ(p.versionId(), 5);
         }},
        {"payload past the body ends the walk",
         [](Answer &a) {
             a.version(6);
             a.body.insert(a.body.end(), {0x01, 0x02, 0xFF, 0xFF, 0xFF, 0xFA, 0, 0, 0, 9});
         },
         [](const TallyAdParser &p) { EXPECT_EQ(p.versionId(), 6); }},
        {"torn chunk header ends the walk",
         [](Answer &a) {
             a.version(8);
             a.body.insert(a.body.end(), {0x01, 0x02, 0x00});
         },
         [](const TallyAdParser &p) { EXPECT_EQ(p.versionId(), 8); }},
        {"truncated property chunk sets nothing",
         [](Answer &a) { a.chunk(0x010D, adanswer::Payload().u16(0).u16(0).u32(99)); },
         [](const TallyAdParser &) { EXPECT_EQ(tally::TallyAdProperties::getBannerRefreshInSeconds(), 20u); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        tally::TallyAdProperties::resetForTesting();
        Answer a;
        c.build(a);
        const auto parser = parse(a);
        EXPECT_EQ(parser->adParsingPhase(), 1);
        c.check(*parser);
    }
}

TEST_F(AdsTest, SignalsAndArchiveAtTheEndOfMessage)
{
    auto recorder = std::make_shared<Recorder>();
    auto parser = TallyAdParser::recreateInstance();
    parser->setAdDelegate(recorder);
    parser->parseData(std::nullopt);
    parser->parseData(std::span<const std::uint8_t>());
    EXPECT_EQ(recorder->seen, "UU");
    EXPECT_FALSE(TallyAdParser::isAdParserFinished());

    recorder->seen.clear();
    Answer a;
    a.error(3, "no ads today").adBlock(1, {adanswer::ad(1)});
    parse(a, recorder);
    EXPECT_EQ(recorder->seen, "UA");
    EXPECT_TRUE(TallyAdParser::isAdParserFinished());
    EXPECT_FALSE(std::filesystem::exists(cacheFile("adParser")));

    Answer only;
    only.end();
    parse(only);
    EXPECT_TRUE(std::filesystem::exists(cacheFile("adParser")));
    EXPECT_TRUE(std::filesystem::exists(cacheFile("imageCache")));
    const auto old = TallyAdParser::recreateOldInstance();
    ASSERT_NE(old, nullptr);
    EXPECT_TRUE(old->adBlockIds().empty());
    EXPECT_EQ(old->adParsingPhase(), 0); // archived before the phase is set
    EXPECT_FALSE(old->internetAvailable());
}

TEST_F(AdsTest, ImagesAreDecodedCachedAndCapped)
{
    Answer a;
    a.images({{5, 3, 2, "image/png", png(3, 2)},
              {6, 4097, 1, "image/png", png(4097, 1)},
              {7, 0, 0, "image/png", std::vector<std::uint8_t>(TallyAdParser::kMaxImageDataSize + 1, 0x89)}})
        .end();
    const auto parser = parse(a);
    EXPECT_EQ(parser->imageIds(), (std::vector<std::int64_t>{5, 6, 7}));
    const auto picture = parser->getImage(5);
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->width, 3u);
    EXPECT_EQ(picture->pixel(2, 1), 0x3366ccffu);
    EXPECT_EQ(parser->getImage(6), nullptr); // wider than the decoder allows
    EXPECT_EQ(parser->getImage(7), nullptr); // more data than the cap
    EXPECT_TRUE(std::filesystem::exists(cacheFile("tallyImage5")));
    // A later answer that only names image 5 finds it in the cache.
    Answer later;
    later.adBlock(1, {adanswer::ad(1, 5)});
    const auto next = parse(later);
    EXPECT_NE(next->getImage(5), nullptr);
}

// The image cache keeps each image as a record with its picture in PNG; the
// PNG must be one pngcheck accepts, with the pixels of the source as netpbm
// (PNG) or djpeg (JPEG) decode it.
TEST_F(AdsTest, ArchivedImagesKeepTheSourcePixels)
{
    const auto dir = std::filesystem::path(mRoot);
    const auto source = testsupport::makePixels(
        13, 7, [](unsigned x, unsigned y) { return (x * 19u << 24) | (y * 37u << 16) | ((x + y) * 11u << 8) | 0xffu; });
    ASSERT_TRUE(testsupport::writePng(dir / "src.png", source, false));
    ASSERT_TRUE(testsupport::runQuietly("pngtopam '" + (dir / "src.png").string() + "' | cjpeg -quality 80 > '" +
                                        (dir / "src.jpg").string() + "'"));
    ASSERT_TRUE(testsupport::runQuietly("djpeg -pnm '" + (dir / "src.jpg").string() + "' > '" +
                                        (dir / "djpeg.ppm").string() + "'"));
    Answer a;
    a.images({{21, 13, 7, "image/png", testsupport::readBytes(dir / "src.png")},
              {22, 13, 7, "image/jpeg", testsupport::readBytes(dir / "src.jpg")}});
    parse(a);

    const auto sourcePam = [&](const std::string &name) {
        return testsupport::readNetpbm(testsupport::readBytes(dir / name));
    };
    ASSERT_TRUE(testsupport::runQuietly("pngtopam '" + (dir / "src.png").string() + "' > '" +
                                        (dir / "src.pam").string() + "'"));
    for (const auto &[id, expected] :
         {std::pair{21, std::string("src.pam")}, std::pair{22, std::string("djpeg.ppm")}}) {
        SCOPED_TRACE(id);
        const auto archived =
            platform::unarchiveData(testsupport::readBytes(cacheFile("tallyImage" + std::to_string(id))));
        const auto *png = platform::KeyedUnarchiver(archived, "TallyAdImage").decodeObject("imageData");
        ASSERT_NE(png, nullptr);
        const auto pngPath = dir / ("archived" + std::to_string(id) + ".png");
        {
            std::ofstream out(pngPath, std::ios::binary);
            const auto &bytes = *png->get<platform::PlistData>();
            out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        }
        EXPECT_TRUE(testsupport::runQuietly("pngcheck -q '" + pngPath.string() + "'"));
        ASSERT_TRUE(testsupport::runQuietly("pngtopam '" + pngPath.string() + "' > '" + pngPath.string() + ".pam'"));
        const auto got = testsupport::readNetpbm(testsupport::readBytes(pngPath.string() + ".pam"));
        const auto want = sourcePam(expected);
        ASSERT_EQ(want.rgba.size(), 13u * 7u * 4u);
        EXPECT_EQ(got.width, want.width);
        EXPECT_EQ(got.rgba, want.rgba);
    }
}

TEST_F(AdsTest, AdsRotateOverParents)
{
    const auto parser = parse(servingAnswer({1, 2, 3}));
    for (const auto &[parent, expected] : std::vector<std::pair<std::string, std::int64_t>>{
             {"<UIView: 0x1>", 1}, {"<UIView: 0x2>", 2}, {"<UIView: 0x3>", 3}, {"<UIView: 0x4>", 1}}) {
        const auto ad = TallyAdParser::fastAdWithHook("h", parent);
        ASSERT_NE(ad, nullptr) << parent;
        EXPECT_EQ(ad->adId, expected) << parent;
        EXPECT_NE(ad->adImage, nullptr);
    }

    const auto two = parse(servingAnswer({1, 2}));
    const std::string parent = "<UIView: 0x9>";
    ASSERT_NE(two->adWithHook("h", parent), nullptr);
    ASSERT_NE(two->adWithHook("h", parent), nullptr);
    EXPECT_EQ(two->adWithHook("h", parent), nullptr);
    // Two shown, then five tries: the block order is swapped.
    const auto block = two->adBlock(1);
    ASSERT_EQ(block.size(), 2u);
    EXPECT_EQ(block[0].adId, 2);
    // An unknown hook is served by the default one; no parent means no bookkeeping.
    EXPECT_NE(two->adWithHook("unknown", std::nullopt), nullptr);
    EXPECT_NE(two->adWithHook("unknown", std::nullopt), nullptr);
}

TEST_F(AdsTest, HooksNeedTheirThemeImages)
{
    Answer a;
    a.images({{1LL << 33, 1, 1, "image/png", png(1, 1)}})
        .theme(1, 0, 5)
        .theme(2, 0, (1LL << 32) + 5) // not 5 once cut to 32 bits
        .theme(3, 1LL << 33, 0)
        .hooks({{"missing", 1, 1}, {"wide", 1, 2}, {"fine", 1, 3}, {"nothemed", 1, 4}});
    const auto parser = parse(a);
    EXPECT_EQ(parser->hookWithName("missing"), nullptr);
    EXPECT_EQ(parser->hookWithName("wide"), nullptr);
    EXPECT_EQ(parser->hookWithName("nothemed"), nullptr);
    const auto hook = parser->hookWithName("fine");
    ASSERT_NE(hook, nullptr);
    ASSERT_NE(hook->adTheme, nullptr);
    EXPECT_NE(hook->adTheme->portraitAdImage, nullptr);
    EXPECT_EQ(hook->adTheme->landscapeAdImage, nullptr);
}

TEST_F(AdsTest, OldParserServesUntilTheCurrentOneHasParsed)
{
    Answer a = servingAnswer({4});
    a.imageCodes({{9, 1}}).hookAttributes("h", {{0x0701, 2}}).end();
    parse(a);
    // Next launch: the archive serves before the new answer arrives.
    TallyAdParser::recreateOldInstance();
    auto current = TallyAdParser::recreateInstance();
    EXPECT_FALSE(TallyAdParser::isAdParserFinished());
    const auto ad = TallyAdParser::fastAdWithHook("h", "<UIView: 0x1>");
    ASSERT_NE(ad, nullptr);
    EXPECT_EQ(ad->adId, 4);
    const auto hook = TallyAdParser::fastHookWithName("h");
    ASSERT_NE(hook, nullptr);
    EXPECT_EQ(hook->clickAction, 2);
    EXPECT_NE(TallyAdParser::fastImageWithCode(1), nullptr);

    // A failed exchange: no ads, hooks still answer.
    current->setInternetAvailable(false);
    current->parseData(std::nullopt);
    EXPECT_EQ(TallyAdParser::fastAdWithHook("h", "<UIView: 0x2>"), nullptr);
    EXPECT_NE(TallyAdParser::fastHookWithName("h"), nullptr);

    // The archive reads back to the same archive.
    const auto old = TallyAdParser::oldInstance();
    ASSERT_NE(old, nullptr);
    const auto again = TallyAdParser::initWithCoder(old->encodeWithCoder());
    EXPECT_EQ(again->encodeWithCoder(), old->encodeWithCoder());
    EXPECT_EQ(again->imageCodes(), (std::map<std::int16_t, std::int64_t>{{1, 9}}));
}

TEST_F(AdsTest, ValueRecordsArchive)
{
    tally::TallyAdTheme theme;
    theme.themeId = 7;
    theme.sellMessage = "Sale";
    theme.portraitAdImageId = 1LL << 40;
    theme.portraitAppNameTextStyle->fontColor = tally::TallyAdColor::fromRgb(0x102030);
    theme.portraitAppNameTextStyle->fontSize = -3;
    theme.landscapeAppImageLocation = tally::TallyAdLocation{-1, 2};
    theme.portraitAdImage = std::make_shared<platform::Image>();
    const auto back = tally::TallyAdTheme::initWithCoder(theme.encodeWithCoder());
    EXPECT_EQ(back.encodeWithCoder(), theme.encodeWithCoder());
    EXPECT_EQ(back.portraitAdImage, nullptr);
    EXPECT_EQ(back.portraitAdImageId, 1LL << 40);

    // Missing style keys read back as no style, not default ones.
    platform::KeyedArchiver bare("TallyAdTheme");
    bare.encodeObject("themeId", std::int64_t{3});
    const auto sparse = tally::TallyAdTheme::initWithCoder(platform::PlistValue(bare.take()));
    EXPECT_FALSE(sparse.portraitSellMessageTextStyle.has_value());

    tally::TallyAdHook hook;
    hook.name = "h";
    hook.adTheme = std::make_shared<tally::TallyAdTheme>(theme);
    const auto hookBack = tally::TallyAdHook::initWithCoder(hook.encodeWithCoder());
    ASSERT_NE(hookBack.adTheme, nullptr);
    EXPECT_EQ(hookBack.adTheme->encodeWithCoder(), theme.encodeWithCoder());

    tally::TallyAd ad;
    EXPECT_EQ(ad.adCookieString(), "");
    ad.adId = 1;
    ad.adCookie = tally::Bytes{0x0A, 0xFF, 0x00};
    ad.adImage = std::make_shared<platform::Image>();
    const auto adBack = tally::TallyAd::initWithCoder(ad.encodeWithCoder());
    EXPECT_EQ(adBack.adCookieString(), "0aff00");
    EXPECT_EQ(adBack.adImage, nullptr);

    // A damaged parser archive is refused, not half read.
    platform::KeyedArchiver bad("TallyAdParser");
    bad.encodeObject("themeMap", platform::PlistDict{{"300", theme.encodeWithCoder()}});
    EXPECT_THROW((void)TallyAdParser::initWithCoder(platform::PlistValue(bad.take())), platform::ArchiveError);
}

TEST_F(AdsTest, PropertiesAndAssignment)
{
    using P = tally::TallyAdProperties;
    P::resetForTesting();
    EXPECT_EQ(P::getBannerRefreshInSeconds(), 20u);
    EXPECT_EQ(P::getCacheUpdateTimestamp(), 0);
    EXPECT_EQ(P::getPortraitAdsMaxShown(), 5);
    EXPECT_EQ(P::getLandscapeAdsMaxShown(), 3);
    EXPECT_FLOAT_EQ(P::getPortraitAdsShownAtStart(), 2.5F);
    EXPECT_FLOAT_EQ(P::getLandscapeAdsShownAtStart(), 0.75F);
    P::setBannerRefreshInSeconds(45);
    P::setCacheUpdateTimestamp((1LL << 32) + 1);
    EXPECT_EQ(P::getBannerRefreshInSeconds(), 45u);
    EXPECT_EQ(P::getCacheUpdateTimestamp(), (1LL << 32) + 1);
    P::setBannerRefreshInSeconds(std::nullopt);
    EXPECT_EQ(P::getBannerRefreshInSeconds(), 20u);

    tally::TallyAdAssignment::resetForTesting();
    EXPECT_EQ(tally::TallyAdAssignment::instance(), nullptr);
    const auto book = tally::TallyAdAssignment::createInstance();
    auto ad = std::make_shared<tally::TallyAd>();
    ad->adId = 1;
    auto twin = std::make_shared<tally::TallyAd>(*ad);
    EXPECT_EQ(book->assignAd(ad, "P"), ad);
    EXPECT_EQ(book->assignAd(twin, "P"), nullptr);
    EXPECT_EQ(book->assignAd(twin, "Q"), twin);
    EXPECT_EQ(book->assignAd(ad, std::nullopt), ad);
    book->removeAd(*ad, "P");
    EXPECT_EQ(book->assignAd(ad, "P"), ad);
    book->removeAdsOnParentName("Q");
    EXPECT_EQ(book->assignAd(ad, "Q"), ad);

    auto first = std::make_shared<int>(1);
    book->assignBanner(first, "h", "P");
    book->assignBanner(std::make_shared<int>(2), "h", "P");
    EXPECT_EQ(book->assignedBanner("h", "P"), first);
    book->unassignBanner("h", "P");
    EXPECT_EQ(book->assignedBanner("h", "P"), nullptr);
}

} // namespace

namespace {

using tally::TallyAdImpression;

reporttest::Session decodedCurrentSession()
{
    const auto record = tally::TallySession::currentSession()->data();
    std::string error;
    auto s = reporttest::decodeSessionRecord(std::string(record.begin(), record.end()), &error);
    EXPECT_TRUE(s.has_value()) << error;
    EXPECT_TRUE(tally::TallyProtocolData::isValidSessionRecord(record));
    return s.value_or(reporttest::Session{});
}

TEST_F(AdsTest, ImpressionsReachTheReportAndTheArchive)
{
    freezeClock();
    // Without a session an impression is stamped 0 and kept by nobody.
    const auto orphan = TallyAdImpression::initWithHook("abc", tally::kAdFormatBanner);
    EXPECT_EQ(orphan->adStates(), (std::vector<tally::TallyAdState>{{1, 0}}));
    const std::vector<std::uint8_t> golden = {0, 3, 'a', 'b', 'c', 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                              0, 0, 0,   0,   0,   0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(orphan->data(), golden);

    tally::TallySession::createActiveTallySession("adkey");
    advance(2.5);
    const auto offer = TallyAdImpression::initWithHook("store", tally::kAdFormatOffer);
    advance(1.0);
    tally::TallyAd ad;
    ad.adId = 77;
    ad.canvasId = 78;
    ad.adCookie = tally::Bytes{0xC0, 0x0C};
    offer->updateWithAd(ad);
    offer->updateWithResult(7);
    EXPECT_EQ(offer->currentState(), 7);

    auto session = decodedCurrentSession();
    ASSERT_EQ(session.impressions.size(), 1u); // one entry however often it changed
    const auto &m = session.impressions[0];
    EXPECT_EQ(m.hook, "store");
    EXPECT_EQ(m.format, 3);
    EXPECT_EQ(m.adId, 77);
    EXPECT_EQ(m.canvasId, 78);
    EXPECT_EQ(m.cookie, "\xC0\x0C");
    EXPECT_EQ(m.states, (std::vector<std::pair<std::uint8_t, std::int64_t>>{{1, 2500}, {2, 3500}, {7, 3500}}));

    // The session archive keeps the log.
    const auto back = tally::TallySession::initWithCoder(tally::TallySession::currentSession()->encodeWithCoder());
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->data(), tally::TallySession::currentSession()->data());

    // A session read back with a full log keeps no more.
    auto archived = tally::TallySession::currentSession()->encodeWithCoder();
    auto &adLog = *(*archived.get<platform::PlistDict>())["adLog"].get<platform::PlistArray>();
    while (adLog.size() < static_cast<std::size_t>(tally::MAX_IMPRESSIONS) - 1)
        adLog.push_back(adLog.front());
    const auto full = tally::TallySession::initWithCoder(archived);
    ASSERT_NE(full, nullptr);
    full->recordAdImpression(orphan);
    EXPECT_EQ(full->adLog().size(), static_cast<std::size_t>(tally::MAX_IMPRESSIONS));
    const auto extra = std::make_shared<TallyAdImpression>();
    full->recordAdImpression(extra);
    const auto log = full->adLog();
    EXPECT_EQ(log.size(), static_cast<std::size_t>(tally::MAX_IMPRESSIONS));
    EXPECT_EQ(std::find(log.begin(), log.end(), extra), log.end());
}

TEST_F(AdsTest, OldImpressionRecordsGetTheirStatesRebuilt)
{
    struct Case {
        std::optional<std::int64_t> adResult;
        std::vector<std::int32_t> states;
    };
    for (const auto &c : std::vector<Case>{{2, {1, 4}}, {0, {1}}, {9, {1, 0}}, {std::nullopt, {1}}, {4, {1, 8}}}) {
        SCOPED_TRACE(c.adResult.value_or(-1));
        platform::KeyedArchiver coder("TallyAdImpression");
        coder.encodeDouble("timeIntervalSinceSessionStart", 12.9);
        coder.encodeObject("hook", "h");
        if (c.adResult)
            coder.encodeObject("adResult", *c.adResult);
        const auto impression = TallyAdImpression::initWithCoder(platform::PlistValue(coder.take()));
        EXPECT_EQ(impression->adFormat(), 0);
        std::vector<std::int32_t> codes;
        for (const auto &s : impression->adStates()) {
            codes.push_back(s.state);
            EXPECT_EQ(s.timeIntervalSinceSessionStart, 12);
        }
        EXPECT_EQ(codes, c.states);
        // Written again, the rebuilt states stay.
        const auto again = TallyAdImpression::initWithCoder(impression->encodeWithCoder());
        EXPECT_EQ(again->adStates(), impression->adStates());
    }
}

} // namespace

namespace {

TEST_F(AdsTest, OffersCarryTheClickQueryAndTheCookies)
{
    freezeClock(1700000000.0);
    const auto session = tally::TallySession::createActiveTallySession("adkey");
    tally::TallyAPI::setAppStoreURL("http://store.test/go");
    Answer a;
    a.images({{9, 4, 4, "image/png", png(5, 2)}})
        .theme(2, 0, 0)
        .hooks({{"my hook", 1, 2}})
        .adBlock(1, {{1, 100, "Tiny Game", "Maker", 33, 9, {0x0A, 0xFF, 0x00}}});
    parse(a);

    tally::TallyOffer offer;
    EXPECT_FALSE(tally::TallyAPI::getOffer("my hook", &offer)); // ads off
    tally::TallyAPI::setAppShowcaseEnabled(true);
    EXPECT_FALSE(tally::TallyAPI::getOffer("my hook", nullptr));
    advance(1.5);
    ASSERT_TRUE(tally::TallyAPI::getOffer("my hook", &offer, {}));
    EXPECT_EQ(offer.appName, "Tiny Game");
    ASSERT_NE(offer.appIcon, nullptr);
    EXPECT_EQ(offer.appIcon->width, 5u);
    EXPECT_EQ(offer.appIcon->height, 2u);
    const std::string expected = "http://store.test/go?apik=adkey&cid=0&adid=1&pid=" + tally::TallySession::phoneID() +
                                 "&sid=1700000000000&its=1500&hid=my%20hook&ac=0aff00&ats=1700000001500";
    EXPECT_EQ(offer.referralUrl, expected);

    tally::TallyOffer withCookies;
    ASSERT_TRUE(tally::TallyAPI::getOffer("my hook", &withCookies, {{"a&b", "c=d"}, {"x", "!*'();:@+$,/?%#[] é"}}));
    EXPECT_EQ(withCookies.referralUrl,
              expected + "&c_a%26b=c%3Dd&c_x=%21%2A%27%28%29%3B%3A%40%2B%24%2C%2F%3F%25%23%5B%5D%20%C3%A9");

    // Each offer is an impression of format 3, created then filled.
    const auto report = decodedCurrentSession();
    ASSERT_EQ(report.impressions.size(), 2u); // none without a container, none with ads off
    const auto &last = report.impressions.back();
    EXPECT_EQ(last.format, 3);
    ASSERT_EQ(last.states.size(), 2u);
    EXPECT_EQ(last.states[0].first, 1);
    EXPECT_EQ(last.states[1].first, 2);
    EXPECT_EQ(last.adId, 1);
}

} // namespace
