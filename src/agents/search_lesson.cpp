#include "agents/search_lesson.hpp"

#include <algorithm>
#include <vector>

#include "agents/belief_search.hpp"
#include "encode/action_index.hpp"
#include "encode/legal_slots.hpp"

namespace murkplay::agents {

void best_slots(const batch::GameBatch& batch, int depth, std::uint8_t* mask, parallel::Stop& stop) {
    std::fill(mask, mask + batch.size() * action_count, std::uint8_t{0});
    MoveList listed;
    std::vector<double> scores;
    for (std::size_t i = 0; i < batch.size() && !stop.stopped(); ++i) {
        const Board& board = batch.entry(i).game.board;
        listed.clear();
        generate_moves(board, listed);
        if (listed.size() == 0) continue;
        scores.assign(listed.size(), 0.0);
        add_move_scores(board, listed, depth, stop, scores.data());
        const double best = *std::max_element(scores.begin(), scores.end());
        std::uint8_t* row = mask + i * action_count;
        for (std::size_t m = 0; m < listed.size(); ++m) {
            if (scores[m] == best) row[slot_of(board.side_to_move, listed[m])] = 1;
        }
    }
}

}  // namespace murkplay::agents
