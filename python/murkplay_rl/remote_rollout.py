"""Self-play on Ray actors for the trainer, the learner staying in the driver.

The actors are ``selfplay_ray.SelfPlayWorker``s with the trainer's network: every update they
play whole games with the learner's current weights, both colours, and return the games'
records; the driver plays the records again natively (``dataset.replay_records``), values the
positions with the same weights and lays them out as a ``Rollout`` of (plies, games). Whole
games need no bootstrap, and the log-probabilities the driver computes are those of the
weights that played. Snapshot opponents are not played on actors.

Imports torch and Ray: import this module only where both are wanted.
"""

from __future__ import annotations

import functools

import numpy as np
import torch

from murkplay_rl import selfplay_ray
from murkplay_rl.codes import CodeRows, to_device
from murkplay_rl.dataset import replay_records
from murkplay_rl.network import PolicyValueNet
from murkplay_rl.policy import legal_log_probs, legal_slots
from murkplay_rl.rollout import Rollout

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
            network=functools.partial(PolicyValueNet, config.network), observation=config.observation)
        self.rollouts = 0
        self.murkplay_seconds = 0.0  # spent on the actors, out of the driver's sight

    def state(self) -> None:
        return None  # the actors' games end with each rollout: nothing goes on

    def restore(self, batch) -> None:
        pass

    @torch.no_grad()
    def collect(self, learner, opponent, steps: int, *, number: int = 0) -> Rollout:
        """Plays a round of whole games; ``opponent``, ``steps`` and ``number`` are the
        in-process rollout's and are not used here."""
        collected = _Collected()
        self.rollouts += 1
        selfplay_ray.run_selfplay(self.actors, learner, collected, games=self.games, games_per_task=self.per_task,
                                  seed=self.config.seed * 1_000_003 + self.rollouts)
        return whole_games(collected.records, learner, max_plies=self.config.max_plies, threads=self.config.threads,
                           device=self.device, codes=self.config.observation == "codes")


def whole_games(records, learner, *, max_plies: int, threads: int = 1, device="cpu", codes: bool = False) -> Rollout:
    """Whole games as a rollout: step t of game g is its ply t (White moving first), every move
    the learner's, valued and scored by ``learner`` as the weights that played them; with
    ``codes``, what the mover saw is kept as codes."""
    replay = replay_records(records, threads=threads, codes=codes)
    plies = np.array([record.plies for record in records], np.int64)
    result = np.array([record.result for record in records], np.float32)
    shape = (int(plies.max(initial=0)), len(records))
    game = np.repeat(np.arange(len(records)), plies)
    ply = np.arange(len(game)) - np.repeat(np.cumsum(plies) - plies, plies)
    learner_moves = np.zeros(shape, bool)
    learner_moves[ply, game] = True
    # Replay lists the plies game after game; a rollout keeps its samples step after step.
    sample = np.zeros(shape, np.int64)
    sample[learner_moves] = np.arange(len(game))
    order = sample[ply, game]
    seen = CodeRows.of(replay) if codes else replay.observation
    observation = CodeRows.empty(len(seen)) if codes else np.empty_like(seen)
    observation[order] = seen
    mask = np.empty_like(replay.mask)
    mask[order] = replay.mask
    slot, value, log_prob = np.zeros(shape, np.int64), np.zeros(shape, np.float32), np.zeros(shape, np.float32)
    slot[ply, game] = replay.slot
    value[ply, game], log_prob[ply, game] = _value_and_log_prob(learner, replay, seen, device)
    played = np.flatnonzero(plies > 0)
    ended = np.zeros(shape, bool)
    ended[plies[played] - 1, played] = True
    truncated = ended & (plies == max_plies) & (result == 0)
    outcome = np.zeros((*shape, 2), np.float32)
    outcome[plies[played] - 1, played] = np.stack((result[played], -result[played]), 1)
    mover = np.repeat(np.arange(shape[0]) % 2, shape[1]).reshape(shape)
    return Rollout(moved=learner_moves, learner=learner_moves, mover=mover, slot=slot, log_prob=log_prob, value=value,
                   terminated=ended & ~truncated, truncated=truncated, outcome=outcome,
                   bootstrap=np.zeros((len(records), 2), np.float32), observation=observation, mask=mask)


def _value_and_log_prob(learner, replay, seen, device) -> tuple[np.ndarray, np.ndarray]:
    """The learner's value of every replayed position and the log-probability of its slot."""
    legal, valid = legal_slots(replay.mask)
    slot = replay.slot.astype(np.int64)
    choice = torch.from_numpy(np.argmax(valid & (legal == slot[:, None]), 1))
    observation = to_device(seen, "cpu")
    legal, valid = map(torch.from_numpy, (legal, valid))
    values, log_prob = [], []
    for start in range(0, len(slot), _CHUNK):
        rows = slice(start, start + _CHUNK)
        logits, value = learner.evaluate(observation[rows].to(device))
        scores = legal_log_probs(logits, legal[rows].to(device), valid[rows].to(device))
        log_prob.append(scores.gather(1, choice[rows, None].to(device))[:, 0].cpu())
        values.append(value.cpu())
    if not values:
        return np.zeros(0, np.float32), np.zeros(0, np.float32)
    return torch.cat(values).numpy(), torch.cat(log_prob).numpy()
