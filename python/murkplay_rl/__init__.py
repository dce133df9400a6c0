"""murkplay for reinforcement learning: many games stepped at once into numpy and torch arrays,
single-game fast paths, and the tools RL users already run.

Importing the package loads only its native engine; numpy and the optional tools (PettingZoo,
pyarrow, Ray, python-chess) are imported by the parts that need them.
"""

import importlib

# The PettingZoo environment and the SVG pictures import PettingZoo, gymnasium and python-chess,
# so they are loaded on first use rather than with the package.
_LAZY = {"env": "pettingzoo_env", "raw_env": "pettingzoo_env", "render_svg": "svg"}


def __getattr__(name):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{module}"), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_LAZY))
