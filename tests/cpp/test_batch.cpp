// The batch against single games stepped one by one, for several thread counts.
#include <array>
#include <cstring>
#include <vector>

#include "batch/game_batch.hpp"
#include "encode/legal_slots.hpp"
#include "game/apply.hpp"
#include "game/game_end.hpp"
#include "test_support.hpp"

namespace murkplay::batch {
namespace {

using testing::board_of;

const char* const fens[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1",
    "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1",
};

// Every output of one call, with the outputs pointing into it.
struct Arrays {
    explicit Arrays(std::size_t n)
        : observation(n * observation_size), mask(n * action_count), terminated(n), truncated(n), values(2 * n),
          plies(n), played_move(n), played_slot(n) {}
    Outputs outputs() {
        return {observation.data(), mask.data(),  terminated.data(),  truncated.data(),
                values.data(),      plies.data(), played_move.data(), played_slot.data()};
    }
    friend bool operator==(const Arrays&, const Arrays&) = default;

    std::vector<float> observation;
    std::vector<std::uint8_t> mask, terminated, truncated;
    std::vector<float> values;
    std::vector<std::int32_t> plies;
    std::vector<MoveCode> played_move;
    std::vector<std::int64_t> played_slot;
};

std::vector<Game> games_of(std::size_t n) {
    std::vector<Game> games;
    for (std::size_t i = 0; i < n; ++i) games.push_back(new_game(board_of(fens[i % std::size(fens)])));
    return games;
}

GameBatch batch_of(std::size_t n, Settings settings = {}) {
    std::vector<Entry> entries;
    for (const Game& game : games_of(n)) entries.push_back(Entry{game});
    return GameBatch(std::move(entries), new_game(start_board()), settings);
}

// The legal moves a batch reports, as arrays.
struct Listing {
    explicit Listing(const GameBatch& batch)
        : offsets(batch.size() + 1), moves(batch.listed_moves()), slots(batch.listed_moves()) {
        batch.write_listing(offsets.data(), moves.data(), slots.data());
    }
    std::vector<std::int64_t> offsets;
    std::vector<MoveCode> moves;
    std::vector<std::int64_t> slots;
};

// What the batch must say of one game, from the single-game functions.
void expect_report(const Game& game, const Arrays& a, const Listing& listing, std::size_t i) {
    Observation observation;
    build_observation(game, false, observation);
    EXPECT_EQ(std::memcmp(observation.data(), &a.observation[i * observation_size], sizeof observation), 0) << i;
    MoveList moves;
    generate_moves(game.board, moves);
    ASSERT_EQ(listing.offsets[i + 1] - listing.offsets[i], static_cast<std::int64_t>(moves.size())) << i;
    std::vector<std::uint8_t> mask(action_count, 0);
    for (std::size_t m = 0; m < moves.size(); ++m) {
        EXPECT_EQ(listing.moves[listing.offsets[i] + m], move_code(moves[m]));
        EXPECT_EQ(listing.slots[listing.offsets[i] + m], slot_of(game.board.side_to_move, moves[m]));
        mask[slot_of(game.board.side_to_move, moves[m])] = 1;
    }
    EXPECT_TRUE(std::equal(mask.begin(), mask.end(), a.mask.begin() + i * action_count)) << i;
    EXPECT_EQ(a.terminated[i], is_terminal(game));
    EXPECT_EQ(a.values[2 * i], terminal_value(game, Color::White));
    EXPECT_EQ(a.values[2 * i + 1], terminal_value(game, Color::Black));
}

Request by(Choice choice, const std::int64_t* values = nullptr) {
    Request request;
    request.choice = choice;
    request.values = values;
    return request;
}

Request by_agent(Agent agent) {
    Request request = by(Choice::Agent);
    request.agent = agent;
    return request;
}

TEST(GameBatch, PlayMatchesSingleGamesForEveryThreadCount) {
    // Enough games that three threads share them unevenly.
    constexpr std::size_t n = 3 * min_games_per_thread + 5;
    // Every way of choosing inside the step, in turn; the logits favour low slots.
    std::vector<float> logits(n * action_count);
    for (std::size_t k = 0; k < logits.size(); ++k) logits[k] = -static_cast<float>(k % action_count) / 500.0f;
    const auto request = [&](int step) {
        Request made = step % 4 == 3 ? by(Choice::Logits)
                                     : by_agent(std::array{Agent::Random, Agent::Greedy, Agent::Cautious}[step % 4]);
        made.logits = logits.data();
        return made;
    };
    std::vector<GameBatch> batches;
    for (std::uint32_t threads = 1; threads <= 3; ++threads) {
        batches.push_back(batch_of(n, {.max_plies = 40, .auto_reset = true, .seed = 12345, .threads = threads}));
    }
    std::vector<Game> reference = games_of(n);
    std::vector<std::uint32_t> plies(n, 0);
    for (int step = 0; step < 150; ++step) {
        std::vector<Arrays> arrays(3, Arrays(n));
        for (std::size_t b = 0; b < 3; ++b) {
            ASSERT_FALSE(batches[b].step(request(step), false, arrays[b].outputs()));
        }
        EXPECT_TRUE(arrays[0] == arrays[1] && arrays[1] == arrays[2]) << "step " << step;
        EXPECT_EQ(Listing(batches[0]).moves, Listing(batches[2]).moves);
        for (std::size_t i = 0; i < n; ++i) {
            const MoveCode played = arrays[0].played_move[i];
            if (played == no_move) {
                reference[i] = new_game(start_board());
                plies[i] = 0;
            } else {
                const BoardMove move = *move_of_code(played);
                EXPECT_EQ(arrays[0].played_slot[i], slot_of(reference[i].board.side_to_move, move));
                ASSERT_TRUE(apply_move(reference[i], move).ok());
                ++plies[i];
            }
            EXPECT_EQ(batches[0].entry(i).game, reference[i]) << "game " << i << " step " << step;
            EXPECT_EQ(arrays[0].plies[i], static_cast<std::int32_t>(plies[i]));
            EXPECT_EQ(arrays[0].truncated[i], !is_terminal(reference[i]) && plies[i] >= 40);
            expect_report(reference[i], arrays[0], Listing(batches[0]), i);
        }
    }
}

TEST(GameBatch, RefusedStepChangesNothing) {
    // Enough games for two threads: the refused game is in the second part, which must stop
    // the first part too.
    constexpr std::size_t n = 2 * min_games_per_thread;
    GameBatch batch = batch_of(n, {.threads = 2});
    Arrays arrays(n);
    batch.observe(false, arrays.outputs());
    std::vector<std::int64_t> positions(n, 0);
    positions[n - 1] = 10'000;
    const auto refused = batch.step(by(Choice::Position, positions.data()), false, arrays.outputs());
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->reason, Refusal::Reason::PositionOutOfRange);
    EXPECT_EQ(refused->game, n - 1);
    EXPECT_EQ(refused->value, 10'000);
    const Listing listing(batch);
    std::vector<std::int64_t> slots(n);
    for (std::size_t i = 0; i < n; ++i) slots[i] = listing.slots[listing.offsets[i]];
    slots[n - 2] = -1;
    slots[n - 1] = 4095;
    const auto no_slot = batch.step(by(Choice::Slot, slots.data()), false, arrays.outputs());
    ASSERT_TRUE(no_slot.has_value());
    EXPECT_EQ(no_slot->reason, Refusal::Reason::NoMoveWithSlot);
    EXPECT_EQ(no_slot->game, n - 2);
    const std::vector<Game> fresh = games_of(n);
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(batch.entry(i).game, fresh[i]);
    // The listing kept for the next step still stands.
    slots[n - 2] = slots[n - 1] = listing.slots[listing.offsets[n - 1]];
    slots[n - 2] = listing.slots[listing.offsets[n - 2]];
    ASSERT_FALSE(batch.step(by(Choice::Slot, slots.data()), false, arrays.outputs()));
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(arrays.played_move[i], listing.moves[listing.offsets[i]]);
}

TEST(GameBatch, SlotNamesTheFirstListedMove) {
    // e7e8q, e7d8q and e7f8q share one slot; the push is listed first.
    GameBatch batch({Entry{new_game(board_of("3r1r2/4P3/8/8/8/8/8/K6k w - - 0 1"))}}, new_game(start_board()), {});
    Arrays arrays(1);
    const std::int64_t slot = slot_of(Color::White, testing::mv("e7", "e8", PieceKind::Queen));
    ASSERT_FALSE(batch.step(by(Choice::Slot, &slot), false, arrays.outputs()));
    EXPECT_EQ(arrays.played_move[0], move_code(testing::mv("e7", "e8", PieceKind::Queen)));
}

}  // namespace
}  // namespace murkplay::batch
