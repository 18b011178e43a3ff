// The memory pool's cost over the C library it forwards to: the same
// allocation pattern through MemPool and straight through malloc/free.
#include "base/aura_globals.h"
#include "base/aura_memory.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>

namespace {

constexpr const char kTag[] = "bench/bench_memory";

// A fixed mix of small and medium sizes, as codecs and DSP units ask for.
constexpr std::array<int, 16> kSizes = {16, 48, 200, 1024, 24, 4096, 96, 512,
                                        64, 2048, 32, 160, 8192, 40, 300, 128};

void BM_PoolAllocFree(benchmark::State &state)
{
    AURA::MemPool &pool = *AURA::gGlobal->mMemPool;
    std::array<void *, kSizes.size()> live{};
    for (auto _ : state) {
        for (size_t i = 0; i < kSizes.size(); ++i) {
            live[i] = pool.alloc(kSizes[i], kTag, __LINE__);
        }
        benchmark::DoNotOptimize(live.data());
        for (void *p : live) {
            pool.free(p, kTag, __LINE__);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kSizes.size()));
}
BENCHMARK(BM_PoolAllocFree)->ThreadRange(1, 4)->UseRealTime();

void BM_MallocFree(benchmark::State &state)
{
    std::array<void *, kSizes.size()> live{};
    for (auto _ : state) {
        for (size_t i = 0; i < kSizes.size(); ++i) {
            live[i] = std::malloc(static_cast<size_t>(kSizes[i]) + 16);
        }
        benchmark::DoNotOptimize(live.data());
        for (void *p : live) {
            std::free(p);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kSizes.size()));
}
BENCHMARK(BM_MallocFree)->ThreadRange(1, 4)->UseRealTime();

} // namespace
