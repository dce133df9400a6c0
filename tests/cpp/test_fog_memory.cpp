// Each side's memory of the board, the game record around it, and how apply_move changes
// (or, when it refuses, does not change) that record.
#include <cstring>
#include <string_view>

#include "game/apply.hpp"
#include "game/game_end.hpp"
#include "game/fog_memory.hpp"
#include "game/game.hpp"
#include "test_support.hpp"

namespace murkplay {
namespace {

using testing::board_of;
using testing::set_of;
using testing::sq;

constexpr int white = 0;
constexpr int black = 1;

SeenPiece seen(int color, PieceKind kind) {
    return SeenPiece{static_cast<std::uint8_t>(color), static_cast<std::uint8_t>(kind)};
}

::testing::AssertionResult nothing_remembered(const SeenPiece& p) {
    if (p.color == SeenPiece::nothing_remembered) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "remembers colour " << int(p.color) << " kind " << int(p.kind);
}

Applied apply_text(Game& game, std::string_view text) {
    const Result<BoardMove> m = parse_uci_move(text);
    EXPECT_TRUE(m.ok()) << text;
    const Result<Applied, MoveRefusal> r = apply_move(game, *m);
    EXPECT_TRUE(r.ok()) << text << " refused";
    return r.ok() ? r.value() : Applied::Played;
}

bool same_bytes(const Game& a, const Game& b) { return std::memcmp(&a, &b, sizeof(Game)) == 0; }

constexpr PieceKind back_rank[8] = {PieceKind::Rook, PieceKind::Knight, PieceKind::Bishop, PieceKind::Queen,
                                    PieceKind::King, PieceKind::Bishop, PieceKind::Knight, PieceKind::Rook};

TEST(NewGame, WhiteToMoveLooksAroundOnce) {
    const Game g = new_game(start_board());
    EXPECT_EQ(g.board, start_board());
    EXPECT_EQ(g.captured_king, 2);
    for (int q = 0; q < 64; ++q) {
        EXPECT_EQ(g.memory_age[white][q], q < 32 ? 0.0f : 101.0f) << testing::square_name(q);
        EXPECT_EQ(g.memory_age[black][q], 100.0f) << testing::square_name(q);
        EXPECT_TRUE(nothing_remembered(g.memory_piece[black][q])) << testing::square_name(q);
        if (q < 8) {
            EXPECT_EQ(g.memory_piece[white][q], seen(white, back_rank[q])) << testing::square_name(q);
        } else if (q < 16) {
            EXPECT_EQ(g.memory_piece[white][q], seen(white, PieceKind::Pawn)) << testing::square_name(q);
        } else {
            EXPECT_TRUE(nothing_remembered(g.memory_piece[white][q])) << testing::square_name(q);
        }
    }
    EXPECT_FALSE(is_terminal(g));
    EXPECT_EQ(terminal_value(g, Color::White), 0.0f);
    EXPECT_EQ(terminal_value(g, Color::Black), 0.0f);
}

TEST(NewGame, BlackToMoveSwapsTheRoles) {
    const Game g = new_game(board_of("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1"));
    for (int q = 0; q < 64; ++q) {
        EXPECT_EQ(g.memory_age[black][q], q >= 32 ? 0.0f : 101.0f) << testing::square_name(q);
        EXPECT_EQ(g.memory_age[white][q], 100.0f) << testing::square_name(q);
        EXPECT_TRUE(nothing_remembered(g.memory_piece[white][q])) << testing::square_name(q);
        if (q >= 56) {
            EXPECT_EQ(g.memory_piece[black][q], seen(black, back_rank[q - 56])) << testing::square_name(q);
        } else if (q >= 48) {
            EXPECT_EQ(g.memory_piece[black][q], seen(black, PieceKind::Pawn)) << testing::square_name(q);
        } else {
            EXPECT_TRUE(nothing_remembered(g.memory_piece[black][q])) << testing::square_name(q);
        }
    }
}

TEST(Refresh, OnlyTheSideToMoveAfterEachMove) {
    const Game start = new_game(start_board());
    Game g = start;
    EXPECT_EQ(apply_text(g, "e2e4"), Applied::Played);
    EXPECT_EQ(g.board.side_to_move, Color::Black);
    // Black sees exactly ranks 5 to 8.
    for (int q = 0; q < 64; ++q) {
        EXPECT_EQ(g.memory_age[black][q], q >= 32 ? 0.0f : 101.0f) << testing::square_name(q);
    }
    for (int f = 0; f < 8; ++f) {
        EXPECT_EQ(g.memory_piece[black][56 + f], seen(black, back_rank[f]));
        EXPECT_EQ(g.memory_piece[black][48 + f], seen(black, PieceKind::Pawn));
    }
    // White's memory is as construction left it: the pawn is still remembered on e2.
    EXPECT_EQ(g.memory_age[white], start.memory_age[white]);
    EXPECT_EQ(g.memory_piece[white], start.memory_piece[white]);
    EXPECT_EQ(g.memory_piece[white][sq("e2")], seen(white, PieceKind::Pawn));
    EXPECT_TRUE(nothing_remembered(g.memory_piece[white][sq("e4")]));

    const Game after_e4 = g;
    EXPECT_EQ(apply_text(g, "e7e5"), Applied::Played);
    EXPECT_EQ(g.memory_age[black], after_e4.memory_age[black]);
    EXPECT_EQ(g.memory_piece[black], after_e4.memory_piece[black]);
    // White now sees ranks 1 to 4 and, beyond, what the e4 pawn, the f1 bishop and the d1
    // queen reach.
    const SquareSet beyond = set_of({"d5", "e5", "f5", "b5", "a6", "h5"});
    for (int q = 0; q < 64; ++q) {
        const bool in_view = q < 32 || contains(beyond, static_cast<Square>(q));
        EXPECT_EQ(g.memory_age[white][q], in_view ? 0.0f : 102.0f) << testing::square_name(q);
    }
    EXPECT_EQ(g.memory_piece[white][sq("e5")], seen(black, PieceKind::Pawn));
    EXPECT_EQ(g.memory_piece[white][sq("e4")], seen(white, PieceKind::Pawn));
    // A square seen empty is remembered as nothing, with the kind code of no piece.
    EXPECT_EQ(g.memory_piece[white][sq("e2")], (SeenPiece{2, 6}));
    EXPECT_EQ(g.memory_piece[white][sq("a6")], (SeenPiece{2, 6}));
    EXPECT_TRUE(nothing_remembered(g.memory_piece[white][sq("e7")]));
}

TEST(Refresh, AgesCountTheObserversOwnTurnsAndKeepWhatWasSeen) {
    Game g = new_game(board_of("4k3/8/8/n7/8/8/8/R3K3 w - - 0 1"));
    // The rook looks up the a-file as far as the knight.
    EXPECT_EQ(g.memory_piece[white][sq("a5")], seen(black, PieceKind::Knight));
    EXPECT_EQ(g.memory_age[white][sq("a5")], 0.0f);
    EXPECT_EQ(g.memory_age[white][sq("a6")], 101.0f);

    apply_text(g, "a1b1");
    apply_text(g, "a5c6");  // White looks around: a5 is out of sight now
    EXPECT_EQ(g.memory_age[white][sq("a5")], 1.0f);
    EXPECT_EQ(g.memory_age[white][sq("a1")], 0.0f);
    EXPECT_EQ(g.memory_piece[white][sq("a1")], (SeenPiece{2, 6}));
    apply_text(g, "e1f1");
    apply_text(g, "e8d8");
    apply_text(g, "f1g1");
    apply_text(g, "d8e8");
    EXPECT_EQ(g.memory_age[white][sq("a5")], 3.0f);
    // Still the knight, although it stands on c6 now.
    EXPECT_EQ(g.memory_piece[white][sq("a5")], seen(black, PieceKind::Knight));
    // Never seen: 100 plus each of White's four looks.
    EXPECT_EQ(g.memory_age[white][sq("h8")], 104.0f);
    EXPECT_EQ(g.memory_age[white][sq("c6")], 104.0f);
    EXPECT_TRUE(nothing_remembered(g.memory_piece[white][sq("c6")]));
    // Black's ages count Black's own looks only: three of them since construction.
    EXPECT_EQ(g.memory_age[black][sq("h1")], 100.0f + 3.0f);

    apply_text(g, "b1a1");
    apply_text(g, "e8d8");  // the rook sees the empty a-file again
    EXPECT_EQ(g.memory_age[white][sq("a5")], 0.0f);
    EXPECT_EQ(g.memory_piece[white][sq("a5")], (SeenPiece{2, 6}));
    EXPECT_EQ(g.memory_age[white][sq("a8")], 0.0f);
}

TEST(KingCapture, BoardUnchangedCapturerLooksAgain) {
    Game g = new_game(board_of("1k5r/8/8/8/8/8/8/R5K1 b - - 0 1"));
    apply_text(g, "b8a8");
    const Game before = g;
    EXPECT_EQ(g.board.side_to_move, Color::White);
    EXPECT_EQ(apply_text(g, "a1a8"), Applied::KingCaptured);
    EXPECT_EQ(g.board, before.board);
    EXPECT_EQ(g.board.side_to_move, Color::White);
    EXPECT_EQ(g.captured_king, 1);
    EXPECT_TRUE(is_terminal(g));
    EXPECT_EQ(terminal_value(g, Color::White), 1.0f);
    EXPECT_EQ(terminal_value(g, Color::Black), -1.0f);
    // White looked once more on the same board: what it sees is age 0, the rest one older.
    const SquareSet in_view = set_of({"a1", "a2", "a3", "a4", "a5", "a6", "a7", "a8", "b1", "c1", "d1", "e1", "f1",
                                      "g1", "h1", "f2", "g2", "h2"});
    for (int q = 0; q < 64; ++q) {
        const bool v = contains(in_view, static_cast<Square>(q));
        EXPECT_EQ(g.memory_age[white][q], v ? 0.0f : before.memory_age[white][q] + 1.0f) << testing::square_name(q);
    }
    EXPECT_EQ(g.memory_age[white][sq("h8")], 102.0f);
    EXPECT_EQ(g.memory_piece[white][sq("a8")], seen(black, PieceKind::King));
    EXPECT_EQ(g.memory_age[black], before.memory_age[black]);
    EXPECT_EQ(g.memory_piece[black], before.memory_piece[black]);

    // The game goes on if asked: a White move is played, then Black takes the White king.
    EXPECT_EQ(apply_text(g, "g1h1"), Applied::Played);
    EXPECT_EQ(g.board.side_to_move, Color::Black);
    const Board before_black = g.board;
    EXPECT_EQ(apply_text(g, "h8h1"), Applied::KingCaptured);
    EXPECT_EQ(g.captured_king, 0);
    EXPECT_EQ(g.board, before_black);
    EXPECT_EQ(terminal_value(g, Color::White), -1.0f);
    EXPECT_EQ(terminal_value(g, Color::Black), 1.0f);
}

TEST(KingCapture, OntoTheOwnKingLosesTheGame) {
    Game g = new_game(board_of("4k3/8/8/8/8/8/8/4K3 w - - 0 1"));
    const Board before = g.board;
    EXPECT_EQ(apply_text(g, "e1e1"), Applied::KingCaptured);
    EXPECT_EQ(g.captured_king, 0);
    EXPECT_EQ(g.board, before);
    EXPECT_EQ(terminal_value(g, Color::White), -1.0f);
}

TEST(KingCapture, AMissingKingEndsTheGameToo) {
    Game g = new_game(board_of("4k3/8/8/8/8/8/8/4K3 w - - 0 1"));
    testing::remove_piece(g.board, sq("e8"));
    EXPECT_TRUE(is_terminal(g));
    EXPECT_EQ(terminal_value(g, Color::White), 1.0f);
    EXPECT_EQ(terminal_value(g, Color::Black), -1.0f);
}

TEST(Refusals, LeaveTheGameByteIdentical) {
    struct Case {
        const char* fen;
        const char* move;
        MoveRefusal refusal;
    };
    for (const Case& c : {
             Case{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "e3e4", MoveRefusal::EmptySource},
             Case{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "e7e5", MoveRefusal::NotMoversPiece},
             Case{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "d1d2",
                  MoveRefusal::OwnPieceOnDestination},
             Case{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1", "e2e4", MoveRefusal::NotMoversPiece},
             // A malformed move onto a king never ends the game: the source is checked first.
             Case{"4k3/8/8/8/8/8/8/4K3 w - - 0 1", "a4e8", MoveRefusal::EmptySource},
             Case{"4k3/8/8/8/8/8/8/4K3 w - - 0 1", "e8e1", MoveRefusal::NotMoversPiece},
             Case{"4k3/8/8/8/8/8/8/4K3 b - - 0 1", "e1e8", MoveRefusal::NotMoversPiece},
         }) {
        Game g = new_game(board_of(c.fen));
        Game copy;
        std::memcpy(&copy, &g, sizeof(Game));
        const Result<BoardMove> m = parse_uci_move(c.move);
        ASSERT_TRUE(m.ok());
        EXPECT_TRUE(testing::fails_with(apply_move(g, *m), c.refusal)) << c.fen << " " << c.move;
        EXPECT_TRUE(same_bytes(g, copy)) << c.fen << " " << c.move;
        EXPECT_EQ(g.captured_king, 2);
    }
}

TEST(Refresh, RunsOnTheGameRecordAlone) {
    // A second look without a move: the seen squares stay at 0, the rest grow by one, and only
    // the side to move's memory changes.
    Game g = new_game(start_board());
    const Game before = g;
    refresh_fog_memory(g);
    for (int q = 0; q < 64; ++q) {
        EXPECT_EQ(g.memory_age[white][q], q < 32 ? 0.0f : 102.0f);
    }
    EXPECT_EQ(g.memory_piece[white], before.memory_piece[white]);
    EXPECT_EQ(g.memory_age[black], before.memory_age[black]);
    EXPECT_EQ(g.board, before.board);
}

}  // namespace
}  // namespace murkplay
