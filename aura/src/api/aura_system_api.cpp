// The system handle class: each member checks that it is a live system.
#include "aura.hpp"
#include "api/aura_dsp_api.h"
#include "channel/aura_channelgroupi.h"
#include "channel/aura_channeli.h"
#include "dsp/aura_dspi.h"
#include "sound/aura_soundi.h"
#include "system/aura_systemi.h"

namespace AURA {

#define AURA_SYSTEM_FORWARD(call)                                   \
    SystemI *system = nullptr;                                      \
    const AURA_RESULT check = SystemI::validate(this, &system);     \
    if (check != AURA_OK) {                                         \
        return check;                                               \
    }                                                               \
    return system->call

AURA_RESULT System::release()
{
    SystemI *system = nullptr;
    const AURA_RESULT check = SystemI::validate(this, &system);
    if (check != AURA_OK) {
        return check;
    }
    releaseSystemDSPs(system);
    return system->releaseInternal();
}

AURA_RESULT System::setOutput(AURA_OUTPUTTYPE output)
{
    AURA_SYSTEM_FORWARD(setOutputInternal(output));
}

AURA_RESULT System::getOutput(AURA_OUTPUTTYPE *output)
{
    SystemI *system = nullptr;
    const AURA_RESULT check = SystemI::validate(this, &system);
    if (check != AURA_OK) {
        return check;
    }
    if (!output) {
        return AURA_ERR_INVALID_PARAM;
    }
    *output = system->mOutputType;
    return AURA_OK;
}

AURA_RESULT System::setDriver(int driver)
{
    AURA_SYSTEM_FORWARD(setDriverInternal(driver));
}

AURA_RESULT System::setCallback(AURA_SYSTEM_CALLBACK callback)
{
    SystemI *system = nullptr;
    const AURA_RESULT check = SystemI::validate(this, &system);
    if (check != AURA_OK) {
        return check;
    }
    system->mCallback = callback;
    return AURA_OK;
}

AURA_RESULT System::setSoftwareFormat(int samplerate, AURA_SOUND_FORMAT format,
                                      int numoutputchannels, int maxinputchannels,
                                      AURA_DSP_RESAMPLER resamplemethod)
{
    AURA_SYSTEM_FORWARD(setSoftwareFormatInternal(samplerate, format, numoutputchannels,
                                                  maxinputchannels, resamplemethod));
}

AURA_RESULT System::getSoftwareFormat(int *samplerate, AURA_SOUND_FORMAT *format,
                                      int *numoutputchannels, int *maxinputchannels,
                                      AURA_DSP_RESAMPLER *resamplemethod, int *bits)
{
    AURA_SYSTEM_FORWARD(getSoftwareFormatInternal(samplerate, format, numoutputchannels,
                                                  maxinputchannels, resamplemethod, bits));
}

AURA_RESULT System::setDSPBufferSize(unsigned int bufferlength, int numbuffers)
{
    AURA_SYSTEM_FORWARD(setDSPBufferSizeInternal(bufferlength, numbuffers));
}

AURA_RESULT System::setAdvancedSettings(AURA_ADVANCEDSETTINGS *settings)
{
    AURA_SYSTEM_FORWARD(setAdvancedSettingsInternal(settings));
}

AURA_RESULT System::getAdvancedSettings(AURA_ADVANCEDSETTINGS *settings)
{
    AURA_SYSTEM_FORWARD(getAdvancedSettingsInternal(settings));
}

AURA_RESULT System::getCPUUsage(float *dsp, float *stream, float *geometry, float *update, float *total)
{
    AURA_SYSTEM_FORWARD(getCPUUsage(dsp, stream, geometry, update, total));
}

AURA_RESULT System::setNetworkProxy(const char *proxy)
{
    AURA_SYSTEM_FORWARD(setNetworkProxyInternal(proxy));
}

AURA_RESULT System::getNetworkProxy(char *proxy, int proxylen)
{
    AURA_SYSTEM_FORWARD(getNetworkProxyInternal(proxy, proxylen));
}

AURA_RESULT System::setNetworkTimeout(int timeout)
{
    AURA_SYSTEM_FORWARD(setNetworkTimeoutInternal(timeout));
}

AURA_RESULT System::getNetworkTimeout(int *timeout)
{
    AURA_SYSTEM_FORWARD(getNetworkTimeoutInternal(timeout));
}

AURA_RESULT System::getDSPBufferSize(unsigned int *bufferlength, int *numbuffers)
{
    AURA_SYSTEM_FORWARD(getDSPBufferSize(bufferlength, numbuffers));
}

AURA_RESULT System::setReverbProperties(const AURA_REVERB_PROPERTIES *prop)
{
    AURA_SYSTEM_FORWARD(setReverbProperties(prop));
}

AURA_RESULT System::getReverbProperties(AURA_REVERB_PROPERTIES *prop)
{
    AURA_SYSTEM_FORWARD(getReverbProperties(prop));
}

AURA_RESULT System::init(int maxchannels, unsigned int flags, void *extradriverdata)
{
    AURA_SYSTEM_FORWARD(initInternal(maxchannels, flags, extradriverdata));
}

AURA_RESULT System::set3DListenerAttributes(int listener, const AURA_VECTOR *pos, const AURA_VECTOR *vel,
                                            const AURA_VECTOR *forward, const AURA_VECTOR *up)
{
    AURA_SYSTEM_FORWARD(set3DListenerAttributesInternal(listener, pos, vel, forward, up));
}

AURA_RESULT System::update()
{
    AURA_SYSTEM_FORWARD(updateInternal());
}

AURA_RESULT System::playSound(AURA_CHANNELINDEX channelid, Sound *sound, bool paused, Channel **channel)
{
    SystemI *system = nullptr;
    const AURA_RESULT check = SystemI::validate(this, &system);
    if (check != AURA_OK) {
        return check;
    }
    ChannelI *played = nullptr;
    const AURA_RESULT result =
        system->playSoundInternal(channelid, static_cast<SoundI *>(sound), paused, &played);
    if (channel) {
        *channel = played ? played->getHandle() : nullptr;
    }
    return result;
}

AURA_RESULT System::getMasterChannelGroup(ChannelGroup **channelgroup)
{
    SystemI *system = nullptr;
    const AURA_RESULT check = SystemI::validate(this, &system);
    if (check != AURA_OK) {
        return check;
    }
    if (!channelgroup) {
        return AURA_ERR_INVALID_PARAM;
    }
    ChannelGroupI *group = nullptr;
    const AURA_RESULT result = system->getMasterChannelGroupInternal(&group);
    *channelgroup = group;
    return result;
}

AURA_RESULT System::createChannelGroup(const char *name, ChannelGroup **channelgroup)
{
    SystemI *system = nullptr;
    const AURA_RESULT check = SystemI::validate(this, &system);
    if (check != AURA_OK) {
        return check;
    }
    if (!channelgroup) {
        return AURA_ERR_INVALID_PARAM;
    }
    ChannelGroupI *group = nullptr;
    const AURA_RESULT result = system->createChannelGroupInternal(name, &group);
    *channelgroup = group;
    return result;
}

#undef AURA_SYSTEM_FORWARD

AURA_RESULT System_Create(System **system)
{
    if (!system) {
        return AURA_ERR_INVALID_PARAM;
    }
    SystemI *created = nullptr;
    const AURA_RESULT result = SystemI::create(&created);
    *system = created;
    return result;
}

AURA_RESULT System::createStream(const char *name_or_data, AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo,
                                 Sound **sound)
{
    return createSound(name_or_data, mode | AURA_CREATESTREAM, exinfo, sound);
}

AURA_RESULT System::createSound(const char *name_or_data, AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo,
                                Sound **sound)
{
    SystemI *system = nullptr;
    const AURA_RESULT check = SystemI::validate(this, &system);
    if (check != AURA_OK) {
        return check;
    }
    if (!sound) {
        return AURA_ERR_INVALID_PARAM;
    }
    SoundI *created = nullptr;
    const AURA_RESULT result =
        system->createSoundInternal(name_or_data, mode, 0, AURA_TIMEUNIT_PCM, exinfo, false, &created);
    *sound = created;
    return result;
}

} // namespace AURA
