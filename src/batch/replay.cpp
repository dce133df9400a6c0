#include "batch/replay.hpp"

#include <algorithm>
#include <vector>

#include "batch/game_batch.hpp"
#include "batch/parallel.hpp"
#include "encode/legal_slots.hpp"
#include "encode/observation.hpp"
#include "game/apply.hpp"
#include "game/game_end.hpp"

namespace murkplay::batch {

namespace {

std::optional<ReplayRefusal> replay_game(Game game, std::size_t g, std::span<const MoveCode> moves, std::size_t first,
                                         bool oracle, const ReplayOutputs& out, std::vector<Color>& movers) {
    movers.clear();
    for (std::size_t row = first; row < first + moves.size(); ++row) {
        const Color side = game.board.side_to_move;
        MoveList listed;
        generate_moves(game.board, listed);
        const std::optional<BoardMove> move = move_of_code(moves[row - first]);
        if (!move || std::find(listed.begin(), listed.end(), *move) == listed.end()) {
            return ReplayRefusal{g, row - first, moves[row - first]};
        }
        if (out.observation) {
            build_observation(game, oracle,
                              std::span<float, observation_size>(out.observation + row * observation_size,
                                                                 observation_size));
        }
        if (out.mask) {
            write_slot_mask(side, listed, out.mask + row * action_count);
        }
        if (out.slot) out.slot[row] = slot_of(side, *move);
        movers.push_back(side);
        // A listed move is always playable.
        [[maybe_unused]] const auto applied = apply_move(game, *move);
    }
    if (out.outcome) {
        for (std::size_t ply = 0; ply < movers.size(); ++ply) out.outcome[first + ply] = terminal_value(game, movers[ply]);
    }
    return std::nullopt;
}

}  // namespace

std::optional<ReplayRefusal> replay(std::span<const Game> starts, std::span<const MoveCode> moves,
                                    std::span<const std::int64_t> offsets, bool oracle, std::size_t threads,
                                    const ReplayOutputs& out) {
    const std::size_t chunks = std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(starts.size(), 1));
    std::vector<std::optional<ReplayRefusal>> refused(chunks);
    for_each_chunk(starts.size(), chunks, [&](std::size_t begin, std::size_t end, std::size_t chunk) {
        std::vector<Color> movers;
        for (std::size_t g = begin; g < end && !refused[chunk]; ++g) {
            const auto first = static_cast<std::size_t>(offsets[g]);
            const auto last = static_cast<std::size_t>(offsets[g + 1]);
            refused[chunk] = replay_game(starts[g], g, moves.subspan(first, last - first), first, oracle, out, movers);
        }
    });
    for (const auto& refusal : refused) {
        if (refusal) return refusal;
    }
    return std::nullopt;
}

}  // namespace murkplay::batch
