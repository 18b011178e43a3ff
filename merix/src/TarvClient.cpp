#include "merix/TarvClient.h"

#include "merix/AchievementManager.h"
#include "merix/ChatClient.h"
#include "merix/OGCBridge.h"

#include <game/savegamedata.h>
#include <kwexnet/http_messenger.h>
#include <kwexnet/tarv_config.h>
#include <kwexnet/tarv_requests.h>
#include <kwexnet/xml_reader.h>
#include <platform/device.h>
#include <platform/url_loader.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string_view>

int currentBoard = 0;

namespace {

using namespace KwexNet;

enum class JobKind {
    Discover,
    Login,
    Logout,
    Recover,
    Preferences,
    PostScore,
    LeaderboardInfo,
    LeaderboardPage,
    JoinRoom,
    Register,
    GetRelations,
    AddRelation
};

struct Job {
    JobKind kind = JobKind::Discover;
    std::string session;
    std::string email;
    std::string password;
    std::map<unsigned int, std::string> preferences;
    unsigned int slot = 0;
    unsigned int value = 0;
    int board = 0;
    std::string fileURL;
    unsigned int recordLength = 0;
    std::string userName, firstName, lastName;
    char code = 0;
    // A room asked for from the chat screen connects the chat layer.
    bool connectChat = false;
    unsigned roomEpoch = 0;
};

// Requests whose outcome the screens poll through the status.
bool carriesStatus(JobKind kind)
{
    switch (kind) {
    case JobKind::Login:
    case JobKind::Logout:
    case JobKind::Recover:
    case JobKind::LeaderboardInfo:
    case JobKind::LeaderboardPage:
    case JobKind::Register: return true;
    default: return false;
    }
}

const char *jobName(JobKind kind)
{
    switch (kind) {
    case JobKind::Discover: return "discovery";
    case JobKind::Login: return "login";
    case JobKind::Logout: return "logout";
    case JobKind::Recover: return "recover";
    case JobKind::Preferences: return "preferences";
    case JobKind::PostScore: return "post";
    case JobKind::LeaderboardInfo:
    case JobKind::LeaderboardPage: return "leaderboard";
    case JobKind::JoinRoom: return "room";
    case JobKind::Register: return "register";
    case JobKind::GetRelations: return "friends";
    case JobKind::AddRelation: return "relation";
    }
    return "request";
}

std::string boundedText(const char *text)
{
    if (text == nullptr)
        return {};
    return std::string(text, ::strnlen(text, paddle::savegamedata::kLoginBufferBytes - 1));
}

void copyOut(unsigned char *to, const std::string &from)
{
    if (to == nullptr)
        return;
    std::memset(to, 0, paddle::savegamedata::kLoginBufferBytes);
    std::memcpy(to, from.data(), std::min(from.size(), paddle::savegamedata::kLoginBufferBytes - 1));
}

class Client {
public:
    static Client &get()
    {
        static Client client;
        return client;
    }

    TarvConfig config;
    std::function<void(const std::string &)> sink;
    std::array<int, 2 * kAchievementCount> pairs{};
    std::string email, password;
    TarvLoginState loginState = kTarvLoggedOut;
    TarvStatus status = kTarvStatusNone;
    std::string errorText;
    std::string session, userId;
    int friendViewMode = 0;
    std::array<Tarv::CDNLeaderboard, kTarvBoardCount> boards;
    // The account creation's own outcome: other requests share `status`.
    TarvStatus registerStatus = kTarvStatusNone;
    Tarv::GetRelationsResponse relations;
    unsigned relationsRevision = 0;
    std::string relationsError;
    TarvRoom room;
    // Grows at each leave: a join asked for before it connects nothing.
    unsigned roomEpoch = 0;
    std::deque<std::string> chatLines;
    unsigned chatRevision = 0;
    ChatClient chat;

    Client()
    {
        config.applicationKey = Tarv::kLoginApplicationKey;
        for (int n = 0; n < kAchievementCount; ++n)
            pairs[2 * n] = n;
        chat.setListener([this](const std::string &line) { event(line); });
        chat.setMessageHandler([this](const NetworkMessage &m) {
            const std::string text(m.getData() == nullptr ? "" : std::string(m.getData(), m.getLength()));
            const std::string from(m.header.senderId.begin(), m.header.senderId.end());
            event("chat message from " + from + ": " + text);
            chatLines.push_back(from + ": " + text);
            if (chatLines.size() > kTarvChatLinesKept)
                chatLines.pop_front();
            ++chatRevision;
        });
    }

    void event(const std::string &line) const
    {
        if (sink)
            sink(line);
    }

    void setStatus(TarvStatus s, std::string text = {})
    {
        status = s;
        errorText = std::move(text);
    }

    void enqueue(Job job, bool front = false)
    {
        if (front) {
            queue.push_front(std::move(job));
        } else {
            queue.push_back(std::move(job));
        }
        pump();
    }

    [[nodiscard]] bool busy() const { return inFlight.has_value() || !queue.empty(); }
    [[nodiscard]] bool queuedPost(unsigned slot, unsigned value) const
    {
        const auto same = [&](const Job &j) {
            return j.kind == JobKind::PostScore && j.slot == slot && j.value >= value;
        };
        return (inFlight && same(*inFlight)) || std::any_of(queue.begin(), queue.end(), same);
    }

    void cancel()
    {
        if (!inFlight)
            return;
        messenger.abortRequest();
        Job job = std::move(*inFlight);
        inFlight.reset();
        if (job.kind == JobKind::Discover) {
            failWaitingForServer("cancelled");
        } else {
            if (job.kind == JobKind::Login)
                loginState = kTarvLoggedOut;
            if (carriesStatus(job.kind))
                setStatus(kTarvStatusNone, "cancelled");
            if (job.kind == JobKind::Register)
                registerStatus = kTarvStatusNone;
        }
        event(std::string(jobName(job.kind)) + " cancelled");
        pump();
    }

    void relationsFailed(std::string why)
    {
        relationsError = std::move(why);
        ++relationsRevision;
    }

    void forgetAccount()
    {
        relations = {};
        relationsError.clear();
        ++relationsRevision;
        room = {};
        ++roomEpoch;
        chatLines.clear();
        ++chatRevision;
    }

    void configureMessenger()
    {
        messenger.setTimeout(config.timeoutSeconds);
        if (!config.caFile.empty())
            messenger.setCAFile(config.caFile);
    }

    std::optional<Tarv::FindServerResponse> server;

private:
    static bool needsServer(JobKind kind) { return kind != JobKind::Discover && kind != JobKind::LeaderboardPage; }

    static void onExchangeEnd(HTTPMessenger *, eHTTPError error) { get().finish(error); }

    void pump()
    {
        while (!inFlight && !queue.empty()) {
            if (needsServer(queue.front().kind) && !server) {
                Job discover;
                discover.kind = JobKind::Discover;
                if (begin(discover))
                    return;
                continue;
            }
            Job job = std::move(queue.front());
            queue.pop_front();
            if (begin(job))
                return;
        }
    }

    // Builds and sends; on false the job has already ended in failure.
    bool begin(Job &job)
    {
        bool built = false;
        switch (job.kind) {
        case JobKind::Discover:
            built = Tarv::CreateFindServerRequest(messenger, config.discoveryURL.c_str(), Tarv::kGameId);
            break;
        case JobKind::Login:
            built = Tarv::CreateLoginRequest(messenger, job.email, job.password, Tarv::kGameId, config.applicationKey,
                                             Tarv::kPlatformId, Tarv::kProtocolVersion, Tarv::kForceKick);
            break;
        case JobKind::Logout: built = Tarv::CreateLogoutRequest(messenger, job.session, Tarv::kGameId); break;
        case JobKind::Recover: {
            // The device's language: "en" of "en_US".
            std::string language = platform::deviceFacts().localeIdentifier;
            language = language.substr(0, language.find_first_of("_-."));
            built = Tarv::CreateForgotPasswordRequest(messenger, Tarv::kGameId, job.email, "", language);
            break;
        }
        case JobKind::Preferences:
            built = Tarv::CreateUpdatePreferencesRequest(messenger, job.session, Tarv::kGameId, job.preferences, false);
            break;
        case JobKind::PostScore:
            built = Tarv::CreatePostScoreRequest(messenger, job.session, Tarv::kGameId, 2 + job.slot, job.value, "");
            break;
        case JobKind::LeaderboardInfo:
            built = Tarv::CreateGetLeaderboardRequestNoAuth(messenger, Tarv::kGameId,
                                                            2 + static_cast<unsigned>(job.board), job.session);
            break;
        case JobKind::LeaderboardPage:
            built = Tarv::CreateGetLeaderboardCDNRequest(messenger, job.fileURL, job.recordLength, 0, kTarvPageRows);
            break;
        case JobKind::JoinRoom:
            built = Tarv::CreateJoinGroupByTopicRequest(messenger, job.session, Tarv::kGameId, 0);
            break;
        case JobKind::Register:
            built = Tarv::CreateRegisterUserRequest(messenger, Tarv::kGameId, job.userName, job.password, job.email,
                                                    job.firstName, job.lastName);
            break;
        case JobKind::GetRelations:
            built = Tarv::CreateGetRelationsRequest(messenger, job.session, Tarv::kGameId, Tarv::kRelationNone);
            break;
        case JobKind::AddRelation:
            built = Tarv::CreateAddRelationByUsernameRequest(messenger, job.session, Tarv::kGameId, job.userName,
                                                             static_cast<Tarv::Relation>(job.code));
            break;
        }
        if (built && messenger.sendRequest(&Client::onExchangeEnd, kHTTPSSLDefault)) {
            inFlight = std::move(job);
            return true;
        }
        const std::string why = built ? "the request could not be sent: " + messenger.getLastErrorText()
                                      : "the request was refused: " + Tarv::GetLastRequestError();
        fail(job, why);
        return false;
    }

    void failWaitingForServer(const std::string &why)
    {
        std::deque<Job> keep;
        for (Job &job : queue) {
            if (needsServer(job.kind)) {
                fail(job, why);
            } else {
                keep.push_back(std::move(job));
            }
        }
        queue = std::move(keep);
    }

    void fail(const Job &job, const std::string &why)
    {
        if (job.kind == JobKind::Discover) {
            event("discovery error: " + why);
            failWaitingForServer("server discovery failed: " + why);
            return;
        }
        if (job.kind == JobKind::Login)
            loginState = kTarvLoggedOut;
        if (carriesStatus(job.kind))
            setStatus(kTarvStatusError, std::string(jobName(job.kind)) + " failed: " + why);
        if (job.kind == JobKind::Register)
            registerStatus = kTarvStatusError;
        if (job.kind == JobKind::PostScore) {
            event("post slot=" + std::to_string(job.slot) + " value=" + std::to_string(job.value) + " failed: " + why);
        } else if (job.kind == JobKind::JoinRoom) {
            platform::consoleLog("find room failed: " + why);
            event("room error: " + why);
        } else if (job.kind == JobKind::GetRelations || job.kind == JobKind::AddRelation) {
            relationsFailed(why);
            event(std::string(jobName(job.kind)) + " error: " + why);
        } else {
            event(std::string(jobName(job.kind)) + " error: " + why);
        }
    }

    void finish(eHTTPError error)
    {
        if (!inFlight)
            return;
        Job job = std::move(*inFlight);
        inFlight.reset();
        const int code = messenger.getResponseStatusCode();
        if (error != kHTTPErrorNone) {
            const std::string &text = messenger.getLastErrorText();
            fail(job, text.empty() ? "the exchange failed" : text);
        } else if (code < 200 || code > 299) {
            fail(job, "the service answered HTTP " + std::to_string(code));
        } else {
            unsigned char *body = nullptr;
            unsigned long length = 0;
            std::string document;
            if (messenger.getResponseBody(&body, length) && body != nullptr) {
                document.assign(reinterpret_cast<const char *>(body), length > 0 ? length - 1 : 0);
            }
            delete[] body;
            handle(job, document);
        }
        pump();
    }

    // An answer that came over https is the service's own. One that came
    // over plain http may have been written by anyone on the way, so it may
    // not choose where the password goes: it must name the discovery URL's
    // host and port, or a host (and port) the configuration allows. A port
    // not written is the scheme's default, read as the connection reads it.
    bool trustedAnswerHost(const std::string &answerHost, bool secure, std::string &why) const
    {
        if (hasScheme(config.discoveryURL, "https://"))
            return true;
        const std::string scheme = secure ? "https://" : "http://";
        const auto named = platform::splitUrl(scheme + answerHost);
        const auto own = platform::splitUrl(config.discoveryURL);
        const auto same = [&](const std::optional<platform::UrlParts> &other) {
            return other && other->host == named->host && other->port == named->port;
        };
        if (named && (same(own) || std::any_of(config.allowedHosts.begin(), config.allowedHosts.end(),
                                               [&](const std::string &h) { return same(platform::splitUrl(scheme + h)); })))
            return true;
        why = "the discovery answer came over plain http and names the host \"" +
              (named ? named->host + ":" + named->port : answerHost) +
              "\", which is neither the discovery host and port nor an allowed one";
        return false;
    }

    static bool hasScheme(const std::string &url, std::string_view scheme)
    {
        return url.size() >= scheme.size() && lowered(url.substr(0, scheme.size())) == scheme;
    }

    static std::string lowered(std::string text)
    {
        for (char &c : text)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    }

    template <typename Reply>
    bool parse(const Job &job, Reply &reply, const std::string &document)
    {
        if (!reply.ParseFromResponseXML(document.c_str(), static_cast<unsigned int>(document.size()))) {
            fail(job, "the service's reply was malformed");
            return false;
        }
        if (reply.error_id != 0) {
            fail(job, reply.error_message.empty() ? "refused (error " + std::to_string(reply.error_id) + ")"
                                                  : reply.error_message);
            return false;
        }
        return true;
    }

    void handle(const Job &job, const std::string &document)
    {
        switch (job.kind) {
        case JobKind::Discover: {
            Tarv::FindServerResponse reply;
            if (!parse(job, reply, document))
                return;
            const bool secure = !reply.https_host.empty();
            const std::string &host = secure ? reply.https_host : reply.http_host;
            if (host.empty()) {
                fail(job, "the discovery reply names no server");
                return;
            }
            if (std::string why; !trustedAnswerHost(host, secure, why)) {
                fail(job, why);
                return;
            }
            Tarv::SetGlobalURL(host, secure);
            server = reply;
            event("discovery ok " + Tarv::GetGlobalURL());
            return;
        }
        case JobKind::Login: loggedIn(job, document); return;
        case JobKind::Logout:
            setStatus(kTarvStatusOk);
            event("logout ok");
            return;
        case JobKind::Recover: {
            Tarv::ForgotPasswordResponse reply;
            if (!parse(job, reply, document))
                return;
            if (reply.result != 0) {
                fail(job, "refused (result " + std::to_string(reply.result) + ")");
                return;
            }
            setStatus(kTarvStatusOk);
            event("recover ok");
            return;
        }
        case JobKind::Preferences: event("preferences ok"); return;
        case JobKind::PostScore:
            // Only an accepted post counts as posted.
            paddle::savegamedata::RaiseLastHighScore(job.slot, job.value);
            event("post slot=" + std::to_string(job.slot) + " value=" + std::to_string(job.value) + " ok");
            return;
        case JobKind::LeaderboardInfo: {
            Tarv::GetLeaderboardResponse reply;
            if (!parse(job, reply, document))
                return;
            if (reply.current_cdn.empty() || reply.current_record_length <= 0) {
                fail(job, "the reply names no board file");
                return;
            }
            Job page;
            page.kind = JobKind::LeaderboardPage;
            page.board = job.board;
            page.fileURL = reply.current_cdn;
            page.recordLength = static_cast<unsigned int>(reply.current_record_length);
            queue.push_front(std::move(page));
            return;
        }
        case JobKind::LeaderboardPage: {
            auto &board = boards[static_cast<std::size_t>(job.board)];
            if (!board.ParseFromResponseXML(document.c_str(), static_cast<unsigned int>(document.size()), 1)) {
                fail(job, "the page was refused: more than " + std::to_string(Tarv::CDNLeaderboard::kMaxPageRows) +
                              " rows or a field longer than " +
                              std::to_string(Tarv::CDNLeaderboard::kMaxFieldBytes) + " bytes");
                return;
            }
            setStatus(kTarvStatusOk);
            event("leaderboard " + std::to_string(job.board) + " rows=" + std::to_string(board.entries.size()));
            return;
        }
        case JobKind::JoinRoom: {
            Tarv::JoinGroupByTopicResponse reply;
            if (!reply.ParseFromResponseXML(document.c_str(), static_cast<unsigned int>(document.size()))) {
                fail(job, "the service's reply was malformed");
                return;
            }
            if (reply.error_id != 0) {
                platform::consoleLog("find room returned error id " + std::to_string(reply.error_id) + ": " +
                                     reply.error_message);
                event("room error " + std::to_string(reply.error_id) + ": " + reply.error_message);
                return;
            }
            platform::consoleLog("sucessfully found room!");
            event("room found server=" + std::to_string(reply.server_id) + " address=" + reply.address +
                  " group=" + std::to_string(reply.group_id));
            if (job.roomEpoch != roomEpoch)
                return; // left before the answer came
            room = {true, reply.server_id, reply.address, reply.group_id};
            if (job.connectChat && chat.state() == ChatClient::kIdle && job.session == session && server &&
                !server->socket_host.empty() && server->socket_port != 0) {
                chat.start(server->socket_host, server->socket_port, session, userId);
            }
            return;
        }
        case JobKind::Register: {
            Tarv::RegisterUserResponse reply;
            if (!parse(job, reply, document))
                return;
            if (reply.result != 0) {
                fail(job, "refused (result " + std::to_string(reply.result) + ")");
                return;
            }
            // A new account has unlocked nothing yet.
            clearAchievements();
            std::array<int, 2 * kAchievementCount> list{};
            getList(list.data());
            Tarv_SetAchievementList(list.data());
            setStatus(kTarvStatusOk);
            registerStatus = kTarvStatusOk;
            event("register ok");
            return;
        }
        case JobKind::GetRelations: {
            Tarv::GetRelationsResponse reply;
            const bool complete =
                reply.ParseFromResponseXML(document.c_str(), static_cast<unsigned int>(document.size()));
            if (job.session != session)
                return; // logged out meanwhile
            relations = std::move(reply);
            if (!complete) {
                relationsFailed("Error in parsing friends list response from server");
                event("friends error: " + relationsError);
            } else if (relations.error_id != 0) {
                relationsFailed("Error occurred when getting friends list");
                event("friends error " + std::to_string(relations.error_id) + ": " + relations.error_message);
            } else {
                relationsError.clear();
                ++relationsRevision;
                event("friends ok friends=" + std::to_string(relations.friends.size()) +
                      " blocked=" + std::to_string(relations.blocked.size()) +
                      " sent=" + std::to_string(relations.pending_sent.size()) +
                      " received=" + std::to_string(relations.pending_received.size()));
            }
            return;
        }
        case JobKind::AddRelation: {
            Tarv::AddRelationResponse reply;
            if (!parse(job, reply, document))
                return;
            event(std::string("relation ok ") + job.code + " " + job.userName);
            // The list as the service now has it.
            if (job.session == session) {
                Job list;
                list.kind = JobKind::GetRelations;
                list.session = session;
                queue.push_front(std::move(list));
            }
            return;
        }
        }
    }

    void loggedIn(const Job &job, const std::string &document)
    {
        Tarv::LoginResponse reply;
        if (!parse(job, reply, document))
            return;
        if (reply.result != 0) {
            fail(job, "refused (result " + std::to_string(reply.result) + ")");
            return;
        }
        if (reply.session_id.empty() || reply.user_id.empty()) {
            fail(job, "the reply carries no session or user id");
            return;
        }
        session = reply.session_id;
        userId = reply.user_id;
        loginState = kTarvLoggedIn;
        setStatus(kTarvStatusOk);
        event("login ok session=" + session + " user=" + userId);
        if (auto it = reply.profiles.find(4); it != reply.profiles.end())
            deserializeString(it->second);
        if (auto it = reply.profiles.find(5); it != reply.profiles.end()) {
            unsigned int face = 0;
            const char *first = it->second.data();
            const char *last = first + it->second.size();
            const auto [end, ec] = std::from_chars(first, last, face);
            if (ec == std::errc() && end == last)
                setFace(static_cast<int>(face), false);
        }
        TarvUpdatePreferences();
        Job join;
        join.kind = JobKind::JoinRoom;
        join.session = session;
        join.roomEpoch = roomEpoch;
        queue.push_back(std::move(join));
        if (server && !server->socket_host.empty() && server->socket_port != 0) {
            chat.start(server->socket_host, server->socket_port, session, userId);
        }
    }

    HTTPMessenger messenger;
    std::deque<Job> queue;
    std::optional<Job> inFlight;
};

} // namespace

void Tarv_Configure(const TarvConfig &config)
{
    Client &c = Client::get();
    c.config = config;
    if (c.config.applicationKey.empty())
        c.config.applicationKey = Tarv::kLoginApplicationKey;
    c.configureMessenger();
}

void Tarv_SetEventSink(std::function<void(const std::string &)> sink)
{
    Client::get().sink = std::move(sink);
}

void Tarv_SetAchievementList(int *pairs)
{
    if (pairs == nullptr)
        return;
    std::memcpy(Client::get().pairs.data(), pairs, sizeof(int) * 2 * kAchievementCount);
}

const int *Tarv_GetAchievementList()
{
    return Client::get().pairs.data();
}

void Tarv_LoginSave(unsigned char *name, unsigned char *password)
{
    copyOut(name, Client::get().email);
    copyOut(password, Client::get().password);
}

void Tarv_LoginUpdate(unsigned char *name, unsigned char *password, int login)
{
    Tarv_SetLoginEmail(reinterpret_cast<const char *>(name));
    Tarv_SetLoginPassword(reinterpret_cast<const char *>(password));
    if (login != 0)
        TarvLogin();
}

bool Tarv_IsLoggedIn()
{
    return Client::get().loginState == kTarvLoggedIn;
}

void TarvLogin()
{
    Client &c = Client::get();
    c.loginState = kTarvLoggingIn;
    c.setStatus(kTarvStatusPending);
    Job job;
    job.kind = JobKind::Login;
    job.email = c.email;
    job.password = c.password;
    c.enqueue(std::move(job));
}

void TarvRecoverPassword()
{
    Client &c = Client::get();
    c.setStatus(kTarvStatusPending);
    Job job;
    job.kind = JobKind::Recover;
    job.email = c.email;
    c.enqueue(std::move(job));
}

void TarvCancelCurrentRequest()
{
    Client::get().cancel();
}

void TarvLogout()
{
    Client &c = Client::get();
    const std::string session = c.session;
    c.loginState = kTarvLoggedOut;
    c.session.clear();
    c.userId.clear();
    c.chat.stop();
    c.forgetAccount();
    clearAchievements();
    std::array<int, 2 * kAchievementCount> pairs{};
    getList(pairs.data());
    Tarv_SetAchievementList(pairs.data());
    if (session.empty()) {
        c.setStatus(kTarvStatusOk);
        return;
    }
    c.setStatus(kTarvStatusPending);
    Job job;
    job.kind = JobKind::Logout;
    job.session = session;
    c.enqueue(std::move(job));
}

void TarvPostScore(int score, int slot)
{
    Client &c = Client::get();
    if (slot < 0 || slot >= static_cast<int>(paddle::savegamedata::kScoreSlots) || c.session.empty())
        return;
    const auto value = static_cast<unsigned int>(score);
    const auto s = static_cast<unsigned int>(slot);
    // A post of this score (or a better one) for the slot is already on its way.
    if (c.queuedPost(s, value))
        return;
    Job job;
    job.kind = JobKind::PostScore;
    job.session = c.session;
    job.slot = s;
    job.value = value;
    c.enqueue(std::move(job));
}

void TarvGetLeaderboard(int board, bool)
{
    if (board < 0 || board >= kTarvBoardCount)
        return;
    Client &c = Client::get();
    currentBoard = board;
    c.boards[static_cast<std::size_t>(board)].entries.clear();
    c.setStatus(kTarvStatusPending);
    Job job;
    job.kind = JobKind::LeaderboardInfo;
    job.board = board;
    job.session = Tarv_IsLoggedIn() ? c.userId : std::string();
    c.enqueue(std::move(job));
}

void Tarv_setFriendViewMode(int mode)
{
    Client::get().friendViewMode = mode;
}

void TarvUpdatePreferences()
{
    Client &c = Client::get();
    if (!Tarv_IsLoggedIn())
        return;
    Job job;
    job.kind = JobKind::Preferences;
    job.session = c.session;
    job.preferences[1] = std::to_string(getHS());
    job.preferences[4] = getSerializedString();
    job.preferences[5] = std::to_string(getFace());
    c.enqueue(std::move(job));
    sendHighScores();
}

void TarvUpdate()
{
    Client::get().chat.update();
}

void Tarv_SetLoginEmail(const char *email)
{
    Client::get().email = boundedText(email);
}
void Tarv_SetLoginPassword(const char *password)
{
    Client::get().password = boundedText(password);
}
const std::string &Tarv_GetLoginEmail()
{
    return Client::get().email;
}
const std::string &Tarv_GetLoginPassword()
{
    return Client::get().password;
}

TarvLoginState Tarv_GetLoginState()
{
    return Client::get().loginState;
}
TarvStatus Tarv_GetStatus()
{
    return Client::get().status;
}
const std::string &Tarv_GetErrorText()
{
    return Client::get().errorText;
}
const std::string &Tarv_GetSession()
{
    return Client::get().session;
}
const std::string &Tarv_GetUserId()
{
    return Client::get().userId;
}
int Tarv_GetFriendViewMode()
{
    return Client::get().friendViewMode;
}

const Tarv::CDNLeaderboard &Tarv_GetLeaderboard(int board)
{
    static const Tarv::CDNLeaderboard empty;
    if (board < 0 || board >= kTarvBoardCount)
        return empty;
    return Client::get().boards[static_cast<std::size_t>(board)];
}

bool Tarv_IsBusy()
{
    return Client::get().busy();
}

bool TarvChatSay(const std::string &text)
{
    return Client::get().chat.say(text);
}

const char *Tarv_GetChatState()
{
    switch (Client::get().chat.state()) {
    case ChatClient::kIdle: return "idle";
    case ChatClient::kWaiting: return "waiting";
    case ChatClient::kConnecting: return "connecting";
    case ChatClient::kConnected: return "connected";
    }
    return "idle";
}

void TarvRegisterUser(const std::string &userName, const std::string &password, const std::string &email,
                      const std::string &firstName, const std::string &lastName)
{
    Client &c = Client::get();
    c.setStatus(kTarvStatusPending);
    c.registerStatus = kTarvStatusPending;
    Job job;
    job.kind = JobKind::Register;
    job.userName = userName;
    job.password = password;
    job.email = email;
    job.firstName = firstName;
    job.lastName = lastName;
    c.enqueue(std::move(job));
}

void TarvGetRelations()
{
    Client &c = Client::get();
    if (!Tarv_IsLoggedIn())
        return;
    Job job;
    job.kind = JobKind::GetRelations;
    job.session = c.session;
    c.enqueue(std::move(job));
}

void TarvAddRelationByName(const std::string &userName, char code)
{
    Client &c = Client::get();
    if (!Tarv_IsLoggedIn() || userName.empty() || (code != 'F' && code != 'B'))
        return;
    Job job;
    job.kind = JobKind::AddRelation;
    job.session = c.session;
    job.userName = userName;
    job.code = code;
    c.enqueue(std::move(job));
}

const KwexNet::Tarv::GetRelationsResponse &Tarv_GetRelations()
{
    return Client::get().relations;
}

unsigned Tarv_GetRelationsRevision()
{
    return Client::get().relationsRevision;
}

const std::string &Tarv_GetRelationsError()
{
    return Client::get().relationsError;
}

void TarvJoinRoom()
{
    Client &c = Client::get();
    if (!Tarv_IsLoggedIn() || c.chat.state() != ChatClient::kIdle)
        return;
    Job job;
    job.kind = JobKind::JoinRoom;
    job.session = c.session;
    job.connectChat = true;
    job.roomEpoch = c.roomEpoch;
    c.enqueue(std::move(job));
}

void TarvLeaveRoom()
{
    Client &c = Client::get();
    const bool inRoom = c.room.joined || c.chat.state() != ChatClient::kIdle;
    c.chat.stop();
    c.room = {};
    ++c.roomEpoch;
    if (inRoom)
        c.event("chat left the room");
}

const TarvRoom &Tarv_GetRoom()
{
    return Client::get().room;
}

const std::deque<std::string> &Tarv_GetChatLines()
{
    return Client::get().chatLines;
}

unsigned Tarv_GetChatRevision()
{
    return Client::get().chatRevision;
}

TarvStatus Tarv_GetRegisterStatus()
{
    return Client::get().registerStatus;
}
