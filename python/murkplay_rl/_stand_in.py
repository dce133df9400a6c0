"""Plain-Python versions of the single-game fast paths, built on SelfPlayGame's own methods.

They have the signatures and results of the native paths but none of their speed: every call
goes through the game's UCI lists and its list-of-floats observation.

A move code is source + 64 * destination + 4096 * promotion kind (knight 1, bishop 2, rook 3,
queen 4; 0 for no promotion), squares numbered a1 = 0 to h8 = 63 on the true board.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

ACTION_COUNT = 4352

_PROMOTION_KINDS = {"n": 1, "b": 2, "r": 3, "q": 4}
_PROMOTION_LETTERS = {kind: letter for letter, kind in _PROMOTION_KINDS.items()}
_MASK_DTYPES = (np.dtype(np.bool_), np.dtype(np.int8), np.dtype(np.uint8))


class LegalMoves(NamedTuple):
    moves: np.ndarray
    slots: np.ndarray
    mask: np.ndarray


def _square(text: str) -> int:
    return ord(text[0]) - ord("a") + 8 * (ord(text[1]) - ord("1"))


def _square_text(square: int) -> str:
    return "abcdefgh"[square % 8] + "12345678"[square // 8]


def _code(uci: str) -> int:
    kind = _PROMOTION_KINDS[uci[4]] if len(uci) == 5 else 0
    return _square(uci[:2]) + 64 * _square(uci[2:4]) + 4096 * kind


def move_uci(code: int) -> str:
    text = _square_text(code % 64) + _square_text(code // 64 % 64)
    kind = code // 4096
    return text + _PROMOTION_LETTERS[kind] if kind else text


def _check_buffer(array, shape, dtypes, name):
    if not isinstance(array, np.ndarray) or array.shape != shape or array.dtype not in dtypes:
        raise ValueError(f"{name} must be a numpy array of shape {shape} and dtype {' or '.join(map(str, dtypes))}")
    if not (array.flags.c_contiguous and array.flags.writeable):
        raise ValueError(f"{name} must be writable and C-contiguous")


def observe(game, out=None, *, oracle=False, viewer=None):
    if viewer is not None and viewer != game.turn:
        raise NotImplementedError("only the side to move's view is available without the native engine")
    values = np.array(game.encode_flattened(oracle), dtype=np.float32).reshape(64, 35)
    if out is None:
        return values
    _check_buffer(out, (64, 35), (np.dtype(np.float32),), "out")
    out[...] = values
    return out


def legal_moves(game, mask=None):
    listed = game.legal_actions_uci()
    moves = np.array([_code(uci) for uci in listed], dtype=np.uint16)
    slots = np.array([game.action_index(uci) for uci in listed], dtype=np.int64)
    if mask is None:
        mask = np.zeros(ACTION_COUNT, dtype=np.bool_)
    else:
        _check_buffer(mask, (ACTION_COUNT,), _MASK_DTYPES, "mask")
        mask[:] = 0
    mask[slots] = 1
    return LegalMoves(moves, slots, mask)


def apply_slot(game, slot):
    for uci in game.legal_actions_uci():
        if game.action_index(uci) == slot:
            game.apply(uci)
            return _code(uci)
    raise ValueError(f"no legal move has slot {slot}")
