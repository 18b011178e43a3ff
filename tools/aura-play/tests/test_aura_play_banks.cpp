// aura-play with sample banks and compressed samples.
#include "files.h"
#include "sbk_writer.h"
#include "tools.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <string>

namespace {

using auratest::Bytes;
using auratest::quote;

class AuraPlayBanks : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(mDir.ok()); }

    std::string play(const std::string &args, int *status)
    {
        int raw = 0;
        std::string out = auratest::capture(
            "cd " + quote(mDir.path()) + " && " + AURA_PLAY_PATH + " " + args + " 2>/dev/null </dev/null", &raw);
        *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return out;
    }

    auratest::Wav render(const std::string &args)
    {
        int status = 0;
        (void)play("-q -o out.wav " + args, &status);
        EXPECT_EQ(status, 0) << args;
        return auratest::readWav(mDir / "out.wav");
    }

    auratest::TempDir mDir{"aura-play-banks"};
};

std::vector<int16_t> tone(size_t frames, unsigned channels, double step)
{
    std::vector<int16_t> out(frames * channels);
    for (size_t f = 0; f < frames; ++f) {
        for (unsigned c = 0; c < channels; ++c) {
            out[f * channels + c] = static_cast<int16_t>(12000 * std::sin(step * (c + 1) * static_cast<double>(f)));
        }
    }
    return out;
}

TEST_F(AuraPlayBanks, InfoListsABanksSubsoundsAndOnePlaysAsWritten)
{
    auratest::SbkBank bank;
    for (unsigned i = 0; i < 3; ++i) {
        auratest::SbkSample s;
        s.name = std::string("part") + static_cast<char>('A' + i);
        s.channels = 2;
        const std::vector<int16_t> pcm = tone(2000 + 500 * i, 2, 0.01 * (i + 1));
        for (int16_t v : pcm) {
            auratest::put16(s.data, static_cast<uint16_t>(v));
        }
        s.lengthpcm = 2000 + 500 * i;
        bank.samples.push_back(s);
    }
    ASSERT_TRUE(auratest::writeAll(mDir / "bank.sbk", auratest::writeSbk(bank)));
    int status = 0;
    const std::string info = play("--info bank.sbk", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(info.find("type:     sample bank"), std::string::npos) << info;
    EXPECT_NE(info.find("subsounds: 3"), std::string::npos) << info;
    EXPECT_NE(info.find("subsound 2: \"partC\", PCM 16-bit, 2 channels, 3000 samples"), std::string::npos) << info;

    const auratest::Wav one = render("--rate 22050 --subsound 1 bank.sbk");
    ASSERT_TRUE(one.valid);
    ASSERT_GE(one.data.size(), bank.samples[1].data.size());
    EXPECT_TRUE(std::equal(bank.samples[1].data.begin(), bank.samples[1].data.end(), one.data.begin()));
}

TEST_F(AuraPlayBanks, CompressedRendersAsThePCMSample)
{
    ASSERT_TRUE(auratest::run("sox -D -n -r 22050 -c 2 -e ima-adpcm " + quote(mDir / "ima.wav") +
                              " synth 0.7 sine 200-4000 sine 330 vol 0.5"));
    ASSERT_TRUE(auratest::run("sox -D -n -r 22050 -c 2 -b 16 -t wav - synth 0.7 sine 200-4000 sine 330 vol 0.5 | "
                              "lame --quiet -b 64 - " +
                              quote(mDir / "tone.mp3")));
    for (const std::string file : {"ima.wav", "tone.mp3"}) {
        SCOPED_TRACE(file);
        const auratest::Wav pcm = render(file);
        const Bytes plain = auratest::readAll(mDir / "out.wav");
        const auratest::Wav compressed = render("--compressed " + file);
        ASSERT_TRUE(pcm.valid && compressed.valid);
        EXPECT_GT(pcm.frames(), 22050u / 2);
        EXPECT_TRUE(pcm.data == compressed.data);
        EXPECT_EQ(auratest::readAll(mDir / "out.wav"), plain);
    }
}

} // namespace
