// The network's input as codes: the same 64 cells, in the same order and orientation, each
// one-hot group given by the index of its feature that is set, and the values every cell
// shares stored once a game. Some forty times fewer bytes than the floats, and a network that
// embeds each cell reads them directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "game/game.hpp"

namespace murkplay {

// Per cell: what is seen there (the feature set among 0-13: own kind, 6 + opponent kind, 12
// seen empty, 13 fog) and what is remembered (the feature set among 14-26, less 14: own kind,
// 6 + opponent kind, 12 nothing remembered).
inline constexpr int cell_code_count = 2;
inline constexpr int seen_codes = 14;
inline constexpr int remembered_codes = 13;
inline constexpr int cell_codes_size = 64 * cell_code_count;

// Per game: the viewer's king-side and queen-side castling flags (0 or 1), then how many
// pawns, knights, bishops, rooks and queens the opponent has on the board.
inline constexpr int shared_value_count = 7;

// Ages are whole turns, as the memory counts them; feature 27 is 1 / (age + 1). A game played
// from any position holds only whole ages and reaches this cap after some 131,000 plies; an
// age past it, or between whole turns (which only a hand-made record holds), is stored
// rounded down into 0 to the cap.
inline constexpr std::uint16_t max_age_code = 65535;

struct ObservationCodes {
    std::span<std::uint8_t, cell_codes_size> cells;
    std::span<std::uint16_t, 64> ages;
    std::span<std::uint8_t, shared_value_count> shared;
};

// What build_observation shows the viewer, as codes; every entry is written.
void build_observation_codes(const Game& game, Color viewer, bool oracle, const ObservationCodes& out);

inline void build_observation_codes(const Game& game, bool oracle, const ObservationCodes& out) {
    build_observation_codes(game, game.board.side_to_move, oracle, out);
}

// Game i's codes in arrays of many games' codes, one game after another.
inline ObservationCodes observation_codes_at(std::uint8_t* cells, std::uint16_t* ages, std::uint8_t* shared,
                                             std::size_t i) {
    return {std::span<std::uint8_t, cell_codes_size>(cells + i * cell_codes_size, cell_codes_size),
            std::span<std::uint16_t, 64>(ages + i * 64, 64),
            std::span<std::uint8_t, shared_value_count>(shared + i * shared_value_count, shared_value_count)};
}

}  // namespace murkplay
