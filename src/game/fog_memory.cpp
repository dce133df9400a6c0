#include "game/fog_memory.hpp"

#include "game/movegen.hpp"

namespace murkplay {

void refresh_fog_memory(Game& game) {
    const Board& b = game.board;
    const Color observer = b.side_to_move;
    const SquareSet seen = visible_squares(b, observer);
    auto& ages = game.memory_age[index(observer)];
    auto& pieces = game.memory_piece[index(observer)];

    // Every square grows older; the walk over the seen squares, which has to write their
    // records anyway, resets their age. Both steps are exact, and the first vectorises.
    for (float& age : ages) age += 1.0f;
    for (const Square q : squares_of(seen & ~b.occupied)) {
        pieces[q] = SeenPiece{};
        ages[q] = 0.0f;
    }
    const SquareSet black = b.pieces(Color::Black);
    for (int k = 0; k < piece_kind_count; ++k) {
        for (const Square q : squares_of(seen & b.piece_sets[k])) {
            pieces[q] = SeenPiece{static_cast<std::uint8_t>(contains(black, q)), static_cast<std::uint8_t>(k)};
            ages[q] = 0.0f;
        }
    }
}

}  // namespace murkplay
