// The C entry points: each checks its handle and forwards to the C++ class.
#include "aura.h"
#include "aura.hpp"

// The creation information keeps the size of its 32-bit targets there.
static_assert(sizeof(void *) != 4 || sizeof(AURA_CREATESOUNDEXINFO) == 124, "31 words on 32-bit targets");

namespace {

AURA::System *asSystem(AURA_SYSTEM *system)
{
    return reinterpret_cast<AURA::System *>(system);
}

AURA::Sound *asSound(AURA_SOUND *sound)
{
    return reinterpret_cast<AURA::Sound *>(sound);
}

AURA::Channel *asChannel(AURA_CHANNEL *channel)
{
    return reinterpret_cast<AURA::Channel *>(channel);
}

// A yes-or-no question to a channel, answered as 0 or 1 (0 on failure).
AURA_RESULT readChannelFlag(AURA_CHANNEL *channel, AURA_RESULT (AURA::Channel::*ask)(bool *), int *out)
{
    if (!channel) {
        return AURA_ERR_INVALID_PARAM;
    }
    bool value = false;
    const AURA_RESULT result = (asChannel(channel)->*ask)(&value);
    if (out) {
        *out = result == AURA_OK && value ? 1 : 0;
    }
    return result;
}

} // namespace

extern "C" {

AURA_RESULT AURA_System_Create(AURA_SYSTEM **system)
{
    if (!system) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA::System *created = nullptr;
    const AURA_RESULT result = AURA::System_Create(&created);
    *system = reinterpret_cast<AURA_SYSTEM *>(created);
    return result;
}

// Every system function checks its handle against the live systems; the
// public class does it, so a stale or foreign pointer gives 37 and is never
// touched.
AURA_RESULT AURA_System_Release(AURA_SYSTEM *system)
{
    if (!system) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asSystem(system)->release();
}

AURA_RESULT AURA_System_SetOutput(AURA_SYSTEM *system, AURA_OUTPUTTYPE output)
{
    if (!system) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asSystem(system)->setOutput(output);
}

AURA_RESULT AURA_System_SetDriver(AURA_SYSTEM *system, int driver)
{
    if (!system) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asSystem(system)->setDriver(driver);
}

AURA_RESULT AURA_System_SetCallback(AURA_SYSTEM *system, AURA_SYSTEM_CALLBACK callback)
{
    if (!system) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asSystem(system)->setCallback(callback);
}

AURA_RESULT AURA_System_SetSoftwareFormat(AURA_SYSTEM *system, int samplerate, AURA_SOUND_FORMAT format,
                                          int numoutputchannels, int maxinputchannels,
                                          AURA_DSP_RESAMPLER resamplemethod)
{
    if (!system) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asSystem(system)->setSoftwareFormat(samplerate, format, numoutputchannels, maxinputchannels,
                                               resamplemethod);
}

AURA_RESULT AURA_System_GetSoftwareFormat(AURA_SYSTEM *system, int *samplerate,
                                          AURA_SOUND_FORMAT *format, int *numoutputchannels,
                                          int *maxinputchannels,
                                          AURA_DSP_RESAMPLER *resamplemethod, int *bits)
{
    if (!system) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asSystem(system)->getSoftwareFormat(samplerate, format, numoutputchannels,
                                               maxinputchannels, resamplemethod, bits);
}

AURA_RESULT AURA_System_SetDSPBufferSize(AURA_SYSTEM *system, unsigned int bufferlength,
                                         int numbuffers)
{
    if (!system) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asSystem(system)->setDSPBufferSize(bufferlength, numbuffers);
}

AURA_RESULT AURA_System_SetReverbProperties(AURA_SYSTEM *system, const AURA_REVERB_PROPERTIES *prop)
{
    return system ? asSystem(system)->setReverbProperties(prop) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_System_GetReverbProperties(AURA_SYSTEM *system, AURA_REVERB_PROPERTIES *prop)
{
    return system ? asSystem(system)->getReverbProperties(prop) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_System_SetAdvancedSettings(AURA_SYSTEM *system, AURA_ADVANCEDSETTINGS *settings)
{
    return system ? asSystem(system)->setAdvancedSettings(settings) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_System_GetAdvancedSettings(AURA_SYSTEM *system, AURA_ADVANCEDSETTINGS *settings)
{
    return system ? asSystem(system)->getAdvancedSettings(settings) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_System_GetCPUUsage(AURA_SYSTEM *system, float *dsp, float *stream, float *geometry, float *update,
                                    float *total)
{
    return system ? asSystem(system)->getCPUUsage(dsp, stream, geometry, update, total) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_System_SetNetworkProxy(AURA_SYSTEM *system, const char *proxy)
{
    return system ? asSystem(system)->setNetworkProxy(proxy) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_System_GetNetworkProxy(AURA_SYSTEM *system, char *proxy, int proxylen)
{
    return system ? asSystem(system)->getNetworkProxy(proxy, proxylen) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_System_SetNetworkTimeout(AURA_SYSTEM *system, int timeout)
{
    return system ? asSystem(system)->setNetworkTimeout(timeout) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_System_GetNetworkTimeout(AURA_SYSTEM *system, int *timeout)
{
    return system ? asSystem(system)->getNetworkTimeout(timeout) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_System_GetDSPBufferSize(AURA_SYSTEM *system, unsigned int *bufferlength,
                                         int *numbuffers)
{
    if (!system) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asSystem(system)->getDSPBufferSize(bufferlength, numbuffers);
}

AURA_RESULT AURA_System_Init(AURA_SYSTEM *system, int maxchannels, unsigned int flags,
                             void *extradriverdata)
{
    if (!system) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asSystem(system)->init(maxchannels, flags, extradriverdata);
}

AURA_RESULT AURA_System_Update(AURA_SYSTEM *system)
{
    if (!system) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asSystem(system)->update();
}

AURA_RESULT AURA_System_PlaySound(AURA_SYSTEM *system, AURA_CHANNELINDEX channelid, AURA_SOUND *sound,
                                  int paused, AURA_CHANNEL **channel)
{
    if (!system) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA::Channel *played = nullptr;
    const AURA_RESULT result = asSystem(system)->playSound(channelid, asSound(sound), paused != 0, &played);
    if (channel) {
        *channel = reinterpret_cast<AURA_CHANNEL *>(played);
    }
    return result;
}

AURA_RESULT AURA_System_CreateSound(AURA_SYSTEM *system, const char *name_or_data, AURA_MODE mode,
                                    AURA_CREATESOUNDEXINFO *exinfo, AURA_SOUND **sound)
{
    if (!system) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!sound) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA::Sound *created = nullptr;
    const AURA_RESULT result = asSystem(system)->createSound(name_or_data, mode, exinfo, &created);
    *sound = reinterpret_cast<AURA_SOUND *>(created);
    return result;
}

AURA_RESULT AURA_System_CreateStream(AURA_SYSTEM *system, const char *name_or_data, AURA_MODE mode,
                                     AURA_CREATESOUNDEXINFO *exinfo, AURA_SOUND **sound)
{
    if (!system || !sound) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA::Sound *created = nullptr;
    const AURA_RESULT result = asSystem(system)->createStream(name_or_data, mode, exinfo, &created);
    *sound = reinterpret_cast<AURA_SOUND *>(created);
    return result;
}

AURA_RESULT AURA_Sound_Release(AURA_SOUND *sound)
{
    if (!sound) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asSound(sound)->release();
}

AURA_RESULT AURA_Sound_GetLength(AURA_SOUND *sound, unsigned int *length, AURA_TIMEUNIT lengthtype)
{
    if (!sound) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asSound(sound)->getLength(length, lengthtype);
}

AURA_RESULT AURA_Sound_GetDefaults(AURA_SOUND *sound, float *frequency, float *volume, float *pan, int *priority)
{
    if (!sound) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asSound(sound)->getDefaults(frequency, volume, pan, priority);
}

AURA_RESULT AURA_Sound_GetNumSubSounds(AURA_SOUND *sound, int *numsubsounds)
{
    if (!sound) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asSound(sound)->getNumSubSounds(numsubsounds);
}

AURA_RESULT AURA_Sound_GetSubSound(AURA_SOUND *sound, int index, AURA_SOUND **subsound)
{
    if (!sound || !subsound) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA::Sound *found = nullptr;
    const AURA_RESULT result = asSound(sound)->getSubSound(index, &found);
    *subsound = reinterpret_cast<AURA_SOUND *>(found);
    return result;
}

AURA_RESULT AURA_Sound_SetSubSoundSentence(AURA_SOUND *sound, int *subsoundlist, int numsubsounds)
{
    return sound ? asSound(sound)->setSubSoundSentence(subsoundlist, numsubsounds) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Sound_GetName(AURA_SOUND *sound, char *name, int namelen)
{
    if (!sound) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asSound(sound)->getName(name, namelen);
}

AURA_RESULT AURA_Sound_GetMusicNumChannels(AURA_SOUND *sound, int *numchannels)
{
    return sound ? asSound(sound)->getMusicNumChannels(numchannels) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Sound_SetMusicChannelVolume(AURA_SOUND *sound, int channel, float volume)
{
    return sound ? asSound(sound)->setMusicChannelVolume(channel, volume) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Sound_GetMusicChannelVolume(AURA_SOUND *sound, int channel, float *volume)
{
    return sound ? asSound(sound)->getMusicChannelVolume(channel, volume) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Sound_SetMusicSpeed(AURA_SOUND *sound, float speed)
{
    return sound ? asSound(sound)->setMusicSpeed(speed) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Sound_GetMusicSpeed(AURA_SOUND *sound, float *speed)
{
    return sound ? asSound(sound)->getMusicSpeed(speed) : AURA_ERR_INVALID_PARAM;
}

// A channel handle is a packed value; the class checks it before use.
AURA_RESULT AURA_Channel_Stop(AURA_CHANNEL *channel)
{
    if (!channel) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asChannel(channel)->stop();
}

AURA_RESULT AURA_Channel_SetPaused(AURA_CHANNEL *channel, int paused)
{
    if (!channel) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asChannel(channel)->setPaused(paused != 0);
}

AURA_RESULT AURA_Channel_GetPaused(AURA_CHANNEL *channel, int *paused)
{
    return readChannelFlag(channel, &AURA::Channel::getPaused, paused);
}

AURA_RESULT AURA_Channel_IsPlaying(AURA_CHANNEL *channel, int *isplaying)
{
    return readChannelFlag(channel, &AURA::Channel::isPlaying, isplaying);
}

AURA_RESULT AURA_Channel_SetVolume(AURA_CHANNEL *channel, float volume)
{
    if (!channel) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asChannel(channel)->setVolume(volume);
}

AURA_RESULT AURA_Channel_SetPan(AURA_CHANNEL *channel, float pan)
{
    if (!channel) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asChannel(channel)->setPan(pan);
}

AURA_RESULT AURA_Channel_SetPosition(AURA_CHANNEL *channel, unsigned int position, AURA_TIMEUNIT postype)
{
    if (!channel) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asChannel(channel)->setPosition(position, postype);
}

AURA_RESULT AURA_Channel_GetPosition(AURA_CHANNEL *channel, unsigned int *position, AURA_TIMEUNIT postype)
{
    if (!channel) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asChannel(channel)->getPosition(position, postype);
}

AURA_RESULT AURA_Channel_SetCallback(AURA_CHANNEL *channel, AURA_CHANNEL_CALLBACK callback)
{
    if (!channel) {
        return AURA_ERR_INVALID_PARAM;
    }
    return asChannel(channel)->setCallback(callback);
}

AURA_RESULT AURA_Channel_GetCurrentSound(AURA_CHANNEL *channel, AURA_SOUND **sound)
{
    if (!channel) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA::Sound *current = nullptr;
    const AURA_RESULT result = asChannel(channel)->getCurrentSound(&current);
    if (sound) {
        *sound = reinterpret_cast<AURA_SOUND *>(current);
    }
    return result;
}

} // extern "C"
