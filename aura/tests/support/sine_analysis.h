// Sines for tests: a 16-bit tone to play, and the pitch, level and noise of
// a rendered one.
#ifndef AURA_TESTS_SINE_ANALYSIS_H
#define AURA_TESTS_SINE_ANALYSIS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace auratest {

// `frames` interleaved frames of a sine; channel c carries (c + 1) times
// the frequency.
std::vector<int16_t> sine(int frames, double frequency, int rate, double amplitude = 16384.0, int channels = 1);

struct SineResult {
    double frequency = 0.0; // Hz
    double amplitude = 0.0; // of the fitted sine
    double snrDb = 0.0;
};

// The frequency from the upward zero crossings of out[begin...], then a
// least-squares sine at that frequency as the signal and what is left over
// as the noise.
SineResult analyse(const std::vector<double> &out, std::size_t begin, int rate);

// The amplitude of one frequency in a channel of interleaved frames
// [begin, end): a single bin of a Fourier transform.
double toneLevel(const std::vector<float> &frames, int channels, int channel, double frequency, int rate,
                 std::size_t begin, std::size_t end);

// A gain ratio in decibels.
double db(double ratio);

} // namespace auratest

#endif // AURA_TESTS_SINE_ANALYSIS_H
