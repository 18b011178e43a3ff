// One sample of each PCM format as a float, at the format's full scale: what
// the resampling kernels read.
#ifndef AURA_DSP_PCM_H
#define AURA_DSP_PCM_H

#include <cstdint>
#include <cstring>

namespace AURA::pcm {

constexpr float SCALE_8 = 1.0f / 128.0f;
constexpr float SCALE_16 = 1.0f / 32768.0f;
constexpr float SCALE_24 = 1.0f / 8388608.0f;
constexpr float SCALE_32 = 1.0f / 2147483648.0f;
constexpr float FRACTION_SCALE = 1.0f / 4294967296.0f;

// One sample of each format as a float.
struct Pcm8 {
    static constexpr int BYTES = 1;
    static float get(const uint8_t *p) { return static_cast<float>(static_cast<int8_t>(p[0])) * SCALE_8; }
};
struct Pcm16 {
    static constexpr int BYTES = 2;
    static float get(const uint8_t *p)
    {
        int16_t v;
        std::memcpy(&v, p, 2);
        return static_cast<float>(v) * SCALE_16;
    }
};
struct Pcm24 {
    static constexpr int BYTES = 3;
    static float get(const uint8_t *p)
    {
        const int32_t v = static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 | static_cast<uint32_t>(p[1]) << 16 |
                                               static_cast<uint32_t>(p[2]) << 24) >>
                          8;
        return static_cast<float>(v) * SCALE_24;
    }
};
struct Pcm32 {
    static constexpr int BYTES = 4;
    static float get(const uint8_t *p)
    {
        int32_t v;
        std::memcpy(&v, p, 4);
        return static_cast<float>(v) * SCALE_32;
    }
};
struct PcmFloat {
    static constexpr int BYTES = 4;
    static float get(const uint8_t *p)
    {
        float v;
        std::memcpy(&v, p, 4);
        return v;
    }
};

} // namespace AURA::pcm

#endif // AURA_DSP_PCM_H
