// aura-play as a user runs it: files made by sox and oggenc at test time,
// rendered through the WAV writer and compared with the reference decoders.
#include "aura_errors.h"
#include "options.h"
#include "files.h"
#include "sine_analysis.h"
#include "tools.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

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

Outcome play(const auratest::TempDir &dir, const std::string &args)
{
    const fs::path out = dir / "stdout.txt";
    const fs::path err = dir / "stderr.txt";
    std::string command = "cd ";
    command += quote(dir.path());
    command += " && ";
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

TEST_F(AuraPlay, FilesPlayOneAfterAnotherAndFailuresDoNotStopTheRest)
{
    ASSERT_TRUE(run("sox -D -n -r 48000 -c 2 -b 16 " + quote(mDir / "a.wav") + " synth 0.5 sine 300"));
    ASSERT_TRUE(run("sox -D -n -r 48000 -c 2 -b 16 " + quote(mDir / "b.wav") + " synth 0.25 square 200 vol 0.3"));
    ASSERT_TRUE(run("sox -D " + quote(mDir / "a.wav") + " -t raw " + quote(mDir / "a.raw")));
    ASSERT_TRUE(run("sox -D " + quote(mDir / "b.wav") + " -t raw " + quote(mDir / "b.raw")));
    const Bytes a = auratest::readAll(mDir / "a.raw");
    const Bytes b = auratest::readAll(mDir / "b.raw");

    const Outcome outcome = play(mDir, "-o both.wav a.wav missing.wav b.wav");
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_NE(outcome.err.find("missing.wav: " + engineText(AURA_ERR_FILE_NOTFOUND)), std::string::npos)
        << outcome.err;
    const Wav wav = readWav(mDir / "both.wav");
    EXPECT_EQ(wav.rate, 48000u);
    // The second file starts on the next mixing block after the first ends,
    // and the render stops where it ends.
    ASSERT_GE(wav.data.size(), a.size() + b.size());
    EXPECT_LT(wav.data.size(), a.size() + b.size() + 1024 * 4);
    EXPECT_TRUE(Bytes(wav.data.begin(), wav.data.begin() + static_cast<long>(a.size())) == a);
    EXPECT_TRUE(Bytes(wav.data.end() - static_cast<long>(b.size()), wav.data.end()) == b);
}

TEST_F(AuraPlay, BadFilesGiveTheEngineMessageAndExitOne)
{
    auratest::writeAll(mDir / "notes.txt", Bytes{'h', 'e', 'l', 'l', 'o', '\n'});
    auratest::writeAll(mDir / "empty.ogg", Bytes{});
    struct Case {
        const char *args;
        AURA_RESULT result;
    };
    const Case cases[] = {
        {"-o out.wav missing.ogg", AURA_ERR_FILE_NOTFOUND},
        {"-o out.wav notes.txt", AURA_ERR_FORMAT},
        {"--info missing.ogg", AURA_ERR_FILE_NOTFOUND},
        {"--info notes.txt", AURA_ERR_FORMAT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        const Outcome outcome = play(mDir, c.args);
        EXPECT_EQ(outcome.exitCode, 1);
        EXPECT_NE(outcome.err.find(engineText(c.result)), std::string::npos) << outcome.err;
        EXPECT_FALSE(fs::exists(mDir / "out.wav"));
    }
    // An empty file and a directory are refused, not crashed on.
    for (const char *args : {"-o out.wav empty.ogg", "--info empty.ogg", "-o out.wav ."}) {
        SCOPED_TRACE(args);
        const Outcome outcome = play(mDir, args);
        EXPECT_EQ(outcome.exitCode, 1) << outcome.err;
        EXPECT_NE(outcome.err.find("aura-play: "), std::string::npos);
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

// Without a sound device the player renders to a WAV file and says where.
TEST_F(AuraPlay, WithoutADeviceTheSoundGoesToAWavFile)
{
    struct stat info {};
    if (stat("/dev/snd", &info) == 0) {
        GTEST_SKIP() << "this machine has a sound device";
    }
    ASSERT_TRUE(run("sox -D -n -r 48000 -c 2 -b 16 " + quote(mDir / "a.wav") + " synth 0.5 sine 300"));
    Outcome outcome = play(mDir, "a.wav");
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_NE(outcome.err.find("aura-play.wav"), std::string::npos) << outcome.err;
    EXPECT_EQ(readWav(mDir / "aura-play.wav").frames(), 24000u);

    outcome = play(mDir, "-q");
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_NEAR(static_cast<double>(readWav(mDir / "aura-play.wav").frames()), 8.0 * 48000, 4800);
}

} // namespace
