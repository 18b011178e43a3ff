#include "channel/aura_channelgroupi.h"

#include "channel/aura_channeli.h"
#include "voice/aura_channelreal.h"
#include "base/aura_memory.h"
#include "base/aura_string.h"
#include "system/aura_systemi.h"
#include "dsp/aura_dspi.h"

#include <algorithm>
#include <cmath>
#include <mutex>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_channelgroupi";

template <class F>
void forEachChannel(ChannelGroupI *group, F &&f)
{
    for (LinkedListNode *n = group->mChannelHead.mNext; n != &group->mChannelHead;) {
        LinkedListNode *next = n->mNext; // a channel may move while visited
        f(static_cast<ChannelI *>(n->mData));
        n = next;
    }
}

template <class F>
void forEachChild(ChannelGroupI *group, F &&f)
{
    for (LinkedListNode *n = group->mChildHead.mNext; n != &group->mChildHead;) {
        LinkedListNode *next = n->mNext;
        f(static_cast<ChannelGroupI *>(n->mData));
        n = next;
    }
}
} // namespace

ChannelGroupI::ChannelGroupI()
{
    mNode.initNode();
    mNode.mData = this;
    mChildHead.initNode();
    mChannelHead.initNode();
    mSystemNode.initNode();
    mSystemNode.mData = this;
}

ChannelGroupI::~ChannelGroupI()
{
    AURA_Memory_Free(mName);
}

AURA_RESULT ChannelGroupI::validate(const void *handle, ChannelGroupI **group)
{
    if (group) {
        *group = nullptr;
    }
    if (!handle) {
        return AURA_ERR_INVALID_PARAM;
    }
    const bool found = SystemI::anySystem([&](SystemI *system) {
        LinkedListNode &groups = system->mChannelGroupHead;
        for (LinkedListNode *g = groups.mNext; g != &groups; g = g->mNext) {
            auto *candidate = static_cast<ChannelGroupI *>(g->mData);
            if (static_cast<const void *>(static_cast<ChannelGroup *>(candidate)) == handle) {
                if (group) {
                    *group = candidate;
                }
                return true;
            }
        }
        return false;
    });
    return found ? AURA_OK : AURA_ERR_INVALID_PARAM;
}

DSPI *ChannelGroupI::chainEnd() const
{
    DSPI *end = mDSPHead;
    DSPI *next = nullptr;
    while (end && end->getOutput(0, &next, nullptr, true) == AURA_OK && next && next->hasFlags(DSPI_FLAG_INSERTED)) {
        end = next;
        next = nullptr;
    }
    return end;
}

AURA_RESULT ChannelGroupI::addDSP(DSPI *dsp, DSPConnectionI **connection)
{
    if (!dsp) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!mDSPHead) {
        return AURA_ERR_NEEDSSOFTWARE;
    }
    if (dsp == mDSPHead) {
        return AURA_ERR_INVALID_PARAM;
    }
    DSPI *end = chainEnd();
    if (end == dsp) {
        return AURA_OK; // already the last unit of the chain
    }
    DSPI *parent = nullptr;
    if (end->getOutput(0, &parent, nullptr, true) != AURA_OK || !parent) {
        return AURA_ERR_DSP_NOTFOUND;
    }
    int inputs = 0;
    AURA_RESULT result = parent->getNumInputs(&inputs, true);
    for (int i = 0; result == AURA_OK && i < inputs; ++i) {
        DSPI *input = nullptr;
        if (parent->getInput(i, &input, nullptr, false) == AURA_OK && input == end) {
            return parent->insertInputBetween(dsp, i, false, connection);
        }
    }
    return result == AURA_OK ? AURA_ERR_DSP_NOTFOUND : result;
}

AURA_RESULT ChannelGroupI::setVolumeInternal(float volume)
{
    if (std::isnan(volume)) {
        return AURA_ERR_INVALID_FLOAT;
    }
    mVolume = std::clamp(volume, 0.0f, 1.0f);
    return updateVolume();
}

AURA_RESULT ChannelGroupI::setPitchInternal(float pitch)
{
    if (std::isnan(pitch) || pitch < 0.0f) {
        return AURA_ERR_INVALID_PARAM;
    }
    mPitch = pitch;
    return updatePitch();
}

AURA_RESULT ChannelGroupI::updateVolume()
{
    const float before = mRealVolume;
    mRealVolume = mVolume * (mParent ? mParent->mRealVolume : 1.0f);
    forEachChild(this, [](ChannelGroupI *child) { (void)child->updateVolume(); });
    const bool changed = before != mRealVolume;
    forEachChannel(this, [changed](ChannelI *channel) {
        if (channel->mNumRealChannels) {
            (void)channel->setVolume(channel->mVolume, changed);
        }
    });
    return AURA_OK;
}

AURA_RESULT ChannelGroupI::updatePitch()
{
    mRealPitch = mPitch * (mParent ? mParent->mRealPitch : 1.0f);
    forEachChild(this, [](ChannelGroupI *child) { (void)child->updatePitch(); });
    forEachChannel(this, [](ChannelI *channel) {
        if (channel->mNumRealChannels) {
            (void)channel->setFrequency(channel->mFrequency);
        }
    });
    return AURA_OK;
}

AURA_RESULT ChannelGroupI::setPausedInternal(bool paused, bool store)
{
    if (store) {
        mPaused = paused;
    }
    forEachChild(this, [paused](ChannelGroupI *child) { (void)child->setPausedInternal(paused, false); });
    // Each channel recomputes its pause from its own flag and every group
    // above it, so a child's own setting is never overwritten.
    forEachChannel(this, [](ChannelI *channel) {
        if (channel->mNumRealChannels) {
            (void)channel->setPaused(channel->mFlags.has(ChannelFlag::Paused));
        }
    });
    return AURA_OK;
}

AURA_RESULT ChannelGroupI::setMuteInternal(bool mute, bool store)
{
    if (store) {
        mMute = mute;
    }
    forEachChild(this, [mute](ChannelGroupI *child) { (void)child->setMuteInternal(mute, false); });
    forEachChannel(this, [](ChannelI *channel) {
        if (channel->mNumRealChannels) {
            (void)channel->setMute(channel->mFlags.has(ChannelFlag::Muted));
        }
    });
    return AURA_OK;
}

AURA_RESULT ChannelGroupI::addGroupInternal(ChannelGroupI *child)
{
    if (!child || child == this) {
        return AURA_ERR_INVALID_PARAM;
    }
    // A group cannot become its own ancestor.
    for (ChannelGroupI *above = mParent; above; above = above->mParent) {
        if (above == child) {
            return AURA_ERR_INVALID_PARAM;
        }
    }
    child->mNode.removeNode();
    // The group's units move with it: what leaves the old parent is the end
    // of its chain.
    DSPI *childEnd = child->chainEnd();
    if (childEnd) {
        const AURA_RESULT result = childEnd->disconnectAll(false, true);
        if (result != AURA_OK) {
            return result;
        }
    }
    child->mNode.addBefore(mChildHead);
    child->mNode.mData = child;
    if (mDSPMixTarget) {
        const AURA_RESULT result = childEnd ? mDSPMixTarget->addInputQueued(childEnd, false, nullptr, nullptr)
                                       : child->updateChildMixTarget(mDSPMixTarget);
        if (result != AURA_OK) {
            return result;
        }
    }
    child->mParent = this;
    (void)child->setPausedInternal(child->mPaused, false);
    (void)child->setMuteInternal(child->mMute, false);
    (void)child->updateVolume();
    (void)child->updatePitch();
    return AURA_OK;
}

AURA_RESULT ChannelGroupI::updateChildMixTarget(DSPI *target)
{
    if (mDSPHead) {
        return AURA_OK;
    }
    DSPI *old = mDSPMixTarget;
    mDSPMixTarget = target;
    AURA_RESULT first = AURA_OK;
    forEachChild(this, [&](ChannelGroupI *child) {
        if (!child->mDSPHead) {
            const AURA_RESULT result = child->updateChildMixTarget(target);
            first = first == AURA_OK ? result : first;
        }
    });
    forEachChannel(this, [&](ChannelI *channel) {
        if (!channel->mNumRealChannels) {
            return;
        }
        DSPI *head = nullptr;
        if (old && channel->mRealChannel[0]->getDSPHead(&head) == AURA_OK && head) {
            (void)old->disconnectFrom(head, nullptr);
        }
        const AURA_RESULT result = channel->setChannelGroupInternal(this, true, true);
        first = first == AURA_OK ? result : first;
    });
    return first;
}

AURA_RESULT ChannelGroupI::releaseInternal(bool releasechildren)
{
    if (releasechildren) {
        forEachChild(this, [](ChannelGroupI *child) { (void)child->releaseInternal(true); });
    }
    ChannelGroupI *master = mSystem ? mSystem->mMasterChannelGroup : nullptr;
    if (master && master != this) {
        forEachChannel(this, [master](ChannelI *channel) {
            (void)channel->setChannelGroupInternal(master, channel->mNumRealChannels > 0, true);
        });
        // Children left behind join the master group.
        forEachChild(this, [master](ChannelGroupI *child) { (void)master->addGroupInternal(child); });
    }
    if (mDSPHead) {
        if (mDSPMixTarget && mDSPMixTarget != mDSPHead) {
            (void)mDSPMixTarget->release(true);
        }
        (void)mDSPHead->release(true);
    }
    mDSPHead = nullptr;
    mDSPMixTarget = nullptr;
    if (mSystem && mSystem->mMasterChannelGroup == this) {
        mSystem->mMasterChannelGroup = nullptr;
    }
    mNode.removeNode();
    if (mSystem) {
        std::lock_guard<std::mutex> lock(gGlobal->mSystemListLock);
        mSystemNode.removeNode();
    }
    ChannelGroupI *self = this;
    AURA_Delete(self);
    return AURA_OK;
}

} // namespace AURA
