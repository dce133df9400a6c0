// The standard check of a move generator, and its speed: the leaves of the move tree below a
// position, counted in bulk at the last ply.
#pragma once

#include <cstdint>

#include "rules/board.hpp"

namespace murkplay {

// A move onto a king ends the game, so it is a leaf at any depth and is never made.
std::uint64_t perft(const Board& board, int depth);

}  // namespace murkplay
