// Sound occlusion by polygons: geometry objects keep their polygons in an
// octree of their own, the manager keeps the objects in a main octree and
// answers line tests between a listener and a source, and its worker thread
// answers the channels' queued requests so that their update only reads
// finished results.
#ifndef AURA_GEOMETRY_H
#define AURA_GEOMETRY_H

#include "aura.h"
#include "aura.hpp"
#include "base/aura_globals.h"
#include "geometry/aura_octree.h"
#include "os/aura_thread.h"

#include <atomic>
#include <cstdint>

struct AURA_OS_CRITICALSECTION;

namespace AURA {

class GeometryMgr;
class GeometryI;
class TimeStamp;

enum GeometryPolygonFlag : unsigned int {
    POLYGON_VERTEX_MASK = 0x0000FFFF,
    POLYGON_DOUBLESIDED = 0x00010000,
    POLYGON_DEGENERATE = 0x00020000,
};

struct GeometryPolygon {
    OctreeNode mNode; // first: the octree's item is the polygon
    OctreeNode mSpare; // becomes an internal node of the geometry's octree
    float mD = 0.0f; // plane: normal . p = d
    float mNormal[3] = {};
    float mDirectOcclusion = 0.0f;
    float mReverbOcclusion = 0.0f;
    unsigned int mFlags = 0;
    GeometryPolygon *mNextInGeometry = nullptr;
    AURA_VECTOR *vertices() { return reinterpret_cast<AURA_VECTOR *>(this + 1); }
    [[nodiscard]] int numVertices() const { return static_cast<int>(mFlags & POLYGON_VERTEX_MASK); }
};

// out = m x in over the first three columns.
void matrixMult(const float m[][4], const AURA_VECTOR *in, AURA_VECTOR *out);

class GeometryI : public Geometry {
public:
    static constexpr int MAX_VERTICES = 0xFFFF;

    explicit GeometryI(GeometryMgr *manager);
    ~GeometryI();
    GeometryI(const GeometryI &) = delete;
    GeometryI &operator=(const GeometryI &) = delete;

    struct LineTestData {
        AURA_VECTOR mStart;
        AURA_VECTOR mEnd;
        float mDirectTransmission;
        float mReverbTransmission;
        GeometryI *mCurrent;
    };

    // Each takes the manager's section and marks the geometry dirty.
    AURA_RESULT addPolygonInternal(float directocclusion, float reverbocclusion, bool doublesided, int numvertices,
                                   const AURA_VECTOR *vertices, int *polygonindex);
    AURA_RESULT setPositionInternal(const AURA_VECTOR *position);
    AURA_RESULT setRotationInternal(const AURA_VECTOR *forward, const AURA_VECTOR *up);
    AURA_RESULT setScaleInternal(const AURA_VECTOR *scale);
    AURA_RESULT setActiveInternal(bool active);

    void flush();
    void updateSpatialData();
    bool lineTest(LineTestData *data);
    static bool octreeLineTestCallback(OctreeNode *item, void *data);

    // Releases every polygon; the manager unlinks the geometry first.
    void freePolygons();

    struct MainItem {
        OctreeNode mNode; // first: the main octree's item is this record
        OctreeNode mSpare;
        GeometryI *mGeometry;
    };

    GeometryMgr *mMgr;
    OctreeNode *mDirtyPolygons = nullptr; // linked through mNode.mNext
    AURA_AABB mLocalBox{};
    bool mActive = true;
    AURA_VECTOR mPosition{0.0f, 0.0f, 0.0f};
    AURA_VECTOR mForward{0.0f, 0.0f, 1.0f};
    AURA_VECTOR mUp{0.0f, 1.0f, 0.0f};
    AURA_VECTOR mScale{1.0f, 1.0f, 1.0f};
    float mForwardMatrix[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};
    float mInverseMatrix[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};
    MainItem mMainItem{};
    Octree mOctree;
    GeometryI *mNextDirty = nullptr;
    bool mInDirtyList = false;
    bool mRequantise = false; // the world size changed: every polygon goes in again
    GeometryPolygon *mPolygons = nullptr;
    GeometryPolygon *mLastPolygon = nullptr;
    int mNumPolygons = 0;
    LinkedListNode mManagerNode; // the manager's list of every geometry

    // Queues the geometry for the next flush (under the manager's section).
    void markDirty();

private:
    void computeMatrices();
};

// What a worker pass hands back for one channel.
struct OcclusionResult {
    uint32_t mHandle = 0;
    float mDirectOcclusion = 0.0f;
    float mReverbOcclusion = 0.0f;
    float mReverbGain = 1.0f;
};

class OcclusionThread {
public:
    enum State : int { STATE_PENDING = 0, STATE_DONE = 1, STATE_COLLECTED = 2 };

    struct Record {
        LinkedListNode mNode;
        std::atomic<int> mState{STATE_PENDING};
        uint32_t mHandle = 0;
        AURA_VECTOR mPosition{};
        AURA_VECTOR mListener{};
        AURA_VECTOR mReverbPosition{};
        bool mReverbActive = false;
        uint32_t mSequence = 0; // counts requests, so a stale pass is dropped
        float mDirectOcclusion = 0.0f;
        float mReverbOcclusion = 0.0f;
        float mReverbGain = 1.0f;
    };
    // What the worker takes out of a record at dequeue.
    struct Request {
        Record *mRecord;
        uint32_t mSequence;
        AURA_VECTOR mPosition;
        AURA_VECTOR mListener;
        AURA_VECTOR mReverbPosition;
        bool mReverbActive;
    };

    explicit OcclusionThread(GeometryMgr *manager);
    ~OcclusionThread();
    OcclusionThread(const OcclusionThread &) = delete;
    OcclusionThread &operator=(const OcclusionThread &) = delete;

    AURA_RESULT init(int numchannels);
    AURA_RESULT release();
    // Queues a request for a channel unless a finished result waits for it;
    // a pending request only takes the newer handle and positions. The
    // reverb position is null without an active 3D reverb.
    void enqueue(unsigned int channelindex, uint32_t channelhandle, const AURA_VECTOR &position,
                 const AURA_VECTOR &listener, const AURA_VECTOR *reverbposition);
    [[nodiscard]] bool dequeue(Request *request);
    // A finished result, once: false when none waits.
    [[nodiscard]] bool retrieveOcclusion(unsigned int channelindex, OcclusionResult *result);
    // One worker pass; false when the queue was empty.
    bool process();
    // A finished result waits for the channel.
    [[nodiscard]] bool resultWaiting(unsigned int channelindex) const
    {
        return mRecords && channelindex < static_cast<unsigned int>(mNumRecords) &&
               mRecords[channelindex].mState.load(std::memory_order_acquire) == STATE_DONE;
    }
    // The worker's OS id (0 while it is not running).
    [[nodiscard]] unsigned int threadID() const { return mThread.getThreadID(); }

    std::atomic<bool> mInitialised{false};

private:
    static void threadFunc(void *param);

    Thread mThread;
    Record *mRecords = nullptr;
    int mNumRecords = 0;
    LinkedListNode mQueueHead;
    AURA_OS_CRITICALSECTION *mCrit = nullptr;
    GeometryMgr *mMgr;
};

class GeometryMgr {
public:
    GeometryMgr();
    ~GeometryMgr();
    GeometryMgr(const GeometryMgr &) = delete;
    GeometryMgr &operator=(const GeometryMgr &) = delete;

    // Made when the system initialises; before it, line tests run unlocked.
    AURA_RESULT initCritalSection();
    // Ends the worker and frees the sections and every geometry left.
    AURA_RESULT releaseOcclusionThread();

    AURA_RESULT createGeometry(GeometryI **geometry);
    AURA_RESULT releaseGeometry(GeometryI *geometry);
    [[nodiscard]] bool owns(const void *handle);
    AURA_RESULT setWorldSize(float worldsize);

    AURA_RESULT lineTestAll(const AURA_VECTOR *start, const AURA_VECTOR *end, float *directocclusion,
                            float *reverbocclusion);
    void flushAll();
    static bool mainOctreeLineTestCallback(OctreeNode *item, void *data);
    [[nodiscard]] bool hasGeometry() const { return mNumGeometry.load(std::memory_order_acquire) > 0; }
    // Counts geometry changes, so channels know when to ask again.
    [[nodiscard]] uint32_t changeCount() const { return mChanges.load(std::memory_order_acquire); }

    // Memory accounting: the manager's own record.
    static constexpr int MEMORY_SIZE = 360;

    bool mMemoryCounted = false;
    void *mSystem = nullptr;
    bool mMinimumTransmission = false; // the lowest polygon sets the transmissions
    TimeStamp *mTimeStamp = nullptr; // the system's geometry CPU stamp
    int mNumChannels = 0; // one request record each
    OcclusionThread mOcclusionThread;
    AURA_OS_CRITICALSECTION *mCrit = nullptr;
    Octree mMainOctree;
    GeometryI *mDirtyGeometry = nullptr;
    float mWorldSize = 1000.0f;
    LinkedListNode mGeometryHead;
    std::atomic<int> mNumGeometry{0};
    std::atomic<uint32_t> mChanges{0};

    friend class GeometryI;
};

} // namespace AURA

#endif // AURA_GEOMETRY_H
