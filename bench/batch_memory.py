"""Resident memory per game of a batch, beyond the arrays a step hands back; run in a fresh
process so that nothing else moves the figure. Prints JSON."""

from __future__ import annotations

import json

import murkplay_rl as rl
from memory import resident_bytes

GAMES = 200_000


if __name__ == "__main__":
    before = resident_bytes()
    batch = rl.GameBatch(GAMES, auto_reset=True)
    created = resident_bytes()
    # Two steps without observations: the listing of legal moves the batch keeps between a step
    # and its arrays is in use, and the arrays themselves are counted apart.
    step = batch.step_random(observe=False)
    step = batch.step_random(observe=False, out=step)
    stepped = resident_bytes()
    outputs = sum(array.nbytes for array in step if array is not None)
    print(json.dumps({"games": GAMES, "created": (created - before) / GAMES,
                      "stepped": (stepped - before - outputs) / GAMES, "outputs": outputs / GAMES}))
