// Streams a sound file with the C++ interface and fades it: in over the
// first second, out over the last two. With a second argument the sound
// goes to that WAV file instead of the sound device.
//
//   stream_fade IN.ogg [OUT.wav]
#include <aura.hpp>
#include <aura_errors.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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
    // Without a device the system mixes silently in real time: a game's
    // clock keeps running.
    if (!failed(system->setOutput(toFile ? AURA_OUTPUTTYPE_WAVWRITER_NRT : AURA_OUTPUTTYPE_AUTODETECT),
                "choose the output") &&
        !failed(system->init(32, AURA_INIT_NORMAL, toFile ? argv[2] : nullptr), "start the system") &&
        !failed(system->createStream(argv[1], AURA_LOOP_OFF, nullptr, &stream), "open the file") &&
        !failed(stream->getLength(&lengthMs, AURA_TIMEUNIT_MS), "read the length") &&
        !failed(system->playSound(AURA_CHANNEL_FREE, stream, true, &channel), "play") &&
        !failed(channel->setVolume(0.0f), "set the volume") && !failed(channel->setPaused(false), "start")) {
        status = 0;
        for (bool playing = true; playing;) {
            if (failed(system->update(), "update")) {
                status = 1;
                break;
            }
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
    return status;
}
