// aura-play's jobs: describe files, play files, play the demo.
#ifndef AURA_PLAY_PLAYER_H
#define AURA_PLAY_PLAYER_H

#include "effects.h"
#include "options.h"
#include "session.h"

namespace auraplay {

// The whole program after the command line was read.
[[nodiscard]] int run(const Options &options);

[[nodiscard]] int printInfo(const Options &options);
[[nodiscard]] int playFiles(const Options &options, const std::vector<EffectSpec> &effects = {});
// Plays generator units (and the other units after them) for --duration.
[[nodiscard]] int playGenerators(const Options &options, const std::vector<EffectSpec> &effects);
[[nodiscard]] int playDemo(const Options &options);

} // namespace auraplay

#endif // AURA_PLAY_PLAYER_H
