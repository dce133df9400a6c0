"""murkplay for reinforcement learning: many games stepped at once into numpy and torch arrays,
single-game fast paths, beliefs over the hidden position, and the tools RL users already run.

Importing the package loads only its native engine; numpy is imported by the calls that make
new arrays, and the optional tools (PettingZoo, pyarrow, Ray, python-chess) by the parts that
need them.
"""

from murkplay_rl._optional import MissingExtra
from murkplay_rl._native import (
    ACTION_COUNT,
    MAX_MOVES,
    MAX_THREADS,
    NO_MOVE,
    BatchBeliefs,
    BeliefTracker,
    GameBatch,
    LegalMoves,
    Replay,
    Step,
    apply_slot,
    legal_moves,
    move_code,
    move_uci,
    observe,
    replay,
)

__all__ = [
    "ACTION_COUNT",
    "MAX_MOVES",
    "MAX_THREADS",
    "NO_MOVE",
    "BatchBeliefs",
    "BeliefTracker",
    "GameBatch",
    "LegalMoves",
    "MissingExtra",
    "Replay",
    "Step",
    "apply_slot",
    "legal_moves",
    "move_code",
    "move_uci",
    "observe",
    "replay",
]

# The PettingZoo environment and the SVG pictures import PettingZoo, gymnasium and python-chess,
# and the pretrained agent torch,
# so they are loaded on first use rather than with the package.
_LAZY = {"env": "pettingzoo_env", "raw_env": "pettingzoo_env", "render_svg": "svg", "pretrained": "_pretrained"}


def __getattr__(name):
    if name == "__version__":
        # The installed distribution's, so pyproject.toml stays the one place it is written.
        from importlib.metadata import version

        globals()[name] = value = version("murkplay")
        return value
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib import import_module

    try:
        loaded = import_module(f"{__name__}.{module}")
    except MissingExtra as error:
        # Raised afresh here: the frames of the lazy import would only hide the one line that
        # matters, the extra to install; the missing package's own error stays the cause.
        raise MissingExtra(str(error), name=error.name) from error.__cause__
    value = getattr(loaded, name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_LAZY))
