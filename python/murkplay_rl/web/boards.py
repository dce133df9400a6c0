"""What the pages draw, as JSON-ready values: a side's view of a game, the true board, and a
belief's marginals over the squares.

Squares are listed a1 first. A piece is a python-chess symbol, upper case for White.
"""

from __future__ import annotations

import math

import murkplay_rl
from murkplay_rl._views import square_views, true_pieces

# The observation's feature 27 is 1 / (age + 1), age counted in the viewer's own turns.
_AGE = 27
KINDS = "pnbrqk"
# Marginal columns: White's pawn..king, Black's pawn..king, then nothing.
_WHITE_COLUMNS = slice(0, 6)
_BLACK_COLUMNS = slice(6, 12)


def side_view(game, white: bool) -> list[dict]:
    """What one side sees of ``game`` now: on each square the piece seen there, or under fog
    the piece last seen there (None for none) and how many of the side's turns ago that was."""
    observation = murkplay_rl.observe(game, viewer=white)
    squares = []
    for square, view in enumerate(square_views(observation, white)):
        if view.seen:
            squares.append({"piece": view.piece, "fog": False, "age": None})
            continue
        # Black's observation is mirrored top to bottom.
        weight = float(observation[square if white else square ^ 56, _AGE])
        squares.append({"piece": view.piece, "fog": True, "age": round(1 / weight) - 1 if weight > 0 else None})
    return squares


def true_view(game) -> list[dict]:
    return [{"piece": piece, "fog": False, "age": None} for piece in true_pieces(game)]


def belief_view(tracker) -> dict:
    """The tracker's set as a heat map: per square the share of kept positions with an
    opponent piece there, and the share of each opponent kind."""
    marginals = tracker.marginals()
    kinds = marginals[:, _BLACK_COLUMNS if tracker.side else _WHITE_COLUMNS]
    error = tracker.size_error
    return {
        "side": "white" if tracker.side else "black",
        "kept": len(tracker),
        "size": float(tracker.size),
        "size_error": None if math.isnan(error) or math.isinf(error) else float(error),
        "exact": tracker.exact,
        "sampling": tracker.sampling,
        "regenerated": tracker.regenerated,
        "opponent": [round(float(p), 4) for p in kinds.sum(axis=1)],
        "kinds": [[round(float(p), 4) for p in row] for row in kinds],
    }


def result_text(value_white: float, terminated: bool) -> str:
    if not terminated:
        return "½-½"
    return "1-0" if value_white > 0 else "0-1"
