#include "os/aura_thread.h"

#include "base/aura_memory.h"
#include "os/aura_os.h"

#include <chrono>
#include <cstring>

namespace AURA {

Thread::~Thread()
{
    (void)closeThread();
}

AURA_RESULT Thread::initThread(const char *name, void (*func)(void *), void *param,
                               PRIORITY priority, void *stack, int stacksize, bool usesemaphore,
                               int sleepperiod, void *system)
{
    if (!func || sleepperiod < 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mRunning.load(std::memory_order_acquire)) {
        return AURA_ERR_INITIALIZED;
    }
    std::strncpy(mName, name ? name : "AURA thread", NAME_LENGTH - 1);
    mName[NAME_LENGTH - 1] = '\0';
    mFunc = func;
    mParam = param;
    mPriority = priority;
    mSystem = system;
    mUseSemaphore = usesemaphore;
    mSleepPeriod = sleepperiod;
    {
        std::lock_guard<std::mutex> lock(mWakeLock);
        mWakeCount = 0;
        mStop = false;
    }
    mThreadId.store(0);

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        return AURA_ERR_MEMORY;
    }
    // The engine's threads run decoders and DSP chains: small stacks given
    // for other platforms are raised to a size that is safe here.
    bool ok = true;
    if (stack && stacksize >= MIN_STACK_SIZE &&
        (reinterpret_cast<std::uintptr_t>(stack) % 16) == 0) {
        ok = pthread_attr_setstack(&attr, stack, static_cast<std::size_t>(stacksize)) == 0;
    } else {
        const int size = stacksize > MIN_STACK_SIZE ? stacksize : MIN_STACK_SIZE;
        ok = pthread_attr_setstacksize(&attr, static_cast<std::size_t>(size)) == 0;
    }
    mRunning.store(true, std::memory_order_release);
    if (!ok || pthread_create(&mHandle, &attr, &Thread::threadMain, this) != 0) {
        mRunning.store(false, std::memory_order_release);
        pthread_attr_destroy(&attr);
        return AURA_ERR_MEMORY;
    }
    pthread_attr_destroy(&attr);
    return AURA_OK;
}

void *Thread::threadMain(void *arg)
{
    static_cast<Thread *>(arg)->run();
    return nullptr;
}

void Thread::run()
{
    char osName[OS_NAME_LENGTH + 1];
    std::memcpy(osName, mName, OS_NAME_LENGTH);
    osName[OS_NAME_LENGTH] = '\0';
    pthread_setname_np(pthread_self(), osName);

    unsigned int id = 0;
    (void)AURA_OS_Thread_GetCurrentID(&id);
    mThreadId.store(id);

    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mWakeLock);
            if (mUseSemaphore) {
                mWake.wait(lock, [this] { return mStop || mWakeCount > 0; });
                if (mStop) {
                    break;
                }
                --mWakeCount;
            } else if (mSleepPeriod > 0) {
                mWake.wait_for(lock, std::chrono::milliseconds(mSleepPeriod),
                               [this] { return mStop || mWakeCount > 0; });
                if (mStop) {
                    break;
                }
                mWakeCount = 0;
            } else if (mStop) {
                break;
            }
        }
        mFunc(mParam);
    }

    // The thread's counter slot in the pool is free for another thread.
    gGlobal->mMemPool->releaseThreadSlot(id);
}

AURA_RESULT Thread::closeThread()
{
    if (!mRunning.load(std::memory_order_acquire)) {
        return AURA_OK;
    }
    {
        std::lock_guard<std::mutex> lock(mWakeLock);
        mStop = true;
    }
    mWake.notify_all();
    if (pthread_equal(mHandle, pthread_self())) {
        return AURA_ERR_INVALID_PARAM;
    }
    pthread_join(mHandle, nullptr);
    mRunning.store(false, std::memory_order_release);
    return AURA_OK;
}

AURA_RESULT Thread::wakeupThread()
{
    if (!mRunning.load(std::memory_order_acquire)) {
        return AURA_ERR_UNINITIALIZED;
    }
    {
        std::lock_guard<std::mutex> lock(mWakeLock);
        ++mWakeCount;
    }
    mWake.notify_one();
    return AURA_OK;
}

} // namespace AURA
