// Critical sections: recursive pthread mutexes, with an optional check of
// the lock order on every enter.
#include "os/aura_os.h"

#include "base/aura_memory.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <pthread.h>

struct AURA_OS_CRITICALSECTION {
    pthread_mutex_t mMutex;
    std::atomic<AURA_OS_LOCKRANK> mRank{AURA_OS_LOCKRANK::NONE};
    // The holder and its depth, so that a leave by a thread that does not
    // hold the section is refused before it reaches the mutex.
    std::atomic<unsigned int> mOwner{0};
    int mDepth = 0; // touched by the holder only
};

namespace {

constexpr const char AURA_ALLOC_TAG[] = "aura/src/os/aura_os_critsec";

bool initRecursive(pthread_mutex_t *mutex)
{
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) {
        return false;
    }
    const bool ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
                    pthread_mutex_init(mutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    return ok;
}

// The pool's own section: it cannot come from the pool, so it is one static
// object that lives for the whole process and is shared by every pool.
AURA_OS_CRITICALSECTION *memorySection()
{
    static AURA_OS_CRITICALSECTION *const section = [] {
        static AURA_OS_CRITICALSECTION storage;
        if (!initRecursive(&storage.mMutex)) {
            return static_cast<AURA_OS_CRITICALSECTION *>(nullptr);
        }
        storage.mRank.store(AURA_OS_LOCKRANK::MEMPOOL, std::memory_order_relaxed);
        return &storage;
    }();
    return section;
}

void defaultRankHandler(AURA_OS_LOCKRANK held, AURA_OS_LOCKRANK wanted)
{
    std::fprintf(stderr, "AURA lock order broken: rank %d entered while holding rank %d\n",
                 static_cast<int>(wanted), static_cast<int>(held));
    std::abort();
}

std::atomic<AURA_OS_LOCKRANK_HANDLER> gRankHandler{defaultRankHandler};

#ifdef AURA_LOCK_RANK_CHECK
// The ranked sections this thread holds, in the order it entered them.
struct HeldSection {
    AURA_OS_CRITICALSECTION *section;
    AURA_OS_LOCKRANK rank;
    int depth;
};
constexpr int MAX_HELD = 32;
thread_local HeldSection tHeld[MAX_HELD];
thread_local int tHeldCount = 0;

HeldSection *findHeld(AURA_OS_CRITICALSECTION *crit)
{
    for (int i = tHeldCount - 1; i >= 0; --i) {
        if (tHeld[i].section == crit) {
            return &tHeld[i];
        }
    }
    return nullptr;
}

void checkBeforeEnter(AURA_OS_CRITICALSECTION *crit, AURA_OS_LOCKRANK rank)
{
    if (rank == AURA_OS_LOCKRANK::NONE || findHeld(crit)) {
        return;
    }
    for (int i = 0; i < tHeldCount; ++i) {
        if (tHeld[i].rank > rank) {
            gRankHandler.load()(tHeld[i].rank, rank);
            return;
        }
    }
}

void noteEntered(AURA_OS_CRITICALSECTION *crit, AURA_OS_LOCKRANK rank)
{
    if (rank == AURA_OS_LOCKRANK::NONE) {
        return;
    }
    if (HeldSection *held = findHeld(crit)) {
        ++held->depth;
    } else if (tHeldCount < MAX_HELD) {
        tHeld[tHeldCount++] = {crit, rank, 1};
    }
}

void noteLeft(AURA_OS_CRITICALSECTION *crit)
{
    for (int i = tHeldCount - 1; i >= 0; --i) {
        if (tHeld[i].section == crit) {
            if (--tHeld[i].depth == 0) {
                for (int j = i + 1; j < tHeldCount; ++j) {
                    tHeld[j - 1] = tHeld[j];
                }
                --tHeldCount;
            }
            return;
        }
    }
}
#endif

unsigned int currentThread()
{
    unsigned int id = 0;
    (void)AURA_OS_Thread_GetCurrentID(&id);
    return id;
}

} // namespace

AURA_RESULT AURA_OS_CriticalSection_Create(AURA_OS_CRITICALSECTION **crit, bool memcrit)
{
    if (!crit) {
        return AURA_ERR_INVALID_PARAM;
    }
    *crit = nullptr;
    if (memcrit) {
        *crit = memorySection();
        return *crit ? AURA_OK : AURA_ERR_MEMORY;
    }
    void *mem = AURA_Memory_Calloc(static_cast<int>(sizeof(AURA_OS_CRITICALSECTION)));
    if (!mem) {
        return AURA_ERR_MEMORY;
    }
    auto *section = ::new (mem) AURA_OS_CRITICALSECTION;
    if (!initRecursive(&section->mMutex)) {
        section->~AURA_OS_CRITICALSECTION();
        AURA_Memory_Free(mem);
        return AURA_ERR_MEMORY;
    }
    *crit = section;
    return AURA_OK;
}

AURA_RESULT AURA_OS_CriticalSection_Free(AURA_OS_CRITICALSECTION *crit, bool memcrit)
{
    if (!crit) {
        return AURA_OK;
    }
    if (memcrit || crit == memorySection()) {
        return AURA_OK; // the static section outlives every pool
    }
    pthread_mutex_destroy(&crit->mMutex);
    crit->~AURA_OS_CRITICALSECTION();
    AURA_Memory_Free(crit);
    return AURA_OK;
}

AURA_RESULT AURA_OS_CriticalSection_Enter(AURA_OS_CRITICALSECTION *crit)
{
    if (!crit) {
        return AURA_ERR_INVALID_PARAM;
    }
#ifdef AURA_LOCK_RANK_CHECK
    const AURA_OS_LOCKRANK rank = crit->mRank.load(std::memory_order_relaxed);
    checkBeforeEnter(crit, rank);
#endif
    if (pthread_mutex_lock(&crit->mMutex) != 0) {
        return AURA_ERR_MEMORY;
    }
    if (crit->mDepth++ == 0) {
        crit->mOwner.store(currentThread(), std::memory_order_relaxed);
    }
#ifdef AURA_LOCK_RANK_CHECK
    noteEntered(crit, rank);
#endif
    return AURA_OK;
}

AURA_RESULT AURA_OS_CriticalSection_Leave(AURA_OS_CRITICALSECTION *crit)
{
    if (!crit) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (crit->mOwner.load(std::memory_order_relaxed) != currentThread() || crit->mDepth <= 0) {
        return AURA_ERR_MEMORY;
    }
#ifdef AURA_LOCK_RANK_CHECK
    noteLeft(crit);
#endif
    if (--crit->mDepth == 0) {
        crit->mOwner.store(0, std::memory_order_relaxed);
    }
    if (pthread_mutex_unlock(&crit->mMutex) != 0) {
        return AURA_ERR_MEMORY;
    }
    return AURA_OK;
}

AURA_RESULT AURA_OS_CriticalSection_SetRank(AURA_OS_CRITICALSECTION *crit, AURA_OS_LOCKRANK rank)
{
    if (!crit) {
        return AURA_ERR_INVALID_PARAM;
    }
    crit->mRank.store(rank, std::memory_order_relaxed);
    return AURA_OK;
}

AURA_OS_LOCKRANK_HANDLER AURA_OS_CriticalSection_SetRankHandler(AURA_OS_LOCKRANK_HANDLER handler)
{
    return gRankHandler.exchange(handler ? handler : defaultRankHandler);
}

bool AURA_OS_CriticalSection_RankCheckEnabled()
{
#ifdef AURA_LOCK_RANK_CHECK
    return true;
#else
    return false;
#endif
}
