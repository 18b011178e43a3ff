// aura-play's delay, pitch and reverb options: --reverb's fields over the
// generic room, and a rendered reverb tail.
#include "files.h"
#include "options.h"
#include "tools.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

using auratest::quote;
using auratest::run;

TEST(PlayReverb, FieldsChangeTheGenericRoomInAnyCase)
{
    AURA_REVERB_PROPERTIES p{};
    std::string error;
    ASSERT_TRUE(auraplay::parseReverb("DecayTime=2.5,room=-500,ROOMHF=-300,density=50", p, error)) << error;
    EXPECT_EQ(p.Instance, 0);
    EXPECT_EQ(p.DecayTime, 2.5f);
    EXPECT_EQ(p.Room, -500);
    EXPECT_EQ(p.RoomHF, -300);
    EXPECT_EQ(p.Density, 50.0f);
    // What was not named is the generic room.
    EXPECT_EQ(p.DecayHFRatio, 0.83f);
    EXPECT_EQ(p.Reflections, -2602);
    EXPECT_EQ(p.ReflectionsDelay, 0.007f);
    EXPECT_EQ(p.Reverb, 200);
    EXPECT_EQ(p.ReverbDelay, 0.011f);
    EXPECT_EQ(p.Diffusion, 100.0f);
    for (const char *bad : {"", "room", "=1", "room=", "room=1.5", "room=abc", "decaytime=nan", "size=1", "room=-1000,",
                            "room=99999999999"}) {
        EXPECT_FALSE(auraplay::parseReverb(bad, p, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(PlayReverb, TheMixRingsOnAfterTheSound)
{
    auratest::TempDir dir;
    const std::string click = dir.file("click.wav");
    ASSERT_TRUE(run("sox -D -n -r 48000 -c 2 -b 16 " + quote(click) + " synth 0.05 sine 440 pad 0 1"));
    double tails[2] = {};
    for (int i = 0; i < 2; ++i) {
        const std::string out = dir.file("out.wav");
        ASSERT_TRUE(run(std::string(AURA_PLAY_PATH) + " -q --format float -o " + quote(out) + " " + quote(click) +
                        (i ? " --reverb room=0,decaytime=1" : "")));
        const auratest::Wav wav = auratest::readWav(out);
        ASSERT_TRUE(wav.valid);
        for (size_t f = 24000; f < 36000 && f < wav.frames(); ++f) {
            tails[i] += static_cast<double>(wav.at(f, 0)) * wav.at(f, 0);
        }
    }
    EXPECT_EQ(tails[0], 0.0);
    EXPECT_GT(tails[1], 1e-3);
    const std::string listing = auratest::capture(std::string(AURA_PLAY_PATH) + " --list-dsp");
    for (const char *name : {"echo", "flange", "chorus", "pitch-shifter"}) {
        EXPECT_NE(listing.find(name), std::string::npos) << name;
    }
}

} // namespace
