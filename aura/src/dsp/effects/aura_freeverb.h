// The two filters of the freeverb reverb model: a comb whose feedback path
// runs through a one-pole lowpass, and a Schroeder-style allpass. They hold
// state and do set-up; their owner gives them their delay memory and runs
// the per-sample steps. Values read from a line, and the comb's lowpass
// state, are flushed to zero when they are zero or denormal, so that fading
// tails never run in denormal arithmetic.
//
// The allpass step is y = b - x with b the delayed value: its impulse
// response is -1, then 1 at the delay, then g at twice the delay. It is not
// a true allpass (that would answer -g first); the reverb's sound depends
// on it as it is.
#ifndef AURA_FREEVERB_H
#define AURA_FREEVERB_H

#include <bit>
#include <cstdint>

// +0 for a zero or denormal value (an exponent field of all zeros).
inline float flushToZero(float v)
{
    return (std::bit_cast<uint32_t>(v) & 0x7F800000u) == 0 ? 0.0f : v;
}

class comb {
public:
    comb() = default;

    void setbuffer(float *buf, int size)
    {
        buffer = buf;
        bufsize = size;
    }
    void mute()
    {
        for (int i = 0; i < bufsize; ++i) {
            buffer[i] = 0.0f;
        }
    }
    void setdamp(float val)
    {
        damp1 = val;
        damp2 = 1.0f - val;
    }
    void setfeedback(float val) { feedback = val; }

    float process(float x)
    {
        const float y = flushToZero(buffer[bufidx]);
        filterstore = flushToZero(y * damp2 + filterstore * damp1);
        buffer[bufidx] = x + filterstore * feedback;
        if (++bufidx >= bufsize) {
            bufidx = 0;
        }
        return y;
    }

    float feedback = 0.0f;
    float filterstore = 0.0f;
    float damp1 = 0.0f;
    float damp2 = 1.0f;
    float *buffer = nullptr;
    int bufsize = 0;
    int bufidx = 0;
};

class allpass {
public:
    allpass() = default;

    void setbuffer(float *buf, int size)
    {
        buffer = buf;
        bufsize = size;
    }
    void mute()
    {
        for (int i = 0; i < bufsize; ++i) {
            buffer[i] = 0.0f;
        }
    }
    void setfeedback(float val) { feedback = val; }

    float process(float x)
    {
        const float b = flushToZero(buffer[bufidx]);
        const float y = b - x;
        buffer[bufidx] = x + b * feedback;
        if (++bufidx >= bufsize) {
            bufidx = 0;
        }
        return y;
    }

    float feedback = 0.0f;
    float *buffer = nullptr;
    int bufsize = 0;
    int bufidx = 0;
};

#endif // AURA_FREEVERB_H
