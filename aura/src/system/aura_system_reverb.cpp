// The global reverb's units: made when an instance gets an environment,
// fed by the channels' reverb sends, mixed into the master group.
#include "channel/aura_channelgroupi.h"
#include "dsp/effects/aura_dsp_reverb.h"
#include "system/aura_systemi.h"

namespace AURA {

namespace {
// Takes an instance's unit away; the channels forget their sends into it.
void dropReverbUnit(ReverbI &reverb, int instance)
{
    ReverbInstance &slot = reverb.mInstance[instance];
    if (!slot.mDSP) {
        return;
    }
    DSPI *unit = slot.mDSP;
    slot.mDSP = nullptr;
    (void)unit->release(true);
    for (int c = 0; c < reverb.mNumChannels; ++c) {
        (void)reverb.resetConnectionPointer(instance, c);
    }
}
} // namespace

AURA_RESULT SystemI::setReverbProperties(const AURA_REVERB_PROPERTIES *properties)
{
    if (!properties) {
        return AURA_ERR_INVALID_PARAM;
    }
    const int instance = properties->Instance;
    if (instance < 0 || instance >= ReverbI::MAX_INSTANCES) {
        return AURA_ERR_REVERB_INSTANCE;
    }
    if (!mDSPSoundCard || !mMasterChannelGroup || !mMasterChannelGroup->mDSPHead) {
        return AURA_ERR_UNINITIALIZED;
    }
    ReverbInstance &slot = mReverbGlobal.mInstance[instance];
    if (properties->Environment == -1) {
        dropReverbUnit(mReverbGlobal, instance);
    } else {
        if (!slot.mDSP) {
            DSPI *unit = nullptr;
            AURA_RESULT result = createDSPInternal(DSPSfxReverb::getDescriptionEx(), &unit, true);
            if (result != AURA_OK) {
                return result;
            }
            result = mMasterChannelGroup->mDSPHead->addInput(unit, nullptr);
            if (result != AURA_OK) {
                (void)unit->release(true);
                return result;
            }
            unit->setActive(true);
            slot.mDSP = unit;
        }
        const AURA_RESULT result = static_cast<DSPSfxReverb *>(slot.mDSP)->setProperties(*properties);
        if (result != AURA_OK) {
            return result;
        }
    }
    mReverbProperties[instance] = *properties;
    mReverbPropertiesSet[instance] = true;
    return AURA_OK;
}

AURA_RESULT SystemI::getReverbProperties(AURA_REVERB_PROPERTIES *properties)
{
    if (!properties) {
        return AURA_ERR_INVALID_PARAM;
    }
    const int instance = properties->Instance;
    if (instance < 0 || instance >= ReverbI::MAX_INSTANCES) {
        return AURA_ERR_REVERB_INSTANCE;
    }
    if (mReverbPropertiesSet[instance]) {
        *properties = mReverbProperties[instance];
    } else {
        *properties = AURA_REVERB_PROPERTIES{};
        properties->Instance = instance;
        properties->Environment = -1;
    }
    return AURA_OK;
}

void SystemI::releaseReverbUnits()
{
    for (int i = 0; i < ReverbI::MAX_INSTANCES; ++i) {
        dropReverbUnit(mReverbGlobal, i);
        mReverbPropertiesSet[i] = false;
    }
}

} // namespace AURA
