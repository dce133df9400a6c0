// The fixed policy index of a move, from the side to move's point of view: Black's moves are
// mirrored top to bottom so that the same move shape has the same index for both colours.
#pragma once

#include <cstdint>
#include <optional>

#include "rules/uci.hpp"

namespace murkplay {

inline constexpr int action_count = 64 * 64 + 64 * 4;

// 64 * source + destination for ordinary moves; 4096 + 4 * source + (Q, R, B, N = 0..3) for
// promotions, whose destination does not enter the index. Empty for a promotion to a pawn
// or king, which the UCI reader never yields.
constexpr std::optional<int> action_index(Color side_to_move, const BoardMove& move) {
    const int source = relative_square(side_to_move, move.source);
    const int destination = relative_square(side_to_move, move.destination);
    switch (move.promotion) {
        case PieceKind::None: return 64 * source + destination;
        case PieceKind::Queen:
        case PieceKind::Rook:
        case PieceKind::Bishop:
        case PieceKind::Knight: return 64 * 64 + 4 * source + (index(PieceKind::Queen) - index(move.promotion));
        default: return std::nullopt;
    }
}

}  // namespace murkplay
