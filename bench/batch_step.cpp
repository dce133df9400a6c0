// The self-play step of a batch written as a plain C++ loop over the core: for every game the
// legal moves and their slots, the slot mask, the observation, a random move played, and a
// restart at the ply limit or a king capture. The Python batch is measured against it, so the
// difference is what the binding and the batch's bookkeeping cost.
//
// Usage: murkplay_batch_step GAMES STEPS ROUNDS
// Prints: batch_step games=<n> steps=<s> rounds=<r> median_ns_per_game_step=<t>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "batch/game_batch.hpp"
#include "encode/legal_slots.hpp"
#include "encode/observation.hpp"
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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s GAMES STEPS ROUNDS\n", argv[0]);
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
    std::sort(per_game_step.begin(), per_game_step.end());
    std::printf("batch_step games=%zu steps=%d rounds=%d median_ns_per_game_step=%.1f\n", games, steps, rounds,
                per_game_step[per_game_step.size() / 2]);
    return 0;
}
