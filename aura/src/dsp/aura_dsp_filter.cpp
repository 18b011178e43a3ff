#include "dsp/aura_dsp_filter.h"

#include "dsp/aura_dsp_mixer.h"
#include "dsp/aura_dsp_connectioni.h"
#include "os/aura_os.h"

#include <algorithm>
#include <cstring>

namespace AURA {

namespace {

// The two lines of a connection, found through its input-side link.
void prefetchConnection(const LinkedListNode *node)
{
    __builtin_prefetch(node);
    __builtin_prefetch(reinterpret_cast<const char *>(node) + 64);
}

// The inputs a unit reads next, PREFETCH_AHEAD of them, each a link deeper
// the nearer it comes: the farthest one's connection, then its unit, and so
// on down, so that every link is in the cache by the time it is followed.
// Worth it only where the inputs' records no longer fit the caches.
constexpr int PREFETCH_AHEAD = 6;
constexpr int PREFETCH_INPUTS = 256;

void prefetchInputs(const LinkedListNode *current, const LinkedListNode *head)
{
    const LinkedListNode *node = current->mNext;
    for (int d = 1; d <= PREFETCH_AHEAD && node != head; ++d, node = node->mNext) {
        if (d == PREFETCH_AHEAD) {
            prefetchConnection(node);
        } else {
            const auto *connection = static_cast<const DSPConnectionI *>(node->mData);
            if (d == PREFETCH_AHEAD - 1) {
                __builtin_prefetch(connection->mLevelCurrent);
            }
            connection->mInputUnit->prefetch(PREFETCH_AHEAD - 1 - d);
        }
    }
}

void clearFloats(float *buffer, unsigned int frames, int channels)
{
    std::memset(buffer, 0, static_cast<std::size_t>(frames) * static_cast<std::size_t>(channels) * sizeof(float));
}

void copyFloats(float *dest, const float *source, unsigned int frames, int channels)
{
    std::memcpy(dest, source,
                static_cast<std::size_t>(frames) * static_cast<std::size_t>(channels) * sizeof(float));
}

unsigned int nowMicroseconds()
{
    unsigned int now = 0;
    (void)AURA_OS_Time_GetNs(&now);
    return now;
}

void accumulate(unsigned short &accumulator, unsigned int since)
{
    accumulator = static_cast<unsigned short>(accumulator + (nowMicroseconds() - since));
}

} // namespace

AURA_RESULT DSPFilter::read(float **outbuffer, int *outchannels, unsigned int *length,
                            AURA_SPEAKERMODE speakermode, int speakermodechannels,
                            unsigned int tick)
{
    if (!length || !mSystem || speakermodechannels <= 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (*length > mSystem->mDSPBlockSize) {
        *length = mSystem->mDSPBlockSize;
    }
    const int maxChannels = std::max(mSystem->mMaxInputChannels, mSystem->mMaxOutputChannels);
    float *block = nullptr;
    int channels = 0;
    setFlags(DSPI_FLAG_IDLE);

    auto finish = [&](AURA_RESULT result) {
        if (outbuffer) {
            *outbuffer = block;
        }
        if (outchannels) {
            *outchannels = channels;
        }
        return result;
    };

    if (getDSPTick() == tick) {
        // Produced already in this tick (a second output reads it).
        clearFlags(DSPI_FLAG_IDLE);
        block = mBuffer;
        channels = mBufferChannels;
        return finish(AURA_OK);
    }

    const bool profiling = (mSystem->mFlags & 0x20) != 0;
    unsigned int start = profiling ? nowMicroseconds() : 0;
    const bool soundcard = mDescription.mCategory == AURA_DSP_CATEGORY_SOUNDCARD;
    AURA_RESULT result = AURA_OK;
    bool mixed = false;

    const bool prefetching = mNumInputs >= PREFETCH_INPUTS;
    for (LinkedListNode *n = mInputHead.mNext; n != &mInputHead; n = n->mNext) {
        if (prefetching) {
            prefetchInputs(n, &mInputHead);
        }
        auto *connection = static_cast<DSPConnectionI *>(n->mData);
        DSPI *input = connection->mInputUnit;
        const unsigned int inputFlags = input->flags();
        if ((inputFlags & (DSPI_FLAG_ACTIVE | DSPI_FLAG_FINISHED | DSPI_FLAG_QUEUEDFORDISCONNECT)) !=
            DSPI_FLAG_ACTIVE) {
            input->setFlags(DSPI_FLAG_IDLE);
            input->setDSPTick(tick);
            continue;
        }
        // A send at volume 0 from an input already produced in this tick
        // (another output read it) adds nothing and moves nothing on.
        if (connection->silent() && input->getDSPTick() == tick) {
            continue;
        }
        if (profiling) {
            accumulate(mCPUUsageTemp, start);
        }
        if (!profiling && mixFused(connection, input->fusedChannels(tick, speakermodechannels), length, speakermode,
                                   speakermodechannels, tick, mixed, result)) {
            if (result != AURA_OK) {
                break;
            }
            continue;
        }
        float *inbuffer = nullptr;
        int inchannels = 0;
        result = input->read(&inbuffer, &inchannels, length, speakermode, speakermodechannels, tick);
        if (result != AURA_OK) {
            break;
        }
        if (profiling) {
            start = nowMicroseconds();
        }
        // A connection at volume 0 adds nothing: its input was produced (and
        // moved on) all the same, but nothing is mixed, as for an idle one.
        if (input->hasFlags(DSPI_FLAG_IDLE) || !inbuffer || inchannels <= 0 || connection->silent()) {
            if (connection->mRampCount) {
                connection->settleRamp();
            }
            input->setDSPTick(tick);
            continue;
        }
        clearFlags(DSPI_FLAG_IDLE);

        if (passesThrough(connection, inchannels, speakermodechannels)) {
            if (connection->mRampCount) {
                connection->settleRamp();
            }
            input->setDSPTick(tick);
            block = inbuffer;
            channels = inchannels;
            continue;
        }

        if (!mBuffer) {
            result = AURA_ERR_INTERNAL; // a unit that mixes must sit in a tree
            break;
        }
        connection->followInput(inchannels, speakermodechannels, speakermode);
        if (!mixed) {
            clearFloats(mBuffer, *length, speakermodechannels);
        }
        connection->mix(mBuffer, inbuffer, speakermodechannels, inchannels, *length);
        mixed = true;
        input->setDSPTick(tick);
    }

    if (mixed) {
        block = mBuffer;
        channels = speakermodechannels;
    }

    if (mDescription.read && !hasFlags(DSPI_FLAG_BYPASS) && mBuffer) {
        float *in = block;
        if (mDescription.channels) {
            channels = mDescription.channels;
            in = mSystem->mDSPTempBuffer;
            clearFloats(in, *length, channels);
        } else {
            if (channels == 0) {
                channels = speakermodechannels;
            }
            if (!in || in == mBuffer) {
                float *scratch = mSystem->mDSPTempBuffer;
                if (in && channels <= maxChannels) {
                    copyFloats(scratch, in, *length, channels);
                }
                in = scratch;
            }
        }
        if (channels <= maxChannels) {
            if (hasFlags(DSPI_FLAG_IDLE)) {
                clearFloats(in, *length, channels);
            }
            bindState();
            (void)mDescription.read(&mDSPState, in, mBuffer, *length, channels, channels);
            block = mBuffer;
            clearFlags(DSPI_FLAG_IDLE);
        }
    }

    if (mNumOutputs > 1 && mDescription.mCategory != AURA_DSP_CATEGORY_RESAMPLER && mBuffer) {
        // Several outputs read this block in one tick: keep it in the unit's
        // own buffer, silence included.
        if (!block) {
            channels = speakermodechannels;
            clearFloats(mBuffer, *length, channels);
        } else if (block != mBuffer) {
            copyFloats(mBuffer, block, *length, channels);
        }
        block = mBuffer;
        mBufferChannels = channels;
        clearFlags(DSPI_FLAG_IDLE);
    }

    if (mHistoryBuffer) {
        if (channels == 0) {
            channels = speakermodechannels;
        }
        writeHistory(block, *length, channels);
    }

    if (profiling) {
        accumulate(mCPUUsageTemp, start);
        if (!soundcard) {
            (void)calculatePeaks(block, *length, static_cast<unsigned int>(channels), nullptr);
            if (mDescription.mCategory != AURA_DSP_CATEGORY_RESAMPLER) {
                mCPUUsage = mCPUUsageTemp;
                mCPUUsageTemp = 0;
            }
        }
    }
    return finish(result);
}

bool DSPFilter::passesThrough(const DSPConnectionI *connection, int inchannels, int speakermodechannels) const
{
    // A lone input at unit level is handed on as it is, not mixed.
    return mNumInputs <= 1 && connection->mVolume == 1.0f &&
           (mDescription.mCategory != AURA_DSP_CATEGORY_SOUNDCARD || inchannels == speakermodechannels) &&
           (!connection->mLevelsSet || connection->checkUnity(speakermodechannels, inchannels) == 0) &&
           (!mDescription.read || mDescription.channels == 0 || mDescription.channels == inchannels);
}

bool DSPFilter::mixFused(DSPConnectionI *connection, int inchannels, unsigned int *length,
                         AURA_SPEAKERMODE speakermode, int speakermodechannels, unsigned int tick, bool &mixed,
                         AURA_RESULT &result)
{
    if (inchannels <= 0 || inchannels > 2 || speakermodechannels > 2 || !mBuffer ||
        passesThrough(connection, inchannels, speakermodechannels)) {
        return false;
    }
    connection->followInput(inchannels, speakermodechannels, speakermode);
    // Frames under a ramp are mixed the ordinary way, from the input's own
    // block; the rest straight through the levels the ramp ends on.
    FusedMix mix;
    mix.out = mBuffer;
    mix.outChannels = speakermodechannels;
    mix.rampFrames = std::min(static_cast<unsigned int>(connection->mRampCount), *length);
    connection->steadyLevels(mix.levels);
    if (!mixed) {
        clearFloats(mBuffer, *length, speakermodechannels);
        mixed = true;
    }
    DSPI *input = connection->mInputUnit;
    float *rampblock = nullptr;
    result = input->readFused(mix, length, tick, &rampblock);
    if (result == AURA_OK && mix.rampFrames > 0 && rampblock) {
        connection->mix(mBuffer, rampblock, speakermodechannels, inchannels, mix.rampFrames);
    }
    input->setDSPTick(tick);
    clearFlags(DSPI_FLAG_IDLE);
    mSystem->mFusedBlocks.store(mSystem->mFusedBlocks.load(std::memory_order_relaxed) + 1,
                                std::memory_order_relaxed);
    return true;
}

void DSPFilter::prefetch(int depth) const
{
    if (depth == 0) {
        DSPI::prefetch(0);
        __builtin_prefetch(&mHistoryBuffer);
        return;
    }
    if (mNumInputs == 0) {
        return;
    }
    const LinkedListNode *node = mInputHead.mNext;
    if (depth == 1) {
        prefetchConnection(node);
    } else {
        static_cast<const DSPConnectionI *>(node->mData)->mInputUnit->prefetch(depth - 2);
    }
}

int DSPFilter::fusedChannels(unsigned int tick, int speakermodechannels)
{
    // Only a unit that would hand its one input's block on unchanged.
    if (mNumInputs != 1 || mNumOutputs != 1 || mHistoryBuffer || getDSPTick() == tick ||
        (mDescription.read && !hasFlags(DSPI_FLAG_BYPASS)) || (mSystem->mFlags & 0x20)) {
        return 0;
    }
    const auto *connection = static_cast<const DSPConnectionI *>(mInputHead.mNext->mData);
    DSPI *input = connection->mInputUnit;
    if ((input->flags() & (DSPI_FLAG_ACTIVE | DSPI_FLAG_FINISHED | DSPI_FLAG_QUEUEDFORDISCONNECT)) !=
        DSPI_FLAG_ACTIVE) {
        return 0;
    }
    const int channels = input->fusedChannels(tick, speakermodechannels);
    return channels > 0 && passesThrough(connection, channels, speakermodechannels) ? channels : 0;
}

AURA_RESULT DSPFilter::readFused(const FusedMix &mix, unsigned int *length, unsigned int tick, float **rampblock)
{
    auto *connection = static_cast<DSPConnectionI *>(mInputHead.mNext->mData);
    if (connection->mRampCount) {
        connection->settleRamp();
    }
    DSPI *input = connection->mInputUnit;
    const AURA_RESULT result = input->readFused(mix, length, tick, rampblock);
    input->setDSPTick(tick);
    clearFlags(DSPI_FLAG_IDLE);
    return result;
}

void DSPFilter::writeHistory(const float *block, unsigned int length, int channels)
{
    const int capacity = std::max(mSystem->mMaxInputChannels, mSystem->mMaxOutputChannels);
    channels = std::min(channels, capacity);
    unsigned int done = 0;
    while (done < length) {
        const unsigned int piece =
            std::min(length - done, static_cast<unsigned int>(DSP_HISTORYLENGTH) - mHistoryPosition);
        float *dest = mHistoryBuffer + static_cast<std::size_t>(mHistoryPosition) * channels;
        if (block) {
            copyFloats(dest, block + static_cast<std::size_t>(done) * channels, piece, channels);
        } else {
            clearFloats(dest, piece, channels);
        }
        done += piece;
        mHistoryPosition += piece;
        if (mHistoryPosition >= static_cast<unsigned int>(DSP_HISTORYLENGTH)) {
            mHistoryPosition = 0;
        }
    }
}

AURA_RESULT DSPFilter::release(bool freethis)
{
    (void)stopBuffering();
    return DSPI::release(freethis);
}

AURA_RESULT DSPFilter::startBuffering()
{
    if (mHistoryBuffer) {
        return AURA_OK;
    }
    if (!mSystem) {
        return AURA_ERR_UNINITIALIZED;
    }
    CriticalSectionGuard guard(mSystem->mDSPCrit);
    if (mHistoryBuffer) {
        return AURA_OK; // made by another thread meanwhile
    }
    mHistoryPosition = 0;
    const int channels = std::max(mSystem->mMaxInputChannels, mSystem->mMaxOutputChannels);
    float *buffer = nullptr;
    const AURA_RESULT result = createHistoryBuffer(&buffer, channels);
    if (result == AURA_OK) {
        mHistoryBuffer = buffer;
    }
    return result;
}

AURA_RESULT DSPFilter::stopBuffering()
{
    if (mHistoryBuffer && mSystem) {
        CriticalSectionGuard guard(mSystem->mDSPCrit);
        if (releaseHistoryBuffer(mHistoryBuffer) == AURA_OK) {
            mHistoryBuffer = nullptr;
        }
    }
    return AURA_OK;
}

AURA_RESULT DSPFilter::getHistoryBuffer(float **buffer, unsigned int *position, unsigned int *length)
{
    if (buffer) {
        *buffer = mHistoryBuffer;
    }
    if (position) {
        *position = mHistoryPosition;
    }
    if (length) {
        *length = DSP_HISTORYLENGTH;
    }
    return AURA_OK;
}

} // namespace AURA
