// Recorded games played again, for training: a game stored as its start and its moves turns
// back into what the mover saw at every ply, bit for bit, at a small fraction of the cost of
// playing it, since nothing is chosen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "batch/thread_team.hpp"
#include "encode/move_code.hpp"
#include "game/game.hpp"

namespace murkplay::batch {

// One row per ply, plies of a game after one another, games in order; null outputs are skipped.
struct ReplayOutputs {
    float* observation = nullptr;  // plies x observation_size: what the mover saw
    std::uint8_t* mask = nullptr;  // plies x action_count: the legal slots
    std::int64_t* slot = nullptr;  // the slot of the move played
    float* outcome = nullptr;      // the game's final value for the side that moved
};

struct ReplayRefusal {
    std::size_t game;
    std::size_t ply;
    MoveCode move;
};

// Game g starts from starts[g] and plays moves[offsets[g]] to moves[offsets[g + 1]]; the
// offsets ascend from 0 to moves.size(). Every move must be legal where it is played; the
// first that is not, in game order, refuses the replay. With `check_first`, every move is
// checked before any row is written, so that a refused replay leaves the outputs as they were
// (for outputs the caller keeps); otherwise the rows written so far are left. The games are
// spread over `threads` threads of `team`.
[[nodiscard]] std::optional<ReplayRefusal> replay(std::span<const Game> starts, std::span<const MoveCode> moves,
                                                  std::span<const std::int64_t> offsets, bool oracle,
                                                  bool check_first, ThreadTeam& team, std::size_t threads,
                                                  const ReplayOutputs& out);

}  // namespace murkplay::batch
