// The full-screen ad canvas: a web page of the ad service under a bar with
// a Cancel button, in a window of its own above the status bar, with a list
// of further ads that slides up from the bottom edge. One canvas window at
// a time; it slides in on opening and out on cancel.
#ifndef TALLY_TALLY_AD_CANVAS_H
#define TALLY_TALLY_AD_CANVAS_H

#include "platform/ui.h"
#include "platform/ui_navigation.h"
#include "platform/web_view.h"
#include "tally/TallyAdValues.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tally {

class TallyAdAppStoreConnectionDelegate;
class TallyAdDelegate;
class TallyAdImpression;

// Keeps the items of the canvas's own bar and turns its back button into a
// pop of the navigation controller, which it does not own.
class TallyAdNavigationDelegate : public platform::NavigationBarDelegate,
                                  public platform::NavigationControllerDelegate {
public:
    explicit TallyAdNavigationDelegate(const platform::Ref<platform::NavigationController> &controller);

    // Drops the last item (none left stays none) and pops the controller.
    bool navigationBarShouldPopItem(platform::NavigationBar &bar,
                                    const platform::Ref<platform::NavigationItem> &item) override;

    [[nodiscard]] platform::Ref<platform::NavigationController> navigationController() const;
    void setNavigationController(const platform::Ref<platform::NavigationController> &controller);
    [[nodiscard]] std::vector<platform::Ref<platform::NavigationItem>> &navItems() { return mNavItems; }
    void setNavItems(std::vector<platform::Ref<platform::NavigationItem>> items) { mNavItems = std::move(items); }

private:
    std::vector<platform::Ref<platform::NavigationItem>> mNavItems;
    std::weak_ptr<platform::NavigationController> mNavigationController;
};

// The list of further ads at the bottom of the canvas. Taps toggle it
// between closed and fully open; drags move it between its limits, and the
// web view's height follows.
class TallyAdListView : public platform::View {
public:
    using View::View;
    [[nodiscard]] const char *className() const override { return "TallyAdListView"; }

    void touchesBegan(const platform::Touches &touches) override;
    void touchesMoved(const platform::Touches &touches) override;
    void touchesEnded(const platform::Touches &touches) override;
    void touchesCancelled(const platform::Touches &touches) override;
    void dragToYPosition(double y);
    void dragByYDisplacement(double displacement);
    void updateWebViewFrame(double change);

    [[nodiscard]] std::int32_t upperLocationLimit() const { return mUpper; }
    void setUpperLocationLimit(std::int32_t limit) { mUpper = limit; }
    [[nodiscard]] std::int32_t lowerLocationLimit() const { return mLower; }
    void setLowerLocationLimit(std::int32_t limit) { mLower = limit; }
    [[nodiscard]] platform::Ref<platform::View> webView() const;
    void setWebView(const platform::Ref<platform::View> &view) { mWebView = view.weak(); }

private:
    platform::Point mLastLocation;
    bool mDragInProgress = false;
    std::int32_t mUpper = 0;
    std::int32_t mLower = 0;
    std::weak_ptr<platform::View> mWebView;
};

class TallyAdCanvasViewController : public platform::ViewController, public platform::WebViewDelegate {
public:
    static constexpr double kAnimatedSeconds = 0.3;
    // The canvas grey.
    static constexpr platform::Color kCanvasGrey{200.0 / 255.0, 202.0 / 255.0, 0.8, 1.0};

    TallyAdCanvasViewController();
    ~TallyAdCanvasViewController() override;
    [[nodiscard]] const char *className() const override { return "TallyAdCanvasViewController"; }
    [[nodiscard]] static platform::Ref<TallyAdCanvasViewController> create();

    void setWebUrl(std::string url) { mWebUrl = std::move(url); }
    [[nodiscard]] const std::string &webUrl() const { return mWebUrl; }
    void setCanvasOrientation(std::optional<std::string> o) { mCanvasOrientation = std::move(o); }
    [[nodiscard]] const std::optional<std::string> &canvasOrientation() const { return mCanvasOrientation; }
    void setAdImpression(std::shared_ptr<TallyAdImpression> impression) { mAdImpression = std::move(impression); }
    [[nodiscard]] std::shared_ptr<TallyAdImpression> adImpression() const { return mAdImpression; }
    void setAd(std::shared_ptr<TallyAd> ad) { mAd = std::move(ad); }
    void setAdDelegate(std::weak_ptr<TallyAdDelegate> delegate) { mAdDelegate = std::move(delegate); }
    void setCanvasAnimated(bool animated) { mCanvasAnimated = animated; }
    [[nodiscard]] bool canvasAnimated() const { return mCanvasAnimated; }
    [[nodiscard]] double canvasAnimationDuration() const { return mCanvasAnimated ? kAnimatedSeconds : 0.0; }

    // Opens the canvas in a window of its own.
    void createCanvasWindow();
    // Opens it on the host's navigation controller instead: it keeps its own
    // item list and its Cancel pops it.
    void pushOnto(const platform::Ref<platform::NavigationController> &host);
    void cancel();
    void animationDidStop(const std::optional<std::string> &name, bool finished);
    void removeCanvasWindow();

    void loadView() override;
    void createViewElements();
    void adjustForStatusBar(const platform::Ref<platform::View> &view) const;
    void viewDidLoad() override;
    void viewWillAppear(bool animated) override;
    void viewWillDisappear(bool animated) override;

    bool webViewShouldStartLoad(platform::WebView &webView, const std::string &url) override;
    void webViewDidStartLoad(platform::WebView &webView) override;
    void webViewDidFinishLoad(platform::WebView &webView) override;
    void webViewDidFailLoad(platform::WebView &webView, const platform::UrlResponse &error) override;

    [[nodiscard]] platform::Ref<platform::WebView> webView() const { return mWebView; }
    [[nodiscard]] platform::Ref<platform::ActivityIndicatorView> loadingView() const { return mLoadingView; }
    [[nodiscard]] platform::Ref<TallyAdListView> adListView() const { return mAdListView; }
    [[nodiscard]] platform::Ref<platform::NavigationBar> navBar() const { return mNavBar; }
    [[nodiscard]] platform::Ref<platform::View> backView() const { return mBackView; }
    [[nodiscard]] platform::Ref<platform::NavigationItem> navigationItem() const { return mNavigationItem; }
    [[nodiscard]] std::shared_ptr<TallyAdNavigationDelegate> navigationDelegate() const { return mNavDelegate; }
    [[nodiscard]] std::shared_ptr<TallyAdAppStoreConnectionDelegate> appStoreConnection() const
    {
        return mAppStoreConnection;
    }
    [[nodiscard]] bool isCanvasHidden() const { return mHidden; }
    [[nodiscard]] bool isLoaded() const { return mLoaded; }
    // The error panel after a page failed, or an empty handle.
    [[nodiscard]] platform::Ref<platform::View> errorPanel() const { return mErrorPanel; }

    static void setOpenCanvasController(const platform::Ref<TallyAdCanvasViewController> &controller);
    [[nodiscard]] static platform::Ref<TallyAdCanvasViewController> getOpenCanvasController();
    static void freeOpenCanvasController();
    // The window of the open canvas, or an empty handle.
    [[nodiscard]] static platform::Ref<platform::Window> canvasWindow();
    // Closes whatever canvas is open at once, without animation.
    static void resetForTesting();

private:
    [[nodiscard]] double barHeight() const;
    void buildAdList();

    std::string mWebUrl;
    std::optional<std::string> mCanvasOrientation;
    std::shared_ptr<TallyAdImpression> mAdImpression;
    platform::Ref<platform::ActivityIndicatorView> mLoadingView;
    platform::Ref<platform::WebView> mWebView;
    platform::Ref<TallyAdListView> mAdListView;
    bool mLoaded = false;
    std::shared_ptr<TallyAd> mAd;
    std::shared_ptr<TallyAdAppStoreConnectionDelegate> mAppStoreConnection;
    platform::Ref<platform::NavigationBar> mNavBar;
    platform::Ref<platform::NavigationItem> mNavigationItem;
    std::weak_ptr<TallyAdDelegate> mAdDelegate;
    bool mHidden = false;
    platform::Ref<platform::View> mBackView;
    platform::Ref<platform::View> mErrorPanel;
    bool mCanvasAnimated = true;
    std::shared_ptr<TallyAdNavigationDelegate> mNavDelegate;
    std::weak_ptr<platform::NavigationController> mHostNavigation; // when pushed onto the host's
    bool mClosing = false;
};

} // namespace tally

#endif // TALLY_TALLY_AD_CANVAS_H
