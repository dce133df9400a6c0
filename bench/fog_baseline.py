"""Fog-of-war chess written the way a Python user would write it without murkplay.

python-chess supplies the moves and the attack sets, numpy holds each side's fog memory and
builds the 64 x 35 observation. The class does the same work as a murkplay game on every
step: pseudo-legal moves with king capture ending the game (castling allowed through attacked
squares), the visible squares of the side to move, the refresh of that side's memory, the
observation with the same 35 features, and the action index of every move. ``cross_check``
plays games with both side by side and insists that they agree, so the baseline cannot
quietly do less than murkplay does.

It is meant to be a fair baseline: bit-parallel pawn sets, numpy fancy indexing instead of
Python loops over squares, and the visible squares and piece codes of a refresh kept for the
observation of the same position.
"""

from __future__ import annotations

import random

import chess
import numpy as np
from fog_chess import ROOK_HOME, fog_moves

WHITE_INDEX, BLACK_INDEX = 0, 1
NOTHING = -1  # memory code of a square with nothing remembered (or seen empty)

# Cell of each square from the mover's side: Black's view is turned top to bottom.
CELLS = (np.arange(64), np.arange(64) ^ 56)

# Feature 0..12 of a piece code (colour * 6 + kind, or -1 for empty), for each mover, indexed
# by code + 1: own pieces give their kind, the opponent's 6 + kind, an empty square 12.
RELATIVE = (
    np.array([12] + list(range(6)) + list(range(6, 12)), dtype=np.intp),
    np.array([12] + list(range(6, 12)) + list(range(6)), dtype=np.intp),
)

def bits_of(mask: int) -> np.ndarray:
    """The 64 bits of a python-chess bitboard as a boolean array, a1 first."""
    return np.unpackbits(np.array([mask], dtype=np.uint64).view(np.uint8), bitorder="little").view(bool)


def visible_mask(board: chess.Board, turn: chess.Color) -> int:
    """The squares a side sees: its pieces, their attacks, what is in front of its pawns,
    and an enemy pawn it could take en passant."""
    own = board.occupied_co[turn]
    visible = own
    for square in chess.scan_forward(own & ~board.pawns):
        visible |= board.attacks_mask(square)
    pawns = own & board.pawns
    empty = ~board.occupied
    if turn == chess.WHITE:
        visible |= chess.shift_up_left(pawns) | chess.shift_up_right(pawns) | chess.shift_up(pawns)
        visible |= chess.shift_up(chess.shift_up(pawns & chess.BB_RANK_2) & empty)
    else:
        visible |= chess.shift_down_left(pawns) | chess.shift_down_right(pawns) | chess.shift_down(pawns)
        visible |= chess.shift_down(chess.shift_down(pawns & chess.BB_RANK_7) & empty)
    target = board.ep_square
    if target is not None and chess.BB_PAWN_ATTACKS[not turn][target] & pawns:
        pawn_square = target - 8 if turn == chess.WHITE else target + 8
        if board.pawns & board.occupied_co[not turn] & chess.BB_SQUARES[pawn_square]:
            visible |= chess.BB_SQUARES[pawn_square]
    return visible


def piece_codes(board: chess.Board) -> np.ndarray:
    """colour * 6 + kind for every square (White 0, Black 1; pawn 0 .. king 5), -1 if empty."""
    white, black = board.occupied_co[chess.WHITE], board.occupied_co[chess.BLACK]
    kinds = (board.pawns, board.knights, board.bishops, board.rooks, board.queens, board.kings)
    masks = np.array([k & white for k in kinds] + [k & black for k in kinds], dtype=np.uint64)
    planes = np.unpackbits(masks.view(np.uint8), bitorder="little").reshape(12, 64)
    return np.where(planes.any(axis=0), planes.argmax(axis=0), NOTHING).astype(np.int8)


class FogGame:
    """One fog-of-war game on a python-chess board with numpy fog memory."""

    __slots__ = ("board", "age", "memory", "captured_king", "_visible", "_codes")

    def __init__(self, fen: str = chess.STARTING_FEN) -> None:
        self.board = chess.Board(fen)
        self.age = np.full((2, 64), 100.0, dtype=np.float32)
        self.memory = np.full((2, 64), NOTHING, dtype=np.int8)
        self.captured_king: int | None = None  # 0 White's king taken, 1 Black's
        self._refresh()

    def mover_index(self) -> int:
        return WHITE_INDEX if self.board.turn == chess.WHITE else BLACK_INDEX

    def _refresh(self) -> None:
        mover = self.mover_index()
        visible = bits_of(visible_mask(self.board, self.board.turn))
        codes = piece_codes(self.board)
        age = self.age[mover]
        age += 1.0
        age[visible] = 0.0
        self.memory[mover][visible] = codes[visible]
        self._visible, self._codes = visible, codes

    def legal_moves(self) -> list[chess.Move]:
        return fog_moves(self.board)

    def action_indices(self, moves: list[chess.Move]) -> list[int]:
        flip = 0 if self.board.turn == chess.WHITE else 56
        return [
            4096 + 4 * (m.from_square ^ flip) + (chess.QUEEN - m.promotion)
            if m.promotion
            else 64 * (m.from_square ^ flip) + (m.to_square ^ flip)
            for m in moves
        ]

    def observation(self, oracle: bool = False) -> np.ndarray:
        """The 64 x 35 float32 observation of the side to move."""
        board = self.board
        mover = self.mover_index()
        relative, cells = RELATIVE[mover], CELLS[mover]
        obs = np.zeros((64, 35), dtype=np.float32)
        now = relative[self._codes + 1]
        obs[cells, now if oracle else np.where(self._visible, now, 13)] = 1.0
        obs[cells, 14 + relative[self.memory[mover] + 1]] = 1.0
        obs[cells, 27] = 1.0 / (self.age[mover] + 1.0)
        king_side, queen_side = ROOK_HOME[board.turn]
        obs[0, 28] = 1.0 if board.castling_rights & chess.BB_SQUARES[king_side] else 0.0
        obs[1, 29] = 1.0 if board.castling_rights & chess.BB_SQUARES[queen_side] else 0.0
        theirs = board.occupied_co[not board.turn]
        obs[:, 30:35] = (
            (8 - (board.pawns & theirs).bit_count()) / 8,
            (2 - (board.knights & theirs).bit_count()) / 2,
            (2 - (board.bishops & theirs).bit_count()) / 2,
            (2 - (board.rooks & theirs).bit_count()) / 2,
            1 - (board.queens & theirs).bit_count(),
        )
        return obs

    def apply(self, move: chess.Move) -> None:
        board = self.board
        if board.kings & chess.BB_SQUARES[move.to_square]:
            # Taking a king ends the game; the board stays as it was.
            self.captured_king = WHITE_INDEX if board.occupied_co[chess.WHITE] & chess.BB_SQUARES[move.to_square] else BLACK_INDEX
        else:
            board.push(move)
        self._refresh()

    def is_terminal(self) -> bool:
        return self.captured_king is not None


def cross_check(games: int, seed: int, max_plies: int = 300, fens: tuple[str, ...] = (chess.STARTING_FEN,)) -> int:
    """Plays random games with murkplay and the baseline in lockstep and raises AssertionError
    at the first disagreement in moves, action indices, observations (both modes) or the end
    of the game. Returns the number of positions compared."""
    from murkplay import SelfPlayGame

    compared = 0
    for number in range(games):
        rng = random.Random(seed + number)
        fen = fens[number % len(fens)]
        game, baseline = SelfPlayGame(fen), FogGame(fen)
        for ply in range(max_plies):
            where = f"game {number} ply {ply} ({baseline.board.fen()})"
            actions = game.legal_actions_uci()
            moves = baseline.legal_moves()
            assert sorted(actions) == sorted(m.uci() for m in moves), f"moves differ at {where}"
            expected = dict(zip((m.uci() for m in moves), baseline.action_indices(moves)))
            assert all(game.action_index(a) == expected[a] for a in actions), f"action indices differ at {where}"
            for oracle in (False, True):
                ours = np.array(game.encode_flattened(oracle), dtype=np.float32).reshape(64, 35)
                theirs = baseline.observation(oracle)
                assert np.array_equal(ours, theirs), (
                    f"observations (oracle={oracle}) differ at {where}: cells/features {np.argwhere(ours != theirs)[:5].tolist()}"
                )
            compared += 1
            if not actions:
                break
            action = rng.choice(actions)
            game.apply(action)
            baseline.apply(chess.Move.from_uci(action))
            assert game.is_terminal() == baseline.is_terminal(), f"end of game differs after {action} at {where}"
            if game.is_terminal():
                break
    return compared
