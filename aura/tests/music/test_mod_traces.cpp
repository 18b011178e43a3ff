// The MOD tick engine through its voice commands: songs written in memory,
// played on a host that records (order, row, tick, slot, command, value).
#include "music/aura_codec_mod.h"

#include "mod_writer.h"
#include "music_trace.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using auratest::ModCell;
using auratest::ModWriter;
using auratest::VoiceCommand;
using auratest::VoiceEvent;
using Song = auratest::TracedSong<AURA::CodecMOD>;

constexpr float kClock = 14317056.0f;

Song open(const ModWriter &writer, AURA_MODE mode = 0)
{
    static std::vector<std::vector<uint8_t>> keep; // the files outlive their songs
    keep.push_back(writer.bytes());
    Song song = auratest::openTraced<AURA::CodecMOD>(keep.back(), mode);
    EXPECT_EQ(song.result, AURA_OK);
    return song;
}

void ticks(Song &song, int count)
{
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(song.codec->update(true), AURA_OK);
    }
}

// Ticks until the song reaches (order, row) at tick 0, at most `limit`.
int ticksUntil(Song &song, int order, int row, int limit = 10000)
{
    for (int i = 0; i < limit; ++i) {
        EXPECT_EQ(song.codec->update(true), AURA_OK);
        if (song.codec->order() == order && song.codec->row() == row && song.codec->tick() == 1) {
            return i;
        }
    }
    return -1;
}

ModWriter oneSample(int channels = 4)
{
    ModWriter writer(channels);
    writer.sample(1, auratest::sineSample(64));
    return writer;
}

TEST(ModTraces, NotePitchAndStartSendAllThree)
{
    // 428 is note 49, 1712 at middle C: 14317056 / 1712 in integers.
    Song song = open(oneSample().cell(0, 0, 0, {428, 1, 0, 0}));
    ticks(song, 1);
    const std::vector<VoiceEvent> want = {
        {0, 0, 0, 0, VoiceCommand::Start, 0.0f},
        {0, 0, 0, 0, VoiceCommand::Volume, 0.5f},
        {0, 0, 0, 0, VoiceCommand::Pan, -0.8f},
        {0, 0, 0, 0, VoiceCommand::Frequency, 8362.0f},
    };
    EXPECT_EQ(song.host->events, want);
}

TEST(ModTraces, RowTiming)
{
    // EE2 at speed 6: the row lasts 18 ticks, and a slide in another column
    // keeps running through the delay.
    {
        Song song = open(oneSample()
                             .cell(0, 0, 0, {428, 1, 0, 0})
                             .cell(0, 1, 0, {0, 0, 0xE, 0xE2})
                             .cell(0, 1, 1, {428, 1, 0xA, 0x01}));
        ticks(song, 6);
        EXPECT_EQ(ticksUntil(song, 0, 2), 18);
        int slides = 0;
        for (const VoiceEvent &e : song.host->events) {
            slides += e.row == 1 && e.slot == 1 && e.command == VoiceCommand::Volume && e.tick > 0;
        }
        EXPECT_EQ(slides, 17);
    }
    // F1F sets speed 31, F20 sets 32 BPM (3445 frames a tick at 44100 Hz).
    {
        Song song = open(oneSample().cell(0, 0, 0, {0, 0, 0xF, 0x1F}).cell(0, 0, 1, {0, 0, 0xF, 0x20}));
        ticks(song, 1);
        EXPECT_EQ(song.codec->speed(), 31);
        EXPECT_EQ(song.codec->bpm(), 32);
        EXPECT_EQ(song.codec->samplesPerTick(), 3445);
    }
}

TEST(ModTraces, Jumps)
{
    struct Case {
        const char *what;
        std::vector<std::pair<int, ModCell>> cells; // on row 3 of order 0, by column
        int order, row;
    };
    const Case cases[] = {
        {"D70 is row 0 of the next order", {{0, {0, 0, 0xD, 0x70}}}, 1, 0},
        {"D12 is row 12 of the next order", {{0, {0, 0, 0xD, 0x12}}}, 1, 12},
        {"B then D: the B's order, the D's row", {{0, {0, 0, 0xB, 2}}, {1, {0, 0, 0xD, 0x05}}}, 2, 5},
        {"D then B: row 0 of the B's order", {{0, {0, 0, 0xD, 0x05}}, {1, {0, 0, 0xB, 2}}}, 2, 0},
        {"B past the song goes to order 0", {{0, {0, 0, 0xB, 9}}}, 0, 0},
    };
    for (const Case &c : cases) {
        ModWriter writer = oneSample();
        writer.orders({0, 1, 2}).patterns(3);
        for (const auto &[column, cell] : c.cells) {
            writer.cell(0, 3, column, cell);
        }
        Song song = open(writer);
        ticks(song, 4 * 6);
        ticks(song, 1);
        EXPECT_EQ(song.codec->order(), c.order) << c.what;
        EXPECT_EQ(song.codec->row(), c.row) << c.what;
    }
}

TEST(ModTraces, PatternLoopRepeatsAndIsMeasured)
{
    ModWriter writer = oneSample();
    writer.cell(0, 0, 0, {428, 1, 0xE, 0x60}).cell(0, 1, 0, {0, 0, 0xE, 0x63});
    Song song = open(writer, AURA_ACCURATETIME);
    // 64 rows and the two looped rows three more times, 6 ticks of 882.
    AURA_CODEC_WAVEFORMAT format{};
    ASSERT_EQ(song.codec->getWaveFormat(0, &format), AURA_OK);
    EXPECT_EQ(format.lengthpcm, (64u + 6u) * 6u * 882u);
    ticks(song, (64 + 6) * 6);
    EXPECT_EQ(song.host->only(VoiceCommand::Start).size(), 4u);
}

TEST(ModTraces, Portamento)
{
    // Up stops at 56 (255 685 Hz); down has no floor on the pitch.
    {
        Song song = open(oneSample().cell(0, 0, 0, {113, 1, 0, 0}).cell(0, 1, 0, {0, 0, 0x1, 0xFF}));
        ticks(song, 12);
        const auto freq = song.host->only(VoiceCommand::Frequency);
        ASSERT_GE(freq.size(), 6u);
        EXPECT_FLOAT_EQ(freq.back().value, static_cast<float>(14317056 / 56));
    }
    // Tone portamento with a note sets the target only: no restart.
    {
        Song song = open(oneSample().cell(0, 0, 0, {428, 1, 0, 0}).cell(0, 1, 0, {214, 1, 0x3, 0x10}));
        ticks(song, 12);
        EXPECT_EQ(song.host->only(VoiceCommand::Start).size(), 1u);
        const auto freq = song.host->only(VoiceCommand::Frequency);
        EXPECT_FLOAT_EQ(freq.back().value, static_cast<float>(14317056 / (1712 - 5 * 4 * 16)));
    }
}

TEST(ModTraces, VolumeCommands)
{
    // A sample number alone resets the level, without a restart.
    {
        ModWriter writer = oneSample();
        writer.cell(0, 0, 0, {428, 1, 0xC, 0x10}).cell(0, 1, 0, {0, 1, 0, 0});
        Song song = open(writer);
        ticks(song, 7);
        const auto volume = song.host->only(VoiceCommand::Volume);
        EXPECT_FLOAT_EQ(volume.front().value, 16.0f / 64 * 0.5f);
        EXPECT_FLOAT_EQ(volume.back().value, 0.5f);
        EXPECT_EQ(song.host->only(VoiceCommand::Start).size(), 1u);
    }
    // C above 64 is full level, no louder.
    {
        Song song = open(oneSample().cell(0, 0, 0, {428, 1, 0xC, 0xA0}));
        ticks(song, 1);
        EXPECT_FLOAT_EQ(song.host->only(VoiceCommand::Volume).back().value, 0.5f);
    }
    // EC0 does nothing; EC2 cuts at tick 2.
    {
        Song song = open(oneSample().cell(0, 0, 0, {428, 1, 0xE, 0xC0}).cell(0, 0, 1, {428, 1, 0xE, 0xC2}));
        ticks(song, 6);
        for (const VoiceEvent &e : song.host->only(VoiceCommand::Volume)) {
            EXPECT_TRUE(e.value > 0.0f || (e.slot == 1 && e.tick == 2)) << e;
        }
        EXPECT_EQ(song.host->only(VoiceCommand::Volume).size(), 3u);
    }
    // Tremolo at depth 15 on level 10 swings the sounding level over 0..64.
    {
        ModWriter longer = oneSample();
        longer.cell(0, 0, 0, {428, 1, 0xC, 10});
        for (int row = 1; row < 16; ++row) {
            longer.cell(0, row, 0, {0, 0, 0x7, 0x4F});
        }
        Song swing = open(longer);
        ticks(swing, 16 * 6);
        float low = 1.0f;
        float high = 0.0f;
        for (const VoiceEvent &e : swing.host->only(VoiceCommand::Volume)) {
            low = std::min(low, e.value);
            high = std::max(high, e.value);
        }
        EXPECT_FLOAT_EQ(low, 0.0f);
        EXPECT_FLOAT_EQ(high, 0.5f);
    }
}

TEST(ModTraces, Retrigger)
{
    // E93 restarts at ticks 3 (and 0 of the next row is a new row); every
    // start re-sends level, place and pitch, so the note stays in tune.
    Song song = open(oneSample().cell(0, 0, 0, {428, 1, 0, 0}).cell(0, 1, 0, {0, 0, 0xE, 0x93}));
    ticks(song, 12);
    std::vector<VoiceEvent> row1;
    for (const VoiceEvent &e : song.host->events) {
        if (e.row == 1 && e.tick == 3) {
            row1.push_back(e);
        }
    }
    const std::vector<VoiceEvent> want = {
        {0, 1, 3, 0, VoiceCommand::Start, 0.0f},
        {0, 1, 3, 0, VoiceCommand::Volume, 0.5f},
        {0, 1, 3, 0, VoiceCommand::Pan, -0.8f},
        {0, 1, 3, 0, VoiceCommand::Frequency, 8362.0f},
    };
    EXPECT_EQ(row1, want);
}

TEST(ModTraces, NoteDelay)
{
    struct Case {
        const char *what;
        unsigned int param;
        bool patternDelay;
        int startTick; // -1: never
    };
    const Case cases[] = {
        {"ED3 starts at tick 3", 0xD3, false, 3},
        {"ED0 never starts", 0xD0, false, -1},
        {"ED8 at speed 6 never starts", 0xD8, false, -1},
        {"ED8 starts under a pattern delay", 0xD8, true, 8},
    };
    for (const Case &c : cases) {
        ModWriter writer = oneSample();
        writer.cell(0, 0, 0, {428, 1, 0xC, 0x20}).cell(0, 1, 0, {214, 0, 0xE, c.param});
        if (c.patternDelay) {
            writer.cell(0, 1, 1, {0, 0, 0xE, 0xE1});
        }
        Song song = open(writer);
        ticks(song, 6);
        song.host->events.clear();
        ticks(song, c.patternDelay ? 12 : 6);
        const auto starts = song.host->only(VoiceCommand::Start);
        if (c.startTick < 0) {
            EXPECT_TRUE(starts.empty()) << c.what;
            continue;
        }
        ASSERT_EQ(starts.size(), 1u) << c.what;
        EXPECT_EQ(starts[0].tick, c.startTick) << c.what;
        // Without a sample number the level of the column goes with it.
        std::vector<VoiceEvent> at;
        for (const VoiceEvent &e : song.host->events) {
            if (e.tick == c.startTick) {
                at.push_back(e);
            }
        }
        const std::vector<VoiceEvent> want = {
            {0, 1, c.startTick, 0, VoiceCommand::Start, 0.0f},
            {0, 1, c.startTick, 0, VoiceCommand::Volume, 0.25f},
            {0, 1, c.startTick, 0, VoiceCommand::Pan, -0.8f},
            {0, 1, c.startTick, 0, VoiceCommand::Frequency, static_cast<float>(14317056 / 856)},
        };
        EXPECT_EQ(at, want) << c.what;
    }
}

TEST(ModTraces, VibratoWaveforms)
{
    // Vibrato 4 speed 4 depth 8 over 8 rows, each waveform set by E4y.
    auto run = [](unsigned int shape) {
        ModWriter writer = oneSample();
        writer.cell(0, 0, 0, {428, 1, 0xE, 0x40 | shape});
        for (int row = 1; row < 9; ++row) {
            writer.cell(0, row, 0, {0, 0, 0x4, 0x48});
        }
        Song song = open(writer);
        ticks(song, 9 * 6);
        std::vector<int> deltas; // period offsets of the later ticks
        for (const VoiceEvent &e : song.host->only(VoiceCommand::Frequency)) {
            if (e.tick > 0) {
                deltas.push_back(static_cast<int>(std::lround(kClock / e.value)) - 1712);
            }
        }
        return deltas;
    };
    // Sine: the largest swing is 4 * (255 * 8 >> 7) periods, both ways.
    const std::vector<int> sine = run(0);
    ASSERT_EQ(sine.size(), 40u);
    EXPECT_NEAR(*std::max_element(sine.begin(), sine.end()), 4 * (255 * 8 >> 7), 1);
    EXPECT_NEAR(*std::min_element(sine.begin(), sine.end()), -4 * (255 * 8 >> 7), 1);
    // Square: one magnitude only.
    for (int d : run(2)) {
        EXPECT_NEAR(std::abs(d), 4 * (255 * 8 >> 7), 1);
    }
    // Ramp: the magnitudes of one half cycle grow.
    const std::vector<int> ramp = run(1);
    EXPECT_LT(std::abs(ramp[0]), std::abs(ramp[3]));
    EXPECT_NE(ramp, sine);
    // Random: the engine's generator from a fixed seed, twice alike.
    AURA::gGlobal->mRandomNext.store(12345);
    const std::vector<int> first = run(3);
    AURA::gGlobal->mRandomNext.store(12345);
    EXPECT_EQ(run(3), first);
    unsigned int seed = 12345;
    for (size_t i = 0; i < 4; ++i) {
        seed = seed * 214013u + 2531011u;
        const int magnitude = static_cast<int>((seed >> 16) & 255) * 8 >> 7;
        EXPECT_NEAR(std::abs(first[i]), 4 * magnitude, 1) << i;
    }
}

TEST(ModTraces, SetFinetuneDoesNotOutliveARestart)
{
    // E5F on a sample detunes its later notes; measuring the song ran it,
    // yet play starts from the rates as loaded.
    ModWriter writer = oneSample();
    writer.cell(0, 0, 0, {0, 0, 0xE, 0x5F}).cell(0, 1, 0, {428, 1, 0, 0});
    Song song = open(writer, AURA_ACCURATETIME);
    EXPECT_EQ(song.codec->sample(0).mMiddleC, 8363u);
    ticks(song, 7);
    const auto freq = song.host->only(VoiceCommand::Frequency);
    ASSERT_FALSE(freq.empty());
    EXPECT_FLOAT_EQ(freq.front().value, static_cast<float>(14317056 / (1712 * 8363 / 8280)));
    ASSERT_EQ(song.codec->setPositionInternal(0, 0, AURA_TIMEUNIT_MODORDER), AURA_OK);
    EXPECT_EQ(song.codec->sample(0).mMiddleC, 8363u);
}

TEST(ModTraces, LoopingSongPlaysOnAfterItsEnd)
{
    // Measured songs keep a table of played rows; the second time round
    // every row still plays.
    ModWriter writer = oneSample();
    writer.cell(0, 10, 0, {428, 1, 0, 0}).cell(0, 20, 0, {0, 0, 0xB, 0});
    Song song = open(writer, AURA_ACCURATETIME);
    ticks(song, 21 * 6 * 3);
    EXPECT_EQ(song.host->only(VoiceCommand::Start).size(), 3u);
}

} // namespace
