#include "parallel/split_tuner.hpp"

#include <algorithm>

namespace murkplay::parallel {

std::size_t SplitTuner::next(std::size_t most) {
    if (parts_ != 0) count(pending_ + 1.0);
    pending_ = 0.0;
    if (most <= 1) trial_left_ = 0;
    parts_ = most <= 1 ? 0 : choose(most);
    return std::max<std::size_t>(parts_, 1);
}

void SplitTuner::count(double time) {
    double& recent = parts_ > 1 ? split_ : alone_;
    if (trial_left_ == 0) {
        // An average that forgets: the last few calls weigh most.
        recent += (time - recent) / 4.0;
        since_trial_ += time;
        return;
    }
    if (--trial_left_ < trial_calls - 1) trial_time_ += time;
    if (trial_left_ == 0) recent = trial_time_ / (trial_calls - 1);
}

std::size_t SplitTuner::choose(std::size_t most) {
    const auto trial = [&](std::size_t parts) {
        trial_left_ = trial_calls;
        trial_time_ = 0.0;
        since_trial_ = 0.0;
        return parts;
    };
    if (trial_left_ != 0) return parts_ > 1 ? most : 1;
    // A trial of each way first.
    if (split_ == 0.0) return trial(most);
    if (alone_ == 0.0) return trial(1);
    const bool split = split_ < alone_ * split_margin;
    // However slow the other way has become (a split call on a busy machine can take as long
    // as ten alone), its trials take a small share of the time.
    const double other = split ? alone_ : split_;
    if (since_trial_ >= other * trial_calls * trial_share) return trial(split ? 1 : most);
    return split ? most : 1;
}

}  // namespace murkplay::parallel
