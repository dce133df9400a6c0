// The position record. A plain fixed-size value: games copy it byte for byte.
#pragma once

#include <array>
#include <type_traits>

#include "rules/castling.hpp"
#include "rules/square.hpp"

namespace murkplay {

struct OptionalSquare {
    bool present = false;
    Square square = 0;

    friend constexpr bool operator==(const OptionalSquare&, const OptionalSquare&) = default;
};

struct Board {
    std::array<SquareSet, piece_kind_count> piece_sets{};  // by kind, both colours
    std::array<SquareSet, 2> color_sets{};                 // by colour
    SquareSet occupied = 0;
    std::array<CastlingRights, 2> castling{};  // by colour
    // The pawn that has just advanced two squares and that the side to move can take:
    // the pawn's own square, not the square behind it.
    OptionalSquare en_passant_pawn;
    Color side_to_move = Color::White;

    constexpr SquareSet pieces(Color c, PieceKind k) const { return piece_sets[index(k)] & color_sets[index(c)]; }
    constexpr SquareSet pieces(Color c) const { return color_sets[index(c)]; }

    // Kinds are tested in the order Pawn, Knight, Bishop, Rook, Queen; an occupied square
    // in none of them holds a king.
    constexpr PieceKind kind_on(Square s) const {
        assert(contains(occupied, s));
        for (int k = 0; k < index(PieceKind::King); ++k) {
            if (contains(piece_sets[k], s)) return static_cast<PieceKind>(k);
        }
        return PieceKind::King;
    }

    friend constexpr bool operator==(const Board&, const Board&) = default;
};

static_assert(std::is_trivially_copyable_v<Board>);

// The invariants every accepted position keeps: piece sets pairwise disjoint, colour sets
// disjoint, and both unions equal to the occupied set.
constexpr bool sets_are_consistent(const Board& b) {
    SquareSet seen = 0;
    for (const SquareSet set : b.piece_sets) {
        if (seen & set) return false;
        seen |= set;
    }
    const SquareSet white = b.color_sets[0];
    const SquareSet black = b.color_sets[1];
    return seen == b.occupied && (white & black) == 0 && (white | black) == b.occupied;
}

// The first castling move of a colour whose right is held while its king or its rook is not
// at home, or null. A right always has both at home: it is lost when either leaves.
constexpr const CastlingMove* unbacked_castling_right(const Board& b, Color c) {
    for (const CastlingMove& castle : castling_moves_of(c)) {
        const bool at_home = contains(b.pieces(c, PieceKind::King), castle.king_from) &&
                             contains(b.pieces(c, PieceKind::Rook), castle.rook_from);
        if ((b.castling[index(c)] & castle.right) && !at_home) return &castle;
    }
    return nullptr;
}

}  // namespace murkplay
