// The global reverb on a running system: the units its property records
// make and take away, and the channels' sends into them.
#include "reverb_rooms.h"
#include "sine_analysis.h"
#include "systems.h"
#include "wav.h"

#include "channel/aura_channeli.h"
#include "dsp/aura_dsp_connectioni.h"
#include "system/aura_systemi.h"

#include <gtest/gtest.h>

#include "threads.h"

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

namespace {

AURA_REVERB_PROPERTIES generic(int instance = 0)
{
    return auratest::genericRoom(instance);
}

AURA::SystemI *internals(AURA::System *system)
{
    AURA::SystemI *s = nullptr;
    EXPECT_EQ(AURA::SystemI::validate(system, &s), AURA_OK);
    return s;
}

// The level of a channel's send into an instance; -1 without a send.
float sendLevel(AURA::System *system, AURA::Channel *channel, int instance = 0)
{
    AURA::ChannelI *c = nullptr;
    EXPECT_EQ(AURA::ChannelI::validate(channel, &c), AURA_OK);
    AURA::DSPConnectionI *connection = nullptr;
    EXPECT_EQ(internals(system)->mReverbGlobal.getChanProperties(instance, c->mIndex, nullptr, &connection), AURA_OK);
    float level = -1.0f;
    if (connection) {
        EXPECT_EQ(connection->getMix(&level), AURA_OK);
    }
    return level;
}

TEST(ReverbSends, RoomLevelsSetTheSendsAndMutedChannelsSendNothing)
{
    auratest::WavRender render;
    AURA::System *system = render.system();
    AURA_REVERB_PROPERTIES props = generic();
    ASSERT_EQ(system->setReverbProperties(&props), AURA_OK);
    ASSERT_NE(internals(system)->mReverbGlobal.mInstance[0].mDSP, nullptr);
    AURA::Sound *sound = render.sound(auratest::sine(44100, 440.0, 44100, 8000.0), 1, 44100);
    AURA::Channel *full = render.play(sound);
    AURA::Channel *quiet = render.play(sound);
    AURA::Channel *muted = render.play(sound);
    AURA_REVERB_CHANNELPROPERTIES send = AURA_REVERB_CHANNELPROPERTIES_DEFAULT;
    send.Room = -2000;
    ASSERT_EQ(quiet->setReverbProperties(&send), AURA_OK);
    ASSERT_EQ(muted->setMute(true), AURA_OK);
    EXPECT_FLOAT_EQ(sendLevel(system, full), 1.0f);
    EXPECT_FLOAT_EQ(sendLevel(system, quiet), 0.1f);
    EXPECT_EQ(sendLevel(system, muted), 0.0f);
    ASSERT_EQ(muted->setMute(false), AURA_OK);
    EXPECT_FLOAT_EQ(sendLevel(system, muted), 1.0f);
    render.update(4);

    // Environment -1 takes the unit and the sends away.
    props.Environment = -1;
    ASSERT_EQ(system->setReverbProperties(&props), AURA_OK);
    EXPECT_EQ(internals(system)->mReverbGlobal.mInstance[0].mDSP, nullptr);
    EXPECT_EQ(sendLevel(system, full), -1.0f);
    render.update(2);
}

TEST(ReverbSends, PlayingChannelsJoinANewUnitAtTheirNextSend)
{
    auratest::WavRender render;
    AURA::System *system = render.system();
    AURA::Sound *sound = render.sound(auratest::sine(44100, 440.0, 44100, 8000.0), 1, 44100);
    AURA::Channel *early = render.play(sound);
    AURA_REVERB_PROPERTIES props = generic(2);
    ASSERT_EQ(system->setReverbProperties(&props), AURA_OK);
    EXPECT_EQ(sendLevel(system, early, 2), -1.0f);
    AURA_REVERB_CHANNELPROPERTIES send = AURA_REVERB_CHANNELPROPERTIES_DEFAULT;
    send.Flags = AURA_REVERB_CHANNELFLAGS_INSTANCE2;
    ASSERT_EQ(early->setReverbProperties(&send), AURA_OK);
    EXPECT_FLOAT_EQ(sendLevel(system, early, 2), 1.0f);
    AURA::Channel *late = render.play(sound);
    EXPECT_FLOAT_EQ(sendLevel(system, late, 2), 1.0f);

    AURA_REVERB_PROPERTIES read{};
    read.Instance = 2;
    ASSERT_EQ(system->getReverbProperties(&read), AURA_OK);
    EXPECT_EQ(read.DecayTime, props.DecayTime);
    read.Instance = 1;
    ASSERT_EQ(AURA_System_GetReverbProperties(render.handle(), &read), AURA_OK);
    EXPECT_EQ(read.Environment, -1);
    read.Instance = 4;
    EXPECT_EQ(system->setReverbProperties(&read), AURA_ERR_REVERB_INSTANCE);
    EXPECT_EQ(system->getReverbProperties(&read), AURA_ERR_REVERB_INSTANCE);
    EXPECT_EQ(AURA_System_SetReverbProperties(render.handle(), nullptr), AURA_ERR_INVALID_PARAM);
    render.update(2);
}

// A short burst through the reverb leaves a tail in the rendered file;
// without a reverb the file is silent after the burst.
TEST(ReverbSends, TheReverbRingsOnAfterTheSound)
{
    double tail[2] = {};
    for (const bool withReverb : {false, true}) {
        auratest::WavRender render;
        if (withReverb) {
            AURA_REVERB_PROPERTIES props = generic();
            props.Room = 0;
            ASSERT_EQ(render.system()->setReverbProperties(&props), AURA_OK);
        }
        AURA::Sound *sound = render.sound(auratest::sine(2205, 440.0, 44100, 16000.0), 1, 44100);
        (void)render.play(sound);
        render.update(30);
        const auratest::Wav wav = render.finish();
        double energy = 0.0;
        for (size_t f = 44100 / 5; f < std::min<size_t>(wav.frames(), 44100 / 2); ++f) {
            energy += static_cast<double>(wav.at(f, 0)) * wav.at(f, 0);
        }
        tail[withReverb ? 1 : 0] = energy;
    }
    EXPECT_EQ(tail[0], 0.0);
    EXPECT_GT(tail[1], 1e-3);
}

constexpr AURA_DSP_TYPE kDelayUnits[] = {AURA_DSP_TYPE_ECHO, AURA_DSP_TYPE_FLANGE, AURA_DSP_TYPE_CHORUS,
                                         AURA_DSP_TYPE_PITCHSHIFT};

// A bypassed unit on the master group leaves the mix bit-exact.
TEST(DelayUnits, BypassedUnitsLeaveTheMixAsItIs)
{
    const std::vector<int16_t> tone = auratest::sine(22050, 440.0, 44100, 12000.0);
    const auto render = [&](AURA_DSP_TYPE type) {
        auratest::WavRender r;
        if (type != AURA_DSP_TYPE_UNKNOWN) {
            AURA::DSP *dsp = nullptr;
            EXPECT_EQ(r.system()->createDSPByType(type, &dsp), AURA_OK);
            AURA::ChannelGroup *master = nullptr;
            EXPECT_EQ(r.system()->getMasterChannelGroup(&master), AURA_OK);
            EXPECT_EQ(master->addDSP(dsp), AURA_OK);
            EXPECT_EQ(dsp->setBypass(true), AURA_OK);
        }
        (void)r.play(r.sound(tone, 1, 44100));
        r.update(24);
        return r.finish().samples;
    };
    const std::vector<float> plain = render(AURA_DSP_TYPE_UNKNOWN);
    ASSERT_FALSE(plain.empty());
    for (const AURA_DSP_TYPE type : kDelayUnits) {
        EXPECT_EQ(render(type), plain) << type;
    }
}

// Two systems mixing in real time while another thread changes every
// parameter of their delay units and their reverbs.
TEST(DelayUnitsThreads, ParameterChangesUnderTwoRealTimeMixers)
{
    AURA_SYSTEM *handles[2] = {auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND, 8, AURA_INIT_NORMAL, 256),
                               auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND, 8, AURA_INIT_NORMAL, 256)};
    ASSERT_NE(handles[0], nullptr);
    ASSERT_NE(handles[1], nullptr);
    std::vector<AURA::DSP *> units;
    for (AURA_SYSTEM *handle : handles) {
        auto *system = reinterpret_cast<AURA::System *>(handle);
        AURA::ChannelGroup *master = nullptr;
        ASSERT_EQ(system->getMasterChannelGroup(&master), AURA_OK);
        for (const AURA_DSP_TYPE type : kDelayUnits) {
            AURA::DSP *dsp = nullptr;
            ASSERT_EQ(system->createDSPByType(type, &dsp), AURA_OK);
            ASSERT_EQ(master->addDSP(dsp), AURA_OK);
            units.push_back(dsp);
        }
        AURA::DSP *osc = nullptr;
        ASSERT_EQ(system->createDSPByType(AURA_DSP_TYPE_OSCILLATOR, &osc), AURA_OK);
        ASSERT_EQ(system->playDSP(AURA_CHANNEL_FREE, osc, false, nullptr), AURA_OK);
    }
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        unsigned int step = 0;
        while (!stop.load()) {
            for (AURA::DSP *dsp : units) {
                int count = 0;
                (void)dsp->getNumParameters(&count);
                for (int i = 0; i < count; ++i) {
                    float lo = 0.0f, hi = 0.0f;
                    (void)dsp->getParameterInfo(i, nullptr, nullptr, nullptr, 0, &lo, &hi);
                    (void)dsp->setParameter(i, lo + (hi - lo) * static_cast<float>(step % 7) / 6.0f);
                }
            }
            for (AURA_SYSTEM *handle : handles) {
                AURA_REVERB_PROPERTIES props = generic();
                props.DecayTime = 0.5f + static_cast<float>(step % 5);
                (void)reinterpret_cast<AURA::System *>(handle)->setReverbProperties(&props);
            }
            ++step;
        }
    });
    AURA::SystemI *internal[2] = {internals(reinterpret_cast<AURA::System *>(handles[0])),
                                  internals(reinterpret_cast<AURA::System *>(handles[1]))};
    const uint64_t start[2] = {internal[0]->mDSPClock.load(), internal[1]->mDSPClock.load()};
    const bool mixed = auratest::waitFor(
        [&] {
            for (AURA_SYSTEM *handle : handles) {
                (void)AURA_System_Update(handle);
            }
            return internal[0]->mDSPClock.load() > start[0] + 20 * 256 &&
                   internal[1]->mDSPClock.load() > start[1] + 20 * 256;
        },
        std::chrono::seconds(20));
    stop.store(true);
    changer.join();
    EXPECT_TRUE(mixed);
    for (AURA_SYSTEM *handle : handles) {
        EXPECT_EQ(AURA_System_Release(handle), AURA_OK);
    }
}

} // namespace
