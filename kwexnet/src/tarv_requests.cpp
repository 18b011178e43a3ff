#include "kwexnet/tarv_requests.h"

#include <cstdio>
#include <string_view>
#include <utility>

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
    return refuse(messenger, "refusing to send credentials: no HTTPS server is known (base URL \"" +
                                 gBaseURL + "\")");
}

// The POST every form request shares. A request with credentials is marked,
// so that no redirect takes it to another host.
bool post(HTTPMessenger &messenger, const std::string &url, const FormBody &body, bool credentials)
{
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
    if (!refuseUnlessSecure(messenger)) {
        return false;
    }
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

} // namespace Tarv
} // namespace KwexNet
