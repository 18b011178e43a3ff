#include "tally/TallyAdView.h"

#include "platform/date.h"
#include "tally/TallyAPI.h"
#include "tally/TallyAdImpression.h"
#include "tally/TallySession.h"
#include "tally/TallyUtil.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace tally {
namespace {

std::string number(const std::optional<std::int64_t> &value)
{
    return value ? std::to_string(*value) : "(null)";
}

std::int64_t millisSince1970(const Date &date)
{
    return static_cast<std::int64_t>(std::trunc(date.secondsSince1970 * 1000.0));
}

// The click query after "apik" and "cid": the same for canvas, store and offer.
std::string clickQuery(const std::string &hook, const TallyAd &ad, const TallyAdImpression &impression,
                       const std::string &canvasId)
{
    const auto session = TallySession::currentSession();
    const std::string apiKey = session ? session->apiKey() : std::string("(null)");
    const std::int64_t sessionStart = session ? millisSince1970(session->startTime()) : 0;
    return cat("?apik=", apiKey, "&cid=", canvasId, "&adid=", number(ad.adId), "&pid=", TallySession::phoneID(),
               "&sid=", sessionStart, "&its=", impression.timeIntervalSinceSessionStart(),
               "&hid=", TallyAdView::percentEscape(hook), "&ac=", ad.adCookieString(),
               "&ats=", millisSince1970(platform::currentDate()));
}

} // namespace

std::string TallyAdView::percentEscape(const std::string &text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (std::isalnum(b) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(c);
        } else {
            out += {'%', hex[b >> 4], hex[b & 15]};
        }
    }
    return out;
}

std::string TallyAdView::webUrlForCanvas(bool canvas, const std::string &hook, const TallyAd &ad,
                                         const TallyAdImpression &impression,
                                         const std::optional<std::string> &canvasOrientation)
{
    std::string base = TallyAPI::appStoreURL();
    if (canvas) {
        std::string orientation = canvasOrientation.value_or("portrait");
        std::transform(orientation.begin(), orientation.end(), orientation.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        base = orientation == "portrait" ? TallyAPI::canvasURL() : TallyAPI::landscapeCanvasURL();
    }
    return base + clickQuery(hook, ad, impression, number(ad.canvasId));
}

std::string TallyAdView::webUrlForOffer(const std::string &hook, const TallyAd &ad, const TallyAdImpression &impression)
{
    const std::string url = TallyAPI::appStoreURL() + clickQuery(hook, ad, impression, "0");
    tallyDebug([&] { return cat("Tally: webUrlForOffer:ad: webUrl is ", url); });
    return url;
}

} // namespace tally
