// How long a MIDI song takes to open: the file read, the length scan, and
// the bank's parse and the loading of the waves the song plays. Every song
// of openttd-openmsx is opened on a bank converted from FluidR3_GM, each
// time on a fresh system so that no wave comes from an earlier open; the
// slowest round of each song closes the run.
#include "aura.h"
#include "aura.hpp"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kSongs = "/usr/share/games/openttd/baseset/openmsx";
const fs::path kSoundFont = "/usr/share/sounds/sf2/FluidR3_GM.sf2";

class MidiBank {
public:
    static MidiBank &get()
    {
        static MidiBank bank;
        return bank;
    }
    [[nodiscard]] bool ok() const { return mOk; }
    [[nodiscard]] const std::string &path() const { return mBank; }

    // Milliseconds of each song's slowest open.
    std::map<std::string, double> slowest;

    MidiBank(const MidiBank &) = delete;
    MidiBank &operator=(const MidiBank &) = delete;

private:
    MidiBank()
    {
        std::string pattern = (fs::temp_directory_path() / "aura-bench-midi-XXXXXX").string();
        if (!fs::exists(kSongs) || !fs::exists(kSoundFont) || !mkdtemp(pattern.data())) {
            return;
        }
        mDir = pattern;
        mBank = mDir + "/bank.dls";
        const fs::path converter = fs::path(AURA_SOURCE_DIR) / "tools/sf2-to-dls";
        const std::string make = "/usr/bin/python3 '" + converter.string() + "' '" + kSoundFont.string() + "' '" +
                                 mBank + "' '" + kSongs.string() + "'/*.mid >/dev/null 2>&1";
        mOk = std::system(make.c_str()) == 0;
    }
    ~MidiBank()
    {
        if (!slowest.empty()) {
            const auto worst = std::max_element(slowest.begin(), slowest.end(),
                                                [](const auto &a, const auto &b) { return a.second < b.second; });
            double total = 0;
            for (const auto &[name, ms] : slowest) {
                std::fprintf(stderr, "open %-32s %7.2f ms\n", name.c_str(), ms);
                total += ms;
            }
            std::fprintf(stderr, "%zu songs: slowest open %.2f ms (%s), mean %.2f ms\n", slowest.size(),
                         worst->second, worst->first.c_str(), total / static_cast<double>(slowest.size()));
        }
        if (!mDir.empty()) {
            std::error_code ignored;
            fs::remove_all(mDir, ignored);
        }
    }

    bool mOk = false;
    std::string mDir;
    std::string mBank;
};

void BM_MidiOpen(benchmark::State &state, const fs::path &song)
{
    MidiBank &bank = MidiBank::get();
    if (!bank.ok()) {
        state.SkipWithError("openttd-openmsx or fluid-soundfont-gm is missing, or the bank was not made");
        return;
    }
    const std::string name = song.stem().string();
    for (auto _ : state) {
        AURA::System *system = nullptr;
        if (AURA::System_Create(&system) != AURA_OK || system->setOutput(AURA_OUTPUTTYPE_NOSOUND_NRT) != AURA_OK ||
            system->init(32, AURA_INIT_NORMAL, nullptr) != AURA_OK) {
            state.SkipWithError("the system could not be made");
            if (system) {
                (void)system->release();
            }
            return;
        }
        AURA_CREATESOUNDEXINFO exinfo{};
        exinfo.cbsize = sizeof(exinfo);
        exinfo.dlsname = bank.path().c_str();
        AURA::Sound *sound = nullptr;
        const auto start = std::chrono::steady_clock::now();
        const AURA_RESULT opened = system->createSound(song.c_str(), AURA_DEFAULT, &exinfo, &sound);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (sound) {
            (void)sound->release();
        }
        (void)system->release();
        if (opened != AURA_OK) {
            state.SkipWithError("a song did not open");
            return;
        }
        state.SetIterationTime(seconds);
        double &worst = bank.slowest[name];
        worst = std::max(worst, seconds * 1000.0);
    }
}

// One benchmark per song, registered before the benchmark library's main.
const bool kRegistered = [] {
    std::vector<fs::path> songs;
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator(kSongs, ignored)) {
        if (entry.path().extension() == ".mid") {
            songs.push_back(entry.path());
        }
    }
    std::sort(songs.begin(), songs.end());
    for (const auto &song : songs) {
        benchmark::RegisterBenchmark(("BM_MidiOpen/" + song.stem().string()).c_str(), BM_MidiOpen, song)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(5);
    }
    return true;
}();

} // namespace
