#include "dsp/effects/aura_dsp_filters.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace AURA {

namespace {
constexpr float kPi = 3.1415927f;
constexpr float kTwoPi = 6.2831855f;

AURA_DSP_PARAMETERDESC gLowPassParameters[] = {
    {10.0f, 22000.0f, 5000.0f, "Cutoff freq", "hz",
     "Lowpass cutoff frequency in hz.   1.0 to output 22000.0.  Default = 5000.0."},
    {1.0f, 10.0f, 1.0f, "Resonance", "", "Lowpass resonance Q value. 1.0 to 10.0.  Default = 1.0."},
};
AURA_DSP_PARAMETERDESC gHighPassParameters[] = {
    {10.0f, 22000.0f, 5000.0f, "Cutoff freq", "hz",
     "Highpass cutoff frequency in hz.   10.0 to 22000.0.  Default = 5000.0."},
    {1.0f, 10.0f, 1.0f, "Resonance", "", "Highpass resonance Q value. 1.0 to 10.0.  Default = 1.0."},
};
AURA_DSP_PARAMETERDESC gLowPassSimpleParameters[] = {
    {10.0f, 22000.0f, 5000.0f, "Cutoff freq", "hz",
     "Lowpass cutoff frequency in hz.  1.0 to 22000.0.  Default = 5000.0"},
};
AURA_DSP_PARAMETERDESC gParamEqParameters[] = {
    {20.0f, 22000.0f, 8000.0f, "Center freq", "hz", "Frequency center.  20.0 to 22000.0.  Default = 8000.0."},
    {0.2f, 5.0f, 1.0f, "Octave range", "octaves",
     "Octave range around the center frequency to filter.  0.2 to 5.0.  Default = 1.0."},
    {0.05f, 3.0f, 1.0f, "Frequency gain", "", "Frequency Gain.  0.05 to 3.0.  Default = 1.0."},
};

// Moves value one step towards target, stopping there.
void stepTowards(float &value, float target, float step)
{
    if (value < target) {
        value = std::min(value + step, target);
    } else if (value > target) {
        value = std::max(value - step, target);
    }
}

// One direct-form-I biquad step; `scale` is 1/a0.
struct Biquad {
    float b0, b1, b2, a1, a2, scale;
    void run(const float *in, float *out, unsigned int length, int stride, float d, float &x1Ref, float &x2Ref,
             float &y1Ref, float &y2Ref) const
    {
        // Locals: the output may alias the state as far as the compiler knows.
        float x1 = x1Ref, x2 = x2Ref, y1 = y1Ref, y2 = y2Ref;
        for (unsigned int i = 0; i < length; ++i) {
            const std::size_t at = static_cast<std::size_t>(i) * stride;
            const float x = in[at] + d;
            const float y = (b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2) * scale;
            x2 = x1;
            x1 = x;
            y2 = y1;
            y1 = y;
            out[at] = y;
            d = -d;
        }
        x1Ref = x1;
        x2Ref = x2;
        y1Ref = y1;
        y2Ref = y2;
    }
};
} // namespace

bool glideStep(float &cutoff, float targetCutoff, float &resonance, float targetResonance)
{
    const float step = cutoff / 100.0f + 10.0f;
    stepTowards(resonance, targetResonance, 1.0f);
    stepTowards(cutoff, targetCutoff, step);
    return cutoff != targetCutoff || resonance != targetResonance;
}

// ---------------------------------------------------------------- lowpass

constinit AURA_DSP_DESCRIPTION_EX dsplowpass{};

AURA_DSP_DESCRIPTION_EX *DSPLowPass::getDescriptionEx()
{
    return describeOnce(dsplowpass, [](AURA_DSP_DESCRIPTION_EX &description) {
        description = describe("AURA Lowpass", AURA_DSP_TYPE_LOWPASS, gLowPassParameters);
    });
}

AURA_RESULT DSPLowPass::createInternal()
{
    constexpr float proto[2][6] = {{1.0f, 0.0f, 0.0f, 1.0f, 0.765367f, 1.0f},
                                   {1.0f, 0.0f, 0.0f, 1.0f, 1.847759f, 1.0f}};
    std::copy(&proto[0][0], &proto[0][0] + 12, &mPrototype[0][0]);
    mSectionGain[0] = mSectionGain[1] = 1.0f;
    mMaxCutoff = outputRate() * 0.5f - 10.0f;
    const AURA_RESULT result = applyDefaults();
    if (result != AURA_OK) {
        return result;
    }
    mCurrentResonance = mResonance;
    mCurrentCutoff = mCutoff;
    return updateState(mCurrentResonance, mCurrentCutoff);
}

AURA_RESULT DSPLowPass::prewarp(float * /*a0*/, float *a1, float *a2, float fc, float fs)
{
    const float wp = 2.0f * fs * std::tan(kPi * fc / fs);
    *a2 = *a2 / (wp * wp);
    *a1 = *a1 / wp;
    return AURA_OK;
}

AURA_RESULT DSPLowPass::bilinear(float a0, float a1, float a2, float b0, float b1, float b2, float *k, float fs,
                                 float *coef)
{
    const float ad = 4.0f * a2 * fs * fs + 2.0f * a1 * fs + a0;
    const float bd = 4.0f * b2 * fs * fs + 2.0f * b1 * fs + b0;
    *k = *k * (ad / bd);
    coef[0] = (2.0f * b0 - 8.0f * b2 * fs * fs) / bd;
    coef[1] = (4.0f * b2 * fs * fs - 2.0f * b1 * fs + b0) / bd;
    coef[2] = (2.0f * a0 - 8.0f * a2 * fs * fs) / ad;
    coef[3] = (4.0f * a2 * fs * fs - 2.0f * a1 * fs + a0) / ad;
    return AURA_OK;
}

AURA_RESULT DSPLowPass::szxform(float *a0, float *a1, float *a2, float *b0, float *b1, float *b2, float fc, float fs,
                                float *k, float *coef)
{
    (void)prewarp(a0, a1, a2, fc, fs);
    (void)prewarp(b0, b1, b2, fc, fs);
    return bilinear(*a0, *a1, *a2, *b0, *b1, *b2, k, fs, coef);
}

AURA_RESULT DSPLowPass::updateState(float resonance, float cutoff)
{
    if (resonance < 1.0f) {
        return AURA_OK;
    }
    const float fs = outputRate();
    if (cutoff > fs * 0.5f) {
        cutoff = fs * 0.5f - 10.0f;
    }
    float k = 1.0f;
    for (int i = 0; i < 2; ++i) {
        float a0 = mPrototype[i][0], a1 = mPrototype[i][1], a2 = mPrototype[i][2];
        float b0 = mPrototype[i][3], b1 = mPrototype[i][4] / resonance, b2 = mPrototype[i][5];
        float g = 1.0f;
        (void)szxform(&a0, &a1, &a2, &b0, &b1, &b2, cutoff, fs, &g, mCoefficients[i]);
        if (mSectionGain[i] != 0.0f) {
            // Keeps the stored history in step with the new gain (value i of
            // each channel's four).
            const float ratio = g / mSectionGain[i];
            for (auto &history : mHistory) {
                history[i] *= ratio;
            }
        }
        mSectionGain[i] = g;
        k *= g;
    }
    mGain = k;
    return AURA_OK;
}

AURA_RESULT DSPLowPass::process(const float *in, float *out, unsigned int length, int channels)
{
    if (channels <= 0) {
        return AURA_OK;
    }
    const float gain = mGain;
    const float(&c)[2][4] = mCoefficients;
    runPerChannel(in, out, length, channels, activeMask(channels), DenormalGuard<DSPLowPass>::value(),
                  [&](int ch, const float *src, float *dst, unsigned int n, int stride, float d) {
                      float h0 = mHistory[ch][0], h1 = mHistory[ch][1], h2 = mHistory[ch][2], h3 = mHistory[ch][3];
                      for (unsigned int i = 0; i < n; ++i) {
                          const std::size_t at = static_cast<std::size_t>(i) * stride;
                          float y = (src[at] + d) * gain;
                          float w = y - h0 * c[0][0] - h1 * c[0][1];
                          y = w + h0 * c[0][2] + h1 * c[0][3];
                          h1 = h0;
                          h0 = w;
                          w = y - h2 * c[1][0] - h3 * c[1][1];
                          y = w + h2 * c[1][2] + h3 * c[1][3];
                          h3 = h2;
                          h2 = w;
                          dst[at] = y;
                          d = -d;
                      }
                      mHistory[ch][0] = h0;
                      mHistory[ch][1] = h1;
                      mHistory[ch][2] = h2;
                      mHistory[ch][3] = h3;
                  });
    return AURA_OK;
}

AURA_RESULT DSPLowPass::readInternal(float *in, float *out, unsigned int length, int inchannels, int /*outchannels*/)
{
    if (!in) {
        return AURA_OK;
    }
    const float targetCutoff = mCutoff;
    const float targetResonance = mResonance;
    const std::size_t stride = inchannels > 0 ? static_cast<std::size_t>(inchannels) : 0;
    unsigned int done = 0;
    while (done < length && (mCurrentCutoff != targetCutoff || mCurrentResonance != targetResonance)) {
        (void)glideStep(mCurrentCutoff, targetCutoff, mCurrentResonance, targetResonance);
        (void)updateState(mCurrentResonance, mCurrentCutoff);
        (void)process(in + done * stride, out + done * stride, 1, inchannels);
        ++done;
    }
    if (done == length) {
        return AURA_OK;
    }
    in += done * stride;
    out += done * stride;
    length -= done;
    if (activeMask(inchannels) == 0 || mMaxCutoff <= mCurrentCutoff) {
        copyBlock(in, out, length, inchannels);
        return AURA_OK;
    }
    if (mCurrentCutoff < 10.0f) {
        std::fill(out, out + length * stride, 0.0f);
        for (int c = 0; c < std::min(inchannels, EFFECT_MAXCHANNELS); ++c) {
            std::fill(mHistory[c], mHistory[c] + 4, 0.0f);
        }
        return AURA_OK;
    }
    return process(in, out, length, inchannels);
}

AURA_RESULT DSPLowPass::setParameterInternal(int index, float value)
{
    if (index == 0) {
        mCutoff = value >= mMaxCutoff ? mMaxCutoff : value;
    } else if (index == 1) {
        mResonance = value;
    }
    return AURA_OK;
}

AURA_RESULT DSPLowPass::getParameterInternal(int index, float *value, char *text)
{
    if (index == 0 || index == 1) {
        *value = index == 0 ? mCutoff : mResonance;
        formatParameter(text, *value);
    }
    return AURA_OK;
}

// --------------------------------------------------------------- highpass

constinit AURA_DSP_DESCRIPTION_EX dsphighpass{};

AURA_DSP_DESCRIPTION_EX *DSPHighPass::getDescriptionEx()
{
    return describeOnce(dsphighpass, [](AURA_DSP_DESCRIPTION_EX &description) {
        description = describe("AURA Highpass", AURA_DSP_TYPE_HIGHPASS, gHighPassParameters);
    });
}

AURA_RESULT DSPHighPass::createInternal()
{
    mMaxCutoff = outputRate() * 0.5f - 10.0f;
    const AURA_RESULT result = applyDefaults();
    if (result != AURA_OK) {
        return result;
    }
    (void)resetInternal();
    mCurrentCutoff = mCutoff;
    mCurrentResonance = mResonance;
    return updateCoefficients(mCurrentResonance, mCurrentCutoff);
}

AURA_RESULT DSPHighPass::resetInternal()
{
    std::fill(std::begin(mX1), std::end(mX1), 0.0f);
    std::fill(std::begin(mX2), std::end(mX2), 0.0f);
    std::fill(std::begin(mY1), std::end(mY1), 0.0f);
    std::fill(std::begin(mY2), std::end(mY2), 0.0f);
    return AURA_OK;
}

AURA_RESULT DSPHighPass::updateCoefficients(float resonance, float cutoff)
{
    const float w0 = kTwoPi * cutoff / outputRate();
    const float c = std::cos(w0);
    const float s = std::sin(w0);
    const float alpha = s / (2.0f * resonance);
    mB0 = (1.0f + c) * 0.5f;
    mB1 = -(1.0f + c);
    mB2 = (1.0f + c) * 0.5f;
    mA0 = 1.0f + alpha;
    mA1 = -2.0f * c;
    mA2 = 1.0f + s / (-2.0f * resonance);
    return AURA_OK;
}

AURA_RESULT DSPHighPass::process(const float *in, float *out, unsigned int length, int channels)
{
    if (channels <= 0) {
        return AURA_OK;
    }
    const Biquad q{mB0, mB1, mB2, mA1, mA2, 1.0f / mA0};
    runPerChannel(in, out, length, channels, activeMask(channels), DenormalGuard<DSPHighPass>::value(),
                  [&](int ch, const float *src, float *dst, unsigned int n, int stride, float d) {
                      q.run(src, dst, n, stride, d, mX1[ch], mX2[ch], mY1[ch], mY2[ch]);
                  });
    return AURA_OK;
}

AURA_RESULT DSPHighPass::readInternal(float *in, float *out, unsigned int length, int inchannels, int /*outchannels*/)
{
    if (!in) {
        return AURA_OK;
    }
    const float targetCutoff = mCutoff;
    const float targetResonance = mResonance;
    const std::size_t stride = inchannels > 0 ? static_cast<std::size_t>(inchannels) : 0;
    unsigned int done = 0;
    while (done < length && (mCurrentCutoff != targetCutoff || mCurrentResonance != targetResonance)) {
        (void)glideStep(mCurrentCutoff, targetCutoff, mCurrentResonance, targetResonance);
        (void)updateCoefficients(mCurrentResonance, mCurrentCutoff);
        (void)process(in + done * stride, out + done * stride, 1, inchannels);
        ++done;
    }
    if (done == length) {
        return AURA_OK;
    }
    in += done * stride;
    out += done * stride;
    length -= done;
    if (activeMask(inchannels) == 0 || mCurrentCutoff < 2.0f) {
        copyBlock(in, out, length, inchannels);
        return AURA_OK;
    }
    if (mMaxCutoff > mCurrentCutoff) {
        return process(in, out, length, inchannels);
    }
    std::fill(out, out + length * stride, 0.0f);
    for (int c = 0; c < std::min(inchannels, EFFECT_MAXCHANNELS); ++c) {
        mX1[c] = mX2[c] = mY1[c] = mY2[c] = 0.0f;
    }
    return AURA_OK;
}

AURA_RESULT DSPHighPass::setParameterInternal(int index, float value)
{
    if (index == 0) {
        mCutoff = value >= mMaxCutoff ? mMaxCutoff : value;
    } else if (index == 1) {
        mResonance = value;
    }
    return AURA_OK;
}

AURA_RESULT DSPHighPass::getParameterInternal(int index, float *value, char *text)
{
    if (index == 0 || index == 1) {
        *value = index == 0 ? mCutoff : mResonance;
        formatParameter(text, *value);
    }
    return AURA_OK;
}

// --------------------------------------------------------- simple lowpass

constinit AURA_DSP_DESCRIPTION_EX dsplowpass_simple{};

AURA_DSP_DESCRIPTION_EX *DSPLowPassSimple::getDescriptionEx()
{
    return describeOnce(dsplowpass_simple, [](AURA_DSP_DESCRIPTION_EX &description) {
        description = describe("AURA Lowpass Simple", AURA_DSP_TYPE_LOWPASS_SIMPLE, gLowPassSimpleParameters);
    });
}

AURA_RESULT DSPLowPassSimple::createInternal()
{
    const AURA_RESULT result = applyDefaults();
    if (result != AURA_OK) {
        return result;
    }
    (void)resetInternal();
    mCurrentCutoff = mCutoff;
    return updateCoefficients(mCurrentCutoff);
}

AURA_RESULT DSPLowPassSimple::resetInternal()
{
    std::fill(&mState[0][0], &mState[0][0] + EFFECT_MAXCHANNELS * 2, 0.0f);
    return AURA_OK;
}

AURA_RESULT DSPLowPassSimple::updateCoefficients(float cutoff)
{
    const float fs = outputRate();
    const float knee = fs / kPi;
    if (cutoff >= 22000.0f) {
        mA = 1.0f;
    } else if (knee >= cutoff) {
        const float dt = 1.0f / fs;
        mA = dt / (1.0f / (kTwoPi * cutoff) + dt);
    } else {
        mA = 0.6666667f + (cutoff - knee) / (3.0f * (22000.0f - knee));
    }
    mB = 1.0f - mA;
    return AURA_OK;
}

AURA_RESULT DSPLowPassSimple::readInternal(float *in, float *out, unsigned int length, int inchannels,
                                           int /*outchannels*/)
{
    if (!in) {
        return AURA_OK;
    }
    const float target = mCutoff;
    if (target != mCurrentCutoff) {
        mCurrentCutoff = target;
        (void)updateCoefficients(mCurrentCutoff);
    }
    const unsigned int mask = activeMask(inchannels);
    if (mA == 1.0f || mask == 0) {
        copyBlock(in, out, length, inchannels);
        return AURA_OK;
    }
    const float a = mA;
    const float b = mB;
    runPerChannel(in, out, length, inchannels, mask, DenormalGuard<DSPLowPassSimple>::value(),
                  [&](int ch, const float *src, float *dst, unsigned int n, int stride, float d) {
                      float s1 = mState[ch][0];
                      float s2 = mState[ch][1];
                      for (unsigned int i = 0; i < n; ++i) {
                          const std::size_t at = static_cast<std::size_t>(i) * stride;
                          s1 = a * (src[at] + d) + b * s1;
                          s2 = a * s1 + b * s2;
                          dst[at] = s2;
                          d = -d;
                      }
                      mState[ch][0] = s1;
                      mState[ch][1] = s2;
                  });
    return AURA_OK;
}

AURA_RESULT DSPLowPassSimple::setParameterInternal(int index, float value)
{
    if (index == 0) {
        mCutoff = value;
    }
    return AURA_OK;
}

AURA_RESULT DSPLowPassSimple::getParameterInternal(int index, float *value, char *text)
{
    if (index == 0) {
        *value = mCutoff;
        formatParameter(text, *value);
    }
    return AURA_OK;
}

// ---------------------------------------------------------- parametric EQ

constinit AURA_DSP_DESCRIPTION_EX dspparameq{};

AURA_DSP_DESCRIPTION_EX *DSPParamEq::getDescriptionEx()
{
    return describeOnce(dspparameq, [](AURA_DSP_DESCRIPTION_EX &description) {
        description = describe("AURA ParamEQ", AURA_DSP_TYPE_PARAMEQ, gParamEqParameters);
    });
}

AURA_RESULT DSPParamEq::createInternal()
{
    const AURA_RESULT result = applyDefaults();
    if (result != AURA_OK) {
        return result;
    }
    (void)resetInternal();
    mCurrentCenter = mCenter;
    mCurrentRange = mRange;
    mCurrentGain = mGain;
    return updateCoefficients(mCurrentCenter, mCurrentRange, mCurrentGain);
}

AURA_RESULT DSPParamEq::resetInternal()
{
    std::fill(&mX[0][0], &mX[0][0] + EFFECT_MAXCHANNELS * 2, 0.0f);
    std::fill(&mY[0][0], &mY[0][0] + EFFECT_MAXCHANNELS * 2, 0.0f);
    return AURA_OK;
}

AURA_RESULT DSPParamEq::updateCoefficients(float center, float range, float gain)
{
    const float w0 = kTwoPi * center / outputRate();
    const float alpha = std::sin(w0) / (2.0f / range);
    const float cosw = std::cos(w0);
    mB0 = 1.0f + alpha * gain;
    mB1 = -2.0f * cosw;
    mB2 = 1.0f - alpha * gain;
    mA0 = 1.0f + alpha / gain;
    mA1 = -2.0f * cosw;
    mA2 = 1.0f - alpha / gain;
    return AURA_OK;
}

AURA_RESULT DSPParamEq::readInternal(float *in, float *out, unsigned int length, int inchannels, int /*outchannels*/)
{
    if (!in) {
        return AURA_OK;
    }
    const unsigned int mask = activeMask(inchannels);
    if (mask == 0) {
        copyBlock(in, out, length, inchannels);
        return AURA_OK;
    }
    const float center = mCenter, range = mRange, gain = mGain;
    if (center != mCurrentCenter || range != mCurrentRange || gain != mCurrentGain) {
        mCurrentCenter = center;
        mCurrentRange = range;
        mCurrentGain = gain;
        (void)updateCoefficients(center, range, gain);
    }
    const Biquad q{mB0, mB1, mB2, mA1, mA2, 1.0f / mA0};
    runPerChannel(in, out, length, inchannels, mask, DenormalGuard<DSPParamEq>::value(),
                  [&](int ch, const float *src, float *dst, unsigned int n, int stride, float d) {
                      q.run(src, dst, n, stride, d, mX[ch][0], mX[ch][1], mY[ch][0], mY[ch][1]);
                  });
    return AURA_OK;
}

AURA_RESULT DSPParamEq::setParameterInternal(int index, float value)
{
    switch (index) {
    case 0: mCenter = std::min(value, outputRate() * 0.5f - 100.0f); break;
    case 1: mRange = value; break;
    case 2: mGain = value; break;
    default: break;
    }
    return AURA_OK;
}

AURA_RESULT DSPParamEq::getParameterInternal(int index, float *value, char *text)
{
    if (index < 0 || index > 2) {
        return AURA_OK;
    }
    *value = index == 0 ? mCenter : (index == 1 ? mRange : mGain);
    formatParameter(text, *value);
    return AURA_OK;
}

} // namespace AURA
