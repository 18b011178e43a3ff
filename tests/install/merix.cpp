// Uses the installed merix: the login client's achievement list.
#include <merix/TarvClient.h>

#include <cstdio>

int main()
{
    int pairs[50];
    for (int i = 0; i < 25; ++i) {
        pairs[2 * i] = i + 1;
        pairs[2 * i + 1] = i % 3 == 0;
    }
    Tarv_SetAchievementList(pairs);
    const int *list = Tarv_GetAchievementList();
    for (int i = 0; i < 50; ++i) {
        if (list[i] != pairs[i]) {
            std::fprintf(stderr, "merix: entry %d is %d\n", i, list[i]);
            return 1;
        }
    }
    if (Tarv_IsLoggedIn()) {
        std::fputs("merix: logged in without a login\n", stderr);
        return 1;
    }
    std::puts("merix: ok");
    return 0;
}
