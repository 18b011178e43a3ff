#include "dsp/effects/aura_dsp_dynamics.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace AURA {

namespace {
AURA_DSP_PARAMETERDESC gCompressorParameters[] = {
    {-60.0f, 0.0f, 0.0f, "Threshold", "dB", "Compressor threshold [-60dB, 0dB]  Default = 0dB."},
    {10.0f, 200.0f, 50.0f, "Attack", "ms", "Compressor attack time. [10ms,200ms]  Default = 50ms."},
    {20.0f, 1000.0f, 50.0f, "Release", "ms", "Compressor release time. [10ms,1000ms]  Default = 50ms."},
    {0.0f, 30.0f, 0.0f, "Make up gain", "dB", "Compressor make up gain [0dB, 30dB]  Default = 0dB."},
};
AURA_DSP_PARAMETERDESC gDistortionParameters[] = {
    {0.0f, 1.0f, 0.5f, "Level", "", "Distortion value.  0.0 to 1.0.  Default = 0.5."},
};
AURA_DSP_PARAMETERDESC gNormalizeParameters[] = {
    {0.0f, 20000.0f, 5000.0f, "Fade in time", "seconds",
     "Time to ramp the silence to full in ms.  0.0 to 20000.0. Default = 5000.0."},
    {0.0f, 1.0f, 0.1f, "Lowest volume", "",
     "Lower volume range threshold to ignore.  0.0 to 1.0.  Default = 0.1.  Raise higher to stop amplification of "
     "very quiet signals."},
    {0.0f, 100000.0f, 20.0f, "Maximum amp", "x",
     "Maximum amplification allowed.  1.0 to 100000.0.  Default = 20.0.  1.0 = no amplifaction, higher values allow "
     "more boost."},
};

float decibelsToLinear(float db)
{
    return static_cast<float>(std::pow(10.0, static_cast<double>(db) / 20.0));
}
} // namespace

// ------------------------------------------------------------- compressor

constinit AURA_DSP_DESCRIPTION_EX dspcompressor{};

AURA_DSP_DESCRIPTION_EX *DSPCompressor::getDescriptionEx()
{
    return describeOnce(dspcompressor, [](AURA_DSP_DESCRIPTION_EX &description) {
        description = describe("AURA Compressor", AURA_DSP_TYPE_COMPRESSOR, gCompressorParameters);
    });
}

AURA_RESULT DSPCompressor::createInternal()
{
    (void)applyDefaults();
    std::fill(std::begin(mFollower), std::end(mFollower), 0.0f);
    mGain = 1.0f;
    return AURA_OK;
}

AURA_RESULT DSPCompressor::setParameterInternal(int index, float value)
{
    const float rate = outputRate();
    mFall = 10.0f / rate;
    switch (index) {
    case 0:
        mThreshold = value;
        mThresholdLinear = decibelsToLinear(value);
        break;
    case 1:
        mAttack = value;
        mAttackCoefficient = std::exp(-1000.0f / (rate * value));
        break;
    case 2:
        mRelease = value;
        mReleaseCoefficient = std::exp(-1000.0f / (rate * value));
        break;
    case 3:
        mMakeUp = value;
        mMakeUpLinear = decibelsToLinear(value);
        break;
    default: break;
    }
    return AURA_OK;
}

AURA_RESULT DSPCompressor::getParameterInternal(int index, float *value, char *text)
{
    const ParameterFloat *stored[] = {&mThreshold, &mAttack, &mRelease, &mMakeUp};
    if (index >= 0 && index < 4) {
        *value = *stored[index];
        formatParameter(text, *value);
    }
    return AURA_OK;
}

AURA_RESULT DSPCompressor::readInternal(float *in, float *out, unsigned int length, int inchannels, int /*outchannels*/)
{
    if (!in) {
        return AURA_OK;
    }
    const unsigned int mask = activeMask(inchannels);
    if (mask == 0) {
        copyBlock(in, out, length, inchannels);
        return AURA_OK;
    }
    const float fall = mFall;
    const float threshold = mThresholdLinear;
    const float attack = mAttackCoefficient;
    const float release = mReleaseCoefficient;
    const float makeup = mMakeUpLinear;
    const int n = inchannels;
    float gain = mGain;
    for (unsigned int i = 0; i < length; ++i) {
        const float *x = in + static_cast<std::size_t>(i) * n;
        float *y = out + static_cast<std::size_t>(i) * n;
        float peak = 0.0f;
        for (int c = 0; c < n && c < EFFECT_MAXCHANNELS; ++c) {
            if (mask & (1u << c)) {
                float f = mFollower[c] - fall;
                const float level = std::fabs(x[c]);
                if (level > f) {
                    f = level;
                }
                mFollower[c] = f;
                peak = std::max(peak, f);
            }
        }
        const float ratio = peak / threshold;
        gain = (gain - ratio) * (ratio > 1.0f ? attack : release) + ratio;
        // In silence the gain decays towards 0 and would stay a denormal
        // for good; below 1 it never changes the output, so end the decay.
        if (gain < 1.0e-30f) {
            gain = 0.0f;
        }
        const bool divide = gain > 1.0f;
        for (int c = 0; c < n; ++c) {
            if (c < EFFECT_MAXCHANNELS && (mask & (1u << c))) {
                y[c] = divide ? (x[c] * makeup) / gain : x[c] * makeup;
            } else {
                y[c] = x[c];
            }
        }
    }
    mGain = gain;
    return AURA_OK;
}

// ------------------------------------------------------------- distortion

constinit AURA_DSP_DESCRIPTION_EX dspdistortion{};

AURA_DSP_DESCRIPTION_EX *DSPDistortion::getDescriptionEx()
{
    return describeOnce(dspdistortion, [](AURA_DSP_DESCRIPTION_EX &description) {
        description = describe("AURA Distortion", AURA_DSP_TYPE_DISTORTION, gDistortionParameters);
    });
}

AURA_RESULT DSPDistortion::createInternal()
{
    return applyDefaults();
}

AURA_RESULT DSPDistortion::setParameterInternal(int /*index*/, float value)
{
    mLevel = value;
    return AURA_OK;
}

AURA_RESULT DSPDistortion::getParameterInternal(int /*index*/, float *value, char *text)
{
    *value = mLevel;
    formatParameter(text, *value);
    return AURA_OK;
}

AURA_RESULT DSPDistortion::readInternal(float *in, float *out, unsigned int length, int inchannels, int /*outchannels*/)
{
    if (!in) {
        return AURA_OK;
    }
    const float level = mLevel;
    // At level 1 the curve's k would be infinite; a large finite one keeps
    // the shape (and maps ±1 to ±1).
    const float k = level < 1.0f ? 2.0f * level / (1.0f - level) : 19994.681640625f;
    const float k1 = 1.0f + k;
    const unsigned int mask = activeMask(inchannels);
    if (mask == 0) {
        copyBlock(in, out, length, inchannels);
        return AURA_OK;
    }
    const auto shape = [k, k1](float x) { return k1 * x / (1.0f + k * std::fabs(x)); };
    const unsigned int all = inchannels >= 16 ? 0xFFFFu : ((1u << inchannels) - 1u);
    if (mask == all && inchannels <= 16) {
        const std::size_t count = static_cast<std::size_t>(length) * inchannels;
        for (std::size_t i = 0; i < count; ++i) {
            out[i] = shape(in[i]);
        }
        return AURA_OK;
    }
    float unused = 0.0f;
    runPerChannel(in, out, length, inchannels, mask, unused,
                  [&](int, const float *src, float *dst, unsigned int n, int stride, float) {
                      for (unsigned int i = 0; i < n; ++i) {
                          dst[static_cast<std::size_t>(i) * stride] = shape(src[static_cast<std::size_t>(i) * stride]);
                      }
                  });
    return AURA_OK;
}

// -------------------------------------------------------------- normalize

constinit AURA_DSP_DESCRIPTION_EX dspnormalize{};

AURA_DSP_DESCRIPTION_EX *DSPNormalize::getDescriptionEx()
{
    return describeOnce(dspnormalize, [](AURA_DSP_DESCRIPTION_EX &description) {
        description = describe("AURA Normalize", AURA_DSP_TYPE_NORMALIZE, gNormalizeParameters);
    });
}

AURA_RESULT DSPNormalize::createInternal()
{
    mPeak = 1.0f;
    mSampleRate = mSystem ? mSystem->mOutputRate : 48000;
    return applyDefaults();
}

AURA_RESULT DSPNormalize::resetInternal()
{
    mPeak = 1.0f;
    return AURA_OK;
}

AURA_RESULT DSPNormalize::setParameterInternal(int index, float value)
{
    if (index == 0) {
        mFadeTime = value;
    } else if (index == 1) {
        mThreshold = value;
    } else if (index == 2) {
        mMaxAmp = value;
    }
    const float fade = mFadeTime;
    mStep = fade == 0.0f ? 1.0f : 1.0f / (fade * static_cast<float>(mSampleRate) / 1000.0f);
    return AURA_OK;
}

AURA_RESULT DSPNormalize::getParameterInternal(int index, float *value, char *text)
{
    if (index < 0 || index > 2) {
        return AURA_OK;
    }
    *value = index == 0 ? mFadeTime : (index == 1 ? mThreshold : mMaxAmp);
    formatParameter(text, *value);
    return AURA_OK;
}

AURA_RESULT DSPNormalize::readInternal(float *in, float *out, unsigned int length, int inchannels, int /*outchannels*/)
{
    if (!in) {
        return AURA_OK;
    }
    const unsigned int mask = activeMask(inchannels);
    if (mask == 0) {
        copyBlock(in, out, length, inchannels);
        return AURA_OK;
    }
    const float threshold = mThreshold;
    const float maxAmp = mMaxAmp;
    const float step = mStep;
    const int n = inchannels;
    float peak = mPeak;
    for (unsigned int i = 0; i < length; ++i) {
        const float *x = in + static_cast<std::size_t>(i) * n;
        float *y = out + static_cast<std::size_t>(i) * n;
        peak -= step;
        if (threshold > peak) {
            peak = threshold;
        }
        for (int c = 0; c < n && c < EFFECT_MAXCHANNELS; ++c) {
            if ((mask & (1u << c)) && std::fabs(x[c]) > peak) {
                peak = std::fabs(x[c]);
            }
        }
        float gain = 1.0f / peak;
        if (maxAmp < gain) {
            gain = maxAmp;
        }
        for (int c = 0; c < n; ++c) {
            y[c] = (c < EFFECT_MAXCHANNELS && (mask & (1u << c))) ? x[c] * gain : x[c];
        }
    }
    mPeak = peak;
    return AURA_OK;
}

} // namespace AURA
