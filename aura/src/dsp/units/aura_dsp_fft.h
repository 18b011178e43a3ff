// The FFT helper shared by every spectrum request of the engine.
#ifndef AURA_DSP_FFT_H
#define AURA_DSP_FFT_H

#include "aura.h"
#include "aura_dsp.h"

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

    // Transforms the first 2^bits values of the work buffer in place; the
    // bins come out in bit-reversed order.
    AURA_RESULT process(int bits);
    // The magnitude spectrum (x 2.5, at most 1.0) of n frames of one channel
    // of an interleaved ring of `length` frames, from frame `position`,
    // wrapping: n/2 values. Requests are served one at a time.
    AURA_RESULT getSpectrum(const float *pcm, unsigned int position, unsigned int length, float *spectrum, int n,
                            int channel, int numchannels, AURA_DSP_FFT_WINDOW window);

    std::array<DSPFFTComplex, MAX_POINTS> mBuffer;
    std::array<float, COSTAB_SIZE> mCosTab;
};

class DSPFilter;

// The spectrum and the wave data of a unit's output, from its history ring
// (started on the first request): numvalues values of channel channeloffset
// of a block of `channels` channels. A spectrum takes 2 x numvalues frames,
// which must be a power of two from 128 to 16384.
AURA_RESULT getUnitSpectrum(DSPFilter *unit, int channels, float *spectrum, int numvalues, int channeloffset,
                            AURA_DSP_FFT_WINDOW window);
AURA_RESULT getUnitWaveData(DSPFilter *unit, int channels, float *wavearray, int numvalues, int channeloffset);

// Frees the shared object that Global::getDSPFFT builds (at the release of
// the last system).
void freeSharedDSPFFT();

} // namespace AURA

#endif // AURA_DSP_FFT_H
