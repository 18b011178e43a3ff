#include "merix/OGCViewController.h"

#include "merix/OGCBridge.h"
#include "merix/OGCScreens.h"
#include "merix/TarvClient.h"

#include "platform/device.h"
#include "platform/resources.h"

#include <game/savegamedata.h>

#include <cstdio>
#include <numbers>
#include <utility>

namespace merix {

SoundEffect *swishEffect = nullptr;
SoundEffect *selectEffect = nullptr;
SoundEffect *recievedEffect = nullptr;

namespace {

using platform::Ref;

constexpr const char *kButtonFunction = "OGCButtonFunction";
constexpr const char *kLaunchLeaderboards = "OGCLaunchLeaderboards";

struct NamedAction {
    std::string_view name;
    OGCViewController::Action action;
};

constexpr NamedAction kActions[] = {
    {"pressLogin:", &OGCViewController::pressLogin},
    {"pressRECOVER:", &OGCViewController::pressRECOVER},
    {"pressLOGIN_CANCEL:", &OGCViewController::pressLOGIN_CANCEL},
    {"pressLOGOUT:", &OGCViewController::pressLOGOUT},
    {"pressOK:", &OGCViewController::pressOK},
    {"pressCANCEL:", &OGCViewController::pressCANCEL},
    {"pressForgot:", &OGCViewController::pressForgot},
    {"pressCreate:", &OGCViewController::pressCreate},
    {"pressACHIEV:", &OGCViewController::pressACHIEV},
    {"pressProfile:", &OGCViewController::pressProfile},
    {"pressLEADER:", &OGCViewController::pressLEADER},
    {"pressDecrement:", &OGCViewController::pressDecrement},
    {"pressIncrement:", &OGCViewController::pressIncrement},
    {"pressScore:", &OGCViewController::pressScore},
    {"pressFIND:", &OGCViewController::pressFIND},
    {"pressBLOCK:", &OGCViewController::pressBLOCK},
    {"pressFRIEND:", &OGCViewController::pressFRIEND},
    {"pressFOK:", &OGCViewController::pressFOK},
    {"pressCHAT:", &OGCViewController::pressCHAT},
    {"pressPIC:", &OGCViewController::pressPIC},
    {"pressNULL:", &OGCViewController::pressNULL},
    {"pressGAME:", &OGCViewController::pressNULL},
    {"pressCHALLENGE:", &OGCViewController::pressNULL},
};

std::string resourcePath(const char *name)
{
    return platform::resourceDirectory() + "/" + name + ".wav";
}

} // namespace

OGCViewController::OGCViewController() = default;

OGCViewController::~OGCViewController()
{
    stopTimer();
    for (const auto id : mObservers)
        platform::NotificationCenter::defaultCenter().removeObserver(id);
    // Views stay reachable through the shared globals only while we live.
    if (OGCView)
        OGCView->removeFromSuperview();
    for (auto &screen : mScreens)
        screen->cleanupMenu();
    for (int set = 0; set < 2; ++set)
        displayMenuView[set].reset();
    faceImage.reset();
    if (swishEffect == mSwish.get()) {
        swishEffect = nullptr;
        selectEffect = nullptr;
        recievedEffect = nullptr;
    }
    if (menuMain == mScreenList[0]) {
        menuMain = nullptr;
        menuLogin = nullptr;
        menuCreate = nullptr;
        menuLoginWait = nullptr;
        menuRetrieve = nullptr;
        menuEdit = nullptr;
        menuAchievement = nullptr;
        menuLeaderboard = nullptr;
        menuChat = nullptr;
        menuFriend = nullptr;
        menuChallenge = nullptr;
        menuGame = nullptr;
        menuHelp = nullptr;
        lastMenu = nullptr;
        loggedMenu = nullptr;
    }
}

// ------------------------------------------------------------ set-up

void OGCViewController::viewDidLoad()
{
    auto self = refTo(*this);
    std::weak_ptr<OGCViewController> weak = self.weak();
    view()->setUserInteractionEnabled(true);
    view()->setMultipleTouchEnabled(true);
    music_player = &platform::MusicPlayer::iPodMusicPlayer();
    viewController = platform::make<platform::ViewController>();

    for (int set = 0; set < 2; ++set) {
        emailTextField[set].reset();
        passwordTextField[set].reset();
        screenNameTextField[set].reset();
        firstNameTextField[set].reset();
        lastNameTextField[set].reset();
        Header[set].reset();
        scrollWindow[set].reset();
        displayMenuView[set].reset();
    }
    OGCbackdrop.reset();

    const auto add = [this](auto screen) {
        auto *raw = screen.get();
        mScreens.push_back(std::move(screen));
        return raw;
    };
    menuMain = add(std::make_unique<mainMenu>());
    menuLogin = add(std::make_unique<loginMenu>());
    menuCreate = add(std::make_unique<createMenu>());
    menuLoginWait = add(std::make_unique<loginWaitMenu>());
    menuRetrieve = add(std::make_unique<retrieveMenu>());
    menuEdit = add(std::make_unique<editMenu>());
    menuAchievement = add(std::make_unique<achievementMenu>());
    menuLeaderboard = add(std::make_unique<leaderboardMenu>());
    menuChat = add(std::make_unique<chatMenu>());
    menuFriend = add(std::make_unique<friendMenu>());
    menuChallenge = add(std::make_unique<challengeMenu>());
    menuGame = add(std::make_unique<gameMenu>());
    menuHelp = add(std::make_unique<helpMenu>());
    for (std::size_t i = 0; i < mScreens.size(); ++i) {
        mScreenList[i] = mScreens[i].get();
        mScreens[i]->controller = this;
    }
    editProfile.reset();
    leaderboard.reset();
    interface = std::make_unique<OGCInterface>();

    OGCButtonMain = platform::make<OGCButton>("OGC_button.png");
    OGCButtonMain->setButton({0, 0, "OGC_button.png", "OGC_button_dwn.png", kButtonFunction, ""});
    OGCButtonMain->setCenter({static_cast<double>(OGCButton_x), static_cast<double>(OGCButton_y)});
    OGCButtonMain->setUserInteractionEnabled(true);
    view()->addSubview(OGCButtonMain);

    auto &center = platform::NotificationCenter::defaultCenter();
    mObservers.push_back(
        center.addObserver(platform::kDeviceOrientationDidChangeNotification, [weak](const std::string &) {
            if (const auto c = weak.lock())
                c->setOrientationTransformation();
        }));
    for (const char *name : {kButtonFunction, kLaunchLeaderboards}) {
        mObservers.push_back(center.addObserver(name, [weak](const std::string &n) {
            if (const auto c = weak.lock())
                c->doOGC(n);
        }));
    }
    mObservers.push_back(
        center.addObserver(platform::kKeyboardWillShowNotification, [weak](const platform::Notification &n) {
            if (const auto c = weak.lock())
                c->keyboardWillShow(n);
        }));
    mObservers.push_back(center.addObserver(platform::kKeyboardWillHideNotification, [weak](const std::string &) {
        if (const auto c = weak.lock())
            c->keyboardWillHide();
    }));
    // The screens' own buttons.
    for (const char *name : {"OGCBackButton", "OGCAcceptButton"}) {
        mObservers.push_back(center.addObserver(name, [weak](const platform::Notification &n) {
            if (const auto c = weak.lock())
                c->doMenu(n);
        }));
    }
    startTimer();
    currentMenu = nullptr;
    menuState = kClosed;
    menuSubState = 0;
    menuOrientation = 0;

    mSwish = std::make_unique<SoundEffect>(resourcePath("menu_scroll-swipe"));
    mSelect = std::make_unique<SoundEffect>(resourcePath("menu_select"));
    mReceived = std::make_unique<SoundEffect>(resourcePath("inc_message"));
    swishEffect = mSwish.get();
    selectEffect = mSelect.get();
    recievedEffect = mReceived.get();
}

void OGCViewController::startTimer()
{
    stopTimer();
    std::weak_ptr<OGCViewController> weak = refTo(*this).weak();
    mTimerLoop = &platform::uiRunLoop();
    mTimer = mTimerLoop->addRepeatingTimer(kTickSeconds, [weak] {
        if (const auto c = weak.lock())
            c->menuUpdater();
    });
}

void OGCViewController::stopTimer()
{
    if (mTimerLoop != nullptr && mTimer != 0)
        mTimerLoop->cancelTimer(mTimer);
    mTimer = 0;
    mTimerLoop = nullptr;
}

bool OGCViewController::shouldAutorotateToInterfaceOrientation(int orientation)
{
    return orientation == platform::kOrientationPortrait;
}

void OGCViewController::touchesBegan(const platform::Touches &touches)
{
    if (currentMenu != nullptr)
        currentMenu->screenTouched();
    platform::ViewController::touchesBegan(touches);
}

void OGCViewController::showOGCButton(int x, int y)
{
    view()->setHidden(false);
    OGCButtonMain->setHidden(false);
    OGCButton_x = x;
    OGCButton_y = y;
    OGCButtonMain->setCenter({static_cast<double>(x), static_cast<double>(y)});
    if (OGCbackdrop) {
        OGCbackdrop->removeFromSuperview();
        OGCbackdrop.reset();
    }
    unsigned char name[64] = {};
    unsigned char password[64] = {};
    Tarv_LoginSave(name, password);
    name[63] = 0;
    password[63] = 0;
    // A client that has no login yet (the shell shows the button before the
    // saved login reaches it) must not wipe the one saved.
    if (name[0] != 0) {
        paddle::savegamedata::SetMerixLogin(reinterpret_cast<const char *>(name),
                                            reinterpret_cast<const char *>(password));
    }
    rotateButton();
}

void OGCViewController::hideOGCButton()
{
    OGCButtonMain->setHidden(true);
    view()->setHidden(true);
}

bool OGCViewController::getOGCButtonState() const
{
    return OGCButtonMain->isHidden();
}

bool OGCViewController::checkOGCLogdegIn() const
{
    return Tarv_IsLoggedIn();
}

void OGCViewController::setOrientedPosition(platform::Point &point, double &angle, int offset, int attach) const
{
    if (menuOrientation != 0)
        return;
    if (point.x == 999)
        point.x = 160;
    else if (attach == 1)
        point.x = 320 - point.x;
    point.y += offset;
    angle = 0.0;
}

void OGCViewController::setOrientedPosition(platform::Point &point, double &angle, int offset) const
{
    setOrientedPosition(point, angle, offset, 0);
}

void OGCViewController::setOrientedPosition(platform::Point &point, double &angle) const
{
    setOrientedPosition(point, angle, portraitOffset, 0);
}

void OGCViewController::SetAnimation(const Ref<platform::View> &view, double rotation, int x, int y,
                                     const std::optional<std::string> &name, double seconds)
{
    const auto self = refTo(*this);
    platform::View::beginAnimations();
    platform::View::setAnimationDuration(seconds);
    platform::View::setAnimationDelegate(self, &OGCViewController::animationDidStop);
    view->setTransform(platform::AffineTransform::rotation(rotation));
    platform::View::commitAnimations();
    platform::View::beginAnimations(name);
    platform::View::setAnimationDuration(seconds);
    platform::View::setAnimationDelegate(self, &OGCViewController::animationDidStop);
    view->setCenter({static_cast<double>(x), static_cast<double>(y)});
    platform::View::commitAnimations();
}

void OGCViewController::setupViewSwitchButtons(const Ref<platform::View> &parent)
{
    setupViewButton("Profile", editProfile, "pressProfile:", parent, {320, 48}, {160, 450});
    setupViewButton("Leaderboard", leaderboard, "pressLEADER:", parent, {320, 48}, {160, 450});
}

void OGCViewController::setupViewButton(const std::string &title, Ref<platform::Button> &button, const char *action,
                                        const Ref<platform::View> &parent, platform::Size size, platform::Point center)
{
    const bool made = !button;
    if (made)
        button = platform::make<platform::Button>();
    button->setFrame({{0, 0}, size});
    button->setCenter(center);
    button->setBackgroundImageNamed("OGC_GEN_button.png");
    button->setBackgroundImageNamed("OGC_GEN_button_dwn.png", platform::kControlStateHighlighted);
    button->setTitle(title);
    parent->addSubview(button);
    if (made)
        wire(button, action);
}

void OGCViewController::ShowProfileButton(bool hideProfile)
{
    editProfile->setHidden(hideProfile);
    leaderboard->setHidden(!hideProfile);
}

// ------------------------------------------------------- open and close

void OGCViewController::doOGC(const std::string &notificationName)
{
    const bool leaderboards = notificationName == kLaunchLeaderboards;
    if (menuState == kClosing)
        return;
    if (menuState == kClosed)
        openScreens(leaderboards);
    else
        closeScreens();
}

void OGCViewController::openScreens(bool leaderboards)
{
    auto &app = platform::Application::shared();
    // A container left by a close still animating goes first.
    if (OGCView)
        teardown();
    startupOrientation = app.statusBarOrientation();
    app.setStatusBarOrientation(platform::kOrientationPortrait);
    setPause();
    setinOGC(1);

    OGCView = platform::make<platform::View>(platform::Rect::make(0, 0, 320, 480));
    OGCView->setCenter(OGCButtonMain->center());
    OGCbackdrop = platform::make<platform::ImageView>("OGC_BAckground.png");
    OGCbackdrop->setFrame(platform::Rect::make(0, 0, 320, 480));
    OGCView->addSubview(OGCbackdrop);
    view()->addSubview(OGCView);
    view()->bringSubviewToFront(OGCButtonMain);

    OGCView->setTransform(platform::AffineTransform::scale(0.01, 0.01));
    zoom(nullptr, [this] { OGCView->setTransform(platform::AffineTransform::identity()); });
    zoom(nullptr, [this] { OGCView->setCenter({160, 240}); });
    zoom(nullptr, [this] { OGCButtonMain->setCenter({296, 28}); });

    currentButton = 3;
    currentMenu = menuMain;
    currentMenu->controller = this;
    menuMain->startOnLeaderboard(leaderboards);
    menuState = kOpen;
    menuSubState = 1;
    setOrientationTransformation();
    rotateButton();
}

void OGCViewController::zoom(const char *name, const std::function<void()> &change)
{
    if (name != nullptr)
        platform::View::beginAnimations(std::string(name));
    else
        platform::View::beginAnimations();
    platform::View::setAnimationDuration(kZoomSeconds);
    platform::View::setAnimationDelegate(refTo(*this), &OGCViewController::animationDidStop);
    change();
    platform::View::commitAnimations();
}

void OGCViewController::closeScreens()
{
    platform::Application::shared().setStatusBarOrientation(startupOrientation);
    const platform::Point rest{static_cast<double>(OGCButton_x), static_cast<double>(OGCButton_y)};
    zoom("TEST", [this] { OGCView->setTransform(platform::AffineTransform::scale(0.01, 0.01)); });
    zoom(nullptr, [this, rest] { OGCView->setCenter(rest); });
    zoom("DONE", [this, rest] { OGCButtonMain->setCenter(rest); });

    menuState = kClosing;
    if (currentMenu != nullptr)
        currentMenu->cleanupMenu();
    setinOGC(0);
    rotateButton();
    if (onResume)
        onResume();
}

void OGCViewController::teardown()
{
    for (auto &screen : mScreens)
        screen->cleanupMenu();
    if (OGCbackdrop) {
        OGCbackdrop->removeFromSuperview();
        OGCbackdrop.reset();
    }
    if (OGCView) {
        OGCView->removeFromSuperview();
        OGCView.reset();
    }
    for (int set = 0; set < 2; ++set)
        displayMenuView[set].reset();
    editProfile.reset();
    leaderboard.reset();
    faceImage.reset();
    OGCButtonMain->setCenter({static_cast<double>(OGCButton_x), static_cast<double>(OGCButton_y)});
    currentMenu = nullptr;
    menuState = kClosed;
    menuSubState = 0;
    rotateButton();
}

void OGCViewController::animationDidStop(const std::optional<std::string> &name, bool /*finished*/)
{
    if (!name)
        return;
    if (*name == "SCROLL") {
        scrollState = 3;
    } else if (*name == "SCROLL2") {
        leaderboard->setEnabled(true);
        editProfile->setEnabled(true);
        activeMenuScrollState = 4;
    } else if (*name == "TEST") {
        if (menuState == kClosing)
            menuState = kClosed;
    } else if (*name == "IN") {
        menuSubState = 3;
    } else if (*name == "OFF") {
        std::printf("ANIM OFF\n");
        menuSubState = 5;
    } else if (*name == "DONE") {
        // Not when the screens have been opened again meanwhile.
        if (menuState != kOpen)
            teardown();
    } else if (*name == "ENTER") {
        OGCButtonMain->setHidden(true);
    }
}

void OGCViewController::rotateButton()
{
    auto &app = platform::Application::shared();
    const auto facts = platform::deviceFacts();
    if (facts.idiom && *facts.idiom == platform::UserInterfaceIdiom::Pad) {
        const platform::Point rest{static_cast<double>(OGCButton_x), static_cast<double>(OGCButton_y)};
        if (app.statusBarOrientation() == platform::kOrientationLandscapeRight) {
            OGCButtonMain->setTransform(platform::AffineTransform::rotation(std::numbers::pi / 2));
            OGCButtonMain->setCenter(rest);
        } else {
            OGCButtonMain->setTransform(platform::AffineTransform::rotation(3 * std::numbers::pi / 2));
            if (app.statusBarOrientation() == platform::kOrientationLandscapeLeft) {
                const platform::Rect screen = platform::screenBounds();
                OGCButtonMain->setCenter({screen.size.width - rest.x, screen.size.height - rest.y});
            }
        }
        return;
    }
    // Closed: the button lies on its side over the game.
    if (!OGCView)
        OGCButtonMain->setTransform(platform::AffineTransform::rotation(std::numbers::pi / 2));
    else
        OGCButtonMain->setTransform(platform::AffineTransform::identity());
}

// --------------------------------------------------------- the screens

void OGCViewController::menuUpdater()
{
    // Only open screens run: after a close the screen has been cleaned up.
    if (currentMenu == nullptr || menuState != kOpen)
        return;
    if (menuMain != nullptr)
        menuMain->scrollText();
    OGCMenu *const screen = currentMenu;
    switch (menuSubState) {
    case 1:
    case 2:
        if ((menuSubState == 1 ? screen->initMenu() : screen->transitionOn()) != 0) {
            menuSubState = 3;
            InitActiveMenuView(screen->viewSet);
        }
        break;
    case 3:
        if (screen->activeMenu() != 0)
            menuSubState = 4;
        break;
    case 4:
        if (screen->transitionOff() != 0)
            menuSubState = 5;
        break;
    case 5:
        if (screen->deleteMenu() != 0) {
            OGCMenu *const next = screen->nextMenu;
            if (next == nullptr) {
                // Closed from the screens' side: the same end as a close.
                platform::Application::shared().setStatusBarOrientation(startupOrientation);
                teardown();
                OGCButtonMain->setHidden(false);
                setinOGC(0);
                if (onResume)
                    onResume();
                return;
            }
            currentMenu = next;
            menuSubState = 1;
            menuState = kOpen;
            next->controller = this;
            if (next != screen) {
                next->previousMenu = screen;
                lastMenu = screen;
                if (next->nextMenu != screen)
                    next->backMenu = screen;
            }
        }
        break;
    default: break;
    }
}

void OGCViewController::keyboardWillShow(const platform::Notification &notification)
{
    if (currentMenu == nullptr || currentMenu == menuChallenge)
        return;
    const platform::Rect *rect = notification.get<platform::Rect>(platform::kKeyboardFrameEndUserInfoKey);
    if (rect == nullptr)
        rect = notification.get<platform::Rect>(platform::kKeyboardBoundsUserInfoKey);
    if (rect == nullptr)
        return;
    const auto facts = platform::deviceFacts();
    const bool pad = facts.idiom && *facts.idiom == platform::UserInterfaceIdiom::Pad;
    keyboardSize = static_cast<int>(pad ? rect->size.width : rect->size.height);
    currentMenu->keyboardWillShow();
}

void OGCViewController::keyboardWillHide()
{
    if (currentMenu != nullptr)
        currentMenu->keyboardWillHide();
}

void OGCViewController::doMenu(const platform::Notification &notification)
{
    if (currentMenu != nullptr && menuState == kOpen)
        currentMenu->doMenu(notification);
}

void OGCViewController::completeLogin()
{
    if (currentMenu != nullptr)
        currentMenu->doLogin();
}

void OGCViewController::clearOldMenu()
{
    if (currentMenu != nullptr && currentMenu->previousMenu != nullptr && currentMenu->previousMenu != currentMenu)
        currentMenu->previousMenu->cleanupMenu();
}

bool OGCViewController::textFieldShouldReturn(platform::TextField &field)
{
    if (currentMenu != nullptr && currentMenu != menuChallenge && menuState == kOpen)
        currentMenu->textFieldReturn(field);
    return true;
}

void OGCViewController::textFieldDidBeginEditing(platform::TextField &field)
{
    if (currentMenu != nullptr)
        currentMenu->adjustScrollView(field, keyboardSize);
}

bool OGCViewController::textFieldShouldChangeCharacters(platform::TextField &field, platform::TextRange range,
                                                        const std::string &)
{
    if (currentMenu == menuChat && field.text().size() > 119)
        return range.length != 0;
    return true;
}

// ------------------------------------------------------------- actions

OGCViewController::Action OGCViewController::findAction(std::string_view name)
{
    for (const auto &entry : kActions) {
        if (entry.name == name)
            return entry.action;
    }
    return nullptr;
}

bool OGCViewController::performAction(std::string_view name, platform::Button *sender)
{
    const Action action = findAction(name);
    if (action == nullptr)
        return false;
    (this->*action)(sender);
    return true;
}

void OGCViewController::wire(const Ref<platform::Button> &button, const char *action)
{
    const Action method = findAction(action);
    if (method == nullptr)
        return;
    OGCViewController *raw = this;
    button->addTarget(std::weak_ptr<const void>(refTo(*this).shared()),
                      [raw, method](platform::Button &sender) { (raw->*method)(&sender); });
}

void OGCViewController::goTo(OGCMenu *next)
{
    if (currentMenu == nullptr || menuState != kOpen)
        return;
    transitionMenuScrollState = 1;
    transitionStyle = 2;
    if (selectEffect != nullptr)
        selectEffect->play();
    currentMenu->initTransitionOff(next);
}

void OGCViewController::pressLogin(platform::Button *)
{
    if (currentMenu == nullptr || menuState != kOpen)
        return;
    Tarv_SetLoginEmail(emailTextField[activeMenuView]->text().c_str());
    Tarv_SetLoginPassword(passwordTextField[activeMenuView]->text().c_str());
    TarvLogin();
    goTo(menuLoginWait);
}

void OGCViewController::pressRECOVER(platform::Button *)
{
    if (currentMenu == nullptr || menuState != kOpen)
        return;
    Tarv_SetLoginEmail(emailTextField[activeMenuView]->text().c_str());
    TarvRecoverPassword();
    goTo(menuLoginWait);
}

void OGCViewController::pressLOGIN_CANCEL(platform::Button *)
{
    if (currentMenu == nullptr || menuState != kOpen)
        return;
    if (!Tarv_IsLoggedIn())
        TarvCancelCurrentRequest();
    else
        TarvLogout();
    goTo(menuLogin);
}

void OGCViewController::pressLOGOUT(platform::Button *)
{
    TarvLogout();
    if (menuMain != nullptr)
        menuMain->clearBubbleText();
}

void OGCViewController::pressOK(platform::Button *)
{
    goTo(Tarv_IsLoggedIn() ? static_cast<OGCMenu *>(menuEdit) : menuLogin);
}

void OGCViewController::pressCANCEL(platform::Button *)
{
    goTo(menuLogin);
}

void OGCViewController::pressForgot(platform::Button *)
{
    goTo(menuRetrieve);
}

void OGCViewController::pressCreate(platform::Button *)
{
    goTo(menuCreate);
}

void OGCViewController::pressACHIEV(platform::Button *)
{
    goTo(menuAchievement);
}

void OGCViewController::pressProfile(platform::Button *)
{
    if (currentMenu == nullptr || menuState != kOpen || currentMenu == menuEdit || currentMenu == menuLogin)
        return;
    leaderboard->setHidden(false);
    editProfile->setHidden(true);
    leaderboard->setEnabled(false);
    editProfile->setEnabled(false);
    goTo(Tarv_IsLoggedIn() ? static_cast<OGCMenu *>(menuEdit) : menuLogin);
}

void OGCViewController::pressLEADER(platform::Button *)
{
    if (currentMenu == nullptr || menuState != kOpen || currentMenu == menuLeaderboard)
        return;
    leaderboard->setHidden(true);
    editProfile->setHidden(false);
    leaderboard->setEnabled(false);
    editProfile->setEnabled(false);
    goTo(menuLeaderboard);
}

void OGCViewController::pressDecrement(platform::Button *)
{
    currentBoard = currentBoard <= 0 ? kTarvBoardCount - 1 : currentBoard - 1;
    TarvGetLeaderboard(currentBoard, false);
    if (currentMenu != nullptr)
        currentMenu->update();
}

void OGCViewController::pressIncrement(platform::Button *)
{
    currentBoard = currentBoard >= kTarvBoardCount - 1 ? 0 : currentBoard + 1;
    TarvGetLeaderboard(currentBoard, false);
    if (currentMenu != nullptr)
        currentMenu->update();
}

void OGCViewController::pressScore(platform::Button *)
{
    if (mScoreCounter != 0) {
        std::printf("score:%d,currentBoard:%d\n", mScoreCounter, currentBoard);
        TarvPostScore(mScoreCounter, currentBoard);
    }
    ++mScoreCounter;
    if (currentMenu != nullptr)
        currentMenu->update();
}

void OGCViewController::pressFIND(platform::Button *)
{
    if (menuFriend != nullptr && menuFriend->checkPopup())
        menuFriend->pressAdd();
}

void OGCViewController::pressBLOCK(platform::Button *)
{
    if (menuFriend != nullptr && menuFriend->checkPopup())
        Tarv_setFriendViewMode(1);
}

void OGCViewController::pressFRIEND(platform::Button *)
{
    if (menuFriend != nullptr && menuFriend->checkPopup())
        Tarv_setFriendViewMode(0);
}

void OGCViewController::pressFOK(platform::Button *)
{
    if (menuFriend != nullptr)
        menuFriend->pressOK();
}

void OGCViewController::pressCHAT(platform::Button *)
{
    if (menuChat != nullptr)
        menuChat->StartMessage();
}

void OGCViewController::pressPIC(platform::Button *sender)
{
    if (menuEdit != nullptr)
        menuEdit->doPick(pictureNumber(sender));
}

void OGCViewController::terminateApp()
{
    if (menuState == kOpen && currentMenu == menuChat)
        menuChat->leaveRoom();
}

void OGCViewController::doOGCOff()
{
    if (currentMenu == nullptr || menuState != kOpen)
        return;
    menuSubState = 4;
    currentMenu->initTransitionOff(nullptr);
    OGCButtonMain->setHidden(false);
}

// ---------------------------------------------------------- music queue

void OGCViewController::doMediaPicker()
{
    auto picker = platform::make<platform::MediaPickerController>(platform::kMediaTypeMusic);
    picker->setDelegate(std::shared_ptr<platform::MediaPickerDelegate>(refTo(*this).shared(),
                                                                       static_cast<MediaPickerDelegate *>(this)));
    picker->setAllowsPickingMultipleItems(true);
    picker->setPrompt(platform::localizedString("IDS_ADD_SONG"));
    platform::Application::shared().setStatusBarHidden(false);
    const auto host = viewController->view();
    host->removeFromSuperview();
    host->setHidden(false);
    view()->addSubview(host);
    viewController->presentModalViewController(picker, true);
}

void OGCViewController::dismissMediaPicker()
{
    viewController->dismissModalViewController(true);
    viewController->view()->setHidden(true);
    platform::Application::shared().setStatusBarHidden(true);
}

void OGCViewController::mediaPickerDidPickMediaItems(platform::MediaPickerController &,
                                                     const std::vector<platform::MediaItem> &items)
{
    // The picker may go with the dismissal: keep the items first.
    const std::vector<platform::MediaItem> picked = items;
    dismissMediaPicker();
    updatePlayerQueueWithMediaCollection(&picked);
}

void OGCViewController::mediaPickerDidCancel(platform::MediaPickerController &)
{
    dismissMediaPicker();
}

void OGCViewController::returnFromIMVG()
{
    viewController->dismissModalViewController(true);
    viewController->view()->setHidden(true);
}

void OGCViewController::updatePlayerQueueWithMediaCollection(const std::vector<platform::MediaItem> *collection)
{
    if (collection == nullptr || collection->empty() || music_player == nullptr)
        return;
    if (!user_media_item_collection) {
        user_media_item_collection = *collection;
        music_player->setQueue(*collection);
        music_player->play();
        return;
    }
    const platform::PlaybackState state = music_player->playbackState();
    // By position: a song queued twice must not jump to its first copy.
    const std::size_t playing = music_player->nowPlayingIndex();
    const double time = music_player->currentPlaybackTime();
    std::vector<platform::MediaItem> combined = *user_media_item_collection;
    combined.insert(combined.end(), collection->begin(), collection->end());
    user_media_item_collection = combined;
    music_player->setQueue(std::move(combined));
    music_player->setNowPlayingIndex(playing);
    music_player->setCurrentPlaybackTime(time);
    if (state == platform::kPlaybackPlaying) {
        music_player->play();
    } else if (state == platform::kPlaybackPaused) {
        // A new queue starts stopped; the player was paused at this point.
        music_player->play();
        music_player->pause();
    }
}

} // namespace merix
