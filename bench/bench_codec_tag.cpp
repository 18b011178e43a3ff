// What the ID3 probe costs sound creation: a one-second 44.1 kHz stereo WAV,
// untagged and with an ID3v1 tag behind (a tag in front would hide the WAV
// header from a creation that ignores tags), opened as a sample 1,000 times
// per round, with and without the ignore-tags mode bit. The fastest round
// of each counts; the probe's cost closes the run.
#include "aura.h"
#include "aura.hpp"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

constexpr int kSoundsPerRound = 1000;

class TagInput {
public:
    static TagInput &get()
    {
        static TagInput input;
        return input;
    }
    [[nodiscard]] bool ok() const { return mOk; }
    [[nodiscard]] const std::string &path(bool tagged) const { return tagged ? mTagged : mPlain; }

    // Seconds of the fastest round: [tagged][ignore-tags].
    double seconds[2][2] = {};

    TagInput(const TagInput &) = delete;
    TagInput &operator=(const TagInput &) = delete;

private:
    TagInput()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "aura-bench-tag-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            return;
        }
        mDir = pattern;
        mPlain = mDir + "/plain.wav";
        mTagged = mDir + "/tagged.wav";
        const std::string make = "sox -n -r 44100 -b 16 -c 2 " + mPlain + " synth 1 sine 440 >/dev/null 2>&1 && cp " +
                                 mPlain + " " + mTagged + " && id3v2 -1 -t Title -a Artist -A Album -y 2020 -g 17 " +
                                 mTagged + " >/dev/null 2>&1";
        mOk = std::system(make.c_str()) == 0;
    }
    ~TagInput()
    {
        if (seconds[0][1] > 0) {
            const double base = seconds[0][1];
            std::fprintf(stderr,
                         "1000 sounds of 1 s: untagged %.4f s (probe) %.4f s (ignore-tags); tagged %.4f s (probe) "
                         "%.4f s (ignore-tags); probe cost on untagged files %+.2f %%, on tagged files %+.2f %%\n",
                         seconds[0][0], seconds[0][1], seconds[1][0], seconds[1][1],
                         (seconds[0][0] / base - 1.0) * 100.0, (seconds[1][0] / seconds[1][1] - 1.0) * 100.0);
        }
        if (!mDir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(mDir, ignored);
        }
    }

    bool mOk = false;
    std::string mDir;
    std::string mPlain;
    std::string mTagged;
};

// One round: 1,000 sounds of one file in one mode; false when one fails.
bool round(AURA::System *system, const std::string &path, AURA_MODE mode, double *seconds)
{
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kSoundsPerRound; ++i) {
        AURA::Sound *sound = nullptr;
        if (system->createSound(path.c_str(), mode, nullptr, &sound) != AURA_OK) {
            return false;
        }
        (void)sound->release();
    }
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return true;
}

// Each iteration runs a round of every file and mode, in a rotating order,
// so that a change in the machine's load falls on all of them alike.
void BM_CreateTaggedSounds(benchmark::State &state)
{
    TagInput &input = TagInput::get();
    AURA::System *system = nullptr;
    if (!input.ok() || AURA::System_Create(&system) != AURA_OK ||
        system->setOutput(AURA_OUTPUTTYPE_NOSOUND_NRT) != AURA_OK ||
        system->init(8, AURA_INIT_NORMAL, nullptr) != AURA_OK) {
        state.SkipWithError("the files or the system could not be made");
        if (system) {
            (void)system->release();
        }
        return;
    }
    int turn = 0;
    for (auto _ : state) {
        for (int k = 0; k < 4; ++k) {
            const int which = (turn + k) % 4;
            const bool tagged = (which & 1) != 0;
            const bool ignore = (which & 2) != 0;
            double seconds = 0;
            if (!round(system, input.path(tagged), ignore ? AURA_IGNORETAGS : AURA_DEFAULT, &seconds)) {
                state.SkipWithError("a sound did not open");
                break;
            }
            double &fastest = input.seconds[tagged ? 1 : 0][ignore ? 1 : 0];
            fastest = fastest > 0 ? std::min(fastest, seconds) : seconds;
        }
        ++turn;
    }
    (void)system->release();
}
BENCHMARK(BM_CreateTaggedSounds)->Unit(benchmark::kMillisecond)->Iterations(40);

} // namespace
