// Systems through the C interface: creation, handles, settings and init.
#include "aura.h"
#include "aura.hpp"
#include "base/aura_globals.h"
#include "base/aura_memory.h"
#include "sound/aura_soundi.h"
#include "system/aura_systemi.h"
#include "output/aura_output.h"
#include "files.h"
#include "wav.h"
#include "systems.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(SystemHandles, FifteenLiveSystemsHaveUniqueIndicesAndASixteenthFails)
{
    std::vector<AURA_SYSTEM *> systems;
    for (int i = 0; i < 15; ++i) {
        AURA_SYSTEM *system = nullptr;
        ASSERT_EQ(AURA_System_Create(&system), AURA_OK);
        ASSERT_NE(system, nullptr);
        systems.push_back(system);
    }
    std::vector<bool> seen(16, false);
    for (AURA_SYSTEM *system : systems) {
        AURA::SystemI *internal = nullptr;
        ASSERT_EQ(AURA::SystemI::validate(system, &internal), AURA_OK);
        ASSERT_GE(internal->mIndex, 1u);
        ASSERT_LE(internal->mIndex, 15u);
        EXPECT_FALSE(seen[internal->mIndex]) << "index " << internal->mIndex << " twice";
        seen[internal->mIndex] = true;
        AURA::SystemI *found = nullptr;
        ASSERT_EQ(AURA::SystemI::getInstance(internal->mIndex, &found), AURA_OK);
        EXPECT_EQ(found, internal);
    }
    AURA_SYSTEM *extra = reinterpret_cast<AURA_SYSTEM *>(0x1);
    EXPECT_EQ(AURA_System_Create(&extra), AURA_ERR_MEMORY);
    EXPECT_EQ(extra, nullptr);
    EXPECT_EQ(AURA::gSystemInitCount.load(), 15);

    // A released index is taken again, lowest first.
    AURA::SystemI *third = nullptr;
    ASSERT_EQ(AURA::SystemI::validate(systems[2], &third), AURA_OK);
    const unsigned int freed = third->mIndex;
    ASSERT_EQ(AURA_System_Release(systems[2]), AURA_OK);
    AURA_SYSTEM *again = nullptr;
    ASSERT_EQ(AURA_System_Create(&again), AURA_OK);
    AURA::SystemI *internal = nullptr;
    ASSERT_EQ(AURA::SystemI::validate(again, &internal), AURA_OK);
    EXPECT_EQ(internal->mIndex, freed);
    systems[2] = again;

    for (AURA_SYSTEM *system : systems) {
        ASSERT_EQ(AURA_System_Release(system), AURA_OK);
    }
    EXPECT_EQ(AURA::gSystemInitCount.load(), 0);
    AURA::SystemI *none = reinterpret_cast<AURA::SystemI *>(0x1);
    EXPECT_EQ(AURA::SystemI::getInstance(1, &none), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(none, nullptr);
}

TEST(SystemHandles, ForeignOrStaleHandlesGiveInvalidParameterEverywhere)
{
    AURA_SYSTEM *system = nullptr;
    ASSERT_EQ(AURA_System_Create(&system), AURA_OK);
    ASSERT_EQ(AURA_System_Release(system), AURA_OK);
    // The released pointer (and any other) is no longer a system.
    int stack = 0;
    for (AURA_SYSTEM *bad : {system, reinterpret_cast<AURA_SYSTEM *>(&stack),
                             static_cast<AURA_SYSTEM *>(nullptr)}) {
        unsigned int length = 0;
        int buffers = 0;
        EXPECT_EQ(AURA_System_Release(bad), AURA_ERR_INVALID_PARAM);
        EXPECT_EQ(AURA_System_SetOutput(bad, AURA_OUTPUTTYPE_NOSOUND_NRT), AURA_ERR_INVALID_PARAM);
        EXPECT_EQ(AURA_System_SetDriver(bad, 0), AURA_ERR_INVALID_PARAM);
        EXPECT_EQ(AURA_System_GetSoftwareFormat(bad, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
                  AURA_ERR_INVALID_PARAM);
        EXPECT_EQ(AURA_System_SetDSPBufferSize(bad, 384, 4), AURA_ERR_INVALID_PARAM);
        EXPECT_EQ(AURA_System_GetDSPBufferSize(bad, &length, &buffers), AURA_ERR_INVALID_PARAM);
        EXPECT_EQ(AURA_System_Init(bad, 32, 0, nullptr), AURA_ERR_INVALID_PARAM);
        EXPECT_EQ(AURA_System_Update(bad), AURA_ERR_INVALID_PARAM);
    }
    EXPECT_EQ(AURA_System_Create(nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(AURA::gSystemInitCount.load(), 0);
}

class SystemLife : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(AURA_System_Create(&system), AURA_OK); }
    void TearDown() override
    {
        if (system) {
            EXPECT_EQ(AURA_System_Release(system), AURA_OK);
        }
        EXPECT_EQ(AURA::gSystemInitCount.load(), 0);
    }
    AURA_SYSTEM *system = nullptr;
};

TEST_F(SystemLife, SettingsBelongBeforeInitAndUpdateAfterIt)
{
    EXPECT_EQ(AURA_System_Update(system), AURA_ERR_UNINITIALIZED);
    EXPECT_EQ(AURA_System_SetDSPBufferSize(system, 384, 4), AURA_OK);
    EXPECT_EQ(AURA_System_SetDSPBufferSize(system, 0, 4), AURA_ERR_INVALID_PARAM);
    unsigned int length = 0;
    int buffers = 0;
    ASSERT_EQ(AURA_System_GetDSPBufferSize(system, &length, &buffers), AURA_OK);
    EXPECT_EQ(length, 384u);
    EXPECT_EQ(buffers, 4);
    ASSERT_EQ(AURA_System_SetOutput(system, AURA_OUTPUTTYPE_NOSOUND_NRT), AURA_OK);
    EXPECT_EQ(AURA_System_SetOutput(system, static_cast<AURA_OUTPUTTYPE>(99)), AURA_ERR_INVALID_PARAM);

    int rate = 0;
    int channels = 0;
    int inputs = 0;
    int bits = 0;
    AURA_SOUND_FORMAT format = AURA_SOUND_FORMAT_NONE;
    AURA_DSP_RESAMPLER resampler = AURA_DSP_RESAMPLER_NOINTERP;
    ASSERT_EQ(AURA_System_GetSoftwareFormat(system, &rate, &format, &channels, &inputs, &resampler, &bits),
              AURA_OK);
    EXPECT_EQ(rate, 24000);
    EXPECT_EQ(format, AURA_SOUND_FORMAT_PCM16);
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(inputs, 6);
    EXPECT_EQ(resampler, AURA_DSP_RESAMPLER_LINEAR);
    EXPECT_EQ(bits, 16);

    EXPECT_EQ(AURA_System_Init(system, -1, 0, nullptr), AURA_ERR_INVALID_PARAM);
    ASSERT_EQ(AURA_System_Init(system, 32, 0, nullptr), AURA_OK);
    EXPECT_EQ(AURA_System_Init(system, 32, 0, nullptr), AURA_ERR_INITIALIZED);
    EXPECT_EQ(AURA_System_SetDSPBufferSize(system, 512, 4), AURA_ERR_INITIALIZED);
    EXPECT_EQ(AURA_System_SetOutput(system, AURA_OUTPUTTYPE_NOSOUND), AURA_ERR_INITIALIZED);
    EXPECT_EQ(AURA_System_SetDriver(system, 0), AURA_ERR_INITIALIZED);

    AURA::SystemI *internal = nullptr;
    ASSERT_EQ(AURA::SystemI::validate(system, &internal), AURA_OK);
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(AURA_System_Update(system), AURA_OK);
    }
    // A non-real-time output mixes one block per update on this thread.
    EXPECT_EQ(internal->mDSPClock.load(), 10u * 384u);
}

TEST_F(SystemLife, TheWavWriterOutputRecordsEveryUpdate)
{
    auratest::TempDir dir("aura-system");
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.file("out.wav");
    AURA::System *cxx = reinterpret_cast<AURA::System *>(system);
    ASSERT_EQ(cxx->setOutput(AURA_OUTPUTTYPE_WAVWRITER_NRT), AURA_OK);
    ASSERT_EQ(cxx->setSoftwareFormat(44100, AURA_SOUND_FORMAT_PCM16, 2, 6, AURA_DSP_RESAMPLER_LINEAR),
              AURA_OK);
    ASSERT_EQ(cxx->setDSPBufferSize(1000, 2), AURA_OK);
    ASSERT_EQ(cxx->init(8, 0, const_cast<char *>(path.c_str())), AURA_OK);
    for (int i = 0; i < 7; ++i) {
        ASSERT_EQ(cxx->update(), AURA_OK);
    }
    ASSERT_EQ(AURA_System_Release(system), AURA_OK);
    system = nullptr;

    const auratest::Wav wav = auratest::readWav(path);
    ASSERT_TRUE(wav.valid) << wav.error;
    EXPECT_EQ(wav.riffSize, wav.fileSize - 8);
    // Seven blocks of silence, 1000 stereo 16-bit frames each.
    EXPECT_EQ(wav.dataSize, 7u * 1000u * 4u);
    EXPECT_EQ(wav.fileSize, wav.dataOffset + 7u * 1000u * 4u);
}

using SystemLifeThreads = SystemLife;

// The device output, or the real-time no-sound fallback: both run a mixer thread.
TEST_F(SystemLifeThreads, AutodetectOpensAnOutputWithOrWithoutADevice)
{
    ASSERT_EQ(AURA_System_SetOutput(system, AURA_OUTPUTTYPE_AUTODETECT), AURA_OK);
    ASSERT_EQ(AURA_System_Init(system, 32, 0, nullptr), AURA_OK);
    AURA::SystemI *internal = nullptr;
    ASSERT_EQ(AURA::SystemI::validate(system, &internal), AURA_OK);
    ASSERT_NE(internal->mOutput, nullptr);
    EXPECT_EQ(AURA_System_Update(system), AURA_OK);
    // The output that really plays: the device, or no sound after a fallback.
    AURA_OUTPUTTYPE output = AURA_OUTPUTTYPE_AUTODETECT;
    ASSERT_EQ(reinterpret_cast<AURA::System *>(system)->getOutput(&output), AURA_OK);
    const bool device = std::strcmp(internal->mOutput->getName(), "alsa") == 0;
    EXPECT_EQ(output, device ? AURA_OUTPUTTYPE_AUTODETECT : AURA_OUTPUTTYPE_NOSOUND);
}

} // namespace

namespace {

// A 2 s sound on the real-time no-sound output, updated as a game would: it
// plays until the mixer has mixed its two seconds and ends at the first
// update after that, and the mixer never runs ahead of the wall clock. How
// far the mixer has got is read from its clock, not from the wall clock, so
// a loaded machine that delays the mixer or the updates delays the end with
// them.
TEST(SystemRealTimeThreads, ASoundEndsOnTimeWithRealUpdates)
{
    using Clock = std::chrono::steady_clock;
    const auto began = Clock::now(); // the output's clock starts after this
    AURA_SYSTEM *system = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND, 4, 0);
    ASSERT_NE(system, nullptr);
    AURA::SystemI *internal = nullptr;
    ASSERT_EQ(AURA::SystemI::validate(system, &internal), AURA_OK);
    int rate = 0;
    ASSERT_EQ(AURA_System_GetSoftwareFormat(system, &rate, nullptr, nullptr, nullptr, nullptr, nullptr), AURA_OK);
    unsigned int block = 0;
    int blocks = 0;
    ASSERT_EQ(AURA_System_GetDSPBufferSize(system, &block, &blocks), AURA_OK);
    ASSERT_GT(rate, 0);
    ASSERT_GT(block, 0u);
    // Two seconds of 16-bit mono silence at 44.1 kHz: two seconds of mixer
    // frames at the system's rate.
    AURA_CREATESOUNDEXINFO exinfo{};
    exinfo.cbsize = sizeof(exinfo);
    exinfo.length = 2 * 44100 * 2;
    exinfo.numchannels = 1;
    exinfo.defaultfrequency = 44100;
    exinfo.format = AURA_SOUND_FORMAT_PCM16;
    AURA_SOUND *sound = nullptr;
    ASSERT_EQ(AURA_System_CreateSound(system, nullptr, AURA_OPENUSER, &exinfo, &sound), AURA_OK);
    const uint64_t length = 2u * static_cast<uint64_t>(rate);
    AURA_CHANNEL *channel = nullptr;
    const uint64_t playedFrom = internal->mDSPClock.load();
    ASSERT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, sound, 0, &channel), AURA_OK);
    // The voice joins the graph before the next block the mixer starts.
    const uint64_t playedBy = internal->mDSPClock.load() + block;

    bool ended = false;
    unsigned int lastPosition = 0;
    // Only a mixer that stopped for good gets near this.
    const auto stuck = Clock::now() + std::chrono::seconds(60);
    while (!ended && Clock::now() < stuck) {
        const uint64_t before = internal->mDSPClock.load();
        ASSERT_EQ(AURA_System_Update(system), AURA_OK);
        unsigned int position = 0;
        ended = AURA_Channel_GetPosition(channel, &position, AURA_TIMEUNIT_PCM) != AURA_OK;
        const uint64_t after = internal->mDSPClock.load();
        // Frames real time has allowed since before the output started
        // (its millisecond clock may round up by one), plus the block it
        // mixes ahead.
        const double allowed = (std::chrono::duration<double>(Clock::now() - began).count() + 0.002) * rate + block;
        ASSERT_LE(static_cast<double>(after), allowed) << "the mixer ran ahead of real time";
        if (ended) {
            // The block that reached the end had started.
            EXPECT_GE(after + block + 1, playedFrom + length)
                << "ended " << playedFrom + length - after << " frames early";
            break;
        }
        // Once the block past the end was mixed, the update saw it.
        ASSERT_LT(before, playedBy + length + block + 1)
            << "still playing " << before - playedBy - length << " frames after its end";
        // The position is what the mixer has played of it.
        const double scale = 44100.0 / rate;
        EXPECT_LE(position, (static_cast<double>(after - playedFrom) + block) * scale);
        EXPECT_GE(position + (block + 1.0) * scale, (static_cast<double>(before) - playedBy) * scale);
        EXPECT_GE(position, lastPosition);
        lastPosition = position;
        std::this_thread::sleep_for(std::chrono::milliseconds(5)); // a game's frame
    }
    EXPECT_TRUE(ended) << "the mixer stopped at frame " << internal->mDSPClock.load();
    ASSERT_EQ(AURA_Sound_Release(sound), AURA_OK);
    ASSERT_EQ(AURA_System_Release(system), AURA_OK);
}

} // namespace
