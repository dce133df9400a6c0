// splitmix64's finaliser: every input bit reaches every output bit. The board hash's keys and
// every random stream above the rules are made with it.
#pragma once

#include <cstdint>

namespace murkplay {

constexpr std::uint64_t mix(std::uint64_t x) {
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace murkplay
