#include "dsp/effects/aura_dsp_pitchshift.h"

#include "base/aura_memory.h"
#include "dsp/effects/aura_dsp_delays.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>

namespace AURA {

static constexpr const char AURA_ALLOC_TAG[] = "aura/src/dsp/effects/aura_dsp_pitchshift";

namespace {
AURA_DSP_PARAMETERDESC gPitchParameters[] = {
    {0.5f, 2.0f, 1.0f, "Pitch", "x",
     "Pitch value.  0.5 to 2.0.  Default = 1.0. 0.5 = one octave down, 2.0 = one octave up.  1.0 does not change the "
     "pitch."},
    {256.0f, 4096.0f, 1024.0f, "FFT size", "",
     "FFT window size.  256, 512, 1024, 2048, 4096.  Default = 1024.  Increase this to reduce 'smearing'.  This "
     "effect is a warbling sound similar to when an mp3 is encoded at very low bitrates."},
    {1.0f, 32.0f, 4.0f, "Overlap", "",
     "Window overlap.  1 to 32.  Default = 4.  Increase this to reduce 'tremolo' effect.  Increasing it by a factor "
     "of 2 doubles the CPU usage."},
    {0.0f, 16.0f, 0.0f, "Max channels", "channels",
     "Maximum channels supported.  0 to 16.  0 = same as aura's default output polyphony, 1 = mono, 2 = stereo etc.  "
     "See remarks for more.  Default = 0.  It is suggested to leave at 0!"},
};

constexpr float kPi = 3.14159274f;
constexpr float kInvPi = 0.31830987f;
constexpr float kTwoPi = 6.28318548f;
constexpr float kInvTwoPi = 0.15915494f;
constexpr int kOverlap = 4;

// The first half of a 1024-point Hann window.
const float *hann1024()
{
    static const auto *table = [] {
        static float t[513];
        for (int k = 0; k <= 512; ++k) {
            t[k] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * 3.14159265358979323846 * k / 1024.0));
        }
        return t;
    }();
    return table;
}

// The analysis and synthesis spectra of one frame. Each mixer thread has
// its own, so two systems mixing at once never share one.
struct VocoderScratch {
    float worksp[2 * PITCH_MAXFFT];
    float anaMagn[PITCH_MAXFFT];
    float anaFreq[PITCH_MAXFFT];
    float synMagn[PITCH_MAXFFT];
    float synFreq[PITCH_MAXFFT];
};

VocoderScratch &scratch()
{
    static thread_local std::unique_ptr<VocoderScratch> mine;
    if (!mine) {
        mine = std::make_unique<VocoderScratch>();
    }
    return *mine;
}
} // namespace

// ------------------------------------------------------------------ FFT

float tableCosine(const float *t, float turns)
{
    int i = static_cast<int>(turns * 32768.0f);
    i = (i < 0 ? -i : i) & 0x7FFF;
    // The mirrored quadrants read the entry of the mirrored angle itself:
    // one below it would tilt every twiddle by a table step (2e-4 of the
    // result). The angle of a quarter turn reads the table's closing zero.
    switch (i >> 13) {
    case 0: return t[i];
    case 1: return -t[16384 - i];
    case 2: return -t[i - 16384];
    default: return t[32768 - i];
    }
}

float tableSine(const float *t, float turns)
{
    return tableCosine(t, turns - 0.25f);
}

PitchFFT::PitchFFT(int n)
    : mSize(n)
{
    const float *cosTab = quarterCosineTable();
    int bits = 0;
    while ((1 << bits) < n) {
        ++bits;
    }
    mOddPower = (bits & 1) != 0;
    mTwiddle.resize(2 * static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k) {
        const float turns = static_cast<float>(k) / static_cast<float>(n);
        mTwiddle[2 * static_cast<std::size_t>(k)] = tableCosine(cosTab, turns);
        mTwiddle[2 * static_cast<std::size_t>(k) + 1] = tableSine(cosTab, turns);
    }
    for (int i = 0; i < n; ++i) {
        int r = 0;
        for (int b = 0; b < bits; ++b) {
            r |= ((i >> b) & 1) << (bits - 1 - b);
        }
        if (r > i) {
            mSwaps.emplace_back(static_cast<uint16_t>(i), static_cast<uint16_t>(r));
        }
    }
}

const PitchFFT *PitchFFT::forSize(int n)
{
    // Every size has its own tables, so instances of different sizes can
    // run at once.
    static const std::array<PitchFFT, 11> all = [] {
        return std::array<PitchFFT, 11>{PitchFFT(4),    PitchFFT(8),    PitchFFT(16),  PitchFFT(32),
                                        PitchFFT(64),   PitchFFT(128),  PitchFFT(256), PitchFFT(512),
                                        PitchFFT(1024), PitchFFT(2048), PitchFFT(4096)};
    }();
    for (const PitchFFT &fft : all) {
        if (fft.mSize == n) {
            return &fft;
        }
    }
    return nullptr;
}

void PitchFFT::transform(float *x, int sign) const
{
    for (const auto &[a, b] : mSwaps) {
        std::swap(x[2 * a], x[2 * b]);
        std::swap(x[2 * a + 1], x[2 * b + 1]);
    }
    const int n = mSize;
    const float s = sign >= 0 ? 1.0f : -1.0f;
    int m = 1;
    if (mOddPower) {
        for (int i = 0; i < 2 * n; i += 4) {
            const float re = x[i + 2], im = x[i + 3];
            x[i + 2] = x[i] - re;
            x[i + 3] = x[i + 1] - im;
            x[i] += re;
            x[i + 1] += im;
        }
        m = 2;
    }
    const float *w = mTwiddle.data();
    // Each pass joins four transforms of m points into one of 4m. In the
    // bit-reversed order the four blocks hold the samples 4j, 4j + 2,
    // 4j + 1 and 4j + 3 of the longer sequence.
    for (; m < n; m *= 4) {
        const int stride = n / (4 * m);
        for (int base = 0; base < n; base += 4 * m) {
            for (int k = 0; k < m; ++k) {
                float *p0 = x + 2 * (base + k);
                float *p1 = p0 + 2 * m;
                float *p2 = p1 + 2 * m;
                float *p3 = p2 + 2 * m;
                const int t1 = k * stride;
                const float w1r = w[2 * t1], w1i = s * w[2 * t1 + 1];
                const float w2r = w[4 * t1], w2i = s * w[4 * t1 + 1];
                const float w3r = w[6 * t1], w3i = s * w[6 * t1 + 1];
                const float ar = p0[0], ai = p0[1];
                const float br = p1[0] * w2r - p1[1] * w2i, bi = p1[0] * w2i + p1[1] * w2r;
                const float cr = p2[0] * w1r - p2[1] * w1i, ci = p2[0] * w1i + p2[1] * w1r;
                const float dr = p3[0] * w3r - p3[1] * w3i, di = p3[0] * w3i + p3[1] * w3r;
                const float apbr = ar + br, apbi = ai + bi, ambr = ar - br, ambi = ai - bi;
                const float cpdr = cr + dr, cpdi = ci + di, cmdr = cr - dr, cmdi = ci - di;
                // j (c - d) with j = e^(sign i pi/2)
                const float jr = -s * cmdi, ji = s * cmdr;
                p0[0] = apbr + cpdr;
                p0[1] = apbi + cpdi;
                p1[0] = ambr + jr;
                p1[1] = ambi + ji;
                p2[0] = apbr - cpdr;
                p2[1] = apbi - cpdi;
                p3[0] = ambr - jr;
                p3[1] = ambi - ji;
            }
        }
    }
}

// -------------------------------------------------------------- vocoder

void DSPPitchShiftSMB::smbInit()
{
    std::memset(mInFIFO, 0, sizeof(mInFIFO));
    std::memset(mOutFIFO, 0, sizeof(mOutFIFO));
    std::memset(mLastPhase, 0, sizeof(mLastPhase));
    std::memset(mSumPhase, 0, sizeof(mSumPhase));
    std::memset(mOutputAccum, 0, sizeof(mOutputAccum));
    mRover = 0;
    mSilentRun = 0;
    mResetPhase.store(false, std::memory_order_relaxed);
}

void DSPPitchShiftSMB::smbPitchShift(float pitch, int count, int osamp, float rate, const float *in, float *out, int c,
                                     int channels)
{
    const int n = mFFTFrameSize;
    float level = 0.0f;
    for (int i = 0; i < count; ++i) {
        level += std::fabs(in[static_cast<std::size_t>(i) * channels + c]);
    }
    if (level < 0.001f) {
        // Silence is skipped only once the sound before it has played out
        // of the FIFOs and the overlap-add; the state is then cleared, so
        // nothing of the old sound returns at the next onset.
        const bool wasGated = mSilentRun >= 2u * static_cast<unsigned int>(n);
        mSilentRun += static_cast<unsigned int>(count);
        if (wasGated || mSilentRun >= 2u * static_cast<unsigned int>(n)) {
            if (!wasGated) {
                const int rover = mRover;
                smbInit();
                mRover = rover;
                mSilentRun = 2u * static_cast<unsigned int>(n);
            }
            for (int i = 0; i < count; ++i) {
                out[static_cast<std::size_t>(i) * channels + c] = 0.0f;
            }
            return;
        }
    } else {
        mSilentRun = 0;
    }
    const int step = n / osamp;
    const int latency = n - step;
    if (mRover == 0) {
        mRover = latency;
    }
    if (mResetPhase.exchange(false, std::memory_order_relaxed)) {
        std::memset(mLastPhase, 0, sizeof(mLastPhase));
        std::memset(mSumPhase, 0, sizeof(mSumPhase));
    }
    for (int i = 0; i < count; ++i) {
        const std::size_t at = static_cast<std::size_t>(i) * channels + c;
        mInFIFO[mRover] = in[at];
        out[at] = mOutFIFO[mRover - latency];
        if (++mRover >= n) {
            mRover = latency;
            processFrame(pitch, osamp, rate);
        }
    }
}

void DSPPitchShiftSMB::processFrame(float pitch, int osamp, float rate)
{
    const int n = mFFTFrameSize;
    const int half = n / 2;
    const int step = n / osamp;
    const int latency = n - step;
    const float freqPerBin = rate / static_cast<float>(n);
    const float expct = kTwoPi * static_cast<float>(step) / static_cast<float>(n);
    const PitchFFT *fft = PitchFFT::forSize(n);
    VocoderScratch &s = scratch();
    float *ws = s.worksp;

    for (int k = 0; k < n; ++k) {
        ws[2 * k] = mInFIFO[k] * mWindow[k];
        ws[2 * k + 1] = 0.0f;
    }
    fft->transform(ws, -1);

    const float toFreq = static_cast<float>(osamp) * freqPerBin / kTwoPi;
    for (int k = 0; k <= half + 3; ++k) {
        const float re = ws[2 * k], im = ws[2 * k + 1];
        const float magn = 2.0f * std::sqrt(re * re + im * im);
        float phase;
        if (im == 0.0f) {
            phase = 0.0f;
        } else if (re == 0.0f) {
            phase = im > 0.0f ? kPi * 0.5f : -kPi * 0.5f;
        } else {
            phase = static_cast<float>(std::atan2(static_cast<double>(im), static_cast<double>(re)));
        }
        float d = phase - (static_cast<float>(k) * expct + mLastPhase[k]);
        mLastPhase[k] = phase;
        int q = static_cast<int>(d * kInvPi);
        q = q >= 0 ? q + (q & 1) : q - (q & 1);
        d -= kPi * static_cast<float>(q);
        s.anaFreq[k] = static_cast<float>(k) * freqPerBin + d * toFreq;
        s.anaMagn[k] = magn;
    }

    std::memset(s.synMagn, 0, sizeof(float) * static_cast<std::size_t>(n));
    std::memset(s.synFreq, 0, sizeof(float) * static_cast<std::size_t>(n));
    for (int k = 0; k <= half; ++k) {
        const auto index = static_cast<int>(static_cast<float>(k) * pitch + 0.5f);
        if (index <= half) {
            s.synMagn[index] += s.anaMagn[k];
            s.synFreq[index] = s.anaFreq[k] * pitch;
        }
    }

    const float perOverlap = kTwoPi / static_cast<float>(osamp);
    for (int k = 0; k <= half + 3; ++k) {
        float &sum = mSumPhase[k];
        sum += static_cast<float>(k) * expct + perOverlap * (s.synFreq[k] / freqPerBin - static_cast<float>(k));
        if (sum > kPi || sum < -kPi) {
            sum -= kTwoPi * static_cast<float>(static_cast<int>(sum * kInvTwoPi));
        }
        const float t = sum * kInvTwoPi;
        ws[2 * k] = s.synMagn[k] * tableCosine(mCosTab, t);
        ws[2 * k + 1] = s.synMagn[k] * tableSine(mCosTab, t);
    }
    std::memset(ws + n + 2, 0, sizeof(float) * static_cast<std::size_t>(n - 2));
    fft->transform(ws, 1);

    for (int k = 0; k < n; ++k) {
        mOutputAccum[k] += ws[2 * k] * mWindow[k];
    }
    std::memcpy(mOutFIFO, mOutputAccum, sizeof(float) * static_cast<std::size_t>(step));
    std::memmove(mOutputAccum, mOutputAccum + step, sizeof(float) * static_cast<std::size_t>(latency));
    std::memset(mOutputAccum + latency, 0, sizeof(float) * static_cast<std::size_t>(n - latency));
    std::memmove(mInFIFO, mInFIFO + step, sizeof(float) * static_cast<std::size_t>(latency));
}

// ------------------------------------------------------------------ unit

constinit AURA_DSP_DESCRIPTION_EX dsppitchshift{};

AURA_DSP_DESCRIPTION_EX *DSPPitchShift::getDescriptionEx()
{
    return describeOnce(dsppitchshift, [](AURA_DSP_DESCRIPTION_EX &description) {
        description = describe("AURA Pitch Shifter", AURA_DSP_TYPE_PITCHSHIFT, gPitchParameters);
    });
}

int DSPPitchShift::fftSizeFor(float value)
{
    if (value > 4096.0f) {
        return 4096;
    }
    for (int size = 256; size < 4096; size *= 2) {
        if (static_cast<float>(size) >= value) {
            return size;
        }
    }
    return 4096;
}

void DSPPitchShift::buildWindow()
{
    const float *v = hann1024();
    const int n = mFFTSize;
    // Squared Hann windows a quarter apart sum to 1.5: the norm takes that
    // out with the FFT's n, so a sound keeps its level at pitch 1.
    const float norm = std::sqrt(static_cast<float>(n) * 0.25f * static_cast<float>(mOverlap) * 1.5f);
    const float scale = 1024.0f / static_cast<float>(n);
    for (int k = 0; k < n; ++k) {
        float p = static_cast<float>(k) * scale;
        int direction = 1;
        if (p > 512.0f) {
            p = 1024.0f - p;
            direction = -1;
        }
        const auto i = static_cast<int>(p);
        float value = v[i];
        if (p != static_cast<float>(i) && i + direction >= 0) {
            value = v[i] + (p - static_cast<float>(i)) * (v[i + direction] - v[i]);
        }
        mWindow[k] = value / norm;
    }
}

void DSPPitchShift::freeStates()
{
    if (mPitchState) {
        AURA_Memory_Free(mPitchState);
        mPitchState = nullptr;
    }
}

AURA_RESULT DSPPitchShift::createInternal()
{
    (void)quarterCosineTable();
    (void)hann1024();
    mOverlap = kOverlap;
    mPitchState = nullptr;
    mPitch = 1.0f;
    return applyDefaults();
}

AURA_RESULT DSPPitchShift::releaseInternal()
{
    freeStates();
    return AURA_OK;
}

AURA_RESULT DSPPitchShift::resetInternal()
{
    for (int c = 0; mPitchState && c < mChannels; ++c) {
        mPitchState[c].smbInit();
        mPitchState[c].mCosTab = quarterCosineTable();
    }
    return AURA_OK;
}

AURA_RESULT DSPPitchShift::setParameterInternal(int index, float value)
{
    if (!mSystem) {
        return AURA_ERR_UNINITIALIZED;
    }
    const int oldChannels = mChannels;
    const int oldSize = mFFTSize;
    const int oldOverlap = mOverlap;
    const float oldPitch = mPitch;
    bool locked = false;
    const auto lock = [&] {
        if (!locked) {
            (void)mSystem->lockDSP();
            locked = true;
        }
    };
    int size = mFFTSize;
    switch (index) {
    case 0: mPitch = value; break;
    case 1:
        size = fftSizeFor(value);
        if (size != oldSize) {
            lock();
            mFFTSize = size;
        }
        break;
    case 2:
        if (oldOverlap != kOverlap) {
            lock();
            mOverlap = kOverlap;
        }
        break;
    case 3: mMaxChannels = static_cast<int>(value); break;
    default: return AURA_ERR_INVALID_PARAM;
    }
    if (mOutputRate != mSystem->mOutputRate) { // the mixer reads it: written only when it changes
        mOutputRate = mSystem->mOutputRate;
    }
    const int channels = mMaxChannels != 0 ? mMaxChannels : mSystem->mMaxOutputChannels;
    // The mixer may be inside the states: whatever replaces them, "Max
    // channels" set back to 0 included, waits for the block to end.
    if (channels != oldChannels || !mPitchState) {
        lock();
    }
    const auto done = [&](AURA_RESULT result) {
        if (locked) {
            (void)mSystem->unlockDSP();
        }
        return result;
    };
    if (mFFTSize != oldSize || mOverlap != oldOverlap) {
        if (!mPitchState) {
            return done(AURA_ERR_INVALID_HANDLE);
        }
        buildWindow();
        for (int c = 0; c < mChannels; ++c) {
            mPitchState[c].mWindow = mWindow;
        }
        (void)DSPI::reset();
    }
    if (channels != mChannels || !mPitchState) {
        freeStates();
        mChannels = 0;
        const uint64_t bytes = static_cast<uint64_t>(channels) * sizeof(DSPPitchShiftSMB);
        if (channels <= 0 || bytes > static_cast<uint64_t>(MemPool::MAX_SIZE)) {
            return done(AURA_ERR_MEMORY);
        }
        void *memory = AURA_Memory_Alloc(static_cast<int>(bytes));
        if (!memory) {
            return done(AURA_ERR_MEMORY);
        }
        mPitchState = static_cast<DSPPitchShiftSMB *>(memory);
        for (int c = 0; c < channels; ++c) {
            auto *state = ::new (&mPitchState[c]) DSPPitchShiftSMB;
            state->smbInit();
            state->mWindow = mWindow;
            state->mCosTab = quarterCosineTable();
        }
        mChannels = channels;
    }
    if (mPitch != oldPitch) {
        for (int c = 0; c < mChannels; ++c) {
            mPitchState[c].setResetPhaseFlag();
        }
    }
    return done(AURA_OK);
}

AURA_RESULT DSPPitchShift::getParameterInternal(int index, float *value, char *text)
{
    switch (index) {
    case 0:
        *value = mPitch;
        formatParameter(text, *value);
        break;
    case 1:
        *value = static_cast<float>(mFFTSize);
        formatParameterInt(text, mFFTSize);
        break;
    case 2:
        *value = static_cast<float>(mOverlap);
        formatParameterInt(text, mOverlap);
        break;
    case 3:
        *value = static_cast<float>(mMaxChannels);
        formatParameterInt(text, mMaxChannels);
        break;
    default: break;
    }
    return AURA_OK;
}

AURA_RESULT DSPPitchShift::getMemoryUsedImpl(MemoryTracker *tracker)
{
    if (tracker && mPitchState) {
        tracker->add(false, 0x4000, static_cast<unsigned int>(mChannels) * sizeof(DSPPitchShiftSMB));
    }
    return AURA_OK;
}

AURA_RESULT DSPPitchShift::readInternal(float *in, float *out, unsigned int length, int inchannels, int outchannels)
{
    if (!in) {
        return AURA_OK;
    }
    const int n = inchannels;
    const unsigned int mask = activeMask(n);
    if (mChannels < n || !mPitchState || mask == 0) {
        copyBlock(in, out, length, outchannels);
        return AURA_OK;
    }
    const float pitch = mPitch;
    for (int c = 0; c < n; ++c) {
        if (c < 16 && (mask & (1u << c))) {
            mPitchState[c].mFFTFrameSize = mFFTSize;
            mPitchState[c].smbPitchShift(pitch, static_cast<int>(length), kOverlap, static_cast<float>(mOutputRate), in,
                                         out, c, n);
        } else {
            for (unsigned int i = 0; i < length; ++i) {
                out[static_cast<std::size_t>(i) * n + c] = in[static_cast<std::size_t>(i) * n + c];
            }
        }
    }
    return AURA_OK;
}

} // namespace AURA
