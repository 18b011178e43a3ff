// A web view that renders nothing: it asks its delegate whether to load an
// address, loads it over the URL loader on the interface's run loop, and
// tells the delegate that loading started and then finished (any HTTP
// answer) or failed (none). It never follows links by itself; every address
// it is asked to load is recorded.
#ifndef PLATFORM_WEB_VIEW_H
#define PLATFORM_WEB_VIEW_H

#include "platform/ui.h"
#include "platform/url_loader.h"

#include <memory>
#include <string>
#include <vector>

namespace platform {

class WebView;

class WebViewDelegate {
public:
    virtual ~WebViewDelegate() = default;
    virtual bool webViewShouldStartLoad(WebView &, const std::string & /*url*/) { return true; }
    virtual void webViewDidStartLoad(WebView &) {}
    virtual void webViewDidFinishLoad(WebView &) {}
    virtual void webViewDidFailLoad(WebView &, const UrlResponse & /*error*/) {}
};

class WebView : public View {
public:
    using View::View;
    ~WebView() override;
    [[nodiscard]] const char *className() const override { return "UIWebView"; }

    void setDelegate(std::weak_ptr<WebViewDelegate> delegate) { assign(mDelegate, std::move(delegate)); }
    [[nodiscard]] bool scalesPageToFit() const { return mScales; }
    void setScalesPageToFit(bool scales) { assign(mScales, scales); }

    // Asks the delegate, then starts loading (stopping a load in flight).
    void loadRequest(const std::string &url);
    void stopLoading();
    [[nodiscard]] bool isLoading() const;
    // Every address given to loadRequest, in order, refused ones included.
    [[nodiscard]] const std::vector<std::string> &requestedURLs() const { return mRequested; }
    // The status of the last page loaded (-1 before any).
    [[nodiscard]] int lastStatusCode() const { return mStatus; }
    void describeContent(std::string &line) const override;

    // The last addresses asked of any web view, for drivers.
    [[nodiscard]] static std::vector<std::string> allRequestedURLs();
    static void clearAllRequestedURLs();

private:
    std::weak_ptr<WebViewDelegate> mDelegate;
    bool mScales = false;
    std::vector<std::string> mRequested;
    std::unique_ptr<UrlExchange> mExchange;
    int mStatus = -1;
};

} // namespace platform

#endif // PLATFORM_WEB_VIEW_H
