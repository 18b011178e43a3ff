// Uses the installed paddle-savegame: a high score saved to the preferences.
#include <game/savegamedata.h>
#include <platform/files.h>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    platform::setApplicationRoot(argv[1]);
    paddle::savegamedata::SetNewHighScore(3, 4200); // saved at once
    paddle::savegamedata::ForgetAll();
    const bool forgotten = paddle::savegamedata::GetNewHighScore(3) == 0;
    const bool loaded = paddle::savegamedata::LoadMerixLogin();
    if (!forgotten || !loaded || paddle::savegamedata::GetNewHighScore(3) != 4200 ||
        !platform::fileExists(paddle::savegamedata::PreferencesPath())) {
        std::fputs("paddle-savegame: the saved score did not come back\n", stderr);
        return 1;
    }
    std::puts("paddle-savegame: ok");
    return 0;
}
