// Streams a sound file with the C++ interface and fades it: in over the
// first second, out over the last two. With a second argument the sound
// goes to that WAV file instead of the sound device, at the file's own
// rate and exactly as long as the file. On a machine without a sound
// device it says so and plays on the engine's silent output.
//
//   stream_fade IN.ogg [OUT.wav]
#include <aura.hpp>
#include <aura_errors.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

// The volume at `ms` into a sound of `lengthMs`.
float fade(unsigned int ms, unsigned int lengthMs)
{
    const float in = static_cast<float>(ms) / 1000.0f;
    const float out = static_cast<float>(lengthMs > ms ? lengthMs - ms : 0) / 2000.0f;
    return std::clamp(std::min(in, out), 0.0f, 1.0f);
}

bool failed(AURA_RESULT result, const char *what)
{
    if (result == AURA_OK) {
        return false;
    }
    std::fprintf(stderr, "cannot %s: %s(%d)\n", what, AURA_ErrorString(result), static_cast<int>(result));
    return true;
}

// Why the sound device did not open, as the engine tells it through the
// system callback during init.
std::string gNoDevice;

AURA_RESULT onSystemEvent(AURA_SYSTEM *, AURA_SYSTEM_CALLBACKTYPE type, void *data1, void *)
{
    if (type == AURA_SYSTEM_CALLBACKTYPE_NODEVICE) {
        gNoDevice = data1 ? static_cast<const char *>(data1) : "none found";
    }
    return AURA_OK;
}

// The rate the file plays at by default, from a silent system at 48000 Hz
// (the rate a song takes from its mixer); 0 when it does not open.
int ownRate(const char *name)
{
    AURA::System *probe = nullptr;
    AURA::Sound *stream = nullptr;
    float frequency = 0.0f;
    if (AURA::System_Create(&probe) != AURA_OK) {
        return 0;
    }
    if (probe->setOutput(AURA_OUTPUTTYPE_NOSOUND_NRT) != AURA_OK ||
        probe->setSoftwareFormat(48000, AURA_SOUND_FORMAT_PCM16, 2, 16, AURA_DSP_RESAMPLER_LINEAR) != AURA_OK ||
        probe->init(1, AURA_INIT_NORMAL, nullptr) != AURA_OK ||
        probe->createStream(name, AURA_DEFAULT, nullptr, &stream) != AURA_OK ||
        stream->getDefaults(&frequency, nullptr, nullptr, nullptr) != AURA_OK) {
        frequency = 0.0f;
    }
    (void)probe->release(); // and the stream with it
    return static_cast<int>(std::lround(frequency));
}

// The writer writes whole blocks, so the file ends inside the last one:
// cut it to `frames` (16-bit stereo after the writer's 44-byte header).
bool trimWav(const char *path, uint64_t frames)
{
    const uint64_t data = frames * 4;
    const auto le32 = [](uint64_t v) {
        return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                           static_cast<char>(v >> 24)};
    };
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(4) << le32(36 + data);
        file.seekp(40) << le32(data);
        if (!file.flush()) {
            return false;
        }
    }
    std::error_code error;
    std::filesystem::resize_file(path, 44 + data, error);
    return !error;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s IN [OUT.wav]\n", argv[0]);
        return 2;
    }
    const bool toFile = argc == 3;
    AURA::System *system = nullptr;
    if (failed(AURA::System_Create(&system), "create the system")) {
        return 1;
    }
    int status = 1;
    AURA::Sound *stream = nullptr;
    AURA::Channel *channel = nullptr;
    unsigned int lengthMs = 0;
    unsigned int frames = 0;
    unsigned int block = 0;
    uint64_t mixed = 0;
    const int rate = ownRate(argv[1]);
    AURA_OUTPUTTYPE output = AURA_OUTPUTTYPE_AUTODETECT;
    // Without a device the system mixes silently in real time: a game's
    // clock keeps running. The program says so, or it would seem to play.
    const bool started =
        !failed(rate > 0 ? AURA_OK : AURA_ERR_FORMAT, "read the file's rate") &&
        !failed(system->setOutput(toFile ? AURA_OUTPUTTYPE_WAVWRITER_NRT : AURA_OUTPUTTYPE_AUTODETECT),
                "choose the output") &&
        !failed(system->setCallback(&onSystemEvent), "set the system callback") &&
        !failed(system->setSoftwareFormat(rate, AURA_SOUND_FORMAT_PCM16, 2, 16, AURA_DSP_RESAMPLER_LINEAR),
                "set the rate") &&
        !failed(system->init(32, AURA_INIT_NORMAL, toFile ? argv[2] : nullptr), "start the system") &&
        !failed(system->getOutput(&output), "read the output");
    if (started && output == AURA_OUTPUTTYPE_NOSOUND) {
        std::fprintf(stderr, "stream_fade: no sound device (%s); playing on the no-sound output, which is silent\n",
                     gNoDevice.empty() ? "none found" : gNoDevice.c_str());
    }
    if (started && !failed(system->getDSPBufferSize(&block, nullptr), "read the block length") &&
        !failed(system->createStream(argv[1], AURA_LOOP_OFF | AURA_ACCURATETIME, nullptr, &stream), "open the file") &&
        !failed(stream->getLength(&lengthMs, AURA_TIMEUNIT_MS), "read the length") &&
        !failed(stream->getLength(&frames, AURA_TIMEUNIT_PCM), "read the length") &&
        !failed(system->playSound(AURA_CHANNEL_FREE, stream, true, &channel), "play") &&
        !failed(channel->setVolume(0.0f), "set the volume") && !failed(channel->setPaused(false), "start")) {
        status = 0;
        // A song loops by design: it ends at the length the engine measured.
        for (bool playing = true; playing && (frames == 0xFFFFFFFFu || mixed < frames);) {
            if (failed(system->update(), "update")) {
                status = 1;
                break;
            }
            mixed += block;
            unsigned int ms = 0;
            // A channel whose sound ended answers 36: the job is done.
            if (channel->getPosition(&ms, AURA_TIMEUNIT_MS) != AURA_OK ||
                channel->isPlaying(&playing) != AURA_OK) {
                playing = false;
            }
            (void)channel->setVolume(fade(ms, lengthMs));
            if (!toFile) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    }
    if (stream) {
        (void)stream->release();
    }
    // Releasing the system finishes a WAV file's header.
    if (failed(system->release(), "finish the output")) {
        status = 1;
    }
    if (status == 0 && toFile && frames != 0xFFFFFFFFu && mixed > frames && !trimWav(argv[2], frames)) {
        std::fprintf(stderr, "cannot cut %s to the sound's length\n", argv[2]);
        status = 1;
    }
    return status;
}
