// Channel groups: a tree under the master group that scales volume and
// pitch and pauses or mutes everything below; each group may own a DSP unit
// into which its channels' heads are mixed.
#ifndef AURA_CHANNELGROUPI_H
#define AURA_CHANNELGROUPI_H

#include "aura.h"
#include "aura.hpp"
#include "base/aura_globals.h"

namespace AURA {

class SystemI;
class DSPI;
class DSPConnectionI;
class ChannelI;

class ChannelGroupI : public ChannelGroup {
public:
    ChannelGroupI();
    ~ChannelGroupI();
    ChannelGroupI(const ChannelGroupI &) = delete;
    ChannelGroupI &operator=(const ChannelGroupI &) = delete;

    // 37 unless the handle is a group of a live system.
    static AURA_RESULT validate(const void *handle, ChannelGroupI **group);

    AURA_RESULT setVolumeInternal(float volume);
    AURA_RESULT setPitchInternal(float pitch);
    // Recompute the effective values down the tree and re-apply channels.
    AURA_RESULT updateVolume();
    AURA_RESULT updatePitch();
    AURA_RESULT setPausedInternal(bool paused, bool store);
    AURA_RESULT setMuteInternal(bool mute, bool store);
    AURA_RESULT addGroupInternal(ChannelGroupI *child);
    AURA_RESULT updateChildMixTarget(DSPI *target);
    AURA_RESULT releaseInternal(bool releasechildren);
    // Puts a unit between the end of the group's chain (its head, or the
    // unit added last) and what that feeds.
    AURA_RESULT addDSP(DSPI *dsp, DSPConnectionI **connection);
    // The last unit of the group's chain: the unit added last, or the head
    // (null without one). What the group sends on comes out of it.
    [[nodiscard]] DSPI *chainEnd() const;

    LinkedListNode mNode;            // in the parent's child list
    SystemI *mSystem = nullptr;
    DSPI *mDSPHead = nullptr;        // the group's own unit, or null
    DSPI *mDSPMixTarget = nullptr;   // where the group's channels are mixed
    ChannelGroupI *mParent = nullptr;
    LinkedListNode mChildHead;       // child groups
    LinkedListNode mChannelHead;     // channels of the group
    int mNumChannels = 0;
    char *mName = nullptr;
    float mVolume = 1.0f;
    float mRealVolume = 1.0f;        // volume x parent's effective volume
    float mDirectOcclusion = 1.0f;
    float mReverbOcclusion = 1.0f;
    float mPitch = 1.0f;
    float mRealPitch = 1.0f;
    bool mMute = false;
    bool mPaused = false;
    LinkedListNode mSystemNode;      // the system's list of groups
};

} // namespace AURA

#endif // AURA_CHANNELGROUPI_H
