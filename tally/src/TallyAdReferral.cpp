#include "tally/TallyAdReferral.h"

#include "platform/ui.h"
#include "platform/ui_navigation.h"
#include "tally/TallyAdImpression.h"
#include "tally/TallyUtil.h"

namespace tally {

std::shared_ptr<TallyAdAppStoreConnectionDelegate> TallyAdAppStoreConnectionDelegate::create()
{
    return std::shared_ptr<TallyAdAppStoreConnectionDelegate>(new TallyAdAppStoreConnectionDelegate());
}

bool TallyAdAppStoreConnectionDelegate::openReferralURL(const std::string &url)
{
    tallyDebug([&] { return cat("Tally: first redirection url[", url, "]"); });
    if (mAdImpression)
        mAdImpression->updateWithResult(6);
    if (!mExchange)
        mExchange = std::make_unique<platform::UrlExchange>(platform::uiRunLoop());
    connectionWillSendRequest(std::nullopt);
    platform::UrlRequest request;
    request.url = url;
    request.timeoutSeconds = kReferralTimeoutSeconds;
    request.maxResponseBytes = std::size_t{1} << 20; // the body is not read
    std::weak_ptr<TallyAdAppStoreConnectionDelegate> weak = weak_from_this();
    request.onRedirect = [weak](const std::string &from, const std::string &) {
        if (const auto self = weak.lock())
            self->connectionWillSendRequest(from);
    };
    // The completion holds the referral until the load has ended.
    return mExchange->start(std::move(request), [self = shared_from_this()](platform::UrlResponse response) {
        if (response.headerComplete)
            self->connectionDidFinishLoading();
    });
}

void TallyAdAppStoreConnectionDelegate::cancel()
{
    if (mExchange)
        mExchange->cancel();
}

bool TallyAdAppStoreConnectionDelegate::isRunning() const
{
    return mExchange && mExchange->inFlight();
}

void TallyAdAppStoreConnectionDelegate::connectionWillSendRequest(const std::optional<std::string> &redirectFrom)
{
    mITunesURL = redirectFrom;
    tallyDebug([&] { return cat("Tally: redirection url[", mITunesURL.value_or("(null)"), "]"); });
}

void TallyAdAppStoreConnectionDelegate::connectionDidFinishLoading()
{
    tallyDebug([&] { return cat("Tally: last redirection url[", mITunesURL.value_or("(null)"), "]"); });
    if (mAdImpression)
        mAdImpression->updateWithResult(8);
    platform::Application::shared().setNetworkActivityIndicatorVisible(false);
    if (mITunesURL)
        platform::openURL(*mITunesURL);
}

} // namespace tally
