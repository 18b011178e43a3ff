// MIDI files on DLS banks of sines written here: pitch, timing, length,
// voices and their envelopes, music callbacks, and files that lie.
#include "aura.h"
#include "aura.hpp"

#include "music/aura_codec_midi.h"
#include "sound/aura_soundi.h"

#include "engine.h"
#include "files.h"
#include "midi_writer.h"
#include "sine_analysis.h"
#include "systems.h"
#include "threads.h"
#include "tools.h"
#include "wav.h"

#include <fstream>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>
#include <thread>

namespace {

using auratest::DlsConnection;
using auratest::DlsInstrument;
using auratest::DlsRegion;
using auratest::DlsSine;
using auratest::MidiTrack;

constexpr int kRate = 44100;
constexpr double kBase = 441.0; // the sine of period 100 at its unity note 69

// Default bank: program 0 plays wave 0 over every key; program 1 uses a
// region of its own (unity 60, fine tune +50); program 2 holds a key group
// on keys 40..50; program 3 has a very short EG1 release and a sustain of
// -70 dB; drums (bank bit 31) on wave 1.
std::vector<DlsInstrument> defaultInstruments()
{
    DlsInstrument piano{0, 0, {DlsRegion{}}};
    DlsRegion own;
    own.ownSample = true;
    own.unity = 60;
    own.fineTune = 50;
    DlsInstrument tuned{0, 1, {own}};
    DlsRegion grouped;
    grouped.low = 40;
    grouped.high = 50;
    grouped.keyGroup = 1;
    DlsRegion rest;
    rest.low = 51;
    DlsInstrument hats{0, 2, {grouped, rest}};
    DlsRegion shortRelease;
    // EG1 decay of 12 ms, release of about 1 ms; sustain at -70 dB (27 % of
    // the 0.1 % steps above -96).
    shortRelease.connections = {{0, 0, 0x0207, 0, -509939000},
                                {0, 0, 0x0209, 0, static_cast<int32_t>(-786432000)},
                                {0, 0, 0x020A, 0, 17749333}};
    DlsInstrument quiet{0, 3, {shortRelease}};
    DlsRegion drum;
    drum.wave = 1;
    DlsInstrument drums{0x80000000u, 0, {drum}};
    DlsRegion nowhere;
    nowhere.wave = 9; // past the bank's waves
    DlsInstrument broken{0, 4, {nowhere}};
    return {piano, tuned, hats, quiet, drums, broken};
}

class Midi : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(mDir.ok());
        mBank = mDir.file("sine.dls");
        ASSERT_TRUE(
            auratest::writeAll(mBank, auratest::sineBank({DlsSine{}, DlsSine{50, 69, 0, 40}}, defaultInstruments())));
    }

    AURA::Sound *open(const std::vector<uint8_t> &bytes, AURA_RESULT *result = nullptr, const char *bank = nullptr,
                      int polyphony = 0, AURA_MODE mode = AURA_SOFTWARE | AURA_CREATESTREAM)
    {
        AURA_CREATESOUNDEXINFO exinfo{};
        exinfo.cbsize = sizeof(exinfo);
        exinfo.length = static_cast<unsigned int>(bytes.size());
        exinfo.dlsname = bank ? bank : mBank.c_str();
        exinfo.maxpolyphony = polyphony;
        AURA::Sound *sound = nullptr;
        const AURA_RESULT got = mRender.system()->createSound(reinterpret_cast<const char *>(bytes.data()),
                                                              AURA_OPENMEMORY | mode, &exinfo, &sound);
        if (result) {
            *result = got;
        } else {
            EXPECT_EQ(got, AURA_OK);
        }
        return sound;
    }

    static AURA::CodecMIDI *codecOf(AURA::Sound *sound)
    {
        return static_cast<AURA::CodecMIDI *>(static_cast<AURA::SoundI *>(sound)->liveCodec());
    }

    // The mono sum of `frames` frames read from the song's start.
    static std::vector<double> render(AURA::CodecMIDI *codec, unsigned int frames, bool fromStart = true)
    {
        if (fromStart) {
            EXPECT_EQ(codec->setPositionInternal(0, 0, AURA_TIMEUNIT_PCM), AURA_OK);
        }
        std::vector<float> stereo(static_cast<size_t>(frames) * 2);
        unsigned int got = 0;
        EXPECT_EQ(codec->readInternal(stereo.data(), frames * 8, &got), AURA_OK);
        std::vector<double> mono(frames);
        for (unsigned int i = 0; i < frames; ++i) {
            mono[i] = stereo[2 * i] + stereo[2 * i + 1];
        }
        return mono;
    }

    // Runs updates until the events of `tick` have been handled.
    static void advanceTo(AURA::CodecMIDI *codec, uint64_t tick)
    {
        for (;;) {
            const uint64_t at = codec->mCurrentTick;
            ASSERT_EQ(codec->update(), AURA_OK);
            if (at >= tick) {
                return;
            }
        }
    }

    static std::vector<AURA::CodecMIDISubChannel *> voices(AURA::CodecMIDI *codec, int channel)
    {
        std::vector<AURA::CodecMIDISubChannel *> out;
        AURA::LinkedListNode &head = codec->mChannel[channel].mVoiceHead;
        for (AURA::LinkedListNode *n = head.mNext; n != &head; n = n->mNext) {
            out.push_back(static_cast<AURA::CodecMIDISubChannel *>(n->mData));
        }
        return out;
    }

    static int freeVoices(AURA::CodecMIDI *codec)
    {
        int count = 0;
        for (AURA::LinkedListNode *n = codec->mFreeHead.mNext; n != &codec->mFreeHead; n = n->mNext) {
            ++count;
        }
        return count;
    }

    // The first frame from `from` that is not silent.
    static size_t onset(const std::vector<double> &mono, size_t from = 0)
    {
        for (size_t i = from; i < mono.size(); ++i) {
            if (std::abs(mono[i]) > 0.01) {
                return i;
            }
        }
        return mono.size();
    }

    auratest::TempDir mDir;
    std::string mBank;
    auratest::WavRender mRender;
};

TEST_F(Midi, OpenRefusesWhatItCannotPlay)
{
    MidiTrack one;
    one.note(0, 96, 0, 60);
    const std::vector<uint8_t> good = auratest::midiFile({one});
    std::vector<uint8_t> noDivision = good;
    noDivision[12] = noDivision[13] = 0;
    std::vector<uint8_t> foreign = good;
    foreign[3] = 'x';
    const std::string missing = mDir.file("missing.dls");
    const std::string wav = mDir.file("not-a-bank.wav");
    ASSERT_TRUE(auratest::writeAll(wav, auratest::riff({auratest::chunk("fmt ", auratest::fmtBody(1, 1, 8000, 2, 16)),
                                                        auratest::chunk("data", auratest::Bytes(64, 0))})));
    struct Case {
        const char *what;
        const std::vector<uint8_t> &bytes;
        const char *bank;
        int polyphony;
        AURA_RESULT expected;
    } cases[] = {
        {"foreign bytes", foreign, nullptr, 0, AURA_ERR_FORMAT},
        {"division 0", noDivision, nullptr, 0, AURA_ERR_FORMAT},
        {"missing bank", good, missing.c_str(), 0, AURA_ERR_PLUGIN_RESOURCE},
        {"empty bank name", good, "", 0, AURA_ERR_PLUGIN_RESOURCE},
        {"bank that is no DLS", good, wav.c_str(), 0, AURA_ERR_FORMAT},
        {"negative polyphony", good, nullptr, -1, AURA_ERR_INVALID_PARAM},
        {"good file", good, nullptr, 4, AURA_OK},
    };
    // The first stream starts the system's stream machinery, which stays.
    AURA::Sound *warm = open(good);
    ASSERT_NE(warm, nullptr);
    EXPECT_EQ(warm->release(), AURA_OK);
    const int64_t before = auratest::poolBytes();
    for (const Case &c : cases) {
        AURA_RESULT result = AURA_OK;
        AURA::Sound *sound = open(c.bytes, &result, c.bank, c.polyphony);
        EXPECT_EQ(result, c.expected) << c.what;
        if (sound) {
            EXPECT_EQ(sound->release(), AURA_OK);
        }
        EXPECT_EQ(AURA::countMIDIBanks(), 0) << c.what;
        EXPECT_EQ(auratest::poolBytes(), before) << c.what;
    }
}

TEST_F(Midi, NotesSoundAtTheirPitch)
{
    struct Case {
        const char *what;
        int program, key;
        std::vector<std::vector<uint8_t>> setup; // channel 0 messages before the note
        double expected;
    } cases[] = {
        {"unity note", 0, 69, {}, kBase},
        {"octave up", 0, 81, {}, kBase * 2},
        {"octave down", 0, 57, {}, kBase / 2},
        {"two octaves down", 0, 45, {}, kBase / 4},
        {"high key", 0, 100, {}, kBase * std::pow(2.0, 31 / 12.0)},
        {"region unity 60, fine +50", 1, 60, {}, kBase * std::pow(2.0, 50 / 1200.0)},
        {"region key 72", 1, 72, {}, kBase * 2 * std::pow(2.0, 50 / 1200.0)},
        {"bend +4096 at the default range", 0, 69, {{0xE0, 0, 96}}, kBase * std::pow(2.0, 1 / 12.0)},
        {"bend -8192 at the default range", 0, 69, {{0xE0, 0, 0}}, kBase * std::pow(2.0, -2 / 12.0)},
        {"bend +4096 after RPN 0 = 12",
         0,
         69,
         {{0xB0, 101, 0}, {0xB0, 100, 0}, {0xB0, 6, 12}, {0xE0, 0, 96}},
         kBase * std::pow(2.0, 6 / 12.0)},
        {"data entry without RPN changes nothing",
         0,
         69,
         {{0xB0, 6, 12}, {0xE0, 0, 96}},
         kBase * std::pow(2.0, 1 / 12.0)},
    };
    for (const Case &c : cases) {
        MidiTrack track;
        track.add(0, {0xC0, static_cast<uint8_t>(c.program)});
        for (const auto &message : c.setup) {
            track.add(0, message);
        }
        track.note(0, 192, 0, c.key);
        AURA::Sound *sound = open(auratest::midiFile({track}));
        ASSERT_NE(sound, nullptr) << c.what;
        const std::vector<double> mono = render(codecOf(sound), kRate);
        const double got =
            auratest::analyse(std::vector<double>(mono.begin(), mono.begin() + kRate / 2), 4096, kRate).frequency;
        EXPECT_NEAR(got, c.expected, c.expected * 0.01) << c.what;
        EXPECT_EQ(sound->release(), AURA_OK);
    }
}

TEST_F(Midi, NotesStartWithinOneBlockOfTheirTime)
{
    // 500000 us per quarter at division 96: 229.7 frames per tick.
    MidiTrack track;
    const uint64_t ticks[] = {0, 97, 190, 301, 383, 500, 611};
    for (uint64_t t : ticks) {
        track.note(t, 1, 0, 69);
    }
    AURA::Sound *sound = open(auratest::midiFile({track}));
    ASSERT_NE(sound, nullptr);
    const std::vector<double> mono = render(codecOf(sound), kRate * 4);
    size_t from = 0;
    for (uint64_t t : ticks) {
        const double expected = static_cast<double>(t) * 0.5 / 96 * kRate;
        const size_t at = onset(mono, from);
        EXPECT_GE(static_cast<double>(at) + 1, expected) << "tick " << t;
        EXPECT_LE(static_cast<double>(at), expected + 512) << "tick " << t;
        // The next note is searched for past this one's release.
        from = static_cast<size_t>(expected) + kRate / 4;
    }
    EXPECT_EQ(sound->release(), AURA_OK);

    // Division 24: every tick is 918.75 frames, longer than a block. The
    // last notes of 10 minutes keep their times (no truncation drift).
    MidiTrack slow;
    const uint64_t last = 24 * 2 * 600; // 10 minutes of quarters at 120 bpm
    slow.note(last - 48, 2, 0, 69).note(last, 2, 0, 69);
    sound = open(auratest::midiFile({slow}, 24));
    ASSERT_NE(sound, nullptr);
    AURA::CodecMIDI *codec = codecOf(sound);
    const unsigned int start = static_cast<unsigned int>(599 * kRate);
    ASSERT_EQ(codec->setPositionInternal(0, start, AURA_TIMEUNIT_PCM), AURA_OK);
    const std::vector<double> tail = render(codec, 2 * kRate, false);
    const double first = (static_cast<double>(last - 48) * 0.5 / 24) * kRate - start;
    const size_t at = onset(tail);
    EXPECT_GE(static_cast<double>(at) + 1, first);
    EXPECT_LE(static_cast<double>(at), first + 919);
    const double second = first + kRate;
    const size_t at2 = onset(tail, static_cast<size_t>(first) + kRate / 2);
    EXPECT_GE(static_cast<double>(at2) + 1, second);
    EXPECT_LE(static_cast<double>(at2), second + 919);
    EXPECT_EQ(sound->release(), AURA_OK);
}

TEST_F(Midi, LengthEndsTenTicksPastTheScanStepOfTheLastEnd)
{
    struct Case {
        const char *what;
        std::vector<MidiTrack> tracks;
        uint64_t lengthTicks; // at 500000 us per quarter, division 96
    };
    MidiTrack a;
    a.note(0, 960, 0, 60);
    MidiTrack b;
    b.note(0, 95, 1, 64);
    MidiTrack zeroTempo;
    zeroTempo.note(0, 955, 0, 60).add(10, {0xFF, 0x51, 3, 0, 0, 0}).add(20, {0xFF, 0x51, 2, 1, 1});
    const Case cases[] = {
        {"one track to 960", {a}, 970},
        {"two tracks, the longer wins", {b, a}, 970},
        {"end at 95", {b}, 110},
        {"tempo 0 and a short tempo are ignored", {zeroTempo}, 970},
    };
    for (const Case &c : cases) {
        AURA::Sound *sound = open(auratest::midiFile(c.tracks));
        ASSERT_NE(sound, nullptr) << c.what;
        unsigned int length = 0;
        ASSERT_EQ(sound->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
        const double ms = static_cast<double>(c.lengthTicks) * 500000.0 / 96 / 1000;
        EXPECT_NEAR(length, std::ceil(ms / 1000 * kRate), 1.0) << c.what;
        EXPECT_EQ(sound->release(), AURA_OK);
    }

    // Two maximal delta times: the scan stops at 6 hours, which is the length.
    MidiTrack endless;
    endless.add(0x0FFFFFFF, {0x90, 60, 1}).add(0x1FFFFFFE, {0x80, 60, 0});
    AURA::Sound *sound = open(auratest::midiFile({endless}));
    ASSERT_NE(sound, nullptr);
    unsigned int length = 0;
    ASSERT_EQ(sound->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_NEAR(length, 6.0 * 3600 * kRate, kRate * 0.1);
    EXPECT_EQ(sound->release(), AURA_OK);
}

TEST_F(Midi, VoicesFollowKeysPedalAndEnvelopes)
{
    auto run = [&](const MidiTrack &track, int polyphony, auto &&check) {
        AURA::Sound *sound = open(auratest::midiFile({track}), nullptr, nullptr, polyphony);
        ASSERT_NE(sound, nullptr);
        AURA::CodecMIDI *codec = codecOf(sound);
        ASSERT_EQ(codec->setPositionInternal(0, 0, AURA_TIMEUNIT_PCM), AURA_OK);
        check(codec);
        EXPECT_EQ(sound->release(), AURA_OK);
    };
    {
        SCOPED_TRACE("a key group cuts its older note");
        MidiTrack t;
        t.add(0, {0xC0, 2}).note(0, 500, 0, 42).note(10, 500, 0, 44);
        run(t, 0, [&](AURA::CodecMIDI *codec) {
            advanceTo(codec, 12);
            const auto list = voices(codec, 0);
            ASSERT_EQ(list.size(), 1u);
            EXPECT_EQ(list[0]->mKey, 44);
        });
    }
    {
        SCOPED_TRACE("a repeated key releases the older note; velocity 0 releases too");
        MidiTrack t;
        t.note(0, 500, 0, 60).note(10, 500, 0, 60).add(20, {0x90, 60, 0});
        run(t, 0, [&](AURA::CodecMIDI *codec) {
            advanceTo(codec, 12);
            auto list = voices(codec, 0);
            ASSERT_EQ(list.size(), 2u);
            EXPECT_FALSE(list[0]->mReleased); // the newest is at the front
            EXPECT_TRUE(list[1]->mReleased);
            advanceTo(codec, 22);
            list = voices(codec, 0);
            ASSERT_FALSE(list.empty());
            EXPECT_TRUE(list[0]->mReleased);
        });
    }
    {
        SCOPED_TRACE("the sustain pedal holds a released note until it lifts");
        MidiTrack t;
        t.controller(0, 0, 64, 127).note(0, 10, 0, 60).controller(100, 0, 64, 0);
        run(t, 0, [&](AURA::CodecMIDI *codec) {
            advanceTo(codec, 90);
            auto list = voices(codec, 0);
            ASSERT_EQ(list.size(), 1u);
            EXPECT_NE(list[0]->mEG1Stage, 2);
            advanceTo(codec, 103);
            list = voices(codec, 0);
            ASSERT_EQ(list.size(), 1u);
            EXPECT_EQ(list[0]->mEG1Stage, 2);
            // Released from 0 dB over 50 ms: below 1/1024 within 35 ms, then freed.
            advanceTo(codec, 103 + 10);
            EXPECT_TRUE(voices(codec, 0).empty());
            EXPECT_EQ(freeVoices(codec), 32);
        });
    }
    {
        SCOPED_TRACE("a short EG1 release lasts 50 ms; a gain below 1/1024 in decay keeps the voice");
        MidiTrack t;
        t.add(0, {0xC0, 3}).note(0, 400, 0, 60);
        run(t, 0, [&](AURA::CodecMIDI *codec) {
            advanceTo(codec, 300);
            const auto list = voices(codec, 0);
            ASSERT_EQ(list.size(), 1u);
            EXPECT_FLOAT_EQ(list[0]->mEG1[2].mTime, 50.0f);
            EXPECT_NEAR(list[0]->mEG1Sustain, -70.0f, 0.01f);
            EXPECT_EQ(list[0]->mEG1Stage, 1);
            EXPECT_LT(list[0]->mGain, 1.0f / 1024);
            advanceTo(codec, 402);
            EXPECT_TRUE(voices(codec, 0).empty()); // released below 1/1024: freed at once
        });
    }
    {
        SCOPED_TRACE("stealing takes the quietest released voice before a quieter sounding one");
        MidiTrack t;
        t.note(0, 500, 0, 60, 10).note(0, 5, 1, 62, 127).note(10, 500, 2, 64);
        run(t, 2, [&](AURA::CodecMIDI *codec) {
            advanceTo(codec, 12);
            ASSERT_EQ(voices(codec, 0).size(), 1u);
            EXPECT_EQ(voices(codec, 0)[0]->mVelocity, 10);
            EXPECT_TRUE(voices(codec, 1).empty());
            ASSERT_EQ(voices(codec, 2).size(), 1u);
        });
    }
    {
        SCOPED_TRACE("a region naming no wave is silent and its track plays on");
        MidiTrack t;
        t.add(0, {0xC0, 4}).note(0, 50, 0, 60).add(1, {0xC0, 0}).note(2, 50, 0, 62);
        run(t, 0, [&](AURA::CodecMIDI *codec) {
            advanceTo(codec, 3);
            const auto list = voices(codec, 0);
            ASSERT_EQ(list.size(), 1u);
            EXPECT_EQ(list[0]->mKey, 62);
        });
    }
    {
        SCOPED_TRACE("drums sound only on channel 10");
        MidiTrack t;
        t.note(0, 50, 9, 36).note(0, 50, 3, 36).add(0, {0xC3, 9});
        run(t, 0, [&](AURA::CodecMIDI *codec) {
            advanceTo(codec, 2);
            ASSERT_EQ(voices(codec, 9).size(), 1u);
            EXPECT_EQ(voices(codec, 9)[0]->mInstrument->mBank, 0x80000000u);
            EXPECT_NE(voices(codec, 3).size(), 0u);
            EXPECT_EQ(voices(codec, 3)[0]->mInstrument->mBank, 0u);
        });
    }
}

TEST_F(Midi, MusicCallbacksAndSeeks)
{
    MidiTrack t;
    t.note(0, 900, 0, 60).note(0, 900, 4, 64).note(384, 10, 0, 69);
    AURA::Sound *sound = open(auratest::midiFile({t}));
    ASSERT_NE(sound, nullptr);
    int channels = 0;
    ASSERT_EQ(sound->getMusicNumChannels(&channels), AURA_OK);
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(sound->getMusicNumChannels(nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(sound->setMusicChannelVolume(1, 0.25f), AURA_OK);
    EXPECT_EQ(sound->setMusicChannelVolume(16, 0.5f), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(sound->setMusicChannelVolume(0, 1.5f), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(sound->setMusicChannelVolume(5, 0.5f), AURA_OK); // no such channel: nothing
    float volume = 0;
    EXPECT_EQ(sound->getMusicChannelVolume(0, nullptr), AURA_ERR_INVALID_PARAM);
    for (float bad : {0.0f, -1.0f, NAN, INFINITY}) {
        EXPECT_EQ(sound->setMusicSpeed(bad), AURA_ERR_INVALID_PARAM) << bad;
    }
    EXPECT_EQ(sound->setMusicSpeed(2.0f), AURA_OK);
    float speed = 0;
    ASSERT_EQ(sound->getMusicSpeed(&speed), AURA_OK);
    EXPECT_EQ(speed, 2.0f);

    AURA::CodecMIDI *codec = codecOf(sound);
    // A backward seek keeps the volumes and restores the speed.
    const std::vector<double> whole = render(codec, 3 * kRate);
    ASSERT_EQ(sound->getMusicSpeed(&speed), AURA_OK);
    EXPECT_EQ(speed, 1.0f);
    ASSERT_EQ(sound->getMusicChannelVolume(1, &volume), AURA_OK);
    EXPECT_EQ(volume, 0.25f);

    // After a seek, later notes sound when they do from the start.
    const size_t late = onset(whole, static_cast<size_t>(1.9 * kRate));
    ASSERT_LT(late, whole.size());
    const unsigned int seek = static_cast<unsigned int>(1.234 * kRate);
    ASSERT_EQ(codec->setPositionInternal(0, seek, AURA_TIMEUNIT_PCM), AURA_OK);
    const std::vector<double> rest = render(codec, 3 * kRate - seek, false);
    const size_t lateAfterSeek = onset(rest, static_cast<size_t>(1.9 * kRate) - seek) + seek;
    EXPECT_NEAR(static_cast<double>(lateAfterSeek), static_cast<double>(late), 2.0);
    EXPECT_EQ(sound->release(), AURA_OK);
}

TEST_F(Midi, FileStructureTagsAndDamagedFiles)
{
    // Tracks: a named track 2 with text; running status; a sysex escape; an
    // unknown chunk between tracks; one chunk more than the header counts.
    MidiTrack zero;
    zero.add(0, {0xFF, 0x01, 5, 'h', 'e', 'l', 'l', 'o'});
    MidiTrack one;
    one.add(0, {0xF7, 2, 1, 2}).add(0, {0x90, 60, 100}).add(5, {62, 100}).add(10, {60, 0}).add(10, {62, 0});
    MidiTrack two;
    two.add(0, {0xFF, 0x03, 4, 'l', 'e', 'a', 'd'}).note(0, 10, 5, 67);
    std::vector<uint8_t> file = auratest::midiFile({zero, one});
    const std::vector<uint8_t> junk = {'J', 'U', 'N', 'K', 0, 0, 0, 2, 9, 9};
    file.insert(file.end(), junk.begin(), junk.end());
    auto chunk = auratest::trackChunk(two);
    file.insert(file.end(), chunk.begin(), chunk.end());
    MidiTrack extra;
    extra.note(0, 10, 7, 60);
    chunk = auratest::trackChunk(extra);
    file.insert(file.end(), chunk.begin(), chunk.end()); // the fourth: skipped
    AURA::Sound *sound = open(file);
    ASSERT_NE(sound, nullptr);
    AURA_TAG tag{};
    ASSERT_EQ(sound->getTag("Text", 0, &tag), AURA_OK);
    EXPECT_STREQ(static_cast<const char *>(tag.data), "hello");
    ASSERT_EQ(sound->getTag("Text (Time Ms)", 0, &tag), AURA_OK);
    ASSERT_EQ(sound->getTag("Track 2 Name", 0, &tag), AURA_OK);
    EXPECT_STREQ(static_cast<const char *>(tag.data), "lead");
    ASSERT_EQ(sound->getTag("Number of channels", 0, &tag), AURA_OK);
    EXPECT_EQ(*static_cast<const int *>(tag.data), 2);
    AURA::CodecMIDI *codec = codecOf(sound);
    ASSERT_EQ(codec->setPositionInternal(0, 0, AURA_TIMEUNIT_PCM), AURA_OK);
    advanceTo(codec, 6);
    EXPECT_EQ(voices(codec, 0).size(), 2u); // the running-status note sounds
    EXPECT_EQ(voices(codec, 5).size(), 1u);
    EXPECT_TRUE(voices(codec, 7).empty());
    EXPECT_EQ(sound->release(), AURA_OK);

    // Lengths that lie: an MTrk longer than the file, a chunk length that
    // wraps the walk, a file cut inside its header.
    std::vector<uint8_t> longTrack = auratest::midiFile({one});
    longTrack[18] = 0x7F;
    std::vector<uint8_t> wrap = auratest::midiFile({zero});
    const std::vector<uint8_t> wrapper = {'X', 'X', 'X', 'X', 0xFF, 0xFF, 0xFF, 0xF8};
    wrap.insert(wrap.begin() + 14, wrapper.begin(), wrapper.end());
    const std::vector<uint8_t> cut(file.begin(), file.begin() + 10);
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        AURA_RESULT expected;
    } cases[] = {
        {"long MTrk", longTrack, AURA_OK}, {"wrapping chunk", wrap, AURA_OK}, {"cut header", cut, AURA_ERR_FORMAT}};
    for (const Case &c : cases) {
        AURA_RESULT result = AURA_OK;
        sound = open(c.bytes, &result);
        EXPECT_EQ(result, c.expected) << c.what;
        if (sound) {
            EXPECT_EQ(sound->release(), AURA_OK);
        }
    }
}

TEST_F(Midi, SoundsSharingABankOpenOnTwoThreads)
{
    MidiTrack t;
    t.note(0, 96, 0, 60).note(0, 96, 9, 36);
    const std::vector<uint8_t> song = auratest::midiFile({t});
    for (int round = 0; round < 4; ++round) {
        AURA_RESULT first = AURA_OK;
        AURA::Sound *a = open(song, &first, nullptr, 0, AURA_SOFTWARE | AURA_CREATESTREAM | AURA_NONBLOCKING);
        ASSERT_EQ(first, AURA_OK);
        AURA::Sound *b = nullptr;
        std::thread other([&] { b = open(song); });
        other.join();
        ASSERT_NE(b, nullptr);
        // Released while the other may still be loading on the bank.
        EXPECT_EQ(b->release(), AURA_OK);
        AURA_OPENSTATE state = AURA_OPENSTATE_LOADING;
        ASSERT_TRUE(
            auratest::waitFor([&] { return a->getOpenState(&state) == AURA_OK && state != AURA_OPENSTATE_LOADING; }));
        EXPECT_EQ(state, AURA_OPENSTATE_READY);
        EXPECT_EQ(AURA::countMIDIBanks(), 1);
        EXPECT_EQ(a->release(), AURA_OK);
        EXPECT_EQ(AURA::countMIDIBanks(), 0);
    }
}

// The songs of openttd-openmsx on a bank converted from FluidR3_GM: each
// opens, and its length passes the one mido measures by the scan's last
// 10-tick step (10 to 20 ticks at the song's last tempo).
TEST_F(Midi, OpenmsxSongsOpenOnAConvertedSoundFont)
{
    namespace fs = std::filesystem;
    const fs::path songs = "/usr/share/games/openttd/baseset/openmsx";
    const fs::path sf2 = "/usr/share/sounds/sf2/FluidR3_GM.sf2";
#ifdef AURA_TESTS_SANITIZED
    GTEST_SKIP() << "the release build checks the songs (mido takes long)";
#endif
    if (!fs::exists(songs) || !fs::exists(sf2)) {
        GTEST_SKIP() << "openttd-openmsx or fluid-soundfont-gm is not installed";
    }
    const std::string bank = mDir.file("fluid.dls");
    // The source tree's path: __FILE__ is relative to the build directory,
    // not to where CTest runs the test.
    const fs::path converter = fs::path(AURA_TEST_SOURCE_DIR) / "music" / "sf2_to_dls.py";
    ASSERT_TRUE(auratest::run("/usr/bin/python3 " + auratest::quote(converter) + " " + auratest::quote(sf2) + " " +
                              auratest::quote(bank) + " " + auratest::quote(songs) + "/*.mid >/dev/null"));
    // name, length in seconds, seconds per tick at the last tempo
    const std::string lengths = auratest::capture(
        "/usr/bin/python3 -c 'import mido, glob, os\n"
        "for f in sorted(glob.glob(\"" +
        songs.string() +
        "/*.mid\")):\n"
        "    m = mido.MidiFile(f)\n"
        "    t = ([e.tempo for e in mido.merge_tracks(m.tracks) if e.type == \"set_tempo\"] or [500000])[-1]\n"
        "    print(os.path.basename(f), m.length, t / 1e6 / m.ticks_per_beat)'");
    std::istringstream in(lengths);
    std::string name;
    double seconds = 0, tick = 0;
    int count = 0;
    AURA::Sound *first = nullptr; // holds the bank for the others
    while (in >> name >> seconds >> tick) {
        std::ifstream file(songs / name, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        AURA::Sound *sound = open(bytes, nullptr, bank.c_str());
        ASSERT_NE(sound, nullptr) << name;
        unsigned int length = 0;
        ASSERT_EQ(sound->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
        const double extra = (static_cast<double>(length) / kRate - seconds) / tick;
        EXPECT_GE(extra, 10.0) << name;
        EXPECT_LT(extra, 20.0) << name;
        if (first) {
            EXPECT_EQ(sound->release(), AURA_OK);
        } else {
            first = sound;
        }
        ++count;
    }
    EXPECT_EQ(count, 31) << lengths;
    EXPECT_EQ(AURA::countMIDIBanks(), first ? 1 : 0);
    if (first) {
        EXPECT_EQ(first->release(), AURA_OK);
    }
}

#ifdef AURA_PLAY_PATH
TEST_F(Midi, PlayerRendersAndDescribesMidiFiles)
{
    using auratest::quote;
    MidiTrack t;
    t.add(0, {0xFF, 0x03, 4, 'l', 'e', 'a', 'd'}).note(0, 96, 0, 69).note(96, 96, 2, 81);
    ASSERT_TRUE(auratest::writeAll(mDir / "song.mid", auratest::midiFile({t})));
    const std::string player = std::string(AURA_PLAY_PATH) + " --dls " + quote(mBank) + " ";
    const std::string info = auratest::capture(player + "--info " + quote(mDir / "song.mid"));
    EXPECT_NE(info.find("MIDI"), std::string::npos) << info;
    EXPECT_NE(info.find("Track 0 Name=lead"), std::string::npos) << info;
    EXPECT_NE(info.find("Number of channels=2"), std::string::npos) << info;
    for (const char *mode : {"", "--stream ", "--polyphony 1 ", "--seek 500 "}) {
        const auto out = mDir / "song.wav";
        ASSERT_TRUE(
            auratest::run(player + "-q " + mode + "--rate 44100 -o " + quote(out) + " " + quote(mDir / "song.mid")))
            << mode;
        const auto rendered = auratest::readWav(out);
        // The last end at tick 192: 210 ticks of 5.208 ms, less the seek.
        const bool seeked = std::string(mode).find("seek") != std::string::npos;
        const double seconds = 210 * 500000.0 / 96 / 1e6 - (seeked ? 0.5 : 0.0);
        EXPECT_NEAR(rendered.frames(), seconds * 44100, 2) << mode;
    }
    int status = 0;
    (void)auratest::capture(std::string(AURA_PLAY_PATH) + " -q -o " + quote(mDir / "none.wav") + " " +
                                quote(mDir / "song.mid") + " 2>/dev/null",
                            &status);
    EXPECT_NE(status, 0); // no bank
}
#endif

} // namespace
