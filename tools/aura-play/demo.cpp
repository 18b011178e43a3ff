// The built-in demo: a short piece played the way the game plays its music.
// Two stems (a bass line and a melody) start together; short effect samples
// (clicks and chimes) fire at musical moments, timed from the bass stem's
// position, with their own volumes and pans. Everything is generated here as
// 16-bit PCM and handed to the engine as WAV images in memory.
#include "player.h"

#include "session.h"
#include "wav_image.h"

#include "aura.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <vector>

namespace auraplay {
namespace {

constexpr int kSourceRate = 44100;
constexpr double kBeatSeconds = 0.5;          // 120 beats a minute
constexpr int kBeats = 16;                    // four bars of four: 8 seconds
constexpr double kLengthSeconds = kBeats * kBeatSeconds;
constexpr int kUpdateMs = 16;                 // the game's frame

using Samples = std::vector<double>;

int16_t toPcm16(double value)
{
    return static_cast<int16_t>(std::lround(std::clamp(value, -1.0, 1.0) * 32767.0));
}

std::vector<int16_t> toPcm16(const Samples &samples)
{
    std::vector<int16_t> out(samples.size());
    std::transform(samples.begin(), samples.end(), out.begin(), [](double v) { return toPcm16(v); });
    return out;
}

double noteHz(int midiNote)
{
    return 440.0 * std::pow(2.0, (midiNote - 69) / 12.0);
}

// Adds a plucked note: a few harmonics under a fast attack and an
// exponential decay.
void addNote(Samples &out, double startSeconds, double seconds, double hz, double amplitude,
             const std::array<double, 3> &harmonics, double decay)
{
    const auto start = static_cast<size_t>(startSeconds * kSourceRate);
    const auto count = static_cast<size_t>(seconds * kSourceRate);
    const double attack = 0.004 * kSourceRate;
    for (size_t i = 0; i < count && start + i < out.size(); ++i) {
        const double t = static_cast<double>(i) / kSourceRate;
        const double envelope = std::min(1.0, static_cast<double>(i) / attack) * std::exp(-t * decay) *
                                std::min(1.0, static_cast<double>(count - i) / attack);
        double value = 0.0;
        for (size_t h = 0; h < harmonics.size(); ++h) {
            value += harmonics[h] * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(h + 1) * t);
        }
        out[start + i] += amplitude * envelope * value;
    }
}

Samples bassLine()
{
    // A minor, F, C, G: one chord a bar, root and octave in eighth notes.
    const std::array<int, 4> roots = {33, 29, 36, 31};
    Samples out(static_cast<size_t>(kLengthSeconds * kSourceRate), 0.0);
    for (int eighth = 0; eighth < kBeats * 2; ++eighth) {
        const int root = roots[static_cast<size_t>(eighth / 8)];
        const int note = eighth % 2 == 0 ? root : root + 12;
        addNote(out, eighth * kBeatSeconds / 2, kBeatSeconds / 2, noteHz(note), 0.30, {1.0, 0.35, 0.1}, 5.0);
    }
    return out;
}

Samples melody()
{
    // A pentatonic tune over the chords; -1 is a rest.
    const std::array<int, kBeats * 2> notes = {69, 72, 76, 74, 72, 69, -1, 67, 65, 69, 72, 69, 77, 76, 72, -1,
                                               72, 76, 79, 76, 74, 72, 76, -1, 74, 71, 67, 71, 74, 79, 76, 74};
    Samples out(static_cast<size_t>(kLengthSeconds * kSourceRate), 0.0);
    for (size_t eighth = 0; eighth < notes.size(); ++eighth) {
        if (notes[eighth] >= 0) {
            addNote(out, static_cast<double>(eighth) * kBeatSeconds / 2, kBeatSeconds / 2 * 0.95,
                    noteHz(notes[eighth]), 0.22, {1.0, 0.0, 0.2}, 3.0);
        }
    }
    return out;
}

Samples click()
{
    // A short burst of noise from a fixed generator, so every run is alike.
    Samples out(static_cast<size_t>(0.03 * kSourceRate));
    uint32_t state = 0x1234567u;
    for (size_t i = 0; i < out.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        const double noise = static_cast<double>(state >> 8) / static_cast<double>(1u << 24) * 2.0 - 1.0;
        out[i] = 0.5 * noise * std::exp(-static_cast<double>(i) / (0.005 * kSourceRate));
    }
    return out;
}

Samples chime()
{
    Samples out(static_cast<size_t>(1.2 * kSourceRate), 0.0);
    // A bell: partials that are not harmonics, the higher ones dying sooner.
    addNote(out, 0.0, 1.2, 880.0, 0.16, {1.0, 0.0, 0.0}, 3.0);
    addNote(out, 0.0, 1.2, 880.0 * 2.76, 0.08, {1.0, 0.0, 0.0}, 6.0);
    addNote(out, 0.0, 1.2, 880.0 * 5.40, 0.05, {1.0, 0.0, 0.0}, 9.0);
    return out;
}

// The music stems are streams, decoded as they play, as the game's music is.
constexpr AURA_MODE kStemMode = AURA_OPENMEMORY | AURA_LOOP_OFF | AURA_CREATESTREAM;
constexpr AURA_MODE kEffectMode = AURA_OPENMEMORY | AURA_LOOP_OFF;

AURA_RESULT createFromImage(AURA::System *system, const std::vector<uint8_t> &image, AURA_MODE mode,
                            AURA::Sound **sound)
{
    AURA_CREATESOUNDEXINFO exinfo{};
    exinfo.cbsize = sizeof(exinfo);
    exinfo.length = static_cast<unsigned int>(image.size());
    return system->createSound(reinterpret_cast<const char *>(image.data()), mode, &exinfo, sound);
}

// The images stay alive while the sounds play: a stream reads its image as
// it goes.
struct Stems {
    std::vector<uint8_t> bassImage;
    std::vector<uint8_t> melodyImage;
    AURA::Sound *bass = nullptr;
    AURA::Sound *melody = nullptr;
};

AURA_RESULT createStems(AURA::System *system, Stems &stems)
{
    stems.bassImage = makeWavImage(toPcm16(bassLine()), 1, kSourceRate);
    stems.melodyImage = makeWavImage(toPcm16(melody()), 1, kSourceRate);
    AURA_RESULT result = createFromImage(system, stems.bassImage, kStemMode, &stems.bass);
    if (result == AURA_OK) {
        result = createFromImage(system, stems.melodyImage, kStemMode, &stems.melody);
    }
    return result;
}

struct Cue {
    unsigned int atMs;
    bool chime;
    float volume;
    float pan;
};

// A chime on each bar's first beat, clicks on the other beats, moving
// across the stereo field.
std::vector<Cue> cues()
{
    std::vector<Cue> out;
    for (int beat = 0; beat < kBeats; ++beat) {
        const auto at = static_cast<unsigned int>(beat * kBeatSeconds * 1000.0);
        if (beat % 4 == 0) {
            out.push_back({at, true, 0.6f, beat % 8 == 0 ? -0.5f : 0.5f});
        } else {
            out.push_back({at, false, beat % 2 == 0 ? 0.45f : 0.3f, beat % 2 == 0 ? 0.7f : -0.7f});
        }
    }
    return out;
}

struct SoundList {
    std::vector<AURA::Sound *> sounds;
    ~SoundList()
    {
        for (AURA::Sound *sound : sounds) {
            if (sound) {
                (void)sound->release();
            }
        }
    }
};

} // namespace

int playDemo(const Options &options)
{
    SessionPlan plan;
    plan.render = options.rendering();
    plan.wavPath = options.rendering() ? options.output : kDefaultWav;
    plan.format = options.format;
    plan.quiet = options.quiet;
    plan.profilePort = options.profilePort;
    plan.rate = options.rate > 0 ? options.rate : 48000;
    plan.renderRate = plan.rate;
    plan.blockLength = static_cast<unsigned int>(plan.rate * kUpdateMs / 1000);
    plan.updateMs = kUpdateMs;

    std::string error;
    int openStatus = kExitOk;
    std::unique_ptr<Session> session = Session::open(plan, error, openStatus);
    if (!session) {
        std::fprintf(stderr, "aura-play: %s\n", error.c_str());
        return openStatus;
    }
    AURA::System *system = session->system();
    if (!options.quiet) {
        std::fprintf(stderr, "aura-play: %s the built-in demo (%.0f s)\n",
                     session->rendering() ? "rendering" : "playing", kLengthSeconds);
    }
    bool writeFailed = false;

    const int status = [&]() {
        SoundList owned;
        Stems stems;
        AURA_RESULT result = createStems(system, stems);
        owned.sounds = {stems.bass, stems.melody};
        const std::vector<uint8_t> clickImage = makeWavImage(toPcm16(click()), 1, kSourceRate);
        const std::vector<uint8_t> chimeImage = makeWavImage(toPcm16(chime()), 1, kSourceRate);
        AURA::Sound *clickSound = nullptr;
        AURA::Sound *chimeSound = nullptr;
        if (result == AURA_OK) {
            result = createFromImage(system, clickImage, kEffectMode, &clickSound);
            owned.sounds.push_back(clickSound);
        }
        if (result == AURA_OK) {
            result = createFromImage(system, chimeImage, kEffectMode, &chimeSound);
            owned.sounds.push_back(chimeSound);
        }
        if (result != AURA_OK) {
            std::fprintf(stderr, "aura-play: demo: cannot create its sounds: %s\n", describe(result).c_str());
            return kExitFileFailed;
        }

        // Both stems start in the same update, so they stay in step.
        AURA::Channel *bass = nullptr;
        AURA::Channel *tune = nullptr;
        result = system->playSound(AURA_CHANNEL_FREE, stems.bass, true, &bass);
        if (result == AURA_OK) {
            result = system->playSound(AURA_CHANNEL_FREE, stems.melody, true, &tune);
        }
        if (result == AURA_OK) {
            result = bass->setVolume(0.9f * options.volume);
        }
        if (result == AURA_OK) {
            result = tune->setVolume(0.75f * options.volume);
        }
        if (result == AURA_OK) {
            result = tune->setPan(0.25f);
        }
        if (result == AURA_OK) {
            result = bass->setPaused(false);
        }
        if (result == AURA_OK) {
            result = tune->setPaused(false);
        }
        if (result != AURA_OK) {
            std::fprintf(stderr, "aura-play: demo: cannot start the music: %s\n", describe(result).c_str());
            return kExitFileFailed;
        }

        const std::vector<Cue> schedule = cues();
        size_t next = 0;
        Progress progress(!options.quiet, "demo");
        bool playing = true;
        while (playing && !interrupted()) {
            // The music's own clock decides when an effect is due.
            unsigned int positionMs = 0;
            const bool bassPlaying = bass->getPosition(&positionMs, AURA_TIMEUNIT_MS) == AURA_OK;
            while (bassPlaying && next < schedule.size() && schedule[next].atMs <= positionMs) {
                const Cue &cue = schedule[next++];
                AURA::Channel *effect = nullptr;
                if (system->playSound(AURA_CHANNEL_FREE, cue.chime ? chimeSound : clickSound, true, &effect) ==
                    AURA_OK) {
                    (void)effect->setVolume(cue.volume * options.volume);
                    (void)effect->setPan(cue.pan);
                    (void)effect->setPaused(false);
                }
            }
            result = session->step();
            if (result != AURA_OK) {
                progress.finish();
                session->reportUpdateFailure("demo", result);
                writeFailed = session->rendering();
                return kExitFileFailed;
            }
            bool bassOn = false;
            bool tuneOn = false;
            playing = (bass->isPlaying(&bassOn) == AURA_OK && bassOn) ||
                      (tune->isPlaying(&tuneOn) == AURA_OK && tuneOn);
            progress.show(static_cast<double>(session->framesMixed()) / session->rate(), kLengthSeconds);
        }
        progress.finish();
        if (!interrupted()) {
            session->drain();
        }
        return kExitOk;
    }();

    const auto length = static_cast<uint64_t>(kLengthSeconds * session->rate());
    return session->finish(std::min(session->framesMixed(), length), status, writeFailed);
}

} // namespace auraplay
