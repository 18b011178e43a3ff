#include "player.h"

#include "session.h"
#include "wav_image.h"

#include "aura.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <deque>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace auraplay {
namespace {

void reportFile(const std::string &file, const std::string &what)
{
    std::fprintf(stderr, "aura-play: %s: %s\n", file.c_str(), what.c_str());
}

// Names the engine opens over the network; they play as streams.
bool isUrl(const std::string &name)
{
    for (const char *scheme : {"http://", "https://", "mms://"}) {
        if (name.rfind(scheme, 0) == 0) {
            return true;
        }
    }
    return false;
}

AURA_MODE soundMode(const Options &options)
{
    // Exact lengths: MPEG files are scanned whole and tracker songs measured
    // at open, so the render's length and its seeks are exact; software
    // mixing: a song renders in float.
    AURA_MODE mode = (options.loop != 0 ? AURA_LOOP_NORMAL : AURA_LOOP_OFF) | AURA_ACCURATETIME | AURA_SOFTWARE;
    if (options.stream) {
        mode |= AURA_CREATESTREAM;
    }
    if (options.compressed) {
        mode |= AURA_CREATECOMPRESSEDSAMPLE;
    }
    if (options.positioned) {
        mode |= AURA_3D;
    }
    return mode;
}

// The reverbs of the command line: the global one (--reverb), the ambient
// 3D one (--reverb-3d) and the placed user reverbs (--user-reverb).
AURA_RESULT applyReverbs(AURA::System *system, const Options &options)
{
    AURA_RESULT result = AURA_OK;
    if (options.reverb) {
        result = system->setReverbProperties(&options.reverbProperties);
    }
    if (result == AURA_OK && options.reverb3D) {
        result = system->setReverbAmbientProperties(&options.reverb3DProperties);
    }
    for (const Options::UserReverb &placed : options.userReverbs) {
        AURA::Reverb *reverb = nullptr;
        if (result == AURA_OK) {
            result = system->createReverb(&reverb);
        }
        if (result == AURA_OK) {
            result = reverb->set3DAttributes(&placed.position, placed.minDistance, placed.maxDistance);
        }
        if (result == AURA_OK) {
            result = reverb->setProperties(&placed.properties);
        }
    }
    return result;
}

// Looking at a file only: as a stream, which decodes no more than its first
// stretch.
constexpr AURA_MODE kLookMode = AURA_CREATESTREAM | AURA_LOOP_OFF | AURA_ACCURATETIME;

// Looking for a file's kind and rate only: a sample that decodes nothing
// (and no exact length, which an MPEG file would scan every frame for). A
// net stream is only ever opened as a stream.
constexpr AURA_MODE kFactsMode = AURA_CREATESAMPLE | AURA_OPENONLY | AURA_LOOP_OFF;

// Whether an opened sound tells the rate a render of its file is made at:
// the parent of subsounds opened for its facts has none of its own (a
// stream takes its first subsound's).
bool tellsOwnRate(AURA::Sound *sound, AURA_MODE mode)
{
    int subsounds = 0;
    return !(mode & AURA_OPENONLY) || (sound->getNumSubSounds(&subsounds) == AURA_OK && subsounds == 0);
}

// Releases a sound when it goes out of scope.
struct SoundDeleter {
    void operator()(AURA::Sound *sound) const { (void)sound->release(); }
};
using SoundHandle = std::unique_ptr<AURA::Sound, SoundDeleter>;

// The creation info of --raw files and of MIDI files' bank and voices;
// null when no option asks for one.
const AURA_CREATESOUNDEXINFO *rawInfo(const Options &options)
{
    static AURA_CREATESOUNDEXINFO exinfo{};
    if (options.rawFormat == AURA_SOUND_FORMAT_NONE && options.dls.empty() && options.polyphony == 0) {
        return nullptr;
    }
    exinfo = AURA_CREATESOUNDEXINFO{};
    exinfo.cbsize = sizeof(exinfo);
    exinfo.format = options.rawFormat;
    exinfo.numchannels = options.rawChannels;
    exinfo.defaultfrequency = options.rawRate;
    exinfo.dlsname = options.dls.empty() ? nullptr : options.dls.c_str();
    exinfo.maxpolyphony = options.polyphony;
    return &exinfo;
}

// True when `file` starts as a standard MIDI file does.
bool isMidiFile(const std::string &file)
{
    char head[4] = {};
    std::ifstream in(file, std::ios::binary);
    return in.read(head, sizeof(head)) && std::memcmp(head, "MThd", 4) == 0;
}

// Why a MIDI file did not open, when its bank is the reason: none given, a
// bank that cannot be read, or a file that is no DLS bank. Empty otherwise.
std::string bankTrouble(const std::string &file, AURA_RESULT result, const AURA_CREATESOUNDEXINFO *exinfo)
{
    if ((result != AURA_ERR_PLUGIN_RESOURCE && result != AURA_ERR_FORMAT) || !isMidiFile(file)) {
        return {};
    }
    if (!exinfo || !exinfo->dlsname) {
        return "no DLS bank given: use --dls BANK.dls";
    }
    const std::string bank = exinfo->dlsname;
    std::ifstream in(bank, std::ios::binary);
    if (!in) {
        return "cannot open bank " + bank + ": " + std::strerror(errno);
    }
    char head[12] = {};
    if (!in.read(head, sizeof(head)) || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "DLS ", 4) != 0) {
        return bank + " is not a DLS bank";
    }
    return "the DLS bank " + bank + " cannot be used: " + describe(result);
}

// Opens a file, or says why not (quiet: says nothing).
bool openSound(AURA::System *system, const std::string &file, AURA_MODE mode, SoundHandle &out, bool quiet = false,
               int subsound = -1, const AURA_CREATESOUNDEXINFO *exinfo = nullptr)
{
    std::error_code ignored;
    if (std::filesystem::is_directory(file, ignored)) {
        if (!quiet) {
            reportFile(file, "is a directory");
        }
        return false;
    }
    AURA::Sound *sound = nullptr;
    // Only the subsound asked for is loaded (or played first, by a stream);
    // headerless files take their format from the creation info.
    AURA_CREATESOUNDEXINFO info{};
    info.cbsize = sizeof(info);
    if (exinfo) {
        info = *exinfo;
    }
    if (subsound >= 0) {
        info.initialsubsound = subsound;
        info.inclusionlist = &subsound;
        info.inclusionlistnum = 1;
    }
    AURA_RESULT result =
        system->createSound(file.c_str(), mode, subsound >= 0 || exinfo ? &info : nullptr, &sound);
    int numSubSounds = 0;
    if (result == AURA_OK && subsound >= 0 &&
        (sound->getNumSubSounds(&numSubSounds) != AURA_OK || subsound >= numSubSounds)) {
        result = AURA_ERR_INVALID_PARAM;
        if (!quiet) {
            reportFile(file, "has no subsound " + std::to_string(subsound));
        }
        quiet = true;
    }
    if (result == AURA_OK) {
        out.reset(sound);
        return true;
    }
    if (sound) {
        (void)sound->release();
    }
    if (!quiet) {
        const std::string bank = bankTrouble(file, result, exinfo);
        reportFile(file, bank.empty() ? describe(result) : bank);
    }
    return false;
}

// What plays of an opened file: the subsound asked for, or the sound.
AURA::Sound *playable(AURA::Sound *sound, int subsound)
{
    AURA::Sound *sub = nullptr;
    if (subsound >= 0 && sound->getSubSound(subsound, &sub) == AURA_OK && sub) {
        return sub;
    }
    return sound;
}

// A system that only opens sounds: for --info and for finding a file's rate.
struct ProbeSystem {
    AURA::System *system = nullptr;
    AURA_RESULT result = AURA_OK;
    // Songs have no rate of their own: they take the mixer's, so the probe
    // mixes at the rate a render of them is made at. A probe that only
    // opens files plays nothing: one channel is enough.
    explicit ProbeSystem(int rate = 48000, int channels = 8)
    {
        result = AURA::System_Create(&system);
        if (result != AURA_OK) {
            system = nullptr;
            return;
        }
        result = system->setOutput(AURA_OUTPUTTYPE_NOSOUND_NRT);
        if (result == AURA_OK) {
            result = system->setSoftwareFormat(rate, AURA_SOUND_FORMAT_PCM16, 2, 16, AURA_DSP_RESAMPLER_LINEAR);
        }
        if (result == AURA_OK) {
            result = system->init(channels, AURA_INIT_NORMAL, nullptr);
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
    case AURA_SOUND_TYPE_S3M: return "S3M";
    case AURA_SOUND_TYPE_USER: return "user";
    case AURA_SOUND_TYPE_WAV: return "WAV";
    case AURA_SOUND_TYPE_XM: return "XM";
    case AURA_SOUND_TYPE_AUDIOQUEUE: return "AudioQueue";
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
// Appends one code point as UTF-8; control characters show as '?'.
void appendCodePoint(std::string &text, char32_t c)
{
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
        text += '?';
    } else if (c < 0x80) {
        text += static_cast<char>(c);
    } else if (c < 0x800) {
        text += static_cast<char>(0xC0 | c >> 6);
        text += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        text += static_cast<char>(0xE0 | c >> 12);
        text += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        text += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | c >> 18);
        text += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        text += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        text += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The code points of `bytes` when they are well-formed UTF-8 (no overlong
// forms, no surrogates), else nothing.
std::optional<std::u32string> decodeUtf8(std::string_view bytes)
{
    std::u32string out;
    for (size_t i = 0; i < bytes.size();) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        const int extra = b < 0x80 ? 0 : b >= 0xC2 && b < 0xE0 ? 1 : b >= 0xE0 && b < 0xF0 ? 2 : b >= 0xF0 && b < 0xF5 ? 3 : -1;
        if (extra < 0 || i + static_cast<size_t>(extra) >= bytes.size() + (extra == 0 ? 1 : 0)) {
            return std::nullopt;
        }
        char32_t c = extra == 0 ? b : b & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + static_cast<size_t>(k)]);
            if ((next & 0xC0) != 0x80) {
                return std::nullopt;
            }
            c = c << 6 | (next & 0x3F);
        }
        static constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (c < kLeast[extra] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) {
            return std::nullopt;
        }
        out += c;
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

// Text of a tag whose encoding no one states (ID3's Latin-1, MIDI's bytes):
// UTF-8 when it is valid UTF-8, else Latin-1.
std::string textOfBytes(std::string_view bytes)
{
    std::string text;
    if (const std::optional<std::u32string> utf8 = decodeUtf8(bytes)) {
        for (const char32_t c : *utf8) {
            appendCodePoint(text, c);
        }
    } else {
        for (const char b : bytes) {
            appendCodePoint(text, static_cast<unsigned char>(b));
        }
    }
    return text;
}

std::string tagText(const AURA_TAG &tag)
{
    std::string text;
    const auto *bytes = static_cast<const unsigned char *>(tag.data);
    if (!bytes && tag.datalen > 0) {
        return text;
    }
    switch (tag.datatype) {
    case AURA_TAGDATATYPE_INT: {
        long long value = 0;
        for (unsigned int i = 0; i < tag.datalen && i < 8; ++i) {
            value |= static_cast<long long>(bytes[i]) << (8 * i);
        }
        return std::to_string(value);
    }
    case AURA_TAGDATATYPE_STRING:
    case AURA_TAGDATATYPE_STRING_UTF8: {
        const auto *chars = reinterpret_cast<const char *>(bytes);
        return textOfBytes(std::string_view(chars, strnlen(chars, tag.datalen)));
    }
    case AURA_TAGDATATYPE_STRING_UTF16:
    case AURA_TAGDATATYPE_STRING_UTF16BE: {
        // To UTF-8, after a byte-order mark if there is one; unpaired
        // surrogates show as '?'.
        bool big = tag.datatype == AURA_TAGDATATYPE_STRING_UTF16BE;
        const auto unitAt = [&](unsigned int i) {
            return big ? (bytes[i] << 8 | bytes[i + 1]) : (bytes[i] | bytes[i + 1] << 8);
        };
        for (unsigned int i = 0; i + 1 < tag.datalen; i += 2) {
            char32_t unit = static_cast<char32_t>(unitAt(i));
            if (i == 0 && (unit == 0xFEFF || unit == 0xFFFE)) {
                big = unit == 0xFFFE ? !big : big;
                continue;
            }
            if (unit == 0) {
                break;
            }
            if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < tag.datalen && unitAt(i + 2) >= 0xDC00 &&
                unitAt(i + 2) < 0xE000) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (static_cast<char32_t>(unitAt(i + 2)) - 0xDC00);
                i += 2;
            } else if (unit >= 0xD800 && unit < 0xE000) {
                unit = '?';
            }
            appendCodePoint(text, unit);
        }
        return text;
    }
    default:
        if (tag.datalen == 0) {
            return text; // a marker without a value (a playlist's ENTRY)
        }
        text = "<";
        text += std::to_string(tag.datalen);
        text += " bytes>";
        return text;
    }
}

// The length of a stream whose codec could not tell it (a file that reads
// forward only): played through on the probe system, which mixes a block per
// update, until its data ends. Unknown when the server gave no length (a
// radio would never end) or the stream fails.
unsigned int measureLength(AURA::System *system, AURA::Sound *sound)
{
    constexpr unsigned int kUnknown = 0xFFFFFFFFu;
    unsigned int bytes = kUnknown;
    AURA::Channel *channel = nullptr;
    if (sound->getLength(&bytes, AURA_TIMEUNIT_RAWBYTES) != AURA_OK || bytes == kUnknown ||
        system->playSound(AURA_CHANNEL_FREE, sound, false, &channel) != AURA_OK) {
        return kUnknown;
    }
    // A channel that ended is no longer a valid handle.
    bool playing = true;
    bool failed = false;
    while (playing && !interrupted()) {
        failed = system->update() != AURA_OK;
        bool now = false;
        playing = !failed && channel->isPlaying(&now) == AURA_OK && now;
    }
    (void)channel->stop();
    AURA_OPENSTATE state = AURA_OPENSTATE_READY;
    unsigned int length = kUnknown;
    if (playing || failed || (sound->getOpenState(&state) == AURA_OK && state == AURA_OPENSTATE_ERROR) ||
        sound->getLength(&length, AURA_TIMEUNIT_PCM) != AURA_OK) {
        return kUnknown;
    }
    return length;
}

// What a sound whose file held less than it declares is told with, by its
// length (the frames it held); nothing for a sound that was whole.
std::optional<std::string> endedEarly(AURA::Sound *sound)
{
    AURA_OPENSTATE state = AURA_OPENSTATE_READY;
    AURA_RESULT failure = AURA_OK;
    if (sound->getOpenState(&state, &failure) != AURA_OK || failure != AURA_ERR_FILE_EOF) {
        return std::nullopt;
    }
    unsigned int length = 0;
    (void)sound->getLength(&length, AURA_TIMEUNIT_PCM);
    return length == 0 ? "held no audio: the file is damaged" : "ended early: the file is cut or damaged";
}

int describeFile(AURA::System *system, const std::string &file, const Options &options)
{
    SoundHandle sound;
    // MPEG files scan every frame for an exact length.
    if (!openSound(system, file, kLookMode | AURA_ACCURATETIME | AURA_OPENONLY, sound, false, -1, rawInfo(options))) {
        return kExitFileFailed;
    }
    AURA_SOUND_TYPE type = AURA_SOUND_TYPE_UNKNOWN;
    AURA_SOUND_FORMAT format = AURA_SOUND_FORMAT_NONE;
    int channels = 0;
    int bits = 0;
    float frequency = 0.0f;
    unsigned int lengthPcm = 0;
    unsigned int lengthMs = 0;
    // A stream reports the format its file stores.
    (void)sound->getFormat(&type, &format, &channels, &bits);
    (void)sound->getDefaults(&frequency, nullptr, nullptr, nullptr);
    (void)sound->getLength(&lengthPcm, AURA_TIMEUNIT_PCM);
    if (lengthPcm == 0xFFFFFFFFu) {
        lengthPcm = measureLength(system, sound.get());
    }
    (void)sound->getLength(&lengthMs, AURA_TIMEUNIT_MS);

    std::printf("%s\n", file.c_str());
    // The platform decoder names the container and codec it found.
    char source[256] = {};
    if (type == AURA_SOUND_TYPE_AUDIOQUEUE && sound->getName(source, sizeof(source)) == AURA_OK && source[0]) {
        std::printf("  type:     %s: %s\n", typeName(type), source);
    } else {
        std::printf("  type:     %s\n", typeName(type));
    }
    std::printf("  format:   %s\n", formatName(format));
    std::printf("  channels: %d\n", channels);
    std::printf("  rate:     %.0f Hz\n", static_cast<double>(frequency));
    if (lengthPcm == 0xFFFFFFFFu) {
        std::printf("  length:   unknown\n");
    } else {
        std::printf("  length:   %u samples, %u ms\n", lengthPcm, lengthMs);
    }
    // A multi-sound file: each subsound in turn (a stream switches to it).
    int numSubSounds = 0;
    (void)sound->getNumSubSounds(&numSubSounds);
    if (numSubSounds > 0) {
        std::printf("  subsounds: %d\n", numSubSounds);
    }
    for (int i = 0; i < numSubSounds; ++i) {
        AURA::Sound *sub = nullptr;
        char name[256] = {};
        unsigned int subLength = 0;
        AURA_SOUND_FORMAT subFormat = AURA_SOUND_FORMAT_NONE;
        int subChannels = 0;
        if (sound->getSubSound(i, &sub) != AURA_OK || !sub) {
            std::printf("  subsound %d: not playable\n", i);
            continue;
        }
        (void)sub->getName(name, sizeof(name));
        (void)sub->getFormat(nullptr, &subFormat, &subChannels, nullptr);
        (void)sub->getLength(&subLength, AURA_TIMEUNIT_PCM);
        std::printf("  subsound %d: \"%s\", %s, %d channels, %u samples\n", i, name, formatName(subFormat), subChannels,
                    subLength);
    }
    int numTags = 0;
    if (sound->getNumTags(&numTags, nullptr) == AURA_OK) {
        for (int i = 0; i < numTags; ++i) {
            AURA_TAG tag{};
            if (sound->getTag(nullptr, i, &tag) == AURA_OK && tag.name) {
                std::printf("  tag:      %s=%s\n", tag.name, tagText(tag).c_str());
                if (type == AURA_SOUND_TYPE_PLAYLIST && std::string(tag.name) == "FILE") {
                    std::printf("  entry:    %s\n", tagText(tag).c_str());
                }
            }
        }
    }
    // A file cut short says so, as its render does.
    if (const std::optional<std::string> cut = endedEarly(sound.get())) {
        std::fflush(stdout);
        reportFile(file, *cut);
        return kExitFileFailed;
    }
    return kExitOk;
}

// A file on its way through the output: started (perhaps waiting for its
// first frame) and not yet retired.
struct Playing {
    std::string file;
    SoundHandle sound;
    AURA::Sound *played = nullptr;   // the sound or its subsound
    bool sentence = false;           // it plays a sentence of subsounds
    AURA::Channel *channel = nullptr;
    uint64_t start = 0;              // output frame where its sound starts
    std::optional<uint64_t> end;     // output frame where it ends, when it does
};

// An internet radio's station and titles, as they arrive and change: the
// tags the engine marks updated.
void reportNewTitles(Playing &item)
{
    AURA_TAG tag{};
    while (item.sound->getTag(nullptr, -1, &tag) == AURA_OK) {
        if ((tag.type == AURA_TAGTYPE_SHOUTCAST || tag.type == AURA_TAGTYPE_ICECAST) && tag.name) {
            std::printf("%s: %s=%s\n", item.file.c_str(), tag.name, tagText(tag).c_str());
            std::fflush(stdout);
        }
    }
}

// Where a file's sound ends in the output: the rest after the seek, the
// loop repeated, at the playback speed, cut by --duration; nothing for a
// loop for ever without a duration.
std::optional<uint64_t> outputFrames(const Options &options, AURA::Sound *sound, int outputRate)
{
    unsigned int length = 0;
    unsigned int loopStart = 0;
    unsigned int loopEnd = 0;
    float ownRate = 0.0f;
    (void)sound->getLength(&length, AURA_TIMEUNIT_PCM);
    (void)sound->getLoopPoints(&loopStart, &loopEnd);
    (void)sound->getDefaults(&ownRate, nullptr, nullptr, nullptr);

    const double playRate = options.frequency > 0.0f ? options.frequency : (ownRate > 0.0f ? ownRate : 1.0f);
    const double seekFrames = std::floor(static_cast<double>(options.seekMs) * ownRate / 1000.0);
    const double loopLength = loopEnd >= loopStart ? static_cast<double>(loopEnd - loopStart) + 1.0 : 0.0;
    std::optional<uint64_t> frames;
    if (length == 0xFFFFFFFFu && options.durationMs < 0) {
        return frames; // known when the stream's data ends
    }
    double sourceFrames = std::max(0.0, static_cast<double>(length) - seekFrames);
    if (options.loop > 0) {
        sourceFrames += loopLength * options.loop;
    }
    if (options.loop >= 0 && length != 0xFFFFFFFFu) {
        frames = static_cast<uint64_t>(std::ceil(sourceFrames * outputRate / playRate));
    }
    if (options.durationMs >= 0) {
        const auto duration = static_cast<uint64_t>(std::llround(static_cast<double>(options.durationMs) * outputRate / 1000.0));
        frames = frames ? std::min(*frames, duration) : duration;
    }
    return frames;
}

// Opens a file and starts it at output frame `at` (on the device: at once).
std::optional<Playing> startFile(Session &session, const Options &options, const std::string &file, uint64_t at)
{
    AURA::System *system = session.system();
    Playing item;
    item.file = file;
    const AURA_MODE mode = soundMode(options) | (isUrl(file) ? AURA_CREATESTREAM : 0);
    if (!openSound(system, file, mode, item.sound, false, options.subsound, rawInfo(options))) {
        return std::nullopt;
    }
    AURA::Sound *sound = playable(item.sound.get(), options.subsound);
    item.played = sound;
    if (options.subsound >= 0 && options.sentence.empty()) {
        // A subsound that cannot play says so alike as a sample and as a
        // stream: one the engine left unloaded is in a format it does not
        // play, one without frames holds no audio.
        unsigned int frames = 0;
        if (sound == item.sound.get() && !(mode & AURA_CREATESTREAM)) {
            reportFile(file, describe(AURA_ERR_FORMAT));
            return std::nullopt;
        }
        if (sound->getLength(&frames, AURA_TIMEUNIT_PCM) == AURA_OK && frames == 0) {
            reportFile(file, endedEarly(sound).value_or("subsound " + std::to_string(options.subsound) +
                                                        " holds no audio"));
            return std::nullopt;
        }
    }
    AURA_RESULT result = AURA_OK;
    const char *what = "play";
    if (!options.sentence.empty()) {
        what = "set the sentence";
        result = sound->setSubSoundSentence(const_cast<int *>(options.sentence.data()),
                                            static_cast<int>(options.sentence.size()));
    }
    if (result == AURA_OK) {
        what = "play";
        item.sentence = !options.sentence.empty();
        result = system->playSound(AURA_CHANNEL_FREE, sound, true, &item.channel);
    }
    if (result == AURA_OK) {
        what = "set the volume";
        result = item.channel->setVolume(options.volume);
    }
    if (result == AURA_OK) {
        what = "set the pan";
        result = item.channel->setPan(options.pan);
    }
    if (result == AURA_OK && options.positioned) {
        what = "place the sound";
        result = item.channel->set3DAttributes(&options.position, nullptr);
    }
    if (result == AURA_OK && options.frequency > 0.0f) {
        what = "set the frequency";
        result = item.channel->setFrequency(options.frequency);
    }
    if (result == AURA_OK && options.loop != 0) {
        what = "set the loop count";
        result = item.channel->setLoopCount(options.loop);
    }
    if (result == AURA_OK && options.seekMs > 0) {
        what = "seek";
        result = item.channel->setPosition(options.seekMs, AURA_TIMEUNIT_MS);
    }
    const std::optional<uint64_t> frames = outputFrames(options, sound, session.rate());
    item.start = at;
    if (frames) {
        item.end = at + *frames;
    }
    if (result == AURA_OK && session.rendering()) {
        // Sample-exact in a render: the file starts where the one before
        // ended, and ends where its window does.
        what = "schedule";
        result = item.channel->setDelay(AURA_DELAYTYPE_DSPCLOCK_START, static_cast<unsigned int>(at >> 32),
                                        static_cast<unsigned int>(at));
        if (result == AURA_OK && item.end) {
            result = item.channel->setDelay(AURA_DELAYTYPE_DSPCLOCK_END, static_cast<unsigned int>(*item.end >> 32),
                                            static_cast<unsigned int>(*item.end));
        }
    }
    if (result == AURA_OK) {
        what = "start";
        result = item.channel->setPaused(false);
    }
    if (result != AURA_OK) {
        if (item.channel) {
            (void)item.channel->stop();
        }
        int numSubSounds = 0;
        if (result == AURA_ERR_SUBSOUNDS && sound->getNumSubSounds(&numSubSounds) == AURA_OK && numSubSounds > 0) {
            reportFile(file, "this file holds " + std::to_string(numSubSounds) +
                                 " sounds: choose one with --subsound N or --sentence");
        } else {
            reportFile(file, std::string("cannot ") + what + ": " + describe(result));
        }
        return std::nullopt;
    }
    if (!options.quiet) {
        std::fprintf(stderr, "aura-play: %s %s\n", session.rendering() ? "rendering" : "playing", file.c_str());
    }
    return item;
}

bool isPlaying(const Playing &item)
{
    bool playing = false;
    return item.channel->isPlaying(&playing) == AURA_OK && playing;
}

// A file that stopped: false (after saying why) when its decoding failed,
// when its data ended before the length it declared, or when its sentence's
// subsounds held no audio at all (as such a subsound alone is refused).
bool retire(Playing &item)
{
    AURA_OPENSTATE state = AURA_OPENSTATE_READY;
    AURA_RESULT failure = AURA_OK;
    (void)item.channel->stop();
    if (item.sound->getOpenState(&state, &failure) == AURA_OK && state == AURA_OPENSTATE_ERROR) {
        reportFile(item.file, describe(failure));
        return false;
    }
    if (const std::optional<std::string> cut = endedEarly(item.played)) {
        reportFile(item.file, *cut);
        return false;
    }
    unsigned int length = 0;
    if (item.sentence && item.played->getLength(&length, AURA_TIMEUNIT_PCM) == AURA_OK && length == 0) {
        reportFile(item.file, "the sentence's subsounds hold no audio");
        return false;
    }
    return true;
}

// A stream whose data ended before the length it declared ends there.
void endWhereTheDataEnds(const Options &options, Playing &item, int rate)
{
    if (!item.end) {
        return;
    }
    if (const std::optional<uint64_t> frames = outputFrames(options, item.played, rate);
        frames && item.start + *frames < *item.end) {
        item.end = item.start + *frames;
    }
}

// The creation info of a probe that wants a file's rate and kind, not its
// sound: the smallest decode buffer (the render decodes the file again from
// the top).
AURA_CREATESOUNDEXINFO probeInfo(const Options &options)
{
    AURA_CREATESOUNDEXINFO exinfo{};
    if (const AURA_CREATESOUNDEXINFO *raw = rawInfo(options)) {
        exinfo = *raw;
    }
    exinfo.cbsize = sizeof(exinfo);
    exinfo.decodebuffersize = 1;
    return exinfo;
}

// The rate a render of an opened file is made at: its own, or the nearest
// the output takes (said when it is not the file's); 0 when it has none.
int ownRenderRate(AURA::Sound *sound, const std::string &file)
{
    float ownRate = 0.0f;
    if (sound->getDefaults(&ownRate, nullptr, nullptr, nullptr) != AURA_OK || !(ownRate > 0.0f)) {
        return 0;
    }
    const int own = static_cast<int>(std::lround(std::min(ownRate, 1e9f)));
    const int rate = std::clamp(own, kLowestRate, kHighestRate);
    if (rate != own) {
        std::fprintf(stderr, "aura-play: %s: its rate of %d Hz is %s the output takes; rendering at %d Hz\n",
                     file.c_str(), own, own < rate ? "below the lowest" : "above the highest", rate);
    }
    return rate;
}

// Opens probe systems on first use only, and one for all.
class Probe {
public:
    ProbeSystem &get()
    {
        if (!mSystem) {
            mSystem = std::make_unique<ProbeSystem>(48000, 1);
        }
        return *mSystem;
    }
    void release() { mSystem.reset(); }

private:
    std::unique_ptr<ProbeSystem> mSystem;
};

// The rate a render of these files is made at: --rate, or the one file's
// own rate so that nothing is resampled, or 48000. `known` is the one
// file's rate when the playlist look already opened it (0: not known).
int renderRate(const Options &options, Probe &probe, int known)
{
    if (options.rate > 0) {
        return options.rate;
    }
    if (options.files.size() != 1) {
        return 48000;
    }
    if (known > 0) {
        return known;
    }
    SoundHandle sound;
    const AURA_CREATESOUNDEXINFO exinfo = probeInfo(options);
    const int subsound = options.sentence.empty() ? options.subsound : options.sentence[0];
    // A subsound's rate is found on the stream that plays it.
    const AURA_MODE mode = subsound < 0 && !isUrl(options.files[0]) ? kFactsMode : kLookMode;
    // A file that does not open says so when it is played.
    if (probe.get().result == AURA_OK &&
        openSound(probe.get().system, options.files[0], mode, sound, true, subsound, &exinfo)) {
        if (!tellsOwnRate(sound.get(), mode)) {
            sound.reset();
            if (!openSound(probe.get().system, options.files[0], kLookMode, sound, true, subsound, &exinfo)) {
                return 48000;
            }
        }
        if (const int rate = ownRenderRate(sound.get(), options.files[0]); rate > 0) {
            return rate;
        }
    }
    return 48000;
}

// The files to play: each playlist stands for the files it lists (names
// relative to its folder; a playlist inside one is not opened again).
// `empty` is set when a playlist lists none. When one file is given that
// is no playlist, the same open tells its render rate (`rate`; else 0).
std::vector<std::string> expandPlaylists(const Options &options, Probe &probe, bool *empty, int *rate)
{
    *rate = 0;
    std::vector<std::string> files;
    // The open that looks for a playlist tells the rate too when it is made
    // as the rate's own open would be.
    const bool tellsRate = options.files.size() == 1 && options.rate <= 0 && options.subsound < 0 &&
                           options.sentence.empty() && !rawInfo(options);
    const AURA_CREATESOUNDEXINFO exinfo = probeInfo(options);
    for (const std::string &file : options.files) {
        SoundHandle sound;
        AURA_SOUND_TYPE type = AURA_SOUND_TYPE_UNKNOWN;
        const AURA_MODE mode = !isUrl(file) ? kFactsMode : kLookMode;
        if (options.rawFormat != AURA_SOUND_FORMAT_NONE || probe.get().result != AURA_OK ||
            !openSound(probe.get().system, file, mode, sound, true, -1, tellsRate ? &exinfo : nullptr) ||
            sound->getFormat(&type, nullptr, nullptr, nullptr) != AURA_OK || type != AURA_SOUND_TYPE_PLAYLIST) {
            if (tellsRate && sound && tellsOwnRate(sound.get(), mode)) {
                *rate = ownRenderRate(sound.get(), file);
            }
            files.push_back(file); // played as it is, or its failure told then
            continue;
        }
        const std::filesystem::path folder = std::filesystem::path(file).parent_path();
        const size_t before = files.size();
        AURA_TAG tag{};
        for (int i = 0; sound->getTag("FILE", i, &tag) == AURA_OK; ++i) {
            const std::string entry = tagText(tag);
            if (entry.empty()) {
                continue;
            }
            const bool url = entry.find("://") != std::string::npos;
            files.push_back(url || std::filesystem::path(entry).is_absolute() ? entry : (folder / entry).string());
        }
        if (files.size() == before) {
            reportFile(file, "the playlist has no entries");
            *empty = true;
        }
    }
    return files;
}

} // namespace

int printInfo(const Options &options)
{
    ProbeSystem probe(options.rate > 0 ? options.rate : 48000);
    if (probe.result != AURA_OK) {
        std::fprintf(stderr, "aura-play: cannot start the sound system: %s\n", describe(probe.result).c_str());
        return kExitFileFailed;
    }
    int status = kExitOk;
    for (const std::string &file : options.files) {
        if (describeFile(probe.system, file, options) != kExitOk) {
            status = kExitFileFailed;
        }
    }
    return status;
}

int playFiles(const Options &given, const std::vector<EffectSpec> &effects)
{
    Options options = given;
    bool emptyPlaylist = false;
    int knownRate = 0;
    Probe probe;
    options.files = expandPlaylists(given, probe, &emptyPlaylist, &knownRate);
    SessionPlan plan;
    plan.render = options.rendering();
    plan.wavPath = options.rendering() ? options.output : kDefaultWav;
    plan.format = options.format;
    plan.quiet = options.quiet;
    plan.profilePort = options.profilePort;
    plan.rate = options.rate > 0 ? options.rate : 48000;
    plan.renderRate = renderRate(options, probe, knownRate);
    probe.release();
    plan.endless = options.loop < 0 && options.durationMs < 0;
    plan.channels = 8;

    std::string error;
    int openStatus = kExitOk;
    std::unique_ptr<Session> session = Session::open(plan, error, openStatus);
    if (!session) {
        std::fprintf(stderr, "aura-play: %s\n", error.c_str());
        return openStatus;
    }
    int status = emptyPlaylist ? kExitFileFailed : kExitOk;
    std::vector<AURA::DSP *> units;
    std::vector<AURA::DSP *> generators;
    AURA_RESULT applied = applyEffects(session->system(), effects, units, generators);
    if (applied == AURA_OK) {
        applied = applyReverbs(session->system(), options);
    }
    if (const AURA_RESULT result = applied; result != AURA_OK) {
        std::fprintf(stderr, "aura-play: cannot set up the effect units: %s\n", describe(result).c_str());
        (void)session->close();
        return kExitFileFailed;
    }

    // The files in order; in a render each is started, waiting for its
    // first frame, before the block that holds the end of the one before.
    std::deque<Playing> started;
    size_t next = 0;
    bool anyPlayed = false;
    uint64_t endFrame = 0;
    const auto startDue = [&]() {
        while (next < options.files.size() && !interrupted()) {
            const bool due = started.empty() ||
                             (session->rendering() && started.back().end &&
                              *started.back().end <= session->framesMixed() + session->blockLength());
            if (!due) {
                return;
            }
            const uint64_t at = started.empty() ? session->framesMixed() : *started.back().end;
            if (std::optional<Playing> item = startFile(*session, options, options.files[next++], at)) {
                anyPlayed = true;
                started.push_back(std::move(*item));
            } else {
                status = kExitFileFailed;
            }
        }
    };

    // Seconds of a file's sound (0: for ever), and of it played so far.
    const auto seconds = [&](const Playing &item) {
        return item.end ? static_cast<double>(*item.end - item.start) / session->rate() : 0.0;
    };
    const auto playedSeconds = [&](const Playing &item) {
        const uint64_t now = session->framesMixed();
        return now > item.start ? static_cast<double>(now - item.start) / session->rate() : 0.0;
    };

    bool writeFailed = false;
    startDue();
    std::optional<Progress> progress;
    while (!started.empty() && !interrupted()) {
        Playing &current = started.front();
        if (!progress) {
            progress.emplace(!options.quiet, current.file);
        }
        // On the device the duration is kept by the clock.
        if (!session->rendering() && current.end && session->framesMixed() >= *current.end) {
            (void)current.channel->stop();
        }
        const AURA_RESULT result = session->step();
        if (result != AURA_OK) {
            progress->finish();
            session->reportUpdateFailure(current.file, result);
            writeFailed = session->rendering();
            status = kExitFileFailed;
            break;
        }
        if (!options.quiet) {
            reportNewTitles(current);
        }
        for (Playing &item : started) {
            endWhereTheDataEnds(options, item, session->rate());
        }
        progress->show(playedSeconds(current), seconds(current));
        while (!started.empty() && !isPlaying(started.front())) {
            progress.reset();
            Playing &done = started.front();
            if (!done.end) {
                // A stream of unknown length knows it now that its data
                // ended: the output ends there, not with the block.
                if (const std::optional<uint64_t> frames = outputFrames(
                        options, playable(done.sound.get(), options.subsound), session->rate())) {
                    done.end = std::min(done.start + *frames, session->framesMixed());
                }
            }
            endFrame = std::max(endFrame, done.end ? *done.end : session->framesMixed());
            if (!retire(done)) {
                status = kExitFileFailed;
            }
            started.pop_front();
        }
        startDue();
    }
    progress.reset();
    if (!started.empty()) {
        // Stopped early: the output holds exactly what was mixed.
        endFrame = session->framesMixed();
        for (Playing &item : started) {
            (void)item.channel->stop();
        }
        started.clear();
    } else {
        session->drain();
    }
    if (!anyPlayed) {
        // Nothing was played: leave the WAV path as it was.
        session->abandon(interrupted() ? kNothingRendered : nullptr);
        return interrupted() ? kExitInterrupted : status;
    }
    return session->finish(endFrame, status, writeFailed);
}

int playGenerators(const Options &options, const std::vector<EffectSpec> &effects)
{
    SessionPlan plan;
    plan.render = options.rendering();
    plan.wavPath = options.rendering() ? options.output : kDefaultWav;
    plan.format = options.format;
    plan.quiet = options.quiet;
    plan.profilePort = options.profilePort;
    plan.rate = options.rate > 0 ? options.rate : 48000;
    plan.renderRate = plan.rate;
    std::string error;
    int openStatus = kExitOk;
    std::unique_ptr<Session> session = Session::open(plan, error, openStatus);
    if (!session) {
        std::fprintf(stderr, "aura-play: %s\n", error.c_str());
        return openStatus;
    }
    std::vector<AURA::DSP *> units;
    std::vector<AURA::DSP *> generators;
    AURA_RESULT result = applyEffects(session->system(), effects, units, generators);
    if (result == AURA_OK) {
        result = applyReverbs(session->system(), options);
    }
    for (AURA::DSP *generator : generators) {
        AURA::Channel *channel = nullptr;
        if (result == AURA_OK) {
            result = session->system()->playDSP(AURA_CHANNEL_FREE, generator, false, &channel);
        }
        if (result == AURA_OK) {
            result = channel->setVolume(options.volume);
        }
    }
    if (result != AURA_OK) {
        std::fprintf(stderr, "aura-play: cannot play the effect units: %s\n", describe(result).c_str());
        (void)session->close();
        return kExitFileFailed;
    }
    const auto frames =
        static_cast<uint64_t>(std::llround(static_cast<double>(options.durationMs) * session->rate() / 1000.0));
    bool writeFailed = false;
    int status = kExitOk;
    while (session->framesMixed() < frames && !interrupted()) {
        result = session->step();
        if (result != AURA_OK) {
            session->reportUpdateFailure("the generator", result);
            writeFailed = session->rendering();
            status = kExitFileFailed;
            break;
        }
    }
    return session->finish(std::min(frames, session->framesMixed()), status, writeFailed);
}

int run(const Options &options)
{
    installInterruptHandler();
    if (options.info) {
        return printInfo(options);
    }
    std::vector<EffectSpec> effects;
    if (options.listDsp || !options.dsps.empty()) {
        ProbeSystem probe;
        if (probe.result != AURA_OK) {
            std::fprintf(stderr, "aura-play: cannot start the sound system: %s\n", describe(probe.result).c_str());
            return kExitFileFailed;
        }
        if (options.listDsp) {
            std::fputs(listEffects(probe.system).c_str(), stdout);
            return kExitOk;
        }
        for (const std::string &text : options.dsps) {
            EffectSpec spec;
            std::string error;
            if (!resolveEffect(probe.system, text, spec, error)) {
                std::fprintf(stderr, "aura-play: %s\n", error.c_str());
                return kExitUsage;
            }
            effects.push_back(std::move(spec));
        }
    }
    const bool generator =
        std::any_of(effects.begin(), effects.end(), [](const EffectSpec &spec) { return spec.channels > 0; });
    if (options.files.empty() && generator) {
        if (options.durationMs < 0) {
            std::fprintf(stderr, "aura-play: a generator unit plays for --duration: give it\n");
            return kExitUsage;
        }
        return playGenerators(options, effects);
    }
    if (options.files.empty()) {
        if (!effects.empty()) {
            std::fprintf(stderr, "aura-play: --dsp needs a file, or a generator unit such as the oscillator\n");
            return kExitUsage;
        }
        return playDemo(options);
    }
    return playFiles(options, effects);
}

} // namespace auraplay
