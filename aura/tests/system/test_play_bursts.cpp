// Bursts of plays without an update in between: every play finds the
// connections its voice needs, and a sound's release finds the channels
// that play it.
#include "aura.h"
#include "aura.hpp"
#include "channel/aura_channeli.h"
#include "system/aura_systemi.h"
#include "systems.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Render = auratest::WavRender;

constexpr int BURST = 100000;

AURA::Sound *tone(Render &render, AURA_MODE mode = AURA_LOOP_NORMAL)
{
    std::vector<int16_t> frames(441);
    for (size_t i = 0; i < frames.size(); ++i) {
        frames[i] = static_cast<int16_t>((i % 100) * 300 - 15000);
    }
    return render.sound(frames, 1, 44100, mode);
}

TEST(PlayBursts, PlayAndStopWithoutUpdateNeverRunOutOfConnections)
{
    Render render({.maxChannels = 32});
    AURA::Sound *sound = tone(render);
    for (int i = 0; i < BURST; ++i) {
        AURA::Channel *channel = nullptr;
        ASSERT_EQ(render.system()->playSound(AURA_CHANNEL_FREE, sound, false, &channel), AURA_OK) << "play " << i;
        ASSERT_EQ(channel->stop(), AURA_OK) << "stop " << i;
    }
    render.update(2);
}

TEST(PlayBursts, PlaysThatStealFromBusyChannelsAllSucceed)
{
    Render render({.maxChannels = 64});
    AURA::Sound *sound = tone(render);
    AURA::Channel *last = nullptr;
    for (int i = 0; i < BURST; ++i) {
        ASSERT_EQ(render.system()->playSound(AURA_CHANNEL_FREE, sound, false, &last), AURA_OK) << "play " << i;
    }
    // Every channel plays, the last play among them.
    auto *system = static_cast<AURA::SystemI *>(render.system());
    for (int i = 0; i < system->mNumChannels; ++i) {
        bool playing = false;
        ASSERT_EQ(system->mChannel[i].isPlaying(&playing), AURA_OK) << "channel " << i;
        EXPECT_TRUE(playing) << "channel " << i;
    }
    bool playing = false;
    ASSERT_EQ(last->isPlaying(&playing), AURA_OK);
    EXPECT_TRUE(playing);
    render.update(2);
}

TEST(PlayBursts, ReleasingASoundStopsItsChannelsAndNoOthers)
{
    Render render({.maxChannels = 4095});
    AURA::Sound *kept = tone(render);
    AURA::Sound *released = tone(render);
    std::vector<AURA::Channel *> keptChannels;
    std::vector<AURA::Channel *> releasedChannels;
    for (int i = 0; i < 600; ++i) {
        const bool mine = i % 200 == 7;
        AURA::Channel *channel = render.play(mine ? released : kept);
        (mine ? releasedChannels : keptChannels).push_back(channel);
    }
    // A channel that played the sound and moved on to another one.
    AURA::Channel *moved = render.play(released);
    ASSERT_EQ(moved->stop(), AURA_OK);
    keptChannels.push_back(render.play(kept));
    render.update(2);

    ASSERT_EQ(released->release(), AURA_OK);
    for (AURA::Channel *channel : releasedChannels) {
        bool playing = true;
        EXPECT_NE(channel->isPlaying(&playing), AURA_OK) << "a channel of the released sound plays on";
    }
    for (AURA::Channel *channel : keptChannels) {
        bool playing = false;
        ASSERT_EQ(channel->isPlaying(&playing), AURA_OK);
        EXPECT_TRUE(playing);
        AURA::Sound *current = nullptr;
        ASSERT_EQ(channel->getCurrentSound(&current), AURA_OK);
        EXPECT_EQ(current, kept);
    }
    render.update(2);
    ASSERT_EQ(kept->release(), AURA_OK);
    for (AURA::Channel *channel : keptChannels) {
        bool playing = true;
        EXPECT_NE(channel->isPlaying(&playing), AURA_OK);
    }
}

// The same burst while a real-time mixer applies the queued requests too.
TEST(PlayBurstsThreads, PlaysAndStopsWithoutUpdateWhileTheMixerRuns)
{
    AURA_SYSTEM *system = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND, 32, AURA_INIT_NORMAL, 256);
    ASSERT_NE(system, nullptr);
    const std::vector<int16_t> frames(441, 1000);
    AURA_CREATESOUNDEXINFO exinfo = auratest::userSoundInfo(static_cast<unsigned int>(frames.size() * 2), 1, 44100);
    AURA_SOUND *sound = nullptr;
    ASSERT_EQ(AURA_System_CreateSound(system, nullptr, AURA_OPENUSER | AURA_LOOP_NORMAL, &exinfo, &sound), AURA_OK);
    std::vector<AURA_CHANNEL *> playing;
    for (int i = 0; i < BURST / 5; ++i) {
        AURA_CHANNEL *channel = nullptr;
        ASSERT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, sound, 0, &channel), AURA_OK) << "play " << i;
        playing.push_back(channel);
        if (playing.size() > 8) {
            ASSERT_EQ(AURA_Channel_Stop(playing.front()), AURA_OK) << "stop " << i;
            playing.erase(playing.begin());
        }
    }
    ASSERT_EQ(AURA_Sound_Release(sound), AURA_OK);
    ASSERT_EQ(AURA_System_Release(system), AURA_OK);
}

} // namespace
