// The environmental reverb's kernel, the freeverb filters, and the mapping
// of room properties onto the kernel measured by its decay.
#include "dsp_harness.h"
#include "reverb_rooms.h"

#include "dsp/effects/aura_dsp_reverb.h"
#include "dsp/effects/aura_freeverb.h"
#include "dsp/effects/aura_sfxreverb.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

struct Kernel {
    explicit Kernel(float rate = 48000.0f, int block = 1024)
        : rate(rate)
    {
        EXPECT_EQ(k.init(rate), 0);
        k.mNumLate = 8;
        EXPECT_EQ(k.UpdateBufferSize(block), 0);
        k.ClearBuffers();
    }
    ~Kernel() { k.close(); }
    Kernel(const Kernel &) = delete;
    Kernel &operator=(const Kernel &) = delete;

    std::vector<float> run(const std::vector<float> &in, int channels, unsigned short mask = 0xFFFF)
    {
        std::vector<float> out(in.size());
        k.DoDSPProcessing(in.data(), out.data(), channels, static_cast<unsigned int>(in.size() / channels), rate, 0.0f,
                          mask);
        return out;
    }

    ASfxDsp k;
    float rate;
};

TEST(SfxReverbKernel, ReflectionsArriveAfterTheFixedTapAndRampsAreLinear)
{
    Kernel r;
    r.k.mReflections.target = 1.0f;
    const std::vector<float> silence(1024, 0.0f);
    (void)r.run(silence, 1);
    // The first block took the feedback scale from 1.0 down to 0.25.
    EXPECT_TRUE(r.k.mFeedbackScale.ramp);
    EXPECT_EQ(r.k.mFeedbackScale.old, 1.0f);
    EXPECT_EQ(r.k.mFeedbackScale.current, 0.25f);
    (void)r.run(silence, 1);
    EXPECT_FALSE(r.k.mFeedbackScale.ramp);

    std::vector<float> impulse(1024, 0.0f);
    impulse[0] = 1.0f;
    std::vector<float> out = r.run(impulse, 1);
    const std::vector<float> more = r.run(silence, 1);
    out.insert(out.end(), more.begin(), more.end());
    const size_t first = static_cast<size_t>(0.04f * 48000.0f) - 1;
    for (size_t i = 0; i < first; ++i) {
        ASSERT_LT(std::fabs(out[i]), 1e-9f) << i;
    }
    EXPECT_GT(std::fabs(out[first]), 0.1f);

    // With plain delays for diffusers, eight channels and DC in, channel 0
    // is the reflections gain itself: it fades linearly over one block.
    Kernel d;
    d.k.mAllpassCoefficient = 0.0f;
    std::vector<float> dc(8 * 1024, 0.0f);
    for (size_t f = 0; f < 1024; ++f) {
        dc[f * 8] = 1.0f;
    }
    for (int b = 0; b < 8; ++b) {
        (void)d.run(dc, 8);
    }
    d.k.mReflections.target = 0.5f;
    std::vector<float> fading = d.run(dc, 8);
    for (int b = 0; b < 2; ++b) {
        const std::vector<float> next = d.run(dc, 8);
        fading.insert(fading.end(), next.begin(), next.end());
    }
    // The diffusers delay what the tap read by their lengths less one each.
    const size_t lag = static_cast<size_t>(d.k.mDiffuser[0].length - 1 + d.k.mDiffuser[1].length - 1);
    for (size_t i = 0; i < 1024; ++i) {
        ASSERT_NEAR(fading[(lag + i) * 8], 0.5f * static_cast<float>(i) / 1024.0f, 1e-4f) << i;
    }
    EXPECT_NEAR(fading[(lag + 1024) * 8], 0.5f, 1e-4f);
    EXPECT_NEAR(fading[(lag + 2047) * 8], 0.5f, 1e-4f);
}

TEST(SfxReverbKernel, MaskedChannelsPassExactlyAndEveryFrameIsMixedDown)
{
    Kernel r;
    r.k.mReflections.target = 1.0f;
    r.k.mLateInput.target = 1.0f;
    std::vector<float> in(2 * 1024);
    for (size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<float>(std::sin(0.01 * static_cast<double>(i))) * 0.3f;
    }
    const std::vector<float> out = r.run(in, 2, 0x1);
    for (size_t f = 0; f < 1024; ++f) {
        ASSERT_EQ(out[f * 2 + 1], in[f * 2 + 1]) << f;
    }

    for (const int channels : {6, 8, 3}) {
        std::vector<float> block(static_cast<size_t>(channels) * 1023);
        for (size_t i = 0; i < block.size(); ++i) {
            block[i] = static_cast<float>(i % 7) * 0.125f;
        }
        std::fill(r.k.mInBuff, r.k.mInBuff + 1024, std::numeric_limits<float>::quiet_NaN());
        r.k.BlockProcessInput(1023, channels, block.data(), 48000.0f);
        for (size_t f = 0; f < 1023; ++f) {
            float sum = 0.0f;
            for (int c = 0; c < channels; ++c) {
                sum += block[f * static_cast<size_t>(channels) + static_cast<size_t>(c)];
            }
            ASSERT_EQ(r.k.mInBuff[f], sum) << channels << " channels, frame " << f;
        }
    }
}

TEST(Freeverb, CombAndAllpassAnswerAsBuilt)
{
    float line[8] = {};
    comb c;
    c.setbuffer(line, 5);
    c.setfeedback(0.0f);
    c.setdamp(0.0f);
    EXPECT_EQ(c.damp2, 1.0f);
    std::vector<float> out;
    for (int n = 0; n < 8; ++n) {
        out.push_back(c.process(n == 0 ? 1.0f : 0.0f));
    }
    EXPECT_EQ(out, (std::vector<float>{0, 0, 0, 0, 0, 1, 0, 0}));

    // A line of denormals reads back as exact zeros, and the lowpass state
    // holds none either.
    const float tiny = std::numeric_limits<float>::denorm_min() * 7.0f;
    std::fill(std::begin(line), std::end(line), tiny);
    c.filterstore = tiny;
    c.setdamp(1.0f);
    EXPECT_EQ(c.process(0.0f), 0.0f);
    EXPECT_EQ(c.filterstore, 0.0f);
    c.mute();
    EXPECT_EQ(line[4], 0.0f);
    EXPECT_EQ(line[5], tiny); // beyond its length

    float aline[4] = {};
    allpass a;
    a.setbuffer(aline, 4);
    a.setfeedback(0.5f);
    std::vector<float> response;
    for (int n = 0; n < 12; ++n) {
        response.push_back(a.process(n == 0 ? 1.0f : 0.0f));
    }
    EXPECT_EQ(response, (std::vector<float>{-1, 0, 0, 0, 1, 0, 0, 0, 0.5f, 0, 0, 0}));

    allpass empty;
    empty.setbuffer(nullptr, 0);
    empty.mute(); // writes nothing
}

// The reverb unit's impulse response: its decay by Schroeder's backward
// integration, from -5 to -25 dB, as a time to -60 dB.
double rt60(AURA::DSPSfxReverb *unit, float seconds, int rate)
{
    const int block = 1024;
    const int blocks = static_cast<int>(seconds * static_cast<float>(rate)) / block;
    std::vector<double> energy;
    std::vector<float> in(2 * block, 0.0f);
    std::vector<float> out(2 * block);
    in[0] = in[1] = 1.0f;
    for (int b = 0; b < blocks; ++b) {
        unit->mDSPState.instance = unit;
        (void)unit->mDescription.read(&unit->mDSPState, in.data(), out.data(), block, 2, 2);
        in[0] = in[1] = 0.0f;
        for (int f = 0; f < block; ++f) {
            energy.push_back(static_cast<double>(out[2 * static_cast<size_t>(f)]) * out[2 * static_cast<size_t>(f)] +
                             static_cast<double>(out[2 * static_cast<size_t>(f) + 1]) *
                                 out[2 * static_cast<size_t>(f) + 1]);
        }
    }
    std::vector<double> decay(energy.size());
    double sum = 0.0;
    for (size_t i = energy.size(); i-- > 0;) {
        sum += energy[i];
        decay[i] = sum;
    }
    const auto timeAt = [&](double db) {
        for (size_t i = 0; i < decay.size(); ++i) {
            if (10.0 * std::log10(decay[i] / decay[0]) <= db) {
                return static_cast<double>(i) / rate;
            }
        }
        return -1.0;
    };
    return 3.0 * (timeAt(-25.0) - timeAt(-5.0));
}

AURA_REVERB_PROPERTIES generic()
{
    return auratest::genericRoom();
}

TEST(SfxReverbUnit, DecaysInTheDecayTime)
{
    for (const float decay : {0.5f, 1.5f, 4.0f}) {
        auratest::Harness h(1024);
        h.system.mOutputRate = 48000;
        auto *unit = auratest::makeEffect<AURA::DSPSfxReverb>(h);
        AURA_REVERB_PROPERTIES p = generic();
        p.DecayTime = decay;
        p.DecayHFRatio = 1.0f;
        ASSERT_EQ(unit->setProperties(p), AURA_OK);
        const double measured = rt60(unit, decay * 1.2f + 0.3f, 48000);
        EXPECT_NEAR(measured, decay, decay * 0.2) << decay;
    }
}

// Ten minutes of full-scale noise at the longest, densest settings: no
// NaN, and the level of the last minute is no higher than of the second.
TEST(SfxReverbUnit, FullScaleNoiseNeitherGrowsNorBreaks)
{
    auratest::Harness h(1024);
    const int rate = 8000;
    h.system.mOutputRate = rate;
    auto *unit = auratest::makeEffect<AURA::DSPSfxReverb>(h);
    AURA_REVERB_PROPERTIES p = generic();
    p.Room = 0;
    p.RoomHF = 0;
    p.Reverb = 2000;
    p.Reflections = 1000;
    p.DecayTime = 20.0f;
    p.DecayHFRatio = 2.0f;
    ASSERT_EQ(unit->setProperties(p), AURA_OK);
    std::vector<float> in(2 * 1000), out(2 * 1000);
    unsigned int seed = 9;
    double minute2 = 0.0, minute10 = 0.0;
    bool finite = true;
    for (int b = 0; b < 600 * rate / 1000; ++b) {
        for (float &v : in) {
            seed = seed * 1664525u + 1013904223u;
            v = (seed & 0x80000000u) ? 1.0f : -1.0f;
        }
        unit->mDSPState.instance = unit;
        (void)unit->mDescription.read(&unit->mDSPState, in.data(), out.data(), 1000, 2, 2);
        double e = 0.0;
        for (float v : out) {
            finite = finite && std::isfinite(v);
            e += static_cast<double>(v) * v;
        }
        const int minute = b / (60 * rate / 1000);
        if (minute == 1) {
            minute2 += e;
        } else if (minute == 9) {
            minute10 += e;
        }
    }
    EXPECT_TRUE(finite);
    EXPECT_GT(minute2, 0.0);
    EXPECT_LT(minute10, minute2 * 1.1);
}

} // namespace
