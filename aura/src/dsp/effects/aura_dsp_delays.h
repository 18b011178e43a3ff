// The delay-line units: the echo (one feedback line per channel, rebuilt on
// the mixer side by a queued update), the flange (a short line swept by a
// raised-sine LFO) and the chorus (three swept taps a quarter cycle apart,
// with feedback). All three keep their lines in 16 bits.
#ifndef AURA_DSP_DELAYS_H
#define AURA_DSP_DELAYS_H

#include "dsp/effects/aura_dsp_effect.h"

#include <cstdint>

namespace AURA {

// The quarter-wave cosine table the LFOs and the pitch shifter share:
// entry i = cos(i x (pi/2) / 8192), built once per process, and a closing
// entry 8192 of 0.
inline constexpr int QUARTER_COSINE_SIZE = 8192;
const float *quarterCosineTable();

// 1 + sin(2 pi phase) from the quarter table, 0 to 2, for a phase in turns.
float raisedSine(const float *table, double phase);

// A float sample in the 16-bit scale, saturated at both ends.
int16_t saturate16(float v);

// The registry record of DSPEcho: empty until getDescriptionEx fills it.
extern AURA_DSP_DESCRIPTION_EX dspecho_desc;

class DSPEcho : public DSPEffect<DSPEcho> {
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
    AURA_RESULT updateInternal();
    static AURA_RESULT updateCallback(AURA_DSP_STATE *state);

    // What the read uses; written only by the update (mixer side).
    float mDelay = 0.0f, mDecay = 0.0f, mDryMix = 0.0f, mWetMix = 0.0f;
    std::atomic<int> mMaxChannels{0};
    ParameterFloat mPendingDelay, mPendingDecay, mPendingDryMix, mPendingWetMix;
    int16_t *mLine = nullptr;
    void *mLineMemory = nullptr;
    unsigned int mLineBytes = 0;
    unsigned int mPosition = 0;
    unsigned int mDelayFrames = 0;
    int mChannels = 0;
    unsigned short mSavedMask = 0xFFFF;

private:
    // "Max channels" when set, else the output's channel count.
    [[nodiscard]] int pendingChannels() const;
};

// The registry record of DSPFlange: empty until getDescriptionEx fills it.
extern AURA_DSP_DESCRIPTION_EX dspflange;

class DSPFlange : public DSPEffect<DSPFlange> {
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

    // The values the read took at its last block (the texts show them).
    ParameterFloat mDepth, mDryMix, mWetMix, mRate;
    ParameterFloat mPendingDepth, mPendingDryMix, mPendingWetMix, mPendingRate;
    int16_t *mLine = nullptr;
    unsigned int mDelayFrames = 4;
    unsigned int mLineBytes = 0;
    int mLineChannels = 0; // the widest frame the line holds
    unsigned int mPosition = 0;
    float mLfoOffset = 0.0f;
    double mLfoPhase = 0.0; // turns, kept in [0, 1)
    double mPhaseStep = 0.0;
    int mOutputRate = 0;

private:
    void setDepthFrames();
};

// The registry record of DSPChorus: empty until getDescriptionEx fills it.
extern AURA_DSP_DESCRIPTION_EX dspchorus;

class DSPChorus : public DSPEffect<DSPChorus> {
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

    // Set under the DSP lock, read by the mixer.
    float mDepth = 0.0f, mDryMix = 0.0f, mWetMix[3] = {}, mFeedback = 0.0f, mDelay = -1.0f, mRate = 0.0f;
    int16_t *mLine = nullptr;
    unsigned int mSpan = 4; // N: twice the delay in frames
    unsigned int mLineBytes = 0;
    int mLineChannels = 0;
    unsigned int mPosition = 0;
    float mTapOffset[3] = {};
    double mLfoPhase = 0.0; // turns, kept in [0, 1)
    double mPhaseStep = 0.0;
    int mOutputRate = 0;
    unsigned short mSavedMask = 0xFFFF;
};

} // namespace AURA

#endif // AURA_DSP_DELAYS_H
