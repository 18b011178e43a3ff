#include "merix/OGCScreens.h"

#include "merix/AchievementManager.h"
#include "merix/OGCBridge.h"
#include "merix/OGCViewController.h"
#include "merix/TarvClient.h"

#include "platform/resources.h"

#include <algorithm>
#include <iterator>

namespace merix {

namespace {

constexpr double kScrollSeconds = 0.35;

bool isNamed(const platform::Notification &notification, const char *name)
{
    return notification.name == name;
}

} // namespace

// ------------------------------------------------------------ LeastMenu

int LeastMenu::initMenu()
{
    // Views of an earlier showing (a switch to itself) go first.
    cleanupMenu();
    viewSet = GetNextActiveMenuView();
    buildScrollWindow();
    buildHeader(platform::localizedString(headerKey()));
    makeIcon("OGC_BACK_button.png", "OGCBackButton", 30, 30);
    buildContent();
    // In from the right; "SCROLL2" re-enables the switch buttons.
    const auto window = scrollWindow[viewSet];
    window->setCenter({480, 150});
    if (controller != nullptr)
        controller->SetAnimation(window, 0.0, 160, 150, std::string("SCROLL2"), kScrollSeconds);
    if (swishEffect != nullptr)
        swishEffect->play();
    activeMenuScrollState = transitionMenuScrollState;
    mCleared = false;
    return 1;
}

int LeastMenu::activeMenu()
{
    if (!mCleared) {
        mCleared = true;
        if (controller != nullptr)
            controller->clearOldMenu();
    }
    tick();
    return 0;
}

void LeastMenu::cleanupMenu()
{
    mRows.clear();
    mRowTexts.clear();
    removeOwnViews();
}

void LeastMenu::keyboardWillShow()
{
    // A field that began editing before the keyboard's height was known.
    if (const auto field = editingField(); field && controller != nullptr)
        keepAboveKeyboard(*field, controller->getKeyboardSize());
}

void LeastMenu::keyboardWillHide()
{
    scrollBack();
}

void LeastMenu::adjustScrollView(platform::TextField &field, int keyboardHeight)
{
    keepAboveKeyboard(field, keyboardHeight);
}

void LeastMenu::screenTouched()
{
    endEditing();
}

void LeastMenu::makeLink(const char *titleKey, OGCMenu *target, bool needsLogin, double x, double y, double width,
                         double height)
{
    OGCViewController *const owner = controller;
    makeButton(
        platform::localizedString(titleKey),
        [owner, target, needsLogin] {
            owner->goTo(needsLogin && !Tarv_IsLoggedIn() ? static_cast<OGCMenu *>(menuLogin) : target);
        },
        x, y, width, height);
}

void LeastMenu::setRows(const std::vector<std::string> &texts, double top, double step)
{
    // Not on display, or nothing changed.
    if (mOwned.empty() || !scrollWindow[viewSet] || (texts == mRowTexts && mRows.size() == texts.size()))
        return;
    for (const auto &row : mRows)
        row->removeFromSuperview();
    mRows.clear();
    for (std::size_t i = 0; i < texts.size(); ++i)
        mRows.push_back(makeLabel(texts[i], 160, top + step * static_cast<double>(i), 290, 14));
    mRowTexts = texts;
    // Rows past the window scroll into view.
    const double bottom = top + step * static_cast<double>(texts.size());
    scrollWindow[viewSet]->setContentSize({320, std::max(300.0, bottom)});
}

void LeastMenu::initTransitionOff(OGCMenu *next)
{
    nextMenu = next;
    if (controller != nullptr)
        controller->endTransitionOff();
}

void LeastMenu::doMenu(const platform::Notification &notification)
{
    if (isNamed(notification, "OGCBackButton"))
        initTransitionOff(backMenu);
}

// ------------------------------------------------------------ mainMenu

void mainMenu::buildContent()
{
    if (controller == nullptr)
        return;
    controller->setupViewSwitchButtons(controller->getView());
    controller->ShowProfileButton(false);
    faceImage = platform::make<platform::ImageView>("face_" + std::to_string(getFace()) + ".png");
    faceImage->setFrame(platform::Rect::make(128, 120, 64, 64));
    place(faceImage);
    makeLink("IDS_HELP", menuHelp, false, 50, 152, 80, 36);
    makeLink("IDS_GAME", menuGame, true, 270, 152, 80, 36);
    makeButton(platform::localizedString("IDS_ACHIEVEMENTS"), "pressACHIEV:", 85, 215, 140, 36);
    makeLink("IDS_FRIENDS", menuFriend, true, 235, 215, 140, 36);
    makeLink("IDS_CHAT", menuChat, true, 85, 255, 140, 36);
    makeLink("IDS_CHALLENGE", menuChallenge, true, 235, 255, 140, 36);
}

int mainMenu::activeMenu()
{
    // Also run under the retrieve screen: only the current main screen leaves.
    if (controller == nullptr || controller->getCurrent() != this)
        return 0;
    LeastMenu::activeMenu();
    if (mStartOnLeaderboard) {
        mStartOnLeaderboard = false;
        controller->pressLEADER(nullptr);
    }
    return 0;
}

// ------------------------------------------------------------ loginMenu

void loginMenu::buildContent()
{
    emailTextField[viewSet] = makeField(160, 68, Tarv_GetLoginEmail(), platform::localizedString("<enter E-mail>"), 7);
    passwordTextField[viewSet] = makeField(160, 103, "", platform::localizedString("<enter Password>"), 0);
    makeButton(platform::localizedString("IDS_LOGIN"), "pressLogin:", 160, 148);
    makeButton(platform::localizedString("IDS_FORGOT_PASSWORD"), "pressForgot:", 160, 207);
    makeButton(platform::localizedString("IDS_CREATE_ACCOUNT"), "pressCreate:", 160, 266);
}

void loginMenu::textFieldReturn(platform::TextField &field)
{
    if (&field == emailTextField[viewSet].get()) {
        passwordTextField[viewSet]->becomeFirstResponder();
    } else if (&field == passwordTextField[viewSet].get() && controller != nullptr) {
        controller->completeLogin();
    }
}

void loginMenu::doLogin()
{
    if (controller != nullptr)
        controller->pressLogin(nullptr);
}

// ------------------------------------------------------------ createMenu

void createMenu::buildContent()
{
    mWaiting = false;
    screenNameTextField[viewSet] = makeField(160, 60, "", platform::localizedString("<enter Name>"), 0);
    passwordTextField[viewSet] = makeField(160, 90, "", platform::localizedString("<enter Password>"), 0);
    emailTextField[viewSet] = makeField(160, 120, "", platform::localizedString("<enter E-mail>"), 7);
    firstNameTextField[viewSet] = makeField(160, 150, "", platform::localizedString("<enter First Name>"), 0);
    lastNameTextField[viewSet] = makeField(160, 180, "", platform::localizedString("<enter Last Name>"), 0);
    mMessage = makeLabel("", 160, 212, 290, 14);
    makeButton(platform::localizedString("IDS_CREATE_ACCOUNT"), [this] { submit(); }, 160, 262, 280, 44);
}

bool createMenu::submit()
{
    if (mWaiting)
        return false;
    endEditing();
    OGCInterface fallback;
    OGCInterface &form = controller != nullptr ? *controller->getInterface() : fallback;
    form.name = screenNameTextField[viewSet]->text();
    form.password = passwordTextField[viewSet]->text();
    form.email = emailTextField[viewSet]->text();
    form.firstName = firstNameTextField[viewSet]->text();
    form.lastName = lastNameTextField[viewSet]->text();
    if (form.name.empty() || form.password.empty() || form.email.empty()) {
        mMessage->setText(platform::localizedString("IDS_FILL_IN_NAME_PASSWORD_EMAIL"));
        return false;
    }
    // The login that follows uses what was registered.
    Tarv_SetLoginEmail(form.email.c_str());
    Tarv_SetLoginPassword(form.password.c_str());
    TarvRegisterUser(form.name, form.password, form.email, form.firstName, form.lastName);
    mWaiting = true;
    mMessage->setText(platform::localizedString("IDS_PLEASE_WAIT"));
    return true;
}

void createMenu::tick()
{
    if (!mWaiting)
        return;
    switch (Tarv_GetRegisterStatus()) {
    case kTarvStatusOk:
        mWaiting = false;
        if (controller != nullptr)
            controller->completeLogin();
        break;
    case kTarvStatusError:
    case kTarvStatusNone:
        mWaiting = false;
        mMessage->setText(Tarv_GetErrorText());
        break;
    case kTarvStatusPending: break;
    }
}

void createMenu::doLogin()
{
    TarvLogin();
    if (controller != nullptr)
        controller->goTo(menuLoginWait);
}

void createMenu::textFieldReturn(platform::TextField &field)
{
    // Return moves down the form; on the last field it sends it.
    const platform::TextField *order[] = {screenNameTextField[viewSet].get(), passwordTextField[viewSet].get(),
                                          emailTextField[viewSet].get(), firstNameTextField[viewSet].get(),
                                          lastNameTextField[viewSet].get()};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) {
        if (&field == order[i]) {
            const platform::Ref<platform::TextField> next[] = {passwordTextField[viewSet], emailTextField[viewSet],
                                                               firstNameTextField[viewSet], lastNameTextField[viewSet]};
            next[i]->becomeFirstResponder();
            return;
        }
    }
    if (&field == order[std::size(order) - 1])
        submit();
}

void createMenu::cleanupMenu()
{
    mMessage.reset();
    mWaiting = false;
    LeastMenu::cleanupMenu();
}

// -------------------------------------------------------- loginWaitMenu

void loginWaitMenu::buildContent()
{
    mDone = false;
    mMessage = makeLabel("", 160, 148, 290, 14);
}

void loginWaitMenu::tick()
{
    if (mDone)
        return;
    switch (Tarv_GetStatus()) {
    case kTarvStatusOk:
        mDone = true;
        // A recovered password logs nobody in: only a login is saved.
        if (Tarv_IsLoggedIn())
            SaveLoginToGame();
        currentImagePic = getFace();
        if (controller != nullptr)
            controller->goTo(menuMain);
        break;
    case kTarvStatusError:
        mDone = true;
        mMessage->setText(Tarv_GetErrorText());
        break;
    case kTarvStatusNone:
    case kTarvStatusPending: break;
    }
}

void loginWaitMenu::doMenu(const platform::Notification &notification)
{
    if (isNamed(notification, "OGCBackButton") || isNamed(notification, "OGCAcceptButton"))
        initTransitionOff(backMenu);
}

void loginWaitMenu::cleanupMenu()
{
    mMessage.reset();
    LeastMenu::cleanupMenu();
}

// -------------------------------------------------------------- editMenu

namespace {

// An avatar button that knows which avatar it picks.
class PicButton : public platform::Button {
public:
    using platform::Button::Button;
    [[nodiscard]] int getNumber() const { return mNumber; }
    void setNumber(int number) { assign(mNumber, number); }

private:
    int mNumber = 0;
};

} // namespace

int pictureNumber(const platform::Button *sender)
{
    const auto *pic = dynamic_cast<const PicButton *>(sender);
    return pic != nullptr ? pic->getNumber() : -1;
}

void editMenu::buildContent()
{
    for (int face = 0; face < kFaces; ++face) {
        auto pic = platform::make<PicButton>(platform::Rect::make(0, 0, 64, 64));
        pic->setNumber(face);
        pic->setCenter({40.0 + 80.0 * face, 120});
        pic->setBackgroundImageNamed("face_" + std::to_string(face) + ".png");
        if (controller != nullptr)
            controller->wire(pic, "pressPIC:");
        place(pic);
    }
}

void editMenu::doPick(int avatar)
{
    if (avatar < 0)
        return;
    currentImagePic = avatar;
    setFace(avatar, true);
}

// ------------------------------------------------------- leaderboardMenu

void leaderboardMenu::buildContent()
{
    makeButton("<", "pressDecrement:", 160, 207);
    makeButton(">", "pressIncrement:", 160, 266);
    TarvGetLeaderboard(currentBoard, false);
    update();
}

void leaderboardMenu::update()
{
    std::vector<std::string> texts;
    const auto &entries = Tarv_GetLeaderboard(currentBoard).entries;
    for (std::size_t i = 0; i < std::min(entries.size(), kShownRows); ++i) {
        const auto &e = entries[i];
        texts.push_back(std::to_string(e.rank) + ". " + e.user_name + " " + e.score);
    }
    setRows(texts, 60, 20);
}

// -------------------------------------------------------------- helpMenu

void helpMenu::buildContent()
{
    for (int i = 0; const char *text = getHelpText(i); ++i) {
        const double y = 70.0 + 30.0 * i;
        if (const char *icon = getHelpIcon(i)) {
            auto image = platform::make<platform::ImageView>(icon);
            image->setFrame(platform::Rect::make(13, y - 12, 24, 24));
            place(image);
            makeLabel(text, 180, y, 250, 12);
        } else {
            makeLabel(text, 160, y, 290, 12);
        }
    }
}

// ------------------------------------------------------- achievementMenu

void achievementMenu::update()
{
    std::vector<std::string> texts;
    const int *pairs = Tarv_GetAchievementList();
    for (int i = 0; i < kAchievementCount; ++i) {
        const int number = pairs[2 * i];
        if (checkDisplayAchievement(number) == 0)
            continue;
        texts.push_back(platform::localizedString("IDS_ACHIEVEMENT_" + std::to_string(number)) + " " +
                        platform::localizedString(pairs[2 * i + 1] != 0 ? "IDS_UNLOCKED" : "IDS_LOCKED"));
    }
    setRows(texts, 60, 20);
}

} // namespace merix
