// Channel reverb sends: the reverb's per-channel store and the channel and
// voice operations over the system's global reverb, on emulated voices.
#include "aura.h"
#include "aura.hpp"
#include "channel/aura_channeli.h"
#include "voice/aura_channelreal.h"
#include "base/aura_memory.h"
#include "channel/aura_reverbi.h"
#include "sound/aura_soundi.h"
#include "system/aura_systemi.h"
#include "systems.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace {

constexpr const char AURA_ALLOC_TAG[] = "aura/tests/test_reverb";
constexpr int NUM_CHANNELS = 8;

AURA_REVERB_CHANNELPROPERTIES props(int direct, int room, unsigned int flags, void *connectionpoint = nullptr)
{
    return AURA_REVERB_CHANNELPROPERTIES{direct, room, flags, connectionpoint};
}

void expectProps(const AURA_REVERB_CHANNELPROPERTIES &got, const AURA_REVERB_CHANNELPROPERTIES &want)
{
    EXPECT_EQ(got.Direct, want.Direct);
    EXPECT_EQ(got.Room, want.Room);
    EXPECT_EQ(got.Flags, want.Flags);
    EXPECT_EQ(got.ConnectionPoint, want.ConnectionPoint);
}

class Reverb : public ::testing::Test {
protected:
    void SetUp() override
    {
        system = reinterpret_cast<AURA::System *>(
            auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND_NRT, NUM_CHANNELS, AURA_INIT_SOFTWARE_DISABLE));
        ASSERT_NE(system, nullptr);
        ASSERT_EQ(AURA::SystemI::validate(system, &internal), AURA_OK);
        sound = AURA_New(AURA::SoundI);
        ASSERT_NE(sound, nullptr);
        sound->mSystem = internal;
        sound->mLength = 44100;
        sound->mMode = AURA_LOOP_OFF | AURA_2D;
        sound->mDefaultFrequency = 44100.0f;
    }
    void TearDown() override
    {
        if (sound) {
            (void)sound->releaseInternal(true);
        }
        if (system) {
            EXPECT_EQ(system->release(), AURA_OK);
        }
    }
    AURA::Channel *play(AURA_CHANNELINDEX index = AURA_CHANNEL_FREE)
    {
        AURA::Channel *channel = nullptr;
        EXPECT_EQ(system->playSound(index, sound, false, &channel), AURA_OK);
        return channel;
    }
    int indexOf(AURA::Channel *channel)
    {
        AURA::ChannelI *channeli = nullptr;
        EXPECT_EQ(AURA::ChannelI::validate(channel, &channeli), AURA_OK);
        return channeli ? channeli->mIndex : -1;
    }
    AURA_REVERB_CHANNELPROPERTIES stored(int instance, int channel)
    {
        AURA_REVERB_CHANNELPROPERTIES out{};
        EXPECT_EQ(reverb().getChanProperties(instance, channel, &out, nullptr), AURA_OK);
        return out;
    }
    AURA::ReverbI &reverb() { return internal->mReverbGlobal; }

    AURA::System *system = nullptr;
    AURA::SystemI *internal = nullptr;
    AURA::SoundI *sound = nullptr;
};

TEST_F(Reverb, PropertiesRoundTripThroughAPlayedChannel)
{
    AURA::Channel *channel = play();
    ASSERT_NE(channel, nullptr);
    AURA_REVERB_CHANNELPROPERTIES got = AURA_REVERB_CHANNELPROPERTIES_DEFAULT;
    ASSERT_EQ(channel->getReverbProperties(&got), AURA_OK);
    expectProps(got, props(0, 0, AURA_REVERB_CHANNELFLAGS_INSTANCE0));

    // A connection point must be a unit of the system: an address that is
    // none is refused and nothing is stored.
    int unit = 0;
    const AURA_REVERB_CHANNELPROPERTIES bad = props(-300, -1200, AURA_REVERB_CHANNELFLAGS_INSTANCE0, &unit);
    EXPECT_EQ(channel->setReverbProperties(&bad), AURA_ERR_INVALID_PARAM);
    got = AURA_REVERB_CHANNELPROPERTIES_DEFAULT;
    ASSERT_EQ(channel->getReverbProperties(&got), AURA_OK);
    expectProps(got, props(0, 0, AURA_REVERB_CHANNELFLAGS_INSTANCE0));

    const AURA_REVERB_CHANNELPROPERTIES set = props(-300, -1200, AURA_REVERB_CHANNELFLAGS_INSTANCE0);
    ASSERT_EQ(channel->setReverbProperties(&set), AURA_OK);
    got = AURA_REVERB_CHANNELPROPERTIES_DEFAULT;
    ASSERT_EQ(channel->getReverbProperties(&got), AURA_OK);
    expectProps(got, set);

    EXPECT_EQ(channel->setReverbProperties(nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(channel->getReverbProperties(nullptr), AURA_ERR_INVALID_PARAM);
    ASSERT_EQ(channel->stop(), AURA_OK);
    EXPECT_EQ(channel->setReverbProperties(&set), AURA_ERR_INVALID_HANDLE);
    EXPECT_EQ(channel->getReverbProperties(&got), AURA_ERR_INVALID_HANDLE);
}

TEST_F(Reverb, FlagsChooseTheInstance)
{
    AURA::Channel *channel = play();
    const int index = indexOf(channel);
    ASSERT_GE(index, 0);
    // Each instance gets its own room level through its own bit.
    for (int i = 0; i < AURA::ReverbI::MAX_INSTANCES; ++i) {
        const AURA_REVERB_CHANNELPROPERTIES set = props(0, -100 * (i + 1), 0x10u << i);
        ASSERT_EQ(channel->setReverbProperties(&set), AURA_OK);
        EXPECT_EQ(stored(i, index).Room, -100 * (i + 1)) << "instance " << i;
    }
    struct Read {
        unsigned int flags;
        int room;
    };
    // A read names one instance: 0x20 before 0x40 before 0x80, else 0.
    for (const Read read : {Read{0x10, -100}, Read{0x20, -200}, Read{0x40, -300}, Read{0x80, -400},
                            Read{0x00, -100}, Read{0x30, -200}, Read{0x50, -300}, Read{0xC0, -300},
                            Read{0x90, -400}, Read{0xF0, -200}}) {
        AURA_REVERB_CHANNELPROPERTIES got = props(0, 0, read.flags);
        ASSERT_EQ(channel->getReverbProperties(&got), AURA_OK);
        EXPECT_EQ(got.Room, read.room) << "flags 0x" << std::hex << read.flags;
    }
    // No instance bit sets instance 0 and stores the flags as given.
    const AURA_REVERB_CHANNELPROPERTIES none = props(0, -2000, 0);
    ASSERT_EQ(channel->setReverbProperties(&none), AURA_OK);
    expectProps(stored(0, index), none);
    EXPECT_EQ(stored(1, index).Room, -200);
}

TEST_F(Reverb, SettingTwoInstancesCopiesOnlyTheDirectLevelToTheOthers)
{
    AURA::Channel *channel = play();
    const int index = indexOf(channel);
    ASSERT_GE(index, 0);
    const AURA_REVERB_CHANNELPROPERTIES third = props(-10, -3000, AURA_REVERB_CHANNELFLAGS_INSTANCE2);
    const AURA_REVERB_CHANNELPROPERTIES fourth = props(-20, -4000, AURA_REVERB_CHANNELFLAGS_INSTANCE3);
    ASSERT_EQ(channel->setReverbProperties(&third), AURA_OK);
    ASSERT_EQ(channel->setReverbProperties(&fourth), AURA_OK);
    EXPECT_EQ(stored(2, index).Direct, -20); // the later set's direct level reached instance 2 too

    const AURA_REVERB_CHANNELPROPERTIES both =
        props(-500, -900, AURA_REVERB_CHANNELFLAGS_INSTANCE0 | AURA_REVERB_CHANNELFLAGS_INSTANCE1);
    ASSERT_EQ(channel->setReverbProperties(&both), AURA_OK);
    expectProps(stored(0, index), both);
    expectProps(stored(1, index), both);
    expectProps(stored(2, index), props(-500, -3000, AURA_REVERB_CHANNELFLAGS_INSTANCE2));
    expectProps(stored(3, index), props(-500, -4000, AURA_REVERB_CHANNELFLAGS_INSTANCE3));
}

TEST_F(Reverb, AFreshPlayResetsTheChannelAndAStopForgetsItsSends)
{
    AURA::Channel *first = play(3);
    AURA::Channel *other = play(5);
    const AURA_REVERB_CHANNELPROPERTIES all = props(-700, -800, 0xF0);
    ASSERT_EQ(first->setReverbProperties(&all), AURA_OK);
    ASSERT_EQ(other->setReverbProperties(&all), AURA_OK);
    // A stand-in for the send connections a mixing voice would make.
    int token = 0;
    auto *connection = reinterpret_cast<AURA::DSPConnectionI *>(&token);
    for (int i = 0; i < AURA::ReverbI::MAX_INSTANCES; ++i) {
        ASSERT_EQ(reverb().setChanProperties(i, 3, nullptr, connection), AURA_OK);
        ASSERT_EQ(reverb().setChanProperties(i, 5, nullptr, connection), AURA_OK);
    }

    ASSERT_EQ(first->stop(), AURA_OK);
    for (int i = 0; i < AURA::ReverbI::MAX_INSTANCES; ++i) {
        AURA::DSPConnectionI *kept = connection;
        ASSERT_EQ(reverb().getChanProperties(i, 3, nullptr, &kept), AURA_OK);
        EXPECT_EQ(kept, nullptr) << "instance " << i;
        ASSERT_EQ(reverb().getChanProperties(i, 5, nullptr, &kept), AURA_OK);
        EXPECT_EQ(kept, connection) << "instance " << i;
        expectProps(stored(i, 3), all); // a stop alone keeps the properties
    }

    AURA::Channel *again = play(3);
    ASSERT_NE(again, nullptr);
    for (int i = 0; i < AURA::ReverbI::MAX_INSTANCES; ++i) {
        expectProps(stored(i, 3), AURA::ReverbI::defaultProperties(i));
        EXPECT_EQ(stored(i, 3).Flags, 0x10u << i);
        expectProps(stored(i, 5), all);
    }
    // Reading instance 2 back and setting it again stays on instance 2.
    AURA_REVERB_CHANNELPROPERTIES got = props(0, 0, AURA_REVERB_CHANNELFLAGS_INSTANCE2);
    ASSERT_EQ(again->getReverbProperties(&got), AURA_OK);
    got.Room = -1500;
    ASSERT_EQ(again->setReverbProperties(&got), AURA_OK);
    EXPECT_EQ(stored(2, 3).Room, -1500);
    EXPECT_EQ(stored(0, 3).Room, 0);
}

TEST_F(Reverb, AChannelWithTwoVoicesAnswersFromTheInstanceTheCallerNamed)
{
    AURA::Channel *channel = play(6);
    AURA::ChannelI *channeli = nullptr;
    ASSERT_EQ(AURA::ChannelI::validate(channel, &channeli), AURA_OK);
    // Instance 0 also claims instance 1 in its flags; instance 1 was set
    // alone afterwards with another room level.
    const AURA_REVERB_CHANNELPROPERTIES pair = props(0, -100, 0x30);
    const AURA_REVERB_CHANNELPROPERTIES second = props(0, -200, 0x20);
    ASSERT_EQ(channel->setReverbProperties(&pair), AURA_OK);
    ASSERT_EQ(channel->setReverbProperties(&second), AURA_OK);

    AURA::ChannelReal extra;
    extra.mSystem = internal;
    extra.mParent = channeli;
    channeli->mRealChannel[1] = &extra;
    channeli->mNumRealChannels = 2;
    AURA_REVERB_CHANNELPROPERTIES got = props(0, 0, 0x10);
    const AURA_RESULT result = channeli->getReverbProperties(&got);
    channeli->mNumRealChannels = 1;
    channeli->mRealChannel[1] = nullptr;
    ASSERT_EQ(result, AURA_OK);
    EXPECT_EQ(got.Room, -100);
    EXPECT_EQ(got.Flags, 0x30u);
}

TEST_F(Reverb, AVoiceWithoutAChannelStoresNothing)
{
    AURA::ChannelReal voice;
    voice.mSystem = internal;
    const AURA_REVERB_CHANNELPROPERTIES set = props(-100, -100, 0xF0);
    EXPECT_EQ(voice.setReverbProperties(nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(voice.getReverbProperties(nullptr), AURA_ERR_INVALID_PARAM);
    ASSERT_EQ(voice.setReverbProperties(&set), AURA_OK);
    AURA_REVERB_CHANNELPROPERTIES got = props(1, 2, 0x20);
    ASSERT_EQ(voice.getReverbProperties(&got), AURA_OK);
    expectProps(got, props(1, 2, 0x20));
    for (int c = 0; c < NUM_CHANNELS; ++c) {
        EXPECT_EQ(stored(0, c).Room, 0) << "channel " << c;
    }
}

TEST_F(Reverb, BadIndicesAreRefusedEverywhere)
{
    AURA::ReverbI &r = reverb();
    AURA_REVERB_CHANNELPROPERTIES p = AURA_REVERB_CHANNELPROPERTIES_DEFAULT;
    float gain = 0.0f;
    for (const auto &[instance, channel] : std::vector<std::pair<int, int>>{
             {-1, 0}, {AURA::ReverbI::MAX_INSTANCES, 0}, {0, -1}, {0, NUM_CHANNELS}, {3, NUM_CHANNELS}}) {
        SCOPED_TRACE(testing::Message() << "instance " << instance << ", channel " << channel);
        EXPECT_EQ(r.getChanProperties(instance, channel, &p, nullptr), AURA_ERR_INVALID_PARAM);
        EXPECT_EQ(r.setChanProperties(instance, channel, &p, nullptr), AURA_ERR_INVALID_PARAM);
        EXPECT_EQ(r.resetChanProperties(instance, channel), AURA_ERR_INVALID_PARAM);
        EXPECT_EQ(r.resetConnectionPointer(instance, channel), AURA_ERR_INVALID_PARAM);
        EXPECT_EQ(r.setPresenceGain(instance, channel, 0.5f), AURA_ERR_INVALID_PARAM);
        EXPECT_EQ(r.getPresenceGain(instance, channel, &gain), AURA_ERR_INVALID_PARAM);
    }
    EXPECT_EQ(r.getChanProperties(3, NUM_CHANNELS - 1, &p, nullptr), AURA_OK);
    EXPECT_EQ(r.getPresenceGain(0, 0, nullptr), AURA_ERR_INVALID_PARAM);

}

TEST_F(Reverb, PresenceGainStartsAtOneAndNullArgumentsKeepWhatIsStored)
{
    AURA::ReverbI &r = reverb();
    for (int i = 0; i < AURA::ReverbI::MAX_INSTANCES; ++i) {
        float gain = 0.0f;
        ASSERT_EQ(r.getPresenceGain(i, NUM_CHANNELS - 1, &gain), AURA_OK);
        EXPECT_EQ(gain, 1.0f);
    }
    ASSERT_EQ(r.setPresenceGain(2, 4, 0.25f), AURA_OK);
    float gain = 0.0f;
    ASSERT_EQ(r.getPresenceGain(2, 4, &gain), AURA_OK);
    EXPECT_EQ(gain, 0.25f);
    ASSERT_EQ(r.getPresenceGain(1, 4, &gain), AURA_OK);
    EXPECT_EQ(gain, 1.0f);
    // Resetting the properties leaves the presence gain alone.
    ASSERT_EQ(r.resetChanProperties(2, 4), AURA_OK);
    ASSERT_EQ(r.getPresenceGain(2, 4, &gain), AURA_OK);
    EXPECT_EQ(gain, 0.25f);

    const AURA_REVERB_CHANNELPROPERTIES set = props(-1, -2, 0x40);
    int token = 0;
    auto *connection = reinterpret_cast<AURA::DSPConnectionI *>(&token);
    ASSERT_EQ(r.setChanProperties(2, 1, &set, nullptr), AURA_OK);
    ASSERT_EQ(r.setChanProperties(2, 1, nullptr, connection), AURA_OK);
    AURA::DSPConnectionI *got = nullptr;
    AURA_REVERB_CHANNELPROPERTIES p{};
    ASSERT_EQ(r.getChanProperties(2, 1, &p, &got), AURA_OK);
    expectProps(p, set);
    EXPECT_EQ(got, connection);
    const AURA_REVERB_CHANNELPROPERTIES defaults = AURA::ReverbI::defaultProperties(2);
    ASSERT_EQ(r.setChanProperties(2, 1, &defaults, nullptr), AURA_OK);
    ASSERT_EQ(r.getChanProperties(2, 1, nullptr, &got), AURA_OK);
    EXPECT_EQ(got, connection);
    ASSERT_EQ(r.resetConnectionPointer(2, 1), AURA_OK);
    ASSERT_EQ(r.getChanProperties(2, 1, nullptr, &got), AURA_OK);
    EXPECT_EQ(got, nullptr);
}

TEST(ReverbStore, AFailedSetUpLeavesNothingAllocatedAndNoChannels)
{
    AURA::MemPool *pool = AURA::gGlobal->mMemPool;
    const int64_t before = pool->getStats().blocksInUse;
    AURA::ReverbI reverb;
    pool->failAfter(3); // the third instance's records
    EXPECT_EQ(reverb.init(nullptr, 4), AURA_ERR_MEMORY);
    pool->failAfter(0);
    EXPECT_EQ(pool->getStats().blocksInUse, before);
    float gain = 0.0f;
    EXPECT_EQ(reverb.getPresenceGain(0, 0, &gain), AURA_ERR_INVALID_PARAM);

    ASSERT_EQ(reverb.init(nullptr, 4), AURA_OK);
    ASSERT_EQ(reverb.setPresenceGain(0, 3, 0.5f), AURA_OK);
    // A second set-up resizes and starts over.
    ASSERT_EQ(reverb.init(nullptr, 2), AURA_OK);
    EXPECT_EQ(reverb.getPresenceGain(0, 2, &gain), AURA_ERR_INVALID_PARAM);
    ASSERT_EQ(reverb.getPresenceGain(0, 1, &gain), AURA_OK);
    EXPECT_EQ(gain, 1.0f);
    ASSERT_EQ(reverb.release(), AURA_OK);
    EXPECT_EQ(pool->getStats().blocksInUse, before);
    EXPECT_EQ(reverb.getPresenceGain(0, 1, &gain), AURA_ERR_INVALID_PARAM);
}

} // namespace
