// The channel-group handle class: validate, then forward.
#include "aura.hpp"
#include "channel/aura_channelgroupi.h"
#include "channel/aura_channeli.h"
#include "system/aura_systemi.h"

namespace AURA {

#define AURA_GROUP_FORWARD(call)                                        \
    ChannelGroupI *group = nullptr;                                     \
    const AURA_RESULT check = ChannelGroupI::validate(this, &group);    \
    if (check != AURA_OK) {                                             \
        return check;                                                   \
    }                                                                   \
    return group->call

AURA_RESULT ChannelGroup::release()
{
    ChannelGroupI *group = nullptr;
    const AURA_RESULT check = ChannelGroupI::validate(this, &group);
    if (check != AURA_OK) {
        return check;
    }
    if (group->mSystem && group->mSystem->mMasterChannelGroup == group) {
        return AURA_ERR_INVALID_HANDLE;
    }
    return group->releaseInternal(false);
}

AURA_RESULT ChannelGroup::addGroup(ChannelGroup *child)
{
    ChannelGroupI *childi = nullptr;
    const AURA_RESULT result = ChannelGroupI::validate(child, &childi);
    if (result != AURA_OK) {
        return result;
    }
    AURA_GROUP_FORWARD(addGroupInternal(childi));
}

AURA_RESULT ChannelGroup::setVolume(float volume)
{
    AURA_GROUP_FORWARD(setVolumeInternal(volume));
}

AURA_RESULT ChannelGroup::getVolume(float *volume)
{
    ChannelGroupI *group = nullptr;
    const AURA_RESULT check = ChannelGroupI::validate(this, &group);
    if (check != AURA_OK) {
        return check;
    }
    if (!volume) {
        return AURA_ERR_INVALID_PARAM;
    }
    *volume = group->mVolume;
    return AURA_OK;
}

AURA_RESULT ChannelGroup::setPitch(float pitch)
{
    AURA_GROUP_FORWARD(setPitchInternal(pitch));
}

AURA_RESULT ChannelGroup::getPitch(float *pitch)
{
    ChannelGroupI *group = nullptr;
    const AURA_RESULT check = ChannelGroupI::validate(this, &group);
    if (check != AURA_OK) {
        return check;
    }
    if (!pitch) {
        return AURA_ERR_INVALID_PARAM;
    }
    *pitch = group->mPitch;
    return AURA_OK;
}

AURA_RESULT ChannelGroup::setPaused(bool paused)
{
    AURA_GROUP_FORWARD(setPausedInternal(paused, true));
}

AURA_RESULT ChannelGroup::getPaused(bool *paused)
{
    ChannelGroupI *group = nullptr;
    const AURA_RESULT check = ChannelGroupI::validate(this, &group);
    if (check != AURA_OK) {
        return check;
    }
    if (!paused) {
        return AURA_ERR_INVALID_PARAM;
    }
    *paused = group->mPaused;
    return AURA_OK;
}

AURA_RESULT ChannelGroup::setMute(bool mute)
{
    AURA_GROUP_FORWARD(setMuteInternal(mute, true));
}

AURA_RESULT ChannelGroup::getMute(bool *mute)
{
    ChannelGroupI *group = nullptr;
    const AURA_RESULT check = ChannelGroupI::validate(this, &group);
    if (check != AURA_OK) {
        return check;
    }
    if (!mute) {
        return AURA_ERR_INVALID_PARAM;
    }
    *mute = group->mMute;
    return AURA_OK;
}

AURA_RESULT ChannelGroup::getNumChannels(int *numchannels)
{
    ChannelGroupI *group = nullptr;
    const AURA_RESULT check = ChannelGroupI::validate(this, &group);
    if (check != AURA_OK) {
        return check;
    }
    if (!numchannels) {
        return AURA_ERR_INVALID_PARAM;
    }
    *numchannels = group->mNumChannels;
    return AURA_OK;
}

#undef AURA_GROUP_FORWARD

} // namespace AURA
