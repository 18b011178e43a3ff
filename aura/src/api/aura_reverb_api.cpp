// User reverb handles, the system's 3D reverb members, and their C entry
// points. A reverb handle is valid while its system lists it.
#include "aura.hpp"
#include "channel/aura_reverbi.h"
#include "system/aura_systemi.h"

namespace AURA {

namespace {

AURA_RESULT validateReverb(const Reverb *handle, ReverbI **reverb)
{
    *reverb = nullptr;
    if (!handle) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!SystemI::anySystem([handle](SystemI *system) { return system->ownsReverb(handle); })) {
        return AURA_ERR_INVALID_HANDLE;
    }
    *reverb = static_cast<ReverbI *>(const_cast<Reverb *>(handle));
    return (*reverb)->mSystem ? AURA_OK : AURA_ERR_INVALID_HANDLE;
}

template <class F>
AURA_RESULT withReverb(const Reverb *handle, F &&f)
{
    ReverbI *reverb = nullptr;
    const AURA_RESULT check = validateReverb(handle, &reverb);
    return check != AURA_OK ? check : f(*reverb);
}

} // namespace

AURA_RESULT Reverb::release()
{
    return withReverb(this, [](ReverbI &reverb) { return reverb.mSystem->releaseReverbInternal(&reverb); });
}

AURA_RESULT Reverb::set3DAttributes(const AURA_VECTOR *position, float mindistance, float maxdistance)
{
    return withReverb(this, [&](ReverbI &reverb) {
        return reverb.mSystem->setUserReverb3DAttributes(&reverb, position, mindistance, maxdistance);
    });
}

AURA_RESULT Reverb::setProperties(const AURA_REVERB_PROPERTIES *properties)
{
    return withReverb(this,
                      [&](ReverbI &reverb) { return reverb.mSystem->setUserReverbProperties(&reverb, properties); });
}

AURA_RESULT Reverb::setActive(bool active)
{
    return withReverb(this, [&](ReverbI &reverb) { return reverb.mSystem->setUserReverbActive(&reverb, active); });
}

AURA_RESULT Reverb::get3DAttributes(AURA_VECTOR *position, float *mindistance, float *maxdistance)
{
    return withReverb(this, [&](ReverbI &reverb) {
        if (position) {
            *position = reverb.mPosition;
        }
        if (mindistance) {
            *mindistance = reverb.mMinDistance;
        }
        if (maxdistance) {
            *maxdistance = reverb.mMaxDistance;
        }
        return AURA_OK;
    });
}

AURA_RESULT Reverb::getProperties(AURA_REVERB_PROPERTIES *properties)
{
    return withReverb(this, [&](ReverbI &reverb) {
        if (!properties) {
            return AURA_ERR_INVALID_PARAM;
        }
        *properties = reverb.mProperties;
        return AURA_OK;
    });
}

AURA_RESULT Reverb::getActive(bool *active)
{
    return withReverb(this, [&](ReverbI &reverb) {
        if (!active) {
            return AURA_ERR_INVALID_PARAM;
        }
        *active = reverb.mActive;
        return AURA_OK;
    });
}

AURA_RESULT System::createReverb(Reverb **reverb)
{
    SystemI *system = nullptr;
    const AURA_RESULT check = SystemI::validate(this, &system);
    if (check != AURA_OK) {
        return check;
    }
    if (!reverb) {
        return AURA_ERR_INVALID_PARAM;
    }
    ReverbI *made = nullptr;
    const AURA_RESULT result = system->createReverbInternal(&made);
    *reverb = made;
    return result;
}

AURA_RESULT System::setReverbAmbientProperties(const AURA_REVERB_PROPERTIES *prop)
{
    SystemI *system = nullptr;
    const AURA_RESULT check = SystemI::validate(this, &system);
    return check != AURA_OK ? check : system->setReverbAmbientProperties(prop);
}

AURA_RESULT System::getReverbAmbientProperties(AURA_REVERB_PROPERTIES *prop)
{
    SystemI *system = nullptr;
    const AURA_RESULT check = SystemI::validate(this, &system);
    return check != AURA_OK ? check : system->getReverbAmbientProperties(prop);
}

} // namespace AURA

namespace {

AURA::System *asSystem(AURA_SYSTEM *system)
{
    return reinterpret_cast<AURA::System *>(system);
}

AURA::Reverb *asReverb(AURA_REVERB *reverb)
{
    return reinterpret_cast<AURA::Reverb *>(reverb);
}

} // namespace

extern "C" {

AURA_RESULT AURA_System_SetReverbAmbientProperties(AURA_SYSTEM *system, const AURA_REVERB_PROPERTIES *prop)
{
    return system ? asSystem(system)->setReverbAmbientProperties(prop) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_System_GetReverbAmbientProperties(AURA_SYSTEM *system, AURA_REVERB_PROPERTIES *prop)
{
    return system ? asSystem(system)->getReverbAmbientProperties(prop) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_System_CreateReverb(AURA_SYSTEM *system, AURA_REVERB **reverb)
{
    if (!system || !reverb) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA::Reverb *made = nullptr;
    const AURA_RESULT result = asSystem(system)->createReverb(&made);
    *reverb = reinterpret_cast<AURA_REVERB *>(made);
    return result;
}

AURA_RESULT AURA_Reverb_Release(AURA_REVERB *reverb)
{
    return reverb ? asReverb(reverb)->release() : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Reverb_Set3DAttributes(AURA_REVERB *reverb, const AURA_VECTOR *position, float mindistance,
                                        float maxdistance)
{
    return reverb ? asReverb(reverb)->set3DAttributes(position, mindistance, maxdistance) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Reverb_Get3DAttributes(AURA_REVERB *reverb, AURA_VECTOR *position, float *mindistance,
                                        float *maxdistance)
{
    return reverb ? asReverb(reverb)->get3DAttributes(position, mindistance, maxdistance) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Reverb_SetProperties(AURA_REVERB *reverb, const AURA_REVERB_PROPERTIES *properties)
{
    return reverb ? asReverb(reverb)->setProperties(properties) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Reverb_GetProperties(AURA_REVERB *reverb, AURA_REVERB_PROPERTIES *properties)
{
    return reverb ? asReverb(reverb)->getProperties(properties) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Reverb_SetActive(AURA_REVERB *reverb, int active)
{
    return reverb ? asReverb(reverb)->setActive(active != 0) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Reverb_GetActive(AURA_REVERB *reverb, int *active)
{
    if (!reverb || !active) {
        return AURA_ERR_INVALID_PARAM;
    }
    bool value = false;
    const AURA_RESULT result = asReverb(reverb)->getActive(&value);
    if (result == AURA_OK) {
        *active = value ? 1 : 0;
    }
    return result;
}

} // extern "C"
