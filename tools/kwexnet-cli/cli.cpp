#include "cli.h"

#include <kwexnet/blowfish.h>
#include <kwexnet/encode.h>
#include <kwexnet/http_messenger.h>
#include <kwexnet/kwex_messenger.h>
#include <kwexnet/tcp_manager.h>
#include <kwexnet/tarv_requests.h>
#include <kwexnet/tarv_responses.h>
#include <platform/runloop.h>
#include <platform/url_loader.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
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
      Logs in at the login service whose base URL is URL. A missing trailing
      "/" is added.
  logout --server URL --session S [--cacert FILE] [--timeout SECONDS]
       [--max-bytes N]
      Ends session S at the login service whose base URL is URL.
  register --server URL --user-name U --password P --email E [--first-name F]
       [--last-name L] [NET]
      Creates an account (https:// only: it carries a password).
  forgot --server URL --email E --user-name U [--language L] [NET]
      Asks for a forgotten password.
  modify --server URL --session S [--password P] [--email E] [--first-name F]
       [--last-name L] [NET]
      Changes the account; only the given values are sent.
  prefs --server URL --session S [--global] KEY=VALUE... [NET]
      Stores preference values by number: KEY=VALUE becomes
      profile_id_KEY=VALUE (--global: the game-wide preferences).
  relations --server URL --session S [--filter F|B|I|N] [NET]
      Lists the relations (all, or one status) and how they sort: friends,
      blocked, pending_sent, pending_received (entry numbers), blocked names.
  relate --server URL --session S (--target-id ID|--target-name NAME)
       --status F|B|I [NET]
      Asks for (or accepts) friendship, blocks or ignores a player.
  post-score --server URL --session S --profile-id N --value N [--metadata M]
       [NET]
      Posts a score.
  leaderboard --server URL --profile-id N [--user-id ID] --first N --count N
       [NET]
      Asks where the board is, then reads records FIRST to FIRST+COUNT-1 of
      its current file by byte range; rows are printed with their ranks
      (record 0 is rank 1). A page of more than 1000 rows, or with a field
      longer than 4096 bytes, is refused.
  join --server URL --session S [--topic N] [NET]
      Asks for a room on topic N (default 0).
  hex TEXT
      The 64-bit number a hexadecimal session text stands for.
  chat --socket HOST:PORT --session HEX --user-id ID [--to ID --say TEXT]
       [--listen SECONDS] [--timeout SECONDS]
      Connects to the socket server, registers, sends one room message TEXT
      to ID, then for SECONDS prints each message addressed to ID: its
      header fields, then its escaped payload. Prints state= at each change
      of the connection (1 connecting, 3 connected, 0 disconnected).
  decrypt --mode ecb|cbc --padding zero|pkcs5 HEX
      Decrypts HEX with the data files' Blowfish state; prints lower-case hex.
  help
      Prints this text.

NET stands for the options --cacert FILE, --timeout SECONDS, --max-bytes N.
Every command that carries a password or a session (all but discover,
forgot and leaderboard) needs an https:// server URL: over plain http it is
refused and sends nothing.
Replies are printed as name=value lines, one per field, after status= (the
HTTP status, -1 for none) and error= (0 done, 1 connection ended inside the
header, 2 certificate not trusted, 3 any other failure). In values, "\" and
control characters are written as \\, \n, \r, \t and \xHH.
--cacert FILE trusts a further certificate authority (PEM) beside the
system's; --insecure accepts any certificate; --timeout bounds the whole
exchange (default 30 seconds; above 0, at most 86400); --max-bytes caps the reply body (default
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
    err << "kwexnet-cli: " << problem << "\nTry 'kwexnet-cli --help'.\n";
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
            problem = "--timeout: \"" + text + "\" is not a number of seconds above 0 and at most 86400";
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
    return KwexNet::Encode::escapeControlCharacters(value);
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

// ---------------------------------------------------------------------------
// Account, relations, leaderboards, rooms

using KwexNet::Tarv::GetLastRequestError;

// What a login-service command shares: --server and the network options,
// required options, no stray arguments (unless it takes KEY=VALUE pairs).
struct ServiceCommand {
    std::string name;
    ParsedArgs args;
    NetOptions net;
};

std::optional<ServiceCommand> parseServiceCommand(const std::vector<std::string> &args, std::vector<OptionSpec> specs,
                                                  const std::vector<const char *> &required, bool positional,
                                                  std::ostream &err, int &code)
{
    for (const OptionSpec spec : {OptionSpec{"--server", true}, OptionSpec{"--cacert", true},
                                  OptionSpec{"--timeout", true}, OptionSpec{"--max-bytes", true}}) {
        specs.push_back(spec);
    }
    std::string problem;
    auto parsed = parseArgs(args, specs, problem);
    code = kExitUsage;
    if (!parsed) {
        usageError(err, problem);
        return std::nullopt;
    }
    if (!positional && !parsed->positional.empty()) {
        usageError(err, args[0] + ": unexpected argument \"" + parsed->positional[0] + "\"");
        return std::nullopt;
    }
    for (const char *option : required) {
        if (!parsed->has(option)) {
            usageError(err, args[0] + " needs " + option);
            return std::nullopt;
        }
    }
    if (!parsed->has("--server")) {
        usageError(err, args[0] + " needs --server");
        return std::nullopt;
    }
    ServiceCommand command{args[0], std::move(*parsed), {}};
    if (!readNetOptions(command.args, command.net, problem) ||
        !setServiceBase(command.args.get("--server"), command.name, problem)) {
        usageError(err, problem);
        return std::nullopt;
    }
    code = kExitOk;
    return command;
}

// A decimal number of at most 32 bits, from an option.
bool readUnsigned(const ParsedArgs &args, std::string_view option, unsigned int &value, std::string &problem)
{
    const std::string text = args.get(option);
    std::uint64_t number = 0;
    bool ok = !text.empty() && text.size() <= 10;
    for (const char c : text) {
        ok = ok && c >= '0' && c <= '9';
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (!ok || number > 0xFFFFFFFFu) {
        problem = std::string(option) + ": \"" + text + "\" is not a number from 0 to 4294967295";
        return false;
    }
    value = static_cast<unsigned int>(number);
    return true;
}

// Builds with `build`, exchanges, and hands the body to `parse`; prints the
// status lines. Returns the exit code of the exchange (kExitOk to go on).
// A build refused for a reason of the command line (`usage`) is left to the
// caller to report.
int runService(ServiceCommand &command, const std::function<bool(HTTPMessenger &)> &build, Outcome &outcome,
               std::ostream &out, std::ostream &err, const bool *usage = nullptr)
{
    HTTPMessenger messenger;
    if (!build(messenger)) {
        if (!usage || !*usage) {
            err << "kwexnet-cli: " << command.name << ": " << GetLastRequestError() << '\n';
        }
        return kExitFailed;
    }
    if (!exchange(messenger, command.net, command.name, outcome, err) ||
        !checkExchange(outcome, command.name, out, err)) {
        return kExitFailed;
    }
    return kExitOk;
}

template <typename Reply>
bool parseReply(Reply &reply, const Outcome &outcome)
{
    return reply.ParseFromResponseXML(outcome.body.data(), static_cast<unsigned int>(outcome.body.size()));
}

// Commands answered by <result/> (or <success/>) and an error.
template <typename Reply>
int runStatusCommand(const std::vector<std::string> &args, std::vector<OptionSpec> specs,
                     const std::vector<const char *> &required, bool positional,
                     const std::function<bool(HTTPMessenger &, const ServiceCommand &, std::string &)> &build,
                     std::ostream &out, std::ostream &err)
{
    int code = kExitOk;
    auto command = parseServiceCommand(args, std::move(specs), required, positional, err, code);
    if (!command) {
        return code;
    }
    std::string problem;
    bool usage = false;
    Outcome outcome;
    code = runService(
        *command,
        [&](HTTPMessenger &m) {
            if (!build(m, *command, problem)) {
                usage = !problem.empty();
                return false;
            }
            return true;
        },
        outcome, out, err, &usage);
    if (usage) {
        return usageError(err, problem);
    }
    if (code != kExitOk) {
        return code;
    }
    Reply reply;
    if (!parseReply(reply, outcome)) {
        return malformed(outcome, command->name, err);
    }
    std::int32_t result = 0;
    if constexpr (requires { reply.result; }) {
        result = reply.result;
        printField(out, "result", reply.result);
    }
    printField(out, "error_id", reply.error_id);
    printField(out, "error_message", reply.error_message);
    return verdict(result, reply.error_id, reply.error_message, command->name, err);
}

int runRegister(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    return runStatusCommand<KwexNet::Tarv::RegisterUserResponse>(
        args,
        {{"--user-name", true}, {"--password", true}, {"--email", true}, {"--first-name", true}, {"--last-name", true}},
        {"--user-name", "--password", "--email"}, false,
        [](HTTPMessenger &m, const ServiceCommand &c, std::string &) {
            return KwexNet::Tarv::CreateRegisterUserRequest(m, kGameId, c.args.get("--user-name"),
                                                            c.args.get("--password"), c.args.get("--email"),
                                                            c.args.get("--first-name"), c.args.get("--last-name"));
        },
        out, err);
}

int runForgot(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    return runStatusCommand<KwexNet::Tarv::ForgotPasswordResponse>(
        args, {{"--email", true}, {"--user-name", true}, {"--language", true}}, {"--email", "--user-name"}, false,
        [](HTTPMessenger &m, const ServiceCommand &c, std::string &) {
            return KwexNet::Tarv::CreateForgotPasswordRequest(m, kGameId, c.args.get("--email"),
                                                              c.args.get("--user-name"), c.args.get("--language"));
        },
        out, err);
}

int runModify(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    return runStatusCommand<KwexNet::Tarv::ModifyAccountResponse>(
        args,
        {{"--session", true}, {"--password", true}, {"--email", true}, {"--first-name", true}, {"--last-name", true}},
        {"--session"}, false,
        [](HTTPMessenger &m, const ServiceCommand &c, std::string &) {
            return KwexNet::Tarv::CreateModifyAccountRequest(m, c.args.get("--session"), kGameId,
                                                             c.args.get("--password"), c.args.get("--email"),
                                                             c.args.get("--first-name"), c.args.get("--last-name"));
        },
        out, err);
}

int runPrefs(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    return runStatusCommand<KwexNet::Tarv::UpdatePreferencesResponse>(
        args, {{"--session", true}, {"--global", false}}, {"--session"}, true,
        [](HTTPMessenger &m, const ServiceCommand &c, std::string &problem) {
            std::map<unsigned int, std::string> preferences;
            for (const std::string &pair : c.args.positional) {
                const auto eq = pair.find('=');
                ParsedArgs key;
                key.options.emplace("KEY", pair.substr(0, eq == std::string::npos ? pair.size() : eq));
                unsigned int number = 0;
                if (eq == std::string::npos || !readUnsigned(key, "KEY", number, problem)) {
                    problem = "prefs: \"" + pair + "\" is not KEY=VALUE with a numeric KEY";
                    return false;
                }
                if (!preferences.emplace(number, pair.substr(eq + 1)).second) {
                    problem = "prefs: KEY " + std::to_string(number) + " given twice";
                    return false;
                }
            }
            if (preferences.empty()) {
                problem = "prefs needs at least one KEY=VALUE";
                return false;
            }
            return KwexNet::Tarv::CreateUpdatePreferencesRequest(m, c.args.get("--session"), kGameId, preferences,
                                                                 c.args.has("--global"));
        },
        out, err);
}

bool readRelationCode(const ParsedArgs &args, std::string_view option, std::string_view allowed,
                      KwexNet::Tarv::Relation &code, std::string &problem)
{
    const std::string text = args.get(option);
    if (text.size() != 1 || allowed.find(text[0]) == std::string_view::npos) {
        problem = std::string(option) + " must be one of " + std::string(allowed) + ", not \"" + text + "\"";
        return false;
    }
    code = static_cast<KwexNet::Tarv::Relation>(text[0]);
    return true;
}

int runRelate(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    return runStatusCommand<KwexNet::Tarv::AddRelationResponse>(
        args, {{"--session", true}, {"--target-id", true}, {"--target-name", true}, {"--status", true}},
        {"--session", "--status"}, false,
        [](HTTPMessenger &m, const ServiceCommand &c, std::string &problem) {
            KwexNet::Tarv::Relation code{};
            if (c.args.has("--target-id") == c.args.has("--target-name")) {
                problem = "relate needs one of --target-id and --target-name";
                return false;
            }
            if (!readRelationCode(c.args, "--status", "FBI", code, problem)) {
                return false;
            }
            const std::string session = c.args.get("--session");
            if (c.args.has("--target-id")) {
                return KwexNet::Tarv::CreateAddRelationRequest(m, session, kGameId, c.args.get("--target-id"), code);
            }
            return KwexNet::Tarv::CreateAddRelationByUsernameRequest(m, session, kGameId, c.args.get("--target-name"),
                                                                     code);
        },
        out, err);
}

int runJoinCommand(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    int code = kExitOk;
    auto command = parseServiceCommand(args, {{"--session", true}, {"--topic", true}}, {"--session"}, false, err, code);
    if (!command) {
        return code;
    }
    unsigned int topic = 0;
    std::string problem;
    if (command->args.has("--topic") && !readUnsigned(command->args, "--topic", topic, problem)) {
        return usageError(err, problem);
    }
    Outcome outcome;
    code = runService(
        *command,
        [&](HTTPMessenger &m) {
            return KwexNet::Tarv::CreateJoinGroupByTopicRequest(m, command->args.get("--session"), kGameId, topic);
        },
        outcome, out, err);
    if (code != kExitOk) {
        return code;
    }
    KwexNet::Tarv::JoinGroupByTopicResponse reply;
    if (!parseReply(reply, outcome)) {
        return malformed(outcome, command->name, err);
    }
    printField(out, "server_id", reply.server_id);
    printField(out, "address", reply.address);
    printField(out, "group_id", reply.group_id);
    printField(out, "error_id", reply.error_id);
    printField(out, "error_message", reply.error_message);
    return verdict(0, reply.error_id, reply.error_message, command->name, err);
}

int runPostScore(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    int code = kExitOk;
    auto command = parseServiceCommand(
        args, {{"--session", true}, {"--profile-id", true}, {"--value", true}, {"--metadata", true}},
        {"--session", "--profile-id", "--value"}, false, err, code);
    if (!command) {
        return code;
    }
    unsigned int profile = 0;
    unsigned int value = 0;
    std::string problem;
    if (!readUnsigned(command->args, "--profile-id", profile, problem) ||
        !readUnsigned(command->args, "--value", value, problem)) {
        return usageError(err, problem);
    }
    Outcome outcome;
    code = runService(
        *command,
        [&](HTTPMessenger &m) {
            return KwexNet::Tarv::CreatePostScoreRequest(m, command->args.get("--session"), kGameId, profile, value,
                                                         command->args.get("--metadata"));
        },
        outcome, out, err);
    if (code != kExitOk) {
        return code;
    }
    // No reply structure exists for a posted score: a 2xx status is success.
    if (outcome.status < 200 || outcome.status > 299) {
        err << "kwexnet-cli: post-score: the service answered HTTP " << outcome.status << '\n';
        return kExitFailed;
    }
    return kExitOk;
}

std::string joinIndices(const std::vector<std::size_t> &indices)
{
    std::string text;
    for (const std::size_t i : indices) {
        if (!text.empty()) {
            text += ',';
        }
        text += std::to_string(i);
    }
    return text;
}

int runRelations(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    int code = kExitOk;
    auto command =
        parseServiceCommand(args, {{"--session", true}, {"--filter", true}}, {"--session"}, false, err, code);
    if (!command) {
        return code;
    }
    KwexNet::Tarv::Relation filter = KwexNet::Tarv::kRelationNone;
    std::string problem;
    if (command->args.has("--filter") && !readRelationCode(command->args, "--filter", "FBIN", filter, problem)) {
        return usageError(err, problem);
    }
    Outcome outcome;
    code = runService(
        *command,
        [&](HTTPMessenger &m) {
            return KwexNet::Tarv::CreateGetRelationsRequest(m, command->args.get("--session"), kGameId, filter);
        },
        outcome, out, err);
    if (code != kExitOk) {
        return code;
    }
    KwexNet::Tarv::GetRelationsResponse reply;
    if (!parseReply(reply, outcome)) {
        return malformed(outcome, command->name, err);
    }
    for (std::size_t i = 0; i < reply.entries.size(); ++i) {
        const auto &e = reply.entries[i];
        const std::string prefix = "relation[" + std::to_string(i) + "].";
        printField(out, prefix + "target_user_id", e.target_user_id);
        printField(out, prefix + "target_user_name", e.target_user_name);
        printField(out, prefix + "status",
                   std::string{static_cast<char>(e.own_status), static_cast<char>(e.other_status)});
        printField(out, prefix + "online_status", e.target_user_online_status);
        printField(out, prefix + "game_mode",
                   std::to_string(e.mode_major) + "," + std::to_string(e.mode_minor) + "," + (e.mode_flag ? "1" : "0"));
        printField(out, prefix + "game_mode_text", e.game_mode_text);
        printField(out, prefix + "blocked", e.blocked ? 1 : 0);
    }
    printField(out, "friends", joinIndices(reply.friends));
    printField(out, "blocked", joinIndices(reply.blocked));
    printField(out, "pending_sent", joinIndices(reply.pending_sent));
    printField(out, "pending_received", joinIndices(reply.pending_received));
    for (const auto &[name, flag] : reply.blocked_names) {
        out << "blocked_names[" << escapeValue(name) << "]=" << (flag ? 1 : 0) << '\n';
    }
    printField(out, "error_id", reply.error_id);
    printField(out, "error_message", reply.error_message);
    return verdict(0, reply.error_id, reply.error_message, command->name, err);
}

int runLeaderboard(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    int code = kExitOk;
    auto command =
        parseServiceCommand(args, {{"--profile-id", true}, {"--user-id", true}, {"--first", true}, {"--count", true}},
                            {"--profile-id", "--first", "--count"}, false, err, code);
    if (!command) {
        return code;
    }
    unsigned int profile = 0;
    unsigned int first = 0;
    unsigned int count = 0;
    std::string problem;
    if (!readUnsigned(command->args, "--profile-id", profile, problem) ||
        !readUnsigned(command->args, "--first", first, problem) ||
        !readUnsigned(command->args, "--count", count, problem)) {
        return usageError(err, problem);
    }
    if (count == 0) {
        return usageError(err, "leaderboard: --count must be above 0");
    }
    Outcome outcome;
    code = runService(
        *command,
        [&](HTTPMessenger &m) {
            return KwexNet::Tarv::CreateGetLeaderboardRequestNoAuth(m, kGameId, profile,
                                                                    command->args.get("--user-id"));
        },
        outcome, out, err);
    if (code != kExitOk) {
        return code;
    }
    KwexNet::Tarv::GetLeaderboardResponse info;
    if (!parseReply(info, outcome)) {
        return malformed(outcome, command->name, err);
    }
    printField(out, "current_cdn", info.current_cdn);
    printField(out, "current_rank", info.current_rank);
    printField(out, "current_record_length", info.current_record_length);
    printField(out, "current_total_records", info.current_total_records);
    printField(out, "last_cdn", info.last_cdn);
    printField(out, "last_rank", info.last_rank);
    printField(out, "last_record_length", info.last_record_length);
    printField(out, "last_total_records", info.last_total_records);
    printField(out, "error_id", info.error_id);
    printField(out, "error_message", info.error_message);
    if (const int refused = verdict(0, info.error_id, info.error_message, command->name, err); refused != kExitOk) {
        return refused;
    }
    if (info.current_record_length <= 0) {
        err << "kwexnet-cli: leaderboard: the board's record length is " << info.current_record_length << '\n';
        return kExitFailed;
    }

    Outcome page;
    code = runService(
        *command,
        [&](HTTPMessenger &m) {
            return KwexNet::Tarv::CreateGetLeaderboardCDNRequest(
                m, info.current_cdn, static_cast<unsigned int>(info.current_record_length), first, count);
        },
        page, out, err);
    if (code != kExitOk) {
        return code;
    }
    KwexNet::Tarv::CDNLeaderboard board;
    // Record 0 holds rank 1.
    const unsigned int firstRank = first == 0xFFFFFFFFu ? first : first + 1;
    if (!board.ParseFromResponseXML(page.body.data(), static_cast<unsigned int>(page.body.size()), firstRank)) {
        err << "kwexnet-cli: leaderboard: the page was refused: more than " << KwexNet::Tarv::CDNLeaderboard::kMaxPageRows
            << " rows or a field longer than " << KwexNet::Tarv::CDNLeaderboard::kMaxFieldBytes << " bytes\n";
        return kExitFailed;
    }
    for (const auto &row : board.entries) {
        const std::string prefix = "row[" + std::to_string(row.rank) + "].";
        printField(out, prefix + "user_name", row.user_name);
        printField(out, prefix + "user_id", row.user_id);
        printField(out, prefix + "score", row.score);
        printField(out, prefix + "wins", row.wins);
        printField(out, prefix + "losses", row.losses);
        printField(out, prefix + "avatar_id", row.avatar_id);
        printField(out, prefix + "metadata", row.metadata);
        printField(out, prefix + "gamedata", row.gamedata);
    }
    printField(out, "rows", static_cast<long long>(board.entries.size()));
    return kExitOk;
}

int runHex(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    if (args.size() != 2) {
        return usageError(err, "hex needs TEXT");
    }
    const std::string &text = args[1];
    if (text.empty() || text.size() > 16 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return hexDigit(c) >= 0; })) {
        return usageError(err, "hex: \"" + escapeValue(text) + "\" is not 1 to 16 hexadecimal digits");
    }
    std::uint64_t value = 0;
    if (!KwexNet::Encode::hexStringToLong(text.c_str(), value)) {
        return kExitFailed;
    }
    out << "value=" << value << '\n';
    return kExitOk;
}

// ---------------------------------------------------------------------------
// Chat over the socket server

std::string idText(const KwexNet::UserId &id)
{
    // Up to the first zero: ids shorter than 36 bytes are zero-padded.
    return std::string(id.data(), strnlen(id.data(), id.size()));
}

void printMessage(std::ostream &out, const KwexNet::NetworkMessage &message)
{
    const KwexNet::TCPHeader &h = message.header;
    printField(out, "routing_type", h.routingType);
    printField(out, "encryption_type", h.encryptionType);
    printField(out, "session_id", static_cast<long long>(h.sessionId));
    printField(out, "sender_id", idText(h.senderId));
    printField(out, "recipient_id", idText(h.recipientId));
    printField(out, "session_code", h.sessionCode);
    printField(out, "session_tag", h.sessionTag);
    printField(out, "payload_length", static_cast<long long>(message.getLength()));
    printField(out, "payload", std::string_view(message.getData() ? message.getData() : "", message.getLength()));
    out.flush();
}

int runChat(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    std::string problem;
    const auto parsed = parseArgs(args,
                                  {{"--socket", true},
                                   {"--session", true},
                                   {"--user-id", true},
                                   {"--to", true},
                                   {"--say", true},
                                   {"--listen", true},
                                   {"--timeout", true}},
                                  problem);
    if (!parsed) {
        return usageError(err, problem);
    }
    if (!parsed->positional.empty()) {
        return usageError(err, "chat: unexpected argument \"" + parsed->positional[0] + "\"");
    }
    for (const char *required : {"--socket", "--session", "--user-id"}) {
        if (!parsed->has(required)) {
            return usageError(err, std::string("chat needs ") + required);
        }
    }
    if (parsed->has("--to") != parsed->has("--say")) {
        return usageError(err, "chat: --to and --say go together");
    }
    const std::string socket = parsed->get("--socket");
    const auto colon = socket.rfind(':');
    ParsedArgs portArg;
    unsigned int port = 0;
    portArg.options.emplace("PORT", colon == std::string::npos ? std::string() : socket.substr(colon + 1));
    if (colon == std::string::npos || colon == 0 || !readUnsigned(portArg, "PORT", port, problem) || port == 0 ||
        port > 65535) {
        return usageError(err, "chat: --socket \"" + socket + "\" is not HOST:PORT");
    }
    const std::string host = socket.substr(0, colon);
    NetOptions net;
    if (!readNetOptions(*parsed, net, problem)) {
        return usageError(err, problem);
    }
    double listenSeconds = 0.0;
    if (parsed->has("--listen")) {
        const std::string text = parsed->get("--listen");
        char *end = nullptr;
        listenSeconds = std::strtod(text.c_str(), &end);
        if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(listenSeconds) || listenSeconds < 0.0 ||
            listenSeconds > 24.0 * 3600.0) {
            return usageError(err, "--listen: \"" + text + "\" is not a number of seconds between 0 and 86400");
        }
    }
    const std::string userId = parsed->get("--user-id");
    if (userId.size() > KwexNet::kUserIdBytes) {
        return usageError(err, "chat: --user-id is longer than 36 characters");
    }
    std::uint64_t session = 0;
    (void)KwexNet::Encode::hexStringToLong(parsed->get("--session").c_str(), session);

    auto &loop = platform::RunLoop::main();
    KwexNet::TCPManager tcp(loop);
    KwexNet::KwexMessenger messenger;
    messenger.setSessionProperties(session, userId.c_str(), 28, 1);
    int lastState = -1;
    const auto noteState = [&] {
        if (tcp.getState() != lastState) {
            lastState = tcp.getState();
            out << "state=" << lastState << '\n';
        }
    };
    // Messages first, then the state: the last messages before a close
    // come before "state=0".
    const auto drain = [&] {
        if (tcp.getDataSize() == 0) {
            return;
        }
        std::string data(tcp.getDataSize(), '\0');
        unsigned long length = data.size();
        if (!tcp.getData(data.data(), length)) {
            return;
        }
        if (!messenger.appendData(data.data(), length)) {
            err << "kwexnet-cli: chat: the server announced a message over " << KwexNet::KwexMessenger::kMaxPayloadBytes
                << " bytes; disconnecting\n";
            tcp.disconnect();
        }
        KwexNet::NetworkMessage message;
        while (messenger.getNextMessage(message)) {
            // Messages for someone else are not ours to show.
            if (message.header.recipientId == messenger.getUserId()) {
                printMessage(out, message);
            }
        }
    };
    const auto pump = [&] {
        drain();
        noteState();
    };

    tcp.startConnect(host.c_str(), static_cast<unsigned short>(port));
    messenger.resetReceiveState();
    noteState();
    const bool connected = loop.runUntil(
        [&] {
            pump();
            return tcp.getState() != KwexNet::TCPManager::kStateConnecting;
        },
        net.timeoutSeconds);
    if (!connected || tcp.getState() != KwexNet::TCPManager::kStateConnected) {
        if (!connected) {
            tcp.disconnect();
            noteState();
        }
        err << "kwexnet-cli: chat: could not connect to " << socket << '\n';
        return kExitFailed;
    }
    if (!messenger.sendMessage(&tcp, nullptr, 0, KwexNet::kMessageRoutingRegister, KwexNet::kMessageEncryptionNone,
                               nullptr)) {
        noteState();
        err << "kwexnet-cli: chat: the registration could not be sent\n";
        return kExitFailed;
    }
    if (parsed->has("--say")) {
        const std::string text = parsed->get("--say");
        const std::string to = parsed->get("--to");
        if (!messenger.sendMessage(&tcp, text.data(), text.size(), KwexNet::kMessageRoutingRoom,
                                   KwexNet::kMessageEncryptionNone, to.c_str())) {
            noteState();
            err << "kwexnet-cli: chat: the message could not be sent\n";
            return kExitFailed;
        }
    }
    // Everything written before listening (or leaving).
    const bool flushed = loop.runUntil(
        [&] {
            pump();
            return tcp.getState() != KwexNet::TCPManager::kStateConnected || tcp.getPendingSendSize() == 0;
        },
        net.timeoutSeconds);
    if (!flushed || tcp.getState() != KwexNet::TCPManager::kStateConnected) {
        noteState();
        err << "kwexnet-cli: chat: the connection ended before everything was sent\n";
        return kExitFailed;
    }
    loop.runUntil(
        [&] {
            pump();
            return tcp.getState() != KwexNet::TCPManager::kStateConnected;
        },
        listenSeconds);
    pump();
    if (tcp.getState() != KwexNet::TCPManager::kStateConnected) {
        err << "kwexnet-cli: chat: the server closed the connection\n";
    }
    tcp.disconnect();
    noteState();
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
    using Command = int (*)(const std::vector<std::string> &, std::ostream &, std::ostream &);
    static const std::map<std::string, Command, std::less<>> kLobbyCommands = {
        {"register", &runRegister},
        {"forgot", &runForgot},
        {"modify", &runModify},
        {"prefs", &runPrefs},
        {"relations", &runRelations},
        {"relate", &runRelate},
        {"post-score", &runPostScore},
        {"leaderboard", &runLeaderboard},
        {"join", &runJoinCommand},
        {"hex", &runHex},
        {"chat", &runChat},
    };
    if (const auto it = kLobbyCommands.find(command); it != kLobbyCommands.end()) {
        return it->second(args, out, err);
    }
    return usageError(err, "unknown command \"" + command + "\"");
}
