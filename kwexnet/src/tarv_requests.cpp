#include "kwexnet/tarv_requests.h"

#include <cstdio>
#include <cstdint>
#include <string_view>
#include <utility>

#include "kwexnet/xml_reader.h"

namespace KwexNet {
namespace Tarv {

namespace {

// Written and read on the main thread only.
std::string gBaseURL;
std::string gLastError;

constexpr std::string_view kHTTPS = "https://";

// Name=value pairs joined by "&", values form-encoded.
class FormBody {
public:
    FormBody &add(std::string_view name, const std::string &value)
    {
        separate(name);
        mText += FormEncode(value);
        return *this;
    }
    FormBody &add(std::string_view name, unsigned long value)
    {
        separate(name);
        mText += std::to_string(value);
        return *this;
    }
    FormBody &add(std::string_view name, bool value)
    {
        separate(name);
        mText += value ? "true" : "false";
        return *this;
    }
    // Only when not empty.
    FormBody &addOptional(std::string_view name, const std::string &value)
    {
        if (!value.empty()) {
            add(name, value);
        }
        return *this;
    }
    // A text literal would otherwise pick the bool overload.
    FormBody &add(std::string_view name, const char *value) = delete;
    [[nodiscard]] const std::string &text() const { return mText; }

private:
    void separate(std::string_view name)
    {
        if (!mText.empty()) {
            mText += '&';
        }
        mText += name;
        mText += '=';
    }

    std::string mText;
};

bool refuse(HTTPMessenger &messenger, std::string why)
{
    messenger.clearRequest();
    gLastError = std::move(why);
    return false;
}

// Clears the messenger before anything else, so a refused build never
// leaves an earlier request behind to be sent by mistake.
void startRequest(HTTPMessenger &messenger)
{
    messenger.clearRequest();
    messenger.clearResponse();
    gLastError.clear();
}

bool baseIsSecure()
{
    return gBaseURL.size() > kHTTPS.size() && std::string_view(gBaseURL).substr(0, kHTTPS.size()) == kHTTPS;
}

bool refuseUnlessSecure(HTTPMessenger &messenger)
{
    if (baseIsSecure()) {
        return true;
    }
    return refuse(messenger, "refusing to send credentials (a password or a session id): no HTTPS server "
                             "is known (base URL \"" + gBaseURL + "\")");
}

// The POST every form request shares. A request with credentials (a
// password or a session id) goes only to an https:// base URL, and is
// marked so that no redirect takes it to another host.
bool post(HTTPMessenger &messenger, const std::string &url, const FormBody &body, bool credentials)
{
    if (credentials && !refuseUnlessSecure(messenger)) {
        return false;
    }
    const std::string &text = body.text();
    char length[24];
    std::snprintf(length, sizeof length, "%lu", static_cast<unsigned long>(text.size()));

    if (!messenger.setRequestInfo(url.c_str(), kHTTPRequestPost, kHTTPVersion11)) {
        return refuse(messenger, "the messenger refused the request URL \"" + url + "\"");
    }
    messenger.setRequestCarriesCredentials(credentials);
    if (!messenger.setRequestHeaderField("Content-Type", "application/x-www-form-urlencoded") ||
        !messenger.setRequestHeaderField("Content-Length", length)) {
        return refuse(messenger, "the messenger refused a header field");
    }
    const unsigned long size = text.size();
    if (!messenger.setRequestBody(reinterpret_cast<const unsigned char *>(text.data()), size)) {
        return refuse(messenger, "the messenger refused the request body");
    }
    return true;
}

} // namespace

void SetGlobalURL(std::string host, bool secure)
{
    gBaseURL = (secure ? "https://" : "http://") + std::move(host);
}

const std::string &GetGlobalURL()
{
    return gBaseURL;
}

const std::string &GetLastRequestError()
{
    return gLastError;
}

std::string FormEncode(const std::string &value)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0f];
        }
    }
    return out;
}

bool CreateFindServerRequest(HTTPMessenger &messenger, const char *url, unsigned int gameId)
{
    startRequest(messenger);
    if (!url || !*url) {
        return refuse(messenger, "no server discovery URL was given");
    }
    FormBody body;
    body.add("game_id", static_cast<unsigned long>(gameId));
    return post(messenger, url, body, false);
}

bool CreateLoginRequest(HTTPMessenger &messenger, std::string email, std::string password,
                        unsigned int gameId, std::string secretKey, std::string platformId,
                        unsigned char protocolVersion, bool forceKick)
{
    startRequest(messenger);
    FormBody body;
    body.add("email", email)
        .add("user_password", password)
        .add("game_id", static_cast<unsigned long>(gameId))
        .add("secret_key", secretKey)
        .add("platform_id", platformId)
        .add("protocol_version", static_cast<unsigned long>(protocolVersion))
        .add("force_kick", forceKick);
    return post(messenger, gBaseURL + "login/", body, true);
}

bool CreateLogoutRequest(HTTPMessenger &messenger, std::string session, unsigned int gameId)
{
    startRequest(messenger);
    FormBody body;
    body.add("session", session).add("game_id", static_cast<unsigned long>(gameId));
    return post(messenger, gBaseURL + "logout/", body, true);
}

bool CreateRegisterUserRequest(HTTPMessenger &messenger, unsigned int gameId, std::string userName,
                               std::string password, std::string email, std::string firstName, std::string lastName)
{
    startRequest(messenger);
    FormBody body;
    body.add("game_id", static_cast<unsigned long>(gameId))
        .add("user_name", userName)
        .add("user_password", password)
        .add("email", email)
        .addOptional("first_name", firstName)
        .addOptional("last_name", lastName);
    return post(messenger, gBaseURL + "registerUser/", body, true);
}

bool CreateForgotPasswordRequest(HTTPMessenger &messenger, unsigned int gameId, std::string email, std::string userName,
                                 std::string language)
{
    startRequest(messenger);
    FormBody body;
    body.add("game_id", static_cast<unsigned long>(gameId))
        .add("email", email)
        .add("user_name", userName)
        .add("language", language);
    return post(messenger, gBaseURL + "forgotPassword/", body, false);
}

bool CreateModifyAccountRequest(HTTPMessenger &messenger, std::string session, unsigned int gameId,
                                std::string password, std::string email, std::string firstName, std::string lastName)
{
    startRequest(messenger);
    FormBody body;
    body.add("session", session)
        .add("game_id", static_cast<unsigned long>(gameId))
        .addOptional("user_password", password)
        .addOptional("email", email)
        .addOptional("first_name", firstName)
        .addOptional("last_name", lastName);
    return post(messenger, gBaseURL + "modifyAccount/", body, true);
}

bool CreateUpdatePreferencesRequest(HTTPMessenger &messenger, std::string session, unsigned int gameId,
                                    const std::map<unsigned int, std::string> &preferences, bool global)
{
    startRequest(messenger);
    FormBody body;
    body.add("session", session).add("game_id", static_cast<unsigned long>(gameId));
    for (const auto &[key, value] : preferences) {
        body.add("profile_id_" + std::to_string(key), value);
    }
    return post(messenger, gBaseURL + (global ? "updateGlobalPreferences/" : "updatePreferences/"), body, true);
}

namespace {

bool isRequestCode(Relation code)
{
    return code == kRelationFriend || code == kRelationBlock || code == kRelationIgnore;
}

bool addRelation(HTTPMessenger &messenger, const std::string &session, unsigned int gameId, std::string_view field,
                 const std::string &target, Relation code, const char *path)
{
    startRequest(messenger);
    if (!isRequestCode(code)) {
        return refuse(messenger, "a relation request needs the code F, B or I");
    }
    FormBody body;
    body.add("session", session)
        .add("game_id", static_cast<unsigned long>(gameId))
        .add(field, target)
        .add("relation_status", std::string(1, static_cast<char>(code)));
    return post(messenger, gBaseURL + path, body, true);
}

} // namespace

bool CreateGetRelationsRequest(HTTPMessenger &messenger, std::string session, unsigned int gameId, Relation filter)
{
    startRequest(messenger);
    if (filter != kRelationNone && filter != kRelationNotAnswered && !isRequestCode(filter)) {
        return refuse(messenger, "a relation filter is 0, F, B, I or N");
    }
    FormBody body;
    body.add("session", session).add("game_id", static_cast<unsigned long>(gameId));
    if (filter != kRelationNone) {
        body.add("relation_status", std::string(1, static_cast<char>(filter)));
    }
    return post(messenger, gBaseURL + "getRelations/", body, true);
}

bool CreateAddRelationRequest(HTTPMessenger &messenger, std::string session, unsigned int gameId,
                              std::string targetUserId, Relation code)
{
    return addRelation(messenger, session, gameId, "target_user_id", targetUserId, code, "addRelation/");
}

bool CreateAddRelationByUsernameRequest(HTTPMessenger &messenger, std::string session, unsigned int gameId,
                                        std::string targetUserName, Relation code)
{
    return addRelation(messenger, session, gameId, "target_user_name", targetUserName, code, "addRelationByUsername/");
}

bool CreatePostScoreRequest(HTTPMessenger &messenger, std::string session, unsigned int gameId, unsigned int profileId,
                            unsigned int value, std::string metadata)
{
    startRequest(messenger);
    FormBody body;
    body.add("session", session)
        .add("game_id", static_cast<unsigned long>(gameId))
        .add("profile_id", static_cast<unsigned long>(profileId))
        .add("value", static_cast<unsigned long>(value))
        .add("metadata", metadata);
    return post(messenger, gBaseURL + "postScore/", body, true);
}

bool CreateGetLeaderboardRequestNoAuth(HTTPMessenger &messenger, unsigned int gameId, unsigned int profileId,
                                       std::string userId)
{
    startRequest(messenger);
    FormBody body;
    body.add("game_id", static_cast<unsigned long>(gameId))
        .add("profile_id", static_cast<unsigned long>(profileId))
        .addOptional("user_id", userId);
    return post(messenger, gBaseURL + "getLeaderboardNoAuth/", body, false);
}

bool CreateGetLeaderboardCDNRequest(HTTPMessenger &messenger, std::string fileURL, unsigned int recordLength,
                                    unsigned int firstRecord, unsigned int recordCount)
{
    startRequest(messenger);
    if (recordLength == 0 || recordCount == 0) {
        return refuse(messenger, "a leaderboard page needs a record length and a record count above 0");
    }
    std::string host;
    if (!Encode::URL::getHostNameFromURL(host, fileURL.c_str())) {
        return refuse(messenger, "the leaderboard file URL \"" + fileURL + "\" names no host");
    }
    // At most (2^32 - 1) * (2^33 - 2): well inside 64 bits.
    const std::uint64_t first = std::uint64_t{recordLength} * firstRecord;
    const std::uint64_t last = first + std::uint64_t{recordLength} * recordCount - 1;
    char range[64];
    std::snprintf(range, sizeof range, "bytes=%llu-%llu", static_cast<unsigned long long>(first),
                  static_cast<unsigned long long>(last));
    if (!messenger.setRequestInfo(fileURL.c_str(), kHTTPRequestGet, kHTTPVersion11)) {
        return refuse(messenger, "the messenger refused the request URL \"" + fileURL + "\"");
    }
    if (!messenger.setRequestHeaderField("Host", host.c_str()) || !messenger.setRequestHeaderField("Range", range)) {
        return refuse(messenger, "the messenger refused a header field");
    }
    return true;
}

bool CreateJoinGroupByTopicRequest(HTTPMessenger &messenger, std::string session, unsigned int gameId,
                                   unsigned int topicId)
{
    startRequest(messenger);
    FormBody body;
    body.add("session", session)
        .add("game_id", static_cast<unsigned long>(gameId))
        .add("topic_id", static_cast<unsigned long>(topicId));
    return post(messenger, gBaseURL + "joinGroupByTopic/", body, true);
}

} // namespace Tarv
} // namespace KwexNet
