// Critical sections: recursion, ownership, pool storage and the lock order.
#include "base/aura_globals.h"
#include "base/aura_memory.h"
#include "os/aura_os.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

TEST(CriticalSection, RejectsNullArguments)
{
    EXPECT_EQ(AURA_OS_CriticalSection_Create(nullptr, false), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(AURA_OS_CriticalSection_Enter(nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(AURA_OS_CriticalSection_Leave(nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(AURA_OS_CriticalSection_SetRank(nullptr, AURA_OS_LOCKRANK::DSP),
              AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(AURA_OS_CriticalSection_Free(nullptr, false), AURA_OK);
}

TEST(CriticalSection, StorageComesFromThePoolAndGoesBack)
{
    AURA::MemPool *pool = AURA::gGlobal->mMemPool;
    const auto before = pool->getStats().currentBytes[0];
    AURA_OS_CRITICALSECTION *crit = nullptr;
    ASSERT_EQ(AURA_OS_CriticalSection_Create(&crit, false), AURA_OK);
    ASSERT_NE(crit, nullptr);
    EXPECT_GT(pool->getStats().currentBytes[0], before);
    EXPECT_EQ(AURA_OS_CriticalSection_Free(crit, false), AURA_OK);
    EXPECT_EQ(pool->getStats().currentBytes[0], before);

    pool->failAfter(1);
    crit = reinterpret_cast<AURA_OS_CRITICALSECTION *>(0x1);
    EXPECT_EQ(AURA_OS_CriticalSection_Create(&crit, false), AURA_ERR_MEMORY);
    EXPECT_EQ(crit, nullptr);
}

TEST(CriticalSection, TheMemoryFlavourIsOneStaticSectionThatOutlivesFree)
{
    AURA_OS_CRITICALSECTION *a = nullptr;
    AURA_OS_CRITICALSECTION *b = nullptr;
    ASSERT_EQ(AURA_OS_CriticalSection_Create(&a, true), AURA_OK);
    ASSERT_EQ(AURA_OS_CriticalSection_Create(&b, true), AURA_OK);
    EXPECT_EQ(a, b);
    EXPECT_EQ(AURA_OS_CriticalSection_Free(a, true), AURA_OK);
    EXPECT_EQ(AURA_OS_CriticalSection_Enter(b), AURA_OK);
    EXPECT_EQ(AURA_OS_CriticalSection_Leave(b), AURA_OK);
}

TEST(CriticalSectionThreads, IsRecursiveAndHeldUntilTheLastLeave)
{
    AURA_OS_CRITICALSECTION *crit = nullptr;
    ASSERT_EQ(AURA_OS_CriticalSection_Create(&crit, false), AURA_OK);
    ASSERT_EQ(AURA_OS_CriticalSection_Enter(crit), AURA_OK);
    ASSERT_EQ(AURA_OS_CriticalSection_Enter(crit), AURA_OK);
    ASSERT_EQ(AURA_OS_CriticalSection_Enter(crit), AURA_OK);

    std::atomic<bool> entered{false};
    std::atomic<int> strangerLeave{-1};
    std::thread other([&] {
        // Not the owner: leaving must fail and change nothing.
        strangerLeave = AURA_OS_CriticalSection_Leave(crit);
        (void)AURA_OS_CriticalSection_Enter(crit);
        entered = true;
        (void)AURA_OS_CriticalSection_Leave(crit);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(entered.load());
    ASSERT_EQ(AURA_OS_CriticalSection_Leave(crit), AURA_OK);
    ASSERT_EQ(AURA_OS_CriticalSection_Leave(crit), AURA_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(entered.load()) << "released before the last leave";
    ASSERT_EQ(AURA_OS_CriticalSection_Leave(crit), AURA_OK);
    other.join();
    EXPECT_TRUE(entered.load());
    EXPECT_EQ(strangerLeave.load(), AURA_ERR_MEMORY);
    EXPECT_EQ(AURA_OS_CriticalSection_Free(crit, false), AURA_OK);
}

TEST(CriticalSectionThreads, GuardsSharedCounters)
{
    AURA_OS_CRITICALSECTION *crit = nullptr;
    ASSERT_EQ(AURA_OS_CriticalSection_Create(&crit, false), AURA_OK);
    long counter = 0; // plain on purpose: only the section protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                AURA::CriticalSectionGuard guard(crit);
                AURA::CriticalSectionGuard again(crit);
                ++counter;
            }
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    EXPECT_EQ(counter, 80000);
    EXPECT_EQ(AURA_OS_CriticalSection_Free(crit, false), AURA_OK);
}

struct RankLog {
    int calls = 0;
    AURA_OS_LOCKRANK held = AURA_OS_LOCKRANK::NONE;
    AURA_OS_LOCKRANK wanted = AURA_OS_LOCKRANK::NONE;
};
thread_local RankLog tRankLog;

void recordRank(AURA_OS_LOCKRANK held, AURA_OS_LOCKRANK wanted)
{
    ++tRankLog.calls;
    tRankLog.held = held;
    tRankLog.wanted = wanted;
}

class LockRank : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!AURA_OS_CriticalSection_RankCheckEnabled()) {
            GTEST_SKIP() << "this build does not check the lock order";
        }
        tRankLog = RankLog{};
        previous = AURA_OS_CriticalSection_SetRankHandler(recordRank);
        for (auto *c : {&dsp, &connection, &streamUpdate, &streamVoice, &unranked}) {
            ASSERT_EQ(AURA_OS_CriticalSection_Create(c, false), AURA_OK);
        }
        ASSERT_EQ(AURA_OS_CriticalSection_SetRank(dsp, AURA_OS_LOCKRANK::DSP), AURA_OK);
        ASSERT_EQ(AURA_OS_CriticalSection_SetRank(connection, AURA_OS_LOCKRANK::DSP_CONNECTION),
                  AURA_OK);
        ASSERT_EQ(AURA_OS_CriticalSection_SetRank(streamUpdate, AURA_OS_LOCKRANK::STREAM_UPDATE),
                  AURA_OK);
        ASSERT_EQ(AURA_OS_CriticalSection_SetRank(streamVoice, AURA_OS_LOCKRANK::STREAM_VOICE),
                  AURA_OK);
    }
    void TearDown() override
    {
        if (!AURA_OS_CriticalSection_RankCheckEnabled()) {
            return;
        }
        AURA_OS_CriticalSection_SetRankHandler(previous);
        for (auto *c : {dsp, connection, streamUpdate, streamVoice, unranked}) {
            (void)AURA_OS_CriticalSection_Free(c, false);
        }
    }

    AURA_OS_LOCKRANK_HANDLER previous = nullptr;
    AURA_OS_CRITICALSECTION *dsp = nullptr;
    AURA_OS_CRITICALSECTION *connection = nullptr;
    AURA_OS_CRITICALSECTION *streamUpdate = nullptr;
    AURA_OS_CRITICALSECTION *streamVoice = nullptr;
    AURA_OS_CRITICALSECTION *unranked = nullptr;
};

TEST_F(LockRank, InOrderAcquiresAndReentryPass)
{
    {
        AURA::CriticalSectionGuard a(streamUpdate);
        AURA::CriticalSectionGuard b(streamVoice);
        AURA::CriticalSectionGuard c(dsp);
        AURA::CriticalSectionGuard d(connection);
        AURA::CriticalSectionGuard e(dsp);          // already held: re-entry is fine
        AURA::CriticalSectionGuard f(unranked);     // unranked sections are not checked
        AURA::CriticalSectionGuard g(streamUpdate); // already held
    }
    EXPECT_EQ(tRankLog.calls, 0);
    // After leaving everything the order starts afresh.
    AURA::CriticalSectionGuard a(connection);
    EXPECT_EQ(tRankLog.calls, 0);
}

TEST_F(LockRank, OutOfOrderAcquireIsCaught)
{
    {
        AURA::CriticalSectionGuard a(connection);
        AURA::CriticalSectionGuard b(dsp);
    }
    EXPECT_EQ(tRankLog.calls, 1);
    EXPECT_EQ(tRankLog.held, AURA_OS_LOCKRANK::DSP_CONNECTION);
    EXPECT_EQ(tRankLog.wanted, AURA_OS_LOCKRANK::DSP);

    {
        AURA::CriticalSectionGuard a(streamVoice);
        AURA::CriticalSectionGuard b(streamUpdate);
    }
    EXPECT_EQ(tRankLog.calls, 2);
    EXPECT_EQ(tRankLog.wanted, AURA_OS_LOCKRANK::STREAM_UPDATE);
}

TEST_F(LockRank, NothingIsLockedUnderThePoolsSection)
{
    AURA_OS_CRITICALSECTION *memcrit = nullptr;
    ASSERT_EQ(AURA_OS_CriticalSection_Create(&memcrit, true), AURA_OK);
    {
        AURA::CriticalSectionGuard a(memcrit);
        AURA::CriticalSectionGuard b(dsp);
    }
    EXPECT_EQ(tRankLog.calls, 1);
    EXPECT_EQ(tRankLog.held, AURA_OS_LOCKRANK::MEMPOOL);
    // Allocating under a ranked section takes the pool's section last: fine.
    {
        AURA::CriticalSectionGuard a(connection);
        void *p = AURA::gGlobal->mMemPool->alloc(16, "aura/tests/test_os_critsec", __LINE__);
        AURA::gGlobal->mMemPool->free(p, "aura/tests/test_os_critsec", __LINE__);
    }
    EXPECT_EQ(tRankLog.calls, 1);
}

TEST(LockRankDefault, BrokenOrderAbortsByDefault)
{
    if (!AURA_OS_CriticalSection_RankCheckEnabled()) {
        GTEST_SKIP() << "this build does not check the lock order";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            AURA_OS_CRITICALSECTION *low = nullptr;
            AURA_OS_CRITICALSECTION *high = nullptr;
            (void)AURA_OS_CriticalSection_Create(&low, false);
            (void)AURA_OS_CriticalSection_Create(&high, false);
            (void)AURA_OS_CriticalSection_SetRank(low, AURA_OS_LOCKRANK::STREAM_UPDATE);
            (void)AURA_OS_CriticalSection_SetRank(high, AURA_OS_LOCKRANK::STREAM_LIST);
            (void)AURA_OS_CriticalSection_Enter(high);
            (void)AURA_OS_CriticalSection_Enter(low);
        },
        "lock order broken");
}

} // namespace
