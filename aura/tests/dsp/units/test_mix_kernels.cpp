// The fused voice kernels of every instruction set this machine runs,
// against the unit-by-unit path (read the sample into the wavetable's block,
// then mix that through the connection): whole voices rendered through the
// WAV writer at loop ends, bidirectional turns, reverse play, a sound's last
// frame, level ramps and DSP-clock starts, ends and pauses inside a block, in
// every format and channel count they take.
#include "dsp/units/aura_dsp_mixkernels.h"
#include "system/aura_systemi.h"
#include "systems.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

using AURA::MixKernelSet;
using auratest::Wav;
using auratest::WavRender;

constexpr int SOURCE_RATE = 44100;
constexpr int OUTPUT_RATE = 48000;
constexpr int FRAMES = 2000;
constexpr unsigned int LOOP_START = 400;
constexpr unsigned int LOOP_END = 1500;
constexpr unsigned int BLOCK = 256;
constexpr int BLOCKS = 32;

enum class Play { LoopEnds, Bidirectional, Reverse, LastFrame, Ramps, ClockTimes };

struct Case {
    AURA_SOUND_FORMAT format;
    int channels; // the sound's
    int outputs;  // the mix's
    AURA_DSP_RESAMPLER resampler;
    Play play;
    float pitch; // up to 2 the kernels pick frames from windows, above it they gather
};

std::string describe(const Case &c)
{
    static const char *const plays[] = {"loop ends", "bidirectional turns", "reverse play",
                                        "last frame",  "ramps",               "clock times"};
    return "format " + std::to_string(c.format) + ", " + std::to_string(c.channels) + " into " +
           std::to_string(c.outputs) + " channels, " +
           (c.resampler == AURA_DSP_RESAMPLER_NOINTERP ? "nearest" : "linear") + ", " +
           plays[static_cast<int>(c.play)] + ", pitch " + std::to_string(c.pitch);
}

// Noise near full scale in the sound's format.
std::vector<uint8_t> noise(AURA_SOUND_FORMAT format, int channels)
{
    const size_t samples = static_cast<size_t>(FRAMES) * static_cast<size_t>(channels);
    std::vector<uint8_t> bytes;
    uint32_t seed = 2463534242u;
    for (size_t i = 0; i < samples; ++i) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        const auto v = static_cast<int16_t>(seed);
        if (format == AURA_SOUND_FORMAT_PCM8) {
            bytes.push_back(static_cast<uint8_t>(v >> 8));
        } else if (format == AURA_SOUND_FORMAT_PCM16) {
            bytes.push_back(static_cast<uint8_t>(v));
            bytes.push_back(static_cast<uint8_t>(v >> 8));
        } else {
            const float f = static_cast<float>(v) / 32768.0f;
            uint8_t raw[4];
            std::memcpy(raw, &f, 4);
            bytes.insert(bytes.end(), raw, raw + 4);
        }
    }
    return bytes;
}

struct Mixed {
    std::vector<float> samples;
    uint64_t fusedBlocks = 0;
};

// Two voices of the case's sound (so that the mix never hands a lone
// voice's block through), rendered with the given kernel set.
Mixed render(const Case &c, MixKernelSet set)
{
    EXPECT_TRUE(AURA::setMixKernelSet(set));
    auratest::RenderFormat format;
    format.rate = OUTPUT_RATE;
    format.block = BLOCK;
    format.resampler = c.resampler;
    format.outputChannels = c.outputs;
    WavRender render(format);
    const std::vector<uint8_t> pcm = noise(c.format, c.channels);
    const AURA_MODE mode = c.play == Play::LoopEnds || c.play == Play::ClockTimes ? AURA_LOOP_NORMAL
                           : c.play == Play::Bidirectional                      ? AURA_LOOP_BIDI
                                                                                : AURA_LOOP_OFF;
    AURA::Sound *sound = render.sound(pcm.data(), static_cast<unsigned int>(pcm.size()), c.format, c.channels,
                                      SOURCE_RATE, mode);
    if (!sound) {
        return {};
    }
    EXPECT_EQ(sound->setLoopPoints(LOOP_START, LOOP_END), AURA_OK);
    AURA::Channel *voices[2] = {render.play(sound, true), render.play(sound, true)};
    if (c.play == Play::ClockTimes) {
        // Inside blocks: the first voice starts late and ends early, the
        // second pauses.
        const uint64_t clock = static_cast<AURA::SystemI *>(render.system())->mDSPClock.load();
        const auto delay = [](AURA::Channel *voice, AURA_DELAYTYPE type, uint64_t at) {
            EXPECT_EQ(voice->setDelay(type, static_cast<unsigned int>(at >> 32), static_cast<unsigned int>(at)),
                      AURA_OK);
        };
        delay(voices[0], AURA_DELAYTYPE_DSPCLOCK_START, clock + 300);
        delay(voices[0], AURA_DELAYTYPE_DSPCLOCK_END, clock + 5000);
        delay(voices[1], AURA_DELAYTYPE_DSPCLOCK_PAUSE, clock + 3100);
    }
    const float pitches[2] = {c.pitch, c.pitch * 0.77f};
    const float pans[2] = {0.3f, -0.6f};
    for (int v = 0; v < 2; ++v) {
        const float direction = c.play == Play::Reverse ? -1.0f : 1.0f;
        EXPECT_EQ(voices[v]->setFrequency(direction * SOURCE_RATE * pitches[v]), AURA_OK);
        if (c.play == Play::Reverse) {
            EXPECT_EQ(voices[v]->setPosition(FRAMES - 1 - 3 * v, AURA_TIMEUNIT_PCM), AURA_OK);
        }
        EXPECT_EQ(voices[v]->setPan(pans[v]), AURA_OK);
        EXPECT_EQ(voices[v]->setVolume(v ? 0.4f : 0.55f), AURA_OK);
        EXPECT_EQ(voices[v]->setPaused(false), AURA_OK);
    }
    for (int b = 0; b < BLOCKS; ++b) {
        if (c.play == Play::Ramps) {
            (void)voices[0]->setVolume(b % 2 ? 0.2f : 0.55f);
            (void)voices[1]->setPan(b % 3 ? -0.6f : 0.9f);
        }
        render.update();
    }
    Mixed mixed;
    mixed.fusedBlocks = static_cast<AURA::SystemI *>(render.system())->mFusedBlocks.load();
    mixed.samples = render.finish().samples;
    return mixed;
}

std::vector<Case> cases()
{
    std::vector<Case> all;
    for (AURA_SOUND_FORMAT format : {AURA_SOUND_FORMAT_PCM8, AURA_SOUND_FORMAT_PCM16, AURA_SOUND_FORMAT_PCMFLOAT}) {
        for (int channels : {1, 2}) {
            for (AURA_DSP_RESAMPLER resampler : {AURA_DSP_RESAMPLER_NOINTERP, AURA_DSP_RESAMPLER_LINEAR}) {
                for (Play play : {Play::LoopEnds, Play::Bidirectional, Play::Reverse, Play::LastFrame, Play::Ramps,
                                  Play::ClockTimes}) {
                    for (float pitch : {0.61f, 1.93f, 2.71f}) {
                        all.push_back({format, channels, 2, resampler, play, pitch});
                    }
                }
                all.push_back({format, channels, 1, resampler, Play::LoopEnds, 1.37f});
            }
        }
    }
    return all;
}

std::vector<MixKernelSet> fusedSets()
{
    std::vector<MixKernelSet> sets;
    for (MixKernelSet set : {MixKernelSet::Baseline, MixKernelSet::AVX2, MixKernelSet::AVX512}) {
        if (AURA::mixKernelSetAvailable(set)) {
            sets.push_back(set);
        }
    }
    return sets;
}

class MixKernels : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(AURA::setMixKernelSet(mBefore)); }
    MixKernelSet mBefore = AURA::mixKernelSet();
};

TEST_F(MixKernels, EverySetTheMachineRunsAgreesWithTheUnitByUnitPath)
{
    const std::vector<MixKernelSet> sets = fusedSets();
    for (MixKernelSet set : sets) {
        std::cout << "[ kernels  ] " << AURA::mixKernelSetName(set) << "\n";
    }
    for (const Case &c : cases()) {
        SCOPED_TRACE(describe(c));
        const Mixed general = render(c, MixKernelSet::General);
        ASSERT_EQ(general.fusedBlocks, 0u);
        ASSERT_EQ(general.samples.size(), static_cast<size_t>(BLOCKS) * BLOCK * static_cast<size_t>(c.outputs));
        float loudest = 0.0f;
        for (float v : general.samples) {
            loudest = std::max(loudest, std::fabs(v));
        }
        ASSERT_GT(loudest, 0.1f) << "nothing to compare";
        for (MixKernelSet set : sets) {
            SCOPED_TRACE(AURA::mixKernelSetName(set));
            const Mixed fused = render(c, set);
            EXPECT_GT(fused.fusedBlocks, 0u) << "the fused kernels were not used";
            ASSERT_EQ(fused.samples.size(), general.samples.size());
            size_t worst = 0;
            for (size_t i = 1; i < fused.samples.size(); ++i) {
                if (std::fabs(fused.samples[i] - general.samples[i]) >
                    std::fabs(fused.samples[worst] - general.samples[worst])) {
                    worst = i;
                }
            }
            ASSERT_LE(std::fabs(fused.samples[worst] - general.samples[worst]), 1e-6f)
                << "frame " << worst / static_cast<size_t>(c.outputs) << ": " << fused.samples[worst]
                << " against " << general.samples[worst];
        }
    }
}

TEST_F(MixKernels, AStereoSoundAtTheOutputRateStaysBitExactInEverySet)
{
    std::vector<int16_t> frames(2 * 3000);
    uint32_t seed = 88172645u;
    for (int16_t &s : frames) {
        seed = seed * 1664525u + 1013904223u;
        s = static_cast<int16_t>(seed >> 16);
    }
    const std::vector<int16_t> silence(frames.size(), 0);
    for (MixKernelSet set : fusedSets()) {
        SCOPED_TRACE(AURA::mixKernelSetName(set));
        ASSERT_TRUE(AURA::setMixKernelSet(set));
        auratest::RenderFormat format;
        format.rate = OUTPUT_RATE;
        format.format = AURA_SOUND_FORMAT_PCM16;
        WavRender render(format);
        render.play(render.sound(frames, 2, OUTPUT_RATE));
        render.play(render.sound(silence, 2, OUTPUT_RATE)); // so that the mix adds, not hands on
        render.update(4);
        EXPECT_GT(static_cast<AURA::SystemI *>(render.system())->mFusedBlocks.load(), 0u);
        const Wav wav = render.finish();
        ASSERT_GE(wav.pcm16.size(), frames.size());
        for (size_t i = 0; i < frames.size(); ++i) {
            ASSERT_EQ(wav.pcm16[i], frames[i]) << "sample " << i;
        }
    }
}

// A connection's steady levels (the mix of a voice into its group and into
// each reverb it sends to): the wide loops give the plain loops' sums bit for
// bit, however many frames, in every set.
TEST_F(MixKernels, AConnectionsLevelsGiveThePlainSumsInEverySet)
{
    uint32_t seed = 362436069u;
    const auto random = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<float>(static_cast<int32_t>(seed)) / 2147483648.0f;
    };
    std::vector<MixKernelSet> sets = fusedSets();
    sets.push_back(MixKernelSet::General);
    for (const size_t frames : {0u, 1u, 3u, 7u, 8u, 9u, 100u, 1023u, 1024u}) {
        for (const int inputs : {1, 2}) {
            std::vector<float> in(frames * static_cast<size_t>(inputs));
            std::vector<float> out(frames * 2);
            for (float &v : in) {
                v = random();
            }
            for (float &v : out) {
                v = random();
            }
            const float levels[2][2] = {{random(), random()}, {random(), random()}};
            // The plain loops, from frame `from` on.
            const auto mixPlain = [&](std::vector<float> &into, size_t from) {
                for (size_t f = from; f < frames; ++f) {
                    if (inputs == 1) {
                        into[2 * f] += in[f] * levels[0][0];
                        into[2 * f + 1] += in[f] * levels[1][0];
                    } else {
                        const float a = in[2 * f];
                        const float b = in[2 * f + 1];
                        into[2 * f] += a * levels[0][0] + b * levels[0][1];
                        into[2 * f + 1] += a * levels[1][0] + b * levels[1][1];
                    }
                }
            };
            std::vector<float> plain = out;
            mixPlain(plain, 0);
            for (MixKernelSet set : sets) {
                SCOPED_TRACE(std::string(AURA::mixKernelSetName(set)) + ", " + std::to_string(frames) + " frames, " +
                             std::to_string(inputs) + " in");
                ASSERT_TRUE(AURA::setMixKernelSet(set));
                std::vector<float> wide = out;
                const size_t done =
                    inputs == 1 ? AURA::mixMonoToStereoWide(wide.data(), in.data(), frames, levels[0][0], levels[1][0])
                                : AURA::mixStereoToStereoWide(wide.data(), in.data(), frames, levels);
                ASSERT_LE(done, frames);
                if (set >= MixKernelSet::AVX2 && frames >= 8) {
                    EXPECT_GT(done, 0u) << "the wide loop was not used";
                }
                mixPlain(wide, done);
                EXPECT_TRUE(plain.empty() ||
                            std::memcmp(wide.data(), plain.data(), plain.size() * sizeof(float)) == 0);
            }
        }
    }
}

} // namespace
