#include "game/movegen.hpp"

namespace murkplay {

namespace {

constexpr SquareSet last_rank(Color c) { return c == Color::White ? rank_mask(7) : rank_mask(0); }
constexpr int home_rank(Color c) { return c == Color::White ? 0 : 7; }

// The square a pawn of colour c lands on when it takes the en-passant pawn.
constexpr int en_passant_target(Color c, Square pawn) { return c == Color::White ? pawn + 8 : pawn - 8; }

// Every square one rank forward of a set, for colour c; a pawn on its last rank has none.
constexpr SquareSet advance(Color c, SquareSet squares) { return c == Color::White ? squares << 8 : squares >> 8; }

// The union of pawn_attacks over a set of pawns, computed set-wise.
constexpr SquareSet pawn_attack_span(Color c, SquareSet pawns) {
    constexpr SquareSet not_file_a = ~0x0101010101010101ull;
    constexpr SquareSet not_file_h = ~0x8080808080808080ull;
    const SquareSet forward = advance(c, pawns);
    return ((forward & not_file_h) << 1) | ((forward & not_file_a) >> 1);
}

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

void generate_pawn_moves(const Board& b, Color c, MoveList& moves) {
    const SquareSet them = b.pieces(opposite(c));
    const SquareSet promotion_squares = last_rank(c);
    const bool has_en_passant = b.en_passant_pawn.present;
    const int target = has_en_passant ? en_passant_target(c, b.en_passant_pawn.square) : -1;
    const SquareSet target_set = (target >= 0 && target < 64) ? bit(static_cast<Square>(target)) : 0;
    for (const Square s : squares_of(b.pieces(c, PieceKind::Pawn))) {
        // A blocked pawn cannot jump over the blocker with its two-step push.
        const SquareSet pushes = (advance(c, bit(s)) & b.occupied) ? 0 : pawn_pushes(c, s) & ~b.occupied;
        const SquareSet captures = pawn_attacks(c, s) & them;
        push_each(moves, s, pushes, promotion_squares);
        push_each(moves, s, captures, promotion_squares);
        if (pawn_attacks(c, s) & target_set) moves.push({s, static_cast<Square>(target), PieceKind::None});
    }
}

template <typename Attacks>
void generate_piece_moves(const Board& b, Color c, PieceKind kind, Attacks attacks, MoveList& moves) {
    const SquareSet ours = b.pieces(c);
    for (const Square s : squares_of(b.pieces(c, kind))) push_each(moves, s, attacks(s) & ~ours);
}

struct CastlingMove {
    CastlingRights right;
    int rook_file;
    SquareSet empty_files;  // as a mask on rank 1, shifted to the home rank
    int king_file;
};

inline constexpr std::array<CastlingMove, 2> castling_moves{{
    {king_side, 7, bit(5) | bit(6), 6},
    {queen_side, 0, bit(1) | bit(2) | bit(3), 2},
}};

void generate_king_moves(const Board& b, Color c, MoveList& moves) {
    const SquareSet ours = b.pieces(c);
    const int home = home_rank(c);
    for (const Square k : squares_of(b.pieces(c, PieceKind::King))) {
        push_each(moves, k, king_attacks(k) & ~ours);
        if (k != make_square(4, home)) continue;
        for (const CastlingMove& castle : castling_moves) {
            const bool rook_home = contains(b.pieces(c, PieceKind::Rook), make_square(castle.rook_file, home));
            const bool path_empty = (b.occupied & (castle.empty_files << (8 * home))) == 0;
            if ((b.castling[index(c)] & castle.right) && rook_home && path_empty) {
                moves.push({k, make_square(castle.king_file, home), PieceKind::None});
            }
        }
    }
}

}  // namespace

void generate_moves(const Board& b, MoveList& moves) {
    const Color c = b.side_to_move;
    const SquareSet occ = b.occupied;
    generate_pawn_moves(b, c, moves);
    generate_piece_moves(b, c, PieceKind::Knight, [](Square s) { return knight_attacks(s); }, moves);
    generate_piece_moves(b, c, PieceKind::Bishop, [occ](Square s) { return bishop_attacks(s, occ); }, moves);
    generate_piece_moves(b, c, PieceKind::Rook, [occ](Square s) { return rook_attacks(s, occ); }, moves);
    generate_piece_moves(b, c, PieceKind::Queen, [occ](Square s) { return queen_attacks(s, occ); }, moves);
    generate_king_moves(b, c, moves);
}

SquareSet visible_squares(const Board& b, Color c) {
    const SquareSet occ = b.occupied;
    const SquareSet pawns = b.pieces(c, PieceKind::Pawn);
    // All pawns at once: both diagonals, the square in front (occupied or not), and from the
    // start rank the square beyond an empty one. Shifts drop whatever leaves the board.
    const SquareSet pawn_reach = pawn_attack_span(c, pawns);
    const SquareSet front = advance(c, pawns);
    const SquareSet beyond = advance(c, front & ~occ & (c == Color::White ? rank_mask(2) : rank_mask(5)));
    SquareSet seen = b.pieces(c) | pawn_reach | front | beyond;
    for (const Square s : squares_of(b.pieces(c, PieceKind::Knight))) seen |= knight_attacks(s);
    for (const Square s : squares_of(b.pieces(c, PieceKind::Bishop))) seen |= bishop_attacks(s, occ);
    for (const Square s : squares_of(b.pieces(c, PieceKind::Rook))) seen |= rook_attacks(s, occ);
    for (const Square s : squares_of(b.pieces(c, PieceKind::Queen))) seen |= queen_attacks(s, occ);
    for (const Square s : squares_of(b.pieces(c, PieceKind::King))) seen |= king_attacks(s);

    // The chance to take a pawn en passant reveals that pawn.
    if (b.en_passant_pawn.present) {
        const Square e = b.en_passant_pawn.square;
        const int target = en_passant_target(c, e);
        const bool reachable = target >= 0 && target < 64 && contains(pawn_reach, static_cast<Square>(target));
        if (reachable && contains(b.pieces(opposite(c), PieceKind::Pawn), e)) seen |= bit(e);
    }
    return seen;
}

}  // namespace murkplay
