#include "base/aura_memory.h"

#include "os/aura_os.h"

#include <cstdio>
#include <cstring>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_memory";
} // namespace

void *Memory_DefaultMalloc(unsigned int size, unsigned int type)
{
    return AURA_OS_Memory_Alloc(size, type);
}

void *Memory_DefaultRealloc(void *ptr, unsigned int size, unsigned int type)
{
    return AURA_OS_Memory_Realloc(ptr, size, type);
}

void Memory_DefaultFree(void *ptr, unsigned int type)
{
    AURA_OS_Memory_Free(ptr, type);
}

MemPool::~MemPool()
{
    close();
}

bool MemPool::enter()
{
    AURA_OS_CRITICALSECTION *crit = mCrit.load(std::memory_order_acquire);
    if (!crit) {
        // The memory flavour is one static section, so racing first callers
        // all get the same object.
        if (AURA_OS_CriticalSection_Create(&crit, true) != AURA_OK) {
            return false;
        }
        mCrit.store(crit, std::memory_order_release);
    }
    return AURA_OS_CriticalSection_Enter(crit) == AURA_OK;
}

void MemPool::leave()
{
    (void)AURA_OS_CriticalSection_Leave(mCrit.load(std::memory_order_acquire));
}

int64_t MemPool::blocksFor(int size) const
{
    const int64_t block = mBlockSize > 0 ? mBlockSize : DEFAULT_BLOCK_SIZE;
    return (static_cast<int64_t>(size) + block - 1) / block;
}

int MemPool::threadSlot()
{
    unsigned int id = 0;
    (void)AURA_OS_Thread_GetCurrentID(&id);
    int firstEmpty = 0;
    for (int slot = 1; slot < THREAD_SLOTS; ++slot) {
        if (mThreadIds[slot] == id) {
            return slot;
        }
        if (!firstEmpty && mThreadIds[slot] == 0) {
            firstEmpty = slot;
        }
    }
    if (firstEmpty) {
        mThreadIds[firstEmpty] = id;
        mCurrentBytes[firstEmpty] = 0;
        return firstEmpty;
    }
    return THREAD_SLOTS; // every slot is held: the rest share the last counter
}

void MemPool::countIn(const MemBlockHeader *header)
{
    if (header->mType & MEMORY_TYPE_FLAGGED) {
        mFlaggedBytes += header->mSize;
        if (mFlaggedBytes > mPeakFlaggedBytes) {
            mPeakFlaggedBytes = mFlaggedBytes;
        }
    } else {
        mCurrentBytes[0] += header->mSize;
        mCurrentBytes[header->mThreadSlot] += header->mSize;
        if (mCurrentBytes[0] > mPeakBytes) {
            mPeakBytes = mCurrentBytes[0];
        }
    }
    mBlocksInUse += blocksFor(header->mSize);
    if (mBlocksInUse > mPeakBlocks) {
        mPeakBlocks = mBlocksInUse;
        mPeakBlockBytes = mPeakBlocks * mBlockSize;
        mPeakOverhead = mPeakBlockBytes - mPeakBytes;
    }
}

void MemPool::countOut(const MemBlockHeader *header)
{
    if (header->mType & MEMORY_TYPE_FLAGGED) {
        mFlaggedBytes -= header->mSize;
    } else {
        mCurrentBytes[0] -= header->mSize;
        if (header->mThreadSlot >= 1 && header->mThreadSlot <= THREAD_SLOTS) {
            mCurrentBytes[header->mThreadSlot] -= header->mSize;
        }
    }
    mBlocksInUse -= blocksFor(header->mSize);
}

bool MemPool::beginRequest(int size)
{
    // A negative size would wrap into a huge request, and one close to 2^31
    // would overflow once the header is added: refuse both.
    if (size < 0 || size > MAX_SIZE || !enter()) {
        return false;
    }
    if (shouldInjectFailure()) {
        leave();
        return false;
    }
    return true;
}

void MemPool::record(MemBlockHeader *header, int size, unsigned int type)
{
    header->mSize = size;
    header->mType = type;
    header->mThreadSlot = threadSlot();
    countIn(header);
}

bool MemPool::shouldInjectFailure()
{
    if (mFailCountdown <= 0) {
        return false;
    }
    return --mFailCountdown == 0;
}

void *MemPool::rawAlloc(unsigned int bytes, unsigned int type)
{
    if (mAlloc) {
        return mAlloc(bytes, type);
    }
    return mMspace ? mspace_malloc(mMspace, bytes) : nullptr;
}

void *MemPool::rawRealloc(void *header, unsigned int bytes, unsigned int type)
{
    if (mRealloc) {
        return mRealloc(header, bytes, type);
    }
    return mMspace ? mspace_realloc(mMspace, header, bytes) : nullptr;
}

void MemPool::rawFree(void *header, unsigned int type)
{
    if (mFree) {
        mFree(header, type);
    } else if (mMspace) {
        mspace_free(mMspace, header);
    }
}

void *MemPool::fail(const char *file, int line, int size)
{
    AURA_SYSTEM_CALLBACK callback = gGlobal->mSystemCallback.load(std::memory_order_acquire);
    if (callback) {
        char text[256];
        std::snprintf(text, sizeof(text), "%s (%d)", file ? file : "", line);
        callback(nullptr, AURA_SYSTEM_CALLBACKTYPE_MEMORYALLOCATIONFAILED, text,
                 reinterpret_cast<void *>(static_cast<intptr_t>(size)));
    }
    return nullptr;
}

void *MemPool::alloc(int size, const char *file, int line, unsigned int type, bool clear)
{
    if (!beginRequest(size)) {
        return fail(file, line, size);
    }
    if (mAlloc) {
        type &= gGlobal->mMemoryTypeMask.load(std::memory_order_relaxed);
    }
    MemBlockHeader *header = nullptr;
    // The C library zeroes only what it must (fresh pages are zero): large
    // zeroed blocks are then not touched before they are used.
    const bool zeroed = clear && mAlloc == Memory_DefaultMalloc && !isBlockMode();
    if (isBlockMode()) {
        header = static_cast<MemBlockHeader *>(blockAlloc(size));
    } else {
        header = static_cast<MemBlockHeader *>(
            zeroed ? AURA_OS_Memory_Calloc(static_cast<unsigned int>(size + HEADER_SIZE), type)
                   : rawAlloc(static_cast<unsigned int>(size + HEADER_SIZE), type));
        if (header) {
            header->mStartBlock = -1;
        }
    }
    if (!header) {
        leave();
        return fail(file, line, size);
    }
    record(header, size, type);
    const bool handleOnly = isBlockMode();
    leave();

    if (handleOnly) {
        return header; // the memory itself is at blockAddress(header)
    }
    void *user = header + 1;
    if (clear && !zeroed) {
        std::memset(user, 0, static_cast<std::size_t>(size));
    }
    return user;
}

void *MemPool::calloc(int size, const char *file, int line, unsigned int type)
{
    return alloc(size, file, line, type, true);
}

void *MemPool::realloc(void *ptr, int size, const char *file, int line, unsigned int type)
{
    if (!ptr) {
        return alloc(size, file, line, 0, false);
    }
    if (!beginRequest(size)) {
        return fail(file, line, size);
    }
    const bool blockMode = isBlockMode();
    auto *old = blockMode ? static_cast<MemBlockHeader *>(ptr) : static_cast<MemBlockHeader *>(ptr) - 1;
    const MemBlockHeader saved = *old;
    countOut(old);

    if (mAlloc) {
        type &= gGlobal->mMemoryTypeMask.load(std::memory_order_relaxed);
    }
    MemBlockHeader *header = nullptr;
    if (blockMode) {
        header = blockRealloc(old, size) ? old : nullptr;
    } else {
        header = static_cast<MemBlockHeader *>(
            rawRealloc(old, static_cast<unsigned int>(size + HEADER_SIZE), type));
    }
    if (!header) {
        // The old block is still there: count it again as it was.
        countIn(&saved);
        leave();
        return fail(file, line, size);
    }
    record(header, size, type);
    leave();
    return blockMode ? static_cast<void *>(header) : static_cast<void *>(header + 1);
}

void MemPool::free(void *ptr, const char * /*file*/, int /*line*/)
{
    if (!ptr) {
        return;
    }
    if (!enter()) {
        return;
    }
    if (isBlockMode()) {
        auto *header = static_cast<MemBlockHeader *>(ptr);
        countOut(header);
        header->mThreadSlot = 0;
        blockFree(header);
    } else {
        auto *header = static_cast<MemBlockHeader *>(ptr) - 1;
        countOut(header);
        header->mThreadSlot = 0;
        rawFree(header, header->mType);
    }
    leave();
}

void MemPool::dropBlockMode()
{
    if (mSeparateHeaders && mBitmap) {
        gGlobal->mMemPool->free(mBitmap, AURA_ALLOC_TAG, __LINE__);
    }
    mBitmap = nullptr;
    mBase = nullptr;
    mSeparateHeaders = false;
    mBlockCount = 0;
    mFreeHint = 0;
    mBlockSize = DEFAULT_BLOCK_SIZE;
}

void MemPool::close()
{
    AURA_OS_CRITICALSECTION *crit = mCrit.exchange(nullptr, std::memory_order_acq_rel);
    dropBlockMode();
    mBlocksInUse = 0;
    mPeakBlocks = 0;
    mPeakBytes = 0;
    mPeakFlaggedBytes = 0;
    mFlaggedBytes = 0;
    mPeakBlockBytes = 0;
    mPeakOverhead = 0;
    mCurrentBytes.fill(0);
    mThreadIds.fill(0);
    mAlloc = Memory_DefaultMalloc;
    mRealloc = Memory_DefaultRealloc;
    mFree = Memory_DefaultFree;
    mMspace = nullptr;
    mFailCountdown = 0;
    (void)AURA_OS_CriticalSection_Free(crit, true);
}

AURA_RESULT MemPool::initMspace(void *base, int length)
{
    if (!base || length <= 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!enter()) {
        return AURA_ERR_MEMORY;
    }
    AURA_RESULT result = AURA_OK;
    if (mBlocksInUse != 0 || mCurrentBytes[0] != 0 || mFlaggedBytes != 0) {
        result = AURA_ERR_INITIALIZED;
    } else if (mspace msp = create_mspace_with_base(base, static_cast<std::size_t>(length), 0)) {
        dropBlockMode();
        mMspace = msp;
        mAlloc = nullptr;
        mRealloc = nullptr;
        mFree = nullptr;
    } else {
        result = AURA_ERR_INVALID_PARAM;
    }
    leave();
    return result;
}

AURA_RESULT MemPool::setCallbacks(MemoryAllocCallback allocCb, MemoryReallocCallback reallocCb,
                                  MemoryFreeCallback freeCb)
{
    const bool none = !allocCb && !reallocCb && !freeCb;
    if (!none && (!allocCb || !reallocCb || !freeCb)) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!enter()) {
        return AURA_ERR_MEMORY;
    }
    AURA_RESULT result = AURA_OK;
    if (mBlocksInUse != 0 || mCurrentBytes[0] != 0 || mFlaggedBytes != 0) {
        result = AURA_ERR_INITIALIZED;
    } else {
        dropBlockMode();
        mAlloc = none ? Memory_DefaultMalloc : allocCb;
        mRealloc = none ? Memory_DefaultRealloc : reallocCb;
        mFree = none ? Memory_DefaultFree : freeCb;
        mMspace = nullptr;
    }
    leave();
    return result;
}

void MemPool::releaseThreadSlot(unsigned int threadId)
{
    if (threadId == 0 || !enter()) {
        return;
    }
    for (int slot = 1; slot < THREAD_SLOTS; ++slot) {
        if (mThreadIds[slot] == threadId) {
            mThreadIds[slot] = 0;
            mCurrentBytes[slot] = 0;
        }
    }
    leave();
}

void MemPool::failAfter(int n)
{
    if (!enter()) {
        return;
    }
    mFailCountdown = n > 0 ? n : 0;
    leave();
}

MemPool::Stats MemPool::getStats()
{
    Stats stats{};
    if (!enter()) {
        return stats;
    }
    stats.blocksInUse = mBlocksInUse;
    stats.peakBlocks = mPeakBlocks;
    stats.currentBytes = mCurrentBytes;
    stats.threadIds = mThreadIds;
    stats.peakBytes = mPeakBytes;
    stats.peakFlaggedBytes = mPeakFlaggedBytes;
    stats.flaggedBytes = mFlaggedBytes;
    stats.peakBlockBytes = mPeakBlockBytes;
    stats.peakOverhead = mPeakOverhead;
    stats.blockSize = mBlockSize;
    leave();
    return stats;
}

// ---------------------------------------------------------------------------
// Block mode.

AURA_RESULT MemPool::initBlocks(void *base, int length, int blockSize)
{
    if (!base || length <= 0 || blockSize <= 0 || length / blockSize <= 0 ||
        this == gGlobal->mMemPool) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!enter()) {
        return AURA_ERR_MEMORY;
    }
    AURA_RESULT result = AURA_OK;
    if (mBlocksInUse != 0 || mCurrentBytes[0] != 0 || mFlaggedBytes != 0) {
        result = AURA_ERR_INITIALIZED;
    } else {
        const int count = length / blockSize;
        // Whole 32-bit words, so that the word-at-a-time skip never reads
        // past the bitmap.
        const int bytes = ((count + 31) / 32) * 4;
        auto *bitmap = static_cast<uint8_t *>(
            gGlobal->mMemPool->calloc(bytes, AURA_ALLOC_TAG, __LINE__));
        if (!bitmap) {
            result = AURA_ERR_MEMORY;
        } else {
            dropBlockMode();
            mAlloc = nullptr;
            mRealloc = nullptr;
            mFree = nullptr;
            mMspace = nullptr;
            mBitmap = bitmap;
            mBase = static_cast<uint8_t *>(base);
            mSeparateHeaders = true;
            mBlockCount = count;
            mBlockSize = blockSize;
            mFreeHint = 0;
        }
    }
    leave();
    return result;
}

void *MemPool::blockAddress(const void *handle) const
{
    if (!handle || !mSeparateHeaders) {
        return nullptr;
    }
    const auto *header = static_cast<const MemBlockHeader *>(handle);
    return mBase + static_cast<std::ptrdiff_t>(header->mStartBlock) * mBlockSize;
}

bool MemPool::bitSet(int block) const
{
    return (mBitmap[block >> 3] >> (block & 7)) & 1;
}

namespace {
bool wordFull(const uint8_t *bitmap, int block)
{
    uint32_t word = 0;
    std::memcpy(&word, bitmap + (block >> 3), sizeof(word));
    return word == 0xFFFFFFFFu;
}
} // namespace

int MemPool::findRun(int from, int count) const
{
    int run = 0;
    int runStart = from;
    for (int i = from < 0 ? 0 : from; i < mBlockCount;) {
        if ((i & 31) == 0 && wordFull(mBitmap, i)) {
            run = 0;
            i += 32;
            continue;
        }
        if (bitSet(i)) {
            run = 0;
        } else {
            if (run == 0) {
                runStart = i;
            }
            if (++run == count) {
                return runStart;
            }
        }
        ++i;
    }
    return -1;
}

int MemPool::firstFree(int from) const
{
    for (int i = from < 0 ? 0 : from; i < mBlockCount;) {
        if ((i & 31) == 0 && wordFull(mBitmap, i)) {
            i += 32;
            continue;
        }
        if (!bitSet(i)) {
            return i;
        }
        ++i;
    }
    return -1;
}

void MemPool::set(int start, int value, int count)
{
    if (!mBitmap || start < 0 || count <= 0 || start >= mBlockCount) {
        return;
    }
    int end = start + count;
    if (end > mBlockCount) {
        end = mBlockCount;
    }
    auto setBit = [&](int i) {
        const auto mask = static_cast<uint8_t>(1u << (i & 7));
        if (value) {
            mBitmap[i >> 3] |= mask;
        } else {
            mBitmap[i >> 3] &= static_cast<uint8_t>(~mask);
        }
    };
    int i = start;
    for (; i < end && (i & 31) != 0; ++i) {
        setBit(i);
    }
    if (i + 8 <= end) {
        const int bytes = (end - i) / 8;
        std::memset(mBitmap + (i >> 3), value ? 0xFF : 0, static_cast<std::size_t>(bytes));
        i += bytes * 8;
    }
    for (; i < end; ++i) {
        setBit(i);
    }

    if (!value) {
        if (mFreeHint < 0 || start < mFreeHint) {
            mFreeHint = start;
        }
        return;
    }
    if (mFreeHint == start) {
        mFreeHint = start + count;
    }
    if (mFreeHint >= 0 && (mFreeHint >= mBlockCount || bitSet(mFreeHint))) {
        mFreeHint = firstFree(mFreeHint);
    }
}

void *MemPool::blockAlloc(int size)
{
    const auto need = static_cast<int>(blocksFor(size));
    int start = mFreeHint < 0 ? 0 : mFreeHint;
    if (need > 0) {
        start = findRun(start, need);
        if (start < 0) {
            return nullptr;
        }
    }
    // The header lives apart from the managed memory, which the engine
    // may not be able to write.
    auto *header = static_cast<MemBlockHeader *>(
        gGlobal->mMemPool->alloc(HEADER_SIZE, AURA_ALLOC_TAG, __LINE__));
    if (!header) {
        return nullptr;
    }
    set(start, 1, need);
    header->mStartBlock = start;
    return header;
}

bool MemPool::blockRealloc(MemBlockHeader *header, int size)
{
    const int start = header->mStartBlock;
    const auto oldNeed = static_cast<int>(blocksFor(header->mSize));
    const auto need = static_cast<int>(blocksFor(size));
    set(start, 0, oldNeed);

    bool fits = start + need <= mBlockCount;
    for (int i = start; fits && i < start + need; ++i) {
        fits = !bitSet(i);
    }
    int newStart = start;
    if (!fits) {
        newStart = findRun(mFreeHint < 0 ? 0 : mFreeHint, need);
        if (newStart < 0) {
            set(start, 1, oldNeed);
            return false;
        }
    }
    // The contents are not moved: the engine may not touch this memory.
    set(newStart, 1, need);
    header->mStartBlock = newStart;
    return true;
}

void MemPool::blockFree(MemBlockHeader *header)
{
    set(header->mStartBlock, 0, static_cast<int>(blocksFor(header->mSize)));
    gGlobal->mMemPool->free(header, AURA_ALLOC_TAG, __LINE__);
}

void *MemSingleton::alloc(int size, const char *file, int line)
{
    std::lock_guard<std::mutex> lock(mLock);
    if (mRefCount == 0) {
        mMemory = gGlobal->mMemPool->alloc(size, file, line, 0, false);
    }
    // Counted even when the allocation failed: every alloc pairs with a free.
    ++mRefCount;
    return mMemory;
}

void MemSingleton::free(const char *file, int line)
{
    std::lock_guard<std::mutex> lock(mLock);
    if (mRefCount > 0) {
        --mRefCount;
        if (mRefCount > 0) {
            return;
        }
    }
    if (mMemory) {
        gGlobal->mMemPool->free(mMemory, file, line);
        mMemory = nullptr;
    }
}

int MemSingleton::getRefCount()
{
    std::lock_guard<std::mutex> lock(mLock);
    return mRefCount;
}

} // namespace AURA
