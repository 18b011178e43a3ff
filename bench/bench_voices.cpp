// N looping 16-bit mono voices at 44.1 kHz, pitched from 0.5 to 2.0 and
// resampled with linear interpolation into 48 kHz stereo float: the engine's
// software voices against OpenAL Soft rendering the same sources through its
// loopback device. items_per_second is voice-frames per CPU-second; divide
// the engine's by OpenAL Soft's for the ratio.
#include "aura.h"
#include "aura.hpp"

#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <vector>

namespace {

constexpr int SOURCE_RATE = 44100;
constexpr int OUTPUT_RATE = 48000;
constexpr int BLOCK = 1024;
constexpr int SOURCE_FRAMES = SOURCE_RATE / 2;

std::vector<int16_t> sourceTone()
{
    std::vector<int16_t> tone(SOURCE_FRAMES);
    for (int i = 0; i < SOURCE_FRAMES; ++i) {
        tone[static_cast<size_t>(i)] =
            static_cast<int16_t>(8000.0 * std::sin(2.0 * std::numbers::pi * 440.0 * i / SOURCE_RATE));
    }
    return tone;
}

float pitchOf(int voice, int voices)
{
    return 0.5f + 1.5f * static_cast<float>(voice) / static_cast<float>(voices > 1 ? voices - 1 : 1);
}

void BM_EngineVoices(benchmark::State &state)
{
    const int voices = static_cast<int>(state.range(0));
    AURA::System *system = nullptr;
    AURA_SYSTEM *handle = nullptr;
    if (AURA_System_Create(&handle) != AURA_OK) {
        state.SkipWithError("no system");
        return;
    }
    system = reinterpret_cast<AURA::System *>(handle);
    (void)system->setOutput(AURA_OUTPUTTYPE_NOSOUND_NRT);
    (void)system->setSoftwareFormat(OUTPUT_RATE, AURA_SOUND_FORMAT_PCMFLOAT, 2, 2, AURA_DSP_RESAMPLER_LINEAR);
    (void)system->setDSPBufferSize(BLOCK, 4);
    if (system->init(voices, AURA_INIT_NORMAL, nullptr) != AURA_OK) {
        state.SkipWithError("init failed");
        (void)system->release();
        return;
    }
    const std::vector<int16_t> tone = sourceTone();
    AURA_CREATESOUNDEXINFO exinfo{};
    exinfo.cbsize = sizeof(exinfo);
    exinfo.length = static_cast<unsigned int>(tone.size() * 2);
    exinfo.numchannels = 1;
    exinfo.defaultfrequency = SOURCE_RATE;
    exinfo.format = AURA_SOUND_FORMAT_PCM16;
    AURA::Sound *sound = nullptr;
    void *data = nullptr;
    unsigned int length = 0;
    if (system->createSound(nullptr, AURA_OPENUSER | AURA_LOOP_NORMAL, &exinfo, &sound) != AURA_OK ||
        sound->lock(0, exinfo.length, &data, nullptr, &length, nullptr) != AURA_OK) {
        state.SkipWithError("no sound");
        (void)system->release();
        return;
    }
    std::memcpy(data, tone.data(), length);
    for (int v = 0; v < voices; ++v) {
        AURA::Channel *channel = nullptr;
        if (system->playSound(AURA_CHANNEL_FREE, sound, true, &channel) != AURA_OK ||
            channel->setFrequency(SOURCE_RATE * pitchOf(v, voices)) != AURA_OK ||
            channel->setVolume(1.0f / static_cast<float>(voices)) != AURA_OK ||
            channel->setPaused(false) != AURA_OK) {
            state.SkipWithError("a voice did not start");
            (void)system->release();
            return;
        }
    }
    for (auto _ : state) {
        if (system->update() != AURA_OK) {
            state.SkipWithError("update failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * voices * BLOCK);
    (void)system->release();
}

void BM_OpenALSoftVoices(benchmark::State &state)
{
    const int voices = static_cast<int>(state.range(0));
    if (!alcIsExtensionPresent(nullptr, "ALC_SOFT_loopback")) {
        state.SkipWithError("no loopback device");
        return;
    }
    auto openLoopback = reinterpret_cast<LPALCLOOPBACKOPENDEVICESOFT>(alcGetProcAddress(nullptr, "alcLoopbackOpenDeviceSOFT"));
    auto renderSamples = reinterpret_cast<LPALCRENDERSAMPLESSOFT>(alcGetProcAddress(nullptr, "alcRenderSamplesSOFT"));
    ALCdevice *device = openLoopback ? openLoopback(nullptr) : nullptr;
    if (!device || !renderSamples) {
        state.SkipWithError("loopback device did not open");
        return;
    }
    const ALCint attributes[] = {ALC_FORMAT_CHANNELS_SOFT, ALC_STEREO_SOFT, ALC_FORMAT_TYPE_SOFT, ALC_FLOAT_SOFT,
                                 ALC_FREQUENCY, OUTPUT_RATE, ALC_MONO_SOURCES, voices, ALC_HRTF_SOFT, ALC_FALSE,
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
    const std::vector<int16_t> tone = sourceTone();
    ALuint buffer = 0;
    alGenBuffers(1, &buffer);
    alBufferData(buffer, AL_FORMAT_MONO16, tone.data(), static_cast<ALsizei>(tone.size() * 2), SOURCE_RATE);
    std::vector<ALuint> sources(static_cast<size_t>(voices));
    alGenSources(voices, sources.data());
    for (int v = 0; v < voices; ++v) {
        const ALuint source = sources[static_cast<size_t>(v)];
        alSourcei(source, AL_BUFFER, static_cast<ALint>(buffer));
        alSourcei(source, AL_LOOPING, AL_TRUE);
        alSourcei(source, AL_SOURCE_RELATIVE, AL_TRUE);
        alSource3f(source, AL_POSITION, 0.0f, 0.0f, 0.0f);
        alSourcef(source, AL_PITCH, pitchOf(v, voices));
        alSourcef(source, AL_GAIN, 1.0f / static_cast<float>(voices));
        if (resampler) {
            alSourcei(source, AL_SOURCE_RESAMPLER_SOFT, resampler);
        }
        alSourcePlay(source);
    }
    std::vector<float> out(static_cast<size_t>(BLOCK) * 2);
    for (auto _ : state) {
        renderSamples(device, out.data(), BLOCK);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * voices * BLOCK);
    alDeleteSources(voices, sources.data());
    alDeleteBuffers(1, &buffer);
    alcMakeContextCurrent(nullptr);
    alcDestroyContext(context);
    alcCloseDevice(device);
}

} // namespace

BENCHMARK(BM_EngineVoices)->Arg(32)->Arg(128)->Arg(512)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenALSoftVoices)->Arg(32)->Arg(128)->Arg(512)->Unit(benchmark::kMicrosecond);
