// aura-play's effect units: the --dsp arguments, resolved against the
// engine's built-in units, and the --list-dsp listing.
#ifndef AURA_PLAY_EFFECTS_H
#define AURA_PLAY_EFFECTS_H

#include "aura.hpp"

#include <string>
#include <utility>
#include <vector>

namespace auraplay {

struct EffectSpec {
    AURA_DSP_TYPE type = AURA_DSP_TYPE_UNKNOWN;
    std::string name; // the command-line name
    int channels = 0; // a generator's own channel count, else 0
    std::vector<std::pair<int, float>> parameters;
};

// The command-line name of a unit: its name without "AURA ", lower case,
// spaces as hyphens ("AURA Lowpass Simple" is lowpass-simple).
[[nodiscard]] std::string effectName(const char *unitName);

// Reads "NAME[:param=value,...]": a parameter is named by its index or by a
// unique case-insensitive prefix of its name without spaces; an enumerated
// value may be given by its text. False with the reason in `error`.
[[nodiscard]] bool resolveEffect(AURA::System *system, const std::string &text, EffectSpec &spec, std::string &error);

// Every built-in unit with its parameters (range, default, label).
[[nodiscard]] std::string listEffects(AURA::System *system);

// Makes the units and sets their parameters; the ones without a channel
// count of their own go on the master group in order (the first processes
// first). Generators are returned in `generators` for the caller to play.
[[nodiscard]] AURA_RESULT applyEffects(AURA::System *system, const std::vector<EffectSpec> &specs,
                                       std::vector<AURA::DSP *> &units, std::vector<AURA::DSP *> &generators);

} // namespace auraplay

#endif // AURA_PLAY_EFFECTS_H
