// Virtual channels under the outputs that mix one block per update: the
// time an update covers is the block it mixed, not the wall clock, so a
// channel that is virtual keeps the place of one that is heard, comes back
// there, and ends in the same update. Through the public interface only.
#include "aura.h"
#include "aura.hpp"
#include "files.h"
#include "systems.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// A system on a non-real-time output at its default format, with volume-0
// channels made virtual.
class NrtSystem {
public:
    explicit NrtSystem(AURA_OUTPUTTYPE output, int maxChannels = 8)
    {
        EXPECT_EQ(AURA::System_Create(&mSystem), AURA_OK);
        if (!mSystem) {
            return;
        }
        EXPECT_EQ(mSystem->setOutput(output), AURA_OK);
        std::string path = mDir.file("render.wav");
        EXPECT_EQ(mSystem->init(maxChannels, AURA_INIT_VOL0_BECOMES_VIRTUAL,
                                output == AURA_OUTPUTTYPE_WAVWRITER_NRT ? path.data() : nullptr),
                  AURA_OK);
        unsigned int block = 0;
        int blocks = 0;
        EXPECT_EQ(mSystem->getDSPBufferSize(&block, &blocks), AURA_OK);
        mBlock = block;
        EXPECT_EQ(mSystem->getSoftwareFormat(&mRate, nullptr, nullptr, nullptr, nullptr, nullptr), AURA_OK);
    }
    ~NrtSystem()
    {
        if (mSystem) {
            EXPECT_EQ(mSystem->release(), AURA_OK);
        }
    }
    NrtSystem(const NrtSystem &) = delete;
    NrtSystem &operator=(const NrtSystem &) = delete;

    // A stereo sound of `frames` frames at `rate` that is never silent.
    AURA::Sound *sound(unsigned int frames, int rate)
    {
        AURA_CREATESOUNDEXINFO exinfo = auratest::userSoundInfo(frames * 4, 2, rate);
        AURA::Sound *made = nullptr;
        EXPECT_EQ(mSystem->createSound(nullptr, AURA_OPENUSER | AURA_LOOP_OFF, &exinfo, &made), AURA_OK);
        if (!made) {
            return nullptr;
        }
        void *data = nullptr;
        unsigned int length = 0;
        EXPECT_EQ(made->lock(0, exinfo.length, &data, nullptr, &length, nullptr), AURA_OK);
        auto *pcm = static_cast<int16_t *>(data);
        for (unsigned int i = 0; i < length / 2; ++i) {
            pcm[i] = static_cast<int16_t>(((i * 7919u) % 20000u) + 1000u);
        }
        EXPECT_EQ(made->unlock(data, nullptr, length, 0), AURA_OK);
        return made;
    }

    AURA::Channel *play(AURA::Sound *sound, float volume)
    {
        AURA::Channel *channel = nullptr;
        EXPECT_EQ(mSystem->playSound(AURA_CHANNEL_FREE, sound, true, &channel), AURA_OK);
        if (channel) {
            EXPECT_EQ(channel->setVolume(volume), AURA_OK);
            EXPECT_EQ(channel->setPaused(false), AURA_OK);
        }
        return channel;
    }

    AURA::System *operator->() const { return mSystem; }
    [[nodiscard]] unsigned int block() const { return mBlock; }
    [[nodiscard]] int rate() const { return mRate; }

private:
    auratest::TempDir mDir{"aura-virtual-time"};
    AURA::System *mSystem = nullptr;
    unsigned int mBlock = 0;
    int mRate = 0;
};

unsigned int positionOf(AURA::Channel *channel)
{
    unsigned int position = 0;
    EXPECT_EQ(channel->getPosition(&position, AURA_TIMEUNIT_PCM), AURA_OK);
    return position;
}

bool isVirtual(AURA::Channel *channel)
{
    bool result = false;
    EXPECT_EQ(channel->isVirtual(&result), AURA_OK);
    return result;
}

struct Output {
    const char *name;
    AURA_OUTPUTTYPE type;
};
constexpr Output kOutputs[] = {{"wav writer", AURA_OUTPUTTYPE_WAVWRITER_NRT},
                               {"no sound", AURA_OUTPUTTYPE_NOSOUND_NRT}};

// One channel heard, one at volume 0: both at the mixed time after 100
// updates, and still together after the silent one came back and went
// virtual again during the render.
TEST(VirtualTime, AVirtualChannelKeepsTheMixedTime)
{
    for (const Output &output : kOutputs) {
        SCOPED_TRACE(output.name);
        NrtSystem system(output.type);
        ASSERT_GT(system.block(), 0u);
        AURA::Sound *sound = system.sound(static_cast<unsigned int>(system.rate()) * 20, system.rate());
        ASSERT_NE(sound, nullptr);
        AURA::Channel *heard = system.play(sound, 1.0f);
        AURA::Channel *silent = system.play(sound, 0.0f);
        ASSERT_NE(heard, nullptr);
        ASSERT_NE(silent, nullptr);
        unsigned int updates = 0;
        const auto run = [&](unsigned int count) {
            for (unsigned int i = 0; i < count; ++i, ++updates) {
                ASSERT_EQ(system->update(), AURA_OK);
            }
        };
        run(100);
        EXPECT_TRUE(isVirtual(silent));
        EXPECT_EQ(positionOf(heard), updates * system.block());
        EXPECT_EQ(positionOf(silent), positionOf(heard));

        ASSERT_EQ(silent->setVolume(1.0f), AURA_OK);
        run(1);
        EXPECT_FALSE(isVirtual(silent));
        run(30);
        EXPECT_EQ(positionOf(silent), positionOf(heard));
        ASSERT_EQ(silent->setVolume(0.0f), AURA_OK);
        run(37);
        EXPECT_TRUE(isVirtual(silent));
        EXPECT_EQ(positionOf(heard), updates * system.block());
        EXPECT_EQ(positionOf(silent), positionOf(heard));
    }
}

// The update in which each channel's end callback came.
struct Ends {
    static inline int sUpdate = 0;
    static inline std::vector<std::pair<AURA_CHANNEL *, int>> sSeen;
    static AURA_RESULT callback(AURA_CHANNEL *channel, AURA_CHANNEL_CALLBACKTYPE type, void *, void *)
    {
        if (type == AURA_CHANNEL_CALLBACKTYPE_END) {
            sSeen.emplace_back(channel, sUpdate);
        }
        return AURA_OK;
    }
    static int of(AURA::Channel *channel)
    {
        for (const auto &[who, when] : sSeen) {
            if (who == reinterpret_cast<AURA_CHANNEL *>(channel)) {
                return when;
            }
        }
        return -1;
    }
};

// A sound that ends inside an update: the virtual channel's end comes in the
// same update as the heard one's, at the sound's own rate and at another.
TEST(VirtualTime, AVirtualChannelEndsInTheUpdateItsSoundEnds)
{
    for (const Output &output : kOutputs) {
        NrtSystem system(output.type);
        ASSERT_GT(system.block(), 0u);
        const unsigned int block = system.block();
        for (int rate : {system.rate(), 44100, 22050}) {
            for (unsigned int frames : {40 * block + block / 2, 7 * block + 100}) {
                SCOPED_TRACE(std::string(output.name) + " rate " + std::to_string(rate) + " frames " +
                             std::to_string(frames));
                AURA::Sound *sound = system.sound(frames, rate);
                ASSERT_NE(sound, nullptr);
                AURA::Channel *heard = system.play(sound, 1.0f);
                AURA::Channel *silent = system.play(sound, 0.0f);
                ASSERT_EQ(heard->setCallback(&Ends::callback), AURA_OK);
                ASSERT_EQ(silent->setCallback(&Ends::callback), AURA_OK);
                Ends::sSeen.clear();
                // The mixed time the sound lasts, in whole updates.
                const double updatesLong = static_cast<double>(frames) / rate * system.rate() / block;
                for (Ends::sUpdate = 1; Ends::sUpdate <= 200 && Ends::sSeen.size() < 2; ++Ends::sUpdate) {
                    ASSERT_EQ(system->update(), AURA_OK);
                }
                EXPECT_EQ(Ends::of(silent), Ends::of(heard));
                EXPECT_NEAR(Ends::of(heard), updatesLong, 1.5);
                EXPECT_EQ(sound->release(), AURA_OK);
            }
        }
    }
}

} // namespace
