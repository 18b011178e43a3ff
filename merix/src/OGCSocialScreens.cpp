// The screens that need a login: friends with their pop-up, the chat room,
// the online friends' games and the lobby.
#include "merix/OGCScreens.h"

#include "merix/OGCViewController.h"
#include "merix/TarvClient.h"

#include "platform/resources.h"

#include <algorithm>

namespace merix {

namespace {

std::string relationRow(const KwexNet::Tarv::RelationEntry &entry, const char *stateKey)
{
    return entry.target_user_name + " " + platform::localizedString(stateKey);
}

} // namespace

// -------------------------------------------------------------- chatMenu

void chatMenu::buildContent()
{
    mField = makeField(160, 68, "", platform::localizedString("<enter message>"), 0);
    makeButton(platform::localizedString("IDS_SEND"), "pressCHAT:", 160, 262);
    mShownRevision = Tarv_GetChatRevision();
    TarvJoinRoom();
    mInRoom = true;
    tick();
}

void chatMenu::tick()
{
    const auto &lines = Tarv_GetChatLines();
    setRows({lines.begin(), lines.end()}, 100, 20);
    if (mShownRevision != Tarv_GetChatRevision()) {
        mShownRevision = Tarv_GetChatRevision();
        if (recievedEffect != nullptr)
            recievedEffect->play();
    }
}

void chatMenu::StartMessage()
{
    if (!mField)
        return;
    const std::string text = mField->text();
    if (text.empty())
        return;
    if (TarvChatSay(text))
        mField->setText("");
}

void chatMenu::leaveRoom()
{
    if (mField) {
        mField->resignFirstResponder();
        mField->setText("");
    }
    mInRoom = false;
    TarvLeaveRoom();
}

void chatMenu::textFieldReturn(platform::TextField &field)
{
    if (&field == mField.get())
        StartMessage();
}

void chatMenu::initTransitionOff(OGCMenu *next)
{
    if (mInRoom)
        leaveRoom();
    LeastMenu::initTransitionOff(next);
}

void chatMenu::cleanupMenu()
{
    // The screens closed over the chat: the room is left too.
    if (mInRoom)
        leaveRoom();
    mField.reset();
    LeastMenu::cleanupMenu();
}

// ------------------------------------------------------------ friendMenu

void friendMenu::buildContent()
{
    mTitle = makeLabel("", 160, 55, 290, 14);
    // Clear of the launch button in the top right corner.
    makeIcon("OGC_ACCEPT_button.png", "OGCAcceptButton", 290, 80);
    TarvGetRelations();
    update();
}

void friendMenu::update()
{
    if (!mTitle)
        return; // not on display
    const bool blocked = Tarv_GetFriendViewMode() == 1;
    const auto &list = Tarv_GetRelations();
    std::vector<std::string> texts;
    const auto add = [&](const std::vector<std::size_t> &indices, auto state) {
        for (const std::size_t i : indices) {
            if (texts.size() < kShownRows && i < list.entries.size())
                texts.push_back(relationRow(list.entries[i], state(list.entries[i])));
        }
    };
    if (blocked) {
        add(list.blocked, [](const auto &) { return "IDS_BLOCKED"; });
    } else {
        add(list.friends, [](const auto &e) { return e.target_user_online_status != 0 ? "IDS_ONLINE" : "IDS_OFFLINE"; });
        add(list.pending_sent, [](const auto &) { return "IDS_FRIEND_ASKED"; });
        add(list.pending_received, [](const auto &) { return "IDS_FRIEND_ASKS_YOU"; });
    }
    const std::string &error = Tarv_GetRelationsError();
    mTitle->setText(error.empty() ? platform::localizedString(blocked ? "IDS_BLOCKED_PLAYERS" : "IDS_FRIENDS")
                                  : error);
    setRows(texts, 110, 20);
}

void friendMenu::showPopup()
{
    if (mPopup)
        return;
    auto popup = platform::make<platform::View>(platform::Rect::make(10, 40, 300, 160));
    popup->setBackgroundColor({0.1, 0.1, 0.2, 0.9});
    place(popup);
    mPopup = popup;
    const auto move = [&popup](const platform::Ref<platform::View> &view, double x, double y) {
        popup->addSubview(view);
        view->setCenter({x, y});
    };
    screenNameTextField[viewSet] = makeField(0, 0, "", platform::localizedString("<enter Name>"), 0);
    move(screenNameTextField[viewSet], 150, 30);
    move(makeButton(platform::localizedString("IDS_ADD"), "pressFIND:", 0, 0, 130, 40), 80, 80);
    move(makeButton(platform::localizedString("IDS_OK"), "pressFOK:", 0, 0, 130, 40), 220, 80);
    move(makeButton(platform::localizedString("IDS_FRIENDS"), "pressFRIEND:", 0, 0, 130, 40), 80, 130);
    move(makeButton(platform::localizedString("IDS_BLOCKED_PLAYERS"), "pressBLOCK:", 0, 0, 130, 40), 220, 130);
}

void friendMenu::pressAdd()
{
    if (!mPopup || !screenNameTextField[viewSet])
        return;
    const std::string name = screenNameTextField[viewSet]->text();
    if (name.empty())
        return;
    TarvAddRelationByName(name, 'F');
    screenNameTextField[viewSet]->setText("");
}

void friendMenu::pressOK()
{
    if (!mPopup)
        return;
    endEditing();
    mPopup->removeFromSuperview();
    mPopup.reset();
    screenNameTextField[viewSet].reset();
}

void friendMenu::doMenu(const platform::Notification &notification)
{
    if (notification.name == "OGCAcceptButton")
        showPopup();
    else
        LeastMenu::doMenu(notification);
}

void friendMenu::textFieldReturn(platform::TextField &field)
{
    if (&field == screenNameTextField[viewSet].get())
        pressAdd();
}

void friendMenu::cleanupMenu()
{
    mPopup.reset();
    mTitle.reset();
    LeastMenu::cleanupMenu();
}

// --------------------------------------------------------- challengeMenu

void challengeMenu::buildContent()
{
    TarvGetRelations();
    update();
}

void challengeMenu::update()
{
    const auto &list = Tarv_GetRelations();
    std::vector<std::string> texts;
    for (const std::size_t i : list.friends) {
        if (texts.size() == kShownRows || i >= list.entries.size())
            break;
        const auto &e = list.entries[i];
        if (e.target_user_online_status != 0)
            texts.push_back(e.target_user_name + ": " + e.game_mode_text);
    }
    if (texts.empty())
        texts.push_back(platform::localizedString("IDS_NO_FRIENDS_ONLINE"));
    setRows(texts, 60, 20);
}

// -------------------------------------------------------------- gameMenu

void gameMenu::update()
{
    const TarvRoom &room = Tarv_GetRoom();
    std::vector<std::string> texts;
    if (room.joined) {
        texts.push_back(platform::localizedString("IDS_ROOM") + " " + std::to_string(room.groupId));
        texts.push_back(platform::localizedString("IDS_SERVER") + " " + std::to_string(room.serverId) + " " +
                        room.address);
    } else {
        texts.push_back(platform::localizedString("IDS_NO_ROOM"));
    }
    texts.push_back(platform::localizedString("IDS_CONNECTION") + " " + Tarv_GetChatState());
    setRows(texts, 60, 20);
}

} // namespace merix
