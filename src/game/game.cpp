#include "game/game.hpp"

#include "game/fog_memory.hpp"

namespace murkplay {

Game new_game(const Board& board) {
    Game game;
    for (auto& ages : game.memory_age) ages.fill(never_seen_age);
    for (auto& pieces : game.memory_piece) pieces.fill(SeenPiece{});
    game.board = board;
    game.captured_king = no_king_captured;
    refresh_fog_memory(game);
    return game;
}

}  // namespace murkplay
