#include "dsp/effects/aura_dsp_delays.h"

#include "base/aura_memory.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace AURA {

static constexpr const char AURA_ALLOC_TAG[] = "aura/src/dsp/effects/aura_dsp_delays";

namespace {
AURA_DSP_PARAMETERDESC gEchoParameters[] = {
    {1.0f, 5000.0f, 500.0f, "Delay", "ms", "Echo delay in ms.  10  to 5000.  Default = 500."},
    {0.0f, 1.0f, 0.5f, "Decay", "%",
     "Echo decay per delay.  0 to 1.  1.0 = No decay, 0.0 = total decay.  Default = 0.5."},
    {0.0f, 16.0f, 0.0f, "Max channels", "channels",
     "Maximum channels supported.  0 to 16.  0 = same as aura's default output polyphony, 1 = mono, 2 = stereo "
     "etc.  Default = 0.  It is suggested to leave at 0!"},
    {0.0f, 1.0f, 1.0f, "Drymix", "%", "Volume of original signal to pass to output.  0.0 to 1.0. Default = 1.0."},
    {0.0f, 1.0f, 1.0f, "Wetmix", "%", "Volume of echo delay signal to pass to output.  0.0 to 1.0. Default = 1.0."},
};
AURA_DSP_PARAMETERDESC gFlangeParameters[] = {
    {0.0f, 1.0f, 0.45f, "Drymix", "%", "Volume of original signal to pass to output.  0.0 to 1.0. Default = 0.45."},
    {0.0f, 1.0f, 0.55f, "Wetmix", "%", "Volume of flange signal to pass to output.  0.0 to 1.0. Default = 0.55."},
    {0.01f, 1.0f, 1.0f, "Depth", "", "Flange depth.  0.01 to 1.0.  Default = 1.0."},
    {0.0f, 20.0f, 0.1f, "Rate", "hz", "Flange speed in hz.  0.0 to 20.0.  Default = 0.1."},
};
AURA_DSP_PARAMETERDESC gChorusParameters[] = {
    {0.0f, 1.0f, 0.5f, "Dry mix", "", "Volume of original signal to pass to output.  0.0 to 1.0. Default = 0.5."},
    {0.0f, 1.0f, 0.5f, "Wet mix tap 1", "", "Volume of 1st chorus tap.  0.0 to 1.0.  Default = 0.5."},
    {0.0f, 1.0f, 0.5f, "Wet mix tap 2", "",
     "Volume of 2nd chorus tap. This tap is 90 degrees out of phase of the first tap.  0.0 to 1.0.  Default = 0.5."},
    {0.0f, 1.0f, 0.5f, "Wet mix tap 3", "",
     "Volume of 3rd chorus tap. This tap is 90 degrees out of phase of the second tap.  0.0 to 1.0.  Default = "
     "0.5."},
    {0.0f, 100.0f, 40.0f, "Delay", "ms", "Chorus delay in ms.  0.1 to 100.0.  Default = 40.0 ms."},
    {0.0f, 20.0f, 0.8f, "Rate", "hz", "Chorus modulation rate in hz.  0.0 to 20.0.  Default = 0.8 hz."},
    {0.0f, 1.0f, 0.03f, "Depth", "", "Chorus modulation depth.  0.0 to 1.0.  Default = 0.03."},
    {0.0f, 1.0f, 0.0f, "Feedback", "",
     "Chorus feedback.  Controls how much of the wet signal gets fed back into the chorus buffer.  0.0 to 1.0.  "
     "Default = 0.0."},
};

constexpr int kMemoryCategory = 0x4000;
constexpr float kFrom16 = 3.0518509e-05f; // 1/32767

// Adds one to a phase in turns and keeps it in [0, 1): a phase that only
// grew would lose its step to rounding after a few minutes.
double advancePhase(double phase, double step)
{
    phase += step;
    return phase >= 1.0 ? phase - std::floor(phase) : phase;
}

// An index into a ring of `span` frames; a divide only when an offset left
// over from a longer span reaches past two spans.
unsigned int wrapIndex(unsigned int i, unsigned int span)
{
    if (i >= span) {
        i -= span;
        if (i >= span) {
            i %= span;
        }
    }
    return i;
}

void freeLine(int16_t *&line)
{
    if (line) {
        AURA_Memory_Free(line);
        line = nullptr;
    }
}
} // namespace

const float *quarterCosineTable()
{
    static const auto *table = [] {
        static float t[QUARTER_COSINE_SIZE + 1];
        t[0] = 1.0f;
        t[QUARTER_COSINE_SIZE] = 0.0f; // a quarter turn
        for (int i = 1; i < QUARTER_COSINE_SIZE; ++i) {
            t[i] = std::cos(static_cast<float>(i) * 1.5707964f * (1.0f / 8192.0f));
        }
        return t;
    }();
    return table;
}

float raisedSine(const float *t, double phase)
{
    int k = static_cast<int>((static_cast<float>(phase) - 0.25f) * 32768.0f);
    if (k < 0) {
        k = -k;
    }
    k &= 0x7fff;
    switch (k >> 13) {
    case 0: return 1.0f + t[k];
    case 1: return 1.0f - t[0x3fff - k];
    case 2: return 1.0f - t[k - 0x4000];
    default: return 1.0f + t[0x7fff - k];
    }
}

int16_t saturate16(float v)
{
    if (v >= 32767.0f) {
        return 32767;
    }
    if (v <= -32768.0f) {
        return -32768;
    }
    return static_cast<int16_t>(v);
}

// ------------------------------------------------------------------ echo

constinit AURA_DSP_DESCRIPTION_EX dspecho_desc{};

AURA_DSP_DESCRIPTION_EX *DSPEcho::getDescriptionEx()
{
    return describeOnce(dspecho_desc, [](AURA_DSP_DESCRIPTION_EX &description) {
        description = describe("AURA Echo", AURA_DSP_TYPE_ECHO, gEchoParameters);
        description.update = &updateCallback;
    });
}

AURA_RESULT DSPEcho::updateCallback(AURA_DSP_STATE *state)
{
    DSPEcho *unit = fromState(state);
    return unit ? unit->updateInternal() : AURA_ERR_INVALID_PARAM;
}

int DSPEcho::pendingChannels() const
{
    const int max = mMaxChannels.load(std::memory_order_relaxed);
    if (max != 0) {
        return max;
    }
    return mSystem ? mSystem->mMaxOutputChannels : 2;
}

AURA_RESULT DSPEcho::createInternal()
{
    mSavedMask = 0xFFFF;
    mChannels = 0;
    const AURA_RESULT result = applyDefaults();
    if (result != AURA_OK) {
        return result;
    }
    // The queued update builds the line; until then the read passes through.
    mDelay = mPendingDelay;
    mDecay = mPendingDecay;
    mDryMix = mPendingDryMix;
    mWetMix = mPendingWetMix;
    return AURA_OK;
}

AURA_RESULT DSPEcho::releaseInternal()
{
    if (mLineMemory) {
        AURA_Memory_Free(mLineMemory);
    }
    mLineMemory = nullptr;
    mLine = nullptr;
    return AURA_OK;
}

AURA_RESULT DSPEcho::resetInternal()
{
    mPosition = 0;
    if (mLine) {
        std::memset(mLine, 0, mLineBytes);
    }
    return AURA_OK;
}

AURA_RESULT DSPEcho::setParameterInternal(int index, float value)
{
    switch (index) {
    case 0: mPendingDelay = value; break;
    case 1: mPendingDecay = value; break;
    case 2: mMaxChannels.store(static_cast<int>(value), std::memory_order_relaxed); break;
    case 3: mPendingDryMix = value; break;
    case 4: mPendingWetMix = value; break;
    default: return AURA_ERR_INVALID_PARAM;
    }
    // The line is rebuilt where the system runs its requests, never here.
    return mSystem ? mSystem->queueDSPConnectionRequest(DSPCONNECTION_REQUEST_UPDATE, this, nullptr, nullptr, 0)
                   : AURA_ERR_UNINITIALIZED;
}

AURA_RESULT DSPEcho::getParameterInternal(int index, float *value, char *text)
{
    switch (index) {
    case 0:
        *value = mPendingDelay;
        formatParameter(text, *value);
        break;
    case 1:
        *value = mPendingDecay;
        formatParameterPercent(text, *value);
        break;
    case 2:
        *value = static_cast<float>(mMaxChannels.load(std::memory_order_relaxed));
        formatParameterInt(text, mMaxChannels.load(std::memory_order_relaxed));
        break;
    case 3:
        *value = mPendingDryMix;
        formatParameterPercent(text, *value);
        break;
    case 4:
        *value = mPendingWetMix;
        formatParameterPercent(text, *value);
        break;
    default: break;
    }
    return AURA_OK;
}

AURA_RESULT DSPEcho::updateInternal()
{
    bool rebuild = false;
    const int channels = pendingChannels();
    if (channels != mChannels) {
        mChannels = channels;
        rebuild = true;
    }
    if (mPendingDelay != mDelay) {
        mDelay = mPendingDelay;
        rebuild = true;
    }
    mDecay = mPendingDecay;
    mDryMix = mPendingDryMix;
    mWetMix = mPendingWetMix;
    if (!rebuild && mLine) {
        return AURA_OK;
    }
    const auto scaled = static_cast<unsigned int>(static_cast<float>(mSystem ? mSystem->mOutputRate : 48000) * mDelay);
    mDelayFrames = std::max(scaled / 1000u, 1u);
    (void)releaseInternal();
    const uint64_t bytes = static_cast<uint64_t>(mChannels) * mDelayFrames * 2u;
    if (bytes + 16u > static_cast<uint64_t>(MemPool::MAX_SIZE)) {
        return AURA_ERR_MEMORY;
    }
    mLineBytes = static_cast<unsigned int>(bytes);
    mLineMemory = AURA_Memory_Calloc(static_cast<int>(bytes + 16u));
    if (!mLineMemory) {
        return AURA_ERR_MEMORY;
    }
    const auto address = (reinterpret_cast<uintptr_t>(mLineMemory) + 15u) & ~static_cast<uintptr_t>(15u);
    mLine = reinterpret_cast<int16_t *>(address);
    return resetInternal();
}

AURA_RESULT DSPEcho::getMemoryUsedImpl(MemoryTracker *tracker)
{
    if (tracker && mLineMemory) {
        tracker->add(false, kMemoryCategory, mLineBytes + 16u);
    }
    return AURA_OK;
}

AURA_RESULT DSPEcho::readInternal(float *in, float *out, unsigned int length, int inchannels, int outchannels)
{
    if (!in) {
        return AURA_OK;
    }
    const int n = inchannels;
    const unsigned short maskNow = mDSPState.speakermask;
    if (maskNow != mSavedMask && mLine && n <= mChannels) {
        const unsigned int changed = static_cast<unsigned int>(maskNow ^ mSavedMask);
        for (int c = 0; c < n && c < 16; ++c) {
            if (changed & (1u << c)) {
                for (std::size_t i = static_cast<std::size_t>(c); i < static_cast<std::size_t>(mDelayFrames) * n;
                     i += static_cast<std::size_t>(n)) {
                    mLine[i] = 0;
                }
            }
        }
    }
    mSavedMask = maskNow;
    const unsigned int mask = activeMask(n);
    if (n > mChannels || !mLine || mask == 0) {
        copyBlock(in, out, length, outchannels);
        return AURA_OK;
    }
    const float dry = mDryMix;
    const float wet = mWetMix;
    const float decay = mDecay;
    unsigned int done = 0;
    while (done < length) {
        const unsigned int piece = std::min(length - done, mDelayFrames - mPosition);
        int16_t *line = mLine + static_cast<std::size_t>(mPosition) * n;
        const float *x = in + static_cast<std::size_t>(done) * n;
        float *y = out + static_cast<std::size_t>(done) * n;
        for (unsigned int f = 0; f < piece; ++f, line += n, x += n, y += n) {
            for (int c = 0; c < n; ++c) {
                if (c < 16 && !(mask & (1u << c))) {
                    y[c] = x[c];
                    continue;
                }
                const float d = static_cast<float>(line[c]) * kFrom16;
                const float v = d * decay + x[c];
                y[c] = x[c] * dry + d * wet;
                line[c] = v > 1.0f ? int16_t{32767} : v < -1.0f ? int16_t{-32768} : static_cast<int16_t>(v * 32767.0f);
            }
        }
        done += piece;
        mPosition += piece;
        if (mPosition >= mDelayFrames) {
            mPosition = 0;
        }
    }
    return AURA_OK;
}

// ----------------------------------------------------------------- flange

constinit AURA_DSP_DESCRIPTION_EX dspflange{};

AURA_DSP_DESCRIPTION_EX *DSPFlange::getDescriptionEx()
{
    return describeOnce(dspflange, [](AURA_DSP_DESCRIPTION_EX &description) {
        description = describe("AURA Flange", AURA_DSP_TYPE_FLANGE, gFlangeParameters);
    });
}

void DSPFlange::setDepthFrames()
{
    const auto frames = static_cast<unsigned int>(mDepth * 10.0f * static_cast<float>(mOutputRate) / 1000.0f);
    mDelayFrames = std::max(frames, 4u);
}

AURA_RESULT DSPFlange::createInternal()
{
    (void)quarterCosineTable();
    mOutputRate = mSystem ? mSystem->mOutputRate : 48000;
    // Wide enough for the widest input as well as the output: the read
    // strides the line by the input's channel count.
    mLineChannels = mSystem ? std::max(mSystem->mMaxInputChannels, mSystem->mMaxOutputChannels) : 2;
    const uint64_t bytes =
        static_cast<uint64_t>(static_cast<unsigned int>(mOutputRate) * 40u / 1000u) * mLineChannels * 2u + 1024u;
    if (bytes > static_cast<uint64_t>(MemPool::MAX_SIZE)) {
        return AURA_ERR_MEMORY;
    }
    mLineBytes = static_cast<unsigned int>(bytes);
    mLine = static_cast<int16_t *>(AURA_Memory_Calloc(static_cast<int>(bytes)));
    if (!mLine) {
        return AURA_ERR_MEMORY;
    }
    mLfoPhase = 0.0;
    const AURA_RESULT result = applyDefaults();
    if (result != AURA_OK) {
        return result;
    }
    mDryMix = static_cast<float>(mPendingDryMix);
    mWetMix = static_cast<float>(mPendingWetMix);
    mRate = static_cast<float>(mPendingRate);
    if (mPendingDepth != mDepth) {
        mDepth = static_cast<float>(mPendingDepth);
        setDepthFrames();
        (void)resetInternal();
    }
    mPhaseStep = static_cast<double>(mRate) / mOutputRate;
    return AURA_OK;
}

AURA_RESULT DSPFlange::releaseInternal()
{
    freeLine(mLine);
    return AURA_OK;
}

AURA_RESULT DSPFlange::resetInternal()
{
    mPosition = 0;
    if (mLine) {
        std::memset(mLine, 0, mLineBytes);
    }
    return AURA_OK;
}

AURA_RESULT DSPFlange::setParameterInternal(int index, float value)
{
    switch (index) {
    case 0: mPendingDryMix = value; break;
    case 1: mPendingWetMix = value; break;
    case 2: mPendingDepth = value; break;
    case 3: mPendingRate = value; break;
    default: break;
    }
    return AURA_OK;
}

AURA_RESULT DSPFlange::getParameterInternal(int index, float *value, char *text)
{
    switch (index) {
    case 0:
        *value = mPendingDryMix;
        formatParameterPercent(text, mDryMix);
        break;
    case 1:
        *value = mPendingWetMix;
        formatParameterPercent(text, mWetMix);
        break;
    case 2:
        *value = mPendingDepth;
        formatParameter(text, mDepth);
        break;
    case 3:
        *value = mPendingRate;
        formatParameter(text, mRate);
        break;
    default: break;
    }
    return AURA_OK;
}

AURA_RESULT DSPFlange::getMemoryUsedImpl(MemoryTracker *tracker)
{
    if (tracker && mLine) {
        tracker->add(false, kMemoryCategory, mLineBytes);
    }
    return AURA_OK;
}

AURA_RESULT DSPFlange::readInternal(float *in, float *out, unsigned int length, int inchannels, int /*outchannels*/)
{
    const float a = mDepth * 0.5f;
    if (!in) {
        return AURA_OK;
    }
    const int n = inchannels;
    const unsigned int mask = activeMask(n);
    if (mask == 0 || n > mLineChannels || !mLine) {
        copyBlock(in, out, length, n);
        return AURA_OK;
    }
    const float depth = mPendingDepth;
    const float dry = mPendingDryMix;
    const float wet = mPendingWetMix;
    const float rate = mPendingRate;
    if (depth != mDepth || dry != mDryMix || wet != mWetMix || rate != mRate) {
        const bool depthChanged = depth != mDepth;
        mDepth = depth;
        mDryMix = dry;
        mWetMix = wet;
        mRate = rate;
        if (depthChanged) {
            setDepthFrames();
            (void)resetInternal();
        }
    }
    mPhaseStep = static_cast<double>(mRate) / mOutputRate;
    const float *table = quarterCosineTable();
    const unsigned int span = mDelayFrames;
    const float dryMix = mDryMix;
    const float wetMix = mWetMix;
    for (unsigned int f = 0; f < length; ++f) {
        const auto whole = static_cast<unsigned int>(mLfoOffset);
        const unsigned int i0 = wrapIndex(whole + mPosition, span);
        const unsigned int i1 = i0 + 1;
        const float frac = mLfoOffset - static_cast<float>(whole);
        const float *x = in + static_cast<std::size_t>(f) * n;
        float *y = out + static_cast<std::size_t>(f) * n;
        for (int c = 0; c < n; ++c) {
            if (c < 16 && !(mask & (1u << c))) {
                y[c] = x[c];
                continue;
            }
            const float s0 = static_cast<float>(mLine[static_cast<std::size_t>(i0) * n + c]) / 32768.0f;
            const float s1 = static_cast<float>(mLine[static_cast<std::size_t>(i1) * n + c]) / 32768.0f;
            y[c] = (s0 * (1.0f - frac) + s1 * frac) * wetMix + x[c] * dryMix;
            mLine[static_cast<std::size_t>(mPosition) * n + c] = saturate16(x[c] * 32768.0f);
        }
        if (mPosition == 0) {
            std::memcpy(mLine + static_cast<std::size_t>(span) * n, mLine,
                        sizeof(int16_t) * static_cast<std::size_t>(n));
        }
        if (++mPosition >= span) {
            mPosition = 0;
        }
        mLfoOffset = a * raisedSine(table, mLfoPhase) * static_cast<float>(span - 1);
        mLfoPhase = advancePhase(mLfoPhase, mPhaseStep);
    }
    return AURA_OK;
}

// ----------------------------------------------------------------- chorus

constinit AURA_DSP_DESCRIPTION_EX dspchorus{};

AURA_DSP_DESCRIPTION_EX *DSPChorus::getDescriptionEx()
{
    return describeOnce(dspchorus, [](AURA_DSP_DESCRIPTION_EX &description) {
        description = describe("AURA Chorus", AURA_DSP_TYPE_CHORUS, gChorusParameters);
    });
}

AURA_RESULT DSPChorus::createInternal()
{
    mSavedMask = 0xFFFF;
    (void)quarterCosineTable();
    mOutputRate = mSystem ? mSystem->mOutputRate : 48000;
    mLineChannels = mSystem ? std::max(mSystem->mMaxInputChannels, mSystem->mMaxOutputChannels) : 2;
    const uint64_t bytes =
        static_cast<uint64_t>(static_cast<unsigned int>(mOutputRate) * 200u / 1000u) * mLineChannels * 2u + 1024u;
    if (bytes > static_cast<uint64_t>(MemPool::MAX_SIZE)) {
        return AURA_ERR_MEMORY;
    }
    mLineBytes = static_cast<unsigned int>(bytes);
    mLine = static_cast<int16_t *>(AURA_Memory_Calloc(static_cast<int>(bytes)));
    if (!mLine) {
        return AURA_ERR_MEMORY;
    }
    mLfoPhase = 0.0;
    mDelay = -1.0f;
    return applyDefaults();
}

AURA_RESULT DSPChorus::releaseInternal()
{
    freeLine(mLine);
    return AURA_OK;
}

AURA_RESULT DSPChorus::resetInternal()
{
    mPosition = 0;
    if (mLine) {
        std::memset(mLine, 0, mLineBytes);
    }
    return AURA_OK;
}

AURA_RESULT DSPChorus::setParameterInternal(int index, float value)
{
    if (!mSystem) {
        return AURA_ERR_UNINITIALIZED;
    }
    const float oldDelay = mDelay;
    (void)mSystem->lockDSP();
    switch (index) {
    case 0: mDryMix = value; break;
    case 1:
    case 2:
    case 3: mWetMix[index - 1] = value; break;
    case 4: mDelay = value; break;
    case 5: mRate = value; break;
    case 6: mDepth = value; break;
    case 7: mFeedback = value; break;
    default: break;
    }
    if (mDelay != oldDelay) {
        const auto frames = static_cast<unsigned int>(mDelay * static_cast<float>(mOutputRate) / 1000.0f);
        mSpan = std::max(2u * frames, 4u);
        (void)resetInternal();
    }
    mPhaseStep = static_cast<double>(mRate) / mOutputRate;
    (void)mSystem->unlockDSP();
    return AURA_OK;
}

AURA_RESULT DSPChorus::getParameterInternal(int index, float *value, char *text)
{
    const float values[] = {mDryMix, mWetMix[0], mWetMix[1], mWetMix[2], mDelay, mRate, mDepth, mFeedback};
    if (index >= 0 && index < 8) {
        *value = values[index];
        formatParameter(text, *value);
    }
    return AURA_OK;
}

AURA_RESULT DSPChorus::getMemoryUsedImpl(MemoryTracker *tracker)
{
    if (tracker && mLine) {
        tracker->add(false, kMemoryCategory, mLineBytes);
    }
    return AURA_OK;
}

AURA_RESULT DSPChorus::readInternal(float *in, float *out, unsigned int length, int inchannels, int /*outchannels*/)
{
    const float a = mDepth * 0.5f;
    const unsigned int span = mSpan;
    const auto d = static_cast<float>(span / 2);
    if (!in) {
        return AURA_OK;
    }
    const int n = inchannels;
    const unsigned short maskNow = mDSPState.speakermask;
    if (maskNow != mSavedMask && mLine && n <= mLineChannels) {
        const unsigned int changed = static_cast<unsigned int>(maskNow ^ mSavedMask);
        for (int c = 0; c < n && c < 16; ++c) {
            if (changed & (1u << c)) {
                for (unsigned int f = 0; f < span; ++f) {
                    mLine[static_cast<std::size_t>(f) * n + c] = 0;
                }
            }
        }
    }
    mSavedMask = maskNow;
    const unsigned int mask = activeMask(n);
    if (mask == 0 || n > mLineChannels || !mLine) {
        copyBlock(in, out, length, n);
        return AURA_OK;
    }
    const float *table = quarterCosineTable();
    // Past a depth of one half a tap would reach beyond the span and read a
    // frame N behind instead of one: it stops at the oldest frame.
    const auto last = static_cast<float>(span - 1);
    const float dry = mDryMix * 32768.0f;
    for (unsigned int f = 0; f < length; ++f) {
        unsigned int index[3];
        float frac[3];
        for (int k = 0; k < 3; ++k) {
            const auto whole = static_cast<unsigned int>(mTapOffset[k]);
            index[k] = wrapIndex(whole + mPosition, span);
            frac[k] = mTapOffset[k] - static_cast<float>(whole);
        }
        const float *x = in + static_cast<std::size_t>(f) * n;
        float *y = out + static_cast<std::size_t>(f) * n;
        int16_t *write = mLine + static_cast<std::size_t>(mPosition) * n;
        for (int c = 0; c < n; ++c) {
            if (c < 16 && !(mask & (1u << c))) {
                y[c] = x[c];
                continue;
            }
            float acc = x[c] * dry;
            for (int k = 0; k < 3; ++k) {
                const int16_t *tap = mLine + static_cast<std::size_t>(index[k]) * n + c;
                acc +=
                    (static_cast<float>(tap[0]) * (1.0f - frac[k]) + static_cast<float>(tap[n]) * frac[k]) * mWetMix[k];
            }
            write[c] = saturate16(x[c] * 32767.0f + acc * mFeedback);
            y[c] = acc / 32767.0f;
        }
        if (mPosition == 0) {
            for (int c = 0; c < n; ++c) {
                if (c >= 16 || (mask & (1u << c))) {
                    mLine[static_cast<std::size_t>(span) * n + c] = mLine[c];
                }
            }
        }
        if (++mPosition >= span) {
            mPosition = 0;
        }
        for (int k = 0; k < 3; ++k) {
            const float v = raisedSine(table, mLfoPhase + 0.25 * k);
            mTapOffset[k] = std::min(d + static_cast<float>(span) * (a * v), last);
        }
        mLfoPhase = advancePhase(mLfoPhase, mPhaseStep);
    }
    return AURA_OK;
}

} // namespace AURA
