#include "game/fog_memory.hpp"

#include "game/movegen.hpp"

namespace murkplay {

void refresh_fog_memory(Game& game) {
    const Board& b = game.board;
    const Color observer = b.side_to_move;
    const SquareSet seen = visible_squares(b, observer);
    auto& ages = game.memory_age[index(observer)];
    auto& pieces = game.memory_piece[index(observer)];

    for (int q = 0; q < 64; ++q) ages[q] = contains(seen, static_cast<Square>(q)) ? 0.0f : ages[q] + 1.0f;

    for (const Square q : squares_of(seen & ~b.occupied)) pieces[q] = SeenPiece{};
    for (const Color c : {Color::White, Color::Black}) {
        for (int k = 0; k < piece_kind_count; ++k) {
            const SeenPiece piece{static_cast<std::uint8_t>(index(c)), static_cast<std::uint8_t>(k)};
            for (const Square q : squares_of(seen & b.pieces(c, static_cast<PieceKind>(k)))) pieces[q] = piece;
        }
    }
}

}  // namespace murkplay
