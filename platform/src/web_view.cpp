#include "platform/web_view.h"

namespace platform {
namespace {

// Pages are not rendered: a bounded body is plenty.
constexpr std::size_t kMaxPageBytes = std::size_t{4} << 20;
constexpr double kPageTimeoutSeconds = 30.0;
constexpr std::size_t kMaxRecorded = 1000;

std::vector<std::string> &allRequested()
{
    static auto *list = new std::vector<std::string>();
    return *list;
}

} // namespace

WebView::~WebView() = default;

void WebView::loadRequest(const std::string &url)
{
    if (isNil())
        return;
    checkUiThread();
    mRequested.push_back(url);
    auto &all = allRequested();
    if (all.size() >= kMaxRecorded)
        all.erase(all.begin());
    all.push_back(url);
    const Ref<WebView> self = refTo(*this); // a delegate may drop the view
    if (const auto delegate = mDelegate.lock()) {
        if (!delegate->webViewShouldStartLoad(*this, url))
            return;
    }
    if (!mExchange)
        mExchange = std::make_unique<UrlExchange>(uiRunLoop());
    UrlRequest request;
    request.url = url;
    request.timeoutSeconds = kPageTimeoutSeconds;
    request.maxResponseBytes = kMaxPageBytes;
    std::weak_ptr<WebView> weak = std::static_pointer_cast<WebView>(shared_from_this());
    const bool started = mExchange->start(std::move(request), [weak](UrlResponse response) {
        const auto view = weak.lock();
        if (!view)
            return;
        view->mStatus = response.headerComplete ? response.statusCode : -1;
        const auto delegate = view->mDelegate.lock();
        if (!delegate)
            return;
        if (response.headerComplete)
            delegate->webViewDidFinishLoad(*view);
        else
            delegate->webViewDidFailLoad(*view, response);
    });
    if (const auto delegate = mDelegate.lock()) {
        delegate->webViewDidStartLoad(*this);
        if (!started) {
            UrlResponse refused;
            refused.error = UrlError::InvalidRequest;
            refused.errorText = "not a URL this view can load: " + url;
            delegate->webViewDidFailLoad(*this, refused);
        }
    }
}

void WebView::stopLoading()
{
    if (mExchange)
        mExchange->cancel();
}

bool WebView::isLoading() const
{
    return mExchange && mExchange->inFlight();
}

void WebView::describeContent(std::string &line) const
{
    appendField(line, "url", mRequested.empty() ? std::string() : mRequested.back());
}

std::vector<std::string> WebView::allRequestedURLs()
{
    return allRequested();
}

void WebView::clearAllRequestedURLs()
{
    allRequested().clear();
}

} // namespace platform
