"""murkplay for reinforcement learning: many games stepped at once into numpy and torch arrays,
single-game fast paths, and the tools RL users already run.

Importing the package loads only its native engine; numpy is imported by the calls that make
new arrays, and the optional tools (PettingZoo, pyarrow, Ray, python-chess) by the parts that
need them.
"""

from murkplay_rl._native import (
    ACTION_COUNT,
    MAX_MOVES,
    MAX_THREADS,
    NO_MOVE,
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
    "GameBatch",
    "LegalMoves",
    "Replay",
    "Step",
    "apply_slot",
    "legal_moves",
    "move_code",
    "move_uci",
    "observe",
    "replay",
]
