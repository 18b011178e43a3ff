// Reading an ads answer of 4 MiB (2,000 ads, 40 JPEG images) with the cache
// directory on tmpfs, against the work it cannot avoid: decoding the same
// JPEGs with libjpeg-turbo and encoding them as PNG with libpng (zlib's
// default level, as the image cache does), called directly.
#include "platform/files.h"
#include "tally/TallyAdParser.h"
#include "tally/TallyAdServing.h"
#include "tally/TallyCaches.h"

#include <benchmark/benchmark.h>
// jpeglib.h needs the standard types before it.
#include <cstdio>
#include <jpeglib.h>
#include <png.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kImages = 40;
constexpr int kAds = 2000;
constexpr unsigned kWidth = 400;
constexpr unsigned kHeight = 300;

Bytes encodeJpeg(unsigned seed)
{
    std::vector<std::uint8_t> rgb(std::size_t{kWidth} * kHeight * 3);
    std::uint32_t noise = seed * 2654435761u + 1;
    for (unsigned y = 0; y < kHeight; ++y) {
        for (unsigned x = 0; x < kWidth; ++x) {
            noise = noise * 1664525u + 1013904223u;
            std::uint8_t *p = &rgb[(std::size_t{y} * kWidth + x) * 3];
            p[0] = static_cast<std::uint8_t>(x + seed * 7 + (noise >> 28));
            p[1] = static_cast<std::uint8_t>(y * 2 + (noise >> 27));
            p[2] = static_cast<std::uint8_t>((x ^ y) + (noise >> 26));
        }
    }
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = kWidth;
    c.image_height = kHeight;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 92, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = &rgb[std::size_t{c.next_scanline} * kWidth * 3];
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    Bytes bytes(out, out + size);
    std::free(out);
    jpeg_destroy_compress(&c);
    return bytes;
}

void be(Bytes &b, std::uint64_t v, int width)
{
    for (int i = width - 1; i >= 0; --i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void str(Bytes &b, const std::string &s)
{
    be(b, s.size(), 2);
    b.insert(b.end(), s.begin(), s.end());
}
void chunk(Bytes &body, std::uint16_t type, const Bytes &payload)
{
    be(body, type, 2);
    be(body, payload.size(), 4);
    body.insert(body.end(), payload.begin(), payload.end());
}

struct Fixture {
    std::vector<Bytes> jpegs;
    Bytes answer;

    Fixture()
    {
        Bytes images;
        be(images, kImages, 2);
        for (int i = 0; i < kImages; ++i) {
            jpegs.push_back(encodeJpeg(static_cast<unsigned>(i)));
            be(images, static_cast<std::uint64_t>(i + 1), 8);
            be(images, kWidth, 4);
            be(images, kHeight, 4);
            str(images, "image/jpeg");
            be(images, jpegs.back().size(), 4);
            images.insert(images.end(), jpegs.back().begin(), jpegs.back().end());
        }
        Bytes ads;
        be(ads, 1, 1);
        be(ads, kAds, 2);
        for (int i = 0; i < kAds; ++i) {
            be(ads, static_cast<std::uint64_t>(i + 1), 8);
            be(ads, 77, 8);
            str(ads, "Application number " + std::to_string(i));
            str(ads, "Advertiser");
            be(ads, 5, 8);
            be(ads, static_cast<std::uint64_t>(i % kImages + 1), 8);
            be(ads, 16, 1);
            ads.insert(ads.end(), 16, 0xAB);
        }
        chunk(answer, 0x0106, images);
        chunk(answer, 0x0103, ads);
        chunk(answer, 0x0108, {});
        // Pad to 4 MiB with a chunk the parser skips.
        const std::size_t target = std::size_t{4} << 20;
        if (answer.size() + 6 < target)
            chunk(answer, 0x0104, Bytes(target - answer.size() - 6, 0));
    }
};

const Fixture &fixture()
{
    static const Fixture f;
    return f;
}

void BM_ParseAdsAnswer(benchmark::State &state)
{
    const auto &f = fixture();
    static const bool ready = [] {
        char pattern[] = "/dev/shm/tally-bench-XXXXXX";
        const char *dir = ::mkdtemp(pattern);
        platform::setApplicationRoot(dir != nullptr ? dir : "/tmp");
        tally::TallyFileCache::createInstanceWithApiKey("bench");
        return true;
    }();
    (void)ready;
    for (auto _ : state) {
        state.PauseTiming();
        tally::TallyImageCache::recreateInstanceWithFileCache(tally::TallyFileCache::instance());
        const auto parser = tally::TallyAdParser::recreateInstance();
        state.ResumeTiming();
        parser->parseData(std::span<const std::uint8_t>(f.answer));
        benchmark::DoNotOptimize(parser->adParsingPhase());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.answer.size()));
}
BENCHMARK(BM_ParseAdsAnswer)->Unit(benchmark::kMillisecond);

void writePngBytes(png_structp png, png_bytep data, png_size_t n)
{
    auto *out = static_cast<Bytes *>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + n);
}
void flushNothing(png_structp) {}

void BM_ReferenceDecodeAndEncode(benchmark::State &state)
{
    const auto &f = fixture();
    for (auto _ : state) {
        for (const auto &jpeg : f.jpegs) {
            jpeg_decompress_struct d{};
            jpeg_error_mgr err{};
            d.err = jpeg_std_error(&err);
            jpeg_create_decompress(&d);
            jpeg_mem_src(&d, jpeg.data(), jpeg.size());
            jpeg_read_header(&d, TRUE);
            d.out_color_space = JCS_RGB;
            jpeg_start_decompress(&d);
            std::vector<std::uint8_t> rgb(std::size_t{d.output_width} * d.output_height * 3);
            std::vector<png_bytep> rows(d.output_height);
            for (unsigned y = 0; y < d.output_height; ++y)
                rows[y] = &rgb[std::size_t{y} * d.output_width * 3];
            while (d.output_scanline < d.output_height) {
                JSAMPROW row = rows[d.output_scanline];
                jpeg_read_scanlines(&d, &row, 1);
            }
            jpeg_finish_decompress(&d);
            Bytes out;
            png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
            png_infop info = png_create_info_struct(png);
            png_set_write_fn(png, &out, writePngBytes, flushNothing);
            png_set_IHDR(png, info, d.output_width, d.output_height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                         PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
            png_set_compression_level(png, 6);
            png_set_rows(png, info, rows.data());
            png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
            png_destroy_write_struct(&png, &info);
            jpeg_destroy_decompress(&d);
            benchmark::DoNotOptimize(out.data());
        }
    }
}
BENCHMARK(BM_ReferenceDecodeAndEncode)->Unit(benchmark::kMillisecond);

} // namespace
