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
        if (!mChannel) {
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
    return voice->init(index, mSystem, mOutput, dsp);
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
        for (int i = 0; i < mNumChannels && taken < count; ++i) {
            ChannelReal *voice = mChannel[i];
            if (!voice || voice->mFlags.has(VoiceFlag::Taken) || voice->mFlags.has(VoiceFlag::InUse)) {
                continue;
            }
            if (!allowreserved && voice->mFlags.has(VoiceFlag::Reserved)) {
                continue;
            }
            // Marked free is not enough: a voice that still sounds is left.
            bool playing = true;
            if (voice->isPlaying(&playing) != AURA_OK || playing) {
                continue;
            }
            take(*voice);
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
    mNumChannels = 0;
    return AURA_OK;
}

} // namespace AURA
