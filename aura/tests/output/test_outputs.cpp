// The outputs: WAV files as other programs read them, real-time pacing, the
// sound device or the fall-back when there is none, and threads that end.
#include "alsa_config.h"
#include "dsp_harness.h"
#include "files.h"
#include "threads.h"
#include "tools.h"
#include "wav.h"
#include "output/aura_output_alsa.h"
#include "output/aura_output_factory.h"
#include "output/aura_output_nosound.h"
#include "output/aura_output_wavwriter.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using auratest::AlsaConfig;
using auratest::Harness;
using auratest::readWav;
using auratest::taskExists;
using auratest::TempDir;
using auratest::waitFor;
using auratest::Wav;
using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// Helpers

std::vector<std::string> listDir(const std::string &path)
{
    std::vector<std::string> names;
    if (DIR *dir = opendir(path.c_str())) {
        while (dirent *entry = readdir(dir)) {
            if (entry->d_name[0] != '.') {
                names.emplace_back(entry->d_name);
            }
        }
        closedir(dir);
    }
    return names;
}

// The OS id of a running mixer thread, once it has started.
unsigned int mixerThreadId(const AURA::Thread &thread)
{
    unsigned int tid = 0;
    (void)waitFor([&] { return (tid = thread.getThreadID()) != 0; }, std::chrono::seconds(2));
    return tid;
}

size_t openFdCount()
{
    // The listing itself holds one descriptor while it runs, every time.
    return listDir("/proc/self/fd").size();
}

// Threads of this process whose OS name is the mixer's (cut to 15 bytes).
int mixerThreadCount()
{
    int count = 0;
    for (const std::string &tid : listDir("/proc/self/task")) {
        count += auratest::taskName(static_cast<unsigned int>(std::stoul(tid))) == "AURA mixer thre" ? 1 : 0;
    }
    return count;
}

// A joined thread has run its last instruction; the kernel drops its task
// entry a moment later.
bool threadGone(unsigned int tid)
{
    return waitFor([&] { return !taskExists(tid) && mixerThreadCount() == 0; }, std::chrono::seconds(2));
}

// The output format that matches a harness system.
AURA::OutputFormat formatOf(const AURA::SystemI &system)
{
    return AURA::OutputFormat{system.mOutputRate, system.mOutputFormat, system.mMaxOutputChannels,
                              system.mSpeakerMode, system.mDSPBlockSize, 4};
}

// A harness whose sound card is fed by one constant stereo generator.
struct ConstantSource {
    explicit ConstantSource(float value, unsigned int block = 256,
                            AURA_SOUND_FORMAT format = AURA_SOUND_FORMAT_PCM16)
        : h(block, format)
    {
        EXPECT_EQ(h.init, AURA_OK);
        AURA::DSPI *unit = h.unit("const", 2);
        Harness::of(unit).value = value;
        EXPECT_EQ(h.head->addInput(unit, nullptr), AURA_OK);
    }
    Harness h;
};

double secondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// A real-time output watched from the test thread against the wall clock.
// Its clock starts inside start(), so between `before` and `after`, and
// makes frame n due once its milliseconds have counted n / rate seconds. The
// output mixes the next block while it holds no more than `lead` frames
// beyond what is due, and sleeps otherwise. So it never holds more than real
// time since its start plus a millisecond of rounding, `lead` and a block,
// and whenever it sleeps it holds more than real time less that millisecond,
// plus `lead`.
struct RealTimeWatch {
    const AURA::Output &output;
    int rate = 0;
    unsigned int block = 0;
    uint64_t lead = 0;
    Clock::time_point before;
    Clock::time_point after;

    // The most it may have mixed when it is read before `now`.
    [[nodiscard]] double mostBy(Clock::time_point now) const
    {
        return (secondsBetween(before, now) + 0.001) * rate + static_cast<double>(lead) + block + 1.0;
    }
};

// What the watch saw.
struct RealTimeSeen {
    uint64_t mixed = 0; // at the last look
    double ahead = 0.0; // most frames seen beyond what real time allowed
    bool caughtUp = false; // seen with all that was due mixed, a span after its start
    double behind = 0.0; // frames short of that at the last look
    int stalls = 0; // times it was seen half a second behind
};

// Looks at the output every few milliseconds until, `span` after its start,
// it is seen sleeping with everything real time has made due mixed: a
// scheduler that delays it only postpones that moment, while an output
// that drifts behind real time never gets there. At every look it must not
// be ahead of real time.
//
// A loaded machine may hold the output back for a while; it then catches up
// in a burst, and after a stall of over a second it drops the backlog and
// counts on from where it is. So once it is seen half a second behind, the
// drift is measured again from that look over a new span: from a look,
// where it may have held up to `lead` and a block more than was due.
RealTimeSeen watchRealTime(const RealTimeWatch &w, std::chrono::milliseconds span)
{
    RealTimeSeen seen;
    // What it had mixed at `from` (at its start: nothing), and how much of
    // that may have been ahead of its clock then.
    Clock::time_point from = w.after;
    double mixedFrom = 0.0;
    double excessFrom = 0.0;
    seen.caughtUp = waitFor(
        [&] {
            const auto looked = Clock::now();
            seen.mixed = w.output.getFramesMixed();
            const auto now = Clock::now();
            seen.ahead = std::max(seen.ahead, static_cast<double>(seen.mixed) - w.mostBy(now));
            // Frames its clock has made due since `from`, less a millisecond
            // of rounding and a frame of truncation, plus its lead.
            const double covered = mixedFrom - excessFrom + secondsBetween(from, looked) * w.rate - w.rate / 1000.0 -
                                   1.0 + static_cast<double>(w.lead);
            seen.behind = covered - static_cast<double>(seen.mixed);
            if (seen.behind > w.rate / 2.0) {
                ++seen.stalls;
                from = now;
                mixedFrom = static_cast<double>(seen.mixed);
                excessFrom = static_cast<double>(w.lead) + w.block;
                return false;
            }
            return looked >= from + span && seen.behind <= 0.0;
        },
        // Only an output that fell behind for good waits this long.
        std::chrono::seconds(60));
    return seen;
}

// ---------------------------------------------------------------------------
// Choosing outputs

TEST(OutputFactory, MakesEachTypeAndRejectsUnknownOnes)
{
    struct Case {
        AURA_OUTPUTTYPE type;
        const char *name;
        bool realTime;
    };
    const Case cases[] = {
        {AURA_OUTPUTTYPE_AUTODETECT, "alsa", true},
        {AURA_OUTPUTTYPE_ALSA, "alsa", true},
        {AURA_OUTPUTTYPE_NOSOUND, "nosoundoutput", true},
        {AURA_OUTPUTTYPE_NOSOUND_NRT, "nosoundoutput_nrt", false},
        {AURA_OUTPUTTYPE_WAVWRITER, "wavwriter", true},
        {AURA_OUTPUTTYPE_WAVWRITER_NRT, "wavwriter_nrt", false},
    };
    for (const Case &c : cases) {
        AURA::Output *output = nullptr;
        ASSERT_EQ(AURA::createOutput(c.type, &output), AURA_OK) << c.name;
        ASSERT_NE(output, nullptr);
        EXPECT_STREQ(output->getName(), c.name);
        EXPECT_EQ(output->isRealTime(), c.realTime) << c.name;
        EXPECT_EQ(AURA::releaseOutput(output), AURA_OK) << c.name;
    }
    AURA::Output *output = reinterpret_cast<AURA::Output *>(&output);
    EXPECT_EQ(AURA::createOutput(static_cast<AURA_OUTPUTTYPE>(6), &output), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(output, nullptr);
    EXPECT_EQ(AURA::createOutput(AURA_OUTPUTTYPE_NOSOUND, nullptr), AURA_ERR_INVALID_PARAM);
}

TEST(OutputFactory, ChecksTheFormatAndTheSystemsSampleFormat)
{
    ConstantSource src(0.5f, 256, AURA_SOUND_FORMAT_PCMFLOAT);
    AURA::OutputFormat good = formatOf(src.h.system);

    AURA::Output *output = nullptr;
    AURA::OutputFormat f = good;
    EXPECT_EQ(AURA::openOutput(nullptr, AURA_OUTPUTTYPE_NOSOUND_NRT, f, nullptr, &output), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(output, nullptr);
    for (int which = 0; which < 4; ++which) {
        f = good;
        switch (which) {
        case 0: f.rate = 0; break;
        case 1: f.channels = 0; break;
        case 2: f.channels = AURA::DSP_MAXCHANNELS + 1; break;
        default: f.blocklength = 0; break;
        }
        EXPECT_EQ(AURA::openOutput(&src.h.system, AURA_OUTPUTTYPE_NOSOUND_NRT, f, nullptr, &output),
                  AURA_ERR_INVALID_PARAM)
            << which;
        EXPECT_EQ(output, nullptr);
    }

    // Formats the outputs do not write become 16-bit; the system reads that
    // back. A system still mixing floats then cannot be started on it: the
    // blocks would not fit.
    f = good;
    f.format = AURA_SOUND_FORMAT_PCM24;
    ASSERT_EQ(AURA::openOutput(&src.h.system, AURA_OUTPUTTYPE_NOSOUND_NRT, f, nullptr, &output), AURA_OK);
    EXPECT_EQ(f.format, AURA_SOUND_FORMAT_PCM16);
    EXPECT_EQ(output->start(), AURA_ERR_OUTPUT_FORMAT);
    EXPECT_EQ(AURA::releaseOutput(output), AURA_OK);

    // Without a DSP engine there is nothing to mix.
    AURA::SystemI bare;
    f = good;
    ASSERT_EQ(AURA::openOutput(&bare, AURA_OUTPUTTYPE_NOSOUND, f, nullptr, &output), AURA_OK);
    EXPECT_EQ(output->start(), AURA_ERR_UNINITIALIZED);
    EXPECT_EQ(AURA::releaseOutput(output), AURA_OK);
}

TEST(OutputNoSoundNRT, MixesOneBlockPerUpdateWhileStarted)
{
    ConstantSource src(0.5f);
    AURA::OutputFormat f = formatOf(src.h.system);
    AURA::Output *output = nullptr;
    ASSERT_EQ(AURA::openOutput(&src.h.system, AURA_OUTPUTTYPE_NOSOUND_NRT, f, nullptr, &output), AURA_OK);
    EXPECT_EQ(output->update(), AURA_OK);
    EXPECT_EQ(output->getFramesMixed(), 0u) << "mixed before start";
    ASSERT_EQ(output->start(), AURA_OK);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(output->update(), AURA_OK);
    }
    EXPECT_EQ(output->getFramesMixed(), 5u * 256u);
    EXPECT_EQ(src.h.system.mDSPClock.load(), 5u * 256u);
    ASSERT_EQ(output->stop(), AURA_OK);
    EXPECT_EQ(output->update(), AURA_OK);
    EXPECT_EQ(output->getFramesMixed(), 5u * 256u) << "mixed after stop";
    EXPECT_EQ(AURA::releaseOutput(output), AURA_OK);
}

// ---------------------------------------------------------------------------
// WAV files, one block per update

// Mixes `blocks` blocks of a constant through the non-real-time writer and
// returns the file as parsed after release.
Wav writeConstant(const std::string &path, float value, unsigned int block, AURA_SOUND_FORMAT format,
                  int blocks)
{
    ConstantSource src(value, block, format);
    AURA::OutputFormat f = formatOf(src.h.system);
    AURA::Output *output = nullptr;
    EXPECT_EQ(AURA::openOutput(&src.h.system, AURA_OUTPUTTYPE_WAVWRITER_NRT, f,
                               const_cast<char *>(path.c_str()), &output),
              AURA_OK);
    if (!output) {
        return {};
    }
    EXPECT_EQ(f.format, format);
    EXPECT_EQ(output->start(), AURA_OK);
    for (int i = 0; i < blocks; ++i) {
        EXPECT_EQ(output->update(), AURA_OK);
    }
    // Before close the file already parses, with sizes still to be fixed.
    const Wav partial = readWav(path);
    EXPECT_TRUE(partial.valid) << partial.error;
    EXPECT_EQ(partial.dataSize, 0u);
    EXPECT_EQ(partial.fileSize, partial.dataOffset + blocks * AURA::DSPSoundCard::bytesFor(format, block, 2));
    EXPECT_EQ(AURA::releaseOutput(output), AURA_OK);

    Wav w = readWav(path);
    EXPECT_TRUE(w.valid) << w.error;
    const unsigned int frameBytes = AURA::DSPSoundCard::bytesFor(format, 1, 2);
    EXPECT_EQ(w.channels, 2u);
    EXPECT_EQ(w.rate, 24000u);
    EXPECT_EQ(w.blockAlign, frameBytes);
    EXPECT_EQ(w.byteRate, 24000u * frameBytes);
    EXPECT_EQ(w.dataSize, blocks * block * frameBytes);
    EXPECT_EQ(w.riffSize, w.fileSize - 8);
    EXPECT_EQ(w.dataOffset + w.dataSize, w.fileSize);
    return w;
}

// sox, as an outside reader, takes the file for what it is.
void expectSoxReads(const std::string &path, uint32_t frames, const char *encoding)
{
    int status = -1;
    std::string text = auratest::capture("soxi -s " + auratest::quote(path) + " 2>&1", &status);
    EXPECT_EQ(status, 0) << text;
    EXPECT_EQ(std::strtoul(text.c_str(), nullptr, 10), frames) << text;
    text = auratest::capture("soxi -e " + auratest::quote(path) + " 2>&1");
    EXPECT_NE(text.find(encoding), std::string::npos) << text;
    text = auratest::capture("soxi -r " + auratest::quote(path) + " 2>&1");
    EXPECT_EQ(std::strtoul(text.c_str(), nullptr, 10), 24000u) << text;
}

TEST(OutputWavWriterNRT, Writes16BitSamplesOfTheMixWithSizesThatMatch)
{
    TempDir dir;
    const std::string path = dir.file("mix16.wav");
    const Wav w = writeConstant(path, 0.5f, 256, AURA_SOUND_FORMAT_PCM16, 10);
    ASSERT_TRUE(w.valid);
    EXPECT_EQ(w.format, 1u);
    EXPECT_EQ(w.fmtSize, 16u);
    EXPECT_EQ(w.bits, 16u);
    EXPECT_EQ(w.dataOffset, 44u);
    for (size_t i = 0; i < w.pcm16.size(); ++i) {
        ASSERT_EQ(w.pcm16[i], 16384) << "sample " << i;
    }
    if (!auratest::run("command -v soxi")) {
        GTEST_SKIP() << "sox is not installed: the outside check of the file was not run";
    }
    expectSoxReads(path, 2560, "Signed Integer PCM");
}

TEST(OutputWavWriterNRT, WritesExactFloatsWithAFactChunk)
{
    TempDir dir;
    const std::string path = dir.file("mixf.wav");
    const float value = 0.3f; // no 16-bit sample gives this back
    const Wav w = writeConstant(path, value, 128, AURA_SOUND_FORMAT_PCMFLOAT, 7);
    ASSERT_TRUE(w.valid);
    EXPECT_EQ(w.format, 3u);
    EXPECT_EQ(w.fmtSize, 18u);
    EXPECT_EQ(w.cbSize.value_or(99), 0u);
    EXPECT_EQ(w.bits, 32u);
    ASSERT_TRUE(w.factFrames.has_value()) << "float data needs a fact chunk";
    EXPECT_EQ(*w.factFrames, 7u * 128u);
    for (size_t i = 0; i < w.samples.size(); ++i) {
        ASSERT_EQ(w.samples[i], value) << "sample " << i;
    }
    if (!auratest::run("command -v soxi")) {
        GTEST_SKIP() << "sox is not installed: the outside check of the file was not run";
    }
    expectSoxReads(path, 7 * 128, "Floating Point PCM");
}

TEST(OutputWavWriterNRT, WithoutANameWritesAuraOutputWavHere)
{
    TempDir dir;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    ConstantSource src(0.5f);
    AURA::OutputFormat f = formatOf(src.h.system);
    AURA::Output *output = nullptr;
    const AURA_RESULT opened = AURA::openOutput(&src.h.system, AURA_OUTPUTTYPE_WAVWRITER_NRT, f, nullptr, &output);
    if (opened == AURA_OK) {
        EXPECT_EQ(output->start(), AURA_OK);
        EXPECT_EQ(output->update(), AURA_OK);
        EXPECT_EQ(AURA::releaseOutput(output), AURA_OK);
    }
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_EQ(opened, AURA_OK);
    const Wav w = readWav(dir.file("aura_output.wav"));
    ASSERT_TRUE(w.valid) << w.error;
    EXPECT_EQ(w.dataSize, 256u * 4u);
}

TEST(OutputWavWriterNRT, WriteFailuresAreReportedNotFatal)
{
    ConstantSource src(0.5f);
    const AURA::OutputFormat good = formatOf(src.h.system);
    AURA::Output *output = nullptr;

    // A full device takes not even the header.
    AURA::OutputFormat f = good;
    EXPECT_EQ(AURA::openOutput(&src.h.system, AURA_OUTPUTTYPE_WAVWRITER_NRT, f,
                               const_cast<char *>("/dev/full"), &output),
              AURA_ERR_FILE_BAD);
    EXPECT_EQ(output, nullptr);

    TempDir dir;
    const std::string missing = dir.file("no/such/folder.wav");
    f = good;
    EXPECT_EQ(AURA::openOutput(&src.h.system, AURA_OUTPUTTYPE_WAVWRITER_NRT, f,
                               const_cast<char *>(missing.c_str()), &output),
              AURA_ERR_FILE_NOTFOUND);
    EXPECT_EQ(output, nullptr);

    // A disk that fills up in the middle of a block: the file-size limit
    // makes write fail with EFBIG instead of raising SIGXFSZ.
    const std::string path = dir.file("full.wav");
    f = good;
    ASSERT_EQ(AURA::openOutput(&src.h.system, AURA_OUTPUTTYPE_WAVWRITER_NRT, f,
                               const_cast<char *>(path.c_str()), &output),
              AURA_OK);
    ASSERT_EQ(output->start(), AURA_OK);
    const unsigned int blockBytes = 256 * 4;
    const rlim_t limit = 44 + 3 * blockBytes + 102; // half a frame past 100
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto *oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = limit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    AURA_RESULT results[5];
    for (AURA_RESULT &r : results) {
        r = output->update();
    }
    const AURA_RESULT closed = AURA::releaseOutput(output);
    (void)setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(results[0], AURA_OK);
    EXPECT_EQ(results[1], AURA_OK);
    EXPECT_EQ(results[2], AURA_OK);
    EXPECT_EQ(results[3], AURA_ERR_FILE_BAD);
    EXPECT_EQ(results[4], AURA_ERR_FILE_BAD);
    EXPECT_EQ(closed, AURA_ERR_FILE_BAD);
    // What did reach the disk is described by the header, in whole frames;
    // the half frame is cut off.
    const Wav w = readWav(path);
    ASSERT_TRUE(w.valid) << w.error;
    EXPECT_EQ(w.dataSize, 3 * blockBytes + 100);
    EXPECT_EQ(w.dataOffset + w.dataSize, w.fileSize);
    EXPECT_EQ(w.riffSize, w.fileSize - 8);
}

// ---------------------------------------------------------------------------
// Real time

TEST(OutputNoSoundThreads, MixesRealTimeWithoutDrifting)
{
    ConstantSource src(0.25f, 512);
    AURA::OutputFormat f = formatOf(src.h.system);
    AURA::Output *output = nullptr;
    ASSERT_EQ(AURA::openOutput(&src.h.system, AURA_OUTPUTTYPE_NOSOUND, f, nullptr, &output), AURA_OK);
    RealTimeWatch watch{*output, f.rate, f.blocklength, 0, Clock::now(), {}};
    ASSERT_EQ(output->start(), AURA_OK);
    watch.after = Clock::now();
    const unsigned int tid = mixerThreadId(static_cast<AURA::OutputNoSound *>(output)->getMixerThread());
    EXPECT_TRUE(taskExists(tid));
    // The thread names itself once it runs.
    EXPECT_TRUE(waitFor([] { return mixerThreadCount() == 1; }, std::chrono::seconds(2)));

    // Two seconds of 21 ms blocks: sleeps that added up instead of counting
    // from the start would leave it tens of milliseconds behind by then.
    const RealTimeSeen seen = watchRealTime(watch, std::chrono::seconds(2));
    EXPECT_LE(seen.ahead, 0.0) << "mixed ahead of real time";
    EXPECT_TRUE(seen.caughtUp) << "drifted " << seen.behind << " frames behind real time (" << seen.stalls
                               << " stalls)";
    EXPECT_EQ(seen.mixed % 512u, 0u);
    EXPECT_EQ(output->update(), AURA_OK);

    ASSERT_EQ(AURA::releaseOutput(output), AURA_OK);
    EXPECT_TRUE(threadGone(tid));
    EXPECT_EQ(src.h.system.mDSPClock.load() % 512u, 0u);
}

TEST(OutputNoSoundThreads, ReleaseWhileMixingJoinsTheThread)
{
    ConstantSource src(0.25f, 256);
    AURA::OutputFormat f = formatOf(src.h.system);
    for (int round = 0; round < 3; ++round) {
        AURA::Output *output = nullptr;
        ASSERT_EQ(AURA::openOutput(&src.h.system, AURA_OUTPUTTYPE_NOSOUND, f, nullptr, &output), AURA_OK);
        ASSERT_EQ(output->start(), AURA_OK);
        auto *noSound = static_cast<AURA::OutputNoSound *>(output);
        ASSERT_TRUE(waitFor([&] { return output->getFramesMixed() >= 2 * 256; }, std::chrono::seconds(5)));
        EXPECT_TRUE(noSound->getMixerThread().isRunning());
        const unsigned int tid = mixerThreadId(noSound->getMixerThread());
        EXPECT_TRUE(taskExists(tid));
        // Straight to release: no stop first.
        ASSERT_EQ(AURA::releaseOutput(output), AURA_OK);
        EXPECT_TRUE(threadGone(tid)) << "round " << round;
    }
    // Nothing mixes any more.
    const uint64_t clock = src.h.system.mDSPClock.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(src.h.system.mDSPClock.load(), clock);
}

TEST(OutputWavWriterThreads, FileLengthMatchesTheTimeItRan)
{
    TempDir dir;
    const std::string path = dir.file("realtime.wav");
    constexpr unsigned int kBlock = 480; // 20 ms at 24 kHz
    ConstantSource src(0.25f, kBlock);
    AURA::OutputFormat f = formatOf(src.h.system);
    AURA::Output *output = nullptr;
    ASSERT_EQ(AURA::openOutput(&src.h.system, AURA_OUTPUTTYPE_WAVWRITER, f,
                               const_cast<char *>(path.c_str()), &output),
              AURA_OK);
    RealTimeWatch watch{*output, f.rate, kBlock, 0, Clock::now(), {}};
    ASSERT_EQ(output->start(), AURA_OK);
    watch.after = Clock::now();
    const RealTimeSeen seen = watchRealTime(watch, std::chrono::seconds(1));
    ASSERT_EQ(output->stop(), AURA_OK);
    const uint64_t mixed = output->getFramesMixed();
    EXPECT_LE(static_cast<double>(mixed), watch.mostBy(Clock::now())) << "mixed ahead of real time";
    EXPECT_LE(seen.ahead, 0.0) << "mixed ahead of real time";
    EXPECT_TRUE(seen.caughtUp) << "fell " << seen.behind << " frames behind real time (" << seen.stalls << " stalls)";
    EXPECT_GE(mixed, seen.mixed);
    EXPECT_EQ(output->update(), AURA_OK);
    ASSERT_EQ(AURA::releaseOutput(output), AURA_OK);

    // The file holds every block mixed up to the stop, and nothing else.
    const Wav w = readWav(path);
    ASSERT_TRUE(w.valid) << w.error;
    EXPECT_EQ(w.dataOffset + w.dataSize, w.fileSize);
    EXPECT_EQ(w.riffSize, w.fileSize - 8);
    const uint32_t frames = w.dataSize / 4;
    EXPECT_EQ(frames, mixed);
    EXPECT_EQ(frames % kBlock, 0u);
    for (size_t i = 0; i < w.pcm16.size(); ++i) {
        ASSERT_EQ(w.pcm16[i], 8192) << "sample " << i;
    }
}

TEST(OutputWavWriterThreads, FullDiskIsReportedAndMixingGoesOn)
{
    TempDir dir;
    const std::string path = dir.file("full.wav");
    ConstantSource src(0.25f, 256);
    AURA::OutputFormat f = formatOf(src.h.system);
    AURA::Output *output = nullptr;
    ASSERT_EQ(AURA::openOutput(&src.h.system, AURA_OUTPUTTYPE_WAVWRITER, f,
                               const_cast<char *>(path.c_str()), &output),
              AURA_OK);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto *oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 44 + 4 * 256 * 4;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

    ASSERT_EQ(output->start(), AURA_OK);
    const bool failed = waitFor([&] { return output->update() == AURA_ERR_FILE_BAD; }, std::chrono::seconds(5));
    const uint64_t mixedAtFailure = output->getFramesMixed();
    const bool goesOn = waitFor([&] { return output->getFramesMixed() >= mixedAtFailure + 4 * 256; },
                                std::chrono::seconds(5));
    const AURA_RESULT closed = AURA::releaseOutput(output);
    (void)setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_TRUE(failed) << "the failed write was not reported";
    EXPECT_TRUE(goesOn) << "mixing stopped with the file";
    EXPECT_EQ(closed, AURA_ERR_FILE_BAD);
    const Wav w = readWav(path);
    ASSERT_TRUE(w.valid) << w.error;
    EXPECT_EQ(w.dataSize, 4u * 256u * 4u);
    EXPECT_EQ(w.dataOffset + w.dataSize, w.fileSize);
}

// ---------------------------------------------------------------------------
// The sound device

TEST(OutputALSAThreads, DefaultDeviceOpensOrFailsCleanly)
{
    ConstantSource src(0.25f, 512);
    AURA::OutputFormat f = formatOf(src.h.system);
    const AURA::OutputFormat asked = f;
    const size_t fdsBefore = openFdCount();
    AURA::Output *output = nullptr;
    ASSERT_EQ(AURA::createOutput(AURA_OUTPUTTYPE_ALSA, &output), AURA_OK);
    auto *alsa = static_cast<AURA::OutputALSA *>(output);
    const AURA_RESULT result = output->init(&src.h.system, f, nullptr);
    if (result != AURA_OK) {
        // No sound card (CI, containers).
        EXPECT_EQ(result, AURA_ERR_OUTPUT_INIT);
        EXPECT_STRNE(alsa->getErrorText(), "");
        EXPECT_EQ(f.rate, asked.rate) << "the format changed though nothing opened";
        EXPECT_EQ(openFdCount(), fdsBefore) << "a failed open left a descriptor behind";
        EXPECT_EQ(output->start(), AURA_ERR_UNINITIALIZED);
        EXPECT_EQ(AURA::releaseOutput(output), AURA_OK);
        return;
    }
    EXPECT_GT(f.rate, 0);
    EXPECT_EQ(f.format, AURA_SOUND_FORMAT_PCM16);
    EXPECT_EQ(f.channels, 2);
    src.h.system.mOutputRate = f.rate;
    ASSERT_EQ(output->start(), AURA_OK);
    EXPECT_TRUE(waitFor([&] { return output->getFramesMixed() >= 4 * 512; }, std::chrono::seconds(5)));
    // The thread names itself once it runs.
    EXPECT_TRUE(waitFor([] { return mixerThreadCount() == 1; }, std::chrono::seconds(2)));
    EXPECT_EQ(AURA::releaseOutput(output), AURA_OK);
    EXPECT_TRUE(waitFor([] { return mixerThreadCount() == 0; }, std::chrono::seconds(2)));
}

// What the system's callback heard of the device.
std::vector<std::string> gDeviceNotices;

AURA_RESULT hearDeviceNotice(AURA_SYSTEM *, AURA_SYSTEM_CALLBACKTYPE type, void *data1, void *)
{
    if (type == AURA_SYSTEM_CALLBACKTYPE_NODEVICE) {
        gDeviceNotices.emplace_back(static_cast<const char *>(data1));
    }
    return AURA_OK;
}

TEST(OutputALSAThreads, WithoutADeviceFallsBackToMixingWithoutSound)
{
    // A configuration without a default device fails on every machine.
    AlsaConfig config("pcm.nothing { type null }");
    ConstantSource src(0.25f, 256);
    for (AURA_OUTPUTTYPE type : {AURA_OUTPUTTYPE_AUTODETECT, AURA_OUTPUTTYPE_ALSA}) {
        for (const bool listening : {false, true}) {
            // The library says nothing on standard error: the reason goes
            // to the system's callback, when there is one.
            src.h.system.mCallback = listening ? &hearDeviceNotice : nullptr;
            gDeviceNotices.clear();
            AURA::OutputFormat f = formatOf(src.h.system);
            AURA::Output *output = nullptr;
            testing::internal::CaptureStderr();
            const AURA_RESULT opened = AURA::openOutput(&src.h.system, type, f, nullptr, &output);
            const std::string said = testing::internal::GetCapturedStderr();
            ASSERT_EQ(opened, AURA_OK);
            ASSERT_NE(output, nullptr);
            EXPECT_STREQ(output->getName(), "nosoundoutput");
            EXPECT_TRUE(output->isRealTime());
            EXPECT_EQ(said, "");
            if (listening) {
                ASSERT_EQ(gDeviceNotices.size(), 1u);
                EXPECT_EQ(gDeviceNotices[0].rfind("snd_pcm_open(default): ", 0), 0u) << gDeviceNotices[0];
            } else {
                EXPECT_TRUE(gDeviceNotices.empty());
            }

            ASSERT_EQ(output->start(), AURA_OK);
            EXPECT_TRUE(waitFor([&] { return output->getFramesMixed() >= 4 * 256; }, std::chrono::seconds(5)))
                << "the fall-back does not mix";
            const unsigned int tid = mixerThreadId(static_cast<AURA::OutputNoSound *>(output)->getMixerThread());
            EXPECT_EQ(AURA::releaseOutput(output), AURA_OK);
            EXPECT_TRUE(threadGone(tid));
        }
    }
    src.h.system.mCallback = nullptr;
}

TEST(OutputALSAThreads, ADeviceThatNeverFillsIsPacedByTheClock)
{
    // ALSA's null device swallows any amount at once.
    AlsaConfig config("pcm.!default { type null }");
    ConstantSource src(0.25f, 480, AURA_SOUND_FORMAT_PCMFLOAT);
    AURA::OutputFormat f = formatOf(src.h.system);
    AURA::Output *output = nullptr;
    ASSERT_EQ(AURA::createOutput(AURA_OUTPUTTYPE_ALSA, &output), AURA_OK);
    auto *alsa = static_cast<AURA::OutputALSA *>(output);
    ASSERT_EQ(output->init(&src.h.system, f, nullptr), AURA_OK) << alsa->getErrorText();
    EXPECT_EQ(f.format, AURA_SOUND_FORMAT_PCMFLOAT);
    EXPECT_EQ(f.rate, 24000);
    EXPECT_EQ(f.channels, 2);
    EXPECT_GE(f.numblocks, 1);
    const double buffer = alsa->getBufferFrames();
    EXPECT_GE(buffer, 480.0);

    // Real time, plus at most the device buffer and a tenth of a second
    // ahead; never what a free-running loop would mix.
    RealTimeWatch watch{*output, f.rate, f.blocklength, alsa->getBufferFrames() + 24000u / 10u, Clock::now(), {}};
    ASSERT_EQ(output->start(), AURA_OK);
    watch.after = Clock::now();
    // The thread names itself once it runs.
    EXPECT_TRUE(waitFor([] { return mixerThreadCount() == 1; }, std::chrono::seconds(2)));
    const RealTimeSeen seen = watchRealTime(watch, std::chrono::seconds(1));
    EXPECT_EQ(output->update(), AURA_OK);
    EXPECT_EQ(AURA::releaseOutput(output), AURA_OK);
    EXPECT_TRUE(waitFor([] { return mixerThreadCount() == 0; }, std::chrono::seconds(2)));

    EXPECT_LE(seen.ahead, 0.0) << "mixed ahead of real time and its lead";
    EXPECT_TRUE(seen.caughtUp) << "fell " << seen.behind << " frames behind real time (" << seen.stalls << " stalls)";
}

} // namespace
