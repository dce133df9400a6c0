// A lesson for a trainer: in every game of a batch, the moves that a search seeing the whole
// board finds best. No agent plays from it, since it knows what the side to move cannot see;
// a policy learning to put its probability there learns what the hidden board usually holds.
#pragma once

#include <cstdint>

#include "batch/game_batch.hpp"
#include "parallel/stop.hpp"

namespace murkplay::agents {

// mask: games x action_count, set to 1 at the slots of the side to move's moves that score
// best when searched `depth` plies deep with full sight (as add_move_scores does), else 0; a
// game with no move is all 0. Stops early, the mask then incomplete, when asked to.
void best_slots(const batch::GameBatch& batch, int depth, std::uint8_t* mask, parallel::Stop& stop);

}  // namespace murkplay::agents
