// The S3M loader and tick engine through their voice commands: songs written
// in memory, played on a host that records every command with its time.
#include "music/aura_codec_mod.h"
#include "music/aura_codec_s3m.h"

#include "base/aura_globals.h"
#include "music_trace.h"
#include "s3m_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

namespace {

using auratest::S3mCell;
using auratest::s3mNote;
using auratest::S3mSample;
using auratest::S3mWriter;
using auratest::VoiceCommand;
using auratest::VoiceEvent;
using Song = auratest::TracedSong<AURA::CodecS3M>;

constexpr int kClock = 14317056;
// C of octave 4 on an 8363 Hz sample.
constexpr int kMiddleC = s3mNote(4, 0);
constexpr float kMiddleCHz = static_cast<float>(kClock / 1712);

Song open(const S3mWriter &writer, AURA_MODE mode = 0, AURA_RESULT expect = AURA_OK)
{
    static std::deque<std::vector<uint8_t>> keep; // the files outlive their songs
    keep.push_back(writer.bytes());
    Song song = auratest::openTraced<AURA::CodecS3M>(keep.back(), mode);
    EXPECT_EQ(song.result, expect);
    return song;
}

AURA_RESULT openResult(const std::vector<uint8_t> &bytes)
{
    return auratest::openTraced<AURA::CodecS3M>(bytes).result;
}

void ticks(Song &song, int count)
{
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(song.codec->update(true), AURA_OK);
    }
}

S3mWriter oneSample()
{
    S3mWriter writer;
    writer.sample(auratest::s3mSine(64));
    return writer;
}

// The values of one command on one slot, tick by tick of a row.
std::vector<float> valuesOf(const Song &song, VoiceCommand command, int row, int slot = 0)
{
    std::vector<float> out;
    for (const VoiceEvent &e : song.host->events) {
        if (e.command == command && e.row == row && e.slot == slot) {
            out.push_back(e.value);
        }
    }
    return out;
}

float level(int volume, int global = 64)
{
    return static_cast<float>(volume * global) / 4096.0f * 0.5f;
}

TEST(S3mLoader, ChannelsOrdersAndPans)
{
    S3mWriter writer = oneSample();
    writer.settings({0, 8, 255, 1}).orders({0, 254, 1, 255, 2}).patterns(3);
    Song song = open(writer);
    int channels = 0;
    ASSERT_EQ(song.codec->getMusicNumChannelsInternal(&channels), AURA_OK);
    EXPECT_EQ(channels, 3);
    EXPECT_EQ(song.codec->defaultPan(0), 0);
    EXPECT_EQ(song.codec->defaultPan(1), 255);
    EXPECT_EQ(song.codec->defaultPan(2), 0);
    ASSERT_EQ(song.codec->numOrders(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(song.codec->orderEntry(i), i);
    }

    // A master volume below 128 is a mono song.
    Song mono = open(oneSample().settings({0, 8}).masterVolume(0x30));
    EXPECT_EQ(mono.codec->defaultPan(0), 128);
    EXPECT_EQ(mono.codec->defaultPan(1), 128);

    // The pan table: bit 5 gives the pan; without it the setting's side holds.
    Song table = open(oneSample().settings({0, 8, 1}).panTable({0x27, 0x13, 0x2F}));
    EXPECT_EQ(table.codec->defaultPan(0), 7 * 16);
    EXPECT_EQ(table.codec->defaultPan(1), 255);
    EXPECT_EQ(table.codec->defaultPan(2), 15 * 16);
}

TEST(S3mLoader, Samples)
{
    struct Case {
        const char *what;
        S3mSample sample;
        unsigned frames, bits, channels;
        bool loop;
    };
    S3mSample shortLoop = auratest::s3mSine(64);
    shortLoop.loopStart = 10;
    shortLoop.loopEnd = 12;
    S3mSample backwards = auratest::s3mSine(64);
    backwards.loopStart = 50;
    backwards.loopEnd = 10;
    S3mSample stereo16;
    stereo16.sixteen = true;
    stereo16.stereo = true;
    stereo16.data.assign(200, 1000);
    S3mSample adlib = auratest::s3mSine(64);
    adlib.type = 2;
    S3mSample huge = auratest::s3mSine(64, 100, true);
    huge.stereo = true;
    huge.data.resize(64);
    huge.lengthField = 0x40000000; // 4 GiB of data: more than the file
    const Case cases[] = {
        {"a loop from 10 to 12 is none", shortLoop, 64, 8, 1, false},
        {"a loop ending before its start is none", backwards, 64, 8, 1, false},
        {"16-bit stereo, 100 frames", stereo16, 100, 16, 2, false},
        {"an AdLib instrument has no sample", adlib, 0, 8, 1, false},
        {"a length past the file is cut to it", huge, 0, 16, 2, true},
    };
    for (const Case &c : cases) {
        S3mWriter writer;
        writer.sample(c.sample);
        Song song = open(writer);
        ASSERT_TRUE(song.codec) << c.what;
        const AURA::MusicSample &sample = song.codec->sample(0);
        if (c.frames) {
            EXPECT_EQ(sample.mLength, c.frames) << c.what;
        } else if (c.sample.type != 1) {
            EXPECT_EQ(sample.mLength, 0u) << c.what;
            EXPECT_EQ(sample.mSound, nullptr) << c.what;
        } else {
            EXPECT_LE(AURA::MusicSong::sampleBytes(sample), writer.bytes().size()) << c.what;
        }
        EXPECT_EQ(sample.mBits, c.bits) << c.what;
        EXPECT_EQ(sample.mChannels, c.channels) << c.what;
        EXPECT_EQ(sample.mLoop, c.loop) << c.what;
    }
    // 16-bit stereo: 400 bytes, left and right blocks interleaved, signed.
    S3mSample lr;
    lr.sixteen = true;
    lr.stereo = true;
    for (int i = 0; i < 100; ++i) {
        lr.data.push_back(i * 100);
        lr.data.push_back(-i * 100);
    }
    S3mWriter writer;
    writer.sample(lr);
    Song song = open(writer);
    const AURA::MusicSample &sample = song.codec->sample(0);
    ASSERT_EQ(AURA::MusicSong::sampleBytes(sample), 400u);
    const auto *pcm = reinterpret_cast<const int16_t *>(sample.mData);
    EXPECT_EQ(pcm[2 * 99], 9900);
    EXPECT_EQ(pcm[2 * 99 + 1], -9900);
}

TEST(S3mLoader, RefusesAndCutFiles)
{
    // A cut last sample: 8-bit mono fails with a short read; the other
    // layouts open with what was there.
    struct Cut {
        bool sixteen, stereo;
        AURA_RESULT result;
    };
    for (const Cut &c : {Cut{false, false, AURA_ERR_FILE_EOF}, Cut{true, false, AURA_OK}, Cut{false, true, AURA_OK},
                         Cut{true, true, AURA_OK}}) {
        S3mSample s;
        s.sixteen = c.sixteen;
        s.stereo = c.stereo;
        s.data.assign(400, 7);
        S3mWriter writer;
        writer.sample(s);
        std::vector<uint8_t> bytes = writer.bytes();
        bytes.resize(bytes.size() - 50);
        EXPECT_EQ(openResult(bytes), c.result) << c.sixteen << c.stereo;
    }
    // Counts past the lists, and an order list of markers only.
    S3mWriter tooMany = oneSample();
    tooMany.orders(std::vector<uint8_t>(257, 0));
    EXPECT_EQ(openResult(tooMany.bytes()), AURA_ERR_FORMAT);
    EXPECT_EQ(openResult(oneSample().counts(1, 300, 1).bytes()), AURA_ERR_FORMAT);
    EXPECT_EQ(openResult(oneSample().counts(1, 1, 300).bytes()), AURA_ERR_FORMAT);
    EXPECT_EQ(openResult(oneSample().orders({255, 254, 255}).bytes()), AURA_ERR_FORMAT);
    EXPECT_EQ(openResult(oneSample().settings({255, 16, 200}).bytes()), AURA_ERR_FORMAT);
    std::vector<uint8_t> noTag = oneSample().bytes();
    noTag[44] = 'X';
    EXPECT_EQ(openResult(noTag), AURA_ERR_FORMAT);
}

TEST(S3mTraces, NoteStartsWithAllThreeAndFarNotesClamp)
{
    Song song = open(oneSample().cell(0, 0, 0, {kMiddleC, 1}).cell(0, 1, 0, {s3mNote(10, 15), 1, 255}));
    ticks(song, 7);
    const std::vector<VoiceEvent> want = {
        {0, 0, 0, 0, VoiceCommand::Start, 0.0f},
        {0, 0, 0, 0, VoiceCommand::Volume, 0.5f},
        {0, 0, 0, 0, VoiceCommand::Pan, -0.8f},
        {0, 0, 0, 0, VoiceCommand::Frequency, kMiddleCHz},
    };
    EXPECT_EQ(std::vector<VoiceEvent>(song.host->events.begin(), song.host->events.begin() + 4), want);
    // Octave 10, semitone 15 plays the table's last note; volume 255 is 64.
    EXPECT_EQ(valuesOf(song, VoiceCommand::Frequency, 1), std::vector<float>{static_cast<float>(kClock / 14)});
    EXPECT_EQ(valuesOf(song, VoiceCommand::Volume, 1), std::vector<float>{0.5f});
}

TEST(S3mTraces, VolumeSlides)
{
    struct Case {
        const char *what;
        uint8_t param;
        bool fast;
        std::vector<float> volumes; // ticks 0..5 of row 1, from 32
    };
    const auto v = [](std::initializer_list<int> list) {
        std::vector<float> out;
        for (int x : list) {
            out.push_back(level(x));
        }
        return out;
    };
    const Case cases[] = {
        {"D0F: fine up by 0, then down 15 a later tick", 0x0F, false, v({32, 17, 2, 0, 0, 0})},
        {"D0F fast: down 15 at tick 0 too", 0x0F, true, v({17, 2, 0, 0, 0, 0})},
        {"DF0: up 15 on later ticks", 0xF0, false, v({32, 47, 62, 64, 64, 64})},
        {"DF0 fast: at tick 0 too", 0xF0, true, v({47, 62, 64, 64, 64, 64})},
        {"D8F: fine up 8 at tick 0 only", 0x8F, false, v({40, 40, 40, 40, 40, 40})},
        {"D8F fast: the same", 0x8F, true, v({40, 40, 40, 40, 40, 40})},
        {"D04: down 4 a later tick", 0x04, false, v({32, 28, 24, 20, 16, 12})},
    };
    for (const Case &c : cases) {
        for (const int fastBy : {0, 1}) {
            if (!c.fast && fastBy) {
                continue;
            }
            S3mWriter writer = oneSample();
            writer.cell(0, 0, 0, {kMiddleC, 1, 32}).cell(0, 1, 0, {-1, 0, -1, 4, c.param});
            if (c.fast) {
                fastBy ? writer.version(0x112C) : writer.flags(0x40);
            }
            Song song = open(writer);
            EXPECT_EQ(song.codec->fastVolumeSlides(), c.fast);
            ticks(song, 12);
            EXPECT_EQ(valuesOf(song, VoiceCommand::Volume, 1), c.volumes) << c.what << " " << fastBy;
        }
    }
}

TEST(S3mTraces, Portamento)
{
    struct Case {
        const char *what;
        uint8_t effect, param;
        std::vector<int> periods; // ticks 0..5 of row 1, from 1712
    };
    const Case cases[] = {
        {"EF2: down by 8 once", 5, 0xF2, {1720}},
        {"EE2: down by 2 once", 5, 0xE2, {1714}},
        {"E20: down by 128 on later ticks", 5, 0x20, {1712, 1840, 1968, 2096, 2224, 2352}},
        {"FF2: up by 8 once", 6, 0xF2, {1704}},
    };
    for (const Case &c : cases) {
        Song song = open(oneSample().cell(0, 0, 0, {kMiddleC, 1}).cell(0, 1, 0, {-1, 0, -1, c.effect, c.param}));
        ticks(song, 12);
        std::vector<float> want;
        for (int p : c.periods) {
            want.push_back(static_cast<float>(kClock / p));
        }
        EXPECT_EQ(valuesOf(song, VoiceCommand::Frequency, 1), want) << c.what;
    }
    // F to a period of 0 or below stops the voice.
    Song song = open(oneSample().cell(0, 0, 0, {s3mNote(9, 0), 1}).cell(0, 1, 0, {-1, 0, -1, 6, 0x40}));
    ticks(song, 12);
    const auto stops = song.host->only(VoiceCommand::Stop);
    ASSERT_FALSE(stops.empty());
    EXPECT_EQ(stops.front().row, 1);
    EXPECT_EQ(stops.front().tick, 1);
}

TEST(S3mTraces, OffsetPastTheLoopStops)
{
    S3mWriter writer;
    writer.sample(auratest::s3mSine(1024));
    writer.cell(0, 0, 0, {kMiddleC, 1, -1, 15, 2}).cell(0, 1, 0, {kMiddleC, 1, -1, 15, 4});
    Song song = open(writer);
    ticks(song, 7);
    const auto starts = song.host->only(VoiceCommand::Start);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].value, 512.0f);
    const auto stops = song.host->only(VoiceCommand::Stop);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].row, 1);
}

TEST(S3mTraces, RetriggerTremorGlobalAndTempo)
{
    // Q83 restarts every 3 ticks at the same level; Q63 sets it to 0.
    for (const auto &[param, after] : {std::pair<uint8_t, float>{0x83, level(40)}, {0x63, 0.0f}}) {
        Song song = open(oneSample().cell(0, 0, 0, {kMiddleC, 1, 40}).cell(0, 1, 0, {-1, 0, -1, 17, param}));
        ticks(song, 12);
        int starts = 0;
        for (const VoiceEvent &e : song.host->only(VoiceCommand::Start)) {
            starts += e.row == 1;
            EXPECT_TRUE(e.row == 0 || e.tick == 3) << e;
        }
        EXPECT_EQ(starts, 1);
        EXPECT_EQ(valuesOf(song, VoiceCommand::Volume, 1).back(), after);
    }
    // I21: 3 ticks on, 2 off.
    {
        Song song = open(oneSample().cell(0, 0, 0, {kMiddleC, 1, 64, 9, 0x21}).speed(6));
        ticks(song, 6);
        const std::vector<float> want = {0.5f, 0.5f, 0.5f, 0.0f, 0.0f, 0.5f};
        EXPECT_EQ(valuesOf(song, VoiceCommand::Volume, 0), want);
    }
    // V20 gives half of V40, and V above 0x40 acts as 0x40.
    for (const auto &[param, want] :
         {std::pair<uint8_t, float>{0x20, level(64, 32)}, {0x40, level(64)}, {0x7F, level(64)}}) {
        Song song = open(oneSample().cell(0, 0, 1, {-1, 0, -1, 22, param}).cell(0, 1, 0, {kMiddleC, 1}));
        ticks(song, 7);
        EXPECT_EQ(valuesOf(song, VoiceCommand::Volume, 1).front(), want) << int(param);
    }
    // T below 32 is ignored; T above sets the tempo.
    Song song = open(oneSample().cell(0, 0, 0, {-1, 0, -1, 20, 0x1F}).cell(0, 1, 0, {-1, 0, -1, 20, 0x40}));
    ticks(song, 1);
    EXPECT_EQ(song.codec->bpm(), 125);
    ticks(song, 6);
    EXPECT_EQ(song.codec->bpm(), 64);
}

TEST(S3mTraces, ArpeggioLoopsCutsAndDelays)
{
    // J37 plays the note, +3 and +7 semitones.
    {
        Song song = open(oneSample().cell(0, 0, 0, {kMiddleC, 1, -1, 10, 0x37}));
        ticks(song, 4);
        const std::vector<float> want = {kMiddleCHz, static_cast<float>(kClock / 1440),
                                         static_cast<float>(kClock / 1140), kMiddleCHz};
        EXPECT_EQ(valuesOf(song, VoiceCommand::Frequency, 0), want);
    }
    // SB0 on row 1 and SB2 on row 2 play rows 1-2 three times.
    {
        Song song = open(oneSample().cell(0, 1, 0, {kMiddleC, 1, -1, 19, 0xB0}).cell(0, 2, 0, {-1, 0, -1, 19, 0xB2}),
                         AURA_ACCURATETIME);
        AURA_CODEC_WAVEFORMAT format{};
        ASSERT_EQ(song.codec->getWaveFormat(0, &format), AURA_OK);
        EXPECT_EQ(format.lengthpcm, (64u + 4u) * 6u * 882u);
        ticks(song, 10 * 6);
        EXPECT_EQ(song.host->only(VoiceCommand::Start).size(), 3u);
    }
    // SC2 cuts at tick 2; SC0 does nothing.
    {
        Song song = open(oneSample().cell(0, 0, 0, {kMiddleC, 1, -1, 19, 0xC2}));
        ticks(song, 6);
        const std::vector<float> want = {0.5f, 0.0f};
        EXPECT_EQ(valuesOf(song, VoiceCommand::Volume, 0), want);
    }
    // SD3 without instrument or volume starts at tick 3 and re-sends the
    // column's volume, pan and pitch with it.
    {
        Song song = open(oneSample().cell(0, 0, 0, {kMiddleC, 1, 20}).cell(0, 1, 0, {s3mNote(5, 0), 0, -1, 19, 0xD3}));
        ticks(song, 6);
        song.host->events.clear();
        ticks(song, 6);
        const std::vector<VoiceEvent> want = {
            {0, 1, 3, 0, VoiceCommand::Start, 0.0f},
            {0, 1, 3, 0, VoiceCommand::Volume, level(20)},
            {0, 1, 3, 0, VoiceCommand::Pan, -0.8f},
            {0, 1, 3, 0, VoiceCommand::Frequency, static_cast<float>(kClock / 856)},
        };
        EXPECT_EQ(song.host->events, want);
    }
}

TEST(S3mTraces, RandomTremoloFollowsTheSeed)
{
    const auto run = [](unsigned seed) {
        AURA::gGlobal->mRandomNext.store(seed);
        S3mWriter writer = oneSample();
        writer.cell(0, 0, 0, {kMiddleC, 1, 32, 19, 0x43}).cell(0, 1, 0, {-1, 0, -1, 18, 0x4F});
        Song song = open(writer);
        ticks(song, 12);
        return valuesOf(song, VoiceCommand::Volume, 1);
    };
    const std::vector<float> first = run(1234);
    EXPECT_EQ(run(1234), first);
    EXPECT_NE(run(99), first);
    ASSERT_EQ(first.size(), 6u);
    for (float v : first) {
        EXPECT_GE(v, 0.0f);
        EXPECT_LE(v, 0.5f);
    }
}

} // namespace
