// One belief per game of a batch, all for the same side, updated together on native threads,
// and the belief agent's choice in every game. Nothing here knows Python.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "batch/belief.hpp"
#include "batch/belief_search.hpp"
#include "batch/game_batch.hpp"

namespace murkplay::batch {

struct BeliefRefusal {
    std::size_t game;
    BeliefError error;
};

class BatchBeliefs {
public:
    // Each game's belief starts from its true board as it stands.
    BatchBeliefs(const GameBatch& batch, Color side, BeliefSettings settings);

    std::size_t size() const { return trackers_.size(); }
    BeliefTracker& tracker(std::size_t i) { return trackers_[i]; }
    const BeliefTracker& tracker(std::size_t i) const { return trackers_[i]; }
    // Starts game i's belief afresh from its true board as it stands.
    void reset(const GameBatch& batch, std::size_t i);

    // played[i]: the side's move in game i since the last update, or no_move. Games that have
    // ended, or where the side is not to move, are left as they are; a game the batch has
    // restarted starts again from the batch's start position. Every game is checked first:
    // a refused update changes nothing.
    [[nodiscard]] std::optional<BeliefRefusal> update(const GameBatch& batch, const MoveCode* played,
                                                      std::size_t threads);

    // The belief agent's move in every game where the side is to move, as a place in the game's
    // list of legal moves; -1 elsewhere.
    void choose(const GameBatch& batch, SearchSettings search, std::int64_t* positions, std::size_t threads);

private:
    bool acts_in(const GameBatch& batch, std::size_t i) const;
    BeliefTracker fresh(const Game& game, std::size_t i, std::uint32_t episode) const;

    Color side_;
    BeliefSettings settings_;
    std::vector<BeliefTracker> trackers_;
    std::vector<std::uint32_t> episodes_;
};

}  // namespace murkplay::batch
