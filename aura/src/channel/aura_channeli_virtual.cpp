// Virtual channels: a channel that cannot be heard gives its software voice
// back and keeps time on an emulated voice, with the same handle, until the
// system finds it important enough to mix again.
#include "channel/aura_channelgroupi.h"
#include "channel/aura_channeli.h"
#include "sound/aura_soundi.h"
#include "system/aura_systemi.h"
#include "voice/aura_channelpool.h"
#include "voice/aura_channelreal.h"

namespace AURA {

bool ChannelI::onEmulatedVoice() const
{
    bool emulated = false;
    return mNumRealChannels > 0 && mRealChannel[0] && mRealChannel[0]->isVirtual(&emulated) == AURA_OK && emulated;
}

AURA_RESULT ChannelI::forceVirtual(bool force)
{
    if (!force) {
        mFlags.clear(ChannelFlag::Virtual);
        return AURA_OK;
    }
    if (mFlags.has(ChannelFlag::Virtual) || mMovingVoice) {
        return AURA_OK;
    }
    const bool starting = mFlags.has(ChannelFlag::Starting);
    mFlags.set(ChannelFlag::Virtual);
    if (mNumRealChannels == 0 || onEmulatedVoice()) {
        return AURA_OK;
    }
    const AURA_RESULT result = moveToEmulatedVoice();
    if (result != AURA_OK) {
        // It plays on where it was; a later silent update tries again.
        mFlags.clear(ChannelFlag::Virtual);
        return result;
    }
    mFlags.set(ChannelFlag::Virtual);
    if (starting) {
        mFlags.set(ChannelFlag::StartingWhenEmulated);
    }
    return AURA_OK;
}

AURA_RESULT ChannelI::moveToEmulatedVoice()
{
    // A channel of several voices (a multi-voice sample) stays as it is.
    if (!mSystem || !mSystem->mEmulatedPool || mNumRealChannels != 1) {
        return AURA_ERR_CHANNEL_ALLOC;
    }
    ChannelReal *voice = nullptr;
    int found = 0;
    const AURA_RESULT result = mSystem->mEmulatedPool->allocateChannel(&voice, -1, 1, &found);
    if (result != AURA_OK) {
        return result;
    }
    return moveToVoice(voice);
}

AURA_RESULT ChannelI::moveToVoice(ChannelReal *voice)
{
    if (!voice || mNumRealChannels != 1 || !mRealChannel[0] || mMovingVoice) {
        return AURA_ERR_INVALID_PARAM;
    }
    ChannelReal *old = mRealChannel[0];
    SoundI *sound = old->mSound;
    DSPI *dsp = sound ? nullptr : old->mDSP;
    if (!sound && !dsp) {
        return AURA_ERR_INVALID_HANDLE;
    }
    mMovingVoice = true;
    ChannelGroupI *group = mChannelGroup;
    AURA_CHANNEL_INFO info{};
    (void)getChannelInfo(&info);
    AURA_SYNCPOINT *syncPoint = mSyncPointCurrent;
    const unsigned int syncLast = mSyncPointLastPos;
    const bool stopDeferred = mFlags.has(ChannelFlag::StopDeferred);
    const bool startingEmulated = mFlags.has(ChannelFlag::StartingWhenEmulated);

    // Off the old voice: into the master group with its levels kept, no
    // callbacks, the handle untouched.
    (void)stopEx(STOP_RESETCHANNELGROUP | STOP_DONTFREELEVELS);
    mRealChannel[0] = voice;
    mNumRealChannels = 1;
    mFlags.set(ChannelFlag::Starting);
    AURA_RESULT result = sound ? alloc(sound, false) : alloc(dsp, false);
    if (result == AURA_OK) {
        (void)setPaused(true);
        mFlags.set(ChannelFlag::Starting); // setPaused must not end the start
        result = start();
    }
    if (result != AURA_OK) {
        mMovingVoice = false;
        mFlags.clear(ChannelFlag::Starting);
        (void)stopEx(STOP_ALL);
        return result;
    }
    if (sound) {
        ++sound->mPlayCount;
    }
    (void)setChannelGroupInternal(group, false);
    info.mRealChannel = voice;
    (void)setChannelInfo(&info);
    mSyncPointCurrent = syncPoint;
    mSyncPointLastPos = syncLast;
    mFlags.set(ChannelFlag::StopDeferred, stopDeferred);
    mFlags.set(ChannelFlag::StartingWhenEmulated, startingEmulated);
    mFlags.clear(ChannelFlag::Starting);
    (void)setPaused(info.mPaused);
    mMovingVoice = false;
    (void)updatePosition();
    return AURA_OK;
}

} // namespace AURA
