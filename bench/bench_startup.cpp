// Fixed costs against the programs a user would otherwise run, each pair
// taking turns in every iteration (so a busy machine slows both alike) and
// compared by the medians of the children's CPU time (user + system, from
// the kernel's accounting of each child):
// - aura-play rendering a 0.1 s Ogg Vorbis file to WAV against oggdec, and
//   a 0.1 s WAV file against sox: start-up, codec registration, output
//   open, one probe and one open of the file;
// - a five-minute WAV read whole into a sample (in this process, the
//   system's time of the calling thread) against sox reading the same file
//   to nothing;
// and in this process the engine's start-up alone: a system made, its WAV
// writer opened, initialised and released.
#include <aura.hpp>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char **environ;

namespace {

// The inputs, made once per run; removed at exit.
class StartupInputs {
public:
    static StartupInputs &get()
    {
        static StartupInputs inputs;
        return inputs;
    }
    [[nodiscard]] bool ok() const { return mOk; }
    [[nodiscard]] std::string path(const char *name) const { return mDir + "/" + name; }

    StartupInputs(const StartupInputs &) = delete;
    StartupInputs &operator=(const StartupInputs &) = delete;

private:
    StartupInputs()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "aura-bench-start-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            return;
        }
        mDir = pattern;
        const std::string make = "sox -n -r 44100 -b 16 -c 2 " + path("short.wav") +
                                 " synth 0.1 sine 220 sine 330 >/dev/null 2>&1 && oggenc -Q -o " + path("short.ogg") +
                                 " " + path("short.wav") + " && sox -n -r 44100 -b 16 -c 2 " + path("music.wav") +
                                 " synth 300 sine 220 sine 330 pinknoise vol 0.4 remix 1,3 2,3 >/dev/null 2>&1";
        mOk = std::system(make.c_str()) == 0;
    }
    ~StartupInputs()
    {
        if (!mDir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(mDir, ignored);
        }
    }

    std::string mDir;
    bool mOk = false;
};

struct ChildTimes {
    double user = 0; // seconds
    double system = 0;
};

// Runs the command (no shell) to its end; false when it fails.
bool runChild(const std::vector<std::string> &command, ChildTimes *times)
{
    std::vector<char *> argv;
    for (const std::string &arg : command) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return false;
    }
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return false;
    }
    times->user = static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) * 1e-6;
    times->system = static_cast<double>(usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_stime.tv_usec) * 1e-6;
    return true;
}

double median(std::vector<double> values)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Ours and the peer in turn each iteration; the iteration's time is ours.
// Counters: the medians in milliseconds (CPU, and system time alone) and
// the ratio of the CPU medians.
void runPair(benchmark::State &state, const std::vector<std::string> &ours, const std::vector<std::string> &peer)
{
    if (!StartupInputs::get().ok()) {
        state.SkipWithError("cannot make the inputs (sox, oggenc)");
        return;
    }
    std::vector<double> oursCpu, oursSys, peerCpu, peerSys;
    for (auto _ : state) {
        ChildTimes a, b;
        if (!runChild(ours, &a) || !runChild(peer, &b)) {
            state.SkipWithError("a command failed");
            return;
        }
        state.SetIterationTime(a.user + a.system);
        oursCpu.push_back(a.user + a.system);
        oursSys.push_back(a.system);
        peerCpu.push_back(b.user + b.system);
        peerSys.push_back(b.system);
    }
    state.counters["ours_ms"] = median(oursCpu) * 1e3;
    state.counters["peer_ms"] = median(peerCpu) * 1e3;
    state.counters["ours_sys_ms"] = median(oursSys) * 1e3;
    state.counters["peer_sys_ms"] = median(peerSys) * 1e3;
    state.counters["ratio"] = median(peerCpu) > 0 ? median(oursCpu) / median(peerCpu) : 0;
}

#ifdef AURA_PLAY_PATH
void BM_StartupShortOggAgainstOggdec(benchmark::State &state)
{
    const StartupInputs &in = StartupInputs::get();
    runPair(state, {AURA_PLAY_PATH, "-q", "-o", in.path("aura.wav"), in.path("short.ogg")},
            {"oggdec", "-Q", "-o", in.path("oggdec.wav"), in.path("short.ogg")});
}

void BM_StartupShortWavAgainstSox(benchmark::State &state)
{
    const StartupInputs &in = StartupInputs::get();
    runPair(state, {AURA_PLAY_PATH, "-q", "-o", in.path("aura.wav"), in.path("short.wav")},
            {"sox", in.path("short.wav"), in.path("sox.wav")});
}

BENCHMARK(BM_StartupShortOggAgainstOggdec)->UseManualTime()->Iterations(15)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StartupShortWavAgainstSox)->UseManualTime()->Iterations(15)->Unit(benchmark::kMillisecond);
#endif

double threadSeconds(bool system)
{
    struct rusage usage {};
    getrusage(RUSAGE_THREAD, &usage);
    const timeval &t = system ? usage.ru_stime : usage.ru_utime;
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

// A system that opens sounds and mixes nothing.
AURA::System *openSystem()
{
    AURA::System *system = nullptr;
    if (AURA::System_Create(&system) != AURA_OK || system->setOutput(AURA_OUTPUTTYPE_NOSOUND_NRT) != AURA_OK ||
        system->init(8, AURA_INIT_NORMAL, nullptr) != AURA_OK) {
        if (system) {
            (void)system->release();
        }
        return nullptr;
    }
    return system;
}

// The five-minute WAV read whole into a sample and released, in turn with
// sox reading it to nothing; the iteration's time is the sample's CPU.
void BM_WavSampleReadAgainstSox(benchmark::State &state)
{
    const StartupInputs &in = StartupInputs::get();
    AURA::System *system = in.ok() ? openSystem() : nullptr;
    if (!system) {
        state.SkipWithError("cannot make the input or the system");
        return;
    }
    const std::string wav = in.path("music.wav");
    std::vector<double> oursCpu, oursSys, peerCpu, peerSys;
    for (auto _ : state) {
        const double user = threadSeconds(false);
        const double sys = threadSeconds(true);
        AURA::Sound *sound = nullptr;
        if (system->createSound(wav.c_str(), AURA_CREATESAMPLE, nullptr, &sound) != AURA_OK) {
            state.SkipWithError("the sample did not load");
            break;
        }
        (void)sound->release();
        const double oursS = threadSeconds(true) - sys;
        const double oursU = threadSeconds(false) - user;
        ChildTimes sox;
        if (!runChild({"sox", wav, "-n"}, &sox)) {
            state.SkipWithError("sox failed");
            break;
        }
        state.SetIterationTime(oursU + oursS);
        oursCpu.push_back(oursU + oursS);
        oursSys.push_back(oursS);
        peerCpu.push_back(sox.user + sox.system);
        peerSys.push_back(sox.system);
    }
    (void)system->release();
    state.counters["ours_ms"] = median(oursCpu) * 1e3;
    state.counters["sox_ms"] = median(peerCpu) * 1e3;
    state.counters["ours_sys_ms"] = median(oursSys) * 1e3;
    state.counters["sox_sys_ms"] = median(peerSys) * 1e3;
    state.counters["sys_ratio"] = median(peerSys) > 0 ? median(oursSys) / median(peerSys) : 0;
}
BENCHMARK(BM_WavSampleReadAgainstSox)->UseManualTime()->Iterations(9)->Unit(benchmark::kMillisecond);

// The engine's own start-up: a system made with the WAV writer as its
// output, initialised (codecs and units registered, the output opened) and
// released.
void BM_EngineStartupWavWriter(benchmark::State &state)
{
    const StartupInputs &in = StartupInputs::get();
    std::string out = in.path("engine.wav");
    for (auto _ : state) {
        AURA::System *system = nullptr;
        if (AURA::System_Create(&system) != AURA_OK || system->setOutput(AURA_OUTPUTTYPE_WAVWRITER_NRT) != AURA_OK ||
            system->init(8, AURA_INIT_NORMAL, out.data()) != AURA_OK) {
            state.SkipWithError("the system did not start");
            if (system) {
                (void)system->release();
            }
            break;
        }
        (void)system->release();
    }
}
BENCHMARK(BM_EngineStartupWavWriter)->Unit(benchmark::kMicrosecond);

} // namespace
