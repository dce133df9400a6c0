"""Observations read back as squares, for the pictures and the text views of a game.

Pieces are python-chess symbols: upper case for White, lower case for Black.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

_KINDS = "pnbrqk"
_FOG = 13
_NOTHING_REMEMBERED = 26


class SquareView(NamedTuple):
    seen: bool
    # The piece seen there now, or, under fog, the piece last seen there; None for neither.
    piece: str | None


def _symbol(feature: int, white_viewer: bool) -> str:
    # Features count own pieces first, then the opponent's, each in the order of _KINDS.
    white_piece = (feature < 6) == white_viewer
    letter = _KINDS[feature % 6]
    return letter.upper() if white_piece else letter


def square_views(observation, white_viewer: bool) -> list[SquareView]:
    """What a side's (64, 35) observation says of each square, a1 first.

    A cell with no feature set at all, as in the blank observation of a side that has not
    been to move yet, reads as fog with nothing remembered.
    """
    cells = np.asarray(observation).reshape(64, 35)
    views = []
    for square in range(64):
        # Black's observation is mirrored top to bottom.
        cell = cells[square if white_viewer else square ^ 56]
        now = int(np.argmax(cell[:14]))
        if cell[now] and now != _FOG:
            views.append(SquareView(True, _symbol(now, white_viewer) if now < 12 else None))
            continue
        remembered = int(np.argmax(cell[14:27]))
        known = cell[14 + remembered] and 14 + remembered != _NOTHING_REMEMBERED
        views.append(SquareView(False, _symbol(remembered, white_viewer) if known else None))
    return views


def true_pieces(game) -> list[str | None]:
    """The symbol of the piece on each square of the true board, a1 first."""
    pieces: list[str | None] = []
    for row in reversed(game.board):  # the matrix lists rank 8 first
        for value in row:
            pieces.append(None if value == 0 else _symbol(abs(value) - 1, value > 0))
    return pieces
