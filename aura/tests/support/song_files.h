// Whole songs rendered through the engine and compared with openmpt123 and
// xmp run as black boxes on the same files: lengths, and loudness over time
// per output channel. Header-only.
#ifndef AURA_TESTS_SUPPORT_SONG_FILES_H
#define AURA_TESTS_SUPPORT_SONG_FILES_H

#include "aura.h"
#include "aura.hpp"

#include "envelope.h"
#include "files.h"
#include "systems.h"
#include "tools.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace auratest {

namespace fs = std::filesystem;

inline bool havePeers()
{
    return run("command -v openmpt123") && run("command -v xmp");
}

inline long referenceMs(const fs::path &file)
{
    const std::string out = capture("openmpt123 --info --subsong 0 " + quote(file) + " 2>&1");
    const size_t at = out.find("Duration...: ");
    int minutes = 0;
    double seconds = 0.0;
    if (at == std::string::npos || std::sscanf(out.c_str() + at + 13, "%d:%lf", &minutes, &seconds) != 2) {
        return -1;
    }
    return std::lround((minutes * 60 + seconds) * 1000.0);
}

struct Ours {
    Wav wav;
    unsigned int lengthMs = 0;
    int channels = 0;
    AURA_SOUND_TYPE type = AURA_SOUND_TYPE_UNKNOWN;
};

// The whole song through the engine, at 44100 Hz in float.
inline Ours renderOurs(const fs::path &file)
{
    Ours out;
    WavRender render;
    AURA::Sound *sound = nullptr;
    EXPECT_EQ(render.system()->createSound(file.c_str(), AURA_ACCURATETIME | AURA_SOFTWARE, nullptr, &sound), AURA_OK)
        << file;
    if (!sound) {
        return out;
    }
    AURA_TAG tag{};
    EXPECT_EQ(sound->getTag("Number of channels", 0, &tag), AURA_OK);
    out.channels = tag.data ? *static_cast<const int *>(tag.data) : 0;
    EXPECT_EQ(sound->getFormat(&out.type, nullptr, nullptr, nullptr), AURA_OK);
    EXPECT_EQ(sound->getLength(&out.lengthMs, AURA_TIMEUNIT_MS), AURA_OK);
    AURA::Channel *channel = render.play(sound);
    bool playing = true;
    while (playing) {
        render.update();
        if (channel->isPlaying(&playing) != AURA_OK) {
            playing = false;
        }
    }
    out.wav = render.finish();
    return out;
}

// The RMS envelope of a channel, or of the sum of both with channel 2.
inline std::vector<double> envelope(const Wav &wav, unsigned channel)
{
    if (channel < 2) {
        return rmsEnvelope(wav, channel, 2205);
    }
    std::vector<double> out;
    for (size_t start = 0; start + 2205 <= wav.frames(); start += 2205) {
        double sum = 0.0;
        for (size_t i = start; i < start + 2205; ++i) {
            const double v = wav.at(i, 0) + wav.at(i, 1);
            sum += v * v;
        }
        out.push_back(std::sqrt(sum / 2205.0));
    }
    return out;
}

// How alike each output channel is to the better of the two peers.
inline std::array<double, 2> likeness(const Ours &ours, const fs::path &source, const fs::path &dir, double floor)
{
    const fs::path copy = dir / source.filename();
    fs::copy_file(source, copy, fs::copy_options::overwrite_existing);
    std::array<double, 2> best = {0.0, 0.0};
    EXPECT_TRUE(run("openmpt123 -q --force --render --subsong 0 --samplerate 44100 " + quote(copy)));
    const Wav mpt = readWav(copy.string() + ".wav");
    for (unsigned c = 0; c < 2 && mpt.valid; ++c) {
        best[c] = correlation(envelope(ours.wav, c), envelope(mpt, c));
    }
    if (best[0] < floor || best[1] < floor) {
        const std::string other = copy.string() + ".xmp.wav";
        EXPECT_TRUE(run("xmp -q -i linear -f 44100 -o " + quote(other) + " " + quote(copy)));
        const Wav theirs = readWav(other);
        for (unsigned c = 0; c < 2 && theirs.valid; ++c) {
            best[c] = std::max(best[c], correlation(envelope(ours.wav, c), envelope(theirs, c)));
        }
        fs::remove(other);
    }
    fs::remove(copy.string() + ".wav");
    fs::remove(copy);
    ::testing::Test::RecordProperty(source.filename().string(),
                                    std::to_string(best[0]) + " " + std::to_string(best[1]));
    return best;
}

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_SONG_FILES_H
