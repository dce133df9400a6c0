#include "belief/view.hpp"

namespace murkplay::belief {

namespace {

std::array<std::uint8_t, piece_kind_count> counts_of(const Board& b, Color c) {
    std::array<std::uint8_t, piece_kind_count> counts{};
    for (int k = 0; k < piece_kind_count; ++k) {
        counts[k] = static_cast<std::uint8_t>(count(b.pieces(c, static_cast<PieceKind>(k))));
    }
    return counts;
}

// Everything but the visible set itself, read through a given visible set.
bool same_contents(const Board& b, Color side, const View& v) {
    const SquareSet seen = v.visible;
    if ((b.occupied & seen) != v.occupied || (b.color_sets[0] & seen) != v.white) return false;
    for (int k = 0; k < piece_kind_count; ++k) {
        if ((b.piece_sets[k] & seen) != v.kinds[k]) return false;
    }
    return b.castling[index(side)] == v.castling && b.en_passant_pawn == v.en_passant_pawn &&
           counts_of(b, opposite(side)) == v.opponent_counts;
}

}  // namespace

View view_of(const Board& b, Color side) {
    View v;
    v.visible = visible_squares(b, side);
    v.occupied = b.occupied & v.visible;
    v.white = b.color_sets[0] & v.visible;
    for (int k = 0; k < piece_kind_count; ++k) v.kinds[k] = b.piece_sets[k] & v.visible;
    v.opponent_counts = counts_of(b, opposite(side));
    v.castling = b.castling[index(side)];
    v.en_passant_pawn = b.en_passant_pawn;
    return v;
}

bool shows(const Board& b, Color side, const View& v) {
    return same_contents(b, side, v) && visible_squares(b, side) == v.visible;
}

}  // namespace murkplay::belief
