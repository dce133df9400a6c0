// Move-tree counts of generate_moves + play_move. The expected numbers are python-chess's:
// tests/python/test_movegen.py counts the same trees with its pseudo-legal moves, castling
// redone by the variant's rule, and checks them against the game.
#include <cstdint>
#include <string>
#include <vector>

#include "game/perft.hpp"
#include "test_support.hpp"

namespace murkplay {
namespace {

using testing::board_of;

struct PerftCase {
    const char* name;
    const char* fen;
    std::vector<std::uint64_t> counts;  // depth 1, 2, ...
};

class Perft : public ::testing::TestWithParam<PerftCase> {};

TEST_P(Perft, CountsMatchTheReference) {
    const PerftCase& c = GetParam();
    const Board board = board_of(c.fen);
    for (std::size_t depth = 1; depth <= c.counts.size(); ++depth) {
        EXPECT_EQ(perft(board, static_cast<int>(depth)), c.counts[depth - 1]) << "depth " << depth;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Positions, Perft,
    ::testing::Values(
        PerftCase{"start", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", {20, 400, 8902, 197742}},
        // Castling both ways for both sides at every ply, never under attack.
        PerftCase{"castling", "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1", {25, 625, 15206, 369906}},
        // After 1.e4 d5 2.e5 f5: en passant on f6 at the root, queen checks at ply 3.
        PerftCase{"en_passant_open", "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
                  {31, 747, 23125}},
        // Every black two-step lands beside a white pawn.
        PerftCase{"en_passant_wall", "4k3/pppppppp/8/1P1P1P1P/8/8/8/4K3 b - - 0 1", {14, 136, 1931, 20704}},
        // Promotions by push and by capture for both sides.
        PerftCase{"promotion", "r1n3nk/1P4pp/8/8/8/8/PP4p1/KB5R w - - 0 1", {33, 766, 22548}}),
    [](const ::testing::TestParamInfo<PerftCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace murkplay
