#include "merix/OGCScreens.h"

#include "merix/OGCViewController.h"
#include "merix/TarvClient.h"

#include "platform/resources.h"

namespace merix {

int retrieveMenu::initMenu()
{
    cleanupMenu();
    viewSet = GetNextActiveMenuView();
    buildScrollWindow();
    // The header of this view set, made when no screen has left one.
    if (!Header[viewSet]) {
        buildHeader(platform::localizedString("IDS_RETRIEVE_PASSWORD"));
    } else {
        Header[viewSet]->setText(platform::localizedString("IDS_RETRIEVE_PASSWORD"));
        Header[viewSet]->setHidden(false);
        place(Header[viewSet]);
    }

    emailTextField[viewSet] = makeField(160, 68, Tarv_GetLoginEmail(), platform::localizedString("<enter E-mail>"), 7);

    recoverButton = makeButton("", "pressRECOVER:", 160, 207);
    cancelButton = makeButton("", "pressCANCEL:", 160, 266);

    // The icons beside the buttons also post the screen's accept and back.
    const auto icon = [this](const char *image, const char *function, double y) {
        auto button = platform::make<OGCButton>(image);
        button->setButton({0, 0, image, "", function, ""});
        button->setCenter({60, y});
        place(button);
        return platform::Ref<platform::ImageView>(button);
    };
    acceptIcon = icon("OGC_ACCEPT_button.png", "OGCAcceptButton", 207);
    backIcon = icon("OGC_BACK_button.png", "OGCBackButton", 266);

    recoverLabel = makeLabel(platform::localizedString("IDS_RETRIEVE_PASSWORD"), 190, 207, 320, 14);
    recoverLabel->setNumberOfLines(1);
    cancelLabel = makeLabel(platform::localizedString("IDS_CANCEL"), 190, 266, 320, 14);
    cancelLabel->setNumberOfLines(1);

    activeMenuScrollState = transitionMenuScrollState;
    mCleared = false;
    return 1;
}

int retrieveMenu::activeMenu()
{
    // The screen left behind would otherwise stay on display (and take
    // taps) under this one.
    if (!mCleared) {
        mCleared = true;
        if (controller != nullptr)
            controller->clearOldMenu();
    }
    if (menuMain != nullptr)
        menuMain->activeMenu();
    return 0;
}

void retrieveMenu::cleanupMenu()
{
    removeOwnViews();
    recoverButton.reset();
    cancelButton.reset();
    acceptIcon.reset();
    backIcon.reset();
    recoverLabel.reset();
    cancelLabel.reset();
}

void retrieveMenu::initTransitionOff(OGCMenu *next)
{
    nextMenu = next;
    if (controller != nullptr)
        controller->endTransitionOff();
}

void retrieveMenu::recover()
{
    Tarv_SetLoginEmail(emailTextField[viewSet]->text().c_str());
    TarvRecoverPassword();
    initTransitionOff(menuLoginWait);
}

void retrieveMenu::textFieldReturn(platform::TextField &field)
{
    if (&field != emailTextField[viewSet].get())
        return;
    transitionMenuScrollState = 1;
    transitionStyle = 2;
    recover();
}

void retrieveMenu::doMenu(const platform::Notification &notification)
{
    if (notification.name == "OGCBackButton")
        initTransitionOff(backMenu);
    else if (notification.name == "OGCAcceptButton")
        recover();
}

} // namespace merix
