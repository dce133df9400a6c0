#include "batch/thread_team.hpp"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include <unistd.h>

namespace murkplay::batch {

namespace {

std::int64_t this_process() { return static_cast<std::int64_t>(::getpid()); }

// Long enough to cover the caller's own work between two calls (building the results in
// Python, a policy's argmax), short enough that a batch left idle soon stops using a core.
constexpr std::chrono::microseconds spin_time{100};

// How often a caller that waits for long parts looks whether to stop.
constexpr std::chrono::microseconds poll_interval{200};

void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Returns the counter's value once it is no longer `old`: spinning at first, then asleep, and
// with a stop, waking now and then to poll it.
std::uint32_t await_change(const std::atomic<std::uint32_t>& counter, std::uint32_t old, Stop* stop = nullptr) {
    const auto until = std::chrono::steady_clock::now() + spin_time;
    for (int spins = 1;; ++spins) {
        const std::uint32_t now = counter.load(std::memory_order_acquire);
        if (now != old) return now;
        // The clock is read now and then: a read costs more than a pause.
        if (spins % 64 == 0 && std::chrono::steady_clock::now() > until) break;
        if (spins > 256) {
            std::this_thread::yield();
        } else {
            relax();
        }
    }
    for (;;) {
        if (stop == nullptr) {
            counter.wait(old, std::memory_order_acquire);
        } else {
            stop->poll();
            std::this_thread::sleep_for(poll_interval);
        }
        const std::uint32_t now = counter.load(std::memory_order_acquire);
        if (now != old) return now;
    }
}

}  // namespace

ThreadTeam::~ThreadTeam() {
    if (owner_ != this_process()) {
        let_go();
        return;
    }
    leaving_ = true;
    round_.fetch_add(1, std::memory_order_release);
    round_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

// Threads of another process cannot be joined or even destroyed here; their handles are
// left behind on purpose.
void ThreadTeam::let_go() {
    if (!workers_.empty()) new std::vector<std::thread>(std::move(workers_));
    workers_.clear();
}

std::size_t ThreadTeam::cores() {
    static const std::size_t count = std::max(1u, std::thread::hardware_concurrency());
    return count;
}

std::size_t ThreadTeam::reserve(std::size_t parts) {
    parts = std::min(parts, cores());
    if (owner_ != this_process()) {
        let_go();
        owner_ = this_process();
    }
    while (workers_.size() + 1 < parts) {
        try {
            workers_.emplace_back([this, index = workers_.size(), round = round_.load()] { work(index, round); });
        } catch (const std::system_error&) {
            break;
        }
    }
    return std::min(parts, workers_.size() + 1);
}

void ThreadTeam::work(std::size_t index, std::uint32_t round) {
    for (;;) {
        round = await_change(round_, round);
        if (leaving_) return;
        if (index + 1 < parts_) {
            try {
                (*job_)(index + 1);
            } catch (...) {
                const std::lock_guard lock(failure_lock_);
                if (!failure_) failure_ = std::current_exception();
            }
        }
        if (busy_.fetch_sub(1, std::memory_order_acq_rel) == 1) busy_.notify_one();
    }
}

void ThreadTeam::run(std::size_t parts, const std::function<void(std::size_t)>& job, Stop* stop) {
    if (parts <= 1) {
        job(0);
        return;
    }
    job_ = &job;
    parts_ = parts;
    failure_ = nullptr;
    // Every worker answers each round, those without a part too.
    busy_.store(static_cast<std::uint32_t>(workers_.size()), std::memory_order_relaxed);
    round_.fetch_add(1, std::memory_order_release);
    round_.notify_all();
    std::exception_ptr own;
    try {
        job(0);
    } catch (...) {
        own = std::current_exception();
    }
    for (std::uint32_t left = busy_.load(std::memory_order_acquire); left != 0;) left = await_change(busy_, left, stop);
    if (own) std::rethrow_exception(own);
    if (failure_) std::rethrow_exception(failure_);
}

void ThreadTeam::for_each_range(std::size_t count, std::size_t threads, std::size_t least,
                                const std::function<void(std::size_t, std::size_t)>& body, Stop* stop) {
    const std::size_t most = std::max<std::size_t>(count / std::max<std::size_t>(least, 1), 1);
    const std::size_t wanted = std::clamp<std::size_t>(threads, 1, most);
    const std::size_t parts = wanted > 1 ? reserve(wanted) : 1;
    run(parts, [&](std::size_t part) { body(count * part / parts, count * (part + 1) / parts); }, stop);
}

void ThreadTeam::barrier() {
    const std::uint32_t opened = opened_.load(std::memory_order_acquire);
    if (arrived_.fetch_add(1, std::memory_order_acq_rel) + 1 == parts_) {
        arrived_.store(0, std::memory_order_relaxed);
        opened_.fetch_add(1, std::memory_order_release);
        opened_.notify_all();
        return;
    }
    await_change(opened_, opened);
}

}  // namespace murkplay::batch
