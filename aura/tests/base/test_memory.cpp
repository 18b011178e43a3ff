// The memory pool's counters, failure reporting and the global record.
#include "base/aura_globals.h"
#include "base/aura_memory.h"
#include "base/aura_memorytracker.h"
#include "dsp/units/aura_dsp_fft.h"
#include "os/aura_os.h"
#include "engine.h"

#include <gtest/gtest.h>

#include <barrier>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char kTag[] = "aura/tests/test_memory";

// What the global system callback heard.
struct CallbackLog {
    int calls = 0;
    AURA_SYSTEM_CALLBACKTYPE type{};
    std::string text;
    intptr_t size = 0;
    AURA_SYSTEM *system = reinterpret_cast<AURA_SYSTEM *>(1);
};
CallbackLog gLog;

AURA_RESULT recordCallback(AURA_SYSTEM *system, AURA_SYSTEM_CALLBACKTYPE type, void *data1,
                           void *data2)
{
    ++gLog.calls;
    gLog.system = system;
    gLog.type = type;
    gLog.text = static_cast<const char *>(data1);
    gLog.size = reinterpret_cast<intptr_t>(data2);
    return AURA_OK;
}

class MemPoolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        gLog = CallbackLog{};
        AURA::gGlobal->mSystemCallback.store(recordCallback);
    }
    void TearDown() override
    {
        AURA::gGlobal->mSystemCallback.store(nullptr);
        AURA::gGlobal->mMemoryTypeMask.store(0xFFFFFFFFu);
    }

    AURA::MemPool pool;
};

using MemPool = MemPoolTest;
using MemPoolThreads = MemPoolTest;

TEST_F(MemPool, ZeroSizeGivesDistinctValidPointersCountedAsNothing)
{
    void *a = pool.alloc(0, kTag, __LINE__);
    void *b = pool.alloc(0, kTag, __LINE__);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    const auto stats = pool.getStats();
    EXPECT_EQ(stats.currentBytes[0], 0);
    EXPECT_EQ(stats.blocksInUse, 0);
    pool.free(a, kTag, __LINE__);
    pool.free(b, kTag, __LINE__);
    EXPECT_EQ(gLog.calls, 0);
}

TEST_F(MemPool, CountsBytesAndWholeBlocksWithPeaks)
{
    void *one = pool.alloc(1, kTag, __LINE__);
    void *full = pool.alloc(256, kTag, __LINE__);
    void *over = pool.alloc(257, kTag, __LINE__);
    auto stats = pool.getStats();
    EXPECT_EQ(stats.blockSize, 256);
    EXPECT_EQ(stats.currentBytes[0], 1 + 256 + 257);
    EXPECT_EQ(stats.blocksInUse, 1 + 1 + 2);
    EXPECT_EQ(stats.peakBlocks, 4);
    EXPECT_EQ(stats.peakBlockBytes, 4 * 256);
    EXPECT_EQ(stats.peakBytes, 514);
    // The overhead is taken when the block peak rises: 1024 - 514.
    EXPECT_EQ(stats.peakOverhead, 1024 - 514);

    pool.free(over, kTag, __LINE__);
    pool.free(one, kTag, __LINE__);
    stats = pool.getStats();
    EXPECT_EQ(stats.currentBytes[0], 256);
    EXPECT_EQ(stats.blocksInUse, 1);
    EXPECT_EQ(stats.peakBytes, 514);
    EXPECT_EQ(stats.peakBlocks, 4);
    pool.free(full, kTag, __LINE__);
    stats = pool.getStats();
    EXPECT_EQ(stats.currentBytes[0], 0);
    EXPECT_EQ(stats.blocksInUse, 0);
}

TEST_F(MemPool, CallocClearsAndMemoryIsAlignedAndUsable)
{
    std::vector<unsigned char *> blocks;
    for (int size : {1, 15, 16, 17, 255, 4096, 100000}) {
        auto *p = static_cast<unsigned char *>(pool.calloc(size, kTag, __LINE__));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        for (int i = 0; i < size; ++i) {
            ASSERT_EQ(p[i], 0) << "size " << size << " byte " << i;
        }
        std::memset(p, 0xA5, static_cast<size_t>(size));
        blocks.push_back(p);
    }
    for (auto *p : blocks) {
        pool.free(p, kTag, __LINE__);
    }
    EXPECT_EQ(pool.getStats().currentBytes[0], 0);
}

TEST_F(MemPool, FlaggedTypeIsCountedApart)
{
    void *flagged = pool.alloc(1000, kTag, __LINE__, AURA::MEMORY_TYPE_FLAGGED);
    void *plain = pool.alloc(100, kTag, __LINE__);
    auto stats = pool.getStats();
    EXPECT_EQ(stats.flaggedBytes, 1000);
    EXPECT_EQ(stats.peakFlaggedBytes, 1000);
    EXPECT_EQ(stats.currentBytes[0], 100);
    EXPECT_EQ(stats.blocksInUse, 4 + 1);
    pool.free(flagged, kTag, __LINE__);
    stats = pool.getStats();
    EXPECT_EQ(stats.flaggedBytes, 0);
    EXPECT_EQ(stats.peakFlaggedBytes, 1000);
    EXPECT_EQ(stats.currentBytes[0], 100);

    // The global type mask applies before the pool looks at the type.
    AURA::gGlobal->mMemoryTypeMask.store(~AURA::MEMORY_TYPE_FLAGGED);
    void *masked = pool.alloc(50, kTag, __LINE__, AURA::MEMORY_TYPE_FLAGGED);
    EXPECT_EQ(pool.getStats().flaggedBytes, 0);
    EXPECT_EQ(pool.getStats().currentBytes[0], 150);
    pool.free(masked, kTag, __LINE__);
    pool.free(plain, kTag, __LINE__);
}

TEST_F(MemPool, ReallocMovesCountersAndKeepsContents)
{
    auto *p = static_cast<unsigned char *>(pool.realloc(nullptr, 100, kTag, __LINE__));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 100; ++i) {
        p[i] = static_cast<unsigned char>(i);
    }
    auto *q = static_cast<unsigned char *>(pool.realloc(p, 300, kTag, __LINE__));
    ASSERT_NE(q, nullptr);
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(q[i], i);
    }
    auto stats = pool.getStats();
    EXPECT_EQ(stats.currentBytes[0], 300);
    EXPECT_EQ(stats.blocksInUse, 2);
    q = static_cast<unsigned char *>(pool.realloc(q, 10, kTag, __LINE__));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q[9], 9);
    stats = pool.getStats();
    EXPECT_EQ(stats.currentBytes[0], 10);
    EXPECT_EQ(stats.blocksInUse, 1);
    pool.free(q, kTag, __LINE__);
}

TEST_F(MemPool, NegativeAndOversizedRequestsFailWithTheCallback)
{
    EXPECT_EQ(pool.alloc(-1, "aura/src/aura_codec_wav", 321), nullptr);
    EXPECT_EQ(gLog.calls, 1);
    EXPECT_EQ(gLog.system, nullptr);
    EXPECT_EQ(gLog.type, AURA_SYSTEM_CALLBACKTYPE_MEMORYALLOCATIONFAILED);
    EXPECT_EQ(gLog.text, "aura/src/aura_codec_wav (321)");
    EXPECT_EQ(gLog.size, -1);

    EXPECT_EQ(pool.alloc(INT32_MIN, kTag, 1), nullptr);
    EXPECT_EQ(pool.alloc(0x7FFFFFFF, kTag, 2), nullptr);
    EXPECT_EQ(pool.alloc(AURA::MemPool::MAX_SIZE + 1, kTag, 3), nullptr);
    EXPECT_EQ(gLog.calls, 4);

    void *p = pool.alloc(64, kTag, __LINE__);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(pool.realloc(p, -5, kTag, 4), nullptr);
    EXPECT_EQ(gLog.calls, 5);
    const auto stats = pool.getStats();
    EXPECT_EQ(stats.currentBytes[0], 64);
    EXPECT_EQ(stats.blocksInUse, 1);
    pool.free(p, kTag, __LINE__);
}

TEST_F(MemPool, FreeingNullDoesNothing)
{
    void *p = pool.alloc(32, kTag, __LINE__);
    pool.free(nullptr, kTag, __LINE__);
    EXPECT_EQ(pool.getStats().currentBytes[0], 32);
    pool.free(p, kTag, __LINE__);
    EXPECT_EQ(pool.getStats().currentBytes[0], 0);
}

TEST_F(MemPool, InjectedFailureReachesTheCallbackAndSparesOtherCalls)
{
    pool.failAfter(3);
    void *a = pool.alloc(10, kTag, 100);
    void *b = pool.alloc(10, kTag, 101);
    void *c = pool.alloc(10, "aura/src/aura_file", 777);
    void *d = pool.alloc(10, kTag, 103);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(c, nullptr);
    EXPECT_NE(d, nullptr);
    EXPECT_EQ(gLog.calls, 1);
    EXPECT_EQ(gLog.type, AURA_SYSTEM_CALLBACKTYPE_MEMORYALLOCATIONFAILED);
    EXPECT_EQ(gLog.text, "aura/src/aura_file (777)");
    EXPECT_EQ(gLog.size, 10);
    EXPECT_EQ(pool.getStats().currentBytes[0], 30);
    for (void *p : {a, b, d}) {
        pool.free(p, kTag, __LINE__);
    }
}

TEST_F(MemPool, FailedReallocLeavesTheOldBlockCounted)
{
    auto *p = static_cast<unsigned char *>(pool.alloc(300, kTag, __LINE__));
    ASSERT_NE(p, nullptr);
    std::memset(p, 0x5A, 300);
    const auto before = pool.getStats();

    pool.failAfter(1);
    EXPECT_EQ(pool.realloc(p, 5000, kTag, 55), nullptr);
    EXPECT_EQ(gLog.calls, 1);
    EXPECT_EQ(gLog.text, std::string(kTag) + " (55)");
    const auto after = pool.getStats();
    EXPECT_EQ(after.currentBytes, before.currentBytes);
    EXPECT_EQ(after.blocksInUse, before.blocksInUse);
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(p[i], 0x5A);
    }
    pool.free(p, kTag, __LINE__);
    EXPECT_EQ(pool.getStats().currentBytes[0], 0);
    EXPECT_EQ(pool.getStats().blocksInUse, 0);
}

TEST_F(MemPool, HeapModeServesFromTheCallersBlockAndRecoversFromExhaustion)
{
    alignas(16) static unsigned char block[64 * 1024];
    ASSERT_EQ(pool.initMspace(block, sizeof(block)), AURA_OK);
    auto *p = static_cast<unsigned char *>(pool.alloc(1000, kTag, __LINE__));
    ASSERT_NE(p, nullptr);
    EXPECT_GE(p, block);
    EXPECT_LT(p + 1000, block + sizeof(block));
    std::memset(p, 0x33, 1000);
    const auto before = pool.getStats();

    // Larger than the whole block: the heap itself refuses.
    EXPECT_EQ(pool.realloc(p, 128 * 1024, kTag, 9), nullptr);
    EXPECT_EQ(gLog.calls, 1);
    const auto after = pool.getStats();
    EXPECT_EQ(after.currentBytes, before.currentBytes);
    EXPECT_EQ(after.blocksInUse, before.blocksInUse);
    EXPECT_EQ(p[999], 0x33);

    EXPECT_EQ(pool.alloc(128 * 1024, kTag, 10), nullptr);
    EXPECT_EQ(gLog.calls, 2);
    // A pool that holds memory cannot change its source.
    EXPECT_EQ(pool.initMspace(block, sizeof(block)), AURA_ERR_INITIALIZED);
    pool.free(p, kTag, __LINE__);
    EXPECT_EQ(pool.getStats().currentBytes[0], 0);
    pool.close();
    void *q = pool.alloc(10, kTag, __LINE__); // back to the C library after close
    ASSERT_NE(q, nullptr);
    EXPECT_TRUE(q < static_cast<void *>(block) || q >= static_cast<void *>(block + sizeof(block)));
    pool.free(q, kTag, __LINE__);
}

TEST_F(MemPool, CallerCallbacksSeeTheMaskedType)
{
    static unsigned int seenType;
    static int allocs;
    static int frees;
    seenType = 0;
    allocs = 0;
    frees = 0;
    auto allocCb = [](unsigned int size, unsigned int type) -> void * {
        seenType = type;
        ++allocs;
        return std::malloc(size);
    };
    auto reallocCb = [](void *ptr, unsigned int size, unsigned int type) -> void * {
        seenType = type;
        return std::realloc(ptr, size);
    };
    auto freeCb = [](void *ptr, unsigned int) {
        ++frees;
        std::free(ptr);
    };
    EXPECT_EQ(pool.setCallbacks(allocCb, nullptr, freeCb), AURA_ERR_INVALID_PARAM);
    ASSERT_EQ(pool.setCallbacks(allocCb, reallocCb, freeCb), AURA_OK);
    AURA::gGlobal->mMemoryTypeMask.store(0x0000FFFFu);
    void *p = pool.alloc(8, kTag, __LINE__, 0x00120034u);
    EXPECT_EQ(seenType, 0x34u);
    EXPECT_EQ(allocs, 1);
    pool.free(p, kTag, __LINE__);
    EXPECT_EQ(frees, 1);
    ASSERT_EQ(pool.setCallbacks(nullptr, nullptr, nullptr), AURA_OK);
}

TEST(MemoryTracker, CountsSingleBitCategoriesOnly)
{
    AURA::MemoryTracker tracker;
    tracker.add(false, AURA::MEMBITS_CODEC, 100);
    tracker.add(false, AURA::MEMBITS_CODEC, 28);
    tracker.add(false, AURA::MEMBITS_DSPUNIT, 1000);
    tracker.add(false, AURA::MEMBITS_GEOMETRY, 360);
    tracker.add(false, 0x80 | 0x100, 5000); // no counter: ignored
    tracker.add(false, 0, 5000);
    tracker.add(true, AURA::MEMBITS_FILE, 7);
    EXPECT_EQ(tracker.getCategory(false, AURA::MEMBITS_CODEC), 128u);
    EXPECT_EQ(tracker.getCategory(false, AURA::MEMBITS_DSPUNIT), 1000u);
    EXPECT_EQ(tracker.getCategory(false, AURA::MEMBITS_GEOMETRY), 360u);
    EXPECT_EQ(tracker.getCategory(false, AURA::MEMBITS_FILE), 0u);
    EXPECT_EQ(tracker.getTotal(false), 1488u);
    EXPECT_EQ(tracker.getCategory(true, AURA::MEMBITS_FILE), 7u);
    EXPECT_EQ(tracker.getTotal(true), 7u);
    tracker.clear();
    EXPECT_EQ(tracker.getTotal(false), 0u);
}

TEST(MemSingleton, SharesOneAllocationUntilTheLastFree)
{
    AURA::MemSingleton single;
    const auto base = auratest::poolBytes();
    void *a = single.alloc(4096, kTag, __LINE__);
    void *b = single.alloc(4096, kTag, __LINE__);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_EQ(single.getRefCount(), 2);
    EXPECT_EQ(auratest::poolBytes(), base + 4096);
    single.free(kTag, __LINE__);
    EXPECT_EQ(auratest::poolBytes(), base + 4096);
    single.free(kTag, __LINE__);
    EXPECT_EQ(single.getRefCount(), 0);
    EXPECT_EQ(auratest::poolBytes(), base);

    // A failed first allocation is still counted, so frees stay paired.
    AURA::gGlobal->mMemPool->failAfter(1);
    EXPECT_EQ(single.alloc(64, kTag, __LINE__), nullptr);
    EXPECT_EQ(single.getRefCount(), 1);
    single.free(kTag, __LINE__);
    EXPECT_EQ(single.getRefCount(), 0);
}

TEST(Global, ReferenceCountAndTheSharedFFT)
{
    ASSERT_EQ(AURA::gSystemInitCount.load(), 0);
    EXPECT_EQ(AURA::Global::decRef(), AURA_ERR_INTERNAL);
    EXPECT_EQ(AURA::gSystemInitCount.load(), -1);
    EXPECT_EQ(AURA::Global::incRef(), AURA_OK);
    EXPECT_EQ(AURA::gSystemInitCount.load(), 0);

    ASSERT_EQ(AURA::Global::incRef(), AURA_OK);
    ASSERT_EQ(AURA::Global::incRef(), AURA_OK);
    const auto base = auratest::poolBytes();

    AURA::DSPFFT *fft = nullptr;
    EXPECT_EQ(AURA::Global::getDSPFFT(nullptr), AURA_ERR_INVALID_PARAM);
    AURA::gGlobal->mMemPool->failAfter(1);
    EXPECT_EQ(AURA::Global::getDSPFFT(&fft), AURA_ERR_MEMORY);
    EXPECT_EQ(fft, nullptr);
    ASSERT_EQ(AURA::Global::getDSPFFT(&fft), AURA_OK);
    ASSERT_NE(fft, nullptr);
    AURA::DSPFFT *again = nullptr;
    ASSERT_EQ(AURA::Global::getDSPFFT(&again), AURA_OK);
    EXPECT_EQ(fft, again);
    EXPECT_EQ(auratest::poolBytes(), base + 163840);

    // The quarter-wave table: cos(0) = 1, cos(pi/2) = 0, cos(pi) = -1.
    EXPECT_EQ(fft->mCosTab[0], 1.0f);
    EXPECT_NEAR(fft->cosine(0.25f), 0.0f, 1e-3f);
    EXPECT_NEAR(fft->cosine(0.5f), -1.0f, 1e-6f);
    EXPECT_NEAR(fft->cosine(0.125f), std::sqrt(0.5f), 1e-3f);
    EXPECT_NEAR(fft->sine(0.25f), 1.0f, 1e-6f);

    // Only the last release frees it.
    EXPECT_EQ(AURA::Global::decRef(), AURA_OK);
    EXPECT_EQ(AURA::gDSPFFT, fft);
    EXPECT_EQ(AURA::Global::decRef(), AURA_OK);
    EXPECT_EQ(AURA::gDSPFFT, nullptr);
    EXPECT_EQ(auratest::poolBytes(), base);
}

// 40 threads allocate at once: 31 own a slot each, the other 9 share slot 32.
TEST_F(MemPoolThreads, SurplusThreadsShareTheLastSlot)
{
    constexpr int kThreads = 40;
    std::barrier allocated(kThreads + 1);
    std::barrier release(kThreads + 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            void *p = pool.alloc(100 + t, kTag, __LINE__);
            allocated.arrive_and_wait();
            release.arrive_and_wait();
            pool.free(p, kTag, __LINE__);
        });
    }
    allocated.arrive_and_wait();
    const auto stats = pool.getStats();
    int held = 0;
    int64_t sum = 0;
    for (int slot = 1; slot < AURA::MemPool::THREAD_SLOTS; ++slot) {
        EXPECT_NE(stats.threadIds[slot], 0u) << "slot " << slot;
        held += stats.threadIds[slot] ? 1 : 0;
        sum += stats.currentBytes[slot];
    }
    EXPECT_EQ(held, 31);
    int64_t total = 0;
    for (int t = 0; t < kThreads; ++t) {
        total += 100 + t;
    }
    EXPECT_EQ(stats.currentBytes[0], total);
    // Nine threads land in the last slot, whichever they are.
    EXPECT_EQ(sum + stats.currentBytes[AURA::MemPool::THREAD_SLOTS], total);
    EXPECT_GE(stats.currentBytes[AURA::MemPool::THREAD_SLOTS], 9 * 100);
    EXPECT_LE(stats.currentBytes[AURA::MemPool::THREAD_SLOTS], 9 * 139);
    release.arrive_and_wait();
    for (auto &th : threads) {
        th.join();
    }
    EXPECT_EQ(pool.getStats().currentBytes[0], 0);
}

// Many threads hammer one pool; every counter must come back to zero.
TEST_F(MemPoolThreads, CountersStayExactUnderContention)
{
    constexpr int kThreads = 8;
    constexpr int kRounds = 4000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t) * 7919u + 1u);
            std::vector<void *> live;
            for (int i = 0; i < kRounds; ++i) {
                const int op = static_cast<int>(rng() % 3);
                if (op < 2 || live.empty()) {
                    void *p = pool.alloc(static_cast<int>(rng() % 2000), kTag, __LINE__);
                    ASSERT_NE(p, nullptr);
                    live.push_back(p);
                } else {
                    const size_t k = rng() % live.size();
                    void *p = pool.realloc(live[k], static_cast<int>(rng() % 3000), kTag, __LINE__);
                    ASSERT_NE(p, nullptr);
                    live[k] = p;
                    if (rng() % 2) {
                        pool.free(live[k], kTag, __LINE__);
                        live.erase(live.begin() + static_cast<long>(k));
                    }
                }
            }
            for (void *p : live) {
                pool.free(p, kTag, __LINE__);
            }
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    const auto stats = pool.getStats();
    EXPECT_EQ(stats.currentBytes[0], 0);
    EXPECT_EQ(stats.blocksInUse, 0);
    EXPECT_GT(stats.peakBytes, 0);
    int64_t slots = 0;
    for (int slot = 1; slot <= AURA::MemPool::THREAD_SLOTS; ++slot) {
        slots += stats.currentBytes[slot];
    }
    EXPECT_EQ(slots, 0);
}

} // namespace

namespace {

// Block mode: runs of whole blocks of a region the engine never touches.
class MemPoolBlocks : public MemPoolTest {
protected:
    static constexpr int kBlocks = 100;
    void SetUp() override
    {
        MemPoolTest::SetUp();
        ASSERT_EQ(pool.initBlocks(region, sizeof(region), 256), AURA_OK);
    }
    int startOf(void *handle) const
    {
        return static_cast<int>((static_cast<unsigned char *>(pool.blockAddress(handle)) - region) / 256);
    }
    alignas(16) unsigned char region[kBlocks * 256 + 100] = {};
};

TEST_F(MemPoolBlocks, HandsOutFirstFitRunsAndKeepsTheHint)
{
    EXPECT_EQ(AURA::gGlobal->mMemPool->initBlocks(region, sizeof(region), 256),
              AURA_ERR_INVALID_PARAM);
    void *a = pool.alloc(256, kTag, __LINE__);
    void *b = pool.alloc(257, kTag, __LINE__);
    void *c = pool.alloc(1, kTag, __LINE__);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(startOf(a), 0);
    EXPECT_EQ(startOf(b), 1);
    EXPECT_EQ(startOf(c), 3);
    EXPECT_EQ(pool.getFreeHint(), 4);
    EXPECT_EQ(pool.getStats().blocksInUse, 4);

    pool.free(a, kTag, __LINE__);
    EXPECT_EQ(pool.getFreeHint(), 0);
    EXPECT_FALSE(pool.isBlockInUse(0));
    void *d = pool.alloc(512, kTag, __LINE__); // two blocks do not fit at 0
    EXPECT_EQ(startOf(d), 4);
    EXPECT_EQ(pool.getFreeHint(), 0);
    void *e = pool.alloc(10, kTag, __LINE__);
    EXPECT_EQ(startOf(e), 0);
    EXPECT_EQ(pool.getFreeHint(), 6);

    // The header lives in the global pool, the memory in the region.
    EXPECT_TRUE(e < static_cast<void *>(region) || e >= static_cast<void *>(region + sizeof(region)));
    for (void *p : {b, c, d, e}) {
        pool.free(p, kTag, __LINE__);
    }
    EXPECT_EQ(pool.getStats().blocksInUse, 0);
    EXPECT_EQ(pool.getFreeHint(), 0);
    for (int i = 0; i < kBlocks; ++i) {
        ASSERT_FALSE(pool.isBlockInUse(i));
    }
}

TEST_F(MemPoolBlocks, ExhaustionFailsAndReallocGrowsInPlaceOrMoves)
{
    void *all = pool.alloc(kBlocks * 256, kTag, __LINE__);
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(pool.getFreeHint(), -1);
    EXPECT_EQ(pool.alloc(1, kTag, 42), nullptr);
    EXPECT_EQ(gLog.calls, 1);
    EXPECT_EQ(pool.getStats().blocksInUse, kBlocks);
    pool.free(all, kTag, __LINE__);

    void *a = pool.alloc(256, kTag, __LINE__);
    void *b = pool.alloc(256 * 3, kTag, __LINE__);
    ASSERT_EQ(startOf(a), 0);
    ASSERT_EQ(startOf(b), 1);
    // b grows into the free blocks after it and keeps its start.
    ASSERT_EQ(pool.realloc(b, 256 * 10, kTag, __LINE__), b);
    EXPECT_EQ(startOf(b), 1);
    EXPECT_TRUE(pool.isBlockInUse(10));
    EXPECT_FALSE(pool.isBlockInUse(11));
    // a cannot grow in place (b follows it): it moves after b.
    ASSERT_EQ(pool.realloc(a, 256 * 2, kTag, __LINE__), a);
    EXPECT_EQ(startOf(a), 11);
    EXPECT_FALSE(pool.isBlockInUse(0));
    // Too large anywhere: refused, and everything stays where it was.
    EXPECT_EQ(pool.realloc(a, 256 * 95, kTag, 7), nullptr);
    EXPECT_EQ(startOf(a), 11);
    EXPECT_TRUE(pool.isBlockInUse(11));
    EXPECT_TRUE(pool.isBlockInUse(12));
    EXPECT_EQ(pool.getStats().blocksInUse, 12);
    pool.free(a, kTag, __LINE__);
    pool.free(b, kTag, __LINE__);
    EXPECT_EQ(pool.getStats().blocksInUse, 0);
}

TEST_F(MemPoolBlocks, SetCrossesWordsAndBytes)
{
    pool.set(3, 1, 70); // bits, then whole bytes, then bits
    for (int i = 0; i < kBlocks; ++i) {
        ASSERT_EQ(pool.isBlockInUse(i), i >= 3 && i < 73) << "block " << i;
    }
    EXPECT_EQ(pool.getFreeHint(), 0);
    pool.set(0, 1, 3);
    EXPECT_EQ(pool.getFreeHint(), 73); // skipped over the full words
    pool.set(10, 0, 33);
    EXPECT_EQ(pool.getFreeHint(), 10);
    for (int i = 0; i < kBlocks; ++i) {
        ASSERT_EQ(pool.isBlockInUse(i), i < 10 || (i >= 43 && i < 73)) << "block " << i;
    }
}

// Random traffic against a plain first-fit model of the block map.
TEST_F(MemPoolBlocks, MatchesAFirstFitModel)
{
    std::mt19937 rng(1234);
    std::vector<bool> used(kBlocks, false);
    struct Live {
        void *handle;
        int start;
        int blocks;
    };
    std::vector<Live> live;
    auto firstFit = [&](int need) {
        for (int s = 0; s + need <= kBlocks; ++s) {
            bool ok = true;
            for (int i = s; ok && i < s + need; ++i) {
                ok = !used[static_cast<size_t>(i)];
            }
            if (ok) {
                return s;
            }
        }
        return -1;
    };
    for (int step = 0; step < 3000; ++step) {
        if (live.empty() || rng() % 3 != 0) {
            const int size = static_cast<int>(rng() % (256 * 12));
            const int need = (size + 255) / 256;
            const int expected = need ? firstFit(need) : 0;
            void *h = pool.alloc(size, kTag, __LINE__);
            if (expected < 0) {
                ASSERT_EQ(h, nullptr) << "step " << step;
                continue;
            }
            ASSERT_NE(h, nullptr) << "step " << step;
            if (need) {
                ASSERT_EQ(startOf(h), expected) << "step " << step;
            }
            for (int i = expected; i < expected + need; ++i) {
                used[static_cast<size_t>(i)] = true;
            }
            live.push_back({h, expected, need});
        } else {
            const size_t k = rng() % live.size();
            for (int i = live[k].start; i < live[k].start + live[k].blocks; ++i) {
                used[static_cast<size_t>(i)] = false;
            }
            pool.free(live[k].handle, kTag, __LINE__);
            live.erase(live.begin() + static_cast<long>(k));
        }
        for (int i = 0; i < kBlocks; ++i) {
            ASSERT_EQ(pool.isBlockInUse(i), used[static_cast<size_t>(i)]) << "step " << step;
        }
    }
    for (auto &l : live) {
        pool.free(l.handle, kTag, __LINE__);
    }
    EXPECT_EQ(pool.getStats().blocksInUse, 0);
}

} // namespace

namespace {

// Systems come and go on several threads: the count and the shared FFT stay
// consistent.
TEST(GlobalThreads, ReferenceCountAndFFTUnderConcurrentUse)
{
    ASSERT_EQ(AURA::Global::incRef(), AURA_OK); // keeps the count above zero throughout
    std::vector<std::thread> threads;
    std::vector<AURA::DSPFFT *> seen(8, nullptr);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5000; ++i) {
                ASSERT_EQ(AURA::Global::incRef(), AURA_OK);
                ASSERT_EQ(AURA::Global::decRef(), AURA_OK);
            }
            ASSERT_EQ(AURA::Global::getDSPFFT(&seen[static_cast<size_t>(t)]), AURA_OK);
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    EXPECT_EQ(AURA::gSystemInitCount.load(), 1);
    for (AURA::DSPFFT *fft : seen) {
        EXPECT_EQ(fft, seen[0]);
    }
    EXPECT_NE(seen[0], nullptr);
    EXPECT_EQ(AURA::Global::decRef(), AURA_OK);
    EXPECT_EQ(AURA::gDSPFFT, nullptr);
}

} // namespace
