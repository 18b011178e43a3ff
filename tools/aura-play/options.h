// The command line of aura-play: what to play, where, and how.
#ifndef AURA_PLAY_OPTIONS_H
#define AURA_PLAY_OPTIONS_H

#include "aura.h"

#include <string>
#include <vector>

namespace auraplay {

inline constexpr const char *kDefaultWav = "aura-play.wav";
// The output rates the player takes, in Hz.
inline constexpr int kLowestRate = 8000;
inline constexpr int kHighestRate = 192000;

struct Options {
    std::vector<std::string> files;   // empty: the built-in demo
    std::string output;               // -o: render to this WAV instead of the device
    int rate = 0;                     // 0: the file's own rate (one file rendered), else 48000
    AURA_SOUND_FORMAT format = AURA_SOUND_FORMAT_PCM16;
    float volume = 1.0f;
    float pan = 0.0f;
    float frequency = 0.0f;           // 0: the file's own rate
    int loop = 0;                     // extra plays; -1 for ever
    unsigned int seekMs = 0;
    long long durationMs = -1;        // -1: to the end
    int subsound = -1;                // a multi-sound file: the one to play
    std::vector<int> sentence;        // --sentence: its subsounds played back to back
    bool stream = false;
    bool compressed = false; // --compressed: IMA ADPCM samples stay compressed
    // --raw: the files are headerless PCM of this format (NONE: not raw).
    AURA_SOUND_FORMAT rawFormat = AURA_SOUND_FORMAT_NONE;
    int rawChannels = 0;
    int rawRate = 0;
    // MIDI files: the DLS bank they play on and the voices they may use (0: 32).
    std::string dls;
    int polyphony = 0;
    int profilePort = 0; // the engine's profiler on 127.0.0.1:port; 0: off
    bool info = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> dsps;    // --dsp arguments, in order
    bool listDsp = false;
    // --reverb: the global reverb's instance 0, from the generic room with
    // the named fields changed; every played channel sends to it.
    bool reverb = false;
    AURA_REVERB_PROPERTIES reverbProperties{};
    // --reverb-3d: the ambient (3D) reverb, from the generic room; 3D
    // channels send to it instead of the global reverb.
    bool reverb3D = false;
    AURA_REVERB_PROPERTIES reverb3DProperties{};
    // --user-reverb: rooms placed in the world, heard by 3D channels near them.
    struct UserReverb {
        AURA_VECTOR position{};
        float minDistance = 1.0f;
        float maxDistance = 10000.0f;
        AURA_REVERB_PROPERTIES properties{};
    };
    std::vector<UserReverb> userReverbs;
    // --position: the played sound is 3D, at this place (the listener is at
    // the origin, facing +z).
    bool positioned = false;
    AURA_VECTOR position{};

    [[nodiscard]] bool rendering() const { return !output.empty(); }
};

struct ParseResult {
    bool ok = false;
    std::string error;   // why the command line was refused
};

// Reads argv[1..]; accepts "--name value" and "--name=value", and "--" before
// file names that start with a dash.
[[nodiscard]] ParseResult parseOptions(const std::vector<std::string> &args, Options &options);

[[nodiscard]] std::string usageText();

// Reads "FIELD=value,..." over the generic room; field names are those of
// AURA_REVERB_PROPERTIES, in any case. False with the reason in `error`.
[[nodiscard]] bool parseReverb(const std::string &text, AURA_REVERB_PROPERTIES &properties, std::string &error);

// Reads "X,Y,Z,MIN,MAX[:FIELD=V,...]": a user reverb's place, reach and room
// (the generic room with the named fields changed).
[[nodiscard]] bool parseUserReverb(const std::string &text, Options::UserReverb &reverb, std::string &error);

// Reads "X,Y,Z": three finite numbers.
[[nodiscard]] bool parseVector(const std::string &text, AURA_VECTOR &vector);

} // namespace auraplay

#endif // AURA_PLAY_OPTIONS_H
