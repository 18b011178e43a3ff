// Loudness over time of a rendered channel, and how alike two such curves
// are. Header-only.
#ifndef AURA_TESTS_SUPPORT_ENVELOPE_H
#define AURA_TESTS_SUPPORT_ENVELOPE_H

#include "wav.h"

#include <cmath>
#include <vector>

namespace auratest {

// The RMS of each `window` frames of one channel.
inline std::vector<double> rmsEnvelope(const Wav &wav, unsigned channel, size_t window)
{
    std::vector<double> out;
    const size_t frames = wav.frames();
    for (size_t start = 0; start + window <= frames; start += window) {
        double sum = 0.0;
        for (size_t i = start; i < start + window; ++i) {
            const double v = wav.at(i, channel);
            sum += v * v;
        }
        out.push_back(std::sqrt(sum / static_cast<double>(window)));
    }
    return out;
}

// Pearson correlation over the common length; 0 for a flat curve.
inline double correlation(const std::vector<double> &a, const std::vector<double> &b)
{
    const size_t n = std::min(a.size(), b.size());
    if (n < 2) {
        return 0.0;
    }
    double ma = 0.0;
    double mb = 0.0;
    for (size_t i = 0; i < n; ++i) {
        ma += a[i];
        mb += b[i];
    }
    ma /= static_cast<double>(n);
    mb /= static_cast<double>(n);
    double sab = 0.0;
    double saa = 0.0;
    double sbb = 0.0;
    for (size_t i = 0; i < n; ++i) {
        sab += (a[i] - ma) * (b[i] - mb);
        saa += (a[i] - ma) * (a[i] - ma);
        sbb += (b[i] - mb) * (b[i] - mb);
    }
    return saa > 0.0 && sbb > 0.0 ? sab / std::sqrt(saa * sbb) : 0.0;
}

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_ENVELOPE_H
