// The MPEG codec's own parts: Huffman trees, header rules, the probe, the
// length (Xing, estimate, accurate scan) and seeks, RIFF wrappers, and
// several decoders at once.
#include "mpeg_fixtures.h"
#include "mpeg_writer.h"
#include "mpeg/aura_mpeg_decoder.h"
#include "systems.h"

#include <aura.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>

namespace {

namespace tables {
#include "mpeg/aura_mpeg_tables.inc"
} // namespace tables

using auratest::Bytes;
using mpegtest::Fixtures;
using mpegtest::Opened;

// Every code word decodes to its values and takes exactly its own bits,
// whatever follows it.
TEST(MpegHuffman, EveryCodeWordDecodesToItsValues)
{
    size_t checked = 0;
    for (const auto &word : tables::kHuffmanCodeWords) {
        for (uint32_t tail : {0u, 0xFFFFFFFFu, 0x5A5A5A5Au}) {
            const uint32_t code = word.length ? word.bits << (32 - word.length) : 0;
            const uint32_t rest = word.length < 32 ? tail >> word.length : 0;
            int length = -1;
            const int value = AURA::mpeg_detail::decodeCodeWord(word.table, code | rest, &length);
            ASSERT_EQ(value, word.value) << "table " << int(word.table) << " bits " << word.bits;
            ASSERT_EQ(length, word.length) << "table " << int(word.table) << " bits " << word.bits;
        }
        ++checked;
    }
    // 16 big-value tables own code words, plus both count1 tables.
    EXPECT_GT(checked, 1000u);
}

// A header word: version bits 3 = MPEG-1, 2 = MPEG-2, 0 = MPEG-2.5; layer
// bits 1 = III, 2 = II, 3 = I.
constexpr uint32_t header(int version, int layer, int bitrate, int sampling, int mode, int extension = 0,
                          int padding = 0)
{
    return 0xFFE00000u | static_cast<uint32_t>(version) << 19 | static_cast<uint32_t>(layer) << 17 | 1u << 16 |
           static_cast<uint32_t>(bitrate) << 12 | static_cast<uint32_t>(sampling) << 10 |
           static_cast<uint32_t>(padding) << 9 | static_cast<uint32_t>(mode) << 6 |
           static_cast<uint32_t>(extension) << 4;
}

TEST(MpegHeader, AcceptsAndRefuses)
{
    struct Case {
        const char *what;
        uint32_t raw;
        AURA_RESULT result;
        int bodySize; // when accepted
        int sblimit; // layer II
        int bound;
    };
    const Case cases[] = {
        {"MPEG-1 III 128k 44.1", header(3, 1, 9, 0, 1), AURA_OK, 413, 0, 0},
        {"padded", header(3, 1, 9, 0, 1, 0, 1), AURA_OK, 414, 0, 0},
        {"MPEG-2 III 80k 22.05", header(2, 1, 9, 0, 3), AURA_OK, 257, 0, 0},
        {"MPEG-2.5 III 8k 8", header(0, 1, 1, 2, 3), AURA_OK, 68, 0, 0},
        {"layer I", header(3, 3, 9, 0, 0), AURA_ERR_FORMAT, 0, 0, 0},
        {"free format", header(3, 1, 0, 0, 0), AURA_ERR_FORMAT, 0, 0, 0},
        {"bit rate 15", header(3, 1, 15, 0, 0), AURA_ERR_FORMAT, 0, 0, 0},
        {"sampling 3", header(3, 1, 9, 3, 0), AURA_ERR_FORMAT, 0, 0, 0},
        {"version 1", header(1, 1, 9, 0, 0), AURA_ERR_FORMAT, 0, 0, 0},
        {"MPEG-1 II stereo 48k", header(3, 2, 2, 0, 0), AURA_ERR_FORMAT, 0, 0, 0},
        {"MPEG-1 II mono 224k", header(3, 2, 11, 0, 3), AURA_ERR_FORMAT, 0, 0, 0},
        {"MPEG-1 II 192k 48 kHz: table 0", header(3, 2, 10, 1, 0), AURA_OK, 572, 27, 27},
        {"MPEG-1 II stereo with extension", header(3, 2, 10, 1, 0, 1), AURA_ERR_FORMAT, 0, 0, 0},
        // The lower frequencies allow every rate in every mode.
        {"MPEG-2 II 24 kHz stereo 32k", header(2, 2, 4, 1, 0), AURA_OK, 188, 30, 30},
        {"MPEG-2 II 24 kHz stereo 80k", header(2, 2, 9, 1, 0), AURA_OK, 476, 30, 30},
        // The joint-stereo bound never passes the table's sub-bands.
        {"MPEG-1 II 64k joint ext 3", header(3, 2, 4, 0, 1, 3), AURA_OK, 204, 8, 8},
        {"MPEG-1 II 96k joint ext 2, 32 kHz", header(3, 2, 6, 2, 1, 2), AURA_OK, 428, 12, 12},
        {"MPEG-1 II 64k joint ext 1", header(3, 2, 4, 0, 1, 1), AURA_OK, 204, 8, 8},
        {"MPEG-1 II 192k joint ext 0", header(3, 2, 10, 0, 1, 0), AURA_OK, 622, 30, 4},
        // 2880 bytes: more than a frame buffer holds.
        {"MPEG-2.5 II 8 kHz 160k", header(0, 2, 14, 2, 0), AURA_ERR_FORMAT, 0, 0, 0},
    };
    for (const Case &c : cases) {
        AURA::MpegHeader h;
        const AURA_RESULT result = AURA::decodeHeader(c.raw, 0, &h);
        EXPECT_EQ(result, c.result) << c.what;
        if (result == AURA_OK && c.result == AURA_OK) {
            EXPECT_EQ(h.bodySize, c.bodySize) << c.what;
            if (h.layer == 2) {
                EXPECT_EQ(h.sblimit, c.sblimit) << c.what;
                EXPECT_EQ(h.bound, c.bound) << c.what;
            }
        }
    }
    // Inside a container the MPEG-1 rate rule is not applied.
    AURA::MpegHeader h;
    EXPECT_EQ(AURA::decodeHeader(header(3, 2, 2, 0, 0), AURA::MPEG_HEADER_CONTAINER, &h), AURA_OK);
}

using Path = mpegtest::fs::path;

Path lameFile(const std::string &name, const std::string &options, const std::string &kind = "noise", int rate = 44100,
              int channels = 2, double seconds = 2.0)
{
    Fixtures &fx = Fixtures::get();
    return fx.encode(name, fx.source(kind, rate, channels, seconds), "lame --quiet " + options + " {in} {out}");
}

size_t firstFrameLength(const Bytes &bytes, size_t at = 0)
{
    AURA::MpegHeader h;
    const uint32_t raw = static_cast<uint32_t>(bytes[at]) << 24 | static_cast<uint32_t>(bytes[at + 1]) << 16 |
                         static_cast<uint32_t>(bytes[at + 2]) << 8 | bytes[at + 3];
    return AURA::decodeHeader(raw, 0, &h) == AURA_OK ? static_cast<size_t>(h.bodySize) + 4 : 0;
}

std::vector<int16_t> decodeBytes(const Bytes &bytes, AURA_MODE mode = AURA_DEFAULT, AURA_RESULT *opened = nullptr)
{
    Opened o;
    o.openMemory(bytes, mode);
    if (opened) {
        *opened = o.opened;
    }
    return o.opened == AURA_OK ? o.decodeAll() : std::vector<int16_t>{};
}

TEST(MpegProbe, WhatOpensAndWhatIsRefused)
{
    const Bytes mp3 = auratest::readAll(lameFile("probe.mp3", "-t -b 128"));
    ASSERT_GT(mp3.size(), 10000u);
    const std::vector<int16_t> plain = decodeBytes(mp3);
    ASSERT_FALSE(plain.empty());

    // A RIFF file of PCM is not ours.
    Fixtures &fx = Fixtures::get();
    AURA_RESULT result = AURA_OK;
    (void)decodeBytes(auratest::readAll(fx.source("chord", 44100, 2)), AURA_DEFAULT, &result);
    EXPECT_EQ(result, AURA_ERR_FORMAT);

    // The sync search looks through 4096 positions unless told otherwise.
    for (const size_t junk : {4095u, 4096u}) {
        Bytes padded(junk, 0);
        padded.insert(padded.end(), mp3.begin(), mp3.end());
        (void)decodeBytes(padded, AURA_DEFAULT, &result);
        EXPECT_EQ(result, junk == 4095 ? AURA_OK : AURA_ERR_FORMAT) << junk;
        const std::vector<int16_t> searched = decodeBytes(padded, AURA_MPEGSEARCH, &result);
        EXPECT_EQ(result, AURA_OK) << junk;
        EXPECT_EQ(searched, plain) << junk;
    }

    // A file of one frame opens (the end of the file confirms it).
    const Bytes one(mp3.begin(), mp3.begin() + static_cast<long>(firstFrameLength(mp3)));
    const std::vector<int16_t> single = decodeBytes(one, AURA_DEFAULT, &result);
    EXPECT_EQ(result, AURA_OK);
    EXPECT_EQ(single.size(), 1152u * 2);

    // ID3v1 blocks between frames are passed over in one step.
    Bytes tagged;
    size_t at = 0;
    for (int frame = 0; at < mp3.size(); ++frame) {
        const size_t length = firstFrameLength(mp3, at);
        ASSERT_GT(length, 0u);
        tagged.insert(tagged.end(), mp3.begin() + static_cast<long>(at),
                      mp3.begin() + static_cast<long>(std::min(at + length, mp3.size())));
        at += length;
        if (frame == 3 || at >= mp3.size()) {
            Bytes tag(128, 'x');
            std::memcpy(tag.data(), "TAG", 3);
            tagged.insert(tagged.end(), tag.begin(), tag.end());
        }
    }
    EXPECT_EQ(decodeBytes(tagged), plain);

    // Layer I, MPEG-1 layer II stereo at 48 kbit/s and free format are
    // refused; the first two come from the frame writer.
    Bytes layer1;
    Bytes layer2;
    for (uint32_t frame = 0; frame < 30; ++frame) {
        const Bytes one1 = mpegtest::writeLayer1(9, 0, 0, frame);
        const Bytes one2 = mpegtest::randomLayer2(header(3, 2, 3, 0, 0), frame);
        ASSERT_FALSE(one2.empty());
        layer1.insert(layer1.end(), one1.begin(), one1.end());
        layer2.insert(layer2.end(), one2.begin(), one2.end());
    }
    for (const Bytes *frames : {&layer1, &layer2}) {
        (void)decodeBytes(*frames, AURA_DEFAULT, &result);
        EXPECT_EQ(result, AURA_ERR_FORMAT) << (frames == &layer1 ? "layer I" : "layer II at 48 kbit/s");
    }
    // mpg123 plays both, so they are well formed.
    for (const Bytes *frames : {&layer1, &layer2}) {
        const Path path = fx.path(frames == &layer1 ? "layer1.mp1" : "layer2_48.mp2");
        ASSERT_TRUE(auratest::writeAll(path, *frames));
        const mpegtest::Reference ref = mpegtest::mpg123(path);
        EXPECT_EQ(ref.samples.size(), (frames == &layer1 ? 384u : 1152u) * 30 * 2) << path;
    }
    const Path free =
        fx.encode("free.mp3", fx.source("noise", 44100, 2), "lame --quiet -t --freeformat -b 64 {in} {out}");
    (void)decodeBytes(auratest::readAll(free), AURA_DEFAULT, &result);
    EXPECT_EQ(result, AURA_ERR_FORMAT);
}

TEST(MpegLength, XingEstimateAndScan)
{
    struct Case {
        const char *name;
        const char *options;
        bool xing;
    };
    const Case cases[] = {
        {"len_v2.mp3", "-V 2", true},
        {"len_v6_22.mp3", "-V 6 --resample 22.05", true},
        {"len_cbr.mp3", "-t -b 128", false},
        {"len_cbr_lsf.mp3", "-t -b 64 --resample 24", false},
    };
    for (const Case &c : cases) {
        const Path file = lameFile(c.name, c.options);
        const mpegtest::Reference ref = mpegtest::mpg123(file);
        const size_t frames = ref.samples.size() / static_cast<size_t>(ref.channels);
        {
            Opened o;
            o.openDisk(file);
            ASSERT_EQ(o.opened, AURA_OK) << c.name;
            if (c.xing) {
                EXPECT_EQ(o.format().lengthpcm, frames) << c.name;
                EXPECT_TRUE(o.codec->mFlags & AURA::Codec::FLAG_EXACTLENGTH) << c.name;
            } else {
                EXPECT_NEAR(static_cast<double>(o.format().lengthpcm), static_cast<double>(frames),
                            0.02 * static_cast<double>(frames))
                    << c.name;
                EXPECT_FALSE(o.codec->mFlags & AURA::Codec::FLAG_EXACTLENGTH) << c.name;
            }
        }
        // The scan counts exactly, also behind junk.
        Bytes bytes(1000, 0);
        const Bytes data = auratest::readAll(file);
        bytes.insert(bytes.end(), data.begin(), data.end());
        Opened o;
        o.openMemory(bytes, AURA_ACCURATETIME);
        ASSERT_EQ(o.opened, AURA_OK) << c.name;
        EXPECT_EQ(o.format().lengthpcm, frames) << c.name;
        EXPECT_TRUE(o.codec->mFlags & AURA::Codec::FLAG_EXACTLENGTH) << c.name;
    }

    // lame's "Info" frame of a CBR file is played as one silent frame.
    const Path info = lameFile("info.mp3", "-b 128");
    const mpegtest::Reference ref = mpegtest::mpg123(info);
    Opened o;
    o.openDisk(info);
    ASSERT_EQ(o.opened, AURA_OK);
    const std::vector<int16_t> ours = o.decodeAll();
    ASSERT_EQ(ours.size(), ref.samples.size() + 2304);
    EXPECT_TRUE(std::all_of(ours.begin(), ours.begin() + 2304, [](int16_t v) { return v == 0; }));
    const mpegtest::Accuracy a = mpegtest::compare(std::vector<int16_t>(ours.begin() + 2304, ours.end()), ref.samples);
    EXPECT_LT(a.rms, 1.0);
}

// Seeks with the accurate scan land exactly: every sample after the seek is
// within one step of the continuous decode (the synthesis restarts at
// another phase of its ring, so rounding may move a sample by one).
TEST(MpegSeek, AccurateSeeksLandExactly)
{
    Fixtures &fx = Fixtures::get();
    const Path files[] = {
        lameFile("seek_l3.mp3", "-t -b 128"),
        lameFile("seek_nores.mp3", "-t --nores -b 96"),
        lameFile("seek_lsf.mp3", "-t --resample 22.05"),
        lameFile("seek_25.mp3", "-t --resample 11.025", "chord", 44100, 1),
        fx.encode("seek_l2.mp2", fx.source("noise", 48000, 2), "twolame --quiet -b 192 {in} {out}"),
    };
    for (const Path &file : files) {
        Opened whole;
        whole.openDisk(file, AURA_ACCURATETIME);
        ASSERT_EQ(whole.opened, AURA_OK) << file;
        const int channels = whole.format().channels;
        const std::vector<int16_t> all = whole.decodeAll();
        const unsigned int length = whole.format().lengthpcm;
        ASSERT_EQ(all.size(), static_cast<size_t>(length) * static_cast<size_t>(channels)) << file;
        const unsigned int spf = whole.mpeg()->mPCMFrameBytes / 2 / static_cast<unsigned int>(channels);
        const unsigned int targets[] = {0, 1, 1151, 5 * 1152 + 7, 9 * 1152, length / 2, length - spf + 3};
        Opened o;
        o.openDisk(file, AURA_ACCURATETIME);
        ASSERT_EQ(o.opened, AURA_OK);
        for (const unsigned int s : targets) {
            ASSERT_EQ(o.codec->setPosition(0, s, AURA_TIMEUNIT_PCM), AURA_OK) << file << " @" << s;
            const std::vector<int16_t> after = o.decodeAll();
            ASSERT_EQ(after.size(), all.size() - static_cast<size_t>(s) * static_cast<size_t>(channels))
                << file << " @" << s;
            int worst = 0;
            for (size_t i = 0; i < after.size(); ++i) {
                worst = std::max(worst, std::abs(after[i] - all[static_cast<size_t>(s) * channels + i]));
            }
            EXPECT_LE(worst, 1) << file << " @" << s;
        }
    }
}

// Where a decode from an estimated position lands in the continuous decode.
long landing(const std::vector<int16_t> &all, const std::vector<int16_t> &after, int channels, long guess, long radius)
{
    long best = -1;
    double bestError = 1e300;
    const size_t n = std::min<size_t>(after.size(), 2048);
    for (long at = std::max(0L, guess - radius); at <= guess + radius; ++at) {
        const size_t base = static_cast<size_t>(at) * static_cast<size_t>(channels);
        if (base + n > all.size()) {
            break;
        }
        double error = 0.0;
        for (size_t i = 0; i < n && error < bestError; ++i) {
            const double d = after[i] - all[base + i];
            error += d * d;
        }
        if (error < bestError) {
            bestError = error;
            best = at;
        }
    }
    return best;
}

TEST(MpegSeek, XingAndEstimateLandWithinOnePercent)
{
    for (const char *options : {"-V 2", "-t -b 160"}) {
        // Long enough that the table's percents are finer than a frame.
        const Path file = lameFile(std::string("land") + (options[1] == 'V' ? "_v2" : "_cbr") + ".mp3", options,
                                   "noise", 44100, 2, 8.0);
        Opened whole;
        whole.openDisk(file, AURA_ACCURATETIME);
        ASSERT_EQ(whole.opened, AURA_OK);
        const std::vector<int16_t> all = whole.decodeAll();
        const long length = static_cast<long>(whole.format().lengthpcm);
        Opened o;
        o.openDisk(file);
        ASSERT_EQ(o.opened, AURA_OK);
        for (const long target : {length / 4, length / 2, length * 3 / 4}) {
            ASSERT_EQ(o.codec->setPosition(0, static_cast<unsigned int>(target), AURA_TIMEUNIT_PCM), AURA_OK);
            std::vector<int16_t> after(4096);
            unsigned int got = 0;
            ASSERT_EQ(o.codec->read(after.data(), 8192, &got), AURA_OK);
            const long landed = landing(all, after, 2, target, length / 50);
            ASSERT_GE(landed, 0) << options;
            EXPECT_LE(std::labs(landed - target), length / 100) << options << " @" << target;
        }
    }
}

// A stream shorter than a frame: no division by a zero frame count.
TEST(MpegSeek, ShortStreamsAndOddPositions)
{
    const Bytes mp3 = auratest::readAll(lameFile("short.mp3", "-t -b 128"));
    const Bytes one(mp3.begin(), mp3.begin() + static_cast<long>(firstFrameLength(mp3)));
    for (const AURA_MODE mode : {AURA_DEFAULT, AURA_ACCURATETIME}) {
        Opened o;
        o.openMemory(one, mode);
        ASSERT_EQ(o.opened, AURA_OK);
        for (const unsigned int s : {0u, 500u, 1152u, 100000u, 0xFFFFFFF0u}) {
            const AURA_RESULT result = o.codec->setPosition(0, s, AURA_TIMEUNIT_PCM);
            EXPECT_TRUE(result == AURA_OK || result == AURA_ERR_FILE_EOF) << s;
            const std::vector<int16_t> rest = o.decodeAll();
            EXPECT_LE(rest.size(), 1152u * 2) << s;
        }
    }
}

// RIFF/WAVE files from ffmpeg (MPEG layer III, tag 0x55; MPEG, tag 0x50)
// decode as their data chunk does on its own.
// A container may store layer III frames padded to 2 or 4 bytes; its
// padding flags step over the padding, which here begins like a frame header
// so that a reader without them would take it for one.
TEST(MpegContainer, PaddedFramesDecodeAsTheBareStream)
{
    const Bytes mp3 = auratest::readAll(lameFile("container.mp3", "-t -m m -b 96", "noise", 44100, 1, 1.0));
    const std::vector<int16_t> plain = decodeBytes(mp3);
    ASSERT_FALSE(plain.empty());
    using AURA::CodecMPEG;
    for (const unsigned int multiple : {2u, 4u}) {
        Bytes padded;
        for (size_t at = 0; at < mp3.size();) {
            const size_t length = firstFrameLength(mp3, at);
            ASSERT_GT(length, 0u);
            padded.insert(padded.end(), mp3.begin() + static_cast<long>(at),
                          mp3.begin() + static_cast<long>(std::min(at + length, mp3.size())));
            const size_t pad = (multiple - length % multiple) % multiple;
            padded.insert(padded.end(), mp3.begin() + static_cast<long>(at), mp3.begin() + static_cast<long>(at + pad));
            at += length;
        }
        const unsigned int flags =
            CodecMPEG::FLAG_CONTAINER | (multiple == 2 ? CodecMPEG::FLAG_PAD2 : CodecMPEG::FLAG_PAD4);
        for (const AURA_MODE mode : {AURA_DEFAULT, AURA_ACCURATETIME}) {
            Opened o;
            o.openMemory(padded, mode, flags);
            ASSERT_EQ(o.opened, AURA_OK) << multiple;
            EXPECT_EQ(o.decodeAll(), plain) << multiple << " mode " << mode;
        }
        if (multiple == 4) {
            // Three bytes of a header and the next frame's first byte make
            // a header: without the flags the padding is read as a frame.
            EXPECT_NE(decodeBytes(padded), plain);
        }
    }
}

TEST(MpegRiff, WrappedStreamsDecodeAsTheirData)
{
    Fixtures &fx = Fixtures::get();
    const Path source = fx.source("noise", 44100, 2);
    struct Case {
        const char *name;
        const char *codec;
        uint16_t tag;
    };
    const Case cases[] = {{"wrapped3.wav", "libmp3lame", 0x55}, {"wrapped2.wav", "mp2", 0x50}};
    for (const Case &c : cases) {
        const Path file =
            fx.encode(c.name, source, std::string("ffmpeg -v quiet -y -i {in} -c:a ") + c.codec + " {out}");
        const auratest::Wav wav = auratest::readWav(file);
        ASSERT_EQ(wav.format, c.tag) << c.name;
        const std::vector<int16_t> data = decodeBytes(wav.data);
        ASSERT_FALSE(data.empty()) << c.name;
        Opened o;
        o.openDisk(file);
        ASSERT_EQ(o.opened, AURA_OK) << c.name;
        EXPECT_GE(o.mpeg()->mSrcDataOffset, wav.dataOffset) << c.name;
        EXPECT_EQ(o.decodeAll(), data) << c.name;
    }
}

// Cue points in a wrapper become the sample's sync points.
TEST(MpegRiff, CuePointsBecomeSyncPoints)
{
    Fixtures &fx = Fixtures::get();
    const Path file =
        fx.encode("wrapped3.wav", fx.source("noise", 44100, 2), "ffmpeg -v quiet -y -i {in} -c:a libmp3lame {out}");
    Bytes bytes = auratest::readAll(file);
    ASSERT_GT(bytes.size(), 100u);
    const Bytes cue = auratest::chunk("cue ", auratest::cueBody({{1, 1000}, {2, 44100}}));
    const Bytes labels = auratest::list("adtl", {auratest::chunk("labl", auratest::lablBody(1, "first")),
                                                 auratest::chunk("labl", auratest::lablBody(2, "second"))});
    bytes.insert(bytes.end(), cue.begin(), cue.end());
    bytes.insert(bytes.end(), labels.begin(), labels.end());
    const auto riffSize = static_cast<uint32_t>(bytes.size() - 8);
    for (int i = 0; i < 4; ++i) {
        bytes[4 + static_cast<size_t>(i)] = static_cast<uint8_t>(riffSize >> (8 * i));
    }
    AURA_SYSTEM *system = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND_NRT, 2);
    ASSERT_NE(system, nullptr);
    AURA_CREATESOUNDEXINFO info{};
    info.cbsize = sizeof(info);
    info.length = static_cast<unsigned int>(bytes.size());
    AURA_SOUND *sound = nullptr;
    ASSERT_EQ(
        AURA_System_CreateSound(system, reinterpret_cast<const char *>(bytes.data()), AURA_OPENMEMORY, &info, &sound),
        AURA_OK);
    auto *cpp = reinterpret_cast<AURA::Sound *>(sound);
    AURA_SOUND_TYPE type = AURA_SOUND_TYPE_UNKNOWN;
    EXPECT_EQ(cpp->getFormat(&type, nullptr, nullptr, nullptr), AURA_OK);
    EXPECT_EQ(type, AURA_SOUND_TYPE_MPEG);
    int count = 0;
    EXPECT_EQ(cpp->getNumSyncPoints(&count), AURA_OK);
    ASSERT_EQ(count, 2);
    const std::pair<const char *, unsigned int> expected[] = {{"first", 1000}, {"second", 44100}};
    for (int i = 0; i < 2; ++i) {
        char name[64] = {};
        unsigned int offset = 0;
        ASSERT_EQ(cpp->getSyncPointInfo(i, name, sizeof(name), &offset, AURA_TIMEUNIT_PCM), AURA_OK);
        EXPECT_STREQ(name, expected[i].first);
        EXPECT_EQ(offset, expected[i].second);
    }
    EXPECT_EQ(AURA_Sound_Release(sound), AURA_OK);
    EXPECT_EQ(AURA_System_Release(system), AURA_OK);
}

// Several threads open and decode at once: the tables are made once and
// the decoders share nothing else.
TEST(MpegThreads, DecodersRunAtOnce)
{
    const Bytes mp3 = auratest::readAll(lameFile("threads.mp3", "-t -b 96 --resample 22.05"));
    const std::vector<int16_t> expected = decodeBytes(mp3);
    ASSERT_FALSE(expected.empty());
    std::atomic<int> same{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            if (decodeBytes(mp3, AURA_ACCURATETIME) == expected) {
                ++same;
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    EXPECT_EQ(same.load(), 8);
}

} // namespace
