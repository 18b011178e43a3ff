// HTTP and HTTPS exchanges over libcurl.
//
// UrlExchange runs one exchange at a time on a RunLoop through libcurl's
// multi interface: curl's sockets become the loop's watchers and curl's
// timer one of its real-time timers, so nothing blocks the loop and no thread
// is started per request. The completion is always posted to the loop and so
// runs on a later pass, never inside start().
//
// loadUrlBlocking() performs the same exchange on the calling thread, for
// worker threads that may block; it always needs a time-out to be bounded.
#ifndef PLATFORM_URL_LOADER_H
#define PLATFORM_URL_LOADER_H

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

class RunLoop;

enum class UrlHttpVersion { Default, Http10, Http11 };

struct UrlRequest {
    std::string method = "GET"; // "GET", "POST", "HEAD" or any other token
    std::string url;            // absolute http:// or https:// URL
    // Sent as given, in this order. Nothing is added beside Host, Accept and
    // Content-Length (when there is a body): no default Content-Type, no Expect.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body; // sent when not empty, whatever the method
    UrlHttpVersion httpVersion = UrlHttpVersion::Default;
    // Redirects (301, 302, 303, 307 and 308 with a Location) are followed up
    // to maxRedirects times. Each is checked before anything goes to its
    // target: the exchange fails (RedirectRefused) when the target is not
    // http or https, when a request that started on https would go on over
    // plain http, or when a request that carries credentials would go to
    // another host or port. 301 and 302 turn a POST, and 303 any method but
    // HEAD, into a GET without a body; 307 and 308 repeat method and body.
    bool followRedirects = true;
    long maxRedirects = 10;
    // Told of each redirect that passed the checks, with the URL that
    // answered with it and its target, before the target is asked. Runs on
    // the loop's thread; it must not cancel or destroy the exchange.
    std::function<void(const std::string &from, const std::string &to)> onRedirect;
    // The request carries secrets (a password, a session id, a key).
    // Requests with an Authorization, Proxy-Authorization or Cookie field, or
    // a user name in the URL, count as such whatever this says.
    bool carriesCredentials = false;
    // Relaxed TLS: no peer and no host-name verification. Off by default.
    bool insecureSkipVerify = false;
    // A further trusted authority (PEM), beside the system's; empty for none.
    std::string caFile;
    // Whole exchange, connection included; 0 means no limit.
    double timeoutSeconds = 0.0;
    // A response body past this many bytes fails the exchange (Other).
    std::size_t maxResponseBytes = std::size_t{64} * 1024 * 1024;
};

enum class UrlFailure {
    None,             // complete response header, complete body
    IncompleteHeader, // the connection ended before the whole response header
    Certificate,      // the server's certificate could not be verified
    Other,            // refused, reset, time-out, resolve failure, short body...
};

// Why an exchange failed, more finely than UrlFailure.
enum class UrlError {
    None,
    InvalidRequest,    // the request could not be started
    HostNotFound,      // the host name did not resolve
    ConnectionRefused, // nothing accepted the connection
    TimedOut,          // the time-out ran out
    ConnectionLost,    // the peer reset or closed the connection early
    Tls,               // the TLS handshake failed for another reason
    Certificate,       // the server's certificate could not be verified
    TooLarge,          // the body went past maxResponseBytes
    TooManyRedirects,  // more than maxRedirects redirects (a loop, often)
    RedirectRefused,   // a redirect the rules above do not allow
    MalformedReply,    // not HTTP, or broken framing or encoding
    Other,
};

// A short English description ("timed out", "too many redirects"...).
[[nodiscard]] const char *describeUrlError(UrlError error);

struct UrlResponse {
    UrlFailure failure = UrlFailure::Other;
    UrlError error = UrlError::Other;
    int statusCode = -1;      // -1 unless the final response header was complete
    bool headerComplete = false;
    // Header fields of the final response (after redirects), names as sent;
    // a repeated field's values are joined with ", ".
    std::map<std::string, std::string> headers;
    std::string body;
    std::string effectiveUrl; // the URL that gave the final response
    int curlCode = 0;         // CURLcode, for logs
    std::string errorText;    // what went wrong, in words (curl's, or ours)
};

// True for an absolute http or https URL that libcurl can parse.
[[nodiscard]] bool isValidHttpUrl(const std::string &url);

// Where an absolute URL leads, as libcurl reads it when it connects.
struct UrlParts {
    std::string scheme; // lower case
    std::string host;   // lower case
    std::string port;   // the scheme's default when none is written
    bool hasUser = false;
};
// nullopt when libcurl cannot parse the URL.
[[nodiscard]] std::optional<UrlParts> splitUrl(const std::string &url);
// True for a header field name (an HTTP token) and a value without CR, LF or NUL.
[[nodiscard]] bool isValidHeaderField(const std::string &name, const std::string &value);

class UrlExchange {
public:
    using Completion = std::function<void(UrlResponse)>;

    // The loop must outlive the exchange; the exchange is used on the loop's thread.
    explicit UrlExchange(RunLoop &loop);
    ~UrlExchange(); // cancels any exchange in flight, silently
    UrlExchange(const UrlExchange &) = delete;
    UrlExchange &operator=(const UrlExchange &) = delete;

    // Starts `request`; `done` is called once on a later pass of the loop.
    // An exchange already in flight is cancelled first. False (and no
    // completion) for an invalid URL or header, or when curl refuses.
    bool start(UrlRequest request, Completion done);
    // Stops the exchange in flight, or drops its completion if already
    // posted; no completion follows.
    void cancel();
    // From start() until the completion has been called or cancelled.
    [[nodiscard]] bool inFlight() const;

private:
    struct Impl;
    std::shared_ptr<Impl> mImpl;
};

// Performs `request` on the calling thread and returns when it has ended.
[[nodiscard]] UrlResponse loadUrlBlocking(const UrlRequest &request);

} // namespace platform

#endif // PLATFORM_URL_LOADER_H
