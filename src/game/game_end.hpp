// How a game ends: only by the capture of a king, which the record notes without changing
// the board.
#pragma once

#include "game/game.hpp"

namespace murkplay {

constexpr bool has_lost(const Game& game, Color c) {
    return game.captured_king == index(c) || game.board.pieces(c, PieceKind::King) == 0;
}

constexpr bool is_terminal(const Game& game) {
    return game.captured_king != no_king_captured || has_lost(game, Color::White) || has_lost(game, Color::Black);
}

// +1 for a win, -1 for a loss, 0 while no king has fallen.
constexpr float terminal_value(const Game& game, Color player) {
    if (has_lost(game, Color::White)) return player == Color::White ? -1.0f : 1.0f;
    if (has_lost(game, Color::Black)) return player == Color::White ? 1.0f : -1.0f;
    return 0.0f;
}

}  // namespace murkplay
