// Move generation: which moves are offered under the no-check rules, and in which order.
#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "game/movegen.hpp"
#include "rules/play_move.hpp"
#include "test_support.hpp"

namespace murkplay {
namespace {

using testing::board_of;
using testing::put_piece;
using testing::remove_piece;
using testing::sq;
using Strings = std::vector<std::string>;

Strings moves_of(const Board& b) {
    MoveList moves;
    generate_moves(b, moves);
    return testing::uci_list(moves);
}

bool has(const Strings& list, const std::string& move) {
    return std::find(list.begin(), list.end(), move) != list.end();
}

// Which of the named moves a position offers and which it must not; a failure names each
// move that is wrong, so that one check can cover a whole position.
::testing::AssertionResult offers(const Board& b, std::initializer_list<const char*> offered,
                                  std::initializer_list<const char*> withheld = {}) {
    const Strings list = moves_of(b);
    std::string wrong;
    for (const char* m : offered) {
        if (!has(list, m)) wrong += std::string(" missing ") + m;
    }
    for (const char* m : withheld) {
        if (has(list, m)) wrong += std::string(" offered ") + m;
    }
    if (wrong.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << wrong;
}

::testing::AssertionResult offers(std::string_view fen, std::initializer_list<const char*> offered,
                                  std::initializer_list<const char*> withheld = {}) {
    return offers(board_of(fen), offered, withheld) << " in " << fen;
}

Strings ending(const Strings& list, std::size_t n) {
    return n <= list.size() ? Strings(list.end() - static_cast<std::ptrdiff_t>(n), list.end()) : list;
}

TEST(MoveOrder, StartPosition) {
    const Strings expected{"a2a3", "a2a4", "b2b3", "b2b4", "c2c3", "c2c4", "d2d3", "d2d4", "e2e3", "e2e4",
                           "f2f3", "f2f4", "g2g3", "g2g4", "h2h3", "h2h4", "b1a3", "b1c3", "g1f3", "g1h3"};
    EXPECT_EQ(moves_of(start_board()), expected);
}

TEST(MoveOrder, BlackTwoStepBeforeOneStep) {
    Board b = start_board();
    ASSERT_FALSE(play_move(b, testing::mv("e2", "e4")));
    const Strings expected{"a7a5", "a7a6", "b7b5", "b7b6", "c7c5", "c7c6", "d7d5", "d7d6", "e7e5", "e7e6",
                           "f7f5", "f7f6", "g7g5", "g7g6", "h7h5", "h7h6", "b8a6", "b8c6", "g8f6", "g8h6"};
    EXPECT_EQ(moves_of(b), expected);
}

TEST(MoveOrder, PromotionsPushesBeforeCapturesQueenFirst) {
    const Strings list = moves_of(board_of("3r1r1k/4P3/8/8/8/8/8/4K3 w - - 0 1"));
    const Strings expected{"e7e8q", "e7e8r", "e7e8b", "e7e8n", "e7d8q", "e7d8r", "e7d8b", "e7d8n",
                           "e7f8q", "e7f8r", "e7f8b", "e7f8n", "e1d1", "e1f1", "e1d2", "e1e2", "e1f2"};
    EXPECT_EQ(list, expected);
}

TEST(MoveOrder, BlackPromotionsAndCaptureOrder) {
    // Black pawn on b2: push to b1 (1) comes before the capture on a1 (0) and c1 (2), and
    // captures go by ascending square.
    const Strings list = moves_of(board_of("7k/8/8/8/8/8/1p6/R1N4K b - - 0 1"));
    const Strings expected{"b2b1q", "b2b1r", "b2b1b", "b2b1n", "b2a1q", "b2a1r", "b2a1b", "b2a1n",
                           "b2c1q", "b2c1r", "b2c1b", "b2c1n", "h8g7", "h8h7", "h8g8"};
    EXPECT_EQ(list, expected);
}

TEST(MoveOrder, PiecesByKindThenSquareThenDestination) {
    // A knight, a bishop, a rook, a queen and the king: kinds in that order whatever the squares.
    const Strings list = moves_of(board_of("7k/8/8/8/8/8/1P6/QRBNK3 w - - 0 1"));
    const Strings expected{"b2b3", "b2b4", "d1f2", "d1c3", "d1e3", "c1d2", "c1e3", "c1f4", "c1g5", "c1h6",
                           "a1a2", "a1a3", "a1a4", "a1a5", "a1a6", "a1a7", "a1a8", "e1f1", "e1d2",
                           "e1e2", "e1f2"};
    // The rook on b1 is shut in by its own pieces, the queen sees only the a-file.
    EXPECT_EQ(list, expected);
}

TEST(MoveOrder, CastlingAfterKingMovesKingSideFirst) {
    const Strings list = moves_of(board_of("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1"));
    const Strings expected{
        // a1 rook: b1 c1 d1, then up the file to the rook it takes on a8
        "a1b1", "a1c1", "a1d1", "a1a2", "a1a3", "a1a4", "a1a5", "a1a6", "a1a7", "a1a8",
        // h1 rook
        "h1f1", "h1g1", "h1h2", "h1h3", "h1h4", "h1h5", "h1h6", "h1h7", "h1h8",
        // king steps, then castling king side, queen side
        "e1d1", "e1f1", "e1d2", "e1e2", "e1f2", "e1g1", "e1c1"};
    EXPECT_EQ(list, expected);

    const Strings black = moves_of(board_of("r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1"));
    EXPECT_EQ(ending(black, 7), (Strings{"e8d7", "e8e7", "e8f7", "e8d8", "e8f8", "e8g8", "e8c8"}));
}

TEST(Castling, NeedsRightRookAndEmptySquaresOnly) {
    // Into, through and out of attack: no square is tested.
    EXPECT_TRUE(offers("4kr2/8/8/8/8/8/8/4K2R w K - 0 1", {"e1g1"}));
    EXPECT_TRUE(offers("4k1r1/8/8/8/8/8/8/4K2R w K - 0 1", {"e1g1"}));
    EXPECT_TRUE(offers("4k3/8/8/8/8/8/8/R3K2r w Q - 0 1", {"e1c1"}));
    // In check, and e1e2 onto an attacked square.
    EXPECT_TRUE(offers("4k3/8/8/4r3/8/8/8/R3K2R w KQ - 0 1", {"e1g1", "e1c1", "e1e2"}));
    // Out of check, and with the squares the queen-side king crosses attacked.
    EXPECT_TRUE(offers("r3r1k1/8/8/8/8/8/8/4K2R w K - 0 1", {"e1g1"}));
    EXPECT_TRUE(offers("3rk3/8/8/8/8/8/8/R3K3 w Q - 0 1", {"e1c1"}));
    EXPECT_TRUE(offers("2r1k3/8/8/8/8/8/8/R3K3 w Q - 0 1", {"e1c1"}));
    // Black castles the same way.
    EXPECT_TRUE(offers("r3k2r/8/8/8/8/8/8/4KR2 b kq - 0 1", {"e8g8", "e8c8"}));
    EXPECT_TRUE(offers("4k2r/8/8/8/8/8/8/4KR2 b k - 0 1", {"e8g8"}));
    EXPECT_TRUE(offers("r3k3/8/8/8/8/8/8/2R1K3 b q - 0 1", {"e8c8"}));

    // Rights decide: only the side held.
    EXPECT_TRUE(offers("r3k2r/8/8/8/8/8/8/R3K2R w Kkq - 0 1", {"e1g1"}, {"e1c1"}));
    EXPECT_TRUE(offers("r3k2r/8/8/8/8/8/8/R3K2R w Qkq - 0 1", {"e1c1"}, {"e1g1"}));
    EXPECT_TRUE(offers("r3k2r/8/8/8/8/8/8/R3K2R w kq - 0 1", {}, {"e1g1", "e1c1"}));
}

TEST(Castling, SquaresBetweenMustBeEmpty) {
    const char* fens[] = {
        "r3k2r/8/8/8/8/8/8/RN2K2R w KQkq - 0 1",  // b1
        "r3k2r/8/8/8/8/8/8/R1B1K2R w KQkq - 0 1", // c1
        "r3k2r/8/8/8/8/8/8/R2QK2R w KQkq - 0 1",  // d1
        "r3k2r/8/8/8/8/8/8/Rn2K2R w KQkq - 0 1",  // b1, an enemy piece
    };
    for (const char* fen : fens) EXPECT_TRUE(offers(fen, {"e1g1"}, {"e1c1"}));
    for (const char* fen : {"r3k2r/8/8/8/8/8/8/R3KB1R w KQkq - 0 1", "r3k2r/8/8/8/8/8/8/R3K1NR w KQkq - 0 1"}) {
        EXPECT_TRUE(offers(fen, {"e1c1"}, {"e1g1"}));
    }
    EXPECT_TRUE(offers("rn2k1nr/8/8/8/8/8/8/R3K2R b KQkq - 0 1", {}, {"e8g8", "e8c8"}));
    for (const char* fen : {"r1b1k3/8/8/8/8/8/8/4K3 b q - 0 1", "rn2k3/8/8/8/8/8/8/4K3 b q - 0 1"}) {
        EXPECT_TRUE(offers(fen, {}, {"e8c8"}));
    }
    EXPECT_TRUE(offers("4k1nr/8/8/8/8/8/8/4K3 b k - 0 1", {}, {"e8g8"}));
}

TEST(Castling, RookMissingOrWrongAndKingAway) {
    // Boards no FEN text gives: the rights are kept while the pieces are changed by hand.
    const Board base = board_of("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1");

    Board no_rook = base;
    remove_piece(no_rook, sq("h1"));
    EXPECT_TRUE(offers(no_rook, {"e1c1"}, {"e1g1"}));

    Board knight = base;
    put_piece(knight, sq("h1"), Color::White, PieceKind::Knight);
    EXPECT_TRUE(offers(knight, {}, {"e1g1"}));

    Board queen = base;
    put_piece(queen, sq("a1"), Color::White, PieceKind::Queen);
    EXPECT_TRUE(offers(queen, {"e1g1"}, {"e1c1"}));

    Board black_rook = base;
    put_piece(black_rook, sq("h1"), Color::Black, PieceKind::Rook);
    EXPECT_TRUE(offers(black_rook, {}, {"e1g1"}));

    for (const char* home : {"d1", "f1", "e2"}) {
        Board moved = base;
        remove_piece(moved, sq("e1"));
        put_piece(moved, sq(home), Color::White, PieceKind::King);
        for (const std::string& m : moves_of(moved)) {
            const Square from = sq(m.substr(0, 2));
            const Square to = sq(m.substr(2, 2));
            if (from == sq(home)) {
                EXPECT_TRUE(std::abs(file_of(from) - file_of(to)) <= 1 && std::abs(rank_of(from) - rank_of(to)) <= 1)
                    << "king on " << home << " offers " << m;
            }
        }
    }

    // A Black king off e8 with rights: no castling for Black either.
    Board black = board_of("r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1");
    remove_piece(black, sq("e8"));
    put_piece(black, sq("d8"), Color::Black, PieceKind::King);
    for (const std::string& m : moves_of(black)) {
        EXPECT_NE(m, "d8b8");
        EXPECT_NE(m, "d8f8");
        EXPECT_NE(m, "e8g8");
        EXPECT_NE(m, "e8c8");
    }
}

TEST(EnPassant, ListedAfterThePawnsPushesAndCaptures) {
    const Strings list = moves_of(board_of("4k3/8/5n2/3pP3/8/8/8/4K3 w - d6 0 1"));
    const Strings expected{"e5e6", "e5f6", "e5d6", "e1d1", "e1f1", "e1d2", "e1e2", "e1f2"};
    EXPECT_EQ(list, expected);
    // Without the field, no diagonal step onto the empty d6.
    EXPECT_TRUE(offers("4k3/8/5n2/3pP3/8/8/8/4K3 w - - 0 1", {}, {"e5d6"}));
}

TEST(EnPassant, BothNeighboursAndBlack) {
    const Strings white = moves_of(board_of("4k3/8/8/2PpP3/8/8/8/4K3 w - d6 0 1"));
    EXPECT_EQ(Strings(white.begin(), white.begin() + 4), (Strings{"c5c6", "c5d6", "e5e6", "e5d6"}));
    const Strings black = moves_of(board_of("4k3/8/8/8/3pP3/8/8/4K3 b - e3 0 1"));
    EXPECT_EQ(Strings(black.begin(), black.begin() + 2), (Strings{"d4d3", "d4e3"}));
    // A pawn that is not beside the en-passant pawn gets nothing.
    EXPECT_TRUE(offers("4k3/8/8/P2pP3/8/8/8/4K3 w - d6 0 1", {"e5d6"}, {"a5b6"}));
}

TEST(NoCheck, KingsCapturedAndPinsIgnored) {
    // White rook a1, Black king a5: the capture of the king is offered. No FEN text gives this
    // with White to move, so the side is switched by hand.
    Board b = board_of("8/8/8/k7/8/8/8/R3K3 b - - 0 1");
    b.side_to_move = Color::White;
    EXPECT_TRUE(offers(b, {"a1a5"}, {"a1a6"}));

    // A knight pinned to its king by a rook still moves.
    EXPECT_TRUE(offers("4r1k1/8/8/8/8/8/4N3/4K3 w - - 0 1", {"e2c1", "e2g1", "e2c3", "e2g3", "e2d4", "e2f4"}));
    // The king may step next to the enemy king's squares and onto attacked ones.
    EXPECT_TRUE(offers("8/8/8/3k4/8/3K4/8/8 w - - 0 1", {"d3c4", "d3d4", "d3e4"}));
    // A pawn takes a king too, and so does every other kind.
    Board pawn_takes = board_of("8/8/8/8/3k4/4P3/8/4K3 b - - 0 1");
    pawn_takes.side_to_move = Color::White;
    EXPECT_TRUE(offers(pawn_takes, {"e3d4"}));
    Board knight_takes = board_of("8/8/8/4k3/8/3N4/8/4K3 b - - 0 1");
    knight_takes.side_to_move = Color::White;
    EXPECT_TRUE(offers(knight_takes, {"d3e5"}));
    // Kings side by side: FEN validation refuses them, play reaches them.
    Board king_takes = board_of("8/8/8/8/8/4k3/8/4K3 w - - 0 1");
    remove_piece(king_takes, sq("e3"));
    put_piece(king_takes, sq("e2"), Color::Black, PieceKind::King);
    EXPECT_TRUE(offers(king_takes, {"e1e2"}));
    Board queen_takes = board_of("4k3/8/8/8/8/8/2q5/3K4 w - - 0 1");
    queen_takes.side_to_move = Color::Black;
    EXPECT_TRUE(offers(queen_takes, {"c2d1"}));
}

TEST(PawnPushes, BlockedPawns) {
    // e3 occupied: no push at all, the two-step cannot jump.
    EXPECT_TRUE(offers("4k3/8/8/8/8/4n3/4P3/K7 w - - 0 1", {}, {"e2e3", "e2e4"}));
    // e4 occupied only: the one-step remains.
    EXPECT_TRUE(offers("4k3/8/8/8/4n3/8/4P3/K7 w - - 0 1", {"e2e3"}, {"e2e4"}));
    // Own pieces are never captured; empty diagonals are never stepped on.
    EXPECT_TRUE(offers("4k3/8/8/8/8/3N1N2/4P3/K7 w - - 0 1", {}, {"e2d3", "e2f3"}));
    EXPECT_TRUE(offers("4k3/4p3/4N3/8/8/8/8/K7 b - - 0 1", {}, {"e7e6", "e7e5"}));
    // A pawn on the last rank (accepted by FEN) has nowhere to go.
    const Strings last = moves_of(board_of("3Pk3/8/8/8/8/8/8/K7 w - - 0 1"));
    for (const std::string& m : last) EXPECT_NE(m.substr(0, 2), "d8") << m;
}

TEST(SlidingMoves, StopAtTheFirstPieceTakingOnlyEnemies) {
    const Strings list = moves_of(board_of("k7/8/8/8/P2R2p1/8/8/3K4 w - - 0 1"));
    Strings rook;
    for (const std::string& m : list) {
        if (m.substr(0, 2) == "d4") rook.push_back(m);
    }
    const Strings expected{"d4d2", "d4d3", "d4b4", "d4c4", "d4e4", "d4f4", "d4g4", "d4d5", "d4d6", "d4d7", "d4d8"};
    EXPECT_EQ(rook, expected);
}

TEST(Generation, EveryMoveIsPlayable) {
    // Whatever is generated is accepted by play_move (king captures aside).
    const char* fens[] = {"r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
                          "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R b KQkq - 0 1",
                          "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1"};
    for (const char* fen : fens) {
        const Board b = board_of(fen);
        MoveList moves;
        generate_moves(b, moves);
        EXPECT_GT(moves.size(), 0u);
        for (const BoardMove& m : moves) {
            EXPECT_TRUE(contains(b.pieces(b.side_to_move), m.source)) << testing::uci_of(m);
            EXPECT_FALSE(contains(b.pieces(b.side_to_move), m.destination)) << testing::uci_of(m);
            Board next = b;
            EXPECT_FALSE(play_move(next, m).has_value()) << testing::uci_of(m);
        }
    }
}

}  // namespace
}  // namespace murkplay
