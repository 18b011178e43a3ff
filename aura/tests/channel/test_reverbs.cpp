// The three kinds of reverb on rendered mixes: the global reverb, the 3D
// (ambient) reverb and user reverbs placed in the world; where 2D and 3D
// sounds send, a user reverb's reach, the speaker levels of the sends, and
// releasing what voices send to while the mixer runs.
#include "reverb_rooms.h"
#include "sine_analysis.h"
#include "systems.h"
#include "threads.h"
#include "wav.h"

#include "channel/aura_channeli.h"
#include "channel/aura_reverbi.h"
#include "dsp/aura_dsp_connectioni.h"
#include "system/aura_systemi.h"
#include "voice/aura_channelsoftware.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kRate = 44100;

// The generic room at full level, decaying in a second.
AURA_REVERB_PROPERTIES room()
{
    AURA_REVERB_PROPERTIES p = auratest::genericRoom();
    p.Room = 0;
    p.DecayTime = 1.0f;
    return p;
}

AURA::SystemI *internals(AURA::System *system)
{
    AURA::SystemI *s = nullptr;
    EXPECT_EQ(AURA::SystemI::validate(system, &s), AURA_OK);
    return s;
}

AURA::ChannelI *internals(AURA::Channel *channel)
{
    AURA::ChannelI *c = nullptr;
    EXPECT_EQ(AURA::ChannelI::validate(channel, &c), AURA_OK);
    return c;
}

int indexOf(AURA::Channel *channel)
{
    AURA::ChannelI *c = internals(channel);
    return c ? c->mIndex : -1;
}

// The level of a channel's send into a reverb's instance 0; -1 without one.
float sendLevel(AURA::ReverbI &reverb, AURA::Channel *channel)
{
    AURA::DSPConnectionI *connection = nullptr;
    EXPECT_EQ(reverb.getChanProperties(0, indexOf(channel), nullptr, &connection), AURA_OK);
    float level = -1.0f;
    if (connection) {
        EXPECT_EQ(connection->getMix(&level), AURA_OK);
    }
    return level;
}

// Energy of each side of a render's tail, after the burst has ended.
struct Tail {
    double left = 0.0;
    double right = 0.0;
    [[nodiscard]] double dB() const { return 10.0 * std::log10((left + right) / 2.0); }
};

Tail tailOf(const auratest::Wav &wav)
{
    Tail tail;
    for (size_t f = kRate / 5; f < std::min<size_t>(wav.frames(), kRate * 7 / 10); ++f) {
        tail.left += static_cast<double>(wav.at(f, 0)) * wav.at(f, 0);
        tail.right += static_cast<double>(wav.at(f, 1)) * wav.at(f, 1);
    }
    return tail;
}

enum class Kind { Global, ThreeD, User };

// Gives a system the generic room as one kind of reverb (a user reverb at
// `at`, heard fully within mindistance and not beyond maxdistance); the
// reverb that holds the channels' sends.
AURA::ReverbI *addReverb(AURA::System *system, Kind kind, AURA_VECTOR at = AURA_VECTOR{0.0f, 0.0f, 0.0f},
                         float mindistance = 2.0f, float maxdistance = 10.0f)
{
    AURA::SystemI *internal = internals(system);
    AURA_REVERB_PROPERTIES props = room();
    if (kind == Kind::Global) {
        EXPECT_EQ(system->setReverbProperties(&props), AURA_OK);
        return &internal->mReverbGlobal;
    }
    if (kind == Kind::ThreeD) {
        EXPECT_EQ(system->setReverbAmbientProperties(&props), AURA_OK);
        return &internal->mReverb3D;
    }
    AURA::Reverb *reverb = nullptr;
    EXPECT_EQ(system->createReverb(&reverb), AURA_OK);
    EXPECT_EQ(reverb->set3DAttributes(&at, mindistance, maxdistance), AURA_OK);
    EXPECT_EQ(reverb->setProperties(&props), AURA_OK);
    return static_cast<AURA::ReverbI *>(reverb);
}

// A 50 ms burst rendered through one kind of reverb; `place` sets up the
// played channel (its position, pan or levels) before it starts.
template <class Place>
Tail render(Kind kind, bool threeD, Place &&place, float floor = 0.0f,
            AURA_VECTOR reverbAt = AURA_VECTOR{0.0f, 0.0f, 0.0f}, float mindistance = 2.0f, float maxdistance = 10.0f)
{
    auratest::WavRender r;
    AURA::ReverbI *reverb = addReverb(r.system(), kind, reverbAt, mindistance, maxdistance);
    if (kind == Kind::User) {
        reverb->mGainFloor = floor;
    }
    AURA::Sound *sound = r.sound(auratest::sine(kRate / 20, 440.0, kRate, 16000.0), 1, kRate,
                                 AURA_LOOP_OFF | (threeD ? AURA_3D : AURA_2D));
    AURA::Channel *channel = r.play(sound, true);
    place(channel);
    EXPECT_EQ(channel->setPaused(false), AURA_OK);

    r.update(32);
    return tailOf(r.finish());
}

// A channel that follows the listener, at its place: the distance volume
// stays 1 while the listener (and the sound) move about the reverbs.
auto atListener(float x, float z)
{
    return [x, z](AURA::Channel *channel) {
        AURA::ChannelI *c = internals(channel);
        ASSERT_NE(c, nullptr);
        const AURA_VECTOR at{x, 0.0f, z};
        ASSERT_EQ(c->mSystem->set3DListenerAttributesInternal(0, &at, nullptr, nullptr, nullptr), AURA_OK);
        ASSERT_EQ(c->setMode(AURA_3D | AURA_3D_HEADRELATIVE), AURA_OK);
        const AURA_VECTOR origin{0.0f, 0.0f, 0.0f};
        ASSERT_EQ(channel->set3DAttributes(&origin, nullptr), AURA_OK);
        ASSERT_EQ(c->mSystem->updateInternal(), AURA_OK);
    };
}

TEST(Reverbs, ThreeDSoundsSendToThe3DReverbAndTwoDSoundsToTheGlobalOne)
{
    auratest::WavRender r;
    AURA::System *system = r.system();
    AURA::SystemI *internal = internals(system);
    AURA_REVERB_PROPERTIES props = room();
    ASSERT_EQ(system->setReverbProperties(&props), AURA_OK);
    AURA::Sound *flat = r.sound(auratest::sine(kRate, 440.0, kRate), 1, kRate, AURA_LOOP_OFF | AURA_2D);
    AURA::Sound *spatial = r.sound(auratest::sine(kRate, 440.0, kRate), 1, kRate, AURA_LOOP_OFF | AURA_3D);
    AURA::Channel *twoD = r.play(flat);
    AURA::Channel *threeD = r.play(spatial);
    // No ambient reverb: both send to the global reverb; none to the 3D one.
    EXPECT_GT(sendLevel(internal->mReverbGlobal, twoD), 0.5f);
    EXPECT_GT(sendLevel(internal->mReverbGlobal, threeD), 0.5f);
    EXPECT_EQ(internal->mReverb3D.mInstance[0].mDSP, nullptr);

    ASSERT_EQ(system->setReverbAmbientProperties(&props), AURA_OK);
    ASSERT_NE(internal->mReverb3D.mInstance[0].mDSP, nullptr);
    // The playing channels joined it at once.
    EXPECT_GT(sendLevel(internal->mReverbGlobal, twoD), 0.5f);
    EXPECT_EQ(sendLevel(internal->mReverb3D, twoD), 0.0f);
    EXPECT_EQ(sendLevel(internal->mReverbGlobal, threeD), 0.0f);
    EXPECT_GT(sendLevel(internal->mReverb3D, threeD), 0.5f);
    AURA_REVERB_PROPERTIES read{};
    ASSERT_EQ(AURA_System_GetReverbAmbientProperties(r.handle(), &read), AURA_OK);
    EXPECT_EQ(read.DecayTime, props.DecayTime);

    // The properties' direct level scales the direct path.
    auto *voice = static_cast<AURA::ChannelSoftware *>(internals(twoD)->mRealChannel[0]);
    float before = 0.0f;
    float after = 0.0f;
    ASSERT_EQ(voice->mDSPConnection->getMix(&before), AURA_OK);
    AURA_REVERB_CHANNELPROPERTIES direct = AURA_REVERB_CHANNELPROPERTIES_DEFAULT;
    direct.Direct = -2000;
    ASSERT_EQ(twoD->setReverbProperties(&direct), AURA_OK);
    ASSERT_EQ(voice->mDSPConnection->getMix(&after), AURA_OK);
    EXPECT_NEAR(after, before * 0.1f, 1e-6f);

    // Turned off, 3D sounds go back to the global reverb.
    ASSERT_EQ(internal->set3DReverbActive(false), AURA_OK);
    EXPECT_GT(sendLevel(internal->mReverbGlobal, threeD), 0.5f);
    r.update(2);

    // And in the mix: with only the 3D reverb, a 2D sound leaves no tail and
    // a 3D one does; with only the global reverb both do.
    const auto still = [](AURA::Channel *) {};
    EXPECT_LT(render(Kind::ThreeD, false, still).left, 1e-12);
    EXPECT_GT(render(Kind::ThreeD, true, still).left, 1e-3);
    EXPECT_GT(render(Kind::Global, true, still).left, 1e-3);
    EXPECT_LT(render(Kind::User, false, still).left, 1e-12);
}

// Presence: full within mindistance (2), linear to nothing at maxdistance
// (10), the gain floor beyond; measured on the tail, against the tail of a
// channel at the reverb.
TEST(Reverbs, AUserReverbsReachFollowsItsPresenceCurve)
{
    constexpr float kFloor = 0.1f;
    const double full = render(Kind::User, true, atListener(0.0f, 0.0f), kFloor).dB();
    ASSERT_GT(full, -60.0);
    struct Case {
        float distance;
        double presence;
    };
    for (const Case c : {Case{1.5f, 1.0}, Case{4.0f, 0.75}, Case{6.0f, 0.5}, Case{9.0f, 0.125}, Case{12.0f, kFloor},
                         Case{100.0f, kFloor}}) {
        const double level = render(Kind::User, true, atListener(0.0f, c.distance), kFloor).dB();
        EXPECT_NEAR(level - full, 20.0 * std::log10(c.presence), 0.5) << "at " << c.distance;
    }
    // Moving out of reach takes the send down to the floor: it does not keep
    // the gain it had inside (two moves: the burst starts a block later).
    const auto move = [](float z) {
        return [z](AURA::Channel *channel) {
            atListener(0.0f, 0.0f)(channel);
            atListener(0.0f, z)(channel);
        };
    };
    EXPECT_NEAR(render(Kind::User, true, move(50.0f), kFloor).dB() - render(Kind::User, true, move(0.0f), kFloor).dB(),
                -20.0, 0.5);
}

// Hard left through setPan, setSpeakerMix and setSpeakerLevels for every
// kind of reverb (a 2D sound into the global reverb; a 3D sound panned as a
// 2D one, 3D level 0, into the 3D and a user reverb), and a 3D sound placed
// to the listener's left: the tail is at least 20 dB louder on the left.
TEST(Reverbs, HardLeftSoundsRingOnTheLeft)
{
    using Place = void (*)(AURA::Channel *);
    const Place pan = [](AURA::Channel *channel) { ASSERT_EQ(channel->setPan(-1.0f), AURA_OK); };
    const Place mix = [](AURA::Channel *channel) {
        ASSERT_EQ(internals(channel)->setSpeakerMix(1.0f, 0.0f, 0, 0, 0, 0, 0, 0), AURA_OK);
    };
    const Place levels = [](AURA::Channel *channel) {
        const float on = 1.0f;
        const float off = 0.0f;
        ASSERT_EQ(internals(channel)->setSpeakerLevels(AURA_SPEAKER_FRONT_LEFT, &on, 1), AURA_OK);
        ASSERT_EQ(internals(channel)->setSpeakerLevels(AURA_SPEAKER_FRONT_RIGHT, &off, 1), AURA_OK);
    };
    const Place left = [](AURA::Channel *channel) {
        const AURA_VECTOR at{-3.0f, 0.0f, 0.0f};
        ASSERT_EQ(channel->set3DAttributes(&at, nullptr), AURA_OK);
    };
    struct Way {
        const char *name;
        Place place;
    };
    const Way ways[] = {{"setPan", pan}, {"setSpeakerMix", mix}, {"setSpeakerLevels", levels}};
    struct Case {
        std::string name;
        Tail tail;
    };
    std::vector<Case> cases;
    for (const Way &way : ways) {
        cases.push_back({std::string("global, ") + way.name, render(Kind::Global, false, way.place)});
        for (const Kind kind : {Kind::ThreeD, Kind::User}) {
            const Place place = way.place;
            const auto flat = [place](AURA::Channel *channel) {
                const AURA_VECTOR ahead{0.0f, 0.0f, 1.0f};
                ASSERT_EQ(channel->set3DAttributes(&ahead, nullptr), AURA_OK);
                ASSERT_EQ(channel->set3DLevel(0.0f), AURA_OK);
                place(channel);
            };
            cases.push_back({std::string(kind == Kind::ThreeD ? "3D reverb, " : "user reverb, ") + way.name,
                             render(kind, true, flat)});
        }
    }
    cases.push_back({"3D reverb, placed left", render(Kind::ThreeD, true, left)});
    cases.push_back({"user reverb, placed left", render(Kind::User, true, left)});
    for (const Case &c : cases) {
        ASSERT_GT(c.tail.left, 1e-4) << c.name;
        EXPECT_GT(10.0 * std::log10(c.tail.left / std::max(c.tail.right, 1e-30)), 20.0) << c.name;
    }
    // Centred, both sides ring (each from its own lines of the network).
    const Tail centre = render(Kind::Global, false, [](AURA::Channel *) {});
    EXPECT_NEAR(10.0 * std::log10(centre.left / centre.right), 0.0, 6.0);
}

// The unit whose output a reverb instance reads through a channel's send;
// null without a send.
AURA::DSPI *sendInput(AURA::ReverbI &reverb, AURA::Channel *channel)
{
    AURA::DSPConnectionI *connection = nullptr;
    EXPECT_EQ(reverb.getChanProperties(0, indexOf(channel), nullptr, &connection), AURA_OK);
    return connection ? connection->mInputUnit : nullptr;
}

// A connection point: the sends carry what a unit of the channel's chain
// makes of the sound (here a low-pass at 100 Hz on a 3 kHz burst, heard
// far quieter in the tail) instead of the sound itself, for the global, the
// 3D and a user reverb alike.
TEST(Reverbs, AConnectionPointFeedsTheReverbsInsteadOfTheSound)
{
    const auto burst = auratest::sine(kRate / 20, 3000.0, kRate, 16000.0);
    for (const Kind kind : {Kind::Global, Kind::ThreeD, Kind::User}) {
        double level[2] = {};
        for (const bool point : {false, true}) {
            auratest::WavRender r;
            AURA::System *system = r.system();
            AURA::ReverbI *reverb = addReverb(system, kind);
            AURA::Sound *sound =
                r.sound(burst, 1, kRate, AURA_LOOP_OFF | (kind == Kind::Global ? AURA_2D : AURA_3D));
            AURA::Channel *channel = r.play(sound, true);
            AURA::DSP *lowpass = nullptr;
            ASSERT_EQ(system->createDSPByType(AURA_DSP_TYPE_LOWPASS, &lowpass), AURA_OK);
            ASSERT_EQ(lowpass->setParameter(0, 100.0f), AURA_OK);
            ASSERT_EQ(channel->addDSP(lowpass), AURA_OK);
            AURA_REVERB_CHANNELPROPERTIES send = AURA_REVERB_CHANNELPROPERTIES_DEFAULT;
            send.ConnectionPoint = point ? lowpass : nullptr;
            ASSERT_EQ(channel->setReverbProperties(&send), AURA_OK);
            ASSERT_EQ(channel->setReverbProperties(&send), AURA_OK); // still one send
            r.update(1);
            int inputs = 0;
            ASSERT_EQ(reverb->mInstance[0].mDSP->getNumInputs(&inputs, true), AURA_OK);
            EXPECT_EQ(inputs, 1);
            AURA::DSPI *input = sendInput(*reverb, channel);
            EXPECT_EQ(input == reinterpret_cast<AURA::DSPI *>(lowpass), point);
            ASSERT_EQ(channel->setPaused(false), AURA_OK);
            r.update(32);
            level[point ? 1 : 0] = tailOf(r.finish()).dB();
        }
        EXPECT_GT(level[0], -60.0);
        EXPECT_LT(level[1], level[0] - 30.0) << "the tail of the sound after the low-pass";
    }
}

// What a connection point may not be, and what becomes of the sends when
// the unit goes: they carry the channel's own sound again.
TEST(Reverbs, ConnectionPointsThatAreRefusedOrReleased)
{
    auratest::WavRender r;
    AURA::System *system = r.system();
    AURA::ReverbI &global = *addReverb(system, Kind::Global);
    AURA::Sound *sound = r.sound(auratest::sine(kRate, 440.0, kRate), 1, kRate, AURA_LOOP_NORMAL | AURA_2D);
    AURA::Channel *channel = r.play(sound);
    r.update(1);
    AURA::DSPI *own = sendInput(global, channel);
    ASSERT_NE(own, nullptr);

    AURA_REVERB_CHANNELPROPERTIES send = AURA_REVERB_CHANNELPROPERTIES_DEFAULT;
    int notAUnit = 0;
    send.ConnectionPoint = &notAUnit;
    EXPECT_EQ(channel->setReverbProperties(&send), AURA_ERR_INVALID_PARAM);
    auratest::WavRender other;
    AURA::DSP *foreign = nullptr;
    ASSERT_EQ(other.system()->createDSPByType(AURA_DSP_TYPE_LOWPASS, &foreign), AURA_OK);
    send.ConnectionPoint = foreign;
    EXPECT_EQ(channel->setReverbProperties(&send), AURA_ERR_INVALID_PARAM);
    // A unit after the master group's head already hears the reverbs: a
    // send from it would be a loop.
    AURA::DSP *after = nullptr;
    ASSERT_EQ(system->createDSPByType(AURA_DSP_TYPE_HIGHPASS, &after), AURA_OK);
    AURA::ChannelGroup *master = nullptr;
    ASSERT_EQ(system->getMasterChannelGroup(&master), AURA_OK);
    ASSERT_EQ(master->addDSP(after), AURA_OK);
    send.ConnectionPoint = after;
    EXPECT_EQ(channel->setReverbProperties(&send), AURA_ERR_DSP_CONNECTION);
    r.update(1);
    EXPECT_EQ(sendInput(global, channel), own);
    AURA_REVERB_CHANNELPROPERTIES read = AURA_REVERB_CHANNELPROPERTIES_DEFAULT;
    ASSERT_EQ(channel->getReverbProperties(&read), AURA_OK);
    EXPECT_EQ(read.ConnectionPoint, nullptr);

    // Released while the sends read it.
    AURA::DSP *point = nullptr;
    ASSERT_EQ(system->createDSPByType(AURA_DSP_TYPE_LOWPASS, &point), AURA_OK);
    ASSERT_EQ(channel->addDSP(point), AURA_OK);
    send.ConnectionPoint = point;
    ASSERT_EQ(channel->setReverbProperties(&send), AURA_OK);
    r.update(2);
    EXPECT_EQ(sendInput(global, channel), reinterpret_cast<AURA::DSPI *>(point));
    ASSERT_EQ(point->release(), AURA_OK);
    r.update(2);
    EXPECT_EQ(sendInput(global, channel), own);
    ASSERT_EQ(channel->getReverbProperties(&read), AURA_OK);
    EXPECT_EQ(read.ConnectionPoint, nullptr);
    EXPECT_GT(sendLevel(global, channel), 0.5f);
    int inputs = 0;
    ASSERT_EQ(global.mInstance[0].mDSP->getNumInputs(&inputs, true), AURA_OK);
    EXPECT_EQ(inputs, 1);
    ASSERT_EQ(channel->stop(), AURA_OK);
    r.update(2);
    ASSERT_EQ(global.mInstance[0].mDSP->getNumInputs(&inputs, true), AURA_OK);
    EXPECT_EQ(inputs, 0);
}

// A burst after 0.3 s of silence from a 3D sound at (2, 0, 0), the listener
// at (4, 0, 0) and the reverb (the 3D reverb, or a user reverb reaching 5)
// at the origin; the tail's level. The game's reverb occlusion, a wall on
// the path from the sound to the 3D or user reverb (at x = 1) and one
// between the listener and the sound (at x = 3) are in place before the
// burst: the geometry's answer comes from its thread during the silence.
// Set on the test's thread, inside an update, when a channel takes the
// geometry's answer.
bool gOcclusionTaken = false;

AURA_RESULT noteOcclusion(AURA_CHANNEL *, AURA_CHANNEL_CALLBACKTYPE type, void *, void *)
{
    if (type == AURA_CHANNEL_CALLBACKTYPE_OCCLUSION) {
        gOcclusionTaken = true;
    }
    return AURA_OK;
}

double occludedTail(Kind kind, float occlusion, float reverbPathWall, float listenerWall)
{
    auratest::WavRender r;
    AURA::System *system = r.system();
    AURA::SystemI *internal = internals(system);
    (void)addReverb(system, kind, AURA_VECTOR{0.0f, 0.0f, 0.0f}, 5.0f, 10.0f);
    EXPECT_EQ(system->setOcclusionFadeTime(1), AURA_OK);
    const auto wall = [&](float x, float reverbOcclusion) {
        AURA::Geometry *geometry = nullptr;
        ASSERT_EQ(system->createGeometry(&geometry), AURA_OK);
        const AURA_VECTOR square[4] = {{x, -1, -1}, {x, 1, -1}, {x, 1, 1}, {x, -1, 1}};
        ASSERT_EQ(geometry->addPolygon(0.0f, reverbOcclusion, true, 4, square, nullptr), AURA_OK);
    };
    if (reverbPathWall > 0.0f) {
        wall(1.0f, reverbPathWall);
    }
    if (listenerWall > 0.0f) {
        wall(3.0f, listenerWall);
    }
    const AURA_VECTOR listener{4.0f, 0.0f, 0.0f};
    EXPECT_EQ(system->set3DListenerAttributes(0, &listener, nullptr, nullptr, nullptr), AURA_OK);
    std::vector<int16_t> pcm(static_cast<size_t>(kRate * 3 / 10), 0);
    const std::vector<int16_t> burst = auratest::sine(kRate / 20, 440.0, kRate, 16000.0);
    pcm.insert(pcm.end(), burst.begin(), burst.end());
    AURA::Sound *sound = r.sound(pcm, 1, kRate, AURA_LOOP_OFF | AURA_3D);
    AURA::Channel *channel = r.play(sound, true);
    const AURA_VECTOR at{2.0f, 0.0f, 0.0f};
    EXPECT_EQ(channel->set3DAttributes(&at, nullptr), AURA_OK);
    EXPECT_EQ(channel->set3DOcclusion(0.0f, occlusion), AURA_OK);
    EXPECT_EQ(channel->setCallback(noteOcclusion), AURA_OK);
    gOcclusionTaken = false;
    EXPECT_EQ(channel->setPaused(false), AURA_OK);
    r.update(1); // the question goes to the geometry thread (whose answer may come within this update)
    const auto index = static_cast<unsigned int>(indexOf(channel));
    if (reverbPathWall > 0.0f || listenerWall > 0.0f) {
        EXPECT_TRUE(auratest::waitFor(
            [&] { return gOcclusionTaken || internal->mGeometryMgr.mOcclusionThread.resultWaiting(index); },
            std::chrono::seconds(30)));
    }
    r.update(44);
    // The tail from 0.2 s after the burst.
    const auratest::Wav wav = r.finish();
    Tail tail;
    for (size_t f = kRate / 2; f < std::min<size_t>(wav.frames(), kRate); ++f) {
        tail.left += static_cast<double>(wav.at(f, 0)) * wav.at(f, 0);
        tail.right += static_cast<double>(wav.at(f, 1)) * wav.at(f, 1);
    }
    return tail.dB();
}

// The send scales by (1 - reverb occlusion) x (1 - the geometry's reverb
// occlusion between listener and sound), and into the 3D and user reverbs
// also by what geometry lets through on the path from the sound to the
// reverb; measured on the tail, against the same sound unoccluded.
TEST(ReverbsThreads, OcclusionAndTheReverbPathLowerTheTail)
{
    struct Case {
        const char *name;
        Kind kind;
        float occlusion;
        float reverbPathWall;
        float listenerWall;
        double gain;
    };
    const Case cases[] = {
        {"3D reverb, reverb occlusion 0.5", Kind::ThreeD, 0.5f, 0.0f, 0.0f, 0.5},
        {"3D reverb, a wall of 0.7 on the reverb path", Kind::ThreeD, 0.0f, 0.7f, 0.0f, 0.3},
        {"3D reverb, both", Kind::ThreeD, 0.5f, 0.7f, 0.0f, 0.15},
        {"3D reverb, a wall of 0.6 before the listener", Kind::ThreeD, 0.0f, 0.0f, 0.6f, 0.4},
        {"user reverb, a wall of 0.7 on the reverb path", Kind::User, 0.0f, 0.7f, 0.0f, 0.3},
        {"user reverb, reverb occlusion 0.25 and a wall of 0.6 before the listener", Kind::User, 0.25f, 0.0f, 0.6f,
         0.3},
        {"global reverb, reverb occlusion 0.5", Kind::Global, 0.5f, 0.0f, 0.0f, 0.5},
        {"global reverb, a wall on the path to the (inactive) 3D reverb", Kind::Global, 0.0f, 0.7f, 0.0f, 1.0},
    };
    double open[3] = {};
    for (const Kind kind : {Kind::Global, Kind::ThreeD, Kind::User}) {
        open[static_cast<int>(kind)] = occludedTail(kind, 0.0f, 0.0f, 0.0f);
        ASSERT_GT(open[static_cast<int>(kind)], -40.0);
    }
    for (const Case &c : cases) {
        const double level = occludedTail(c.kind, c.occlusion, c.reverbPathWall, c.listenerWall);
        EXPECT_NEAR(level - open[static_cast<int>(c.kind)], 20.0 * std::log10(c.gain), 0.5) << c.name;
    }
}

TEST(Reverbs, BadPlacesAreRefusedAndUserReverbsHaveOneInstance)
{
    auratest::WavRender r;
    AURA::System *system = r.system();
    AURA::Reverb *reverb = nullptr;
    ASSERT_EQ(system->createReverb(&reverb), AURA_OK);
    const AURA_VECTOR at{1.0f, 2.0f, 3.0f};
    ASSERT_EQ(reverb->set3DAttributes(&at, 2.0f, 8.0f), AURA_OK);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const AURA_VECTOR bad{nan, 0.0f, 0.0f};
    struct Case {
        const AURA_VECTOR *position;
        float min;
        float max;
    };
    for (const Case c : {Case{&at, 5.0f, 5.0f}, Case{&at, 6.0f, 5.0f}, Case{&at, 0.0f, 5.0f}, Case{&at, -1.0f, 5.0f},
                         Case{&at, 1.0f, -5.0f}, Case{&at, nan, 5.0f}, Case{&at, 1.0f, nan}, Case{&at, 1.0f, inf},
                         Case{&bad, 1.0f, 5.0f}, Case{nullptr, 1.0f, 5.0f}}) {
        EXPECT_EQ(reverb->set3DAttributes(c.position, c.min, c.max), AURA_ERR_INVALID_PARAM) << c.min << " " << c.max;
    }
    AURA_VECTOR got{};
    float min = 0.0f;
    float max = 0.0f;
    ASSERT_EQ(AURA_Reverb_Get3DAttributes(reinterpret_cast<AURA_REVERB *>(reverb), &got, &min, &max), AURA_OK);
    EXPECT_EQ(got.z, 3.0f);
    EXPECT_EQ(min, 2.0f);
    EXPECT_EQ(max, 8.0f);
    // A point that is not a number is nowhere near.
    auto *internal = static_cast<AURA::ReverbI *>(reverb);
    EXPECT_EQ(internal->getPresence(bad), 0.0f);
    EXPECT_EQ(internal->getPresence(at), 1.0f);

    // Sends into a user reverb live in its one instance.
    AURA_REVERB_PROPERTIES props = room();
    props.Instance = 3; // ignored
    ASSERT_EQ(reverb->setProperties(&props), AURA_OK);
    AURA::Sound *sound = r.sound(auratest::sine(kRate, 440.0, kRate), 1, kRate, AURA_LOOP_OFF | AURA_3D);
    AURA::Channel *channel = r.play(sound);
    ASSERT_EQ(channel->set3DAttributes(&at, nullptr), AURA_OK);
    AURA_REVERB_CHANNELPROPERTIES send = AURA_REVERB_CHANNELPROPERTIES_DEFAULT;
    send.Flags = AURA_REVERB_CHANNELFLAGS_INSTANCE2;
    send.Room = -2000;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(channel->setReverbProperties(&send), AURA_OK); // never a second send
    }
    r.update(2);
    EXPECT_EQ(internal->getChanProperties(1, indexOf(channel), nullptr, nullptr), AURA_ERR_INVALID_PARAM);
    // Room -2000 at the distance volume of a sound |at| away.
    const float distance = std::sqrt(at.x * at.x + at.y * at.y + at.z * at.z);
    EXPECT_NEAR(sendLevel(*internal, channel), 0.1f / distance, 1e-5f);
    int inputs = 0;
    ASSERT_EQ(internal->mInstance[0].mDSP->getNumInputs(&inputs, true), AURA_OK);
    EXPECT_EQ(inputs, 1);

    AURA_REVERB_PROPERTIES read{};
    int active = 0;
    auto *handle = reinterpret_cast<AURA_REVERB *>(reverb);
    ASSERT_EQ(AURA_Reverb_GetProperties(handle, &read), AURA_OK);
    EXPECT_EQ(read.Instance, 0);
    ASSERT_EQ(AURA_Reverb_SetActive(handle, 0), AURA_OK);
    ASSERT_EQ(AURA_Reverb_GetActive(handle, &active), AURA_OK);
    EXPECT_EQ(active, 0);
    ASSERT_EQ(AURA_Reverb_Release(handle), AURA_OK);
    EXPECT_EQ(AURA_Reverb_Release(handle), AURA_ERR_INVALID_HANDLE);
    EXPECT_EQ(AURA_Reverb_Set3DAttributes(handle, &at, 1.0f, 2.0f), AURA_ERR_INVALID_HANDLE);
    AURA_REVERB *none = nullptr;
    EXPECT_EQ(AURA_System_CreateReverb(nullptr, &none), AURA_ERR_INVALID_PARAM);
    r.update(2);
}

// The C twins of the 3D interface reach what the C++ one sets.
TEST(Reverbs, TheCInterfaceCarriesThe3DSettings)
{
    auratest::WavRender r;
    AURA_SYSTEM *system = r.handle();
    const AURA_VECTOR pos{1.0f, 2.0f, 3.0f};
    const AURA_VECTOR vel{0.5f, 0.0f, 0.0f};
    const AURA_VECTOR forward{0.0f, 0.0f, 1.0f};
    const AURA_VECTOR up{0.0f, 1.0f, 0.0f};
    ASSERT_EQ(AURA_System_Set3DListenerAttributes(system, 0, &pos, &vel, &forward, &up), AURA_OK);
    AURA_VECTOR got[4] = {};
    ASSERT_EQ(AURA_System_Get3DListenerAttributes(system, 0, &got[0], &got[1], &got[2], &got[3]), AURA_OK);
    EXPECT_EQ(got[0].z, 3.0f);
    EXPECT_EQ(got[1].x, 0.5f);
    EXPECT_EQ(AURA_System_Get3DListenerAttributes(system, 4, &got[0], nullptr, nullptr, nullptr),
              AURA_ERR_INVALID_PARAM);
    ASSERT_EQ(AURA_System_Set3DSettings(system, 0.5f, 2.0f, 3.0f), AURA_OK);
    float settings[3] = {};
    ASSERT_EQ(AURA_System_Get3DSettings(system, &settings[0], &settings[1], &settings[2]), AURA_OK);
    EXPECT_EQ(settings[0], 0.5f);
    EXPECT_EQ(settings[2], 3.0f);

    AURA::Sound *sound = r.sound(auratest::sine(kRate, 440.0, kRate), 1, kRate, AURA_LOOP_OFF | AURA_3D);
    auto *csound = reinterpret_cast<AURA_SOUND *>(sound);
    ASSERT_EQ(AURA_Sound_Set3DConeSettings(csound, 30.0f, 90.0f, 0.25f), AURA_OK);
    ASSERT_EQ(AURA_Sound_Set3DMinMaxDistance(csound, 2.0f, 20.0f), AURA_OK);
    float cone[3] = {};
    ASSERT_EQ(AURA_Sound_Get3DConeSettings(csound, &cone[0], &cone[1], &cone[2]), AURA_OK);
    EXPECT_EQ(cone[1], 90.0f);
    float distances[2] = {};
    ASSERT_EQ(AURA_Sound_Get3DMinMaxDistance(csound, &distances[0], &distances[1]), AURA_OK);
    EXPECT_EQ(distances[1], 20.0f);
    auto *channel = reinterpret_cast<AURA_CHANNEL *>(r.play(sound));
    ASSERT_EQ(AURA_Channel_Set3DAttributes(channel, &pos, &vel), AURA_OK);
    ASSERT_EQ(AURA_Channel_Get3DAttributes(channel, &got[0], &got[1]), AURA_OK);
    EXPECT_EQ(got[0].y, 2.0f);
    ASSERT_EQ(AURA_Channel_Get3DConeSettings(channel, &cone[0], &cone[1], &cone[2]), AURA_OK);
    EXPECT_EQ(cone[0], 30.0f);
    ASSERT_EQ(AURA_Channel_Set3DMinMaxDistance(channel, 3.0f, 30.0f), AURA_OK);
    ASSERT_EQ(AURA_Channel_Get3DMinMaxDistance(channel, &distances[0], &distances[1]), AURA_OK);
    EXPECT_EQ(distances[0], 3.0f);
    EXPECT_EQ(AURA_Channel_Get3DConeSettings(nullptr, &cone[0], nullptr, nullptr), AURA_ERR_INVALID_PARAM);
    r.update(2);
}

// A reverb, a channel and a sound released while the real-time mixer pulls
// the sends into them: the mixer goes on and nothing is left pointing at
// what was freed.
TEST(ReverbsThreads, ReleasingWhatVoicesSendToWhileTheMixerRuns)
{
    AURA_SYSTEM *handle = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND, 16, AURA_INIT_NORMAL, 256);
    ASSERT_NE(handle, nullptr);
    auto *system = reinterpret_cast<AURA::System *>(handle);
    AURA::SystemI *internal = internals(system);
    AURA_REVERB_PROPERTIES props = room();
    ASSERT_EQ(system->setReverbAmbientProperties(&props), AURA_OK);
    const std::vector<int16_t> pcm = auratest::sine(kRate, 440.0, kRate);
    AURA_CREATESOUNDEXINFO info =
        auratest::userSoundInfo(static_cast<unsigned int>(pcm.size() * 2), 1, kRate, AURA_SOUND_FORMAT_PCM16);
    const auto mixed = [&](uint64_t blocks) {
        const uint64_t start = internal->mDSPClock.load();
        return auratest::waitFor([&] {
            (void)system->update();
            return internal->mDSPClock.load() > start + blocks * 256;
        });
    };
    for (int round = 0; round < 6; ++round) {
        AURA::Sound *sound = nullptr;
        ASSERT_EQ(system->createSound(nullptr, AURA_OPENUSER | AURA_3D | AURA_LOOP_NORMAL, &info, &sound), AURA_OK);
        AURA::Reverb *reverbs[2] = {};
        AURA::Channel *channels[4] = {};
        for (AURA::Reverb *&reverb : reverbs) {
            const AURA_VECTOR at{0.0f, 0.0f, 1.0f};
            ASSERT_EQ(system->createReverb(&reverb), AURA_OK);
            ASSERT_EQ(reverb->set3DAttributes(&at, 2.0f, 20.0f), AURA_OK);
            ASSERT_EQ(reverb->setProperties(&props), AURA_OK);
        }
        for (AURA::Channel *&channel : channels) {
            ASSERT_EQ(system->playSound(AURA_CHANNEL_FREE, sound, false, &channel), AURA_OK);
        }
        ASSERT_TRUE(mixed(4));
        // In turn: a reverb, a channel, then the sound with the rest.
        ASSERT_EQ(reverbs[round % 2]->release(), AURA_OK);
        ASSERT_TRUE(mixed(2));
        ASSERT_EQ(channels[round % 4]->stop(), AURA_OK);
        ASSERT_TRUE(mixed(2));
        ASSERT_EQ(sound->release(), AURA_OK);
        ASSERT_TRUE(mixed(2));
        ASSERT_EQ(reverbs[(round + 1) % 2]->release(), AURA_OK);
        // Every send the 3D reverb had went with the channels.
        for (int c = 0; c < internal->mReverb3D.mNumChannels; ++c) {
            AURA::DSPConnectionI *connection = nullptr;
            ASSERT_EQ(internal->mReverb3D.getChanProperties(0, c, nullptr, &connection), AURA_OK);
            EXPECT_EQ(connection, nullptr) << "channel " << c;
        }
    }
    int inputs = -1;
    ASSERT_EQ(internal->mReverb3D.mInstance[0].mDSP->getNumInputs(&inputs, true), AURA_OK);
    EXPECT_EQ(inputs, 0);
    EXPECT_EQ(AURA_System_Release(handle), AURA_OK);
}

// Two systems mixing in real time, each driven by its own thread making
// random calls: reverbs made, moved, given rooms, switched and released,
// channels played, moved, panned and stopped, connection points named and
// released, while voices send to every kind of reverb. (The sounds are made beforehand: making sounds on two
// threads at once is not what this exercises.)
TEST(ReverbsThreads, RandomCallsWhileTheMixersRun)
{
    struct Driven {
        AURA_SYSTEM *handle = nullptr;
        std::vector<AURA::Sound *> sounds;
    };
    const std::vector<int16_t> pcm = auratest::sine(kRate / 4, 440.0, kRate);
    AURA_CREATESOUNDEXINFO info =
        auratest::userSoundInfo(static_cast<unsigned int>(pcm.size() * 2), 1, kRate, AURA_SOUND_FORMAT_PCM16);
    Driven driven[2];
    for (Driven &d : driven) {
        d.handle = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND, 16, AURA_INIT_NORMAL, 256);
        ASSERT_NE(d.handle, nullptr);
        for (const AURA_MODE mode : {AURA_3D, AURA_2D, AURA_3D}) {
            AURA::Sound *sound = nullptr;
            ASSERT_EQ(reinterpret_cast<AURA::System *>(d.handle)->createSound(
                          nullptr, AURA_OPENUSER | mode | AURA_LOOP_NORMAL, &info, &sound),
                      AURA_OK);
            d.sounds.push_back(sound);
        }
    }
    const auto drive = [](Driven &d, unsigned int seed) {
        auto *system = reinterpret_cast<AURA::System *>(d.handle);
        AURA::SystemI *internal = nullptr;
        (void)AURA::SystemI::validate(system, &internal);
        std::mt19937 random(seed);
        const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned int>(n)); };
        std::vector<AURA::Reverb *> reverbs;
        std::vector<AURA::Channel *> channels;
        AURA::DSP *point = nullptr; // a connection point the sends may move onto
        AURA_REVERB_PROPERTIES props = room();
        (void)system->setReverbProperties(&props);
        const uint64_t start = internal->mDSPClock.load();
        int steps = 0;
        while (steps < 4000 || internal->mDSPClock.load() < start + 40 * 256) {
            ++steps;
            const AURA_VECTOR at{static_cast<float>(pick(21) - 10), 0.0f, static_cast<float>(pick(21) - 10)};
            AURA::Channel *channel =
                channels.empty() ? nullptr : channels[static_cast<size_t>(pick(static_cast<int>(channels.size())))];
            switch (pick(10)) {
            case 0:
                if (reverbs.size() < 3) {
                    AURA::Reverb *reverb = nullptr;
                    if (system->createReverb(&reverb) == AURA_OK) {
                        reverbs.push_back(reverb);
                    }
                } else {
                    const int i = pick(static_cast<int>(reverbs.size()));
                    (void)reverbs[static_cast<size_t>(i)]->release();
                    reverbs.erase(reverbs.begin() + i);
                }
                break;
            case 1:
                if (!reverbs.empty()) {
                    AURA::Reverb *reverb = reverbs[static_cast<size_t>(pick(static_cast<int>(reverbs.size())))];
                    props.Environment = pick(4) ? 0 : -1;
                    props.DecayTime = 0.5f + static_cast<float>(pick(4));
                    (void)reverb->setProperties(&props);
                    (void)reverb->set3DAttributes(&at, 1.0f + static_cast<float>(pick(3)), 8.0f);
                    (void)reverb->setActive(pick(5) != 0);
                }
                break;
            case 2:
                props.Environment = pick(3) ? 0 : -1;
                (void)system->setReverbAmbientProperties(&props);
                break;
            case 3:
            case 4: {
                AURA::Sound *sound = d.sounds[static_cast<size_t>(pick(static_cast<int>(d.sounds.size())))];
                AURA::Channel *played = nullptr;
                if (system->playSound(AURA_CHANNEL_FREE, sound, false, &played) == AURA_OK) {
                    channels.push_back(played);
                }
                break;
            }
            case 5:
                if (channel) {
                    (void)channel->set3DAttributes(&at, nullptr);
                    (void)channel->setPan(static_cast<float>(pick(3) - 1));
                    AURA::ChannelI *c = nullptr;
                    if (AURA::ChannelI::validate(channel, &c) == AURA_OK) {
                        (void)c->setSpeakerMix(1.0f, static_cast<float>(pick(2)), 0, 0, 0, 0, 0, 0);
                    }
                    AURA_REVERB_CHANNELPROPERTIES send = AURA_REVERB_CHANNELPROPERTIES_DEFAULT;
                    send.Room = -pick(3000);
                    send.Flags = 0x10u << pick(4);
                    (void)channel->setReverbProperties(&send);
                    (void)channel->set3DOcclusion(0.1f * static_cast<float>(pick(10)), 0.5f);
                }
                break;
            case 6:
                if (channel) {
                    (void)channel->stop();
                    channels.erase(std::find(channels.begin(), channels.end(), channel));
                }
                break;
            case 7: {
                const AURA_VECTOR listener{static_cast<float>(pick(5)), 0.0f, 0.0f};
                (void)system->set3DListenerAttributes(0, &listener, nullptr, nullptr, nullptr);
                break;
            }
            case 8:
                if (!point) {
                    (void)system->createDSPByType(AURA_DSP_TYPE_OSCILLATOR, &point);
                } else if (pick(3) == 0) {
                    (void)point->release();
                    point = nullptr;
                } else if (channel) {
                    AURA_REVERB_CHANNELPROPERTIES send = AURA_REVERB_CHANNELPROPERTIES_DEFAULT;
                    send.ConnectionPoint = point;
                    send.Flags = 0x10u << pick(4);
                    (void)channel->setReverbProperties(&send);
                }
                break;
            default:
                (void)system->update();
                break;
            }
        }
        if (point) {
            (void)point->release();
        }
        for (AURA::Reverb *reverb : reverbs) {
            (void)reverb->release();
        }
    };
    std::thread first(drive, std::ref(driven[0]), 1u);
    std::thread second(drive, std::ref(driven[1]), 2u);
    first.join();
    second.join();
    for (Driven &d : driven) {
        EXPECT_EQ(AURA_System_Release(d.handle), AURA_OK);
    }
}

} // namespace
