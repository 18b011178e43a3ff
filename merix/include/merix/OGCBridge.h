// The plain functions through which the game and the online screens reach
// each other: the achievement list, the avatar and remembered login kept in
// the game's saved data, high scores to post, and the help screen's content.
#ifndef MERIX_OGC_BRIDGE_H
#define MERIX_OGC_BRIDGE_H

#include <string>

// Set by the shell at start from the saved login: non-zero means log in
// with nloginName / nloginPassword at once.
extern int nLoginState;
extern char nloginName[64];
extern char nloginPassword[64];

// Paragraph texts and icon names of the help screen; null past the last.
[[nodiscard]] const char *getHelpText(int index);
[[nodiscard]] const char *getHelpIcon(int index);
// The game pauses while the online screens are over it; the flag says
// whether they are.
void setPause();
void setinOGC(int flag);
[[nodiscard]] int getinOGC();
// How often the screens asked the game to pause.
[[nodiscard]] int getPauseRequests();
[[nodiscard]] int checkDisplayAchievement(int achievement);
[[nodiscard]] int getHS();

void deserializeString(std::string &text);
[[nodiscard]] std::string getSerializedString();
void getList(int *pairs);
void clearAchievements();

// When logged in, posts every slot whose new high score beats the last
// posted one. A slot's last-posted score rises only when its post is
// accepted (TarvClient), so a failed post is tried again next time.
void sendHighScores();
void SaveLoginToGame();
void initOGCLogin();
void setFace(int face, bool save);
[[nodiscard]] int getFace();

#endif // MERIX_OGC_BRIDGE_H
