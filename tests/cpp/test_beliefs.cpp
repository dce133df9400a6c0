// An update is kept whole or not at all: one stopped halfway leaves the tracker as it was.
#include <gtest/gtest.h>

#include "batch/belief.hpp"
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

}  // namespace
}  // namespace murkplay::batch
