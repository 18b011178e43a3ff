// Voices: the base voice's unit conversions, modes and speaker handling, the
// emulated voice's clock, and the pool that hands voices out.
#include "channel/aura_channelgroupi.h"
#include "channel/aura_channeli.h"
#include "voice/aura_channelpool.h"
#include "voice/aura_channelreal.h"
#include "base/aura_memory.h"
#include "sound/aura_soundi.h"
#include "system/aura_systemi.h"
#include "dsp/aura_dsp_filter.h"
#include "dsp/units/aura_dsp_soundcard.h"
#include "dsp_harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace {

constexpr const char AURA_ALLOC_TAG[] = "aura/tests/test_voices";

using AURA::ChannelEmulated;
using AURA::ChannelFlag;
using AURA::ChannelPool;
using AURA::ChannelReal;
using AURA::DSPI;
using AURA::SoundI;
using AURA::SystemI;
using AURA::VoiceFlag;

constexpr unsigned int NO_MIXER = 0x4; // init flag: the system runs without its software mixer

using auratest::numInputs;
using auratest::poolBytes;

// A sound in pool memory, released when the test ends.
class TestSound {
public:
    explicit TestSound(unsigned int length, int channels = 1,
                       AURA_SOUND_FORMAT format = AURA_SOUND_FORMAT_PCM16, float frequency = 44100.0f)
        : mSound(AURA_New(SoundI))
    {
        mSound->mLength = length;
        mSound->mChannels = channels;
        mSound->mFormat = format;
        mSound->mDefaultFrequency = frequency;
    }
    ~TestSound() { (void)mSound->releaseInternal(true); }
    TestSound(const TestSound &) = delete;
    TestSound &operator=(const TestSound &) = delete;
    SoundI *operator->() const { return mSound; }
    SoundI *get() const { return mSound; }

private:
    SoundI *mSound;
};

// A voice that can only do volume and pan, and records what it was told.
class RecordingVoice : public ChannelReal {
public:
    AURA_RESULT setVolume(float volume) override
    {
        volumes.push_back(volume);
        return AURA_OK;
    }
    AURA_RESULT setPan(float pan, float fbpan) override
    {
        pans.emplace_back(pan, fbpan);
        return AURA_OK;
    }
    void forget()
    {
        volumes.clear();
        pans.clear();
    }
    std::vector<float> volumes;
    std::vector<std::pair<float, float>> pans;
};

bool inSystemUnitList(SystemI &system, const DSPI *unit)
{
    for (AURA::LinkedListNode *n = system.mDSPHead.mNext; n != &system.mDSPHead; n = n->mNext) {
        if (n->mData == unit) {
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// The base voice.

class VoiceBase : public ::testing::Test {
protected:
    void SetUp() override
    {
        system.mFlags = NO_MIXER;
        ASSERT_EQ(channel.init(0, &system), AURA_OK);
        ASSERT_EQ(voice.init(3, &system, nullptr, nullptr), AURA_OK);
    }
    SystemI system;
    AURA::ChannelI channel;
    RecordingVoice voice;
};

TEST_F(VoiceBase, LifecycleMovesTheStateBits)
{
    // init starts over, whatever the voice did before.
    voice.mFlags.set(VoiceFlag::Playing);
    voice.mMode = AURA_LOOP_NORMAL;
    voice.mPosition = 77;
    voice.mDirection = 1;
    voice.mLoopCount = 4;
    ASSERT_EQ(voice.init(5, &system, nullptr, nullptr), AURA_OK);
    EXPECT_EQ(voice.mFlags.bits(), 0u);
    EXPECT_EQ(voice.mMode, 0u);
    EXPECT_EQ(voice.mPosition, 0u);
    EXPECT_EQ(voice.mDirection, 0);
    EXPECT_EQ(voice.mLoopCount, -1);

    // Handed out counts as playing until it starts, and until it stops.
    bool playing = false;
    voice.mFlags.set(VoiceFlag::Taken);
    ASSERT_EQ(voice.isPlaying(&playing), AURA_OK);
    EXPECT_TRUE(playing);
    voice.mFlags.clear(VoiceFlag::Taken);
    voice.mFlags.set(VoiceFlag::Playing);
    ASSERT_EQ(voice.setPaused(true), AURA_OK);
    ASSERT_EQ(voice.stop(), AURA_OK);
    EXPECT_TRUE(voice.mFlags.has(VoiceFlag::Stopped));
    EXPECT_FALSE(voice.mFlags.has(VoiceFlag::Paused));
    ASSERT_EQ(voice.isPlaying(&playing), AURA_OK);
    EXPECT_FALSE(playing);
    EXPECT_EQ(voice.isPlaying(nullptr), AURA_ERR_INVALID_PARAM);
}

TEST_F(VoiceBase, SetPositionConvertsUnitsAndClampsToTheLength)
{
    // Without a sound nothing is stored, but a bad unit is still refused.
    voice.mPosition = 9;
    EXPECT_EQ(voice.setPosition(5, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(voice.mPosition, 9u);
    EXPECT_EQ(voice.setPosition(5, AURA_TIMEUNIT_RAWBYTES), AURA_ERR_FORMAT);

    TestSound sound(1000000);
    voice.mSound = sound.get();
    ASSERT_EQ(voice.setPosition(5000, AURA_TIMEUNIT_MS), AURA_OK);
    EXPECT_EQ(voice.mPosition, 220500u);
    sound->mLength = 100000; // shorter than 5 s: the end, not an error
    ASSERT_EQ(voice.setPosition(5000, AURA_TIMEUNIT_MS), AURA_OK);
    EXPECT_EQ(voice.mPosition, 100000u);
    ASSERT_EQ(voice.setPosition(0xFFFFFFFFu, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(voice.mPosition, 100000u);
    // A long time in ms must not overflow on the way to samples.
    ASSERT_EQ(voice.setPosition(0xFFFFFFFFu, AURA_TIMEUNIT_MS), AURA_OK);
    EXPECT_EQ(voice.mPosition, 100000u);
    EXPECT_EQ(voice.setPosition(10, 0x10), AURA_ERR_FORMAT);

    struct Case {
        AURA_SOUND_FORMAT format;
        int channels;
        unsigned int bytes;
        unsigned int samples;
    };
    const Case cases[] = {
        {AURA_SOUND_FORMAT_PCM8, 1, 100, 100},
        {AURA_SOUND_FORMAT_PCM16, 2, 40, 10},
        {AURA_SOUND_FORMAT_PCM24, 2, 60, 10},
        {AURA_SOUND_FORMAT_PCM32, 1, 40, 10},
        {AURA_SOUND_FORMAT_PCMFLOAT, 2, 80, 10},
        {AURA_SOUND_FORMAT_GCADPCM, 2, 16, 14},
        {AURA_SOUND_FORMAT_IMAADPCM, 1, 72, 128},
        {AURA_SOUND_FORMAT_VAG, 2, 64, 56},
        {AURA_SOUND_FORMAT_MPEG, 2, 1234, 1234},
        {AURA_SOUND_FORMAT_NONE, 2, 1234, 0},
        {AURA_SOUND_FORMAT_PCM16, 0, 1234, 0},
        // 4e9 bytes of 8-bit mono: the product needs 64 bits.
        {AURA_SOUND_FORMAT_PCM8, 1, 4000000000u, 4000000000u},
    };
    sound->mLength = 0xFFFFFFFFu;
    for (const Case &c : cases) {
        sound->mFormat = c.format;
        sound->mChannels = c.channels;
        voice.mPosition = 1;
        ASSERT_EQ(voice.setPosition(c.bytes, AURA_TIMEUNIT_PCMBYTES), AURA_OK);
        EXPECT_EQ(voice.mPosition, c.samples) << "format " << c.format << " channels " << c.channels;
    }
}

TEST_F(VoiceBase, GetPositionInEachUnit)
{
    unsigned int position = 0;
    EXPECT_EQ(voice.getPosition(&position, AURA_TIMEUNIT_PCM), AURA_ERR_INVALID_PARAM); // no sound

    TestSound sound(100000, 2, AURA_SOUND_FORMAT_PCM16);
    voice.mSound = sound.get();
    voice.mPosition = 10;
    EXPECT_EQ(voice.getPosition(nullptr, AURA_TIMEUNIT_PCM), AURA_ERR_INVALID_PARAM);
    ASSERT_EQ(voice.getPosition(&position, AURA_TIMEUNIT_PCMBYTES), AURA_OK);
    EXPECT_EQ(position, 40u);
    ASSERT_EQ(voice.getPosition(&position, AURA_TIMEUNIT_PCMBYTES | 0x10000000u), AURA_OK);
    EXPECT_EQ(position, 40u);

    voice.mPosition = 22050;
    ASSERT_EQ(voice.getPosition(&position, AURA_TIMEUNIT_MS), AURA_OK);
    EXPECT_EQ(position, 500u);
    ASSERT_EQ(voice.getPosition(&position, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(position, 22050u);

    struct Case {
        AURA_SOUND_FORMAT format;
        unsigned int bytes; // at sample 10, stereo
    };
    const Case cases[] = {
        {AURA_SOUND_FORMAT_PCM8, 20},     {AURA_SOUND_FORMAT_PCM24, 60},
        {AURA_SOUND_FORMAT_PCMFLOAT, 80}, {AURA_SOUND_FORMAT_GCADPCM, 16},
        {AURA_SOUND_FORMAT_IMAADPCM, 72}, {AURA_SOUND_FORMAT_VAG, 32},
        {AURA_SOUND_FORMAT_CELT, 10},     {AURA_SOUND_FORMAT_NONE, 0},
    };
    voice.mPosition = 10;
    for (const Case &c : cases) {
        sound->mFormat = c.format;
        position = 12345;
        ASSERT_EQ(voice.getPosition(&position, AURA_TIMEUNIT_PCMBYTES), AURA_OK);
        EXPECT_EQ(position, c.bytes) << "format " << c.format;
    }
    // A format without a byte measure leaves the receiver alone.
    sound->mFormat = static_cast<AURA_SOUND_FORMAT>(12);
    position = 12345;
    ASSERT_EQ(voice.getPosition(&position, AURA_TIMEUNIT_PCMBYTES), AURA_OK);
    EXPECT_EQ(position, 12345u);

    // Sentence units need a sentence list; other units are not positions.
    EXPECT_EQ(voice.getPosition(&position, AURA_TIMEUNIT_SENTENCE_PCM), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(voice.getPosition(&position, AURA_TIMEUNIT_SENTENCE_SUBSOUND), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(voice.getPosition(&position, AURA_TIMEUNIT_RAWBYTES), AURA_ERR_FORMAT);
    EXPECT_EQ(voice.getPosition(&position, AURA_TIMEUNIT_MODORDER), AURA_ERR_FORMAT);
}

TEST_F(VoiceBase, LoopPointsMustLieInsideTheSound)
{
    EXPECT_EQ(voice.setLoopPoints(0, 10), AURA_ERR_INVALID_PARAM); // no sound
    TestSound sound(1000);
    voice.mSound = sound.get();
    ASSERT_EQ(voice.setLoopPoints(100, 900), AURA_OK); // ends exactly at the end
    EXPECT_EQ(voice.mLoopStart, 100u);
    EXPECT_EQ(voice.mLoopLength, 900u);
    EXPECT_EQ(voice.setLoopPoints(100, 901), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(voice.setLoopPoints(1000, 0), AURA_ERR_INVALID_PARAM);
    // start + length wraps in 32 bits; still past the end.
    EXPECT_EQ(voice.setLoopPoints(10, 0xFFFFFFFFu), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(voice.mLoopStart, 100u);
    EXPECT_EQ(voice.mLoopLength, 900u);
}

TEST_F(VoiceBase, SetModeKeepsOneBitOfEachGroup)
{
    voice.mMode = AURA_LOOP_OFF | AURA_3D;
    ASSERT_EQ(voice.setMode(AURA_LOOP_NORMAL | AURA_LOOP_BIDI), AURA_OK);
    EXPECT_EQ(voice.mMode & 0x7u, static_cast<unsigned int>(AURA_LOOP_NORMAL));
    ASSERT_EQ(voice.setMode(AURA_LOOP_OFF | AURA_LOOP_BIDI), AURA_OK);
    EXPECT_EQ(voice.mMode & 0x7u, static_cast<unsigned int>(AURA_LOOP_OFF));

    ASSERT_EQ(voice.setMode(0x40000 | 0x80000), AURA_OK); // head-relative wins
    EXPECT_EQ(voice.mMode & 0xC0000u, 0x40000u);
    ASSERT_EQ(voice.setMode(0x80000), AURA_OK);
    EXPECT_EQ(voice.mMode & 0xC0000u, 0x80000u);
    ASSERT_EQ(voice.setMode(0x200000 | 0x4000000), AURA_OK);
    EXPECT_EQ(voice.mMode & 0x4300000u, 0x200000u);
    ASSERT_EQ(voice.setMode(0x4000000), AURA_OK);
    EXPECT_EQ(voice.mMode & 0x4300000u, 0x4000000u);

    // Ignore-geometry and play-from-start follow every call, set or not.
    ASSERT_EQ(voice.setMode(0x40000000u | 0x80000000u), AURA_OK);
    EXPECT_EQ(voice.mMode & 0xC0000000u, 0xC0000000u);
    ASSERT_EQ(voice.setMode(AURA_LOOP_NORMAL), AURA_OK);
    EXPECT_EQ(voice.mMode & 0xC0000000u, 0u);
    EXPECT_EQ(voice.mMode & 0x7u, static_cast<unsigned int>(AURA_LOOP_NORMAL)); // other groups untouched
    EXPECT_EQ(voice.mMode & 0x4300000u, 0x4000000u);

    // Going 2D needs a channel: without one the voice stays 3D.
    ASSERT_EQ(voice.setMode(AURA_2D), AURA_OK);
    EXPECT_TRUE(voice.mMode & AURA_3D);
    EXPECT_FALSE(voice.mMode & AURA_2D);

    voice.mParent = &channel;
    channel.mDopplerPitch = 1.7f;
    channel.mDirectOcclusion = 0.4f;
    ASSERT_EQ(voice.setMode(AURA_2D), AURA_OK);
    EXPECT_TRUE(voice.mMode & AURA_2D);
    EXPECT_FALSE(voice.mMode & AURA_3D);
    EXPECT_FLOAT_EQ(channel.mDopplerPitch, 1.0f);
    EXPECT_FLOAT_EQ(channel.mDirectOcclusion, 0.0f);
    ASSERT_EQ(voice.setMode(AURA_3D), AURA_OK);
    EXPECT_TRUE(voice.mMode & AURA_3D);
    EXPECT_FALSE(voice.mMode & AURA_2D);

    // A hardware voice keeps its dimension.
    voice.mMode |= AURA_HARDWARE;
    ASSERT_EQ(voice.setMode(AURA_2D | AURA_LOOP_BIDI), AURA_OK);
    EXPECT_TRUE(voice.mMode & AURA_3D);
    EXPECT_EQ(voice.mMode & 0x7u, static_cast<unsigned int>(AURA_LOOP_BIDI));
}

TEST_F(VoiceBase, SpeakerMixBecomesVolumeAndPan)
{
    voice.mParent = &channel;
    channel.mVolume = 0.5f;

    // Mono or soundless: the total is capped at 1 and the levels give a direction.
    ASSERT_EQ(voice.setSpeakerMix(1, 1, 1, 1, 1, 1, 1, 1), AURA_OK);
    ASSERT_EQ(voice.volumes.size(), 1u);
    ASSERT_EQ(voice.pans.size(), 1u);
    EXPECT_FLOAT_EQ(voice.volumes[0], 0.5f);
    EXPECT_FLOAT_EQ(voice.pans[0].first, 0.0f);
    EXPECT_FLOAT_EQ(voice.pans[0].second, 1.0f);

    voice.forget();
    TestSound mono(1000, 1);
    voice.mSound = mono.get();
    ASSERT_EQ(voice.setSpeakerMix(0, 0, 0, 0, 0.2f, 0.0f, 0, 0.1f), AURA_OK);
    EXPECT_FLOAT_EQ(voice.volumes.at(0), 0.15f);
    EXPECT_FLOAT_EQ(voice.pans.at(0).first, -0.1f);
    EXPECT_FLOAT_EQ(voice.pans.at(0).second, -0.2f);

    // A voice that plays a unit ignores the mix.
    voice.forget();
    voice.mDSP = reinterpret_cast<DSPI *>(&channel);
    ASSERT_EQ(voice.setSpeakerMix(1, 0, 0, 0, 0, 0, 0, 0), AURA_OK);
    EXPECT_TRUE(voice.volumes.empty());
    EXPECT_TRUE(voice.pans.empty());
    voice.mDSP = nullptr;
}

TEST_F(VoiceBase, SpeakerMixPlacesEachVoiceOfASplitSound)
{
    voice.mParent = &channel;
    channel.mVolume = 0.5f;
    TestSound surround(1000, 8);
    voice.mSound = surround.get();
    auto mix = [&] { return voice.setSpeakerMix(0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f); };

    // Each voice carries the speaker of its index, placed where it stands.
    voice.mSubChannelIndex = 5; // back right
    ASSERT_EQ(mix(), AURA_OK);
    EXPECT_FLOAT_EQ(voice.volumes.at(0), 0.3f);
    EXPECT_EQ(voice.pans.at(0), std::make_pair(1.0f, -1.0f));
    voice.forget();
    voice.mSubChannelIndex = 3; // low frequency: no direction at all
    ASSERT_EQ(mix(), AURA_OK);
    EXPECT_FLOAT_EQ(voice.volumes.at(0), 0.2f);
    EXPECT_EQ(voice.pans.at(0), std::make_pair(0.0f, 0.0f));
    voice.forget();
    voice.mSubChannelIndex = 8;
    ASSERT_EQ(mix(), AURA_OK);
    EXPECT_TRUE(voice.volumes.empty());

    // Sounds made of mono or stereo pairs follow their map, not the index.
    surround->mSpeakerBits = 0x10000000;
    voice.mSubChannelIndex = 5;
    ASSERT_EQ(mix(), AURA_OK);
    EXPECT_FLOAT_EQ(voice.volumes.at(0), 0.15f);
    EXPECT_EQ(voice.pans.at(0), std::make_pair(0.0f, 1.0f));
    voice.forget();
    surround->mSpeakerBits = 0x20000000;
    ASSERT_EQ(mix(), AURA_OK);
    EXPECT_FLOAT_EQ(voice.volumes.at(0), 0.1f);
    EXPECT_EQ(voice.pans.at(0), std::make_pair(1.0f, 1.0f));
    voice.forget();
    voice.mSubChannelIndex = 4;
    ASSERT_EQ(mix(), AURA_OK);
    EXPECT_FLOAT_EQ(voice.volumes.at(0), 0.05f);
    EXPECT_EQ(voice.pans.at(0), std::make_pair(-1.0f, 1.0f));
}

TEST_F(VoiceBase, SpeakerLevelsAreClampedIntoTheChannelsMatrix)
{
    const float levels[2] = {-0.5f, 1.5f};
    // Without a channel there is no matrix to write.
    ASSERT_EQ(voice.setSpeakerLevels(0, levels, 2), AURA_OK);
    EXPECT_TRUE(voice.volumes.empty());

    // No speaker-levels pool (no DSP engine): no matrix can be had.
    voice.mParent = &channel;
    EXPECT_EQ(voice.setSpeakerLevels(0, levels, 2), AURA_ERR_MEMORY);
    EXPECT_EQ(channel.mLevels, nullptr);

    ASSERT_EQ(system.initDSPEngine(), AURA_OK);
    const int stride = system.mMaxInputChannels;
    channel.mVolume = 0.8f;
    voice.mSubChannelIndex = 1;
    ASSERT_EQ(voice.setSpeakerLevels(1, levels, 2), AURA_OK);
    ASSERT_NE(channel.mLevels, nullptr);
    EXPECT_FLOAT_EQ(channel.mLevels[stride + 0], 0.0f);
    EXPECT_FLOAT_EQ(channel.mLevels[stride + 1], 1.0f);
    // Column 1 is this voice: front right at 1.0 is full volume, hard right.
    EXPECT_FLOAT_EQ(voice.volumes.at(0), 0.8f);
    EXPECT_FLOAT_EQ(voice.pans.at(0).first, 1.0f);
    EXPECT_FLOAT_EQ(voice.pans.at(0).second, 1.0f);

    EXPECT_EQ(voice.setSpeakerLevels(AURA::SystemI::MAX_SPEAKERS, levels, 2), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(voice.setSpeakerLevels(0, levels, stride + 1), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(voice.setSpeakerLevels(0, nullptr, 1), AURA_ERR_INVALID_PARAM);

    ASSERT_EQ(system.mSpeakerLevelsPool.free(channel.mLevels), AURA_OK);
    channel.mLevels = nullptr;
}

TEST_F(VoiceBase, UpdateSpeakerLevelsTurnsAColumnIntoVolumeAndPan)
{
    ASSERT_EQ(system.initDSPEngine(), AURA_OK);
    voice.mParent = &channel;
    ASSERT_EQ(voice.updateSpeakerLevels(1.0f), AURA_OK); // no matrix yet: nothing to do
    EXPECT_TRUE(voice.volumes.empty());

    ASSERT_EQ(system.mSpeakerLevelsPool.alloc(&channel.mLevels), AURA_OK);
    const int stride = system.mMaxInputChannels;
    auto at = [&](int speaker, int column) -> float & {
        return channel.mLevels[static_cast<std::ptrdiff_t>(speaker) * stride + column];
    };
    system.mNumOutputSpeakers = 6;
    voice.mSubChannelIndex = 2;
    at(AURA_SPEAKER_FRONT_LEFT, 2) = 0.6f;
    at(AURA_SPEAKER_BACK_LEFT, 2) = 0.8f;
    at(AURA_SPEAKER_FRONT_CENTER, 2) = 1.0f; // no direction, no weight
    at(AURA_SPEAKER_FRONT_RIGHT, 0) = 1.0f;  // another voice's column
    ASSERT_EQ(voice.updateSpeakerLevels(0.5f), AURA_OK);
    EXPECT_FLOAT_EQ(voice.volumes.at(0), 0.5f);
    EXPECT_FLOAT_EQ(voice.pans.at(0).first, -1.0f);      // -1.4 clamped
    EXPECT_NEAR(voice.pans.at(0).second, -0.2f, 1e-6f); // 0.6 front, 0.8 back

    // Centre alone: no magnitude, so silence with a centred pan.
    voice.forget();
    at(AURA_SPEAKER_FRONT_LEFT, 2) = 0.0f;
    at(AURA_SPEAKER_BACK_LEFT, 2) = 0.0f;
    ASSERT_EQ(voice.updateSpeakerLevels(1.0f), AURA_OK);
    EXPECT_FLOAT_EQ(voice.volumes.at(0), 0.0f);
    EXPECT_EQ(voice.pans.at(0), std::make_pair(0.0f, 0.0f));

    // On stereo only the first two rows count; the mode numbered 7 reads six.
    voice.forget();
    at(AURA_SPEAKER_BACK_RIGHT, 2) = 0.5f;
    system.mNumOutputSpeakers = 2;
    ASSERT_EQ(voice.updateSpeakerLevels(1.0f), AURA_OK);
    EXPECT_FLOAT_EQ(voice.volumes.at(0), 0.0f);
    system.mSpeakerMode = AURA_SPEAKERMODE_PROLOGIC;
    ASSERT_EQ(voice.updateSpeakerLevels(1.0f), AURA_OK);
    EXPECT_FLOAT_EQ(voice.volumes.at(1), 0.5f);
    EXPECT_EQ(voice.pans.at(1), std::make_pair(1.0f, -1.0f));

    // No speakers at all: volume 0, pan (0, 0).
    voice.forget();
    system.mSpeakerMode = AURA_SPEAKERMODE_STEREO;
    system.mNumOutputSpeakers = 0;
    ASSERT_EQ(voice.updateSpeakerLevels(1.0f), AURA_OK);
    EXPECT_FLOAT_EQ(voice.volumes.at(0), 0.0f);
    EXPECT_EQ(voice.pans.at(0), std::make_pair(0.0f, 0.0f));

    ASSERT_EQ(system.mSpeakerLevelsPool.free(channel.mLevels), AURA_OK);
    channel.mLevels = nullptr;
}

// ---------------------------------------------------------------------------
// The emulated voice's clock.

class EmulatedVoice : public ::testing::Test {
protected:
    void SetUp() override
    {
        system.mFlags = NO_MIXER;
        ASSERT_EQ(channel.init(0, &system), AURA_OK);
        channel.mFrequency = 44100.0f;
        ASSERT_EQ(voice.init(0, &system, nullptr, nullptr), AURA_OK);
    }
    // A voice playing sound from position, as the channel starts it.
    void play(SoundI *sound, unsigned int mode, unsigned int position)
    {
        voice.mSound = sound;
        voice.mParent = &channel;
        voice.mMode = mode;
        ASSERT_EQ(voice.alloc(), AURA_OK);
        voice.mFlags.set(VoiceFlag::Playing);
        voice.mPosition = position;
    }
    void loop(unsigned int start, unsigned int length, int count)
    {
        voice.mLoopStart = start;
        voice.mLoopLength = length;
        voice.mLoopCount = count;
    }
    bool playing()
    {
        bool isplaying = false;
        EXPECT_EQ(voice.isPlaying(&isplaying), AURA_OK);
        return isplaying;
    }
    SystemI system;
    AURA::ChannelI channel;
    ChannelEmulated voice;
};

TEST_F(EmulatedVoice, RunsAtTheChannelsFrequency)
{
    TestSound sound(1000000);
    play(sound.get(), AURA_LOOP_OFF, 1000);
    ASSERT_EQ(voice.update(10), AURA_OK);
    EXPECT_EQ(voice.mPosition, 1441u);
    channel.mDopplerPitch = 2.0f;
    ASSERT_EQ(voice.update(10), AURA_OK);
    EXPECT_EQ(voice.mPosition, 2323u);
    channel.mDopplerPitch = 1.0f;

    channel.mFrequency = -44100.0f;
    ASSERT_EQ(voice.update(10), AURA_OK);
    EXPECT_EQ(voice.mPosition, 1882u);
    voice.mPosition = 441;
    ASSERT_EQ(voice.update(9), AURA_OK);
    EXPECT_EQ(voice.mPosition, 45u);
    EXPECT_TRUE(playing());
    ASSERT_EQ(voice.update(10), AURA_OK);
    EXPECT_EQ(voice.mPosition, 0u); // never below the start, and there it ends
    EXPECT_FALSE(playing());

    // It may run backwards, with or without a mixer (this system has none).
    EXPECT_FLOAT_EQ(voice.mMinFrequency, -voice.mMaxFrequency);
    bool isvirtual = false;
    ASSERT_EQ(voice.isVirtual(&isvirtual), AURA_OK);
    EXPECT_TRUE(isvirtual);
    EXPECT_EQ(voice.isVirtual(nullptr), AURA_ERR_INVALID_PARAM);
}

TEST_F(EmulatedVoice, StandsStillWhenItShouldNotRun)
{
    TestSound sound(1000000);
    play(sound.get(), AURA_LOOP_OFF, 500);

    ASSERT_EQ(voice.setPaused(true), AURA_OK);
    ASSERT_EQ(voice.update(10), AURA_OK);
    EXPECT_EQ(voice.mPosition, 500u);
    ASSERT_EQ(voice.setPaused(false), AURA_OK);

    // Still starting on an emulated voice, unless the channel is virtual.
    channel.mFlags.set(ChannelFlag::StartingWhenEmulated);
    ASSERT_EQ(voice.update(10), AURA_OK);
    EXPECT_EQ(voice.mPosition, 500u);
    channel.mFlags.set(ChannelFlag::Virtual);
    ASSERT_EQ(voice.update(10), AURA_OK);
    EXPECT_EQ(voice.mPosition, 941u);
    channel.mFlags.clear(ChannelFlag::StartingWhenEmulated);
    channel.mFlags.clear(ChannelFlag::Virtual);

    // Play-from-start: the position is frozen.
    voice.mMode |= 0x80000000u;
    ASSERT_EQ(voice.update(1000), AURA_OK);
    EXPECT_EQ(voice.mPosition, 941u);
    voice.mMode &= ~0x80000000u;

    // Scheduled for a later DSP clock.
    channel.mDSPClockDelay = 5000;
    system.mDSPClock = 4999;
    ASSERT_EQ(voice.update(10), AURA_OK);
    EXPECT_EQ(voice.mPosition, 941u);
    system.mDSPClock = 5000;
    ASSERT_EQ(voice.update(10), AURA_OK);
    EXPECT_EQ(voice.mPosition, 1382u);

    voice.mFlags.clear(VoiceFlag::Playing);
    ASSERT_EQ(voice.update(10), AURA_OK);
    EXPECT_EQ(voice.mPosition, 1382u);
}

TEST_F(EmulatedVoice, StopsAtTheEndWithoutALoop)
{
    TestSound sound(1000);
    play(sound.get(), AURA_LOOP_OFF, 900);
    ASSERT_EQ(voice.update(10), AURA_OK);
    EXPECT_EQ(voice.mPosition, 1000u);
    EXPECT_FALSE(voice.mFlags.has(VoiceFlag::Playing));
    EXPECT_FALSE(playing());

    // A bidirectional loop with no loops left plays on to the end too.
    play(sound.get(), AURA_LOOP_BIDI, 900);
    loop(100, 400, 0);
    ASSERT_EQ(voice.update(10), AURA_OK);
    EXPECT_EQ(voice.mPosition, 1000u);
    EXPECT_FALSE(playing());
}

TEST_F(EmulatedVoice, NormalLoopWrapsAsOftenAsTheDeltaNeeds)
{
    TestSound sound(100000);
    play(sound.get(), AURA_LOOP_NORMAL, 480);
    loop(100, 400, 3);
    ASSERT_EQ(voice.update(10), AURA_OK); // 921 - 400 - 400
    EXPECT_EQ(voice.mPosition, 121u);
    EXPECT_EQ(voice.mLoopCount, 1);
    EXPECT_TRUE(playing());

    play(sound.get(), AURA_LOOP_NORMAL, 480);
    loop(100, 400, -1);
    ASSERT_EQ(voice.update(10), AURA_OK);
    EXPECT_EQ(voice.mPosition, 121u);
    EXPECT_EQ(voice.mLoopCount, -1);

    // One second is 110 wraps of the loop.
    play(sound.get(), AURA_LOOP_NORMAL, 100);
    loop(100, 400, 200);
    ASSERT_EQ(voice.update(1000), AURA_OK); // 44200 - 110 x 400
    EXPECT_EQ(voice.mPosition, 200u);
    EXPECT_EQ(voice.mLoopCount, 90);

    // The loops run out on the way: the voice stops at the loop end.
    play(sound.get(), AURA_LOOP_NORMAL, 480);
    loop(100, 400, 1);
    ASSERT_EQ(voice.update(10), AURA_OK);
    EXPECT_EQ(voice.mPosition, 500u);
    EXPECT_EQ(voice.mLoopCount, 0);
    EXPECT_FALSE(playing());

    // Backwards, wrapping at the loop start, even past sample 0.
    play(sound.get(), AURA_LOOP_NORMAL, 150);
    loop(100, 400, -1);
    channel.mFrequency = -44100.0f;
    ASSERT_EQ(voice.update(10), AURA_OK); // 50 to the start, then 391 back from 500
    EXPECT_EQ(voice.mPosition, 109u);
    EXPECT_TRUE(playing());
    play(sound.get(), AURA_LOOP_NORMAL, 150);
    loop(100, 400, 0);
    ASSERT_EQ(voice.update(10), AURA_OK);
    EXPECT_EQ(voice.mPosition, 100u);
    EXPECT_FALSE(playing());
}

TEST_F(EmulatedVoice, LongDeltaAtHighRateDoesNotOverflow)
{
    // 48000 Hz x 60000 ms is 2880000000 before the division by 1000: past
    // the signed 32-bit range.
    TestSound sound(4000000000u);
    channel.mFrequency = 48000.0f;
    play(sound.get(), AURA_LOOP_OFF, 0);
    ASSERT_EQ(voice.update(60000), AURA_OK);
    EXPECT_EQ(voice.mPosition, 2880000u);
    ASSERT_EQ(voice.update(3600000), AURA_OK); // an hour more
    EXPECT_EQ(voice.mPosition, 175680000u);
    EXPECT_TRUE(playing());
    // The longest delta: 103079215056 samples, past 2^32; the end stops it.
    ASSERT_EQ(voice.update(std::numeric_limits<int>::max()), AURA_OK);
    EXPECT_EQ(voice.mPosition, 4000000000u);
    EXPECT_FALSE(playing());

    channel.mFrequency = -48000.0f;
    play(sound.get(), AURA_LOOP_OFF, 3000000000u);
    ASSERT_EQ(voice.update(60000), AURA_OK);
    EXPECT_EQ(voice.mPosition, 2997120000u);
    EXPECT_TRUE(playing());

    channel.mFrequency = 48000.0f;
    play(sound.get(), AURA_LOOP_NORMAL, 0);
    loop(0, 999, -1);
    ASSERT_EQ(voice.update(60000), AURA_OK);
    EXPECT_EQ(voice.mPosition, 2880000u % 999u);
    ASSERT_EQ(voice.update(std::numeric_limits<int>::max()), AURA_OK);
    EXPECT_EQ(voice.mPosition, static_cast<unsigned int>((2880000ull + 103079215056ull) % 999u));
    EXPECT_TRUE(playing());
}

TEST_F(EmulatedVoice, BidirectionalLoopBouncesAtBothEnds)
{
    TestSound sound(100000);
    play(sound.get(), AURA_LOOP_BIDI, 300);
    loop(100, 400, 3);
    ASSERT_EQ(voice.update(10), AURA_OK); // 741: 241 past the end, reflected
    EXPECT_EQ(voice.mPosition, 259u);
    EXPECT_EQ(voice.mDirection, 1);
    EXPECT_EQ(voice.mLoopCount, 2);

    // Backwards with a positive frequency: bounces at the loop start, does
    // not slide down to 0.
    ASSERT_EQ(voice.update(10), AURA_OK); // -182: 282 before the start
    EXPECT_EQ(voice.mPosition, 382u);
    EXPECT_EQ(voice.mDirection, 0);
    EXPECT_EQ(voice.mLoopCount, 1);
    ASSERT_EQ(voice.update(10), AURA_OK); // 823: the last loop is used up
    EXPECT_EQ(voice.mPosition, 177u);
    EXPECT_EQ(voice.mDirection, 1);
    EXPECT_EQ(voice.mLoopCount, 0);
    EXPECT_TRUE(playing());
    // No loops left: it plays out the way it is going, here to the start.
    ASSERT_EQ(voice.update(10), AURA_OK);
    EXPECT_EQ(voice.mPosition, 0u);
    EXPECT_FALSE(playing());

    // A negative frequency running backwards moves forwards: it bounces at
    // the loop end rather than running off past the sound.
    channel.mFrequency = -44100.0f;
    play(sound.get(), AURA_LOOP_BIDI, 300);
    voice.mDirection = 1;
    loop(100, 400, -1);
    ASSERT_EQ(voice.update(10), AURA_OK);
    EXPECT_EQ(voice.mPosition, 259u);
    EXPECT_EQ(voice.mDirection, 0);

    // A step longer than the loop reflects several times and keeps moving.
    channel.mFrequency = 44100.0f;
    play(sound.get(), AURA_LOOP_BIDI, 100);
    loop(100, 400, -1);
    unsigned int last = voice.mPosition;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(voice.update(20), AURA_OK); // 882 samples
        EXPECT_GE(voice.mPosition, 100u);
        EXPECT_LE(voice.mPosition, 500u);
        EXPECT_NE(voice.mPosition, last);
        last = voice.mPosition;
    }
}

TEST_F(EmulatedVoice, HeadJoinsAndLeavesTheGroupsMixTarget)
{
    // Without a mixer there is no head.
    DSPI *head = reinterpret_cast<DSPI *>(&voice);
    ASSERT_EQ(voice.getDSPHead(&head), AURA_OK);
    EXPECT_EQ(head, nullptr);
    EXPECT_EQ(voice.getDSPHead(nullptr), AURA_ERR_INVALID_PARAM);

    system.mFlags = 0;
    ASSERT_EQ(system.initDSPEngine(), AURA_OK);
    AURA::ChannelGroupI group;
    AURA::ChannelGroupI other;
    group.mDSPMixTarget = system.mDSPSoundCard;
    AURA::AURA_DSP_DESCRIPTION_EX description{};
    std::strcpy(description.name, "other group");
    DSPI *otherTarget = nullptr;
    ASSERT_EQ(system.createDSP(&description, &otherTarget, true), AURA_OK);
    other.mDSPMixTarget = otherTarget;
    channel.mChannelGroup = &group;
    const int inputs = numInputs(system.mDSPSoundCard);
    {
        ChannelEmulated emulated;
        ASSERT_EQ(emulated.init(0, &system, nullptr, nullptr), AURA_OK);
        ASSERT_EQ(emulated.getDSPHead(&head), AURA_OK);
        ASSERT_NE(head, nullptr);
        EXPECT_STREQ(head->mDescription.name, "EmulatedChannel DSPHead Unit");
        EXPECT_EQ(head->mDescription.version, 0x00010100u);
        EXPECT_EQ(head->mDescription.mFormat, AURA_SOUND_FORMAT_PCMFLOAT);
        EXPECT_TRUE(inSystemUnitList(system, head));
        EXPECT_FLOAT_EQ(emulated.mMinFrequency, -emulated.mMaxFrequency);

        emulated.mParent = &channel;
        ASSERT_EQ(emulated.alloc(), AURA_OK);
        EXPECT_EQ(numInputs(system.mDSPSoundCard), inputs + 1);
        ASSERT_EQ(emulated.alloc(), AURA_OK); // again: still one link, not two
        EXPECT_EQ(numInputs(system.mDSPSoundCard), inputs + 1);

        ASSERT_EQ(emulated.moveChannelGroup(&group, &other, false), AURA_OK);
        EXPECT_EQ(numInputs(system.mDSPSoundCard), inputs);
        EXPECT_EQ(numInputs(otherTarget), 1);
        ASSERT_EQ(emulated.moveChannelGroup(&other, &group, false), AURA_OK);
        EXPECT_EQ(numInputs(otherTarget), 0);
        EXPECT_EQ(numInputs(system.mDSPSoundCard), inputs + 1);

        head->setActive(true);
        ASSERT_EQ(emulated.stop(), AURA_OK);
        EXPECT_EQ(numInputs(system.mDSPSoundCard), inputs);
        EXPECT_FALSE(head->hasFlags(AURA::DSPI_FLAG_ACTIVE));
        EXPECT_TRUE(emulated.mFlags.has(VoiceFlag::Stopped));

        ASSERT_EQ(emulated.alloc(), AURA_OK);
        EXPECT_EQ(numInputs(system.mDSPSoundCard), inputs + 1);
        ASSERT_EQ(emulated.close(), AURA_OK); // stops, then gives the head back
        EXPECT_EQ(numInputs(system.mDSPSoundCard), inputs);
        EXPECT_FALSE(inSystemUnitList(system, head));
        ASSERT_EQ(emulated.getDSPHead(&head), AURA_OK);
        EXPECT_EQ(head, nullptr);
        EXPECT_EQ(emulated.close(), AURA_OK); // twice is harmless
    }

    // The graph's own buffers are made on first use; from here on a voice's
    // whole life leaves the pool as it found it.
    const int64_t before = poolBytes();
    {
        ChannelEmulated emulated;
        ASSERT_EQ(emulated.init(1, &system, nullptr, nullptr), AURA_OK);
        emulated.mParent = &channel;
        ASSERT_EQ(emulated.alloc(), AURA_OK);
        EXPECT_EQ(numInputs(system.mDSPSoundCard), inputs + 1);
        ASSERT_EQ(emulated.close(), AURA_OK);
    }
    EXPECT_EQ(poolBytes(), before);
    // A voice dropped without close still gives its head back.
    {
        ChannelEmulated dropped;
        ASSERT_EQ(dropped.init(2, &system, nullptr, nullptr), AURA_OK);
        ASSERT_EQ(dropped.getDSPHead(&head), AURA_OK);
        EXPECT_TRUE(inSystemUnitList(system, head));
    }
    EXPECT_FALSE(inSystemUnitList(system, head));
    EXPECT_EQ(poolBytes(), before);

    channel.mChannelGroup = nullptr;
    ASSERT_EQ(otherTarget->release(true), AURA_OK);
}

// ---------------------------------------------------------------------------
// The pool.

class ChannelPoolTest : public ::testing::Test {
protected:
    void SetUp() override { system.mFlags = NO_MIXER; }
    // A pool of count emulated voices.
    void fill(int count)
    {
        ASSERT_EQ(pool.init(&system, nullptr, count), AURA_OK);
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(pool.setChannel(i, AURA_New(ChannelEmulated), nullptr), AURA_OK);
        }
    }
    SystemI system;
    ChannelPool pool;
};

TEST_F(ChannelPoolTest, InitAndPlacingVoices)
{
    EXPECT_EQ(pool.init(&system, nullptr, -1), AURA_ERR_INVALID_PARAM);
    fill(3);
    EXPECT_EQ(pool.init(&system, nullptr, 3), AURA_ERR_INITIALIZED); // filled once
    ChannelReal *voice = pool.getChannel(2);
    ASSERT_NE(voice, nullptr);
    EXPECT_EQ(voice->mPool, &pool);
    EXPECT_EQ(voice->mIndex, 2);
    EXPECT_EQ(voice->mSystem, &system);
    EXPECT_EQ(pool.getChannel(3), nullptr);

    ChannelEmulated outside;
    EXPECT_EQ(pool.setChannel(3, &outside, nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(pool.setChannel(0, nullptr, nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(outside.mPool, nullptr);
}

TEST_F(ChannelPoolTest, AnyFreeVoiceRequests)
{
    ChannelReal *out[4] = {};
    int found = -1;
    ASSERT_EQ(pool.init(&system, nullptr, 0), AURA_OK);
    EXPECT_EQ(pool.allocateChannel(out, -1, 1, &found), AURA_ERR_CHANNEL_ALLOC);
    EXPECT_EQ(found, 0);
    ASSERT_EQ(pool.release(), AURA_OK);

    fill(3);
    found = -1;
    EXPECT_EQ(pool.allocateChannel(nullptr, -1, 1, &found), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(found, 0);

    ASSERT_EQ(pool.allocateChannel(out, -1, 2, &found), AURA_OK);
    EXPECT_EQ(found, 2);
    EXPECT_EQ(out[0], pool.getChannel(0));
    EXPECT_EQ(out[1], pool.getChannel(1));
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(out[i]->mFlags.has(VoiceFlag::Taken));
        EXPECT_TRUE(out[i]->mFlags.has(VoiceFlag::InUse));
    }

    // Two wanted, one free: none is taken, the one found is marked stopped.
    ChannelReal *last = pool.getChannel(2);
    ChannelReal *more[2] = {};
    found = -1;
    EXPECT_EQ(pool.allocateChannel(more, -1, 2, &found), AURA_ERR_CHANNEL_ALLOC);
    EXPECT_EQ(found, 1);
    EXPECT_FALSE(last->mFlags.has(VoiceFlag::Taken));
    EXPECT_FALSE(last->mFlags.has(VoiceFlag::InUse));
    EXPECT_TRUE(last->mFlags.has(VoiceFlag::Stopped));
    EXPECT_EQ(more[0], nullptr);
    ASSERT_EQ(pool.allocateChannel(more, -1, 1, &found), AURA_OK);
    EXPECT_EQ(more[0], last);
    EXPECT_FALSE(last->mFlags.has(VoiceFlag::Stopped));
}

TEST_F(ChannelPoolTest, FreedVoicesComeBackLowestFirstAmongThousandsOfBusyOnes)
{
    // Past 4096 voices the search's summary of words has a second word.
    constexpr int kVoices = 5000;
    fill(kVoices);
    std::vector<ChannelReal *> all(kVoices);
    int found = -1;
    ASSERT_EQ(pool.allocateChannel(all.data(), -1, kVoices, &found), AURA_OK);
    ChannelReal *none = nullptr;
    EXPECT_EQ(pool.allocateChannel(&none, -1, 1, &found), AURA_ERR_CHANNEL_ALLOC);

    // Stopped out of order, across words and summary words; one of them is
    // then taken by index and must not be handed out twice.
    const int freed[] = {4999, 17, 4096, 63, 64, 4095, 0, 2500};
    for (int index : freed) {
        ChannelReal *voice = pool.getChannel(index);
        voice->mFlags.clear(VoiceFlag::Taken);
        voice->mFlags.clear(VoiceFlag::InUse);
        pool.noteFree(*voice);
    }
    ChannelReal *byIndex = nullptr;
    ASSERT_EQ(pool.allocateChannel(&byIndex, 2500, 1, &found), AURA_OK);
    for (int expected : {0, 17, 63, 64, 4095, 4096, 4999}) {
        ChannelReal *voice = nullptr;
        ASSERT_EQ(pool.allocateChannel(&voice, -1, 1, &found), AURA_OK) << expected;
        EXPECT_EQ(voice, pool.getChannel(expected));
    }
    EXPECT_EQ(pool.allocateChannel(&none, -1, 1, &found), AURA_ERR_CHANNEL_ALLOC);
}

TEST_F(ChannelPoolTest, ReservedAndStillPlayingVoicesAreSkipped)
{
    fill(3);
    ChannelReal *reserved = pool.getChannel(0);
    ChannelReal *sounding = pool.getChannel(1);
    reserved->mFlags.set(VoiceFlag::Reserved);
    sounding->mFlags.set(VoiceFlag::Playing); // marked free, still playing

    ChannelReal *out[2] = {};
    int found = -1;
    ASSERT_EQ(pool.allocateChannel(out, -1, 1, &found), AURA_OK);
    EXPECT_EQ(out[0], pool.getChannel(2));
    EXPECT_EQ(pool.allocateChannel(out, -1, 1, &found), AURA_ERR_CHANNEL_ALLOC);
    EXPECT_EQ(found, 0);

    ASSERT_EQ(pool.allocateChannel(out, -1, 1, &found, true), AURA_OK);
    EXPECT_EQ(out[0], reserved);
    EXPECT_FALSE(reserved->mFlags.has(VoiceFlag::Reserved));
    EXPECT_TRUE(reserved->mFlags.has(VoiceFlag::Taken));
    EXPECT_FALSE(sounding->mFlags.has(VoiceFlag::Taken));
}

TEST_F(ChannelPoolTest, RequestByIndex)
{
    fill(2);
    ChannelReal *busy = pool.getChannel(1);
    busy->mFlags.set(VoiceFlag::Playing);
    busy->mFlags.set(VoiceFlag::InUse);
    busy->mFlags.set(VoiceFlag::Stopped);

    ChannelReal *out[2] = {};
    int found = 42;
    ASSERT_EQ(pool.allocateChannel(out, 1, 1, &found), AURA_OK); // whatever its state
    EXPECT_EQ(out[0], busy);
    EXPECT_EQ(found, 42);
    EXPECT_TRUE(busy->mFlags.has(VoiceFlag::Taken));
    EXPECT_FALSE(busy->mFlags.has(VoiceFlag::Stopped));

    EXPECT_EQ(pool.allocateChannel(out, 0, 2, &found), AURA_ERR_CHANNEL_ALLOC);
    EXPECT_EQ(found, 42);
    EXPECT_EQ(pool.allocateChannel(out, 2, 1, &found), AURA_ERR_CHANNEL_ALLOC);
    EXPECT_EQ(found, 0);
    found = 42;
    EXPECT_EQ(pool.allocateChannel(out, -2, 1, &found), AURA_ERR_CHANNEL_ALLOC);
    EXPECT_EQ(found, 0);
}

TEST_F(ChannelPoolTest, InUseCountFollowsAllocatedVoicesOnly)
{
    system.mFlags = 0;
    ASSERT_EQ(system.initDSPEngine(), AURA_OK);
    const int64_t before = poolBytes();
    fill(4);
    int used = -1;
    ASSERT_EQ(pool.getChannelsUsed(&used), AURA_OK);
    EXPECT_EQ(used, 0);

    ChannelReal *out[2] = {};
    ASSERT_EQ(pool.allocateChannel(out, -1, 2, nullptr), AURA_OK);
    ASSERT_EQ(out[0]->alloc(), AURA_OK);
    ASSERT_EQ(out[1]->alloc(), AURA_OK);
    EXPECT_EQ(pool.mChannelsUsed, 2);

    ASSERT_EQ(out[0]->stop(), AURA_OK);
    EXPECT_EQ(pool.mChannelsUsed, 1);
    ASSERT_EQ(out[0]->stop(), AURA_OK); // a second stop
    EXPECT_EQ(pool.mChannelsUsed, 1);
    ASSERT_EQ(pool.getChannel(3)->stop(), AURA_OK); // never allocated
    EXPECT_EQ(pool.mChannelsUsed, 1);
    ASSERT_EQ(out[0]->alloc(), AURA_OK); // played again
    EXPECT_EQ(pool.mChannelsUsed, 2);

    // Shutdown closes (and so stops) every voice, busy or not.
    ASSERT_EQ(pool.release(), AURA_OK);
    EXPECT_EQ(pool.mChannelsUsed, 0);
    EXPECT_EQ(pool.getChannel(0), nullptr);
    EXPECT_EQ(poolBytes(), before); // voices, heads and the array are gone
    ASSERT_EQ(pool.release(), AURA_OK);
}

} // namespace
