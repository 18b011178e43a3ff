#include "tally/TallyAdCanvas.h"

#include "tally/TallyAPI.h"
#include "tally/TallyAdImpression.h"
#include "tally/TallyAdParser.h"
#include "tally/TallyAdReferral.h"
#include "tally/TallyAdServing.h"
#include "tally/TallyAdView.h"
#include "tally/TallyUtil.h"

#include <cmath>
#include <numbers>
#include <stdexcept>

namespace tally {
namespace {

using platform::Rect;
using platform::Ref;

constexpr double kRowHeight = 48.0;
constexpr double kListHandle = 29.0;
constexpr unsigned kFlexibleLeftMargin = 1u << 0;
constexpr unsigned kFlexibleWidth = 1u << 1;
constexpr unsigned kFlexibleRightMargin = 1u << 2;
constexpr unsigned kFlexibleTopMargin = 1u << 3;
constexpr unsigned kFlexibleHeight = 1u << 4;
constexpr unsigned kFlexibleBottomMargin = 1u << 5;

// The one canvas window of the process and what it shows.
struct CanvasState {
    Ref<platform::Window> window;
    std::weak_ptr<platform::Window> appWindow;
    Ref<TallyAdCanvasViewController> open;
    Ref<platform::NavigationController> navigation;
};

CanvasState &state()
{
    static auto *s = new CanvasState();
    return *s;
}

Rect toRect(const TallyRect &r)
{
    return Rect::make(r.x, r.y, r.width, r.height);
}

// What CGAffineTransformTranslate gives: the translation applied first.
platform::AffineTransform translated(platform::AffineTransform t, double x, double y)
{
    t.tx += t.a * x + t.c * y;
    t.ty += t.b * x + t.d * y;
    return t;
}

std::string pointText(double v)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%f", v);
    return buffer;
}

} // namespace

// -------------------------------------------------- navigation delegate

TallyAdNavigationDelegate::TallyAdNavigationDelegate(const Ref<platform::NavigationController> &controller)
    : mNavigationController(controller.weak())
{
    mNavItems.reserve(1);
}

bool TallyAdNavigationDelegate::navigationBarShouldPopItem(platform::NavigationBar &,
                                                           const Ref<platform::NavigationItem> &)
{
    // With no item left there is nothing to drop; the controller still pops.
    if (!mNavItems.empty())
        mNavItems.pop_back();
    if (const auto controller = mNavigationController.lock())
        controller->popViewControllerAnimated(true);
    return true;
}

Ref<platform::NavigationController> TallyAdNavigationDelegate::navigationController() const
{
    return Ref<platform::NavigationController>(mNavigationController.lock());
}

void TallyAdNavigationDelegate::setNavigationController(const Ref<platform::NavigationController> &controller)
{
    mNavigationController = controller.weak();
}

// ---------------------------------------------------------------- ad list

Ref<platform::View> TallyAdListView::webView() const
{
    return Ref<platform::View>(mWebView.lock());
}

void TallyAdListView::touchesBegan(const platform::Touches &touches)
{
    if (!touches.empty())
        mLastLocation = touches.front()->locationInView(superview());
}

void TallyAdListView::touchesMoved(const platform::Touches &touches)
{
    if (touches.empty())
        return;
    const platform::Point p = touches.front()->locationInView(superview());
    dragByYDisplacement(p.y - mLastLocation.y);
    mLastLocation = p;
    mDragInProgress = true;
}

void TallyAdListView::touchesEnded(const platform::Touches &touches)
{
    if (mDragInProgress) {
        if (!touches.empty()) {
            const platform::Point p = touches.front()->locationInView(superview());
            dragByYDisplacement(p.y - mLastLocation.y);
            mLastLocation = p;
        }
        mDragInProgress = false;
        return;
    }
    // A tap: a fully open list closes, any other opens fully.
    if (frame().origin.y == static_cast<double>(mUpper))
        dragToYPosition(mLower);
    else
        dragToYPosition(mUpper);
}

void TallyAdListView::touchesCancelled(const platform::Touches &)
{
    mDragInProgress = false;
}

void TallyAdListView::dragToYPosition(double y)
{
    dragByYDisplacement(y - frame().origin.y);
}

void TallyAdListView::dragByYDisplacement(double displacement)
{
    const Rect f = frame();
    double y = f.origin.y + displacement;
    if (y > mLower)
        y = mLower;
    if (y < mUpper)
        y = mUpper;
    tallyDebug([&] { return cat("Move scroll element originY to [", pointText(y), "]"); });
    setFrame(Rect::make(f.origin.x, y, f.size.width, f.size.height));
    if (mWebView.lock())
        updateWebViewFrame(y - f.origin.y);
}

void TallyAdListView::updateWebViewFrame(double change)
{
    const auto view = webView();
    if (!view)
        return;
    const Rect f = view->frame();
    tallyDebug([&] { return cat("Change web view height to [", pointText(f.size.height + change), "]"); });
    view->setFrame(Rect::make(f.origin.x, f.origin.y, f.size.width, f.size.height + change));
}

// ---------------------------------------------------------------- canvas

TallyAdCanvasViewController::TallyAdCanvasViewController() = default;

Ref<TallyAdCanvasViewController> TallyAdCanvasViewController::create()
{
    return platform::make<TallyAdCanvasViewController>();
}

TallyAdCanvasViewController::~TallyAdCanvasViewController()
{
    tallyGuarded([&] {
        // The ads the list took for this canvas serve other places again.
        if (const auto assignment = TallyAdAssignment::instance())
            assignment->removeAdsOnParentName(description());
        if (mLoadingView)
            mLoadingView->removeFromSuperview();
        if (mWebView)
            mWebView->removeFromSuperview();
        if (mNavBar)
            mNavBar->removeFromSuperview();
        if (mBackView)
            mBackView->removeFromSuperview();
    });
}

double TallyAdCanvasViewController::barHeight() const
{
    return TallyUtil::canvasInLandscape(mCanvasOrientation) ? 32.0 : 44.0;
}

void TallyAdCanvasViewController::createCanvasWindow()
{
    tallyGuarded([&] {
        const Ref<TallyAdCanvasViewController> self = platform::refTo(*this);
        if (const auto delegate = mAdDelegate.lock())
            delegate->canvasWillDisplay(mAdImpression ? mAdImpression->hook() : std::string());
        auto &s = state();
        // An earlier canvas still open gives way at once, and gives the key
        // window back before it is recorded.
        if (s.open && s.open.get() != this)
            s.open->removeCanvasWindow();
        s.appWindow = platform::Application::shared().keyWindow().weak();

        auto navigation = platform::NavigationController::withRoot(self);
        mNavDelegate = std::make_shared<TallyAdNavigationDelegate>(navigation);
        navigation->setDelegate(mNavDelegate);
        navigation->setNavigationBarHidden(true);
        s.navigation = navigation;
        const Ref<platform::View> navView = navigation->view();
        navView->setFrame(Rect::make(0, 0, 320, 480.1));
        if (TallyUtil::canvasInLandscape(mCanvasOrientation)) {
            navView->setFrame(Rect::make(0, 0, 480.1, 320));
            if (TallyUtil::canvasInLandscapeLeft(mCanvasOrientation))
                navView->setTransform(
                    translated(platform::AffineTransform::rotation(3.0 * std::numbers::pi / 2.0), -80, -80));
            else
                navView->setTransform(translated(platform::AffineTransform::rotation(std::numbers::pi / 2.0), 80, 80));
        }

        const Rect screen = platform::screenBounds();
        s.window = platform::make<platform::Window>(screen);
        s.window->setWindowLevel(platform::kWindowLevelStatusBar + 1);
        s.window->addSubview(navView);
        s.window->makeKeyAndVisible();

        const double w = screen.size.width;
        const double h = screen.size.height;
        if (TallyUtil::canvasInLandscapeLeft(mCanvasOrientation))
            s.window->setFrame(Rect::make(w, 0, w, h));
        else if (TallyUtil::canvasInLandscape(mCanvasOrientation))
            s.window->setFrame(Rect::make(-w, 0, w, h));
        else
            s.window->setFrame(Rect::make(0, h, w, h));

        platform::View::beginAnimations("canvasOpen");
        platform::View::setAnimationDuration(canvasAnimationDuration());
        platform::View::setAnimationDelegate(self, &TallyAdCanvasViewController::animationDidStop);
        s.window->setFrame(screen);
        platform::View::commitAnimations();
        setOpenCanvasController(self);
    });
}

void TallyAdCanvasViewController::pushOnto(const Ref<platform::NavigationController> &host)
{
    tallyGuarded([&] {
        mHostNavigation = host.weak();
        mNavDelegate = std::make_shared<TallyAdNavigationDelegate>(host);
        host->pushViewController(platform::refTo(*this), true);
    });
}

void TallyAdCanvasViewController::cancel()
{
    tallyGuarded([&] {
        const Ref<TallyAdCanvasViewController> self = platform::refTo(*this);
        auto &s = state();
        tallyDebug([&] {
            return cat("Tally: Cancel to app window[", Ref<platform::Window>(s.appWindow.lock())->description(), "]");
        });
        if (mAppStoreConnection && mAppStoreConnection->isRunning()) {
            platform::Application::shared().setNetworkActivityIndicatorVisible(false);
            mAppStoreConnection->cancel();
        }
        if (const auto host = mHostNavigation.lock()) {
            // Pushed onto the host's controller: no window to slide out.
            if (host->topViewController().get() == this)
                host->popViewControllerAnimated(true);
            return;
        }
        if (s.open.get() != this || !s.window || mClosing)
            return;
        mClosing = true;
        const Rect f = s.window->frame();
        Rect off = Rect::make(0, f.size.height, f.size.width, f.size.height);
        if (TallyUtil::canvasInLandscapeRight(mCanvasOrientation))
            off = Rect::make(-f.size.width, 0, f.size.width, f.size.height);
        else if (TallyUtil::canvasInLandscapeLeft(mCanvasOrientation))
            off = Rect::make(f.size.width, 0, f.size.width, f.size.height);
        platform::View::beginAnimations("canvasClose");
        platform::View::setAnimationDuration(canvasAnimationDuration());
        platform::View::setAnimationDelegate(self, &TallyAdCanvasViewController::animationDidStop);
        s.window->setFrame(off);
        platform::View::commitAnimations();
    });
}

void TallyAdCanvasViewController::animationDidStop(const std::optional<std::string> &name, bool)
{
    if (name && *name == "canvasClose")
        removeCanvasWindow();
}

void TallyAdCanvasViewController::removeCanvasWindow()
{
    tallyGuarded([&] {
        auto &s = state();
        if (s.open.get() != this)
            return; // already removed, or another canvas took the window
        const Ref<TallyAdCanvasViewController> self = platform::refTo(*this);
        if (s.navigation) {
            if (s.navigation->isViewLoaded())
                s.navigation->view()->removeFromSuperview();
            s.navigation.reset();
        }
        if (const auto app = s.appWindow.lock())
            app->makeKeyAndVisible();
        if (s.window)
            s.window->setHidden(true);
        s.window.reset();
        if (const auto delegate = mAdDelegate.lock())
            delegate->canvasWillClose();
        freeOpenCanvasController();
    });
}

void TallyAdCanvasViewController::setOpenCanvasController(const Ref<TallyAdCanvasViewController> &controller)
{
    state().open = controller;
}

Ref<TallyAdCanvasViewController> TallyAdCanvasViewController::getOpenCanvasController()
{
    return state().open;
}

void TallyAdCanvasViewController::freeOpenCanvasController()
{
    // Moved out first: the controller may go with the last reference.
    const auto last = std::move(state().open);
    state().open.reset();
}

Ref<platform::Window> TallyAdCanvasViewController::canvasWindow()
{
    return state().window;
}

void TallyAdCanvasViewController::resetForTesting()
{
    if (const auto open = state().open)
        open->removeCanvasWindow();
    auto &s = state();
    s.navigation.reset();
    s.window.reset();
    s.appWindow.reset();
}

void TallyAdCanvasViewController::loadView()
{
    createViewElements();
}

void TallyAdCanvasViewController::adjustForStatusBar(const Ref<platform::View> &view) const
{
    const Rect f = view->frame();
    view->setFrame(Rect::make(f.origin.x, f.origin.y + barHeight() + 20.0, f.size.width, f.size.height));
}

void TallyAdCanvasViewController::createViewElements()
{
    const Ref<TallyAdCanvasViewController> self = platform::refTo(*this);
    const Rect b = toRect(TallyUtil::screenBounds(mCanvasOrientation));
    const double x = b.origin.x, y = b.origin.y, w = b.size.width, h = b.size.height;
    setView(platform::make<platform::View>(b));
    mBackView = platform::make<platform::View>(b);
    mBackView->setBackgroundColor(kCanvasGrey);
    view()->addSubview(mBackView);
    tallyDebug([&] { return cat("Tally: canvasController view[", view()->description(), "]"); });

    if (!mNavigationItem) {
        mNavigationItem = platform::make<platform::NavigationItem>("Info");
        auto cancelItem = platform::make<platform::BarButtonItem>(platform::BarButtonSystemItem::Cancel);
        TallyAdCanvasViewController *raw = this;
        cancelItem->setAction(std::weak_ptr<const void>(self.shared()), [raw] { raw->cancel(); });
        mNavigationItem->setRightBarButtonItem(cancelItem);
        mNavigationItem->setBackBarButtonItem(
            platform::make<platform::BarButtonItem>("Back", platform::BarButtonStyle::Bordered));
    }

    if (!mNavDelegate)
        mNavDelegate = std::make_shared<TallyAdNavigationDelegate>(Ref<platform::NavigationController>());
    mNavBar = platform::make<platform::NavigationBar>(Rect::make(x, y, w, barHeight()));
    if (!mLoaded)
        mNavDelegate->navItems().push_back(mNavigationItem);
    mNavBar->setItems(mNavDelegate->navItems());
    mNavBar->setDelegate(mNavDelegate);

    mLoadingView = platform::make<platform::ActivityIndicatorView>(Rect::make(w / 2 - 15, h / 2 - 15, 30, 30));
    adjustForStatusBar(mLoadingView);
    mLoadingView->setBackgroundColor(kCanvasGrey);
    mLoadingView->setHidesWhenStopped(true);
    mLoadingView->setHidden(true);
    mLoadingView->setStyle(platform::ActivityIndicatorStyle::Gray);
    mLoadingView->setAutoresizingMask(kFlexibleLeftMargin | kFlexibleRightMargin | kFlexibleTopMargin |
                                      kFlexibleBottomMargin);
    tallyDebug([&] { return cat("Tally: canvasController loadingView[", mLoadingView->description(), "]"); });

    mWebView = platform::make<platform::WebView>(Rect::make(x, y - 20, w, h + 20 - (barHeight() + 145)));
    adjustForStatusBar(mWebView);
    mWebView->setBackgroundColor(kCanvasGrey);
    mWebView->setScalesPageToFit(false);
    mWebView->setAlpha(0.0);
    mWebView->setAutoresizingMask(kFlexibleWidth | kFlexibleHeight);
    mWebView->setDelegate(
        std::weak_ptr<platform::WebViewDelegate>(std::static_pointer_cast<TallyAdCanvasViewController>(self.shared())));
    mBackView->addSubview(mWebView);
    tallyDebug([&] { return cat("Tally: canvasController webView[", mWebView->description(), "]"); });

    mBackView->addSubview(mLoadingView);
    mBackView->addSubview(mNavBar);
}

void TallyAdCanvasViewController::viewDidLoad()
{
    tallyDebug([] { return std::string("Tally: loading canvas view"); });
    mWebView->loadRequest(mWebUrl);
    mLoaded = true;
}

void TallyAdCanvasViewController::viewWillAppear(bool)
{
    mHidden = false;
    if (!mNavDelegate)
        return;
    auto &items = mNavDelegate->navItems();
    if (!items.empty()) {
        auto last = platform::make<platform::NavigationItem>("Info");
        last->setRightBarButtonItem(mNavigationItem->rightBarButtonItem());
        last->setBackBarButtonItem(mNavigationItem->backBarButtonItem());
        items.back() = last;
        if (items.size() > 1) {
            const auto back = mNavBar->backItem();
            auto before = platform::make<platform::NavigationItem>("Info");
            before->setRightBarButtonItem(back->rightBarButtonItem());
            before->setBackBarButtonItem(back->backBarButtonItem());
            items[items.size() - 2] = before;
        }
    }
    mNavBar->setItems(items);
}

void TallyAdCanvasViewController::viewWillDisappear(bool)
{
    mHidden = true;
}

bool TallyAdCanvasViewController::webViewShouldStartLoad(platform::WebView &, const std::string &url)
{
    bool load = true;
    tallyGuarded([&] {
        tallyDebug([&] { return cat("Loading url[", url, "] in canvas"); });
        const std::string store = TallyAPI::appStoreURL();
        if (store.empty() || url.compare(0, store.size(), store) != 0)
            return;
        load = false;
        mLoadingView->setHidden(false);
        mLoadingView->startAnimating();
        platform::Application::shared().setNetworkActivityIndicatorVisible(true);
        mWebView->setAlpha(0.25);
        mWebView->setUserInteractionEnabled(false);
        mAdListView->setAlpha(0.25);
        mAdListView->setUserInteractionEnabled(false);
        tallyDebug([&] { return cat("Loading appStoreUrl[", url, "] in canvas"); });
        if (mAppStoreConnection)
            mAppStoreConnection->cancel();
        mAppStoreConnection = TallyAdAppStoreConnectionDelegate::create();
        mAppStoreConnection->setAdImpression(mAdImpression);
        (void)mAppStoreConnection->openReferralURL(url);
    });
    return load;
}

void TallyAdCanvasViewController::webViewDidStartLoad(platform::WebView &)
{
    mLoadingView->setHidden(false);
    mLoadingView->startAnimating();
    platform::Application::shared().setNetworkActivityIndicatorVisible(true);
    tallyDebug([] { return std::string("Tally: loading screen shown"); });
}

void TallyAdCanvasViewController::webViewDidFinishLoad(platform::WebView &)
{
    tallyGuarded([&] { buildAdList(); });
    tallyDebug([] { return std::string("Tally: loading screen hidden"); });
}

void TallyAdCanvasViewController::buildAdList()
{
    const Ref<TallyAdCanvasViewController> self = platform::refTo(*this);
    if (mAdImpression)
        mAdImpression->updateWithResult(5);
    const bool landscape = TallyUtil::canvasInLandscape(mCanvasOrientation);
    const std::string orientationName = landscape ? "landscape" : "portrait";
    const std::int32_t max = std::max(0, landscape ? TallyAdProperties::getLandscapeAdsMaxShown()
                                                   : TallyAdProperties::getPortraitAdsMaxShown());
    const Rect b = toRect(TallyUtil::screenBounds(mCanvasOrientation));

    mWebView->setAlpha(1.0);
    mLoadingView->setHidden(true);
    mLoadingView->stopAnimating();
    platform::Application::shared().setNetworkActivityIndicatorVisible(false);

    // A page loaded again gets a fresh list, not a second one.
    if (mAdListView) {
        mAdListView->removeFromSuperview();
        mAdListView.reset();
    }
    const double rows = kRowHeight * static_cast<double>(max);
    auto list = platform::make<TallyAdListView>(
        Rect::make(0, std::trunc(mWebView->frame().size.height - 40), b.size.width, rows + kListHandle));
    const auto lower = static_cast<std::int32_t>(std::trunc(b.size.height - kListHandle));
    list->setLowerLocationLimit(lower);
    list->setUpperLocationLimit(lower - static_cast<std::int32_t>(rows));
    list->setBackgroundColor(platform::Color{});
    list->setWebView(mWebView);
    adjustForStatusBar(list);

    if (mAd) {
        if (const auto assignment = TallyAdAssignment::instance())
            (void)assignment->assignAd(mAd, description());
    }
    auto handle = platform::make<platform::ImageView>();
    const auto handleImage = TallyAdParser::fastImageWithCode(1);
    handle->setImage(handleImage);
    if (handleImage)
        handle->setFrame(Rect::make(0, 0, handleImage->width, handleImage->height));

    const auto navigation = mNavDelegate ? mNavDelegate->navigationController() : Ref<platform::NavigationController>();
    int count = 0;
    for (int i = 0; i < max; ++i) {
        const std::string hook = cat("Tally_Canvas_Hook_", i + 1);
        auto ad = TallyAdParser::fastAdWithHook(hook, description());
        if (!ad)
            break;
        auto row = TallyAdCanvasView::initWithAd(std::move(ad), hook, 0, static_cast<int>(kRowHeight * i + kListHandle),
                                                 navigation, false, orientationName, mCanvasOrientation, false);
        list->addSubview(row);
        row->setAdDelegate(mAdDelegate);
        row->setCanvasAnimated(mCanvasAnimated);
        ++count;
    }
    const double shown =
        landscape ? TallyAdProperties::getLandscapeAdsShownAtStart() : TallyAdProperties::getPortraitAdsShownAtStart();
    if (count == 0 || !handleImage) {
        list->setHidden(true);
        list->dragByYDisplacement(500);
        list->setUserInteractionEnabled(false);
    } else {
        list->setUpperLocationLimit(list->upperLocationLimit() + static_cast<std::int32_t>(kRowHeight * (max - count)));
        if (count > shown)
            list->dragToYPosition(lower - kRowHeight * shown);
        else
            list->dragToYPosition(list->upperLocationLimit());
    }
    list->addSubview(handle);
    mBackView->addSubview(list);
    mAdListView = list;
}

void TallyAdCanvasViewController::webViewDidFailLoad(platform::WebView &, const platform::UrlResponse &error)
{
    tallyGuarded([&] {
        const Ref<TallyAdCanvasViewController> self = platform::refTo(*this);
        tallyDebug([&] {
            return cat("Tally: fail to load canvas screen description[", error.errorText, "] code[",
                       static_cast<int>(error.error), "] domain[", platform::describeUrlError(error.error),
                       "] userInfo[(null)]");
        });
        TallyUtil::handleException(
            std::make_exception_ptr(std::runtime_error("canvas page failed: " + error.errorText)));
        mLoadingView->setHidden(true);
        mLoadingView->stopAnimating();
        platform::Application::shared().setNetworkActivityIndicatorVisible(false);

        if (mErrorPanel)
            mErrorPanel->removeFromSuperview();
        const Rect b = toRect(TallyUtil::screenBounds(mCanvasOrientation));
        mErrorPanel = platform::make<platform::View>(b);
        mErrorPanel->setBackgroundColor(kCanvasGrey);
        mBackView->addSubview(mErrorPanel);
        const platform::Point centre{b.origin.x + b.size.width / 2, b.origin.y + b.size.height / 2};
        auto label = platform::make<platform::Label>(Rect::make(centre.x - 100, centre.y - 50, 200, 50));
        adjustForStatusBar(label);
        label->setText("Internet unavailable");
        label->setTextAlignment(platform::kTextAlignmentCenter);
        label->setTextColor(platform::Color{0, 0, 0, 1});
        label->setAdjustsFontSizeToFitWidth(true);
        label->setBackgroundColor(platform::Color{});
        mErrorPanel->addSubview(label);
        auto button = platform::make<platform::Button>(Rect::make(centre.x - 50, centre.y, 100, 50));
        adjustForStatusBar(button);
        button->setTitle("Cancel");
        TallyAdCanvasViewController *raw = this;
        button->addTarget(std::weak_ptr<const void>(self.shared()), [raw](platform::Button &) { raw->cancel(); });
        mErrorPanel->addSubview(button);
    });
}

} // namespace tally
