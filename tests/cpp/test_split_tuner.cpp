// The tuner against made-up machines: it must settle on the faster way, and its trials of the
// slower way must cost only a small share of the time.
#include <chrono>

#include <gtest/gtest.h>

#include "parallel/split_tuner.hpp"

namespace murkplay::parallel {
namespace {

struct Outcome {
    double split_share;    // of the calls
    double time_over_best; // total time over what the faster way alone would take
};

// `calls` calls on a machine where a call alone takes `alone` and a split one `split`
// (microseconds), the first split call after alone ones `cold` more.
Outcome run(double alone, double split, double cold, int calls) {
    SplitTuner tuner;
    double total = 0.0;
    int splits = 0;
    std::size_t last = 1;
    for (int call = 0; call < calls; ++call) {
        const std::size_t parts = tuner.next(2);
        const double time = parts > 1 ? split + (last == 1 ? cold : 0.0) : alone;
        tuner.spent(std::chrono::nanoseconds(static_cast<long long>(time * 1000)));
        total += time;
        splits += parts > 1;
        last = parts;
    }
    return {double(splits) / calls, total / (calls * std::min(alone, split))};
}

TEST(SplitTuner, SettlesOnTheFasterWayAndTriesTheOtherRarely) {
    // A busy machine: a split call waits milliseconds for a sleeping thread.
    const Outcome busy = run(80, 800, 4000, 20000);
    EXPECT_LT(busy.split_share, 0.01);
    EXPECT_LT(busy.time_over_best, 1.05);
    // A quiet one: the split is faster once its threads are awake, though the first call
    // of each trial wakes them slowly.
    const Outcome quiet = run(80, 45, 60, 20000);
    EXPECT_GT(quiet.split_share, 0.95);
    EXPECT_LT(quiet.time_over_best, 1.05);
    // Hardly any gain: one thread, whose spinning costs nothing unseen.
    EXPECT_LT(run(80, 78, 0, 20000).split_share, 0.05);
}

}  // namespace
}  // namespace murkplay::parallel
