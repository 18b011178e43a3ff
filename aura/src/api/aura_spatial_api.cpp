// The handles' 3D attenuation and virtual-voice members, and their C entry
// points.
#include "aura.hpp"
#include "channel/aura_channeli.h"
#include "sound/aura_soundi.h"
#include "system/aura_systemi.h"

#include <cmath>

namespace AURA {

namespace {

template <class F>
AURA_RESULT withChannel(const Channel *handle, F &&f)
{
    ChannelI *channel = nullptr;
    const AURA_RESULT check = ChannelI::validate(handle, &channel);
    return check != AURA_OK ? check : f(*channel);
}

template <class F>
AURA_RESULT withSystem(const System *handle, F &&f)
{
    SystemI *system = nullptr;
    const AURA_RESULT check = SystemI::validate(handle, &system);
    return check != AURA_OK ? check : f(*system);
}

template <class T>
AURA_RESULT readOut(T *out, const T &value)
{
    if (!out) {
        return AURA_ERR_INVALID_PARAM;
    }
    *out = value;
    return AURA_OK;
}

bool validCone(float inside, float outside, float volume)
{
    return inside >= 0.0f && inside <= 360.0f && outside >= inside && outside <= 360.0f && volume >= 0.0f &&
           volume <= 1.0f;
}

} // namespace

// Sound

AURA_RESULT Sound::set3DMinMaxDistance(float mindistance, float maxdistance)
{
    auto *sound = static_cast<SoundI *>(this);
    if (!(mindistance > 0.0f) || !(maxdistance >= mindistance) || !std::isfinite(maxdistance)) {
        return AURA_ERR_INVALID_PARAM;
    }
    sound->mMinDistance = mindistance;
    sound->mMaxDistance = maxdistance;
    return (sound->mMode & AURA_3D) ? AURA_OK : AURA_ERR_NEEDS3D;
}

AURA_RESULT Sound::get3DMinMaxDistance(float *mindistance, float *maxdistance)
{
    const auto *sound = static_cast<SoundI *>(this);
    if (!mindistance && !maxdistance) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mindistance) {
        *mindistance = sound->mMinDistance;
    }
    if (maxdistance) {
        *maxdistance = sound->mMaxDistance;
    }
    return AURA_OK;
}

AURA_RESULT Sound::set3DConeSettings(float insideangle, float outsideangle, float outsidevolume)
{
    auto *sound = static_cast<SoundI *>(this);
    if (!validCone(insideangle, outsideangle, outsidevolume)) {
        return AURA_ERR_INVALID_PARAM;
    }
    sound->mConeInsideAngle = insideangle;
    sound->mConeOutsideAngle = outsideangle;
    sound->mConeOutsideVolume = outsidevolume;
    return AURA_OK;
}

AURA_RESULT Sound::get3DConeSettings(float *insideangle, float *outsideangle, float *outsidevolume)
{
    const auto *sound = static_cast<SoundI *>(this);
    if (insideangle) {
        *insideangle = sound->mConeInsideAngle;
    }
    if (outsideangle) {
        *outsideangle = sound->mConeOutsideAngle;
    }
    if (outsidevolume) {
        *outsidevolume = sound->mConeOutsideVolume;
    }
    return AURA_OK;
}

AURA_RESULT Sound::set3DCustomRolloff(AURA_VECTOR *points, int numpoints)
{
    auto *sound = static_cast<SoundI *>(this);
    if (numpoints < 0 || (numpoints > 0 && !points)) {
        return AURA_ERR_INVALID_PARAM;
    }
    for (int i = 0; i < numpoints; ++i) {
        if (!std::isfinite(points[i].x) || !std::isfinite(points[i].y) || (i > 0 && points[i].x < points[i - 1].x)) {
            return AURA_ERR_INVALID_PARAM;
        }
    }
    sound->mRolloffPoints = numpoints > 0 ? points : nullptr;
    sound->mNumRolloffPoints = numpoints;
    return AURA_OK;
}

AURA_RESULT Sound::get3DCustomRolloff(AURA_VECTOR **points, int *numpoints)
{
    const auto *sound = static_cast<SoundI *>(this);
    if (points) {
        *points = sound->mRolloffPoints;
    }
    if (numpoints) {
        *numpoints = sound->mNumRolloffPoints;
    }
    return AURA_OK;
}

// Channel

AURA_RESULT Channel::set3DMinMaxDistance(float mindistance, float maxdistance)
{
    return withChannel(this, [&](ChannelI &c) { return c.set3DMinMaxDistance(mindistance, maxdistance); });
}

AURA_RESULT Channel::get3DMinMaxDistance(float *mindistance, float *maxdistance)
{
    return withChannel(this, [&](ChannelI &c) { return c.get3DMinMaxDistance(mindistance, maxdistance); });
}

AURA_RESULT Channel::set3DConeSettings(float insideangle, float outsideangle, float outsidevolume)
{
    return withChannel(this,
                       [&](ChannelI &c) { return c.set3DConeSettings(insideangle, outsideangle, outsidevolume); });
}

AURA_RESULT Channel::get3DConeSettings(float *insideangle, float *outsideangle, float *outsidevolume)
{
    return withChannel(this,
                       [&](ChannelI &c) { return c.get3DConeSettings(insideangle, outsideangle, outsidevolume); });
}

AURA_RESULT Channel::set3DConeOrientation(const AURA_VECTOR *orientation)
{
    return withChannel(this, [&](ChannelI &c) { return c.set3DConeOrientation(orientation); });
}

AURA_RESULT Channel::get3DConeOrientation(AURA_VECTOR *orientation)
{
    return withChannel(this, [&](ChannelI &c) { return c.get3DConeOrientation(orientation); });
}

AURA_RESULT Channel::set3DCustomRolloff(AURA_VECTOR *points, int numpoints)
{
    return withChannel(this, [&](ChannelI &c) { return c.set3DCustomRolloff(points, numpoints); });
}

AURA_RESULT Channel::get3DCustomRolloff(AURA_VECTOR **points, int *numpoints)
{
    return withChannel(this, [&](ChannelI &c) { return c.get3DCustomRolloff(points, numpoints); });
}

AURA_RESULT Channel::set3DLevel(float level)
{
    return withChannel(this, [&](ChannelI &c) { return c.set3DLevel(level); });
}

AURA_RESULT Channel::get3DLevel(float *level)
{
    return withChannel(this, [&](ChannelI &c) { return c.get3DLevel(level); });
}

AURA_RESULT Channel::set3DDopplerLevel(float level)
{
    return withChannel(this, [&](ChannelI &c) { return c.set3DDopplerLevel(level); });
}

AURA_RESULT Channel::get3DDopplerLevel(float *level)
{
    return withChannel(this, [&](ChannelI &c) { return c.get3DDopplerLevel(level); });
}

AURA_RESULT Channel::set3DOcclusion(float directocclusion, float reverbocclusion)
{
    return withChannel(this, [&](ChannelI &c) { return c.set3DOcclusion(directocclusion, reverbocclusion); });
}

AURA_RESULT Channel::get3DOcclusion(float *directocclusion, float *reverbocclusion)
{
    return withChannel(this, [&](ChannelI &c) { return c.get3DOcclusion(directocclusion, reverbocclusion); });
}

AURA_RESULT Channel::getAudibility(float *audibility)
{
    return withChannel(this, [&](ChannelI &c) { return c.getAudibility(audibility); });
}

AURA_RESULT Channel::isVirtual(bool *isvirtual)
{
    return withChannel(this, [&](ChannelI &c) { return c.isVirtual(isvirtual); });
}

AURA_RESULT Channel::setPriority(int priority)
{
    return withChannel(this, [&](ChannelI &c) { return c.setPriority(priority); });
}

AURA_RESULT Channel::getPriority(int *priority)
{
    return withChannel(this, [&](ChannelI &c) { return c.getPriority(priority); });
}

// System

AURA_RESULT System::set3DSettings(float dopplerscale, float distancefactor, float rolloffscale)
{
    if (!(dopplerscale >= 0.0f) || !(distancefactor > 0.0f) || !(rolloffscale >= 0.0f) ||
        !std::isfinite(dopplerscale) || !std::isfinite(distancefactor) || !std::isfinite(rolloffscale)) {
        return AURA_ERR_INVALID_PARAM;
    }
    return withSystem(this, [&](SystemI &s) {
        s.mDopplerScale = dopplerscale;
        s.mDistanceScale = distancefactor;
        s.mRolloffScale = rolloffscale;
        // Every 3D channel works its values out again at the next update.
        s.mListener[0].mMoved = true;
        return AURA_OK;
    });
}

AURA_RESULT System::get3DSettings(float *dopplerscale, float *distancefactor, float *rolloffscale)
{
    return withSystem(this, [&](SystemI &s) {
        if (dopplerscale) {
            *dopplerscale = s.mDopplerScale;
        }
        if (distancefactor) {
            *distancefactor = s.mDistanceScale;
        }
        if (rolloffscale) {
            *rolloffscale = s.mRolloffScale;
        }
        return AURA_OK;
    });
}

AURA_RESULT System::set3DRolloffCallback(AURA_3D_ROLLOFFCALLBACK callback)
{
    return withSystem(this, [&](SystemI &s) {
        s.m3DRolloffCallback = callback;
        s.mListener[0].mMoved = true;
        return AURA_OK;
    });
}

AURA_RESULT System::setSoftwareChannels(int numsoftwarechannels)
{
    return withSystem(this, [&](SystemI &s) {
        if (s.mInitialised) {
            return AURA_ERR_INITIALIZED;
        }
        if (numsoftwarechannels < 0 || numsoftwarechannels > 4095) {
            return AURA_ERR_INVALID_PARAM;
        }
        s.mNumSoftwareVoices = numsoftwarechannels;
        return AURA_OK;
    });
}

AURA_RESULT System::getSoftwareChannels(int *numsoftwarechannels)
{
    return withSystem(this, [&](SystemI &s) { return readOut(numsoftwarechannels, s.mNumSoftwareVoices); });
}

AURA_RESULT System::setVirtualThreshold(float audibility)
{
    if (!(audibility >= 0.0f && audibility <= 1.0f)) {
        return AURA_ERR_INVALID_PARAM;
    }
    return withSystem(this, [&](SystemI &s) {
        s.mSilenceThreshold = audibility;
        return AURA_OK;
    });
}

AURA_RESULT System::getVirtualThreshold(float *audibility)
{
    return withSystem(this, [&](SystemI &s) { return readOut(audibility, s.mSilenceThreshold); });
}

AURA_RESULT System::setOcclusionFadeTime(unsigned int milliseconds)
{
    return withSystem(this, [&](SystemI &s) {
        s.mOcclusionFadeTime = milliseconds;
        return AURA_OK;
    });
}

AURA_RESULT System::getOcclusionFadeTime(unsigned int *milliseconds)
{
    return withSystem(this, [&](SystemI &s) { return readOut(milliseconds, s.mOcclusionFadeTime); });
}

AURA_RESULT System::get3DListenerAttributes(int listener, AURA_VECTOR *pos, AURA_VECTOR *vel, AURA_VECTOR *forward,
                                            AURA_VECTOR *up)
{
    SystemI *system = nullptr;
    const AURA_RESULT check = SystemI::validate(this, &system);
    if (check != AURA_OK) {
        return check;
    }
    if (listener < 0 || listener >= SystemI::MAX_LISTENERS) {
        return AURA_ERR_INVALID_PARAM;
    }
    const SystemI::Listener &l = system->mListener[listener];
    if (pos) {
        *pos = l.mPosition;
    }
    if (vel) {
        *vel = l.mVelocity;
    }
    if (forward) {
        *forward = l.mForward;
    }
    if (up) {
        *up = l.mUp;
    }
    return AURA_OK;
}

} // namespace AURA

namespace {

AURA::System *asSystem(AURA_SYSTEM *system)
{
    return reinterpret_cast<AURA::System *>(system);
}

AURA::Channel *asChannel(AURA_CHANNEL *channel)
{
    return reinterpret_cast<AURA::Channel *>(channel);
}

} // namespace

extern "C" {

AURA_RESULT AURA_System_Set3DSettings(AURA_SYSTEM *system, float dopplerscale, float distancefactor, float rolloffscale)
{
    return system ? asSystem(system)->set3DSettings(dopplerscale, distancefactor, rolloffscale)
                  : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_System_Set3DRolloffCallback(AURA_SYSTEM *system, AURA_3D_ROLLOFFCALLBACK callback)
{
    return system ? asSystem(system)->set3DRolloffCallback(callback) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_System_SetSoftwareChannels(AURA_SYSTEM *system, int numsoftwarechannels)
{
    return system ? asSystem(system)->setSoftwareChannels(numsoftwarechannels) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_System_SetVirtualThreshold(AURA_SYSTEM *system, float audibility)
{
    return system ? asSystem(system)->setVirtualThreshold(audibility) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_System_SetOcclusionFadeTime(AURA_SYSTEM *system, unsigned int milliseconds)
{
    return system ? asSystem(system)->setOcclusionFadeTime(milliseconds) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Sound_Set3DMinMaxDistance(AURA_SOUND *sound, float mindistance, float maxdistance)
{
    return sound ? reinterpret_cast<AURA::Sound *>(sound)->set3DMinMaxDistance(mindistance, maxdistance)
                 : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Channel_Set3DAttributes(AURA_CHANNEL *channel, const AURA_VECTOR *pos, const AURA_VECTOR *vel)
{
    return channel ? asChannel(channel)->set3DAttributes(pos, vel) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Channel_Set3DMinMaxDistance(AURA_CHANNEL *channel, float mindistance, float maxdistance)
{
    return channel ? asChannel(channel)->set3DMinMaxDistance(mindistance, maxdistance) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Channel_Set3DConeSettings(AURA_CHANNEL *channel, float insideangle, float outsideangle,
                                           float outsidevolume)
{
    return channel ? asChannel(channel)->set3DConeSettings(insideangle, outsideangle, outsidevolume)
                   : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Channel_Set3DConeOrientation(AURA_CHANNEL *channel, const AURA_VECTOR *orientation)
{
    return channel ? asChannel(channel)->set3DConeOrientation(orientation) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Channel_Set3DOcclusion(AURA_CHANNEL *channel, float directocclusion, float reverbocclusion)
{
    return channel ? asChannel(channel)->set3DOcclusion(directocclusion, reverbocclusion) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Channel_GetAudibility(AURA_CHANNEL *channel, float *audibility)
{
    return channel ? asChannel(channel)->getAudibility(audibility) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Channel_IsVirtual(AURA_CHANNEL *channel, int *isvirtual)
{
    if (!channel || !isvirtual) {
        return AURA_ERR_INVALID_PARAM;
    }
    bool value = false;
    const AURA_RESULT result = asChannel(channel)->isVirtual(&value);
    *isvirtual = value ? 1 : 0;
    return result;
}

AURA_RESULT AURA_Channel_SetPriority(AURA_CHANNEL *channel, int priority)
{
    return channel ? asChannel(channel)->setPriority(priority) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_System_Get3DSettings(AURA_SYSTEM *system, float *dopplerscale, float *distancefactor,
                                      float *rolloffscale)
{
    return system ? asSystem(system)->get3DSettings(dopplerscale, distancefactor, rolloffscale)
                  : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_System_Set3DListenerAttributes(AURA_SYSTEM *system, int listener, const AURA_VECTOR *pos,
                                                const AURA_VECTOR *vel, const AURA_VECTOR *forward,
                                                const AURA_VECTOR *up)
{
    return system ? asSystem(system)->set3DListenerAttributes(listener, pos, vel, forward, up)
                  : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_System_Get3DListenerAttributes(AURA_SYSTEM *system, int listener, AURA_VECTOR *pos, AURA_VECTOR *vel,
                                                AURA_VECTOR *forward, AURA_VECTOR *up)
{
    return system ? asSystem(system)->get3DListenerAttributes(listener, pos, vel, forward, up)
                  : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Sound_Get3DMinMaxDistance(AURA_SOUND *sound, float *mindistance, float *maxdistance)
{
    return sound ? reinterpret_cast<AURA::Sound *>(sound)->get3DMinMaxDistance(mindistance, maxdistance) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Sound_Set3DConeSettings(AURA_SOUND *sound, float insideangle, float outsideangle, float outsidevolume)
{
    return sound ? reinterpret_cast<AURA::Sound *>(sound)->set3DConeSettings(insideangle, outsideangle, outsidevolume)
                 : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Sound_Get3DConeSettings(AURA_SOUND *sound, float *insideangle, float *outsideangle,
                                         float *outsidevolume)
{
    return sound ? reinterpret_cast<AURA::Sound *>(sound)->get3DConeSettings(insideangle, outsideangle, outsidevolume)
                 : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Channel_Get3DAttributes(AURA_CHANNEL *channel, AURA_VECTOR *pos, AURA_VECTOR *vel)
{
    return channel ? asChannel(channel)->get3DAttributes(pos, vel) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Channel_Get3DMinMaxDistance(AURA_CHANNEL *channel, float *mindistance, float *maxdistance)
{
    return channel ? asChannel(channel)->get3DMinMaxDistance(mindistance, maxdistance) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Channel_Get3DConeSettings(AURA_CHANNEL *channel, float *insideangle, float *outsideangle,
                                           float *outsidevolume)
{
    return channel ? asChannel(channel)->get3DConeSettings(insideangle, outsideangle, outsidevolume)
                   : AURA_ERR_INVALID_PARAM;
}

} // extern "C"
