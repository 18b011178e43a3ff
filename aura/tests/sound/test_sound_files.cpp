// Sounds made from real files through the C interface: the system offers
// each file to its codecs and reads the sample whole.
#include "aura.h"
#include "aura.hpp"
#include "files.h"
#include "tools.h"
#include "wav.h"
#include "systems.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using auratest::Bytes;
using auratest::quote;
using auratest::run;

class SoundFiles : public auratest::NoSoundSystemTest {
protected:
    SoundFiles() : NoSoundSystemTest("aura-sounds") {}

    static Bytes sampleBytes(AURA_SOUND *handle) { return auratest::sampleBytes(reinterpret_cast<AURA::Sound *>(handle)); }
};

TEST_F(SoundFiles, AnOggVorbisFileReadsAsOggdecDecodesIt)
{
    const auto wav = mDir / "tone.wav";
    const auto ogg = mDir / "tone.ogg";
    const auto raw = mDir / "tone.raw";
    ASSERT_TRUE(run("sox -n -r 44100 -c 2 -b 16 " + quote(wav) + " synth 1.5 sine 440 sine 660"));
    ASSERT_TRUE(run("oggenc -Q -c ARTIST=Someone -o " + quote(ogg) + " " + quote(wav)));
    ASSERT_TRUE(run("oggdec -Q -R -o " + quote(raw) + " " + quote(ogg)));
    const Bytes expected = auratest::readAll(raw);

    AURA_SOUND *sound = nullptr;
    ASSERT_EQ(AURA_System_CreateSound(mSystem, ogg.c_str(), AURA_DEFAULT, nullptr, &sound), AURA_OK);
    unsigned int length = 0;
    ASSERT_EQ(AURA_Sound_GetLength(sound, &length, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(length, expected.size() / 4);
    EXPECT_EQ(sampleBytes(sound), expected);

    auto *cpp = reinterpret_cast<AURA::Sound *>(sound);
    AURA_SOUND_TYPE type{};
    int channels = 0;
    ASSERT_EQ(cpp->getFormat(&type, nullptr, &channels, nullptr), AURA_OK);
    EXPECT_EQ(type, AURA_SOUND_TYPE_OGGVORBIS);
    EXPECT_EQ(channels, 2);
    AURA_TAG tag{};
    ASSERT_EQ(cpp->getTag("ARTIST", 0, &tag), AURA_OK);
    EXPECT_STREQ(static_cast<const char *>(tag.data), "Someone");
    EXPECT_EQ(AURA_Sound_Release(sound), AURA_OK);
}

// Every WAV variant sox writes: the sample holds what sox decodes, bit for
// bit (8-bit as signed bytes, IMA ADPCM as 16-bit).
TEST_F(SoundFiles, EveryWavVariantSoxWritesReadsAsSoxDecodesIt)
{
    struct Variant {
        const char *name;
        const char *write;
        const char *decode;
        AURA_SOUND_FORMAT format;
    };
    const Variant variants[] = {
        {"u8", "-c 2 -e unsigned-integer -b 8", "-e signed-integer -b 8", AURA_SOUND_FORMAT_PCM8},
        {"s16", "-c 2 -e signed-integer -b 16", "-e signed-integer -b 16", AURA_SOUND_FORMAT_PCM16},
        {"s24", "-c 2 -e signed-integer -b 24", "-e signed-integer -b 24", AURA_SOUND_FORMAT_PCM24},
        {"s32", "-c 1 -e signed-integer -b 32", "-e signed-integer -b 32", AURA_SOUND_FORMAT_PCM32},
        {"f32", "-c 2 -e floating-point -b 32", "-e floating-point -b 32", AURA_SOUND_FORMAT_PCMFLOAT},
        {"ext6", "-c 6 -e signed-integer -b 16", "-e signed-integer -b 16", AURA_SOUND_FORMAT_PCM16},
        {"ima", "-c 2 -e ima-adpcm", "-e signed-integer -b 16", AURA_SOUND_FORMAT_PCM16},
    };
    for (const Variant &v : variants) {
        SCOPED_TRACE(v.name);
        const auto wav = mDir / (std::string(v.name) + ".wav");
        const auto raw = mDir / (std::string(v.name) + ".raw");
        ASSERT_TRUE(run(std::string("sox -D -n -r 32000 ") + v.write + " " + quote(wav) +
                        " synth 0.4 sine 300-3000 whitenoise vol 0.5"));
        ASSERT_TRUE(run(std::string("sox -D ") + quote(wav) + " -t raw " + v.decode + " " + quote(raw)));
        const auto counted = mDir / "samples.txt";
        ASSERT_TRUE(run("soxi -s " + quote(wav) + " > " + quote(counted) + " 2>/dev/null; true"));
        const Bytes countText = auratest::readAll(counted);
        const unsigned long expectedLength = std::stoul(std::string(countText.begin(), countText.end()));

        AURA_SOUND *sound = nullptr;
        ASSERT_EQ(AURA_System_CreateSound(mSystem, wav.c_str(), AURA_DEFAULT, nullptr, &sound), AURA_OK);
        unsigned int length = 0;
        ASSERT_EQ(AURA_Sound_GetLength(sound, &length, AURA_TIMEUNIT_PCM), AURA_OK);
        EXPECT_EQ(length, expectedLength);
        AURA_SOUND_FORMAT format{};
        ASSERT_EQ(reinterpret_cast<AURA::Sound *>(sound)->getFormat(nullptr, &format, nullptr, nullptr), AURA_OK);
        EXPECT_EQ(format, v.format);
        EXPECT_EQ(sampleBytes(sound), auratest::readAll(raw));
        EXPECT_EQ(AURA_Sound_Release(sound), AURA_OK);
    }
}

// A RIFF file written here: cue points with labels (one without its
// terminating zero) and a sampler loop.
Bytes markedWav()
{
    Bytes samples;
    for (uint32_t i = 0; i < 1000; ++i) {
        auratest::put16(samples, i * 7);
    }
    Bytes chorus = auratest::lablBody(1, "chorus");
    chorus.pop_back();
    return auratest::riff({auratest::chunk("fmt ", auratest::fmtBody(1, 1, 8000, 2, 16)),
                           auratest::chunk("data", samples),
                           auratest::chunk("cue ", auratest::cueBody({{1, 600}, {2, 250}})),
                           auratest::list("adtl", {auratest::chunk("labl", chorus),
                                                   auratest::chunk("labl", auratest::lablBody(2, "go!"))}),
                           auratest::chunk("smpl", auratest::smplBody(1, 100, 899))});
}

TEST_F(SoundFiles, CuePointsBecomeNamedSyncPointsAndTheSamplerLoopTheLoop)
{
    const auto path = mDir / "marked.wav";
    auratest::writeAll(path, markedWav());
    AURA_SOUND *handle = nullptr;
    ASSERT_EQ(AURA_System_CreateSound(mSystem, path.c_str(), AURA_DEFAULT, nullptr, &handle), AURA_OK);
    auto *sound = reinterpret_cast<AURA::Sound *>(handle);
    int count = 0;
    ASSERT_EQ(sound->getNumSyncPoints(&count), AURA_OK);
    ASSERT_EQ(count, 2);
    char name[64] = {};
    unsigned int offset = 0;
    ASSERT_EQ(sound->getSyncPointInfo(0, name, sizeof(name), &offset, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_STREQ(name, "go!");
    EXPECT_EQ(offset, 250u);
    ASSERT_EQ(sound->getSyncPointInfo(1, name, sizeof(name), &offset, AURA_TIMEUNIT_MS), AURA_OK);
    EXPECT_STREQ(name, "chorus");
    EXPECT_EQ(offset, 75u) << "600 samples at 8 kHz";
    unsigned int loopStart = 0;
    unsigned int loopEnd = 0;
    ASSERT_EQ(sound->getLoopPoints(&loopStart, &loopEnd), AURA_OK);
    EXPECT_EQ(loopStart, 100u);
    EXPECT_EQ(loopEnd, 899u);
    AURA_MODE mode = 0;
    ASSERT_EQ(sound->getMode(&mode), AURA_OK);
    EXPECT_TRUE(mode & AURA_LOOP_NORMAL);
    EXPECT_EQ(AURA_Sound_Release(handle), AURA_OK);
}

TEST_F(SoundFiles, MissingForeignAndEmptyNamesGiveTheirResults)
{
    AURA_SOUND *sound = nullptr;
    EXPECT_EQ(AURA_System_CreateSound(mSystem, (mDir / "absent.ogg").c_str(), AURA_DEFAULT, nullptr, &sound),
              AURA_ERR_FILE_NOTFOUND);
    EXPECT_EQ(AURA_System_CreateSound(mSystem, "", AURA_DEFAULT, nullptr, &sound), AURA_ERR_FILE_NOTFOUND);
    const auto text = mDir / "notes.txt";
    auratest::writeAll(text, Bytes{'n', 'o', 't', ' ', 'a', 'u', 'd', 'i', 'o', '\n'});
    EXPECT_EQ(AURA_System_CreateSound(mSystem, text.c_str(), AURA_DEFAULT, nullptr, &sound), AURA_ERR_FORMAT);
    const auto empty = mDir / "empty.ogg";
    auratest::writeAll(empty, {});
    EXPECT_EQ(AURA_System_CreateSound(mSystem, empty.c_str(), AURA_DEFAULT, nullptr, &sound), AURA_ERR_FORMAT);
    EXPECT_EQ(sound, nullptr);
}

} // namespace
