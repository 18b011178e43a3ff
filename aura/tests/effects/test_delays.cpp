// The delay-line units: echo, flange and chorus, run through their read
// callbacks on a system's DSP engine.
#include "dsp_harness.h"
#include "sine_analysis.h"

#include "dsp/effects/aura_dsp_delays.h"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <vector>

namespace {

using auratest::Harness;
using auratest::makeEffect;
using auratest::runEffect;

constexpr double kPi = 3.14159265358979323846;

std::vector<float> sineAt(double frequency, double amplitude, int frames, int rate)
{
    std::vector<float> out(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        out[static_cast<size_t>(i)] = static_cast<float>(amplitude * std::sin(2.0 * kPi * frequency * i / rate));
    }
    return out;
}

std::vector<float> noise(size_t count, unsigned int seed = 11)
{
    std::vector<float> out(count);
    for (float &v : out) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<float>(static_cast<int>(seed >> 8) - (1 << 23)) / static_cast<float>(1 << 24);
    }
    return out;
}

Harness &at(Harness &h, int rate, int outputs = 2, int inputs = 6)
{
    h.system.mOutputRate = rate;
    h.system.mMaxOutputChannels = outputs;
    h.system.mMaxInputChannels = inputs;
    return h;
}

void applyUpdates(Harness &h)
{
    ASSERT_EQ(h.system.flushDSPConnectionRequests(true), AURA_OK);
}

TEST(Echo, ImpulseRepeatsAtTheDelayAndDecaysThroughTheSixteenBitLine)
{
    Harness h;
    auto *echo = makeEffect<AURA::DSPEcho>(at(h, 48000));
    applyUpdates(h);
    ASSERT_EQ(echo->mDelayFrames, 24000u);
    std::vector<float> in(2 * 48001, 0.0f);
    in[0] = in[1] = 0.5f;
    const std::vector<float> out = runEffect(echo, in, 2);
    for (int c = 0; c < 2; ++c) {
        EXPECT_EQ(out[static_cast<size_t>(c)], 0.5f);
        EXPECT_NEAR(out[2 * 24000 + static_cast<size_t>(c)], 0.49998, 1e-5);
        EXPECT_NEAR(out[2 * 48000 + static_cast<size_t>(c)], 0.24998, 1e-5);
        EXPECT_EQ(out[2 * 23999 + static_cast<size_t>(c)], 0.0f);
        EXPECT_EQ(out[2 * 24001 + static_cast<size_t>(c)], 0.0f);
    }

    // 1 ms at 44.1 kHz; the line saturates at both ends, and exactly ±1
    // stores ±32767.
    Harness h44;
    auto *short1 = makeEffect<AURA::DSPEcho>(at(h44, 44100));
    ASSERT_EQ(short1->setParameter(0, 1.0f), AURA_OK);
    applyUpdates(h44);
    EXPECT_EQ(short1->mDelayFrames, 44u);
    (void)runEffect(short1, {1.5f, -1.5f, 1.0f, -1.0f}, 2);
    EXPECT_EQ(short1->mLine[0], 32767);
    EXPECT_EQ(short1->mLine[1], -32768);
    EXPECT_EQ(short1->mLine[2], 32767);
    EXPECT_EQ(short1->mLine[3], -32767);
}

// The setter only queues: the line changes where the requests are run, and
// only a delay or channel change rebuilds it.
TEST(Echo, ChangesApplyOnTheMixerSideAndKeepTheTailUnlessTheLineChanges)
{
    Harness h;
    auto *echo = makeEffect<AURA::DSPEcho>(at(h, 48000));
    ASSERT_EQ(echo->mLine, nullptr); // built by the first update, not at creation
    applyUpdates(h);
    const int16_t *line = echo->mLine;
    ASSERT_NE(line, nullptr);
    std::vector<float> in(2 * 1000, 0.0f);
    in[0] = in[1] = 0.5f;
    (void)runEffect(echo, in, 2);

    ASSERT_EQ(echo->setParameter(1, 0.9f), AURA_OK); // decay
    ASSERT_EQ(echo->setParameter(4, 0.5f), AURA_OK); // wet mix
    applyUpdates(h);
    EXPECT_EQ(echo->mLine, line);
    std::vector<float> rest(2 * 23001, 0.0f);
    const std::vector<float> tail = runEffect(echo, rest, 2);
    EXPECT_NEAR(tail[2 * 23000], 0.5 * 0.49998, 1e-5);

    ASSERT_EQ(echo->setParameter(0, 250.0f), AURA_OK);
    EXPECT_EQ(echo->mDelayFrames, 24000u); // not yet
    applyUpdates(h);
    EXPECT_EQ(echo->mDelayFrames, 12000u);
    EXPECT_EQ(echo->mPosition, 0u);
    const std::vector<float> cleared = runEffect(echo, std::vector<float>(2 * 12000, 0.0f), 2);
    EXPECT_TRUE(std::all_of(cleared.begin(), cleared.end(), [](float v) { return v == 0.0f; }));
}

// "Max channels" stays in force when other parameters are set; an input
// wider than the line passes dry; a channel turned off and on loses its
// tail.
TEST(Echo, MaxChannelsHoldsAndMasksClearTheirChannel)
{
    Harness h;
    auto *echo = makeEffect<AURA::DSPEcho>(at(h, 48000));
    ASSERT_EQ(echo->setParameter(0, 10.0f), AURA_OK);
    ASSERT_EQ(echo->setParameter(2, 6.0f), AURA_OK);
    ASSERT_EQ(echo->setParameter(1, 0.25f), AURA_OK);
    applyUpdates(h);
    EXPECT_EQ(echo->mChannels, 6);
    std::vector<float> six(6 * 960, 0.0f);
    std::fill(six.begin(), six.begin() + 6, 0.5f);
    const std::vector<float> out6 = runEffect(echo, six, 6);
    EXPECT_NEAR(out6[6 * 480 + 5], 0.49998, 1e-5); // processed, not dry

    std::vector<float> eight(8 * 480, 0.0f);
    std::fill(eight.begin(), eight.begin() + 8, 0.5f);
    EXPECT_EQ(runEffect(echo, eight, 8), eight);
    echo->mDSPState.speakermask = 0x00F0; // a mask change with a wide input stays out of the line
    EXPECT_EQ(runEffect(echo, eight, 8), eight);
    echo->mDSPState.speakermask = 0xFFFF;

    ASSERT_EQ(echo->setParameter(2, 0.0f), AURA_OK);
    applyUpdates(h);
    std::vector<float> two(2 * 480, 0.0f);
    two[2] = two[3] = 0.5f; // its echo comes 480 frames on, after the masked frame
    (void)runEffect(echo, two, 2);
    echo->mDSPState.speakermask = 0xFFFE;
    (void)runEffect(echo, std::vector<float>(2, 0.0f), 2);
    echo->mDSPState.speakermask = 0xFFFF;
    const std::vector<float> after = runEffect(echo, std::vector<float>(2 * 4, 0.0f), 2);
    EXPECT_EQ(after[0], 0.0f); // channel 0's tail went with its bit
    EXPECT_NEAR(after[1], 0.49998, 1e-5); // channel 1 kept its own
}

// A mono signal's level after the unit, settled, at one frequency.
double gainAt(AURA::DSPI *unit, double frequency, int rate)
{
    const int frames = 48000;
    const std::vector<float> in = sineAt(frequency, 0.5, frames, rate);
    const std::vector<float> out = runEffect(unit, in, 1);
    return auratest::toneLevel(out, 1, 0, frequency, rate, frames / 2, frames) / 0.5;
}

// At rate 0 the flange is a fixed comb: its notches sit at odd multiples
// of half the inverse delay.
TEST(Flange, AStillCombNotchesWhereItsDelayPutsThem)
{
    for (const float mix : {0.0f, 0.5f}) {
        Harness h;
        auto *flange = makeEffect<AURA::DSPFlange>(at(h, 48000));
        ASSERT_EQ(flange->setParameter(3, 0.0f), AURA_OK);
        if (mix > 0.0f) {
            ASSERT_EQ(flange->setParameter(0, mix), AURA_OK);
            ASSERT_EQ(flange->setParameter(1, mix), AURA_OK);
        }
        for (const double notch : {99.8, 299.0, 499.0}) {
            SCOPED_TRACE(notch);
            double lowest = 1e9, where = 0.0;
            for (int k = -6; k <= 6; ++k) {
                const double f = notch * (1.0 + 0.001 * k);
                const double g = gainAt(flange, f, 48000);
                if (g < lowest) {
                    lowest = g;
                    where = f;
                }
            }
            EXPECT_NEAR(where, notch, notch * 0.005);
            const double peak = gainAt(flange, notch + 99.8, 48000); // half way to the next notch
            EXPECT_LT(auratest::db(lowest / peak), mix > 0.0f ? -30.0 : -19.0);
        }
    }
}

// Full scale fits the line; a wide input on a mono output stays inside it,
// and one wider than any input passes through.
TEST(Flange, FullScaleSaturatesAndWideInputsStayInTheLine)
{
    Harness h;
    auto *flange = makeEffect<AURA::DSPFlange>(at(h, 48000, 1, 6));
    (void)runEffect(flange, {1.0f, -1.0f, 2.0f, 0.0f, 0.0f, 0.0f}, 6);
    EXPECT_EQ(flange->mLine[0], 32767);
    EXPECT_EQ(flange->mLine[1], -32768);
    EXPECT_EQ(flange->mLine[2], 32767);
    const std::vector<float> six = noise(6 * 4800);
    const std::vector<float> out = runEffect(flange, six, 6);
    EXPECT_NE(out, six);
    const std::vector<float> eight = noise(8 * 480);
    EXPECT_EQ(runEffect(flange, eight, 8), eight);
}

// The LFO period after an hour of rendering, from the upward crossings of
// its offset through the middle of its swing.
template <class Unit>
double lfoPeriodAfterAnHour(int rateParameter, float (*offset)(Unit *))
{
    Harness h;
    Unit *unit = makeEffect<Unit>(at(h, 1000, 1, 1));
    EXPECT_EQ(unit->setParameter(rateParameter, 1.0f), AURA_OK);
    const std::vector<float> block(1000, 0.0f);
    for (int s = 0; s < 3600; ++s) {
        (void)runEffect(unit, block, 1);
    }
    std::vector<float> trace;
    const std::vector<float> one(1, 0.0f);
    for (int i = 0; i < 12000; ++i) {
        (void)runEffect(unit, one, 1);
        trace.push_back(offset(unit));
    }
    const auto [lo, hi] = std::minmax_element(trace.begin(), trace.end());
    const double middle = (*lo + *hi) / 2.0;
    std::vector<double> crossings;
    for (size_t i = 1; i < trace.size(); ++i) {
        if (trace[i - 1] < middle && trace[i] >= middle) {
            crossings.push_back(static_cast<double>(i - 1) + (middle - trace[i - 1]) / (trace[i] - trace[i - 1]));
        }
    }
    if (crossings.size() < 3) {
        return 0.0;
    }
    return (crossings.back() - crossings.front()) / static_cast<double>(crossings.size() - 1);
}

TEST(FlangeAndChorus, TheLfoKeepsItsPeriodAfterAnHour)
{
    const double flange = lfoPeriodAfterAnHour<AURA::DSPFlange>(3, [](AURA::DSPFlange *u) { return u->mLfoOffset; });
    EXPECT_NEAR(flange, 1000.0, 1.0);
    const double chorus = lfoPeriodAfterAnHour<AURA::DSPChorus>(5, [](AURA::DSPChorus *u) { return u->mTapOffset[0]; });
    EXPECT_NEAR(chorus, 1000.0, 1.0);
}

// The lag of the strongest correlation between input and output, refined
// by the weights of its two best neighbouring lags.
double delayByCorrelation(const std::vector<float> &in, const std::vector<float> &out, int from, int to)
{
    std::vector<double> c(static_cast<size_t>(to - from + 1));
    for (int lag = from; lag <= to; ++lag) {
        double sum = 0.0;
        for (size_t i = static_cast<size_t>(to); i < out.size(); ++i) {
            sum += static_cast<double>(out[i]) * in[i - static_cast<size_t>(lag)];
        }
        c[static_cast<size_t>(lag - from)] = sum;
    }
    const size_t best = static_cast<size_t>(std::max_element(c.begin(), c.end()) - c.begin());
    const size_t other = best + 1 < c.size() && (best == 0 || c[best + 1] > c[best - 1]) ? best + 1 : best - 1;
    const double w0 = std::max(c[best], 0.0), w1 = std::max(c[other], 0.0);
    return from + (static_cast<double>(best) * w0 + static_cast<double>(other) * w1) / (w0 + w1);
}

TEST(Chorus, TapsSitWhereTheLfoPutsThemAndTheDryPathIsScaled)
{
    Harness h;
    auto *chorus = makeEffect<AURA::DSPChorus>(at(h, 48000));
    EXPECT_EQ(chorus->mSpan, 3840u);
    ASSERT_EQ(chorus->setParameter(5, 0.0f), AURA_OK);
    ASSERT_EQ(chorus->setParameter(0, 0.0f), AURA_OK);
    const std::vector<float> in = noise(24000, 5);
    struct Tap {
        int index;
        double delay;
    };
    for (const Tap tap : {Tap{1, 1862.4}, Tap{2, 1804.8}, Tap{3, 1862.4}}) {
        for (int k = 1; k <= 3; ++k) {
            ASSERT_EQ(chorus->setParameter(k, k == tap.index ? 1.0f : 0.0f), AURA_OK);
        }
        const std::vector<float> out = runEffect(chorus, in, 1);
        EXPECT_NEAR(delayByCorrelation(in, out, 1700, 1950), tap.delay, 0.05) << tap.index;
    }
    for (int k = 1; k <= 3; ++k) {
        ASSERT_EQ(chorus->setParameter(k, 0.0f), AURA_OK);
    }
    ASSERT_EQ(chorus->setParameter(0, 1.0f), AURA_OK);
    const std::vector<float> out = runEffect(chorus, in, 1);
    for (size_t i = 0; i < in.size(); ++i) {
        ASSERT_FLOAT_EQ(out[i], in[i] * (32768.0f / 32767.0f)) << i;
    }
    EXPECT_EQ(AURA::saturate16(40000.0f), 32767);
    EXPECT_EQ(AURA::saturate16(-40000.0f), -32768);
}

// Deep sweeps never carry a tap past the span: the delay glides instead of
// jumping between one frame and N, which would click every cycle.
TEST(Chorus, DeepSweepsStayInsideTheSpan)
{
    for (const float depth : {0.3f, 1.0f}) {
        Harness h;
        auto *chorus = makeEffect<AURA::DSPChorus>(at(h, 48000));
        ASSERT_EQ(chorus->setParameter(6, depth), AURA_OK);
        ASSERT_EQ(chorus->setParameter(5, 4.0f), AURA_OK);
        ASSERT_EQ(chorus->setParameter(0, 0.0f), AURA_OK);
        const std::vector<float> out = runEffect(chorus, sineAt(50.0, 0.5, 48000, 48000), 1);
        float jump = 0.0f;
        for (size_t i = 3840 * 2; i < out.size(); ++i) {
            jump = std::max(jump, std::fabs(out[i] - out[i - 1]));
        }
        EXPECT_LT(jump, 0.05f) << depth;
        for (float offset : chorus->mTapOffset) {
            EXPECT_LE(offset, 3839.0f);
        }
    }
}

} // namespace
