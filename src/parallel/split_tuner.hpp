// Whether splitting a batch's games over its native threads pays, learnt call after call.
//
// On a quiet machine two threads step a few dozen games or more faster than one. On a busy
// one, where each thread waits its turn for a core, every call waits for the part whose
// thread was scheduled last, and one thread alone is faster. So the batch times its calls
// both ways: mostly the way that has been faster lately, and now and then, in a short trial,
// the other (about 2 % of the time), to notice when the machine changes. Results never
// depend on the split, only speed does.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace murkplay::parallel {

class SplitTuner {
public:
    // The number of parts for the next call: `most` (more than one) or 1. The time the last
    // call spent is counted now.
    std::size_t next(std::size_t most);
    // Native work of the current call, on as many parts as next() gave: each piece is added.
    void spent(std::chrono::nanoseconds time) { pending_ += static_cast<double>(time.count()); }

private:
    void count(double time);
    std::size_t choose(std::size_t most);

    // A trial: this many calls the other way, the first not counted, since threads that have
    // gone to sleep wake slowly and the calls after it show the way as it runs.
    static constexpr std::uint32_t trial_calls = 4;
    // A trial starts when the calls since the last one took this many times what it should.
    static constexpr double trial_share = 50.0;
    // How much less a split call must take than one alone to be preferred: its threads also
    // spin between calls, which costs cores this timing does not see.
    static constexpr double split_margin = 0.9;

    // Recent wall time of a call, alone and split, in nanoseconds; 0 before the first trial.
    double alone_ = 0.0;
    double split_ = 0.0;
    double since_trial_ = 0.0;
    // The current trial: calls left, and the time of those counted so far.
    std::uint32_t trial_left_ = 0;
    double trial_time_ = 0.0;
    // The last call: on how many parts (0 when it was not tuned), and its time so far.
    std::size_t parts_ = 0;
    double pending_ = 0.0;
};

}  // namespace murkplay::parallel
