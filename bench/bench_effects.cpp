// The effect units: one 1024-frame stereo block through each unit's read;
// and aura-play --dsp against sox's equivalent effect on a 10-minute stereo
// 48 kHz pink-noise file, an effect's cost being the run with it minus the
// run without.
#include "aura.hpp"
#include "dsp/effects/aura_dsp_effect.h"
#include "system/aura_systemi.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

void BM_EffectBlock(benchmark::State &state)
{
    const auto index = static_cast<size_t>(state.range(0));
    AURA::SystemI system;
    system.mDSPBlockSize = 1024;
    system.mOutputRate = 48000;
    if (system.initDSPEngine() != AURA_OK || index >= AURA::builtInEffectUnits().size()) {
        state.SkipWithError("no unit");
        return;
    }
    AURA::DSPI *unit = nullptr;
    if (system.createDSPInternal(AURA::builtInEffectUnits()[index].describe(), &unit, true) != AURA_OK) {
        state.SkipWithError("unit not made");
        return;
    }
    unit->mDSPState.speakermask = 0xFFFF;
    (void)system.flushDSPConnectionRequests(false);
    state.SetLabel(unit->mDescription.name);
    std::vector<float> in(2048);
    unsigned int seed = 7;
    for (float &v : in) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<float>(static_cast<int>(seed >> 8) - (1 << 23)) / static_cast<float>(1 << 24);
    }
    std::vector<float> out(2048);
    unit->mDSPState.instance = unit;
    for (auto _ : state) {
        (void)unit->mDescription.read(&unit->mDSPState, in.data(), out.data(), 1024, 2, 2);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * 1024);
    (void)unit->release(true);
    (void)system.closeDSPEngine();
}
// Every unit of the engine's table, however long it grows.
void everyUnit(benchmark::internal::Benchmark *b)
{
    b->DenseRange(0, static_cast<int>(AURA::builtInEffectUnits().size()) - 1);
}
BENCHMARK(BM_EffectBlock)->Apply(everyUnit);

// A silent block after a second of full-scale noise and a minute of silence,
// at the unit's slowest setting (the IT echo: its longest tail), against a loud block: state left in the
// denormal range would make the silent one several times dearer on a thread
// without flush-to-zero. The ratio is the counter silent_over_loud.
void BM_EffectSilence(benchmark::State &state)
{
    const auto index = static_cast<size_t>(state.range(0));
    AURA::SystemI system;
    system.mDSPBlockSize = 1024;
    system.mOutputRate = 48000;
    if (system.initDSPEngine() != AURA_OK || index >= AURA::builtInEffectUnits().size()) {
        state.SkipWithError("no unit");
        return;
    }
    AURA::DSPI *units[2] = {};
    for (AURA::DSPI *&unit : units) {
        if (system.createDSPInternal(AURA::builtInEffectUnits()[index].describe(), &unit, true) != AURA_OK) {
            state.SkipWithError("unit not made");
            return;
        }
        unit->mDSPState.speakermask = 0xFFFF;
        unit->mDSPState.instance = unit;
        (void)system.flushDSPConnectionRequests(false); // the echo builds its line
        // The slowest settings: the lowest cutoff or centre, the longest
        // release or fade.
        const AURA_DSP_TYPE type = unit->mDescription.mType;
        if (type == AURA_DSP_TYPE_COMPRESSOR || type == AURA_DSP_TYPE_NORMALIZE) {
            (void)unit->setParameter(type == AURA_DSP_TYPE_COMPRESSOR ? 2 : 0, 1.0e9f);
        } else if (type == AURA_DSP_TYPE_ITECHO) {
            // The shortest lines and a feedback above one half, where the
            // tail would never leave the denormals.
            (void)unit->setParameter(1, 80.0f);
            (void)unit->setParameter(2, 1.0f);
            (void)unit->setParameter(3, 1.0f);
        } else if (type != AURA_DSP_TYPE_OSCILLATOR && type != AURA_DSP_TYPE_DISTORTION) {
            (void)unit->setParameter(0, 0.0f);
        }
    }
    state.SetLabel(units[0]->mDescription.name);
    std::vector<float> noise(2048);
    std::vector<float> silence(2048, 0.0f);
    std::vector<float> out(2048);
    unsigned int seed = 7;
    const auto block = [&](AURA::DSPI *unit, std::vector<float> &in) {
        (void)unit->mDescription.read(&unit->mDSPState, in.data(), out.data(), 1024, 2, 2);
    };
    for (int i = 0; i < 47; ++i) {
        for (float &v : noise) {
            seed = seed * 1664525u + 1013904223u;
            v = static_cast<float>(static_cast<int>(seed >> 8) - (1 << 23)) / static_cast<float>(1 << 23);
        }
        block(units[0], noise);
        block(units[1], noise);
    }
    for (int i = 0; i < 60 * 47; ++i) {
        block(units[0], silence);
    }
    double silent = 0.0, loud = 0.0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        block(units[0], silence);
        auto t1 = std::chrono::steady_clock::now();
        block(units[1], noise);
        auto t2 = std::chrono::steady_clock::now();
        silent += std::chrono::duration<double>(t1 - t0).count();
        loud += std::chrono::duration<double>(t2 - t1).count();
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["silent_over_loud"] = loud > 0.0 ? silent / loud : 0.0;
    for (AURA::DSPI *unit : units) {
        (void)unit->release(true);
    }
    (void)system.closeDSPEngine();
}
BENCHMARK(BM_EffectSilence)->Apply(everyUnit);

// The mixer's own work for voices that send to reverbs: 16 looping 3D voices
// on a non-real-time system, sending to the global reverb alone
// (configuration 0) or to the 3D reverb, two user reverbs and (at level 0)
// the global one (configuration 1). The reverb units are bypassed: they
// still gather their sends, but their kernels, which cost the same however
// many voices send, do not run. The same reverbs without voices give what is
// not the voices' and is taken away. The four systems are updated in turn
// within each iteration, so that a machine's changing load weighs on all of
// them alike; the ratio of the voices' costs is the counter voice_cost_ratio.
AURA::System *reverbSendSystem(int configuration, bool voices)
{
    AURA::System *system = nullptr;
    if (AURA::System_Create(&system) != AURA_OK || system->setOutput(AURA_OUTPUTTYPE_NOSOUND_NRT) != AURA_OK ||
        system->setSoftwareFormat(48000, AURA_SOUND_FORMAT_PCMFLOAT, 2, 2, AURA_DSP_RESAMPLER_LINEAR) != AURA_OK ||
        system->setDSPBufferSize(1024, 4) != AURA_OK || system->init(32, AURA_INIT_NORMAL, nullptr) != AURA_OK) {
        if (system) {
            (void)system->release();
        }
        return nullptr;
    }
    AURA_REVERB_PROPERTIES room{};
    room.Environment = 0;
    room.Room = -1000;
    room.DecayTime = 1.49f;
    room.DecayHFRatio = 0.83f;
    room.Reflections = -2602;
    room.Reverb = 200;
    room.ReverbDelay = 0.011f;
    room.HFReference = 5000.0f;
    room.Diffusion = 100.0f;
    room.Density = 100.0f;
    bool ok = system->setReverbProperties(&room) == AURA_OK;
    if (configuration == 1) {
        ok = ok && system->setReverbAmbientProperties(&room) == AURA_OK;
        for (int i = 0; i < 2; ++i) {
            AURA::Reverb *reverb = nullptr;
            const AURA_VECTOR at{static_cast<float>(i * 4 - 2), 0.0f, 2.0f};
            ok = ok && system->createReverb(&reverb) == AURA_OK &&
                 reverb->set3DAttributes(&at, 5.0f, 50.0f) == AURA_OK && reverb->setProperties(&room) == AURA_OK;
        }
    }
    // A game's effect: 16-bit at 44.1 kHz, resampled to the 48 kHz mix.
    std::vector<int16_t> pcm(44100);
    for (size_t i = 0; i < pcm.size(); ++i) {
        pcm[i] = static_cast<int16_t>(8000.0 * std::sin(0.0627 * static_cast<double>(i)));
    }
    AURA_CREATESOUNDEXINFO info{};
    info.cbsize = sizeof(info);
    info.length = static_cast<unsigned int>(pcm.size() * 2);
    info.numchannels = 1;
    info.defaultfrequency = 44100;
    info.format = AURA_SOUND_FORMAT_PCM16;
    AURA::Sound *sound = nullptr;
    ok = ok && system->createSound(nullptr, AURA_OPENUSER | AURA_3D | AURA_LOOP_NORMAL, &info, &sound) == AURA_OK;
    void *data = nullptr;
    unsigned int length = 0;
    ok = ok && sound->lock(0, info.length, &data, nullptr, &length, nullptr) == AURA_OK;
    if (ok) {
        std::memcpy(data, pcm.data(), length);
        ok = sound->unlock(data, nullptr, length, 0) == AURA_OK;
    }
    for (int v = 0; ok && voices && v < 16; ++v) {
        AURA::Channel *channel = nullptr;
        const AURA_VECTOR at{static_cast<float>(v % 4) - 1.5f, 0.0f, static_cast<float>(v / 4) + 1.0f};
        ok = system->playSound(AURA_CHANNEL_FREE, sound, false, &channel) == AURA_OK &&
             channel->set3DAttributes(&at, nullptr) == AURA_OK;
    }
    if (!ok) {
        (void)system->release();
        return nullptr;
    }
    AURA::SystemI *internal = nullptr;
    (void)AURA::SystemI::validate(system, &internal);
    const auto bypass = [](AURA::ReverbI &reverb) {
        for (AURA::ReverbInstance &instance : reverb.mInstance) {
            if (instance.mDSP) {
                instance.mDSP->setBypass(true);
            }
        }
    };
    bypass(internal->mReverbGlobal);
    bypass(internal->mReverb3D);
    internal->forEachUserReverb(bypass);
    for (int i = 0; i < 8; ++i) {
        (void)system->update(); // joins and ramps settle
    }
    return system;
}

void BM_ReverbSends(benchmark::State &state)
{
    // [configuration][with voices]
    AURA::System *systems[2][2] = {};
    bool ok = true;
    for (int c = 0; c < 2; ++c) {
        for (int v = 0; v < 2; ++v) {
            systems[c][v] = reverbSendSystem(c, v != 0);
            ok = ok && systems[c][v];
        }
    }
    const auto cpu = [] {
        timespec t{};
        (void)clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
    };
    double seconds[2][2] = {};
    for (auto _ : state) {
        if (!ok) {
            state.SkipWithError("set-up failed");
            break;
        }
        for (int c = 0; c < 2; ++c) {
            for (int v = 0; v < 2; ++v) {
                const double start = cpu();
                (void)systems[c][v]->update();
                seconds[c][v] += cpu() - start;
            }
        }
    }
    const double base = seconds[0][1] - seconds[0][0];
    const double all = seconds[1][1] - seconds[1][0];
    if (ok && base > 0.0) {
        const auto n = static_cast<double>(state.iterations());
        state.counters["voice_cost_ratio"] = all / base;
        state.counters["global_us"] = base / n * 1e6;
        state.counters["all_four_us"] = all / n * 1e6;
    }
    for (auto &row : systems) {
        for (AURA::System *system : row) {
            if (system) {
                (void)system->release();
            }
        }
    }
}
BENCHMARK(BM_ReverbSends)->MinTime(4.0);

#ifdef AURA_PLAY_PATH

namespace fs = std::filesystem;

double runSeconds(const std::string &command)
{
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system(command.c_str());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return status == 0 ? seconds : -1.0;
}

// The pink-noise file, made once.
const std::string &pinkNoise()
{
    static const std::string path = [] {
        const fs::path dir = fs::temp_directory_path() / "aura_bench_effects";
        fs::create_directories(dir);
        const fs::path file = dir / "pink.wav";
        if (!fs::exists(file)) {
            (void)std::system(
                ("sox -D -n -r 48000 -c 2 -b 16 " + file.string() + " synth 600 pinknoise vol 0.5").c_str());
        }
        return fs::exists(file) ? file.string() : std::string();
    }();
    return path;
}

struct Equivalent {
    const char *unit; // aura-play's options
    const char *sox;  // sox's effects
};

// Plain constants, so that the report at exit can still read them. The
// simple lowpass's section is a = (1/fs) / (1/(2 pi fc) + 1/fs) at 1 kHz and
// 48 kHz.
constexpr Equivalent kEquivalents[] = {
    {"", ""},
    {"--dsp lowpass:cutoff=1000", "lowpass 1000 1.30656q lowpass 1000 0.541196q"},
    {"--dsp highpass:cutoff=1000", "highpass 1000 1q"},
    {"--dsp parameq:center=1000,octave=1,gain=2", "equalizer 1000 1q 12.0412"},
    {"--dsp lowpass-simple:cutoff=1000",
     "biquad 0.115748281 0 0 1 -0.884251719 0 biquad 0.115748281 0 0 1 -0.884251719 0"},
    {"--dsp compressor:threshold=-20", "compand 0.05,0.05 -20,-20,0,-20"},
    {"--dsp distortion:level=0.5", "overdrive 20"},
    {"--dsp normalize", "gain -n"},
    {"--dsp echo:delay=500,decay=0.5", "echos 1 1 500 0.5"},
    {"--dsp flange", "flanger"},
    {"--dsp chorus", "chorus 0.5 0.5 40 0.5 0.8 2 -t 40 0.5 0.8 2 -t 40 0.5 0.8 2 -t"},
    {"--dsp pitch-shifter:pitch=2", "pitch 1200"},
    {"--reverb decaytime=1.49", "reverb"},
};
constexpr int kNumEquivalents = static_cast<int>(sizeof(kEquivalents) / sizeof(kEquivalents[0]));

std::map<std::string, double> gSeconds; // "aura <unit>" / "sox <unit>": mean seconds

void runCommand(benchmark::State &state, const std::string &key, const std::string &command)
{
    if (pinkNoise().empty()) {
        state.SkipWithError("no input file");
        return;
    }
    double total = 0;
    for (auto _ : state) {
        const double seconds = runSeconds(command);
        if (seconds < 0) {
            state.SkipWithError("the command failed");
            return;
        }
        state.SetIterationTime(seconds);
        total += seconds;
    }
    gSeconds[key] = total / static_cast<double>(state.iterations());
}

void BM_AuraPlayEffect(benchmark::State &state)
{
    const Equivalent &e = kEquivalents[state.range(0)];
    state.SetLabel(*e.unit ? e.unit : "(none)");
    const std::string out = pinkNoise() + ".aura.wav";
    runCommand(state, std::string("aura ") + e.unit,
               std::string(AURA_PLAY_PATH) + " -q -o " + out + " " + pinkNoise() + " " + e.unit);
}

void BM_SoxEffect(benchmark::State &state)
{
    const Equivalent &e = kEquivalents[state.range(0)];
    state.SetLabel(*e.sox ? e.sox : "(none)");
    const std::string out = pinkNoise() + ".sox.wav";
    runCommand(state, std::string("sox ") + e.unit, std::string("sox -D ") + pinkNoise() + " " + out + " " + e.sox);
}

// rubberband's pitch shift of the same file, whole: it has no run without
// the effect, so it is set against aura-play's whole run with the pitch
// shifter.
void BM_RubberbandPitch(benchmark::State &state)
{
    const std::string out = pinkNoise() + ".rb.wav";
    runCommand(state, "rubberband", "rubberband -q -p 12 " + pinkNoise() + " " + out + " >/dev/null 2>&1");
}

void BM_AuraPlayOscillator(benchmark::State &state)
{
    const std::string out = pinkNoise() + ".aura.wav";
    runCommand(state, "aura oscillator",
               std::string(AURA_PLAY_PATH) + " -q -o " + out + " --rate 48000 --duration 600000 --dsp oscillator");
}

void BM_SoxSynth(benchmark::State &state)
{
    const std::string out = pinkNoise() + ".sox.wav";
    runCommand(state, "sox oscillator", "sox -D -r 48000 -n -c 2 -b 16 " + out + " synth 600 sine 220");
}

// Each effect's cost in both programs, once every run is done.
struct Report {
    ~Report()
    {
        const double auraBase = gSeconds["aura "];
        const double soxBase = gSeconds["sox "];
        for (const Equivalent &e : kEquivalents) {
            if (!*e.unit || !gSeconds.count(std::string("aura ") + e.unit) ||
                !gSeconds.count(std::string("sox ") + e.unit)) {
                continue;
            }
            const double aura = gSeconds[std::string("aura ") + e.unit] - auraBase;
            const double sox = gSeconds[std::string("sox ") + e.unit] - soxBase;
            std::fprintf(stderr, "600 s pink noise, effect cost: %-40s aura-play %.4f s, sox %.4f s; ratio %.3f\n",
                         e.unit, aura, sox, sox > 0 ? aura / sox : 0.0);
        }
        const std::string pitch = "aura --dsp pitch-shifter:pitch=2";
        if (gSeconds.count(pitch) && gSeconds.count("rubberband")) {
            std::fprintf(stderr, "600 s pink noise, whole run: aura-play pitch shifter %.4f s, rubberband -p 12 %.4f s; "
                                 "ratio %.3f\n",
                         gSeconds[pitch], gSeconds["rubberband"], gSeconds[pitch] / gSeconds["rubberband"]);
        }
        if (gSeconds.count("aura oscillator") && gSeconds.count("sox oscillator")) {
            std::fprintf(stderr, "600 s sine: aura-play %.4f s, sox synth %.4f s; ratio %.3f\n",
                         gSeconds["aura oscillator"], gSeconds["sox oscillator"],
                         gSeconds["aura oscillator"] / gSeconds["sox oscillator"]);
        }
    }
} gReport;

BENCHMARK(BM_AuraPlayEffect)
    ->DenseRange(0, kNumEquivalents - 1)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SoxEffect)->DenseRange(0, kNumEquivalents - 1)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RubberbandPitch)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AuraPlayOscillator)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SoxSynth)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

#endif

} // namespace
