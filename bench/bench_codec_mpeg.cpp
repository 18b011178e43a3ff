// The MPEG codec's decode speed against mpg123's on the same files, in the
// same run: five minutes of lame at 128 kbit/s joint stereo, of lame -V 2,
// of twolame at 192 kbit/s, and the game's "frontiers.mp3". Ours decodes
// through the engine (disk file, codec, the framework's read); mpg123 runs
// as `mpg123 -q -t FILE` (its default decoder) and with `--cpu generic`.
// Both are measured in CPU seconds; the counters give mpg123's times and
// the ratios (mpg123 / ours: above 1 means we are faster), each the
// fastest of five interleaved rounds.
#include "mpeg/aura_codec_mpeg.h"
#include "base/aura_memory.h"
#include "file/aura_file_disk.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

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
        mPaths.assign(4, std::string());
        std::string pattern = (std::filesystem::temp_directory_path() / "aura-bench-mpeg-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            return;
        }
        mDir = pattern;
        const std::string wav = mDir + "/music.wav";
        // A chord over quiet noise: tonal and broadband content, as in music.
        const std::string source = "sox -n -r 44100 -b 16 -c 2 " + wav +
                                   " synth 300 sine 220 sine 330 pinknoise vol 0.4 remix 1,3 2,3 >/dev/null 2>&1";
        if (std::system(source.c_str()) != 0) {
            return;
        }
        const std::string commands[3] = {
            "lame --quiet -b 128 -m j " + wav + " " + mDir + "/cbr128.mp3",
            "lame --quiet -V 2 " + wav + " " + mDir + "/v2.mp3",
            "twolame --quiet -b 192 " + wav + " " + mDir + "/tl192.mp2",
        };
        const char *names[3] = {"/cbr128.mp3", "/v2.mp3", "/tl192.mp2"};
        for (int i = 0; i < 3; ++i) {
            if (std::system(commands[i].c_str()) == 0) {
                mPaths[i] = mDir + names[i];
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

void BM_MpegDecode(benchmark::State &state)
{
    const int which = static_cast<int>(state.range(0));
    const std::string path = MpegInputs::get().path(which);
    if (path.empty()) {
        state.SkipWithError("the input could not be made (sox, lame, twolame or asc-music missing)");
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

} // namespace

// 0: lame 128 kbit/s joint, 1: lame -V 2, 2: twolame 192 kbit/s, 3: frontiers.mp3.
BENCHMARK(BM_MpegDecode)->DenseRange(0, 3)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
