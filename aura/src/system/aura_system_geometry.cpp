// The system's share of geometry occlusion: the manager set up from the
// system's settings, and the geometry objects handed to the game.
#include "system/aura_systemi.h"

#include <cmath>

namespace AURA {

AURA_RESULT SystemI::initGeometry()
{
    mGeometryMgr.mSystem = this;
    mGeometryMgr.mNumChannels = mMaxChannels;
    mGeometryMgr.mMinimumTransmission = (mFlags & AURA_INIT_GEOMETRY_USECLOSEST) != 0;
    mGeometryMgr.mTimeStamp = &mGeometryTimeStamp;
    return mGeometryMgr.initCritalSection();
}

AURA_RESULT SystemI::createGeometryInternal(GeometryI **geometry)
{
    if (!geometry) {
        return AURA_ERR_INVALID_PARAM;
    }
    *geometry = nullptr;
    if (!mInitialised) {
        return AURA_ERR_UNINITIALIZED;
    }
    return mGeometryMgr.createGeometry(geometry);
}

AURA_RESULT SystemI::getGeometryOcclusionInternal(const AURA_VECTOR *listener, const AURA_VECTOR *source, float *direct,
                                                  float *reverb)
{
    if (!listener || !source) {
        return AURA_ERR_INVALID_PARAM;
    }
    float d = 0.0f;
    float r = 0.0f;
    const AURA_RESULT result = mGeometryMgr.lineTestAll(listener, source, &d, &r);
    if (direct) {
        *direct = d;
    }
    if (reverb) {
        *reverb = r;
    }
    return result;
}

} // namespace AURA
