// Squares, colours, piece kinds and 64-bit square sets: the vocabulary of every layer.
#pragma once

#include <bit>
#include <cassert>
#include <cstdint>

namespace murkplay {

// a1 = 0, b1 = 1, ..., h8 = 63.
using Square = std::uint8_t;
// Bit i stands for square i.
using SquareSet = std::uint64_t;

enum class Color : std::uint8_t { White = 0, Black = 1 };

// The numbering is shared by the board, the fog memory and the encodings; None marks
// "no piece" (an empty square in memory, or a move without promotion).
enum class PieceKind : std::uint8_t { Pawn = 0, Knight, Bishop, Rook, Queen, King, None };

inline constexpr int piece_kind_count = 6;

constexpr Color opposite(Color c) { return static_cast<Color>(static_cast<int>(c) ^ 1); }
constexpr int index(Color c) { return static_cast<int>(c); }
constexpr int index(PieceKind k) { return static_cast<int>(k); }

constexpr int file_of(Square s) { return s & 7; }
constexpr int rank_of(Square s) { return s >> 3; }
constexpr Square make_square(int file, int rank) { return static_cast<Square>(rank * 8 + file); }
// Turns the board top to bottom: rank r becomes rank 7 - r, files stay.
constexpr Square mirror(Square s) { return static_cast<Square>(s ^ 56); }

constexpr SquareSet bit(Square s) { return SquareSet{1} << s; }
constexpr bool contains(SquareSet set, Square s) { return (set >> s) & 1; }
constexpr int count(SquareSet set) { return std::popcount(set); }
constexpr Square lowest(SquareSet set) {
    assert(set != 0);
    return static_cast<Square>(std::countr_zero(set));
}

inline constexpr SquareSet file_a = 0x0101010101010101ull;
inline constexpr SquareSet rank_1 = 0xFFull;
constexpr SquareSet file_mask(int file) { return file_a << file; }
constexpr SquareSet rank_mask(int rank) { return rank_1 << (8 * rank); }

// Ranks and squares as the given colour sees them, counted from its own side of the board:
// White's rank 0 is rank 1, Black's is rank 8. Every colour-dependent rule is written once,
// for White, and reaches Black through these.
constexpr int relative_rank(Color c, int rank) { return c == Color::White ? rank : 7 - rank; }
constexpr Square relative_square(Color c, Square s) { return c == Color::White ? s : mirror(s); }
constexpr int home_rank(Color c) { return relative_rank(c, 0); }
constexpr int pawn_start_rank(Color c) { return relative_rank(c, 1); }
constexpr int last_rank(Color c) { return relative_rank(c, 7); }
// The square index step of one rank forward: towards rank 8 for White, rank 1 for Black.
constexpr int pawn_push(Color c) { return c == Color::White ? 8 : -8; }
// Every square of a set moved one rank forward; whatever leaves the board is dropped.
constexpr SquareSet advance(Color c, SquareSet squares) {
    return c == Color::White ? squares << 8 : squares >> 8;
}

// Walks a set from its lowest square upwards, the order every ordered result follows.
class SquareIterator {
public:
    constexpr explicit SquareIterator(SquareSet set) : rest_(set) {}
    constexpr Square operator*() const { return lowest(rest_); }
    constexpr SquareIterator& operator++() {
        rest_ &= rest_ - 1;
        return *this;
    }
    constexpr bool operator!=(const SquareIterator& other) const { return rest_ != other.rest_; }

private:
    SquareSet rest_;
};

struct Squares {
    SquareSet set;
    constexpr SquareIterator begin() const { return SquareIterator(set); }
    constexpr SquareIterator end() const { return SquareIterator(0); }
};

constexpr Squares squares_of(SquareSet set) { return Squares{set}; }

}  // namespace murkplay
