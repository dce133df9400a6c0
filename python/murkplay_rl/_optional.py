"""Optional packages, imported where a feature first needs them.

A missing package is reported once, as an ImportError that names the extra which installs it
(``pip install "murkplay[gym]"``), with the original import error as its cause.
"""

from __future__ import annotations

import importlib
from types import ModuleType


def require(module: str, extra: str, feature: str) -> ModuleType:
    """Import ``module`` for ``feature``, or raise an ImportError naming the extra ``extra``."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        top = module.partition(".")[0]
        raise ImportError(
            f'{feature} needs {top}, which is not installed: pip install "murkplay[{extra}]"',
            name=top,
        ) from error
