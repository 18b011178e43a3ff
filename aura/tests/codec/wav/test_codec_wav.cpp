// The WAV codec against sox's own files and decodes, and against crafted
// RIFF files: chunk walking, cue points and labels, sampler loops, and
// hostile sizes.
#include "codec/aura_codec.h"
#include "codec/wav/aura_codec_wav.h"
#include "base/aura_memory.h"
#include "sound/aura_soundi.h"
#include "file/aura_file_memory.h"
#include "file/aura_file_user.h"
#include "engine.h"
#include "files.h"
#include "tools.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/tests/test_codec_wav";

using auratest::Bytes;
using auratest::capture;
using auratest::ForwardSource;
using auratest::run;
using auratest::TempDir;

// ---------------------------------------------------------------------------
// Crafted files.

using auratest::chunk;
using auratest::chunkSized;
using auratest::cueBody;
using auratest::fmtBody;
using auratest::lablBody;
using auratest::list;
using auratest::put16;
using auratest::put32;
using auratest::putId;
using auratest::riff;
using auratest::smplBody;

Bytes pcm16Fmt(uint16_t channels = 1)
{
    return chunk("fmt ", fmtBody(1, channels, 8000, static_cast<uint16_t>(2 * channels), 16));
}

// n 16-bit mono samples counting up from `first`.
Bytes ramp16(unsigned int n, int first = 0)
{
    Bytes b;
    for (unsigned int i = 0; i < n; ++i) {
        put16(b, static_cast<uint16_t>(first + static_cast<int>(i)));
    }
    return b;
}

// ---------------------------------------------------------------------------
// Driving the codec.

struct CodecDeleter {
    void operator()(AURA::Codec *codec) const { (void)codec->release(); }
};
using CodecPtr = std::unique_ptr<AURA::Codec, CodecDeleter>;

// A WAV codec over a new file of type F that `openFile` opens; the codec
// owns the file.
template <class F, class OpenFile>
AURA_RESULT openCodec(CodecPtr &out, OpenFile &&openFile, AURA_MODE mode = 0)
{
    AURA::Codec *codec = nullptr;
    if (AURA::Codec::create(*AURA::CodecWav::getDescriptionEx(), nullptr, &codec) != AURA_OK) {
        return AURA_ERR_MEMORY;
    }
    out.reset(codec);
    auto *file = AURA_New(F);
    if (!file) {
        return AURA_ERR_MEMORY;
    }
    codec->mFile = file;
    const AURA_RESULT result = openFile(*file);
    return result == AURA_OK ? codec->open(mode, nullptr) : result;
}

// Opens bytes held by the caller (they must outlive the codec).
AURA_RESULT openMemory(const Bytes &data, CodecPtr &out, AURA_MODE mode = 0)
{
    return openCodec<AURA::MemoryFile>(
        out, [&](AURA::MemoryFile &file) { return auratest::openMemoryFile(file, data); }, mode);
}

AURA_RESULT openForward(ForwardSource &src, CodecPtr &out)
{
    return openCodec<AURA::UserFile>(out, [&](AURA::UserFile &file) {
        const AURA_RESULT result = auratest::openForwardFile(file, src, 0);
        if (result == AURA_OK) {
            EXPECT_EQ(file.getFlags() & AURA::File::FLAG_SEEKABLE, 0u);
        }
        return result;
    });
}

// Reads to the end in pieces of the given sizes (cycled); the last result
// is kept in `last`.
Bytes readAll(AURA::Codec &codec, const std::vector<unsigned int> &pieces = {65536},
              AURA_RESULT *last = nullptr, size_t limit = 64u << 20)
{
    Bytes out;
    AURA_RESULT result = AURA_OK;
    for (size_t i = 0; out.size() < limit; ++i) {
        const unsigned int want = pieces[i % pieces.size()];
        Bytes piece(want);
        unsigned int got = 0;
        result = codec.read(piece.data(), want, &got);
        EXPECT_LE(got, want);
        out.insert(out.end(), piece.begin(), piece.begin() + std::min(got, want));
        if (result != AURA_OK || got == 0) {
            break;
        }
    }
    if (last) {
        *last = result;
    }
    return out;
}

AURA::SoundI *newSound()
{
    return AURA_New(AURA::SoundI);
}

AURA_SOUND *handleOf(AURA::SoundI *sound)
{
    return reinterpret_cast<AURA_SOUND *>(static_cast<AURA::Sound *>(sound));
}

// ---------------------------------------------------------------------------
// Every variant sox writes, decoded bit for bit as sox decodes it.

struct SoxVariant {
    const char *name;
    const char *writeArgs;     // output encoding for `sox -n`
    const char *rawArgs;       // sox's raw decode in the format the codec delivers
    AURA_SOUND_FORMAT format;
    int channels;
    bool extensible;
};

const SoxVariant kVariants[] = {
    {"u8mono", "-c 1 -e unsigned-integer -b 8", "-e signed-integer -b 8", AURA_SOUND_FORMAT_PCM8, 1, false},
    {"u8stereo", "-c 2 -e unsigned-integer -b 8", "-e signed-integer -b 8", AURA_SOUND_FORMAT_PCM8, 2, false},
    {"s16mono", "-c 1 -e signed-integer -b 16", "-e signed-integer -b 16", AURA_SOUND_FORMAT_PCM16, 1, false},
    {"s16stereo", "-c 2 -e signed-integer -b 16", "-e signed-integer -b 16", AURA_SOUND_FORMAT_PCM16, 2, false},
    {"s16six", "-c 6 -e signed-integer -b 16", "-e signed-integer -b 16", AURA_SOUND_FORMAT_PCM16, 6, true},
    {"s24stereo", "-c 2 -e signed-integer -b 24", "-e signed-integer -b 24", AURA_SOUND_FORMAT_PCM24, 2, true},
    {"s24mono", "-c 1 -e signed-integer -b 24", "-e signed-integer -b 24", AURA_SOUND_FORMAT_PCM24, 1, true},
    {"s32mono", "-c 1 -e signed-integer -b 32", "-e signed-integer -b 32", AURA_SOUND_FORMAT_PCM32, 1, true},
    {"floatstereo", "-c 2 -e floating-point -b 32", "-e floating-point -b 32", AURA_SOUND_FORMAT_PCMFLOAT, 2,
     false},
    {"floatmono", "-c 1 -e floating-point -b 32", "-e floating-point -b 32", AURA_SOUND_FORMAT_PCMFLOAT, 1, false},
    {"imamono", "-c 1 -e ima-adpcm", "-e signed-integer -b 16", AURA_SOUND_FORMAT_PCM16, 1, false},
    {"imastereo", "-c 2 -e ima-adpcm", "-e signed-integer -b 16", AURA_SOUND_FORMAT_PCM16, 2, false},
    {"imaquad", "-c 4 -e ima-adpcm", "-e signed-integer -b 16", AURA_SOUND_FORMAT_PCM16, 4, false},
};

class WavSoxFiles : public ::testing::TestWithParam<SoxVariant> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(mDir.ok());
        const SoxVariant &v = GetParam();
        mWav = mDir.file(std::string(v.name) + ".wav");
        // A sweep with noise on top: every code path of the decoders is hit.
        const std::string make = std::string("sox -D -n -r 22050 ") + v.writeArgs + " " + mWav +
                                 " synth 0.37 sine 200-6000 whitenoise vol 0.6";
        ASSERT_TRUE(run(make)) << make;
        const std::string raw = mDir.file(std::string(v.name) + ".raw");
        const std::string decode = std::string("sox -D ") + mWav + " -t raw " + v.rawArgs + " " + raw;
        ASSERT_TRUE(run(decode)) << decode;
        mFile = auratest::readAll(mWav);
        mReference = auratest::readAll(raw);
        mSamples = std::stoul(capture("soxi -s " + mWav));
        ASSERT_GT(mSamples, 0u);
    }

    TempDir mDir;
    std::string mWav;
    Bytes mFile;
    Bytes mReference;
    unsigned long mSamples = 0;
};

TEST_P(WavSoxFiles, LengthFormatAndSamplesMatchSox)
{
    const SoxVariant &v = GetParam();
    CodecPtr codec;
    ASSERT_EQ(openMemory(mFile, codec), AURA_OK);
    const AURA_CODEC_WAVEFORMAT &wf = codec->state()->waveformat[0];
    EXPECT_EQ(wf.format, v.format);
    EXPECT_EQ(wf.channels, v.channels);
    EXPECT_EQ(wf.frequency, 22050);
    EXPECT_EQ(wf.lengthpcm, mSamples);
    if (v.extensible) {
        EXPECT_NE(wf.channelmask, 0u) << "sox writes a channel mask in extensible files";
    }
    unsigned int rawLength = 0;
    ASSERT_EQ(codec->getLength(&rawLength, AURA_TIMEUNIT_RAWBYTES), AURA_OK);
    EXPECT_EQ(rawLength, wf.lengthbytes);

    AURA_RESULT last = AURA_OK;
    const Bytes pcm = readAll(*codec, {65536}, &last);
    EXPECT_EQ(last, AURA_ERR_FILE_EOF);
    const int frameBytes = AURA::getBitsFromFormat(v.format) / 8 * v.channels;
    EXPECT_EQ(pcm.size(), mSamples * static_cast<unsigned long>(frameBytes));
    ASSERT_EQ(pcm.size(), mReference.size());
    EXPECT_TRUE(pcm == mReference) << "first difference at byte "
                                   << (std::mismatch(pcm.begin(), pcm.end(), mReference.begin()).first - pcm.begin());

    // Only plain integer PCM above 8 bits and float can be used in place.
    const bool inPlace = v.format != AURA_SOUND_FORMAT_PCM8 && std::string(v.name).rfind("ima", 0) != 0;
    EXPECT_EQ(codec->mDescription.canpoint(codec->state()), inPlace ? AURA_OK : AURA_ERR_MEMORY_CANTPOINT);
}

TEST_P(WavSoxFiles, SeekingMatchesDecodingFromTheStart)
{
    const SoxVariant &v = GetParam();
    CodecPtr codec;
    ASSERT_EQ(openMemory(mFile, codec), AURA_OK);
    const Bytes all = readAll(*codec);
    const size_t frameBytes = static_cast<size_t>(AURA::getBitsFromFormat(v.format) / 8 * v.channels);
    ASSERT_EQ(all.size(), mSamples * frameBytes);
    // Block edges of sox's IMA files (505 and 1017 samples per block for
    // 256- and 1024-byte blocks) and points inside them.
    const unsigned int positions[] = {0,   1,   500, 504, 505, 506, 777, 1016, 1017, 1018, 3000,
                                      static_cast<unsigned int>(mSamples - 1), static_cast<unsigned int>(mSamples / 2)};
    for (const unsigned int n : positions) {
        ASSERT_EQ(codec->setPosition(0, n, AURA_TIMEUNIT_PCM), AURA_OK) << n;
        const Bytes rest = readAll(*codec, {4000, 333});
        ASSERT_EQ(rest.size(), all.size() - n * frameBytes) << "seek to " << n;
        EXPECT_TRUE(std::equal(rest.begin(), rest.end(), all.begin() + static_cast<long>(n * frameBytes)))
            << "seek to " << n;
    }
    // Past the end: nothing more to read.
    ASSERT_EQ(codec->setPosition(0, static_cast<unsigned int>(mSamples + 10), AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_TRUE(readAll(*codec).empty());
}

INSTANTIATE_TEST_SUITE_P(Variants, WavSoxFiles, ::testing::ValuesIn(kVariants),
                         [](const ::testing::TestParamInfo<SoxVariant> &info) { return info.param.name; });

// ---------------------------------------------------------------------------
// IMA ADPCM details.

TEST(WavImaAdpcm, OddReadSizesStageTheSameBytesAndEndWithTheirBytes)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string wav = dir.file("ima.wav");
    ASSERT_TRUE(run("sox -D -n -r 44100 -c 2 -e ima-adpcm " + wav + " synth 0.21 sine 300-5000 whitenoise vol 0.5"));
    const Bytes file = auratest::readAll(wav);

    CodecPtr whole;
    ASSERT_EQ(openMemory(file, whole), AURA_OK);
    // Each refill decodes one block: channels x samples per block x 2 bytes.
    const unsigned int perBlock = file[38] | file[39] << 8;
    EXPECT_EQ(whole->mPCMBufferLengthBytes, 2u * perBlock * 2u);
    const unsigned int total = whole->state()->waveformat[0].lengthpcm * 4;
    Bytes big(total + 100);
    unsigned int got = 0;
    EXPECT_EQ(whole->read(big.data(), total + 100, &got), AURA_ERR_FILE_EOF);
    ASSERT_EQ(got, total);
    big.resize(got);

    CodecPtr pieces;
    ASSERT_EQ(openMemory(file, pieces), AURA_OK);
    AURA_RESULT last = AURA_OK;
    const Bytes odd = readAll(*pieces, {1, 3, 7, 4095, 4068, 13, 9999}, &last);
    EXPECT_EQ(last, AURA_ERR_FILE_EOF);
    EXPECT_TRUE(odd == big);

    // The last partial read returns 22 with the bytes it has.
    ASSERT_EQ(pieces->setPosition(0, total / 4 - 10, AURA_TIMEUNIT_PCM), AURA_OK);
    Bytes tail(100);
    EXPECT_EQ(pieces->read(tail.data(), 100, &got), AURA_ERR_FILE_EOF);
    EXPECT_EQ(got, 40u);
    EXPECT_TRUE(std::equal(tail.begin(), tail.begin() + 40, big.end() - 40));
}

// One mono IMA block: header, then codes.
Bytes imaBlock(int16_t first, uint8_t index, const Bytes &codes)
{
    Bytes b;
    put16(b, static_cast<uint16_t>(first));
    b.push_back(index);
    b.push_back(0);
    b.insert(b.end(), codes.begin(), codes.end());
    return b;
}

TEST(WavImaAdpcm, DecoderStepsClampsAndRefusesBadStepIndices)
{
    // Index 0 (step 7): code 7 adds (7>>3) + 7 + 3 + 1 = 11, then the index
    // moves to 8 (step 16): code 0xF subtracts 2 + 16 + 8 + 4 = 30.
    Bytes block = imaBlock(100, 0, {0xF7, 0x00});
    short out[5] = {};
    ASSERT_EQ(AURA::IMAAdpcm_DecodeM16(block.data(), out, 1, 6, 5, 1), AURA_OK);
    EXPECT_EQ(out[0], 100);
    EXPECT_EQ(out[1], 111);
    EXPECT_EQ(out[2], 81);
    // Index after 0xF is 16 (step 34): code 0 adds 34>>3 = 4, then index
    // 15 (step 31) adds 3.
    EXPECT_EQ(out[3], 85);
    EXPECT_EQ(out[4], 88);

    // The predictor saturates.
    Bytes loud = imaBlock(32760, 88, {0x77});
    short high[3] = {};
    ASSERT_EQ(AURA::IMAAdpcm_DecodeM16(loud.data(), high, 1, 5, 3, 1), AURA_OK);
    EXPECT_EQ(high[1], 32767);
    EXPECT_EQ(high[2], 32767);

    Bytes bad = imaBlock(0, 89, {0x00});
    EXPECT_EQ(AURA::IMAAdpcm_DecodeM16(bad.data(), high, 1, 5, 3, 1), AURA_ERR_FILE_BAD);
    // More samples than the block holds is refused before any byte is read.
    EXPECT_EQ(AURA::IMAAdpcm_DecodeM16(bad.data(), high, 1, 5, 4, 1), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(AURA::IMAAdpcm_DecodeM16(bad.data(), high, 0, 5, 3, 1), AURA_OK);
}

TEST(WavImaAdpcm, StereoGroupsInterleaveFourBytesPerChannel)
{
    // Left codes all 0, right codes all 4: the channels diverge as they must.
    Bytes block;
    put16(block, 0);
    block.push_back(0);
    block.push_back(0);
    put16(block, 0);
    block.push_back(0);
    block.push_back(0);
    for (int g = 0; g < 2; ++g) {
        block.insert(block.end(), 4, 0x00);
        block.insert(block.end(), 4, 0x44);
    }
    const unsigned int perBlock = 17;
    std::vector<short> out(perBlock * 2);
    ASSERT_EQ(AURA::IMAAdpcm_DecodeS16(block.data(), out.data(), 1, static_cast<unsigned int>(block.size()), perBlock),
              AURA_OK);
    std::vector<short> left(perBlock);
    std::vector<short> right(perBlock);
    // The mono decoder over each channel's own bytes gives the same samples.
    Bytes l = imaBlock(0, 0, Bytes(8, 0x00));
    Bytes r = imaBlock(0, 0, Bytes(8, 0x44));
    ASSERT_EQ(AURA::IMAAdpcm_DecodeM16(l.data(), left.data(), 1, 12, perBlock, 1), AURA_OK);
    ASSERT_EQ(AURA::IMAAdpcm_DecodeM16(r.data(), right.data(), 1, 12, perBlock, 1), AURA_OK);
    for (unsigned int i = 0; i < perBlock; ++i) {
        EXPECT_EQ(out[i * 2], left[i]) << i;
        EXPECT_EQ(out[i * 2 + 1], right[i]) << i;
    }
    EXPECT_EQ(left[perBlock - 1], 0);
    EXPECT_GT(right[perBlock - 1], 500);
}

TEST(WavImaAdpcm, KeptCompressedDeliversBlocksAndRefusesManyChannels)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string stereo = dir.file("s.wav");
    const std::string quad = dir.file("q.wav");
    ASSERT_TRUE(run("sox -D -n -r 22050 -c 2 -e ima-adpcm " + stereo + " synth 0.1 sine 440"));
    ASSERT_TRUE(run("sox -D -n -r 22050 -c 4 -e ima-adpcm " + quad + " synth 0.1 sine 440"));
    const Bytes s = auratest::readAll(stereo);
    const Bytes q = auratest::readAll(quad);

    CodecPtr codec;
    ASSERT_EQ(openMemory(s, codec, AURA_CREATECOMPRESSEDSAMPLE), AURA_OK);
    const AURA_CODEC_WAVEFORMAT wf = codec->state()->waveformat[0];
    EXPECT_EQ(wf.format, AURA_SOUND_FORMAT_IMAADPCM);
    const unsigned int blockalign = s[32] | s[33] << 8;
    const unsigned int perBlock = s[38] | s[39] << 8;
    EXPECT_EQ(wf.blockalign, static_cast<int>(blockalign));
    EXPECT_EQ(codec->mReadBufferLength, blockalign);
    EXPECT_EQ(codec->mPCMBufferLengthBytes, 0u);
    // The data comes out as it is stored.
    const Bytes data = readAll(*codec);
    ASSERT_EQ(data.size(), wf.lengthbytes);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), s.begin() + codec->mSrcDataOffset));
    // A seek lands on the start of the block that holds the sample.
    ASSERT_EQ(codec->setPosition(0, 1500, AURA_TIMEUNIT_PCM), AURA_OK);
    const Bytes fromBlock = readAll(*codec);
    EXPECT_EQ(fromBlock.size(), data.size() - 1500 / perBlock * blockalign);

    CodecPtr many;
    EXPECT_EQ(openMemory(q, many, AURA_CREATECOMPRESSEDSAMPLE), AURA_ERR_TOOMANYCHANNELS);
    CodecPtr decoded;
    EXPECT_EQ(openMemory(q, decoded), AURA_OK);
}

// ---------------------------------------------------------------------------
// Chunks around the audio.

TEST(WavChunks, CuePointsAndLabelsBecomeNamedSyncPoints)
{
    const std::string longLabel(300, 'x');
    const Bytes file = riff({pcm16Fmt(), chunk("data", ramp16(1000)),
                             chunk("cue ", cueBody({{7, 800}, {3, 100}, {9, 400}, {12, 50}})),
                             list("adtl", {chunk("labl", lablBody(3, "intro")), chunk("labl", lablBody(9, "drop")),
                                           chunk("labl", lablBody(42, "nobody")),
                                           chunk("labl", lablBody(12, longLabel))})});
    CodecPtr codec;
    ASSERT_EQ(openMemory(file, codec), AURA_OK);
    auto *wav = static_cast<AURA::CodecWav *>(codec.get());
    ASSERT_EQ(wav->mNumSyncPoints, 4);

    AURA::SoundI *sound = newSound();
    ASSERT_NE(sound, nullptr);
    ASSERT_NE(codec->mDescription.soundcreate, nullptr);
    ASSERT_EQ(codec->mDescription.soundcreate(codec->state(), 0, handleOf(sound)), AURA_OK);
    // The sound keeps sorted copies; the codec's array is gone.
    EXPECT_EQ(wav->mNumSyncPoints, 0);
    EXPECT_EQ(wav->mSyncPoint, nullptr);
    ASSERT_EQ(sound->mNumSyncPoints, 4);
    EXPECT_EQ(sound->mSyncPoint[0].mOffset, 50u);
    EXPECT_EQ(std::string(sound->mSyncPoint[0].mName), std::string(255, 'x'));
    EXPECT_EQ(sound->mSyncPoint[1].mOffset, 100u);
    EXPECT_STREQ(sound->mSyncPoint[1].mName, "intro");
    EXPECT_EQ(sound->mSyncPoint[2].mOffset, 400u);
    EXPECT_STREQ(sound->mSyncPoint[2].mName, "drop");
    EXPECT_EQ(sound->mSyncPoint[3].mOffset, 800u);
    EXPECT_STREQ(sound->mSyncPoint[3].mName, "");
    (void)sound->releaseInternal(true);

    // The audio is still found and read.
    ASSERT_EQ(codec->setPosition(0, 0, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_TRUE(readAll(*codec) == ramp16(1000));
}

TEST(WavChunks, SamplerLoopSetsTheLoopAndZeroLoopsLeaveIt)
{
    const Bytes looped = riff({pcm16Fmt(), chunk("data", ramp16(500)), chunk("smpl", smplBody(1, 100, 399))});
    CodecPtr codec;
    ASSERT_EQ(openMemory(looped, codec), AURA_OK);
    AURA_CODEC_WAVEFORMAT wf = codec->state()->waveformat[0];
    EXPECT_EQ(wf.loopstart, 100u);
    EXPECT_EQ(wf.loopend, 399u);
    EXPECT_EQ(wf.mode, static_cast<AURA_MODE>(AURA_LOOP_NORMAL));

    const Bytes none = riff({pcm16Fmt(), chunk("smpl", smplBody(0, 100, 399)), chunk("data", ramp16(500))});
    CodecPtr plain;
    ASSERT_EQ(openMemory(none, plain), AURA_OK);
    wf = plain->state()->waveformat[0];
    EXPECT_EQ(wf.loopstart, 0u);
    EXPECT_EQ(wf.loopend, 0u);
    EXPECT_EQ(wf.mode, 0u);

    // A sampler chunk too short for its first loop is not read.
    Bytes shortBody = smplBody(1, 10, 20);
    shortBody.resize(50);
    const Bytes truncated = riff({pcm16Fmt(), chunk("smpl", shortBody), chunk("data", ramp16(500))});
    CodecPtr cut;
    ASSERT_EQ(openMemory(truncated, cut), AURA_OK);
    EXPECT_EQ(cut->state()->waveformat[0].mode, 0u);
    EXPECT_TRUE(readAll(*cut) == ramp16(500));
}

TEST(WavChunks, OddChunksArePaddedAndASecondDataChunkIsIgnored)
{
    const Bytes file = riff({chunk("junk", Bytes(3, 0xEE)), pcm16Fmt(2), chunk("odd!", Bytes(1, 1)),
                             chunk("data", ramp16(64, 10)), chunk("data", ramp16(64, 5000))});
    CodecPtr codec;
    ASSERT_EQ(openMemory(file, codec), AURA_OK);
    EXPECT_EQ(codec->state()->waveformat[0].channels, 2);
    EXPECT_EQ(codec->state()->waveformat[0].lengthpcm, 32u);
    EXPECT_TRUE(readAll(*codec) == ramp16(64, 10));
}

TEST(WavChunks, EightBitReadsAsSignedBytes)
{
    const Bytes file = riff({chunk("fmt ", fmtBody(1, 1, 8000, 1, 8)), chunk("data", {0x80, 0x00, 0xFF, 0x7F, 0x81})});
    CodecPtr codec;
    ASSERT_EQ(openMemory(file, codec), AURA_OK);
    EXPECT_EQ(codec->state()->waveformat[0].lengthpcm, 5u);
    EXPECT_TRUE(readAll(*codec) == Bytes({0x00, 0x80, 0x7F, 0xFF, 0x01}));
}

TEST(WavChunks, AFileThatCannotSeekStopsAtTheData)
{
    const Bytes file = riff({chunk("junk", Bytes(5000, 0x11)), pcm16Fmt(), chunk("data", ramp16(300)),
                             chunk("smpl", smplBody(1, 10, 200))});
    ForwardSource src;
    src.data = &file;
    CodecPtr codec;
    ASSERT_EQ(openForward(src, codec), AURA_OK);
    const AURA_CODEC_WAVEFORMAT wf = codec->state()->waveformat[0];
    EXPECT_EQ(wf.lengthpcm, 300u);
    EXPECT_EQ(wf.mode, 0u) << "the sampler chunk after the data is never reached";
    EXPECT_EQ(wf.loopend, 0u);
    EXPECT_TRUE(readAll(*codec, {77}) == ramp16(300));

    // The same file from memory sees the loop.
    CodecPtr seekable;
    ASSERT_EQ(openMemory(file, seekable), AURA_OK);
    EXPECT_EQ(seekable->state()->waveformat[0].loopend, 200u);
}

TEST(WavChunks, DataSizesAreClampedToTheFileAndToWholeFrames)
{
    // Claims far more than the file holds.
    Bytes data = chunkSized("data", 0x7FFFFFF0, ramp16(100));
    CodecPtr codec;
    const Bytes past = riff({pcm16Fmt(), data});
    ASSERT_EQ(openMemory(past, codec), AURA_OK);
    EXPECT_EQ(codec->state()->waveformat[0].lengthbytes, 200u);
    EXPECT_EQ(codec->state()->waveformat[0].lengthpcm, 100u);
    EXPECT_TRUE(readAll(*codec) == ramp16(100));

    // 3 stereo 16-bit frames and 3 stray bytes.
    Bytes body = ramp16(6);
    body.insert(body.end(), {1, 2, 3});
    const Bytes ragged = riff({pcm16Fmt(2), chunk("data", body)});
    CodecPtr frames;
    ASSERT_EQ(openMemory(ragged, frames), AURA_OK);
    EXPECT_EQ(frames->state()->waveformat[0].lengthpcm, 3u);
    EXPECT_EQ(frames->state()->waveformat[0].lengthbytes, 12u);
    EXPECT_TRUE(readAll(*frames) == ramp16(6));
}

TEST(WavChunks, RawByteSeeksAreRelativeToTheData)
{
    const Bytes file = riff({pcm16Fmt(), chunk("data", ramp16(100))});
    CodecPtr codec;
    ASSERT_EQ(openMemory(file, codec), AURA_OK);
    ASSERT_EQ(codec->setPosition(0, 20, AURA_TIMEUNIT_RAWBYTES), AURA_OK);
    EXPECT_TRUE(readAll(*codec) == ramp16(90, 10));
    EXPECT_EQ(codec->setPosition(0, 20, AURA_TIMEUNIT_MODROW), AURA_ERR_FORMAT);
}

// ---------------------------------------------------------------------------
// Hostile files: each gives a result, never a crash, hang or big allocation.

struct Hostile {
    const char *name;
    Bytes file;
    AURA_RESULT open;   // what open must answer
};

Bytes imaFmt(uint16_t channels, uint16_t blockalign, uint16_t perBlock)
{
    Bytes extra;
    put16(extra, perBlock);
    return chunk("fmt ", fmtBody(0x11, channels, 8000, blockalign, 4, extra));
}

Bytes nestedLists(int depth, const Bytes &inner)
{
    Bytes body = inner;
    for (int i = 0; i < depth; ++i) {
        body = list("deep", {body});
    }
    return body;
}

std::vector<Hostile> hostileFiles()
{
    std::vector<Hostile> files;
    const Bytes data = chunk("data", ramp16(64));
    files.push_back({"wrappingChunkSize", riff({pcm16Fmt(), chunkSized("junk", 0xFFFFFFF8u, Bytes(16, 0)), data}),
                     AURA_ERR_FORMAT});
    files.push_back({"wrappingRiffSize", riff({pcm16Fmt(), data}, 0xFFFFFFFFu), AURA_OK});
    files.push_back({"tinyRiffSize", riff({pcm16Fmt(), data}, 4), AURA_ERR_FORMAT});
    files.push_back({"zeroSizedChunks",
                     riff({chunkSized("aaaa", 0, {}), chunkSized("bbbb", 0, {}), pcm16Fmt(), data}), AURA_OK});
    files.push_back({"hugeCueCount", riff({pcm16Fmt(), chunk("cue ", cueBody({{1, 5}}, 0x7FFFFFFF)), data}),
                     AURA_OK});
    files.push_back({"cueCountPastTheFile",
                     riff({pcm16Fmt(), data, chunkSized("cue ", 0xFFFFFF00u, cueBody({{1, 5}, {2, 6}}, 100000))}),
                     AURA_OK});
    files.push_back({"shortLabl",
                     riff({pcm16Fmt(), chunk("cue ", cueBody({{1, 5}})), list("adtl", {chunk("labl", {1, 0})}), data}),
                     AURA_OK});
    files.push_back({"lablPastTheFile",
                     riff({pcm16Fmt(), data, chunk("cue ", cueBody({{1, 5}})),
                           chunkSized("labl", 0x40000000u, lablBody(1, "cut"))}),
                     AURA_OK});
    files.push_back({"shortSmpl", riff({pcm16Fmt(), chunk("smpl", Bytes(12, 0xFF)), data}), AURA_OK});
    files.push_back({"smplPastTheFile", riff({pcm16Fmt(), data, chunkSized("smpl", 60, Bytes(30, 0xFF))}), AURA_OK});
    files.push_back({"zeroChannels", riff({chunk("fmt ", fmtBody(1, 0, 8000, 2, 16)), data}), AURA_ERR_FORMAT});
    files.push_back({"zeroBits", riff({chunk("fmt ", fmtBody(1, 1, 8000, 2, 0)), data}), AURA_ERR_FORMAT});
    files.push_back({"oddBits", riff({chunk("fmt ", fmtBody(1, 1, 8000, 2, 12)), data}), AURA_ERR_FORMAT});
    files.push_back({"zeroBlockAlign", riff({chunk("fmt ", fmtBody(1, 1, 8000, 0, 16)), data}), AURA_ERR_FORMAT});
    files.push_back({"floatOf16Bits", riff({chunk("fmt ", fmtBody(3, 1, 8000, 2, 16)), data}), AURA_ERR_FORMAT});
    files.push_back({"mpegTag", riff({chunk("fmt ", fmtBody(0x55, 1, 8000, 1, 0)), data}), AURA_ERR_FORMAT});
    files.push_back({"extensibleUnknownGuid",
                     riff({chunk("fmt ", fmtBody(0xFFFE, 1, 8000, 2, 16, Bytes(22, 0x5A))), data}), AURA_ERR_FORMAT});
    files.push_back({"extensibleTooShort", riff({chunk("fmt ", fmtBody(0xFFFE, 1, 8000, 2, 16)), data}),
                     AURA_ERR_FORMAT});
    files.push_back({"imaZeroPerBlock", riff({imaFmt(1, 256, 0), chunk("data", Bytes(512, 0))}), AURA_ERR_FORMAT});
    files.push_back({"imaTooManyPerBlock", riff({imaFmt(1, 256, 506), chunk("data", Bytes(512, 0))}),
                     AURA_ERR_FORMAT});
    files.push_back({"imaStereoTooMany", riff({imaFmt(2, 256, 250), chunk("data", Bytes(512, 0))}), AURA_ERR_FORMAT});
    files.push_back({"imaBlockBelowHeaders", riff({imaFmt(2, 6, 1), chunk("data", Bytes(512, 0))}), AURA_ERR_FORMAT});
    files.push_back({"imaHugeBlockTinyData", riff({imaFmt(1, 32000, 63993), chunk("data", Bytes(100, 0))}),
                     AURA_OK});
    files.push_back({"imaBadStepIndex", riff({imaFmt(1, 8, 9), chunk("data", {0, 0, 200, 0, 0, 0, 0, 0})}), AURA_OK});
    files.push_back({"imaDataPastTheFile", riff({imaFmt(1, 36, 65), chunkSized("data", 0x10000000u, Bytes(100, 0x37))}),
                     AURA_OK});
    files.push_back({"listsDeeperThanEight",
                     riff({pcm16Fmt(), nestedLists(20, chunk("cue ", cueBody({{1, 2}}))), data}), AURA_OK});
    files.push_back({"listClaimingTooMuch",
                     riff({pcm16Fmt(), chunkSized("LIST", 0xFFFFFFF0u, Bytes({'a', 'd', 't', 'l'})), data}),
                     AURA_OK});
    files.push_back({"fmtClaimingTooMuch", riff({chunkSized("fmt ", 0x7FFFFFFFu, fmtBody(1, 1, 8000, 2, 16))}),
                     AURA_ERR_FORMAT});
    files.push_back({"noFmt", riff({data}), AURA_ERR_FORMAT});
    files.push_back({"noData", riff({pcm16Fmt()}), AURA_ERR_FORMAT});
    files.push_back({"foreign", Bytes({'O', 'g', 'g', 'S', 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), AURA_ERR_FORMAT});
    files.push_back({"notWave", Bytes({'R', 'I', 'F', 'F', 4, 0, 0, 0, 'A', 'V', 'I', ' '}), AURA_ERR_FORMAT});
    files.push_back({"empty", Bytes(), AURA_ERR_FORMAT});
    Bytes header = riff({pcm16Fmt(), data});
    for (const size_t cut : {5, 11, 13, 20, 30, 40}) {
        Bytes truncated(header.begin(), header.begin() + static_cast<long>(cut));
        files.push_back({"truncated", truncated, AURA_ERR_FORMAT});
    }
    return files;
}

TEST(WavHostile, CraftedFilesGiveResultsWithinBoundedMemory)
{
    for (const Hostile &h : hostileFiles()) {
        SCOPED_TRACE(h.name);
        const int64_t before = auratest::poolBytes();
        const int64_t peakBefore = AURA::gGlobal->mMemPool->getStats().peakBytes;
        const int64_t bound = static_cast<int64_t>(h.file.size()) * 8 + 64 * 1024;
        {
            CodecPtr codec;
            const AURA_RESULT opened = openMemory(h.file, codec);
            EXPECT_EQ(opened, h.open);
            const int64_t held = auratest::poolBytes() - before;
            EXPECT_LE(held, bound);
            if (opened == AURA_OK) {
                AURA_RESULT last = AURA_OK;
                const Bytes pcm = readAll(*codec, {100, 4096}, &last, 1u << 20);
                EXPECT_LE(pcm.size(), static_cast<size_t>(codec->state()->waveformat[0].lengthpcm) * 64);
                (void)codec->setPosition(0, 3, AURA_TIMEUNIT_PCM);
                (void)readAll(*codec, {333}, nullptr, 1u << 20);
            }
        }
        const AURA::MemPool::Stats after = AURA::gGlobal->mMemPool->getStats();
        EXPECT_EQ(after.currentBytes[0], before) << "everything is freed";
        EXPECT_LE(after.peakBytes, std::max(peakBefore, before + bound));
    }
}

TEST(WavHostile, ChunkWalkDetails)
{
    // A huge cue count is held to what the chunk holds.
    const Bytes cues = riff({pcm16Fmt(), chunk("cue ", cueBody({{1, 5}, {2, 9}}, 0x7FFFFFFF)), chunk("data", ramp16(20))});
    CodecPtr codec;
    ASSERT_EQ(openMemory(cues, codec), AURA_OK);
    EXPECT_EQ(static_cast<AURA::CodecWav *>(codec.get())->mNumSyncPoints, 2);

    // A cue chunk nested deeper than eight lists is never reached; at
    // eight it is.
    const Bytes deep = riff({pcm16Fmt(), nestedLists(9, chunk("cue ", cueBody({{1, 2}}))), chunk("data", ramp16(20))});
    CodecPtr deepCodec;
    ASSERT_EQ(openMemory(deep, deepCodec), AURA_OK);
    EXPECT_EQ(static_cast<AURA::CodecWav *>(deepCodec.get())->mNumSyncPoints, 0);
    const Bytes eight = riff({pcm16Fmt(), nestedLists(8, chunk("cue ", cueBody({{1, 2}}))), chunk("data", ramp16(20))});
    CodecPtr eightCodec;
    ASSERT_EQ(openMemory(eight, eightCodec), AURA_OK);
    EXPECT_EQ(static_cast<AURA::CodecWav *>(eightCodec.get())->mNumSyncPoints, 1);

    // An IMA block header with a step index above 88 stops the read with 19.
    const Bytes badIndex = riff({imaFmt(1, 8, 9), chunk("data", {0, 0, 200, 0, 0, 0, 0, 0})});
    CodecPtr ima;
    ASSERT_EQ(openMemory(badIndex, ima), AURA_OK);
    Bytes out(64);
    unsigned int got = 0;
    EXPECT_EQ(ima->read(out.data(), 18, &got), AURA_ERR_FILE_BAD);
}

} // namespace
