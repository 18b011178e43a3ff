// aura-play's jobs: describe files, play files, play the demo.
#ifndef AURA_PLAY_PLAYER_H
#define AURA_PLAY_PLAYER_H

#include "options.h"
#include "session.h"

namespace auraplay {

// The whole program after the command line was read.
[[nodiscard]] int run(const Options &options);

[[nodiscard]] int printInfo(const Options &options);
[[nodiscard]] int playFiles(const Options &options);
[[nodiscard]] int playDemo(const Options &options);

} // namespace auraplay

#endif // AURA_PLAY_PLAYER_H
