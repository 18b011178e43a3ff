#include "dsp/units/aura_dsp_resampler.h"

#include "base/aura_memory.h"
#include "dsp/aura_dsp_mixer.h"
#include "dsp/units/aura_dsp_mixkernels.h"
#include "dsp/units/aura_dsp_pcm.h"
#include "dsp/units/aura_dsp_soundcard.h"
#include "os/aura_os.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_dsp_resampler";

using namespace pcm;

template <class F, int CH>
void noInterp(float *out, unsigned int count, const uint8_t *src, int64_t *position, int64_t step, int channels)
{
    const int ch = CH > 0 ? CH : channels;
    const int64_t frameBytes = static_cast<int64_t>(F::BYTES) * ch;
    int64_t pos = *position;
    for (unsigned int i = 0; i < count; ++i) {
        const uint8_t *frame = src + fixedWhole(pos) * frameBytes;
        for (int c = 0; c < ch; ++c) {
            *out++ = F::get(frame + c * F::BYTES);
        }
        pos += step;
    }
    *position = pos;
}

#if defined(__SSE2__)
// 16-bit frames, four output frames a pass: the neighbours are gathered one
// by one, the arithmetic runs four wide. The fraction keeps its top 23 bits,
// all a float holds.
inline int32_t load32(const int16_t *at)
{
    int32_t v;
    std::memcpy(&v, at, 4);
    return v;
}

// Low and high 16-bit halves of each lane, sign-extended.
inline __m128i lowHalves(__m128i v)
{
    return _mm_srai_epi32(_mm_slli_epi32(v, 16), 16);
}
inline __m128i highHalves(__m128i v)
{
    return _mm_srai_epi32(v, 16);
}

template <int CH>
unsigned int linearRun16(float *__restrict out, unsigned int count, const uint8_t *__restrict src, int64_t &position,
                         int64_t step)
{
    const auto *samples = reinterpret_cast<const int16_t *>(src);
    const __m128 fracScale = _mm_set1_ps(1.0f / 8388608.0f);
    const __m128 scale = _mm_set1_ps(SCALE_16);
    int64_t pos = position;
    unsigned int done = 0;
    for (; done + 4 <= count; done += 4) {
        const int64_t p0 = pos;
        const int64_t p1 = p0 + step;
        const int64_t p2 = p1 + step;
        const int64_t p3 = p2 + step;
        pos = p3 + step;
        const __m128 frac = _mm_mul_ps(
            _mm_cvtepi32_ps(_mm_set_epi32(static_cast<int>(fixedFraction(p3) >> 9), static_cast<int>(fixedFraction(p2) >> 9),
                                          static_cast<int>(fixedFraction(p1) >> 9), static_cast<int>(fixedFraction(p0) >> 9))),
            fracScale);
        const int16_t *s0 = samples + fixedWhole(p0) * CH;
        const int16_t *s1 = samples + fixedWhole(p1) * CH;
        const int16_t *s2 = samples + fixedWhole(p2) * CH;
        const int16_t *s3 = samples + fixedWhole(p3) * CH;
        auto lerp = [&](__m128i a, __m128i b) {
            const __m128 d = _mm_cvtepi32_ps(_mm_sub_epi32(b, a));
            return _mm_mul_ps(_mm_add_ps(_mm_cvtepi32_ps(a), _mm_mul_ps(d, frac)), scale);
        };
        if constexpr (CH == 1) {
            // One load brings a frame and its neighbour.
            const __m128i pairs = _mm_set_epi32(load32(s3), load32(s2), load32(s1), load32(s0));
            _mm_storeu_ps(out + done, lerp(lowHalves(pairs), highHalves(pairs)));
        } else {
            // One load a frame (left and right), one for its neighbour.
            const __m128i first = _mm_set_epi32(load32(s3), load32(s2), load32(s1), load32(s0));
            const __m128i second = _mm_set_epi32(load32(s3 + 2), load32(s2 + 2), load32(s1 + 2), load32(s0 + 2));
            const __m128 left = lerp(lowHalves(first), lowHalves(second));
            const __m128 right = lerp(highHalves(first), highHalves(second));
            _mm_storeu_ps(out + 2 * done, _mm_unpacklo_ps(left, right));
            _mm_storeu_ps(out + 2 * done + 4, _mm_unpackhi_ps(left, right));
        }
    }
    position = pos;
    return done;
}
#endif

template <class F, int CH>
void linearRun(float *__restrict out, unsigned int count, const uint8_t *__restrict src, int64_t &position,
               int64_t step, int ch)
{
#if defined(__SSE2__)
    if constexpr (std::is_same_v<F, Pcm16> && (CH == 1 || CH == 2)) {
        const unsigned int done = linearRun16<CH>(out, count, src, position, step);
        out += static_cast<std::size_t>(done) * CH;
        count -= done;
    }
#endif
    const int64_t frameBytes = static_cast<int64_t>(F::BYTES) * ch;
    int64_t pos = position;
    for (unsigned int i = 0; i < count; ++i) {
        const uint8_t *a = src + fixedWhole(pos) * frameBytes;
        const float frac = static_cast<float>(fixedFraction(pos)) * FRACTION_SCALE;
        for (int c = 0; c < (CH > 0 ? CH : ch); ++c) {
            const float va = F::get(a + c * F::BYTES);
            const float vb = F::get(a + frameBytes + c * F::BYTES);
            *out++ = va + (vb - va) * frac;
        }
        pos += step;
    }
    position = pos;
}

template <class F, int CH>
void linearEdge(float *out, unsigned int count, const uint8_t *src, int64_t &pos, int64_t step, int ch,
                const ResamplerEdge &edge)
{
    // The neighbour of the last readable frame is the edge frame (the loop
    // start, or the frame itself): never a frame past the data.
    const int64_t frameBytes = static_cast<int64_t>(F::BYTES) * ch;
    const auto *edgeFrame = static_cast<const uint8_t *>(edge.edge);
    for (unsigned int i = 0; i < count; ++i) {
        const int64_t whole = fixedWhole(pos);
        const uint8_t *a = src + whole * frameBytes;
        const uint8_t *b = whole >= edge.lastframe ? (edgeFrame ? edgeFrame : a) : a + frameBytes;
        const float frac = static_cast<float>(fixedFraction(pos)) * FRACTION_SCALE;
        for (int c = 0; c < (CH > 0 ? CH : ch); ++c) {
            const float va = F::get(a + c * F::BYTES);
            const float vb = F::get(b + c * F::BYTES);
            *out++ = va + (vb - va) * frac;
        }
        pos += step;
    }
}

template <class F, int CH>
void linear(float *out, unsigned int count, const uint8_t *src, int64_t *position, int64_t step, int channels,
            const ResamplerEdge &edge)
{
    const int ch = CH > 0 ? CH : channels;
    int64_t pos = *position;
    if (edge.lastframe < 0) {
        linearRun<F, CH>(out, count, src, pos, step, ch);
        *position = pos;
        return;
    }
    // Frames whose neighbour lies inside the data run without a check; only
    // those at the last frame take the edge into account. Forwards they come
    // at the end of the run, backwards at its start.
    const int64_t limit = fixedFromWhole(edge.lastframe);
    unsigned int safe = 0;
    if (step > 0) {
        if (pos < limit) {
            const uint64_t frames = (static_cast<uint64_t>(limit - pos) + static_cast<uint64_t>(step) - 1) /
                                    static_cast<uint64_t>(step);
            safe = static_cast<unsigned int>(std::min<uint64_t>(frames, count));
        }
        linearRun<F, CH>(out, safe, src, pos, step, ch);
        linearEdge<F, CH>(out + static_cast<std::size_t>(safe) * ch, count - safe, src, pos, step, ch, edge);
    } else {
        unsigned int unsafe = count;
        if (step < 0 && pos >= limit) {
            const uint64_t frames = static_cast<uint64_t>(pos - limit) / static_cast<uint64_t>(-step) + 1;
            unsafe = static_cast<unsigned int>(std::min<uint64_t>(frames, count));
        } else if (step < 0) {
            unsafe = 0;
        }
        linearEdge<F, CH>(out, unsafe, src, pos, step, ch, edge);
        linearRun<F, CH>(out + static_cast<std::size_t>(unsafe) * ch, count - unsafe, src, pos, step, ch);
    }
    *position = pos;
}

// A step of exactly one frame reads the frames in a row: a plain scaled
// copy that runs in vector registers.
void copy16(float *__restrict out, const uint8_t *__restrict src, std::size_t samples)
{
    for (std::size_t i = pcm16ToFloatWide(out, src, samples); i < samples; ++i) {
        int16_t v;
        std::memcpy(&v, src + 2 * i, 2);
        out[i] = static_cast<float>(v) * SCALE_16;
    }
}

template <class F>
void noInterpFormat(float *out, unsigned int count, const uint8_t *src, int64_t *position, int64_t step, int channels)
{
    if constexpr (std::is_same_v<F, Pcm16>) {
        if (step == FIXED_ONE && channels > 0) {
            const auto frameBytes = static_cast<int64_t>(2 * channels);
            copy16(out, src + fixedWhole(*position) * frameBytes, static_cast<std::size_t>(count) * channels);
            *position += static_cast<int64_t>(count) * FIXED_ONE;
            return;
        }
    }
    switch (channels) {
    case 1: noInterp<F, 1>(out, count, src, position, step, channels); break;
    case 2: noInterp<F, 2>(out, count, src, position, step, channels); break;
    default: noInterp<F, 0>(out, count, src, position, step, channels); break;
    }
}

template <class F>
void linearFormat(float *out, unsigned int count, const uint8_t *src, int64_t *position, int64_t step, int channels,
                  const ResamplerEdge &edge)
{
    switch (channels) {
    case 1: linear<F, 1>(out, count, src, position, step, channels, edge); break;
    case 2: linear<F, 2>(out, count, src, position, step, channels, edge); break;
    default: linear<F, 0>(out, count, src, position, step, channels, edge); break;
    }
}

float *alignFloats(void *memory)
{
    return reinterpret_cast<float *>((reinterpret_cast<uintptr_t>(memory) + 15) & ~uintptr_t{15});
}

uint64_t dspClock(const DSPMixer *system)
{
    return system->mDSPClock.load(std::memory_order_acquire);
}
} // namespace

void AURA_Resampler_NoInterp(float *out, unsigned int count, const void *source, AURA_SOUND_FORMAT format,
                             int64_t *position, const int64_t *step, int channels)
{
    if (!out || !source || !position || !step || channels <= 0) {
        return;
    }
    const auto *src = static_cast<const uint8_t *>(source);
    switch (format) {
    case AURA_SOUND_FORMAT_PCM8: noInterpFormat<Pcm8>(out, count, src, position, *step, channels); break;
    case AURA_SOUND_FORMAT_PCM16: noInterpFormat<Pcm16>(out, count, src, position, *step, channels); break;
    case AURA_SOUND_FORMAT_PCM24: noInterpFormat<Pcm24>(out, count, src, position, *step, channels); break;
    case AURA_SOUND_FORMAT_PCM32: noInterpFormat<Pcm32>(out, count, src, position, *step, channels); break;
    case AURA_SOUND_FORMAT_PCMFLOAT: noInterpFormat<PcmFloat>(out, count, src, position, *step, channels); break;
    default: break;
    }
}

void AURA_Resampler_Linear(float *out, unsigned int count, const void *source, AURA_SOUND_FORMAT format,
                           int64_t *position, const int64_t *step, int channels, const ResamplerEdge &edge)
{
    if (!out || !source || !position || !step || channels <= 0) {
        return;
    }
    const auto *src = static_cast<const uint8_t *>(source);
    switch (format) {
    case AURA_SOUND_FORMAT_PCM8: linearFormat<Pcm8>(out, count, src, position, *step, channels, edge); break;
    case AURA_SOUND_FORMAT_PCM16: linearFormat<Pcm16>(out, count, src, position, *step, channels, edge); break;
    case AURA_SOUND_FORMAT_PCM24: linearFormat<Pcm24>(out, count, src, position, *step, channels, edge); break;
    case AURA_SOUND_FORMAT_PCM32: linearFormat<Pcm32>(out, count, src, position, *step, channels, edge); break;
    case AURA_SOUND_FORMAT_PCMFLOAT: linearFormat<PcmFloat>(out, count, src, position, *step, channels, edge); break;
    default: break;
    }
}

unsigned int resamplerFrameBytes(AURA_SOUND_FORMAT format, int channels)
{
    const auto c = static_cast<unsigned int>(std::max(channels, 0));
    switch (format) {
    case AURA_SOUND_FORMAT_PCM8: return c;
    case AURA_SOUND_FORMAT_PCM16: return 2 * c;
    case AURA_SOUND_FORMAT_PCM24: return 3 * c;
    case AURA_SOUND_FORMAT_PCM32:
    case AURA_SOUND_FORMAT_PCMFLOAT: return 4 * c;
    case AURA_SOUND_FORMAT_GCADPCM: return 8 * c;
    case AURA_SOUND_FORMAT_IMAADPCM: return 36 * c;
    case AURA_SOUND_FORMAT_VAG: return 16 * c;
    case AURA_SOUND_FORMAT_XMA:
    case AURA_SOUND_FORMAT_MPEG:
    case AURA_SOUND_FORMAT_CELT: return 1;
    default: return 0;
    }
}

// ---------------------------------------------------------------------------

DSPResampler::DSPResampler()
{
    mOwnPlayState.mFinishTick.store(0, std::memory_order_relaxed);
}

DSPResampler::~DSPResampler()
{
    AURA_Memory_Free(mBufferMemoryRing);
    AURA_Memory_Free(mPullMemory);
}

AURA_RESULT DSPResampler::alloc(AURA_DSP_DESCRIPTION_EX *description)
{
    AURA_RESULT result = DSPI::alloc(description);
    if (result != AURA_OK) {
        return result;
    }
    if (!mSystem) {
        return AURA_ERR_UNINITIALIZED;
    }
    mOutputRate = mSystem->mOutputRate;
    mPlayState = &mOwnPlayState;
    if (description->mBlockLength > 0) {
        mBlockLength = static_cast<unsigned int>(description->mBlockLength);
        mChannels = description->channels;
    } else {
        int numbuffers = 0;
        result = mSystem->getDSPBufferSize(&mBlockLength, &numbuffers);
        if (result != AURA_OK) {
            return result;
        }
        mChannels = mSystem->mMaxInputChannels;
    }
    if (mBlockLength == 0 || mChannels <= 0 || mChannels > DSP_MAXCHANNELS) {
        return AURA_ERR_INVALID_PARAM;
    }
    mBufferLength = 2 * mBlockLength;
    mSourceFormat = description->mFormat == AURA_SOUND_FORMAT_NONE ? AURA_SOUND_FORMAT_PCMFLOAT : description->mFormat;
    mFrameBytes = resamplerFrameBytes(mSourceFormat, mChannels);

    // The ring: lead-in, the two blocks, and a mirror of the first frames
    // past the end for kernels that look ahead; 32 bytes of slack for the
    // two alignments.
    const uint64_t ringBytes = (4ull * mOverlap + mBufferLength) * mFrameBytes + 32;
    if (ringBytes > static_cast<uint64_t>(MemPool::MAX_SIZE)) {
        return AURA_ERR_MEMORY;
    }
    if (mBufferMemoryRing) {
        AURA_Memory_Free(mBufferMemoryRing);
    }
    mBufferMemoryRing = AURA_Memory_Calloc(static_cast<int>(ringBytes));
    if (!mBufferMemoryRing) {
        return AURA_ERR_MEMORY;
    }
    auto aligned = (reinterpret_cast<uintptr_t>(mBufferMemoryRing) + 15) & ~uintptr_t{15};
    aligned = (aligned + static_cast<uintptr_t>(mOverlap) * mFrameBytes + 15) & ~uintptr_t{15};
    mRing = reinterpret_cast<uint8_t *>(aligned);

    // The output block, the unit's own whatever the graph does; a
    // multi-input unit also pulls its inputs into a block of its own, so
    // that mixing them cannot overwrite output made earlier in the read.
    const int blockBytes = blockBufferBytes();
    if (!mBufferMemory) {
        mBufferMemory = AURA_Memory_Calloc(blockBytes);
        if (!mBufferMemory) {
            return AURA_ERR_MEMORY;
        }
    }
    mOwnsBuffer = true;
    mBuffer = alignFloats(mBufferMemory);
    if (description->mCategory == AURA_DSP_CATEGORY_RESAMPLER && !mPullMemory) {
        mPullMemory = AURA_Memory_Calloc(blockBytes);
        if (!mPullMemory) {
            return AURA_ERR_MEMORY;
        }
    }

    mFillPosition = 0;
    setDSPTick(0);
    resetRing();
    mPosition.store(0, std::memory_order_relaxed);
    mPlayState->mFinishTick.store(0, std::memory_order_relaxed);
    mTickSource = description->mTickSource ? description->mTickSource
                                           : static_cast<DSPI *>(mSystem->mDSPSoundCard);
    return AURA_OK;
}

void DSPResampler::resetRing()
{
    mEndPosition = -1;
    mFillCount = 2;
    mFillPosition = 0;
    mBufferPosition = 0;
}

AURA_RESULT DSPResampler::release(bool freethis)
{
    // Buffering of the unit's history ends with the unit.
    (void)stopBuffering();
    (void)DSPFilter::release(false);
    if (mBufferMemoryRing) {
        AURA_Memory_Free(mBufferMemoryRing);
        mBufferMemoryRing = nullptr;
    }
    mRing = nullptr;
    if (mPullMemory) {
        AURA_Memory_Free(mPullMemory);
        mPullMemory = nullptr;
    }
    if (freethis) {
        DSPResampler *self = this;
        AURA_Delete(self);
    }
    return AURA_OK;
}

AURA_RESULT DSPResampler::setFrequency(float frequency)
{
    mDirection.store(frequency < 0.0f ? 1 : 0, std::memory_order_relaxed);
    mFrequency = frequency < 0.0f ? -frequency : frequency;
    const float rate = static_cast<float>(mOutputRate > 0 ? mOutputRate : 1);
    const float ratio = mFrequency / rate;
    mStep.store(static_cast<int64_t>(ratio * 4294967296.0f), std::memory_order_release);
    return AURA_OK;
}

AURA_RESULT DSPResampler::setPosition(unsigned int position, bool processinputs)
{
    const AURA_RESULT result = DSPI::setPosition(position, processinputs);
    if (result != AURA_OK) {
        return result;
    }
    resetRing();
    mPosition.store(fixedFromWhole(position), std::memory_order_release);
    return AURA_OK;
}

AURA_RESULT DSPResampler::setFinished(bool finished, bool force)
{
    if (!finished) {
        mPlayState->mFinishTick.store(NOT_FINISHED, std::memory_order_release);
        clearFlags(DSPI_FLAG_FINISHED);
        return AURA_OK;
    }
    if (force && mSystem) {
        CriticalSectionGuard guard(mSystem->mDSPCrit);
        mPlayState->mFinishTick.store(0, std::memory_order_release);
        return AURA_OK;
    }
    if (mTickSource) {
        mPlayState->mFinishTick.store(mTickSource->getDSPTick() + 1, std::memory_order_release);
    }
    return AURA_OK;
}

AURA_RESULT DSPResampler::getFinished(bool *finished)
{
    if (!finished) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!mTickSource) {
        *finished = true;
        return AURA_OK;
    }
    const unsigned int finishTick = mPlayState->mFinishTick.load(std::memory_order_acquire);
    *finished = (finishTick < mTickSource->getDSPTick() || hasFlags(DSPI_FLAG_FINISHED)) &&
                !hasFlags(DSPI_FLAG_QUEUEDFORDISCONNECT);
    return AURA_OK;
}

void zeroFrames(float *out, unsigned int from, unsigned int frames, int channels)
{
    if (frames) {
        std::memset(out + static_cast<std::size_t>(from) * channels, 0,
                    static_cast<std::size_t>(frames) * channels * sizeof(float));
    }
}

unsigned int applyClockWindow(DSPI &unit, uint64_t clock, uint64_t start, uint64_t end, uint64_t &pause,
                              unsigned int pauseoffset, float *out, unsigned int *n, int channels, bool *ended,
                              unsigned int outframes)
{
    auto silence = [&](unsigned int from, unsigned int frames) {
        if (from < outframes) {
            zeroFrames(out, from, std::min(frames, outframes - from), channels);
        }
    };
    *ended = false;
    if (end && end < clock + *n) {
        const auto cut = static_cast<unsigned int>(std::min<uint64_t>(clock + *n - end, *n));
        *n -= cut;
        silence(*n, cut);
        *ended = true;
    }
    if (pause && pause < clock + pauseoffset + *n) {
        const auto cut = static_cast<unsigned int>(std::min<uint64_t>(clock + pauseoffset + *n - pause, *n));
        *n -= cut;
        silence(*n, cut);
        unit.clearFlags(DSPI_FLAG_ACTIVE);
        pause = 0;
    }
    unsigned int head = 0;
    if (start > clock) {
        head = static_cast<unsigned int>(std::min<uint64_t>(start - clock, *n));
        silence(0, head);
        *n -= head;
    }
    return head;
}

void DSPResampler::finishAt(float *out, unsigned int from, unsigned int frames, int channels, unsigned int tick)
{
    zeroFrames(out, from, frames, channels);
    mPlayState->mFinishTick.store(tick, std::memory_order_release);
    setFlags(DSPI_FLAG_FINISHED);
}

int64_t DSPResampler::spanToRefill() const
{
    const int64_t whole = fixedWhole(mBufferPosition);
    // Truncates toward zero, so the lead-in frames count with block 0.
    const int64_t block = (whole - static_cast<int64_t>(mOverlap)) / static_cast<int64_t>(mBlockLength);
    const int64_t boundary = (block + 1) * static_cast<int64_t>(mBlockLength) + static_cast<int64_t>(mOverlap);
    return fixedFromWhole(boundary) - mBufferPosition;
}

AURA_RESULT DSPResampler::read(float **outbuffer, int *outchannels, unsigned int *length, AURA_SPEAKERMODE,
                               int, unsigned int tick)
{
    if (!length || !mRing || !mBuffer) {
        return AURA_ERR_INVALID_PARAM;
    }
    const int channels = mChannels;
    if (mPlayState->mFinishTick.load(std::memory_order_acquire) <= tick) {
        // Nothing to hear: the block is not produced, and says so.
        setFlags(DSPI_FLAG_FINISHED | DSPI_FLAG_IDLE);
        return AURA_OK;
    }
    clearFlags(DSPI_FLAG_FINISHED | DSPI_FLAG_IDLE);
    if (getDSPTick() != tick) {
        unsigned int n = std::min(*length, mSystem->mDSPBlockSize);
        float *out = mBuffer;
        ResamplerPlayState &play = *mPlayState;
        bool ended = false;
        unsigned int o = applyClockWindow(*this, dspClock(mSystem), play.mDSPClockStart, play.mDSPClockEnd,
                                          play.mDSPClockPause, mPauseOffset, out, &n, channels, &ended);
        if (ended) {
            finishAt(out, 0, 0, channels, tick);
        }
        const int64_t step = mStep.load(std::memory_order_acquire);
        unsigned int produced = 0;

        while (n > 0) {
            while (mFillCount > 0) {
                uint8_t *block = mRing + static_cast<std::size_t>(mFillPosition) * mFrameBytes;
                const unsigned int blockStart = mFillPosition;
                bool ended = false;
                mEndedFrames = WHOLE_BLOCK;
                if (mEndPosition == -1 && mDescription.read) {
                    bindState();
                    ended = mDescription.read(&mDSPState, nullptr, reinterpret_cast<float *>(block), mBlockLength,
                                              channels, channels) != AURA_OK;
                } else {
                    std::memset(block, 0, static_cast<std::size_t>(mBlockLength) * mFrameBytes);
                    ended = mEndPosition == -1;
                }
                const bool first = mFillPosition == 0;
                mFillPosition += mBlockLength;
                if (mFillPosition >= mBufferLength) {
                    mFillPosition = 0;
                }
                if (ended) {
                    const unsigned int end = blockStart + std::min(mEndedFrames, mBlockLength);
                    mEndPosition = static_cast<int>(end == 0 ? mBufferLength : end);
                }
                if (first) {
                    std::memcpy(mRing + static_cast<std::size_t>(mBufferLength) * mFrameBytes, mRing,
                                static_cast<std::size_t>(2 * mOverlap) * mFrameBytes);
                }
                --mFillCount;
            }

            unsigned int k = n;
            bool refill = false;
            bool endsSource = false;
            if (step > 256) {
                int64_t available = spanToRefill();
                if (mEndPosition != -1) {
                    // The end is ahead of the reader in the ring's order: it
                    // may lie in the block past the ring's wrap.
                    int64_t toEnd = fixedFromWhole(mEndPosition) - mBufferPosition;
                    if (toEnd < 0) {
                        toEnd += fixedFromWhole(mBufferLength);
                    }
                    if (toEnd <= available) {
                        available = static_cast<int64_t>(toEnd);
                        endsSource = true;
                    }
                }
                const uint64_t a = available > 0 ? static_cast<uint64_t>(available) : 0;
                const uint64_t frames = a / static_cast<uint64_t>(step) + (a % static_cast<uint64_t>(step) ? 1 : 0);
                if (frames > n) {
                    endsSource = false;
                } else {
                    k = static_cast<unsigned int>(frames);
                    refill = !endsSource;
                }
            }
            if (k > 0) {
                float *dest = out + static_cast<std::size_t>(o) * channels;
                if (step == FIXED_ONE || mSystem->mResampleMethod == AURA_DSP_RESAMPLER_NOINTERP) {
                    AURA_Resampler_NoInterp(dest, k, mRing, mSourceFormat, &mBufferPosition, &step, channels);
                } else {
                    AURA_Resampler_Linear(dest, k, mRing, mSourceFormat, &mBufferPosition, &step, channels);
                }
                if (fixedWhole(mBufferPosition) >= static_cast<int64_t>(mBufferLength + mOverlap)) {
                    mBufferPosition -= fixedFromWhole(mBufferLength);
                }
                o += k;
                n -= k;
                produced += k;
            }
            if (endsSource) {
                finishAt(out, o, n, channels, tick);
                n = 0;
                break;
            }
            if (refill) {
                ++mFillCount;
            }
        }

        // The source position follows what was resampled, with the loop.
        ResamplerPlayState &state = *mPlayState;
        unsigned int loopLength = state.mLoopLength;
        if (mLength < state.mLoopStart + loopLength) {
            loopLength = mLength > state.mLoopStart ? mLength - state.mLoopStart : 0;
        }
        const bool looping = (state.mMode & AURA_LOOP_NORMAL) && mLoopCount != 0 && loopLength > 0;
        const int64_t advance = static_cast<int64_t>(produced) * step;
        int64_t position = mPosition.load(std::memory_order_relaxed);
        if (mDirection.load(std::memory_order_relaxed) == 0) {
            position += advance;
            const int64_t boundary = looping ? static_cast<int64_t>(state.mLoopStart) + loopLength : mLength;
            if (fixedWhole(position) >= boundary) {
                if (!(state.mMode & AURA_LOOP_NORMAL) && mLength != LENGTH_UNKNOWN) {
                    position = fixedFromWhole(mLength) | fixedFraction(position);
                } else if (loopLength > 0) {
                    const int64_t over = fixedWhole(position) - state.mLoopStart;
                    position = fixedFromWhole(state.mLoopStart + over % loopLength) | fixedFraction(position);
                }
            }
        } else {
            position -= advance;
            const int64_t boundary = looping ? static_cast<int64_t>(state.mLoopStart) : 0;
            if (fixedWhole(position) <= boundary) {
                if (!(state.mMode & AURA_LOOP_NORMAL) && mLength != LENGTH_UNKNOWN) {
                    position = 0;
                } else if (loopLength > 0) {
                    position += fixedFromWhole(loopLength);
                }
            }
        }
        mPosition.store(position, std::memory_order_release);
        setDSPTick(tick);
    }
    if (outbuffer) {
        *outbuffer = mBuffer;
    }
    if (outchannels) {
        *outchannels = channels;
    }
    return AURA_OK;
}

AURA_RESULT DSPResampler::addInput(DSPI *input)
{
    return DSPI::addInput(input, nullptr);
}

// ---------------------------------------------------------------------------

AURA_RESULT DSPResamplerMultiInput::addInput(DSPI *input)
{
    const AURA_RESULT result = DSPI::addInput(input, nullptr);
    if (result != AURA_OK) {
        return result;
    }
    mFillPosition = 0;
    mFillCount = 2;
    mPosition.store(0, std::memory_order_release);
    mBufferPosition = 0;
    return AURA_OK;
}

AURA_RESULT DSPResamplerMultiInput::read(float **outbuffer, int *outchannels, unsigned int *length,
                                         AURA_SPEAKERMODE speakermode, int speakermodechannels, unsigned int tick)
{
    if (!length) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (tick >= mPlayState->mFinishTick.load(std::memory_order_acquire)) {
        setFlags(DSPI_FLAG_IDLE);
        return AURA_OK;
    }
    if (!mBuffer || !mRing) {
        return AURA_ERR_INTERNAL;
    }
    setFlags(DSPI_FLAG_IDLE);
    if (getDSPTick() == tick) {
        clearFlags(DSPI_FLAG_IDLE);
        if (outbuffer) {
            *outbuffer = mBuffer;
        }
        if (outchannels) {
            *outchannels = mInputChannels;
        }
        return AURA_OK;
    }

    AURA_RESULT result = AURA_OK;
    unsigned int n = std::min(*length, mSystem->mDSPBlockSize);
    unsigned int o = 0;
    const int64_t step = mStep.load(std::memory_order_acquire);
    // The ring holds float frames of mInputChannels floats (up to the
    // unit's channel count).
    if (mInputChannels <= 0 || mInputChannels > mChannels) {
        mInputChannels = mChannels;
    }
    float *output = mBuffer;
    while (n > 0) {
        while (mFillCount > 0) {
            (void)updateDSPTick(tick - 1);
            float *block = nullptr;
            int channels = 0;
            unsigned int blockLength = mBlockLength;
            mBuffer = alignFloats(mPullMemory);
            const AURA_RESULT pulled =
                DSPFilter::read(&block, &channels, &blockLength, speakermode, speakermodechannels, tick);
            mBuffer = output;
            const bool silent =
                pulled != AURA_OK || !block || channels <= 0 || channels > mChannels || hasFlags(DSPI_FLAG_IDLE);
            if (!silent) {
                mInputChannels = channels;
            }
            const std::size_t frameBytes = static_cast<std::size_t>(mInputChannels) * sizeof(float);
            auto *dest = reinterpret_cast<float *>(mRing + mFillPosition * frameBytes);
            if (silent) {
                std::memset(dest, 0, mBlockLength * frameBytes);
                if (pulled != AURA_OK) {
                    result = pulled;
                }
            } else {
                // Frames are kept at the ring's stride of mInputChannels floats.
                std::memcpy(dest, block, static_cast<std::size_t>(blockLength) * channels * sizeof(float));
                if (blockLength < mBlockLength) {
                    std::memset(dest + static_cast<std::size_t>(blockLength) * channels, 0,
                                static_cast<std::size_t>(mBlockLength - blockLength) * channels * sizeof(float));
                }
            }
            setFlags(DSPI_FLAG_IDLE);
            const bool first = mFillPosition == 0;
            mFillPosition += mBlockLength;
            if (mFillPosition >= mBufferLength) {
                mFillPosition = 0;
            }
            if (first) {
                std::memcpy(mRing + static_cast<std::size_t>(mBufferLength) * mInputChannels * sizeof(float), mRing,
                            static_cast<std::size_t>(2 * mOverlap) * mInputChannels * sizeof(float));
            }
            --mFillCount;
        }

        unsigned int k = n;
        bool refill = false;
        if (step > 256) {
            const int64_t available = spanToRefill();
            const uint64_t a = available > 0 ? static_cast<uint64_t>(available) : 0;
            const uint64_t frames = a / static_cast<uint64_t>(step) + (a % static_cast<uint64_t>(step) ? 1 : 0);
            if (frames <= n) {
                k = static_cast<unsigned int>(frames);
                refill = true;
            }
        }
        if (k > 0) {
            float *dest = output + static_cast<std::size_t>(o) * mInputChannels;
            if (step == FIXED_ONE) {
                const auto *src = reinterpret_cast<const float *>(mRing) +
                                  static_cast<std::size_t>(fixedWhole(mBufferPosition)) * mInputChannels;
                std::memcpy(dest, src, static_cast<std::size_t>(k) * mInputChannels * sizeof(float));
                mBufferPosition += fixedFromWhole(k);
            } else if (mSystem->mResampleMethod == AURA_DSP_RESAMPLER_NOINTERP) {
                AURA_Resampler_NoInterp(dest, k, mRing, AURA_SOUND_FORMAT_PCMFLOAT, &mBufferPosition, &step,
                                        mInputChannels);
            } else {
                AURA_Resampler_Linear(dest, k, mRing, AURA_SOUND_FORMAT_PCMFLOAT, &mBufferPosition, &step,
                                      mInputChannels);
            }
            clearFlags(DSPI_FLAG_IDLE);
            if (fixedWhole(mBufferPosition) >= static_cast<int64_t>(mBufferLength + mOverlap)) {
                mBufferPosition -= fixedFromWhole(mBufferLength);
            }
            o += k;
            n -= k;
        }
        if (refill) {
            ++mFillCount;
        }
    }
    setDSPTick(tick);
    if (outbuffer) {
        *outbuffer = mBuffer;
    }
    if (outchannels) {
        *outchannels = mInputChannels;
    }
    return result;
}

} // namespace AURA
