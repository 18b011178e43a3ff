// The engine's named threads: each calls its entry every time it is woken
// (semaphore threads), every period, or over and over (period 0, no
// semaphore: the entry paces itself), until it is closed.
#ifndef AURA_THREAD_H
#define AURA_THREAD_H

#include "aura.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <pthread.h>

namespace AURA {


class Thread {
public:
    // Scheduling hint. Linux gives unprivileged processes no real-time
    // classes, so every priority runs in the normal class.
    enum PRIORITY {
        PRIORITY_LOW = 0,
        PRIORITY_NORMAL = 1,
        PRIORITY_HIGH = 2,
        PRIORITY_CRITICAL = 3,
    };

    static constexpr int MIN_STACK_SIZE = 256 * 1024;
    static constexpr int NAME_LENGTH = 256;      // the full name kept here
    static constexpr int OS_NAME_LENGTH = 15;    // what Linux keeps of it

    Thread() = default;
    ~Thread();
    Thread(const Thread &) = delete;
    Thread &operator=(const Thread &) = delete;

    // Starts the thread. The stack is at least MIN_STACK_SIZE bytes; caller
    // memory is used as the stack only when it is that large. 37 for a null
    // entry, 32 when already running, 44 when the OS refuses the thread.
    [[nodiscard]] AURA_RESULT initThread(const char *name, void (*func)(void *), void *param,
                                         PRIORITY priority, void *stack, int stacksize,
                                         bool usesemaphore, int sleepperiod, void *system);
    // Stops the thread after its current call and joins it. 0 when it was
    // not running; 37 when called from the thread itself (it cannot join
    // itself; it stops after the current call and is joined by the owner).
    AURA_RESULT closeThread();
    // Lets a semaphore thread run its entry once more (one call per wake-up);
    // a periodic thread runs at once instead of at the end of its period.
    AURA_RESULT wakeupThread();

    [[nodiscard]] bool isRunning() const { return mRunning.load(std::memory_order_acquire); }
    [[nodiscard]] const char *getName() const { return mName; }
    [[nodiscard]] void *getSystem() const { return mSystem; }
    // The OS id of the running thread (0 before it has started).
    [[nodiscard]] unsigned int getThreadID() const { return mThreadId.load(); }

private:
    static void *threadMain(void *arg);
    void run();

    char mName[NAME_LENGTH] = {};
    void (*mFunc)(void *) = nullptr;
    void *mParam = nullptr;
    void *mSystem = nullptr; // the owning system, if any
    PRIORITY mPriority = PRIORITY_NORMAL;
    bool mUseSemaphore = false;
    int mSleepPeriod = 0;

    pthread_t mHandle{};
    std::atomic<bool> mRunning{false};
    std::atomic<unsigned int> mThreadId{0};

    std::mutex mWakeLock;
    std::condition_variable mWake;
    unsigned int mWakeCount = 0; // guarded by mWakeLock
    bool mStop = false;          // guarded by mWakeLock
};

} // namespace AURA

#endif // AURA_THREAD_H
