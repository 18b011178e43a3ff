// Login-service request builders. Each one clears the messenger and leaves
// it holding a form-encoded POST, ready for sendRequest; none sends.
//
// Every builder returns true when the messenger is ready to send. On false
// the messenger holds no request at all (so a send fails rather than
// repeating an older request) and GetLastRequestError() says why.
//
// Form values are application/x-www-form-urlencoded: A-Z a-z 0-9 - . _ ~
// stay as they are, a space becomes "+", every other byte %XX.
//
// Credentials travel only over HTTPS: requests that carry a password are
// refused unless the base URL is an https:// one. Login and logout (the
// password, the session id) are marked as carrying credentials, so they
// follow no redirect to another host; no request that started on https
// follows one to plain http (the URL loader's rule).
//
// The base URL and the last error are shared process-wide state, used from
// the main thread only.
#ifndef KWEXNET_TARV_REQUESTS_H
#define KWEXNET_TARV_REQUESTS_H

#include <string>

#include "kwexnet/http_messenger.h"

namespace KwexNet {
namespace Tarv {

// The base URL becomes "https://" + host when secure, else "http://" + host.
// The host text is used as given: it carries any path and the trailing "/"
// that the request paths are appended to.
void SetGlobalURL(std::string host, bool secure);
[[nodiscard]] const std::string &GetGlobalURL();

// Why the last builder returned false; empty after a builder succeeded.
[[nodiscard]] const std::string &GetLastRequestError();

// Server discovery: POST "game_id=<id>" to `url` itself (http or https).
[[nodiscard]] bool CreateFindServerRequest(HTTPMessenger &messenger, const char *url,
                                           unsigned int gameId);

// POST to base + "login/". Refused unless the base URL is https://.
[[nodiscard]] bool CreateLoginRequest(HTTPMessenger &messenger, std::string email,
                                      std::string password, unsigned int gameId,
                                      std::string secretKey, std::string platformId,
                                      unsigned char protocolVersion, bool forceKick);

// POST to base + "logout/".
[[nodiscard]] bool CreateLogoutRequest(HTTPMessenger &messenger, std::string session,
                                       unsigned int gameId);

// Percent-encodes a form value as described above.
[[nodiscard]] std::string FormEncode(const std::string &value);

} // namespace Tarv
} // namespace KwexNet

#endif // KWEXNET_TARV_REQUESTS_H
