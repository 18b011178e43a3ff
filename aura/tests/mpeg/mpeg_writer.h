// A test-side MPEG audio frame writer: frames no encoder writes (intensity
// stereo at every position, mixed blocks, layer II joint stereo at every
// mode extension, layer I) built from chosen side information, scale
// factors and quantised values. The Huffman code words come from the
// decoder's generated tables. Header-only, for the mpeg test group.
#ifndef AURA_TESTS_MPEG_WRITER_H
#define AURA_TESTS_MPEG_WRITER_H

#include "mpeg/aura_mpeg_decoder.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <vector>

namespace mpegtest {

namespace tables {
#include "mpeg/aura_mpeg_tables.inc"
} // namespace tables

using FrameBytes = std::vector<uint8_t>;

class BitWriter {
public:
    // The low `count` bits of `value`, first bit highest.
    void put(uint32_t value, int count)
    {
        for (int i = count - 1; i >= 0; --i) {
            if (mBits % 8 == 0) {
                mBytes.push_back(0);
            }
            if ((value >> i) & 1) {
                mBytes.back() |= static_cast<uint8_t>(0x80 >> (mBits % 8));
            }
            ++mBits;
        }
    }
    void append(const BitWriter &other)
    {
        for (size_t i = 0; i < other.mBits; ++i) {
            put((other.mBytes[i / 8] >> (7 - i % 8)) & 1, 1);
        }
    }
    [[nodiscard]] size_t bits() const { return mBits; }
    [[nodiscard]] const FrameBytes &bytes() const { return mBytes; }

private:
    FrameBytes mBytes;
    size_t mBits = 0;
};

// 4 header bytes, big-endian.
inline void putHeader(FrameBytes &out, uint32_t raw)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(raw >> shift));
    }
}

// A header word: version bits 3 = MPEG-1, 2 = MPEG-2, 0 = MPEG-2.5; layer
// bits 1 = III, 2 = II, 3 = I; no CRC.
constexpr uint32_t headerWord(int version, int layer, int bitrate, int sampling, int mode, int extension = 0,
                              int padding = 0)
{
    return 0xFFE00000u | static_cast<uint32_t>(version) << 19 | static_cast<uint32_t>(layer) << 17 | 1u << 16 |
           static_cast<uint32_t>(bitrate) << 12 | static_cast<uint32_t>(sampling) << 10 |
           static_cast<uint32_t>(padding) << 9 | static_cast<uint32_t>(mode) << 6 |
           static_cast<uint32_t>(extension) << 4;
}

// ---------------------------------------------------------------------------
// Layer III

// Code words by table and value; tables sharing a tree share its words.
class HuffmanCodes {
public:
    struct Code {
        uint32_t bits = 0;
        int length = -1;
    };
    static const HuffmanCodes &get()
    {
        static const HuffmanCodes codes;
        return codes;
    }
    // Table 0-31 big values (value x << 4 | y), 32-33 count1.
    [[nodiscard]] Code code(int table, int value) const
    {
        const auto found = mCodes.find({owner(table), value});
        return found == mCodes.end() ? Code{} : found->second;
    }

private:
    HuffmanCodes()
    {
        for (const auto &word : tables::kHuffmanCodeWords) {
            mCodes[{word.table, word.value}] = {word.bits, word.length};
        }
    }
    static int owner(int table)
    {
        if (table >= 32) {
            return table;
        }
        int first = table;
        while (first > 0 && tables::kHuffmanTreeStart[first - 1] == tables::kHuffmanTreeStart[table]) {
            --first;
        }
        return first;
    }
    std::map<std::pair<int, int>, Code> mCodes;
};

struct Granule3 {
    int blockType = 0; // 0 long, 1 start, 2 short, 3 stop
    bool mixed = false;
    int globalGain = 150;
    int scalefacCompress = 0;
    int scalefacScale = 0;
    int preflag = 0; // MPEG-1 only
    int subblockGain[3] = {};
    // Long blocks: three tables split at region0/region1 counts; window
    // switching: tables 0 and 1.
    int tables[3] = {24, 15, 13};
    int region0 = 7;
    int region1 = 3;
    std::vector<int> scaleFactors; // in stream order, widths from scaleFactorWidths
    std::array<int, 576> lines{}; // quantised values in stream order
};

struct Frame3 {
    uint32_t header = 0;
    Granule3 gr[2][2];
};

// The widths of the scale factors a granule carries, in stream order (band
// by band; short bands window by window). `intensityRight` for channel 1
// of an MPEG-2 intensity-stereo frame.
inline std::vector<int> scaleFactorWidths(const AURA::MpegHeader &h, const Granule3 &g, bool intensityRight)
{
    std::vector<int> widths;
    if (!h.lsf) {
        static constexpr int kSlen[2][16] = {{0, 0, 0, 0, 3, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4},
                                             {0, 1, 2, 3, 0, 1, 2, 3, 1, 2, 3, 1, 2, 3, 2, 3}};
        const int s0 = kSlen[0][g.scalefacCompress];
        const int s1 = kSlen[1][g.scalefacCompress];
        if (g.blockType == 2) {
            widths.assign(g.mixed ? 17 : 18, s0);
            widths.insert(widths.end(), 18, s1);
        } else {
            widths.assign(11, s0);
            widths.insert(widths.end(), 10, s1);
        }
        return widths;
    }
    int slen[4] = {};
    int set = 0;
    int sfc = g.scalefacCompress;
    if (intensityRight) {
        sfc >>= 1;
        if (sfc < 180) {
            slen[0] = sfc / 36;
            slen[1] = (sfc % 36) / 6;
            slen[2] = sfc % 6;
            set = 3;
        } else if (sfc < 244) {
            sfc -= 180;
            slen[0] = (sfc % 64) >> 4;
            slen[1] = (sfc % 16) >> 2;
            slen[2] = sfc % 4;
            set = 4;
        } else {
            sfc -= 244;
            slen[0] = sfc / 3;
            slen[1] = sfc % 3;
            set = 5;
        }
    } else if (sfc < 400) {
        slen[0] = (sfc >> 4) / 5;
        slen[1] = (sfc >> 4) % 5;
        slen[2] = (sfc % 16) >> 2;
        slen[3] = sfc % 4;
    } else if (sfc < 500) {
        sfc -= 400;
        slen[0] = (sfc >> 2) / 5;
        slen[1] = (sfc >> 2) % 5;
        slen[2] = sfc % 4;
        set = 1;
    } else {
        sfc -= 500;
        slen[0] = sfc / 3;
        slen[1] = sfc % 3;
        set = 2;
    }
    const int kind = g.blockType == 2 ? (g.mixed ? 2 : 1) : 0;
    for (int p = 0; p < 4; ++p) {
        widths.insert(widths.end(), tables::kLsfPartitions[kind][set][p], slen[p]);
    }
    return widths;
}

// The Huffman part of one granule: big values by region, no count1.
inline bool writeSpectrum(const AURA::MpegHeader &h, const Granule3 &g, BitWriter &bits, int *bigValues)
{
    const HuffmanCodes &codes = HuffmanCodes::get();
    int last = 0;
    for (int i = 0; i < 576; ++i) {
        last = g.lines[i] ? i + 1 : last;
    }
    *bigValues = (last + 1) / 2;
    const uint16_t *longBands = tables::kLongBands[h.samplingFrequency];
    int regionEnd[3] = {576, 576, 576};
    if (g.blockType == 0) {
        regionEnd[0] = longBands[std::min(g.region0 + 1, 22)];
        regionEnd[1] = longBands[std::min(g.region0 + g.region1 + 2, 22)];
    }
    for (int pair = 0; pair < *bigValues; ++pair) {
        const int line = 2 * pair;
        const int region = line < regionEnd[0] ? 0 : line < regionEnd[1] ? 1 : 2;
        const int table = g.blockType ? std::min(region, 1) : region;
        const int number = g.tables[table];
        const int linbits = tables::kHuffmanLinbits[number];
        const int values[2] = {g.lines[line], g.lines[line + 1]};
        int x[2];
        for (int k = 0; k < 2; ++k) {
            x[k] = std::min(std::abs(values[k]), 15);
            if (std::abs(values[k]) >= 15 && !linbits && std::abs(values[k]) != 15) {
                return false;
            }
        }
        const HuffmanCodes::Code code = codes.code(number, x[0] << 4 | x[1]);
        if (code.length < 0) {
            return false;
        }
        bits.put(code.bits, code.length);
        for (int k = 0; k < 2; ++k) {
            if (x[k] == 15 && linbits) {
                const int extra = std::abs(values[k]) - 15;
                if (extra >= (1 << linbits)) {
                    return false;
                }
                bits.put(static_cast<uint32_t>(extra), linbits);
            }
            if (x[k]) {
                bits.put(values[k] < 0 ? 1 : 0, 1);
            }
        }
    }
    return true;
}

// A whole layer III frame without reservoir; fails (ADD_FAILURE, empty
// result) when its data does not fit the header's frame.
inline FrameBytes writeLayer3(const Frame3 &f)
{
    AURA::MpegHeader h;
    if (AURA::decodeHeader(f.header, 0, &h) != AURA_OK || h.layer != 3) {
        ADD_FAILURE() << "header " << std::hex << f.header;
        return {};
    }
    const int granules = h.lsf ? 1 : 2;
    const bool intensity = h.mode == 1 && (h.modeExtension & 1);
    BitWriter side;
    BitWriter main;
    side.put(0, h.lsf ? 8 : 9); // main_data_begin: no reservoir
    side.put(0, h.lsf ? h.channels : (h.channels == 1 ? 5 : 3));
    if (!h.lsf) {
        side.put(0, 4 * h.channels); // scfsi
    }
    for (int gr = 0; gr < granules; ++gr) {
        for (int c = 0; c < h.channels; ++c) {
            const Granule3 &g = f.gr[gr][c];
            BitWriter data;
            const std::vector<int> widths = scaleFactorWidths(h, g, h.lsf && intensity && c == 1);
            if (widths.size() != g.scaleFactors.size()) {
                ADD_FAILURE() << "scale factor count " << g.scaleFactors.size() << " for " << widths.size();
                return {};
            }
            for (size_t i = 0; i < widths.size(); ++i) {
                data.put(static_cast<uint32_t>(g.scaleFactors[i]), widths[i]);
            }
            int bigValues = 0;
            if (!writeSpectrum(h, g, data, &bigValues)) {
                ADD_FAILURE() << "values out of the tables' range";
                return {};
            }
            side.put(static_cast<uint32_t>(data.bits()), 12);
            side.put(static_cast<uint32_t>(bigValues), 9);
            side.put(static_cast<uint32_t>(g.globalGain), 8);
            side.put(static_cast<uint32_t>(g.scalefacCompress), h.lsf ? 9 : 4);
            side.put(g.blockType ? 1 : 0, 1);
            if (g.blockType) {
                side.put(static_cast<uint32_t>(g.blockType), 2);
                side.put(g.mixed ? 1 : 0, 1);
                side.put(static_cast<uint32_t>(g.tables[0]), 5);
                side.put(static_cast<uint32_t>(g.tables[1]), 5);
                for (int w = 0; w < 3; ++w) {
                    side.put(static_cast<uint32_t>(g.subblockGain[w]), 3);
                }
            } else {
                for (int t = 0; t < 3; ++t) {
                    side.put(static_cast<uint32_t>(g.tables[t]), 5);
                }
                side.put(static_cast<uint32_t>(g.region0), 4);
                side.put(static_cast<uint32_t>(g.region1), 3);
            }
            if (!h.lsf) {
                side.put(static_cast<uint32_t>(g.preflag), 1);
            }
            side.put(static_cast<uint32_t>(g.scalefacScale), 1);
            side.put(0, 1); // count1 table A, unused
            main.append(data);
        }
    }
    if ((side.bits() + main.bits() + 7) / 8 > static_cast<size_t>(h.bodySize)) {
        ADD_FAILURE() << "frame data of " << (side.bits() + main.bits()) / 8 << " bytes, room for " << h.bodySize;
        return {};
    }
    FrameBytes out;
    putHeader(out, f.header);
    out.insert(out.end(), side.bytes().begin(), side.bytes().end());
    out.insert(out.end(), main.bytes().begin(), main.bytes().end());
    out.resize(4 + static_cast<size_t>(h.bodySize), 0);
    return out;
}

// ---------------------------------------------------------------------------
// Layers I and II

struct Frame2 {
    uint32_t header = 0;
    uint8_t allocation[2][32] = {};
    uint8_t scfsi[2][32] = {};
    uint8_t scale[2][32][3] = {};
    // Per granule, channel and sub-band: three codes, or one grouped code
    // in [0].
    uint32_t codes[12][2][32][3] = {};
};

// The allocation entries of each sub-band for a header (layer II).
struct Layer2Layout {
    AURA::MpegHeader h;
    const int16_t (*groups[32])[2] = {};
};

inline bool layer2Layout(uint32_t raw, Layer2Layout *layout)
{
    // The container option lifts the MPEG-1 rate rule, so refused
    // combinations can be written too.
    if (AURA::decodeHeader(raw, AURA::MPEG_HEADER_CONTAINER, &layout->h) != AURA_OK || layout->h.layer != 2) {
        return false;
    }
    const int16_t(*g)[2] = tables::kLayer2Alloc + tables::kLayer2AllocStart[layout->h.allocTable];
    for (int sb = 0; sb < layout->h.sblimit; ++sb) {
        layout->groups[sb] = g;
        g += 1 << g[0][0];
    }
    return true;
}

// Reads or writes a layer II frame body through one walk, so both agree on
// the order of fields. `Io` is a reader or a writer of n-bit fields.
template <typename Io>
void walkLayer2(const Layer2Layout &l, Frame2 &f, Io &io)
{
    const int channels = l.h.channels;
    const int bound = std::min(l.h.bound, l.h.sblimit);
    for (int sb = 0; sb < l.h.sblimit; ++sb) {
        const int width = l.groups[sb][0][0];
        for (int c = 0; c < (sb < bound ? channels : 1); ++c) {
            io(f.allocation[c][sb], width);
        }
        if (sb >= bound && channels == 2) {
            f.allocation[1][sb] = f.allocation[0][sb];
        }
    }
    for (int sb = 0; sb < l.h.sblimit; ++sb) {
        for (int c = 0; c < channels; ++c) {
            if (f.allocation[c][sb]) {
                io(f.scfsi[c][sb], 2);
            }
        }
    }
    for (int sb = 0; sb < l.h.sblimit; ++sb) {
        for (int c = 0; c < channels; ++c) {
            if (!f.allocation[c][sb]) {
                continue;
            }
            uint8_t *s = f.scale[c][sb];
            static constexpr uint8_t kRead[4][3] = {{1, 1, 1}, {1, 0, 1}, {1, 0, 0}, {1, 1, 0}};
            for (int part = 0; part < 3; ++part) {
                if (kRead[f.scfsi[c][sb]][part]) {
                    io(s[part], 6);
                } else {
                    s[part] = s[part - 1];
                }
            }
        }
    }
    for (int gr = 0; gr < 12; ++gr) {
        for (int sb = 0; sb < l.h.sblimit; ++sb) {
            for (int c = 0; c < (sb < bound ? channels : 1); ++c) {
                const int value = f.allocation[c][sb];
                if (!value) {
                    continue;
                }
                const int16_t *entry = l.groups[sb][value];
                for (int i = 0; i < (entry[1] < 0 ? 3 : 1); ++i) {
                    io(f.codes[gr][c][sb][i], entry[0]);
                }
            }
        }
    }
}

// The body of a layer II frame (after the header) into `f`.
inline bool readLayer2(const uint8_t *frame, size_t size, Frame2 *f)
{
    *f = Frame2{};
    f->header = static_cast<uint32_t>(frame[0]) << 24 | static_cast<uint32_t>(frame[1]) << 16 |
                static_cast<uint32_t>(frame[2]) << 8 | frame[3];
    Layer2Layout layout;
    if (!layer2Layout(f->header, &layout) || layout.h.hasCrc) {
        return false;
    }
    size_t position = 32;
    bool inside = true;
    auto reader = [&](auto &field, int width) {
        uint32_t value = 0;
        for (int i = 0; i < width; ++i, ++position) {
            inside = inside && position / 8 < size;
            const uint32_t bit = inside ? (frame[position / 8] >> (7 - position % 8)) & 1 : 0;
            value = value << 1 | bit;
        }
        field = static_cast<std::remove_reference_t<decltype(field)>>(value);
    };
    walkLayer2(layout, *f, reader);
    return inside;
}

// A layer II frame. Where the fields do not fit the frame, the highest
// allocated sub-bands are dropped until they do.
inline FrameBytes writeLayer2(Frame2 f)
{
    Layer2Layout layout;
    if (!layer2Layout(f.header, &layout)) {
        ADD_FAILURE() << "header " << std::hex << f.header;
        return {};
    }
    for (int top = layout.h.sblimit; top >= 0; --top) {
        BitWriter bits;
        auto writer = [&](auto &field, int width) { bits.put(static_cast<uint32_t>(field), width); };
        walkLayer2(layout, f, writer);
        if ((bits.bits() + 7) / 8 <= static_cast<size_t>(layout.h.bodySize)) {
            FrameBytes out;
            putHeader(out, f.header);
            out.insert(out.end(), bits.bytes().begin(), bits.bytes().end());
            out.resize(4 + static_cast<size_t>(layout.h.bodySize), 0);
            return out;
        }
        for (int c = 0; c < 2 && top > 0; ++c) {
            f.allocation[c][top - 1] = 0;
        }
    }
    return {};
}

// A layer II frame of arbitrary allocations, scale factors and samples in
// every sub-band, whatever rate and mode the header gives.
inline FrameBytes randomLayer2(uint32_t raw, uint32_t seed)
{
    Layer2Layout layout;
    if (!layer2Layout(raw, &layout)) {
        ADD_FAILURE() << "header " << std::hex << raw;
        return {};
    }
    auto next = [&seed](uint32_t below) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % below;
    };
    Frame2 f;
    f.header = raw;
    for (int sb = 0; sb < layout.h.sblimit; ++sb) {
        const uint32_t choices = 1u << layout.groups[sb][0][0];
        for (int c = 0; c < 2; ++c) {
            f.allocation[c][sb] = static_cast<uint8_t>(next(std::min(choices, 4u)));
            f.scfsi[c][sb] = static_cast<uint8_t>(next(4));
            for (uint8_t &s : f.scale[c][sb]) {
                s = static_cast<uint8_t>(20 + next(30));
            }
        }
    }
    for (auto &granule : f.codes) {
        for (int c = 0; c < 2; ++c) {
            for (int sb = 0; sb < layout.h.sblimit; ++sb) {
                const int value = f.allocation[c][sb];
                const int width = value ? layout.groups[sb][value][0] : 0;
                for (uint32_t &code : granule[c][sb]) {
                    code = width ? next(1u << width) : 0;
                }
            }
        }
    }
    return writeLayer2(f);
}

// A layer I frame (MPEG-1, stereo or mono) with a few allocated sub-bands
// of arbitrary samples: what the probe must refuse.
inline FrameBytes writeLayer1(int bitrateIndex, int sampling, int mode, uint32_t seed)
{
    static constexpr int kRates[15] = {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448};
    static constexpr int kFrequency[3] = {44100, 48000, 32000};
    const uint32_t raw = headerWord(3, 3, bitrateIndex, sampling, mode);
    const int channels = mode == 3 ? 1 : 2;
    const size_t size = static_cast<size_t>(12 * kRates[bitrateIndex] * 1000 / kFrequency[sampling] * 4);
    BitWriter bits;
    int allocation[2][32] = {};
    for (int sb = 0; sb < 32; ++sb) {
        for (int c = 0; c < channels; ++c) {
            allocation[c][sb] = sb < 8 ? static_cast<int>((seed >> (sb % 4)) % 6) + 1 : 0;
            bits.put(static_cast<uint32_t>(allocation[c][sb]), 4);
        }
    }
    for (int sb = 0; sb < 32; ++sb) {
        for (int c = 0; c < channels; ++c) {
            if (allocation[c][sb]) {
                bits.put(static_cast<uint32_t>(10 + sb), 6);
            }
        }
    }
    for (int s = 0; s < 12; ++s) {
        for (int sb = 0; sb < 32; ++sb) {
            for (int c = 0; c < channels; ++c) {
                if (allocation[c][sb]) {
                    seed = seed * 1664525u + 1013904223u;
                    bits.put(seed >> 8, allocation[c][sb] + 1);
                }
            }
        }
    }
    FrameBytes out;
    putHeader(out, raw);
    out.insert(out.end(), bits.bytes().begin(), bits.bytes().end());
    out.resize(size, 0);
    return out;
}

} // namespace mpegtest

#endif // AURA_TESTS_MPEG_WRITER_H
