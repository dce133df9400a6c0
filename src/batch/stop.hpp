// A request that long native work stop early. Every thread of the work polls it; only the
// thread that made it can learn of an interrupt (the binding asks Python whether a signal
// is waiting), so its polls now and then ask `interrupted` and tell the others through the
// flag. Work that stops leaves what it was changing as it was: its caller drops the
// half-made result.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <utility>

namespace murkplay::batch {

class Stop {
public:
    Stop() = default;
    explicit Stop(std::function<bool()> interrupted) : interrupted_(std::move(interrupted)) {}
    Stop(const Stop&) = delete;
    Stop& operator=(const Stop&) = delete;

    // Whether to stop now. Cheap enough to call at every node of a search.
    bool poll() {
        if (stopped()) return true;
        if (!interrupted_ || std::this_thread::get_id() != owner_ || ++polls_ % clock_every != 0) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_ask_) return false;
        next_ask_ = now + ask_every;
        if (interrupted_()) stopped_.store(true, std::memory_order_relaxed);
        return stopped();
    }
    bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

private:
    // Reading the clock costs more than a node of a search; asking Python costs a microsecond.
    static constexpr std::uint32_t clock_every = 64;
    static constexpr std::chrono::milliseconds ask_every{20};

    std::function<bool()> interrupted_;
    std::thread::id owner_ = std::this_thread::get_id();
    // Touched by the owner's polls only; the first poll asks.
    std::uint32_t polls_ = clock_every - 1;
    std::chrono::steady_clock::time_point next_ask_{};
    std::atomic<bool> stopped_{false};
};

}  // namespace murkplay::batch
