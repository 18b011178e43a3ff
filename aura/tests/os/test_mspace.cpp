#include "os/aura_mspace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

// A 16-byte aligned stretch of memory for one heap.
class Block {
public:
    explicit Block(std::size_t bytes)
        : mStorage(std::make_unique<std::byte[]>(bytes + 16)), mSize(bytes)
    {
        const auto a = reinterpret_cast<std::uintptr_t>(mStorage.get());
        mData = mStorage.get() + ((16 - a % 16) % 16);
    }
    std::byte *data() const { return mData; }
    std::size_t size() const { return mSize; }
    bool holds(const void *p, std::size_t n) const
    {
        const auto a = reinterpret_cast<std::uintptr_t>(p);
        const auto lo = reinterpret_cast<std::uintptr_t>(mData);
        return a >= lo && a <= lo + mSize && n <= lo + mSize - a;
    }

private:
    std::unique_ptr<std::byte[]> mStorage;
    std::byte *mData;
    std::size_t mSize;
};

bool aligned16(const void *p) { return reinterpret_cast<std::uintptr_t>(p) % 16 == 0; }

void fill(void *p, std::size_t n, unsigned char tag) { std::memset(p, tag, n); }

bool holds_tag(const void *p, std::size_t n, unsigned char tag)
{
    const auto *b = static_cast<const unsigned char *>(p);
    return std::all_of(b, b + n, [tag](unsigned char c) { return c == tag; });
}

struct Live {
    void *ptr;
    std::size_t size;
    unsigned char tag;
};

// True when no two live blocks overlap, counting each block's usable size.
bool disjoint(mspace msp, std::vector<Live> blocks)
{
    std::sort(blocks.begin(), blocks.end(), [](const Live &a, const Live &b) {
        return reinterpret_cast<std::uintptr_t>(a.ptr) < reinterpret_cast<std::uintptr_t>(b.ptr);
    });
    for (std::size_t i = 1; i < blocks.size(); ++i) {
        const auto prev_end = reinterpret_cast<std::uintptr_t>(blocks[i - 1].ptr) +
                              mspace_usable_size(msp, blocks[i - 1].ptr);
        if (prev_end > reinterpret_cast<std::uintptr_t>(blocks[i].ptr)) {
            return false;
        }
    }
    return true;
}

// Whether a request for `bytes` must succeed right now: some free run exists
// (a full heap reports 0 free bytes) and the largest one is big enough.
bool fits(mspace msp, std::size_t bytes)
{
    return mspace_free_bytes(msp) != 0 && bytes <= mspace_largest_free(msp);
}

// Allocates `bytes`-sized blocks until the heap refuses; returns them.
std::vector<void *> exhaust(mspace msp, std::size_t bytes)
{
    std::vector<void *> out;
    while (void *p = mspace_malloc(msp, bytes)) {
        out.push_back(p);
    }
    return out;
}

TEST(MspaceCreate, RefusesUnusableBlocks)
{
    Block b(4096);
    EXPECT_EQ(create_mspace_with_base(nullptr, b.size(), 0), nullptr);
    EXPECT_EQ(create_mspace_with_base(b.data(), 0, 0), nullptr);
    EXPECT_EQ(create_mspace_with_base(b.data(), 64, 0), nullptr);
    // Capacities that would run past the end of the address space.
    EXPECT_EQ(create_mspace_with_base(b.data(), SIZE_MAX, 0), nullptr);
    EXPECT_EQ(create_mspace_with_base(b.data(), SIZE_MAX - 8, 0), nullptr);
}

TEST(MspaceCreate, SmallestBlockServesAnAllocationAndMisalignmentCostsPadding)
{
    Block b(8192);
    std::size_t smallest = 0;
    for (std::size_t cap = 1; cap <= b.size(); ++cap) {
        if (create_mspace_with_base(b.data(), cap, 0) != nullptr) {
            smallest = cap;
            break;
        }
    }
    ASSERT_NE(smallest, 0u);

    mspace msp = create_mspace_with_base(b.data(), smallest, 0);
    ASSERT_NE(msp, nullptr);
    void *p = mspace_malloc(msp, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(aligned16(p));
    EXPECT_TRUE(b.holds(p, mspace_usable_size(msp, p)));
    EXPECT_TRUE(mspace_check(msp));

    // One byte in, the same capacity loses 15 bytes to alignment.
    EXPECT_EQ(create_mspace_with_base(b.data() + 1, smallest, 0), nullptr);
    msp = create_mspace_with_base(b.data() + 1, smallest + 15, 0);
    ASSERT_NE(msp, nullptr);
    EXPECT_TRUE(aligned16(msp));
    p = mspace_malloc(msp, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(aligned16(p));
    const auto lo = reinterpret_cast<std::uintptr_t>(b.data() + 1);
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    EXPECT_GE(a, lo);
    EXPECT_LE(a + mspace_usable_size(msp, p), lo + smallest + 15);
    EXPECT_TRUE(mspace_check(msp));
}

TEST(MspaceAlloc, PointersAreAlignedDisjointAndInsideTheBlock)
{
    Block b(256 * 1024);
    mspace msp = create_mspace_with_base(b.data(), b.size(), 0);
    ASSERT_NE(msp, nullptr);

    constexpr std::size_t kSizes[] = {0, 1, 15, 16, 17, 31, 33, 100, 255, 1000, 1024, 1500, 4000, 12345};
    std::vector<Live> live;
    for (std::size_t i = 0;; ++i) {
        const std::size_t size = kSizes[i % std::size(kSizes)];
        void *p = mspace_malloc(msp, size);
        if (p == nullptr) {
            break;
        }
        ASSERT_TRUE(aligned16(p)) << "allocation " << i;
        ASSERT_GE(mspace_usable_size(msp, p), size);
        ASSERT_TRUE(b.holds(p, mspace_usable_size(msp, p))) << "allocation " << i;
        const auto tag = static_cast<unsigned char>(i * 7 + 1);
        fill(p, size, tag);
        live.push_back({p, size, tag});
    }
    ASSERT_GT(live.size(), 50u);
    EXPECT_TRUE(disjoint(msp, live));

    // Free every third block and fill the holes with smaller blocks.
    std::vector<Live> kept;
    for (std::size_t i = 0; i < live.size(); ++i) {
        if (i % 3 == 0) {
            ASSERT_TRUE(holds_tag(live[i].ptr, live[i].size, live[i].tag));
            mspace_free(msp, live[i].ptr);
        } else {
            kept.push_back(live[i]);
        }
    }
    ASSERT_TRUE(mspace_check(msp));
    for (unsigned i = 0;; ++i) {
        const std::size_t size = 8 + (i * 37) % 200;
        void *p = mspace_malloc(msp, size);
        if (p == nullptr) {
            break;
        }
        ASSERT_TRUE(aligned16(p));
        ASSERT_TRUE(b.holds(p, mspace_usable_size(msp, p)));
        fill(p, size, 0xEE);
        kept.push_back({p, size, 0xEE});
    }
    EXPECT_TRUE(mspace_check(msp));
    EXPECT_TRUE(disjoint(msp, kept));
    for (const Live &l : kept) {
        EXPECT_TRUE(holds_tag(l.ptr, l.size, l.tag));
    }
}

TEST(MspaceAlloc, ExhaustionGivesNullOnlyWhenNoRunIsLargeEnough)
{
    Block b(64 * 1024);
    mspace msp = create_mspace_with_base(b.data(), b.size(), 0);
    ASSERT_NE(msp, nullptr);
    const std::vector<void *> blocks = exhaust(msp, 1000);
    ASSERT_FALSE(blocks.empty());
    const std::size_t largest = mspace_largest_free(msp);
    EXPECT_LT(largest, 1000u);
    EXPECT_LE(largest, mspace_free_bytes(msp));
    if (largest > 0) {
        void *tail = mspace_malloc(msp, largest);
        EXPECT_NE(tail, nullptr);
    }
    EXPECT_EQ(mspace_malloc(msp, largest + 1), nullptr);

    // Minimal blocks take up whatever is left, down to the last byte.
    exhaust(msp, 0);
    EXPECT_EQ(mspace_free_bytes(msp), 0u);
    EXPECT_EQ(mspace_largest_free(msp), 0u);
    EXPECT_EQ(mspace_malloc(msp, 0), nullptr);
    EXPECT_TRUE(mspace_check(msp));
}

TEST(MspaceAlloc, HugeRequestsFailWithoutDisturbingTheHeap)
{
    Block b(64 * 1024);
    mspace msp = create_mspace_with_base(b.data(), b.size(), 0);
    ASSERT_NE(msp, nullptr);
    void *p = mspace_malloc(msp, 300);
    ASSERT_NE(p, nullptr);
    fill(p, 300, 0x5A);
    const std::size_t free_before = mspace_free_bytes(msp);
    const std::size_t largest_before = mspace_largest_free(msp);

    const std::size_t huge[] = {SIZE_MAX,      SIZE_MAX - 8,  SIZE_MAX - 15, SIZE_MAX - 16,
                                SIZE_MAX - 31, SIZE_MAX - 32, SIZE_MAX / 2,  b.size()};
    for (const std::size_t n : huge) {
        EXPECT_EQ(mspace_malloc(msp, n), nullptr) << n;
        EXPECT_EQ(mspace_realloc(msp, nullptr, n), nullptr) << n;
        EXPECT_EQ(mspace_realloc(msp, p, n), nullptr) << n;
    }
    EXPECT_EQ(mspace_malloc(msp, largest_before + 1), nullptr);
    EXPECT_TRUE(holds_tag(p, 300, 0x5A));
    EXPECT_EQ(mspace_free_bytes(msp), free_before);
    EXPECT_EQ(mspace_largest_free(msp), largest_before);
    EXPECT_TRUE(mspace_check(msp));
}

TEST(MspaceAlloc, FreeingEverythingInAnyOrderRestoresOneRun)
{
    Block b(128 * 1024);
    mspace msp = create_mspace_with_base(b.data(), b.size(), 0);
    ASSERT_NE(msp, nullptr);
    const std::size_t free0 = mspace_free_bytes(msp);
    const std::size_t largest0 = mspace_largest_free(msp);

    std::vector<void *> blocks;
    for (unsigned i = 0; i < 300; ++i) {
        void *p = mspace_malloc(msp, 1 + (i * 97) % 700);
        ASSERT_NE(p, nullptr);
        blocks.push_back(p);
    }
    std::mt19937 rng(1234);
    std::shuffle(blocks.begin(), blocks.end(), rng);
    for (void *p : blocks) {
        mspace_free(msp, p);
        ASSERT_TRUE(mspace_check(msp));
    }
    EXPECT_EQ(mspace_free_bytes(msp), free0);
    EXPECT_EQ(mspace_largest_free(msp), largest0);
    void *all = mspace_malloc(msp, largest0);
    EXPECT_NE(all, nullptr);
    EXPECT_EQ(mspace_largest_free(msp), 0u);
    mspace_free(msp, all);
    EXPECT_EQ(mspace_malloc(msp, largest0 + 1), nullptr);
    EXPECT_EQ(destroy_mspace(msp), 0u);
}

TEST(MspaceAlloc, FreedNeighboursMergeOnBothSides)
{
    Block b(64 * 1024);
    mspace msp = create_mspace_with_base(b.data(), b.size(), 0);
    ASSERT_NE(msp, nullptr);
    void *a = mspace_malloc(msp, 256);
    void *m = mspace_malloc(msp, 256);
    void *c = mspace_malloc(msp, 256);
    ASSERT_TRUE(a && m && c);
    const std::size_t sum = mspace_usable_size(msp, a) + mspace_usable_size(msp, m) +
                            mspace_usable_size(msp, c);
    const std::vector<void *> rest = exhaust(msp, 64);
    ASSERT_LT(mspace_largest_free(msp), 64u);

    mspace_free(msp, a);
    mspace_free(msp, c);
    EXPECT_LT(mspace_largest_free(msp), sum);
    mspace_free(msp, m);  // joins both neighbours
    EXPECT_TRUE(mspace_check(msp));
    EXPECT_GE(mspace_largest_free(msp), sum);
    EXPECT_EQ(mspace_malloc(msp, sum), a);
}

TEST(MspaceRealloc, GrowsAndShrinksInPlace)
{
    Block b(64 * 1024);
    mspace msp = create_mspace_with_base(b.data(), b.size(), 0);
    ASSERT_NE(msp, nullptr);
    void *a = mspace_malloc(msp, 100);
    void *up = mspace_malloc(msp, 400);
    void *guard = mspace_malloc(msp, 100);
    ASSERT_TRUE(a && up && guard);
    fill(a, 100, 0xA1);
    fill(guard, 100, 0x6D);
    mspace_free(msp, up);

    EXPECT_EQ(mspace_realloc(msp, a, 300), a);
    EXPECT_GE(mspace_usable_size(msp, a), 300u);
    EXPECT_TRUE(holds_tag(a, 100, 0xA1));
    EXPECT_TRUE(mspace_check(msp));
    fill(a, 300, 0xA2);

    const std::size_t free_before = mspace_free_bytes(msp);
    EXPECT_EQ(mspace_realloc(msp, a, 20), a);
    EXPECT_TRUE(holds_tag(a, 20, 0xA2));
    EXPECT_GT(mspace_free_bytes(msp), free_before);
    EXPECT_LT(mspace_usable_size(msp, a), 300u);
    EXPECT_TRUE(holds_tag(guard, 100, 0x6D));
    EXPECT_TRUE(mspace_check(msp));
}

TEST(MspaceRealloc, SlidesDownIntoAFreeNeighbourBelow)
{
    Block b(64 * 1024);
    mspace msp = create_mspace_with_base(b.data(), b.size(), 0);
    ASSERT_NE(msp, nullptr);
    void *down = mspace_malloc(msp, 400);
    void *a = mspace_malloc(msp, 100);
    void *guard = mspace_malloc(msp, 100);
    ASSERT_TRUE(down && a && guard);
    const std::vector<void *> rest = exhaust(msp, 64);
    for (unsigned i = 0; i < 100; ++i) {
        static_cast<unsigned char *>(a)[i] = static_cast<unsigned char>(i);
    }
    mspace_free(msp, down);

    void *r = mspace_realloc(msp, a, 450);
    EXPECT_EQ(r, down);
    ASSERT_NE(r, nullptr);
    for (unsigned i = 0; i < 100; ++i) {
        ASSERT_EQ(static_cast<unsigned char *>(r)[i], i);
    }
    EXPECT_TRUE(mspace_check(msp));
}

TEST(MspaceRealloc, MovesAndKeepsContentsWhenNeighboursAreTaken)
{
    Block b(64 * 1024);
    mspace msp = create_mspace_with_base(b.data(), b.size(), 0);
    ASSERT_NE(msp, nullptr);
    void *a = mspace_malloc(msp, 100);
    void *guard = mspace_malloc(msp, 100);
    ASSERT_TRUE(a && guard);
    for (unsigned i = 0; i < 100; ++i) {
        static_cast<unsigned char *>(a)[i] = static_cast<unsigned char>(255 - i);
    }
    void *r = mspace_realloc(msp, a, 5000);
    ASSERT_NE(r, nullptr);
    EXPECT_NE(r, a);
    for (unsigned i = 0; i < 100; ++i) {
        ASSERT_EQ(static_cast<unsigned char *>(r)[i], 255 - i);
    }
    EXPECT_TRUE(mspace_check(msp));
    // The old place was given back.
    EXPECT_EQ(mspace_malloc(msp, 100), a);
}

TEST(MspaceRealloc, FailureLeavesTheBlockIntact)
{
    Block b(64 * 1024);
    mspace msp = create_mspace_with_base(b.data(), b.size(), 0);
    ASSERT_NE(msp, nullptr);
    void *a = mspace_malloc(msp, 1000);
    ASSERT_NE(a, nullptr);
    fill(a, 1000, 0xC3);
    const std::size_t usable = mspace_usable_size(msp, a);
    const std::vector<void *> rest = exhaust(msp, 512);
    ASSERT_FALSE(rest.empty());
    const std::size_t free_before = mspace_free_bytes(msp);

    EXPECT_EQ(mspace_realloc(msp, a, 20000), nullptr);
    EXPECT_TRUE(holds_tag(a, 1000, 0xC3));
    EXPECT_EQ(mspace_usable_size(msp, a), usable);
    EXPECT_EQ(mspace_free_bytes(msp), free_before);
    EXPECT_TRUE(mspace_check(msp));
    mspace_free(msp, a);
    EXPECT_TRUE(mspace_check(msp));
}

TEST(MspaceRealloc, NullAllocatesAndZeroGivesAMinimalBlock)
{
    Block b(16 * 1024);
    mspace msp = create_mspace_with_base(b.data(), b.size(), 0);
    ASSERT_NE(msp, nullptr);
    void *p = mspace_realloc(msp, nullptr, 500);
    ASSERT_NE(p, nullptr);
    EXPECT_GE(mspace_usable_size(msp, p), 500u);
    void *q = mspace_realloc(msp, p, 0);
    EXPECT_EQ(q, p);
    EXPECT_LT(mspace_usable_size(msp, q), 500u);

    void *z1 = mspace_malloc(msp, 0);
    void *z2 = mspace_malloc(msp, 0);
    ASSERT_TRUE(z1 && z2);
    EXPECT_NE(z1, z2);
    EXPECT_EQ(mspace_usable_size(msp, z1), mspace_usable_size(msp, q));
    EXPECT_TRUE(mspace_check(msp));
}

TEST(MspaceFree, IgnoresNullAndForeignPointers)
{
    Block b(16 * 1024);
    mspace msp = create_mspace_with_base(b.data(), b.size(), 0);
    ASSERT_NE(msp, nullptr);
    void *p = mspace_malloc(msp, 64);
    ASSERT_NE(p, nullptr);
    const std::size_t free_before = mspace_free_bytes(msp);
    alignas(16) unsigned char outside[64] = {};

    mspace_free(msp, nullptr);
    mspace_free(msp, outside + 16);
    mspace_free(msp, b.data());                          // the heap's own record
    mspace_free(msp, static_cast<std::byte *>(p) + 1);  // misaligned
    EXPECT_EQ(mspace_free_bytes(msp), free_before);
    EXPECT_EQ(mspace_usable_size(msp, outside + 16), 0u);
    EXPECT_TRUE(mspace_check(msp));
    mspace_free(msp, p);
    EXPECT_GT(mspace_free_bytes(msp), free_before);
}

TEST(MspaceDestroy, ReportsLiveBytesAndRefusesFurtherUse)
{
    Block b(16 * 1024);
    mspace msp = create_mspace_with_base(b.data(), b.size(), 0);
    ASSERT_NE(msp, nullptr);
    void *p = mspace_malloc(msp, 10);
    void *q = mspace_malloc(msp, 1000);
    void *r = mspace_malloc(msp, 100);
    ASSERT_TRUE(p && q && r);
    mspace_free(msp, q);
    const std::size_t live = mspace_usable_size(msp, p) + mspace_usable_size(msp, r);
    EXPECT_EQ(destroy_mspace(msp), live);

    EXPECT_EQ(mspace_malloc(msp, 10), nullptr);
    EXPECT_FALSE(mspace_check(msp));
    EXPECT_EQ(mspace_free_bytes(msp), 0u);
    EXPECT_EQ(destroy_mspace(msp), 0u);
}

// Random mallocs, reallocs and frees against a list of what should be live and
// what each block should hold.
TEST(MspaceModel, RandomOperationsKeepEveryBlockIntact)
{
    Block b(256 * 1024);
    mspace msp = create_mspace_with_base(b.data(), b.size(), 0);
    ASSERT_NE(msp, nullptr);
    const std::size_t free0 = mspace_free_bytes(msp);

    std::mt19937 rng(20240611);
    auto pick_size = [&rng]() -> std::size_t {
        const unsigned r = rng() % 100;
        if (r < 70) return rng() % 256;
        if (r < 95) return rng() % 4096;
        return rng() % 40000;
    };
    std::vector<Live> live;
    unsigned char next_tag = 1;
    auto new_tag = [&next_tag]() {
        next_tag = static_cast<unsigned char>(next_tag == 255 ? 1 : next_tag + 1);
        return next_tag;
    };
    std::size_t failures = 0;

    for (int step = 0; step < 5000; ++step) {
        const unsigned op = rng() % 10;
        if (op < 4 || live.empty()) {
            const std::size_t size = pick_size();
            const bool must_fit = fits(msp, size);
            void *p = mspace_malloc(msp, size);
            ASSERT_EQ(p != nullptr, must_fit) << "step " << step << " size " << size;
            if (p == nullptr) {
                ++failures;
            } else {
                ASSERT_TRUE(aligned16(p));
                ASSERT_TRUE(b.holds(p, mspace_usable_size(msp, p)));
                const unsigned char tag = new_tag();
                fill(p, size, tag);
                live.push_back({p, size, tag});
            }
        } else if (op < 7) {
            const std::size_t i = rng() % live.size();
            ASSERT_TRUE(holds_tag(live[i].ptr, live[i].size, live[i].tag)) << "step " << step;
            mspace_free(msp, live[i].ptr);
            live[i] = live.back();
            live.pop_back();
        } else {
            Live &l = live[rng() % live.size()];
            ASSERT_TRUE(holds_tag(l.ptr, l.size, l.tag)) << "step " << step;
            const std::size_t size = pick_size();
            const bool must_fit = fits(msp, size);
            void *p = mspace_realloc(msp, l.ptr, size);
            if (p == nullptr) {
                // Moving to any free run would have worked when one was big enough.
                ASSERT_FALSE(must_fit) << "step " << step << " size " << size;
                ASSERT_TRUE(holds_tag(l.ptr, l.size, l.tag)) << "step " << step;
                ++failures;
            } else {
                ASSERT_TRUE(aligned16(p));
                ASSERT_TRUE(b.holds(p, mspace_usable_size(msp, p)));
                ASSERT_GE(mspace_usable_size(msp, p), size);
                ASSERT_TRUE(holds_tag(p, std::min(size, l.size), l.tag)) << "step " << step;
                l = {p, size, new_tag()};
                fill(p, size, l.tag);
            }
        }
        ASSERT_TRUE(mspace_check(msp)) << "step " << step;

        if (step % 50 == 0) {
            ASSERT_TRUE(disjoint(msp, live)) << "step " << step;
            std::size_t held = 0;
            for (const Live &x : live) {
                ASSERT_TRUE(holds_tag(x.ptr, x.size, x.tag)) << "step " << step;
                held += mspace_usable_size(msp, x.ptr);
            }
            ASSERT_LE(held + mspace_free_bytes(msp), free0);
            const std::size_t largest = mspace_largest_free(msp);
            if (largest > 0) {
                void *p = mspace_malloc(msp, largest);
                ASSERT_NE(p, nullptr) << "step " << step;
                mspace_free(msp, p);
            }
            ASSERT_EQ(mspace_malloc(msp, largest + 1), nullptr) << "step " << step;
        }
    }
    // The mix must have pushed the heap to its limit now and then, but not
    // failed most of the time.
    EXPECT_GT(failures, 0u);
    EXPECT_LT(failures, 1000u);

    std::size_t held = 0;
    for (std::size_t i = 0; i < live.size(); ++i) {
        if (i % 2 == 0) {
            mspace_free(msp, live[i].ptr);
        } else {
            held += mspace_usable_size(msp, live[i].ptr);
        }
    }
    EXPECT_TRUE(mspace_check(msp));
    EXPECT_EQ(destroy_mspace(msp), held);
}

}  // namespace
