// aura-play's --help names a format for every codec the engine registers, so
// that a new codec cannot go unmentioned.
#include "system/aura_systemi.h"
#include "tools.h"

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <string>

namespace {

TEST(PlayerHelp, FormatsNameEveryRegisteredCodec)
{
    // What the help calls each codec's format.
    const std::map<std::string, std::string> helpWord = {
        {"AURA Tag Reader Codec", "ID3 tags"}, {"AURA SBK Codec", "SBK"},
        {"AURA Wav Codec", "WAV"},             {"AURA Ogg Vorbis Codec", "Ogg Vorbis"},
        {"AURA AIFF Codec", "AIFF"},           {"AURA FLAC Codec", "FLAC"},
        {"AURA MOD Codec", "MOD"},             {"AURA S3M Codec", "S3M"},
        {"AURA XM Codec", "XM"},               {"AURA IT Codec", "IT"},
        {"AURA MIDI Codec", "MIDI"},           {"AURA DLS Codec", "DLS"},
        {"AURA Audio Queue Codec", "AAC"},     {"AURA MPEG Codec", "MP3"},
        {"AURA Playlist Reader Codec", "Playlists"}, {"AURA Raw Codec", "Raw PCM"},
    };
    const std::string help = auratest::capture(std::string(AURA_PLAY_PATH) + " --help");
    const size_t from = help.find("Formats:\n");
    const size_t to = help.find("\nOptions:");
    ASSERT_NE(from, std::string::npos) << help;
    ASSERT_NE(to, std::string::npos) << help;
    const std::string formats = help.substr(from, to - from);
    for (const AURA::CodecEntry &entry : AURA::builtInCodecs()) {
        const std::string name = entry.describe()->name;
        const auto word = helpWord.find(name);
        ASSERT_NE(word, helpWord.end()) << name << " is registered: say in --help which files it opens";
        // A whole word: "IT" must not be found inside "WAIT".
        bool found = false;
        for (size_t at = formats.find(word->second); at != std::string::npos && !found;
             at = formats.find(word->second, at + 1)) {
            const auto edge = [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); };
            const size_t end = at + word->second.size();
            found = (at == 0 || edge(formats[at - 1])) && (end == formats.size() || edge(formats[end]));
        }
        EXPECT_TRUE(found) << "--help's formats do not name " << word->second << " (" << name << "):\n" << formats;
    }
}

} // namespace
