// Fog-of-war move generation and visibility. There is no check: every pseudo-legal move is
// offered, and a king is captured like any other piece.
#pragma once

#include <array>
#include <cassert>
#include <cstddef>

#include "rules/board.hpp"
#include "rules/uci.hpp"

namespace murkplay {

// Each destination is reached by at most the nearest piece on each of the eight lines into
// it and eight knights; only pawn moves onto the last rank come four times (at most three
// pawns per such square), and there are two castling moves. No position, however many
// pieces its FEN text holds, generates more.
inline constexpr std::size_t max_moves = 64 * 16 + 8 * 3 * 3 + 2;

class MoveList {
public:
    void push(const BoardMove& move) {
        assert(size_ < max_moves);
        moves_[size_++] = move;
    }
    void clear() { size_ = 0; }
    std::size_t size() const { return size_; }
    const BoardMove& operator[](std::size_t i) const { return moves_[i]; }
    const BoardMove* begin() const { return moves_.data(); }
    const BoardMove* end() const { return moves_.data() + size_; }

private:
    std::array<BoardMove, max_moves> moves_;
    std::size_t size_ = 0;
};

// Appends the moves of the side to move in the fixed order: pawns, knights, bishops, rooks,
// queens, kings (castling king side first), each by ascending source and destination.
void generate_moves(const Board& board, MoveList& moves);

// The squares a colour sees: its pieces' squares, everything they attack, what stands in
// front of its pawns, and an enemy pawn it could take en passant.
SquareSet visible_squares(const Board& board, Color c);

}  // namespace murkplay
