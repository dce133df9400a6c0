#include "rules/play_move.hpp"

#include "rules/en_passant.hpp"

namespace murkplay {

namespace {

void toggle(Board& b, PieceKind k, Color c, SquareSet squares) {
    b.piece_sets[index(k)] ^= squares;
    b.color_sets[index(c)] ^= squares;
    b.occupied ^= squares;
}

// A king move is castling only from its home square to the castling square of the same rank,
// with its own rook on the corner and the rook's landing square free; any other king move,
// whatever squares it touches, is a plain king move and cannot conjure or lose a rook.
void castle_rook_if_castling(Board& b, Color c, Square s, Square d) {
    for (const CastlingMove& castle : castling_moves_of(c)) {
        if (s != castle.king_from || d != castle.king_to) continue;
        if (contains(b.pieces(c, PieceKind::Rook), castle.rook_from) && !contains(b.occupied, castle.rook_to)) {
            toggle(b, PieceKind::Rook, c, bit(castle.rook_from) | bit(castle.rook_to));
        }
    }
}

}  // namespace

std::optional<MoveRefusal> source_refusal(const Board& board, const BoardMove& move) {
    if (!contains(board.occupied, move.source)) return MoveRefusal::EmptySource;
    if (!contains(board.pieces(board.side_to_move), move.source)) return MoveRefusal::NotMoversPiece;
    return std::nullopt;
}

std::optional<MoveRefusal> play_move(Board& board, const BoardMove& move) {
    if (const auto refusal = source_refusal(board, move)) return refusal;
    const Color c = board.side_to_move;
    const Color o = opposite(c);
    const Square s = move.source;
    const Square d = move.destination;
    if (contains(board.pieces(c), d)) return MoveRefusal::OwnPieceOnDestination;

    Board next = board;
    next.en_passant_pawn = {};
    const PieceKind k = board.kind_on(s);
    // The captured piece leaves first, so a pawn taking a pawn keeps its own square set right.
    if (contains(board.occupied, d)) toggle(next, board.kind_on(d), o, bit(d));
    toggle(next, k, c, bit(s) | bit(d));

    next.castling[index(o)] &= static_cast<CastlingRights>(~castling_loss(o, d));
    next.castling[index(c)] &= static_cast<CastlingRights>(~castling_loss(c, s));

    if (k == PieceKind::King) {
        castle_rook_if_castling(next, c, s, d);
    } else if (k == PieceKind::Pawn && move.promotion != PieceKind::None) {
        // Any pawn move may promote, whatever rank it reaches.
        next.piece_sets[index(PieceKind::Pawn)] &= ~bit(d);
        next.piece_sets[index(move.promotion)] |= bit(d);
    } else if (k == PieceKind::Pawn) {
        const bool double_advance = rank_of(s) == pawn_start_rank(c) && d == s + 2 * pawn_push(c);
        if (double_advance) {
            if (en_passant_usable(next, d, o)) next.en_passant_pawn = {true, d};
        } else if (board.en_passant_pawn.present && board.en_passant_pawn.square + pawn_push(c) == d) {
            toggle(next, PieceKind::Pawn, o, bit(board.en_passant_pawn.square));
        }
    }

    next.side_to_move = o;
    board = next;
    return std::nullopt;
}

}  // namespace murkplay
