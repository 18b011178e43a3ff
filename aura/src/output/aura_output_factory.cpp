#include "output/aura_output_factory.h"

#include "aura_errors.h"
#include "base/aura_memory.h"
#include "dsp/aura_dsp_mixer.h"
#include "output/aura_output_alsa.h"
#include "output/aura_output_nosound.h"
#include "output/aura_output_wavwriter.h"


namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/output/aura_output_factory";

template <class T>
AURA_RESULT make(AURA::Output **output)
{
    T *made = AURA_New(T);
    if (!made) {
        return AURA_ERR_MEMORY;
    }
    *output = made;
    return AURA_OK;
}

bool isDevice(AURA_OUTPUTTYPE type)
{
    return type == AURA_OUTPUTTYPE_AUTODETECT || type == AURA_OUTPUTTYPE_ALSA;
}

} // namespace

namespace AURA {

std::span<const OutputEntry> builtInOutputs()
{
    static constexpr OutputEntry kOutputs[] = {
        {&alsaoutput, &OutputALSA::getDescriptionEx},
        {&nosoundoutput, &OutputNoSound::getDescriptionEx},
        {&nosoundoutput_nrt, &OutputNoSoundNRT::getDescriptionEx},
        {&wavwriteroutput, &OutputWavWriter::getDescriptionEx},
        {&wavwriteroutput_nrt, &OutputWavWriterNRT::getDescriptionEx},
    };
    return kOutputs;
}

AURA_RESULT createOutput(AURA_OUTPUTTYPE type, Output **output)
{
    if (!output) {
        return AURA_ERR_INVALID_PARAM;
    }
    *output = nullptr;
    switch (type) {
    case AURA_OUTPUTTYPE_AUTODETECT:
    case AURA_OUTPUTTYPE_ALSA: return make<OutputALSA>(output);
    case AURA_OUTPUTTYPE_NOSOUND: return make<OutputNoSound>(output);
    case AURA_OUTPUTTYPE_NOSOUND_NRT: return make<OutputNoSoundNRT>(output);
    case AURA_OUTPUTTYPE_WAVWRITER: return make<OutputWavWriter>(output);
    case AURA_OUTPUTTYPE_WAVWRITER_NRT: return make<OutputWavWriterNRT>(output);
    default: return AURA_ERR_INVALID_PARAM;
    }
}

AURA_RESULT openOutput(DSPMixer *system, AURA_OUTPUTTYPE type, OutputFormat &format,
                       void *extradriverdata, Output **out)
{
    if (!out) {
        return AURA_ERR_INVALID_PARAM;
    }
    *out = nullptr;
    Output *output = nullptr;
    AURA_RESULT result = createOutput(type, &output);
    if (result != AURA_OK) {
        return result;
    }
    OutputFormat asked = format;
    result = output->init(system, format, extradriverdata);
    if (result == AURA_OK) {
        *out = output;
        return AURA_OK;
    }
    if (!isDevice(type)) {
        (void)releaseOutput(output);
        return result;
    }
    // The application hears why through the system's callback; the
    // library itself writes nothing to standard error.
    const char *reason = static_cast<OutputALSA *>(output)->getErrorText();
    if (system && system->mCallback) {
        system->mCallback(system->mSystemHandle, AURA_SYSTEM_CALLBACKTYPE_NODEVICE,
                          const_cast<char *>(reason && reason[0] ? reason : AURA_ErrorString(result)), nullptr);
    }
    (void)releaseOutput(output);

    format = asked;
    result = createOutput(AURA_OUTPUTTYPE_NOSOUND, &output);
    if (result != AURA_OK) {
        return result;
    }
    result = output->init(system, format, extradriverdata);
    if (result != AURA_OK) {
        (void)releaseOutput(output);
        return result;
    }
    *out = output;
    return AURA_OK;
}

AURA_RESULT releaseOutput(Output *output)
{
    if (!output) {
        return AURA_OK;
    }
    (void)output->stop();
    const AURA_RESULT result = output->close();
    AURA_Delete(output);
    return result;
}

} // namespace AURA
