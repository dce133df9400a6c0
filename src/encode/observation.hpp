// The network's input: 64 cells of 35 features, cell-major, seen from the side to move.
#pragma once

#include <array>

#include "game/game.hpp"

namespace murkplay {

inline constexpr int observation_features = 35;
inline constexpr int observation_size = 64 * observation_features;

using Observation = std::array<float, observation_size>;

// Features per cell: 0-5 own piece seen, 6-11 opponent piece seen, 12 seen empty, 13 fog,
// 14-19 own piece remembered, 20-25 opponent piece remembered, 26 nothing remembered,
// 27 1/(age + 1), 28 and 29 the mover's castling rights (cells 0 and 1 only), 30-34 how much
// of the opponent's pawns, knights, bishops, rooks and queens is gone. With oracle set every
// square counts as seen. Black's view is mirrored top to bottom.
void build_observation(const Game& game, bool oracle, Observation& out);

}  // namespace murkplay
