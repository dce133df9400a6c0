#include "batch/batch_beliefs.hpp"

#include "batch/random_stream.hpp"
#include "batch/parallel.hpp"
#include "game/game_end.hpp"

namespace murkplay::batch {

BatchBeliefs::BatchBeliefs(const GameBatch& batch, Color side, BeliefSettings settings)
    : side_(side), settings_(settings) {
    trackers_.reserve(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) {
        trackers_.push_back(fresh(batch.entry(i).game, i, batch.entry(i).episode));
        episodes_.push_back(batch.entry(i).episode);
    }
}

BeliefTracker BatchBeliefs::fresh(const Game& game, std::size_t i, std::uint32_t episode) const {
    BeliefSettings own = settings_;
    own.seed = mix(settings_.seed ^ mix(i ^ (std::uint64_t{episode} << 32)));
    return BeliefTracker(game, side_, own);
}

void BatchBeliefs::reset(const GameBatch& batch, std::size_t i) {
    trackers_[i] = fresh(batch.entry(i).game, i, batch.entry(i).episode);
    episodes_[i] = batch.entry(i).episode;
}

bool BatchBeliefs::acts_in(const GameBatch& batch, std::size_t i) const {
    const Entry& entry = batch.entry(i);
    return !entry.ended && !is_terminal(entry.game) && entry.game.board.side_to_move == side_;
}

std::optional<BeliefRefusal> BatchBeliefs::update(const GameBatch& batch, const MoveCode* played, std::size_t threads) {
    const auto move_of = [&](std::size_t i) { return played[i] == no_move ? std::nullopt : move_of_code(played[i]); };
    // A restarted game's belief begins again at the start; its first update owes no move if
    // the start had the side to move and nobody has moved since.
    const auto restarted = [&](std::size_t i) { return batch.entry(i).episode != episodes_[i]; };
    for (std::size_t i = 0; i < size(); ++i) {
        if (!acts_in(batch, i) || restarted(i)) continue;
        if (const auto refusal = trackers_[i].check(move_of(i), batch.entry(i).game)) return BeliefRefusal{i, *refusal};
    }
    for_each_chunk(size(), threads, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t i = begin; i < end; ++i) {
            if (restarted(i)) {
                trackers_[i] = fresh(batch.start(), i, batch.entry(i).episode);
                episodes_[i] = batch.entry(i).episode;
                if (batch.entry(i).plies == 0 || !acts_in(batch, i)) continue;
                // The side moved first since the restart if the start had it to move.
                const bool owes = trackers_[i].awaiting_move();
                (void)trackers_[i].update(owes ? move_of(i) : std::nullopt, batch.entry(i).game);
                continue;
            }
            if (acts_in(batch, i)) (void)trackers_[i].update(move_of(i), batch.entry(i).game);
        }
    });
    return std::nullopt;
}

void BatchBeliefs::choose(const GameBatch& batch, SearchSettings search, std::int64_t* positions, std::size_t threads) {
    for_each_chunk(size(), threads, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t i = begin; i < end; ++i) {
            const auto chosen =
                acts_in(batch, i) ? belief_move(trackers_[i], batch.entry(i).game, search) : std::nullopt;
            positions[i] = chosen ? static_cast<std::int64_t>(*chosen) : -1;
        }
    });
}

}  // namespace murkplay::batch
