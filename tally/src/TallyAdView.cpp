#include "tally/TallyAdView.h"

#include "platform/date.h"
#include "platform/notifications.h"
#include "tally/TallyAPI.h"
#include "tally/TallyAdCanvas.h"
#include "tally/TallyAdImpression.h"
#include "tally/TallyAdParser.h"
#include "tally/TallyAdReferral.h"
#include "tally/TallyAdServing.h"
#include "tally/TallyHeartBeater.h"
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

// ------------------------------------------------------------- the banner

namespace tally {
namespace {

using platform::Rect;
using platform::Ref;

constexpr platform::Color kBlue{0.0, 0.0, 1.0, 1.0};
constexpr platform::Color kGrey{0.5, 0.5, 0.5, 1.0};
constexpr unsigned kFlexibleTopMargin = 1u << 3;
constexpr unsigned kFlexibleBottomMargin = 1u << 5;

bool isLandscape(const std::optional<std::string> &orientation)
{
    if (!orientation)
        return false;
    std::string lower = *orientation;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower == "landscape";
}

double coordinate(const std::optional<std::int32_t> &value)
{
    return static_cast<double>(value.value_or(0));
}

Rect rectOf(const std::optional<TallyAdLocation> &location, const std::optional<TallyAdDimension> &dimension)
{
    const TallyAdLocation l = location.value_or(TallyAdLocation{});
    const TallyAdDimension d = dimension.value_or(TallyAdDimension{});
    return Rect::make(coordinate(l.x), coordinate(l.y), coordinate(d.width), coordinate(d.height));
}

Rect styleRect(const std::optional<TallyAdTextStyle> &style)
{
    return style ? rectOf(style->location, style->dimension) : Rect{};
}

platform::Color colorOf(const std::optional<TallyAdTextStyle> &style)
{
    const TallyAdColor c = style && style->fontColor ? *style->fontColor : TallyAdColor{};
    return {c.red, c.green, c.blue, c.alpha};
}

void applyFont(const Ref<platform::Label> &label, const std::optional<TallyAdTextStyle> &style)
{
    if (style && style->font)
        label->setFont(*style->font, static_cast<double>(style->fontSize.value_or(0)));
}

std::string sizeText(const std::shared_ptr<const platform::Image> &image)
{
    return image ? cat("{", image->width, ", ", image->height, "}") : std::string("{0, 0}");
}

std::string rectText(Rect r)
{
    return cat("{{", static_cast<long long>(r.origin.x), ", ", static_cast<long long>(r.origin.y), "}, {",
               static_cast<long long>(r.size.width), ", ", static_cast<long long>(r.size.height), "}}");
}

Ref<platform::ImageView> imageViewOf(std::shared_ptr<const platform::Image> image, Rect frame)
{
    auto view = platform::make<platform::ImageView>();
    view->setImage(std::move(image));
    view->setFrame(frame);
    return view;
}

Ref<platform::ImageView> backgroundOf(const std::shared_ptr<const platform::Image> &image)
{
    const Rect frame = image ? Rect::make(0, 0, image->width, image->height) : Rect::make(0, 0, 0, 0);
    return imageViewOf(image, frame);
}

} // namespace

Ref<TallyAdView> TallyAdView::initWithAd(std::shared_ptr<TallyAd> ad, const std::string &hook, int x, int y,
                                         const Ref<platform::Responder> &parent, bool attachToView,
                                         const std::optional<std::string> &orientation,
                                         const std::optional<std::string> &canvasOrientation, bool autoRefresh)
{
    return make<TallyAdView>(std::move(ad), hook, x, y, parent, attachToView, orientation, canvasOrientation,
                             autoRefresh);
}

void TallyAdView::init(std::shared_ptr<TallyAd> ad, const std::string &hook, int x, int y,
                       const Ref<platform::Responder> &parent, bool attachToView,
                       const std::optional<std::string> &orientation,
                       const std::optional<std::string> &canvasOrientation, bool autoRefresh)
{
    tallyGuarded([&] {
        setFrame(Rect::make(x, y, 320, 48));
        mAutoRefresh = autoRefresh;
        mRefreshTimerPaused = false;
        setHidden(true);
        mHook = hook;
        if (const auto controller = parent.as<platform::ViewController>()) {
            mParentViewController = controller.shared();
            if (const auto nav = controller.as<platform::NavigationController>())
                mParentName = nav->visibleViewController()->description();
            else
                mParentName = controller->description();
            mParentView = controller->view().shared();
        } else if (const auto view = parent.as<platform::View>()) {
            mParentView = view.shared();
            mParentName = view->description();
        }
        setBackgroundColor(kBlue);
        mAdImpression = TallyAdImpression::initWithHook(hook, kAdFormatBanner);
        setAutoresizingMask(kFlexibleTopMargin | kFlexibleBottomMargin);
        mOrientation = orientation;
        mCanvasOrientation = canvasOrientation;
        auto adHook = TallyAdParser::fastHookWithName(hook);
        if (ad && adHook)
            updateWithAd(std::move(ad), std::move(adHook));
        if (attachToView) {
            if (const auto view = parentView())
                view->addSubview(platform::refTo<platform::View>(*this));
        }
        std::weak_ptr<TallyAdView> weak = std::static_pointer_cast<TallyAdView>(shared_from_this());
        auto &center = platform::NotificationCenter::defaultCenter();
        mOrientationObserver =
            center.addObserver(platform::kDeviceOrientationDidChangeNotification, [weak](const std::string &) {
                if (const auto self = weak.lock())
                    self->updateToOrientation();
            });
        mHeartBeatObserver = center.addObserver(kTallyHeartBeatNotification, [weak](const std::string &) {
            if (const auto self = weak.lock())
                self->handleHeartBeat();
        });
        tallyDebug([&] { return cat("Tally: Initialized adView with hook[", hook, "] at x[", x, "] y[", y, "]"); });
    });
}

TallyAdView::~TallyAdView()
{
    tallyGuarded([&] {
        auto &center = platform::NotificationCenter::defaultCenter();
        if (mOrientationObserver != 0)
            center.removeObserver(mOrientationObserver);
        if (mHeartBeatObserver != 0)
            center.removeObserver(mHeartBeatObserver);
        cancelRefresh();
        if (mAlert)
            mAlert->dismiss();
        if (mAd) {
            if (const auto assignment = TallyAdAssignment::instance())
                assignment->removeAd(*mAd, mParentName);
        }
    });
}

Ref<platform::View> TallyAdView::parentView() const
{
    return Ref<platform::View>(mParentView.lock());
}

Ref<platform::ViewController> TallyAdView::parentViewController() const
{
    return Ref<platform::ViewController>(mParentViewController.lock());
}

void TallyAdView::updateWithAd(std::shared_ptr<TallyAd> ad, std::shared_ptr<TallyAdHook> adHook)
{
    const bool firstAd = !mAd || !mAdHook;
    mAd = std::move(ad);
    mAdHook = std::move(adHook);
    if (mAd && mAdHook) {
        mTheme = mAdHook->adTheme;
        if (mAd->adImage)
            createViewElements();
        setUserInteractionEnabled(true);
        setHidden(false);
        setAlpha(1.0);
        if (mAutoRefresh && !mRefreshTimerPaused)
            scheduleRefresh();
        if (!firstAd)
            mAdImpression = TallyAdImpression::initWithHook(mHook, kAdFormatBanner);
        mAdImpression->updateWithAd(*mAd);
        updateToOrientation();
        tallyDebug([&] { return cat("Tally: Updated adView with ad[", mAd->adId.value_or(0), "]"); });
    }
    checkBannerLocation();
}

void TallyAdView::removeViewElements()
{
    const std::vector<Ref<platform::View>> old = {
        mIcon, mLandscapeBackground, mPortraitBackground, mSellMessageLabel, mAppNameLabel, mAdvertiserLabel};
    for (const auto &element : old) {
        if (element && element->superview().get() == this)
            element->removeFromSuperview();
    }
}

Ref<platform::Label> TallyAdView::makeLabel(Rect frame, const std::optional<std::string> &text,
                                            const std::optional<TallyAdTextStyle> &style) const
{
    auto label = platform::make<platform::Label>(frame);
    label->setText(text.value_or(""));
    label->setTextAlignment(platform::kTextAlignmentLeft);
    label->setTextColor(colorOf(style));
    applyFont(label, style);
    label->setAdjustsFontSizeToFitWidth(false);
    label->setBackgroundColor(platform::Color{});
    return label;
}

void TallyAdView::createViewElements()
{
    // Every refresh builds a new set: the previous one goes first, or the
    // banner would gather six more subviews at each refresh.
    removeViewElements();
    tallyDebug([&] {
        return cat("Tally: Updating adView with adImageId[", mAd->imageId.value_or(0), "] dimension[",
                   sizeText(mAd->adImage), "]");
    });
    mIcon = imageViewOf(mAd->adImage, portraitIconFrame());
    tallyDebug([&] { return cat("Tally: Icon image created at[", rectText(mIcon->bounds()), "]"); });

    const auto sellStyle = mTheme ? mTheme->portraitSellMessageTextStyle : std::nullopt;
    mSellMessageLabel = makeLabel(portraitSellMessageFrame(), mTheme ? mTheme->sellMessage : std::nullopt, sellStyle);
    mSellMessageLabel->setAdjustsFontSizeToFitWidth(true);
    mSellMessageLabel->setNumberOfLines(2);
    tallyDebug(
        [&] { return cat("Tally: Sales message label created at[", rectText(mSellMessageLabel->bounds()), "]"); });

    mAppNameLabel =
        makeLabel(portraitAppNameFrame(), mAd->adText, mTheme ? mTheme->portraitAppNameTextStyle : std::nullopt);
    tallyDebug([&] { return cat("Tally: App name label created at[", rectText(mAppNameLabel->bounds()), "]"); });

    mAdvertiserLabel = makeLabel(portraitAdvertiserFrame(), mAd->advertiser,
                                 mTheme ? mTheme->portraitAdvertiserTextStyle : std::nullopt);
    mAdvertiserLabel->setHidden(true);
    tallyDebug([&] { return cat("Tally: Advertiser label created at[", rectText(mAdvertiserLabel->bounds()), "]"); });

    mPortraitBackground = backgroundOf(mTheme ? mTheme->portraitAdImage : nullptr);
    mLandscapeBackground = backgroundOf(mTheme ? mTheme->landscapeAdImage : nullptr);

    for (const Ref<platform::View> &v : std::initializer_list<Ref<platform::View>>{
             mIcon, mLandscapeBackground, mPortraitBackground, mSellMessageLabel, mAppNameLabel, mAdvertiserLabel})
        addSubview(v);
    setBackgroundColor(kGrey);
}

Rect TallyAdView::landscapeFrame() const
{
    const Rect f = frame();
    return mTheme ? Rect{f.origin, rectOf(TallyAdLocation{}, mTheme->landscapeAdDimension).size} : Rect{f.origin, {}};
}
Rect TallyAdView::portraitFrame() const
{
    const Rect f = frame();
    return mTheme ? Rect{f.origin, rectOf(TallyAdLocation{}, mTheme->portraitAdDimension).size} : Rect{f.origin, {}};
}
Rect TallyAdView::landscapeIconFrame() const
{
    return mTheme ? rectOf(mTheme->landscapeAppImageLocation, mTheme->landscapeAppImageDimension) : Rect{};
}
Rect TallyAdView::portraitIconFrame() const
{
    return mTheme ? rectOf(mTheme->portraitAppImageLocation, mTheme->portraitAppImageDimension) : Rect{};
}
Rect TallyAdView::landscapeSellMessageFrame() const
{
    return mTheme ? styleRect(mTheme->landscapeSellMessageTextStyle) : Rect{};
}
Rect TallyAdView::portraitSellMessageFrame() const
{
    return mTheme ? styleRect(mTheme->portraitSellMessageTextStyle) : Rect{};
}
Rect TallyAdView::landscapeAppNameFrame() const
{
    return mTheme ? styleRect(mTheme->landscapeAppNameTextStyle) : Rect{};
}
Rect TallyAdView::portraitAppNameFrame() const
{
    return mTheme ? styleRect(mTheme->portraitAppNameTextStyle) : Rect{};
}
Rect TallyAdView::landscapeAdvertiserFrame() const
{
    return mTheme ? styleRect(mTheme->landscapeAdvertiserTextStyle) : Rect{};
}
Rect TallyAdView::portraitAdvertiserFrame() const
{
    return mTheme ? styleRect(mTheme->portraitAdvertiserTextStyle) : Rect{};
}

void TallyAdView::updateToOrientation()
{
    tallyGuarded([&] {
        const bool landscape = isLandscape(mOrientation);
        setFrame(landscape ? landscapeFrame() : portraitFrame());
        mSellMessageLabel->setFrame(landscape ? landscapeSellMessageFrame() : portraitSellMessageFrame());
        mIcon->setFrame(landscape ? landscapeIconFrame() : portraitIconFrame());
        mAppNameLabel->setFrame(landscape ? landscapeAppNameFrame() : portraitAppNameFrame());
        mAdvertiserLabel->setFrame(landscape ? landscapeAdvertiserFrame() : portraitAdvertiserFrame());
        mAdvertiserLabel->setHidden(!landscape);
        mLandscapeBackground->setHidden(!landscape);
        mPortraitBackground->setHidden(landscape);
        if (mTheme) {
            applyFont(mAppNameLabel, landscape ? mTheme->landscapeAppNameTextStyle : mTheme->portraitAppNameTextStyle);
            applyFont(mSellMessageLabel,
                      landscape ? mTheme->landscapeSellMessageTextStyle : mTheme->portraitSellMessageTextStyle);
        }
    });
}

void TallyAdView::handleHeartBeat()
{
    if (!mAd || !mAdHook)
        refreshWithAd();
    checkBannerLocation();
}

void TallyAdView::checkBannerLocation()
{
    tallyGuarded([&] {
        const Ref<platform::Window> key = platform::Application::shared().keyWindow();
        bool visible = false;
        if (key && window().get() == key.get() && !isHidden()) {
            const Rect b = bounds();
            const platform::Point centre =
                convertToWindow({b.origin.x + b.size.width / 2.0, b.origin.y + b.size.height / 2.0});
            visible = key->bounds().contains(centre);
        }
        if (visible) {
            if (mAd && mAdImpression && mAdImpression->currentState() <= 2)
                mAdImpression->updateWithResult(3);
            if (mAutoRefresh && mRefreshTimerPaused) {
                scheduleRefresh();
                mRefreshTimerPaused = false;
            }
        } else {
            mRefreshTimerPaused = true;
            cancelRefresh();
        }
    });
}

void TallyAdView::scheduleRefresh()
{
    // Signed: the server may send 0 or a negative interval, which would
    // refresh at every pass of the loop.
    auto seconds = static_cast<std::int32_t>(TallyAdProperties::getBannerRefreshInSeconds());
    if (seconds < 1)
        seconds = kDefaultBannerRefreshSeconds;
    cancelRefresh();
    std::weak_ptr<TallyAdView> weak = std::static_pointer_cast<TallyAdView>(shared_from_this());
    mTimerLoop = &platform::uiRunLoop();
    mRefreshTimer = mTimerLoop->addTimer(seconds, [weak] {
        if (const auto self = weak.lock()) {
            self->mRefreshTimer = 0;
            self->refreshWithAd();
        }
    });
}

void TallyAdView::cancelRefresh()
{
    // A loop that is no longer the interface's may be gone; its timer only
    // holds the banner weakly.
    if (mRefreshTimer != 0 && mTimerLoop == &platform::uiRunLoop())
        mTimerLoop->cancelTimer(mRefreshTimer);
    mRefreshTimer = 0;
}

void TallyAdView::refreshWithAd()
{
    tallyGuarded([&] {
        const Ref<TallyAdView> self = platform::refTo(*this);
        if (mAd) {
            if (const auto assignment = TallyAdAssignment::instance())
                assignment->removeAd(*mAd, mParentName);
        }
        std::shared_ptr<TallyAd> ad;
        std::shared_ptr<TallyAdHook> adHook;
        if (const auto parser = TallyAdParser::instance()) {
            ad = parser->adWithHook(mHook, mParentName);
            adHook = parser->hookWithName(mHook);
        }
        updateWithAd(std::move(ad), std::move(adHook));
    });
}

// ------------------------------------------------------------------ taps

void TallyAdView::touchesEnded(const platform::Touches &touches)
{
    tallyGuarded([&] {
        if (touches.empty() || touches.front()->tapCount() == 0 || !mAd || !mAdImpression)
            return;
        const Ref<TallyAdView> self = platform::refTo(*this);
        mAdImpression->updateWithResult(4);
        const std::int64_t stored = mAdHook ? mAdHook->clickAction.value_or(0) : 0;
        const std::int64_t clickAction = stored != 0 ? stored : kDefaultClickAction;
        tallyDebug([&] { return cat("Tally: Hook[", mHook, "] is configured with clickAction[", clickAction, "]"); });
        const bool openCanvas = mAd->canvasId.value_or(0) > 0 && clickAction == 1;
        mWebUrl = webUrlForCanvas(openCanvas, mHook, *mAd, *mAdImpression, mCanvasOrientation);
        tallyDebug([&] { return cat("Tally: Click url[", *mWebUrl, "]"); });
        if (openCanvas) {
            auto canvas = TallyAdCanvasViewController::create();
            canvas->setWebUrl(*mWebUrl);
            canvas->setAdImpression(mAdImpression);
            canvas->setAd(mAd);
            canvas->setAdDelegate(mAdDelegate);
            canvas->setCanvasOrientation(mCanvasOrientation);
            canvas->setCanvasAnimated(mCanvasAnimated);
            if (const auto nav = parentViewController().as<platform::NavigationController>()) {
                canvas->pushOnto(nav);
                tallyDebug([] { return std::string("Tally: Add canvasController to navigationController"); });
            } else {
                canvas->createCanvasWindow();
                tallyDebug([] { return std::string("Tally: Create canvas window"); });
            }
        } else if (clickAction == 2) {
            mAdImpression->updateWithResult(7);
            if (mAlert)
                mAlert->dismiss();
            mAlert = platform::make<platform::AlertView>(
                "", "You will now be taken to the App Store. There is no obligation to purchase.",
                std::weak_ptr<platform::AlertViewDelegate>(std::static_pointer_cast<TallyAdView>(shared_from_this())),
                "Don't Allow", std::vector<std::string>{"OK"});
            mAlert->show();
        } else {
            showAppStore();
        }
    });
}

void TallyAdView::alertViewClickedButtonAtIndex(platform::AlertView &alert, int index)
{
    tallyGuarded([&] {
        if (mAlert.get() == &alert)
            mAlert.reset();
        if (index != alert.cancelButtonIndex())
            showAppStore();
    });
}

void TallyAdView::showAppStore()
{
    if (!mWebUrl)
        return;
    platform::Application::shared().setNetworkActivityIndicatorVisible(true);
    auto referral = TallyAdAppStoreConnectionDelegate::create();
    referral->setAdImpression(mAdImpression);
    (void)referral->openReferralURL(*mWebUrl);
}

// ------------------------------------------------------------ canvas rows

void TallyAdCanvasView::createViewElements()
{
    removeViewElements();
    const auto ad = this->ad();
    const auto theme = this->theme();
    tallyDebug([&] {
        return cat("Tally: Updating adView with adImageId[", ad->imageId.value_or(0), "] dimension[",
                   sizeText(ad->adImage), "]");
    });
    setIcon(imageViewOf(ad->adImage, portraitIconFrame()));
    tallyDebug([&] { return cat("Tally: Icon image created at[", rectText(icon()->bounds()), "]"); });
    setSellMessageLabel({});
    setAppNameLabel(
        makeLabel(portraitAppNameFrame(), ad->adText, theme ? theme->portraitAppNameTextStyle : std::nullopt));
    tallyDebug([&] { return cat("Tally: App name label created at[", rectText(appNameLabel()->bounds()), "]"); });
    setAdvertiserLabel(makeLabel(portraitAdvertiserFrame(), ad->advertiser,
                                 theme ? theme->portraitAdvertiserTextStyle : std::nullopt));
    tallyDebug([&] { return cat("Tally: Advertiser label created at[", rectText(advertiserLabel()->bounds()), "]"); });
    auto landscape = backgroundOf(theme ? theme->landscapeAdImage : nullptr);
    landscape->setHidden(true);
    setBackgrounds(backgroundOf(theme ? theme->portraitAdImage : nullptr), landscape);
    for (const Ref<platform::View> &v : std::initializer_list<Ref<platform::View>>{
             icon(), landscapeBackground(), portraitBackground(), appNameLabel(), advertiserLabel()})
        addSubview(v);
    setBackgroundColor(kGrey);
}

void TallyAdCanvasView::updateToOrientation()
{
    if (isLandscape(orientation()))
        TallyAdView::updateToOrientation();
}

} // namespace tally
