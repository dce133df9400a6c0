// The one bit mixer behind every random stream of the batch layer.
#pragma once

#include <cstdint>

namespace murkplay::batch {

// splitmix64's finaliser: every input bit reaches every output bit.
constexpr std::uint64_t mix(std::uint64_t x) {
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A counter-based stream: each draw mixes the next value of a Weyl sequence.
struct RandomStream {
    std::uint64_t state;

    std::uint64_t next() { return mix(state += 0x9E3779B97F4A7C15ull); }
    // Uniform in [0, bound) up to a bias of bound / 2^64.
    std::uint64_t below(std::uint64_t bound) { return static_cast<std::uint64_t>((static_cast<unsigned __int128>(next()) * bound) >> 64); }
};

}  // namespace murkplay::batch
