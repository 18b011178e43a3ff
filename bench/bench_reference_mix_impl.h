// The plain fused loop of bench_reference_mix.h for the instruction set the
// including file is built for (it defines REFERENCE_ENTRY and REFERENCE_LANES:
// 4 for SSE2, 8 for AVX2, 16 for AVX-512F; without that instruction set the
// loop goes frame by frame). Internal linkage throughout.
#include "bench_reference_mix.h"

#include <cstring>

#if REFERENCE_LANES == 16 && defined(__AVX512F__)
#include <immintrin.h>
#define REFERENCE_AVX512 1
#elif REFERENCE_LANES == 8 && defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>
#define REFERENCE_AVX2 1
#elif REFERENCE_LANES == 4 && defined(__SSE2__)
#include <emmintrin.h>
#define REFERENCE_SSE2 1
#endif

namespace {

using bench::ReferenceVoice;

constexpr float SCALE = 1.0f / 32768.0f;

// One frame, plainly.
inline void frame(float *out, const ReferenceVoice &v, uint64_t p, float l, float r)
{
    const uint32_t w = static_cast<uint32_t>(p >> 32);
    const float f = static_cast<float>(static_cast<uint32_t>(p) >> 8) * (1.0f / 16777216.0f);
    const float a = v.samples[w];
    const float b = v.samples[w + 1];
    const float s = (a + (b - a) * f) * SCALE;
    out[0] += s * l;
    out[1] += s * r;
}

// `count` frames from p with steady gains; returns the position after them.
uint64_t steady(float *out, unsigned int count, const ReferenceVoice &v, uint64_t p)
{
    unsigned int i = 0;
#if defined(REFERENCE_AVX512)
    const __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512 l = _mm512_set1_ps(v.left * SCALE);
    const __m512 r = _mm512_set1_ps(v.right * SCALE);
    for (; i + 16 <= count; i += 16) {
        // Positions from the group's first: whole frames and 24-bit weights
        // (the step's fraction cut to 24 bits, which steps below 2^7 frames
        // keep within 32-bit lanes).
        const uint64_t base = p + i * v.step;
        const __m512i offsets = _mm512_mullo_epi32(lanes, _mm512_set1_epi32(static_cast<int32_t>(v.step >> 8)));
        const __m512i fine = _mm512_add_epi32(_mm512_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(base) >> 8)),
                                              offsets);
        const __m512i whole = _mm512_add_epi32(_mm512_set1_epi32(static_cast<int32_t>(base >> 32)),
                                               _mm512_srli_epi32(fine, 24));
        const __m512 f = _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_and_si512(fine, _mm512_set1_epi32(0xFFFFFF))),
                                       _mm512_set1_ps(1.0f / 16777216.0f));
        const __m512i pair = _mm512_i32gather_epi32(whole, v.samples, 2);
        const __m512 a = _mm512_cvtepi32_ps(_mm512_srai_epi32(_mm512_slli_epi32(pair, 16), 16));
        const __m512 b = _mm512_cvtepi32_ps(_mm512_srai_epi32(pair, 16));
        const __m512 s = _mm512_fmadd_ps(_mm512_sub_ps(b, a), f, a);
        const __m512 sl = _mm512_mul_ps(s, l);
        const __m512 sr = _mm512_mul_ps(s, r);
        const __m512 lo = _mm512_unpacklo_ps(sl, sr);
        const __m512 hi = _mm512_unpackhi_ps(sl, sr);
        float *o = out + 2 * i;
        const __m512i first = _mm512_setr_epi32(0, 1, 2, 3, 16, 17, 18, 19, 4, 5, 6, 7, 20, 21, 22, 23);
        const __m512i second = _mm512_setr_epi32(8, 9, 10, 11, 24, 25, 26, 27, 12, 13, 14, 15, 28, 29, 30, 31);
        _mm512_storeu_ps(o, _mm512_add_ps(_mm512_loadu_ps(o), _mm512_permutex2var_ps(lo, first, hi)));
        _mm512_storeu_ps(o + 16, _mm512_add_ps(_mm512_loadu_ps(o + 16), _mm512_permutex2var_ps(lo, second, hi)));
    }
#elif defined(REFERENCE_AVX2)
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256 l = _mm256_set1_ps(v.left * SCALE);
    const __m256 r = _mm256_set1_ps(v.right * SCALE);
    for (; i + 8 <= count; i += 8) {
        const uint64_t base = p + i * v.step;
        const __m256i offsets = _mm256_mullo_epi32(lanes, _mm256_set1_epi32(static_cast<int32_t>(v.step >> 8)));
        const __m256i fine = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(base) >> 8)),
                                              offsets);
        const __m256i whole = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(base >> 32)),
                                               _mm256_srli_epi32(fine, 24));
        const __m256 f = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_and_si256(fine, _mm256_set1_epi32(0xFFFFFF))),
                                       _mm256_set1_ps(1.0f / 16777216.0f));
        const __m256i pair = _mm256_i32gather_epi32(reinterpret_cast<const int *>(v.samples), whole, 2);
        const __m256 a = _mm256_cvtepi32_ps(_mm256_srai_epi32(_mm256_slli_epi32(pair, 16), 16));
        const __m256 b = _mm256_cvtepi32_ps(_mm256_srai_epi32(pair, 16));
        const __m256 s = _mm256_fmadd_ps(_mm256_sub_ps(b, a), f, a);
        const __m256 sl = _mm256_mul_ps(s, l);
        const __m256 sr = _mm256_mul_ps(s, r);
        const __m256 lo = _mm256_unpacklo_ps(sl, sr);
        const __m256 hi = _mm256_unpackhi_ps(sl, sr);
        float *o = out + 2 * i;
        _mm256_storeu_ps(o, _mm256_add_ps(_mm256_loadu_ps(o), _mm256_permute2f128_ps(lo, hi, 0x20)));
        _mm256_storeu_ps(o + 8, _mm256_add_ps(_mm256_loadu_ps(o + 8), _mm256_permute2f128_ps(lo, hi, 0x31)));
    }
#elif defined(REFERENCE_SSE2)
    const __m128 l = _mm_set1_ps(v.left * SCALE);
    const __m128 r = _mm_set1_ps(v.right * SCALE);
    for (; i + 4 <= count; i += 4) {
        int32_t pairs[4];
        float weights[4];
        for (int k = 0; k < 4; ++k) {
            const uint64_t q = p + (i + k) * v.step;
            std::memcpy(&pairs[k], v.samples + (q >> 32), 4);
            weights[k] = static_cast<float>(static_cast<uint32_t>(q) >> 8) * (1.0f / 16777216.0f);
        }
        const __m128i pair = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pairs));
        const __m128 a = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_slli_epi32(pair, 16), 16));
        const __m128 b = _mm_cvtepi32_ps(_mm_srai_epi32(pair, 16));
        const __m128 s = _mm_add_ps(_mm_mul_ps(_mm_sub_ps(b, a), _mm_loadu_ps(weights)), a);
        const __m128 sl = _mm_mul_ps(s, l);
        const __m128 sr = _mm_mul_ps(s, r);
        float *o = out + 2 * i;
        _mm_storeu_ps(o, _mm_add_ps(_mm_loadu_ps(o), _mm_unpacklo_ps(sl, sr)));
        _mm_storeu_ps(o + 4, _mm_add_ps(_mm_loadu_ps(o + 4), _mm_unpackhi_ps(sl, sr)));
    }
#endif
    for (; i < count; ++i) {
        frame(out + 2 * i, v, p + i * v.step, v.left, v.right);
    }
    return p + static_cast<uint64_t>(count) * v.step;
}

void mixVoice(float *out, unsigned int frames, ReferenceVoice &v)
{
    const uint64_t end = static_cast<uint64_t>(v.frames) << 32;
    uint64_t p = v.position;
    unsigned int done = 0;
    // The ramp, frame by frame.
    if (v.fromLeft != v.left || v.fromRight != v.right) {
        for (; done < bench::RAMP && done < frames; ++done) {
            const float t = static_cast<float>(done + 1) / bench::RAMP;
            frame(out + 2 * done, v, p, v.fromLeft + (v.left - v.fromLeft) * t,
                  v.fromRight + (v.right - v.fromRight) * t);
            p += v.step;
            if (p >= end) {
                p -= end;
            }
        }
        v.fromLeft = v.left;
        v.fromRight = v.right;
    }
    // Spans up to the loop's end.
    while (done < frames) {
        const uint64_t left = (end - p + v.step - 1) / v.step;
        const auto span = static_cast<unsigned int>(left < frames - done ? left : frames - done);
        p = steady(out + 2 * done, span, v, p);
        done += span;
        if (p >= end) {
            p -= end;
        }
    }
    v.position = p;
}

} // namespace

void bench::REFERENCE_ENTRY(float *out, unsigned int frames, ReferenceVoice *voices, int count)
{
    for (int i = 0; i < count; ++i) {
        mixVoice(out, frames, voices[i]);
    }
}
