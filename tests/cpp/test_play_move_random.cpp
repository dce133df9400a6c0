// Random well-formed moves from many positions: every accepted move keeps the Board's
// invariants, and every refused move leaves the Board exactly as it was.
#include <random>
#include <string_view>
#include <vector>

#include "game/movegen.hpp"
#include "rules/play_move.hpp"
#include "test_support.hpp"

namespace murkplay {
namespace {

using testing::names_of;

::testing::AssertionResult en_passant_invariant(const Board& b) {
    if (!b.en_passant_pawn.present) return ::testing::AssertionSuccess();
    const Square e = b.en_passant_pawn.square;
    const Color mover = b.side_to_move;
    const int expected_rank = mover == Color::White ? 4 : 3;
    if (e / 8 != expected_rank) return ::testing::AssertionFailure() << "en-passant pawn on the wrong rank";
    if (!contains(b.pieces(opposite(mover), PieceKind::Pawn), e)) {
        return ::testing::AssertionFailure() << "en-passant square holds no pawn of the side not to move";
    }
    SquareSet beside = 0;
    if (e % 8 > 0) beside |= bit(static_cast<Square>(e - 1));
    if (e % 8 < 7) beside |= bit(static_cast<Square>(e + 1));
    if ((beside & b.pieces(mover, PieceKind::Pawn)) == 0) {
        return ::testing::AssertionFailure() << "no pawn of the side to move beside the en-passant pawn";
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult sets_invariant(const Board& b) {
    SquareSet seen = 0;
    for (int k = 0; k < 6; ++k) {
        if (seen & b.piece_sets[k]) return ::testing::AssertionFailure() << "piece sets overlap at kind " << k;
        seen |= b.piece_sets[k];
    }
    if (seen != b.occupied) return ::testing::AssertionFailure() << "piece sets do not make up occupied";
    if (b.color_sets[0] & b.color_sets[1]) return ::testing::AssertionFailure() << "colour sets overlap";
    if ((b.color_sets[0] | b.color_sets[1]) != b.occupied) {
        return ::testing::AssertionFailure() << "colour sets do not make up occupied";
    }
    return ::testing::AssertionSuccess();
}

// A right still held means the king and that rook have never left home.
::testing::AssertionResult castling_invariant(const Board& b) {
    for (const Color c : {Color::White, Color::Black}) {
        const CastlingRights rights = b.castling[index(c)];
        const int back = c == Color::White ? 0 : 56;
        if (rights == 0) continue;
        if (!contains(b.pieces(c, PieceKind::King), static_cast<Square>(back + 4))) {
            return ::testing::AssertionFailure() << "rights without the king at home";
        }
        if ((rights & 1) && !contains(b.pieces(c, PieceKind::Rook), static_cast<Square>(back + 7))) {
            return ::testing::AssertionFailure() << "king-side right without the rook";
        }
        if ((rights & 2) && !contains(b.pieces(c, PieceKind::Rook), static_cast<Square>(back))) {
            return ::testing::AssertionFailure() << "queen-side right without the rook";
        }
    }
    return ::testing::AssertionSuccess();
}

class RandomMoves {
public:
    explicit RandomMoves(std::uint64_t seed) : random_(seed) {}

    int below(int n) { return static_cast<int>(random_() % static_cast<std::uint64_t>(n)); }

    BoardMove well_formed(const Board& b) {
        std::vector<Square> sources;
        for (const Square s : squares_of(b.pieces(b.side_to_move))) sources.push_back(s);
        const Square source = sources[below(static_cast<int>(sources.size()))];
        Square destination;
        do {
            destination = static_cast<Square>(below(64));
        } while (contains(b.piece_sets[index(PieceKind::King)], destination));
        static constexpr PieceKind kinds[] = {PieceKind::Knight, PieceKind::Bishop, PieceKind::Rook, PieceKind::Queen};
        const PieceKind promotion = below(3) == 0 ? kinds[below(4)] : PieceKind::None;
        return {source, destination, promotion};
    }

    // A generated move that takes no king, when there is one.
    std::optional<BoardMove> generated(const Board& b) {
        MoveList moves;
        generate_moves(b, moves);
        std::vector<BoardMove> playable;
        for (const BoardMove& m : moves) {
            if (!contains(b.piece_sets[index(PieceKind::King)], m.destination)) playable.push_back(m);
        }
        if (playable.empty()) return std::nullopt;
        return playable[below(static_cast<int>(playable.size()))];
    }

private:
    std::mt19937_64 random_;
};

TEST(PlayMoveRandom, InvariantsHoldAfterEveryAcceptedMove) {
    const std::string_view fens[] = {
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
        "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R b KQkq - 0 1",
        "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
        "4k3/pppppppp/8/1P1P1P1P/8/8/8/4K3 b - - 0 1",
        "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1",
    };
    RandomMoves random(0x5EED'1234'ABCDull);
    int accepted = 0;
    int refused = 0;
    int en_passant_seen = 0;
    int castled = 0;
    for (const std::string_view fen : fens) {
        for (int walk = 0; walk < 40; ++walk) {
            Board b = testing::board_of(fen);
            for (int step = 0; step < 80; ++step) {
                std::optional<BoardMove> choice;
                if (random.below(2) == 0) choice = random.generated(b);
                const BoardMove m = choice ? *choice : random.well_formed(b);
                const Board before = b;
                const Color mover = before.side_to_move;
                const std::string where = std::string(fen) + " then " + testing::uci_of(m) + " from " +
                                          names_of(before.pieces(mover));
                const auto refusal = play_move(b, m);

                if (contains(before.pieces(mover), m.destination)) {
                    ASSERT_TRUE(refusal.has_value()) << where;
                    EXPECT_EQ(*refusal, MoveRefusal::OwnPieceOnDestination) << where;
                    ASSERT_EQ(b, before) << where;
                    ++refused;
                    continue;
                }
                ASSERT_FALSE(refusal.has_value()) << where;
                ++accepted;

                ASSERT_TRUE(sets_invariant(b)) << where;
                ASSERT_TRUE(en_passant_invariant(b)) << where;
                ASSERT_TRUE(castling_invariant(b)) << where;
                ASSERT_EQ(b.side_to_move, opposite(mover)) << where;
                ASSERT_FALSE(contains(b.occupied, m.source)) << where;
                ASSERT_TRUE(contains(b.pieces(mover), m.destination)) << where;
                const PieceKind moved = before.kind_on(m.source);
                const PieceKind landed = b.kind_on(m.destination);
                if (moved == PieceKind::Pawn && m.promotion != PieceKind::None) {
                    ASSERT_EQ(landed, m.promotion) << where;
                } else {
                    ASSERT_EQ(landed, moved) << where;
                }
                ASSERT_EQ(count(b.pieces(Color::White, PieceKind::King)), 1) << where;
                ASSERT_EQ(count(b.pieces(Color::Black, PieceKind::King)), 1) << where;
                const int lost = count(before.occupied) - count(b.occupied);
                ASSERT_GE(lost, 0) << where;
                ASSERT_LE(lost, 2) << where;
                // The side that moved keeps all its pieces.
                ASSERT_EQ(count(b.pieces(mover)), count(before.pieces(mover))) << where;
                for (int c = 0; c < 2; ++c) {
                    ASSERT_EQ(b.castling[c] & ~before.castling[c], 0) << "rights regained: " << where;
                }
                if (b.en_passant_pawn.present) ++en_passant_seen;
                if (moved == PieceKind::King && (m.destination == m.source + 2 || m.destination + 2 == m.source) &&
                    count(b.pieces(mover, PieceKind::Rook)) == count(before.pieces(mover, PieceKind::Rook)) &&
                    b.pieces(mover, PieceKind::Rook) != before.pieces(mover, PieceKind::Rook)) {
                    ++castled;
                }
            }
        }
    }
    EXPECT_GT(accepted, 5000);
    EXPECT_GT(refused, 100);
    EXPECT_GT(en_passant_seen, 20);
    EXPECT_GT(castled, 5);
}

}  // namespace
}  // namespace murkplay
