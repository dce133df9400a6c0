#include "game/apply.hpp"

#include "game/fog_memory.hpp"

namespace murkplay {

Result<Applied, MoveRefusal> apply_move(Game& game, const BoardMove& move) {
    Board& b = game.board;
    // play_move refuses a bad source itself; only a capture of a king needs it tested first.
    const bool onto_king = contains(b.occupied, move.destination) && b.kind_on(move.destination) == PieceKind::King;
    Applied outcome = Applied::Played;
    if (onto_king && !source_refusal(b, move)) {
        game.captured_king = contains(b.pieces(Color::White), move.destination) ? 0 : 1;
        outcome = Applied::KingCaptured;
    } else if (const auto refusal = play_move(b, move)) {
        return *refusal;
    }
    refresh_fog_memory(game);
    return outcome;
}

}  // namespace murkplay
