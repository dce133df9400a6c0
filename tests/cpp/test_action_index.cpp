// The fixed policy index of a move, seen from the side to move.
#include <string_view>
#include <vector>

#include "encode/action_index.hpp"
#include "test_support.hpp"

namespace murkplay {
namespace {

using testing::mv;

struct IndexCase {
    Color side;
    std::string_view text;
    int index;
};

class ActionIndex : public ::testing::TestWithParam<IndexCase> {};

TEST_P(ActionIndex, FromTheText) {
    const IndexCase& c = GetParam();
    const Result<BoardMove> m = parse_uci_move(c.text);
    ASSERT_TRUE(m.ok()) << c.text;
    const std::optional<int> i = action_index(c.side, *m);
    ASSERT_TRUE(i.has_value()) << c.text;
    EXPECT_EQ(*i, c.index) << c.text;
}

constexpr Color W = Color::White;
constexpr Color B = Color::Black;

INSTANTIATE_TEST_SUITE_P(
    Moves, ActionIndex,
    ::testing::Values(IndexCase{W, "e2e4", 796}, IndexCase{W, "g1f3", 405}, IndexCase{W, "e1g1", 262},
                      IndexCase{B, "e7e5", 796}, IndexCase{B, "e8g8", 262}, IndexCase{B, "g8f6", 405},
                      IndexCase{W, "e7e8q", 4304}, IndexCase{W, "e7f8r", 4305}, IndexCase{W, "e7d8n", 4307},
                      IndexCase{W, "e7e8b", 4306}, IndexCase{W, "a7a8q", 4288}, IndexCase{W, "a7b8q", 4288},
                      IndexCase{B, "e2e1q", 4304}, IndexCase{B, "h2h1b", 4318}, IndexCase{W, "a1a1", 0},
                      IndexCase{W, "h8h8", 4095}, IndexCase{B, "a8a8", 0}, IndexCase{B, "h1h1", 4095},
                      IndexCase{W, "e7e8qq", 3388}, IndexCase{W, "a2a1n", 4131},
                      // The same text for the other side: mirrored squares.
                      IndexCase{B, "e2e4", 64 * 52 + 36}, IndexCase{W, "e7e5", 64 * 52 + 36},
                      IndexCase{B, "h7h8n", 4096 + 4 * 15 + 3}, IndexCase{W, "h7h8n", 4096 + 4 * 55 + 3}));

// Every move without promotion gets a slot of its own below 4096, for either side to move, and
// a move and its mirror image get the same slot when the side to move changes with them.
TEST(ActionIndex, OrdinaryMovesFillTheFirstBlockOneToOne) {
    for (const Color side : {W, B}) {
        std::vector<bool> taken(4096, false);
        for (int s = 0; s < 64; ++s) {
            for (int d = 0; d < 64; ++d) {
                const BoardMove m{static_cast<Square>(s), static_cast<Square>(d), PieceKind::None};
                const std::optional<int> i = action_index(side, m);
                ASSERT_TRUE(i.has_value());
                ASSERT_GE(*i, 0);
                ASSERT_LT(*i, 4096);
                EXPECT_FALSE(taken[*i]) << "slot " << *i << " given twice";
                taken[*i] = true;
                const BoardMove mirrored{mirror(m.source), mirror(m.destination), PieceKind::None};
                EXPECT_EQ(action_index(opposite(side), mirrored), i);
            }
        }
    }
    EXPECT_EQ(action_count, 4352);
}

TEST(ActionIndex, PromotionBlockUsesTheSourceOnly) {
    const PieceKind kinds[] = {PieceKind::Queen, PieceKind::Rook, PieceKind::Bishop, PieceKind::Knight};
    for (int s = 0; s < 64; ++s) {
        for (int k = 0; k < 4; ++k) {
            for (const int d : {0, 7, 35, 63}) {
                const BoardMove m{static_cast<Square>(s), static_cast<Square>(d), kinds[k]};
                EXPECT_EQ(action_index(W, m), 4096 + 4 * s + k);
                EXPECT_EQ(action_index(B, m), 4096 + 4 * (s ^ 56) + k);
            }
        }
    }
}

TEST(ActionIndex, PawnOrKingPromotionHasNoIndex) {
    EXPECT_FALSE(action_index(W, mv("e7", "e8", PieceKind::Pawn)).has_value());
    EXPECT_FALSE(action_index(W, mv("e7", "e8", PieceKind::King)).has_value());
    EXPECT_FALSE(action_index(B, mv("e2", "e1", PieceKind::King)).has_value());
}

}  // namespace
}  // namespace murkplay
