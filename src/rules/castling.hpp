// Castling: the rights a side holds, and the geometry of each castling move in one record
// that move generation, making a move, FEN validation and the loss of rights all read.
#pragma once

#include <array>
#include <cstdint>

#include "rules/square.hpp"

namespace murkplay {

// One byte per colour: bit 0 the king-side right, bit 1 the queen-side right.
using CastlingRights = std::uint8_t;
inline constexpr CastlingRights king_side = 1;
inline constexpr CastlingRights queen_side = 2;

// A castling move is the king's two-square step from its home square; the rook jumps over it.
struct CastlingMove {
    Color color;
    CastlingRights right;
    Square king_from;
    Square king_to;
    Square rook_from;
    Square rook_to;
    SquareSet must_be_empty;  // every square between king and rook
};

namespace castling_rule {

// Written for White on rank 1 by file; Black's is the same on rank 8.
constexpr CastlingMove on_home_rank(Color c, CastlingRights right, int king_to, int rook_from, int rook_to,
                                    SquareSet empty_files_on_rank_1) {
    const int home = home_rank(c);
    return {c,
            right,
            make_square(4, home),
            make_square(king_to, home),
            make_square(rook_from, home),
            make_square(rook_to, home),
            empty_files_on_rank_1 << (8 * home)};
}

constexpr std::array<CastlingMove, 2> moves_of(Color c) {
    return {on_home_rank(c, king_side, 6, 7, 5, bit(5) | bit(6)),
            on_home_rank(c, queen_side, 2, 0, 3, bit(1) | bit(2) | bit(3))};
}

}  // namespace castling_rule

// By colour, the king side first: the order in which castling moves are listed.
inline constexpr std::array<std::array<CastlingMove, 2>, 2> castling_moves{
    castling_rule::moves_of(Color::White), castling_rule::moves_of(Color::Black)};

constexpr const std::array<CastlingMove, 2>& castling_moves_of(Color c) { return castling_moves[index(c)]; }

// The rights a colour loses when a move starts or ends on a square: leaving its king's home
// square loses both, a rook's corner the right that rook castles with.
inline constexpr auto castling_loss_table = [] {
    std::array<std::array<CastlingRights, 64>, 2> table{};
    for (const auto& moves : castling_moves) {
        for (const CastlingMove& m : moves) {
            table[index(m.color)][m.king_from] |= m.right;
            table[index(m.color)][m.rook_from] |= m.right;
        }
    }
    return table;
}();

constexpr CastlingRights castling_loss(Color c, Square s) { return castling_loss_table[index(c)][s]; }

}  // namespace murkplay
