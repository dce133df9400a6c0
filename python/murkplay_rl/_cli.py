"""What the package's command lines share: errors as one line of argparse's form
(``PROG: error: ...``, exit status 2, no traceback), and argument types that name the value
they refuse."""

from __future__ import annotations

import argparse
import math


class ArgumentParser(argparse.ArgumentParser):
    """argparse's parser with its errors on one line: the usage, which ``--help`` shows, would
    bury the one thing to fix."""

    def error(self, message: str):
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def integer(low: int, high: int | None = None):
    """An argument type: an integer from ``low`` to ``high``."""
    bound = f"from {low} to {high}" if high is not None else f"at least {low}"

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected an integer {bound}, not {text!r}") from None
        if value < low or (high is not None and value > high):
            raise argparse.ArgumentTypeError(f"expected an integer {bound}, not {value}")
        return value

    return parse


def number(low: float):
    """An argument type: a finite number of at least ``low``."""

    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            value = math.nan
        if not low <= value < math.inf:
            raise argparse.ArgumentTypeError(f"expected a finite number of at least {low:g}, not {text!r}")
        return value

    return parse
