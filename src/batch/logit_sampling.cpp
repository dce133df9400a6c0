#include "batch/logit_sampling.hpp"

#include <array>
#include <cmath>
#include <limits>

#include "batch/random_stream.hpp"
#include "encode/legal_slots.hpp"
#include "game/movegen.hpp"

namespace murkplay::batch {

std::optional<Sampled> sample_move(Color side_to_move, std::span<const BoardMove> moves, const float* logits,
                                   const Sampling& sampling, std::uint64_t word) {
    // Each slot once, at its first listed move; only promotions share slots, so only they are
    // looked up among the slots taken so far.
    std::array<double, max_moves> scaled;
    std::array<std::uint16_t, max_moves> first;
    std::array<int, max_moves> slots;
    std::size_t count = 0;
    double top = -std::numeric_limits<double>::infinity();
    for (std::size_t m = 0; m < moves.size(); ++m) {
        const int slot = slot_of(side_to_move, moves[m]);
        if (moves[m].promotion != PieceKind::None) {
            bool repeated = false;
            for (std::size_t k = 0; k < count && !repeated; ++k) repeated = slots[k] == slot;
            if (repeated) continue;
        }
        const double z = static_cast<double>(logits[slot]) / sampling.temperature;
        if (std::isnan(z) || z == std::numeric_limits<double>::infinity()) return std::nullopt;
        slots[count] = slot;
        first[count] = static_cast<std::uint16_t>(m);
        scaled[count++] = z;
        top = std::max(top, z);
    }
    if (top == -std::numeric_limits<double>::infinity()) return std::nullopt;

    std::array<double, max_moves> weights;
    double total = 0.0;
    double weighted = 0.0;  // sum of weight * (z - top), for the entropy
    std::size_t best = 0;
    for (std::size_t k = 0; k < count; ++k) {
        weights[k] = 0.0;
        if (scaled[k] == -std::numeric_limits<double>::infinity()) continue;
        const double shifted = scaled[k] - top;
        weights[k] = std::exp(shifted);
        total += weights[k];
        weighted += weights[k] * shifted;
        if (scaled[k] > scaled[best]) best = k;
    }
    std::size_t chosen = best;
    if (!sampling.greedy) {
        // The first slot whose cumulative weight passes the draw; rounding can leave the draw
        // beyond the last sum, and then the last slot with any weight is taken.
        const double target = unit_interval(word) * total;
        double running = 0.0;
        for (std::size_t k = 0; k < count; ++k) {
            if (weights[k] == 0.0) continue;
            running += weights[k];
            chosen = k;
            if (target < running) break;
        }
    }
    const double log_total = std::log(total);
    return Sampled{first[chosen], static_cast<float>(scaled[chosen] - top - log_total),
                   static_cast<float>(log_total - weighted / total)};
}

}  // namespace murkplay::batch
