// Many games side by side in one block of memory, stepped together: one call chooses a move
// in every game, plays it, and writes what the next decision needs (observation, legal moves
// with their slots, mask, how each game stands) into the caller's arrays. Nothing here knows
// Python; the binding releases the interpreter around these calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include "batch/agents.hpp"
#include "batch/logit_sampling.hpp"
#include "batch/split_tuner.hpp"
#include "batch/thread_team.hpp"
#include "encode/action_index.hpp"
#include "encode/move_code.hpp"
#include "encode/observation.hpp"
#include "game/game.hpp"
#include "game/movegen.hpp"

namespace murkplay::batch {

// One game and what the batch keeps beside it: the moves played since it (re)started, how
// often it has been restarted (a game's random stream depends on both), whether it stands
// ended as last reported or written (with auto_reset, it then restarts at the next step), and
// whether it began at the batch's start position rather than as a game written into the batch
// (which is all a belief that joins it late can know of its past).
struct Entry {
    Game game;
    std::uint32_t plies = 0;
    std::uint32_t episode = 0;
    bool ended = false;
    bool from_start = false;
};

// A game as it enters a batch, written or given: its plies counted afresh, ended as it stands
// (a king taken, or no move to play), and a known start of its own.
Entry written_entry(const Game& game, std::uint32_t episode = 0);

struct Settings {
    std::uint32_t max_plies = 0;  // 0: no limit
    bool auto_reset = false;      // restart ended games at the next step, ignoring their action
    std::uint64_t seed = 0;       // of the random moves
    std::uint32_t threads = 1;    // native threads a call spreads the games over
};

inline constexpr std::uint32_t max_threads = 256;

// Fewer games than this to a thread would cost more in handing them over than they save.
inline constexpr std::size_t min_games_per_thread = 16;

// Ply counts are reported as int32: a game's count stops here rather than wrap, and no limit
// or stored count may lie beyond it.
inline constexpr std::uint32_t max_ply_count = 2147483647;

// How each game's move is named.
enum class Choice : std::uint8_t {
    Position,  // by its place in the game's list of legal moves
    Slot,      // by its policy slot; the first listed move with that slot
    Logits,    // drawn from the policy's logits over the legal slots, by the game's random stream
    Agent,     // by a built-in agent, from the game's own random stream
};

// What one step is asked to do.
struct Request {
    Choice choice = Choice::Agent;
    Agent agent = Agent::Random;           // Agent
    const std::int64_t* values = nullptr;  // Position, Slot: one per game
    const float* logits = nullptr;         // Logits: games x action_count
    Sampling sampling;
    // After its move, every game that played one and has not ended plays this agent's reply.
    std::optional<Agent> reply;
};

// Why a step was refused; nothing changed.
struct Refusal {
    enum class Reason : std::uint8_t { PositionOutOfRange, NoMoveWithSlot, NoLegalMove, UnusableLogits };
    Reason reason;
    std::size_t game;
    std::int64_t value;
    std::size_t legal_moves;
};

// Where the outputs go: the caller's arrays, game after game; a null pointer is an output the
// caller does not want. The legal moves, whose number is known only afterwards, are kept by
// the batch until the caller has arrays for them (write_listing).
struct Outputs {
    float* observation = nullptr;        // games x observation_size
    std::uint8_t* mask = nullptr;        // games x action_count, 1 for every legal slot, else 0
    std::uint8_t* terminated = nullptr;  // a king has been captured
    std::uint8_t* truncated = nullptr;   // cut off by the ply limit, or stalled with no move at all
    float* values = nullptr;             // games x 2: the value for White, for Black
    std::int32_t* plies = nullptr;       // moves played since the game (re)started
    MoveCode* played_move = nullptr;     // the move this call played, or no_move
    std::int64_t* played_slot = nullptr; // its slot, seen from the side that played it, or -1
    float* log_prob = nullptr;           // of the slot drawn from logits, or 0 where none was drawn
    float* entropy = nullptr;            // of the distribution it was drawn from, or 0
    MoveCode* reply_move = nullptr;      // the reply played after it, or no_move
    std::int64_t* reply_slot = nullptr;  // its slot, seen from the side that replied, or -1
    std::uint8_t* restarting = nullptr;  // the game restarts at the next step (auto_reset, ended)
};

class GameBatch {
public:
    GameBatch(std::vector<Entry> entries, const Game& start, Settings settings);

    std::size_t size() const { return entries_.size(); }
    const Entry& entry(std::size_t i) const { return entries_[i]; }
    const Game& start() const { return start_; }
    const Settings& settings() const { return settings_; }

    // The legal moves of every game after the last step or observation, game after game in
    // the order legal_actions_uci() lists them: how many in all, and the moves themselves with
    // the offsets (size() + 1) where each game's begin and their slots. Null outputs are skipped.
    std::size_t listed_moves() const;
    void write_listing(std::int64_t* offsets, MoveCode* moves, std::int64_t* slots) const;

    // A game written into the batch starts counting its plies afresh; whether it stands ended
    // is known at once, so a finished game restarts at the next step with auto_reset.
    void set_game(std::size_t i, const Game& game);
    void restart(std::size_t i);
    void set_threads(std::uint32_t threads) { settings_.threads = threads; }

    // Plays one move in every game as the request names it, and the reply if one is asked,
    // then reports on every game. A game that ended at the last step and is restarted plays
    // no move and its action is not read. Every game's move is checked before any is played:
    // a refused step changes nothing.
    [[nodiscard]] std::optional<Refusal> step(const Request& request, bool oracle, const Outputs& out);
    // Reports on every game as a step would, without changing any.
    void observe(bool oracle, const Outputs& out);

private:
    // What a step does to one game, decided before anything is played.
    struct Plan {
        enum class Kind : std::uint8_t { Keep, Play, Restart } kind = Kind::Keep;
        BoardMove move;
        float log_prob = 0.0f;
        float entropy = 0.0f;
    };

    std::uint64_t random_word(std::size_t i) const;
    // The refusals a step by position or by an agent can meet, found before any thread starts.
    std::optional<Refusal> check(const Request& request) const;
    // Game i's plan, from the moves its last report listed (`listed`) while they stand, else
    // from moves generated afresh; `moves` is room to list them.
    std::optional<Refusal> plan(std::size_t i, const MoveCode* listed, MoveList& moves, const Request& request);
    // Plays game i's plan and the reply, if any, then reports on it; `moves` is room to list them.
    void report(std::size_t i, std::size_t part, bool oracle, std::optional<Agent> reply, const Outputs& out,
                MoveList& moves);
    // How many parts the games are split into this time, threads permitting; there are at
    // least that many chunks afterwards.
    std::size_t parts();
    // Runs job(part) over `count` parts, timing the work for the tuner.
    void run(std::size_t count, const std::function<void(std::size_t)>& job) const;
    std::size_t part_begin(std::size_t part, std::size_t parts) const { return size() * part / parts; }
    // One part's reports, its listing emptied first: a refused step keeps the last one.
    void report_part(std::size_t part, std::size_t parts, bool oracle, std::optional<Agent> reply, const Outputs& out);

    std::vector<Entry> entries_;
    Game start_;
    Settings settings_;
    std::vector<Plan> plans_;
    // Each thread lists the moves of its own games here, on cache lines of its own; the parts
    // are ranges of games in order, so one after another they are in game order. The next
    // step plays from this listing instead of generating the moves again. Room for as many
    // moves as its games can have is reserved before a step changes anything, so that no
    // step fails halfway for want of memory.
    struct alignas(64) ChunkMoves {
        std::vector<MoveCode> moves;
    };
    std::vector<ChunkMoves> chunks_;
    // Into how many parts the last report split the games: its listing is in the first chunks.
    std::size_t listed_parts_ = 0;
    std::vector<std::uint32_t> counts_;
    // A step's refusals and failures, one per part, kept from call to call.
    std::vector<std::optional<Refusal>> refused_;
    std::vector<std::exception_ptr> failed_;
    // Whether game i's moves in the listing are those of the game as it stands: not after the
    // game was written or restarted from outside.
    std::vector<std::uint8_t> listed_;
    // Made at the first call on more than one thread; write_listing uses it as well.
    mutable std::unique_ptr<ThreadTeam> team_;
    // Timing is no part of the batch's value, and write_listing's counts too.
    mutable SplitTuner tuner_;
};

}  // namespace murkplay::batch
