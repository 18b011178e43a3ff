// Faults of the codecs met on real files: loads whose reads split a frame,
// Ogg streams that start before granule zero, IMA ADPCM files whose last
// block is short, damaged and empty files, rates below the output's.
#include "aura.h"
#include "aura.hpp"
#include "codec/aura_codec.h"
#include "files.h"
#include "ima_writer.h"
#include "midi_writer.h"
#include "mpeg_frames.h"
#include "ogg.h"
#include "sbk_writer.h"
#include "sine_analysis.h"
#include "sound/aura_sample.h"
#include "sound/aura_soundi.h"
#include "sound/aura_stream.h"
#include "system/aura_systemi.h"
#include "systems.h"
#include "tools.h"
#include "voice/aura_dsp_codec.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using AURA::Codec;
using auratest::Bytes;
using auratest::quote;
using auratest::run;

// A stream's codec set at each of `positions` reads on as `expected` does
// from there (five frames, or up to its end).
void expectSeeks(AURA::Sound *sound, const Bytes &expected, size_t frameBytes,
                 const std::vector<unsigned int> &positions)
{
    Codec *codec = static_cast<AURA::Stream *>(static_cast<AURA::SoundI *>(sound))->mCodec;
    for (const unsigned int to : positions) {
        ASSERT_EQ(codec->setPosition(-1, to, AURA_TIMEUNIT_PCM), AURA_OK);
        const size_t at = frameBytes * to;
        Bytes piece(std::min(frameBytes * 5, expected.size() - at));
        unsigned int read = 0;
        for (unsigned int got = 1; read < piece.size() && got > 0; read += got) {
            const AURA_RESULT result =
                codec->read(piece.data() + read, static_cast<unsigned int>(piece.size() - read), &got);
            ASSERT_TRUE(result == AURA_OK || result == AURA_ERR_FILE_EOF) << result;
        }
        ASSERT_EQ(read, piece.size()) << "at " << to;
        EXPECT_TRUE(std::equal(piece.begin(), piece.end(), expected.begin() + static_cast<long>(at))) << "at " << to;
    }
}

class CodecFaults : public auratest::NoSoundSystemTest {
protected:
    CodecFaults() : NoSoundSystemTest("aura-codec-faults") {}

    static Bytes sampleBytes(AURA::Sound *sound) { return auratest::sampleBytes(sound); }

    // What a decoding unit lent from the system's pool gives of a sample
    // kept compressed, up to its length or to where the unit ends.
    Bytes compressedBytes(AURA::Sound *sound)
    {
        auto *sample = static_cast<AURA::Sample *>(static_cast<AURA::SoundI *>(sound));
        AURA::DSPCodec *unit = nullptr;
        auto *systemi = static_cast<AURA::SystemI *>(system());
        if (systemi->allocateDSPCodec(sample->mFormat, &unit) != AURA_OK) {
            ADD_FAILURE() << "no decoding unit for format " << sample->mFormat;
            return {};
        }
        Bytes out;
        if (unit->updateDSPCodec(sample, 0) == AURA_OK) {
            unit->mDSPState.instance = static_cast<AURA::DSPI *>(unit);
            const size_t frameBytes = 2 * static_cast<size_t>(sample->mChannels);
            std::vector<int16_t> piece(1000 * static_cast<size_t>(sample->mChannels));
            for (unsigned int done = 0; done < sample->mLength;) {
                const unsigned int frames = std::min(1000u, sample->mLength - done);
                unit->mEndedFrames = AURA::DSPResampler::WHOLE_BLOCK;
                const AURA_RESULT result = AURA::DSPCodec::readCallback(
                    &unit->mDSPState, nullptr, reinterpret_cast<float *>(piece.data()), frames, 0, 0);
                // (The read that reaches the end says so, having filled its piece.)
                const unsigned int got = result == AURA_OK ? frames : std::min(unit->mEndedFrames, frames);
                const auto *bytes = reinterpret_cast<const uint8_t *>(piece.data());
                out.insert(out.end(), bytes, bytes + got * frameBytes);
                done += frames;
                if (got < frames) {
                    break;
                }
            }
        }
        unit->mPool->free(unit);
        return out;
    }

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


    // `path` opened as a sample and as a stream holds `expected` (frames of
    // `frameBytes`), and the stream's codec seeks to the given positions.
    void expectDecodes(const std::string &path, const Bytes &expected, size_t frameBytes,
                       const std::function<std::vector<unsigned int>(unsigned int)> &seeks)
    {
        for (const bool streamed : {false, true}) {
            SCOPED_TRACE(streamed ? "stream" : "sample");
            AURA::Sound *sound = nullptr;
            ASSERT_EQ(streamed ? system()->createStream(path.c_str(), AURA_DEFAULT, nullptr, &sound)
                               : system()->createSound(path.c_str(), AURA_DEFAULT, nullptr, &sound),
                      AURA_OK);
            unsigned int length = 0;
            EXPECT_EQ(sound->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
            EXPECT_EQ(length, expected.size() / frameBytes);
            const Bytes got = streamed ? streamBytes(sound, {4096}) : sampleBytes(sound);
            EXPECT_EQ(got.size(), expected.size());
            EXPECT_TRUE(got == expected);
            if (streamed && length == expected.size() / frameBytes) {
                expectSeeks(sound, expected, frameBytes, seeks(length));
            }
            EXPECT_EQ(sound->release(), AURA_OK);
        }
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

// Streams whose granule positions start below zero, or above or below what
// the first page's packets hold, with first pages of several sizes, and
// streams whose granule positions later jump back by the shift (as FFmpeg's
// muxer writes a first page of -104), and jump again: the sample, the
// stream, the length, seeks and the player's renders are oggdec's, and the
// file is not cut.
TEST_F(CodecFaults, OggStartingBelowGranuleZeroDecodesAsOggdecDoes)
{
    struct Case {
        int64_t shift;
        int firstPackets;
        int frames;
        size_t jumpPage = 0;   // > 0: from this page on, the shift is taken back
        size_t secondPage = 0; // > 0: from this page on, granules move by `second` more
        int64_t second = 0;
    };
    for (const Case &c : std::vector<Case>{
             {104, 0, 132633}, {104, 2, 132633}, {104, 2, 9000}, {104, 1, 20000}, {104, 40, 132633},
             {700, 2, 132633}, {3000, 0, 132633}, {3000, 5, 132633}, {3000, 40, 132633}, {3000, 2, 20000},
             {104, 0, 3000}, {64, 0, 132633}, {64, 40, 132633}, {-64, 0, 132633}, {-64, 2, 132633},
             {-64, 40, 132633}, {-64, 0, 3000}, {-3000, 5, 132633},
             {104, 1, 700000, 20}, {104, 1, 132633, 4}, {104, 0, 132633, 20}, {3000, 1, 132633, 9},
             {104, 1, 132633, 6, 7, 300}, {104, 1, 132633, 6, 12, -2000}, {104, 1, 132633, 6, 12, -9000}}) {
        {
            SCOPED_TRACE("granules shifted by " + std::to_string(-c.shift) + ", first page of " +
                         std::to_string(c.firstPackets) + " packets, " + std::to_string(c.frames) + " frames" +
                         (c.jumpPage > 0 ? ", shifted back from page " + std::to_string(c.jumpPage) : "") +
                         (c.secondPage > 0 ? ", by " + std::to_string(c.second) + " more from page " +
                                                 std::to_string(c.secondPage)
                                           : ""));
            Bytes bytes = auratest::encodeOgg({.rate = 44100,
                                               .channels = 2,
                                               .frames = c.frames,
                                               .granuleShift = c.shift,
                                               .firstPagePackets = c.firstPackets,
                                               .pageBytes = c.jumpPage > 0 ? 400 : 0});
            const std::vector<auratest::OggPage> pages = auratest::oggPages(bytes);
            ASSERT_GT(pages.size(), std::max(c.jumpPage, c.secondPage) + 2);
            // Where each page ends in the decoded frames (granules as written).
            std::vector<int64_t> ends;
            for (const auratest::OggPage &page : pages) {
                ends.push_back(page.granule(bytes) + c.shift);
            }
            for (size_t page = c.jumpPage; c.jumpPage > 0 && page < pages.size(); ++page) {
                pages[page].setGranule(bytes, pages[page].granule(bytes) + c.shift);
            }
            for (size_t page = c.secondPage; c.secondPage > 0 && page < pages.size(); ++page) {
                pages[page].setGranule(bytes, pages[page].granule(bytes) + c.second);
            }
            const std::string path = mDir.file("shifted.ogg");
            ASSERT_TRUE(auratest::writeAll(path, bytes));
            const Bytes expected = oggdec(mDir, path);
            ASSERT_GT(expected.size(), 4u * 1000);
            const auto length = static_cast<unsigned int>(expected.size() / 4);
            expectDecodes(path, expected, 4, [&](unsigned int) {
                std::vector<unsigned int> seeks{length / 3, length - 500, 10u};
                // Around the pages where the positions jump, and inside the
                // shift's width at the end.
                for (const size_t jump : {c.jumpPage, c.secondPage}) {
                    for (size_t page = jump - 1; jump > 0 && page <= jump + 1; ++page) {
                        const auto at = static_cast<unsigned int>(ends[page]);
                        for (const unsigned int near : {at - 3, at, at + 1, at + 200}) {
                            seeks.push_back(std::min(near, length - 1));
                        }
                    }
                }
                if (c.jumpPage > 0) {
                    seeks.push_back(length - static_cast<unsigned int>(std::abs(c.shift)) / 2);
                    seeks.push_back(5000);
                }
                return seeks;
            });
#ifdef AURA_PLAY_PATH
            const std::string info = auratest::capture(std::string(AURA_PLAY_PATH) + " --info " + quote(path));
            EXPECT_NE(info.find("length:   " + std::to_string(length) + " samples"), std::string::npos) << info;
            // The render from a seek holds what oggdec decodes from there,
            // and nothing is said of a cut.
            for (const char *mode : {"", "--stream "}) {
                if (c.jumpPage == 0) {
                    break;
                }
                for (const unsigned int ms : {0u, 100u, length * 1000u / 44100u - 5}) {
                    SCOPED_TRACE(std::string(mode) + "--seek " + std::to_string(ms));
                    const std::string out = mDir.file("out.wav");
                    int status = 0;
                    const std::string said = auratest::capture(std::string(AURA_PLAY_PATH) + " -q " + mode +
                                                                   "--seek " + std::to_string(ms) + " -o " +
                                                                   quote(out) + " " + quote(path) + " 2>&1",
                                                               &status);
                    EXPECT_EQ(status, 0) << said;
                    EXPECT_EQ(said, "");
                    const auratest::Wav rendered = auratest::readWav(out);
                    const size_t from = size_t{ms} * 44100 / 1000 * 4;
                    EXPECT_EQ(rendered.data.size(), expected.size() - from);
                    EXPECT_TRUE(rendered.data.size() <= expected.size() - from &&
                                std::equal(rendered.data.begin(), rendered.data.end(),
                                           expected.begin() + static_cast<long>(from)));
                }
            }
#endif
        }
    }
}

// IMA ADPCM files whose last block is short, or whole with a fact chunk that
// counts fewer frames (as sox writes them): every frame sox decodes, and no
// other, in both modes and after seeks.
TEST_F(CodecFaults, ImaAdpcmEndsWhereSoxDoes)
{
    struct Case {
        std::string name;
        Bytes file;
    };
    std::vector<Case> cases;
    for (const auto &[channels, frames, cut, withFact] : std::vector<std::tuple<unsigned, unsigned, unsigned, bool>>{
             {1, 10293, 100, true}, {2, 10197, 104, true}, {1, 10293, 100, false}, {4, 3000, 16 * 3, true},
             {1, 300, 0, true}, {1, 241, 127, false}}) {
        // Blocks of 256 bytes per channel, cut `cut` bytes into the last.
        const unsigned blockalign = 256 * channels;
        const unsigned perBlock = auratest::imaSamplesPerBlock(blockalign, channels);
        std::vector<int16_t> pcm(size_t{frames} * channels);
        std::mt19937 random(frames);
        for (size_t i = 0; i < pcm.size(); ++i) {
            pcm[i] = static_cast<int16_t>(8000 * std::sin(0.01 * static_cast<double>(i / channels)) +
                                          static_cast<int>(random() % 2000) - 1000);
        }
        Bytes blocks = auratest::imaEncode(pcm, channels, blockalign, perBlock);
        if (cut > 0) {
            blocks.resize(blocks.size() - blockalign + cut);
        }
        Bytes file = auratest::imaWav(blocks, channels, 22050, blockalign, perBlock);
        if (withFact) {
            // A fact chunk before the data, and the RIFF size grown by it.
            Bytes fact;
            auratest::put32(fact, frames);
            const Bytes chunk = auratest::chunk("fact", fact);
            const size_t data = 12 + 8 + auratest::le32(file, 16);
            file.insert(file.begin() + static_cast<long>(data), chunk.begin(), chunk.end());
            const uint32_t riff = auratest::le32(file, 4) + static_cast<uint32_t>(chunk.size());
            for (int i = 0; i < 4; ++i) {
                file[4 + i] = static_cast<uint8_t>(riff >> (8 * i));
            }
        }
        cases.push_back({std::to_string(channels) + " channels, " + std::to_string(frames) + " frames, cut at " +
                             std::to_string(cut) + (withFact ? ", fact" : ""),
                         file});
    }
    // sox's own, whose last block is padded and whose fact ends the sound.
    const std::string soxMade = mDir.file("sox.wav");
    ASSERT_TRUE(run("sox -R -n -r 22050 -c 2 -e ima-adpcm " + quote(soxMade) + " synth 0.3137 sine 440"));
    cases.push_back({"made by sox", auratest::readAll(soxMade)});

    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = mDir.file("ima.wav");
        const std::string raw = mDir.file("ima.raw");
        ASSERT_TRUE(auratest::writeAll(path, c.file));
        ASSERT_TRUE(run("sox -D " + quote(path) + " -t raw -e signed-integer -b 16 " + quote(raw)));
        const Bytes expected = auratest::readAll(raw);
        const auto frameBytes = 2 * static_cast<size_t>(auratest::le16(c.file, 22));
        expectDecodes(path, expected, frameBytes, [](unsigned int length) {
            return length > 600 ? std::vector<unsigned int>{length - 7, length - 300, 506u} : std::vector<unsigned int>{};
        });
        if (frameBytes <= 4) {
            // Kept compressed (up to two channels), the decoding unit plays
            // the same frames.
            AURA::Sound *kept = nullptr;
            ASSERT_EQ(system()->createSound(path.c_str(), AURA_CREATECOMPRESSEDSAMPLE, nullptr, &kept), AURA_OK);
            unsigned int length = 0;
            EXPECT_EQ(kept->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
            EXPECT_EQ(length, expected.size() / frameBytes) << "compressed";
            const Bytes decoded = compressedBytes(kept);
            EXPECT_TRUE(decoded == expected) << "compressed: " << decoded.size() << " bytes of " << expected.size();
            EXPECT_EQ(kept->release(), AURA_OK);
        }
    }
}

// IMA ADPCM blocks the decoder refuses (a step index past the table's end
// in a block header, blocks misread under a wrong block size, a bank's
// sound shifted by a byte): the sample, the stream and the sample kept
// compressed are refused alike, and aura-play fails on each the same way.
TEST_F(CodecFaults, ImaBlocksTheDecoderRefusesAreRefusedOnEveryRoad)
{
    std::vector<int16_t> pcm(2 * 10293);
    for (size_t i = 0; i < pcm.size(); ++i) {
        pcm[i] = static_cast<int16_t>(9000 * std::sin(0.013 * static_cast<double>(i / 2)) + (i % 2 ? 500 : -500));
    }
    const std::vector<int16_t> mono(pcm.begin(), pcm.begin() + 10293);
    struct Case {
        std::string name;
        Bytes bytes;
        std::string args = "";
    };
    std::vector<Case> cases;
    const unsigned monoPerBlock = auratest::imaSamplesPerBlock(256, 1);
    const Bytes monoBlocks = auratest::imaEncode(mono, 1, 256, monoPerBlock);
    {
        Bytes blocks = monoBlocks;
        blocks[3 * 256 + 2] = 255;
        cases.push_back({"index-255.wav", auratest::imaWav(blocks, 1, 22050, 256, monoPerBlock)});
    }
    {
        // The second channel's header of a stereo block.
        Bytes blocks = auratest::imaEncode(pcm, 2, 512, auratest::imaSamplesPerBlock(512, 2));
        blocks[5 * 512 + 4 + 2] = 89;
        cases.push_back({"stereo-index-89.wav",
                         auratest::imaWav(blocks, 2, 22050, 512, auratest::imaSamplesPerBlock(512, 2))});
    }
    cases.push_back({"blockalign-516.wav", auratest::imaWav(monoBlocks, 1, 22050, 516, monoPerBlock)});
    // Banks: mono, stereo in the WAV layout, stereo in 2-byte units (the
    // left channel's step index is the block's fifth byte).
    for (const auto &[name, channels, flags] : std::vector<std::tuple<std::string, unsigned, uint32_t>>{
             {"mono", 1, 0x400000u}, {"wav-layout", 2, 0x20400000u}, {"units", 2, 0x400000u}}) {
        auratest::SbkSample sample;
        sample.name = "ima";
        sample.flags = flags;
        sample.channels = static_cast<uint16_t>(channels);
        const std::vector<int16_t> &source = channels == 1 ? mono : pcm;
        if (name == "units") {
            std::vector<int16_t> left, right;
            for (size_t i = 0; i < source.size(); i += 2) {
                left.push_back(source[i]);
                right.push_back(source[i + 1]);
            }
            const Bytes l = auratest::imaEncode(left, 1, 36, 64);
            const Bytes r = auratest::imaEncode(right, 1, 36, 64);
            for (size_t i = 0; i < l.size(); i += 2) {
                sample.data.insert(sample.data.end(), {l[i], l[i + 1], r[i], r[i + 1]});
            }
        } else {
            sample.data = auratest::imaEncode(source, channels, 36 * channels, 64);
        }
        sample.lengthpcm = static_cast<uint32_t>(sample.data.size() / (36 * channels) * 64);
        auratest::SbkBank bank;
        bank.samples = {sample};
        Bytes shifted = auratest::writeSbk(bank);
        const auto data = std::search(shifted.begin(), shifted.end(), sample.data.begin(), sample.data.begin() + 64);
        ASSERT_NE(data, shifted.end());
        const auto at = static_cast<size_t>(data - shifted.begin());
        shifted.insert(shifted.begin() + static_cast<long>(at + 100), 0x5A);
        cases.push_back({"shifted-" + name + ".sbk", shifted, "--subsound 0 "});
        if (name == "units") {
            Bytes bad = auratest::writeSbk(bank);
            bad[at + 7 * 72 + 4] = 120;
            cases.push_back({"index-120-units.sbk", bad, "--subsound 0 "});
        }
    }

    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = mDir.file(c.name);
        ASSERT_TRUE(auratest::writeAll(path, c.bytes));
        // The result of the open, or of the bank's first sound.
        const auto open = [&](AURA_MODE mode) {
            AURA::Sound *sound = nullptr;
            AURA_RESULT result = system()->createSound(path.c_str(), mode, nullptr, &sound);
            int subsounds = 0;
            if (result == AURA_OK && sound->getNumSubSounds(&subsounds) == AURA_OK && subsounds > 0 &&
                !(mode & AURA_CREATESTREAM)) {
                AURA::Sound *first = nullptr;
                result = sound->getSubSound(0, &first);
            }
            if (sound) {
                EXPECT_EQ(sound->release(), AURA_OK);
            }
            return result;
        };
        EXPECT_EQ(open(AURA_DEFAULT), AURA_ERR_FILE_BAD) << "sample";
        EXPECT_EQ(open(AURA_CREATESTREAM), AURA_ERR_FILE_BAD) << "stream";
        EXPECT_EQ(open(AURA_CREATECOMPRESSEDSAMPLE), AURA_ERR_FILE_BAD) << "compressed";
#ifdef AURA_PLAY_PATH
        std::string first;
        for (const char *mode : {"", "--stream ", "--compressed "}) {
            int status = 0;
            const std::string said = auratest::capture(std::string(AURA_PLAY_PATH) + " -q " + mode + c.args + "-o " +
                                                           quote(mDir / "out.wav") + " " + quote(path) + " 2>&1",
                                                       &status);
            EXPECT_NE(status, 0) << mode << said;
            EXPECT_NE(said.find("(19)"), std::string::npos) << mode << said;
            first = first.empty() ? said : first;
            EXPECT_EQ(said, first) << mode;
        }
#endif
    }
}

// A damaged file plays what it holds and no silence past it: the stream
// and the sample kept compressed are as long as the sample, all say the
// data ended early, and aura-play says so on one line and fails, in every
// mode, with the same render. An intact file of no frames plays empty
// without a word.
TEST_F(CodecFaults, DamagedFilesEndWhereTheirDataEnds)
{
    ASSERT_TRUE(run("sox -R -n -r 44100 -c 2 -b 16 " + quote(mDir / "src.wav") + " synth 0.2 sine 300 sine 500"));
    ASSERT_TRUE(run("flac -s -f -o " + quote(mDir / "whole.flac") + " " + quote(mDir / "src.wav")));
    const Bytes flac = auratest::readAll(mDir / "whole.flac");
    size_t metadataEnd = 4;
    for (bool last = false; !last && metadataEnd + 4 <= flac.size();) {
        last = (flac[metadataEnd] & 0x80) != 0;
        metadataEnd += 4 + (size_t{flac[metadataEnd + 1]} << 16 | size_t{flac[metadataEnd + 2]} << 8 | flac[metadataEnd + 3]);
    }
    struct Case {
        std::string name;
        Bytes bytes;
        bool early;         // the data ends before the declared length
        bool empty;         // nothing decodes
        bool player = true; // the same through aura-play (which measures MPEG files whole)
        std::string args = ""; // aura-play's options for it
    };
    const auto cut = [](const Bytes &bytes, size_t size) {
        return Bytes(bytes.begin(), bytes.begin() + static_cast<long>(size));
    };
    const Bytes wav = auratest::readAll(mDir / "src.wav");
    // sox's AIFF (a comment chunk, then COMM, then SSND) and AIFF-C "sowt":
    // cut inside the data, and at 80 bytes, inside the SSND chunk's offset
    // and block size fields.
    ASSERT_TRUE(run("sox " + quote(mDir / "src.wav") + " " + quote(mDir / "src.aiff")));
    ASSERT_TRUE(run("ffmpeg -nostdin -v error -y -i " + quote(mDir / "src.wav") + " -c:a pcm_s16le " +
                    quote(mDir / "sowt.aifc")));
    const Bytes aiff = auratest::readAll(mDir / "src.aiff");
    const Bytes sowt = auratest::readAll(mDir / "sowt.aifc");
    std::vector<Case> cases = {
        {"cut.wav", cut(wav, wav.size() / 2 + 1), true, false},
        {"cut.aiff", cut(aiff, aiff.size() / 2 + 1), true, false},
        {"cut-at-80.aiff", cut(aiff, 80), true, true},
        {"cut-sowt.aifc", cut(sowt, sowt.size() / 2 + 3), true, false},
        {"whole.aiff", aiff, false, false},
        {"metadata-only.flac", cut(flac, metadataEnd), true, true},
        {"cut.flac", cut(flac, metadataEnd + (flac.size() - metadataEnd) / 2), true, false},
    };
    {
        // STREAMINFO twice, the second after the other blocks and declaring
        // another length: the first one stands, and the file plays whole.
        Bytes twice(flac.begin(), flac.begin() + static_cast<long>(metadataEnd));
        for (size_t at = 4; at < twice.size();
             at += 4 + (size_t{twice[at + 1]} << 16 | size_t{twice[at + 2]} << 8 | twice[at + 3])) {
            twice[at] &= 0x7F;
        }
        Bytes info(flac.begin() + 4, flac.begin() + 4 + 38);
        info[0] = 0x80;
        info[4 + 17] = static_cast<uint8_t>(info[4 + 17] + 1); // a total of more frames
        twice.insert(twice.end(), info.begin(), info.end());
        twice.insert(twice.end(), flac.begin() + static_cast<long>(metadataEnd), flac.end());
        cases.push_back({"streaminfo-twice.flac", twice, false, false});
    }
    // ALAC and AAC with four bytes of their first packets zeroed: the
    // decoder refuses packets before it has given any frame.
    for (const auto &[name, codec, offset, early] : std::vector<std::tuple<std::string, std::string, size_t, bool>>{
             {"zeroed.m4a", "-c:a alac", 44, true}, {"zeroed-aac.m4a", "-c:a aac", 12, false}}) {
        const std::string made = mDir.file("made-" + name);
        ASSERT_TRUE(run("ffmpeg -nostdin -v error -y -i " + quote(mDir / "src.wav") + " " + codec + " " + quote(made)));
        Bytes bytes = auratest::readAll(made);
        const auto mdat = std::search(bytes.begin(), bytes.end(), std::begin("mdat"), std::end("mdat") - 1);
        ASSERT_LT(static_cast<size_t>(mdat - bytes.begin()) + 4 + offset + 4, bytes.size());
        std::fill_n(mdat + 4 + static_cast<long>(offset), 4, 0);
        cases.push_back({name, bytes, early, false});
    }
    // MP3s long enough that the stream decodes as it plays: lame's cut
    // inside a frame, a VBR one cut between frames under a Xing header that
    // counts them all; and whole ones (CBR, VBR, an ID3v1 tag behind and no
    // Xing header) that are not cut.
    ASSERT_TRUE(run("sox -R -n -r 44100 -c 2 -b 16 " + quote(mDir / "long.wav") + " synth 2 sine 300"));
    for (const auto &[name, options] : std::vector<std::pair<std::string, std::string>>{
             {"whole.mp3", "-b 128"}, {"vbr.mp3", "-V 2"}, {"id3v1.mp3", "-b 128 -t --id3v1-only --tt Title"}}) {
        ASSERT_TRUE(run("lame --quiet " + options + " " + quote(mDir / "long.wav") + " " + quote(mDir / name)));
        cases.push_back({name, auratest::readAll(mDir / name), false, false});
    }
    // A WAV and an AIFF longer than a stream's ring, cut.
    for (const char *name : {"long.wav", "long.aiff"}) {
        const std::string made = mDir.file(std::string("made-") + name);
        ASSERT_TRUE(run("sox " + quote(mDir / "long.wav") + " " + quote(made)));
        const Bytes whole = auratest::readAll(made);
        cases.push_back({std::string("cut-") + name, cut(whole, whole.size() * 3 / 4 + 1), true, false});
    }
    const Bytes mp3 = auratest::readAll(mDir / "whole.mp3");
    cases.push_back({"cut.mp3", cut(mp3, mp3.size() / 2), true, false});
    cases.push_back({"cut-in-first-frame.mp3", cut(mp3, 300), true, true});
    {
        const Bytes vbr = auratest::readAll(mDir / "vbr.mp3");
        size_t at = 0;
        for (size_t frames = 0; frames < 40 && at + 4 <= vbr.size();) {
            // Frames of MPEG-1 layer III at 44100 Hz, from their headers.
            static constexpr int kRates[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
            if (vbr[at] == 0xFF && (vbr[at + 1] & 0xE0) == 0xE0 && (vbr[at + 2] >> 4) > 0 && (vbr[at + 2] >> 4) < 15) {
                at += 144000u * static_cast<unsigned>(kRates[vbr[at + 2] >> 4]) / 44100u + ((vbr[at + 2] >> 1) & 1u);
                ++frames;
            } else {
                ++at;
            }
        }
        cases.push_back({"xing-counts-more.mp3", cut(vbr, at), true, false});
    }
    {
        // A bank cut inside its sample's data, and a whole one.
        auratest::SbkBank bank;
        auratest::SbkSample sound;
        sound.channels = 2;
        sound.lengthpcm = 50'000;
        sound.data = noise(4 * size_t{sound.lengthpcm}, 3);
        bank.samples.push_back(sound);
        const Bytes whole = auratest::writeSbk(bank);
        cases.push_back({"cut.sbk", cut(whole, whole.size() - 100'001), true, false, true, "--subsound 0 "});
        cases.push_back({"whole.sbk", whole, false, false, true, "--subsound 0 "});
    }
    {
        // DLS collections: a wave cut inside its data, and a whole one.
        const Bytes dls = auratest::sineBank({{100, 69, 0, 300}}, {{0, 0, {{}}}});
        cases.push_back({"cut.dls", cut(dls, dls.size() - 20'000), true, false, true, "--subsound 0 "});
        cases.push_back({"whole.dls", dls, false, false, true, "--subsound 0 "});
    }
    {
        // Chains of two links: the same format, whole and cut inside the
        // second link (a page cut short, and a page boundary); a second link
        // of one channel at another rate, which ends the sound.
        Bytes chain = auratest::encodeOgg({.rate = 44100, .channels = 2, .frames = 20000, .serial = 1});
        const Bytes second = auratest::encodeOgg({.rate = 44100, .channels = 2, .frames = 60000, .serial = 2});
        Bytes changed = chain;
        const size_t firstLink = chain.size();
        chain.insert(chain.end(), second.begin(), second.end());
        const Bytes other = auratest::encodeOgg({.rate = 22050, .channels = 1, .frames = 30000, .serial = 3});
        changed.insert(changed.end(), other.begin(), other.end());
        const std::vector<auratest::OggPage> pages = auratest::oggPages(chain);
        size_t inside = 0;
        size_t headers = 0; // the second link's page of comment and setup headers
        for (const auratest::OggPage &page : pages) {
            if (page.offset > firstLink + (chain.size() - firstLink) / 2 && inside == 0) {
                inside = page.offset;
            }
            if (page.offset > firstLink && headers == 0) {
                headers = page.offset;
            }
        }
        ASSERT_GT(inside, firstLink);
        ASSERT_GT(headers, firstLink);
        cases.push_back({"chain.ogg", chain, false, false});
        cases.push_back({"chain-cut-in-page.ogg", cut(chain, inside + 100), true, false});
        cases.push_back({"chain-cut-at-page.ogg", cut(chain, inside), true, false});
        cases.push_back({"chain-cut-in-headers.ogg", cut(chain, headers + 100), true, false});
        cases.push_back({"chain-of-two-formats.ogg", changed, false, false});
    }
    cases.push_back({"empty.wav", auratest::riff({auratest::chunk("fmt ", auratest::fmtBody(1, 2, 44100, 4, 16)),
                                                 auratest::chunk("data", {})}),
                     false, true});

    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = mDir.file(c.name);
        ASSERT_TRUE(auratest::writeAll(path, c.bytes));
        AURA::Sound *parent = nullptr;
        ASSERT_EQ(system()->createSound(path.c_str(), AURA_DEFAULT, nullptr, &parent), AURA_OK);
        // A bank's first sound is the one its stream plays.
        AURA::Sound *sample = parent;
        int subsounds = 0;
        EXPECT_EQ(parent->getNumSubSounds(&subsounds), AURA_OK);
        if (subsounds > 0) {
            ASSERT_EQ(parent->getSubSound(0, &sample), AURA_OK);
        }
        unsigned int frames = 0;
        EXPECT_EQ(sample->getLength(&frames, AURA_TIMEUNIT_PCM), AURA_OK);
        EXPECT_EQ(frames == 0, c.empty) << frames;
        const Bytes held = sampleBytes(sample);
        int channels = 0;
        EXPECT_EQ(sample->getFormat(nullptr, nullptr, &channels, nullptr), AURA_OK);
        AURA_OPENSTATE state{};
        AURA_RESULT failure = AURA_OK;
        EXPECT_EQ(sample->getOpenState(&state, &failure), AURA_OK);
        EXPECT_EQ(state, AURA_OPENSTATE_READY);
        EXPECT_EQ(failure, c.early ? AURA_ERR_FILE_EOF : AURA_OK);
        EXPECT_EQ(parent->release(), AURA_OK);

        // Kept compressed (MPEG; the other formats load as PCM): the same
        // frames, decoded as it plays, and the same word.
        ASSERT_EQ(system()->createSound(path.c_str(), AURA_CREATECOMPRESSEDSAMPLE, nullptr, &parent), AURA_OK);
        AURA::Sound *kept = parent;
        if (subsounds > 0) {
            ASSERT_EQ(parent->getSubSound(0, &kept), AURA_OK);
        }
        unsigned int keptFrames = 0;
        EXPECT_EQ(kept->getLength(&keptFrames, AURA_TIMEUNIT_PCM), AURA_OK);
        EXPECT_EQ(keptFrames, frames) << "compressed";
        AURA_SOUND_FORMAT keptFormat = AURA_SOUND_FORMAT_NONE;
        EXPECT_EQ(kept->getFormat(nullptr, &keptFormat, nullptr, nullptr), AURA_OK);
        if (keptFormat == AURA_SOUND_FORMAT_MPEG && keptFrames > 0) {
            const Bytes decoded = compressedBytes(kept);
            EXPECT_TRUE(decoded == held) << "compressed: " << decoded.size() << " bytes of " << held.size();
        }
        EXPECT_EQ(kept->getOpenState(&state, &failure), AURA_OK);
        EXPECT_EQ(failure, c.early ? AURA_ERR_FILE_EOF : AURA_OK) << "compressed";
        EXPECT_EQ(parent->release(), AURA_OK);

        AURA::Sound *stream = nullptr;
        ASSERT_EQ(system()->createStream(path.c_str(), AURA_DEFAULT, nullptr, &stream), AURA_OK);
        AURA::Channel *channel = nullptr;
        ASSERT_EQ(system()->playSound(AURA_CHANNEL_FREE, stream, false, &channel), AURA_OK);
        bool playing = true;
        for (int i = 0; i < 1000 && playing; ++i) {
            ASSERT_EQ(system()->update(), AURA_OK);
            playing = channel->isPlaying(&playing) == AURA_OK && playing;
        }
        EXPECT_FALSE(playing);
        unsigned int streamed = 0;
        EXPECT_EQ(stream->getLength(&streamed, AURA_TIMEUNIT_PCM), AURA_OK);
        EXPECT_EQ(streamed, frames) << "the stream's length";
        EXPECT_EQ(stream->getOpenState(&state, &failure), AURA_OK);
        EXPECT_EQ(failure, c.early ? AURA_ERR_FILE_EOF : AURA_OK);
        EXPECT_EQ(stream->release(), AURA_OK);

#ifdef AURA_PLAY_PATH
        for (const char *mode : {"", "--stream ", "--compressed "}) {
            if (!c.player) {
                break;
            }
            const std::string out = mDir.file("out.wav");
            const std::string errors = mDir.file("errors.txt");
            int status = 0;
            (void)auratest::capture(std::string(AURA_PLAY_PATH) + " -q " + mode + c.args + "-o " + quote(out) + " " +
                                        quote(path) + " 2>" + quote(errors),
                                    &status);
            const Bytes said = auratest::readAll(errors);
            const std::string text(said.begin(), said.end());
            if (c.early) {
                EXPECT_NE(status, 0) << mode;
                EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << mode << text;
                EXPECT_NE(text.find(c.empty ? "held no audio" : "ended early"), std::string::npos) << mode << text;
            } else {
                EXPECT_EQ(status, 0) << mode << text;
                EXPECT_EQ(text, "") << mode;
            }
            const auratest::Wav rendered = auratest::readWav(out);
            if (!held.empty() && rendered.channels != static_cast<unsigned>(channels)) {
                // (A mono file renders on two channels.)
                EXPECT_EQ(rendered.frames(), frames) << mode;
            } else if (!held.empty()) {
                EXPECT_TRUE(rendered.data == held) << mode << rendered.data.size() << " bytes against " << held.size();
            } else {
                EXPECT_EQ(rendered.frames(), 0u) << mode;
            }
            std::filesystem::remove(out);
        }
        if (c.player) {
            // --info says it too, and fails as the render does.
            int status = 0;
            const std::string info =
                auratest::capture(std::string(AURA_PLAY_PATH) + " --info " + c.args + quote(path) + " 2>&1", &status);
            EXPECT_EQ(status != 0, c.early) << info;
            EXPECT_EQ(info.find(c.empty ? "held no audio" : "ended early") != std::string::npos, c.early) << info;
        }
#endif
    }
#ifdef AURA_PLAY_PATH
    // A playlist that lists nothing says so.
    ASSERT_TRUE(auratest::writeAll(mDir / "empty.m3u", Bytes{'#', 'E', 'X', 'T', 'M', '3', 'U', '\n'}));
    int status = 0;
    const std::string text = auratest::capture(std::string(AURA_PLAY_PATH) + " -q -o " + quote(mDir / "none.wav") +
                                                   " " + quote(mDir / "empty.m3u") + " 2>&1",
                                               &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(text.find("the playlist has no entries"), std::string::npos) << text;
    // A stream of an empty subsound (a DLS wave of no samples) cannot play:
    // it says so rather than asking for the subsound it was given.
    ASSERT_TRUE(auratest::writeAll(mDir / "empty-wave.dls", auratest::sineBank({{100, 69, 0, 0}}, {{0, 0, {{}}}})));
    const std::string empty = auratest::capture(std::string(AURA_PLAY_PATH) + " -q --stream --subsound 0 -o " +
                                                    quote(mDir / "none.wav") + " " + quote(mDir / "empty-wave.dls") +
                                                    " 2>&1",
                                                &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(empty.find("subsound 0 holds no audio"), std::string::npos) << empty;
#endif
}

#ifdef AURA_PLAY_PATH
// Banks and DLS collections cut or spliced inside a subsound: the player
// gives the same answer as a sample and as a stream (the same status, the
// same one line, the same render), says when a sentence's entry held less
// than its file said, and never plays silence or bytes the sound never held.
TEST_F(CodecFaults, DamagedSubsoundsAnswerAlikeAsSamplesAndStreams)
{
    struct Case {
        std::string name;
        Bytes bytes;
        std::string args;
        const char *said; // the one line of a failed play
        long frames;      // what the render holds; -1: no render
    };
    std::vector<Case> cases;
    auto pcm = [](int frames, double step) {
        Bytes data;
        for (int i = 0; i < frames; ++i) {
            auratest::put16(data, static_cast<uint16_t>(static_cast<int16_t>(9000 * std::sin(step * i))));
        }
        return data;
    };
    auto pcmSample = [&](const std::string &name, int frames, double step) {
        auratest::SbkSample s;
        s.name = name;
        s.lengthpcm = static_cast<uint32_t>(frames);
        s.data = pcm(frames, step);
        return s;
    };
    const auto head = [](const Bytes &bytes, size_t size) {
        return Bytes(bytes.begin(), bytes.begin() + static_cast<long>(size));
    };
    {
        // PCM entries and an MPEG one, the bank cut where the MPEG data
        // begins and inside it.
        const auratest::MpegEncode mpeg =
            auratest::encodeMpeg(mDir, "entry", 22050, 1, 0.3, "lame --quiet -b 32 -m m {in} {out}");
        auratest::SbkBank bank;
        bank.samples = {pcmSample("zero", 300, 0.02), pcmSample("one", 450, 0.05)};
        bank.samples.push_back(auratest::mpegSample("two", mpeg.bytes, mpeg, 6615));
        const Bytes whole = auratest::writeSbk(bank);
        const size_t mpegData = 48 + 3 * 80 + 608 + 928;
        cases.push_back({"mpeg-entry-cut-away.sbk", head(whole, mpegData), "--sentence 0,2,1 ", "ended early", 750});
        cases.push_back(
            {"mpeg-entry-cut-inside.sbk", head(whole, mpegData + 500), "--sentence 0,2,1 ", "ended early", -2});
        cases.push_back({"mpeg-whole.sbk", whole, "--sentence 0,2,1 ", nullptr, -2});
    }
    {
        // A PCM bank cut before its second sound's data.
        auratest::SbkBank bank;
        bank.samples = {pcmSample("zero", 500, 0.02), pcmSample("one", 400, 0.05)};
        const Bytes cut = head(auratest::writeSbk(bank), 48 + 2 * 80 + 1024);
        cases.push_back({"second-cut-away.sbk", cut, "--sentence 1 ", "held no audio", 0});
        cases.push_back({"second-cut-away.sbk", cut, "--subsound 1 ", "held no audio", -1});
        cases.push_back({"first-of-cut.sbk", cut, "--sentence 0 ", nullptr, 500});
    }
    {
        // The bank's first 12 bytes repeated inside the second header's
        // name: its fields move by 12 bytes, so it declares no frames (its
        // flags' channel-map bit becomes one channel, its loop start the rate).
        auratest::SbkBank bank;
        bank.samples = {pcmSample("zero", 500, 0.02), pcmSample("one", 400, 0.05)};
        bank.samples[1].flags = 0x10010;
        bank.samples[1].loopstart = 22050;
        bank.samples[1].loopend = 30000;
        Bytes spliced = auratest::writeSbk(bank);
        spliced.insert(spliced.begin() + 140, spliced.begin(), spliced.begin() + 12);
        cases.push_back({"header-spliced.sbk", spliced, "--subsound 1 ", "subsound 1 holds no audio", -1});
        cases.push_back({"header-spliced.sbk", spliced, "--sentence 1,1 ", "subsounds hold no audio", 0});
    }
    {
        // 241 of a collection's own bytes spliced in before its second
        // wave's data chunk: the wave is left without data.
        const Bytes dls = auratest::sineBank({{100, 69, 0, 3}, {50, 69, 0, 4}}, {{0, 0, {{}}}});
        const std::string id = "data";
        const auto first = std::search(dls.begin(), dls.end(), id.begin(), id.end());
        const auto second = std::search(first + 1, dls.end(), id.begin(), id.end());
        ASSERT_NE(second, dls.end());
        Bytes spliced(dls.begin(), second);
        spliced.insert(spliced.end(), dls.begin(), dls.begin() + 241);
        spliced.insert(spliced.end(), second, dls.end());
        cases.push_back({"wave-spliced.dls", spliced, "--sentence 1 ", "held no audio", 0});
        cases.push_back({"wave-spliced.dls", spliced, "--subsound 1 ", "held no audio", -1});
        cases.push_back({"wave-spliced.dls", spliced, "--sentence 0 ", nullptr, 300});
    }
    {
        // A wave whose data chunk declares 100 bytes more than its list
        // holds, with the wave's INFO list behind the data: only the data plays.
        const Bytes data = pcm(200, 0.1);
        Bytes name;
        auratest::putId(name, "sine");
        name.resize(6, 0);
        auto wave = [&](uint32_t extra) {
            const auto declared = static_cast<uint32_t>(data.size()) + extra;
            return auratest::list("wave", {auratest::chunk("fmt ", auratest::fmtBody(1, 1, 44100, 2, 16)),
                                           auratest::chunkSized("data", declared, data),
                                           auratest::list("INFO", {auratest::chunk("INAM", name)})});
        };
        const Bytes whole = auratest::sineBank({{100, 69, 0, 3}}, {{0, 0, {{}}}});
        Bytes dls = whole;
        for (const uint32_t extra : {0u, 100u}) {
            const Bytes w = wave(extra);
            dls.insert(dls.end(), w.begin(), w.end());
        }
        // The wave pool (the RIFF's last list) and the RIFF hold the two
        // waves, and the pool table counts them.
        const auto at = [&](const std::string &id) {
            return static_cast<size_t>(std::search(dls.begin(), dls.end(), id.begin(), id.end()) - dls.begin());
        };
        const auto put32At = [&](size_t offset, size_t value) {
            for (size_t i = 0; i < 4; ++i) {
                dls[offset + i] = static_cast<uint8_t>(value >> (8 * i));
            }
        };
        put32At(4, dls.size() - 8);
        put32At(at("wvpl") - 4, dls.size() - at("wvpl"));
        put32At(at("ptbl") + 12, 3);
        cases.push_back({"info-behind-data.dls", dls, "--subsound 1 ", nullptr, 200});
        cases.push_back({"data-over-info.dls", dls, "--subsound 2 ", "ended early", 200});
    }

    for (const Case &c : cases) {
        SCOPED_TRACE(c.name + " " + c.args);
        const std::string path = mDir.file(c.name);
        ASSERT_TRUE(auratest::writeAll(path, c.bytes));
        const std::string rate = c.name.ends_with(".dls") ? "--rate 44100 " : "--rate 22050 ";
        Bytes rendered[2];
        for (int streamed = 0; streamed < 2; ++streamed) {
            const char *mode = streamed ? "--stream " : "";
            const std::string out = mDir.file("out.wav");
            const std::string errors = mDir.file("errors.txt");
            std::filesystem::remove(out);
            int status = 0;
            (void)auratest::capture(std::string(AURA_PLAY_PATH) + " -q " + mode + rate + c.args + "-o " + quote(out) +
                                        " " + quote(path) + " 2>" + quote(errors),
                                    &status);
            const Bytes said = auratest::readAll(errors);
            const std::string text(said.begin(), said.end());
            if (c.said) {
                EXPECT_NE(status, 0) << mode;
                EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << mode << text;
                EXPECT_NE(text.find(c.said), std::string::npos) << mode << text;
            } else {
                EXPECT_EQ(status, 0) << mode << text;
                EXPECT_EQ(text, "") << mode;
            }
            const auratest::Wav wav = auratest::readWav(out);
            if (c.frames == -1) {
                EXPECT_FALSE(std::filesystem::exists(out)) << mode;
                continue;
            }
            ASSERT_TRUE(wav.valid) << mode;
            if (c.frames >= 0) {
                EXPECT_EQ(wav.frames(), static_cast<size_t>(c.frames)) << mode;
            }
            rendered[streamed] = wav.data;
        }
        EXPECT_EQ(rendered[1].size(), rendered[0].size());
        EXPECT_TRUE(rendered[1] == rendered[0]) << "the stream renders what the sample does";
    }
}
#endif

// Two systems on two threads open sounds of every kind at once, as
// samples, streams and user sounds: the codecs' description records are
// made once, never rewritten while another thread reads them.
TEST_F(CodecFaults, SystemsOnTwoThreadsOpenEveryFormatThreads)
{
    ASSERT_TRUE(run("sox -R -n -r 22050 -c 2 -b 16 " + quote(mDir / "tone.wav") + " synth 0.2 sine 300"));
    ASSERT_TRUE(run("sox -R " + quote(mDir / "tone.wav") + " " + quote(mDir / "tone.aiff")));
    ASSERT_TRUE(run("flac -s -f -o " + quote(mDir / "tone.flac") + " " + quote(mDir / "tone.wav")));
    ASSERT_TRUE(run("lame --quiet -b 64 " + quote(mDir / "tone.wav") + " " + quote(mDir / "tone.mp3")));
    ASSERT_TRUE(auratest::writeAll(mDir / "tone.ogg", auratest::encodeOgg({.rate = 22050, .frames = 4000})));
    auratest::SbkBank bank;
    auratest::SbkSample sound;
    sound.lengthpcm = 3000;
    sound.data = noise(2 * size_t{sound.lengthpcm}, 5);
    bank.samples.push_back(sound);
    ASSERT_TRUE(auratest::writeAll(mDir / "tone.sbk", auratest::writeSbk(bank)));
    ASSERT_TRUE(auratest::writeAll(mDir / "tone.dls", auratest::sineBank({{100, 69, 0, 30}}, {{0, 0, {{}}}})));
    std::vector<std::string> files;
    for (const char *name : {"tone.wav", "tone.aiff", "tone.flac", "tone.mp3", "tone.ogg", "tone.sbk", "tone.dls"}) {
        files.push_back((mDir / name).string());
    }

    constexpr int kRounds = 5;
    std::atomic<int> ready{0};
    std::atomic<int> failures{0};
    const auto work = [&] {
        AURA_SYSTEM *handle = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND_NRT, 16);
        ready.fetch_add(1);
        while (ready.load() < 2) {
            std::this_thread::yield();
        }
        if (!handle) {
            failures.fetch_add(1);
            return;
        }
        auto *system = reinterpret_cast<AURA::System *>(handle);
        for (int round = 0; round < kRounds; ++round) {
            for (const std::string &file : files) {
                for (const AURA_MODE mode : {AURA_DEFAULT, AURA_CREATESTREAM, AURA_ACCURATETIME}) {
                    AURA::Sound *opened = nullptr;
                    if (system->createSound(file.c_str(), mode, nullptr, &opened) != AURA_OK || !opened) {
                        failures.fetch_add(1);
                        continue;
                    }
                    (void)opened->release();
                }
            }
            AURA_CREATESOUNDEXINFO info = auratest::userSoundInfo(4000, 2, 22050);
            AURA::Sound *user = nullptr;
            if (system->createSound(nullptr, AURA_OPENUSER, &info, &user) != AURA_OK || !user) {
                failures.fetch_add(1);
            } else {
                (void)user->release();
            }
        }
        (void)AURA_System_Release(handle);
    };
    std::thread first(work);
    std::thread second(work);
    first.join();
    second.join();
    EXPECT_EQ(failures.load(), 0);
}

// Floating-point AIFF-C ("fl32", "fl64"; from sox's 32-bit synthesis, so
// that the 64-bit samples hold more than a float keeps) goes to the platform
// decoder, which gives what ffmpeg's float decode gives bit for bit (the
// 64-bit samples rounded as ffmpeg rounds them): as a sample, as a stream
// and from the stream's seeks, and through aura-play's float render, whole
// and from a seek.
TEST_F(CodecFaults, FloatAiffcDecodesAsFFmpegDoes)
{
    struct Case {
        std::string name;
        int channels;
        int rate;
        std::string make; // a command with %s for the file
    };
    const std::string signal = " synth 0.6 sine 220-880 sine 330 : synth 0.4 pinknoise vol 0.5";
    const std::string int32 = mDir.file("int32.wav");
    ASSERT_TRUE(run("sox -R -n -r 48000 -c 2 -b 32 " + quote(int32) + signal));
    const std::vector<Case> cases = {
        {"fl32-stereo.aifc", 2, 44100, "sox -R -n -r 44100 -c 2 -e floating-point -b 32 %s" + signal},
        {"fl64-mono.aifc", 1, 32000, "sox -R -n -r 32000 -c 1 -e floating-point -b 64 %s" + signal},
        {"fl64-ffmpeg.aiff", 2, 48000, "ffmpeg -nostdin -v error -y -i " + quote(int32) + " -c:a pcm_f64be %s"},
        {"fl32-ffmpeg.aiff", 2, 48000, "ffmpeg -nostdin -v error -y -i " + quote(int32) + " -c:a pcm_f32be %s"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = mDir.file(c.name);
        std::string make = c.make;
        make.replace(make.find("%s"), 2, quote(path));
        ASSERT_TRUE(run(make));
        const std::string raw = mDir.file("reference.raw");
        ASSERT_TRUE(run("ffmpeg -nostdin -v error -y -i " + quote(path) + " -f f32le " + quote(raw)));
        const Bytes reference = auratest::readAll(raw);
        const size_t frameBytes = 4 * static_cast<size_t>(c.channels);
        ASSERT_GT(reference.size(), 10000 * frameBytes);

        AURA::Sound *sound = nullptr;
        ASSERT_EQ(system()->createSound(path.c_str(), AURA_DEFAULT, nullptr, &sound), AURA_OK);
        AURA_SOUND_TYPE type = AURA_SOUND_TYPE_UNKNOWN;
        AURA_SOUND_FORMAT format = AURA_SOUND_FORMAT_NONE;
        EXPECT_EQ(sound->getFormat(&type, &format, nullptr, nullptr), AURA_OK);
        EXPECT_EQ(type, AURA_SOUND_TYPE_AUDIOQUEUE);
        EXPECT_EQ(format, AURA_SOUND_FORMAT_PCMFLOAT);
        EXPECT_EQ(sound->release(), AURA_OK);
        expectDecodes(path, reference, frameBytes, [](unsigned int length) {
            return std::vector<unsigned int>{1000, 4095, 4097, length / 2 + 333, length - 1, 0};
        });

#ifdef AURA_PLAY_PATH
        const std::string info = auratest::capture(std::string(AURA_PLAY_PATH) + " --info " + quote(path));
        EXPECT_NE(
            info.find("AIFF-C, LPCM " + std::string(c.name.find("fl64") == 0 ? "64" : "32") + "-bit float big-endian"),
            std::string::npos)
            << info;
        const std::string out = mDir.file("out.wav");
        for (const char *mode : {"", "--stream "}) {
            for (const int seekMs : {0, 250}) {
                const std::string command = std::string(AURA_PLAY_PATH) + " -q --format float " + mode +
                                            (c.channels == 1 ? "--pan -1 " : "") + "--seek " + std::to_string(seekMs) +
                                            " -o " + quote(out) + " " + quote(path);
                ASSERT_TRUE(run(command)) << command;
                const auratest::Wav rendered = auratest::readWav(out);
                ASSERT_TRUE(rendered.valid) << rendered.error;
                EXPECT_EQ(rendered.format, 3u);
                EXPECT_EQ(rendered.rate, static_cast<unsigned>(c.rate));
                const size_t skip = static_cast<size_t>(c.rate) * seekMs / 1000 * frameBytes;
                const Bytes want(reference.begin() + static_cast<long>(skip), reference.end());
                Bytes got = rendered.data;
                if (c.channels == 1) {
                    // Panned hard left: the file's samples on the left.
                    Bytes left;
                    for (size_t i = 0; i + 8 <= got.size(); i += 8) {
                        left.insert(left.end(), got.begin() + static_cast<long>(i),
                                    got.begin() + static_cast<long>(i) + 4);
                        EXPECT_EQ(rendered.samples[i / 4 + 1], 0.0f) << "frame " << i / 8;
                    }
                    got = left;
                }
                EXPECT_EQ(got.size(), want.size()) << mode << "seek " << seekMs;
                EXPECT_TRUE(got == want) << mode << "seek " << seekMs;
            }
        }
#endif
    }
}

#ifdef AURA_PLAY_PATH
// A file below the lowest output rate renders at that rate, at its own
// pitch and length, and the player says so.
TEST_F(CodecFaults, AFileBelowTheLowestOutputRateRendersAtThatRate)
{
    const std::string path = mDir.file("low.wav");
    ASSERT_TRUE(run("sox -R -n -r 7418 -c 2 -b 16 " + quote(path) + " synth 1 sine 300"));
    for (const char *mode : {"", "--stream "}) {
        const std::string out = mDir.file("out.wav");
        int status = 0;
        const std::string said = auratest::capture(
            std::string(AURA_PLAY_PATH) + " -q " + mode + "-o " + quote(out) + " " + quote(path) + " 2>&1", &status);
        EXPECT_EQ(status, 0) << mode << said;
        EXPECT_NE(said.find("7418 Hz is below the lowest"), std::string::npos) << mode << said;
        EXPECT_NE(said.find("rendering at 8000 Hz"), std::string::npos) << mode << said;
        const auratest::Wav rendered = auratest::readWav(out);
        ASSERT_TRUE(rendered.valid) << rendered.error;
        EXPECT_EQ(rendered.rate, 8000u);
        EXPECT_NEAR(static_cast<double>(rendered.frames()), 8000.0, 2.0) << mode;
        std::vector<double> left;
        for (size_t f = 0; f < rendered.frames(); ++f) {
            left.push_back(rendered.at(f, 0));
        }
        const auratest::SineResult tone = auratest::analyse(left, 800, 8000);
        EXPECT_NEAR(tone.frequency, 300.0, 1.0) << mode;
    }
}
#endif

} // namespace
