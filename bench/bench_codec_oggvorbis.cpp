// The Ogg Vorbis codec's cost over vorbisfile alone: one five-minute stereo
// 44.1 kHz file decoded whole through the engine (disk file, codec, the
// framework's read) and straight through ov_read. oggdec's wall time on the
// same file is measured once as a further reference.
#include "codec/aura_codec_oggvorbis.h"
#include "base/aura_memory.h"
#include "file/aura_file_disk.h"

#include <benchmark/benchmark.h>
#include <vorbis/vorbisfile.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {
constexpr const char AURA_ALLOC_TAG[] = "bench/bench_codec_oggvorbis";

constexpr unsigned int READ_SIZE = 16 * 1024;

// The test file, made once per run; removed at exit.
class OggInput {
public:
    static OggInput &get()
    {
        static OggInput input;
        return input;
    }
    [[nodiscard]] bool ok() const { return mOk; }
    [[nodiscard]] const std::string &path() const { return mOgg; }
    [[nodiscard]] double oggdecSeconds() const { return mOggdecSeconds; }

    // Mean seconds per decode of the two paths, for the closing ratio.
    double engineSeconds = 0;
    double vorbisfileSeconds = 0;

    OggInput(const OggInput &) = delete;
    OggInput &operator=(const OggInput &) = delete;

private:
    OggInput()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "aura-bench-ogg-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            return;
        }
        mDir = pattern;
        const std::string wav = mDir + "/music.wav";
        mOgg = mDir + "/music.ogg";
        // A chord over quiet noise: tonal and broadband content, as in music.
        std::string make = "sox -n -r 44100 -b 16 -c 2 ";
        make += wav;
        make += " synth 300 sine 220 sine 330 pinknoise vol 0.4 remix 1,3 2,3 >/dev/null 2>&1 && oggenc -Q -o ";
        make += mOgg;
        make += " ";
        make += wav;
        if (std::system(make.c_str()) != 0) {
            return;
        }
        std::filesystem::remove(wav);
        std::string dec = "oggdec -Q -R -o /dev/null ";
        dec += mOgg;
        const auto start = std::chrono::steady_clock::now();
        mOk = std::system(dec.c_str()) == 0;
        mOggdecSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    ~OggInput()
    {
        if (engineSeconds > 0 && vorbisfileSeconds > 0) {
            std::fprintf(stderr, "Ogg decode of 300 s: engine %.4f s, vorbisfile %.4f s, oggdec %.4f s; "
                                 "engine/vorbisfile %.4f\n",
                         engineSeconds, vorbisfileSeconds, mOggdecSeconds, engineSeconds / vorbisfileSeconds);
        }
        if (!mDir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(mDir, ignored);
        }
    }

    std::string mDir;
    std::string mOgg;
    bool mOk = false;
    double mOggdecSeconds = 0;
};

// The engine's Ogg codec opened on the input file; null (and the benchmark
// skipped) when it cannot be.
AURA::Codec *openEngineCodec(benchmark::State &state, OggInput &input)
{
    AURA::Codec *codec = nullptr;
    if (AURA::Codec::create(*AURA::CodecOggVorbis::getDescriptionEx(), nullptr, &codec) != AURA_OK) {
        state.SkipWithError("codec creation failed");
        return nullptr;
    }
    auto *file = AURA_New(AURA::DiskFile);
    codec->mFile = file;
    if (file->init(nullptr, 0, 0) != AURA_OK || file->open(input.path().c_str(), 0, false, nullptr) != AURA_OK ||
        codec->open(AURA_DEFAULT, nullptr) != AURA_OK) {
        (void)codec->release();
        state.SkipWithError("open failed");
        return nullptr;
    }
    return codec;
}

void BM_OggDecodeEngine(benchmark::State &state)
{
    OggInput &input = OggInput::get();
    if (!input.ok()) {
        state.SkipWithError("sox, oggenc or oggdec failed");
        return;
    }
    std::vector<char> buffer(READ_SIZE);
    uint64_t bytes = 0;
    for (auto _ : state) {
        AURA::Codec *codec = openEngineCodec(state, input);
        if (!codec) {
            return;
        }
        unsigned int got = 0;
        while (codec->read(buffer.data(), READ_SIZE, &got) == AURA_OK) {
            bytes += got;
            benchmark::DoNotOptimize(buffer.data());
        }
        (void)codec->release();
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["oggdec_s"] = input.oggdecSeconds();
}

void BM_OggDecodeVorbisfile(benchmark::State &state)
{
    OggInput &input = OggInput::get();
    if (!input.ok()) {
        state.SkipWithError("sox, oggenc or oggdec failed");
        return;
    }
    std::vector<char> buffer(READ_SIZE);
    uint64_t bytes = 0;
    for (auto _ : state) {
        OggVorbis_File vf;
        if (ov_fopen(input.path().c_str(), &vf) != 0) {
            state.SkipWithError("ov_fopen failed");
            return;
        }
        int bitstream = 0;
        long got = 0;
        while ((got = ov_read(&vf, buffer.data(), static_cast<int>(READ_SIZE), 0, 2, 1, &bitstream)) != 0) {
            if (got > 0) {
                bytes += static_cast<uint64_t>(got);
            }
            benchmark::DoNotOptimize(buffer.data());
        }
        ov_clear(&vf);
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["oggdec_s"] = input.oggdecSeconds();
}

// One open of the file, nothing decoded after it: the codec (headers, and
// the length made to agree with what the decoder delivers: the first and
// last pages' block sizes counted, or decoded where they disagree) against
// vorbisfile's own open, which reads the headers and bisects for the links.
void BM_OggOpenEngine(benchmark::State &state)
{
    OggInput &input = OggInput::get();
    if (!input.ok()) {
        state.SkipWithError("sox, oggenc or oggdec failed");
        return;
    }
    for (auto _ : state) {
        AURA::Codec *codec = openEngineCodec(state, input);
        if (!codec) {
            return;
        }
        benchmark::DoNotOptimize(codec->state()->waveformat[0].lengthpcm);
        (void)codec->release();
    }
}
BENCHMARK(BM_OggOpenEngine)->Unit(benchmark::kMicrosecond);

void BM_OggOpenVorbisfile(benchmark::State &state)
{
    OggInput &input = OggInput::get();
    if (!input.ok()) {
        state.SkipWithError("sox, oggenc or oggdec failed");
        return;
    }
    for (auto _ : state) {
        OggVorbis_File vf;
        if (ov_fopen(input.path().c_str(), &vf) != 0) {
            state.SkipWithError("ov_fopen failed");
            return;
        }
        benchmark::DoNotOptimize(ov_pcm_total(&vf, -1));
        ov_clear(&vf);
    }
}
BENCHMARK(BM_OggOpenVorbisfile)->Unit(benchmark::kMicrosecond);

// Keeps each path's mean time per decode for the ratio printed at exit.
template <void (*Run)(benchmark::State &), double OggInput::*Slot>
void timed(benchmark::State &state)
{
    (void)OggInput::get(); // the file is made outside the timing
    const auto start = std::chrono::steady_clock::now();
    Run(state);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (state.iterations() > 0) {
        OggInput::get().*Slot = seconds / static_cast<double>(state.iterations());
    }
}

} // namespace

BENCHMARK(timed<BM_OggDecodeEngine, &OggInput::engineSeconds>)
    ->Name("BM_OggDecodeEngine")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(timed<BM_OggDecodeVorbisfile, &OggInput::vorbisfileSeconds>)
    ->Name("BM_OggDecodeVorbisfile")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

#ifdef AURA_PLAY_PATH
namespace {

// The whole road a user runs: aura-play streaming the file into a WAV
// against oggdec writing its raw decode, both to files in the same place.
double runSeconds(const std::string &command)
{
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system(command.c_str());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return status == 0 ? seconds : -1.0;
}

double gAuraPlaySeconds = 0;
double gOggdecFileSeconds = 0;

void reportPlayRatio()
{
    if (gAuraPlaySeconds > 0 && gOggdecFileSeconds > 0) {
        std::fprintf(stderr, "300 s Ogg to a file: aura-play --stream %.4f s, oggdec %.4f s; ratio %.4f\n",
                     gAuraPlaySeconds, gOggdecFileSeconds, gAuraPlaySeconds / gOggdecFileSeconds);
    }
}

// Runs a command that writes `out` once per iteration; the mean seconds go
// to *mean.
void runCommand(benchmark::State &state, const std::string &command, const std::string &out, double *mean)
{
    if (!OggInput::get().ok()) {
        state.SkipWithError("no input file");
        return;
    }
    double total = 0;
    for (auto _ : state) {
        const double seconds = runSeconds(command);
        if (seconds < 0) {
            state.SkipWithError("the command failed");
            break;
        }
        state.SetIterationTime(seconds);
        total += seconds;
    }
    std::filesystem::remove(out);
    if (state.iterations() > 0) {
        *mean = total / static_cast<double>(state.iterations());
        static const bool registered = std::atexit(reportPlayRatio) == 0;
        (void)registered;
    }
}

void BM_AuraPlayStreamToWav(benchmark::State &state)
{
    const std::string &ogg = OggInput::get().path();
    const std::string out = ogg + ".out.wav";
    runCommand(state, std::string(AURA_PLAY_PATH) + " -q --stream -o " + out + " " + ogg, out, &gAuraPlaySeconds);
}

void BM_OggdecToRaw(benchmark::State &state)
{
    const std::string &ogg = OggInput::get().path();
    const std::string out = ogg + ".out.raw";
    runCommand(state, "oggdec -Q -R -o " + out + " " + ogg, out, &gOggdecFileSeconds);
}

} // namespace

BENCHMARK(BM_AuraPlayStreamToWav)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OggdecToRaw)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
#endif
