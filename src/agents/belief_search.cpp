#include "agents/belief_search.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <vector>

#include "agents/builtin_agents.hpp"
#include "rules/attacks.hpp"
#include "rules/play_move.hpp"

namespace murkplay::agents {

using belief::BatchBeliefs;
using belief::BeliefRefusal;
using belief::BeliefTracker;
using belief::RandomStream;
using parallel::Stop;

namespace {

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

// The material a move wins for its side: the piece it takes (a pawn en passant) and what a
// promotion adds. Searching the dearest first lets alpha-beta cut early, and one ply from the
// horizon the first move that keeps the king decides.
int gain(const Board& b, const BoardMove& m) {
    const Color us = b.side_to_move;
    int won = 0;
    if (contains(b.occupied, m.destination)) {
        won = piece_value[index(b.kind_on(m.destination))];
    } else if (b.en_passant_pawn.present && m.destination == b.en_passant_pawn.square + pawn_push(us) &&
               contains(b.pieces(us, PieceKind::Pawn), m.source)) {
        won = piece_value[index(PieceKind::Pawn)];
    }
    if (m.promotion != PieceKind::None) won += piece_value[index(m.promotion)] - piece_value[index(PieceKind::Pawn)];
    return 100 * won;
}

// A search score with a king taken counted as `king`, the plies it took still told apart.
int king_worth(int score, int king) {
    if (score > win_score / 2) return king - (win_score - score);
    if (score < -win_score / 2) return -king + (win_score + score);
    return score;
}

// Dearest first, then in the order listed: the gain counted down from a bound above any
// move's, above the move's place in the list.
constexpr int order_shift = 11;
static_assert(max_moves <= (1u << order_shift));
constexpr int gain_bound = 100 * 2 * piece_value[index(PieceKind::Queen)];

}  // namespace

// The score of the side to move, full information, alpha-beta; any score once asked to stop.
int MoveSearch::negamax(const Board& b, int depth, int alpha, int beta, int ply, Stop& stop) {
    if (stop.poll()) return 0;
    const Color us = b.side_to_move;
    if (attacks_enemy_king(b, us)) return win_score - ply;
    const int standing = material(b, us) - material(b, opposite(us));
    if (depth == 0) return standing;
    MoveList& listed = plies_[ply - 1].listed;
    std::uint32_t* order = plies_[ply - 1].order.data();
    listed.clear();
    generate_moves(b, listed);
    if (listed.size() == 0) return standing;
    for (std::size_t i = 0; i < listed.size(); ++i) {
        order[i] = static_cast<std::uint32_t>(gain_bound - gain(b, listed[i])) << order_shift | i;
    }
    std::sort(order, order + listed.size());
    int best = -win_score - 1;
    for (std::size_t i = 0; i < listed.size(); ++i) {
        Board next = b;
        if (play_move(next, listed[order[i] & ((1u << order_shift) - 1)])) continue;
        if (depth == 1) {
            // The horizon counts material only: no later move wins more than this one, unless
            // this one gives up the king.
            if (attacks_enemy_king(next, opposite(us))) {
                best = std::max(best, -(win_score - ply - 1));
                continue;
            }
            return std::max(best, standing + gain_bound - static_cast<int>(order[i] >> order_shift));
        }
        best = std::max(best, -negamax(next, depth - 1, -beta, -alpha, ply + 1, stop));
        alpha = std::max(alpha, best);
        if (alpha >= beta) break;
    }
    return best;
}

int MoveSearch::score(const Board& b, const BoardMove& m, int depth, Stop& stop) {
    if (contains(b.pieces(opposite(b.side_to_move), PieceKind::King), m.destination)) return win_score;
    Board next = b;
    if (play_move(next, m)) return -win_score;
    if (plies_.size() + 1 < static_cast<std::size_t>(depth)) plies_.resize(depth - 1);
    return -negamax(next, depth - 1, -win_score - 1, win_score + 1, 1, stop);
}

std::vector<double> belief_scores(const BeliefTracker& belief, const Game& game, SearchSettings settings,
                                  RandomStream& random, Stop& stop, MoveFilter among) {
    MoveList listed;
    generate_moves(game.board, listed);
    std::vector<double> totals(listed.size(), 0.0);
    if (listed.size() == 0) return totals;
    const std::vector<std::size_t> drawn = belief.sample(settings.samples, random);
    MoveSearch search;
    for (const std::size_t i : drawn) {
        const Board& position = belief.positions()[i];
        for (std::size_t m = 0; m < listed.size(); ++m) {
            if (!among.wants(m)) continue;
            totals[m] += king_worth(search.score(position, listed[m], std::max(settings.depth, 1), stop), settings.king);
        }
    }
    for (std::size_t m = 0; m < totals.size(); ++m) {
        if (!among.wants(m)) {
            totals[m] = std::numeric_limits<double>::quiet_NaN();
        } else if (!drawn.empty()) {
            totals[m] /= static_cast<double>(drawn.size());
        }
    }
    return totals;
}

std::optional<std::size_t> belief_move(const BeliefTracker& belief, const Game& game, SearchSettings settings,
                                       RandomStream& random, Stop& stop) {
    const std::vector<double> scores = belief_scores(belief, game, settings, random, stop);
    if (scores.empty() || stop.stopped()) return std::nullopt;
    // Among equally good moves, one at random: the first listed would always push a pawn.
    const double best = *std::max_element(scores.begin(), scores.end());
    std::vector<std::size_t> ties;
    for (std::size_t m = 0; m < scores.size(); ++m) {
        if (scores[m] == best) ties.push_back(m);
    }
    return ties[random.next() % ties.size()];
}

namespace {

// Runs `choose(k, game, random)` for every game the beliefs may act in, on `threads` threads
// of the beliefs' team, each with a copy of its game's random stream; the copies are kept only
// when every game is done, so a refusal, a failure or a stop changes nothing.
template <typename Choose>
std::optional<BeliefRefusal> for_acting_games(BatchBeliefs& beliefs, const batch::GameBatch& batch,
                                              std::vector<std::size_t>& games, std::size_t threads, Stop& stop,
                                              Choose choose) {
    if (auto refused = beliefs.acting(batch, games)) return refused;
    std::vector<RandomStream> streams(games.size());
    beliefs.team().for_each_range(
        games.size(), threads, 1,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end && !stop.stopped(); ++k) {
                streams[k] = beliefs.tracker(games[k]).random();
                choose(k, games[k], streams[k]);
            }
        },
        &stop);
    if (stop.stopped()) return BeliefRefusal{0, BeliefRefusal::Reason::Tracker, belief::BeliefError::Stopped};
    for (std::size_t k = 0; k < games.size(); ++k) beliefs.set_random(games[k], streams[k]);
    return std::nullopt;
}

}  // namespace

std::optional<BeliefRefusal> belief_moves(BatchBeliefs& beliefs, const batch::GameBatch& batch,
                                          SearchSettings settings, std::int64_t* positions, std::size_t threads,
                                          Stop& stop) {
    std::fill(positions, positions + batch.size(), -1);
    std::vector<std::size_t> games;
    return for_acting_games(beliefs, batch, games, threads, stop,
                            [&](std::size_t, std::size_t i, RandomStream& random) {
                                const auto chosen =
                                    belief_move(beliefs.tracker(i), batch.entry(i).game, settings, random, stop);
                                positions[i] = chosen ? static_cast<std::int64_t>(*chosen) : -1;
                            });
}

std::optional<BeliefRefusal> belief_move_scores(BatchBeliefs& beliefs, const batch::GameBatch& batch,
                                                SearchSettings settings, std::vector<std::size_t>& games,
                                                std::vector<std::vector<double>>& scores, std::size_t threads,
                                                Stop& stop, MoveFilter among) {
    // Room for every game, before the threads start; the acting ones come first.
    scores.assign(batch.size(), {});
    const auto refused = for_acting_games(beliefs, batch, games, threads, stop,
                                          [&](std::size_t k, std::size_t i, RandomStream& random) {
                                              scores[k] = belief_scores(beliefs.tracker(i), batch.entry(i).game,
                                                                        settings, random, stop, among.of_game(i));
                                          });
    scores.resize(games.size());
    return refused;
}

}  // namespace murkplay::agents
