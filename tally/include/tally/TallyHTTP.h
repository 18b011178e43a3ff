// The analytics library's HTTP client: one blocking exchange on the calling
// thread, and its outcome with an optional copy on disk for debugging.
#ifndef TALLY_TALLY_HTTP_H
#define TALLY_TALLY_HTTP_H

#include "tally/TallyProtocolData.h"

#include <map>
#include <optional>
#include <string>
#include <variant>

namespace tally {

using TallyHeaders = std::map<std::string, std::string>;
using TallyQuery = std::map<std::string, std::string>;

class TallyHTTPResponse {
public:
    TallyHTTPResponse() = default;
    // Built from what arrived: without a status the body and headers are dropped.
    TallyHTTPResponse(Bytes body, int statusCode, TallyHeaders headers, std::optional<std::string> error);

    [[nodiscard]] const Bytes &body() const { return mBody; }
    [[nodiscard]] int statusCode() const { return mStatusCode; }
    [[nodiscard]] const std::optional<std::string> &error() const { return mError; }
    [[nodiscard]] const TallyHeaders &headers() const { return mHeaders; }

    // Status 200 to 399.
    [[nodiscard]] bool isSuccess() const { return mStatusCode >= 200 && mStatusCode <= 399; }
    [[nodiscard]] bool isError() const { return !isSuccess(); }
    [[nodiscard]] std::string description() const;

    // Writes "statusCode", "body" and "headers" as a property list to
    // filePath(now in whole seconds); returns the path or nullopt.
    std::optional<std::string> saveToDisk() const;
    [[nodiscard]] static std::string filePath(std::int64_t n);
    // Reads a copy that saveToDisk wrote, from a path or a file:// URL;
    // nullopt when it cannot be read.
    [[nodiscard]] static std::optional<TallyHTTPResponse> readFromURL(const std::string &url);

private:
    Bytes mBody;
    int mStatusCode = 0;
    std::optional<std::string> mError;
    TallyHeaders mHeaders;
};

class TallyHTTPEater {
public:
    TallyHTTPEater() = delete;
    // Performs one exchange and blocks the calling thread until it ends.
    // Redirects are followed; nothing is cached and no cookies are kept.
    // The web-view flag changes nothing here: there is no web view to load
    // through, so the exchange is made directly.
    [[nodiscard]] static TallyHTTPResponse sendMethod(const std::string &method, const std::string &url,
                                                      const Bytes &body, const TallyHeaders &headerFields,
                                                      int timeoutSeconds, bool useWebView);

    // GET without a body, or POST with one, with a 20-second time-out.
    [[nodiscard]] static TallyHTTPResponse get(const std::string &url, const TallyHeaders &headerFields = {});
    [[nodiscard]] static TallyHTTPResponse post(const std::string &url, const Bytes &body,
                                                const TallyHeaders &headerFields = {});

    // "key=value" for each entry, joined with "&", as the entries stand
    // (nothing is escaped).
    [[nodiscard]] static std::string queryDictionaryToString(const TallyQuery &query);
    // "protocol://host:port/path?query": "http" when no protocol is given;
    // the port only when it is neither 0 nor 80; host, path and query only
    // when given (a dictionary query through queryDictionaryToString).
    [[nodiscard]] static std::string urlWithProtocol(const std::optional<std::string> &protocol,
                                                     const std::optional<std::string> &host, int port,
                                                     const std::optional<std::string> &path,
                                                     const std::variant<std::monostate, std::string, TallyQuery> &query);

    static constexpr int kHelperTimeoutSeconds = 20;
};

} // namespace tally

#endif // TALLY_TALLY_HTTP_H
