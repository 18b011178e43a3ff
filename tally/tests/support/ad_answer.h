// A writer of ads answers for the tests, made from the chunk tables alone:
// it shares no code with the library's parser. Every multi-byte field is
// big-endian; each chunk is a u16 type, a u32 payload size and the payload.
#ifndef TALLY_TESTS_AD_ANSWER_H
#define TALLY_TESTS_AD_ANSWER_H

#include <cstdint>
#include <string>
#include <vector>

namespace adanswer {

using Bytes = std::vector<std::uint8_t>;

struct Payload {
    Bytes b;
    Payload &be(std::uint64_t v, int width)
    {
        for (int i = width - 1; i >= 0; --i)
            b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    Payload &u8(std::uint64_t v) { return be(v, 1); }
    Payload &u16(std::uint64_t v) { return be(v, 2); }
    Payload &u32(std::uint64_t v) { return be(v, 4); }
    Payload &i64(std::int64_t v) { return be(static_cast<std::uint64_t>(v), 8); }
    Payload &raw(const Bytes &bytes)
    {
        b.insert(b.end(), bytes.begin(), bytes.end());
        return *this;
    }
    Payload &str(const std::string &s)
    {
        u16(s.size());
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    // Font name, size, colour.
    Payload &style(const std::string &font, std::int16_t size, std::uint32_t rgb)
    {
        return str(font).u16(static_cast<std::uint16_t>(size)).u32(rgb);
    }
};

struct Ad {
    std::int64_t adId = 0;
    std::int64_t projectId = 0;
    std::string text;
    std::string advertiser;
    std::int64_t canvasId = 0;
    std::int64_t imageId = 0;
    Bytes cookie;
};

inline Ad ad(std::int64_t adId, std::int64_t imageId = 0)
{
    Ad a;
    a.adId = adId;
    a.imageId = imageId;
    return a;
}

struct Image {
    std::int64_t id = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::string mime = "image/png";
    Bytes data;
};

struct Answer {
    Bytes body;

    Answer &chunk(std::uint16_t type, const Payload &p)
    {
        Payload head;
        head.u16(type).u32(p.b.size());
        body.insert(body.end(), head.b.begin(), head.b.end());
        body.insert(body.end(), p.b.begin(), p.b.end());
        return *this;
    }
    Answer &version(std::int32_t v) { return chunk(0x0102, Payload().u32(static_cast<std::uint32_t>(v))); }
    Answer &adBlock(std::uint8_t id, const std::vector<Ad> &ads)
    {
        Payload p;
        p.u8(id).u16(ads.size());
        for (const Ad &a : ads) {
            p.i64(a.adId).i64(a.projectId).str(a.text).str(a.advertiser).i64(a.canvasId).i64(a.imageId);
            p.u8(a.cookie.size()).raw(a.cookie);
        }
        return chunk(0x0103, p);
    }
    Answer &images(const std::vector<Image> &images)
    {
        Payload p;
        p.u16(images.size());
        for (const Image &i : images) {
            p.i64(i.id).u32(static_cast<std::uint32_t>(i.width)).u32(static_cast<std::uint32_t>(i.height));
            p.str(i.mime).u32(i.data.size()).raw(i.data);
        }
        return chunk(0x0106, p);
    }
    // Name, ad block, theme.
    struct Hook {
        std::string name;
        std::uint8_t block = 0;
        std::uint8_t theme = 0;
    };
    Answer &hooks(const std::vector<Hook> &hooks)
    {
        Payload p;
        p.u32(hooks.size());
        for (const Hook &h : hooks)
            p.str(h.name).u8(h.block).u8(h.theme);
        return chunk(0x0107, p);
    }
    // One theme: id, sell message, portrait and landscape image ids, three
    // portrait styles all in `rgb`.
    Answer &theme(std::uint8_t id, std::int64_t portraitImage, std::int64_t landscapeImage, std::uint32_t rgb = 0)
    {
        Payload p;
        p.u8(1).u8(id).str("Buy now").i64(portraitImage).i64(landscapeImage);
        for (int i = 0; i < 3; ++i)
            p.style("Helvetica", 12, rgb);
        return chunk(0x010A, p);
    }
    // Completes theme `id`: three landscape styles, then 18 geometry
    // records whose values count up from `first`.
    Answer &themeExtension(std::uint8_t id, std::int32_t first)
    {
        Payload p;
        p.u8(1).u8(id);
        for (int i = 0; i < 3; ++i)
            p.style("Arial", 10, 0x00FFFFFF);
        for (int i = 0; i < 36; ++i)
            p.u32(static_cast<std::uint32_t>(first + i));
        return chunk(0x010F, p);
    }
    Answer &error(std::uint16_t code, const std::string &message)
    {
        return chunk(0x0109, Payload().u16(code).str(message));
    }
    Answer &imageCodes(const std::vector<std::pair<std::int64_t, std::int16_t>> &codes)
    {
        Payload p;
        p.u32(codes.size());
        for (const auto &[id, code] : codes)
            p.i64(id).u16(static_cast<std::uint16_t>(code));
        return chunk(0x010C, p);
    }
    Answer &properties(std::int32_t delay, std::int64_t cacheTime, std::int8_t portraitMax, std::int8_t landscapeMax,
                       const std::string &portraitStart, const std::string &landscapeStart, const Bytes &trailing = {})
    {
        Payload p;
        p.u16(0).u16(1).u32(static_cast<std::uint32_t>(delay)).i64(cacheTime);
        p.u8(static_cast<std::uint8_t>(portraitMax)).u8(static_cast<std::uint8_t>(landscapeMax));
        p.str(portraitStart).str(landscapeStart).raw(trailing);
        return chunk(0x010D, p);
    }
    // One hook with attributes (key, value).
    Answer &hookAttributes(const std::string &hook, const std::vector<std::pair<std::uint16_t, std::int64_t>> &attrs)
    {
        Payload p;
        p.u16(1).str(hook).u16(attrs.size());
        for (const auto &[key, value] : attrs)
            p.u16(key).i64(value);
        return chunk(0x010E, p);
    }
    Answer &end() { return chunk(0x0108, Payload()); }
};

} // namespace adanswer

#endif // TALLY_TESTS_AD_ANSWER_H
