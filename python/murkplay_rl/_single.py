"""The single-game fast paths that the environment and the pictures use, from one place."""

from ._native import ACTION_COUNT, apply_slot, legal_moves, move_uci, observe

__all__ = ["ACTION_COUNT", "apply_slot", "legal_moves", "move_uci", "observe"]
