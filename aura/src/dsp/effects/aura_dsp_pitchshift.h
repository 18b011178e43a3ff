// The pitch shifter: one short-time Fourier phase vocoder per channel, which
// measures each bin's true frequency from its phase advance between frames
// a quarter window apart, moves magnitudes and frequencies to scaled bins
// and resynthesises by overlap-add. Its complex FFT is a radix-4 transform
// with table twiddles, one table set per size.
#ifndef AURA_DSP_PITCHSHIFT_H
#define AURA_DSP_PITCHSHIFT_H

#include "dsp/effects/aura_dsp_effect.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace AURA {

inline constexpr int PITCH_MAXFFT = 4096;

// An unscaled in-place complex FFT of one power-of-two size from 4 to
// 4096, on n interleaved (re, im) pairs. sign >= 0 gives
// X[k] = sum x[j] e^(+2 pi i jk/n), sign < 0 the conjugate kernel. The
// twiddles come from the quarter-wave cosine table, so angles are exact
// multiples of 1/32768 of a turn.
class PitchFFT {
public:
    // The transform of a size, built on first use and shared by every
    // instance and thread; null for a size it does not serve.
    static const PitchFFT *forSize(int n);

    void transform(float *data, int sign) const;
    [[nodiscard]] int size() const { return mSize; }

    explicit PitchFFT(int n);

private:
    int mSize = 0;
    bool mOddPower = false; // log2(n) odd: one radix-2 pass first
    std::vector<float> mTwiddle; // cos, sin of 2 pi k/n, k < n
    std::vector<std::pair<uint16_t, uint16_t>> mSwaps; // the bit-reversal permutation
};

// Table cosine and sine of an angle in turns, quantised to 1/32768 turn.
float tableCosine(const float *table, float turns);
float tableSine(const float *table, float turns);

// One channel's vocoder.
class DSPPitchShiftSMB {
public:
    void smbInit();
    void setResetPhaseFlag() { mResetPhase.store(true, std::memory_order_relaxed); }
    void smbPitchShift(float pitch, int count, int osamp, float rate, const float *in, float *out, int c, int channels);

    float mInFIFO[PITCH_MAXFFT];
    float mOutFIFO[PITCH_MAXFFT];
    float mLastPhase[PITCH_MAXFFT / 2 + 4];
    float mSumPhase[PITCH_MAXFFT / 2 + 4];
    float mOutputAccum[2 * PITCH_MAXFFT];
    const float *mWindow = nullptr;
    int mRover = 0;
    int mFFTFrameSize = 1024;
    const float *mCosTab = nullptr;
    std::atomic<bool> mResetPhase{false};
    unsigned int mSilentRun = 0; // input samples of silence in a row

private:
    void processFrame(float pitch, int osamp, float rate);
};

// The registry record of DSPPitchShift: empty until getDescriptionEx fills it.
extern AURA_DSP_DESCRIPTION_EX dsppitchshift;

class DSPPitchShift : public DSPEffect<DSPPitchShift> {
public:
    static constexpr bool kCountsMemory = true;
    static AURA_DSP_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT createInternal();
    AURA_RESULT releaseInternal();
    AURA_RESULT resetInternal();
    AURA_RESULT readInternal(float *in, float *out, unsigned int length, int inchannels, int outchannels);
    AURA_RESULT setParameterInternal(int index, float value);
    AURA_RESULT getParameterInternal(int index, float *value, char *text);
    AURA_RESULT getMemoryUsedImpl(MemoryTracker *tracker);

    // The FFT size a requested size becomes.
    static int fftSizeFor(float value);

    float mWindow[PITCH_MAXFFT] = {};
    ParameterFloat mPitch{1.0f};
    int mFFTSize = 0;
    int mOverlap = 0;
    int mMaxChannels = 0;
    DSPPitchShiftSMB *mPitchState = nullptr;
    int mOutputRate = 0;
    int mChannels = 0;

private:
    void buildWindow();
    void freeStates();
};

} // namespace AURA

#endif // AURA_DSP_PITCHSHIFT_H
