// The level units: the compressor (peak follower and smoothed gain), the
// distortion (a soft-clipping waveshaper) and the normalizer (a falling
// peak follower that sets the gain).
#ifndef AURA_DSP_DYNAMICS_H
#define AURA_DSP_DYNAMICS_H

#include "dsp/effects/aura_dsp_effect.h"

namespace AURA {

// The registry record of DSPCompressor: empty until getDescriptionEx fills it.
extern AURA_DSP_DESCRIPTION_EX dspcompressor;

class DSPCompressor : public DSPEffect<DSPCompressor> {
public:
    static constexpr bool kCountsMemory = true;
    static AURA_DSP_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT createInternal();
    AURA_RESULT readInternal(float *in, float *out, unsigned int length, int inchannels, int outchannels);
    AURA_RESULT setParameterInternal(int index, float value);
    AURA_RESULT getParameterInternal(int index, float *value, char *text);

    ParameterFloat mFall; // linear amplitude the followers lose per sample
    ParameterFloat mAttack, mAttackCoefficient;
    ParameterFloat mRelease, mReleaseCoefficient;
    ParameterFloat mThreshold, mThresholdLinear;
    ParameterFloat mMakeUp, mMakeUpLinear;
    float mGain = 1.0f; // the smoothed divisor
    float mFollower[EFFECT_MAXCHANNELS] = {};
};

// The registry record of DSPDistortion: empty until getDescriptionEx fills it.
extern AURA_DSP_DESCRIPTION_EX dspdistortion;

class DSPDistortion : public DSPEffect<DSPDistortion> {
public:
    static AURA_DSP_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT createInternal();
    AURA_RESULT releaseInternal() { return AURA_OK; }
    AURA_RESULT resetInternal() { return AURA_OK; }
    AURA_RESULT readInternal(float *in, float *out, unsigned int length, int inchannels, int outchannels);
    AURA_RESULT setParameterInternal(int index, float value);
    AURA_RESULT getParameterInternal(int index, float *value, char *text);

    ParameterFloat mLevel;
};

// The registry record of DSPNormalize: empty until getDescriptionEx fills it.
extern AURA_DSP_DESCRIPTION_EX dspnormalize;

class DSPNormalize : public DSPEffect<DSPNormalize> {
public:
    static constexpr bool kCountsMemory = true;
    static AURA_DSP_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT createInternal();
    AURA_RESULT releaseInternal() { return AURA_OK; }
    AURA_RESULT resetInternal();
    AURA_RESULT readInternal(float *in, float *out, unsigned int length, int inchannels, int outchannels);
    AURA_RESULT setParameterInternal(int index, float value);
    AURA_RESULT getParameterInternal(int index, float *value, char *text);

    ParameterFloat mThreshold;
    ParameterFloat mMaxAmp;
    ParameterFloat mFadeTime; // ms
    ParameterFloat mStep; // peak fall per frame
    float mPeak = 1.0f;
    int mSampleRate = 0;
};

} // namespace AURA

#endif // AURA_DSP_DYNAMICS_H
