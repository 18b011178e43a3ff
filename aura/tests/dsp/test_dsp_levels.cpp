// Speaker-level matrices, the peak meter, sample conversion and the speaker
// layout of a system.
#include "system/aura_systemi.h"
#include "dsp/aura_dspi.h"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using AURA::DSPI;

// ---------------------------------------------------------------------------
// Speaker levels

// Eight distinct levels, so an entry taken from the wrong speaker shows.
constexpr float kFL = 0.11f, kFR = 0.23f, kC = 0.37f, kLFE = 0.41f;
constexpr float kBL = 0.53f, kBR = 0.67f, kSL = 0.71f, kSR = 0.83f;
constexpr float kUntouched = -99.0f;

struct Matrix {
    std::array<float, 8 * 16> m;
    int rowLength = -1;
    AURA_RESULT result = AURA_ERR_INTERNAL;
};

Matrix levelsFor(int mode, int inputs, int maptype = AURA_SPEAKERMAPTYPE_DEFAULT)
{
    Matrix out;
    out.m.fill(kUntouched);
    out.result = DSPI::calculateSpeakerLevels(
        kFL, kFR, kC, kLFE, kBL, kBR, kSL, kSR, static_cast<AURA_SPEAKERMODE>(mode), inputs,
        static_cast<AURA_SPEAKERMAPTYPE>(maptype), out.m.data(), &out.rowLength);
    return out;
}

// One entry written the way the tables read: "0", "FL", "0.5C", "0.25LFE",
// "FL^2" (the squared level), "0.5C^2".
float entry(std::string token)
{
    if (token == "0") {
        return 0.0f;
    }
    size_t i = 0;
    while (i < token.size() && (std::isdigit(static_cast<unsigned char>(token[i])) || token[i] == '.')) {
        ++i;
    }
    const float coef = i ? std::stof(token.substr(0, i)) : 1.0f;
    std::string name = token.substr(i);
    bool squared = false;
    if (name.size() > 2 && name.substr(name.size() - 2) == "^2") {
        squared = true;
        name.resize(name.size() - 2);
    }
    static const std::pair<const char *, float> names[] = {
        {"FL", kFL}, {"FR", kFR}, {"C", kC}, {"LFE", kLFE},
        {"BL", kBL}, {"BR", kBR}, {"SL", kSL}, {"SR", kSR}};
    for (const auto &[n, v] : names) {
        if (name == n) {
            return coef * (squared ? v * v : v);
        }
    }
    ADD_FAILURE() << "bad table token " << token;
    return 0.0f;
}

// Compares the rows of a result with rows written as in the tables
// ("FL, 0, 0.5C"), and checks nothing past the mode's rows was written.
void expectRows(int mode, int inputs, int maptype, const std::vector<std::string> &rows)
{
    SCOPED_TRACE("mode " + std::to_string(mode) + ", " + std::to_string(inputs) +
                 " inputs, map type " + std::to_string(maptype));
    const Matrix got = levelsFor(mode, inputs, maptype);
    EXPECT_EQ(got.result, AURA_OK);
    ASSERT_EQ(got.rowLength, inputs);
    for (size_t r = 0; r < rows.size(); ++r) {
        std::stringstream ss(rows[r]);
        std::string token;
        int col = 0;
        while (std::getline(ss, token, ',')) {
            token.erase(0, token.find_first_not_of(' '));
            ASSERT_LT(col, inputs) << "row " << r;
            EXPECT_NEAR(got.m[r * inputs + col], entry(token), 1e-6f) << "row " << r << " col " << col;
            ++col;
        }
        EXPECT_EQ(col, inputs) << "row " << r;
    }
    for (size_t i = rows.size() * inputs; i < got.m.size(); ++i) {
        ASSERT_EQ(got.m[i], kUntouched) << "written past the rows at " << i;
    }
}

float sq(float v)
{
    return v * v;
}

TEST(SpeakerLevels, UnsupportedModesWriteNothing)
{
    for (int mode : {0, 8, 999, 1001}) {
        const Matrix got = levelsFor(mode, 2);
        EXPECT_EQ(got.result, AURA_OK);
        EXPECT_EQ(got.rowLength, 0) << mode;
        for (float v : got.m) {
            ASSERT_EQ(v, kUntouched) << mode;
        }
    }
    // The row length is cleared first even when nothing else is done.
    int rowLength = 77;
    EXPECT_EQ(DSPI::calculateSpeakerLevels(1, 1, 1, 1, 1, 1, 1, 1, AURA_SPEAKERMODE_STEREO, 2,
                                           AURA_SPEAKERMAPTYPE_DEFAULT, nullptr, &rowLength),
              AURA_OK);
    EXPECT_EQ(rowLength, 0);
    float m[8 * 16];
    EXPECT_EQ(DSPI::calculateSpeakerLevels(1, 1, 1, 1, 1, 1, 1, 1, AURA_SPEAKERMODE_STEREO, 2,
                                           AURA_SPEAKERMAPTYPE_DEFAULT, m, nullptr),
              AURA_OK);
}

TEST(SpeakerLevels, InputCountsWithoutALayoutGiveNoRows)
{
    for (int mode : {2, 3, 4, 5, 6, 7, 1000}) {
        for (int inputs : {3, 5, 7, 0, -2}) {
            const Matrix got = levelsFor(mode, inputs);
            EXPECT_EQ(got.rowLength, 0) << mode << " " << inputs;
            EXPECT_EQ(got.m[0], kUntouched) << mode << " " << inputs;
        }
    }
    // Pro logic has no eight-channel layout; mono only 1, 2, 4, 6 and 8.
    EXPECT_EQ(levelsFor(7, 8).rowLength, 0);
    for (int inputs : {3, 5, 7, 9}) {
        EXPECT_EQ(levelsFor(1, inputs).rowLength, 0) << inputs;
    }
    // Rows are at most 16 wide: a wider input is not laid out at all.
    for (int mode : {2, 6}) {
        const Matrix got = levelsFor(mode, 17, AURA_SPEAKERMAPTYPE_ALLSTEREO);
        EXPECT_EQ(got.rowLength, 0);
        for (float v : got.m) {
            ASSERT_EQ(v, kUntouched);
        }
    }
}

TEST(SpeakerLevels, StereoMonoInputKeepsThePowerOfTheCentre)
{
    for (int mode : {2, 1000}) {
        const Matrix got = levelsFor(mode, 1);
        ASSERT_EQ(got.rowLength, 1);
        EXPECT_NEAR(got.m[0], std::sqrt(sq(kFL) + 0.5f * sq(kC) + 0.25f * sq(kBL)), 1e-6f);
        EXPECT_NEAR(got.m[1], std::sqrt(sq(kFR) + 0.5f * sq(kC) + 0.25f * sq(kBR)), 1e-6f);
    }
    // A centred source alone: -3 dB on each side, the same total power.
    float m[8 * 16];
    int n = 0;
    ASSERT_EQ(DSPI::calculateSpeakerLevels(0, 0, 1, 0, 0, 0, 0, 0, AURA_SPEAKERMODE_STEREO, 1,
                                           AURA_SPEAKERMAPTYPE_DEFAULT, m, &n),
              AURA_OK);
    ASSERT_EQ(n, 1);
    EXPECT_NEAR(m[0], 0.70710678f, 1e-6f);
    EXPECT_NEAR(m[1], 0.70710678f, 1e-6f);
    EXPECT_NEAR(m[0] * m[0] + m[1] * m[1], 1.0f, 1e-6f);
}

TEST(SpeakerLevels, StereoTables)
{
    for (int mode : {2, 1000}) {
        const Matrix two = levelsFor(mode, 2);
        ASSERT_EQ(two.rowLength, 2);
        EXPECT_NEAR(two.m[0], std::sqrt(sq(kFL) + 0.5f * sq(kC) + 0.25f * sq(kBL)), 1e-6f);
        EXPECT_EQ(two.m[1], 0.0f);
        EXPECT_EQ(two.m[2], 0.0f);
        EXPECT_NEAR(two.m[3], std::sqrt(sq(kFR) + 0.5f * sq(kC) + 0.25f * sq(kBR)), 1e-6f);
        expectRows(mode, 4, 0, {"FL, 0, 0.5BL, 0", "0, FR, 0, 0.5BR"});
        expectRows(mode, 6, 0,
                   {"FL, 0, 0.5C, 0.5LFE, 0.5BL, 0", "0, FR, 0.5C, 0.5LFE, 0, 0.5BR"});
        expectRows(mode, 6, 3,
                   {"FL, 0.5C, 0, 0.5BL, 0, 0.5LFE", "0, 0.5C, FR, 0, 0.5BR, 0.5LFE"});
        expectRows(mode, 8, 0,
                   {"FL, 0, 0.5C, 0.5LFE, 0.5BL, 0, 0.75SL, 0",
                    "0, FR, 0.5C, 0.5LFE, 0, 0.5BR, 0, 0.75SR"});
        expectRows(mode, 3, 1, {"0.707C, 0.707C, 0.707C", "0.707C, 0.707C, 0.707C"});
    }
}

TEST(SpeakerLevels, ProLogicWorksOnSquaredLevels)
{
    const Matrix one = levelsFor(7, 1);
    ASSERT_EQ(one.rowLength, 1);
    EXPECT_NEAR(one.m[0], sq(kFL) + 0.707f * sq(kC) - 0.872f * sq(kBL) - 0.49f * sq(kBR), 1e-6f);
    EXPECT_NEAR(one.m[1], sq(kFR) + 0.707f * sq(kC) + 0.49f * sq(kBL) + 0.872f * sq(kBR), 1e-6f);

    const Matrix two = levelsFor(7, 2);
    ASSERT_EQ(two.rowLength, 2);
    EXPECT_NEAR(two.m[0], sq(kFL) + 0.707f * sq(kC) - 0.872f * sq(kBL), 1e-6f);
    EXPECT_NEAR(two.m[1], 0.707f * sq(kC) - 0.49f * sq(kBR), 1e-6f);
    EXPECT_NEAR(two.m[2], 0.707f * sq(kC) + 0.49f * sq(kBL), 1e-6f);
    EXPECT_NEAR(two.m[3], sq(kFR) + 0.707f * sq(kC) + 0.872f * sq(kBR), 1e-6f);

    expectRows(7, 4, 0, {"FL^2, 0, 0.5BL^2, 0", "0, FR^2, 0, 0.5BR^2"});
    // LFE is the one level that is not squared.
    expectRows(7, 6, 0, {"FL^2, 0, 0.5C^2, 0.5LFE, BL^2, 0", "0, FR^2, 0.5C^2, 0.5LFE, 0, BR^2"});
    expectRows(7, 6, 3, {"FL^2, 0.5C^2, 0, BL^2, 0, 0.5LFE", "0, 0.5C^2, FR^2, 0, BR^2, 0.5LFE"});
}

TEST(SpeakerLevels, QuadTables)
{
    const Matrix one = levelsFor(3, 1);
    ASSERT_EQ(one.rowLength, 1);
    EXPECT_NEAR(one.m[0], kFL + kC, 1e-6f); // the centre folds into both fronts
    EXPECT_NEAR(one.m[1], kFR + kC, 1e-6f);
    EXPECT_EQ(one.m[2], kBL);
    EXPECT_EQ(one.m[3], kBR);
    EXPECT_EQ(one.m[4], kUntouched);
    expectRows(3, 2, 0, {"FL, 0", "0, FR", "BL, 0", "0, BR"});
    expectRows(3, 4, 0, {"FL, 0, 0, 0", "0, FR, 0, 0", "0, 0, 0.5BL, 0", "0, 0, 0, 0.5BR"});
    expectRows(3, 6, 0,
               {"FL, 0, 0.5C, 0.25LFE, 0, 0", "0, FR, 0.5C, 0.25LFE, 0, 0",
                "0, 0, 0, 0.25LFE, BL, 0", "0, 0, 0, 0.25LFE, 0, BR"});
    expectRows(3, 6, 3,
               {"FL, 0.5C, 0, 0, 0, 0.25LFE", "0, 0.5C, FR, 0, 0, 0.25LFE",
                "0, 0, 0, BL, 0, 0.25LFE", "0, 0, 0, 0, BR, 0.25LFE"});
    expectRows(3, 8, 0,
               {"FL, 0, 0.5C, 0.25LFE, 0, 0, 0.5SL, 0", "0, FR, 0.5C, 0.25LFE, 0, 0, 0, 0.5SR",
                "0, 0, 0, 0.25LFE, BL, 0, 0.5SL, 0", "0, 0, 0, 0.25LFE, 0, BR, 0, 0.5SR"});
    expectRows(3, 2, 1, {"0.707C, 0.707C", "0.707C, 0.707C", "0, 0", "0, 0"});
}

TEST(SpeakerLevels, SurroundTables)
{
    expectRows(4, 1, 0, {"FL", "FR", "C", "BL", "BR"});
    expectRows(4, 2, 0, {"FL, 0", "0, FR", "0.5C, 0.5C", "BL, 0", "0, BR"});
    expectRows(4, 4, 0,
               {"FL, 0, 0, 0", "0, FR, 0, 0", "0.5C, 0.5C, 0, 0", "0, 0, BL, 0", "0, 0, 0, BR"});
    expectRows(4, 6, 0,
               {"FL, 0, 0, 0, 0, 0", "0, FR, 0, 0, 0, 0", "0, 0, C, 0, 0, 0", "0, 0, 0, 0, BL, 0",
                "0, 0, 0, 0, 0, BR"});
    expectRows(4, 6, 3,
               {"FL, 0, 0, 0, 0, 0", "0, 0, FR, 0, 0, 0", "0, C, 0, 0, 0, 0", "0, 0, 0, BL, 0, 0",
                "0, 0, 0, 0, BR, 0"});
    expectRows(4, 8, 0,
               {"FL, 0, 0, 0, 0, 0, 0.5SL, 0", "0, FR, 0, 0, 0, 0, 0, 0.5SR",
                "0, 0, C, 0, 0, 0, 0, 0", "0, 0, 0, 0, BL, 0, 0.5SL, 0",
                "0, 0, 0, 0, 0, BR, 0, 0.5SR"});
    expectRows(4, 3, 1, {"0, 0, 0", "0, 0, 0", "C, C, C", "0, 0, 0", "0, 0, 0"});
}

TEST(SpeakerLevels, FivePointOneTables)
{
    expectRows(5, 1, 0, {"FL", "FR", "C", "LFE", "BL", "BR"});
    expectRows(5, 2, 0, {"FL, 0", "0, FR", "0.5C, 0.5C", "0.5LFE, 0.5LFE", "BL, 0", "0, BR"});
    expectRows(5, 4, 0,
               {"FL, 0, 0, 0", "0, FR, 0, 0", "0.5C, 0.5C, 0, 0", "0.5LFE, 0.5LFE, 0, 0",
                "0, 0, BL, 0", "0, 0, 0, BR"});
    expectRows(5, 6, 0,
               {"FL, 0, 0, 0, 0, 0", "0, FR, 0, 0, 0, 0", "0, 0, C, 0, 0, 0", "0, 0, 0, LFE, 0, 0",
                "0, 0, 0, 0, BL, 0", "0, 0, 0, 0, 0, BR"});
    expectRows(5, 6, 3,
               {"FL, 0, 0, 0, 0, 0", "0, 0, FR, 0, 0, 0", "0, C, 0, 0, 0, 0", "0, 0, 0, 0, 0, LFE",
                "0, 0, 0, BL, 0, 0", "0, 0, 0, 0, BR, 0"});
    expectRows(5, 8, 0,
               {"FL, 0, 0, 0, 0, 0, 0.5SL, 0", "0, FR, 0, 0, 0, 0, 0, 0.5SR",
                "0, 0, C, 0, 0, 0, 0, 0", "0, 0, 0, LFE, 0, 0, 0, 0",
                "0, 0, 0, 0, BL, 0, 0.5SL, 0", "0, 0, 0, 0, 0, BR, 0, 0.5SR"});
    expectRows(5, 2, 1, {"0, 0", "0, 0", "C, C", "0, 0", "0, 0", "0, 0"});
}

TEST(SpeakerLevels, SevenPointOneTables)
{
    expectRows(6, 1, 0, {"FL", "FR", "C", "LFE", "BL", "BR", "SL", "SR"});
    expectRows(6, 2, 0,
               {"FL, 0", "0, FR", "0.5C, 0.5C", "0.5LFE, 0.5LFE", "BL, 0", "0, BR", "SL, 0",
                "0, SR"});
    expectRows(6, 4, 0,
               {"FL, 0, 0, 0", "0, FR, 0, 0", "0.5C, 0.5C, 0, 0", "0.5LFE, 0.5LFE, 0, 0",
                "0, 0, 0.5BL, 0", "0, 0, 0, 0.5BR", "0, 0, 0.5SL, 0", "0, 0, 0, 0.5SR"});
    // Six channels have no sides: the side rows take half of the front
    // and back channels of their side.
    expectRows(6, 6, 0,
               {"FL, 0, 0, 0, 0, 0", "0, FR, 0, 0, 0, 0", "0, 0, C, 0, 0, 0", "0, 0, 0, LFE, 0, 0",
                "0, 0, 0, 0, BL, 0", "0, 0, 0, 0, 0, BR", "0.5SL, 0, 0, 0, 0.5SL, 0",
                "0, 0.5SR, 0, 0, 0, 0.5SR"});
    expectRows(6, 6, 3,
               {"FL, 0, 0, 0, 0, 0", "0, 0, FR, 0, 0, 0", "0, C, 0, 0, 0, 0", "0, 0, 0, 0, 0, LFE",
                "0, 0, 0, BL, 0, 0", "0, 0, 0, 0, BR, 0", "0.5SL, 0, 0, 0.5SL, 0, 0",
                "0, 0, 0.5SR, 0, 0.5SR, 0"});
    expectRows(6, 8, 0,
               {"FL, 0, 0, 0, 0, 0, 0, 0", "0, FR, 0, 0, 0, 0, 0, 0", "0, 0, C, 0, 0, 0, 0, 0",
                "0, 0, 0, LFE, 0, 0, 0, 0", "0, 0, 0, 0, BL, 0, 0, 0", "0, 0, 0, 0, 0, BR, 0, 0",
                "0, 0, 0, 0, 0, 0, SL, 0", "0, 0, 0, 0, 0, 0, 0, SR"});
    expectRows(6, 4, 1,
               {"0, 0, 0, 0", "0, 0, 0, 0", "C, C, C, C", "0, 0, 0, 0", "0, 0, 0, 0", "0, 0, 0, 0",
                "0, 0, 0, 0", "0, 0, 0, 0"});
}

TEST(SpeakerLevels, MonoOutputIsOneRow)
{
    const Matrix one = levelsFor(1, 1);
    ASSERT_EQ(one.rowLength, 1);
    EXPECT_NEAR(one.m[0], std::sqrt(sq(kFL) + 0.5f * sq(kC) + 0.25f * sq(kBL)), 1e-6f);
    EXPECT_EQ(one.m[1], kUntouched);

    const Matrix two = levelsFor(1, 2);
    ASSERT_EQ(two.rowLength, 2);
    EXPECT_NEAR(two.m[0], std::sqrt(sq(kFL) + 0.5f * sq(kC) + 0.25f * sq(kBL)), 1e-6f);
    EXPECT_NEAR(two.m[1], std::sqrt(sq(kFR) + 0.5f * sq(kC) + 0.25f * sq(kBL)), 1e-6f);
    EXPECT_EQ(two.m[2], kUntouched);

    expectRows(1, 4, 0, {"FL, 0, 0.5BL, 0"});
    expectRows(1, 6, 0, {"FL, FR, C, LFE, BL, BR"});
    expectRows(1, 8, 0, {"FL, FR, C, LFE, BL, BR, SL, SR"});
    // The map type does not change a mono output.
    expectRows(1, 6, 1, {"FL, FR, C, LFE, BL, BR"});
    expectRows(1, 8, 2, {"FL, FR, C, LFE, BL, BR, SL, SR"});
}

TEST(SpeakerLevels, ManyInputsOrAllStereoAlternateLeftAndRight)
{
    for (int mode : {2, 3, 4, 5, 6, 1000}) {
        for (int inputs : {9, 16}) {
            std::vector<std::string> rows;
            std::string left;
            std::string right;
            std::string zero;
            for (int c = 0; c < inputs; ++c) {
                const std::string sep = c ? ", " : "";
                left += sep + (c % 2 == 0 ? "FL" : "0");
                right += sep + (c % 2 == 1 ? "FR" : "0");
                zero += sep + "0";
            }
            rows = {left, right};
            const int rowCount = mode == 3 ? 4 : mode == 4 ? 5 : mode == 5 ? 6 : mode == 6 ? 8 : 2;
            while (static_cast<int>(rows.size()) < rowCount) {
                rows.push_back(zero);
            }
            expectRows(mode, inputs, 0, rows);
        }
    }
    // Map type 2 does the same at any count, even one that has a layout.
    expectRows(5, 2, 2, {"FL, 0", "0, FR", "0, 0", "0, 0", "0, 0", "0, 0"});
    expectRows(2, 3, 2, {"FL, 0, FL", "0, FR, 0"});
    expectRows(7, 9, 0,
               {"FL^2, 0, FL^2, 0, FL^2, 0, FL^2, 0, FL^2", "0, FR^2, 0, FR^2, 0, FR^2, 0, FR^2, 0"});
}

// ---------------------------------------------------------------------------
// Peak meter

// Code of channel ch, read bit by bit from the big-endian 80-bit string.
unsigned int meterCode(const unsigned char (&meter)[10], int ch)
{
    unsigned int code = 0;
    for (int b = 0; b < 5; ++b) {
        const int bit = 5 * ch + b;
        if (meter[9 - bit / 8] & (1u << (bit % 8))) {
            code |= 1u << b;
        }
    }
    return code;
}

class Peaks : public ::testing::Test {
protected:
    unsigned int codeOf(float peak)
    {
        const float frame[1] = {peak};
        EXPECT_EQ(node.calculatePeaks(frame, 1, 1), AURA_OK);
        return meterCode(node.mPeakMeter, 0);
    }

    DSPI node;
};

TEST_F(Peaks, CodesAreTwoDecibelStepsBetweenSilenceAndClipping)
{
    EXPECT_EQ(codeOf(1.0f), 1u);
    EXPECT_EQ(codeOf(1.0001f), 31u);
    EXPECT_EQ(codeOf(0.00002f), 0u);
    EXPECT_EQ(codeOf(0.001f), 30u); // -60 dB
    EXPECT_EQ(codeOf(0.0f), 0u);
    EXPECT_EQ(codeOf(0.5f), 3u);   // -6.02 dB
    EXPECT_EQ(codeOf(0.1f), 10u);  // -20 dB
    EXPECT_EQ(codeOf(-0.1f), 10u); // the magnitude counts
    EXPECT_EQ(codeOf(0.9f), 1u);   // less than 2 dB down is still the top step
    EXPECT_EQ(codeOf(0.00003f), 30u);
    EXPECT_EQ(codeOf(-4.0f), 31u);
    EXPECT_EQ(node.mNumPeakChannels, 1);
}

TEST_F(Peaks, SixteenCodesPackIntoTheEightyBitString)
{
    // One channel clipping sits in the low five bits of the last byte; the
    // sixteenth in the top five bits of the first.
    float frame[16] = {};
    frame[0] = 2.0f;
    ASSERT_EQ(node.calculatePeaks(frame, 1, 16), AURA_OK);
    const unsigned char low[10] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0x1F};
    EXPECT_EQ(std::memcmp(node.mPeakMeter, low, 10), 0);
    EXPECT_EQ(node.mNumPeakChannels, 16);

    frame[0] = 0.0f;
    frame[15] = 2.0f;
    ASSERT_EQ(node.calculatePeaks(frame, 1, 16), AURA_OK);
    const unsigned char high[10] = {0xF8, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(node.mPeakMeter, high, 10), 0);

    // Channel 1 straddles the last two bytes.
    frame[15] = 0.0f;
    frame[1] = 2.0f;
    ASSERT_EQ(node.calculatePeaks(frame, 1, 16), AURA_OK);
    const unsigned char straddle[10] = {0, 0, 0, 0, 0, 0, 0, 0, 0x03, 0xE0};
    EXPECT_EQ(std::memcmp(node.mPeakMeter, straddle, 10), 0);

    // Every channel its own code: channel i at -2(i+1) dB gives code i+1,
    // the last one clips.
    for (int i = 0; i < 16; ++i) {
        frame[i] = std::pow(10.0f, -2.0f * static_cast<float>(i + 1) / 20.0f);
    }
    frame[15] = 1.5f;
    ASSERT_EQ(node.calculatePeaks(frame, 1, 16), AURA_OK);
    for (int i = 0; i < 15; ++i) {
        EXPECT_EQ(meterCode(node.mPeakMeter, i), static_cast<unsigned int>(i + 1)) << i;
    }
    EXPECT_EQ(meterCode(node.mPeakMeter, 15), 31u);
}

TEST_F(Peaks, LengthCountsFramesOfInterleavedChannels)
{
    // Three channels, four frames; the loudest value of channel 2 is in the
    // last frame, the one a scan of only `length` values would miss.
    const float buffer[12] = {0.1f, 0.001f, 0.0f, -0.5f, 0.0f, 0.0f,
                              0.0f, 0.001f, 0.1f, 0.0f,  0.0f, 1.0f};
    ASSERT_EQ(node.calculatePeaks(buffer, 4, 3), AURA_OK);
    EXPECT_EQ(node.mNumPeakChannels, 3);
    EXPECT_EQ(meterCode(node.mPeakMeter, 0), 3u);  // |-0.5|
    EXPECT_EQ(meterCode(node.mPeakMeter, 1), 30u); // 0.001
    EXPECT_EQ(meterCode(node.mPeakMeter, 2), 1u);  // 1.0 in frame 3
}

TEST_F(Peaks, WideBuffersMeterTheirFirstSixteenChannels)
{
    constexpr unsigned int channels = 20;
    std::vector<float> buffer(channels * 2, 0.0f);
    buffer[16] = 5.0f; // channels 16..19 have no code; they must not spill
    buffer[19] = 5.0f;
    buffer[channels + 0] = 0.5f;   // frame 1, channel 0
    buffer[channels + 15] = 0.1f;  // frame 1, channel 15
    ASSERT_EQ(node.calculatePeaks(buffer.data(), 2, channels), AURA_OK);
    EXPECT_EQ(node.mNumPeakChannels, 16);
    EXPECT_EQ(meterCode(node.mPeakMeter, 0), 3u);
    EXPECT_EQ(meterCode(node.mPeakMeter, 15), 10u);
    for (int i = 1; i < 15; ++i) {
        EXPECT_EQ(meterCode(node.mPeakMeter, i), 0u) << i;
    }
}

TEST_F(Peaks, NothingToMeterClearsTheMeter)
{
    const float buffer[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    const unsigned char zero[10] = {};

    std::memset(node.mPeakMeter, 0xFF, sizeof node.mPeakMeter);
    node.mNumPeakChannels = 5;
    ASSERT_EQ(node.calculatePeaks(buffer, 4, 0), AURA_OK);
    EXPECT_EQ(node.mNumPeakChannels, 0);
    EXPECT_EQ(std::memcmp(node.mPeakMeter, zero, 10), 0);

    std::memset(node.mPeakMeter, 0xFF, sizeof node.mPeakMeter);
    node.mNumPeakChannels = 5;
    ASSERT_EQ(node.calculatePeaks(nullptr, 4, 2), AURA_OK);
    EXPECT_EQ(node.mNumPeakChannels, 0);
    EXPECT_EQ(std::memcmp(node.mPeakMeter, zero, 10), 0);

    // No frames: a silent meter of two channels.
    std::memset(node.mPeakMeter, 0xFF, sizeof node.mPeakMeter);
    ASSERT_EQ(node.calculatePeaks(buffer, 0, 2), AURA_OK);
    EXPECT_EQ(node.mNumPeakChannels, 2);
    EXPECT_EQ(std::memcmp(node.mPeakMeter, zero, 10), 0);
}

TEST_F(Peaks, TargetNodeReceivesTheMeter)
{
    DSPI other;
    const float buffer[2] = {2.0f, 0.5f};
    ASSERT_EQ(node.calculatePeaks(buffer, 1, 2, &other), AURA_OK);
    EXPECT_EQ(other.mNumPeakChannels, 2);
    EXPECT_EQ(meterCode(other.mPeakMeter, 0), 31u);
    EXPECT_EQ(meterCode(other.mPeakMeter, 1), 3u);
    EXPECT_EQ(node.mNumPeakChannels, 0);
    const unsigned char zero[10] = {};
    EXPECT_EQ(std::memcmp(node.mPeakMeter, zero, 10), 0);
}

// ---------------------------------------------------------------------------
// Sample conversion

constexpr AURA_SOUND_FORMAT kPcm8 = AURA_SOUND_FORMAT_PCM8;
constexpr AURA_SOUND_FORMAT kPcm16 = AURA_SOUND_FORMAT_PCM16;
constexpr AURA_SOUND_FORMAT kPcm24 = AURA_SOUND_FORMAT_PCM24;
constexpr AURA_SOUND_FORMAT kPcm32 = AURA_SOUND_FORMAT_PCM32;
constexpr AURA_SOUND_FORMAT kFloat = AURA_SOUND_FORMAT_PCMFLOAT;
constexpr AURA_SOUND_FORMAT kIntFormats[] = {kPcm8, kPcm16, kPcm24, kPcm32};

int bytesOf(AURA_SOUND_FORMAT f)
{
    return f == kPcm8 ? 1 : f == kPcm16 ? 2 : f == kPcm24 ? 3 : 4;
}

int bitsOf(AURA_SOUND_FORMAT f)
{
    return 8 * bytesOf(f);
}

// Integer samples in and out of little-endian byte buffers, whatever the
// width.
void putInt(std::vector<unsigned char> &buf, AURA_SOUND_FORMAT f, size_t i, int64_t v)
{
    const int n = bytesOf(f);
    for (int b = 0; b < n; ++b) {
        buf[i * n + b] = static_cast<unsigned char>(static_cast<uint64_t>(v) >> (8 * b));
    }
}

int64_t getInt(const std::vector<unsigned char> &buf, AURA_SOUND_FORMAT f, size_t i)
{
    const int n = bytesOf(f);
    uint64_t u = 0;
    for (int b = 0; b < n; ++b) {
        u |= uint64_t{buf[i * n + b]} << (8 * b);
    }
    const int shift = 64 - 8 * n;
    return static_cast<int64_t>(u << shift) >> shift;
}

int64_t maxOf(AURA_SOUND_FORMAT f)
{
    return (int64_t{1} << (bitsOf(f) - 1)) - 1;
}

int64_t minOf(AURA_SOUND_FORMAT f)
{
    return -(int64_t{1} << (bitsOf(f) - 1));
}

std::vector<unsigned char> intBuffer(AURA_SOUND_FORMAT f, const std::vector<int64_t> &values)
{
    std::vector<unsigned char> buf(values.size() * bytesOf(f));
    for (size_t i = 0; i < values.size(); ++i) {
        putInt(buf, f, i, values[i]);
    }
    return buf;
}

// Some values of a format: its limits, around zero and a spread between.
std::vector<int64_t> sampleValues(AURA_SOUND_FORMAT f)
{
    std::vector<int64_t> v = {minOf(f), minOf(f) + 1, -1, 0, 1, maxOf(f) - 1, maxOf(f)};
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < 200; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        const int shift = 64 - bitsOf(f);
        v.push_back(static_cast<int64_t>(x) >> shift);
    }
    return v;
}

TEST(Convert, RefusesOtherFormatsAndMissingBuffers)
{
    float src[4] = {0.5f, 0.5f, 0.5f, 0.5f};
    int16_t dst[4] = {7, 7, 7, 7};
    for (int bad : {0, 6, 7, 10, 11, 1000}) {
        const auto f = static_cast<AURA_SOUND_FORMAT>(bad);
        EXPECT_EQ(DSPI::convert(dst, src, f, kFloat, 4, 1, 1, 1.0f), AURA_ERR_INVALID_PARAM) << bad;
        EXPECT_EQ(DSPI::convert(dst, src, kPcm16, f, 4, 1, 1, 1.0f), AURA_ERR_INVALID_PARAM) << bad;
    }
    EXPECT_EQ(DSPI::convert(nullptr, src, kPcm16, kFloat, 4, 1, 1, 1.0f), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(DSPI::convert(dst, nullptr, kPcm16, kFloat, 4, 1, 1, 1.0f), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(DSPI::convert(dst, src, kPcm16, kFloat, 4, -1, 1, 1.0f), AURA_ERR_INVALID_PARAM);
    for (int16_t v : dst) {
        EXPECT_EQ(v, 7);
    }
    EXPECT_EQ(DSPI::convert(dst, src, kPcm16, kFloat, 0, 1, 1, 1.0f), AURA_OK);
    EXPECT_EQ(dst[0], 7);
}

TEST(Convert, SameFormatAtUnityGainIsAnExactCopy)
{
    for (AURA_SOUND_FORMAT f : kIntFormats) {
        const auto values = sampleValues(f);
        const auto src = intBuffer(f, values);
        std::vector<unsigned char> dst(src.size(), 0xAA);
        ASSERT_EQ(DSPI::convert(dst.data(), src.data(), f, f, values.size(), 1, 1, 1.0f), AURA_OK);
        EXPECT_EQ(dst, src) << f;
    }
    // Float copies keep every bit: negative zero, denormals, NaN payloads.
    const uint32_t bits[] = {0x80000000u, 0x00000001u, 0x7FC01234u, 0x3F800000u, 0xFF800000u};
    float src[5];
    std::memcpy(src, bits, sizeof bits);
    float dst[5] = {};
    ASSERT_EQ(DSPI::convert(dst, src, kFloat, kFloat, 5, 1, 1, 1.0f), AURA_OK);
    EXPECT_EQ(std::memcmp(dst, bits, sizeof bits), 0);
}

TEST(Convert, EveryIntegerFormatRoundTripsThroughWiderFormats)
{
    // Integer widening is a shift and narrowing back gives the value again;
    // float holds up to 24 bits exactly.
    for (AURA_SOUND_FORMAT from : kIntFormats) {
        const auto values = sampleValues(from);
        const auto src = intBuffer(from, values);
        for (AURA_SOUND_FORMAT via : {kPcm8, kPcm16, kPcm24, kPcm32, kFloat}) {
            if (via != kFloat && bitsOf(via) < bitsOf(from)) {
                continue;
            }
            if (via == kFloat && bitsOf(from) > 24) {
                continue;
            }
            SCOPED_TRACE(std::to_string(from) + " via " + std::to_string(via));
            std::vector<unsigned char> mid(values.size() * 4);
            std::vector<unsigned char> back(src.size(), 0xAA);
            ASSERT_EQ(DSPI::convert(mid.data(), src.data(), via, from, values.size(), 1, 1, 1.0f), AURA_OK);
            ASSERT_EQ(DSPI::convert(back.data(), mid.data(), from, via, values.size(), 1, 1, 1.0f), AURA_OK);
            EXPECT_EQ(back, src);
            if (via != kFloat) {
                for (size_t i = 0; i < values.size(); ++i) {
                    ASSERT_EQ(getInt(mid, via, i), values[i] * (int64_t{1} << (bitsOf(via) - bitsOf(from))));
                }
            }
        }
    }
}

TEST(Convert, SixteenBitThroughFloatIsBitExactOverTheWholeRange)
{
    std::vector<int16_t> src(65536);
    for (int i = 0; i < 65536; ++i) {
        src[i] = static_cast<int16_t>(i - 32768);
    }
    std::vector<float> mid(src.size());
    std::vector<int16_t> back(src.size());
    ASSERT_EQ(DSPI::convert(mid.data(), src.data(), kFloat, kPcm16, src.size(), 1, 1, 1.0f), AURA_OK);
    ASSERT_EQ(DSPI::convert(back.data(), mid.data(), kPcm16, kFloat, mid.size(), 1, 1, 1.0f), AURA_OK);
    EXPECT_EQ(back, src);
    EXPECT_EQ(mid[0], -1.0f);
    EXPECT_EQ(mid[32768], 0.0f);
    EXPECT_EQ(mid[32768 + 16384], 0.5f);
}

TEST(Convert, IntegerToFloatDividesByFullScale)
{
    const int8_t s8[] = {-128, 64, 127};
    float f[3];
    ASSERT_EQ(DSPI::convert(f, s8, kFloat, kPcm8, 3, 1, 1, 1.0f), AURA_OK);
    EXPECT_EQ(f[0], -1.0f);
    EXPECT_EQ(f[1], 0.5f);
    EXPECT_EQ(f[2], 127.0f / 128.0f);

    const auto s24 = intBuffer(kPcm24, {-8388608, 4194304, -1});
    ASSERT_EQ(DSPI::convert(f, s24.data(), kFloat, kPcm24, 3, 1, 1, 1.0f), AURA_OK);
    EXPECT_EQ(f[0], -1.0f);
    EXPECT_EQ(f[1], 0.5f);
    EXPECT_EQ(f[2], -1.0f / 8388608.0f);

    const int32_t s32[] = {std::numeric_limits<int32_t>::min(), 1 << 29, 256};
    ASSERT_EQ(DSPI::convert(f, s32, kFloat, kPcm32, 3, 1, 1, 1.0f), AURA_OK);
    EXPECT_EQ(f[0], -1.0f);
    EXPECT_EQ(f[1], 0.25f);
    EXPECT_EQ(f[2], 256.0f / 2147483648.0f);
}

TEST(Convert, FloatClipsAtEachIntegerFormatsLimits)
{
    const float src[] = {1.0f, -1.0f, 1.5f, -7.0f, std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(), std::nanf(""), 0.0f};
    for (AURA_SOUND_FORMAT f : kIntFormats) {
        SCOPED_TRACE(f);
        std::vector<unsigned char> dst(8 * 4, 0xAA);
        ASSERT_EQ(DSPI::convert(dst.data(), src, f, kFloat, 8, 1, 1, 1.0f), AURA_OK);
        EXPECT_EQ(getInt(dst, f, 0), maxOf(f));
        EXPECT_EQ(getInt(dst, f, 1), minOf(f));
        EXPECT_EQ(getInt(dst, f, 2), maxOf(f));
        EXPECT_EQ(getInt(dst, f, 3), minOf(f));
        EXPECT_EQ(getInt(dst, f, 4), maxOf(f));
        EXPECT_EQ(getInt(dst, f, 5), minOf(f));
        EXPECT_EQ(getInt(dst, f, 6), 0); // NaN is silence
        EXPECT_EQ(getInt(dst, f, 7), 0);
    }
}

TEST(Convert, FloatRoundsToTheNearestStep)
{
    const float step = 1.0f / 32768.0f;
    const float src[] = {0.4f * step, 0.6f * step, -0.6f * step, -0.4f * step,
                         100.3f * step, -100.7f * step, 32766.6f * step};
    int16_t dst[7];
    ASSERT_EQ(DSPI::convert(dst, src, kPcm16, kFloat, 7, 1, 1, 1.0f), AURA_OK);
    const int16_t expected[] = {0, 1, -1, 0, 100, -101, 32767};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(dst[i], expected[i]) << i;
    }
    // Wider formats too: a 24-bit step and a 32-bit one.
    const float wide[] = {3.7f / 8388608.0f, -3.7f / 8388608.0f};
    const auto got24 = [&] {
        std::vector<unsigned char> d(6);
        EXPECT_EQ(DSPI::convert(d.data(), wide, kPcm24, kFloat, 2, 1, 1, 1.0f), AURA_OK);
        return d;
    }();
    EXPECT_EQ(getInt(got24, kPcm24, 0), 4);
    EXPECT_EQ(getInt(got24, kPcm24, 1), -4);
    const float third = 0.333333343f; // nearest float to 1/3
    int32_t d32 = 0;
    ASSERT_EQ(DSPI::convert(&d32, &third, kPcm32, kFloat, 1, 1, 1, 1.0f), AURA_OK);
    EXPECT_EQ(d32, static_cast<int32_t>(std::llround(static_cast<double>(third) * 2147483648.0)));
}

TEST(Convert, FloatTo16BitBlocksAgreeWithSingleSamplesInEveryLane)
{
    // Whole blocks of the output step run 8, 16 or 32 samples a pass (by the
    // kernel set); one sample alone takes the scalar road. Ties, limits, NaN, infinities and
    // denormals must land the same in every lane and in the tail.
    const float step = 1.0f / 32768.0f;
    std::vector<float> tricky = {1e30f, -1e30f, std::nanf(""), -std::nanf(""), -0.0f, 0.999999f, -0.999999f};
    tricky.push_back(std::numeric_limits<float>::infinity());
    tricky.push_back(-std::numeric_limits<float>::infinity());
    tricky.push_back(std::numeric_limits<float>::denorm_min());
    for (float steps : {0.5f, 1.5f, 2.5f, -0.5f, -1.5f, 32766.5f, 32767.5f, -32768.5f, -32767.5f}) {
        tricky.push_back(steps * step); // ties round to even
    }
    constexpr size_t kBlock = 37; // a pass of every width and a tail
    for (float gain : {1.0f, 0.25f, 3.0f}) {
        for (float value : tricky) {
            int16_t alone = 0;
            ASSERT_EQ(DSPI::convert(&alone, &value, kPcm16, kFloat, 1, 1, 1, gain), AURA_OK);
            for (size_t lane = 0; lane < kBlock; ++lane) {
                std::vector<float> src(kBlock, 0.25f);
                src[lane] = value;
                std::vector<int16_t> dst(kBlock, 7);
                ASSERT_EQ(DSPI::convert(dst.data(), src.data(), kPcm16, kFloat, kBlock, 1, 1, gain), AURA_OK);
                ASSERT_EQ(dst[lane], alone) << value << " x " << gain << " in lane " << lane;
                ASSERT_EQ(dst[(lane + 1) % kBlock], static_cast<int16_t>(8192.0f * gain)); // exact for these gains
            }
        }
    }
}

TEST(Convert, NarrowingIntegersRoundAndClipButNeverWrap)
{
    const auto s16 = intBuffer(kPcm16, {32767, -32768, 384, 127, 129, -129, 32640, -32640});
    std::vector<unsigned char> d8(8);
    ASSERT_EQ(DSPI::convert(d8.data(), s16.data(), kPcm8, kPcm16, 8, 1, 1, 1.0f), AURA_OK);
    const int64_t expect8[] = {127, -128, 2, 0, 1, -1, 127, -127};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(getInt(d8, kPcm8, i), expect8[i]) << i;
    }

    const auto s32 = intBuffer(kPcm32, {maxOf(kPcm32), minOf(kPcm32), 0x12345678, 0x1234C000,
                                        0x7FFF8000, -0x1234C000});
    std::vector<unsigned char> d16(12);
    ASSERT_EQ(DSPI::convert(d16.data(), s32.data(), kPcm16, kPcm32, 6, 1, 1, 1.0f), AURA_OK);
    EXPECT_EQ(getInt(d16, kPcm16, 0), 32767);
    EXPECT_EQ(getInt(d16, kPcm16, 1), -32768);
    EXPECT_EQ(getInt(d16, kPcm16, 2), 0x1234); // 0x5678 is less than half a step
    EXPECT_EQ(getInt(d16, kPcm16, 3), 0x1235); // 0xC000 is more
    EXPECT_EQ(getInt(d16, kPcm16, 4), 32767);  // rounds up to 0x8000: clipped
    EXPECT_EQ(getInt(d16, kPcm16, 5), -0x1235);

    const auto s24 = intBuffer(kPcm24, {0x123456, maxOf(kPcm24)});
    std::vector<unsigned char> d16b(4);
    ASSERT_EQ(DSPI::convert(d16b.data(), s24.data(), kPcm16, kPcm24, 2, 1, 1, 1.0f), AURA_OK);
    EXPECT_EQ(getInt(d16b, kPcm16, 0), 0x1234);
    EXPECT_EQ(getInt(d16b, kPcm16, 1), 32767);
}

TEST(Convert, TwentyFourBitSamplesArePackedLittleEndian)
{
    const unsigned char packed[] = {0x56, 0x34, 0x12, 0xFE, 0xFF, 0xFF, 0x00, 0x00, 0x80};
    int32_t wide[3];
    ASSERT_EQ(DSPI::convert(wide, packed, kPcm32, kPcm24, 3, 1, 1, 1.0f), AURA_OK);
    EXPECT_EQ(wide[0], 0x12345600);
    EXPECT_EQ(wide[1], -2 * 256);
    EXPECT_EQ(wide[2], std::numeric_limits<int32_t>::min());
    unsigned char back[9] = {};
    ASSERT_EQ(DSPI::convert(back, wide, kPcm24, kPcm32, 3, 1, 1, 1.0f), AURA_OK);
    EXPECT_EQ(std::memcmp(back, packed, 9), 0);
}

TEST(Convert, GainScalesEveryPair)
{
    const float f[] = {1.0f, -0.5f, 0.25f};
    int16_t d16[3];
    ASSERT_EQ(DSPI::convert(d16, f, kPcm16, kFloat, 3, 1, 1, 0.5f), AURA_OK);
    EXPECT_EQ(d16[0], 16384);
    EXPECT_EQ(d16[1], -8192);
    EXPECT_EQ(d16[2], 4096);

    float g[3];
    ASSERT_EQ(DSPI::convert(g, f, kFloat, kFloat, 3, 1, 1, -2.0f), AURA_OK);
    EXPECT_EQ(g[0], -2.0f);
    EXPECT_EQ(g[1], 1.0f);
    EXPECT_EQ(g[2], -0.5f);

    const int16_t s16[] = {20000, -100, 101};
    int16_t o16[3];
    ASSERT_EQ(DSPI::convert(o16, s16, kPcm16, kPcm16, 3, 1, 1, 2.0f), AURA_OK);
    EXPECT_EQ(o16[0], 32767); // clipped, not wrapped
    EXPECT_EQ(o16[1], -200);
    EXPECT_EQ(o16[2], 202);

    int32_t o32[3];
    ASSERT_EQ(DSPI::convert(o32, s16, kPcm32, kPcm16, 3, 1, 1, 0.5f), AURA_OK);
    EXPECT_EQ(o32[0], 10000 << 16);
    EXPECT_EQ(o32[1], -(50 << 16));
    EXPECT_EQ(o32[2], 101 << 15);

    ASSERT_EQ(DSPI::convert(g, s16, kFloat, kPcm16, 3, 1, 1, 0.25f), AURA_OK);
    EXPECT_EQ(g[1], -100.0f / 32768.0f * 0.25f);

    int8_t o8[3];
    ASSERT_EQ(DSPI::convert(o8, s16, kPcm8, kPcm16, 3, 1, 1, 4.0f), AURA_OK);
    EXPECT_EQ(o8[0], 127);
    EXPECT_EQ(o8[1], -2); // -400 / 256 = -1.56
    EXPECT_EQ(o8[2], 2);
}

TEST(Convert, StridesStepInSamples)
{
    // Left channel of interleaved stereo float into a contiguous 16-bit run.
    const float stereo[] = {0.5f, -1.0f, -0.25f, -1.0f, 0.125f, -1.0f};
    int16_t left[3] = {};
    ASSERT_EQ(DSPI::convert(left, stereo, kPcm16, kFloat, 3, 1, 2, 1.0f), AURA_OK);
    EXPECT_EQ(left[0], 16384);
    EXPECT_EQ(left[1], -8192);
    EXPECT_EQ(left[2], 4096);

    // Into every third 24-bit slot; the others stay as they were.
    std::vector<unsigned char> d(9 * 3, 0xAA);
    ASSERT_EQ(DSPI::convert(d.data(), left, kPcm24, kPcm16, 3, 3, 1, 1.0f), AURA_OK);
    EXPECT_EQ(getInt(d, kPcm24, 0), 16384 * 256);
    EXPECT_EQ(getInt(d, kPcm24, 3), -8192 * 256);
    EXPECT_EQ(getInt(d, kPcm24, 6), 4096 * 256);
    for (size_t i : {1, 2, 4, 5, 7, 8}) {
        EXPECT_EQ(getInt(d, kPcm24, i), 0xAAAAAA - 0x1000000) << i;
    }

    // A strided same-format copy copies only the strided samples.
    int16_t copy[6] = {1, 1, 1, 1, 1, 1};
    ASSERT_EQ(DSPI::convert(copy, left, kPcm16, kPcm16, 3, 2, 1, 1.0f), AURA_OK);
    const int16_t expect[] = {16384, 1, -8192, 1, 4096, 1};
    EXPECT_EQ(std::memcmp(copy, expect, sizeof expect), 0);

    // Stride 0 is taken as 1.
    int16_t zeroStride[3] = {};
    ASSERT_EQ(DSPI::convert(zeroStride, stereo, kPcm16, kFloat, 3, 0, 0, 1.0f), AURA_OK);
    EXPECT_EQ(zeroStride[0], 16384);
    EXPECT_EQ(zeroStride[1], -32768);
    EXPECT_EQ(zeroStride[2], -8192);
}

// ---------------------------------------------------------------------------
// Speaker layout

TEST(SpeakerAngle, CompassDirectionsAreEighthsOfATurnFromFrontLeft)
{
    struct Case {
        float x, z, angle;
    };
    const Case cases[] = {
        {-1, 1, 0}, {0, 1, 1}, {1, 1, 2}, {1, 0, 3}, {1, -1, 4}, {0, -1, 5}, {-1, -1, 6}, {-1, 0, 7},
    };
    for (const Case &c : cases) {
        EXPECT_FLOAT_EQ(AURA::speakerPseudoAngle(c.x, c.z), c.angle) << c.x << "," << c.z;
        // Only the direction counts, not the distance.
        EXPECT_FLOAT_EQ(AURA::speakerPseudoAngle(3.5f * c.x, 3.5f * c.z), c.angle);
    }
    EXPECT_EQ(AURA::speakerPseudoAngle(0, 0), 0.0f);
    EXPECT_FLOAT_EQ(AURA::speakerPseudoAngle(-1, 0.5f), 7.5f);
    EXPECT_FLOAT_EQ(AURA::speakerPseudoAngle(0.5f, -1), 4.5f);
    // Angles grow clockwise all the way round.
    float last = -1.0f;
    for (int i = 0; i < 64; ++i) {
        const double t = (i / 64.0) * 2.0 * 3.14159265358979 - 3.14159265358979 / 4.0;
        const float a = AURA::speakerPseudoAngle(static_cast<float>(std::sin(t)), static_cast<float>(std::cos(t)));
        EXPECT_GT(a, last) << i;
        EXPECT_LT(a, 8.0f);
        last = a;
    }
}

class SpeakerLayout : public ::testing::Test {
protected:
    // The speaker numbers of the sorted list, in order.
    std::vector<int> order() const
    {
        std::vector<int> out;
        for (AURA::AURA_SPEAKERCONFIG *s : system->mSpeakerList) {
            if (s) {
                EXPECT_EQ(s, &system->mSpeaker[s->mSpeaker]);
                out.push_back(s->mSpeaker);
            }
        }
        return out;
    }
    const AURA::AURA_SPEAKERCONFIG &speaker(int i) const { return system->mSpeaker[i]; }

    std::unique_ptr<AURA::SystemI> system = std::make_unique<AURA::SystemI>();
};

TEST_F(SpeakerLayout, StereoPairsAreOppositeAndNotPannable)
{
    ASSERT_EQ(system->mSpeakerMode, AURA_SPEAKERMODE_STEREO);
    EXPECT_EQ(order(), (std::vector<int>{1, 0}));
    EXPECT_FLOAT_EQ(system->mSpeakerList[0]->mAngle, 3.0f);
    EXPECT_FLOAT_EQ(system->mSpeakerList[1]->mAngle, 7.0f);
    EXPECT_EQ(system->mSpeakerList[2], nullptr);
    EXPECT_FALSE(speaker(0).mPairValid);
    EXPECT_FALSE(speaker(1).mPairValid);
    EXPECT_FLOAT_EQ(speaker(0).mDirection[0], -1.0f);
    EXPECT_FLOAT_EQ(speaker(1).mDirection[0], 1.0f);
}

TEST_F(SpeakerLayout, EachModeSetsItsChannelsAndListsItsSpeakersClockwise)
{
    struct Case {
        AURA_SPEAKERMODE mode;
        int channels;
        std::vector<int> order;
    };
    const Case cases[] = {
        {AURA_SPEAKERMODE_QUAD, 4, {0, 1, 5, 4}},
        {AURA_SPEAKERMODE_SURROUND, 5, {0, 2, 1, 5, 4}},
        {AURA_SPEAKERMODE_5POINT1, 6, {0, 2, 1, 5, 4}},
        {AURA_SPEAKERMODE_7POINT1, 8, {0, 2, 1, 7, 5, 4, 6}},
        {AURA_SPEAKERMODE_PROLOGIC, 2, {0, 2, 1, 5, 4}},
        {AURA_SPEAKERMODE_STEREO, 2, {1, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        ASSERT_EQ(system->setSpeakerMode(c.mode), AURA_OK);
        EXPECT_EQ(system->mSpeakerMode, c.mode);
        EXPECT_EQ(system->mMaxOutputChannels, c.channels);
        // The low-frequency speaker has no place around the listener, and
        // quad has no centre even though its record is active.
        EXPECT_EQ(order(), c.order);
    }
}

TEST_F(SpeakerLayout, SurroundPairsAreAllPannableAndClockwise)
{
    ASSERT_EQ(system->setSpeakerMode(AURA_SPEAKERMODE_7POINT1), AURA_OK);
    const auto list = order();
    ASSERT_EQ(list.size(), 7u);
    for (int i : list) {
        EXPECT_TRUE(speaker(i).mPairValid) << i;
        EXPECT_EQ(speaker(i).mPairSign, -1.0f) << i;
        const float *d = speaker(i).mDirection;
        EXPECT_NEAR(d[0] * d[0] + d[1] * d[1] + d[2] * d[2], 1.0f, 1e-6f) << i;
    }
    EXPECT_NEAR(speaker(0).mDirection[0], -0.70710678f, 1e-6f);
    EXPECT_NEAR(speaker(0).mDirection[2], 0.70710678f, 1e-6f);
}

TEST_F(SpeakerLayout, AGapOfMoreThanHalfATurnTurnsThatPairAcrossIt)
{
    // Only the three front speakers: the way back from front right to front
    // left is three quarters of a turn.
    ASSERT_EQ(system->setSpeakerMode(AURA_SPEAKERMODE_SURROUND), AURA_OK);
    ASSERT_EQ(system->set3DSpeakerPosition(AURA_SPEAKER_BACK_LEFT, -1, -1, false), AURA_OK);
    ASSERT_EQ(system->set3DSpeakerPosition(AURA_SPEAKER_BACK_RIGHT, 1, -1, false), AURA_OK);
    EXPECT_EQ(order(), (std::vector<int>{0, 2, 1}));

    // Front right and front left now lie on the axis between them.
    EXPECT_FLOAT_EQ(speaker(1).mDirection[0], 1.0f);
    EXPECT_FLOAT_EQ(speaker(1).mDirection[2], 0.0f);
    EXPECT_FLOAT_EQ(speaker(1).mAngle, 3.0f);
    EXPECT_FLOAT_EQ(speaker(0).mDirection[0], -1.0f);
    EXPECT_FLOAT_EQ(speaker(0).mAngle, 7.0f);
    // The centre keeps its own direction; positions are not moved.
    EXPECT_FLOAT_EQ(speaker(2).mDirection[2], 1.0f);
    EXPECT_FLOAT_EQ(speaker(1).mPosition[2], 1.0f);

    EXPECT_TRUE(speaker(0).mPairValid);  // front left -> centre
    EXPECT_TRUE(speaker(2).mPairValid);  // centre -> front right
    EXPECT_FALSE(speaker(1).mPairValid); // front right -> front left: opposite
    EXPECT_EQ(speaker(0).mPairSign, -1.0f);
    EXPECT_EQ(speaker(2).mPairSign, -1.0f);
}

TEST_F(SpeakerLayout, MovingASpeakerSortsTheListAgain)
{
    ASSERT_EQ(system->setSpeakerMode(AURA_SPEAKERMODE_5POINT1), AURA_OK);
    ASSERT_EQ(system->set3DSpeakerPosition(AURA_SPEAKER_FRONT_CENTER, 0, -2, true), AURA_OK);
    EXPECT_EQ(order(), (std::vector<int>{0, 1, 5, 2, 4}));
    EXPECT_FLOAT_EQ(speaker(2).mAngle, 5.0f);
    EXPECT_FLOAT_EQ(speaker(2).mPosition[2], -2.0f);
    EXPECT_EQ(speaker(2).mPosition[1], 0.0f);

    // In raw mode the record changes but the list is left as it was.
    ASSERT_EQ(system->setSpeakerMode(AURA_SPEAKERMODE_RAW), AURA_OK);
    ASSERT_EQ(system->set3DSpeakerPosition(AURA_SPEAKER_FRONT_CENTER, 0, 1, true), AURA_OK);
    EXPECT_FLOAT_EQ(speaker(2).mAngle, 1.0f);
    EXPECT_EQ(order(), (std::vector<int>{0, 1, 5, 2, 4}));
}

TEST_F(SpeakerLayout, RefusedChangesLeaveTheLayoutAlone)
{
    ASSERT_EQ(system->setSpeakerMode(AURA_SPEAKERMODE_5POINT1), AURA_OK);
    AURA::AURA_SPEAKERCONFIG speakers[8];
    AURA::AURA_SPEAKERCONFIG *list[8];
    std::memcpy(speakers, system->mSpeaker, sizeof speakers);
    std::memcpy(list, system->mSpeakerList, sizeof list);

    EXPECT_EQ(system->set3DSpeakerPosition(AURA_SPEAKER_MAX, 1, 1, true), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(system->set3DSpeakerPosition(static_cast<AURA_SPEAKER>(100), 1, 1, true),
              AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(std::memcmp(speakers, system->mSpeaker, sizeof speakers), 0);
    EXPECT_EQ(std::memcmp(list, system->mSpeakerList, sizeof list), 0);

    system->mInitialised = true;
    EXPECT_EQ(system->setSpeakerMode(AURA_SPEAKERMODE_STEREO), AURA_ERR_INITIALIZED);
    EXPECT_EQ(system->mSpeakerMode, AURA_SPEAKERMODE_5POINT1);
    EXPECT_EQ(system->mMaxOutputChannels, 6);
    EXPECT_EQ(std::memcmp(speakers, system->mSpeaker, sizeof speakers), 0);
    EXPECT_EQ(std::memcmp(list, system->mSpeakerList, sizeof list), 0);
    system->mInitialised = false;
}

TEST_F(SpeakerLayout, MoreOutputChannelsThanSpeakersSortsOnlyTheEightRecords)
{
    system->mMaxOutputChannels = 12;
    const int listeners = system->mNum3DListeners;
    const float doppler = system->mDopplerScale;
    // A mode without a table of its own only sorts again.
    ASSERT_EQ(system->setSpeakerMode(AURA_SPEAKERMODE_STEREO_LINEAR), AURA_OK);
    EXPECT_EQ(system->mMaxOutputChannels, 12);
    // The stereo pair at the sides, the rest where construction put them;
    // equal angles keep index order.
    EXPECT_EQ(order(), (std::vector<int>{2, 1, 7, 5, 4, 0, 6}));
    EXPECT_EQ(system->mNum3DListeners, listeners);
    EXPECT_EQ(system->mDopplerScale, doppler);
}

TEST_F(SpeakerLayout, AnAmbientReverbWithAnEnvironmentTurnsThe3DReverbOn)
{
    bool active = true;
    ASSERT_EQ(system->get3DReverbActive(&active), AURA_OK);
    EXPECT_FALSE(active);
    EXPECT_EQ(system->mReverbAmbientProperties.Environment, -1);
    EXPECT_EQ(system->mReverbAmbientProperties.Room, -10000);

    AURA_REVERB_PROPERTIES props = system->mReverbAmbientProperties;
    props.Room = -1000;
    ASSERT_EQ(system->setReverbAmbientProperties(&props), AURA_OK);
    EXPECT_FALSE(system->m3DReverbActive);
    EXPECT_EQ(system->mReverbAmbientProperties.Room, -1000);

    props.Environment = 3;
    ASSERT_EQ(system->setReverbAmbientProperties(&props), AURA_OK);
    EXPECT_TRUE(system->m3DReverbActive);
    EXPECT_EQ(std::memcmp(&system->mReverbAmbientProperties, &props, sizeof props), 0);

    // Back to "no environment" does not turn it off again.
    props.Environment = -1;
    ASSERT_EQ(system->setReverbAmbientProperties(&props), AURA_OK);
    EXPECT_TRUE(system->m3DReverbActive);
    ASSERT_EQ(system->set3DReverbActive(false), AURA_OK);
    ASSERT_EQ(system->get3DReverbActive(&active), AURA_OK);
    EXPECT_FALSE(active);

    EXPECT_EQ(system->setReverbAmbientProperties(nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(system->get3DReverbActive(nullptr), AURA_ERR_INVALID_PARAM);
}

} // namespace
