"""What a game's bytes say of its true board: a key that tells positions apart, and FEN text.

A game pickles as its record's bytes (murkplay's versioned game codec): the fog memories
first, then the board (six piece sets, two colour sets, the occupied set, each eight bytes
little-endian; both castling rights; the en-passant pawn, present flag and square; the side
to move) and the captured-king byte. The board's part is the position whatever the memories
hold, so two games reached along different lines compare equal there when their boards do.
"""

from __future__ import annotations

import copyreg

from murkplay import SelfPlayGame

_reduce = copyreg.dispatch_table[SelfPlayGame]
BOARD_BYTES = 9 * 8 + 6
_KINDS = "pnbrqk"
_FILES = "abcdefgh"


def game_bytes(game: SelfPlayGame) -> bytes:
    """The bytes a pickled game holds; ``murkplay_rl._native.restore_game`` reads them back."""
    return _reduce(game)[1][0]


def board_key(game: SelfPlayGame) -> bytes:
    """The true position (board, rights, en passant, side to move, captured king) as bytes."""
    return game_bytes(game)[-BOARD_BYTES:]


def fen(game: SelfPlayGame, fullmove: int = 1) -> str:
    """FEN text of the true position; the half-move clock is 0, as murkplay keeps none."""
    key = board_key(game)
    sets = [int.from_bytes(key[8 * i:8 * i + 8], "little") for i in range(9)]
    kinds, white = sets[:6], sets[6]
    castling, present, pawn, side = key[72:74], key[74], key[75], key[76]
    ranks = []
    for rank in range(7, -1, -1):
        text, empty = "", 0
        for file in range(8):
            bit = 1 << (8 * rank + file)
            kind = next((k for k in range(6) if kinds[k] & bit), None)
            if kind is None:
                empty += 1
                continue
            if empty:
                text, empty = text + str(empty), 0
            text += _KINDS[kind].upper() if white & bit else _KINDS[kind]
        ranks.append(text + (str(empty) if empty else ""))
    rights = "".join(letter for colour, letters in ((0, "KQ"), (1, "kq"))
                     for bit, letter in zip((1, 2), letters) if castling[colour] & bit) or "-"
    # murkplay keeps the pawn that can be taken; FEN names the square it passed over.
    behind = "-"
    if present:
        behind = _FILES[pawn % 8] + str(pawn // 8 + (2 if side == 0 else 0))
    return f"{'/'.join(ranks)} {'wb'[side]} {rights} {behind} 0 {fullmove}"
