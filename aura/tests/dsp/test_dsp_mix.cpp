// Pulling the graph: what the sound card writes for a block.
#include "dsp_harness.h"
#include "sine_analysis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

using auratest::db;
using auratest::Harness;

TEST(DSPMix, ConstantSourcesSumExactly)
{
    Harness h;
    ASSERT_EQ(h.init, AURA_OK);
    const float values[] = {0.25f, 0.125f, 0.0625f, -0.5f};
    for (float v : values) {
        AURA::DSPI *s = h.unit("const", 2);
        Harness::of(s).value = v;
        ASSERT_EQ(h.head->addInput(s, nullptr), AURA_OK);
    }
    for (int block = 0; block < 3; ++block) {
        const auto out = h.pullFloats(256);
        for (float sample : out) {
            ASSERT_EQ(sample, -0.0625f);
        }
    }
}

TEST(DSPMix, HalfVolumeGivesMinusSixDecibelsAfterTheRamp)
{
    Harness h;
    ASSERT_EQ(h.init, AURA_OK);
    AURA::DSPI *a = h.unit("a", 2);
    AURA::DSPI *b = h.unit("b", 2);
    Harness::of(a).value = 1.0f;
    Harness::of(b).value = 0.0f;
    AURA::DSPConnectionI *connection = nullptr;
    ASSERT_EQ(h.head->addInput(a, &connection), AURA_OK);
    ASSERT_EQ(h.head->addInput(b, nullptr), AURA_OK); // two inputs: a is mixed
    auto out = h.pullFloats(256);
    EXPECT_EQ(out[0], 1.0f);

    ASSERT_EQ(connection->setMix(0.5f), AURA_OK);
    out = h.pullFloats(256);
    // The ramp glides down without overshoot and lands exactly.
    float previous = 1.0f;
    for (int f = 0; f < AURA::DSP_RAMPCOUNT; ++f) {
        ASSERT_LE(out[2 * f], previous + 1e-7f);
        ASSERT_GE(out[2 * f], 0.5f - 1e-6f);
        previous = out[2 * f];
    }
    for (int f = AURA::DSP_RAMPCOUNT; f < 256; ++f) {
        ASSERT_EQ(out[2 * f], 0.5f);
        ASSERT_EQ(out[2 * f + 1], 0.5f);
    }
    EXPECT_NEAR(db(out[511]), -6.021, 0.01);
}

TEST(DSPMix, MonoAtCentreIsMinusThreeDecibelsEachSide)
{
    Harness h;
    ASSERT_EQ(h.init, AURA_OK);
    AURA::DSPI *mono = h.unit("mono", 1);
    Harness::of(mono).value = 1.0f;
    ASSERT_EQ(h.head->addInput(mono, nullptr), AURA_OK);
    const auto out = h.pullFloats(128);
    for (float sample : out) {
        ASSERT_NEAR(db(sample), -3.0103, 0.01);
    }
    EXPECT_EQ(out[0], out[1]);
}

TEST(DSPMix, LoneUnityInputIsPassedUpWithoutACopy)
{
    Harness h;
    ASSERT_EQ(h.init, AURA_OK);
    AURA::DSPI *group = h.unit("group", 0, false);
    AURA::DSPI *source = h.unit("source", 2);
    Harness::of(source).value = 0.75f;
    ASSERT_EQ(h.head->addInput(group, nullptr), AURA_OK);
    ASSERT_EQ(group->addInput(source, nullptr), AURA_OK);
    (void)h.pullFloats(64);

    AURA::CriticalSectionGuard guard(h.system.mDSPCrit);
    float *block = nullptr;
    int channels = 0;
    unsigned int length = 64;
    ASSERT_EQ(group->read(&block, &channels, &length, AURA_SPEAKERMODE_STEREO, 2,
                          h.system.nextDSPTick()),
              AURA_OK);
    EXPECT_EQ(block, source->mBuffer);
    EXPECT_NE(block, group->mBuffer);
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(block[0], 0.75f);
}

TEST(DSPMix, FanOutRunsOncePerTickAndFeedsBothOutputs)
{
    Harness h;
    ASSERT_EQ(h.init, AURA_OK);
    AURA::DSPI *left = h.unit("left");
    AURA::DSPI *right = h.unit("right");
    AURA::DSPI *shared = h.unit("shared", 2);
    Harness::of(shared).generate = true;
    Harness::of(shared).step = 0.001f; // a new value each frame: a rerun would show
    Harness::of(left).gain = 1.0f;
    Harness::of(right).gain = 2.0f;
    ASSERT_EQ(h.head->addInput(left, nullptr), AURA_OK);
    ASSERT_EQ(h.head->addInput(right, nullptr), AURA_OK);
    ASSERT_EQ(left->addInput(shared, nullptr), AURA_OK);
    ASSERT_EQ(right->addInput(shared, nullptr), AURA_OK);
    for (int block = 0; block < 4; ++block) {
        const auto out = h.pullFloats(100);
        EXPECT_EQ(Harness::of(shared).reads.load(), block + 1);
        for (int f = 0; f < 100; ++f) {
            const float v = 0.001f * static_cast<float>(block * 100 + f);
            // Both outputs saw the same block: left v, right 2v.
            ASSERT_NEAR(out[2 * f], 3.0f * v, 1e-4f) << "block " << block << " frame " << f;
        }
    }
}

TEST(DSPMix, HistoryRingSplitsAtItsEnd)
{
    Harness h(1000);
    ASSERT_EQ(h.init, AURA_OK);
    AURA::DSPFilter *source = h.unit("source", 2);
    ASSERT_EQ(h.head->addInput(source, nullptr), AURA_OK);
    ASSERT_EQ(source->startBuffering(), AURA_OK);
    float *ring = nullptr;
    unsigned int position = 99;
    unsigned int length = 0;
    ASSERT_EQ(source->getHistoryBuffer(&ring, &position, &length), AURA_OK);
    ASSERT_NE(ring, nullptr);
    EXPECT_EQ(position, 0u);
    EXPECT_EQ(length, 16384u);
    EXPECT_EQ(source->startBuffering(), AURA_OK); // keeps the ring
    float *again = nullptr;
    (void)source->getHistoryBuffer(&again, nullptr, nullptr);
    EXPECT_EQ(again, ring);

    for (int block = 0; block < 17; ++block) {
        Harness::of(source).value = static_cast<float>(block + 1);
        (void)h.pullFloats(1000);
    }
    ASSERT_EQ(source->getHistoryBuffer(nullptr, &position, nullptr), AURA_OK);
    EXPECT_EQ(position, 17000u - 16384u);
    // The ring holds two-channel frames: frame i at ring[2i].
    EXPECT_EQ(ring[2 * 15999], 16.0f);
    EXPECT_EQ(ring[2 * 16000], 17.0f);
    EXPECT_EQ(ring[2 * 16383 + 1], 17.0f);
    EXPECT_EQ(ring[0], 17.0f);
    EXPECT_EQ(ring[2 * 615], 17.0f);
    EXPECT_EQ(ring[2 * 616], 1.0f);
    EXPECT_EQ(source->getHistoryBuffer(nullptr, nullptr, nullptr), AURA_OK);
    EXPECT_EQ(source->stopBuffering(), AURA_OK);
    (void)source->getHistoryBuffer(&again, nullptr, nullptr);
    EXPECT_EQ(again, nullptr);
}

TEST(DSPMix, BypassedUnitIsBitExact)
{
    Harness h;
    ASSERT_EQ(h.init, AURA_OK);
    AURA::DSPI *effect = h.unit("effect");
    AURA::DSPI *a = h.unit("a", 2);
    AURA::DSPI *b = h.unit("b", 2);
    Harness::of(effect).gain = 0.5f;
    Harness::of(a).generate = true;
    Harness::of(a).step = 0.0137f;
    Harness::of(a).next = -0.9f;
    Harness::of(b).value = 0.0f;
    ASSERT_EQ(h.head->addInput(effect, nullptr), AURA_OK);
    ASSERT_EQ(effect->addInput(a, nullptr), AURA_OK);
    ASSERT_EQ(effect->addInput(b, nullptr), AURA_OK);

    effect->setBypass(true);
    float expected = -0.9f;
    auto out = h.pullFloats(64);
    for (int f = 0; f < 64; ++f) {
        ASSERT_EQ(out[2 * f], expected);
        ASSERT_EQ(out[2 * f + 1], expected);
        expected += 0.0137f;
    }
    EXPECT_EQ(Harness::of(effect).reads.load(), 0);
    effect->setBypass(false);
    out = h.pullFloats(64);
    EXPECT_EQ(out[0], expected * 0.5f);
    EXPECT_EQ(Harness::of(effect).reads.load(), 1);
}

TEST(DSPMix, IdleGraphGivesExactZerosInEveryFormat)
{
    for (AURA_SOUND_FORMAT format : {AURA_SOUND_FORMAT_PCM8, AURA_SOUND_FORMAT_PCM16,
                                     AURA_SOUND_FORMAT_PCM24, AURA_SOUND_FORMAT_PCM32,
                                     AURA_SOUND_FORMAT_PCMFLOAT}) {
        Harness h(128, format);
        ASSERT_EQ(h.init, AURA_OK);
        AURA::DSPI *loud = h.unit("loud", 2);
        Harness::of(loud).value = 0.9f;
        ASSERT_EQ(h.head->addInput(loud, nullptr), AURA_OK);
        const unsigned int bytes = AURA::DSPSoundCard::bytesFor(format, 128, 2);
        std::vector<unsigned char> out(bytes + 8, 0xAB);
        ASSERT_EQ(h.pull(out.data(), 128), AURA_OK);
        EXPECT_TRUE(std::any_of(out.begin(), out.begin() + bytes, [](unsigned char b) { return b != 0; }))
            << "format " << format;

        // The source stops: the next block is silence, not the old mix.
        loud->setActive(false);
        std::fill(out.begin(), out.end(), 0xAB);
        ASSERT_EQ(h.pull(out.data(), 128), AURA_OK);
        for (unsigned int i = 0; i < bytes; ++i) {
            ASSERT_EQ(out[i], 0) << "format " << format << " byte " << i;
        }
        EXPECT_EQ(out[bytes], 0xAB) << "wrote past the block";
    }
}

TEST(DSPMix, SixteenBitOutputClipsAndNeverWraps)
{
    Harness h(64, AURA_SOUND_FORMAT_PCM16);
    ASSERT_EQ(h.init, AURA_OK);
    AURA::DSPI *source = h.unit("source", 2);
    ASSERT_EQ(h.head->addInput(source, nullptr), AURA_OK);
    const std::pair<float, int> cases[] = {{1.5f, 32767},       {1.0f, 32767},  {-1.0f, -32768},
                                           {-2.0f, -32768},     {0.5f, 16384},  {-0.25f, -8192},
                                           {1e9f, 32767},       {0.0f, 0}};
    for (auto [value, expected] : cases) {
        Harness::of(source).value = value;
        int16_t out[128];
        ASSERT_EQ(h.pull(out, 64), AURA_OK);
        EXPECT_EQ(out[0], expected) << "value " << value;
        EXPECT_EQ(out[127], expected) << "value " << value;
    }
}

TEST(DSPMix, InactiveAndFinishedInputsAreNotRead)
{
    Harness h;
    ASSERT_EQ(h.init, AURA_OK);
    AURA::DSPI *a = h.unit("a", 2);
    AURA::DSPI *b = h.unit("b", 2);
    Harness::of(a).value = 0.5f;
    Harness::of(b).value = 0.25f;
    ASSERT_EQ(h.head->addInput(a, nullptr), AURA_OK);
    ASSERT_EQ(h.head->addInput(b, nullptr), AURA_OK);
    b->setFlags(AURA::DSPI_FLAG_FINISHED);
    auto out = h.pullFloats(32);
    EXPECT_EQ(out[0], 0.5f);
    EXPECT_EQ(Harness::of(b).reads.load(), 0);
    a->setActive(false);
    b->clearFlags(AURA::DSPI_FLAG_FINISHED);
    out = h.pullFloats(32);
    EXPECT_EQ(out[0], 0.25f);
    EXPECT_EQ(Harness::of(a).reads.load(), 1);
}

TEST(DSPMix, LengthIsCutToTheBlockSize)
{
    Harness h(128);
    ASSERT_EQ(h.init, AURA_OK);
    AURA::DSPI *source = h.unit("source", 2);
    ASSERT_EQ(h.head->addInput(source, nullptr), AURA_OK);
    std::vector<float> out(1024 * 2, 7.0f);
    AURA::CriticalSectionGuard guard(h.system.mDSPCrit);
    unsigned int length = 1024;
    ASSERT_EQ(h.head->read(out.data(), &length, AURA_SPEAKERMODE_STEREO, 2, h.system.nextDSPTick()),
              AURA_OK);
    EXPECT_EQ(length, 128u);
    EXPECT_EQ(out[2 * 128], 7.0f);
}

} // namespace

namespace {

// A unit that passed a mono block up in one tick and mixes stereo in the
// next: the levels the mixer chose for its output follow the new width.
TEST(DSPMix, LevelsNobodySetFollowAChangeOfInputWidth)
{
    auratest::Harness h{128};
    ASSERT_EQ(h.init, AURA_OK);
    AURA::DSPFilter *mono = h.unit("mono", 1);
    auratest::Harness::of(mono).value = 0.0f;
    AURA::DSPFilter *mid = h.unit("mid", 0, false);
    ASSERT_EQ(h.head->addInput(mid, nullptr), AURA_OK);
    ASSERT_EQ(mid->addInput(mono, nullptr), AURA_OK);
    (void)h.pullFloats(128);

    AURA::DSPFilter *stereo = h.unit("stereo", 2);
    auratest::Harness::of(stereo).value = 0.5f;
    ASSERT_EQ(mid->addInput(stereo, nullptr), AURA_OK);
    const auto out = h.pullFloats(128);
    // Past the ramp to the new levels, each side carries its own channel.
    for (size_t i = 2 * AURA::DSP_RAMPCOUNT; i < out.size(); ++i) {
        ASSERT_FLOAT_EQ(out[i], 0.5f) << i;
    }
}

} // namespace
