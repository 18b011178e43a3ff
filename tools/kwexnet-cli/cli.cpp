#include "cli.h"

#include <kwexnet/blowfish.h>
#include <kwexnet/http_messenger.h>
#include <kwexnet/tarv_requests.h>
#include <kwexnet/tarv_responses.h>
#include <platform/runloop.h>
#include <platform/url_loader.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using namespace kwexnet_cli;
using KwexNet::HTTPMessenger;

constexpr std::string_view kUsage =
    R"(usage: kwexnet-cli COMMAND [ARGUMENTS]

  http METHOD URL [--data BODY] [--cacert FILE] [--insecure] [--timeout SECONDS]
       [--max-bytes N]
      GET or POST to URL, following redirects. --data sends BODY as
      application/x-www-form-urlencoded (POST only). Prints status= and error=,
      then the body exactly as received.
  discover --server URL [--cacert FILE] [--timeout SECONDS] [--max-bytes N]
      Server discovery: posts game_id=28 to URL, the full discovery URL
      (https://HOST/web_http_app/server/findAvailableServer/). Fails when the
      reply names no server host.
  login --server URL --email E --password P [--cacert FILE] [--timeout SECONDS]
       [--max-bytes N]
      Logs in at the login service whose base URL is URL. Credentials go over
      https:// only. A missing trailing "/" is added.
  logout --server URL --session S [--cacert FILE] [--timeout SECONDS]
       [--max-bytes N]
      Ends session S at the login service whose base URL is URL.
  decrypt --mode ecb|cbc --padding zero|pkcs5 HEX
      Decrypts HEX with the data files' Blowfish state; prints lower-case hex.
  help
      Prints this text.

Replies are printed as name=value lines, one per field, after status= (the
HTTP status, -1 for none) and error= (0 done, 1 connection ended inside the
header, 2 certificate not trusted, 3 any other failure). In values, "\" and
control characters are written as \\, \n, \r, \t and \xHH.
--cacert FILE trusts a further certificate authority (PEM) beside the
system's; --insecure accepts any certificate; --timeout bounds the whole
exchange (default 30 seconds); --max-bytes caps the reply body (default
64 MiB).
Redirects are followed up to 10 times, except one from https to plain http,
and, for login and logout, one to another host or port: the command then
fails and sends nothing to the new address. A failed exchange is named on
standard error (time-out, too many redirects, refused redirect, reply over
the size cap, malformed reply, refused or lost connection...).
Exit status: 0 success; 1 failed exchange, refused request, malformed reply
or (discover) no server host named; 2 bad usage.
)";

// Extra time the loop is pumped beyond the exchange's own time-out, which is
// what normally ends a stuck exchange.
constexpr double kLoopGraceSeconds = 5.0;

// ---------------------------------------------------------------------------
// Command line

struct OptionSpec {
    std::string_view name; // "--data"
    bool takesValue;
};

struct ParsedArgs {
    std::vector<std::string> positional;
    std::map<std::string, std::string, std::less<>> options; // flags map to ""

    [[nodiscard]] bool has(std::string_view name) const { return options.find(name) != options.end(); }
    [[nodiscard]] std::string get(std::string_view name) const
    {
        const auto it = options.find(name);
        return it == options.end() ? std::string() : it->second;
    }
};

// Splits args[1..] into positional arguments and the allowed options; the
// value of an option is always the next argument, whatever it looks like.
std::optional<ParsedArgs> parseArgs(const std::vector<std::string> &args, const std::vector<OptionSpec> &specs,
                                    std::string &problem)
{
    ParsedArgs parsed;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            parsed.positional.push_back(arg);
            continue;
        }
        const OptionSpec *spec = nullptr;
        for (const OptionSpec &s : specs) {
            if (s.name == arg) {
                spec = &s;
            }
        }
        if (!spec) {
            problem = "unknown option " + arg + " for " + args[0];
            return std::nullopt;
        }
        if (parsed.has(arg)) {
            problem = arg + " given twice";
            return std::nullopt;
        }
        std::string value;
        if (spec->takesValue) {
            if (i + 1 >= args.size()) {
                problem = arg + " needs a value";
                return std::nullopt;
            }
            value = args[++i];
        }
        parsed.options.emplace(arg, std::move(value));
    }
    return parsed;
}

int usageError(std::ostream &err, const std::string &problem)
{
    err << "kwexnet-cli: " << problem << '\n' << kUsage;
    return kExitUsage;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != prefix[i]) {
            return false;
        }
    }
    return true;
}

// Options every network command shares.
struct NetOptions {
    std::string caFile;
    bool insecure = false;
    double timeoutSeconds = HTTPMessenger::kDefaultTimeoutSeconds;
    std::size_t maxBytes = 0; // 0: the messenger's own limit
};

bool readNetOptions(const ParsedArgs &parsed, NetOptions &net, std::string &problem)
{
    if (parsed.has("--cacert")) {
        net.caFile = parsed.get("--cacert");
        std::ifstream probe(net.caFile);
        if (net.caFile.empty() || !probe) {
            problem = "--cacert: cannot read \"" + net.caFile + "\"";
            return false;
        }
    }
    net.insecure = parsed.has("--insecure");
    if (parsed.has("--timeout")) {
        const std::string text = parsed.get("--timeout");
        char *end = nullptr;
        const double seconds = std::strtod(text.c_str(), &end);
        if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(seconds) || seconds <= 0.0 ||
            seconds > 24.0 * 3600.0) {
            problem = "--timeout: \"" + text + "\" is not a number of seconds between 0 and 86400";
            return false;
        }
        net.timeoutSeconds = seconds;
    }
    if (parsed.has("--max-bytes")) {
        const std::string text = parsed.get("--max-bytes");
        std::uint64_t bytes = 0;
        bool digits = !text.empty() && text.size() <= 15;
        for (const char c : text) {
            digits = digits && c >= '0' && c <= '9';
            bytes = bytes * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (!digits || bytes == 0) {
            problem = "--max-bytes: \"" + text + "\" is not a positive number of bytes";
            return false;
        }
        net.maxBytes = static_cast<std::size_t>(bytes);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Output

// One value per line: the backslash and control characters are escaped.
std::string escapeValue(std::string_view value)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(value.size());
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                out += "\\x";
                out += kHex[c >> 4];
                out += kHex[c & 0x0f];
            } else {
                out += ch;
            }
        }
    }
    return out;
}

void printField(std::ostream &out, std::string_view name, std::string_view value)
{
    out << name << '=' << escapeValue(value) << '\n';
}

void printField(std::ostream &out, std::string_view name, long long value)
{
    out << name << '=' << value << '\n';
}

void printMap(std::ostream &out, std::string_view name, const std::map<unsigned int, std::string> &entries)
{
    for (const auto &[id, value] : entries) {
        out << name << '[' << id << "]=" << escapeValue(value) << '\n';
    }
}

std::string formatSeconds(double seconds)
{
    std::ostringstream text;
    text << seconds;
    return text.str();
}

// What went wrong, named: the messenger's error code says only "other" for
// most failures, its cause says which.
std::string describeFailure(const HTTPMessenger &messenger, KwexNet::eHTTPError error, const NetOptions &net)
{
    using platform::UrlError;
    switch (error) {
    case KwexNet::kHTTPErrorNone: return "none";
    case KwexNet::kHTTPErrorIncomplete: return "the connection ended before the whole response header";
    case KwexNet::kHTTPErrorCertificate: return "the server's certificate is not trusted";
    case KwexNet::kHTTPErrorOther: break;
    }
    const std::string &detail = messenger.getLastErrorText();
    const auto withDetail = [&](std::string what) {
        if (!detail.empty()) {
            what += " (" + escapeValue(detail) + ")";
        }
        return what;
    };
    switch (messenger.getLastErrorCause()) {
    case UrlError::TimedOut: return "timed out after " + formatSeconds(net.timeoutSeconds) + " seconds";
    case UrlError::TooManyRedirects: return withDetail("too many redirects, a redirect loop perhaps");
    case UrlError::RedirectRefused: return escapeValue(detail.empty() ? "redirect refused" : detail);
    case UrlError::TooLarge: return withDetail("the reply is larger than the size cap");
    case UrlError::MalformedReply: return withDetail("malformed reply: not HTTP, or broken framing");
    case UrlError::ConnectionRefused: return withDetail("connection refused");
    case UrlError::HostNotFound: return withDetail("host not found");
    case UrlError::ConnectionLost: return withDetail("the connection was reset or closed before the reply was complete");
    case UrlError::Tls: return withDetail("the TLS handshake failed");
    case UrlError::Certificate: return "the server's certificate is not trusted";
    case UrlError::None:
    case UrlError::InvalidRequest:
    case UrlError::Other: break;
    }
    return withDetail("failed");
}

// ---------------------------------------------------------------------------
// Exchanges

// The messenger reports through a plain function: the one exchange this
// command runs records its end here. Main thread only.
struct Completion {
    bool done = false;
    KwexNet::eHTTPError error = KwexNet::kHTTPErrorOther;
};
Completion gCompletion;

void onExchangeDone(HTTPMessenger * /*messenger*/, KwexNet::eHTTPError error)
{
    gCompletion.done = true;
    gCompletion.error = error;
}

struct Outcome {
    KwexNet::eHTTPError error = KwexNet::kHTTPErrorOther;
    int status = -1;
    std::string body;
    std::string failure; // the named cause when error is not 0
};

// Sends the request the messenger holds and pumps the main loop until it
// ends. False (with a message) when it could not start or never ended.
bool exchange(HTTPMessenger &messenger, const NetOptions &net, std::string_view command, Outcome &outcome,
              std::ostream &err)
{
    if (!net.caFile.empty()) {
        messenger.setCAFile(net.caFile);
    }
    messenger.setTimeout(net.timeoutSeconds);
    if (net.maxBytes != 0) {
        messenger.setMaxResponseBytes(net.maxBytes);
    }
    gCompletion = {};
    const auto security = net.insecure ? KwexNet::kHTTPSSLRelaxed : KwexNet::kHTTPSSLDefault;
    if (!messenger.sendRequest(&onExchangeDone, security)) {
        err << "kwexnet-cli: " << command << ": the request to " << messenger.getRequestURL()
            << " could not be started\n";
        return false;
    }
    const bool ended = platform::RunLoop::main().runUntil([] { return gCompletion.done; },
                                                           net.timeoutSeconds + kLoopGraceSeconds);
    if (!ended) {
        messenger.abortRequest();
        err << "kwexnet-cli: " << command << ": no answer within " << net.timeoutSeconds << " seconds\n";
        return false;
    }
    outcome.error = gCompletion.error;
    outcome.failure = describeFailure(messenger, outcome.error, net);
    outcome.status = messenger.getResponseStatusCode();
    unsigned char *body = nullptr;
    unsigned long length = 0;
    if (messenger.getResponseBody(&body, length)) {
        // The counted length includes the terminating zero.
        outcome.body.assign(reinterpret_cast<const char *>(body), length - 1);
    }
    delete[] body;
    return true;
}

void printStatus(std::ostream &out, const Outcome &outcome)
{
    out << "status=" << outcome.status << '\n' << "error=" << static_cast<int>(outcome.error) << '\n';
}

// ---------------------------------------------------------------------------
// Commands

int runHttp(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    std::string problem;
    const auto parsed = parseArgs(
        args, {{"--data", true}, {"--cacert", true}, {"--insecure", false}, {"--timeout", true}, {"--max-bytes", true}},
        problem);
    if (!parsed) {
        return usageError(err, problem);
    }
    if (parsed->positional.size() != 2) {
        return usageError(err, "http needs METHOD and URL");
    }
    const std::string &methodText = parsed->positional[0];
    const std::string &url = parsed->positional[1];
    KwexNet::eHTTPRequestMethod method;
    if (methodText == "GET" || methodText == "get") {
        method = KwexNet::kHTTPRequestGet;
    } else if (methodText == "POST" || methodText == "post") {
        method = KwexNet::kHTTPRequestPost;
    } else {
        return usageError(err, "http: METHOD must be GET or POST, not \"" + methodText + "\"");
    }
    if (!platform::isValidHttpUrl(url)) {
        return usageError(err, "http: \"" + url + "\" is not an http:// or https:// URL");
    }
    if (parsed->has("--data") && method != KwexNet::kHTTPRequestPost) {
        return usageError(err, "http: --data needs POST");
    }
    NetOptions net;
    if (!readNetOptions(*parsed, net, problem)) {
        return usageError(err, problem);
    }

    HTTPMessenger messenger;
    if (!messenger.setRequestInfo(url.c_str(), method, KwexNet::kHTTPVersion11)) {
        return usageError(err, "http: the messenger refused the URL \"" + url + "\"");
    }
    if (parsed->has("--data")) {
        const std::string data = parsed->get("--data");
        if (!messenger.setRequestHeaderField("Content-Type", "application/x-www-form-urlencoded")) {
            err << "kwexnet-cli: http: the messenger refused the Content-Type field\n";
            return kExitFailed;
        }
        // An empty body is simply not set: the POST then carries none.
        const unsigned long size = data.size();
        if (size != 0 && !messenger.setRequestBody(reinterpret_cast<const unsigned char *>(data.data()), size)) {
            err << "kwexnet-cli: http: the messenger refused the body\n";
            return kExitFailed;
        }
    }
    Outcome outcome;
    if (!exchange(messenger, net, "http", outcome, err)) {
        return kExitFailed;
    }
    printStatus(out, outcome);
    out << outcome.body;
    out.flush();
    if (outcome.error != KwexNet::kHTTPErrorNone) {
        err << "kwexnet-cli: http: exchange failed: " << outcome.failure << '\n';
        return kExitFailed;
    }
    return kExitOk;
}

// The base URL of the login service from --server: the scheme decides
// whether it is secure, the rest (with a trailing "/") is the host text.
bool setServiceBase(const std::string &server, std::string_view command, std::string &problem)
{
    constexpr std::string_view kHttps = "https://";
    constexpr std::string_view kHttp = "http://";
    bool secure = false;
    std::string host;
    if (startsWithNoCase(server, kHttps)) {
        secure = true;
        host = server.substr(kHttps.size());
    } else if (startsWithNoCase(server, kHttp)) {
        host = server.substr(kHttp.size());
    }
    if (host.empty() || !platform::isValidHttpUrl(server)) {
        problem = std::string(command) + ": --server \"" + server + "\" is not an http:// or https:// URL";
        return false;
    }
    if (host.back() != '/') {
        host += '/';
    }
    KwexNet::Tarv::SetGlobalURL(host, secure);
    return true;
}

// After a finished exchange: the status lines, then false with a message
// when the exchange failed.
bool checkExchange(const Outcome &outcome, std::string_view command, std::ostream &out, std::ostream &err)
{
    printStatus(out, outcome);
    if (outcome.error != KwexNet::kHTTPErrorNone) {
        err << "kwexnet-cli: " << command << ": exchange failed: " << outcome.failure << '\n';
        return false;
    }
    return true;
}

int malformed(const Outcome &outcome, std::string_view command, std::ostream &err)
{
    err << "kwexnet-cli: " << command << ": malformed reply (HTTP " << outcome.status << ", " << outcome.body.size()
        << " bytes)\n";
    return kExitFailed;
}

// A non-zero result or error id is the service's refusal.
int verdict(std::int32_t result, std::int32_t errorId, const std::string &message, std::string_view command,
            std::ostream &err)
{
    if (errorId != 0) {
        err << "kwexnet-cli: " << command << ": refused by the service: error " << errorId << ": "
            << escapeValue(message) << '\n';
        return kExitFailed;
    }
    if (result != 0) {
        err << "kwexnet-cli: " << command << ": refused by the service: result " << result << '\n';
        return kExitFailed;
    }
    return kExitOk;
}

int runDiscover(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    std::string problem;
    const auto parsed = parseArgs(
        args, {{"--server", true}, {"--cacert", true}, {"--timeout", true}, {"--max-bytes", true}}, problem);
    if (!parsed) {
        return usageError(err, problem);
    }
    if (!parsed->positional.empty()) {
        return usageError(err, "discover: unexpected argument \"" + parsed->positional[0] + "\"");
    }
    if (!parsed->has("--server")) {
        return usageError(err, "discover needs --server URL");
    }
    const std::string url = parsed->get("--server");
    if (!platform::isValidHttpUrl(url)) {
        return usageError(err, "discover: --server \"" + url + "\" is not an http:// or https:// URL");
    }
    NetOptions net;
    if (!readNetOptions(*parsed, net, problem)) {
        return usageError(err, problem);
    }

    HTTPMessenger messenger;
    if (!KwexNet::Tarv::CreateFindServerRequest(messenger, url.c_str(), kGameId)) {
        err << "kwexnet-cli: discover: " << KwexNet::Tarv::GetLastRequestError() << '\n';
        return kExitFailed;
    }
    Outcome outcome;
    if (!exchange(messenger, net, "discover", outcome, err)) {
        return kExitFailed;
    }
    if (!checkExchange(outcome, "discover", out, err)) {
        return kExitFailed;
    }
    KwexNet::Tarv::FindServerResponse reply;
    if (!reply.ParseFromResponseXML(outcome.body.data(), static_cast<unsigned int>(outcome.body.size()))) {
        return malformed(outcome, "discover", err);
    }
    printField(out, "http_host", reply.http_host);
    printField(out, "https_host", reply.https_host);
    printField(out, "socket_host", reply.socket_host);
    printField(out, "socket_port", reply.socket_port);
    printField(out, "iphone_version", reply.iphone_version);
    printField(out, "ipad_version", reply.ipad_version);
    printField(out, "error_id", reply.error_id);
    printField(out, "error_message", reply.error_message);
    const int code = verdict(0, reply.error_id, reply.error_message, "discover", err);
    if (code == kExitOk && reply.http_host.empty() && reply.https_host.empty()) {
        // Nothing to log in at: a login would go to a bare path.
        err << "kwexnet-cli: discover: the reply names no server host (no http or https server)\n";
        return kExitFailed;
    }
    return code;
}

int runLogin(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    std::string problem;
    const auto parsed = parseArgs(args,
                                  {{"--server", true},
                                   {"--email", true},
                                   {"--password", true},
                                   {"--cacert", true},
                                   {"--timeout", true},
                                   {"--max-bytes", true}},
                                  problem);
    if (!parsed) {
        return usageError(err, problem);
    }
    if (!parsed->positional.empty()) {
        return usageError(err, "login: unexpected argument \"" + parsed->positional[0] + "\"");
    }
    for (const char *required : {"--server", "--email", "--password"}) {
        if (!parsed->has(required)) {
            return usageError(err, std::string("login needs ") + required);
        }
    }
    NetOptions net;
    if (!readNetOptions(*parsed, net, problem) || !setServiceBase(parsed->get("--server"), "login", problem)) {
        return usageError(err, problem);
    }

    HTTPMessenger messenger;
    if (!KwexNet::Tarv::CreateLoginRequest(messenger, parsed->get("--email"), parsed->get("--password"), kGameId,
                                           kLoginApplicationKey, kPlatformId, kProtocolVersion, kForceKick)) {
        err << "kwexnet-cli: login: " << KwexNet::Tarv::GetLastRequestError() << '\n';
        return kExitFailed;
    }
    Outcome outcome;
    if (!exchange(messenger, net, "login", outcome, err)) {
        return kExitFailed;
    }
    if (!checkExchange(outcome, "login", out, err)) {
        return kExitFailed;
    }
    KwexNet::Tarv::LoginResponse reply;
    if (!reply.ParseFromResponseXML(outcome.body.data(), static_cast<unsigned int>(outcome.body.size()))) {
        return malformed(outcome, "login", err);
    }
    printField(out, "result", reply.result);
    printField(out, "session_id", reply.session_id);
    printField(out, "user_id", reply.user_id);
    printField(out, "user_email", reply.user_email);
    printField(out, "user_name", reply.user_name);
    printField(out, "user_firstname", reply.user_firstname);
    printField(out, "user_lastname", reply.user_lastname);
    printField(out, "pid_cdn", reply.pid_cdn);
    printField(out, "leaderboard_cdn", reply.leaderboard_cdn);
    printField(out, "avatar_cdn", reply.avatar_cdn);
    printMap(out, "profiles", reply.profiles);
    printMap(out, "games", reply.games);
    printField(out, "error_id", reply.error_id);
    printField(out, "error_message", reply.error_message);
    return verdict(reply.result, reply.error_id, reply.error_message, "login", err);
}

int runLogout(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    std::string problem;
    const auto parsed = parseArgs(
        args, {{"--server", true}, {"--session", true}, {"--cacert", true}, {"--timeout", true}, {"--max-bytes", true}},
        problem);
    if (!parsed) {
        return usageError(err, problem);
    }
    if (!parsed->positional.empty()) {
        return usageError(err, "logout: unexpected argument \"" + parsed->positional[0] + "\"");
    }
    for (const char *required : {"--server", "--session"}) {
        if (!parsed->has(required)) {
            return usageError(err, std::string("logout needs ") + required);
        }
    }
    NetOptions net;
    if (!readNetOptions(*parsed, net, problem) || !setServiceBase(parsed->get("--server"), "logout", problem)) {
        return usageError(err, problem);
    }

    HTTPMessenger messenger;
    if (!KwexNet::Tarv::CreateLogoutRequest(messenger, parsed->get("--session"), kGameId)) {
        err << "kwexnet-cli: logout: " << KwexNet::Tarv::GetLastRequestError() << '\n';
        return kExitFailed;
    }
    Outcome outcome;
    if (!exchange(messenger, net, "logout", outcome, err)) {
        return kExitFailed;
    }
    if (!checkExchange(outcome, "logout", out, err)) {
        return kExitFailed;
    }
    // The service answers a logout like its other account requests: a
    // <result id=".."/> or an error.
    KwexNet::Tarv::ResultStatusResponse reply;
    if (!reply.ParseFromResponseXML(outcome.body.data(), static_cast<unsigned int>(outcome.body.size()))) {
        return malformed(outcome, "logout", err);
    }
    printField(out, "result", reply.result);
    printField(out, "error_id", reply.error_id);
    printField(out, "error_message", reply.error_message);
    return verdict(reply.result, reply.error_id, reply.error_message, "logout", err);
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

int runDecrypt(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    using KwexNet::Encryption::Blowfish;
    std::string problem;
    const auto parsed = parseArgs(args, {{"--mode", true}, {"--padding", true}}, problem);
    if (!parsed) {
        return usageError(err, problem);
    }
    if (parsed->positional.size() != 1 || !parsed->has("--mode") || !parsed->has("--padding")) {
        return usageError(err, "decrypt needs --mode, --padding and HEX");
    }
    Blowfish::block_cipher_mode_t_ mode;
    const std::string modeText = parsed->get("--mode");
    if (modeText == "ecb") {
        mode = Blowfish::kModeECB;
    } else if (modeText == "cbc") {
        mode = Blowfish::kModeCBC;
    } else {
        return usageError(err, "decrypt: --mode must be ecb or cbc, not \"" + modeText + "\"");
    }
    Blowfish::padding_mode_t_ padding;
    const std::string paddingText = parsed->get("--padding");
    if (paddingText == "zero") {
        padding = Blowfish::kPaddingZero;
    } else if (paddingText == "pkcs5") {
        padding = Blowfish::kPaddingPKCS5;
    } else {
        return usageError(err, "decrypt: --padding must be zero or pkcs5, not \"" + paddingText + "\"");
    }

    const std::string &hex = parsed->positional[0];
    if (hex.size() % 2 != 0) {
        return usageError(err, "decrypt: HEX has an odd number of digits");
    }
    std::vector<unsigned char> input(hex.size() / 2);
    for (std::size_t i = 0; i < input.size(); ++i) {
        const int high = hexDigit(hex[2 * i]);
        const int low = hexDigit(hex[2 * i + 1]);
        if (high < 0 || low < 0) {
            return usageError(err, "decrypt: HEX holds a character that is no hexadecimal digit");
        }
        input[i] = static_cast<unsigned char>(high << 4 | low);
    }

    // Room for a whole input, and never a null buffer.
    std::vector<unsigned char> output(input.size() + 1);
    unsigned long outputLength = 0;
    if (!Blowfish::GetInstance().decryptBytes(input.data(), input.size(), output.data(), outputLength, mode,
                                              padding)) {
        // The library reports a bad length itself; the other refusals are silent.
        if (input.size() % Blowfish::kBlockSize == 0) {
            err << "kwexnet-cli: decrypt: cannot decrypt " << input.size()
                << " bytes: no final block, or a PKCS#5 padding byte outside 1 to 8\n";
        }
        return kExitFailed;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(outputLength * 2 + 1);
    for (unsigned long i = 0; i < outputLength; ++i) {
        text += kHex[output[i] >> 4];
        text += kHex[output[i] & 0x0f];
    }
    out << text << '\n';
    return kExitOk;
}

} // namespace

int runKwexnetCli(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    if (args.empty()) {
        return usageError(err, "no command given");
    }
    const std::string &command = args[0];
    if (command == "help" || command == "--help" || command == "-h") {
        out << kUsage;
        return kExitOk;
    }
    if (command == "http") {
        return runHttp(args, out, err);
    }
    if (command == "discover") {
        return runDiscover(args, out, err);
    }
    if (command == "login") {
        return runLogin(args, out, err);
    }
    if (command == "logout") {
        return runLogout(args, out, err);
    }
    if (command == "decrypt") {
        return runDecrypt(args, out, err);
    }
    return usageError(err, "unknown command \"" + command + "\"");
}
