// A Zobrist hash of a position: one random key per piece on a square, castling rights, the
// en-passant pawn and the side to move, xored together. Beliefs tell positions apart by it.
#pragma once

#include <array>
#include <cstdint>

#include "rules/board.hpp"
#include "rules/mix.hpp"

namespace murkplay {

namespace zobrist_rule {

// Keys 0-767 piece by colour, kind and square; 768-771 castling bits; 772-835 the en-passant
// pawn's square; 836 Black to move. Each is splitmix64 of its own number.
inline constexpr auto keys = [] {
    std::array<std::uint64_t, 837> table{};
    for (std::size_t i = 0; i < table.size(); ++i) table[i] = mix(0x5A0B1E57ull + i * 0x9E3779B97F4A7C15ull);
    return table;
}();

}  // namespace zobrist_rule

inline std::uint64_t board_hash(const Board& b) {
    const auto& keys = zobrist_rule::keys;
    std::uint64_t h = b.side_to_move == Color::Black ? keys[836] : 0;
    for (int c = 0; c < 2; ++c) {
        for (int k = 0; k < piece_kind_count; ++k) {
            for (const Square s : squares_of(b.piece_sets[k] & b.color_sets[c])) {
                h ^= keys[(c * piece_kind_count + k) * 64 + s];
            }
        }
        for (int right = 0; right < 2; ++right) {
            if (b.castling[c] & (1 << right)) h ^= keys[768 + c * 2 + right];
        }
    }
    if (b.en_passant_pawn.present) h ^= keys[772 + b.en_passant_pawn.square];
    return h;
}

}  // namespace murkplay
