// Reads the input as a PNG, as a JPEG and as a WAV header. A damaged file
// must give no image, never a crash, a read past the input or a huge
// allocation; an image that decodes must have the size it claims, within the
// side limit, and its PNG encoding must decode to the same pixels.
#include "platform/image.h"
#include "platform/media.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::span bytes(data, size);
    for (const auto &image : {platform::decodePng(bytes), platform::decodeJpeg(bytes)}) {
        if (!image)
            continue;
        if (image->width == 0 || image->height == 0 || image->width > platform::kMaxImageSide ||
            image->height > platform::kMaxImageSide ||
            image->rgba.size() != std::size_t{image->width} * image->height * 4) {
            __builtin_trap();
        }
        const auto again = platform::decodePng(platform::encodePng(*image));
        if (!again || again->rgba != image->rgba)
            __builtin_trap();
    }
    (void)platform::isWaveFile(bytes);
    return 0;
}
