#include "dsp/effects/aura_dsp_reverb.h"

#include <algorithm>
#include <cmath>

namespace AURA {

namespace {
float bounded(float v, float lo, float hi)
{
    return std::isfinite(v) ? std::clamp(v, lo, hi) : lo;
}

float millibels(int mB)
{
    return static_cast<float>(std::pow(10.0, static_cast<double>(std::clamp(mB, -10000, 2000)) / 2000.0));
}

// The coefficient a of a one-pole lowpass y = a x + (1 - a) y whose gain at
// `w` (radians per sample) is `t` (0 < t <= 1).
float onePoleFor(float t, float w)
{
    if (t >= 1.0f) {
        return 1.0f;
    }
    const double tt = static_cast<double>(t) * t;
    const double c = std::cos(static_cast<double>(w));
    const double p = 1.0 - tt * c;
    const double q = 1.0 - tt;
    const double b = (p - std::sqrt(std::max(p * p - q * q, 0.0))) / q;
    return static_cast<float>(std::clamp(1.0 - b, 0.0, 1.0));
}
} // namespace

SfxReverbSettings mapReverbProperties(const AURA_REVERB_PROPERTIES &p, const int *lateLengths, float rate)
{
    SfxReverbSettings s;
    const float room = millibels(std::clamp(p.Room, -10000, 0));
    s.reflectionsGain = room * millibels(std::clamp(p.Reflections, -10000, 1000));
    s.lateInputGain = room * millibels(std::clamp(p.Reverb, -10000, 2000));
    const float decay = bounded(p.DecayTime, 0.1f, 20.0f);
    const float hfRatio = bounded(p.DecayHFRatio, 0.1f, 2.0f);
    const float reference = bounded(p.HFReference, 1000.0f, 20000.0f);
    const float w = 2.0f * 3.14159265f * std::min(reference, rate * 0.45f) / rate;
    // Both input filters together give RoomHF at the reference frequency.
    const float roomHF = millibels(std::clamp(p.RoomHF, -10000, 0));
    s.inputLowpass = std::max(onePoleFor(std::sqrt(roomHF), w), 0.01f);
    s.diffusion = 0.63f * bounded(p.Diffusion, 0.0f, 100.0f) / 100.0f;
    s.mix = bounded(p.Density, 0.0f, 100.0f) / 100.0f;
    s.lateTapStart = 0.04f + bounded(p.ReverbDelay, 0.0f, 0.1f);
    // A pass round a line loses what brings it to -60 dB after the decay
    // time; the line's gain carries it, divided by what the feedback scale
    // and the three butterfly stages give, so the loop stays below 1.
    const float network = SFXREVERB_FEEDBACK * std::pow(1.0f + s.mix * s.mix, 1.5f);
    for (int k = 0; k < ASfxDsp::NUM_LATE; ++k) {
        const float seconds = static_cast<float>(std::max(lateLengths[k], 1)) / rate;
        const float pass = std::min(std::pow(10.0f, -3.0f * seconds / decay), 0.9995f);
        s.lateGain[k] = pass / network;
        // High frequencies decay in decay x ratio: the damping takes the
        // difference at the reference frequency.
        const float hfPass = std::pow(10.0f, -3.0f * seconds / (decay * hfRatio));
        s.damping[k] = std::max(onePoleFor(std::min(hfPass / pass, 1.0f), w), 0.01f);
    }
    return s;
}

AURA_DSP_DESCRIPTION_EX *DSPSfxReverb::getDescriptionEx()
{
    // Filled once: systems on other threads make their reverbs meanwhile.
    static AURA_DSP_DESCRIPTION_EX description = describe("AURA SFX Reverb", AURA_DSP_TYPE_SFXREVERB, {});
    return &description;
}

AURA_RESULT DSPSfxReverb::createInternal()
{
    const float rate = outputRate();
    const int channels = mSystem ? mSystem->mMaxOutputChannels : 2;
    const int kernels = channels < 1 ? 1 : channels > MAX_KERNELS ? MAX_KERNELS : channels;
    const int block = static_cast<int>(mSystem ? mSystem->mDSPBlockSize : 1024);
    for (int k = 0; k < kernels; ++k) {
        ASfxDsp &kernel = mKernel[k];
        if (kernel.init(rate) != 0 || (kernel.mNumLate = ASfxDsp::NUM_LATE, kernel.UpdateBufferSize(block) != 0)) {
            for (int j = 0; j <= k; ++j) {
                mKernel[j].close();
            }
            return AURA_ERR_MEMORY;
        }
        kernel.ClearBuffers();
    }
    mNumKernels = kernels;
    mKernelReady = true;
    return AURA_OK;
}

AURA_RESULT DSPSfxReverb::releaseInternal()
{
    for (int k = 0; k < mNumKernels; ++k) {
        mKernel[k].close();
    }
    mNumKernels = 0;
    mKernelReady = false;
    return AURA_OK;
}

AURA_RESULT DSPSfxReverb::resetInternal()
{
    for (int k = 0; k < mNumKernels; ++k) {
        if (mKernel[k].UpdateBufferSize(static_cast<int>(mSystem ? mSystem->mDSPBlockSize : 1024)) != 0) {
            return AURA_ERR_MEMORY;
        }
        mKernel[k].ClearBuffers();
    }
    return AURA_OK;
}

AURA_RESULT DSPSfxReverb::setParameterInternal(int /*index*/, float /*value*/)
{
    return AURA_ERR_INVALID_PARAM;
}

AURA_RESULT DSPSfxReverb::getParameterInternal(int /*index*/, float * /*value*/, char * /*text*/)
{
    return AURA_OK;
}

AURA_RESULT DSPSfxReverb::setProperties(const AURA_REVERB_PROPERTIES &properties)
{
    const float rate = outputRate();
    int lengths[ASfxDsp::NUM_LATE];
    for (int k = 0; k < ASfxDsp::NUM_LATE; ++k) {
        lengths[k] = mKernel[0].mLate[k].length;
    }
    const SfxReverbSettings s = mapReverbProperties(properties, lengths, rate);
    if (mSystem) {
        (void)mSystem->lockDSP();
    }
    for (int n = 0; n < mNumKernels; ++n) {
        ASfxDsp &kernel = mKernel[n];
        kernel.mReflections.target = s.reflectionsGain;
        kernel.mLateInput.target = s.lateInputGain;
        kernel.mLowpass.target = s.inputLowpass;
        kernel.mMix.target = s.mix;
        kernel.mAllpassCoefficient = s.diffusion;
        for (int k = 0; k < ASfxDsp::NUM_LATE; ++k) {
            kernel.mGainTarget[k] = s.lateGain[k];
            kernel.mDamping[k].target = s.damping[k];
        }
        kernel.SetLate_EarlyLateDelayTaps(s.lateTapStart, 0.0187f, 1.29f, rate);
    }
    if (mSystem) {
        (void)mSystem->unlockDSP();
    }
    return AURA_OK;
}

AURA_RESULT DSPSfxReverb::readInternal(float *in, float *out, unsigned int length, int inchannels, int /*outchannels*/)
{
    if (!in) {
        return AURA_OK;
    }
    if (!mKernelReady || static_cast<int>(length) > mKernel[0].mInBuffCapacity) {
        std::fill(out, out + static_cast<std::size_t>(length) * inchannels, 0.0f);
        return AURA_OK;
    }
    if (inchannels > mNumKernels) {
        // More channels than the unit was made for: one shared kernel.
        mKernel[0].DoDSPProcessing(in, out, inchannels, length, outputRate(), 0.0f, mDSPState.speakermask);
        return AURA_OK;
    }
    const unsigned short mask = mDSPState.speakermask;
    for (int c = 0; c < inchannels; ++c) {
        if (c < 16 && (mask & (1u << c))) {
            mKernel[c].DoDSPProcessingChannel(in, out, inchannels, c, length, 0.0f);
        } else {
            for (unsigned int i = 0; i < length; ++i) {
                out[static_cast<std::size_t>(i) * inchannels + c] = in[static_cast<std::size_t>(i) * inchannels + c];
            }
        }
    }
    return AURA_OK;
}

} // namespace AURA
