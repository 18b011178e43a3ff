// Effect units through the public interface: made by type, placed on the
// mix, read back as spectra; the voices' occlusion filter; parameters set
// while two systems mix.
#include "engine.h"
#include "systems.h"

#include "aura_dsp.h"
#include "channel/aura_channeli.h"
#include "dsp/aura_dspi.h"
#include "voice/aura_channelsoftware.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

namespace {

constexpr AURA_DSP_TYPE kBuiltIn[] = {AURA_DSP_TYPE_OSCILLATOR, AURA_DSP_TYPE_LOWPASS,    AURA_DSP_TYPE_LOWPASS_SIMPLE,
                                      AURA_DSP_TYPE_HIGHPASS,   AURA_DSP_TYPE_DISTORTION, AURA_DSP_TYPE_NORMALIZE,
                                      AURA_DSP_TYPE_PARAMEQ,    AURA_DSP_TYPE_COMPRESSOR, AURA_DSP_TYPE_ECHO,
                                      AURA_DSP_TYPE_FLANGE,     AURA_DSP_TYPE_CHORUS};

std::vector<int16_t> sine16(double frequency, double amplitude, int frames, int rate)
{
    std::vector<int16_t> out(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        out[static_cast<size_t>(i)] = static_cast<int16_t>(
            std::lround(32767.0 * amplitude * std::sin(2.0 * 3.14159265358979 * frequency * i / rate)));
    }
    return out;
}

TEST(EffectsApi, UnitsAreMadeByTypeAndAnswerForThemselves)
{
    auratest::WavRender render;
    AURA::System *system = render.system();
    for (AURA_DSP_TYPE type : kBuiltIn) {
        AURA::DSP *dsp = nullptr;
        ASSERT_EQ(system->createDSPByType(type, &dsp), AURA_OK) << type;
        AURA_DSP_TYPE got = AURA_DSP_TYPE_UNKNOWN;
        EXPECT_EQ(dsp->getType(&got), AURA_OK);
        EXPECT_EQ(got, type);
        bool bypass = true;
        EXPECT_EQ(dsp->setBypass(true), AURA_OK);
        EXPECT_EQ(dsp->getBypass(&bypass), AURA_OK);
        EXPECT_TRUE(bypass);
        EXPECT_EQ(dsp->setParameter(0, NAN), AURA_ERR_INVALID_FLOAT);
        EXPECT_EQ(dsp->setParameter(99, 1.0f), AURA_ERR_INVALID_PARAM);
        EXPECT_EQ(dsp->release(), AURA_OK);
        EXPECT_EQ(dsp->release(), AURA_ERR_INVALID_HANDLE); // gone
    }
    AURA::DSP *none = nullptr;
    EXPECT_EQ(system->createDSPByType(AURA_DSP_TYPE_REVERB, &none), AURA_ERR_PLUGIN_MISSING);
    EXPECT_EQ(none, nullptr);
}

// Units the caller never released go with their system.
TEST(EffectsApi, ASystemTakesItsUnitsWithIt)
{
    const int64_t before = auratest::poolBytes();
    AURA_SYSTEM *handle = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND_NRT, 8);
    ASSERT_NE(handle, nullptr);
    auto *system = reinterpret_cast<AURA::System *>(handle);
    AURA::ChannelGroup *master = nullptr;
    ASSERT_EQ(system->getMasterChannelGroup(&master), AURA_OK);
    AURA::DSP *kept[2] = {};
    ASSERT_EQ(system->createDSPByType(AURA_DSP_TYPE_LOWPASS, &kept[0]), AURA_OK);
    ASSERT_EQ(master->addDSP(kept[0]), AURA_OK);
    ASSERT_EQ(system->createDSPByType(AURA_DSP_TYPE_OSCILLATOR, &kept[1]), AURA_OK);
    ASSERT_EQ(system->playDSP(AURA_CHANNEL_FREE, kept[1], false, nullptr), AURA_OK);
    ASSERT_EQ(AURA_System_Update(handle), AURA_OK);
    EXPECT_EQ(AURA_System_Release(handle), AURA_OK);
    EXPECT_EQ(auratest::poolBytes(), before);
    EXPECT_EQ(kept[0]->setBypass(true), AURA_ERR_INVALID_HANDLE);
}

// A bypassed unit on the master group passes the mix bit-exact; the same
// unit working changes it; the master's spectrum shows the tone in its bin.
TEST(EffectsApi, MasterUnitsBypassAndSpectrum)
{
    auratest::RenderFormat format;
    format.rate = 48000;
    auratest::WavRender render(format);
    AURA::System *system = render.system();
    AURA::ChannelGroup *master = nullptr;
    ASSERT_EQ(system->getMasterChannelGroup(&master), AURA_OK);
    AURA::DSP *lowpass = nullptr;
    ASSERT_EQ(system->createDSPByType(AURA_DSP_TYPE_LOWPASS, &lowpass), AURA_OK);
    ASSERT_EQ(lowpass->setParameter(0, 200.0f), AURA_OK);
    ASSERT_EQ(master->addDSP(lowpass), AURA_OK);
    ASSERT_EQ(lowpass->setBypass(true), AURA_OK);

    // 3000 Hz falls in bin 64 of a 1024-point transform at 48 kHz.
    AURA::Sound *tone = render.sound(sine16(3000.0, 0.5, 48000, 48000), 1, 48000, AURA_LOOP_NORMAL);
    ASSERT_NE(tone, nullptr);
    AURA::Channel *channel = render.play(tone);
    render.update(4);
    std::vector<float> spectrum(512);
    ASSERT_EQ(system->getSpectrum(spectrum.data(), 512, 0, AURA_DSP_FFT_WINDOW_HANNING), AURA_OK);
    render.update(4);
    ASSERT_EQ(system->getSpectrum(spectrum.data(), 512, 0, AURA_DSP_FFT_WINDOW_HANNING), AURA_OK);
    size_t loudest = 0;
    for (size_t i = 1; i < spectrum.size(); ++i) {
        loudest = spectrum[i] > spectrum[loudest] ? i : loudest;
    }
    EXPECT_EQ(loudest, 64u);
    const float bypassed = spectrum[64];
    ASSERT_EQ(channel->getSpectrum(spectrum.data(), 512, 0, AURA_DSP_FFT_WINDOW_RECT), AURA_OK);
    render.update(4); // the channel's history starts with the first request
    ASSERT_EQ(channel->getSpectrum(spectrum.data(), 512, 0, AURA_DSP_FFT_WINDOW_RECT), AURA_OK);
    EXPECT_GT(spectrum[64], 0.1f);

    ASSERT_EQ(lowpass->setBypass(false), AURA_OK);
    render.update(8);
    ASSERT_EQ(system->getSpectrum(spectrum.data(), 512, 0, AURA_DSP_FFT_WINDOW_HANNING), AURA_OK);
    EXPECT_LT(spectrum[64], bypassed * 0.001f);

    for (int bad : {0, 32, 100, 16384}) {
        EXPECT_EQ(system->getSpectrum(spectrum.data(), bad, 0, AURA_DSP_FFT_WINDOW_RECT), AURA_ERR_INVALID_PARAM);
    }
    EXPECT_EQ(system->getSpectrum(spectrum.data(), 512, 2, AURA_DSP_FFT_WINDOW_RECT), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(channel->getSpectrum(spectrum.data(), 512, 1, AURA_DSP_FFT_WINDOW_RECT), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(lowpass->release(), AURA_OK);
    render.update(2); // the mix still reaches the output without the unit
    ASSERT_EQ(system->getSpectrum(spectrum.data(), 512, 0, AURA_DSP_FFT_WINDOW_HANNING), AURA_OK);
    render.update(8);
    ASSERT_EQ(system->getSpectrum(spectrum.data(), 512, 0, AURA_DSP_FFT_WINDOW_HANNING), AURA_OK);
    EXPECT_NEAR(spectrum[64], bypassed, bypassed * 0.05f);
}

// Every unit bypassed on the master group: the render is the render
// without them, bit for bit.
TEST(EffectsApi, BypassedUnitsPassTheMixBitExact)
{
    std::vector<float> renders[2];
    for (int withUnits = 0; withUnits < 2; ++withUnits) {
        auratest::RenderFormat format;
        format.rate = 48000;
        auratest::WavRender render(format);
        AURA::System *system = render.system();
        AURA::ChannelGroup *master = nullptr;
        ASSERT_EQ(system->getMasterChannelGroup(&master), AURA_OK);
        if (withUnits) {
            for (AURA_DSP_TYPE type : kBuiltIn) {
                AURA::DSP *dsp = nullptr;
                ASSERT_EQ(system->createDSPByType(type, &dsp), AURA_OK);
                ASSERT_EQ(dsp->setBypass(true), AURA_OK);
                ASSERT_EQ(master->addDSP(dsp), AURA_OK);
            }
        }
        AURA::Sound *tone = render.sound(sine16(1234.0, 0.7, 9000, 48000), 1, 48000);
        ASSERT_NE(render.play(tone), nullptr);
        render.update(10);
        renders[withUnits] = render.finish().samples;
    }
    ASSERT_FALSE(renders[0].empty());
    EXPECT_EQ(renders[0], renders[1]);
}

// A group's units stay in its path when the group moves under another.
TEST(EffectsApi, AGroupKeepsItsUnitsWhenItMoves)
{
    auratest::RenderFormat format;
    format.rate = 48000;
    auratest::WavRender render(format);
    AURA::System *system = render.system();
    AURA::ChannelGroup *group = nullptr;
    AURA::ChannelGroup *parent = nullptr;
    ASSERT_EQ(system->createChannelGroup("effects", &group), AURA_OK);
    ASSERT_EQ(system->createChannelGroup("parent", &parent), AURA_OK);
    AURA::DSP *lowpass = nullptr;
    ASSERT_EQ(system->createDSPByType(AURA_DSP_TYPE_LOWPASS, &lowpass), AURA_OK);
    ASSERT_EQ(lowpass->setParameter(0, 200.0f), AURA_OK);
    ASSERT_EQ(group->addDSP(lowpass), AURA_OK);
    AURA::Sound *tone = render.sound(sine16(3000.0, 0.5, 48000, 48000), 1, 48000, AURA_LOOP_NORMAL);
    AURA::Channel *channel = render.play(tone, true);
    ASSERT_EQ(channel->setChannelGroup(group), AURA_OK);
    ASSERT_EQ(channel->setPaused(false), AURA_OK);
    std::vector<float> spectrum(512);
    const auto toneLevel = [&] {
        EXPECT_EQ(system->getSpectrum(spectrum.data(), 512, 0, AURA_DSP_FFT_WINDOW_HANNING), AURA_OK);
        render.update(8);
        EXPECT_EQ(system->getSpectrum(spectrum.data(), 512, 0, AURA_DSP_FFT_WINDOW_HANNING), AURA_OK);
        return spectrum[64];
    };
    const float filtered = toneLevel();
    ASSERT_EQ(parent->addGroup(group), AURA_OK);
    EXPECT_LT(toneLevel(), 1e-4f);
    ASSERT_EQ(lowpass->setBypass(true), AURA_OK);
    const float passed = toneLevel();
    EXPECT_GT(passed, 0.05f);
    EXPECT_LT(filtered, passed * 1e-3f);
}

TEST(EffectsApi, OcclusionPlaysThroughTheSimpleLowpass)
{
    AURA_SYSTEM *handle = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND_NRT, 8, AURA_INIT_SOFTWARE_OCCLUSION);
    ASSERT_NE(handle, nullptr);
    auto *system = reinterpret_cast<AURA::System *>(handle);
    const std::vector<int16_t> pcm = sine16(440.0, 0.5, 4800, 48000);
    AURA_CREATESOUNDEXINFO exinfo = auratest::userSoundInfo(static_cast<unsigned int>(pcm.size() * 2), 1, 48000);
    AURA::Sound *sound = nullptr;
    ASSERT_EQ(system->createSound(nullptr, AURA_OPENUSER | AURA_3D | AURA_LOOP_NORMAL, &exinfo, &sound), AURA_OK);
    AURA::Channel *channel = nullptr;
    ASSERT_EQ(system->playSound(AURA_CHANNEL_FREE, sound, false, &channel), AURA_OK);
    AURA::ChannelI *channeli = nullptr;
    ASSERT_EQ(AURA::ChannelI::validate(channel, &channeli), AURA_OK);
    auto *voice = static_cast<AURA::ChannelSoftware *>(channeli->mRealChannel[0]);
    ASSERT_NE(voice->mDSPLowPass, nullptr);
    EXPECT_TRUE(voice->mDSPLowPass->hasFlags(AURA::DSPI_FLAG_BYPASS)); // unoccluded: passes bit-exact
    ASSERT_EQ(voice->set3DOcclusion(0.5f, 0.0f), AURA_OK);
    EXPECT_FALSE(voice->mDSPLowPass->hasFlags(AURA::DSPI_FLAG_BYPASS));
    float cutoff = 0.0f;
    ASSERT_EQ(voice->mDSPLowPass->getParameter(0, &cutoff, nullptr, 0), AURA_OK);
    EXPECT_EQ(cutoff, 5512.5f);
    ASSERT_EQ(voice->set3DOcclusion(0.0f, 0.0f), AURA_OK);
    EXPECT_TRUE(voice->mDSPLowPass->hasFlags(AURA::DSPI_FLAG_BYPASS));
    EXPECT_EQ(AURA_System_Release(handle), AURA_OK);
}

// Every parameter of every unit set from here while two systems' real-time
// mixers run the units.
TEST(EffectsThreads, ParametersChangeWhileTwoSystemsMix)
{
    std::vector<AURA_SYSTEM *> systems;
    std::vector<AURA::DSP *> units;
    for (int s = 0; s < 2; ++s) {
        AURA_SYSTEM *handle = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND, 8, AURA_INIT_NORMAL, 256);
        ASSERT_NE(handle, nullptr);
        systems.push_back(handle);
        auto *system = reinterpret_cast<AURA::System *>(handle);
        AURA::ChannelGroup *master = nullptr;
        ASSERT_EQ(system->getMasterChannelGroup(&master), AURA_OK);
        for (AURA_DSP_TYPE type : kBuiltIn) {
            AURA::DSP *dsp = nullptr;
            ASSERT_EQ(system->createDSPByType(type, &dsp), AURA_OK);
            units.push_back(dsp);
            if (type == AURA_DSP_TYPE_OSCILLATOR) {
                ASSERT_EQ(system->playDSP(AURA_CHANNEL_FREE, dsp, false, nullptr), AURA_OK);
            } else {
                ASSERT_EQ(master->addDSP(dsp), AURA_OK);
            }
        }
    }
    for (int round = 0; round < 200; ++round) {
        for (AURA::DSP *dsp : units) {
            int count = 0;
            ASSERT_EQ(dsp->getNumParameters(&count), AURA_OK);
            for (int i = 0; i < count; ++i) {
                float min = 0.0f, max = 0.0f;
                ASSERT_EQ(dsp->getParameterInfo(i, nullptr, nullptr, nullptr, 0, &min, &max), AURA_OK);
                ASSERT_EQ(dsp->setParameter(i, min + (max - min) * static_cast<float>(round % 7) / 6.0f), AURA_OK);
            }
            (void)dsp->setBypass(round % 3 == 0);
            (void)dsp->reset();
        }
        for (AURA_SYSTEM *handle : systems) {
            ASSERT_EQ(AURA_System_Update(handle), AURA_OK);
        }
    }
    for (AURA_SYSTEM *handle : systems) {
        EXPECT_EQ(AURA_System_Release(handle), AURA_OK);
    }
}

} // namespace
