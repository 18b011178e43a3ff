#include "dsp/effects/aura_dsp_effect.h"

#include "dsp/effects/aura_dsp_delays.h"
#include "dsp/effects/aura_dsp_dynamics.h"
#include "dsp/effects/aura_dsp_filters.h"
#include "dsp/effects/aura_dsp_itunits.h"
#include "dsp/effects/aura_dsp_oscillator.h"
#include "dsp/effects/aura_dsp_pitchshift.h"

#include <cstdio>

namespace AURA {

void formatParameter(char *text, float value)
{
    std::snprintf(text, DSP_PARAMETER_TEXT, "%.02f", static_cast<double>(value));
}

void formatParameterInt(char *text, int value)
{
    std::snprintf(text, DSP_PARAMETER_TEXT, "%d", value);
}

void formatParameterPercent(char *text, float value)
{
    std::snprintf(text, DSP_PARAMETER_TEXT, "%.1f", static_cast<double>(value) * 100.0);
}

std::span<const EffectUnitEntry> builtInEffectUnits()
{
    // The engine's registration order; units not built yet keep their
    // places free between these.
    static constexpr EffectUnitEntry kUnits[] = {
        {&dsposcillator, &DSPOscillator::getDescriptionEx},
        {&dsplowpass, &DSPLowPass::getDescriptionEx},
        {&dsplowpass2, &DSPLowPass2::getDescriptionEx},
        {&dsplowpass_simple, &DSPLowPassSimple::getDescriptionEx},
        {&dsphighpass, &DSPHighPass::getDescriptionEx},
        {&dspecho_desc, &DSPEcho::getDescriptionEx},
        {&dspflange, &DSPFlange::getDescriptionEx},
        {&dspdistortion, &DSPDistortion::getDescriptionEx},
        {&dspnormalize, &DSPNormalize::getDescriptionEx},
        {&dspparameq, &DSPParamEq::getDescriptionEx},
        {&dsppitchshift, &DSPPitchShift::getDescriptionEx},
        {&dspchorus, &DSPChorus::getDescriptionEx},
        {&dspitecho, &DSPITEcho::getDescriptionEx},
        {&dspcompressor, &DSPCompressor::getDescriptionEx},
    };
    return kUnits;
}

} // namespace AURA
