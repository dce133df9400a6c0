"""What the environments show a side: its (64, 35) view and the int8 mask of its legal slots,
as a space and as the dict built from a report's arrays. Every environment and adapter builds
its observations here.

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


def observation_space(game) -> spaces.Dict:
    """The space of what a side observes in games from ``game``'s position."""
    return spaces.Dict(
        {
            "observation": spaces.Box(low=observation_low(game), high=1.0, dtype=np.float32),
            "action_mask": spaces.Box(low=0, high=1, shape=(engine.ACTION_COUNT,), dtype=np.int8),
        }
    )


def observations(observation: np.ndarray, mask: np.ndarray) -> dict[str, np.ndarray]:
    """The observation of one game, or of a batch of them, from their views and bool masks."""
    return {"observation": observation, "action_mask": mask.view(np.int8)}
