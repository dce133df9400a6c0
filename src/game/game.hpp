// The record of one fog-of-war game: what each side remembers, the true position, and
// which king (if any) has been captured. A plain value: cloning a game is one copy.
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

#include "rules/board.hpp"

namespace murkplay {

// What an observer last saw on a square.
struct SeenPiece {
    std::uint8_t color = nothing_remembered;  // 0 White, 1 Black, 2 nothing remembered
    std::uint8_t kind = index(PieceKind::None);

    static constexpr std::uint8_t nothing_remembered = 2;

    friend constexpr bool operator==(const SeenPiece&, const SeenPiece&) = default;
};

inline constexpr std::uint8_t no_king_captured = 2;
inline constexpr float never_seen_age = 100.0f;

struct Game {
    std::array<std::array<float, 64>, 2> memory_age;  // [observer][square]: refreshes since last seen
    std::array<std::array<SeenPiece, 64>, 2> memory_piece;
    Board board;
    std::uint8_t captured_king;  // 0 White's king taken, 1 Black's, 2 none

    friend constexpr bool operator==(const Game&, const Game&) = default;
};

static_assert(std::is_trivially_copyable_v<Game>);

// A new game on the given position: nothing remembered, then the first look around by
// the side to move.
Game new_game(const Board& board);

}  // namespace murkplay
