// The built-in effect units, run straight through their read callbacks on a
// system's DSP engine (for its rate), and the spectrum analyser.
#include "dsp_harness.h"
#include "effect_fixture.h"

#include "dsp/effects/aura_dsp_delays.h"
#include "dsp/effects/aura_dsp_dynamics.h"
#include "dsp/effects/aura_dsp_filters.h"
#include "dsp/effects/aura_dsp_itunits.h"
#include "dsp/effects/aura_dsp_oscillator.h"
#include "dsp/effects/aura_dsp_pitchshift.h"
#include "dsp/effects/aura_dsp_reverb.h"
#include "dsp/units/aura_dsp_fft.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <thread>
#include <cstring>
#include <string>
#include <vector>

namespace {

using AURA::DSPI;

constexpr double kPi = 3.14159265358979323846;

using auratest::Effects;

// Every unit: parameters clamp to their range and read back with their
// texts; a mask without channels copies the block bit-exact.
TEST_F(Effects, EveryUnitClampsItsParametersAndPassesMaskedChannels)
{
    for (const AURA::EffectUnitEntry &entry : AURA::builtInEffectUnits()) {
        DSPI *unit = nullptr;
        ASSERT_EQ(harness.system.createDSPInternal(entry.describe(), &unit, true), AURA_OK);
        harness.units.push_back(unit);
        SCOPED_TRACE(unit->mDescription.name);
        for (int i = 0; i < unit->mDescription.numparameters; ++i) {
            const AURA_DSP_PARAMETERDESC &p = unit->mDescription.paramdesc[i];
            for (float beyond : {p.max + 1000.0f, p.min - 1000.0f}) {
                ASSERT_EQ(unit->setParameter(i, beyond), AURA_OK);
                // Units that take their values at the next block show them
                // in the texts from then on.
                (void)run(unit, std::vector<float>(2, 0.0f), 2);
                float value = 0.0f;
                char text[16] = {};
                ASSERT_EQ(unit->getParameter(i, &value, text, sizeof(text)), AURA_OK);
                const float bound = beyond > p.max ? p.max : p.min;
                const std::string name = p.name;
                if (name == "Overlap") { // fixed at 4 whatever is set
                    EXPECT_EQ(value, 4.0f);
                    EXPECT_STREQ(text, "4");
                    continue;
                }
                // The lowpass family stores cutoffs at or above its rate limit as
                // the limit; every other value reads back as the bound.
                EXPECT_LE(value, bound);
                EXPECT_GE(value, p.min);
                // Texts are "%.02f" but for switches, enumerations and the
                // IT echo's percentages.
                char expect[32];
                const bool itEcho = std::strcmp(unit->mDescription.name, "AURA IT Echo") == 0;
                if (itEcho && (i == 0 || i == 1)) {
                    std::snprintf(expect, sizeof(expect), "%.1f", static_cast<double>(value));
                } else if (itEcho && i == 4) {
                    std::snprintf(expect, sizeof(expect), "%s", value != 0.0f ? "on" : "off");
                } else if (std::strcmp(p.label, "%") == 0) {
                    std::snprintf(expect, sizeof(expect), "%.1f", static_cast<double>(value) * 100.0);
                } else if (name == "Max channels" || name == "FFT size") {
                    std::snprintf(expect, sizeof(expect), "%d", static_cast<int>(value));
                } else {
                    std::snprintf(expect, sizeof(expect), "%.02f", static_cast<double>(value));
                }
                if (name != "Oscillator type") {
                    EXPECT_STREQ(text, expect);
                }
            }
            EXPECT_EQ(unit->setParameter(i, p.defaultval), AURA_OK);
        }
        EXPECT_EQ(unit->setParameter(unit->mDescription.numparameters, 1.0f), AURA_ERR_INVALID_PARAM);
        if (unit->mDescription.channels == 0) {
            std::vector<float> in = sine(440.0, 0.8, 256, 48000, 2);
            unit->mDSPState.speakermask = 0;
            EXPECT_EQ(run(unit, in, 2), in);
            unit->mDSPState.speakermask = 0x1; // channel 1 passes unchanged
            const std::vector<float> out = run(unit, in, 2);
            for (size_t f = 0; f < 256; ++f) {
                ASSERT_EQ(out[f * 2 + 1], in[f * 2 + 1]);
            }
        }
    }
}

// A reset unit answers as a new one; units without memory to clear say so.
TEST_F(Effects, ResetClearsWhatAUnitRemembers)
{
    std::vector<float> noise(2 * 512);
    for (size_t i = 0; i < noise.size(); ++i) {
        noise[i] = static_cast<float>(std::sin(0.3 * static_cast<double>(i * i % 977)));
    }
    for (const AURA::EffectUnitEntry &entry : AURA::builtInEffectUnits()) {
        DSPI *used = nullptr;
        DSPI *fresh = nullptr;
        ASSERT_EQ(harness.system.createDSPInternal(entry.describe(), &used, true), AURA_OK);
        harness.units.push_back(used);
        ASSERT_EQ(harness.system.createDSPInternal(entry.describe(), &fresh, true), AURA_OK);
        harness.units.push_back(fresh);
        SCOPED_TRACE(used->mDescription.name);
        const std::string name = used->mDescription.name;
        if (name == "AURA Flange" || name == "AURA Chorus") {
            // Their LFO keeps its phase through a reset: hold it still.
            const int rate = name == "AURA Flange" ? 3 : 5;
            ASSERT_EQ(used->setParameter(rate, 0.0f), AURA_OK);
            ASSERT_EQ(fresh->setParameter(rate, 0.0f), AURA_OK);
        }
        (void)run(used, noise, 2);
        if (!used->mDescription.reset) {
            EXPECT_EQ(used->reset(), AURA_ERR_UNSUPPORTED);
            continue;
        }
        ASSERT_EQ(used->reset(), AURA_OK);
        const std::vector<float> a = run(used, noise, 2);
        const std::vector<float> b = run(fresh, noise, 2);
        for (size_t i = 0; i < a.size(); ++i) {
            ASSERT_NEAR(a[i], b[i], 1e-6f) << i;
        }
    }
}

TEST(EffectTexts, ParameterTextsFollowTheirFormats)
{
    struct Case {
        void (*format)(char *, float);
        float value;
        const char *text;
    };
    const Case cases[] = {
        {&AURA::formatParameter, 5000.0f, "5000.00"},
        {&AURA::formatParameter, -19.994f, "-19.99"},
        {&AURA::formatParameter, 100000.0f, "100000.00"},
        {&AURA::formatParameterPercent, 0.5f, "50.0"},
        {&AURA::formatParameterPercent, 0.0124f, "1.2"},
    };
    for (const Case &c : cases) {
        char text[AURA::DSP_PARAMETER_TEXT + 4] = {};
        c.format(text, c.value);
        EXPECT_STREQ(text, c.text);
    }
    char text[AURA::DSP_PARAMETER_TEXT] = {};
    AURA::formatParameterInt(text, -42);
    EXPECT_STREQ(text, "-42");
    AURA::formatParameter(text, 1.0e30f); // never writes past the text's bytes
    EXPECT_EQ(std::strlen(text), static_cast<size_t>(AURA::DSP_PARAMETER_TEXT - 1));
}

TEST_F(Effects, LowpassGlidesFrameByFrame)
{
    struct Case {
        float fromCutoff, toCutoff, fromRes, toRes;
        unsigned int frames;
    };
    for (const Case &c : {Case{5000, 100, 1, 1, 169}, Case{100, 5000, 1, 1, 171}, Case{5000, 5000, 1, 10, 9}}) {
        float cutoff = c.fromCutoff, res = c.fromRes;
        unsigned int frames = 0;
        while (AURA::glideStep(cutoff, c.toCutoff, res, c.toRes)) {
            ++frames;
        }
        EXPECT_EQ(frames + 1, c.frames) << c.fromCutoff << " -> " << c.toCutoff;
    }
    // Through the unit: the glide ends with the targets reached.
    auto *lp = make<AURA::DSPLowPass>();
    ASSERT_EQ(lp->setParameter(0, 100.0f), AURA_OK);
    (void)run(lp, std::vector<float>(168, 0.0f), 1);
    EXPECT_GT(lp->mCurrentCutoff, 100.0f);
    (void)run(lp, std::vector<float>(1, 0.0f), 1);
    EXPECT_EQ(lp->mCurrentCutoff, 100.0f);
}

// Magnitude responses against the analogue designs they come from.
TEST_F(Effects, FilterResponsesFollowTheirDesigns)
{
    const int rate = 48000;
    auto gainAt = [&](DSPI *unit, double f) {
        (void)unit->reset();
        const int frames = 9600;
        const std::vector<float> out = run(unit, sine(f, 0.5, frames, rate), 1);
        return 20.0 * std::log10(peak(out, frames / 2) / 0.5);
    };
    auto *lp = make<AURA::DSPLowPass>();
    ASSERT_EQ(lp->setParameter(0, 1000.0f), AURA_OK);
    (void)run(lp, std::vector<float>(4096, 0.0f), 1);
    // Fourth-order Butterworth at resonance 1: -3 dB at the cutoff, -24 dB an
    // octave above it less the bilinear warp.
    EXPECT_NEAR(gainAt(lp, 1000.0), -3.01, 0.15);
    EXPECT_NEAR(gainAt(lp, 100.0), 0.0, 0.05);
    EXPECT_LT(gainAt(lp, 4000.0), -45.0);

    auto *hp = make<AURA::DSPHighPass>();
    ASSERT_EQ(hp->setParameter(0, 1000.0f), AURA_OK);
    (void)run(hp, std::vector<float>(4096, 0.0f), 1);
    EXPECT_NEAR(gainAt(hp, 1000.0), 0.0, 0.1); // Q 1: unity at the cutoff
    EXPECT_NEAR(gainAt(hp, 10000.0), 0.0, 0.1);
    EXPECT_LT(gainAt(hp, 100.0), -38.0);

    auto *eq = make<AURA::DSPParamEq>();
    ASSERT_EQ(eq->setParameter(0, 1000.0f), AURA_OK);
    ASSERT_EQ(eq->setParameter(2, 3.0f), AURA_OK);
    EXPECT_NEAR(gainAt(eq, 1000.0), 20.0 * std::log10(9.0), 0.1); // gain squared at the centre
    ASSERT_EQ(eq->setParameter(2, 1.0f), AURA_OK);
    EXPECT_NEAR(gainAt(eq, 3000.0), 0.0, 0.01);

    auto *simple = make<AURA::DSPLowPassSimple>();
    ASSERT_EQ(simple->setParameter(0, 1000.0f), AURA_OK);
    // Two one-pole sections y = a x + (1 - a) y[-1]; a from the RC cutoff.
    const double dt = 1.0 / rate;
    const double a = dt / (1.0 / (2.0 * kPi * 1000.0) + dt);
    const double w = 2.0 * kPi * 1000.0 / rate;
    const double section = a / std::abs(std::complex<double>(1.0, 0.0) - (1.0 - a) * std::polar(1.0, -w));
    EXPECT_NEAR(gainAt(simple, 1000.0), 40.0 * std::log10(section), 0.05);
    ASSERT_EQ(simple->setParameter(0, 22000.0f), AURA_OK);
    const std::vector<float> in = sine(5000.0, 0.9, 512, rate);
    EXPECT_EQ(run(simple, in, 1), in); // a = 1 copies bit-exact
}

TEST(EffectsAt24k, HighpassIsSilentAtItsMaximumCutoff)
{
    auratest::Harness harness;
    harness.system.mOutputRate = 24000;
    DSPI *hp = nullptr;
    ASSERT_EQ(harness.system.createDSPInternal(AURA::DSPHighPass::getDescriptionEx(), &hp, true), AURA_OK);
    harness.units.push_back(hp);
    hp->mDSPState.speakermask = 0xFFFF;
    ASSERT_EQ(hp->setParameter(0, 22000.0f), AURA_OK);
    float value = 0.0f;
    ASSERT_EQ(hp->getParameter(0, &value, nullptr, 0), AURA_OK);
    EXPECT_EQ(value, 11990.0f);
    std::vector<float> in = Effects::sine(5000.0, 1.0, 4096, 24000);
    const std::vector<float> out = Effects::run(hp, in, 1);
    EXPECT_EQ(Effects::peak(out, 2048), 0.0f);
}

TEST_F(Effects, CompressorSettlesAtTheThresholdAndEndsItsDecay)
{
    auto *comp = make<AURA::DSPCompressor>();
    ASSERT_EQ(comp->setParameter(0, -20.0f), AURA_OK);
    const std::vector<float> in = sine(1000.0, 1.0, 48000, 48000);
    EXPECT_NEAR(peak(run(comp, in, 1), 24000), 0.1f, 0.002f);
    ASSERT_EQ(comp->setParameter(3, 20.0f), AURA_OK);
    EXPECT_NEAR(peak(run(comp, in, 1), 24000), 1.0f, 0.02f);

    // The gain rises as 10 - 9 e^(-t / attack) on a constant full-scale input.
    auto *fresh = make<AURA::DSPCompressor>();
    ASSERT_EQ(fresh->setParameter(0, -20.0f), AURA_OK);
    const std::vector<float> out = run(fresh, std::vector<float>(4800, 1.0f), 1);
    for (int t : {480, 2400, 4799}) {
        const double expected = 10.0 - 9.0 * std::exp(-(t + 1) / (48000.0 * 0.050));
        EXPECT_NEAR(1.0 / out[static_cast<size_t>(t)], expected, expected * 0.002) << t;
    }

    // Silence: the gain ends at 0, not in the denormal range.
    (void)run(comp, std::vector<float>(48000 * 3, 0.0f), 1);
    EXPECT_TRUE(comp->mGain == 0.0f || std::fpclassify(comp->mGain) == FP_NORMAL) << comp->mGain;
}

TEST_F(Effects, DistortionShapesSoftly)
{
    auto *dist = make<AURA::DSPDistortion>();
    const std::vector<float> in = {0.1f, 0.5f, 1.0f, -1.0f, -0.5f};
    const std::vector<float> out = run(dist, in, 1);
    EXPECT_NEAR(out[0], 0.25f, 1e-6f);
    EXPECT_NEAR(out[1], 0.75f, 1e-6f);
    EXPECT_EQ(out[2], 1.0f);
    EXPECT_EQ(out[3], -1.0f);
    EXPECT_NEAR(out[4], -0.75f, 1e-6f);
    ASSERT_EQ(dist->setParameter(0, 1.0f), AURA_OK);
    const std::vector<float> hard = run(dist, {0.001f, 1.0f}, 1);
    EXPECT_NEAR(hard[0], 19995.681640625 * 0.001 / (1.0 + 19994.681640625 * 0.001), 1e-4);
    EXPECT_EQ(hard[1], 1.0f);
}

TEST_F(Effects, NormalizeBoostsQuietInputAndRecoversAfterABurst)
{
    auto *norm = make<AURA::DSPNormalize>();
    const std::vector<float> quiet = sine(1000.0, 0.05, 48000 * 6, 48000);
    const std::vector<float> out = run(norm, quiet, 1);
    EXPECT_NEAR(peak(out, out.size() - 4800), 0.5f, 0.01f); // gain 1 / threshold 0.1 = 10
    (void)norm->reset();
    EXPECT_EQ(norm->mPeak, 1.0f);
    // After a full-scale burst the follower falls 1.0 per 5 s to the floor
    // of 0.1: 4.5 s.
    (void)run(norm, sine(1000.0, 1.0, 4800, 48000), 1);
    (void)run(norm, std::vector<float>(static_cast<size_t>(48000 * 4.4), 0.0f), 1);
    EXPECT_GT(norm->mPeak, 0.1f);
    (void)run(norm, std::vector<float>(48000 / 10 + 100, 0.0f), 1);
    EXPECT_EQ(norm->mPeak, 0.1f);
}

// Crossings of zero upwards per second of a generated signal.
double measuredFrequency(const std::vector<float> &v, int rate)
{
    int first = -1, last = -1, count = 0;
    for (size_t i = 1; i < v.size(); ++i) {
        if (v[i - 1] < 0.0f && v[i] >= 0.0f) {
            if (first < 0) {
                first = static_cast<int>(i);
            }
            last = static_cast<int>(i);
            ++count;
        }
    }
    return count > 1 ? (count - 1) * static_cast<double>(rate) / (last - first) : 0.0;
}

TEST_F(Effects, OscillatorSoundsAtTheSetFrequency)
{
    auto *osc = make<AURA::DSPOscillator>();
    const std::vector<float> silence(48000, 0.0f);
    for (float type = 0; type <= 4; ++type) {
        for (float f : {100.0f, 1000.0f, 4000.0f}) {
            ASSERT_EQ(osc->setParameter(0, type), AURA_OK);
            ASSERT_EQ(osc->setParameter(1, f), AURA_OK);
            const std::vector<float> out = run(osc, silence, 1);
            // The triangle starts at 0 and rises; a crossing counts from -.
            EXPECT_NEAR(measuredFrequency(out, 48000), f, f * 0.005) << "type " << type;
        }
    }
    // Sine samples against the formula.
    ASSERT_EQ(osc->setParameter(0, 0.0f), AURA_OK);
    ASSERT_EQ(osc->setParameter(1, 1000.0f), AURA_OK);
    const std::vector<float> sineOut = run(osc, std::vector<float>(4800, 0.0f), 1);
    double noise = 0.0, signal = 0.0;
    for (size_t i = 0; i < sineOut.size(); ++i) {
        const double ref = std::sin(2.0 * kPi * 1000.0 * static_cast<double>(i) / 48000.0);
        noise += (sineOut[i] - ref) * (sineOut[i] - ref);
        signal += ref * ref;
    }
    EXPECT_GT(10.0 * std::log10(signal / noise), 60.0);

    ASSERT_EQ(osc->setParameter(0, 5.0f), AURA_OK);
    char text[16] = {};
    ASSERT_EQ(osc->getParameter(0, nullptr, text, sizeof(text)), AURA_OK);
    EXPECT_STREQ(text, "noise");
    const std::vector<float> noiseOut = run(osc, silence, 1);
    float lo = 1.0f, hi = -1.0f;
    for (float v : noiseOut) {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        ASSERT_EQ(std::fmod((v + 1.0f) * 16384.0f, 1.0f), 0.0f);
    }
    EXPECT_GE(lo, -1.0f);
    EXPECT_LE(hi, 0.99993896f);
    EXPECT_LT(lo, -0.99f);
    EXPECT_GT(hi, 0.99f);
}

TEST(EffectNoise, ClaimingRandomValuesAdvancesTheSharedSeedAsDrawingThemOneByOne)
{
    for (unsigned int count : {0u, 1u, 7u, 1024u, 100000u}) {
        std::atomic<unsigned int> seed{12345u};
        unsigned int expected = 12345u;
        for (unsigned int i = 0; i < count; ++i) {
            expected = expected * 214013u + 2531011u;
        }
        EXPECT_EQ(AURA::DSPOscillator::claimRandom(seed, count), 12345u);
        EXPECT_EQ(seed.load(), expected) << count;
    }
}

// Loud noise, then a minute of silence at each unit's slowest setting: no
// state the units keep, and no sample they write, is left a denormal (which
// would make every later sample slow on a thread without flush-to-zero).
TEST_F(Effects, SilenceLeavesNoDenormalState)
{
    auto *lp = make<AURA::DSPLowPass>();
    (void)lp->setParameter(0, 10.0f);
    (void)lp->setParameter(1, 10.0f);
    auto *hp = make<AURA::DSPHighPass>();
    (void)hp->setParameter(0, 10.0f);
    auto *simple = make<AURA::DSPLowPassSimple>();
    (void)simple->setParameter(0, 10.0f);
    auto *eq = make<AURA::DSPParamEq>();
    (void)eq->setParameter(0, 20.0f);
    (void)eq->setParameter(1, 0.2f);
    (void)eq->setParameter(2, 3.0f);
    auto *comp = make<AURA::DSPCompressor>();
    (void)comp->setParameter(0, -60.0f);
    (void)comp->setParameter(2, 20.0f); // the quickest decay reaches the denormals first
    auto *norm = make<AURA::DSPNormalize>();
    (void)norm->setParameter(0, 20000.0f);
    (void)norm->setParameter(1, 0.0f);
    // The IT echo at its shortest line and a feedback above one half, where
    // the smallest denormals would round back to themselves for ever.
    auto *itEcho = make<AURA::DSPITEcho>();
    (void)itEcho->setParameter(1, 80.0f);
    (void)itEcho->setParameter(2, 1.0f);
    (void)itEcho->setParameter(3, 1.0f);
    auto *itLowPass = make<AURA::DSPLowPass2>();
    (void)itLowPass->setParameter(0, 1.0f);
    (void)itLowPass->setParameter(1, 127.0f);
    auto *pitch = make<AURA::DSPPitchShift>();
    (void)pitch->setParameter(0, 0.5f);
    auto *echo = make<AURA::DSPEcho>();
    (void)echo->setParameter(0, 10.0f);
    (void)echo->setParameter(1, 0.9f);
    auto *flange = make<AURA::DSPFlange>();
    auto *chorus = make<AURA::DSPChorus>();
    (void)chorus->setParameter(7, 0.9f);
    auto *reverb = make<AURA::DSPSfxReverb>();
    AURA_REVERB_PROPERTIES longest{};
    longest.Room = 0;
    longest.Reverb = 2000;
    longest.DecayTime = 20.0f;
    longest.DecayHFRatio = 2.0f;
    longest.HFReference = 5000.0f;
    longest.Diffusion = 100.0f;
    longest.Density = 100.0f;
    (void)reverb->setProperties(longest);
    (void)harness.system.flushDSPConnectionRequests(false); // the echo builds its line
    DSPI *units[] = {lp, hp, simple, eq, comp, norm, itEcho, itLowPass, pitch, echo, flange, chorus, reverb};

    std::vector<float> noise(2 * 1024);
    unsigned int seed = 1;
    const std::vector<float> silence(2 * 1024, 0.0f);
    auto denormal = [](float v) { return std::fpclassify(v) == FP_SUBNORMAL; };
    for (DSPI *unit : units) {
        SCOPED_TRACE(unit->mDescription.name);
        for (int block = 0; block < 47; ++block) {
            for (float &v : noise) {
                seed = seed * 1664525u + 1013904223u;
                v = static_cast<float>(static_cast<int>(seed >> 8) - (1 << 23)) / static_cast<float>(1 << 23);
            }
            (void)run(unit, noise, 2);
        }
        std::vector<float> out;
        for (int block = 0; block < 60 * 47; ++block) {
            out = run(unit, silence, 2);
        }
        EXPECT_EQ(std::count_if(out.begin(), out.end(), denormal), 0);
    }
    for (const auto &h : lp->mHistory) {
        for (float v : h) {
            EXPECT_FALSE(denormal(v)) << v;
        }
    }
    for (int c = 0; c < 2; ++c) {
        for (float v : {hp->mX1[c], hp->mX2[c], hp->mY1[c], hp->mY2[c], simple->mState[c][0], simple->mState[c][1],
                        eq->mX[c][0], eq->mX[c][1], eq->mY[c][0], eq->mY[c][1], comp->mFollower[c]}) {
            EXPECT_FALSE(denormal(v)) << v;
        }
    }
    for (int side = 0; side < 2; ++side) {
        EXPECT_EQ(std::count_if(itEcho->mLine[side], itEcho->mLine[side] + itEcho->mLineLength[side], denormal), 0)
            << "IT echo line " << side;
    }
    for (const auto &h : itLowPass->mHistory) {
        EXPECT_FALSE(denormal(h[0]) || denormal(h[1])) << h[0] << " " << h[1];
    }
    EXPECT_FALSE(denormal(comp->mGain)) << comp->mGain;
    EXPECT_FALSE(denormal(norm->mPeak)) << norm->mPeak;
}

// Two spectra taken at once from the one shared analyser come out as each
// would alone.
TEST(SpectrumThreads, ConcurrentRequestsDoNotMix)
{
    AURA::DSPFFT *fft = nullptr;
    ASSERT_EQ(AURA::Global::getDSPFFT(&fft), AURA_OK);
    std::vector<float> rings[2] = {std::vector<float>(16384), std::vector<float>(16384)};
    for (size_t i = 0; i < 16384; ++i) {
        rings[0][i] = static_cast<float>(0.5 * std::sin(0.1 * static_cast<double>(i)));
        rings[1][i] = static_cast<float>(0.5 * std::sin(0.7 * static_cast<double>(i)));
    }
    std::vector<float> alone[2];
    for (int t = 0; t < 2; ++t) {
        alone[t].resize(2048);
        ASSERT_EQ(fft->getSpectrum(rings[t].data(), 0, 16384, alone[t].data(), 4096, 0, 1, AURA_DSP_FFT_WINDOW_HANNING),
                  AURA_OK);
    }
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            std::vector<float> got(2048);
            for (int round = 0; round < 50; ++round) {
                (void)fft->getSpectrum(rings[t].data(), 0, 16384, got.data(), 4096, 0, 1, AURA_DSP_FFT_WINDOW_HANNING);
                if (got != alone[t]) {
                    mismatches.fetch_add(1);
                }
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
}

// The analyser against a double-precision DFT: every window and size, read
// across the end of the ring.
TEST(Spectrum, MatchesADoublePrecisionTransform)
{
    AURA::DSPFFT *fft = nullptr;
    ASSERT_EQ(AURA::Global::getDSPFFT(&fft), AURA_OK);
    const unsigned int length = 16384;
    const int channels = 2;
    std::vector<float> ring(length * channels);
    for (unsigned int i = 0; i < length; ++i) {
        ring[i * channels] = static_cast<float>(0.2 * std::sin(0.37 * i) + 0.1 * std::cos(0.011 * i * i * 1e-3));
        ring[i * channels + 1] = 0.0f;
    }
    for (int window = 0; window <= 6; ++window) {
        for (int n = 128; n <= 16384; n *= 2) {
            const unsigned int position = length - static_cast<unsigned int>(n) / 3;
            std::vector<float> got(static_cast<size_t>(n / 2), -1.0f);
            ASSERT_EQ(fft->getSpectrum(ring.data(), position, length, got.data(), n, 0, channels,
                                       static_cast<AURA_DSP_FFT_WINDOW>(window)),
                      AURA_OK);
            std::vector<std::complex<double>> x(static_cast<size_t>(n));
            for (int i = 0; i < n; ++i) {
                const double u = static_cast<double>(i) / n;
                double w = 1.0;
                switch (window) {
                case 1: w = 1.0 - std::fabs(2.0 * u - 1.0); break;
                case 2: w = 0.54 - 0.46 * std::cos(2 * kPi * u); break;
                case 3: w = 0.5 * (1.0 - std::cos(2 * kPi * u)); break;
                case 4: w = 0.42 - 0.5 * std::cos(2 * kPi * u) + 0.08 * std::cos(4 * kPi * u); break;
                case 5:
                    w = 0.35875 - 0.48829 * std::cos(2 * kPi * u) + 0.14128 * std::cos(4 * kPi * u) -
                        0.01168 * std::cos(6 * kPi * u);
                    break;
                default: break;
                }
                const float s = ring[((position + i) % length) * channels];
                x[static_cast<size_t>(i)] = {w * s / n, 1e-8};
            }
            for (int k = 0; k < n / 2; k += (n >= 4096 ? 37 : 1)) {
                std::complex<double> sum = 0.0;
                for (int i = 0; i < n; ++i) {
                    sum += x[static_cast<size_t>(i)] * std::polar(1.0, -2.0 * kPi * k * i / n);
                }
                const double expected = std::min(1.0, std::abs(sum) * 2.5);
                ASSERT_NEAR(got[static_cast<size_t>(k)], expected, 1e-4)
                    << "window " << window << " n " << n << " bin " << k;
            }
            // The last value asked for is written too.
            EXPECT_NE(got.back(), -1.0f);
        }
    }
}

} // namespace
