// The belief agent's move choice: a few positions sampled from the belief, each searched a
// few plies deep as if it were the true one (taking a king wins; otherwise material counts),
// and the move with the best average score over the samples played.
#pragma once

#include <cstddef>
#include <optional>

#include "batch/belief.hpp"

namespace murkplay::batch {

struct SearchSettings {
    std::size_t samples = 8;
    int depth = 3;  // plies, the agent's own move included
};

// The place, in the game's list of legal moves, of the move with the best average; none when
// the list is empty. The game is read for that list only, which its side's view fixes.
std::optional<std::size_t> belief_move(BeliefTracker& belief, const Game& game, SearchSettings settings);

}  // namespace murkplay::batch
