// The reverbs' unit: the environmental reverb kernel behind a send bus.
// Channels feed it through their reverb connections; it mixes into the
// master group wet only. It is the system's own unit, made for the global
// reverb's instances, the 3D reverb and each user reverb, and no type
// creates it.
#ifndef AURA_DSP_REVERB_H
#define AURA_DSP_REVERB_H

#include "dsp/effects/aura_dsp_effect.h"
#include "dsp/effects/aura_sfxreverb.h"

namespace AURA {

// What a property record asks of the kernel.
struct SfxReverbSettings {
    float reflectionsGain = 0.0f; // on the reflections tap
    float lateInputGain = 0.0f; // on the late input taps
    float inputLowpass = 1.0f; // g of the input lowpass filters
    float lateGain[ASfxDsp::NUM_LATE] = {};
    float damping[ASfxDsp::NUM_LATE] = {};
    float lateTapStart = 0.06f; // seconds to the first late input tap
    float diffusion = 0.63f; // allpass coefficient
    float mix = 1.0f; // butterfly coefficient
};

// Fixed by the kernel: the feedback scale of its late network.
inline constexpr float SFXREVERB_FEEDBACK = 0.25f;

// Our mapping of a property record onto a kernel whose late lines have the
// given lengths in samples, at `rate`. Out-of-range and non-finite fields
// are clamped to the property ranges.
SfxReverbSettings mapReverbProperties(const AURA_REVERB_PROPERTIES &properties, const int *lateLengths, float rate);

class DSPSfxReverb : public DSPEffect<DSPSfxReverb> {
public:
    static AURA_DSP_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT createInternal();
    AURA_RESULT releaseInternal();
    AURA_RESULT resetInternal();
    AURA_RESULT readInternal(float *in, float *out, unsigned int length, int inchannels, int outchannels);
    AURA_RESULT setParameterInternal(int index, float value);
    AURA_RESULT getParameterInternal(int index, float *value, char *text);

    // Writes the kernel's targets for a property record, under the DSP
    // lock; the kernel fades to them over its next block.
    AURA_RESULT setProperties(const AURA_REVERB_PROPERTIES &properties);

    // One kernel per output channel, each fed by its own channel, so that a
    // sound panned to one side rings on that side.
    static constexpr int MAX_KERNELS = 8;
    ASfxDsp mKernel[MAX_KERNELS];
    int mNumKernels = 0;
    bool mKernelReady = false;
};

} // namespace AURA

#endif // AURA_DSP_REVERB_H
