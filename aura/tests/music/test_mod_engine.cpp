// MOD songs through the engine: opened by sound creation, rendered by the
// engine's own voices, seeked and measured through the public interface.
#include "aura.h"
#include "aura.hpp"

#include "music/aura_music.h"
#include "sound/aura_soundi.h"
#include "voice/aura_channelreal.h"

#include "envelope.h"
#include "sine_analysis.h"
#include "mod_writer.h"
#include "systems.h"
#include "threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

namespace {

using auratest::ModWriter;

// A song with a note in each column, levels and pan that differ.
ModWriter fourColumns()
{
    ModWriter writer;
    writer.sample(1, auratest::sineSample(64, 1, 100));
    writer.sample(2, auratest::sineSample(64, 3, 60));
    writer.cell(0, 0, 0, {428, 1, 0, 0}).cell(0, 0, 1, {320, 2, 0xC, 40});
    writer.cell(0, 8, 2, {285, 1, 0xA, 0x01}).cell(0, 16, 3, {214, 2, 0x4, 0x46});
    writer.cell(0, 32, 0, {0, 0, 0xF, 0x20}).cell(0, 40, 1, {254, 1, 0x3, 0x08});
    return writer;
}

AURA::Sound *create(AURA::System *system, const std::vector<uint8_t> &bytes, AURA_MODE mode,
                    AURA_RESULT *result = nullptr)
{
    AURA_CREATESOUNDEXINFO exinfo{};
    exinfo.cbsize = sizeof(exinfo);
    exinfo.length = static_cast<unsigned int>(bytes.size());
    AURA::Sound *sound = nullptr;
    const AURA_RESULT got =
        system->createSound(reinterpret_cast<const char *>(bytes.data()), AURA_OPENMEMORY | mode, &exinfo, &sound);
    if (result) {
        *result = got;
    } else {
        EXPECT_EQ(got, AURA_OK);
    }
    return sound;
}

// Renders a whole song (a measured stream ends with it) at 44100 Hz.
auratest::Wav render(const std::vector<uint8_t> &bytes, unsigned int block = 1024,
                     const std::vector<std::pair<int, float>> &channelVolumes = {})
{
    auratest::RenderFormat format;
    format.block = block;
    auratest::WavRender render(format);
    AURA::Sound *sound = create(render.system(), bytes, AURA_ACCURATETIME | AURA_SOFTWARE);
    if (!sound) {
        return {};
    }
    for (const auto &[column, volume] : channelVolumes) {
        EXPECT_EQ(sound->setMusicChannelVolume(column, volume), AURA_OK);
    }
    unsigned int length = 0;
    EXPECT_EQ(sound->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
    AURA::Channel *channel = render.play(sound);
    if (!channelVolumes.empty()) {
        // The stream decoded its first stretch at open: again, with the volumes.
        EXPECT_EQ(channel->setPosition(0, AURA_TIMEUNIT_MODORDER), AURA_OK);
    }
    bool playing = true;
    for (int i = 0; playing && i < 100000; ++i) {
        render.update();
        if (channel->isPlaying(&playing) != AURA_OK) {
            playing = false;
        }
    }
    return render.finish();
}

TEST(ModEngine, OpensAsAMeasuredStream)
{
    auratest::WavRender render;
    const std::vector<uint8_t> bytes = fourColumns().bytes();
    AURA::Sound *sound = create(render.system(), bytes, AURA_ACCURATETIME);
    ASSERT_NE(sound, nullptr);
    AURA_SOUND_TYPE type{};
    EXPECT_EQ(sound->getFormat(&type, nullptr, nullptr, nullptr), AURA_OK);
    EXPECT_EQ(type, AURA_SOUND_TYPE_MOD);
    unsigned int length = 0;
    EXPECT_EQ(sound->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
    // 32 rows at 125 BPM, 32 at 32 BPM, speed 6.
    EXPECT_EQ(length, 32u * 6u * 882u + 32u * 6u * 3445u);
    EXPECT_EQ(sound->getLength(&length, AURA_TIMEUNIT_MODORDER), AURA_OK);
    EXPECT_EQ(length, 1u);
    int channels = 0;
    EXPECT_EQ(sound->getMusicNumChannels(&channels), AURA_OK);
    EXPECT_EQ(channels, 4);
    AURA_TAG tag{};
    ASSERT_EQ(sound->getTag("Number of channels", 0, &tag), AURA_OK);
    EXPECT_EQ(*static_cast<const int *>(tag.data), 4);
    ASSERT_EQ(sound->getTag("Sample name 0", 0, &tag), AURA_OK);
    EXPECT_STREQ(static_cast<const char *>(tag.data), "sine");
    EXPECT_EQ(sound->setMusicSpeed(1.5f), AURA_OK);
    float speed = 0.0f;
    EXPECT_EQ(sound->getMusicSpeed(&speed), AURA_OK);
    EXPECT_FLOAT_EQ(speed, 1.5f);
    EXPECT_EQ(sound->release(), AURA_OK);

    // Not a MOD: refused, also an XM file under any name.
    std::vector<uint8_t> xm(2000, 0);
    std::memcpy(xm.data(), "Extended Module: ", 17);
    AURA_RESULT result = AURA_OK;
    EXPECT_EQ(create(render.system(), xm, 0, &result), nullptr);
    EXPECT_EQ(result, AURA_ERR_FORMAT);
}

TEST(ModEngine, RendersTheSong)
{
    // One note in each of two columns, in turn: left, then right; 8362 Hz
    // through a 64-sample cycle is a 130.7 Hz tone, at half level.
    for (int column : {0, 1}) {
        ModWriter writer(2, "2CHN");
        writer.sample(1, auratest::sineSample(64, 1, 127)).cell(0, 0, column, {428, 1, 0, 0});
        writer.cell(0, 7, 0, {0, 0, 0xB, 0});
        const auratest::Wav one = render(writer.bytes());
        ASSERT_EQ(one.channels, 2u);
        ASSERT_GE(one.frames(), 8u * 6u * 882u);
        std::vector<double> loud;
        std::vector<double> quiet;
        for (size_t i = 0; i < 8u * 6u * 882u; ++i) {
            loud.push_back(one.at(i, column));
            quiet.push_back(one.at(i, 1 - column));
        }
        const auratest::SineResult tone = auratest::analyse(loud, 2000, 44100);
        EXPECT_NEAR(tone.frequency, 8362.0 / 64.0, 0.5) << column;
        EXPECT_NEAR(tone.amplitude, 0.5, 0.05) << column;
        EXPECT_LT(auratest::analyse(quiet, 2000, 44100).amplitude, tone.amplitude / 2) << column;
    }

    const std::vector<uint8_t> bytes = fourColumns().bytes();
    const auratest::Wav all = render(bytes);
    ASSERT_EQ(all.channels, 2u);
    // The song ends where it was measured; what follows in the last block is silence.
    const size_t length = 32u * 6u * 882u + 32u * 6u * 3445u;
    ASSERT_GE(all.frames(), length);
    ASSERT_LT(all.frames(), length + 1024);
    for (size_t i = length; i < all.frames(); ++i) {
        ASSERT_EQ(all.at(i, 0), 0.0f) << i;
    }

    // Linearity: the mix less the song without column k is column k alone.
    for (int k = 0; k < 4; ++k) {
        std::vector<std::pair<int, float>> without = {{k, 0.0f}};
        std::vector<std::pair<int, float>> only;
        for (int c = 0; c < 4; ++c) {
            if (c != k) {
                only.push_back({c, 0.0f});
            }
        }
        const auratest::Wav a = render(bytes, 1024, without);
        const auratest::Wav b = render(bytes, 1024, only);
        ASSERT_EQ(a.frames(), all.frames());
        ASSERT_EQ(b.frames(), all.frames());
        double worst = 0.0;
        double energy = 0.0;
        for (size_t i = 0; i < all.frames(); ++i) {
            for (int c = 0; c < 2; ++c) {
                worst = std::max(worst, std::abs(static_cast<double>(all.at(i, c)) - a.at(i, c) - b.at(i, c)));
                energy += std::abs(static_cast<double>(b.at(i, c)));
            }
        }
        EXPECT_LT(worst, 1e-5) << k;
        EXPECT_GT(energy, 1.0) << k;
    }
}

TEST(ModEngine, SmallBlocksRenderTheSame)
{
    // At 32 BPM a tick is 3445 frames, longer than either block.
    ModWriter writer = fourColumns();
    writer.cell(0, 0, 2, {0, 0, 0xF, 0x20});
    const std::vector<uint8_t> bytes = writer.bytes();
    const auratest::Wav big = render(bytes, 1024);
    const auratest::Wav small = render(bytes, 384);
    // Both end with the song, each in its last block.
    const size_t length = 64u * 6u * 3445u;
    EXPECT_GE(big.frames(), length);
    EXPECT_LT(big.frames(), length + 1024);
    EXPECT_GE(small.frames(), length);
    EXPECT_LT(small.frames(), length + 384);
    const std::vector<double> a = auratest::rmsEnvelope(big, 0, 2205);
    const std::vector<double> b = auratest::rmsEnvelope(small, 0, 2205);
    EXPECT_GE(auratest::correlation(a, b), 0.99);
}

TEST(ModEngine, Samples)
{
    // A sample holds the measured song; without a measure it is one all the same.
    auratest::WavRender render;
    const std::vector<uint8_t> bytes = fourColumns().bytes();
    AURA::Sound *sound = create(render.system(), bytes, AURA_CREATESAMPLE);
    ASSERT_NE(sound, nullptr);
    unsigned int length = 0;
    EXPECT_EQ(sound->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(length, 32u * 6u * 882u + 32u * 6u * 3445u);
    EXPECT_EQ(sound->release(), AURA_OK);
}

TEST(ModEngine, HardwareMusicChannel)
{
    // The real channel that stands for the whole song: start, pause and
    // stop act on the song and its voices.
    auratest::WavRender render;
    const std::vector<uint8_t> bytes = fourColumns().bytes();
    AURA::Sound *sound = create(render.system(), bytes, AURA_ACCURATETIME | AURA_SOFTWARE);
    ASSERT_NE(sound, nullptr);
    auto *song = static_cast<AURA::MusicSong *>(static_cast<AURA::SoundI *>(sound)->liveCodec());
    ASSERT_NE(song, nullptr);
    EXPECT_EQ(song->getHardwareMusicChannel(nullptr), AURA_ERR_INVALID_PARAM);
    AURA::ChannelReal *hardware = nullptr;
    ASSERT_EQ(song->getHardwareMusicChannel(&hardware), AURA_OK);
    ASSERT_NE(hardware, nullptr);
    EXPECT_FALSE(hardware->isStream());
    ASSERT_EQ(song->setMusicChannelVolumeInternal(1, 0.5f), AURA_OK);

    std::vector<float> block(2 * 2048);
    auto peak = [&] {
        unsigned int got = 0;
        EXPECT_EQ(song->readInternal(block.data(), static_cast<unsigned int>(block.size() * 4), &got), AURA_OK);
        float most = 0.0f;
        for (float v : block) {
            most = std::max(most, std::abs(v));
        }
        return most;
    };
    ASSERT_EQ(hardware->start(), AURA_OK);
    EXPECT_EQ(song->pcmPosition(), 0u);
    EXPECT_GT(peak(), 0.05f);
    ASSERT_EQ(hardware->setPaused(true), AURA_OK);
    EXPECT_EQ(peak(), 0.0f);
    ASSERT_EQ(hardware->setPaused(false), AURA_OK);
    EXPECT_GT(peak(), 0.05f);
    ASSERT_EQ(hardware->stop(), AURA_OK);
    EXPECT_TRUE(song->finished());
    EXPECT_EQ(peak(), 0.0f);
    // A start plays the song from its top again, with the column volumes kept.
    ASSERT_EQ(hardware->start(), AURA_OK);
    EXPECT_FALSE(song->finished());
    EXPECT_EQ(song->order(), 0);
    float volume = 0.0f;
    EXPECT_EQ(song->getMusicChannelVolumeInternal(1, &volume), AURA_OK);
    EXPECT_FLOAT_EQ(volume, 0.5f);
    EXPECT_GT(peak(), 0.05f);
    EXPECT_EQ(sound->release(), AURA_OK);
}

TEST(ModEngineThreads, SpeedAndVolumesChangeWhilePlaying)
{
    AURA_SYSTEM *handle = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND, 32);
    ASSERT_NE(handle, nullptr);
    auto *system = reinterpret_cast<AURA::System *>(handle);
    const std::vector<uint8_t> bytes = fourColumns().bytes();
    AURA::Sound *sound = create(system, bytes, AURA_LOOP_NORMAL);
    ASSERT_NE(sound, nullptr);
    AURA::Channel *channel = nullptr;
    ASSERT_EQ(system->playSound(AURA_CHANNEL_FREE, sound, false, &channel), AURA_OK);
    unsigned int last = 0;
    ASSERT_EQ(channel->getPosition(&last, AURA_TIMEUNIT_MODROW), AURA_OK);
    // Speed and column volumes change on another thread while the stream
    // thread renders the song, until the song has moved on several rows.
    std::atomic<bool> stop{false};
    std::atomic<int> changes{0};
    std::thread changer([&] {
        for (int i = 0; !stop; ++i) {
            (void)sound->setMusicSpeed(0.5f + static_cast<float>(i % 7) * 0.25f);
            (void)sound->setMusicChannelVolume(i % 4, static_cast<float>(i % 5) / 4.0f);
            changes = i + 1;
        }
    });
    int moves = 0;
    const bool moved = auratest::waitFor(
        [&] {
            unsigned int row = 0;
            (void)system->update();
            if (channel->getPosition(&row, AURA_TIMEUNIT_MODROW) == AURA_OK && row != last) {
                last = row;
                ++moves;
            }
            return moves >= 4 && changes > 100;
        },
        std::chrono::seconds(10));
    stop = true;
    changer.join();
    EXPECT_TRUE(moved);
    EXPECT_EQ(sound->setMusicSpeed(1.25f), AURA_OK);
    float speed = 0.0f;
    EXPECT_EQ(sound->getMusicSpeed(&speed), AURA_OK);
    EXPECT_FLOAT_EQ(speed, 1.25f);
    EXPECT_EQ(sound->release(), AURA_OK);
    EXPECT_EQ(system->release(), AURA_OK);
}

} // namespace
