#include "batch/batch_beliefs.hpp"

#include <limits>

#include "batch/random_stream.hpp"
#include "game/game_end.hpp"

namespace murkplay::batch {

namespace {

constexpr std::size_t none = std::numeric_limits<std::size_t>::max();

}  // namespace

BatchBeliefs::BatchBeliefs(const GameBatch& batch, Color side, BeliefSettings settings)
    : side_(side), settings_(settings) {
    trackers_.reserve(batch.size());
    followed_.reserve(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) {
        Joined joined = join(batch, i);
        trackers_.push_back(std::move(joined.tracker));
        followed_.push_back(joined.followed);
    }
}

BatchBeliefs::Joined BatchBeliefs::join(const GameBatch& batch, std::size_t i) const {
    const Entry& entry = batch.entry(i);
    // Since the start: the opponent's move, and before it the side's own if it moved first.
    const std::uint32_t knowable = batch.start().board.side_to_move == side_ ? 2 : 1;
    const bool at_start = entry.plies == 0;
    BeliefSettings own = settings_;
    own.seed = mix(settings_.seed ^ mix(i ^ (std::uint64_t{entry.episode} << 32)));
    // A game the belief cannot follow gets one at the batch's start, which tells nothing hidden.
    return {BeliefTracker(at_start ? entry.game : batch.start(), side_, own),
            {entry.episode, 0, at_start || (entry.from_start && entry.plies <= knowable)}};
}

void BatchBeliefs::reset(const GameBatch& batch, std::size_t i) {
    Joined joined = join(batch, i);
    trackers_[i] = std::move(joined.tracker);
    followed_[i] = joined.followed;
}

bool BatchBeliefs::acts_in(const GameBatch& batch, std::size_t i) const {
    const Entry& entry = batch.entry(i);
    return !entry.ended && !is_terminal(entry.game) && entry.game.board.side_to_move == side_;
}

std::optional<BeliefRefusal> BatchBeliefs::update(const GameBatch& batch, const MoveCode* played,
                                                  std::size_t threads, Stop& stop) {
    return advance(batch, played, threads, stop);
}

std::optional<BeliefRefusal> BatchBeliefs::catch_up(const GameBatch& batch, std::size_t threads, Stop& stop) {
    return advance(batch, nullptr, threads, stop);
}

std::optional<BeliefRefusal> BatchBeliefs::advance(const GameBatch& batch, const MoveCode* played,
                                                   std::size_t threads, Stop& stop) {
    using Reason = BeliefRefusal::Reason;
    const bool catching_up = played == nullptr;
    // Every game is looked at before any belief changes: the games the batch restarted get new
    // beliefs, kept apart until the end, and the beliefs to bring up to date are listed.
    std::vector<std::pair<std::size_t, Joined>> rejoined;
    struct Work {
        std::size_t game;
        std::optional<BoardMove> move;
        std::size_t rejoined;  // its place in `rejoined`, or none
    };
    std::vector<Work> work;
    for (std::size_t i = 0; i < size(); ++i) {
        const Entry& entry = batch.entry(i);
        const bool restarted = entry.episode != followed_[i].episode;
        if (restarted) rejoined.emplace_back(i, join(batch, i));
        const BeliefTracker& tracker = restarted ? rejoined.back().second.tracker : trackers_[i];
        const Followed followed = restarted ? rejoined.back().second.followed : followed_[i];
        if (!acts_in(batch, i) || !followed.known) continue;
        const auto refuse = [&](Reason reason, BeliefError error = BeliefError::Stopped) {
            return BeliefRefusal{i, reason, error, followed.ply, entry.plies};
        };
        // A belief that has joined at the side's turn owes nothing.
        if (entry.plies == followed.ply) {
            if (!followed.updated || catching_up) continue;
            return refuse(Reason::AlreadyUpdated);
        }
        if (entry.plies != followed.ply + (tracker.awaiting_move() ? 2 : 1)) {
            if (catching_up) continue;
            return refuse(entry.plies < followed.ply ? Reason::Written : Reason::MissedUpdates);
        }
        // After a restart, a move named is an earlier game's unless the side moved first since.
        std::optional<BoardMove> move;
        if (!catching_up && (!restarted || tracker.awaiting_move()) && played[i] != no_move) {
            move = move_of_code(played[i]);
        }
        if (tracker.awaiting_move() && !move && (catching_up || restarted)) {
            // Owed the side's own move, which nobody named: catch_up() leaves it to update(),
            // and a restarted game whose first move is not named is not followed.
            if (restarted) rejoined.back().second.followed.known = false;
            continue;
        }
        if (const auto error = tracker.check(move, entry.game)) return refuse(Reason::Tracker, *error);
        work.push_back({i, move, restarted ? rejoined.size() - 1 : none});
    }

    const auto tracker_of = [&](const Work& item) -> BeliefTracker& {
        return item.rejoined == none ? trackers_[item.game] : rejoined[item.rejoined].second.tracker;
    };
    std::vector<std::optional<BeliefError>> results(work.size());
    team_.for_each_range(
        work.size(), threads, 1,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end && !stop.stopped(); ++k) {
                results[k] = tracker_of(work[k]).prepare(work[k].move, batch.entry(work[k].game).game, stop);
            }
        },
        &stop);
    if (stop.stopped()) return BeliefRefusal{0, Reason::Tracker, BeliefError::Stopped};
    for (std::size_t k = 0; k < work.size(); ++k) {
        if (results[k]) {
            const std::size_t i = work[k].game;
            return BeliefRefusal{i, Reason::Tracker, *results[k], followed_[i].ply, batch.entry(i).plies};
        }
    }

    // Every new belief is made; from here nothing can fail.
    for (auto& [i, joined] : rejoined) {
        trackers_[i] = std::move(joined.tracker);
        followed_[i] = joined.followed;
    }
    for (const Work& item : work) {
        trackers_[item.game].commit();
        followed_[item.game].ply = batch.entry(item.game).plies;
        followed_[item.game].updated = true;
    }
    return std::nullopt;
}

std::optional<BeliefRefusal> BatchBeliefs::choose(const GameBatch& batch, SearchSettings search,
                                                  std::int64_t* positions, std::size_t threads, Stop& stop) {
    std::vector<std::size_t> work;
    for (std::size_t i = 0; i < size(); ++i) {
        positions[i] = -1;
        if (!acts_in(batch, i) || !followed_[i].known) continue;
        const Entry& entry = batch.entry(i);
        if (entry.episode != followed_[i].episode || entry.plies != followed_[i].ply) {
            return BeliefRefusal{i, BeliefRefusal::Reason::NotUpdated, BeliefError::Stopped, followed_[i].ply,
                                 entry.plies};
        }
        work.push_back(i);
    }
    // The draws are kept only when every choice is made.
    std::vector<RandomStream> streams(work.size());
    team_.for_each_range(
        work.size(), threads, 1,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end && !stop.stopped(); ++k) {
                const std::size_t i = work[k];
                streams[k] = trackers_[i].random();
                const auto chosen = belief_move(trackers_[i], batch.entry(i).game, search, streams[k], stop);
                positions[i] = chosen ? static_cast<std::int64_t>(*chosen) : -1;
            }
        },
        &stop);
    if (stop.stopped()) return BeliefRefusal{0, BeliefRefusal::Reason::Tracker, BeliefError::Stopped};
    for (std::size_t k = 0; k < work.size(); ++k) trackers_[work[k]].set_random(streams[k]);
    return std::nullopt;
}

}  // namespace murkplay::batch
