// The fused voice kernels' vector loops for AVX2 with FMA (this file alone is built with -mavx2 -mfma).
#define AURA_MIX_ENTRY mixRunAVX2
#define AURA_MIX_LANES 8
#include "dsp/units/aura_dsp_mixkernels_impl.h"

#include <immintrin.h>

namespace AURA {

std::size_t pcm16ToFloatAVX2(float *out, const uint8_t *src, std::size_t samples)
{
    const __m256 scale = _mm256_set1_ps(1.0f / 32768.0f);
    std::size_t i = 0;
    for (; i + 16 <= samples; i += 16) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + 2 * i));
        const __m256i lo = _mm256_cvtepi16_epi32(_mm256_castsi256_si128(v));
        const __m256i hi = _mm256_cvtepi16_epi32(_mm256_extracti128_si256(v, 1));
        _mm256_storeu_ps(out + i, _mm256_mul_ps(_mm256_cvtepi32_ps(lo), scale));
        _mm256_storeu_ps(out + i + 8, _mm256_mul_ps(_mm256_cvtepi32_ps(hi), scale));
    }
    return i;
}

std::size_t floatToPcm16AVX2(uint8_t *dest, const uint8_t *src, std::size_t samples, float scale)
{
    const __m256 vscale = _mm256_set1_ps(scale);
    const __m256 lo = _mm256_set1_ps(-32768.0f);
    const __m256 hi = _mm256_set1_ps(32767.0f);
    const auto clip = [&](__m256 v) {
        v = _mm256_mul_ps(v, vscale);
        v = _mm256_and_ps(v, _mm256_cmp_ps(v, v, _CMP_ORD_Q));
        return _mm256_cvtps_epi32(_mm256_min_ps(_mm256_max_ps(v, lo), hi));
    };
    std::size_t i = 0;
    for (; i + 16 <= samples; i += 16) {
        const __m256i a = clip(_mm256_loadu_ps(reinterpret_cast<const float *>(src + 4 * i)));
        const __m256i b = clip(_mm256_loadu_ps(reinterpret_cast<const float *>(src + 4 * i + 32)));
        // The pack works within 128-bit halves; the permute puts them in order.
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dest + 2 * i), packed);
    }
    return i;
}

} // namespace AURA
