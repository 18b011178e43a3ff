// Ads on screens: banners, taps, the store referral, the full-screen canvas
// with its list of further ads, and page-view counting, on the headless
// model with the main loop on a manual clock. The report server gives the
// ads answer; the same server plays the ad host (canvas and store paths).
#include "support/ad_answer.h"
#include "support/driver_process.h"
#include "support/report_decoder.h"
#include "support/tally_fixture.h"
#include "tally/TallyAdCanvas.h"
#include "tally/TallyAdImpression.h"
#include "tally/TallyAdParser.h"
#include "tally/TallyAdReferral.h"
#include "tally/TallyAdServing.h"
#include "tally/TallyAdView.h"
#include "tally/TallyHeartBeater.h"
#include "tally/TallyPageViewDelegate.h"
#include "test_http_server.h"
#include "ui_fixtures.h"

#include "platform/device.h"
#include "platform/notifications.h"
#include "platform/ui_navigation.h"
#include "platform/web_view.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <mutex>

namespace {

using adanswer::Answer;
using platform::Rect;
using platform::Ref;
using tally::TallyAdCanvasViewController;
using tally::TallyAdView;
using tally::TallyAPI;

std::vector<std::int32_t> statesOf(const tally::TallyAdImpression &impression)
{
    std::vector<std::int32_t> out;
    for (const auto &s : impression.adStates())
        out.push_back(s.state);
    return out;
}

bool hasState(const tally::TallyAdImpression &impression, std::int32_t state)
{
    const auto s = statesOf(impression);
    return std::find(s.begin(), s.end(), state) != s.end();
}

class AdViews : public TallyFixture {
protected:
    void SetUp() override
    {
        TallyFixture::SetUp();
        freezeClock();
        mClock = std::make_shared<platform::ManualClock>(0.0);
        platform::RunLoop::main().setClock(mClock);
        platform::bindUiThread();
        platform::Application::shared().reset();
        platform::clearOpenedURLs();
        platform::clearLastAlert();
        ASSERT_TRUE(testsupport::writePlaceholderPng(mRoot + "/ad.png", 4, 4));
        mPng = testsupport::readBytes(mRoot + "/ad.png");

        mServer.handle("/aap.do", [this](const testsupport::RecordedRequest &r) {
            std::lock_guard lock(mMutex);
            const auto report = reporttest::decodeReport(r.body);
            if (report)
                mReports.push_back(*report);
            if (!report || report->adsRequested == 0)
                return testsupport::Reply{200, {}, "OK", 0.0};
            return testsupport::Reply{200, {}, std::string(mAnswer.begin(), mAnswer.end()), 0.0};
        });
        const auto page = [](const testsupport::RecordedRequest &) {
            return testsupport::Reply{200, {{"Content-Type", "text/html"}}, "<html>canvas</html>", 0.0};
        };
        mServer.handle("/getCanvas.do", page);
        mServer.handle("/getCanvasLandscape.do", page);
        mServer.handle("/getIPhoneApp.do", [this](const testsupport::RecordedRequest &) {
            return testsupport::Reply{302, {{"Location", mServer.url("/b")}}, "", 0.0};
        });
        mServer.handle("/b", [this](const testsupport::RecordedRequest &) {
            return testsupport::Reply{302, {{"Location", mServer.url("/c")}}, "", 0.0};
        });
        mServer.handle("/c", [](const testsupport::RecordedRequest &) {
            return testsupport::Reply{200, {}, "store", 0.0};
        });
        mServer.handle("/ftp", [](const testsupport::RecordedRequest &) {
            return testsupport::Reply{302, {{"Location", "ftp://127.0.0.1/app"}}, "", 0.0};
        });
        mServer.handle("/loop", [this](const testsupport::RecordedRequest &r) {
            const std::size_t q = r.target.find("?n=");
            const int n = q == std::string::npos ? 0 : std::stoi(r.target.substr(q + 3));
            return testsupport::Reply{302, {{"Location", mServer.url("/loop?n=" + std::to_string(n + 1))}}, "", 0.0};
        });
        ASSERT_TRUE(mServer.start());
        TallyAPI::setServerURL(mServer.url("/aap.do"));
        TallyAPI::setCanvasURL(mServer.url("/getCanvas.do"));
        TallyAPI::setLandscapeCanvasURL(mServer.url("/getCanvasLandscape.do"));
        TallyAPI::setAppStoreURL(mServer.url("/getIPhoneApp.do"));
        TallyAPI::setAppShowcaseEnabled(true);

        mAppWindow = platform::make<platform::Window>();
        mAppWindow->makeKeyAndVisible();
        mScreen = platform::make<platform::View>(platform::screenBounds());
        mAppWindow->addSubview(mScreen);
    }

    void TearDown() override
    {
        // The server's threads write mReports: they end before it goes.
        mServer.stop();
        mScreen.reset();
        mAppWindow.reset();
        TallyAPI::resetForTesting();
        pump();
        platform::RunLoop::main().setClock(std::make_shared<platform::SteadyClock>());
        platform::Application::shared().reset();
        platform::clearOpenedURLs();
        TallyFixture::TearDown();
    }

    // Banner hook "h" serves ads 1-3 from block 1; `rows` canvas hooks serve
    // ads 11-16 from block 2; image 9 draws them all and is the list handle.
    Answer answer(std::int64_t clickAction, std::int64_t canvasId, int rows = 2)
    {
        std::vector<adanswer::Ad> banners, others;
        for (std::int64_t id = 1; id <= 3; ++id)
            banners.push_back({id, 100, "App" + std::to_string(id), "Maker", canvasId, 9, {}});
        for (std::int64_t id = 11; id <= 16; ++id)
            others.push_back({id, 100, "Other", "Maker", 0, 9, {}});
        std::vector<Answer::Hook> hooks = {{"h", 1, 2}};
        for (int i = 1; i <= rows; ++i)
            hooks.push_back({"Tally_Canvas_Hook_" + std::to_string(i), 2, 2});
        Answer a;
        a.images({{9, 4, 4, "image/png", mPng}}).imageCodes({{9, 1}}).theme(2, 0, 0).themeExtension(2, 40);
        a.hooks(hooks).adBlock(1, banners).adBlock(2, others);
        if (clickAction != 0)
            a.hookAttributes("h", {{tally::TallyAdParser::kClickActionKey, clickAction}});
        return a.end();
    }
    // Starts the session; its report brings `a` back.
    void start(const Answer &a)
    {
        {
            std::lock_guard lock(mMutex);
            mAnswer = a.body;
        }
        TallyAPI::startSession("adkey");
        TallyAPI::waitForPendingReports();
        ASSERT_NE(tally::TallyAdParser::fastHookWithName("h"), nullptr);
    }
    // Serves `a` from a fresh parser, as a new answer would.
    static void serve(const Answer &a)
    {
        tally::TallyAdParser::recreateInstance()->parseData(std::span<const std::uint8_t>(a.body));
    }
    void pump()
    {
        for (int i = 0; i < 3; ++i)
            platform::RunLoop::main().runOnce(0.0);
    }
    void advanceClock(double seconds)
    {
        mClock->advance(seconds);
        pump();
    }
    static bool waitFor(const std::function<bool()> &predicate)
    {
        return platform::RunLoop::main().runUntil(predicate, 10.0);
    }
    Ref<TallyAdView> banner(const Ref<platform::View> &parent, int x, int y, bool autoRefresh = false)
    {
        return TallyAPI::getHook("h", x, y, parent, true, "portrait", "portrait", autoRefresh, false);
    }
    std::vector<reporttest::Impression> reportedImpressions()
    {
        std::lock_guard lock(mMutex);
        std::vector<reporttest::Impression> out;
        for (const auto &report : mReports)
            for (const auto &session : report.sessions)
                out.insert(out.end(), session.impressions.begin(), session.impressions.end());
        return out;
    }
    // Opens the catalog of "h" and waits for its page.
    Ref<TallyAdCanvasViewController> openCatalog(const std::optional<std::string> &orientation, bool animated)
    {
        TallyAPI::openCatalog("h", orientation, animated);
        auto canvas = TallyAdCanvasViewController::getOpenCanvasController();
        EXPECT_TRUE(canvas);
        EXPECT_TRUE(waitFor([&] { return canvas->adListView() || canvas->errorPanel(); }));
        return canvas;
    }

    std::shared_ptr<platform::ManualClock> mClock;
    testsupport::TestHttpServer mServer;
    std::mutex mMutex;
    std::vector<std::uint8_t> mAnswer;
    std::vector<reporttest::Report> mReports;
    std::vector<std::uint8_t> mPng;
    Ref<platform::Window> mAppWindow;
    Ref<platform::View> mScreen;
};

TEST_F(AdViews, BannerRecordsWhatTheUserSawAndRefreshesOnlyOnScreen)
{
    start(answer(4, 0));
    tally::TallyAdProperties::setBannerRefreshInSeconds(30);

    // In the key window: filled and seen, and the states reach the next report.
    auto shown = banner(mScreen, 10, 10, true);
    ASSERT_TRUE(shown);
    EXPECT_FALSE(shown->isHidden());
    EXPECT_EQ(statesOf(*shown->adImpression()), (std::vector<std::int32_t>{1, 2}));
    advanceClock(1.0); // the heartbeat's check finds it on screen
    EXPECT_EQ(statesOf(*shown->adImpression()), (std::vector<std::int32_t>{1, 2, 3}));
    EXPECT_TRUE(shown->refreshPending());
    // The same hook and parent give the same banner.
    EXPECT_EQ(banner(mScreen, 10, 10, true).get(), shown.get());

    // Another window, or the centre outside the key window: never seen, and
    // the refresh its placement scheduled is cancelled at once.
    auto other = platform::make<platform::Window>();
    auto otherScreen = platform::make<platform::View>(platform::screenBounds());
    other->addSubview(otherScreen);
    auto elsewhere = banner(otherScreen, 10, 10, true);
    auto outsideParent = platform::make<platform::View>(platform::screenBounds());
    mScreen->addSubview(outsideParent);
    auto outside = TallyAPI::getHook("h", 300, 470, outsideParent, true, "portrait", "portrait", true, false);
    ASSERT_TRUE(outside);
    EXPECT_NE(outside.get(), shown.get());
    advanceClock(1.0);
    for (const auto &b : {elsewhere, outside}) {
        EXPECT_EQ(statesOf(*b->adImpression()), (std::vector<std::int32_t>{1, 2}));
        EXPECT_FALSE(b->refreshPending());
    }
    // Back on screen: the next check sees it and a full interval starts.
    outside->setFrame(Rect::make(10, 100, 40, 41));
    const auto firstImpression = outside->adImpression();
    advanceClock(1.0); // a heartbeat
    EXPECT_EQ(statesOf(*firstImpression), (std::vector<std::int32_t>{1, 2, 3}));
    EXPECT_TRUE(outside->refreshPending());
    advanceClock(29.9);
    EXPECT_EQ(outside->adImpression(), firstImpression);
    advanceClock(0.2);
    EXPECT_NE(outside->adImpression(), firstImpression);

    TallyAPI::pauseSession();
    TallyAPI::waitForPendingReports();
    const auto reported = reportedImpressions();
    const bool seen = std::any_of(reported.begin(), reported.end(), [](const reporttest::Impression &i) {
        std::vector<int> codes;
        for (const auto &s : i.states)
            codes.push_back(s.first);
        return i.hook == "h" && i.format == 1 && codes == std::vector<int>{1, 2, 3};
    });
    EXPECT_TRUE(seen);
}

TEST_F(AdViews, AutoRefreshReplacesTheAdWithoutGrowing)
{
    start(answer(4, 0));
    tally::TallySession::resetForTesting(); // no session store to rewrite at each refresh
    for (const std::int64_t interval : {20, 0, -5}) {
        SCOPED_TRACE(interval);
        tally::TallyAdProperties::setBannerRefreshInSeconds(interval);
        auto parent = platform::make<platform::View>(platform::screenBounds());
        mScreen->addSubview(parent);
        auto b = banner(parent, 10, 10, true);
        const std::size_t subviews = b->subviews().size();
        EXPECT_EQ(subviews, 6u);
        // An interval under a second means the default: nothing at once.
        advanceClock(1.0); // seen at the heartbeat: the interval starts
        auto impression = b->adImpression();
        pump();
        EXPECT_EQ(b->adImpression(), impression);
        const int refreshes = interval == 20 ? 100 : 3;
        for (int i = 0; i < refreshes; ++i) {
            advanceClock(20.0);
            ASSERT_NE(b->adImpression(), impression) << "refresh " << i;
            impression = b->adImpression();
            EXPECT_EQ(statesOf(*impression), (std::vector<std::int32_t>{1, 2, 3}));
            ASSERT_EQ(b->subviews().size(), subviews);
        }
        TallyAPI::removeHook(b);
        parent->removeFromSuperview();
    }
    // With auto refresh off the first ad stays.
    auto fixed = banner(mScreen, 10, 10, false);
    const auto ad = fixed->ad();
    advanceClock(60.0);
    EXPECT_EQ(fixed->ad(), ad);
}

TEST_F(AdViews, BannerWithoutAdShowsAtTheFirstHeartbeatThatFindsOne)
{
    // The first answer has the hook but no ads for it.
    Answer empty;
    empty.images({{9, 4, 4, "image/png", mPng}}).theme(2, 0, 0).themeExtension(2, 40).hooks({{"h", 1, 2}}).end();
    start(empty);
    auto waiting = banner(mScreen, 10, 10);
    ASSERT_TRUE(waiting);
    EXPECT_TRUE(waiting->isHidden());
    advanceClock(1.0);
    EXPECT_TRUE(waiting->isHidden());
    serve(answer(4, 0));
    advanceClock(1.0);
    EXPECT_FALSE(waiting->isHidden());
    EXPECT_TRUE(hasState(*waiting->adImpression(), 3));

    // With ads off there is no banner, only the alert.
    TallyAPI::setAppShowcaseEnabled(false);
    EXPECT_FALSE(TallyAPI::getHook("h", 0, 0, platform::make<platform::View>()));
    ASSERT_TRUE(platform::lastAlert().has_value());
    EXPECT_EQ(platform::lastAlert()->message, "TallyAPI: AppShowcase is disabled. Please enable AppShowcase from "
                                              "Tally SDK before using AppShowcase banners.");
}

TEST_F(AdViews, TapsOpenTheCanvasTheStoreOrAConfirmation)
{
    start(answer(4, 0));
    enum class Leads { Canvas, Store, Alert };
    struct Case {
        std::int64_t clickAction, canvasId;
        Leads leads;
    };
    const std::vector<Case> cases = {
        {0, 5, Leads::Canvas}, {1, 5, Leads::Canvas}, {0, 0, Leads::Store},
        {3, 5, Leads::Store},  {4, 5, Leads::Store},  {2, 5, Leads::Alert},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "action " << c.clickAction << " canvas " << c.canvasId);
        serve(answer(c.clickAction, c.canvasId));
        platform::clearOpenedURLs();
        auto parent = platform::make<platform::View>(platform::screenBounds());
        mScreen->addSubview(parent);
        auto b = banner(parent, 10, 10);
        advanceClock(1.0);
        const auto impression = b->adImpression();
        ASSERT_TRUE(mAppWindow->tap({20, 20}));
        ASSERT_TRUE(b->webUrl().has_value());
        switch (c.leads) {
        case Leads::Canvas: {
            auto canvas = TallyAdCanvasViewController::getOpenCanvasController();
            ASSERT_TRUE(canvas);
            const std::string url = canvas->webView()->requestedURLs().at(0);
            EXPECT_EQ(url.rfind(mServer.url("/getCanvas.do?apik=adkey&cid=5&adid="), 0), 0u) << url;
            std::size_t at = 0;
            for (const char *key :
                 {"?apik=", "&cid=", "&adid=", "&pid=", "&sid=", "&its=", "&hid=h&", "&ac=", "&ats="}) {
                const auto found = url.find(key, at);
                ASSERT_NE(found, std::string::npos) << key;
                at = found;
            }
            EXPECT_EQ(statesOf(*impression), (std::vector<std::int32_t>{1, 2, 3, 4}));
            ASSERT_TRUE(waitFor([&] { return hasState(*impression, 5); }));
            canvas->cancel();
            pump();
            EXPECT_FALSE(TallyAdCanvasViewController::getOpenCanvasController());
            break;
        }
        case Leads::Store:
            EXPECT_EQ(b->webUrl()->rfind(mServer.url("/getIPhoneApp.do?apik=adkey"), 0), 0u);
            ASSERT_TRUE(waitFor([&] { return hasState(*impression, 8); }));
            EXPECT_EQ(statesOf(*impression), (std::vector<std::int32_t>{1, 2, 3, 4, 6, 8}));
            EXPECT_EQ(platform::openedURLs(), std::vector<std::string>{mServer.url("/b")});
            break;
        case Leads::Alert: {
            EXPECT_EQ(statesOf(*impression), (std::vector<std::int32_t>{1, 2, 3, 4, 7}));
            const auto alerts = platform::AlertView::openAlerts();
            ASSERT_EQ(alerts.size(), 1u);
            EXPECT_EQ(alerts[0]->message(),
                      "You will now be taken to the App Store. There is no obligation to purchase.");
            EXPECT_EQ(alerts[0]->buttonTitles(), (std::vector<std::string>{"Don't Allow", "OK"}));
            EXPECT_TRUE(platform::AlertView::answerOpenAlert("Don't Allow"));
            pump();
            EXPECT_EQ(statesOf(*impression), (std::vector<std::int32_t>{1, 2, 3, 4, 7}));
            mAppWindow->tap({20, 20});
            EXPECT_TRUE(platform::AlertView::answerOpenAlert("OK"));
            EXPECT_EQ(statesOf(*impression), (std::vector<std::int32_t>{1, 2, 3, 4, 7, 4, 7, 6}));
            ASSERT_TRUE(waitFor([&] { return hasState(*impression, 8); }));
            break;
        }
        }
        TallyAPI::removeHook(b);
        parent->removeFromSuperview();
    }
    // The canvas page follows the canvas orientation, case aside.
    const tally::TallyAd ad = tally::TallyAd{};
    const auto impression = tally::TallyAdImpression::initWithHook("h", tally::kAdFormatBanner);
    EXPECT_EQ(
        TallyAdView::webUrlForCanvas(true, "h", ad, *impression, "Portrait").rfind(TallyAPI::canvasURL() + "?", 0), 0u);
    EXPECT_EQ(TallyAdView::webUrlForCanvas(true, "h", ad, *impression, "landscape")
                  .rfind(TallyAPI::landscapeCanvasURL() + "?", 0),
              0u);
}

TEST_F(AdViews, ReferralOpensTheLastRedirectingAddress)
{
    start(answer(4, 0));
    struct Case {
        std::string url;
        std::vector<std::int32_t> states;
        std::vector<std::string> opened;
    };
    const std::vector<Case> cases = {
        {mServer.url("/getIPhoneApp.do"), {1, 6, 8}, {mServer.url("/b")}},
        {mServer.url("/c"), {1, 6, 8}, {}},
        {"http://127.0.0.1:1/refused", {1, 6}, {}},
        {mServer.url("/ftp"), {1, 6}, {}}, // to another scheme
        {mServer.url("/loop"), {1, 6}, {}}, // an eleventh redirect
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.url);
        platform::clearOpenedURLs();
        const auto impression = tally::TallyAdImpression::initWithHook("r", tally::kAdFormatBanner);
        std::weak_ptr<tally::TallyAdAppStoreConnectionDelegate> weak;
        {
            auto referral = tally::TallyAdAppStoreConnectionDelegate::create();
            referral->setAdImpression(impression);
            EXPECT_TRUE(referral->openReferralURL(c.url));
            weak = referral;
        }
        // The referral keeps itself while it runs, and goes when done.
        ASSERT_TRUE(waitFor([&] { return weak.expired(); }));
        EXPECT_EQ(statesOf(*impression), c.states);
        EXPECT_EQ(platform::openedURLs(), c.opened);
    }
}

// The application's ad delegate, told when a canvas opens and closes.
class CanvasWatcher : public tally::TallyAdDelegate {
public:
    void canvasWillDisplay(const std::string &hook) override { seen.push_back("display " + hook); }
    void canvasWillClose() override { seen.push_back("close"); }
    std::vector<std::string> seen;
};

TEST_F(AdViews, CanvasOpensAndClosesInItsOwnWindow)
{
    start(answer(4, 5));
    auto watcher = std::make_shared<CanvasWatcher>();
    TallyAPI::setAppShowcaseDelegate(watcher);
    struct Case {
        const char *orientation;
        bool animated;
        platform::Point closed;
    };
    const std::vector<Case> cases = {
        {"portrait", true, {0, 480}},
        {"landscapeRight", false, {-320, 0}},
        {"landscapeLeft", true, {320, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.orientation);
        auto canvas = openCatalog(c.orientation, c.animated);
        // Opening slides for 0.3 s when animated, and takes no time otherwise.
        if (c.animated) {
            advanceClock(0.29);
            EXPECT_EQ(platform::View::pendingAnimationCount(), 1u);
            advanceClock(0.02);
        } else {
            pump();
        }
        EXPECT_EQ(platform::View::pendingAnimationCount(), 0u);
        auto window = TallyAdCanvasViewController::canvasWindow();
        ASSERT_TRUE(window);
        EXPECT_TRUE(window->isKeyWindow());
        EXPECT_GT(window->windowLevel(), platform::kWindowLevelStatusBar);
        EXPECT_EQ(window->frame().origin, (platform::Point{0, 0}));
        // The open animation's end leaves it open: only the close removes it.
        advanceClock(1.0);
        EXPECT_TRUE(TallyAdCanvasViewController::getOpenCanvasController());
        EXPECT_EQ(statesOf(*canvas->adImpression()), (std::vector<std::int32_t>{1, 2, 5}));
        EXPECT_EQ(canvas->adImpression()->adFormat(), tally::kAdFormatCatalog);

        ASSERT_TRUE(canvas->navigationItem()->rightBarButtonItem()->tap()); // Cancel
        EXPECT_EQ(window->frame().origin, c.closed);
        if (c.animated) {
            advanceClock(0.29);
            EXPECT_TRUE(TallyAdCanvasViewController::getOpenCanvasController());
            advanceClock(0.02);
        } else {
            pump();
        }
        EXPECT_FALSE(TallyAdCanvasViewController::getOpenCanvasController());
        EXPECT_TRUE(window->isHidden());
        EXPECT_TRUE(mAppWindow->isKeyWindow());
        EXPECT_EQ(watcher->seen, (std::vector<std::string>{"display h", "close"}));
        watcher->seen.clear();
    }

    // A banner on a navigation controller pushes its canvas there; the
    // canvas's Cancel pops it.
    serve(answer(0, 5));
    auto root = platform::make<platform::ViewController>();
    auto nav = platform::NavigationController::withRoot(root);
    mScreen->addSubview(nav->view());
    auto onNav = TallyAPI::getHook("h", 10, 100, nav, true, "portrait", "portrait", false, false);
    advanceClock(1.0);
    ASSERT_TRUE(mAppWindow->tap({20, 110}));
    auto pushed = nav->topViewController().as<TallyAdCanvasViewController>();
    ASSERT_TRUE(pushed);
    EXPECT_FALSE(TallyAdCanvasViewController::canvasWindow());
    EXPECT_EQ(pushed->navBar()->items().size(), 1u);
    ASSERT_TRUE(pushed->navigationItem()->rightBarButtonItem()->tap());
    EXPECT_EQ(nav->topViewController().get(), root.get());
    TallyAPI::removeHook(onNav);
    nav->view()->removeFromSuperview();

    // A pause closes an open canvas.
    auto canvas = openCatalog("portrait", true);
    std::weak_ptr<TallyAdCanvasViewController> weak = canvas.shared();
    canvas.reset();
    TallyAPI::pauseSession();
    advanceClock(0.31);
    EXPECT_FALSE(TallyAdCanvasViewController::getOpenCanvasController());
    EXPECT_TRUE(weak.expired());
}

TEST_F(AdViews, CanvasListOpensClosesAndDragsBetweenItsLimits)
{
    start(answer(4, 5, 2));
    {
        auto canvas = openCatalog("portrait", false);
        auto list = canvas->adListView();
        ASSERT_TRUE(list);
        const int lower = list->lowerLocationLimit();
        EXPECT_EQ(lower, 451);
        // Five rows at most, two ads: the open list shows just the two.
        EXPECT_EQ(list->upperLocationLimit(), lower - 96);
        EXPECT_EQ(list->frame().origin.y, lower - 96);
        int rows = 0;
        for (const auto &v : list->subviews()) {
            if (auto row = v.as<tally::TallyAdCanvasView>()) {
                ++rows;
                EXPECT_FALSE(row->sellMessageLabel());
                EXPECT_EQ(platform::dumpViewTree(row).find("Buy now"), std::string::npos);
            }
        }
        EXPECT_EQ(rows, 2);

        auto window = TallyAdCanvasViewController::canvasWindow();
        const auto web = canvas->webView();
        const auto listY = [&] { return list->frame().origin.y; };
        // Taps toggle: fully open closes, anything else opens fully.
        window->tap({300, listY() + 10});
        EXPECT_EQ(listY(), lower);
        window->tap({300, listY() + 10});
        EXPECT_EQ(listY(), lower - 96);
        // Drags stop at both limits; the page's height follows exactly.
        for (const double by : {500.0, -30.0, -1000.0, 17.0}) {
            const double y0 = listY();
            const double h0 = web->frame().size.height;
            const auto id = window->touchDown({300, y0 + 10});
            ASSERT_NE(id, 0u);
            window->touchMove(id, {300, y0 + 10 + by / 2});
            window->touchUp(id, {300, y0 + 10 + by});
            const double expected = std::clamp(y0 + by, lower - 96.0, static_cast<double>(lower));
            EXPECT_EQ(listY(), expected) << by;
            EXPECT_EQ(web->frame().size.height - h0, listY() - y0);
        }

        // A store link is refused by the page and followed by the referral.
        web->loadRequest(TallyAPI::appStoreURL() + "?from=canvas");
        EXPECT_FALSE(web->isLoading());
        EXPECT_DOUBLE_EQ(web->alpha(), 0.25);
        EXPECT_DOUBLE_EQ(list->alpha(), 0.25);
        EXPECT_FALSE(list->isUserInteractionEnabled());
        EXPECT_TRUE(hasState(*canvas->adImpression(), 6));
        canvas->cancel();
        pump();
    }
    // Four ads start partly open, showing two and a half rows.
    serve(answer(4, 5, 4));
    auto canvas = openCatalog("portrait", false);
    ASSERT_TRUE(canvas->adListView());
    EXPECT_EQ(canvas->adListView()->frame().origin.y, 451 - 120);
    canvas->cancel();
    pump();
}

TEST_F(AdViews, FailingCanvasPageOffersCancel)
{
    start(answer(4, 5));
    TallyAPI::setCanvasURL("http://127.0.0.1:1/getCanvas.do");
    auto canvas = openCatalog("portrait", false);
    ASSERT_TRUE(canvas->errorPanel());
    const std::string tree = platform::dumpViewTree(canvas->errorPanel());
    EXPECT_NE(tree.find("\"Internet unavailable\""), std::string::npos) << tree;
    EXPECT_NE(tree.find("\"Cancel\""), std::string::npos) << tree;
    EXPECT_FALSE(hasState(*canvas->adImpression(), 5));
    // The panel's button: 100 x 50 at the centre, below the bars.
    TallyAdCanvasViewController::canvasWindow()->tap({160, 240 + 64 + 25});
    pump();
    EXPECT_FALSE(TallyAdCanvasViewController::getOpenCanvasController());
}

TEST_F(AdViews, RowsKeepTheirLayoutUnlessMadeForLandscape)
{
    start(answer(4, 0));
    for (const char *orientation : {"LANDSCAPE", "portrait"}) {
        SCOPED_TRACE(orientation);
        auto ad = tally::TallyAdParser::fastAdWithHook("h", std::string(orientation));
        ASSERT_NE(ad, nullptr);
        auto row = tally::TallyAdCanvasView::initWithAd(ad, "h", 0, 29, Ref<platform::Responder>(), false, orientation,
                                                        "portrait", false);
        const bool landscape = std::string(orientation) == "LANDSCAPE";
        // The theme's dimensions count up from 40: portrait 40 x 41, landscape 46 x 47.
        EXPECT_EQ(row->frame().size, landscape ? (platform::Size{46, 47}) : (platform::Size{320, 48}));
        EXPECT_FALSE(row->advertiserLabel()->isHidden());
        EXPECT_EQ(row->landscapeBackground()->isHidden(), !landscape);
        platform::Application::shared().setDeviceOrientation(platform::kOrientationLandscapeLeft);
        EXPECT_EQ(row->frame().size, landscape ? (platform::Size{46, 47}) : (platform::Size{320, 48}));
        EXPECT_FALSE(row->sellMessageLabel());
        EXPECT_EQ(row->subviews().size(), 5u);
        platform::Application::shared().setDeviceOrientation(platform::kOrientationPortrait);
    }
    // A banner follows its own orientation the same way.
    auto b = TallyAPI::getHook("h", 0, 0, mScreen, true, "LANDSCAPE", "portrait", false, false);
    EXPECT_EQ(b->frame().size, (platform::Size{46, 47}));
    EXPECT_FALSE(b->landscapeBackground()->isHidden());
    EXPECT_TRUE(b->portraitBackground()->isHidden());
}

// A delegate that writes down what it is told.
class Recorder : public platform::NavigationControllerDelegate, public platform::TabBarControllerDelegate {
public:
    void navigationControllerWillShow(platform::NavigationController &n, const Ref<platform::ViewController> &v,
                                      bool animated) override
    {
        seen.push_back({"will", &n, v.get(), animated});
    }
    void navigationControllerDidShow(platform::NavigationController &n, const Ref<platform::ViewController> &v,
                                     bool animated) override
    {
        seen.push_back({"did", &n, v.get(), animated});
    }
    bool tabBarControllerShouldSelect(platform::TabBarController &t, const Ref<platform::ViewController> &v) override
    {
        seen.push_back({"should", &t, v.get(), false});
        return v.get() != refused;
    }
    void tabBarControllerDidSelect(platform::TabBarController &t, const Ref<platform::ViewController> &v) override
    {
        seen.push_back({"select", &t, v.get(), false});
    }
    void tabBarControllerDidEndCustomizing(platform::TabBarController &t,
                                           const std::vector<Ref<platform::ViewController>> &v, bool changed) override
    {
        seen.push_back({"customized", &t, v.empty() ? nullptr : v[0].get(), changed});
    }
    struct Call {
        std::string what;
        const void *controller;
        const void *shown;
        bool flag;
        friend bool operator==(const Call &, const Call &) = default;
    };
    std::vector<Call> seen;
    const platform::ViewController *refused = nullptr;
};

TEST_F(AdViews, PageViewProxyCountsAndPassesEverythingOn)
{
    start(answer(4, 0));
    const auto pages = [] { return tally::TallySession::currentSession()->pageViewCount(); };
    auto root = platform::make<platform::ViewController>();
    auto nav = platform::NavigationController::withRoot(root);
    auto inner = std::make_shared<Recorder>();
    nav->setDelegate(inner);
    TallyAPI::countPageViews(nav);
    // A second install keeps the proxy there is.
    EXPECT_EQ(tally::TallyPageViewDelegate::createDelegateOnTarget(nav), nav->delegate());
    const int before = pages();
    auto next = platform::make<platform::ViewController>();
    nav->pushViewController(next, true);
    EXPECT_EQ(pages(), before + 1);
    EXPECT_EQ(inner->seen, (std::vector<Recorder::Call>{{"will", nav.get(), next.get(), true},
                                                        {"did", nav.get(), next.get(), true}}));

    auto tabs = platform::make<platform::TabBarController>();
    auto a = platform::make<platform::ViewController>();
    auto b = platform::make<platform::ViewController>();
    tabs->setViewControllers({a, b});
    auto tabInner = std::make_shared<Recorder>();
    tabInner->refused = b.get();
    tabs->setDelegate(tabInner);
    TallyAPI::countPageViews(tabs);
    advance(1.0);
    EXPECT_TRUE(tabs->delegate()->tabBarControllerShouldSelect(*tabs, a)); // asking does not count
    EXPECT_EQ(pages(), before + 1);
    EXPECT_FALSE(tabs->selectTab(1)); // the inner delegate refuses
    EXPECT_TRUE(tabs->selectTab(0));
    EXPECT_EQ(pages(), before + 2);
    tabs->delegate()->tabBarControllerDidEndCustomizing(*tabs, {b, a}, true);
    EXPECT_EQ(tabInner->seen.back(), (Recorder::Call{"customized", tabs.get(), b.get(), true}));

    // Only navigation and tab-bar controllers take a proxy.
    auto plain = platform::make<platform::ViewController>();
    EXPECT_EQ(tally::TallyPageViewDelegate::createDelegateOnTarget(plain), nullptr);

    // After a pause past the threshold, views count in the new session.
    const auto old = tally::TallySession::currentSession();
    TallyAPI::pauseSession();
    advance(11.0);
    TallyAPI::resumeSession();
    TallyAPI::waitForPendingReports();
    ASSERT_NE(tally::TallySession::currentSession(), old);
    const int fresh = pages();
    nav->popViewControllerAnimated(false);
    EXPECT_EQ(pages(), fresh + 1);
    // A proxy without an inner delegate still counts.
    auto bare = platform::NavigationController::withRoot(platform::make<platform::ViewController>());
    TallyAPI::countPageViews(bare);
    advance(1.0);
    bare->pushViewController(platform::make<platform::ViewController>(), false);
    EXPECT_EQ(pages(), fresh + 2);
}

TEST_F(AdViews, CanvasNavigationDelegatePopsItsController)
{
    auto nav = platform::NavigationController::withRoot(platform::make<platform::ViewController>());
    nav->pushViewController(platform::make<platform::ViewController>(), false);
    nav->pushViewController(platform::make<platform::ViewController>(), false);
    tally::TallyAdNavigationDelegate delegate(nav);
    EXPECT_TRUE(delegate.navItems().empty());
    auto bar = platform::make<platform::NavigationBar>();
    delegate.navItems().push_back(platform::make<platform::NavigationItem>("Info"));
    EXPECT_TRUE(delegate.navigationBarShouldPopItem(*bar, {}));
    EXPECT_TRUE(delegate.navItems().empty());
    EXPECT_EQ(nav->viewControllers().size(), 2u);
    // No item left: the list stays empty and the controller still pops.
    EXPECT_TRUE(delegate.navigationBarShouldPopItem(*bar, {}));
    EXPECT_TRUE(delegate.navItems().empty());
    EXPECT_EQ(nav->viewControllers().size(), 1u);
    // The controller is not owned: once gone, nothing is called.
    nav.reset();
    EXPECT_TRUE(delegate.navigationBarShouldPopItem(*bar, {}));
}

TEST_F(AdViews, ThousandCyclesLeaveNothingBehind)
{
    start(answer(2, 5));
    tally::TallyAdProperties::setBannerRefreshInSeconds(20);
    // Without a session the impressions are not written to disk at every
    // change: the cycles test lifetimes, not the session's store.
    tally::TallySession::resetForTesting();
    const std::size_t timers = platform::RunLoop::main().timerCount();
    const std::size_t observers =
        platform::NotificationCenter::defaultCenter().observerCount(tally::kTallyHeartBeatNotification);
    std::weak_ptr<TallyAdView> lastBanner;
    std::weak_ptr<TallyAdCanvasViewController> lastCanvas;
    for (int i = 0; i < 1000; ++i) {
        auto parent = platform::make<platform::View>(platform::screenBounds());
        mScreen->addSubview(parent);
        auto b = banner(parent, 10, 10, true);
        TallyAPI::updateHook(b);
        mAppWindow->tap({20, 20}); // the confirmation opens
        if (i % 2 == 0)
            platform::AlertView::answerOpenAlert("Don't Allow");
        TallyAPI::removeHook(b);
        parent->removeFromSuperview();
        lastBanner = b.shared();
        b.reset();
        parent.reset();
        advanceClock(20.0);

        TallyAPI::openCatalog("h", i % 3 == 0 ? "landscapeLeft" : "portrait", i % 2 == 0);
        lastCanvas = TallyAdCanvasViewController::getOpenCanvasController().shared();
        TallyAdCanvasViewController::getOpenCanvasController()->cancel();
        advanceClock(0.31);
    }
    EXPECT_TRUE(lastBanner.expired());
    EXPECT_TRUE(lastCanvas.expired());
    EXPECT_TRUE(platform::AlertView::openAlerts().empty());
    EXPECT_FALSE(TallyAdCanvasViewController::canvasWindow());
    EXPECT_EQ(platform::RunLoop::main().timerCount(), timers);
    EXPECT_EQ(platform::NotificationCenter::defaultCenter().observerCount(tally::kTallyHeartBeatNotification),
              observers);
    EXPECT_EQ(platform::View::pendingAnimationCount(), 0u);
}

// The same through tally-driver, as a script of a game's session.
TEST_F(AdViews, DriverPutsAdsOnScreens)
{
    {
        std::lock_guard lock(mMutex);
        mAnswer = answer(2, 5).body;
    }
    const auto child = drivertest::spawnDriver(
        {"--server", mServer.url("/aap.do"), "--data", mRoot + "/driver", "--ad-host", mServer.url("")}, true, true);
    ASSERT_GT(child.pid, 0);
    const std::string script = "ads on\nlaunch\nwait 1.5\nbanner h 10 10\nwait 1.2\ntap-banner\nalert OK\nwait 1\n"
                               "opened\ncatalog h\nwait 0.5\ncanvas-cancel\nwait 0.5\ncount-views tab\n"
                               "tab-select 1\ntree\nbanner zzz 0 0 refresh\n";
    ASSERT_EQ(::write(child.stdinFd, script.data(), script.size()), static_cast<ssize_t>(script.size()));
    ::close(child.stdinFd);
    drivertest::LineReader out(child.stdoutFd);
    while (out.readFor(30.0)) {}
    ::close(child.stdoutFd);
    EXPECT_EQ(drivertest::waitExit(child.pid), 0);
    std::vector<std::string> lines;
    for (const auto &line : out.lines()) {
        if (line.rfind("acknowledged", 0) != 0 && line.rfind("  ", 0) != 0)
            lines.push_back(line);
    }
    const std::vector<std::string> expected = {
        "banner h ad=1 hidden=0 states=1,2",
        "banner h ad=1 hidden=0 states=1,2,3,4,7",
        "alert You will now be taken to the App Store. There is no obligation to purchase. [Don't Allow] [OK]",
        "answered OK",
        "opened " + mServer.url("/b"),
        "canvas open",
        "selected 1",
    };
    ASSERT_GE(lines.size(), expected.size() + 2) << testing::PrintToString(lines);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 7), expected);
    EXPECT_EQ(lines[7].rfind("UIWindow", 0), 0u) << lines[7];
    EXPECT_EQ(lines.back(), "banner zzz ad=nil hidden=1 states=1");
}

} // namespace
