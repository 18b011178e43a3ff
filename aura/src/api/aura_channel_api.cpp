// The channel handle class: validate, then forward.
#include "aura.hpp"
#include "api/aura_dsp_api.h"
#include "channel/aura_channelgroupi.h"
#include "channel/aura_channeli.h"
#include "sound/aura_soundi.h"
#include "system/aura_systemi.h"

namespace AURA {

#define AURA_CHANNEL_FORWARD(call)                                  \
    ChannelI *channel = nullptr;                                    \
    const AURA_RESULT check = ChannelI::validate(this, &channel);   \
    if (check != AURA_OK) {                                         \
        return check;                                               \
    }                                                               \
    return channel->call

AURA_RESULT Channel::stop()
{
    AURA_CHANNEL_FORWARD(stop());
}

AURA_RESULT Channel::setPaused(bool paused)
{
    AURA_CHANNEL_FORWARD(setPaused(paused));
}

AURA_RESULT Channel::getPaused(bool *paused)
{
    ChannelI *channel = nullptr;
    const AURA_RESULT check = ChannelI::validate(this, &channel);
    if (check != AURA_OK) {
        if (paused) {
            *paused = false;
        }
        return check;
    }
    return channel->getPaused(paused);
}

AURA_RESULT Channel::setMute(bool mute)
{
    AURA_CHANNEL_FORWARD(setMute(mute));
}

AURA_RESULT Channel::getMute(bool *mute)
{
    AURA_CHANNEL_FORWARD(getMute(mute));
}

AURA_RESULT Channel::setVolume(float volume)
{
    AURA_CHANNEL_FORWARD(setVolume(volume, false));
}

AURA_RESULT Channel::getVolume(float *volume)
{
    AURA_CHANNEL_FORWARD(getVolume(volume));
}

AURA_RESULT Channel::setPan(float pan)
{
    AURA_CHANNEL_FORWARD(setPan(pan, true));
}

AURA_RESULT Channel::setFrequency(float frequency)
{
    AURA_CHANNEL_FORWARD(setFrequency(frequency));
}

AURA_RESULT Channel::getFrequency(float *frequency)
{
    AURA_CHANNEL_FORWARD(getFrequency(frequency));
}

AURA_RESULT Channel::setPosition(unsigned int position, AURA_TIMEUNIT postype)
{
    AURA_CHANNEL_FORWARD(setPosition(position, postype));
}

AURA_RESULT Channel::getPosition(unsigned int *position, AURA_TIMEUNIT postype)
{
    ChannelI *channel = nullptr;
    const AURA_RESULT check = ChannelI::validate(this, &channel);
    if (check != AURA_OK) {
        if (position) {
            *position = 0;
        }
        return check;
    }
    return channel->getPosition(position, postype);
}

AURA_RESULT Channel::setLoopCount(int loopcount)
{
    AURA_CHANNEL_FORWARD(setLoopCount(loopcount));
}

AURA_RESULT Channel::getLoopCount(int *loopcount)
{
    AURA_CHANNEL_FORWARD(getLoopCount(loopcount));
}

AURA_RESULT Channel::setLoopPoints(unsigned int loopstart, AURA_TIMEUNIT loopstarttype,
                                   unsigned int loopend, AURA_TIMEUNIT loopendtype)
{
    AURA_CHANNEL_FORWARD(setLoopPoints(loopstart, loopstarttype, loopend, loopendtype));
}

AURA_RESULT Channel::set3DAttributes(const AURA_VECTOR *pos, const AURA_VECTOR *vel)
{
    AURA_CHANNEL_FORWARD(set3DAttributes(pos, vel));
}

AURA_RESULT Channel::get3DAttributes(AURA_VECTOR *pos, AURA_VECTOR *vel)
{
    AURA_CHANNEL_FORWARD(get3DAttributes(pos, vel));
}

AURA_RESULT Channel::setDelay(AURA_DELAYTYPE delaytype, unsigned int delayhi, unsigned int delaylo)
{
    AURA_CHANNEL_FORWARD(setDelay(delaytype, delayhi, delaylo));
}

AURA_RESULT Channel::setReverbProperties(const AURA_REVERB_CHANNELPROPERTIES *prop)
{
    ChannelI *channel = nullptr;
    const AURA_RESULT check = ChannelI::validate(this, &channel);
    if (check != AURA_OK) {
        return check;
    }
    // The mixer will read the unit a connection point names: only a live
    // unit of this channel's system is taken.
    if (prop && checkConnectionPoint(channel->mSystem, prop->ConnectionPoint) != AURA_OK) {
        return AURA_ERR_INVALID_PARAM;
    }
    return channel->setReverbProperties(prop);
}

AURA_RESULT Channel::getReverbProperties(AURA_REVERB_CHANNELPROPERTIES *prop)
{
    AURA_CHANNEL_FORWARD(getReverbProperties(prop));
}

AURA_RESULT Channel::setCallback(AURA_CHANNEL_CALLBACK callback)
{
    AURA_CHANNEL_FORWARD(setCallback(callback));
}

AURA_RESULT Channel::getCurrentSound(Sound **sound)
{
    ChannelI *channel = nullptr;
    const AURA_RESULT check = ChannelI::validate(this, &channel);
    if (check != AURA_OK) {
        if (sound) {
            *sound = nullptr;
        }
        return check;
    }
    if (!sound) {
        return AURA_ERR_INVALID_PARAM;
    }
    SoundI *playing = nullptr;
    const AURA_RESULT result = channel->getCurrentSound(&playing);
    *sound = playing;
    return result;
}

AURA_RESULT Channel::isPlaying(bool *isplaying)
{
    AURA_CHANNEL_FORWARD(isPlaying(isplaying));
}

AURA_RESULT Channel::setChannelGroup(ChannelGroup *channelgroup)
{
    ChannelI *channel = nullptr;
    AURA_RESULT result = ChannelI::validate(this, &channel);
    if (result != AURA_OK) {
        return result;
    }
    ChannelGroupI *group = nullptr;
    if (channelgroup) {
        result = ChannelGroupI::validate(channelgroup, &group);
        if (result != AURA_OK) {
            return result;
        }
    }
    return channel->setChannelGroup(group);
}

AURA_RESULT Channel::getChannelGroup(ChannelGroup **channelgroup)
{
    ChannelI *channel = nullptr;
    const AURA_RESULT check = ChannelI::validate(this, &channel);
    if (check != AURA_OK) {
        return check;
    }
    if (!channelgroup) {
        return AURA_ERR_INVALID_PARAM;
    }
    *channelgroup = channel->mChannelGroup;
    return AURA_OK;
}

#undef AURA_CHANNEL_FORWARD

} // namespace AURA
