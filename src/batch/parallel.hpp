// Spreading the games of a batch over native threads. The split depends only on the number of
// games and of threads, and every game is worked on by exactly one thread, so results never
// depend on timing.
#pragma once

#include <algorithm>
#include <barrier>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

namespace murkplay::batch {

// Runs body(begin, end, chunk) over [0, count) cut into `threads` contiguous chunks of nearly
// equal size; the calling thread takes chunk 0. Returns when every chunk is done. Should the
// system refuse a thread, its chunk runs on the calling thread instead.
template <typename Body>
void for_each_chunk(std::size_t count, std::size_t threads, Body&& body) {
    threads = std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(count, 1));
    const auto bound = [&](std::size_t chunk) { return count * chunk / threads; };
    std::vector<std::jthread> workers;
    workers.reserve(threads - 1);
    for (std::size_t chunk = 1; chunk < threads; ++chunk) {
        try {
            workers.emplace_back([&body, begin = bound(chunk), end = bound(chunk + 1), chunk] { body(begin, end, chunk); });
        } catch (const std::system_error&) {
            body(bound(chunk), bound(chunk + 1), chunk);
        }
    }
    body(bound(0), bound(1), std::size_t{0});
}

// Runs first(begin, end, chunk) on every chunk and then, once every chunk is through it and
// if proceed() says so, second(begin, end, chunk) on the same split: two passes with one set
// of threads. A chunk whose thread the system refuses runs both passes on the calling thread.
template <typename First, typename Proceed, typename Second>
void for_each_chunk_twice(std::size_t count, std::size_t threads, First&& first, Proceed&& proceed, Second&& second) {
    threads = std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(count, 1));
    const auto bound = [&](std::size_t chunk) { return count * chunk / threads; };
    std::barrier all_planned(static_cast<std::ptrdiff_t>(threads));
    const auto passes = [&](std::size_t chunk) {
        first(bound(chunk), bound(chunk + 1), chunk);
        all_planned.arrive_and_wait();
        if (proceed()) second(bound(chunk), bound(chunk + 1), chunk);
    };
    std::vector<std::size_t> own{0};
    std::vector<std::jthread> workers;
    workers.reserve(threads - 1);
    for (std::size_t chunk = 1; chunk < threads; ++chunk) {
        try {
            workers.emplace_back(passes, chunk);
        } catch (const std::system_error&) {
            own.push_back(chunk);
        }
    }
    for (const std::size_t chunk : own) first(bound(chunk), bound(chunk + 1), chunk);
    // The chunks taken over arrive here, after their first pass, and leave the barrier.
    for (std::size_t taken = 1; taken < own.size(); ++taken) all_planned.arrive_and_drop();
    all_planned.arrive_and_wait();
    if (!proceed()) return;
    for (const std::size_t chunk : own) second(bound(chunk), bound(chunk + 1), chunk);
}

}  // namespace murkplay::batch
