// Sounds made from real files through the C interface: the system offers
// each file to its codecs and reads the sample whole.
#include "aura.h"
#include "aura.hpp"
#include "tool_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using tooltest::quote;
using tooltest::run;

class SoundFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(mDir.ok());
        ASSERT_EQ(AURA_System_Create(&mSystem), AURA_OK);
        ASSERT_EQ(AURA_System_SetOutput(mSystem, AURA_OUTPUTTYPE_NOSOUND_NRT), AURA_OK);
        ASSERT_EQ(AURA_System_Init(mSystem, 8, AURA_INIT_NORMAL, nullptr), AURA_OK);
    }
    void TearDown() override
    {
        if (mSystem) {
            EXPECT_EQ(AURA_System_Release(mSystem), AURA_OK);
        }
    }

    // The whole data of a sample, as bytes of its format.
    static std::vector<uint8_t> sampleBytes(AURA_SOUND *handle)
    {
        auto *sound = reinterpret_cast<AURA::Sound *>(handle);
        unsigned int bytes = 0;
        EXPECT_EQ(sound->getLength(&bytes, AURA_TIMEUNIT_PCMBYTES), AURA_OK);
        void *data = nullptr;
        unsigned int length = 0;
        if (bytes == 0 || sound->lock(0, bytes, &data, nullptr, &length, nullptr) != AURA_OK) {
            return {};
        }
        std::vector<uint8_t> out(static_cast<uint8_t *>(data), static_cast<uint8_t *>(data) + length);
        (void)sound->unlock(data, nullptr, length, 0);
        return out;
    }

    tooltest::ScratchDir mDir{"aura-sounds"};
    AURA_SYSTEM *mSystem = nullptr;
};

TEST_F(SoundFiles, AnOggVorbisFileReadsAsOggdecDecodesIt)
{
    const auto wav = mDir / "tone.wav";
    const auto ogg = mDir / "tone.ogg";
    const auto raw = mDir / "tone.raw";
    ASSERT_TRUE(run("sox -n -r 44100 -c 2 -b 16 " + quote(wav) + " synth 1.5 sine 440 sine 660"));
    ASSERT_TRUE(run("oggenc -Q -c ARTIST=Someone -o " + quote(ogg) + " " + quote(wav)));
    ASSERT_TRUE(run("oggdec -Q -R -o " + quote(raw) + " " + quote(ogg)));
    const tooltest::Bytes expected = tooltest::readAll(raw);

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

TEST_F(SoundFiles, MissingForeignAndEmptyNamesGiveTheirResults)
{
    AURA_SOUND *sound = nullptr;
    EXPECT_EQ(AURA_System_CreateSound(mSystem, (mDir / "absent.ogg").c_str(), AURA_DEFAULT, nullptr, &sound),
              AURA_ERR_FILE_NOTFOUND);
    EXPECT_EQ(AURA_System_CreateSound(mSystem, "", AURA_DEFAULT, nullptr, &sound), AURA_ERR_FILE_NOTFOUND);
    const auto text = mDir / "notes.txt";
    tooltest::writeAll(text, tooltest::Bytes{'n', 'o', 't', ' ', 'a', 'u', 'd', 'i', 'o', '\n'});
    EXPECT_EQ(AURA_System_CreateSound(mSystem, text.c_str(), AURA_DEFAULT, nullptr, &sound), AURA_ERR_FORMAT);
    const auto empty = mDir / "empty.ogg";
    tooltest::writeAll(empty, {});
    EXPECT_EQ(AURA_System_CreateSound(mSystem, empty.c_str(), AURA_DEFAULT, nullptr, &sound), AURA_ERR_FORMAT);
    EXPECT_EQ(sound, nullptr);
}

} // namespace
