// The network's input: 64 cells of 35 features, cell-major, seen from the side to move.
#pragma once

#include <array>
#include <span>

#include "game/game.hpp"

namespace murkplay {

inline constexpr int observation_features = 35;
inline constexpr int observation_size = 64 * observation_features;

using Observation = std::array<float, observation_size>;

// Features per cell: 0-5 own piece seen, 6-11 opponent piece seen, 12 seen empty, 13 fog,
// 14-19 own piece remembered, 20-25 opponent piece remembered, 26 nothing remembered,
// 27 1/(age + 1), 28 and 29 the viewer's castling rights (cells 0 and 1 only), 30-34 how much
// of the opponent's pawns, knights, bishops, rooks and queens is gone. With oracle set every
// square counts as seen. Black's view is mirrored top to bottom.
//
// The viewer is the side to move when a game is encoded for its next decision; the other side
// may be shown its own view of the current board too, with the memory of its last turn.
void build_observation(const Game& game, Color viewer, bool oracle, std::span<float, observation_size> out);

inline void build_observation(const Game& game, bool oracle, std::span<float, observation_size> out) {
    build_observation(game, game.board.side_to_move, oracle, out);
}

}  // namespace murkplay
