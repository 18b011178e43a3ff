#include "dsp/aura_dsp_connectionpool.h"

#include "base/aura_memory.h"
#include "base/aura_memorytracker.h"
#include "dsp/aura_dsp_mixer.h"
#include "dsp/aura_dsp_connectioni.h"
#include "os/aura_os.h"

#include <algorithm>
#include <cstdint>
#include <new>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_dsp_connectionpool";
} // namespace

DSPConnectionPool::DSPConnectionPool()
{
    mUsedListHead.initNode();
    mFreeListHead.initNode();
}

DSPConnectionPool::~DSPConnectionPool()
{
    close();
}

int DSPConnectionPool::levelRows() const
{
    return std::max(mMaxOutputLevels, 2);
}

int DSPConnectionPool::levelWidth() const
{
    // As each connection computes its row width from the rows it gets.
    return std::max(levelRows(), mMaxInputLevels);
}

int DSPConnectionPool::getNumBlocks() const
{
    int blocks = 0;
    for (void *memory : mConnectionMemory) {
        blocks += memory ? 1 : 0;
    }
    return blocks;
}

AURA_RESULT DSPConnectionPool::allocBlock(int slot)
{
    const int64_t connectionBytes = static_cast<int64_t>(mNumConnections) * sizeof(DSPConnectionI) + 16;
    const int64_t nodeBytes = static_cast<int64_t>(mNumConnections) * sizeof(LinkedListNode);
    const int64_t levelBytes = static_cast<int64_t>(mNumConnections) * levelRows() * levelWidth() * 3 *
                               static_cast<int64_t>(sizeof(float));
    if (connectionBytes > MemPool::MAX_SIZE || levelBytes > MemPool::MAX_SIZE) {
        return AURA_ERR_MEMORY;
    }
    mConnectionMemory[slot] = AURA_Memory_Calloc(static_cast<int>(connectionBytes));
    if (!mConnectionMemory[slot]) {
        return AURA_ERR_MEMORY;
    }
    const auto aligned = (reinterpret_cast<uintptr_t>(mConnectionMemory[slot]) + 15) & ~uintptr_t{15};
    mConnection[slot] = reinterpret_cast<DSPConnectionI *>(aligned);
    mNodeMemory[slot] = static_cast<LinkedListNode *>(AURA_Memory_Calloc(static_cast<int>(nodeBytes)));
    if (!mNodeMemory[slot]) {
        return AURA_ERR_MEMORY;
    }
    mLevelDataMemory[slot] = AURA_Memory_Calloc(static_cast<int>(levelBytes));
    if (!mLevelDataMemory[slot]) {
        return AURA_ERR_MEMORY;
    }
    mLevelData[slot] = static_cast<float *>(mLevelDataMemory[slot]);

    float *cursor = mLevelData[slot];
    for (int j = 0; j < mNumConnections; ++j) {
        auto *connection = ::new (&mConnection[slot][j]) DSPConnectionI;
        connection->mInputNode.initNode();
        connection->mOutputNode.initNode();
        // Every row of the level matrix, not only two: outputs may have up
        // to eight speakers.
        (void)connection->init(cursor, levelRows(), mMaxInputLevels);
        LinkedListNode &node = mNodeMemory[slot][j];
        node.mData = connection;
        connection->mPoolNode = &node;
        node.addAfter(mFreeListHead);
    }
    return AURA_OK;
}

AURA_RESULT DSPConnectionPool::init(DSPMixer *system, int numconnections, int maxoutputlevels,
                                    int maxinputlevels)
{
    if (numconnections < 0 || maxoutputlevels <= 0 || maxinputlevels <= 0 ||
        maxoutputlevels > 0xFFFF || maxinputlevels > 0xFFFF) {
        return AURA_ERR_INVALID_PARAM;
    }
    close();
    mNumConnections = ((numconnections + 128) / 128) * 128;
    mMaxOutputLevels = maxoutputlevels;
    mMaxInputLevels = maxinputlevels;
    mFreeListHead.initNode();
    mUsedListHead.initNode();
    mNumInUse = 0;
    const AURA_RESULT result = allocBlock(0);
    if (result != AURA_OK) {
        return result;
    }
    mSystem = system;
    return AURA_OK;
}

AURA_RESULT DSPConnectionPool::close()
{
    for (int slot = 0; slot < MAX_BLOCKS; ++slot) {
        AURA_Memory_Free(mConnectionMemory[slot]);
        AURA_Memory_Free(mLevelDataMemory[slot]);
        AURA_Memory_Free(mNodeMemory[slot]);
        mConnection[slot] = nullptr;
        mConnectionMemory[slot] = nullptr;
        mLevelData[slot] = nullptr;
        mLevelDataMemory[slot] = nullptr;
        mNodeMemory[slot] = nullptr;
    }
    mFreeListHead.initNode();
    mUsedListHead.initNode();
    mNumInUse = 0;
    mSystem = nullptr;
    return AURA_OK;
}

AURA_RESULT DSPConnectionPool::alloc(DSPConnectionI **connection, bool protect)
{
    if (!connection) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA_OS_CRITICALSECTION *crit = protect && mSystem ? mSystem->mDSPConnectionCrit : nullptr;
    if (crit) {
        // Stopped voices give their connections back only when the queued
        // disconnects are applied: when the pool is dry, apply them now
        // rather than grow the pool (or refuse) while they wait.
        bool dry = false;
        {
            CriticalSectionGuard guard(crit);
            dry = mFreeListHead.isEmpty();
        }
        if (dry) {
            (void)mSystem->flushDSPConnectionRequests(true);
        }
    }
    CriticalSectionGuard guard(crit);

    if (mFreeListHead.isEmpty()) {
        if (mNumConnections == 0) {
            return AURA_ERR_UNINITIALIZED;
        }
        int slot = 0;
        while (slot < MAX_BLOCKS && mConnectionMemory[slot]) {
            ++slot;
        }
        if (slot == MAX_BLOCKS) {
            return AURA_ERR_INTERNAL;
        }
        const AURA_RESULT result = allocBlock(slot);
        if (result != AURA_OK) {
            return result;
        }
    }
    LinkedListNode *node = mFreeListHead.mNext;
    auto *result = static_cast<DSPConnectionI *>(node->mData);
    result->mInputNode.mData = result;
    result->mOutputNode.mData = result;
    result->mInUse = true;
    result->mSystem = mSystem;
    node->mData = nullptr;
    node->removeNode();
    node->addAfter(mUsedListHead);
    ++mNumInUse;
    *connection = result;
    return AURA_OK;
}

AURA_RESULT DSPConnectionPool::free(DSPConnectionI *connection, bool protect)
{
    if (!connection) {
        return AURA_ERR_INVALID_PARAM;
    }
    AURA_OS_CRITICALSECTION *crit = protect && mSystem ? mSystem->mDSPConnectionCrit : nullptr;
    CriticalSectionGuard guard(crit);
    // A second free would put the record on the free list twice and hand it
    // out to two owners later.
    if (!connection->mInUse) {
        return AURA_ERR_INVALID_PARAM;
    }
    connection->mInputNode.removeNode();
    connection->mInputNode.mData = nullptr;
    connection->mOutputNode.removeNode();
    connection->mOutputNode.mData = nullptr;
    connection->mInputUnit = nullptr;
    connection->mOutputUnit = nullptr;
    connection->mInUse = false;
    LinkedListNode *node = connection->mPoolNode;
    node->removeNode();
    node->addAfter(mFreeListHead);
    node->mData = connection;
    --mNumInUse;
    return AURA_OK;
}

AURA_RESULT DSPConnectionPool::getMemoryUsedImpl(MemoryTracker *tracker)
{
    if (!tracker) {
        return AURA_OK;
    }
    for (int slot = 0; slot < MAX_BLOCKS; ++slot) {
        if (mConnectionMemory[slot]) {
            tracker->add(false, MEMBITS_DSPCONNECTION,
                         static_cast<unsigned int>(mNumConnections * sizeof(DSPConnectionI) + 16));
        }
        if (mNodeMemory[slot]) {
            tracker->add(false, MEMBITS_DSPCONNECTION,
                         static_cast<unsigned int>(mNumConnections * sizeof(LinkedListNode)));
        }
        if (mLevelDataMemory[slot]) {
            tracker->add(false, MEMBITS_DSPCONNECTION,
                         static_cast<unsigned int>(mNumConnections * levelRows() * levelWidth() * 3 *
                                                   sizeof(float)));
        }
    }
    return AURA_OK;
}

AURA_RESULT DSPConnectionPool::getMemoryUsed(MemoryTracker *tracker)
{
    if (tracker) {
        if (mMemoryCounted) {
            return AURA_OK;
        }
        const AURA_RESULT result = getMemoryUsedImpl(tracker);
        if (result == AURA_OK) {
            mMemoryCounted = true;
        }
        return result;
    }
    const AURA_RESULT result = getMemoryUsedImpl(nullptr);
    if (result == AURA_OK) {
        mMemoryCounted = false;
    }
    return result;
}

} // namespace AURA
