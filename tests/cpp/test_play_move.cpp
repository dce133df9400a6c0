// Making a move: piece movement, captures, castling, castling rights, en passant and
// promotion, and the moves that are refused.
#include <string_view>

#include "rules/play_move.hpp"
#include "test_support.hpp"

namespace murkplay {
namespace {

using testing::board_of;
using testing::mv;
using testing::none;
using testing::occupant;
using testing::piece;
using testing::set_of;
using testing::sq;

constexpr Color W = Color::White;
constexpr Color B = Color::Black;

// Plays a move that must be accepted and checks the record stays consistent.
Board played(Board b, const BoardMove& m) {
    const auto refusal = play_move(b, m);
    EXPECT_FALSE(refusal.has_value()) << testing::uci_of(m) << " refused";
    EXPECT_TRUE(sets_are_consistent(b)) << testing::uci_of(m);
    return b;
}

Board played(Board b, std::initializer_list<std::string_view> moves) {
    for (const std::string_view text : moves) {
        const Result<BoardMove> m = parse_uci_move(text);
        EXPECT_TRUE(m.ok()) << text;
        b = played(b, *m);
    }
    return b;
}

TEST(PlayMove, PlainPushFromTheStart) {
    const Board b = played(start_board(), mv("e2", "e4"));
    EXPECT_EQ(occupant(b, sq("e4")), piece(W, PieceKind::Pawn));
    EXPECT_EQ(occupant(b, sq("e2")), none());
    EXPECT_FALSE(b.en_passant_pawn.present);
    EXPECT_EQ(b.side_to_move, B);
    EXPECT_EQ(b.castling[0], 3);
    EXPECT_EQ(b.castling[1], 3);
    EXPECT_EQ(count(b.occupied), 32);
    // Everything but the pawn is where it was.
    Board expected = start_board();
    testing::put_piece(expected, sq("e4"), W, PieceKind::Pawn);
    testing::remove_piece(expected, sq("e2"));
    expected.side_to_move = B;
    EXPECT_EQ(b, expected);
}

TEST(PlayMove, CaptureRemovesTheTakenPiece) {
    // A knight takes a bishop; then a pawn takes a pawn.
    const Board b = played(board_of("4k3/8/8/3b4/8/4N3/8/4K3 w - - 0 1"), mv("e3", "d5"));
    EXPECT_EQ(occupant(b, sq("d5")), piece(W, PieceKind::Knight));
    EXPECT_EQ(b.piece_sets[index(PieceKind::Bishop)], 0u);
    EXPECT_EQ(b.pieces(B), set_of({"e8"}));
    EXPECT_EQ(b.occupied, set_of({"e8", "d5", "e1"}));

    const Board p = played(board_of("4k3/8/8/3p4/4P3/8/8/4K3 w - - 0 1"), mv("e4", "d5"));
    EXPECT_EQ(p.piece_sets[index(PieceKind::Pawn)], set_of({"d5"}));
    EXPECT_EQ(p.pieces(W), set_of({"d5", "e1"}));
    EXPECT_EQ(p.pieces(B), set_of({"e8"}));
}

struct CastleCase {
    const char* fen;
    const char* move;
    const char* king_to;
    const char* rook_from;
    const char* rook_to;
};

class Castling : public ::testing::TestWithParam<CastleCase> {};

TEST_P(Castling, MovesTheRookAndDropsTheMoversRights) {
    const CastleCase& c = GetParam();
    const Board before = board_of(c.fen);
    const Color mover = before.side_to_move;
    const Board b = played(before, {c.move});
    EXPECT_EQ(occupant(b, sq(c.king_to)), piece(mover, PieceKind::King));
    EXPECT_EQ(occupant(b, sq(c.rook_to)), piece(mover, PieceKind::Rook));
    EXPECT_EQ(occupant(b, sq(c.rook_from)), none());
    EXPECT_EQ(occupant(b, sq(std::string_view(c.move).substr(0, 2))), none());
    EXPECT_EQ(count(b.occupied), count(before.occupied));
    EXPECT_EQ(count(b.pieces(mover, PieceKind::Rook)), 2);
    EXPECT_EQ(b.castling[index(mover)], 0);
    EXPECT_EQ(b.castling[index(opposite(mover))], 3);
    EXPECT_EQ(b.side_to_move, opposite(mover));
}

INSTANTIATE_TEST_SUITE_P(
    BothWaysBothColours, Castling,
    ::testing::Values(CastleCase{"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "e1g1", "g1", "h1", "f1"},
                      CastleCase{"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "e1c1", "c1", "a1", "d1"},
                      CastleCase{"r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", "e8g8", "g8", "h8", "f8"},
                      CastleCase{"r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", "e8c8", "c8", "a8", "d8"}));

struct RightsCase {
    const char* fen;
    const char* move;
    CastlingRights white;
    CastlingRights black;
};

class CastlingRightsLoss : public ::testing::TestWithParam<RightsCase> {};

TEST_P(CastlingRightsLoss, ThroughTheSquaresLeftAndEntered) {
    const RightsCase& c = GetParam();
    const Board b = played(board_of(c.fen), {c.move});
    EXPECT_EQ(b.castling[0], c.white) << c.move;
    EXPECT_EQ(b.castling[1], c.black) << c.move;
}

INSTANTIATE_TEST_SUITE_P(
    Moves, CastlingRightsLoss,
    ::testing::Values(
        RightsCase{"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "h1h5", 2, 3},   // rook leaves h1
        RightsCase{"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "h1g1", 2, 3},
        RightsCase{"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "a1b1", 1, 3},   // rook leaves a1
        RightsCase{"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "e1f1", 0, 3},   // king steps aside
        RightsCase{"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "e1d2", 0, 3},
        RightsCase{"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "a1a8", 1, 1},   // rook takes rook
        RightsCase{"r3k2r/8/8/8/4B3/8/8/R3K2R w KQkq - 0 1", "e4a8", 3, 1}, // bishop takes a8
        RightsCase{"r3k2r/8/8/8/4b3/8/8/R3K2R b KQkq - 0 1", "e4h1", 2, 3}, // Black takes h1
        RightsCase{"r3k2r/8/8/8/4b3/8/8/R3K2R b KQkq - 0 1", "h8h1", 2, 2}, // rook takes rook
        RightsCase{"r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", "h8h7", 3, 2},
        RightsCase{"r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", "e8e7", 3, 0},
        RightsCase{"r3k2r/8/8/8/4B3/8/8/R3K2R w KQkq - 0 1", "e4d5", 3, 3}, // other pieces: nothing
        RightsCase{"r3k2r/p7/8/8/8/8/8/R3K2R b KQkq - 0 1", "a7a5", 3, 3},
        // Rights already gone stay gone; a rook returning to its corner restores nothing.
        RightsCase{"r3k2r/8/8/8/8/8/8/R3K1R1 w Qkq - 0 1", "g1h1", 2, 3}));

TEST(PlayMove, RookLeavingAndReturningKeepsTheRightLost) {
    const Board b = played(board_of("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1"), {"h1h2", "a8b8", "h2h1", "b8a8"});
    EXPECT_EQ(b.castling[0], 2);
    EXPECT_EQ(b.castling[1], 1);
}

TEST(EnPassant, RecordedOnlyWithAnEnemyPawnBeside) {
    struct Case {
        const char* fen;
        const char* move;
        bool recorded;
    };
    for (const Case& c : {
             Case{"4k3/8/8/8/3p4/8/4P3/4K3 w - - 0 1", "e2e4", true},    // d4
             Case{"4k3/8/8/8/5p2/8/4P3/4K3 w - - 0 1", "e2e4", true},    // f4
             Case{"4k3/8/8/8/2p5/8/4P3/4K3 w - - 0 1", "e2e4", false},   // c4: too far
             Case{"4k3/8/8/3p4/8/8/4P3/4K3 w - - 0 1", "e2e4", false},   // d5: other rank
             Case{"4k3/8/8/8/3n4/8/4P3/4K3 w - - 0 1", "e2e4", false},   // a knight beside
             Case{"4k3/8/8/8/3P4/8/4P3/4K3 w - - 0 1", "e2e4", false},   // an own pawn beside
             Case{"4k3/8/8/p7/8/8/7P/4K3 w - - 0 1", "h2h4", false},     // a5 is not beside h4
             Case{"4k3/8/8/8/8/7p/P7/4K3 w - - 0 1", "a2a4", false},     // h3 is not beside a4
             Case{"4k3/8/8/8/6p1/8/7P/4K3 w - - 0 1", "h2h4", true},     // g4
             Case{"4k3/4p3/8/3P4/8/8/8/4K3 b - - 0 1", "e7e5", true},    // d5
             Case{"4k3/4p3/8/8/3P4/8/8/4K3 b - - 0 1", "e7e5", false},   // d4: other rank
             Case{"4k3/p7/8/1P6/8/8/8/4K3 b - - 0 1", "a7a5", true},     // b5
             Case{"4k3/7p/P7/8/8/8/8/4K3 b - - 0 1", "h7h5", false},     // a6 follows h5, not beside it
             Case{"4k3/p7/8/8/7P/8/8/4K3 b - - 0 1", "a7a5", false},     // h4 is not beside a5
         }) {
        const Board b = played(board_of(c.fen), {c.move});
        const Square to = sq(std::string_view(c.move).substr(2, 2));
        if (c.recorded) {
            EXPECT_EQ(b.en_passant_pawn, (OptionalSquare{true, to})) << c.fen << " " << c.move;
        } else {
            EXPECT_FALSE(b.en_passant_pawn.present) << c.fen << " " << c.move;
        }
    }
}

TEST(EnPassant, TheGameLine) {
    const Board b = played(start_board(), {"e2e4", "d7d5", "e4e5", "f7f5"});
    EXPECT_EQ(b.en_passant_pawn, (OptionalSquare{true, sq("f5")}));
    EXPECT_EQ(b.side_to_move, W);

    const Board taken = played(b, {"e5f6"});
    EXPECT_EQ(occupant(taken, sq("f6")), piece(W, PieceKind::Pawn));
    EXPECT_EQ(occupant(taken, sq("f5")), none());
    EXPECT_EQ(occupant(taken, sq("e5")), none());
    EXPECT_EQ(count(taken.pieces(B, PieceKind::Pawn)), 7);
    EXPECT_EQ(count(taken.occupied), 31);
    EXPECT_FALSE(taken.en_passant_pawn.present);

    // Any other move instead lets the chance pass, and the pawn on f5 stays.
    const Board other = played(b, {"g1f3"});
    EXPECT_FALSE(other.en_passant_pawn.present);
    EXPECT_EQ(occupant(other, sq("f5")), piece(B, PieceKind::Pawn));
    // Once passed, the same diagonal step is an ordinary pawn move onto an empty square.
    const Board later = played(other, {"a7a6", "e5f6"});
    EXPECT_EQ(occupant(later, sq("f5")), piece(B, PieceKind::Pawn));
    EXPECT_EQ(count(later.occupied), 32);
}

TEST(EnPassant, BlackTakesEnPassant) {
    const Board b = played(board_of("4k3/8/8/8/3p4/8/4P3/4K3 w - - 0 1"), {"e2e4", "d4e3"});
    EXPECT_EQ(occupant(b, sq("e3")), piece(B, PieceKind::Pawn));
    EXPECT_EQ(occupant(b, sq("e4")), none());
    EXPECT_EQ(b.piece_sets[index(PieceKind::Pawn)], set_of({"e3"}));
    EXPECT_EQ(b.side_to_move, W);
}

TEST(EnPassant, FromTheFenField) {
    const Board b = played(board_of("4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1"), {"e5d6"});
    EXPECT_EQ(b.piece_sets[index(PieceKind::Pawn)], set_of({"d6"}));
    EXPECT_EQ(b.pieces(B), set_of({"e8"}));
}

TEST(EnPassant, OnlyStraightTwoStepsFromTheStartRankCount) {
    // A pawn moving from e2 to e5, or a White pawn coming back from e7 to e5, is no two-step.
    EXPECT_FALSE(played(board_of("4k3/8/8/3p4/8/8/4P3/4K3 w - - 0 1"), {"e2e5"}).en_passant_pawn.present);
    EXPECT_FALSE(played(board_of("k7/4P3/8/3p4/8/8/8/4K3 w - - 0 1"), {"e7e5"}).en_passant_pawn.present);
    // A Black pawn from e2 to e4 beside a White pawn: rank 2 is not Black's start rank.
    EXPECT_FALSE(played(board_of("4k3/8/8/8/3P4/8/4p3/K7 b - - 0 1"), {"e2e4"}).en_passant_pawn.present);
    // A diagonal jump of two ranks is no two-step either.
    EXPECT_FALSE(played(board_of("4k3/8/8/8/3p4/8/5P2/4K3 w - - 0 1"), {"f2e4"}).en_passant_pawn.present);
}

TEST(Promotion, OnTheLastRank) {
    const Board q = played(board_of("k7/4P3/8/8/8/8/8/4K3 w - - 0 1"), mv("e7", "e8", PieceKind::Queen));
    EXPECT_EQ(occupant(q, sq("e8")), piece(W, PieceKind::Queen));
    EXPECT_EQ(q.piece_sets[index(PieceKind::Pawn)], 0u);
    EXPECT_EQ(occupant(q, sq("e7")), none());

    const Board n = played(board_of("k7/4P3/8/8/8/8/8/4K3 w - - 0 1"), mv("e7", "e8", PieceKind::Knight));
    EXPECT_EQ(occupant(n, sq("e8")), piece(W, PieceKind::Knight));
    EXPECT_EQ(n.piece_sets[index(PieceKind::Queen)], 0u);

    // A capturing promotion replaces the rook taken.
    const Board c = played(board_of("k2r4/4P3/8/8/8/8/8/4K3 w - - 0 1"), mv("e7", "d8", PieceKind::Rook));
    EXPECT_EQ(occupant(c, sq("d8")), piece(W, PieceKind::Rook));
    EXPECT_EQ(c.pieces(B), set_of({"a8"}));
    EXPECT_EQ(c.piece_sets[index(PieceKind::Rook)], set_of({"d8"}));

    const Board black = played(board_of("k7/8/8/8/8/8/3p4/6K1 b - - 0 1"), mv("d2", "d1", PieceKind::Bishop));
    EXPECT_EQ(occupant(black, sq("d1")), piece(B, PieceKind::Bishop));
    EXPECT_EQ(black.piece_sets[index(PieceKind::Pawn)], 0u);
}

TEST(Promotion, AnyPawnMoveWithAKindPromotes) {
    // e2e4 with a queen: a queen lands on e4, and although a Black pawn stands beside,
    // no en-passant pawn is recorded.
    const Board b = played(board_of("4k3/8/8/8/3p4/8/4P3/4K3 w - - 0 1"), mv("e2", "e4", PieceKind::Queen));
    EXPECT_EQ(occupant(b, sq("e4")), piece(W, PieceKind::Queen));
    EXPECT_EQ(b.piece_sets[index(PieceKind::Pawn)], set_of({"d4"}));
    EXPECT_FALSE(b.en_passant_pawn.present);

    const Board one_step = played(start_board(), mv("a2", "a3", PieceKind::Knight));
    EXPECT_EQ(occupant(one_step, sq("a3")), piece(W, PieceKind::Knight));

    // Onto the en-passant target with a promotion kind: no en-passant capture.
    const Board ep = played(board_of("4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1"), mv("e5", "d6", PieceKind::Rook));
    EXPECT_EQ(occupant(ep, sq("d6")), piece(W, PieceKind::Rook));
    EXPECT_EQ(occupant(ep, sq("d5")), piece(B, PieceKind::Pawn));
}

TEST(Promotion, WithoutAKindThePawnStaysAPawn) {
    const Board b = played(board_of("k7/4P3/8/8/8/8/8/4K3 w - - 0 1"), mv("e7", "e8"));
    EXPECT_EQ(occupant(b, sq("e8")), piece(W, PieceKind::Pawn));
}

TEST(Promotion, IgnoredOnAnyOtherPiece) {
    const Board knight = played(start_board(), mv("g1", "f3", PieceKind::Queen));
    EXPECT_EQ(occupant(knight, sq("f3")), piece(W, PieceKind::Knight));
    EXPECT_EQ(count(knight.piece_sets[index(PieceKind::Queen)]), 2);

    const Board king = played(board_of("4k3/8/8/8/8/8/8/4K3 w - - 0 1"), mv("e1", "e2", PieceKind::Rook));
    EXPECT_EQ(occupant(king, sq("e2")), piece(W, PieceKind::King));
    EXPECT_EQ(king.piece_sets[index(PieceKind::Rook)], 0u);

    const Board rook = played(board_of("4k3/8/8/8/8/8/8/R3K3 w Q - 0 1"), mv("a1", "a7", PieceKind::Knight));
    EXPECT_EQ(occupant(rook, sq("a7")), piece(W, PieceKind::Rook));
}

TEST(Refusals, LeaveTheBoardUnchanged) {
    struct Case {
        const char* fen;
        BoardMove move;
        MoveRefusal refusal;
    };
    for (const Case& c : {
             Case{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", mv("e3", "e4"), MoveRefusal::EmptySource},
             Case{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", mv("e4", "e4"), MoveRefusal::EmptySource},
             Case{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1", mv("a3", "a2"), MoveRefusal::EmptySource},
             Case{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", mv("e7", "e5"),
                  MoveRefusal::NotMoversPiece},
             Case{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1", mv("e2", "e4"),
                  MoveRefusal::NotMoversPiece},
             Case{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", mv("d1", "d2"),
                  MoveRefusal::OwnPieceOnDestination},
             Case{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", mv("e2", "e2"),
                  MoveRefusal::OwnPieceOnDestination},
             Case{"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", mv("e1", "h1"), MoveRefusal::OwnPieceOnDestination},
         }) {
        Board b = board_of(c.fen);
        const Board before = b;
        const auto refusal = play_move(b, c.move);
        ASSERT_TRUE(refusal.has_value()) << c.fen << " " << testing::uci_of(c.move);
        EXPECT_EQ(*refusal, c.refusal) << c.fen << " " << testing::uci_of(c.move);
        EXPECT_EQ(b, before) << c.fen << " " << testing::uci_of(c.move);
    }
}

TEST(KingMoves, OnlyTheHomeSquareToTheGOrCFileCastles) {
    // g1 to e1 touches two castling squares but is a plain king move: the h1 rook stays.
    const Board back = played(board_of("4k3/8/8/8/8/8/8/6KR w - - 0 1"), mv("g1", "e1"));
    EXPECT_EQ(occupant(back, sq("e1")), piece(W, PieceKind::King));
    EXPECT_EQ(occupant(back, sq("h1")), piece(W, PieceKind::Rook));
    EXPECT_EQ(occupant(back, sq("f1")), none());
    const Board back_black = played(board_of("r1k5/8/8/8/8/8/8/4K3 b - - 0 1"), mv("c8", "e8"));
    EXPECT_EQ(occupant(back_black, sq("a8")), piece(B, PieceKind::Rook));
    EXPECT_EQ(back_black.occupied, set_of({"a8", "e8", "e1"}));

    // e1g1 with no rook on h1 conjures none.
    const Board bare = played(board_of("4k3/8/8/8/8/8/8/4K3 w - - 0 1"), mv("e1", "g1"));
    EXPECT_EQ(bare.occupied, set_of({"e8", "g1"}));
    EXPECT_EQ(bare.piece_sets[index(PieceKind::Rook)], 0u);
    const Board bare_queen_side = played(board_of("4k3/8/8/8/8/8/8/4K3 w - - 0 1"), mv("e1", "c1"));
    EXPECT_EQ(bare_queen_side.occupied, set_of({"e8", "c1"}));

    // With something on f1, the rook cannot land there: a plain king move.
    const Board blocked = played(board_of("4k3/8/8/8/8/8/8/4KB1R w K - 0 1"), mv("e1", "g1"));
    EXPECT_EQ(occupant(blocked, sq("g1")), piece(W, PieceKind::King));
    EXPECT_EQ(occupant(blocked, sq("f1")), piece(W, PieceKind::Bishop));
    EXPECT_EQ(occupant(blocked, sq("h1")), piece(W, PieceKind::Rook));
    EXPECT_EQ(blocked.castling[0], 0);
    const Board blocked_by_enemy = played(board_of("4k3/8/8/8/8/8/8/R2nK3 w Q - 0 1"), mv("e1", "c1"));
    EXPECT_EQ(occupant(blocked_by_enemy, sq("d1")), piece(B, PieceKind::Knight));
    EXPECT_EQ(occupant(blocked_by_enemy, sq("a1")), piece(W, PieceKind::Rook));

    // An enemy rook in the corner does not castle with the White king.
    const Board enemy_rook = played(board_of("4k3/8/8/8/8/8/8/4K2r w - - 0 1"), mv("e1", "g1"));
    EXPECT_EQ(occupant(enemy_rook, sq("h1")), piece(B, PieceKind::Rook));
    EXPECT_EQ(occupant(enemy_rook, sq("f1")), none());

    // A king one square from home to the g-file is not castling either.
    const Board f1g1 = played(board_of("4k3/8/8/8/8/8/8/5K1R w - - 0 1"), mv("f1", "g1"));
    EXPECT_EQ(occupant(f1g1, sq("h1")), piece(W, PieceKind::Rook));
}

}  // namespace
}  // namespace murkplay
