#include "game/movegen.hpp"

#include "rules/attacks.hpp"

namespace murkplay {

namespace {

// Destinations in ascending order; one reaching a promotion square comes as four moves.
void push_each(MoveList& moves, Square from, SquareSet destinations, SquareSet promotion_squares = 0) {
    for (const Square to : squares_of(destinations)) {
        if (contains(promotion_squares, to)) {
            for (const PieceKind kind : {PieceKind::Queen, PieceKind::Rook, PieceKind::Bishop, PieceKind::Knight}) {
                moves.push({from, to, kind});
            }
        } else {
            moves.push({from, to, PieceKind::None});
        }
    }
}

// The square a pawn of the side to move lands on when it takes the en-passant pawn, as a set.
SquareSet en_passant_target(const Board& b) {
    return b.en_passant_pawn.present ? advance(b.side_to_move, bit(b.en_passant_pawn.square)) : 0;
}

void generate_pawn_moves(const Board& b, Color c, MoveList& moves) {
    const SquareSet them = b.pieces(opposite(c));
    const SquareSet promotion_squares = rank_mask(last_rank(c));
    const SquareSet target = en_passant_target(b);
    for (const Square s : squares_of(b.pieces(c, PieceKind::Pawn))) {
        // A blocked pawn cannot jump over the blocker with its two-step push.
        const SquareSet pushes = (advance(c, bit(s)) & b.occupied) ? 0 : pawn_pushes(c, s) & ~b.occupied;
        const SquareSet reach = attacks<PieceKind::Pawn>(c, s, b.occupied);
        push_each(moves, s, pushes, promotion_squares);
        push_each(moves, s, reach & them, promotion_squares);
        if (reach & target) moves.push({s, lowest(target), PieceKind::None});
    }
}

template <PieceKind K>
void generate_piece_moves(const Board& b, Color c, MoveList& moves) {
    const SquareSet ours = b.pieces(c);
    for (const Square s : squares_of(b.pieces(c, K))) push_each(moves, s, attacks<K>(c, s, b.occupied) & ~ours);
}

void generate_castling(const Board& b, Color c, MoveList& moves) {
    for (const CastlingMove& castle : castling_moves_of(c)) {
        const bool king_home = contains(b.pieces(c, PieceKind::King), castle.king_from);
        const bool rook_home = contains(b.pieces(c, PieceKind::Rook), castle.rook_from);
        const bool path_empty = (b.occupied & castle.must_be_empty) == 0;
        if ((b.castling[index(c)] & castle.right) && king_home && rook_home && path_empty) {
            moves.push({castle.king_from, castle.king_to, PieceKind::None});
        }
    }
}

// Every square attacked by the pieces of one kind and colour.
template <PieceKind K>
SquareSet attacks_of_all(const Board& b, Color c) {
    SquareSet result = 0;
    for (const Square s : squares_of(b.pieces(c, K))) result |= attacks<K>(c, s, b.occupied);
    return result;
}

}  // namespace

void generate_moves(const Board& b, MoveList& moves) {
    const Color c = b.side_to_move;
    generate_pawn_moves(b, c, moves);
    generate_piece_moves<PieceKind::Knight>(b, c, moves);
    generate_piece_moves<PieceKind::Bishop>(b, c, moves);
    generate_piece_moves<PieceKind::Rook>(b, c, moves);
    generate_piece_moves<PieceKind::Queen>(b, c, moves);
    generate_piece_moves<PieceKind::King>(b, c, moves);
    generate_castling(b, c, moves);
}

SquareSet visible_squares(const Board& b, Color c) {
    const SquareSet pawns = b.pieces(c, PieceKind::Pawn);
    // All pawns at once: both diagonals, the square in front (occupied or not), and from the
    // start rank the square beyond an empty one.
    const SquareSet pawn_reach = pawn_attack_span(c, pawns);
    const SquareSet front = advance(c, pawns);
    const SquareSet beyond = advance(c, front & ~b.occupied & rank_mask(relative_rank(c, 2)));
    SquareSet seen = b.pieces(c) | pawn_reach | front | beyond;
    seen |= attacks_of_all<PieceKind::Knight>(b, c) | attacks_of_all<PieceKind::Bishop>(b, c) |
            attacks_of_all<PieceKind::Rook>(b, c) | attacks_of_all<PieceKind::Queen>(b, c) |
            attacks_of_all<PieceKind::King>(b, c);

    // The chance to take a pawn en passant reveals that pawn. The board records the chance
    // for the side to move only; the other side sees nothing through it.
    if (c == b.side_to_move && (pawn_reach & en_passant_target(b))) seen |= bit(b.en_passant_pawn.square);
    return seen;
}

}  // namespace murkplay
