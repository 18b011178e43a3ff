#include "dsp/effects/aura_dsp_oscillator.h"

#include "base/aura_string.h"

#include <cmath>

namespace AURA {

namespace {
constexpr float kTwoPi = 6.28318548f;

AURA_DSP_PARAMETERDESC gOscillatorParameters[] = {
    {0.0f, 5.0f, 0.0f, "Oscillator type", "", "Select a waveform type"},
    {1.0f, 22000.0f, 220.0f, "Frequency", "hz",
     "Playback frequency of tone, for example music note A above middle C is 440.0."},
};

constexpr const char *kWaveformNames[] = {"sine", "square", "saw up", "saw down", "triangle", "noise"};

constexpr unsigned int kRandomMultiplier = 214013u;
constexpr unsigned int kRandomIncrement = 2531011u;
} // namespace

constinit AURA_DSP_DESCRIPTION_EX dsposcillator{};

AURA_DSP_DESCRIPTION_EX *DSPOscillator::getDescriptionEx()
{
    return describeOnce(dsposcillator, [](AURA_DSP_DESCRIPTION_EX &description) {
        description = describe("AURA Oscillator", AURA_DSP_TYPE_OSCILLATOR, gOscillatorParameters, 1);
    });
}

AURA_RESULT DSPOscillator::createInternal()
{
    return applyDefaults();
}

AURA_RESULT DSPOscillator::setParameterInternal(int index, float value)
{
    if (index == 0) {
        mType.store(static_cast<int>(value), std::memory_order_relaxed);
        mRestartPhase.store(true, std::memory_order_relaxed);
    } else if (index == 1) {
        mFrequency = value;
    }
    mChanges.fetch_add(1, std::memory_order_release);
    return AURA_OK;
}

AURA_RESULT DSPOscillator::getParameterInternal(int index, float *value, char *text)
{
    if (index == 0) {
        const int type = mType.load(std::memory_order_relaxed);
        *value = static_cast<float>(type);
        AURA_strcpy(text, kWaveformNames[type >= SINE && type <= NOISE ? type : SINE]);
    } else if (index == 1) {
        *value = mFrequency;
        formatParameter(text, *value);
    }
    return AURA_OK;
}

unsigned int DSPOscillator::claimRandom(std::atomic<unsigned int> &seed, unsigned int count)
{
    // The step of `count` draws as one affine map x -> a x + c.
    unsigned int a = 1, c = 0;
    unsigned int stepA = kRandomMultiplier, stepC = kRandomIncrement;
    for (unsigned int n = count; n; n >>= 1) {
        if (n & 1u) {
            a *= stepA;
            c = c * stepA + stepC;
        }
        stepC = stepC * stepA + stepC;
        stepA *= stepA;
    }
    unsigned int start = seed.load(std::memory_order_relaxed);
    while (!seed.compare_exchange_weak(start, a * start + c, std::memory_order_relaxed)) {}
    return start;
}

AURA_RESULT DSPOscillator::readInternal(float *in, float *out, unsigned int length, int /*inchannels*/,
                                        int /*outchannels*/)
{
    if (!in) {
        return AURA_OK;
    }
    const unsigned int changes = mChanges.load(std::memory_order_acquire);
    if (changes != mApplied) {
        mApplied = changes;
        mDirection = 1;
        mIncrement = mFrequency / outputRate();
        if (mRestartPhase.exchange(false, std::memory_order_relaxed)) {
            mPhase = 0.0;
        }
    }
    const double inc = mIncrement;
    double phase = mPhase;
    int direction = mDirection;
    const int type = mType.load(std::memory_order_relaxed);
    switch (type) {
    case SINE:
        for (unsigned int i = 0; i < length; ++i) {
            out[i] = std::sin(static_cast<float>(phase));
            phase += inc * kTwoPi;
            if (phase >= kTwoPi) {
                phase -= kTwoPi;
            }
        }
        break;
    case SQUARE:
        // Each level lasts half a period, so the tone sounds at the set
        // frequency.
        for (unsigned int i = 0; i < length; ++i) {
            out[i] = static_cast<float>(direction);
            phase += 2.0 * inc;
            if (phase >= 1.0) {
                phase -= 1.0;
                direction = -direction;
            }
        }
        break;
    case SAW_UP:
    case SAW_DOWN: {
        const float sign = type == SAW_UP ? 1.0f : -1.0f;
        for (unsigned int i = 0; i < length; ++i) {
            out[i] = sign * static_cast<float>(2.0 * phase - 1.0);
            phase += inc;
            if (phase >= 1.0) {
                phase -= 1.0;
            }
        }
        break;
    }
    case TRIANGLE:
        // One sweep up and one down (4 units of range) per period; a step
        // past either end folds back, so no sample is held at the turn.
        for (unsigned int i = 0; i < length; ++i) {
            out[i] = static_cast<float>(phase);
            phase += 4.0 * direction * inc;
            if (phase > 1.0 || phase < -1.0) {
                direction = -direction;
                phase = (phase > 1.0 ? 2.0 : -2.0) - phase;
            }
        }
        break;
    case NOISE: {
        unsigned int seed = claimRandom(mGlobal->mRandomNext, length);
        for (unsigned int i = 0; i < length; ++i) {
            seed = seed * kRandomMultiplier + kRandomIncrement;
            out[i] = static_cast<float>((seed >> 16) & 0x7FFFu) * (1.0f / 16384.0f) - 1.0f;
        }
        break;
    }
    default: break;
    }
    mPhase = phase;
    mDirection = direction;
    return AURA_OK;
}

} // namespace AURA
