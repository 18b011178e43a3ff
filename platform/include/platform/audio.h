// The one Aura system through which the platform's sounds are heard: system
// sounds and the music player. It starts on first use, on the interface's
// thread, and is kept going by a timer on the interface loop.
//
// Outputs: the sound device (ALSA; the engine falls back to real-time
// silence when there is none), a WAV file, or nothing. The WAV file and the
// silent output mix in step with the interface loop's clock (one block at a
// time, as many as the clock has moved), so that under a manual clock what
// they hold is exact and repeatable.
//
// Threads: every call belongs to the interface's thread (uiRunLoop()).
#ifndef PLATFORM_AUDIO_H
#define PLATFORM_AUDIO_H

#include <aura.hpp>

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

enum class AudioOutputKind { Device, WavFile, None };

struct AudioOutput {
    AudioOutputKind kind = AudioOutputKind::Device;
    std::string wavPath; // for WavFile
    int rate = 48000;    // the mixer's rate, 8000 to 192000
};

// Takes effect at the next start: a running system is shut down first.
void setAudioOutput(AudioOutput output);
[[nodiscard]] AudioOutput audioOutput();

// The shared system, started on first use; nullptr when the engine cannot
// start (said once on the console).
[[nodiscard]] AURA::System *audioSystem();
[[nodiscard]] bool audioRunning();
// Whether mixing follows the loop's clock block by block (WAV file, none),
// and the frames mixed so far in that case; 0 on the device.
[[nodiscard]] bool audioMixesInSteps();
[[nodiscard]] std::uint64_t audioFramesMixed();
[[nodiscard]] int audioRate();

// Releases the system: a WAV file is finished. Users of the system hear of
// it first (their sounds go with it).
void shutdownAudio();

// Users of the system: `beforeMix` runs before each update (the music
// player queues its next song there), `onShutdown` before the system goes.
struct AudioClient {
    std::function<void()> beforeMix;
    std::function<void()> onShutdown;
};
// Returns an id for removeAudioClient.
int addAudioClient(AudioClient client);
void removeAudioClient(int id);

} // namespace platform

#endif // PLATFORM_AUDIO_H
