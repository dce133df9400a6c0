#include "game/perft.hpp"

#include "game/movegen.hpp"
#include "rules/play_move.hpp"

namespace murkplay {

std::uint64_t perft(const Board& board, int depth) {
    MoveList moves;
    generate_moves(board, moves);
    if (depth <= 1) return moves.size();
    std::uint64_t nodes = 0;
    for (const BoardMove& move : moves) {
        if (contains(board.occupied, move.destination) && board.kind_on(move.destination) == PieceKind::King) {
            ++nodes;
            continue;
        }
        Board next = board;
        [[maybe_unused]] const auto refusal = play_move(next, move);
        assert(!refusal);
        nodes += perft(next, depth - 1);
    }
    return nodes;
}

}  // namespace murkplay
