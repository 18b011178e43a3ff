// The user's road for FLAC: aura-play streaming a five-minute 16-bit stereo
// file into a WAV, against flac decoding the same file to a WAV, run in turn
// in the same place. The ratio of their mean wall times is printed at exit.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#ifdef AURA_PLAY_PATH
namespace {

class FlacInput {
public:
    static FlacInput &get()
    {
        static FlacInput input;
        return input;
    }
    [[nodiscard]] bool ok() const { return !mFlac.empty(); }
    [[nodiscard]] const std::string &path() const { return mFlac; }

    double engineSeconds = 0;
    double flacSeconds = 0;

    FlacInput(const FlacInput &) = delete;
    FlacInput &operator=(const FlacInput &) = delete;

private:
    FlacInput()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "aura-bench-flac-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            return;
        }
        mDir = pattern;
        const std::string wav = mDir + "/music.wav";
        const std::string flac = mDir + "/music.flac";
        // A chord over quiet noise, as in music: FLAC's predictors work for it.
        const std::string make = "sox -n -r 44100 -b 16 -c 2 " + wav +
                                 " synth 300 sine 220 sine 330 pinknoise vol 0.4 remix 1,3 2,3 >/dev/null 2>&1 && "
                                 "flac -s -f -o " +
                                 flac + " " + wav;
        if (std::system(make.c_str()) == 0) {
            mFlac = flac;
        }
        std::filesystem::remove(wav);
    }
    ~FlacInput()
    {
        if (mDir.empty()) {
            return;
        }
        if (engineSeconds > 0 && flacSeconds > 0) {
            std::fprintf(stderr, "300 s FLAC to a WAV: aura-play --stream %.4f s, flac -d %.4f s; ratio %.4f\n",
                         engineSeconds, flacSeconds, engineSeconds / flacSeconds);
        }
        std::error_code ignored;
        std::filesystem::remove_all(mDir, ignored);
    }

    std::string mDir;
    std::string mFlac;
};

// Times `command` per iteration; the mean goes to *mean.
void timeCommand(benchmark::State &state, const std::string &command, double *mean)
{
    if (!FlacInput::get().ok()) {
        state.SkipWithError("no input file");
        return;
    }
    double total = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("the command failed");
            return;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        total += seconds;
    }
    if (state.iterations() > 0) {
        *mean = total / static_cast<double>(state.iterations());
    }
}

void BM_AuraPlayStreamFlacToWav(benchmark::State &state)
{
    FlacInput &input = FlacInput::get();
    timeCommand(state, std::string(AURA_PLAY_PATH) + " -q --stream -o " + input.path() + ".aura.wav " + input.path(),
                &input.engineSeconds);
}

void BM_FlacDecodeToWav(benchmark::State &state)
{
    FlacInput &input = FlacInput::get();
    timeCommand(state, "flac -s -f -d -o " + input.path() + ".flac.wav " + input.path(), &input.flacSeconds);
}

} // namespace

BENCHMARK(BM_AuraPlayStreamFlacToWav)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FlacDecodeToWav)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
#endif
