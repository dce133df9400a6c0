// Whether splitting a batch's games over its native threads pays, learnt call after call.
//
// On a quiet machine two threads step a few dozen games or more faster than one. On a busy
// one, where each thread waits its turn for a core, every call waits for the part whose
// thread was scheduled last, and one thread alone is faster. So the batch times its calls
// both ways: mostly the way that has been faster lately, and now and then the other, to
// notice when the machine changes. Results never depend on the split, only speed does.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace murkplay::batch {

class SplitTuner {
public:
    // The number of parts for the next call: `most` (more than one) or 1.
    std::size_t next(std::size_t most);
    // How long a call on `parts` parts took.
    void record(std::size_t parts, std::chrono::nanoseconds spent);

private:
    // One call in this many tries the way that is not the faster one.
    static constexpr std::uint32_t trial_period = 32;

    // Recent wall time of a call, alone and split, in nanoseconds; 0 before the first.
    double alone_ = 0.0;
    double split_ = 0.0;
    std::uint32_t calls_ = 0;
};

}  // namespace murkplay::batch
