// Faults of the codecs met on real files: loads whose reads split a frame,
// Ogg streams that start before granule zero, IMA ADPCM files whose last
// block is short, damaged and empty files, rates below the output's.
#include "aura.h"
#include "aura.hpp"
#include "codec/aura_codec.h"
#include "files.h"
#include "ogg.h"
#include "sbk_writer.h"
#include "sound/aura_soundi.h"
#include "sound/aura_stream.h"
#include "systems.h"
#include "tools.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

using AURA::Codec;
using auratest::Bytes;
using auratest::quote;
using auratest::run;

class CodecFaults : public auratest::NoSoundSystemTest {
protected:
    CodecFaults() : NoSoundSystemTest("aura-codec-faults") {}

    static Bytes sampleBytes(AURA::Sound *sound) { return auratest::sampleBytes(sound); }

    // What a stream's codec delivers from its start, read in pieces of the
    // given sizes in turn.
    static Bytes streamBytes(AURA::Sound *sound, const std::vector<unsigned int> &sizes)
    {
        auto *stream = static_cast<AURA::Stream *>(static_cast<AURA::SoundI *>(sound));
        EXPECT_EQ(stream->mCodec->setPosition(-1, 0, AURA_TIMEUNIT_PCM), AURA_OK);
        Bytes out;
        std::vector<uint8_t> piece(*std::max_element(sizes.begin(), sizes.end()));
        for (size_t i = 0; i < 10000000; ++i) {
            const unsigned int want = sizes[i % sizes.size()];
            unsigned int got = 0;
            const AURA_RESULT result = stream->mCodec->read(piece.data(), want, &got);
            EXPECT_LE(got, want);
            out.insert(out.end(), piece.begin(), piece.begin() + std::min(got, want));
            if (result != AURA_OK || got == 0) {
                break;
            }
        }
        return out;
    }

};

Bytes noise(size_t bytes, unsigned seed)
{
    std::mt19937 random(seed);
    Bytes out(bytes);
    for (auto &b : out) {
        b = static_cast<uint8_t>(random());
    }
    return out;
}

// Every codec that puts bytes in order or widens them, with more than the
// loader's first 4 MiB of frames that do not divide it: the sample and the
// stream read in odd pieces hold exactly what the reference does.
TEST_F(CodecFaults, ReadsThatSplitAFrameKeepEveryCodecAligned)
{
    struct Case {
        std::string name;
        std::string path;
        AURA_CREATESOUNDEXINFO exinfo{};
        Bytes expected; // little-endian PCM
    };
    std::vector<Case> cases;
    for (const auto &[name, args] : std::vector<std::pair<std::string, std::string>>{
             {"stereo24.aiff", "-r 44100 -c 2 -b 24"}, {"mono24.aifc", "-r 44100 -c 1 -b 24"}}) {
        const std::string path = mDir.file(name);
        const std::string seconds = name.starts_with("stereo") ? "16.5" : "32.5";
        ASSERT_TRUE(run("sox -R -n " + args + " " + quote(path) + " synth " + seconds + " whitenoise"));
        const std::string raw = mDir.file(name + ".raw");
        ASSERT_TRUE(run("sox -R " + quote(path) + " -t raw -e signed-integer -L " + quote(raw)));
        Case c{name, path, {}, auratest::readAll(raw)};
        cases.push_back(c);
    }
    {
        // Raw 24-bit frames of three channels: nine bytes.
        Case c{"raw24", mDir.file("three.raw"), {}, noise(9 * 500'001, 7)};
        ASSERT_TRUE(auratest::writeAll(c.path, c.expected));
        c.exinfo.cbsize = sizeof(c.exinfo);
        c.exinfo.format = AURA_SOUND_FORMAT_PCM24;
        c.exinfo.numchannels = 3;
        c.exinfo.defaultfrequency = 44100;
        cases.push_back(c);
    }
    {
        // A big-endian bank of 16-bit frames of three channels: six bytes.
        auratest::SbkBank bank;
        bank.flags = 0x8;
        auratest::SbkSample s;
        s.channels = 3;
        s.lengthpcm = 720'001;
        s.data = noise(6 * size_t{s.lengthpcm}, 9);
        Bytes expected = s.data;
        for (size_t i = 0; i + 1 < expected.size(); i += 2) {
            std::swap(expected[i], expected[i + 1]);
        }
        bank.samples.push_back(s);
        Case c{"bank.sbk", mDir.file("bank.sbk"), {}, expected};
        ASSERT_TRUE(auratest::writeAll(c.path, auratest::writeSbk(bank)));
        cases.push_back(c);
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_GT(c.expected.size(), 4u << 20);
        AURA_CREATESOUNDEXINFO exinfo = c.exinfo;
        AURA_CREATESOUNDEXINFO *info = exinfo.cbsize ? &exinfo : nullptr;
        for (const bool streamed : {false, true}) {
            AURA::Sound *sound = nullptr;
            ASSERT_EQ(streamed ? system()->createStream(c.path.c_str(), AURA_SOFTWARE, info, &sound)
                               : system()->createSound(c.path.c_str(), AURA_SOFTWARE, info, &sound),
                      AURA_OK);
            AURA::Sound *audio = sound;
            int subsounds = 0;
            EXPECT_EQ(sound->getNumSubSounds(&subsounds), AURA_OK);
            if (subsounds > 0 && !streamed) {
                ASSERT_EQ(sound->getSubSound(0, &audio), AURA_OK);
            }
            const Bytes got = streamed ? streamBytes(audio, {7, 1, 30011, 2, 65536, 5}) : sampleBytes(audio);
            const auto diff = std::mismatch(got.begin(), got.end(), c.expected.begin(), c.expected.end());
            EXPECT_TRUE(got == c.expected) << (streamed ? "stream" : "sample") << ": " << got.size() << " bytes of "
                                           << c.expected.size() << ", first difference at byte "
                                           << (diff.first - got.begin());
            EXPECT_EQ(sound->release(), AURA_OK);
        }
    }
}

// oggdec's decode of a file, 16-bit interleaved little-endian.
Bytes oggdec(const auratest::TempDir &dir, const std::string &ogg)
{
    const std::string raw = dir.file("oggdec.raw");
    EXPECT_TRUE(run("oggdec -Q -R -o " + quote(raw) + " " + quote(ogg)));
    return auratest::readAll(raw);
}

// Streams whose granule positions start below zero, with first pages of
// several sizes: the sample, the stream and the length are oggdec's.
TEST_F(CodecFaults, OggStartingBelowGranuleZeroDecodesAsOggdecDoes)
{
    for (const auto &[shift, firstPackets, frames] : std::vector<std::tuple<int64_t, int, int>>{
             {104, 0, 132633}, {104, 2, 132633}, {104, 2, 9000}, {104, 1, 20000}, {104, 40, 132633},
             {700, 2, 132633}, {3000, 0, 132633}, {3000, 5, 132633}, {3000, 40, 132633}, {3000, 2, 20000},
             {104, 0, 3000}}) {
        {
            SCOPED_TRACE("granules shifted by -" + std::to_string(shift) + ", first page of " +
                         std::to_string(firstPackets) + " packets, " + std::to_string(frames) + " frames");
            const Bytes bytes = auratest::encodeOgg({.rate = 44100,
                                                     .channels = 2,
                                                     .frames = frames,
                                                     .granuleShift = shift,
                                                     .firstPagePackets = firstPackets});
            const std::string path = mDir.file("shifted.ogg");
            ASSERT_TRUE(auratest::writeAll(path, bytes));
            const Bytes expected = oggdec(mDir, path);
            ASSERT_GT(expected.size(), 4u * 1000);
            for (const bool streamed : {false, true}) {
                AURA::Sound *sound = nullptr;
                ASSERT_EQ(streamed ? system()->createStream(path.c_str(), AURA_DEFAULT, nullptr, &sound)
                                   : system()->createSound(path.c_str(), AURA_DEFAULT, nullptr, &sound),
                          AURA_OK);
                unsigned int length = 0;
                EXPECT_EQ(sound->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
                EXPECT_EQ(length, expected.size() / 4) << (streamed ? "stream" : "sample");
                const Bytes got = streamed ? streamBytes(sound, {8192 * 4}) : sampleBytes(sound);
                EXPECT_EQ(got.size(), expected.size()) << (streamed ? "stream" : "sample");
                EXPECT_TRUE(got == expected) << (streamed ? "stream" : "sample");
                if (streamed) {
                    // Seeks count in the same frames.
                    Codec *codec = static_cast<AURA::Stream *>(static_cast<AURA::SoundI *>(sound))->mCodec;
                    for (const unsigned int to : {length / 3, length - 500, 10u}) {
                        ASSERT_EQ(codec->setPosition(-1, to, AURA_TIMEUNIT_PCM), AURA_OK);
                        uint8_t piece[400];
                        unsigned int read = 0;
                        for (unsigned int got = 1; read < sizeof(piece) && got > 0; read += got) {
                            ASSERT_EQ(codec->read(piece + read, sizeof(piece) - read, &got), AURA_OK);
                        }
                        ASSERT_EQ(read, sizeof(piece));
                        EXPECT_TRUE(std::equal(piece, piece + read, expected.begin() + 4 * to)) << "at " << to;
                    }
                }
                EXPECT_EQ(sound->release(), AURA_OK);
            }
        }
    }
}

} // namespace
