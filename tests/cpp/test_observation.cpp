// The observation planes: 64 cells of 35 features from the side to move's point of view.
#include <random>
#include <string_view>

#include "encode/observation.hpp"
#include "game/apply.hpp"
#include "game/game_end.hpp"
#include "game/movegen.hpp"
#include "test_support.hpp"

namespace murkplay {
namespace {

using testing::board_of;
using testing::sq;

constexpr int F = 35;

Observation observe(const Game& g, bool oracle) {
    Observation out;
    out.fill(-7.0f);  // the builder must write every entry
    build_observation(g, oracle, out);
    return out;
}

void apply_text(Game& g, std::string_view text) {
    const Result<BoardMove> m = parse_uci_move(text);
    ASSERT_TRUE(m.ok()) << text;
    ASSERT_TRUE(apply_move(g, *m).ok()) << text;
}

// The start position seen by the side to move, whichever colour that is: the mirrored
// position is the same.
Observation start_expected() {
    Observation e{};
    const int back[8] = {3, 1, 2, 4, 5, 2, 1, 3};
    for (int c = 0; c < 64; ++c) {
        float* cell = &e[F * c];
        if (c < 8) {
            cell[back[c]] = 1.0f;
            cell[14 + back[c]] = 1.0f;
            cell[27] = 1.0f;
        } else if (c < 16) {
            cell[0] = 1.0f;
            cell[14] = 1.0f;
            cell[27] = 1.0f;
        } else if (c < 32) {
            cell[12] = 1.0f;
            cell[26] = 1.0f;
            cell[27] = 1.0f;
        } else {
            cell[13] = 1.0f;
            cell[26] = 1.0f;
            cell[27] = 1.0f / 102.0f;
        }
    }
    e[28] = 1.0f;
    e[F + 29] = 1.0f;
    return e;
}

void expect_same(const Observation& actual, const Observation& expected) {
    for (int c = 0; c < 64; ++c) {
        for (int f = 0; f < F; ++f) {
            EXPECT_FLOAT_EQ(actual[F * c + f], expected[F * c + f]) << "cell " << c << " feature " << f;
        }
    }
}

TEST(Observation, StartWhite) {
    expect_same(observe(new_game(start_board()), false), start_expected());
}

TEST(Observation, StartBlackIsMirrored) {
    const Game g = new_game(board_of("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1"));
    const Observation o = observe(g, false);
    expect_same(o, start_expected());
    // Spelled out: Black's rooks in rows 0 and 7, its king in row 4, its pawns in rows 8-15.
    EXPECT_EQ(o[F * 0 + 3], 1.0f);
    EXPECT_EQ(o[F * 7 + 3], 1.0f);
    EXPECT_EQ(o[F * 4 + 5], 1.0f);
    EXPECT_EQ(o[F * 3 + 4], 1.0f);
    for (int c = 8; c < 16; ++c) EXPECT_EQ(o[F * c + 0], 1.0f);
}

TEST(Observation, BlackViewOfAnAsymmetricPosition) {
    // After e2e4 Black sees ranks 5-8. The Black queen (d8) is cell 3, and the White pawn on
    // e4 (cell 28 ^ 56 = 36) is fog.
    Game g = new_game(start_board());
    apply_text(g, "e2e4");
    const Observation o = observe(g, false);
    EXPECT_EQ(o[F * 3 + 4], 1.0f);
    EXPECT_EQ(o[F * 36 + 13], 1.0f);
    EXPECT_EQ(o[F * 36 + 27], 1.0f / 102.0f);
    const Observation oracle = observe(g, true);
    EXPECT_EQ(oracle[F * 36 + 6], 1.0f);   // an opponent pawn
    EXPECT_EQ(oracle[F * 52 + 12], 1.0f);  // e2, now empty
    EXPECT_EQ(oracle[F * 52 + 26], 1.0f);  // never seen by Black
    EXPECT_EQ(oracle[F * 60 + 11], 1.0f);  // White's king on e1
}

TEST(Observation, OracleShowsEverySquareAndNothingElseChanges) {
    const Game g = new_game(start_board());
    const Observation plain = observe(g, false);
    const Observation oracle = observe(g, true);
    const int back[8] = {3, 1, 2, 4, 5, 2, 1, 3};
    for (int c = 0; c < 64; ++c) {
        EXPECT_EQ(oracle[F * c + 13], 0.0f) << c;
        if (c >= 32 && c < 48) {
            EXPECT_EQ(oracle[F * c + 12], 1.0f) << c;
        }
        if (c >= 48 && c < 56) {
            EXPECT_EQ(oracle[F * c + 6], 1.0f) << c;
        }
        if (c >= 56) {
            EXPECT_EQ(oracle[F * c + 6 + back[c - 56]], 1.0f) << c;
        }
        for (int f = 0; f < 14; ++f) {
            if (c < 32) {
                EXPECT_EQ(oracle[F * c + f], plain[F * c + f]) << c << " " << f;
            }
        }
        for (int f = 14; f < F; ++f) EXPECT_EQ(oracle[F * c + f], plain[F * c + f]) << c << " " << f;
    }
}

TEST(Observation, CastlingFlagsInCellsZeroAndOne) {
    struct Case {
        const char* fen;
        float king_side;
        float queen_side;
    };
    for (const Case& c : {Case{"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", 1, 1},
                          Case{"r3k2r/8/8/8/8/8/8/R3K2R w kq - 0 1", 0, 0},
                          Case{"r3k2r/8/8/8/8/8/8/R3K2R w Qkq - 0 1", 0, 1},
                          Case{"r3k2r/8/8/8/8/8/8/R3K2R w K - 0 1", 1, 0},
                          // Only the side to move's rights count.
                          Case{"r3k2r/8/8/8/8/8/8/R3K2R b Kq - 0 1", 0, 1},
                          Case{"r3k2r/8/8/8/8/8/8/R3K2R b KQ - 0 1", 0, 0}}) {
        const Observation o = observe(new_game(board_of(c.fen)), false);
        EXPECT_EQ(o[28], c.king_side) << c.fen;
        EXPECT_EQ(o[64], c.queen_side) << c.fen;
        for (int cell = 0; cell < 64; ++cell) {
            if (cell != 0) {
                EXPECT_EQ(o[F * cell + 28], 0.0f) << c.fen << " cell " << cell;
            }
            if (cell != 1) {
                EXPECT_EQ(o[F * cell + 29], 0.0f) << c.fen << " cell " << cell;
            }
        }
    }
}

TEST(Observation, OpponentMaterialIsNotClamped) {
    struct Case {
        const char* fen;
        float expected[5];
    };
    for (const Case& c : {
             // Black: three knights, two queens, no pawns, bishops or rooks. White's own knights
             // do not count.
             Case{"nnnqqk2/8/8/8/8/8/8/NNNNK3 w - - 0 1", {1.0f, -0.5f, 1.0f, 1.0f, -1.0f}},
             // Seen from Black: White has one pawn, one bishop, three rooks, no queen.
             Case{"4k3/8/8/8/8/8/P7/RRRBK3 b - - 0 1", {7.0f / 8.0f, 1.0f, 0.5f, -0.5f, 1.0f}},
             Case{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", {0, 0, 0, 0, 0}},
         }) {
        const Observation o = observe(new_game(board_of(c.fen)), false);
        for (int cell = 0; cell < 64; ++cell) {
            for (int m = 0; m < 5; ++m) {
                EXPECT_FLOAT_EQ(o[F * cell + 30 + m], c.expected[m]) << c.fen << " cell " << cell << " m " << m;
            }
        }
    }
}

TEST(Observation, RecencyHalvesAfterOneLook) {
    Game g = new_game(board_of("4k3/8/8/n7/8/8/8/R3K3 w - - 0 1"));
    apply_text(g, "a1b1");
    apply_text(g, "a5c6");
    const Observation o = observe(g, false);
    const int a5 = sq("a5");
    EXPECT_EQ(o[F * a5 + 13], 1.0f);        // out of sight
    EXPECT_EQ(o[F * a5 + 21], 1.0f);        // an opponent knight remembered
    EXPECT_EQ(o[F * a5 + 27], 0.5f);        // seen one look ago
    EXPECT_EQ(o[F * sq("b8") + 12], 1.0f);  // the rook sees up the empty b-file
    EXPECT_EQ(o[F * sq("b8") + 26], 1.0f);
    EXPECT_EQ(o[F * sq("b8") + 27], 1.0f);
    EXPECT_EQ(o[F * sq("c6") + 13], 1.0f);
    EXPECT_EQ(o[F * sq("c6") + 26], 1.0f);
}

TEST(Observation, CellRulesHoldThroughRandomGames) {
    std::mt19937_64 random(99);
    int checked = 0;
    for (int game = 0; game < 20; ++game) {
        Game g = new_game(start_board());
        for (int ply = 0; ply < 60 && !is_terminal(g); ++ply) {
            MoveList moves;
            generate_moves(g.board, moves);
            if (moves.size() == 0) break;
            const BoardMove m = moves[random() % moves.size()];
            ASSERT_TRUE(apply_move(g, m).ok());
            const Observation plain = observe(g, false);
            const Observation oracle = observe(g, true);
            const Color us = g.board.side_to_move;
            const SquareSet view = visible_squares(g.board, us);
            for (int q = 0; q < 64; ++q) {
                const int c = us == Color::White ? q : q ^ 56;
                const float* p = &plain[F * c];
                const float* o = &oracle[F * c];
                float now = 0;
                float memory = 0;
                for (int f = 0; f < 14; ++f) now += p[f];
                for (int f = 14; f < 27; ++f) memory += p[f];
                ASSERT_EQ(now, 1.0f) << "square " << q;
                ASSERT_EQ(memory, 1.0f) << "square " << q;
                for (int f = 0; f < F; ++f) {
                    ASSERT_TRUE(p[f] >= -1.0f && p[f] <= 1.0f) << "feature " << f;
                    if (f >= 14) {
                        ASSERT_EQ(p[f], o[f]) << "feature " << f;
                    }
                }
                ASSERT_EQ(o[13], 0.0f);
                const bool seen = contains(view, static_cast<Square>(q));
                ASSERT_EQ(p[13], seen ? 0.0f : 1.0f) << "square " << q;
                if (seen) {
                    // What the memory says repeats what is seen now.
                    for (int k = 0; k < 6; ++k) {
                        ASSERT_EQ(p[14 + k], p[k]);
                        ASSERT_EQ(p[20 + k], p[6 + k]);
                    }
                    ASSERT_EQ(p[26], p[12]);
                    ASSERT_EQ(p[27], 1.0f);
                    for (int f = 0; f < 13; ++f) ASSERT_EQ(p[f], o[f]);
                } else {
                    ASSERT_LE(p[27], 0.5f);
                }
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 20000);
}

}  // namespace
}  // namespace murkplay
