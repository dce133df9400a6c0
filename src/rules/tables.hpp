// Constant attack and move tables. Each table is built at compile time by the rule that
// defines it; nothing is computed when the module loads. The sliding-piece hash tables are
// generated at build time (slider_magic_generator.cpp) from the same ray-walk rule.
#pragma once

#include <array>
#include <cstdint>

#include "rules/slider_rule.hpp"
#include "rules/square.hpp"

namespace murkplay {

namespace table_rules {

template <std::size_t N>
constexpr SquareSet offsets_from(Square s, const std::array<Direction, N>& steps) {
    SquareSet result = 0;
    for (const Direction d : steps) {
        const int file = file_of(s) + d.file_step;
        const int rank = rank_of(s) + d.rank_step;
        if (on_board(file, rank)) result |= bit(make_square(file, rank));
    }
    return result;
}

inline constexpr std::array<Direction, 8> knight_steps{{{1, 2}, {2, 1}, {2, -1}, {1, -2},
                                                        {-1, -2}, {-2, -1}, {-2, 1}, {-1, 2}}};
inline constexpr std::array<Direction, 8> king_steps{{{1, 0}, {1, 1}, {0, 1}, {-1, 1},
                                                      {-1, 0}, {-1, -1}, {0, -1}, {1, -1}}};

template <typename Rule>
constexpr std::array<SquareSet, 64> per_square(Rule rule) {
    std::array<SquareSet, 64> table{};
    for (int s = 0; s < 64; ++s) table[s] = rule(static_cast<Square>(s));
    return table;
}

template <typename Rule>
constexpr std::array<std::array<SquareSet, 64>, 2> per_color_square(Rule rule) {
    return {per_square([&](Square s) { return rule(Color::White, s); }),
            per_square([&](Square s) { return rule(Color::Black, s); })};
}

}  // namespace table_rules

// Knight: (file ±1, rank ±2) and (file ±2, rank ±1), on the board.
inline constexpr auto knight_table =
    table_rules::per_square([](Square s) { return table_rules::offsets_from(s, table_rules::knight_steps); });
// King: the up to eight neighbouring squares.
inline constexpr auto king_table =
    table_rules::per_square([](Square s) { return table_rules::offsets_from(s, table_rules::king_steps); });

// Pawn captures, for a whole set of pawns at once: the two forward diagonals. Visibility
// uses it set-wise; the per-square table below is the same rule applied to one pawn.
constexpr SquareSet pawn_attack_span(Color c, SquareSet pawns) {
    const SquareSet forward = advance(c, pawns);
    return ((forward & ~file_mask(7)) << 1) | ((forward & ~file_mask(0)) >> 1);
}

// Filled for every square, even those a pawn never stands on, so no caller needs a special
// case for a pawn on its last rank.
inline constexpr auto pawn_attack_table =
    table_rules::per_color_square([](Color c, Square s) { return pawn_attack_span(c, bit(s)); });

// Pawn pushes without occupancy: one step forward, and two from the starting rank.
inline constexpr auto pawn_push_table = table_rules::per_color_square([](Color c, Square s) {
    const SquareSet one_step = advance(c, bit(s));
    return rank_of(s) == pawn_start_rank(c) ? one_step | advance(c, one_step) : one_step;
});

// The squares strictly between two squares on one line; empty when they share no line.
inline constexpr auto between_table = [] {
    std::array<std::array<SquareSet, 64>, 64> table{};
    for (int a = 0; a < 64; ++a) {
        for (const auto& directions : slider_directions) {
            for (const Direction d : directions) {
                SquareSet passed = 0;
                int file = file_of(static_cast<Square>(a)) + d.file_step;
                int rank = rank_of(static_cast<Square>(a)) + d.rank_step;
                for (; on_board(file, rank); file += d.file_step, rank += d.rank_step) {
                    const Square b = make_square(file, rank);
                    table[a][b] = passed;
                    passed |= bit(b);
                }
            }
        }
    }
    return table;
}();

inline constexpr auto adjacent_file_table = [] {
    std::array<SquareSet, 8> table{};
    for (int f = 0; f < 8; ++f) {
        if (f > 0) table[f] |= file_mask(f - 1);
        if (f < 7) table[f] |= file_mask(f + 1);
    }
    return table;
}();

// Generated at build time; see slider_magic_generator.cpp. Rook records first.
extern const std::array<SliderMagic, 128> slider_magics;
extern const std::array<SquareSet, slider_table_size> slider_attack_table;

inline SquareSet slider_attacks(Slider slider, Square s, SquareSet occupied) {
    const SliderMagic& r = slider_magics[static_cast<int>(slider) * 64 + s];
    return slider_attack_table[r.offset + (((occupied & r.mask) * r.magic) >> r.shift)] &
           line_rays[static_cast<int>(slider)][s];
}

constexpr SquareSet knight_attacks(Square s) { return knight_table[s]; }
constexpr SquareSet king_attacks(Square s) { return king_table[s]; }
constexpr SquareSet pawn_attacks(Color c, Square s) { return pawn_attack_table[index(c)][s]; }
constexpr SquareSet pawn_pushes(Color c, Square s) { return pawn_push_table[index(c)][s]; }
constexpr SquareSet between(Square a, Square b) { return between_table[a][b]; }
constexpr SquareSet adjacent_files(int file) { return adjacent_file_table[file]; }
inline SquareSet rook_attacks(Square s, SquareSet occupied) { return slider_attacks(Slider::Rook, s, occupied); }
inline SquareSet bishop_attacks(Square s, SquareSet occupied) { return slider_attacks(Slider::Bishop, s, occupied); }
inline SquareSet queen_attacks(Square s, SquareSet occupied) {
    return rook_attacks(s, occupied) | bishop_attacks(s, occupied);
}

}  // namespace murkplay
