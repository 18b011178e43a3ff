// kwexnet-cli: talks to a login service (or any HTTP server) through the
// KwexNet library from the command line, and decrypts data-file bytes.
// The logic lives here so that tests can run it in-process.
#ifndef KWEXNET_CLI_H
#define KWEXNET_CLI_H

#include <iosfwd>
#include <string>
#include <vector>

namespace kwexnet_cli {

// What the game's login client sends with every login.
inline constexpr unsigned int kGameId = 28;
inline constexpr const char *kPlatformId = "01";
inline constexpr unsigned char kProtocolVersion = 0;
inline constexpr bool kForceKick = true;
// The login service's application key for this game.
inline constexpr const char *kLoginApplicationKey = "7f3c9a2e-5b1d-4e8a-9c6f-2d0b4a7e1c35";
// Where a login service answers server discovery.
inline constexpr const char *kDiscoveryPath = "/web_http_app/server/findAvailableServer/";

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
