#include "game/gameplay.h"

#include <array>
#include <map>

namespace paddle::level {
namespace {

std::array<Level, kLevelCount> gLevels{Level(0), Level(1), Level(2), Level(3),
                                       Level(4), Level(5), Level(6), Level(7)};
unsigned gCurrentIndex = 0;

} // namespace

Level &GetCurrent() { return gLevels[gCurrentIndex]; }

void SetCurrentIndex(unsigned index)
{
    if (index < kLevelCount) gCurrentIndex = index;
}

} // namespace paddle::level

namespace paddle::player {
namespace {

std::map<int, bool> gPaddles; // id -> steered by touch

} // namespace

void RegisterPaddle(int id, bool touch) { gPaddles[id] = touch; }
void UnregisterPaddle(int id) { gPaddles.erase(id); }
void UnregisterAll() { gPaddles.clear(); }
bool IsTouchEnabled() { return !gPaddles.empty() && gPaddles.begin()->second; }

} // namespace paddle::player

namespace multiplayer {
namespace {

bool gIsMultiplayer = false;
bool gIsOnline = false;

} // namespace

void StartSession(bool online)
{
    gIsMultiplayer = true;
    gIsOnline = online;
}

void LeaveSession()
{
    gIsMultiplayer = false;
    gIsOnline = false;
}

bool IsMultiplayer() { return gIsMultiplayer; }
bool IsOnline() { return gIsOnline; }

} // namespace multiplayer
