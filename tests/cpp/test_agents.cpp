// The built-in agents' rules on positions chosen to reach what random play seldom does: ties
// between capturers, en passant, the safety rule and the squares the mover cannot see.
#include <set>
#include <string>
#include <vector>

#include "agents/builtin_agents.hpp"
#include "game/movegen.hpp"
#include "test_support.hpp"

namespace murkplay::agents {
namespace {

using testing::board_of;
using testing::uci_of;

// Every move the agent plays for some random word: the set it draws from.
std::set<std::string> choices(Agent agent, const Board& board) {
    MoveList moves;
    generate_moves(board, moves);
    std::set<std::string> chosen;
    for (std::uint64_t word = 0; word < 64; ++word) {
        chosen.insert(uci_of(moves[choose_move(agent, board, {moves.begin(), moves.size()}, word)]));
    }
    return chosen;
}

using Choices = std::set<std::string>;

// A king left where it can be taken, which no FEN text may hold.
Board with_black_king(Board board, std::string_view square) {
    testing::remove_piece(board, lowest(board.pieces(Color::Black, PieceKind::King)));
    testing::put_piece(board, testing::sq(square), Color::Black, PieceKind::King);
    return board;
}

TEST(Agents, GreedyTakesTheDearestPieceWithTheCheapestCapturer) {
    // The rook on d5 can be taken by the pawn, the knight and the queen; the knight on b5 only by the queen.
    const Board board = board_of("4k3/8/8/1n1r4/2P5/1N6/8/3QK3 w - - 0 1");
    EXPECT_EQ(choices(Agent::Greedy, board), (Choices{"c4d5"}));
    // The king is dearer than anything else, whoever takes it.
    EXPECT_EQ(choices(Agent::Greedy, with_black_king(board, "h5")), (Choices{"d1h5"}));
}

TEST(Agents, EnPassantTakesAPawnAndCapturersOfEqualValueTie) {
    EXPECT_EQ(choices(Agent::Greedy, board_of("4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1")), (Choices{"e5d6"}));
    // A knight and a bishop are worth the same as capturers: the draw decides.
    EXPECT_EQ(choices(Agent::Greedy, board_of("4k3/8/8/3r4/8/4N3/B7/4K3 w - - 0 1")), (Choices{"a2d5", "e3d5"}));
}

TEST(Agents, CautiousAvoidsSeenAttackersOnly) {
    // The bishop on e7 stands in front of White's pawn, so White sees it; it would attack a3.
    // The rook on h3 would attack b3 and c3, but White does not see h3. Nothing can be taken.
    const Board board = board_of("7k/4b3/4P3/8/8/7r/1K6/8 w - - 0 1");
    const Choices cautious = choices(Agent::Cautious, board);
    EXPECT_EQ(cautious.count("b2a3"), 0u);
    EXPECT_EQ(cautious.count("b2b3"), 1u);
    EXPECT_EQ(choices(Agent::Greedy, board).count("b2a3"), 1u);
    // Emptying the square White does not see changes no choice.
    const Board unseen_gone = board_of("7k/4b3/4P3/8/8/8/1K6/8 w - - 0 1");
    EXPECT_EQ(choices(Agent::Cautious, unseen_gone), cautious);
}

TEST(Agents, CautiousPrefersSafetyOnlyAmongEqualGains) {
    // Taking the rook walks the king onto a square the knight White sees (through its rook)
    // attacks; taking the knight is safe but gains less.
    const Board board = board_of("6k1/8/8/1n5R/8/r7/1K6/8 w - - 0 1");
    EXPECT_EQ(choices(Agent::Cautious, board), (Choices{"b2a3"}));
}

TEST(Agents, CautiousStillTakesTheKing) {
    // Taking the king opens the a-file to the rook White sees on a8, and the game ends all the same.
    EXPECT_EQ(choices(Agent::Cautious, with_black_king(board_of("r7/8/8/8/R7/8/8/K6k w - - 0 1"), "h4")),
              (Choices{"a4h4"}));
}

}  // namespace
}  // namespace murkplay::agents
