#include "tally/TallyHTTP.h"

#include "platform/date.h"
#include "platform/files.h"
#include "platform/plist.h"
#include "platform/url_loader.h"
#include "tally/TallyUtil.h"

#include <cmath>

namespace tally {

TallyHTTPResponse::TallyHTTPResponse(Bytes body, int statusCode, TallyHeaders headers, std::optional<std::string> error)
    : mBody(std::move(body)), mStatusCode(statusCode), mError(std::move(error)), mHeaders(std::move(headers))
{
}

std::string TallyHTTPResponse::description() const
{
    return cat("status:", mStatusCode, " error:", mError ? *mError : std::string("(null)"),
               " body:", std::string(mBody.begin(), mBody.end()));
}

std::string TallyHTTPResponse::filePath(std::int64_t n)
{
    return cat(platform::documentsDirectory(), "/tallyResponse", n);
}

std::optional<std::string> TallyHTTPResponse::saveToDisk() const
{
    platform::PlistDict dict;
    dict["statusCode"] = std::int64_t{mStatusCode};
    dict["body"] = platform::PlistData(mBody);
    platform::PlistDict headers;
    for (const auto &[k, v] : mHeaders) headers[k] = v;
    dict["headers"] = platform::PlistValue(std::move(headers));
    const auto bytes = platform::plistToBinary(platform::PlistValue(std::move(dict)));
    const std::string path =
        filePath(static_cast<std::int64_t>(std::floor(platform::currentDate().secondsSince1970)));
    if (!platform::writeFileAtomically(path, bytes)) return std::nullopt;
    return path;
}

std::optional<TallyHTTPResponse> TallyHTTPResponse::readFromURL(const std::string &url)
{
    std::string path = url;
    if (path.rfind("file://", 0) == 0) path = path.substr(7);
    const auto bytes = platform::readWholeFile(path);
    if (!bytes) return std::nullopt;
    const auto plist = platform::plistFromBytes(*bytes);
    const auto *dict = plist ? plist->get<platform::PlistDict>() : nullptr;
    if (dict == nullptr) return std::nullopt;
    Bytes body;
    int status = 0;
    TallyHeaders headers;
    if (auto it = dict->find("body"); it != dict->end()) {
        if (const auto *d = it->second.get<platform::PlistData>()) body = *d;
    }
    if (auto it = dict->find("statusCode"); it != dict->end()) {
        if (const auto *i = it->second.get<std::int64_t>()) {
            status = (*i >= 0 && *i <= 999) ? static_cast<int>(*i) : 0;
        }
    }
    if (auto it = dict->find("headers"); it != dict->end()) {
        if (const auto *h = it->second.get<platform::PlistDict>()) {
            for (const auto &[k, v] : *h) {
                if (const auto *s = v.get<std::string>()) headers[k] = *s;
            }
        }
    }
    return TallyHTTPResponse(std::move(body), status, std::move(headers), std::nullopt);
}

TallyHTTPResponse TallyHTTPEater::sendMethod(const std::string &method, const std::string &url, const Bytes &body,
                                             const TallyHeaders &headerFields, int timeoutSeconds, bool useWebView)
{
    (void)useWebView;
    tallyDebug([&] { return cat("Tally: ", method, ": ", url); });
    platform::UrlRequest request;
    request.method = method;
    request.url = url;
    for (const auto &[k, v] : headerFields) request.headers.emplace_back(k, v);
    // Say plainly that no cached copy will do.
    request.headers.emplace_back("Cache-Control", "no-cache");
    request.body.assign(body.begin(), body.end());
    request.timeoutSeconds = timeoutSeconds > 0 ? timeoutSeconds : 0.0;
    request.maxResponseBytes = std::size_t{8} << 20;

    TallyHTTPResponse response;
    if (!platform::isValidHttpUrl(url)) {
        response = TallyHTTPResponse({}, 0, {}, cat("bad URL: ", url));
    } else {
        const platform::UrlResponse reply = platform::loadUrlBlocking(request);
        std::optional<std::string> error;
        if (reply.failure != platform::UrlFailure::None) {
            error = reply.errorText.empty() ? std::string("connection failed") : reply.errorText;
        }
        // An exchange that broke off after its header (a cut body) is a
        // failure, whatever status the header carried.
        if (!error && reply.headerComplete && reply.statusCode > 0) {
            TallyHeaders headers(reply.headers.begin(), reply.headers.end());
            response = TallyHTTPResponse(Bytes(reply.body.begin(), reply.body.end()), reply.statusCode,
                                         std::move(headers), std::move(error));
        } else {
            response = TallyHTTPResponse({}, 0, {}, std::move(error));
        }
    }
    tallyDebug([&] { return cat("Tally: HTTP Response[", response.description(), "]"); });
    return response;
}

TallyHTTPResponse TallyHTTPEater::get(const std::string &url, const TallyHeaders &headerFields)
{
    return sendMethod("GET", url, {}, headerFields, kHelperTimeoutSeconds, false);
}

TallyHTTPResponse TallyHTTPEater::post(const std::string &url, const Bytes &body, const TallyHeaders &headerFields)
{
    return sendMethod("POST", url, body, headerFields, kHelperTimeoutSeconds, false);
}

std::string TallyHTTPEater::queryDictionaryToString(const TallyQuery &query)
{
    std::string out;
    for (const auto &[key, value] : query) {
        if (!out.empty()) out += '&';
        out += key;
        out += '=';
        out += value;
    }
    return out;
}

std::string TallyHTTPEater::urlWithProtocol(const std::optional<std::string> &protocol,
                                            const std::optional<std::string> &host, int port,
                                            const std::optional<std::string> &path,
                                            const std::variant<std::monostate, std::string, TallyQuery> &query)
{
    std::string url = cat(protocol ? *protocol : std::string("http"), "://");
    if (host) url += *host;
    if (port != 0 && port != 80) url += cat(":", port);
    if (path) url += cat("/", *path);
    if (const auto *text = std::get_if<std::string>(&query)) {
        url += cat("?", *text);
    } else if (const auto *dict = std::get_if<TallyQuery>(&query)) {
        url += cat("?", queryDictionaryToString(*dict));
    }
    return url;
}

} // namespace tally
