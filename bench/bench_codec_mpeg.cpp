// The MPEG codec's decode speed against mpg123's on the same files, in the
// same run: five minutes of music (made here with sox) encoded by lame at
// 128 kbit/s joint stereo, lame -V 2, twolame at 192 kbit/s and lame at
// 320 kbit/s, and the game's "frontiers.mp3". Ours decodes
// through the engine (disk file, codec, the framework's read); mpg123 runs
// as `mpg123 -q -t FILE` (its default decoder) and with `--cpu generic`.
// Both are measured in CPU seconds; the counters give mpg123's times and
// the ratios (mpg123 / ours: above 1 means we are faster), each the
// fastest of five interleaved rounds.
//
// BM_MpegPlay measures the whole road a user runs on the same inputs:
// `aura-play -q --stream -o` and `aura-play -q -o` (the file read whole
// into a sample first) rendering a WAV file, against `mpg123 -q -w` writing
// one, all pinned to one core (AURA_BENCH_CORE, default the last one this
// process may use). The three take turns in every round, so a busy machine
// slows them alike; the medians of the rounds' CPU seconds (user + system
// of each child) are compared: the counters stream_x and sample_x are ours
// over mpg123's (below 1 means we are cheaper). AURA_BENCH_ROUNDS sets the
// rounds (default 7, at least 7). The two renders must be the same bytes.
#include "mpeg/aura_codec_mpeg.h"
#include "base/aura_memory.h"
#include "file/aura_file_disk.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char **environ;

namespace {
constexpr const char AURA_ALLOC_TAG[] = "bench/bench_codec_mpeg";

constexpr unsigned int READ_SIZE = 16 * 1024;

double seconds(const timeval &t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// CPU seconds of the children that ran `command`.
double childCpuSeconds(const std::string &command)
{
    rusage before{};
    getrusage(RUSAGE_CHILDREN, &before);
    if (std::system(command.c_str()) != 0) {
        return -1.0;
    }
    rusage after{};
    getrusage(RUSAGE_CHILDREN, &after);
    return seconds(after.ru_utime) + seconds(after.ru_stime) - seconds(before.ru_utime) - seconds(before.ru_stime);
}

double selfCpuSeconds()
{
    rusage now{};
    getrusage(RUSAGE_SELF, &now);
    return seconds(now.ru_utime) + seconds(now.ru_stime);
}

// The input files, made once per run and removed at exit.
class MpegInputs {
public:
    static MpegInputs &get()
    {
        static MpegInputs inputs;
        return inputs;
    }
    // Path of input `i`, or empty when it could not be made.
    [[nodiscard]] std::string path(int i)
    {
        make();
        return mPaths[i];
    }

    // The directory the inputs are made in (scratch files may go there).
    [[nodiscard]] const std::string &dir()
    {
        make();
        return mDir;
    }

    MpegInputs(const MpegInputs &) = delete;
    MpegInputs &operator=(const MpegInputs &) = delete;

private:
    MpegInputs() = default;
    ~MpegInputs()
    {
        if (!mDir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(mDir, ignored);
        }
    }
    void make()
    {
        if (mMade) {
            return;
        }
        mMade = true;
        mPaths.assign(5, std::string());
        std::string pattern = (std::filesystem::temp_directory_path() / "aura-bench-mpeg-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            return;
        }
        mDir = pattern;
        const std::string wav = mDir + "/music.wav";
        // Music of a kind: a progression of four plucked chords over a bass
        // and quiet noise, each with its attack, decay and tremolo, the
        // channels mixed differently; its eight seconds repeated to 296.
        const char *chords[4][4] = {{"261.6", "329.6", "392.0", "130.8"},
                                    {"220.0", "261.6", "329.6", "110.0"},
                                    {"174.6", "220.0", "261.6", "87.3"},
                                    {"196.0", "246.9", "293.7", "98.0"}};
        std::string bar = "sox";
        for (int i = 0; i < 4; ++i) {
            const char *const *notes = chords[i];
            const std::string part = mDir + "/chord" + std::to_string(i) + ".wav";
            const std::string command = "sox -n -r 44100 -b 16 -c 2 " + part + " synth 2 pluck " + notes[0] +
                                        " pluck " + notes[1] + " pluck " + notes[2] + " sine " + notes[3] +
                                        " pinknoise remix 1,2,3,4,5v0.2 1v0.6,2,3v1.2,4,5v0.2"
                                        " fade q 0.02 2 0.3 tremolo 5 30 gain -n -3 >/dev/null 2>&1";
            if (std::system(command.c_str()) != 0) {
                return;
            }
            bar += " " + part;
        }
        bar += " " + mDir + "/bar.wav >/dev/null 2>&1";
        const std::string repeat = "sox " + mDir + "/bar.wav " + wav + " repeat 36 >/dev/null 2>&1";
        if (std::system(bar.c_str()) != 0 || std::system(repeat.c_str()) != 0) {
            return;
        }
        const std::string commands[4] = {
            "lame --quiet -b 128 -m j " + wav + " " + mDir + "/cbr128.mp3",
            "lame --quiet -V 2 " + wav + " " + mDir + "/v2.mp3",
            "twolame --quiet -b 192 " + wav + " " + mDir + "/tl192.mp2",
            "lame --quiet -b 320 " + wav + " " + mDir + "/cbr320.mp3",
        };
        const char *names[4] = {"/cbr128.mp3", "/v2.mp3", "/tl192.mp2", "/cbr320.mp3"};
        const int slots[4] = {0, 1, 2, 4};
        for (int i = 0; i < 4; ++i) {
            if (std::system(commands[i].c_str()) == 0) {
                mPaths[slots[i]] = mDir + names[i];
            }
        }
        std::filesystem::remove(wav);
        const char *frontiers = "/usr/share/games/asc/music/frontiers.mp3";
        if (std::filesystem::exists(frontiers)) {
            mPaths[3] = frontiers;
        }
    }

    bool mMade = false;
    std::string mDir;
    std::vector<std::string> mPaths;
};

// Decodes the whole file once through the engine; false on failure.
bool decodeOnce(const std::string &path, uint64_t *bytes)
{
    AURA::Codec *codec = nullptr;
    if (AURA::Codec::create(*AURA::CodecMPEG::getDescriptionEx(), nullptr, &codec) != AURA_OK) {
        return false;
    }
    auto *file = AURA_New(AURA::DiskFile);
    codec->mFile = file;
    if (file->init(nullptr, 0, 0) != AURA_OK || file->open(path.c_str(), 0, false, nullptr) != AURA_OK ||
        codec->open(AURA_DEFAULT, nullptr) != AURA_OK) {
        (void)codec->release();
        return false;
    }
    std::vector<char> buffer(READ_SIZE);
    unsigned int got = 0;
    while (codec->read(buffer.data(), READ_SIZE, &got) == AURA_OK) {
        *bytes += got;
        benchmark::DoNotOptimize(buffer.data());
    }
    (void)codec->release();
    return true;
}

// The input the benchmark's argument names; empty, with the benchmark
// skipped, when it could not be made.
std::string inputOf(benchmark::State &state)
{
    const std::string path = MpegInputs::get().path(static_cast<int>(state.range(0)));
    if (path.empty()) {
        state.SkipWithError("the input could not be made (sox, lame, twolame or asc-music missing)");
    }
    return path;
}

void BM_MpegDecode(benchmark::State &state)
{
    const std::string path = inputOf(state);
    if (path.empty()) {
        return;
    }
    // Rounds of the three decoders interleaved, the fastest of each
    // counted: other work on the machine slows single runs unevenly.
    double reference = 1e30;
    double generic = 1e30;
    double ours = 1e30;
    uint64_t bytes = 0;
    for (auto _ : state) {
        reference = std::min(reference, childCpuSeconds("mpg123 -q -t " + path + " >/dev/null 2>&1"));
        generic = std::min(generic, childCpuSeconds("mpg123 --cpu generic -q -t " + path + " >/dev/null 2>&1"));
        const double start = selfCpuSeconds();
        bytes = 0;
        if (!decodeOnce(path, &bytes)) {
            state.SkipWithError("open failed");
            return;
        }
        const double used = selfCpuSeconds() - start;
        state.SetIterationTime(used);
        ours = std::min(ours, used);
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["mpg123_s"] = reference;
    state.counters["mpg123_generic_s"] = generic;
    state.counters["ratio"] = ours > 0 ? reference / ours : 0;
    state.counters["ratio_generic"] = ours > 0 ? generic / ours : 0;
    std::fprintf(
        stderr, "MPEG decode %s: ours %.4f s CPU, mpg123 %.4f s (ratio %.3f), --cpu generic %.4f s (ratio %.3f)\n",
        path.c_str(), ours, reference, ours > 0 ? reference / ours : 0.0, generic, ours > 0 ? generic / ours : 0.0);
}

#ifdef AURA_PLAY_PATH
// The core the road's commands are pinned to.
std::string benchCore()
{
    if (const char *core = std::getenv("AURA_BENCH_CORE")) {
        return core;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    int last = 0;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &set)) {
                last = cpu;
            }
        }
    }
    return std::to_string(last);
}

// CPU seconds (user + system) of one command run pinned to `core`; -1 when
// it could not run or failed.
double pinnedCpuSeconds(const std::string &core, std::vector<std::string> command)
{
    command.insert(command.begin(), {"taskset", "-c", core});
    std::vector<char *> argv;
    for (std::string &word : command) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return -1.0;
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return -1.0;
    }
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string fileBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void BM_MpegPlay(benchmark::State &state)
{
    const std::string path = inputOf(state);
    if (path.empty()) {
        return;
    }
    const std::string core = benchCore();
    const char *roundsText = std::getenv("AURA_BENCH_ROUNDS");
    const int rounds = std::max(7, roundsText ? std::atoi(roundsText) : 7);
    const std::string &dir = MpegInputs::get().dir();
    const std::string mpg123Out = dir + "/mpg123.wav";
    const std::string streamOut = dir + "/stream.wav";
    const std::string sampleOut = dir + "/sample.wav";
    std::vector<double> reference;
    std::vector<double> stream;
    std::vector<double> sample;
    for (auto _ : state) {
        for (int round = 0; round < rounds; ++round) {
            reference.push_back(pinnedCpuSeconds(core, {"mpg123", "-q", "-w", mpg123Out, path}));
            stream.push_back(pinnedCpuSeconds(core, {AURA_PLAY_PATH, "-q", "--stream", "-o", streamOut, path}));
            sample.push_back(pinnedCpuSeconds(core, {AURA_PLAY_PATH, "-q", "-o", sampleOut, path}));
            if (reference.back() < 0 || stream.back() < 0 || sample.back() < 0) {
                state.SkipWithError("a command failed (mpg123 or aura-play)");
                return;
            }
        }
        state.SetIterationTime(median(stream));
    }
    const bool same = fileBytes(streamOut) == fileBytes(sampleOut);
    for (const std::string &out : {mpg123Out, streamOut, sampleOut}) {
        std::filesystem::remove(out);
    }
    if (!same) {
        state.SkipWithError("the stream and sample renders differ");
        return;
    }
    const double mpg123 = median(reference);
    const double streamSeconds = median(stream);
    const double sampleSeconds = median(sample);
    state.counters["mpg123_s"] = mpg123;
    state.counters["stream_s"] = streamSeconds;
    state.counters["sample_s"] = sampleSeconds;
    state.counters["stream_x"] = mpg123 > 0 ? streamSeconds / mpg123 : 0;
    state.counters["sample_x"] = mpg123 > 0 ? sampleSeconds / mpg123 : 0;
    std::fprintf(stderr,
                 "MPEG road %s (core %s, median of %d rounds, CPU s): mpg123 -w %.4f, aura-play --stream %.4f "
                 "(%.3fx), aura-play sample %.4f (%.3fx)\n",
                 path.c_str(), core.c_str(), rounds, mpg123, streamSeconds, mpg123 > 0 ? streamSeconds / mpg123 : 0.0,
                 sampleSeconds, mpg123 > 0 ? sampleSeconds / mpg123 : 0.0);
}
#endif

} // namespace

// 0: lame 128 kbit/s joint, 1: lame -V 2, 2: twolame 192 kbit/s, 3: frontiers.mp3, 4: lame 320 kbit/s.
BENCHMARK(BM_MpegDecode)->DenseRange(0, 3)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
#ifdef AURA_PLAY_PATH
BENCHMARK(BM_MpegPlay)->DenseRange(0, 4)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
#endif
