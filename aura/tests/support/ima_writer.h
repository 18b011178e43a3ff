// An IMA ADPCM encoder for tests: blocks in the WAV layout (per channel a
// header of first sample and step index, then 4-byte units of codes, low
// nibble first, channel after channel), and WAV files around them.
// Header-only; the step tables are the engine's (sox checks the encoder).
#ifndef AURA_TESTS_SUPPORT_IMA_WRITER_H
#define AURA_TESTS_SUPPORT_IMA_WRITER_H

#include "codec/wav/aura_codec_wav.h"
#include "wav.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace auratest {

namespace ima_detail {

struct Channel {
    int predictor = 0;
    int index = 0;
    uint8_t encode(int sample)
    {
        const int step = AURA::IMAAdpcm_StepTab[index];
        int diff = sample - predictor;
        uint8_t code = 0;
        if (diff < 0) {
            code = 8;
            diff = -diff;
        }
        int delta = step >> 3;
        if (diff >= step) {
            code |= 4;
            diff -= step;
            delta += step;
        }
        if (diff >= step >> 1) {
            code |= 2;
            diff -= step >> 1;
            delta += step >> 1;
        }
        if (diff >= step >> 2) {
            code |= 1;
            delta += step >> 2;
        }
        predictor = std::clamp(predictor + ((code & 8) ? -delta : delta), -32768, 32767);
        index = std::clamp(index + AURA::IMAAdpcm_IndexTab[code], 0, 88);
        return code;
    }
};
} // namespace ima_detail

// Samples one block of `blockalign` bytes holds per channel.
inline unsigned imaSamplesPerBlock(unsigned blockalign, unsigned channels)
{
    return (blockalign - 4 * channels) * 8 / (4 * channels) + 1;
}

// Encodes interleaved 16-bit frames into blocks of `blockalign` bytes, each
// carrying `perBlock` samples per channel (at most what the block holds; the
// codes after them are 0). The last block is padded with silence.
inline Bytes imaEncode(const std::vector<int16_t> &frames, unsigned channels, unsigned blockalign, unsigned perBlock)
{
    Bytes out;
    std::vector<ima_detail::Channel> state(channels);
    const size_t total = frames.size() / channels;
    const unsigned units = (blockalign - 4 * channels) / (4 * channels);
    for (size_t start = 0; start < total; start += perBlock) {
        const size_t base = out.size();
        out.resize(base + blockalign, 0);
        auto sample = [&](size_t i, unsigned c) {
            const size_t f = start + i;
            return f < total ? frames[f * channels + c] : int16_t{0};
        };
        for (unsigned c = 0; c < channels; ++c) {
            ima_detail::Channel &ch = state[c];
            ch.predictor = sample(0, c);
            const auto first = static_cast<uint16_t>(static_cast<int16_t>(ch.predictor));
            out[base + 4 * c] = static_cast<uint8_t>(first);
            out[base + 4 * c + 1] = static_cast<uint8_t>(first >> 8);
            out[base + 4 * c + 2] = static_cast<uint8_t>(ch.index);
            out[base + 4 * c + 3] = 0;
            for (unsigned i = 1; i < perBlock && (i - 1) / 8 < units; ++i) {
                const uint8_t code = ch.encode(sample(i, c));
                const unsigned k = i - 1;
                const size_t at = base + 4 * channels + (k / 8) * 4 * channels + 4 * c + (k % 8) / 2;
                out[at] |= static_cast<uint8_t>((k % 2) ? code << 4 : code);
            }
        }
    }
    return out;
}

// A WAV file of IMA ADPCM blocks.
inline Bytes imaWav(const Bytes &blocks, unsigned channels, unsigned rate, unsigned blockalign, unsigned perBlock)
{
    Bytes fmt;
    put16(fmt, 0x11);
    put16(fmt, channels);
    put32(fmt, rate);
    put32(fmt, rate * blockalign / perBlock);
    put16(fmt, blockalign);
    put16(fmt, 4);
    put16(fmt, 2);
    put16(fmt, perBlock);
    return riff({chunk("fmt ", fmt), chunk("data", blocks)});
}

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_IMA_WRITER_H
