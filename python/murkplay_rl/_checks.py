"""Checks of the arguments the package's Python API takes, with the messages the native batch
gives for its own: a value is refused where it is given, by a message naming it.
"""

from __future__ import annotations

import math
import numbers

# The batch's own bounds, so a setting refused later by the batch is refused here already.
MAX_PLIES = 2**31 - 1
MAX_SEED = 2**64 - 1


def integer(name: str, value, low: int, high: int | None = None) -> int:
    """``value`` as an int from ``low`` to ``high``; a bool or a non-integer is a TypeError."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__!r}")
    if value < low or (high is not None and value > high):
        bound = f"from {low} to {high}" if high is not None else f"at least {low}"
        raise ValueError(f"{name} must be {bound}, not {value}")
    return int(value)


def flag(name: str, value) -> bool:
    """``value`` as a bool: True, False or a numpy bool, as the module's flags take them."""
    if isinstance(value, bool) or (type(value).__module__ == "numpy" and type(value).__name__ in ("bool_", "bool")):
        return bool(value)
    raise TypeError(f"{name} must be True or False, not {value!r}")


def positive(name: str, value) -> float:
    """``value`` as a finite float above 0."""
    number = _real(name, value)
    if not 0 < number < math.inf:
        raise ValueError(f"{name} must be a finite number above 0, not {_shown(value)}")
    return number


def non_negative(name: str, value) -> float:
    """``value`` as a finite float of at least 0."""
    number = _real(name, value)
    if not 0 <= number < math.inf:
        raise ValueError(f"{name} must be a finite number of at least 0, not {_shown(value)}")
    return number


def _real(name: str, value) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    try:
        return float(value)
    except OverflowError:
        return math.inf if value > 0 else -math.inf


def _shown(value) -> str:
    text = repr(value)
    return text if len(text) <= 40 else f"{text[:20]}...({len(text)} characters)"


def ply_limit(value) -> int:
    """A ``max_plies`` setting of a batch or an environment: 0 for no limit, else the limit."""
    return integer("max_plies", value, 0, MAX_PLIES)
