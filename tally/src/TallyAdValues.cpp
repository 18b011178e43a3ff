#include "tally/TallyAdValues.h"

#include "platform/digest.h"
#include "platform/keyed_archive.h"
#include "tally/TallyUtil.h"

#include <cstdio>
#include <utility>

namespace tally {
namespace {

using platform::KeyedArchiver;
using platform::KeyedUnarchiver;
using platform::PlistValue;

template <typename T>
void putNumber(KeyedArchiver &coder, const char *key, const std::optional<T> &value)
{
    if (value)
        coder.encodeObject(key, PlistValue(static_cast<std::int64_t>(*value)));
}

// A stored number that does not fit the field is a damaged archive.
template <typename T>
std::optional<T> takeNumber(const KeyedUnarchiver &coder, const char *key)
{
    const auto value = coder.decodeObjectOf<std::int64_t>(key);
    if (!value)
        return std::nullopt;
    if (!std::in_range<T>(*value)) {
        throw platform::ArchiveError(std::string("archive: number out of range under key ").append(key));
    }
    return static_cast<T>(*value);
}

void putText(KeyedArchiver &coder, const char *key, const std::optional<std::string> &value)
{
    if (value)
        coder.encodeObject(key, PlistValue(*value));
}

std::optional<std::string> takeText(const KeyedUnarchiver &coder, const char *key)
{
    return coder.decodeObjectOf<std::string>(key);
}

template <typename T>
void putRecord(KeyedArchiver &coder, const char *key, const std::optional<T> &value)
{
    if (value)
        coder.encodeObject(key, value->encodeWithCoder());
}

template <typename T>
std::optional<T> takeRecord(const KeyedUnarchiver &coder, const char *key)
{
    const PlistValue *value = coder.decodeObject(key);
    if (value == nullptr)
        return std::nullopt;
    return T::initWithCoder(*value);
}

} // namespace

PlistValue TallyAdLocation::encodeWithCoder() const
{
    KeyedArchiver coder("TallyAdLocation");
    putNumber(coder, "x", x);
    putNumber(coder, "y", y);
    return PlistValue(coder.take());
}

TallyAdLocation TallyAdLocation::initWithCoder(const PlistValue &archived)
{
    const KeyedUnarchiver coder(archived, "TallyAdLocation");
    return {takeNumber<std::int32_t>(coder, "x"), takeNumber<std::int32_t>(coder, "y")};
}

PlistValue TallyAdDimension::encodeWithCoder() const
{
    KeyedArchiver coder("TallyAdDimension");
    putNumber(coder, "width", width);
    putNumber(coder, "height", height);
    return PlistValue(coder.take());
}

TallyAdDimension TallyAdDimension::initWithCoder(const PlistValue &archived)
{
    const KeyedUnarchiver coder(archived, "TallyAdDimension");
    return {takeNumber<std::int32_t>(coder, "width"), takeNumber<std::int32_t>(coder, "height")};
}

TallyAdColor TallyAdColor::fromRgb(std::uint32_t value)
{
    const auto component = [value](int shift) { return static_cast<float>((value >> shift) & 0xFFU) / 255.0F; };
    return {component(16), component(8), component(0), 1.0F};
}

PlistValue TallyAdColor::encodeWithCoder() const
{
    KeyedArchiver coder("UIColor");
    coder.encodeFloat("red", red);
    coder.encodeFloat("green", green);
    coder.encodeFloat("blue", blue);
    coder.encodeFloat("alpha", alpha);
    return PlistValue(coder.take());
}

TallyAdColor TallyAdColor::initWithCoder(const PlistValue &archived)
{
    const KeyedUnarchiver coder(archived, "UIColor");
    return {coder.decodeFloat("red"), coder.decodeFloat("green"), coder.decodeFloat("blue"),
            coder.decodeFloat("alpha")};
}

PlistValue TallyAdTextStyle::encodeWithCoder() const
{
    KeyedArchiver coder("TallyAdTextStyle");
    putRecord(coder, "fontColor", fontColor);
    putNumber(coder, "fontSize", fontSize);
    putText(coder, "font", font);
    putRecord(coder, "location", location);
    putRecord(coder, "dimension", dimension);
    return PlistValue(coder.take());
}

TallyAdTextStyle TallyAdTextStyle::initWithCoder(const PlistValue &archived)
{
    const KeyedUnarchiver coder(archived, "TallyAdTextStyle");
    TallyAdTextStyle style;
    style.fontColor = takeRecord<TallyAdColor>(coder, "fontColor");
    style.fontSize = takeNumber<std::int16_t>(coder, "fontSize");
    style.font = takeText(coder, "font");
    style.location = takeRecord<TallyAdLocation>(coder, "location");
    style.dimension = takeRecord<TallyAdDimension>(coder, "dimension");
    return style;
}

std::int32_t TallyAdState::translateAdStateFromOldToNew(std::int32_t old)
{
    constexpr std::int32_t kNew[] = {1, 3, 4, 5, 8};
    return old >= 0 && old < 5 ? kNew[old] : 0;
}

PlistValue TallyAdState::encodeWithCoder() const
{
    KeyedArchiver coder("TallyAdState");
    coder.encodeDouble("timeIntervalSinceSessionStart", static_cast<double>(timeIntervalSinceSessionStart));
    coder.encodeInt("state", state);
    return PlistValue(coder.take());
}

// Stored times beyond the 64-bit range (or not numbers) are damage.
std::int64_t truncatedMillis(double value)
{
    if (!(value > -9.2e18 && value < 9.2e18))
        throw platform::ArchiveError("archive: time out of range");
    return static_cast<std::int64_t>(value);
}

TallyAdState TallyAdState::initWithCoder(const PlistValue &archived)
{
    const KeyedUnarchiver coder(archived, "TallyAdState");
    return {coder.decodeInt("state"), truncatedMillis(coder.decodeDouble("timeIntervalSinceSessionStart"))};
}

PlistValue TallyAdImage::encodeWithCoder() const
{
    tallyDebug([] { return std::string("Tally: Encode TallyAdImage"); });
    KeyedArchiver coder("TallyAdImage");
    putNumber(coder, "imageId", imageId);
    putNumber(coder, "width", width);
    putNumber(coder, "height", height);
    putText(coder, "mimeFormat", mimeFormat);
    putNumber(coder, "imageDataSize", imageDataSize);
    putText(coder, "fileName", fileName);
    if (image) {
        auto png = platform::encodePng(*image);
        if (!png.empty())
            coder.encodeObject("imageData", PlistValue(std::move(png)));
    }
    return PlistValue(coder.take());
}

TallyAdImage TallyAdImage::initWithCoder(const PlistValue &archived)
{
    const KeyedUnarchiver coder(archived, "TallyAdImage");
    TallyAdImage record;
    record.imageId = takeNumber<std::int64_t>(coder, "imageId");
    record.width = takeNumber<std::int32_t>(coder, "width");
    record.height = takeNumber<std::int32_t>(coder, "height");
    record.mimeFormat = takeText(coder, "mimeFormat");
    record.imageDataSize = takeNumber<std::uint32_t>(coder, "imageDataSize");
    record.fileName = takeText(coder, "fileName");
    if (const auto png = coder.decodeObjectOf<platform::PlistData>("imageData")) {
        if (auto picture = platform::decodePng(*png)) {
            record.image = std::make_shared<const platform::Image>(std::move(*picture));
        }
    }
    return record;
}

std::string TallyAd::adCookieString() const
{
    return adCookie ? platform::toLowerHex(*adCookie) : std::string();
}

void TallyAd::md5(std::span<const std::uint8_t> bytes)
{
    tallyDebug([&] {
        const auto digest = platform::md5(bytes);
        std::string hex;
        for (const std::uint8_t b : digest) {
            char two[3];
            std::snprintf(two, sizeof two, "%02X", b);
            hex += two;
        }
        return cat("Tally: Image data MD5: ", hex);
    });
}

PlistValue TallyAd::encodeWithCoder() const
{
    tallyDebug([] { return std::string("Tally: Encode TallyAd"); });
    KeyedArchiver coder("TallyAd");
    putNumber(coder, "adId", adId);
    putNumber(coder, "projectId", projectId);
    putText(coder, "adText", adText);
    putText(coder, "advertiser", advertiser);
    putNumber(coder, "canvasId", canvasId);
    putNumber(coder, "imageId", imageId);
    putNumber(coder, "adCookieSize", adCookieSize);
    if (adCookie)
        coder.encodeObject("adCookie", PlistValue(*adCookie));
    return PlistValue(coder.take());
}

TallyAd TallyAd::initWithCoder(const PlistValue &archived)
{
    const KeyedUnarchiver coder(archived, "TallyAd");
    TallyAd ad;
    ad.adId = takeNumber<std::int64_t>(coder, "adId");
    ad.projectId = takeNumber<std::int64_t>(coder, "projectId");
    ad.adText = takeText(coder, "adText");
    ad.advertiser = takeText(coder, "advertiser");
    ad.canvasId = takeNumber<std::int64_t>(coder, "canvasId");
    ad.imageId = takeNumber<std::int64_t>(coder, "imageId");
    ad.adCookieSize = takeNumber<std::uint8_t>(coder, "adCookieSize");
    ad.adCookie = coder.decodeObjectOf<platform::PlistData>("adCookie");
    return ad;
}

PlistValue TallyAdTheme::encodeWithCoder() const
{
    tallyDebug([] { return std::string("Tally: Encode TallyAdTheme"); });
    KeyedArchiver coder("TallyAdTheme");
    putNumber(coder, "themeId", themeId);
    putText(coder, "sellMessage", sellMessage);
    putNumber(coder, "portraitAdImageId", portraitAdImageId);
    putNumber(coder, "landscapeAdImageId", landscapeAdImageId);
    putRecord(coder, "portraitAppNameTextStyle", portraitAppNameTextStyle);
    putRecord(coder, "portraitSellMessageTextStyle", portraitSellMessageTextStyle);
    putRecord(coder, "portraitAdvertiserTextStyle", portraitAdvertiserTextStyle);
    putRecord(coder, "landscapeAppNameTextStyle", landscapeAppNameTextStyle);
    putRecord(coder, "landscapeSellMessageTextStyle", landscapeSellMessageTextStyle);
    putRecord(coder, "landscapeAdvertiserTextStyle", landscapeAdvertiserTextStyle);
    putRecord(coder, "portraitAdDimension", portraitAdDimension);
    putRecord(coder, "portraitAppImageDimension", portraitAppImageDimension);
    putRecord(coder, "portraitAppImageLocation", portraitAppImageLocation);
    putRecord(coder, "landscapeAdDimension", landscapeAdDimension);
    putRecord(coder, "landscapeAppImageDimension", landscapeAppImageDimension);
    putRecord(coder, "landscapeAppImageLocation", landscapeAppImageLocation);
    return PlistValue(coder.take());
}

TallyAdTheme TallyAdTheme::initWithCoder(const PlistValue &archived)
{
    const KeyedUnarchiver coder(archived, "TallyAdTheme");
    TallyAdTheme theme;
    theme.themeId = takeNumber<std::int64_t>(coder, "themeId");
    theme.sellMessage = takeText(coder, "sellMessage");
    theme.portraitAdImageId = takeNumber<std::int64_t>(coder, "portraitAdImageId");
    theme.landscapeAdImageId = takeNumber<std::int64_t>(coder, "landscapeAdImageId");
    theme.portraitAppNameTextStyle = takeRecord<TallyAdTextStyle>(coder, "portraitAppNameTextStyle");
    theme.portraitSellMessageTextStyle = takeRecord<TallyAdTextStyle>(coder, "portraitSellMessageTextStyle");
    theme.portraitAdvertiserTextStyle = takeRecord<TallyAdTextStyle>(coder, "portraitAdvertiserTextStyle");
    theme.landscapeAppNameTextStyle = takeRecord<TallyAdTextStyle>(coder, "landscapeAppNameTextStyle");
    theme.landscapeSellMessageTextStyle = takeRecord<TallyAdTextStyle>(coder, "landscapeSellMessageTextStyle");
    theme.landscapeAdvertiserTextStyle = takeRecord<TallyAdTextStyle>(coder, "landscapeAdvertiserTextStyle");
    theme.portraitAdDimension = takeRecord<TallyAdDimension>(coder, "portraitAdDimension");
    theme.portraitAppImageDimension = takeRecord<TallyAdDimension>(coder, "portraitAppImageDimension");
    theme.portraitAppImageLocation = takeRecord<TallyAdLocation>(coder, "portraitAppImageLocation");
    theme.landscapeAdDimension = takeRecord<TallyAdDimension>(coder, "landscapeAdDimension");
    theme.landscapeAppImageDimension = takeRecord<TallyAdDimension>(coder, "landscapeAppImageDimension");
    theme.landscapeAppImageLocation = takeRecord<TallyAdLocation>(coder, "landscapeAppImageLocation");
    return theme;
}

PlistValue TallyAdHook::encodeWithCoder() const
{
    tallyDebug([] { return std::string("Tally: Encode TallyAdHook"); });
    KeyedArchiver coder("TallyAdHook");
    putText(coder, "name", name);
    putNumber(coder, "adBlockId", adBlockId);
    putNumber(coder, "themeId", themeId);
    putNumber(coder, "clickAction", clickAction);
    if (adTheme)
        coder.encodeObject("adTheme", adTheme->encodeWithCoder());
    return PlistValue(coder.take());
}

TallyAdHook TallyAdHook::initWithCoder(const PlistValue &archived)
{
    const KeyedUnarchiver coder(archived, "TallyAdHook");
    TallyAdHook hook;
    hook.name = takeText(coder, "name");
    hook.adBlockId = takeNumber<std::int64_t>(coder, "adBlockId");
    hook.themeId = takeNumber<std::int64_t>(coder, "themeId");
    hook.clickAction = takeNumber<std::int64_t>(coder, "clickAction");
    if (auto theme = takeRecord<TallyAdTheme>(coder, "adTheme"))
        hook.adTheme = std::make_shared<TallyAdTheme>(*theme);
    return hook;
}

} // namespace tally
