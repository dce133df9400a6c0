// The ways a batch's step can name its moves, as choosers the batch calls for each game at
// its turn: the caller's positions in each game's list or policy slots, a policy's logits,
// or a built-in agent. The agents serve as replies too: they never refuse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "agents/builtin_agents.hpp"
#include "agents/logit_sampling.hpp"
#include "batch/move_chooser.hpp"

namespace murkplay::agents {

// By its place in the game's list of legal moves: one per game.
class ByPosition final : public batch::MoveChooser {
public:
    explicit ByPosition(const std::int64_t* positions) : positions_(positions) {}
    Result<batch::Chosen, batch::Refusal> choose(const batch::Turn& turn) const override;
    std::optional<batch::Refusal> check(std::size_t game, std::size_t count) const override;
    bool refuses_only_by_count() const override { return true; }

private:
    const std::int64_t* positions_;
};

// By its policy slot, one per game: the first listed move with that slot.
class BySlot final : public batch::MoveChooser {
public:
    explicit BySlot(const std::int64_t* slots) : slots_(slots) {}
    Result<batch::Chosen, batch::Refusal> choose(const batch::Turn& turn) const override;
    std::optional<batch::Refusal> check(std::size_t, std::size_t) const override { return std::nullopt; }
    bool refuses_only_by_count() const override { return false; }

private:
    const std::int64_t* slots_;
};

// Drawn from a policy's logits over the legal slots (games x action_count), by the game's
// random stream.
class ByLogits final : public batch::MoveChooser {
public:
    ByLogits(const float* logits, Sampling sampling) : logits_(logits), sampling_(sampling) {}
    Result<batch::Chosen, batch::Refusal> choose(const batch::Turn& turn) const override;
    std::optional<batch::Refusal> check(std::size_t, std::size_t) const override { return std::nullopt; }
    bool refuses_only_by_count() const override { return false; }
    // A game's logits are fetched two games ahead: drawing a game's move takes about as long
    // as one fetch from memory.
    std::size_t games_ahead() const override { return 2; }
    void prefetch(std::size_t game, Color side, std::span<const MoveCode> listed) const override;

private:
    const float* logits_;
    Sampling sampling_;
};

// By a built-in agent, from the game's random stream.
class ByAgent final : public batch::MoveChooser {
public:
    explicit ByAgent(Agent agent) : agent_(agent) {}
    Result<batch::Chosen, batch::Refusal> choose(const batch::Turn& turn) const override;
    std::optional<batch::Refusal> check(std::size_t, std::size_t) const override { return std::nullopt; }
    bool refuses_only_by_count() const override { return true; }

private:
    Agent agent_;
};

}  // namespace murkplay::agents
