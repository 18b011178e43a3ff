#include "dsp/units/aura_dsp_fft.h"

#include "base/aura_globals.h"
#include "base/aura_memory.h"
#include "dsp/aura_dsp_filter.h"
#include "dsp/aura_dsp_mixer.h"
#include "os/aura_os.h"

#include <cmath>
#include <mutex>
#include <new>

namespace AURA {

namespace {
// The shared object was always reported as the globals' allocation.
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_globals";

// Serialises the building and the freeing of the shared FFT object.
std::mutex gSharedObjectsLock;
} // namespace

AURA_RESULT Global::getDSPFFT(DSPFFT **fft)
{
    if (!fft) {
        return AURA_ERR_INVALID_PARAM;
    }
    std::lock_guard<std::mutex> lock(gSharedObjectsLock);
    if (!gDSPFFT) {
        static_assert(sizeof(DSPFFT) == 163840, "the shared FFT object is 163,840 bytes");
        void *mem = AURA_Memory_AllocType(static_cast<int>(sizeof(DSPFFT)), MEMORY_TYPE_DSPBUFFER);
        if (!mem) {
            return AURA_ERR_MEMORY;
        }
        gDSPFFT = ::new (mem) DSPFFT();
    }
    *fft = gDSPFFT;
    return AURA_OK;
}

void freeSharedDSPFFT()
{
    std::lock_guard<std::mutex> lock(gSharedObjectsLock);
    if (gDSPFFT) {
        // The FFT holds only plain arrays; its memory is simply returned.
        AURA_Memory_Free(gDSPFFT);
        gDSPFFT = nullptr;
    }
}

DSPFFT::DSPFFT() : mBuffer{}
{
    mCosTab[0] = 1.0f;
    for (int i = 1; i < COSTAB_SIZE; ++i) {
        mCosTab[i] = std::cos(static_cast<float>(i) * 1.5707964f * (1.0f / 8192.0f));
    }
}

float DSPFFT::cosine(float u) const
{
    int k = static_cast<int>(u * 32768.0f);
    if (k < 0) {
        k = -k;
    }
    k &= 0x7fff;
    switch (k >> 13) {
    case 0:
        return mCosTab[k];
    case 1:
        return -mCosTab[0x3fff - k];
    case 2:
        return -mCosTab[k - 0x4000];
    default:
        return mCosTab[0x7fff - k];
    }
}

} // namespace AURA

namespace AURA {

namespace {
// The work buffer is one for the whole library.
std::mutex gSpectrumLock;

unsigned int reverseBits(unsigned int value, int bits)
{
    unsigned int r = 0;
    for (int b = 0; b < bits; ++b) {
        r = (r << 1) | ((value >> b) & 1u);
    }
    return r;
}
} // namespace

AURA_RESULT DSPFFT::process(int bits)
{
    const int count = 1 << bits;
    const float inverse = 1.0f / static_cast<float>(count);
    int span = count / 2;
    int groups = 1;
    for (int stage = 0; stage < bits; ++stage) {
        for (int g = 0; g < groups; ++g) {
            const int start = g * 2 * span;
            const float a = static_cast<float>(reverseBits(static_cast<unsigned int>(start / span), bits)) * inverse;
            const float c = cosine(a);
            const float s = -cosine(a - 0.25f);
            for (int i = start; i < start + span; ++i) {
                DSPFFTComplex &lo = mBuffer[static_cast<std::size_t>(i)];
                DSPFFTComplex &hi = mBuffer[static_cast<std::size_t>(i + span)];
                const float tr = c * hi.re - s * hi.im;
                const float ti = s * hi.re + c * hi.im;
                hi.re = lo.re - tr;
                hi.im = lo.im - ti;
                lo.re += tr;
                lo.im += ti;
            }
        }
        groups *= 2;
        span /= 2;
    }
    return AURA_OK;
}

AURA_RESULT DSPFFT::getSpectrum(const float *pcm, unsigned int position, unsigned int length, float *spectrum, int n,
                                int channel, int numchannels, AURA_DSP_FFT_WINDOW window)
{
    if (!pcm || !spectrum || n < 2 || n > MAX_POINTS || (n & (n - 1)) != 0 || length == 0 || channel < 0 ||
        channel >= numchannels) {
        return AURA_ERR_INVALID_PARAM;
    }
    int bits = 0;
    while ((1 << bits) < n) {
        ++bits;
    }
    std::lock_guard<std::mutex> lock(gSpectrumLock);
    const float scale = 1.0f / static_cast<float>(n);
    for (int i = 0; i < n; ++i) {
        const float s = pcm[static_cast<std::size_t>(position) * numchannels + channel];
        if (++position >= length) {
            position = 0;
        }
        const float x = static_cast<float>(i) / static_cast<float>(n);
        float w = 1.0f;
        switch (window) {
        case AURA_DSP_FFT_WINDOW_TRIANGLE: w = 1.0f - std::fabs(2.0f * x - 1.0f); break;
        case AURA_DSP_FFT_WINDOW_HAMMING: w = 0.54f - 0.46f * cosine(x); break;
        case AURA_DSP_FFT_WINDOW_HANNING: w = 0.5f * (1.0f - cosine(x)); break;
        case AURA_DSP_FFT_WINDOW_BLACKMAN: w = 0.42f - 0.5f * cosine(x) + 0.08f * cosine(2.0f * x); break;
        case AURA_DSP_FFT_WINDOW_BLACKMANHARRIS:
            w = 0.35875f - 0.48829f * cosine(x) + 0.14128f * cosine(2.0f * x) - 0.01168f * cosine(3.0f * x);
            break;
        default: break;
        }
        mBuffer[static_cast<std::size_t>(i)] = {w * s * scale, 1.0e-08f};
    }
    (void)process(bits);
    // Every one of the n/2 values the caller asked for, the last included.
    for (int i = 0; i < n / 2; ++i) {
        const DSPFFTComplex &bin = mBuffer[reverseBits(static_cast<unsigned int>(i), bits)];
        const float m = std::sqrt(bin.re * bin.re + bin.im * bin.im) * 2.5f;
        spectrum[i] = m > 1.0f ? 1.0f : m;
    }
    return AURA_OK;
}

namespace {
// The unit's history ring, started on the first request. The mixer writes
// the ring and its position as it mixes: the caller holds the DSP lock from
// here until it has read what it needs.
AURA_RESULT historyOf(DSPFilter *unit, float **history, unsigned int *position, unsigned int *length)
{
    AURA_RESULT result = unit->startBuffering();
    if (result == AURA_OK) {
        result = unit->getHistoryBuffer(history, position, length);
    }
    if (result == AURA_OK && (!*history || *length == 0)) {
        result = AURA_ERR_MEMORY;
    }
    return result;
}
} // namespace

AURA_RESULT getUnitSpectrum(DSPFilter *unit, int channels, float *spectrum, int numvalues, int channeloffset,
                            AURA_DSP_FFT_WINDOW window)
{
    if (!unit) {
        return AURA_ERR_INITIALIZATION;
    }
    const int n = numvalues * 2;
    if (!spectrum || numvalues <= 0 || n < 128 || n > DSPFFT::MAX_POINTS || (n & (n - 1)) != 0 || channeloffset < 0 ||
        channeloffset >= channels) {
        return AURA_ERR_INVALID_PARAM;
    }
    DSPFFT *fft = nullptr;
    AURA_RESULT result = Global::getDSPFFT(&fft);
    if (result != AURA_OK) {
        return result;
    }
    float *history = nullptr;
    unsigned int position = 0;
    unsigned int length = 0;
    CriticalSectionGuard guard(unit->mSystem ? unit->mSystem->mDSPCrit : nullptr);
    result = historyOf(unit, &history, &position, &length);
    if (result != AURA_OK) {
        return result;
    }
    if (static_cast<unsigned int>(n) > length) {
        return AURA_ERR_INVALID_PARAM;
    }
    const unsigned int start = position >= static_cast<unsigned int>(n) ? position - n : position + length - n;
    return fft->getSpectrum(history, start, length, spectrum, n, channeloffset, channels, window);
}

AURA_RESULT getUnitWaveData(DSPFilter *unit, int channels, float *wavearray, int numvalues, int channeloffset)
{
    if (!unit) {
        return AURA_ERR_INITIALIZATION;
    }
    if (!wavearray || numvalues <= 0 || channeloffset < 0 || channeloffset >= channels) {
        return AURA_ERR_INVALID_PARAM;
    }
    float *history = nullptr;
    unsigned int position = 0;
    unsigned int length = 0;
    CriticalSectionGuard guard(unit->mSystem ? unit->mSystem->mDSPCrit : nullptr);
    const AURA_RESULT result = historyOf(unit, &history, &position, &length);
    if (result != AURA_OK) {
        return result;
    }
    if (static_cast<unsigned int>(numvalues) > length) {
        return AURA_ERR_INVALID_PARAM;
    }
    unsigned int at =
        position >= static_cast<unsigned int>(numvalues) ? position - numvalues : position + length - numvalues;
    for (int i = 0; i < numvalues; ++i) {
        wavearray[i] = history[static_cast<std::size_t>(at) * channels + channeloffset];
        if (++at >= length) {
            at = 0;
        }
    }
    return AURA_OK;
}

} // namespace AURA
