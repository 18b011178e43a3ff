// aura-play as a user runs it: files made by sox and oggenc at test time,
// rendered through the WAV writer and compared with the reference decoders.
#include "aura_errors.h"
#include "options.h"
#include "alsa_config.h"
#include "files.h"
#include "midi_writer.h"
#include "ogg.h"
#include "sine_analysis.h"
#include "tools.h"
#include "threads.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using auratest::Bytes;
using auratest::quote;
using auratest::run;
using auratest::Wav;
namespace fs = std::filesystem;

// What one run of the tool did.
struct Outcome {
    int exitCode = -1;     // -1: killed by a signal
    std::string out;
    std::string err;
};

// Runs the tool in `dir`; `env` goes before the command ("NAME=value ...").
Outcome play(const auratest::TempDir &dir, const std::string &args, const std::string &env = "")
{
    const fs::path out = dir / "stdout.txt";
    const fs::path err = dir / "stderr.txt";
    std::string command = "cd ";
    command += quote(dir.path());
    command += " && ";
    command += env;
    command += " ";
    command += AURA_PLAY_PATH;
    command += " ";
    command += args;
    command += " >" + quote(out) + " 2>" + quote(err) + " </dev/null";
    const int status = std::system(command.c_str());
    Outcome outcome;
    if (status != -1 && WIFEXITED(status)) {
        outcome.exitCode = WEXITSTATUS(status);
    }
    const Bytes o = auratest::readAll(out);
    const Bytes e = auratest::readAll(err);
    outcome.out.assign(o.begin(), o.end());
    outcome.err.assign(e.begin(), e.end());
    return outcome;
}

// A file the tool wrote: whole, with sizes that match.
Wav readWav(const fs::path &path)
{
    Wav wav = auratest::readWav(path);
    EXPECT_TRUE(wav.valid) << wav.error << ": " << path;
    EXPECT_EQ(wav.riffSize, wav.fileSize - 8) << "RIFF size of " << path;
    EXPECT_LE(wav.dataOffset + wav.dataSize, wav.fileSize) << "data chunk of " << path;
    return wav;
}

double rms(const std::vector<float> &samples, size_t from, size_t step)
{
    double sum = 0.0;
    size_t count = 0;
    for (size_t i = from; i < samples.size(); i += step) {
        sum += static_cast<double>(samples[i]) * samples[i];
        ++count;
    }
    return count ? std::sqrt(sum / static_cast<double>(count)) : 0.0;
}

std::string engineText(AURA_RESULT result)
{
    std::string text = AURA_ErrorString(result);
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

class AuraPlay : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(mDir.ok()); }

    // A 1.5 s stereo tone at 44.1 kHz, as Ogg Vorbis with an artist comment,
    // and oggdec's decode of it.
    void makeOgg()
    {
        ASSERT_TRUE(run("sox -n -r 44100 -c 2 -b 16 " + quote(mDir / "src.wav") +
                        " synth 1.5 sine 440 sine 660 vol 0.7"));
        ASSERT_TRUE(run("oggenc -Q -c ARTIST=Someone -o " + quote(mDir / "tone.ogg") + " " + quote(mDir / "src.wav")));
        ASSERT_TRUE(run("oggdec -Q -R -o " + quote(mDir / "tone.raw") + " " + quote(mDir / "tone.ogg")));
        mOggRaw = auratest::readAll(mDir / "tone.raw");
        ASSERT_EQ(mOggRaw.size(), 66150u * 4u);
    }

    auratest::TempDir mDir{"aura-play"};
    Bytes mOggRaw;
};

TEST_F(AuraPlay, RendersAStereoFileBitForBitAsTheReferenceDecodersDo)
{
    makeOgg();
    Outcome ogg = play(mDir, "-o out.wav --rate 44100 tone.ogg");
    ASSERT_EQ(ogg.exitCode, 0) << ogg.err;
    Wav wav = readWav(mDir / "out.wav");
    EXPECT_EQ(wav.format, 1u);
    EXPECT_EQ(wav.channels, 2u);
    EXPECT_EQ(wav.rate, 44100u);
    EXPECT_EQ(wav.bits, 16u);
    EXPECT_TRUE(wav.data == mOggRaw) << "rendered " << wav.data.size() << " bytes, oggdec " << mOggRaw.size();

    // A WAV file at another rate, rendered at its own rate by default.
    ASSERT_TRUE(run("sox -D -n -r 32000 -c 2 -b 16 " + quote(mDir / "sweep.wav") +
                    " synth 0.9 sine 200-5000 sine 300 vol 0.6"));
    ASSERT_TRUE(run("sox -D " + quote(mDir / "sweep.wav") + " -t raw " + quote(mDir / "sweep.raw")));
    const Outcome sweep = play(mDir, "-q -o sweep-out.wav sweep.wav");
    ASSERT_EQ(sweep.exitCode, 0) << sweep.err;
    EXPECT_EQ(sweep.err, "");
    wav = readWav(mDir / "sweep-out.wav");
    EXPECT_EQ(wav.rate, 32000u);
    EXPECT_TRUE(wav.data == auratest::readAll(mDir / "sweep.raw")) << "rendered " << wav.data.size() << " bytes";

    // Float output holds the same samples, scaled.
    const Outcome floats = play(mDir, "-o float.wav --format float tone.ogg");
    ASSERT_EQ(floats.exitCode, 0) << floats.err;
    wav = readWav(mDir / "float.wav");
    ASSERT_EQ(wav.format, 3u);
    ASSERT_EQ(wav.bits, 32u);
    const std::vector<float> &got = wav.samples;
    ASSERT_EQ(got.size(), mOggRaw.size() / 2);
    double worst = 0.0;
    for (size_t i = 0; i < got.size(); ++i) {
        int16_t expected;
        std::memcpy(&expected, &mOggRaw[i * 2], 2);
        worst = std::max(worst, std::abs(got[i] - expected / 32768.0));
    }
    EXPECT_LT(worst, 1e-6);
}

// With streams the file is read as it plays, a stretch ahead of the voice;
// the render is the same.
TEST_F(AuraPlay, StreamModeRendersWhatOggdecDecodes)
{
    makeOgg();
    const Outcome outcome = play(mDir, "--stream -o out.wav tone.ogg");
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_TRUE(readWav(mDir / "out.wav").data == mOggRaw);
}

TEST_F(AuraPlay, InfoPrintsFormatExactLengthAndTags)
{
    makeOgg();
    ASSERT_TRUE(run("sox -D -n -r 22050 -c 1 -b 16 " + quote(mDir / "mono.wav") + " synth 0.3337 sine 500"));
    const Outcome outcome = play(mDir, "--info tone.ogg mono.wav");
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    for (const char *file : {"tone.ogg", "mono.wav"}) {
        const std::string samples = auratest::capture("soxi -s " + quote(mDir / file));
        ASSERT_FALSE(samples.empty());
        const std::string expected = "length:   " + std::to_string(std::stoul(samples)) + " samples";
        EXPECT_NE(outcome.out.find(expected), std::string::npos) << file << ": " << outcome.out;
    }
    const size_t mono = outcome.out.find("mono.wav");
    ASSERT_NE(mono, std::string::npos);
    const std::string ogg = outcome.out.substr(0, mono);
    const std::string wav = outcome.out.substr(mono);
    EXPECT_NE(ogg.find("Ogg Vorbis"), std::string::npos);
    EXPECT_NE(ogg.find("channels: 2"), std::string::npos);
    EXPECT_NE(ogg.find("rate:     44100 Hz"), std::string::npos);
    EXPECT_NE(ogg.find("1500 ms"), std::string::npos);
    EXPECT_NE(ogg.find("ARTIST=Someone"), std::string::npos) << ogg;
    EXPECT_NE(wav.find("channels: 1"), std::string::npos);
    EXPECT_NE(wav.find("rate:     22050 Hz"), std::string::npos);
    // Nothing is played or written.
    EXPECT_FALSE(fs::exists(mDir / "aura-play.wav"));
}

// MP3 and MP2: --info names the format and gives the exact length (what
// mpg123 decodes), a stream renders what a sample renders, and a seek lands
// within 1 % of the file's length.
TEST_F(AuraPlay, MpegFilesPlayAsSamplesAndStreams)
{
    ASSERT_TRUE(run("sox -n -r 44100 -c 2 -b 16 " + quote(mDir / "src.wav") + " synth 3 pinknoise gain -n -3"));
    ASSERT_TRUE(run("lame --quiet -b 128 " + quote(mDir / "src.wav") + " " + quote(mDir / "noise.mp3")));
    ASSERT_TRUE(run("twolame --quiet -b 192 " + quote(mDir / "src.wav") + " " + quote(mDir / "noise.mp2")));
    for (const std::string file : {"noise.mp3", "noise.mp2"}) {
        ASSERT_TRUE(run("mpg123 -q --no-gapless -w " + quote(mDir / "ref.wav") + " " + quote(mDir / file)));
        const size_t frames = readWav(mDir / "ref.wav").frames();
        const Outcome info = play(mDir, "--info " + file);
        ASSERT_EQ(info.exitCode, 0) << info.err;
        EXPECT_NE(info.out.find("MPEG audio"), std::string::npos) << info.out;
        EXPECT_NE(info.out.find("rate:     44100 Hz"), std::string::npos) << info.out;
        // lame's "Info" frame is played as one silent frame of 1152 samples.
        const size_t expected = frames + (file == "noise.mp3" ? 1152 : 0);
        EXPECT_NE(info.out.find("length:   " + std::to_string(expected) + " samples"), std::string::npos) << info.out;

        Outcome outcome = play(mDir, "-o sample.wav " + file);
        ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
        const Wav sample = readWav(mDir / "sample.wav");
        outcome = play(mDir, "--stream -o stream.wav " + file);
        ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
        const Wav stream = readWav(mDir / "stream.wav");
        EXPECT_TRUE(stream.data == sample.data) << file << ": " << stream.frames() << " vs " << sample.frames();

        outcome = play(mDir, "--stream -o seek.wav --seek 1000 " + file);
        ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
        const Wav seek = readWav(mDir / "seek.wav");
        ASSERT_GT(seek.frames(), 4096u);
        // Where the seek's first 4096 samples sit in the whole render.
        const long target = 44100;
        const long radius = static_cast<long>(sample.frames() / 100);
        long landed = -1;
        for (long at = target - radius; at <= target + radius && landed < 0; ++at) {
            bool same = true;
            for (size_t i = 0; i < 4096 * 2 && same; ++i) {
                same = std::abs(seek.pcm16[i] - sample.pcm16[static_cast<size_t>(at) * 2 + i]) <= 1;
            }
            landed = same ? at : -1;
        }
        EXPECT_GE(landed, 0) << file << ": the seek landed more than 1 % away";
    }
}

TEST_F(AuraPlay, SeekDurationLoopAndFrequencyShapeTheRender)
{
    makeOgg();
    const size_t frameBytes = 4;

    // Seek: the render starts 500 ms in and holds the rest of the decode.
    Outcome outcome = play(mDir, "-o seek.wav --seek 500 tone.ogg");
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    Wav wav = readWav(mDir / "seek.wav");
    EXPECT_TRUE(wav.data == Bytes(mOggRaw.begin() + 22050 * frameBytes, mOggRaw.end()))
        << wav.frames() << " frames";

    // Duration: the first 700 ms and no more.
    outcome = play(mDir, "-o duration.wav --duration 700 tone.ogg");
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    wav = readWav(mDir / "duration.wav");
    EXPECT_TRUE(wav.data == Bytes(mOggRaw.begin(), mOggRaw.begin() + 30870 * frameBytes)) << wav.frames();

    // One extra loop: the decode twice over.
    outcome = play(mDir, "-o loop.wav --loop 1 tone.ogg");
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    wav = readWav(mDir / "loop.wav");
    Bytes twice = mOggRaw;
    twice.insert(twice.end(), mOggRaw.begin(), mOggRaw.end());
    EXPECT_TRUE(wav.data == twice) << wav.frames() << " frames";

    // Looping for ever ends at the duration.
    outcome = play(mDir, "-o forever.wav --loop -1 --duration 4000 tone.ogg");
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(readWav(mDir / "forever.wav").frames(), 4u * 44100u);

    // Twice the frequency: half the length.
    outcome = play(mDir, "-o fast.wav --frequency 88200 tone.ogg");
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    wav = readWav(mDir / "fast.wav");
    EXPECT_NEAR(static_cast<double>(wav.frames()), 66150.0 / 2.0, 1.0);
    EXPECT_GT(rms(wav.samples, 0, 1), 0.3);
}

TEST_F(AuraPlay, VolumeAndPanScaleTheOutput)
{
    makeOgg();
    // Against oggdec's decode, not another render: a level error common to
    // every render must show.
    const Wav reference = auratest::parseWav(
        auratest::riff({auratest::chunk("fmt ", auratest::fmtBody(1, 2, 44100, 4, 16)), auratest::chunk("data", mOggRaw)}));
    const double full = rms(reference.samples, 0, 1);
    Outcome outcome = play(mDir, "-o half.wav --volume 0.5 tone.ogg");
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    const double half = rms(readWav(mDir / "half.wav").samples, 0, 1);
    ASSERT_GT(full, 0.1);
    EXPECT_NEAR(auratest::db(half / full), -6.02, 0.1);

    // Hard left: the right channel falls far below the left.
    outcome = play(mDir, "-o left.wav --pan=-1 tone.ogg");
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    const std::vector<float> left = readWav(mDir / "left.wav").samples;
    EXPECT_LT(rms(left, 1, 2), rms(left, 0, 2) * 0.01);
}

TEST_F(AuraPlay, FilesFollowEachOtherSampleExactlyAndFailuresDoNotStopTheRest)
{
    ASSERT_TRUE(run("sox -D -n -r 48000 -c 2 -b 16 " + quote(mDir / "a.wav") + " synth 0.5 sine 300"));
    ASSERT_TRUE(run("sox -D -n -r 48000 -c 2 -b 16 " + quote(mDir / "b.wav") + " synth 0.25 square 200 vol 0.3"));
    ASSERT_TRUE(run("sox -D " + quote(mDir / "a.wav") + " -t raw " + quote(mDir / "a.raw")));
    ASSERT_TRUE(run("sox -D " + quote(mDir / "b.wav") + " -t raw " + quote(mDir / "b.raw")));
    Bytes both = auratest::readAll(mDir / "a.raw");
    const Bytes b = auratest::readAll(mDir / "b.raw");
    both.insert(both.end(), b.begin(), b.end());

    const Outcome outcome = play(mDir, "-o both.wav a.wav missing.wav b.wav");
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_NE(outcome.err.find("missing.wav: " + engineText(AURA_ERR_FILE_NOTFOUND)), std::string::npos)
        << outcome.err;
    const Wav wav = readWav(mDir / "both.wav");
    EXPECT_EQ(wav.rate, 48000u);
    EXPECT_TRUE(wav.data == both) << wav.frames() << " frames, expected " << both.size() / 4;

    // Resampled files too: a render of A then B is the render of A followed
    // by the render of B, whatever the rates, the seek and the duration.
    // Resampling is exact only to the mixing kernels' rounding: in the block
    // where B waits for its start, A is mixed by a fused kernel (two voices)
    // rather than handed on alone, and with FMA a sample may land one step
    // away. A frame out of place would be off by far more.
    ASSERT_TRUE(run("sox -D -n -r 44100 -c 2 -b 16 " + quote(mDir / "c.wav") + " synth 0.3 sine 440"));
    ASSERT_TRUE(run("sox -D -n -r 22050 -c 1 -b 16 " + quote(mDir / "d.wav") + " synth 0.2 sine 1000"));
    for (const std::string extra : {"", "--seek 50 ", "--duration 150 ", "--stream "}) {
        SCOPED_TRACE(extra);
        std::vector<float> single;
        for (const char *file : {"c.wav", "d.wav"}) {
            const Outcome one = play(mDir, "--rate 48000 " + extra + "-o one.wav " + file);
            ASSERT_EQ(one.exitCode, 0) << one.err;
            const Wav part = readWav(mDir / "one.wav");
            single.insert(single.end(), part.samples.begin(), part.samples.end());
        }
        ASSERT_GT(single.size(), 24000u) << "the single renders hold the files";
        const Outcome joined = play(mDir, "--rate 48000 " + extra + "-o joined.wav c.wav d.wav");
        ASSERT_EQ(joined.exitCode, 0) << joined.err;
        const std::vector<float> together = readWav(mDir / "joined.wav").samples;
        ASSERT_EQ(together.size(), single.size());
        float worst = 0.0f;
        for (size_t i = 0; i < single.size(); ++i) {
            worst = std::max(worst, std::abs(together[i] - single[i]));
        }
        EXPECT_LE(worst, 1.0f / 32768.0f) << "the joined render strays from the single ones";
    }
}

TEST_F(AuraPlay, BadFilesSayWhatIsWrongAndExitOne)
{
    auratest::writeAll(mDir / "notes.txt", Bytes{'h', 'e', 'l', 'l', 'o', '\n'});
    auratest::writeAll(mDir / "empty.ogg", Bytes{});
    fs::create_directory(mDir / "folder");
    struct Case {
        const char *args;
        const char *says;
    };
    const Case cases[] = {
        {"-o out.wav missing.ogg", "missing.ogg: File not found. (23)"},
        {"-o out.wav notes.txt", "notes.txt: unsupported format"},
        {"--info missing.ogg", "missing.ogg: File not found. (23)"},
        {"--info notes.txt", "notes.txt: unsupported format"},
        {"-o out.wav empty.ogg", "empty.ogg: unsupported format"},
        {"--info empty.ogg", "empty.ogg: unsupported format"},
        {"-o out.wav folder", "folder: is a directory"},
        {"--stream --info folder", "folder: is a directory"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        const Outcome outcome = play(mDir, c.args);
        EXPECT_EQ(outcome.exitCode, 1);
        EXPECT_NE(outcome.err.find(std::string("aura-play: ") + c.says), std::string::npos) << outcome.err;
        EXPECT_FALSE(fs::exists(mDir / "out.wav"));
    }
    // A seek past the end is a failure of that file.
    ASSERT_TRUE(run("sox -D -n -r 8000 -c 1 -b 16 " + quote(mDir / "short.wav") + " synth 0.2 sine 300"));
    const Outcome seek = play(mDir, "-o out.wav --seek 5000 short.wav");
    EXPECT_EQ(seek.exitCode, 1);
    EXPECT_NE(seek.err.find(engineText(AURA_ERR_INVALID_POSITION)), std::string::npos) << seek.err;
}

TEST_F(AuraPlay, BadUsageExitsTwoWithAMessage)
{
    const char *cases[] = {
        "--bogus",          "--volume 2 x.wav",     "--volume abc x.wav",  "--pan 1.5 x.wav",
        "--rate 1000 x.wav", "--rate 44.1k x.wav", "--format pcm24 x.wav", "--loop -2 x.wav",
        "--seek -5 x.wav",  "--duration x x.wav",   "--frequency 0 x.wav", "-o",
        "--info",           "--quiet=yes x.wav",    "-o out.wav --loop -1 x.wav",
    };
    for (const char *args : cases) {
        SCOPED_TRACE(args);
        const Outcome outcome = play(mDir, args);
        EXPECT_EQ(outcome.exitCode, 2);
        EXPECT_NE(outcome.err.find("aura-play: "), std::string::npos);
        EXPECT_FALSE(fs::exists(mDir / "aura-play.wav"));
        EXPECT_FALSE(fs::exists(mDir / "out.wav"));
    }
    const Outcome help = play(mDir, "--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--duration MS"), std::string::npos);
    for (const char *format : {"WAV", "IMA ADPCM", "Ogg Vorbis"}) {
        EXPECT_NE(help.out.find(format), std::string::npos) << format;
    }
    const Outcome version = play(mDir, "--version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("aura-play ", 0), 0u) << version.out;
}

// The running position is for people: on a terminal it is rewritten in
// place and ends on the length; in a pipe or a log it never appears.
TEST_F(AuraPlay, TheProgressLineShowsOnlyOnATerminal)
{
    if (!run("command -v script")) {
        GTEST_SKIP() << "script(1) is not installed";
    }
    ASSERT_TRUE(run("sox -D -n -r 8000 -c 2 -b 16 " + quote(mDir / "two.wav") + " synth 2 sine 300"));
    const Outcome piped = play(mDir, "-o piped.wav two.wav");
    ASSERT_EQ(piped.exitCode, 0) << piped.err;
    EXPECT_EQ(piped.err.find('\r'), std::string::npos);

    std::string inner = AURA_PLAY_PATH;
    inner += " -o tty.wav two.wav";
    const std::string typed = auratest::capture("cd " + quote(mDir.path()) + " && script -qec " + quote(inner) +
                                                " /dev/null");
    EXPECT_NE(typed.find("\rtwo.wav    2.00 /    2.00 s"), std::string::npos) << typed;
    EXPECT_EQ(readWav(mDir / "tty.wav").frames(), 16000u);

    // A sound of a second or less shows none.
    ASSERT_TRUE(run("sox -D -n -r 8000 -c 2 -b 16 " + quote(mDir / "one.wav") + " synth 1 sine 300"));
    inner = AURA_PLAY_PATH;
    inner += " -o one-out.wav one.wav";
    const std::string shortRun = auratest::capture("cd " + quote(mDir.path()) + " && script -qec " + quote(inner) +
                                                   " /dev/null");
    EXPECT_NE(shortRun.find("wrote one-out.wav"), std::string::npos) << shortRun;
    EXPECT_EQ(shortRun.find("one.wav    "), std::string::npos) << shortRun;
}

TEST(AuraPlayOptions, ValuesAreReadInBothSpellings)
{
    auraplay::Options options;
    const auraplay::ParseResult parsed = auraplay::parseOptions(
        {"--rate=22050", "--format", "float", "--volume=0.25", "--pan", "-0.5", "--frequency=11025.5", "--loop",
         "3", "--seek=1500", "--duration", "2000", "--stream", "-q", "-o", "x.wav", "a.ogg", "--", "-b.ogg"},
        options);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(options.rate, 22050);
    EXPECT_EQ(options.format, AURA_SOUND_FORMAT_PCMFLOAT);
    EXPECT_FLOAT_EQ(options.volume, 0.25f);
    EXPECT_FLOAT_EQ(options.pan, -0.5f);
    EXPECT_FLOAT_EQ(options.frequency, 11025.5f);
    EXPECT_EQ(options.loop, 3);
    EXPECT_EQ(options.seekMs, 1500u);
    EXPECT_EQ(options.durationMs, 2000);
    EXPECT_TRUE(options.stream);
    EXPECT_TRUE(options.quiet);
    EXPECT_EQ(options.output, "x.wav");
    EXPECT_EQ(options.files, (std::vector<std::string>{"a.ogg", "-b.ogg"}));

    // Looping for ever is allowed on the device, and in a render that has an end.
    auraplay::Options device;
    EXPECT_TRUE(auraplay::parseOptions({"--loop", "-1", "a.ogg"}, device).ok);
    auraplay::Options bounded;
    EXPECT_TRUE(auraplay::parseOptions({"--loop=-1", "--duration=10", "-o", "x.wav", "a.ogg"}, bounded).ok);

    // Short options combine, and -o takes the rest of its word or the next one.
    for (const std::vector<std::string> &args : {std::vector<std::string>{"-qo", "x.wav", "a.ogg"},
                                                 std::vector<std::string>{"-qox.wav", "a.ogg"},
                                                 std::vector<std::string>{"-q", "-ox.wav", "a.ogg"}}) {
        auraplay::Options combined;
        const auraplay::ParseResult result = auraplay::parseOptions(args, combined);
        ASSERT_TRUE(result.ok) << args[0] << ": " << result.error;
        EXPECT_TRUE(combined.quiet) << args[0];
        EXPECT_EQ(combined.output, "x.wav") << args[0];
        EXPECT_EQ(combined.files, std::vector<std::string>{"a.ogg"}) << args[0];
    }
    auraplay::Options helped;
    EXPECT_TRUE(auraplay::parseOptions({"-qh"}, helped).ok);
    EXPECT_TRUE(helped.help && helped.quiet);
    for (const std::vector<std::string> &args : {std::vector<std::string>{"-qz", "a.ogg"},
                                                 std::vector<std::string>{"-qo"}}) {
        auraplay::Options bad;
        const auraplay::ParseResult result = auraplay::parseOptions(args, bad);
        EXPECT_FALSE(result.ok) << args[0];
        EXPECT_NE(result.error.find(args[0] == "-qz" ? "-z" : "-o"), std::string::npos) << result.error;
    }

    auraplay::Options missing;
    const auraplay::ParseResult noValue = auraplay::parseOptions({"a.ogg", "--seek"}, missing);
    EXPECT_FALSE(noValue.ok);
    EXPECT_NE(noValue.error.find("--seek"), std::string::npos);
}

TEST_F(AuraPlay, TheDemoRendersEightAudibleSecondsWithoutClipping)
{
    const Outcome outcome = play(mDir, "-o demo.wav");
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    const Wav wav = readWav(mDir / "demo.wav");
    ASSERT_EQ(wav.channels, 2u);
    EXPECT_EQ(wav.rate, 48000u);
    EXPECT_NEAR(static_cast<double>(wav.frames()) / wav.rate, 8.0, 0.1);
    const std::vector<float> &samples = wav.samples;
    double peak = 0.0;
    for (float s : samples) {
        peak = std::max(peak, static_cast<double>(std::abs(s)));
    }
    EXPECT_LT(peak, 1.0);
    EXPECT_GT(peak, 0.1);
    // Music all the way through: every second carries sound.
    const size_t second = static_cast<size_t>(wav.rate) * 2;
    for (size_t s = 0; s + second <= samples.size(); s += second) {
        const std::vector<float> slice(samples.begin() + static_cast<long>(s),
                                        samples.begin() + static_cast<long>(s + second));
        EXPECT_GT(rms(slice, 0, 1), 0.02) << "second " << s / second;
    }
    // The effects are panned, so the two sides differ.
    EXPECT_GT(std::abs(rms(samples, 0, 2) - rms(samples, 1, 2)), 1e-4);
}

// Without a sound device the player renders to a WAV file, as -o would,
// and says so unless told to be quiet.
TEST_F(AuraPlay, WithoutADeviceTheSoundGoesToAWavFileAsARenderWould)
{
    const auratest::AlsaConfig noDevice("pcm.nothing { type null }");
    const std::string env = "ALSA_CONFIG_PATH=" + quote(noDevice.path());
    ASSERT_TRUE(run("sox -D -n -r 32000 -c 2 -b 16 " + quote(mDir / "a.wav") + " synth 0.5 sine 300"));
    ASSERT_TRUE(run("sox -D " + quote(mDir / "a.wav") + " -t raw " + quote(mDir / "a.raw")));

    Outcome outcome = play(mDir, "a.wav", env);
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_NE(outcome.err.find("no sound device"), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find("aura-play.wav"), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find("AURA:"), std::string::npos) << outcome.err;
    Wav wav = readWav(mDir / "aura-play.wav");
    EXPECT_EQ(wav.rate, 32000u);
    EXPECT_TRUE(wav.data == auratest::readAll(mDir / "a.raw")) << wav.frames() << " frames";

    // Where the sound went is said even to -q: it is not chatter.
    outcome = play(mDir, "-q a.wav", env);
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(outcome.err.rfind("aura-play: no sound device (", 0), 0u) << outcome.err;
    EXPECT_NE(outcome.err.find("; rendering to aura-play.wav\n"), std::string::npos) << outcome.err;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;

    outcome = play(mDir, "-q", env);
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_NEAR(static_cast<double>(readWav(mDir / "aura-play.wav").frames()), 8.0 * 48000, 4800);
}

// A refused command line leaves every file as it was, the fall-back's
// aura-play.wav included.
TEST_F(AuraPlay, AUsageErrorTouchesNoFile)
{
    const auratest::AlsaConfig noDevice("pcm.nothing { type null }");
    ASSERT_TRUE(run("sox -D -n -r 8000 -c 1 -b 16 " + quote(mDir / "a.wav") + " synth 0.1 sine 300"));
    const Bytes kept{'k', 'e', 'p', 't'};
    ASSERT_TRUE(auratest::writeAll(mDir / "aura-play.wav", kept));
    const Outcome outcome = play(mDir, "--loop -1 a.wav", "ALSA_CONFIG_PATH=" + quote(noDevice.path()));
    EXPECT_EQ(outcome.exitCode, 2) << outcome.err;
    EXPECT_NE(outcome.err.find("--duration"), std::string::npos) << outcome.err;
    EXPECT_TRUE(auratest::readAll(mDir / "aura-play.wav") == kept);
}

// What the player says follows what it did: a file is named as playing or
// rendering once it is open, never before, and --info names the format the
// file stores.
TEST_F(AuraPlay, MessagesFollowWhatHappened)
{
    ASSERT_TRUE(run("sox -D -n -r 8000 -c 1 -b 16 " + quote(mDir / "a.wav") + " synth 0.05 sine 300"));
    Outcome outcome = play(mDir, "-o out.wav missing.wav a.wav");
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_NE(outcome.err.find("aura-play: rendering a.wav\n"), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find("playing"), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find("rendering missing.wav"), std::string::npos) << outcome.err;

    // ALSA's null device is a sound device that plays nothing.
    const auratest::AlsaConfig nullDevice("pcm.!default { type null }");
    outcome = play(mDir, "missing.wav a.wav", "ALSA_CONFIG_PATH=" + quote(nullDevice.path()));
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_NE(outcome.err.find("aura-play: playing a.wav\n"), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find("playing missing.wav"), std::string::npos) << outcome.err;
    EXPECT_FALSE(fs::exists(mDir / "aura-play.wav"));

    ASSERT_TRUE(run("sox -D -n -r 22050 -c 1 -e ima-adpcm " + quote(mDir / "ima.wav") + " synth 0.2 sine 300"));
    outcome = play(mDir, "--info ima.wav");
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_NE(outcome.out.find("format:   IMA ADPCM"), std::string::npos) << outcome.out;
}

// A WAV file without frames is a sound of length 0: it plays as nothing,
// in either mode, and the files around it follow each other.
TEST_F(AuraPlay, AnEmptyWavPlaysAsNothing)
{
    ASSERT_TRUE(run("sox -D -n -r 8000 -c 1 -b 16 " + quote(mDir / "empty.wav") + " trim 0 0"));
    ASSERT_TRUE(run("sox -D -n -r 8000 -c 1 -b 16 " + quote(mDir / "a.wav") + " synth 0.1 sine 300"));
    for (const char *mode : {"", "--stream "}) {
        SCOPED_TRACE(mode);
        Outcome outcome = play(mDir, std::string(mode) + "-o out.wav empty.wav");
        EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
        EXPECT_EQ(readWav(mDir / "out.wav").frames(), 0u);
        outcome = play(mDir, std::string(mode) + "--rate 8000 -o out.wav a.wav empty.wav a.wav");
        EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
        EXPECT_EQ(readWav(mDir / "out.wav").frames(), 1600u);
    }
}

// A process of the tool with its standard streams in files of `dir`; `env`
// goes before the command ("NAME=value ...").
pid_t spawnPlayer(const auratest::TempDir &dir, const std::string &args, const std::string &env = "")
{
    const std::string script = "cd " + quote(dir.path()) + " && " + env + " exec " + AURA_PLAY_PATH + " " + args +
                               " >stdout.txt 2>stderr.txt </dev/null";
    const char *argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char **>(argv), environ) != 0) {
        return -1;
    }
    return pid;
}

// Ctrl-C ends a render with status 130 and a WAV file whose sizes match
// what was written.
TEST_F(AuraPlay, AnInterruptedRenderExitsWith130AndAWholeFile)
{
    ASSERT_TRUE(run("sox -D -n -r 44100 -c 2 -b 16 " + quote(mDir / "a.wav") + " synth 1 sine 300"));
    const pid_t pid = spawnPlayer(mDir, "-q -o long.wav --loop -1 --duration 36000000 a.wav");
    ASSERT_GT(pid, 0);
    // The render grows in a file of its own beside the target until it ends.
    const bool grew = auratest::waitFor(
        [&] {
            for (const auto &entry : fs::directory_iterator(mDir.path())) {
                std::error_code error;
                const auto size = fs::file_size(entry.path(), error);
                if (entry.path().filename().string().rfind(".long.wav.", 0) == 0 && !error && size > (1u << 20)) {
                    return true;
                }
            }
            return false;
        },
        std::chrono::seconds(60));
    EXPECT_EQ(kill(pid, SIGINT), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(grew);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 130);
    const Wav wav = readWav(mDir / "long.wav");
    EXPECT_GT(wav.frames(), 0u);
    EXPECT_EQ(wav.dataOffset + wav.dataSize, wav.fileSize);
}

// Nothing the user had is harmed by a run that fails: the target is
// replaced only by a finished render, and every write error names the path
// and the system's reason.
TEST_F(AuraPlay, AFailedRunLeavesFilesAsTheyWereAndNamesWhyItCannotWrite)
{
    const auratest::AlsaConfig noDevice("pcm.nothing { type null }");
    const std::string deviceless = "ALSA_CONFIG_PATH=" + quote(noDevice.path());
    ASSERT_TRUE(run("sox -D -n -r 44100 -c 2 -b 16 " + quote(mDir / "a.wav") + " synth 2 sine 300"));
    ASSERT_TRUE(fs::create_directory(mDir / "somedir"));
    const std::string words = "These are words, not a sound: no codec takes them.\n";
    ASSERT_TRUE(auratest::writeAll(mDir / "text.txt", Bytes(words.begin(), words.end())));
    Bytes cut = auratest::readAll(mDir / "a.wav");
    cut.resize(cut.size() / 2);
    ASSERT_TRUE(auratest::writeAll(mDir / "cut.wav", cut));
    const Bytes old{'o', 'l', 'd'};
    struct Case {
        const char *args;
        const char *env;       // "deviceless": no sound device opens
        const char *kept;      // a file that was there and must stay as it was
        const char *message;   // what standard error must hold
    };
    const Case cases[] = {
        {"-o keep.wav missing.wav", "", "keep.wav", "missing.wav: File not found"},
        {"-o notes.txt missing.wav", "", "notes.txt", "missing.wav: File not found"},
        {"-o keep.wav text.txt", "", "keep.wav", "text.txt: unsupported format"},
        // One failing file of several: the others render, and are dropped.
        {"-o keep.wav a.wav missing.wav", "", "keep.wav", "missing.wav: File not found"},
        {"-o keep.wav text.txt a.wav", "", "keep.wav", "text.txt: unsupported format"},
        {"-o keep.wav a.wav cut.wav", "", "keep.wav", "cut.wav: ended early"},
        {"-o keep.wav --stream cut.wav a.wav", "", "keep.wav", "cut.wav: ended early"},
        {"a.wav missing.wav", "deviceless", "aura-play.wav", "missing.wav: File not found"},
        {"missing.wav", "deviceless", "aura-play.wav", "missing.wav: File not found"},
        {"-o small.wav a.wav", "trap '' XFSZ; ulimit -f 64;", "small.wav", "cannot write small.wav"},
        {"-o somedir a.wav", "", nullptr, "aura-play: cannot write somedir: Is a directory\n"},
        {"-o /dev/full a.wav", "", nullptr, "aura-play: cannot write /dev/full: No space left on device\n"},
        {"-o nofolder/x.wav a.wav", "", nullptr, "aura-play: cannot write nofolder/x.wav: No such file or directory\n"},
        {"-o /sys/x.wav a.wav", "", nullptr, "aura-play: cannot write /sys/x.wav: Permission denied\n"},
        {"-q {dir}/a.wav", "cd /sys &&", nullptr,
         "the fallback render cannot write aura-play.wav: Permission denied\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        if (c.kept) {
            ASSERT_TRUE(auratest::writeAll(mDir / c.kept, old));
        }
        const std::string env = std::string(c.env) == "deviceless" ? deviceless : c.env + (" " + deviceless);
        std::string args = c.args;
        if (const size_t at = args.find("{dir}"); at != std::string::npos) {
            args.replace(at, 5, mDir.path());
        }
        const Outcome outcome = play(mDir, args, env);
        EXPECT_EQ(outcome.exitCode, 1) << outcome.err;
        EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
        EXPECT_EQ(outcome.err.find(engineText(AURA_ERR_FILE_BAD)), std::string::npos) << outcome.err;
        if (c.kept) {
            EXPECT_TRUE(auratest::readAll(mDir / c.kept) == old) << c.kept << " was changed";
            EXPECT_NE(outcome.err.find(std::string(c.kept) + " left as it was"), std::string::npos) << outcome.err;
            EXPECT_EQ(outcome.err.find("wrote"), std::string::npos) << outcome.err;
        }
        for (const auto &entry : fs::directory_iterator(mDir.path())) {
            EXPECT_NE(entry.path().filename().string().front(), '.') << "left behind: " << entry.path();
        }
    }
    // A render that works makes a new file with the usual permissions, and
    // replaces one that was there keeping its permissions.
    Outcome outcome = play(mDir, "-o new.wav a.wav");
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_NE(fs::status(mDir / "new.wav").permissions() & fs::perms::group_read, fs::perms::none);
    for (const fs::perms kept : {fs::perms::owner_read | fs::perms::owner_write,
                                 fs::perms::owner_read | fs::perms::group_read}) {
        ASSERT_TRUE(auratest::writeAll(mDir / "keep.wav", old));
        fs::permissions(mDir / "keep.wav", kept);
        outcome = play(mDir, "-o keep.wav a.wav");
        ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
        EXPECT_EQ(readWav(mDir / "keep.wav").frames(), 88200u);
        EXPECT_EQ(fs::status(mDir / "keep.wav").permissions(), kept);
    }
}

// Ctrl-C before the first block is mixed: a file that was there stays as it
// was, none is made, and the player says so. Its standard error is a pipe
// this test has filled, so the player stops in the write that names the
// file it started, before it mixes anything; the interrupt comes there.
TEST_F(AuraPlay, AnInterruptBeforeAnythingIsRenderedWritesNothing)
{
    ASSERT_TRUE(run("sox -D -n -r 44100 -c 2 -b 16 " + quote(mDir / "a.wav") + " synth 1 sine 300"));
    const Bytes old{'o', 'l', 'd'};
    for (const bool existed : {true, false}) {
        SCOPED_TRACE(existed ? "over a file" : "no file before");
        fs::remove(mDir / "k.wav");
        if (existed) {
            ASSERT_TRUE(auratest::writeAll(mDir / "k.wav", old));
        }
        int pipeEnds[2] = {-1, -1};
        ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
        // Full: written until it takes no more, then blocking again for the
        // player, which shares this end.
        ASSERT_EQ(fcntl(pipeEnds[1], F_SETFL, O_NONBLOCK), 0);
        const std::vector<char> chunk(4096, 'x');
        size_t filled = 0;
        for (ssize_t wrote = 0; (wrote = write(pipeEnds[1], chunk.data(), chunk.size())) > 0;) {
            filled += static_cast<size_t>(wrote);
        }
        ASSERT_EQ(fcntl(pipeEnds[1], F_SETFL, 0), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, mDir.path().c_str());
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const char *argv[] = {AURA_PLAY_PATH, "-o", "k.wav", "a.wav", nullptr};
        pid_t pid = -1;
        const int spawned = posix_spawn(&pid, AURA_PLAY_PATH, &actions, nullptr, const_cast<char **>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(pipeEnds[1]);
        ASSERT_EQ(spawned, 0);
        // The main thread's call as the kernel shows it: write to fd 2.
        const std::string writing = std::to_string(SYS_write) + " 0x2 ";
        const bool blocked = auratest::waitFor(
            [&] {
                const Bytes call = auratest::readAll("/proc/" + std::to_string(pid) + "/syscall");
                return std::string(call.begin(), call.end()).rfind(writing, 0) == 0;
            },
            std::chrono::seconds(60));
        EXPECT_EQ(kill(pid, SIGINT), 0);
        std::string said;
        char buffer[4096];
        for (ssize_t got = 0; (got = read(pipeEnds[0], buffer, sizeof(buffer))) > 0;) {
            said.append(buffer, static_cast<size_t>(got));
        }
        close(pipeEnds[0]);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(blocked);
        ASSERT_GE(said.size(), filled);
        said.erase(0, filled);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        EXPECT_EQ(WEXITSTATUS(status), 130) << said;
        EXPECT_EQ(said.find("wrote"), std::string::npos) << said;
        if (existed) {
            EXPECT_TRUE(auratest::readAll(mDir / "k.wav") == old) << "k.wav was changed";
            EXPECT_NE(said.find("interrupted before anything was rendered: k.wav left as it was\n"),
                      std::string::npos)
                << said;
        } else {
            EXPECT_FALSE(fs::exists(mDir / "k.wav"));
            EXPECT_NE(said.find("interrupted before anything was rendered: k.wav not written\n"), std::string::npos)
                << said;
        }
        for (const auto &entry : fs::directory_iterator(mDir.path())) {
            EXPECT_NE(entry.path().filename().string().front(), '.') << "left behind: " << entry.path();
        }
    }
}

// Damaged and unusual Ogg files: one answer in both modes, no crash, and a
// stream that ends with its data.
TEST_F(AuraPlay, OddOggFilesGiveTheSameAnswerAsSampleAndAsStream)
{
    Bytes damaged = auratest::encodeOgg({.rate = 44100, .channels = 2, .frames = 44100});
    ASSERT_TRUE(auratest::damageSetupHeader(damaged, 400, 10));
    ASSERT_TRUE(auratest::writeAll(mDir / "damaged.ogg", damaged));
    for (const char *mode : {"", "--stream "}) {
        SCOPED_TRACE(mode);
        for (const char *job : {"-o out.wav", "--info"}) {
            const Outcome outcome = play(mDir, std::string(mode) + job + " damaged.ogg");
            EXPECT_EQ(outcome.exitCode, 1) << job << ": " << outcome.err;
            EXPECT_NE(outcome.err.find("damaged.ogg: unsupported format"), std::string::npos) << outcome.err;
        }
    }

    Bytes claim = auratest::encodeOgg({.rate = 44100, .channels = 2, .frames = 2 * 44100});
    ASSERT_TRUE(auratest::setLastGranule(claim, 0xFFFFFFFFu));
    ASSERT_TRUE(auratest::writeAll(mDir / "claim.ogg", claim));
    ASSERT_TRUE(run("oggdec -Q -R -o " + quote(mDir / "claim.raw") + " " + quote(mDir / "claim.ogg")));
    const size_t frames = auratest::readAll(mDir / "claim.raw").size() / 4;
    for (const char *mode : {"", "--stream "}) {
        SCOPED_TRACE(mode);
        Outcome outcome = play(mDir, std::string(mode) + "--info claim.ogg");
        ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
        EXPECT_NE(outcome.out.find("length:   " + std::to_string(frames) + " samples"), std::string::npos)
            << outcome.out;
        outcome = play(mDir, std::string(mode) + "-o claim.wav claim.ogg", "timeout 120");
        ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
        EXPECT_EQ(readWav(mDir / "claim.wav").frames(), frames);
    }
}

// --info opens the file as a stream: a long file is not decoded whole.
TEST_F(AuraPlay, InfoOfALongFileDecodesLittleOfIt)
{
    ASSERT_TRUE(run("sox -D -n -r 44100 -c 2 -b 16 " + quote(mDir / "long.wav") + " synth 240 sine 300 sine 500"));
    ASSERT_TRUE(run("oggenc -Q -q 0 -o " + quote(mDir / "long.ogg") + " " + quote(mDir / "long.wav")));
    fs::remove(mDir / "long.wav");
    // The largest memory of one run of the tool, in kilobytes. GNU time
    // forks the tool from its own small process: a program this test
    // started itself would be charged, at its exec, with this process's
    // peak (posix_spawn shares the memory until then).
    const auto peakKb = [&](const std::string &args) {
        const Outcome outcome = play(mDir, args, "/usr/bin/time -f %M -o peak.txt");
        EXPECT_EQ(outcome.exitCode, 0) << args << ": " << outcome.err;
        const Bytes peak = auratest::readAll(mDir / "peak.txt");
        return std::atol(std::string(peak.begin(), peak.end()).c_str());
    };
    const long info = peakKb("--info long.ogg");
    const long whole = peakKb("-q -o part.wav --duration 100 long.ogg");
    // The decoded file alone is 42 MB.
    EXPECT_LT(info, whole - 20000) << "info " << info << " kB, a sample of the file " << whole << " kB";
}

} // namespace

namespace {

// Songs, MIDI files, banks and tags as a user first meets them: what is
// played at which rate, and what the player says when something is missing.
TEST_F(AuraPlay, SongsBanksAndTagsAsUsersMeetThem)
{
    // A MIDI file whose track name is Latin-1 ("Caf\xe9"), a DLS bank of two
    // sines, and a file that is no bank.
    auratest::MidiTrack track;
    track.add(0, {0xFF, 0x03, 4, 'C', 'a', 'f', 0xE9}).note(0, 96, 0, 69).note(96, 96, 0, 72);
    ASSERT_TRUE(auratest::writeAll(mDir / "song.mid", auratest::midiFile({track})));
    auratest::DlsInstrument piano;
    piano.regions.push_back(auratest::DlsRegion{});
    ASSERT_TRUE(auratest::writeAll(mDir / "bank.dls", auratest::sineBank({auratest::DlsSine{}, auratest::DlsSine{50}},
                                                                          {piano})));
    ASSERT_TRUE(run("sox -D -n -r 8000 -c 1 -b 16 " + quote(mDir / "a.wav") + " synth 0.1 sine 300"));
    const std::string mod = "/usr/share/games/circuslinux/data/music/hiscore.mod";
    const bool haveMod = fs::exists(mod);

    struct Case {
        std::string args;
        int exitCode;
        std::string out; // what standard output holds ("" : not checked)
        std::string err; // what standard error holds ("" : nothing)
    };
    std::vector<Case> cases = {
        {"-o out.wav song.mid", 1, "", "aura-play: song.mid: no DLS bank given: use --dls BANK.dls\n"},
        {"--dls missing.dls -o out.wav song.mid", 1, "",
         "aura-play: song.mid: cannot open bank missing.dls: No such file or directory\n"},
        {"--dls a.wav -o out.wav song.mid", 1, "", "aura-play: song.mid: a.wav is not a DLS bank\n"},
        {"--info song.mid", 0, "rate:     48000 Hz\n", ""},
        {"--info song.mid", 0, "Track 0 Name=Caf\xc3\xa9\n", ""},
        {"-o out.wav bank.dls", 1, "",
         "aura-play: bank.dls: this file holds 2 sounds: choose one with --subsound N or --sentence\n"},
        {"-q --dls bank.dls -o out.wav song.mid", 0, "", ""},
    };
    if (haveMod) {
        cases.push_back({"--info " + mod, 0, "rate:     48000 Hz\n", ""});
        cases.push_back({"--rate 22050 --info " + mod, 0, "rate:     22050 Hz\n", ""});
        cases.push_back({"-q --duration 100 -o out.wav " + mod, 0, "", ""});
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        const Outcome outcome = play(mDir, c.args);
        EXPECT_EQ(outcome.exitCode, c.exitCode) << outcome.err;
        EXPECT_NE(outcome.out.find(c.out), std::string::npos) << outcome.out;
        EXPECT_EQ(outcome.err, c.err);
        if (c.args.find("-o out.wav") != std::string::npos && c.exitCode == 0) {
            // A song has no rate of its own: it is rendered at 48000 Hz.
            EXPECT_EQ(readWav(mDir / "out.wav").rate, 48000u);
        }
    }
}

} // namespace

namespace {

// A TCP port that nothing on 127.0.0.1 listens on at the moment.
int unusedPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    const bool ok = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0;
    close(fd);
    return ok ? ntohs(address.sin_port) : 0;
}

// --profile PORT: aura-profile watches a player while it plays.
TEST_F(AuraPlay, AProfilerWatchesThePlayer)
{
    ASSERT_TRUE(run("sox -D -n -r 8000 -c 1 -b 16 " + quote(mDir / "a.wav") + " synth 1 sine 300"));
    const auratest::AlsaConfig nullDevice("pcm.!default { type null }");
    const int port = unusedPort();
    ASSERT_GT(port, 0);
    const pid_t pid = spawnPlayer(mDir, "-q --loop -1 --duration 60000 --profile " + std::to_string(port) + " a.wav",
                                  "ALSA_CONFIG_PATH=" + quote(nullDevice.path()));
    ASSERT_GT(pid, 0);
    std::string packets;
    const bool watched = auratest::waitFor(
        [&] {
            int status = 0;
            packets = auratest::capture(std::string(AURA_PROFILE_PATH) + " 127.0.0.1:" + std::to_string(port) +
                                            " --count 1 --cpu 2>&1",
                                        &status);
            return status == 0;
        },
        std::chrono::seconds(30));
    kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(watched) << packets;
    EXPECT_NE(packets.find("dsp"), std::string::npos) << packets;
    EXPECT_EQ(play(mDir, "--profile 0 a.wav").exitCode, 2);
}

} // namespace
