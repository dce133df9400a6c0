// A game's random stream: one 64-bit word per ply, a function of the seed, the game's place in
// the batch, its restart count and its ply, so no thread split or call order can change it.
// Every random choice made for a game of a batch (a random move, a tie among equal moves, a
// slot drawn from logits) takes its ply's word, which the batch hands to the chooser.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rules/mix.hpp"

namespace murkplay::batch {

constexpr std::uint64_t random_word(std::uint64_t seed, std::size_t game, std::uint32_t episode, std::uint32_t ply) {
    const std::uint64_t where = mix(game ^ (std::uint64_t{episode} << 32)) ^ mix(~std::uint64_t{ply});
    return mix(seed ^ where);
}

// One of `count` choices (count > 0).
constexpr std::size_t pick(std::uint64_t word, std::size_t count) { return static_cast<std::size_t>(word % count); }

// A number in [0, 1) from the word's top 53 bits.
constexpr double unit_interval(std::uint64_t word) { return static_cast<double>(word >> 11) * 0x1.0p-53; }

}  // namespace murkplay::batch
