"""The observation space of the environments: a side's (64, 35) view and its int8 slot mask.

Imports gymnasium: import this module only where an environment is made.
"""

from __future__ import annotations

import numpy as np
from gymnasium import spaces

from . import _native as engine

# The material features: (feature, the kind's code in `board`, how many of it a side starts
# with); the observation shows (start - count) / start of the opponent's pieces of the kind.
_MATERIAL = ((30, 1, 8), (31, 2, 2), (32, 3, 2), (33, 4, 2), (34, 5, 1))


def observation_low(game) -> np.ndarray:
    """The least value each observation feature can take in a game from this position.

    The material features are not clamped: a side with a third knight shows -0.5. Pawns never
    multiply, so neither side can ever hold more of a kind than it has now plus its pawns.
    """
    low = np.zeros((64, 35), dtype=np.float32)
    values = np.array(game.board).ravel()
    for sign in (1, -1):
        pawns = np.count_nonzero(values == sign)
        for feature, kind, start in _MATERIAL:
            most = pawns if kind == 1 else np.count_nonzero(values == sign * kind) + pawns
            low[:, feature] = min(low[0, feature], (start - most) / start)
    return low


OBSERVATIONS = ("floats", "codes")


def observation_space(game, observation: str = "floats") -> spaces.Dict:
    """The space of what a side observes in games from ``game``'s position: the float view, or
    with ``observation="codes"`` the same view as codes (``murkplay_rl.codes``)."""
    if observation not in OBSERVATIONS:
        raise ValueError(f"observation must be 'floats' or 'codes', not {observation!r}")
    mask = spaces.Box(low=0, high=1, shape=(engine.ACTION_COUNT,), dtype=np.int8)
    if observation == "floats":
        return spaces.Dict({"observation": spaces.Box(low=observation_low(game), high=1.0, dtype=np.float32),
                            "action_mask": mask})
    # A count of one kind is at most the 64 squares.
    cell_high = np.broadcast_to(np.array([13, 12], np.uint8), (64, 2))
    return spaces.Dict({
        "codes": spaces.Box(low=0, high=cell_high, dtype=np.uint8),
        "ages": spaces.Box(low=0, high=65535, shape=(64,), dtype=np.uint16),
        "shared": spaces.Box(low=0, high=np.array([1, 1, 64, 64, 64, 64, 64], np.uint8), dtype=np.uint8),
        "action_mask": mask,
    })
