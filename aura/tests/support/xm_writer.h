// Builds XM files in memory for the tracker tests: header fields, packed
// patterns (or raw pattern bytes), instruments with envelopes and
// delta-coded samples (or sample bytes stored as given, such as an Ogg
// Vorbis stream behind its 4-byte prefix). Header-only.
#ifndef AURA_TESTS_SUPPORT_XM_WRITER_H
#define AURA_TESTS_SUPPORT_XM_WRITER_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace auratest {

struct XmSample {
    std::string name = "sample";
    std::vector<int> data; // signed points, frames x channels interleaved
    std::vector<uint8_t> raw; // stored as they stand instead of `data`
    bool sixteen = false;
    bool stereo = false;
    uint8_t loopType = 0; // 1 forward, 2 ping-pong
    uint32_t loopStart = 0; // frames
    uint32_t loopLength = 0; // frames
    uint8_t volume = 64;
    int8_t finetune = 0;
    uint8_t pan = 128;
    int8_t relativeNote = 0;
    int64_t lengthField = -1; // stored instead of the data's byte count when set
};

struct XmEnvelope {
    std::vector<std::pair<int, int>> points; // (tick, value)
    uint8_t sustain = 0;
    uint8_t loopStart = 0;
    uint8_t loopEnd = 0;
    uint8_t type = 0; // 1 on, 2 sustain, 4 loop
    int countField = -1; // stored instead of the point count when set
};

struct XmInstrument {
    std::vector<XmSample> samples;
    uint8_t keymap[96] = {};
    XmEnvelope volume;
    XmEnvelope pan;
    uint8_t vibratoType = 0;
    uint8_t vibratoSweep = 0;
    uint8_t vibratoDepth = 0;
    uint8_t vibratoRate = 0;
    uint16_t fadeout = 0;
    int sampleCountField = -1;
};

struct XmCell {
    uint8_t note = 0; // 1 = C-0, 97 key-off
    uint8_t instrument = 0;
    uint8_t volume = 0;
    uint8_t effect = 0;
    uint8_t param = 0;
};

// The XM note of octave and semitone (C-4 is 49).
constexpr uint8_t xmNote(int octave, int semitone)
{
    return static_cast<uint8_t>(12 * octave + semitone + 1);
}

class XmWriter {
public:
    explicit XmWriter(int channels = 4)
        : mChannels(channels)
    {
    }

    XmWriter &orders(std::vector<uint8_t> list)
    {
        mOrders = std::move(list);
        return *this;
    }
    XmWriter &instrument(const XmInstrument &instrument)
    {
        mInstruments.push_back(instrument);
        return *this;
    }
    XmWriter &cell(int pattern, int row, int channel, XmCell c)
    {
        rows(pattern, std::max(rowsOf(pattern), 64));
        mCells[pattern][{row, channel}] = c;
        return *this;
    }
    XmWriter &rows(int pattern, int count)
    {
        if (pattern >= static_cast<int>(mRows.size())) {
            mRows.resize(static_cast<size_t>(pattern) + 1, 64);
        }
        mRows[static_cast<size_t>(pattern)] = count;
        return *this;
    }
    // Pattern bytes stored as given, with the packed size of their length.
    XmWriter &rawPattern(int pattern, int rowcount, std::vector<uint8_t> bytes)
    {
        rows(pattern, rowcount);
        mRaw[pattern] = std::move(bytes);
        return *this;
    }
    XmWriter &amiga()
    {
        mFlags = 0;
        return *this;
    }
    XmWriter &speed(int ticks)
    {
        mSpeed = ticks;
        return *this;
    }
    XmWriter &restart(int order)
    {
        mRestart = order;
        return *this;
    }
    // Header fields stored instead of the real ones; -1 keeps the real one.
    XmWriter &fields(int songlength, int channels, int patterns, int instruments)
    {
        mFieldSongLength = songlength;
        mFieldChannels = channels;
        mFieldPatterns = patterns;
        mFieldInstruments = instruments;
        return *this;
    }
    XmWriter &marker(uint8_t value)
    {
        mMarker = value;
        return *this;
    }

    [[nodiscard]] std::vector<uint8_t> bytes() const
    {
        std::vector<uint8_t> out;
        append(out, "Extended Module: ", 17);
        append(out, "aura xm song", 12);
        out.resize(37, 0);
        out.push_back(mMarker);
        append(out, "aura tests", 10);
        out.resize(58, 0);
        put16(out, 0x0104);
        put32(out, 276);
        const int patterns = static_cast<int>(mRows.size());
        put16(out, static_cast<unsigned>(mFieldSongLength >= 0 ? mFieldSongLength : static_cast<int>(mOrders.size())));
        put16(out, static_cast<unsigned>(mRestart));
        put16(out, static_cast<unsigned>(mFieldChannels >= 0 ? mFieldChannels : mChannels));
        put16(out, static_cast<unsigned>(mFieldPatterns >= 0 ? mFieldPatterns : patterns));
        put16(out, static_cast<unsigned>(mFieldInstruments >= 0 ? mFieldInstruments
                                                                : static_cast<int>(mInstruments.size())));
        put16(out, mFlags);
        put16(out, static_cast<unsigned>(mSpeed));
        put16(out, 125);
        std::vector<uint8_t> orders = mOrders;
        orders.resize(256, 0);
        out.insert(out.end(), orders.begin(), orders.end());
        for (int p = 0; p < patterns; ++p) {
            const std::vector<uint8_t> data = packed(p);
            put32(out, 9);
            out.push_back(0);
            put16(out, static_cast<unsigned>(mRows[static_cast<size_t>(p)]));
            put16(out, static_cast<unsigned>(data.size()));
            out.insert(out.end(), data.begin(), data.end());
        }
        for (const XmInstrument &in : mInstruments) {
            writeInstrument(out, in);
        }
        return out;
    }

    // A sample's stored bytes: delta-coded points, channel blocks in turn.
    static std::vector<uint8_t> sampleBytes(const XmSample &s)
    {
        if (!s.raw.empty()) {
            return s.raw;
        }
        std::vector<uint8_t> out;
        const size_t channels = s.stereo ? 2 : 1;
        const size_t frames = s.data.size() / channels;
        for (size_t c = 0; c < channels; ++c) {
            int previous = 0;
            for (size_t n = 0; n < frames; ++n) {
                const int v = s.data[n * channels + c];
                const int delta = v - previous;
                previous = v;
                if (s.sixteen) {
                    out.push_back(static_cast<uint8_t>(delta));
                    out.push_back(static_cast<uint8_t>(delta >> 8));
                } else {
                    out.push_back(static_cast<uint8_t>(delta));
                }
            }
        }
        return out;
    }

private:
    [[nodiscard]] int rowsOf(int pattern) const
    {
        return pattern < static_cast<int>(mRows.size()) ? mRows[static_cast<size_t>(pattern)] : 0;
    }

    [[nodiscard]] std::vector<uint8_t> packed(int pattern) const
    {
        if (const auto raw = mRaw.find(pattern); raw != mRaw.end()) {
            return raw->second;
        }
        std::vector<uint8_t> out;
        const auto cells = mCells.find(pattern);
        if (cells == mCells.end()) {
            return out; // an empty pattern stores no data
        }
        for (int row = 0; row < rowsOf(pattern); ++row) {
            for (int channel = 0; channel < mChannels; ++channel) {
                const auto it = cells->second.find({row, channel});
                if (it == cells->second.end()) {
                    out.push_back(0x80);
                    continue;
                }
                const XmCell &c = it->second;
                const uint8_t fields[5] = {c.note, c.instrument, c.volume, c.effect, c.param};
                uint8_t mask = 0x80;
                for (int f = 0; f < 5; ++f) {
                    mask |= fields[f] ? static_cast<uint8_t>(1 << f) : 0;
                }
                out.push_back(mask);
                for (int f = 0; f < 5; ++f) {
                    if (fields[f]) {
                        out.push_back(fields[f]);
                    }
                }
            }
        }
        return out;
    }

    static void writeEnvelope(std::vector<uint8_t> &out, const XmEnvelope &e)
    {
        for (size_t i = 0; i < 12; ++i) {
            const auto point = i < e.points.size() ? e.points[i] : std::pair<int, int>{0, 0};
            put16(out, static_cast<unsigned>(point.first));
            put16(out, static_cast<unsigned>(point.second));
        }
    }

    static void writeInstrument(std::vector<uint8_t> &out, const XmInstrument &in)
    {
        const size_t count = in.sampleCountField >= 0 ? static_cast<size_t>(in.sampleCountField) : in.samples.size();
        if (count == 0) {
            put32(out, 29);
            append(out, "empty", 5);
            out.resize(out.size() + 17, 0);
            out.push_back(0);
            put16(out, 0);
            return;
        }
        const size_t start = out.size();
        put32(out, 263);
        append(out, "instrument", 10);
        out.resize(start + 26, 0);
        out.push_back(0);
        put16(out, static_cast<unsigned>(count));
        put32(out, 40);
        out.insert(out.end(), in.keymap, in.keymap + 96);
        writeEnvelope(out, in.volume);
        writeEnvelope(out, in.pan);
        const auto countOf = [](const XmEnvelope &e) {
            return static_cast<uint8_t>(e.countField >= 0 ? e.countField : static_cast<int>(e.points.size()));
        };
        out.push_back(countOf(in.volume));
        out.push_back(countOf(in.pan));
        for (const XmEnvelope *e : {&in.volume, &in.pan}) {
            out.push_back(e->sustain);
            out.push_back(e->loopStart);
            out.push_back(e->loopEnd);
        }
        out.push_back(in.volume.type);
        out.push_back(in.pan.type);
        out.push_back(in.vibratoType);
        out.push_back(in.vibratoSweep);
        out.push_back(in.vibratoDepth);
        out.push_back(in.vibratoRate);
        put16(out, in.fadeout);
        out.resize(start + 263, 0);
        for (const XmSample &s : in.samples) {
            const size_t frameBytes = (s.sixteen ? 2u : 1u) * (s.stereo ? 2u : 1u);
            put32(out, static_cast<uint32_t>(s.lengthField >= 0 ? s.lengthField
                                                                : static_cast<int64_t>(sampleBytes(s).size())));
            put32(out, static_cast<uint32_t>(s.loopStart * frameBytes));
            put32(out, static_cast<uint32_t>(s.loopLength * frameBytes));
            out.push_back(s.volume);
            out.push_back(static_cast<uint8_t>(s.finetune));
            out.push_back(static_cast<uint8_t>(s.loopType | (s.sixteen ? 0x10 : 0) | (s.stereo ? 0x20 : 0)));
            out.push_back(s.pan);
            out.push_back(static_cast<uint8_t>(s.relativeNote));
            out.push_back(0);
            const size_t name = out.size();
            append(out, s.name.data(), std::min<size_t>(s.name.size(), 22));
            out.resize(name + 22, 0);
        }
        for (const XmSample &s : in.samples) {
            const std::vector<uint8_t> data = sampleBytes(s);
            out.insert(out.end(), data.begin(), data.end());
        }
    }

    static void append(std::vector<uint8_t> &out, const char *text, size_t length)
    {
        for (size_t i = 0; i < length; ++i) {
            out.push_back(static_cast<uint8_t>(text[i]));
        }
    }
    static void put16(std::vector<uint8_t> &out, unsigned v)
    {
        out.push_back(static_cast<uint8_t>(v));
        out.push_back(static_cast<uint8_t>(v >> 8));
    }
    static void put32(std::vector<uint8_t> &out, uint32_t v)
    {
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<uint8_t>(v >> (8 * i)));
        }
    }

    int mChannels;
    std::vector<uint8_t> mOrders{0};
    std::vector<XmInstrument> mInstruments;
    std::vector<int> mRows{64};
    std::map<int, std::map<std::pair<int, int>, XmCell>> mCells;
    std::map<int, std::vector<uint8_t>> mRaw;
    uint16_t mFlags = 1;
    int mSpeed = 6;
    int mRestart = 0;
    int mFieldSongLength = -1;
    int mFieldChannels = -1;
    int mFieldPatterns = -1;
    int mFieldInstruments = -1;
    uint8_t mMarker = 0x1A;
};

// One instrument of one looping sine sample on every note.
inline XmInstrument xmSine(unsigned frames = 64, int amplitude = 100)
{
    XmInstrument in;
    XmSample s;
    for (unsigned i = 0; i < frames; ++i) {
        s.data.push_back(static_cast<int>(std::lround(amplitude * std::sin(2.0 * 3.14159265358979 * i / frames))));
    }
    s.loopType = 1;
    s.loopLength = frames;
    in.samples.push_back(s);
    return in;
}

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_XM_WRITER_H
