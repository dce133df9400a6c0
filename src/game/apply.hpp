// Applying an action to a game.
#pragma once

#include "game/game.hpp"
#include "rules/play_move.hpp"
#include "rules/result.hpp"

namespace murkplay {

enum class Applied : std::uint8_t { Played, KingCaptured };

// A move onto a king records the capture and leaves the Board as it was; any other move is
// played. Either way the side then to move looks around. A refused move changes nothing.
// The source is checked first, so a malformed action can never end the game.
Result<Applied, MoveRefusal> apply_move(Game& game, const BoardMove& move);

}  // namespace murkplay
