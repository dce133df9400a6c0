// Applying an action to a game, and how the game ends: only by the capture of a king.
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
