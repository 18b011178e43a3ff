// The online screens' controller, its state machine, the retrieve-password
// screen, the least screens and the music queue, in-process on the headless
// interface model with a manual clock.
#include "merix/OGCBridge.h"
#include "merix/OGCScreens.h"
#include "merix/OGCViewController.h"
#include "merix/TarvClient.h"
#include "platform/files.h"
#include <game/savegamedata.h>
#include "platform/media.h"
#include "platform/notifications.h"
#include "ui_fixtures.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using namespace platform;
using namespace merix;
using testsupport::UiScene;

// A window with the controller's view over it and the button shown, as the
// shell sets them up.
class Screens : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const auto &[name, w, h] :
             std::vector<std::tuple<std::string, unsigned, unsigned>>{{"OGC_button.png", 48, 48},
                                                                      {"OGC_button_dwn.png", 48, 48},
                                                                      {"OGC_BAckground.png", 320, 480},
                                                                      {"OGC_BACK_button.png", 40, 40},
                                                                      {"OGC_ACCEPT_button.png", 40, 40}}) {
            ASSERT_TRUE(testsupport::writePlaceholderPng(scene.dir() / name, w, h));
        }
        // Nothing answers: requests stay queued, nothing leaves the machine.
        Tarv_Configure({"http://127.0.0.1:9/discover/", "", "", 1.0, {}});
        Tarv_SetLoginEmail("");
        setApplicationRoot(scene.dir().string());
        controller = make<OGCViewController>();
        scene.window()->addSubview(controller->view());
        controller->showOGCButton(296, 456);
        MusicPlayer::iPodMusicPlayer().reset();
    }
    void TearDown() override { controller.reset(); }

    // n frames of 1/30 s.
    void tick(int n = 1)
    {
        for (int i = 0; i < n; ++i)
            scene.advance(OGCViewController::kTickSeconds);
    }
    void tap(double x, double y) { scene.window()->tap({x, y}); }
    [[nodiscard]] std::string current() const
    {
        return controller->getCurrent() != nullptr ? controller->getCurrent()->name() : "none";
    }
    void open()
    {
        tap(296, 456);
        tick(2);
        ASSERT_EQ(current(), "mainMenu");
        ASSERT_EQ(controller->getMenuSubState(), 3);
    }
    // Leaves the current screen for `next` and lets it come up.
    void go(OGCMenu *next)
    {
        controller->goTo(next);
        tick(2);
    }
    // No view, field or header of a screen is left anywhere.
    void expectNoScreenViews() const
    {
        EXPECT_FALSE(controller->getView());
        for (int set = 0; set < 2; ++set) {
            EXPECT_FALSE(displayMenuView[set]);
            EXPECT_FALSE(scrollWindow[set]);
            EXPECT_FALSE(scrollimage[set]);
            EXPECT_FALSE(Header[set]);
            EXPECT_FALSE(emailTextField[set]);
            EXPECT_FALSE(passwordTextField[set]);
        }
        EXPECT_FALSE(controller->profileButton());
        EXPECT_FALSE(controller->leaderboardButton());
        EXPECT_FALSE(faceImage);
        // The controller's view holds the button alone (and the hidden host).
        for (const auto &child : controller->view()->subviews())
            EXPECT_TRUE(child == controller->getButton() || child->isHidden()) << child->className();
    }

    UiScene scene;
    Ref<OGCViewController> controller;
};

TEST_F(Screens, ShowingTheButtonKeepsTheSavedLogin)
{
    paddle::savegamedata::SetMerixLogin("ann@example.com", "pw");
    controller->showOGCButton(296, 456); // the client has no login yet
    EXPECT_STREQ(paddle::savegamedata::GetMerixLogin(), "ann@example.com");
    Tarv_SetLoginEmail("bob@example.com");
    Tarv_SetLoginPassword("secret");
    controller->showOGCButton(290, 450);
    EXPECT_STREQ(paddle::savegamedata::GetMerixLogin(), "bob@example.com");
    EXPECT_STREQ(paddle::savegamedata::GetMerixPassword(), "secret");
    EXPECT_EQ(controller->getButton()->center(), (Point{290, 450}));
    Tarv_SetLoginEmail("");
}

TEST_F(Screens, OpensAndClosesWithTheZoom)
{
    const int pauses = getPauseRequests();
    Application::shared().setStatusBarOrientation(kOrientationLandscapeRight);
    EXPECT_EQ(controller->getButton()->center(), (Point{296, 456}));
    tap(296, 456);
    const auto view = controller->getView();
    ASSERT_TRUE(view);
    EXPECT_EQ(view->bounds().size, (Size{320, 480}));
    EXPECT_EQ(view->center(), (Point{160, 240}));
    EXPECT_TRUE(view->transform().isIdentity());
    ASSERT_FALSE(view->subviews().empty());
    EXPECT_EQ(view->subviews().front().as<ImageView>()->imageName(), "OGC_BAckground.png");
    EXPECT_EQ(controller->getButton()->center(), (Point{296, 28}));
    EXPECT_EQ(getPauseRequests(), pauses + 1);
    EXPECT_EQ(getinOGC(), 1);
    EXPECT_EQ(Application::shared().statusBarOrientation(), kOrientationPortrait);
    EXPECT_EQ(current(), "mainMenu");
    EXPECT_EQ(controller->getMenuState(), 1);

    // The three open animations end at 0.35 s (the main screen's own run on).
    tick(10);
    const std::size_t before = View::pendingAnimationCount();
    scene.setTime(0.35);
    EXPECT_EQ(before - View::pendingAnimationCount(), 3u);
    EXPECT_EQ(controller->getMenuSubState(), 3);

    // The button now sits at the top: a tap there closes.
    tap(296, 28);
    EXPECT_EQ(controller->getMenuState(), 2);
    EXPECT_EQ(getinOGC(), 0);
    EXPECT_EQ(Application::shared().statusBarOrientation(), kOrientationLandscapeRight);
    EXPECT_EQ(controller->getButton()->center(), (Point{296, 456}));
    tap(296, 456); // ignored while closing
    EXPECT_EQ(controller->getMenuState(), 2);
    EXPECT_EQ(controller->getView(), view);
    tick(11);
    EXPECT_EQ(controller->getMenuState(), 0);
    EXPECT_EQ(current(), "none");
    expectNoScreenViews();
    EXPECT_EQ(getPauseRequests(), pauses + 1);

    // The leaderboard notification opens at the leaderboards and closes too.
    NotificationCenter::defaultCenter().post("OGCLaunchLeaderboards");
    tick(4);
    EXPECT_EQ(current(), "leaderboardMenu");
    EXPECT_TRUE(controller->leaderboardButton()->isHidden());
    EXPECT_FALSE(controller->profileButton()->isHidden());
    NotificationCenter::defaultCenter().post("OGCLaunchLeaderboards");
    EXPECT_EQ(controller->getMenuState(), 2);
    tick(12);
    expectNoScreenViews();
}

TEST_F(Screens, AClosedControllerNoLongerRunsTheScreen)
{
    // Closed before the main screen was ever built: it must not be built
    // into the closing container afterwards.
    tap(296, 456);
    tap(296, 28);
    ASSERT_EQ(controller->getMenuState(), 2);
    tick(5);
    EXPECT_EQ(controller->getMenuState(), 2);
    EXPECT_FALSE(scrollWindow[0]);
    EXPECT_FALSE(scrollWindow[1]);
    tick(15);
    EXPECT_EQ(controller->getMenuState(), 0);
    expectNoScreenViews();
    // Opened again: one container, the main screen built once into it.
    tap(296, 456);
    tick(12);
    EXPECT_EQ(controller->getMenuState(), 1);
    EXPECT_EQ(controller->view()->subviews().size(), 2u);
    EXPECT_EQ(controller->getView()->subviews().size(), 4u); // backdrop, container, two switch buttons
    EXPECT_EQ(current(), "mainMenu");
}

TEST_F(Screens, ClosingFromTheScreensSideEndsLikeAClose)
{
    const int orientation = kOrientationLandscapeLeft;
    for (const bool byBack : {true, false}) {
        SCOPED_TRACE(byBack ? "back on the main screen" : "doOGCOff");
        Application::shared().setStatusBarOrientation(orientation);
        int resumed = 0;
        controller->setOnResume([&resumed] { ++resumed; });
        open();
        if (byBack)
            tap(30, 30); // the back icon: the main screen has no back menu
        else
            controller->doOGCOff();
        tick(1);
        EXPECT_EQ(controller->getMenuState(), 0);
        EXPECT_EQ(controller->getMenuSubState(), 0);
        EXPECT_EQ(getinOGC(), 0);
        EXPECT_EQ(resumed, 1);
        EXPECT_EQ(Application::shared().statusBarOrientation(), orientation);
        EXPECT_EQ(controller->getButton()->center(), (Point{296, 456}));
        EXPECT_FALSE(controller->getButton()->isHidden());
        expectNoScreenViews();
        // The next open starts clean.
        tap(296, 456);
        EXPECT_EQ(controller->view()->subviews().size(), 2u);
        tap(296, 28);
        tick(12);
    }
}

// A screen whose answers a test sets.
class ScriptedMenu : public OGCMenu {
public:
    const char *name() const override { return "scripted"; }
    int initMenu() override { return ++inits, initResult; }
    int activeMenu() override { return activeResult; }
    int transitionOff() override { return 1; }
    int deleteMenu() override { return ++deletes, deleteResult; }
    int initResult = 1, activeResult = 0, deleteResult = 1;
    int inits = 0, deletes = 0;
};

TEST_F(Screens, TheStateMachineWaitsForEachAnswer)
{
    InitActiveMenuView(1);
    EXPECT_EQ(GetNextActiveMenuView(), 0);
    IncrementActiveMenuView();
    EXPECT_EQ(GetActiveMenuView(), 0);

    open();
    ScriptedMenu building;
    building.initResult = 0;
    go(&building);
    tick(5);
    EXPECT_EQ(current(), "scripted");
    EXPECT_EQ(controller->getMenuSubState(), 1);
    EXPECT_EQ(building.inits, 6);
    EXPECT_EQ(building.previousMenu, menuMain);
    EXPECT_EQ(building.backMenu, menuMain);

    // One that will not be deleted stays in 5 with its next menu waiting.
    building.initResult = 1;
    tick(1);
    ASSERT_EQ(controller->getMenuSubState(), 3);
    building.deleteResult = 0;
    building.activeResult = 1;
    building.nextMenu = menuLogin;
    tick(8);
    EXPECT_EQ(controller->getMenuSubState(), 5);
    EXPECT_EQ(current(), "scripted");
    building.deleteResult = 1;
    building.activeResult = 0;
    tick(2);
    EXPECT_EQ(current(), "loginMenu");

    // A switch to itself keeps its previous and back menus; the view set
    // of the screen that came up is the one on display.
    EXPECT_EQ(menuLogin->backMenu, &building);
    go(menuLogin);
    EXPECT_EQ(current(), "loginMenu");
    EXPECT_EQ(menuLogin->previousMenu, &building);
    EXPECT_EQ(menuLogin->backMenu, &building);
    EXPECT_EQ(activeMenuView, menuLogin->viewSet);
    EXPECT_EQ(emailTextField[activeMenuView]->superview(), scrollWindow[activeMenuView]);
    // The earlier showing's views went.
    EXPECT_FALSE(emailTextField[1 - activeMenuView]);
    // Back from a screen with a null back menu closes.
    menuLogin->backMenu = nullptr;
    NotificationCenter::defaultCenter().post("OGCBackButton");
    tick(1);
    EXPECT_EQ(controller->getMenuState(), 0);
    expectNoScreenViews();
}

TEST_F(Screens, ActionsAndTheChatFieldLimit)
{
    open();
    // Profile while logged out: the login screen, where Profile does nothing.
    tap(160, 450);
    tick(2);
    EXPECT_EQ(current(), "loginMenu");
    EXPECT_TRUE(controller->profileButton()->isHidden());
    EXPECT_FALSE(controller->profileButton()->isEnabled());
    tick(12); // "SCROLL2" ends: the switch buttons work again
    EXPECT_TRUE(controller->leaderboardButton()->isEnabled());
    for (OGCMenu *screen : {static_cast<OGCMenu *>(menuLogin), static_cast<OGCMenu *>(menuEdit)}) {
        go(screen);
        EXPECT_TRUE(controller->performAction("pressProfile:"));
        tick(2);
        EXPECT_EQ(current(), screen->name());
    }
    EXPECT_FALSE(controller->performAction("pressNothing:"));

    // The profile screen's avatars.
    EXPECT_TRUE(scrollWindow[activeMenuView]);
    tap(200, 120);
    EXPECT_EQ(getFace(), 2);
    EXPECT_EQ(currentImagePic, 2);

    go(menuChat);
    EXPECT_EQ(current(), "chatMenu");
    tap(160, 68);
    const auto field = std::dynamic_pointer_cast<TextField>(Application::shared().firstResponder());
    ASSERT_TRUE(field);
    field->setText(std::string(119, 'a'));
    EXPECT_TRUE(field->typeText("b")); // 119: still room
    EXPECT_EQ(field->text().size(), 120u);
    EXPECT_FALSE(field->typeText("c"));
    EXPECT_FALSE(field->replaceCharacters({120, 0}, "c"));
    EXPECT_TRUE(field->replaceCharacters({0, 1}, "z"));
    EXPECT_EQ(field->text().substr(0, 2), "za");
    EXPECT_TRUE(field->deleteBackward());
    // Not connected: the line stays in the field.
    field->pressReturn();
    EXPECT_EQ(field->text().size(), 119u);
    controller->terminateApp();
    EXPECT_EQ(field->text(), "");
}

// The friends pop-up, keyboard avoidance, a touch beside a field and the
// help icons, without a login (nothing is sent).
TEST_F(Screens, PopupKeyboardAndHelp)
{
    open();
    go(menuFriend);
    ASSERT_EQ(current(), "friendMenu");
    EXPECT_FALSE(menuFriend->checkPopup());
    Tarv_setFriendViewMode(0);
    controller->performAction("pressBLOCK:");
    EXPECT_EQ(Tarv_GetFriendViewMode(), 0) << "no pop-up: the list stays";
    tap(290, 80); // the accept icon opens it
    ASSERT_TRUE(menuFriend->checkPopup());
    tap(160, 70);
    tap(90, 120);
    tap(230, 170);
    EXPECT_EQ(Tarv_GetFriendViewMode(), 1);
    tick();
    EXPECT_NE(dumpViewTree(scene.window()).find("text=\"IDS_BLOCKED_PLAYERS\""), std::string::npos);
    tap(90, 170);
    EXPECT_EQ(Tarv_GetFriendViewMode(), 0);

    // The name field: editing, then a touch beside it ends the editing.
    tap(160, 70);
    ASSERT_TRUE(Application::shared().isKeyboardVisible());
    tap(160, 20);
    EXPECT_FALSE(Application::shared().isKeyboardVisible());
    tap(230, 120); // OK
    EXPECT_FALSE(menuFriend->checkPopup());
    EXPECT_FALSE(screenNameTextField[activeMenuView]);

    // A field low on the screen scrolls above a tall keyboard, and back.
    go(menuCreate);
    ASSERT_EQ(current(), "createMenu");
    const auto last = lastNameTextField[activeMenuView];
    ASSERT_TRUE(last);
    menuCreate->adjustScrollView(*last, 300);
    // Its bottom (191.5) and a 44-point row stay above 480 - 300.
    EXPECT_DOUBLE_EQ(scrollWindow[activeMenuView]->contentOffset().y, 191.5 + 44 - 180);
    menuCreate->keyboardWillHide();
    EXPECT_DOUBLE_EQ(scrollWindow[activeMenuView]->contentOffset().y, 0);
    menuCreate->adjustScrollView(*last, 216);
    EXPECT_DOUBLE_EQ(scrollWindow[activeMenuView]->contentOffset().y, 0) << "already above a phone's keyboard";
    // Empty needed fields: nothing is sent, the reason is shown.
    EXPECT_FALSE(menuCreate->submit());
    EXPECT_NE(Tarv_GetRegisterStatus(), kTarvStatusPending);

    for (const char *icon : {"First_Icon.png", "Second_Icon.png", "More_Icons.png"})
        ASSERT_TRUE(testsupport::writePlaceholderPng(scene.dir() / icon, 24, 24));
    go(menuHelp);
    const std::string tree = dumpViewTree(scene.window());
    for (const char *icon : {"First_Icon.png", "Second_Icon.png", "More_Icons.png"})
        EXPECT_NE(tree.find(std::string("image=\"") + icon + "\""), std::string::npos) << icon;
    EXPECT_NE(tree.find("Third paragraph of Help Test"), std::string::npos);
}

TEST_F(Screens, RetrieveScreen)
{
    Tarv_SetLoginEmail("ann@example.com");
    open();
    go(menuLogin);
    tap(160, 207); // Forgot
    tick(3);
    ASSERT_EQ(current(), "retrieveMenu");
    const int set = activeMenuView;
    EXPECT_EQ(Header[set]->text(), "IDS_RETRIEVE_PASSWORD");
    EXPECT_FALSE(Header[set]->isHidden());
    EXPECT_EQ(emailTextField[set]->text(), "ann@example.com");
    EXPECT_EQ(emailTextField[set]->placeholder(), "<enter E-mail>");
    EXPECT_EQ(emailTextField[set]->frame(), Rect::make(15, 56.5, 290, 23));
    // The login screen it came from is gone from the display.
    EXPECT_FALSE(emailTextField[1 - set]);

    // Return in another field, a foreign notification: nothing.
    auto other = make<TextField>(Rect::make(0, 0, 10, 10));
    EXPECT_TRUE(controller->textFieldShouldReturn(*other));
    controller->doMenu(Notification{"OGCSomethingElse", {}});
    tick(2);
    EXPECT_EQ(current(), "retrieveMenu");
    // Back returns to the login screen.
    tap(60, 266);
    tick(2);
    EXPECT_EQ(current(), "loginMenu");

    for (const std::string typed : {"bob@example.com", ""}) {
        SCOPED_TRACE(typed);
        tap(160, 207);
        tick(2);
        ASSERT_EQ(current(), "retrieveMenu");
        tap(160, 68);
        const auto field = emailTextField[activeMenuView];
        ASSERT_TRUE(field->isFirstResponder());
        field->setText(typed);
        transitionMenuScrollState = 0;
        field->pressReturn();
        EXPECT_EQ(transitionMenuScrollState, 1);
        EXPECT_EQ(transitionStyle, 2);
        EXPECT_EQ(Tarv_GetLoginEmail(), typed);
        EXPECT_EQ(Tarv_GetStatus(), kTarvStatusPending);
        tick(2);
        EXPECT_EQ(current(), "loginWaitMenu");
        NotificationCenter::defaultCenter().post("OGCBackButton");
        tick(2);
        ASSERT_EQ(current(), "retrieveMenu");
        NotificationCenter::defaultCenter().post("OGCBackButton");
        tick(2);
        ASSERT_EQ(current(), "loginMenu");
    }
    TarvCancelCurrentRequest();
}

TEST_F(Screens, MusicQueueKeepsTheSongThatPlays)
{
    auto &player = MusicPlayer::iPodMusicPlayer();
    const MediaItem a{1, "A", "x", 100}, b{2, "B", "x", 100}, c{3, "C", "x", 100};
    const auto pick = [this](std::vector<MediaItem> items) {
        controller->doMediaPicker();
        const auto picker = controller->getHost()->modalViewController().as<MediaPickerController>();
        ASSERT_TRUE(picker);
        EXPECT_TRUE(picker->allowsPickingMultipleItems());
        EXPECT_EQ(picker->prompt(), "IDS_ADD_SONG");
        EXPECT_TRUE(picker->pick(std::move(items)));
        EXPECT_FALSE(controller->getHost()->modalViewController());
        EXPECT_TRUE(controller->getHost()->view()->isHidden());
    };
    pick({a, b});
    EXPECT_EQ(player.playbackState(), kPlaybackPlaying);
    EXPECT_EQ(player.nowPlayingIndex(), 0u);
    scene.advance(5);
    // A second pick while A plays: A goes on at 5 s.
    pick({a, b});
    EXPECT_EQ(player.queue(), (std::vector<MediaItem>{a, b, a, b}));
    EXPECT_EQ(player.nowPlayingIndex(), 0u);
    EXPECT_DOUBLE_EQ(player.currentPlaybackTime(), 5.0);
    EXPECT_EQ(player.playbackState(), kPlaybackPlaying);

    // Playing the second copy of A: a pick keeps that copy.
    player.setNowPlayingIndex(2);
    scene.advance(3);
    player.pause();
    pick({c});
    EXPECT_EQ(player.queue().size(), 5u);
    EXPECT_EQ(player.nowPlayingIndex(), 2u);
    EXPECT_DOUBLE_EQ(player.currentPlaybackTime(), 3.0);
    EXPECT_EQ(player.playbackState(), kPlaybackPaused);
    scene.advance(2);
    EXPECT_DOUBLE_EQ(player.currentPlaybackTime(), 3.0);

    // A cancelled or empty pick changes nothing.
    controller->doMediaPicker();
    EXPECT_TRUE(controller->getHost()->modalViewController().as<MediaPickerController>()->cancel());
    pick({});
    EXPECT_EQ(player.queue().size(), 5u);
    EXPECT_EQ(controller->queuedCollection()->size(), 5u);
}

TEST_F(Screens, TenThousandTicksOfOpeningClosingAndSwitching)
{
    std::mt19937 random(33);
    OGCMenu *const targets[] = {menuMain,      menuLogin,       menuCreate,      menuLoginWait, menuRetrieve,
                                menuEdit,      menuAchievement, menuLeaderboard, menuChat,      menuFriend,
                                menuChallenge, menuGame,        menuHelp,        nullptr};
    const char *const actions[] = {"pressProfile:", "pressLEADER:", "pressForgot:", "pressCANCEL:", "pressOK:",
                                   "pressCHAT:",    "pressFOK:",    "pressACHIEV:", "pressCreate:", "pressPIC:"};
    int opens = 0, switches = 0;
    for (int i = 0; i < 10000; ++i) {
        switch (random() % 12) {
        case 0: tap(296, controller->getMenuState() == 0 ? 456 : 28), ++opens; break;
        case 1: controller->goTo(targets[random() % std::size(targets)]), ++switches; break;
        case 2: NotificationCenter::defaultCenter().post("OGCBackButton"); break;
        case 3: controller->performAction(actions[random() % std::size(actions)]); break;
        case 4:
            if (random() % 8 == 0)
                controller->doOGCOff();
            break;
        case 5: tap(static_cast<double>(random() % 320), static_cast<double>(random() % 480)); break;
        default: break;
        }
        tick();
    }
    EXPECT_GT(opens, 100);
    EXPECT_GT(switches, 100);
    if (controller->getMenuState() == 1)
        tap(296, 28);
    tick(15);
    EXPECT_EQ(controller->getMenuState(), 0);
    expectNoScreenViews();
    EXPECT_EQ(View::pendingAnimationCount(), 0u);
    EXPECT_EQ(scene.loop().timerCount(), 1u); // the pacing timer alone
    TarvCancelCurrentRequest();

    // Gone with the controller: its timer and observers.
    controller.reset();
    EXPECT_EQ(scene.loop().timerCount(), 0u);
    for (const char *name :
         {"OGCButtonFunction", "OGCLaunchLeaderboards", "OGCBackButton", "OGCAcceptButton",
          kKeyboardWillShowNotification, kKeyboardWillHideNotification, kDeviceOrientationDidChangeNotification}) {
        EXPECT_EQ(NotificationCenter::defaultCenter().observerCount(name), 0u) << name;
    }
    EXPECT_EQ(menuMain, nullptr);
    NotificationCenter::defaultCenter().post("OGCButtonFunction");
    tick(3);
}

} // namespace
