// Sound groups: their volume, their sounds and the channels that play them.
#include "channel/aura_soundgroupi.h"
#include "base/aura_memory.h"
#include "channel/aura_channeli.h"
#include "sound/aura_soundi.h"
#include "system/aura_systemi.h"
#include "voice/aura_channelreal.h"

#include <algorithm>
#include <cmath>
#include <mutex>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/channel/aura_soundgroupi";
} // namespace

SoundGroupI::SoundGroupI()
{
    mNode.initNode();
    mNode.mData = this;
    mSoundHead.initNode();
    mChannelListHead.initNode();
}

SoundGroupI::~SoundGroupI()
{
    AURA_Memory_Free(mName);
}

AURA_RESULT SoundGroupI::validate(const void *handle, SoundGroupI **group)
{
    if (group) {
        *group = nullptr;
    }
    if (!handle) {
        return AURA_ERR_INVALID_PARAM;
    }
    const bool found = SystemI::anySystem([&](SystemI *system) {
        std::lock_guard<std::mutex> soundLock(system->mSoundListLock);
        LinkedListNode &groups = system->mSoundGroupHead;
        for (LinkedListNode *g = groups.mNext; g != &groups; g = g->mNext) {
            if (static_cast<const void *>(static_cast<SoundGroup *>(static_cast<SoundGroupI *>(g->mData))) == handle) {
                if (group) {
                    *group = static_cast<SoundGroupI *>(g->mData);
                }
                return true;
            }
        }
        return false;
    });
    return found ? AURA_OK : AURA_ERR_INVALID_PARAM;
}

namespace {

// Every channel of the system that plays `sound`.
template <class F>
void forEachChannelOf(SystemI *system, const SoundI *sound, F &&f)
{
    if (!system || !system->mChannel) {
        return;
    }
    for (int i = 0; i < system->mNumChannels; ++i) {
        ChannelI &channel = system->mChannel[i];
        if (channel.mNumRealChannels > 0 && channel.mRealChannel[0] && channel.mRealChannel[0]->mSound == sound) {
            f(channel);
        }
    }
}

// Takes every channel out of the group's list and hands each to f. Mixing
// one channel again may move others (a voice taken, a channel sent
// virtual): the walk goes over a list of its own, from which such a
// channel simply drops, so it never follows an unlinked node.
template <class F>
void drainChannels(LinkedListNode &head, F &&f)
{
    LinkedListNode pending;
    pending.initNode();
    if (!head.isEmpty()) {
        pending.mNext = head.mNext;
        pending.mPrev = head.mPrev;
        pending.mNext->mPrev = &pending;
        pending.mPrev->mNext = &pending;
        head.initNode();
    }
    while (!pending.isEmpty()) {
        auto *channel = static_cast<ChannelI *>(pending.mNext->mData);
        channel->mSoundGroupNode.removeNode();
        channel->mSoundGroupListed = nullptr;
        f(*channel);
    }
}

} // namespace

AURA_RESULT SoundGroupI::setVolumeInternal(float volume)
{
    if (std::isnan(volume)) {
        return AURA_ERR_INVALID_FLOAT;
    }
    mVolume.store(std::clamp(volume, 0.0f, 1.0f), std::memory_order_relaxed);
    drainChannels(mChannelListHead, [](ChannelI &channel) { (void)channel.soundGroupChanged(); });
    return AURA_OK;
}

AURA_RESULT SoundGroupI::setSoundGroup(SoundI *sound, SoundGroupI *group)
{
    if (!sound) {
        return AURA_ERR_INVALID_PARAM;
    }
    SystemI *system = sound->mSystem;
    if (group && group->mSystem != system) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!system) {
        return AURA_ERR_UNINITIALIZED;
    }
    {
        std::lock_guard<std::mutex> lock(system->mSoundListLock);
        if (sound->mSoundGroup.load(std::memory_order_relaxed) == group) {
            return AURA_OK;
        }
        sound->mSoundGroupNode.removeNode();
        if (group) {
            sound->mSoundGroupNode.addBefore(group->mSoundHead);
        }
        sound->mSoundGroup.store(group, std::memory_order_relaxed);
    }
    forEachChannelOf(system, sound, [](ChannelI &channel) { (void)channel.soundGroupChanged(); });
    return AURA_OK;
}

void SoundGroupI::markPlayed()
{
    if (!mSystem) {
        return;
    }
    std::lock_guard<std::mutex> lock(mSystem->mSoundListLock);
    mNode.removeNode();
    mNode.addAfter(mSystem->mSoundGroupHead);
}

AURA_RESULT SoundGroupI::releaseInternal()
{
    if (mSystem) {
        std::lock_guard<std::mutex> lock(mSystem->mSoundListLock);
        while (!mSoundHead.isEmpty()) {
            auto *sound = static_cast<SoundI *>(mSoundHead.mNext->mData);
            sound->mSoundGroupNode.removeNode();
            sound->mSoundGroup.store(nullptr, std::memory_order_relaxed);
        }
        mNode.removeNode();
    }
    // Its channels play on without its volume.
    drainChannels(mChannelListHead, [](ChannelI &channel) { (void)channel.soundGroupChanged(); });
    SoundGroupI *self = this;
    AURA_Delete(self);
    return AURA_OK;
}

} // namespace AURA
