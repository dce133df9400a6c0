// The attack and move tables against their defining rules, written here a second way: a
// sliding piece reaches a square when the two share a line and nothing stands strictly
// between them.
#include <array>
#include <cstdlib>
#include <random>

#include "game/movegen.hpp"
#include "rules/castling.hpp"
#include "rules/play_move.hpp"
#include "rules/tables.hpp"
#include "test_support.hpp"

namespace murkplay {
namespace {

using testing::names_of;
using testing::set_of;
using testing::sq;

constexpr SquareSet one(int s) { return SquareSet{1} << s; }
int file(int s) { return s % 8; }
int rank(int s) { return s / 8; }
int sign(int x) { return (x > 0) - (x < 0); }

bool orthogonal(int a, int b) { return a != b && (file(a) == file(b) || rank(a) == rank(b)); }
bool diagonal(int a, int b) {
    return a != b && std::abs(file(a) - file(b)) == std::abs(rank(a) - rank(b));
}

SquareSet naive_between(int a, int b) {
    if (!orthogonal(a, b) && !diagonal(a, b)) return 0;
    const int df = sign(file(b) - file(a));
    const int dr = sign(rank(b) - rank(a));
    SquareSet result = 0;
    for (int f = file(a) + df, r = rank(a) + dr; f != file(b) || r != rank(b); f += df, r += dr) {
        result |= one(r * 8 + f);
    }
    return result;
}

const auto& between_reference() {
    static const auto table = [] {
        std::array<std::array<SquareSet, 64>, 64> t{};
        for (int a = 0; a < 64; ++a) {
            for (int b = 0; b < 64; ++b) t[a][b] = naive_between(a, b);
        }
        return t;
    }();
    return table;
}

SquareSet naive_slider(int s, SquareSet occupied, bool rook) {
    SquareSet result = 0;
    for (int t = 0; t < 64; ++t) {
        const bool aligned = rook ? orthogonal(s, t) : diagonal(s, t);
        if (aligned && (between_reference()[s][t] & occupied) == 0) result |= one(t);
    }
    return result;
}

// The blockers that matter: line squares other than the last one before the board edge.
SquareSet naive_mask(int s, bool rook) {
    SquareSet result = 0;
    for (int t = 0; t < 64; ++t) {
        const bool aligned = rook ? orthogonal(s, t) : diagonal(s, t);
        if (!aligned) continue;
        const int df = sign(file(t) - file(s));
        const int dr = sign(rank(t) - rank(s));
        const int nf = file(t) + df;
        const int nr = rank(t) + dr;
        if (nf >= 0 && nf < 8 && nr >= 0 && nr < 8) result |= one(t);
    }
    return result;
}

SquareSet lookup(bool rook, int s, SquareSet occupied) {
    return rook ? rook_attacks(static_cast<Square>(s), occupied) : bishop_attacks(static_cast<Square>(s), occupied);
}

class SliderRecords : public ::testing::TestWithParam<bool> {};

TEST_P(SliderRecords, RecordFieldsFollowTheRule) {
    const bool rook = GetParam();
    for (int s = 0; s < 64; ++s) {
        const SliderMagic& r = slider_magics[(rook ? 0 : 64) + s];
        const SquareSet mask = naive_mask(s, rook);
        ASSERT_EQ(r.mask, mask) << testing::square_name(s);
        ASSERT_EQ(r.shift, 64 - std::popcount(mask)) << testing::square_name(s);
        // The whole window lies inside the shared array.
        ASSERT_LE(std::size_t{r.offset} + (std::size_t{1} << (64 - r.shift)), slider_table_size)
            << testing::square_name(s);
    }
}

TEST_P(SliderRecords, EveryBlockerSubsetOfTheMaskLooksUpTheRayWalk) {
    const bool rook = GetParam();
    std::mt19937_64 random(7);
    for (int s = 0; s < 64; ++s) {
        const SquareSet mask = naive_mask(s, rook);
        SquareSet subset = 0;
        do {
            const SquareSet expected = naive_slider(s, subset, rook);
            ASSERT_EQ(lookup(rook, s, subset), expected)
                << testing::square_name(s) << " blockers " << names_of(subset);
            // Pieces outside the mask (edge squares, other lines) never change the answer.
            const SquareSet outside = random() & ~mask;
            ASSERT_EQ(lookup(rook, s, subset | outside), expected)
                << testing::square_name(s) << " blockers " << names_of(subset | outside);
            subset = (subset - mask) & mask;
        } while (subset != 0);
    }
}

TEST_P(SliderRecords, RandomFullBoardOccupancies) {
    const bool rook = GetParam();
    std::mt19937_64 random(11);
    for (int trial = 0; trial < 400; ++trial) {
        // Sparse to dense boards.
        SquareSet occupied = random();
        for (int k = trial % 4; k > 0; --k) occupied &= random();
        for (int s = 0; s < 64; ++s) {
            ASSERT_EQ(lookup(rook, s, occupied), naive_slider(s, occupied, rook))
                << testing::square_name(s) << " occupied " << names_of(occupied);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sliders, SliderRecords, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? std::string("Rook") : std::string("Bishop"); });

TEST(SliderTables, QueenIsRookOrBishop) {
    std::mt19937_64 random(13);
    for (int trial = 0; trial < 300; ++trial) {
        const SquareSet occupied = random() & random();
        for (int s = 0; s < 64; ++s) {
            const Square q = static_cast<Square>(s);
            ASSERT_EQ(queen_attacks(q, occupied), naive_slider(s, occupied, true) | naive_slider(s, occupied, false));
        }
    }
}

TEST(SliderTables, EmptyBoardGivesTheRays) {
    for (int s = 0; s < 64; ++s) {
        const Square q = static_cast<Square>(s);
        EXPECT_EQ(rook_rays(q), naive_slider(s, 0, true)) << testing::square_name(s);
        EXPECT_EQ(bishop_rays(q), naive_slider(s, 0, false)) << testing::square_name(s);
        EXPECT_EQ(std::popcount(rook_rays(q)), 14);
        EXPECT_EQ(rook_attacks(q, 0), rook_rays(q));
        EXPECT_EQ(bishop_attacks(q, 0), bishop_rays(q));
        EXPECT_EQ(line_rays[0][s], rook_rays(q));
        EXPECT_EQ(line_rays[1][s], bishop_rays(q));
    }
    EXPECT_EQ(bishop_rays(sq("a1")), set_of({"b2", "c3", "d4", "e5", "f6", "g7", "h8"}));
    EXPECT_EQ(std::popcount(bishop_rays(sq("d4"))), 13);
}

TEST(SliderTables, RookStopsAtTheFirstBlockerOfEitherColour) {
    const SquareSet expected = set_of({"a2", "a3", "b1", "c1"});
    EXPECT_EQ(rook_attacks(sq("a1"), set_of({"a3", "c1"})), expected);
    EXPECT_EQ(rook_attacks(sq("a1"), set_of({"a3", "c1", "a4", "a8", "d1", "h1", "b2"})), expected);
    // Edge blockers lie outside the mask and change nothing.
    EXPECT_EQ(rook_attacks(sq("a1"), set_of({"a8", "h1"})), rook_rays(sq("a1")));
    EXPECT_EQ(bishop_attacks(sq("c1"), set_of({"e3", "b2"})), set_of({"b2", "d2", "e3"}));
}

TEST(LeaperTables, KnightAndKingFollowTheirSteps) {
    for (int s = 0; s < 64; ++s) {
        SquareSet knight = 0;
        SquareSet king = 0;
        for (int t = 0; t < 64; ++t) {
            const int df = std::abs(file(t) - file(s));
            const int dr = std::abs(rank(t) - rank(s));
            if ((df == 1 && dr == 2) || (df == 2 && dr == 1)) knight |= one(t);
            if (t != s && df <= 1 && dr <= 1) king |= one(t);
        }
        EXPECT_EQ(knight_attacks(static_cast<Square>(s)), knight) << testing::square_name(s);
        EXPECT_EQ(king_attacks(static_cast<Square>(s)), king) << testing::square_name(s);
    }
    EXPECT_EQ(knight_attacks(sq("a1")), set_of({"b3", "c2"}));
    EXPECT_EQ(king_attacks(sq("a1")), set_of({"a2", "b1", "b2"}));
    EXPECT_EQ(knight_attacks(sq("h8")), set_of({"g6", "f7"}));
    EXPECT_EQ(std::popcount(knight_attacks(sq("d4"))), 8);
}

TEST(PawnTables, AttacksAndPushesOnEverySquare) {
    for (const Color c : {Color::White, Color::Black}) {
        const int forward = c == Color::White ? 1 : -1;
        const int start = c == Color::White ? 1 : 6;
        for (int s = 0; s < 64; ++s) {
            SquareSet attacks = 0;
            SquareSet pushes = 0;
            const int r1 = rank(s) + forward;
            if (r1 >= 0 && r1 < 8) {
                if (file(s) > 0) attacks |= one(r1 * 8 + file(s) - 1);
                if (file(s) < 7) attacks |= one(r1 * 8 + file(s) + 1);
                pushes |= one(r1 * 8 + file(s));
                if (rank(s) == start) pushes |= one((r1 + forward) * 8 + file(s));
            }
            EXPECT_EQ(pawn_attacks(c, static_cast<Square>(s)), attacks) << testing::square_name(s);
            EXPECT_EQ(pawn_pushes(c, static_cast<Square>(s)), pushes) << testing::square_name(s);
        }
    }
    // Ranks a pawn never stands on are filled too.
    EXPECT_EQ(pawn_attacks(Color::White, sq("a1")), set_of({"b2"}));
    EXPECT_EQ(pawn_pushes(Color::White, sq("a1")), set_of({"a2"}));
    EXPECT_EQ(pawn_attacks(Color::Black, sq("h8")), set_of({"g7"}));
    EXPECT_EQ(pawn_pushes(Color::Black, sq("h8")), set_of({"h7"}));
    for (int f = 0; f < 8; ++f) {
        EXPECT_EQ(pawn_attacks(Color::White, static_cast<Square>(56 + f)), 0u);
        EXPECT_EQ(pawn_pushes(Color::White, static_cast<Square>(56 + f)), 0u);
        EXPECT_EQ(pawn_attacks(Color::Black, static_cast<Square>(f)), 0u);
        EXPECT_EQ(pawn_pushes(Color::Black, static_cast<Square>(f)), 0u);
    }
    EXPECT_EQ(pawn_pushes(Color::White, sq("e2")), set_of({"e3", "e4"}));
    EXPECT_EQ(pawn_pushes(Color::White, sq("e3")), set_of({"e4"}));
    EXPECT_EQ(pawn_pushes(Color::Black, sq("e7")), set_of({"e6", "e5"}));
    EXPECT_EQ(pawn_attacks(Color::White, sq("h4")), set_of({"g5"}));
    EXPECT_EQ(pawn_attacks(Color::Black, sq("a5")), set_of({"b4"}));
}

TEST(LineTables, BetweenForEveryPair) {
    for (int a = 0; a < 64; ++a) {
        for (int b = 0; b < 64; ++b) {
            ASSERT_EQ(between(static_cast<Square>(a), static_cast<Square>(b)), naive_between(a, b))
                << testing::square_name(a) << "-" << testing::square_name(b);
        }
    }
    EXPECT_EQ(between(sq("a1"), sq("h8")), set_of({"b2", "c3", "d4", "e5", "f6", "g7"}));
    EXPECT_EQ(between(sq("h8"), sq("a1")), set_of({"b2", "c3", "d4", "e5", "f6", "g7"}));
    EXPECT_EQ(between(sq("a1"), sq("b3")), 0u);
    EXPECT_EQ(between(sq("e4"), sq("e5")), 0u);
    EXPECT_EQ(between(sq("e4"), sq("e4")), 0u);
    EXPECT_EQ(between(sq("h1"), sq("a2")), 0u);  // consecutive indices, not a line
    EXPECT_EQ(between(sq("a8"), sq("h1")), set_of({"b7", "c6", "d5", "e4", "f3", "g2"}));
}

TEST(LineTables, AdjacentFilesAndRanks) {
    for (int f = 0; f < 8; ++f) {
        SquareSet expected = 0;
        for (int s = 0; s < 64; ++s) {
            if (std::abs(file(s) - f) == 1) expected |= one(s);
        }
        EXPECT_EQ(adjacent_files(f), expected) << "file " << f;
    }
    EXPECT_EQ(std::popcount(adjacent_files(0)), 8);
    EXPECT_EQ(std::popcount(adjacent_files(7)), 8);
    for (int r = 0; r < 8; ++r) {
        SquareSet expected = 0;
        for (int f = 0; f < 8; ++f) expected |= one(r * 8 + f);
        EXPECT_EQ(rank_mask(r), expected) << "rank " << r;
    }
}

// The geometry of each castling move as the rules of chess have it: the king steps two
// squares towards its rook, the rook lands on the square the king crossed, every square
// between king and rook must be empty, and Black's moves are White's seen in a mirror.
TEST(CastlingMoves, FollowTheRulesOfChess) {
    for (const Color c : {Color::White, Color::Black}) {
        const auto& moves = castling_moves_of(c);
        EXPECT_EQ(moves[0].right, king_side);
        EXPECT_EQ(moves[1].right, queen_side);
        for (const CastlingMove& m : moves) {
            const int home = c == Color::White ? 0 : 7;
            EXPECT_EQ(m.color, c);
            EXPECT_EQ(m.king_from, sq(c == Color::White ? "e1" : "e8"));
            EXPECT_EQ(rank_of(m.rook_from), home);
            EXPECT_TRUE(file_of(m.rook_from) == 0 || file_of(m.rook_from) == 7);
            EXPECT_EQ(rank_of(m.king_to), home);
            EXPECT_EQ(std::abs(m.king_to - m.king_from), 2);
            EXPECT_EQ(between(m.king_from, m.king_to), one(m.rook_to));
            EXPECT_TRUE(between(m.king_from, m.rook_from) & one(m.king_to));
            EXPECT_EQ(m.must_be_empty, between(m.king_from, m.rook_from));
            if (c == Color::Black) {
                const CastlingMove& w = castling_moves_of(Color::White)[m.right == king_side ? 0 : 1];
                EXPECT_EQ(m.king_from, w.king_from ^ 56);
                EXPECT_EQ(m.king_to, w.king_to ^ 56);
                EXPECT_EQ(m.rook_from, w.rook_from ^ 56);
                EXPECT_EQ(m.rook_to, w.rook_to ^ 56);
            }
        }
    }
    EXPECT_EQ(king_side, 1);
    EXPECT_EQ(queen_side, 2);
}

// A right lasts exactly as long as its king and its rook both stay at home: after any move,
// from positions where every right is held and every home square can be left or taken, each
// right that remains has its pieces in place and each that was lost had one of them disturbed.
TEST(CastlingMoves, RightsAreLostThroughTheHomeSquaresOnly) {
    for (const char* fen : {"r3k2r/8/8/3Q4/3q4/8/8/R3K2R w KQkq - 0 1", "r3k2r/8/8/3Q4/3q4/8/8/R3K2R b KQkq - 0 1",
                            "r3k2r/1B6/8/8/8/8/6b1/R3K2R w KQkq - 0 1", "r3k2r/1B6/8/8/8/8/6b1/R3K2R b KQkq - 0 1"}) {
        const Board before = testing::board_of(fen);
        MoveList moves;
        generate_moves(before, moves);
        for (const BoardMove& move : moves) {
            if (contains(before.piece_sets[index(PieceKind::King)], move.destination)) continue;
            Board after = before;
            ASSERT_FALSE(play_move(after, move).has_value());
            for (const Color c : {Color::White, Color::Black}) {
                for (const CastlingMove& castle : castling_moves_of(c)) {
                    const bool in_place = contains(after.pieces(c, PieceKind::King), castle.king_from) &&
                                          contains(after.pieces(c, PieceKind::Rook), castle.rook_from);
                    const bool untouched = move.source != castle.king_from && move.source != castle.rook_from &&
                                           move.destination != castle.king_from &&
                                           move.destination != castle.rook_from;
                    const bool kept = (after.castling[index(c)] & castle.right) != 0;
                    EXPECT_EQ(kept, untouched) << fen << " " << testing::uci_of(move);
                    EXPECT_TRUE(!kept || in_place) << fen << " " << testing::uci_of(move);
                }
            }
        }
    }
}

}  // namespace
}  // namespace murkplay
