// The IT loader and its compressed-sample decoder: block streams made by the
// test compressor, songs written in memory, and the game's own IT files.
#include "music/aura_codec_it.h"

#include "files.h"
#include "it_writer.h"
#include "tools.h"
#include "music_trace.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <filesystem>
#include <random>
#include <set>

namespace {

using AURA::CodecIT;
using auratest::ItCell;
using auratest::ItCompressor;
using auratest::ItInstrument;
using auratest::ItSample;
using auratest::ItWriter;
using Song = auratest::TracedSong<CodecIT>;

Song open(const ItWriter &writer, AURA_RESULT expect = AURA_OK)
{
    static std::deque<std::vector<uint8_t>> keep; // the files outlive their songs
    keep.push_back(writer.bytes());
    Song song = auratest::openTraced<CodecIT>(keep.back());
    EXPECT_EQ(song.result, expect);
    return song;
}

// Decodes one channel of `points` points of a stream.
AURA_RESULT decode(const std::vector<uint8_t> &stream, bool sixteen, bool doubleDelta, unsigned int points,
                   std::vector<int> *out, const uint8_t **stop = nullptr)
{
    const uint8_t *at = stream.data();
    const uint8_t *end = stream.data() + stream.size();
    out->assign(points, 0);
    AURA_RESULT result = AURA_OK;
    if (sixteen) {
        std::vector<int16_t> dest(points);
        result = CodecIT::decompress16(at, end, dest.data(), points, doubleDelta, 1);
        std::copy(dest.begin(), dest.end(), out->begin());
    } else {
        std::vector<int8_t> dest(points);
        result = CodecIT::decompress8(at, end, dest.data(), points, doubleDelta, 1);
        std::copy(dest.begin(), dest.end(), out->begin());
    }
    if (stop) {
        *stop = at;
    }
    return result;
}

// Points whose deltas (or deltas of deltas) step through every magnitude the
// point size has, so the stream needs every width.
std::vector<int> everyWidth(int bits, bool doubleDelta, size_t count)
{
    std::vector<int> residuals;
    for (size_t i = 0; residuals.size() < count; ++i) {
        const int k = static_cast<int>(i % static_cast<size_t>(bits + 1));
        const int magnitude = k == 0 ? 0 : k == bits ? (1 << (bits - 1)) - 2 : 1 << (k - 1);
        residuals.push_back(i % 2 ? magnitude : -magnitude);
    }
    std::vector<int> points;
    const int range = 1 << bits;
    int d1 = 0;
    int x = 0;
    for (int r : residuals) {
        d1 = doubleDelta ? d1 + r : r;
        x = ((x + d1) % range + range) % range;
        points.push_back(x >= range / 2 ? x - range : x);
    }
    return points;
}

TEST(ItDecompress, CompressorRoundTripsThroughEveryWidthAndBlockEdge)
{
    std::mt19937 random(24);
    for (const bool sixteen : {false, true}) {
        const int bits = sixteen ? 16 : 8;
        const unsigned int block = sixteen ? 0x4000 : 0x8000;
        for (const bool doubleDelta : {false, true}) {
            for (const unsigned int count : {1u, block - 1, block, block + 1, 2 * block + 7}) {
                for (const char *kind : {"random", "sine", "widths"}) {
                    std::vector<int> points;
                    if (std::strcmp(kind, "widths") == 0) {
                        points = everyWidth(bits, doubleDelta, count);
                    } else {
                        const int top = (1 << (bits - 1)) - 1;
                        for (unsigned int i = 0; i < count; ++i) {
                            points.push_back(std::strcmp(kind, "random") == 0
                                                 ? static_cast<int>(random() % (2u * top + 2)) - top - 1
                                                 : static_cast<int>(std::lround(top * std::sin(i * 0.031))));
                        }
                    }
                    std::set<int> widths;
                    ItCompressor compressor(sixteen, doubleDelta);
                    const std::vector<uint8_t> stream = compressor.compress(points, &widths);
                    std::vector<int> decoded;
                    const uint8_t *stop = nullptr;
                    SCOPED_TRACE(testing::Message()
                                 << bits << "-bit double " << doubleDelta << " " << count << " " << kind);
                    ASSERT_EQ(decode(stream, sixteen, doubleDelta, count, &decoded, &stop), AURA_OK);
                    EXPECT_EQ(decoded, points);
                    EXPECT_EQ(stop, stream.data() + stream.size()); // every block ends inside its count
                    if (std::strcmp(kind, "widths") == 0 && count > 100) {
                        EXPECT_EQ(static_cast<int>(widths.size()), bits + 1);
                    }
                }
            }
        }
    }
}

TEST(ItDecompress, HandBuiltAndCorruptStreams)
{
    struct Case {
        const char *what;
        bool sixteen;
        std::vector<std::pair<uint32_t, int>> codes; // (value, width)
        int bytesField; // -1: the stream's own
        unsigned int points;
        AURA_RESULT expect;
        std::vector<int> decoded;
    };
    const std::vector<Case> cases = {
        // The opening width-change code switches to 4 bits and makes no point.
        {"change first", false, {{0x100 | 3, 9}, {2, 4}, {0xF, 4}}, -1, 2, AURA_OK, {2, 1}},
        {"16-bit change first", true, {{0x10000 | 5, 17}, {3, 6}}, -1, 1, AURA_OK, {3}},
        // (0x1FF + 1) & 0xFF names width 0.
        {"width zero", false, {{0x1FF, 9}, {0, 9}}, -1, 1, AURA_ERR_FORMAT, {}},
        // Width 11 is wider than any 8-bit code.
        {"width too wide", false, {{0x100 | 10, 9}, {0, 11}}, -1, 1, AURA_ERR_FORMAT, {}},
        // The stream ends before its points: the reader stays in its block.
        {"short block", false, {{5, 9}}, -1, 3, AURA_ERR_FORMAT, {}},
        // A byte count past the source.
        {"count past source", false, {{5, 9}}, 4000, 1, AURA_ERR_FORMAT, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ItCompressor writer(c.sixteen, false);
        for (const auto &[value, width] : c.codes) {
            writer.put(value, width);
        }
        const std::vector<uint8_t> &bits = writer.stream();
        const int count = c.bytesField >= 0 ? c.bytesField : static_cast<int>(bits.size());
        std::vector<uint8_t> stream = {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8)};
        stream.insert(stream.end(), bits.begin(), bits.end());
        std::vector<int> decoded;
        EXPECT_EQ(decode(stream, c.sixteen, false, c.points, &decoded), c.expect);
        if (c.expect == AURA_OK) {
            EXPECT_EQ(decoded, c.decoded);
        }
    }
    const uint8_t *none = nullptr;
    int8_t dest[1];
    EXPECT_EQ(CodecIT::decompress8(none, none, dest, 1, false, 1), AURA_ERR_INVALID_PARAM);
}

ItWriter oneSample(const ItSample &sample)
{
    ItWriter writer;
    writer.samples.push_back(sample);
    writer.instruments.push_back(ItInstrument{});
    writer.pattern(4, {});
    return writer;
}

TEST(ItLoader, OrdersPatternsAndRows)
{
    struct Case {
        std::vector<uint8_t> orders;
        unsigned int length;
    };
    for (const Case &c : {Case{{0, 1, 255, 2}, 4}, Case{{0, 1, 255, 255}, 2}, Case{{254, 0, 255}, 2}}) {
        ItWriter writer;
        writer.orders = c.orders;
        writer.pattern(8, {}).pattern(8, {}).pattern(8, {});
        Song song = open(writer);
        ASSERT_EQ(song.result, AURA_OK);
        unsigned int length = 0;
        ASSERT_EQ(song.codec->getLengthInternal(&length, AURA_TIMEUNIT_MODORDER), AURA_OK);
        EXPECT_EQ(length, c.length);
    }

    // Pattern 0 has no offset: 64 empty rows. Pattern 1 is 0 rows: 64 too.
    // Pattern 2 stops mid-row: the rest is empty, and remembered values
    // carry over rows.
    ItWriter writer;
    writer.orders = {2, 0, 1, 255};
    writer.emptyPattern();
    writer.rawPattern(0, {});
    writer.rawPattern(3, {0x81, 0x0F, 59, 3, 10, 1, 0x20, /* row end */ 0, 0x81, 0xF0, /* row end */ 0, 0x81});
    Song song = open(writer);
    ASSERT_EQ(song.result, AURA_OK);
    EXPECT_EQ(song.codec->pattern(0).mRows, 64);
    EXPECT_EQ(song.codec->pattern(1).mRows, 64);
    EXPECT_EQ(song.codec->pattern(2).mRows, 3);
    const AURA::MusicNote &first = song.codec->cell(0);
    EXPECT_EQ(first.mNote, 60);
    EXPECT_EQ(first.mInstrument, 3);
    EXPECT_EQ(first.mVolume, 11);
    EXPECT_EQ(first.mEffect, 1);
    EXPECT_EQ(first.mEffectParam, 0x20);
    song.codec->unpackRow(); // channel 1 again, every value remembered
    EXPECT_EQ(song.codec->cell(0).mNote, 60);
    song.codec->unpackRow(); // a mask byte past the data
    song.codec->unpackRow(); // past the pattern's data altogether
    for (int c = 0; c < AURA::MusicSong::MAX_CHANNELS; ++c) {
        EXPECT_EQ(song.codec->cell(c).mNote, 0);
    }
}

TEST(ItLoader, HeaderFieldsAndCounts)
{
    ItWriter loud;
    loud.mixVolume = 128;
    ItInstrument left;
    left.pitchPanSeparation = static_cast<uint8_t>(-20);
    ItInstrument wide;
    wide.pitchPanSeparation = 200; // -56 stored
    ItInstrument odd; // counts and indices past the tables
    odd.volume.flags = 1 | 2 | 4;
    odd.volume.nodes = {{0, 64}, {5, 10}};
    odd.volume.countField = 40;
    odd.volume.loopBegin = 30;
    odd.volume.loopEnd = 60;
    odd.volume.sustainBegin = 200;
    odd.volume.sustainEnd = 2;
    odd.pitch.flags = 1;
    odd.pitch.nodes = {{0, 5}}; // one node: no envelope
    odd.noteTable.assign(120, {200, 1});
    loud.instruments = {left, wide, odd};
    loud.pattern(1, {});
    Song song = open(loud);
    ASSERT_EQ(song.result, AURA_OK);
    EXPECT_EQ(song.codec->mixVolume(), 128);
    EXPECT_EQ(song.codec->instrument(0).mPitchPanSeparation, -20);
    EXPECT_EQ(song.codec->instrument(1).mPitchPanSeparation, -32);
    const AURA::MusicInstrumentIT &bounded = song.codec->instrument(2);
    const AURA::MusicEnvelopeIT &volume = bounded.mVolumeEnvelope;
    EXPECT_EQ(volume.mCount, 25);
    EXPECT_LE(volume.mLoopBegin, volume.mLoopEnd);
    EXPECT_LT(volume.mLoopEnd, 25);
    EXPECT_LE(volume.mSustainBegin, volume.mSustainEnd);
    EXPECT_LT(volume.mSustainEnd, 25);
    EXPECT_EQ(volume.mFlags, AURA::MusicEnvelopeIT::ON | AURA::MusicEnvelopeIT::LOOP | AURA::MusicEnvelopeIT::SUSTAIN);
    EXPECT_EQ(bounded.mPitchEnvelope.mFlags & AURA::MusicEnvelopeIT::ON, 0);
    EXPECT_EQ(bounded.mNoteTable[60][0], 119);

    struct Refused {
        const char *what;
        void (*change)(ItWriter &);
    };
    const Refused refused[] = {
        {"orders", [](ItWriter &w) { w.orderCountField = 300; }},
        {"negative instruments", [](ItWriter &w) { w.instrumentCountField = 0xFFFF; }},
        {"samples", [](ItWriter &w) { w.sampleCountField = 257; }},
        {"patterns", [](ItWriter &w) { w.patternCountField = 0x8001; }},
        {"rows", [](ItWriter &w) { w.rawPattern(257, {0}); }},
        {"not IT", [](ItWriter &w) { w.songName = "x"; }},
    };
    for (const Refused &r : refused) {
        SCOPED_TRACE(r.what);
        ItWriter writer;
        writer.pattern(1, {});
        r.change(writer);
        std::vector<uint8_t> bytes = writer.bytes();
        if (std::strcmp(r.what, "not IT") == 0) {
            bytes[3] = 'N';
        }
        EXPECT_EQ(auratest::openTraced<CodecIT>(bytes).result, AURA_ERR_FORMAT);
    }

    // A message length past the file is no message, and the song loads.
    ItWriter cut;
    cut.message = "hello\rworld";
    cut.messageLengthField = 30000;
    cut.pattern(1, {});
    EXPECT_EQ(open(cut).result, AURA_OK);
}

TEST(ItLoader, SampleStorage)
{
    std::vector<int> stereo;
    for (int i = 0; i < 1000; ++i) {
        stereo.push_back(i % 100 - 50);
        stereo.push_back(-(i % 90) + 40);
    }
    std::vector<int> wave16;
    for (int i = 0; i < 3000; ++i) {
        wave16.push_back(static_cast<int>(std::lround(30000 * std::sin(i * 0.01))));
    }
    struct Case {
        const char *what;
        ItSample sample;
        uint16_t compatible;
    };
    ItSample plainStereo;
    plainStereo.stereo = true;
    plainStereo.data = stereo;
    plainStereo.c5 = 0;
    ItSample unsigned16;
    unsigned16.sixteen = true;
    unsigned16.signedData = false;
    unsigned16.data = wave16;
    ItSample packed8;
    packed8.compressed = true;
    packed8.data = {1, 5, -7, 100, -128, 127, 0, 0, 3};
    ItSample packed16 = unsigned16;
    packed16.compressed = true;
    packed16.signedData = true;
    ItSample doubled = packed16;
    doubled.doubleDelta = true;
    ItSample packedStereo = plainStereo;
    packedStereo.compressed = true;
    packedStereo.doubleDelta = true;
    const Case cases[] = {
        {"plain stereo", plainStereo, 0x214},    {"unsigned 16-bit", unsigned16, 0x214},
        {"compressed 8-bit", packed8, 0x214},    {"compressed 16-bit", packed16, 0x214},
        {"double delta 16-bit", doubled, 0x215}, {"double delta stereo", packedStereo, 0x217},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ItWriter writer = oneSample(c.sample);
        writer.compatibleWith = c.compatible;
        Song song = open(writer);
        ASSERT_EQ(song.result, AURA_OK);
        const AURA::MusicSample &loaded = song.codec->sample(0);
        const int channels = c.sample.stereo ? 2 : 1;
        ASSERT_EQ(loaded.mLength, c.sample.data.size() / static_cast<size_t>(channels));
        ASSERT_NE(loaded.mData, nullptr);
        std::vector<int> points;
        for (size_t i = 0; i < c.sample.data.size(); ++i) {
            int16_t wide = 0;
            if (c.sample.sixteen) {
                std::memcpy(&wide, loaded.mData + 2 * i, 2);
            }
            points.push_back(c.sample.sixteen ? wide : static_cast<int8_t>(loaded.mData[i]));
        }
        EXPECT_EQ(points, c.sample.data); // interleaved frames
        EXPECT_EQ(loaded.mMiddleC, c.sample.c5 ? c.sample.c5 : 8363u);
    }

    // The second variant needs the version as well as the convert bit:
    // without it the same stream decodes as plain deltas.
    ItWriter old = oneSample(doubled);
    Song song = open(old);
    ASSERT_EQ(song.result, AURA_OK);
    std::vector<int16_t> plain(wave16.size());
    std::memcpy(plain.data(), song.codec->sample(0).mData, 2 * plain.size());
    EXPECT_NE(std::vector<int>(plain.begin(), plain.end()), wave16);

    // A compressed sample whose blocks are cut is refused.
    std::vector<uint8_t> bytes = oneSample(packed16).bytes();
    bytes.erase(bytes.end() - 10, bytes.end());
    EXPECT_EQ(auratest::openTraced<CodecIT>(bytes).result, AURA_ERR_FORMAT);
}

TEST(ItLoader, EchoChunksAndChannelMap)
{
    ItWriter writer;
    writer.pattern(1, {});
    const float echo[5] = {0.5f, 0.25f, 0.1f, 0.2f, 1.0f};
    const float broken[5] = {0.5f, NAN, 0.1f, 0.2f, 0.0f};
    std::vector<uint8_t> map(4 * 70, 0);
    ItWriter::put32(map, 0, 2);
    ItWriter::put32(map, 4, 99); // no such plug-in
    ItWriter::put32(map, 4 * 69, 1); // past the 64 channels
    writer.chunks = {ItWriter::chunk("PNAM", std::vector<uint8_t>(32, 'p')),
                     ItWriter::chunk("CHFX", map),
                     ItWriter::echoChunk(1, 1, echo),
                     ItWriter::echoChunk(2, 0, broken),
                     ItWriter::echoChunk(3, 0, echo, "Reve"),
                     ItWriter::echoChunk(4, 0, echo)};
    // An unknown chunk ends the scan: plug-in 4 is never read.
    writer.chunks.insert(writer.chunks.end() - 1, ItWriter::chunk("XXXX", {}));
    Song song = open(writer);
    ASSERT_EQ(song.result, AURA_OK);
    const AURA::MusicPluginIT &plugin = song.codec->plugin(1);
    ASSERT_TRUE(plugin.mUsed);
    EXPECT_EQ(plugin.mFlags, 1);
    EXPECT_FLOAT_EQ(plugin.mParameter[0], 50.0f);
    EXPECT_FLOAT_EQ(plugin.mParameter[1], 25.0f);
    EXPECT_FLOAT_EQ(plugin.mParameter[2], 200.0f);
    EXPECT_FLOAT_EQ(plugin.mParameter[3], 400.0f);
    EXPECT_FLOAT_EQ(plugin.mParameter[4], 1.0f);
    EXPECT_FALSE(song.codec->plugin(2).mUsed);
    EXPECT_FALSE(song.codec->plugin(3).mUsed);
    EXPECT_FALSE(song.codec->plugin(4).mUsed);
    EXPECT_EQ(song.codec->channelPlugin(0), 2);
    EXPECT_EQ(song.codec->channelPlugin(1), 0);
}

// Song time: speed, breaks, row delays and loops, measured in ticks of 882
// frames (125 BPM at 44100 Hz).
TEST(ItRows, SongLengthFollowsTimeEffects)
{
    using Rows = std::vector<std::vector<std::pair<int, ItCell>>>;
    struct Case {
        const char *what;
        Rows first;
        int ticks;
    };
    const Case cases[] = {
        {"plain", {}, (4 + 4) * 6},
        {"speed 3", {{{0, {0, 0, 0, 1, 3}}}}, (4 + 4) * 3},
        // C with the next pattern's row count starts it at row 0.
        {"break to the row count", {{}, {{0, {0, 0, 0, 3, 4}}}}, (2 + 4) * 6},
        {"break to row 2", {{}, {{0, {0, 0, 0, 3, 2}}}}, (2 + 2) * 6},
        {"row delay", {{{0, {0, 0, 0, 19, 0xE2}}, {1, {0, 0, 0, 19, 0xE5}}}}, (8 + 2) * 6},
        {"pattern loop", {{{0, {0, 0, 0, 19, 0xB0}}}, {{0, {0, 0, 0, 19, 0xB2}}}}, (8 + 4) * 6},
        {"extra ticks", {{{0, {0, 0, 0, 19, 0x63}}}}, 8 * 6 + 3},
        {"jump back ends the song", {{}, {{0, {0, 0, 0, 2, 0}}}}, 2 * 6},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ItWriter writer;
        writer.orders = {0, 1, 255};
        writer.pattern(4, c.first).pattern(4, {});
        static std::deque<std::vector<uint8_t>> keep;
        keep.push_back(writer.bytes());
        Song song = auratest::openTraced<CodecIT>(keep.back(), AURA_ACCURATETIME);
        ASSERT_EQ(song.result, AURA_OK);
        EXPECT_EQ(song.codec->mState.waveformat->lengthpcm, static_cast<unsigned int>(c.ticks * 882));
    }
}

// Tempo: Txx sets it; T0y and T1y slide it by y on each tick after the
// first, within 32..255; T00 slides again as the last did.
TEST(ItRows, TempoSlides)
{
    const auto frames = [](int bpm) { return static_cast<int>(44100.0f / (static_cast<float>(bpm) * 0.4f)); };
    struct Case {
        const char *what;
        std::vector<ItCell> rows; // channel 0, rows 0 and 1 of 2
        std::vector<int> tickTempos; // the tempo of each of the 12 ticks
    };
    const Case cases[] = {
        {"set", {{0, 0, 0, 20, 200}, {}}, {200, 200, 200, 200, 200, 200, 200, 200, 200, 200, 200, 200}},
        {"up, then again from memory",
         {{0, 0, 0, 20, 0x14}, {0, 0, 0, 20, 0x00}},
         {125, 129, 133, 137, 141, 145, 145, 149, 153, 157, 161, 165}},
        {"down to the floor",
         {{0, 0, 0, 20, 0x20}, {0, 0, 0, 20, 0x0F}},
         {32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32}},
        {"up to the ceiling",
         {{0, 0, 0, 20, 0xF0}, {0, 0, 0, 20, 0x1F}},
         {240, 240, 240, 240, 240, 240, 240, 255, 255, 255, 255, 255}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ItWriter writer;
        writer.orders = {0, 255};
        writer.pattern(2, {{{0, c.rows[0]}}, {{0, c.rows[1]}}});
        static std::deque<std::vector<uint8_t>> keep;
        keep.push_back(writer.bytes());
        Song song = auratest::openTraced<CodecIT>(keep.back(), AURA_ACCURATETIME);
        ASSERT_EQ(song.result, AURA_OK);
        int expect = 0;
        for (const int bpm : c.tickTempos) {
            expect += frames(bpm);
        }
        EXPECT_EQ(song.codec->mState.waveformat->lengthpcm, static_cast<unsigned int>(expect));
    }
}

long referenceMs(const std::filesystem::path &file)
{
    const std::string out = auratest::capture("openmpt123 --info --subsong 0 " + auratest::quote(file) + " 2>&1");
    const size_t at = out.find("Duration...: ");
    int minutes = 0;
    double seconds = 0.0;
    if (at == std::string::npos || std::sscanf(out.c_str() + at + 13, "%d:%lf", &minutes, &seconds) != 2) {
        return -1;
    }
    return std::lround((minutes * 60 + seconds) * 1000.0);
}

// The game's songs: every one loads, every compressed block decodes and
// ends inside its byte count, and each song lasts as long as openmpt123
// measures it.
TEST(ItLoader, GameSongsLoad)
{
    const std::filesystem::path dir = "/usr/share/games/pingus/data/music";
    if (!std::filesystem::exists(dir)) {
        GTEST_SKIP() << "pingus-data is not installed";
    }
    const bool peer = auratest::run("command -v openmpt123");
    int files = 0;
    int compressed = 0;
    int filesWithCompressed = 0;
    bool filters = false;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".it") {
            continue;
        }
        SCOPED_TRACE(entry.path().string());
        std::vector<uint8_t> bytes = auratest::readAll(entry.path().string());
        Song song = auratest::openTraced<CodecIT>(bytes, AURA_ACCURATETIME);
        ASSERT_EQ(song.result, AURA_OK);
        ++files;
        if (peer) {
            const long reference = referenceMs(entry.path());
            ASSERT_GT(reference, 5000);
            const double ours = song.codec->mState.waveformat->lengthpcm * 1000.0 / 44100.0;
            EXPECT_NEAR(ours, static_cast<double>(reference), reference * 0.01);
        }
        int here = 0;
        for (int i = 0; i < song.codec->numSamples(); ++i) {
            if (song.codec->sampleIT(i).mFlags & AURA::MusicSampleIT::FLAG_COMPRESSED) {
                ++here;
                EXPECT_TRUE(song.codec->sample(i).mLength == 0 || song.codec->sample(i).mData);
            }
        }
        compressed += here;
        filesWithCompressed += here ? 1 : 0;
        if (entry.path().filename() == "gd-cancn.it") {
            filters = song.codec->usesFilters();
        }
    }
    EXPECT_EQ(files, 19);
    EXPECT_EQ(compressed, 111);
    EXPECT_EQ(filesWithCompressed, 14);
    EXPECT_TRUE(filters); // its filter envelope alone needs the voices' filters
}

} // namespace
