// Every connection of a system's graph comes from this pool: blocks of N
// records with their list nodes and level matrices, grown one block at a
// time and freed only at close.
#ifndef AURA_DSP_CONNECTIONPOOL_H
#define AURA_DSP_CONNECTIONPOOL_H

#include "aura.h"
#include "base/aura_globals.h"

namespace AURA {

class DSPMixer;
class DSPConnectionI;
class MemoryTracker;

class DSPConnectionPool {
public:
    static constexpr int MAX_BLOCKS = 128;

    DSPConnectionPool();
    virtual ~DSPConnectionPool();
    DSPConnectionPool(const DSPConnectionPool &) = delete;
    DSPConnectionPool &operator=(const DSPConnectionPool &) = delete;

    AURA_RESULT init(DSPMixer *system, int numconnections, int maxoutputlevels, int maxinputlevels);
    AURA_RESULT close();
    // With protect, the system's connection section is held.
    AURA_RESULT alloc(DSPConnectionI **connection, bool protect);
    // 37 for null or for a connection that is not handed out (a second free).
    AURA_RESULT free(DSPConnectionI *connection, bool protect);
    virtual AURA_RESULT getMemoryUsedImpl(MemoryTracker *tracker);
    virtual AURA_RESULT getMemoryUsed(MemoryTracker *tracker);

    [[nodiscard]] int getConnectionsPerBlock() const { return mNumConnections; }
    [[nodiscard]] int getNumBlocks() const;
    [[nodiscard]] int getNumInUse() const { return mNumInUse; }

private:
    AURA_RESULT allocBlock(int slot);
    [[nodiscard]] int levelRows() const;
    [[nodiscard]] int levelWidth() const;

    bool mMemoryCounted = false;
    DSPMixer *mSystem = nullptr;
    DSPConnectionI *mConnection[MAX_BLOCKS]{};
    void *mConnectionMemory[MAX_BLOCKS]{};
    LinkedListNode *mNodeMemory[MAX_BLOCKS]{};
    int mMaxInputLevels = 0;
    int mMaxOutputLevels = 0;
    int mNumConnections = 0;
    int mNumInUse = 0;
    LinkedListNode mUsedListHead;
    LinkedListNode mFreeListHead;
    float *mLevelData[MAX_BLOCKS]{};
    void *mLevelDataMemory[MAX_BLOCKS]{};
};

} // namespace AURA

#endif // AURA_DSP_CONNECTIONPOOL_H
