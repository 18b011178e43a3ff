// Sentences: a bank's parent sound played as a list of its subsounds, back
// to back, as a sample, as a stream and as compressed samples; and the
// positions a channel reports and takes in the sentence's units.
#include "aura.h"
#include "aura.hpp"
#include "files.h"
#include "ima_writer.h"
#include "mpeg_frames.h"
#include "sbk_writer.h"
#include "systems.h"
#include "tools.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using auratest::Bytes;
using Render = auratest::WavRender;

constexpr int RATE = 22050;
constexpr unsigned int BLOCK = 512;
constexpr unsigned int STREAM_CHUNK = 256;
const std::vector<int> kSentence = {3, 0, 2, 4, 1};

// Five stereo subsounds of different lengths and tones; as 16-bit PCM, or as
// IMA ADPCM blocks of 36 bytes a channel in the WAV layout.
Bytes bank(bool ima)
{
    auratest::SbkBank bank;
    for (int i = 0; i < 5; ++i) {
        const int frames = ima ? 64 * (9 + 4 * i) : 700 + 311 * i;
        std::vector<int16_t> pcm(static_cast<size_t>(frames) * 2);
        for (int f = 0; f < frames; ++f) {
            for (int c = 0; c < 2; ++c) {
                pcm[static_cast<size_t>(f) * 2 + c] =
                    static_cast<int16_t>(9000 * std::sin(0.013 * (i + 1) * (c + 1) * f) + 500 * i);
            }
        }
        auratest::SbkSample sample;
        sample.name = "entry" + std::to_string(i);
        sample.channels = 2;
        sample.frequency = RATE;
        sample.lengthpcm = static_cast<uint32_t>(frames);
        if (ima) {
            sample.flags = 0x20400000u;
            sample.data = auratest::imaEncode(pcm, 2, 72, 64);
        } else {
            for (int16_t v : pcm) {
                auratest::put16(sample.data, static_cast<uint16_t>(v));
            }
        }
        bank.samples.push_back(sample);
    }
    return auratest::writeSbk(bank);
}

AURA::Sound *open(AURA::System *system, const Bytes &file, AURA_MODE mode, unsigned int chunk = STREAM_CHUNK)
{
    AURA_CREATESOUNDEXINFO exinfo{};
    exinfo.cbsize = sizeof(exinfo);
    exinfo.length = static_cast<unsigned int>(file.size());
    // A stream's ring of 4 x 256 frames is refilled across every entry
    // (0: the default ring, which holds a whole short sentence).
    exinfo.decodebuffersize = chunk;
    AURA::Sound *sound = nullptr;
    EXPECT_EQ(system->createSound(reinterpret_cast<const char *>(file.data()), AURA_OPENMEMORY | AURA_SOFTWARE | mode,
                                  &exinfo, &sound),
              AURA_OK);
    return sound;
}

// Each subsound's 16-bit PCM as the engine decodes it (its PCM sample's data).
std::vector<std::vector<int16_t>> entriesPCM(const Bytes &file)
{
    std::vector<std::vector<int16_t>> entries;
    Render render({RATE});
    AURA::Sound *parent = open(render.system(), file, 0);
    for (int i = 0; parent && i < 5; ++i) {
        AURA::Sound *sub = nullptr;
        EXPECT_EQ(parent->getSubSound(i, &sub), AURA_OK);
        unsigned int bytes = 0;
        void *data = nullptr;
        EXPECT_EQ(sub->getLength(&bytes, AURA_TIMEUNIT_PCMBYTES), AURA_OK);
        EXPECT_EQ(sub->lock(0, bytes, &data, nullptr, &bytes, nullptr), AURA_OK);
        entries.emplace_back(static_cast<int16_t *>(data), static_cast<int16_t *>(data) + bytes / 2);
        EXPECT_EQ(sub->unlock(data, nullptr, bytes, 0), AURA_OK);
    }
    return entries;
}

// The entries of a list one after another, and where each begins (frames).
struct Joined {
    std::vector<int16_t> pcm;
    std::vector<unsigned int> starts;
};

Joined join(const Bytes &file, const std::vector<int> &list)
{
    const std::vector<std::vector<int16_t>> entries = entriesPCM(file);
    EXPECT_EQ(entries.size(), 5u);
    Joined joined;
    for (int index : list) {
        joined.starts.push_back(static_cast<unsigned int>(joined.pcm.size() / 2));
        if (static_cast<size_t>(index) < entries.size()) {
            joined.pcm.insert(joined.pcm.end(), entries[index].begin(), entries[index].end());
        }
    }
    return joined;
}

enum class Kind { Sample, Stream, Compressed };

struct Case {
    const char *name;
    Kind kind;
    AURA_MODE mode;
};
constexpr Case kCases[] = {{"sample", Kind::Sample, 0},
                           {"stream", Kind::Stream, AURA_CREATESTREAM},
                           {"compressed", Kind::Compressed, AURA_CREATECOMPRESSEDSAMPLE}};

TEST(Sentences, PlayAsTheExactConcatenationOfTheirEntriesAndReportWhereTheyAre)
{
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.name);
        const Bytes file = bank(c.kind == Kind::Compressed);
        const Joined joined = join(file, kSentence);
        const std::vector<int16_t> &expected = joined.pcm;
        const std::vector<unsigned int> &starts = joined.starts;
        const auto total = static_cast<unsigned int>(expected.size() / 2);

        auratest::RenderFormat format;
        format.rate = RATE;
        format.block = BLOCK;
        Render render(format);
        AURA::Sound *parent = open(render.system(), file, c.mode);
        ASSERT_NE(parent, nullptr);
        std::vector<int> list = kSentence;
        ASSERT_EQ(parent->setSubSoundSentence(list.data(), static_cast<int>(list.size())), AURA_OK);
        unsigned int length = 0;
        ASSERT_EQ(parent->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
        EXPECT_EQ(length, total);
        AURA::Channel *channel = render.play(parent, true);
        ASSERT_NE(channel, nullptr);

        // Positions set in sentence units name an entry's start, or a place
        // in the entry that plays; read back in every unit.
        unsigned int at = 0;
        ASSERT_EQ(channel->setPosition(3, AURA_TIMEUNIT_SENTENCE), AURA_OK);
        ASSERT_EQ(channel->getPosition(&at, AURA_TIMEUNIT_PCM), AURA_OK);
        EXPECT_EQ(at, starts[3]);
        ASSERT_EQ(channel->setPosition(100, AURA_TIMEUNIT_SENTENCE_PCM), AURA_OK);
        struct Expect {
            AURA_TIMEUNIT unit;
            unsigned int value;
        };
        for (const Expect e : {Expect{AURA_TIMEUNIT_PCM, starts[3] + 100}, Expect{AURA_TIMEUNIT_SENTENCE, 3},
                               Expect{AURA_TIMEUNIT_SENTENCE_SUBSOUND, 4}, Expect{AURA_TIMEUNIT_SENTENCE_PCM, 100},
                               Expect{AURA_TIMEUNIT_SENTENCE_MS, 100 * 1000 / RATE}}) {
            ASSERT_EQ(channel->getPosition(&at, e.unit), AURA_OK) << std::hex << e.unit;
            EXPECT_EQ(at, e.value) << std::hex << e.unit;
        }
        ASSERT_EQ(channel->getPosition(&at, AURA_TIMEUNIT_SENTENCE_PCMBYTES), AURA_OK);
        EXPECT_EQ(at, c.kind == Kind::Compressed ? (100 + 63) / 64 * 36 * 2 : 100 * 4);
        // Milliseconds and bytes within the entry.
        const unsigned int bytes = c.kind == Kind::Compressed ? 144 : 400; // 128 and 100 frames
        ASSERT_EQ(channel->setPosition(bytes, AURA_TIMEUNIT_SENTENCE_PCMBYTES), AURA_OK);
        ASSERT_EQ(channel->getPosition(&at, AURA_TIMEUNIT_PCM), AURA_OK);
        EXPECT_EQ(at, starts[3] + (c.kind == Kind::Compressed ? 128 : 100));
        ASSERT_EQ(channel->setPosition(20, AURA_TIMEUNIT_SENTENCE_MS), AURA_OK);
        ASSERT_EQ(channel->getPosition(&at, AURA_TIMEUNIT_PCM), AURA_OK);
        EXPECT_EQ(at, starts[3] + 441);
        // Past the entry, or past the list.
        EXPECT_EQ(channel->setPosition(starts[4] - starts[3], AURA_TIMEUNIT_SENTENCE_PCM), AURA_ERR_INVALID_POSITION);
        EXPECT_EQ(channel->setPosition(5, AURA_TIMEUNIT_SENTENCE), AURA_ERR_INVALID_POSITION);
        ASSERT_EQ(channel->setPosition(0, AURA_TIMEUNIT_SENTENCE), AURA_OK);

        ASSERT_EQ(channel->setPaused(false), AURA_OK);
        const int blocks = static_cast<int>(total / BLOCK) + 3;
        for (int b = 1; b <= blocks; ++b) {
            render.update();
            const unsigned int played = std::min<unsigned int>(static_cast<unsigned int>(b) * BLOCK, total);
            if (played >= total) {
                continue; // ended: the channel is gone
            }
            int entry = 0;
            while (entry + 1 < 5 && played >= starts[static_cast<size_t>(entry) + 1]) {
                ++entry;
            }
            ASSERT_EQ(channel->getPosition(&at, AURA_TIMEUNIT_SENTENCE), AURA_OK);
            EXPECT_EQ(at, static_cast<unsigned int>(entry)) << "block " << b;
            ASSERT_EQ(channel->getPosition(&at, AURA_TIMEUNIT_SENTENCE_PCM), AURA_OK);
            EXPECT_EQ(at, played - starts[static_cast<size_t>(entry)]) << "block " << b;
            if (c.kind == Kind::Stream) {
                // The raw position: where the voice is in the ring.
                ASSERT_EQ(channel->getPosition(&at, AURA_TIMEUNIT_BUFFERED), AURA_OK);
                EXPECT_EQ(at, played % (4 * STREAM_CHUNK)) << "block " << b;
            }
        }
        const auratest::Wav wav = render.finish();
        ASSERT_TRUE(wav.valid);
        ASSERT_GE(wav.samples.size(), expected.size());
        size_t differ = 0;
        for (size_t i = 0; i < expected.size(); ++i) {
            differ += wav.samples[i] != static_cast<float>(expected[i]) / 32768.0f;
        }
        EXPECT_EQ(differ, 0u);
        for (size_t i = expected.size(); i < wav.samples.size(); ++i) {
            ASSERT_EQ(wav.samples[i], 0.0f) << "after the sentence, sample " << i;
        }
    }
}

// Resampled to another rate, sought and looping across entries, a sentence
// sounds as one sample that holds its entries one after another: the
// neighbour of an entry's last frame is the next entry's first.
TEST(Sentences, ResampledAndLoopedAsOneSampleOfItsEntries)
{
    // With a seek and a small ring, or from the start with a ring that holds
    // the whole sentence (whose end the decoder has met before the play).
    for (const auto &[c, seek] : {std::pair{kCases[0], true}, std::pair{kCases[1], true}, std::pair{kCases[2], true},
                                  std::pair{kCases[1], false}, std::pair{kCases[2], false}}) {
        SCOPED_TRACE(std::string(c.name) + (seek ? " sought" : ""));
        const Bytes file = bank(c.kind == Kind::Compressed);
        const Joined parts = join(file, kSentence);
        const std::vector<int16_t> &joined = parts.pcm;
        auratest::RenderFormat format;
        format.rate = 48000;
        format.block = BLOCK;
        std::vector<float> heard[2];
        for (int which = 0; which < 2; ++which) {
            Render render(format);
            AURA::Sound *sound = nullptr;
            if (which == 0) {
                sound = render.sound(joined, 2, RATE, AURA_LOOP_NORMAL);
            } else {
                sound = open(render.system(), file, c.mode | AURA_LOOP_NORMAL, seek ? STREAM_CHUNK : 0);
                std::vector<int> list = kSentence;
                ASSERT_NE(sound, nullptr);
                ASSERT_EQ(sound->setSubSoundSentence(list.data(), static_cast<int>(list.size())), AURA_OK);
            }
            ASSERT_NE(sound, nullptr);
            // A loop from the second entry into the fifth (entered from the third).
            ASSERT_EQ(sound->setLoopPoints(parts.starts[1] + 123, parts.starts[4] + 77), AURA_OK);
            AURA::Channel *channel = render.play(sound, true);
            ASSERT_NE(channel, nullptr);
            ASSERT_EQ(channel->setLoopCount(-1), AURA_OK);
            if (seek) {
                ASSERT_EQ(channel->setPosition(parts.starts[2] + 10, AURA_TIMEUNIT_PCM), AURA_OK);
            }
            ASSERT_EQ(channel->setPaused(false), AURA_OK);
            render.update(static_cast<int>(joined.size() / 2 * 2 * 48000 / RATE / BLOCK) + 4);
            heard[which] = render.finish().samples;
        }
        ASSERT_EQ(heard[0].size(), heard[1].size());
        // (Interpolated frames may round differently where a kernel's run
        // is cut at an entry's end: far below one step of 16 bits.)
        size_t differ = 0;
        for (size_t i = 0; i < heard[0].size(); ++i) {
            differ += std::fabs(heard[0][i] - heard[1][i]) > 1e-6f;
        }
        EXPECT_EQ(differ, 0u);
        // Still looping at the end of the render.
        double tail = 0.0;
        for (size_t i = heard[1].size() * 3 / 4; i < heard[1].size(); ++i) {
            tail += std::fabs(heard[1][i]);
        }
        EXPECT_GT(tail, 100.0);
    }
}

// A sentence of MPEG entries: each entry is decoded from its own first frame,
// so kept compressed it sounds exactly as it does decoded at creation or
// streamed.
TEST(Sentences, MpegEntriesSoundTheSameHoweverTheyAreKept)
{
    auratest::TempDir dir;
    auratest::SbkBank bank;
    bank.flags = 0x40;
    for (int i = 0; i < 3; ++i) {
        const auratest::MpegEncode e = auratest::encodeMpeg(dir, "entry" + std::to_string(i), RATE, 2, 0.3 + 0.2 * i,
                                                            "lame --quiet -b 64 {in} {out}");
        Render probe({RATE});
        AURA::Sound *alone = open(probe.system(), e.bytes, 0);
        ASSERT_NE(alone, nullptr);
        unsigned int frames = 0;
        ASSERT_EQ(alone->getLength(&frames, AURA_TIMEUNIT_PCM), AURA_OK);
        bank.samples.push_back(auratest::mpegSample(e.name, auratest::padFrames(e.bytes, 4), e, frames));
    }
    const Bytes file = auratest::writeSbk(bank);
    const std::vector<int> kMpegSentence = {2, 0, 1, 0};
    std::vector<float> heard[3];
    for (size_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(kCases[k].name);
        auratest::RenderFormat format;
        format.rate = RATE;
        format.block = BLOCK;
        Render render(format);
        AURA::Sound *parent = open(render.system(), file, kCases[k].mode);
        ASSERT_NE(parent, nullptr);
        std::vector<int> list = kMpegSentence;
        ASSERT_EQ(parent->setSubSoundSentence(list.data(), static_cast<int>(list.size())), AURA_OK);
        unsigned int length = 0;
        ASSERT_EQ(parent->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
        ASSERT_NE(render.play(parent), nullptr);
        render.update(static_cast<int>(length / BLOCK) + 3);
        heard[k] = render.finish().samples;
        ASSERT_EQ(heard[k].size(), heard[0].size());
        EXPECT_TRUE(heard[k] == heard[0]);
    }
    double energy = 0.0;
    for (float v : heard[0]) {
        energy += static_cast<double>(v) * v;
    }
    EXPECT_GT(energy, 100.0);
}

TEST(Sentences, WhatASentenceRefuses)
{
    Render render({RATE});
    const Bytes file = bank(false);
    AURA::Sound *parent = open(render.system(), file, 0);
    ASSERT_NE(parent, nullptr);
    AURA::Channel *channel = nullptr;
    EXPECT_EQ(render.system()->playSound(AURA_CHANNEL_FREE, parent, false, &channel), AURA_ERR_SUBSOUNDS);

    std::vector<int> list = {1, 5};
    EXPECT_EQ(parent->setSubSoundSentence(list.data(), 2), AURA_ERR_INVALID_PARAM);
    list = {1, -1};
    EXPECT_EQ(parent->setSubSoundSentence(list.data(), 2), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(parent->setSubSoundSentence(nullptr, 2), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(AURA_Sound_SetSubSoundSentence(nullptr, list.data(), 1), AURA_ERR_INVALID_PARAM);
    AURA::Sound *sub = nullptr;
    ASSERT_EQ(parent->getSubSound(0, &sub), AURA_OK);
    list = {0};
    EXPECT_EQ(sub->setSubSoundSentence(list.data(), 1), AURA_ERR_INVALID_PARAM); // not a parent

    // A subsound of another channel count does not join the list.
    auratest::SbkBank mixed;
    mixed.samples.resize(2);
    mixed.samples[0].data = Bytes(400, 0);
    mixed.samples[0].lengthpcm = 200;
    mixed.samples[1].channels = 2;
    mixed.samples[1].data = Bytes(400, 0);
    mixed.samples[1].lengthpcm = 100;
    AURA::Sound *other = open(render.system(), auratest::writeSbk(mixed), 0);
    ASSERT_NE(other, nullptr);
    list = {0, 1};
    EXPECT_EQ(other->setSubSoundSentence(list.data(), 2), AURA_ERR_SUBSOUND_MODE);

    // Sentence units need a sentence.
    AURA::Channel *plain = render.play(sub);
    ASSERT_NE(plain, nullptr);
    unsigned int at = 0;
    EXPECT_EQ(plain->getPosition(&at, AURA_TIMEUNIT_SENTENCE_PCM), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(plain->setPosition(0, AURA_TIMEUNIT_SENTENCE), AURA_ERR_INVALID_PARAM);

    // With a sentence the parent plays; taken away, it does not.
    list = {4, 4};
    ASSERT_EQ(AURA_Sound_SetSubSoundSentence(reinterpret_cast<AURA_SOUND *>(parent), list.data(), 2), AURA_OK);
    unsigned int length = 0;
    ASSERT_EQ(parent->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(length, 2u * (700 + 311 * 4));
    channel = render.play(parent);
    ASSERT_NE(channel, nullptr);
    render.update();
    ASSERT_EQ(parent->setSubSoundSentence(nullptr, 0), AURA_OK);
    bool playing = true;
    // The channel that played the old sentence was stopped.
    EXPECT_NE(channel->isPlaying(&playing) == AURA_OK && playing, true);
    EXPECT_EQ(render.system()->playSound(AURA_CHANNEL_FREE, parent, false, &channel), AURA_ERR_SUBSOUNDS);

    // A released entry stops the sentence that plays it.
    list = {0, 1};
    ASSERT_EQ(parent->setSubSoundSentence(list.data(), 2), AURA_OK);
    channel = render.play(parent);
    ASSERT_NE(channel, nullptr);
    render.update();
    ASSERT_EQ(sub->release(), AURA_OK);
    playing = true;
    EXPECT_NE(channel->isPlaying(&playing) == AURA_OK && playing, true);
}

// Sentences set, played, sought and read while the real-time mixer (and, for
// the stream, the stream thread) plays them.
TEST(SentenceThreads, RandomCallsWithTheRealTimeMixer)
{
    AURA_SYSTEM *handle = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND, 16);
    ASSERT_NE(handle, nullptr);
    auto *system = reinterpret_cast<AURA::System *>(handle);
    const Bytes pcm = bank(false);
    const Bytes ima = bank(true);
    std::vector<AURA::Sound *> parents;
    for (const Case &c : kCases) {
        parents.push_back(open(system, c.kind == Kind::Compressed ? ima : pcm, c.mode | AURA_LOOP_NORMAL));
        ASSERT_NE(parents.back(), nullptr);
    }
    std::mt19937 random(5);
    std::vector<AURA::Channel *> channels(parents.size(), nullptr);
    for (int i = 0; i < 600; ++i) {
        const size_t which = random() % parents.size();
        AURA::Channel *&channel = channels[which];
        AURA_RESULT result = AURA_OK;
        unsigned int at = 0;
        switch (random() % 6) {
        case 0: {
            std::vector<int> list(1 + random() % 6);
            for (int &entry : list) {
                entry = static_cast<int>(random() % 5);
            }
            result = parents[which]->setSubSoundSentence(list.data(), static_cast<int>(list.size()));
            break;
        }
        case 1: result = system->playSound(AURA_CHANNEL_FREE, parents[which], false, &channel); break;
        case 2:
            result = channel ? channel->setPosition(static_cast<unsigned int>(random() % 5), AURA_TIMEUNIT_SENTENCE)
                             : AURA_OK;
            break;
        case 3:
            result = channel ? channel->setPosition(static_cast<unsigned int>(random() % 900),
                                                    AURA_TIMEUNIT_SENTENCE_PCM)
                             : AURA_OK;
            break;
        case 4: result = channel ? channel->getPosition(&at, AURA_TIMEUNIT_SENTENCE_PCM) : AURA_OK; break;
        default: result = system->update(); break;
        }
        // Stale handles, a parent without a sentence yet, places past an
        // entry or the list: all answered, none fatal.
        EXPECT_TRUE(result == AURA_OK || result == AURA_ERR_INVALID_HANDLE || result == AURA_ERR_CHANNEL_STOLEN ||
                    result == AURA_ERR_SUBSOUNDS || result == AURA_ERR_INVALID_POSITION ||
                    result == AURA_ERR_INVALID_PARAM)
            << "call " << i << " gave " << result;
    }
    for (AURA::Sound *parent : parents) {
        ASSERT_EQ(parent->release(), AURA_OK);
    }
    EXPECT_EQ(system->release(), AURA_OK);
}

#ifdef AURA_PLAY_PATH
// The player's --sentence: the bank's subsounds in the order given, as a
// sample, a stream and compressed samples; a bad list is refused.
TEST(Sentences, AuraPlayRendersASentence)
{
    auratest::TempDir dir("aura-sentences");
    ASSERT_TRUE(dir.ok());
    const std::string play = std::string(AURA_PLAY_PATH) + " -q --rate 22050 ";
    for (const bool ima : {false, true}) {
        const Bytes file = bank(ima);
        ASSERT_TRUE(auratest::writeAll(dir / "bank.sbk", file));
        const std::vector<int16_t> expected = join(file, {3, 0, 2}).pcm;
        for (const char *how : {"", "--stream ", "--compressed "}) {
            SCOPED_TRACE(std::string(ima ? "ima " : "pcm ") + how);
            ASSERT_TRUE(auratest::run(play + how + "--sentence 3,0,2 -o " + auratest::quote(dir / "out.wav") + " " +
                                      auratest::quote(dir / "bank.sbk")));
            const auratest::Wav rendered = auratest::readWav(dir / "out.wav");
            ASSERT_TRUE(rendered.valid);
            EXPECT_TRUE(rendered.pcm16 == expected);
        }
    }
    for (const char *list : {"3,x", "0,7", "", "1,"}) {
        int status = 0;
        (void)auratest::capture(play + "--sentence '" + list + "' -o " + auratest::quote(dir / "none.wav") + " " +
                                    auratest::quote(dir / "bank.sbk") + " 2>/dev/null",
                                &status);
        EXPECT_NE(status, 0) << list;
    }
}
#endif

} // namespace
