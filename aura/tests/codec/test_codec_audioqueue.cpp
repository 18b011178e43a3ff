// Files of the platform audio services (AAC, ALAC, and PCM, IMA4, G.711 and
// GSM in CAF, AIFF-C and WAV): every file decodes to what ffmpeg decodes
// (float PCM to what its float decode gives, the rest to its 16-bit one),
// seeks land on the same frames, interruptions resume in place, and nothing
// else is taken.
#include "codec/aura_codec_audioqueue.h"
#include "file/aura_file_disk.h"

#include "engine.h"
#include "files.h"
#include "systems.h"
#include "threads.h"
#include "tools.h"

#include <aura.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include <unistd.h>

namespace {

constexpr const char AURA_ALLOC_TAG[] = "aura/tests/test_codec_audioqueue";
namespace fs = std::filesystem;
using auratest::Bytes;
using auratest::quote;
using auratest::readAll;
using auratest::run;

struct Fixture {
    const char *name;
    int channels;
    int rate;
    const char *encode; // ffmpeg's output options
    bool lossless;
};

// Signals with something in every channel: a chord, then noise.
constexpr Fixture kFixtures[] = {
    {"alac_mono_44k.m4a", 1, 44100, "-c:a alac", true},
    {"alac_stereo_48k.caf", 2, 48000, "-c:a alac", true},
    {"alac_6ch_48k.m4a", 6, 48000, "-c:a alac", true},
    {"alac_6ch_44k.caf", 6, 44100, "-c:a alac", true},
    {"alac_stereo_44k_24bit.m4a", 2, 44100, "-c:a alac -sample_fmt s32p", true},
    {"aac_mono_44k.m4a", 1, 44100, "-c:a aac -aac_pns 0 -b:a 96k", false},
    {"aac_stereo_48k.aac", 2, 48000, "-c:a aac -aac_pns 0 -f adts", false},
    {"aac_51_48k.m4a", 6, 48000, "-c:a aac -aac_pns 0", false},
    {"aac_51_44k.aac", 6, 44100, "-c:a aac -aac_pns 0 -f adts", false},
    // What no codec of the engine's own takes: PCM, IMA4 and the G.711 laws
    // in CAF, IMA4, the laws and float PCM in AIFF-C, the laws and GSM 6.10
    // in WAV.
    {"lpcm_s16be_stereo_44k.caf", 2, 44100, "-c:a pcm_s16be", true},
    {"lpcm_s16le_mono_22k.caf", 1, 22050, "-c:a pcm_s16le", true},
    {"lpcm_s8_mono_11k.caf", 1, 11025, "-c:a pcm_s8", true},
    {"lpcm_s24le_stereo_48k.caf", 2, 48000, "-c:a pcm_s24le", true},
    {"lpcm_s32be_6ch_48k.caf", 6, 48000, "-c:a pcm_s32be", true},
    {"lpcm_f32le_stereo_44k.caf", 2, 44100, "-c:a pcm_f32le", true},
    {"lpcm_f64be_mono_32k.caf", 1, 32000, "-c:a pcm_f64be", true},
    {"lpcm_s24be_mono_16k.caf", 1, 16000, "-c:a pcm_s24be", true},
    {"lpcm_s32le_stereo_22k.caf", 2, 22050, "-c:a pcm_s32le", true},
    {"lpcm_f32be_mono_8k.caf", 1, 8000, "-c:a pcm_f32be", true},
    {"lpcm_f64le_stereo_11k.caf", 2, 11025, "-c:a pcm_f64le", true},
    {"lpcm_f32be_stereo_22k.aiff", 2, 22050, "-c:a pcm_f32be", true},
    {"lpcm_f64be_mono_44k.aiff", 1, 44100, "-c:a pcm_f64be", true},
    {"ima4_stereo_44k.caf", 2, 44100, "-c:a adpcm_ima_qt", true},
    {"ulaw_mono_8k.caf", 1, 8000, "-c:a pcm_mulaw", true},
    {"alaw_stereo_16k.caf", 2, 16000, "-c:a pcm_alaw", true},
    {"ima4_mono_22k.aiff", 1, 22050, "-c:a adpcm_ima_qt", true},
    {"ulaw_stereo_22k.aiff", 2, 22050, "-c:a pcm_mulaw", true},
    {"alaw_mono_8k.aiff", 1, 8000, "-c:a pcm_alaw", true},
    {"ulaw_stereo_8k.wav", 2, 8000, "-c:a pcm_mulaw", true},
    {"alaw_mono_11k.wav", 1, 11025, "-c:a pcm_alaw", true},
    {"gsm_mono_8k.wav", 1, 8000, "-c:a libgsm_ms", true},
};

// Float PCM is handed out as 32-bit float, everything else as 16-bit PCM.
bool floatOut(const Fixture &fixture)
{
    return std::strstr(fixture.encode, "pcm_f") != nullptr;
}

size_t frameBytesOf(const Fixture &fixture)
{
    return static_cast<size_t>(fixture.channels) * (floatOut(fixture) ? 4 : 2);
}

// The fixtures and ffmpeg's decodes of them, made on first use. Every test
// runs in a process of its own: a build tree keeps the fixtures it made for
// the next processes, each in a folder named after its recipe that appears
// whole (made under a name of the process, then renamed into place).
class AudioQueueFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() { sDir = new auratest::TempDir("aura-aq"); }
    static void TearDownTestSuite()
    {
        sReference.clear();
        sMade.clear();
        delete sDir;
        sDir = nullptr;
    }

    static fs::path path(const Fixture &fixture) { return make(fixture) / fixture.name; }
    static const Bytes &decoded(const Fixture &fixture)
    {
        make(fixture);
        return sReference[fixture.name];
    }
    // The signal the fixture was made from.
    static fs::path source(const Fixture &fixture) { return make(fixture) / "source.wav"; }

    static auratest::TempDir *sDir;
    static std::map<std::string, Bytes> sReference;
    static std::map<std::string, fs::path> sMade;

private:
    static fs::path make(const Fixture &fixture)
    {
        if (sMade.count(fixture.name)) {
            return sMade[fixture.name];
        }
        const std::string rate = std::to_string(fixture.rate);
        const std::string channels = std::to_string(fixture.channels);
        // A sweep and a tone, then noise: something in every channel.
        const std::string signal = "sox -R -n -r " + rate + " -c " + channels +
                                   " -b 24 %s synth 0.6 sine 220-880 sine 330 : synth 0.4 pinknoise vol 0.5 remix -";
        const char *decodedAs = floatOut(fixture) ? "f32le" : "s16le";
        const std::string recipe = signal + "|" + fixture.encode + "|" + decodedAs;
#ifdef AURA_AQ_FIXTURES
        const fs::path shelf = AURA_AQ_FIXTURES;
#else
        const fs::path shelf = sDir->file("fixtures");
#endif
        char key[17];
        std::snprintf(key, sizeof(key), "%016zx", std::hash<std::string>{}(recipe));
        const fs::path folder = shelf / (std::string(fixture.name) + "-" + key);
        if (!fs::exists(folder / "reference.raw")) {
            std::error_code error;
            fs::create_directories(shelf, error);
            const fs::path building = shelf / (folder.filename().string() + ".making." + std::to_string(getpid()));
            fs::create_directories(building, error);
            const fs::path wav = building / "source.wav";
            const fs::path out = building / fixture.name;
            std::string makeSignal = signal;
            makeSignal.replace(makeSignal.find("%s"), 2, quote(wav));
            EXPECT_TRUE(run(makeSignal));
            EXPECT_TRUE(run("ffmpeg -nostdin -v error -y -i " + quote(wav) + " " + fixture.encode + " " + quote(out)));
            EXPECT_TRUE(run("ffmpeg -nostdin -v error -y -i " + quote(out) + " -f " + decodedAs + " " +
                            quote(building / "reference.raw")));
            // Another process may have put the same fixture in place first.
            fs::rename(building, folder, error);
            if (error) {
                fs::remove_all(building, error);
            }
        }
        sReference[fixture.name] = readAll(folder / "reference.raw");
        sMade[fixture.name] = folder;
        return folder;
    }
};
auratest::TempDir *AudioQueueFiles::sDir = nullptr;
std::map<std::string, Bytes> AudioQueueFiles::sReference;
std::map<std::string, fs::path> AudioQueueFiles::sMade;

// The codec over a disk file; released at the end of the scope.
struct OpenedCodec {
    AURA::Codec *codec = nullptr;
    AURA_RESULT opened = AURA_ERR_INTERNAL;

    explicit OpenedCodec(const fs::path &path, AURA_CREATESOUNDEXINFO *exinfo = nullptr)
    {
        auto *file = AURA_New(AURA::DiskFile);
        if (!file || file->init(nullptr, 0, 0) != AURA_OK || file->open(path.c_str(), 0, false, nullptr) != AURA_OK) {
            ADD_FAILURE() << "cannot open " << path;
            AURA_Delete(file);
            return;
        }
        EXPECT_EQ(AURA::Codec::create(*AURA::CodecAudioQueue::getDescriptionEx(), nullptr, &codec), AURA_OK);
        codec->mFile = file;
        opened = codec->open(AURA_DEFAULT, exinfo);
    }
    OpenedCodec(const OpenedCodec &) = delete;
    OpenedCodec &operator=(const OpenedCodec &) = delete;
    ~OpenedCodec()
    {
        if (codec) {
            (void)codec->release();
        }
    }
    AURA::CodecAudioQueue *aq() { return static_cast<AURA::CodecAudioQueue *>(codec); }
    AURA_CODEC_WAVEFORMAT &format() { return codec->state()->waveformat[0]; }

    // Reads at least `bytes` (all when 0) through the codec's read
    // callback, less only at the end.
    Bytes read(size_t bytes = 0, unsigned int chunk = 40000)
    {
        Bytes out;
        Bytes buffer(chunk);
        for (int guard = 0; guard < 100000 && (bytes == 0 || out.size() < bytes); ++guard) {
            unsigned int got = 0;
            const AURA_RESULT result = aq()->readInternal(buffer.data(), chunk, &got);
            EXPECT_EQ(result, AURA_OK);
            if (result != AURA_OK || got == 0) {
                break;
            }
            EXPECT_LE(got, AURA::CodecAudioQueue::OUTPUT_BUFFER_BYTES);
            out.insert(out.end(), buffer.begin(), buffer.begin() + got);
        }
        return out;
    }
};

// Equal (byte for byte), or for AAC within one step of the 16-bit scale.
::testing::AssertionResult samePCM(const Bytes &ours, const Bytes &theirs, bool exact)
{
    if (ours.size() != theirs.size()) {
        return ::testing::AssertionFailure() << "sizes " << ours.size() << " vs " << theirs.size();
    }
    for (size_t i = 0; i + 1 < ours.size(); i += 2) {
        const int a = static_cast<int16_t>(ours[i] | ours[i + 1] << 8);
        const int b = static_cast<int16_t>(theirs[i] | theirs[i + 1] << 8);
        if (exact ? a != b : std::abs(a - b) > 1) {
            return ::testing::AssertionFailure() << "sample " << i / 2 << ": " << a << " vs " << b;
        }
    }
    return ::testing::AssertionSuccess();
}

Bytes slice(const Bytes &bytes, size_t from, size_t count)
{
    from = std::min(from, bytes.size());
    return Bytes(bytes.begin() + static_cast<long>(from),
                 bytes.begin() + static_cast<long>(std::min(bytes.size(), from + count)));
}

TEST_F(AudioQueueFiles, EveryFixtureDecodesLikeFFmpegWithItsLength)
{
    for (const Fixture &fixture : kFixtures) {
        SCOPED_TRACE(fixture.name);
        const Bytes &reference = decoded(fixture);
        const size_t frameBytes = frameBytesOf(fixture);
        OpenedCodec codec(path(fixture));
        ASSERT_EQ(codec.opened, AURA_OK);
        EXPECT_EQ(codec.format().format, floatOut(fixture) ? AURA_SOUND_FORMAT_PCMFLOAT : AURA_SOUND_FORMAT_PCM16);
        EXPECT_EQ(codec.format().channels, fixture.channels);
        EXPECT_EQ(codec.format().frequency, fixture.rate);
        EXPECT_EQ(codec.format().lengthpcm, reference.size() / frameBytes);
        EXPECT_EQ(codec.format().blockalign, static_cast<int>(16384 / frameBytes * frameBytes));
        // No set position first: reads start at frame 0.
        EXPECT_TRUE(samePCM(codec.read(), reference, fixture.lossless));
    }
}

TEST_F(AudioQueueFiles, SamplesAndStreamsOpenThroughTheSystem)
{
    auratest::WavRender render;
    for (const Fixture &fixture : kFixtures) {
        SCOPED_TRACE(fixture.name);
        const Bytes &reference = decoded(fixture);
        AURA::Sound *sample = nullptr;
        ASSERT_EQ(render.system()->createSound(path(fixture).c_str(), AURA_CREATESAMPLE, nullptr, &sample), AURA_OK);
        AURA_SOUND_TYPE type = AURA_SOUND_TYPE_UNKNOWN;
        int channels = 0;
        EXPECT_EQ(sample->getFormat(&type, nullptr, &channels, nullptr), AURA_OK);
        EXPECT_EQ(type, AURA_SOUND_TYPE_AUDIOQUEUE);
        EXPECT_EQ(channels, fixture.channels);
        void *data = nullptr;
        void *wrap = nullptr;
        unsigned int length = 0;
        unsigned int wrapped = 0;
        ASSERT_EQ(sample->lock(0, static_cast<unsigned int>(reference.size()), &data, &wrap, &length, &wrapped),
                  AURA_OK);
        EXPECT_TRUE(samePCM(Bytes(static_cast<uint8_t *>(data), static_cast<uint8_t *>(data) + length), reference,
                            fixture.lossless));
        EXPECT_EQ(sample->unlock(data, wrap, length, wrapped), AURA_OK);
        EXPECT_EQ(sample->release(), AURA_OK);

        AURA::Sound *stream = nullptr;
        ASSERT_EQ(render.system()->createStream(path(fixture).c_str(), AURA_DEFAULT, nullptr, &stream), AURA_OK);
        unsigned int frames = 0;
        EXPECT_EQ(stream->getLength(&frames, AURA_TIMEUNIT_PCM), AURA_OK);
        EXPECT_EQ(frames, reference.size() / frameBytesOf(fixture));
        EXPECT_EQ(stream->release(), AURA_OK);
    }
}

// Seeks land where ffmpeg's continuous decode has that frame: at 1000, deep
// inside a packet (with 6 channels more than one render must be dropped),
// at the last frame, past the end, and at 200 random frames.
TEST_F(AudioQueueFiles, SeeksAreSampleExact)
{
    std::mt19937 random(2026);
    for (const Fixture &fixture : kFixtures) {
        SCOPED_TRACE(fixture.name);
        const Bytes &reference = decoded(fixture);
        const size_t frameBytes = frameBytesOf(fixture);
        const auto frames = static_cast<unsigned int>(reference.size() / frameBytes);
        OpenedCodec codec(path(fixture));
        ASSERT_EQ(codec.opened, AURA_OK);
        std::vector<unsigned int> targets = {1000, 4096 + 4000, frames - 1, frames, 0};
        std::uniform_int_distribution<unsigned int> anywhere(0, frames - 1);
        const int randomSeeks = fixture.channels == 6 ? 200 : 40;
        for (int i = 0; i < randomSeeks; ++i) {
            targets.push_back(anywhere(random));
        }
        for (const unsigned int target : targets) {
            ASSERT_EQ(codec.aq()->setPositionInternal(0, target, AURA_TIMEUNIT_PCM), AURA_OK) << target;
            const Bytes got = codec.read(1500 * frameBytes, 9000);
            const Bytes expected = slice(reference, target * frameBytes, got.size());
            const size_t left = reference.size() - std::min<size_t>(reference.size(), target * frameBytes);
            EXPECT_GE(got.size(), std::min<size_t>(1500 * frameBytes, left));
            EXPECT_TRUE(samePCM(got, expected, fixture.lossless)) << "at " << target;
        }
    }
}

TEST_F(AudioQueueFiles, InterruptionAndResumeContinueSampleExactly)
{
    const Fixture &alac = kFixtures[2];
    const Fixture &aac = kFixtures[7];
    OpenedCodec first(path(alac));
    OpenedCodec second(path(aac));
    ASSERT_EQ(first.opened, AURA_OK);
    ASSERT_EQ(second.opened, AURA_OK);
    ASSERT_EQ(first.aq()->setPositionInternal(0, 5000, AURA_TIMEUNIT_PCM), AURA_OK);
    Bytes a = first.read(12 * 3000, 12 * 1000);
    Bytes b = second.read(12 * 7000, 12 * 700);
    ASSERT_EQ(AURA::CodecAudioQueue::resetAll(true, false), AURA_OK);
    unsigned int got = 0;
    uint8_t scratch[64];
    EXPECT_EQ(first.aq()->readInternal(scratch, sizeof(scratch), &got), AURA_ERR_INTERNAL);
    ASSERT_EQ(AURA::CodecAudioQueue::resetAll(false, true), AURA_OK);
    const Bytes aRest = first.read();
    const Bytes bRest = second.read();
    a.insert(a.end(), aRest.begin(), aRest.end());
    b.insert(b.end(), bRest.begin(), bRest.end());
    const Bytes &aRef = decoded(alac);
    EXPECT_TRUE(samePCM(a, slice(aRef, 5000 * 12, aRef.size()), true));
    EXPECT_TRUE(samePCM(b, decoded(aac), false));
}

TEST_F(AudioQueueFiles, CodecPolicyOfThePlatformOptions)
{
    struct Case {
        unsigned int policy;
        AURA_RESULT seek;
    };
    for (const Case &c : {Case{0, AURA_OK}, Case{1, AURA_OK}, Case{2, AURA_ERR_NEEDSHARDWARE}}) {
        unsigned int policy = c.policy;
        AURA_CREATESOUNDEXINFO exinfo{};
        exinfo.cbsize = sizeof(exinfo);
        exinfo.platformoptions = &policy;
        OpenedCodec codec(path(kFixtures[1]), &exinfo);
        ASSERT_EQ(codec.opened, AURA_OK);
        EXPECT_EQ(codec.aq()->setPositionInternal(0, 0, AURA_TIMEUNIT_PCM), c.seek) << "policy " << c.policy;
    }
}

TEST_F(AudioQueueFiles, FileCallbacksReportBrokenPreconditions)
{
    OpenedCodec codec(path(kFixtures[0]));
    ASSERT_EQ(codec.opened, AURA_OK);
    uint8_t buffer[16];
    unsigned long got = 0;
    EXPECT_EQ(codec.aq()->fileRead(-1, 4, buffer, &got), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(codec.aq()->fileRead(0x100000000ll, 4, buffer, &got), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(codec.aq()->fileRead(0, 4, nullptr, &got), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(codec.aq()->fileRead(0, 4, buffer, nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(codec.aq()->fileGetSize(nullptr), AURA_ERR_INVALID_PARAM);
    // A read past the end succeeds with what there is.
    long long size = 0;
    ASSERT_EQ(codec.aq()->fileGetSize(&size), AURA_OK);
    EXPECT_EQ(codec.aq()->fileRead(size - 3, sizeof(buffer), buffer, &got), AURA_OK);
    EXPECT_EQ(got, 3u);
}

// Files for the engine's other codecs, and damaged ones, are refused with
// nothing left behind.
TEST_F(AudioQueueFiles, OtherFilesAreRefusedWithoutSideEffects)
{
    const fs::path wav = source(kFixtures[1]);
    std::vector<fs::path> refused = {wav};
    for (const char *made : {"x.mp3", "x.ogg", "x.flac", "mp3_in.mp4"}) {
        const fs::path out = sDir->file(made);
        const std::string codec = std::string(made) == "mp3_in.mp4" ? "-c:a libmp3lame" : "";
        if (!fs::exists(out)) {
            ASSERT_TRUE(run("ffmpeg -nostdin -v error -y -i " + quote(wav) + " " + codec + " " + quote(out))) << made;
        }
        refused.push_back(out);
    }
    refused.emplace_back("/usr/share/games/tecnoballz/musics/area2-game.mod");
    refused.emplace_back("/usr/share/games/openttd/baseset/openmsx/flying_scotsman.mid");
    Bytes m4a = readAll(path(kFixtures[5]));
    ASSERT_GT(m4a.size(), 200u);
    // ffmpeg writes "moov" at the end: cut the file inside it.
    const std::string text(m4a.begin(), m4a.end());
    const size_t moov = text.rfind("moov");
    ASSERT_NE(moov, std::string::npos);
    m4a.resize(moov + 40);
    const fs::path cut = sDir->file("cut.m4a");
    ASSERT_TRUE(auratest::writeAll(cut, m4a));
    refused.push_back(cut);
    Bytes noise(5000);
    std::mt19937 random(7);
    std::generate(noise.begin(), noise.end(), [&] { return static_cast<uint8_t>(random()); });
    const fs::path junk = sDir->file("noise.bin");
    ASSERT_TRUE(auratest::writeAll(junk, noise));
    refused.push_back(junk);

    for (const fs::path &file : refused) {
        SCOPED_TRACE(file.string());
        ASSERT_TRUE(fs::exists(file));
        const int64_t before = auratest::poolBytes();
        {
            OpenedCodec codec(file);
            EXPECT_EQ(codec.opened, AURA_ERR_FORMAT);
        }
        EXPECT_EQ(auratest::poolBytes(), before);
    }
}

// A file of every kind the engine's own codecs open, made from the fixture
// signal where it is not a game-data file, with the type that must take it.
struct OwnFile {
    fs::path path;
    AURA_SOUND_TYPE type;
};
std::vector<OwnFile> ownFormatFiles(auratest::TempDir &dir, const fs::path &wav)
{
    struct Made {
        const char *name;
        std::string command; // makes the file from `wav` ("" when it exists)
        AURA_SOUND_TYPE type;
    };
    const std::string in = quote(wav);
    auto out = [&](const char *name) { return quote(dir.file(name)); };
    const std::vector<Made> made = {
        {"pcm8.wav", "sox " + in + " -b 8 " + out("pcm8.wav"), AURA_SOUND_TYPE_WAV},
        {"pcm16.wav", "sox " + in + " -b 16 " + out("pcm16.wav"), AURA_SOUND_TYPE_WAV},
        {"pcm24.wav", "sox " + in + " -b 24 " + out("pcm24.wav"), AURA_SOUND_TYPE_WAV},
        {"pcm32.wav", "sox " + in + " -b 32 " + out("pcm32.wav"), AURA_SOUND_TYPE_WAV},
        {"float.wav", "sox " + in + " -e floating-point " + out("float.wav"), AURA_SOUND_TYPE_WAV},
        {"ext6.wav", "sox -n -r 44100 -c 6 -b 24 " + out("ext6.wav") + " synth 0.2 sine 300", AURA_SOUND_TYPE_WAV},
        {"ima.wav", "sox " + in + " -e ima-adpcm " + out("ima.wav"), AURA_SOUND_TYPE_WAV},
        {"pcm.aiff", "sox " + in + " -b 16 " + out("pcm.aiff"), AURA_SOUND_TYPE_AIFF},
        {"none.aifc", "sox " + in + " -b 16 -t aifc " + out("none.aifc"), AURA_SOUND_TYPE_AIFF},
        {"sowt.aiff", "ffmpeg -nostdin -v error -y -i " + in + " -c:a pcm_s16le " + out("sowt.aiff"),
         AURA_SOUND_TYPE_AIFF},
        {"x.ogg", "oggenc -Q -o " + out("x.ogg") + " " + in, AURA_SOUND_TYPE_OGGVORBIS},
        {"x.flac", "flac -s -f -o " + out("x.flac") + " " + in, AURA_SOUND_TYPE_FLAC},
        {"x.mp3", "lame --quiet " + in + " " + out("x.mp3"), AURA_SOUND_TYPE_MPEG},
        {"tagged.mp3", "lame --quiet --add-id3v2 --tt Song " + in + " " + out("tagged.mp3"), AURA_SOUND_TYPE_MPEG},
        {"x.mp2", "twolame --quiet " + in + " " + out("x.mp2"), AURA_SOUND_TYPE_MPEG},
        {"mp3.wav", "ffmpeg -nostdin -v error -y -i " + in + " -c:a libmp3lame " + out("mp3.wav"),
         AURA_SOUND_TYPE_MPEG},
        {"/usr/share/games/tecnoballz/musics/area2-game.mod", "", AURA_SOUND_TYPE_MOD},
        {"/usr/share/games/pingus/data/music/gd-giirm.s3m", "", AURA_SOUND_TYPE_S3M},
        {"/usr/share/games/heroes/mod/menu.xm", "", AURA_SOUND_TYPE_XM},
        {"/usr/share/games/pingus/data/music/pingus-1.it", "", AURA_SOUND_TYPE_IT},
        {"/usr/share/games/openttd/baseset/openmsx/flying_scotsman.mid", "", AURA_SOUND_TYPE_MIDI},
    };
    std::vector<OwnFile> files;
    for (const Made &m : made) {
        const fs::path file = m.command.empty() ? fs::path(m.name) : fs::path(dir.file(m.name));
        if (!m.command.empty() && !fs::exists(file)) {
            EXPECT_TRUE(run(m.command)) << m.command;
        }
        files.push_back({file, m.type});
    }
    return files;
}

// Opens the file through the system as a stream and checks the type that
// took it (the MIDI codec, the only one that asks for a DLS bank, finds
// none here).
void expectTakenBy(AURA::System *system, const fs::path &file, AURA_SOUND_TYPE expected)
{
    SCOPED_TRACE(file.string());
    ASSERT_TRUE(fs::exists(file));
    AURA::Sound *sound = nullptr;
    const AURA_RESULT opened = system->createSound(file.c_str(), AURA_CREATESTREAM, nullptr, &sound);
    if (expected == AURA_SOUND_TYPE_MIDI) {
        EXPECT_EQ(opened, AURA_ERR_PLUGIN_RESOURCE);
        return;
    }
    ASSERT_EQ(opened, AURA_OK);
    AURA_SOUND_TYPE type = AURA_SOUND_TYPE_UNKNOWN;
    EXPECT_EQ(sound->getFormat(&type, nullptr, nullptr, nullptr), AURA_OK);
    EXPECT_EQ(type, expected);
    EXPECT_EQ(sound->release(), AURA_OK);
}

// Every kind of file the engine opens goes to the codec meant for it: the
// engine's own codecs take theirs before the platform decoder is asked, and
// the platform decoder takes what only it can read.
TEST_F(AudioQueueFiles, EachFileIsTakenByItsOwnCodec)
{
    auratest::WavRender render;
    for (const OwnFile &own : ownFormatFiles(*sDir, source(kFixtures[1]))) {
        expectTakenBy(render.system(), own.path, own.type);
    }
    for (const Fixture &fixture : kFixtures) {
        expectTakenBy(render.system(), path(fixture), AURA_SOUND_TYPE_AUDIOQUEUE);
    }
}

// The line of the first of these libraries the process has mapped ("" for
// none).
std::string mappedLibrary(std::initializer_list<const char *> libraries)
{
    const Bytes maps = readAll("/proc/self/maps");
    const std::string text(maps.begin(), maps.end());
    for (const char *library : libraries) {
        const size_t at = text.find(library);
        if (at != std::string::npos) {
            const size_t start = text.rfind('\n', at);
            return text.substr(start == std::string::npos ? 0 : start + 1, text.find('\n', at) - start);
        }
    }
    return "";
}

std::string mappedFFmpeg()
{
    return mappedLibrary({"/libavformat.so", "/libavcodec.so", "/libavutil.so", "/libswresample.so"});
}

// Files the engine's own codecs take, and files that are no sound at all,
// never load FFmpeg: the platform decoder, asked before the MPEG, playlist
// and raw codecs, refuses them from their first bytes. The files of the
// platform decoder load it. Each kind is opened in a fresh process (FFmpeg
// once loaded stays), as a sample and as a stream, and the process's
// mappings are read after each open. Rendering to a WAV file never loads
// ALSA either.
TEST_F(AudioQueueFiles, OwnFormatsNeverLoadFFmpeg)
{
    std::vector<OwnFile> files = ownFormatFiles(*sDir, source(kFixtures[1]));
    Bytes noise(5000);
    std::mt19937 random(11);
    std::generate(noise.begin(), noise.end(), [&] { return static_cast<uint8_t>(random()); });
    const fs::path junk = sDir->file("noise.raw");
    ASSERT_TRUE(auratest::writeAll(junk, noise));
    const fs::path list = sDir->file("list.m3u");
    ASSERT_TRUE(auratest::writeAll(list, Bytes{'a', '.', 'o', 'g', 'g', '\n'}));
    files.push_back({junk, AURA_SOUND_TYPE_UNKNOWN});
    files.push_back({list, AURA_SOUND_TYPE_PLAYLIST});
    ASSERT_EQ(mappedFFmpeg(), "") << "the test executable links FFmpeg";

    // Exits with what went wrong on standard error.
    auto openAll = [&](const std::vector<fs::path> &paths, bool loads) {
        auratest::WavRender render;
        for (const fs::path &file : paths) {
            for (const AURA_MODE mode : {AURA_CREATESTREAM, AURA_CREATESAMPLE}) {
                AURA::Sound *sound = nullptr;
                if (render.system()->createSound(file.c_str(), mode, nullptr, &sound) == AURA_OK) {
                    (void)sound->release();
                }
                const std::string mapped = mappedFFmpeg();
                if (mapped.empty() == loads) {
                    std::fprintf(stderr, "%s %s FFmpeg: %s\n", file.c_str(), loads ? "did not load" : "loaded",
                                 mapped.c_str());
                    std::_Exit(1);
                }
                if (const std::string alsa = mappedLibrary({"/libasound.so"}); !alsa.empty()) {
                    std::fprintf(stderr, "%s loaded ALSA: %s\n", file.c_str(), alsa.c_str());
                    std::_Exit(1);
                }
            }
        }
        std::_Exit(0);
    };
    std::vector<fs::path> own;
    for (const OwnFile &file : files) {
        own.push_back(file.path);
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(openAll(own, false), ::testing::ExitedWithCode(0), "");
    // One process per container: the first open of each loads it.
    for (const char *name : {"aac_mono_44k.m4a", "aac_stereo_48k.aac", "ima4_stereo_44k.caf", "ulaw_stereo_22k.aiff",
                             "gsm_mono_8k.wav"}) {
        const auto fixture = std::find_if(std::begin(kFixtures), std::end(kFixtures),
                                          [&](const Fixture &f) { return std::strcmp(f.name, name) == 0; });
        ASSERT_NE(fixture, std::end(kFixtures));
        EXPECT_EXIT(openAll({path(*fixture)}, true), ::testing::ExitedWithCode(0), "") << name;
    }
}

#ifdef AURA_PLAY_PATH
// The player renders each lossless file as ffmpeg decodes it (a mono file
// panned hard left keeps its samples in the left channel), whole and from a
// quarter second in, as a sample and as a stream, and --info names the
// container and codec.
TEST_F(AudioQueueFiles, AuraPlayRendersLikeFFmpegAndNamesTheSource)
{
    const std::map<std::string, std::string> named = {
        {"ima4_stereo_44k.caf", "AudioQueue: CAF, IMA4"},
        {"ulaw_stereo_22k.aiff", "AudioQueue: AIFF-C, mu-law"},
        {"alaw_mono_11k.wav", "AudioQueue: WAV, A-law"},
        {"gsm_mono_8k.wav", "AudioQueue: WAV, GSM 6.10"},
        {"lpcm_f64be_mono_32k.caf", "AudioQueue: CAF, LPCM 64-bit float big-endian"},
        {"lpcm_f32be_stereo_22k.aiff", "AudioQueue: AIFF-C, LPCM 32-bit float big-endian"},
        {"lpcm_s8_mono_11k.caf", "AudioQueue: CAF, LPCM 8-bit integer"},
        {"alac_mono_44k.m4a", "AudioQueue: MPEG-4, ALAC"},
        {"aac_stereo_48k.aac", "AudioQueue: ADTS, AAC"},
    };
    for (const Fixture &fixture : kFixtures) {
        if (!fixture.lossless || fixture.channels > 2) {
            continue;
        }
        SCOPED_TRACE(fixture.name);
        const Bytes &reference = decoded(fixture);
        const bool mono = fixture.channels == 1;
        // Float files render in float, the others in 16-bit PCM.
        const size_t sampleBytes = frameBytesOf(fixture) / static_cast<size_t>(fixture.channels);
        const fs::path rendered = sDir->file("rendered.wav");
        for (const char *mode : {"", "--stream "}) {
            for (const int seekMs : {0, 250}) {
                const std::string command = std::string(AURA_PLAY_PATH) + " -q " + mode + (mono ? "--pan -1 " : "") +
                                            (floatOut(fixture) ? "--format float " : "") + "--seek " +
                                            std::to_string(seekMs) + " -o " + quote(rendered) + " " +
                                            quote(path(fixture));
                ASSERT_TRUE(run(command)) << command;
                const auratest::Wav wav = auratest::readWav(rendered);
                ASSERT_TRUE(wav.valid);
                EXPECT_EQ(wav.rate, static_cast<unsigned int>(fixture.rate));
                EXPECT_EQ(wav.bits, sampleBytes * 8);
                const size_t skip = static_cast<size_t>(fixture.rate) * seekMs / 1000 * frameBytesOf(fixture);
                const Bytes want(reference.begin() + static_cast<long>(skip), reference.end());
                Bytes got = wav.data;
                if (mono) {
                    // Panned hard left: the file's samples on the left.
                    Bytes left;
                    for (size_t i = 0; i + 2 * sampleBytes <= got.size(); i += 2 * sampleBytes) {
                        const auto at = got.begin() + static_cast<long>(i);
                        left.insert(left.end(), at, at + static_cast<long>(sampleBytes));
                        EXPECT_TRUE(std::all_of(at + static_cast<long>(sampleBytes),
                                                at + static_cast<long>(2 * sampleBytes),
                                                [](uint8_t b) { return b == 0; }))
                            << "frame " << i / (2 * sampleBytes);
                    }
                    got = left;
                }
                EXPECT_TRUE(got == want) << mode << "seek " << seekMs << ": " << got.size() << " vs " << want.size();
            }
        }
        const auto it = named.find(fixture.name);
        if (it != named.end()) {
            const std::string info = auratest::capture(std::string(AURA_PLAY_PATH) + " --info " + quote(path(fixture)));
            EXPECT_NE(info.find("type:     " + it->second + "\n"), std::string::npos) << info;
        }
    }
}
#endif

// Non-blocking opens and closes on the loader thread while interruptions
// walk the list of open codecs.
TEST_F(AudioQueueFiles, ListOfOpenCodecsUnderConcurrentOpensThreads)
{
    auratest::WavRender render;
    std::atomic<bool> stop{false};
    std::thread walker([&] {
        while (!stop.load()) {
            EXPECT_EQ(AURA::CodecAudioQueue::resetAll(false, false), AURA_OK);
        }
    });
    for (int round = 0; round < 6; ++round) {
        AURA::Sound *sound = nullptr;
        ASSERT_EQ(render.system()->createStream(path(kFixtures[round % 2 ? 1 : 6]).c_str(), AURA_NONBLOCKING, nullptr,
                                                &sound),
                  AURA_OK);
        AURA_OPENSTATE state{};
        AURA_RESULT result = AURA_OK;
        EXPECT_TRUE(auratest::waitFor(
            [&] { return sound->getOpenState(&state, &result) == AURA_OK && state != AURA_OPENSTATE_LOADING; },
            std::chrono::seconds(10)));
        EXPECT_EQ(state, AURA_OPENSTATE_READY) << result;
        EXPECT_EQ(sound->release(), AURA_OK);
    }
    stop = true;
    walker.join();
}

} // namespace

namespace {

// The platform layer's own answers: property sizes and statuses, the frame
// to packet translation (AAC decodes one packet ahead), and the queue's.
TEST_F(AudioQueueFiles, PlatformLayerPropertiesAndStatuses)
{
    struct Case {
        const Fixture *fixture;
        uint32_t frame;
        int64_t packet;
        uint32_t offset;
    };
    // ALAC: 4096 frames a packet. AAC in M4A: the first packet is priming,
    // the others 1024 frames, one packet of pre-roll.
    for (const Case &c :
         {Case{&kFixtures[1], 5000, 1, 904}, Case{&kFixtures[5], 5000, 4, 1928}, Case{&kFixtures[5], 10, 0, 10}}) {
        SCOPED_TRACE(c.fixture->name);
        static Bytes bytes;
        bytes = readAll(path(*c.fixture));
        auto read = [](void *, int64_t at, uint32_t count, void *out, uint32_t *got) -> AURA::OSStatus {
            const size_t from = std::min<size_t>(static_cast<size_t>(at), bytes.size());
            *got = static_cast<uint32_t>(std::min<size_t>(count, bytes.size() - from));
            std::memcpy(out, bytes.data() + from, *got);
            return 0;
        };
        auto size = [](void *) -> int64_t { return static_cast<int64_t>(bytes.size()); };
        AURA::AudioFileID file = nullptr;
        ASSERT_EQ(AURA::AudioFileOpenWithCallbacks(nullptr, read, nullptr, size, nullptr, 0, &file), 0);

        AURA::AudioStreamBasicDescription format{};
        uint32_t bytesOf = sizeof(format);
        EXPECT_EQ(AURA::AudioFileGetProperty(file, AURA::kAudioFilePropertyDataFormat, &bytesOf, &format), 0);
        EXPECT_EQ(format.mChannelsPerFrame, static_cast<uint32_t>(c.fixture->channels));
        EXPECT_EQ(format.mSampleRate, c.fixture->rate);
        AURA::AudioFilePacketTableInfo table{};
        bytesOf = sizeof(table);
        EXPECT_EQ(AURA::AudioFileGetProperty(file, AURA::kAudioFilePropertyPacketTableInfo, &bytesOf, &table), 0);
        EXPECT_EQ(table.mNumberValidFrames,
                  static_cast<int64_t>(decoded(*c.fixture).size() / frameBytesOf(*c.fixture)));
        AURA::AudioFramePacketTranslation translation{c.frame, 0, 0};
        bytesOf = sizeof(translation);
        EXPECT_EQ(AURA::AudioFileGetProperty(file, AURA::kAudioFilePropertyFrameToPacket, &bytesOf, &translation), 0);
        EXPECT_EQ(translation.mPacket, c.packet);
        EXPECT_EQ(translation.mFrameOffsetInPacket, c.offset);
        double seconds = 0;
        bytesOf = 4;
        EXPECT_EQ(AURA::AudioFileGetProperty(file, AURA::kAudioFilePropertyEstimatedDuration, &bytesOf, &seconds),
                  AURA::kAudioFileBadPropertySizeError);
        EXPECT_EQ(AURA::AudioFileGetPropertyInfo(file, AURA::fourCC("xxxx"), &bytesOf, nullptr),
                  AURA::kAudioFileUnsupportedPropertyError);

        AURA::AudioQueueRef queue = nullptr;
        ASSERT_EQ(AURA::AudioQueueNewOutput(
                      &format, [](void *, AURA::AudioQueueRef, AURA::AudioQueueBufferRef) {}, nullptr, nullptr, nullptr,
                      0, &queue),
                  0);
        const uint32_t policy = 2;
        EXPECT_EQ(AURA::AudioQueueSetProperty(queue, AURA::fourCC("xxxx"), &policy, 4),
                  AURA::kAudioQueueErr_InvalidProperty);
        EXPECT_EQ(AURA::AudioQueueSetProperty(queue, AURA::kAudioQueueProperty_HardwareCodecPolicy, &policy, 4),
                  AURA::kAudioQueueErr_InvalidCodecAccess);
        EXPECT_EQ(AURA::AudioQueueDispose(queue, true), 0);
        EXPECT_EQ(AURA::AudioFileClose(file), 0);
    }
}

} // namespace
