#include "batch/logit_sampling.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cmath>
#include <limits>

#include "batch/random_stream.hpp"
#include "encode/legal_slots.hpp"
#include "game/movegen.hpp"

namespace murkplay::batch {

namespace {

// exp(x) for x <= 0, to within a few units in the last place of a float: x = n ln 2 + r with
// |r| <= ln 2 / 2, exp(r) by its Taylor series to r^6 (the rest is below 2e-7 of it), times 2^n
// put straight into the exponent bits. Unlike std::exp it has no branch and no call, so the
// compiler runs it over several weights at once.
inline float exp_of_nonpositive(float x) {
    constexpr float log2e = 1.44269504f;
    constexpr float ln2_high = 0.693145752f;  // ln 2 in two parts, the first exact in few bits
    constexpr float ln2_low = 1.42860677e-6f;
    constexpr float lowest = -87.0f;  // beyond, the result is below the smallest normal float
    // Selections by bit masks rather than branches, which would stop the vectorising too.
    const std::uint32_t below = 0u - static_cast<std::uint32_t>(x < lowest);  // all ones when below
    const float clamped =
        std::bit_cast<float>((std::bit_cast<std::uint32_t>(x) & ~below) | (std::bit_cast<std::uint32_t>(lowest) & below));
    // Rounded to the nearest integer by adding and taking away 1.5 * 2^23, which leaves no
    // fraction bits: plain arithmetic, where a call to nearbyint would stop the vectorising.
    constexpr float round_away = 12582912.0f;
    const float n = (clamped * log2e + round_away) - round_away;
    const float r = (clamped - n * ln2_high) - n * ln2_low;
    const float series =
        1.0f + r * (1.0f + r * (0.5f + r * (1.0f / 6 + r * (1.0f / 24 + r * (1.0f / 120 + r * (1.0f / 720))))));
    const auto exponent = static_cast<std::uint32_t>(static_cast<std::int32_t>(n) + 127) << 23;
    const float scale = std::bit_cast<float>(exponent);
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(series * scale) & ~below);
}

}  // namespace

std::optional<Sampled> sample_move(Color side_to_move, std::span<const BoardMove> moves, const float* logits,
                                   const Sampling& sampling, std::uint64_t word) {
    // Each slot once, at its first listed move; only promotions share slots, so only they are
    // looked up among the slots taken so far.
    std::array<double, max_moves> raw;
    std::array<std::uint16_t, max_moves> first;
    std::array<int, max_moves> slots;
    std::size_t count = 0;
    double top = -std::numeric_limits<double>::infinity();
    bool unusable = false;  // a NaN or +inf met: found after the loop, which then runs unbranched
    for (std::size_t m = 0; m < moves.size(); ++m) {
        const int slot = slot_of(side_to_move, moves[m]);
        if (moves[m].promotion != PieceKind::None) {
            bool repeated = false;
            for (std::size_t k = 0; k < count && !repeated; ++k) repeated = slots[k] == slot;
            if (repeated) continue;
        }
        const double logit = logits[slot];
        unusable |= std::isnan(logit) || logit == std::numeric_limits<double>::infinity();
        slots[count] = slot;
        first[count] = static_cast<std::uint16_t>(m);
        raw[count++] = logit;
        top = std::max(top, logit);
    }
    if (unusable) return std::nullopt;
    if (top == -std::numeric_limits<double>::infinity()) return std::nullopt;

    // Each logit's distance below the greatest, scaled by the temperature in double precision:
    // however small the temperature, a finite logit then stays a number (the greatest scales to
    // 0), where scaling first could overflow. A multiplication rather than a division for each,
    // unless the temperature is so small that its inverse is no number.
    std::array<double, max_moves> below;
    const double inverse = 1.0 / sampling.temperature;
    if (std::isfinite(inverse)) {
        for (std::size_t k = 0; k < count; ++k) below[k] = (raw[k] - top) * inverse;
    } else {
        for (std::size_t k = 0; k < count; ++k) below[k] = (raw[k] - top) / sampling.temperature;
    }
    // The weights in single precision, where exp is cheap; the sums, the draw and the
    // logarithms stay in double.
    std::array<float, max_moves> weights;
    for (std::size_t k = 0; k < count; ++k) weights[k] = static_cast<float>(below[k]);
    for (std::size_t k = 0; k < count; ++k) weights[k] = exp_of_nonpositive(weights[k]);
    double total = 0.0;
    double weighted = 0.0;  // sum of weight * below, for the entropy
    std::size_t best = 0;
    for (std::size_t k = 0; k < count; ++k) {
        total += weights[k];
        if (weights[k] != 0.0f) weighted += static_cast<double>(weights[k]) * below[k];
        if (below[k] > below[best]) best = k;
    }
    std::size_t chosen = best;
    if (!sampling.greedy) {
        // The first slot whose cumulative weight passes the draw; rounding can leave the draw
        // beyond the last sum, and then the last slot with any weight is taken.
        const double target = unit_interval(word) * total;
        double running = 0.0;
        for (std::size_t k = 0; k < count; ++k) {
            if (weights[k] == 0.0f) continue;
            running += weights[k];
            chosen = k;
            if (target < running) break;
        }
    }
    const double log_total = std::log(total);
    return Sampled{first[chosen], static_cast<float>(below[chosen] - log_total),
                   static_cast<float>(log_total - weighted / total)};
}

void prefetch_logits(Color side_to_move, std::span<const MoveCode> listed, const float* logits) {
    for (const MoveCode code : listed) __builtin_prefetch(logits + slot_of(side_to_move, *move_of_code(code)));
}

}  // namespace murkplay::batch
