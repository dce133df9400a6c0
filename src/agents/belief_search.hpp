// The belief agent's move choice: a few positions sampled from the belief, each searched a
// few plies deep as if it were the true one (taking a king wins; otherwise material counts),
// and the move with the best average score over the samples played.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "batch/game_batch.hpp"
#include "belief/batch_beliefs.hpp"
#include "belief/tracker.hpp"
#include "game/movegen.hpp"
#include "parallel/stop.hpp"

namespace murkplay::agents {

// What a king taken within the depth scores, sooner scoring more: above any material.
inline constexpr int win_score = 1'000'000;
// The least a caller may count a king for: a pawn, above the plies a king taken may take off it,
// so that taking one always scores above nothing.
inline constexpr int min_king_score = 100;

struct SearchSettings {
    std::size_t samples = 8;
    int depth = 3;  // plies, the agent's own move included
    // What a sample's king taken, or lost, counts for in belief_scores' averages, in hundredths
    // of a pawn: below win_score, one position in many that loses the king may weigh less than
    // material won in all of them.
    int king = win_score;
};

// The bounds a caller may ask for. The work grows with samples times about the number of
// legal moves to the power depth / 2 + 1: at these bounds one game's choice in a middle game
// takes a few seconds on one core.
inline constexpr std::size_t max_search_samples = 64;
inline constexpr int max_search_depth = 5;
static_assert(min_king_score > max_search_depth);

// A search of single moves with full sight, keeping its move lists from one move to the next.
class MoveSearch {
public:
    // The score for its mover of `move` played on `board`, searched `depth` plies deep, the
    // move itself included: hundredths of a pawn of material, about 1,000,000 for a king taken
    // within the depth (sooner scores more), minus that for its own king lost; any score once
    // asked to stop. The same as a plain minimax: alpha-beta skips only what cannot matter.
    int score(const Board& board, const BoardMove& move, int depth, parallel::Stop& stop);

private:
    // A node's moves and the order it searches them in; a list is large, and making one at
    // every node would cost more than the search.
    struct Ply {
        MoveList listed;
        std::array<std::uint32_t, max_moves> order;
    };

    int negamax(const Board& board, int depth, int alpha, int beta, int ply, parallel::Stop& stop);

    std::vector<Ply> plies_;  // the node k plies after the move scored at k - 1
};

// Which of a game's legal moves to score, by place in its list: every one, or those whose flag
// is set (none past the flags). For a batch, the flags of game i start at flags + i * width.
struct MoveFilter {
    bool every = true;
    const std::uint8_t* flags = nullptr;
    std::size_t width = 0;

    bool wants(std::size_t place) const { return every || (place < width && flags[place] != 0); }
    MoveFilter of_game(std::size_t i) const { return every ? *this : MoveFilter{false, flags + i * width, width}; }
};

// The average score of each of the game's legal moves (in the order they are listed) over
// `settings.samples` positions drawn from the belief, each searched `settings.depth` plies
// deep with full sight, its own move included, for the side to move: hundredths of a pawn of
// material, `settings.king` for a king taken within the depth (less the plies it took), minus
// that for its own king lost; NaN for a move the filter leaves out. Empty when the game lists no move.
std::vector<double> belief_scores(const belief::BeliefTracker& belief, const Game& game, SearchSettings settings,
                                  belief::RandomStream& random, parallel::Stop& stop, MoveFilter among = {});

// The place, in the game's list of legal moves, of the move with the best average; none when
// the list is empty or when asked to stop. The game is read for that list only, which its
// side's view fixes. The samples and the draw among equal moves come from `random`.
std::optional<std::size_t> belief_move(const belief::BeliefTracker& belief, const Game& game,
                                       SearchSettings settings, belief::RandomStream& random, parallel::Stop& stop);

// The belief agent's move in every game the beliefs may act in (BatchBeliefs::acting), as a
// place in the game's list of legal moves, -1 elsewhere; on `threads` threads of the beliefs'
// team. Each belief's random stream moves on only when every choice is made: a refusal, a
// failure or a stop changes nothing.
[[nodiscard]] std::optional<belief::BeliefRefusal> belief_moves(belief::BatchBeliefs& beliefs,
                                                                const batch::GameBatch& batch, SearchSettings settings,
                                                                std::int64_t* positions, std::size_t threads,
                                                                parallel::Stop& stop);

// belief_scores in every game the beliefs may act in: those games, in order, in `games`, and
// their scores in `scores`, on `threads` threads of the beliefs' team, of the moves `among`
// flags. The random streams move on as belief_moves's do.
[[nodiscard]] std::optional<belief::BeliefRefusal> belief_move_scores(belief::BatchBeliefs& beliefs,
                                                                      const batch::GameBatch& batch,
                                                                      SearchSettings settings,
                                                                      std::vector<std::size_t>& games,
                                                                      std::vector<std::vector<double>>& scores,
                                                                      std::size_t threads, parallel::Stop& stop,
                                                                      MoveFilter among = {});

}  // namespace murkplay::agents
