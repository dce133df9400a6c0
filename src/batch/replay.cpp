#include "batch/replay.hpp"

#include <algorithm>
#include <vector>

#include "encode/legal_slots.hpp"
#include "encode/observation.hpp"
#include "game/apply.hpp"
#include "game/game_end.hpp"
#include "rules/play_move.hpp"

namespace murkplay::batch {

namespace {

std::optional<ReplayRefusal> refusal_at(std::size_t g, std::span<const MoveCode> moves, std::size_t ply,
                                        const MoveList& listed) {
    const std::optional<BoardMove> move = move_of_code(moves[ply]);
    if (move && std::find(listed.begin(), listed.end(), *move) != listed.end()) return std::nullopt;
    return ReplayRefusal{g, ply, moves[ply]};
}

// Whether every move of game g is legal where it is played: the board alone decides it.
std::optional<ReplayRefusal> check_game(Board board, std::size_t g, std::span<const MoveCode> moves) {
    for (std::size_t ply = 0; ply < moves.size(); ++ply) {
        MoveList listed;
        generate_moves(board, listed);
        if (auto refused = refusal_at(g, moves, ply, listed)) return refused;
        // A listed move is always playable; one onto a king ends the game and leaves the board.
        const BoardMove move = *move_of_code(moves[ply]);
        if (!contains(board.pieces(opposite(board.side_to_move), PieceKind::King), move.destination)) {
            [[maybe_unused]] const auto refusal = play_move(board, move);
        }
    }
    return std::nullopt;
}

std::optional<ReplayRefusal> replay_game(Game game, std::size_t g, std::span<const MoveCode> moves, std::size_t first,
                                         bool oracle, const ReplayOutputs& out) {
    for (std::size_t ply = 0; ply < moves.size(); ++ply) {
        const std::size_t row = first + ply;
        const Color side = game.board.side_to_move;
        MoveList listed;
        generate_moves(game.board, listed);
        if (auto refused = refusal_at(g, moves, ply, listed)) return refused;
        const BoardMove move = *move_of_code(moves[ply]);
        if (out.observation) {
            build_observation(game, oracle,
                              std::span<float, observation_size>(out.observation + row * observation_size,
                                                                 observation_size));
        }
        if (out.mask) write_slot_mask(side, listed, out.mask + row * action_count);
        if (out.slot) out.slot[row] = slot_of(side, move);
        // Who moved, until the game's value is known.
        if (out.outcome) out.outcome[row] = side == Color::White ? 1.0f : -1.0f;
        [[maybe_unused]] const auto applied = apply_move(game, move);
    }
    if (out.outcome) {
        const float white = terminal_value(game, Color::White);
        const float black = terminal_value(game, Color::Black);
        for (std::size_t row = first; row < first + moves.size(); ++row) {
            out.outcome[row] = out.outcome[row] > 0.0f ? white : black;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<ReplayRefusal> replay(std::span<const Game> starts, std::span<const MoveCode> moves,
                                    std::span<const std::int64_t> offsets, bool oracle, bool check_first,
                                    ThreadTeam& team, std::size_t threads, const ReplayOutputs& out) {
    const auto moves_of = [&](std::size_t g) {
        const auto first = static_cast<std::size_t>(offsets[g]);
        return moves.subspan(first, static_cast<std::size_t>(offsets[g + 1]) - first);
    };
    // Each range of games keeps its first refusal; the ranges are in game order.
    const auto over_games = [&](const auto& each) {
        std::vector<std::optional<ReplayRefusal>> refused(starts.size());
        team.for_each_range(starts.size(), threads, 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t g = begin; g < end; ++g) {
                refused[g] = each(g);
                if (refused[g]) return;
            }
        });
        const auto first = std::find_if(refused.begin(), refused.end(), [](const auto& r) { return r.has_value(); });
        return first == refused.end() ? std::nullopt : *first;
    };
    if (check_first) {
        if (auto refused = over_games([&](std::size_t g) { return check_game(starts[g].board, g, moves_of(g)); })) {
            return refused;
        }
    }
    return over_games([&](std::size_t g) {
        return replay_game(starts[g], g, moves_of(g), static_cast<std::size_t>(offsets[g]), oracle, out);
    });
}

}  // namespace murkplay::batch
