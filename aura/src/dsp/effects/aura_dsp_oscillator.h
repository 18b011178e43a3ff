// The tone generator: sine, square, saws, triangle and noise, written as a
// mono signal whatever its input holds.
#ifndef AURA_DSP_OSCILLATOR_H
#define AURA_DSP_OSCILLATOR_H

#include "dsp/effects/aura_dsp_effect.h"

#include <atomic>

namespace AURA {

// The registry record of DSPOscillator: empty until getDescriptionEx fills it.
extern AURA_DSP_DESCRIPTION_EX dsposcillator;

class DSPOscillator : public DSPEffect<DSPOscillator> {
public:
    enum Waveform : int { SINE = 0, SQUARE = 1, SAW_UP = 2, SAW_DOWN = 3, TRIANGLE = 4, NOISE = 5 };

    static AURA_DSP_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT createInternal();
    AURA_RESULT releaseInternal() { return AURA_OK; }
    AURA_RESULT readInternal(float *in, float *out, unsigned int length, int inchannels, int outchannels);
    AURA_RESULT setParameterInternal(int index, float value);
    AURA_RESULT getParameterInternal(int index, float *value, char *text);

    // Takes count values of the engine's shared random sequence in one
    // atomic step; returns the seed the first of them follows.
    static unsigned int claimRandom(std::atomic<unsigned int> &seed, unsigned int count);

    // Set by API threads; the mixer applies a new setting at its next block.
    std::atomic<int> mType{SINE};
    ParameterFloat mFrequency;
    std::atomic<unsigned int> mChanges{0};
    std::atomic<bool> mRestartPhase{false};

    // The mixer's own.
    unsigned int mApplied = 0;
    float mIncrement = 0.0f; // cycles per sample
    int mDirection = 1;
    // Double, so that a whole number of steps per period never falls a
    // rounding short of the wrap and lengthens every period by a sample.
    double mPhase = 0.0;
};

} // namespace AURA

#endif // AURA_DSP_OSCILLATOR_H
