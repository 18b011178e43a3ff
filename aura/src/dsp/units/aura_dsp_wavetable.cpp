#include "dsp/units/aura_dsp_wavetable.h"

#include "base/aura_memory.h"
#include "dsp/aura_dsp_mixer.h"
#include "dsp/units/aura_dsp_mixkernels.h"
#include "dsp/units/aura_dsp_soundcard.h"
#include "os/aura_os.h"

#include <algorithm>
#include <cstring>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_dsp_wavetable";
// The most of the next voice's frames asked for ahead of its mix.
constexpr int64_t PREFETCH_BYTES = 4096;

// Positive remainder of a whole frame offset into a loop.
int64_t wrapInto(int64_t whole, int64_t start, int64_t length)
{
    int64_t offset = (whole - start) % length;
    if (offset < 0) {
        offset += length;
    }
    return start + offset;
}

uint64_t ceilDivide(uint64_t distance, uint64_t step)
{
    return distance / step + (distance % step ? 1 : 0);
}
} // namespace

AURA_DSP_DESCRIPTION_EX DSPWaveTable::makeDescription(int channels, AURA_SOUND_FORMAT format)
{
    AURA_DSP_DESCRIPTION_EX description{};
    std::strncpy(description.name, "AURA WaveTable Unit", sizeof(description.name) - 1);
    description.version = 0x00010100;
    description.channels = channels;
    description.reset = &resetCallback;
    description.setposition = &setPositionCallback;
    description.setparameter = &setParameterCallback;
    description.getparameter = &getParameterCallback;
    description.mFormat = format;
    description.mCategory = AURA_DSP_CATEGORY_WAVETABLE;
    description.mSize = sizeof(DSPWaveTable);
    return description;
}

AURA_RESULT DSPWaveTable::alloc(AURA_DSP_DESCRIPTION_EX *description)
{
    AURA_RESULT result = DSPI::alloc(description);
    if (result != AURA_OK) {
        return result;
    }
    if (!mSystem) {
        return AURA_ERR_UNINITIALIZED;
    }
    mFrequency = 0.0f;
    mDirection.store(0, std::memory_order_relaxed);
    mTargetFrequency = mSystem->mOutputRate;
    mNewPosition.store(NO_NEW_POSITION, std::memory_order_relaxed);
    mFinishTick.store(NOT_FINISHED, std::memory_order_relaxed);
    setDSPTick(0xFFFFFFFFu);
    mTickSource = description->mTickSource ? description->mTickSource : static_cast<DSPI *>(mSystem->mDSPSoundCard);
    // The unit's own output block, sized for the most channels a sound may
    // have; graph changes never take it away.
    if (!mBufferMemory) {
        mBufferMemory = AURA_Memory_Calloc(blockBufferBytes());
        if (!mBufferMemory) {
            return AURA_ERR_MEMORY;
        }
    }
    mOwnsBuffer = true;
    mBuffer = reinterpret_cast<float *>((reinterpret_cast<uintptr_t>(mBufferMemory) + 15) & ~uintptr_t{15});
    return AURA_OK;
}

AURA_RESULT DSPWaveTable::setFrequency(float frequency)
{
    if (frequency < 0.0f) {
        mDirection.store(1, std::memory_order_relaxed);
        frequency = -frequency;
    } else if (mSound && !(mChannel && (mChannel->mMode & AURA_LOOP_BIDI))) {
        // A bidirectional loop keeps the direction it has reached.
        mDirection.store(0, std::memory_order_relaxed);
    }
    mFrequency = frequency;
    const float target = static_cast<float>(mTargetFrequency > 0 ? mTargetFrequency : 1);
    mStep.store(static_cast<int64_t>(frequency / target * 4294967296.0f), std::memory_order_release);
    return AURA_OK;
}

AURA_RESULT DSPWaveTable::setFinished(bool finished, bool force)
{
    if (!finished) {
        mFinishTick.store(NOT_FINISHED, std::memory_order_release);
        clearFlags(DSPI_FLAG_FINISHED);
        return AURA_OK;
    }
    if (force && mSystem) {
        // Finished now, not after the next block: the tick source has
        // always passed tick 0.
        CriticalSectionGuard guard(mSystem->mDSPCrit);
        mFinishTick.store(0, std::memory_order_release);
        return AURA_OK;
    }
    if (mTickSource) {
        mFinishTick.store(mTickSource->getDSPTick() + 1, std::memory_order_release);
    }
    return AURA_OK;
}

AURA_RESULT DSPWaveTable::getFinished(bool *finished)
{
    if (!finished) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!mTickSource) {
        *finished = true;
        return AURA_OK;
    }
    *finished = mFinishTick.load(std::memory_order_acquire) < mTickSource->getDSPTick() ||
                hasFlags(DSPI_FLAG_FINISHED);
    return AURA_OK;
}

AURA_RESULT DSPWaveTable::setPositionInternal(unsigned int position)
{
    if (!mSound) {
        return AURA_ERR_INVALID_PARAM;
    }
    mNewPosition.store(std::min(position, mSound->mLength), std::memory_order_release);
    return AURA_OK;
}

AURA_RESULT DSPWaveTable::setPositionCallback(AURA_DSP_STATE *state, unsigned int position)
{
    auto *unit = state ? static_cast<DSPWaveTable *>(static_cast<DSPI *>(state->instance)) : nullptr;
    return unit ? unit->setPositionInternal(position) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT DSPWaveTable::resetCallback(AURA_DSP_STATE *state)
{
    auto *unit = state ? static_cast<DSPWaveTable *>(static_cast<DSPI *>(state->instance)) : nullptr;
    if (unit) {
        unit->mNewPosition.store(NO_NEW_POSITION, std::memory_order_release);
    }
    return AURA_OK;
}

AURA_RESULT DSPWaveTable::setParameterCallback(AURA_DSP_STATE *, int, float)
{
    return AURA_ERR_INVALID_PARAM; // the unit has no parameters
}

AURA_RESULT DSPWaveTable::getParameterCallback(AURA_DSP_STATE *, int, float *, char *)
{
    return AURA_ERR_INVALID_PARAM;
}

void DSPWaveTable::Destination::silence(unsigned int from, unsigned int frames, int channels) const
{
    // Silence adds nothing to the reader's block.
    if (from < blockFrames) {
        zeroFrames(block, from, std::min(frames, blockFrames - from), channels);
    }
}

void DSPWaveTable::finishAt(const Destination &to, unsigned int from, unsigned int frames, int channels,
                            unsigned int tick)
{
    to.silence(from, frames, channels);
    mFinishTick.store(tick, std::memory_order_release);
    setFlags(DSPI_FLAG_FINISHED);
}

AURA_RESULT DSPWaveTable::read(float **outbuffer, int *outchannels, unsigned int *length, AURA_SPEAKERMODE, int,
                               unsigned int tick)
{
    if (!length || !mBuffer || !mSystem) {
        return AURA_ERR_INVALID_PARAM;
    }
    clearFlags(DSPI_FLAG_FINISHED | DSPI_FLAG_IDLE);
    if (getDSPTick() != tick) {
        setDSPTick(tick);
        const unsigned int n = std::min(*length, mSystem->mDSPBlockSize);
        Destination to;
        to.block = mBuffer;
        to.blockFrames = n;
        produce(to, n, tick);
    }
    if (outbuffer) {
        *outbuffer = mBuffer;
    }
    if (outchannels) {
        *outchannels = mSound ? mSound->mChannels : 1;
    }
    return AURA_OK;
}

void DSPWaveTable::prefetch(int depth) const
{
    const SampleSource *sound = mSound;
    switch (depth) {
    case 0:
        DSPI::prefetch(0);
        __builtin_prefetch(&mPosition);
        __builtin_prefetch(&mTickSource);
        break;
    case 1:
        if (sound) {
            __builtin_prefetch(sound);
            __builtin_prefetch(&sound->mLength);
        }
        __builtin_prefetch(mChannel);
        break;
    case 2:
        // The frames the next block reads, where they lie in a row: with a
        // sample per voice they come from memory, and the lines ask for them
        // while the voices before this one mix.
        if (const uint8_t *data = sound ? sound->getSampleData() : nullptr) {
            const int64_t whole = fixedWhole(mPosition.load(std::memory_order_relaxed));
            const int64_t length = sound->mLength;
            if (whole >= 0 && whole < length) {
                const unsigned int frameBytes = resamplerFrameBytes(sound->mFormat, sound->mChannels);
                const uint8_t *at = data + static_cast<std::size_t>(whole) * frameBytes;
                __builtin_prefetch(at);
                __builtin_prefetch(at + 64);
                const int64_t step = mStep.load(std::memory_order_relaxed);
                const int64_t frames = fixedWhole(int64_t{mSystem->mDSPBlockSize} * step) + 1;
                const bool backwards = mDirection.load(std::memory_order_relaxed) == 1;
                const int64_t room = backwards ? whole : length - whole;
                const int64_t bytes = std::min<int64_t>(std::min(frames, room) * frameBytes, PREFETCH_BYTES);
                for (int64_t line = 128; line < bytes; line += 64) {
                    __builtin_prefetch(backwards ? at - line : at + line, 0, 2);
                }
            }
        }
        break;
    default:
        break;
    }
}

int DSPWaveTable::fusedChannels(unsigned int tick, int)
{
    const SampleSource *sound = mSound;
    if (!sound || mNumOutputs != 1 || getDSPTick() == tick || mixKernelSet() == MixKernelSet::General ||
        (sound->mChannels != 1 && sound->mChannels != 2) || !sound->getSampleData() || sound->sentenceEntries() > 0) {
        return 0;
    }
    const AURA_SOUND_FORMAT format = sound->mFormat;
    const bool fits = format == AURA_SOUND_FORMAT_PCM8 || format == AURA_SOUND_FORMAT_PCM16 ||
                      format == AURA_SOUND_FORMAT_PCMFLOAT;
    return fits ? sound->mChannels : 0;
}

AURA_RESULT DSPWaveTable::readFused(const FusedMix &mix, unsigned int *length, unsigned int tick, float **rampblock)
{
    clearFlags(DSPI_FLAG_FINISHED | DSPI_FLAG_IDLE);
    setDSPTick(tick);
    const unsigned int n = std::min(*length, mSystem->mDSPBlockSize);
    Destination to;
    to.block = mBuffer;
    to.blockFrames = std::min(mix.rampFrames, n);
    to.mix.out = mix.out;
    to.mix.outChannels = mix.outChannels;
    to.mix.inChannels = mSound->mChannels;
    to.mix.format = mSound->mFormat;
    to.mix.source = mSound->getSampleData();
    std::memcpy(to.mix.levels, mix.levels, sizeof(to.mix.levels));
    produce(to, n, tick);
    *rampblock = mBuffer;
    return AURA_OK;
}

bool DSPWaveTable::sentenceEntryAt(const SampleSource &sound, int64_t whole, Entry *entry) const
{
    int at = 0;
    uint64_t start = 0;
    sound.locateSentenceEntry(static_cast<uint64_t>(std::max<int64_t>(whole, 0)), &at, &start);
    unsigned int length = 0;
    const SampleSource *source = sound.sentenceEntry(at, &length);
    if (!source || !source->getSampleData()) {
        return false;
    }
    entry->data = source->getSampleData();
    entry->start = static_cast<int64_t>(start);
    entry->length = length;
    entry->next = nullptr;
    if (at + 1 < sound.sentenceEntries()) {
        unsigned int nextLength = 0;
        const SampleSource *next = sound.sentenceEntry(at + 1, &nextLength);
        entry->next = next ? next->getSampleData() : nullptr;
    }
    return true;
}

void DSPWaveTable::produce(Destination &to, unsigned int n, unsigned int tick)
{
    // Mostly nothing is pending: looked at before it is taken.
    if (mNewPosition.load(std::memory_order_acquire) != NO_NEW_POSITION) {
        const unsigned int pending = mNewPosition.exchange(NO_NEW_POSITION, std::memory_order_acq_rel);
        if (pending != NO_NEW_POSITION) {
            mPosition.store(fixedFromWhole(pending), std::memory_order_relaxed);
        }
    }

    const SampleSource *sound = mSound;
    const int channels = sound ? sound->mChannels : 1;
    // A sentence plays its entries' data; the sound itself holds none.
    const int sentence = sound ? sound->sentenceEntries() : 0;
    const uint8_t *data = sound ? sound->getSampleData() : nullptr;
    const unsigned int frameBytes = sound ? resamplerFrameBytes(sound->mFormat, channels) : 0;
    if ((!data && sentence == 0) || frameBytes == 0 || channels <= 0 || channels > DSP_MAXCHANNELS ||
        sound->mLength == 0) {
        finishAt(to, 0, n, std::max(channels, 1), tick);
        return;
    }
    const int64_t length64 = sound->mLength;
    bool ended = false;
    unsigned int o = applyClockWindow(*this, mSystem->mDSPClock.load(std::memory_order_acquire), mDSPClockStart,
                                      mDSPClockEnd, mDSPClockPause, 0, to.block, &n, channels, &ended,
                                      to.blockFrames);
    if (ended) {
        finishAt(to, 0, 0, channels, tick);
    }
    const int64_t stepMagnitude = mStep.load(std::memory_order_acquire);
    const bool nearest = stepMagnitude == FIXED_ONE || mSystem->mResampleMethod == AURA_DSP_RESAMPLER_NOINTERP;
    to.mix.linear = !nearest;
    WaveTableLoop *channel = mChannel;

    while (n > 0) {
        int64_t p = mPosition.load(std::memory_order_relaxed);
        const bool backwards = mDirection.load(std::memory_order_relaxed) == 1;
        const int64_t s = backwards ? -stepMagnitude : stepMagnitude;
        const unsigned int mode = channel ? channel->mMode : 0;
        int64_t loopStart = channel ? channel->mLoopStart : 0;
        int64_t loopLength = channel ? channel->mLoopLength : 0;
        // A loop must lie inside the sound; an empty one is no loop.
        loopStart = std::min(loopStart, length64);
        loopLength = std::min(loopLength, length64 - loopStart);
        const bool looping = channel && (mode & (AURA_LOOP_NORMAL | AURA_LOOP_BIDI)) && channel->mLoopCount != 0 &&
                             loopLength > 0;
        const int64_t loopEnd = loopStart + loopLength;
        // The end of a loop that ends early, once its wraps are used up.
        const bool endAhead = looping && (mode & AURA_LOOP_NORMAL) && !backwards && sentence == 0 &&
                              channel->mEndFrame != WaveTableLoop::NO_END && channel->mEndWraps == 0;
        const int64_t earlyEnd = endAhead ? std::min<int64_t>(channel->mEndFrame, loopEnd) : 0;

        // The part of the sound the position is in: all of it, or one
        // entry of a sentence (positions count in the whole sentence).
        // An entry that names no sound ends the voice, not the mix that
        // reads it.
        Entry entry{data, 0, length64, nullptr};
        if (sentence > 0 && !sentenceEntryAt(*sound, fixedWhole(p), &entry)) {
            finishAt(to, o, n, channels, tick);
            return;
        }
        const int64_t entryEnd = entry.start + entry.length;

        unsigned int k = n;
        bool boundary = false;
        bool entryChange = false;
        bool endsEarly = false;
        if (stepMagnitude > 256) {
            uint64_t distance = 0;
            if (!backwards) {
                int64_t end = (looping && fixedWhole(p) < loopEnd) ? loopEnd : length64;
                if (endAhead) {
                    // The data ends before the loop does (at once when
                    // the voice was moved past it).
                    end = earlyEnd;
                    endsEarly = true;
                }
                if (sentence > 0 && entryEnd < end) {
                    end = entryEnd;
                    entryChange = true;
                }
                distance = fixedWhole(p) < end ? static_cast<uint64_t>(fixedFromWhole(end) - p) : 0;
            } else {
                const int64_t whole = fixedWhole(p);
                int64_t start = (looping && loopStart <= whole) ? loopStart : 0;
                if (sentence > 0 && entry.start > start) {
                    start = entry.start;
                    entryChange = true;
                }
                distance = whole > start ? static_cast<uint64_t>(fixedFromWhole(whole - start)) : 0;
            }
            const uint64_t frames = ceilDivide(distance, static_cast<uint64_t>(stepMagnitude));
            if (frames <= n) {
                k = static_cast<unsigned int>(frames);
                boundary = true;
            } else {
                entryChange = false;
                endsEarly = false;
            }
        }

        if (k > 0) {
            // Frames outside the data are never read: the neighbour of the
            // last frame of a normal loop is the loop start, of an entry's
            // last frame the next entry's first, of the sound's last frame
            // the frame itself.
            ResamplerEdge edge;
            edge.lastframe = entry.length - 1;
            edge.edge = entry.next;
            if (!backwards && looping && (mode & AURA_LOOP_NORMAL) && fixedWhole(p) < loopEnd && loopEnd <= entryEnd) {
                Entry first{data, 0, length64, nullptr};
                if (sentence == 0 || sentenceEntryAt(*sound, loopStart, &first)) {
                    edge.lastframe = loopEnd - entry.start - 1;
                    edge.edge = first.data + static_cast<std::size_t>(loopStart - first.start) * frameBytes;
                }
            }
            if (endAhead && earlyEnd > 0) {
                // What follows the early end is no data: its last frame
                // stands beside itself, as at a sound's end.
                edge.lastframe = earlyEnd - 1;
                edge.edge = nullptr;
            }
            // The kernels read the entry's data from its own first frame.
            p -= fixedFromWhole(entry.start);
            // Parked outside the data (a position set past the end): nothing
            // to read, silence.
            const bool parked = fixedWhole(p) < 0 || fixedWhole(p) >= entry.length;
            unsigned int own = o < to.blockFrames ? std::min(k, to.blockFrames - o) : 0;
            if (own > 0) {
                float *dest = to.block + static_cast<std::size_t>(o) * channels;
                if (parked) {
                    std::memset(dest, 0, static_cast<std::size_t>(own) * channels * sizeof(float));
                    p += static_cast<int64_t>(own) * s;
                } else if (nearest) {
                    AURA_Resampler_NoInterp(dest, own, entry.data, sound->mFormat, &p, &s, channels);
                } else {
                    AURA_Resampler_Linear(dest, own, entry.data, sound->mFormat, &p, &s, channels, edge);
                }
            }
            if (own < k && to.mix.out) {
                MixRun run = to.mix;
                run.out = to.mix.out + static_cast<std::size_t>(o + own) * to.mix.outChannels;
                run.position = p;
                run.step = s;
                run.count = k - own;
                if (parked) {
                    p += static_cast<int64_t>(run.count) * s;
                } else {
                    mixResampled(run, edge, entry.length);
                    p = run.position;
                }
            }
            p += fixedFromWhole(entry.start);
            o += k;
            n -= k;
        }
        if (!boundary) {
            mPosition.store(p, std::memory_order_relaxed);
            break;
        }
        if (endsEarly) {
            mPosition.store(k == 0 && fixedWhole(p) > earlyEnd ? p : fixedFromWhole(earlyEnd),
                            std::memory_order_relaxed);
            finishAt(to, o, n, channels, tick);
            return;
        }
        if (entryChange) {
            // Forwards the next pass finds the next entry at the position;
            // backwards the position steps out of this one.
            if (backwards && fixedWhole(p) >= entry.start) {
                p -= FIXED_ONE;
            }
            mPosition.store(p, std::memory_order_relaxed);
            continue;
        }

        if (looping && (mode & AURA_LOOP_BIDI) && !(mode & AURA_LOOP_NORMAL)) {
            // Turn around at the loop's ends, mirrored about the end frames
            // so that no frame is played twice and none past them is read.
            if (!backwards) {
                p = fixedFromWhole(2 * (loopEnd - 1)) - p;
                mDirection.store(1, std::memory_order_relaxed);
            } else {
                p = fixedFromWhole(2 * loopStart) - p;
                mDirection.store(0, std::memory_order_relaxed);
            }
            p = std::clamp<int64_t>(p, fixedFromWhole(loopStart), fixedFromWhole(loopEnd - 1));
            if (fixedWhole(p) < 0) {
                p = 0;
            }
        } else if (looping) {
            p = fixedFromWhole(wrapInto(fixedWhole(p), loopStart, loopLength)) | fixedFraction(p);
            if (channel->mLoopCount > 0) {
                --channel->mLoopCount;
            }
            if (channel->mEndFrame != WaveTableLoop::NO_END && channel->mEndWraps > 0) {
                --channel->mEndWraps;
            }
        } else {
            mPosition.store(fixedFromWhole(length64), std::memory_order_relaxed);
            finishAt(to, o, n, channels, tick);
            return;
        }
        mPosition.store(p, std::memory_order_relaxed);
    }
}

} // namespace AURA
