// The online screens. Each builds a scroll window with its header and
// content into its view set and brings it in with the "SCROLL2" animation;
// what each screen does is told with its class below.
#ifndef MERIX_OGCSCREENS_H
#define MERIX_OGCSCREENS_H

#include "merix/OGCMenu.h"

#include <string>
#include <vector>

namespace merix {

// A screen with a header and the back icon: initMenu and deleteMenu return 1,
// the transitions end at once, leaving is immediate (initTransitionOff ends
// the transition at once), the back notification returns to the back
// menu, and the first active tick clears the screen that was left. Its
// text fields stay above the keyboard; a touch beside them ends the editing.
class LeastMenu : public OGCMenu {
public:
    int initMenu() override;
    int transitionOn() override { return 1; }
    int transitionOff() override { return 1; }
    void keyboardWillHide() override;
    void keyboardWillShow() override;
    int activeMenu() override;
    int deleteMenu() override { return 1; }
    void screenTouched() override;
    void cleanupMenu() override;
    void initTransitionOff(OGCMenu *next) override;
    void setElementsLocation(const std::string &) override {}
    void doMenu(const platform::Notification &notification) override;
    void adjustScrollView(platform::TextField &field, int keyboardHeight) override;
    void textFieldReturn(platform::TextField &) override {}
    void doLogin() override {}
    void update() override {}

protected:
    // The header's string-table key.
    [[nodiscard]] virtual const char *headerKey() const = 0;
    // The screen's own content, after the scroll window and header exist.
    virtual void buildContent() {}
    // The per-tick work of the active screen.
    virtual void tick() {}
    // A button that leads to `target`, or to the login screen while logged
    // out when `needsLogin`.
    void makeLink(const char *titleKey, OGCMenu *target, bool needsLogin, double x, double y, double width,
                  double height);
    // One label per text from `top` down, `step` apart; rebuilt only when
    // the texts change.
    void setRows(const std::vector<std::string> &texts, double top, double step);
    [[nodiscard]] const std::vector<platform::Ref<platform::Label>> &rows() const { return mRows; }

private:
    bool mCleared = false;
    std::vector<platform::Ref<platform::Label>> mRows;
    std::vector<std::string> mRowTexts;
};

// The avatar, the Profile / Leaderboard switch buttons and the way to the
// other screens (achievements and help for anyone; friends, chat,
// challenges and the lobby once logged in, else the login screen).
class mainMenu : public LeastMenu {
public:
    [[nodiscard]] const char *name() const override { return "mainMenu"; }
    int activeMenu() override;
    void scrollText() {}
    void clearBubbleText() {}
    void startOnLeaderboard(bool start) { mStartOnLeaderboard = start; }

protected:
    [[nodiscard]] const char *headerKey() const override { return "IDS_ONLINE"; }
    void buildContent() override;

private:
    bool mStartOnLeaderboard = false;
};

// Return in the e-mail field moves to the password field; return in the
// password field logs in through the controller's completeLogin, as the
// Login button does.
class loginMenu : public LeastMenu {
public:
    [[nodiscard]] const char *name() const override { return "loginMenu"; }
    void textFieldReturn(platform::TextField &field) override;
    void doLogin() override;

protected:
    [[nodiscard]] const char *headerKey() const override { return "IDS_LOGIN"; }
    void buildContent() override;
};

// Registers an account from its five fields (user name, password and
// e-mail needed; first and last name optional) and, once the service has
// created it, logs in with it through completeLogin.
class createMenu : public LeastMenu {
public:
    [[nodiscard]] const char *name() const override { return "createMenu"; }
    void textFieldReturn(platform::TextField &field) override;
    void doLogin() override;
    void cleanupMenu() override;
    // Sends the form; false (with the reason shown) when a needed field is empty.
    bool submit();

protected:
    [[nodiscard]] const char *headerKey() const override { return "IDS_CREATE_ACCOUNT"; }
    void buildContent() override;
    void tick() override;

private:
    platform::Ref<platform::Label> mMessage;
    bool mWaiting = false;
};

// Waits for the request the previous screen started: on success saves the
// login and goes to the main screen; on failure shows the error until back
// or accept.
class loginWaitMenu : public LeastMenu {
public:
    [[nodiscard]] const char *name() const override { return "loginWaitMenu"; }
    void doMenu(const platform::Notification &notification) override;
    void cleanupMenu() override;

protected:
    [[nodiscard]] const char *headerKey() const override { return "IDS_PLEASE_WAIT"; }
    void buildContent() override;
    void tick() override;

private:
    platform::Ref<platform::Label> mMessage;
    bool mDone = false;
};

class retrieveMenu : public OGCMenu {
public:
    [[nodiscard]] const char *name() const override { return "retrieveMenu"; }
    int initMenu() override;
    int activeMenu() override;
    int deleteMenu() override { return 1; }
    void cleanupMenu() override;
    void initTransitionOff(OGCMenu *next) override;
    void setElementsLocation(const std::string &) override {}
    void doMenu(const platform::Notification &notification) override;
    void textFieldReturn(platform::TextField &field) override;

private:
    void recover();

    platform::Ref<platform::Button> recoverButton;
    platform::Ref<platform::Button> cancelButton;
    platform::Ref<platform::ImageView> acceptIcon;
    platform::Ref<platform::ImageView> backIcon;
    platform::Ref<platform::Label> recoverLabel;
    platform::Ref<platform::Label> cancelLabel;
    bool mCleared = false;
};

// The avatar number of a button of the profile screen; -1 for another sender.
[[nodiscard]] int pictureNumber(const platform::Button *sender);

class editMenu : public LeastMenu {
public:
    static constexpr int kFaces = 4;
    [[nodiscard]] const char *name() const override { return "editMenu"; }
    void doPick(int avatar);

protected:
    [[nodiscard]] const char *headerKey() const override { return "IDS_EDIT_PROFILE"; }
    void buildContent() override;
};

// The login client's 25 achievement pairs, one row each for those the game
// lets show (checkDisplayAchievement), with their locked or unlocked state.
class achievementMenu : public LeastMenu {
public:
    [[nodiscard]] const char *name() const override { return "achievementMenu"; }
    void update() override;

protected:
    [[nodiscard]] const char *headerKey() const override { return "IDS_ACHIEVEMENTS"; }
    void buildContent() override { update(); }
    void tick() override { update(); }
};

// The current board's rows, refreshed when they arrive.
class leaderboardMenu : public LeastMenu {
public:
    static constexpr std::size_t kShownRows = 6;
    [[nodiscard]] const char *name() const override { return "leaderboardMenu"; }
    void update() override;

protected:
    [[nodiscard]] const char *headerKey() const override { return "IDS_LEADERBOARDS"; }
    void buildContent() override;
    void tick() override { update(); }
};

// Joins the room when shown (the client asks the service for a room and
// connects the chat layer) and leaves it when left or closed; sends its
// field's text as one chat line and shows the last lines received.
class chatMenu : public LeastMenu {
public:
    [[nodiscard]] const char *name() const override { return "chatMenu"; }
    void StartMessage();
    void leaveRoom();
    void textFieldReturn(platform::TextField &field) override;
    void initTransitionOff(OGCMenu *next) override;
    void cleanupMenu() override;

protected:
    [[nodiscard]] const char *headerKey() const override { return "IDS_CHAT"; }
    void buildContent() override;
    void tick() override;

private:
    platform::Ref<platform::TextField> mField;
    bool mInRoom = false;
    unsigned mShownRevision = 0;
};

// Friends and blocked players (Tarv_setFriendViewMode chooses the list).
// The accept icon opens the pop-up: a name field, Add (a friendship request
// for the typed name, then the list read again), Friends / Blocked (which
// list to show) and OK (closes it).
class friendMenu : public LeastMenu {
public:
    static constexpr std::size_t kShownRows = 10;
    [[nodiscard]] const char *name() const override { return "friendMenu"; }
    [[nodiscard]] bool checkPopup() const { return static_cast<bool>(mPopup); }
    void pressAdd();
    void pressOK();
    void doMenu(const platform::Notification &notification) override;
    void textFieldReturn(platform::TextField &field) override;
    void update() override;
    void cleanupMenu() override;

protected:
    [[nodiscard]] const char *headerKey() const override { return "IDS_FRIENDS"; }
    void buildContent() override;
    void tick() override { update(); }

private:
    void showPopup();
    platform::Ref<platform::View> mPopup;
    platform::Ref<platform::Label> mTitle;
};

// The friends who are online and what each is playing (the relations
// list's game mode text), read when the screen is shown.
class challengeMenu : public LeastMenu {
public:
    static constexpr std::size_t kShownRows = 10;
    [[nodiscard]] const char *name() const override { return "challengeMenu"; }
    void update() override;

protected:
    [[nodiscard]] const char *headerKey() const override { return "IDS_CHALLENGE"; }
    void buildContent() override;
    void tick() override { update(); }
};

// The lobby: the room the service gave (server, address, group) and the
// state of the connection to it.
class gameMenu : public LeastMenu {
public:
    [[nodiscard]] const char *name() const override { return "gameMenu"; }
    void update() override;

protected:
    [[nodiscard]] const char *headerKey() const override { return "IDS_GAME"; }
    void buildContent() override { update(); }
    void tick() override { update(); }
};

// The bridge's help paragraphs, one label each, with the icon the bridge
// gives beside those that have one.
class helpMenu : public LeastMenu {
public:
    [[nodiscard]] const char *name() const override { return "helpMenu"; }

protected:
    [[nodiscard]] const char *headerKey() const override { return "IDS_HELP"; }
    void buildContent() override;
};

} // namespace merix

#endif // MERIX_OGCSCREENS_H
