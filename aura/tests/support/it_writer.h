// Builds IT files in memory for the tracker tests: header fields, orders,
// packed patterns (or raw pattern bytes), instruments with envelopes,
// samples stored plain (signed or unsigned, mono or stereo) or compressed
// in either block format, extension chunks and a song message; and the
// block compressor itself. Header-only.
#ifndef AURA_TESTS_SUPPORT_IT_WRITER_H
#define AURA_TESTS_SUPPORT_IT_WRITER_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace auratest {

// The tracker's compressed block format for one channel of points: blocks
// of 0x8000 (8-bit) or 0x4000 (16-bit) points, each a 16-bit byte count and
// a bit stream of delta codes in variable widths (deltas of deltas with
// `doubleDelta`). The widths the stream used are added to `widths`.
class ItCompressor {
public:
    ItCompressor(bool sixteen, bool doubleDelta)
        : mBits(sixteen ? 16 : 8)
        , mTop(sixteen ? 17 : 9)
        , mChangeBits(sixteen ? 4 : 3)
        , mBlockPoints(sixteen ? 0x4000u : 0x8000u)
        , mDoubleDelta(doubleDelta)
    {
    }

    std::vector<uint8_t> compress(const std::vector<int> &points, std::set<int> *widths = nullptr)
    {
        std::vector<uint8_t> out;
        for (size_t start = 0; start < points.size(); start += mBlockPoints) {
            const size_t end = std::min(points.size(), start + mBlockPoints);
            mStream.clear();
            mBitCount = 0;
            int width = mTop;
            int prev = 0;
            int prevDelta = 0;
            for (size_t i = start; i < end; ++i) {
                const int delta = wrap(points[i] - prev);
                prev = points[i];
                int value = delta;
                if (mDoubleDelta) {
                    value = wrap(delta - prevDelta);
                    prevDelta = delta;
                }
                const int smallest = minWidth(value);
                // Narrowing whenever a value allows it passes through every
                // width the data needs.
                if (!fits(value, width) || smallest < width - 1) {
                    change(width, smallest);
                    width = smallest;
                }
                if (widths) {
                    widths->insert(width);
                }
                // At the top width the point's own bits go out with the
                // change flag clear.
                put(static_cast<uint32_t>(value) & mask(std::min(width, mBits)), width);
            }
            const size_t bytes = (mBitCount + 7) / 8;
            out.push_back(static_cast<uint8_t>(bytes));
            out.push_back(static_cast<uint8_t>(bytes >> 8));
            out.insert(out.end(), mStream.begin(), mStream.begin() + static_cast<long>(bytes));
        }
        return out;
    }

    // The code that changes the width from `from` to `to`, written alone
    // (for streams the tests build by hand).
    void change(int from, int to)
    {
        if (from == to) {
            return;
        }
        const int code = to < from ? to : to - 1;
        if (from < 7) {
            put(1u << (from - 1), from);
            put(static_cast<uint32_t>(code - 1), mChangeBits);
        } else if (from < mTop) {
            put(static_cast<uint32_t>(border(from) + code), from);
        } else {
            put((1u << mBits) | static_cast<uint32_t>(to - 1), mTop);
        }
    }

    void put(uint32_t value, int width)
    {
        for (int i = 0; i < width; ++i, ++mBitCount) {
            if (mBitCount / 8 >= mStream.size()) {
                mStream.push_back(0);
            }
            if ((value >> i) & 1) {
                mStream[mBitCount / 8] = static_cast<uint8_t>(mStream[mBitCount / 8] | (1u << (mBitCount % 8)));
            }
        }
    }
    [[nodiscard]] const std::vector<uint8_t> &stream() const { return mStream; }

private:
    [[nodiscard]] int wrap(int value) const
    {
        const int range = 1 << mBits;
        value &= range - 1;
        return value >= range / 2 ? value - range : value;
    }
    [[nodiscard]] static uint32_t mask(int width) { return width >= 32 ? ~0u : (1u << width) - 1; }
    [[nodiscard]] int border(int width) const
    {
        return mBits == 8 ? (0xFF >> (9 - width)) - 4 : (0xFFFF >> (17 - width)) - 8;
    }
    [[nodiscard]] bool fits(int value, int width) const
    {
        if (width >= mTop) {
            return true;
        }
        const int half = 1 << (width - 1);
        if (width < 7) {
            return value > -half && value < half;
        }
        if (value < -half || value >= half) {
            return false;
        }
        const int v = static_cast<int>(static_cast<uint32_t>(value) & mask(width));
        return !(v > border(width) && v <= border(width) + (mBits == 8 ? 8 : 16));
    }
    [[nodiscard]] int minWidth(int value) const
    {
        int width = 1;
        while (!fits(value, width)) {
            ++width;
        }
        return width;
    }

    int mBits;
    int mTop;
    int mChangeBits;
    unsigned int mBlockPoints;
    bool mDoubleDelta;
    std::vector<uint8_t> mStream;
    size_t mBitCount = 0;
};

struct ItSample {
    std::string name = "sample";
    std::vector<int> data; // signed points, frames x channels interleaved
    bool sixteen = false;
    bool stereo = false;
    bool compressed = false;
    bool doubleDelta = false; // convert bit 2 (with a compatible-with version of 0x215 or more)
    bool signedData = true; // convert bit 0; unsigned points are stored with their top bit flipped
    bool loop = false;
    bool pingpong = false;
    uint32_t loopBegin = 0;
    uint32_t loopEnd = 0;
    uint32_t c5 = 8363;
    uint8_t volume = 64;
    uint8_t globalVolume = 64;
    uint8_t pan = 32;
    int64_t lengthField = -1; // stored instead of the frame count when set
};

struct ItEnvelope {
    uint8_t flags = 0; // as stored: 1 on, 2 loop, 4 sustain, 8 carry, 0x80 filter
    std::vector<std::pair<int, int>> nodes; // (tick, value)
    uint8_t loopBegin = 0, loopEnd = 0, sustainBegin = 0, sustainEnd = 0;
    int countField = -1; // stored instead of the node count when set
};

struct ItInstrument {
    std::string name = "instrument";
    uint8_t newNoteAction = 0;
    uint8_t duplicateCheckType = 0;
    uint8_t duplicateCheckAction = 0;
    uint16_t fadeout = 0;
    uint8_t pitchPanSeparation = 0; // as stored
    uint8_t pitchPanCentre = 60;
    uint8_t globalVolume = 128;
    uint8_t pan = 0x80 | 32;
    uint8_t cutoff = 0;
    uint8_t resonance = 0;
    std::vector<std::pair<uint8_t, uint8_t>> noteTable; // 120 (note, sample); empty: note n plays sample 1
    ItEnvelope volume, pan_, pitch;
};

struct ItCell {
    uint8_t note = 0; // 0 none, 1..120 (C-0 is 1), 0xFE cut, 0xFF off, as the engine keeps them
    uint8_t instrument = 0;
    uint8_t volume = 0; // 0 none, else the column byte + 1
    uint8_t effect = 0;
    uint8_t param = 0;
};

class ItWriter {
public:
    uint16_t compatibleWith = 0x214;
    uint16_t flags = 1 | 4 | 8; // stereo, instruments, linear slides
    uint8_t globalVolume = 128;
    uint8_t mixVolume = 48;
    uint8_t speed = 6;
    uint8_t tempo = 125;
    std::string songName = "song";
    std::string message;
    int messageLengthField = -1; // stored instead of the message length when set
    uint8_t channelPan[64] = {};
    uint8_t channelVolume[64] = {};
    std::vector<uint8_t> orders{0, 255};
    std::vector<ItInstrument> instruments;
    std::vector<ItSample> samples;
    std::vector<std::vector<uint8_t>> patterns; // packed: rows then data; empty: offset 0
    std::vector<int> patternRows;
    std::vector<std::vector<uint8_t>> chunks; // extension chunks, whole (id, length, data)
    int orderCountField = -1, instrumentCountField = -1, sampleCountField = -1, patternCountField = -1;

    ItWriter()
    {
        std::fill(std::begin(channelPan), std::end(channelPan), 32);
        std::fill(std::begin(channelVolume), std::end(channelVolume), 64);
    }

    // A pattern of `rows` rows from cells given per row and channel
    // (unpacked; packed here with masks and no remembered values).
    ItWriter &pattern(int rows, const std::vector<std::vector<std::pair<int, ItCell>>> &cells)
    {
        std::vector<uint8_t> packed;
        for (int r = 0; r < rows; ++r) {
            if (r < static_cast<int>(cells.size())) {
                for (const auto &[channel, cell] : cells[static_cast<size_t>(r)]) {
                    uint8_t mask = 0;
                    mask |= cell.note ? 1 : 0;
                    mask |= cell.instrument ? 2 : 0;
                    mask |= cell.volume ? 4 : 0;
                    mask |= (cell.effect || cell.param) ? 8 : 0;
                    packed.push_back(static_cast<uint8_t>(0x80 | (channel + 1)));
                    packed.push_back(mask);
                    if (mask & 1) {
                        packed.push_back(cell.note >= 0xFE ? cell.note : static_cast<uint8_t>(cell.note - 1));
                    }
                    if (mask & 2) {
                        packed.push_back(cell.instrument);
                    }
                    if (mask & 4) {
                        packed.push_back(static_cast<uint8_t>(cell.volume - 1));
                    }
                    if (mask & 8) {
                        packed.push_back(cell.effect);
                        packed.push_back(cell.param);
                    }
                }
            }
            packed.push_back(0);
        }
        return rawPattern(rows, std::move(packed));
    }

    ItWriter &rawPattern(int rows, std::vector<uint8_t> packed)
    {
        patternRows.push_back(rows);
        patterns.push_back(std::move(packed));
        return *this;
    }
    ItWriter &emptyPattern() { return rawPattern(-1, {}); }

    // An "FXnn" chunk of an echo plug-in with its five parameters as stored.
    static std::vector<uint8_t> echoChunk(int index, uint8_t recordFlags, const float (&params)[5],
                                          const char *library = "Echo")
    {
        std::vector<uint8_t> body(0x84 + 24, 0);
        body[8] = recordFlags;
        std::memcpy(body.data() + 0x40, library, 4);
        put32(body, 0x80, 24);
        for (int k = 0; k < 5; ++k) {
            uint32_t bits = 0;
            std::memcpy(&bits, &params[k], 4);
            put32(body, 0x88 + 4 * static_cast<size_t>(k), bits);
        }
        const char id[5] = {'F', 'X', static_cast<char>('0' + index / 10), static_cast<char>('0' + index % 10), 0};
        return chunk(id, body);
    }
    static std::vector<uint8_t> chunk(const char *id, const std::vector<uint8_t> &body)
    {
        std::vector<uint8_t> out(id, id + 4);
        std::vector<uint8_t> length(4);
        put32(length, 0, static_cast<uint32_t>(body.size()));
        out.insert(out.end(), length.begin(), length.end());
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }

    [[nodiscard]] std::vector<uint8_t> bytes() const
    {
        std::vector<uint8_t> f;
        f.reserve(4096); // and g++ sees no insert past a fixed 192 bytes
        f.resize(192, 0);
        std::memcpy(f.data(), "IMPM", 4);
        std::memcpy(f.data() + 4, songName.data(), std::min<size_t>(songName.size(), 25));
        put16(f, 32, orderCountField >= 0 ? orderCountField : static_cast<int>(orders.size()));
        put16(f, 34, instrumentCountField >= 0 ? instrumentCountField : static_cast<int>(instruments.size()));
        put16(f, 36, sampleCountField >= 0 ? sampleCountField : static_cast<int>(samples.size()));
        put16(f, 38, patternCountField >= 0 ? patternCountField : static_cast<int>(patterns.size()));
        put16(f, 40, 0x214);
        put16(f, 42, compatibleWith);
        put16(f, 44, flags);
        f[48] = globalVolume;
        f[49] = mixVolume;
        f[50] = speed;
        f[51] = tempo;
        f[52] = 128;
        std::memcpy(f.data() + 64, channelPan, 64);
        std::memcpy(f.data() + 128, channelVolume, 64);
        f.insert(f.end(), orders.begin(), orders.end());
        const size_t tables = f.size();
        f.resize(f.size() + 4 * (instruments.size() + samples.size() + patterns.size()) + 2, 0);
        for (const auto &c : chunks) {
            f.insert(f.end(), c.begin(), c.end());
        }
        if (!message.empty()) {
            put16(f, 54, messageLengthField >= 0 ? messageLengthField : static_cast<int>(message.size()));
            put32(f, 56, static_cast<uint32_t>(f.size()));
            f.insert(f.end(), message.begin(), message.end());
        }
        size_t slot = tables;
        for (const ItInstrument &ins : instruments) {
            put32(f, slot, static_cast<uint32_t>(f.size()));
            slot += 4;
            appendInstrument(f, ins);
        }
        std::vector<size_t> sampleHeaders;
        for (const ItSample &s : samples) {
            put32(f, slot, static_cast<uint32_t>(f.size()));
            slot += 4;
            sampleHeaders.push_back(f.size());
            appendSampleHeader(f, s);
        }
        for (size_t p = 0; p < patterns.size(); ++p, slot += 4) {
            if (patternRows[p] < 0) {
                continue; // offset 0
            }
            put32(f, slot, static_cast<uint32_t>(f.size()));
            std::vector<uint8_t> head(8, 0);
            put16(head, 0, static_cast<int>(patterns[p].size()));
            put16(head, 2, patternRows[p]);
            f.insert(f.end(), head.begin(), head.end());
            f.insert(f.end(), patterns[p].begin(), patterns[p].end());
        }
        for (size_t i = 0; i < samples.size(); ++i) {
            put32(f, sampleHeaders[i] + 72, static_cast<uint32_t>(f.size()));
            const std::vector<uint8_t> data = sampleData(samples[i]);
            f.insert(f.end(), data.begin(), data.end());
        }
        return f;
    }

    // A sample's stored bytes: channel after channel.
    [[nodiscard]] static std::vector<uint8_t> sampleData(const ItSample &s)
    {
        const size_t channels = s.stereo ? 2 : 1;
        const size_t frames = s.data.size() / channels;
        std::vector<uint8_t> out;
        for (size_t c = 0; c < channels; ++c) {
            std::vector<int> points;
            for (size_t i = 0; i < frames; ++i) {
                points.push_back(s.data[i * channels + c]);
            }
            if (s.compressed) {
                ItCompressor compressor(s.sixteen, s.doubleDelta);
                const std::vector<uint8_t> packed = compressor.compress(points);
                out.insert(out.end(), packed.begin(), packed.end());
                continue;
            }
            for (int point : points) {
                if (s.sixteen) {
                    const int stored = s.signedData ? point : point ^ 0x8000;
                    out.push_back(static_cast<uint8_t>(stored));
                    out.push_back(static_cast<uint8_t>(stored >> 8));
                } else {
                    out.push_back(static_cast<uint8_t>(s.signedData ? point : point ^ 0x80));
                }
            }
        }
        return out;
    }

    static void put16(std::vector<uint8_t> &f, size_t at, int value)
    {
        f[at] = static_cast<uint8_t>(value);
        f[at + 1] = static_cast<uint8_t>(value >> 8);
    }
    static void put32(std::vector<uint8_t> &f, size_t at, uint32_t value)
    {
        for (int i = 0; i < 4; ++i) {
            f[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
        }
    }

private:
    static void appendEnvelope(std::vector<uint8_t> &f, const ItEnvelope &e)
    {
        std::vector<uint8_t> b(82, 0);
        b[0] = e.flags;
        b[1] = static_cast<uint8_t>(e.countField >= 0 ? e.countField : static_cast<int>(e.nodes.size()));
        b[2] = e.loopBegin;
        b[3] = e.loopEnd;
        b[4] = e.sustainBegin;
        b[5] = e.sustainEnd;
        for (size_t i = 0; i < e.nodes.size() && i < 25; ++i) {
            b[6 + 3 * i] = static_cast<uint8_t>(e.nodes[i].second);
            put16(b, 7 + 3 * i, e.nodes[i].first);
        }
        f.insert(f.end(), b.begin(), b.end());
    }

    static void appendInstrument(std::vector<uint8_t> &f, const ItInstrument &ins)
    {
        std::vector<uint8_t> b(304, 0);
        std::memcpy(b.data(), "IMPI", 4);
        b[17] = ins.newNoteAction;
        b[18] = ins.duplicateCheckType;
        b[19] = ins.duplicateCheckAction;
        put16(b, 20, ins.fadeout);
        b[22] = ins.pitchPanSeparation;
        b[23] = ins.pitchPanCentre;
        b[24] = ins.globalVolume;
        b[25] = ins.pan;
        std::memcpy(b.data() + 32, ins.name.data(), std::min<size_t>(ins.name.size(), 25));
        b[58] = ins.cutoff;
        b[59] = ins.resonance;
        for (size_t n = 0; n < 120; ++n) {
            const bool given = n < ins.noteTable.size();
            b[64 + 2 * n] = given ? ins.noteTable[n].first : static_cast<uint8_t>(n);
            b[65 + 2 * n] = given ? ins.noteTable[n].second : 1;
        }
        f.insert(f.end(), b.begin(), b.end());
        appendEnvelope(f, ins.volume);
        appendEnvelope(f, ins.pan_);
        appendEnvelope(f, ins.pitch);
        f.resize(f.size() + 4, 0); // to 554 bytes as the tracker writes them
    }

    static void appendSampleHeader(std::vector<uint8_t> &f, const ItSample &s)
    {
        std::vector<uint8_t> b(80, 0);
        std::memcpy(b.data(), "IMPS", 4);
        b[17] = s.globalVolume;
        b[18] = static_cast<uint8_t>(1 | (s.sixteen ? 2 : 0) | (s.stereo ? 4 : 0) | (s.compressed ? 8 : 0) |
                                     (s.loop ? 16 : 0) | (s.pingpong ? 64 : 0));
        b[19] = s.volume;
        std::memcpy(b.data() + 20, s.name.data(), std::min<size_t>(s.name.size(), 25));
        b[46] = static_cast<uint8_t>((s.signedData ? 1 : 0) | (s.doubleDelta ? 4 : 0));
        b[47] = s.pan;
        const size_t frames = s.data.size() / (s.stereo ? 2 : 1);
        put32(b, 48, s.lengthField >= 0 ? static_cast<uint32_t>(s.lengthField) : static_cast<uint32_t>(frames));
        put32(b, 52, s.loopBegin);
        put32(b, 56, s.loopEnd);
        put32(b, 60, s.c5);
        f.insert(f.end(), b.begin(), b.end());
    }
};

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_IT_WRITER_H
