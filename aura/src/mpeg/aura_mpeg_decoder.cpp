#include "mpeg/aura_mpeg_decoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <mutex>

// Float8 values never cross a function boundary that is not inlined; GCC's
// note on their calling convention without AVX does not apply.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wpsabi"
#elif defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

// The hot loops are built for AVX2 as well and picked when the program
// loads. Thread-sanitizer builds keep one version: their instrumented
// resolver would run before the sanitizer's runtime is up.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define AURA_MPEG_NO_CLONES 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define AURA_MPEG_NO_CLONES 1
#endif
// Clang cannot combine the clones with flattening; its builds (the fuzz
// targets) keep one version too.
#if defined(__clang__)
#define AURA_MPEG_NO_CLONES 1
#endif
#if defined(AURA_MPEG_NO_CLONES)
#define AURA_MPEG_CLONES
#else
#define AURA_MPEG_CLONES __attribute__((target_clones("avx2", "default")))
#endif

namespace AURA {

namespace {

#include "mpeg/aura_mpeg_tables.inc"

constexpr double kPi = 3.14159265358979323846;

// Eight floats as one value: the hot loops keep their sums in registers
// this way (GCC and clang split it into halves where AVX is missing). The
// helpers are always inlined, so how such values would pass between
// functions does not matter.
using Float8 = float __attribute__((vector_size(32)));

[[gnu::always_inline]] inline Float8 load8(const float *p)
{
    Float8 v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

[[gnu::always_inline]] inline void store8(float *p, Float8 v)
{
    std::memcpy(p, &v, sizeof(v));
}

// ---------------------------------------------------------------------------
// Tables built once

struct Tables {
    alignas(16) float window[512]; // the synthesis window D[i]
    float pow43[8207]; // i^(4/3)
    float gain[640]; // 2^((i - 512) / 4)
    float aliasCs[8];
    float aliasCa[8];
    alignas(16) float imdctWindow[4][36];
    alignas(32) float dct18[18][24]; // DCT-IV of 18 points, [input][output], rows padded
    float dct6[6][6]; // DCT-IV of 6 points
    float isRatioMpeg1[7][2]; // MPEG-1 intensity positions 0-6: left, right
    float isRatioMpeg2[2][32][2]; // [intensity_scale][position]: left, right
    float layer2Scale[27][64];
    // First 8 bits of every Huffman table (32 big-value, 2 count1): the
    // leaf and its length, or the tree node to go on from after 8 bits.
    struct Lookup {
        int16_t entry; // leaf value, or node index into kHuffmanTrees
        uint8_t length; // bits taken by a leaf
        uint8_t node; // 1: go on from the node after 8 bits
    };
    Lookup huffman[34][256];
    uint8_t group3[27][3];
    uint8_t group5[125][3];
    uint8_t group9[729][3];
};

Tables gTables;
std::once_flag gTablesOnce;

constexpr float kLevelFactors[27] = {
    0.0f,           -2.0f / 3.0f,   2.0f / 3.0f,     2.0f / 7.0f,     2.0f / 15.0f,    2.0f / 31.0f,
    2.0f / 63.0f,   2.0f / 127.0f,  2.0f / 255.0f,   2.0f / 511.0f,   2.0f / 1023.0f,  2.0f / 2047.0f,
    2.0f / 4095.0f, 2.0f / 8191.0f, 2.0f / 16383.0f, 2.0f / 32767.0f, 2.0f / 65535.0f, -4.0f / 5.0f,
    -2.0f / 5.0f,   2.0f / 5.0f,    4.0f / 5.0f,     -8.0f / 9.0f,    -4.0f / 9.0f,    -2.0f / 9.0f,
    2.0f / 9.0f,    4.0f / 9.0f,    8.0f / 9.0f};
constexpr uint8_t kDigits3[3] = {1, 0, 2};
constexpr uint8_t kDigits5[5] = {17, 18, 0, 19, 20};
constexpr uint8_t kDigits9[9] = {21, 1, 22, 23, 0, 24, 25, 2, 26};

template <size_t N>
void makeGroups(uint8_t (*groups)[3], const uint8_t (&digits)[N])
{
    for (size_t code = 0; code < N * N * N; ++code) {
        groups[code][0] = digits[code % N];
        groups[code][1] = digits[(code / N) % N];
        groups[code][2] = digits[code / (N * N)];
    }
}

struct Tables;
void makeHuffmanLookups(Tables &t);

void makeTables()
{
    Tables &t = gTables;
    // The 257 coefficients cover D[0..256]; the sign of every second block
    // of 64 is inverted in them. The rest follows from D[512 - i] = -D[i],
    // except at multiples of 64 where it is +D[i].
    for (int i = 0; i <= 256; ++i) {
        const double value = kWindowCoefficients[i] / 65536.0;
        t.window[i] = static_cast<float>(((i / 64) & 1) ? -value : value);
    }
    for (int i = 257; i < 512; ++i) {
        const float mirrored = t.window[512 - i];
        t.window[i] = (i % 64 == 0) ? mirrored : -mirrored;
    }
    for (int i = 0; i < 8207; ++i) {
        t.pow43[i] = static_cast<float>(std::pow(static_cast<double>(i), 4.0 / 3.0));
    }
    for (int i = 0; i < 640; ++i) {
        t.gain[i] = static_cast<float>(std::pow(2.0, (i - 512) / 4.0));
    }
    for (int i = 0; i < 8; ++i) {
        const double ci = kAntialiasCi[i];
        const double root = std::sqrt(1.0 + ci * ci);
        t.aliasCs[i] = static_cast<float>(1.0 / root);
        t.aliasCa[i] = static_cast<float>(ci / root);
    }
    auto sine = [](double x) { return static_cast<float>(std::sin(x)); };
    for (int i = 0; i < 36; ++i) {
        t.imdctWindow[0][i] = sine(kPi / 36 * (i + 0.5));
    }
    for (int i = 0; i < 18; ++i) {
        t.imdctWindow[1][i] = sine(kPi / 36 * (i + 0.5));
        t.imdctWindow[3][i + 18] = sine(kPi / 36 * (i + 18 + 0.5));
    }
    for (int i = 18; i < 24; ++i) {
        t.imdctWindow[1][i] = 1.0f;
    }
    for (int i = 24; i < 30; ++i) {
        t.imdctWindow[1][i] = sine(kPi / 12 * (i - 18 + 0.5));
    }
    for (int i = 30; i < 36; ++i) {
        t.imdctWindow[1][i] = 0.0f;
    }
    for (int i = 0; i < 6; ++i) {
        t.imdctWindow[3][i] = 0.0f;
        t.imdctWindow[3][i + 6] = sine(kPi / 12 * (i + 0.5));
        t.imdctWindow[3][i + 12] = 1.0f;
    }
    for (int i = 0; i < 12; ++i) {
        t.imdctWindow[2][i] = sine(kPi / 12 * (i + 0.5));
    }
    for (int k = 0; k < 18; ++k) {
        for (int m = 0; m < 18; ++m) {
            t.dct18[k][m] = static_cast<float>(std::cos(kPi / 72 * (2 * m + 1) * (2 * k + 1)));
        }
        for (int m = 18; m < 24; ++m) {
            t.dct18[k][m] = 0.0f;
        }
    }
    makeHuffmanLookups(t);
    for (int m = 0; m < 6; ++m) {
        for (int k = 0; k < 6; ++k) {
            t.dct6[m][k] = static_cast<float>(std::cos(kPi / 24 * (2 * m + 1) * (2 * k + 1)));
        }
    }
    for (int i = 0; i < 7; ++i) {
        const double tangent = std::tan(i * kPi / 12);
        double divisor = 1.0 + tangent;
        if (divisor == 0.0) {
            divisor = 1.19209e-07;
        }
        t.isRatioMpeg1[i][0] = static_cast<float>(tangent / divisor);
        t.isRatioMpeg1[i][1] = static_cast<float>(1.0 / divisor);
    }
    // MPEG-2 positions run to 31 (5-bit scale factors); the same formula
    // covers them all.
    for (int j = 0; j < 2; ++j) {
        const double base = std::pow(2.0, -0.25 * (j + 1));
        for (int i = 0; i < 32; ++i) {
            double left = 1.0;
            double right = 1.0;
            if (i & 1) {
                left = std::pow(base, (i + 1) / 2);
            } else if (i) {
                right = std::pow(base, i / 2);
            }
            t.isRatioMpeg2[j][i][0] = static_cast<float>(left);
            t.isRatioMpeg2[j][i][1] = static_cast<float>(right);
        }
    }
    for (int k = 0; k < 27; ++k) {
        for (int i = 0; i < 63; ++i) {
            t.layer2Scale[k][i] = static_cast<float>(kLevelFactors[k] * std::pow(2.0, (3 - i) / 3.0));
        }
        t.layer2Scale[k][63] = 0.0f;
    }
    makeGroups(t.group3, kDigits3);
    makeGroups(t.group5, kDigits5);
    makeGroups(t.group9, kDigits9);
}

void makeHuffmanLookups(Tables &t)
{
    for (int table = 0; table < 34; ++table) {
        const int start = table < 32 ? kHuffmanTreeStart[table] : kCount1TreeStart[table - 32];
        for (int bits = 0; bits < 256; ++bits) {
            Tables::Lookup &lookup = t.huffman[table][bits];
            if (start < 0) {
                lookup = {0, 0, 0};
                continue;
            }
            int node = start;
            int used = 0;
            while (kHuffmanTrees[node] < 0 && used < 8) {
                node += ((bits >> (7 - used)) & 1) ? 1 - kHuffmanTrees[node] : 1;
                ++used;
            }
            if (kHuffmanTrees[node] >= 0) {
                lookup = {kHuffmanTrees[node], static_cast<uint8_t>(used), 0};
            } else {
                lookup = {static_cast<int16_t>(node), 8, 1};
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Bit reading, bounded: bits past the end read as zeros. The buffer must
// have 8 readable bytes past `end` (the decoder's buffers carry zero slack).

class BitReader {
public:
    BitReader(const uint8_t *data, size_t bytes)
        : mData(data)
        , mEndBits(bytes * 8)
    {
    }

    [[nodiscard]] size_t position() const { return mPos; }
    void setPosition(size_t bits) { mPos = bits; }
    [[nodiscard]] size_t end() const { return mEndBits; }

    // Up to 32 bits starting at the position, first bit highest. The
    // buffers are zero for 16 bytes past their end, so the 8-byte load
    // stays inside them and bits past the end read as zeros.
    [[nodiscard]] uint32_t peek32() const
    {
        if (mPos >= mEndBits) {
            return 0;
        }
        uint64_t word = 0;
        std::memcpy(&word, mData + (mPos >> 3), sizeof(word));
        word = __builtin_bswap64(word);
        return static_cast<uint32_t>((word << (mPos & 7)) >> 32);
    }
    // At least 57 bits starting at the position, first bit highest.
    [[nodiscard]] uint64_t peek64() const
    {
        if (mPos >= mEndBits) {
            return 0;
        }
        uint64_t word = 0;
        std::memcpy(&word, mData + (mPos >> 3), sizeof(word));
        return __builtin_bswap64(word) << (mPos & 7);
    }
    void skip(size_t bits) { mPos += bits; }
    // n <= 24 bits.
    uint32_t get(unsigned int n)
    {
        if (n == 0) {
            return 0;
        }
        const uint32_t value = peek32() >> (32 - n);
        mPos += n;
        return value;
    }
    uint32_t get1() { return get(1); }

private:
    const uint8_t *mData;
    size_t mEndBits;
    size_t mPos = 0;
};

// Walks a Huffman tree over up to 32 peeked bits.
inline int walkTree(const int16_t *tree, uint32_t bits, int *length, int used = 0)
{
    int node = 0;
    while (tree[node] < 0) {
        if (bits & 0x80000000u) {
            node += 1 - tree[node];
        } else {
            node += 1;
        }
        bits <<= 1;
        ++used;
    }
    *length = used;
    return tree[node];
}

// A code word of table `table` (32, 33: count1) through the 8-bit lookup.
inline int decodeHuffman(int table, uint32_t bits, int *length)
{
    const Tables::Lookup lookup = gTables.huffman[table][bits >> 24];
    if (!lookup.node) {
        *length = lookup.length;
        return lookup.entry;
    }
    return walkTree(kHuffmanTrees + lookup.entry, bits << 8, length, 8);
}

// ---------------------------------------------------------------------------
// Polyphase synthesis

// DCT-II of N points, unscaled: X[k] = sum x[n] cos(pi (2n + 1) k / 2N),
// by the even/odd split into two halves. T is a float, or eight floats
// when eight time slots are transformed at once.
template <int N, typename T>
struct Dct {
    [[gnu::always_inline]] static void run(const T *in, T *out)
    {
        constexpr int H = N / 2;
        T a[H];
        T b[H];
        for (int n = 0; n < H; ++n) {
            a[n] = in[n] + in[N - 1 - n];
            b[n] = (in[n] - in[N - 1 - n]) * kScale[n];
        }
        T ea[H];
        T eb[H];
        Dct<H, T>::run(a, ea);
        Dct<H, T>::run(b, eb);
        for (int k = 0; k < H; ++k) {
            out[2 * k] = ea[k];
        }
        for (int k = 0; k < H - 1; ++k) {
            out[2 * k + 1] = eb[k] + eb[k + 1];
        }
        out[N - 1] = eb[H - 1];
    }
    static inline const std::array<float, N / 2> kScale = [] {
        std::array<float, N / 2> s{};
        for (int n = 0; n < N / 2; ++n) {
            s[n] = static_cast<float>(1.0 / (2.0 * std::cos(kPi * (2 * n + 1) / (2.0 * N))));
        }
        return s;
    }();
};
template <typename T>
struct Dct<1, T> {
    [[gnu::always_inline]] static void run(const T *in, T *out) { out[0] = in[0]; }
};

using Int8 = int32_t __attribute__((vector_size(32)));

// Full scale is 32767; beyond it the sample clips, within it the value is
// rounded to the nearest step (ties to even). Adding and taking away 1.5 x
// 2^23 leaves a float of magnitude below 2^22 rounded to a whole number in
// the default rounding mode, lane by lane; the conversion that follows
// truncates only whole numbers. A plain conversion would truncate toward
// zero, half a step of bias.
[[gnu::always_inline]] inline Int8 toSamples(Float8 sum)
{
    constexpr Float8 lowest = {-32768.0f, -32768.0f, -32768.0f, -32768.0f, -32768.0f, -32768.0f, -32768.0f, -32768.0f};
    constexpr Float8 highest = {32767.0f, 32767.0f, 32767.0f, 32767.0f, 32767.0f, 32767.0f, 32767.0f, 32767.0f};
    constexpr float kRound = 12582912.0f;
    constexpr Float8 round = {kRound, kRound, kRound, kRound, kRound, kRound, kRound, kRound};
    Float8 scaled = sum * 32767.0f;
    scaled = scaled < lowest ? lowest : scaled;
    scaled = scaled > highest ? highest : scaled;
    scaled = (scaled + round) - round;
    return __builtin_convertvector(scaled, Int8);
}

using UInt8 = uint32_t __attribute__((vector_size(32)));
using Short8 = int16_t __attribute__((vector_size(16)));

// Lane i of the result is lane idx[i] of a:b (b's lanes numbered 8-15).
// The patterns used below are the in-lane unpacks and shuffles and the
// 128-bit half moves that AVX has single instructions for.
#define AURA_MPEG_SHUFFLE(a, b, ...) __builtin_shufflevector((a), (b), __VA_ARGS__)

// Transposes eight rows of eight floats in place.
[[gnu::always_inline]] inline void transpose8(Float8 (&r)[8])
{
    Float8 u[8];
    for (int i = 0; i < 8; i += 2) {
        u[i] = AURA_MPEG_SHUFFLE(r[i], r[i + 1], 0, 8, 1, 9, 4, 12, 5, 13);
        u[i + 1] = AURA_MPEG_SHUFFLE(r[i], r[i + 1], 2, 10, 3, 11, 6, 14, 7, 15);
    }
    Float8 v[8];
    for (int i = 0; i < 8; i += 4) {
        v[i] = AURA_MPEG_SHUFFLE(u[i], u[i + 2], 0, 1, 8, 9, 4, 5, 12, 13);
        v[i + 1] = AURA_MPEG_SHUFFLE(u[i], u[i + 2], 2, 3, 10, 11, 6, 7, 14, 15);
        v[i + 2] = AURA_MPEG_SHUFFLE(u[i + 1], u[i + 3], 0, 1, 8, 9, 4, 5, 12, 13);
        v[i + 3] = AURA_MPEG_SHUFFLE(u[i + 1], u[i + 3], 2, 3, 10, 11, 6, 7, 14, 15);
    }
    // v[0..3] hold rows 0-3 of columns {0,4}, {1,5}, {2,6}, {3,7} (in the
    // low and high halves); v[4..7] the same of rows 4-7.
    for (int k = 0; k < 4; ++k) {
        r[k] = AURA_MPEG_SHUFFLE(v[k], v[k + 4], 0, 1, 2, 3, 8, 9, 10, 11);
        r[k + 4] = AURA_MPEG_SHUFFLE(v[k], v[k + 4], 4, 5, 6, 7, 12, 13, 14, 15);
    }
}

[[gnu::always_inline]] inline Float8 reversed8(Float8 v)
{
    return __builtin_shufflevector(v, v, 7, 6, 5, 4, 3, 2, 1, 0);
}

// Windows the ring of one channel whose newest slot is `position` into 32
// PCM samples, four groups of eight.
[[gnu::always_inline]] inline void windowSlot(const float (*ring)[64], int position, Int8 (&pcm)[4])
{
    const float *window = gTables.window;
    Float8 s0 = {};
    Float8 s1 = {};
    Float8 s2 = {};
    Float8 s3 = {};
    for (int i = 0; i < 8; ++i) {
        const float *lo = ring[(position + 2 * i) & 15];
        const float *hi = ring[(position + 2 * i + 1) & 15] + 32;
        const float *w0 = window + 64 * i;
        const float *w1 = w0 + 32;
        s0 += load8(lo) * load8(w0) + load8(hi) * load8(w1);
        s1 += load8(lo + 8) * load8(w0 + 8) + load8(hi + 8) * load8(w1 + 8);
        s2 += load8(lo + 16) * load8(w0 + 16) + load8(hi + 16) * load8(w1 + 16);
        s3 += load8(lo + 24) * load8(w0 + 24) + load8(hi + 24) * load8(w1 + 24);
    }
    pcm[0] = toSamples(s0);
    pcm[1] = toSamples(s1);
    pcm[2] = toSamples(s2);
    pcm[3] = toSamples(s3);
}

// Stores the 32 samples of channel `c` of one slot: `frame` is where the
// slot's first sample frame starts, `stride` the samples per frame.
[[gnu::always_inline]] inline void storeSlot(const Int8 (&pcm)[4], int16_t *frame, int c, int channels, int stride)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (stride == 1) {
        for (int g = 0; g < 4; ++g) {
            const Short8 packed = __builtin_convertvector(pcm[g], Short8);
            std::memcpy(frame + 8 * g, &packed, sizeof(packed));
        }
        return;
    }
    if (stride == 2 && channels == 2) {
        // Both channels of a stereo frame fill the 32 sample frames, so
        // each 32-bit word is one sample frame: the low half channel 0,
        // the high half channel 1. The other channel's half is kept.
        const UInt8 keep = c == 0 ? UInt8{} + 0xFFFF0000u : UInt8{} + 0x0000FFFFu;
        const int shift = c == 0 ? 0 : 16;
        for (int g = 0; g < 4; ++g) {
            UInt8 words;
            std::memcpy(&words, frame + 16 * g, sizeof(words));
            words = (words & keep) | ((reinterpret_cast<const UInt8 &>(pcm[g]) & 0xFFFFu) << shift);
            std::memcpy(frame + 16 * g, &words, sizeof(words));
        }
        return;
    }
#else
    (void)channels;
#endif
    alignas(32) int32_t values[32];
    std::memcpy(values, pcm, sizeof(values));
    for (int j = 0; j < 32; ++j) {
        frame[j * stride + c] = static_cast<int16_t>(values[j]);
    }
}

// Runs the synthesis of `slots` time slots for every channel; `bands` holds
// slot t of channel c at bands[c * channelStride + t * 32]. Slot t goes into
// each channel's ring at the position before the newest minus t, and its PCM
// to out[(t * 32 + j) * stride + c]. The 32-point transforms of eight
// (channel, slot) pairs run at once, one per lane.
[[gnu::flatten]] AURA_MPEG_CLONES void synthSlots(MpegDecoderState *state, const float *bands, int channelStride,
                                                  int slots, int channels, int16_t *out, int stride)
{
    alignas(32) static const float kSilentRow[32] = {};
    const int start = state->mRingPosition;
    const int total = slots * channels;
    for (int first = 0; first < total; first += 8) {
        const int count = std::min(8, total - first);
        const float *rows[8];
        int channel[8];
        int slot[8];
        for (int j = 0; j < 8; ++j) {
            if (j < count) {
                channel[j] = (first + j) / slots;
                slot[j] = first + j - channel[j] * slots;
                rows[j] = bands + channel[j] * channelStride + slot[j] * 32;
            } else {
                rows[j] = kSilentRow;
            }
        }
        // Lane j of in[k] is sub-band k of pair j.
        Float8 in[32];
        for (int b = 0; b < 32; b += 8) {
            Float8 block[8];
            for (int j = 0; j < 8; ++j) {
                block[j] = load8(rows[j] + b);
            }
            transpose8(block);
            for (int k = 0; k < 8; ++k) {
                in[b + k] = block[k];
            }
        }
        Float8 x[32];
        Dct<32, Float8>::run(in, x);
        // Back to one row of 32 values per pair, with a zero after it.
        alignas(32) float lanes[8][40];
        for (int b = 0; b < 32; b += 8) {
            Float8 block[8];
            for (int k = 0; k < 8; ++k) {
                block[k] = x[b + k];
            }
            transpose8(block);
            for (int j = 0; j < 8; ++j) {
                store8(lanes[j] + b, block[j]);
            }
        }
        for (int j = 0; j < count; ++j) {
            float *row = lanes[j];
            row[32] = 0.0f;
            const int c = channel[j];
            const int t = slot[j];
            const int position = (start - 1 - t) & 15;
            float(*ring)[64] = state->mRing[c];
            float *v = ring[position];
            // The 64 matrixed values from the 32-point transform: 16-31,
            // a zero, 31-1 negated, 0-15 negated.
            store8(v, load8(row + 16));
            store8(v + 8, load8(row + 24));
            store8(v + 16, -reversed8(load8(row + 25)));
            store8(v + 24, -reversed8(load8(row + 17)));
            store8(v + 32, -reversed8(load8(row + 9)));
            store8(v + 40, -reversed8(load8(row + 1)));
            store8(v + 48, -load8(row));
            store8(v + 56, -load8(row + 8));
            v[16] = 0.0f;
            Int8 pcm[4];
            windowSlot(ring, position, pcm);
            storeSlot(pcm, out + t * 32 * stride, c, channels, stride);
        }
    }
    state->mRingPosition = (start - slots) & 15;
}

// ---------------------------------------------------------------------------
// Layer II

// Bits first bit highest from a frame body followed by at least 8 zero
// bytes; past the body every bit reads as zero.
struct Layer2Bits {
    const uint8_t *data;
    size_t end; // the body's bytes
    size_t position;
    // n <= 24 bits; 0 for n = 0.
    [[gnu::always_inline]] uint32_t get(unsigned int n)
    {
        uint64_t word = 0;
        std::memcpy(&word, data + std::min(position >> 3, end), sizeof(word));
        word = __builtin_bswap64(word) << (position & 7);
        position += n;
        return static_cast<uint32_t>((word >> 1) >> (63 - n));
    }
};

// Reads the allocations, scale factors and samples of one frame into its
// 36 slots of 32 sub-band samples per channel.
[[gnu::flatten]] AURA_MPEG_CLONES void readLayer2(const MpegHeader &h, Layer2Bits bits, float (*samples)[36][32])
{
    const Tables &t = gTables;
    const int channels = h.channels;
    const int sblimit = h.sblimit;
    const int bound = std::min(h.bound, sblimit);
    const int16_t(*alloc)[2] = kLayer2Alloc + kLayer2AllocStart[h.allocTable];

    // Per sub-band the first entry of its allocation group.
    const int16_t(*groups[32])[2] = {};
    {
        const int16_t(*g)[2] = alloc;
        for (int sb = 0; sb < sblimit; ++sb) {
            groups[sb] = g;
            g += 1 << g[0][0];
        }
    }
    uint8_t allocation[2][32] = {};
    uint8_t scfsi[2][32] = {};
    uint8_t scale[2][32][3] = {};
    for (int sb = 0; sb < sblimit; ++sb) {
        const int width = groups[sb][0][0];
        if (sb < bound) {
            for (int c = 0; c < channels; ++c) {
                allocation[c][sb] = static_cast<uint8_t>(bits.get(static_cast<unsigned int>(width)));
            }
        } else {
            allocation[0][sb] = static_cast<uint8_t>(bits.get(static_cast<unsigned int>(width)));
            allocation[1][sb] = allocation[0][sb];
        }
    }
    for (int sb = 0; sb < sblimit; ++sb) {
        for (int c = 0; c < channels; ++c) {
            if (allocation[c][sb]) {
                scfsi[c][sb] = static_cast<uint8_t>(bits.get(2));
            }
        }
    }
    for (int sb = 0; sb < sblimit; ++sb) {
        for (int c = 0; c < channels; ++c) {
            if (!allocation[c][sb]) {
                continue;
            }
            uint8_t *s = scale[c][sb];
            switch (scfsi[c][sb]) {
            case 0:
                s[0] = static_cast<uint8_t>(bits.get(6));
                s[1] = static_cast<uint8_t>(bits.get(6));
                s[2] = static_cast<uint8_t>(bits.get(6));
                break;
            case 1:
                s[0] = s[1] = static_cast<uint8_t>(bits.get(6));
                s[2] = static_cast<uint8_t>(bits.get(6));
                break;
            case 2: s[0] = s[1] = s[2] = static_cast<uint8_t>(bits.get(6)); break;
            default:
                s[0] = static_cast<uint8_t>(bits.get(6));
                s[1] = s[2] = static_cast<uint8_t>(bits.get(6));
                break;
            }
        }
    }

    // Per allocated (sub-band, channel) the quantization class read each
    // granule: its code width and its grouping (3, 5 or 9 levels in one
    // code) or, negative, the offset of its plain codes. Sub-bands from
    // the bound on read one set of codes for both channels.
    struct Class {
        const uint8_t (*digits)[3]; // grouped codes: the table of their levels, else null
        unsigned int lastCode; // the grouped code highest in the table
        int channels; // 2: the codes serve both channels
        int width;
        int offset; // plain codes: what is added to a code
        int scale[2][3]; // per channel served and part: the scale factor
        int out[2]; // per channel served: where its sub-band starts in `samples`
    };
    Class classes[64];
    int count = 0;
    for (int sb = 0; sb < sblimit; ++sb) {
        const int sharedChannels = sb < bound ? channels : 1;
        for (int c = 0; c < sharedChannels; ++c) {
            const int value = allocation[c][sb];
            if (!value) {
                continue;
            }
            const int16_t *entry = groups[sb][value];
            Class &q = classes[count++];
            q.width = entry[0];
            q.digits = entry[1] < 0 ? nullptr : entry[1] == 3 ? t.group3 : entry[1] == 5 ? t.group5 : t.group9;
            q.lastCode = entry[1] == 3 ? 26u : entry[1] == 5 ? 124u : 728u;
            q.offset = entry[1];
            q.channels = sb >= bound ? 2 : 1;
            for (int n = 0; n < q.channels; ++n) {
                for (int part = 0; part < 3; ++part) {
                    q.scale[n][part] = scale[c + n][sb][part];
                }
                q.out[n] = (c + n) * 36 * 32 + sb;
            }
        }
    }
    // Silent sub-bands stay zero in every slot.
    std::memset(samples, 0, sizeof(float) * 36 * 32 * static_cast<size_t>(channels));
    float *base = samples[0][0];
    for (int granule = 0; granule < 12; ++granule) {
        const int part = granule >> 2;
        float *slot0 = base + 3 * granule * 32;
        for (int k = 0; k < count; ++k) {
            const Class &q = classes[k];
            if (!q.digits) {
                float raw[3];
                for (int i = 0; i < 3; ++i) {
                    raw[i] = static_cast<float>(static_cast<int>(bits.get(static_cast<unsigned int>(q.width))) + q.offset);
                }
                for (int n = 0; n < q.channels; ++n) {
                    const float factor = t.layer2Scale[q.width][q.scale[n][part]];
                    float *out = slot0 + q.out[n];
                    out[0] = raw[0] * factor;
                    out[32] = raw[1] * factor;
                    out[64] = raw[2] * factor;
                }
            } else {
                const unsigned int code = bits.get(static_cast<unsigned int>(q.width));
                const uint8_t *rows = q.digits[std::min(code, q.lastCode)];
                for (int n = 0; n < q.channels; ++n) {
                    const int s = q.scale[n][part];
                    float *out = slot0 + q.out[n];
                    out[0] = t.layer2Scale[rows[0]][s];
                    out[32] = t.layer2Scale[rows[1]][s];
                    out[64] = t.layer2Scale[rows[2]][s];
                }
            }
        }
    }
}

AURA_RESULT decodeLayer2(MpegDecoderState *state, const MpegHeader &h, const uint8_t *body, int bodySize,
                         int16_t *out, int stride)
{
    uint8_t buffer[MPEG_MAX_FRAME_BODY + 16];
    std::memcpy(buffer, body, static_cast<size_t>(bodySize));
    std::memset(buffer + bodySize, 0, 16);
    // The whole frame is synthesized at once: the transforms then fill
    // every lane.
    alignas(32) float samples[2][36][32];
    readLayer2(h, Layer2Bits{buffer, static_cast<size_t>(bodySize), h.hasCrc ? 16u : 0u}, samples);
    synthSlots(state, &samples[0][0][0], 36 * 32, 36, h.channels, out, stride);
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// Layer III

struct GranuleInfo {
    int part23Length;
    int bigValues;
    int globalGain;
    int scalefacCompress;
    int windowSwitching;
    int blockType;
    int mixed;
    int tableSelect[3];
    int subblockGain[3];
    int region1Start; // lines
    int region2Start;
    int preflag;
    int scalefacScale;
    int count1Table;
    // Scale factors: long bands 0-21, short [band][window].
    int sfLong[22];
    int sfShort[13][3];
};

struct SideInfo {
    int mainDataBegin;
    int scfsi[2];
    GranuleInfo gr[2][2];
};

constexpr int sideInfoBytes(int lsf, int channels)
{
    return lsf ? (channels == 1 ? 9 : 17) : (channels == 1 ? 17 : 32);
}

AURA_RESULT readSideInfo(const MpegHeader &h, BitReader &bits, SideInfo *si)
{
    const int channels = h.channels;
    const int granules = h.lsf ? 1 : 2;
    if (h.lsf) {
        si->mainDataBegin = static_cast<int>(bits.get(8));
        bits.skip(channels == 1 ? 1 : 2);
    } else {
        si->mainDataBegin = static_cast<int>(bits.get(9));
        bits.skip(channels == 1 ? 5 : 3);
        for (int c = 0; c < channels; ++c) {
            si->scfsi[c] = static_cast<int>(bits.get(4));
        }
    }
    const uint16_t *longBands = kLongBands[h.samplingFrequency];
    for (int g = 0; g < granules; ++g) {
        for (int c = 0; c < channels; ++c) {
            GranuleInfo &gi = si->gr[g][c];
            gi.part23Length = static_cast<int>(bits.get(12));
            gi.bigValues = static_cast<int>(bits.get(9));
            if (gi.bigValues > 288) {
                return AURA_ERR_FILE_BAD;
            }
            gi.globalGain = static_cast<int>(bits.get(8));
            gi.scalefacCompress = static_cast<int>(bits.get(h.lsf ? 9 : 4));
            gi.windowSwitching = static_cast<int>(bits.get1());
            if (gi.windowSwitching) {
                gi.blockType = static_cast<int>(bits.get(2));
                gi.mixed = static_cast<int>(bits.get1());
                gi.tableSelect[0] = static_cast<int>(bits.get(5));
                gi.tableSelect[1] = static_cast<int>(bits.get(5));
                gi.tableSelect[2] = 0;
                for (int w = 0; w < 3; ++w) {
                    gi.subblockGain[w] = static_cast<int>(bits.get(3));
                }
                if (gi.blockType == 0) {
                    return AURA_ERR_FILE_BAD;
                }
                // Short blocks: region 0 is the first three short bands of
                // every window (72 lines at 8 kHz, where they are wider).
                if (gi.blockType == 2) {
                    gi.region1Start = 3 * kShortBands[h.samplingFrequency][3];
                } else if (!h.lsf) {
                    gi.region1Start = 36;
                } else {
                    gi.region1Start = h.samplingFrequency == 8 ? 108 : 54;
                }
                gi.region2Start = 576;
            } else {
                for (int i = 0; i < 3; ++i) {
                    gi.tableSelect[i] = static_cast<int>(bits.get(5));
                }
                const int r0 = static_cast<int>(bits.get(4));
                const int r1 = static_cast<int>(bits.get(3));
                gi.region1Start = longBands[std::min(r0 + 1, 22)];
                gi.region2Start = longBands[std::min(r0 + r1 + 2, 22)];
                gi.blockType = 0;
                gi.mixed = 0;
                gi.subblockGain[0] = gi.subblockGain[1] = gi.subblockGain[2] = 0;
            }
            gi.preflag = h.lsf ? 0 : static_cast<int>(bits.get1());
            gi.scalefacScale = static_cast<int>(bits.get1());
            gi.count1Table = static_cast<int>(bits.get1());
        }
    }
    return AURA_OK;
}

// The long bands a mixed block starts with.
inline int mixedLongBands(const MpegHeader &h)
{
    return h.lsf ? 6 : 8;
}

// MPEG-1 scale factors; returns the bits read.
int readScaleFactors1(BitReader &bits, GranuleInfo &gi, const GranuleInfo *first, int scfsi)
{
    const int slen0 = kSlen[0][gi.scalefacCompress];
    const int slen1 = kSlen[1][gi.scalefacCompress];
    const size_t start = bits.position();
    if (gi.blockType == 2) {
        int band = 0;
        if (gi.mixed) {
            for (int b = 0; b < 8; ++b) {
                gi.sfLong[b] = static_cast<int>(bits.get(slen0));
            }
            band = 3;
        }
        for (int b = band; b < 6; ++b) {
            for (int w = 0; w < 3; ++w) {
                gi.sfShort[b][w] = static_cast<int>(bits.get(slen0));
            }
        }
        for (int b = 6; b < 12; ++b) {
            for (int w = 0; w < 3; ++w) {
                gi.sfShort[b][w] = static_cast<int>(bits.get(slen1));
            }
        }
        gi.sfShort[12][0] = gi.sfShort[12][1] = gi.sfShort[12][2] = 0;
    } else {
        static constexpr int kGroups[5] = {0, 6, 11, 16, 21};
        for (int group = 0; group < 4; ++group) {
            const int slen = group < 2 ? slen0 : slen1;
            const bool reuse = first && (scfsi & (8 >> group));
            for (int b = kGroups[group]; b < kGroups[group + 1]; ++b) {
                gi.sfLong[b] = reuse ? first->sfLong[b] : static_cast<int>(bits.get(slen));
            }
        }
        gi.sfLong[21] = 0;
    }
    return static_cast<int>(bits.position() - start);
}

// MPEG-2/2.5 scale factors; returns the bits read. `isRight` for channel 1
// of an intensity-stereo frame. `isMax` receives per read value the
// largest value its width allows (for intensity positions).
int readScaleFactors2(const MpegHeader &h, BitReader &bits, GranuleInfo &gi, bool isRight)
{
    int slen[4] = {};
    int set = 0;
    int sfc = gi.scalefacCompress;
    if (isRight) {
        sfc >>= 1;
        if (sfc < 180) {
            slen[0] = sfc / 36;
            slen[1] = (sfc % 36) / 6;
            slen[2] = sfc % 6;
            set = 3;
        } else if (sfc < 244) {
            sfc -= 180;
            slen[0] = (sfc % 64) >> 4;
            slen[1] = (sfc % 16) >> 2;
            slen[2] = sfc % 4;
            set = 4;
        } else {
            sfc -= 244;
            slen[0] = sfc / 3;
            slen[1] = sfc % 3;
            set = 5;
        }
        gi.preflag = 0;
    } else if (sfc < 400) {
        slen[0] = (sfc >> 4) / 5;
        slen[1] = (sfc >> 4) % 5;
        slen[2] = (sfc % 16) >> 2;
        slen[3] = sfc % 4;
        set = 0;
        gi.preflag = 0;
    } else if (sfc < 500) {
        sfc -= 400;
        slen[0] = (sfc >> 2) / 5;
        slen[1] = (sfc >> 2) % 5;
        slen[2] = sfc % 4;
        set = 1;
        gi.preflag = 0;
    } else {
        sfc -= 500;
        slen[0] = sfc / 3;
        slen[1] = sfc % 3;
        set = 2;
        gi.preflag = 1;
    }
    const int kind = gi.blockType == 2 ? (gi.mixed ? 2 : 1) : 0;
    int values[40] = {};
    int n = 0;
    const size_t start = bits.position();
    for (int p = 0; p < 4; ++p) {
        for (int i = 0; i < kLsfPartitions[kind][set][p]; ++i) {
            values[n++] = static_cast<int>(bits.get(slen[p]));
        }
    }
    n = 0;
    if (kind == 0) {
        for (int b = 0; b < 21; ++b) {
            gi.sfLong[b] = values[n++];
        }
        gi.sfLong[21] = 0;
    } else {
        int band = 0;
        if (kind == 2) {
            for (int b = 0; b < mixedLongBands(h); ++b) {
                gi.sfLong[b] = values[n++];
            }
            band = 3;
        }
        for (int b = band; b < 12; ++b) {
            for (int w = 0; w < 3; ++w) {
                gi.sfShort[b][w] = values[n++];
            }
        }
        gi.sfShort[12][0] = gi.sfShort[12][1] = gi.sfShort[12][2] = 0;
    }
    return static_cast<int>(bits.position() - start);
}

// Fills the per-line gain of a granule (in decode order).
void granuleGains(const MpegHeader &h, const GranuleInfo &gi, float *gains)
{
    const float *gain = gTables.gain + 512;
    const int base = gi.globalGain - 210;
    const int shift = 1 + gi.scalefacScale;
    const uint16_t *longBands = kLongBands[h.samplingFrequency];
    const uint16_t *shortBands = kShortBands[h.samplingFrequency];
    auto clampGain = [&](int q) { return gain[std::clamp(q, -512, 127)]; };
    int line = 0;
    if (gi.blockType != 2 || gi.mixed) {
        const int longCount = gi.blockType == 2 ? mixedLongBands(h) : 22;
        for (int b = 0; b < longCount; ++b) {
            const int sf = gi.sfLong[b] + (gi.preflag ? kPretab[b] : 0);
            const float g = clampGain(base - (sf << shift));
            for (; line < longBands[b + 1]; ++line) {
                gains[line] = g;
            }
        }
    }
    if (gi.blockType == 2) {
        const int first = gi.mixed ? 3 : 0;
        line = 3 * shortBands[first];
        for (int b = first; b < 13; ++b) {
            const int width = shortBands[b + 1] - shortBands[b];
            for (int w = 0; w < 3; ++w) {
                const float g = clampGain(base - 8 * gi.subblockGain[w] - (gi.sfShort[b][w] << shift));
                for (int i = 0; i < width; ++i) {
                    gains[line++] = g;
                }
            }
        }
    }
}

// Huffman decoding and requantisation of one granule of one channel into
// `xr` (decode order). The reader stands at the start of the Huffman data;
// `end` is the granule's last bit. Returns the count of lines that may be
// non-zero.
int decodeSpectrum(const MpegHeader &h, const GranuleInfo &gi, BitReader &bits, size_t end, float *xr)
{
    alignas(16) float gains[576];
    granuleGains(h, gi, gains);
    const float *pow43 = gTables.pow43;
    const int bigLines = gi.bigValues * 2;
    const int regionEnds[3] = {std::min(gi.region1Start, bigLines), std::min(gi.region2Start, bigLines), bigLines};
    int line = 0;
    for (int region = 0; region < 3; ++region) {
        const int table = gi.tableSelect[region];
        const int treeStart = kHuffmanTreeStart[table];
        const int regionEnd = regionEnds[region];
        if (table == 0 || treeStart < 0) {
            for (; line < regionEnd; ++line) {
                xr[line] = 0.0f;
            }
            continue;
        }
        const unsigned int linbits = kHuffmanLinbits[table];
        const Tables::Lookup *lookup = gTables.huffman[table];
        static constexpr float kSign[2] = {1.0f, -1.0f};
        // One peek serves the code word, both linbits fields and both sign
        // bits: at most 19 + 2 * 14 bits.
        for (; line < regionEnd; line += 2) {
            uint64_t word = bits.peek64();
            const Tables::Lookup first = lookup[word >> 56];
            int used = first.length;
            int leaf = first.entry;
            if (first.node) {
                leaf = walkTree(kHuffmanTrees + first.entry, static_cast<uint32_t>((word << 8) >> 32), &used, 8);
            }
            word <<= used;
            unsigned int x = static_cast<unsigned int>(leaf) >> 4;
            unsigned int y = static_cast<unsigned int>(leaf) & 15;
            if (x == 15 && linbits) {
                x += static_cast<unsigned int>(word >> (64 - linbits));
                word <<= linbits;
                used += static_cast<int>(linbits);
            }
            const unsigned int hasX = x != 0;
            const unsigned int signX = static_cast<unsigned int>(word >> 63) & hasX;
            word <<= hasX;
            if (y == 15 && linbits) {
                y += static_cast<unsigned int>(word >> (64 - linbits));
                word <<= linbits;
                used += static_cast<int>(linbits);
            }
            const unsigned int hasY = y != 0;
            const unsigned int signY = static_cast<unsigned int>(word >> 63) & hasY;
            bits.skip(static_cast<size_t>(used) + hasX + hasY);
            xr[line] = pow43[x] * kSign[signX] * gains[line];
            xr[line + 1] = pow43[y] * kSign[signY] * gains[line + 1];
        }
    }
    // Count1 quadruples until the granule's bits are used up; a quadruple
    // that runs past them is not part of the data.
    while (line + 4 <= 576 && bits.position() < end) {
        uint32_t word = bits.peek32();
        int used = 0;
        const int leaf = decodeHuffman(32 + gi.count1Table, word, &used);
        word <<= used;
        float v[4];
        for (int i = 0; i < 4; ++i) {
            v[i] = 0.0f;
            if (leaf & (8 >> i)) {
                v[i] = (word & 0x80000000u) ? -gains[line + i] : gains[line + i];
                word <<= 1;
                ++used;
            }
        }
        bits.skip(static_cast<size_t>(used));
        if (bits.position() > end) {
            break;
        }
        for (int i = 0; i < 4; ++i) {
            xr[line + i] = v[i];
        }
        line += 4;
    }
    const int used = line;
    for (; line < 576; ++line) {
        xr[line] = 0.0f;
    }
    return used;
}

// Intensity and mid/side stereo over both channels' spectra (decode order).
// Lines from `lines` on are zero in both channels.
void stereo(const MpegHeader &h, const GranuleInfo &right, float (*xr)[576], bool ms, bool is, int lines)
{
    bool isLine[576] = {};
    const uint16_t *longBands = kLongBands[h.samplingFrequency];
    const uint16_t *shortBands = kShortBands[h.samplingFrequency];
    if (is) {
        const Tables &t = gTables;
        auto ratios = [&](int position, float *left, float *rightRatio) {
            if (h.lsf) {
                const int scale = right.scalefacCompress & 1;
                *left = t.isRatioMpeg2[scale][position & 31][0];
                *rightRatio = t.isRatioMpeg2[scale][position & 31][1];
            } else {
                *left = t.isRatioMpeg1[position][0];
                *rightRatio = t.isRatioMpeg1[position][1];
            }
        };
        auto apply = [&](int from, int to, int step, int position, float factor = 1.0f) {
            if (position == 7 || (!h.lsf && position > 7)) {
                return;
            }
            float l = 0.0f;
            float r = 0.0f;
            ratios(position, &l, &r);
            l *= factor;
            r *= factor;
            for (int i = from; i < to; i += step) {
                const float v = xr[0][i];
                xr[0][i] = v * l;
                xr[1][i] = v * r;
                isLine[i] = true;
            }
        };
        auto anyNonZero = [&](int from, int count) {
            for (int i = 0; i < count; ++i) {
                if (xr[1][from + i] != 0.0f) {
                    return true;
                }
            }
            return false;
        };
        // A mixed block's positions are taken from its scale factors in the
        // order they were read: short band b of window w from entry
        // 3b + w - 1, long band b from entry b. MPEG-1 reads 8 long factors,
        // so each band gets its own; MPEG-2 reads 6, and its short bands'
        // positions fall two entries later, as the reference decoders
        // place them.
        const int longCount = mixedLongBands(h);
        auto mixedEntry = [&](int i) {
            if (i < longCount) {
                return right.sfLong[i];
            }
            const int k = i - longCount;
            return k < 27 ? right.sfShort[3 + k / 3][k % 3] : 0;
        };
        if (right.blockType == 2) {
            const int first = right.mixed ? 3 : 0;
            int maxShort = -1; // highest non-zero band over the windows
            for (int w = 0; w < 3; ++w) {
                int highest = first - 1;
                for (int b = first; b < 13; ++b) {
                    const int width = shortBands[b + 1] - shortBands[b];
                    if (anyNonZero(3 * shortBands[b] + w * width, width)) {
                        highest = b;
                    }
                }
                maxShort = std::max(maxShort, highest);
                for (int b = highest + 1; b < 13; ++b) {
                    const int width = shortBands[b + 1] - shortBands[b];
                    const int from = 3 * shortBands[b] + w * width;
                    const int band = b < 12 ? b : 11;
                    const int position = right.mixed ? mixedEntry(3 * band + w - 1) : right.sfShort[band][w];
                    apply(from, from + width, 1, position);
                }
            }
            if (right.mixed && maxShort < 3) {
                int highest = -1;
                for (int b = 0; b < longCount; ++b) {
                    if (anyNonZero(longBands[b], longBands[b + 1] - longBands[b])) {
                        highest = b;
                    }
                }
                for (int b = highest + 1; b < longCount; ++b) {
                    apply(longBands[b], longBands[b + 1], 1, right.sfLong[b]);
                }
                // Long bands up to 7 are treated in every version. Past the
                // 6 long bands of MPEG-2 their lines lie in the short part,
                // counted there with the three windows interleaved, and are
                // treated a second time, as the reference decoders do.
                const int shortStart = 3 * shortBands[3];
                for (int b = std::max(highest + 1, longCount); b < 8; ++b) {
                    const int position = mixedEntry(b);
                    int band = 3;
                    for (int p = longBands[b]; p < longBands[b + 1]; ++p) {
                        int line = p;
                        if (p >= shortStart) {
                            while (shortStart + 3 * (shortBands[band + 1] - shortBands[3]) <= p) {
                                ++band;
                            }
                            const int start = shortStart + 3 * (shortBands[band] - shortBands[3]);
                            const int j = p - start;
                            line = start + (j % 3) * (shortBands[band + 1] - shortBands[band]) + j / 3;
                        }
                        // A line treated twice under mid/side keeps the
                        // mid/side gain the second ratio restores.
                        apply(line, line + 1, 1, position, ms && isLine[line] ? 1.41421356237309505f : 1.0f);
                    }
                }
            }
        } else {
            int highest = -1;
            for (int b = 0; b < 22; ++b) {
                if (anyNonZero(longBands[b], longBands[b + 1] - longBands[b])) {
                    highest = b;
                }
            }
            for (int b = highest + 1; b < 22; ++b) {
                apply(longBands[b], longBands[b + 1], 1, right.sfLong[b < 21 ? b : 20]);
            }
        }
    }
    constexpr float invSqrt2 = 0.70710678118654752f;
    if (ms && !is) {
        float *left = xr[0];
        float *rightLines = xr[1];
        for (int i = 0; i < lines; ++i) {
            const float m = left[i];
            const float s = rightLines[i];
            left[i] = (m + s) * invSqrt2;
            rightLines[i] = (m - s) * invSqrt2;
        }
    } else if (ms) {
        for (int i = 0; i < lines; ++i) {
            if (isLine[i]) {
                continue;
            }
            const float m = xr[0][i];
            const float s = xr[1][i];
            xr[0][i] = (m + s) * invSqrt2;
            xr[1][i] = (m - s) * invSqrt2;
        }
    }
}

// Short-block lines from decode order (band, window, line) to sub-band
// order with each window's six lines together: sb * 18 + window * 6 + k.
void reorder(const MpegHeader &h, const GranuleInfo &gi, float *xr)
{
    const uint16_t *shortBands = kShortBands[h.samplingFrequency];
    alignas(16) float copy[576];
    const int first = gi.mixed ? 3 : 0;
    const int start = 3 * shortBands[first];
    std::memcpy(copy + start, xr + start, sizeof(float) * static_cast<size_t>(576 - start));
    if (gi.mixed) {
        // The long part of a mixed block is two sub-bands (36 lines), yet
        // at 8 kHz the short bands start only at line 72: the lines between
        // come with the long bands' gains but are short values of sub-bands
        // 2 and 3, the three windows interleaved.
        alignas(16) float between[36];
        const int count = start - 36;
        std::memcpy(between, xr + 36, sizeof(float) * static_cast<size_t>(count));
        for (int j = 0; j < count; ++j) {
            const int f = 12 + j / 3;
            xr[(f / 6) * 18 + (j % 3) * 6 + f % 6] = between[j];
        }
    }
    for (int b = first; b < 13; ++b) {
        const int width = shortBands[b + 1] - shortBands[b];
        for (int w = 0; w < 3; ++w) {
            const int from = 3 * shortBands[b] + w * width;
            for (int k = 0; k < width; ++k) {
                const int f = shortBands[b] + k;
                xr[(f / 6) * 18 + w * 6 + f % 6] = copy[from + k];
            }
        }
    }
}

void antialias(float *xr, int boundaries)
{
    const float *cs = gTables.aliasCs;
    const float *ca = gTables.aliasCa;
    for (int sb = 1; sb <= boundaries; ++sb) {
        float *lower = xr + sb * 18 - 1;
        float *upper = xr + sb * 18;
        for (int i = 0; i < 8; ++i) {
            const float lo = lower[-i];
            const float up = upper[i];
            lower[-i] = lo * cs[i] - up * ca[i];
            upper[i] = up * cs[i] + lo * ca[i];
        }
    }
}

// 36-point inverse MDCT of 18 lines, windowed and overlapped; writes 18
// time samples of one sub-band at out[t * 32].
void imdct36(const float *in, float *overlap, const float *window, float *out)
{
    // Accumulated input by input over all outputs at once, so the inner
    // loop runs over contiguous outputs.
    const auto &c = gTables.dct18;
    Float8 y0 = {};
    Float8 y1 = {};
    Float8 y2 = {};
    for (int k = 0; k < 18; ++k) {
        const float v = in[k];
        y0 += load8(c[k]) * v;
        y1 += load8(c[k] + 8) * v;
        y2 += load8(c[k] + 16) * v;
    }
    alignas(32) float y[24];
    store8(y, y0);
    store8(y + 8, y1);
    store8(y + 16, y2);
    float x[36];
    for (int i = 0; i < 9; ++i) {
        x[i] = y[i + 9];
    }
    for (int i = 9; i < 27; ++i) {
        x[i] = -y[26 - i];
    }
    for (int i = 27; i < 36; ++i) {
        x[i] = -y[i - 27];
    }
    for (int i = 0; i < 18; ++i) {
        out[i * 32] = x[i] * window[i] + overlap[i * 32];
        overlap[i * 32] = x[i + 18] * window[i + 18];
    }
}

void imdct12(const float *in, float *overlap, float *out)
{
    const auto &c = gTables.dct6;
    const float *window = gTables.imdctWindow[2];
    float x[36] = {};
    for (int w = 0; w < 3; ++w) {
        const float *src = in + w * 6;
        float y[6];
        for (int m = 0; m < 6; ++m) {
            float s = 0.0f;
            for (int k = 0; k < 6; ++k) {
                s += c[m][k] * src[k];
            }
            y[m] = s;
        }
        float z[12];
        for (int i = 0; i < 3; ++i) {
            z[i] = y[i + 3];
        }
        for (int i = 3; i < 9; ++i) {
            z[i] = -y[8 - i];
        }
        for (int i = 9; i < 12; ++i) {
            z[i] = -y[i - 9];
        }
        for (int i = 0; i < 12; ++i) {
            x[6 + w * 6 + i] += z[i] * window[i];
        }
    }
    for (int i = 0; i < 18; ++i) {
        out[i * 32] = x[i] + overlap[i * 32];
        overlap[i * 32] = x[i + 18];
    }
}

// The long-block transform of sub-bands sb..sb+7 at once, one per lane:
// 36-point inverse MDCTs of their 18 lines in `xr` (sub-band order),
// windowed, overlapped and frequency-inverted into out[t * 32 + sb].
[[gnu::always_inline]] inline void imdct36x8(const float *xr, int sb, const float *window, float (*overlap)[32],
                                             float *out)
{
    const auto &c = gTables.dct18;
    Float8 in[18];
    for (int k = 0; k < 18; ++k) {
        Float8 v;
        for (int j = 0; j < 8; ++j) {
            v[j] = xr[(sb + j) * 18 + k];
        }
        in[k] = v;
    }
    Float8 y[18];
    for (int m = 0; m < 18; ++m) {
        Float8 sum = {};
        for (int k = 0; k < 18; ++k) {
            sum += in[k] * c[k][m];
        }
        y[m] = sum;
    }
    // Odd sub-bands (odd lanes) have every odd time sample negated.
    constexpr Float8 inversion = {1.0f, -1.0f, 1.0f, -1.0f, 1.0f, -1.0f, 1.0f, -1.0f};
    for (int i = 0; i < 18; ++i) {
        const Float8 x = i < 9 ? y[i + 9] : -y[26 - i];
        const Float8 o = x * window[i] + load8(overlap[i] + sb);
        store8(out + i * 32 + sb, (i & 1) ? o * inversion : o);
    }
    for (int i = 18; i < 36; ++i) {
        const Float8 x = i < 27 ? -y[26 - i] : -y[i - 27];
        store8(overlap[i - 18] + sb, x * window[i]);
    }
}

// The hybrid filter bank of one channel: 576 lines (sub-band order) into
// 18 slots of 32 sub-band samples. `overlap` is kept slot by slot.
[[gnu::flatten]] AURA_MPEG_CLONES void hybrid(const GranuleInfo &gi, float *xr, float (*overlap)[32], int subbands,
                                              float *out)
{
    const Tables &t = gTables;
    int sb = 0;
    if (gi.blockType == 2) {
        for (; sb < subbands; ++sb) {
            const float *in = xr + sb * 18;
            float *o = out + sb;
            if (gi.mixed && sb < 2) {
                imdct36(in, &overlap[0][sb], t.imdctWindow[0], o);
            } else {
                imdct12(in, &overlap[0][sb], o);
            }
            if (sb & 1) {
                for (int i = 1; i < 18; i += 2) {
                    o[i * 32] = -o[i * 32];
                }
            }
        }
    } else {
        // Lanes past `subbands` hold zero lines: they give the overlap
        // alone, as the silent sub-bands below do.
        for (; sb < subbands; sb += 8) {
            imdct36x8(xr, sb, t.imdctWindow[gi.blockType], overlap, out);
        }
    }
    for (int i = 0; i < 18; ++i) {
        for (int b = sb; b < 32; ++b) {
            out[i * 32 + b] = (b & i & 1) ? -overlap[i][b] : overlap[i][b];
            overlap[i][b] = 0.0f;
        }
    }
}

AURA_RESULT decodeLayer3(MpegDecoderState *state, const MpegHeader &h, const uint8_t *body, int bodySize, int16_t *out,
                         int stride)
{
    const int channels = h.channels;
    const int granules = h.lsf ? 1 : 2;
    const int crcBytes = h.hasCrc ? 2 : 0;
    const int sideBytes = sideInfoBytes(h.lsf, channels);

    SideInfo si{};
    AURA_RESULT result = AURA_OK;
    {
        uint8_t side[40] = {};
        const int available = std::clamp(bodySize - crcBytes, 0, sideBytes);
        std::memcpy(side, body + crcBytes, static_cast<size_t>(available));
        BitReader bits(side, static_cast<size_t>(available));
        result = readSideInfo(h, bits, &si);
    }

    // The main data: the reservoir kept from earlier frames, then this
    // frame's bytes after the side information.
    const int mainBytes = std::max(0, bodySize - crcBytes - sideBytes);
    int reservoir = state->mReservoirBytes;
    uint8_t *main = state->mMainData;
    std::memcpy(main + reservoir, body + crcBytes + sideBytes, static_cast<size_t>(mainBytes));
    const int total = reservoir + mainBytes;
    std::memset(main + total, 0, 16);
    const bool haveData = result == AURA_OK && si.mainDataBegin <= reservoir;
    const int begin = reservoir - si.mainDataBegin;

    alignas(16) float xr[2][576];
    // The sub-band samples of both granules, synthesized together.
    alignas(16) float slots[2][2 * 576];
    for (int g = 0; g < granules; ++g) {
        int used[2] = {0, 0};
        if (haveData) {
            BitReader bits(main, static_cast<size_t>(total));
            size_t position = static_cast<size_t>(begin) * 8;
            if (g == 1) {
                for (int c = 0; c < channels; ++c) {
                    position += static_cast<size_t>(si.gr[0][c].part23Length);
                }
            }
            const bool ms = h.mode == 1 && (h.modeExtension & 2);
            const bool is = h.mode == 1 && (h.modeExtension & 1);
            for (int c = 0; c < channels; ++c) {
                GranuleInfo &gi = si.gr[g][c];
                bits.setPosition(position);
                const size_t end = position + static_cast<size_t>(gi.part23Length);
                // The Huffman data follows the scale factors; its end is
                // the granule's, whatever the scale factors took.
                if (h.lsf) {
                    (void)readScaleFactors2(h, bits, gi, is && c == 1);
                } else {
                    (void)readScaleFactors1(bits, gi, g == 1 ? &si.gr[0][c] : nullptr, g == 1 ? si.scfsi[c] : 0);
                }
                used[c] = decodeSpectrum(h, gi, bits, end, xr[c]);
                position = end;
            }
            if (channels == 2 && (ms || is)) {
                used[0] = used[1] = std::max(used[0], used[1]);
                stereo(h, si.gr[g][1], xr, ms, is, used[0]);
            }
        } else {
            std::memset(xr, 0, sizeof(xr));
        }
        for (int c = 0; c < channels; ++c) {
            const GranuleInfo &gi = si.gr[g][c];
            int subbands = (used[c] + 17) / 18;
            if (gi.blockType == 2 && haveData) {
                reorder(h, gi, xr[c]);
                subbands = 32;
                if (gi.mixed) {
                    antialias(xr[c], 1);
                }
            } else if (haveData) {
                antialias(xr[c], std::min(subbands, 31));
                subbands = std::min(32, subbands + 1);
            }
            // Trim sub-bands that ended up silent.
            while (subbands > 0) {
                const float *p = xr[c] + (subbands - 1) * 18;
                bool silent = true;
                for (int i = 0; i < 18; ++i) {
                    silent = silent && p[i] == 0.0f;
                }
                if (!silent) {
                    break;
                }
                --subbands;
            }
            hybrid(haveData ? gi : GranuleInfo{}, xr[c], state->mOverlap[c], subbands, slots[c] + g * 576);
        }
    }
    synthSlots(state, &slots[0][0], 2 * 576, 18 * granules, channels, out, stride);

    // Keep the last bytes as the next frame's reservoir.
    const int keep = std::min(total, 511);
    std::memmove(main, main + total - keep, static_cast<size_t>(keep));
    state->mReservoirBytes = keep;
    return result;
}

// Layer II table choice for MPEG-1 by frequency and bit rate per channel.
int layer2Table(const MpegHeader &h, int bitrate)
{
    if (h.lsf) {
        return 4;
    }
    const int perChannel = bitrate / h.channels;
    const int frequency = h.frequency;
    if ((frequency == 48000 && perChannel >= 56) || (perChannel >= 56 && perChannel <= 80)) {
        return 0;
    }
    if (frequency != 48000 && perChannel >= 96) {
        return 1;
    }
    if (frequency != 32000 && perChannel <= 48) {
        return 2;
    }
    return 3;
}

} // namespace

void initAll()
{
    std::call_once(gTablesOnce, makeTables);
}

AURA_RESULT decodeHeader(uint32_t raw, unsigned int options, MpegHeader *header)
{
    MpegHeader h;
    h.raw = raw;
    if ((raw & 0xFFE00000u) != 0xFFE00000u) {
        return AURA_ERR_FORMAT;
    }
    if (!(raw & (1u << 20))) {
        if (raw & (1u << 19)) {
            return AURA_ERR_FORMAT;
        }
        h.lsf = 1;
        h.isMpeg25 = 1;
    } else {
        h.lsf = (raw & (1u << 19)) ? 0 : 1;
    }
    h.layer = 4 - static_cast<int>((raw >> 17) & 3);
    if (h.layer != 2 && h.layer != 3) {
        return AURA_ERR_FORMAT;
    }
    h.hasCrc = (raw & (1u << 16)) ? 0 : 1;
    h.bitrateIndex = static_cast<int>((raw >> 12) & 15);
    const int samplingIndex = static_cast<int>((raw >> 10) & 3);
    if (samplingIndex == 3 || h.bitrateIndex == 0 || h.bitrateIndex == 15) {
        return AURA_ERR_FORMAT;
    }
    h.samplingFrequency = h.isMpeg25 ? samplingIndex + 6 : samplingIndex + 3 * h.lsf;
    h.frequency = kFrequencies[h.samplingFrequency];
    h.padding = static_cast<int>((raw >> 9) & 1);
    h.mode = static_cast<int>((raw >> 6) & 3);
    h.modeExtension = static_cast<int>((raw >> 4) & 3);
    h.channels = h.mode == 3 ? 1 : 2;
    const int bitrate = kBitrates[h.lsf][h.layer - 1][h.bitrateIndex];
    if (h.layer == 2) {
        // The rate and mode combinations MPEG-1 forbids; the lower
        // frequencies allow every rate in every mode.
        if (!h.lsf && !(options & MPEG_HEADER_CONTAINER)) {
            if (h.mode != 3 && (bitrate == 32 || bitrate == 48 || bitrate == 56 || bitrate == 80)) {
                return AURA_ERR_FORMAT;
            }
            if (h.mode == 3 && bitrate > 223) {
                return AURA_ERR_FORMAT;
            }
        }
        if (h.mode != 1 && h.modeExtension != 0) {
            return AURA_ERR_FORMAT;
        }
        h.allocTable = layer2Table(h, bitrate);
        h.sblimit = kLayer2Sblimit[h.allocTable];
        h.bound = h.mode == 1 ? std::min(4 * h.modeExtension + 4, h.sblimit) : h.sblimit;
        h.bodySize = bitrate * 144000 / h.frequency + h.padding - 4;
    } else {
        h.bodySize = bitrate * 144000 / (h.frequency << h.lsf) + h.padding - 4;
    }
    if (h.bodySize < 16 || h.bodySize > static_cast<int>(MPEG_MAX_FRAME_BODY)) {
        return AURA_ERR_FORMAT;
    }
    *header = h;
    return AURA_OK;
}

AURA_RESULT decodeXingHeader(const uint8_t *frame, unsigned int size, const MpegHeader &header, uint8_t toc[100],
                             bool *hastoc, uint32_t *frames)
{
    *hastoc = false;
    *frames = 0;
    if (header.layer != 3) {
        return AURA_ERR_FORMAT;
    }
    unsigned int at = 4 + static_cast<unsigned int>(sideInfoBytes(header.lsf, header.channels));
    auto fits = [&](unsigned int bytes) { return at + bytes <= size; };
    if (!fits(8) || std::memcmp(frame + at, "Xing", 4) != 0) {
        return AURA_ERR_FORMAT;
    }
    const uint8_t flags = frame[at + 7];
    at += 8;
    auto be32 = [&](unsigned int p) {
        return static_cast<uint32_t>(frame[p]) << 24 | static_cast<uint32_t>(frame[p + 1]) << 16 |
               static_cast<uint32_t>(frame[p + 2]) << 8 | frame[p + 3];
    };
    if (flags & 1) {
        if (!fits(4)) {
            return AURA_OK;
        }
        *frames = be32(at);
        at += 4;
    }
    if (flags & 2) {
        at += 4;
    }
    if ((flags & 4) && fits(100)) {
        std::memcpy(toc, frame + at, 100);
        *hastoc = true;
    }
    return AURA_OK;
}

void resetDecoder(MpegDecoderState *state)
{
    std::memset(state, 0, sizeof(*state));
    state->mRingPosition = 1;
}

AURA_RESULT decodeFrame(MpegDecoderState *state, const MpegHeader &header, const uint8_t *frame, unsigned int size,
                        int16_t *out, int stride, unsigned int *produced)
{
    initAll();
    const int samples = header.samplesPerFrame();
    const int channels = header.channels;
    const unsigned int bytes = static_cast<unsigned int>(samples * channels * 2);
    if (produced) {
        *produced = 0;
    }
    if (size < 4 || !out) {
        return AURA_ERR_INVALID_PARAM;
    }
    const int bodySize = std::min(static_cast<int>(size) - 4, header.bodySize);
    AURA_RESULT result = AURA_OK;
    if (header.layer == 2) {
        result = decodeLayer2(state, header, frame + 4, std::max(bodySize, 0), out, stride);
    } else {
        result = decodeLayer3(state, header, frame + 4, bodySize, out, stride);
    }
    if (produced) {
        *produced = bytes;
    }
    return result;
}

namespace mpeg_detail {
int decodeCodeWord(int table, uint32_t bits, int *length)
{
    initAll();
    const int start = table < 32 ? kHuffmanTreeStart[table] : kCount1TreeStart[table - 32];
    if (start < 0) {
        *length = 0;
        return -1;
    }
    return decodeHuffman(table, bits, length);
}
} // namespace mpeg_detail

} // namespace AURA
