// One belief per game of a batch, all for the same side, updated together on native threads,
// and the belief agent's choice in every game. Nothing here knows Python.
//
// A belief knows only what its side has seen, so it follows a game from the game's known
// start, never from its true board as it stands. The known start of a game at ply 0 is the
// game itself: the batch's start position, or a game written into (or given to) the batch,
// which is taken to be a new known start as fen= makes one for the whole batch. A game at a
// later ply that began at the batch's start is followed from that start, and its belief owes
// the updates it missed, as long as it can still know them: the opponent's moves since, which
// it enumerates, and at most the side's own first move, which an update must then name. A
// game whose past the belief cannot know (it joined later than that, or the game was written
// into the batch and has moved since) is not followed until the batch restarts it or its
// belief is reset: following() says which games are.
//
// The same holds after a restart: a restarted game is followed again from the start when its
// belief can know what happened since.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "batch/belief.hpp"
#include "batch/belief_search.hpp"
#include "batch/game_batch.hpp"
#include "batch/stop.hpp"
#include "batch/thread_team.hpp"

namespace murkplay::batch {

struct BeliefRefusal {
    enum class Reason : std::uint8_t {
        Tracker,         // the tracker refused the update: `error` says why
        AlreadyUpdated,  // the belief already stands at the game's ply: the same update twice
        MissedUpdates,   // the game has moved on by more than the side's last turn
        Written,         // the game's plies went back: a game was written into the batch since
        NotUpdated,      // choose(): the belief has not been brought up to the game's ply
    };
    std::size_t game;
    Reason reason;
    BeliefError error = BeliefError::Stopped;
    std::uint32_t belief_ply = 0;  // the game's ply the belief stands at
    std::uint32_t game_ply = 0;
};

class BatchBeliefs {
public:
    // Each game's belief starts at the game's known start; catch_up() then pays what the
    // beliefs owe and can pay at once.
    BatchBeliefs(const GameBatch& batch, Color side, BeliefSettings settings);

    std::size_t size() const { return trackers_.size(); }
    const BeliefTracker& tracker(std::size_t i) const { return trackers_[i]; }
    // Whether game i's belief follows the game, as of its last update.
    bool following(std::size_t i) const { return followed_[i].known; }
    // Starts game i's belief afresh at the game's known start as it is now (after
    // batch[i] = game, that game); catch_up() then pays what it owes.
    void reset(const GameBatch& batch, std::size_t i);

    // played[i]: the side's move in game i since the last update, or no_move. Every followed
    // game where the side is to move is brought up to its turn: its belief must stand at the
    // side's last turn (an update missed, or the same update twice, is refused), or, joining,
    // owe no more than it can know. For a game the batch restarted, played[i] is read only if
    // the side moved first since. Every game is checked first, and the new beliefs are made
    // apart: a refused, failed or stopped update changes nothing.
    [[nodiscard]] std::optional<BeliefRefusal> update(const GameBatch& batch, const MoveCode* played,
                                                      std::size_t threads, Stop& stop);
    // As update(), for the beliefs that owe only the opponent's move since their known start;
    // the others are left as they are.
    [[nodiscard]] std::optional<BeliefRefusal> catch_up(const GameBatch& batch, std::size_t threads, Stop& stop);

    // The belief agent's move in every followed game where the side is to move, as a place in
    // the game's list of legal moves; -1 elsewhere. Refused (nothing changed) where a belief
    // has not been brought up to its game's ply.
    [[nodiscard]] std::optional<BeliefRefusal> choose(const GameBatch& batch, SearchSettings search,
                                                      std::int64_t* positions, std::size_t threads, Stop& stop);

private:
    // What a belief knows of the game it follows.
    struct Followed {
        std::uint32_t episode = 0;  // the game's restart count when the belief joined it
        std::uint32_t ply = 0;      // the game's ply the belief stands at
        bool known = false;         // whether it can know the game's past
        bool updated = false;       // whether an update brought it there, not its joining
    };
    // A belief that joins game i as the game stands now, at its known start.
    struct Joined {
        BeliefTracker tracker;
        Followed followed;
    };

    bool acts_in(const GameBatch& batch, std::size_t i) const;
    Joined join(const GameBatch& batch, std::size_t i) const;
    std::optional<BeliefRefusal> advance(const GameBatch& batch, const MoveCode* played, std::size_t threads,
                                         Stop& stop);

    Color side_;
    BeliefSettings settings_;
    std::vector<BeliefTracker> trackers_;
    std::vector<Followed> followed_;
    ThreadTeam team_;
};

}  // namespace murkplay::batch
