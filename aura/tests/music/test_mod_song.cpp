// The MOD loader and the song base under it: tags, sample headers, orders,
// song time, voice slots, seeks and the codec operations.
#include "music/aura_codec_mod.h"

#include "mod_writer.h"
#include "music_trace.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using auratest::ModWriter;
using auratest::VoiceCommand;
using Song = auratest::TracedSong<AURA::CodecMOD>;

Song open(const ModWriter &writer, AURA_MODE mode = 0, int rate = 44100)
{
    static std::vector<std::vector<uint8_t>> keep;
    keep.push_back(writer.bytes());
    return auratest::openTraced<AURA::CodecMOD>(keep.back(), mode, rate);
}

TEST(ModLoader, Tags)
{
    const struct {
        const char *tag;
        int channels; // 0: refused
    } cases[] = {{"M.K.", 4}, {"M!K!", 4}, {"FLT4", 4}, {"6CHN", 6}, {"8CHN", 8}, {"10CH", 10}, {"32CH", 32},
                 {"2CHN", 2}, {"33CH", 0}, {"0CHN", 0}, {"00CH", 0}, {"XM  ", 0}, {"FLT8", 0}};
    for (const auto &c : cases) {
        const int channels = c.channels ? c.channels : 4;
        ModWriter writer(channels, c.tag);
        writer.sample(1, auratest::sineSample());
        Song song = open(writer);
        if (!c.channels) {
            EXPECT_EQ(song.result, AURA_ERR_FORMAT) << c.tag;
            continue;
        }
        ASSERT_EQ(song.result, AURA_OK) << c.tag;
        int count = 0;
        EXPECT_EQ(song.codec->getMusicNumChannelsInternal(&count), AURA_OK);
        EXPECT_EQ(count, c.channels) << c.tag;
        EXPECT_EQ(song.codec->numVirtualChannels(), c.channels) << c.tag;
    }
    // Too short to hold a tag, or cut off inside its patterns.
    std::vector<uint8_t> bytes = ModWriter().bytes();
    std::vector<uint8_t> head(bytes.begin(), bytes.begin() + 1000);
    EXPECT_EQ(auratest::openTraced<AURA::CodecMOD>(head).result, AURA_ERR_FORMAT);
    std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + 1084 + 100);
    EXPECT_EQ(auratest::openTraced<AURA::CodecMOD>(cut).result, AURA_ERR_FILE_EOF);
}

TEST(ModLoader, SampleHeaders)
{
    struct Case {
        const char *what;
        unsigned int bytes, loopStartWords, loopLengthWords;
        uint8_t finetune;
        bool loop;
        unsigned int loopStart, loopLength, middleC;
    };
    const Case cases[] = {
        {"a loop word of 1 is no loop", 100, 0, 1, 0, false, 0, 100, 8363},
        {"a plain loop", 100, 10, 20, 0, true, 20, 40, 8363},
        {"a doubled start at the end is taken undoubled", 100, 50, 10, 0, true, 50, 20, 8363},
        {"a loop past the end is cut to it", 100, 40, 30, 0, true, 80, 20, 8363},
        {"a start past the end even undoubled stays in the sample", 100, 150, 30, 0, false, 0, 100, 8363},
        {"finetune 0x1F is middle C", 100, 0, 1, 0x1F, false, 0, 100, 8363},
        {"finetune 7", 100, 0, 1, 7, false, 0, 100, 8757},
        {"finetune 8 is -8", 100, 0, 1, 8, false, 0, 100, 7895},
    };
    for (const Case &c : cases) {
        auratest::ModSample s;
        s.data.assign(c.bytes, 1);
        s.loopStartWords = c.loopStartWords;
        s.loopLengthWords = c.loopLengthWords;
        s.finetune = c.finetune;
        ModWriter writer;
        writer.sample(3, s);
        Song song = open(writer);
        ASSERT_EQ(song.result, AURA_OK) << c.what;
        const AURA::MusicSample &loaded = song.codec->sample(2);
        EXPECT_EQ(loaded.mLength, c.bytes) << c.what;
        EXPECT_EQ(loaded.mLoop, c.loop) << c.what;
        EXPECT_EQ(loaded.mLoopStart, c.loopStart) << c.what;
        EXPECT_EQ(loaded.mLoopLength, c.loopLength) << c.what;
        EXPECT_LE(loaded.mLoopStart + loaded.mLoopLength, loaded.mLength) << c.what;
        EXPECT_EQ(loaded.mMiddleC, c.middleC) << c.what;
    }
}

TEST(ModLoader, OrdersAndPeriods)
{
    // An entry of 63 beyond the song length still makes 64 patterns.
    {
        ModWriter writer;
        writer.orderEntry(100, 63);
        Song song = open(writer);
        ASSERT_EQ(song.result, AURA_OK);
        unsigned int value = 0;
        EXPECT_EQ(song.codec->getLengthInternal(&value, AURA_TIMEUNIT_MODPATTERN), AURA_OK);
        EXPECT_EQ(value, 64u);
        EXPECT_EQ(song.codec->getLengthInternal(&value, AURA_TIMEUNIT_MODORDER), AURA_OK);
        EXPECT_EQ(value, 1u);
    }
    // The song length byte: 128 is legal, 0 and more than 128 are clamped,
    // and the orders wrap inside the played list.
    for (const auto &[stored, orders] : {std::pair{128, 128u}, {0, 1u}, {200, 128u}}) {
        ModWriter writer;
        writer.songLength(stored);
        Song song = open(writer, AURA_ACCURATETIME);
        ASSERT_EQ(song.result, AURA_OK) << stored;
        unsigned int value = 0;
        EXPECT_EQ(song.codec->getLengthInternal(&value, AURA_TIMEUNIT_MODORDER), AURA_OK);
        EXPECT_EQ(value, orders) << stored;
        AURA_CODEC_WAVEFORMAT format{};
        ASSERT_EQ(song.codec->getWaveFormat(0, &format), AURA_OK);
        EXPECT_EQ(format.lengthpcm, orders * 64u * 6u * 882u) << stored;
    }
    // Periods to notes: none, exact, between two entries (the higher note).
    const struct {
        unsigned int period;
        int note;
    } notes[] = {{0, 0}, {13, 0}, {428, 49}, {427, 50}, {405, 50}, {1712, 25}, {14, 108}, {7000, 1}, {2900, 16}};
    for (const auto &n : notes) {
        EXPECT_EQ(AURA::CodecMOD::noteFromPeriod(n.period), n.note) << n.period;
    }
}

TEST(ModSongBase, SongClock)
{
    ModWriter writer;
    Song song = open(writer);
    ASSERT_EQ(song.result, AURA_OK);
    AURA::CodecMOD &codec = *song.codec;
    struct Case {
        int bpm;
        float speed;
        int samplesPerTick;
    };
    // 125 BPM is 50 ticks a second; BPM 0 or less counts as 0.4 ticks a
    // second; master speed 2 halves the tick; a rate under 0.01 keeps it.
    const Case cases[] = {{125, 1.0f, 882},   {32, 1.0f, 3445}, {0, 1.0f, 110250},
                          {-5, 1.0f, 110250}, {125, 2.0f, 441}, {1, 0.001f, 882000}};
    for (const Case &c : cases) {
        ASSERT_EQ(codec.setMusicSpeedInternal(c.speed), AURA_OK);
        ASSERT_EQ(codec.update(false), AURA_OK); // the speed applies at the next tick
        ASSERT_EQ(codec.setBPM(c.bpm), AURA_OK);
        EXPECT_EQ(codec.samplesPerTick(), c.samplesPerTick) << c.bpm << " " << c.speed;
    }
    Song at48 = open(writer, 0, 48000);
    ASSERT_EQ(at48.result, AURA_OK);
    EXPECT_EQ(at48.codec->samplesPerTick(), 960);

    float speed = 0.0f;
    EXPECT_EQ(codec.getMusicSpeedInternal(&speed), AURA_OK);
    EXPECT_FLOAT_EQ(speed, 0.001f);
    EXPECT_EQ(codec.getMusicSpeedInternal(nullptr), AURA_ERR_INVALID_PARAM);
    unsigned int untouched = 77;
    EXPECT_EQ(codec.getLengthInternal(&untouched, AURA_TIMEUNIT_MS), AURA_OK);
    EXPECT_EQ(untouched, 77u);
}

TEST(ModSongBase, VoiceSlotsAndChannelVolumes)
{
    ModWriter writer(2, "2CHN");
    writer.sample(1, auratest::sineSample()).cell(0, 0, 0, {428, 1, 0, 0}).cell(0, 0, 1, {428, 1, 0, 0});
    Song song = open(writer);
    ASSERT_EQ(song.result, AURA_OK);
    AURA::CodecMOD &codec = *song.codec;
    ASSERT_EQ(codec.update(true), AURA_OK);
    // Both slots taken: a further request gets 33 and changes nothing.
    AURA::MusicChannel spare;
    AURA::MusicVirtualChannel *slot = &codec.virtualChannel(0)[0];
    EXPECT_EQ(codec.spawnNewVirtualChannel(&spare, nullptr, &slot), AURA_ERR_INTERNAL);
    EXPECT_EQ(slot, codec.virtualChannel(0));
    EXPECT_EQ(spare.mSlot, nullptr);
    EXPECT_TRUE(codec.virtualChannel(0)->mInUse && codec.virtualChannel(1)->mInUse);
    EXPECT_NE(codec.virtualChannel(1)->mOwner, &spare);

    // Channel volumes: checked, scaled into the level, kept over seeks.
    const struct {
        int channel;
        float volume;
        AURA_RESULT result;
    } sets[] = {{0, 0.5f, AURA_OK},
                {2, 0.5f, AURA_ERR_INVALID_PARAM},
                {-1, 0.5f, AURA_ERR_INVALID_PARAM},
                {1, 1.5f, AURA_ERR_INVALID_PARAM},
                {1, -0.1f, AURA_ERR_INVALID_PARAM}};
    for (const auto &s : sets) {
        EXPECT_EQ(codec.setMusicChannelVolumeInternal(s.channel, s.volume), s.result) << s.channel;
    }
    float volume = 0.0f;
    EXPECT_EQ(codec.getMusicChannelVolumeInternal(2, &volume), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(codec.getMusicChannelVolumeInternal(0, nullptr), AURA_ERR_INVALID_PARAM);
    ASSERT_EQ(codec.setPositionInternal(0, 0, AURA_TIMEUNIT_MODORDER), AURA_OK);
    ASSERT_EQ(codec.setPositionInternal(0, 50000, AURA_TIMEUNIT_PCM), AURA_OK);
    ASSERT_EQ(codec.setPositionInternal(0, 0, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(codec.getMusicChannelVolumeInternal(0, &volume), AURA_OK);
    EXPECT_FLOAT_EQ(volume, 0.5f);
    song.host->events.clear();
    ASSERT_EQ(codec.update(true), AURA_OK);
    const auto levels = song.host->only(VoiceCommand::Volume);
    ASSERT_EQ(levels.size(), 2u);
    EXPECT_FLOAT_EQ(levels[0].value, 0.25f);
    EXPECT_FLOAT_EQ(levels[1].value, 0.5f);
    // Only an open goes back to full.
    Song again = open(writer);
    EXPECT_EQ(again.codec->getMusicChannelVolumeInternal(0, &volume), AURA_OK);
    EXPECT_FLOAT_EQ(volume, 1.0f);
}

TEST(ModSongBase, PcmSeeks)
{
    // A song with speed and tempo changes, a jump and a pattern loop.
    ModWriter writer;
    writer.sample(1, auratest::sineSample()).orders({0, 1, 0}).patterns(2);
    writer.cell(0, 0, 0, {428, 1, 0xF, 3}).cell(0, 4, 1, {300, 1, 0xF, 90}).cell(0, 8, 2, {0, 0, 0xE, 0x60});
    writer.cell(0, 9, 2, {0, 0, 0xE, 0x62}).cell(0, 30, 0, {0, 0, 0xD, 0x10}).cell(1, 20, 3, {500, 1, 0xF, 7});
    Song song = open(writer);
    ASSERT_EQ(song.result, AURA_OK);
    AURA::CodecMOD &codec = *song.codec;
    struct Point {
        unsigned int pcm;
        int order, row, tick;
    };
    std::vector<Point> run;
    for (int i = 0; i < 800; ++i) {
        run.push_back({codec.pcmPosition(), codec.order(), codec.row(), codec.tick()});
        ASSERT_EQ(codec.update(true), AURA_OK);
    }
    // Forward and backward, on and between tick boundaries.
    for (unsigned int target : {100000u, 3000u, 250000u, 250001u, 1u, 400000u, 399999u}) {
        ASSERT_EQ(codec.setPositionInternal(0, target, AURA_TIMEUNIT_PCM), AURA_OK);
        const auto at = std::find_if(run.begin(), run.end(), [&](const Point &p) { return p.pcm >= target; });
        ASSERT_NE(at, run.end());
        EXPECT_EQ(codec.pcmPosition(), at->pcm) << target;
        EXPECT_EQ(codec.order(), at->order) << target;
        EXPECT_EQ(codec.row(), at->row) << target;
        EXPECT_EQ(codec.tick(), at->tick) << target;
    }
    // A forward seek keeps the voices it started; a backward one silences them.
    ASSERT_EQ(codec.setPositionInternal(0, 0, AURA_TIMEUNIT_MODORDER), AURA_OK);
    ASSERT_EQ(codec.setPositionInternal(0, 20000, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_TRUE(song.host->voices[0].isPlaying());
    ASSERT_EQ(codec.setPositionInternal(0, 10000, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_FALSE(song.host->voices[0].isPlaying());
    EXPECT_EQ(codec.setPositionInternal(0, 1, AURA_TIMEUNIT_MS), AURA_ERR_FORMAT);
}

TEST(ModSongBase, ReadWritesSilenceWhenNotPlaying)
{
    ModWriter writer;
    writer.sample(1, auratest::sineSample());
    Song song = open(writer, AURA_SOFTWARE);
    ASSERT_EQ(song.result, AURA_OK);
    std::vector<float> buffer(256, 7.0f);
    unsigned int read = 0;
    // At master speed 0 and after a stop nothing advances and nothing stale plays.
    ASSERT_EQ(song.codec->setMusicSpeedInternal(0.0f), AURA_OK);
    ASSERT_EQ(song.codec->readInternal(buffer.data(), 1024, &read), AURA_OK);
    EXPECT_EQ(read, 1024u);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0.0f), 256);
    EXPECT_EQ(song.codec->pcmPosition(), 0u);
    std::fill(buffer.begin(), buffer.end(), 7.0f);
    ASSERT_EQ(song.codec->setMusicSpeedInternal(1.0f), AURA_OK);
    ASSERT_EQ(song.codec->stop(), AURA_OK);
    ASSERT_EQ(song.codec->readInternal(buffer.data(), 1024, &read), AURA_OK);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0.0f), 256);
}

TEST(ModSongBase, MeasuringStopsAtItsCap)
{
    // 128 orders of 64 rows at speed 31 and 32 BPM last over five hours:
    // the measurement ends at two.
    ModWriter writer;
    std::vector<uint8_t> orders(128, 0);
    writer.orders(orders).cell(0, 0, 0, {0, 0, 0xF, 31}).cell(0, 0, 1, {0, 0, 0xF, 32});
    Song song = open(writer, AURA_ACCURATETIME, 8000);
    ASSERT_EQ(song.result, AURA_OK);
    AURA_CODEC_WAVEFORMAT format{};
    ASSERT_EQ(song.codec->getWaveFormat(0, &format), AURA_OK);
    EXPECT_EQ(format.lengthpcm, 2u * 3600u * 8000u);
}

} // namespace
