// The AudioQueue codec's cost over FFmpeg alone: five-minute files (stereo,
// 44.1 kHz) of AAC and ALAC in M4A and of IMA4 and big-endian PCM in CAF,
// decoded whole through the engine (disk file, codec, platform layer) and
// through libavformat and libavcodec called directly with the same
// conversion to 16-bit PCM; what a seek costs in each (IMA4 decodes
// from the file's start to its target); and what the codec's open of a file
// it refuses costs against a read of the file's first bytes.
#include "codec/aura_codec_audioqueue.h"
#include "base/aura_memory.h"
#include "file/aura_file_disk.h"

#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

#include <unistd.h>

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {
constexpr const char AURA_ALLOC_TAG[] = "bench/bench_codec_audioqueue";

// The two files, made once per run; removed at exit.
class AudioQueueInputs {
public:
    static AudioQueueInputs &get()
    {
        static AudioQueueInputs inputs;
        return inputs;
    }
    [[nodiscard]] bool ok() const { return mOk; }
    static constexpr const char *kNames[] = {"/music_aac.m4a", "/music_alac.m4a", "/music_ima4.caf",
                                             "/music_pcm.caf"};
    [[nodiscard]] std::string path(int which) const { return mDir + kNames[which]; }

    AudioQueueInputs(const AudioQueueInputs &) = delete;
    AudioQueueInputs &operator=(const AudioQueueInputs &) = delete;

private:
    AudioQueueInputs()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "aura-bench-aq-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            return;
        }
        mDir = pattern;
        const std::string wav = mDir + "/music.wav";
        const std::string make = "sox -n -r 44100 -b 16 -c 2 " + wav +
                                 " synth 300 sine 220 sine 330 pinknoise vol 0.4 remix 1,3 2,3 >/dev/null 2>&1"
                                 " && ffmpeg -nostdin -v error -y -i " +
                                 wav + " -c:a aac " + path(0) + " && ffmpeg -nostdin -v error -y -i " + wav +
                                 " -c:a alac " + path(1) + " && ffmpeg -nostdin -v error -y -i " + wav +
                                 " -c:a adpcm_ima_qt " + path(2) + " && ffmpeg -nostdin -v error -y -i " + wav +
                                 " -c:a pcm_s16be " + path(3);
        mOk = std::system(make.c_str()) == 0;
        std::error_code ignored;
        std::filesystem::remove(wav, ignored);
    }
    ~AudioQueueInputs()
    {
        if (!mDir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(mDir, ignored);
        }
    }

    std::string mDir;
    bool mOk = false;
};

// The platform decoder opened on `path`, or null with the benchmark skipped.
AURA::Codec *openCodec(benchmark::State &state, const std::string &path)
{
    auto *file = AURA_New(AURA::DiskFile);
    AURA::Codec *codec = nullptr;
    if (!file || file->init(nullptr, 0, 0) != AURA_OK || file->open(path.c_str(), 0, false, nullptr) != AURA_OK ||
        AURA::Codec::create(*AURA::CodecAudioQueue::getDescriptionEx(), nullptr, &codec) != AURA_OK) {
        state.SkipWithError("cannot open the codec");
        AURA_Delete(file);
        return nullptr;
    }
    codec->mFile = file;
    if (codec->open(AURA_DEFAULT, nullptr) != AURA_OK) {
        state.SkipWithError("the codec refused the file");
        (void)codec->release();
        return nullptr;
    }
    return codec;
}

void BM_AudioQueueCodec(benchmark::State &state)
{
    AudioQueueInputs &inputs = AudioQueueInputs::get();
    if (!inputs.ok()) {
        state.SkipWithError("cannot make the input files (sox, ffmpeg)");
        return;
    }
    const std::string path = inputs.path(static_cast<int>(state.range(0)));
    std::vector<uint8_t> buffer(AURA::CodecAudioQueue::OUTPUT_BUFFER_BYTES);
    size_t total = 0;
    for (auto _ : state) {
        AURA::Codec *codec = openCodec(state, path);
        if (!codec) {
            return;
        }
        total = 0;
        for (;;) {
            unsigned int got = 0;
            if (codec->read(buffer.data(), static_cast<unsigned int>(buffer.size()), &got) != AURA_OK || got == 0) {
                break;
            }
            total += got;
        }
        benchmark::DoNotOptimize(buffer.data());
        (void)codec->release();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(total));
}

// The same decode with FFmpeg alone: demux, decode, convert to s16.
void BM_FFmpegDirect(benchmark::State &state)
{
    AudioQueueInputs &inputs = AudioQueueInputs::get();
    if (!inputs.ok()) {
        state.SkipWithError("cannot make the input files (sox, ffmpeg)");
        return;
    }
    const std::string path = inputs.path(static_cast<int>(state.range(0)));
    size_t total = 0;
    std::vector<uint8_t> out(1 << 20);
    for (auto _ : state) {
        AVFormatContext *format = nullptr;
        if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0 ||
            avformat_find_stream_info(format, nullptr) < 0) {
            state.SkipWithError("ffmpeg cannot open the file");
            return;
        }
        const int stream = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        const AVCodec *decoder = avcodec_find_decoder(format->streams[stream]->codecpar->codec_id);
        AVCodecContext *ctx = avcodec_alloc_context3(decoder);
        (void)avcodec_parameters_to_context(ctx, format->streams[stream]->codecpar);
        (void)avcodec_open2(ctx, decoder, nullptr);
        AVPacket *packet = av_packet_alloc();
        AVFrame *frame = av_frame_alloc();
        SwrContext *swr = nullptr;
        total = 0;
        while (av_read_frame(format, packet) >= 0) {
            if (packet->stream_index == stream && avcodec_send_packet(ctx, packet) >= 0) {
                while (avcodec_receive_frame(ctx, frame) >= 0) {
                    if (!swr) {
                        (void)swr_alloc_set_opts2(&swr, &frame->ch_layout, AV_SAMPLE_FMT_S16, frame->sample_rate,
                                                  &frame->ch_layout, static_cast<AVSampleFormat>(frame->format),
                                                  frame->sample_rate, 0, nullptr);
                        (void)swr_init(swr);
                    }
                    uint8_t *dst = out.data();
                    const int n = swr_convert(swr, &dst, frame->nb_samples,
                                              const_cast<const uint8_t **>(frame->extended_data), frame->nb_samples);
                    total +=
                        static_cast<size_t>(std::max(n, 0)) * static_cast<size_t>(frame->ch_layout.nb_channels) * 2;
                    av_frame_unref(frame);
                }
            }
            av_packet_unref(packet);
        }
        benchmark::DoNotOptimize(out.data());
        swr_free(&swr);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&ctx);
        avformat_close_input(&format);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(total));
}

// A seek to the middle of the file and one buffer read there.
void BM_AudioQueueSeek(benchmark::State &state)
{
    AudioQueueInputs &inputs = AudioQueueInputs::get();
    if (!inputs.ok()) {
        state.SkipWithError("cannot make the input files (sox, ffmpeg)");
        return;
    }
    const std::string path = inputs.path(static_cast<int>(state.range(0)));
    AURA::Codec *codec = openCodec(state, path);
    if (!codec) {
        return;
    }
    std::vector<uint8_t> buffer(AURA::CodecAudioQueue::OUTPUT_BUFFER_BYTES);
    const unsigned int middle = codec->state()->waveformat[0].lengthpcm / 2;
    unsigned int offset = 0;
    for (auto _ : state) {
        unsigned int got = 0;
        // A different place each time, so that nothing is left over.
        offset = (offset + 4099) % 100000;
        if (codec->setPosition(0, middle + offset, AURA_TIMEUNIT_PCM) != AURA_OK ||
            codec->read(buffer.data(), static_cast<unsigned int>(buffer.size()), &got) != AURA_OK || got == 0) {
            state.SkipWithError("the seek failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    (void)codec->release();
}

// Short files the platform decoder refuses (MP3, MP2, PCM WAV, Ogg Vorbis),
// made once per run; removed at exit.
class RefusedInputs {
public:
    static RefusedInputs &get()
    {
        static RefusedInputs inputs;
        return inputs;
    }
    [[nodiscard]] bool ok() const { return mOk; }
    static constexpr const char *kNames[] = {"/x.mp3", "/x.mp2", "/x.wav", "/x.ogg"};
    [[nodiscard]] std::string path(int which) const { return mDir + kNames[which]; }

    RefusedInputs(const RefusedInputs &) = delete;
    RefusedInputs &operator=(const RefusedInputs &) = delete;

private:
    RefusedInputs()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "aura-bench-aqr-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            return;
        }
        mDir = pattern;
        const std::string make = "sox -n -r 44100 -b 16 -c 2 " + path(2) +
                                 " synth 1 sine 220 sine 330 >/dev/null 2>&1 && lame --quiet " + path(2) + " " +
                                 path(0) + " && twolame --quiet " + path(2) + " " + path(1) + " && oggenc -Q -o " +
                                 path(3) + " " + path(2);
        mOk = std::system(make.c_str()) == 0;
    }
    ~RefusedInputs()
    {
        if (!mDir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(mDir, ignored);
        }
    }

    std::string mDir;
    bool mOk = false;
};

// The file every engine codec is offered, open (unbuffered, as a disk file
// without a buffer size reads) on `path`; null with the benchmark skipped.
AURA::DiskFile *openRefused(benchmark::State &state)
{
    RefusedInputs &inputs = RefusedInputs::get();
    auto *file = inputs.ok() ? AURA_New(AURA::DiskFile) : nullptr;
    if (!file || file->init(nullptr, 0, 0) != AURA_OK ||
        file->open(inputs.path(static_cast<int>(state.range(0))).c_str(), 0, false, nullptr) != AURA_OK) {
        state.SkipWithError("cannot make or open the input (sox, lame, twolame, oggenc)");
        AURA_Delete(file);
        return nullptr;
    }
    return file;
}

// The platform decoder's open of a file it refuses, as each sound creation
// offers it (the codec object, which every codec's probe makes alike, is
// made once: a refused open leaves nothing to close).
void BM_AudioQueueRefusedOpen(benchmark::State &state)
{
    AURA::DiskFile *file = openRefused(state);
    if (!file) {
        return;
    }
    AURA::Codec *codec = nullptr;
    if (AURA::Codec::create(*AURA::CodecAudioQueue::getDescriptionEx(), nullptr, &codec) != AURA_OK) {
        state.SkipWithError("cannot make the codec");
        (void)file->close();
        AURA_Delete(file);
        return;
    }
    codec->mFile = file;
    for (auto _ : state) {
        if (codec->open(AURA_DEFAULT, nullptr) != AURA_ERR_FORMAT) {
            state.SkipWithError("the codec did not refuse the file");
            break;
        }
    }
    (void)codec->release(); // closes and frees the file
}

// The peer: a read of the file's first 512 bytes from its start.
void BM_ReadFirstBytes(benchmark::State &state)
{
    AURA::DiskFile *file = openRefused(state);
    if (!file) {
        return;
    }
    uint8_t head[512];
    for (auto _ : state) {
        unsigned int got = 0;
        if (file->seek(0, 0) != AURA_OK || file->read(head, 1, sizeof(head), &got) != AURA_OK) {
            state.SkipWithError("the read failed");
            break;
        }
        benchmark::DoNotOptimize(head);
    }
    (void)file->close();
    AURA_Delete(file);
}

BENCHMARK(BM_AudioQueueCodec)->ArgName("file")->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FFmpegDirect)->ArgName("file")->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AudioQueueSeek)->ArgName("file")->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AudioQueueRefusedOpen)->ArgName("file")->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadFirstBytes)->ArgName("file")->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

} // namespace
