// Builds S3M files in memory for the tracker tests: channel settings, an
// order list, sample instruments (unsigned 8 or 16-bit, mono or stereo as
// blocks), packed patterns and an optional pan table. Header-only.
#ifndef AURA_TESTS_SUPPORT_S3M_WRITER_H
#define AURA_TESTS_SUPPORT_S3M_WRITER_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace auratest {

struct S3mSample {
    std::string name = "sample";
    uint8_t type = 1; // 1 sample, 2 and up AdLib
    std::vector<int> data; // signed points, frames x channels interleaved
    bool sixteen = false;
    bool stereo = false;
    bool loop = false;
    uint32_t loopStart = 0;
    uint32_t loopEnd = 0;
    uint8_t volume = 64;
    uint16_t middleC = 8363;
    // Stored instead of the data's frame count when set.
    int64_t lengthField = -1;
};

struct S3mCell {
    int note = -1; // stored byte (octave << 4 | semitone, 254 cut); -1 none
    uint8_t instrument = 0;
    int volume = -1; // stored byte; -1 none
    uint8_t effect = 0; // 1 = A
    uint8_t param = 0;
};

// The stored note byte of octave and semitone.
constexpr int s3mNote(int octave, int semitone)
{
    return octave << 4 | semitone;
}

class S3mWriter {
public:
    S3mWriter()
    {
        std::fill(std::begin(mSettings), std::end(mSettings), 255);
        for (int i = 0; i < 4; ++i) {
            mSettings[i] = static_cast<uint8_t>(i % 2 ? 8 + i : i);
        }
    }

    S3mWriter &settings(std::vector<uint8_t> list)
    {
        std::fill(std::begin(mSettings), std::end(mSettings), 255);
        std::copy(list.begin(), list.end(), mSettings);
        return *this;
    }
    S3mWriter &orders(std::vector<uint8_t> list)
    {
        mOrders = std::move(list);
        return *this;
    }
    S3mWriter &sample(const S3mSample &s)
    {
        mSamples.push_back(s);
        return *this;
    }
    S3mWriter &cell(int pattern, int row, int channel, S3mCell c)
    {
        mPatterns = std::max(mPatterns, pattern + 1);
        mCells[{pattern, row, channel}] = c;
        return *this;
    }
    S3mWriter &patterns(int count)
    {
        mPatterns = count;
        return *this;
    }
    S3mWriter &flags(uint16_t value)
    {
        mFlags = value;
        return *this;
    }
    S3mWriter &version(uint16_t value)
    {
        mVersion = value;
        return *this;
    }
    S3mWriter &masterVolume(uint8_t value)
    {
        mMaster = value;
        return *this;
    }
    S3mWriter &speed(uint8_t value)
    {
        mSpeed = value;
        return *this;
    }
    S3mWriter &panTable(std::vector<uint8_t> pans)
    {
        mPans = std::move(pans);
        return *this;
    }
    // Counts stored in the header instead of the real ones.
    S3mWriter &counts(int orders, int instruments, int patterns)
    {
        mCountOverride = {orders, instruments, patterns};
        return *this;
    }

    [[nodiscard]] std::vector<uint8_t> bytes() const
    {
        std::vector<uint8_t> out(96, 0);
        std::memcpy(out.data(), "aura s3m song", 13);
        out[28] = 0x1A;
        out[29] = 16;
        const auto [orderCount, instrumentCount, patternCount] = storedCounts();
        put16(out, 32, static_cast<unsigned>(orderCount));
        put16(out, 34, static_cast<unsigned>(instrumentCount));
        put16(out, 36, static_cast<unsigned>(patternCount));
        put16(out, 38, mFlags);
        put16(out, 40, mVersion);
        put16(out, 42, 2);
        std::memcpy(out.data() + 44, "SCRM", 4);
        out[48] = 64;
        out[49] = mSpeed;
        out[50] = 125;
        out[51] = mMaster;
        out[53] = mPans.empty() ? 0 : 0xFC;
        std::memcpy(out.data() + 64, mSettings, 32);
        for (const uint8_t order : mOrders) {
            out.push_back(order);
        }
        const size_t instrumentTable = out.size();
        out.resize(out.size() + 2 * (mSamples.size() + static_cast<size_t>(mPatterns)));
        if (!mPans.empty()) {
            std::vector<uint8_t> pans = mPans;
            pans.resize(32, 0);
            out.insert(out.end(), pans.begin(), pans.end());
        }
        std::vector<size_t> headers;
        for (size_t i = 0; i < mSamples.size(); ++i) {
            align(out);
            put16(out, instrumentTable + 2 * i, static_cast<unsigned>(out.size() / 16));
            headers.push_back(out.size());
            out.resize(out.size() + 80, 0);
        }
        for (int p = 0; p < mPatterns; ++p) {
            align(out);
            put16(out, instrumentTable + 2 * (mSamples.size() + static_cast<size_t>(p)),
                  static_cast<unsigned>(out.size() / 16));
            const std::vector<uint8_t> packed = pack(p);
            put16v(out, static_cast<unsigned>(packed.size() + 2));
            out.insert(out.end(), packed.begin(), packed.end());
        }
        for (size_t i = 0; i < mSamples.size(); ++i) {
            const S3mSample &s = mSamples[i];
            align(out);
            const size_t data = out.size() / 16;
            uint8_t *h = out.data() + headers[i];
            h[0] = s.type;
            h[13] = static_cast<uint8_t>(data >> 16);
            h[14] = static_cast<uint8_t>(data);
            h[15] = static_cast<uint8_t>(data >> 8);
            const unsigned channels = s.stereo ? 2 : 1;
            const size_t frames = s.data.size() / channels;
            put32(h + 16, s.lengthField >= 0 ? static_cast<uint32_t>(s.lengthField) : static_cast<uint32_t>(frames));
            put32(h + 20, s.loopStart);
            put32(h + 24, s.loopEnd);
            h[28] = s.volume;
            h[31] = static_cast<uint8_t>((s.loop ? 1 : 0) | (s.stereo ? 2 : 0) | (s.sixteen ? 4 : 0));
            h[32] = static_cast<uint8_t>(s.middleC);
            h[33] = static_cast<uint8_t>(s.middleC >> 8);
            std::memcpy(h + 48, s.name.data(), std::min<size_t>(s.name.size(), 28));
            std::memcpy(h + 76, "SCRS", 4);
            for (unsigned c = 0; c < channels; ++c) {
                for (size_t n = 0; n < frames; ++n) {
                    const int v = s.data[n * channels + c];
                    if (s.sixteen) {
                        put16v(out, static_cast<unsigned>(v + 32768) & 0xFFFF);
                    } else {
                        out.push_back(static_cast<uint8_t>(v + 128));
                    }
                }
            }
        }
        return out;
    }

private:
    [[nodiscard]] std::tuple<int, int, int> storedCounts() const
    {
        if (std::get<0>(mCountOverride) >= 0) {
            return mCountOverride;
        }
        return {static_cast<int>(mOrders.size()), static_cast<int>(mSamples.size()), mPatterns};
    }

    [[nodiscard]] std::vector<uint8_t> pack(int pattern) const
    {
        std::vector<uint8_t> out;
        for (int row = 0; row < 64; ++row) {
            for (int channel = 0; channel < 32; ++channel) {
                const auto it = mCells.find({pattern, row, channel});
                if (it == mCells.end()) {
                    continue;
                }
                const S3mCell &c = it->second;
                uint8_t what = static_cast<uint8_t>(channel);
                what |= (c.note >= 0 || c.instrument) ? 0x20 : 0;
                what |= c.volume >= 0 ? 0x40 : 0;
                what |= c.effect ? 0x80 : 0;
                out.push_back(what);
                if (what & 0x20) {
                    out.push_back(static_cast<uint8_t>(c.note >= 0 ? c.note : 255));
                    out.push_back(c.instrument);
                }
                if (what & 0x40) {
                    out.push_back(static_cast<uint8_t>(c.volume));
                }
                if (what & 0x80) {
                    out.push_back(c.effect);
                    out.push_back(c.param);
                }
            }
            out.push_back(0);
        }
        return out;
    }

    static void align(std::vector<uint8_t> &out) { out.resize((out.size() + 15) / 16 * 16, 0); }
    static void put16(std::vector<uint8_t> &out, size_t at, unsigned v)
    {
        out[at] = static_cast<uint8_t>(v);
        out[at + 1] = static_cast<uint8_t>(v >> 8);
    }
    static void put16v(std::vector<uint8_t> &out, unsigned v)
    {
        out.push_back(static_cast<uint8_t>(v));
        out.push_back(static_cast<uint8_t>(v >> 8));
    }
    static void put32(uint8_t *p, uint32_t v)
    {
        for (int i = 0; i < 4; ++i) {
            p[i] = static_cast<uint8_t>(v >> (8 * i));
        }
    }

    uint8_t mSettings[32] = {};
    std::vector<uint8_t> mOrders{0};
    std::vector<S3mSample> mSamples;
    std::map<std::tuple<int, int, int>, S3mCell> mCells;
    int mPatterns = 1;
    uint16_t mFlags = 0;
    uint16_t mVersion = 0x1320;
    uint8_t mMaster = 0xB0;
    uint8_t mSpeed = 6;
    std::vector<uint8_t> mPans;
    std::tuple<int, int, int> mCountOverride{-1, -1, -1};
};

// A looping sine of `frames` frames, one cycle, at `amplitude`.
inline S3mSample s3mSine(unsigned frames = 64, int amplitude = 100, bool sixteen = false)
{
    S3mSample s;
    for (unsigned i = 0; i < frames; ++i) {
        s.data.push_back(static_cast<int>(std::lround(amplitude * std::sin(2.0 * 3.14159265358979 * i / frames))));
    }
    s.sixteen = sixteen;
    s.loop = true;
    s.loopStart = 0;
    s.loopEnd = frames;
    return s;
}

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_S3M_WRITER_H
