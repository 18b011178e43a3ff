// The records an ads answer is made of: positions, sizes, text styles,
// colours, images, ads, themes and hooks. Each can be written to and read
// back from a keyed archive so that the ads of one launch serve the next.
// Unset fields are empty optionals (or null pointers), as a fresh record
// has them; a field missing from an archive reads back unset.
#ifndef TALLY_TALLY_AD_VALUES_H
#define TALLY_TALLY_AD_VALUES_H

#include "platform/image.h"
#include "platform/plist.h"
#include "tally/TallyProtocolData.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace tally {

struct TallyAdLocation {
    std::optional<std::int32_t> x;
    std::optional<std::int32_t> y;

    [[nodiscard]] platform::PlistValue encodeWithCoder() const;
    // Throws platform::ArchiveError for anything but an archived location.
    [[nodiscard]] static TallyAdLocation initWithCoder(const platform::PlistValue &archived);
    friend bool operator==(const TallyAdLocation &, const TallyAdLocation &) = default;
};

struct TallyAdDimension {
    std::optional<std::int32_t> width;
    std::optional<std::int32_t> height;

    [[nodiscard]] platform::PlistValue encodeWithCoder() const;
    [[nodiscard]] static TallyAdDimension initWithCoder(const platform::PlistValue &archived);
    friend bool operator==(const TallyAdDimension &, const TallyAdDimension &) = default;
};

// Components from 0.0 to 1.0.
struct TallyAdColor {
    float red = 0.0F;
    float green = 0.0F;
    float blue = 0.0F;
    float alpha = 1.0F;

    // Red in bits 16-23, green 8-15, blue 0-7; the top byte is ignored and
    // alpha is always opaque.
    [[nodiscard]] static TallyAdColor fromRgb(std::uint32_t value);
    [[nodiscard]] platform::PlistValue encodeWithCoder() const;
    [[nodiscard]] static TallyAdColor initWithCoder(const platform::PlistValue &archived);
    friend bool operator==(const TallyAdColor &, const TallyAdColor &) = default;
};

struct TallyAdTextStyle {
    // A new style has an empty box and position, and no font.
    std::optional<TallyAdDimension> dimension = TallyAdDimension{};
    std::optional<TallyAdLocation> location = TallyAdLocation{};
    std::optional<std::string> font;
    std::optional<std::int16_t> fontSize;
    std::optional<TallyAdColor> fontColor;

    [[nodiscard]] platform::PlistValue encodeWithCoder() const;
    [[nodiscard]] static TallyAdTextStyle initWithCoder(const platform::PlistValue &archived);
    friend bool operator==(const TallyAdTextStyle &, const TallyAdTextStyle &) = default;
};

// One image of the answer: what the server said of it and its decoded
// picture (null when the bytes did not decode). Archived with the picture
// as PNG under "imageData".
struct TallyAdImage {
    std::optional<std::int64_t> imageId;
    std::optional<std::int32_t> width;
    std::optional<std::int32_t> height;
    std::optional<std::string> mimeFormat;
    std::optional<std::uint32_t> imageDataSize;
    std::optional<std::string> fileName;
    std::shared_ptr<const platform::Image> image;

    [[nodiscard]] platform::PlistValue encodeWithCoder() const;
    [[nodiscard]] static TallyAdImage initWithCoder(const platform::PlistValue &archived);
};

// One step in the life of an ad impression, in milliseconds since the
// session started.
struct TallyAdState {
    std::int32_t state = 0;
    std::int64_t timeIntervalSinceSessionStart = 0;

    // Codes of the older impression record to today's: 0 created, 1 seen,
    // 2 tapped, 3 canvas loaded, 4 store opened; anything else 0.
    [[nodiscard]] static std::int32_t translateAdStateFromOldToNew(std::int32_t old);
    [[nodiscard]] platform::PlistValue encodeWithCoder() const;
    [[nodiscard]] static TallyAdState initWithCoder(const platform::PlistValue &archived);
    friend bool operator==(const TallyAdState &, const TallyAdState &) = default;
};

struct TallyAd {
    std::optional<std::int64_t> adId;
    std::optional<std::int64_t> projectId;
    std::optional<std::string> adText;
    std::optional<std::string> advertiser;
    std::optional<std::int64_t> canvasId;
    std::optional<std::int64_t> imageId;
    std::optional<std::uint8_t> adCookieSize;
    std::optional<Bytes> adCookie;
    std::shared_ptr<const platform::Image> adImage; // not archived

    // The cookie as two lower-case hex digits a byte; "" without one.
    [[nodiscard]] std::string adCookieString() const;
    // Logs the MD5 of the bytes in upper-case hex (debug mode only).
    static void md5(std::span<const std::uint8_t> bytes);

    [[nodiscard]] platform::PlistValue encodeWithCoder() const;
    [[nodiscard]] static TallyAd initWithCoder(const platform::PlistValue &archived);
};

struct TallyAdTheme {
    std::optional<std::int64_t> themeId;
    std::optional<std::string> sellMessage;
    std::optional<std::int64_t> portraitAdImageId;
    std::optional<std::int64_t> landscapeAdImageId;
    // A new theme has every style and geometry record, empty.
    std::optional<TallyAdTextStyle> portraitAppNameTextStyle = TallyAdTextStyle{};
    std::optional<TallyAdTextStyle> portraitSellMessageTextStyle = TallyAdTextStyle{};
    std::optional<TallyAdTextStyle> portraitAdvertiserTextStyle = TallyAdTextStyle{};
    std::optional<TallyAdTextStyle> landscapeAppNameTextStyle = TallyAdTextStyle{};
    std::optional<TallyAdTextStyle> landscapeSellMessageTextStyle = TallyAdTextStyle{};
    std::optional<TallyAdTextStyle> landscapeAdvertiserTextStyle = TallyAdTextStyle{};
    std::optional<TallyAdDimension> portraitAdDimension = TallyAdDimension{};
    std::optional<TallyAdDimension> portraitAppImageDimension = TallyAdDimension{};
    std::optional<TallyAdLocation> portraitAppImageLocation = TallyAdLocation{};
    std::optional<TallyAdDimension> landscapeAdDimension = TallyAdDimension{};
    std::optional<TallyAdDimension> landscapeAppImageDimension = TallyAdDimension{};
    std::optional<TallyAdLocation> landscapeAppImageLocation = TallyAdLocation{};
    std::shared_ptr<const platform::Image> portraitAdImage; // not archived
    std::shared_ptr<const platform::Image> landscapeAdImage; // not archived

    [[nodiscard]] platform::PlistValue encodeWithCoder() const;
    // Reads only what the archive holds: no default style records.
    [[nodiscard]] static TallyAdTheme initWithCoder(const platform::PlistValue &archived);
};

struct TallyAdHook {
    std::optional<std::string> name;
    std::optional<std::int64_t> adBlockId;
    std::optional<std::int64_t> themeId;
    std::optional<std::int64_t> clickAction;
    std::shared_ptr<TallyAdTheme> adTheme;

    [[nodiscard]] platform::PlistValue encodeWithCoder() const;
    [[nodiscard]] static TallyAdHook initWithCoder(const platform::PlistValue &archived);
};

// A stored millisecond time truncated toward zero; throws
// platform::ArchiveError for a value outside the 64-bit range.
[[nodiscard]] std::int64_t truncatedMillis(double value);

} // namespace tally

#endif // TALLY_TALLY_AD_VALUES_H
