// One HTTP or HTTPS exchange at a time, driven by the main run loop, with a
// plain-function completion that always arrives on a later pass of the loop.
#ifndef KWEXNET_HTTP_MESSENGER_H
#define KWEXNET_HTTP_MESSENGER_H

#include <platform/url_loader.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace KwexNet {

enum eHTTPRequestMethod { kHTTPRequestGet = 0, kHTTPRequestPost = 1 };
enum eHTTPVersion { kHTTPVersion10 = 0, kHTTPVersion11 = 1 };
enum eHTTPSSLSecuritySetting {
    kHTTPSSLDefault = 0, // certificates are verified
    kHTTPSSLRelaxed = 1, // any certificate is accepted
};
enum eHTTPError {
    kHTTPErrorNone = 0,          // the exchange ended with a complete response
    kHTTPErrorIncomplete = 1,    // the connection ended without a complete header
    kHTTPErrorCertificate = 2,   // the certificate chain could not be verified
    kHTTPErrorOther = 3,         // any other failure: refused, reset, time-out, cut body
};

class HTTPMessenger;
using HTTPCallback = void (*)(HTTPMessenger *messenger, eHTTPError error);

class HTTPMessenger {
public:
    // Seconds an exchange may take before it fails with error 3.
    static constexpr double kDefaultTimeoutSeconds = 30.0;

    HTTPMessenger();
    ~HTTPMessenger();
    HTTPMessenger(const HTTPMessenger &) = delete;
    HTTPMessenger &operator=(const HTTPMessenger &) = delete;

    // Starts a new request; false for a null URL.
    // Also false for text that is no URL: broken UTF-8, spaces or controls.
    bool setRequestInfo(const char *url, eHTTPRequestMethod method, eHTTPVersion version);
    // Sets (or replaces) a header field; false for null texts or no request.
    // Names compare without regard to case. Also false for a name that is
    // no HTTP token, a value with CR or LF, or broken UTF-8. Content-Length
    // always goes out as the body's own length.
    bool setRequestHeaderField(const char *name, const char *value);
    // The body of the request; false for null data, length 0 or no request.
    bool setRequestBody(const unsigned char *data, const unsigned long &length);
    // Marks the request as carrying credentials (a password, a session id):
    // it then follows no redirect to another host. A new request starts
    // unmarked. A redirect from https to plain http is never followed.
    void setRequestCarriesCredentials(bool carries);
    // Starts the exchange on the main run loop. The callback follows once,
    // on a later pass of the loop, never inside this call. An exchange in
    // flight is aborted first, silently. False when there is no request or
    // the exchange cannot be started (no callback follows then).
    bool sendRequest(HTTPCallback callback, eHTTPSSLSecuritySetting security);

    // -1 when there is no response.
    [[nodiscard]] int getResponseStatusCode() const;
    // A zero-terminated copy of the body (length counts the terminator);
    // the caller frees it with delete[]. False, null and 0 for an empty body.
    bool getResponseBody(unsigned char **body, unsigned long &length) const;
    [[nodiscard]] const std::map<std::string, std::string> &getResponseHeaderFields() const;

    // Why the last exchange failed, more finely than its eHTTPError (which
    // keeps its four values): the cause and a sentence for people. None and
    // empty after a success, or before any exchange.
    [[nodiscard]] platform::UrlError getLastErrorCause() const;
    [[nodiscard]] const std::string &getLastErrorText() const;

    // Stops the exchange in flight and clears the response; no callback.
    void abortRequest();
    void clearRequest();
    void clearResponse();

    // Takes effect at the next sendRequest; values that are not finite and
    // positive are ignored.
    void setTimeout(double seconds);
    // Trusts a further certificate authority (PEM file), as test servers need.
    void setCAFile(const std::string &path);
    // A response body longer than this fails the exchange (error 3, cause
    // TooLarge); takes effect at the next sendRequest. 0 is ignored.
    void setMaxResponseBytes(std::size_t bytes);

    // The request as built, for logging and checks.
    [[nodiscard]] bool hasRequest() const;
    [[nodiscard]] const std::string &getRequestURL() const;
    [[nodiscard]] eHTTPRequestMethod getRequestMethod() const;
    [[nodiscard]] eHTTPVersion getRequestVersion() const;
    // Header fields in the order they were first set.
    [[nodiscard]] const std::vector<std::pair<std::string, std::string>> &getRequestHeaderFields() const;
    [[nodiscard]] const std::string &getRequestBody() const;
    [[nodiscard]] bool getRequestCarriesCredentials() const;

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

} // namespace KwexNet

#endif // KWEXNET_HTTP_MESSENGER_H
