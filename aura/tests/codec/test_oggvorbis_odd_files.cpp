// Ogg Vorbis files as users meet them beyond the common stereo file: more
// than two channels, repeated comments, granule positions that do not add
// up, and damaged headers. Sample and stream are asked the same questions.
#include "codec/aura_codec_oggvorbis.h"
#include "base/aura_memory.h"
#include "file/aura_file_memory.h"
#include "engine.h"
#include "files.h"
#include "ogg.h"
#include "sine_analysis.h"
#include "systems.h"
#include "tools.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/tests/test_oggvorbis_odd_files";

namespace fs = std::filesystem;
using auratest::Bytes;
using auratest::quote;
using auratest::run;

constexpr AURA_MODE kModes[] = {AURA_DEFAULT, AURA_CREATESTREAM};

const char *modeName(AURA_MODE mode)
{
    return (mode & AURA_CREATESTREAM) ? "stream" : "sample";
}

class OddOggFiles : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(mDir.ok()); }

    // oggdec's decode of a file, 16-bit interleaved.
    std::vector<int16_t> oggdec(const fs::path &ogg)
    {
        const fs::path raw = mDir / "oggdec.raw";
        EXPECT_TRUE(run("oggdec -Q -R -o " + quote(raw) + " " + quote(ogg)));
        const Bytes bytes = auratest::readAll(raw);
        fs::remove(raw);
        std::vector<int16_t> pcm(bytes.size() / 2);
        std::memcpy(pcm.data(), bytes.data(), pcm.size() * 2);
        return pcm;
    }

    fs::path write(const std::string &name, const Bytes &bytes)
    {
        const fs::path path = mDir / name;
        EXPECT_TRUE(auratest::writeAll(path, bytes));
        return path;
    }

    // Plays `path` whole (sample or stream) on a render at `rate` and hands
    // back the float frames.
    auratest::Wav render(const fs::path &path, AURA_MODE mode, int rate)
    {
        auratest::WavRender out({.rate = rate, .block = 512, .maxInputChannels = 8});
        AURA::Sound *sound = nullptr;
        EXPECT_EQ(out.system()->createSound(path.c_str(), mode, nullptr, &sound), AURA_OK) << path;
        if (!sound) {
            return {};
        }
        AURA::Channel *channel = out.play(sound);
        bool playing = true;
        for (int i = 0; i < 2000 && playing; ++i) {
            out.update();
            playing = channel->isPlaying(&playing) == AURA_OK && playing;
        }
        EXPECT_FALSE(playing) << "still playing";
        EXPECT_EQ(sound->release(), AURA_OK);
        return out.finish();
    }

    auratest::TempDir mDir{"aura-odd-ogg"};
};

// The speakers of a WAVE_FORMAT_EXTENSIBLE file, written into its "fmt ".
void setChannelMask(Bytes &wav, uint32_t mask)
{
    for (size_t at = 12; at + 8 + 24 <= wav.size();) {
        const uint32_t size = auratest::le32(wav, at + 4);
        if (std::memcmp(&wav[at], "fmt ", 4) == 0 && auratest::le16(wav, at + 8) == 0xFFFE) {
            for (size_t i = 0; i < 4; ++i) {
                wav[at + 8 + 20 + i] = static_cast<uint8_t>(mask >> (8 * i));
            }
            return;
        }
        at += 8 + size + (size & 1);
    }
    ADD_FAILURE() << "no extensible format chunk";
}

// Every channel carries its own tone; oggenc stores them in Vorbis order.
// Played through the engine, the Ogg file must put each tone in the same
// output side, at the same level, as a WAV file of the same layout.
TEST_F(OddOggFiles, MultichannelFilesPlayLikeTheWavTheyWereMadeFrom)
{
    // Channel 3 is the LFE of 5.1, 6.1 and 7.1, which the encoder low-passes.
    const std::vector<double> tones = {300, 500, 700, 80, 900, 1100, 1300, 1500};
    // The Vorbis layouts: L C R, quad, 5.0, 5.1, 6.1, 7.1.
    const uint32_t masks[] = {0x7, 0x33, 0x37, 0x3F, 0x70F, 0x63F};
    constexpr int rate = 48000;
    for (int channels = 3; channels <= 8; ++channels) {
        SCOPED_TRACE(std::to_string(channels) + " channels");
        const fs::path wav = mDir / "tones.wav";
        const fs::path ogg = mDir / "tones.ogg";
        std::string synth;
        for (int c = 0; c < channels; ++c) {
            synth += " sine " + std::to_string(static_cast<int>(tones[static_cast<size_t>(c)]));
        }
        ASSERT_TRUE(run("sox -D -n -r 48000 -b 16 -c " + std::to_string(channels) + " " + quote(wav) + " synth 0.5" +
                        synth + " vol 0.3"));
        ASSERT_TRUE(run("oggenc -Q -q 8 -o " + quote(ogg) + " " + quote(wav)));
        // sox names no speakers for 3, 5 and 7 channels.
        Bytes named = auratest::readAll(wav);
        setChannelMask(named, masks[channels - 3]);
        const fs::path reference = write("reference.wav", named);

        const auratest::Wav fromWav = render(reference, AURA_DEFAULT, rate);
        for (AURA_MODE mode : kModes) {
            SCOPED_TRACE(modeName(mode));
            const auratest::Wav fromOgg = render(ogg, mode, rate);
            ASSERT_EQ(fromOgg.channels, 2u);
            for (int c = 0; c < channels; ++c) {
                const double f = tones[static_cast<size_t>(c)];
                double heard = 0.0;
                for (int side = 0; side < 2; ++side) {
                    const double want = auratest::toneLevel(fromWav.samples, 2, side, f, rate, 2400, 21600);
                    const double got = auratest::toneLevel(fromOgg.samples, 2, side, f, rate, 2400, 21600);
                    heard = std::max(heard, want);
                    // The codec is lossy and codes the LFE coarsely; a
                    // channel in the wrong place is off by far more.
                    if (want > 0.02) {
                        EXPECT_NEAR(got / want, 1.0, 0.3) << "tone of channel " << c << ", side " << side;
                    } else {
                        EXPECT_LT(got, 0.02) << "tone of channel " << c << ", side " << side;
                    }
                }
                EXPECT_GT(heard, 0.05) << "channel " << c << " is not heard at all";
            }
        }
    }
}

// Three TITLE comments stay three, in the file's order, whether the file is
// read whole or streamed.
TEST_F(OddOggFiles, RepeatedCommentNamesKeepEveryEntryInFileOrder)
{
    const fs::path ogg = write("titles.ogg", auratest::encodeOgg({.rate = 22050, .channels = 1, .frames = 22050,
                                                                   .comments = {"TITLE=A", "ARTIST=X", "TITLE=B",
                                                                                "TITLE=C"}}));
    auratest::WavRender out;
    for (AURA_MODE mode : kModes) {
        SCOPED_TRACE(modeName(mode));
        AURA::Sound *sound = nullptr;
        ASSERT_EQ(out.system()->createSound(ogg.c_str(), mode, nullptr, &sound), AURA_OK);
        int count = 0;
        ASSERT_EQ(sound->getNumTags(&count, nullptr), AURA_OK);
        std::vector<std::string> tags;
        for (int i = 0; i < count; ++i) {
            AURA_TAG tag{};
            ASSERT_EQ(sound->getTag(nullptr, i, &tag), AURA_OK);
            tags.push_back(std::string(tag.name) + "=" + static_cast<const char *>(tag.data));
        }
        EXPECT_EQ(tags, (std::vector<std::string>{"TITLE=A", "ARTIST=X", "TITLE=B", "TITLE=C"}));
        EXPECT_EQ(sound->release(), AURA_OK);
    }
}

// Some encoders start the granule positions below zero. oggdec decodes such
// a file through to its last page; lengths and seeks count in what it
// decodes.
TEST_F(OddOggFiles, NegativeFirstGranuleLengthAndSeeksAgreeWithOggdec)
{
    for (const int64_t shift : {700, 3000, 5900}) {
        SCOPED_TRACE("granules shifted by -" + std::to_string(shift));
        const Bytes bytes = auratest::encodeOgg(
            {.rate = 44100, .channels = 2, .frames = 3 * 44100, .granuleShift = shift, .firstPagePackets = 2});
        const std::vector<auratest::OggPage> pages = auratest::oggPages(bytes);
        ASSERT_GT(pages.size(), 3u);
        ASSERT_LT(pages[2].granule(bytes), 0) << "the first audio page should carry a negative granule";
        const fs::path ogg = write("shifted.ogg", bytes);
        const std::vector<int16_t> theirs = oggdec(ogg);
        const size_t frames = theirs.size() / 2;
        ASSERT_GT(frames, 44100u);

        AURA::MemoryFile *file = AURA_New(AURA::MemoryFile);
        ASSERT_EQ(auratest::openMemoryFile(*file, bytes), AURA_OK);
        AURA::Codec *codec = nullptr;
        ASSERT_EQ(AURA::Codec::create(*AURA::CodecOggVorbis::getDescriptionEx(), nullptr, &codec), AURA_OK);
        codec->mFile = file;
        ASSERT_EQ(codec->open(AURA_DEFAULT, nullptr), AURA_OK);
        EXPECT_EQ(codec->state()->waveformat[0].lengthpcm, frames);
        std::vector<int16_t> ours(2048);
        for (const size_t target : {size_t{0}, size_t{100}, size_t{2000}, size_t{6000}, frames / 2, frames - 3000,
                                    frames - 700, size_t{50}}) {
            SCOPED_TRACE("seek to " + std::to_string(target));
            ASSERT_EQ(codec->setPosition(0, static_cast<unsigned int>(target), AURA_TIMEUNIT_PCM), AURA_OK);
            unsigned int got = 0;
            ASSERT_EQ(codec->read(ours.data(), static_cast<unsigned int>(ours.size() * 2), &got), AURA_OK);
            ASSERT_GT(got, 0u);
            const size_t n = std::min<size_t>(got / 2, theirs.size() - target * 2);
            EXPECT_TRUE(std::equal(ours.begin(), ours.begin() + static_cast<long>(n),
                                   theirs.begin() + static_cast<long>(target * 2)));
        }
        (void)codec->release();

        // Both modes report that length.
        auratest::WavRender out;
        for (AURA_MODE mode : kModes) {
            AURA::Sound *sound = nullptr;
            ASSERT_EQ(out.system()->createSound(ogg.c_str(), mode, nullptr, &sound), AURA_OK);
            unsigned int length = 0;
            EXPECT_EQ(sound->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
            EXPECT_EQ(length, frames) << modeName(mode);
            EXPECT_EQ(sound->release(), AURA_OK);
        }
    }
}

// A last page that claims 2^32 samples: the length is what the pages hold,
// in both modes, and a stream of it ends with its data.
TEST_F(OddOggFiles, ALastGranuleBeyondTheDataGivesTheDecodedLength)
{
    Bytes bytes = auratest::encodeOgg({.rate = 44100, .channels = 2, .frames = 2 * 44100});
    ASSERT_GT(auratest::oggPages(bytes).size(), 3u) << "a file of one audio page is a case of its own";
    ASSERT_TRUE(auratest::setLastGranule(bytes, 0xFFFFFFFFu));
    const fs::path ogg = write("long-claim.ogg", bytes);
    const size_t frames = oggdec(ogg).size() / 2;
    ASSERT_GT(frames, 2 * 44100u - 1000);
    ASSERT_LT(frames, 2 * 44100u + 1000);

    auratest::WavRender out({.rate = 44100, .block = 1024});
    for (AURA_MODE mode : kModes) {
        SCOPED_TRACE(modeName(mode));
        AURA::Sound *sound = nullptr;
        ASSERT_EQ(out.system()->createSound(ogg.c_str(), mode, nullptr, &sound), AURA_OK);
        unsigned int length = 0;
        EXPECT_EQ(sound->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
        EXPECT_EQ(length, frames);
        AURA::Channel *channel = out.play(sound);
        int blocks = 0;
        for (bool playing = true; playing && blocks < 1000; ++blocks) {
            out.update();
            playing = channel->isPlaying(&playing) == AURA_OK && playing;
        }
        EXPECT_LE(blocks, static_cast<int>(frames / 1024) + 3);
        EXPECT_EQ(sound->release(), AURA_OK);
    }
}

// Damaged headers that vorbisfile accepts at open but not in decoding: the
// file is refused with the codec's own answer, the same in both modes, and
// never played into a crash.
TEST_F(OddOggFiles, DamagedHeadersGiveOneAnswerInBothModes)
{
    const Bytes good = auratest::encodeOgg({.rate = 44100, .channels = 2, .frames = 44100});
    struct Case {
        const char *what;
        bool (*damage)(Bytes &);
    };
    const Case cases[] = {
        {"ten bytes of the setup header", [](Bytes &b) { return auratest::damageSetupHeader(b, 400, 10); }},
        {"one byte of the setup header", [](Bytes &b) { return auratest::damageSetupHeader(b, 1000, 1); }},
        {"three channels claimed", [](Bytes &b) { return auratest::setHeaderChannels(b, 3); }},
        {"one channel claimed", [](Bytes &b) { return auratest::setHeaderChannels(b, 1); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bytes = good;
        ASSERT_TRUE(c.damage(bytes));
        const fs::path ogg = write("damaged.ogg", bytes);
        AURA_RESULT answers[2] = {};
        for (AURA_MODE mode : kModes) {
            auratest::WavRender out({.rate = 44100, .block = 1024});
            AURA::Sound *sound = nullptr;
            const AURA_RESULT result = out.system()->createSound(ogg.c_str(), mode, nullptr, &sound);
            answers[(mode & AURA_CREATESTREAM) ? 1 : 0] = result;
            if (result != AURA_OK) {
                EXPECT_EQ(result, AURA_ERR_FORMAT) << modeName(mode);
                continue;
            }
            AURA::Channel *channel = out.play(sound);
            for (bool playing = true; playing;) {
                out.update();
                playing = channel->isPlaying(&playing) == AURA_OK && playing;
            }
            EXPECT_EQ(sound->release(), AURA_OK);
        }
        EXPECT_EQ(answers[0], answers[1]);
    }
}

} // namespace
