"""Self-play on Ray actors for the trainer, the learner staying in the driver.

The actors are ``selfplay_ray.SelfPlayWorker``s with the trainer's network: every update they
play whole games with the learner's current weights, both colours, and return the games'
records; the driver plays the records again natively (``dataset.replay_records``), values the
positions with the same weights and turns them into a ``Rollout``. Whole games need no
bootstrap, and the log-probabilities the driver computes are those of the weights that played.
Snapshot opponents are not played on actors.

Imports torch and Ray: import this module only where both are wanted.
"""

from __future__ import annotations

import functools

import numpy as np
import torch

from murkplay_rl import selfplay_ray
from murkplay_rl.dataset import replay_records
from murkplay_rl.network import PolicyValueNet, legal_log_probs
from murkplay_rl.rollout import Rollout, advantages, legal_slots

# Positions valued per forward pass in the driver.
_CHUNK = 4096


class _Collected:
    """A writer for ``run_selfplay`` that keeps the records in memory."""

    def __init__(self):
        self.records = []

    def write(self, records) -> None:
        self.records.extend(records)


class RaySelfPlay:
    """Plays ``games`` whole games per rollout on ``actors`` Ray actors (started here, on a
    local instance bound to the loopback unless ``address`` names a cluster)."""

    def __init__(self, config, actors: int, *, address: str | None = None, device: str = "cpu"):
        import ray

        if not ray.is_initialized():
            if address:
                ray.init(address=address)
            else:
                selfplay_ray.start_local_ray(num_cpus=actors)
        self.config = config
        self.device = torch.device(device)
        self.games = config.games
        self.per_task = max(1, -(-config.games // actors))
        self.actors = selfplay_ray.start_actors(
            actors, batch=min(self.per_task, 64), max_plies=config.max_plies,
            network=functools.partial(PolicyValueNet, config.network))
        self.rollouts = 0
        self.murkplay_seconds = 0.0  # spent on the actors, out of the driver's sight

    def state(self) -> bytes:
        return b""

    def restore(self, payload: bytes) -> None:
        pass

    @torch.no_grad()
    def collect(self, learner, opponent, steps: int, *, gamma: float, lam: float) -> Rollout:
        """Plays a round of whole games; ``opponent`` and ``steps`` are the in-process rollout's
        and are not used here."""
        collected = _Collected()
        self.rollouts += 1
        selfplay_ray.run_selfplay(self.actors, learner, collected, games=self.games, games_per_task=self.per_task,
                                  seed=self.config.seed * 1_000_003 + self.rollouts)
        records = collected.records
        replay = replay_records(records, threads=self.config.threads)
        legal, valid = legal_slots(replay.mask)
        slot = replay.slot.astype(np.int64)
        observation = torch.from_numpy(replay.observation)
        legal, valid = torch.from_numpy(legal), torch.from_numpy(valid)
        choice = torch.from_numpy(np.argmax(valid.numpy() & (legal.numpy() == slot[:, None]), 1))
        values, log_prob = [], []
        for start in range(0, len(slot), _CHUNK):
            rows = slice(start, start + _CHUNK)
            logits, value = learner.evaluate(observation[rows].to(self.device))
            log_probs = legal_log_probs(logits, legal[rows].to(self.device), valid[rows].to(self.device))
            log_prob.append(log_probs.gather(1, choice[rows, None].to(self.device))[:, 0].cpu())
            values.append(value.cpu())
        value = torch.cat(values)
        advantage = torch.from_numpy(whole_game_advantages(records, value.numpy(), gamma, lam).astype(np.float32))
        return Rollout(observation=observation, legal=legal, valid=valid, choice=choice, log_prob=torch.cat(log_prob),
                       value=value, advantage=advantage, returns=advantage + value, plies=len(slot),
                       games=len(records), wins=0, losses=0)


def whole_game_advantages(records, value: np.ndarray, gamma: float, lam: float) -> np.ndarray:
    """``rollout.advantages`` for rows of whole games, game after game and ply after ply (as
    replay gives them), White moving first."""
    plies = np.array([record.plies for record in records])
    game = np.repeat(np.arange(len(records)), plies)
    ply = np.arange(len(game)) - np.repeat(np.cumsum(plies) - plies, plies)
    order = np.lexsort((game, ply))  # step by step, as a batch would have played them
    steps = int(plies.max(initial=0))
    ended = np.zeros((steps, len(records)), bool)
    outcome = np.zeros((steps, len(records), 2), np.float32)
    last = plies - 1
    ended[last, np.arange(len(records))] = True
    result = np.array([record.result for record in records], np.float32)
    outcome[last, np.arange(len(records))] = np.stack((result, -result), 1)
    rows_at = np.searchsorted(ply[order], np.arange(steps + 1))
    ordered = advantages(value[order], game[order], ply[order] % 2, rows_at, ended, outcome,
                         np.zeros((len(records), 2)), gamma, lam)
    result_rows = np.empty(len(game))
    result_rows[order] = ordered
    return result_rows
