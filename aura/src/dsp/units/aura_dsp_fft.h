// The FFT helper shared by every spectrum request of the engine.
#ifndef AURA_DSP_FFT_H
#define AURA_DSP_FFT_H

#include <array>

namespace AURA {

struct DSPFFTComplex {
    float re;
    float im;
};

class DSPFFT {
public:
    static constexpr int MAX_POINTS = 16384;
    static constexpr int COSTAB_SIZE = 8192; // a quarter wave, 32768 steps per cycle

    // Builds the quarter-wave cosine table.
    DSPFFT();

    // cos(2 pi u) for u in cycles, from the table.
    [[nodiscard]] float cosine(float u) const;
    // sin(2 pi u), as the cosine a quarter cycle earlier.
    [[nodiscard]] float sine(float u) const { return cosine(u - 0.25f); }

    std::array<DSPFFTComplex, MAX_POINTS> mBuffer;
    std::array<float, COSTAB_SIZE> mCosTab;
};

// Frees the shared object that Global::getDSPFFT builds (at the release of
// the last system).
void freeSharedDSPFFT();

} // namespace AURA

#endif // AURA_DSP_FFT_H
