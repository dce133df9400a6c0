// A move as one 16-bit number, for arrays: source + 64 * destination + 4096 * promotion, the
// promotion being the piece kind's number (knight 1 to queen 4) or 0 for none. Unlike the
// action index it is lossless and does not depend on the side to move.
#pragma once

#include <cstdint>
#include <optional>

#include "rules/uci.hpp"

namespace murkplay {

using MoveCode = std::uint16_t;

// What the arrays hold where there is no move.
inline constexpr MoveCode no_move = 0xFFFF;

constexpr MoveCode move_code(const BoardMove& move) {
    const int promotion = move.promotion == PieceKind::None ? 0 : index(move.promotion);
    return static_cast<MoveCode>(move.source + 64 * move.destination + 4096 * promotion);
}

// Empty for a number that no move has (a promotion to a pawn or a king, or beyond).
constexpr std::optional<BoardMove> move_of_code(MoveCode code) {
    const int promotion = code / 4096;
    if (promotion > index(PieceKind::Queen)) return std::nullopt;
    return BoardMove{static_cast<Square>(code % 64), static_cast<Square>(code / 64 % 64),
                     promotion == 0 ? PieceKind::None : static_cast<PieceKind>(promotion)};
}

}  // namespace murkplay
