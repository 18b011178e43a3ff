// A connection's steady mix of a mono block into interleaved stereo in
// AVX-512F. Built, as its AVX2 twin, without contraction: each lane's
// product and sum are the scalar loop's, bit for bit.
#include "dsp/units/aura_dsp_mixrun.h"

#include <immintrin.h>

namespace AURA {

std::size_t mixMonoToStereoAVX512(float *out, const float *in, std::size_t frames, float left, float right)
{
    const __m512 l = _mm512_set1_ps(left);
    const __m512 r = _mm512_set1_ps(right);
    // The unpacks pair frames within each 128-bit block; these put the
    // blocks back in frame order across the two results.
    const __m512i first = _mm512_setr_epi32(0, 1, 2, 3, 16, 17, 18, 19, 4, 5, 6, 7, 20, 21, 22, 23);
    const __m512i second = _mm512_setr_epi32(8, 9, 10, 11, 24, 25, 26, 27, 12, 13, 14, 15, 28, 29, 30, 31);
    std::size_t f = 0;
    for (; f + 16 <= frames; f += 16) {
        const __m512 s = _mm512_loadu_ps(in + f);
        const __m512 a = _mm512_mul_ps(s, l);
        const __m512 b = _mm512_mul_ps(s, r);
        const __m512 lo = _mm512_unpacklo_ps(a, b);
        const __m512 hi = _mm512_unpackhi_ps(a, b);
        float *d = out + 2 * f;
        _mm512_storeu_ps(d, _mm512_add_ps(_mm512_loadu_ps(d), _mm512_permutex2var_ps(lo, first, hi)));
        _mm512_storeu_ps(d + 16, _mm512_add_ps(_mm512_loadu_ps(d + 16), _mm512_permutex2var_ps(lo, second, hi)));
    }
    return f;
}

} // namespace AURA
