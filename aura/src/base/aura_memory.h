// The engine's memory pool. Every object and buffer of the engine is
// allocated through one pool that records the caller's source and line,
// keeps running and peak counters (in total, per thread and in 256-byte
// blocks) and reports failures to the global system callback.
#ifndef AURA_MEMORY_H
#define AURA_MEMORY_H

#include "aura.h"
#include "os/aura_mspace.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <utility>

struct AURA_OS_CRITICALSECTION;

namespace AURA {

using MemoryAllocCallback = void *(*)(unsigned int size, unsigned int type);
using MemoryReallocCallback = void *(*)(void *ptr, unsigned int size, unsigned int type);
using MemoryFreeCallback = void (*)(void *ptr, unsigned int type);

// The pool's default callbacks: the C library's malloc, realloc and free.
void *Memory_DefaultMalloc(unsigned int size, unsigned int type);
void *Memory_DefaultRealloc(void *ptr, unsigned int size, unsigned int type);
void Memory_DefaultFree(void *ptr, unsigned int type);

// Allocation type bits that the pool itself looks at.
inline constexpr unsigned int MEMORY_TYPE_FLAGGED = 0x00400000; // counted apart from the rest
inline constexpr unsigned int MEMORY_TYPE_DSPBUFFER = 0x00200000;

// The header in front of every block.
struct MemBlockHeader {
    int mSize;          // requested size, without the header
    unsigned int mType; // type after the global type mask (callback mode)
    int mStartBlock;    // block mode: first block of the memory; -1 otherwise
    int mThreadSlot;    // counter slot 1..32; 0 once freed
};
static_assert(sizeof(MemBlockHeader) == 16, "the block header is 16 bytes");

class MemPool {
public:
    static constexpr int THREAD_SLOTS = 32;     // slots 1..31 per thread, 32 for the rest
    static constexpr int DEFAULT_BLOCK_SIZE = 256;
    static constexpr int HEADER_SIZE = static_cast<int>(sizeof(MemBlockHeader));
    static constexpr int MAX_SIZE = 0x7FFFFFFF - HEADER_SIZE;

    constexpr MemPool() = default;
    ~MemPool();
    MemPool(const MemPool &) = delete;
    MemPool &operator=(const MemPool &) = delete;

    // Null on failure (after telling the global system callback). A size of
    // 0 gives a valid, distinct pointer; a negative size fails.
    [[nodiscard]] void *alloc(int size, const char *file, int line, unsigned int type = 0,
                              bool clear = false);
    [[nodiscard]] void *calloc(int size, const char *file, int line, unsigned int type = 0);
    // A null ptr allocates (type 0, not cleared). On failure returns null and
    // leaves the old block allocated, unchanged and counted.
    [[nodiscard]] void *realloc(void *ptr, int size, const char *file, int line,
                                unsigned int type = 0);
    // Frees a block of this pool; null is ignored.
    void free(void *ptr, const char *file, int line);
    // Back to the constructed state: default callbacks, counters cleared.
    void close();

    // Heap mode: the pool's memory comes from a caller-supplied block,
    // managed as an mspace, instead of the callbacks. 37 for a bad block;
    // 32 when the pool still holds allocations.
    [[nodiscard]] AURA_RESULT initMspace(void *base, int length);
    // Block mode: the pool hands out runs of whole blocks of [base, base +
    // length), memory the engine need not be able to touch (sound RAM). The
    // caller receives a handle (the block header, kept in the global pool);
    // blockAddress turns it into the memory. Not for the global pool itself.
    // 37 for bad arguments, 32 when the pool still holds allocations, 44
    // when the bitmap cannot be allocated.
    [[nodiscard]] AURA_RESULT initBlocks(void *base, int length, int blockSize);
    [[nodiscard]] void *blockAddress(const void *handle) const;
    // Sets (value != 0) or clears count bits of the block bitmap from start
    // and keeps the free hint (the lowest block believed free) up to date.
    void set(int start, int value, int count);
    [[nodiscard]] int getFreeHint() const { return mFreeHint; }
    [[nodiscard]] bool isBlockInUse(int block) const
    {
        return mBitmap && block >= 0 && block < mBlockCount && bitSet(block);
    }

    // Callback mode with the caller's routines (all three or none: defaults).
    [[nodiscard]] AURA_RESULT setCallbacks(MemoryAllocCallback alloc, MemoryReallocCallback realloc,
                                           MemoryFreeCallback free);

    // Whether blocks come from the C library's allocator, not from a
    // caller's memory or routines (where slack asked for beyond a block's
    // use would take room the caller counted on).
    [[nodiscard]] bool usesSystemHeap() const
    {
        return !mMspace && !mSeparateHeaders && mRealloc == Memory_DefaultRealloc;
    }

    // A thread that ends gives up its counter slot.
    void releaseThreadSlot(unsigned int threadId);

    // Failure injection for tests: the n-th allocation or resize from now
    // fails as if memory were exhausted (1 = the next one); 0 turns it off.
    void failAfter(int n);

    struct Stats {
        int64_t blocksInUse;
        int64_t peakBlocks;
        std::array<int64_t, THREAD_SLOTS + 1> currentBytes; // 0 total, 1..31 threads, 32 rest
        std::array<uint32_t, THREAD_SLOTS> threadIds;       // owner of slot i (1..31)
        int64_t peakBytes;
        int64_t peakFlaggedBytes;
        int64_t flaggedBytes;
        int64_t peakBlockBytes;
        int64_t peakOverhead;
        int blockSize;
    };
    [[nodiscard]] Stats getStats();

    int mBlockSize = DEFAULT_BLOCK_SIZE;

private:
    bool enter();
    void leave();
    void *fail(const char *file, int line, int size);
    bool beginRequest(int size);
    void record(MemBlockHeader *header, int size, unsigned int type);
    bool shouldInjectFailure();
    int threadSlot();
    void countIn(const MemBlockHeader *header);
    void countOut(const MemBlockHeader *header);
    int64_t blocksFor(int size) const;
    bool isBlockMode() const { return mSeparateHeaders; }
    bool bitSet(int block) const;
    int findRun(int from, int count) const;
    int firstFree(int from) const;
    void *blockAlloc(int size);
    bool blockRealloc(MemBlockHeader *header, int size);
    void blockFree(MemBlockHeader *header);
    void dropBlockMode();
    void *rawAlloc(unsigned int bytes, unsigned int type);
    void *rawRealloc(void *header, unsigned int bytes, unsigned int type);
    void rawFree(void *header, unsigned int type);

    int64_t mBlocksInUse = 0;
    int64_t mPeakBlocks = 0;
    std::array<int64_t, THREAD_SLOTS + 1> mCurrentBytes{};
    std::array<uint32_t, THREAD_SLOTS> mThreadIds{};
    int64_t mPeakBytes = 0;
    int64_t mPeakFlaggedBytes = 0;
    int64_t mFlaggedBytes = 0;
    int64_t mPeakBlockBytes = 0;
    int64_t mPeakOverhead = 0;
    MemoryAllocCallback mAlloc = Memory_DefaultMalloc;
    MemoryReallocCallback mRealloc = Memory_DefaultRealloc;
    MemoryFreeCallback mFree = Memory_DefaultFree;
    mspace mMspace = nullptr;
    // Block mode.
    uint8_t *mBitmap = nullptr; // one bit per block, 1 = in use; bit 0 of byte 0 is block 0
    uint8_t *mBase = nullptr;
    bool mSeparateHeaders = false;
    int mBlockCount = 0;
    int mFreeHint = 0;
    std::atomic<AURA_OS_CRITICALSECTION *> mCrit{nullptr}; // made by the first caller
    int mFailCountdown = 0;
};

// A reference-counted shared allocation.
class MemSingleton {
public:
    [[nodiscard]] void *alloc(int size, const char *file, int line);
    void free(const char *file, int line);
    [[nodiscard]] int getRefCount();

private:
    std::mutex mLock;
    void *mMemory = nullptr;
    int mRefCount = 0;
};

// Objects live in pool memory: allocated zeroed, then constructed in place.
template <class T, class... Args>
T *newObject(const char *file, int line, Args &&...args);
template <class T>
void deleteObject(T *object, const char *file, int line);

} // namespace AURA

#include "base/aura_globals.h"

namespace AURA {

template <class T, class... Args>
T *newObject(const char *file, int line, Args &&...args)
{
    static_assert(alignof(T) <= 16, "pool memory is 16-byte aligned");
    static_assert(sizeof(T) <= static_cast<std::size_t>(MemPool::MAX_SIZE));
    void *mem = gGlobal->mMemPool->calloc(static_cast<int>(sizeof(T)), file, line);
    if (!mem) {
        return nullptr;
    }
    return ::new (mem) T(std::forward<Args>(args)...);
}

template <class T>
void deleteObject(T *object, const char *file, int line)
{
    if (!object) {
        return;
    }
    object->~T();
    gGlobal->mMemPool->free(object, file, line);
}

} // namespace AURA

// Each source file defines `static constexpr const char AURA_ALLOC_TAG[]`
// (its module path, such as "aura/src/aura_memory") before using these.
#define AURA_Memory_Alloc(size) \
    AURA::gGlobal->mMemPool->alloc((size), AURA_ALLOC_TAG, __LINE__, 0, false)
#define AURA_Memory_AllocType(size, type) \
    AURA::gGlobal->mMemPool->alloc((size), AURA_ALLOC_TAG, __LINE__, (type), false)
#define AURA_Memory_Calloc(size) \
    AURA::gGlobal->mMemPool->calloc((size), AURA_ALLOC_TAG, __LINE__, 0)
#define AURA_Memory_ReAlloc(ptr, size) \
    AURA::gGlobal->mMemPool->realloc((ptr), (size), AURA_ALLOC_TAG, __LINE__, 0)
#define AURA_Memory_Free(ptr) AURA::gGlobal->mMemPool->free((ptr), AURA_ALLOC_TAG, __LINE__)
#define AURA_New(T, ...) AURA::newObject<T>(AURA_ALLOC_TAG, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define AURA_Delete(obj) AURA::deleteObject((obj), AURA_ALLOC_TAG, __LINE__)

#endif // AURA_MEMORY_H
