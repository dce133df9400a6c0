"""A training run's progress as its directory shows it: the evaluations it has written so far
(``evaluations.csv``) and its latest update (``log.csv``).

The trainer appends to both files as it goes, so a page polling them may catch a row half
written: a last line without its line end, and any row that does not parse, are left out, and
the next poll reads them whole.
"""

from __future__ import annotations

import csv
import math
import os

from murkplay_rl.run_log import EVALUATION_COLUMNS

_NUMBERS = ("updates", "samples", "seconds", "games", "score", "low", "high")
_LOG_NUMBERS = ("updates", "samples", "plies", "seconds", "samples_per_second", "games", "pool_win_rate")


def _rows(path: str, numbers: tuple[str, ...]) -> list[dict]:
    try:
        with open(path, newline="", encoding="utf-8", errors="replace") as source:
            text = source.read()
    except FileNotFoundError:
        return []
    rows = csv.DictReader(text[:text.rfind("\n") + 1].splitlines())
    parsed = []
    for row in rows:
        try:
            values = {name: float(row[name]) for name in numbers}
        except (KeyError, TypeError, ValueError):
            continue
        if all(map(math.isfinite, values.values())):
            parsed.append({**row, **values})
    return parsed


def run_status(run: str) -> dict:
    evaluations = [{name: row[name] for name in EVALUATION_COLUMNS} for row in
                   _rows(os.path.join(run, "evaluations.csv"), _NUMBERS)]
    latest = {}
    for row in evaluations:
        latest[row["opponent"]] = row
    log = _rows(os.path.join(run, "log.csv"), _LOG_NUMBERS)
    return {
        "name": os.path.basename(os.path.realpath(run)),
        "evaluations": evaluations,
        "latest": list(latest.values()),
        "update": {name: log[-1][name] for name in _LOG_NUMBERS} if log else None,
    }
