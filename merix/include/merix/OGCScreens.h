// The online screens. Each builds a scroll window with its header and
// content into its view set and brings it in with the "SCROLL2" animation;
// the retrieve-password screen is built in full, the others only as far as
// the road through them needs (see README: what they do and do not).
#ifndef MERIX_OGCSCREENS_H
#define MERIX_OGCSCREENS_H

#include "merix/OGCMenu.h"

#include <string>

namespace merix {

// A screen with a header and the back icon: initMenu and deleteMenu return 1,
// leaving is immediate (initTransitionOff ends the transition at once), the
// back notification returns to the back menu, and the first active tick
// clears the screen that was left.
class LeastMenu : public OGCMenu {
public:
    int initMenu() override;
    int activeMenu() override;
    int deleteMenu() override { return 1; }
    void cleanupMenu() override;
    void initTransitionOff(OGCMenu *next) override;
    void doMenu(const platform::Notification &notification) override;

protected:
    // The header's string-table key.
    [[nodiscard]] virtual const char *headerKey() const = 0;
    // The screen's own content, after the scroll window and header exist.
    virtual void buildContent() {}
    // The per-tick work of the active screen.
    virtual void tick() {}

private:
    bool mCleared = false;
};

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

class loginMenu : public LeastMenu {
public:
    [[nodiscard]] const char *name() const override { return "loginMenu"; }

protected:
    [[nodiscard]] const char *headerKey() const override { return "IDS_LOGIN"; }
    void buildContent() override;
};

class createMenu : public LeastMenu {
public:
    [[nodiscard]] const char *name() const override { return "createMenu"; }

protected:
    [[nodiscard]] const char *headerKey() const override { return "IDS_CREATE_ACCOUNT"; }
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

class achievementMenu : public LeastMenu {
public:
    [[nodiscard]] const char *name() const override { return "achievementMenu"; }

protected:
    [[nodiscard]] const char *headerKey() const override { return "IDS_ACHIEVEMENTS"; }
};

// The current board's rows, refreshed when they arrive.
class leaderboardMenu : public LeastMenu {
public:
    static constexpr std::size_t kShownRows = 6;
    [[nodiscard]] const char *name() const override { return "leaderboardMenu"; }
    void update() override;
    void cleanupMenu() override;

protected:
    [[nodiscard]] const char *headerKey() const override { return "IDS_LEADERBOARDS"; }
    void buildContent() override;
    void tick() override;

private:
    std::vector<platform::Ref<platform::Label>> mRows;
    int mShownBoard = -1;
    std::size_t mShownCount = 0;
};

class chatMenu : public LeastMenu {
public:
    [[nodiscard]] const char *name() const override { return "chatMenu"; }
    void StartMessage();
    void leaveRoom();
    void textFieldReturn(platform::TextField &field) override;
    void cleanupMenu() override;

protected:
    [[nodiscard]] const char *headerKey() const override { return "IDS_CHAT"; }
    void buildContent() override;

private:
    platform::Ref<platform::TextField> mField;
};

class friendMenu : public LeastMenu {
public:
    [[nodiscard]] const char *name() const override { return "friendMenu"; }
    [[nodiscard]] bool checkPopup() const { return mPopup; }
    void pressAdd() { mPopup = false; }
    void pressOK() { mPopup = false; }

protected:
    [[nodiscard]] const char *headerKey() const override { return "IDS_FRIENDS"; }

private:
    bool mPopup = false;
};

class challengeMenu : public LeastMenu {
public:
    [[nodiscard]] const char *name() const override { return "challengeMenu"; }

protected:
    [[nodiscard]] const char *headerKey() const override { return "IDS_CHALLENGE"; }
};

class gameMenu : public LeastMenu {
public:
    [[nodiscard]] const char *name() const override { return "gameMenu"; }

protected:
    [[nodiscard]] const char *headerKey() const override { return "IDS_GAME"; }
};

// The bridge's help paragraphs, one label each.
class helpMenu : public LeastMenu {
public:
    [[nodiscard]] const char *name() const override { return "helpMenu"; }

protected:
    [[nodiscard]] const char *headerKey() const override { return "IDS_HELP"; }
    void buildContent() override;
};

} // namespace merix

#endif // MERIX_OGCSCREENS_H
