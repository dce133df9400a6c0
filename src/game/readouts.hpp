// What a game shows a caller of its true state: the piece placement as a matrix of codes,
// and the castling rights of the side to move.
#pragma once

#include <array>
#include <cstdint>

#include "rules/board.hpp"

namespace murkplay {

// Rows from rank 8 down to rank 1, files a to h. 0 is an empty square; pawn 1 to king 6 (the
// kind number plus one), negated for Black.
using PieceMatrix = std::array<std::array<std::int8_t, 8>, 8>;

constexpr PieceMatrix piece_matrix(const Board& b) {
    PieceMatrix rows{};
    for (const Square s : squares_of(b.occupied)) {
        const auto code = static_cast<std::int8_t>(index(b.kind_on(s)) + 1);
        const bool black = contains(b.pieces(Color::Black), s) && !contains(b.pieces(Color::White), s);
        rows[7 - rank_of(s)][file_of(s)] = black ? static_cast<std::int8_t>(-code) : code;
    }
    return rows;
}

struct CastleEligibility {
    bool king_side;
    bool queen_side;
};

// The rights alone: whether the path is clear or a castling move is listed is not asked.
constexpr CastleEligibility castle_eligible(const Board& b) {
    const CastlingRights rights = b.castling[index(b.side_to_move)];
    return {(rights & king_side) != 0, (rights & queen_side) != 0};
}

}  // namespace murkplay
