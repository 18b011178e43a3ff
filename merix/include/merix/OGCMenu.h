// The base of every online screen, the globals through which the screens and
// the view controller exchange views and transition settings, and the small
// form-data record the controller hands out.
//
// Screens build their views into one of two alternating view sets, so that
// the screen that leaves and the one that arrives can be on display at once.
// The controller (OGCViewController) drives the current screen through its
// sub-states by calling the virtual operations below once per tick.
//
// Main thread only.
#ifndef MERIX_OGCMENU_H
#define MERIX_OGCMENU_H

#include "platform/notifications.h"
#include "platform/ui.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace merix {

class OGCViewController;

class OGCMenu {
public:
    OGCMenu() = default;
    virtual ~OGCMenu() = default;
    OGCMenu(const OGCMenu &) = delete;
    OGCMenu &operator=(const OGCMenu &) = delete;

    // The class name, for drivers and logs.
    [[nodiscard]] virtual const char *name() const { return "OGCMenu"; }

    // Non-zero: ready (built, transition finished, wants to leave, deleted).
    virtual int initMenu() { return 0; }
    virtual int transitionOn() { return 0; }
    virtual int transitionOff() { return 0; }
    virtual void keyboardWillHide() {}
    virtual void keyboardWillShow() {}
    virtual int activeMenu() { return 0; }
    virtual int deleteMenu() { return 0; }
    virtual void screenTouched() {}
    virtual void cleanupMenu() {}
    // The screen to switch to once this one has left; null closes the screens.
    virtual void initTransitionOff(OGCMenu *next) { nextMenu = next; }
    virtual void setElementsLocation(const std::string &) {}
    virtual void doMenu(const platform::Notification &) {}
    virtual void adjustScrollView(platform::TextField &, int /*keyboardHeight*/) {}
    virtual void textFieldReturn(platform::TextField &) {}
    virtual void doLogin() {}
    virtual void update() {}

    // Configures a label: colour, font "Arial" at `size`, text, alignment,
    // as many lines as needed, clear background; its centre at (x, y),
    // adjusted to the screens' orientation when `orient` is set.
    void setlable(const platform::Ref<platform::Label> &label, const std::string &text, platform::TextAlignment align,
                  double x, double y, double size, bool orient, double red, double green, double blue);
    void setlable(const platform::Ref<platform::Label> &label, const std::string &text, platform::TextAlignment align,
                  double x, double y, double size);

    std::int32_t viewSet = 0;
    OGCMenu *previousMenu = nullptr;
    OGCMenu *backMenu = nullptr;
    OGCMenu *nextMenu = nullptr;
    OGCViewController *controller = nullptr;

protected:
    // Building blocks shared by the screens. The container of the view set
    // is made inside the controller's OGCView when missing and brought to
    // the front; views this screen adds are remembered so that cleanupMenu
    // removes exactly its own, whichever screen uses the view set since.
    platform::Ref<platform::View> container();
    void buildScrollWindow();
    void buildHeader(const std::string &text);
    platform::Ref<platform::TextField> makeField(double x, double y, const std::string &text,
                                                 const std::string &placeholder, int keyboardType);
    platform::Ref<platform::Button> makeButton(const std::string &title, const char *action, double x, double y,
                                               double width = 280, double height = 44);
    // A button that runs `action` (for as long as the controller lives).
    platform::Ref<platform::Button> makeButton(const std::string &title, std::function<void()> action, double x,
                                               double y, double width, double height);
    // An icon that posts `notification` ("OGCBackButton", "OGCAcceptButton")
    // when tapped, 44 points square around (x, y).
    platform::Ref<platform::View> makeIcon(const char *image, const char *notification, double x, double y);
    platform::Ref<platform::Label> makeLabel(const std::string &text, double x, double y, double width,
                                             double fontSize);
    // Adds `view` to the scroll window and remembers it.
    void place(const platform::Ref<platform::View> &view);

    // Keyboard avoidance: scrolls the scroll window so that `field` and the
    // row under it (its button) stay above a keyboard `keyboardHeight`
    // points high; back to the top when the keyboard hides.
    void keepAboveKeyboard(platform::TextField &field, int keyboardHeight);
    void scrollBack();
    // The text field of this screen that is being edited, if any.
    [[nodiscard]] platform::Ref<platform::TextField> editingField() const;
    // Ends the editing of this screen's field: the keyboard goes down.
    void endEditing();
    // Removes every view this screen added and clears the view set's global
    // slots that still hold them.
    void removeOwnViews();

    std::vector<platform::Ref<platform::View>> mOwned;
};

// Five texts of a form, pre-set to placeholders.
struct OGCInterface {
    std::string name = "Test Name";
    std::string password = "Test Password";
    std::string email = "Test Email";
    std::string firstName = "Test First Name";
    std::string lastName = "Test Last Name";
};

// ------------------------------------------------------------ shared globals

extern int activeMenuView;
extern platform::Ref<platform::View> displayMenuView[2];
extern platform::Ref<platform::ScrollView> scrollWindow[2];
extern platform::Ref<platform::ImageView> scrollimage[2];
extern platform::Ref<platform::Label> Header[2];
extern platform::Ref<platform::TextField> emailTextField[2];
extern platform::Ref<platform::TextField> passwordTextField[2];
extern platform::Ref<platform::TextField> screenNameTextField[2];
extern platform::Ref<platform::TextField> firstNameTextField[2];
extern platform::Ref<platform::TextField> lastNameTextField[2];

extern int transitionMenuScrollState;
extern int transitionStyle;
extern int activeMenuScrollState;
extern int scrollState;
extern int scrollCount;
extern int currentButton;

class mainMenu;
class loginMenu;
class createMenu;
class loginWaitMenu;
class retrieveMenu;
class editMenu;
class achievementMenu;
class leaderboardMenu;
class chatMenu;
class friendMenu;
class challengeMenu;
class gameMenu;
class helpMenu;

// The thirteen screens, owned by the view controller (null without one).
extern mainMenu *menuMain;
extern loginMenu *menuLogin;
extern createMenu *menuCreate;
extern loginWaitMenu *menuLoginWait;
extern retrieveMenu *menuRetrieve;
extern editMenu *menuEdit;
extern achievementMenu *menuAchievement;
extern leaderboardMenu *menuLeaderboard;
extern chatMenu *menuChat;
extern friendMenu *menuFriend;
extern challengeMenu *menuChallenge;
extern gameMenu *menuGame;
extern helpMenu *menuHelp;
extern OGCMenu *lastMenu;
extern OGCMenu *loggedMenu;
extern platform::Ref<platform::ImageView> faceImage;
extern int currentImagePic;

[[nodiscard]] int GetActiveMenuView();
[[nodiscard]] int GetNextActiveMenuView();
void IncrementActiveMenuView();
void InitActiveMenuView(int n);

} // namespace merix

#endif // MERIX_OGCMENU_H
