// The voice benchmark's job as a plain fused loop, outside the engine: each
// voice is a 16-bit mono sample looped whole, read at a 32.32 position with
// linear interpolation and added into interleaved stereo float through its
// gains, ramping from its previous gains over the first RAMP frames. Built
// once per instruction set like the engine's kernels (the AVX2 and AVX-512
// files alone carry their target options), with the lanes written out
// plainly: one load (or gather) of each lane's sample pair.
#ifndef AURA_BENCH_REFERENCE_MIX_H
#define AURA_BENCH_REFERENCE_MIX_H

#include <cstdint>

namespace bench {

struct ReferenceVoice {
    const int16_t *samples = nullptr; // frames + 1: the first frame again after the last
    uint32_t frames = 0;
    uint64_t position = 0;            // 32.32
    uint64_t step = 0;                // 32.32
    float left = 0.0f;                // gains now
    float right = 0.0f;
    float fromLeft = 0.0f;            // gains the ramp starts from
    float fromRight = 0.0f;
};

inline constexpr unsigned int RAMP = 64;

// Adds `frames` frames of every voice into out (2 x frames floats).
void referenceMixBaseline(float *out, unsigned int frames, ReferenceVoice *voices, int count);
void referenceMixAVX2(float *out, unsigned int frames, ReferenceVoice *voices, int count);
void referenceMixAVX512(float *out, unsigned int frames, ReferenceVoice *voices, int count);

} // namespace bench

#endif // AURA_BENCH_REFERENCE_MIX_H
