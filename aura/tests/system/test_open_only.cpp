// A sample opened with AURA_OPENONLY tells its file's facts (kind, format,
// channels, rate, tags) as a full open does, but decodes nothing and holds
// no data: it costs the pool no room for the decoded sound, and a play of
// it ends at once. A sample read whole takes room for a length counted over
// the file's frames, or declared and no more than the file can hold, at
// once, and never more than the data for a length a header falsely claims.
#include "engine.h"
#include "files.h"
#include "ogg.h"
#include "systems.h"
#include "tools.h"
#include "wav.h"

#include "aura.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

class OpenOnlySample : public auratest::NoSoundSystemTest {
protected:
    OpenOnlySample() : NoSoundSystemTest("aura-open-only") {}
};

struct Facts {
    AURA_SOUND_TYPE type = AURA_SOUND_TYPE_UNKNOWN;
    AURA_SOUND_FORMAT format = AURA_SOUND_FORMAT_NONE;
    int channels = 0;
    float rate = 0.0f;
    int tags = 0;
};

Facts factsOf(AURA::Sound *sound)
{
    Facts facts;
    int bits = 0;
    EXPECT_EQ(sound->getFormat(&facts.type, &facts.format, &facts.channels, &bits), AURA_OK);
    EXPECT_EQ(sound->getDefaults(&facts.rate, nullptr, nullptr, nullptr), AURA_OK);
    int updated = 0;
    EXPECT_EQ(sound->getNumTags(&facts.tags, &updated), AURA_OK);
    return facts;
}

TEST_F(OpenOnlySample, TellsWhatAFullOpenTellsAndDecodesNothing)
{
    const std::string wav = mDir.file("music.wav");
    ASSERT_TRUE(auratest::run("sox -n -r 44100 -c 2 -b 16 " + auratest::quote(wav) +
                              " synth 4 pluck C3 pluck E4 pinknoise vol 0.5"));
    const std::string mono = mDir.file("mono.wav");
    ASSERT_TRUE(auratest::run("sox -n -r 22050 -c 1 -b 8 " + auratest::quote(mono) + " synth 4 sine 300"));
    const std::string ogg = mDir.file("music.ogg");
    ASSERT_TRUE(auratest::run("oggenc -Q -c TITLE=tune -o " + auratest::quote(ogg) + " " + auratest::quote(wav)));
    const std::string mp3 = mDir.file("music.mp3");
    ASSERT_TRUE(auratest::run("lame --quiet -b 128 " + auratest::quote(wav) + " " + auratest::quote(mp3)));
    const std::string flac = mDir.file("music.flac");
    ASSERT_TRUE(auratest::run("flac -s -o " + auratest::quote(flac) + " " + auratest::quote(wav)));
    const std::string cut = mDir.file("cut.ogg");
    auratest::Bytes head = auratest::readAll(ogg);
    ASSERT_GT(head.size(), 40000u);
    head.resize(20000);
    ASSERT_TRUE(auratest::writeAll(cut, head));
    const std::string list = mDir.file("list.m3u");
    const std::string entries = "music.ogg\nmono.wav\n";
    ASSERT_TRUE(auratest::writeAll(list, auratest::Bytes(entries.begin(), entries.end())));

    const std::string files[] = {wav, mono, ogg, mp3, flac, cut, list};
    for (const std::string &name : files) {
        SCOPED_TRACE(name);
        AURA::Sound *full = nullptr;
        ASSERT_EQ(system()->createSound(name.c_str(), AURA_CREATESTREAM, nullptr, &full), AURA_OK);
        const Facts want = factsOf(full);
        ASSERT_EQ(full->release(), AURA_OK);

        const int64_t before = auratest::poolBytes();
        AURA::Sound *only = nullptr;
        ASSERT_EQ(system()->createSound(name.c_str(), AURA_CREATESAMPLE | AURA_OPENONLY, nullptr, &only), AURA_OK);
        // Four seconds decoded would take 88 kB at the least (8-bit mono).
        EXPECT_LT(auratest::poolBytes() - before, 40000);
        const Facts got = factsOf(only);
        EXPECT_EQ(got.type, want.type);
        EXPECT_EQ(got.format, want.format);
        EXPECT_EQ(got.channels, want.channels);
        EXPECT_EQ(got.rate, want.rate);
        EXPECT_EQ(got.tags, want.tags);
        unsigned int length = 1;
        EXPECT_EQ(only->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
        EXPECT_EQ(length, 0u);
        AURA_OPENSTATE state = AURA_OPENSTATE_LOADING;
        AURA_RESULT failure = AURA_ERR_INTERNAL;
        EXPECT_EQ(only->getOpenState(&state, &failure), AURA_OK);
        EXPECT_EQ(state, AURA_OPENSTATE_READY);
        EXPECT_EQ(failure, AURA_OK);

        if (want.type != AURA_SOUND_TYPE_PLAYLIST) {
            AURA::Channel *channel = nullptr;
            ASSERT_EQ(system()->playSound(AURA_CHANNEL_FREE, only, false, &channel), AURA_OK);
            ASSERT_EQ(system()->update(), AURA_OK);
            bool playing = true;
            const AURA_RESULT result = channel->isPlaying(&playing);
            EXPECT_TRUE(result == AURA_ERR_INVALID_HANDLE || result == AURA_ERR_CHANNEL_STOLEN ||
                        (result == AURA_OK && !playing))
                << result;
        }
        ASSERT_EQ(only->release(), AURA_OK);
    }
}

int64_t poolPeak()
{
    return AURA::gGlobal->mMemPool->getStats().peakBytes;
}

TEST_F(OpenOnlySample, SampleRoomFollowsCountedLengthsAndNeverAHeadersClaim)
{
    const std::string wav = mDir.file("music.wav");
    ASSERT_TRUE(auratest::run("sox -n -r 44100 -c 2 -b 16 " + auratest::quote(wav) +
                              " synth 8 pluck C3 pluck E4 pinknoise vol 0.5"));
    const std::string mp3 = mDir.file("music.mp3");
    ASSERT_TRUE(auratest::run("lame --quiet -V 2 " + auratest::quote(wav) + " " + auratest::quote(mp3)));
    // The same file with its Xing header claiming some 16 million frames
    // (77 GB decoded).
    auratest::Bytes bytes = auratest::readAll(mp3);
    const std::string xing = "Xing";
    const auto at = std::search(bytes.begin(), bytes.end(), xing.begin(), xing.end());
    ASSERT_NE(at, bytes.end());
    const size_t pos = static_cast<size_t>(at - bytes.begin());
    ASSERT_LT(pos + 12, bytes.size());
    ASSERT_TRUE(bytes[pos + 7] & 1) << "no frame count in the Xing header";
    const uint8_t huge[4] = {0x00, 0xFF, 0xFF, 0xFF};
    std::memcpy(&bytes[pos + 8], huge, sizeof(huge));
    const std::string claims = mDir.file("claims.mp3");
    ASSERT_TRUE(auratest::writeAll(claims, bytes));

    struct Case {
        const char *what;
        const std::string &file;
        AURA_MODE mode;
    };
    const Case cases[] = {
        {"counted", mp3, AURA_CREATESAMPLE | AURA_ACCURATETIME},
        {"claimed", mp3, AURA_CREATESAMPLE},
        {"a false claim", claims, AURA_CREATESAMPLE},
        {"a false claim, counted", claims, AURA_CREATESAMPLE | AURA_ACCURATETIME},
    };
    auratest::Bytes first;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const int64_t before = auratest::poolBytes();
        AURA::Sound *sound = nullptr;
        ASSERT_EQ(system()->createSound(c.file.c_str(), c.mode, nullptr, &sound), AURA_OK);
        const auratest::Bytes data = auratest::sampleBytes(sound);
        // Eight seconds of 44.1 kHz stereo: 1.4 MB; the first room of a
        // claimed length is 4 MiB.
        EXPECT_GT(data.size(), 8u * 44100 * 4 - 4096);
        EXPECT_LT(poolPeak() - before, 6 << 20);
        if (first.empty()) {
            first = data;
        } else {
            EXPECT_TRUE(data == first) << "the samples differ";
        }
        ASSERT_EQ(sound->release(), AURA_OK);
    }
}

TEST_F(OpenOnlySample, SampleRoomIsTakenOnceForALengthTheFileBoundsAndAFalseOneCostsNoMore)
{
    // 30 s of 44.1 kHz stereo: 5.3 MB decoded, beyond the 4 MiB first room
    // of a length that is not trusted, so that a room that grew by
    // doubling (8 MiB) shows.
    const std::string wav = mDir.file("music.wav");
    ASSERT_TRUE(auratest::run("sox -n -r 44100 -c 2 -b 16 " + auratest::quote(wav) +
                              " synth 30 pluck C3 pluck E4 pinknoise vol 0.5 fade q 0.01 30 1"));
    const std::string ogg = mDir.file("music.ogg");
    ASSERT_TRUE(auratest::run("oggenc -Q -o " + auratest::quote(ogg) + " " + auratest::quote(wav)));
    const std::string flac = mDir.file("music.flac");
    ASSERT_TRUE(auratest::run("flac -s -o " + auratest::quote(flac) + " " + auratest::quote(wav)));
    const auratest::Wav source = auratest::readWav(wav);
    ASSERT_TRUE(source.valid) << source.error;
    const size_t decoded = source.data.size();

    // The WAV's data chunk claiming 2 GB, and the Ogg's granule positions
    // jumping by 200 million frames halfway (800 MB decoded, with both ends
    // of the file consistent), each in a file that holds 30 s.
    auratest::Bytes bytes = auratest::readAll(wav);
    const uint8_t claim[4] = {0x00, 0xFF, 0xFF, 0x7F};
    std::memcpy(&bytes[source.dataOffset - 4], claim, sizeof(claim));
    const std::string wavClaims = mDir.file("claims.wav");
    ASSERT_TRUE(auratest::writeAll(wavClaims, bytes));
    // The Ogg's granule positions from its middle page on, moved by `jump`.
    const auto jumped = [&](int64_t jump, const char *name) {
        auratest::Bytes edited = auratest::readAll(ogg);
        const std::vector<auratest::OggPage> pages = auratest::oggPages(edited);
        EXPECT_GT(pages.size(), 8u);
        for (size_t i = pages.size() / 2; i < pages.size(); ++i) {
            if (pages[i].granule(edited) != -1) {
                pages[i].setGranule(edited, pages[i].granule(edited) + jump);
            }
        }
        const std::string path = mDir.file(name);
        EXPECT_TRUE(auratest::writeAll(path, edited));
        return path;
    };
    const std::string oggClaims = jumped(200000000, "claims.ogg");
    // A jump small enough to be trusted: 1.5 million frames (6 MB) more.
    const std::string oggTrusted = jumped(1500000, "trusted.ogg");

    constexpr int64_t MiB = 1 << 20;
    struct Case {
        const char *what;
        const std::string &file;
        int64_t mostRoom; // at its peak, beyond the decoded data
    };
    // A room taken once is the data rounded up to whole 2 MiB pages; a
    // false claim that is not trusted grows by doubling from 4 MiB; one
    // that is trusted is given back when the data ends. What the sample
    // keeps is never more than its data on whole 2 MiB pages.
    const Case cases[] = {
        {"wav", wav, 2 * MiB},
        {"ogg", ogg, 2 * MiB},
        {"flac", flac, 2 * MiB},
        {"a wav's data chunk claiming 2 GB", wavClaims, 2 * MiB},
        {"an ogg's granule positions claiming 800 MB", oggClaims, 4 * MiB},
        // (Last: the peak it leaves is the highest.)
        {"an ogg's granule positions claiming 6 MB more", oggTrusted, 8 * MiB},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const int64_t before = auratest::poolBytes();
        AURA::Sound *sound = nullptr;
        ASSERT_EQ(system()->createSound(c.file.c_str(), AURA_CREATESAMPLE, nullptr, &sound), AURA_OK);
        const int64_t room = poolPeak() - before;
        const int64_t kept = auratest::poolBytes() - before;
        const auratest::Bytes data = auratest::sampleBytes(sound);
        ASSERT_EQ(sound->release(), AURA_OK);
        EXPECT_LT(room, static_cast<int64_t>(decoded) + c.mostRoom);
        EXPECT_LT(kept, static_cast<int64_t>(decoded) + 2 * MiB);
        // The lossless ones hold the music exactly; the Ogg ones all of it.
        if (std::string(c.what).find("ogg") == std::string::npos) {
            EXPECT_TRUE(data == source.data) << "the samples differ";
        } else {
            EXPECT_GE(data.size(), decoded);
            EXPECT_LT(data.size(), decoded + 4096 * 4);
        }
    }
}

} // namespace
