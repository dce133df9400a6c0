#!/usr/bin/env python3
"""Derives the perft counts used by test_perft.cpp with python-chess as an independent reference.

Our move generator differs from ordinary chess in two ways that matter here:

* there is no check, so moves that leave or put the own king en prise are listed, and a king
  can be captured like any other piece;
* castling needs only the right, the king on its home square, the own rook on the corner and
  the squares between them empty: it is allowed out of, through and into attack.

python-chess's pseudo-legal move list already ignores check and lists captures of a king (the
self-check below makes sure of that), but it refuses castling out of or through attacked
squares. So for a position and a depth its perft count equals ours when, at every node of the
tree:

1. the castling moves python-chess lists are exactly those our castling rule allows; and
2. no king is captured by a move that is then played (a move at an inner node). A king capture
   at the last ply is only counted, and both generators count it, so it is allowed there.

Everything else (pushes, captures, promotions to Q/R/B/N, en passant next to the pawn that just
advanced two squares, loss of castling rights through the corner squares) follows the ordinary
rules in both. The script checks both conditions on every node and refuses to print a count
for a position and depth where either fails.

Run with python-chess installed:  python3 derive_perft_counts.py
"""

import sys

import chess

# (name, FEN, depth)
POSITIONS = [
    ("start", chess.STARTING_FEN, 4),
    ("castling", "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1", 4),
    ("en_passant_open", "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3", 3),
    ("en_passant_wall", "4k3/pppppppp/8/1P1P1P1P/8/8/8/4K3 b - - 0 1", 4),
    ("promotion", "r1n3nk/1P4pp/8/8/8/8/PP4p1/KB5R w - - 0 1", 3),
]


class NotComparable(Exception):
    pass


def our_castling_moves(board: chess.Board) -> set:
    """Castling by our rule: right, king at home, own rook on the corner, path empty."""
    c = board.turn
    back = 0 if c == chess.WHITE else 7
    king_home = chess.square(4, back)
    moves = set()
    if board.piece_at(king_home) != chess.Piece(chess.KING, c):
        return moves
    for rook_file, empty_files, king_file in ((7, (5, 6), 6), (0, (1, 2, 3), 2)):
        corner = chess.square(rook_file, back)
        if not board.castling_rights & chess.BB_SQUARES[corner]:
            continue
        if board.piece_at(corner) != chess.Piece(chess.ROOK, c):
            continue
        if any(board.piece_at(chess.square(f, back)) for f in empty_files):
            continue
        moves.add(chess.Move(king_home, chess.square(king_file, back)))
    return moves


def perft(board: chess.Board, depth: int) -> int:
    moves = list(board.generate_pseudo_legal_moves())
    listed_castles = {m for m in moves if board.is_castling(m)}
    if listed_castles != our_castling_moves(board):
        raise NotComparable(f"castling differs at {board.fen()}")
    if depth == 1:
        return len(moves)
    total = 0
    for move in moves:
        if board.piece_type_at(move.to_square) == chess.KING:
            raise NotComparable(f"king captured at an inner node: {board.fen()} {move.uci()}")
        board.push(move)
        total += perft(board, depth - 1)
        board.pop()
    return total


def self_check() -> None:
    # A king capture must be among python-chess's pseudo-legal moves, as it is among ours.
    board = chess.Board("k7/8/8/8/8/8/8/R3K3 w - - 0 1")
    assert chess.Move.from_uci("a1a8") in set(board.generate_pseudo_legal_moves())


def main() -> int:
    self_check()
    status = 0
    for name, fen, depth in POSITIONS:
        board = chess.Board(fen)
        counts = []
        try:
            for d in range(1, depth + 1):
                counts.append(perft(board, d))
        except NotComparable as reason:
            print(f"{name}: not comparable at depth {len(counts) + 1}: {reason}", file=sys.stderr)
            status = 1
        print(f'{name}: "{fen}" counts by depth 1..{len(counts)}: {counts}')
    return status


if __name__ == "__main__":
    sys.exit(main())
