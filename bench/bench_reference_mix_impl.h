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

#if defined(REFERENCE_AVX512)
struct Lanes {
    static constexpr int W = 16;
    using F = __m512;
    using I = __m512i;
    static F set1(float x) { return _mm512_set1_ps(x); }
    static F sub(F a, F b) { return _mm512_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
    static F madd(F a, F b, F c) { return _mm512_fmadd_ps(a, b, c); }
    static F toFloat(I x) { return _mm512_cvtepi32_ps(x); }
    static I ints(int32_t x) { return _mm512_set1_epi32(x); }
    static I lanes() { return _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15); }
    static I add(I a, I b) { return _mm512_add_epi32(a, b); }
    static I times(I a, I b) { return _mm512_mullo_epi32(a, b); }
    static I low24(I x) { return _mm512_and_si512(x, ints(0xFFFFFF)); }
    template <int N> static I shl(I x) { return _mm512_slli_epi32(x, N); }
    template <int N> static I sar(I x) { return _mm512_srai_epi32(x, N); }
    template <int N> static I shr(I x) { return _mm512_srli_epi32(x, N); }
    static I pairs(const int16_t *samples, I whole) { return _mm512_i32gather_epi32(whole, samples, 2); }
    static void addStereo(float *o, F left, F right)
    {
        const F lo = _mm512_unpacklo_ps(left, right);
        const F hi = _mm512_unpackhi_ps(left, right);
        const I first = _mm512_setr_epi32(0, 1, 2, 3, 16, 17, 18, 19, 4, 5, 6, 7, 20, 21, 22, 23);
        const I second = _mm512_setr_epi32(8, 9, 10, 11, 24, 25, 26, 27, 12, 13, 14, 15, 28, 29, 30, 31);
        _mm512_storeu_ps(o, _mm512_add_ps(_mm512_loadu_ps(o), _mm512_permutex2var_ps(lo, first, hi)));
        _mm512_storeu_ps(o + 16, _mm512_add_ps(_mm512_loadu_ps(o + 16), _mm512_permutex2var_ps(lo, second, hi)));
    }
};
#elif defined(REFERENCE_AVX2)
struct Lanes {
    static constexpr int W = 8;
    using F = __m256;
    using I = __m256i;
    static F set1(float x) { return _mm256_set1_ps(x); }
    static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
    static F madd(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
    static F toFloat(I x) { return _mm256_cvtepi32_ps(x); }
    static I ints(int32_t x) { return _mm256_set1_epi32(x); }
    static I lanes() { return _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7); }
    static I add(I a, I b) { return _mm256_add_epi32(a, b); }
    static I times(I a, I b) { return _mm256_mullo_epi32(a, b); }
    static I low24(I x) { return _mm256_and_si256(x, ints(0xFFFFFF)); }
    template <int N> static I shl(I x) { return _mm256_slli_epi32(x, N); }
    template <int N> static I sar(I x) { return _mm256_srai_epi32(x, N); }
    template <int N> static I shr(I x) { return _mm256_srli_epi32(x, N); }
    static I pairs(const int16_t *samples, I whole)
    {
        return _mm256_i32gather_epi32(reinterpret_cast<const int *>(samples), whole, 2);
    }
    static void addStereo(float *o, F left, F right)
    {
        const F lo = _mm256_unpacklo_ps(left, right);
        const F hi = _mm256_unpackhi_ps(left, right);
        _mm256_storeu_ps(o, _mm256_add_ps(_mm256_loadu_ps(o), _mm256_permute2f128_ps(lo, hi, 0x20)));
        _mm256_storeu_ps(o + 8, _mm256_add_ps(_mm256_loadu_ps(o + 8), _mm256_permute2f128_ps(lo, hi, 0x31)));
    }
};
#elif defined(REFERENCE_SSE2)
struct Lanes {
    static constexpr int W = 4;
    using F = __m128;
    using I = __m128i;
    static F set1(float x) { return _mm_set1_ps(x); }
    static F sub(F a, F b) { return _mm_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm_mul_ps(a, b); }
    static F madd(F a, F b, F c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }
    static F toFloat(I x) { return _mm_cvtepi32_ps(x); }
    template <int N> static I shl(I x) { return _mm_slli_epi32(x, N); }
    template <int N> static I sar(I x) { return _mm_srai_epi32(x, N); }
    static void addStereo(float *o, F left, F right)
    {
        _mm_storeu_ps(o, _mm_add_ps(_mm_loadu_ps(o), _mm_unpacklo_ps(left, right)));
        _mm_storeu_ps(o + 4, _mm_add_ps(_mm_loadu_ps(o + 4), _mm_unpackhi_ps(left, right)));
    }
};
#endif

#if defined(REFERENCE_AVX512) || defined(REFERENCE_AVX2) || defined(REFERENCE_SSE2)
// The W frames from position `base`: each lane's sample and the next as a
// 32-bit pair, and the 24-bit interpolation weight.
void group(const ReferenceVoice &v, uint64_t base, Lanes::I &pairs, Lanes::F &weight)
{
#if defined(REFERENCE_SSE2)
    uint64_t q[Lanes::W];
    int32_t pair[Lanes::W];
    for (int k = 0; k < Lanes::W; ++k) {
        q[k] = base + k * v.step;
        std::memcpy(&pair[k], v.samples + (q[k] >> 32), 4);
    }
    pairs = _mm_set_epi32(pair[3], pair[2], pair[1], pair[0]);
    const __m128i fine = _mm_set_epi32(static_cast<int32_t>(static_cast<uint32_t>(q[3]) >> 8),
                                       static_cast<int32_t>(static_cast<uint32_t>(q[2]) >> 8),
                                       static_cast<int32_t>(static_cast<uint32_t>(q[1]) >> 8),
                                       static_cast<int32_t>(static_cast<uint32_t>(q[0]) >> 8));
    weight = _mm_mul_ps(_mm_cvtepi32_ps(fine), _mm_set1_ps(1.0f / 16777216.0f));
#else
    // Positions from the group's first, the step's fraction cut to 24 bits
    // (which steps below 2^7 frames keep within 32-bit lanes).
    const Lanes::I fine = Lanes::add(Lanes::ints(static_cast<int32_t>(static_cast<uint32_t>(base) >> 8)),
                                     Lanes::times(Lanes::lanes(), Lanes::ints(static_cast<int32_t>(v.step >> 8))));
    const Lanes::I whole = Lanes::add(Lanes::ints(static_cast<int32_t>(base >> 32)), Lanes::shr<24>(fine));
    weight = Lanes::mul(Lanes::toFloat(Lanes::low24(fine)), Lanes::set1(1.0f / 16777216.0f));
    pairs = Lanes::pairs(v.samples, whole);
#endif
}
#endif

// `count` frames from p with steady gains; returns the position after them.
uint64_t steady(float *out, unsigned int count, const ReferenceVoice &v, uint64_t p)
{
    unsigned int i = 0;
#if defined(REFERENCE_AVX512) || defined(REFERENCE_AVX2) || defined(REFERENCE_SSE2)
    const Lanes::F l = Lanes::set1(v.left * SCALE);
    const Lanes::F r = Lanes::set1(v.right * SCALE);
    for (; i + Lanes::W <= count; i += Lanes::W) {
        Lanes::I pairs;
        Lanes::F f;
        group(v, p + i * v.step, pairs, f);
        const Lanes::F a = Lanes::toFloat(Lanes::sar<16>(Lanes::shl<16>(pairs)));
        const Lanes::F b = Lanes::toFloat(Lanes::sar<16>(pairs));
        const Lanes::F s = Lanes::madd(Lanes::sub(b, a), f, a);
        Lanes::addStereo(out + 2 * i, Lanes::mul(s, l), Lanes::mul(s, r));
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
