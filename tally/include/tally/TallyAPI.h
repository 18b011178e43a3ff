// The analytics library's public face: class operations only. It keeps the
// settings that outlive a session, starts sessions and drives their pause,
// resume and end from the application's lifecycle notifications, and
// forwards events, errors and page views to the current session.
//
// Every operation below that changes something first asks the usage switch
// (user-defaults key "TallySendUsageInfo": absent or true means on) and does
// nothing when it is off. No exception leaves an entry point.
//
// Ads: banners at named hooks, the full-screen catalogue canvas, offers,
// and page-view counting on navigation and tab-bar controllers.
#ifndef TALLY_TALLY_API_H
#define TALLY_TALLY_API_H

#include "platform/ui.h"
#include "tally/TallyEvent.h"
#include "tally/TallySession.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tally {

struct TallyOffer;
class TallyAdDelegate;
class TallyAdView;

class TallyAPI {
public:
    TallyAPI() = delete;

    inline static const std::string kDefaultServerUrl = "http://reports.tally.example/aap.do";
    inline static const std::string kDefaultCanvasUrl = "http://ads.tally.example/getCanvas.do";
    inline static const std::string kDefaultLandscapeCanvasUrl = "http://ads.tally.example/getCanvasLandscape.do";
    inline static const std::string kDefaultAppStoreUrl = "http://ads.tally.example/getIPhoneApp.do";

    // The switch and the accessors.
    [[nodiscard]] static bool sendUsageInfo();
    [[nodiscard]] static bool udidEnabled();
    [[nodiscard]] static bool appShowcaseEnabled();
    [[nodiscard]] static std::optional<std::string> savedResponseURL();
    [[nodiscard]] static std::string serverURL();
    [[nodiscard]] static std::string canvasURL();
    [[nodiscard]] static std::string landscapeCanvasURL();
    [[nodiscard]] static std::string appStoreURL();
    [[nodiscard]] static std::optional<std::string> appVersion();
    [[nodiscard]] static std::string getTallyAgentVersion();
    static void unlockDebugMode(const std::optional<std::string> &code, const std::string &apiKey);

    // Settings.
    static void setAppVersion(const std::string &version);
    static void setPauseSecondsBeforeStartingNewSession(int seconds);
    static void setMaxSessionsSaved(int maxSessions);
    static void setUserID(const std::string &userID);
    static void setEventLoggingEnabled(bool enabled);
    static void setSavedResponseURL(const std::optional<std::string> &url);
    // With the showcase on, the report at session start asks for ads.
    static void setAppShowcaseEnabled(bool enabled);
    static void setServerURL(const std::string &url);
    static void setCanvasURL(const std::string &url);
    static void setLandscapeCanvasURL(const std::string &url);
    static void setAppStoreURL(const std::string &url);
    static void setSessionReportsOnCloseEnabled(bool enabled);
    static void setSessionReportsOnPauseEnabled(bool enabled);
    static void setGender(const std::string &gender);
    static void setAge(int age);
    static void setShowErrorInLogEnabled(bool enabled);

    // Sessions.
    static void startSession(const std::string &apiKey);
    static void createAndSendSession();
    static void endSession();
    static void pauseSession();
    static void resumeSession();
    static void stopBackgroundTask();

    // Events, errors, page views.
    static void logEvent(const std::string &name);
    static void logEvent(const std::string &name, const TallyParameters &parameters);
    static void logEvent(const std::string &name, bool timed);
    static void logEvent(const std::string &name, const std::optional<TallyParameters> &parameters, bool timed);
    static void endTimedEvent(const std::string &name, const std::optional<TallyParameters> &parameters);
    static void logError(const std::string &errorId, const std::string &message, const std::exception *exception);
    static void logError(const std::string &errorId, const std::string &message, const TallyError *error);
    static void countPageView();

    // Offers: with the showcase on, fills the offer from the ad store for
    // the hook and records an impression of format 3. The cookies, each
    // "&c_KEY=VALUE" escaped, are appended to the referral URL.
    [[nodiscard]] static bool getOffer(const std::string &hook, TallyOffer *offer);
    [[nodiscard]] static bool getOffer(const std::string &hook, TallyOffer *offer,
                                       const std::vector<std::pair<std::string, std::string>> &userCookies);

    // Banners: the banner of the hook for the parent (a view, or a view
    // controller), made and registered when it has none yet. With ads off,
    // an alert says so and the answer is empty. The short form attaches the
    // banner to the view, portrait, without auto refresh, animated canvas.
    [[nodiscard]] static platform::Ref<TallyAdView> getHook(const std::string &hook, int x, int y,
                                                            const platform::Ref<platform::View> &view);
    [[nodiscard]] static platform::Ref<TallyAdView>
    getHook(const std::string &hook, int x, int y, const platform::Ref<platform::Responder> &parent, bool attachToView,
            const std::optional<std::string> &orientation, const std::optional<std::string> &canvasOrientation,
            bool autoRefresh, bool canvasAnimated);
    static void updateHook(const platform::Ref<TallyAdView> &banner);
    static void removeHook(const platform::Ref<TallyAdView> &banner);
    // The full-screen canvas of the hook's ad, with an impression of format 2.
    static void openCatalog(const std::string &hook, const std::optional<std::string> &canvasOrientation,
                            bool canvasAnimated);
    static void setAppShowcaseDelegate(std::weak_ptr<TallyAdDelegate> delegate);
    // Counts the page views of a navigation or tab-bar controller.
    static void countPageViews(const platform::Ref<platform::ViewController> &target);

    // Waits for the reports being sent on threads of their own.
    static void waitForPendingReports();
    // Back to the state of a fresh process: settings, session, subscriptions.
    static void resetForTesting();
};

} // namespace tally

#endif // TALLY_TALLY_API_H
