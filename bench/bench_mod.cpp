// The MODs of the game data packages rendered to files: aura-play against
// openmpt123 with linear interpolation, as CPU time (user + system) of the
// child processes, in the same run.
#ifdef AURA_PLAY_PATH
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The tagged MODs (area1-game2.mod is an XM under a MOD name).
std::vector<fs::path> songs()
{
    std::vector<fs::path> out;
    for (const char *dir : {"/usr/share/games/tecnoballz/musics", "/usr/share/games/circuslinux/data/music"}) {
        std::error_code error;
        for (const auto &entry : fs::directory_iterator(dir, error)) {
            if (entry.path().extension() == ".mod" && entry.path().filename() != "area1-game2.mod") {
                out.push_back(entry.path());
            }
        }
    }
    return out;
}

// Copies of the songs in a scratch folder: openmpt123 renders beside them.
const std::vector<fs::path> &copies()
{
    static const std::vector<fs::path> made = [] {
        std::vector<fs::path> out;
        const fs::path dir = fs::temp_directory_path() / "aura-bench-mod";
        fs::create_directories(dir);
        for (const fs::path &song : songs()) {
            const fs::path copy = dir / song.filename();
            fs::copy_file(song, copy, fs::copy_options::overwrite_existing);
            out.push_back(copy);
        }
        return out;
    }();
    return made;
}

double childSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double gAura = 0;
double gOpenmpt = 0;

void report()
{
    if (gAura > 0 && gOpenmpt > 0) {
        std::fprintf(stderr, "%zu MODs to files, CPU: aura-play %.3f s, openmpt123 %.3f s; ratio %.3f\n",
                     copies().size(), gAura, gOpenmpt, gAura / gOpenmpt);
    }
}

void renderAll(benchmark::State &state, bool ours, double *mean)
{
    if (copies().size() != 19 || std::system("command -v openmpt123 > /dev/null") != 0) {
        state.SkipWithError("needs openmpt123, tecnoballz-data and circuslinux-data");
        return;
    }
    double total = 0;
    for (auto _ : state) {
        const double before = childSeconds();
        for (const fs::path &song : copies()) {
            const std::string command =
                ours ? std::string(AURA_PLAY_PATH) + " -q -o " + song.string() +
                           ".aura.wav --rate 44100 --format float " + song.string()
                     : "openmpt123 -q --force --render --subsong 0 --samplerate 44100 --filter 2 " + song.string() +
                           " > /dev/null 2>&1";
            if (std::system(command.c_str()) != 0) {
                state.SkipWithError("a render failed");
                return;
            }
        }
        const double seconds = childSeconds() - before;
        state.SetIterationTime(seconds);
        total += seconds;
    }
    *mean = total / static_cast<double>(state.iterations());
    static const bool registered = std::atexit(report) == 0;
    (void)registered;
}

void BM_ModAuraPlayCpu(benchmark::State &state)
{
    renderAll(state, true, &gAura);
}

void BM_ModOpenmpt123Cpu(benchmark::State &state)
{
    renderAll(state, false, &gOpenmpt);
}

} // namespace

BENCHMARK(BM_ModAuraPlayCpu)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ModOpenmpt123Cpu)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
#endif
