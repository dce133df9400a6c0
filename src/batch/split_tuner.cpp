#include "batch/split_tuner.hpp"

namespace murkplay::batch {

std::size_t SplitTuner::next(std::size_t most) {
    if (most <= 1) return 1;
    ++calls_;
    // Split first, then alone once, then whichever has been faster.
    if (split_ == 0.0) return most;
    if (alone_ == 0.0) return 1;
    const bool split = split_ <= alone_;
    const bool trial = calls_ % trial_period == 0;
    return split != trial ? most : 1;
}

void SplitTuner::record(std::size_t parts, std::chrono::nanoseconds spent) {
    // An average that forgets: the last few calls weigh most.
    double& recent = parts > 1 ? split_ : alone_;
    const auto now = static_cast<double>(spent.count()) + 1.0;
    recent = recent == 0.0 ? now : recent + (now - recent) / 4.0;
}

}  // namespace murkplay::batch
