#include "ogg.h"

#include <vorbis/vorbisenc.h>

#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

namespace auratest {

Bytes encodeOgg(const OggSpec &spec)
{
    Bytes out;
    vorbis_info vi;
    vorbis_info_init(&vi);
    if (vorbis_encode_init_vbr(&vi, spec.channels, spec.rate, 0.3f) != 0) {
        vorbis_info_clear(&vi);
        return out;
    }
    vorbis_comment vc;
    vorbis_comment_init(&vc);
    for (const std::string &c : spec.comments) {
        vorbis_comment_add(&vc, c.c_str());
    }
    vorbis_dsp_state vd;
    vorbis_block vb;
    vorbis_analysis_init(&vd, &vi);
    vorbis_block_init(&vd, &vb);
    ogg_stream_state os;
    ogg_stream_init(&os, static_cast<int>(spec.serial));
    ogg_packet header, comm, code;
    vorbis_analysis_headerout(&vd, &vc, &header, &comm, &code);
    ogg_stream_packetin(&os, &header);
    ogg_stream_packetin(&os, &comm);
    ogg_stream_packetin(&os, &code);
    ogg_page og;
    const auto emit = [&](int (*take)(ogg_stream_state *, ogg_page *)) {
        const auto next = [&] {
            return take == ogg_stream_pageout && spec.pageBytes > 0 ? ogg_stream_pageout_fill(&os, &og, spec.pageBytes)
                                                                    : take(&os, &og);
        };
        while (next() != 0) {
            out.insert(out.end(), og.header, og.header + og.header_len);
            out.insert(out.end(), og.body, og.body + og.body_len);
        }
    };
    emit(ogg_stream_flush);

    constexpr int chunk = 1024;
    int written = 0;
    int packets = 0;
    bool ended = false;
    while (!ended) {
        if (written < spec.frames) {
            const int n = std::min(chunk, spec.frames - written);
            float **buffer = vorbis_analysis_buffer(&vd, n);
            for (int c = 0; c < spec.channels; ++c) {
                const double f = static_cast<size_t>(c) < spec.frequencies.size() ? spec.frequencies[c] : 440.0 * (c + 1);
                for (int i = 0; i < n; ++i) {
                    const double t = static_cast<double>(written + i) / spec.rate;
                    buffer[c][i] = static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * f * t));
                }
            }
            vorbis_analysis_wrote(&vd, n);
            written += n;
        } else {
            vorbis_analysis_wrote(&vd, 0);
            ended = true;
        }
        while (vorbis_analysis_blockout(&vd, &vb) == 1) {
            vorbis_analysis(&vb, nullptr);
            vorbis_bitrate_addblock(&vb);
            ogg_packet op;
            while (vorbis_bitrate_flushpacket(&vd, &op)) {
                op.granulepos -= spec.granuleShift;
                ogg_stream_packetin(&os, &op);
                ++packets;
                emit(packets == spec.firstPagePackets ? ogg_stream_flush : ogg_stream_pageout);
            }
        }
    }
    emit(ogg_stream_flush);
    ogg_stream_clear(&os);
    vorbis_block_clear(&vb);
    vorbis_dsp_clear(&vd);
    vorbis_comment_clear(&vc);
    vorbis_info_clear(&vi);
    return out;
}

uint32_t oggCrc(const uint8_t *data, size_t size)
{
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t r = i << 24;
            for (int k = 0; k < 8; ++k) {
                r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
            }
            t[i] = r;
        }
        return t;
    }();
    uint32_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc = (crc << 8) ^ table[((crc >> 24) ^ data[i]) & 0xFF];
    }
    return crc;
}

int64_t OggPage::granule(const Bytes &ogg) const
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = value << 8 | ogg[offset + 6 + static_cast<size_t>(i)];
    }
    return static_cast<int64_t>(value);
}

void OggPage::setGranule(Bytes &ogg, int64_t granule) const
{
    const auto value = static_cast<uint64_t>(granule);
    for (size_t i = 0; i < 8; ++i) {
        ogg[offset + 6 + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    fixChecksum(ogg, *this);
}

std::vector<OggPage> oggPages(const Bytes &ogg)
{
    std::vector<OggPage> pages;
    size_t at = 0;
    while (at + 27 <= ogg.size() && std::memcmp(&ogg[at], "OggS", 4) == 0) {
        const size_t segments = ogg[at + 26];
        if (at + 27 + segments > ogg.size()) {
            return {};
        }
        size_t body = 0;
        for (size_t s = 0; s < segments; ++s) {
            body += ogg[at + 27 + s];
        }
        const size_t size = 27 + segments + body;
        if (at + size > ogg.size()) {
            return {};
        }
        pages.push_back({at, size});
        at += size;
    }
    return at == ogg.size() ? pages : std::vector<OggPage>{};
}

void fixChecksum(Bytes &ogg, const OggPage &page)
{
    std::memset(&ogg[page.offset + 22], 0, 4);
    const uint32_t crc = oggCrc(&ogg[page.offset], page.size);
    for (size_t i = 0; i < 4; ++i) {
        ogg[page.offset + 22 + i] = static_cast<uint8_t>(crc >> (8 * i));
    }
}

bool setLastGranule(Bytes &ogg, uint64_t granule)
{
    const std::vector<OggPage> pages = oggPages(ogg);
    if (pages.empty()) {
        return false;
    }
    pages.back().setGranule(ogg, static_cast<int64_t>(granule));
    return true;
}

bool setSerial(Bytes &ogg, uint32_t serial)
{
    const std::vector<OggPage> pages = oggPages(ogg);
    for (const OggPage &page : pages) {
        for (size_t i = 0; i < 4; ++i) {
            ogg[page.offset + 14 + i] = static_cast<uint8_t>(serial >> (8 * i));
        }
        fixChecksum(ogg, page);
    }
    return !pages.empty();
}

bool damageSetupHeader(Bytes &ogg, size_t fromEnd, size_t count)
{
    const std::vector<OggPage> pages = oggPages(ogg);
    // The identification header has a page of its own; comments and setup
    // share the next one (oggenc and libvorbisenc flush them together).
    if (pages.size() < 3 || fromEnd + count > pages[1].size - 27) {
        return false;
    }
    const size_t end = pages[1].offset + pages[1].size;
    for (size_t i = 0; i < count; ++i) {
        ogg[end - fromEnd - 1 - i] ^= 0x5A;
    }
    fixChecksum(ogg, pages[1]);
    return true;
}

bool setHeaderChannels(Bytes &ogg, uint8_t channels)
{
    const std::vector<OggPage> pages = oggPages(ogg);
    if (pages.empty() || pages[0].size < 27 + 1 + 30) {
        return false;
    }
    // Packet type, "vorbis", the 32-bit version, then the channel count.
    ogg[pages[0].body(ogg) + 11] = channels;
    fixChecksum(ogg, pages[0]);
    return true;
}

} // namespace auratest
