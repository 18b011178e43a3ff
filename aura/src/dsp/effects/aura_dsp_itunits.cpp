#include "dsp/effects/aura_dsp_itunits.h"

#include "base/aura_memory.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_dsp_itecho";

AURA_DSP_PARAMETERDESC gITEchoParameters[] = {
    {0.0f, 100.0f, 50.0f, "WetDryMix", "",
     "Ratio of wet (processed) signal to dry (unprocessed) signal. Must be in the range from 0.0 through 100.0 (all "
     "wet). The default value is 50."},
    {0.0f, 100.0f, 50.0f, "Feedback", "%",
     "Percentage of output fed back into input, in the range from 0.0 through 100.0. The default value is 50."},
    {1.0f, 2000.0f, 500.0f, "LeftDelay", "ms",
     "Delay for left channel, in milliseconds, in the range from 1.0 through 2000.0. The default value is 500 ms."},
    {1.0f, 2000.0f, 500.0f, "RightDelay", "ms",
     "Delay for right channel, in milliseconds, in the range from 1.0 through 2000.0. The default value is 500 ms."},
    {0.0f, 1.0f, 0.0f, "PanDelay", "",
     "Value that specifies whether to swap left and right delays with each successive echo. The default value is "
     "zero, meaning no swap. Possible values are defined as 0.0 (equivalent to FALSE) and 1.0 (equivalent to TRUE)."},
};

AURA_DSP_PARAMETERDESC gLowPass2Parameters[] = {
    {1.0f, 22000.0f, 5000.0f, "Cutoff freq", "hz", "Lowpass cutoff frequency in hz.  1.0 to 22000.0.  Default = 5000.0"},
    {1.0f, 127.0f, 1.0f, "Resonance", "", "Lowpass resonance Q value. 0.0 to 127.0.  Default = 1.0"},
};

// Holds the mixer's DSP lock for as long as it lives (no system: no lock).
class DSPLock {
public:
    explicit DSPLock(DSPMixer *mixer)
        : mMixer(mixer)
    {
        if (mMixer) {
            (void)mMixer->lockDSP();
        }
    }
    ~DSPLock()
    {
        if (mMixer) {
            (void)mMixer->unlockDSP();
        }
    }
    DSPLock(const DSPLock &) = delete;
    DSPLock &operator=(const DSPLock &) = delete;

private:
    DSPMixer *mMixer;
};
} // namespace

// ---------------------------------------------------------------- IT echo

constinit AURA_DSP_DESCRIPTION_EX dspitecho{};

AURA_DSP_DESCRIPTION_EX *DSPITEcho::getDescriptionEx()
{
    return describeOnce(dspitecho, [](AURA_DSP_DESCRIPTION_EX &description) {
        description = describe("AURA IT Echo", AURA_DSP_TYPE_ITECHO, gITEchoParameters);
    });
}

unsigned int DSPITEcho::lineLength(float delay, int rate)
{
    const auto product = static_cast<int64_t>(delay * static_cast<float>(rate));
    return static_cast<unsigned int>(std::max<int64_t>(product / 1000, 1));
}

AURA_RESULT DSPITEcho::createInternal()
{
    mLastSpeakerMask = 0xFFFF;
    // The delays start at their defaults, so the default pass builds each
    // line once, at 500 ms.
    mDelay[0] = mDelay[1] = 500.0f;
    return applyDefaults();
}

AURA_RESULT DSPITEcho::releaseInternal()
{
    for (float *&line : mLine) {
        if (line) {
            AURA_Memory_Free(line);
            line = nullptr;
        }
    }
    return AURA_OK;
}

AURA_RESULT DSPITEcho::resetInternal()
{
    for (int side = 0; side < 2; ++side) {
        mPosition[side] = 0;
        if (mLine[side]) {
            std::memset(mLine[side], 0, mLineBytes[side]);
        }
    }
    return AURA_OK;
}

AURA_RESULT DSPITEcho::setParameterInternal(int index, float value)
{
    const float previous[2] = {mDelay[0], mDelay[1]};
    mOutputRate = static_cast<int>(outputRate());
    const DSPLock lock(mSystem);
    switch (index) {
    case 0: mWetMix = value / 100.0f; break;
    case 1: mFeedback = value / 100.0f; break;
    case 2: mDelay[0] = value; break;
    case 3: mDelay[1] = value; break;
    case 4: mPanDelay = value >= 0.5f; break;
    default: break;
    }
    bool built = false;
    for (int side = 0; side < 2; ++side) {
        if (mDelay[side] == previous[side] && mLine[side]) {
            continue;
        }
        const unsigned int length = lineLength(mDelay[side], mOutputRate);
        if (mLine[side]) {
            AURA_Memory_Free(mLine[side]);
            mLine[side] = nullptr;
        }
        if (static_cast<uint64_t>(length) * sizeof(float) > static_cast<uint64_t>(MemPool::MAX_SIZE)) {
            return AURA_ERR_MEMORY;
        }
        mLineBytes[side] = length * static_cast<unsigned int>(sizeof(float));
        mLine[side] = static_cast<float *>(AURA_Memory_Calloc(static_cast<int>(mLineBytes[side])));
        if (!mLine[side]) {
            mLineBytes[side] = 0;
            mLineLength[side] = 0;
            return AURA_ERR_MEMORY;
        }
        mLineLength[side] = length;
        built = true;
    }
    if (built) {
        (void)resetInternal();
    }
    return AURA_OK;
}

AURA_RESULT DSPITEcho::getParameterInternal(int index, float *value, char *text)
{
    switch (index) {
    case 0:
        *value = mWetMix * 100.0f;
        formatParameterPercent(text, mWetMix);
        break;
    case 1:
        *value = mFeedback * 100.0f;
        formatParameterPercent(text, mFeedback);
        break;
    case 2:
    case 3:
        *value = mDelay[index - 2];
        formatParameter(text, *value);
        break;
    case 4:
        *value = mPanDelay ? 1.0f : 0.0f;
        std::snprintf(text, DSP_PARAMETER_TEXT, "%s", mPanDelay ? "on" : "off");
        break;
    default: break;
    }
    return AURA_OK;
}

AURA_RESULT DSPITEcho::getMemoryUsedImpl(MemoryTracker *tracker)
{
    for (int side = 0; side < 2; ++side) {
        if (mLine[side] && tracker) {
            tracker->add(false, MEMBITS_DSPUNIT, mLineBytes[side]);
        }
    }
    return AURA_OK;
}

void DSPITEcho::processChannel(int channel, const float *in, float *out, unsigned int length, int stride)
{
    float *line = mLine[channel];
    const unsigned int size = mLineLength[channel];
    if (!line || size == 0) {
        // A side whose line could not be built passes its channel through.
        copyChannel(in, out, length, stride);
        return;
    }
    const float wet = mWetMix;
    const float dry = 1.0f - wet;
    const float feedback = mFeedback;
    unsigned int position = std::min(mPosition[channel], size - 1);
    unsigned int done = 0;
    while (done < length) {
        // Runs end where the line ends, so the loop needs no wrap test.
        const unsigned int run = std::min(length - done, size - position);
        const float *src = in + static_cast<std::size_t>(done) * stride;
        float *dst = out + static_cast<std::size_t>(done) * stride;
        float *tap = line + position;
        for (unsigned int i = 0; i < run; ++i) {
            const float x = src[static_cast<std::size_t>(i) * stride];
            const float e = tap[i];
            dst[static_cast<std::size_t>(i) * stride] = x * dry + e * wet;
            tap[i] = x + e * feedback;
        }
        done += run;
        position += run;
        if (position >= size) {
            position = 0;
        }
    }
    mPosition[channel] = position;
}

AURA_RESULT DSPITEcho::readInternal(float *in, float *out, unsigned int length, int inchannels, int /*outchannels*/)
{
    if (!in || inchannels <= 0) {
        return AURA_OK;
    }
    const int echoed = std::min(inchannels, 2);
    const uint16_t mask = mDSPState.speakermask;
    if (mask != mLastSpeakerMask) {
        for (int c = 0; c < echoed; ++c) {
            if (((mask ^ mLastSpeakerMask) & (1u << c)) && mLine[c]) {
                std::memset(mLine[c], 0, mLineBytes[c]);
            }
        }
        mLastSpeakerMask = mask;
    }
    const unsigned int enabled = activeMask(echoed);
    if (enabled == 0) {
        copyBlock(in, out, length, inchannels);
        return AURA_OK;
    }
    if (inchannels > 2) {
        copyBlock(in, out, length, inchannels);
    }
    for (int c = 0; c < echoed; ++c) {
        if (enabled & (1u << c)) {
            processChannel(c, in + c, out + c, length, inchannels);
        } else {
            copyChannel(in + c, out + c, length, inchannels);
        }
    }
    return AURA_OK;
}

// ------------------------------------------------------------- IT lowpass

constinit AURA_DSP_DESCRIPTION_EX dsplowpass2{};

AURA_DSP_DESCRIPTION_EX *DSPLowPass2::getDescriptionEx()
{
    return describeOnce(dsplowpass2, [](AURA_DSP_DESCRIPTION_EX &description) {
        description = describe("AURA IT Lowpass", AURA_DSP_TYPE_ITLOWPASS, gLowPass2Parameters);
    });
}

AURA_RESULT DSPLowPass2::createInternal()
{
    const AURA_RESULT result = applyDefaults();
    if (result != AURA_OK) {
        return result;
    }
    (void)resetInternal();
    mCurrentResonance = mResonance;
    mCurrentCutoff = mCutoff;
    return updateCoefficients(mCurrentResonance, mCurrentCutoff);
}

AURA_RESULT DSPLowPass2::resetInternal()
{
    for (auto &history : mHistory) {
        history[0] = history[1] = 0.0f;
    }
    return AURA_OK;
}

AURA_RESULT DSPLowPass2::updateCoefficients(float resonance, float cutoff)
{
    constexpr float kTwoPi = 6.2831855f;
    const float fc = (kTwoPi / outputRate()) * cutoff;
    const float exponent = (resonance * -0.1875f) / 20.0f;
    const auto dmpfac = static_cast<float>(std::pow(10.0, static_cast<double>(exponent)));
    float d = (1.0f - 2.0f * dmpfac) * fc;
    if (d > 2.0f) {
        d = 2.0f;
    }
    d = (2.0f * dmpfac - d) / fc;
    const float inverse = 1.0f / fc;
    const auto e = static_cast<float>(static_cast<double>(inverse) * static_cast<double>(inverse));
    mA0 = 1.0f / (1.0f + d + e);
    mB0 = (d + e + e) / (1.0f + d + e);
    mB1 = -e / (1.0f + d + e);
    if (mA0 < 0.00001f) {
        mA0 = 0.0f;
    }
    if (mB0 > 1.999f && mB1 < -0.999f) {
        mB0 = 2.0f;
        mB1 = -1.0f;
    }
    return AURA_OK;
}

namespace {
// Every channel of an interleaved block; the offset flips every frame.
template <int Channels>
float lowPassInterleaved(const float *in, float *out, unsigned int length, float (*history)[2], float a0, float b0,
                         float b1, float d)
{
    float y1[Channels], y2[Channels];
    for (int c = 0; c < Channels; ++c) {
        y1[c] = history[c][0];
        y2[c] = history[c][1];
    }
    for (unsigned int i = 0; i < length; ++i) {
        for (int c = 0; c < Channels; ++c) {
            const float y = (in[c] + d) * a0 + y1[c] * b0 + y2[c] * b1;
            y2[c] = y1[c];
            y1[c] = y;
            out[c] = y;
        }
        in += Channels;
        out += Channels;
        d = -d;
    }
    for (int c = 0; c < Channels; ++c) {
        history[c][0] = y1[c];
        history[c][1] = y2[c];
    }
    return d;
}
} // namespace

AURA_RESULT DSPLowPass2::readInternal(float *in, float *out, unsigned int length, int inchannels, int /*outchannels*/)
{
    if (!in) {
        return AURA_OK;
    }
    const float resonance = mResonance;
    const float cutoff = mCutoff;
    if (mCurrentResonance != resonance || mCurrentCutoff != cutoff) {
        mCurrentResonance = resonance;
        mCurrentCutoff = cutoff;
        (void)updateCoefficients(resonance, cutoff);
    }
    const unsigned int mask = activeMask(inchannels);
    if (mask == 0) {
        copyBlock(in, out, length, inchannels);
        return AURA_OK;
    }
    const std::size_t samples = static_cast<std::size_t>(length) * static_cast<std::size_t>(inchannels);
    if (mA0 == 0.0f && mB0 == 2.0f && mB1 == -1.0f) {
        std::fill(out, out + samples, 0.0f);
        for (int c = 0; c < std::min(inchannels, EFFECT_MAXCHANNELS); ++c) {
            mHistory[c][0] = mHistory[c][1] = 0.0f;
        }
        return AURA_OK;
    }
    // The offset is shared by every unit of this type that one thread mixes.
    float &dc = DenormalGuard<DSPLowPass2>::value();
    const auto all = [&](int channels) { return mask == (1u << channels) - 1u; };
    if (inchannels == 1) {
        dc = lowPassInterleaved<1>(in, out, length, mHistory, mA0, mB0, mB1, dc);
    } else if (inchannels == 2 && all(2)) {
        dc = lowPassInterleaved<2>(in, out, length, mHistory, mA0, mB0, mB1, dc);
    } else if (inchannels == 6 && all(6)) {
        dc = lowPassInterleaved<6>(in, out, length, mHistory, mA0, mB0, mB1, dc);
    } else if (inchannels == 8 && all(8)) {
        dc = lowPassInterleaved<8>(in, out, length, mHistory, mA0, mB0, mB1, dc);
    } else {
        // Channel by channel, the offset flipping every sample and carried
        // from one channel to the next; channels the history does not cover
        // (16 and up) and masked ones pass unchanged.
        float d = dc;
        for (int c = 0; c < inchannels; ++c) {
            const auto stride = static_cast<std::size_t>(inchannels);
            if (c >= EFFECT_MAXCHANNELS || !(mask & (1u << c))) {
                copyChannel(in + c, out + c, length, inchannels);
                continue;
            }
            float y1 = mHistory[c][0], y2 = mHistory[c][1];
            for (unsigned int i = 0; i < length; ++i) {
                const float y = (in[i * stride + c] + d) * mA0 + y1 * mB0 + y2 * mB1;
                y2 = y1;
                y1 = y;
                out[i * stride + c] = y;
                d = -d;
            }
            mHistory[c][0] = y1;
            mHistory[c][1] = y2;
        }
        dc = d;
    }
    return AURA_OK;
}

AURA_RESULT DSPLowPass2::setParameterInternal(int index, float value)
{
    if (index == 0) {
        mCutoff = value;
    } else if (index == 1) {
        mResonance = value;
    }
    return AURA_OK;
}

AURA_RESULT DSPLowPass2::getParameterInternal(int index, float *value, char *text)
{
    if (index == 0 || index == 1) {
        *value = index == 0 ? mCutoff : mResonance;
        formatParameter(text, *value);
    }
    return AURA_OK;
}

} // namespace AURA
