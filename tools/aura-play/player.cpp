#include "player.h"

#include "session.h"
#include "wav_image.h"

#include "aura.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace auraplay {
namespace {

void reportFile(const std::string &file, AURA_RESULT result)
{
    std::fprintf(stderr, "aura-play: %s: %s\n", file.c_str(), describe(result).c_str());
}

AURA_MODE soundMode(const Options &options)
{
    AURA_MODE mode = options.loop != 0 ? AURA_LOOP_NORMAL : AURA_LOOP_OFF;
    if (options.stream) {
        mode |= AURA_CREATESTREAM;
    }
    return mode;
}

// Releases a sound when it goes out of scope.
struct SoundDeleter {
    void operator()(AURA::Sound *sound) const { (void)sound->release(); }
};
using SoundHandle = std::unique_ptr<AURA::Sound, SoundDeleter>;

AURA_RESULT openSound(AURA::System *system, const std::string &file, AURA_MODE mode, SoundHandle &out)
{
    AURA::Sound *sound = nullptr;
    const AURA_RESULT result = system->createSound(file.c_str(), mode, nullptr, &sound);
    if (result == AURA_OK) {
        out.reset(sound);
    } else if (sound) {
        (void)sound->release();
    }
    return result;
}

// A system that only opens sounds: for --info and for finding a file's rate.
struct ProbeSystem {
    AURA::System *system = nullptr;
    AURA_RESULT result = AURA_OK;
    ProbeSystem()
    {
        result = AURA::System_Create(&system);
        if (result != AURA_OK) {
            system = nullptr;
            return;
        }
        result = system->setOutput(AURA_OUTPUTTYPE_NOSOUND_NRT);
        if (result == AURA_OK) {
            result = system->init(8, AURA_INIT_NORMAL, nullptr);
        }
    }
    ~ProbeSystem()
    {
        if (system) {
            (void)system->release();
        }
    }
    ProbeSystem(const ProbeSystem &) = delete;
    ProbeSystem &operator=(const ProbeSystem &) = delete;
};

const char *typeName(AURA_SOUND_TYPE type)
{
    switch (type) {
    case AURA_SOUND_TYPE_AIFF: return "AIFF";
    case AURA_SOUND_TYPE_DLS: return "DLS";
    case AURA_SOUND_TYPE_FLAC: return "FLAC";
    case AURA_SOUND_TYPE_SBK: return "sample bank";
    case AURA_SOUND_TYPE_IT: return "Impulse Tracker";
    case AURA_SOUND_TYPE_MIDI: return "MIDI";
    case AURA_SOUND_TYPE_MOD: return "MOD";
    case AURA_SOUND_TYPE_MPEG: return "MPEG audio";
    case AURA_SOUND_TYPE_OGGVORBIS: return "Ogg Vorbis";
    case AURA_SOUND_TYPE_PLAYLIST: return "playlist";
    case AURA_SOUND_TYPE_RAW: return "raw PCM";
    case AURA_SOUND_TYPE_S3M: return "Scream Tracker 3";
    case AURA_SOUND_TYPE_USER: return "user";
    case AURA_SOUND_TYPE_WAV: return "WAV";
    case AURA_SOUND_TYPE_XM: return "FastTracker 2";
    default: return "unknown";
    }
}

const char *formatName(AURA_SOUND_FORMAT format)
{
    switch (format) {
    case AURA_SOUND_FORMAT_PCM8: return "PCM 8-bit";
    case AURA_SOUND_FORMAT_PCM16: return "PCM 16-bit";
    case AURA_SOUND_FORMAT_PCM24: return "PCM 24-bit";
    case AURA_SOUND_FORMAT_PCM32: return "PCM 32-bit";
    case AURA_SOUND_FORMAT_PCMFLOAT: return "PCM 32-bit float";
    case AURA_SOUND_FORMAT_GCADPCM: return "GC ADPCM";
    case AURA_SOUND_FORMAT_IMAADPCM: return "IMA ADPCM";
    case AURA_SOUND_FORMAT_VAG: return "VAG";
    case AURA_SOUND_FORMAT_XMA: return "XMA";
    case AURA_SOUND_FORMAT_MPEG: return "MPEG";
    case AURA_SOUND_FORMAT_CELT: return "CELT";
    default: return "none";
    }
}

// A tag's value as printable text; control bytes become '?'.
std::string tagText(const AURA_TAG &tag)
{
    std::string text;
    const auto *bytes = static_cast<const unsigned char *>(tag.data);
    if (!bytes && tag.datalen > 0) {
        return text;
    }
    auto printable = [](unsigned int c) { return c >= 0x20 && c != 0x7F ? static_cast<char>(c) : '?'; };
    switch (tag.datatype) {
    case AURA_TAGDATATYPE_INT: {
        long long value = 0;
        for (unsigned int i = 0; i < tag.datalen && i < 8; ++i) {
            value |= static_cast<long long>(bytes[i]) << (8 * i);
        }
        return std::to_string(value);
    }
    case AURA_TAGDATATYPE_STRING:
    case AURA_TAGDATATYPE_STRING_UTF8:
        for (unsigned int i = 0; i < tag.datalen && bytes[i] != 0; ++i) {
            text += bytes[i] >= 0x80 ? static_cast<char>(bytes[i]) : printable(bytes[i]);
        }
        return text;
    case AURA_TAGDATATYPE_STRING_UTF16:
    case AURA_TAGDATATYPE_STRING_UTF16BE:
        // Latin-1 text survives; anything else shows as '?'.
        for (unsigned int i = 0; i + 1 < tag.datalen; i += 2) {
            const unsigned int unit = tag.datatype == AURA_TAGDATATYPE_STRING_UTF16
                                          ? (bytes[i] | bytes[i + 1] << 8)
                                          : (bytes[i] << 8 | bytes[i + 1]);
            if (unit == 0) {
                break;
            }
            text += unit < 0x80 ? printable(unit) : '?';
        }
        return text;
    default: text = "<";
        text += std::to_string(tag.datalen);
        text += " bytes>";
        return text;
    }
}

int describeFile(AURA::System *system, const Options &options, const std::string &file)
{
    SoundHandle sound;
    const AURA_RESULT result = openSound(system, file, soundMode(options), sound);
    if (result != AURA_OK) {
        reportFile(file, result);
        return kExitFileFailed;
    }
    AURA_SOUND_TYPE type = AURA_SOUND_TYPE_UNKNOWN;
    AURA_SOUND_FORMAT format = AURA_SOUND_FORMAT_NONE;
    int channels = 0;
    int bits = 0;
    float frequency = 0.0f;
    unsigned int lengthPcm = 0;
    unsigned int lengthMs = 0;
    (void)sound->getFormat(&type, &format, &channels, &bits);
    (void)sound->getDefaults(&frequency, nullptr, nullptr, nullptr);
    (void)sound->getLength(&lengthPcm, AURA_TIMEUNIT_PCM);
    (void)sound->getLength(&lengthMs, AURA_TIMEUNIT_MS);

    std::printf("%s\n", file.c_str());
    std::printf("  type:     %s\n", typeName(type));
    std::printf("  format:   %s\n", formatName(format));
    std::printf("  channels: %d\n", channels);
    std::printf("  rate:     %.0f Hz\n", static_cast<double>(frequency));
    std::printf("  length:   %u samples, %u ms\n", lengthPcm, lengthMs);
    int numTags = 0;
    if (sound->getNumTags(&numTags, nullptr) == AURA_OK) {
        for (int i = 0; i < numTags; ++i) {
            AURA_TAG tag{};
            if (sound->getTag(nullptr, i, &tag) == AURA_OK && tag.name) {
                std::printf("  tag:      %s=%s\n", tag.name, tagText(tag).c_str());
            }
        }
    }
    return kExitOk;
}

// Plays one file to its end (or the duration) on an open session. Returns
// the output frame at which the file's sound is meant to end, or 0 when the
// file failed.
struct PlayOutcome {
    bool ok = false;
    uint64_t endFrame = 0;   // where the file's sound ends in the output
};

PlayOutcome playOne(Session &session, const Options &options, const std::string &file)
{
    PlayOutcome outcome;
    AURA::System *system = session.system();
    SoundHandle sound;
    AURA_RESULT result = openSound(system, file, soundMode(options), sound);
    if (result != AURA_OK) {
        reportFile(file, result);
        return outcome;
    }
    unsigned int length = 0;
    unsigned int loopStart = 0;
    unsigned int loopEnd = 0;
    float ownRate = 0.0f;
    (void)sound->getLength(&length, AURA_TIMEUNIT_PCM);
    (void)sound->getLoopPoints(&loopStart, &loopEnd);
    (void)sound->getDefaults(&ownRate, nullptr, nullptr, nullptr);

    AURA::Channel *channel = nullptr;
    result = system->playSound(AURA_CHANNEL_FREE, sound.get(), true, &channel);
    const char *what = "play";
    if (result == AURA_OK) {
        what = "set the volume";
        result = channel->setVolume(options.volume);
    }
    if (result == AURA_OK) {
        what = "set the pan";
        result = channel->setPan(options.pan);
    }
    if (result == AURA_OK && options.frequency > 0.0f) {
        what = "set the frequency";
        result = channel->setFrequency(options.frequency);
    }
    if (result == AURA_OK && options.loop != 0) {
        what = "set the loop count";
        result = channel->setLoopCount(options.loop);
    }
    if (result == AURA_OK && options.seekMs > 0) {
        what = "seek";
        result = channel->setPosition(options.seekMs, AURA_TIMEUNIT_MS);
    }
    if (result == AURA_OK) {
        what = "start";
        result = channel->setPaused(false);
    }
    if (result != AURA_OK) {
        std::fprintf(stderr, "aura-play: %s: cannot %s: %s\n", file.c_str(), what, describe(result).c_str());
        return outcome;
    }

    // What the output should hold: the rest of the sound after the seek, the
    // loop repeated, at the playback speed; cut by --duration.
    const double playRate = options.frequency > 0.0f ? options.frequency : (ownRate > 0.0f ? ownRate : 1.0f);
    const double seekFrames = std::floor(static_cast<double>(options.seekMs) * ownRate / 1000.0);
    const double loopLength = loopEnd >= loopStart ? static_cast<double>(loopEnd - loopStart) + 1.0 : 0.0;
    double sourceFrames = std::max(0.0, static_cast<double>(length) - seekFrames);
    if (options.loop > 0) {
        sourceFrames += loopLength * options.loop;
    }
    double outputFrames = std::ceil(sourceFrames * session.rate() / playRate);
    if (options.loop < 0) {
        outputFrames = -1.0;   // for ever, unless a duration ends it
    }
    const double durationFrames = options.durationMs >= 0
                                      ? std::round(static_cast<double>(options.durationMs) * session.rate() / 1000.0)
                                      : -1.0;
    if (durationFrames >= 0.0 && (outputFrames < 0.0 || durationFrames < outputFrames)) {
        outputFrames = durationFrames;
    }

    const uint64_t startFrame = session.framesMixed();
    const double lengthSeconds = outputFrames >= 0.0 ? outputFrames / session.rate() : 0.0;
    Progress progress(!options.quiet, file);
    bool playing = true;
    while (playing && !interrupted()) {
        if (durationFrames >= 0.0 &&
            static_cast<double>(session.framesMixed() - startFrame) >= durationFrames) {
            break;
        }
        result = session.step();
        if (result != AURA_OK) {
            progress.finish();
            std::fprintf(stderr, "aura-play: %s: update failed: %s\n", file.c_str(), describe(result).c_str());
            (void)channel->stop();
            return outcome;
        }
        bool stillPlaying = false;
        playing = channel->isPlaying(&stillPlaying) == AURA_OK && stillPlaying;
        progress.show(static_cast<double>(session.framesMixed() - startFrame) / session.rate(), lengthSeconds);
    }
    progress.finish();
    (void)channel->stop();
    if (playing || interrupted()) {
        // Stopped early: the output holds exactly what was mixed.
        outcome.endFrame = session.framesMixed();
    } else {
        session.drain();
        outcome.endFrame = startFrame + static_cast<uint64_t>(std::max(0.0, outputFrames));
    }
    if (durationFrames >= 0.0) {
        outcome.endFrame = std::min(outcome.endFrame, startFrame + static_cast<uint64_t>(durationFrames));
    }
    outcome.ok = true;
    return outcome;
}

} // namespace

int printInfo(const Options &options)
{
    ProbeSystem probe;
    if (probe.result != AURA_OK) {
        std::fprintf(stderr, "aura-play: cannot start the sound system: %s\n", describe(probe.result).c_str());
        return kExitFileFailed;
    }
    int status = kExitOk;
    for (const std::string &file : options.files) {
        if (describeFile(probe.system, options, file) != kExitOk) {
            status = kExitFileFailed;
        }
    }
    return status;
}

int playFiles(const Options &options)
{
    SessionPlan plan;
    plan.render = options.rendering();
    plan.wavPath = options.rendering() ? options.output : kDefaultWav;
    plan.format = options.format;
    plan.quiet = options.quiet;
    plan.rate = options.rate > 0 ? options.rate : 48000;
    if (options.rate == 0 && options.rendering() && options.files.size() == 1) {
        // A single file renders at its own rate, so that nothing is resampled.
        ProbeSystem probe;
        SoundHandle sound;
        AURA_RESULT result = probe.result;
        if (result == AURA_OK) {
            result = openSound(probe.system, options.files[0], soundMode(options), sound);
        }
        if (result != AURA_OK) {
            reportFile(options.files[0], result);
            return kExitFileFailed;
        }
        float ownRate = 0.0f;
        if (sound->getDefaults(&ownRate, nullptr, nullptr, nullptr) == AURA_OK && ownRate >= 8000.0f &&
            ownRate <= 192000.0f) {
            plan.rate = static_cast<int>(std::lround(ownRate));
        }
    }

    std::string error;
    std::unique_ptr<Session> session = Session::open(plan, error);
    if (!session) {
        std::fprintf(stderr, "aura-play: %s\n", error.c_str());
        return kExitFileFailed;
    }
    if (session->rendering() && !options.rendering() && options.loop < 0 && options.durationMs < 0) {
        std::fprintf(stderr, "aura-play: --loop -1 would render for ever: give --duration as well\n");
        return kExitUsage;
    }

    int status = kExitOk;
    uint64_t endFrame = 0;
    bool anyPlayed = false;
    for (const std::string &file : options.files) {
        if (interrupted()) {
            break;
        }
        if (!options.quiet) {
            std::fprintf(stderr, "aura-play: playing %s\n", file.c_str());
        }
        const PlayOutcome outcome = playOne(*session, options, file);
        if (!outcome.ok) {
            status = kExitFileFailed;
            continue;
        }
        anyPlayed = true;
        endFrame = outcome.endFrame;
    }

    const bool rendered = session->rendering();
    const std::string wavPath = session->wavPath();
    const AURA_RESULT closed = session->close();
    if (closed != AURA_OK) {
        std::fprintf(stderr, "aura-play: cannot finish the output: %s\n", describe(closed).c_str());
        return kExitFileFailed;
    }
    if (rendered && !anyPlayed) {
        // Nothing was played: leave no empty file behind.
        std::error_code ignored;
        std::filesystem::remove(wavPath, ignored);
    } else if (rendered) {
        // The writer writes whole blocks; the last file ends inside the last one.
        if (!trimWavFrames(wavPath, endFrame)) {
            std::fprintf(stderr, "aura-play: %s: cannot trim the rendered file\n", wavPath.c_str());
        }
        if (!options.quiet) {
            std::fprintf(stderr, "aura-play: wrote %s\n", wavPath.c_str());
        }
    }
    return status;
}

int run(const Options &options)
{
    installInterruptHandler();
    if (options.info) {
        return printInfo(options);
    }
    if (options.files.empty()) {
        return playDemo(options);
    }
    return playFiles(options);
}

} // namespace auraplay
