// A game as a short run of bytes, for pickling and for saving mid-game: a tag, a version, and
// every field of the record in little-endian order. Reading refuses anything that no game can
// come to, so a truncated, foreign or crafted record never yields a broken board.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "game/game.hpp"

namespace murkplay {

inline constexpr std::size_t game_bytes_size = 4 + 1 + 2 * 64 * 4 + 2 * 64 * 2 + 9 * 8 + 6;

using GameBytes = std::array<std::uint8_t, game_bytes_size>;

GameBytes write_game_bytes(const Game& game);
std::optional<Game> read_game_bytes(std::span<const std::uint8_t> bytes);

// What every game keeps, however it was played: the board's sets agree, one king a side,
// castling rights only with king and rook at home, an en-passant pawn only where it can be
// taken, a memory of real pieces and finite, non-negative ages.
bool is_consistent(const Game& game);

}  // namespace murkplay
