// What one side knows of the true position at its turn: the squares it sees and what stands
// on them, its castling rights, whether it may take a pawn en passant (its list of moves says
// so), and how many of each kind of the opponent's pieces are left. Two positions the side
// cannot tell apart have equal views; a belief keeps exactly the positions whose view is the
// one observed.
#pragma once

#include <array>
#include <cstdint>

#include "game/movegen.hpp"
#include "rules/board.hpp"

namespace murkplay::belief {

struct View {
    SquareSet visible = 0;
    SquareSet occupied = 0;  // both within `visible`
    SquareSet white = 0;
    std::array<SquareSet, piece_kind_count> kinds{};
    std::array<std::uint8_t, piece_kind_count> opponent_counts{};  // the king's too
    CastlingRights castling = 0;
    OptionalSquare en_passant_pawn;

    friend constexpr bool operator==(const View&, const View&) = default;
};

// The view of `side` of a board on which it is to move.
View view_of(const Board& board, Color side);

// Whether the board shows `side` exactly `view`; the cheap comparisons come first, since most
// boards that fail differ on a square the view already names.
bool shows(const Board& board, Color side, const View& view);

}  // namespace murkplay::belief
