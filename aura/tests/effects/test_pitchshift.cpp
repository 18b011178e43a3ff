// The pitch shifter and its FFT: pitches by spectrum against sox and
// rubberband on the same input, level and latency, sizes, and instances of
// different sizes side by side.
#include "dsp_harness.h"
#include "files.h"
#include "sine_analysis.h"
#include "tools.h"
#include "wav.h"

#include "dsp/effects/aura_dsp_pitchshift.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
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

// The strongest frequency near `around` (±15 %), to 0.25 Hz, from single
// Fourier bins over the second half of a mono signal.
double pitchOf(const std::vector<float> &signal, double around, int rate)
{
    double best = 0.0, bestLevel = -1.0;
    for (double f = around * 0.85; f <= around * 1.15; f += 0.25) {
        const double level = auratest::toneLevel(signal, 1, 0, f, rate, signal.size() / 2, signal.size());
        if (level > bestLevel) {
            bestLevel = level;
            best = f;
        }
    }
    return best;
}

double rms(const std::vector<float> &v, size_t from)
{
    double sum = 0.0;
    for (size_t i = from; i < v.size(); ++i) {
        sum += static_cast<double>(v[i]) * v[i];
    }
    return std::sqrt(sum / static_cast<double>(v.size() - from));
}

TEST(PitchFFT, MatchesADoublePrecisionDftAtEverySize)
{
    for (int n = 4; n <= 4096; n *= 2) {
        const AURA::PitchFFT *fft = AURA::PitchFFT::forSize(n);
        ASSERT_NE(fft, nullptr) << n;
        std::vector<float> data(2 * static_cast<size_t>(n));
        unsigned int seed = static_cast<unsigned int>(n);
        for (float &v : data) {
            seed = seed * 1664525u + 1013904223u;
            v = static_cast<float>(static_cast<int>(seed >> 8) - (1 << 23)) / static_cast<float>(1 << 23);
        }
        for (const int sign : {-1, 1}) {
            std::vector<std::complex<double>> expect(static_cast<size_t>(n));
            double largest = 0.0;
            for (int k = 0; k < n; ++k) {
                std::complex<double> sum = 0.0;
                for (int j = 0; j < n; ++j) {
                    const double angle = sign * 2.0 * kPi * static_cast<double>((static_cast<long>(j) * k) % n) / n;
                    sum +=
                        std::complex<double>(data[2 * static_cast<size_t>(j)], data[2 * static_cast<size_t>(j) + 1]) *
                        std::polar(1.0, angle);
                }
                expect[static_cast<size_t>(k)] = sum;
                largest = std::max(largest, std::abs(sum));
            }
            std::vector<float> got = data;
            fft->transform(got.data(), sign);
            double worst = 0.0;
            for (int k = 0; k < n; ++k) {
                const std::complex<double> g(got[2 * static_cast<size_t>(k)], got[2 * static_cast<size_t>(k) + 1]);
                worst = std::max(worst, std::abs(g - expect[static_cast<size_t>(k)]));
            }
            EXPECT_LT(worst / largest, 1e-4) << "size " << n << " sign " << sign;
        }
    }
    EXPECT_EQ(AURA::PitchFFT::forSize(300), nullptr);
}

TEST(PitchShift, FftSizesRoundUpToPowersOfTwoAndOverlapStaysFour)
{
    Harness h;
    h.system.mOutputRate = 48000;
    auto *unit = makeEffect<AURA::DSPPitchShift>(h);
    struct Case {
        float set;
        int size;
    };
    for (const Case c :
         {Case{300.0f, 512}, Case{1024.5f, 2048}, Case{200.0f, 256}, Case{5000.0f, 4096}, Case{1024.0f, 1024}}) {
        ASSERT_EQ(unit->setParameter(1, c.set), AURA_OK);
        EXPECT_EQ(unit->mFFTSize, c.size) << c.set;
    }
    ASSERT_EQ(unit->setParameter(2, 8.0f), AURA_OK);
    char text[16] = {};
    ASSERT_EQ(unit->getParameter(2, nullptr, text, sizeof(text)), AURA_OK);
    EXPECT_STREQ(text, "4");
}

// Pitch 2 and 0.5 by spectrum; at pitch 1 the level holds and the output
// lags by one FFT frame, found by cross-correlating noise.
TEST(PitchShift, ShiftsByOctavesKeepsTheLevelAndLagsByTheLatency)
{
    Harness h;
    h.system.mOutputRate = 48000;
    auto *unit = makeEffect<AURA::DSPPitchShift>(h);
    const std::vector<float> tone = sineAt(440.0, 0.5, 48000, 48000);
    for (const float pitch : {2.0f, 0.5f}) {
        ASSERT_EQ(unit->setParameter(0, pitch), AURA_OK);
        ASSERT_EQ(unit->reset(), AURA_OK);
        const std::vector<float> out = runEffect(unit, tone, 1);
        EXPECT_NEAR(pitchOf(out, 440.0 * pitch, 48000), 440.0 * pitch, 4.4 * pitch) << pitch;
    }
    ASSERT_EQ(unit->setParameter(0, 1.0f), AURA_OK);
    ASSERT_EQ(unit->reset(), AURA_OK);
    const std::vector<float> same = runEffect(unit, tone, 1);
    EXPECT_NEAR(auratest::db(rms(same, 4096) / rms(tone, 4096)), 0.0, 0.5);
    for (size_t i = 0; i < 256; ++i) {
        ASSERT_EQ(same[i], 0.0f) << i; // the first hop comes from the cleared output
    }
    for (size_t i = 256; i < 1024; ++i) {
        ASSERT_LT(std::fabs(same[i]), 0.02f) << i; // the first frame's zeros
    }

    std::vector<float> noise(24000);
    unsigned int seed = 3;
    for (float &v : noise) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<float>(static_cast<int>(seed >> 8) - (1 << 23)) / static_cast<float>(1 << 24);
    }
    ASSERT_EQ(unit->reset(), AURA_OK);
    const std::vector<float> out = runEffect(unit, noise, 1);
    int bestLag = 0;
    double best = 0.0;
    for (int lag = 600; lag <= 1200; ++lag) {
        double sum = 0.0;
        for (size_t i = 2000; i < out.size(); ++i) {
            sum += static_cast<double>(out[i]) * noise[i - static_cast<size_t>(lag)];
        }
        if (sum > best) {
            best = sum;
            bestLag = lag;
        }
    }
    // A frame's first hop is complete, and played, once the frame's last
    // sample is in: the delay is the whole frame.
    EXPECT_EQ(bestLag, 1024);
}

// sox and rubberband shift the same file by the same octaves; all three
// land on the same pitches.
TEST(PitchShift, AgreesWithSoxAndRubberbandOnTheSameInput)
{
    auratest::TempDir dir;
    const std::string input = dir.file("in.wav");
    ASSERT_TRUE(auratest::run("sox -D -n -r 48000 -c 1 -b 16 " + input + " synth 1 sine 440 vol 0.5"));
    const auratest::Wav wav = auratest::readWav(input);
    ASSERT_TRUE(wav.valid);
    Harness h;
    h.system.mOutputRate = 48000;
    auto *unit = makeEffect<AURA::DSPPitchShift>(h);
    for (const int octave : {1, -1}) {
        const double expect = octave > 0 ? 880.0 : 220.0;
        SCOPED_TRACE(expect);
        ASSERT_EQ(unit->setParameter(0, octave > 0 ? 2.0f : 0.5f), AURA_OK);
        ASSERT_EQ(unit->reset(), AURA_OK);
        EXPECT_NEAR(pitchOf(runEffect(unit, wav.samples, 1), expect, 48000), expect, expect * 0.01);

        const std::string soxOut = dir.file("sox.wav");
        ASSERT_TRUE(auratest::run("sox -D " + input + " " + soxOut + " pitch " + std::to_string(octave * 1200)));
        EXPECT_NEAR(pitchOf(auratest::readWav(soxOut).samples, expect, 48000), expect, expect * 0.01);

        const std::string rbOut = dir.file("rb.wav");
        ASSERT_TRUE(auratest::run("rubberband -q -p " + std::to_string(octave * 12) + " " + input + " " + rbOut +
                                  " >/dev/null 2>&1"));
        EXPECT_NEAR(pitchOf(auratest::readWav(rbOut).samples, expect, 48000), expect, expect * 0.01);
    }
}

// Two instances of different FFT sizes, read in turns, each give what it
// gives alone.
TEST(PitchShift, InstancesOfDifferentSizesRunSideBySide)
{
    Harness h;
    h.system.mOutputRate = 48000;
    const std::vector<float> tone = sineAt(440.0, 0.5, 24576, 48000);
    std::vector<float> alone[2];
    const int sizes[2] = {512, 2048};
    AURA::DSPPitchShift *units[2] = {};
    for (int u = 0; u < 2; ++u) {
        units[u] = makeEffect<AURA::DSPPitchShift>(h);
        ASSERT_EQ(units[u]->setParameter(1, static_cast<float>(sizes[u])), AURA_OK);
        ASSERT_EQ(units[u]->setParameter(0, 2.0f), AURA_OK);
        alone[u] = runEffect(units[u], tone, 1);
        ASSERT_EQ(units[u]->reset(), AURA_OK);
    }
    std::vector<float> together[2];
    for (size_t at = 0; at < tone.size(); at += 1024) {
        const std::vector<float> block(tone.begin() + static_cast<long>(at),
                                       tone.begin() + static_cast<long>(at) + 1024);
        for (int u = 0; u < 2; ++u) {
            const std::vector<float> out = runEffect(units[u], block, 1);
            together[u].insert(together[u].end(), out.begin(), out.end());
        }
    }
    for (int u = 0; u < 2; ++u) {
        EXPECT_EQ(together[u], alone[u]) << sizes[u];
        EXPECT_NEAR(pitchOf(together[u], 880.0, 48000), 880.0, 8.8) << sizes[u];
    }
}

// A sound, a long silence, then a new sound: the gap is silent, and the
// new onset starts from silence instead of the old sound's last samples.
TEST(PitchShift, SilenceEndsTheOldSoundWithoutReplayingIt)
{
    Harness h;
    h.system.mOutputRate = 48000;
    auto *unit = makeEffect<AURA::DSPPitchShift>(h);
    std::vector<float> in = sineAt(440.0, 0.5, 9600, 48000);
    in.resize(9600 + 24000, 0.0f);
    const std::vector<float> onset = sineAt(1000.0, 0.3, 4800, 48000);
    in.insert(in.end(), onset.begin(), onset.end());
    std::vector<float> out;
    for (size_t at = 0; at < in.size(); at += 480) {
        const std::vector<float> block(in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at) + 480);
        const std::vector<float> o = runEffect(unit, block, 1);
        out.insert(out.end(), o.begin(), o.end());
    }
    // The old sound's tail plays out right after it ends.
    EXPECT_GT(rms(std::vector<float>(out.begin() + 9600, out.begin() + 9600 + 512), 0), 0.05);
    for (size_t i = 9600 + 4096; i < 9600 + 24000; ++i) {
        ASSERT_EQ(out[i], 0.0f) << i;
    }
    // Before the latency has passed, only the new onset's own window smear.
    for (size_t i = 9600 + 24000; i < 9600 + 24000 + 768; ++i) {
        ASSERT_LT(std::fabs(out[i]), 0.02f) << i;
    }
    EXPECT_GT(rms(std::vector<float>(out.end() - 2048, out.end()), 0), 0.1);
}

} // namespace
