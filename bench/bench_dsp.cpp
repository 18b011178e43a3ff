// The cost of one mix block: N constant sources pulled through their
// connections into the sound card, as later voice benchmarks will compare.
#include "base/aura_string.h"
#include "system/aura_systemi.h"
#include "dsp/aura_dsp_filter.h"
#include "dsp/units/aura_dsp_soundcard.h"
#include "os/aura_os.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

AURA_RESULT constantSource(AURA_DSP_STATE *, float *, float *out, unsigned int length, int,
                           int outchannels)
{
    const unsigned int n = length * static_cast<unsigned int>(outchannels);
    for (unsigned int i = 0; i < n; ++i) {
        out[i] = 0.001f;
    }
    return AURA_OK;
}

void BM_PullSources(benchmark::State &state, AURA_SOUND_FORMAT format, int sourceChannels)
{
    const auto sources = static_cast<int>(state.range(0));
    AURA::SystemI system;
    system.mDSPBlockSize = 1024;
    system.mOutputFormat = format;
    if (system.initDSPEngine() != AURA_OK) {
        state.SkipWithError("DSP engine did not start");
        return;
    }
    AURA::DSPI *head = system.mDSPSoundCard;
    std::vector<AURA::DSPI *> units;
    for (int i = 0; i < sources; ++i) {
        AURA::AURA_DSP_DESCRIPTION_EX description{};
        AURA_strcpy(description.name, "bench source");
        description.channels = sourceChannels;
        description.read = constantSource;
        AURA::DSPI *unit = nullptr;
        if (system.createDSP(&description, &unit, true) != AURA_OK ||
            head->addInput(unit, nullptr) != AURA_OK) {
            state.SkipWithError("graph could not be built");
            return;
        }
        unit->setActive(true);
        units.push_back(unit);
    }
    std::vector<float> out(1024 * 2);
    for (auto _ : state) {
        AURA::CriticalSectionGuard guard(system.mDSPCrit);
        (void)system.flushDSPConnectionRequests(false);
        unsigned int length = 1024;
        (void)head->read(out.data(), &length, AURA_SPEAKERMODE_STEREO, 2, system.nextDSPTick());
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["ns_per_block"] =
        benchmark::Counter(static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["sources"] = sources;
    for (AURA::DSPI *unit : units) {
        (void)unit->release(true);
    }
}

BENCHMARK_CAPTURE(BM_PullSources, stereo_float, AURA_SOUND_FORMAT_PCMFLOAT, 2)->Arg(32)->Arg(128)->Arg(512);
BENCHMARK_CAPTURE(BM_PullSources, mono_pcm16, AURA_SOUND_FORMAT_PCM16, 1)->Arg(32)->Arg(128)->Arg(512);

} // namespace
