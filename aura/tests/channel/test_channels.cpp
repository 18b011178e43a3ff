// Logical channels and channel groups through the public interfaces, on
// emulated voices with a clock the test moves.
#include "aura.h"
#include "aura.hpp"
#include "channel/aura_channelgroupi.h"
#include "channel/aura_channeli.h"
#include "voice/aura_channelpool.h"
#include "voice/aura_channelreal.h"
#include "base/aura_memory.h"
#include "sound/aura_soundi.h"
#include "system/aura_systemi.h"
#include "systems.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

constexpr const char AURA_ALLOC_TAG[] = "aura/tests/test_channels";

unsigned int gNowMs = 0;
unsigned int testClock()
{
    return gNowMs;
}

struct CallbackLog {
    std::vector<std::pair<AURA_CHANNEL_CALLBACKTYPE, uintptr_t>> calls;
    std::thread::id thread;
    AURA_CHANNEL *replayed = nullptr;
};
CallbackLog gLog;

AURA_RESULT recordCallback(AURA_CHANNEL *, AURA_CHANNEL_CALLBACKTYPE type, void *data1, void *)
{
    gLog.calls.emplace_back(type, reinterpret_cast<uintptr_t>(data1));
    gLog.thread = std::this_thread::get_id();
    return AURA_OK;
}

class Channels : public ::testing::Test {
protected:
    void SetUp() override
    {
        gNowMs = 1000;
        gLog = CallbackLog{};
        ASSERT_EQ(AURA_System_Create(&system), AURA_OK);
        ASSERT_EQ(AURA::SystemI::validate(system, &internal), AURA_OK);
        internal->mUpdateClock = testClock;
        ASSERT_EQ(AURA_System_SetOutput(system, AURA_OUTPUTTYPE_NOSOUND_NRT), AURA_OK);
        ASSERT_EQ(AURA_System_Init(system, 8, AURA_INIT_SOFTWARE_DISABLE, nullptr), AURA_OK);
    }
    void TearDown() override
    {
        for (AURA::SoundI *sound : sounds) {
            (void)sound->releaseInternal(true);
        }
        EXPECT_EQ(AURA_System_Release(system), AURA_OK);
    }
    // A sound of `seconds` at 44100 Hz, made directly: codecs come later.
    AURA_SOUND *makeSound(double seconds, unsigned int mode = AURA_LOOP_OFF | AURA_2D)
    {
        AURA::SoundI *sound = AURA_New(AURA::SoundI);
        sound->mSystem = internal;
        sound->mLength = static_cast<unsigned int>(seconds * 44100.0);
        sound->mMode = mode;
        sound->mDefaultFrequency = 44100.0f;
        sounds.push_back(sound);
        return reinterpret_cast<AURA_SOUND *>(static_cast<AURA::Sound *>(sound));
    }
    AURA::SoundI *soundOf(AURA_SOUND *sound)
    {
        return static_cast<AURA::SoundI *>(reinterpret_cast<AURA::Sound *>(sound));
    }
    void advance(unsigned int ms)
    {
        gNowMs += ms;
        ASSERT_EQ(AURA_System_Update(system), AURA_OK);
    }
    unsigned int position(AURA_CHANNEL *channel)
    {
        unsigned int pcm = 0;
        EXPECT_EQ(AURA_Channel_GetPosition(channel, &pcm, AURA_TIMEUNIT_PCM), AURA_OK);
        return pcm;
    }

    AURA_SYSTEM *system = nullptr;
    AURA::SystemI *internal = nullptr;
    std::vector<AURA::SoundI *> sounds;
};

TEST_F(Channels, ASoundRunsOnTheClockAndEndsWithOneCallbackInsideUpdate)
{
    AURA_SOUND *sound = makeSound(1.0);
    AURA_CHANNEL *channel = nullptr;
    ASSERT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, sound, 0, &channel), AURA_OK);
    ASSERT_NE(channel, nullptr);
    ASSERT_EQ(AURA_Channel_SetCallback(channel, recordCallback), AURA_OK);
    for (int step = 1; step <= 9; ++step) {
        advance(100);
        EXPECT_EQ(position(channel), static_cast<unsigned int>(4410 * step));
        EXPECT_TRUE(gLog.calls.empty());
    }
    advance(100); // 1000 ms: the end
    ASSERT_EQ(gLog.calls.size(), 1u);
    EXPECT_EQ(gLog.calls[0].first, AURA_CHANNEL_CALLBACKTYPE_END);
    EXPECT_EQ(gLog.thread, std::this_thread::get_id());
    unsigned int pcm = 1;
    EXPECT_EQ(AURA_Channel_GetPosition(channel, &pcm, AURA_TIMEUNIT_PCM), AURA_ERR_INVALID_HANDLE);
    advance(100);
    EXPECT_EQ(gLog.calls.size(), 1u);
}

TEST_F(Channels, StaleHandlesTellStoppedFromReused)
{
    AURA_SOUND *sound = makeSound(2.0);
    AURA_CHANNEL *first = nullptr;
    ASSERT_EQ(AURA_System_PlaySound(system, 3, sound, 0, &first), AURA_OK);
    ASSERT_EQ(AURA_Channel_Stop(first), AURA_OK);
    EXPECT_EQ(AURA_Channel_SetVolume(first, 0.5f), AURA_ERR_INVALID_HANDLE);
    AURA_CHANNEL *second = nullptr;
    ASSERT_EQ(AURA_System_PlaySound(system, 3, sound, 0, &second), AURA_OK);
    EXPECT_NE(first, second);
    EXPECT_EQ(AURA_Channel_SetVolume(first, 0.5f), AURA_ERR_CHANNEL_STOLEN);
    EXPECT_EQ(AURA_Channel_SetVolume(second, 0.5f), AURA_OK);
    // Stamp 0 matches whatever the channel plays now.
    const auto anyStamp = reinterpret_cast<AURA_CHANNEL *>(reinterpret_cast<uintptr_t>(second) & ~uintptr_t{0xFFFF});
    EXPECT_EQ(AURA_Channel_SetVolume(anyStamp, 0.25f), AURA_OK);
    EXPECT_EQ(AURA_Channel_GetPaused(nullptr, nullptr), AURA_ERR_INVALID_PARAM);
}

TEST_F(Channels, StampsWrapWithinTheirCycle)
{
    AURA::ChannelI &channel = internal->mChannel[2];
    // The next start hands out stamp 65535; the stop after it wraps to 1.
    channel.mHandleCurrent = (channel.mHandleCurrent & 0xFFFF0000u) | 65534u;
    channel.mHandleOriginal = channel.mHandleCurrent;
    AURA_SOUND *sound = makeSound(1.0);
    AURA_CHANNEL *handle = nullptr;
    ASSERT_EQ(AURA_System_PlaySound(system, 2, sound, 0, &handle), AURA_OK);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(handle) & 0xFFFF, 65535u);
    ASSERT_EQ(AURA_Channel_Stop(handle), AURA_OK);
    EXPECT_EQ(channel.mHandleCurrent & 0xFFFF, 1u);
    EXPECT_EQ(AURA_Channel_Stop(handle), AURA_ERR_INVALID_HANDLE); // stopped, not reused
    AURA_CHANNEL *next = nullptr;
    ASSERT_EQ(AURA_System_PlaySound(system, 2, sound, 0, &next), AURA_OK);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(next) & 0xFFFF, 2u);
    EXPECT_EQ(AURA_Channel_Stop(handle), AURA_ERR_CHANNEL_STOLEN);
}

TEST(ChannelHandles, BeforeInitGiveUninitialised)
{
    AURA_SYSTEM *system = nullptr;
    ASSERT_EQ(AURA_System_Create(&system), AURA_OK);
    AURA::SystemI *internal = nullptr;
    ASSERT_EQ(AURA::SystemI::validate(system, &internal), AURA_OK);
    const auto handle = reinterpret_cast<AURA_CHANNEL *>(static_cast<uintptr_t>(internal->mIndex) << 28 | 1u);
    EXPECT_EQ(AURA_Channel_SetPaused(handle, 1), AURA_ERR_UNINITIALIZED);
    int paused = 7;
    EXPECT_EQ(AURA_Channel_GetPaused(handle, &paused), AURA_ERR_UNINITIALIZED);
    EXPECT_EQ(paused, 0);
    // A system index that no live system has.
    const auto nowhere = reinterpret_cast<AURA_CHANNEL *>(uintptr_t{0xF0000001});
    EXPECT_EQ(AURA_Channel_Stop(nowhere), AURA_ERR_INVALID_HANDLE);
    ASSERT_EQ(AURA_System_Release(system), AURA_OK);
}

TEST_F(Channels, PausedChannelsMakeNoProgress)
{
    AURA_SOUND *sound = makeSound(1.0);
    AURA_CHANNEL *channel = nullptr;
    ASSERT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, sound, 1, &channel), AURA_OK);
    int paused = 0;
    ASSERT_EQ(AURA_Channel_GetPaused(channel, &paused), AURA_OK);
    EXPECT_EQ(paused, 1);
    advance(300);
    EXPECT_EQ(position(channel), 0u);
    ASSERT_EQ(AURA_Channel_SetPaused(channel, 0), AURA_OK);
    advance(100);
    EXPECT_EQ(position(channel), 4410u);
    ASSERT_EQ(AURA_Channel_SetPaused(channel, 1), AURA_OK);
    advance(500);
    EXPECT_EQ(position(channel), 4410u);
}

AURA_SYSTEM *gReplaySystem = nullptr;
AURA_SOUND *gReplaySound = nullptr;

AURA_RESULT replayOnEnd(AURA_CHANNEL *channel, AURA_CHANNEL_CALLBACKTYPE type, void *, void *)
{
    if (type == AURA_CHANNEL_CALLBACKTYPE_END && !gLog.replayed) {
        AURA::ChannelI *channeli = nullptr;
        if (AURA::ChannelI::validate(reinterpret_cast<AURA::Channel *>(channel), &channeli) == AURA_OK) {
            (void)AURA_System_PlaySound(gReplaySystem, channeli->mIndex, gReplaySound, 0, &gLog.replayed);
        }
    }
    return AURA_OK;
}

TEST_F(Channels, AnEndCallbackMayPlayANewSoundOnItsChannel)
{
    gReplaySystem = system;
    gReplaySound = makeSound(0.5);
    AURA_SOUND *shortSound = makeSound(0.1);
    AURA_CHANNEL *channel = nullptr;
    ASSERT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, shortSound, 0, &channel), AURA_OK);
    ASSERT_EQ(AURA_Channel_SetCallback(channel, replayOnEnd), AURA_OK);
    advance(200);
    ASSERT_NE(gLog.replayed, nullptr);
    EXPECT_NE(gLog.replayed, channel);
    AURA_SOUND *current = nullptr;
    ASSERT_EQ(AURA_Channel_GetCurrentSound(gLog.replayed, &current), AURA_OK);
    EXPECT_EQ(current, gReplaySound);
    advance(100);
    EXPECT_EQ(position(gLog.replayed), 4410u);
}

TEST_F(Channels, ThousandsOfPlayStopCyclesLeaveNoVoiceInUse)
{
    AURA_SOUND *sound = makeSound(1.0);
    for (int i = 0; i < 10000; ++i) {
        AURA_CHANNEL *channel = nullptr;
        ASSERT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, sound, i % 2, &channel), AURA_OK) << i;
        if (i % 3 == 0) {
            advance(10);
        }
        ASSERT_EQ(AURA_Channel_Stop(channel), AURA_OK) << i;
    }
    EXPECT_EQ(internal->mVoicePool->mChannelsUsed, 0);
    int free = 0;
    for (AURA::LinkedListNode *n = internal->mChannelFreeListHead.mNext; n != &internal->mChannelFreeListHead;
         n = n->mNext) {
        ++free;
    }
    EXPECT_EQ(free, 8);
    EXPECT_EQ(soundOf(sound)->mPlayCount, 0);
}

TEST_F(Channels, SettingsAreClampedStoredAndChecked)
{
    AURA_SOUND *sound = makeSound(1.0);
    AURA_CHANNEL *handle = nullptr;
    ASSERT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, sound, 0, &handle), AURA_OK);
    auto *channel = reinterpret_cast<AURA::Channel *>(handle);
    float value = 0.0f;
    ASSERT_EQ(channel->setVolume(2.0f), AURA_OK);
    ASSERT_EQ(channel->getVolume(&value), AURA_OK);
    EXPECT_EQ(value, 1.0f);
    ASSERT_EQ(channel->setVolume(-1.0f), AURA_OK);
    ASSERT_EQ(channel->getVolume(&value), AURA_OK);
    EXPECT_EQ(value, 0.0f);
    ASSERT_EQ(channel->setVolume(0.6f), AURA_OK);
    ASSERT_EQ(channel->setMute(true), AURA_OK);
    ASSERT_EQ(channel->getVolume(&value), AURA_OK);
    EXPECT_EQ(value, 0.6f); // mute keeps the volume
    bool mute = false;
    ASSERT_EQ(channel->getMute(&mute), AURA_OK);
    EXPECT_TRUE(mute);

    ASSERT_EQ(channel->setFrequency(5e7f), AURA_OK);
    ASSERT_EQ(channel->getFrequency(&value), AURA_OK);
    EXPECT_EQ(value, 1000000.0f); // the voice's limit
    ASSERT_EQ(channel->setFrequency(22050.0f), AURA_OK);

    EXPECT_EQ(channel->setPosition(44100, AURA_TIMEUNIT_PCM), AURA_ERR_INVALID_POSITION);
    EXPECT_EQ(channel->setPosition(1000, AURA_TIMEUNIT_MS), AURA_ERR_INVALID_POSITION);
    ASSERT_EQ(channel->setPosition(500, AURA_TIMEUNIT_MS), AURA_OK);
    unsigned int pcm = 0;
    ASSERT_EQ(channel->getPosition(&pcm, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(pcm, 22050u);
    EXPECT_EQ(channel->setLoopCount(-2), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(channel->setLoopCount(-1), AURA_OK);
    EXPECT_EQ(channel->setLoopPoints(100, AURA_TIMEUNIT_PCM, 50, AURA_TIMEUNIT_PCM), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(channel->setLoopPoints(0, AURA_TIMEUNIT_MODROW, 50, AURA_TIMEUNIT_PCM), AURA_ERR_FORMAT);
    ASSERT_EQ(channel->setLoopPoints(100, AURA_TIMEUNIT_MS, 200, AURA_TIMEUNIT_MS), AURA_OK);
    AURA::ChannelI *channeli = nullptr;
    ASSERT_EQ(AURA::ChannelI::validate(channel, &channeli), AURA_OK);
    unsigned int start = 0;
    unsigned int end = 0;
    ASSERT_EQ(channeli->getLoopPoints(&start, AURA_TIMEUNIT_PCM, &end, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(start, 4410u);
    EXPECT_EQ(end, 8820u);
    EXPECT_EQ(channel->setDelay(static_cast<AURA_DELAYTYPE>(9), 0, 0), AURA_ERR_INVALID_PARAM);

    // Speakers the stereo output lacks.
    const float levels[2] = {0.5f, 1.5f};
    EXPECT_EQ(channeli->setSpeakerLevels(AURA_SPEAKER_FRONT_CENTER, levels, 2), AURA_ERR_INVALID_SPEAKER);
    EXPECT_EQ(channeli->setSpeakerLevels(AURA_SPEAKER_FRONT_RIGHT, nullptr, 2), AURA_ERR_INVALID_PARAM);
    ASSERT_EQ(channeli->setSpeakerLevels(AURA_SPEAKER_FRONT_RIGHT, levels, 2), AURA_OK);
    float back[2] = {};
    ASSERT_EQ(channeli->getSpeakerLevels(AURA_SPEAKER_FRONT_RIGHT, back, 2), AURA_OK);
    EXPECT_EQ(back[0], 0.5f);
    EXPECT_EQ(back[1], 1.0f);
}

TEST_F(Channels, AMissingSpeakerOfTheModeGivesInvalidSpeaker)
{
    // Quad has no centre, though four speakers exist.
    AURA_SYSTEM *quad = nullptr;
    ASSERT_EQ(AURA_System_Create(&quad), AURA_OK);
    auto *cxx = reinterpret_cast<AURA::System *>(quad);
    ASSERT_EQ(cxx->setOutput(AURA_OUTPUTTYPE_NOSOUND_NRT), AURA_OK);
    ASSERT_EQ(cxx->setSoftwareFormat(48000, AURA_SOUND_FORMAT_PCM16, 4, 6, AURA_DSP_RESAMPLER_LINEAR), AURA_OK);
    ASSERT_EQ(cxx->init(4, AURA_INIT_SOFTWARE_DISABLE, nullptr), AURA_OK);
    AURA::SystemI *quadi = nullptr;
    ASSERT_EQ(AURA::SystemI::validate(quad, &quadi), AURA_OK);
    AURA::SoundI *sound = AURA_New(AURA::SoundI);
    sound->mSystem = quadi;
    sound->mLength = 48000;
    AURA::Channel *channel = nullptr;
    ASSERT_EQ(cxx->playSound(AURA_CHANNEL_FREE, sound, false, &channel), AURA_OK);
    AURA::ChannelI *channeli = nullptr;
    ASSERT_EQ(AURA::ChannelI::validate(channel, &channeli), AURA_OK);
    const float one = 1.0f;
    EXPECT_EQ(channeli->setSpeakerLevels(AURA_SPEAKER_FRONT_CENTER, &one, 1), AURA_ERR_INVALID_SPEAKER);
    EXPECT_EQ(channeli->setSpeakerLevels(AURA_SPEAKER_BACK_LEFT, &one, 1), AURA_OK);
    ASSERT_EQ(sound->releaseInternal(true), AURA_OK);
    EXPECT_EQ(channel->stop(), AURA_ERR_INVALID_HANDLE); // released with its sound
    ASSERT_EQ(cxx->release(), AURA_OK);
}

TEST_F(Channels, DefaultsAndVariationsComeFromTheSound)
{
    AURA_SOUND *sound = makeSound(1.0);
    AURA::SoundI *soundi = soundOf(sound);
    ASSERT_EQ(soundi->setDefaults(22050.0f, 0.5f, -0.5f, 64), AURA_OK);
    AURA_CHANNEL *handle = nullptr;
    ASSERT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, sound, 0, &handle), AURA_OK);
    AURA::ChannelI *channel = nullptr;
    ASSERT_EQ(AURA::ChannelI::validate(reinterpret_cast<AURA::Channel *>(handle), &channel), AURA_OK);
    EXPECT_EQ(channel->mFrequency, 22050.0f);
    EXPECT_EQ(channel->mVolume, 0.5f);
    EXPECT_EQ(channel->mPan, -0.5f);
    EXPECT_EQ(channel->mPriority, 64);

    // No variation leaves the generator alone; one draws from it.
    const unsigned int seed = AURA::gGlobal->mRandomNext.load();
    ASSERT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, sound, 0, &handle), AURA_OK);
    EXPECT_EQ(AURA::gGlobal->mRandomNext.load(), seed);
    ASSERT_EQ(soundi->setVariations(1000.0f, 0.0f, 0.0f), AURA_OK);
    ASSERT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, sound, 0, &handle), AURA_OK);
    EXPECT_EQ(AURA::gGlobal->mRandomNext.load(), seed * 214013u + 2531011u);
    ASSERT_EQ(AURA::ChannelI::validate(reinterpret_cast<AURA::Channel *>(handle), &channel), AURA_OK);
    EXPECT_GE(channel->mFrequency, 21050.0f);
    EXPECT_LE(channel->mFrequency, 23050.0f);
}

TEST_F(Channels, SyncPointsFireInOrderAgainAfterALoopAndBackwards)
{
    AURA_SOUND *sound = makeSound(1.0, AURA_LOOP_NORMAL | AURA_2D);
    AURA::SoundI *soundi = soundOf(sound);
    soundi->mLoopStart = 0;
    soundi->mLoopLength = 44100;
    for (unsigned int offset : {30000u, 10000u, 20000u}) {
        ASSERT_EQ(soundi->addSyncPoint(offset, "mark", nullptr), AURA_OK);
    }
    AURA_CHANNEL *channel = nullptr;
    ASSERT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, sound, 0, &channel), AURA_OK);
    ASSERT_EQ(AURA_Channel_SetCallback(channel, recordCallback), AURA_OK);
    advance(250); // 11025: the first point
    advance(250); // 22050: the second
    ASSERT_EQ(gLog.calls.size(), 2u);
    EXPECT_EQ(gLog.calls[0], std::make_pair(AURA_CHANNEL_CALLBACKTYPE_SYNCPOINT, uintptr_t{0}));
    EXPECT_EQ(gLog.calls[1].second, 1u);
    advance(500); // 44100 wraps to 0: the third point on the way
    advance(300); // 13230 in the second lap: the first point again
    ASSERT_EQ(gLog.calls.size(), 4u);
    EXPECT_EQ(gLog.calls[2].second, 2u);
    EXPECT_EQ(gLog.calls[3].second, 0u);

    // Backwards from 25000: the points below, in falling order.
    gLog.calls.clear();
    ASSERT_EQ(AURA_Channel_SetPosition(channel, 25000, AURA_TIMEUNIT_PCM), AURA_OK);
    auto *cxx = reinterpret_cast<AURA::Channel *>(channel);
    ASSERT_EQ(cxx->setFrequency(-44100.0f), AURA_OK);
    advance(200); // 16180: passes 20000
    advance(200); // 7360: passes 10000
    ASSERT_EQ(gLog.calls.size(), 2u);
    EXPECT_EQ(gLog.calls[0].second, 1u);
    EXPECT_EQ(gLog.calls[1].second, 0u);
}

TEST_F(Channels, GroupsMultiplyDownTheTreeAndPauseOrMuteBelow)
{
    auto *cxx = reinterpret_cast<AURA::System *>(system);
    AURA::ChannelGroup *master = nullptr;
    AURA::ChannelGroup *parent = nullptr;
    AURA::ChannelGroup *child = nullptr;
    ASSERT_EQ(cxx->getMasterChannelGroup(&master), AURA_OK);
    ASSERT_EQ(cxx->createChannelGroup("parent", &parent), AURA_OK);
    ASSERT_EQ(cxx->createChannelGroup("child", &child), AURA_OK);
    ASSERT_EQ(parent->addGroup(child), AURA_OK);
    EXPECT_EQ(child->addGroup(parent), AURA_ERR_INVALID_PARAM); // no cycles
    ASSERT_EQ(master->setVolume(0.5f), AURA_OK);
    ASSERT_EQ(parent->setVolume(1.5f), AURA_OK);
    float volume = 0.0f;
    ASSERT_EQ(parent->getVolume(&volume), AURA_OK);
    EXPECT_EQ(volume, 1.0f);
    ASSERT_EQ(child->setVolume(0.25f), AURA_OK);
    ASSERT_EQ(master->setPitch(2.0f), AURA_OK);
    ASSERT_EQ(child->setPitch(0.5f), AURA_OK);
    AURA::ChannelGroupI *childi = nullptr;
    ASSERT_EQ(AURA::ChannelGroupI::validate(child, &childi), AURA_OK);
    EXPECT_EQ(childi->mRealVolume, 0.5f * 1.0f * 0.25f);
    EXPECT_EQ(childi->mRealPitch, 1.0f);

    AURA_SOUND *sound = makeSound(2.0);
    AURA::Channel *inChild = nullptr;
    AURA::Channel *inParent = nullptr;
    ASSERT_EQ(cxx->playSound(AURA_CHANNEL_FREE, soundOf(sound), false, &inChild), AURA_OK);
    ASSERT_EQ(cxx->playSound(AURA_CHANNEL_FREE, soundOf(sound), false, &inParent), AURA_OK);
    ASSERT_EQ(inChild->setChannelGroup(child), AURA_OK);
    ASSERT_EQ(inParent->setChannelGroup(parent), AURA_OK);
    int count = 0;
    ASSERT_EQ(child->getNumChannels(&count), AURA_OK);
    EXPECT_EQ(count, 1);

    // The child's own pause survives the parent's pause and resume.
    ASSERT_EQ(child->setPaused(true), AURA_OK);
    ASSERT_EQ(parent->setPaused(true), AURA_OK);
    advance(100);
    EXPECT_EQ(position(reinterpret_cast<AURA_CHANNEL *>(inParent)), 0u);
    ASSERT_EQ(parent->setPaused(false), AURA_OK);
    advance(100);
    EXPECT_EQ(position(reinterpret_cast<AURA_CHANNEL *>(inParent)), 4410u);
    EXPECT_EQ(position(reinterpret_cast<AURA_CHANNEL *>(inChild)), 0u);
    bool paused = false;
    ASSERT_EQ(inChild->getPaused(&paused), AURA_OK);
    EXPECT_FALSE(paused); // the channel's own flag is untouched

    ASSERT_EQ(master->setMute(true), AURA_OK);
    AURA::ChannelI *childChannel = nullptr;
    ASSERT_EQ(AURA::ChannelI::validate(inChild, &childChannel), AURA_OK);
    EXPECT_TRUE(childChannel->mFlags.has(AURA::ChannelFlag::MutedInEffect));
    ASSERT_EQ(master->setMute(false), AURA_OK);
    EXPECT_FALSE(childChannel->mFlags.has(AURA::ChannelFlag::MutedInEffect));

    // Releasing a group moves its channels to the master; they play on.
    ASSERT_EQ(child->setPaused(false), AURA_OK);
    ASSERT_EQ(child->release(), AURA_OK);
    EXPECT_EQ(master->release(), AURA_ERR_INVALID_HANDLE);
    AURA::ChannelGroup *now = nullptr;
    ASSERT_EQ(inChild->getChannelGroup(&now), AURA_OK);
    EXPECT_EQ(now, master);
    advance(100);
    EXPECT_EQ(position(reinterpret_cast<AURA_CHANNEL *>(inChild)), 4410u);
}

TEST_F(Channels, ReleasingASoundStopsItsChannelsFirst)
{
    AURA_SOUND *sound = makeSound(2.0);
    AURA_CHANNEL *channel = nullptr;
    ASSERT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, sound, 0, &channel), AURA_OK);
    sounds.clear();
    ASSERT_EQ(AURA_Sound_Release(sound), AURA_OK);
    EXPECT_EQ(AURA_Channel_Stop(channel), AURA_ERR_INVALID_HANDLE);
    advance(100); // nothing left that points at the freed sound
    EXPECT_EQ(internal->mVoicePool->mChannelsUsed, 0);
}

} // namespace

namespace {

TEST_F(Channels, ThreeDAttributesBelongToThreeDSounds)
{
    AURA_SOUND *flat = makeSound(1.0);
    AURA_SOUND *spatial = makeSound(1.0, AURA_LOOP_OFF | AURA_3D);
    auto *cxx = reinterpret_cast<AURA::System *>(system);
    AURA::Channel *flatChannel = nullptr;
    AURA::Channel *spatialChannel = nullptr;
    ASSERT_EQ(cxx->playSound(AURA_CHANNEL_FREE, soundOf(flat), false, &flatChannel), AURA_OK);
    ASSERT_EQ(cxx->playSound(AURA_CHANNEL_FREE, soundOf(spatial), false, &spatialChannel), AURA_OK);
    AURA::ChannelI *flati = nullptr;
    AURA::ChannelI *spatiali = nullptr;
    ASSERT_EQ(AURA::ChannelI::validate(flatChannel, &flati), AURA_OK);
    ASSERT_EQ(AURA::ChannelI::validate(spatialChannel, &spatiali), AURA_OK);
    const AURA_VECTOR pos{1.0f, 2.0f, 3.0f};
    const AURA_VECTOR vel{0.0f, 0.0f, -1.0f};
    EXPECT_EQ(flati->set3DAttributes(&pos, &vel), AURA_ERR_NEEDS3D);
    spatiali->mFlags.clear(AURA::ChannelFlag::Moved3D);
    ASSERT_EQ(spatiali->set3DAttributes(&pos, &vel), AURA_OK);
    EXPECT_TRUE(spatiali->mFlags.has(AURA::ChannelFlag::Moved3D));
    AURA_VECTOR readPos{};
    AURA_VECTOR readVel{};
    ASSERT_EQ(spatiali->get3DAttributes(&readPos, &readVel), AURA_OK);
    EXPECT_EQ(readPos.y, 2.0f);
    EXPECT_EQ(readVel.z, -1.0f);
    // The same place again is no move.
    spatiali->mFlags.clear(AURA::ChannelFlag::Moved3D);
    ASSERT_EQ(spatiali->set3DAttributes(&pos, nullptr), AURA_OK);
    EXPECT_FALSE(spatiali->mFlags.has(AURA::ChannelFlag::Moved3D));
}

TEST_F(Channels, AChannelInfoSnapshotRestoresTheState)
{
    AURA_SOUND *sound = makeSound(2.0, AURA_LOOP_NORMAL | AURA_2D);
    soundOf(sound)->mLoopStart = 0;
    soundOf(sound)->mLoopLength = 88200;
    AURA_CHANNEL *handle = nullptr;
    ASSERT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, sound, 0, &handle), AURA_OK);
    AURA::ChannelI *channel = nullptr;
    ASSERT_EQ(AURA::ChannelI::validate(reinterpret_cast<AURA::Channel *>(handle), &channel), AURA_OK);
    ASSERT_EQ(channel->setPosition(30000, AURA_TIMEUNIT_PCM), AURA_OK);
    ASSERT_EQ(channel->setLoopPoints(1000, AURA_TIMEUNIT_PCM, 50000, AURA_TIMEUNIT_PCM), AURA_OK);
    ASSERT_EQ(channel->setLoopCount(3), AURA_OK);
    ASSERT_EQ(channel->setMute(true), AURA_OK);
    AURA::AURA_CHANNEL_INFO info{};
    ASSERT_EQ(channel->getChannelInfo(&info), AURA_OK);
    EXPECT_EQ(info.mPosition, 30000u);
    EXPECT_EQ(info.mLoopStart, 1000u);
    EXPECT_EQ(info.mLoopEnd, 50000u);
    EXPECT_EQ(info.mLoopCount, 3);
    EXPECT_TRUE(info.mMute);
    EXPECT_EQ(info.mSound, soundOf(sound));

    // Everything moves on; the snapshot puts it back.
    ASSERT_EQ(channel->setPosition(100, AURA_TIMEUNIT_PCM), AURA_OK);
    ASSERT_EQ(channel->setLoopCount(-1), AURA_OK);
    ASSERT_EQ(channel->setMute(false), AURA_OK);
    ASSERT_EQ(channel->setChannelInfo(&info), AURA_OK);
    unsigned int pcm = 0;
    ASSERT_EQ(channel->getPosition(&pcm, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(pcm, 30000u);
    int loops = 0;
    ASSERT_EQ(channel->getLoopCount(&loops), AURA_OK);
    EXPECT_EQ(loops, 3);
    bool mute = false;
    ASSERT_EQ(channel->getMute(&mute), AURA_OK);
    EXPECT_TRUE(mute);
    EXPECT_EQ(channel->getChannelInfo(nullptr), AURA_ERR_INVALID_PARAM);
}

// With the software mixer on, voices have heads in the group's unit and a
// unit can be played or added on a channel.
TEST(ChannelUnits, PlayingAndAddingDSPUnits)
{
    AURA_SYSTEM *system = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND_NRT, 4, 0);
    ASSERT_NE(system, nullptr);
    AURA::SystemI *internal = nullptr;
    ASSERT_EQ(AURA::SystemI::validate(system, &internal), AURA_OK);

    AURA::AURA_DSP_DESCRIPTION_EX description{};
    description.channels = 0;
    AURA::DSPI *unit = nullptr;
    ASSERT_EQ(internal->createDSP(&description, &unit, true), AURA_OK);
    ASSERT_EQ(unit->setDefaults(32000.0f, 0.5f, 0.25f, 10), AURA_OK);
    AURA::ChannelI *channel = nullptr;
    ASSERT_EQ(internal->playDSPInternal(AURA_CHANNEL_FREE, unit, false, &channel), AURA_OK);
    AURA::SoundI *sound = reinterpret_cast<AURA::SoundI *>(0x1);
    ASSERT_EQ(channel->getCurrentSound(&sound), AURA_OK);
    EXPECT_EQ(sound, nullptr);
    AURA::DSPI *current = nullptr;
    ASSERT_EQ(channel->getCurrentDSP(&current), AURA_OK);
    EXPECT_EQ(current, unit);
    EXPECT_EQ(channel->mFrequency, 32000.0f);
    EXPECT_EQ(channel->mVolume, 0.5f);
    EXPECT_EQ(channel->mPriority, 10);

    AURA::DSPI *effect = nullptr;
    ASSERT_EQ(internal->createDSP(&description, &effect, true), AURA_OK);
    EXPECT_EQ(channel->addDSP(nullptr, nullptr), AURA_ERR_INVALID_PARAM);
    ASSERT_EQ(channel->addDSP(effect, nullptr), AURA_OK);
    AURA::DSPI *head = nullptr;
    ASSERT_EQ(channel->getDSPHead(&head), AURA_OK);
    ASSERT_NE(head, nullptr);
    AURA::DSPI *input = nullptr;
    ASSERT_EQ(head->getInput(0, &input, nullptr, true), AURA_OK);
    EXPECT_EQ(input, effect);
    // The system stops what plays a unit before the unit goes.
    ASSERT_EQ(internal->stopDSP(unit), AURA_OK);
    EXPECT_EQ(channel->mNumRealChannels, 0);
    ASSERT_EQ(effect->release(true), AURA_OK);
    ASSERT_EQ(unit->release(true), AURA_OK);
    ASSERT_EQ(AURA_System_Release(system), AURA_OK);
}

} // namespace
