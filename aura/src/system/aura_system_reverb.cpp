// The system's reverbs and their units: the global reverb's four instances,
// the 3D (ambient) reverb and the user reverbs placed in the world. Each
// unit is the SFX reverb kernel, fed by the channels' reverb sends and mixed
// wet into the master group; a reverb without an environment has no unit.
#include "base/aura_memory.h"
#include "channel/aura_channelgroupi.h"
#include "channel/aura_channeli.h"
#include "dsp/effects/aura_dsp_reverb.h"
#include "system/aura_systemi.h"
#include "os/aura_os.h"
#include "voice/aura_channelreal.h"

#include <new>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_system_reverb";

// Takes an instance's unit away. The channels forget their sends into it
// under the DSP section, before the unit's release frees the connections,
// so that neither the mixer nor a channel meets a freed one.
void dropReverbUnit(SystemI &system, ReverbI &reverb, int instance)
{
    ReverbInstance &slot = reverb.mInstance[instance];
    if (!slot.mDSP) {
        return;
    }
    DSPI *unit = slot.mDSP;
    {
        CriticalSectionGuard guard(system.mDSPCrit);
        slot.mDSP = nullptr;
        unit->setActive(false);
        for (int c = 0; c < reverb.mNumChannels; ++c) {
            (void)reverb.resetConnectionPointer(instance, c);
        }
    }
    (void)unit->release(true);
}

// Gives an instance the room of a record: -1 takes its unit away, another
// environment makes the unit (mixing into the master group) when it has none.
AURA_RESULT applyReverbUnit(SystemI &system, ReverbI &reverb, int instance, const AURA_REVERB_PROPERTIES &properties,
                            bool active)
{
    if (properties.Environment == -1) {
        dropReverbUnit(system, reverb, instance);
        return AURA_OK;
    }
    ReverbInstance &slot = reverb.mInstance[instance];
    if (!slot.mDSP) {
        if (!system.mDSPSoundCard || !system.mMasterChannelGroup || !system.mMasterChannelGroup->mDSPHead) {
            return AURA_ERR_UNINITIALIZED;
        }
        DSPI *unit = nullptr;
        AURA_RESULT result = system.createDSPInternal(DSPSfxReverb::getDescriptionEx(), &unit, true);
        if (result != AURA_OK) {
            return result;
        }
        result = system.mMasterChannelGroup->mDSPHead->addInput(unit, nullptr);
        if (result != AURA_OK) {
            (void)unit->release(true);
            return result;
        }
        unit->setActive(active);
        slot.mDSP = unit;
    }
    return static_cast<DSPSfxReverb *>(slot.mDSP)->setProperties(properties);
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
    const AURA_RESULT result = applyReverbUnit(*this, mReverbGlobal, instance, *properties, true);
    if (result != AURA_OK) {
        return result;
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

AURA_RESULT SystemI::setReverbAmbientProperties(const AURA_REVERB_PROPERTIES *properties)
{
    if (!properties) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (properties->Environment != -1) {
        (void)set3DReverbActive(true);
    }
    mReverbAmbientProperties = *properties;
    mReverb3D.mProperties = *properties;
    // Before init the record waits for the master group.
    if (!mDSPSoundCard || !mMasterChannelGroup || !mMasterChannelGroup->mDSPHead) {
        return AURA_OK;
    }
    const bool hadUnit = mReverb3D.mInstance[0].mDSP != nullptr;
    const AURA_RESULT result = applyReverbUnit(*this, mReverb3D, 0, *properties, true);
    if (result == AURA_OK && !hadUnit && mReverb3D.mInstance[0].mDSP) {
        refreshReverbSends();
    } else if (result == AURA_OK && properties->Environment != -1) {
        refreshReverbSends(); // the 3D reverb may have just become active
    }
    return result;
}

AURA_RESULT SystemI::getReverbAmbientProperties(AURA_REVERB_PROPERTIES *properties)
{
    if (!properties) {
        return AURA_ERR_INVALID_PARAM;
    }
    *properties = mReverbAmbientProperties;
    return AURA_OK;
}

AURA_RESULT SystemI::createReverbInternal(ReverbI **reverb)
{
    if (!reverb) {
        return AURA_ERR_INVALID_PARAM;
    }
    *reverb = nullptr;
    if (!mChannel || !mMasterChannelGroup) {
        return AURA_ERR_UNINITIALIZED;
    }
    auto *made = AURA_New(ReverbI);
    if (!made) {
        return AURA_ERR_MEMORY;
    }
    const AURA_RESULT result = made->init(this, mMaxChannels, 1);
    if (result != AURA_OK) {
        AURA_Delete(made);
        return result;
    }
    made->mMode = 1;
    {
        std::lock_guard<std::mutex> lock(mReverbListLock);
        made->mNode.addBefore(mReverbUserHead);
    }
    *reverb = made;
    return AURA_OK;
}

AURA_RESULT SystemI::releaseReverbInternal(ReverbI *reverb)
{
    if (!reverb) {
        return AURA_ERR_INVALID_PARAM;
    }
    // The voices stop reading it first: out of the list, then its sends and
    // its unit go under the DSP section.
    {
        std::lock_guard<std::mutex> lock(mReverbListLock);
        reverb->mNode.removeNode();
    }
    for (int i = 0; i < ReverbI::MAX_INSTANCES; ++i) {
        dropReverbUnit(*this, *reverb, i);
    }
    AURA_Delete(reverb);
    return AURA_OK;
}

bool SystemI::ownsReverb(const Reverb *handle) const
{
    std::lock_guard<std::mutex> lock(mReverbListLock);
    for (const LinkedListNode *n = mReverbUserHead.mNext; n != &mReverbUserHead; n = n->mNext) {
        if (static_cast<const Reverb *>(static_cast<const ReverbI *>(n->mData)) == handle) {
            return true;
        }
    }
    return false;
}

AURA_RESULT SystemI::setUserReverbProperties(ReverbI *reverb, const AURA_REVERB_PROPERTIES *properties)
{
    if (!reverb || !properties) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA_REVERB_PROPERTIES room = *properties;
    room.Instance = 0;
    const bool hadUnit = reverb->mInstance[0].mDSP != nullptr;
    const AURA_RESULT result = applyReverbUnit(*this, *reverb, 0, room, reverb->mActive);
    if (result != AURA_OK) {
        return result;
    }
    reverb->mProperties = room;
    if (!hadUnit && reverb->mInstance[0].mDSP) {
        refreshReverbSends();
    }
    return AURA_OK;
}

AURA_RESULT SystemI::setUserReverbActive(ReverbI *reverb, bool active)
{
    if (!reverb) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (reverb->mActive == active) {
        return AURA_OK;
    }
    reverb->mActive = active;
    reverb->mMode = active ? 1 : 0;
    if (reverb->mInstance[0].mDSP) {
        reverb->mInstance[0].mDSP->setActive(active);
    }
    if (active) {
        refreshReverbSends();
    }
    return AURA_OK;
}

AURA_RESULT SystemI::setUserReverb3DAttributes(ReverbI *reverb, const AURA_VECTOR *position, float mindistance,
                                               float maxdistance)
{
    if (!reverb) {
        return AURA_ERR_INVALID_PARAM;
    }
    const AURA_RESULT result = reverb->set3DAttributesInternal(position, mindistance, maxdistance);
    if (result == AURA_OK) {
        refreshReverbSends();
    }
    return result;
}

void SystemI::refreshReverbSends()
{
    if (!mChannel) {
        return;
    }
    for (int i = 0; i < mNumChannels; ++i) {
        ChannelI &channel = mChannel[i];
        if (channel.mNumRealChannels > 0 && channel.mRealChannel[0]) {
            (void)channel.updateReverbSends();
        }
    }
}

void SystemI::releaseReverbConnectionPoint(DSPI *unit)
{
    if (!unit || !mChannel) {
        return;
    }
    for (int i = 0; i < mNumChannels; ++i) {
        ChannelI &channel = mChannel[i];
        if (channel.mNumRealChannels > 0 && channel.mRealChannel[0]) {
            (void)channel.mRealChannel[0]->releaseReverbInput(unit);
        }
    }
    const auto forget = [&](ReverbI &reverb) {
        for (int instance = 0; instance < reverb.mNumInstances; ++instance) {
            for (int c = 0; c < reverb.mNumChannels; ++c) {
                AURA_REVERB_CHANNELPROPERTIES props{};
                if (reverb.getChanProperties(instance, c, &props, nullptr) == AURA_OK &&
                    props.ConnectionPoint == unit) {
                    props.ConnectionPoint = nullptr;
                    (void)reverb.setChanProperties(instance, c, &props, nullptr);
                }
            }
        }
    };
    forget(mReverbGlobal);
    forget(mReverb3D);
    std::lock_guard<std::mutex> lock(mReverbListLock);
    forEachUserReverb(forget);
}

void SystemI::releaseReverbUnits()
{
    for (int i = 0; i < ReverbI::MAX_INSTANCES; ++i) {
        dropReverbUnit(*this, mReverbGlobal, i);
        mReverbPropertiesSet[i] = false;
    }
    dropReverbUnit(*this, mReverb3D, 0);
    for (;;) {
        ReverbI *reverb = nullptr;
        {
            std::lock_guard<std::mutex> lock(mReverbListLock);
            if (!mReverbUserHead.isEmpty()) {
                reverb = static_cast<ReverbI *>(mReverbUserHead.mNext->mData);
            }
        }
        if (!reverb) {
            break;
        }
        (void)releaseReverbInternal(reverb);
    }
}

} // namespace AURA
