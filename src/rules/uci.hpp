// Moves and their UCI text (e2e4, e7e8q, e1g1). Castling is the king's two-square move and
// en passant the pawn's diagonal move: the Board tells them apart, the move does not.
#pragma once

#include <array>
#include <string_view>

#include "rules/result.hpp"
#include "rules/square.hpp"

namespace murkplay {

struct BoardMove {
    Square source = 0;
    Square destination = 0;
    PieceKind promotion = PieceKind::None;  // Knight, Bishop, Rook or Queen when present

    friend constexpr bool operator==(const BoardMove&, const BoardMove&) = default;
};

// Four or five ASCII characters, then a terminating zero.
struct UciText {
    std::array<char, 6> chars{};
    std::uint8_t length = 0;

    constexpr std::string_view view() const { return {chars.data(), length}; }
};

inline constexpr std::string_view promotion_letters = "pnbrqk";

constexpr std::array<char, 2> format_square(Square s) {
    return {static_cast<char>('a' + file_of(s)), static_cast<char>('1' + rank_of(s))};
}

constexpr UciText format_uci_move(const BoardMove& move) {
    UciText text;
    const auto from = format_square(move.source);
    const auto to = format_square(move.destination);
    text.chars = {from[0], from[1], to[0], to[1], 0, 0};
    text.length = 4;
    if (move.promotion != PieceKind::None) text.chars[text.length++] = promotion_letters[index(move.promotion)];
    return text;
}

Result<Square> parse_square(std::string_view text);
Result<BoardMove> parse_uci_move(std::string_view text);

}  // namespace murkplay
