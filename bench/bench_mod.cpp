// The tracker songs of the game data packages rendered to files: aura-play
// against openmpt123 with linear interpolation, as CPU time (user + system)
// of the child processes, in the same run. Three sets: the 19 MODs, the
// S3M with the 13 XMs, and the 19 ITs.
#ifdef AURA_PLAY_PATH
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Set {
    const char *what;
    size_t count; // songs the set must find
    std::vector<std::pair<const char *, const char *>> places; // folder, extension
    double aura = 0;
    double openmpt = 0;
};

Set gMods{
    "MODs", 19, {{"/usr/share/games/tecnoballz/musics", ".mod"}, {"/usr/share/games/circuslinux/data/music", ".mod"}}};
Set gS3mXm{"S3M and XMs", 14, {{"/usr/share/games/pingus/data/music", ".s3m"}, {"/usr/share/games/heroes/mod", ".xm"}}};
Set gIts{"ITs", 19, {{"/usr/share/games/pingus/data/music", ".it"}}};

// The songs of a set (area1-game2.mod is an XM under a MOD name).
std::vector<fs::path> songs(const Set &set)
{
    std::vector<fs::path> out;
    for (const auto &[dir, extension] : set.places) {
        std::error_code error;
        for (const auto &entry : fs::directory_iterator(dir, error)) {
            if (entry.path().extension() == extension && entry.path().filename() != "area1-game2.mod") {
                out.push_back(entry.path());
            }
        }
    }
    return out;
}

// Copies of the songs in a scratch folder: openmpt123 renders beside them.
std::vector<fs::path> copies(const Set &set)
{
    std::vector<fs::path> out;
    const fs::path dir = fs::temp_directory_path() / "aura-bench-mod";
    fs::create_directories(dir);
    for (const fs::path &song : songs(set)) {
        const fs::path copy = dir / song.filename();
        fs::copy_file(song, copy, fs::copy_options::overwrite_existing);
        out.push_back(copy);
    }
    return out;
}

double childSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void report()
{
    for (const Set *set : {&gMods, &gS3mXm, &gIts}) {
        if (set->aura > 0 && set->openmpt > 0) {
            std::fprintf(stderr, "%zu %s to files, CPU: aura-play %.3f s, openmpt123 %.3f s; ratio %.3f\n", set->count,
                         set->what, set->aura, set->openmpt, set->aura / set->openmpt);
        }
    }
}

void renderAll(benchmark::State &state, bool ours, Set &set)
{
    const std::vector<fs::path> files = copies(set);
    if (files.size() != set.count || std::system("command -v openmpt123 > /dev/null") != 0) {
        state.SkipWithError("needs openmpt123 and the game data packages of tools/packages");
        return;
    }
    double total = 0;
    for (auto _ : state) {
        const double before = childSeconds();
        for (const fs::path &song : files) {
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
    (ours ? set.aura : set.openmpt) = total / static_cast<double>(state.iterations());
    static const bool registered = std::atexit(report) == 0;
    (void)registered;
}

void BM_ModAuraPlayCpu(benchmark::State &state)
{
    renderAll(state, true, gMods);
}

void BM_ModOpenmpt123Cpu(benchmark::State &state)
{
    renderAll(state, false, gMods);
}

void BM_S3mXmAuraPlayCpu(benchmark::State &state)
{
    renderAll(state, true, gS3mXm);
}

void BM_S3mXmOpenmpt123Cpu(benchmark::State &state)
{
    renderAll(state, false, gS3mXm);
}

void BM_ItAuraPlayCpu(benchmark::State &state)
{
    renderAll(state, true, gIts);
}

void BM_ItOpenmpt123Cpu(benchmark::State &state)
{
    renderAll(state, false, gIts);
}

} // namespace

BENCHMARK(BM_ModAuraPlayCpu)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ModOpenmpt123Cpu)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_S3mXmAuraPlayCpu)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_S3mXmOpenmpt123Cpu)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ItAuraPlayCpu)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ItOpenmpt123Cpu)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
#endif
