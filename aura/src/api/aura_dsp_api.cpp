// The effect-unit handle class and the members of the other handles that
// make, place, play and read units. A unit handle is the unit's address,
// valid from createDSPByType to its release or its system's.
#include "api/aura_dsp_api.h"

#include "aura.hpp"
#include "channel/aura_channelgroupi.h"
#include "channel/aura_channeli.h"
#include "dsp/aura_dsp_filter.h"
#include "dsp/units/aura_dsp_fft.h"
#include "system/aura_systemi.h"

#include <mutex>
#include <unordered_map>
#include <vector>

namespace AURA {

namespace {
// Live unit handles and the system of each.
std::mutex gDSPHandleLock;
std::unordered_map<const void *, SystemI *> &dspHandles()
{
    static std::unordered_map<const void *, SystemI *> handles;
    return handles;
}

DSPI *findDSP(const DSP *handle)
{
    std::lock_guard<std::mutex> lock(gDSPHandleLock);
    return dspHandles().count(handle) ? reinterpret_cast<DSPI *>(const_cast<DSP *>(handle)) : nullptr;
}

DSP *asHandle(DSPI *unit)
{
    return reinterpret_cast<DSP *>(unit);
}
} // namespace

namespace {
// Takes a unit out of the graph and frees it; its handle is already gone.
AURA_RESULT releaseUnit(DSPI *unit)
{
    if (unit->mSystem) {
        static_cast<SystemI *>(unit->mSystem)->releaseReverbConnectionPoint(unit);
        (void)unit->mSystem->stopDSP(unit);
    }
    // A unit inside a chain hands its input on to its output first, so
    // that what it processed still reaches the mix.
    (void)unit->remove();
    return unit->release(true);
}
} // namespace

AURA_RESULT checkConnectionPoint(const SystemI *system, const void *handle)
{
    if (!handle) {
        return AURA_OK;
    }
    std::lock_guard<std::mutex> lock(gDSPHandleLock);
    const auto found = dspHandles().find(handle);
    return found != dspHandles().end() && found->second == system ? AURA_OK : AURA_ERR_INVALID_PARAM;
}

void releaseSystemDSPs(const SystemI *system)
{
    std::vector<DSPI *> units;
    {
        std::lock_guard<std::mutex> lock(gDSPHandleLock);
        for (auto it = dspHandles().begin(); it != dspHandles().end();) {
            if (it->second == system) {
                units.push_back(reinterpret_cast<DSPI *>(const_cast<void *>(it->first)));
                it = dspHandles().erase(it);
            } else {
                ++it;
            }
        }
    }
    for (DSPI *unit : units) {
        (void)releaseUnit(unit);
    }
}

#define AURA_DSP_FORWARD(call)                                                                                         \
    DSPI *unit = findDSP(this);                                                                                        \
    if (!unit) {                                                                                                       \
        return AURA_ERR_INVALID_HANDLE;                                                                                \
    }                                                                                                                  \
    return unit->call

AURA_RESULT DSP::release()
{
    DSPI *unit = nullptr;
    {
        std::lock_guard<std::mutex> lock(gDSPHandleLock);
        auto found = dspHandles().find(this);
        if (found == dspHandles().end()) {
            return AURA_ERR_INVALID_HANDLE;
        }
        unit = reinterpret_cast<DSPI *>(this);
        dspHandles().erase(found);
    }
    return releaseUnit(unit);
}

AURA_RESULT DSP::setParameter(int index, float value)
{
    if (value != value) {
        return AURA_ERR_INVALID_FLOAT;
    }
    AURA_DSP_FORWARD(setParameter(index, value));
}

AURA_RESULT DSP::getParameter(int index, float *value, char *valuestr, int valuestrlen)
{
    AURA_DSP_FORWARD(getParameter(index, value, valuestr, valuestrlen));
}

AURA_RESULT DSP::getNumParameters(int *numparams)
{
    AURA_DSP_FORWARD(getNumParameters(numparams));
}

AURA_RESULT DSP::getParameterInfo(int index, char *name, char *label, char *description, int descriptionlen, float *min,
                                  float *max)
{
    AURA_DSP_FORWARD(getParameterInfo(index, name, label, description, descriptionlen, min, max));
}

AURA_RESULT DSP::getInfo(char *name, unsigned int *version, int *channels, int *configwidth, int *configheight)
{
    AURA_DSP_FORWARD(getInfo(name, version, channels, configwidth, configheight));
}

AURA_RESULT DSP::getType(AURA_DSP_TYPE *type)
{
    if (!type) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA_DSP_FORWARD(getType(type));
}

AURA_RESULT DSP::setBypass(bool bypass)
{
    DSPI *unit = findDSP(this);
    if (!unit) {
        return AURA_ERR_INVALID_HANDLE;
    }
    unit->setBypass(bypass);
    return AURA_OK;
}

AURA_RESULT DSP::getBypass(bool *bypass)
{
    DSPI *unit = findDSP(this);
    if (!unit) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (!bypass) {
        return AURA_ERR_INVALID_PARAM;
    }
    *bypass = unit->hasFlags(DSPI_FLAG_BYPASS);
    return AURA_OK;
}

AURA_RESULT DSP::reset()
{
    DSPI *unit = findDSP(this);
    if (!unit) {
        return AURA_ERR_INVALID_HANDLE;
    }
    // The unit's memory is the mixer's: clear it between two blocks.
    if (unit->mSystem) {
        (void)unit->mSystem->lockDSP();
    }
    const AURA_RESULT result = unit->reset();
    if (unit->mSystem) {
        (void)unit->mSystem->unlockDSP();
    }
    return result;
}

#undef AURA_DSP_FORWARD

AURA_RESULT System::createDSPByType(AURA_DSP_TYPE type, DSP **dsp)
{
    SystemI *system = nullptr;
    const AURA_RESULT check = SystemI::validate(this, &system);
    if (check != AURA_OK) {
        return check;
    }
    if (!dsp) {
        return AURA_ERR_INVALID_PARAM;
    }
    *dsp = nullptr;
    if (system->mFlags & AURA_INIT_SOFTWARE_DISABLE) {
        return AURA_ERR_NEEDSSOFTWARE;
    }
    DSPI *unit = nullptr;
    const AURA_RESULT result = system->createDSPByType(type, &unit);
    if (result != AURA_OK) {
        return result;
    }
    unit->setActive(true);
    // Played on a channel, a unit runs at the mix's rate unless told
    // otherwise.
    unit->mDefaultFrequency = static_cast<float>(system->mOutputRate);
    {
        std::lock_guard<std::mutex> lock(gDSPHandleLock);
        dspHandles()[asHandle(unit)] = system;
    }
    *dsp = asHandle(unit);
    return AURA_OK;
}

AURA_RESULT System::playDSP(AURA_CHANNELINDEX channelid, DSP *dsp, bool paused, Channel **channel)
{
    SystemI *system = nullptr;
    const AURA_RESULT check = SystemI::validate(this, &system);
    if (check != AURA_OK) {
        return check;
    }
    if (channel) {
        *channel = nullptr;
    }
    DSPI *unit = dsp ? findDSP(dsp) : nullptr;
    if (!unit || unit->mSystem != system) {
        return AURA_ERR_INVALID_PARAM;
    }
    ChannelI *played = nullptr;
    const AURA_RESULT result = system->playDSPInternal(channelid, unit, paused, &played);
    if (channel) {
        *channel = played ? played->getHandle() : nullptr;
    }
    return result;
}

AURA_RESULT System::getSpectrum(float *spectrumarray, int numvalues, int channeloffset, AURA_DSP_FFT_WINDOW windowtype)
{
    SystemI *system = nullptr;
    const AURA_RESULT check = SystemI::validate(this, &system);
    if (check != AURA_OK) {
        return check;
    }
    ChannelGroupI *master = nullptr;
    const AURA_RESULT result = system->getMasterChannelGroupInternal(&master);
    if (result != AURA_OK) {
        return result;
    }
    if (!master || !master->mDSPHead) {
        return AURA_ERR_INITIALIZATION;
    }
    // The end of the master's chain: its head, or the last unit added to it
    // (all plain filter units).
    DSPI *end = master->chainEnd();
    return getUnitSpectrum(static_cast<DSPFilter *>(end), system->mMaxOutputChannels, spectrumarray, numvalues,
                           channeloffset, windowtype);
}

AURA_RESULT Channel::addDSP(DSP *dsp)
{
    ChannelI *channel = nullptr;
    const AURA_RESULT check = ChannelI::validate(this, &channel);
    if (check != AURA_OK) {
        return check;
    }
    DSPI *unit = dsp ? findDSP(dsp) : nullptr;
    if (!unit) {
        return AURA_ERR_INVALID_PARAM;
    }
    return channel->addDSP(unit, nullptr);
}

AURA_RESULT Channel::getSpectrum(float *spectrumarray, int numvalues, int channeloffset, AURA_DSP_FFT_WINDOW windowtype)
{
    ChannelI *channel = nullptr;
    const AURA_RESULT check = ChannelI::validate(this, &channel);
    if (check != AURA_OK) {
        return check;
    }
    return channel->getSpectrum(spectrumarray, numvalues, channeloffset, windowtype);
}

AURA_RESULT Channel::getWaveData(float *wavearray, int numvalues, int channeloffset)
{
    ChannelI *channel = nullptr;
    const AURA_RESULT check = ChannelI::validate(this, &channel);
    if (check != AURA_OK) {
        return check;
    }
    return channel->getWaveData(wavearray, numvalues, channeloffset);
}

AURA_RESULT ChannelGroup::addDSP(DSP *dsp)
{
    ChannelGroupI *group = nullptr;
    const AURA_RESULT check = ChannelGroupI::validate(this, &group);
    if (check != AURA_OK) {
        return check;
    }
    DSPI *unit = dsp ? findDSP(dsp) : nullptr;
    if (!unit || unit->mSystem != group->mDSPHead->mSystem) {
        return AURA_ERR_INVALID_PARAM;
    }
    return group->addDSP(unit, nullptr);
}

} // namespace AURA

// The C entry points of the same.
namespace {
AURA::DSP *asDSP(AURA_DSP *dsp)
{
    return reinterpret_cast<AURA::DSP *>(dsp);
}
} // namespace

extern "C" {

AURA_RESULT AURA_System_CreateDSPByType(AURA_SYSTEM *system, AURA_DSP_TYPE type, AURA_DSP **dsp)
{
    if (!system || !dsp) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA::DSP *made = nullptr;
    const AURA_RESULT result = reinterpret_cast<AURA::System *>(system)->createDSPByType(type, &made);
    *dsp = reinterpret_cast<AURA_DSP *>(made);
    return result;
}

AURA_RESULT AURA_System_PlayDSP(AURA_SYSTEM *system, AURA_CHANNELINDEX channelid, AURA_DSP *dsp, int paused,
                                AURA_CHANNEL **channel)
{
    if (!system) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA::Channel *played = nullptr;
    const AURA_RESULT result =
        reinterpret_cast<AURA::System *>(system)->playDSP(channelid, asDSP(dsp), paused != 0, &played);
    if (channel) {
        *channel = reinterpret_cast<AURA_CHANNEL *>(played);
    }
    return result;
}

AURA_RESULT AURA_System_GetSpectrum(AURA_SYSTEM *system, float *spectrumarray, int numvalues, int channeloffset,
                                    AURA_DSP_FFT_WINDOW windowtype)
{
    if (!system) {
        return AURA_ERR_INVALID_PARAM;
    }
    return reinterpret_cast<AURA::System *>(system)->getSpectrum(spectrumarray, numvalues, channeloffset, windowtype);
}

AURA_RESULT AURA_Channel_AddDSP(AURA_CHANNEL *channel, AURA_DSP *dsp)
{
    if (!channel) {
        return AURA_ERR_INVALID_PARAM;
    }
    return reinterpret_cast<AURA::Channel *>(channel)->addDSP(asDSP(dsp));
}

AURA_RESULT AURA_Channel_GetSpectrum(AURA_CHANNEL *channel, float *spectrumarray, int numvalues, int channeloffset,
                                     AURA_DSP_FFT_WINDOW windowtype)
{
    if (!channel) {
        return AURA_ERR_INVALID_PARAM;
    }
    return reinterpret_cast<AURA::Channel *>(channel)->getSpectrum(spectrumarray, numvalues, channeloffset, windowtype);
}

AURA_RESULT AURA_Channel_GetWaveData(AURA_CHANNEL *channel, float *wavearray, int numvalues, int channeloffset)
{
    if (!channel) {
        return AURA_ERR_INVALID_PARAM;
    }
    return reinterpret_cast<AURA::Channel *>(channel)->getWaveData(wavearray, numvalues, channeloffset);
}

AURA_RESULT AURA_ChannelGroup_AddDSP(AURA_CHANNELGROUP *channelgroup, AURA_DSP *dsp)
{
    if (!channelgroup) {
        return AURA_ERR_INVALID_PARAM;
    }
    return reinterpret_cast<AURA::ChannelGroup *>(channelgroup)->addDSP(asDSP(dsp));
}

AURA_RESULT AURA_DSP_Release(AURA_DSP *dsp)
{
    return dsp ? asDSP(dsp)->release() : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_DSP_SetParameter(AURA_DSP *dsp, int index, float value)
{
    return dsp ? asDSP(dsp)->setParameter(index, value) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_DSP_GetParameter(AURA_DSP *dsp, int index, float *value, char *valuestr, int valuestrlen)
{
    return dsp ? asDSP(dsp)->getParameter(index, value, valuestr, valuestrlen) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_DSP_GetNumParameters(AURA_DSP *dsp, int *numparams)
{
    return dsp ? asDSP(dsp)->getNumParameters(numparams) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_DSP_GetParameterInfo(AURA_DSP *dsp, int index, char *name, char *label, char *description,
                                      int descriptionlen, float *min, float *max)
{
    return dsp ? asDSP(dsp)->getParameterInfo(index, name, label, description, descriptionlen, min, max)
               : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_DSP_GetInfo(AURA_DSP *dsp, char *name, unsigned int *version, int *channels, int *configwidth,
                             int *configheight)
{
    return dsp ? asDSP(dsp)->getInfo(name, version, channels, configwidth, configheight) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_DSP_GetType(AURA_DSP *dsp, AURA_DSP_TYPE *type)
{
    return dsp ? asDSP(dsp)->getType(type) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_DSP_SetBypass(AURA_DSP *dsp, int bypass)
{
    return dsp ? asDSP(dsp)->setBypass(bypass != 0) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_DSP_GetBypass(AURA_DSP *dsp, int *bypass)
{
    if (!dsp) {
        return AURA_ERR_INVALID_PARAM;
    }
    bool value = false;
    const AURA_RESULT result = asDSP(dsp)->getBypass(&value);
    if (bypass) {
        *bypass = result == AURA_OK && value ? 1 : 0;
    }
    return result;
}

AURA_RESULT AURA_DSP_Reset(AURA_DSP *dsp)
{
    return dsp ? asDSP(dsp)->reset() : AURA_ERR_INVALID_PARAM;
}

} // extern "C"
