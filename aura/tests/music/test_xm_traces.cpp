// The XM loader and tick engine through their voice commands: songs written
// in memory, played on a host that records every command with its time.
#include "music/aura_codec_xm.h"

#include "music_trace.h"
#include "xm_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>

namespace {

using auratest::VoiceCommand;
using auratest::VoiceEvent;
using auratest::XmCell;
using auratest::XmInstrument;
using auratest::xmNote;
using auratest::XmSample;
using auratest::XmWriter;
using Song = auratest::TracedSong<AURA::CodecXM>;

constexpr uint8_t kC4 = xmNote(4, 0);
constexpr uint8_t kKeyOff = 97;

Song open(const XmWriter &writer, AURA_MODE mode = 0, AURA_RESULT expect = AURA_OK)
{
    static std::deque<std::vector<uint8_t>> keep; // the files outlive their songs
    keep.push_back(writer.bytes());
    Song song = auratest::openTraced<AURA::CodecXM>(keep.back(), mode);
    EXPECT_EQ(song.result, expect);
    return song;
}

AURA_RESULT openResult(const XmWriter &writer)
{
    const std::vector<uint8_t> bytes = writer.bytes();
    return auratest::openTraced<AURA::CodecXM>(bytes).result;
}

void ticks(Song &song, int count)
{
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(song.codec->update(true), AURA_OK);
    }
}

XmWriter oneInstrument(const XmInstrument &instrument = auratest::xmSine())
{
    XmWriter writer;
    writer.instrument(instrument);
    return writer;
}

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

std::vector<VoiceEvent> at(const Song &song, int row, int tick)
{
    std::vector<VoiceEvent> out;
    for (const VoiceEvent &e : song.host->events) {
        if (e.row == row && e.tick == tick) {
            out.push_back(e);
        }
    }
    return out;
}

float linearHz(int period)
{
    return static_cast<float>(static_cast<int>(8363.0 * std::exp2((4608.0 - period) / 768.0)));
}

TEST(XmLoader, HeaderAndCounts)
{
    EXPECT_EQ(openResult(oneInstrument().marker(0x1B)), AURA_ERR_FORMAT);
    struct Case {
        const char *what;
        int songLength, channels, instruments;
    };
    const Case refused[] = {
        {"song length 0", 0, -1, -1}, {"song length 257", 257, -1, -1}, {"no channels", -1, 0, -1},
        {"65 channels", -1, 65, -1},  {"129 instruments", -1, -1, 129}, {"negative channels", -1, 0xFFFF, -1},
    };
    for (const Case &c : refused) {
        EXPECT_EQ(openResult(oneInstrument().fields(c.songLength, c.channels, -1, c.instruments)), AURA_ERR_FORMAT)
            << c.what;
    }
    XmInstrument seventeen = auratest::xmSine();
    seventeen.sampleCountField = 17;
    EXPECT_EQ(openResult(oneInstrument(seventeen)), AURA_ERR_FORMAT);
    EXPECT_EQ(openResult(oneInstrument().rawPattern(0, 257, {})), AURA_ERR_FORMAT);

    // Orders naming pattern 200 with 10 stored: 201 patterns, the missing
    // ones 64 empty rows. A restart outside the song is order 0.
    XmWriter writer = oneInstrument();
    writer.rows(9, 32).orders({0, 200}).restart(7);
    Song song = open(writer);
    ASSERT_EQ(song.codec->numPatterns(), 201);
    EXPECT_EQ(song.codec->pattern(200).mRows, 64);
    EXPECT_NE(song.codec->pattern(200).mData, nullptr);
    EXPECT_EQ(song.codec->restart(), 0);
    int channels = 0;
    ASSERT_EQ(song.codec->getMusicNumChannelsInternal(&channels), AURA_OK);
    EXPECT_EQ(channels, 4);
}

TEST(XmLoader, PackedCells)
{
    // Row 0: an empty mask, a bare 97 (key-off and four bytes), a note past
    // the map, an instrument past 128. Row 1 stops short of its cells: the
    // rest stay empty and the next pattern reads from its own start.
    XmWriter writer = oneInstrument();
    writer.rawPattern(0, 3, {0x80, 97, 1, 0, 0, 0, 0x81, 98, 0x83, 49, 200, 0x81, 50})
        .rawPattern(1, 0, {})
        .cell(2, 0, 0, {kC4, 1})
        .orders({0, 1, 2});
    Song song = open(writer);
    const AURA::MusicNote *cells = song.codec->pattern(0).mData;
    EXPECT_EQ(cells[0].mNote, 0);
    EXPECT_EQ(cells[1].mNote, AURA::CodecXM::KEY_OFF);
    EXPECT_EQ(cells[1].mInstrument, 1);
    EXPECT_EQ(cells[2].mNote, 0);
    EXPECT_EQ(cells[3].mNote, 49);
    EXPECT_EQ(cells[3].mInstrument, 0);
    EXPECT_EQ(cells[4].mNote, 50);
    for (int i = 5; i < 12; ++i) {
        EXPECT_EQ(cells[i].mNote, 0) << i;
    }
    EXPECT_EQ(song.codec->pattern(1).mRows, 64);
    EXPECT_EQ(song.codec->pattern(2).mData[0].mNote, kC4);
}

TEST(XmLoader, InstrumentsAndSamples)
{
    XmInstrument empty;
    XmInstrument shaped = auratest::xmSine();
    shaped.volume.points = {{0, 32}};
    shaped.volume.type = 1;
    shaped.pan.points = {{0, 32}, {4, 90}, {2, 10}};
    shaped.pan.type = 7;
    shaped.pan.countField = 20;
    shaped.pan.sustain = 30;
    shaped.pan.loopEnd = 40;
    shaped.fadeout = 300;
    XmSample noLoop;
    noLoop.data = {1, 2, 3, 4};
    noLoop.loopType = 1;
    noLoop.loopLength = 0;
    XmSample odd;
    odd.sixteen = true;
    odd.raw = {0x10, 0x00, 0x20, 0x00, 0x7F};
    XmSample stereo;
    stereo.stereo = true;
    stereo.sixteen = true;
    stereo.data = {100, -100, 200, -200, 300, -300};
    stereo.loopType = 2;
    stereo.loopLength = 2;
    XmSample huge;
    huge.data = {5, 6, 7};
    huge.lengthField = 0xFFFFFFF0;
    XmInstrument several;
    several.samples = {noLoop, odd, stereo, huge};
    XmWriter writer;
    writer.instrument(empty).instrument(shaped).instrument(several);
    Song song = open(writer);
    ASSERT_EQ(song.codec->numInstruments(), 3);
    // The empty instrument's 29 bytes are all it has: the next loads whole.
    EXPECT_EQ(song.codec->instrument(0).mNumSamples, 0);
    const AURA::MusicInstrument &second = song.codec->instrument(1);
    EXPECT_EQ(second.mNumSamples, 1);
    EXPECT_EQ(second.mVolumeEnvelope.mType, 0) << "a one-point envelope is off";
    EXPECT_EQ(second.mPanEnvelope.mCount, 12);
    EXPECT_EQ(second.mPanEnvelope.mSustain, 11);
    EXPECT_EQ(second.mPanEnvelope.mLoopEnd, 11);
    EXPECT_EQ(second.mFadeOut, 600u);
    ASSERT_EQ(song.codec->numSamples(), 5);

    const AURA::MusicSample &plain = song.codec->sample(1);
    EXPECT_FALSE(plain.mLoop);
    EXPECT_EQ(plain.mLoopLength, 4u);
    EXPECT_EQ(std::vector<int8_t>(plain.mData, plain.mData + 4), (std::vector<int8_t>{1, 2, 3, 4}));
    const AURA::MusicSample &oddOne = song.codec->sample(2);
    ASSERT_EQ(oddOne.mLength, 2u);
    const auto *points = reinterpret_cast<const int16_t *>(oddOne.mData);
    EXPECT_EQ(points[0], 0x10);
    EXPECT_EQ(points[1], 0x30);
    const AURA::MusicSample &twin = song.codec->sample(3);
    EXPECT_EQ(twin.mChannels, 2);
    EXPECT_EQ(twin.mLength, 3u);
    EXPECT_TRUE(twin.mBidi);
    EXPECT_EQ(twin.mLoopLength, 2u);
    const auto *lr = reinterpret_cast<const int16_t *>(twin.mData);
    EXPECT_EQ(std::vector<int16_t>(lr, lr + 6), (std::vector<int16_t>{100, -100, 200, -200, 300, -300}));
    // A length past the file is what the file holds.
    EXPECT_EQ(song.codec->sample(4).mLength, 3u);
}

TEST(XmTraces, Pitch)
{
    // Linear C-4: period 4608, 8363 Hz.
    {
        Song song = open(oneInstrument().cell(0, 0, 0, {kC4, 1}));
        ticks(song, 1);
        const std::vector<VoiceEvent> want = {
            {0, 0, 0, 0, VoiceCommand::Start, 0.0f},
            {0, 0, 0, 0, VoiceCommand::Volume, 0.5f},
            {0, 0, 0, 0, VoiceCommand::Pan, 0.0f},
            {0, 0, 0, 0, VoiceCommand::Frequency, 8363.0f},
        };
        EXPECT_EQ(song.host->events, want);
    }
    // Amiga: finetune interpolates between neighbouring periods.
    for (const auto &[finetune, period] : {std::pair<int8_t, int>{0, 1712}, {64, 1664}, {-64, 1762}}) {
        XmInstrument in = auratest::xmSine();
        in.samples[0].finetune = finetune;
        Song song = open(oneInstrument(in).amiga().cell(0, 0, 0, {kC4, 1}));
        ticks(song, 1);
        EXPECT_EQ(valuesOf(song, VoiceCommand::Frequency, 0), std::vector<float>{static_cast<float>(14317056 / period)})
            << int(finetune);
    }
    int period = 0;
    ASSERT_EQ(AURA::CodecXM::getAmigaPeriod(250, 127, &period), AURA_OK);
    EXPECT_EQ(period, 15);
}

TEST(XmTraces, SongEnds)
{
    // Speed 0, and a negative one, end the song at once.
    for (const int speed : {0, 0xFFFF}) {
        Song song = open(oneInstrument().speed(speed).cell(0, 0, 0, {kC4, 1}));
        ticks(song, 1);
        EXPECT_TRUE(song.codec->finished()) << speed;
        EXPECT_TRUE(song.host->only(VoiceCommand::Stop).empty());
        ticks(song, 1);
        EXPECT_EQ(song.host->only(VoiceCommand::Stop).size(), 1u) << speed;
    }
    // B past the end finishes, and the next row start stops every voice.
    {
        Song song = open(oneInstrument().cell(0, 0, 0, {kC4, 1}).cell(0, 1, 0, {0, 0, 0, 11, 5}));
        ticks(song, 7);
        EXPECT_TRUE(song.codec->finished());
        ticks(song, 5);
        EXPECT_TRUE(song.host->only(VoiceCommand::Stop).empty());
        ticks(song, 1);
        EXPECT_EQ(song.host->only(VoiceCommand::Stop).size(), 1u);
    }
    // D64 is row 0 of the next order.
    {
        XmWriter writer = oneInstrument();
        writer.orders({0, 1}).rows(1, 64).cell(0, 3, 0, {0, 0, 0, 13, 0x64});
        Song song = open(writer);
        ticks(song, 4 * 6 + 1);
        EXPECT_EQ(song.codec->order(), 1);
        EXPECT_EQ(song.codec->row(), 0);
    }
    // 9xx past the loop end does not start the note and stops the voice.
    {
        Song song = open(oneInstrument().cell(0, 0, 0, {kC4, 1}).cell(0, 1, 0, {kC4, 1, 0, 9, 1}));
        ticks(song, 7);
        EXPECT_EQ(song.host->only(VoiceCommand::Start).size(), 1u);
        const auto stops = song.host->only(VoiceCommand::Stop);
        ASSERT_EQ(stops.size(), 1u);
        EXPECT_EQ(stops[0].row, 1);
    }
}

TEST(XmTraces, KeyOffEnvelopesAndFadeout)
{
    // Without a volume envelope the key-off silences at once.
    {
        Song song = open(oneInstrument().cell(0, 0, 0, {kC4, 1}).cell(0, 1, 0, {kKeyOff}));
        ticks(song, 12);
        EXPECT_EQ(valuesOf(song, VoiceCommand::Volume, 1), std::vector<float>(6, 0.0f));
    }
    // A sustain holds until the key-off; then the fadeout runs.
    XmInstrument held = auratest::xmSine();
    held.volume.points = {{0, 64}, {2, 64}};
    held.volume.type = 3;
    held.fadeout = 2048; // 4096 of 65536 a tick
    Song song = open(oneInstrument(held).cell(0, 0, 0, {kC4, 1}).cell(0, 2, 0, {kKeyOff}));
    ticks(song, 18);
    EXPECT_EQ(valuesOf(song, VoiceCommand::Volume, 1), std::vector<float>(6, 0.5f));
    std::vector<float> fading;
    for (int k = 1; k <= 6; ++k) {
        fading.push_back(0.5f * static_cast<float>(65536 - 4096 * k) / 65536.0f);
    }
    EXPECT_EQ(valuesOf(song, VoiceCommand::Volume, 2), fading);

    // Envelopes that would spin or grow: equal x in a loop, x going back.
    XmInstrument odd = auratest::xmSine();
    odd.volume.points = {{0, 64}, {0, 32}, {0, 16}};
    odd.volume.type = 5;
    odd.volume.loopEnd = 2;
    odd.pan.points = {{0, 0}, {10, 64}, {5, 0}};
    odd.pan.type = 1;
    Song spin = open(oneInstrument(odd).cell(0, 0, 0, {kC4, 1}));
    ticks(spin, 24);
    for (const VoiceEvent &e : spin.host->events) {
        if (e.command == VoiceCommand::Volume) {
            EXPECT_TRUE(e.value >= 0.0f && e.value <= 0.5f) << e;
        }
        if (e.command == VoiceCommand::Pan) {
            EXPECT_TRUE(e.value >= -1.0f && e.value <= 1.0f) << e;
        }
    }
}

TEST(XmTraces, Effects)
{
    XmInstrument falling = auratest::xmSine();
    falling.volume.points = {{0, 64}, {4, 0}};
    falling.volume.type = 1;
    struct Case {
        const char *what;
        XmInstrument instrument;
        XmCell second; // row 1, after a C-4 with the instrument on row 0
        std::vector<float> volumes; // row 1, tick by tick
    };
    const Case cases[] = {
        {"L02: the envelope at tick 2", falling, {0, 0, 0, 21, 2}, {0.25f, 0.125f}},
        {"T21: 3 on, 2 off", auratest::xmSine(), {0, 0, 0, 29, 0x21}, {0.5f, 0.5f, 0.5f, 0.0f, 0.0f, 0.5f}},
        {"G20: half", auratest::xmSine(), {0, 0, 0, 16, 0x20}, {0.25f}},
        {"H01: the global level slides",
         auratest::xmSine(),
         {0, 0, 0, 17, 0x01},
         {0.5f, 0.5f * 63 / 64, 0.5f * 62 / 64, 0.5f * 61 / 64, 0.5f * 60 / 64, 0.5f * 59 / 64}},
        {"CFF is full level", auratest::xmSine(), {0, 0, 0, 12, 0xFF}, {0.5f}},
    };
    for (const Case &c : cases) {
        Song song = open(oneInstrument(c.instrument).cell(0, 0, 0, {kC4, 1}).cell(0, 1, 0, c.second));
        ticks(song, 12);
        std::vector<float> got = valuesOf(song, VoiceCommand::Volume, 1);
        got.resize(std::min(got.size(), c.volumes.size()));
        EXPECT_EQ(got, c.volumes) << c.what;
    }
    // X1 and X2: extra-fine slides by a period step.
    for (const auto &[param, period] : {std::pair<uint8_t, int>{0x12, 4606}, {0x22, 4610}}) {
        Song song = open(oneInstrument().cell(0, 0, 0, {kC4, 1}).cell(0, 1, 0, {0, 0, 0, 33, param}));
        ticks(song, 7);
        EXPECT_EQ(valuesOf(song, VoiceCommand::Frequency, 1), std::vector<float>{linearHz(period)});
    }
}

TEST(XmTraces, RestartsResendEverything)
{
    // E9, R and ED without an instrument: each start re-sends level, place
    // and pitch.
    struct Case {
        const char *what;
        XmCell second;
        int tick;
    };
    const Case cases[] = {
        {"E93", {0, 0, 0, 14, 0x93}, 3},
        {"R83", {0, 0, 0, 27, 0x83}, 3},
        {"ED2 without an instrument", {xmNote(5, 0), 0, 0, 14, 0xD2}, 2},
    };
    for (const Case &c : cases) {
        XmInstrument in = auratest::xmSine();
        in.samples[0].pan = 255;
        Song song = open(oneInstrument(in).cell(0, 0, 0, {kC4, 1, 0x30}).cell(0, 1, 0, c.second));
        ticks(song, 12);
        const float hz = c.second.note ? linearHz(4608 - 768) : 8363.0f;
        const std::vector<VoiceEvent> want = {
            {0, 1, c.tick, 0, VoiceCommand::Start, 0.0f},
            {0, 1, c.tick, 0, VoiceCommand::Volume, 0.5f * 32 / 64},
            {0, 1, c.tick, 0, VoiceCommand::Pan, 1.0f},
            {0, 1, c.tick, 0, VoiceCommand::Frequency, hz},
        };
        EXPECT_EQ(at(song, 1, c.tick), want) << c.what;
    }
}

} // namespace
