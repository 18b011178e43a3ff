#include "platform/image.h"

#include <png.h>
// jpeglib.h needs the standard types before it.
#include <cstdio>
#include <jpeglib.h>

#include <csetjmp>
#include <algorithm>
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

namespace {

// libjpeg reports fatal errors through error_exit, which must not return.
struct JpegError {
    jpeg_error_mgr mgr{};
    std::jmp_buf jump{};
};

[[noreturn]] void jpegFail(j_common_ptr common)
{
    std::longjmp(reinterpret_cast<JpegError *>(common->err)->jump, 1);
}
void jpegQuiet(j_common_ptr, int) {}

// A progressive picture may carry any number of scans, each a full pass
// over the coefficients: past this many, the input is refused.
constexpr int kMaxJpegScans = 256;

void jpegProgress(j_common_ptr common)
{
    if (common->is_decompressor) {
        const auto *d = reinterpret_cast<j_decompress_ptr>(common);
        if (d->input_scan_number > kMaxJpegScans)
            jpegFail(common);
    }
}

struct JpegDecoder {
    jpeg_decompress_struct cinfo{};
    JpegError error;
    jpeg_progress_mgr progress{};
    bool created = false;
    Image image;

    ~JpegDecoder()
    {
        if (created)
            jpeg_destroy_decompress(&cinfo);
    }

    // Up to the frame header: the size and colour space, nothing decoded.
    bool readHeader(std::span<const std::uint8_t> bytes)
    {
        cinfo.err = jpeg_std_error(&error.mgr);
        error.mgr.error_exit = jpegFail;
        error.mgr.emit_message = jpegQuiet;
        if (setjmp(error.jump))
            return false;
        jpeg_create_decompress(&cinfo);
        created = true;
        progress.progress_monitor = jpegProgress;
        cinfo.progress = &progress;
        cinfo.mem->max_memory_to_use = std::size_t{256} << 20;
        jpeg_mem_src(&cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
        if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK)
            return false;
        if (cinfo.image_width == 0 || cinfo.image_height == 0 || cinfo.image_width > kMaxImageSide ||
            cinfo.image_height > kMaxImageSide)
            return false;
        return cinfo.jpeg_color_space != JCS_CMYK && cinfo.jpeg_color_space != JCS_YCCK;
    }

    bool run(std::span<const std::uint8_t> bytes)
    {
        if (!readHeader(bytes))
            return false;
        // The jump target of readHeader is gone: this frame takes over.
        if (setjmp(error.jump))
            return false;
        cinfo.out_color_space = JCS_EXT_RGBA;
        jpeg_start_decompress(&cinfo);
        if (cinfo.output_components != 4 || cinfo.output_width != cinfo.image_width ||
            cinfo.output_height != cinfo.image_height)
            return false;
        image.width = cinfo.output_width;
        image.height = cinfo.output_height;
        image.rgba.resize(std::size_t{image.width} * image.height * 4);
        while (cinfo.output_scanline < cinfo.output_height) {
            JSAMPROW row = image.rgba.data() + std::size_t{cinfo.output_scanline} * image.width * 4;
            if (jpeg_read_scanlines(&cinfo, &row, 1) != 1)
                return false;
        }
        jpeg_finish_decompress(&cinfo);
        return true;
    }
};

void writeBytes(png_structp png, png_bytep data, png_size_t count)
{
    auto *out = static_cast<std::vector<std::uint8_t> *>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + count);
}
void flushNothing(png_structp) {}

struct PngEncoder {
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::vector<std::uint8_t> out;
    std::vector<std::uint8_t> rgb;
    std::vector<png_bytep> rows;

    ~PngEncoder() { png_destroy_write_struct(&png, info != nullptr ? &info : nullptr); }

    bool run(const Image &image, int level)
    {
        if (setjmp(png_jmpbuf(png)))
            return false;
        bool opaque = true;
        for (std::size_t i = 3; i < image.rgba.size() && opaque; i += 4)
            opaque = image.rgba[i] == 0xff;
        png_set_write_fn(png, &out, writeBytes, flushNothing);
        png_set_IHDR(png, info, image.width, image.height, 8, opaque ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGBA,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_set_compression_level(png, level < 0 ? 6 : std::min(level, 9));
        const std::size_t channels = opaque ? 3 : 4;
        const std::uint8_t *pixels = image.rgba.data();
        if (opaque) {
            rgb.resize(std::size_t{image.width} * image.height * 3);
            for (std::size_t p = 0, n = std::size_t{image.width} * image.height; p < n; ++p)
                std::memcpy(&rgb[p * 3], &image.rgba[p * 4], 3);
            pixels = rgb.data();
        }
        rows.resize(image.height);
        for (std::uint32_t y = 0; y < image.height; ++y)
            rows[y] = const_cast<png_bytep>(pixels + std::size_t{y} * image.width * channels);
        png_set_rows(png, info, rows.data());
        png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
        return true;
    }
};

} // namespace

std::optional<Image> decodeJpeg(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < 3 || bytes[0] != 0xff || bytes[1] != 0xd8 || bytes[2] != 0xff)
        return std::nullopt;
    JpegDecoder d;
    if (!d.run(bytes))
        return std::nullopt;
    return std::move(d.image);
}

std::optional<ImageSize> imageSize(std::span<const std::uint8_t> bytes)
{
    ImageSize size;
    if (bytes.size() >= 8 && png_sig_cmp(bytes.data(), 0, 8) == 0) {
        // The first chunk of a PNG is its header: width and height, big-endian.
        if (bytes.size() < 24 || std::memcmp(bytes.data() + 12, "IHDR", 4) != 0)
            return std::nullopt;
        const auto be32 = [&](std::size_t at) {
            return std::uint32_t{bytes[at]} << 24 | std::uint32_t{bytes[at + 1]} << 16 |
                   std::uint32_t{bytes[at + 2]} << 8 | std::uint32_t{bytes[at + 3]};
        };
        size = {be32(16), be32(20)};
    } else if (bytes.size() >= 3 && bytes[0] == 0xff && bytes[1] == 0xd8 && bytes[2] == 0xff) {
        JpegDecoder d;
        if (!d.readHeader(bytes))
            return std::nullopt;
        size = {d.cinfo.image_width, d.cinfo.image_height};
    } else {
        return std::nullopt;
    }
    if (size.width == 0 || size.height == 0 || size.width > kMaxImageSide || size.height > kMaxImageSide)
        return std::nullopt;
    return size;
}

std::optional<Image> decodeImage(std::span<const std::uint8_t> bytes)
{
    if (auto png = decodePng(bytes))
        return png;
    return decodeJpeg(bytes);
}

std::vector<std::uint8_t> encodePng(const Image &image, int compressionLevel)
{
    if (image.width == 0 || image.height == 0 || image.rgba.size() != std::size_t{image.width} * image.height * 4)
        return {};
    PngEncoder e;
    e.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, onError, onWarning);
    if (e.png == nullptr)
        return {};
    e.info = png_create_info_struct(e.png);
    if (e.info == nullptr || !e.run(image, compressionLevel))
        return {};
    return std::move(e.out);
}

} // namespace platform
