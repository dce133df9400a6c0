// What a side sees: its pieces' squares, what they reach (sliders up to the first piece of
// either colour), what stands in front of its pawns, and a pawn it may take en passant.
#include "game/movegen.hpp"
#include "test_support.hpp"

namespace murkplay {
namespace {

using testing::board_of;
using testing::names_of;
using testing::set_of;

struct VisibilityCase {
    const char* fen;
    Color observer;
    SquareSet expected;
    const char* why;
};

class Visibility : public ::testing::TestWithParam<VisibilityCase> {};

TEST_P(Visibility, ExactSet) {
    const VisibilityCase& c = GetParam();
    const SquareSet seen = visible_squares(board_of(c.fen), c.observer);
    EXPECT_EQ(seen, c.expected) << c.why << "\n  seen     " << names_of(seen) << "\n  expected "
                                << names_of(c.expected);
}

const SquareSet white_king_e1 = set_of({"e1", "d1", "f1", "d2", "e2", "f2"});
const SquareSet white_king_a1 = set_of({"a1", "a2", "b1", "b2"});

INSTANTIATE_TEST_SUITE_P(
    Positions, Visibility,
    ::testing::Values(
        VisibilityCase{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", Color::White, 0x00000000FFFFFFFFull,
                       "start, White: ranks 1 to 4"},
        VisibilityCase{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", Color::Black, 0xFFFFFFFF00000000ull,
                       "start, Black: ranks 5 to 8, whoever is to move"},
        VisibilityCase{"4k3/8/8/4n3/4P3/8/8/4K3 w - - 0 1", Color::White,
                       white_king_e1 | set_of({"e4", "d5", "e5", "f5"}), "blocked pawn sees the blocker and diagonals"},
        VisibilityCase{"4k3/8/8/8/8/4n3/4P3/K7 w - - 0 1", Color::White, white_king_a1 | set_of({"e2", "e3", "d3", "f3"}),
                       "e3 occupied: e3 seen, e4 not"},
        VisibilityCase{"4k3/8/8/8/4n3/8/4P3/K7 w - - 0 1", Color::White,
                       white_king_a1 | set_of({"e2", "e3", "e4", "d3", "f3"}), "e4 occupied and seen from e2"},
        VisibilityCase{"4k3/8/8/8/8/4P3/8/K7 w - - 0 1", Color::White, white_king_a1 | set_of({"e3", "e4", "d4", "f4"}),
                       "off the start rank: one step only"},
        VisibilityCase{"4k3/8/8/8/8/8/7P/K7 w - - 0 1", Color::White, white_king_a1 | set_of({"h2", "h3", "h4", "g3"}),
                       "h-file pawn: one diagonal"},
        VisibilityCase{"4k3/8/8/8/8/8/P7/4K3 w - - 0 1", Color::White, white_king_e1 | set_of({"a2", "a3", "a4", "b3"}),
                       "a-file pawn: one diagonal"},
        VisibilityCase{"4k3/4p3/8/8/8/8/8/K7 b - - 0 1", Color::Black,
                       set_of({"e8", "d8", "f8", "d7", "e7", "f7", "e6", "e5", "d6", "f6"}), "Black pawn looks down"},
        VisibilityCase{"4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", Color::White,
                       white_king_e1 | set_of({"e5", "e6", "d6", "f6", "d5"}), "the en-passant chance reveals d5"},
        VisibilityCase{"4k3/8/8/3pP3/8/8/8/4K3 w - - 0 1", Color::White,
                       white_king_e1 | set_of({"e5", "e6", "d6", "f6"}), "no chance, d5 stays hidden"},
        VisibilityCase{"4k3/8/8/8/3pP3/8/8/4K3 b - e3 0 1", Color::Black,
                       set_of({"e8", "d8", "f8", "d7", "e7", "f7", "d4", "d3", "c3", "e3", "e4"}),
                       "Black's chance reveals e4"},
        VisibilityCase{"k7/8/8/8/8/N7/8/R1n4K w - - 0 1", Color::White,
                       set_of({"a1", "a2", "a3", "b1", "c1", "c2", "c4", "b5", "h1", "g1", "g2", "h2"}),
                       "rook stops at its own knight on a3 and the enemy knight on c1"},
        VisibilityCase{"7k/8/8/2n5/8/Q7/P7/7K w - - 0 1", Color::White,
                       set_of({"a2", "a3", "h1", "a4", "a5", "a6", "a7", "a8", "b3", "c3", "d3", "e3", "f3", "g3", "h3",
                               "b4", "c5", "b2", "c1", "g1", "g2", "h2"}),
                       "queen: first piece on each line, own or enemy"},
        VisibilityCase{"7k/8/8/8/3p4/8/1B6/7K w - - 0 1", Color::White,
                       set_of({"b2", "a1", "c1", "a3", "c3", "d4", "h1", "g1", "g2", "h2"}),
                       "bishop stops at d4"}));

}  // namespace
}  // namespace murkplay
