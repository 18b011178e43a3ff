// The filter units: resonant lowpass (two cascaded bilinear sections),
// resonant highpass (one biquad), the simple lowpass (two one-pole
// sections) and the parametric EQ (one peaking biquad).
#ifndef AURA_DSP_FILTERS_H
#define AURA_DSP_FILTERS_H

#include "dsp/effects/aura_dsp_effect.h"

namespace AURA {

// Moves a cutoff and a resonance one frame of a glide towards their targets;
// true while they still differ.
bool glideStep(float &cutoff, float targetCutoff, float &resonance, float targetResonance);

// The registry record of DSPLowPass: empty until getDescriptionEx fills it.
extern AURA_DSP_DESCRIPTION_EX dsplowpass;

class DSPLowPass : public DSPEffect<DSPLowPass> {
public:
    static constexpr bool kCountsMemory = true;
    static AURA_DSP_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT createInternal();
    AURA_RESULT readInternal(float *in, float *out, unsigned int length, int inchannels, int outchannels);
    AURA_RESULT setParameterInternal(int index, float value);
    AURA_RESULT getParameterInternal(int index, float *value, char *text);

    AURA_RESULT updateState(float resonance, float cutoff);
    static AURA_RESULT prewarp(float *a0, float *a1, float *a2, float fc, float fs);
    static AURA_RESULT bilinear(float a0, float a1, float a2, float b0, float b1, float b2, float *k, float fs,
                                float *coef);
    static AURA_RESULT szxform(float *a0, float *a1, float *a2, float *b0, float *b1, float *b2, float fc, float fs,
                               float *k, float *coef);
    AURA_RESULT process(const float *in, float *out, unsigned int length, int channels);

    float mCurrentResonance = 0.0f;
    ParameterFloat mResonance;
    float mCurrentCutoff = 0.0f;
    ParameterFloat mCutoff;
    float mMaxCutoff = 0.0f;
    float mSectionGain[2] = {1.0f, 1.0f};
    float mHistory[EFFECT_MAXCHANNELS][4] = {};
    float mGain = 1.0f;
    float mCoefficients[2][4] = {};
    float mPrototype[2][6] = {};
};

// The registry record of DSPHighPass: empty until getDescriptionEx fills it.
extern AURA_DSP_DESCRIPTION_EX dsphighpass;

class DSPHighPass : public DSPEffect<DSPHighPass> {
public:
    static constexpr bool kCountsMemory = true;
    static AURA_DSP_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT createInternal();
    AURA_RESULT resetInternal();
    AURA_RESULT readInternal(float *in, float *out, unsigned int length, int inchannels, int outchannels);
    AURA_RESULT setParameterInternal(int index, float value);
    AURA_RESULT getParameterInternal(int index, float *value, char *text);

    AURA_RESULT updateCoefficients(float resonance, float cutoff);
    AURA_RESULT process(const float *in, float *out, unsigned int length, int channels);

    float mCurrentCutoff = 0.0f;
    ParameterFloat mCutoff;
    float mMaxCutoff = 0.0f;
    float mCurrentResonance = 0.0f;
    ParameterFloat mResonance;
    float mX1[EFFECT_MAXCHANNELS] = {};
    float mX2[EFFECT_MAXCHANNELS] = {};
    float mY1[EFFECT_MAXCHANNELS] = {};
    float mY2[EFFECT_MAXCHANNELS] = {};
    float mA0 = 1.0f, mA1 = 0.0f, mA2 = 0.0f, mB0 = 1.0f, mB1 = 0.0f, mB2 = 0.0f;
};

// The registry record of DSPLowPassSimple: empty until getDescriptionEx fills it.
extern AURA_DSP_DESCRIPTION_EX dsplowpass_simple;

class DSPLowPassSimple : public DSPEffect<DSPLowPassSimple> {
public:
    static constexpr bool kCountsMemory = true;
    static AURA_DSP_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT createInternal();
    AURA_RESULT resetInternal();
    AURA_RESULT readInternal(float *in, float *out, unsigned int length, int inchannels, int outchannels);
    AURA_RESULT setParameterInternal(int index, float value);
    AURA_RESULT getParameterInternal(int index, float *value, char *text);
    AURA_RESULT updateCoefficients(float cutoff);

    float mCurrentCutoff = 0.0f;
    ParameterFloat mCutoff;
    float mState[EFFECT_MAXCHANNELS][2] = {};
    float mA = 1.0f;
    float mB = 0.0f;
};

// The registry record of DSPParamEq: empty until getDescriptionEx fills it.
extern AURA_DSP_DESCRIPTION_EX dspparameq;

class DSPParamEq : public DSPEffect<DSPParamEq> {
public:
    static constexpr bool kCountsMemory = true;
    static AURA_DSP_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT createInternal();
    AURA_RESULT resetInternal();
    AURA_RESULT readInternal(float *in, float *out, unsigned int length, int inchannels, int outchannels);
    AURA_RESULT setParameterInternal(int index, float value);
    AURA_RESULT getParameterInternal(int index, float *value, char *text);
    AURA_RESULT updateCoefficients(float center, float range, float gain);

    float mCurrentCenter = 0.0f, mCurrentRange = 0.0f, mCurrentGain = 0.0f;
    ParameterFloat mCenter, mRange, mGain;
    float mX[EFFECT_MAXCHANNELS][2] = {};
    float mY[EFFECT_MAXCHANNELS][2] = {};
    float mA0 = 1.0f, mA1 = 0.0f, mA2 = 0.0f, mB0 = 1.0f, mB1 = 0.0f, mB2 = 0.0f;
};

} // namespace AURA

#endif // AURA_DSP_FILTERS_H
