// aura-play's --reverb-3d, --user-reverb and --position: what they accept,
// and the tails a placed sound leaves in a render.
#include "files.h"
#include "options.h"
#include "tools.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using auratest::quote;
using auratest::run;

TEST(PlayReverbs, PlacesAndRoomsAreReadOrRefused)
{
    auraplay::Options::UserReverb reverb;
    std::string error;
    ASSERT_TRUE(auraplay::parseUserReverb("1,-2,3.5,2,20:decaytime=3,room=-500", reverb, error)) << error;
    EXPECT_EQ(reverb.position.y, -2.0f);
    EXPECT_EQ(reverb.position.z, 3.5f);
    EXPECT_EQ(reverb.minDistance, 2.0f);
    EXPECT_EQ(reverb.maxDistance, 20.0f);
    EXPECT_EQ(reverb.properties.DecayTime, 3.0f);
    EXPECT_EQ(reverb.properties.Room, -500);
    ASSERT_TRUE(auraplay::parseUserReverb("0,0,0,1,5", reverb, error)) << error;
    EXPECT_EQ(reverb.properties.Room, -1000); // the generic room
    for (const char *bad : {"", "1,2,3", "1,2,3,4", "1,2,3,5,5", "1,2,3,0,5", "1,2,3,-1,5", "1,2,nan,1,5",
                            "1,2,3,1,inf", "1,2,3,1,5:nosuch=1", "1,2,3,1,5,6", "a,b,c,1,5"}) {
        EXPECT_FALSE(auraplay::parseUserReverb(bad, reverb, error)) << bad;
    }
    auraplay::Options options;
    const auto parsed = auraplay::parseOptions(
        {"--reverb-3d", "decaytime=2", "--user-reverb", "0,0,4,1,10", "--position", "-1,0,2", "x.wav"}, options);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_TRUE(options.reverb3D);
    EXPECT_EQ(options.reverb3DProperties.DecayTime, 2.0f);
    ASSERT_EQ(options.userReverbs.size(), 1u);
    EXPECT_TRUE(options.positioned);
    EXPECT_EQ(options.position.x, -1.0f);
    for (const std::vector<std::string> &bad :
         {std::vector<std::string>{"--position", "1,2"}, {"--position", "1,2,3,4"}, {"--reverb-3d", "room"}}) {
        EXPECT_FALSE(auraplay::parseOptions(bad, options).ok) << bad[0] << " " << bad[1];
    }
}

// A click played in 3D: a user reverb within reach rings on after it, one
// out of reach leaves silence; with the 3D reverb a sound on the left rings
// on the left.
TEST(PlayReverbs, APlacedSoundRingsInTheRoomsNearIt)
{
    auratest::TempDir dir;
    const std::string click = dir.file("click.wav");
    ASSERT_TRUE(run("sox -D -n -r 48000 -c 1 -b 16 " + quote(click) + " synth 0.05 sine 440 pad 0 1"));
    const auto tail = [&](const std::string &options) {
        const std::string out = dir.file("out.wav");
        std::string command = AURA_PLAY_PATH;
        command += " -q --format float -o " + quote(out);
        command += " " + options + " " + quote(click);
        EXPECT_TRUE(run(command));
        const auratest::Wav wav = auratest::readWav(out);
        EXPECT_TRUE(wav.valid);
        double side[2] = {};
        for (size_t f = 24000; f < 36000 && f < wav.frames(); ++f) {
            for (unsigned c = 0; c < 2; ++c) {
                side[c] += static_cast<double>(wav.at(f, c)) * wav.at(f, c);
            }
        }
        return std::vector<double>{side[0], side[1]};
    };
    EXPECT_GT(tail("--position 0,0,2 --user-reverb 0,0,3,2,10:room=0")[0], 1e-3);
    EXPECT_LT(tail("--position 0,0,2 --user-reverb 0,0,50,2,10:room=0")[0], 1e-12);
    const std::vector<double> left = tail("--position -2,0,0 --reverb-3d room=0");
    ASSERT_GT(left[0], 1e-4);
    EXPECT_GT(10.0 * std::log10(left[0] / std::max(left[1], 1e-30)), 20.0);
}

} // namespace
