// What a piece attacks: the one answer that move generation, visibility and position
// validation all use. Sliding pieces stop at the first occupied square, of either colour,
// and include it.
#pragma once

#include "rules/board.hpp"
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

// The pieces of `attacker` that attack `target`, sliders stopping at `occupied`. Attacks are
// symmetric: a piece of some kind on x attacks the target exactly when the same piece of the
// other colour on the target attacks x.
inline SquareSet attackers_of(const Board& b, Square target, Color attacker, SquareSet occupied) {
    const Color other = opposite(attacker);
    const SquareSet diagonal = b.piece_sets[index(PieceKind::Bishop)] | b.piece_sets[index(PieceKind::Queen)];
    const SquareSet straight = b.piece_sets[index(PieceKind::Rook)] | b.piece_sets[index(PieceKind::Queen)];
    const SquareSet found = (pawn_attacks(other, target) & b.piece_sets[index(PieceKind::Pawn)]) |
                            (knight_attacks(target) & b.piece_sets[index(PieceKind::Knight)]) |
                            (king_attacks(target) & b.piece_sets[index(PieceKind::King)]) |
                            (bishop_attacks(target, occupied) & diagonal) | (rook_attacks(target, occupied) & straight);
    return found & b.pieces(attacker);
}

}  // namespace murkplay
