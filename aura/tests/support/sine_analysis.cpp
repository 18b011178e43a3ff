#include "sine_analysis.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace auratest {

std::vector<int16_t> sine(int frames, double frequency, int rate, double amplitude, int channels)
{
    std::vector<int16_t> out;
    for (int f = 0; f < frames; ++f) {
        for (int c = 0; c < channels; ++c) {
            const double phase = 2.0 * std::numbers::pi * frequency * (c + 1) * f / rate;
            out.push_back(static_cast<int16_t>(std::lround(amplitude * std::sin(phase))));
        }
    }
    return out;
}

SineResult analyse(const std::vector<double> &out, std::size_t begin, int rate)
{
    SineResult result;
    std::vector<double> crossings;
    for (std::size_t i = begin + 1; i < out.size(); ++i) {
        if (out[i - 1] < 0.0 && out[i] >= 0.0) {
            crossings.push_back(static_cast<double>(i - 1) + out[i - 1] / (out[i - 1] - out[i]));
        }
    }
    if (crossings.size() < 2) {
        return result;
    }
    result.frequency =
        static_cast<double>(crossings.size() - 1) * rate / (crossings.back() - crossings.front());
    double ss = 0;
    double sc = 0;
    double cc = 0;
    double ys = 0;
    double yc = 0;
    for (std::size_t i = begin; i < out.size(); ++i) {
        const double w = 2.0 * std::numbers::pi * result.frequency * static_cast<double>(i) / rate;
        const double s = std::sin(w);
        const double c = std::cos(w);
        ss += s * s;
        sc += s * c;
        cc += c * c;
        ys += out[i] * s;
        yc += out[i] * c;
    }
    const double det = ss * cc - sc * sc;
    const double a = (ys * cc - yc * sc) / det;
    const double b = (yc * ss - ys * sc) / det;
    double signal = 0;
    double noise = 0;
    for (std::size_t i = begin; i < out.size(); ++i) {
        const double w = 2.0 * std::numbers::pi * result.frequency * static_cast<double>(i) / rate;
        const double fit = a * std::sin(w) + b * std::cos(w);
        signal += fit * fit;
        noise += (out[i] - fit) * (out[i] - fit);
    }
    result.amplitude = std::sqrt(a * a + b * b);
    result.snrDb = 10.0 * std::log10(signal / noise);
    return result;
}

double db(double ratio)
{
    return 20.0 * std::log10(ratio);
}

double toneLevel(const std::vector<float> &frames, int channels, int channel, double frequency, int rate,
                 std::size_t begin, std::size_t end)
{
    const auto stride = static_cast<std::size_t>(channels);
    end = std::min(end, frames.size() / stride);
    if (begin >= end) {
        return 0.0;
    }
    double re = 0.0;
    double im = 0.0;
    const double w = 2.0 * std::numbers::pi * frequency / rate;
    for (std::size_t i = begin; i < end; ++i) {
        const double x = frames[i * stride + static_cast<std::size_t>(channel)];
        re += x * std::cos(w * static_cast<double>(i));
        im -= x * std::sin(w * static_cast<double>(i));
    }
    return 2.0 * std::hypot(re, im) / static_cast<double>(end - begin);
}

} // namespace auratest
