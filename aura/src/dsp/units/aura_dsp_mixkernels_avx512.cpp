// The fused voice kernels' vector loops for AVX-512F (this file alone is built with -mavx512f).
#define AURA_MIX_ENTRY mixRunAVX512
#define AURA_MIX_LANES 16
#include "dsp/units/aura_dsp_mixkernels_impl.h"

#include <immintrin.h>

namespace AURA {

std::size_t pcm16ToFloatAVX512(float *out, const uint8_t *src, std::size_t samples)
{
    const __m512 scale = _mm512_set1_ps(1.0f / 32768.0f);
    std::size_t i = 0;
    for (; i + 32 <= samples; i += 32) {
        const __m512i lo = _mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + 2 * i)));
        const __m512i hi =
            _mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + 2 * i + 32)));
        _mm512_storeu_ps(out + i, _mm512_mul_ps(_mm512_cvtepi32_ps(lo), scale));
        _mm512_storeu_ps(out + i + 16, _mm512_mul_ps(_mm512_cvtepi32_ps(hi), scale));
    }
    return i;
}

std::size_t floatToPcm16AVX512(uint8_t *dest, const uint8_t *src, std::size_t samples, float scale)
{
    const __m512 vscale = _mm512_set1_ps(scale);
    const __m512 lo = _mm512_set1_ps(-32768.0f);
    const __m512 hi = _mm512_set1_ps(32767.0f);
    // NaN lanes become 0, the rest is clipped, converted in the current
    // rounding mode and narrowed (the clip leaves nothing to saturate).
    const auto convert = [&](const float *from) {
        __m512 v = _mm512_mul_ps(_mm512_loadu_ps(from), vscale);
        v = _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(v, v, _CMP_ORD_Q), v);
        v = _mm512_min_ps(_mm512_max_ps(v, lo), hi);
        return _mm512_cvtsepi32_epi16(_mm512_cvtps_epi32(v));
    };
    std::size_t i = 0;
    for (; i + 32 <= samples; i += 32) {
        const auto *from = reinterpret_cast<const float *>(src + 4 * i);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dest + 2 * i), convert(from));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dest + 2 * i + 32), convert(from + 16));
    }
    return i;
}

} // namespace AURA
