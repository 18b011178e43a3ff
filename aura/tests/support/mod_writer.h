// Builds MOD files in memory for the tracker tests: a tag, samples, an order
// list and cells set one by one. Header-only.
#ifndef AURA_TESTS_SUPPORT_MOD_WRITER_H
#define AURA_TESTS_SUPPORT_MOD_WRITER_H

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace auratest {

struct ModSample {
    std::string name;
    std::vector<int8_t> data; // even length
    uint8_t finetune = 0;
    uint8_t volume = 64;
    unsigned int loopStartWords = 0;
    unsigned int loopLengthWords = 1;
};

struct ModCell {
    unsigned int period = 0; // Amiga period, 0 none
    unsigned int sample = 0; // 1-based, 0 none
    unsigned int effect = 0;
    unsigned int param = 0;
};

class ModWriter {
public:
    explicit ModWriter(int channels = 4, const char *tag = "M.K.", int patterns = 1)
        : mChannels(channels)
        , mPatterns(patterns, std::vector<ModCell>(64 * static_cast<size_t>(channels)))
    {
        std::memcpy(mTag, tag, 4);
        mOrders.push_back(0);
    }

    ModWriter &sample(int index, const ModSample &s)
    {
        mSamples[index - 1] = s;
        return *this;
    }
    ModWriter &orders(std::vector<uint8_t> list)
    {
        mOrders = std::move(list);
        return *this;
    }
    // The song-length byte as stored (independent of the order list).
    ModWriter &songLength(int length)
    {
        mSongLength = length;
        return *this;
    }
    ModWriter &orderEntry(int index, uint8_t pattern)
    {
        mExtraOrders.emplace_back(index, pattern);
        return *this;
    }
    ModWriter &cell(int pattern, int row, int channel, ModCell cell)
    {
        if (pattern >= static_cast<int>(mPatterns.size())) {
            mPatterns.resize(static_cast<size_t>(pattern) + 1,
                             std::vector<ModCell>(64 * static_cast<size_t>(mChannels)));
        }
        mPatterns[static_cast<size_t>(pattern)][static_cast<size_t>(row * mChannels + channel)] = cell;
        return *this;
    }
    // Patterns the file holds (at least the highest order entry + 1).
    ModWriter &patterns(int count)
    {
        mPatterns.resize(static_cast<size_t>(count), std::vector<ModCell>(64 * static_cast<size_t>(mChannels)));
        return *this;
    }

    [[nodiscard]] std::vector<uint8_t> bytes() const
    {
        std::vector<uint8_t> out(1084, 0);
        std::memcpy(out.data(), "aura test song", 14);
        for (int i = 0; i < 31; ++i) {
            uint8_t *h = out.data() + 20 + i * 30;
            const ModSample &s = mSamples[i];
            std::memcpy(h, s.name.data(), std::min<size_t>(s.name.size(), 22));
            put16(h + 22, static_cast<unsigned int>(s.data.size() / 2));
            h[24] = s.finetune;
            h[25] = s.volume;
            put16(h + 26, s.loopStartWords);
            put16(h + 28, s.loopLengthWords);
        }
        out[950] = static_cast<uint8_t>(mSongLength >= 0 ? mSongLength : static_cast<int>(mOrders.size()));
        out[951] = 127;
        for (size_t i = 0; i < mOrders.size() && i < 128; ++i) {
            out[952 + i] = mOrders[i];
        }
        for (const auto &[index, pattern] : mExtraOrders) {
            out[952 + static_cast<size_t>(index)] = pattern;
        }
        std::memcpy(out.data() + 1080, mTag, 4);
        int count = 0;
        for (int i = 0; i < 128; ++i) {
            count = std::max(count, out[952 + static_cast<size_t>(i)] + 1);
        }
        for (int p = 0; p < count; ++p) {
            for (int c = 0; c < 64 * mChannels; ++c) {
                ModCell cell;
                if (p < static_cast<int>(mPatterns.size())) {
                    cell = mPatterns[static_cast<size_t>(p)][static_cast<size_t>(c)];
                }
                out.push_back(static_cast<uint8_t>((cell.sample & 0xF0) | ((cell.period >> 8) & 0x0F)));
                out.push_back(static_cast<uint8_t>(cell.period & 0xFF));
                out.push_back(static_cast<uint8_t>(((cell.sample & 0x0F) << 4) | (cell.effect & 0x0F)));
                out.push_back(static_cast<uint8_t>(cell.param));
            }
        }
        for (const ModSample &s : mSamples) {
            for (int8_t v : s.data) {
                out.push_back(static_cast<uint8_t>(v));
            }
        }
        return out;
    }

private:
    static void put16(uint8_t *p, unsigned int v)
    {
        p[0] = static_cast<uint8_t>(v >> 8);
        p[1] = static_cast<uint8_t>(v);
    }

    int mChannels;
    char mTag[4] = {};
    ModSample mSamples[31];
    std::vector<uint8_t> mOrders;
    std::vector<std::pair<int, uint8_t>> mExtraOrders;
    int mSongLength = -1;
    std::vector<std::vector<ModCell>> mPatterns;
};

// A looping sine of `length` samples, `cycles` periods long, at `amplitude`.
inline ModSample sineSample(unsigned int length = 64, unsigned int cycles = 1, int amplitude = 100, bool loop = true)
{
    ModSample s;
    s.name = "sine";
    for (unsigned int i = 0; i < length; ++i) {
        s.data.push_back(
            static_cast<int8_t>(std::lround(amplitude * std::sin(2.0 * 3.14159265358979 * cycles * i / length))));
    }
    if (loop) {
        s.loopStartWords = 0;
        s.loopLengthWords = length / 2;
    }
    return s;
}

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_MOD_WRITER_H
