#include "voice/aura_channelpool.h"

#include "voice/aura_channelreal.h"
#include "base/aura_memory.h"

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_channelpool";

void take(ChannelReal &voice)
{
    voice.mFlags.set(VoiceFlag::Taken);
    voice.mFlags.set(VoiceFlag::InUse);
    voice.mFlags.clear(VoiceFlag::Stopped);
}

void giveBack(ChannelReal &voice)
{
    voice.mFlags.clear(VoiceFlag::Taken);
    voice.mFlags.clear(VoiceFlag::InUse);
    voice.mFlags.set(VoiceFlag::Stopped);
    if (voice.mPool) {
        voice.mPool->noteFree(voice);
    }
}
} // namespace

ChannelPool::~ChannelPool()
{
    (void)release();
}

AURA_RESULT ChannelPool::init(SystemI *system, Output *output, int count)
{
    if (count < 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mChannel) {
        return AURA_ERR_INITIALIZED; // filled once; release first
    }
    if (count > 0) {
        const auto bytes = static_cast<long long>(count) * static_cast<long long>(sizeof(ChannelReal *));
        if (bytes > MemPool::MAX_SIZE) {
            return AURA_ERR_MEMORY;
        }
        mChannel = static_cast<ChannelReal **>(AURA_Memory_Calloc(static_cast<int>(bytes)));
        const int words = (count + 63) / 64;
        mNumFreeWords = (words + 63) / 64;
        mFreeBits = static_cast<uint64_t *>(AURA_Memory_Calloc(words * static_cast<int>(sizeof(uint64_t))));
        mFreeWords = static_cast<uint64_t *>(AURA_Memory_Calloc(mNumFreeWords * static_cast<int>(sizeof(uint64_t))));
        if (!mChannel || !mFreeBits || !mFreeWords) {
            (void)release();
            return AURA_ERR_MEMORY;
        }
    }
    mNumChannels = count;
    mSystem = system;
    mOutput = output;
    return AURA_OK;
}

AURA_RESULT ChannelPool::setChannel(int index, ChannelReal *voice, DSPI *dsp)
{
    if (!voice || index < 0 || index >= mNumChannels) {
        return AURA_ERR_INVALID_PARAM;
    }
    ChannelReal *&slot = mChannel[index];
    if (slot && slot != voice) {
        // The pool owns what it holds: a replaced voice goes.
        (void)slot->close();
        AURA_Delete(slot);
    }
    slot = voice;
    voice->mPool = this;
    const AURA_RESULT result = voice->init(index, mSystem, mOutput, dsp);
    noteFree(*voice);
    return result;
}

void ChannelPool::noteFree(const ChannelReal &voice)
{
    const int index = voice.mIndex;
    if (mFreeBits && index >= 0 && index < mNumChannels && mChannel[index] == &voice) {
        markFree(index);
    }
}

void ChannelPool::markFree(int index)
{
    const int word = index / 64;
    mFreeBits[word] |= uint64_t{1} << (index % 64);
    mFreeWords[word / 64] |= uint64_t{1} << (word % 64);
}

void ChannelPool::markTaken(int index)
{
    const int word = index / 64;
    mFreeBits[word] &= ~(uint64_t{1} << (index % 64));
    if (mFreeBits[word] == 0) {
        mFreeWords[word / 64] &= ~(uint64_t{1} << (word % 64));
    }
}

int ChannelPool::nextMarked(int from) const
{
    if (!mFreeBits || from >= mNumChannels) {
        return -1;
    }
    int word = from / 64;
    // The rest of the word `from` lies in.
    const uint64_t rest = mFreeBits[word] & (~uint64_t{0} << (from % 64));
    if (rest) {
        return word * 64 + __builtin_ctzll(rest);
    }
    // The next word with a bit set, from the summary.
    ++word;
    for (int group = word / 64; group < mNumFreeWords; ++group) {
        const int shift = group == word / 64 ? word % 64 : 0;
        const uint64_t words = mFreeWords[group] & (~uint64_t{0} << shift);
        if (words) {
            const int found = group * 64 + __builtin_ctzll(words);
            return found * 64 + __builtin_ctzll(mFreeBits[found]);
        }
    }
    return -1;
}

bool ChannelPool::isFree(ChannelReal *voice, bool allowreserved) const
{
    if (!allowreserved && voice->mFlags.has(VoiceFlag::Reserved)) {
        return false;
    }
    // Marked free is not enough: a voice that still sounds is left.
    bool playing = true;
    return voice->isPlaying(&playing) == AURA_OK && !playing;
}

AURA_RESULT ChannelPool::allocateChannel(ChannelReal **voices, int index, int count, int *found,
                                         bool allowreserved)
{
    if (!voices) {
        if (found) {
            *found = 0;
        }
        return AURA_ERR_INVALID_PARAM;
    }

    if (index == -1) {
        if (count < 0) {
            if (found) {
                *found = 0;
            }
            return AURA_ERR_INVALID_PARAM;
        }
        int taken = 0;
        for (int i = nextMarked(0); i >= 0 && taken < count; i = nextMarked(i + 1)) {
            ChannelReal *voice = mChannel[i];
            if (!voice || voice->mFlags.has(VoiceFlag::Taken) || voice->mFlags.has(VoiceFlag::InUse)) {
                markTaken(i); // taken by index since it was freed
                continue;
            }
            if (!isFree(voice, allowreserved)) {
                continue;
            }
            take(*voice);
            markTaken(i);
            voice->mFlags.clear(VoiceFlag::Reserved);
            voices[taken++] = voice;
        }
        if (taken == count) {
            if (found) {
                *found = count;
            }
            return AURA_OK;
        }
        // All or nothing: what this call took goes back.
        for (int i = 0; i < taken; ++i) {
            giveBack(*voices[i]);
            voices[i] = nullptr;
        }
        if (found) {
            *found = taken;
        }
        return AURA_ERR_CHANNEL_ALLOC;
    }

    if (index >= 0 && index < mNumChannels) {
        if (count > 1 || !mChannel[index]) {
            return AURA_ERR_CHANNEL_ALLOC;
        }
        // Asked for by index: taken whatever it is doing.
        take(*mChannel[index]);
        markTaken(index);
        voices[0] = mChannel[index];
        return AURA_OK;
    }

    if (found) {
        *found = 0;
    }
    return AURA_ERR_CHANNEL_ALLOC;
}

AURA_RESULT ChannelPool::getNumChannels(int *numchannels)
{
    if (!numchannels) {
        return AURA_ERR_INVALID_PARAM;
    }
    *numchannels = mNumChannels;
    return AURA_OK;
}

AURA_RESULT ChannelPool::getChannelsUsed(int *channelsused)
{
    if (!channelsused) {
        return AURA_ERR_INVALID_PARAM;
    }
    *channelsused = mChannelsUsed;
    return AURA_OK;
}

ChannelReal *ChannelPool::getChannel(int index) const
{
    if (!mChannel || index < 0 || index >= mNumChannels) {
        return nullptr;
    }
    return mChannel[index];
}

AURA_RESULT ChannelPool::release()
{
    if (mChannel) {
        for (int i = 0; i < mNumChannels; ++i) {
            ChannelReal *voice = mChannel[i];
            if (voice) {
                (void)voice->close();
                AURA_Delete(voice);
                mChannel[i] = nullptr;
            }
        }
        AURA_Memory_Free(mChannel);
        mChannel = nullptr;
    }
    AURA_Memory_Free(mFreeBits);
    AURA_Memory_Free(mFreeWords);
    mFreeBits = nullptr;
    mFreeWords = nullptr;
    mNumFreeWords = 0;
    mNumChannels = 0;
    return AURA_OK;
}

} // namespace AURA
