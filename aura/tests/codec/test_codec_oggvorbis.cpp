// The Ogg Vorbis codec against oggdec (run as a black box) on files made
// with sox and oggenc at test time.
#include "codec/aura_codec_oggvorbis.h"
#include "base/aura_memory.h"
#include "base/aura_metadata.h"
#include "file/aura_file_disk.h"
#include "file/aura_file_memory.h"
#include "file/aura_file_user.h"
#include "engine.h"
#include "files.h"
#include "ogg.h"
#include "tools.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/tests/test_codec_oggvorbis";

namespace fs = std::filesystem;
using auratest::Bytes;
using auratest::chunk;
using auratest::chunkSized;
using auratest::ForwardSource;
using auratest::list;
using auratest::put16;
using auratest::put32;
using auratest::quote;
using auratest::readAll;
using auratest::riff;
using auratest::run;
using auratest::writeAll;

// A scratch directory with the tools' outputs, removed at the end.
class OggFiles : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(mDir.ok()); }

    // A tone of `seconds` (two tones for stereo), encoded by oggenc with
    // extra arguments (comments).
    fs::path makeOgg(const std::string &name, int rate, int channels, double seconds, const std::string &extra = "",
                     bool noise = false)
    {
        const fs::path wav = mDir / (name + ".wav");
        const fs::path ogg = mDir / (name + ".ogg");
        std::string sox = "sox -n -r ";
        sox += std::to_string(rate);
        sox += " -b 16 -c ";
        sox += std::to_string(channels);
        sox += " ";
        sox += quote(wav);
        sox += " synth ";
        sox += std::to_string(seconds);
        // Noise spreads the audio over many pages; a tone fits in a few.
        sox += noise ? " pinknoise vol 0.3" : (channels == 1 ? " sine 440" : " sine 440 sine 660");
        sox += " vol 0.8";
        EXPECT_TRUE(run(sox)) << sox;
        std::string enc = "oggenc -Q ";
        enc += extra;
        enc += " -o ";
        enc += quote(ogg);
        enc += " ";
        enc += quote(wav);
        EXPECT_TRUE(run(enc)) << enc;
        return ogg;
    }

    // oggdec's raw 16-bit little-endian signed decode of a file. Given a
    // seekable chained file oggdec starts its output again at each link, so
    // chained files are fed through a pipe.
    Bytes oggdec(const fs::path &ogg, bool piped = false)
    {
        const fs::path raw = mDir / "oggdec.raw";
        std::string dec;
        if (piped) {
            dec = "cat ";
            dec += quote(ogg);
            dec += " | oggdec -Q -R -o ";
            dec += quote(raw);
            dec += " -";
        } else {
            dec = "oggdec -Q -R -o ";
            dec += quote(raw);
            dec += " ";
            dec += quote(ogg);
        }
        EXPECT_TRUE(run(dec)) << dec;
        Bytes pcm = readAll(raw);
        fs::remove(raw);
        return pcm;
    }

    auratest::TempDir mDir{"aura-ogg"};
};

// The codec over a disk file; released at the end of the scope.
struct OpenedCodec {
    AURA::Codec *codec = nullptr;
    AURA_RESULT opened = AURA_ERR_INTERNAL;

    OpenedCodec() = default;
    OpenedCodec(const OpenedCodec &) = delete;
    OpenedCodec &operator=(const OpenedCodec &) = delete;
    ~OpenedCodec()
    {
        if (codec) {
            (void)codec->release();
        }
    }
    AURA::CodecOggVorbis *ogg() { return static_cast<AURA::CodecOggVorbis *>(codec); }
    AURA_CODEC_WAVEFORMAT &format() { return codec->state()->waveformat[0]; }

    void attach(AURA::File *file)
    {
        ASSERT_EQ(AURA::Codec::create(*AURA::CodecOggVorbis::getDescriptionEx(), nullptr, &codec), AURA_OK);
        codec->mFile = file;
        opened = codec->open(AURA_DEFAULT, nullptr);
    }
    void openDisk(const fs::path &path, int fillsize = 0)
    {
        auto *file = AURA_New(AURA::DiskFile);
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(file->init(nullptr, 0, fillsize), AURA_OK);
        ASSERT_EQ(file->open(path.c_str(), 0, false, nullptr), AURA_OK);
        attach(file);
    }
    // `bytes` must outlive the codec.
    void openMemory(const Bytes &bytes)
    {
        auto *file = AURA_New(AURA::MemoryFile);
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(auratest::openMemoryFile(*file, bytes), AURA_OK);
        attach(file);
    }
};

// Reads to the end with the given sizes in turn; every result before the
// last must be 0 and the last 22.
Bytes readToEnd(AURA::Codec *codec, std::initializer_list<unsigned int> sizes)
{
    Bytes out;
    std::vector<unsigned int> cycle(sizes);
    Bytes chunk(*std::max_element(cycle.begin(), cycle.end()));
    for (size_t i = 0; i < 1000000; ++i) {
        const unsigned int want = cycle[i % cycle.size()];
        unsigned int got = 0xDEADBEEF;
        const AURA_RESULT result = codec->read(chunk.data(), want, &got);
        EXPECT_LE(got, want);
        out.insert(out.end(), chunk.begin(), chunk.begin() + std::min(got, want));
        if (result == AURA_ERR_FILE_EOF) {
            EXPECT_EQ(got, 0u);
            return out;
        }
        EXPECT_EQ(result, AURA_OK) << "read " << i;
        if (result != AURA_OK) {
            return out;
        }
    }
    ADD_FAILURE() << "the stream never ended";
    return out;
}

// The first index where two decodes differ, for a readable failure.
::testing::AssertionResult samePCM(const Bytes &ours, const Bytes &theirs)
{
    if (ours == theirs) {
        return ::testing::AssertionSuccess();
    }
    const size_t common = std::min(ours.size(), theirs.size());
    size_t at = 0;
    while (at < common && ours[at] == theirs[at]) {
        ++at;
    }
    return ::testing::AssertionFailure() << "sizes " << ours.size() << " vs " << theirs.size()
                                         << ", first difference at byte " << at;
}

// Counts the tags marked updated, clearing the marks.
int drainUpdated(AURA::Metadata *tags)
{
    if (!tags) {
        return 0;
    }
    int count = 0;
    AURA_TAG tag{};
    while (tags->getTag(nullptr, -1, &tag) == AURA_OK && count < 100) {
        ++count;
    }
    return count;
}

std::string tagValue(AURA::Metadata *tags, const char *name, AURA_TAG *out = nullptr)
{
    AURA_TAG tag{};
    if (!tags || tags->getTag(name, 0, &tag) != AURA_OK) {
        return "<none>";
    }
    if (out) {
        *out = tag;
    }
    const auto *text = static_cast<const char *>(tag.data);
    return std::string(text, strnlen(text, tag.datalen));
}

// --- RIFF wrapper ----------------------------------------------------------

// The "fmt " body of a wrapped stream, with an empty extension.
Bytes formatChunk(uint16_t tag)
{
    Bytes fmt;
    put16(fmt, tag);
    put16(fmt, 2);
    put32(fmt, 44100);
    put32(fmt, 16000);
    put16(fmt, 4);
    put16(fmt, 16);
    put16(fmt, 0);
    return fmt;
}

// A forward-only file (an internet stream) over `source`.
AURA::UserFile *forwardFile(ForwardSource &source, int fillsize)
{
    auto *file = AURA_New(AURA::UserFile);
    EXPECT_EQ(auratest::openForwardFile(*file, source, fillsize), AURA_OK);
    return file;
}

// ---------------------------------------------------------------------------

TEST_F(OggFiles, DecodesLikeOggdecAtSeveralRatesAndLayouts)
{
    struct Case {
        int rate;
        int channels;
    };
    for (const Case c : {Case{22050, 1}, Case{44100, 2}, Case{48000, 2}, Case{48000, 1}}) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " ch");
        const fs::path ogg = makeOgg("tone", c.rate, c.channels, 1.3);
        const Bytes expected = oggdec(ogg);
        ASSERT_GT(expected.size(), 10000u);

        OpenedCodec oc;
        oc.openDisk(ogg);
        ASSERT_EQ(oc.opened, AURA_OK);
        const AURA_CODEC_WAVEFORMAT &wf = oc.format();
        EXPECT_EQ(wf.format, AURA_SOUND_FORMAT_PCM16);
        EXPECT_EQ(wf.channels, c.channels);
        EXPECT_EQ(wf.frequency, c.rate);
        EXPECT_EQ(wf.blockalign, 2 * c.channels);
        EXPECT_EQ(wf.lengthpcm, expected.size() / (2u * static_cast<unsigned int>(c.channels)));
        EXPECT_EQ(wf.lengthbytes, fs::file_size(ogg));
        // The audio starts after the three header packets.
        EXPECT_GT(oc.codec->mSrcDataOffset, 0u);
        EXPECT_LT(oc.codec->mSrcDataOffset, fs::file_size(ogg));

        EXPECT_TRUE(samePCM(readToEnd(oc.codec, {4096, 1000, 777, 16384, 64, 8}), expected));
        // Past the end it stays at the end.
        uint8_t scratch[64];
        unsigned int got = 1;
        EXPECT_EQ(oc.codec->read(scratch, sizeof(scratch), &got), AURA_ERR_FILE_EOF);
        EXPECT_EQ(got, 0u);
    }
}

TEST_F(OggFiles, BufferedDiskFileDecodesTheSame)
{
    const fs::path ogg = makeOgg("tone", 44100, 2, 0.8);
    OpenedCodec oc;
    oc.openDisk(ogg, 4096);
    ASSERT_EQ(oc.opened, AURA_OK);
    EXPECT_TRUE(samePCM(readToEnd(oc.codec, {16384}), oggdec(ogg)));
}

TEST_F(OggFiles, CommentsBecomeTagsAndAreReportedAgainOnceOnTheFirstRead)
{
    const fs::path ogg = makeOgg("tagged", 44100, 2, 0.5, "-c ARTIST=Someone -c \"TITLE=A b\"");
    OpenedCodec oc;
    oc.openDisk(ogg);
    ASSERT_EQ(oc.opened, AURA_OK);
    AURA::Metadata *tags = oc.codec->mMetadata;
    ASSERT_NE(tags, nullptr);

    AURA_TAG artist{};
    EXPECT_EQ(tagValue(tags, "ARTIST", &artist), "Someone");
    EXPECT_EQ(artist.type, AURA_TAGTYPE_VORBISCOMMENT);
    EXPECT_EQ(artist.datatype, AURA_TAGDATATYPE_STRING);
    // The codec hands over 8 bytes with the terminator; a new text tag
    // keeps one zero byte more.
    EXPECT_EQ(artist.datalen, 8u + 1u);
    EXPECT_EQ(tagValue(tags, "TITLE"), "A b");

    // The comments were split in a copy: vorbisfile's own text is intact.
    const vorbis_comment *vc = ov_comment(&oc.ogg()->mVorbisFile, -1);
    ASSERT_NE(vc, nullptr);
    ASSERT_GE(vc->comments, 2);
    EXPECT_STREQ(vc->user_comments[0], "ARTIST=Someone");
    EXPECT_STREQ(vc->user_comments[1], "TITLE=A b");

    int numTags = 0;
    ASSERT_EQ(tags->getNumTags(&numTags, nullptr), AURA_OK);
    EXPECT_EQ(numTags, 2);
    drainUpdated(tags);

    // The first read reports them again, as unique tags: updated, not added.
    Bytes buffer(4096);
    unsigned int got = 0;
    ASSERT_EQ(oc.codec->read(buffer.data(), 4096, &got), AURA_OK);
    ASSERT_GT(got, 0u);
    EXPECT_EQ(drainUpdated(tags), 2);
    ASSERT_EQ(tags->getNumTags(&numTags, nullptr), AURA_OK);
    EXPECT_EQ(numTags, 2);
    // An update stores exactly the 8 bytes given.
    EXPECT_EQ(tagValue(tags, "ARTIST", &artist), "Someone");
    EXPECT_EQ(artist.datalen, 8u);

    // Then no more.
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(oc.codec->read(buffer.data(), 4096, &got), AURA_OK);
    }
    EXPECT_EQ(drainUpdated(tags), 0);
}

TEST_F(OggFiles, CommentWithoutEqualsIsSkippedAtOpenAndNamedNonameWhileReading)
{
    // libvorbisenc writes what vorbiscomment refuses: a comment without "=".
    const Bytes ogg = auratest::encodeOgg({.rate = 22050, .channels = 1, .frames = 8192, .comments = {"NOEQUALS", "KEY=value=with=equals"}});
    OpenedCodec oc;
    oc.openMemory(ogg);
    ASSERT_EQ(oc.opened, AURA_OK);
    AURA::Metadata *tags = oc.codec->mMetadata;
    ASSERT_NE(tags, nullptr);
    int numTags = 0;
    ASSERT_EQ(tags->getNumTags(&numTags, nullptr), AURA_OK);
    EXPECT_EQ(numTags, 1);
    EXPECT_EQ(tagValue(tags, "KEY"), "value=with=equals");
    EXPECT_EQ(tagValue(tags, "NONAME"), "<none>");

    Bytes buffer(2048);
    unsigned int got = 0;
    ASSERT_EQ(oc.codec->read(buffer.data(), 2048, &got), AURA_OK);
    AURA_TAG noname{};
    EXPECT_EQ(tagValue(tags, "NONAME", &noname), "NOEQUALS");
    EXPECT_EQ(noname.datalen, 9u + 1u);
    EXPECT_EQ(tagValue(tags, "KEY"), "value=with=equals");
}

TEST_F(OggFiles, ChainedStreamLengthIsTheSumAndDecodesLikeOggdec)
{
    // Noise: vorbisfile skips a first link that is a single audio page.
    const fs::path first = makeOgg("first", 44100, 2, 1.0, "-c ARTIST=First", true);
    const fs::path second = makeOgg("second", 44100, 2, 0.7, "-c ARTIST=Second", true);
    const fs::path chained = mDir / "chained.ogg";
    Bytes joined = readAll(first);
    const Bytes tail = readAll(second);
    joined.insert(joined.end(), tail.begin(), tail.end());
    writeAll(chained, joined);

    const size_t firstSamples = oggdec(first).size() / 4;
    const size_t secondSamples = oggdec(second).size() / 4;
    const Bytes expected = oggdec(chained, true);
    ASSERT_EQ(expected.size() / 4, firstSamples + secondSamples);

    OpenedCodec oc;
    oc.openDisk(chained);
    ASSERT_EQ(oc.opened, AURA_OK);
    EXPECT_EQ(oc.format().lengthpcm, firstSamples + secondSamples);
    EXPECT_EQ(tagValue(oc.codec->mMetadata, "ARTIST"), "First");
    EXPECT_TRUE(samePCM(readToEnd(oc.codec, {8192, 3000}), expected));
    // The second link brought its own comment block.
    EXPECT_EQ(tagValue(oc.codec->mMetadata, "ARTIST"), "Second");
}

TEST_F(OggFiles, StreamThatCannotSeekHasUnknownLengthAndDecodesFromTheStart)
{
    const fs::path path = makeOgg("stream", 44100, 2, 1.0, "-c ARTIST=Someone");
    const Bytes ogg = readAll(path);
    const Bytes expected = oggdec(path);

    ForwardSource source{&ogg};
    OpenedCodec oc;
    oc.attach(forwardFile(source, 16384));
    ASSERT_EQ(oc.opened, AURA_OK);
    EXPECT_FALSE(oc.codec->mFile->getFlags() & AURA::File::FLAG_SEEKABLE);
    EXPECT_EQ(oc.format().lengthpcm, AURA::CodecOggVorbis::LENGTH_UNSEEKABLE);
    EXPECT_EQ(tagValue(oc.codec->mMetadata, "ARTIST"), "Someone");
    // vorbisfile is told it cannot seek.
    EXPECT_EQ(AURA::AURA_OggVorbis_SeekCallback(oc.codec, 0, SEEK_SET), -1);
    EXPECT_EQ(oc.codec->setPosition(0, 1000, AURA_TIMEUNIT_PCM), AURA_ERR_FILE_COULDNOTSEEK);

    EXPECT_TRUE(samePCM(readToEnd(oc.codec, {4096, 999}), expected));
}

TEST_F(OggFiles, RiffWrapperWithOggTagDecodesAndOtherTagsAreRefused)
{
    const fs::path path = makeOgg("wrapped", 44100, 2, 0.9);
    const Bytes ogg = readAll(path);
    const Bytes expected = oggdec(path);

    std::vector<Bytes> chunks = {chunk("fmt ", formatChunk(AURA::CodecOggVorbis::WAVE_FORMAT_OGGVORBIS)),
                                 list("adtl", {chunk("labl", Bytes{1, 0, 0, 0, 'x'})}),
                                 chunk("odd ", Bytes{1, 2, 3}), // padded
                                 chunk("smpl", auratest::smplBody(1, 100, 0x2710))};
    const size_t dataOffset = riff(chunks).size() + 8;
    chunks.push_back(chunk("data", ogg));
    chunks.push_back(chunk("junk", Bytes(100, 0xAB))); // after the audio: vorbisfile must not see it
    const Bytes wrapped = riff(chunks);

    {
        OpenedCodec oc;
        oc.openMemory(wrapped);
        ASSERT_EQ(oc.opened, AURA_OK);
        EXPECT_EQ(oc.codec->mSrcDataOffset, dataOffset);
        EXPECT_EQ(oc.format().lengthbytes, ogg.size());
        EXPECT_EQ(oc.format().lengthpcm, expected.size() / 4);
        EXPECT_EQ(oc.format().loopstart, 100u);
        EXPECT_EQ(oc.format().loopend, 0x2710u);
        // vorbisfile sees the data chunk as its whole stream.
        EXPECT_EQ(AURA::AURA_OggVorbis_SeekCallback(oc.codec, 0, SEEK_END), 0);
        EXPECT_EQ(AURA::AURA_OggVorbis_TellCallback(oc.codec), static_cast<long>(ogg.size()));
        EXPECT_EQ(AURA::AURA_OggVorbis_SeekCallback(oc.codec, 0, SEEK_SET), 0);
        EXPECT_EQ(AURA::AURA_OggVorbis_TellCallback(oc.codec), 0);
        ASSERT_EQ(oc.codec->setPosition(0, 0, AURA_TIMEUNIT_PCM), AURA_OK);
        EXPECT_TRUE(samePCM(readToEnd(oc.codec, {4096, 1234}), expected));
    }
    for (const uint16_t tag : {uint16_t{1}, uint16_t{0x55}, uint16_t{0x674F}}) {
        const Bytes file = riff({chunk("fmt ", formatChunk(tag)), chunk("data", ogg)});
        OpenedCodec oc;
        oc.openMemory(file);
        EXPECT_EQ(oc.opened, AURA_ERR_FORMAT) << "tag " << tag;
    }
}

TEST_F(OggFiles, RiffWalkSurvivesHostileChunks)
{
    const fs::path path = makeOgg("wrapped", 22050, 1, 0.4);
    const Bytes ogg = readAll(path);
    const Bytes expected = oggdec(path);

    // LISTs nested far deeper than the walk goes, then the real chunks.
    Bytes deep = list("deep", {});
    for (int i = 0; i < 200; ++i) {
        deep = list("deep", {deep});
    }
    const Bytes format = chunk("fmt ", formatChunk(AURA::CodecOggVorbis::WAVE_FORMAT_OGGVORBIS));
    {
        const Bytes file = riff({deep, format, chunk("data", ogg)});
        OpenedCodec oc;
        oc.openMemory(file);
        ASSERT_EQ(oc.opened, AURA_OK);
        EXPECT_TRUE(samePCM(readToEnd(oc.codec, {4096}), expected));
    }
    // A chunk claiming 4 GiB ends the walk before "data": not found, 25.
    {
        const Bytes file = riff({format, chunkSized("big ", 0xFFFFFFFF, {}), chunk("data", ogg)});
        OpenedCodec oc;
        oc.openMemory(file);
        EXPECT_EQ(oc.opened, AURA_ERR_FORMAT);
    }
    // A data chunk longer than the file is cut to the file; a "smpl" too
    // short for a loop and a "fmt " too short for a tag are ignored.
    {
        const Bytes file = riff({chunk("fmt ", Bytes{0x50}), format, chunk("smpl", Bytes(40, 1)),
                                 chunkSized("data", 0x7FFFFFF0, ogg)});
        OpenedCodec oc;
        oc.openMemory(file);
        ASSERT_EQ(oc.opened, AURA_OK);
        EXPECT_EQ(oc.format().lengthbytes, ogg.size());
        EXPECT_EQ(oc.format().loopend, 0u);
        EXPECT_TRUE(samePCM(readToEnd(oc.codec, {4096}), expected));
    }
}

TEST_F(OggFiles, SeeksAreSampleExact)
{
    const fs::path ogg = makeOgg("seek", 44100, 2, 2.0);
    const Bytes expected = oggdec(ogg);
    const size_t frames = expected.size() / 4;

    OpenedCodec oc;
    oc.openDisk(ogg);
    ASSERT_EQ(oc.opened, AURA_OK);
    Bytes buffer(8192);
    for (const size_t target : {size_t{12345}, size_t{0}, size_t{1}, frames / 2, frames - 100, size_t{4095}}) {
        SCOPED_TRACE(target);
        ASSERT_EQ(oc.codec->setPosition(0, static_cast<unsigned int>(target), AURA_TIMEUNIT_PCM), AURA_OK);
        unsigned int got = 0;
        const AURA_RESULT result = oc.codec->read(buffer.data(), static_cast<unsigned int>(buffer.size()), &got);
        ASSERT_EQ(result, AURA_OK);
        ASSERT_GT(got, 0u);
        const size_t from = target * 4;
        ASSERT_LE(from + got, expected.size());
        EXPECT_TRUE(samePCM(Bytes(buffer.begin(), buffer.begin() + got),
                            Bytes(expected.begin() + static_cast<std::ptrdiff_t>(from),
                                  expected.begin() + static_cast<std::ptrdiff_t>(from + got))));
    }
    // Milliseconds arrive as samples through the framework.
    ASSERT_EQ(oc.codec->setPosition(0, 1000, AURA_TIMEUNIT_MS), AURA_OK);
    unsigned int got = 0;
    ASSERT_EQ(oc.codec->read(buffer.data(), 400, &got), AURA_OK);
    EXPECT_TRUE(samePCM(Bytes(buffer.begin(), buffer.begin() + got),
                        Bytes(expected.begin() + 44100 * 4, expected.begin() + 44100 * 4 + got)));
    // Past the end vorbisfile refuses.
    EXPECT_EQ(oc.codec->setPosition(0, static_cast<unsigned int>(frames + 10), AURA_TIMEUNIT_PCM),
              AURA_ERR_FILE_COULDNOTSEEK);
}

TEST_F(OggFiles, ForeignAndBrokenFilesAreRefusedOrEndCleanly)
{
    const fs::path path = makeOgg("tone", 44100, 2, 3.0, "", true);
    const Bytes ogg = readAll(path);
    std::mt19937 rng(7);
    Bytes noise(5000);
    for (auto &b : noise) {
        b = static_cast<uint8_t>(rng());
    }
    Bytes fakeOgg{'O', 'g', 'g', 'S'};
    fakeOgg.insert(fakeOgg.end(), noise.begin(), noise.end());
    const Bytes wav = readAll(mDir / "tone.wav");
    const Bytes headersOnly(ogg.begin(), ogg.begin() + 100);

    for (const Bytes *input : std::array<const Bytes *, 4>{&wav, &noise, &fakeOgg, &headersOnly}) {
        OpenedCodec oc;
        oc.openMemory(*input);
        EXPECT_EQ(oc.opened, AURA_ERR_FORMAT) << input->size() << " bytes";
    }
    {
        const fs::path empty = mDir / "empty.ogg";
        writeAll(empty, Bytes{});
        OpenedCodec oc;
        oc.openDisk(empty);
        EXPECT_EQ(oc.opened, AURA_ERR_FORMAT);
    }
    // Cut in the middle: what is there decodes, then 22.
    const fs::path cut = mDir / "cut.ogg";
    writeAll(cut, Bytes(ogg.begin(), ogg.begin() + static_cast<std::ptrdiff_t>(ogg.size() * 6 / 10)));
    const Bytes expected = oggdec(cut);
    ASSERT_GT(expected.size(), 0u);
    OpenedCodec oc;
    oc.openDisk(cut);
    ASSERT_EQ(oc.opened, AURA_OK);
    EXPECT_TRUE(samePCM(readToEnd(oc.codec, {4096}), expected));
}

TEST_F(OggFiles, CraftedGranulePositionsGiveTheDecodedLengthAndReadsStillEnd)
{
    const fs::path path = makeOgg("tone", 44100, 2, 2.0, "", true);
    const Bytes original = readAll(path);
    const size_t realBytes = oggdec(path).size();

    // Beyond 32 bits, and a link just under 2^32 chained with another one
    // whose 64-bit sum would wrap a 32-bit counter to something small.
    for (const uint64_t granule : {uint64_t{1} << 40, uint64_t{0xC0000000u}}) {
        SCOPED_TRACE(granule);
        Bytes crafted = original;
        ASSERT_TRUE(auratest::setLastGranule(crafted, granule));
        const fs::path file = mDir / "crafted.ogg";
        writeAll(file, crafted);
        const Bytes theirs = oggdec(file);

        // The length is what the pages hold, whatever the last one claims.
        OpenedCodec oc;
        oc.openMemory(crafted);
        ASSERT_EQ(oc.opened, AURA_OK);
        EXPECT_EQ(oc.format().lengthpcm, theirs.size() / 4);
        const Bytes ours = readToEnd(oc.codec, {16384});
        EXPECT_TRUE(samePCM(ours, theirs));
        EXPECT_LE(ours.size(), realBytes + 4096 * 4);

        // Two such links: the first keeps its claim; the 64-bit sum is
        // clamped, never wrapped.
        Bytes twice = crafted;
        Bytes copy = crafted;
        ASSERT_TRUE(auratest::setSerial(copy, 0x5EC0));
        twice.insert(twice.end(), copy.begin(), copy.end());
        OpenedCodec chained;
        chained.openMemory(twice);
        ASSERT_EQ(chained.opened, AURA_OK);
        EXPECT_GE(chained.format().lengthpcm, std::min<uint64_t>(granule, AURA::CodecOggVorbis::LENGTH_MAX));
        EXPECT_LE(chained.format().lengthpcm, AURA::CodecOggVorbis::LENGTH_MAX);
    }
}

TEST_F(OggFiles, DataSourceCallbacksSpeakVorbisfilesLanguage)
{
    const fs::path path = makeOgg("tone", 22050, 1, 0.5);
    const Bytes ogg = readAll(path);
    OpenedCodec oc;
    oc.openMemory(ogg);
    ASSERT_EQ(oc.opened, AURA_OK);
    void *source = oc.codec;

    // Seek answers 0 or -1 only; offsets beyond 32 bits are refused, not
    // truncated to their low bits.
    EXPECT_EQ(AURA::AURA_OggVorbis_SeekCallback(source, 100, SEEK_SET), 0);
    EXPECT_EQ(AURA::AURA_OggVorbis_TellCallback(source), 100);
    EXPECT_EQ(AURA::AURA_OggVorbis_SeekCallback(source, (ogg_int64_t{1} << 32) + 16, SEEK_SET), -1);
    EXPECT_EQ(AURA::AURA_OggVorbis_TellCallback(source), 100);
    EXPECT_EQ(AURA::AURA_OggVorbis_SeekCallback(source, -(ogg_int64_t{1} << 32) + 16, SEEK_CUR), -1);
    EXPECT_EQ(AURA::AURA_OggVorbis_SeekCallback(source, INT64_MIN, SEEK_END), -1);
    EXPECT_EQ(AURA::AURA_OggVorbis_SeekCallback(source, -1, SEEK_SET), -1);
    EXPECT_EQ(AURA::AURA_OggVorbis_SeekCallback(source, 0, 7), -1);
    EXPECT_EQ(AURA::AURA_OggVorbis_TellCallback(source), 100);
    EXPECT_EQ(AURA::AURA_OggVorbis_SeekCallback(source, -10, SEEK_CUR), 0);
    EXPECT_EQ(AURA::AURA_OggVorbis_TellCallback(source), 90);
    EXPECT_EQ(AURA::AURA_OggVorbis_SeekCallback(source, -4, SEEK_END), 0);
    EXPECT_EQ(AURA::AURA_OggVorbis_TellCallback(source), static_cast<long>(ogg.size() - 4));

    // A short read at the end clears errno; so does a full read.
    char buffer[16];
    errno = EINTR;
    EXPECT_EQ(AURA::AURA_OggVorbis_ReadCallback(buffer, 1, sizeof(buffer), source), 4u);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(std::memcmp(buffer, ogg.data() + ogg.size() - 4, 4), 0);
    errno = EINTR;
    EXPECT_EQ(AURA::AURA_OggVorbis_ReadCallback(buffer, 1, sizeof(buffer), source), 0u);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(AURA::AURA_OggVorbis_SeekCallback(source, 0, SEEK_SET), 0);
    errno = EINTR;
    EXPECT_EQ(AURA::AURA_OggVorbis_ReadCallback(buffer, 1, sizeof(buffer), source), sizeof(buffer));
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(std::memcmp(buffer, "OggS", 4), 0);
    // Items larger than a byte come back whole.
    EXPECT_EQ(AURA::AURA_OggVorbis_SeekCallback(source, -6, SEEK_END), 0);
    EXPECT_EQ(AURA::AURA_OggVorbis_ReadCallback(buffer, 4, 4, source), 1u);
}

TEST_F(OggFiles, ReadErrorOfTheFileIsAnErrorForVorbisfile)
{
    const fs::path path = makeOgg("tone", 44100, 2, 3.0);
    const Bytes ogg = readAll(path);
    const size_t decoded = oggdec(path).size();
    ForwardSource source{&ogg};
    OpenedCodec oc;
    oc.attach(forwardFile(source, 0));
    // An unbuffered file that cannot seek cannot even be rewound to 0.
    EXPECT_EQ(oc.opened, AURA_ERR_FILE_COULDNOTSEEK);

    ForwardSource failing{&ogg};
    OpenedCodec broken;
    broken.attach(forwardFile(failing, 4096));
    ASSERT_EQ(broken.opened, AURA_OK);
    Bytes buffer(4096);
    unsigned int got = 0;
    ASSERT_EQ(broken.codec->read(buffer.data(), 4096, &got), AURA_OK);
    failing.failReads = true;
    char bytes[65536];
    errno = 0;
    size_t total = 0;
    size_t n = 0;
    do {
        n = AURA::AURA_OggVorbis_ReadCallback(bytes, 1, sizeof(bytes), broken.codec);
        total += n;
    } while (n > 0 && total < ogg.size());
    EXPECT_EQ(n, 0u);
    EXPECT_NE(errno, 0);
    // The decoder sees a read error: the stream ends with 22, no hang.
    const Bytes rest = readToEnd(broken.codec, {4096});
    EXPECT_LT(got + rest.size(), decoded);
}

} // namespace
