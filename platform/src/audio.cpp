#include "platform/audio.h"

#include <aura_errors.h>

#include "platform/device.h"
#include "platform/ui.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

namespace platform {
namespace {

constexpr double kPumpSeconds = 0.01;
constexpr unsigned int kBlockLength = 1024;
constexpr int kVoices = 32;

struct AudioState {
    AudioOutput output;
    AURA::System *system = nullptr;
    bool failed = false;     // the engine would not start with this output
    bool inSteps = false;
    RunLoop *loop = nullptr; // where the pump timer runs
    TimerId pump = 0;
    double startedAt = 0.0;  // on the loop's clock
    std::uint64_t mixed = 0; // frames, when mixing in steps
    unsigned int block = kBlockLength;
    int rate = 48000;
    std::map<int, AudioClient> clients;
    int nextClient = 1;
    bool pumping = false;
};

// Never destroyed: the music player, itself a static object, may leave the
// client list at exit after this file's statics are gone.
AudioState &state()
{
    static auto *s = new AudioState;
    return *s;
}

void runClients()
{
    // A client may add or remove clients: walk a copy.
    const auto clients = state().clients;
    for (const auto &[id, client] : clients) {
        if (client.beforeMix)
            client.beforeMix();
    }
}

void pump()
{
    auto &s = state();
    if (s.system == nullptr || s.pumping)
        return;
    s.pumping = true;
    if (s.inSteps) {
        const double elapsed = std::max(0.0, s.loop->now() - s.startedAt);
        const auto due = static_cast<std::uint64_t>(elapsed * s.rate);
        while (s.system != nullptr && s.mixed < due) {
            runClients();
            if (s.system == nullptr || s.system->update() != AURA_OK)
                break;
            s.mixed += s.block;
        }
    } else {
        runClients();
        if (s.system != nullptr)
            (void)s.system->update();
    }
    s.pumping = false;
}

bool start()
{
    auto &s = state();
    const AudioOutput &out = s.output;
    AURA_OUTPUTTYPE type = AURA_OUTPUTTYPE_AUTODETECT;
    if (out.kind == AudioOutputKind::WavFile)
        type = AURA_OUTPUTTYPE_WAVWRITER_NRT;
    else if (out.kind == AudioOutputKind::None)
        type = AURA_OUTPUTTYPE_NOSOUND_NRT;
    AURA::System *system = nullptr;
    AURA_RESULT result = AURA::System_Create(&system);
    if (result == AURA_OK)
        result = system->setOutput(type);
    if (result == AURA_OK)
        result = system->setSoftwareFormat(std::clamp(out.rate, 8000, 192000), AURA_SOUND_FORMAT_PCM16, 2, 16,
                                           AURA_DSP_RESAMPLER_LINEAR);
    if (result == AURA_OK && type != AURA_OUTPUTTYPE_AUTODETECT)
        result = system->setDSPBufferSize(kBlockLength, 4);
    if (result == AURA_OK) {
        result = system->init(kVoices, AURA_INIT_NORMAL,
                              type == AURA_OUTPUTTYPE_WAVWRITER_NRT ? const_cast<char *>(out.wavPath.c_str())
                                                                    : nullptr);
    }
    if (result != AURA_OK) {
        if (system != nullptr)
            (void)system->release();
        const std::string where = type == AURA_OUTPUTTYPE_WAVWRITER_NRT ? "cannot write " + out.wavPath + ": " : "";
        consoleLog("platform: the sound system did not start: " + where + AURA_ErrorString(result));
        s.failed = true;
        return false;
    }
    int rate = 0;
    int buffers = 0;
    (void)system->getSoftwareFormat(&rate, nullptr, nullptr, nullptr, nullptr, nullptr);
    (void)system->getDSPBufferSize(&s.block, &buffers);
    s.rate = rate > 0 ? rate : out.rate;
    s.system = system;
    s.inSteps = type != AURA_OUTPUTTYPE_AUTODETECT;
    s.mixed = 0;
    s.loop = &uiRunLoop();
    s.startedAt = s.loop->now();
    s.pump = s.loop->addRepeatingTimer(kPumpSeconds, pump);
    return true;
}

} // namespace

void setAudioOutput(AudioOutput output)
{
    shutdownAudio();
    state().output = std::move(output);
    state().failed = false;
}

AudioOutput audioOutput()
{
    return state().output;
}

AURA::System *audioSystem()
{
    checkUiThread();
    auto &s = state();
    if (s.system == nullptr && !s.failed)
        start();
    return s.system;
}

bool audioRunning()
{
    return state().system != nullptr;
}

bool audioMixesInSteps()
{
    return state().system != nullptr && state().inSteps;
}

std::uint64_t audioFramesMixed()
{
    return state().inSteps ? state().mixed : 0;
}

int audioRate()
{
    return state().system != nullptr ? state().rate : state().output.rate;
}

void shutdownAudio()
{
    auto &s = state();
    if (s.system == nullptr) {
        s.failed = false;
        return;
    }
    const auto clients = s.clients;
    for (const auto &[id, client] : clients) {
        if (client.onShutdown)
            client.onShutdown();
    }
    if (s.loop != nullptr && s.pump != 0)
        s.loop->cancelTimer(s.pump);
    s.pump = 0;
    s.loop = nullptr;
    AURA::System *system = std::exchange(s.system, nullptr);
    (void)system->release();
    s.mixed = 0;
    s.failed = false;
}

int addAudioClient(AudioClient client)
{
    auto &s = state();
    const int id = s.nextClient++;
    s.clients.emplace(id, std::move(client));
    return id;
}

void removeAudioClient(int id)
{
    state().clients.erase(id);
}

} // namespace platform
