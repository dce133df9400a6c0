#include "encode/observation.hpp"

#include <algorithm>

#include "game/movegen.hpp"

namespace murkplay {

namespace {

enum Feature : int {
    own_seen = 0,
    opponent_seen = 6,
    seen_empty = 12,
    fog = 13,
    own_remembered = 14,
    opponent_remembered = 20,
    nothing_remembered = 26,
    recency = 27,
    king_side_right = 28,
    queen_side_right = 29,
    opponent_material = 30,
};

// Each mirrored set keeps the ascending walk, and every feature is one bit set away.
class Writer {
public:
    Writer(std::span<float, observation_size> out, Color viewer) : out_(out), viewer_(viewer) {}

    void mark(SquareSet squares, int feature) {
        for (const Square q : squares_of(squares)) at(q, feature) = 1.0f;
    }
    float& at(Square q, int feature) { return out_[observation_features * relative_square(viewer_, q) + feature]; }

private:
    std::span<float, observation_size> out_;
    Color viewer_;
};

}  // namespace

void build_observation(const Game& game, Color viewer, bool oracle, std::span<float, observation_size> out) {
    std::fill(out.begin(), out.end(), 0.0f);
    const Board& b = game.board;
    const Color us = viewer;
    const Color them = opposite(us);
    const SquareSet seen = oracle ? ~SquareSet{0} : visible_squares(b, us);
    Writer cells(out, us);

    // A square in neither colour set, which a valid Board never has, counts as an opponent's.
    const SquareSet opponent_squares = b.occupied & ~b.pieces(us);
    for (int k = 0; k < piece_kind_count; ++k) {
        const SquareSet kind = b.piece_sets[k] & seen;
        cells.mark(kind & b.pieces(us), own_seen + k);
        cells.mark(kind & opponent_squares, opponent_seen + k);
    }
    cells.mark(seen & ~b.occupied, seen_empty);
    cells.mark(~seen, fog);

    const auto& remembered = game.memory_piece[index(us)];
    const auto& ages = game.memory_age[index(us)];
    for (int q = 0; q < 64; ++q) {
        const Square square = static_cast<Square>(q);
        const SeenPiece piece = remembered[q];
        const int feature = piece.color == SeenPiece::nothing_remembered ? nothing_remembered
                            : piece.color == index(us)                   ? own_remembered + piece.kind
                                                                         : opponent_remembered + piece.kind;
        cells.at(square, feature) = 1.0f;
        cells.at(square, recency) = 1.0f / (ages[q] + 1.0f);
    }

    out[king_side_right] = (b.castling[index(us)] & king_side) ? 1.0f : 0.0f;
    out[observation_features + queen_side_right] = (b.castling[index(us)] & queen_side) ? 1.0f : 0.0f;

    const std::array<float, 5> material{
        (8.0f - count(b.pieces(them, PieceKind::Pawn))) / 8.0f,
        (2.0f - count(b.pieces(them, PieceKind::Knight))) / 2.0f,
        (2.0f - count(b.pieces(them, PieceKind::Bishop))) / 2.0f,
        (2.0f - count(b.pieces(them, PieceKind::Rook))) / 2.0f,
        1.0f - count(b.pieces(them, PieceKind::Queen)),
    };
    for (int c = 0; c < 64; ++c) {
        for (int m = 0; m < 5; ++m) out[observation_features * c + opponent_material + m] = material[m];
    }
}

}  // namespace murkplay
