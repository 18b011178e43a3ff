// The engine's named threads.
#include "base/aura_globals.h"
#include "base/aura_memory.h"
#include "os/aura_os.h"
#include "os/aura_thread.h"
#include "threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <pthread.h>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

using auratest::taskExists;
using auratest::taskName;
using auratest::waitFor;

struct Probe {
    std::atomic<int> calls{0};
    std::atomic<size_t> stackSize{0};
    std::atomic<bool> allocate{false};
};

void probeEntry(void *arg)
{
    auto *probe = static_cast<Probe *>(arg);
    if (probe->calls.load() == 0) {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            size_t size = 0;
            pthread_attr_getstacksize(&attr, &size);
            probe->stackSize = size;
            pthread_attr_destroy(&attr);
        }
        if (probe->allocate.load()) {
            // Leaves one block counted against this thread's slot.
            void *p = AURA::gGlobal->mMemPool->alloc(1, "aura/tests/test_thread", __LINE__);
            AURA::gGlobal->mMemPool->free(p, "aura/tests/test_thread", __LINE__);
        }
    }
    probe->calls.fetch_add(1);
}

TEST(AuraThreadThreads, CarriesItsNameAndALargeStack)
{
    Probe probe;
    AURA::Thread thread;
    ASSERT_EQ(thread.initThread("AURA thread for AURA_NONBLOCKING", probeEntry, &probe,
                                AURA::Thread::PRIORITY_NORMAL, nullptr, 0xC000, true, 0, nullptr),
              AURA_OK);
    ASSERT_TRUE(waitFor([&] { return thread.getThreadID() != 0; }));
    EXPECT_STREQ(thread.getName(), "AURA thread for AURA_NONBLOCKING");
    EXPECT_EQ(taskName(thread.getThreadID()), "AURA thread for");

    ASSERT_EQ(thread.wakeupThread(), AURA_OK);
    ASSERT_TRUE(waitFor([&] { return probe.calls.load() == 1; }));
    EXPECT_GE(probe.stackSize.load(), static_cast<size_t>(256 * 1024));
    EXPECT_EQ(thread.closeThread(), AURA_OK);
}

TEST(AuraThreadThreads, SemaphoreThreadRunsOncePerWakeup)
{
    Probe probe;
    AURA::Thread thread;
    ASSERT_EQ(thread.initThread("AURA sem", probeEntry, &probe, AURA::Thread::PRIORITY_LOW,
                                nullptr, 0, true, 0, nullptr),
              AURA_OK);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(probe.calls.load(), 0) << "ran without being woken";
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(thread.wakeupThread(), AURA_OK);
    }
    ASSERT_TRUE(waitFor([&] { return probe.calls.load() == 5; }));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(probe.calls.load(), 5);
    EXPECT_EQ(thread.closeThread(), AURA_OK);
    EXPECT_EQ(thread.wakeupThread(), AURA_ERR_UNINITIALIZED);
}

TEST(AuraThreadThreads, PeriodicThreadRunsEachPeriodUntilClosed)
{
    Probe probe;
    AURA::Thread thread;
    ASSERT_EQ(thread.initThread("AURA file thread", probeEntry, &probe,
                                AURA::Thread::PRIORITY_NORMAL, nullptr, 8192, false, 10, nullptr),
              AURA_OK);
    EXPECT_EQ(thread.initThread("again", probeEntry, &probe, AURA::Thread::PRIORITY_NORMAL,
                                nullptr, 0, false, 10, nullptr),
              AURA_ERR_INITIALIZED);
    ASSERT_TRUE(waitFor([&] { return probe.calls.load() >= 3; }));
    const unsigned int tid = thread.getThreadID();
    ASSERT_NE(tid, 0u);
    EXPECT_TRUE(taskExists(tid));
    EXPECT_GE(probe.stackSize.load(), static_cast<size_t>(256 * 1024));

    EXPECT_EQ(thread.closeThread(), AURA_OK);
    EXPECT_FALSE(thread.isRunning());
    // The join returns once the thread has run its last instruction; the
    // kernel drops its task entry a moment later.
    EXPECT_TRUE(waitFor([&] { return !taskExists(tid); })) << "the thread is still running after close";
    const int calls = probe.calls.load();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(probe.calls.load(), calls);
    EXPECT_EQ(thread.closeThread(), AURA_OK); // closing twice is harmless
}

TEST(AuraThreadThreads, EndingThreadGivesUpItsPoolSlot)
{
    Probe probe;
    probe.allocate = true;
    AURA::Thread thread;
    ASSERT_EQ(thread.initThread("AURA slot", probeEntry, &probe, AURA::Thread::PRIORITY_NORMAL,
                                nullptr, 0, true, 0, nullptr),
              AURA_OK);
    ASSERT_EQ(thread.wakeupThread(), AURA_OK);
    ASSERT_TRUE(waitFor([&] { return probe.calls.load() == 1; }));
    const unsigned int tid = thread.getThreadID();
    auto holdsSlot = [&] {
        const auto stats = AURA::gGlobal->mMemPool->getStats();
        for (int slot = 1; slot < AURA::MemPool::THREAD_SLOTS; ++slot) {
            if (stats.threadIds[slot] == tid) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(holdsSlot());
    ASSERT_EQ(thread.closeThread(), AURA_OK);
    EXPECT_FALSE(holdsSlot());
}

TEST(AuraThreadThreads, ClosingFromTheThreadItselfDoesNotDeadlock)
{
    struct Self {
        AURA::Thread thread;
        std::atomic<int> result{-1};
    } self;
    auto entry = [](void *arg) {
        auto *s = static_cast<Self *>(arg);
        s->result = s->thread.closeThread();
    };
    ASSERT_EQ(self.thread.initThread("AURA self", entry, &self, AURA::Thread::PRIORITY_NORMAL,
                                     nullptr, 0, false, 5, nullptr),
              AURA_OK);
    ASSERT_TRUE(waitFor([&] { return self.result.load() != -1; }));
    EXPECT_EQ(self.result.load(), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(self.thread.closeThread(), AURA_OK); // the owner joins it
    EXPECT_FALSE(self.thread.isRunning());
}

TEST(AuraThread, RejectsBadArguments)
{
    AURA::Thread thread;
    EXPECT_EQ(thread.initThread("x", nullptr, nullptr, AURA::Thread::PRIORITY_NORMAL, nullptr, 0,
                                true, 0, nullptr),
              AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(thread.wakeupThread(), AURA_ERR_UNINITIALIZED);
    EXPECT_EQ(thread.closeThread(), AURA_OK);
}

} // namespace
