// A connection's steady mix in AVX2: a mono or stereo block added into an
// interleaved stereo block through the connection's levels. This file alone
// is built with -mavx2 and without contraction: every lane makes the same
// products and sums, in the same order, as the scalar loops, so the results
// are equal bit for bit whichever runs.
#include "dsp/units/aura_dsp_mixrun.h"

#include <immintrin.h>

namespace AURA {

std::size_t mixMonoToStereoAVX2(float *out, const float *in, std::size_t frames, float left, float right)
{
    const __m256 l = _mm256_set1_ps(left);
    const __m256 r = _mm256_set1_ps(right);
    std::size_t f = 0;
    for (; f + 8 <= frames; f += 8) {
        const __m256 s = _mm256_loadu_ps(in + f);
        const __m256 a = _mm256_mul_ps(s, l);
        const __m256 b = _mm256_mul_ps(s, r);
        // Within each 128-bit half: frames 0, 1 (low) and 2, 3 (high) of it.
        const __m256 lo = _mm256_unpacklo_ps(a, b);
        const __m256 hi = _mm256_unpackhi_ps(a, b);
        float *d = out + 2 * f;
        _mm256_storeu_ps(d, _mm256_add_ps(_mm256_loadu_ps(d), _mm256_permute2f128_ps(lo, hi, 0x20)));
        _mm256_storeu_ps(d + 8, _mm256_add_ps(_mm256_loadu_ps(d + 8), _mm256_permute2f128_ps(lo, hi, 0x31)));
    }
    return f;
}

std::size_t mixStereoToStereoAVX2(float *out, const float *in, std::size_t frames, const float levels[2][2])
{
    // Lane pairs (left, right) of a frame: left = a x ll + b x lr and right
    // = b x rr + a x rl, the scalar loop's right sum with its terms swapped,
    // which gives the same value.
    const __m256 same = _mm256_setr_ps(levels[0][0], levels[1][1], levels[0][0], levels[1][1], levels[0][0],
                                       levels[1][1], levels[0][0], levels[1][1]);
    const __m256 cross = _mm256_setr_ps(levels[0][1], levels[1][0], levels[0][1], levels[1][0], levels[0][1],
                                        levels[1][0], levels[0][1], levels[1][0]);
    std::size_t f = 0;
    for (; f + 4 <= frames; f += 4) {
        const __m256 v = _mm256_loadu_ps(in + 2 * f);
        const __m256 swapped = _mm256_permute_ps(v, 0xB1);
        const __m256 sum = _mm256_add_ps(_mm256_mul_ps(v, same), _mm256_mul_ps(swapped, cross));
        float *d = out + 2 * f;
        _mm256_storeu_ps(d, _mm256_add_ps(_mm256_loadu_ps(d), sum));
    }
    return f;
}

} // namespace AURA
