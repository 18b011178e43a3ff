// 3D attenuation heard in renders (rolloff, cones, Doppler, occlusion) and
// virtual channels that keep time on emulated voices and come back with
// their handles, from their advanced positions.
#include "aura.h"
#include "aura.hpp"
#include "channel/aura_channeli.h"
#include "system/aura_systemi.h"
#include "voice/aura_channelreal.h"
#include "systems.h"
#include "threads.h"
#include "tools.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <unordered_map>
#include <vector>

namespace {

using auratest::RenderFormat;
using auratest::WavRender;

constexpr int kRate = 48000;
constexpr int kBlock = 1024;

std::vector<int16_t> sine(double hz, int frames, double amplitude = 0.5)
{
    std::vector<int16_t> out(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        out[static_cast<size_t>(i)] =
            static_cast<int16_t>(std::lround(amplitude * 32767.0 * std::sin(2 * M_PI * hz * i / kRate)));
    }
    return out;
}

double rms(const auratest::Wav &wav, size_t from, size_t to)
{
    double sum = 0.0;
    for (size_t f = from; f < to; ++f) {
        const double v = wav.samples[f * wav.channels];
        sum += v * v;
    }
    return std::sqrt(sum / static_cast<double>(to - from));
}

// Rising zero crossings a second, over the window.
double frequency(const auratest::Wav &wav, size_t from, size_t to)
{
    size_t first = 0;
    size_t last = 0;
    int crossings = -1;
    for (size_t f = from + 1; f < to; ++f) {
        if (wav.samples[(f - 1) * wav.channels] < 0.0f && wav.samples[f * wav.channels] >= 0.0f) {
            last = f;
            if (++crossings == 0) {
                first = f;
            }
        }
    }
    return crossings > 0 ? crossings * static_cast<double>(kRate) / static_cast<double>(last - first) : 0.0;
}

// A looping 1 kHz mono 3D tone, set up by `setup` while paused, rendered for
// 60 blocks; the left channel from block 10 on.
struct Heard {
    double rms;
    double hz;
};
Heard render3D(const std::function<void(AURA::System *, AURA::Channel *)> &setup, unsigned int mode = 0)
{
    RenderFormat format{kRate};
    WavRender render(format);
    static const std::vector<int16_t> tone = sine(1000.0, kRate);
    AURA::Sound *sound = render.sound(tone, 1, kRate, AURA_LOOP_NORMAL | AURA_3D | mode);
    AURA::Channel *channel = render.play(sound, true);
    setup(render.system(), channel);
    EXPECT_EQ(channel->setPaused(false), AURA_OK);
    render.update(60);
    const auratest::Wav wav = render.finish();
    return {rms(wav, 10 * kBlock, 60 * kBlock), frequency(wav, 10 * kBlock, 60 * kBlock)};
}

// The system's update clock made to follow the rendered frames: each
// update below mixes one block, and the clock moves by that block.
long long gFrames = 0;
void followFrames(WavRender &render)
{
    auto *system = static_cast<AURA::SystemI *>(render.system());
    gFrames = 0;
    system->mUpdateClock = [] { return static_cast<unsigned int>(gFrames * 1000 / kRate); };
    system->mLastUpdateMs = 0;
}
void step(WavRender &render, int blocks)
{
    for (int i = 0; i < blocks; ++i) {
        gFrames += kBlock;
        render.update(1);
    }
}

double db(double ratio)
{
    return 20.0 * std::log10(ratio);
}

void placeAt(AURA::Channel *channel, AURA_VECTOR position, AURA_VECTOR velocity = {0, 0, 0})
{
    ASSERT_EQ(channel->set3DAttributes(&position, &velocity), AURA_OK);
}

float quarter(AURA_CHANNEL *, float)
{
    return 0.25f;
}

TEST(Spatial, RolloffConesAndTheGamesCallbackSetTheLevel)
{
    const double reference = render3D([](AURA::System *, AURA::Channel *c) { placeAt(c, {0, 0, 1}); }).rms;
    ASSERT_GT(reference, 0.1);
    static AURA_VECTOR onePoint[1] = {{5.0f, 0.25f, 0.0f}};
    struct Case {
        const char *name;
        unsigned int mode;
        std::function<void(AURA::System *, AURA::Channel *)> setup;
        double expectDb;
    };
    const std::vector<Case> cases{
        {"inverse at 2", 0,
         [](AURA::System *, AURA::Channel *c) {
             placeAt(c, {0, 0, 2});
         },
         -6.0206},
        {"inverse, rolloff scale 0", 0,
         [](AURA::System *s, AURA::Channel *c) {
             ASSERT_EQ(s->set3DSettings(1.0f, 1.0f, 0.0f), AURA_OK);
             placeAt(c, {0, 0, 4});
         },
         0.0},
        {"linear halfway", AURA_3D_LINEARROLLOFF,
         [](AURA::System *, AURA::Channel *c) {
             ASSERT_EQ(c->set3DMinMaxDistance(1.0f, 11.0f), AURA_OK);
             placeAt(c, {0, 0, 6});
         },
         -6.0206},
        {"custom before its point", AURA_3D_CUSTOMROLLOFF,
         [](AURA::System *, AURA::Channel *c) {
             ASSERT_EQ(c->set3DCustomRolloff(onePoint, 1), AURA_OK);
             placeAt(c, {0, 0, 2});
         },
         0.0},
        {"custom beyond its point", AURA_3D_CUSTOMROLLOFF,
         [](AURA::System *, AURA::Channel *c) {
             ASSERT_EQ(c->set3DCustomRolloff(onePoint, 1), AURA_OK);
             placeAt(c, {0, 0, 8});
         },
         -12.0412},
        {"cone facing the listener", 0,
         [](AURA::System *, AURA::Channel *c) {
             ASSERT_EQ(c->set3DConeSettings(90.0f, 180.0f, 0.5f), AURA_OK);
             const AURA_VECTOR towards{0, 0, -1};
             ASSERT_EQ(c->set3DConeOrientation(&towards), AURA_OK);
             placeAt(c, {0, 0, 1});
         },
         0.0},
        {"cone facing away", 0,
         [](AURA::System *, AURA::Channel *c) {
             ASSERT_EQ(c->set3DConeSettings(90.0f, 180.0f, 0.5f), AURA_OK);
             const AURA_VECTOR away{0, 0, 1};
             ASSERT_EQ(c->set3DConeOrientation(&away), AURA_OK);
             placeAt(c, {0, 0, 1});
         },
         -6.0206},
        {"the game's rolloff", 0,
         [](AURA::System *s, AURA::Channel *c) {
             ASSERT_EQ(s->set3DRolloffCallback(quarter), AURA_OK);
             placeAt(c, {0, 0, 1});
         },
         -12.0412},
        {"the game's occlusion", 0,
         [](AURA::System *, AURA::Channel *c) {
             ASSERT_EQ(c->set3DOcclusion(0.6f, 0.0f), AURA_OK);
             placeAt(c, {0, 0, 1});
         },
         db(0.4)},
        {"half 3D at 2", 0,
         [](AURA::System *, AURA::Channel *c) {
             ASSERT_EQ(c->set3DLevel(0.5f), AURA_OK);
             placeAt(c, {0, 0, 2});
         },
         db(0.75)},
    };
    for (const Case &c : cases) {
        const Heard heard = render3D(c.setup, c.mode);
        EXPECT_NEAR(db(heard.rms / reference), c.expectDb, 0.05) << c.name;
    }
}

TEST(Spatial, DopplerShiftsPitchAndAListenerAtTheSourceHearsNone)
{
    const double still = render3D([](AURA::System *, AURA::Channel *c) { placeAt(c, {0, 0, 10}); }).hz;
    EXPECT_NEAR(still, 1000.0, 1.0);
    const double approaching = render3D([](AURA::System *, AURA::Channel *c) {
                                   placeAt(c, {0, 0, 10}, {0, 0, -34});
                               }).hz;
    EXPECT_NEAR(approaching / still, 1.1, 0.0011);
    // Head-relative at the listener's own place: distance 0, the minimum
    // distance's volume and no shift (not NaN).
    const Heard centre = render3D(
        [](AURA::System *, AURA::Channel *c) {
            placeAt(c, {0, 0, 0}, {5, 0, 3});
        },
        AURA_3D_HEADRELATIVE);
    EXPECT_NEAR(centre.hz, still, 1.0);
    EXPECT_GT(centre.rms, 0.1);
}

TEST(Spatial, SortKeysOrderByPriorityThenAudibility)
{
    EXPECT_EQ(AURA::ChannelI::sortKey(128, 1.0f), 128128u);
    EXPECT_EQ(AURA::ChannelI::sortKey(128, 0.5f), 128628u);
    // Louder than 1 at priority 0 does not wrap round to the far end.
    EXPECT_EQ(AURA::ChannelI::sortKey(0, 2.0f), 0u);
    EXPECT_EQ(AURA::ChannelI::sortKey(0, NAN), 1000u);

    WavRender render(RenderFormat{kRate});
    const std::vector<int16_t> tone = sine(1000.0, kRate);
    AURA::Sound *sound = render.sound(tone, 1, kRate, AURA_LOOP_NORMAL);
    AURA::Channel *loud = render.play(sound);
    AURA::Channel *quiet = render.play(sound);
    ASSERT_EQ(quiet->setVolume(0.5f), AURA_OK);
    AURA::ChannelI *li = nullptr;
    AURA::ChannelI *qi = nullptr;
    ASSERT_EQ(AURA::ChannelI::validate(loud, &li), AURA_OK);
    ASSERT_EQ(AURA::ChannelI::validate(quiet, &qi), AURA_OK);
    EXPECT_EQ(li->mSortKey, 128128u);
    EXPECT_EQ(qi->mSortKey, 128628u);
    // Louder goes first; a priority of 200 after any audibility at 128.
    ASSERT_EQ(quiet->setVolume(1.0f), AURA_OK);
    ASSERT_EQ(loud->setPriority(200), AURA_OK);
    auto *system = static_cast<AURA::SystemI *>(render.system());
    EXPECT_EQ(system->mChannelSortedListHead.mNext->mData, qi);
    float audibility = 0.0f;
    ASSERT_EQ(quiet->getAudibility(&audibility), AURA_OK);
    EXPECT_EQ(audibility, 1.0f);
}

// A stereo sound at the output rate goes virtual at volume 0 and comes back
// at volume 1 with its handle, heard bit for bit from where exact playback
// from its start would be.
TEST(Virtual, SilentChannelKeepsTimeAndComesBackWithItsHandle)
{
    RenderFormat format{kRate};
    format.flags = AURA_INIT_VOL0_BECOMES_VIRTUAL;
    format.maxChannels = 4;
    format.softwareChannels = 2;
    WavRender render(format);
    followFrames(render);
    std::mt19937 rng(5);
    std::vector<int16_t> frames(static_cast<size_t>(kRate) * 4 * 2);
    for (int16_t &v : frames) {
        v = static_cast<int16_t>(static_cast<int>(rng() % 40000) - 20000);
    }
    AURA::Sound *sound = render.sound(frames, 2, kRate, AURA_LOOP_OFF);
    AURA::Channel *channel = render.play(sound);
    step(render, 20);
    ASSERT_EQ(channel->setVolume(0.0f), AURA_OK);
    step(render, 1);
    bool isVirtual = false;
    ASSERT_EQ(channel->isVirtual(&isVirtual), AURA_OK);
    EXPECT_TRUE(isVirtual);
    step(render, 60);
    ASSERT_EQ(channel->setVolume(1.0f), AURA_OK);
    step(render, 1); // promoted at the end of this update
    ASSERT_EQ(channel->isVirtual(&isVirtual), AURA_OK);
    EXPECT_FALSE(isVirtual);
    constexpr size_t kBack = 83; // the first block mixed on the new voice
    step(render, 40);
    bool playing = false;
    EXPECT_EQ(channel->isPlaying(&playing), AURA_OK);
    EXPECT_TRUE(playing);
    const auratest::Wav wav = render.finish();
    ASSERT_GE(wav.samples.size(), (kBack + 30) * kBlock * 2);

    // Where the output from block kBack on matches the source exactly.
    const size_t model = kBack * kBlock;
    long found = -1;
    for (long offset = static_cast<long>(model) - 3 * kBlock; offset <= static_cast<long>(model) + 3 * kBlock;
         ++offset) {
        bool same = true;
        for (size_t i = 0; i < 20 * kBlock * 2 && same; ++i) {
            same = wav.samples[kBack * kBlock * 2 + i] ==
                   static_cast<float>(frames[static_cast<size_t>(offset) * 2 + i]) / 32768.0f;
        }
        if (same) {
            found = offset;
            break;
        }
    }
    ASSERT_GE(found, 0) << "the render after the return is not the source";
    EXPECT_LE(std::labs(found - static_cast<long>(model)), kBlock);
}

// End callbacks of the many-channel test: the rendered frame count at
// which each handle's came.
std::unordered_map<uintptr_t, long long> gEndedAt;
AURA_RESULT noteEnd(AURA_CHANNEL *channel, AURA_CHANNEL_CALLBACKTYPE type, void *, void *)
{
    if (type == AURA_CHANNEL_CALLBACKTYPE_END) {
        gEndedAt.emplace(reinterpret_cast<uintptr_t>(channel), gFrames);
    }
    return AURA_OK;
}

// Many more channels than voices: only the most important audible ones are
// mixed, every one keeps exact time, and ends and their callbacks come when
// they are due.
TEST(Virtual, ManyChannelsKeepTimeAndTheLoudestAreMixed)
{
    constexpr int kChannels = 2000;
    constexpr int kVoices = 32;
    constexpr int kUpdates = 2813; // blocks of 1024 frames: 60 s
    RenderFormat format{kRate};
    format.flags = AURA_INIT_VOL0_BECOMES_VIRTUAL;
    format.maxChannels = kChannels;
    format.softwareChannels = kVoices;
    WavRender render(format);
    auto *system = static_cast<AURA::SystemI *>(render.system());
    followFrames(render);
    gEndedAt.clear();

    std::mt19937 rng(26);
    struct Model {
        AURA::Channel *handle;
        long long start; // frame it started at
        unsigned int length;
        bool looping;
        int loops; // loop count: -1 for ever
        int rate;
        bool ended = false;
    };
    // Tones of 0.5 to 20 s made by sox, at rates of a fraction of a sample
    // a millisecond as well.
    auratest::TempDir dir;
    std::vector<AURA::Sound *> sounds;
    constexpr int kSoundRates[3] = {kRate, 44100, 22050};
    for (int s = 0; s < 8; ++s) {
        const bool looping = s % 2 == 1;
        const std::string path = dir.file("tone" + std::to_string(s) + ".wav");
        ASSERT_TRUE(auratest::run("sox -n -r " + std::to_string(kSoundRates[s % 3]) + " -c 1 -b 16 " +
                                  auratest::quote(path) + " synth " + std::to_string(0.5 + 19.5 * s / 7.0) + " sine " +
                                  std::to_string(200 + 50 * s) + " vol 0.05"));
        AURA::Sound *sound = nullptr;
        ASSERT_EQ(render.system()->createSound(path.c_str(), (looping ? AURA_LOOP_NORMAL : AURA_LOOP_OFF) | AURA_3D,
                                               nullptr, &sound),
                  AURA_OK);
        sounds.push_back(sound);
    }
    std::vector<Model> models;
    for (int i = 0; i < kChannels; ++i) {
        const size_t s = rng() % sounds.size();
        AURA::Channel *channel = render.play(sounds[s], true);
        ASSERT_NE(channel, nullptr);
        const int loops = s % 2 == 1 ? static_cast<int>(rng() % 4) : 0;
        ASSERT_EQ(channel->setLoopCount(s % 2 == 1 ? loops : 0), AURA_OK);
        ASSERT_EQ(channel->setPriority(static_cast<int>(rng() % 256)), AURA_OK);
        ASSERT_EQ(channel->setVolume(rng() % 4 == 0 ? 0.0f : static_cast<float>(rng() % 100) / 100.0f), AURA_OK);
        ASSERT_EQ(channel->setCallback(noteEnd), AURA_OK);
        const AURA_VECTOR at{static_cast<float>(rng() % 40) - 20.0f, 0.0f, static_cast<float>(rng() % 40) - 20.0f};
        placeAt(channel, at);
        ASSERT_EQ(channel->setPaused(false), AURA_OK);
        unsigned int length = 0;
        ASSERT_EQ(sounds[s]->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
        models.push_back({channel, gFrames, length, s % 2 == 1, loops, kSoundRates[s % 3]});
    }
    int fullyMixed = 0;
    bool sawSilentVirtual = false;
    long long maxVirtualDiff = 0;
    long long maxRealDiff = 0;
    for (int u = 0; u < kUpdates; ++u) {
        gFrames += kBlock;
        if (u % 10 == 0) {
            // Move some and change some volumes.
            for (int k = 0; k < 20; ++k) {
                Model &m = models[rng() % models.size()];
                const AURA_VECTOR at{static_cast<float>(rng() % 40) - 20.0f, 0.0f,
                                     static_cast<float>(rng() % 40) - 20.0f};
                (void)m.handle->set3DAttributes(&at, nullptr);
                (void)m.handle->setVolume(rng() % 3 == 0 ? 0.0f : 1.0f);
            }
        }
        render.update(1);
        for (Model &m : models) {
            if (m.ended) {
                continue;
            }
            // Sound frames an exact playback has gone through by now, and
            // the output frame at which it ends.
            const long long played = (gFrames - m.start) * m.rate / kRate;
            const long long total = m.looping && m.loops < 0 ? -1 : static_cast<long long>(m.length) * (m.loops + 1);
            const long long due = total < 0 ? -1 : m.start + (total * kRate + m.rate - 1) / m.rate;
            bool playing = false;
            const AURA_RESULT result = m.handle->isPlaying(&playing);
            if (result != AURA_OK || !playing) {
                m.ended = true;
                // The update that ends it is the first after the model's end.
                ASSERT_GE(due, 0);
                ASSERT_GE(gFrames, due) << "ended early at update " << u;
                // A mixed voice's end shows once the block that holds it
                // has been mixed: the next update at the latest.
                ASSERT_LE(gFrames, due + kBlock) << "ended late at update " << u;
                const auto callback = gEndedAt.find(reinterpret_cast<uintptr_t>(m.handle));
                ASSERT_NE(callback, gEndedAt.end()) << "no end callback";
                EXPECT_EQ(callback->second, gFrames);
                continue;
            }
            ASSERT_TRUE(due < 0 || gFrames < due + kBlock) << "still playing at update " << u;
            unsigned int position = 0;
            ASSERT_EQ(m.handle->getPosition(&position, AURA_TIMEUNIT_PCM), AURA_OK);
            const long long expected = m.looping ? played % m.length : std::min<long long>(played, m.length);
            long long diff = std::llabs(static_cast<long long>(position) - expected);
            if (m.looping) {
                diff = std::min(diff, static_cast<long long>(m.length) - diff);
            }
            ASSERT_LE(diff, kBlock) << "update " << u;
            bool onEmulated = false;
            (void)m.handle->isVirtual(&onEmulated);
            (onEmulated ? maxVirtualDiff : maxRealDiff) = std::max(onEmulated ? maxVirtualDiff : maxRealDiff, diff);
        }
        // No audible virtual channel ranks ahead of a real one.
        bool seenVirtual = false;
        int mixed = 0;
        int silentVirtual = 0;
        for (AURA::LinkedListNode *n = system->mChannelSortedListHead.mNext; n != &system->mChannelSortedListHead;
             n = n->mNext) {
            auto *c = static_cast<AURA::ChannelI *>(n->mData);
            if (!c->mNumRealChannels || c->mSortKey == AURA::ChannelI::UNSORTED) {
                continue;
            }
            float audibility = 0.0f;
            (void)c->getAudibilityInternal(&audibility, true);
            const bool virt = c->onEmulatedVoice();
            mixed += virt ? 0 : 1;
            silentVirtual += virt && audibility == 0.0f ? 1 : 0;
            if (virt && audibility > 0.0f) {
                seenVirtual = true;
            } else if (!virt) {
                ASSERT_FALSE(seenVirtual) << "a real channel behind an audible virtual one at update " << u;
            }
        }
        ASSERT_LE(mixed, kVoices);
        fullyMixed += mixed == kVoices ? 1 : 0;
        sawSilentVirtual = sawSilentVirtual || silentVirtual > 0;
    }
    // No drift over the minute: a sample lost an update would have added up
    // to hundreds.
    EXPECT_LE(maxVirtualDiff, 128);
    EXPECT_LE(maxRealDiff, 128);
    // The voices were in demand, and silent channels did go virtual.
    EXPECT_GT(fullyMixed, kUpdates / 2);
    EXPECT_TRUE(sawSilentVirtual);
    int ended = 0;
    for (const Model &m : models) {
        ended += m.ended ? 1 : 0;
    }
    EXPECT_GT(ended, kChannels / 4);
    // Exactly the channels that ended called back, once each.
    EXPECT_EQ(gEndedAt.size(), static_cast<size_t>(ended));
}

} // namespace

namespace {

// A wall of direct occlusion 0.6 between the listener (at the origin,
// facing +z) and a source at z = 1.
AURA::Geometry *wall(AURA::System *system, float direct = 0.6f)
{
    AURA::Geometry *geometry = nullptr;
    EXPECT_EQ(system->createGeometry(&geometry), AURA_OK);
    const AURA_VECTOR square[4] = {{-1, -1, 0.5f}, {1, -1, 0.5f}, {1, 1, 0.5f}, {-1, 1, 0.5f}};
    EXPECT_EQ(geometry->addPolygon(direct, 0.0f, false, 4, square, nullptr), AURA_OK);
    return geometry;
}

TEST(Occlusion, AWallFadesTheSoundInOverTheFadeTime)
{
    const double reference = render3D([](AURA::System *, AURA::Channel *c) { placeAt(c, {0, 0, 1}); }).rms;
    RenderFormat format{kRate};
    WavRender render(format);
    followFrames(render);
    auto *system = static_cast<AURA::SystemI *>(render.system());
    (void)wall(render.system());
    static const std::vector<int16_t> tone = sine(1000.0, kRate);
    AURA::Sound *sound = render.sound(tone, 1, kRate, AURA_LOOP_NORMAL | AURA_3D);
    AURA::Channel *channel = render.play(sound, true);
    placeAt(channel, {0, 0, 1});
    ASSERT_EQ(channel->setPaused(false), AURA_OK);
    AURA::ChannelI *ci = nullptr;
    ASSERT_EQ(AURA::ChannelI::validate(channel, &ci), AURA_OK);
    step(render, 1); // the request goes to the worker
    ASSERT_TRUE(auratest::waitFor(
        [&] { return system->mGeometryMgr.mOcclusionThread.resultWaiting(static_cast<unsigned int>(ci->mIndex)); }));
    // From the update that takes the answer on, the occlusion moves
    // linearly to 0.6 over 500 ms of rendered time.
    long long startFrames = -1;
    int blocks = 1;
    for (; blocks < 100; ++blocks) {
        step(render, 1);
        if (startFrames < 0 && ci->mGeometryDirectTarget > 0.0f) {
            startFrames = gFrames - kBlock; // the clock of the previous update
            EXPECT_NEAR(ci->mGeometryDirectTarget, 0.6f, 1e-6);
        }
        if (startFrames >= 0) {
            const double ms = static_cast<double>((gFrames * 1000 / kRate) - (startFrames * 1000 / kRate));
            EXPECT_NEAR(ci->mGeometryDirect, std::min(0.6, 0.6 * ms / 500.0), 1e-4) << ms;
        }
    }
    ASSERT_GE(startFrames, 0);
    const auratest::Wav wav = render.finish();
    // The last 50 blocks, long after the fade.
    const double occluded = rms(wav, 50 * kBlock, 100 * kBlock);
    EXPECT_NEAR(db(occluded / reference), db(0.4), 0.1);
}

TEST(Occlusion, AnAnswerForAnEarlierSoundIsNotApplied)
{
    RenderFormat format{kRate};
    WavRender render(format);
    followFrames(render);
    auto *system = static_cast<AURA::SystemI *>(render.system());
    (void)wall(render.system());
    static const std::vector<int16_t> tone = sine(1000.0, kRate);
    AURA::Sound *sound = render.sound(tone, 1, kRate, AURA_LOOP_NORMAL | AURA_3D);
    AURA::Channel *first = nullptr;
    ASSERT_EQ(render.system()->playSound(0, sound, true, &first), AURA_OK);
    placeAt(first, {0, 0, 1}); // behind the wall
    ASSERT_EQ(first->setPaused(false), AURA_OK);
    step(render, 1);
    ASSERT_TRUE(auratest::waitFor([&] { return system->mGeometryMgr.mOcclusionThread.resultWaiting(0); }));

    // Another sound on the same channel, in front of the wall.
    AURA::Channel *second = nullptr;
    ASSERT_EQ(render.system()->playSound(0, sound, true, &second), AURA_OK);
    ASSERT_NE(second, first);
    placeAt(second, {0, 0, 0.25f});
    ASSERT_EQ(second->setPaused(false), AURA_OK);
    AURA::ChannelI *ci = nullptr;
    ASSERT_EQ(AURA::ChannelI::validate(second, &ci), AURA_OK);
    step(render, 1);
    EXPECT_EQ(ci->mGeometryDirectTarget, 0.0f);
    // Its own answer comes, and says open; moved behind the wall, it closes.
    ASSERT_TRUE(auratest::waitFor([&] { return system->mGeometryMgr.mOcclusionThread.resultWaiting(0); }));
    step(render, 1);
    EXPECT_EQ(ci->mGeometryDirectTarget, 0.0f);
    placeAt(second, {0, 0, 1});
    step(render, 1);
    ASSERT_TRUE(auratest::waitFor([&] { return system->mGeometryMgr.mOcclusionThread.resultWaiting(0); }));
    step(render, 1);
    EXPECT_NEAR(ci->mGeometryDirectTarget, 0.6f, 1e-6);

    const unsigned int tid = system->mGeometryMgr.mOcclusionThread.threadID();
    ASSERT_NE(tid, 0u);
    EXPECT_EQ(render.release(), AURA_OK);
    EXPECT_FALSE(auratest::taskExists(tid)) << "the geometry thread outlived its system";
}

// A thousand 3D channels ask for occlusion while the game thread moves,
// adds, hides and removes geometry; on the real-time output the mixer runs
// as well. Run under ThreadSanitizer by the threads label.
TEST(OcclusionThreads, ChannelsQueueWhileTheGameEditsGeometry)
{
    AURA_SYSTEM *handle = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND, 1000);
    ASSERT_NE(handle, nullptr);
    auto *system = reinterpret_cast<AURA::System *>(handle);
    static const std::vector<int16_t> tone = sine(500.0, kRate / 4);
    AURA_CREATESOUNDEXINFO exinfo = auratest::userSoundInfo(static_cast<unsigned int>(tone.size() * 2), 1, kRate);
    AURA::Sound *sound = nullptr;
    ASSERT_EQ(system->createSound(nullptr, AURA_OPENUSER | AURA_LOOP_NORMAL | AURA_3D, &exinfo, &sound), AURA_OK);
    std::vector<AURA::Channel *> channels;
    for (int i = 0; i < 1000; ++i) {
        AURA::Channel *channel = nullptr;
        ASSERT_EQ(system->playSound(AURA_CHANNEL_FREE, sound, false, &channel), AURA_OK);
        channels.push_back(channel);
    }
    std::vector<AURA::Geometry *> walls;
    std::mt19937 rng(9);
    auto coordinate = [&] { return static_cast<float>(rng() % 200) / 10.0f - 10.0f; };
    for (int round = 0; round < 60; ++round) {
        for (int k = 0; k < 100; ++k) {
            const AURA_VECTOR at{coordinate(), coordinate(), coordinate()};
            (void)channels[rng() % channels.size()]->set3DAttributes(&at, nullptr);
        }
        const unsigned int edit = rng() % 4;
        if (edit == 0 || walls.empty()) {
            walls.push_back(wall(system, 0.5f));
        } else if (edit == 1) {
            const AURA_VECTOR to{coordinate(), coordinate(), coordinate()};
            EXPECT_EQ(walls[rng() % walls.size()]->setPosition(&to), AURA_OK);
        } else if (edit == 2) {
            EXPECT_EQ(walls[rng() % walls.size()]->setActive(rng() % 2 == 0), AURA_OK);
        } else {
            const size_t i = rng() % walls.size();
            EXPECT_EQ(walls[i]->release(), AURA_OK);
            walls.erase(walls.begin() + static_cast<long>(i));
        }
        ASSERT_EQ(system->update(), AURA_OK);
    }
    // What is left answers as it stands: one wall, once the others are gone.
    for (AURA::Geometry *geometry : walls) {
        EXPECT_EQ(geometry->release(), AURA_OK);
    }
    walls.clear();
    float direct = 0.0f;
    float reverb = 0.0f;
    const AURA_VECTOR listener{0, 0, 0};
    const AURA_VECTOR behind{0, 0, 1};
    walls.push_back(wall(system, 0.5f));
    EXPECT_EQ(system->getGeometryOcclusion(&listener, &behind, &direct, &reverb), AURA_OK);
    EXPECT_NEAR(direct, 0.5f, 1e-6);
    EXPECT_EQ(system->release(), AURA_OK);
}

// Play, stop, volume, move and sound-group volume calls at random on the
// real-time output with few voices: channels go virtual and come back while
// the mixer runs.
TEST(VirtualThreads, RandomCallsOnTheRealTimeOutput)
{
    AURA_SYSTEM *created = nullptr;
    ASSERT_EQ(AURA_System_Create(&created), AURA_OK);
    auto *system = reinterpret_cast<AURA::System *>(created);
    ASSERT_EQ(system->setOutput(AURA_OUTPUTTYPE_NOSOUND), AURA_OK);
    ASSERT_EQ(system->setSoftwareChannels(8), AURA_OK);
    ASSERT_EQ(system->init(64, AURA_INIT_VOL0_BECOMES_VIRTUAL, nullptr), AURA_OK);
    static const std::vector<int16_t> tone = sine(500.0, kRate / 8);
    AURA_CREATESOUNDEXINFO exinfo = auratest::userSoundInfo(static_cast<unsigned int>(tone.size() * 2), 1, kRate);
    AURA::Sound *sound = nullptr;
    ASSERT_EQ(system->createSound(nullptr, AURA_OPENUSER | AURA_LOOP_NORMAL | AURA_3D, &exinfo, &sound), AURA_OK);
    AURA::SoundGroup *group = nullptr;
    ASSERT_EQ(system->createSoundGroup("random", &group), AURA_OK);
    ASSERT_EQ(sound->setSoundGroup(group), AURA_OK);
    std::vector<AURA::Channel *> channels;
    std::mt19937 rng(10);
    int virtualSeen = 0;
    for (int call = 0; call < 10000; ++call) {
        const unsigned int what = rng() % 6;
        if (what == 5) {
            ASSERT_EQ(group->setVolume(static_cast<float>(rng() % 5) / 4.0f), AURA_OK);
            continue;
        }
        if (what == 0 || channels.empty()) {
            AURA::Channel *channel = nullptr;
            const AURA_RESULT result = system->playSound(AURA_CHANNEL_FREE, sound, false, &channel);
            ASSERT_TRUE(result == AURA_OK || result == AURA_ERR_CHANNEL_ALLOC) << result;
            if (channel) {
                channels.push_back(channel);
            }
            continue;
        }
        AURA::Channel *channel = channels[rng() % channels.size()];
        AURA_RESULT result = AURA_OK;
        if (what == 1) {
            result = channel->stop();
        } else if (what == 2) {
            result = channel->setVolume(rng() % 2 ? 0.0f : static_cast<float>(rng() % 10) / 10.0f);
        } else if (what == 3) {
            const AURA_VECTOR at{static_cast<float>(rng() % 50), 0.0f, static_cast<float>(rng() % 50)};
            result = channel->set3DAttributes(&at, nullptr);
        } else {
            bool isVirtual = false;
            result = channel->isVirtual(&isVirtual);
            virtualSeen += isVirtual ? 1 : 0;
        }
        // A stopped or reused channel says so; nothing else fails.
        ASSERT_TRUE(result == AURA_OK || result == AURA_ERR_INVALID_HANDLE || result == AURA_ERR_CHANNEL_STOLEN)
            << result;
        if (call % 50 == 0) {
            ASSERT_EQ(system->update(), AURA_OK);
        }
    }
    EXPECT_GT(virtualSeen, 0);
    EXPECT_EQ(system->release(), AURA_OK);
}

} // namespace

#include "channel/aura_soundgroupi.h"
#include "sound/aura_soundi.h"

namespace {

// Its group's volume scales a channel as it plays, and nothing else does:
// a sound moved into a group, the group's volume changed, the group gone.
// For a sample and for a stream, whose voice plays its ring buffer.
TEST(SoundGroups, TheGroupsVolumeScalesItsPlayingChannels)
{
    auratest::TempDir dir;
    const std::string path = dir.file("tone.wav");
    ASSERT_TRUE(auratest::run("sox -n -r " + std::to_string(kRate) + " -c 1 -b 16 " + auratest::quote(path) +
                              " synth 1 sine 1000 vol 0.5"));
    for (const bool stream : {false, true}) {
        SCOPED_TRACE(stream ? "stream" : "sample");
        RenderFormat format{kRate};
        WavRender render(format);
        AURA::System *system = render.system();
        AURA::Sound *sound = nullptr;
        ASSERT_EQ(stream ? system->createStream(path.c_str(), AURA_LOOP_NORMAL, nullptr, &sound)
                         : system->createSound(path.c_str(), AURA_LOOP_NORMAL, nullptr, &sound),
                  AURA_OK);
        AURA::SoundGroup *group = nullptr;
        ASSERT_EQ(system->createSoundGroup("effects", &group), AURA_OK);
        ASSERT_NE(group, nullptr);
        render.play(sound);

        // Each step's level, rendered over 20 blocks once its ramp has run.
        struct Step {
            std::function<AURA_RESULT()> change;
            double gain; // against the first step
        };
        const std::vector<Step> steps = {
            {[] { return AURA_OK; }, 1.0},
            {[&] { return group->setVolume(0.5f); }, 1.0}, // no sound in it yet
            {[&] { return sound->setSoundGroup(group); }, 0.5},
            {[&] { return group->setVolume(0.25f); }, 0.25},
            {[&] { return sound->setSoundGroup(nullptr); }, 1.0},
            {[&] { return sound->setSoundGroup(group); }, 0.25},
            {[&] { return group->release(); }, 1.0},
        };
        for (const Step &s : steps) {
            ASSERT_EQ(s.change(), AURA_OK);
            render.update(22);
        }
        const auratest::Wav wav = render.finish();
        const double reference = rms(wav, 2 * kBlock, 22 * kBlock);
        ASSERT_GT(reference, 0.05);
        for (size_t i = 0; i < steps.size(); ++i) {
            const size_t from = (i * 22 + 2) * kBlock;
            EXPECT_NEAR(rms(wav, from, from + 20 * kBlock) / reference, steps[i].gain, 1e-3) << "step " << i;
        }
    }
}

TEST(SoundGroups, RefusalsAndTheCInterface)
{
    RenderFormat format{kRate};
    WavRender render(format);
    AURA_SOUNDGROUP *group = nullptr;
    ASSERT_EQ(AURA_System_CreateSoundGroup(render.handle(), nullptr, &group), AURA_OK);
    float volume = 0.0f;
    ASSERT_EQ(AURA_SoundGroup_GetVolume(group, &volume), AURA_OK);
    EXPECT_EQ(volume, 1.0f);
    EXPECT_EQ(AURA_SoundGroup_SetVolume(group, 3.0f), AURA_OK);
    ASSERT_EQ(AURA_SoundGroup_GetVolume(group, &volume), AURA_OK);
    EXPECT_EQ(volume, 1.0f);
    EXPECT_EQ(AURA_SoundGroup_SetVolume(group, -1.0f), AURA_OK);
    ASSERT_EQ(AURA_SoundGroup_GetVolume(group, &volume), AURA_OK);
    EXPECT_EQ(volume, 0.0f);
    EXPECT_EQ(AURA_SoundGroup_SetVolume(group, std::nanf("")), AURA_ERR_INVALID_FLOAT);
    EXPECT_EQ(AURA_SoundGroup_GetVolume(group, nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(AURA_System_CreateSoundGroup(render.handle(), "x", nullptr), AURA_ERR_INVALID_PARAM);

    // A group of another system is not this sound's.
    WavRender other(format);
    AURA::SoundGroup *foreign = nullptr;
    ASSERT_EQ(other.system()->createSoundGroup("other", &foreign), AURA_OK);
    static const std::vector<int16_t> tone = sine(1000.0, kRate / 10);
    AURA::Sound *sound = render.sound(tone, 1, kRate);
    EXPECT_EQ(sound->setSoundGroup(foreign), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(AURA_Sound_SetSoundGroup(reinterpret_cast<AURA_SOUND *>(sound), group), AURA_OK);

    // Released: the handle is refused, the sound is in no group, and a
    // system released with groups and grouped sounds frees them all.
    EXPECT_EQ(AURA_SoundGroup_Release(group), AURA_OK);
    EXPECT_EQ(AURA_SoundGroup_Release(group), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(AURA_SoundGroup_SetVolume(group, 0.5f), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(static_cast<AURA::SoundI *>(sound)->mSoundGroup.load(), nullptr);
    EXPECT_EQ(sound->setSoundGroup(nullptr), AURA_OK);
    AURA::SoundGroup *kept = nullptr;
    ASSERT_EQ(render.system()->createSoundGroup("kept", &kept), AURA_OK);
    EXPECT_EQ(sound->setSoundGroup(kept), AURA_OK);
    EXPECT_EQ(render.release(), AURA_OK);
    EXPECT_EQ(kept->setVolume(0.5f), AURA_ERR_INVALID_PARAM);
}

// The channels of a group's sounds in the group's list, by audibility
// before fades; the most recently played group first in the system's list.
TEST(SoundGroups, ListsFollowAudibilityAndPlays)
{
    RenderFormat format{kRate};
    WavRender render(format);
    auto *system = static_cast<AURA::SystemI *>(render.system());
    static const std::vector<int16_t> tone = sine(1000.0, kRate);
    AURA::Sound *a = render.sound(tone, 1, kRate, AURA_LOOP_NORMAL);
    AURA::Sound *b = render.sound(tone, 1, kRate, AURA_LOOP_NORMAL);
    AURA::SoundGroup *first = nullptr;
    AURA::SoundGroup *second = nullptr;
    ASSERT_EQ(render.system()->createSoundGroup("first", &first), AURA_OK);
    ASSERT_EQ(render.system()->createSoundGroup("second", &second), AURA_OK);
    ASSERT_EQ(a->setSoundGroup(first), AURA_OK);
    ASSERT_EQ(b->setSoundGroup(second), AURA_OK);
    auto *firstI = static_cast<AURA::SoundGroupI *>(first);
    auto *secondI = static_cast<AURA::SoundGroupI *>(second);

    auto listed = [](AURA::SoundGroupI *group) {
        std::vector<AURA::ChannelI *> out;
        for (AURA::LinkedListNode *n = group->mChannelListHead.mNext; n != &group->mChannelListHead; n = n->mNext) {
            out.push_back(static_cast<AURA::ChannelI *>(n->mData));
        }
        return out;
    };
    auto frontGroup = [&] { return static_cast<AURA::SoundGroupI *>(system->mSoundGroupHead.mNext->mData); };
    auto inner = [](AURA::Channel *channel) {
        AURA::ChannelI *ci = nullptr;
        EXPECT_EQ(AURA::ChannelI::validate(channel, &ci), AURA_OK);
        return ci;
    };

    AURA::Channel *quiet = render.play(a, true);
    ASSERT_EQ(quiet->setVolume(0.3f), AURA_OK);
    EXPECT_EQ(frontGroup(), firstI);
    AURA::Channel *other = render.play(b);
    EXPECT_EQ(frontGroup(), secondI);
    AURA::Channel *loud = render.play(a);
    EXPECT_EQ(frontGroup(), firstI);
    ASSERT_EQ(loud->setVolume(0.9f), AURA_OK);
    EXPECT_EQ(listed(firstI), (std::vector{inner(loud), inner(quiet)}));
    EXPECT_EQ(listed(secondI), (std::vector{inner(other)}));
    // Louder now than the other: ahead of it. Equal keys keep their order.
    ASSERT_EQ(quiet->setVolume(1.0f), AURA_OK);
    EXPECT_EQ(listed(firstI), (std::vector{inner(quiet), inner(loud)}));
    ASSERT_EQ(loud->setVolume(1.0f), AURA_OK);
    EXPECT_EQ(listed(firstI), (std::vector{inner(quiet), inner(loud)}));
    // A sound moved to another group takes its channels along.
    ASSERT_EQ(b->setSoundGroup(first), AURA_OK);
    EXPECT_EQ(listed(firstI), (std::vector{inner(quiet), inner(loud), inner(other)}));
    EXPECT_TRUE(listed(secondI).empty());
    // Stopped channels leave the list; a finished one is last until then.
    ASSERT_EQ(quiet->stop(), AURA_OK);
    EXPECT_EQ(listed(firstI), (std::vector{inner(loud), inner(other)}));
    ASSERT_EQ(first->release(), AURA_OK);
    EXPECT_EQ(inner(loud)->soundGroup(), nullptr);
    EXPECT_TRUE(inner(loud)->mSoundGroupNode.isEmpty());
    EXPECT_EQ(frontGroup(), secondI);
    // A released sound leaves its group.
    ASSERT_EQ(b->setSoundGroup(second), AURA_OK);
    ASSERT_EQ(b->release(), AURA_OK);
    EXPECT_TRUE(secondI->mSoundHead.isEmpty());
    EXPECT_TRUE(secondI->mChannelListHead.isEmpty());
}

// White noise behind occlusion: a gain without software occlusion; with it,
// a low-pass whose cut-off falls with the open part of the path, the low
// band kept at its level.
TEST(Occlusion, SoftwareOcclusionFiltersInsteadOfAttenuating)
{
    std::mt19937 rng(71);
    std::vector<int16_t> noise(static_cast<size_t>(kRate));
    for (int16_t &v : noise) {
        v = static_cast<int16_t>(static_cast<int>(rng() % 20000) - 10000);
    }
    // The whole level, the level of the band below ~700 Hz (a 32-sample
    // moving average) and the share of the top (first differences).
    struct Bands {
        double all, low, top;
    };
    auto bands = [](const auratest::Wav &wav, size_t from, size_t to) {
        double all = 0, low = 0, top = 0;
        for (size_t f = from; f < to; ++f) {
            const auto at = [&](size_t i) { return static_cast<double>(wav.samples[i * wav.channels]); };
            double mean = 0;
            for (size_t k = 0; k < 32; ++k) {
                mean += at(f - k) / 32.0;
            }
            all += at(f) * at(f);
            low += mean * mean;
            top += (at(f) - at(f - 1)) * (at(f) - at(f - 1));
        }
        return Bands{std::sqrt(all), std::sqrt(low), std::sqrt(top / all)};
    };
    for (const unsigned int flags : {AURA_INIT_NORMAL, AURA_INIT_SOFTWARE_OCCLUSION}) {
        SCOPED_TRACE(flags);
        RenderFormat format{kRate};
        format.flags = flags;
        WavRender render(format);
        AURA::Sound *sound = render.sound(noise, 1, kRate, AURA_LOOP_NORMAL | AURA_3D);
        AURA::Channel *channel = render.play(sound, true);
        placeAt(channel, {0, 0, 1});
        ASSERT_EQ(channel->setPaused(false), AURA_OK);
        render.update(20);
        ASSERT_EQ(channel->set3DOcclusion(0.5f, 0.0f), AURA_OK);
        render.update(20);
        const auratest::Wav wav = render.finish();
        const Bands open = bands(wav, 4 * kBlock, 20 * kBlock);
        const Bands shut = bands(wav, 24 * kBlock, 40 * kBlock);
        ASSERT_GT(open.all, 1.0);
        if (flags == AURA_INIT_NORMAL) {
            EXPECT_NEAR(shut.all / open.all, 0.5, 0.01);
            EXPECT_NEAR(shut.top / open.top, 1.0, 0.02);
        } else {
            EXPECT_LT(shut.top / open.top, 0.6);
            EXPECT_NEAR(shut.low / open.low, 1.0, 0.1);
        }
    }
}

} // namespace
