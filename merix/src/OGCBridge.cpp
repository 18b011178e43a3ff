#include "merix/OGCBridge.h"

#include "merix/AchievementManager.h"
#include "merix/TarvClient.h"

#include <game/savegamedata.h>

#include <array>

int nLoginState = 0;
char nloginName[64] = {};
char nloginPassword[64] = {};

namespace {

constexpr std::array<const char *, 4> kHelpTexts = {
    "First paragraph of Help Test",
    "Second paragraph of Help Test",
    "Third paragraph of Help Test",
    "You can have as many lines as you want.",
};
constexpr std::array<const char *, 4> kHelpIcons = {"First_Icon.png", "Second_Icon.png", nullptr, "More_Icons.png"};

} // namespace

const char *getHelpText(int index)
{
    return index >= 0 && index < static_cast<int>(kHelpTexts.size()) ? kHelpTexts[index] : nullptr;
}

const char *getHelpIcon(int index)
{
    return index >= 0 && index < static_cast<int>(kHelpIcons.size()) ? kHelpIcons[index] : nullptr;
}

namespace {
int gInOGC = 0;
int gPauseRequests = 0;
} // namespace

void setPause()
{
    ++gPauseRequests;
}
void setinOGC(int flag)
{
    gInOGC = flag;
}
int getinOGC()
{
    return gInOGC;
}
int getPauseRequests()
{
    return gPauseRequests;
}
int checkDisplayAchievement(int)
{
    return 1;
}
int getHS()
{
    return 0;
}

void deserializeString(std::string &text)
{
    AchievementManager::GetInstance()->DeserializeFromDBString(text);
}
std::string getSerializedString()
{
    return AchievementManager::GetInstance()->SerializeToDBString();
}
void getList(int *pairs)
{
    AchievementManager::GetInstance()->getList(pairs);
}
void clearAchievements()
{
    AchievementManager::GetInstance()->InitializeToAllLocked();
}

void sendHighScores()
{
    if (!Tarv_IsLoggedIn())
        return;
    for (unsigned slot = 0; slot < paddle::savegamedata::kScoreSlots; ++slot) {
        const unsigned int newest = paddle::savegamedata::GetNewHighScore(slot);
        if (newest > paddle::savegamedata::GetLastHighScore(slot)) {
            TarvPostScore(static_cast<int>(newest), static_cast<int>(slot));
        }
    }
}

void SaveLoginToGame()
{
    Tarv_LoginSave(reinterpret_cast<unsigned char *>(nloginName), reinterpret_cast<unsigned char *>(nloginPassword));
    paddle::savegamedata::SetMerixLogin(nloginName, nloginPassword);
}

void initOGCLogin()
{
    Tarv_LoginUpdate(reinterpret_cast<unsigned char *>(nloginName), reinterpret_cast<unsigned char *>(nloginPassword),
                     nLoginState);
    std::array<int, 2 * kAchievementCount> pairs{};
    getList(pairs.data());
    Tarv_SetAchievementList(pairs.data());
}

void setFace(int face, bool save)
{
    paddle::savegamedata::SetMerixFace(static_cast<unsigned int>(face));
    if (save) {
        paddle::savegamedata::SaveMerixLogin();
        // A changed avatar goes to the account too.
        TarvUpdatePreferences();
    }
}

int getFace()
{
    return static_cast<int>(paddle::savegamedata::GetMerixFace());
}
