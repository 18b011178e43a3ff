#include "kwexnet/http_messenger.h"

#include <platform/runloop.h>
#include <platform/url_loader.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>

namespace KwexNet {

namespace {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool isUtf8(std::string_view s)
{
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t extra = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (s.size() - i <= extra)
            return false; // cut short
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        i += extra + 1;
    }
    return true;
}

bool iequals(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace

struct HTTPMessenger::Impl {
    // Request.
    bool hasRequest = false;
    std::string url;
    eHTTPRequestMethod method = kHTTPRequestGet;
    eHTTPVersion version = kHTTPVersion11;
    std::vector<std::pair<std::string, std::string>> headerFields;
    std::string body;
    bool carriesCredentials = false;

    // Response.
    bool hasResponse = false;
    int statusCode = -1;
    std::map<std::string, std::string> responseHeaders;
    std::string responseBody;
    platform::UrlError errorCause = platform::UrlError::None;
    std::string errorText;

    // Exchange.
    HTTPCallback callback = nullptr;
    double timeoutSeconds = kDefaultTimeoutSeconds;
    std::string caFile;
    std::size_t maxResponseBytes = platform::UrlRequest{}.maxResponseBytes;
    // Made on first send: curl handles are not needed to build requests.
    std::unique_ptr<platform::UrlExchange> exchange;

    void clearResponse()
    {
        hasResponse = false;
        statusCode = -1;
        responseHeaders.clear();
        responseBody.clear();
        errorCause = platform::UrlError::None;
        errorText.clear();
    }

    void clearRequest()
    {
        hasRequest = false;
        url.clear();
        method = kHTTPRequestGet;
        version = kHTTPVersion11;
        headerFields.clear();
        body.clear();
        carriesCredentials = false;
    }
};

HTTPMessenger::HTTPMessenger() : mImpl(std::make_unique<Impl>()) {}

// Destroying the exchange cancels it: no callback reaches a dead messenger.
HTTPMessenger::~HTTPMessenger() = default;

bool HTTPMessenger::setRequestInfo(const char *url, eHTTPRequestMethod method, eHTTPVersion version)
{
    if (!url)
        return false;
    const std::string_view text(url);
    // What could not be read as URL text: broken UTF-8, controls and spaces.
    if (text.empty() || !isUtf8(text) || std::any_of(text.begin(), text.end(), [](char c) {
            const auto u = static_cast<unsigned char>(c);
            return u <= 0x20 || u == 0x7F;
        }))
        return false;
    if ((method != kHTTPRequestGet && method != kHTTPRequestPost) ||
        (version != kHTTPVersion10 && version != kHTTPVersion11))
        return false;
    try {
        Impl &d = *mImpl;
        d.clearRequest();
        d.url = text;
        d.method = method;
        d.version = version;
        d.hasRequest = true;
        return true;
    } catch (...) {
        mImpl->clearRequest();
        return false;
    }
}

bool HTTPMessenger::setRequestHeaderField(const char *name, const char *value)
{
    Impl &d = *mImpl;
    if (!name || !value || !d.hasRequest)
        return false;
    // A field must stay one line: CR or LF in it would forge further fields
    // or a second request.
    if (!isUtf8(name) || !isUtf8(value) || !platform::isValidHeaderField(name, value))
        return false;
    try {
        auto it = std::find_if(d.headerFields.begin(), d.headerFields.end(),
                               [&](const auto &field) { return iequals(field.first, name); });
        if (it != d.headerFields.end())
            it->second = value;
        else
            d.headerFields.emplace_back(name, value);
        return true;
    } catch (...) {
        return false;
    }
}

bool HTTPMessenger::setRequestBody(const unsigned char *data, const unsigned long &length)
{
    Impl &d = *mImpl;
    if (!data || length == 0 || !d.hasRequest)
        return false;
    try {
        d.body.assign(reinterpret_cast<const char *>(data), length);
        return true;
    } catch (...) {
        return false;
    }
}

void HTTPMessenger::setRequestCarriesCredentials(bool carries)
{
    if (mImpl->hasRequest)
        mImpl->carriesCredentials = carries;
}

bool HTTPMessenger::sendRequest(HTTPCallback callback, eHTTPSSLSecuritySetting security)
{
    Impl &d = *mImpl;
    if (!d.hasRequest)
        return false;
    if (d.exchange && d.exchange->inFlight())
        abortRequest();
    try {
        platform::UrlRequest request;
        request.method = d.method == kHTTPRequestPost ? "POST" : "GET";
        request.url = d.url;
        request.headers = d.headerFields;
        request.body = d.body;
        request.httpVersion =
            d.version == kHTTPVersion10 ? platform::UrlHttpVersion::Http10 : platform::UrlHttpVersion::Http11;
        request.followRedirects = true;
        request.insecureSkipVerify = security == kHTTPSSLRelaxed;
        request.caFile = d.caFile;
        request.timeoutSeconds = d.timeoutSeconds;
        request.maxResponseBytes = d.maxResponseBytes;
        request.carriesCredentials = d.carriesCredentials;
        d.errorCause = platform::UrlError::None;
        d.errorText.clear();

        if (!d.exchange)
            d.exchange = std::make_unique<platform::UrlExchange>(platform::RunLoop::main());
        Impl *impl = &d;
        HTTPMessenger *self = this;
        const bool started = d.exchange->start(std::move(request), [impl, self](platform::UrlResponse r) {
            // On a later pass of the run loop; the exchange is over.
            eHTTPError error = kHTTPErrorOther;
            impl->clearResponse();
            switch (r.failure) {
            case platform::UrlFailure::None:
                error = kHTTPErrorNone;
                impl->hasResponse = true;
                impl->statusCode = r.statusCode;
                impl->responseHeaders = std::move(r.headers);
                impl->responseBody = std::move(r.body);
                break;
            case platform::UrlFailure::IncompleteHeader: error = kHTTPErrorIncomplete; break;
            case platform::UrlFailure::Certificate: error = kHTTPErrorCertificate; break;
            case platform::UrlFailure::Other: error = kHTTPErrorOther; break;
            }
            if (error != kHTTPErrorNone) {
                impl->errorCause = r.error;
                impl->errorText = std::move(r.errorText);
            }
            const HTTPCallback report = impl->callback;
            // Last: the callback may send again on this messenger, or delete it.
            if (report)
                report(self, error);
        });
        if (!started)
            return false;
        d.callback = callback;
        return true;
    } catch (...) {
        return false;
    }
}

int HTTPMessenger::getResponseStatusCode() const { return mImpl->hasResponse ? mImpl->statusCode : -1; }

bool HTTPMessenger::getResponseBody(unsigned char **body, unsigned long &length) const
{
    if (body)
        *body = nullptr;
    length = 0;
    const std::string &source = mImpl->responseBody;
    if (!body || source.empty())
        return false;
    auto *copy = new (std::nothrow) unsigned char[source.size() + 1]();
    if (!copy)
        return false;
    std::memcpy(copy, source.data(), source.size());
    *body = copy;
    length = static_cast<unsigned long>(source.size() + 1);
    return true;
}

const std::map<std::string, std::string> &HTTPMessenger::getResponseHeaderFields() const
{
    return mImpl->responseHeaders;
}

platform::UrlError HTTPMessenger::getLastErrorCause() const { return mImpl->errorCause; }

const std::string &HTTPMessenger::getLastErrorText() const { return mImpl->errorText; }

void HTTPMessenger::abortRequest()
{
    if (mImpl->exchange)
        mImpl->exchange->cancel();
    mImpl->clearResponse();
}

void HTTPMessenger::clearRequest() { mImpl->clearRequest(); }

void HTTPMessenger::clearResponse() { mImpl->clearResponse(); }

void HTTPMessenger::setTimeout(double seconds)
{
    // An exchange without a limit could hang its caller for ever.
    if (std::isfinite(seconds) && seconds > 0.0)
        mImpl->timeoutSeconds = seconds;
}

void HTTPMessenger::setCAFile(const std::string &path)
{
    try {
        mImpl->caFile = path;
    } catch (...) {
    }
}

void HTTPMessenger::setMaxResponseBytes(std::size_t bytes)
{
    if (bytes > 0)
        mImpl->maxResponseBytes = bytes;
}

bool HTTPMessenger::hasRequest() const { return mImpl->hasRequest; }

const std::string &HTTPMessenger::getRequestURL() const { return mImpl->url; }

eHTTPRequestMethod HTTPMessenger::getRequestMethod() const { return mImpl->method; }

eHTTPVersion HTTPMessenger::getRequestVersion() const { return mImpl->version; }

const std::vector<std::pair<std::string, std::string>> &HTTPMessenger::getRequestHeaderFields() const
{
    return mImpl->headerFields;
}

const std::string &HTTPMessenger::getRequestBody() const { return mImpl->body; }

bool HTTPMessenger::getRequestCarriesCredentials() const { return mImpl->carriesCredentials; }

} // namespace KwexNet
