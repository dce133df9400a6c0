"""The variant's moves on top of python-chess: an independent reference for move generation.

python-chess's pseudo-legal generator already offers moves into check and king captures, as
the variant does; only its castling refuses to leave, cross or enter attacked squares, so
castling is redone here by the variant's rule whenever the mover still holds a right. The
benchmarks use the same functions as their python-chess baseline.
"""

from __future__ import annotations

import chess

ROOK_HOME = {  # (king side, queen side) rook corner per python-chess colour
    chess.WHITE: (chess.H1, chess.A1),
    chess.BLACK: (chess.H8, chess.A8),
}
CASTLING_GAPS = {
    chess.WHITE: (chess.BB_F1 | chess.BB_G1, chess.BB_B1 | chess.BB_C1 | chess.BB_D1),
    chess.BLACK: (chess.BB_F8 | chess.BB_G8, chess.BB_B8 | chess.BB_C8 | chess.BB_D8),
}
KING_HOME = {chess.WHITE: chess.E1, chess.BLACK: chess.E8}


def fog_moves(board: chess.Board) -> list[chess.Move]:
    """Pseudo-legal moves under the variant's rules; castling needs only the right, the king
    and rook at home and the squares between them empty."""
    moves = list(board.generate_pseudo_legal_moves())
    turn = board.turn
    home = KING_HOME[turn]
    rights = board.castling_rights & (chess.BB_RANK_1 if turn else chess.BB_RANK_8)
    if rights and board.kings & board.occupied_co[turn] & chess.BB_SQUARES[home]:
        moves = [m for m in moves if not (m.from_square == home and abs(m.to_square - home) == 2)]
        rooks = board.rooks & board.occupied_co[turn]
        for rook_square, gap, step in zip(ROOK_HOME[turn], CASTLING_GAPS[turn], (2, -2)):
            if rights & rooks & chess.BB_SQUARES[rook_square] and not board.occupied & gap:
                moves.append(chess.Move(home, home + step))
    return moves


def fog_perft(board: chess.Board, depth: int) -> int:
    """Leaves of the move tree, counted in bulk at the last ply. A move onto a king ends the
    game, so it is a leaf at any depth and is never made."""
    moves = fog_moves(board)
    if depth <= 1:
        return len(moves)
    kings = board.kings
    nodes = 0
    for move in moves:
        if kings >> move.to_square & 1:
            nodes += 1
            continue
        board.push(move)
        nodes += fog_perft(board, depth - 1)
        board.pop()
    return nodes
