// What every built-in effect unit shares: a real C++ class built by its
// description's construction hook, static callbacks that step from the
// callback state to the unit and call its `...Internal` member, the pass that
// applies each parameter's default at creation, the parameter texts and the
// memory-usage callback with its memory-counted flag.
//
// A unit is written as `class DSPX : public DSPEffect<DSPX>` with
// createInternal, readInternal, setParameterInternal and
// getParameterInternal, and where it has them releaseInternal and
// resetInternal: describe() sets the release and reset callbacks only for
// members that exist. A unit that declares kCountsMemory reports its blocks
// (getMemoryUsedImpl, none by default) once through the memory-counted flag;
// the others report their object size.
#ifndef AURA_DSP_EFFECT_H
#define AURA_DSP_EFFECT_H

#include "base/aura_denormals.h"
#include "base/aura_memorytracker.h"
#include "dsp/aura_dsp_filter.h"
#include "dsp/aura_dsp_mixer.h"

#include <atomic>
#include <cstring>
#include <new>
#include <span>

namespace AURA {

inline constexpr int EFFECT_MAXCHANNELS = 16; // channels a unit keeps state for

// Bytes a unit writes into a parameter text (the buffer DSPI hands over is
// larger).
inline constexpr int DSP_PARAMETER_TEXT = 16;

// The parameter texts: "%.02f", "%d", and "%.1f" of value x 100 for
// parameters held as 0..1 with the label "%".
void formatParameter(char *text, float value);
void formatParameterInt(char *text, int value);
void formatParameterPercent(char *text, float value);

// A float that API threads set and the mixer reads.
class ParameterFloat {
public:
    ParameterFloat() = default;
    explicit ParameterFloat(float v)
        : mValue(v)
    {
    }
    ParameterFloat(const ParameterFloat &) = delete;
    ParameterFloat &operator=(const ParameterFloat &) = delete;
    ParameterFloat &operator=(float v)
    {
        mValue.store(v, std::memory_order_relaxed);
        return *this;
    }
    operator float() const { return mValue.load(std::memory_order_relaxed); } // NOLINT: reads like a float
private:
    std::atomic<float> mValue{0.0f};
};

// The ±1e-20 offset that recursive filters add to keep their state out of
// denormal numbers; its sign alternates from frame to frame. One per unit
// type and mixer thread, so that two systems mixing at once never share it.
template <class Unit>
struct DenormalGuard {
    static float &value()
    {
        static thread_local float d = 1.0e-20f;
        return d;
    }
};

template <class Unit>
class DSPEffect : public DSPFilter {
public:
    static DSPI *construct(void *memory) { return ::new (memory) Unit; }

    static Unit *fromState(AURA_DSP_STATE *state)
    {
        return state && state->instance ? static_cast<Unit *>(static_cast<DSPI *>(state->instance)) : nullptr;
    }

    static AURA_RESULT createCallback(AURA_DSP_STATE *state)
    {
        Unit *unit = fromState(state);
        return unit ? unit->createInternal() : AURA_ERR_INVALID_PARAM;
    }
    static AURA_RESULT releaseCallback(AURA_DSP_STATE *state)
    {
        Unit *unit = fromState(state);
        return unit ? unit->releaseInternal() : AURA_ERR_INVALID_PARAM;
    }
    static AURA_RESULT resetCallback(AURA_DSP_STATE *state)
    {
        Unit *unit = fromState(state);
        return unit ? unit->resetInternal() : AURA_ERR_INVALID_PARAM;
    }
    static AURA_RESULT readCallback(AURA_DSP_STATE *state, float *in, float *out, unsigned int length, int inchannels,
                                    int outchannels)
    {
        Unit *unit = fromState(state);
        if (!unit) {
            return AURA_ERR_INVALID_PARAM;
        }
        // Every feedback path of every unit, whatever thread mixes it.
        const ScopedDenormalFlush flush;
        return unit->readInternal(in, out, length, inchannels, outchannels);
    }
    static AURA_RESULT setParameterCallback(AURA_DSP_STATE *state, int index, float value)
    {
        Unit *unit = fromState(state);
        return unit ? unit->setParameterInternal(index, value) : AURA_ERR_INVALID_PARAM;
    }
    static AURA_RESULT getParameterCallback(AURA_DSP_STATE *state, int index, float *value, char *text)
    {
        Unit *unit = fromState(state);
        if (!unit || !value || !text) {
            return AURA_ERR_INVALID_PARAM;
        }
        return unit->getParameterInternal(index, value, text);
    }
    // Reports the unit's own blocks once: a second count of the same unit
    // adds nothing until a count without a tracker clears the flag.
    static AURA_RESULT getMemoryUsedCallback(AURA_DSP_STATE *state, MemoryTracker *tracker)
    {
        Unit *unit = fromState(state);
        if (!unit) {
            return AURA_ERR_INVALID_PARAM;
        }
        if (tracker && unit->mMemoryCounted) {
            return AURA_OK;
        }
        const AURA_RESULT result = unit->getMemoryUsedImpl(tracker);
        if (result == AURA_OK) {
            unit->mMemoryCounted = tracker != nullptr;
        }
        return result;
    }
    // Units without a flag of their own report their object size.
    static AURA_RESULT getObjectMemoryCallback(AURA_DSP_STATE *state, MemoryTracker *tracker)
    {
        Unit *unit = fromState(state);
        return unit ? unit->DSPI::getMemoryUsedImpl(tracker) : AURA_ERR_INVALID_PARAM;
    }

    // A unit that owns no blocks reports nothing.
    AURA_RESULT getMemoryUsedImpl(MemoryTracker * /*tracker*/) { return AURA_OK; }

protected:
    // Fills the description: the callbacks of the members the unit has.
    static AURA_DSP_DESCRIPTION_EX describe(const char *name, AURA_DSP_TYPE type,
                                            std::span<AURA_DSP_PARAMETERDESC> parameters, int channels = 0)
    {
        AURA_DSP_DESCRIPTION_EX d{};
        std::strncpy(d.name, name, sizeof(d.name) - 1);
        d.version = 0x00010100;
        d.channels = channels;
        d.create = &createCallback;
        d.read = &readCallback;
        d.setparameter = &setParameterCallback;
        d.getparameter = &getParameterCallback;
        if constexpr (requires(Unit & u) { u.releaseInternal(); }) {
            d.release = &releaseCallback;
        }
        if constexpr (requires(Unit & u) { u.resetInternal(); }) {
            d.reset = &resetCallback;
        }
        if constexpr (requires { Unit::kCountsMemory; }) {
            d.getmemoryused = &getMemoryUsedCallback;
        } else {
            d.getmemoryused = &getObjectMemoryCallback;
        }
        d.numparameters = static_cast<int>(parameters.size());
        d.paramdesc = parameters.empty() ? nullptr : parameters.data();
        d.mType = type;
        d.mSize = sizeof(Unit);
        d.mCategory = AURA_DSP_CATEGORY_FILTER;
        d.construct = &construct;
        return d;
    }

    // Applies every parameter's default through the clamping setter; the
    // first failure is returned.
    AURA_RESULT applyDefaults()
    {
        for (int i = 0; i < mDescription.numparameters; ++i) {
            const AURA_RESULT result = setParameter(i, mDescription.paramdesc[i].defaultval);
            if (result != AURA_OK) {
                return result;
            }
        }
        return AURA_OK;
    }

    [[nodiscard]] float outputRate() const { return mSystem ? static_cast<float>(mSystem->mOutputRate) : 48000.0f; }

    // The channels among the first `channels` (at most 16) that the
    // speaker mask enables.
    [[nodiscard]] unsigned int activeMask(int channels) const
    {
        if (channels <= 0) {
            return 0;
        }
        const unsigned int all = channels >= 16 ? 0xFFFFu : ((1u << channels) - 1u);
        return mDSPState.speakermask & all;
    }

    static void copyBlock(const float *in, float *out, unsigned int length, int channels)
    {
        if (in != out && channels > 0) {
            std::memmove(out, in, sizeof(float) * length * static_cast<std::size_t>(channels));
        }
    }

    // One channel of an interleaved block, unchanged (in and out point at
    // the channel's first sample).
    static void copyChannel(const float *in, float *out, unsigned int length, int stride)
    {
        if (in == out) {
            return;
        }
        for (unsigned int i = 0; i < length; ++i) {
            out[static_cast<std::size_t>(i) * stride] = in[static_cast<std::size_t>(i) * stride];
        }
    }

    // Runs kernel(channel, in, out, length, stride, d) over every enabled
    // channel (below 16) and copies the others. Each channel starts from
    // the block's offset d, whose sign the kernel flips every frame; the
    // guard then carries on from the block's last frame.
    template <class Kernel>
    static void runPerChannel(const float *in, float *out, unsigned int length, int channels, unsigned int mask,
                              float &dc, Kernel &&kernel)
    {
        const float d0 = dc;
        for (int c = 0; c < channels; ++c) {
            if (c < 16 && (mask & (1u << c))) {
                kernel(c, in + c, out + c, length, channels, d0);
            } else {
                copyChannel(in + c, out + c, length, channels);
            }
        }
        dc = (length & 1u) ? -d0 : d0;
    }

public:
    bool mMemoryCounted = false;
};

// Every effect unit the system registers, in registration order.
struct EffectUnitEntry {
    AURA_DSP_DESCRIPTION_EX *record;
    AURA_DSP_DESCRIPTION_EX *(*describe)();
};
std::span<const EffectUnitEntry> builtInEffectUnits();

} // namespace AURA

#endif // AURA_DSP_EFFECT_H
