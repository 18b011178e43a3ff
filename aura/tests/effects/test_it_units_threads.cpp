// The IT echo and the IT low-pass take parameter changes from a thread of the
// game's while the real-time mixer runs them: a new delay rebuilds a line the
// mixer is reading. Meant for the ThreadSanitizer run.
#include "systems.h"
#include "threads.h"

#include "aura_dsp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

namespace {

TEST(ITUnitsThreads, ParameterChangesFromAnotherThreadWhileTheMixerRuns)
{
    AURA_SYSTEM *handle = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND, 8, AURA_INIT_NORMAL, 256);
    ASSERT_NE(handle, nullptr);
    auto *system = reinterpret_cast<AURA::System *>(handle);
    AURA::ChannelGroup *master = nullptr;
    ASSERT_EQ(system->getMasterChannelGroup(&master), AURA_OK);
    AURA::DSP *tone = nullptr;
    ASSERT_EQ(system->createDSPByType(AURA_DSP_TYPE_OSCILLATOR, &tone), AURA_OK);
    AURA::Channel *toneChannel = nullptr;
    ASSERT_EQ(system->playDSP(AURA_CHANNEL_FREE, tone, false, &toneChannel), AURA_OK);
    std::vector<AURA::DSP *> units;
    for (AURA_DSP_TYPE type : {AURA_DSP_TYPE_ITECHO, AURA_DSP_TYPE_ITLOWPASS}) {
        AURA::DSP *dsp = nullptr;
        ASSERT_EQ(system->createDSPByType(type, &dsp), AURA_OK);
        ASSERT_EQ(master->addDSP(dsp), AURA_OK);
        units.push_back(dsp);
    }

    // The game's thread sweeps every parameter of both units, delays
    // included, and reads them back, while this thread updates.
    constexpr int kRounds = 150;
    std::atomic<int> round{0};
    std::atomic<int> failures{0};
    std::thread game([&] {
        for (int r = 0; r < kRounds; ++r) {
            for (AURA::DSP *dsp : units) {
                int count = 0;
                failures += dsp->getNumParameters(&count) != AURA_OK;
                for (int i = 0; i < count; ++i) {
                    float min = 0.0f, max = 0.0f;
                    failures += dsp->getParameterInfo(i, nullptr, nullptr, nullptr, 0, &min, &max) != AURA_OK;
                    const float value = min + (max - min) * static_cast<float>((r + i) % 7) / 6.0f;
                    failures += dsp->setParameter(i, value) != AURA_OK;
                    float back = -1.0f;
                    failures += dsp->getParameter(i, &back, nullptr, 0) != AURA_OK;
                }
            }
            round.store(r + 1, std::memory_order_release);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    unsigned int updates = 0;
    while (round.load(std::memory_order_acquire) < kRounds) {
        ASSERT_EQ(AURA_System_Update(handle), AURA_OK);
        ++updates;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    game.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(updates, 0u);

    // The mixer went on mixing: the tone under the units is heard.
    std::vector<float> wave(512, 0.0f);
    ASSERT_TRUE(auratest::waitFor([&] {
        (void)toneChannel->getWaveData(wave.data(), static_cast<int>(wave.size()), 0);
        float peak = 0.0f;
        for (float v : wave) {
            if (!std::isfinite(v)) {
                return false;
            }
            peak = std::max(peak, std::fabs(v));
        }
        return peak > 0.0f;
    }));
    for (AURA::DSP *dsp : units) {
        EXPECT_EQ(dsp->release(), AURA_OK);
    }
    EXPECT_EQ(AURA_System_Release(handle), AURA_OK);
}

} // namespace
