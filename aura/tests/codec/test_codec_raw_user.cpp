// Raw files (made by sox) against the WAV files of the same samples, and
// user sounds whose callback writes a sine, played as samples and streams.
#include "codec/aura_codec_raw.h"
#include "codec/aura_codec_user.h"
#include "file/aura_file_memory.h"
#include "file/aura_file_null.h"
#include "engine.h"
#include "files.h"
#include "systems.h"
#include "threads.h"
#include "tools.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/tests/test_codec_raw_user";

namespace fs = std::filesystem;
using auratest::Bytes;
using auratest::quote;
using auratest::run;

AURA_CREATESOUNDEXINFO rawInfo(AURA_SOUND_FORMAT format, int channels, int rate = 44100)
{
    AURA_CREATESOUNDEXINFO exinfo{};
    exinfo.cbsize = sizeof(exinfo);
    exinfo.format = format;
    exinfo.numchannels = channels;
    exinfo.defaultfrequency = rate;
    return exinfo;
}

Bytes samplePCM(AURA::System *system, const std::string &file, AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo,
                unsigned int *samples = nullptr)
{
    AURA::Sound *sound = nullptr;
    EXPECT_EQ(system->createSound(file.c_str(), mode, exinfo, &sound), AURA_OK) << file;
    if (!sound) {
        return {};
    }
    unsigned int bytes = 0;
    EXPECT_EQ(sound->getLength(&bytes, AURA_TIMEUNIT_PCMBYTES), AURA_OK);
    if (samples) {
        EXPECT_EQ(sound->getLength(samples, AURA_TIMEUNIT_PCM), AURA_OK);
    }
    void *data = nullptr;
    unsigned int got = 0;
    EXPECT_EQ(sound->lock(0, bytes, &data, nullptr, &got, nullptr), AURA_OK);
    Bytes out(static_cast<uint8_t *>(data), static_cast<uint8_t *>(data) + got);
    EXPECT_EQ(sound->unlock(data, nullptr, got, 0), AURA_OK);
    EXPECT_EQ(sound->release(), AURA_OK);
    return out;
}

TEST(RawCodec, SoxRawFilesEqualTheirWavFiles)
{
    auratest::TempDir dir("aura-raw");
    auto *system = reinterpret_cast<AURA::System *>(auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND_NRT, 4));
    ASSERT_NE(system, nullptr);
    struct Case {
        int bits;
        const char *encoding;
        int channels;
        AURA_SOUND_FORMAT format;
    } cases[] = {
        {8, "signed", 1, AURA_SOUND_FORMAT_PCM8},
        {16, "signed", 2, AURA_SOUND_FORMAT_PCM16},
        {24, "signed", 2, AURA_SOUND_FORMAT_PCM24},
        {32, "signed", 3, AURA_SOUND_FORMAT_PCM32},
        {32, "floating-point", 6, AURA_SOUND_FORMAT_PCMFLOAT},
        {16, "signed", 5, AURA_SOUND_FORMAT_PCM16},
    };
    for (const Case &c : cases) {
        const std::string base = std::to_string(c.bits) + c.encoding + std::to_string(c.channels);
        SCOPED_TRACE(base);
        const std::string raw = dir.file(base + ".raw");
        const std::string wav = dir.file(base + ".wav");
        const std::string type = " -e " + std::string(c.encoding) + " -b " + std::to_string(c.bits) + " -c " +
                                 std::to_string(c.channels) + " -r 22050 ";
        ASSERT_TRUE(run("sox -n -t raw" + type + quote(raw) + " synth 0.3 sine 300-900 gain -2") &&
                    run("sox -t raw" + type + quote(raw) + " " + quote(wav)));
        AURA_CREATESOUNDEXINFO exinfo = rawInfo(c.format, c.channels, 22050);
        unsigned int samples = 0;
        const Bytes fromRaw = samplePCM(system, raw, AURA_SOFTWARE, &exinfo, &samples);
        const Bytes fromWav = samplePCM(system, wav, AURA_SOFTWARE, nullptr);
        EXPECT_EQ(samples, 22050u * 3 / 10);
        EXPECT_FALSE(fromRaw.empty());
        EXPECT_TRUE(fromRaw == fromWav);
    }

    // IMA ADPCM stays compressed: bytes x 64 / 36 / channels samples.
    const std::string adpcm = dir.file("blocks.ima");
    ASSERT_TRUE(auratest::writeAll(adpcm, Bytes(36 * 2 * 10, 0)));
    AURA_CREATESOUNDEXINFO ima = rawInfo(AURA_SOUND_FORMAT_IMAADPCM, 2);
    AURA::Sound *sound = nullptr;
    ASSERT_EQ(system->createSound(adpcm.c_str(), AURA_SOFTWARE | AURA_CREATECOMPRESSEDSAMPLE, &ima, &sound), AURA_OK);
    unsigned int length = 0;
    EXPECT_EQ(sound->getLength(&length, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(length, 640u);
    EXPECT_EQ(sound->release(), AURA_OK);
    ima.numchannels = 3;
    EXPECT_EQ(system->createSound(adpcm.c_str(), AURA_SOFTWARE | AURA_CREATECOMPRESSEDSAMPLE, &ima, &sound),
              AURA_ERR_TOOMANYCHANNELS);

    // Raw data needs a creation info that describes it; a foreign file with
    // none, or with one given for something else, is no sound.
    struct Refused {
        const char *what;
        AURA_MODE mode;
        AURA_SOUND_FORMAT format;
        int channels;
        int rate;
        bool exinfo;
    } refused[] = {
        {"no creation info", AURA_DEFAULT, AURA_SOUND_FORMAT_PCM16, 1, 8000, false},
        {"format none", AURA_DEFAULT, AURA_SOUND_FORMAT_NONE, 1, 8000, true},
        {"no channels", AURA_DEFAULT, AURA_SOUND_FORMAT_PCM16, 0, 8000, true},
        {"no rate", AURA_DEFAULT, AURA_SOUND_FORMAT_PCM16, 1, 0, true},
        {"a format past the list", AURA_DEFAULT, static_cast<AURA_SOUND_FORMAT>(12), 1, 8000, true},
        {"VAG", AURA_DEFAULT, AURA_SOUND_FORMAT_VAG, 1, 8000, true},
        {"software ADPCM not kept compressed", AURA_SOFTWARE, AURA_SOUND_FORMAT_IMAADPCM, 1, 8000, true},
        {"software PCM kept compressed", AURA_SOFTWARE | AURA_CREATECOMPRESSEDSAMPLE, AURA_SOUND_FORMAT_PCM16, 1, 8000,
         true},
    };
    for (const Refused &r : refused) {
        SCOPED_TRACE(r.what);
        AURA_CREATESOUNDEXINFO exinfo = rawInfo(r.format, r.channels, r.rate);
        EXPECT_EQ(system->createSound(adpcm.c_str(), r.mode, r.exinfo ? &exinfo : nullptr, &sound), AURA_ERR_FORMAT);
    }
    EXPECT_EQ(system->release(), AURA_OK);
}

TEST(RawCodec, LengthsAndSeeksLandOnWholeFrames)
{
    Bytes data(400000);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    struct Case {
        AURA_SOUND_FORMAT format;
        int channels;
        unsigned int frame;
        AURA_MODE mode;
    } cases[] = {
        {AURA_SOUND_FORMAT_PCM16, 2, 4, AURA_SOFTWARE},
        {AURA_SOUND_FORMAT_PCM8, 1, 1, AURA_SOFTWARE},
        {AURA_SOUND_FORMAT_PCM24, 2, 6, AURA_SOFTWARE},
        {AURA_SOUND_FORMAT_PCM32, 3, 12, AURA_DEFAULT},
        {AURA_SOUND_FORMAT_PCMFLOAT, 1, 4, AURA_DEFAULT},
        {AURA_SOUND_FORMAT_PCM24, 5, 15, AURA_DEFAULT},
        {AURA_SOUND_FORMAT_IMAADPCM, 2, 72, AURA_SOFTWARE | AURA_CREATECOMPRESSEDSAMPLE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "format " << c.format << " channels " << c.channels);
        AURA::Codec *codec = nullptr;
        ASSERT_EQ(AURA::Codec::create(*AURA::CodecRaw::getDescriptionEx(), nullptr, &codec), AURA_OK);
        auto *file = AURA_New(AURA::MemoryFile);
        codec->mFile = file;
        ASSERT_EQ(auratest::openMemoryFile(*file, data), AURA_OK);
        AURA_CREATESOUNDEXINFO exinfo = rawInfo(c.format, c.channels);
        ASSERT_EQ(codec->open(c.mode, &exinfo), AURA_OK);
        AURA_CODEC_WAVEFORMAT waveformat{};
        ASSERT_EQ(codec->getWaveFormat(0, &waveformat), AURA_OK);
        EXPECT_EQ(waveformat.blockalign, static_cast<int>(c.frame));
        const bool adpcm = c.format == AURA_SOUND_FORMAT_IMAADPCM;
        const unsigned int samples = adpcm ? 400000u * 64 / 36 / 2 : 400000u / c.frame;
        EXPECT_EQ(waveformat.lengthpcm, samples);
        for (unsigned int position : {0u, 1u, 63u, 64u, 1001u, samples / 2 + 1, samples - 1, samples, samples + 50}) {
            ASSERT_EQ(codec->setPosition(0, position, AURA_TIMEUNIT_PCM), AURA_OK) << position;
            uint8_t got[4] = {};
            unsigned int read = 0;
            const AURA_RESULT result = codec->read(got, 4, &read);
            const uint64_t frames = adpcm ? position / 64 : position;
            const uint64_t byte = std::min<uint64_t>(frames * c.frame, data.size() - data.size() % c.frame);
            if (byte + 4 <= data.size()) {
                ASSERT_EQ(result, AURA_OK);
                EXPECT_EQ(read, 4u);
                EXPECT_EQ(std::memcmp(got, data.data() + byte, 4), 0) << "sample " << position;
            } else {
                EXPECT_EQ(read, data.size() - byte) << "sample " << position;
            }
        }
        (void)codec->release();
    }
    // 16-bit mono: sample 1001 is byte 2002; raw bytes go where they say.
    AURA::Codec *codec = nullptr;
    ASSERT_EQ(AURA::Codec::create(*AURA::CodecRaw::getDescriptionEx(), nullptr, &codec), AURA_OK);
    auto *file = AURA_New(AURA::MemoryFile);
    codec->mFile = file;
    ASSERT_EQ(auratest::openMemoryFile(*file, data), AURA_OK);
    AURA_CREATESOUNDEXINFO exinfo = rawInfo(AURA_SOUND_FORMAT_PCM16, 1);
    ASSERT_EQ(codec->open(AURA_DEFAULT, &exinfo), AURA_OK);
    unsigned int at = 0;
    ASSERT_EQ(codec->setPosition(0, 1001, AURA_TIMEUNIT_PCM), AURA_OK);
    ASSERT_EQ(file->tell(&at), AURA_OK);
    EXPECT_EQ(at, 2002u);
    ASSERT_EQ(codec->setPosition(0, 12345, AURA_TIMEUNIT_RAWBYTES), AURA_OK);
    ASSERT_EQ(file->tell(&at), AURA_OK);
    EXPECT_EQ(at, 12345u);
    (void)codec->release();

    // Less than a frame: no samples, and a seek goes to the start.
    const std::vector<uint8_t> crumbs = {1, 2, 3};
    ASSERT_EQ(AURA::Codec::create(*AURA::CodecRaw::getDescriptionEx(), nullptr, &codec), AURA_OK);
    file = AURA_New(AURA::MemoryFile);
    codec->mFile = file;
    ASSERT_EQ(auratest::openMemoryFile(*file, crumbs), AURA_OK);
    exinfo = rawInfo(AURA_SOUND_FORMAT_PCM24, 2);
    ASSERT_EQ(codec->open(AURA_DEFAULT, &exinfo), AURA_OK);
    EXPECT_EQ(codec->state()->waveformat[0].lengthpcm, 0u);
    ASSERT_EQ(file->seek(2, 0), AURA_OK);
    ASSERT_EQ(codec->setPosition(0, 5, AURA_TIMEUNIT_PCM), AURA_OK);
    ASSERT_EQ(file->tell(&at), AURA_OK);
    EXPECT_EQ(at, 0u);
    (void)codec->release();
}

// A 441 Hz sine, one 16-bit channel, continuing from wherever the last
// callback stopped or the last seek put it.
struct SineSource {
    static inline uint64_t sPosition = 0;
    static inline std::vector<unsigned int> sSeeks;

    static int16_t at(uint64_t n)
    {
        return static_cast<int16_t>(
            std::lround(12000.0 * std::sin(2.0 * M_PI * 441.0 * static_cast<double>(n) / 44100.0)));
    }
    static AURA_RESULT read(AURA_SOUND *, void *data, unsigned int bytes)
    {
        auto *out = static_cast<int16_t *>(data);
        for (unsigned int i = 0; i < bytes / 2; ++i) {
            out[i] = at(sPosition++);
        }
        return AURA_OK;
    }
    static AURA_RESULT seek(AURA_SOUND *, int, unsigned int position, AURA_TIMEUNIT postype)
    {
        EXPECT_EQ(postype, AURA_TIMEUNIT_PCM);
        sPosition = position;
        sSeeks.push_back(position);
        return AURA_OK;
    }
};

TEST(UserCodec, SineSampleStreamAndWavRenderAlike)
{
    constexpr unsigned int kFrames = 44100;
    auratest::TempDir dir("aura-user");
    Bytes pcm;
    for (unsigned int n = 0; n < kFrames; ++n) {
        auratest::put16(pcm, static_cast<uint16_t>(SineSource::at(n)));
    }
    const fs::path wavPath = dir / "sine.wav";
    ASSERT_TRUE(
        auratest::writeAll(wavPath, auratest::riff({auratest::chunk("fmt ", auratest::fmtBody(1, 1, 44100, 2, 16)),
                                                    auratest::chunk("data", pcm)})));

    // Each source renders 1.2 seconds, so the end of the sound is in it.
    const auto render = [&](const char *what) {
        SCOPED_TRACE(what);
        auratest::WavRender out;
        AURA_CREATESOUNDEXINFO exinfo = auratest::userSoundInfo(kFrames * 2, 1, 44100);
        exinfo.pcmreadcallback = &SineSource::read;
        exinfo.pcmsetposcallback = &SineSource::seek;
        exinfo.decodebuffersize = 1000;
        SineSource::sPosition = 0;
        SineSource::sSeeks.clear();
        AURA::Sound *sound = nullptr;
        const std::string kind = what;
        if (kind == "wav") {
            EXPECT_EQ(out.system()->createSound(wavPath.c_str(), AURA_DEFAULT, nullptr, &sound), AURA_OK);
        } else {
            const AURA_MODE mode = AURA_OPENUSER | (kind == "stream" ? AURA_CREATESTREAM : AURA_DEFAULT);
            EXPECT_EQ(out.system()->createSound(nullptr, mode, &exinfo, &sound), AURA_OK);
        }
        if (sound) {
            out.play(sound);
        }
        out.update(52);
        return out.finish();
    };
    const auratest::Wav sample = render("sample");
    const auratest::Wav stream = render("stream");
    const auratest::Wav wav = render("wav");
    ASSERT_GT(wav.data.size(), kFrames * 8u);
    double energy = 0;
    for (size_t i = 0; i < wav.samples.size(); ++i) {
        energy += std::fabs(wav.samples[i]);
    }
    EXPECT_GT(energy, 1000.0);
    EXPECT_TRUE(sample.data == wav.data);
    EXPECT_TRUE(stream.data == wav.data);
}

TEST(UserCodec, StreamSeeksReachTheCallbackAndReadsAreSilence)
{
    auratest::WavRender out;
    AURA_CREATESOUNDEXINFO exinfo = auratest::userSoundInfo(44100 * 2, 1, 44100);
    exinfo.pcmreadcallback = &SineSource::read;
    exinfo.pcmsetposcallback = &SineSource::seek;
    SineSource::sPosition = 0;
    SineSource::sSeeks.clear();
    AURA::Sound *sound = nullptr;
    ASSERT_EQ(out.system()->createSound(nullptr, AURA_OPENUSER | AURA_CREATESTREAM, &exinfo, &sound), AURA_OK);
    AURA::Channel *channel = out.play(sound);
    ASSERT_NE(channel, nullptr);
    out.update(2);
    ASSERT_EQ(channel->setPosition(22050, AURA_TIMEUNIT_PCM), AURA_OK);
    out.update(2);
    ASSERT_FALSE(SineSource::sSeeks.empty());
    EXPECT_EQ(SineSource::sSeeks.back(), 22050u);

    // Codec level: float stereo of 8000 bytes; reads are whole and silent.
    AURA::Codec *codec = nullptr;
    ASSERT_EQ(AURA::Codec::create(*AURA::CodecUser::getDescriptionEx(), nullptr, &codec), AURA_OK);
    auto *file = AURA_New(AURA::NullFile);
    codec->mFile = file;
    ASSERT_EQ(file->init(nullptr, 8000, 0), AURA_OK);
    ASSERT_EQ(file->open(nullptr, 8000, false, nullptr), AURA_OK);
    AURA_CREATESOUNDEXINFO user = auratest::userSoundInfo(8000, 2, 48000, AURA_SOUND_FORMAT_PCMFLOAT);
    EXPECT_EQ(codec->open(AURA_DEFAULT, nullptr), AURA_ERR_FORMAT);
    ASSERT_EQ(codec->open(AURA_DEFAULT, &user), AURA_OK);
    AURA_CODEC_WAVEFORMAT waveformat{};
    ASSERT_EQ(codec->getWaveFormat(0, &waveformat), AURA_OK);
    EXPECT_EQ(waveformat.lengthpcm, 1000u);
    EXPECT_EQ(waveformat.blockalign, 8);
    std::vector<uint8_t> buffer(4096, 0xAA);
    unsigned int read = 0;
    EXPECT_EQ(codec->read(buffer.data(), 4096, &read), AURA_OK);
    EXPECT_EQ(read, 4096u);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0), 4096);
    // The length ends the data.
    EXPECT_EQ(codec->read(buffer.data(), 4096, &read), AURA_ERR_FILE_EOF);
    EXPECT_EQ(read, 8000u - 4096u);
    (void)codec->release();
    user.format = AURA_SOUND_FORMAT_IMAADPCM;
    ASSERT_EQ(AURA::Codec::create(*AURA::CodecUser::getDescriptionEx(), nullptr, &codec), AURA_OK);
    EXPECT_EQ(codec->open(AURA_DEFAULT, &user), AURA_ERR_FORMAT);
    (void)codec->release();
}

TEST(UserStreamThreads, TheStreamThreadFillsThroughTheCallback)
{
    // On a real-time output the stream thread refills the ring: the
    // callback runs there, chunk after chunk, while the caller seeks.
    static std::atomic<unsigned int> sBytes{0};
    static std::atomic<unsigned int> sSeeks{0};
    sBytes = 0;
    sSeeks = 0;
    AURA_SYSTEM *system = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND, 4);
    ASSERT_NE(system, nullptr);
    AURA_CREATESOUNDEXINFO exinfo = auratest::userSoundInfo(0, 2, 48000);
    exinfo.decodebuffersize = 1024;
    exinfo.pcmreadcallback = [](AURA_SOUND *, void *data, unsigned int bytes) -> AURA_RESULT {
        std::memset(data, 0x10, bytes);
        sBytes += bytes;
        return AURA_OK;
    };
    exinfo.pcmsetposcallback = [](AURA_SOUND *, int, unsigned int, AURA_TIMEUNIT) -> AURA_RESULT {
        ++sSeeks;
        return AURA_OK;
    };
    AURA_SOUND *sound = nullptr;
    ASSERT_EQ(AURA_System_CreateStream(system, nullptr, AURA_OPENUSER, &exinfo, &sound), AURA_OK);
    unsigned int length = 0;
    EXPECT_EQ(AURA_Sound_GetLength(sound, &length, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_EQ(length, 0xFFFFFFFFu); // no length: the caller's data has no end
    AURA_CHANNEL *channel = nullptr;
    ASSERT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, sound, 0, &channel), AURA_OK);
    const unsigned int first = sBytes;
    EXPECT_TRUE(auratest::waitFor([&] {
        (void)AURA_System_Update(system);
        return sBytes > first + 3 * 1024 * 4;
    }));
    ASSERT_EQ(AURA_Channel_SetPosition(channel, 100, AURA_TIMEUNIT_PCM), AURA_OK);
    EXPECT_TRUE(auratest::waitFor([&] { return sSeeks > 0; }));
    EXPECT_EQ(AURA_System_Release(system), AURA_OK);
}

} // namespace
