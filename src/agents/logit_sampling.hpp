// Drawing a move from a policy's logits: softmax(logits / temperature) over the slots of the
// legal moves only, each slot counted once however many moves share it. The slot drawn names
// the first listed move with that slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "encode/move_code.hpp"
#include "rules/uci.hpp"

namespace murkplay::agents {

struct Sampled {
    std::size_t position;  // in the list of moves
    float log_prob;        // of the slot drawn, under the distribution
    float entropy;         // of the distribution, in nats
};

struct Sampling {
    double temperature = 1.0;  // finite and above 0
    bool greedy = false;       // the most probable slot, the first listed among equals
};

// Empty when the logits cannot make a distribution: a legal slot's logit is NaN or +inf, or
// all of them are -inf (which gives the slot no probability). `logits` holds action_count
// entries, `moves` are the side to move's legal moves (not empty), `word` the ply's random word.
std::optional<Sampled> sample_move(Color side_to_move, std::span<const BoardMove> moves, const float* logits,
                                   const Sampling& sampling, std::uint64_t word);

// Asks the memory for the logits of these listed moves' slots, ahead of sample_move: the slots
// of a row lie kilobytes apart, each in a cache line of its own, and a batch's logits are
// larger than a core's cache.
void prefetch_logits(Color side_to_move, std::span<const MoveCode> listed, const float* logits);

}  // namespace murkplay::agents
