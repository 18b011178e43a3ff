// Voices side by side, in one run: the engine's software voices, OpenAL
// Soft's loopback device, a plain fused loop of the same job written here
// (bench_reference_mix.h, built for the instruction set of the engine's
// kernel set in use) and the engine's fused kernel called alone. The job: N
// looping 16-bit mono voices at 44.1 kHz, pitched from 0.5 to 2.0 and
// resampled with linear interpolation into 48 kHz stereo float, 1024 frames
// a block; every voice reads one shared sample, or each its own; and, when
// asked, every voice's volume changes before every block (a level ramp).
// items_per_second is voice-frames per CPU-second. Run one core and every
// kernel set with tools/bench-voices, which prints the ratios.
#include "aura.h"
#include "aura.hpp"
#include "bench_reference_mix.h"
#include "dsp/units/aura_dsp_mixkernels.h"
#include "dsp/units/aura_dsp_resampler.h"

#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <vector>

namespace {

constexpr int SOURCE_RATE = 44100;
constexpr int OUTPUT_RATE = 48000;
constexpr int BLOCK = 1024;
constexpr int SOURCE_FRAMES = SOURCE_RATE / 10;

// What a benchmark's arguments ask for: voices, a sample per voice, ramps.
struct Job {
    int voices;
    bool ownSamples;
    bool ramps;
    explicit Job(const benchmark::State &state)
        : voices(static_cast<int>(state.range(0))), ownSamples(state.range(1) != 0), ramps(state.range(2) != 0)
    {
    }
    [[nodiscard]] int samples() const { return ownSamples ? voices : 1; }
    // The volume of every voice before block `b`: the same each block, or
    // two levels in turn.
    [[nodiscard]] float gain(int64_t b) const
    {
        return (ramps && (b & 1) ? 0.5f : 1.0f) / static_cast<float>(voices);
    }
};

// A tone per sample, and its first frame again after the last (for the
// reference loop, whose interpolation reads one frame ahead).
std::vector<int16_t> tone(int index)
{
    std::vector<int16_t> samples(SOURCE_FRAMES + 1);
    const double hz = 220.0 + 7.0 * index;
    for (int i = 0; i < SOURCE_FRAMES; ++i) {
        samples[static_cast<size_t>(i)] =
            static_cast<int16_t>(8000.0 * std::sin(2.0 * std::numbers::pi * hz * i / SOURCE_RATE));
    }
    samples[SOURCE_FRAMES] = samples[0];
    return samples;
}

AURA_CREATESOUNDEXINFO monoInfo(unsigned int frames)
{
    AURA_CREATESOUNDEXINFO exinfo{};
    exinfo.cbsize = sizeof(exinfo);
    exinfo.length = frames * 2;
    exinfo.numchannels = 1;
    exinfo.defaultfrequency = SOURCE_RATE;
    exinfo.format = AURA_SOUND_FORMAT_PCM16;
    return exinfo;
}

float pitchOf(int voice, int voices)
{
    return 0.5f + 1.5f * static_cast<float>(voice) / static_cast<float>(voices > 1 ? voices - 1 : 1);
}

uint64_t stepOf(int voice, int voices)
{
    return static_cast<uint64_t>(static_cast<double>(pitchOf(voice, voices)) * SOURCE_RATE / OUTPUT_RATE *
                                 4294967296.0);
}

// A system that mixes 48 kHz stereo float in blocks of 1024 frames, one
// block an update, on `channels` channels; null (the benchmark skipped) when
// it does not start.
AURA::System *startSystem(benchmark::State &state, int channels)
{
    AURA_SYSTEM *handle = nullptr;
    if (AURA_System_Create(&handle) != AURA_OK) {
        state.SkipWithError("no system");
        return nullptr;
    }
    auto *system = reinterpret_cast<AURA::System *>(handle);
    (void)system->setOutput(AURA_OUTPUTTYPE_NOSOUND_NRT);
    (void)system->setSoftwareFormat(OUTPUT_RATE, AURA_SOUND_FORMAT_PCMFLOAT, 2, 2, AURA_DSP_RESAMPLER_LINEAR);
    (void)system->setDSPBufferSize(BLOCK, 4);
    if (system->init(channels, AURA_INIT_NORMAL, nullptr) != AURA_OK) {
        state.SkipWithError("init failed");
        (void)system->release();
        return nullptr;
    }
    return system;
}

void finish(benchmark::State &state, const Job &job)
{
    state.SetItemsProcessed(state.iterations() * job.voices * BLOCK);
    state.SetLabel(AURA::mixKernelSetName(AURA::mixKernelSet()));
}

void BM_EngineVoices(benchmark::State &state)
{
    const Job job(state);
    AURA::System *system = startSystem(state, job.voices);
    if (!system) {
        return;
    }
    std::vector<AURA::Sound *> sounds;
    for (int s = 0; s < job.samples(); ++s) {
        const std::vector<int16_t> samples = tone(s);
        AURA_CREATESOUNDEXINFO exinfo = monoInfo(SOURCE_FRAMES);
        AURA::Sound *sound = nullptr;
        void *data = nullptr;
        unsigned int length = 0;
        if (system->createSound(nullptr, AURA_OPENUSER | AURA_LOOP_NORMAL, &exinfo, &sound) != AURA_OK ||
            sound->lock(0, exinfo.length, &data, nullptr, &length, nullptr) != AURA_OK) {
            state.SkipWithError("no sound");
            (void)system->release();
            return;
        }
        std::memcpy(data, samples.data(), length);
        sounds.push_back(sound);
    }
    std::vector<AURA::Channel *> channels;
    for (int v = 0; v < job.voices; ++v) {
        AURA::Channel *channel = nullptr;
        if (system->playSound(AURA_CHANNEL_FREE, sounds[static_cast<size_t>(v % job.samples())], true, &channel) !=
                AURA_OK ||
            channel->setFrequency(SOURCE_RATE * pitchOf(v, job.voices)) != AURA_OK ||
            channel->setVolume(job.gain(0)) != AURA_OK || channel->setPaused(false) != AURA_OK) {
            state.SkipWithError("a voice did not start");
            (void)system->release();
            return;
        }
        channels.push_back(channel);
    }
    int64_t block = 0;
    for (auto _ : state) {
        if (job.ramps) {
            const float gain = job.gain(++block);
            for (AURA::Channel *channel : channels) {
                (void)channel->setVolume(gain);
            }
        }
        if (system->update() != AURA_OK) {
            state.SkipWithError("update failed");
            break;
        }
    }
    finish(state, job);
    (void)system->release();
}

void BM_OpenALSoftVoices(benchmark::State &state)
{
    const Job job(state);
    if (!alcIsExtensionPresent(nullptr, "ALC_SOFT_loopback")) {
        state.SkipWithError("no loopback device");
        return;
    }
    auto openLoopback =
        reinterpret_cast<LPALCLOOPBACKOPENDEVICESOFT>(alcGetProcAddress(nullptr, "alcLoopbackOpenDeviceSOFT"));
    auto renderSamples = reinterpret_cast<LPALCRENDERSAMPLESSOFT>(alcGetProcAddress(nullptr, "alcRenderSamplesSOFT"));
    ALCdevice *device = openLoopback ? openLoopback(nullptr) : nullptr;
    if (!device || !renderSamples) {
        state.SkipWithError("loopback device did not open");
        return;
    }
    const ALCint attributes[] = {ALC_FORMAT_CHANNELS_SOFT, ALC_STEREO_SOFT, ALC_FORMAT_TYPE_SOFT, ALC_FLOAT_SOFT,
                                 ALC_FREQUENCY, OUTPUT_RATE, ALC_MONO_SOURCES, job.voices, ALC_HRTF_SOFT, ALC_FALSE,
                                 0};
    ALCcontext *context = alcCreateContext(device, attributes);
    if (!context || !alcMakeContextCurrent(context)) {
        state.SkipWithError("no context");
        alcCloseDevice(device);
        return;
    }
    // The linear resampler, as the engine uses.
    ALint resampler = 0;
    if (alIsExtensionPresent("AL_SOFT_source_resampler")) {
        auto getStringi = reinterpret_cast<LPALGETSTRINGISOFT>(alGetProcAddress("alGetStringiSOFT"));
        const ALint count = alGetInteger(AL_NUM_RESAMPLERS_SOFT);
        for (ALint i = 0; getStringi && i < count; ++i) {
            if (std::strcmp(getStringi(AL_RESAMPLER_NAME_SOFT, i), "Linear") == 0) {
                resampler = i;
            }
        }
    }
    std::vector<ALuint> buffers(static_cast<size_t>(job.samples()));
    alGenBuffers(job.samples(), buffers.data());
    for (int s = 0; s < job.samples(); ++s) {
        const std::vector<int16_t> samples = tone(s);
        alBufferData(buffers[static_cast<size_t>(s)], AL_FORMAT_MONO16, samples.data(), SOURCE_FRAMES * 2,
                     SOURCE_RATE);
    }
    std::vector<ALuint> sources(static_cast<size_t>(job.voices));
    alGenSources(job.voices, sources.data());
    if (alGetError() != AL_NO_ERROR) {
        state.SkipWithError("not that many sources");
    }
    for (int v = 0; v < job.voices; ++v) {
        const ALuint source = sources[static_cast<size_t>(v)];
        alSourcei(source, AL_BUFFER, static_cast<ALint>(buffers[static_cast<size_t>(v % job.samples())]));
        alSourcei(source, AL_LOOPING, AL_TRUE);
        alSourcei(source, AL_SOURCE_RELATIVE, AL_TRUE);
        alSource3f(source, AL_POSITION, 0.0f, 0.0f, 0.0f);
        alSourcef(source, AL_PITCH, pitchOf(v, job.voices));
        alSourcef(source, AL_GAIN, job.gain(0));
        if (resampler) {
            alSourcei(source, AL_SOURCE_RESAMPLER_SOFT, resampler);
        }
        alSourcePlay(source);
    }
    std::vector<float> out(static_cast<size_t>(BLOCK) * 2);
    int64_t block = 0;
    for (auto _ : state) {
        if (job.ramps) {
            const float gain = job.gain(++block);
            for (ALuint source : sources) {
                alSourcef(source, AL_GAIN, gain);
            }
        }
        renderSamples(device, out.data(), BLOCK);
        benchmark::DoNotOptimize(out.data());
    }
    finish(state, job);
    alDeleteSources(job.voices, sources.data());
    alDeleteBuffers(job.samples(), buffers.data());
    alcMakeContextCurrent(nullptr);
    alcDestroyContext(context);
    alcCloseDevice(device);
}

using ReferenceMix = void (*)(float *, unsigned int, bench::ReferenceVoice *, int);

// The reference loop of the engine's kernel set (the baseline one when the
// engine runs without fused kernels).
ReferenceMix referenceOfSet()
{
    switch (AURA::mixKernelSet()) {
    case AURA::MixKernelSet::AVX512: return bench::referenceMixAVX512;
    case AURA::MixKernelSet::AVX2: return bench::referenceMixAVX2;
    default: return bench::referenceMixBaseline;
    }
}

void BM_ReferenceVoices(benchmark::State &state)
{
    const Job job(state);
    std::vector<std::vector<int16_t>> samples;
    for (int s = 0; s < job.samples(); ++s) {
        samples.push_back(tone(s));
    }
    std::vector<bench::ReferenceVoice> voices(static_cast<size_t>(job.voices));
    for (int v = 0; v < job.voices; ++v) {
        bench::ReferenceVoice &voice = voices[static_cast<size_t>(v)];
        voice.samples = samples[static_cast<size_t>(v % job.samples())].data();
        voice.frames = SOURCE_FRAMES;
        voice.step = stepOf(v, job.voices);
        // Centre pan at the constant-power law, as the engine's voices.
        voice.left = voice.right = voice.fromLeft = voice.fromRight = job.gain(0) * std::numbers::sqrt2_v<float> / 2;
    }
    const ReferenceMix mix = referenceOfSet();
    std::vector<float> out(static_cast<size_t>(BLOCK) * 2);
    int64_t block = 0;
    for (auto _ : state) {
        if (job.ramps) {
            const float gain = job.gain(++block) * std::numbers::sqrt2_v<float> / 2;
            for (bench::ReferenceVoice &voice : voices) {
                voice.left = voice.right = gain;
            }
        }
        std::memset(out.data(), 0, out.size() * sizeof(float));
        mix(out.data(), BLOCK, voices.data(), job.voices);
        benchmark::DoNotOptimize(out.data());
    }
    finish(state, job);
}

// The engine's fused kernel on the same job with nothing around it: what the
// engine would reach without the work of its graph and its channels.
void BM_EngineKernelVoices(benchmark::State &state)
{
    const Job job(state);
    if (AURA::mixKernelSet() == AURA::MixKernelSet::General) {
        state.SkipWithError("no fused kernels in use");
        return;
    }
    std::vector<std::vector<int16_t>> samples;
    for (int s = 0; s < job.samples(); ++s) {
        samples.push_back(tone(s));
    }
    std::vector<int64_t> positions(static_cast<size_t>(job.voices), 0);
    std::vector<float> out(static_cast<size_t>(BLOCK) * 2);
    constexpr int64_t end = int64_t{SOURCE_FRAMES} << 32;
    for (auto _ : state) {
        std::memset(out.data(), 0, out.size() * sizeof(float));
        for (int v = 0; v < job.voices; ++v) {
            const std::vector<int16_t> &sample = samples[static_cast<size_t>(v % job.samples())];
            // The loop's last frame leads into its first, as in a wavetable.
            const AURA::ResamplerEdge edge{SOURCE_FRAMES - 1, sample.data()};
            AURA::MixRun run;
            run.source = reinterpret_cast<const uint8_t *>(sample.data());
            run.format = AURA_SOUND_FORMAT_PCM16;
            run.step = static_cast<int64_t>(stepOf(v, job.voices));
            run.levels[0][0] = run.levels[1][0] = job.gain(0) * std::numbers::sqrt2_v<float> / 2;
            int64_t &position = positions[static_cast<size_t>(v)];
            for (unsigned int done = 0; done < BLOCK;) {
                const auto toEnd = static_cast<uint64_t>(end - position);
                const uint64_t frames = (toEnd + static_cast<uint64_t>(run.step) - 1) / static_cast<uint64_t>(run.step);
                const auto count = static_cast<unsigned int>(frames < BLOCK - done ? frames : BLOCK - done);
                run.count = count;
                run.out = out.data() + 2 * done;
                run.position = position;
                AURA::mixResampled(run, edge, SOURCE_FRAMES);
                position = run.position >= end ? run.position - end : run.position;
                done += count;
            }
        }
        benchmark::DoNotOptimize(out.data());
    }
    finish(state, job);
}

// A sound's release among N playing channels: it finds its own channel
// without looking at the others.
void BM_SoundRelease(benchmark::State &state)
{
    const auto channels = static_cast<int>(state.range(0));
    AURA::System *system = startSystem(state, channels);
    if (!system) {
        return;
    }
    AURA_CREATESOUNDEXINFO exinfo = monoInfo(32);
    AURA::Sound *busy = nullptr;
    (void)system->createSound(nullptr, AURA_OPENUSER | AURA_LOOP_NORMAL, &exinfo, &busy);
    for (int c = 1; busy && c < channels; ++c) {
        (void)system->playSound(AURA_CHANNEL_FREE, busy, false, nullptr);
    }
    for (auto _ : state) {
        AURA::Sound *sound = nullptr;
        if (system->createSound(nullptr, AURA_OPENUSER, &exinfo, &sound) != AURA_OK ||
            system->playSound(AURA_CHANNEL_FREE, sound, false, nullptr) != AURA_OK) {
            state.SkipWithError("no play");
            break;
        }
        const auto start = std::chrono::steady_clock::now();
        (void)sound->release();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    (void)system->release();
}

// A play, and the stop that frees its voice again, among N-1 busy channels:
// the free voice is found without looking at the busy ones.
void BM_PlayAmongBusy(benchmark::State &state)
{
    const auto channels = static_cast<int>(state.range(0));
    AURA::System *system = startSystem(state, channels);
    if (!system) {
        return;
    }
    AURA_CREATESOUNDEXINFO exinfo = monoInfo(32);
    AURA::Sound *sound = nullptr;
    (void)system->createSound(nullptr, AURA_OPENUSER | AURA_LOOP_NORMAL, &exinfo, &sound);
    for (int c = 1; sound && c < channels; ++c) {
        (void)system->playSound(AURA_CHANNEL_FREE, sound, false, nullptr);
    }
    for (auto _ : state) {
        AURA::Channel *channel = nullptr;
        const auto start = std::chrono::steady_clock::now();
        if (!sound || system->playSound(AURA_CHANNEL_FREE, sound, false, &channel) != AURA_OK) {
            state.SkipWithError("no play");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        (void)channel->stop();
    }
    (void)system->release();
}

// Voices 1 to 4095; one shared sample or one per voice; steady or ramped.
void arguments(benchmark::internal::Benchmark *b, bool ramps)
{
    b->ArgNames({"voices", "own_samples", "ramps"});
    for (int ramped = 0; ramped <= (ramps ? 1 : 0); ++ramped) {
        for (int own : {0, 1}) {
            for (int voices : {1, 32, 128, 512, 2048, 4095}) {
                b->Args({voices, own, ramped});
            }
        }
    }
}
void voiceArguments(benchmark::internal::Benchmark *b)
{
    arguments(b, true);
}
// The kernel alone has steady levels only.
void steadyArguments(benchmark::internal::Benchmark *b)
{
    arguments(b, false);
}

} // namespace

BENCHMARK(BM_EngineVoices)->Apply(voiceArguments)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenALSoftVoices)->Apply(voiceArguments)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReferenceVoices)->Apply(voiceArguments)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EngineKernelVoices)->Apply(steadyArguments)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SoundRelease)->Arg(64)->Arg(4095)->UseManualTime()->Unit(benchmark::kNanosecond);
BENCHMARK(BM_PlayAmongBusy)->Arg(64)->Arg(4095)->UseManualTime()->Unit(benchmark::kNanosecond);
