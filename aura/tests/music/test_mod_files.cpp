// The MODs that Debian's game data packages ship, against openmpt123 and
// xmp run as black boxes on the same files: lengths and loudness over time.
#include "aura.h"
#include "aura.hpp"

#include "envelope.h"
#include "files.h"
#include "systems.h"
#include "tools.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <cmath>
#include <cstdio>
#include <string>

namespace {

namespace fs = std::filesystem;

const char *const kTecnoballz = "/usr/share/games/tecnoballz/musics/";
const char *const kCircus = "/usr/share/games/circuslinux/data/music/";

struct Song {
    const char *dir;
    const char *name;
};

const Song kSongs[] = {
    {kTecnoballz, "area1-game.mod"},
    {kTecnoballz, "area2-game.mod"},
    {kTecnoballz, "area3-game.mod"},
    {kTecnoballz, "area4-game.mod"},
    {kTecnoballz, "area5-game.mod"},
    {kTecnoballz, "fridge-in-space_from_reg-zbb.mod"},
    {kTecnoballz, "gardien-go.mod"},
    {kTecnoballz, "high-score.mod"},
    {kTecnoballz, "in-game-music-1_reg.mod"},
    {kTecnoballz, "mon-lapin_reg-zbb.mod"},
    {kTecnoballz, "over-theme.mod"},
    {kTecnoballz, "tecno-winn.mod"},
    {kTecnoballz, "tecnoballz.mod"},
    {kTecnoballz, "termigator_reg-zbb.mod"},
    {kCircus, "finally.mod"},
    {kCircus, "hiscore.mod"},
    {kCircus, "hiscreen.mod"},
    {kCircus, "kaupunki.mod"},
    {kCircus, "klovninarki.mod"},
};

bool haveTools()
{
    return auratest::run("command -v openmpt123") && auratest::run("command -v xmp") &&
           fs::exists(std::string(kTecnoballz) + "area1-game.mod") && fs::exists(std::string(kCircus) + "finally.mod");
}

// openmpt123's length of the first subsong, in ms; -1 when it says none.
long referenceMs(const fs::path &file)
{
    const std::string out = auratest::capture("openmpt123 --info --subsong 0 " + auratest::quote(file) + " 2>&1");
    const size_t at = out.find("Duration...: ");
    if (at == std::string::npos) {
        return -1;
    }
    int minutes = 0;
    double seconds = 0.0;
    if (std::sscanf(out.c_str() + at + 13, "%d:%lf", &minutes, &seconds) != 2) {
        return -1;
    }
    return std::lround((minutes * 60 + seconds) * 1000.0);
}

// The whole song through the engine, at 44100 Hz in float.
auratest::Wav renderOurs(const fs::path &file, unsigned int *lengthms)
{
    auratest::WavRender render;
    AURA::Sound *sound = nullptr;
    EXPECT_EQ(render.system()->createSound(file.c_str(), AURA_ACCURATETIME | AURA_SOFTWARE, nullptr, &sound), AURA_OK);
    if (!sound) {
        return {};
    }
    AURA_TAG tag{};
    EXPECT_EQ(sound->getTag("Number of channels", 0, &tag), AURA_OK);
    EXPECT_EQ(tag.data ? *static_cast<const int *>(tag.data) : 0, 4) << file;
    EXPECT_EQ(sound->getLength(lengthms, AURA_TIMEUNIT_MS), AURA_OK);
    AURA::Channel *channel = render.play(sound);
    bool playing = true;
    while (playing) {
        render.update();
        if (channel->isPlaying(&playing) != AURA_OK) {
            playing = false;
        }
    }
    return render.finish();
}

double likeness(const auratest::Wav &ours, const auratest::Wav &theirs, unsigned channel)
{
    if (!theirs.valid || theirs.channels != 2) {
        return 0.0;
    }
    return auratest::correlation(auratest::rmsEnvelope(ours, channel, 2205),
                                 auratest::rmsEnvelope(theirs, channel, 2205));
}

TEST(ModFiles, MatchThePeerPlayers)
{
    if (!haveTools()) {
        GTEST_SKIP() << "openmpt123, xmp or the game data packages are not installed";
    }
    auratest::TempDir dir("aura-mod-files");
    for (const Song &song : kSongs) {
#ifdef AURA_TESTS_SANITIZED
        // The short songs only; the long ones play the same code for longer.
        if (std::string(song.dir) != kCircus || std::string(song.name) == "klovninarki.mod" ||
            std::string(song.name) == "finally.mod") {
            continue;
        }
#endif
        const fs::path source = fs::path(song.dir) / song.name;
        // openmpt123 renders next to its input.
        const fs::path copy = dir / song.name;
        fs::copy_file(source, copy, fs::copy_options::overwrite_existing);
        unsigned int ours = 0;
        const auratest::Wav mine = renderOurs(source, &ours);
        ASSERT_TRUE(mine.valid) << song.name;
        const long reference = referenceMs(source);
        ASSERT_GT(reference, 0) << song.name;
        EXPECT_NEAR(static_cast<double>(ours), static_cast<double>(reference), reference * 0.01) << song.name;

        ASSERT_TRUE(
            auratest::run("openmpt123 -q --force --render --subsong 0 --samplerate 44100 " + auratest::quote(copy)))
            << song.name;
        const auratest::Wav mpt = auratest::readWav(copy.string() + ".wav");
        const double floor = std::string(song.name) == "termigator_reg-zbb.mod" ? 0.8 : 0.9;
        double best[2] = {likeness(mine, mpt, 0), likeness(mine, mpt, 1)};
        if (best[0] < floor || best[1] < floor) {
            const std::string xmpOut = copy.string() + ".xmp.wav";
            ASSERT_TRUE(
                auratest::run("xmp -q -i linear -f 44100 -o " + auratest::quote(xmpOut) + " " + auratest::quote(copy)))
                << song.name;
            const auratest::Wav other = auratest::readWav(xmpOut);
            for (unsigned c = 0; c < 2; ++c) {
                best[c] = std::max(best[c], likeness(mine, other, c));
            }
        }
        EXPECT_GE(best[0], floor) << song.name;
        EXPECT_GE(best[1], floor) << song.name;
        fs::remove(copy.string() + ".wav");
    }
}

} // namespace
