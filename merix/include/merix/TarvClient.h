// The game's login-service client: plain functions that queue the login
// service's requests, send them one at a time on one HTTP messenger (a
// messenger aborts the exchange in flight when the next one is sent), and
// keep what the screens poll: the login state, a pending / ok / error status
// with its text, the session and user id, the 25 achievement pairs and one
// page queue per leaderboard. Server discovery runs first whenever a request
// needs the service and no server is known yet.
//
// After a login the client updates the account's preferences, posts
// improved high scores, asks for a chat room and connects the chat layer;
// TarvUpdate() is the per-frame work the game calls (the chat's bytes).
//
// Main thread only: completions arrive on the main run loop.
#ifndef MERIX_TARV_CLIENT_H
#define MERIX_TARV_CLIENT_H

#include <kwexnet/tarv_responses.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

struct TarvConfig {
    // The discovery endpoint's full URL (http or https). An answer that came
    // over plain http may only name the discovery URL's own host and port or
    // one of allowedHosts ("HOST" or "HOST:PORT"; a port not written is the
    // answer's scheme's default): anyone on the network could have written it.
    std::string discoveryURL;
    std::string applicationKey;
    // A further certificate authority (PEM) to trust; empty for none.
    std::string caFile;
    double timeoutSeconds = 30.0;
    std::vector<std::string> allowedHosts;
};

enum TarvStatus { kTarvStatusNone = 0, kTarvStatusPending = 1, kTarvStatusOk = 2, kTarvStatusError = 3 };
enum TarvLoginState { kTarvLoggedOut = 0, kTarvLoggingIn = 1, kTarvLoggedIn = 2 };

inline constexpr int kTarvBoardCount = 6;
inline constexpr unsigned int kTarvPageRows = 25;

// Replaces the configuration (the application key defaults to the game's).
void Tarv_Configure(const TarvConfig &config);
// Lines about what the client did ("login ok", "post slot=0 value=5 ok",
// "chat message from ID: TEXT" ...), for drivers and logs.
void Tarv_SetEventSink(std::function<void(const std::string &)> sink);

void Tarv_SetAchievementList(int *pairs);
[[nodiscard]] const int *Tarv_GetAchievementList(); // 25 {number, unlocked}
void Tarv_LoginSave(unsigned char *name, unsigned char *password);
void Tarv_LoginUpdate(unsigned char *name, unsigned char *password, int login);
[[nodiscard]] bool Tarv_IsLoggedIn();
void TarvLogin();
void TarvRecoverPassword();
void TarvCancelCurrentRequest();
void TarvLogout();
void TarvPostScore(int score, int slot);
void TarvGetLeaderboard(int board, bool force);
void Tarv_setFriendViewMode(int mode);
// Sends profile entries 1, 4 and 5 to the account, then posts improved
// high scores; nothing while logged out.
void TarvUpdatePreferences();
// The per-frame work: the chat layer's connection and messages.
void TarvUpdate();

// Creates an account (status pending, then ok or error); on success the
// achievement list starts again all locked. The caller logs in after it.
void TarvRegisterUser(const std::string &userName, const std::string &password, const std::string &email,
                      const std::string &firstName, const std::string &lastName);
// The last account creation's outcome (its error text is Tarv_GetErrorText).
[[nodiscard]] TarvStatus Tarv_GetRegisterStatus();
// The relations list (all of them), and a relation to a player by user name
// ('F' ask for friendship, 'B' block), which reads the list again once the
// service has taken it. Nothing while logged out.
void TarvGetRelations();
void TarvAddRelationByName(const std::string &userName, char code);
[[nodiscard]] const KwexNet::Tarv::GetRelationsResponse &Tarv_GetRelations();
// Grows by one whenever the list or its error changes.
[[nodiscard]] unsigned Tarv_GetRelationsRevision();
// Empty, or why the last list or relation request failed.
[[nodiscard]] const std::string &Tarv_GetRelationsError();

// The chat room: joining asks the service for a room on topic 0 and, once
// it has answered, connects the chat layer when it is not connected;
// leaving disconnects it (the socket server sees the connection close).
struct TarvRoom {
    bool joined = false;
    int serverId = 0;
    std::string address;
    int groupId = 0;
};
void TarvJoinRoom();
void TarvLeaveRoom();
[[nodiscard]] const TarvRoom &Tarv_GetRoom();
// The last chat lines received ("ID: TEXT"), oldest first, and a count
// that grows with each.
inline constexpr std::size_t kTarvChatLinesKept = 8;
[[nodiscard]] const std::deque<std::string> &Tarv_GetChatLines();
[[nodiscard]] unsigned Tarv_GetChatRevision();

extern int currentBoard;

// The login and retrieve-password screens' texts (cut to 63 bytes).
void Tarv_SetLoginEmail(const char *email);
void Tarv_SetLoginPassword(const char *password);
[[nodiscard]] const std::string &Tarv_GetLoginEmail();
[[nodiscard]] const std::string &Tarv_GetLoginPassword();

[[nodiscard]] TarvLoginState Tarv_GetLoginState();
[[nodiscard]] TarvStatus Tarv_GetStatus();
[[nodiscard]] const std::string &Tarv_GetErrorText();
[[nodiscard]] const std::string &Tarv_GetSession();
[[nodiscard]] const std::string &Tarv_GetUserId();
[[nodiscard]] int Tarv_GetFriendViewMode();
[[nodiscard]] const KwexNet::Tarv::CDNLeaderboard &Tarv_GetLeaderboard(int board);
// True while a request is in flight or queued.
[[nodiscard]] bool Tarv_IsBusy();

// The chat layer: a line to the room (false when not registered).
bool TarvChatSay(const std::string &text);
// "idle", "waiting", "connecting" or "connected".
[[nodiscard]] const char *Tarv_GetChatState();

#endif // MERIX_TARV_CLIENT_H
