// The IT echo and the IT low-pass units: their lines and coefficients, the
// channels they leave alone, and the low-pass against sox's biquad.
#include "effect_fixture.h"
#include "files.h"
#include "tools.h"
#include "wav.h"

#include "dsp/effects/aura_dsp_itunits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using auratest::Effects;
using AURA::DSPITEcho;
using AURA::DSPLowPass2;

std::vector<float> impulse(size_t frames, int channels, float value = 1.0f)
{
    std::vector<float> v(frames * static_cast<size_t>(channels), 0.0f);
    for (int c = 0; c < channels; ++c) {
        v[static_cast<size_t>(c)] = value;
    }
    return v;
}

TEST_F(Effects, ITEchoFeedsBackThroughItsLines)
{
    EXPECT_EQ(DSPITEcho::lineLength(500.0f, 48000), 24000u);
    EXPECT_EQ(DSPITEcho::lineLength(1.0f, 48000), 48u);
    EXPECT_EQ(DSPITEcho::lineLength(1.0f, 500), 1u); // never a line without a sample

    DSPITEcho *echo = make<DSPITEcho>();
    EXPECT_EQ(echo->mLineLength[0], 24000u);
    EXPECT_EQ(echo->mLineBytes[1], 96000u);
    const std::vector<float> out = run(echo, impulse(72001, 2), 2);
    for (int c = 0; c < 2; ++c) {
        EXPECT_FLOAT_EQ(out[0 + c], 0.5f);
        EXPECT_FLOAT_EQ(out[2 * 24000 + c], 0.5f);
        EXPECT_FLOAT_EQ(out[2 * 48000 + c], 0.25f);
        EXPECT_FLOAT_EQ(out[2 * 72000 + c], 0.125f);
        EXPECT_FLOAT_EQ(out[2 * 100 + c], 0.0f);
    }

    // Mono runs through the left line; channels 2 and 3 of four pass.
    ASSERT_EQ(echo->setParameter(2, 10.0f), AURA_OK);
    ASSERT_EQ(echo->setParameter(3, 20.0f), AURA_OK);
    const std::vector<float> mono = run(echo, impulse(1000, 1), 1);
    EXPECT_FLOAT_EQ(mono[480], 0.5f);
    EXPECT_FLOAT_EQ(mono[960], 0.25f);
    ASSERT_EQ(echo->reset(), AURA_OK);
    const std::vector<float> four = impulse(1000, 4, 0.75f);
    const std::vector<float> quad = run(echo, four, 4);
    EXPECT_FLOAT_EQ(quad[4 * 480 + 0], 0.375f);
    EXPECT_FLOAT_EQ(quad[4 * 960 + 1], 0.375f);
    for (size_t f = 0; f < 1000; ++f) {
        ASSERT_EQ(quad[f * 4 + 2], four[f * 4 + 2]);
        ASSERT_EQ(quad[f * 4 + 3], four[f * 4 + 3]);
    }
}

TEST_F(Effects, ITEchoKeepsOrClearsItsLines)
{
    DSPITEcho *echo = make<DSPITEcho>();
    ASSERT_EQ(echo->setParameter(2, 10.0f), AURA_OK); // 480 frames
    ASSERT_EQ(echo->setParameter(3, 10.0f), AURA_OK);
    const auto echoAt480 = [&] {
        const std::vector<float> out = run(echo, std::vector<float>(2 * 600, 0.0f), 2);
        return out[2 * (480 - 100)]; // the line was fed 100 frames before
    };
    const std::vector<float> head = impulse(100, 2);

    (void)run(echo, head, 2);
    ASSERT_EQ(echo->setParameter(2, 10.0f), AURA_OK); // the same delay: the line stays
    EXPECT_FLOAT_EQ(echoAt480(), 0.5f);

    (void)run(echo, head, 2);
    ASSERT_EQ(echo->setParameter(3, 11.0f), AURA_OK); // another delay: both lines start over
    const std::vector<float> after = run(echo, std::vector<float>(2 * 1200, 0.0f), 2);
    for (float v : after) {
        ASSERT_EQ(v, 0.0f);
    }

    // A channel whose mask bit changes loses what its line held.
    ASSERT_EQ(echo->setParameter(3, 10.0f), AURA_OK);
    (void)run(echo, head, 2);
    echo->mDSPState.speakermask = 0x1;
    const std::vector<float> masked = run(echo, std::vector<float>(2 * 600, 0.0f), 2);
    EXPECT_FLOAT_EQ(masked[2 * 380], 0.5f);
    EXPECT_EQ(masked[2 * 380 + 1], 0.0f);
    echo->mDSPState.speakermask = 0xFFFF;
    const std::vector<float> back = run(echo, std::vector<float>(2 * 600, 0.0f), 2);
    for (size_t f = 0; f < 600; ++f) {
        ASSERT_EQ(back[f * 2 + 1], 0.0f) << f;
    }

    // A parameter that is not a number is refused before it reaches the unit.
    EXPECT_EQ(echo->setParameter(0, std::nanf("")), AURA_ERR_INVALID_PARAM);
    float wet = 0.0f;
    char text[16] = {};
    ASSERT_EQ(echo->getParameter(0, &wet, text, sizeof(text)), AURA_OK);
    EXPECT_FLOAT_EQ(wet, 50.0f);
    EXPECT_STREQ(text, "50.0");
}

TEST_F(Effects, ITLowpassCoefficientsAndChannels)
{
    struct Case {
        float cutoff, resonance, a0, b0, b1;
    };
    const Case cases[] = {
        {5000.0f, 1.0f, 0.137320f, 1.183246f, -0.320566f},
        {5000.0f, 127.0f, 0.375884f, 1.501594f, -0.877477f},
        {120.0f, 1.0f, 0.000239f, 1.969478f, -0.969718f},
    };
    DSPLowPass2 *filter = make<DSPLowPass2>();
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.cutoff << " Hz, resonance " << c.resonance);
        ASSERT_EQ(filter->setParameter(0, c.cutoff), AURA_OK);
        ASSERT_EQ(filter->setParameter(1, c.resonance), AURA_OK);
        (void)run(filter, std::vector<float>(16, 0.0f), 1);
        EXPECT_NEAR(filter->mA0, c.a0, 1e-6);
        EXPECT_NEAR(filter->mB0, c.b0, 1e-6);
        EXPECT_NEAR(filter->mB1, c.b1, 1e-6);
    }
    ASSERT_EQ(filter->setParameter(1, 0.0f), AURA_OK);
    float resonance = 0.0f;
    char text[16] = {};
    ASSERT_EQ(filter->getParameter(1, &resonance, text, sizeof(text)), AURA_OK);
    EXPECT_EQ(resonance, 1.0f);

    // Channel 1 masked off is copied; channels past the history pass too.
    ASSERT_EQ(filter->reset(), AURA_OK);
    const std::vector<float> stereo = sine(9000.0, 0.5, 512, 48000, 2);
    filter->mDSPState.speakermask = 0x1;
    const std::vector<float> out = run(filter, stereo, 2);
    for (size_t f = 0; f < 512; ++f) {
        ASSERT_EQ(out[f * 2 + 1], stereo[f * 2 + 1]);
        if (f >= 200) {
            ASSERT_LT(std::fabs(out[f * 2]), 0.01f) << f; // 9 kHz through 120 Hz
        }
    }
    filter->mDSPState.speakermask = 0xFFFF;
    const std::vector<float> wide = sine(9000.0, 0.5, 64, 48000, 18);
    const std::vector<float> wideOut = run(filter, wide, 18);
    for (size_t f = 0; f < 64; ++f) {
        ASSERT_EQ(wideOut[f * 18 + 16], wide[f * 18 + 16]);
        ASSERT_EQ(wideOut[f * 18 + 17], wide[f * 18 + 17]);
    }
}

#ifdef AURA_PLAY_PATH
// The low-pass through aura-play equals sox's biquad with the same
// coefficients, on noise at -30 dBFS.
TEST_F(Effects, ITLowpassThroughThePlayerMatchesSoxBiquad)
{
    using auratest::quote;
    auratest::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string noise = dir.file("noise.wav");
    ASSERT_TRUE(auratest::run("sox -D -R -n -r 48000 -c 2 -e floating-point -b 32 " + quote(noise) +
                              " synth 2 whitenoise gain -30"));
    const std::string ours = dir.file("ours.wav");
    ASSERT_TRUE(auratest::run(std::string(AURA_PLAY_PATH) + " -q --rate 48000 --format float --dsp " +
                              "it-lowpass:cutoff=2000,resonance=60 -o " + quote(ours) + " " + quote(noise)));

    // The same coefficients from a unit at 48 kHz, printed with nine digits.
    DSPLowPass2 *unit = make<DSPLowPass2>();
    ASSERT_EQ(unit->setParameter(0, 2000.0f), AURA_OK);
    ASSERT_EQ(unit->setParameter(1, 60.0f), AURA_OK);
    ASSERT_EQ(unit->updateCoefficients(60.0f, 2000.0f), AURA_OK);
    char biquad[160];
    std::snprintf(biquad, sizeof(biquad), "biquad %.9g 0 0 1 %.9g %.9g", static_cast<double>(unit->mA0),
                  static_cast<double>(-unit->mB0), static_cast<double>(-unit->mB1));
    const std::string theirs = dir.file("theirs.wav");
    ASSERT_TRUE(auratest::run("sox -D " + quote(noise) + " -e floating-point -b 32 " + quote(theirs) + " " + biquad));

    const auratest::Wav a = auratest::readWav(ours);
    const auratest::Wav b = auratest::readWav(theirs);
    ASSERT_EQ(a.channels, 2u);
    ASSERT_EQ(b.channels, 2u);
    ASSERT_EQ(a.samples.size(), b.samples.size());
    double signal = 0, error = 0;
    for (size_t i = 0; i < a.samples.size(); ++i) {
        signal += static_cast<double>(b.samples[i]) * b.samples[i];
        error += (static_cast<double>(a.samples[i]) - b.samples[i]) * (a.samples[i] - b.samples[i]);
    }
    EXPECT_GE(10.0 * std::log10(signal / std::max(error, 1e-30)), 80.0);
}
#endif

} // namespace
