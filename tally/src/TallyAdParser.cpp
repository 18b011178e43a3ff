#include "tally/TallyAdParser.h"

#include "platform/device.h"
#include "platform/image.h"
#include "platform/keyed_archive.h"
#include "tally/TallyAdImpression.h"
#include "tally/TallyAdServing.h"
#include "tally/TallyAdView.h"
#include "tally/TallyCaches.h"
#include "tally/TallyUtil.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <utility>

namespace tally {
namespace {

std::mutex gParserMutex;
std::shared_ptr<TallyAdParser> gCurrent;
std::shared_ptr<TallyAdParser> gOld;

enum ChunkType : std::uint16_t {
    kVersionChunk = 0x0102,
    kAdChunk = 0x0103,
    kImageChunk = 0x0106,
    kHookChunk = 0x0107,
    kEndOfMessageChunk = 0x0108,
    kErrorChunk = 0x0109,
    kThemeChunk = 0x010A,
    kImageCodeChunk = 0x010C,
    kPropertyChunk = 0x010D,
    kHookAttributeChunk = 0x010E,
    kThemeExtensionChunk = 0x010F,
};

constexpr std::size_t kChunkHeaderSize = 6;

std::uint64_t pixelBytes(const TallyAdImage &record)
{
    return record.image ? record.image->rgba.size() : 0;
}

std::string describe(const std::optional<std::int64_t> &value)
{
    return value ? std::to_string(*value) : "(null)";
}

// Map keys that are numbers archive as decimal text.
template <typename T>
std::string numberKey(T value)
{
    return std::to_string(static_cast<std::int64_t>(value));
}

template <typename T>
T keyNumber(const std::string &key)
{
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(key.data(), key.data() + key.size(), value);
    if (ec != std::errc() || end != key.data() + key.size() || !std::in_range<T>(value)) {
        throw platform::ArchiveError("archive: bad number key " + key);
    }
    return static_cast<T>(value);
}

const platform::PlistDict *dictUnder(const platform::KeyedUnarchiver &coder, const char *key)
{
    const auto *value = coder.decodeObject(key);
    if (value == nullptr)
        return nullptr;
    const auto *dict = value->get<platform::PlistDict>();
    if (dict == nullptr)
        throw platform::ArchiveError(std::string("archive: not a map under key ") + key);
    return dict;
}

} // namespace

// A cursor over one chunk's payload. Any read past the end fails and
// leaves the cursor failed, so a reader checks once per entry and keeps
// only entries read whole.
class TallyAdParser::Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes)
        : mBytes(bytes)
    {
    }

    [[nodiscard]] explicit operator bool() const { return mOk; }

    std::span<const std::uint8_t> take(std::size_t count)
    {
        if (!mOk || count > mBytes.size() - mPos) {
            mOk = false;
            return {};
        }
        const auto out = mBytes.subspan(mPos, count);
        mPos += count;
        return out;
    }
    std::uint64_t unsignedOf(std::size_t width)
    {
        std::uint64_t value = 0;
        for (const std::uint8_t b : take(width))
            value = (value << 8) | b;
        return value;
    }
    std::uint8_t u8() { return static_cast<std::uint8_t>(unsignedOf(1)); }
    std::int8_t i8() { return static_cast<std::int8_t>(u8()); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(unsignedOf(2)); }
    std::int16_t i16() { return static_cast<std::int16_t>(u16()); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(unsignedOf(4)); }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    std::int64_t i64() { return static_cast<std::int64_t>(unsignedOf(8)); }

    // A zero byte ends the text early; bytes that are not UTF-8 give none.
    std::optional<std::string> string()
    {
        const auto bytes = take(u16());
        if (!mOk)
            return std::nullopt;
        const auto *chars = reinterpret_cast<const char *>(bytes.data());
        std::string text(chars, ::strnlen(chars, bytes.size()));
        if (!TallyProtocolData::isValidUtf8(text))
            return std::nullopt;
        return text;
    }
    TallyAdColor colour() { return TallyAdColor::fromRgb(u32()); }
    void textStyle(std::optional<TallyAdTextStyle> &style)
    {
        auto font = string();
        const auto size = i16();
        const auto colour = this->colour();
        if (!mOk)
            return;
        if (!style)
            style.emplace();
        style->font = std::move(font);
        style->fontSize = size;
        style->fontColor = colour;
    }
    void dimension(std::optional<TallyAdDimension> &target)
    {
        const auto width = i32();
        const auto height = i32();
        if (mOk && target)
            *target = {width, height};
    }
    void location(std::optional<TallyAdLocation> &target)
    {
        const auto x = i32();
        const auto y = i32();
        if (mOk && target)
            *target = {x, y};
    }
    // The style's own dimension or location, when the style exists.
    void dimensionOf(std::optional<TallyAdTextStyle> &style)
    {
        std::optional<TallyAdDimension> none;
        dimension(style ? style->dimension : none);
    }
    void locationOf(std::optional<TallyAdTextStyle> &style)
    {
        std::optional<TallyAdLocation> none;
        location(style ? style->location : none);
    }

private:
    std::span<const std::uint8_t> mBytes;
    std::size_t mPos = 0;
    bool mOk = true;
};

std::shared_ptr<TallyAdParser> TallyAdParser::instance()
{
    std::shared_ptr<TallyAdParser> parser;
    {
        std::lock_guard lock(gParserMutex);
        if (!gCurrent)
            gCurrent = std::make_shared<TallyAdParser>();
        parser = gCurrent;
    }
    TallyAdAssignment::createInstance();
    return parser;
}

std::shared_ptr<TallyAdParser> TallyAdParser::recreateInstance()
{
    tallyDebug([] { return std::string("Tally: recreate current TallyAdParser"); });
    {
        std::lock_guard lock(gParserMutex);
        gCurrent.reset();
    }
    return instance();
}

std::shared_ptr<TallyAdParser> TallyAdParser::oldInstance()
{
    std::shared_ptr<TallyAdParser> parser;
    {
        std::lock_guard lock(gParserMutex);
        if (!gOld) {
            if (const auto fileCache = TallyFileCache::instance()) {
                if (const auto archived = fileCache->get("adParser")) {
                    try {
                        gOld = initWithCoder(*archived);
                    } catch (const platform::ArchiveError &) {
                        gOld.reset(); // a damaged archive serves no ads
                    }
                }
            }
        }
        parser = gOld;
    }
    TallyAdAssignment::createInstance();
    return parser;
}

std::shared_ptr<TallyAdParser> TallyAdParser::recreateOldInstance()
{
    tallyDebug([] { return std::string("Tally: recreate old TallyAdParser"); });
    {
        std::lock_guard lock(gParserMutex);
        gOld.reset();
    }
    return oldInstance();
}

bool TallyAdParser::isAdParserFinished() { return instance()->adParsingPhase() > 0; }

void TallyAdParser::resetForTesting()
{
    std::lock_guard lock(gParserMutex);
    gCurrent.reset();
    gOld.reset();
}

std::shared_ptr<TallyAdHook> TallyAdParser::fastHookWithName(const std::string &name)
{
    if (isAdParserFinished())
        return instance()->hookWithName(name);
    if (const auto old = oldInstance()) {
        tallyDebug([&] { return cat("Tally: Using old adParser[", reinterpret_cast<std::uintptr_t>(old.get()), "]"); });
        return old->hookWithName(name);
    }
    return nullptr;
}

std::shared_ptr<TallyAd> TallyAdParser::fastAdWithHook(const std::string &hook,
                                                       const std::optional<std::string> &parentName)
{
    const auto current = instance();
    if (!current->internetAvailable()) {
        tallyDebug([] { return std::string("Tally: No internet, no ad to return"); });
        return nullptr;
    }
    if (current->adParsingPhase() > 0) {
        tallyDebug([] { return std::string("Tally: Using current adParser to return ad"); });
        return current->adWithHook(hook, parentName);
    }
    if (const auto old = oldInstance()) {
        tallyDebug([] { return std::string("Tally: Using old adParser to return ad"); });
        return old->adWithHook(hook, parentName);
    }
    return nullptr;
}

bool TallyAdParser::fastOfferWithHook(const std::string &hook, TallyAdImpression &impression, TallyOffer &offer)
{
    tallyDebug([] { return std::string("Tally: fastOfferWithHook:withTallyOfferContainer: called."); });
    const auto current = instance();
    bool valid = false;
    if (!current->internetAvailable()) {
        tallyDebug([] { return std::string("Tally: No internet, no ad offer to return"); });
    } else if (current->adParsingPhase() > 0) {
        tallyDebug([] { return std::string("Tally: Using current adParser to return offer"); });
        valid = current->offerWithHook(hook, impression, offer);
    } else if (const auto old = oldInstance()) {
        tallyDebug([] { return std::string("Tally: Using old adParser to return offer"); });
        valid = old->offerWithHook(hook, impression, offer);
    }
    tallyDebug([&] { return cat("Tally: fastOfferWithHook:withTallyOfferContainer: validOffer is ", valid, "."); });
    return valid;
}

bool TallyAdParser::offerWithHook(const std::string &hookName, TallyAdImpression &impression, TallyOffer &offer)
{
    std::shared_ptr<TallyAd> picked;
    std::shared_ptr<const platform::Image> icon;
    {
        std::lock_guard lock(mMutex);
        const auto hook = hookWithNameLocked(hookName);
        if (!hook || !hook->adBlockId || *hook->adBlockId < 0 || *hook->adBlockId > 255)
            return false;
        const auto block = mAdBlockMap.find(static_cast<std::uint8_t>(*hook->adBlockId));
        if (block == mAdBlockMap.end() || block->second.empty())
            return false;
        auto &ads = block->second;
        picked = ads.front();
        ads.erase(ads.begin());
        ads.push_back(picked);
        icon = getImageLocked(picked->imageId);
    }
    offer.appName = picked->adText;
    offer.appIcon = icon;
    offer.referralUrl = TallyAdView::webUrlForOffer(hookName, *picked, impression);
    tallyDebug([&] { return cat("Tally: getOfferFromAdBlock: tallyOffer.referralUrl ", *offer.referralUrl); });
    // The impression records itself in the session: no parser lock held.
    impression.updateWithAd(*picked);
    return true;
}

std::shared_ptr<const platform::Image> TallyAdParser::fastImageWithCode(std::int16_t code)
{
    if (isAdParserFinished())
        return instance()->getImageWithCode(code);
    if (const auto old = oldInstance()) {
        tallyDebug([&] { return cat("Tally: Using old adParser[", reinterpret_cast<std::uintptr_t>(old.get()), "]"); });
        return old->getImageWithCode(code);
    }
    return nullptr;
}

TallyAdParser::TallyAdParser()
    : mCanvasMap(platform::PlistDict{})
{
}

void TallyAdParser::setAdDelegate(std::weak_ptr<TallyAdDelegate> delegate)
{
    std::lock_guard lock(mMutex);
    mAdDelegate = std::move(delegate);
}

std::weak_ptr<TallyAdDelegate> TallyAdParser::adDelegate() const
{
    std::lock_guard lock(mMutex);
    return mAdDelegate;
}

void TallyAdParser::signal(const std::vector<Signal> &signals) const
{
    std::shared_ptr<TallyAdDelegate> delegate;
    {
        std::lock_guard lock(mMutex);
        delegate = mAdDelegate.lock();
    }
    if (!delegate)
        return;
    for (const Signal s : signals) {
        if (s == Signal::dataAvailable) {
            delegate->dataAvailable();
        } else {
            delegate->dataUnavailable();
        }
    }
}

void TallyAdParser::parseData(std::optional<std::span<const std::uint8_t>> data)
{
    tallyDebug([&] { return cat("Tally: ", data ? data->size() : 0, " bytes passed to adParser"); });
    if (!data || data->empty()) {
        signal({Signal::dataUnavailable});
        return;
    }
    if (const std::string why = overCaps(*data); !why.empty()) {
        platform::consoleLog("Tally: ad answer refused whole: " + why);
        signal({Signal::dataUnavailable});
        return;
    }
    std::vector<Signal> signals;
    {
        std::lock_guard lock(mMutex);
        processTaggedFile(*data, signals);
    }
    tallyDebug([] { return std::string("Tally: Finished parsing ad data"); });
    // Any non-empty body counts as parsed, even one whose walk ended early.
    setAdParsingPhase(1);
    signals.push_back(Signal::dataAvailable);
    signal(signals);
}

std::string TallyAdParser::overCaps(std::span<const std::uint8_t> body)
{
    struct Cap {
        const char *what;
        std::uint64_t limit;
        std::uint64_t declared = 0;
    };
    Cap hooks{"hooks", kMaxHooks}, ads{"ads", kMaxAds}, images{"images", kMaxImages},
        codes{"image codes", kMaxImageCodes};
    // The same walk as the parse: what the parse would never reach is not counted.
    std::uint64_t offset = 0;
    while (body.size() - offset >= kChunkHeaderSize) {
        Reader header(body.subspan(offset, kChunkHeaderSize));
        const std::uint16_t type = header.u16();
        const std::uint32_t size = header.u32();
        if (size > body.size() - offset - kChunkHeaderSize)
            break;
        Reader in(body.subspan(offset + kChunkHeaderSize, size));
        offset += kChunkHeaderSize + std::uint64_t{size};
        switch (type) {
        case kHookChunk: hooks.declared += in.u32(); break;
        case kAdChunk: (void)in.u8(); ads.declared += in.u16(); break;
        case kImageChunk: images.declared += in.u16(); break;
        case kImageCodeChunk: codes.declared += in.u32(); break;
        default: break;
        }
    }
    for (const Cap &cap : {hooks, ads, images, codes}) {
        if (cap.declared > cap.limit)
            return cat(cap.declared, " ", cap.what, " declared, at most ", cap.limit, " are read");
    }
    return {};
}

bool TallyAdParser::fitsBudgetLocked(std::int64_t imageId, std::uint64_t bytes) const
{
    std::uint64_t held = mDecodedImageBytes;
    if (const auto it = mImageMap.find(imageId); it != mImageMap.end())
        held -= pixelBytes(*it->second);
    if (held + bytes <= kMaxDecodedImageBytes)
        return true;
    platform::consoleLog(cat("Tally: image[", imageId, "] refused: its ", bytes, " bytes of pixels would take the ",
                             "ads' pictures past ", kMaxDecodedImageBytes, " bytes"));
    return false;
}

std::shared_ptr<const platform::Image> TallyAdParser::decodeWithinBudgetLocked(std::int64_t imageId,
                                                                               std::span<const std::uint8_t> bytes,
                                                                               bool &refused) const
{
    refused = false;
    if (bytes.empty() || bytes.size() > kMaxImageDataSize)
        return nullptr;
    const auto size = platform::imageSize(bytes);
    if (!size)
        return nullptr;
    refused = !fitsBudgetLocked(imageId, size->rgbaBytes());
    if (refused)
        return nullptr;
    auto image = platform::decodeImage(bytes);
    if (!image)
        return nullptr;
    // The header may lie about the size; what was decoded is what counts.
    refused = !fitsBudgetLocked(imageId, image->rgba.size());
    return refused ? nullptr : std::make_shared<const platform::Image>(std::move(*image));
}

void TallyAdParser::keepImageLocked(std::int64_t imageId, std::shared_ptr<const TallyAdImage> image) const
{
    auto &slot = mImageMap[imageId];
    if (slot)
        mDecodedImageBytes -= pixelBytes(*slot);
    mDecodedImageBytes += pixelBytes(*image);
    slot = std::move(image);
}

void TallyAdParser::processTaggedFile(std::span<const std::uint8_t> body, std::vector<Signal> &signals)
{
    std::uint64_t offset = 0;
    while (offset < body.size()) {
        const std::uint64_t left = body.size() - offset;
        if (left < kChunkHeaderSize)
            break; // a torn chunk header ends the message
        Reader header(body.subspan(offset, kChunkHeaderSize));
        const std::uint16_t type = header.u16();
        const std::uint32_t size = header.u32();
        if (size > left - kChunkHeaderSize)
            break; // so does a payload past the body
        Reader in(body.subspan(offset + kChunkHeaderSize, size));
        offset += kChunkHeaderSize + std::uint64_t{size};

        switch (type) {
        case kVersionChunk: {
            const auto version = in.i32();
            if (in)
                mVersionId = version;
            tallyDebug([&] { return cat("Tally: Parse ad version[", describe(mVersionId), "]"); });
            break;
        }
        case kImageChunk: {
            const std::uint16_t count = in.u16();
            for (std::uint32_t i = 0; i < count && in; ++i) {
                auto image = std::make_shared<TallyAdImage>();
                const std::int64_t id = in.i64();
                if (!in)
                    break;
                image->imageId = id;
                if (id < 0) {
                    tallyDebug([&] { return cat("Tally: Skip processing image block with bad imageId[", id, "]"); });
                    break;
                }
                image->width = in.i32();
                image->height = in.i32();
                image->mimeFormat = in.string();
                const std::uint32_t dataSize = in.u32();
                const auto bytes = in.take(dataSize);
                if (!in)
                    break;
                image->imageDataSize = dataSize;
                TallyAd::md5(bytes);
                if (id == 0) {
                    tallyDebug([] { return std::string("Tally: Parsed image with imageId[0] not added to map"); });
                    continue;
                }
                bool refused = false;
                image->image = decodeWithinBudgetLocked(id, bytes, refused);
                if (refused)
                    continue; // neither kept nor cached
                if (const auto cache = TallyImageCache::instance())
                    cache->save(*image, id);
                keepImageLocked(id, image);
                tallyDebug([&] { return cat("Tally: Parsed image[", id, "] added to map at key[", id, "]"); });
            }
            break;
        }
        case kHookChunk: {
            const std::uint32_t count = in.u32();
            for (std::uint32_t i = 0; i < count && in; ++i) {
                TallyAdHook hook;
                hook.name = in.string();
                hook.adBlockId = in.u8();
                hook.themeId = in.u8();
                if (!in)
                    break;
                // A name that is not text cannot be asked for: the hook is dropped.
                if (!hook.name)
                    continue;
                tallyDebug(
                    [&] { return cat("Tally: Parsed hook[", *hook.name, "] added to map at key[", *hook.name, "]"); });
                mHookMap[*hook.name] = std::move(hook);
            }
            break;
        }
        case kAdChunk: {
            const std::uint8_t blockId = in.u8();
            const std::uint16_t count = in.u16();
            if (!in)
                break;
            auto &block = mAdBlockMap[blockId];
            block.clear();
            for (std::uint32_t i = 0; i < count && in; ++i) {
                auto ad = std::make_shared<TallyAd>();
                ad->adId = in.i64();
                ad->projectId = in.i64();
                ad->adText = in.string();
                ad->advertiser = in.string();
                ad->canvasId = in.i64();
                ad->imageId = in.i64();
                const std::uint8_t cookieSize = in.u8();
                const auto cookie = in.take(cookieSize);
                if (!in)
                    break;
                ad->adCookieSize = cookieSize;
                ad->adCookie = Bytes(cookie.begin(), cookie.end());
                cachedImageToMemory(ad->imageId);
                tallyDebug([&] { return cat("Tally: Parsed ad[", *ad->adId, "] added to map at key[", blockId, "]"); });
                block.push_back(std::move(ad));
            }
            break;
        }
        case kThemeChunk: {
            const std::uint8_t count = in.u8();
            for (std::uint32_t i = 0; i < count && in; ++i) {
                TallyAdTheme theme;
                const std::uint8_t id = in.u8();
                theme.themeId = id;
                theme.sellMessage = in.string();
                theme.portraitAdImageId = in.i64();
                theme.landscapeAdImageId = in.i64();
                in.textStyle(theme.portraitSellMessageTextStyle);
                in.textStyle(theme.portraitAppNameTextStyle);
                in.textStyle(theme.portraitAdvertiserTextStyle);
                if (!in)
                    break;
                cachedImageToMemory(theme.portraitAdImageId);
                cachedImageToMemory(theme.landscapeAdImageId);
                tallyDebug([&] { return cat("Tally: Parsed theme[", id, "] added to map at key[", id, "]"); });
                mThemeMap[id] = std::move(theme);
            }
            break;
        }
        case kThemeExtensionChunk: {
            const std::uint8_t count = in.u8();
            for (std::uint32_t i = 0; i < count && in; ++i) {
                // Themes are filed under unsigned ids, so the extension's id
                // byte is read unsigned too: themes above 127 are completed.
                const std::uint8_t id = in.u8();
                const auto found = mThemeMap.find(id);
                TallyAdTheme scratch;
                TallyAdTheme &t = found != mThemeMap.end() ? found->second : scratch;
                // Read into a copy so an entry cut short changes nothing.
                TallyAdTheme read = t;
                in.textStyle(read.landscapeSellMessageTextStyle);
                in.textStyle(read.landscapeAppNameTextStyle);
                in.textStyle(read.landscapeAdvertiserTextStyle);
                in.dimension(read.portraitAdDimension);
                in.dimension(read.portraitAppImageDimension);
                in.location(read.portraitAppImageLocation);
                in.dimension(read.landscapeAdDimension);
                in.dimension(read.landscapeAppImageDimension);
                in.location(read.landscapeAppImageLocation);
                in.locationOf(read.portraitSellMessageTextStyle);
                in.locationOf(read.portraitAppNameTextStyle);
                in.locationOf(read.portraitAdvertiserTextStyle);
                in.dimensionOf(read.portraitSellMessageTextStyle);
                in.dimensionOf(read.portraitAppNameTextStyle);
                in.dimensionOf(read.portraitAdvertiserTextStyle);
                in.locationOf(read.landscapeSellMessageTextStyle);
                in.locationOf(read.landscapeAppNameTextStyle);
                in.locationOf(read.landscapeAdvertiserTextStyle);
                in.dimensionOf(read.landscapeSellMessageTextStyle);
                in.dimensionOf(read.landscapeAppNameTextStyle);
                in.dimensionOf(read.landscapeAdvertiserTextStyle);
                if (!in)
                    break;
                if (found != mThemeMap.end()) {
                    t = std::move(read);
                    tallyDebug([&] { return cat("Tally: Parse theme complete[", id, "]"); });
                }
            }
            break;
        }
        case kErrorChunk: {
            const std::uint16_t code = in.u16();
            const auto message = in.string();
            tallyDebug([&] { return cat("Tally: Parse errorCode[", code, "]"); });
            tallyDebug([&] { return cat("Tally: Parse error[", message.value_or("(null)"), "]"); });
            signals.push_back(Signal::dataUnavailable);
            break;
        }
        case kImageCodeChunk: {
            const std::uint32_t count = in.u32();
            for (std::uint32_t i = 0; i < count && in; ++i) {
                const std::int64_t id = in.i64();
                const std::int16_t code = in.i16();
                if (!in)
                    break;
                cachedImageToMemory(id);
                mImageCodeMap[code] = id;
                tallyDebug(
                    [&] { return cat("Tally: Parsed imageId[", id, "] added to map at imageCode[", code, "]"); });
            }
            break;
        }
        case kPropertyChunk: {
            (void)in.u16();
            const std::uint16_t rotation = in.u16();
            const std::int32_t delay = in.i32();
            const std::int64_t timestamp = in.i64();
            const std::int8_t portraitMax = in.i8();
            const std::int8_t landscapeMax = in.i8();
            const auto portraitStart = in.string();
            const auto landscapeStart = in.string();
            if (!in)
                break; // a cut-short property chunk sets nothing
            tallyDebug([&] { return cat("Tally: Parse property bannerRotationProperty[", rotation, "]"); });
            TallyAdProperties::setBannerRefreshInSeconds(delay);
            TallyAdProperties::setCacheUpdateTimestamp(timestamp);
            if (const auto cache = TallyImageCache::instance()) {
                cache->setCacheUpdateTimestamp(TallyAdProperties::getCacheUpdateTimestamp());
            }
            TallyAdProperties::setPortraitAdsMaxShown(portraitMax);
            TallyAdProperties::setLandscapeAdsMaxShown(landscapeMax);
            const auto number = [](const std::optional<std::string> &text) {
                return text ? TallyUtil::convertStrToNum(*text) : std::nullopt;
            };
            TallyAdProperties::setPortraitAdsShownAtStart(number(portraitStart));
            TallyAdProperties::setLandscapeAdsShownAtStart(number(landscapeStart));
            break;
        }
        case kHookAttributeChunk: {
            const std::uint16_t hookCount = in.u16();
            for (std::uint32_t h = 0; h < hookCount && in; ++h) {
                const auto name = in.string();
                const std::uint16_t attributeCount = in.u16();
                for (std::uint32_t a = 0; a < attributeCount && in; ++a) {
                    const std::uint16_t key = in.u16();
                    const std::int64_t value = in.i64();
                    if (!in || key != kClickActionKey || !name)
                        continue;
                    if (const auto hook = mHookMap.find(*name); hook != mHookMap.end()) {
                        hook->second.clickAction = value;
                        tallyDebug([&] { return cat("Tally: Parse hook[", *name, "] clickAction[", value, "]"); });
                    }
                }
            }
            break;
        }
        case kEndOfMessageChunk: {
            tallyDebug([] { return std::string("Tally: Parse end of message"); });
            if (const auto fileCache = TallyFileCache::instance()) {
                (void)fileCache->save(encodeLocked(), "adParser");
                if (const auto cache = TallyImageCache::instance())
                    (void)fileCache->save(cache->encodeWithCoder(), "imageCache");
            }
            break;
        }
        default:
            tallyDebug([&] {
                char text[64];
                std::snprintf(text, sizeof text, "Tally: Skipping unrecognized ad tag %x\n", type);
                return std::string(text);
            });
            break;
        }
    }
}

void TallyAdParser::cachedImageToMemory(std::optional<std::int64_t> imageId)
{
    if (!imageId)
        return;
    const auto cache = TallyImageCache::instance();
    if (!cache)
        return;
    // An image this answer already brought is the one the cache holds: only
    // its use is noted, without reading and decoding it again.
    if (mImageMap.count(*imageId) != 0) {
        cache->setAsMostRecentlyUsed(*imageId);
        return;
    }
    auto cached = cache->get(*imageId);
    tallyDebug([&] { return cat("Tally: cachedId[", *imageId, "] image[", cached ? "found" : "(null)", "] found"); });
    if (!cached)
        return;
    if (!fitsBudgetLocked(*imageId, pixelBytes(*cached)))
        return;
    keepImageLocked(*imageId, std::make_shared<const TallyAdImage>(std::move(*cached)));
    tallyDebug([&] { return cat("Tally: cachedId[", *imageId, "] image stored in memory"); });
}

std::shared_ptr<const platform::Image> TallyAdParser::getImage(std::optional<std::int64_t> imageId) const
{
    std::lock_guard lock(mMutex);
    return getImageLocked(imageId);
}

std::shared_ptr<const platform::Image> TallyAdParser::getImageLocked(std::optional<std::int64_t> imageId) const
{
    if (!imageId)
        return nullptr;
    const auto cache = TallyImageCache::instance();
    std::shared_ptr<const platform::Image> picture;
    if (const auto it = mImageMap.find(*imageId); it != mImageMap.end()) {
        if (cache)
            cache->setAsMostRecentlyUsed(*imageId);
        picture = it->second->image;
    } else if (cache) {
        // Kept once read, so that every ad showing it shares one copy, and
        // only within the budget.
        if (auto cached = cache->get(*imageId); cached && fitsBudgetLocked(*imageId, pixelBytes(*cached))) {
            picture = cached->image;
            keepImageLocked(*imageId, std::make_shared<const TallyAdImage>(std::move(*cached)));
        }
    }
    tallyDebug([&] { return cat("Tally: image[", *imageId, picture ? "] found" : "] not found"); });
    return picture;
}

std::shared_ptr<const platform::Image> TallyAdParser::getImageWithCode(std::int16_t code) const
{
    std::lock_guard lock(mMutex);
    const auto it = mImageCodeMap.find(code);
    if (it == mImageCodeMap.end())
        return nullptr;
    tallyDebug([&] { return cat("Tally: imageId[", it->second, "] found for imageCode[", code, "]"); });
    return getImageLocked(it->second);
}

std::shared_ptr<TallyAdHook> TallyAdParser::hookWithName(const std::string &name) const
{
    std::lock_guard lock(mMutex);
    return hookWithNameLocked(name);
}

std::shared_ptr<TallyAdHook> TallyAdParser::hookWithNameLocked(const std::string &name) const
{
    auto found = mHookMap.find(name);
    if (found == mHookMap.end())
        found = mHookMap.find("");
    if (found == mHookMap.end() || !found->second.themeId)
        return nullptr;
    const auto themeId = *found->second.themeId;
    if (themeId < 0 || themeId > 255)
        return nullptr;
    const auto theme = mThemeMap.find(static_cast<std::uint8_t>(themeId));
    if (theme == mThemeMap.end())
        return nullptr;
    tallyDebug([&] { return cat("Tally: Ad themeId[", themeId, "] found"); });
    auto attached = std::make_shared<TallyAdTheme>(theme->second);
    attached->portraitAdImage = getImageLocked(attached->portraitAdImageId);
    attached->landscapeAdImage = getImageLocked(attached->landscapeAdImageId);
    // The whole 64-bit id decides whether an image is needed.
    if (attached->landscapeAdImageId.value_or(0) > 0 && !attached->landscapeAdImage) {
        tallyDebug([] { return std::string("Tally: Ad theme landscape image not found"); });
        return nullptr;
    }
    if (attached->portraitAdImageId.value_or(0) > 0 && !attached->portraitAdImage) {
        tallyDebug([] { return std::string("Tally: Ad theme portrait image not found"); });
        return nullptr;
    }
    auto hook = std::make_shared<TallyAdHook>(found->second);
    hook->adTheme = std::move(attached);
    return hook;
}

std::shared_ptr<TallyAd> TallyAdParser::adWithHook(const std::string &hookName,
                                                   const std::optional<std::string> &parentName)
{
    tallyDebug([&] { return cat("Tally: Finding ad with hook[", hookName, "]"); });
    std::lock_guard lock(mMutex);
    const auto hook = hookWithNameLocked(hookName);
    if (!hook || !hook->adBlockId || !hook->adTheme || *hook->adBlockId < 0 || *hook->adBlockId > 255) {
        tallyDebug([&] { return cat("Tally: Unknown hook[", hookName, "]"); });
        return nullptr;
    }
    const auto block = mAdBlockMap.find(static_cast<std::uint8_t>(*hook->adBlockId));
    if (block == mAdBlockMap.end() || block->second.empty()) {
        tallyDebug([&] { return cat("Tally: Did not find adBlock or ads for hook[", hookName, "]"); });
        return nullptr;
    }
    auto &ads = block->second;
    const auto assignment = TallyAdAssignment::createInstance();
    std::shared_ptr<TallyAd> picked;
    for (int attempt = 0; attempt < kAdAttempts && !picked; ++attempt) {
        // Round robin: the front ad moves to the back whether or not it is taken.
        auto front = ads.front();
        ads.erase(ads.begin());
        ads.push_back(front);
        tallyDebug([&] { return cat("Tally: Current ad[", describe(front->adId), "] found"); });
        picked = assignment->assignAd(front, parentName);
        tallyDebug([&] {
            return cat("Tally: Current ad[", describe(front->adId), picked ? "] picked" : "] already assigned");
        });
    }
    if (!picked) {
        tallyDebug([] { return std::string("Tally: Ad image not found, no ad returned"); });
        return nullptr;
    }
    auto served = std::make_shared<TallyAd>(*picked);
    served->adImage = getImageLocked(served->imageId);
    if (!served->adImage) {
        tallyDebug([] { return std::string("Tally: Ad image not found, no ad returned"); });
        return nullptr;
    }
    return served;
}

platform::PlistValue TallyAdParser::encodeWithCoder() const
{
    std::lock_guard lock(mMutex);
    return encodeLocked();
}

platform::PlistValue TallyAdParser::encodeLocked() const
{
    tallyDebug([] { return std::string("Tally: Encode TallyAdParser"); });
    platform::KeyedArchiver coder("TallyAdParser");
    if (mVersionId)
        coder.encodeObject("versionId", std::int64_t{*mVersionId});
    platform::PlistDict blocks;
    for (const auto &[id, ads] : mAdBlockMap) {
        platform::PlistArray list;
        for (const auto &ad : ads)
            list.push_back(ad->encodeWithCoder());
        blocks[numberKey(id)] = std::move(list);
    }
    coder.encodeObject("adBlockMap", std::move(blocks));
    coder.encodeObject("canvasMap", mCanvasMap);
    platform::PlistDict hooks;
    for (const auto &[name, hook] : mHookMap)
        hooks[name] = hook.encodeWithCoder();
    coder.encodeObject("hookMap", std::move(hooks));
    platform::PlistDict themes;
    for (const auto &[id, theme] : mThemeMap)
        themes[numberKey(id)] = theme.encodeWithCoder();
    coder.encodeObject("themeMap", std::move(themes));
    platform::PlistDict codes;
    for (const auto &[code, id] : mImageCodeMap)
        codes[numberKey(code)] = id;
    coder.encodeObject("imageCodeMap", std::move(codes));
    coder.encodeInt("adParsingPhase", adParsingPhase());
    return platform::PlistValue(coder.take());
}

std::shared_ptr<TallyAdParser> TallyAdParser::initWithCoder(const platform::PlistValue &archived)
{
    const platform::KeyedUnarchiver coder(archived, "TallyAdParser");
    auto parser = std::make_shared<TallyAdParser>();
    // An unarchived parser knows nothing of this launch's connection.
    parser->setInternetAvailable(false);
    if (const auto version = coder.decodeObjectOf<std::int64_t>("versionId")) {
        if (!std::in_range<std::int32_t>(*version)) {
            throw platform::ArchiveError("archive: versionId out of range");
        }
        parser->mVersionId = static_cast<std::int32_t>(*version);
    }
    if (const auto *blocks = dictUnder(coder, "adBlockMap")) {
        for (const auto &[key, value] : *blocks) {
            const auto *list = value.get<platform::PlistArray>();
            if (list == nullptr)
                throw platform::ArchiveError("archive: ad block is not a list");
            auto &ads = parser->mAdBlockMap[keyNumber<std::uint8_t>(key)];
            for (const auto &item : *list)
                ads.push_back(std::make_shared<TallyAd>(TallyAd::initWithCoder(item)));
        }
    }
    if (const auto *canvases = coder.decodeObject("canvasMap"))
        parser->mCanvasMap = *canvases;
    if (const auto *hooks = dictUnder(coder, "hookMap")) {
        for (const auto &[name, value] : *hooks)
            parser->mHookMap[name] = TallyAdHook::initWithCoder(value);
    }
    if (const auto *themes = dictUnder(coder, "themeMap")) {
        for (const auto &[key, value] : *themes) {
            parser->mThemeMap[keyNumber<std::uint8_t>(key)] = TallyAdTheme::initWithCoder(value);
        }
    }
    if (const auto *codes = dictUnder(coder, "imageCodeMap")) {
        for (const auto &[key, value] : *codes) {
            const auto *id = value.get<std::int64_t>();
            if (id == nullptr)
                throw platform::ArchiveError("archive: image code without an id");
            parser->mImageCodeMap[keyNumber<std::int16_t>(key)] = *id;
        }
    }
    parser->setAdParsingPhase(coder.decodeInt("adParsingPhase"));
    return parser;
}

bool TallyAdParser::saveToFileCache() const
{
    const auto fileCache = TallyFileCache::instance();
    return fileCache && fileCache->save(encodeWithCoder(), "adParser").has_value();
}

std::optional<std::int32_t> TallyAdParser::versionId() const
{
    std::lock_guard lock(mMutex);
    return mVersionId;
}

std::vector<TallyAd> TallyAdParser::adBlock(std::uint8_t adBlockId) const
{
    std::lock_guard lock(mMutex);
    std::vector<TallyAd> out;
    if (const auto it = mAdBlockMap.find(adBlockId); it != mAdBlockMap.end()) {
        for (const auto &ad : it->second)
            out.push_back(*ad);
    }
    return out;
}

std::vector<std::uint8_t> TallyAdParser::adBlockIds() const
{
    std::lock_guard lock(mMutex);
    std::vector<std::uint8_t> out;
    for (const auto &entry : mAdBlockMap)
        out.push_back(entry.first);
    return out;
}

std::vector<std::string> TallyAdParser::hookNames() const
{
    std::lock_guard lock(mMutex);
    std::vector<std::string> out;
    for (const auto &entry : mHookMap)
        out.push_back(entry.first);
    return out;
}

std::optional<TallyAdTheme> TallyAdParser::theme(std::uint8_t themeId) const
{
    std::lock_guard lock(mMutex);
    const auto it = mThemeMap.find(themeId);
    return it == mThemeMap.end() ? std::nullopt : std::optional<TallyAdTheme>(it->second);
}

std::vector<std::int64_t> TallyAdParser::imageIds() const
{
    std::lock_guard lock(mMutex);
    std::vector<std::int64_t> out;
    for (const auto &entry : mImageMap)
        out.push_back(entry.first);
    return out;
}

std::map<std::int16_t, std::int64_t> TallyAdParser::imageCodes() const
{
    std::lock_guard lock(mMutex);
    return mImageCodeMap;
}

std::uint64_t TallyAdParser::decodedImageBytes() const
{
    std::lock_guard lock(mMutex);
    return mDecodedImageBytes;
}

} // namespace tally
