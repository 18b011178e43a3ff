// An offline DSP graph for tests: a system with its DSP engine, units built
// from descriptions, and a pull of the sound card with increasing ticks.
// Header-only: it compiles in the groups that link the engine's internals.
#ifndef AURA_TESTS_DSP_HARNESS_H
#define AURA_TESTS_DSP_HARNESS_H

#include "base/aura_string.h"
#include "system/aura_systemi.h"
#include "dsp/aura_dsp_connectioni.h"
#include "dsp/aura_dsp_filter.h"
#include "dsp/units/aura_dsp_soundcard.h"
#include "os/aura_os.h"
#include "engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

namespace auratest {

// What a test unit does in its read callback.
struct UnitBehaviour {
    float value = 0.0f;          // constant written when generating
    bool generate = false;       // ignore the input, write value
    float gain = 1.0f;           // else scale the input
    float step = 0.0f;           // value grows by step each frame (generators)
    std::atomic<int> reads{0};   // callback runs
    float next = 0.0f;           // running value of a stepping generator
};

inline AURA_RESULT testRead(AURA_DSP_STATE *state, float *in, float *out, unsigned int length,
                            int inchannels, int outchannels)
{
    auto *unit = static_cast<AURA::DSPI *>(state->instance);
    auto *b = static_cast<UnitBehaviour *>(unit->mDescription.userdata);
    b->reads.fetch_add(1, std::memory_order_relaxed);
    for (unsigned int f = 0; f < length; ++f) {
        for (int c = 0; c < outchannels; ++c) {
            const size_t i = static_cast<size_t>(f) * static_cast<size_t>(outchannels) + static_cast<size_t>(c);
            if (b->generate) {
                out[i] = b->step != 0.0f ? b->next : b->value;
            } else {
                out[i] = c < inchannels ? in[i] * b->gain : 0.0f;
            }
        }
        if (b->generate && b->step != 0.0f) {
            b->next += b->step;
        }
    }
    return AURA_OK;
}

class Harness {
public:
    explicit Harness(unsigned int blockSize = 256, AURA_SOUND_FORMAT format = AURA_SOUND_FORMAT_PCMFLOAT)
    {
        system.mDSPBlockSize = blockSize;
        system.mOutputFormat = format;
        poolBytes = auratest::poolBytes();
        init = system.initDSPEngine();
        head = system.mDSPSoundCard;
    }
    ~Harness()
    {
        for (AURA::DSPI *unit : units) {
            (void)unit->release(true);
        }
        (void)system.closeDSPEngine();
    }
    Harness(const Harness &) = delete;
    Harness &operator=(const Harness &) = delete;

    // A filter unit; channels > 0 makes it a generator of that width.
    AURA::DSPFilter *unit(const char *name, int channels = 0, bool withRead = true)
    {
        behaviours.push_back(std::make_unique<UnitBehaviour>());
        AURA::AURA_DSP_DESCRIPTION_EX description{};
        AURA_strncpy(description.name, name, 31);
        description.version = 0x00010100;
        description.channels = channels;
        description.read = withRead ? testRead : nullptr;
        description.userdata = behaviours.back().get();
        description.mCategory = AURA::AURA_DSP_CATEGORY_FILTER;
        AURA::DSPI *dsp = nullptr;
        EXPECT_EQ(system.createDSP(&description, &dsp, true), AURA_OK);
        dsp->setActive(true);
        behaviours.back()->generate = channels > 0;
        units.push_back(dsp);
        return static_cast<AURA::DSPFilter *>(dsp);
    }
    static UnitBehaviour &of(AURA::DSPI *unit)
    {
        return *static_cast<UnitBehaviour *>(unit->mDescription.userdata);
    }
    // Releases a unit made by unit() before the harness ends.
    void release(AURA::DSPI *dsp)
    {
        std::erase(units, dsp);
        EXPECT_EQ(dsp->release(true), AURA_OK);
    }

    // One block, as an output's mix step makes it.
    AURA_RESULT pull(void *out, unsigned int frames, int channels = 2,
                     AURA_SPEAKERMODE mode = AURA_SPEAKERMODE_STEREO)
    {
        AURA::CriticalSectionGuard guard(system.mDSPCrit);
        (void)system.flushDSPConnectionRequests(false);
        unsigned int length = frames;
        return head->read(out, &length, mode, channels, system.nextDSPTick());
    }
    std::vector<float> pullFloats(unsigned int frames, int channels = 2)
    {
        std::vector<float> out(static_cast<size_t>(frames) * static_cast<size_t>(channels), -99.0f);
        EXPECT_EQ(pull(out.data(), frames, channels), AURA_OK);
        return out;
    }
    int connectionsInUse() const { return system.mDSPConnectionPool.getNumInUse(); }

    AURA::SystemI system;
    AURA_RESULT init = AURA_OK;
    AURA::DSPSoundCard *head = nullptr;
    int64_t poolBytes = 0;
    std::vector<std::unique_ptr<UnitBehaviour>> behaviours;
    std::vector<AURA::DSPI *> units;
};

// A built-in effect unit of the harness's system, every channel enabled.
template <class Unit>
Unit *makeEffect(Harness &harness)
{
    AURA::DSPI *dsp = nullptr;
    EXPECT_EQ(harness.system.createDSPInternal(Unit::getDescriptionEx(), &dsp, true), AURA_OK);
    if (!dsp) {
        return nullptr;
    }
    harness.units.push_back(dsp);
    dsp->mDSPState.speakermask = 0xFFFF;
    return static_cast<Unit *>(dsp);
}

// One call of a unit's read callback over a whole interleaved signal.
inline std::vector<float> runEffect(AURA::DSPI *unit, const std::vector<float> &in, int channels)
{
    std::vector<float> out(in.size(), -99.0f);
    std::vector<float> copy = in;
    unit->mDSPState.instance = unit;
    EXPECT_EQ(unit->mDescription.read(&unit->mDSPState, copy.data(), out.data(),
                                      static_cast<unsigned int>(in.size() / static_cast<size_t>(channels)), channels,
                                      channels),
              AURA_OK);
    return out;
}

inline int numInputs(AURA::DSPI *unit)
{
    int n = -1;
    EXPECT_EQ(unit->getNumInputs(&n, true), AURA_OK);
    return n;
}

} // namespace auratest

#endif // AURA_TESTS_DSP_HARNESS_H
