// Beliefs start where their side's knowledge starts, and an update is kept whole or not at all.
#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "batch/batch_beliefs.hpp"
#include "game/apply.hpp"
#include "rules/fen.hpp"
#include "test_support.hpp"

namespace murkplay::batch {
namespace {

BoardMove move_named(std::string_view text) { return *parse_uci_move(text); }

Game after(std::initializer_list<std::string_view> moves) {
    Game game = new_game(start_board());
    for (const std::string_view text : moves) EXPECT_TRUE(apply_move(game, move_named(text)).ok());
    return game;
}

GameBatch batch_of(const Game& game, bool from_start) {
    std::vector<Entry> entries{written_entry(game)};
    entries.back().from_start = from_start;
    return GameBatch(std::move(entries), new_game(start_board()), {});
}

// Plays `text` in the batch's only game, by its place in the list.
void step_with(GameBatch& batch, std::string_view text) {
    MoveList listed;
    generate_moves(batch.entry(0).game.board, listed);
    const auto found = std::find(listed.begin(), listed.end(), move_named(text));
    const auto place = static_cast<std::int64_t>(found - listed.begin());
    Request request;
    request.choice = Choice::Position;
    request.values = &place;
    ASSERT_FALSE(batch.step(request, false, {}));
}

TEST(BatchBeliefs, BlackJoiningAfterTheOpeningMoveHoldsEveryWhiteMove) {
    // Stepped from the start by the batch itself, so that it knows the game began there.
    GameBatch batch = batch_of(new_game(start_board()), true);
    step_with(batch, "e2e4");
    ASSERT_EQ(batch.entry(0).game, after({"e2e4"}));
    BatchBeliefs beliefs(batch, Color::Black, {});
    Stop stop;
    ASSERT_FALSE(beliefs.catch_up(batch, 1, stop));
    EXPECT_TRUE(beliefs.following(0));
    EXPECT_EQ(beliefs.tracker(0).positions().size(), 20u);
    EXPECT_TRUE(beliefs.tracker(0).keeps(batch.entry(0).game.board));
}

TEST(BatchBeliefs, AGameWrittenAndMovedOnIsNotFollowed) {
    GameBatch batch = batch_of(after({"e2e4"}), false);
    step_with(batch, "e7e5");  // Black moves in the written game
    BatchBeliefs beliefs(batch, Color::White, {});
    EXPECT_FALSE(beliefs.following(0));
    std::int64_t chosen = 0;
    Stop stop;
    ASSERT_FALSE(beliefs.choose(batch, {1, 1}, &chosen, 1, stop));
    EXPECT_EQ(chosen, -1);
}

TEST(BeliefTracker, AStoppedUpdateChangesNothing) {
    // An open position after a few moves, where an update tries thousands of replies.
    const Game before = after({"e2e4", "e7e5", "g1f3", "b8c6", "f1c4", "g8f6"});
    BeliefTracker tracker(after({"e2e4", "e7e5"}), Color::White, {});
    Stop never;
    ASSERT_FALSE(tracker.update(move_named("g1f3"), after({"e2e4", "e7e5", "g1f3", "b8c6"}), never));
    ASSERT_FALSE(tracker.update(move_named("f1c4"), before, never));
    const BeliefTracker kept = tracker;
    Game now = before;
    ASSERT_TRUE(apply_move(now, move_named("d2d3")).ok());
    ASSERT_TRUE(apply_move(now, move_named("f8c5")).ok());
    Stop stop([] { return true; });
    EXPECT_EQ(tracker.update(move_named("d2d3"), now, stop), BeliefError::Stopped);
    EXPECT_EQ(tracker.positions(), kept.positions());
    EXPECT_EQ(tracker.candidates_checked(), kept.candidates_checked());
    EXPECT_EQ(tracker.random().state, kept.random().state);
    // The update that was stopped then goes through as it would have.
    BeliefTracker fresh = kept;
    ASSERT_FALSE(tracker.update(move_named("d2d3"), now, never));
    ASSERT_FALSE(fresh.update(move_named("d2d3"), now, never));
    EXPECT_EQ(tracker.positions(), fresh.positions());
    EXPECT_TRUE(tracker.keeps(now.board));
}

TEST(BeliefTracker, AMoveThatWasNotPlayedIsRefused) {
    BeliefTracker tracker(new_game(start_board()), Color::White, {});
    Stop never;
    const Game game = after({"e2e4", "e7e5"});
    EXPECT_EQ(tracker.check(move_named("d2d4"), game), BeliefError::NotItsMove);
    EXPECT_EQ(tracker.update(move_named("d2d4"), game, never), BeliefError::NotItsMove);
    EXPECT_EQ(tracker.positions().size(), 1u);
    EXPECT_FALSE(tracker.update(move_named("e2e4"), game, never));
}

}  // namespace
}  // namespace murkplay::batch
