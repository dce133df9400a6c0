// Each side's memory of what it last saw on every square, and how many of its own turns ago.
#pragma once

#include "game/game.hpp"

namespace murkplay {

// Looks around for the side to move: squares it sees now are remembered afresh with age 0,
// every other square grows one turn older and keeps what was last seen there.
void refresh_fog_memory(Game& game);

}  // namespace murkplay
