// The heap over a caller's block against glibc malloc/free as the peer, on the
// same precomputed sequences of operations, so the two times read as a ratio.
#include "os/aura_mspace.h"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr std::size_t kArenaSize = 32u << 20;
constexpr std::size_t kSlots = 512;
constexpr std::size_t kOps = 16384;

// One step of a workload: free the slot if it is taken, else fill it with a
// block of `size` bytes (or resize it, for the realloc workload).
struct Op {
    std::uint32_t slot;
    std::uint32_t size;
};

// Mostly small blocks, a share of mid-sized ones and a few large buffers,
// touching slots at random so frees come in no particular order.
std::vector<Op> make_mixed_ops()
{
    std::mt19937 rng(7);
    std::vector<Op> ops(kOps);
    for (Op &op : ops) {
        op.slot = static_cast<std::uint32_t>(rng() % kSlots);
        const unsigned r = rng() % 100;
        if (r < 75) {
            op.size = 8 + rng() % 248;
        } else if (r < 97) {
            op.size = 256 + rng() % 3840;
        } else {
            op.size = 4096 + rng() % 61440;
        }
    }
    return ops;
}

const std::vector<Op> &mixed_ops()
{
    static const std::vector<Op> ops = make_mixed_ops();
    return ops;
}

// The heap's block, 16-byte aligned, made once.
std::byte *arena()
{
    static const auto storage = std::make_unique<std::byte[]>(kArenaSize + 16);
    const auto a = reinterpret_cast<std::uintptr_t>(storage.get());
    return storage.get() + ((16 - a % 16) % 16);
}

struct MspaceHeap {
    mspace msp = create_mspace_with_base(arena(), kArenaSize, 0);
    ~MspaceHeap() { destroy_mspace(msp); }
    void *alloc(std::size_t n) { return mspace_malloc(msp, n); }
    void *resize(void *p, std::size_t n) { return mspace_realloc(msp, p, n); }
    void release(void *p) { mspace_free(msp, p); }
};

struct SystemHeap {
    void *alloc(std::size_t n) { return std::malloc(n); }
    void *resize(void *p, std::size_t n) { return std::realloc(p, n); }
    void release(void *p) { std::free(p); }
};

// Each iteration replays the whole sequence from empty slots and frees what
// is left, so every iteration does the same work on both heaps.
template <class Heap>
void run_mixed(benchmark::State &state)
{
    Heap heap;
    const std::vector<Op> &ops = mixed_ops();
    std::vector<void *> slots(kSlots, nullptr);
    for (auto _ : state) {
        for (const Op &op : ops) {
            void *&p = slots[op.slot];
            if (p != nullptr) {
                heap.release(p);
                p = nullptr;
            } else {
                p = heap.alloc(op.size);
                if (p == nullptr) {
                    state.SkipWithError("allocation failed");
                    return;
                }
                static_cast<unsigned char *>(p)[0] = 1;  // touch it as a caller would
                benchmark::DoNotOptimize(p);
            }
        }
        for (void *&p : slots) {
            heap.release(p);
            p = nullptr;
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(ops.size()));
}

// The same sequence, but a taken slot is resized to the new size half the
// time instead of freed: growth and shrinkage next to live neighbours.
template <class Heap>
void run_realloc(benchmark::State &state)
{
    Heap heap;
    const std::vector<Op> &ops = mixed_ops();
    std::vector<void *> slots(kSlots, nullptr);
    for (auto _ : state) {
        std::size_t i = 0;
        for (const Op &op : ops) {
            void *&p = slots[op.slot];
            if (p != nullptr && (i++ & 1) == 0) {
                heap.release(p);
                p = nullptr;
                continue;
            }
            void *q = heap.resize(p, op.size);
            if (q == nullptr) {
                state.SkipWithError("allocation failed");
                return;
            }
            p = q;
            static_cast<unsigned char *>(p)[op.size - 1] = 1;
            benchmark::DoNotOptimize(p);
        }
        for (void *&p : slots) {
            heap.release(p);
            p = nullptr;
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(ops.size()));
}

// A tight allocate/free pair of one small size: the fast path alone.
template <class Heap>
void run_pair(benchmark::State &state)
{
    Heap heap;
    const auto size = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        void *p = heap.alloc(size);
        benchmark::DoNotOptimize(p);
        heap.release(p);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_MspaceMixed(benchmark::State &state) { run_mixed<MspaceHeap>(state); }
void BM_MallocMixed(benchmark::State &state) { run_mixed<SystemHeap>(state); }
void BM_MspaceRealloc(benchmark::State &state) { run_realloc<MspaceHeap>(state); }
void BM_MallocRealloc(benchmark::State &state) { run_realloc<SystemHeap>(state); }
void BM_MspacePair(benchmark::State &state) { run_pair<MspaceHeap>(state); }
void BM_MallocPair(benchmark::State &state) { run_pair<SystemHeap>(state); }

BENCHMARK(BM_MspaceMixed);
BENCHMARK(BM_MallocMixed);
BENCHMARK(BM_MspaceRealloc);
BENCHMARK(BM_MallocRealloc);
BENCHMARK(BM_MspacePair)->Arg(64)->Arg(1000);
BENCHMARK(BM_MallocPair)->Arg(64)->Arg(1000);

}  // namespace
