// Geometry handles: the C++ class and the C entry points. A handle is valid
// while some live system's geometry manager lists it.
#include "aura.hpp"
#include "base/aura_globals.h"
#include "geometry/aura_geometry.h"
#include "os/aura_os.h"
#include "system/aura_systemi.h"

#include <mutex>

namespace AURA {

namespace {

AURA_RESULT validateGeometry(const Geometry *handle, GeometryI **geometry)
{
    *geometry = nullptr;
    if (!handle) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!SystemI::anySystem([handle](SystemI *system) { return system->mGeometryMgr.owns(handle); })) {
        return AURA_ERR_INVALID_HANDLE;
    }
    *geometry = static_cast<GeometryI *>(const_cast<Geometry *>(handle));
    return AURA_OK;
}

// Reads a field under the manager's section.
template <class T>
AURA_RESULT readGeometry(const Geometry *handle, T *out, T GeometryI::*field)
{
    GeometryI *geometry = nullptr;
    const AURA_RESULT check = validateGeometry(handle, &geometry);
    if (check != AURA_OK) {
        return check;
    }
    if (!out) {
        return AURA_ERR_INVALID_PARAM;
    }
    CriticalSectionGuard guard(geometry->mMgr->mCrit);
    *out = geometry->*field;
    return AURA_OK;
}

} // namespace

#define AURA_GEOMETRY_FORWARD(call)                                                                                    \
    GeometryI *geometry = nullptr;                                                                                     \
    const AURA_RESULT check = validateGeometry(this, &geometry);                                                       \
    if (check != AURA_OK) {                                                                                            \
        return check;                                                                                                  \
    }                                                                                                                  \
    return geometry->call

AURA_RESULT Geometry::release()
{
    GeometryI *geometry = nullptr;
    const AURA_RESULT check = validateGeometry(this, &geometry);
    if (check != AURA_OK) {
        return check;
    }
    return geometry->mMgr->releaseGeometry(geometry);
}

AURA_RESULT Geometry::addPolygon(float directocclusion, float reverbocclusion, bool doublesided, int numvertices,
                                 const AURA_VECTOR *vertices, int *polygonindex)
{
    AURA_GEOMETRY_FORWARD(
        addPolygonInternal(directocclusion, reverbocclusion, doublesided, numvertices, vertices, polygonindex));
}

AURA_RESULT Geometry::getNumPolygons(int *numpolygons)
{
    return readGeometry(this, numpolygons, &GeometryI::mNumPolygons);
}

AURA_RESULT Geometry::setActive(bool active)
{
    AURA_GEOMETRY_FORWARD(setActiveInternal(active));
}

AURA_RESULT Geometry::getActive(bool *active)
{
    return readGeometry(this, active, &GeometryI::mActive);
}

AURA_RESULT Geometry::setRotation(const AURA_VECTOR *forward, const AURA_VECTOR *up)
{
    AURA_GEOMETRY_FORWARD(setRotationInternal(forward, up));
}

AURA_RESULT Geometry::getRotation(AURA_VECTOR *forward, AURA_VECTOR *up)
{
    if (!forward && !up) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA_RESULT result = forward ? readGeometry(this, forward, &GeometryI::mForward) : AURA_OK;
    if (result == AURA_OK && up) {
        result = readGeometry(this, up, &GeometryI::mUp);
    }
    return result;
}

AURA_RESULT Geometry::setPosition(const AURA_VECTOR *position)
{
    AURA_GEOMETRY_FORWARD(setPositionInternal(position));
}

AURA_RESULT Geometry::getPosition(AURA_VECTOR *position)
{
    return readGeometry(this, position, &GeometryI::mPosition);
}

AURA_RESULT Geometry::setScale(const AURA_VECTOR *scale)
{
    AURA_GEOMETRY_FORWARD(setScaleInternal(scale));
}

AURA_RESULT Geometry::getScale(AURA_VECTOR *scale)
{
    return readGeometry(this, scale, &GeometryI::mScale);
}

#undef AURA_GEOMETRY_FORWARD

AURA_RESULT System::createGeometry(Geometry **geometry)
{
    SystemI *system = nullptr;
    const AURA_RESULT check = SystemI::validate(this, &system);
    if (check != AURA_OK) {
        return check;
    }
    if (!geometry) {
        return AURA_ERR_INVALID_PARAM;
    }
    GeometryI *created = nullptr;
    const AURA_RESULT result = system->createGeometryInternal(&created);
    *geometry = created;
    return result;
}

AURA_RESULT System::setGeometrySettings(float maxworldsize)
{
    SystemI *system = nullptr;
    const AURA_RESULT check = SystemI::validate(this, &system);
    return check != AURA_OK ? check : system->mGeometryMgr.setWorldSize(maxworldsize);
}

AURA_RESULT System::getGeometrySettings(float *maxworldsize)
{
    SystemI *system = nullptr;
    const AURA_RESULT check = SystemI::validate(this, &system);
    if (check != AURA_OK) {
        return check;
    }
    if (!maxworldsize) {
        return AURA_ERR_INVALID_PARAM;
    }
    CriticalSectionGuard guard(system->mGeometryMgr.mCrit);
    *maxworldsize = system->mGeometryMgr.mWorldSize;
    return AURA_OK;
}

AURA_RESULT System::getGeometryOcclusion(const AURA_VECTOR *listener, const AURA_VECTOR *source, float *direct,
                                         float *reverb)
{
    SystemI *system = nullptr;
    const AURA_RESULT check = SystemI::validate(this, &system);
    return check != AURA_OK ? check : system->getGeometryOcclusionInternal(listener, source, direct, reverb);
}

} // namespace AURA

namespace {

AURA::System *asSystem(AURA_SYSTEM *system)
{
    return reinterpret_cast<AURA::System *>(system);
}

AURA::Geometry *asGeometry(AURA_GEOMETRY *geometry)
{
    return reinterpret_cast<AURA::Geometry *>(geometry);
}

} // namespace

extern "C" {

AURA_RESULT AURA_System_CreateGeometry(AURA_SYSTEM *system, AURA_GEOMETRY **geometry)
{
    if (!system || !geometry) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA::Geometry *created = nullptr;
    const AURA_RESULT result = asSystem(system)->createGeometry(&created);
    *geometry = reinterpret_cast<AURA_GEOMETRY *>(created);
    return result;
}

AURA_RESULT AURA_System_SetGeometrySettings(AURA_SYSTEM *system, float maxworldsize)
{
    return system ? asSystem(system)->setGeometrySettings(maxworldsize) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_System_GetGeometryOcclusion(AURA_SYSTEM *system, const AURA_VECTOR *listener,
                                             const AURA_VECTOR *source, float *direct, float *reverb)
{
    return system ? asSystem(system)->getGeometryOcclusion(listener, source, direct, reverb) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Geometry_Release(AURA_GEOMETRY *geometry)
{
    return geometry ? asGeometry(geometry)->release() : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Geometry_AddPolygon(AURA_GEOMETRY *geometry, float directocclusion, float reverbocclusion,
                                     int doublesided, int numvertices, const AURA_VECTOR *vertices, int *polygonindex)
{
    return geometry ? asGeometry(geometry)->addPolygon(directocclusion, reverbocclusion, doublesided != 0, numvertices,
                                                       vertices, polygonindex)
                    : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Geometry_SetActive(AURA_GEOMETRY *geometry, int active)
{
    return geometry ? asGeometry(geometry)->setActive(active != 0) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Geometry_SetRotation(AURA_GEOMETRY *geometry, const AURA_VECTOR *forward, const AURA_VECTOR *up)
{
    return geometry ? asGeometry(geometry)->setRotation(forward, up) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Geometry_SetPosition(AURA_GEOMETRY *geometry, const AURA_VECTOR *position)
{
    return geometry ? asGeometry(geometry)->setPosition(position) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT AURA_Geometry_SetScale(AURA_GEOMETRY *geometry, const AURA_VECTOR *scale)
{
    return geometry ? asGeometry(geometry)->setScale(scale) : AURA_ERR_INVALID_PARAM;
}

} // extern "C"
