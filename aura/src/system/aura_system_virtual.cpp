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

void SystemI::promoteVirtualChannels()
{
    if (!mEmulatedPool || !mVoicePool) {
        return;
    }
    // Down the list from the most important channel; the channels that give
    // up their voices are taken from the tail upwards, so the two walks meet
    // and no audible virtual channel stays ahead of a mixed one.
    LinkedListNode &head = mChannelSortedListHead;
    LinkedListNode *victim = head.mPrev;
    for (LinkedListNode *node = head.mNext; node != &head && node != victim->mNext; node = node->mNext) {
        auto *channel = static_cast<ChannelI *>(node->mData);
        if (channel->mSortKey == ChannelI::UNSORTED) {
            break; // finished channels from here on
        }
        float audibility = 0.0f;
        if (!channel->mNumRealChannels || !channel->onEmulatedVoice() ||
            channel->getAudibilityInternal(&audibility, true) != AURA_OK || audibility <= mSilenceThreshold) {
            continue;
        }
        ChannelReal *voice = nullptr;
        if (getFreeVoices(&voice, 1) != AURA_OK) {
            // The least important mixed channel below this one gives way.
            while (victim != node) {
                auto *loser = static_cast<ChannelI *>(victim->mData);
                victim = victim->mPrev;
                if (loser->mNumRealChannels && !loser->onEmulatedVoice() && loser->moveToEmulatedVoice() == AURA_OK) {
                    loser->mFlags.set(ChannelFlag::Virtual);
                    break;
                }
            }
            if (getFreeVoices(&voice, 1) != AURA_OK) {
                return; // nothing below this channel holds a voice
            }
        }
        if (channel->moveToVoice(voice) != AURA_OK) {
            voice->mFlags.clear(VoiceFlag::Taken);
            voice->mFlags.clear(VoiceFlag::InUse);
            voice->mFlags.set(VoiceFlag::Stopped);
            if (voice->mPool) {
                voice->mPool->noteFree(*voice);
            }
        }
    }
}

} // namespace AURA
