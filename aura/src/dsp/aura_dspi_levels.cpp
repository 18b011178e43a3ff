// Level matrices of connections and channels, and the peak meter that the
// profiler reads.
#include "dsp/aura_dspi.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>

namespace AURA {

namespace {

// Where a matrix entry takes its value from: one of the eight given levels,
// or one of the mixed values a speaker mode derives from them first.
enum Src : uint8_t {
    FL, FR, C, LFE, BL, BR, SL, SR,
    X0, X1, X2, X3, X4, X5,
    SRC_COUNT
};

// matrix[row][col] = coef x value[src]
struct Term {
    uint8_t row;
    uint8_t col;
    float coef;
    uint8_t src;
};

// The input layouts every multichannel mode knows.
enum Layout { IN1, IN2, IN4, IN6, IN6_PROTOOLS, IN8, LAYOUT_COUNT };

using Table = std::span<const Term>;

// Stereo (and the linear-pan stereo mode). X0, X1: the mono-input left and
// right mixes.
constexpr Term kStereo1[] = {{0, 0, 1, X0}, {1, 0, 1, X1}};
constexpr Term kStereo2[] = {{0, 0, 1, X0}, {1, 1, 1, X1}};
constexpr Term kStereo4[] = {{0, 0, 1, FL}, {0, 2, 0.5f, BL}, {1, 1, 1, FR}, {1, 3, 0.5f, BR}};
constexpr Term kStereo6[] = {
    {0, 0, 1, FL}, {0, 2, 0.5f, C}, {0, 3, 0.5f, LFE}, {0, 4, 0.5f, BL},
    {1, 1, 1, FR}, {1, 2, 0.5f, C}, {1, 3, 0.5f, LFE}, {1, 5, 0.5f, BR}};
constexpr Term kStereo6P[] = {
    {0, 0, 1, FL}, {0, 1, 0.5f, C}, {0, 3, 0.5f, BL}, {0, 5, 0.5f, LFE},
    {1, 1, 0.5f, C}, {1, 2, 1, FR}, {1, 4, 0.5f, BR}, {1, 5, 0.5f, LFE}};
constexpr Term kStereo8[] = {
    {0, 0, 1, FL}, {0, 2, 0.5f, C}, {0, 3, 0.5f, LFE}, {0, 4, 0.5f, BL}, {0, 6, 0.75f, SL},
    {1, 1, 1, FR}, {1, 2, 0.5f, C}, {1, 3, 0.5f, LFE}, {1, 5, 0.5f, BR}, {1, 7, 0.75f, SR}};

// Matrix-encoded surround on two rows; the values are already squared
// (LFE excepted). X0..X5: the mixes of the one- and two-channel inputs.
constexpr Term kProLogic1[] = {{0, 0, 1, X0}, {1, 0, 1, X1}};
constexpr Term kProLogic2[] = {{0, 0, 1, X2}, {0, 1, 1, X3}, {1, 0, 1, X4}, {1, 1, 1, X5}};
constexpr Term kProLogic4[] = {{0, 0, 1, FL}, {0, 2, 0.5f, BL}, {1, 1, 1, FR}, {1, 3, 0.5f, BR}};
constexpr Term kProLogic6[] = {
    {0, 0, 1, FL}, {0, 2, 0.5f, C}, {0, 3, 0.5f, LFE}, {0, 4, 1, BL},
    {1, 1, 1, FR}, {1, 2, 0.5f, C}, {1, 3, 0.5f, LFE}, {1, 5, 1, BR}};
constexpr Term kProLogic6P[] = {
    {0, 0, 1, FL}, {0, 1, 0.5f, C}, {0, 3, 1, BL}, {0, 5, 0.5f, LFE},
    {1, 1, 0.5f, C}, {1, 2, 1, FR}, {1, 4, 1, BR}, {1, 5, 0.5f, LFE}};

// Quad: rows FL, FR, BL, BR. X0 = FL + C, X1 = FR + C.
constexpr Term kQuad1[] = {{0, 0, 1, X0}, {1, 0, 1, X1}, {2, 0, 1, BL}, {3, 0, 1, BR}};
constexpr Term kQuad2[] = {{0, 0, 1, FL}, {1, 1, 1, FR}, {2, 0, 1, BL}, {3, 1, 1, BR}};
constexpr Term kQuad4[] = {{0, 0, 1, FL}, {1, 1, 1, FR}, {2, 2, 0.5f, BL}, {3, 3, 0.5f, BR}};
constexpr Term kQuad6[] = {
    {0, 0, 1, FL}, {0, 2, 0.5f, C}, {0, 3, 0.25f, LFE},
    {1, 1, 1, FR}, {1, 2, 0.5f, C}, {1, 3, 0.25f, LFE},
    {2, 3, 0.25f, LFE}, {2, 4, 1, BL},
    {3, 3, 0.25f, LFE}, {3, 5, 1, BR}};
constexpr Term kQuad6P[] = {
    {0, 0, 1, FL}, {0, 1, 0.5f, C}, {0, 5, 0.25f, LFE},
    {1, 1, 0.5f, C}, {1, 2, 1, FR}, {1, 5, 0.25f, LFE},
    {2, 3, 1, BL}, {2, 5, 0.25f, LFE},
    {3, 4, 1, BR}, {3, 5, 0.25f, LFE}};
constexpr Term kQuad8[] = {
    {0, 0, 1, FL}, {0, 2, 0.5f, C}, {0, 3, 0.25f, LFE}, {0, 6, 0.5f, SL},
    {1, 1, 1, FR}, {1, 2, 0.5f, C}, {1, 3, 0.25f, LFE}, {1, 7, 0.5f, SR},
    {2, 3, 0.25f, LFE}, {2, 4, 1, BL}, {2, 6, 0.5f, SL},
    {3, 3, 0.25f, LFE}, {3, 5, 1, BR}, {3, 7, 0.5f, SR}};

// Surround: rows FL, FR, C, BL, BR.
constexpr Term kSurround1[] = {{0, 0, 1, FL}, {1, 0, 1, FR}, {2, 0, 1, C}, {3, 0, 1, BL}, {4, 0, 1, BR}};
constexpr Term kSurround2[] = {
    {0, 0, 1, FL}, {1, 1, 1, FR}, {2, 0, 0.5f, C}, {2, 1, 0.5f, C}, {3, 0, 1, BL}, {4, 1, 1, BR}};
constexpr Term kSurround4[] = {
    {0, 0, 1, FL}, {1, 1, 1, FR}, {2, 0, 0.5f, C}, {2, 1, 0.5f, C}, {3, 2, 1, BL}, {4, 3, 1, BR}};
constexpr Term kSurround6[] = {{0, 0, 1, FL}, {1, 1, 1, FR}, {2, 2, 1, C}, {3, 4, 1, BL}, {4, 5, 1, BR}};
constexpr Term kSurround6P[] = {{0, 0, 1, FL}, {1, 2, 1, FR}, {2, 1, 1, C}, {3, 3, 1, BL}, {4, 4, 1, BR}};
constexpr Term kSurround8[] = {
    {0, 0, 1, FL}, {0, 6, 0.5f, SL}, {1, 1, 1, FR}, {1, 7, 0.5f, SR}, {2, 2, 1, C},
    {3, 4, 1, BL}, {3, 6, 0.5f, SL}, {4, 5, 1, BR}, {4, 7, 0.5f, SR}};

// 5.1: rows FL, FR, C, LFE, BL, BR.
constexpr Term k51_1[] = {
    {0, 0, 1, FL}, {1, 0, 1, FR}, {2, 0, 1, C}, {3, 0, 1, LFE}, {4, 0, 1, BL}, {5, 0, 1, BR}};
constexpr Term k51_2[] = {
    {0, 0, 1, FL}, {1, 1, 1, FR}, {2, 0, 0.5f, C}, {2, 1, 0.5f, C},
    {3, 0, 0.5f, LFE}, {3, 1, 0.5f, LFE}, {4, 0, 1, BL}, {5, 1, 1, BR}};
constexpr Term k51_4[] = {
    {0, 0, 1, FL}, {1, 1, 1, FR}, {2, 0, 0.5f, C}, {2, 1, 0.5f, C},
    {3, 0, 0.5f, LFE}, {3, 1, 0.5f, LFE}, {4, 2, 1, BL}, {5, 3, 1, BR}};
constexpr Term k51_6[] = {
    {0, 0, 1, FL}, {1, 1, 1, FR}, {2, 2, 1, C}, {3, 3, 1, LFE}, {4, 4, 1, BL}, {5, 5, 1, BR}};
constexpr Term k51_6P[] = {
    {0, 0, 1, FL}, {1, 2, 1, FR}, {2, 1, 1, C}, {3, 5, 1, LFE}, {4, 3, 1, BL}, {5, 4, 1, BR}};
constexpr Term k51_8[] = {
    {0, 0, 1, FL}, {0, 6, 0.5f, SL}, {1, 1, 1, FR}, {1, 7, 0.5f, SR}, {2, 2, 1, C},
    {3, 3, 1, LFE}, {4, 4, 1, BL}, {4, 6, 0.5f, SL}, {5, 5, 1, BR}, {5, 7, 0.5f, SR}};

// 7.1: rows FL, FR, C, LFE, BL, BR, SL, SR. Inputs without side channels
// share the side level between their front and back channels.
constexpr Term k71_1[] = {
    {0, 0, 1, FL}, {1, 0, 1, FR}, {2, 0, 1, C}, {3, 0, 1, LFE},
    {4, 0, 1, BL}, {5, 0, 1, BR}, {6, 0, 1, SL}, {7, 0, 1, SR}};
constexpr Term k71_2[] = {
    {0, 0, 1, FL}, {1, 1, 1, FR}, {2, 0, 0.5f, C}, {2, 1, 0.5f, C},
    {3, 0, 0.5f, LFE}, {3, 1, 0.5f, LFE}, {4, 0, 1, BL}, {5, 1, 1, BR},
    {6, 0, 1, SL}, {7, 1, 1, SR}};
constexpr Term k71_4[] = {
    {0, 0, 1, FL}, {1, 1, 1, FR}, {2, 0, 0.5f, C}, {2, 1, 0.5f, C},
    {3, 0, 0.5f, LFE}, {3, 1, 0.5f, LFE}, {4, 2, 0.5f, BL}, {5, 3, 0.5f, BR},
    {6, 2, 0.5f, SL}, {7, 3, 0.5f, SR}};
constexpr Term k71_6[] = {
    {0, 0, 1, FL}, {1, 1, 1, FR}, {2, 2, 1, C}, {3, 3, 1, LFE}, {4, 4, 1, BL}, {5, 5, 1, BR},
    {6, 0, 0.5f, SL}, {6, 4, 0.5f, SL}, {7, 1, 0.5f, SR}, {7, 5, 0.5f, SR}};
constexpr Term k71_6P[] = {
    {0, 0, 1, FL}, {1, 2, 1, FR}, {2, 1, 1, C}, {3, 5, 1, LFE}, {4, 3, 1, BL}, {5, 4, 1, BR},
    {6, 0, 0.5f, SL}, {6, 3, 0.5f, SL}, {7, 2, 0.5f, SR}, {7, 4, 0.5f, SR}};
constexpr Term k71_8[] = {
    {0, 0, 1, FL}, {1, 1, 1, FR}, {2, 2, 1, C}, {3, 3, 1, LFE},
    {4, 4, 1, BL}, {5, 5, 1, BR}, {6, 6, 1, SL}, {7, 7, 1, SR}};

// One speaker mode: its rows, the row that carries an all-mono input (and
// its coefficient; two rows means the first two), and its tables. An
// empty table is a layout the mode cannot take.
struct ModeTables {
    int rows;
    int monoRow;       // -1: the first two rows
    float monoCoef;
    std::array<Table, LAYOUT_COUNT> layouts;
};

constexpr ModeTables kStereoTables{
    2, -1, 0.707f, {Table(kStereo1), Table(kStereo2), Table(kStereo4), Table(kStereo6),
                    Table(kStereo6P), Table(kStereo8)}};
constexpr ModeTables kProLogicTables{
    2, -1, 0.707f, {Table(kProLogic1), Table(kProLogic2), Table(kProLogic4), Table(kProLogic6),
                    Table(kProLogic6P), Table()}};
constexpr ModeTables kQuadTables{
    4, -1, 0.707f, {Table(kQuad1), Table(kQuad2), Table(kQuad4), Table(kQuad6), Table(kQuad6P),
                    Table(kQuad8)}};
constexpr ModeTables kSurroundTables{
    5, 2, 1.0f, {Table(kSurround1), Table(kSurround2), Table(kSurround4), Table(kSurround6),
                 Table(kSurround6P), Table(kSurround8)}};
constexpr ModeTables k51Tables{
    6, 2, 1.0f, {Table(k51_1), Table(k51_2), Table(k51_4), Table(k51_6), Table(k51_6P),
                 Table(k51_8)}};
constexpr ModeTables k71Tables{
    8, 2, 1.0f, {Table(k71_1), Table(k71_2), Table(k71_4), Table(k71_6), Table(k71_6P),
                 Table(k71_8)}};

// The layout of a plain (not all-mono, not all-stereo) input, or -1.
int layoutOf(int inputchannels, AURA_SPEAKERMAPTYPE maptype)
{
    switch (inputchannels) {
    case 1:
        return IN1;
    case 2:
        return IN2;
    case 4:
        return IN4;
    case 6:
        return maptype == AURA_SPEAKERMAPTYPE_51_PROTOOLS ? IN6_PROTOOLS : IN6;
    case 8:
        return IN8;
    default:
        return -1;
    }
}

float stereoLeft(const float *v)
{
    return std::sqrt(v[FL] * v[FL] + 0.5f * v[C] * v[C] + 0.25f * v[BL] * v[BL]);
}

float stereoRight(const float *v)
{
    return std::sqrt(v[FR] * v[FR] + 0.5f * v[C] * v[C] + 0.25f * v[BR] * v[BR]);
}

// A mono output: one row.
void monoLevels(const float *v, int inputchannels, float *levels, int *numinputlevels)
{
    switch (inputchannels) {
    case 1:
        levels[0] = stereoLeft(v);
        break;
    case 2:
        levels[0] = stereoLeft(v);
        levels[1] = std::sqrt(v[FR] * v[FR] + 0.5f * v[C] * v[C] + 0.25f * v[BL] * v[BL]);
        break;
    case 4:
        levels[0] = v[FL];
        levels[1] = 0.0f;
        levels[2] = 0.5f * v[BL];
        levels[3] = 0.0f;
        break;
    case 6:
    case 8:
        std::copy_n(v, inputchannels, levels);
        break;
    default:
        return;
    }
    *numinputlevels = inputchannels;
}

} // namespace

AURA_RESULT DSPI::calculateSpeakerLevels(float levelFL, float levelFR, float levelC,
                                         float levelLFE, float levelBL, float levelBR,
                                         float levelSL, float levelSR,
                                         AURA_SPEAKERMODE speakermode, int inputchannels,
                                         AURA_SPEAKERMAPTYPE maptype, float *levels,
                                         int *numinputlevels)
{
    int ignored = 0;
    if (!numinputlevels) {
        numinputlevels = &ignored;
    }
    *numinputlevels = 0;
    // Callers hold room for 8 rows of at most 16 inputs; anything wider is
    // not a layout we can write.
    if (!levels || inputchannels < 1 || inputchannels > DSP_MAXCHANNELS) {
        return AURA_OK;
    }

    float v[SRC_COUNT] = {levelFL, levelFR, levelC, levelLFE, levelBL, levelBR, levelSL, levelSR};

    const ModeTables *mode = nullptr;
    switch (speakermode) {
    case AURA_SPEAKERMODE_MONO:
        monoLevels(v, inputchannels, levels, numinputlevels);
        return AURA_OK;
    case AURA_SPEAKERMODE_STEREO:
    case AURA_SPEAKERMODE_STEREO_LINEAR:
        mode = &kStereoTables;
        v[X0] = stereoLeft(v);
        v[X1] = stereoRight(v);
        break;
    case AURA_SPEAKERMODE_QUAD:
        mode = &kQuadTables;
        v[X0] = v[FL] + v[C];
        v[X1] = v[FR] + v[C];
        break;
    case AURA_SPEAKERMODE_SURROUND:
        mode = &kSurroundTables;
        break;
    case AURA_SPEAKERMODE_5POINT1:
        mode = &k51Tables;
        break;
    case AURA_SPEAKERMODE_7POINT1:
        mode = &k71Tables;
        break;
    case AURA_SPEAKERMODE_PROLOGIC:
        mode = &kProLogicTables;
        for (Src s : {FL, FR, C, BL, BR}) {
            v[s] *= v[s];
        }
        v[X0] = v[FL] + 0.707f * v[C] - 0.872f * v[BL] - 0.49f * v[BR];
        v[X1] = v[FR] + 0.707f * v[C] + 0.49f * v[BL] + 0.872f * v[BR];
        v[X2] = v[FL] + 0.707f * v[C] - 0.872f * v[BL];
        v[X3] = 0.707f * v[C] - 0.49f * v[BR];
        v[X4] = 0.707f * v[C] + 0.49f * v[BL];
        v[X5] = v[FR] + 0.707f * v[C] + 0.872f * v[BR];
        break;
    default:
        return AURA_OK;
    }

    const int c = inputchannels;
    const auto clearRows = [&] { std::fill_n(levels, mode->rows * c, 0.0f); };

    if (maptype == AURA_SPEAKERMAPTYPE_ALLMONO) {
        clearRows();
        const float level = mode->monoCoef * v[C];
        if (mode->monoRow < 0) {
            std::fill_n(levels, 2 * c, level);
        } else {
            std::fill_n(levels + mode->monoRow * c, c, level);
        }
    } else if (maptype == AURA_SPEAKERMAPTYPE_ALLSTEREO || c > 8) {
        clearRows();
        for (int col = 0; col < c; ++col) {
            if (col % 2 == 0) {
                levels[col] = v[FL];
            } else {
                levels[c + col] = v[FR];
            }
        }
    } else {
        const int layout = layoutOf(c, maptype);
        if (layout < 0 || mode->layouts[layout].empty()) {
            return AURA_OK;
        }
        clearRows();
        for (const Term &t : mode->layouts[layout]) {
            levels[t.row * c + t.col] = t.coef * v[t.src];
        }
    }
    *numinputlevels = c;
    return AURA_OK;
}

int DSPI::speakerOfMaskBit(int bit)
{
    // FL FR FC LFE BL BR FLC FRC BC SL SR; the front centres of a wide
    // layout play from the front speakers.
    static constexpr int kSpeakers[] = {FL, FR, C, LFE, BL, BR, FL, FR, -1, SL, SR};
    return bit >= 0 && bit < static_cast<int>(std::size(kSpeakers)) ? kSpeakers[bit] : -2;
}

AURA_RESULT DSPI::calculateSpeakerLevelsByMask(float levelFL, float levelFR, float levelC, float levelLFE,
                                               float levelBL, float levelBR, float levelSL, float levelSR,
                                               AURA_SPEAKERMODE speakermode, int inputchannels,
                                               unsigned int channelmask, float *levels, int *numinputlevels)
{
    constexpr int SPEAKERS = SR + 1;
    *numinputlevels = 0;
    if (!levels || inputchannels < 1 || inputchannels > SPEAKERS) {
        return AURA_OK;
    }
    float wide[SPEAKERS * SPEAKERS] = {};
    int columns = 0;
    (void)calculateSpeakerLevels(levelFL, levelFR, levelC, levelLFE, levelBL, levelBR, levelSL, levelSR,
                                 speakermode, SPEAKERS, AURA_SPEAKERMAPTYPE_DEFAULT, wide, &columns);
    if (columns != SPEAKERS) {
        return AURA_OK;
    }
    // The speaker of each input channel, in order.
    int speakers[SPEAKERS];
    int found = 0;
    for (int bit = 0; channelmask && bit < 32 && found < inputchannels; ++bit) {
        if ((channelmask & (1u << bit)) && speakerOfMaskBit(bit) != -2) {
            speakers[found++] = speakerOfMaskBit(bit);
        }
    }
    for (; found < inputchannels; ++found) {
        speakers[found] = found;
    }
    const int c = inputchannels;
    for (int row = 0; row < SPEAKERS; ++row) {
        const float *from = wide + row * SPEAKERS;
        for (int col = 0; col < c; ++col) {
            levels[row * c + col] = speakers[col] >= 0 ? from[speakers[col]] : 0.707f * (from[BL] + from[BR]);
        }
    }
    *numinputlevels = c;
    return AURA_OK;
}

AURA_RESULT DSPI::calculatePeaks(const float *buffer, unsigned int length, unsigned int channels,
                                 DSPI *target)
{
    DSPI *const node = target ? target : this;
    std::memset(node->mPeakMeter, 0, sizeof(node->mPeakMeter));
    if (!buffer || channels == 0) {
        node->mNumPeakChannels = 0;
        return AURA_OK;
    }

    // The meter has 16 codes; wider buffers are metered on their first 16
    // channels but still stepped a whole frame at a time.
    const unsigned int metered = std::min(channels, static_cast<unsigned int>(DSP_MAXCHANNELS));
    float peak[DSP_MAXCHANNELS] = {};
    const float *frame = buffer;
    for (unsigned int f = 0; f < length; ++f, frame += channels) {
        for (unsigned int ch = 0; ch < metered; ++ch) {
            const float a = std::fabs(frame[ch]);
            if (a > peak[ch]) {
                peak[ch] = a;
            }
        }
    }

    for (unsigned int ch = 0; ch < metered; ++ch) {
        const float p = peak[ch];
        unsigned int code;
        if (p <= 0.00002f) {
            code = 0;
        } else if (p > 1.0f) {
            code = 31;
        } else {
            // Attenuation in 2 dB steps, 1 (full scale) to 30 (-60 dB and below).
            const auto db = static_cast<uint16_t>(static_cast<int>(0.5 - 20.0 * std::log10(p)));
            code = std::clamp(static_cast<unsigned int>(db >> 1), 1u, 30u);
        }
        // Code ch sits at bits 5ch..5ch+4 of a big-endian 80-bit string.
        const unsigned int bit = 5 * ch;
        const unsigned int shifted = code << (bit % 8);
        const unsigned int byte = 9 - bit / 8;
        node->mPeakMeter[byte] |= static_cast<unsigned char>(shifted & 0xFF);
        if (shifted > 0xFF) {
            node->mPeakMeter[byte - 1] |= static_cast<unsigned char>(shifted >> 8);
        }
    }
    node->mNumPeakChannels = static_cast<unsigned short>(metered);
    return AURA_OK;
}

} // namespace AURA
