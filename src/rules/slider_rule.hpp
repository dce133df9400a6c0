// The rule every sliding-piece table is generated from: walk each direction from the
// square, up to and including the first occupied square or to the board edge. The
// build-time magic generator and the constexpr ray tables both use it, so the lookups
// and the rule they are proven against cannot drift apart.
#pragma once

#include <array>

#include "rules/square.hpp"

namespace murkplay {

// Orthogonal first: the two halves of the ray and magic tables follow this order.
enum class Slider : std::uint8_t { Rook = 0, Bishop = 1 };

struct Direction {
    int file_step;
    int rank_step;
};

inline constexpr std::array<std::array<Direction, 4>, 2> slider_directions{{
    {{{1, 0}, {-1, 0}, {0, 1}, {0, -1}}},
    {{{1, 1}, {1, -1}, {-1, 1}, {-1, -1}}},
}};

constexpr bool on_board(int file, int rank) { return file >= 0 && file < 8 && rank >= 0 && rank < 8; }

constexpr SquareSet walk_rays(Square s, SquareSet occupied, Slider slider) {
    SquareSet result = 0;
    for (const Direction d : slider_directions[static_cast<int>(slider)]) {
        int file = file_of(s) + d.file_step;
        int rank = rank_of(s) + d.rank_step;
        for (; on_board(file, rank); file += d.file_step, rank += d.rank_step) {
            const Square to = make_square(file, rank);
            result |= bit(to);
            if (contains(occupied, to)) break;
        }
    }
    return result;
}

// The blockers that can change the attack set: each ray without its board-edge square,
// since a piece there stops nothing further.
constexpr SquareSet relevant_blockers(Square s, Slider slider) {
    SquareSet result = 0;
    for (const Direction d : slider_directions[static_cast<int>(slider)]) {
        int file = file_of(s) + d.file_step;
        int rank = rank_of(s) + d.rank_step;
        for (; on_board(file + d.file_step, rank + d.rank_step); file += d.file_step, rank += d.rank_step) {
            result |= bit(make_square(file, rank));
        }
    }
    return result;
}

// Indexed [slider][square]: rook_rays in the first half, bishop_rays in the second.
inline constexpr auto line_rays = [] {
    std::array<std::array<SquareSet, 64>, 2> table{};
    for (int slider = 0; slider < 2; ++slider) {
        for (int s = 0; s < 64; ++s) {
            table[slider][s] = walk_rays(static_cast<Square>(s), 0, static_cast<Slider>(slider));
        }
    }
    return table;
}();

constexpr SquareSet rook_rays(Square s) { return line_rays[0][s]; }
constexpr SquareSet bishop_rays(Square s) { return line_rays[1][s]; }

// The hash record of one (slider, square) pair; the lookup is
// table[offset + ((occupied & mask) * magic >> shift)] & rays.
struct SliderMagic {
    std::uint64_t magic;
    SquareSet mask;
    std::uint32_t offset;
    std::uint8_t shift;
};

// One window of 2^(mask size) entries per record, the 64 bishop windows first:
// 5,248 bishop entries and 102,400 rook entries.
inline constexpr std::size_t slider_table_size = 107648;

}  // namespace murkplay
