#include "bounty/BountyConnect.h"

#include "platform/device.h"
#include "platform/runloop.h"

#include <expat.h>

#include <cctype>
#include <limits>
#include <mutex>

namespace bounty {
namespace {

struct Shared {
    std::shared_ptr<BountyConnect> instance;
    std::optional<platform::ObserverId> observer;
    std::string primaryUrl;
    std::string fallbackUrl;
    std::string baseUrl; // the primary until the first failed request
};

std::mutex gMutex;
Shared gShared;

std::string percentEscape(const std::string &text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (std::isalnum(b) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(hex[b >> 4]);
            out.push_back(hex[b & 15]);
        }
    }
    return out;
}

// "en_US" gives ("US", "en"); "fr" gives ("", "fr").
std::pair<std::string, std::string> countryAndLanguage(const std::string &locale)
{
    const std::string base = locale.substr(0, locale.find_first_of(".@"));
    const auto underscore = base.find('_');
    if (underscore == std::string::npos)
        return {"", base};
    return {base.substr(underscore + 1), base.substr(0, underscore)};
}

struct ReplyReader {
    std::string element;
    std::string text;
    bool error = false;
    bool success = false;
};

void onStart(void *data, const XML_Char *name, const XML_Char **)
{
    auto *reader = static_cast<ReplyReader *>(data);
    reader->element = name;
    reader->text.clear();
    if (reader->element == "ErrorMessage")
        reader->error = true;
}

void onText(void *data, const XML_Char *chars, int length)
{
    auto *reader = static_cast<ReplyReader *>(data);
    // Only a Success element's text matters, and only whether it is "true".
    if (reader->element == "Success" && reader->text.size() < 16)
        reader->text.append(chars, static_cast<std::size_t>(length));
}

void onEnd(void *data, const XML_Char *name)
{
    auto *reader = static_cast<ReplyReader *>(data);
    if (std::string(name) == "Success" && reader->text == "true")
        reader->success = true;
    reader->element.clear();
    reader->text.clear();
}

// Whether the reply says the call succeeded: a Success element reading
// "true", no ErrorMessage anywhere, and XML that reads to its end.
bool connectSucceeded(const std::string &xml)
{
    if (xml.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return false;
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (parser == nullptr)
        return false;
    ReplyReader reader;
    XML_SetUserData(parser, &reader);
    XML_SetElementHandler(parser, onStart, onEnd);
    XML_SetCharacterDataHandler(parser, onText);
    const bool read = XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree(parser);
    return read && reader.success && !reader.error;
}

} // namespace

void postConnectReply(const std::string &xml)
{
    platform::NotificationCenter::defaultCenter().post(connectSucceeded(xml) ? kBountyConnectSuccess
                                                                             : kBountyConnectFailed);
}

void BountyConnect::setConnectUrls(std::string primary, std::string fallback)
{
    std::lock_guard lock(gMutex);
    gShared.primaryUrl = std::move(primary);
    gShared.fallbackUrl = std::move(fallback);
    gShared.baseUrl = gShared.primaryUrl;
}

std::shared_ptr<BountyConnect> BountyConnect::requestBountyConnectWithAppId(const std::string &appId,
                                                                            platform::RunLoop &loop)
{
    std::shared_ptr<BountyConnect> connect;
    bool observe = false;
    {
        std::lock_guard lock(gMutex);
        if (!gShared.instance)
            gShared.instance = std::make_shared<BountyConnect>(appId, loop);
        connect = gShared.instance;
        observe = !gShared.observer.has_value();
        if (observe)
            gShared.observer = platform::ObserverId{};
    }
    connect->mIsInitialConnect = true;
    connect->connectWithParam(connect->genericParameters());
    if (observe) {
        const auto id = platform::NotificationCenter::defaultCenter().addObserver(
            platform::kUIApplicationDidBecomeActiveNotification,
            [](const std::string &) { deviceNotificationReceived(); });
        std::lock_guard lock(gMutex);
        gShared.observer = id;
    }
    return connect;
}

std::shared_ptr<BountyConnect> BountyConnect::requestBountyConnectWithAppId(const std::string &appId,
                                                                            const std::string &, const std::string &,
                                                                            platform::RunLoop &loop)
{
    return requestBountyConnectWithAppId(appId, loop);
}

std::shared_ptr<BountyConnect> BountyConnect::sharedBountyConnect()
{
    std::lock_guard lock(gMutex);
    return gShared.instance;
}

void BountyConnect::deviceNotificationReceived()
{
    const auto connect = sharedBountyConnect();
    if (!connect)
        return;
    if (connect->mIsInitialConnect) {
        connect->mIsInitialConnect = false;
        return;
    }
    connect->connectWithParam(connect->genericParameters());
}

void BountyConnect::resetForTesting()
{
    std::optional<platform::ObserverId> observer;
    {
        std::lock_guard lock(gMutex);
        observer = gShared.observer;
        gShared = Shared{};
    }
    if (observer)
        platform::NotificationCenter::defaultCenter().removeObserver(*observer);
}

BountyConnect::BountyConnect(std::string appId, platform::RunLoop &loop)
    : mAppId(std::move(appId))
    , mLoop(loop)
    , mConnection(loop)
{
}

BountyParameters BountyConnect::genericParameters() const
{
    const auto facts = platform::deviceFacts();
    const auto [country, language] = countryAndLanguage(facts.localeIdentifier);
    return {
        {"udid", platform::deviceUniqueIdentifier()},
        {"device_type", facts.model},
        {"os_version", facts.systemVersion},
        {"app_id", mAppId},
        {"app_version", facts.bundleVersion},
        {"library_version", kBountyLibraryVersion},
        {"country_code", country},
        {"language_code", language},
    };
}

std::string BountyConnect::createQueryStringFromDict(const BountyParameters &parameters)
{
    std::string query;
    for (const auto &[key, value] : parameters) {
        if (!query.empty())
            query += '&';
        query += percentEscape(key) + "=" + percentEscape(value);
    }
    return query;
}

void BountyConnect::connectWithParam(const BountyParameters &parameters)
{
    std::string base;
    {
        std::lock_guard lock(gMutex);
        base = gShared.baseUrl;
    }
    // The network decodes the query twice: the escapes are escaped again.
    std::string url;
    for (const char c : base + "Connect?" + createQueryStringFromDict(parameters)) {
        if (c == '%') {
            url += "%25";
        } else {
            url.push_back(c);
        }
    }
    platform::UrlRequest request;
    request.url = url;
    request.timeoutSeconds = kBountyTimeoutSeconds;
    ++mConnectAttempts;
    // Each request reads its own reply; a new one cancels the one in flight.
    if (!mConnection.start(std::move(request),
                           [this](platform::UrlResponse response) { onResponse(std::move(response)); })) {
        onResponse(platform::UrlResponse{});
    }
}

void BountyConnect::onResponse(platform::UrlResponse response)
{
    if (response.failure == platform::UrlFailure::None) {
        postConnectReply(response.body);
        return;
    }
    if (mConnectAttempts > 1) {
        platform::NotificationCenter::defaultCenter().post(kBountyConnectFailed);
        return;
    }
    {
        std::lock_guard lock(gMutex);
        gShared.baseUrl = gShared.fallbackUrl;
    }
    // The retry is started from the loop, not from inside the completion.
    mLoop.post([connect = sharedBountyConnect()] {
        if (connect)
            connect->connectWithParam(connect->genericParameters());
    });
}

} // namespace bounty
