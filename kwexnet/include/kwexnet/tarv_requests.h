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
// Credentials travel only over HTTPS: every request that carries a password
// or a session id is refused unless the base URL is an https:// one, and is
// marked as carrying credentials, so it follows no redirect to another host;
// no request that started on https follows one to plain http (the URL
// loader's rule). Discovery, password recovery, the leaderboard information
// and the board's file carry neither.
//
// The base URL and the last error are shared process-wide state, used from
// the main thread only.
#ifndef KWEXNET_TARV_REQUESTS_H
#define KWEXNET_TARV_REQUESTS_H

#include <map>
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

// POST to base + "logout/". Refused unless the base URL is https://.
[[nodiscard]] bool CreateLogoutRequest(HTTPMessenger &messenger, std::string session,
                                       unsigned int gameId);

// Account and preferences. All but the forgotten-password request carry a
// password or a session, so they need an https:// base URL.
// Optional texts that are empty leave no pair in the body.
[[nodiscard]] bool CreateRegisterUserRequest(HTTPMessenger &messenger, unsigned int gameId, std::string userName,
                                             std::string password, std::string email, std::string firstName,
                                             std::string lastName);
[[nodiscard]] bool CreateForgotPasswordRequest(HTTPMessenger &messenger, unsigned int gameId, std::string email,
                                               std::string userName, std::string language);
[[nodiscard]] bool CreateModifyAccountRequest(HTTPMessenger &messenger, std::string session, unsigned int gameId,
                                              std::string password, std::string email, std::string firstName,
                                              std::string lastName);
// One pair "profile_id_<key>" per entry, in ascending key order; global
// posts to "updateGlobalPreferences/" instead of "updatePreferences/".
[[nodiscard]] bool CreateUpdatePreferencesRequest(HTTPMessenger &messenger, std::string session, unsigned int gameId,
                                                  const std::map<unsigned int, std::string> &preferences, bool global);

// A relation code: one character on the wire.
enum Relation : char {
    kRelationNone = 0, // no filter (list request only)
    kRelationFriend = 'F',
    kRelationBlock = 'B',
    kRelationIgnore = 'I',
    kRelationNotAnswered = 'N', // appears in replies only
};

// The list, optionally filtered by one code (F, B, I or N; 0 for all).
[[nodiscard]] bool CreateGetRelationsRequest(HTTPMessenger &messenger, std::string session, unsigned int gameId,
                                             Relation filter);
// Asks for, accepts, blocks or ignores: the code must be F, B or I.
[[nodiscard]] bool CreateAddRelationRequest(HTTPMessenger &messenger, std::string session, unsigned int gameId,
                                            std::string targetUserId, Relation code);
[[nodiscard]] bool CreateAddRelationByUsernameRequest(HTTPMessenger &messenger, std::string session,
                                                      unsigned int gameId, std::string targetUserName, Relation code);

// Scores and leaderboards.
[[nodiscard]] bool CreatePostScoreRequest(HTTPMessenger &messenger, std::string session, unsigned int gameId,
                                          unsigned int profileId, unsigned int value, std::string metadata);
// No session; "user_id" only when not empty.
[[nodiscard]] bool CreateGetLeaderboardRequestNoAuth(HTTPMessenger &messenger, unsigned int gameId,
                                                     unsigned int profileId, std::string userId);
// A GET of records [firstRecord, firstRecord + recordCount) of the board
// file at `fileURL`, by byte range: only Host (the URL's host name, no
// port) and Range are set. The range is computed in 64 bits. A zero record
// length or count, or a URL without a host, is refused.
[[nodiscard]] bool CreateGetLeaderboardCDNRequest(HTTPMessenger &messenger, std::string fileURL,
                                                  unsigned int recordLength, unsigned int firstRecord,
                                                  unsigned int recordCount);

// A room on a topic.
[[nodiscard]] bool CreateJoinGroupByTopicRequest(HTTPMessenger &messenger, std::string session, unsigned int gameId,
                                                 unsigned int topicId);

// Percent-encodes a form value as described above.
[[nodiscard]] std::string FormEncode(const std::string &value);

} // namespace Tarv
} // namespace KwexNet

#endif // KWEXNET_TARV_REQUESTS_H
