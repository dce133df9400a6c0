"""Self-play rollouts for the trainer: a GameBatch stepped with one forward pass per network and
step, the learner's decisions kept, and their advantages.

Every game of the batch goes on across rollouts (a rollout ends on a step count, not on game
ends), so the last decisions of a rollout are valued by the network, not cut off. Some games
are the learner against itself, both colours learning; the rest put the learner, on a colour
that alternates from game to game, against an opponent the caller names for the rollout (a
past snapshot), whose moves teach nothing.

Imports torch: import this module only where torch is wanted.
"""

from __future__ import annotations

import time
from dataclasses import dataclass

import numpy as np
import torch

import murkplay_rl


@dataclass
class Rollout:
    """The learner's decisions of one rollout, row by row in the order they were taken."""

    observation: torch.Tensor  # (rows, 64, 35) float32
    legal: torch.Tensor  # (rows, width) int64: each legal slot once, then padding
    valid: torch.Tensor  # (rows, width) bool: False at the padding
    choice: torch.Tensor  # (rows,) int64: the column of ``legal`` that was played
    log_prob: torch.Tensor  # (rows,) under the policy that played
    value: torch.Tensor  # (rows,) the network's value when it played
    advantage: torch.Tensor  # (rows,)
    returns: torch.Tensor  # (rows,) advantage + value: the value target
    plies: int  # plies played in the batch, the opponents' included
    games: int  # games that ended
    wins: int  # of those, won by the learner in games against an opponent
    losses: int


def advantages(value: np.ndarray, game: np.ndarray, colour: np.ndarray, rows_at: np.ndarray, ended: np.ndarray,
               outcome: np.ndarray, bootstrap: np.ndarray, gamma: float, lam: float) -> np.ndarray:
    """Generalised advantage estimates of decisions taken step by step in many two-player games.

    A decision's successor is the same colour's next decision in the same game; its reward is
    that colour's result when the game ends before the colour moves again (either side's move
    may end it), else zero. Rows of step t are ``rows_at[t]:rows_at[t + 1]``, with at most one
    per game; ``ended[t, g]`` says game g ended at step t with ``outcome[t, g]`` (White's and
    Black's value); ``bootstrap[g, c]`` is the value of colour c's next decision after the last
    step.
    """
    next_value = bootstrap.astype(np.float64)
    next_advantage = np.zeros_like(next_value)
    reward = np.zeros_like(next_value)
    done = np.zeros(next_value.shape, bool)
    result = np.zeros(len(value))
    for t in reversed(range(len(ended))):
        reward[ended[t]] = outcome[t][ended[t]]
        done[ended[t]] = True
        rows = slice(rows_at[t], rows_at[t + 1])
        g, c = game[rows], colour[rows]
        going_on = ~done[g, c]
        delta = reward[g, c] + gamma * going_on * next_value[g, c] - value[rows]
        result[rows] = delta + gamma * lam * going_on * next_advantage[g, c]
        next_value[g, c] = value[rows]
        next_advantage[g, c] = result[rows]
        reward[g, c] = 0.0
        done[g, c] = False
    return result


def legal_slots(mask: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The slots of each row of a legal-slot mask, ascending and padded to the longest row, and
    where they are real: the support of the policy, a few dozen columns instead of 4352, which
    is what makes the update's softmax cheap."""
    rows, slots = np.nonzero(mask)
    counts = np.bincount(rows, minlength=len(mask))
    width = max(int(counts.max(initial=0)), 1)
    column = np.arange(len(rows)) - np.repeat(np.cumsum(counts) - counts, counts)
    legal = np.zeros((len(mask), width), np.int64)
    legal[rows, column] = slots
    return legal, np.arange(width) < counts[:, None]


class SelfPlay:
    """A batch of ``games`` self-play games; ``collect`` steps it and keeps the learner's turns."""

    def __init__(self, games: int, *, max_plies: int, opponent_share: float, seed: int, threads: int,
                 device: str = "cpu"):
        self.batch = murkplay_rl.GameBatch(games, max_plies=max_plies, auto_reset=True, seed=seed, threads=threads)
        self.device = torch.device(device)
        # The first games face the opponent, learner White and Black in turn; the rest play themselves.
        against = np.arange(games) < round(games * opponent_share)
        self.learner_colour = np.where(against, np.arange(games) % 2, -1)
        self.logits = np.zeros((games, murkplay_rl.ACTION_COUNT), np.float32)
        self.murkplay_seconds = 0.0  # of the latest rollout, inside the batch's calls

    def state(self) -> bytes:
        import pickle

        return pickle.dumps(self.batch)

    def restore(self, payload: bytes) -> None:
        import pickle

        self.batch = pickle.loads(payload)

    @torch.no_grad()
    def collect(self, learner, opponent, steps: int, *, gamma: float, lam: float) -> Rollout:
        """Steps every game ``steps`` times: the learner's network and the opponent's (None: the
        learner plays every side) each run once per step on the games where they are to move."""
        batch = self.batch
        n = len(batch)
        started = time.perf_counter()
        step = batch.observe()
        self.murkplay_seconds = time.perf_counter() - started
        # Restarts are reported by the step before; a fresh observe shows the games as they stand.
        waiting = step.terminated | step.truncated
        capacity = steps * n
        observation = np.empty((capacity, 64, 35), np.float32)
        legal, valid = [], []
        slot = np.empty(capacity, np.int64)
        log_prob = np.empty(capacity, np.float32)
        value = np.empty(capacity, np.float32)
        game = np.empty(capacity, np.int64)
        colour = np.empty(capacity, np.int64)
        rows_at = np.zeros(steps + 1, np.int64)
        ended = np.zeros((steps, n), bool)
        outcome = np.zeros((steps, n, 2), np.float32)
        plies = games = wins = losses = 0
        row = 0
        for t in range(steps):
            mover = step.plies % 2
            playing = ~waiting
            mine = playing & ((self.learner_colour < 0) | (self.learner_colour == mover))
            theirs = playing & ~mine
            if opponent is None:
                mine, theirs = playing, np.zeros(n, bool)
            chosen = np.flatnonzero(mine)
            logits, values = learner.evaluate(torch.from_numpy(step.observation[chosen]).to(self.device))
            self.logits[chosen] = logits.float().cpu().numpy()
            others = np.flatnonzero(theirs)
            if len(others):
                self.logits[others] = opponent(torch.from_numpy(step.observation[others]).to(self.device)).cpu().numpy()
            end = row + len(chosen)
            observation[row:end] = step.observation[chosen]
            step_legal, step_valid = legal_slots(step.mask)
            legal.append(step_legal[chosen])
            valid.append(step_valid[chosen])
            game[row:end], colour[row:end] = chosen, mover[chosen]
            value[row:end] = values.float().cpu().numpy()
            step, played_log_prob = self._play()
            slot[row:end] = step.played_slot[chosen]
            log_prob[row:end] = played_log_prob[chosen]
            row = rows_at[t + 1] = end
            waiting = step.terminated | step.truncated
            ended[t] = waiting
            outcome[t] = step.values
            plies += int(playing.sum())
            finished = np.flatnonzero(waiting & (self.learner_colour >= 0))
            games += int(waiting.sum())
            result = step.values[finished, self.learner_colour[finished]]
            wins += int((result > 0).sum())
            losses += int((result < 0).sum())
        # The value of each colour's next turn: the mover's own, and its negation for the other side.
        _, now = learner.evaluate(torch.from_numpy(step.observation).to(self.device))
        now = now.float().cpu().numpy()
        bootstrap = np.empty((n, 2), np.float32)
        mover = step.plies % 2
        bootstrap[np.arange(n), mover] = now
        bootstrap[np.arange(n), 1 - mover] = -now
        advantage = advantages(value[:row], game[:row], colour[:row], rows_at, ended, outcome, bootstrap, gamma, lam)
        advantage = torch.from_numpy(advantage.astype(np.float32))
        value_tensor = torch.from_numpy(value[:row].copy())
        width = max(chunk.shape[1] for chunk in legal)
        legal = np.concatenate([np.pad(chunk, ((0, 0), (0, width - chunk.shape[1]))) for chunk in legal])
        valid = np.concatenate([np.pad(chunk, ((0, 0), (0, width - chunk.shape[1]))) for chunk in valid])
        choice = np.argmax(valid & (legal == slot[:row, None]), 1)
        return Rollout(
            observation=torch.from_numpy(observation[:row]),
            legal=torch.from_numpy(legal),
            valid=torch.from_numpy(valid),
            choice=torch.from_numpy(choice),
            log_prob=torch.from_numpy(log_prob[:row]),
            value=value_tensor,
            advantage=advantage,
            returns=advantage + value_tensor,
            plies=plies,
            games=games,
            wins=wins,
            losses=losses,
        )

    def _play(self):
        """Plays one slot per game, drawn natively from the softmax of its logits over its legal
        slots; returns the new step and the log-probability of each played slot."""
        started = time.perf_counter()
        step = self.batch.step(self.logits, by="logits")
        self.murkplay_seconds += time.perf_counter() - started
        return step, step.log_prob
