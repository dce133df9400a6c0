#include "batch/belief_search.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <vector>

#include "batch/agents.hpp"
#include "rules/attacks.hpp"
#include "rules/play_move.hpp"

namespace murkplay::batch {

namespace {

constexpr int win_score = 1'000'000;

// In hundredths of a pawn. Both kings stand on every board searched (a king attacked is taken
// at once, which ends the line), so theirs cancel.
int material(const Board& b, Color c) {
    int total = 0;
    for (int k = 0; k < piece_kind_count; ++k) {
        total += 100 * piece_value[k] * count(b.pieces(c, static_cast<PieceKind>(k)));
    }
    return total;
}

// Whether `c` attacks the other side's king, which it would take at once.
bool attacks_enemy_king(const Board& b, Color c) {
    const SquareSet king = b.pieces(opposite(c), PieceKind::King);
    return king != 0 && attackers_of(b, lowest(king), c, b.occupied) != 0;
}

// Captures of the most valuable piece first, so that alpha-beta cuts early.
int capture_order(const Board& b, const BoardMove& m) {
    return contains(b.occupied, m.destination) ? piece_value[index(b.kind_on(m.destination))] + 1 : 0;
}

// The score of the side to move, full information, alpha-beta; any score once asked to stop.
int negamax(const Board& b, int depth, int alpha, int beta, int ply, Stop& stop) {
    if (stop.poll()) return 0;
    const Color us = b.side_to_move;
    if (attacks_enemy_king(b, us)) return win_score - ply;
    if (depth == 0) return material(b, us) - material(b, opposite(us));
    MoveList listed;
    generate_moves(b, listed);
    if (listed.size() == 0) return material(b, us) - material(b, opposite(us));
    std::array<std::pair<int, std::uint16_t>, max_moves> order;
    for (std::size_t i = 0; i < listed.size(); ++i) {
        order[i] = {-capture_order(b, listed[i]), static_cast<std::uint16_t>(i)};
    }
    std::sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(listed.size()));
    int best = -win_score - 1;
    for (std::size_t i = 0; i < listed.size(); ++i) {
        Board next = b;
        if (play_move(next, listed[order[i].second])) continue;
        best = std::max(best, -negamax(next, depth - 1, -beta, -alpha, ply + 1, stop));
        alpha = std::max(alpha, best);
        if (alpha >= beta) break;
    }
    return best;
}

// The agent's move played on one sampled position, scored for the agent.
int score_move(const Board& b, const BoardMove& m, int depth, Stop& stop) {
    if (contains(b.pieces(opposite(b.side_to_move), PieceKind::King), m.destination)) return win_score;
    Board next = b;
    if (play_move(next, m)) return -win_score;
    return -negamax(next, depth - 1, -win_score - 1, win_score + 1, 1, stop);
}

}  // namespace

std::optional<std::size_t> belief_move(const BeliefTracker& belief, const Game& game, SearchSettings settings,
                                       RandomStream& random, Stop& stop) {
    MoveList listed;
    generate_moves(game.board, listed);
    if (listed.size() == 0) return std::nullopt;
    std::vector<double> totals(listed.size(), 0.0);
    for (const std::size_t i : belief.sample(settings.samples, random)) {
        const Board& position = belief.positions()[i];
        for (std::size_t m = 0; m < listed.size(); ++m) {
            totals[m] += score_move(position, listed[m], std::max(settings.depth, 1), stop);
        }
    }
    if (stop.stopped()) return std::nullopt;
    // Among equally good moves, one at random: the first listed would always push a pawn.
    const double best = *std::max_element(totals.begin(), totals.end());
    std::vector<std::size_t> ties;
    for (std::size_t m = 0; m < totals.size(); ++m) {
        if (totals[m] == best) ties.push_back(m);
    }
    return ties[random.next() % ties.size()];
}

}  // namespace murkplay::batch
