// aura-play: plays or renders sound files with the Aura engine.
#include "options.h"
#include "player.h"

#include <cstdio>
#include <string>
#include <vector>

#ifndef AURA_PLAY_VERSION
#define AURA_PLAY_VERSION "0"
#endif

int main(int argc, char **argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    auraplay::Options options;
    const auraplay::ParseResult parsed = auraplay::parseOptions(args, options);
    if (!parsed.ok) {
        std::fprintf(stderr, "aura-play: %s\nTry 'aura-play --help'.\n", parsed.error.c_str());
        return auraplay::kExitUsage;
    }
    if (options.help) {
        std::fputs(auraplay::usageText().c_str(), stdout);
        return auraplay::kExitOk;
    }
    if (options.version) {
        std::printf("aura-play %s\n", AURA_PLAY_VERSION);
        return auraplay::kExitOk;
    }
    return auraplay::run(options);
}
