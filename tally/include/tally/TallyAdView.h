// The banner that shows one ad of a hook inside the application's screen,
// the simpler row of the canvas's ad list, and the addresses an ad leads
// to: the canvas page or the store redirect, with the query that tells the
// ad service which ad, session, impression and device the visit comes from.
//
// A banner reports to its impression when it is filled (2), when it is on
// screen in the key window (3) and when it is tapped (4); with auto refresh
// it replaces its ad every refresh interval while it stays on screen. Its
// timer, observers and alert go with it; delayed calls hold it weakly.
#ifndef TALLY_TALLY_AD_VIEW_H
#define TALLY_TALLY_AD_VIEW_H

#include "platform/runloop.h"
#include "platform/ui.h"
#include "platform/ui_navigation.h"
#include "tally/TallyAdValues.h"

#include <memory>
#include <optional>
#include <string>

namespace tally {

class TallyAdImpression;
class TallyAdDelegate;

// What an offer lookup fills for the caller.
struct TallyOffer {
    std::optional<std::string> appName;
    std::shared_ptr<const platform::Image> appIcon;
    std::optional<std::string> referralUrl;
};

// The click action a hook names when it names none.
inline constexpr std::int64_t kDefaultClickAction = 1;
// A refresh interval under a second would refresh at every loop pass.
inline constexpr std::int32_t kDefaultBannerRefreshSeconds = 20;

class TallyAdView : public platform::View, public platform::AlertViewDelegate {
public:
    TallyAdView() = default;
    ~TallyAdView() override;
    [[nodiscard]] const char *className() const override { return "TallyAdView"; }

    // A banner of 320 x 48 at (x, y) for `parent` (a view, or a view
    // controller whose view holds it), hidden until an ad and the hook's
    // record are placed; added to the parent's view when `attachToView`.
    [[nodiscard]] static platform::Ref<TallyAdView>
    initWithAd(std::shared_ptr<TallyAd> ad, const std::string &hook, int x, int y,
               const platform::Ref<platform::Responder> &parent, bool attachToView,
               const std::optional<std::string> &orientation, const std::optional<std::string> &canvasOrientation,
               bool autoRefresh);

    void updateWithAd(std::shared_ptr<TallyAd> ad, std::shared_ptr<TallyAdHook> adHook);
    virtual void createViewElements();
    void refreshWithAd();
    virtual void updateToOrientation();
    void handleHeartBeat();
    void checkBannerLocation();

    [[nodiscard]] platform::Rect landscapeFrame() const;
    [[nodiscard]] platform::Rect landscapeSellMessageFrame() const;
    [[nodiscard]] platform::Rect landscapeIconFrame() const;
    [[nodiscard]] platform::Rect landscapeAppNameFrame() const;
    [[nodiscard]] platform::Rect landscapeAdvertiserFrame() const;
    [[nodiscard]] platform::Rect portraitFrame() const;
    [[nodiscard]] platform::Rect portraitSellMessageFrame() const;
    [[nodiscard]] platform::Rect portraitIconFrame() const;
    [[nodiscard]] platform::Rect portraitAppNameFrame() const;
    [[nodiscard]] platform::Rect portraitAdvertiserFrame() const;

    // Taps: the canvas, the store confirmation or the store referral.
    void touchesEnded(const platform::Touches &touches) override;
    void alertViewClickedButtonAtIndex(platform::AlertView &alert, int index) override;
    void showAppStore();

    [[nodiscard]] std::shared_ptr<TallyAd> ad() const { return mAd; }
    [[nodiscard]] std::shared_ptr<TallyAdHook> adHook() const { return mAdHook; }
    [[nodiscard]] const std::string &hook() const { return mHook; }
    [[nodiscard]] std::shared_ptr<TallyAdImpression> adImpression() const { return mAdImpression; }
    [[nodiscard]] std::shared_ptr<TallyAdTheme> theme() const { return mTheme; }
    [[nodiscard]] const std::optional<std::string> &orientation() const { return mOrientation; }
    void setOrientation(std::optional<std::string> orientation) { mOrientation = std::move(orientation); }
    [[nodiscard]] const std::optional<std::string> &canvasOrientation() const { return mCanvasOrientation; }
    [[nodiscard]] platform::Ref<platform::View> parentView() const;
    [[nodiscard]] platform::Ref<platform::ViewController> parentViewController() const;
    [[nodiscard]] const std::optional<std::string> &parentName() const { return mParentName; }
    void setAdDelegate(std::weak_ptr<TallyAdDelegate> delegate) { mAdDelegate = std::move(delegate); }
    [[nodiscard]] std::weak_ptr<TallyAdDelegate> adDelegate() const { return mAdDelegate; }
    [[nodiscard]] bool canvasAnimated() const { return mCanvasAnimated; }
    void setCanvasAnimated(bool animated) { mCanvasAnimated = animated; }
    [[nodiscard]] const std::optional<std::string> &webUrl() const { return mWebUrl; }
    [[nodiscard]] platform::Ref<platform::ImageView> icon() const { return mIcon; }
    [[nodiscard]] platform::Ref<platform::Label> sellMessageLabel() const { return mSellMessageLabel; }
    [[nodiscard]] platform::Ref<platform::Label> appNameLabel() const { return mAppNameLabel; }
    [[nodiscard]] platform::Ref<platform::Label> advertiserLabel() const { return mAdvertiserLabel; }
    [[nodiscard]] platform::Ref<platform::ImageView> portraitBackground() const { return mPortraitBackground; }
    [[nodiscard]] platform::Ref<platform::ImageView> landscapeBackground() const { return mLandscapeBackground; }
    // Whether a refresh is waiting on the timer.
    [[nodiscard]] bool refreshPending() const { return mRefreshTimer != 0; }
    // The store confirmation while it is open.
    [[nodiscard]] platform::Ref<platform::AlertView> confirmation() const { return mAlert; }

    // The canvas page (portrait unless the orientation says otherwise, case
    // aside) when `canvas`, else the store redirect, with the click query.
    [[nodiscard]] static std::string webUrlForCanvas(bool canvas, const std::string &hook, const TallyAd &ad,
                                                     const TallyAdImpression &impression,
                                                     const std::optional<std::string> &canvasOrientation);
    // The store redirect for an offer: the click query with canvas id 0.
    [[nodiscard]] static std::string webUrlForOffer(const std::string &hook, const TallyAd &ad,
                                                    const TallyAdImpression &impression);
    // Every byte but A-Z a-z 0-9 - . _ ~ as %XX (a space is %20).
    [[nodiscard]] static std::string percentEscape(const std::string &text);

protected:
    template <typename T>
    static platform::Ref<T> make(std::shared_ptr<TallyAd> ad, const std::string &hook, int x, int y,
                                 const platform::Ref<platform::Responder> &parent, bool attachToView,
                                 const std::optional<std::string> &orientation,
                                 const std::optional<std::string> &canvasOrientation, bool autoRefresh)
    {
        auto view = platform::make<T>();
        view->init(std::move(ad), hook, x, y, parent, attachToView, orientation, canvasOrientation, autoRefresh);
        return view;
    }
    void init(std::shared_ptr<TallyAd> ad, const std::string &hook, int x, int y,
              const platform::Ref<platform::Responder> &parent, bool attachToView,
              const std::optional<std::string> &orientation, const std::optional<std::string> &canvasOrientation,
              bool autoRefresh);
    // Takes the previous ad's elements off the banner before new ones come.
    void removeViewElements();
    [[nodiscard]] platform::Ref<platform::Label> makeLabel(platform::Rect frame, const std::optional<std::string> &text,
                                                           const std::optional<TallyAdTextStyle> &style) const;
    void setIcon(platform::Ref<platform::ImageView> v) { mIcon = std::move(v); }
    void setSellMessageLabel(platform::Ref<platform::Label> v) { mSellMessageLabel = std::move(v); }
    void setAppNameLabel(platform::Ref<platform::Label> v) { mAppNameLabel = std::move(v); }
    void setAdvertiserLabel(platform::Ref<platform::Label> v) { mAdvertiserLabel = std::move(v); }
    void setBackgrounds(platform::Ref<platform::ImageView> portrait, platform::Ref<platform::ImageView> landscape)
    {
        mPortraitBackground = std::move(portrait);
        mLandscapeBackground = std::move(landscape);
    }

private:
    void scheduleRefresh();
    void cancelRefresh();

    std::shared_ptr<TallyAd> mAd;
    std::shared_ptr<TallyAdHook> mAdHook;
    std::string mHook;
    std::shared_ptr<TallyAdImpression> mAdImpression;
    std::shared_ptr<TallyAdTheme> mTheme;
    std::optional<std::string> mOrientation;
    std::optional<std::string> mCanvasOrientation;
    std::weak_ptr<platform::View> mParentView;
    std::weak_ptr<platform::ViewController> mParentViewController;
    std::optional<std::string> mParentName;
    std::weak_ptr<TallyAdDelegate> mAdDelegate;
    bool mCanvasAnimated = true;
    std::optional<std::string> mWebUrl;
    platform::Ref<platform::ImageView> mIcon;
    platform::Ref<platform::Label> mSellMessageLabel;
    platform::Ref<platform::Label> mAppNameLabel;
    platform::Ref<platform::Label> mAdvertiserLabel;
    platform::Ref<platform::ImageView> mPortraitBackground;
    platform::Ref<platform::ImageView> mLandscapeBackground;
    platform::Ref<platform::AlertView> mAlert;
    bool mAutoRefresh = false;
    bool mRefreshTimerPaused = false;
    platform::TimerId mRefreshTimer = 0;
    platform::RunLoop *mTimerLoop = nullptr;
    std::uint64_t mOrientationObserver = 0;
    std::uint64_t mHeartBeatObserver = 0;
};

// A row of the canvas's ad list: icon, application name and advertiser on
// grey, no sell message; it keeps its portrait layout unless it was made
// for a landscape list.
class TallyAdCanvasView : public TallyAdView {
public:
    [[nodiscard]] const char *className() const override { return "TallyAdCanvasView"; }
    [[nodiscard]] static platform::Ref<TallyAdCanvasView>
    initWithAd(std::shared_ptr<TallyAd> ad, const std::string &hook, int x, int y,
               const platform::Ref<platform::Responder> &parent, bool attachToView,
               const std::optional<std::string> &orientation, const std::optional<std::string> &canvasOrientation,
               bool autoRefresh)
    {
        return make<TallyAdCanvasView>(std::move(ad), hook, x, y, parent, attachToView, orientation, canvasOrientation,
                                       autoRefresh);
    }
    void createViewElements() override;
    void updateToOrientation() override;
};

} // namespace tally

#endif // TALLY_TALLY_AD_VIEW_H
