// Choosing, opening and releasing the system's output.
#ifndef AURA_OUTPUT_FACTORY_H
#define AURA_OUTPUT_FACTORY_H

#include "aura.h"
#include "output/aura_output.h"
#include "output/aura_output_description.h"

#include <span>

namespace AURA {

// Every output the system registers, in registration order: its record and
// the function that fills it.
struct OutputEntry {
    AURA_OUTPUT_DESCRIPTION_EX *record;
    AURA_OUTPUT_DESCRIPTION_EX *(*describe)();
};
[[nodiscard]] std::span<const OutputEntry> builtInOutputs();

// Makes an output of a type (AUTODETECT and ALSA give the sound device);
// 37 for an unknown type or a null receiver, 44 when out of memory.
[[nodiscard]] AURA_RESULT createOutput(AURA_OUTPUTTYPE type, Output **output);

// Creates and inits an output. When the sound device cannot be opened for
// AUTODETECT or ALSA, says so in one line on stderr and opens the real-time
// no-sound output instead, so that the game's clock keeps running. The
// output is not started. On failure *out is null.
[[nodiscard]] AURA_RESULT openOutput(DSPMixer *system, AURA_OUTPUTTYPE type, OutputFormat &format,
                                     void *extradriverdata, Output **out);

// Stops, closes and deletes an output (null is ignored); the result is
// close's, where a WAV writer reports a failed write.
AURA_RESULT releaseOutput(Output *output);

} // namespace AURA

#endif // AURA_OUTPUT_FACTORY_H
