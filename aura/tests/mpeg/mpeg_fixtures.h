// MPEG audio files made at test time by lame, twolame and ffmpeg from sox
// signals, mpg123's decode of them as the reference, and the codec opened
// over a file or bytes. Header-only: it compiles in the groups that link
// the engine's internals.
#ifndef AURA_TESTS_MPEG_FIXTURES_H
#define AURA_TESTS_MPEG_FIXTURES_H

#include "mpeg/aura_codec_mpeg.h"
#include "base/aura_memory.h"
#include "file/aura_file_disk.h"
#include "file/aura_file_memory.h"
#include "engine.h"
#include "files.h"
#include "tools.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

namespace mpegtest {

constexpr const char AURA_ALLOC_TAG[] = "aura/tests/mpeg_fixtures";

namespace fs = std::filesystem;
using auratest::Bytes;
using auratest::quote;
using auratest::run;

// The scratch directory of one test binary: sources and encodes are made
// once and reused by every test of the process.
class Fixtures {
public:
    static Fixtures &get()
    {
        static Fixtures fixtures;
        return fixtures;
    }

    // A source signal: "chord" or "noise", `seconds` long, -3 dBFS peak.
    fs::path source(const std::string &kind, int rate, int channels, double seconds = 2.0)
    {
        const std::string name = kind + "_" + std::to_string(rate) + "_" + std::to_string(channels) + "_" +
                                 std::to_string(static_cast<int>(seconds * 10)) + ".wav";
        const fs::path path = mDir / name;
        if (fs::exists(path)) {
            return path;
        }
        const std::string head = "sox -n -r " + std::to_string(rate) + " -b 16 -c " + std::to_string(channels) + " ";
        const std::string length = std::to_string(seconds);
        if (kind == "noise") {
            EXPECT_TRUE(run(head + quote(path) + " synth " + length + " pinknoise gain -n -3")) << name;
        } else {
            // Two tones per channel: a major chord spread over the channels.
            const fs::path a = mDir / ("a_" + name);
            const fs::path b = mDir / ("b_" + name);
            EXPECT_TRUE(run(head + quote(a) + " synth " + length + " sine 261.63 sine 329.63"));
            EXPECT_TRUE(run(head + quote(b) + " synth " + length + " sine 392 sine 523.25"));
            EXPECT_TRUE(run("sox -m " + quote(a) + " " + quote(b) + " " + quote(path) + " gain -n -3"));
        }
        return path;
    }

    // An encode of a source by a command line where {in} and {out} stand
    // for the files; made once per name.
    fs::path encode(const std::string &name, const fs::path &input, const std::string &command)
    {
        const fs::path out = mDir / name;
        if (fs::exists(out)) {
            return out;
        }
        std::string line = command;
        auto replace = [&](const std::string &key, const std::string &value) {
            for (size_t at = line.find(key); at != std::string::npos; at = line.find(key, at + value.size())) {
                line.replace(at, key.size(), value);
            }
        };
        replace("{in}", quote(input));
        replace("{out}", quote(out));
        EXPECT_TRUE(run(line)) << line;
        return out;
    }

    fs::path path(const std::string &name) const { return mDir / name; }

private:
    Fixtures() = default;
    auratest::TempDir mDir{"aura-mpeg"};
};

// mpg123's decode (float) in units of 16-bit samples, interleaved.
struct Reference {
    int channels = 0;
    int rate = 0;
    std::vector<float> samples;
};

inline Reference mpg123(const fs::path &file)
{
    const fs::path out = fs::path(file).replace_extension(".ref.wav");
    Reference ref;
    EXPECT_TRUE(run("mpg123 -q --no-gapless -e f32 -w " + quote(out) + " " + quote(file))) << file;
    const auratest::Wav wav = auratest::readWav(out);
    EXPECT_TRUE(wav.valid) << wav.error;
    ref.channels = static_cast<int>(wav.channels);
    ref.rate = static_cast<int>(wav.rate);
    ref.samples.reserve(wav.samples.size());
    for (float v : wav.samples) {
        ref.samples.push_back(v * 32767.0f);
    }
    return ref;
}

// The codec over a disk file or bytes; released at the end of the scope.
struct Opened {
    AURA::Codec *codec = nullptr;
    AURA_RESULT opened = AURA_ERR_INTERNAL;

    Opened() = default;
    Opened(const Opened &) = delete;
    Opened &operator=(const Opened &) = delete;
    ~Opened()
    {
        if (codec) {
            (void)codec->release();
        }
    }
    AURA::CodecMPEG *mpeg() { return static_cast<AURA::CodecMPEG *>(codec); }
    AURA_CODEC_WAVEFORMAT &format() { return codec->state()->waveformat[0]; }

    // `flags`: codec flags an outer container would set before the open.
    void attach(AURA::File *file, AURA_MODE mode, unsigned int flags = 0)
    {
        ASSERT_EQ(AURA::Codec::create(*AURA::CodecMPEG::getDescriptionEx(), nullptr, &codec), AURA_OK);
        codec->mFile = file;
        codec->mFlags |= flags;
        opened = codec->open(mode, nullptr);
    }
    void openDisk(const fs::path &path, AURA_MODE mode = AURA_DEFAULT)
    {
        auto *file = AURA_New(AURA::DiskFile);
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(file->init(nullptr, 0, 0), AURA_OK);
        ASSERT_EQ(file->open(path.c_str(), 0, false, nullptr), AURA_OK);
        attach(file, mode);
    }
    // `bytes` must outlive the codec.
    void openMemory(const Bytes &bytes, AURA_MODE mode = AURA_DEFAULT, unsigned int flags = 0)
    {
        auto *file = AURA_New(AURA::MemoryFile);
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(auratest::openMemoryFile(*file, bytes), AURA_OK);
        attach(file, mode, flags);
    }

    // Every sample from the current position to the end.
    std::vector<int16_t> decodeAll()
    {
        std::vector<int16_t> out;
        std::vector<int16_t> chunk(4000);
        for (int i = 0; i < 1000000; ++i) {
            unsigned int got = 0;
            const AURA_RESULT result = codec->read(chunk.data(), static_cast<unsigned int>(chunk.size() * 2), &got);
            out.insert(out.end(), chunk.begin(), chunk.begin() + got / 2);
            if (result != AURA_OK) {
                EXPECT_EQ(result, AURA_ERR_FILE_EOF);
                break;
            }
        }
        return out;
    }
};

// How far a decode is from mpg123's.
struct Accuracy {
    size_t compared = 0;
    double rms = 0.0; // in 16-bit steps, over the unclipped samples
    double within2 = 0.0; // share of unclipped samples within 2 steps
    double snr = 0.0; // dB, reference power over difference power
};

inline Accuracy compare(const std::vector<int16_t> &ours, const std::vector<float> &ref)
{
    Accuracy a;
    const size_t n = std::min(ours.size(), ref.size());
    double sum = 0.0;
    double power = 0.0;
    size_t unclipped = 0;
    size_t close = 0;
    for (size_t i = 0; i < n; ++i) {
        // Where the reference passes full scale ours clips: not compared.
        if (std::fabs(ref[i]) >= 32767.0f) {
            continue;
        }
        const double d = ours[i] - static_cast<double>(ref[i]);
        sum += d * d;
        power += static_cast<double>(ref[i]) * ref[i];
        ++unclipped;
        close += std::fabs(d) <= 2.0 ? 1 : 0;
    }
    a.compared = n;
    a.rms = unclipped ? std::sqrt(sum / static_cast<double>(unclipped)) : 0.0;
    a.within2 = unclipped ? static_cast<double>(close) / static_cast<double>(unclipped) : 1.0;
    a.snr = sum > 0.0 ? 10.0 * std::log10(power / sum) : 200.0;
    return a;
}

} // namespace mpegtest

#endif // AURA_TESTS_MPEG_FIXTURES_H
