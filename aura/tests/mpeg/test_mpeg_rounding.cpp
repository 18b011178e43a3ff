// The 16-bit output of the MPEG decoder against mpg123's float decode of
// the same file: each sample is the exact value rounded to the nearest step,
// with no bias toward zero, whether the file plays as a sample, as a stream
// or kept compressed.
#include "mpeg_fixtures.h"
#include "systems.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

// Mean signed error toward zero and RMS error in 16-bit steps, over the
// samples the reference holds below full scale.
struct Bias {
    double towardZero = 0.0; // mean of (ours - exact) x sign(exact): -0.5 when truncated
    double rms = 0.0;
    size_t compared = 0;
};

Bias measure(const std::vector<float> &ours, const std::vector<float> &exact)
{
    Bias b;
    double toward = 0.0, squares = 0.0;
    for (size_t i = 0; i < std::min(ours.size(), exact.size()); ++i) {
        const double e = exact[i];
        // Where the exact value is a whole step or clips, rounding has nothing to choose.
        if (std::fabs(e) >= 32767.0 || std::fabs(e) < 0.5) {
            continue;
        }
        const double d = ours[i] - e;
        toward += e > 0.0 ? d : -d;
        squares += d * d;
        ++b.compared;
    }
    if (b.compared) {
        b.towardZero = toward / static_cast<double>(b.compared);
        b.rms = std::sqrt(squares / static_cast<double>(b.compared));
    }
    return b;
}

// The whole file played once at its own rate into a float render of as many
// channels: each rendered value is the decoder's 16-bit sample over 32768.
std::vector<float> render(const mpegtest::fs::path &file, int rate, int channels, AURA_MODE mode)
{
    auratest::RenderFormat format;
    format.rate = rate;
    format.outputChannels = channels;
    auratest::WavRender wav(format);
    AURA::Sound *sound = nullptr;
    // A VBR file without a tag has its whole length only from a scan.
    EXPECT_EQ(wav.system()->createSound(file.c_str(), AURA_SOFTWARE | AURA_ACCURATETIME | mode, nullptr, &sound),
              AURA_OK);
    if (!sound) {
        return {};
    }
    AURA::Channel *channel = wav.play(sound);
    bool playing = true;
    for (int i = 0; i < 10000 && playing; ++i) {
        wav.update();
        playing = false;
        (void)channel->isPlaying(&playing);
    }
    EXPECT_FALSE(playing);
    const auratest::Wav out = wav.finish();
    std::vector<float> steps;
    steps.reserve(out.samples.size());
    for (float v : out.samples) {
        steps.push_back(v * 32768.0f);
    }
    return steps;
}

TEST(MpegRounding, EveryModeRoundsTheExactDecodeToTheNearestStep)
{
    struct Case {
        const char *name;
        const char *kind;
        int rate;
        int channels;
        const char *command;
    };
    static const Case cases[] = {
        {"r-cbr128.mp3", "noise", 44100, 2, "lame --quiet -t -b 128 {in} {out}"},
        {"r-v2.mp3", "chord", 44100, 2, "lame --quiet -t -V 2 {in} {out}"},
        {"r-lsf.mp3", "chord", 22050, 2, "lame --quiet -t -b 48 {in} {out}"},
        {"r-l2.mp2", "noise", 48000, 2, "twolame --quiet -b 192 {in} {out}"},
    };
    mpegtest::Fixtures &fx = mpegtest::Fixtures::get();
    for (const Case &c : cases) {
        const auto file = fx.encode(c.name, fx.source(c.kind, c.rate, c.channels, 1.0), c.command);
        const mpegtest::Reference exact = mpegtest::mpg123(file);
        ASSERT_EQ(exact.channels, c.channels) << c.name;
        for (AURA_MODE mode : {AURA_CREATESAMPLE, AURA_CREATESTREAM, AURA_CREATECOMPRESSEDSAMPLE}) {
            SCOPED_TRACE(std::string(c.name) + " mode " + std::to_string(mode));
            const std::vector<float> ours = render(file, c.rate, c.channels, mode);
            // The render holds the decode and the rest of its last block.
            ASSERT_GE(ours.size(), exact.samples.size());
            for (size_t i = 0; i < exact.samples.size(); ++i) {
                ASSERT_EQ(ours[i], std::nearbyint(ours[i])) << "not a 16-bit step at " << i;
            }
            const Bias b = measure(ours, exact.samples);
            ASSERT_GT(b.compared, exact.samples.size() / 2);
            EXPECT_LT(std::fabs(b.towardZero), 0.05) << "rms " << b.rms;
            // Rounding alone leaves 1/sqrt(12) of a step; truncation 1/sqrt(3).
            EXPECT_LT(b.rms, 0.35) << "bias " << b.towardZero;
        }
    }
}

} // namespace
