// The vector loops of the fused voice kernels, written once over a small set
// of lane operations and built once per instruction set: each file that
// includes this is compiled with its own target options and defines
// AURA_MIX_ENTRY to the name of its entry point (see aura_dsp_mixrun.h) and
// AURA_MIX_LANES to its width. Everything here has internal linkage, and
// only plain data and compiler intrinsics come from outside, so code built
// for one instruction set never stands in for another.
//
// Per output frame: the position's whole part picks the frame (and its
// neighbour), the fraction becomes the interpolation weight (its top 24
// bits; AVX-512 converts it whole, as the scalar kernels do), the samples
// are interpolated in the source's integer units, and the result is added
// into the output through the levels, with the format's scale (a power of
// two) folded into them.
//
// With AVX2 and AVX-512 the lanes find their frames in one of two ways.
// While a step is at most two frames, the frames of a group of W lanes lie
// within 2W frames of the first: those are loaded as one window and each
// lane picks its own with a permute. Faster steps, and windows that would
// reach past the data, gather the frames lane by lane. SSE2 has neither and
// loads each lane's frame on its own.
#ifndef AURA_MIX_ENTRY
#error "define AURA_MIX_ENTRY before including this file"
#endif

#include "dsp/units/aura_dsp_mixrun.h"

#include <cstdint>
#include <cstring>

// AURA_MIX_LANES names the width the including file is built for: 16
// (AVX-512F), 8 (AVX2 and FMA) or 4 (SSE2); without the instruction set
// there are no vector loops and the entry point does nothing.
#if AURA_MIX_LANES == 16 && defined(__AVX512F__)
#include <immintrin.h>
#define AURA_MIX_LANES_AVX512 1
#elif AURA_MIX_LANES == 8 && defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>
#define AURA_MIX_LANES_AVX2 1
#elif AURA_MIX_LANES == 4 && defined(__SSE2__)
#include <emmintrin.h>
#define AURA_MIX_LANES_SSE2 1
#elif AURA_MIX_LANES > 4
#error "this file must be built with the instruction set its lanes need"
#endif

namespace {

constexpr int FORMAT_PCM8 = 1;
constexpr int FORMAT_PCM16 = 2;
constexpr int FORMAT_FLOAT = 5;

#if defined(AURA_MIX_LANES_AVX512)

struct Lanes {
    static constexpr int W = 16;
    using F = __m512;
    using I = __m512i;
    static F set1(float v) { return _mm512_set1_ps(v); }
    static F add(F a, F b) { return _mm512_add_ps(a, b); }
    static F sub(F a, F b) { return _mm512_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
    static F madd(F a, F b, F c) { return _mm512_fmadd_ps(a, b, c); }
    static F toFloat(I v) { return _mm512_cvtepi32_ps(v); }
    static F asFloat(I v) { return _mm512_castsi512_ps(v); }
    static F load(const float *p) { return _mm512_loadu_ps(p); }
    static void store(float *p, F v) { _mm512_storeu_ps(p, v); }
    static F interleaveLow(F left, F right) { return _mm512_unpacklo_ps(left, right); }
    static F interleaveHigh(F left, F right) { return _mm512_unpackhi_ps(left, right); }
    template <int N> static I shl(I v) { return _mm512_slli_epi32(v, N); }
    template <int N> static I sar(I v) { return _mm512_srai_epi32(v, N); }
    static I ints(int32_t v) { return _mm512_set1_epi32(v); }
    static I add(I a, I b) { return _mm512_add_epi32(a, b); }
    static I sub(I a, I b) { return _mm512_sub_epi32(a, b); }
    static I loadInts(const void *p) { return _mm512_loadu_si512(p); }
    // W bytes, or W halfwords, sign-extended.
    static I widen8(const uint8_t *p) { return _mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p))); }
    static I widen16(const uint8_t *p)
    {
        return _mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)));
    }
    // whole + step, and one more where the fraction wrapped (next < before).
    static I carryInto(I whole, I step, I next, I before)
    {
        const I stepped = _mm512_add_epi32(whole, step);
        return _mm512_mask_add_epi32(stepped, _mm512_cmplt_epu32_mask(next, before), stepped, ints(1));
    }
    static F weight(I fraction)
    {
        return _mm512_mul_ps(_mm512_cvtepu32_ps(fraction), _mm512_set1_ps(1.0f / 4294967296.0f));
    }
    template <int SCALE> static I gather(const uint8_t *base, I index)
    {
        return _mm512_i32gather_epi32(index, base, SCALE);
    }
    // Unit `index` (0 to 2W - 1) of lo followed by hi.
    static I pick(I lo, I hi, I index) { return _mm512_permutex2var_epi32(lo, index, hi); }
    // The frame of each lane when two output channels are interleaved: the
    // unpacks of the left and right lanes then give frames 0-7 and 8-15.
    static constexpr int STEREO_ORDER[W] = {0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15};
};

#elif defined(AURA_MIX_LANES_AVX2)

struct Lanes {
    static constexpr int W = 8;
    using F = __m256;
    using I = __m256i;
    static F set1(float v) { return _mm256_set1_ps(v); }
    static F add(F a, F b) { return _mm256_add_ps(a, b); }
    static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
    static F madd(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
    static F toFloat(I v) { return _mm256_cvtepi32_ps(v); }
    static F asFloat(I v) { return _mm256_castsi256_ps(v); }
    static F load(const float *p) { return _mm256_loadu_ps(p); }
    static void store(float *p, F v) { _mm256_storeu_ps(p, v); }
    static F interleaveLow(F left, F right) { return _mm256_unpacklo_ps(left, right); }
    static F interleaveHigh(F left, F right) { return _mm256_unpackhi_ps(left, right); }
    template <int N> static I shl(I v) { return _mm256_slli_epi32(v, N); }
    template <int N> static I sar(I v) { return _mm256_srai_epi32(v, N); }
    static I ints(int32_t v) { return _mm256_set1_epi32(v); }
    static I add(I a, I b) { return _mm256_add_epi32(a, b); }
    static I sub(I a, I b) { return _mm256_sub_epi32(a, b); }
    static I loadInts(const void *p) { return _mm256_loadu_si256(static_cast<const __m256i *>(p)); }
    static I widen8(const uint8_t *p) { return _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p))); }
    static I widen16(const uint8_t *p) { return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p))); }
    static I carryInto(I whole, I step, I next, I before)
    {
        // An unsigned compare through the sign bit: -1 where it wrapped.
        const I sign = ints(static_cast<int32_t>(0x80000000u));
        const I wrapped = _mm256_cmpgt_epi32(_mm256_xor_si256(before, sign), _mm256_xor_si256(next, sign));
        return _mm256_sub_epi32(_mm256_add_epi32(whole, step), wrapped);
    }
    static F weight(I fraction)
    {
        // The top 24 bits of the fraction, all a float holds (it may differ
        // from float(fraction) in the last place).
        return _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_srli_epi32(fraction, 8)), _mm256_set1_ps(1.0f / 16777216.0f));
    }
    template <int SCALE> static I gather(const uint8_t *base, I index)
    {
        return _mm256_i32gather_epi32(reinterpret_cast<const int *>(base), index, SCALE);
    }
    static I pick(I lo, I hi, I index)
    {
        const I low = _mm256_permutevar8x32_epi32(lo, index);
        const I high = _mm256_permutevar8x32_epi32(hi, index);
        return _mm256_blendv_epi8(low, high, _mm256_cmpgt_epi32(index, ints(W - 1)));
    }
    static constexpr int STEREO_ORDER[W] = {0, 1, 4, 5, 2, 3, 6, 7};

    // 16-bit mono: each lane's sample and its neighbour as one 32-bit pair,
    // picked from the pairs that start at even frames (from `frame`) and
    // those that start at odd ones; fewer permutes than two picks.
    static I pair16(const uint8_t *frame, I relative)
    {
        const I even = loadInts(frame);
        const I odd = loadInts(frame + 2);
        const I index = _mm256_srli_epi32(relative, 1);
        const F fromEven = _mm256_castsi256_ps(_mm256_permutevar8x32_epi32(even, index));
        const F fromOdd = _mm256_castsi256_ps(_mm256_permutevar8x32_epi32(odd, index));
        return _mm256_castps_si256(
            _mm256_blendv_ps(fromEven, fromOdd, _mm256_castsi256_ps(_mm256_slli_epi32(relative, 31))));
    }
};

#elif defined(AURA_MIX_LANES_SSE2)

struct Lanes {
    static constexpr int W = 4;
    using F = __m128;
    using I = __m128i;
    static F set1(float v) { return _mm_set1_ps(v); }
    static F add(F a, F b) { return _mm_add_ps(a, b); }
    static F sub(F a, F b) { return _mm_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm_mul_ps(a, b); }
    static F madd(F a, F b, F c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }
    static F toFloat(I v) { return _mm_cvtepi32_ps(v); }
    static F asFloat(I v) { return _mm_castsi128_ps(v); }
    static F load(const float *p) { return _mm_loadu_ps(p); }
    static void store(float *p, F v) { _mm_storeu_ps(p, v); }
    static F interleaveLow(F left, F right) { return _mm_unpacklo_ps(left, right); }
    static F interleaveHigh(F left, F right) { return _mm_unpackhi_ps(left, right); }
    template <int N> static I shl(I v) { return _mm_slli_epi32(v, N); }
    template <int N> static I sar(I v) { return _mm_srai_epi32(v, N); }
    static constexpr int STEREO_ORDER[W] = {0, 1, 2, 3};
};

#endif

#if defined(AURA_MIX_LANES_AVX512) || defined(AURA_MIX_LANES_AVX2)

// Lane i at position + order[i] * step: whole frames and fractions,
// advanced W frames at a time with the carry between them.
struct Cursor {
    Lanes::I whole;
    Lanes::I fraction;
    Lanes::I wholeStep;
    Lanes::I fractionStep;
    Cursor(int64_t position, int64_t step, const int (&order)[Lanes::W])
    {
        int32_t w[Lanes::W];
        int32_t f[Lanes::W];
        for (int i = 0; i < Lanes::W; ++i) {
            const auto p = static_cast<uint64_t>(position) + static_cast<uint64_t>(step) * static_cast<uint64_t>(order[i]);
            w[i] = static_cast<int32_t>(p >> 32);
            f[i] = static_cast<int32_t>(static_cast<uint32_t>(p));
        }
        whole = Lanes::loadInts(w);
        fraction = Lanes::loadInts(f);
        const uint64_t stride = static_cast<uint64_t>(step) * Lanes::W;
        wholeStep = Lanes::ints(static_cast<int32_t>(stride >> 32));
        fractionStep = Lanes::ints(static_cast<int32_t>(static_cast<uint32_t>(stride)));
    }
    void advance()
    {
        const Lanes::I next = Lanes::add(fraction, fractionStep);
        whole = Lanes::carryInto(whole, wholeStep, next, fraction);
        fraction = next;
    }
    [[nodiscard]] Lanes::F weight() const { return Lanes::weight(fraction); }
    // 32 bits at base + (whole + frames) * SCALE in every lane.
    template <int SCALE> [[nodiscard]] Lanes::I gather(const uint8_t *base, int frames) const
    {
        return Lanes::gather<SCALE>(base + frames * SCALE, whole);
    }
    // Each lane's frame counted from `start`.
    [[nodiscard]] Lanes::I relative(int32_t start) const { return Lanes::sub(whole, Lanes::ints(start)); }
};

// 2W units from `frame`: sign-extended samples of a mono source, frames of a
// stereo one (a 16-bit stereo frame is one 32-bit unit, an 8-bit one is a
// 16-bit unit, sign-extended).
struct Window {
    Lanes::I lo;
    Lanes::I hi;
    [[nodiscard]] Lanes::I pick(Lanes::I index) const { return Lanes::pick(lo, hi, index); }
};

template <int BYTES, int IN>
Window window(const uint8_t *frame)
{
    constexpr int W = Lanes::W;
    if constexpr (BYTES == 1 && IN == 1) {
        return {Lanes::widen8(frame), Lanes::widen8(frame + W)};
    } else if constexpr ((BYTES == 2 && IN == 1) || (BYTES == 1 && IN == 2)) {
        return {Lanes::widen16(frame), Lanes::widen16(frame + 2 * W)};
    } else {
        return {Lanes::loadInts(frame), Lanes::loadInts(frame + 4 * W)};
    }
}

#elif defined(AURA_MIX_LANES_SSE2)

// Without gathers the lanes' frames are found one by one: the cursor keeps
// the four positions as scalars.
struct Cursor {
    int64_t at[Lanes::W];
    int64_t step;
    Cursor(int64_t position, int64_t s, const int (&order)[Lanes::W]) : step(s)
    {
        for (int i = 0; i < Lanes::W; ++i) {
            at[i] = static_cast<int64_t>(static_cast<uint64_t>(position) +
                                         static_cast<uint64_t>(s) * static_cast<uint64_t>(order[i]));
        }
    }
    void advance()
    {
        for (int64_t &p : at) {
            p = static_cast<int64_t>(static_cast<uint64_t>(p) + static_cast<uint64_t>(step) * Lanes::W);
        }
    }
    [[nodiscard]] Lanes::F weight() const
    {
        // The top 24 bits of each fraction.
        const __m128i fraction = _mm_set_epi32(static_cast<int32_t>(static_cast<uint32_t>(at[3]) >> 8),
                                               static_cast<int32_t>(static_cast<uint32_t>(at[2]) >> 8),
                                               static_cast<int32_t>(static_cast<uint32_t>(at[1]) >> 8),
                                               static_cast<int32_t>(static_cast<uint32_t>(at[0]) >> 8));
        return _mm_mul_ps(_mm_cvtepi32_ps(fraction), _mm_set1_ps(1.0f / 16777216.0f));
    }
    template <int SCALE> [[nodiscard]] Lanes::I gather(const uint8_t *base, int frames) const
    {
        int32_t v[Lanes::W];
        for (int i = 0; i < Lanes::W; ++i) {
            std::memcpy(&v[i], base + ((at[i] >> 32) + frames) * SCALE, 4);
        }
        return _mm_set_epi32(v[3], v[2], v[1], v[0]);
    }
};

#endif

#if defined(AURA_MIX_LANES_AVX512) || defined(AURA_MIX_LANES_AVX2) || defined(AURA_MIX_LANES_SSE2)

using F = Lanes::F;
using I = Lanes::I;

template <int FORMAT>
constexpr int BYTES = FORMAT == FORMAT_PCM8 ? 1 : FORMAT == FORMAT_PCM16 ? 2 : 4;

// The channels of a unit: a sample (mono), or a frame of two (stereo, the
// first channel in the low bits), in the source's own units.
template <int FORMAT, int IN>
void decode(I unit, F (&to)[IN])
{
    if constexpr (IN == 1) {
        to[0] = FORMAT == FORMAT_FLOAT ? Lanes::asFloat(unit) : Lanes::toFloat(unit);
    } else if constexpr (FORMAT == FORMAT_PCM8) {
        to[0] = Lanes::toFloat(Lanes::sar<24>(Lanes::shl<24>(unit)));
        to[1] = Lanes::toFloat(Lanes::sar<24>(Lanes::shl<16>(unit)));
    } else {
        to[0] = Lanes::toFloat(Lanes::sar<16>(Lanes::shl<16>(unit)));
        to[1] = Lanes::toFloat(Lanes::sar<16>(unit));
    }
}

// The samples of each lane's frame (`at`) and of its neighbour (`next`,
// linear only), per channel, loaded lane by lane.
template <int FORMAT, int IN, bool LINEAR>
void fetch(const uint8_t *source, const Cursor &cursor, F (&at)[IN], F (&next)[IN])
{
    if constexpr (FORMAT == FORMAT_PCM8 && IN == 1) {
        // Bytes w and w+1 (and two more) in one load.
        const I g = cursor.gather<1>(source, 0);
        at[0] = Lanes::toFloat(Lanes::sar<24>(Lanes::shl<24>(g)));
        next[0] = Lanes::toFloat(Lanes::sar<24>(Lanes::shl<16>(g)));
    } else if constexpr (FORMAT == FORMAT_PCM8) {
        // Left and right of frame w, then of frame w+1.
        const I g = cursor.gather<2>(source, 0);
        decode<FORMAT, IN>(g, at);
        next[0] = Lanes::toFloat(Lanes::sar<24>(Lanes::shl<8>(g)));
        next[1] = Lanes::toFloat(Lanes::sar<24>(g));
    } else if constexpr (FORMAT == FORMAT_PCM16 && IN == 1) {
        const I g = cursor.gather<2>(source, 0);
        at[0] = Lanes::toFloat(Lanes::sar<16>(Lanes::shl<16>(g)));
        next[0] = Lanes::toFloat(Lanes::sar<16>(g));
    } else if constexpr (FORMAT == FORMAT_PCM16) {
        decode<FORMAT, IN>(cursor.gather<4>(source, 0), at);
        if constexpr (LINEAR) {
            decode<FORMAT, IN>(cursor.gather<4>(source, 1), next);
        }
    } else {
        // Float: one channel at a time.
        for (int c = 0; c < IN; ++c) {
            at[c] = Lanes::asFloat(cursor.gather<4 * IN>(source + 4 * c, 0));
            if constexpr (LINEAR) {
                next[c] = Lanes::asFloat(cursor.gather<4 * IN>(source + 4 * c, 1));
            }
        }
    }
}

template <int FORMAT, int IN, int OUT, bool LINEAR>
unsigned int mixLanes(AURA::MixRun &run)
{
    constexpr int W = Lanes::W;
    const unsigned int groups = run.count / W;
    if (groups == 0) {
        return 0;
    }
    const float scale = FORMAT == FORMAT_PCM8 ? 1.0f / 128.0f : FORMAT == FORMAT_PCM16 ? 1.0f / 32768.0f : 1.0f;
    F level[OUT][IN];
    for (int o = 0; o < OUT; ++o) {
        for (int c = 0; c < IN; ++c) {
            level[o][c] = Lanes::set1(run.levels[o][c] * scale);
        }
    }
    int order[W];
    for (int i = 0; i < W; ++i) {
        order[i] = OUT == 2 ? Lanes::STEREO_ORDER[i] : i;
    }
    Cursor cursor(run.position, run.step, order);
#if !defined(AURA_MIX_LANES_SSE2)
    // Windows hold 2W frames: enough for W lanes of up to two frames a step
    // (the last lane's neighbour included). Stereo float frames are too wide.
    const int64_t magnitude = run.step < 0 ? -run.step : run.step;
    const bool windows = magnitude <= (int64_t{2} << 32) && !(FORMAT == FORMAT_FLOAT && IN == 2);
    const int64_t lowestLane = run.step < 0 ? run.step * (W - 1) : 0;
    constexpr int64_t frameBytes = static_cast<int64_t>(BYTES<FORMAT>) * IN;
    int64_t first = run.position; // the first frame's position
#endif
    float *out = run.out;
    for (unsigned int g = 0; g < groups; ++g) {
        F v[IN];
        F next[IN];
#if !defined(AURA_MIX_LANES_SSE2)
        const int64_t start = (first + lowestLane) >> 32;
        first += run.step * W;
#if defined(AURA_MIX_LANES_AVX2)
        if (FORMAT == FORMAT_PCM16 && IN == 1 && windows && start + 2 * W + 1 <= run.frames) {
            const I pair = Lanes::pair16(run.source + start * frameBytes, cursor.relative(static_cast<int32_t>(start)));
            v[0] = Lanes::toFloat(Lanes::sar<16>(Lanes::shl<16>(pair)));
            next[0] = Lanes::toFloat(Lanes::sar<16>(pair));
        } else
#endif
        if (windows && start + 2 * W <= run.frames) {
            const Window frames = window<BYTES<FORMAT>, IN>(run.source + start * frameBytes);
            const I relative = cursor.relative(static_cast<int32_t>(start));
            decode<FORMAT, IN>(frames.pick(relative), v);
            if constexpr (LINEAR) {
                decode<FORMAT, IN>(frames.pick(Lanes::add(relative, Lanes::ints(1))), next);
            }
        } else
#endif
        {
            fetch<FORMAT, IN, LINEAR>(run.source, cursor, v, next);
        }
        if constexpr (LINEAR) {
            const F w = cursor.weight();
            for (int c = 0; c < IN; ++c) {
                v[c] = Lanes::madd(Lanes::sub(next[c], v[c]), w, v[c]);
            }
        }
        F y[OUT];
        for (int o = 0; o < OUT; ++o) {
            y[o] = IN == 1 ? Lanes::mul(v[0], level[o][0])
                           : Lanes::madd(v[0], level[o][0], Lanes::mul(v[IN - 1], level[o][IN - 1]));
        }
        if constexpr (OUT == 1) {
            Lanes::store(out, Lanes::add(Lanes::load(out), y[0]));
        } else {
            Lanes::store(out, Lanes::add(Lanes::load(out), Lanes::interleaveLow(y[0], y[OUT - 1])));
            Lanes::store(out + W, Lanes::add(Lanes::load(out + W), Lanes::interleaveHigh(y[0], y[OUT - 1])));
        }
        out += W * OUT;
        cursor.advance();
    }
    const unsigned int done = groups * W;
    run.out = out;
    run.position = static_cast<int64_t>(static_cast<uint64_t>(run.position) + static_cast<uint64_t>(run.step) * done);
    run.count -= done;
    return done;
}

template <int FORMAT>
unsigned int mixFormat(AURA::MixRun &run)
{
    const int shape = (run.inChannels == 2 ? 4 : 0) | (run.outChannels == 2 ? 2 : 0) | (run.linear ? 1 : 0);
    switch (shape) {
    case 0: return mixLanes<FORMAT, 1, 1, false>(run);
    case 1: return mixLanes<FORMAT, 1, 1, true>(run);
    case 2: return mixLanes<FORMAT, 1, 2, false>(run);
    case 3: return mixLanes<FORMAT, 1, 2, true>(run);
    case 4: return mixLanes<FORMAT, 2, 1, false>(run);
    case 5: return mixLanes<FORMAT, 2, 1, true>(run);
    case 6: return mixLanes<FORMAT, 2, 2, false>(run);
    default: return mixLanes<FORMAT, 2, 2, true>(run);
    }
}

#endif

} // namespace

unsigned int AURA::AURA_MIX_ENTRY(MixRun &run)
{
#if defined(AURA_MIX_LANES_AVX512) || defined(AURA_MIX_LANES_AVX2) || defined(AURA_MIX_LANES_SSE2)
    switch (run.format) {
    case FORMAT_PCM8: return mixFormat<FORMAT_PCM8>(run);
    case FORMAT_PCM16: return mixFormat<FORMAT_PCM16>(run);
    case FORMAT_FLOAT: return mixFormat<FORMAT_FLOAT>(run);
    default: return 0;
    }
#else
    (void)run;
    return 0; // no vector lanes here: the scalar loop does it all
#endif
}
