// The engine's process-wide record and the reference count of live systems.
#ifndef AURA_GLOBALS_H
#define AURA_GLOBALS_H

#include "aura.h"

#include <atomic>
#include <mutex>

struct AURA_OS_CRITICALSECTION;

namespace AURA {

class MemPool;
class SystemI;
class DSPFFT;

// A node of the engine's intrusive lists: self-linked when empty.
struct LinkedListNode {
    LinkedListNode *mNext = nullptr;
    LinkedListNode *mPrev = nullptr;
    void *mData = nullptr;

    constexpr void initNode()
    {
        mNext = this;
        mPrev = this;
        mData = nullptr;
    }
    [[nodiscard]] constexpr bool isEmpty() const { return mNext == this; }

    // Takes the node out of its list; it is then self-linked (data kept).
    constexpr void removeNode()
    {
        mPrev->mNext = mNext;
        mNext->mPrev = mPrev;
        mNext = this;
        mPrev = this;
    }
    // Links the node in front of `at` (at the tail when `at` is a head).
    constexpr void addBefore(LinkedListNode &at)
    {
        mNext = &at;
        mPrev = at.mPrev;
        at.mPrev->mNext = this;
        at.mPrev = this;
    }
    // Links the node behind `at` (at the front when `at` is a head).
    constexpr void addAfter(LinkedListNode &at)
    {
        mPrev = &at;
        mNext = at.mNext;
        at.mNext->mPrev = this;
        at.mNext = this;
    }
};

struct Global {
    constexpr explicit Global(MemPool *pool) : mMemPool(pool)
    {
        mSystemHead.initNode();
        mFileThreadHead.initNode();
    }
    Global(const Global &) = delete;
    Global &operator=(const Global &) = delete;

    LinkedListNode mSystemHead;                   // the live systems, newest first
    std::mutex mSystemListLock;                   // guards the list and the indices
    MemPool *mMemPool;                            // the system pool
    std::atomic<int> mDiskBusy{0};                // owned by the file layer
    std::atomic<AURA_SYSTEM_CALLBACK> mSystemCallback{nullptr}; // hears of allocation failures
    std::atomic<unsigned int> mMemoryTypeMask{0xFFFFFFFFu};     // ANDed into callback types
    LinkedListNode mFileThreadHead;               // every file thread, walked at final release
    AURA_OS_CRITICALSECTION *mDiskBusyCrit = nullptr;
    AURA_OS_CRITICALSECTION *mAsyncCrit = nullptr; // guards the non-blocking loader list
    void *mProfiler = nullptr;
    std::atomic<unsigned int> mRandomNext{0};     // state of the engine's random generator

    // Count of live systems: each system's creation adds one, its release
    // takes one; the last release frees the engine's shared resources.
    [[nodiscard]] static AURA_RESULT incRef();
    [[nodiscard]] static AURA_RESULT decRef();
    // The one shared FFT object, built on first request.
    [[nodiscard]] static AURA_RESULT getDSPFFT(DSPFFT **fft);
};

extern Global gGlobalMem;
extern Global *const gGlobal;
extern MemPool gSystemPoolMem;
extern std::atomic<int> gSystemInitCount;
extern DSPFFT *gDSPFFT;

} // namespace AURA

#endif // AURA_GLOBALS_H
