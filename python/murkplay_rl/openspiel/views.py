"""What one side sees and remembers, as text: the pieces of the OpenSpiel observation and
information-state strings.

Each is read from the side's own (64, 35) observation (``observe(game, viewer=...)``), so the
text says no more than the network's input does. Boards are written rank 8 first, files a to
h, with python-chess symbols, ``.`` for a square seen empty and ``?`` for one under fog.
"""

from __future__ import annotations

import numpy as np

from murkplay import SelfPlayGame
from murkplay_rl._native import observe
from murkplay_rl.openspiel.position import board_key

# The observation's cell of each square in text order (rank 8 first): Black's is mirrored.
_CELLS = {True: np.array([8 * rank + file for rank in range(7, -1, -1) for file in range(8)]),
          False: np.arange(64)}
# Features 0 to 13 (now) and 14 to 26 (remembered): own kinds, the opponent's kinds, empty, fog
# or nothing remembered.
_NOW = {True: np.frombuffer(b"PNBRQKpnbrqk.?", np.uint8), False: np.frombuffer(b"pnbrqkPNBRQK.?", np.uint8)}
_MEMORY = {white: np.append(table[:13], ord("?")).astype(np.uint8) for white, table in _NOW.items()}
# Features 30 to 34: the share of the opponent's pawns, knights, bishops, rooks and queens gone,
# out of 8, 2, 2, 2 and 1.
_START_COUNTS = (("p", 8), ("n", 2), ("b", 2), ("r", 2), ("q", 1))


def _text(cells: np.ndarray, table: np.ndarray) -> str:
    codes = cells.argmax(axis=1)
    # A side that has never been to move has a blank observation: nothing seen, nothing kept.
    codes[cells.max(axis=1) == 0] = len(table) - 1
    return table[codes].tobytes().decode("ascii")


def _rights(observation: np.ndarray) -> str:
    return ("K" if observation[0, 28] else "") + ("Q" if observation[1, 29] else "") or "-"


def _counts(observation: np.ndarray) -> str:
    gone = observation[0, 30:35].tolist()
    return "".join(f"{kind}{round(start * (1 - share))}" for (kind, start), share in zip(_START_COUNTS, gone))


def _square_index(name: str) -> int:
    """Where a square (``e4``) stands in a board's text."""
    return 8 * (ord("8") - ord(name[1])) + ord(name[0]) - ord("a")


def _en_passant(game: SelfPlayGame, view: str) -> bool:
    """Whether the mover may take a pawn en passant: a pawn of its own on its fifth rank moving
    to another file onto a square it sees empty (an ordinary pawn capture lands on a piece)."""
    white = game.turn
    fifth, pawn = ("5", "P") if white else ("4", "p")
    for move in game.legal_actions_uci():
        if move[1] == fifth and move[0] != move[2] and view[_square_index(move[:2])] == pawn \
                and view[_square_index(move[2:4])] == ".":
            return True
    return False


def turn_view(game: SelfPlayGame) -> str:
    """What the side to move sees at its turn, all that two positions must share for it to
    tell them apart: the squares it sees and their pieces, its castling rights, how many of
    each of the opponent's pieces are left, and whether it may take en passant.

    It depends on the true position alone, and searches meet the same positions along many
    lines, so the views of recent positions are kept.
    """
    key = board_key(game)
    view = _RECENT.get(key)
    if view is None:
        if len(_RECENT) >= _RECENT_LIMIT:
            _RECENT.clear()
        view = _RECENT[key] = _view(game)
    return view


_RECENT: dict[bytes, str] = {}
_RECENT_LIMIT = 1 << 16


def _view(game: SelfPlayGame) -> str:
    white = game.turn
    observation = observe(game, viewer=white)
    view = _text(observation[_CELLS[white], :14], _NOW[white])
    return f"{view} {_rights(observation)} {_counts(observation)} {'ep' if _en_passant(game, view) else '-'}"


def observation_text(game: SelfPlayGame, white: bool) -> str:
    """One side's observation as text: what it sees now, what it remembers on every square
    (what it last saw there), its castling rights and the opponent's pieces left."""
    observation = observe(game, viewer=white)
    cells = observation[_CELLS[white]]
    now = _text(cells[:, :14], _NOW[white])
    remembered = _text(cells[:, 14:27], _MEMORY[white])
    return f"{now} {remembered} {_rights(observation)} {_counts(observation)}"
