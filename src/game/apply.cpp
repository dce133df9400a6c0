#include "game/apply.hpp"

#include "game/fog_memory.hpp"

namespace murkplay {

Result<Applied, MoveRefusal> apply_move(Game& game, const BoardMove& move) {
    Board& b = game.board;
    if (const auto refusal = source_refusal(b, move)) return *refusal;
    Applied outcome = Applied::Played;
    if (contains(b.occupied, move.destination) && b.kind_on(move.destination) == PieceKind::King) {
        game.captured_king = contains(b.pieces(Color::White), move.destination) ? 0 : 1;
        outcome = Applied::KingCaptured;
    } else if (const auto refusal = play_move(b, move)) {
        return *refusal;
    }
    refresh_fog_memory(game);
    return outcome;
}

}  // namespace murkplay
