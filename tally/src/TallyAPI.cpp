#include "tally/TallyAPI.h"

#include "platform/date.h"
#include "platform/device.h"
#include "platform/notifications.h"
#include "platform/user_defaults.h"
#include "platform/ui_navigation.h"
#include "tally/TallyAdCanvas.h"
#include "tally/TallyAdImpression.h"
#include "tally/TallyAdParser.h"
#include "tally/TallyAdView.h"
#include "tally/TallyAdServing.h"
#include "tally/TallyCaches.h"
#include "tally/TallyHeartBeater.h"
#include "tally/TallyPageViewDelegate.h"
#include "tally/TallyUtil.h"

#include <mutex>
#include <vector>

namespace tally {
namespace {

// The library-wide settings. The sending threads read some of them, so
// they live under one lock.
struct Globals {
    std::optional<std::string> apiKey;
    std::optional<std::string> appVersion;
    std::optional<std::string> userID;
    std::optional<std::string> gender;
    std::int32_t age = -1;
    bool eventLoggingEnabled = true;
    bool sessionReportsOnCloseEnabled = true;
    bool sessionReportsOnPauseEnabled = true;
    std::int32_t pauseSecondsBeforeStartingNewSession = 10;
    bool appShowcaseEnabled = false;
    bool udidEnabled = true;
    std::string serverUrl = TallyAPI::kDefaultServerUrl;
    std::string canvasUrl = TallyAPI::kDefaultCanvasUrl;
    std::string landscapeCanvasUrl = TallyAPI::kDefaultLandscapeCanvasUrl;
    std::string appStoreUrl = TallyAPI::kDefaultAppStoreUrl;
    std::optional<std::string> savedResponseUrl;
    std::optional<Date> pauseTime;
    std::vector<platform::ObserverId> observers;
    std::weak_ptr<TallyAdDelegate> appShowcaseDelegate;
};

std::mutex gGlobalsMutex;
Globals &globals()
{
    static auto *g = new Globals();
    return *g;
}

template <typename F> auto withGlobals(F &&f)
{
    std::lock_guard lock(gGlobalsMutex);
    return f(globals());
}

// Tests the switch; when off, logs "Tally: <what> disabled." in debug mode.
bool enabled(const char *what)
{
    if (TallyAPI::sendUsageInfo()) return true;
    tallyDebug([&] { return cat("Tally: ", what, " disabled."); });
    return false;
}

void subscribeOnce()
{
    std::lock_guard lock(gGlobalsMutex);
    // A second start must not make every pause count twice.
    if (!globals().observers.empty()) return;
    auto &center = platform::NotificationCenter::defaultCenter();
    globals().observers.push_back(center.addObserver(platform::kUIApplicationWillTerminateNotification,
                                                     [](const std::string &) { TallyAPI::endSession(); }));
    globals().observers.push_back(center.addObserver(platform::kUIApplicationWillResignActiveNotification,
                                                     [](const std::string &) { TallyAPI::pauseSession(); }));
    globals().observers.push_back(center.addObserver(platform::kUIApplicationDidBecomeActiveNotification,
                                                     [](const std::string &) { TallyAPI::resumeSession(); }));
}

template <typename F> void withCurrentSession(F &&f)
{
    if (auto session = TallySession::currentSession()) f(*session);
}

} // namespace

bool TallyAPI::sendUsageInfo()
{
    const auto value = platform::UserDefaults::standardUserDefaults().objectForKey("TallySendUsageInfo");
    const bool on = !value || platform::UserDefaults::boolValue(*value);
    tallyDebug([&] {
        return std::string(on ? "Tally: sendUsageInfo: TallySendUsageInfo is NULL or ON"
                              : "Tally: sendUsageInfo: TallySendUsageInfo is OFF");
    });
    return on;
}

bool TallyAPI::udidEnabled() { return withGlobals([](Globals &g) { return g.udidEnabled; }); }
bool TallyAPI::appShowcaseEnabled() { return withGlobals([](Globals &g) { return g.appShowcaseEnabled; }); }
std::optional<std::string> TallyAPI::savedResponseURL()
{
    return withGlobals([](Globals &g) { return g.savedResponseUrl; });
}
std::string TallyAPI::serverURL() { return withGlobals([](Globals &g) { return g.serverUrl; }); }
std::optional<std::string> TallyAPI::appVersion() { return withGlobals([](Globals &g) { return g.appVersion; }); }
std::string TallyAPI::getTallyAgentVersion() { return TallySession::getAgentVersion(); }

void TallyAPI::unlockDebugMode(const std::optional<std::string> &code, const std::string &apiKey)
{
    TallyUtil::unlockDebugMode(code, apiKey);
}

void TallyAPI::setAppVersion(const std::string &version)
{
    if (!enabled("setAppVersion")) return;
    tallyGuarded([&] {
        if (TallySession::currentSession()) {
            platform::showAlert("", "TallyAPI: Please call setAppVersion before startSession.", "Cancel");
            return;
        }
        tallyDebug([&] { return cat("Tally: setAppVersion[", version, "]"); });
        withGlobals([&](Globals &g) { g.appVersion = version; });
    });
}

void TallyAPI::setPauseSecondsBeforeStartingNewSession(int seconds)
{
    if (!enabled("setPauseSecondsBeforeStartingNewSession")) return;
    withGlobals([&](Globals &g) { g.pauseSecondsBeforeStartingNewSession = seconds; });
}

void TallyAPI::setMaxSessionsSaved(int maxSessions)
{
    if (!enabled("setMaxSessionsSaved")) return;
    TallySession::setMaxSessions(maxSessions);
}

void TallyAPI::setUserID(const std::string &userID)
{
    if (!enabled("setUserID")) return;
    tallyGuarded([&] {
        withCurrentSession([&](TallySession &s) { s.setUserID(userID); });
        tallyDebug([&] { return cat("Tally: setUserID[", userID, "]"); });
        withGlobals([&](Globals &g) { g.userID = userID; });
    });
}

void TallyAPI::setEventLoggingEnabled(bool on)
{
    if (!enabled("setEventLoggingEnabled")) return;
    tallyGuarded([&] {
        withGlobals([&](Globals &g) { g.eventLoggingEnabled = on; });
        withCurrentSession([&](TallySession &s) { s.setEventLoggingEnabled(on); });
    });
}

void TallyAPI::setSavedResponseURL(const std::optional<std::string> &url)
{
    if (!enabled("setSavedResponseURL")) return;
    withGlobals([&](Globals &g) { g.savedResponseUrl = url; });
}

std::string TallyAPI::canvasURL()
{
    return withGlobals([](Globals &g) { return g.canvasUrl; });
}
std::string TallyAPI::landscapeCanvasURL()
{
    return withGlobals([](Globals &g) { return g.landscapeCanvasUrl; });
}
std::string TallyAPI::appStoreURL()
{
    return withGlobals([](Globals &g) { return g.appStoreUrl; });
}

void TallyAPI::setCanvasURL(const std::string &url)
{
    if (!enabled("setCanvasURL"))
        return;
    withGlobals([&](Globals &g) { g.canvasUrl = url; });
}

void TallyAPI::setLandscapeCanvasURL(const std::string &url)
{
    if (!enabled("setLandscapeCanvasURL"))
        return;
    withGlobals([&](Globals &g) { g.landscapeCanvasUrl = url; });
}

void TallyAPI::setAppStoreURL(const std::string &url)
{
    if (!enabled("setAppStoreURL"))
        return;
    withGlobals([&](Globals &g) { g.appStoreUrl = url; });
}

bool TallyAPI::getOffer(const std::string &hook, TallyOffer *offer)
{
    if (!sendUsageInfo()) {
        tallyDebug([] { return std::string("Tally: getOffer:withTallyOfferContainer: is disabled."); });
        return false;
    }
    bool valid = false;
    tallyGuarded([&] {
        if (appShowcaseEnabled() && offer != nullptr) {
            tallyDebug(
                [] { return std::string("Tally: getOffer:withTallyOfferContainer: getting fastOfferWithHook."); });
            const auto impression = TallyAdImpression::initWithHook(hook, kAdFormatOffer);
            valid = TallyAdParser::fastOfferWithHook(hook, *impression, *offer);
        }
    });
    tallyDebug([&] { return cat("Tally: getOffer:withTallyOfferContainer: offerValid is ", valid, "."); });
    return valid;
}

bool TallyAPI::getOffer(const std::string &hook, TallyOffer *offer,
                        const std::vector<std::pair<std::string, std::string>> &userCookies)
{
    const bool valid = getOffer(hook, offer);
    if (!valid || userCookies.empty())
        return valid;
    std::string suffix;
    for (const auto &[key, value] : userCookies) {
        suffix += "&c_" + TallyAdView::percentEscape(key) + "=" + TallyAdView::percentEscape(value);
    }
    offer->referralUrl = offer->referralUrl.value_or(std::string()) + suffix;
    tallyDebug([&] {
        return cat("Tally: getOfferFromAdBlock:withTallyOfferContainer:withCookies: tallyOffer.referralUrl ",
                   *offer->referralUrl);
    });
    return true;
}

void TallyAPI::setAppShowcaseEnabled(bool on)
{
    if (!enabled("setAppShowcaseEnabled"))
        return;
    withGlobals([&](Globals &g) { g.appShowcaseEnabled = on; });
}

void TallyAPI::setServerURL(const std::string &url)
{
    if (!enabled("setServerURL")) return;
    withGlobals([&](Globals &g) { g.serverUrl = url; });
}

void TallyAPI::setSessionReportsOnCloseEnabled(bool on)
{
    if (!enabled("setSessionReportsOnCloseEnabled")) return;
    tallyGuarded([&] {
        withGlobals([&](Globals &g) { g.sessionReportsOnCloseEnabled = on; });
        withCurrentSession([&](TallySession &s) { s.setSessionReportsOnCloseEnabled(on); });
    });
}

void TallyAPI::setSessionReportsOnPauseEnabled(bool on)
{
    if (!enabled("setSessionReportsOnPauseEnabled")) return;
    tallyGuarded([&] {
        withGlobals([&](Globals &g) { g.sessionReportsOnPauseEnabled = on; });
        withCurrentSession([&](TallySession &s) { s.setSessionReportsOnPauseEnabled(on); });
    });
}

void TallyAPI::setGender(const std::string &gender)
{
    if (!enabled("setGender")) return;
    tallyGuarded([&] {
        withCurrentSession([&](TallySession &s) { s.setGender(gender); });
        tallyDebug([&] { return cat("Tally: setGender[", gender, "]"); });
        withGlobals([&](Globals &g) { g.gender = gender; });
    });
}

void TallyAPI::setAge(int age)
{
    if (!enabled("setAge")) return;
    tallyGuarded([&] {
        withGlobals([&](Globals &g) { g.age = age; });
        withCurrentSession([&](TallySession &s) { s.setAge(age); });
    });
}

void TallyAPI::setShowErrorInLogEnabled(bool on)
{
    if (!enabled("setShowErrorInLogEnabled")) return;
    TallyUtil::setShowErrorInLogEnabled(on);
}

void TallyAPI::startSession(const std::string &apiKey)
{
    if (!enabled("startSession")) return;
    tallyGuarded([&] {
        tallyDebug([&] { return cat("Tally: Start session with apiKey[", apiKey, "]"); });
        withGlobals([&](Globals &g) { g.apiKey = apiKey; });
        TallyHeartBeater::createAndStartInstance(1.0);
        TallyFileCache::createInstanceWithApiKey(apiKey);
        createAndSendSession();
        subscribeOnce();
        tallyDebug([&] { return cat("Tally: Finish starting session with apiKey[", apiKey, "]"); });
    });
}

void TallyAPI::createAndSendSession()
{
    if (!enabled("createAndSendSession")) return;
    tallyGuarded([&] {
        TallyAdAssignment::recreateInstance();
        TallyImageCache::recreateInstanceWithFileCache(TallyFileCache::instance());
        TallyAdParser::recreateOldInstance();
        TallyAdParser::recreateInstance();
        const Globals settings = withGlobals([](Globals &g) { return g; });
        TallySession::createActiveTallySession(settings.apiKey.value_or(std::string()));
        setSessionReportsOnCloseEnabled(settings.sessionReportsOnCloseEnabled);
        setSessionReportsOnPauseEnabled(settings.sessionReportsOnPauseEnabled);
        setEventLoggingEnabled(settings.eventLoggingEnabled);
        setAge(settings.age);
        if (settings.userID)
            setUserID(*settings.userID);
        if (settings.gender)
            setGender(*settings.gender);
        if (!settings.appShowcaseDelegate.expired())
            setAppShowcaseDelegate(settings.appShowcaseDelegate);
        TallySession::startSenderThread([] { TallySession::sendSessionsToServerForAppShowcase(); });
    });
}

void TallyAPI::endSession()
{
    if (!enabled("endSession")) return;
    tallyGuarded([] { withCurrentSession([](TallySession &s) { s.endSession(); }); });
}

void TallyAPI::pauseSession()
{
    if (!enabled("pauseSession")) return;
    tallyGuarded([] {
        withGlobals([](Globals &g) { g.pauseTime = platform::currentDate(); });
        auto session = TallySession::currentSession();
        if (!session) return;
        session->pauseSession();
        if (const auto canvas = TallyAdCanvasViewController::getOpenCanvasController())
            canvas->cancel();
        session->endSessionAndSend(false, false);
        if (session->sessionReportsOnPauseEnabled()) {
            // There are no background tasks to begin here; the report goes
            // out on its own thread.
            TallySession::startSenderThread([] { TallySession::sendSessionsToServerForSessionPause(); });
        }
    });
}

void TallyAPI::stopBackgroundTask()
{
    // No background task is ever begun on this platform, so none is ended.
}

void TallyAPI::resumeSession()
{
    if (!enabled("resumeSession")) return;
    tallyGuarded([] {
        const auto [pauseTime, threshold] =
            withGlobals([](Globals &g) { return std::make_pair(g.pauseTime, g.pauseSecondsBeforeStartingNewSession); });
        const std::int64_t paused = TallyProtocolData::timeIntervalFrom(pauseTime, platform::currentDate());
        auto session = TallySession::currentSession();
        if (paused > std::int64_t{threshold} * 1000) {
            if (session) session->saveSession();
            createAndSendSession();
        } else if (session) {
            session->resumeSession();
        }
    });
}

void TallyAPI::logEvent(const std::string &name)
{
    if (!enabled("logEvent")) return;
    tallyGuarded([&] { withCurrentSession([&](TallySession &s) { s.recordEvent(name, std::nullopt, false); }); });
}

void TallyAPI::logEvent(const std::string &name, const TallyParameters &parameters)
{
    if (!enabled("logEvent:withParameters")) return;
    tallyGuarded([&] { withCurrentSession([&](TallySession &s) { s.recordEvent(name, parameters, false); }); });
}

void TallyAPI::logEvent(const std::string &name, bool timed)
{
    if (!enabled("logEvent:timed")) return;
    tallyGuarded([&] { withCurrentSession([&](TallySession &s) { s.recordEvent(name, std::nullopt, timed); }); });
}

void TallyAPI::logEvent(const std::string &name, const std::optional<TallyParameters> &parameters, bool timed)
{
    if (!enabled("logEvent:withParameters:timed")) return;
    tallyGuarded([&] { withCurrentSession([&](TallySession &s) { s.recordEvent(name, parameters, timed); }); });
}

void TallyAPI::endTimedEvent(const std::string &name, const std::optional<TallyParameters> &parameters)
{
    if (!enabled("endTimedEvent")) return;
    tallyGuarded([&] { withCurrentSession([&](TallySession &s) { s.endTimedEvent(name, parameters); }); });
}

void TallyAPI::logError(const std::string &errorId, const std::string &message, const std::exception *exception)
{
    if (!enabled("logError:message:exception")) return;
    tallyGuarded([&] { withCurrentSession([&](TallySession &s) { s.recordError(errorId, message, exception); }); });
}

void TallyAPI::logError(const std::string &errorId, const std::string &message, const TallyError *error)
{
    if (!enabled("logError:message:error")) return;
    tallyGuarded([&] { withCurrentSession([&](TallySession &s) { s.recordError(errorId, message, error); }); });
}

void TallyAPI::countPageView()
{
    if (!enabled("countPageView")) return;
    tallyGuarded([] { withCurrentSession([](TallySession &s) { s.maybeIncrementPageView(); }); });
}

platform::Ref<TallyAdView> TallyAPI::getHook(const std::string &hook, int x, int y,
                                             const platform::Ref<platform::View> &view)
{
    if (!enabled("getHook:xLoc:yLoc:view"))
        return {};
    return getHook(hook, x, y, view, true, "portrait", "portrait", false, true);
}

platform::Ref<TallyAdView> TallyAPI::getHook(const std::string &hook, int x, int y,
                                             const platform::Ref<platform::Responder> &parent, bool attachToView,
                                             const std::optional<std::string> &orientation,
                                             const std::optional<std::string> &canvasOrientation, bool autoRefresh,
                                             bool canvasAnimated)
{
    if (!enabled("getHook:xLoc:yLoc:view:attachToView:orientation:canvasOrientation:autoRefresh"))
        return {};
    platform::Ref<TallyAdView> banner;
    tallyGuarded([&] {
        if (!appShowcaseEnabled()) {
            platform::showAlert("",
                                "TallyAPI: AppShowcase is disabled. Please enable AppShowcase from Tally SDK before "
                                "using AppShowcase banners.",
                                "Cancel");
            return;
        }
        auto assignment = TallyAdAssignment::instance();
        if (!assignment)
            assignment = TallyAdAssignment::createInstance();
        const std::string parentName = parent->description();
        if (auto existing = std::static_pointer_cast<TallyAdView>(assignment->assignedBanner(hook, parentName))) {
            banner = platform::Ref<TallyAdView>(std::move(existing));
            return;
        }
        auto ad = TallyAdParser::fastAdWithHook(hook, parentName);
        banner = TallyAdView::initWithAd(std::move(ad), hook, x, y, parent, attachToView, orientation,
                                         canvasOrientation, autoRefresh);
        if (const auto parser = TallyAdParser::instance())
            banner->setAdDelegate(parser->adDelegate());
        banner->setCanvasAnimated(canvasAnimated);
        assignment->assignBanner(banner.shared(), hook, parentName);
    });
    return banner;
}

void TallyAPI::updateHook(const platform::Ref<TallyAdView> &banner)
{
    if (!enabled("updateHook"))
        return;
    tallyGuarded([&] { banner->refreshWithAd(); });
}

void TallyAPI::removeHook(const platform::Ref<TallyAdView> &banner)
{
    if (!enabled("removeHook"))
        return;
    tallyGuarded([&] {
        if (!banner)
            return;
        if (const auto assignment = TallyAdAssignment::instance())
            assignment->unassignBanner(banner->hook(), banner->parentName());
    });
}

void TallyAPI::openCatalog(const std::string &hook, const std::optional<std::string> &canvasOrientation,
                           bool canvasAnimated)
{
    if (!enabled("openCatalog:canvasOrientation"))
        return;
    tallyGuarded([&] {
        auto ad = TallyAdParser::fastAdWithHook(hook, std::nullopt);
        auto impression = TallyAdImpression::initWithHook(hook, kAdFormatCatalog);
        if (!ad)
            return;
        impression->updateWithAd(*ad);
        const std::string url = TallyAdView::webUrlForCanvas(true, hook, *ad, *impression, canvasOrientation);
        tallyDebug([&] { return cat("Tally: Click url[", url, "]"); });
        auto canvas = TallyAdCanvasViewController::create();
        canvas->setWebUrl(url);
        canvas->setAdImpression(impression);
        canvas->setAd(ad);
        if (const auto parser = TallyAdParser::instance())
            canvas->setAdDelegate(parser->adDelegate());
        canvas->setCanvasOrientation(canvasOrientation);
        canvas->setCanvasAnimated(canvasAnimated);
        canvas->createCanvasWindow();
    });
}

void TallyAPI::setAppShowcaseDelegate(std::weak_ptr<TallyAdDelegate> delegate)
{
    if (!enabled("setAppShowcaseDelegate"))
        return;
    tallyGuarded([&] {
        if (const auto parser = TallyAdParser::instance())
            parser->setAdDelegate(delegate);
        withGlobals([&](Globals &g) { g.appShowcaseDelegate = delegate; });
    });
}

void TallyAPI::countPageViews(const platform::Ref<platform::ViewController> &target)
{
    if (!enabled("countPageViews"))
        return;
    tallyGuarded([&] { (void)TallyPageViewDelegate::createDelegateOnTarget(target); });
}

void TallyAPI::waitForPendingReports() { TallySession::joinSenderThreads(); }

void TallyAPI::resetForTesting()
{
    TallySession::joinSenderThreads();
    {
        std::lock_guard lock(gGlobalsMutex);
        for (const auto id : globals().observers) platform::NotificationCenter::defaultCenter().removeObserver(id);
        globals() = Globals{};
    }
    TallySession::resetForTesting();
    TallyAdParser::resetForTesting();
    TallyAdAssignment::resetForTesting();
    TallyAdProperties::resetForTesting();
    TallyAdCanvasViewController::resetForTesting();
    TallyPageViewDelegate::resetForTesting();
    platform::AlertView::dismissAll();
}

} // namespace tally
