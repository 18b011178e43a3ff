// A decoded picture: width, height and 8-bit RGBA pixels, row by row from
// the top. Images come from PNG or JPEG bytes; anything damaged, truncated or
// larger than kMaxImageSide on a side gives no image.
#ifndef PLATFORM_IMAGE_H
#define PLATFORM_IMAGE_H

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace platform {

inline constexpr std::uint32_t kMaxImageSide = 4096;

struct Image {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> rgba; // width * height * 4 bytes

    // Red, green, blue and alpha of the pixel at (x, y); all zero outside.
    [[nodiscard]] std::uint32_t pixel(std::uint32_t x, std::uint32_t y) const
    {
        if (x >= width || y >= height)
            return 0;
        const std::uint8_t *p = &rgba[(std::size_t{y} * width + x) * 4];
        return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
    }
};

// Any PNG colour type and depth, converted to 8-bit RGBA (palette and grey
// expanded, transparency chunks honoured, 16-bit samples cut to their high
// byte, interlacing undone).
[[nodiscard]] std::optional<Image> decodePng(std::span<const std::uint8_t> bytes);
// Baseline and progressive JPEG in grey, RGB or YCbCr, decoded with the
// library's default (accurate) settings. CMYK pictures give no image.
[[nodiscard]] std::optional<Image> decodeJpeg(std::span<const std::uint8_t> bytes);
// PNG or JPEG, told apart by their signatures.
[[nodiscard]] std::optional<Image> decodeImage(std::span<const std::uint8_t> bytes);

struct ImageSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    // What the decoded picture takes: 4 bytes a pixel.
    [[nodiscard]] std::uint64_t rgbaBytes() const { return std::uint64_t{width} * height * 4; }
};
// The size a PNG or JPEG declares in its header, read without decoding it;
// nullopt where decoding would give no image for certain (no header, a side
// of 0 or above kMaxImageSide). A picture whose size reads may still fail
// to decode.
[[nodiscard]] std::optional<ImageSize> imageSize(std::span<const std::uint8_t> bytes);
// An 8-bit PNG: RGB when every pixel is opaque, else RGBA. zlib's level
// 0-9 (-1 for its default). Empty for an image without pixels.
[[nodiscard]] std::vector<std::uint8_t> encodePng(const Image &image, int compressionLevel = -1);

} // namespace platform

#endif // PLATFORM_IMAGE_H
