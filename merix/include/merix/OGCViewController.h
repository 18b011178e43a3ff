// The online screens' view controller: the overlay launch button, the
// thirteen screens, the container they draw into, the interface sounds, the
// host for modal presentations and the player's own music queue. It opens
// and closes the screens with a zoom, drives the current screen through its
// sub-states at 30 ticks a second (a repeating timer of the interface loop
// that it owns), forwards touches, keys and text-field events to it, and
// carries out the screens' button actions through the login client.
//
// Create it with platform::make, add its view over the game's view and call
// showOGCButton. Main thread only.
#ifndef MERIX_OGCVIEWCONTROLLER_H
#define MERIX_OGCVIEWCONTROLLER_H

#include "merix/OGCButton.h"
#include "merix/OGCMenu.h"
#include "merix/SoundEffect.h"

#include "platform/media.h"
#include "platform/notifications.h"
#include "platform/ui.h"

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace merix {

extern SoundEffect *swishEffect;
extern SoundEffect *selectEffect;
extern SoundEffect *recievedEffect;

class OGCViewController : public platform::ViewController,
                          public platform::TextFieldDelegate,
                          public platform::MediaPickerDelegate {
public:
    enum MenuState { kClosed = 0, kOpen = 1, kClosing = 2 };
    static constexpr double kTickSeconds = 1.0 / 30.0;
    static constexpr double kZoomSeconds = 0.35;

    OGCViewController();
    ~OGCViewController() override;
    [[nodiscard]] const char *className() const override { return "OGCViewController"; }

    void viewDidLoad() override;
    [[nodiscard]] bool shouldAutorotateToInterfaceOrientation(int orientation) override;
    void touchesBegan(const platform::Touches &touches) override;

    // ---------------------------------------------------- set-up, queries
    void showOGCButton(int x, int y);
    void hideOGCButton();
    [[nodiscard]] bool getOGCButtonState() const;
    [[nodiscard]] bool checkOGCActive() const { return menuState != kClosed; }
    [[nodiscard]] bool checkOGCExiting() const { return menuState == kClosing; }
    [[nodiscard]] bool checkOGCOverDraw() const { return checkOGCActive() && !checkOGCExiting(); }
    [[nodiscard]] bool checkOGCLogdegIn() const;
    [[nodiscard]] OGCMenu *getCurrent() const { return currentMenu; }
    [[nodiscard]] OGCInterface *getInterface() const { return interface.get(); }
    [[nodiscard]] platform::Ref<platform::View> getView() const { return OGCView; }
    [[nodiscard]] int getOrientation() const { return menuOrientation; }
    // The height of the keyboard last announced.
    [[nodiscard]] int getKeyboardSize() const { return keyboardSize; }
    [[nodiscard]] int getMenuState() const { return menuState; }
    [[nodiscard]] int getMenuSubState() const { return menuSubState; }
    [[nodiscard]] platform::Ref<OGCButton> getButton() const { return OGCButtonMain; }
    [[nodiscard]] platform::Ref<platform::ViewController> getHost() const { return viewController; }
    [[nodiscard]] const std::array<OGCMenu *, 13> &screens() const { return mScreenList; }
    void setPortraitOffset(int offset) { portraitOffset = offset; }
    // Run once the screens have closed; empty for nothing.
    void setOnResume(std::function<void()> action) { onResume = std::move(action); }
    void setOrientationTransformation() {}

    void setOrientedPosition(platform::Point &point, double &angle, int offset, int attach) const;
    void setOrientedPosition(platform::Point &point, double &angle, int offset) const;
    void setOrientedPosition(platform::Point &point, double &angle) const;

    // Two animations of `seconds`: the view turns to `rotation`, then (named
    // `name`) its centre moves to (x, y).
    void SetAnimation(const platform::Ref<platform::View> &view, double rotation, int x, int y,
                      const std::optional<std::string> &name, double seconds);
    void setupViewSwitchButtons(const platform::Ref<platform::View> &parent);
    void setupViewButton(const std::string &title, platform::Ref<platform::Button> &button, const char *action,
                         const platform::Ref<platform::View> &parent, platform::Size size, platform::Point center);
    void ShowProfileButton(bool hideProfile);
    [[nodiscard]] platform::Ref<platform::Button> profileButton() const { return editProfile; }
    [[nodiscard]] platform::Ref<platform::Button> leaderboardButton() const { return leaderboard; }

    // ------------------------------------------------------- events
    void doOGC(const std::string &notificationName);
    void animationDidStop(const std::optional<std::string> &name, bool finished);
    // One tick of the current screen's state machine.
    void menuUpdater();
    void keyboardWillShow(const platform::Notification &notification);
    void keyboardWillHide();
    void doMenu(const platform::Notification &notification);
    void completeLogin();
    void clearOldMenu();
    void endTransitionOff() { menuSubState = 5; }

    bool textFieldShouldReturn(platform::TextField &field) override;
    void textFieldDidBeginEditing(platform::TextField &field) override;
    bool textFieldShouldChangeCharacters(platform::TextField &field, platform::TextRange range,
                                         const std::string &replacement) override;

    // ------------------------------------------------------- actions
    // The button actions by name ("pressLogin:" ...); the sender may be null.
    using Action = void (OGCViewController::*)(platform::Button *sender);
    [[nodiscard]] static Action findAction(std::string_view name);
    bool performAction(std::string_view name, platform::Button *sender = nullptr);
    // Makes `button` run the named action on touch-up-inside.
    void wire(const platform::Ref<platform::Button> &button, const char *action);

    void pressLogin(platform::Button *);
    void pressRECOVER(platform::Button *);
    void pressLOGIN_CANCEL(platform::Button *);
    void pressLOGOUT(platform::Button *);
    void pressOK(platform::Button *);
    void pressCANCEL(platform::Button *);
    void pressForgot(platform::Button *);
    void pressCreate(platform::Button *);
    void pressACHIEV(platform::Button *);
    void pressProfile(platform::Button *);
    void pressLEADER(platform::Button *);
    void pressDecrement(platform::Button *);
    void pressIncrement(platform::Button *);
    void pressScore(platform::Button *);
    void pressFIND(platform::Button *);
    void pressBLOCK(platform::Button *);
    void pressFRIEND(platform::Button *);
    void pressFOK(platform::Button *);
    void pressCHAT(platform::Button *);
    void pressPIC(platform::Button *sender);
    void pressNULL(platform::Button *) {}
    void terminateApp();
    void doOGCOff();
    // Sets the transition settings and leaves the current screen for `next`.
    void goTo(OGCMenu *next);

    // ---------------------------------------------------- music queue
    void doMediaPicker();
    void mediaPickerDidPickMediaItems(platform::MediaPickerController &picker,
                                      const std::vector<platform::MediaItem> &items) override;
    void mediaPickerDidCancel(platform::MediaPickerController &picker) override;
    void dismissMediaPicker();
    void returnFromIMVG();
    // Appends `collection` to what is queued without disturbing the item
    // that plays (kept by its queue position), its time and its state.
    void updatePlayerQueueWithMediaCollection(const std::vector<platform::MediaItem> *collection);
    [[nodiscard]] const std::optional<std::vector<platform::MediaItem>> &queuedCollection() const
    {
        return user_media_item_collection;
    }

private:
    void startTimer();
    void stopTimer();
    void rotateButton();
    // Removes OGCView, the backdrop and every screen's views; the button
    // back at rest, status bar restored, the game told.
    void teardown();
    void openScreens(bool leaderboards);
    // One 0.35 s animation block (named unless `name` is null) around `change`.
    void zoom(const char *name, const std::function<void()> &change);
    void closeScreens();

    platform::Ref<platform::ViewController> viewController;
    platform::Ref<platform::View> OGCView;
    platform::Ref<platform::ImageView> OGCbackdrop;
    OGCMenu *currentMenu = nullptr;
    int menuState = kClosed;
    int menuSubState = 0;
    int menuOrientation = 0;
    int portraitOffset = 0;
    int keyboardSize = 0;
    std::unique_ptr<OGCInterface> interface;
    int OGCButton_x = 0;
    int OGCButton_y = 0;
    int startupOrientation = platform::kOrientationPortrait;
    platform::Ref<OGCButton> OGCButtonMain;
    platform::Ref<platform::Button> editProfile;
    platform::Ref<platform::Button> leaderboard;
    std::function<void()> onResume;
    platform::MusicPlayer *music_player = nullptr;
    std::optional<std::vector<platform::MediaItem>> user_media_item_collection;

    std::vector<std::unique_ptr<OGCMenu>> mScreens;
    std::array<OGCMenu *, 13> mScreenList{};
    std::unique_ptr<SoundEffect> mSwish, mSelect, mReceived;
    std::vector<platform::ObserverId> mObservers;
    platform::RunLoop *mTimerLoop = nullptr;
    platform::TimerId mTimer = 0;
    int mScoreCounter = 10;
};

} // namespace merix

#endif // MERIX_OGCVIEWCONTROLLER_H
