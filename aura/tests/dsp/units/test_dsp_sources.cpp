// The source units of the voices: the resampling kernels, the ring-buffered
// resampler and the wavetable that plays samples in place.
#include "voice/aura_channelreal.h"
#include "sound/aura_soundi.h"
#include "dsp/units/aura_dsp_resampler.h"
#include "dsp/units/aura_dsp_wavetable.h"
#include "dsp_harness.h"
#include "sine_analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using AURA::FIXED_ONE;

TEST(ResamplerKernels, NearestSampleDecodesEveryFormatAtItsScale)
{
    float out[4] = {};
    int64_t step = FIXED_ONE;

    const int8_t s8[] = {-128, 64};
    int64_t pos = 0;
    AURA::AURA_Resampler_NoInterp(out, 2, s8, AURA_SOUND_FORMAT_PCM8, &pos, &step, 1);
    EXPECT_EQ(out[0], -1.0f);
    EXPECT_EQ(out[1], 0.5f);
    EXPECT_EQ(pos, 2 * FIXED_ONE);

    const int16_t s16[] = {-32768, 16384, 1, -1};
    pos = 0;
    AURA::AURA_Resampler_NoInterp(out, 2, s16, AURA_SOUND_FORMAT_PCM16, &pos, &step, 2);
    EXPECT_EQ(out[0], -1.0f);
    EXPECT_EQ(out[1], 0.5f);
    EXPECT_EQ(out[2], 1.0f / 32768.0f);
    EXPECT_EQ(out[3], -1.0f / 32768.0f);

    const uint8_t s24[] = {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x3F}; // -8388608, 4194303
    pos = 0;
    AURA::AURA_Resampler_NoInterp(out, 2, s24, AURA_SOUND_FORMAT_PCM24, &pos, &step, 1);
    EXPECT_EQ(out[0], -1.0f);
    EXPECT_EQ(out[1], 4194303.0f / 8388608.0f);

    const int32_t s32[] = {std::numeric_limits<int32_t>::min(), 1 << 30};
    pos = 0;
    AURA::AURA_Resampler_NoInterp(out, 2, s32, AURA_SOUND_FORMAT_PCM32, &pos, &step, 1);
    EXPECT_EQ(out[0], -1.0f);
    EXPECT_EQ(out[1], 0.5f);

    const float sf[] = {0.25f, -3.0f};
    pos = 0;
    AURA::AURA_Resampler_NoInterp(out, 2, sf, AURA_SOUND_FORMAT_PCMFLOAT, &pos, &step, 1);
    EXPECT_EQ(out[0], 0.25f);
    EXPECT_EQ(out[1], -3.0f) << "float passes unchanged";

    // A negative step runs backwards; a fraction below one half frame is
    // dropped by the nearest-sample kernel.
    const int16_t ramp[] = {0, 100, 200, 300, 400};
    pos = 4 * FIXED_ONE + FIXED_ONE / 4;
    int64_t back = -FIXED_ONE;
    AURA::AURA_Resampler_NoInterp(out, 4, ramp, AURA_SOUND_FORMAT_PCM16, &pos, &back, 1);
    EXPECT_EQ(out[0], 400.0f / 32768.0f);
    EXPECT_EQ(out[3], 100.0f / 32768.0f);
    EXPECT_EQ(pos, FIXED_ONE / 4);
}

TEST(ResamplerKernels, LinearInterpolatesAndNeverReadsPastTheLastFrame)
{
    // The frame after the data is poison: reading it would show.
    const float data[] = {0.0f, 1.0f, 2.0f, 1e30f};
    float out[6] = {};
    int64_t pos = 0;
    int64_t step = FIXED_ONE / 2;
    AURA::ResamplerEdge edge;
    edge.lastframe = 2;
    AURA::AURA_Resampler_Linear(out, 6, data, AURA_SOUND_FORMAT_PCMFLOAT, &pos, &step, 1, edge);
    EXPECT_EQ(out[0], 0.0f);
    EXPECT_EQ(out[1], 0.5f);
    EXPECT_EQ(out[2], 1.0f);
    EXPECT_EQ(out[3], 1.5f);
    EXPECT_EQ(out[4], 2.0f);
    EXPECT_EQ(out[5], 2.0f) << "the last frame is held, not mixed with what lies after it";

    // With an edge frame (a loop's start) the last frame leads into it.
    const float loopStart = -2.0f;
    edge.edge = &loopStart;
    pos = 2 * FIXED_ONE + FIXED_ONE / 2;
    AURA::AURA_Resampler_Linear(out, 1, data, AURA_SOUND_FORMAT_PCMFLOAT, &pos, &step, 1, edge);
    EXPECT_EQ(out[0], 0.0f);

    // Stereo 16-bit: each channel on its own.
    const int16_t stereo[] = {0, 1000, 32767, -1000};
    pos = FIXED_ONE / 2;
    AURA::AURA_Resampler_Linear(out, 1, stereo, AURA_SOUND_FORMAT_PCM16, &pos, &step, 2);
    EXPECT_FLOAT_EQ(out[0], 32767.0f / 65536.0f);
    EXPECT_FLOAT_EQ(out[1], 0.0f);
}

TEST(ResamplerKernels, LinearSixteenBitRunsMatchTheInterpolationFormula)
{
    // Long enough runs for the four-frame paths, odd lengths for their tails.
    std::vector<int16_t> data(4000);
    uint32_t seed = 12345;
    for (int16_t &v : data) {
        seed = seed * 1103515245u + 12345u;
        v = static_cast<int16_t>(seed >> 16);
    }
    for (int channels : {1, 2}) {
        for (double ratio : {0.37, 0.999, 1.3, 2.0}) {
            SCOPED_TRACE(std::to_string(channels) + " channels, step " + std::to_string(ratio));
            const unsigned int frames = 301;
            std::vector<float> out(static_cast<size_t>(frames) * channels);
            const int64_t start = FIXED_ONE * 3 + 12345678;
            const auto step = static_cast<int64_t>(ratio * 4294967296.0);
            int64_t pos = start;
            AURA::AURA_Resampler_Linear(out.data(), frames, data.data(), AURA_SOUND_FORMAT_PCM16, &pos, &step,
                                        channels);
            EXPECT_EQ(pos, start + step * frames);
            for (unsigned int f = 0; f < frames; ++f) {
                const int64_t p = start + step * f;
                const int64_t whole = p >> 32;
                const double frac = static_cast<double>(static_cast<uint32_t>(p)) / 4294967296.0;
                for (int c = 0; c < channels; ++c) {
                    const double a = data[static_cast<size_t>(whole * channels + c)] / 32768.0;
                    const double b = data[static_cast<size_t>((whole + 1) * channels + c)] / 32768.0;
                    ASSERT_NEAR(out[f * static_cast<unsigned int>(channels) + static_cast<unsigned int>(c)],
                                a + (b - a) * frac, 2e-6)
                        << "frame " << f << " channel " << c;
                }
            }
        }
    }
}

// A sound the wavetable reads: its frames with a poison frame after them.
class TestSound : public AURA::SoundI {
public:
    TestSound(std::vector<int16_t> samples, int channels)
        : mSamples(std::move(samples))
    {
        mChannels = channels;
        mFormat = AURA_SOUND_FORMAT_PCM16;
        mLength = static_cast<unsigned int>(mSamples.size() / static_cast<size_t>(channels));
        mLoopStart = 0;
        mLoopLength = mLength;
        // Poison after the data; any read of it shows in the output.
        for (int c = 0; c < channels * 4; ++c) {
            mSamples.push_back(32767);
        }
    }
    [[nodiscard]] const uint8_t *getSampleData() const override
    {
        return reinterpret_cast<const uint8_t *>(mSamples.data());
    }
    std::vector<int16_t> mSamples;
};

std::vector<int16_t> ramp(int frames, int channels = 1)
{
    std::vector<int16_t> samples;
    for (int f = 0; f < frames; ++f) {
        for (int c = 0; c < channels; ++c) {
            samples.push_back(static_cast<int16_t>(f * 10 + c));
        }
    }
    return samples;
}

// A wavetable unit over a test sound, read block by block.
class WaveTable : public ::testing::Test {
protected:
    static constexpr unsigned int BLOCK = 64;
    auratest::Harness h{BLOCK};
    AURA::ChannelReal channel;
    AURA::DSPWaveTable *unit = nullptr;
    std::unique_ptr<TestSound> sound;
    unsigned int tick = 100;

    void SetUp() override
    {
        ASSERT_EQ(h.init, AURA_OK);
        h.system.mOutputRate = 48000;
        AURA::AURA_DSP_DESCRIPTION_EX description = AURA::DSPWaveTable::makeDescription(2, AURA_SOUND_FORMAT_PCM16);
        AURA::DSPI *made = nullptr;
        ASSERT_EQ(h.system.createDSP(&description, &made, true), AURA_OK);
        h.units.push_back(made);
        unit = static_cast<AURA::DSPWaveTable *>(made);
    }

    void play(std::vector<int16_t> samples, int channels, unsigned int mode, int loopcount = -1)
    {
        sound = std::make_unique<TestSound>(std::move(samples), channels);
        channel.mMode = mode;
        channel.mLoopCount = loopcount;
        channel.mLoopStart = 0;
        channel.mLoopLength = sound->mLength;
        unit->mChannel = &channel;
        unit->mSound = sound.get();
        unit->mPosition = 0;
        ASSERT_EQ(unit->setFinished(false, false), AURA_OK);
        ASSERT_EQ(unit->setFrequency(48000.0f), AURA_OK);
    }

    // Frames of channel 0 as 16-bit values, over `blocks` blocks.
    std::vector<int> render(int blocks, int channels = 1)
    {
        std::vector<int> frames;
        for (int b = 0; b < blocks; ++b) {
            float *out = nullptr;
            int outchannels = 0;
            unsigned int length = BLOCK;
            EXPECT_EQ(unit->read(&out, &outchannels, &length, AURA_SPEAKERMODE_STEREO, 2, ++tick), AURA_OK);
            EXPECT_EQ(outchannels, channels);
            for (unsigned int f = 0; f < BLOCK; ++f) {
                const float v = out[f * static_cast<unsigned int>(outchannels)];
                EXPECT_LE(std::fabs(v), 0.5f) << "poison read at block " << b << " frame " << f;
                frames.push_back(static_cast<int>(std::lround(v * 32768.0f)));
            }
        }
        return frames;
    }
};

TEST_F(WaveTable, AStepOfOneCopiesTheSampleAndEndsWithSilence)
{
    play(ramp(100, 2), 2, AURA_LOOP_OFF);
    const std::vector<int> out = render(2, 2);
    for (int f = 0; f < 100; ++f) {
        ASSERT_EQ(out[static_cast<size_t>(f)], f * 10) << f;
    }
    for (int f = 100; f < 128; ++f) {
        ASSERT_EQ(out[static_cast<size_t>(f)], 0) << f;
    }
    EXPECT_TRUE(unit->hasFlags(AURA::DSPI_FLAG_FINISHED));
    EXPECT_EQ(AURA::fixedWhole(unit->mPosition), 100) << "parked at the end";
    // Finished only once the tick source has moved past the end's tick.
    bool finished = true;
    unit->clearFlags(AURA::DSPI_FLAG_FINISHED);
    h.head->setDSPTick(tick);
    ASSERT_EQ(unit->getFinished(&finished), AURA_OK);
    EXPECT_FALSE(finished);
    h.head->setDSPTick(tick + 1);
    ASSERT_EQ(unit->getFinished(&finished), AURA_OK);
    EXPECT_TRUE(finished);
}

TEST_F(WaveTable, NormalLoopsWrapSampleAccuratelyAndCountDown)
{
    play(ramp(50), 1, AURA_LOOP_NORMAL, 2);
    channel.mLoopStart = 10;
    channel.mLoopLength = 7; // shorter than a block: wraps by modulo
    const std::vector<int> out = render(3);
    std::vector<int> expected;
    for (int f = 0; f < 17; ++f) {
        expected.push_back(f * 10);
    }
    for (int loop = 0; loop < 2; ++loop) {
        for (int f = 10; f < 17; ++f) {
            expected.push_back(f * 10);
        }
    }
    for (int f = 17; f < 50; ++f) {
        expected.push_back(f * 10);
    }
    expected.resize(out.size(), 0);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(channel.mLoopCount, 0);
}

TEST_F(WaveTable, BidirectionalLoopsTurnAtBothEndsWithoutRepeatingFrames)
{
    play(ramp(20), 1, AURA_LOOP_BIDI, -1);
    channel.mLoopStart = 5;
    channel.mLoopLength = 10; // frames 5..14
    const std::vector<int> out = render(1);
    std::vector<int> expected;
    for (int f = 0; f < 15; ++f) {
        expected.push_back(f * 10);
    }
    int f = 13;
    int dir = -1;
    while (expected.size() < out.size()) {
        expected.push_back(f * 10);
        if (f == 5 && dir < 0) {
            dir = 1;
        } else if (f == 14 && dir > 0) {
            dir = -1;
        }
        f += dir;
    }
    EXPECT_EQ(out, expected);
    EXPECT_EQ(channel.mLoopCount, -1) << "a bidirectional loop does not count";
}

TEST_F(WaveTable, AnEmptyLoopPlaysOnceInsteadOfHanging)
{
    play(ramp(30), 1, AURA_LOOP_NORMAL, -1);
    channel.mLoopStart = 8;
    channel.mLoopLength = 0;
    const std::vector<int> out = render(1);
    for (int f = 0; f < 30; ++f) {
        ASSERT_EQ(out[static_cast<size_t>(f)], f * 10);
    }
    EXPECT_EQ(out[30], 0);
    EXPECT_TRUE(unit->hasFlags(AURA::DSPI_FLAG_FINISHED));
}

TEST_F(WaveTable, ANegativeFrequencyPlaysTheExactReverse)
{
    play(ramp(40), 1, AURA_LOOP_OFF);
    ASSERT_EQ(unit->setFrequency(-48000.0f), AURA_OK);
    unit->mPosition = AURA::fixedFromWhole(39);
    const std::vector<int> out = render(1);
    for (int f = 0; f < 39; ++f) {
        ASSERT_EQ(out[static_cast<size_t>(f)], (39 - f) * 10) << f;
    }
    EXPECT_EQ(out[39], 0) << "frame 0 is where the reverse play ends";
    EXPECT_TRUE(unit->hasFlags(AURA::DSPI_FLAG_FINISHED));
}

// A parent played as a list of test sounds (a null slot names no sound).
struct TestSentence : AURA::SoundI {
    TestSentence(std::vector<AURA::SoundI *> slots, std::vector<SentenceEntry> list)
        : mSlots(std::move(slots))
        , mList(std::move(list))
    {
        mFormat = AURA_SOUND_FORMAT_PCM16;
        mSubSound = mSlots.data();
        mNumSubSounds = static_cast<int>(mSlots.size());
        mSubSoundList = mList.data();
        mSubSoundListNum = static_cast<int>(mList.size());
        for (const SentenceEntry &entry : mList) {
            mLength += entry.mLength;
        }
    }
    ~TestSentence() override
    {
        // The test owns the slots and the list.
        mSubSound = nullptr;
        mNumSubSounds = 0;
        mSubSoundList = nullptr;
        mSubSoundListNum = 0;
    }
    std::vector<AURA::SoundI *> mSlots;
    std::vector<SentenceEntry> mList;
};

// A sentence plays its entries back to back, forwards and backwards (where
// each entry change steps one frame), and an entry that names no sound ends
// the voice with silence.
TEST_F(WaveTable, SentencesCrossFromEntryToEntry)
{
    TestSound a(ramp(10), 1);
    std::vector<int16_t> high = ramp(10);
    for (int16_t &v : high) {
        v = static_cast<int16_t>(v + 1000);
    }
    TestSound b(high, 1);
    TestSentence sentence({&a, &b, nullptr}, {{1, 10}, {0, 10}, {1, 10}});
    channel.mMode = AURA_LOOP_OFF;
    unit->mChannel = &channel;
    unit->mSound = &sentence;
    unit->mPosition = 0;
    ASSERT_EQ(unit->setFinished(false, false), AURA_OK);
    ASSERT_EQ(unit->setFrequency(48000.0f), AURA_OK);
    std::vector<int> out = render(1);
    for (int f = 0; f < 30; ++f) {
        ASSERT_EQ(out[static_cast<size_t>(f)], (f % 10) * 10 + (f / 10 == 1 ? 0 : 1000)) << f;
    }
    EXPECT_EQ(out[30], 0);
    EXPECT_TRUE(unit->hasFlags(AURA::DSPI_FLAG_FINISHED));

    ASSERT_EQ(unit->setFinished(false, false), AURA_OK);
    ASSERT_EQ(unit->setFrequency(-48000.0f), AURA_OK);
    unit->mPosition = AURA::fixedFromWhole(19);
    out = render(1);
    std::vector<int> expected;
    for (int f = 9; f >= 1; --f) {
        expected.push_back(f * 10); // the second entry, a
    }
    for (int f = 9; f >= 1; --f) {
        expected.push_back(1000 + f * 10); // the first, b
    }
    expected.push_back(0);
    EXPECT_EQ(std::vector<int>(out.begin(), out.begin() + static_cast<long>(expected.size())), expected);

    TestSentence broken({&a, nullptr}, {{0, 10}, {1, 10}});
    unit->mSound = &broken;
    unit->mPosition = 0;
    ASSERT_EQ(unit->setFinished(false, false), AURA_OK);
    ASSERT_EQ(unit->setFrequency(48000.0f), AURA_OK);
    out = render(1);
    for (int f = 0; f < 10; ++f) {
        ASSERT_EQ(out[static_cast<size_t>(f)], f * 10) << f;
    }
    for (size_t f = 10; f < out.size(); ++f) {
        ASSERT_EQ(out[f], 0) << f;
    }
    EXPECT_TRUE(unit->hasFlags(AURA::DSPI_FLAG_FINISHED));
}

TEST_F(WaveTable, DoubleFrequencyHalvesTheLengthAndLinearNeverReadsPastTheData)
{
    play(ramp(64), 1, AURA_LOOP_OFF);
    h.system.mResampleMethod = AURA_DSP_RESAMPLER_LINEAR;
    ASSERT_EQ(unit->setFrequency(96000.0f), AURA_OK);
    std::vector<int> out = render(1);
    for (int f = 0; f < 32; ++f) {
        ASSERT_EQ(out[static_cast<size_t>(f)], f * 20) << f;
    }
    EXPECT_EQ(out[32], 0);

    // A step of 0.75 ends between the last frame and the poison after it.
    play(ramp(10), 1, AURA_LOOP_OFF);
    ASSERT_EQ(unit->setFrequency(36000.0f), AURA_OK);
    out = render(1); // the poison check runs inside render
    EXPECT_TRUE(unit->hasFlags(AURA::DSPI_FLAG_FINISHED));
}

TEST_F(WaveTable, PositionsPastTheEndAndDelayedStartsAreHonoured)
{
    play(ramp(30), 1, AURA_LOOP_OFF);
    ASSERT_EQ(unit->setPositionInternal(1000), AURA_OK);
    EXPECT_EQ(unit->mNewPosition.load(), 30u);
    std::vector<int> out = render(1);
    EXPECT_EQ(out[0], 0);
    EXPECT_TRUE(unit->hasFlags(AURA::DSPI_FLAG_FINISHED));

    // A start on the DSP clock inside the block: exactly that many zeros.
    play(ramp(30), 1, AURA_LOOP_OFF);
    h.system.mDSPClock = 5000;
    unit->mDSPClockStart = 5000 + 17;
    out = render(1);
    for (int f = 0; f < 17; ++f) {
        ASSERT_EQ(out[static_cast<size_t>(f)], 0) << f;
    }
    for (int f = 0; f < 30; ++f) {
        ASSERT_EQ(out[static_cast<size_t>(17 + f)], f * 10) << f;
    }
    unit->mDSPClockStart = 0;

    AURA::DSPWaveTable lone;
    EXPECT_EQ(lone.setPositionInternal(3), AURA_ERR_INVALID_PARAM) << "no sound";
}

TEST_F(WaveTable, AForcedFinishIsFinishedAtOnceAndAPlainOneAfterTheNextTick)
{
    play(ramp(100), 1, AURA_LOOP_OFF);
    h.head->setDSPTick(500);
    bool finished = false;
    ASSERT_EQ(unit->setFinished(true, false), AURA_OK);
    ASSERT_EQ(unit->getFinished(&finished), AURA_OK);
    EXPECT_FALSE(finished) << "the block being mixed is still heard";
    h.head->setDSPTick(502);
    ASSERT_EQ(unit->getFinished(&finished), AURA_OK);
    EXPECT_TRUE(finished);
    ASSERT_EQ(unit->setFinished(false, false), AURA_OK);
    ASSERT_EQ(unit->setFinished(true, true), AURA_OK);
    ASSERT_EQ(unit->getFinished(&finished), AURA_OK);
    EXPECT_TRUE(finished);
    // A unit whose voice has gone has no tick source: finished for good.
    unit->mTickSource = nullptr;
    ASSERT_EQ(unit->setFinished(false, false), AURA_OK);
    ASSERT_EQ(unit->getFinished(&finished), AURA_OK);
    EXPECT_TRUE(finished);
}

// A sine through the wavetable at another rate: frequency from zero
// crossings, level and noise against the ideal sine.
struct SineResult {
    double frequency;
    double levelDb;
    double snrDb;
};

SineResult measureSine(AURA_DSP_RESAMPLER method, int outputRate)
{
    constexpr int sourceRate = 44100;
    constexpr double tone = 1000.0;
    const std::vector<int16_t> source = auratest::sine(sourceRate * 2, tone, sourceRate);
    auratest::Harness h{512};
    h.system.mOutputRate = outputRate;
    h.system.mResampleMethod = method;
    AURA::AURA_DSP_DESCRIPTION_EX description = AURA::DSPWaveTable::makeDescription(1, AURA_SOUND_FORMAT_PCM16);
    AURA::DSPI *made = nullptr;
    EXPECT_EQ(h.system.createDSP(&description, &made, true), AURA_OK);
    h.units.push_back(made);
    auto *unit = static_cast<AURA::DSPWaveTable *>(made);
    TestSound sound(source, 1);
    AURA::ChannelReal channel;
    channel.mMode = AURA_LOOP_OFF;
    unit->mChannel = &channel;
    unit->mSound = &sound;
    (void)unit->setFinished(false, false);
    (void)unit->setFrequency(static_cast<float>(sourceRate));

    std::vector<double> out;
    unsigned int tick = 1;
    const size_t frames = static_cast<size_t>(outputRate) * 3 / 2;
    while (out.size() < frames) {
        float *block = nullptr;
        int channels = 0;
        unsigned int length = 512;
        EXPECT_EQ(unit->read(&block, &channels, &length, AURA_SPEAKERMODE_STEREO, 2, ++tick), AURA_OK);
        for (unsigned int i = 0; i < length; ++i) {
            out.push_back(block[i]);
        }
    }
    out.resize(frames);
    // The first few milliseconds are left out.
    const auratest::SineResult sine = auratest::analyse(out, static_cast<size_t>(outputRate) / 100, outputRate);
    return {sine.frequency, auratest::db(sine.amplitude / 0.5), sine.snrDb};
}

TEST(WaveTableResampling, ASineKeepsItsPitchAndLevelAtOtherRates)
{
    for (int rate : {48000, 24000}) {
        SCOPED_TRACE(rate);
        const SineResult linear = measureSine(AURA_DSP_RESAMPLER_LINEAR, rate);
        EXPECT_NEAR(linear.frequency, 1000.0, 0.05);
        EXPECT_NEAR(linear.levelDb, 0.0, 0.1);
        EXPECT_GE(linear.snrDb, 45.0);
        const SineResult nearest = measureSine(AURA_DSP_RESAMPLER_NOINTERP, rate);
        EXPECT_NEAR(nearest.frequency, 1000.0, 0.05);
        EXPECT_GE(nearest.snrDb, 20.0);
    }
}

// The ring-buffered resampler over a source that counts its frames.
struct CountingSource {
    int next = 0;
    int total = -1; // frames before the source ends; < 0: endless
};

AURA_RESULT countingRead(AURA_DSP_STATE *state, float *, float *out, unsigned int length, int, int outchannels)
{
    auto *unit = static_cast<AURA::DSPI *>(state->instance);
    auto *source = static_cast<CountingSource *>(unit->mDescription.userdata);
    // The block in which the source ends is padded with silence and says so.
    bool ended = false;
    for (unsigned int f = 0; f < length; ++f) {
        ended = ended || (source->total >= 0 && source->next >= source->total);
        for (int c = 0; c < outchannels; ++c) {
            out[f * static_cast<unsigned int>(outchannels) + static_cast<unsigned int>(c)] =
                ended ? 0.0f : static_cast<float>(source->next + c * 1000);
        }
        if (!ended) {
            ++source->next;
        }
    }
    return ended ? AURA_ERR_FILE_EOF : AURA_OK;
}

class Resampler : public ::testing::Test {
protected:
    auratest::Harness h{128};
    CountingSource source;
    AURA::DSPResampler *unit = nullptr;
    unsigned int tick = 10;

    void make(int channels, int blockLength = 0)
    {
        ASSERT_EQ(h.init, AURA_OK);
        h.system.mOutputRate = 44100;
        AURA::AURA_DSP_DESCRIPTION_EX description{};
        std::strncpy(description.name, "counting", sizeof(description.name) - 1);
        description.channels = channels;
        description.read = countingRead;
        description.userdata = &source;
        description.mFormat = AURA_SOUND_FORMAT_PCMFLOAT;
        description.mCategory = AURA::AURA_DSP_CATEGORY_DSPCODECRAW;
        description.mBlockLength = blockLength;
        AURA::DSPI *made = nullptr;
        ASSERT_EQ(h.system.createDSP(&description, &made, true), AURA_OK);
        h.units.push_back(made);
        unit = static_cast<AURA::DSPResampler *>(made);
        ASSERT_EQ(unit->setFinished(false, false), AURA_OK);
    }

    std::vector<float> render(int blocks, int channels)
    {
        std::vector<float> all;
        for (int b = 0; b < blocks; ++b) {
            float *out = nullptr;
            int outchannels = 0;
            unsigned int length = 128;
            EXPECT_EQ(unit->read(&out, &outchannels, &length, AURA_SPEAKERMODE_STEREO, 2, ++tick), AURA_OK);
            EXPECT_EQ(outchannels, channels);
            all.insert(all.end(), out, out + 128 * channels);
        }
        return all;
    }
};

TEST_F(Resampler, AStepOfOneIsBitExactAcrossRefills)
{
    make(2, 100); // blocks that do not divide the output block
    ASSERT_EQ(unit->setFrequency(44100.0f), AURA_OK);
    EXPECT_EQ(unit->mStep.load(), FIXED_ONE);
    const std::vector<float> out = render(8, 2);
    for (size_t f = 0; f < out.size() / 2; ++f) {
        ASSERT_EQ(out[f * 2], static_cast<float>(f)) << f;
        ASSERT_EQ(out[f * 2 + 1], static_cast<float>(f + 1000)) << f;
    }
    EXPECT_EQ(AURA::fixedWhole(unit->mPosition), 8 * 128);
}

TEST_F(Resampler, HalfSpeedAndReverseSettingsFollowTheirSteps)
{
    make(1, 64);
    ASSERT_EQ(unit->setFrequency(-22050.0f), AURA_OK);
    EXPECT_EQ(unit->mStep.load(), int64_t{0x80000000});
    EXPECT_EQ(unit->mDirection.load(), 1);
    ASSERT_EQ(unit->setFrequency(22050.0f), AURA_OK);
    h.system.mResampleMethod = AURA_DSP_RESAMPLER_LINEAR;
    const std::vector<float> out = render(4, 1);
    for (size_t f = 0; f < out.size(); ++f) {
        ASSERT_FLOAT_EQ(out[f], static_cast<float>(f) * 0.5f) << f;
    }
}

TEST_F(Resampler, TheSourcesEndIsSilenceAndFinishesAfterTheNextTick)
{
    make(1, 64);
    source.total = 200;
    ASSERT_EQ(unit->setFrequency(44100.0f), AURA_OK);
    const std::vector<float> out = render(2, 1);
    for (size_t f = 0; f < out.size(); ++f) {
        ASSERT_EQ(out[f], f < 200 ? static_cast<float>(f) : 0.0f) << f;
    }
    EXPECT_TRUE(unit->hasFlags(AURA::DSPI_FLAG_FINISHED));
    // Past the finish tick the unit says it has nothing for its parent.
    float *untouched = nullptr;
    int channels = 0;
    unsigned int length = 128;
    ASSERT_EQ(unit->read(&untouched, &channels, &length, AURA_SPEAKERMODE_STEREO, 2, ++tick), AURA_OK);
    EXPECT_TRUE(unit->hasFlags(AURA::DSPI_FLAG_IDLE));
    EXPECT_EQ(untouched, nullptr);
}

} // namespace
