// Compressed samples: aura-play rendering a 5-minute stereo IMA ADPCM WAV
// kept compressed (decoded by the pooled units as it plays) into a WAV,
// against sox decoding the same file into a WAV, in the same run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#ifdef AURA_PLAY_PATH
namespace {

class ImaInput {
public:
    static ImaInput &get()
    {
        static ImaInput input;
        return input;
    }
    [[nodiscard]] bool ok() const { return mOk; }
    [[nodiscard]] const std::string &path() const { return mPath; }

private:
    ImaInput()
    {
        mDir = std::filesystem::temp_directory_path() / ("aura-bench-ima-" + std::to_string(::getpid()));
        std::filesystem::create_directories(mDir);
        mPath = (mDir / "long.wav").string();
        const std::string command = "sox -D -n -r 44100 -c 2 -e ima-adpcm " + mPath +
                                    " synth 300 sine 200-3000 sine 440 pinknoise vol 0.4 2>/dev/null";
        mOk = std::system(command.c_str()) == 0;
    }
    ~ImaInput() { std::filesystem::remove_all(mDir); }

    std::filesystem::path mDir;
    std::string mPath;
    bool mOk = false;
};

double gAuraPlaySeconds = 0;
double gSoxSeconds = 0;

void reportRatio()
{
    if (gAuraPlaySeconds > 0 && gSoxSeconds > 0) {
        std::fprintf(stderr, "300 s stereo IMA ADPCM to a WAV: aura-play --compressed %.4f s, sox %.4f s; ratio %.4f\n",
                     gAuraPlaySeconds, gSoxSeconds, gAuraPlaySeconds / gSoxSeconds);
    }
}

void runCommand(benchmark::State &state, const std::string &command, double *mean)
{
    if (!ImaInput::get().ok()) {
        state.SkipWithError("no input file (sox)");
        return;
    }
    double total = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const int status = std::system(command.c_str());
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (status != 0) {
            state.SkipWithError("the command failed");
            break;
        }
        state.SetIterationTime(seconds);
        total += seconds;
    }
    if (state.iterations() > 0) {
        *mean = total / static_cast<double>(state.iterations());
    }
    reportRatio();
}

void BM_AuraPlayCompressedToWav(benchmark::State &state)
{
    const std::string &in = ImaInput::get().path();
    runCommand(state, std::string(AURA_PLAY_PATH) + " -q --compressed -o " + in + ".aura.wav " + in, &gAuraPlaySeconds);
}

void BM_SoxImaToWav(benchmark::State &state)
{
    const std::string &in = ImaInput::get().path();
    runCommand(state, "sox -D " + in + " -e signed-integer -b 16 " + in + ".sox.wav", &gSoxSeconds);
}

} // namespace

BENCHMARK(BM_AuraPlayCompressedToWav)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SoxImaToWav)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
#endif
