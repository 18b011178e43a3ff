// Sounds played on software voices through the public API, rendered by the
// non-real-time WAV writer and read back from its file.
#include "aura.h"
#include "aura.hpp"
#include "channel/aura_channeli.h"
#include "voice/aura_channelsoftware.h"
#include "system/aura_systemi.h"
#include "files.h"
#include "sine_analysis.h"
#include "tools.h"
#include "systems.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using auratest::db;
using auratest::sine;
using auratest::Wav;
using Render = auratest::WavRender;

double rms(const Wav &wav, unsigned channel, size_t from, size_t to)
{
    double sum = 0.0;
    for (size_t f = from; f < to; ++f) {
        sum += static_cast<double>(wav.at(f, channel)) * wav.at(f, channel);
    }
    return std::sqrt(sum / static_cast<double>(to - from));
}

double sourceRms(const std::vector<int16_t> &samples)
{
    double sum = 0.0;
    for (int16_t s : samples) {
        sum += (s / 32768.0) * (s / 32768.0);
    }
    return std::sqrt(sum / static_cast<double>(samples.size()));
}

class SoftwareVoiceRates : public ::testing::TestWithParam<int> {};

TEST_P(SoftwareVoiceRates, AMonoToneIsPannedByTheConstantPowerLaw)
{
    const int rate = GetParam();
    Render render({rate});
    const auto tone = sine(rate, 441.0, rate);
    AURA::Sound *sound = render.sound(tone, 1, rate);
    AURA::Channel *centre = render.play(sound);
    ASSERT_NE(centre, nullptr);
    render.update(8);
    ASSERT_EQ(centre->stop(), AURA_OK);
    AURA::Channel *left = render.play(sound, true);
    ASSERT_EQ(left->setPan(-1.0f), AURA_OK);
    ASSERT_EQ(left->setPaused(false), AURA_OK);
    render.update(8);
    const Wav wav = render.finish();
    ASSERT_EQ(wav.channels, 2u);
    ASSERT_EQ(wav.rate, static_cast<unsigned>(rate));
    const double expected = sourceRms(tone) * std::sqrt(0.5);
    const size_t block = 1024;
    EXPECT_NEAR(db(rms(wav, 0, 0, 8 * block) / expected), 0.0, 0.1);
    EXPECT_NEAR(db(rms(wav, 1, 0, 8 * block) / expected), 0.0, 0.1);
    for (size_t f = 8 * block; f < 16 * block; ++f) {
        ASSERT_EQ(wav.at(f, 1), 0.0f) << "pan -1 leaves the right channel silent, frame " << f;
    }
    EXPECT_NEAR(db(rms(wav, 0, 8 * block, 16 * block) / sourceRms(tone)), 0.0, 0.1);
}

TEST_P(SoftwareVoiceRates, AStereoSoundAtTheOutputRateComesOutBitExact)
{
    const int rate = GetParam();
    Render render({rate, AURA_SOUND_FORMAT_PCM16});
    std::vector<int16_t> frames = sine(4000, 300.0, rate, 20000.0, 2);
    AURA::Sound *sound = render.sound(frames, 2, rate);
    render.play(sound);
    render.update(5);
    const Wav wav = render.finish();
    ASSERT_GE(wav.pcm16.size(), frames.size() + 2);
    for (size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(wav.pcm16[i], frames[i]) << "sample " << i;
    }
    EXPECT_EQ(wav.pcm16[frames.size()], 0) << "silence after the end";
}

INSTANTIATE_TEST_SUITE_P(Rates, SoftwareVoiceRates, ::testing::Values(24000, 44100, 48000));

// A 1 kHz sine at 44.1 kHz rendered at 48 and 24 kHz keeps its pitch and
// level; linear interpolation keeps it clean, nearest sample less so.
TEST(SoftwareVoice, AResampledSineKeepsItsPitchLevelAndNoiseFloor)
{
    const auto tone = sine(44100 * 2, 1000.0, 44100, 16384.0);
    for (int rate : {48000, 24000}) {
        for (AURA_DSP_RESAMPLER method : {AURA_DSP_RESAMPLER_LINEAR, AURA_DSP_RESAMPLER_NOINTERP}) {
            const bool linear = method == AURA_DSP_RESAMPLER_LINEAR;
            SCOPED_TRACE(std::to_string(rate) + (linear ? " linear" : " nearest"));
            Render render({rate, AURA_SOUND_FORMAT_PCMFLOAT, 1024, method});
            render.play(render.sound(tone, 1, 44100));
            render.update(static_cast<int>(rate * 3 / 2 / 1024));
            const Wav wav = render.finish();
            std::vector<double> left;
            for (size_t f = 0; f < wav.frames(); ++f) {
                left.push_back(wav.at(f, 0));
            }
            const auratest::SineResult result = auratest::analyse(left, static_cast<size_t>(rate / 100), rate);
            EXPECT_NEAR(result.frequency, 1000.0, 0.05);
            // Panned to the centre: sqrt(0.5) of the source's amplitude.
            EXPECT_NEAR(db(result.amplitude / (0.5 * std::sqrt(0.5))), 0.0, 0.1);
            EXPECT_GE(result.snrDb, linear ? 45.0 : 20.0);
        }
    }
}

TEST(SoftwareVoice, HalfVolumeIsSixDecibelsDown)
{
    Render render({44100});
    const auto tone = sine(44100, 1000.0, 44100);
    AURA::Sound *sound = render.sound(tone, 1, 44100);
    AURA::Channel *channel = render.play(sound, true);
    ASSERT_EQ(channel->setVolume(0.5f), AURA_OK);
    ASSERT_EQ(channel->setPaused(false), AURA_OK);
    render.update(10);
    const Wav wav = render.finish();
    EXPECT_NEAR(db(rms(wav, 0, 0, 10240) / (sourceRms(tone) * std::sqrt(0.5))), -6.02, 0.1);
}

TEST(SoftwareVoice, PauseGivesZerosAndResumesAtTheSameSample)
{
    Render render({44100, AURA_SOUND_FORMAT_PCM16});
    std::vector<int16_t> ramp;
    for (int f = 0; f < 8000; ++f) {
        ramp.push_back(static_cast<int16_t>(f + 1));
        ramp.push_back(static_cast<int16_t>(-f - 1));
    }
    AURA::Sound *sound = render.sound(ramp, 2, 44100);
    AURA::Channel *channel = render.play(sound);
    render.update(2);
    ASSERT_EQ(channel->setPaused(true), AURA_OK);
    render.update(3);
    ASSERT_EQ(channel->setPaused(false), AURA_OK);
    render.update(6);
    const Wav wav = render.finish();
    std::vector<int16_t> heard;
    for (size_t i = 0; i < wav.pcm16.size(); ++i) {
        const size_t frame = i / 2;
        if (frame >= 2048 && frame < 5 * 1024) {
            ASSERT_EQ(wav.pcm16[i], 0) << "paused block, frame " << frame;
        } else if (heard.size() < ramp.size()) {
            heard.push_back(wav.pcm16[i]);
        }
    }
    EXPECT_EQ(heard, ramp) << "the sound resumes where it was paused";
}

TEST(SoftwareVoice, DoubleFrequencyHalvesTheLengthAndTheEndCallbackComesAfterTheLastBlock)
{
    Render render({44100, AURA_SOUND_FORMAT_PCM16});
    std::vector<int16_t> dc(3000, 1000);
    AURA::Sound *sound = render.sound(dc, 1, 44100);
    AURA::Channel *channel = render.play(sound, true);
    ASSERT_EQ(channel->setFrequency(88200.0f), AURA_OK);
    static std::atomic<int> ends{0};
    ends = 0;
    ASSERT_EQ(channel->setCallback([](AURA_CHANNEL *, AURA_CHANNEL_CALLBACKTYPE type, void *, void *) {
                  if (type == AURA_CHANNEL_CALLBACKTYPE_END) {
                      ++ends;
                  }
                  return AURA_OK;
              }),
              AURA_OK);
    ASSERT_EQ(channel->setPaused(false), AURA_OK);
    // 1500 output frames: the data ends inside the second block, and the
    // update that mixed it brings the end.
    render.update(1);
    EXPECT_EQ(ends.load(), 0);
    render.update(1);
    EXPECT_EQ(ends.load(), 1);
    render.update(2);
    EXPECT_EQ(ends.load(), 1);
    const Wav wav = render.finish();
    size_t heard = 0;
    while (heard < wav.frames() && wav.pcm16[heard * 2] != 0) {
        ++heard;
    }
    EXPECT_EQ(heard, 1500u);
}

TEST(SoftwareVoice, AStartDelayedOnTheDSPClockGivesThatManyZeroFrames)
{
    Render render({48000, AURA_SOUND_FORMAT_PCM16});
    std::vector<int16_t> dc(2000, 777);
    AURA::Sound *sound = render.sound(dc, 1, 48000);
    render.update(1);
    AURA::Channel *channel = render.play(sound, true);
    AURA::SystemI *internal = nullptr;
    ASSERT_EQ(AURA::SystemI::validate(render.system(), &internal), AURA_OK);
    const uint64_t start = internal->mDSPClock.load() + 1024 + 300;
    ASSERT_EQ(channel->setDelay(AURA_DELAYTYPE_DSPCLOCK_START, static_cast<unsigned int>(start >> 32),
                                static_cast<unsigned int>(start)),
              AURA_OK);
    ASSERT_EQ(channel->setPaused(false), AURA_OK);
    render.update(4);
    const Wav wav = render.finish();
    size_t first = 0;
    while (first < wav.frames() && wav.pcm16[first * 2] == 0) {
        ++first;
    }
    EXPECT_EQ(first, static_cast<size_t>(start));
    EXPECT_EQ(wav.pcm16[first * 2], 549) << "777 at the sqrt(0.5) pan law";
}

TEST(SoftwareVoice, ThreeDimensionalSoundsArePannedFromTheListener)
{
    Render render({44100});
    const auto tone = sine(44100, 500.0, 44100);
    AURA::Sound *sound = render.sound(tone, 1, 44100, AURA_LOOP_OFF | AURA_3D);
    AURA::Channel *ahead = render.play(sound, true);
    const AURA_VECTOR front{0.0f, 0.0f, 2.0f};
    ASSERT_EQ(ahead->set3DAttributes(&front, nullptr), AURA_OK);
    ASSERT_EQ(ahead->setPaused(false), AURA_OK);
    render.update(1); // the 3D pan is applied by the update
    render.update(8);
    ASSERT_EQ(ahead->stop(), AURA_OK);
    AURA::Channel *right = render.play(sound, true);
    const AURA_VECTOR side{3.0f, 0.0f, 0.0f};
    ASSERT_EQ(right->set3DAttributes(&side, nullptr), AURA_OK);
    render.update(1);
    ASSERT_EQ(right->setPaused(false), AURA_OK);
    render.update(8);
    const AURA_VECTOR flat{0.0f, 0.0f, 1.0f};
    AURA::Channel *twoD = render.play(render.sound(tone, 1, 44100), true);
    EXPECT_EQ(twoD->set3DAttributes(&flat, nullptr), AURA_ERR_NEEDS3D);
    const Wav wav = render.finish();
    // Panned, and fading with distance (minimum distance 1: 1/2 at 2, 1/3 at 3).
    const double expected = sourceRms(tone) * std::sqrt(0.5) / 2.0;
    EXPECT_NEAR(db(rms(wav, 0, 2048, 9 * 1024) / expected), 0.0, 0.1);
    EXPECT_NEAR(db(rms(wav, 1, 2048, 9 * 1024) / expected), 0.0, 0.1);
    EXPECT_LT(rms(wav, 0, 11 * 1024, 18 * 1024), 1e-6) << "a source on the right is not heard on the left";
    EXPECT_NEAR(db(rms(wav, 1, 11 * 1024, 18 * 1024) / (sourceRms(tone) / 3.0)), 0.0, 0.1);
}

// The game's effect road: a WAV made by sox, created and played through the
// C interface 30 times at once, mixes to the sum of its single renders.
TEST(SoftwareVoice, TheListenersViewGivesTheAngleAndPseudoAngle)
{
    EXPECT_EQ(AURA::listenerPseudoAngle(0.0f, 1.0f), 1.0f) << "front";
    EXPECT_EQ(AURA::listenerPseudoAngle(1.0f, 0.0f), 3.0f) << "right";
    EXPECT_EQ(AURA::listenerPseudoAngle(0.0f, -1.0f), 5.0f) << "back";
    EXPECT_EQ(AURA::listenerPseudoAngle(-1.0f, 0.0f), 7.0f) << "left";
    EXPECT_EQ(AURA::listenerPseudoAngle(0.0f, 0.0f), 0.0f);

    Render render({44100});
    const auto tone = sine(44100, 500.0, 44100);
    AURA::Sound *sound = render.sound(tone, 1, 44100, AURA_LOOP_OFF | AURA_3D);
    AURA::Channel *channel = render.play(sound);
    auto voice = [&]() {
        AURA::ChannelI *internal = nullptr;
        EXPECT_EQ(AURA::ChannelI::validate(channel, &internal), AURA_OK);
        return internal ? static_cast<AURA::ChannelRealManual3D *>(internal->mRealChannel[0]) : nullptr;
    };
    const AURA_VECTOR ahead{0.0f, 0.0f, 5.0f};
    ASSERT_EQ(channel->set3DAttributes(&ahead, nullptr), AURA_OK);
    render.update(1);
    ASSERT_NE(voice(), nullptr);
    EXPECT_NEAR(voice()->mAngle, 0.0f, 1e-3f);
    const AURA_VECTOR behind{0.0f, 0.0f, -5.0f};
    ASSERT_EQ(channel->set3DAttributes(&behind, nullptr), AURA_OK);
    render.update(1);
    EXPECT_NEAR(voice()->mAngle, 180.0f, 1e-3f);
    // A listener turned to face the sound brings it back in front.
    const AURA_VECTOR back{0.0f, 0.0f, -1.0f};
    const AURA_VECTOR up{0.0f, 1.0f, 0.0f};
    ASSERT_EQ(render.system()->set3DListenerAttributes(0, nullptr, nullptr, &back, &up), AURA_OK);
    render.update(1);
    EXPECT_NEAR(voice()->mAngle, 0.0f, 1e-3f);
    const AURA_VECTOR skewed{0.0f, 0.5f, 1.0f};
    EXPECT_EQ(render.system()->set3DListenerAttributes(0, nullptr, nullptr, &skewed, &up), AURA_ERR_INVALID_VECTOR);
}

TEST(SoftwareVoice, ThirtyPlaysOfASoxWavMixToTheSumOfTheirSingleRenders)
{
    auratest::TempDir dir("aura-effects");
    ASSERT_TRUE(dir.ok());
    const auto wav = dir / "effect.wav";
    ASSERT_TRUE(auratest::run("sox -D -n -r 44100 -c 1 -b 16 " + auratest::quote(wav) +
                              " synth 0.45 pluck C5 vol 0.2"));
    auto settings = [](int i) { return std::pair<float, float>{0.2f + 0.025f * i, -1.0f + i / 15.0f}; };
    auto playAll = [&](Render &render, int first, int last) {
        auto *system = render.handle();
        AURA_SOUND *sound = nullptr;
        ASSERT_EQ(AURA_System_CreateSound(system, wav.c_str(), AURA_DEFAULT, nullptr, &sound), AURA_OK);
        for (int i = first; i < last; ++i) {
            AURA_CHANNEL *channel = nullptr;
            ASSERT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, sound, 1, &channel), AURA_OK);
            ASSERT_EQ(AURA_Channel_SetVolume(channel, settings(i).first), AURA_OK);
            ASSERT_EQ(AURA_Channel_SetPan(channel, settings(i).second), AURA_OK);
            ASSERT_EQ(AURA_Channel_SetPaused(channel, 0), AURA_OK);
        }
        render.update(21);
    };
    std::vector<float> sum;
    for (int i = 0; i < 30; ++i) {
        Render single({44100});
        playAll(single, i, i + 1);
        const Wav wav1 = single.finish();
        sum.resize(wav1.samples.size(), 0.0f);
        for (size_t s = 0; s < wav1.samples.size(); ++s) {
            sum[s] += wav1.samples[s];
        }
    }
    Render all({44100});
    playAll(all, 0, 30);
    const Wav mixed = all.finish();
    ASSERT_EQ(mixed.samples.size(), sum.size());
    double worst = 0.0;
    double peak = 0.0;
    for (size_t s = 0; s < sum.size(); ++s) {
        worst = std::max(worst, static_cast<double>(std::fabs(mixed.samples[s] - sum[s])));
        peak = std::max(peak, static_cast<double>(std::fabs(sum[s])));
    }
    EXPECT_GT(peak, 0.1) << "the effect is heard";
    EXPECT_LT(worst, 1e-5);
}

TEST(SoftwareVoice, SoundsWithMoreChannelsThanTheMixerTakesAreRefused)
{
    Render render({44100});
    std::vector<int16_t> wide(8 * 100, 100);
    AURA::Sound *sound = render.sound(wide, 8, 44100);
    AURA::Channel *channel = nullptr;
    EXPECT_EQ(render.system()->playSound(AURA_CHANNEL_FREE, sound, false, &channel), AURA_ERR_TOOMANYCHANNELS);
    render.update(1);
}

TEST(SoftwareVoiceThreads, PlayAndStopWhileTheMixerRuns)
{
    AURA_SYSTEM *system = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND, 16, AURA_INIT_NORMAL, 256);
    ASSERT_NE(system, nullptr);
    AURA_CREATESOUNDEXINFO exinfo = auratest::userSoundInfo(4410 * 2, 1, 44100);
    AURA_SOUND *sound = nullptr;
    ASSERT_EQ(AURA_System_CreateSound(system, nullptr, AURA_OPENUSER | AURA_LOOP_NORMAL, &exinfo, &sound), AURA_OK);
    std::vector<AURA_CHANNEL *> playing;
    for (int i = 0; i < 1000; ++i) {
        AURA_CHANNEL *channel = nullptr;
        ASSERT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, sound, 0, &channel), AURA_OK);
        (void)AURA_Channel_SetVolume(channel, 0.5f);
        (void)AURA_Channel_SetPan(channel, (i % 7) / 3.0f - 1.0f);
        playing.push_back(channel);
        if (playing.size() > 8) {
            (void)AURA_Channel_Stop(playing.front());
            playing.erase(playing.begin());
        }
        if (i % 10 == 0) {
            ASSERT_EQ(AURA_System_Update(system), AURA_OK);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    ASSERT_EQ(AURA_Sound_Release(sound), AURA_OK);
    ASSERT_EQ(AURA_System_Release(system), AURA_OK);
}

} // namespace
