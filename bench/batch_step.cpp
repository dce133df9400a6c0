// The self-play step of a batch written as a plain C++ loop over the core: for every game the
// legal moves and their slots, the slot mask, the observation, a random move played, and a
// restart at the ply limit or a king capture. The Python batch is measured against it, so the
// difference is what the binding and the batch's bookkeeping cost.
//
// Usage: murkplay_batch_step GAMES STEPS ROUNDS
// Prints: batch_step games=<n> steps=<s> rounds=<r> median_ns_per_game_step=<t>
//
// With --threads first, it times the batch itself (GameBatch::step by random moves, every
// output written, the listing copied out) on one native thread and on two, in wall time,
// rounds alternating, without Python in the way; --codes-threads does the same with the
// observation written as codes:
// Prints: batch_threads games=<n> one_ns=<t1> two_ns=<t2> speedup=<median> low=<min> high=<max>
//
// With --codes first, it times the batch's step on one thread with the observation as floats
// and as codes, rounds alternating, with the mask and without:
// Prints: batch_codes games=<n> mask=<0|1> floats_ns=<t1> codes_ns=<t2> speedup=<median> low=<min> high=<max>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "agents/move_choosers.hpp"
#include "batch/game_batch.hpp"
#include "encode/legal_slots.hpp"
#include "encode/observation.hpp"
#include "encode/observation_codes.hpp"
#include "game/apply.hpp"
#include "game/game_end.hpp"
#include "rules/fen.hpp"

namespace {

using namespace murkplay;

constexpr std::uint32_t max_plies = 200;

std::int64_t thread_cpu_ns() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

struct Loop {
    explicit Loop(std::size_t games)
        : start(new_game(start_board())), games(games, start), plies(games, 0), observation(games * observation_size),
          mask(games * action_count), moves(), slots() {}

    void step(std::uint64_t& random) {
        moves.clear();
        slots.clear();
        for (std::size_t i = 0; i < games.size(); ++i) {
            Game& game = games[i];
            const Color side = game.board.side_to_move;
            MoveList listed;
            generate_moves(game.board, listed);
            build_observation(game, false, std::span<float, observation_size>(&observation[i * observation_size],
                                                                              observation_size));
            write_slot_mask(side, listed, &mask[i * action_count]);
            for (const BoardMove& move : listed) {
                moves.push_back(move_code(move));
                slots.push_back(static_cast<std::int16_t>(slot_of(side, move)));
            }
            random = random * 6364136223846793005ull + 1442695040888963407ull;
            if (listed.size() == 0 || is_terminal(game) || plies[i] >= max_plies) {
                game = start;
                plies[i] = 0;
                continue;
            }
            if (!apply_move(game, listed[(random >> 33) % listed.size()]).ok()) std::abort();
            ++plies[i];
        }
    }

    Game start;
    std::vector<Game> games;
    std::vector<std::uint32_t> plies;
    std::vector<float> observation;
    std::vector<std::uint8_t> mask;
    std::vector<MoveCode> moves;
    std::vector<std::int16_t> slots;
};

// How a Stepper writes the observation, and whether it writes the mask.
struct Form {
    bool codes = false;
    bool mask = true;
};

// A GameBatch with every output an array of its own, as the Python batch writes them.
struct Stepper {
    Stepper(std::size_t games, std::uint32_t threads, Form form = {})
        : batch(std::vector<batch::Entry>(games, batch::Entry{new_game(start_board())}), new_game(start_board()),
                {.max_plies = max_plies, .auto_reset = true, .seed = 1, .threads = threads}),
          form(form), observation(form.codes ? 0 : games * observation_size),
          cells(form.codes ? games * cell_codes_size : 0),
          ages(form.codes ? games * 64 : 0), shared(form.codes ? games * shared_value_count : 0),
          mask(form.mask ? games * action_count : 0), terminated(games), truncated(games), values(2 * games),
          plies(games), played_move(games), played_slot(games), offsets(games + 1), moves(games * max_moves),
          slots(games * max_moves) {}

    void step() {
        const auto data = [](auto& v) { return v.empty() ? nullptr : v.data(); };
        batch::Outputs out{data(observation), data(mask),  terminated.data(),  truncated.data(),
                           values.data(),     plies.data(), played_move.data(), played_slot.data()};
        out.cell_codes = data(cells);
        out.ages = data(ages);
        out.shared = data(shared);
        const agents::ByAgent random(agents::Agent::Random);
        if (batch.step(random, nullptr, false, out)) std::abort();
        batch.write_listing(offsets.data(), moves.data(), slots.data());
    }

    batch::GameBatch batch;
    Form form;
    std::vector<float> observation;
    std::vector<std::uint8_t> cells;
    std::vector<std::uint16_t> ages;
    std::vector<std::uint8_t> shared;
    std::vector<std::uint8_t> mask, terminated, truncated;
    std::vector<float> values;
    std::vector<std::int32_t> plies;
    std::vector<MoveCode> played_move;
    std::vector<std::int64_t> played_slot, offsets;
    std::vector<MoveCode> moves;
    std::vector<std::int64_t> slots;
};

double wall_ns_per_game_step(Stepper& stepper, std::size_t games, int steps) {
    const auto begin = std::chrono::steady_clock::now();
    for (int s = 0; s < steps; ++s) stepper.step();
    const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - begin;
    return spent.count() / steps / double(games);
}

double median_of(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Comparison {
    double one_ns, two_ns, speedup, low, high;
};

// `one` against `two` in wall time per game-step: medians over alternating rounds.
Comparison compare(Stepper& one, Stepper& two, std::size_t games, int steps, int rounds) {
    for (int warm = 0; warm < 20; ++warm) {
        one.step();
        two.step();
    }
    std::vector<double> one_ns, two_ns, ratios;
    for (int r = 0; r < rounds; ++r) {
        // Alternating order, so that a slow phase of the machine falls on both sides alike.
        const bool one_first = r % 2 == 0;
        const double first = wall_ns_per_game_step(one_first ? one : two, games, steps);
        const double second = wall_ns_per_game_step(one_first ? two : one, games, steps);
        one_ns.push_back(one_first ? first : second);
        two_ns.push_back(one_first ? second : first);
        ratios.push_back(one_ns.back() / two_ns.back());
    }
    return {median_of(one_ns), median_of(two_ns), median_of(ratios), *std::min_element(ratios.begin(), ratios.end()),
            *std::max_element(ratios.begin(), ratios.end())};
}

int compare_threads(std::size_t games, int steps, int rounds, Form form) {
    Stepper one(games, 1, form);
    Stepper two(games, 2, form);
    const Comparison c = compare(one, two, games, steps, rounds);
    std::printf("batch_threads games=%zu codes=%d one_ns=%.1f two_ns=%.1f speedup=%.3f low=%.3f high=%.3f\n", games,
                form.codes, c.one_ns, c.two_ns, c.speedup, c.low, c.high);
    return 0;
}

int compare_codes(std::size_t games, int steps, int rounds) {
    for (const bool mask : {true, false}) {
        Stepper floats(games, 1, {.codes = false, .mask = mask});
        Stepper codes(games, 1, {.codes = true, .mask = mask});
        const Comparison c = compare(floats, codes, games, steps, rounds);
        std::printf("batch_codes games=%zu mask=%d floats_ns=%.1f codes_ns=%.1f speedup=%.3f low=%.3f high=%.3f\n",
                    games, mask, c.one_ns, c.two_ns, c.speedup, c.low, c.high);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool threads = argc == 5 && std::strcmp(argv[1], "--threads") == 0;
    const bool codes_threads = argc == 5 && std::strcmp(argv[1], "--codes-threads") == 0;
    const bool codes = argc == 5 && std::strcmp(argv[1], "--codes") == 0;
    if (threads || codes_threads || codes) {
        const auto games = static_cast<std::size_t>(std::atol(argv[2]));
        const int steps = std::atoi(argv[3]);
        const int rounds = std::atoi(argv[4]);
        if (games < 1 || steps < 1 || rounds < 1) return 1;
        if (codes) return compare_codes(games, steps, rounds);
        return compare_threads(games, steps, rounds, {.codes = codes_threads});
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s [--threads | --codes-threads | --codes] GAMES STEPS ROUNDS\n", argv[0]);
        return 1;
    }
    const auto games = static_cast<std::size_t>(std::atol(argv[1]));
    const int steps = std::atoi(argv[2]);
    const int rounds = std::atoi(argv[3]);
    if (games < 1 || steps < 1 || rounds < 1) return 1;
    Loop loop(games);
    std::uint64_t random = 1;
    for (int warm = 0; warm < 20; ++warm) loop.step(random);
    std::vector<double> per_game_step;
    for (int r = 0; r < rounds; ++r) {
        const std::int64_t begin = thread_cpu_ns();
        for (int s = 0; s < steps; ++s) loop.step(random);
        per_game_step.push_back(double(thread_cpu_ns() - begin) / double(steps) / double(games));
    }
    std::printf("batch_step games=%zu steps=%d rounds=%d median_ns_per_game_step=%.1f\n", games, steps, rounds,
                median_of(per_game_step));
    return 0;
}
