// The thread team every parallel call runs on: each item worked on exactly once, a failing
// part carried back to the caller (never ending the process), and a stop noticed while the
// caller waits for the other parts.
#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "batch/stop.hpp"
#include "batch/thread_team.hpp"

namespace murkplay::batch {
namespace {

TEST(ThreadTeam, RangesCoverEveryItemOnceInOrder) {
    ThreadTeam team;
    for (const std::size_t count : {0u, 1u, 2u, 7u, 100u}) {
        for (const std::size_t threads : {1u, 2u, 5u}) {
            for (const std::size_t least : {1u, 16u}) {
                std::vector<std::atomic<int>> seen(count);
                team.for_each_range(count, threads, least, [&](std::size_t begin, std::size_t end) {
                    EXPECT_LE(begin, end);
                    for (std::size_t i = begin; i < end; ++i) seen[i].fetch_add(1);
                });
                for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(seen[i].load(), 1) << count << " " << threads;
            }
        }
    }
}

TEST(ThreadTeam, NeverMorePartsThanCores) {
    ThreadTeam team;
    EXPECT_LE(team.reserve(1000), ThreadTeam::cores());
    EXPECT_EQ(team.reserve(1), 1u);
}

// Which part throws, and what: a worker's failure as much as the caller's comes back.
struct Failure {
    std::size_t part;
    bool out_of_memory;
};

class FailingPart : public ::testing::TestWithParam<Failure> {};

TEST_P(FailingPart, IsRethrownOnTheCallerAndTheTeamGoesOn) {
    ThreadTeam team;
    const std::size_t parts = team.reserve(2);
    const Failure failure = GetParam();
    if (failure.part >= parts) GTEST_SKIP() << "the system gave one thread";
    std::atomic<int> finished{0};
    const auto job = [&](std::size_t part) {
        if (part == failure.part) {
            if (failure.out_of_memory) throw std::bad_alloc();
            throw std::runtime_error("part failed");
        }
        finished.fetch_add(1);
    };
    if (failure.out_of_memory) {
        EXPECT_THROW(team.run(parts, job), std::bad_alloc);
    } else {
        EXPECT_THROW(team.run(parts, job), std::runtime_error);
    }
    // Every other part ran to its end before the failure came back.
    EXPECT_EQ(finished.load(), static_cast<int>(parts) - 1);
    std::atomic<int> again{0};
    team.run(parts, [&](std::size_t) { again.fetch_add(1); });
    EXPECT_EQ(again.load(), static_cast<int>(parts));
}

INSTANTIATE_TEST_SUITE_P(Parts, FailingPart,
                         ::testing::Values(Failure{0, true}, Failure{1, true}, Failure{0, false}, Failure{1, false}));

TEST(Stop, OnlyItsOwnerAsksAndEveryThreadSeesTheAnswer) {
    std::atomic<int> asked{0};
    Stop stop([&] { return asked.fetch_add(1) >= 2; });
    std::thread other([&] {
        for (int k = 0; k < 100000; ++k) EXPECT_FALSE(stop.poll());
    });
    other.join();
    EXPECT_EQ(asked.load(), 0);
    while (!stop.poll()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(asked.load(), 3);
    std::thread after([&] { EXPECT_TRUE(stop.poll()); });
    after.join();
}

TEST(ThreadTeam, TheCallerPollsTheStopWhileWorkersRun) {
    ThreadTeam team;
    const std::size_t parts = team.reserve(2);
    if (parts < 2) GTEST_SKIP() << "the system gave one thread";
    const auto began = std::chrono::steady_clock::now();
    Stop stop([&] { return std::chrono::steady_clock::now() - began > std::chrono::milliseconds(50); });
    // The worker's part lasts until the caller, idle, has noticed the stop.
    team.run(
        parts,
        [&](std::size_t part) {
            while (part == 1 && !stop.stopped()) std::this_thread::sleep_for(std::chrono::microseconds(100));
        },
        &stop);
    EXPECT_TRUE(stop.stopped());
}

}  // namespace
}  // namespace murkplay::batch
