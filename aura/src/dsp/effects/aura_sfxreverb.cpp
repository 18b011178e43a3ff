#include "dsp/effects/aura_sfxreverb.h"

#include "base/aura_memory.h"

#include <cmath>
#include <cstdint>
#include <cstring>

static constexpr const char AURA_ALLOC_TAG[] = "aSfxDsp";

namespace {
constexpr int kErrAllpass = 4500;
constexpr int kErrMain = 4501;
constexpr int kErrEarly = 4502;
constexpr int kErrLate = 4503;
constexpr int kErrInput = 4505;

// A zeroed line for `seconds` at `rate`; its size and mask come back.
float *allocateLine(float seconds, float rate, int &size, int &mask)
{
    size = ASfxDsp::NextPowerOf2(static_cast<int>(seconds * rate + 1.0f));
    auto *line = static_cast<float *>(AURA_Memory_Calloc(size * static_cast<int>(sizeof(float))));
    mask = line ? size - 1 : 0;
    if (!line) {
        size = 0;
    }
    return line;
}

void freeLine(float *&line)
{
    if (line) {
        AURA_Memory_Free(line);
        line = nullptr;
    }
}

inline int down(int index, int mask)
{
    return (index - 1) & mask;
}
} // namespace

int ASfxDsp::NextPowerOf2(int n)
{
    const auto exponent = static_cast<int>(std::log(static_cast<float>(n)) / std::log(2.0f));
    return 1 << (exponent + 1);
}

void ASfxDsp::ZeroWritePointers()
{
    mEarlyWrite = 0;
    mMainWrite = 0;
    mDiffuser[0].write = mDiffuser[1].write = 0;
    for (LateLine &line : mLate) {
        line.write = 0;
    }
}

void ASfxDsp::SetLate_EarlyLateDelayTaps(float a, float b, float c, float rate)
{
    mMainTapTime[1] = a;
    mMainTapLength[1] = static_cast<int>(a * rate);
    if (mMainTapLength[1] < 1) {
        mMainTapLength[1] = 1;
    }
    for (int j = 2; j < NUM_MAIN_TAPS; ++j) {
        mMainTapTime[j] = a + b * std::pow(c, static_cast<float>(j - 2));
        mMainTapLength[j] = static_cast<int>(mMainTapTime[j] * rate);
    }
}

void ASfxDsp::SetEarlyDelay(float a, float b, float rate)
{
    for (int j = 0; j < NUM_EARLY_TAPS; ++j) {
        mEarlyTapTime[j] = a * std::pow(b, static_cast<float>(j));
        mEarlyTapLength[j] = static_cast<int>(mEarlyTapTime[j] * rate);
        mEarlyRead[j] = mEarlyTapLength[j] - 1;
    }
}

void ASfxDsp::SetAllpassDelays(float rate)
{
    const float times[2] = {0.0059f, 0.0077f};
    for (int d = 0; d < 2; ++d) {
        mDiffuser[d].time = times[d];
        mDiffuser[d].length = static_cast<int>(times[d] * rate);
        mDiffuser[d].read = mDiffuser[d].length - 1;
    }
}

void ASfxDsp::SetLateDelays(float a, float b, float c, float d, float rate)
{
    for (int k = 0; k < NUM_LATE; ++k) {
        LateLine &line = mLate[k];
        line.time = a * std::pow(b, static_cast<float>(k));
        line.length = static_cast<int>(static_cast<double>(line.time * rate) + 0.5);
        line.read = (line.write - 1 + line.length) & line.mask;
        line.outLength = static_cast<int>(static_cast<double>(c * std::pow(d, static_cast<float>(k)) * rate) + 0.5);
        line.outTap = (line.write - 1 + line.outLength) & line.mask;
    }
}

int ASfxDsp::AllocateLateDelays(int count, float *times, float rate)
{
    for (int k = 0; k < count && k < NUM_LATE; ++k) {
        LateLine &line = mLate[k];
        line.buffer = allocateLine(times[k], rate, line.size, line.mask);
        if (!line.buffer) {
            return kErrLate;
        }
        line.write = 0;
    }
    return 0;
}

int ASfxDsp::AllocateEarlyLateDelay(float *times, float rate)
{
    mMain = allocateLine(times[NUM_MAIN_TAPS - 1] + 0.4f - times[1], rate, mMainSize, mMainMask);
    return mMain ? 0 : kErrMain;
}

int ASfxDsp::AllocateAllpassDelays(int count, float *times, float rate)
{
    for (int d = 0; d < count && d < 2; ++d) {
        mDiffuser[d].buffer = allocateLine(times[d], rate, mDiffuser[d].size, mDiffuser[d].mask);
        if (!mDiffuser[d].buffer) {
            return kErrAllpass;
        }
        mDiffuser[d].write = 0;
    }
    return 0;
}

int ASfxDsp::AllocateEarlyDelay(float time, float rate)
{
    mEarly = allocateLine(time, rate, mEarlySize, mEarlyMask);
    return mEarly ? 0 : kErrEarly;
}

void ASfxDsp::DeallocateLateDelays()
{
    for (LateLine &line : mLate) {
        freeLine(line.buffer);
    }
}

void ASfxDsp::DeallocateEarlyLateDelay()
{
    freeLine(mMain);
}

void ASfxDsp::DeallocateAllpassDelays()
{
    freeLine(mDiffuser[0].buffer);
    freeLine(mDiffuser[1].buffer);
}

void ASfxDsp::DeallocateEarlyDelay()
{
    freeLine(mEarly);
}

int ASfxDsp::init(float rate)
{
    mMain = nullptr;
    mEarly = nullptr;
    ZeroWritePointers();
    mMainTapTime[0] = 0.04f;
    mMainTapLength[0] = static_cast<int>(0.04f * rate);
    SetLate_EarlyLateDelayTaps(0.06f, 0.0187f, 1.29f, rate);
    for (int t = 0; t < NUM_MAIN_TAPS; ++t) {
        mMainTapLast[t] = mMainTapLength[t];
        mMainTapRamp[t] = false;
    }
    for (LateLine &line : mLate) {
        line.mask = 0;
    }
    SetEarlyDelay(0.005f, 1.59f, rate);
    SetAllpassDelays(rate);
    SetLateDelays(0.061f, 1.32f, 0.0015f, 1.47f, rate);
    float lateTimes[NUM_LATE];
    for (int k = 0; k < NUM_LATE; ++k) {
        mLate[k].lastLength = mLate[k].length;
        mLate[k].ramp = false;
        lateTimes[k] = mLate[k].time;
    }
    float allpassTimes[2] = {mDiffuser[0].time, mDiffuser[1].time};
    int result = AllocateLateDelays(NUM_LATE, lateTimes, rate);
    if (result == 0) {
        result = AllocateEarlyLateDelay(mMainTapTime, rate);
    }
    if (result == 0) {
        result = AllocateAllpassDelays(2, allpassTimes, rate);
    }
    if (result == 0) {
        result = AllocateEarlyDelay(mEarlyTapTime[NUM_EARLY_TAPS - 1], rate);
    }
    if (result != 0) {
        return result;
    }
    mInBuffRaw = nullptr;
    mInBuff = nullptr;
    mInBuffCapacity = 0;

    mLowpass.reset(0.98f);
    mB0 = 1.0f;
    mB1 = mB2 = mA1 = mA2 = 0.0f;
    mBiquadEnable = 0.0f;
    for (int k = 0; k < NUM_LATE; ++k) {
        mDamping[k].reset(0.4f);
        mDampingOneMinus[k] = 0.6f;
        mGainTarget[k] = mGain[k] = mGainLast[k] = mGainOld[k] = 0.32f;
    }
    mMix.reset(1.0f);
    mReflections.reset(0.0f);
    mLateInput.reset(0.0f);
    mFeedbackScale.reset(1.0f);
    mFeedbackScale.target = 0.25f;
    mAllpassCoefficient = 0.63f;
    ClearReverbInternalBuffers();
    return 0;
}

void ASfxDsp::close()
{
    if (mInBuffRaw) {
        AURA_Memory_Free(mInBuffRaw);
    }
    mInBuffRaw = nullptr;
    mInBuff = nullptr;
    mInBuffCapacity = 0;
    DeallocateLateDelays();
    DeallocateEarlyLateDelay();
    DeallocateAllpassDelays();
    DeallocateEarlyDelay();
}

int ASfxDsp::UpdateBufferSize(int n)
{
    if (n == mInBuffCapacity && mInBuff) {
        return 0;
    }
    if (mInBuffRaw) {
        AURA_Memory_Free(mInBuffRaw);
    }
    mInBuffRaw = n > 0 && n < (1 << 26) ? AURA_Memory_Alloc(n * 4 + 16) : nullptr;
    if (!mInBuffRaw) {
        mInBuff = nullptr;
        mInBuffCapacity = 0;
        return kErrInput;
    }
    mInBuff = reinterpret_cast<float *>((reinterpret_cast<uintptr_t>(mInBuffRaw) + 15u) & ~static_cast<uintptr_t>(15u));
    mInBuffCapacity = n;
    return 0;
}

void ASfxDsp::ClearBuffers()
{
    ClearInBuff();
    ClearReverbInternalBuffers();
}

void ASfxDsp::ClearInBuff()
{
    if (mInBuff) {
        std::memset(mInBuff, 0, sizeof(float) * static_cast<std::size_t>(mInBuffCapacity));
    }
}

void ASfxDsp::ClearReverbInternalBuffers()
{
    const auto clear = [](float *line, int size) {
        if (line) {
            std::memset(line, 0, sizeof(float) * static_cast<std::size_t>(size));
        }
    };
    for (LateLine &line : mLate) {
        clear(line.buffer, line.size);
    }
    clear(mMain, mMainSize);
    clear(mEarly, mEarlySize);
    for (Diffuser &d : mDiffuser) {
        clear(d.buffer, d.size);
    }
    std::memset(mState, 0, sizeof(mState));
    std::memset(mMixing, 0, sizeof(mMixing));
    mLowpassState[0] = mLowpassState[1] = 0.0f;
    mZ1 = mZ2 = 0.0f;
}

void ASfxDsp::BlockProcessInput(unsigned int length, int channels, const float *block, float /*rate*/)
{
    // Every frame is mixed down, whatever the channel count: a block whose
    // length is not a multiple of four keeps no stale samples at its end.
    if (channels == 1) {
        std::memcpy(mInBuff, block, sizeof(float) * length);
        return;
    }
    for (unsigned int i = 0; i < length; ++i) {
        float sum = 0.0f;
        for (int c = 0; c < channels; ++c) {
            sum += block[static_cast<std::size_t>(i) * channels + c];
        }
        mInBuff[i] = sum;
    }
}

void ASfxDsp::DoDSPProcessing(const float *in, float *out, int channels, unsigned int length, float rate, float dry,
                              unsigned short mask)
{
    if (length == 0 || !mInBuff || static_cast<int>(length) > mInBuffCapacity || channels <= 0) {
        return;
    }
    const float offset = 1.0e-15f;
    for (unsigned int i = 0; i < length; ++i) {
        const float d = (i & 1u) ? -offset : offset;
        for (int c = 0; c < channels; ++c) {
            out[static_cast<std::size_t>(i) * channels + c] = in[static_cast<std::size_t>(i) * channels + c] + d;
        }
    }
    BlockProcessInput(length, channels, out, rate);
    Process(in, out, channels, length, dry, mask, -1);
}

void ASfxDsp::DoDSPProcessingChannel(const float *in, float *out, int channels, int channel, unsigned int length,
                                     float dry)
{
    if (length == 0 || !mInBuff || static_cast<int>(length) > mInBuffCapacity || channels <= 0 || channel < 0 ||
        channel >= channels || channel >= 16) {
        return;
    }
    // The channel stands for the whole down-mix: added up `channels` times
    // as the shared down-mix adds its channels, so that equal channels give
    // what one kernel over all of them gives, to the bit.
    const float offset = 1.0e-15f;
    for (unsigned int i = 0; i < length; ++i) {
        const float v = in[static_cast<std::size_t>(i) * channels + channel] + ((i & 1u) ? -offset : offset);
        float sum = v;
        for (int c = 1; c < channels; ++c) {
            sum += v;
        }
        mInBuff[i] = sum;
    }
    Process(in, out, channels, length, dry, static_cast<unsigned short>(1u << channel), channel);
}

void ASfxDsp::Process(const float *in, float *out, int channels, unsigned int length, float dry, unsigned short mask,
                      int only)
{
    for (int t = 0; t < NUM_MAIN_TAPS; ++t) {
        mMainRead[t] = (mMainTapLength[t] + mMainWrite - 1) & mMainMask;
        mMainTapRamp[t] = mMainTapLength[t] != mMainTapLast[t];
        if (mMainTapRamp[t]) {
            mMainOldRead[t] = (mMainTapLast[t] + mMainWrite - 1) & mMainMask;
            mMainTapLast[t] = mMainTapLength[t];
        }
    }
    for (int k = 0; k < NUM_LATE; ++k) {
        LateLine &line = mLate[k];
        line.read = (line.write - 1 + line.length) & line.mask;
        line.outTap = (line.write - 1 + line.outLength) & line.mask;
        mGain[k] = mGainTarget[k];
        line.ramp = line.length != line.lastLength;
        if (line.ramp) {
            line.oldRead = (line.write - 1 + line.lastLength) & line.mask;
            line.lastLength = line.length;
        }
        if (mGainTarget[k] != mGainLast[k]) {
            if (!line.ramp) {
                line.ramp = true;
                line.oldRead = (line.write - 1 + line.lastLength) & line.mask;
            }
            mGainOld[k] = mGainLast[k];
            mGainLast[k] = mGain[k];
        } else {
            mGainOld[k] = mGainTarget[k];
        }
        mDamping[k].latch();
        mDampingOneMinus[k] = 1.0f - mDamping[k].current;
    }
    mLowpass.latch();
    mMix.latch();
    mFeedbackScale.latch();
    mReflections.latch();
    mLateInput.latch();

    const float inverse = 1.0f / static_cast<float>(length);
    const auto fade = [inverse, length](float i, float from, float to) {
        return ((static_cast<float>(length) - i) * from + i * to) * inverse;
    };
    const auto value = [&fade](const ASfxRamp &r, float i) { return r.ramp ? fade(i, r.old, r.current) : r.current; };
    const int numLate = mNumLate < NUM_LATE ? mNumLate : NUM_LATE;
    const int perChannel = channels <= NUM_LATE ? NUM_LATE / channels : 0;
    float e[NUM_LATE];
    float *s = mState;

    for (unsigned int n = 0; n < length; ++n) {
        const auto i = static_cast<float>(n);
        const float x = mInBuff[n];
        const float g = value(mLowpass, i);
        const float m = value(mMix, i);
        const float f = value(mFeedbackScale, i);
        const float reflections = value(mReflections, i);
        const float lateInput = value(mLateInput, i);

        mLowpassState[0] = g * x + (1.0f - g) * mLowpassState[0];
        mLowpassState[1] = g * mLowpassState[0] + (1.0f - g) * mLowpassState[1];
        float y = mLowpassState[1];
        if (mBiquadEnable != 0.0f) {
            const float o = mB0 * y + mZ1;
            mZ1 = mB1 * y + mZ2 + mA1 * o;
            mZ2 = mB2 * y + mA2 * o;
            y = o;
        }
        mMainWrite = down(mMainWrite, mMainMask);
        mMain[mMainWrite] = y;

        mMainRead[0] = down(mMainRead[0], mMainMask);
        float r = reflections * mMain[mMainRead[0]];
        if (mMainTapRamp[0]) {
            mMainOldRead[0] = down(mMainOldRead[0], mMainMask);
            r = fade(i, reflections * mMain[mMainOldRead[0]], r);
        }
        for (Diffuser &d : mDiffuser) {
            d.write = down(d.write, d.mask);
            d.read = down(d.read, d.mask);
            const float v = d.buffer[d.read] - mAllpassCoefficient * r;
            d.buffer[d.write] = mAllpassCoefficient * v + r;
            r = v;
        }
        mEarlyWrite = down(mEarlyWrite, mEarlyMask);
        mEarly[mEarlyWrite] = r;
        e[0] = r;
        for (int j = 0; j < NUM_EARLY_TAPS; ++j) {
            mEarlyRead[j] = down(mEarlyRead[j], mEarlyMask);
            e[j + 1] = mEarly[mEarlyRead[j]];
        }

        for (int k = 0; k < numLate; ++k) {
            LateLine &line = mLate[k];
            const int tap = k + 1;
            mMainRead[tap] = down(mMainRead[tap], mMainMask);
            float u = mMain[mMainRead[tap]];
            if (mMainTapRamp[tap]) {
                mMainOldRead[tap] = down(mMainOldRead[tap], mMainMask);
                u = fade(i, mMain[mMainOldRead[tap]], u);
            }
            const float t = u * lateInput;
            line.read = down(line.read, line.mask);
            float o = mGain[k] * line.buffer[line.read];
            if (line.ramp) {
                line.oldRead = down(line.oldRead, line.mask);
                o = fade(i, mGainOld[k] * line.buffer[line.oldRead], o);
            }
            const float sum = (o + t) * f;
            float a = mDamping[k].current;
            float oneMinus = mDampingOneMinus[k];
            if (mDamping[k].ramp) {
                a = fade(i, mDamping[k].old, a);
                oneMinus = 1.0f - a;
            }
            s[k] = sum * a + s[k] * oneMinus;
            line.write = down(line.write, line.mask);
        }

        float *A = mMixing;
        float *B = mMixing + 8;
        float *C = mMixing + 16;
        for (int p = 0; p < 4; ++p) {
            A[2 * p] = s[2 * p] + m * s[2 * p + 1];
            A[2 * p + 1] = s[2 * p + 1] - m * s[2 * p];
        }
        for (int h = 0; h < 8; h += 4) {
            B[h + 0] = A[h + 0] + m * A[h + 2];
            B[h + 1] = A[h + 1] + m * A[h + 3];
            B[h + 2] = A[h + 2] - m * A[h + 0];
            B[h + 3] = A[h + 3] - m * A[h + 1];
        }
        for (int p = 0; p < 4; ++p) {
            C[p] = B[p] + m * B[p + 4];
            C[p + 4] = B[p + 4] - m * B[p];
        }
        for (int k = 0; k < NUM_LATE; ++k) {
            LateLine &line = mLate[k];
            line.buffer[line.write] = C[(k + 1) % NUM_LATE];
        }

        const std::size_t frame = static_cast<std::size_t>(n) * channels;
        for (int c = only < 0 ? 0 : only; c < (only < 0 ? channels : only + 1); ++c) {
            if (c >= 16 || !(mask & (1u << c))) {
                out[frame + c] = in[frame + c];
                continue;
            }
            float early = 0.0f, late = 0.0f;
            for (int j = 0; j < perChannel; ++j) {
                LateLine &line = mLate[c + j * channels];
                line.outTap = down(line.outTap, line.mask);
                late += line.buffer[line.outTap];
                early += e[c + j * channels];
            }
            float v = early + late;
            if (dry != 0.0f) {
                v += dry * in[frame + c];
            }
            out[frame + c] = v;
        }
    }
}
