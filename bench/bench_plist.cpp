// Reading property lists of N integers: binary with every value its own
// object, binary with equal values stored once (as other writers store them),
// and the same list as XML. Each should grow with N alone.
#include "deep_plist.h"
#include "platform/plist.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

platform::PlistValue integers(std::int64_t n)
{
    platform::PlistArray array;
    array.reserve(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) array.emplace_back(i);
    return platform::PlistValue(std::move(array));
}

void readAll(benchmark::State &state, const std::vector<std::uint8_t> &bytes)
{
    for (auto _ : state) {
        auto read = platform::plistFromBytes(bytes);
        if (!read) state.SkipWithError("the list was refused");
        benchmark::DoNotOptimize(read);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}

void BM_PlistBinaryDistinct(benchmark::State &state)
{
    readAll(state, platform::plistToBinary(integers(state.range(0))));
}

void BM_PlistBinarySharedValues(benchmark::State &state)
{
    readAll(state, testsupport::sharedValuesBinaryPlist(static_cast<std::size_t>(state.range(0)), 16));
}

void BM_PlistXml(benchmark::State &state)
{
    const std::string xml = platform::plistToXml(integers(state.range(0)));
    readAll(state, std::vector<std::uint8_t>(xml.begin(), xml.end()));
}

} // namespace

BENCHMARK(BM_PlistBinaryDistinct)->RangeMultiplier(4)->Range(1 << 12, 1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlistBinarySharedValues)->RangeMultiplier(4)->Range(1 << 12, 1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlistXml)->RangeMultiplier(4)->Range(1 << 12, 1 << 20)->Unit(benchmark::kMillisecond);
