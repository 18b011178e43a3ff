// Compressed samples: aura-play rendering a 5-minute stereo IMA ADPCM WAV
// kept compressed (decoded by the pooled units as it plays) into a WAV,
// against sox decoding the same file into a WAV, in the same run; and a
// 5-minute stereo MP3 kept compressed against mpg123 decoding it to a WAV.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#ifdef AURA_PLAY_PATH
namespace {

// An input file made once per run by a command line where {out} stands for it.
class Input {
public:
    static Input &ima()
    {
        static Input input("ima", "long.wav",
                           "sox -D -n -r 44100 -c 2 -e ima-adpcm {out} synth 300 sine 200-3000 sine 440 pinknoise "
                           "vol 0.4 2>/dev/null");
        return input;
    }
    static Input &mp3()
    {
        static Input input("mp3", "long.mp3",
                           "sox -D -n -r 44100 -c 2 -b 16 -t wav - synth 300 sine 200-3000 sine 440 pinknoise vol 0.4 "
                           "2>/dev/null | lame --quiet -b 192 - {out}");
        return input;
    }
    [[nodiscard]] bool ok() const { return mOk; }
    [[nodiscard]] const std::string &path() const { return mPath; }

private:
    Input(const std::string &kind, const std::string &name, std::string command)
    {
        mDir = std::filesystem::temp_directory_path() / ("aura-bench-" + kind + "-" + std::to_string(::getpid()));
        std::filesystem::create_directories(mDir);
        mPath = (mDir / name).string();
        command.replace(command.find("{out}"), 5, mPath);
        mOk = std::system(command.c_str()) == 0;
    }
    ~Input() { std::filesystem::remove_all(mDir); }

    std::filesystem::path mDir;
    std::string mPath;
    bool mOk = false;
};

double gAuraPlaySeconds = 0;
double gSoxSeconds = 0;
double gAuraPlayMp3Seconds = 0;
double gMpg123Seconds = 0;

void reportRatio()
{
    if (gAuraPlaySeconds > 0 && gSoxSeconds > 0) {
        std::fprintf(stderr, "300 s stereo IMA ADPCM to a WAV: aura-play --compressed %.4f s, sox %.4f s; ratio %.4f\n",
                     gAuraPlaySeconds, gSoxSeconds, gAuraPlaySeconds / gSoxSeconds);
    }
    if (gAuraPlayMp3Seconds > 0 && gMpg123Seconds > 0) {
        std::fprintf(stderr, "300 s stereo MP3 to a WAV: aura-play --compressed %.4f s, mpg123 %.4f s; ratio %.4f\n",
                     gAuraPlayMp3Seconds, gMpg123Seconds, gAuraPlayMp3Seconds / gMpg123Seconds);
    }
}

void runCommand(benchmark::State &state, const Input &input, const std::string &command, double *mean)
{
    if (!input.ok()) {
        state.SkipWithError("no input file (sox, lame)");
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
    const Input &input = Input::ima();
    const std::string &in = input.path();
    runCommand(state, input, std::string(AURA_PLAY_PATH) + " -q --compressed -o " + in + ".aura.wav " + in,
               &gAuraPlaySeconds);
}

void BM_SoxImaToWav(benchmark::State &state)
{
    const Input &input = Input::ima();
    const std::string &in = input.path();
    runCommand(state, input, "sox -D " + in + " -e signed-integer -b 16 " + in + ".sox.wav", &gSoxSeconds);
}

void BM_AuraPlayCompressedMp3ToWav(benchmark::State &state)
{
    const Input &input = Input::mp3();
    const std::string &in = input.path();
    runCommand(state, input, std::string(AURA_PLAY_PATH) + " -q --compressed -o " + in + ".aura.wav " + in,
               &gAuraPlayMp3Seconds);
}

void BM_Mpg123Mp3ToWav(benchmark::State &state)
{
    const Input &input = Input::mp3();
    const std::string &in = input.path();
    runCommand(state, input, "mpg123 -q -w " + in + ".mpg123.wav " + in, &gMpg123Seconds);
}

} // namespace

BENCHMARK(BM_AuraPlayCompressedToWav)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SoxImaToWav)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AuraPlayCompressedMp3ToWav)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Mpg123Mp3ToWav)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
#endif
