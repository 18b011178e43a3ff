// The speaker-level and history-buffer pools of a system.
#include "base/aura_globals.h"
#include "base/aura_memory.h"
#include "dsp/aura_dsp_pools.h"
#include "engine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <vector>

namespace {

using AURA::HistoryBufferPool;
using AURA::SpeakerLevelsPool;

using auratest::poolBytes;

constexpr int kRows = 8;
constexpr int kColumns = 6;
constexpr int kMatrix = kRows * kColumns;
constexpr int kCapacity = SpeakerLevelsPool::MAX_CHUNKS * SpeakerLevelsPool::MATRICES_PER_CHUNK;

TEST(SpeakerLevelsPool, HandsOutZeroedMatricesThatDoNotOverlap)
{
    const int64_t before = poolBytes();
    {
        SpeakerLevelsPool pool;
        ASSERT_EQ(pool.init(nullptr, kRows, kColumns), AURA_OK);
        EXPECT_EQ(poolBytes(), before); // nothing until the first matrix

        // More than one chunk's worth, each filled with its own number.
        std::vector<float *> matrices;
        for (int i = 0; i < 40; ++i) {
            float *m = nullptr;
            ASSERT_EQ(pool.alloc(&m), AURA_OK);
            ASSERT_NE(m, nullptr);
            ASSERT_EQ(reinterpret_cast<uintptr_t>(m) % alignof(float), 0u);
            for (int k = 0; k < kMatrix; ++k) {
                ASSERT_EQ(m[k], 0.0f);
                m[k] = static_cast<float>(i + 1);
            }
            matrices.push_back(m);
        }
        EXPECT_GT(poolBytes(), before + 40 * kMatrix * static_cast<int64_t>(sizeof(float)) - 1);
        for (size_t i = 0; i < matrices.size(); ++i) {
            for (int k = 0; k < kMatrix; ++k) {
                ASSERT_EQ(matrices[i][k], static_cast<float>(i + 1)) << i;
            }
        }

        // A matrix given back and taken again is clean.
        ASSERT_EQ(pool.free(matrices[7]), AURA_OK);
        float *again = nullptr;
        ASSERT_EQ(pool.alloc(&again), AURA_OK);
        EXPECT_EQ(again, matrices[7]);
        for (int k = 0; k < kMatrix; ++k) {
            ASSERT_EQ(again[k], 0.0f);
        }

        ASSERT_EQ(pool.release(), AURA_OK);
        EXPECT_EQ(poolBytes(), before);

        // Usable again after a release; the destructor gives this back.
        float *m = nullptr;
        ASSERT_EQ(pool.alloc(&m), AURA_OK);
        EXPECT_GT(poolBytes(), before);
    }
    EXPECT_EQ(poolBytes(), before);
}

TEST(SpeakerLevelsPool, ExhaustionLeavesTheReceiverNull)
{
    const int64_t before = poolBytes();
    SpeakerLevelsPool pool;
    ASSERT_EQ(pool.init(nullptr, kRows, kColumns), AURA_OK);
    std::set<float *> seen;
    std::vector<float *> all;
    for (int i = 0; i < kCapacity; ++i) {
        float *m = nullptr;
        ASSERT_EQ(pool.alloc(&m), AURA_OK) << i;
        ASSERT_TRUE(seen.insert(m).second) << "handed out twice: " << i;
        all.push_back(m);
    }
    float *m = all.front();
    EXPECT_EQ(pool.alloc(&m), AURA_ERR_MEMORY);
    EXPECT_EQ(m, nullptr);

    // One back, one more out.
    ASSERT_EQ(pool.free(all[1000]), AURA_OK);
    ASSERT_EQ(pool.alloc(&m), AURA_OK);
    EXPECT_EQ(m, all[1000]);
    ASSERT_EQ(pool.release(), AURA_OK);
    EXPECT_EQ(poolBytes(), before);
}

TEST(SpeakerLevelsPool, RefusesWhatItDidNotHandOut)
{
    SpeakerLevelsPool pool;
    float *m = reinterpret_cast<float *>(16);
    EXPECT_EQ(pool.alloc(&m), AURA_ERR_INVALID_PARAM); // no size yet
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(pool.init(nullptr, 0, 6), AURA_ERR_INVALID_PARAM);
    ASSERT_EQ(pool.init(nullptr, kRows, kColumns), AURA_OK);
    EXPECT_EQ(pool.alloc(nullptr), AURA_ERR_INVALID_PARAM);

    ASSERT_EQ(pool.alloc(&m), AURA_OK);
    float outside[kMatrix];
    EXPECT_EQ(pool.free(nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(pool.free(outside), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(pool.free(m + 1), AURA_ERR_INVALID_PARAM);       // inside, not a matrix start
    EXPECT_EQ(pool.free(m + kMatrix), AURA_ERR_INVALID_PARAM); // a matrix never handed out
    // The size cannot change under a matrix in use.
    EXPECT_EQ(pool.init(nullptr, 2, 2), AURA_ERR_INITIALIZED);
    EXPECT_EQ(pool.free(m), AURA_OK);
    EXPECT_EQ(pool.free(m), AURA_ERR_INVALID_PARAM); // double free
    EXPECT_EQ(pool.init(nullptr, 2, 2), AURA_OK);
}

TEST(SpeakerLevelsPool, AFailedAllocationIsReportedAsMemory)
{
    const int64_t before = poolBytes();
    SpeakerLevelsPool pool;
    ASSERT_EQ(pool.init(nullptr, kRows, kColumns), AURA_OK);
    AURA::gGlobal->mMemPool->failAfter(1);
    float *m = reinterpret_cast<float *>(16);
    EXPECT_EQ(pool.alloc(&m), AURA_ERR_MEMORY);
    AURA::gGlobal->mMemPool->failAfter(0);
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(poolBytes(), before);
    ASSERT_EQ(pool.alloc(&m), AURA_OK);
    EXPECT_NE(m, nullptr);
}

constexpr int kSlot = HistoryBufferPool::SLOT_FLOATS;

bool allZero(const float *p, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != 0.0f) {
            return false;
        }
    }
    return true;
}

TEST(HistoryBufferPool, RunsOfSlotsAreZeroedAndFoundFirstFit)
{
    const int64_t before = poolBytes();
    HistoryBufferPool pool;
    EXPECT_EQ(poolBytes(), before); // the slot array is made on first use

    float *a = nullptr;
    float *b = nullptr;
    ASSERT_EQ(pool.alloc(&a, 4), AURA_OK);
    ASSERT_EQ(pool.alloc(&b, 4), AURA_OK);
    EXPECT_EQ(b, a + 4 * kSlot);
    EXPECT_GE(poolBytes() - before, int64_t{16} * kSlot * 4);
    EXPECT_TRUE(allZero(a, 4 * size_t{kSlot}));
    for (size_t i = 0; i < 4 * size_t{kSlot}; ++i) {
        a[i] = 1.0f;
        b[i] = 2.0f;
    }

    // The first run is free again: two slots fit there, three do not.
    ASSERT_EQ(pool.free(a), AURA_OK);
    float *two = nullptr;
    ASSERT_EQ(pool.alloc(&two, 2), AURA_OK);
    EXPECT_EQ(two, a);
    EXPECT_TRUE(allZero(two, 2 * size_t{kSlot}));
    float *three = nullptr;
    ASSERT_EQ(pool.alloc(&three, 3), AURA_OK);
    EXPECT_EQ(three, a + 8 * kSlot);
    float *one = nullptr;
    ASSERT_EQ(pool.alloc(&one, 1), AURA_OK);
    EXPECT_EQ(one, a + 2 * kSlot);
    // Neighbours were not touched by the zeroing.
    EXPECT_EQ(b[0], 2.0f);
    EXPECT_EQ(b[4 * kSlot - 1], 2.0f);

    ASSERT_EQ(pool.release(), AURA_OK);
    EXPECT_EQ(poolBytes(), before);
}

TEST(HistoryBufferPool, NoFreeRunTakesSeparateMemory)
{
    const int64_t before = poolBytes();
    {
        HistoryBufferPool pool;
        float *all = nullptr;
        ASSERT_EQ(pool.alloc(&all, HistoryBufferPool::NUM_SLOTS), AURA_OK);
        const int64_t full = poolBytes();

        float *extra = nullptr;
        ASSERT_EQ(pool.alloc(&extra, 2), AURA_OK);
        ASSERT_NE(extra, nullptr);
        EXPECT_TRUE(extra + 2 * kSlot <= all || extra >= all + HistoryBufferPool::NUM_SLOTS * kSlot);
        EXPECT_TRUE(allZero(extra, 2 * size_t{kSlot}));
        EXPECT_GE(poolBytes() - full, int64_t{2} * kSlot * 4);
        extra[2 * kSlot - 1] = 1.0f; // the whole of it is writable

        // Wider than the whole array: separate memory even with slots free.
        ASSERT_EQ(pool.free(all), AURA_OK);
        float *wide = nullptr;
        ASSERT_EQ(pool.alloc(&wide, HistoryBufferPool::NUM_SLOTS + 1), AURA_OK);
        EXPECT_TRUE(allZero(wide, (HistoryBufferPool::NUM_SLOTS + 1) * size_t{kSlot}));
        EXPECT_TRUE(wide + 17 * kSlot <= all || wide >= all + HistoryBufferPool::NUM_SLOTS * kSlot);

        // Separate memory goes back to the memory pool when given back.
        const int64_t withBoth = poolBytes();
        ASSERT_EQ(pool.free(extra), AURA_OK);
        EXPECT_LE(poolBytes(), withBoth - int64_t{2} * kSlot * 4);
        EXPECT_EQ(pool.free(extra), AURA_ERR_INVALID_PARAM);
        // wide and the slot array are left for the destructor.
    }
    EXPECT_EQ(poolBytes(), before);
}

TEST(HistoryBufferPool, RefusesBadRequestsAndForeignPointers)
{
    HistoryBufferPool pool;
    float *buf = nullptr;
    EXPECT_EQ(pool.alloc(nullptr, 1), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(pool.alloc(&buf, 0), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(pool.alloc(&buf, -3), AURA_ERR_INVALID_PARAM);

    ASSERT_EQ(pool.alloc(&buf, 3), AURA_OK);
    float outside[4];
    EXPECT_EQ(pool.free(nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(pool.free(outside), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(pool.free(buf + kSlot), AURA_ERR_INVALID_PARAM); // inside a run
    EXPECT_EQ(pool.free(buf + 1), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(pool.free(buf + 5 * kSlot), AURA_ERR_INVALID_PARAM); // a free slot
    EXPECT_EQ(pool.free(buf), AURA_OK);
    EXPECT_EQ(pool.free(buf), AURA_ERR_INVALID_PARAM); // double free

    // A freed run is whole again.
    float *again = nullptr;
    ASSERT_EQ(pool.alloc(&again, HistoryBufferPool::NUM_SLOTS), AURA_OK);
    EXPECT_EQ(again, buf);
}

TEST(HistoryBufferPool, AllocationFailuresFallBackOrReportMemory)
{
    const int64_t before = poolBytes();
    HistoryBufferPool pool;

    // The slot array cannot be made: the ring gets memory of its own.
    AURA::gGlobal->mMemPool->failAfter(1);
    float *buf = nullptr;
    ASSERT_EQ(pool.alloc(&buf, 1), AURA_OK);
    AURA::gGlobal->mMemPool->failAfter(0);
    ASSERT_NE(buf, nullptr);
    EXPECT_TRUE(allZero(buf, kSlot));
    EXPECT_EQ(pool.free(buf), AURA_OK);
    EXPECT_EQ(poolBytes(), before);

    // Every slot taken and the separate memory fails: 44, receiver null.
    float *all = nullptr;
    ASSERT_EQ(pool.alloc(&all, HistoryBufferPool::NUM_SLOTS), AURA_OK);
    const int64_t full = poolBytes();
    AURA::gGlobal->mMemPool->failAfter(1);
    buf = reinterpret_cast<float *>(16);
    EXPECT_EQ(pool.alloc(&buf, 1), AURA_ERR_MEMORY);
    AURA::gGlobal->mMemPool->failAfter(0);
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(poolBytes(), full);
}

} // namespace
