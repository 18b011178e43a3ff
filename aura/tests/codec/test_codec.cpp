// The codec base (staging, time units, positions, tags) and sound creation
// over codecs registered by the test.
#include "aura.h"
#include "aura.hpp"
#include "codec/aura_codec.h"
#include "base/aura_memory.h"
#include "base/aura_metadata.h"
#include "sound/aura_sample.h"
#include "system/aura_systemi.h"
#include "file/aura_file_memory.h"
#include "engine.h"
#include "files.h"
#include "systems.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using AURA::AURA_CODEC_DESCRIPTION_EX;

constexpr const char AURA_ALLOC_TAG[] = "aura/tests/test_codec";

using auratest::poolBytes;

// The byte a test codec delivers at a position of its output.
uint8_t patternAt(uint64_t position)
{
    return static_cast<uint8_t>((position * 7 + (position >> 8)) & 0xFF);
}

// A codec over a "TEST" file: a 4-byte magic, then 16-bit stereo data that
// the codec produces itself (the pattern above). Its behaviour comes from
// the knobs below, so each test sets up just what it checks.
struct TestCodecConfig {
    unsigned int totalBytes = 40000;      // bytes it delivers before the end
    unsigned int blockBytes = 0;          // > 0: decodes in blocks through the staging buffer
    unsigned int declaredSamples = 10000; // what the wave format claims
    int channels = 2;
    AURA_SOUND_FORMAT format = AURA_SOUND_FORMAT_PCM16;
    int frequency = 44100;
    bool deliverNothing = false;          // reads succeed with 0 bytes
    AURA_RESULT openResult = AURA_OK;     // what open answers after the magic check
    const char *tagName = nullptr;        // a tag added at open
    unsigned int loopStart = 0;
    unsigned int loopEnd = 0;
    unsigned int lastPosition = 0xFFFFFFFF;
    unsigned int lastPostype = 0;
    AURA_RESULT setPositionResult = AURA_OK;
    int refills = 0;
};
TestCodecConfig gConfig;

class TestCodec : public AURA::Codec {
public:
    AURA_CODEC_WAVEFORMAT mWaveFormat{};
    uint64_t mPosition = 0;

    static AURA_RESULT openCallback(AURA_CODEC_STATE *state, AURA_MODE, AURA_CREATESOUNDEXINFO *)
    {
        auto *codec = fromState<TestCodec>(state);
        char magic[4] = {};
        unsigned int got = 0;
        const AURA_RESULT result = codec->mFile->read(magic, 1, 4, &got);
        if ((result != AURA_OK && result != AURA_ERR_FILE_EOF) || got != 4 || std::memcmp(magic, "TEST", 4) != 0) {
            return AURA_ERR_FORMAT;
        }
        if (gConfig.openResult != AURA_OK) {
            return gConfig.openResult;
        }
        codec->mSrcDataOffset = 4;
        codec->mWaveFormat.format = gConfig.format;
        codec->mWaveFormat.channels = gConfig.channels;
        codec->mWaveFormat.frequency = gConfig.frequency;
        codec->mWaveFormat.lengthpcm = gConfig.declaredSamples;
        codec->mWaveFormat.lengthbytes = gConfig.totalBytes;
        codec->mWaveFormat.loopstart = gConfig.loopStart;
        codec->mWaveFormat.loopend = gConfig.loopEnd;
        codec->mWaveFormat.mode = gConfig.loopStart < gConfig.loopEnd ? AURA_LOOP_NORMAL : 0;
        codec->mWaveFormat.blockalign = 4;
        state->waveformat = &codec->mWaveFormat;
        if (gConfig.tagName) {
            const char value[] = "value";
            (void)codec->metaData(AURA_TAGTYPE_AURA, gConfig.tagName, value, sizeof(value),
                                  AURA_TAGDATATYPE_STRING, false);
        }
        if (gConfig.blockBytes) {
            return codec->allocPCMBuffer(gConfig.blockBytes, gConfig.blockBytes / 4);
        }
        return AURA_OK;
    }

    static AURA_RESULT readCallback(AURA_CODEC_STATE *state, void *buffer, unsigned int size, unsigned int *read)
    {
        auto *codec = fromState<TestCodec>(state);
        ++gConfig.refills;
        if (gConfig.deliverNothing) {
            *read = 0;
            return AURA_OK;
        }
        const uint64_t left = gConfig.totalBytes > codec->mPosition ? gConfig.totalBytes - codec->mPosition : 0;
        const auto n = static_cast<unsigned int>(std::min<uint64_t>(left, size));
        for (unsigned int i = 0; i < n; ++i) {
            static_cast<uint8_t *>(buffer)[i] = patternAt(codec->mPosition + i);
        }
        codec->mPosition += n;
        *read = n;
        return n < size ? AURA_ERR_FILE_EOF : AURA_OK;
    }

    static AURA_RESULT setPositionCallback(AURA_CODEC_STATE *state, int, unsigned int position,
                                           unsigned int postype)
    {
        auto *codec = fromState<TestCodec>(state);
        gConfig.lastPosition = position;
        gConfig.lastPostype = postype;
        if (postype == AURA_TIMEUNIT_PCM) {
            codec->mPosition = static_cast<uint64_t>(position) * 4;
        }
        return gConfig.setPositionResult;
    }

    static AURA_RESULT getPositionCallback(AURA_CODEC_STATE *, unsigned int *position, unsigned int postype)
    {
        // Raw bytes arrive already measured by the base.
        if (postype != AURA_TIMEUNIT_RAWBYTES) {
            *position = 1234;
        }
        return AURA_OK;
    }

    static AURA_CODEC_DESCRIPTION_EX *getDescriptionEx()
    {
        static AURA_CODEC_DESCRIPTION_EX description;
        description = {};
        description.name = "Test Codec";
        description.version = 0x10100;
        description.timeunits = AURA_TIMEUNIT_PCM;
        description.open = &openCallback;
        description.read = &readCallback;
        description.setposition = &setPositionCallback;
        description.mType = AURA_SOUND_TYPE_RAW;
        description.mSize = sizeof(TestCodec);
        description.mConstruct = &AURA::constructCodec<TestCodec>;
        return &description;
    }
};

// A codec that reads the file and declines it, leaving a tag behind: what
// a tag reader does.
AURA_RESULT decliningOpen(AURA_CODEC_STATE *state, AURA_MODE, AURA_CREATESOUNDEXINFO *)
{
    auto *codec = AURA::Codec::fromState(state);
    char byte = 0;
    unsigned int got = 0;
    (void)codec->mFile->read(&byte, 1, 1, &got);
    const char value[] = "Someone";
    (void)codec->metaData(AURA_TAGTYPE_ID3V2, "ARTIST", value, sizeof(value), AURA_TAGDATATYPE_STRING, false);
    return AURA_ERR_FORMAT;
}

AURA_CODEC_DESCRIPTION_EX decliningDescription()
{
    AURA_CODEC_DESCRIPTION_EX description;
    description.name = "Declining Codec";
    description.open = &decliningOpen;
    description.mType = AURA_SOUND_TYPE_TAG;
    return description;
}

std::vector<uint8_t> testFile()
{
    return {'T', 'E', 'S', 'T', 0, 0, 0, 0};
}

// A codec made over a memory file holding the test file.
struct CodecFixture : ::testing::Test {
    std::vector<uint8_t> data = testFile();
    AURA::Codec *codec = nullptr;
    AURA_CODEC_DESCRIPTION_EX description = *TestCodec::getDescriptionEx();

    void SetUp() override { gConfig = TestCodecConfig{}; }

    void open()
    {
        ASSERT_EQ(AURA::Codec::create(description, nullptr, &codec), AURA_OK);
        auto *file = AURA_New(AURA::MemoryFile);
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(auratest::openMemoryFile(*file, data), AURA_OK);
        codec->mFile = file;
        ASSERT_EQ(codec->open(AURA_DEFAULT, nullptr), AURA_OK);
    }

    void TearDown() override
    {
        if (codec) {
            (void)codec->release();
        }
    }
};

using CodecStaging = CodecFixture;

TEST_F(CodecStaging, BlocksAreHandedOutAcrossReadsAndTheLastRefillKeepsItsBytes)
{
    gConfig.blockBytes = 4096;
    gConfig.totalBytes = 10000 + 5000;
    open();
    std::vector<uint8_t> out(10000);
    unsigned int got = 0;
    ASSERT_EQ(codec->read(out.data(), 10000, &got), AURA_OK);
    EXPECT_EQ(got, 10000u);
    EXPECT_EQ(gConfig.refills, 3);
    EXPECT_EQ(codec->mPCMBufferFilledBytes - codec->mPCMBufferOffsetBytes, 2288u);
    for (unsigned int i = 0; i < got; ++i) {
        ASSERT_EQ(out[i], patternAt(i)) << i;
    }

    // The codec ends inside its next block: those bytes still arrive, then
    // the end is reported with them.
    std::vector<uint8_t> rest(8000);
    ASSERT_EQ(codec->read(rest.data(), 8000, &got), AURA_ERR_FILE_EOF);
    EXPECT_EQ(got, 5000u);
    for (unsigned int i = 0; i < got; ++i) {
        ASSERT_EQ(rest[i], patternAt(10000 + i)) << i;
    }
    EXPECT_EQ(codec->read(rest.data(), 100, &got), AURA_ERR_FILE_EOF);
    EXPECT_EQ(got, 0u);
}

TEST_F(CodecStaging, ACodecThatDeliversNothingEndsTheReadWithSuccess)
{
    gConfig.blockBytes = 4096;
    gConfig.deliverNothing = true;
    open();
    std::vector<uint8_t> out(10000);
    unsigned int got = 99;
    EXPECT_EQ(codec->read(out.data(), 10000, &got), AURA_OK);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(gConfig.refills, 1);
}

TEST_F(CodecStaging, ASeekDropsWhatIsStaged)
{
    gConfig.blockBytes = 4096;
    open();
    std::vector<uint8_t> out(100);
    unsigned int got = 0;
    ASSERT_EQ(codec->read(out.data(), 100, &got), AURA_OK);
    ASSERT_EQ(codec->setPosition(0, 2000, AURA_TIMEUNIT_PCM), AURA_OK);
    ASSERT_EQ(codec->read(out.data(), 100, &got), AURA_OK);
    for (unsigned int i = 0; i < got; ++i) {
        ASSERT_EQ(out[i], patternAt(8000 + i)) << i;
    }
}

using CodecPositions = CodecFixture;

TEST_F(CodecPositions, TimeUnitsAreConvertedToWhatTheCodecAccepts)
{
    open();
    // Milliseconds to samples at the wave format's rate.
    ASSERT_EQ(codec->setPosition(0, 1500, AURA_TIMEUNIT_MS), AURA_OK);
    EXPECT_EQ(gConfig.lastPosition, 66150u);
    EXPECT_EQ(gConfig.lastPostype, static_cast<unsigned int>(AURA_TIMEUNIT_PCM));
    // PCM bytes to samples.
    ASSERT_EQ(codec->setPosition(0, 4000, AURA_TIMEUNIT_PCMBYTES), AURA_OK);
    EXPECT_EQ(gConfig.lastPosition, 1000u);
    // A unit outside the codec's mask.
    EXPECT_EQ(codec->setPosition(0, 10, AURA_TIMEUNIT_RAWBYTES), AURA_ERR_FORMAT);
    // The codec's end of file counts as success; another failure does not.
    gConfig.setPositionResult = AURA_ERR_FILE_EOF;
    EXPECT_EQ(codec->setPosition(0, 10, AURA_TIMEUNIT_PCM), AURA_OK);
    gConfig.setPositionResult = AURA_ERR_FILE_COULDNOTSEEK;
    EXPECT_EQ(codec->setPosition(0, 10, AURA_TIMEUNIT_PCM), AURA_ERR_FILE_COULDNOTSEEK);
}

TEST_F(CodecPositions, ACodecOfPCMBytesGetsCompressedSizesFromTheFormatTable)
{
    description.timeunits = AURA_TIMEUNIT_PCMBYTES;
    gConfig.format = AURA_SOUND_FORMAT_IMAADPCM;
    open();
    ASSERT_EQ(codec->setPosition(0, 1000, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(gConfig.lastPosition, 1152u);
    EXPECT_EQ(gConfig.lastPostype, static_cast<unsigned int>(AURA_TIMEUNIT_PCMBYTES));
}

TEST_F(CodecPositions, MissingCallbacksAndBadSubsoundsAreRefused)
{
    description.setposition = nullptr;
    open();
    EXPECT_EQ(codec->setPosition(0, 0, AURA_TIMEUNIT_PCM), AURA_ERR_UNSUPPORTED);
    codec->mState.numsubsounds = 2;
    EXPECT_EQ(codec->setPosition(2, 0, AURA_TIMEUNIT_PCM), AURA_ERR_INVALID_POSITION);

    unsigned int length = 7;
    EXPECT_EQ(codec->getLength(&length, AURA_TIMEUNIT_PCM), AURA_ERR_UNSUPPORTED);
    EXPECT_EQ(length, 0u);
    // Raw bytes come from the wave format, with or without a length callback.
    codec->mState.numsubsounds = 0;
    ASSERT_EQ(codec->getLength(&length, AURA_TIMEUNIT_RAWBYTES), AURA_OK);
    EXPECT_EQ(length, gConfig.totalBytes);

    unsigned int position = 0;
    EXPECT_EQ(codec->getPosition(&position, AURA_TIMEUNIT_RAWBYTES), AURA_ERR_UNSUPPORTED);
}

TEST_F(CodecPositions, RawBytePositionsAreRelativeToTheAudioData)
{
    description.getposition = &TestCodec::getPositionCallback;
    description.timeunits = AURA_TIMEUNIT_PCM | AURA_TIMEUNIT_RAWBYTES;
    data.resize(64);
    open();
    ASSERT_EQ(codec->mFile->seek(20, 0), AURA_OK);
    unsigned int position = 0;
    ASSERT_EQ(codec->getPosition(&position, AURA_TIMEUNIT_RAWBYTES), AURA_OK);
    EXPECT_EQ(position, 16u);
    // Without raw bytes in its mask the unit is refused.
    codec->mDescription.timeunits = AURA_TIMEUNIT_PCM;
    EXPECT_EQ(codec->getPosition(&position, AURA_TIMEUNIT_RAWBYTES), AURA_ERR_FORMAT);
}

TEST(CodecFormatTable, BytesAndSamplesFollowEachFormat)
{
    unsigned int out = 0;
    ASSERT_EQ(AURA::getBytesFromSamples(1000, &out, 2, AURA_SOUND_FORMAT_PCM24), AURA_OK);
    EXPECT_EQ(out, 6000u);
    ASSERT_EQ(AURA::getBytesFromSamples(1000, &out, 1, AURA_SOUND_FORMAT_GCADPCM), AURA_OK);
    EXPECT_EQ(out, (1000u + 13) / 14 * 8);
    ASSERT_EQ(AURA::getBytesFromSamples(1000, &out, 1, AURA_SOUND_FORMAT_VAG), AURA_OK);
    EXPECT_EQ(out, (1000u + 27) / 28 * 16);
    ASSERT_EQ(AURA::getBytesFromSamples(1000, &out, 2, AURA_SOUND_FORMAT_MPEG), AURA_OK);
    EXPECT_EQ(out, 1000u);
    ASSERT_EQ(AURA::getSamplesFromBytes(6000, &out, 2, AURA_SOUND_FORMAT_PCM24), AURA_OK);
    EXPECT_EQ(out, 1000u);
    ASSERT_EQ(AURA::getSamplesFromBytes(4000000000u, &out, 1, AURA_SOUND_FORMAT_PCM8), AURA_OK);
    EXPECT_EQ(out, 4000000000u) << "the product is taken in 64 bits";
    ASSERT_EQ(AURA::getSamplesFromBytes(77, &out, 0, AURA_SOUND_FORMAT_PCM16), AURA_OK);
    EXPECT_EQ(out, 77u) << "no channels: unchanged";
    EXPECT_EQ(AURA::getBytesFromSamples(1, &out, 1, static_cast<AURA_SOUND_FORMAT>(12)), AURA_ERR_FORMAT);
    EXPECT_EQ(AURA::getSamplesFromBytes(1, &out, 1, static_cast<AURA_SOUND_FORMAT>(12)), AURA_ERR_FORMAT);
}

// Sound creation over codecs registered by the test.
class SoundCreation : public ::testing::Test {
protected:
    AURA::System *system = nullptr;
    AURA::SystemI *internal = nullptr;
    std::vector<uint8_t> data = testFile();
    AURA_CREATESOUNDEXINFO exinfo{};

    void SetUp() override
    {
        gConfig = TestCodecConfig{};
        system = reinterpret_cast<AURA::System *>(auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND_NRT, 8));
        ASSERT_NE(system, nullptr);
        ASSERT_EQ(AURA::SystemI::validate(system, &internal), AURA_OK);
        exinfo.cbsize = sizeof(exinfo);
    }

    void TearDown() override
    {
        if (system) {
            EXPECT_EQ(system->release(), AURA_OK);
        }
    }

    void registerTestCodec(unsigned int priority = 5000)
    {
        ASSERT_EQ(internal->mPluginFactory.registerCodec(TestCodec::getDescriptionEx(), nullptr, priority), AURA_OK);
    }

    AURA_RESULT createFromMemory(AURA::Sound **sound, AURA_MODE mode = AURA_DEFAULT)
    {
        exinfo.length = static_cast<unsigned int>(data.size());
        return system->createSound(reinterpret_cast<const char *>(data.data()), mode | AURA_OPENMEMORY, &exinfo,
                                   sound);
    }
};

TEST_F(SoundCreation, ASampleHoldsEverythingTheCodecDecodes)
{
    registerTestCodec();
    AURA::Sound *sound = nullptr;
    ASSERT_EQ(createFromMemory(&sound), AURA_OK);
    ASSERT_NE(sound, nullptr);
    unsigned int length = 0;
    ASSERT_EQ(AURA_Sound_GetLength(reinterpret_cast<AURA_SOUND *>(sound), &length, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(length, 10000u);
    AURA_SOUND_TYPE type{};
    AURA_SOUND_FORMAT format{};
    int channels = 0;
    int bits = 0;
    ASSERT_EQ(sound->getFormat(&type, &format, &channels, &bits), AURA_OK);
    EXPECT_EQ(type, AURA_SOUND_TYPE_RAW);
    EXPECT_EQ(format, AURA_SOUND_FORMAT_PCM16);
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(bits, 16);
    float frequency = 0;
    ASSERT_EQ(sound->getDefaults(&frequency, nullptr, nullptr, nullptr), AURA_OK);
    EXPECT_EQ(frequency, 44100.0f);

    void *ptr = nullptr;
    unsigned int len = 0;
    ASSERT_EQ(sound->lock(0, 40000, &ptr, nullptr, &len, nullptr), AURA_OK);
    ASSERT_EQ(len, 40000u);
    for (unsigned int i = 0; i < len; ++i) {
        ASSERT_EQ(static_cast<uint8_t *>(ptr)[i], patternAt(i)) << i;
    }
    // The guard frames after the data read as silence.
    for (unsigned int i = 0; i < AURA::Sample::GUARD_FRAMES * 4; ++i) {
        ASSERT_EQ(static_cast<uint8_t *>(ptr)[40000 + i], 0) << i;
    }
    EXPECT_EQ(sound->unlock(ptr, nullptr, len, 0), AURA_OK);
    EXPECT_EQ(sound->release(), AURA_OK);
}

TEST_F(SoundCreation, AShortCodecSetsTheLengthToWhatArrived)
{
    gConfig.totalBytes = 4002; // a half frame at the end is dropped
    gConfig.blockBytes = 1024;
    registerTestCodec();
    AURA::Sound *sound = nullptr;
    ASSERT_EQ(createFromMemory(&sound), AURA_OK);
    unsigned int length = 0;
    ASSERT_EQ(sound->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(length, 1000u);
    ASSERT_EQ(sound->getLength(&length, AURA_TIMEUNIT_PCMBYTES), AURA_OK);
    EXPECT_EQ(length, 4000u);
    // What the declared length had room for past the data reads as silence,
    // as the guard frames do: the voices look a few frames ahead.
    void *ptr = nullptr;
    unsigned int len = 0;
    ASSERT_EQ(sound->lock(0, 4000, &ptr, nullptr, &len, nullptr), AURA_OK);
    ASSERT_EQ(len, 4000u);
    for (unsigned int i = 0; i < AURA::Sample::GUARD_FRAMES * 4; ++i) {
        ASSERT_EQ(static_cast<uint8_t *>(ptr)[4000 + i], 0) << i;
    }
    EXPECT_EQ(sound->unlock(ptr, nullptr, len, 0), AURA_OK);
    EXPECT_EQ(sound->release(), AURA_OK);
}

TEST_F(SoundCreation, AnInflatedLengthDoesNotDriveTheAllocation)
{
    // A hostile header claims two billion samples; the codec has 1000.
    gConfig.declaredSamples = 0x7FFFFFF0;
    gConfig.totalBytes = 4000;
    registerTestCodec();
    const int64_t before = poolBytes();
    AURA::Sound *sound = nullptr;
    ASSERT_EQ(createFromMemory(&sound), AURA_OK);
    unsigned int length = 0;
    ASSERT_EQ(sound->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(length, 1000u);
    EXPECT_LT(poolBytes() - before, 5 * 1024 * 1024);
    // A codec that never ends yet never delivers stops the read too.
    gConfig = TestCodecConfig{};
    gConfig.deliverNothing = true;
    AURA::Sound *empty = nullptr;
    ASSERT_EQ(createFromMemory(&empty), AURA_OK);
    ASSERT_EQ(empty->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(length, 0u);
}

TEST_F(SoundCreation, TheFileLoopBecomesTheSoundsLoop)
{
    gConfig.loopStart = 100;
    gConfig.loopEnd = 199;
    registerTestCodec();
    AURA::Sound *sound = nullptr;
    ASSERT_EQ(createFromMemory(&sound), AURA_OK);
    unsigned int start = 0;
    unsigned int end = 0;
    ASSERT_EQ(sound->getLoopPoints(&start, &end), AURA_OK);
    EXPECT_EQ(start, 100u);
    EXPECT_EQ(end, 199u);
    AURA_MODE mode = 0;
    ASSERT_EQ(sound->getMode(&mode), AURA_OK);
    EXPECT_TRUE(mode & AURA_LOOP_NORMAL);
    EXPECT_FALSE(mode & AURA_LOOP_OFF);

    // A loop mode given by the caller wins.
    AURA::Sound *off = nullptr;
    ASSERT_EQ(createFromMemory(&off, AURA_LOOP_OFF), AURA_OK);
    ASSERT_EQ(off->getMode(&mode), AURA_OK);
    EXPECT_TRUE(mode & AURA_LOOP_OFF);
    EXPECT_FALSE(mode & AURA_LOOP_NORMAL);
}

TEST_F(SoundCreation, CodecsAreTriedInOrderAndTagsOfDecliningOnesStay)
{
    AURA_CODEC_DESCRIPTION_EX declining = decliningDescription();
    ASSERT_EQ(internal->mPluginFactory.registerCodec(&declining, nullptr, 100), AURA_OK);
    gConfig.tagName = "CODEC";
    registerTestCodec(600);
    AURA::Sound *sound = nullptr;
    ASSERT_EQ(createFromMemory(&sound), AURA_OK);
    int numtags = 0;
    ASSERT_EQ(sound->getNumTags(&numtags, nullptr), AURA_OK);
    EXPECT_EQ(numtags, 2);
    AURA_TAG tag{};
    ASSERT_EQ(sound->getTag("ARTIST", 0, &tag), AURA_OK);
    EXPECT_STREQ(static_cast<const char *>(tag.data), "Someone");
    ASSERT_EQ(sound->getTag("CODEC", 0, &tag), AURA_OK);
    EXPECT_EQ(sound->getTag("ALBUM", 0, &tag), AURA_ERR_TAGNOTFOUND);

    // A file nobody takes: 25, and the declined codec's tags are not leaked.
    data = {'N', 'O', 'P', 'E', 1, 2, 3, 4};
    AURA::Sound *foreign = reinterpret_cast<AURA::Sound *>(0x1);
    EXPECT_EQ(createFromMemory(&foreign), AURA_ERR_FORMAT);
    EXPECT_EQ(foreign, nullptr);
}

TEST_F(SoundCreation, AFailureOtherThanFormatStopsTheSearchAndLeavesNothingBehind)
{
    registerTestCodec();
    const int64_t before = poolBytes();
    gConfig.openResult = AURA_ERR_MEMORY;
    AURA::Sound *sound = nullptr;
    EXPECT_EQ(createFromMemory(&sound), AURA_ERR_MEMORY);
    EXPECT_EQ(sound, nullptr);
    EXPECT_EQ(poolBytes(), before);
}

TEST_F(SoundCreation, BadArgumentsAndMissingFilesAreRefused)
{
    registerTestCodec();
    AURA::Sound *sound = nullptr;
    EXPECT_EQ(system->createSound("", AURA_DEFAULT, nullptr, &sound), AURA_ERR_FILE_NOTFOUND);
    EXPECT_EQ(system->createSound("/nonexistent/aura/none.wav", AURA_DEFAULT, nullptr, &sound),
              AURA_ERR_FILE_NOTFOUND);
    EXPECT_EQ(system->createSound(nullptr, AURA_DEFAULT, nullptr, &sound), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(system->createSound("x", AURA_DEFAULT, nullptr, nullptr), AURA_ERR_INVALID_PARAM);
    exinfo.cbsize = 12;
    EXPECT_EQ(createFromMemory(&sound), AURA_ERR_INVALID_PARAM);
    exinfo.cbsize = sizeof(exinfo);
    exinfo.length = 0;
    EXPECT_EQ(system->createSound(reinterpret_cast<const char *>(data.data()), AURA_OPENMEMORY, &exinfo, &sound),
              AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(AURA_System_CreateSound(nullptr, "x", AURA_DEFAULT, nullptr, nullptr), AURA_ERR_INVALID_PARAM);

    // Before init there are no codecs to offer a file to.
    AURA_SYSTEM *fresh = nullptr;
    ASSERT_EQ(AURA_System_Create(&fresh), AURA_OK);
    AURA_SOUND *none = nullptr;
    EXPECT_EQ(AURA_System_CreateSound(fresh, "x", AURA_DEFAULT, nullptr, &none), AURA_ERR_UNINITIALIZED);
    EXPECT_EQ(AURA_System_Release(fresh), AURA_OK);
}

TEST_F(SoundCreation, AFileOnDiskOpensFromItsStartOffset)
{
    registerTestCodec();
    auratest::TempDir dir("aura-codec");
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.file("offset.bin");
    {
        std::ofstream out(path, std::ios::binary);
        out << "JUNKJUNK";
        out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    AURA::Sound *sound = nullptr;
    EXPECT_EQ(system->createSound(path.c_str(), AURA_DEFAULT, nullptr, &sound), AURA_ERR_FORMAT);
    exinfo.fileoffset = 8;
    ASSERT_EQ(system->createSound(path.c_str(), AURA_DEFAULT, &exinfo, &sound), AURA_OK);
    unsigned int length = 0;
    ASSERT_EQ(sound->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(length, 10000u);
}

TEST_F(SoundCreation, UserSoundsAreFilledByTheCallerAndSoundsEndWithTheirSystem)
{
    const int64_t before = poolBytes();
    exinfo.length = 4000;
    exinfo.numchannels = 1;
    exinfo.defaultfrequency = 22050;
    exinfo.format = AURA_SOUND_FORMAT_PCM16;
    exinfo.pcmreadcallback = [](AURA_SOUND *, void *data, unsigned int length) -> AURA_RESULT {
        std::memset(data, 0x11, length);
        return AURA_OK;
    };
    AURA::Sound *sound = nullptr;
    ASSERT_EQ(system->createSound(nullptr, AURA_OPENUSER, &exinfo, &sound), AURA_OK);
    unsigned int length = 0;
    ASSERT_EQ(sound->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(length, 2000u);
    void *ptr = nullptr;
    unsigned int len = 0;
    ASSERT_EQ(sound->lock(3998, 100, &ptr, nullptr, &len, nullptr), AURA_OK);
    EXPECT_EQ(len, 2u);
    EXPECT_EQ(static_cast<uint8_t *>(ptr)[1], 0x11);
    exinfo.numchannels = 0;
    AURA::Sound *bad = nullptr;
    EXPECT_EQ(system->createSound(nullptr, AURA_OPENUSER, &exinfo, &bad), AURA_ERR_INVALID_PARAM);

    // Sounds still alive when the system goes are freed with it.
    EXPECT_GT(poolBytes(), before);
    EXPECT_EQ(system->release(), AURA_OK);
    system = nullptr;
    EXPECT_LT(poolBytes(), before);
}

} // namespace
