"""What the environments show a side: its (64, 35) view, or the same view as codes
(``murkplay_rl.codes``), and the int8 mask of its legal slots, as a space and as the dict built
from a report's arrays. Every environment and adapter builds its observations here, in one of
the forms below (``Form``: the space, the builder from a view and a bool mask, and whether the
view is held as codes).

Imports gymnasium: import this module only where an environment is made.
"""

from __future__ import annotations

from typing import Callable, Mapping, NamedTuple

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


def _mask_space() -> spaces.Box:
    return spaces.Box(low=0, high=1, shape=(engine.ACTION_COUNT,), dtype=np.int8)


def observation_space(game) -> spaces.Dict:
    """The space of what a side observes in games from ``game``'s position."""
    return spaces.Dict(
        {
            "observation": spaces.Box(low=observation_low(game), high=1.0, dtype=np.float32),
            "action_mask": _mask_space(),
        }
    )


def codes_observation_space(game) -> spaces.Dict:
    """The space of the codes form: the view as ``codes``, ``ages`` and ``shared``, the same
    from every position."""
    cell_high = np.broadcast_to(np.array([13, 12], np.uint8), (64, 2))
    return spaces.Dict({
        "codes": spaces.Box(low=0, high=cell_high, dtype=np.uint8),
        "ages": spaces.Box(low=0, high=65535, shape=(64,), dtype=np.uint16),
        # A count of one kind is at most the 64 squares.
        "shared": spaces.Box(low=0, high=np.array([1, 1, 64, 64, 64, 64, 64], np.uint8), dtype=np.uint8),
        "action_mask": _mask_space(),
    })


def observations(view: Mapping[str, np.ndarray], mask: np.ndarray) -> dict[str, np.ndarray]:
    """The observation of one game, or of a batch of them, from their views (the arrays under
    the names a Step gives them: ``observation``, or ``codes``, ``ages`` and ``shared``) and
    bool masks."""
    return {**view, "action_mask": mask.view(np.int8)}


class LegalSlots(spaces.Discrete):
    """The policy slots of one side, whose ``sample()`` draws a slot legal for it now (slot 0,
    no move, where it has none), so that the random play of a library's checker or collector
    is play by the rules; ``sample(mask)`` is Gymnasium's own. ``legal`` gives the side's int8
    mask as it stands."""

    def __init__(self, legal: Callable[[], np.ndarray], seed=None):
        super().__init__(engine.ACTION_COUNT, seed=seed)
        self._legal = legal

    def sample(self, mask=None, probability=None):
        if mask is None and probability is None:
            mask = self._legal()
        return super().sample(mask=mask, probability=probability)


def flat_observation_space(game) -> spaces.Dict:
    """The space of the flat form: the view as one vector, the mask as float32 (what RLlib's
    action-masking modules read, under their names)."""
    seen = observation_space(game)["observation"]
    return spaces.Dict(
        {
            "observations": spaces.Box(low=seen.low.reshape(-1), high=seen.high.reshape(-1), dtype=np.float32),
            "action_mask": spaces.Box(low=0.0, high=1.0, shape=(engine.ACTION_COUNT,), dtype=np.float32),
        }
    )


def flat_observations(view: Mapping[str, np.ndarray], mask: np.ndarray) -> dict[str, np.ndarray]:
    """The flat form of one game, or of a batch of them."""
    observation = view["observation"]
    floats = np.empty(mask.shape, dtype=np.float32)
    np.copyto(floats, mask)  # faster than astype from bool
    return {"observations": observation.reshape(*observation.shape[:-2], -1), "action_mask": floats}


class Form(NamedTuple):
    space: Callable  # game -> the space of what a side observes in games from its position
    build: Callable  # (view, bool mask) -> an observation, of one game or of a batch
    codes: bool = False  # whether the view is held as codes rather than floats


STANDARD = Form(observation_space, observations)
CODES = Form(codes_observation_space, observations, codes=True)
FLAT = Form(flat_observation_space, flat_observations)


# The forms an environment's ``observation`` setting names.
OBSERVATIONS = {"floats": STANDARD, "codes": CODES}


def form(observation, forms: Mapping[str, Form] = OBSERVATIONS) -> Form:
    """The form ``forms`` names ``observation`` (an environment's setting)."""
    if not isinstance(observation, str) or observation not in forms:
        raise ValueError(f"observation must be {' or '.join(map(repr, forms))}, not {observation!r}")
    return forms[observation]
