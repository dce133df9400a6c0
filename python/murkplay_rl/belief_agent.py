"""The belief agent: at each turn it samples positions from its belief about the hidden board,
searches each a few plies deep as if it were the true one (taking a king wins; otherwise
material counts), and plays the move with the best average score.

It plays through the agents' protocol: ``act(step, batch)`` returns ``("position", positions)``
for ``batch.step``. It follows every game of one batch at a time with a belief per side, made
when it first sees the batch (another batch starts afresh), so it must see the batch's games
from their start (a new batch, or games restarted by the batch); after a game is written into
the batch, call ``forget()``.
"""

from __future__ import annotations

import numpy as np

from murkplay_rl._native import NO_MOVE, BatchBeliefs


class _Followed:
    """The beliefs kept for one batch: one per side, each with the side's last move per game."""

    def __init__(self, batch, limit: int, seed: int):
        self.batch = batch
        self.beliefs = {side: BatchBeliefs(batch, side, limit=limit, seed=seed + side) for side in (True, False)}
        self.played = {side: np.full(len(batch), NO_MOVE, dtype=np.uint16) for side in (True, False)}


class BeliefAgent:
    """Determinised search over samples of the belief.

    samples: positions drawn from each game's belief per move; depth: plies searched from each,
    the agent's own move included; limit: the most positions a belief keeps exactly; threads:
    native threads for the belief updates and the search (None: the batch's own).
    """

    def __init__(self, *, samples: int = 8, depth: int = 3, limit: int = 5_000, seed: int = 0,
                 threads: int | None = None, name: str = "belief"):
        self.name = name
        self.samples = samples
        self.depth = depth
        self.limit = limit
        self.seed = seed
        self.threads = threads
        self._followed: _Followed | None = None

    # It reads the moves of a step, never its observations.
    observes = False

    def forget(self) -> None:
        """Drops what the agent believes about its batch's games; it starts again at its next move."""
        self._followed = None

    def act(self, step, batch):
        if step is None:
            step = batch.observe()
        followed = self._followed
        fresh = followed is None or followed.batch is not batch
        if fresh:
            followed = self._followed = _Followed(batch, self.limit, self.seed)
        positions = np.full(len(batch), -1, dtype=np.int64)
        for side, beliefs in followed.beliefs.items():
            if not fresh:
                beliefs.update(followed.played[side], threads=self.threads)
            chosen = beliefs.choose(samples=self.samples, depth=self.depth, threads=self.threads)
            acting = chosen >= 0
            positions[acting] = chosen[acting]
            followed.played[side][acting] = step.moves[step.offsets[:-1][acting] + chosen[acting]]
        # Games where neither side's belief moves have ended; the batch ignores or restarts them.
        positions[positions < 0] = 0
        return "position", positions
