// Squares, colours, piece kinds and 64-bit square sets: the vocabulary of every layer.
#pragma once

#include <bit>
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
// The lowest square of a non-empty set.
constexpr Square lowest(SquareSet set) { return static_cast<Square>(__builtin_ctzll(set)); }

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
