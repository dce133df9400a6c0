"""Self-play rollouts for the trainer: a GameBatch stepped with one forward pass per network and
step, every game's turn kept step by step, and the advantages of the learner's moves.

A rollout is arrays of (steps, games): at step t of game g who moved, the slot played and its
log-probability, the learner's value, and whether the game ended there. ``learner`` marks the
learner's own moves, the samples PPO learns from; their observations and legal-slot masks are
kept in that mask's order (step after step, game after game). Every game goes on across
rollouts (a rollout ends on a step count, not on game ends), so the last moves of a rollout
are valued by the network (``bootstrap``). Some games are the learner against itself, both
colours learning; the rest put the learner, on a colour that alternates from game to game,
against an opponent the caller names for the rollout (a past snapshot), whose moves teach
nothing.

Imports torch: import this module only where torch is wanted.
"""

from __future__ import annotations

import time
from dataclasses import dataclass

import numpy as np
import torch

import murkplay_rl
from murkplay_rl import checkpoint
from murkplay_rl.codes import CodeRows, observations, to_device
from murkplay_rl.foresight import Beliefs, dense

CONTENTS = 13  # an observation's first features: an own pawn .. king, an opponent's, nothing


@dataclass
class Rollout:
    """Steps of a batch of games: arrays of (steps, games) unless said otherwise."""

    moved: np.ndarray  # bool: a move was played (a game restarting at the step plays none)
    learner: np.ndarray  # bool: the learner made it: one sample
    mover: np.ndarray  # int64: the colour that moved, 0 White
    slot: np.ndarray  # int64: the slot played
    log_prob: np.ndarray  # float32: its log-probability under the policy that played it
    value: np.ndarray  # float32: the learner's value of the position it moved in (0 elsewhere)
    terminated: np.ndarray  # bool: the game ended at this step (a king taken, or no move left)
    truncated: np.ndarray  # bool: it reached the ply limit here
    outcome: np.ndarray  # float32 (steps, games, 2): White's and Black's results where it ended
    bootstrap: np.ndarray  # float32 (games, 2): each colour's value of its next move after the last step
    # What the learner saw, in the order of ``learner``: float32 (samples, 64, 35), or CodeRows
    # of as many rows when the batch reports codes.
    observation: np.ndarray | CodeRows
    mask: np.ndarray  # bool (samples, 4352): its legal slots there
    # float32 (steps, games, 2): each colour's value of the position where the game was cut off
    # at the ply limit; None: worth nothing more (whole games replayed, which keep no values).
    final_value: np.ndarray | None = None
    # uint8 (samples, 64): what truly stood on each cell of the learner's view (0-5 its pawn .. king,
    # 6-11 the opponent's, 12 nothing), the lesson of a network's guess head; None: not kept.
    contents: np.ndarray | None = None
    # float32 (samples, 4352): each legal slot's foresight score in pawns, where the learner has
    # foresight (``murkplay_rl.foresight``); None: not kept.
    foresight: np.ndarray | None = None
    wins: int = 0  # games the learner ended against the opponent, won, lost and drawn
    losses: int = 0
    draws: int = 0

    @property
    def samples(self) -> int:
        return len(self.observation)

    @property
    def plies(self) -> int:
        return int(self.moved.sum())

    @property
    def games(self) -> int:
        """Games that ended."""
        return int((self.terminated | self.truncated).sum())


def advantages(rollout: Rollout, gamma: float, lam: float) -> np.ndarray:
    """Generalised advantage estimates of the learner's moves, (steps, games), 0 elsewhere.

    A move's successor is the same colour's next move in the same game; its reward is that
    colour's result when the game ends before the colour moves again (either side's move may end
    it), else zero. A game cut off at the ply limit has no result: its last moves are valued by
    ``final_value``, as those after a rollout's last step are by ``bootstrap``, because the
    limit is the trainer's and not the game's, and the network cannot see how near it is.
    """
    next_value = rollout.bootstrap.astype(np.float64)
    next_advantage = np.zeros_like(next_value)
    reward = np.zeros_like(next_value)
    done = np.zeros(next_value.shape, bool)
    result = np.zeros(rollout.learner.shape)
    for t in reversed(range(len(rollout.learner))):
        over, cut = rollout.terminated[t], rollout.truncated[t]
        reward[over] = rollout.outcome[t][over]
        done[over] = True
        next_value[cut] = rollout.final_value[t][cut] if rollout.final_value is not None else 0.0
        next_advantage[cut] = 0.0
        g = np.flatnonzero(rollout.learner[t])
        c = rollout.mover[t, g]
        value = rollout.value[t, g]
        going_on = ~done[g, c]
        delta = reward[g, c] + gamma * going_on * next_value[g, c] - value
        result[t, g] = delta + gamma * lam * going_on * next_advantage[g, c]
        next_value[g, c] = value
        next_advantage[g, c] = result[t, g]
        reward[g, c] = 0.0
        done[g, c] = False
    return result


class _Record:
    """The arrays of one rollout, filled step by step."""

    def __init__(self, steps: int, games: int, form: str):
        shape = (steps, games)
        self.moved, self.learner = np.zeros(shape, bool), np.zeros(shape, bool)
        self.mover, self.slot = np.zeros(shape, np.int64), np.zeros(shape, np.int64)
        self.log_prob, self.value = np.zeros(shape, np.float32), np.zeros(shape, np.float32)
        self.terminated, self.truncated = np.zeros(shape, bool), np.zeros(shape, bool)
        self.outcome, self.final_value = np.zeros((*shape, 2), np.float32), np.zeros((*shape, 2), np.float32)
        self.form = form
        rows = steps * games
        self.observation = CodeRows.empty(rows) if form == "codes" else np.empty((rows, 64, 35), np.float32)
        self.mask = np.empty((steps * games, murkplay_rl.ACTION_COUNT), bool)
        self.contents = None
        self.foresight = None
        self.samples = 0

    def before(self, t: int, step, moving: np.ndarray, mine: np.ndarray, value: np.ndarray, contents=None,
               foresight=None) -> None:
        """Who moves at step t, and what the learner saw and thought where it moves; ``contents``
        (games, 64), what truly stood where; ``foresight`` (its moves' rows, 4352), the scores
        its policy added."""
        self.moved[t], self.learner[t], self.mover[t] = moving, mine, step.plies % 2
        rows = np.flatnonzero(mine)
        self.value[t, rows] = value
        end = self.samples + len(rows)
        self.observation[self.samples:end] = observations(step, self.form)[rows]
        self.mask[self.samples:end] = step.mask[rows]
        if contents is not None:
            if self.contents is None:
                self.contents = np.empty((len(self.mask), 64), np.uint8)
            self.contents[self.samples:end] = contents[rows]
        if foresight is not None:
            if self.foresight is None:
                self.foresight = np.zeros((len(self.mask), murkplay_rl.ACTION_COUNT), np.float32)
            self.foresight[self.samples:end] = foresight
        self.samples = end

    def after(self, t: int, step, max_plies: int) -> np.ndarray:
        """What step t played and how it ended; returns the games cut off at the ply limit (a
        game whose side to move has no move has ended, worth nothing to either side)."""
        cut = step.truncated & (step.plies >= max_plies)
        self.slot[t], self.log_prob[t] = step.played_slot, step.log_prob
        self.terminated[t], self.truncated[t] = (step.terminated | step.truncated) & ~cut, cut
        self.outcome[t] = step.values
        return cut

    def rollout(self, bootstrap: np.ndarray, learner_colour: np.ndarray) -> Rollout:
        # The learner's results in the games against the opponent that ended.
        t, g = np.nonzero((self.terminated | self.truncated) & (learner_colour >= 0))
        result = self.outcome[t, g, learner_colour[g]]
        return Rollout(
            moved=self.moved, learner=self.learner, mover=self.mover, slot=self.slot, log_prob=self.log_prob,
            value=self.value, terminated=self.terminated, truncated=self.truncated, outcome=self.outcome,
            bootstrap=bootstrap, observation=self.observation[:self.samples], mask=self.mask[:self.samples],
            final_value=self.final_value,
            contents=None if self.contents is None else self.contents[:self.samples],
            foresight=None if self.foresight is None else self.foresight[:self.samples],
            wins=int((result > 0).sum()), losses=int((result < 0).sum()),
            draws=int((result == 0).sum()),
        )


def _each_colour(value: np.ndarray, mover: np.ndarray) -> np.ndarray:
    """(games, 2) from the mover's values: its own, and their negation for the other colour."""
    both = np.empty((len(value), 2), np.float32)
    rows = np.arange(len(value))
    both[rows, mover] = value
    both[rows, 1 - mover] = -value
    return both


class SelfPlay:
    """A batch of ``games`` self-play games; ``collect`` steps it and keeps every turn."""

    def __init__(self, games: int, *, max_plies: int, opponent_share: float, seed: int, threads: int,
                 device: str = "cpu", observation: str = "floats", foresight=None):
        self.batch = murkplay_rl.GameBatch(games, max_plies=max_plies, auto_reset=True, seed=seed, threads=threads)
        # Both sides' beliefs, followed from the games' start, where the networks look ahead as
        # ``foresight`` (their NetworkConfig) says.
        self.beliefs = (Beliefs(self.batch, seed, threads, depth=foresight.foresight_depth,
                                samples=foresight.foresight_samples) if foresight is not None else None)
        self.max_plies = max_plies
        self.seed = seed
        self.device = torch.device(device)
        # The first games face the opponent, learner White and Black in turn; the rest play themselves.
        against = np.arange(games) < round(games * opponent_share)
        self.learner_colour = np.where(against, np.arange(games) % 2, -1)
        self.logits = np.zeros((games, murkplay_rl.ACTION_COUNT), np.float32)
        self.murkplay_seconds = 0.0  # of the latest rollout, inside the batch's calls
        if observation not in ("floats", "codes"):
            raise ValueError(f"observation must be 'floats' or 'codes', not {observation!r}")
        self.form = observation

    def state(self) -> bytes:
        return checkpoint.batch_bytes(self.batch)

    def restore(self, batch) -> None:
        """Goes on with ``batch``'s games (the GameBatch of ``state``'s bytes); beliefs follow
        its games from their next start."""
        self.batch = batch
        if self.beliefs is not None:
            self.beliefs = Beliefs(batch, self.seed, self.beliefs.threads, depth=self.beliefs.depth,
                                   samples=self.beliefs.samples)

    @torch.no_grad()
    def collect(self, learner, opponent, steps: int, *, number: int = 0) -> Rollout:
        """Steps every game ``steps`` times: the learner's network runs once per step on the
        games where it is to move, and so does the opponent where it is. The opponent is a
        policy network (a past snapshot), the name of a built-in agent, or None (the learner
        plays every side). ``number`` tells rollouts apart: the built-in agents' draws among
        equal moves follow it."""
        record = _Record(steps, len(self.batch), self.form)
        guesses = bool(getattr(getattr(learner, "config", None), "guess", 0))
        self.murkplay_seconds = 0.0
        codes = self.form == "codes"
        step = self._timed(self.batch.observe, codes=codes)
        for t in range(steps):
            moving = ~step.restarting
            mine, theirs = self._movers(step, moving, opponent is not None)
            scores = self._timed(self.beliefs.look, step) if self.beliefs is not None else None
            value, foresight = self._value_and_logits(learner, step, mine, scores)
            if theirs.any():
                self._opponent_logits(opponent, step, theirs, seed=(self.seed, number, t), scores=scores)
            record.before(t, step, moving, mine, value, self._contents() if guesses else None, foresight)
            shown, step = step, self._timed(self.batch.step, self.logits, by="logits", codes=codes)
            if self.beliefs is not None:
                self.beliefs.saw(shown, step.played_move)
            cut = record.after(t, step, self.max_plies)
            if cut.any():
                _, value = learner.evaluate(self._inputs(step, np.flatnonzero(cut)))
                record.final_value[t, cut] = _each_colour(value.float().cpu().numpy(), step.plies[cut] % 2)
        _, value = learner.evaluate(self._inputs(step, np.arange(len(self.batch))))
        bootstrap = _each_colour(value.float().cpu().numpy(), step.plies % 2)
        return record.rollout(bootstrap, self.learner_colour)

    def _contents(self) -> np.ndarray:
        """uint8 (games, 64): what truly stands on each cell of the mover's view, in the codes'
        numbering (0-5 its pawn .. king, 6-11 the opponent's, 12 nothing): with full sight the
        seen code is the contents, and so is the float view's first set feature."""
        if self.form == "codes":
            return self._timed(self.batch.observe, oracle=True, codes=True, mask=False).codes[:, :, 0]
        return self._timed(self.batch.observe, oracle=True).observation[:, :, :CONTENTS].argmax(2).astype(np.uint8)

    def _movers(self, step, moving: np.ndarray, against_opponent: bool) -> tuple[np.ndarray, np.ndarray]:
        """The games where the learner moves, and those where the opponent does."""
        if not against_opponent:
            return moving, np.zeros_like(moving)
        colour = step.plies % 2
        mine = moving & ((self.learner_colour < 0) | (self.learner_colour == colour))
        return mine, moving & ~mine

    def _inputs(self, step, rows: np.ndarray) -> torch.Tensor:
        """What a network reads of the games ``rows``."""
        return to_device(observations(step, self.form)[rows], self.device)

    def _value_and_logits(self, network, step, games: np.ndarray, scores) -> tuple[np.ndarray, np.ndarray | None]:
        """The policy-value ``network``'s logits for ``games``, into the next step's logits;
        returns its values there, and the foresight it added (None without ``scores``, the
        ``look`` of the step)."""
        rows = np.flatnonzero(games)
        foresight = dense(step, scores, rows) if scores is not None else None
        logits, value = network.evaluate(self._inputs(step, rows), foresight=self._tensor(foresight))
        self.logits[rows] = logits.float().cpu().numpy()
        return value.float().cpu().numpy(), foresight

    def _tensor(self, array):
        return None if array is None else torch.from_numpy(array).to(self.device)

    def _opponent_logits(self, opponent, step, games: np.ndarray, seed: tuple[int, int, int], scores=None) -> None:
        """The opponent's logits for ``games``, into the next step's logits. A built-in agent
        chooses its moves natively on copies of the games (a batch of their own, seeded by
        ``seed``), and its logits allow only the slot of the move it chose."""
        rows = np.flatnonzero(games)
        if not isinstance(opponent, str):
            foresight = dense(step, scores, rows) if scores is not None else None
            self.logits[rows] = opponent(self._inputs(step, rows), foresight=self._tensor(foresight)).cpu().numpy()
            return
        word = np.random.SeedSequence(list(seed)).generate_state(1, np.uint64)[0]
        copies = murkplay_rl.GameBatch([self.batch[int(row)] for row in rows], seed=int(word))
        chosen = self._timed(copies.step, by=opponent, observe=False).played_slot
        self.logits[rows] = -np.inf
        self.logits[rows, chosen] = 0.0

    def _timed(self, method, *args, **options):
        """One call of the batch, its time counted as murkplay's."""
        started = time.perf_counter()
        step = method(*args, **options)
        self.murkplay_seconds += time.perf_counter() - started
        return step
