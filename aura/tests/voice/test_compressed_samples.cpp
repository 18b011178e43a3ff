// Samples kept compressed in memory (IMA ADPCM) and decoded while they play
// by the system's pooled decoding units: they must sound exactly as the same
// file loaded as PCM, with loops, loop counts and seeks.
#include "aura.h"
#include "aura.hpp"
#include "sound/aura_sample.h"
#include "system/aura_systemi.h"
#include "voice/aura_dsp_codec.h"
#include "files.h"
#include "ima_writer.h"
#include "mpeg_frames.h"
#include "sbk_writer.h"
#include "sine_analysis.h"
#include "systems.h"
#include "threads.h"
#include "tools.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using auratest::Bytes;
using auratest::Wav;
using Render = auratest::WavRender;

constexpr unsigned int BLOCK = 1024;

// A test signal: two tones and some noise, in every channel differently.
std::vector<int16_t> signal(int frames, int channels, int rate)
{
    std::vector<int16_t> out(static_cast<size_t>(frames) * channels);
    std::mt19937 noise(7);
    std::uniform_int_distribution<int> n(-600, 600);
    for (int f = 0; f < frames; ++f) {
        for (int c = 0; c < channels; ++c) {
            const double t = static_cast<double>(f) / rate;
            const double v = 9000.0 * std::sin(2 * M_PI * (330.0 + 110.0 * c) * t) +
                             5000.0 * std::sin(2 * M_PI * 2900.0 * t) + n(noise);
            out[static_cast<size_t>(f) * channels + c] = static_cast<int16_t>(v);
        }
    }
    return out;
}

// One file, opened either as a PCM sample or kept compressed. A raw IMA
// file is compared with the same blocks inside a WAV, which loads as PCM.
struct Source {
    std::string name;
    Bytes file;
    Bytes pcmFile; // what loads as PCM (the file itself unless raw)
    int channels = 1;
    int rate = 22050;
    bool raw = false;
    bool bank = false; // an SBK bank: its subsound 0 plays
    bool mpeg = false; // MPEG frames: a loop or a seek may move samples by one step
    bool rawPCM = false; // 8 or 16-bit PCM kept for the raw units, whose pool the test makes
};

std::vector<Source> mpegSources(const auratest::TempDir &dir);

std::vector<Source> sources(const auratest::TempDir &dir)
{
    std::vector<Source> all;
    for (int channels : {1, 2}) {
        const std::string path = dir.file("sox" + std::to_string(channels) + ".wav");
        EXPECT_TRUE(auratest::run("sox -D -n -r 22050 -c " + std::to_string(channels) + " -e ima-adpcm " + path +
                                  " synth 0.6 sine 300-3000 sine 440 whitenoise vol 0.4"));
        const Bytes bytes = auratest::readAll(path);
        all.push_back({"sox" + std::to_string(channels), bytes, bytes, channels, 22050, false});
    }
    // Blocks from 36 to 2048 bytes from the encoder here.
    for (auto [channels, blockalign] :
         {std::pair{1u, 36u}, std::pair{2u, 256u}, std::pair{1u, 1024u}, std::pair{2u, 2048u}}) {
        const unsigned perBlock = auratest::imaSamplesPerBlock(blockalign, channels);
        const Bytes blocks =
            auratest::imaEncode(signal(13000, static_cast<int>(channels), 22050), channels, blockalign, perBlock);
        const Bytes wav = auratest::imaWav(blocks, channels, 22050, blockalign, perBlock);
        all.push_back({"enc" + std::to_string(channels) + "x" + std::to_string(blockalign), wav, wav,
                       static_cast<int>(channels), 22050, false});
    }
    // Raw blocks: 36 bytes a channel, 64 samples (the 65th a block holds is not heard).
    for (unsigned channels : {1u, 2u}) {
        const Bytes blocks =
            auratest::imaEncode(signal(9000, static_cast<int>(channels), 16000), channels, 36 * channels, 64);
        all.push_back({"raw" + std::to_string(channels), blocks,
                       auratest::imaWav(blocks, channels, 16000, 36 * channels, 64), static_cast<int>(channels), 16000,
                       true});
    }
    // Banks of one IMA sound: mono, stereo in 2-byte units, stereo in the WAV layout.
    for (auto [channels, flags] : {std::pair{1u, 0x400000u}, std::pair{2u, 0x400000u}, std::pair{2u, 0x20400000u}}) {
        auratest::SbkSample sample;
        sample.name = "ima";
        sample.flags = flags;
        sample.channels = static_cast<uint16_t>(channels);
        const std::vector<int16_t> pcm = signal(64 * 150, static_cast<int>(channels), 22050);
        if (channels == 2 && !(flags & 0x20000000u)) {
            std::vector<int16_t> left, right;
            for (size_t i = 0; i < pcm.size(); i += 2) {
                left.push_back(pcm[i]);
                right.push_back(pcm[i + 1]);
            }
            const Bytes l = auratest::imaEncode(left, 1, 36, 64);
            const Bytes r = auratest::imaEncode(right, 1, 36, 64);
            for (size_t i = 0; i < l.size(); i += 2) {
                sample.data.insert(sample.data.end(), {l[i], l[i + 1], r[i], r[i + 1]});
            }
        } else {
            sample.data = auratest::imaEncode(pcm, channels, 36 * channels, 64);
        }
        sample.lengthpcm = static_cast<uint32_t>(sample.data.size() / (36 * channels) * 64);
        auratest::SbkBank bank;
        bank.samples = {sample};
        const Bytes file = auratest::writeSbk(bank);
        Source source{"bank" + std::to_string(channels) + (flags & 0x20000000u ? "wav" : "units"),
                      file,
                      file,
                      static_cast<int>(channels),
                      22050,
                      false};
        source.bank = true;
        all.push_back(source);
    }
    for (const Source &source : mpegSources(dir)) {
        all.push_back(source);
    }
    // PCM for the raw units: 16-bit stereo and 8-bit mono, neither a whole
    // number of the units' 256-frame blocks long.
    for (auto [channels, bits] : {std::pair{2, 16}, std::pair{1, 8}}) {
        const std::string name = "pcm" + std::to_string(bits) + "x" + std::to_string(channels);
        const std::string path = dir.file(name + ".wav");
        EXPECT_TRUE(auratest::run("sox -D -n -r 22050 -c " + std::to_string(channels) + " -b " + std::to_string(bits) +
                                  " " + path + " synth 0.6 sine 300-3000 sine 440 whitenoise vol 0.4"));
        const Bytes bytes = auratest::readAll(path);
        Source source{name, bytes, bytes, channels, 22050, false};
        source.rawPCM = true;
        all.push_back(source);
    }
    return all;
}

AURA::Sound *openSample(AURA::System *system, const Source &source, bool compressed, AURA_MODE mode)
{
    const Bytes &bytes = compressed ? source.file : source.pcmFile;
    AURA_CREATESOUNDEXINFO exinfo{};
    exinfo.cbsize = sizeof(exinfo);
    exinfo.length = static_cast<unsigned int>(bytes.size());
    if (compressed && source.raw) {
        exinfo.format = AURA_SOUND_FORMAT_IMAADPCM;
        exinfo.numchannels = source.channels;
        exinfo.defaultfrequency = source.rate;
    }
    if (compressed && source.rawPCM) {
        // The system makes this pool only when asked.
        EXPECT_EQ(static_cast<AURA::SystemI *>(system)->initDSPCodecPool(AURA_SOUND_FORMAT_PCM16), AURA_OK);
    }
    AURA::Sound *sound = nullptr;
    const AURA_MODE how = AURA_OPENMEMORY | AURA_SOFTWARE | mode | (compressed ? AURA_CREATECOMPRESSEDSAMPLE : 0);
    EXPECT_EQ(system->createSound(reinterpret_cast<const char *>(bytes.data()), how, &exinfo, &sound), AURA_OK)
        << source.name << (compressed ? " compressed" : " pcm");
    if (sound && source.bank) {
        AURA::Sound *sub = nullptr;
        EXPECT_EQ(sound->getSubSound(0, &sub), AURA_OK);
        return sub;
    }
    return sound;
}

enum class Scenario { Plain, LoopTwice, Seeks };

struct Played {
    Wav wav;
    unsigned int length = 0; // of the sound, in frames
    std::vector<unsigned int> positions; // after each block; all ones once the channel is gone
    int rawUnitsLent = 0; // after the first block
};

Played play(const Source &source, bool compressed, Scenario scenario)
{
    auratest::RenderFormat format;
    format.rate = source.rate;
    format.block = BLOCK;
    Render render(format);
    Played played;
    AURA::Sound *sound =
        openSample(render.system(), source, compressed, scenario == Scenario::LoopTwice ? AURA_LOOP_NORMAL : 0);
    if (!sound) {
        return played;
    }
    unsigned int &length = played.length;
    EXPECT_EQ(sound->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
    if (scenario == Scenario::LoopTwice) {
        EXPECT_EQ(sound->setLoopPoints(length / 4, length / 2), AURA_OK);
    }
    AURA::Channel *channel = render.play(sound, true);
    if (!channel) {
        return played;
    }
    if (scenario == Scenario::LoopTwice) {
        EXPECT_EQ(channel->setLoopCount(2), AURA_OK);
    }
    if (scenario == Scenario::Seeks) {
        // Two seeks before a block: the second is heard.
        EXPECT_EQ(channel->setPosition(length / 5, AURA_TIMEUNIT_PCM), AURA_OK);
        EXPECT_EQ(channel->setPosition(length / 3 + 17, AURA_TIMEUNIT_PCM), AURA_OK);
    }
    EXPECT_EQ(channel->setPaused(false), AURA_OK);
    const int blocks = static_cast<int>(length * 3 / BLOCK) + 4;
    for (int b = 0; b < blocks; ++b) {
        render.update();
        auto *system = static_cast<AURA::SystemI *>(render.system());
        if (b == 0 && system->mDSPCodecPoolRaw) {
            played.rawUnitsLent = system->mDSPCodecPoolRaw->numInUse();
        }
        if (scenario == Scenario::Seeks && b == 2) {
            EXPECT_EQ(channel->setPosition(length / 7, AURA_TIMEUNIT_PCM), AURA_OK);
            EXPECT_EQ(channel->setPosition(length / 9 + 5, AURA_TIMEUNIT_PCM), AURA_OK);
        }
        unsigned int position = 0xFFFFFFFFu;
        if (channel->getPosition(&position, AURA_TIMEUNIT_PCM) != AURA_OK) {
            position = 0xFFFFFFFFu;
        }
        played.positions.push_back(position);
    }
    played.wav = render.finish();
    return played;
}

// The 16-bit PCM the engine decodes the file to (its PCM sample's data).
std::vector<int16_t> decodedPCM(const Source &source)
{
    std::vector<int16_t> pcm;
    Render render({source.rate});
    AURA::Sound *sound = openSample(render.system(), source, false, 0);
    if (!sound) {
        return pcm;
    }
    unsigned int bytes = 0;
    EXPECT_EQ(sound->getLength(&bytes, AURA_TIMEUNIT_PCMBYTES), AURA_OK);
    void *data = nullptr;
    unsigned int got = 0;
    EXPECT_EQ(sound->lock(0, bytes, &data, nullptr, &got, nullptr), AURA_OK);
    if (data) {
        pcm.assign(static_cast<int16_t *>(data), static_cast<int16_t *>(data) + got / 2);
        EXPECT_EQ(sound->unlock(data, nullptr, got, 0), AURA_OK);
    }
    return pcm;
}

class CompressedSamples : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        sDir = new auratest::TempDir("aura-compressed");
        sSources = new std::vector<Source>(sources(*sDir));
    }
    static void TearDownTestSuite()
    {
        delete sSources;
        delete sDir;
    }
    static auratest::TempDir *sDir;
    static std::vector<Source> *sSources;
};
auratest::TempDir *CompressedSamples::sDir = nullptr;
std::vector<Source> *CompressedSamples::sSources = nullptr;

TEST_F(CompressedSamples, RenderExactlyAsTheSameFileLoadedAsPCM)
{
    for (const Source &source : *sSources) {
        for (Scenario scenario : {Scenario::Plain, Scenario::LoopTwice, Scenario::Seeks}) {
            SCOPED_TRACE(source.name + " scenario " + std::to_string(static_cast<int>(scenario)));
            const Played pcm = play(source, false, scenario);
            const Played compressed = play(source, true, scenario);
            ASSERT_TRUE(pcm.wav.valid);
            ASSERT_TRUE(compressed.wav.valid);
            ASSERT_EQ(pcm.wav.samples.size(), compressed.wav.samples.size());
            // MPEG: exact up to where the decoder first starts over (the
            // loop's end; at once with the seeks), then within one step.
            size_t exact = pcm.wav.samples.size();
            if (source.mpeg && scenario == Scenario::LoopTwice) {
                exact = (pcm.length / 2 + 1) * 2;
            } else if (source.mpeg && scenario == Scenario::Seeks) {
                exact = 0;
            }
            size_t differ = 0;
            float worst = 0.0f;
            for (size_t i = 0; i < pcm.wav.samples.size(); ++i) {
                const float d = std::fabs(pcm.wav.samples[i] - compressed.wav.samples[i]);
                differ += i < exact && d != 0.0f;
                worst = std::max(worst, d);
            }
            EXPECT_EQ(differ, 0u);
            EXPECT_LE(worst, source.mpeg ? 1.0001f / 32768.0f : 0.0f);
            EXPECT_EQ(pcm.positions, compressed.positions);
            // Raw PCM went through a unit of the raw pool, not the PCM road.
            EXPECT_EQ(compressed.rawUnitsLent, source.rawPCM ? 1 : 0);
            // The sound was heard (not two silent renders).
            double energy = 0.0;
            for (float s : compressed.wav.samples) {
                energy += static_cast<double>(s) * s;
            }
            EXPECT_GT(energy, 1.0);
        }
    }
}

TEST_F(CompressedSamples, TheTestEncoderWritesWhatSoxDecodes)
{
    for (const Source &source : *sSources) {
        if (source.name.rfind("sox", 0) == 0 || source.bank || source.mpeg || source.rawPCM) {
            continue;
        }
        SCOPED_TRACE(source.name);
        const std::string wav = sDir->file(source.name + ".wav");
        const std::string raw = sDir->file(source.name + ".s16");
        // sox takes blocks of 36 bytes a channel only as 65 samples each.
        const auto channels = static_cast<unsigned>(source.channels);
        ASSERT_TRUE(auratest::writeAll(
            wav, source.raw
                     ? auratest::imaWav(source.file, channels, static_cast<unsigned>(source.rate), 36 * channels, 65)
                     : source.pcmFile));
        ASSERT_TRUE(auratest::run("sox -D " + wav + " -t raw -e signed-integer -b 16 " + raw));
        const Bytes soxBytes = auratest::readAll(raw);
        std::vector<int16_t> sox(soxBytes.size() / 2);
        std::memcpy(sox.data(), soxBytes.data(), sox.size() * 2);
        if (source.raw) {
            // The 65th sample of a block is not part of the sound.
            std::vector<int16_t> kept;
            const size_t frame = static_cast<size_t>(source.channels);
            for (size_t f = 0; f < sox.size() / frame; ++f) {
                if (f % 65 != 64) {
                    kept.insert(kept.end(), sox.begin() + static_cast<long>(f * frame),
                                sox.begin() + static_cast<long>((f + 1) * frame));
                }
            }
            sox = kept;
        }
        EXPECT_EQ(decodedPCM(source), sox);
    }
}

TEST_F(CompressedSamples, LoopCountTwoPlaysTheLoopThreeTimesThenTheTail)
{
    const Source &source = (*sSources)[3]; // stereo blocks of 256 bytes: heard at full scale
    ASSERT_EQ(source.channels, 2);
    // The decoded PCM of the file, as the reference.
    const std::vector<int16_t> pcm = decodedPCM(source);
    ASSERT_FALSE(pcm.empty());
    const size_t length = pcm.size() / 2;
    const size_t loopStart = length / 4;
    const size_t loopEnd = length / 2 + 1; // the loop end point is its last frame
    std::vector<int16_t> expected(pcm.begin(), pcm.begin() + static_cast<long>(loopEnd * 2));
    for (int i = 0; i < 2; ++i) {
        expected.insert(expected.end(), pcm.begin() + static_cast<long>(loopStart * 2),
                        pcm.begin() + static_cast<long>(loopEnd * 2));
    }
    expected.insert(expected.end(), pcm.begin() + static_cast<long>(loopEnd * 2), pcm.end());

    const Played played = play(source, true, Scenario::LoopTwice);
    ASSERT_TRUE(played.wav.valid);
    ASSERT_GE(played.wav.samples.size(), expected.size() + 2 * BLOCK);
    for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(played.wav.samples[i], static_cast<float>(expected[i]) / 32768.0f) << "sample " << i;
    }
    for (size_t i = expected.size(); i < played.wav.samples.size(); ++i) {
        ASSERT_EQ(played.wav.samples[i], 0.0f) << "after the end, sample " << i;
    }
}

TEST_F(CompressedSamples, TheUnitsOfThePoolAreLentAndGivenBack)
{
    // The default pool: 32 units.
    auratest::RenderFormat format;
    format.rate = 22050;
    Render render(format);
    AURA::Sound *sound = openSample(render.system(), (*sSources)[0], true, AURA_LOOP_NORMAL);
    ASSERT_NE(sound, nullptr);
    auto *system = static_cast<AURA::SystemI *>(render.system());
    ASSERT_NE(system->mDSPCodecPoolADPCM, nullptr);
    ASSERT_EQ(system->mDSPCodecPoolADPCM->numUnits(), 32);
    std::vector<AURA::Channel *> channels;
    for (int i = 0; i < 32; ++i) {
        channels.push_back(render.play(sound));
    }
    AURA::Channel *extra = nullptr;
    EXPECT_EQ(render.system()->playSound(AURA_CHANNEL_FREE, sound, false, &extra), AURA_ERR_CHANNEL_ALLOC);
    render.update(3);
    for (AURA::Channel *channel : channels) {
        bool playing = false;
        ASSERT_EQ(channel->isPlaying(&playing), AURA_OK);
        EXPECT_TRUE(playing);
    }
    // A stopped voice frees its unit once the mixer has let it go.
    ASSERT_EQ(channels[1]->stop(), AURA_OK);
    render.update(2);
    AURA::Channel *again = nullptr;
    EXPECT_EQ(render.system()->playSound(AURA_CHANNEL_FREE, sound, false, &again), AURA_OK);
    EXPECT_EQ(system->mDSPCodecPoolADPCM->numInUse(), 32);
    ASSERT_EQ(sound->release(), AURA_OK);
    EXPECT_EQ(system->mDSPCodecPoolADPCM->numInUse(), 0);
}

TEST_F(CompressedSamples, PoolInitAndAllocFollowTheirRules)
{
    Render render({22050});
    auto *system = static_cast<AURA::SystemI *>(render.system());
    AURA::DSPCodecPool pool;
    EXPECT_EQ(pool.init(system, AURA::AURA_DSP_CATEGORY_DSPCODECADPCM, 64, -1), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(pool.init(system, AURA::AURA_DSP_CATEGORY_DSPCODECADPCM, 64, 256), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(pool.init(system, AURA::AURA_DSP_CATEGORY_DSPCODECXMA, 64, 2), AURA_ERR_FORMAT);
    {
        // Raw units read 256-frame blocks whatever the block length asked.
        AURA::DSPCodecPool raw;
        ASSERT_EQ(raw.init(system, AURA::AURA_DSP_CATEGORY_DSPCODECRAW, 64, 3), AURA_OK);
        AURA::DSPCodec *unit = nullptr;
        ASSERT_EQ(raw.alloc(&unit), AURA_OK);
        EXPECT_EQ(unit->mFormatCode, 2);
        EXPECT_EQ(unit->mDescription.mBlockLength, 256);
        EXPECT_EQ(unit->mDescription.mCategory, AURA::AURA_DSP_CATEGORY_DSPCODECRAW);
        EXPECT_EQ(raw.close(), AURA_OK);
        // No pool of raw units unless one is asked for.
        EXPECT_EQ(system->mDSPCodecPoolRaw, nullptr);
    }
    ASSERT_EQ(pool.init(system, AURA::AURA_DSP_CATEGORY_DSPCODECADPCM, 64, 2), AURA_OK);
    EXPECT_EQ(pool.init(system, AURA::AURA_DSP_CATEGORY_DSPCODECADPCM, 64, 2), AURA_OK);
    EXPECT_EQ(pool.init(system, AURA::AURA_DSP_CATEGORY_DSPCODECADPCM, 64, 3), AURA_ERR_INTERNAL);
    EXPECT_EQ(pool.numUnits(), 2);
    AURA::DSPCodec *a = nullptr;
    AURA::DSPCodec *b = nullptr;
    ASSERT_EQ(pool.alloc(&a), AURA_OK);
    ASSERT_EQ(pool.alloc(&b), AURA_OK);
    EXPECT_NE(a, b);
    auto *untouched = reinterpret_cast<AURA::DSPCodec *>(0x1);
    AURA::DSPCodec *c = untouched;
    EXPECT_EQ(pool.alloc(&c), AURA_ERR_CHANNEL_ALLOC);
    EXPECT_EQ(c, untouched);
    EXPECT_EQ(pool.areAnyFree(), AURA_ERR_CHANNEL_ALLOC);
    pool.free(a);
    EXPECT_EQ(pool.areAnyFree(), AURA_OK);
    EXPECT_EQ(pool.close(), AURA_OK);

    // The advanced setting sizes the system's own pool.
    auratest::RenderFormat four;
    four.rate = 22050;
    four.maxADPCMcodecs = 4;
    Render small(four);
    ASSERT_NE(openSample(small.system(), (*sSources)[0], true, 0), nullptr);
    auto *smallSystem = static_cast<AURA::SystemI *>(small.system());
    ASSERT_NE(smallSystem->mDSPCodecPoolADPCM, nullptr);
    EXPECT_EQ(smallSystem->mDSPCodecPoolADPCM->numUnits(), 4);
}

// Drives a unit's decode directly: what it yields for a loop that cannot
// advance, and for data that ends before the sound's length says.
TEST_F(CompressedSamples, ALoopThatCannotAdvanceEndsTheRead)
{
    Render render({22050});
    AURA::Sound *sound = openSample(render.system(), (*sSources)[2], true, AURA_LOOP_NORMAL);
    ASSERT_NE(sound, nullptr);
    auto *system = static_cast<AURA::SystemI *>(render.system());
    AURA::DSPCodec *unit = nullptr;
    ASSERT_EQ(system->allocateDSPCodec(AURA_SOUND_FORMAT_IMAADPCM, &unit), AURA_OK);
    auto *soundi = static_cast<AURA::SoundI *>(sound);
    ASSERT_EQ(unit->updateDSPCodec(soundi, 0), AURA_OK);
    unit->mDSPState.instance = static_cast<AURA::DSPI *>(unit);
    std::vector<int16_t> out(64 * 2);
    // loop start, loop length: a loop of length 0, and one past the end.
    for (auto [start, length] : {std::pair{100u, 0u}, std::pair{soundi->mLength + 10, 50u}}) {
        ASSERT_EQ(unit->updateDSPCodec(soundi, 0), AURA_OK);
        unit->mPlayState->mMode = AURA_LOOP_NORMAL;
        unit->mPlayState->mLoopStart = start;
        unit->mPlayState->mLoopLength = length;
        unit->setStartLoopCount(-1);
        int reads = 0;
        AURA_RESULT result = AURA_OK;
        while (result == AURA_OK && reads < 10000) {
            result = AURA::DSPCodec::readCallback(&unit->mDSPState, nullptr, reinterpret_cast<float *>(out.data()), 64,
                                                  1, 1);
            ++reads;
        }
        EXPECT_EQ(result, AURA_ERR_FILE_EOF) << "loop at " << start;
        EXPECT_LE(reads, static_cast<int>(soundi->mLength / 64) + 2);
    }
    // A loop count reaches the decoder once: a second look finds nothing new.
    unit->mPool->free(unit);
}

TEST(CompressedSamplesEdges, WhatTheUnitsDoNotPlay)
{
    Render render({22050});
    auratest::TempDir dir("aura-compressed-edges");
    // Four channels of IMA: the units carry two.
    const std::string quad = dir.file("quad.wav");
    ASSERT_TRUE(auratest::run("sox -D -n -r 22050 -c 4 -e ima-adpcm " + quad + " synth 0.1 sine 440"));
    AURA::Sound *sound = nullptr;
    EXPECT_EQ(render.system()->createSound(quad.c_str(), AURA_SOFTWARE | AURA_CREATECOMPRESSEDSAMPLE, nullptr, &sound),
              AURA_ERR_TOOMANYCHANNELS);
    EXPECT_EQ(sound, nullptr);

    // PCM asked for as compressed is PCM, and plays.
    const std::string pcm = dir.file("pcm.wav");
    ASSERT_TRUE(auratest::run("sox -D -n -r 22050 -c 1 -b 16 " + pcm + " synth 0.1 sine 440"));
    ASSERT_EQ(render.system()->createSound(pcm.c_str(), AURA_SOFTWARE | AURA_CREATECOMPRESSEDSAMPLE, nullptr, &sound),
              AURA_OK);
    AURA::Channel *channel = render.play(sound);
    ASSERT_NE(channel, nullptr);
    render.update();
    bool playing = false;
    ASSERT_EQ(channel->isPlaying(&playing), AURA_OK);
    EXPECT_TRUE(playing);
}

// Random play, seek, loop-count and stop calls on compressed voices while the
// real-time mixer decodes them.
TEST(CompressedSampleThreads, RandomCallsWithTheRealTimeMixer)
{
    AURA_SYSTEM *handle = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND, 16);
    ASSERT_NE(handle, nullptr);
    auto *system = reinterpret_cast<AURA::System *>(handle);
    const Bytes blocks = auratest::imaEncode(signal(20000, 2, 22050), 2, 512, auratest::imaSamplesPerBlock(512, 2));
    const Bytes wav = auratest::imaWav(blocks, 2, 22050, 512, auratest::imaSamplesPerBlock(512, 2));
    AURA_CREATESOUNDEXINFO exinfo{};
    exinfo.cbsize = sizeof(exinfo);
    exinfo.length = static_cast<unsigned int>(wav.size());
    AURA::Sound *sound = nullptr;
    ASSERT_EQ(system->createSound(reinterpret_cast<const char *>(wav.data()),
                                  AURA_OPENMEMORY | AURA_SOFTWARE | AURA_LOOP_NORMAL | AURA_CREATECOMPRESSEDSAMPLE,
                                  &exinfo, &sound),
              AURA_OK);
    // And MPEG frames, from the other pool.
    auratest::TempDir dir("aura-compressed-threads");
    const auratest::MpegEncode mp3 = auratest::encodeMpeg(dir, "mp3", 22050, 2, 1.0, "lame --quiet -b 64 {in} {out}");
    exinfo.length = static_cast<unsigned int>(mp3.bytes.size());
    AURA::Sound *mpeg = nullptr;
    ASSERT_EQ(system->createSound(reinterpret_cast<const char *>(mp3.bytes.data()),
                                  AURA_OPENMEMORY | AURA_SOFTWARE | AURA_LOOP_NORMAL | AURA_CREATECOMPRESSEDSAMPLE,
                                  &exinfo, &mpeg),
              AURA_OK);
    std::mt19937 random(11);
    std::vector<AURA::Channel *> channels(6, nullptr);
    int played = 0;
    for (int i = 0; i < 1000; ++i) {
        AURA::Channel *&channel = channels[random() % channels.size()];
        AURA_RESULT result = AURA_OK;
        switch (random() % 5) {
        case 0: {
            const bool ima = random() % 2 == 0;
            result = system->playSound(AURA_CHANNEL_FREE, ima ? sound : mpeg, false, &channel);
            played += result == AURA_OK;
            if (result == AURA_ERR_CHANNEL_ALLOC) {
                // Every unit is lent or has yet to be let go by the mixer:
                // the units of stopped voices come back.
                channel = nullptr;
                auto *systemi = static_cast<AURA::SystemI *>(system);
                auto *pool = ima ? systemi->mDSPCodecPoolADPCM : systemi->mDSPCodecPoolMPEG;
                result =
                    auratest::waitFor([&] { return pool->areAnyFree() == AURA_OK; }) ? AURA_OK : AURA_ERR_CHANNEL_ALLOC;
            }
            break;
        }
        case 1: result = channel ? channel->setPosition(random() % 20000, AURA_TIMEUNIT_PCM) : AURA_OK; break;
        case 2: result = channel ? channel->setLoopCount(static_cast<int>(random() % 4) - 1) : AURA_OK; break;
        case 3: result = channel ? channel->stop() : AURA_OK; break;
        default: result = system->update(); break;
        }
        // A channel handle that ended or was taken by a newer play is stale.
        EXPECT_TRUE(result == AURA_OK || result == AURA_ERR_INVALID_HANDLE || result == AURA_ERR_CHANNEL_STOLEN)
            << "call " << i << " gave " << result;
    }
    EXPECT_GT(played, 48); // more plays than units: the units came back
    auto *systemi = static_cast<AURA::SystemI *>(system);
    ASSERT_EQ(sound->release(), AURA_OK);
    ASSERT_EQ(mpeg->release(), AURA_OK);
    EXPECT_EQ(systemi->mDSPCodecPoolADPCM->numInUse(), 0);
    EXPECT_EQ(systemi->mDSPCodecPoolMPEG->numInUse(), 0);
    EXPECT_EQ(system->release(), AURA_OK);
}

// ---------------------------------------------------------------------------
// MPEG frames kept compressed: MP3 and MP2 files and MPEG banks, played
// through the MPEG units. Up to the first loop or seek they sound exactly as
// the file loaded as PCM; after it the decoder restarts a few frames early
// with its synthesis history at another phase, which moves samples by at
// most one step.

std::vector<Source> mpegSources(const auratest::TempDir &dir)
{
    const auratest::MpegEncode encodes[] = {
        auratest::encodeMpeg(dir, "vbr", 44100, 2, 0.8, "lame --quiet -V 4 {in} {out}"),
        auratest::encodeMpeg(dir, "lsf", 22050, 1, 0.8, "lame --quiet -t -m m -b 40 {in} {out}"),
        auratest::encodeMpeg(dir, "mp2", 32000, 2, 0.8, "twolame --quiet -b 160 {in} {out}"),
        auratest::encodeMpeg(dir, "cbr", 44100, 2, 0.8, "lame --quiet -t -b 96 {in} {out}"),
    };
    std::vector<Source> all;
    for (const auratest::MpegEncode &e : encodes) {
        all.push_back({e.name, e.bytes, e.bytes, e.channels, e.rate, false});
        all.back().mpeg = true;
    }
    // Banks of the CBR frames padded to 4 bytes and of the MP2 frames.
    for (size_t i : {size_t{3}, size_t{2}}) {
        const Source plain = all[i];
        const auto frames = static_cast<uint32_t>(decodedPCM(plain).size() / static_cast<size_t>(plain.channels));
        auratest::SbkBank bank;
        bank.flags = 0x40;
        bank.samples = {auratest::mpegSample("mpeg", auratest::padFrames(encodes[i].bytes, 4), encodes[i], frames)};
        const Bytes file = auratest::writeSbk(bank);
        all.push_back({"bank-" + plain.name, file, file, plain.channels, plain.rate, false});
        all.back().bank = true;
        all.back().mpeg = true;
    }
    return all;
}

TEST_F(CompressedSamples, TheMpegPoolHasSixteenUnitsOrTheConfiguredCount)
{
    for (int configured : {0, 2}) {
        auratest::RenderFormat format;
        format.rate = 44100;
        format.maxMPEGcodecs = configured;
        Render render(format);
        auto *system = static_cast<AURA::SystemI *>(render.system());
        // A configured pool is made with the system, the default one with
        // the first compressed MPEG sample.
        EXPECT_EQ(system->mDSPCodecPoolMPEG != nullptr, configured != 0);
        const auto mpeg = std::find_if(sSources->begin(), sSources->end(), [](const Source &s) { return s.mpeg; });
        ASSERT_NE(mpeg, sSources->end());
        AURA::Sound *sound = openSample(render.system(), *mpeg, true, AURA_LOOP_NORMAL);
        ASSERT_NE(sound, nullptr);
        ASSERT_NE(system->mDSPCodecPoolMPEG, nullptr);
        const int units = configured ? configured : 16;
        EXPECT_EQ(system->mDSPCodecPoolMPEG->numUnits(), units);
        for (int i = 0; i < units; ++i) {
            EXPECT_NE(render.play(sound), nullptr);
        }
        AURA::Channel *extra = nullptr;
        EXPECT_EQ(render.system()->playSound(AURA_CHANNEL_FREE, sound, false, &extra), AURA_ERR_CHANNEL_ALLOC);
        render.update(2);
        EXPECT_EQ(system->mDSPCodecPoolMPEG->numInUse(), units);
        ASSERT_EQ(sound->release(), AURA_OK);
        EXPECT_EQ(system->mDSPCodecPoolMPEG->numInUse(), 0);
    }
}

} // namespace
