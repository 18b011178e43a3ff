// Virtual voices: more channels than software voices. The channels at the
// front of the importance-sorted list that can be heard take the software
// voices; the others keep time on emulated voices.
#include "channel/aura_channeli.h"
#include "system/aura_systemi.h"
#include "voice/aura_channelpool.h"
#include "voice/aura_channelreal.h"
#include "base/aura_memory.h"

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_system_virtual";
} // namespace

AURA_RESULT SystemI::initEmulatedPool()
{
    mEmulatedPool = AURA_New(ChannelPool);
    if (!mEmulatedPool) {
        return AURA_ERR_MEMORY;
    }
    AURA_RESULT result = mEmulatedPool->init(this, mOutput, mMaxChannels);
    for (int i = 0; result == AURA_OK && i < mMaxChannels; ++i) {
        ChannelReal *voice = AURA_New(ChannelEmulated);
        result = voice ? mEmulatedPool->setChannel(i, voice, nullptr) : AURA_ERR_MEMORY;
    }
    return result;
}

AURA_RESULT SystemI::acquireVoice(ChannelI *channel, int priority, ChannelReal **voice)
{
    *voice = nullptr;
    if (getFreeVoices(voice, 1) == AURA_OK) {
        return AURA_OK;
    }
    // The least important channel on a software voice, from the tail.
    for (LinkedListNode *node = mChannelSortedListHead.mPrev; node != &mChannelSortedListHead; node = node->mPrev) {
        auto *least = static_cast<ChannelI *>(node->mData);
        if (least == channel || !least->mNumRealChannels || least->onEmulatedVoice()) {
            continue;
        }
        if (least->mPriority < priority) {
            break; // it matters more than the new sound
        }
        if (mEmulatedPool && least->moveToEmulatedVoice() == AURA_OK) {
            least->mFlags.set(ChannelFlag::Virtual);
        } else {
            (void)least->stopEx(STOP_RETURNTOFREELIST | STOP_RESETCALLBACKS | STOP_REFSTAMP | STOP_CALLBACKS);
        }
        break;
    }
    if (getFreeVoices(voice, 1) == AURA_OK) {
        return AURA_OK;
    }
    if (mEmulatedPool) {
        int found = 0;
        if (mEmulatedPool->allocateChannel(voice, -1, 1, &found) == AURA_OK) {
            return AURA_OK;
        }
    }
    *voice = nullptr;
    return AURA_ERR_CHANNEL_ALLOC;
}

ChannelReal *SystemI::stealVoiceBelow(unsigned int key)
{
    for (LinkedListNode *node = mChannelSortedListHead.mPrev; node != &mChannelSortedListHead; node = node->mPrev) {
        auto *channel = static_cast<ChannelI *>(node->mData);
        if (channel->mSortKey <= key) {
            return nullptr;
        }
        if (!channel->mNumRealChannels || channel->onEmulatedVoice()) {
            continue;
        }
        if (channel->moveToEmulatedVoice() != AURA_OK) {
            continue;
        }
        channel->mFlags.set(ChannelFlag::Virtual);
        ChannelReal *voice = nullptr;
        return getFreeVoices(&voice, 1) == AURA_OK ? voice : nullptr;
    }
    return nullptr;
}

void SystemI::promoteVirtualChannels()
{
    if (!mEmulatedPool || !mVoicePool) {
        return;
    }
    int voices = 0;
    (void)mVoicePool->getNumChannels(&voices);
    int rank = 0;
    LinkedListNode *node = mChannelSortedListHead.mNext;
    while (node != &mChannelSortedListHead && rank < voices) {
        LinkedListNode *next = node->mNext;
        auto *channel = static_cast<ChannelI *>(node->mData);
        ++rank;
        if (channel->mSortKey == ChannelI::UNSORTED) {
            break; // finished channels from here on
        }
        float audibility = 0.0f;
        if (!channel->mNumRealChannels || !channel->onEmulatedVoice() ||
            channel->getAudibilityInternal(&audibility, true) != AURA_OK || audibility <= mSilenceThreshold) {
            node = next;
            continue;
        }
        ChannelReal *voice = nullptr;
        if (getFreeVoices(&voice, 1) != AURA_OK) {
            voice = stealVoiceBelow(channel->mSortKey);
        }
        if (voice && channel->moveToVoice(voice) != AURA_OK) {
            voice->mFlags.clear(VoiceFlag::Taken);
            voice->mFlags.clear(VoiceFlag::InUse);
            voice->mFlags.set(VoiceFlag::Stopped);
            if (voice->mPool) {
                voice->mPool->noteFree(*voice);
            }
        }
        node = next;
    }
}

} // namespace AURA
