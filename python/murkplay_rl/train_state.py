"""What a training run holds between updates, and its checkpoints.

The learner (network and optimizer), the pool of its past snapshots, every random stream, the
counters and the self-play games together are a checkpoint: ``save`` writes one, and a state
made with the same settings and ``restore``d from it goes on bit for bit as the run that wrote
it did. Reading a checkpoint is reading data (``murkplay_rl.checkpoint``): every entry is
checked against what a fresh state of the same settings holds before any is used, and a fault
is one ValueError naming the file.

Imports torch: import this module only where torch is wanted.
"""

from __future__ import annotations

import copy
import json
from pathlib import Path
from typing import NamedTuple

import numpy as np
import torch

from murkplay_rl import checkpoint
from murkplay_rl.network import PolicyValueNet
from murkplay_rl.rollout import Rollout, SelfPlay
from murkplay_rl.run_log import checkpoint_path
from murkplay_rl.train_config import TrainConfig

_PROGRESS = {"updates": int, "samples": int, "plies": int, "seconds": float, "murkplay_seconds": float,
             "last_eval": float}


class Saved(NamedTuple):
    """A checkpoint read and its settings checked; ``TrainState.restore`` checks the rest."""

    path: Path
    config: TrainConfig
    payload: dict


def read(path) -> Saved:
    payload = checkpoint.read(path)
    checkpoint.keys(path, payload, set(checkpoint.TRAINER_KEYS))
    try:
        config = TrainConfig.from_dict(payload["config"])
    except ValueError as error:
        raise checkpoint.fault(path, f"'config': {error}") from None
    return Saved(Path(path), config, payload)


class TrainState:
    """One run's learner, opponents, random streams, counters and games."""

    def __init__(self, config: TrainConfig, *, actors: int = 0, address: str | None = None):
        self.config = config
        try:
            self.device = torch.device(config.device)
        except RuntimeError:
            raise ValueError(f"device must be a torch device such as cpu or cuda, not {config.device!r}") from None
        if self.device.type == "cuda" and not torch.cuda.is_available():
            raise ValueError(f"device {config.device!r}: torch sees no GPU here")
        torch.set_num_threads(config.threads)
        torch.manual_seed(config.seed)
        self.network = PolicyValueNet(config.network).to(self.device)
        self.opponent = copy.deepcopy(self.network).eval()
        self.optimizer = torch.optim.Adam(self.network.parameters(), lr=config.ppo.learning_rate)
        if actors:
            from murkplay_rl.remote_rollout import RaySelfPlay

            self.selfplay = RaySelfPlay(config, actors, address=address, device=config.device)
        else:
            self.selfplay = SelfPlay(config.games, max_plies=config.max_plies, opponent_share=config.opponent_share,
                                     seed=config.seed, threads=config.threads, device=config.device,
                                     observation=config.observation)
        self.shuffling = torch.Generator().manual_seed(config.seed + 1)
        self.rng = np.random.default_rng(config.seed)
        self.pool: list[dict] = []
        self.updates = 0
        self.samples = 0
        self.plies = 0
        self.seconds = 0.0  # of training: collection and updates, not evaluation
        self.murkplay_seconds = 0.0
        self.last_eval = -np.inf

    def pick_opponent(self):
        """A snapshot of the pool, drawn afresh for each rollout; None while the pool is empty."""
        if not self.pool:
            return None
        self.opponent.load_state_dict(self.pool[int(self.rng.integers(len(self.pool)))])
        return self.opponent

    def count(self, rollout: Rollout, seconds: float) -> None:
        self.updates += 1
        self.samples += rollout.samples
        self.plies += rollout.plies
        self.seconds += seconds
        self.murkplay_seconds += self.selfplay.murkplay_seconds

    def snapshot(self) -> None:
        self.pool.append({name: tensor.detach().clone() for name, tensor in self.network.state_dict().items()})
        del self.pool[:-self.config.pool_size]

    # -- checkpoints ---------------------------------------------------------------------------

    def save(self, run) -> Path:
        """Writes ``checkpoints/checkpoint-NNNNNN.pt`` (the update count) whole or not at all."""
        path = checkpoint_path(run, self.updates)
        path.parent.mkdir(parents=True, exist_ok=True)
        checkpoint.write(path, {
            "config": self.config.to_dict(),
            "network": self.config.network.to_dict(),
            "model": self.network.state_dict(),
            "optimizer": self.optimizer.state_dict(),
            "pool": self.pool,
            "batch": self.selfplay.state(),
            "rng": {
                "torch": torch.get_rng_state(),
                "shuffling": self.shuffling.get_state(),
                "numpy": json.dumps(self.rng.bit_generator.state),
            },
            "progress": {"updates": self.updates, "samples": self.samples, "plies": self.plies,
                         "seconds": self.seconds, "murkplay_seconds": self.murkplay_seconds,
                         "last_eval": self.last_eval},
        })
        return path

    def restore(self, saved: Saved) -> None:
        """Goes on from the checkpoint ``saved``; a fault in it changes nothing."""
        path, payload = saved.path, saved.payload
        if payload["network"] != self.config.network.to_dict():
            raise checkpoint.fault(path, f"'network' {payload['network']!r} is not the run's network "
                                         f"{self.config.network.to_dict()!r}")
        weights = self.network.state_dict()
        checkpoint.tensors(path, payload["model"], weights, "'model'")
        checkpoint.value(path, payload["pool"], list, "'pool'")
        for number, snapshot in enumerate(payload["pool"]):
            checkpoint.tensors(path, snapshot, weights, f"'pool'[{number}]")
        moments = self._optimizer_state(path, payload["optimizer"])
        games = self._games(path, payload["batch"])
        streams = self._streams(path, payload["rng"])
        progress = payload["progress"]
        checkpoint.keys(path, progress, set(_PROGRESS), "'progress'")
        for key, kind in _PROGRESS.items():
            checkpoint.value(path, progress[key], kind, f"'progress'[{key!r}]", low=None if key == "last_eval" else 0)

        self.network.load_state_dict(payload["model"])
        self.optimizer.load_state_dict({"state": moments, "param_groups": self.optimizer.state_dict()["param_groups"]})
        self.pool = list(payload["pool"])[-self.config.pool_size:]
        if games is not None:
            self.selfplay.restore(games)
        torch.set_rng_state(streams[0])
        self.shuffling.set_state(streams[1])
        self.rng = streams[2]
        self.updates, self.samples, self.plies = progress["updates"], progress["samples"], progress["plies"]
        self.seconds, self.murkplay_seconds = float(progress["seconds"]), float(progress["murkplay_seconds"])
        self.last_eval = float(progress["last_eval"])

    def _optimizer_state(self, path, saved) -> dict:
        """Adam's moments of every parameter, checked against the parameters' shapes. Its
        hyperparameters are the run's settings', and its rate is set afresh every update."""
        checkpoint.value(path, saved, dict, "'optimizer'")
        state = saved.get("state")
        checkpoint.value(path, state, dict, "'optimizer'['state']")
        parameters = list(self.network.parameters())
        for index, moments in state.items():
            if isinstance(index, bool) or not isinstance(index, int) or not 0 <= index < len(parameters):
                raise checkpoint.fault(path, f"'optimizer' holds the state of a parameter {index!r} the network lacks")
            parameter = parameters[index].detach()
            checkpoint.tensors(path, moments, {"step": torch.tensor(0.0), "exp_avg": parameter,
                                               "exp_avg_sq": parameter}, f"'optimizer'['state'][{index}]")
        return state

    def _games(self, path, payload):
        """The self-play batch of the checkpoint (None for a run on Ray actors, which keeps none)."""
        if not isinstance(self.selfplay, SelfPlay):
            return None
        if payload is None:
            raise checkpoint.fault(path, "'batch' holds no games: the run played on Ray actors "
                                         "(resume it with --actors)")
        games = checkpoint.batch(path, payload)
        config = self.config
        if (len(games), games.max_plies, games.auto_reset) != (config.games, config.max_plies, True):
            raise checkpoint.fault(path, f"'batch' holds {len(games)} games of at most {games.max_plies} plies, "
                                         f"where the run plays {config.games} of at most {config.max_plies}")
        games.threads = config.threads
        return games

    @staticmethod
    def _streams(path, saved) -> tuple:
        """torch's global stream, the minibatch shuffling's, and numpy's opponent draws."""
        checkpoint.keys(path, saved, {"torch", "shuffling", "numpy"}, "'rng'")
        for key, fresh in (("torch", torch.get_rng_state()), ("shuffling", torch.Generator().get_state())):
            checkpoint.tensors(path, {key: saved[key]}, {key: fresh}, "'rng'")
        rng = np.random.default_rng()
        try:
            rng.bit_generator.state = json.loads(checkpoint.value(path, saved["numpy"], str, "'rng'['numpy']"))
        except (ValueError, TypeError, KeyError):
            raise checkpoint.fault(path, "'rng'['numpy'] is not the state of numpy's generator") from None
        try:
            torch.Generator().set_state(saved["torch"])
            torch.Generator().set_state(saved["shuffling"])
        except RuntimeError:
            raise checkpoint.fault(path, "'rng' holds a state no torch generator takes") from None
        return saved["torch"], saved["shuffling"], rng
