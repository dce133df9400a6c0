// The built-in agents' rules, and the full-sight search's lesson, on positions chosen to reach what random play seldom does: ties
// between capturers, en passant, the safety rule and the squares the mover cannot see.
#include <set>
#include <string>
#include <vector>

#include "agents/belief_search.hpp"
#include "agents/builtin_agents.hpp"
#include "agents/search_lesson.hpp"
#include "encode/action_index.hpp"
#include "encode/legal_slots.hpp"
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

// The moves the lesson marks in each game of a batch, by their UCI text.
std::vector<Choices> lesson_of(const std::vector<std::string_view>& fens, int depth) {
    std::vector<batch::Entry> entries;
    for (const auto fen : fens) entries.push_back(batch::written_entry(new_game(board_of(fen))));
    const batch::GameBatch batch(std::move(entries), new_game(board_of(fens[0])), {});
    std::vector<std::uint8_t> mask(fens.size() * action_count, 0xff);
    parallel::Stop never;
    best_slots(batch, depth, mask.data(), never);
    std::vector<Choices> lessons;
    for (std::size_t i = 0; i < fens.size(); ++i) {
        const Board& board = batch.entry(i).game.board;
        MoveList moves;
        generate_moves(board, moves);
        Choices marked;
        for (const BoardMove& move : moves) {
            if (mask[i * action_count + slot_of(board.side_to_move, move)]) marked.insert(uci_of(move));
        }
        std::size_t set = 0;
        for (std::size_t s = 0; s < action_count; ++s) set += mask[i * action_count + s];
        EXPECT_EQ(set, marked.size()) << "a marked slot names no move of game " << i;
        lessons.push_back(marked);
    }
    return lessons;
}

TEST(SearchLesson, MarksTheMovesAFullSightSearchFindsBestInEveryGame) {
    // A full middle game first, so that the games after it list moves afresh; then a knight
    // and a rook free to take, and, two plies deep, a rook that would be lost.
    const std::vector<std::string_view> fens = {
        "r1bqk2r/pppp1ppp/2n2n2/2b1p3/2B1P3/2NP1N2/PPP2PPP/R1BQK2R w KQkq - 1 5",
        "4k3/8/8/8/4n3/8/8/4RK2 w - - 0 1",
        "4k3/8/8/7r/8/8/8/4K2R b - - 0 1",
        "4k3/8/8/2p5/8/3R4/8/4K3 w - - 0 1",
    };
    const std::vector<Choices> lessons = lesson_of(fens, 2);
    EXPECT_FALSE(lessons[0].empty());
    EXPECT_EQ(lessons[1], (Choices{"e1e4"}));
    EXPECT_EQ(lessons[2], (Choices{"h5h1"}));
    // The rook must not stand where the pawn takes it, and may stand anywhere else it is safe.
    EXPECT_FALSE(lessons[3].contains("d3d4"));
    EXPECT_TRUE(lessons[3].contains("d3d5") && lessons[3].contains("d3h3"));
}

}  // namespace
}  // namespace murkplay::agents
