// The core keeps no mutable state outside the record it is handed, so the binding may run it
// on any number of threads at once. Games played side by side on several threads must end
// exactly as when played one after another, and many threads may read one game at once.
// Built with ThreadSanitizer, these tests also catch a hidden write to shared data (a lazily
// filled table, a cache behind a const reference) that plain results would not show.
#include <bit>
#include <cstdint>
#include <random>
#include <string_view>
#include <thread>
#include <vector>

#include "encode/observation.hpp"
#include "game/apply.hpp"
#include "game/game_end.hpp"
#include "game/movegen.hpp"
#include "test_support.hpp"

namespace murkplay {
namespace {

using testing::board_of;

constexpr int thread_count = 4;
constexpr int game_count = 24;
constexpr int max_plies = 160;

constexpr std::string_view fens[] = {
    start_fen,
    "r3k2r/pppq1ppp/2n5/3pP3/8/2N5/PPP2PPP/R3K2R w KQkq d6 0 1",
    "4k3/1P4p1/8/8/8/8/1p4P1/4K3 b - - 0 1",
};

std::uint64_t mix(std::uint64_t digest, std::uint64_t value) { return (digest ^ value) * 0x100000001B3ull; }

std::uint64_t digest_of(const Observation& observation, std::uint64_t digest) {
    for (const float value : observation) digest = mix(digest, std::bit_cast<std::uint32_t>(value));
    return digest;
}

// What one game leaves behind: its last record and a digest of every observation on the way.
struct Outcome {
    Game game{};
    std::uint64_t digest = 0;
    int plies = 0;
    friend bool operator==(const Outcome&, const Outcome&) = default;
};

// The random stream comes from the game's number, never from the thread that plays it.
Outcome play(const Board& start, int number) {
    std::mt19937_64 random(0x5EED0000u + static_cast<unsigned>(number));
    Outcome outcome{new_game(start), 0xCBF29CE484222325ull, 0};
    Observation observation;
    for (; outcome.plies < max_plies && !is_terminal(outcome.game); ++outcome.plies) {
        MoveList moves;
        generate_moves(outcome.game.board, moves);
        if (moves.size() == 0) break;
        build_observation(outcome.game, outcome.plies % 2 == 1, observation);
        outcome.digest = digest_of(observation, outcome.digest);
        const BoardMove move = moves[random() % moves.size()];
        if (!apply_move(outcome.game, move).ok()) {
            ADD_FAILURE() << "game " << number << " refused its own listed move " << testing::uci_of(move);
            break;
        }
    }
    return outcome;
}

std::vector<Board> starts() {
    std::vector<Board> boards;
    for (const std::string_view fen : fens) boards.push_back(board_of(fen));
    return boards;
}

TEST(Threads, GamesOnManyThreadsEndAsOnOne) {
    const std::vector<Board> boards = starts();
    const auto start_of = [&](int number) -> const Board& { return boards[number % boards.size()]; };

    std::vector<Outcome> alone(game_count);
    for (int n = 0; n < game_count; ++n) alone[n] = play(start_of(n), n);

    // Interleaved numbers, so that every thread plays games from every start position.
    std::vector<Outcome> together(game_count);
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            for (int n = t; n < game_count; n += thread_count) together[n] = play(start_of(n), n);
        });
    }
    for (std::thread& thread : threads) thread.join();

    int plies = 0;
    for (int n = 0; n < game_count; ++n) {
        EXPECT_TRUE(together[n] == alone[n]) << "game " << n;
        plies += alone[n].plies;
    }
    // Games that ended at once would prove little.
    EXPECT_GT(plies, game_count * 10);
}

// Everything a reader can ask of a game, folded into one digest.
std::uint64_t read_all(const Game& game) {
    std::uint64_t digest = 0xCBF29CE484222325ull;
    MoveList moves;
    generate_moves(game.board, moves);
    for (const BoardMove& move : moves) {
        digest = mix(digest, static_cast<std::uint64_t>(move.source) << 16 |
                                 static_cast<std::uint64_t>(move.destination) << 8 |
                                 static_cast<std::uint64_t>(move.promotion));
    }
    digest = mix(digest, visible_squares(game.board, Color::White));
    digest = mix(digest, visible_squares(game.board, Color::Black));
    Observation observation;
    for (const bool oracle : {false, true}) {
        build_observation(game, oracle, observation);
        digest = digest_of(observation, digest);
    }
    digest = mix(digest, std::bit_cast<std::uint32_t>(terminal_value(game, Color::White)));
    const Game copy = game;
    return mix(digest, copy == game);
}

TEST(Threads, ManyReadersShareOneGame) {
    const std::vector<Board> boards = starts();
    for (std::size_t b = 0; b < boards.size(); ++b) {
        Game shared = play(boards[b], static_cast<int>(b)).game;
        const Game before = shared;
        const std::uint64_t expected = read_all(shared);

        std::vector<std::uint64_t> seen(thread_count * 20);
        std::vector<std::thread> threads;
        for (int t = 0; t < thread_count; ++t) {
            threads.emplace_back([&, t] {
                for (int round = 0; round < 20; ++round) seen[t * 20 + round] = read_all(shared);
            });
        }
        for (std::thread& thread : threads) thread.join();

        for (const std::uint64_t digest : seen) EXPECT_EQ(digest, expected) << "start " << b;
        EXPECT_TRUE(shared == before) << "start " << b;
    }
}

}  // namespace
}  // namespace murkplay
