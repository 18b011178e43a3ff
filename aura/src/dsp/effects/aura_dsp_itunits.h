// The two units of Impulse Tracker playback: the stereo echo of its echo
// plug-ins ("AURA IT Echo") and the per-voice resonant low-pass of its
// filters ("AURA IT Lowpass"). Both are ordinary effect units as well, so
// any channel, group or the master path can use them.
#ifndef AURA_DSP_ITUNITS_H
#define AURA_DSP_ITUNITS_H

#include "dsp/effects/aura_dsp_effect.h"

#include <cstdint>

namespace AURA {

// The registry record of DSPITEcho: empty until getDescriptionEx fills it.
extern AURA_DSP_DESCRIPTION_EX dspitecho;

// Channel 0 runs through the left feedback delay line, channel 1 through the
// right one; further channels pass unchanged.
class DSPITEcho : public DSPEffect<DSPITEcho> {
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

    // Frames of a line of delay milliseconds at the output rate: at least
    // one, so that a short delay at a low rate still moves.
    [[nodiscard]] static unsigned int lineLength(float delay, int rate);

    ParameterFloat mWetMix{0.5f};
    ParameterFloat mFeedback{0.5f};
    float mDelay[2] = {500.0f, 500.0f}; // milliseconds; [0] left, [1] right
    bool mPanDelay = false;
    float *mLine[2] = {};
    unsigned int mLineBytes[2] = {};
    unsigned int mPosition[2] = {};
    unsigned int mLineLength[2] = {};
    int mOutputRate = 0;
    uint16_t mLastSpeakerMask = 0xFFFF;

private:
    void processChannel(int channel, const float *in, float *out, unsigned int length, int stride);
};

// The registry record of DSPLowPass2: empty until getDescriptionEx fills it.
extern AURA_DSP_DESCRIPTION_EX dsplowpass2;

// A two-pole recursive low-pass whose damping comes from a resonance on the
// tracker's 0..127 scale. A change applies at the next block, at once.
class DSPLowPass2 : public DSPEffect<DSPLowPass2> {
public:
    static constexpr bool kCountsMemory = true;
    static AURA_DSP_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT createInternal();
    AURA_RESULT resetInternal();
    AURA_RESULT readInternal(float *in, float *out, unsigned int length, int inchannels, int outchannels);
    AURA_RESULT setParameterInternal(int index, float value);
    AURA_RESULT getParameterInternal(int index, float *value, char *text);
    AURA_RESULT updateCoefficients(float resonance, float cutoff);

    float mCurrentResonance = 0.0f;
    ParameterFloat mResonance{1.0f};
    float mCurrentCutoff = 0.0f;
    ParameterFloat mCutoff{5000.0f};
    float mHistory[EFFECT_MAXCHANNELS][2] = {}; // y1, y2
    float mA0 = 1.0f;
    float mB0 = 0.0f;
    float mB1 = 0.0f;
};

} // namespace AURA

#endif // AURA_DSP_ITUNITS_H
