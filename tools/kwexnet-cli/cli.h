// kwexnet-cli: talks to a login service (or any HTTP server) through the
// KwexNet library from the command line, and decrypts data-file bytes.
// The logic lives here so that tests can run it in-process.
#ifndef KWEXNET_CLI_H
#define KWEXNET_CLI_H

#include <kwexnet/tarv_config.h>

#include <iosfwd>
#include <string>
#include <vector>

namespace kwexnet_cli {

// What the game's login client sends with every login.
inline constexpr unsigned int kGameId = KwexNet::Tarv::kGameId;
inline constexpr const char *kPlatformId = KwexNet::Tarv::kPlatformId;
inline constexpr unsigned char kProtocolVersion = KwexNet::Tarv::kProtocolVersion;
inline constexpr bool kForceKick = KwexNet::Tarv::kForceKick;
inline constexpr const char *kLoginApplicationKey = KwexNet::Tarv::kLoginApplicationKey;
inline constexpr const char *kDiscoveryPath = KwexNet::Tarv::kDiscoveryPath;

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1; // failed exchange, refused request, bad reply
inline constexpr int kExitUsage = 2;

} // namespace kwexnet_cli

// Runs one command. `args` are the arguments after the program name.
// Results go to `out`, diagnostics (one line each) and usage to `err`.
// Network commands pump platform::RunLoop::main() on the calling thread, so
// call it from the thread that owns the main loop. Returns the exit code.
int runKwexnetCli(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

#endif // KWEXNET_CLI_H
