#include "platform/image.h"

#include <png.h>

#include <csetjmp>
#include <cstring>

namespace platform {
namespace {

struct Reader {
    std::span<const std::uint8_t> bytes;
    std::size_t offset = 0;
};

void readBytes(png_structp png, png_bytep out, png_size_t count)
{
    auto *reader = static_cast<Reader *>(png_get_io_ptr(png));
    if (count > reader->bytes.size() - reader->offset)
        png_error(png, "truncated");
    std::memcpy(out, reader->bytes.data() + reader->offset, count);
    reader->offset += count;
}

// libpng reports through longjmp; nothing here needs unwinding, and its
// messages are not ours to print.
void onError(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}
void onWarning(png_structp, png_const_charp) {}

// Everything that lives across the setjmp is owned here, outside the frame
// that longjmp leaves.
struct Decoder {
    png_structp png = nullptr;
    png_infop info = nullptr;
    Reader reader;
    Image image;
    std::vector<png_bytep> rows;

    ~Decoder() { png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr); }

    bool run()
    {
        if (setjmp(png_jmpbuf(png)))
            return false;
        png_set_user_limits(png, kMaxImageSide, kMaxImageSide);
        png_set_chunk_malloc_max(png, std::size_t{8} << 20);
        png_set_read_fn(png, &reader, readBytes);
        png_read_info(png, info);
        const png_uint_32 width = png_get_image_width(png, info);
        const png_uint_32 height = png_get_image_height(png, info);
        if (width == 0 || height == 0 || width > kMaxImageSide || height > kMaxImageSide)
            return false;

        png_set_expand(png); // palette to RGB, grey below 8 bits to 8, tRNS to alpha
        png_set_strip_16(png);
        png_set_gray_to_rgb(png);
        png_set_add_alpha(png, 0xff, PNG_FILLER_AFTER);
        png_set_interlace_handling(png);
        png_read_update_info(png, info);
        if (png_get_rowbytes(png, info) != std::size_t{width} * 4)
            return false;

        image.width = width;
        image.height = height;
        image.rgba.resize(std::size_t{width} * height * 4);
        rows.resize(height);
        for (png_uint_32 y = 0; y < height; ++y)
            rows[y] = image.rgba.data() + std::size_t{y} * width * 4;
        png_read_image(png, rows.data());
        png_read_end(png, nullptr);
        return true;
    }
};

} // namespace

std::optional<Image> decodePng(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < 8 || png_sig_cmp(bytes.data(), 0, 8) != 0)
        return std::nullopt;
    Decoder d;
    d.reader.bytes = bytes;
    d.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, onError, onWarning);
    if (d.png == nullptr)
        return std::nullopt;
    d.info = png_create_info_struct(d.png);
    if (d.info == nullptr)
        return std::nullopt;
    if (!d.run())
        return std::nullopt;
    return std::move(d.image);
}

} // namespace platform
