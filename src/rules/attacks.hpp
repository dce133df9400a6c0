// What a piece attacks: the one answer that move generation, visibility and position
// validation all use. Sliding pieces stop at the first occupied square, of either colour,
// and include it.
#pragma once

#include "rules/tables.hpp"

namespace murkplay {

template <PieceKind K>
inline SquareSet attacks(Color c, Square s, SquareSet occupied) {
    if constexpr (K == PieceKind::Pawn) return pawn_attacks(c, s);
    if constexpr (K == PieceKind::Knight) return knight_attacks(s);
    if constexpr (K == PieceKind::Bishop) return bishop_attacks(s, occupied);
    if constexpr (K == PieceKind::Rook) return rook_attacks(s, occupied);
    if constexpr (K == PieceKind::Queen) return queen_attacks(s, occupied);
    if constexpr (K == PieceKind::King) return king_attacks(s);
}

// The same for a kind known only at run time.
inline SquareSet attacks(PieceKind k, Color c, Square s, SquareSet occupied) {
    switch (k) {
        case PieceKind::Pawn: return attacks<PieceKind::Pawn>(c, s, occupied);
        case PieceKind::Knight: return attacks<PieceKind::Knight>(c, s, occupied);
        case PieceKind::Bishop: return attacks<PieceKind::Bishop>(c, s, occupied);
        case PieceKind::Rook: return attacks<PieceKind::Rook>(c, s, occupied);
        case PieceKind::Queen: return attacks<PieceKind::Queen>(c, s, occupied);
        case PieceKind::King: return attacks<PieceKind::King>(c, s, occupied);
        case PieceKind::None: break;
    }
    assert(false && "no piece attacks");
    return 0;
}

}  // namespace murkplay
