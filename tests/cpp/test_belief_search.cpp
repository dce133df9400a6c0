// The belief agent's search against a plain minimax that searches every move: alpha-beta and
// the shortcut one ply from the horizon must change no score, on random play's positions and
// on ones with promotions and en passant, which random play seldom reaches.
#include <random>
#include <string_view>

#include "agents/belief_search.hpp"
#include "agents/builtin_agents.hpp"
#include "game/movegen.hpp"
#include "rules/attacks.hpp"
#include "rules/play_move.hpp"
#include "test_support.hpp"

namespace murkplay::agents {
namespace {

constexpr int win = 1'000'000;

int material(const Board& b, Color c) {
    int total = 0;
    for (int k = 0; k < piece_kind_count; ++k) total += 100 * piece_value[k] * count(b.pieces(c, PieceKind(k)));
    return total;
}

bool takes_king(const Board& b) {
    const SquareSet king = b.pieces(opposite(b.side_to_move), PieceKind::King);
    return king != 0 && attackers_of(b, lowest(king), b.side_to_move, b.occupied) != 0;
}

int minimax(const Board& b, int depth, int ply) {
    if (takes_king(b)) return win - ply;
    const int standing = material(b, b.side_to_move) - material(b, opposite(b.side_to_move));
    MoveList moves;
    if (depth > 0) generate_moves(b, moves);
    if (moves.size() == 0) return standing;
    int best = -win - 1;
    for (const BoardMove& m : moves) {
        Board next = b;
        if (!play_move(next, m)) best = std::max(best, -minimax(next, depth - 1, ply + 1));
    }
    return best;
}

int plain_score(const Board& b, const BoardMove& m, int depth) {
    if (contains(b.pieces(opposite(b.side_to_move), PieceKind::King), m.destination)) return win;
    Board next = b;
    if (play_move(next, m)) return -win;
    return -minimax(next, depth - 1, 1);
}

void expect_plain_scores(const Board& b, int depth) {
    MoveList moves;
    generate_moves(b, moves);
    parallel::Stop stop;
    MoveSearch search;
    for (const BoardMove& m : moves) {
        EXPECT_EQ(search.score(b, m, depth, stop), plain_score(b, m, depth))
            << testing::uci_of(m) << " at depth " << depth;
    }
}

TEST(BeliefSearch, ScoresEqualAPlainMinimaxOnRandomPlay) {
    std::mt19937_64 random(0x5EA2C4);
    // Three plies: the plain minimax at four would take minutes under the sanitizers.
    for (int game = 0; game < 6; ++game) {
        Board b = testing::board_of("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1");
        for (int ply = 0; ply < 80; ++ply) {
            if (ply % 12 == 3) expect_plain_scores(b, 3);
            MoveList moves;
            generate_moves(b, moves);
            if (moves.size() == 0) break;
            const BoardMove m = moves[random() % moves.size()];
            if (contains(b.pieces(opposite(b.side_to_move), PieceKind::King), m.destination)) break;
            ASSERT_FALSE(play_move(b, m));
        }
    }
}

TEST(BeliefSearch, ScoresEqualAPlainMinimaxWithPromotionsAndEnPassant) {
    // The last two open a chance of en passant with their first move.
    for (const std::string_view fen :
         {"4k3/1P6/8/3pP3/8/8/6p1/4K2R w K d6 0 1", "r3k3/1P4P1/8/8/2pP4/8/8/4K3 b q d3 0 1",
          "1n2k3/P7/8/8/8/8/5p2/4KN2 w - - 0 1", "4k3/3p4/8/4P3/8/8/8/4K3 b - - 0 1", "4k3/8/8/8/5p2/8/4P3/4K3 w - - 0 1"}) {
        for (int depth = 1; depth <= 4; ++depth) expect_plain_scores(testing::board_of(fen), depth);
    }
}

}  // namespace
}  // namespace murkplay::agents
