// What a step asks of whoever names its moves: for each game at its turn, a place in the
// game's list of legal moves. The choosers (the caller's positions or slots, a policy's
// logits, the built-in agents) live above the batch, which knows only this interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "batch/random_stream.hpp"
#include "encode/move_code.hpp"
#include "game/game.hpp"
#include "game/movegen.hpp"
#include "rules/result.hpp"

namespace murkplay::batch {

// Why a step was refused; nothing changed.
struct Refusal {
    enum class Reason : std::uint8_t { PositionOutOfRange, NoMoveWithSlot, NoLegalMove, UnusableLogits };
    Reason reason;
    std::size_t game;
    std::int64_t value;
    std::size_t legal_moves;
};

// One game at its turn, as a step shows it to a chooser. Its legal moves are decoded from the
// batch's listing only when asked for: a choice by position or a random one reads one move.
class Turn {
public:
    // The game's place in the batch, its record, and where its random stream stands (the seed,
    // its restart count, its ply). `listed`: its moves as its last report listed them, or null,
    // and then `moves` already holds them; `moves` is room to decode them into otherwise.
    Turn(std::size_t game, const Game& record, std::uint64_t seed, std::uint32_t episode, std::uint32_t ply,
         const MoveCode* listed, std::size_t count, MoveList& moves)
        : game_(game), record_(record), seed_(seed), episode_(episode), ply_(ply), listed_(listed), count_(count),
          moves_(moves) {}

    std::size_t game() const { return game_; }
    const Board& board() const { return record_.board; }
    Color side() const { return record_.board.side_to_move; }
    // The ply's word of the game's random stream: every random choice for this turn takes it.
    std::uint64_t word() const { return random_word(seed_, game_, episode_, ply_); }
    // How many legal moves the side has: at least one.
    std::size_t count() const { return count_; }
    // All of them, in generated order.
    const MoveList& moves() const {
        if (moves_.size() != count_) {
            for (std::size_t k = 0; k < count_; ++k) moves_.push(*move_of_code(listed_[k]));
        }
        return moves_;
    }
    BoardMove move(std::size_t position) const {
        return listed_ != nullptr ? *move_of_code(listed_[position]) : moves_[position];
    }
    Refusal refusal(Refusal::Reason reason, std::int64_t value) const { return {reason, game_, value, count_}; }

private:
    std::size_t game_;
    const Game& record_;
    std::uint64_t seed_;
    std::uint32_t episode_;
    std::uint32_t ply_;
    const MoveCode* listed_;
    std::size_t count_;
    MoveList& moves_;
};

// A chooser's answer: the move's place in the list, and for a move drawn from a distribution,
// what the draw reports.
struct Chosen {
    std::size_t position = 0;
    float log_prob = 0.0f;
    float entropy = 0.0f;
};

// Called on the batch's threads, for many games at once: a chooser changes nothing as it
// chooses.
class MoveChooser {
public:
    virtual ~MoveChooser() = default;

    virtual Result<Chosen, Refusal> choose(const Turn& turn) const = 0;

    // A refusal that game `game`'s number of legal moves (at least one) decides alone. When a
    // chooser refuses in no other way (and takes no memory as it chooses, so cannot fail), a
    // step checks every game first and each thread then plays its games as soon as it has
    // chosen them; otherwise every game's move is chosen before any is played.
    virtual std::optional<Refusal> check(std::size_t game, std::size_t count) const = 0;
    virtual bool refuses_only_by_count() const = 0;

    // How many games ahead of the one choosing prefetch() is told of, 0 for none: for a
    // chooser that reads memory the game's moves point into.
    virtual std::size_t games_ahead() const { return 0; }
    virtual void prefetch(std::size_t /*game*/, Color /*side*/, std::span<const MoveCode> /*listed*/) const {}
};

}  // namespace murkplay::batch
