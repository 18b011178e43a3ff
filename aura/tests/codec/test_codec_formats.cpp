// AIFF, FLAC and DLS files: made by sox, ffmpeg and flac (or written here
// where those tools cannot make what is tested), opened through the engine
// and compared byte for byte with what the reference decoders give.
#include "aura.h"
#include "aura.hpp"
#include "codec/aura_codec.h"
#include "codec/aura_codec_aiff.h"
#include "codec/aura_codec_dls.h"
#include "codec/aura_codec_flac.h"
#include "engine.h"
#include "files.h"
#include "base/aura_memory.h"
#include "sound/aura_soundi.h"
#include "sound/aura_stream.h"
#include "system/aura_async.h"
#include "systems.h"
#include "threads.h"
#include "tools.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr const char AURA_ALLOC_TAG[] = "aura/tests/codec/test_codec_formats";

using auratest::Bytes;
using auratest::quote;
using auratest::run;

// Big-endian fields for the AIFF writer.
void be16(Bytes &b, uint32_t v)
{
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void be32(Bytes &b, uint32_t v)
{
    be16(b, v >> 16);
    be16(b, v & 0xFFFF);
}
void append(Bytes &to, const Bytes &from)
{
    to.insert(to.end(), from.begin(), from.end());
}

Bytes aiffChunk(const char *id, const Bytes &body, int64_t declared = -1)
{
    Bytes c;
    auratest::putId(c, id);
    be32(c, declared >= 0 ? static_cast<uint32_t>(declared) : static_cast<uint32_t>(body.size()));
    append(c, body);
    if (body.size() & 1) {
        c.push_back(0);
    }
    return c;
}

// A COMM chunk; rate 44100 unless the 10 extended bytes are given.
Bytes commBody(int16_t channels, uint32_t frames, uint16_t bits, const char *compression = nullptr,
               const Bytes &rate = {0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0})
{
    Bytes b;
    be16(b, static_cast<uint16_t>(channels));
    be32(b, frames);
    be16(b, bits);
    append(b, rate);
    if (compression) {
        auratest::putId(b, compression);
        b.push_back(0); // empty name
        b.push_back(0);
    }
    return aiffChunk("COMM", b);
}

Bytes ssndBody(const Bytes &data)
{
    Bytes b(8, 0);
    append(b, data);
    return b;
}

Bytes aiffFile(const char *form, const std::vector<Bytes> &chunks)
{
    Bytes body;
    auratest::putId(body, form);
    for (const Bytes &c : chunks) {
        append(body, c);
    }
    return aiffChunk("FORM", body);
}

class Formats : public auratest::NoSoundSystemTest {
protected:
    Formats() : NoSoundSystemTest("aura-formats") {}

    static Bytes sampleBytes(AURA::Sound *sound) { return auratest::sampleBytes(sound); }

    // What a stream's codec delivers from its start to its end.
    static Bytes streamBytes(AURA::Sound *sound)
    {
        auto *stream = static_cast<AURA::Stream *>(static_cast<AURA::SoundI *>(sound));
        EXPECT_EQ(stream->mCodec->setPosition(-1, 0, AURA_TIMEUNIT_PCM), AURA_OK);
        Bytes out;
        std::vector<uint8_t> piece(30011);
        for (int i = 0; i < 100000; ++i) {
            unsigned int got = 0;
            const AURA_RESULT result =
                stream->mCodec->read(piece.data(), static_cast<unsigned int>(piece.size()), &got);
            out.insert(out.end(), piece.begin(), piece.begin() + got);
            if (result != AURA_OK || got == 0) {
                break;
            }
        }
        return out;
    }

    // Opens `path` as a sample and as a stream and checks both against `expected`.
    void expectPCM(const std::string &path, const Bytes &expected, unsigned int frames, int rate,
                   const std::string &what)
    {
        for (const bool streamed : {false, true}) {
            AURA::Sound *sound = nullptr;
            const AURA_RESULT result = streamed ? system()->createStream(path.c_str(), 0, nullptr, &sound)
                                                : system()->createSound(path.c_str(), 0, nullptr, &sound);
            ASSERT_EQ(result, AURA_OK) << what << (streamed ? " stream" : " sample");
            unsigned int length = 0;
            EXPECT_EQ(sound->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
            EXPECT_EQ(length, frames) << what;
            float frequency = 0;
            EXPECT_EQ(sound->getDefaults(&frequency, nullptr, nullptr, nullptr), AURA_OK);
            EXPECT_EQ(static_cast<int>(frequency), rate) << what;
            const Bytes got = streamed ? streamBytes(sound) : sampleBytes(sound);
            EXPECT_TRUE(got == expected) << what << (streamed ? " stream" : " sample") << ": " << got.size()
                                         << " bytes against " << expected.size();
            EXPECT_EQ(sound->release(), AURA_OK);
        }
    }

    AURA_RESULT open(const Bytes &bytes, AURA::Sound **sound, AURA_MODE mode = 0,
                     AURA_CREATESOUNDEXINFO *info = nullptr)
    {
        AURA_CREATESOUNDEXINFO exinfo{};
        if (!info) {
            exinfo.cbsize = sizeof(exinfo);
            info = &exinfo;
        }
        info->length = static_cast<unsigned int>(bytes.size());
        const char *data = reinterpret_cast<const char *>(bytes.data());
        return (mode & AURA_CREATESTREAM) ? system()->createStream(data, AURA_OPENMEMORY | mode, info, sound)
                                          : system()->createSound(data, AURA_OPENMEMORY | mode, info, sound);
    }

};

TEST_F(Formats, AiffFromSoxAndFfmpegReadsAsSoxDecodesIt)
{
    ASSERT_TRUE(run("sox -n -r 44100 -c 2 -b 16 " + quote(mDir / "src.wav") + " synth 0.3 sine 300 sine 500"));
    struct Case {
        const char *ext;
        int bits, channels, rate;
    };
    const Case cases[] = {{"aiff", 8, 1, 8000},   {"aiff", 16, 2, 44100}, {"aiff", 24, 6, 96000},
                          {"aiff", 32, 2, 22050}, {"aifc", 16, 1, 48000}, {"aifc", 24, 2, 11025},
                          {"aifc", 32, 6, 32000}, {"aifc", 8, 2, 16000}};
    for (const Case &c : cases) {
        const std::string name = std::to_string(c.bits) + "_" + std::to_string(c.channels) + "." + c.ext;
        const auto path = mDir / name;
        // The comment puts sox's COMT chunk before COMM.
        ASSERT_TRUE(run("sox " + quote(mDir / "src.wav") + " --comment 'made for a test' -b " + std::to_string(c.bits) +
                        " -c " + std::to_string(c.channels) + " -r " + std::to_string(c.rate) + " " + quote(path)));
        ASSERT_TRUE(run("sox " + quote(path) + " -t raw -e signed " + quote(mDir / "ref.raw")));
        const unsigned int frames =
            static_cast<unsigned int>(std::stoul(auratest::capture("soxi -s " + quote(path).append(""))));
        expectPCM(path.string(), auratest::readAll(mDir / "ref.raw"), frames, c.rate, name);
    }
    // ffmpeg's AIFF-C is little-endian ("sowt").
    const auto sowt = mDir / "sowt.aifc";
    ASSERT_TRUE(
        run("ffmpeg -loglevel error -y -i " + quote(mDir / "src.wav") + " -c:a pcm_s16le -f aiff " + quote(sowt)));
    ASSERT_TRUE(run("sox " + quote(mDir / "src.wav") + " -t raw -e signed " + quote(mDir / "ref.raw")));
    const Bytes sowtBytes = auratest::readAll(sowt);
    ASSERT_NE(std::search(sowtBytes.begin(), sowtBytes.end(), "sowt", "sowt" + 4), sowtBytes.end());
    expectPCM(sowt.string(), auratest::readAll(mDir / "ref.raw"), 13230, 44100, "ffmpeg sowt");
}

TEST_F(Formats, AiffWrittenHereByteOrdersPadsAndMalformedHeaders)
{
    // Samples 0x010203.. so every byte is told apart.
    Bytes data;
    for (int i = 0; i < 96; ++i) {
        data.push_back(static_cast<uint8_t>(i + 1));
    }
    const auto swapped = [&](unsigned int width) {
        Bytes out = data;
        for (size_t i = 0; i + width <= out.size(); i += width) {
            std::reverse(out.begin() + static_cast<long>(i), out.begin() + static_cast<long>(i + width));
        }
        return out;
    };
    struct Case {
        const char *what;
        Bytes file;
        AURA_RESULT result;
        Bytes pcm;
    };
    const Bytes odd = aiffChunk("ANNO", Bytes{'a', 'b', 'c'}); // 3 bytes and a pad
    const Bytes mark = aiffChunk("MARK", Bytes{0, 1, 0, 1, 0, 0, 0, 10, 1, 'm'});
    const Bytes inst = aiffChunk("INST", Bytes(20, 0));
    const Case cases[] = {
        // Reads stop at the end of SSND, not in the chunk after it.
        {"sowt 24", aiffFile("AIFC", {commBody(2, 16, 24, "sowt"), aiffChunk("SSND", ssndBody(data)), odd}), AURA_OK,
         data},
        {"sowt 32", aiffFile("AIFC", {commBody(2, 12, 32, "sowt"), aiffChunk("SSND", ssndBody(data))}), AURA_OK, data},
        {"big-endian 32", aiffFile("AIFF", {commBody(1, 24, 32), aiffChunk("SSND", ssndBody(data))}), AURA_OK,
         swapped(4)},
        {"big-endian 24 with pads, MARK and INST",
         aiffFile("AIFF", {odd, mark, inst, commBody(1, 32, 24), odd, aiffChunk("SSND", ssndBody(data))}), AURA_OK,
         swapped(3)},
        {"12-bit", aiffFile("AIFF", {commBody(1, 48, 12), aiffChunk("SSND", ssndBody(data))}), AURA_ERR_FORMAT, {}},
        {"no channels",
         aiffFile("AIFF", {commBody(0, 48, 16), aiffChunk("SSND", ssndBody(data))}),
         AURA_ERR_INVALID_PARAM,
         {}},
        {"negative channels",
         aiffFile("AIFF", {commBody(-2, 48, 16), aiffChunk("SSND", ssndBody(data))}),
         AURA_ERR_INVALID_PARAM,
         {}},
        {"no SSND", aiffFile("AIFF", {commBody(1, 48, 16)}), AURA_ERR_FILE_BAD, {}},
        {"SSND below 8", aiffFile("AIFF", {commBody(1, 48, 16), aiffChunk("SSND", Bytes(4, 0))}), AURA_ERR_FORMAT, {}},
        // (IMA4, mu-law and A-law go to the platform decoder; MACE to no codec.)
        {"compressed AIFF-C",
         aiffFile("AIFC", {commBody(1, 48, 16, "MAC3"), aiffChunk("SSND", ssndBody(data))}),
         AURA_ERR_FORMAT,
         {}},
        {"rate beyond int",
         aiffFile("AIFC", {commBody(1, 48, 16, "NONE", {0x40, 0x3F, 0x80, 0, 0, 0, 0, 0, 0, 0}),
                           aiffChunk("SSND", ssndBody(data))}),
         AURA_ERR_FORMAT,
         {}},
        {"COMM cut short",
         aiffFile("AIFC", {aiffChunk("COMM", Bytes(12, 1)), aiffChunk("SSND", ssndBody(data))}),
         AURA_ERR_FORMAT,
         {}},
    };
    for (const Case &c : cases) {
        AURA::Sound *sound = nullptr;
        ASSERT_EQ(open(c.file, &sound), c.result) << c.what;
        if (sound) {
            EXPECT_TRUE(sampleBytes(sound) == c.pcm) << c.what;
            AURA_SOUND_TYPE type{};
            EXPECT_EQ(sound->getFormat(&type, nullptr, nullptr, nullptr), AURA_OK);
            EXPECT_EQ(type, AURA_SOUND_TYPE_AIFF);
            EXPECT_EQ(sound->release(), AURA_OK);
        }
    }
}

// The codec itself, over a memory file and over a file that cannot seek.
TEST_F(Formats, AiffCodecReadsSamplesInOrderStopsAtSsndAndClampsIt)
{
    Bytes data(90);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i);
    }
    // SSND says more than the file holds; a chunk after it must not be read
    // as audio, nor walked into on a file that cannot seek.
    const Bytes file = aiffFile("AIFF", {commBody(1, 30, 24), aiffChunk("SSND", ssndBody(data), 8 + 5000)});
    const Bytes trailed =
        aiffFile("AIFF", {commBody(1, 30, 24), aiffChunk("SSND", ssndBody(data)), commBody(1, 30, 12)});
    for (const Bytes *bytes : {&file, &trailed}) {
        AURA::MemoryFile memory;
        ASSERT_EQ(auratest::openMemoryFile(memory, *bytes), AURA_OK);
        AURA::Codec *codec = nullptr;
        ASSERT_EQ(AURA::Codec::create(*AURA::CodecAIFF::getDescriptionEx(), nullptr, &codec), AURA_OK);
        codec->mFile = &memory;
        ASSERT_EQ(codec->open(0, nullptr), bytes == &trailed ? AURA_ERR_FORMAT : AURA_OK);
        if (bytes == &file) {
            EXPECT_EQ(codec->state()->waveformat->lengthpcm, 30u);
            EXPECT_EQ(codec->state()->waveformat->frequency, 44100);
            uint8_t out[200];
            unsigned int got = 0;
            // A read that ends inside a sample still gets its bytes in order.
            EXPECT_EQ(codec->read(out, 10, &got), AURA_OK);
            EXPECT_EQ(got, 10u);
            EXPECT_EQ(out[0], 2);
            EXPECT_EQ(out[2], 0);
            EXPECT_EQ(out[9], 11);
            EXPECT_EQ(codec->read(out, 200, &got), AURA_ERR_FILE_EOF);
            EXPECT_EQ(got, 80u);
            EXPECT_EQ(out[0], 10);
        }
        codec->mFile = nullptr;
        EXPECT_EQ(codec->release(), AURA_OK);
    }
    // Forward only: the bad COMM after SSND is never seen.
    auratest::ForwardSource source{&trailed};
    AURA::UserFile forward;
    ASSERT_EQ(auratest::openForwardFile(forward, source, 0), AURA_OK);
    AURA::Codec *codec = nullptr;
    ASSERT_EQ(AURA::Codec::create(*AURA::CodecAIFF::getDescriptionEx(), nullptr, &codec), AURA_OK);
    codec->mFile = &forward;
    EXPECT_EQ(codec->open(0, nullptr), AURA_OK);
    codec->mFile = nullptr;
    EXPECT_EQ(codec->release(), AURA_OK);
    (void)forward.close();

    unsigned char infinite[10] = {0x7F, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0};
    unsigned char rate44100[10] = {0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(AURA::ConvertFromIeeeExtended(infinite), 0.0f);
    EXPECT_EQ(AURA::ConvertFromIeeeExtended(rate44100), 44100.0f);
}

TEST_F(Formats, FlacFromFlacReadsAsFlacDecodesIt)
{
    struct Case {
        int bits, channels, rate;
        const char *options;
    };
    const Case cases[] = {{8, 1, 8000, "-0"},
                          {16, 2, 44100, "-5"},
                          {24, 6, 96000, "-8"},
                          {32, 2, 48000, "-3"},
                          {16, 8, 22050, "-1 --no-seektable"},
                          {16, 2, 44100, "--lax -b 65535"},
                          {24, 3, 32000, "-2 --channel-map=none -T ARTIST=Someone"},
                          {16, 1, 11025, "-4"},
                          {16, 2, 44100, "-6"},
                          {24, 2, 48000, "-7"}};
    for (const Case &c : cases) {
        const std::string name = std::to_string(c.bits) + "_" + std::to_string(c.channels) + "_" + c.options;
        const auto wav = mDir / "src.wav";
        const auto flac = mDir / "file.flac";
        ASSERT_TRUE(run("sox -n -r " + std::to_string(c.rate) + " -c " + std::to_string(c.channels) + " -b " +
                        std::to_string(c.bits) + " " + quote(wav) + " synth 1.7 sine 300 sine 500 vol 0.7"));
        ASSERT_TRUE(run("flac -s -f " + std::string(c.options) + " -o " + quote(flac) + " " + quote(wav))) << name;
        ASSERT_TRUE(run("flac -s -d -f --force-raw-format --endian=little --sign=signed -o " + quote(mDir / "ref.raw") +
                        " " + quote(flac)));
        const Bytes ref = auratest::readAll(mDir / "ref.raw");
        const unsigned int frames = static_cast<unsigned int>(ref.size() / (c.bits / 8) / c.channels);
        expectPCM(flac.string(), ref, frames, c.rate, name);
    }
}

TEST_F(Formats, FlacSeeksCutFilesCommentsAndBadHeaders)
{
    const auto wav = mDir / "src.wav";
    const auto flac = mDir / "tags.flac";
    ASSERT_TRUE(run("sox -n -r 44100 -c 2 -b 16 " + quote(wav) + " synth 3 sine 300 sine 700 vol 0.7"));
    ASSERT_TRUE(run("flac -s -f -T ARTIST=Somebody -T TITLE=A=B -o " + quote(flac) + " " + quote(wav)));
    ASSERT_TRUE(run("flac -s -d -f --force-raw-format --endian=little --sign=signed -o " + quote(mDir / "ref.raw") +
                    " " + quote(flac)));
    const Bytes ref = auratest::readAll(mDir / "ref.raw");
    const Bytes file = auratest::readAll(flac);

    AURA::Sound *sound = nullptr;
    ASSERT_EQ(open(file, &sound, AURA_CREATESTREAM), AURA_OK);
    AURA_TAG tag{};
    ASSERT_EQ(sound->getTag("ARTIST", 0, &tag), AURA_OK);
    EXPECT_STREQ(static_cast<const char *>(tag.data), "Somebody");
    ASSERT_EQ(sound->getTag("TITLE", 0, &tag), AURA_OK);
    EXPECT_STREQ(static_cast<const char *>(tag.data), "A=B");
    // Seeks to random samples read what decoding from the start gives.
    auto *codec = static_cast<AURA::Stream *>(static_cast<AURA::SoundI *>(sound))->mCodec;
    std::mt19937 random(18);
    const unsigned int frames = static_cast<unsigned int>(ref.size() / 4);
    for (int i = 0; i < 1000; ++i) {
        const unsigned int at = random() % frames;
        ASSERT_EQ(codec->setPosition(-1, at, AURA_TIMEUNIT_PCM), AURA_OK) << at;
        uint8_t out[64];
        unsigned int got = 0;
        const unsigned int want = std::min<unsigned int>(sizeof(out), (frames - at) * 4);
        ASSERT_EQ(codec->read(out, want, &got), AURA_OK);
        ASSERT_EQ(got, want);
        ASSERT_EQ(std::memcmp(out, ref.data() + static_cast<size_t>(at) * 4, want), 0) << "at " << at;
    }
    EXPECT_EQ(sound->release(), AURA_OK);

    // Cut inside a frame: every whole frame once, then the end.
    const Bytes cut(file.begin(), file.begin() + static_cast<long>(file.size() * 2 / 3));
    ASSERT_EQ(open(cut, &sound, AURA_CREATESTREAM), AURA_OK);
    const Bytes got = streamBytes(sound);
    EXPECT_GT(got.size(), ref.size() / 2);
    EXPECT_LT(got.size(), ref.size() * 3 / 4);
    EXPECT_EQ(std::memcmp(got.data(), ref.data(), got.size()), 0);
    EXPECT_EQ(sound->release(), AURA_OK);

    AURA_CREATESOUNDEXINFO exinfo{};
    exinfo.cbsize = sizeof(exinfo);
    exinfo.suggestedsoundtype = AURA_SOUND_TYPE_FLAC;
    EXPECT_EQ(open(Bytes(file.begin(), file.begin() + 3), &sound, 0, &exinfo), AURA_ERR_FILE_BAD);
    Bytes marker = file;
    marker[3] = 'D';
    EXPECT_EQ(open(marker, &sound, 0, &exinfo), AURA_ERR_FORMAT);
    // Frames larger than STREAMINFO's maximum block size are decode
    // errors, never written past the buffer sized from it.
    Bytes small = file;
    small[10] = 0;
    small[11] = 16;
    EXPECT_EQ(open(small, &sound, 0, &exinfo), AURA_ERR_FILE_BAD);

    // A comment without "=" is no tag; the others stay.
    Bytes unnamed = file;
    const std::string artist = "ARTIST=Somebody";
    const auto found = std::search(unnamed.begin(), unnamed.end(), artist.begin(), artist.end());
    ASSERT_NE(found, unnamed.end());
    found[6] = '_';
    ASSERT_EQ(open(unnamed, &sound, 0, &exinfo), AURA_OK);
    EXPECT_EQ(sound->getTag("ARTIST", 0, &tag), AURA_ERR_TAGNOTFOUND);
    EXPECT_EQ(sound->getTag("TITLE", 0, &tag), AURA_OK);
    EXPECT_EQ(sound->release(), AURA_OK);

    // Frames of another channel count after the stereo ones: an error,
    // after the stereo frames.
    ASSERT_TRUE(run("sox -n -r 44100 -c 1 -b 16 " + quote(mDir / "mono.wav") + " synth 1 sine 440"));
    ASSERT_TRUE(
        run("flac -s -f --no-seektable --no-padding -o " + quote(mDir / "mono.flac") + " " + quote(mDir / "mono.wav")));
    ASSERT_TRUE(run("flac -s -f --no-seektable --no-padding -o " + quote(mDir / "plain.flac") + " " + quote(wav)));
    const auto framesAt = [](const Bytes &bytes) {
        size_t at = 4;
        for (bool last = false; !last && at + 4 <= bytes.size();) {
            last = (bytes[at] & 0x80) != 0;
            at += 4 +
                  (static_cast<size_t>(bytes[at + 1]) << 16 | static_cast<size_t>(bytes[at + 2]) << 8 | bytes[at + 3]);
        }
        return at;
    };
    const Bytes stereo = auratest::readAll(mDir / "plain.flac");
    const Bytes mono = auratest::readAll(mDir / "mono.flac");
    Bytes mixed = stereo;
    mixed.insert(mixed.end(), mono.begin() + static_cast<long>(framesAt(mono)), mono.end());
    ASSERT_EQ(open(mixed, &sound, AURA_CREATESTREAM, &exinfo), AURA_OK);
    auto *mixedCodec = static_cast<AURA::Stream *>(static_cast<AURA::SoundI *>(sound))->mCodec;
    ASSERT_EQ(mixedCodec->setPosition(-1, 0, AURA_TIMEUNIT_PCM), AURA_OK);
    std::vector<uint8_t> piece(1 << 16);
    size_t total = 0;
    AURA_RESULT result = AURA_OK;
    for (int i = 0; i < 1000 && result == AURA_OK; ++i) {
        unsigned int got = 0;
        result = mixedCodec->read(piece.data(), static_cast<unsigned int>(piece.size()), &got);
        total += got;
    }
    EXPECT_EQ(result, AURA_ERR_FILE_BAD);
    EXPECT_GE(total, ref.size());
    EXPECT_EQ(sound->release(), AURA_OK);
}

// A DLS collection written here: waves of 8 and 16 bits, mono and stereo,
// named, one with a loop; two instruments with regions and articulation.
struct DlsWave {
    uint16_t channels, bits;
    std::string name;
    Bytes data;
    bool loop = false;
};

Bytes le(std::initializer_list<uint32_t> words, int width = 4)
{
    Bytes b;
    for (uint32_t w : words) {
        width == 2 ? auratest::put16(b, w) : auratest::put32(b, w);
    }
    return b;
}

Bytes wsmp(bool loop)
{
    Bytes b = le({20});
    append(b, le({60, static_cast<uint32_t>(-5) & 0xFFFF}, 2));
    append(b, le({static_cast<uint32_t>(-100), 0, loop ? 1u : 0u}));
    if (loop) {
        append(b, le({16, 0, 100, 50}));
    }
    return b;
}

Bytes info(const std::string &name)
{
    Bytes text(name.begin(), name.end());
    text.push_back(0);
    return auratest::list("INFO", {auratest::chunk("INAM", text)});
}

Bytes art1(std::initializer_list<uint32_t> scales)
{
    Bytes b = le({8, static_cast<uint32_t>(scales.size())});
    uint16_t n = 1;
    for (uint32_t scale : scales) {
        append(b, le({n, static_cast<uint32_t>(n + 1), static_cast<uint32_t>(n + 2), 0}, 2));
        append(b, le({scale}));
        ++n;
    }
    return b;
}

Bytes region(uint16_t low, uint16_t high, uint32_t wave, bool ownSample)
{
    std::vector<Bytes> parts = {auratest::chunk("rgnh", le({low, high, 10, 100, 0, 0}, 2))};
    if (ownSample) {
        parts.push_back(auratest::chunk("wsmp", wsmp(false)));
    }
    parts.push_back(auratest::chunk("wlnk", [&] {
        Bytes b = le({0, 0}, 2);
        append(b, le({1, wave}));
        return b;
    }()));
    parts.push_back(auratest::list("lart", {auratest::chunk("art1", art1({static_cast<uint32_t>(low) * 1000}))}));
    return auratest::list("rgn ", parts);
}

Bytes dlsFile(const std::vector<DlsWave> &waves, uint32_t instruments = 2, const Bytes &fmtExtra = {})
{
    std::vector<Bytes> pool;
    for (const DlsWave &w : waves) {
        const uint16_t align = static_cast<uint16_t>(w.channels * w.bits / 8);
        pool.push_back(auratest::list(
            "wave", {auratest::chunk("fmt ",
                                     [&] {
                                         Bytes f = auratest::fmtBody(1, w.channels, 22050, align, w.bits);
                                         append(f, fmtExtra);
                                         return f;
                                     }()),
                     auratest::chunk("wsmp", wsmp(w.loop)), auratest::chunk("data", w.data), info(w.name)}));
    }
    std::vector<Bytes> ins;
    for (uint32_t i = 0; i < 2; ++i) {
        ins.push_back(
            auratest::list("ins ", {auratest::chunk("insh", le({2, i * 128, 5 + i})),
                                    auratest::list("lrgn", {region(0, 59, 0, i == 1), region(60, 127, i + 1, false)}),
                                    auratest::list("lart", {auratest::chunk("art1", art1({77, 88}))}),
                                    info("instrument " + std::to_string(i))}));
    }
    Bytes body;
    auratest::putId(body, "DLS ");
    append(body, auratest::chunk("colh", le({instruments})));
    append(body, auratest::chunk("vers", le({1, 0})));
    append(body, auratest::list("lins", ins));
    append(body, auratest::chunk("ptbl", le({8, static_cast<uint32_t>(waves.size())})));
    append(body, auratest::list("wvpl", pool));
    append(body, info("collection"));
    return auratest::chunk("RIFF", body);
}

std::vector<DlsWave> testWaves()
{
    std::vector<DlsWave> waves = {{1, 8, "eight mono", {}},
                                  {2, 8, "eight stereo", {}},
                                  {1, 16, "sixteen mono", {}, true},
                                  {2, 16, "sixteen stereo", {}}};
    for (size_t i = 0; i < waves.size(); ++i) {
        for (size_t k = 0; k < 400 * (i + 1); ++k) {
            waves[i].data.push_back(static_cast<uint8_t>(k * 7 + i));
        }
    }
    return waves;
}

TEST_F(Formats, DlsWavesAreSubsoundsAndInstrumentsReadBack)
{
    const std::vector<DlsWave> waves = testWaves();
    const Bytes file = dlsFile(waves);
    AURA::Sound *bank = nullptr;
    ASSERT_EQ(open(file, &bank), AURA_OK);
    int count = 0;
    ASSERT_EQ(bank->getNumSubSounds(&count), AURA_OK);
    ASSERT_EQ(count, 4);
    // The parent plays nothing.
    AURA::Channel *channel = nullptr;
    EXPECT_EQ(system()->playSound(AURA_CHANNEL_FREE, bank, false, &channel), AURA_ERR_SUBSOUNDS);
    for (int i = 0; i < count; ++i) {
        AURA::Sound *wave = nullptr;
        ASSERT_EQ(bank->getSubSound(i, &wave), AURA_OK);
        ASSERT_NE(wave, nullptr);
        Bytes expected = waves[static_cast<size_t>(i)].data;
        if (waves[static_cast<size_t>(i)].bits == 8) {
            for (uint8_t &b : expected) {
                b ^= 0x80; // unsigned in the file, signed in the engine
            }
        }
        EXPECT_TRUE(sampleBytes(wave) == expected) << i;
        char name[64];
        ASSERT_EQ(wave->getName(name, sizeof(name)), AURA_OK);
        EXPECT_EQ(std::string(name), waves[static_cast<size_t>(i)].name);
        unsigned int start = 0, end = 0;
        AURA_MODE mode = 0;
        ASSERT_EQ(wave->getLoopPoints(&start, &end), AURA_OK);
        ASSERT_EQ(wave->getMode(&mode), AURA_OK);
        if (waves[static_cast<size_t>(i)].loop) {
            EXPECT_EQ(start, 100u);
            EXPECT_EQ(end, 149u);
            EXPECT_TRUE(mode & AURA_LOOP_NORMAL);
        } else {
            EXPECT_FALSE(mode & AURA_LOOP_NORMAL);
        }
        EXPECT_EQ(system()->playSound(AURA_CHANNEL_FREE, wave, true, &channel), AURA_OK);
    }
    AURA::Sound *none = nullptr;
    EXPECT_EQ(bank->getSubSound(4, &none), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(bank->release(), AURA_OK);

    // The instrument records, through the codec.
    AURA::MemoryFile memory;
    ASSERT_EQ(auratest::openMemoryFile(memory, file), AURA_OK);
    AURA::Codec *codec = nullptr;
    ASSERT_EQ(AURA::Codec::create(*AURA::CodecDLS::getDescriptionEx(), nullptr, &codec), AURA_OK);
    codec->mFile = &memory;
    ASSERT_EQ(codec->open(0, nullptr), AURA_OK);
    auto *dls = static_cast<AURA::CodecDLS *>(codec);
    ASSERT_EQ(dls->mNumInstruments, 2);
    for (uint32_t i = 0; i < 2; ++i) {
        const AURA::CodecDLSInstrument &instrument = dls->mInstrument[i];
        EXPECT_EQ(std::string(instrument.mName), "instrument " + std::to_string(i));
        EXPECT_EQ(instrument.mBank, i * 128);
        EXPECT_EQ(instrument.mProgram, 5 + i);
        ASSERT_EQ(instrument.mNumRegions, 2u);
        ASSERT_EQ(instrument.mNumConnectionBlocks, 2);
        EXPECT_EQ(instrument.mConnectionBlock[1].lScale, 88);
        const AURA::CodecDLSRegion &high = instrument.mRegion[1];
        EXPECT_EQ(high.usKeyLow, 60);
        EXPECT_EQ(high.usKeyHigh, 127);
        EXPECT_EQ(high.usVelocityLow, 10);
        EXPECT_EQ(high.usVelocityHigh, 100);
        EXPECT_EQ(high.mWaveIndex, i + 1);
        EXPECT_EQ(high.mChannel, 1u);
        ASSERT_EQ(high.mNumConnectionBlocks, 1);
        EXPECT_EQ(high.mConnectionBlock[0].lScale, 60000);
        EXPECT_EQ(high.mConnectionBlock[0].usDestination, 3);
        EXPECT_EQ(instrument.mRegion[0].mHasWaveSample, i == 1);
        EXPECT_FALSE(high.mHasWaveSample);
    }
    EXPECT_EQ(dls->mInstrument[1].mRegion[0].mWaveSample.sFineTune, -5);
    EXPECT_EQ(dls->mWave[2].mWaveSample.ulLoopStart, 100u);
    codec->mFile = nullptr;
    EXPECT_EQ(codec->release(), AURA_OK);
}

TEST_F(Formats, DlsInclusionListsStreamsAndMalformedCollections)
{
    const std::vector<DlsWave> waves = testWaves();
    const Bytes file = dlsFile(waves);
    // {-1} loads no wave; loadSubSound opens one later.
    int nothing = -1;
    AURA_CREATESOUNDEXINFO exinfo{};
    exinfo.cbsize = sizeof(exinfo);
    exinfo.inclusionlist = &nothing;
    exinfo.inclusionlistnum = 1;
    AURA::Sound *bank = nullptr;
    ASSERT_EQ(open(file, &bank, 0, &exinfo), AURA_OK);
    AURA::Sound *wave = nullptr;
    ASSERT_EQ(bank->getSubSound(3, &wave), AURA_OK);
    EXPECT_EQ(wave, nullptr);
    auto *bankI = static_cast<AURA::SoundI *>(bank);
    EXPECT_EQ(bankI->loadSubSound(3, 0), AURA_OK);
    EXPECT_EQ(bankI->loadSubSound(7, 0), AURA_ERR_INVALID_PARAM);
    ASSERT_EQ(bank->getSubSound(3, &wave), AURA_OK);
    ASSERT_NE(wave, nullptr);
    EXPECT_TRUE(sampleBytes(wave) == waves[3].data);
    ASSERT_EQ(bank->getSubSound(1, &wave), AURA_OK);
    EXPECT_EQ(wave, nullptr);
    EXPECT_EQ(bank->release(), AURA_OK);

    // A stream starts on its initial subsound and switches, blocking and not.
    for (const AURA_MODE mode : {AURA_CREATESTREAM, AURA_CREATESTREAM | AURA_NONBLOCKING}) {
        exinfo.inclusionlist = nullptr;
        exinfo.inclusionlistnum = 0;
        exinfo.initialsubsound = 2;
        AURA::Sound *stream = nullptr;
        ASSERT_EQ(open(file, &stream, mode, &exinfo), AURA_OK);
        AURA_OPENSTATE state{};
        ASSERT_TRUE(auratest::waitFor(
            [&] { return stream->getOpenState(&state) == AURA_OK && state == AURA_OPENSTATE_READY; }));
        char name[64];
        ASSERT_EQ(stream->getName(name, sizeof(name)), AURA_OK);
        EXPECT_STREQ(name, "sixteen mono");
        EXPECT_TRUE(streamBytes(stream) == waves[2].data);
        AURA::Sound *sub = nullptr;
        ASSERT_EQ(stream->getSubSound(3, &sub), AURA_OK);
        EXPECT_EQ(sub, stream);
        ASSERT_TRUE(auratest::waitFor(
            [&] { return stream->getOpenState(&state) == AURA_OK && state == AURA_OPENSTATE_READY; }));
        unsigned int length = 0;
        ASSERT_EQ(stream->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
        EXPECT_EQ(length, 400u);
        EXPECT_TRUE(streamBytes(stream) == waves[3].data);
        AURA::Channel *channel = nullptr;
        EXPECT_EQ(system()->playSound(AURA_CHANNEL_FREE, stream, false, &channel), AURA_OK);
        EXPECT_EQ(stream->release(), AURA_OK);
    }

    struct Case {
        const char *what;
        Bytes file;
        AURA_RESULT result;
    };
    Bytes huge = dlsFile(waves);
    const Bytes colh = {'c', 'o', 'l', 'h'};
    const auto at = std::search(huge.begin(), huge.end(), colh.begin(), colh.end()) - huge.begin();
    huge[static_cast<size_t>(at) + 8] = 0xFF; // colh count 0x..FF
    huge[static_cast<size_t>(at) + 11] = 0x7F;
    const Case cases[] = {
        {"colh 0", dlsFile(waves, 0), AURA_ERR_FORMAT},
        {"fmt of 50 bytes", dlsFile(waves, 2, Bytes(34, 0xEE)), AURA_OK},
        {"huge colh", huge, AURA_OK},
        {"no wave pool",
         [&] {
             Bytes body;
             auratest::putId(body, "DLS ");
             append(body, auratest::chunk("colh", le({1})));
             append(body, auratest::list("lins", {auratest::list("ins ", {auratest::chunk("insh", le({1, 0, 0}))})}));
             return auratest::chunk("RIFF", body);
         }(),
         AURA_ERR_FORMAT},
        {"INAM of 300 bytes", dlsFile({{1, 16, std::string(300, 'n'), Bytes(64, 1)}}), AURA_OK},
        {"not DLS", auratest::riff({auratest::chunk("data", Bytes(8, 0))}), AURA_ERR_FORMAT},
        {"more waves than ptbl counts",
         [&] {
             Bytes more = dlsFile(waves);
             const Bytes ptbl = {'p', 't', 'b', 'l'};
             const auto where = std::search(more.begin(), more.end(), ptbl.begin(), ptbl.end()) - more.begin();
             more[static_cast<size_t>(where) + 12] = 2;
             return more;
         }(),
         AURA_OK},
    };
    for (const Case &c : cases) {
        AURA_CREATESOUNDEXINFO plain{};
        plain.cbsize = sizeof(plain);
        plain.suggestedsoundtype = AURA_SOUND_TYPE_DLS;
        ASSERT_EQ(open(c.file, &bank, 0, &plain), c.result) << c.what;
        if (c.result != AURA_OK) {
            continue;
        }
        int count = 0;
        EXPECT_EQ(bank->getNumSubSounds(&count), AURA_OK);
        const std::string what = c.what;
        EXPECT_EQ(count, what == "more waves than ptbl counts" ? 2 : what == "INAM of 300 bytes" ? 1 : 4) << what;
        AURA::Sound *first = nullptr;
        ASSERT_EQ(bank->getSubSound(0, &first), AURA_OK);
        ASSERT_NE(first, nullptr) << c.what;
        char name[400];
        ASSERT_EQ(first->getName(name, sizeof(name)), AURA_OK);
        EXPECT_LE(std::strlen(name), 255u) << c.what;
        unsigned int length = 0;
        EXPECT_EQ(first->getLength(&length, AURA_TIMEUNIT_PCMBYTES), AURA_OK);
        EXPECT_GT(length, 0u) << c.what;
        EXPECT_EQ(bank->release(), AURA_OK);
    }
}

// A loader thread of its own runs its callbacks after each job (until one
// answers other than 0), serves no other sound, and goes at the next update
// once its work is done.
TEST_F(Formats, OwnedLoaderRunsItsCallbacksAndGoesAtTheUpdate)
{
    AURA::AsyncThread *owned = nullptr;
    ASSERT_EQ(AURA::AsyncThread::startOwned(nullptr, &owned), AURA_OK);
    const unsigned int tid = owned->mThread.getThreadID();
    AURA::AsyncThread *shared = nullptr;
    ASSERT_EQ(AURA::AsyncThread::getAsyncThread(nullptr, &shared), AURA_OK);
    EXPECT_NE(shared, owned);
    std::atomic<int> calls{0};
    const auto count = +[](void *counter) {
        ++*static_cast<std::atomic<int> *>(counter);
        return AURA_OK;
    };
    const auto stop = +[](void *counter) {
        ++*static_cast<std::atomic<int> *>(counter);
        return AURA_ERR_FILE_EOF;
    };
    const auto never = +[](void *counter) {
        *static_cast<std::atomic<int> *>(counter) += 100;
        return AURA_OK;
    };
    ASSERT_EQ(owned->addCallback(count, &calls), AURA_OK);
    ASSERT_EQ(owned->addCallback(stop, &calls), AURA_OK);
    ASSERT_EQ(owned->addCallback(never, &calls), AURA_OK);
    auto *work = AURA_New(AURA::SoundI);
    ASSERT_NE(work, nullptr);
    ASSERT_EQ(work->makeAsyncRecord(nullptr, nullptr), AURA_OK);
    ASSERT_EQ(owned->queue(work), AURA_OK);
    ASSERT_TRUE(auratest::waitFor([&] { return calls.load() == 2; }));
    ASSERT_TRUE(auratest::waitFor([&] {
        (void)system()->update();
        return !auratest::taskExists(tid);
    }));
    EXPECT_EQ(calls.load(), 2);
    AURA_Delete(work);
}

#ifdef AURA_PLAY_PATH
// The player renders the formats bit for bit (stereo at the file's own
// rate), lists subsounds and plays the one asked for.
TEST_F(Formats, AuraPlayRendersAiffFlacAndOneDlsWave)
{
    ASSERT_TRUE(run("sox -n -r 32000 -c 2 -b 16 " + quote(mDir / "src.wav") + " synth 0.7 sine 300 sine 500 vol 0.6"));
    ASSERT_TRUE(run("sox " + quote(mDir / "src.wav") + " " + quote(mDir / "a.aiff")));
    ASSERT_TRUE(run("flac -s -f -o " + quote(mDir / "a.flac") + " " + quote(mDir / "src.wav")));
    const auto expected = auratest::readWav(mDir / "src.wav");
    ASSERT_TRUE(expected.valid);
    for (const char *name : {"a.aiff", "a.flac"}) {
        for (const char *mode : {"", "--stream "}) {
            const auto out = mDir / "out.wav";
            ASSERT_TRUE(
                run(std::string(AURA_PLAY_PATH) + " -q " + mode + "-o " + quote(out) + " " + quote(mDir / name)))
                << name;
            const auto rendered = auratest::readWav(out);
            EXPECT_EQ(rendered.rate, 32000u) << name;
            EXPECT_TRUE(rendered.pcm16 == expected.pcm16) << name << " " << mode;
        }
    }
    const std::vector<DlsWave> waves = testWaves();
    ASSERT_TRUE(auratest::writeAll(mDir / "bank.dls", dlsFile(waves)));
    const std::string info = auratest::capture(std::string(AURA_PLAY_PATH) + " --info " + quote(mDir / "bank.dls"));
    EXPECT_NE(info.find("subsounds: 4"), std::string::npos) << info;
    EXPECT_NE(info.find("subsound 3: \"sixteen stereo\", PCM 16-bit, 2 channels, 400 samples"), std::string::npos)
        << info;
    for (const char *mode : {"", "--stream "}) {
        const auto out = mDir / "wave.wav";
        ASSERT_TRUE(run(std::string(AURA_PLAY_PATH) + " -q " + mode + "--subsound 3 -o " + quote(out) + " " +
                        quote(mDir / "bank.dls")));
        const auto rendered = auratest::readWav(out);
        EXPECT_EQ(rendered.rate, 22050u);
        EXPECT_TRUE(rendered.data == waves[3].data) << mode;
    }
    int status = 0;
    (void)auratest::capture(std::string(AURA_PLAY_PATH) + " -q --subsound 9 -o " + quote(mDir / "none.wav") + " " +
                                quote(mDir / "bank.dls") + " 2>/dev/null",
                            &status);
    EXPECT_NE(status, 0);
}
#endif

} // namespace
