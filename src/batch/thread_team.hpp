// The native threads of one batch, started once and kept waiting between calls, since a new
// thread costs about as much as stepping dozens of games.
//
// A call hands its parts over in microseconds, while waking a sleeping thread through the
// kernel takes tens of them, as long as stepping a few dozen games. So each side of a
// hand-off first spins for a while on the shared counter before it sleeps: a worker whose
// part is done watches for the next call, and the caller for the end of the parts. The
// counters the two sides write live on cache lines of their own.
//
// Every parallel call of the native code runs on a team: a batch's steps on the batch's own,
// the beliefs' updates and searches on theirs, a replay on one of its own. A part that fails
// (std::bad_alloc above all) never ends the process: its exception is carried back to the
// calling thread once every part is done.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "batch/stop.hpp"

namespace murkplay::batch {

class ThreadTeam {
public:
    ThreadTeam() = default;
    ThreadTeam(const ThreadTeam&) = delete;
    ThreadTeam& operator=(const ThreadTeam&) = delete;
    ~ThreadTeam();

    // Native threads beyond the machine's cores would only wait for one another.
    static std::size_t cores();

    // How many parts run() can run at once, at most `parts` and the cores: fewer when the
    // system refuses threads, and the caller then splits its work into that many.
    std::size_t reserve(std::size_t parts);

    // Runs job(part) for every part in [0, parts), part 0 on the calling thread, all at the same
    // time, so parts may wait for one another (barrier()); returns when all are done. `parts` is
    // at most what reserve() gave. An exception in any part is rethrown here, the calling
    // thread's own first. With `stop`, the calling thread polls it while it waits for the
    // other parts, so that an interrupt is noticed however long they take.
    void run(std::size_t parts, const std::function<void(std::size_t)>& job, Stop* stop = nullptr);

    // Runs body(begin, end) over [0, count) cut into nearly equal ranges in order, as many as
    // `threads` asks and the team gives, but never fewer than `least` items to a range; as
    // run() does otherwise.
    void for_each_range(std::size_t count, std::size_t threads, std::size_t least,
                        const std::function<void(std::size_t, std::size_t)>& body, Stop* stop = nullptr);

    // Called by every part of a run: returns once all of them have called it.
    void barrier();

private:
    void work(std::size_t index, std::uint32_t round);
    void let_go();

    std::vector<std::thread> workers_;
    // The process the workers belong to: a child of fork() inherits this object, not its threads.
    std::int64_t owner_ = 0;
    const std::function<void(std::size_t)>* job_ = nullptr;
    std::size_t parts_ = 0;
    std::mutex failure_lock_;
    std::exception_ptr failure_;
    std::atomic<bool> leaving_{false};
    // Written by the caller, read by the workers: the number of the current call.
    alignas(64) std::atomic<std::uint32_t> round_{0};
    // Written by the workers as they finish, read by the caller.
    alignas(64) std::atomic<std::uint32_t> busy_{0};
    // The barrier: parts arrived so far, and how many times it has opened.
    alignas(64) std::atomic<std::uint32_t> arrived_{0};
    alignas(64) std::atomic<std::uint32_t> opened_{0};
};

}  // namespace murkplay::batch
