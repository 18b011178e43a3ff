// The least of the gameplay core and the multiplayer module that the
// analytics helper asks: the current level and its index, whether the
// leading paddle is steered by touch, and the two-player flags.
#ifndef GAME_GAMEPLAY_H
#define GAME_GAMEPLAY_H

namespace paddle::level {

inline constexpr unsigned kLevelCount = 8;

class Level {
public:
    explicit Level(unsigned index) : mIndex(index) {}
    [[nodiscard]] unsigned GetIndex() const { return mIndex; }

private:
    unsigned mIndex;
};

// The entry of the level table at the current level index.
[[nodiscard]] Level &GetCurrent();
// Chosen by the front-end menu; an index past the table is ignored.
void SetCurrentIndex(unsigned index);

} // namespace paddle::level

namespace paddle::player {

// Paddles register with an id and a steering; the lowest id leads.
void RegisterPaddle(int id, bool touch);
void UnregisterPaddle(int id);
void UnregisterAll();
// True when the registered paddle with the lowest id is steered by touch.
[[nodiscard]] bool IsTouchEnabled();

} // namespace paddle::player

namespace multiplayer {

// A two-player session starts over the game centre (online) or the local link.
void StartSession(bool online);
void LeaveSession();
[[nodiscard]] bool IsMultiplayer();
[[nodiscard]] bool IsOnline();

} // namespace multiplayer

#endif // GAME_GAMEPLAY_H
