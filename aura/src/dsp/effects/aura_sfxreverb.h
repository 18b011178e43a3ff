// The environmental reverb's kernel: a mono down-mix through two one-pole
// lowpass filters (and an optional biquad) into a pre-delay line with one
// reflections tap and eight late-input taps; the reflections through two
// allpass diffusers into an early line with seven taps; an eight-line
// feedback delay network with per-line gains, one-pole damping and a
// three-stage butterfly mix; early and late summed onto the channels.
//
// Delay lines are power-of-two float arrays whose indices run downwards
// under a mask. Gains, damping, the input lowpass, the mix and the tap
// positions are latched once per block and cross-faded linearly across it
// when they changed, so changes never click. The kernel knows nothing of
// room properties: its owner writes the targets.
#ifndef AURA_SFXREVERB_H
#define AURA_SFXREVERB_H

// A value the owner sets and the kernel fades to over one block.
struct ASfxRamp {
    float target = 0.0f;
    bool ramp = false;
    float current = 0.0f, old = 0.0f, last = 0.0f;

    void reset(float value)
    {
        target = current = old = last = value;
        ramp = false;
    }
    void latch()
    {
        current = target;
        ramp = target != last;
        if (ramp) {
            old = last;
            last = target;
        }
    }
};

class ASfxDsp {
public:
    static constexpr int NUM_LATE = 8;
    static constexpr int NUM_MAIN_TAPS = 9;
    static constexpr int NUM_EARLY_TAPS = 7;

    struct LateLine {
        float *buffer = nullptr;
        float time = 0.0f;
        int length = 0, lastLength = 0, outLength = 0, size = 0;
        bool ramp = false;
        int mask = 0, write = 0, read = 0, oldRead = 0, outTap = 0;
    };
    struct Diffuser {
        float *buffer = nullptr;
        float time = 0.0f;
        int length = 0, size = 0, mask = 0, write = 0, read = 0;
    };

    int init(float rate);
    void close();
    int UpdateBufferSize(int n);
    void ClearBuffers();
    void ClearInBuff();
    void ClearReverbInternalBuffers();
    void ZeroWritePointers();
    void SetLate_EarlyLateDelayTaps(float a, float b, float c, float rate);
    void SetEarlyDelay(float a, float b, float rate);
    void SetAllpassDelays(float rate);
    void SetLateDelays(float a, float b, float c, float d, float rate);
    static int NextPowerOf2(int n);
    int AllocateLateDelays(int count, float *times, float rate);
    int AllocateEarlyLateDelay(float *times, float rate);
    int AllocateAllpassDelays(int count, float *times, float rate);
    int AllocateEarlyDelay(float time, float rate);
    void DeallocateLateDelays();
    void DeallocateEarlyLateDelay();
    void DeallocateAllpassDelays();
    void DeallocateEarlyDelay();
    void BlockProcessInput(unsigned int length, int channels, const float *block, float rate);
    void DoDSPProcessing(const float *in, float *out, int channels, unsigned int length, float rate, float dry,
                         unsigned short mask);
    // One channel of an interleaved block through its own kernel: the
    // channel is the kernel's whole input and only that channel of out is
    // written. A kernel per channel keeps where a sound was in the mix.
    void DoDSPProcessingChannel(const float *in, float *out, int channels, int channel, unsigned int length,
                                float dry);

    // Input.
    void *mInBuffRaw = nullptr;
    float *mInBuff = nullptr;
    int mInBuffCapacity = 0;
    ASfxRamp mLowpass; // g of the two input lowpass filters
    float mLowpassState[2] = {};
    float mB0 = 1.0f, mB1 = 0.0f, mB2 = 0.0f, mA1 = 0.0f, mA2 = 0.0f;
    float mBiquadEnable = 0.0f; // 0 = off
    float mZ1 = 0.0f, mZ2 = 0.0f;

    // Late network.
    ASfxRamp mDamping[NUM_LATE];
    float mDampingOneMinus[NUM_LATE] = {};
    float mMixing[24] = {};
    float mState[NUM_LATE] = {};
    float mGainTarget[NUM_LATE] = {}, mGain[NUM_LATE] = {}, mGainLast[NUM_LATE] = {}, mGainOld[NUM_LATE] = {};
    ASfxRamp mMix; // g of the butterfly
    ASfxRamp mReflections; // gain on the reflections tap
    ASfxRamp mLateInput; // gain on the late input taps
    ASfxRamp mFeedbackScale; // scale of (line output + line input)
    float mAllpassCoefficient = 0.63f;
    int mNumLate = 0;
    LateLine mLate[NUM_LATE];

    // Main pre-delay with the reflections tap (0) and the late input taps.
    float *mMain = nullptr;
    float mMainTapTime[NUM_MAIN_TAPS] = {};
    int mMainTapLength[NUM_MAIN_TAPS] = {}, mMainTapLast[NUM_MAIN_TAPS] = {};
    bool mMainTapRamp[NUM_MAIN_TAPS] = {};
    int mMainSize = 0, mMainMask = 0, mMainWrite = 0;
    int mMainRead[NUM_MAIN_TAPS] = {}, mMainOldRead[NUM_MAIN_TAPS] = {};

    // Early reflections.
    float *mEarly = nullptr;
    float mEarlyTapTime[NUM_EARLY_TAPS] = {};
    int mEarlyTapLength[NUM_EARLY_TAPS] = {};
    int mEarlySize = 0, mEarlyMask = 0, mEarlyWrite = 0;
    int mEarlyRead[NUM_EARLY_TAPS] = {};

    Diffuser mDiffuser[2];

private:
    // The network over mInBuff; writes the channels of mask (only that one
    // channel when only >= 0), the others of the block pass through.
    void Process(const float *in, float *out, int channels, unsigned int length, float dry, unsigned short mask,
                 int only);
};

#endif // AURA_SFXREVERB_H
