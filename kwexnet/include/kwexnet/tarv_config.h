// What this game's login client sends with every request: one place for the
// command-line tool and the game's client alike.
#ifndef KWEXNET_TARV_CONFIG_H
#define KWEXNET_TARV_CONFIG_H

namespace KwexNet::Tarv {

inline constexpr unsigned int kGameId = 28;
inline constexpr const char *kPlatformId = "01";
inline constexpr unsigned char kProtocolVersion = 0;
inline constexpr bool kForceKick = true;
// The login service's application key for this game.
inline constexpr const char *kLoginApplicationKey = "7f3c9a2e-5b1d-4e8a-9c6f-2d0b4a7e1c35";
// Where a login service answers server discovery.
inline constexpr const char *kDiscoveryPath = "/web_http_app/server/findAvailableServer/";
// The socket messages' session code and tag for this game.
inline constexpr unsigned short kSessionCode = 28;
inline constexpr unsigned char kSessionTag = 1;

} // namespace KwexNet::Tarv

#endif // KWEXNET_TARV_CONFIG_H
