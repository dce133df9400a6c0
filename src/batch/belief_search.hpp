// The belief agent's move choice: a few positions sampled from the belief, each searched a
// few plies deep as if it were the true one (taking a king wins; otherwise material counts),
// and the move with the best average score over the samples played.
#pragma once

#include <cstddef>
#include <optional>

#include "batch/belief.hpp"
#include "batch/stop.hpp"

namespace murkplay::batch {

struct SearchSettings {
    std::size_t samples = 8;
    int depth = 3;  // plies, the agent's own move included
};

// The bounds a caller may ask for. The work grows with samples times about the number of
// legal moves to the power depth / 2 + 1: at these bounds one game's choice in a middle game
// takes a few seconds on one core.
inline constexpr std::size_t max_search_samples = 64;
inline constexpr int max_search_depth = 5;

// The place, in the game's list of legal moves, of the move with the best average; none when
// the list is empty or when asked to stop. The game is read for that list only, which its
// side's view fixes. The samples and the draw among equal moves come from `random`.
std::optional<std::size_t> belief_move(const BeliefTracker& belief, const Game& game, SearchSettings settings,
                                       RandomStream& random, Stop& stop);

}  // namespace murkplay::batch
