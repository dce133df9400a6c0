"""Optional packages, imported where a feature first needs them.

A missing package is reported once, as an ImportError that names the extra which installs it,
both from a release (``pip install "murkplay[gym]"``) and from a checkout
(``pip install ".[gym]"``), with the original import error as its cause.
"""

from __future__ import annotations

import sys
from types import ModuleType


class MissingExtra(ImportError):
    """An optional package is missing; the message names the extra that installs it."""


def require(module: str, extra: str, feature: str) -> ModuleType:
    """Import ``module`` for ``feature``, or raise MissingExtra naming the extra ``extra``."""
    try:
        # __import__ rather than importlib.import_module: no frames of importlib's own in the
        # cause's traceback, which shows only the import that failed.
        __import__(module)
    except ImportError as error:
        top = module.partition(".")[0]
        raise MissingExtra(
            f'{feature} needs {top}, which is not installed: pip install "murkplay[{extra}]" '
            f'(from a checkout: pip install ".[{extra}]")',
            name=top,
        ) from error
    return sys.modules[module]
