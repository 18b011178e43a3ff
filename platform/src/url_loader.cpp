#include "platform/url_loader.h"

#include "platform/runloop.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string_view>

#include <curl/curl.h>

namespace platform {

namespace {

struct CurlDefaults {
    bool ok = false;
    std::string caInfo; // the built-in bundle
    std::string caPath; // the built-in hashed directory
};

// curl_global_init is not thread-safe: run it once, before any other curl call.
const CurlDefaults &curlDefaults()
{
    static std::once_flag once;
    static CurlDefaults defaults;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
            return;
        defaults.ok = true;
        if (CURL *probe = curl_easy_init()) {
            char *info = nullptr;
            if (curl_easy_getinfo(probe, CURLINFO_CAINFO, &info) == CURLE_OK && info)
                defaults.caInfo = info;
            info = nullptr;
            if (curl_easy_getinfo(probe, CURLINFO_CAPATH, &info) == CURLE_OK && info)
                defaults.caPath = info;
            curl_easy_cleanup(probe);
        }
    });
    return defaults;
}

bool iequals(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool isTokenChar(unsigned char c)
{
    if (std::isalnum(c))
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

std::string_view trimWhitespace(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

bool readFile(const std::string &path, std::string &out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// Loopback never goes through a proxy, whatever the environment says.
std::string noProxyList()
{
    std::string list = "localhost,127.0.0.1,::1";
    for (const char *name : {"no_proxy", "NO_PROXY"}) {
        if (const char *env = std::getenv(name); env && *env) {
            list += ',';
            list += env;
            break;
        }
    }
    return list;
}

} // namespace

std::optional<UrlParts> splitUrl(const std::string &url)
{
    CURLU *parsed = curl_url();
    if (!parsed)
        return std::nullopt;
    std::optional<UrlParts> out;
    if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
        char *scheme = nullptr;
        char *host = nullptr;
        char *port = nullptr;
        char *user = nullptr;
        if (curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
            curl_url_get(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
            UrlParts parts;
            auto lower = [](std::string text) {
                for (char &c : text)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                return text;
            };
            parts.scheme = lower(scheme);
            parts.host = lower(host);
            parts.port = port;
            parts.hasUser = curl_url_get(parsed, CURLUPART_USER, &user, 0) == CURLUE_OK && user && *user;
            out = std::move(parts);
        }
        curl_free(scheme);
        curl_free(host);
        curl_free(port);
        curl_free(user);
    }
    curl_url_cleanup(parsed);
    return out;
}

namespace {

bool carriesCredentials(const UrlRequest &r, const UrlParts &start)
{
    if (r.carriesCredentials || start.hasUser)
        return true;
    return std::any_of(r.headers.begin(), r.headers.end(), [](const auto &field) {
        return iequals(field.first, "Authorization") || iequals(field.first, "Proxy-Authorization") ||
               iequals(field.first, "Cookie");
    });
}

double steadySeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// One exchange's request, curl-owned resources and the response being read.
// The request is the current hop's: a followed redirect rewrites its URL
// (and, for 301, 302 and 303, its method and body).
struct Transfer {
    UrlRequest request;
    UrlParts start;          // where the exchange began
    bool credentials = false;
    long redirects = 0;      // followed so far
    double deadline = 0.0;   // steady seconds; 0 for none
    UrlError refused = UrlError::None;
    std::string refusal;
    curl_slist *headerList = nullptr;
    std::string noProxy;
    std::string caBlob;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    int status = -1;
    bool inHeader = false;
    bool headerComplete = false;
    bool requestSent = false;
    bool tooLarge = false;
    std::map<std::string, std::string> headers;
    std::string lastHeaderName;
    std::string body;

    // `r` must have passed validRequest().
    explicit Transfer(UrlRequest r) : request(std::move(r))
    {
        start = splitUrl(request.url).value_or(UrlParts{});
        credentials = carriesCredentials(request, start);
        if (request.timeoutSeconds > 0.0)
            deadline = steadySeconds() + std::min(request.timeoutSeconds, 1.0e9);
    }
    ~Transfer() { curl_slist_free_all(headerList); }
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    // Each request on the wire (the first and each followed redirect) starts a
    // fresh response: only the last one is reported.
    static int onPrerequest(void *user, char *, char *, int, int)
    {
        auto *t = static_cast<Transfer *>(user);
        t->requestSent = true;
        t->resetResponse();
        return CURL_PREREQFUNC_OK;
    }

    void resetResponse()
    {
        status = -1;
        inHeader = false;
        headerComplete = false;
        headers.clear();
        lastHeaderName.clear();
        body.clear();
    }

    static std::size_t onHeader(char *data, std::size_t size, std::size_t count, void *user)
    {
        const std::size_t length = size * count;
        try {
            static_cast<Transfer *>(user)->headerLine(std::string_view(data, length));
        } catch (...) {
            return 0; // out of memory: curl fails the exchange
        }
        return length;
    }

    void headerLine(std::string_view line)
    {
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.remove_suffix(1);
        if (line.starts_with("HTTP/")) {
            // A status line: an interim (1xx) or a new response on the same request.
            resetResponse();
            inHeader = true;
            const std::size_t space = line.find(' ');
            if (space != std::string_view::npos && line.size() >= space + 4) {
                int code = 0;
                bool digits = true;
                for (std::size_t i = space + 1; i < space + 4; ++i) {
                    const char c = line[i];
                    digits = digits && c >= '0' && c <= '9';
                    code = code * 10 + (c - '0');
                }
                if (digits)
                    status = code;
            }
            return;
        }
        if (!inHeader)
            return; // trailers, or lines with no status line before them
        if (line.empty()) {
            inHeader = false;
            // An interim response is followed by the real one.
            headerComplete = !(status >= 100 && status < 200);
            return;
        }
        if ((line.front() == ' ' || line.front() == '\t') && !lastHeaderName.empty()) {
            auto &value = headers[lastHeaderName]; // obsolete line folding
            value += ' ';
            value += trimWhitespace(line);
            return;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0)
            return;
        std::string name(trimWhitespace(line.substr(0, colon)));
        const std::string_view value = trimWhitespace(line.substr(colon + 1));
        auto [it, inserted] = headers.try_emplace(name, value);
        if (!inserted) {
            it->second += ", ";
            it->second += value;
        }
        lastHeaderName = std::move(name);
    }

    static std::size_t onBody(char *data, std::size_t size, std::size_t count, void *user)
    {
        auto *t = static_cast<Transfer *>(user);
        const std::size_t length = size * count;
        if (t->body.size() + length > t->request.maxResponseBytes) {
            t->tooLarge = true;
            return 0; // curl ends the exchange with CURLE_WRITE_ERROR
        }
        try {
            t->body.append(data, length);
        } catch (...) {
            return 0;
        }
        return length;
    }

    bool addHeader(const std::string &line)
    {
        curl_slist *next = curl_slist_append(headerList, line.c_str());
        if (!next)
            return false;
        headerList = next;
        return true;
    }

    bool configure(CURL *h)
    {
        const CurlDefaults &defaults = curlDefaults();
        const UrlRequest &r = request;
        bool ok = true;
        auto set = [&](CURLoption option, auto value) { ok = ok && curl_easy_setopt(h, option, value) == CURLE_OK; };

        curl_slist_free_all(headerList);
        headerList = nullptr;
        errorBuffer[0] = '\0';
        requestSent = false;
        resetResponse();

        set(CURLOPT_URL, r.url.c_str());
        set(CURLOPT_PROTOCOLS_STR, "http,https");
        set(CURLOPT_NOSIGNAL, 1L);
        set(CURLOPT_ERRORBUFFER, errorBuffer);
        // Redirects are followed here, one hop at a time, after each was
        // checked (nextHop): curl would go to any http or https target.
        set(CURLOPT_FOLLOWLOCATION, 0L);
        set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        noProxy = noProxyList();
        set(CURLOPT_NOPROXY, noProxy.c_str());

        switch (r.httpVersion) {
        case UrlHttpVersion::Http10: set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0)); break;
        case UrlHttpVersion::Http11: set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)); break;
        case UrlHttpVersion::Default: break;
        }

        // Method and body. POSTFIELDS points into `request`, which outlives the exchange.
        const bool hasBody = !r.body.empty();
        if (r.method == "POST") {
            set(CURLOPT_POST, 1L);
            set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
            set(CURLOPT_POSTFIELDS, r.body.data());
        } else if (r.method == "GET" && !hasBody) {
            set(CURLOPT_HTTPGET, 1L);
        } else if (r.method == "HEAD" && !hasBody) {
            set(CURLOPT_NOBODY, 1L);
        } else {
            set(CURLOPT_CUSTOMREQUEST, r.method.c_str());
            if (hasBody) {
                set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
                set(CURLOPT_POSTFIELDS, r.body.data());
            }
        }

        // Header fields. Content-Length always comes from the body itself: a
        // caller's wrong value would desynchronise the connection.
        bool hasContentType = false;
        bool hasExpect = false;
        for (const auto &[name, value] : r.headers) {
            if (iequals(name, "Content-Length"))
                continue;
            hasContentType = hasContentType || iequals(name, "Content-Type");
            hasExpect = hasExpect || iequals(name, "Expect");
            // "Name;" is curl's way to send a field with an empty value.
            ok = ok && addHeader(value.empty() ? name + ";" : name + ": " + value);
        }
        if (!hasContentType)
            ok = ok && addHeader("Content-Type:"); // no form type unless asked for
        if (!hasExpect)
            ok = ok && addHeader("Expect:"); // send the body at once
        set(CURLOPT_HTTPHEADER, headerList);

        // TLS.
        set(CURLOPT_SSL_VERIFYPEER, r.insecureSkipVerify ? 0L : 1L);
        set(CURLOPT_SSL_VERIFYHOST, r.insecureSkipVerify ? 0L : 2L);
        if (!r.caFile.empty()) {
            if (!defaults.caPath.empty() || defaults.caInfo.empty()) {
                // The system's hashed directory stays trusted beside this file.
                set(CURLOPT_CAINFO, r.caFile.c_str());
            } else {
                // Only a bundle file is built in: trust it and the extra file together.
                std::string extra;
                if (!readFile(defaults.caInfo, caBlob))
                    caBlob.clear();
                if (!readFile(r.caFile, extra))
                    return false;
                caBlob += '\n';
                caBlob += extra;
                curl_blob blob{caBlob.data(), caBlob.size(), CURL_BLOB_NOCOPY};
                set(CURLOPT_CAINFO_BLOB, &blob);
            }
        }

        if (deadline > 0.0) {
            // What is left of the whole exchange's time, redirects included.
            const double ms = std::min((deadline - steadySeconds()) * 1000.0, 1.0e12);
            set(CURLOPT_TIMEOUT_MS, std::max(1L, static_cast<long>(ms)));
        }

        set(CURLOPT_PREREQFUNCTION, &Transfer::onPrerequest);
        set(CURLOPT_PREREQDATA, static_cast<void *>(this));
        set(CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
        set(CURLOPT_HEADERDATA, static_cast<void *>(this));
        set(CURLOPT_WRITEFUNCTION, &Transfer::onBody);
        set(CURLOPT_WRITEDATA, static_cast<void *>(this));
        return ok;
    }

    [[nodiscard]] bool isConnectionEnd(CURLcode code) const
    {
        // After our request went out, the peer closed or broke off inside the
        // header (curl 7.88 even reports a header cut short as CURLE_OK, which
        // finish() catches). A reset or a time-out is another failure.
        return requestSent &&
               (code == CURLE_GOT_NOTHING || code == CURLE_PARTIAL_FILE || code == CURLE_WEIRD_SERVER_REPLY);
    }

    enum class Step { Done, Follow, Refused };

    Step refuse(UrlError why, std::string text)
    {
        refused = why;
        refusal = std::move(text);
        return Step::Refused;
    }

    // After one hop has ended: whether it was a redirect to follow, one to
    // refuse, or the final answer. A redirect to follow rewrites the request.
    Step nextHop(CURL *h, CURLcode code)
    {
        if (code != CURLE_OK || !headerComplete || !request.followRedirects)
            return Step::Done;
        if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308)
            return Step::Done;
        char *location = nullptr;
        if (curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &location) != CURLE_OK || !location)
            return Step::Done; // a redirect status without a target is the answer
        const std::string target = location;
        if (redirects >= std::max(0L, request.maxRedirects))
            return refuse(UrlError::TooManyRedirects,
                          "more than " + std::to_string(std::max(0L, request.maxRedirects)) +
                              " redirects; the last one pointed to " + target);
        const auto next = splitUrl(target);
        if (!next || (next->scheme != "http" && next->scheme != "https"))
            return refuse(UrlError::RedirectRefused, "redirect to " + target + " refused: not an http or https URL");
        if (start.scheme == "https" && next->scheme != "https")
            return refuse(UrlError::RedirectRefused,
                          "redirect from https to plain http refused: " + target + " would be sent without TLS");
        if (credentials && (next->host != start.host || next->port != start.port))
            return refuse(UrlError::RedirectRefused, "redirect to " + target +
                                                         " refused: the request carries credentials for " +
                                                         start.host + ":" + start.port + " only");
        if (deadline > 0.0 && steadySeconds() >= deadline)
            return refuse(UrlError::TimedOut, "timed out while following a redirect");
        ++redirects;
        if (request.onRedirect)
            request.onRedirect(request.url, target);
        request.url = target;
        const bool toGet = (status == 303 && request.method != "HEAD") ||
                           ((status == 301 || status == 302) && request.method == "POST");
        if (toGet) {
            request.method = "GET";
            request.body.clear();
            std::erase_if(request.headers, [](const auto &field) { return iequals(field.first, "Content-Type"); });
        }
        return Step::Follow;
    }

    UrlResponse refusedResponse() const
    {
        UrlResponse out;
        out.failure = UrlFailure::Other;
        out.error = refused;
        out.errorText = refusal;
        out.effectiveUrl = request.url;
        return out;
    }

    [[nodiscard]] UrlError classify(CURLcode code) const
    {
        if (tooLarge)
            return UrlError::TooLarge;
        switch (code) {
        case CURLE_OK: return headerComplete ? UrlError::None : UrlError::ConnectionLost;
        case CURLE_PEER_FAILED_VERIFICATION: return UrlError::Certificate;
#if CURLE_SSL_CACERT != CURLE_PEER_FAILED_VERIFICATION
        case CURLE_SSL_CACERT: return UrlError::Certificate;
#endif
        // Without a readable CA bundle no certificate can be trusted.
        case CURLE_SSL_CACERT_BADFILE: return UrlError::Certificate;
        case CURLE_OPERATION_TIMEDOUT: return UrlError::TimedOut;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return UrlError::HostNotFound;
        case CURLE_COULDNT_CONNECT: return UrlError::ConnectionRefused;
        case CURLE_SSL_CONNECT_ERROR: return UrlError::Tls;
        case CURLE_RECV_ERROR:
            // curl reports broken chunked framing as a receive error; only
            // its message tells the two apart.
            if (headerComplete && std::string_view(errorBuffer).find("chunk") != std::string_view::npos)
                return UrlError::MalformedReply;
            return UrlError::ConnectionLost;
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_SEND_ERROR: return UrlError::ConnectionLost;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING: return UrlError::MalformedReply;
        case CURLE_UNSUPPORTED_PROTOCOL: return requestSent ? UrlError::MalformedReply : UrlError::Other;
        case CURLE_TOO_MANY_REDIRECTS: return UrlError::TooManyRedirects;
        default: return UrlError::Other;
        }
    }

    UrlResponse finish(CURL *h, CURLcode code)
    {
        UrlResponse out;
        out.curlCode = static_cast<int>(code);
        out.headerComplete = headerComplete;
        out.error = classify(code);
        if (code == CURLE_OK) {
            out.failure = headerComplete ? UrlFailure::None : UrlFailure::IncompleteHeader;
        } else if (out.error == UrlError::Certificate) {
            out.failure = UrlFailure::Certificate;
        } else if (!headerComplete && isConnectionEnd(code)) {
            out.failure = UrlFailure::IncompleteHeader;
        } else {
            out.failure = UrlFailure::Other;
        }
        if (headerComplete) {
            out.statusCode = status;
            out.headers = std::move(headers);
            out.body = std::move(body);
        }
        char *effective = nullptr;
        if (curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
            out.effectiveUrl = effective;
        if (tooLarge)
            out.errorText = "response body larger than the limit of " + std::to_string(request.maxResponseBytes) +
                            " bytes";
        else if (code == CURLE_OK && !headerComplete)
            out.errorText = "the connection ended inside the response header";
        else if (code == CURLE_SSL_CACERT_BADFILE)
            out.errorText = missingCaBundleText();
        else if (code != CURLE_OK)
            out.errorText = errorBuffer[0] ? errorBuffer : curl_easy_strerror(code);
        return out;
    }

    [[nodiscard]] std::string missingCaBundleText() const
    {
        const std::string &bundle = request.caFile.empty() ? curlDefaults().caInfo : request.caFile;
        std::string text = "the CA bundle";
        if (!bundle.empty())
            text += " " + bundle;
        text += " is missing or unreadable, so no server certificate can be verified";
        if (request.caFile.empty())
            text += " (on Debian, install the ca-certificates package)";
        return text;
    }
};

bool validRequest(const UrlRequest &request)
{
    if (!isValidHttpUrl(request.url))
        return false;
    if (request.method.empty() ||
        !std::all_of(request.method.begin(), request.method.end(),
                     [](char c) { return isTokenChar(static_cast<unsigned char>(c)); }))
        return false;
    return std::all_of(request.headers.begin(), request.headers.end(),
                       [](const auto &field) { return isValidHeaderField(field.first, field.second); });
}

} // namespace

const char *describeUrlError(UrlError error)
{
    switch (error) {
    case UrlError::None: return "no error";
    case UrlError::InvalidRequest: return "invalid request";
    case UrlError::HostNotFound: return "host not found";
    case UrlError::ConnectionRefused: return "connection refused";
    case UrlError::TimedOut: return "timed out";
    case UrlError::ConnectionLost: return "connection reset or closed early";
    case UrlError::Tls: return "TLS handshake failed";
    case UrlError::Certificate: return "certificate not trusted";
    case UrlError::TooLarge: return "reply larger than the size limit";
    case UrlError::TooManyRedirects: return "too many redirects";
    case UrlError::RedirectRefused: return "redirect refused";
    case UrlError::MalformedReply: return "malformed reply";
    case UrlError::Other: return "failed";
    }
    return "failed";
}

bool isValidHttpUrl(const std::string &url)
{
    if (url.empty() || std::any_of(url.begin(), url.end(), [](char c) {
            const auto u = static_cast<unsigned char>(c);
            return u <= 0x20 || u == 0x7f;
        }))
        return false;
    if (!curlDefaults().ok)
        return false;
    CURLU *parsed = curl_url();
    if (!parsed)
        return false;
    bool ok = false;
    if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
        char *scheme = nullptr;
        char *host = nullptr;
        if (curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
            const std::string_view s(scheme);
            ok = (s == "http" || s == "https") && host[0] != '\0';
        }
        curl_free(scheme);
        curl_free(host);
    }
    curl_url_cleanup(parsed);
    return ok;
}

bool isValidHeaderField(const std::string &name, const std::string &value)
{
    if (name.empty() || !std::all_of(name.begin(), name.end(),
                                     [](char c) { return isTokenChar(static_cast<unsigned char>(c)); }))
        return false;
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

struct UrlExchange::Impl : std::enable_shared_from_this<UrlExchange::Impl> {
    RunLoop &loop;
    CURLM *multi = nullptr;
    CURL *easy = nullptr;
    std::unique_ptr<Transfer> transfer;
    std::map<curl_socket_t, WatchId> sockets;
    TimerId timer = 0;
    std::uint64_t generation = 0;
    bool running = false; // the easy handle is in the multi handle
    bool pending = false; // a completion is posted and not yet delivered
    bool dying = false;
    Completion done;

    explicit Impl(RunLoop &l) : loop(l) {}

    ~Impl()
    {
        dying = true;
        if (multi && easy && running)
            curl_multi_remove_handle(multi, easy);
        if (easy)
            curl_easy_cleanup(easy);
        if (multi)
            curl_multi_cleanup(multi);
        for (const auto &[fd, id] : sockets)
            loop.removeWatch(id);
        if (timer)
            loop.cancelTimer(timer);
    }

    bool ensureHandles()
    {
        if (!curlDefaults().ok)
            return false;
        if (!multi) {
            multi = curl_multi_init();
            if (!multi)
                return false;
            curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &Impl::onSocket);
            curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, static_cast<void *>(this));
            curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &Impl::onTimerRequest);
            curl_multi_setopt(multi, CURLMOPT_TIMERDATA, static_cast<void *>(this));
        }
        if (!easy) {
            easy = curl_easy_init();
            if (!easy)
                return false;
        }
        return true;
    }

    // curl asks to watch (or stop watching) one of its sockets.
    static int onSocket(CURL *, curl_socket_t s, int what, void *user, void *)
    {
        auto *self = static_cast<Impl *>(user);
        if (self->dying) {
            if (auto it = self->sockets.find(s); it != self->sockets.end()) {
                self->loop.removeWatch(it->second);
                self->sockets.erase(it);
            }
            return 0;
        }
        return self->watchSocket(s, what) ? 0 : -1;
    }

    bool watchSocket(curl_socket_t s, int what)
    {
        auto it = sockets.find(s);
        if (what == CURL_POLL_REMOVE) {
            if (it != sockets.end()) {
                loop.removeWatch(it->second);
                sockets.erase(it);
            }
            return true;
        }
        unsigned events = 0;
        if (what == CURL_POLL_IN || what == CURL_POLL_INOUT)
            events |= kFdRead;
        if (what == CURL_POLL_OUT || what == CURL_POLL_INOUT)
            events |= kFdWrite;
        if (it != sockets.end())
            return loop.updateWatch(it->second, events);
        std::weak_ptr<Impl> weak = weak_from_this();
        const WatchId id = loop.addWatch(s, events, [weak, s](int, unsigned ready) {
            if (auto self = weak.lock())
                self->onSocketReady(s, ready);
        });
        if (id == 0)
            return false;
        try {
            sockets.emplace(s, id);
        } catch (...) {
            loop.removeWatch(id);
            return false;
        }
        return true;
    }

    // curl asks for a single timer: -1 cancels it, otherwise (re)arm it.
    static int onTimerRequest(CURLM *, long timeoutMs, void *user)
    {
        auto *self = static_cast<Impl *>(user);
        if (self->timer) {
            self->loop.cancelTimer(self->timer);
            self->timer = 0;
        }
        if (timeoutMs < 0 || self->dying)
            return 0;
        std::weak_ptr<Impl> weak = self->weak_from_this();
        self->timer = self->loop.addRealTimeTimer(static_cast<double>(timeoutMs) / 1000.0, [weak] {
            if (auto s = weak.lock())
                s->onTimer();
        });
        return self->timer ? 0 : -1;
    }

    void onSocketReady(curl_socket_t s, unsigned ready)
    {
        int mask = 0;
        if (ready & kFdRead)
            mask |= CURL_CSELECT_IN;
        if (ready & kFdWrite)
            mask |= CURL_CSELECT_OUT;
        if (ready & kFdError)
            mask |= CURL_CSELECT_ERR;
        int stillRunning = 0;
        curl_multi_socket_action(multi, s, mask, &stillRunning);
        collectDone();
    }

    void onTimer()
    {
        timer = 0;
        int stillRunning = 0;
        curl_multi_socket_action(multi, CURL_SOCKET_TIMEOUT, 0, &stillRunning);
        collectDone();
    }

    void collectDone()
    {
        int left = 0;
        while (CURLMsg *msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy && running)
                finish(msg->data.result);
        }
    }

    void finish(CURLcode code)
    {
        const Transfer::Step step = transfer->nextHop(easy, code);
        curl_multi_remove_handle(multi, easy);
        if (step == Transfer::Step::Follow) {
            // The next hop runs on the same handle; curl asks for a timer
            // at once, which starts it on a later pass.
            curl_easy_reset(easy);
            if (transfer->configure(easy) && curl_multi_add_handle(multi, easy) == CURLM_OK)
                return;
            transfer->refuse(UrlError::Other, "could not follow the redirect to " + transfer->request.url);
        }
        UrlResponse response =
            transfer->refused != UrlError::None ? transfer->refusedResponse() : transfer->finish(easy, code);
        running = false;
        pending = true;
        const std::uint64_t gen = generation;
        std::weak_ptr<Impl> weak = weak_from_this();
        loop.post([weak, gen, response = std::move(response)]() mutable {
            auto self = weak.lock();
            if (!self || self->generation != gen || !self->pending)
                return; // cancelled, restarted or destroyed meanwhile
            self->pending = false;
            Completion callback = std::move(self->done);
            self->done = nullptr;
            // `self` keeps the exchange alive even if the callback destroys its owner.
            if (callback)
                callback(std::move(response));
        });
    }

    void cancel()
    {
        ++generation;
        if (running && multi && easy)
            curl_multi_remove_handle(multi, easy);
        running = false;
        pending = false;
        done = nullptr;
    }
};

UrlExchange::UrlExchange(RunLoop &loop) : mImpl(std::make_shared<Impl>(loop)) {}

UrlExchange::~UrlExchange()
{
    if (mImpl)
        mImpl->cancel();
}

bool UrlExchange::start(UrlRequest request, Completion done)
{
    try {
        Impl &d = *mImpl;
        if (d.running || d.pending)
            d.cancel();
        if (!validRequest(request) || !d.ensureHandles())
            return false;
        auto transfer = std::make_unique<Transfer>(std::move(request));
        curl_easy_reset(d.easy);
        if (!transfer->configure(d.easy))
            return false;
        d.transfer = std::move(transfer);
        ++d.generation;
        if (curl_multi_add_handle(d.multi, d.easy) != CURLM_OK)
            return false;
        d.done = std::move(done);
        d.running = true;
        return true;
    } catch (...) {
        return false;
    }
}

void UrlExchange::cancel() { mImpl->cancel(); }

bool UrlExchange::inFlight() const { return mImpl->running || mImpl->pending; }

UrlResponse loadUrlBlocking(const UrlRequest &request)
{
    UrlResponse failed;
    failed.failure = UrlFailure::Other;
    try {
        if (!validRequest(request)) {
            failed.error = UrlError::InvalidRequest;
            failed.errorText = "invalid request";
            return failed;
        }
        if (!curlDefaults().ok) {
            failed.errorText = "libcurl could not be initialised";
            return failed;
        }
        CURL *easy = curl_easy_init();
        if (!easy) {
            failed.errorText = "libcurl could not make a handle";
            return failed;
        }
        Transfer transfer(request);
        UrlResponse out;
        for (;;) {
            if (!transfer.configure(easy)) {
                out = failed;
                out.errorText = "libcurl refused an option";
                break;
            }
            const CURLcode code = curl_easy_perform(easy);
            const Transfer::Step step = transfer.nextHop(easy, code);
            if (step == Transfer::Step::Follow) {
                curl_easy_reset(easy);
                continue;
            }
            out = step == Transfer::Step::Refused ? transfer.refusedResponse() : transfer.finish(easy, code);
            break;
        }
        curl_easy_cleanup(easy);
        return out;
    } catch (...) {
        failed.errorText = "out of memory";
        return failed;
    }
}

} // namespace platform
