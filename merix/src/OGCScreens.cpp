#include "merix/OGCScreens.h"

#include "merix/OGCBridge.h"
#include "merix/OGCViewController.h"
#include "merix/TarvClient.h"

#include "platform/resources.h"

#include <algorithm>

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
    auto back = platform::make<OGCButton>("OGC_BACK_button.png");
    back->setButton({0, 0, "OGC_BACK_button.png", "", "OGCBackButton", ""});
    back->setFrame(platform::Rect::make(8, 8, 44, 44));
    place(back);
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
    removeOwnViews();
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
    if (mOwned.empty())
        return; // not on display
    for (const auto &row : mRows)
        row->removeFromSuperview();
    mRows.clear();
    const auto &entries = Tarv_GetLeaderboard(currentBoard).entries;
    mShownBoard = currentBoard;
    mShownCount = entries.size();
    for (std::size_t i = 0; i < std::min(entries.size(), kShownRows); ++i) {
        const auto &e = entries[i];
        mRows.push_back(makeLabel(std::to_string(e.rank) + ". " + e.user_name + " " + e.score, 160,
                                  60.0 + 20.0 * static_cast<double>(i), 290, 14));
    }
}

void leaderboardMenu::tick()
{
    if (mShownBoard != currentBoard || mShownCount != Tarv_GetLeaderboard(currentBoard).entries.size())
        update();
}

void leaderboardMenu::cleanupMenu()
{
    mRows.clear();
    mShownBoard = -1;
    LeastMenu::cleanupMenu();
}

// -------------------------------------------------------------- chatMenu

void chatMenu::buildContent()
{
    mField = makeField(160, 68, "", platform::localizedString("<enter message>"), 0);
    makeButton(platform::localizedString("IDS_SEND"), "pressCHAT:", 160, 207);
}

void chatMenu::StartMessage()
{
    const std::string text = mField->text();
    if (text.empty())
        return;
    if (TarvChatSay(text))
        mField->setText("");
}

void chatMenu::leaveRoom()
{
    mField->resignFirstResponder();
    mField->setText("");
}

void chatMenu::textFieldReturn(platform::TextField &field)
{
    if (&field == mField.get())
        StartMessage();
}

void chatMenu::cleanupMenu()
{
    mField.reset();
    LeastMenu::cleanupMenu();
}

// -------------------------------------------------------------- helpMenu

void helpMenu::buildContent()
{
    for (int i = 0; const char *text = getHelpText(i); ++i)
        makeLabel(text, 160, 70.0 + 30.0 * i, 290, 12);
}

} // namespace merix
