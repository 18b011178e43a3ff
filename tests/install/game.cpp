// Uses the installed paddle-game: the gameplay facts the analytics reads.
#include <game/gameplay.h>

#include <cstdio>

int main()
{
    paddle::level::SetCurrentIndex(5);
    paddle::level::SetCurrentIndex(99); // past the table: ignored
    paddle::player::RegisterPaddle(2, false);
    paddle::player::RegisterPaddle(1, true);
    multiplayer::StartSession(true);
    if (paddle::level::GetCurrent().GetIndex() != 5 || !paddle::player::IsTouchEnabled() ||
        !multiplayer::IsMultiplayer() || !multiplayer::IsOnline()) {
        std::fputs("paddle-game: the gameplay facts did not hold\n", stderr);
        return 1;
    }
    std::puts("paddle-game: ok");
    return 0;
}
