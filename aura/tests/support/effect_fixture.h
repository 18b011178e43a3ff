// A fixture for the built-in effect units: units made on an offline DSP
// engine (for its rate) and run straight through their read callbacks.
#ifndef AURA_TESTS_EFFECT_FIXTURE_H
#define AURA_TESTS_EFFECT_FIXTURE_H

#include "dsp_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace auratest {

struct Effects : ::testing::Test {
    using DSPI = AURA::DSPI;
    static constexpr double kPi = 3.14159265358979323846;

    explicit Effects(int rate = 48000) { harness.system.mOutputRate = rate; }

    template <class Unit>
    Unit *make()
    {
        return makeEffect<Unit>(harness);
    }
    // One call of the unit's read callback over a whole signal.
    static std::vector<float> run(DSPI *unit, const std::vector<float> &in, int channels)
    {
        return runEffect(unit, in, channels);
    }
    static std::vector<float> sine(double frequency, double amplitude, int frames, int rate, int channels = 1)
    {
        std::vector<float> out(static_cast<size_t>(frames) * channels);
        for (int i = 0; i < frames; ++i) {
            for (int c = 0; c < channels; ++c) {
                out[static_cast<size_t>(i) * channels + c] =
                    static_cast<float>(amplitude * std::sin(2.0 * kPi * frequency * i / rate));
            }
        }
        return out;
    }
    static float peak(const std::vector<float> &v, size_t from = 0)
    {
        float p = 0.0f;
        for (size_t i = from; i < v.size(); ++i) {
            p = std::max(p, std::fabs(v[i]));
        }
        return p;
    }

    auratest::Harness harness;
};

} // namespace auratest

#endif // AURA_TESTS_EFFECT_FIXTURE_H
