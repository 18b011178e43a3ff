#include "geometry/aura_geometry.h"

#include "base/aura_memory.h"
#include "os/aura_os.h"
#include "os/aura_timestamp.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace AURA {

namespace {

constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_geometry_mgr";
constexpr float kStopTransmission = 0.05f;

float dot(const float n[3], const AURA_VECTOR &v)
{
    return n[0] * v.x + n[1] * v.y + n[2] * v.z;
}

AURA_VECTOR sub(const AURA_VECTOR &a, const AURA_VECTOR &b)
{
    return AURA_VECTOR{a.x - b.x, a.y - b.y, a.z - b.z};
}

AURA_VECTOR cross(const AURA_VECTOR &a, const AURA_VECTOR &b)
{
    return AURA_VECTOR{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

float length(const AURA_VECTOR &v)
{
    return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
}

bool finite(const AURA_VECTOR &v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

} // namespace

void matrixMult(const float m[][4], const AURA_VECTOR *in, AURA_VECTOR *out)
{
    const AURA_VECTOR v = *in;
    out->x = m[0][0] * v.x + m[0][1] * v.y + m[0][2] * v.z;
    out->y = m[1][0] * v.x + m[1][1] * v.y + m[1][2] * v.z;
    out->z = m[2][0] * v.x + m[2][1] * v.y + m[2][2] * v.z;
}

// GeometryI

GeometryI::GeometryI(GeometryMgr *manager)
    : mMgr(manager)
{
    mMainItem.mGeometry = this;
    mManagerNode.initNode();
    mManagerNode.mData = this;
    const float scale = 1.0f / manager->mWorldSize;
    mOctree.setFrame(AURA_VECTOR{0.0f, 0.0f, 0.0f}, scale);
}

GeometryI::~GeometryI()
{
    freePolygons();
}

void GeometryI::freePolygons()
{
    GeometryPolygon *polygon = mPolygons;
    while (polygon) {
        GeometryPolygon *next = polygon->mNextInGeometry;
        polygon->~GeometryPolygon();
        AURA_Memory_Free(polygon);
        polygon = next;
    }
    mPolygons = nullptr;
    mLastPolygon = nullptr;
    mDirtyPolygons = nullptr;
    mNumPolygons = 0;
}

void GeometryI::markDirty()
{
    mMgr->mChanges.fetch_add(1, std::memory_order_acq_rel);
    if (mInDirtyList) {
        return;
    }
    mInDirtyList = true;
    mNextDirty = mMgr->mDirtyGeometry;
    mMgr->mDirtyGeometry = this;
}

AURA_RESULT GeometryI::addPolygonInternal(float directocclusion, float reverbocclusion, bool doublesided,
                                          int numvertices, const AURA_VECTOR *vertices, int *polygonindex)
{
    if (polygonindex) {
        *polygonindex = -1;
    }
    if (numvertices < 0 || numvertices > MAX_VERTICES || (numvertices > 0 && !vertices) ||
        !(directocclusion >= 0.0f && directocclusion <= 1.0f) ||
        !(reverbocclusion >= 0.0f && reverbocclusion <= 1.0f)) {
        return AURA_ERR_INVALID_PARAM;
    }
    for (int i = 0; i < numvertices; ++i) {
        if (!finite(vertices[i])) {
            return AURA_ERR_INVALID_PARAM;
        }
    }
    const size_t bytes = sizeof(GeometryPolygon) + sizeof(AURA_VECTOR) * static_cast<size_t>(numvertices);
    void *memory = AURA_Memory_Calloc(static_cast<int>(bytes));
    if (!memory) {
        return AURA_ERR_MEMORY;
    }
    auto *polygon = ::new (memory) GeometryPolygon;
    polygon->mDirectOcclusion = directocclusion;
    polygon->mReverbOcclusion = reverbocclusion;
    polygon->mFlags = static_cast<unsigned int>(numvertices) | (doublesided ? POLYGON_DOUBLESIDED : 0u);
    std::copy_n(vertices, numvertices, polygon->vertices());

    CriticalSectionGuard guard(mMgr->mCrit);
    if (mLastPolygon) {
        mLastPolygon->mNextInGeometry = polygon;
    } else {
        mPolygons = polygon;
    }
    mLastPolygon = polygon;
    polygon->mNode.mNext = mDirtyPolygons;
    mDirtyPolygons = &polygon->mNode;
    if (polygonindex) {
        *polygonindex = mNumPolygons;
    }
    ++mNumPolygons;
    markDirty();
    return AURA_OK;
}

AURA_RESULT GeometryI::setPositionInternal(const AURA_VECTOR *position)
{
    if (!position || !finite(*position)) {
        return AURA_ERR_INVALID_PARAM;
    }
    CriticalSectionGuard guard(mMgr->mCrit);
    mPosition = *position;
    markDirty();
    return AURA_OK;
}

AURA_RESULT GeometryI::setRotationInternal(const AURA_VECTOR *forward, const AURA_VECTOR *up)
{
    if (!forward || !up || !finite(*forward) || !finite(*up)) {
        return AURA_ERR_INVALID_PARAM;
    }
    // Forward and up must span a plane: neither zero nor parallel.
    const float lf = length(*forward);
    const float lu = length(*up);
    if (!(lf > 0.0f) || !(lu > 0.0f) || !(length(cross(*forward, *up)) > 1e-6f * lf * lu)) {
        return AURA_ERR_INVALID_PARAM;
    }
    CriticalSectionGuard guard(mMgr->mCrit);
    mForward = *forward;
    mUp = *up;
    computeMatrices();
    markDirty();
    return AURA_OK;
}

AURA_RESULT GeometryI::setScaleInternal(const AURA_VECTOR *scale)
{
    if (!scale || !finite(*scale) || scale->x == 0.0f || scale->y == 0.0f || scale->z == 0.0f) {
        return AURA_ERR_INVALID_PARAM;
    }
    CriticalSectionGuard guard(mMgr->mCrit);
    mScale = *scale;
    computeMatrices();
    markDirty();
    return AURA_OK;
}

AURA_RESULT GeometryI::setActiveInternal(bool active)
{
    CriticalSectionGuard guard(mMgr->mCrit);
    mActive = active;
    markDirty();
    return AURA_OK;
}

// Local x, y and z run along right, up and forward (an orthonormal frame
// made from the two vectors given), each scaled.
void GeometryI::computeMatrices()
{
    const float lf = length(mForward);
    const AURA_VECTOR f{mForward.x / lf, mForward.y / lf, mForward.z / lf};
    const float along = mUp.x * f.x + mUp.y * f.y + mUp.z * f.z;
    AURA_VECTOR u{mUp.x - along * f.x, mUp.y - along * f.y, mUp.z - along * f.z};
    const float lu = length(u);
    u = AURA_VECTOR{u.x / lu, u.y / lu, u.z / lu};
    const AURA_VECTOR r = cross(u, f);
    const AURA_VECTOR axes[3] = {r, u, f};
    const float scale[3] = {mScale.x, mScale.y, mScale.z};
    for (int j = 0; j < 3; ++j) {
        const float column[3] = {axes[j].x, axes[j].y, axes[j].z};
        for (int i = 0; i < 3; ++i) {
            mForwardMatrix[i][j] = column[i] * scale[j];
            mInverseMatrix[j][i] = column[i] / scale[j];
        }
    }
}

void GeometryI::flush()
{
    if (mRequantise) {
        mRequantise = false;
        const float scale = 1.0f / mMgr->mWorldSize;
        mOctree.setFrame(AURA_VECTOR{0.0f, 0.0f, 0.0f}, scale);
        mDirtyPolygons = nullptr;
        for (GeometryPolygon *polygon = mPolygons; polygon; polygon = polygon->mNextInGeometry) {
            mOctree.deleteItem(&polygon->mNode);
        }
        for (GeometryPolygon *polygon = mPolygons; polygon; polygon = polygon->mNextInGeometry) {
            polygon->mNode.mNext = mDirtyPolygons;
            mDirtyPolygons = &polygon->mNode;
        }
    }
    OctreeNode *dirty = mDirtyPolygons;
    mDirtyPolygons = nullptr;
    while (dirty) {
        auto *polygon = reinterpret_cast<GeometryPolygon *>(dirty);
        dirty = dirty->mNext;
        polygon->mNode.mNext = nullptr;
        const int count = polygon->numVertices();
        const AURA_VECTOR *v = polygon->vertices();
        // Fewer than three vertices span no plane: degenerate.
        AURA_VECTOR normal{0.0f, 0.0f, 0.0f};
        for (int i = 0; i + 2 < count; ++i) {
            const AURA_VECTOR c = cross(sub(v[i + 1], v[0]), sub(v[i + 2], v[0]));
            normal = AURA_VECTOR{normal.x + c.x, normal.y + c.y, normal.z + c.z};
        }
        const float len = length(normal);
        if (len > 0.0f && std::isfinite(len)) {
            normal = AURA_VECTOR{normal.x / len, normal.y / len, normal.z / len};
            polygon->mFlags &= ~POLYGON_DEGENERATE;
        } else {
            polygon->mFlags |= POLYGON_DEGENERATE;
        }
        polygon->mNormal[0] = normal.x;
        polygon->mNormal[1] = normal.y;
        polygon->mNormal[2] = normal.z;
        polygon->mD = count > 0 ? dot(polygon->mNormal, v[0]) : 0.0f;
        mOctree.addInternalNode(&polygon->mSpare);
        if (polygon->mFlags & POLYGON_DEGENERATE) {
            continue;
        }
        AURA_AABB box{v[0].x, v[0].x, v[0].y, v[0].y, v[0].z, v[0].z};
        for (int i = 1; i < count; ++i) {
            box.xmin = std::min(box.xmin, v[i].x);
            box.xmax = std::max(box.xmax, v[i].x);
            box.ymin = std::min(box.ymin, v[i].y);
            box.ymax = std::max(box.ymax, v[i].y);
            box.zmin = std::min(box.zmin, v[i].z);
            box.zmax = std::max(box.zmax, v[i].z);
        }
        const float margin = 0.01f * std::max({box.xmax - box.xmin, box.ymax - box.ymin, box.zmax - box.zmin});
        polygon->mNode.mBox = AURA_AABB{box.xmin - margin, box.xmax + margin, box.ymin - margin,
                                        box.ymax + margin, box.zmin - margin, box.zmax + margin};
        // Every polygon donated its spare, so a split always finds a node.
        (void)mOctree.insertItem(&polygon->mNode);
    }
    mOctree.getAABB(&mLocalBox);
    updateSpatialData();
}

void GeometryI::updateSpatialData()
{
    const AURA_VECTOR centre{(mLocalBox.xmin + mLocalBox.xmax) * 0.5f, (mLocalBox.ymin + mLocalBox.ymax) * 0.5f,
                             (mLocalBox.zmin + mLocalBox.zmax) * 0.5f};
    const float half[3] = {(mLocalBox.xmax - mLocalBox.xmin) * 0.5f, (mLocalBox.ymax - mLocalBox.ymin) * 0.5f,
                           (mLocalBox.zmax - mLocalBox.zmin) * 0.5f};
    AURA_VECTOR world{};
    matrixMult(mForwardMatrix, &centre, &world);
    world = AURA_VECTOR{world.x + mPosition.x, world.y + mPosition.y, world.z + mPosition.z};
    float extent[3] = {};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            extent[i] += std::fabs(mForwardMatrix[i][j]) * half[j];
        }
    }
    mMainItem.mNode.mBox = AURA_AABB{world.x - extent[0], world.x + extent[0], world.y - extent[1],
                                     world.y + extent[1], world.z - extent[2], world.z + extent[2]};
    Octree &main = mMgr->mMainOctree;
    main.addInternalNode(&mMainItem.mSpare);
    if (mActive && mOctree.mTop) {
        (void)main.updateItem(&mMainItem.mNode);
    } else {
        main.deleteItem(&mMainItem.mNode);
    }
}

bool GeometryI::lineTest(LineTestData *data)
{
    const AURA_VECTOR start = data->mStart;
    const AURA_VECTOR end = data->mEnd;
    const AURA_VECTOR s = sub(start, mPosition);
    const AURA_VECTOR e = sub(end, mPosition);
    matrixMult(mInverseMatrix, &s, &data->mStart);
    matrixMult(mInverseMatrix, &e, &data->mEnd);
    const bool result = mOctree.testLine(octreeLineTestCallback, data, data->mStart, data->mEnd);
    data->mCurrent = nullptr;
    data->mStart = start;
    data->mEnd = end;
    return result;
}

bool GeometryI::octreeLineTestCallback(OctreeNode *item, void *userdata)
{
    auto *data = static_cast<LineTestData *>(userdata);
    auto *polygon = reinterpret_cast<GeometryPolygon *>(item);
    const float ds = dot(polygon->mNormal, data->mStart) - polygon->mD;
    const float de = dot(polygon->mNormal, data->mEnd) - polygon->mD;
    // An end on the plane is no crossing.
    if (!((ds < 0.0f && de > 0.0f) || (ds > 0.0f && de < 0.0f))) {
        return true;
    }
    // From the front through to the back only a double-sided polygon counts.
    if (ds > 0.0f && !(polygon->mFlags & POLYGON_DOUBLESIDED)) {
        return true;
    }
    const float t = ds / (ds - de);
    const AURA_VECTOR &s = data->mStart;
    const AURA_VECTOR &e = data->mEnd;
    const AURA_VECTOR p{s.x + (e.x - s.x) * t, s.y + (e.y - s.y) * t, s.z + (e.z - s.z) * t};
    const int count = polygon->numVertices();
    const AURA_VECTOR *v = polygon->vertices();
    const AURA_VECTOR normal{polygon->mNormal[0], polygon->mNormal[1], polygon->mNormal[2]};
    for (int i = 0; i < count; ++i) {
        const AURA_VECTOR &a = v[i];
        const AURA_VECTOR &b = v[i + 1 == count ? 0 : i + 1];
        const AURA_VECTOR outward = cross(sub(b, a), normal);
        const AURA_VECTOR rel = sub(p, a);
        if (outward.x * rel.x + outward.y * rel.y + outward.z * rel.z > 0.0f) {
            return true;
        }
    }
    const float direct = 1.0f - polygon->mDirectOcclusion;
    const float reverb = 1.0f - polygon->mReverbOcclusion;
    if (!data->mCurrent->mMgr->mMinimumTransmission) {
        data->mDirectTransmission *= direct;
        data->mReverbTransmission *= reverb;
    } else if (direct < data->mDirectTransmission ||
               (direct == data->mDirectTransmission && reverb < data->mReverbTransmission)) {
        data->mDirectTransmission = direct;
        data->mReverbTransmission = reverb;
    }
    return !(data->mDirectTransmission < kStopTransmission && data->mReverbTransmission < kStopTransmission);
}

// OcclusionThread

OcclusionThread::OcclusionThread(GeometryMgr *manager)
    : mMgr(manager)
{
    mQueueHead.initNode();
}

OcclusionThread::~OcclusionThread()
{
    (void)release();
}

AURA_RESULT OcclusionThread::init(int numchannels)
{
    mInitialised.store(true, std::memory_order_release);
    if (AURA_OS_CriticalSection_Create(&mCrit) != AURA_OK) {
        mCrit = nullptr;
        return AURA_OK;
    }
    {
        CriticalSectionGuard guard(mCrit);
        if (numchannels > 0) {
            void *memory = AURA_Memory_Calloc(static_cast<int>(sizeof(Record)) * numchannels);
            if (memory) {
                mRecords = static_cast<Record *>(memory);
                for (int i = 0; i < numchannels; ++i) {
                    Record *record = ::new (&mRecords[i]) Record;
                    record->mNode.initNode();
                    record->mNode.mData = record;
                }
                mNumRecords = numchannels;
            }
        }
        if (!mMgr->mCrit) {
            (void)mMgr->initCritalSection();
        }
    }
    // The worker paces itself: it sleeps when the queue is empty.
    (void)mThread.initThread("AURA geometry thread", threadFunc, this, Thread::PRIORITY_LOW, nullptr, 16384, false, 0,
                             mMgr->mSystem);
    return AURA_OK;
}

AURA_RESULT OcclusionThread::release()
{
    mInitialised.store(false, std::memory_order_release);
    if (!mCrit) {
        return AURA_OK;
    }
    const AURA_RESULT result = mThread.closeThread();
    if (result != AURA_OK) {
        return result;
    }
    if (mRecords) {
        for (int i = 0; i < mNumRecords; ++i) {
            mRecords[i].~Record();
        }
        AURA_Memory_Free(mRecords);
    }
    mRecords = nullptr;
    mNumRecords = 0;
    mQueueHead.initNode();
    (void)AURA_OS_CriticalSection_Free(mCrit);
    mCrit = nullptr;
    return AURA_OK;
}

void OcclusionThread::enqueue(unsigned int channelindex, uint32_t channelhandle, const AURA_VECTOR &position,
                              const AURA_VECTOR &listener, const AURA_VECTOR *reverbposition)
{
    if (!mInitialised.load(std::memory_order_acquire)) {
        (void)init(mMgr->mNumChannels);
    }
    if (!mRecords || channelindex >= static_cast<unsigned int>(mNumRecords)) {
        return;
    }
    CriticalSectionGuard guard(mCrit);
    Record &record = mRecords[channelindex];
    if (record.mState.load(std::memory_order_acquire) == STATE_DONE) {
        return; // the result waits to be collected
    }
    record.mHandle = channelhandle;
    record.mPosition = position;
    record.mListener = listener;
    record.mReverbActive = reverbposition != nullptr;
    record.mReverbPosition = reverbposition ? *reverbposition : AURA_VECTOR{};
    ++record.mSequence;
    record.mState.store(STATE_PENDING, std::memory_order_release);
    if (record.mNode.isEmpty()) {
        record.mNode.addBefore(mQueueHead);
    }
}

bool OcclusionThread::dequeue(Request *request)
{
    CriticalSectionGuard guard(mCrit);
    if (!mCrit || mQueueHead.isEmpty()) {
        return false;
    }
    LinkedListNode *node = mQueueHead.mNext;
    auto *record = static_cast<Record *>(node->mData);
    node->removeNode();
    *request = Request{record,
                       record->mSequence,
                       record->mPosition,
                       record->mListener,
                       record->mReverbPosition,
                       record->mReverbActive};
    return true;
}

bool OcclusionThread::retrieveOcclusion(unsigned int channelindex, OcclusionResult *result)
{
    if (!mRecords || !result || channelindex >= static_cast<unsigned int>(mNumRecords)) {
        return false;
    }
    Record &record = mRecords[channelindex];
    int done = STATE_DONE;
    if (!record.mState.compare_exchange_strong(done, STATE_COLLECTED, std::memory_order_acq_rel)) {
        return false;
    }
    *result = OcclusionResult{record.mHandle, record.mDirectOcclusion, record.mReverbOcclusion, record.mReverbGain};
    return true;
}

bool OcclusionThread::process()
{
    Request request{};
    if (!dequeue(&request)) {
        return false;
    }
    float direct = 0.0f;
    float reverb = 0.0f;
    (void)mMgr->lineTestAll(&request.mListener, &request.mPosition, &direct, &reverb);
    float gain = 1.0f;
    if (request.mReverbActive) {
        float ignored = 0.0f;
        float reverbOcclusion = 0.0f;
        (void)mMgr->lineTestAll(&request.mPosition, &request.mReverbPosition, &ignored, &reverbOcclusion);
        gain = 1.0f - reverbOcclusion;
    }
    CriticalSectionGuard guard(mCrit);
    Record &record = *request.mRecord;
    // Asked again meanwhile: this answer is already stale.
    if (record.mSequence != request.mSequence) {
        return true;
    }
    record.mDirectOcclusion = direct;
    record.mReverbOcclusion = reverb;
    record.mReverbGain = gain;
    record.mState.store(STATE_DONE, std::memory_order_release);
    return true;
}

void OcclusionThread::threadFunc(void *param)
{
    auto *self = static_cast<OcclusionThread *>(param);
    TimeStamp *stamp = self->mMgr->mTimeStamp;
    if (stamp) {
        (void)stamp->stampIn();
    }
    const bool processed = self->process();
    if (stamp) {
        (void)stamp->stampOut(95);
    }
    if (!processed) {
        (void)AURA_OS_Time_Sleep(10);
    }
}

// GeometryMgr

GeometryMgr::GeometryMgr()
    : mOcclusionThread(this)
{
    mGeometryHead.initNode();
    mMainOctree.setFrame(AURA_VECTOR{0.0f, 0.0f, 0.0f}, 1.0f / mWorldSize);
}

GeometryMgr::~GeometryMgr()
{
    (void)releaseOcclusionThread();
}

AURA_RESULT GeometryMgr::initCritalSection()
{
    if (mCrit) {
        return AURA_OK;
    }
    return AURA_OS_CriticalSection_Create(&mCrit);
}

AURA_RESULT GeometryMgr::releaseOcclusionThread()
{
    const AURA_RESULT result = mOcclusionThread.release();
    if (result != AURA_OK) {
        return result;
    }
    while (!mGeometryHead.isEmpty()) {
        (void)releaseGeometry(static_cast<GeometryI *>(mGeometryHead.mNext->mData));
    }
    (void)AURA_OS_CriticalSection_Free(mCrit);
    mCrit = nullptr;
    return AURA_OK;
}

AURA_RESULT GeometryMgr::createGeometry(GeometryI **geometry)
{
    if (!geometry) {
        return AURA_ERR_INVALID_PARAM;
    }
    *geometry = nullptr;
    GeometryI *created = AURA_New(GeometryI, this);
    if (!created) {
        return AURA_ERR_MEMORY;
    }
    CriticalSectionGuard guard(mCrit);
    created->mManagerNode.addBefore(mGeometryHead);
    mNumGeometry.fetch_add(1, std::memory_order_acq_rel);
    *geometry = created;
    return AURA_OK;
}

bool GeometryMgr::owns(const void *handle)
{
    CriticalSectionGuard guard(mCrit);
    for (LinkedListNode *node = mGeometryHead.mNext; node != &mGeometryHead; node = node->mNext) {
        if (static_cast<const void *>(static_cast<Geometry *>(static_cast<GeometryI *>(node->mData))) == handle) {
            return true;
        }
    }
    return false;
}

AURA_RESULT GeometryMgr::releaseGeometry(GeometryI *geometry)
{
    if (!geometry) {
        return AURA_ERR_INVALID_PARAM;
    }
    {
        CriticalSectionGuard guard(mCrit);
        if (geometry->mInDirtyList) {
            GeometryI **link = &mDirtyGeometry;
            while (*link && *link != geometry) {
                link = &(*link)->mNextDirty;
            }
            if (*link) {
                *link = geometry->mNextDirty;
            }
        }
        mMainOctree.deleteItem(&geometry->mMainItem.mNode);
        mMainOctree.removeInternalNode(&geometry->mMainItem.mSpare);
        geometry->mManagerNode.removeNode();
        mNumGeometry.fetch_sub(1, std::memory_order_acq_rel);
        mChanges.fetch_add(1, std::memory_order_acq_rel);
    }
    AURA_Delete(geometry);
    return AURA_OK;
}

AURA_RESULT GeometryMgr::setWorldSize(float worldsize)
{
    if (!(worldsize > 0.0f) || !std::isfinite(worldsize)) {
        return AURA_ERR_INVALID_PARAM;
    }
    CriticalSectionGuard guard(mCrit);
    if (worldsize == mWorldSize) {
        return AURA_OK;
    }
    mWorldSize = worldsize;
    // Every position is quantised against the world size: everything goes in again.
    for (LinkedListNode *node = mGeometryHead.mNext; node != &mGeometryHead; node = node->mNext) {
        mMainOctree.deleteItem(&static_cast<GeometryI *>(node->mData)->mMainItem.mNode);
    }
    mMainOctree.setFrame(AURA_VECTOR{0.0f, 0.0f, 0.0f}, 1.0f / worldsize);
    for (LinkedListNode *node = mGeometryHead.mNext; node != &mGeometryHead; node = node->mNext) {
        auto *geometry = static_cast<GeometryI *>(node->mData);
        geometry->mRequantise = true;
        geometry->markDirty();
    }
    return AURA_OK;
}

void GeometryMgr::flushAll()
{
    GeometryI *geometry = mDirtyGeometry;
    mDirtyGeometry = nullptr;
    while (geometry) {
        GeometryI *next = geometry->mNextDirty;
        geometry->mNextDirty = nullptr;
        geometry->mInDirtyList = false;
        geometry->flush();
        geometry = next;
    }
}

bool GeometryMgr::mainOctreeLineTestCallback(OctreeNode *item, void *userdata)
{
    auto *data = static_cast<GeometryI::LineTestData *>(userdata);
    GeometryI *geometry = reinterpret_cast<GeometryI::MainItem *>(item)->mGeometry;
    data->mCurrent = geometry;
    return geometry->lineTest(data);
}

AURA_RESULT GeometryMgr::lineTestAll(const AURA_VECTOR *start, const AURA_VECTOR *end, float *directocclusion,
                                     float *reverbocclusion)
{
    CriticalSectionGuard guard(mCrit);
    flushAll();
    GeometryI::LineTestData data{*start, *end, 1.0f, 1.0f, nullptr};
    if (mMainOctree.mTop) {
        (void)mMainOctree.testLine(mainOctreeLineTestCallback, &data, *start, *end);
    }
    *directocclusion = 1.0f - data.mDirectTransmission;
    *reverbocclusion = 1.0f - data.mReverbTransmission;
    return AURA_OK;
}

} // namespace AURA
