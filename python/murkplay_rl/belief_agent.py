"""The belief agent: at each turn it samples positions from its belief about the hidden board,
searches each a few plies deep as if it were the true one (taking a king wins; otherwise
material counts), and plays the move with the best average score.

It plays through the agents' protocol: ``act(step, batch)`` returns ``("position", positions)``
for ``batch.step``. It follows every game of one batch at a time with a belief per side, made
when it first sees the batch (another batch starts afresh). A belief knows only what its side
has seen: it starts at each game's known start, never at the true board. So the agent must
first see a batch before its side's first move in every game still going: at ply 0, or at
ply 1 after the opponent's opening move, which the belief then enumerates (as Black after
1. e4 it holds White's 20 first moves). Any later game is refused with ValueError naming it.
A game the batch restarts is followed again from its start; one written into the batch is a
new known start once ``forget([i])`` has dropped what the agent believed of it.
"""

from __future__ import annotations

import numpy as np

from murkplay_rl._checks import integer
from murkplay_rl._native import MAX_SEARCH_DEPTH, MAX_SEARCH_SAMPLES, MAX_THREADS, NO_MOVE, BatchBeliefs

_SIDES = (True, False)


class _Followed:
    """The beliefs kept for one batch: one per side, each with the side's last move per game."""

    def __init__(self, batch, limit: int, seed: int):
        self.batch = batch
        self.beliefs = {side: BatchBeliefs(batch, side, limit=limit, seed=(seed + side) % 2**64) for side in _SIDES}
        self.played = {side: np.full(len(batch), NO_MOVE, dtype=np.uint16) for side in _SIDES}

    def restarting(self, step) -> None:
        """A game that restarts at ``step`` begins a new record of each side's moves."""
        for side in _SIDES:
            self.played[side][step.restarting] = NO_MOVE

    def check_joined(self, step) -> None:
        """Refuses a batch with a game still going that its beliefs cannot follow: one past
        ply 1, where the side to move has moved before and the agent did not see what it
        played, or one whose start they cannot know."""
        going = ~(step.terminated | step.truncated)
        followed = self.beliefs[True].following & self.beliefs[False].following
        late = np.flatnonzero(going & ((step.plies >= 2) | ~followed))
        if len(late):
            game = int(late[0])
            raise ValueError(
                f"the belief agent first sees game {game} at ply {int(step.plies[game])}: it cannot know the moves "
                "its side made before; hand it the batch before its side's first move in every game still going"
            )


class Following:
    """An agent that follows one batch's games with the beliefs of both sides (kept from its
    first move in that batch)."""

    _followed: _Followed | None = None

    def forget(self, games=None) -> None:
        """Drops what the agent believes: about every game (None), when it starts afresh at its
        next move, or about the given games of its batch, which it takes up again at their
        known start as they are now (after ``batch[i] = game``, that game)."""
        if games is None or self._followed is None:
            self._followed = None
            return
        games = list(games)
        for side in _SIDES:
            self._followed.beliefs[side].reset(games)
            self._followed.played[side][games] = NO_MOVE

    def _follow(self, step, batch) -> tuple[_Followed, bool]:
        """The beliefs kept for ``batch``, and whether they are new: made (and the batch
        checked) when the agent first acts in it."""
        if self._followed is not None and self._followed.batch is batch:
            return self._followed, False
        followed = self._beliefs_of(batch)
        followed.check_joined(step)
        self._followed = followed
        return followed, True

    def _beliefs_of(self, batch) -> _Followed:
        return _Followed(batch, self.limit, self.seed)


class BeliefAgent(Following):
    """Determinised search over samples of the belief.

    samples: positions drawn from each game's belief per move (1 to ``MAX_SEARCH_SAMPLES``);
    depth: plies searched from each, the agent's own move included (1 to ``MAX_SEARCH_DEPTH``);
    limit: the most positions a belief keeps exactly (2 to 2**32 - 1); seed: of the beliefs'
    random streams (0 to 2**64 - 1); threads: native threads for the belief updates and the
    search (None: the batch's own; else 1 to ``MAX_THREADS``). Each is checked here: TypeError
    for a value that is no integer, ValueError naming it for one out of range. At the bounds of
    samples and depth one game's move takes a few seconds; Ctrl-C stops it.
    """

    def __init__(self, *, samples: int = 8, depth: int = 3, limit: int = 5_000, seed: int = 0,
                 threads: int | None = None, name: str = "belief"):
        if not isinstance(name, str):
            raise TypeError(f"name must be a str, not {type(name).__name__!r}")
        self.name = name
        self.samples = integer("samples", samples, 1, MAX_SEARCH_SAMPLES)
        self.depth = integer("depth", depth, 1, MAX_SEARCH_DEPTH)
        self.limit = integer("limit", limit, 2, 2**32 - 1)
        self.seed = integer("seed", seed, 0, 2**64 - 1)
        self.threads = None if threads is None else integer("threads", threads, 1, MAX_THREADS)

    # It reads the moves of a step, never its observations.
    observes = False

    @property
    def beliefs(self) -> dict[bool, BatchBeliefs]:
        """The beliefs of the batch it follows, by side (True for White); empty before it acts."""
        return dict(self._followed.beliefs) if self._followed is not None else {}

    def act(self, step, batch):
        if step is None:
            step = batch.observe()
        followed, fresh = self._follow(step, batch)
        positions = np.full(len(batch), -1, dtype=np.int64)
        for side, beliefs in followed.beliefs.items():
            if not fresh:
                beliefs.update(followed.played[side], threads=self.threads)
            chosen = beliefs.choose(samples=self.samples, depth=self.depth, threads=self.threads)
            acting = chosen >= 0
            positions[acting] = chosen[acting]
            followed.played[side][acting] = step.moves[step.offsets[:-1][acting] + chosen[acting]]
        followed.restarting(step)
        # Games where neither side's belief moves have ended, or are not followed; the batch
        # ignores or restarts the first, and any legal move serves the others.
        positions[positions < 0] = 0
        return "position", positions
