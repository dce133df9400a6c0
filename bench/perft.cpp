// Pseudo-legal perft of the fog-of-war rules core: every generated move is counted, and the
// nodes are timed. This measures generate_moves and play_move alone, with no Python in the way.
// Time is the thread's CPU time, so that on a shared machine other processes' time slices
// are not counted.
//
// Usage: murkplay_perft [NAME DEPTH RUNS FEN]...
// With no arguments it runs the default set of positions. Each line printed is
//   perft <name> depth=<d> nodes=<n> runs=<r> median_ns=<t> nodes_per_second=<nps>
// so that the benchmark driver can read it back and compare the counts with other counters.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "game/perft.hpp"
#include "rules/fen.hpp"

namespace {

using namespace murkplay;

struct Job {
    std::string name;
    int depth;
    int runs;
    std::string fen;
};

std::int64_t thread_cpu_ns() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

const std::vector<Job> default_jobs = {
    {"start", 5, 5, std::string(start_fen)},
    {"middlegame", 4, 5, "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"},
    {"endgame", 5, 5, "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1"},
};

int run(const Job& job) {
    const auto board = board_from_fen(job.fen);
    if (!board) {
        std::fprintf(stderr, "invalid FEN for %s: %s\n", job.name.c_str(), job.fen.c_str());
        return 1;
    }
    std::vector<std::int64_t> times;
    std::uint64_t nodes = 0;
    for (int r = 0; r < std::max(job.runs, 1); ++r) {
        const std::int64_t start = thread_cpu_ns();
        const std::uint64_t counted = perft(*board, job.depth);
        const std::int64_t stop = thread_cpu_ns();
        if (r > 0 && counted != nodes) {
            std::fprintf(stderr, "perft of %s is not deterministic\n", job.name.c_str());
            return 1;
        }
        nodes = counted;
        times.push_back(stop - start);
    }
    std::sort(times.begin(), times.end());
    const std::size_t n = times.size();
    const double median_ns = n % 2 ? double(times[n / 2]) : (double(times[n / 2 - 1]) + double(times[n / 2])) / 2.0;
    const double nps = median_ns > 0 ? double(nodes) * 1e9 / median_ns : 0.0;
    std::printf("perft %s depth=%d nodes=%llu runs=%zu median_ns=%.0f nodes_per_second=%.0f\n", job.name.c_str(),
                job.depth, static_cast<unsigned long long>(nodes), n, median_ns, nps);
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Job> jobs;
    if (argc == 1) {
        jobs = default_jobs;
    } else if ((argc - 1) % 4 != 0) {
        std::fprintf(stderr, "usage: %s [NAME DEPTH RUNS FEN]...\n", argv[0]);
        return 1;
    } else {
        for (int i = 1; i + 3 < argc; i += 4) jobs.push_back({argv[i], std::atoi(argv[i + 1]), std::atoi(argv[i + 2]), argv[i + 3]});
    }
    for (const Job& job : jobs) {
        if (job.depth < 1) {
            std::fprintf(stderr, "depth must be at least 1\n");
            return 1;
        }
        if (const int status = run(job)) return status;
    }
    return 0;
}
