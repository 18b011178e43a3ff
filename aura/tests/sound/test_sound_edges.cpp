// Sounds at the edges of what a file can hold: no frames at all, and rates
// far below the output's. A sample and a stream of the same file behave
// alike.
#include "aura.hpp"
#include "files.h"
#include "systems.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using auratest::Bytes;

constexpr AURA_MODE kModes[] = {AURA_DEFAULT, AURA_CREATESTREAM};

// A 16-bit WAV file of the given frames.
Bytes wavFile(const std::vector<int16_t> &samples, uint16_t channels, uint32_t rate)
{
    Bytes data;
    for (int16_t s : samples) {
        auratest::put16(data, static_cast<uint16_t>(s));
    }
    return auratest::riff({auratest::chunk("fmt ", auratest::fmtBody(1, channels, rate, channels * 2, 16)),
                           auratest::chunk("data", data)});
}

// Blocks mixed until the channel ends (at most `limit`).
int blocksUntilEnd(auratest::WavRender &out, AURA::Channel *channel, int limit)
{
    int blocks = 0;
    for (bool playing = true; playing && blocks < limit; ++blocks) {
        out.update();
        playing = channel->isPlaying(&playing) == AURA_OK && playing;
    }
    return blocks;
}

TEST(SoundEdges, AWavWithoutFramesOpensEmptyAndPlaysAsAFinishedChannel)
{
    auratest::TempDir dir;
    const std::string path = dir.file("empty.wav");
    ASSERT_TRUE(auratest::writeAll(path, wavFile({}, 2, 44100)));
    auratest::WavRender out;
    for (AURA_MODE mode : kModes) {
        SCOPED_TRACE((mode & AURA_CREATESTREAM) ? "stream" : "sample");
        AURA::Sound *sound = nullptr;
        ASSERT_EQ(out.system()->createSound(path.c_str(), mode, nullptr, &sound), AURA_OK);
        unsigned int length = 99;
        EXPECT_EQ(sound->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
        EXPECT_EQ(length, 0u);
        AURA::Channel *channel = nullptr;
        ASSERT_EQ(out.system()->playSound(AURA_CHANNEL_FREE, sound, false, &channel), AURA_OK);
        EXPECT_EQ(blocksUntilEnd(out, channel, 10), 1);
        EXPECT_EQ(sound->release(), AURA_OK);
    }
    // Nothing was heard.
    const auratest::Wav wav = out.finish();
    for (float s : wav.samples) {
        ASSERT_EQ(s, 0.0f);
    }
}

// 100 frames at 10 Hz last ten seconds, streamed or not.
TEST(SoundEdges, StreamsPlayRatesBelowAHundredHertzLikeSamples)
{
    auratest::TempDir dir;
    const std::string path = dir.file("slow.wav");
    ASSERT_TRUE(auratest::writeAll(path, wavFile(std::vector<int16_t>(100, 8000), 1, 10)));
    auratest::WavRender out({.rate = 48000, .block = 1024});
    const int expected = 10 * 48000 / 1024;
    for (AURA_MODE mode : kModes) {
        SCOPED_TRACE((mode & AURA_CREATESTREAM) ? "stream" : "sample");
        AURA::Sound *sound = nullptr;
        ASSERT_EQ(out.system()->createSound(path.c_str(), mode, nullptr, &sound), AURA_OK);
        AURA::Channel *channel = out.play(sound);
        float frequency = 0.0f;
        EXPECT_EQ(channel->getFrequency(&frequency), AURA_OK);
        EXPECT_EQ(frequency, 10.0f);
        EXPECT_NEAR(blocksUntilEnd(out, channel, 2 * expected), expected, 2);
        EXPECT_EQ(sound->release(), AURA_OK);
    }
}

} // namespace
