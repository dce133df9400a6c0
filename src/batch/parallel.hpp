// Spreading the games of a batch over native threads. The split depends only on the number of
// games and of threads, and every game is worked on by exactly one thread, so results never
// depend on timing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

namespace murkplay::batch {

// Where chunk `chunk` of `chunks` nearly equal, contiguous chunks of [0, count) begins.
constexpr std::size_t chunk_begin(std::size_t count, std::size_t chunks, std::size_t chunk) {
    return count * chunk / chunks;
}

// Runs body(begin, end, chunk) over [0, count) cut into `threads` chunks on threads started
// for the purpose; the calling thread takes chunk 0. Returns when every chunk is done. Should
// the system refuse a thread, its chunk runs on the calling thread instead.
template <typename Body>
void for_each_chunk(std::size_t count, std::size_t threads, Body&& body) {
    threads = std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(count, 1));
    const auto bound = [&](std::size_t chunk) { return chunk_begin(count, threads, chunk); };
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

}  // namespace murkplay::batch
