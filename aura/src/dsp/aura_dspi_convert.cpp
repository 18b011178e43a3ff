// Sample conversion between the PCM formats: signed 8, 16, packed 24 and
// 32-bit integers and 32-bit float (full scale +-1.0). It runs on every
// output block, so each pair of formats is its own loop and the contiguous
// case is compiled apart from the strided one.
#include "dsp/aura_dspi.h"
#include "dsp/units/aura_dsp_mixkernels.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace AURA {

namespace {

constexpr int FIRST_FORMAT = AURA_SOUND_FORMAT_PCM8;
constexpr int NUM_FORMATS = AURA_SOUND_FORMAT_PCMFLOAT - AURA_SOUND_FORMAT_PCM8 + 1;

template <int Format>
struct Fmt;

template <>
struct Fmt<AURA_SOUND_FORMAT_PCM8> {
    static constexpr bool isFloat = false;
    static constexpr int bytes = 1;
    static constexpr int bits = 8;
    static int32_t load(const unsigned char *p) { return static_cast<int8_t>(p[0]); }
    static void store(unsigned char *p, int32_t v) { p[0] = static_cast<unsigned char>(v); }
};

template <>
struct Fmt<AURA_SOUND_FORMAT_PCM16> {
    static constexpr bool isFloat = false;
    static constexpr int bytes = 2;
    static constexpr int bits = 16;
    static int32_t load(const unsigned char *p)
    {
        int16_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static void store(unsigned char *p, int32_t v)
    {
        const auto s = static_cast<int16_t>(v);
        std::memcpy(p, &s, sizeof s);
    }
};

template <>
struct Fmt<AURA_SOUND_FORMAT_PCM24> {
    static constexpr bool isFloat = false;
    static constexpr int bytes = 3;
    static constexpr int bits = 24;
    static int32_t load(const unsigned char *p)
    {
        const uint32_t u = p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16);
        return static_cast<int32_t>(u ^ 0x800000u) - 0x800000; // sign-extend bit 23
    }
    static void store(unsigned char *p, int32_t v)
    {
        const auto u = static_cast<uint32_t>(v);
        p[0] = static_cast<unsigned char>(u);
        p[1] = static_cast<unsigned char>(u >> 8);
        p[2] = static_cast<unsigned char>(u >> 16);
    }
};

template <>
struct Fmt<AURA_SOUND_FORMAT_PCM32> {
    static constexpr bool isFloat = false;
    static constexpr int bytes = 4;
    static constexpr int bits = 32;
    static int32_t load(const unsigned char *p)
    {
        int32_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static void store(unsigned char *p, int32_t v) { std::memcpy(p, &v, sizeof v); }
};

template <>
struct Fmt<AURA_SOUND_FORMAT_PCMFLOAT> {
    static constexpr bool isFloat = true;
    static constexpr int bytes = 4;
    static float load(const unsigned char *p)
    {
        float v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static void store(unsigned char *p, float v) { std::memcpy(p, &v, sizeof v); }
};

template <int Bits>
constexpr int32_t kMaxInt = static_cast<int32_t>((int64_t{1} << (Bits - 1)) - 1);
template <int Bits>
constexpr int32_t kMinInt = static_cast<int32_t>(-(int64_t{1} << (Bits - 1)));

// Round to nearest (ties to even) and clip to the format's range; NaN is
// silence. Adding and taking away 1.5 x 2^52 leaves the nearest integer in
// the current rounding mode for any |x| < 2^51.
template <int Bits>
int32_t roundClip(double x)
{
    if (!(x == x)) {
        return 0;
    }
    if (x >= kMaxInt<Bits>) {
        return kMaxInt<Bits>;
    }
    if (x <= kMinInt<Bits>) {
        return kMinInt<Bits>;
    }
    constexpr double magic = 6755399441055744.0;
    return static_cast<int32_t>((x + magic) - magic);
}

// The same in float for formats of at most 16 bits. The rounding comes
// first: it is exact below 2^22 and leaves larger values (and NaN) large
// enough for the clip, and in this order the block loop vectorises.
template <int Bits>
int32_t roundClipFloat(float x)
{
    static_assert(Bits <= 16);
    constexpr auto lo = static_cast<float>(kMinInt<Bits>);
    constexpr auto hi = static_cast<float>(kMaxInt<Bits>);
    constexpr float magic = 12582912.0f;
    x = (x + magic) - magic;
    x = std::max(x, lo);
    x = std::min(x, hi);
    x = (x == x) ? x : 0.0f;
    return static_cast<int32_t>(x);
}

// The output step of every block in the common format: float mix to 16-bit.
// Separate buffers, typed by index, so the loop runs in vector registers.
void floatToPcm16(unsigned char *__restrict dest, const unsigned char *__restrict src, size_t count, float scale)
{
    size_t i = floatToPcm16Wide(dest, src, count, scale);
#if defined(__SSE2__)
    // Eight samples a pass: NaN masked to zero, clipped, converted in the
    // current rounding mode (as the magic-number rounding below) and packed.
    // The compiler's own vectorisation of the scalar loop takes four times
    // the instructions, and this runs on every sample a render writes.
    const __m128 vscale = _mm_set1_ps(scale);
    const __m128 lo = _mm_set1_ps(static_cast<float>(kMinInt<16>));
    const __m128 hi = _mm_set1_ps(static_cast<float>(kMaxInt<16>));
    const auto clip = [&](__m128 v) {
        v = _mm_mul_ps(v, vscale);
        v = _mm_and_ps(v, _mm_cmpord_ps(v, v));
        return _mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(v, lo), hi));
    };
    for (; i + 8 <= count; i += 8) {
        const __m128i a = clip(_mm_loadu_ps(reinterpret_cast<const float *>(src + 4 * i)));
        const __m128i b = clip(_mm_loadu_ps(reinterpret_cast<const float *>(src + 4 * i + 16)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dest + 2 * i), _mm_packs_epi32(a, b));
    }
#endif
    for (; i < count; ++i) {
        float v;
        std::memcpy(&v, src + 4 * i, 4);
        const auto r = static_cast<int16_t>(roundClipFloat<16>(v * scale));
        std::memcpy(dest + 2 * i, &r, 2);
    }
}

template <int D, int S, bool Contiguous>
void convertLoop(unsigned char *dest, const unsigned char *src, size_t count, ptrdiff_t dstride,
                 ptrdiff_t sstride, float gain)
{
    if constexpr (D == 2 && S == 5 && Contiguous) {
        if (dest + count * 2 <= src || src + count * 4 <= dest) {
            floatToPcm16(dest, src, count, gain * 32768.0f);
            return;
        }
    }
    using Fd = Fmt<D>;
    using Fs = Fmt<S>;
    const ptrdiff_t dstep = Contiguous ? Fd::bytes : dstride * Fd::bytes;
    const ptrdiff_t sstep = Contiguous ? Fs::bytes : sstride * Fs::bytes;
    const auto each = [&](auto &&op) {
        unsigned char *d = dest;
        const unsigned char *s = src;
        for (size_t i = 0; i < count; ++i, d += dstep, s += sstep) {
            Fd::store(d, op(Fs::load(s)));
        }
    };

    if constexpr (D == S) {
        if (gain == 1.0f) {
            if constexpr (Contiguous) {
                std::memmove(dest, src, count * Fd::bytes);
            } else {
                const unsigned char *s = src;
                for (size_t i = 0; i < count; ++i, dest += dstep, s += sstep) {
                    std::memmove(dest, s, Fd::bytes);
                }
            }
            return;
        }
    }

    if constexpr (Fd::isFloat && Fs::isFloat) {
        each([gain](float v) { return v * gain; });
    } else if constexpr (Fd::isFloat) {
        // Integer to float divides by 2^(bits-1) exactly; 8 to 24-bit
        // values are exact in float, 32-bit ones go through double.
        if constexpr (Fs::bits <= 24) {
            const float scale = gain / static_cast<float>(int32_t{1} << (Fs::bits - 1));
            each([scale](int32_t v) { return static_cast<float>(v) * scale; });
        } else {
            const double scale = static_cast<double>(gain) / 2147483648.0;
            each([scale](int32_t v) { return static_cast<float>(static_cast<double>(v) * scale); });
        }
    } else if constexpr (Fs::isFloat) {
        if constexpr (Fd::bits <= 16) {
            const float scale = gain * static_cast<float>(int32_t{1} << (Fd::bits - 1));
            each([scale](float v) { return roundClipFloat<Fd::bits>(v * scale); });
        } else {
            const double scale = static_cast<double>(gain) * static_cast<double>(int64_t{1} << (Fd::bits - 1));
            each([scale](float v) { return roundClip<Fd::bits>(static_cast<double>(v) * scale); });
        }
    } else {
        if (gain == 1.0f) {
            if constexpr (Fd::bits >= Fs::bits) {
                constexpr int32_t factor = int32_t{1} << (Fd::bits - Fs::bits);
                each([](int32_t v) { return v * factor; });
            } else {
                // Drop the low bits rounding half up; only the top value can
                // then leave the range.
                constexpr int shift = Fs::bits - Fd::bits;
                each([](int32_t v) {
                    const int64_t r = (int64_t{v} + (int64_t{1} << (shift - 1))) >> shift;
                    return static_cast<int32_t>(std::min<int64_t>(r, kMaxInt<Fd::bits>));
                });
            }
        } else {
            const double scale = static_cast<double>(gain) *
                                 (static_cast<double>(int64_t{1} << (Fd::bits - 1)) /
                                  static_cast<double>(int64_t{1} << (Fs::bits - 1)));
            each([scale](int32_t v) { return roundClip<Fd::bits>(static_cast<double>(v) * scale); });
        }
    }
}

using ConvertFn = void (*)(unsigned char *, const unsigned char *, size_t, ptrdiff_t, ptrdiff_t,
                           float);

template <int D, int S>
constexpr std::array<ConvertFn, 2> kPair = {&convertLoop<D, S, false>, &convertLoop<D, S, true>};

template <int D, int... S>
constexpr std::array<std::array<ConvertFn, 2>, NUM_FORMATS> tableRow(std::integer_sequence<int, S...>)
{
    return {kPair<D, S + FIRST_FORMAT>...};
}

template <int... D>
constexpr auto makeTable(std::integer_sequence<int, D...>)
{
    return std::array<std::array<std::array<ConvertFn, 2>, NUM_FORMATS>, NUM_FORMATS>{
        tableRow<D + FIRST_FORMAT>(std::make_integer_sequence<int, NUM_FORMATS>{})...};
}

// [destination][source][contiguous]
constexpr auto kConvert = makeTable(std::make_integer_sequence<int, NUM_FORMATS>{});

bool isPcm(AURA_SOUND_FORMAT format)
{
    return format >= AURA_SOUND_FORMAT_PCM8 && format <= AURA_SOUND_FORMAT_PCMFLOAT;
}

} // namespace

AURA_RESULT DSPI::convert(void *dest, const void *source, AURA_SOUND_FORMAT destformat,
                          AURA_SOUND_FORMAT sourceformat, unsigned int count, int deststride,
                          int sourcestride, float gain)
{
    if (!dest || !source || !isPcm(destformat) || !isPcm(sourceformat) || deststride < 0 ||
        sourcestride < 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    deststride = std::max(deststride, 1);
    sourcestride = std::max(sourcestride, 1);
    const bool contiguous = deststride == 1 && sourcestride == 1;
    kConvert[destformat - FIRST_FORMAT][sourceformat - FIRST_FORMAT][contiguous ? 1 : 0](
        static_cast<unsigned char *>(dest), static_cast<const unsigned char *>(source), count,
        deststride, sourcestride, gain);
    return AURA_OK;
}

} // namespace AURA
