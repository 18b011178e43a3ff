#include "options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>

namespace auraplay {
namespace {

std::optional<long long> toInteger(const std::string &text)
{
    if (text.empty()) {
        return std::nullopt;
    }
    errno = 0;
    char *end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0') {
        return std::nullopt;
    }
    return value;
}

std::optional<double> toNumber(const std::string &text)
{
    if (text.empty()) {
        return std::nullopt;
    }
    errno = 0;
    char *end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || end == text.c_str() || *end != '\0' || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::string refuse(const std::string &name, const std::string &value, const std::string &expected)
{
    std::string message = "invalid value '";
    message += value;
    message += "' for ";
    message += name;
    message += ": expected ";
    message += expected;
    return message;
}

} // namespace

namespace {
// "s16:2:44100": format, channels (1 to 16), rate (1 to 1000000 Hz).
bool parseRaw(const std::string &value, Options &options)
{
    static constexpr struct {
        const char *name;
        AURA_SOUND_FORMAT format;
    } kFormats[] = {{"s8", AURA_SOUND_FORMAT_PCM8},
                    {"s16", AURA_SOUND_FORMAT_PCM16},
                    {"s24", AURA_SOUND_FORMAT_PCM24},
                    {"s32", AURA_SOUND_FORMAT_PCM32},
                    {"f32", AURA_SOUND_FORMAT_PCMFLOAT}};
    const size_t first = value.find(':');
    const size_t second = first == std::string::npos ? first : value.find(':', first + 1);
    if (second == std::string::npos) {
        return false;
    }
    const std::string format = value.substr(0, first);
    const auto channels = toInteger(value.substr(first + 1, second - first - 1));
    const auto rate = toInteger(value.substr(second + 1));
    if (!channels || *channels < 1 || *channels > 16 || !rate || *rate < 1 || *rate > 1000000) {
        return false;
    }
    for (const auto &entry : kFormats) {
        if (format == entry.name) {
            options.rawFormat = entry.format;
            options.rawChannels = static_cast<int>(*channels);
            options.rawRate = static_cast<int>(*rate);
            return true;
        }
    }
    return false;
}
} // namespace

std::string usageText()
{
    return "Usage: aura-play [OPTIONS] [FILE...]\n"
           "Plays sound files with the Aura engine, one after another, on the sound\n"
           "device, or renders them to a WAV file. Without a file it plays a built-in\n"
           "demo. When no sound device opens, the sound is rendered to aura-play.wav\n"
           "(or the -o file) as -o would render it.\n"
           "\n"
           "Formats:\n"
           "  WAV          8, 16, 24 and 32-bit PCM, 32-bit float, IMA ADPCM\n"
           "  Ogg Vorbis   plain or in a RIFF/WAVE file, chained streams\n"
           "  AIFF         AIFF and uncompressed AIFF-C, 8 to 32-bit PCM\n"
           "  FLAC         8, 16, 24 and 32-bit, 1 to 8 channels\n"
           "  DLS          collections of waves (subsounds: see --info, --subsound)\n"
           "  SBK          SBK4 sample banks, PCM, IMA ADPCM and MPEG (subsounds as for DLS)\n"
           "  ID3 tags     v1 and v2 in front of or behind any of these files (--info)\n"
           "  Playlists    M3U, PLS, ASX, WPL, B4S: their files play in order\n"
           "  Raw PCM      with --raw\n"
           "  MIDI         standard MIDI files, played on a DLS bank (--dls)\n"
           "  Modules      MOD, S3M, XM and IT songs\n"
           "               (songs have no rate of their own: 48000 Hz, or --rate)\n"
           "  MPEG audio   MP3 and MP2 (MPEG-1, 2 and 2.5 layers II and III), plain or\n"
           "               in a RIFF/WAVE file\n"
           "  AudioQueue   through FFmpeg: AAC in MP4/M4A, CAF and ADTS; ALAC in M4A and\n"
           "               CAF; CAF linear PCM, IMA4, mu-law, A-law; AIFF-C IMA4, mu-law,\n"
           "               A-law, 32 and 64-bit float; WAV mu-law, A-law, GSM 6.10\n"
           "               (--info names which)\n"
           "\n"
           "Options:\n"
           "  -o, --output FILE   render to FILE (WAV) as fast as possible\n"
           "      --stream        open the files as streams instead of samples\n"
           "      --compressed    keep IMA ADPCM and MPEG samples compressed, decoded as they play\n"
           "      --rate HZ       output rate, 8000..192000 (default: the file's rate,\n"
           "                      or the nearest of those, when rendering one file,\n"
           "                      else 48000)\n"
           "      --format F      output sample format: pcm16 (default) or float\n"
           "      --volume V      volume, 0..1 (default 1)\n"
           "      --pan P         pan, -1 (left) .. 1 (right) (default 0)\n"
           "      --frequency HZ  playback frequency (default: the file's rate)\n"
           "      --loop N        play N extra times; -1 loops for ever (only on the\n"
           "                      device, or with --duration)\n"
           "      --seek MS       start at MS milliseconds\n"
           "      --duration MS   stop each file after MS milliseconds\n"
           "      --subsound N    play subsound N (from 0) of a multi-sound file\n"
           "      --sentence L    play the subsounds of list L (such as 3,0,2) one after\n"
           "                      another, with no gap\n"
           "      --dls FILE      the DLS bank that MIDI files play on\n"
           "      --polyphony N   voices of a MIDI file, 1..4096 (default 32)\n"
           "      --profile PORT  run the engine's profiler on 127.0.0.1:PORT while\n"
           "                      playing (watch it with aura-profile 127.0.0.1:PORT)\n"
           "      --info          print each file's format, length and tags, then exit\n"
           "      --raw F:C:R     the files are headerless PCM: format s8, s16, s24,\n"
           "                      s32 or f32, C channels (1..16), R Hz (e.g. s16:2:44100)\n"
           "      --dsp NAME[:P=V,...]\n"
           "                      put an effect unit on the mix (may repeat: the first\n"
           "                      processes first); P is a parameter's index or the start\n"
           "                      of its name or of a word of it, V a number or a value's name. A generator\n"
           "                      (oscillator) without a file plays for --duration\n"
           "      --list-dsp      print every unit with its parameters\n"
           "      --reverb FIELD=V,...\n"
           "                      a room reverb on the mix, fed by every channel: the\n"
           "                      generic room with the named AURA_REVERB_PROPERTIES\n"
           "                      fields changed (DecayTime=2.5,Room=-500; any case)\n"
           "      --reverb-3d FIELD=V,...\n"
           "                      the ambient (3D) reverb around the listener, as\n"
           "                      --reverb: 3D sounds send to it, not to --reverb\n"
           "      --user-reverb X,Y,Z,MIN,MAX[:FIELD=V,...]\n"
           "                      a reverb placed at X,Y,Z: a 3D sound within MIN\n"
           "                      sends fully, less and less out to MAX, nothing\n"
           "                      beyond (may repeat; fields as for --reverb)\n"
           "      --position X,Y,Z\n"
           "                      play the sound in 3D at X,Y,Z (the listener is at\n"
           "                      the origin facing +Z, +X to its right)\n"
           "  -q, --quiet         print nothing but errors\n"
           "  -h, --help          print this help\n"
           "      --version       print the version\n"
           "Short options combine: -qo out.wav is -q -o out.wav.\n"
           "\n"
           "Exit status: 0 success, 1 a file could not be played or the output not\n"
           "written, 2 bad usage, 130 interrupted (the output is finished first).\n";
}

ParseResult parseOptions(const std::vector<std::string> &args, Options &options)
{
    ParseResult result;
    std::vector<std::string> words = args;
    bool filesOnly = false;
    for (size_t i = 0; i < words.size(); ++i) {
        // "-qo x.wav" and "-ox.wav" are "-q -o x.wav" and "-o x.wav": short
        // options share a word, and the value of -o may follow in it.
        if (!filesOnly && words[i].size() > 2 && words[i][0] == '-' && words[i][1] != '-') {
            const std::string cluster = words[i];
            std::vector<std::string> split;
            for (size_t k = 1; k < cluster.size(); ++k) {
                split.push_back(std::string("-") + cluster[k]);
                if (cluster[k] == 'o' && k + 1 < cluster.size()) {
                    split.push_back(cluster.substr(k + 1));
                    break;
                }
            }
            words.erase(words.begin() + static_cast<std::ptrdiff_t>(i));
            words.insert(words.begin() + static_cast<std::ptrdiff_t>(i), split.begin(), split.end());
        }
        const std::string &arg = words[i];
        if (filesOnly || arg.empty() || arg[0] != '-' || arg == "-") {
            options.files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            filesOnly = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (arg.rfind("--", 0) == 0) {
            const size_t equals = arg.find('=');
            if (equals != std::string::npos) {
                name = arg.substr(0, equals);
                inlineValue = arg.substr(equals + 1);
            }
        }

        const auto flag = [&](bool &target) {
            if (inlineValue) {
                result.error = "option ";
                result.error += name;
                result.error += " takes no value";
                return false;
            }
            target = true;
            return true;
        };
        // The value of an option: after '=' or the next argument.
        std::string value;
        const auto takeValue = [&]() {
            if (inlineValue) {
                value = *inlineValue;
                return true;
            }
            if (i + 1 >= words.size()) {
                result.error = "option ";
                result.error += name;
                result.error += " needs a value";
                return false;
            }
            value = words[++i];
            return true;
        };

        if (name == "-h" || name == "--help") {
            if (!flag(options.help)) {
                return result;
            }
        } else if (name == "--version") {
            if (!flag(options.version)) {
                return result;
            }
        } else if (name == "-q" || name == "--quiet") {
            if (!flag(options.quiet)) {
                return result;
            }
        } else if (name == "--info") {
            if (!flag(options.info)) {
                return result;
            }
        } else if (name == "--list-dsp") {
            if (!flag(options.listDsp)) {
                return result;
            }
        } else if (name == "--dsp") {
            if (!takeValue()) {
                return result;
            }
            if (value.empty()) {
                result.error = refuse(name, value, "NAME[:param=value,...]");
                return result;
            }
            options.dsps.push_back(value);
        } else if (name == "--reverb") {
            if (!takeValue()) {
                return result;
            }
            std::string why;
            if (!parseReverb(value, options.reverbProperties, why)) {
                result.error = refuse(name, value, "FIELD=value,... (" + why + ")");
                return result;
            }
            options.reverb = true;
        } else if (name == "--reverb-3d") {
            if (!takeValue()) {
                return result;
            }
            std::string why;
            if (!parseReverb(value, options.reverb3DProperties, why)) {
                result.error = refuse(name, value, "FIELD=value,... (" + why + ")");
                return result;
            }
            options.reverb3D = true;
        } else if (name == "--user-reverb") {
            if (!takeValue()) {
                return result;
            }
            std::string why;
            Options::UserReverb reverb;
            if (!parseUserReverb(value, reverb, why)) {
                result.error = refuse(name, value, "X,Y,Z,MIN,MAX[:FIELD=value,...] (" + why + ")");
                return result;
            }
            options.userReverbs.push_back(reverb);
        } else if (name == "--position") {
            if (!takeValue()) {
                return result;
            }
            if (!parseVector(value, options.position)) {
                result.error = refuse(name, value, "X,Y,Z");
                return result;
            }
            options.positioned = true;
        } else if (name == "--stream") {
            if (!flag(options.stream)) {
                return result;
            }
        } else if (name == "--compressed") {
            if (!flag(options.compressed)) {
                return result;
            }
        } else if (name == "-o" || name == "--output") {
            if (!takeValue()) {
                return result;
            }
            if (value.empty()) {
                result.error = refuse(name, value, "a file name");
                return result;
            }
            options.output = value;
        } else if (name == "--rate") {
            if (!takeValue()) {
                return result;
            }
            const auto rate = toInteger(value);
            if (!rate || *rate < kLowestRate || *rate > kHighestRate) {
                result.error = refuse(name, value, "a rate in Hz from 8000 to 192000");
                return result;
            }
            options.rate = static_cast<int>(*rate);
        } else if (name == "--format") {
            if (!takeValue()) {
                return result;
            }
            if (value == "pcm16") {
                options.format = AURA_SOUND_FORMAT_PCM16;
            } else if (value == "float") {
                options.format = AURA_SOUND_FORMAT_PCMFLOAT;
            } else {
                result.error = refuse(name, value, "pcm16 or float");
                return result;
            }
        } else if (name == "--raw") {
            if (!takeValue()) {
                return result;
            }
            if (!parseRaw(value, options)) {
                result.error = refuse(name, value, "FORMAT:CHANNELS:RATE, e.g. s16:2:44100");
                return result;
            }
        } else if (name == "--volume") {
            if (!takeValue()) {
                return result;
            }
            const auto volume = toNumber(value);
            if (!volume || *volume < 0.0 || *volume > 1.0) {
                result.error = refuse(name, value, "a number from 0 to 1");
                return result;
            }
            options.volume = static_cast<float>(*volume);
        } else if (name == "--pan") {
            if (!takeValue()) {
                return result;
            }
            const auto pan = toNumber(value);
            if (!pan || *pan < -1.0 || *pan > 1.0) {
                result.error = refuse(name, value, "a number from -1 to 1");
                return result;
            }
            options.pan = static_cast<float>(*pan);
        } else if (name == "--frequency") {
            if (!takeValue()) {
                return result;
            }
            const auto frequency = toNumber(value);
            if (!frequency || *frequency < 1.0 || *frequency > 1000000.0) {
                result.error = refuse(name, value, "a frequency in Hz from 1 to 1000000");
                return result;
            }
            options.frequency = static_cast<float>(*frequency);
        } else if (name == "--loop") {
            if (!takeValue()) {
                return result;
            }
            const auto loop = toInteger(value);
            if (!loop || *loop < -1 || *loop > 1000000) {
                result.error = refuse(name, value, "a count from 0 to 1000000, or -1 for ever");
                return result;
            }
            options.loop = static_cast<int>(*loop);
        } else if (name == "--seek") {
            if (!takeValue()) {
                return result;
            }
            const auto seek = toInteger(value);
            if (!seek || *seek < 0 || *seek > 0xFFFFFFFFLL) {
                result.error = refuse(name, value, "milliseconds, 0 or more");
                return result;
            }
            options.seekMs = static_cast<unsigned int>(*seek);
        } else if (name == "--subsound") {
            if (!takeValue()) {
                return result;
            }
            const auto subsound = toInteger(value);
            if (!subsound || *subsound < 0 || *subsound > 0x7FFFFFFFLL) {
                result.error = refuse(name, value, "a subsound index, 0 or more");
                return result;
            }
            options.subsound = static_cast<int>(*subsound);
        } else if (name == "--sentence") {
            if (!takeValue()) {
                return result;
            }
            options.sentence.clear();
            size_t from = 0;
            for (;;) {
                const size_t comma = value.find(',', from);
                const auto index = toInteger(value.substr(from, comma == std::string::npos ? comma : comma - from));
                if (!index || *index < 0 || *index > 0x7FFFFFFFLL || options.sentence.size() >= 4096) {
                    result.error = refuse(name, value, "subsound indices, 0 or more, separated by commas");
                    return result;
                }
                options.sentence.push_back(static_cast<int>(*index));
                if (comma == std::string::npos) {
                    break;
                }
                from = comma + 1;
            }
        } else if (name == "--dls") {
            if (!takeValue()) {
                return result;
            }
            options.dls = value;
        } else if (name == "--polyphony") {
            if (!takeValue()) {
                return result;
            }
            const auto polyphony = toInteger(value);
            if (!polyphony || *polyphony < 1 || *polyphony > 4096) {
                result.error = refuse(name, value, "a voice count, 1..4096");
                return result;
            }
            options.polyphony = static_cast<int>(*polyphony);
        } else if (name == "--profile") {
            if (!takeValue()) {
                return result;
            }
            const auto port = toInteger(value);
            if (!port || *port < 1 || *port > 65535) {
                result.error = refuse(name, value, "a TCP port, 1..65535");
                return result;
            }
            options.profilePort = static_cast<int>(*port);
        } else if (name == "--duration") {
            if (!takeValue()) {
                return result;
            }
            const auto duration = toInteger(value);
            if (!duration || *duration < 0 || *duration > 1000LL * 3600 * 24 * 365) {
                result.error = refuse(name, value, "milliseconds, 0 or more");
                return result;
            }
            options.durationMs = *duration;
        } else {
            result.error = "unknown option ";
            result.error += name;
            return result;
        }
    }

    if (options.help || options.version || options.listDsp) {
        result.ok = true;
        return result;
    }
    if (!options.sentence.empty() && options.subsound >= 0) {
        result.error = "--sentence and --subsound: give one of them";
        return result;
    }
    if (options.info && options.files.empty()) {
        result.error = "--info needs at least one file";
        return result;
    }
    if (options.loop < 0 && options.rendering() && options.durationMs < 0) {
        result.error = "--loop -1 would render for ever: give --duration as well";
        return result;
    }
    result.ok = true;
    return result;
}

bool parseReverb(const std::string &text, AURA_REVERB_PROPERTIES &p, std::string &error)
{
    p = AURA_REVERB_PROPERTIES{};
    p.Instance = 0;
    p.Environment = 0;
    p.EnvSize = 7.5f;
    p.EnvDiffusion = 1.0f;
    p.Room = -1000;
    p.RoomHF = -100;
    p.RoomLF = 0;
    p.DecayTime = 1.49f;
    p.DecayHFRatio = 0.83f;
    p.DecayLFRatio = 1.0f;
    p.Reflections = -2602;
    p.ReflectionsDelay = 0.007f;
    p.Reverb = 200;
    p.ReverbDelay = 0.011f;
    p.EchoTime = 0.25f;
    p.ModulationTime = 0.25f;
    p.AirAbsorptionHF = -5.0f;
    p.HFReference = 5000.0f;
    p.LFReference = 250.0f;
    p.Diffusion = 100.0f;
    p.Density = 100.0f;
    struct Field {
        const char *name;
        int *whole;
        float *real;
    };
    const Field fields[] = {
        {"environment", &p.Environment, nullptr},
        {"envsize", nullptr, &p.EnvSize},
        {"envdiffusion", nullptr, &p.EnvDiffusion},
        {"room", &p.Room, nullptr},
        {"roomhf", &p.RoomHF, nullptr},
        {"roomlf", &p.RoomLF, nullptr},
        {"decaytime", nullptr, &p.DecayTime},
        {"decayhfratio", nullptr, &p.DecayHFRatio},
        {"decaylfratio", nullptr, &p.DecayLFRatio},
        {"reflections", &p.Reflections, nullptr},
        {"reflectionsdelay", nullptr, &p.ReflectionsDelay},
        {"reverb", &p.Reverb, nullptr},
        {"reverbdelay", nullptr, &p.ReverbDelay},
        {"echotime", nullptr, &p.EchoTime},
        {"echodepth", nullptr, &p.EchoDepth},
        {"modulationtime", nullptr, &p.ModulationTime},
        {"modulationdepth", nullptr, &p.ModulationDepth},
        {"airabsorptionhf", nullptr, &p.AirAbsorptionHF},
        {"hfreference", nullptr, &p.HFReference},
        {"lfreference", nullptr, &p.LFReference},
        {"roomrollofffactor", nullptr, &p.RoomRolloffFactor},
        {"diffusion", nullptr, &p.Diffusion},
        {"density", nullptr, &p.Density},
    };
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, comma - at);
        at = comma + 1;
        const size_t equals = item.find('=');
        if (equals == std::string::npos || equals == 0) {
            error = "'" + item + "' is not FIELD=value";
            return false;
        }
        std::string key = item.substr(0, equals);
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const std::string number = item.substr(equals + 1);
        const Field *field = nullptr;
        for (const Field &f : fields) {
            if (key == f.name) {
                field = &f;
            }
        }
        if (!field) {
            error = "no field '" + item.substr(0, equals) + "'";
            return false;
        }
        char *end = nullptr;
        errno = 0;
        const double v = std::strtod(number.c_str(), &end);
        if (number.empty() || *end != '\0' || errno != 0 || !std::isfinite(v) ||
            (field->whole && (v != std::floor(v) || v < -1.0e6 || v > 1.0e6))) {
            error = "'" + number + "' is not a " + (field->whole ? "whole number" : "number");
            return false;
        }
        if (field->whole) {
            *field->whole = static_cast<int>(v);
        } else {
            *field->real = static_cast<float>(v);
        }
    }
    return true;
}

bool parseVector(const std::string &text, AURA_VECTOR &vector)
{
    float v[3] = {};
    size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        const size_t comma = i < 2 ? text.find(',', at) : text.size();
        if (comma == std::string::npos) {
            return false;
        }
        const std::string item = text.substr(at, comma - at);
        char *end = nullptr;
        errno = 0;
        const double d = std::strtod(item.c_str(), &end);
        if (item.empty() || *end != '\0' || errno != 0 || !std::isfinite(d) || std::fabs(d) > 1.0e9) {
            return false;
        }
        v[i] = static_cast<float>(d);
        at = comma + 1;
    }
    vector = AURA_VECTOR{v[0], v[1], v[2]};
    return true;
}

bool parseUserReverb(const std::string &text, Options::UserReverb &reverb, std::string &error)
{
    const size_t colon = text.find(':');
    const std::string place = text.substr(0, colon);
    // X,Y,Z then MIN,MAX.
    size_t third = std::string::npos;
    for (int commas = 0, i = 0; i < static_cast<int>(place.size()); ++i) {
        if (place[static_cast<size_t>(i)] == ',' && ++commas == 3) {
            third = static_cast<size_t>(i);
            break;
        }
    }
    AURA_VECTOR reach{};
    if (third == std::string::npos || !parseVector(place.substr(0, third), reverb.position) ||
        !parseVector(place.substr(third + 1) + ",0", reach)) {
        error = "the place is not X,Y,Z,MIN,MAX";
        return false;
    }
    if (!(reach.x > 0.0f) || !(reach.y > reach.x)) {
        error = "MIN must be above 0 and MAX above MIN";
        return false;
    }
    reverb.minDistance = reach.x;
    reverb.maxDistance = reach.y;
    // No fields: the generic room as it is.
    return parseReverb(colon == std::string::npos ? std::string("environment=0") : text.substr(colon + 1),
                       reverb.properties, error);
}

} // namespace auraplay
