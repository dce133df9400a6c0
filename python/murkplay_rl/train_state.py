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
from murkplay_rl.train_config import TrainConfig, check_actors

BEST = "best.pt"  # the network of the best evaluation of a run, in its directory
SNAPSHOTS = "snapshots"  # the pool's entry of the learner's past snapshots
_WEIGHT_FLOOR = 0.05  # of the mean weight, added to every entry's
_SCORE_RATE = 0.02  # how far one game moves the learner's estimated score against an entry
_PROGRESS = {"updates": int, "samples": int, "plies": int, "seconds": float, "murkplay_seconds": float,
             "last_eval": float, "best_score": float}


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
            check_actors(config)
            from murkplay_rl.remote_rollout import RaySelfPlay

            self.selfplay = RaySelfPlay(config, actors, address=address, device=config.device)
        else:
            self.selfplay = SelfPlay(config.games, max_plies=config.max_plies, opponent_share=config.opponent_share,
                                     seed=config.seed, threads=config.threads, device=config.device,
                                     observation=config.observation,
                                     foresight=config.network if config.network.foresight else None)
        self.shuffling = torch.Generator().manual_seed(config.seed + 1)
        self.rng = np.random.default_rng(config.seed)
        self.pool: list[dict] = []
        self.scores: dict[str, float] = {}  # the learner's estimated score against each entry of the pool
        self.updates = 0
        self.samples = 0
        self.plies = 0
        self.seconds = 0.0  # of training: collection and updates, not evaluation
        self.murkplay_seconds = 0.0
        self.last_eval = -np.inf
        self.best_score = -np.inf  # the best mean score of an evaluation so far
        self.best: dict = {}  # the weights that scored it, kept as best.pt in the run directory

    def entries(self) -> list[str]:
        """The opponents' pool: the named agents, and the learner's snapshots once there are any."""
        return list(self.config.opponents) + [SNAPSHOTS] * bool(self.pool)

    def pick_opponent(self) -> tuple[str | None, object]:
        """An entry of the pool and the opponent it names for one rollout: a built-in agent's
        name, or the network holding a snapshot drawn evenly from the pool; (None, None) when
        the pool is empty. An entry is drawn with weight (1 - score) ** ``opponent_power`` plus
        a floor, so that the learner meets most often what it still loses to, and now and then
        what it has learnt to beat."""
        entries = self.entries()
        if not entries or not isinstance(self.selfplay, SelfPlay):  # games on Ray actors are self-play
            return None, None
        weight = np.array([(1 - self.scores.get(name, 0.5)) ** self.config.opponent_power for name in entries])
        weight = weight + _WEIGHT_FLOOR * weight.sum() / len(entries) + 1e-12
        entry = entries[int(self.rng.choice(len(entries), p=weight / weight.sum()))]
        if entry != SNAPSHOTS:
            return entry, entry
        self.opponent.load_state_dict(self.pool[int(self.rng.integers(len(self.pool)))])
        return entry, self.opponent

    def count(self, rollout: Rollout, seconds: float, entry: str | None = None) -> None:
        """Counts an update on ``rollout``, played against the pool's ``entry``."""
        self.updates += 1
        self.samples += rollout.samples
        self.plies += rollout.plies
        self.seconds += seconds
        self.murkplay_seconds += self.selfplay.murkplay_seconds
        games = rollout.wins + rollout.losses + rollout.draws
        if entry is not None and games:
            score = (rollout.wins + 0.5 * rollout.draws) / games
            kept = (1 - _SCORE_RATE) ** games  # each game moves the estimate by the rate
            self.scores[entry] = kept * self.scores.get(entry, 0.5) + (1 - kept) * score

    def snapshot(self) -> None:
        self.pool.append({name: tensor.detach().clone() for name, tensor in self.network.state_dict().items()})
        del self.pool[:-self.config.pool_size]

    def evaluated(self, run, score: float) -> bool:
        """Keeps the network as ``best.pt`` of the run directory when ``score``, an evaluation's
        mean, is the best so far; says whether it was."""
        if not score > self.best_score:
            return False
        self.best_score = score
        self.best = {name: tensor.detach().clone() for name, tensor in self.network.state_dict().items()}
        self.write_best(run)
        return True

    def write_best(self, run) -> None:
        if self.best:
            checkpoint.write(Path(run) / BEST, {"network": self.config.network.to_dict(), "model": self.best})

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
            "scores": dict(self.scores),
            "best": self.best,
            "batch": self.selfplay.state(),
            "rng": {
                "torch": torch.get_rng_state(),
                "shuffling": self.shuffling.get_state(),
                "numpy": json.dumps(self.rng.bit_generator.state),
            },
            "progress": {"updates": self.updates, "samples": self.samples, "plies": self.plies,
                         "seconds": self.seconds, "murkplay_seconds": self.murkplay_seconds,
                         "last_eval": self.last_eval, "best_score": self.best_score},
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
        scores = self._scores(path, payload["scores"])
        moments = self._optimizer_state(path, payload["optimizer"])
        games = self._games(path, payload["batch"])
        streams = self._streams(path, payload["rng"])
        progress = payload["progress"]
        checkpoint.keys(path, progress, set(_PROGRESS), "'progress'")
        for key, kind in _PROGRESS.items():
            checkpoint.value(path, progress[key], kind, f"'progress'[{key!r}]",
                             low=None if key in ("last_eval", "best_score") else 0)
        # The best network so far, once an evaluation has scored one.
        checkpoint.tensors(path, payload["best"], weights if progress["best_score"] > -np.inf else {}, "'best'")

        self.network.load_state_dict(payload["model"])
        self.optimizer.load_state_dict({"state": moments, "param_groups": self.optimizer.state_dict()["param_groups"]})
        self.pool = list(payload["pool"])[-self.config.pool_size:]
        self.scores = scores
        self.best = dict(payload["best"])
        if games is not None:
            self.selfplay.restore(games)
        torch.set_rng_state(streams[0])
        self.shuffling.set_state(streams[1])
        self.rng = streams[2]
        self.updates, self.samples, self.plies = progress["updates"], progress["samples"], progress["plies"]
        self.seconds, self.murkplay_seconds = float(progress["seconds"]), float(progress["murkplay_seconds"])
        self.last_eval = float(progress["last_eval"])
        self.best_score = float(progress["best_score"])

    def _scores(self, path, saved) -> dict[str, float]:
        """The learner's estimated scores against entries of the pool, each from 0 to 1."""
        checkpoint.value(path, saved, dict, "'scores'")
        known = set(self.config.opponents) | {SNAPSHOTS}
        for name, score in saved.items():
            if name not in known:
                raise checkpoint.fault(path, f"'scores' names {name!r}, which is no opponent of the run")
            checkpoint.value(path, score, float, f"'scores'[{name!r}]", low=0.0)
            if score > 1:
                raise checkpoint.fault(path, f"'scores'[{name!r}] must be at most 1, not {score}")
        return {name: float(score) for name, score in saved.items()}

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
