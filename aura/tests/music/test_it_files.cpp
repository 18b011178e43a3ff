// The ITs that pingus-data ships, against openmpt123 and xmp run as black
// boxes on the same files (lengths and loudness over time), and one of them
// with its mix volume raised.
#include "music/aura_codec_it.h"

#include "files.h"
#include "song_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

const char *const kPingus = "/usr/share/games/pingus/data/music/";

TEST(ItFiles, PingusSongs)
{
    if (!auratest::havePeers() || !fs::exists(fs::path(kPingus) / "pingus-1.it")) {
        GTEST_SKIP() << "openmpt123, xmp or pingus-data are not installed";
    }
    auratest::TempDir dir("aura-it-files");
    std::vector<fs::path> files;
    for (const auto &entry : fs::directory_iterator(kPingus)) {
        if (entry.path().extension() == ".it") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files.size(), 19u);
    for (const fs::path &source : files) {
#ifdef AURA_TESTS_SANITIZED
        // The shortest only; the long ones play the same code for longer.
        if (source.filename() != "success_1.it") {
            continue;
        }
#endif
        const auratest::Ours ours = auratest::renderOurs(source);
        ASSERT_TRUE(ours.wav.valid) << source;
        EXPECT_EQ(ours.type, AURA_SOUND_TYPE_IT) << source;
        EXPECT_EQ(ours.channels, 64) << source;
        const long reference = auratest::referenceMs(source);
        EXPECT_NEAR(static_cast<double>(ours.lengthMs), static_cast<double>(reference), reference * 0.01) << source;
        // On pingus-3 the two peers agree with each other only to 0.77.
        const double floor = source.filename() == "pingus-3.it" ? 0.7 : 0.9;
        const auto best = auratest::likeness(ours, source, fs::path(dir.path()), floor);
        EXPECT_GE(best[0], floor) << source;
        EXPECT_GE(best[1], floor) << source;
    }
}

TEST(ItFiles, MixVolumeScalesTheWholeSong)
{
    const fs::path source = fs::path(kPingus) / "pingus-1.it";
    if (!fs::exists(source)) {
        GTEST_SKIP() << "pingus-data is not installed";
    }
    auratest::TempDir dir("aura-it-mixvolume");
    std::vector<uint8_t> bytes = auratest::readAll(source);
    ASSERT_GT(bytes.size(), 50u);
    ASSERT_EQ(bytes[49], 48);
    bytes[49] = 128;
    const fs::path loud = fs::path(dir.path()) / "loud.it";
    ASSERT_TRUE(auratest::writeAll(loud, bytes));
    const auratest::Ours quiet = auratest::renderOurs(source);
    const auratest::Ours full = auratest::renderOurs(loud);
    ASSERT_TRUE(quiet.wav.valid && full.wav.valid);
    ASSERT_EQ(quiet.wav.frames(), full.wav.frames());
    double worst = 0.0;
    double peak = 0.0;
    for (size_t i = 0; i < quiet.wav.frames(); ++i) {
        for (unsigned c = 0; c < 2; ++c) {
            worst = std::max(worst, std::abs(quiet.wav.at(i, c) * 128.0 / 48.0 - static_cast<double>(full.wav.at(i, c))));
            peak = std::max(peak, static_cast<double>(std::abs(full.wav.at(i, c))));
        }
    }
    EXPECT_GT(peak, 0.05);
    EXPECT_LE(worst, 1e-5);
}

} // namespace
