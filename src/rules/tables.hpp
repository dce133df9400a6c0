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

constexpr int forward(Color c) { return c == Color::White ? 1 : -1; }
constexpr int start_rank(Color c) { return c == Color::White ? 1 : 6; }

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

// Pawn captures: the two forward diagonals. Filled for every square, even those a pawn
// never stands on, so no caller needs a special case for a pawn on its last rank.
inline constexpr auto pawn_attack_table = table_rules::per_color_square([](Color c, Square s) {
    const int f = table_rules::forward(c);
    return table_rules::offsets_from(s, std::array<Direction, 2>{{{-1, f}, {1, f}}});
});

// Pawn pushes without occupancy: one step forward, and two from the starting rank.
inline constexpr auto pawn_push_table = table_rules::per_color_square([](Color c, Square s) {
    const int f = table_rules::forward(c);
    SquareSet result = table_rules::offsets_from(s, std::array<Direction, 1>{{{0, f}}});
    if (rank_of(s) == table_rules::start_rank(c)) {
        result |= table_rules::offsets_from(s, std::array<Direction, 1>{{{0, 2 * f}}});
    }
    return result;
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
    constexpr SquareSet file_a = 0x0101010101010101ull;
    for (int f = 0; f < 8; ++f) {
        if (f > 0) table[f] |= file_a << (f - 1);
        if (f < 7) table[f] |= file_a << (f + 1);
    }
    return table;
}();

inline constexpr auto rank_mask_table = [] {
    std::array<SquareSet, 8> table{};
    for (int r = 0; r < 8; ++r) table[r] = SquareSet{0xFF} << (8 * r);
    return table;
}();

// Castling rights: bit 0 king side, bit 1 queen side.
using CastlingRights = std::uint8_t;
inline constexpr CastlingRights king_side = 1;
inline constexpr CastlingRights queen_side = 2;

// The rights a colour loses when a move starts or ends on the square: its king's and
// rooks' home squares.
inline constexpr auto castling_loss_table = [] {
    std::array<std::array<CastlingRights, 64>, 2> table{};
    for (const Color c : {Color::White, Color::Black}) {
        const int back = c == Color::White ? 0 : 7;
        table[index(c)][make_square(0, back)] = queen_side;
        table[index(c)][make_square(4, back)] = king_side | queen_side;
        table[index(c)][make_square(7, back)] = king_side;
    }
    return table;
}();

// By the file of the king's destination: files a to d castle with the a-rook onto the
// d-file, files e to h with the h-rook onto the f-file.
struct CastleRookFiles {
    std::array<std::uint8_t, 8> source;
    std::array<std::uint8_t, 8> destination;
};
inline constexpr CastleRookFiles castle_rook_files{{0, 0, 0, 0, 7, 7, 7, 7}, {3, 3, 3, 3, 5, 5, 5, 5}};

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
constexpr SquareSet rank_mask(int rank) { return rank_mask_table[rank]; }
constexpr CastlingRights castling_loss(Color c, Square s) { return castling_loss_table[index(c)][s]; }
inline SquareSet rook_attacks(Square s, SquareSet occupied) { return slider_attacks(Slider::Rook, s, occupied); }
inline SquareSet bishop_attacks(Square s, SquareSet occupied) { return slider_attacks(Slider::Bishop, s, occupied); }
inline SquareSet queen_attacks(Square s, SquareSet occupied) {
    return rook_attacks(s, occupied) | bishop_attacks(s, occupied);
}

}  // namespace murkplay
