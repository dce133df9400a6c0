// When a pawn that has just advanced two squares may be taken en passant. A board records the
// chance only when it can be used, which move generation and visibility rely on.
#pragma once

#include "rules/board.hpp"
#include "rules/tables.hpp"

namespace murkplay {

// A pawn of `taker` stands beside the pawn on `pawn`, on its rank, and the square behind it,
// where the capture lands, is empty: a pawn sent over a piece leaves no chance.
constexpr bool en_passant_usable(const Board& b, Square pawn, Color taker) {
    const SquareSet beside = b.pieces(taker, PieceKind::Pawn) & rank_mask(rank_of(pawn)) & adjacent_files(file_of(pawn));
    return beside != 0 && !contains(b.occupied, static_cast<Square>(pawn + pawn_push(taker)));
}

}  // namespace murkplay
