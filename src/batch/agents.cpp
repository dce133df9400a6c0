#include "batch/agents.hpp"

#include <array>
#include <cassert>
#include <limits>

#include "batch/random_stream.hpp"
#include "game/movegen.hpp"
#include "rules/attacks.hpp"
#include "rules/play_move.hpp"

namespace murkplay::batch {

namespace {

// What the move takes, by what stands on its destination (which the mover always sees); a
// pawn moving aslant onto an empty square takes the pawn beside it en passant.
int gain_of(const Board& board, const BoardMove& move) {
    const Color them = opposite(board.side_to_move);
    if (contains(board.pieces(them), move.destination)) return piece_value[index(board.kind_on(move.destination))];
    const bool aslant = file_of(move.source) != file_of(move.destination);
    if (aslant && contains(board.pieces(board.side_to_move, PieceKind::Pawn), move.source) &&
        !contains(board.occupied, move.destination)) {
        return piece_value[index(PieceKind::Pawn)];
    }
    return 0;
}

bool takes_king(const Board& board, const BoardMove& move) {
    return contains(board.pieces(opposite(board.side_to_move), PieceKind::King), move.destination);
}

}  // namespace

Board known_board(const Board& board) {
    const SquareSet seen = visible_squares(board, board.side_to_move);
    Board known = board;
    for (SquareSet& set : known.piece_sets) set &= seen;
    for (SquareSet& set : known.color_sets) set &= seen;
    known.occupied &= seen;
    return known;
}

bool is_safe(const Board& known, const BoardMove& move) {
    const Color us = known.side_to_move;
    Board after = known;
    // Legal moves of the side to move, on a board that keeps all its pieces, are always played.
    [[maybe_unused]] const auto refused = play_move(after, move);
    assert(!refused);
    const SquareSet seen = visible_squares(after, us);
    for (const Square king : squares_of(after.pieces(us, PieceKind::King))) {
        if (attackers_of(after, king, opposite(us), after.occupied) & seen) return false;
    }
    return true;
}

std::size_t random_move(std::size_t count, std::uint64_t word) { return pick(word, count); }

std::size_t choose_move(Agent agent, const Board& board, std::span<const BoardMove> moves, std::uint64_t word) {
    assert(!moves.empty());
    if (agent == Agent::Random) return random_move(moves.size(), word);
    std::array<int, max_moves> gains;
    int best_gain = 0;
    for (std::size_t m = 0; m < moves.size(); ++m) {
        gains[m] = gain_of(board, moves[m]);
        best_gain = std::max(best_gain, gains[m]);
    }
    // Among the moves of the best gain, a rank that is higher the better: safety first (for
    // cautious), then a cheaper capturer (for captures).
    const bool cautious = agent == Agent::Cautious;
    const Board known = cautious ? known_board(board) : Board{};
    std::array<std::uint16_t, max_moves> tied;
    std::size_t count = 0;
    int best_rank = std::numeric_limits<int>::min();
    for (std::size_t m = 0; m < moves.size(); ++m) {
        if (gains[m] != best_gain) continue;
        const BoardMove& move = moves[m];
        const bool safe = !cautious || takes_king(board, move) || is_safe(known, move);
        const int capturer = best_gain == 0 ? 0 : piece_value[index(board.kind_on(move.source))];
        const int rank = (safe ? 1000 : 0) - capturer;
        if (rank < best_rank) continue;
        if (rank > best_rank) count = 0;
        best_rank = rank;
        tied[count++] = static_cast<std::uint16_t>(m);
    }
    return tied[pick(word, count)];
}

}  // namespace murkplay::batch
