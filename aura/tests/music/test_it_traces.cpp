// The IT tick engine through its voice commands: songs written in memory,
// played on a host that records every command with its time; and the
// channel operations and envelope steps called directly.
#include "music/aura_codec_it.h"

#include "files.h"
#include "it_writer.h"
#include "music_trace.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <set>
#include <string>

namespace {

using AURA::CodecIT;
using AURA::MusicChannelIT;
using auratest::ItCell;
using auratest::ItInstrument;
using auratest::ItSample;
using auratest::ItWriter;
using auratest::VoiceCommand;
using auratest::VoiceEvent;
using Song = auratest::TracedSong<CodecIT>;

constexpr uint8_t kC5 = 61;
constexpr uint8_t kD5 = 63;

constexpr uint8_t effect(char letter)
{
    return static_cast<uint8_t>(letter - 'A' + 1);
}

Song open(const ItWriter &writer)
{
    static std::deque<std::vector<uint8_t>> keep; // the files outlive their songs
    keep.push_back(writer.bytes());
    Song song = auratest::openTraced<CodecIT>(keep.back());
    EXPECT_EQ(song.result, AURA_OK);
    return song;
}

void ticks(Song &song, int count)
{
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(song.codec->update(true), AURA_OK);
    }
}

ItSample loopedSample()
{
    ItSample sample;
    for (int i = 0; i < 64; ++i) {
        sample.data.push_back(static_cast<int>(std::lround(100 * std::sin(i * 0.098))));
    }
    sample.loop = true;
    sample.loopEnd = 64;
    sample.c5 = 0; // stored as none: middle C plays at 8363 Hz
    return sample;
}

// One instrument on one looped sample, and rows of cells on channel 0 (or
// the channel each cell names).
ItWriter songOf(const ItInstrument &instrument, const std::vector<std::vector<std::pair<int, ItCell>>> &rows,
                int speed = 4)
{
    ItWriter writer;
    writer.mixVolume = 128; // full scale: a note at volume 64 plays at 0.5
    writer.speed = static_cast<uint8_t>(speed);
    writer.instruments.push_back(instrument);
    writer.samples.push_back(loopedSample());
    writer.pattern(16, rows);
    return writer;
}

std::vector<VoiceEvent> of(const Song &song, VoiceCommand command, int slot)
{
    std::vector<VoiceEvent> out;
    for (const VoiceEvent &e : song.host->events) {
        if (e.command == command && e.slot == slot) {
            out.push_back(e);
        }
    }
    return out;
}

float lastValue(const Song &song, VoiceCommand command, int slot)
{
    const auto events = of(song, command, slot);
    return events.empty() ? -1.0f : events.back().value;
}

TEST(ItTraces, NewNoteActions)
{
    // Row 0 starts a note at full volume, row 1 a second one at half:
    // action 0 reuses the voice; 1 leaves the first playing at its own
    // volume; 2 (note off) and 3 (fade) fade it out from 1024 by 256 a tick.
    for (int action = 0; action < 4; ++action) {
        ItInstrument instrument;
        instrument.newNoteAction = static_cast<uint8_t>(action);
        instrument.fadeout = 256;
        Song song = open(songOf(instrument, {{{0, {kC5, 1, 65}}}, {{0, {kD5, 1, 33}}}}));
        ticks(song, 4 * 4);
        SCOPED_TRACE("action " + std::to_string(action));
        const auto second = of(song, VoiceCommand::Start, 1);
        if (action == 0) {
            EXPECT_TRUE(second.empty());
            EXPECT_EQ(of(song, VoiceCommand::Start, 0).size(), 2u);
            EXPECT_FLOAT_EQ(lastValue(song, VoiceCommand::Volume, 0), 0.25f);
            continue;
        }
        ASSERT_EQ(second.size(), 1u);
        EXPECT_EQ(second[0].row, 1);
        EXPECT_FLOAT_EQ(lastValue(song, VoiceCommand::Volume, 1), 0.25f);
        const auto stops = of(song, VoiceCommand::Stop, 0);
        if (action == 1) {
            EXPECT_TRUE(stops.empty());
            EXPECT_FLOAT_EQ(lastValue(song, VoiceCommand::Volume, 0), 0.5f);
        } else {
            ASSERT_EQ(stops.size(), 1u);
            EXPECT_EQ(stops[0].row, 1);
            EXPECT_EQ(stops[0].tick, 3);
        }
    }
}

TEST(ItTraces, DuplicateChecksAndBackgroundCuts)
{
    struct Case {
        uint8_t type;
        uint8_t action;
        uint8_t secondNote;
        size_t firstStarts; // of slot 0
        bool secondVoice; // the second note took a voice of its own
        bool firstStopped;
    };
    const Case cases[] = {
        {0, 0, kC5, 1, true, false}, // no check: the note goes on behind
        {1, 0, kC5, 2, false, false}, // same note, cut: the voice is taken again
        {1, 0, kD5, 1, true, false}, // another note passes the check
        {3, 0, kD5, 2, false, false}, // same instrument, cut
        {3, 2, kD5, 1, true, true}, // same instrument, fade
    };
    for (const Case &c : cases) {
        ItInstrument instrument;
        instrument.newNoteAction = 1;
        instrument.duplicateCheckType = c.type;
        instrument.duplicateCheckAction = c.action;
        instrument.fadeout = 512;
        Song song = open(songOf(instrument, {{{0, {kC5, 1}}}, {{0, {c.secondNote, 1}}}}));
        ticks(song, 12);
        SCOPED_TRACE(std::to_string(c.type) + "/" + std::to_string(c.action));
        EXPECT_EQ(of(song, VoiceCommand::Start, 0).size(), c.firstStarts);
        EXPECT_EQ(!of(song, VoiceCommand::Start, 1).empty(), c.secondVoice);
        EXPECT_EQ(!of(song, VoiceCommand::Stop, 0).empty(), c.firstStopped);
    }

    // S70 cuts the background voices and leaves the foreground one; S73
    // makes the foreground voice's action a cut.
    ItInstrument instrument;
    instrument.newNoteAction = 1;
    Song song = open(songOf(instrument, {{{0, {kC5, 1}}},
                                         {{0, {kD5, 1}}},
                                         {{0, {0, 0, 0, effect('S'), 0x70}}},
                                         {{0, {0, 0, 0, effect('S'), 0x73}}},
                                         {{0, {kC5, 1}}}}));
    ticks(song, 5 * 4);
    const auto stops = of(song, VoiceCommand::Stop, 0);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].row, 2);
    EXPECT_TRUE(of(song, VoiceCommand::Stop, 1).empty());
    EXPECT_EQ(of(song, VoiceCommand::Start, 1).size(), 2u); // row 4 reuses the voice
}

TEST(ItTraces, EffectsOnTheirTicks)
{
    ItInstrument plain;
    // Q6y sets the volume to 0 on its retrigger; QEy leaves it.
    for (const auto &[param, volume] : {std::pair{0x61, 0.0f}, std::pair{0xE1, 0.5f}}) {
        Song song = open(songOf(plain, {{{0, {kC5, 1, 0, effect('Q'), static_cast<uint8_t>(param)}}}}));
        ticks(song, 2);
        EXPECT_EQ(of(song, VoiceCommand::Start, 0).size(), 2u) << param;
        EXPECT_FLOAT_EQ(lastValue(song, VoiceCommand::Volume, 0), volume) << param;
    }
    // SD0 delays the note to tick 1; SC0 cuts it on tick 1.
    Song delayed = open(songOf(plain, {{{0, {kC5, 1, 0, effect('S'), 0xD0}}}}));
    ticks(delayed, 4);
    ASSERT_EQ(of(delayed, VoiceCommand::Start, 0).size(), 1u);
    EXPECT_EQ(of(delayed, VoiceCommand::Start, 0)[0].tick, 1);
    Song cut = open(songOf(plain, {{{0, {kC5, 1, 0, effect('S'), 0xC0}}}}));
    ticks(cut, 4);
    ASSERT_EQ(of(cut, VoiceCommand::Stop, 0).size(), 1u);
    EXPECT_EQ(of(cut, VoiceCommand::Stop, 0)[0].tick, 1);

    // Middle C plays at the sample's C5 speed with Amiga periods too, and a
    // channel pan of 32 is the centre.
    ItWriter amiga = songOf(plain, {{{0, {kC5, 1}}}});
    amiga.flags = 1 | 4;
    Song amigaSong = open(amiga);
    ticks(amigaSong, 1);
    EXPECT_NEAR(lastValue(amigaSong, VoiceCommand::Frequency, 0), 8363.0f, 1.0f); // 14317056 / 1712
    EXPECT_FLOAT_EQ(lastValue(amigaSong, VoiceCommand::Pan, 0), 0.0f);

    // EE5 moves the pitch once on tick 0 and never again: its memory is
    // an extra-fine slide.
    Song extra = open(songOf(plain, {{{0, {kC5, 1}}}, {{0, {0, 0, 0, effect('E'), 0xE5}}}}));
    ticks(extra, 9);
    const auto frequencies = of(extra, VoiceCommand::Frequency, 0);
    ASSERT_EQ(frequencies.size(), 3u); // rows 0, 1 and 2, each on tick 0
    EXPECT_FLOAT_EQ(frequencies[0].value, 8363.0f);
    EXPECT_LT(frequencies[1].value, 8363.0f);
    EXPECT_EQ(frequencies[2].value, frequencies[1].value);

    // With old effects vibrato leaves tick 0 alone (so it runs a tick
    // behind) and swings twice as far.
    std::vector<double> swing; // the period offset on ticks 0 to 2
    auto offset = [](float hz) { return -768.0 * std::log2(hz / 8363.0); };
    for (const uint16_t flags : {uint16_t{1 | 4 | 8}, uint16_t{1 | 4 | 8 | 0x10}}) {
        ItWriter writer = songOf(plain, {{{0, {kC5, 1, 0, effect('H'), 0x88}}}});
        writer.flags = flags;
        Song song = open(writer);
        ticks(song, 3);
        const auto f = of(song, VoiceCommand::Frequency, 0);
        ASSERT_EQ(f.size(), 3u);
        for (const VoiceEvent &e : f) {
            swing.push_back(offset(e.value));
        }
    }
    EXPECT_GT(std::fabs(swing[1]), 10.0);
    EXPECT_NEAR(swing[4], 0.0, 0.5); // the first step of the wave is its zero
    EXPECT_NEAR(swing[5], 2.0 * swing[1], 1.0);

    // C with a row equal to the pattern's row count goes to the next order's
    // first row.
    ItWriter breaking = songOf(plain, {{{0, {0, 0, 0, effect('C'), 16}}}});
    breaking.orders = {0, 0, 255};
    Song song = open(breaking);
    ticks(song, 5);
    EXPECT_EQ(song.codec->order(), 1);
    EXPECT_EQ(song.codec->row(), 0);
}

TEST(ItTraces, ChannelOperations)
{
    ItInstrument plain;
    Song song = open(songOf(plain, {{{0, {kC5, 1}}}}));
    EXPECT_EQ(song.codec->numVirtualChannels(), 64); // without a creation info
    ticks(song, 1);
    auto &channel = *static_cast<MusicChannelIT *>(song.codec->virtualChannel(0)->mOwner);
    AURA::MusicVirtualChannel &slot = *song.codec->virtualChannel(0);
    channel.mVoice = &slot;

    // At position -1, vibrato and fine vibrato move the pitch opposite ways.
    channel.mVibratoDepth = 8;
    channel.mVibratoSpeed = 0;
    channel.mVibratoPos = -1;
    slot.mPeriodDelta = 0;
    ASSERT_EQ(channel.vibrato(), AURA_OK);
    const int coarse = slot.mPeriodDelta;
    slot.mPeriodDelta = 0;
    ASSERT_EQ(channel.fineVibrato(), AURA_OK);
    EXPECT_NE(coarse, 0);
    EXPECT_LT(static_cast<long>(coarse) * slot.mPeriodDelta, 0);

    // A volume-column pitch slide of 0 slides by the E/F memory; a given
    // amount becomes that memory.
    channel.mPortaMemory = 3;
    const int before = slot.mPeriod;
    AURA::MusicNote cell;
    cell.mVolume = 105 + 1; // pitch down by 0
    ASSERT_EQ(channel.processVolumeByte(cell, false), AURA_OK);
    EXPECT_EQ(slot.mPeriod, before + 16 * 3);
    cell.mVolume = 117 + 1; // pitch up by 2
    ASSERT_EQ(channel.processVolumeByte(cell, false), AURA_OK);
    EXPECT_EQ(channel.mPortaMemory, 2);
    EXPECT_EQ(slot.mPeriod, before + 16 * 3 - 16 * 2);
}

TEST(ItTraces, SustainHoldsUntilKeyOff)
{
    // Nodes 64, 32, 0 with a sustain loop on the middle node alone.
    ItInstrument instrument;
    instrument.volume.flags = 1 | 4;
    instrument.volume.nodes = {{0, 64}, {4, 32}, {8, 0}};
    instrument.volume.sustainBegin = instrument.volume.sustainEnd = 1;
    Song song = open(songOf(instrument, {{{0, {kC5, 1}}}, {}, {}, {}, {{0, {CodecIT::NOTE_OFF}}}}));
    ticks(song, 4 * 4);
    EXPECT_FLOAT_EQ(lastValue(song, VoiceCommand::Volume, 0), 0.25f);
    EXPECT_TRUE(of(song, VoiceCommand::Stop, 0).empty());
    ticks(song, 4 * 3);
    const auto stops = of(song, VoiceCommand::Stop, 0);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].row, 5); // released on row 4: 32 down to 0 over 4 more ticks
}

TEST(ItTraces, FilterCutoffAndEnvelope)
{
    ItInstrument instrument;
    instrument.cutoff = 0x80 | 64;
    instrument.resonance = 0x80 | 100;
    Song song = open(songOf(instrument, {{{0, {kC5, 1}}}}));
    ticks(song, 2);
    EXPECT_NEAR(lastValue(song, VoiceCommand::Cutoff, 0), 830.6f, 0.05f);
    EXPECT_FLOAT_EQ(lastValue(song, VoiceCommand::Resonance, 0), 100.0f);

    // A filter envelope with a cutoff not marked as set still filters the
    // voice, and moves its cutoff every tick.
    instrument.cutoff = 127;
    instrument.pitch.flags = 1 | 0x80;
    instrument.pitch.nodes = {{0, 32}, {32, -32}};
    Song moving = open(songOf(instrument, {{{0, {kC5, 1}}}}));
    ticks(moving, 8);
    std::set<float> cutoffs;
    for (const VoiceEvent &e : of(moving, VoiceCommand::Cutoff, 0)) {
        cutoffs.insert(e.value);
    }
    EXPECT_EQ(cutoffs.size(), 8u);
}

TEST(ItTraces, GameFilterEnvelope)
{
    const std::string path = "/usr/share/games/pingus/data/music/gd-cancn.it";
    const std::vector<uint8_t> bytes = auratest::readAll(path);
    if (bytes.empty()) {
        GTEST_SKIP() << "pingus-data is not installed";
    }
    // Its seventh instrument filters through an envelope alone (its cutoff
    // is not marked as set); the song's patterns never play it.
    Song song = auratest::openTraced<CodecIT>(bytes);
    ASSERT_EQ(song.result, AURA_OK);
    ASSERT_EQ(song.codec->numInstruments(), 7);
    const AURA::MusicInstrumentIT &instrument = song.codec->instrument(6);
    EXPECT_TRUE(instrument.mPitchEnvelope.mFlags & AURA::MusicEnvelopeIT::FILTER);
    EXPECT_FALSE(instrument.mFilterCutoff & 0x80);
    EXPECT_TRUE(song.codec->usesFilters());
}

} // namespace
