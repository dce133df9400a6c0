"""Self-play training with PPO: ``python -m murkplay_rl.train --minutes 30 --out build/runs/first``.

The learner plays both colours of a GameBatch, against itself and against snapshots of its own
past weights, and learns from its own turns with PPO (see ``murkplay_rl.ppo``). The run
directory holds ``config.json``, numbered checkpoints (``--resume RUN`` goes on from the latest,
and with the same seed and thread counts writes the same next checkpoint bit for bit),
``log.csv`` (one row per update), ``evaluations.csv`` (scores against the built-in agents at
intervals of training time), ``learning_curve.png`` and, when tensorboard is installed,
``tensorboard/``.

Imports torch: import this module only where torch is wanted.
"""

from __future__ import annotations

import argparse
import copy
import csv
import json
import sys
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path

import numpy as np
import torch

from murkplay_rl.network import NetworkConfig, PolicyValueNet
from murkplay_rl.ppo import PPOConfig, learning_rate, update
from murkplay_rl.rollout import SelfPlay

BASELINES = ("random", "greedy", "cautious")


@dataclass(frozen=True)
class TrainConfig:
    seed: int = 0
    games: int = 64  # games stepped together
    steps: int = 16  # steps of every game per rollout: small rollouts, many updates
    max_plies: int = 150  # a game reaching it ends unfinished, worth nothing to either side
    opponent_share: float = 0.5  # games against a past snapshot; the rest against itself
    pool_size: int = 16  # snapshots kept
    snapshot_every: int = 40  # updates between snapshots
    checkpoint_every: int = 50  # updates between checkpoints
    eval_every: float = 150.0  # seconds of training between evaluations
    eval_games: int = 500  # games against each baseline, colours alternating
    eval_opponents: tuple[str, ...] = BASELINES
    eval_max_plies: int = 300  # a game still going then counts half a point
    threads: int = 1  # torch's threads and the batch's native threads
    device: str = "cpu"
    network: NetworkConfig = field(default_factory=NetworkConfig)
    ppo: PPOConfig = field(default_factory=PPOConfig)

    def to_dict(self) -> dict:
        return asdict(self)

    @classmethod
    def from_dict(cls, values: dict) -> TrainConfig:
        values = dict(values)
        values["network"] = NetworkConfig(**values.get("network", {}))
        values["ppo"] = PPOConfig(**values.get("ppo", {}))
        values["eval_opponents"] = tuple(values.get("eval_opponents", BASELINES))
        return cls(**values)


class Trainer:
    """One training run in one directory; ``run`` trains until a budget of training seconds."""

    def __init__(self, config: TrainConfig, out: Path, *, actors: int = 0, address: str | None = None):
        self.config = config
        self.out = Path(out)
        self.device = torch.device(config.device)
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
                                     seed=config.seed, threads=config.threads, device=config.device)
        self.shuffling = torch.Generator().manual_seed(config.seed + 1)
        self.rng = np.random.default_rng(config.seed)
        self.pool: list[dict] = []
        self.updates = 0
        self.samples = 0
        self.plies = 0
        self.seconds = 0.0  # of training: collection and updates, not evaluation
        self.murkplay_seconds = 0.0
        self.last_eval = -np.inf
        self.scores: dict[str, float] = {}

    # -- checkpoints ---------------------------------------------------------------------------

    def checkpoint_path(self, updates: int) -> Path:
        return self.out / "checkpoints" / f"checkpoint-{updates:06d}.pt"

    def save(self) -> Path:
        path = self.checkpoint_path(self.updates)
        path.parent.mkdir(parents=True, exist_ok=True)
        state = {
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
        }
        temporary = path.with_suffix(".tmp")
        torch.save(state, temporary)
        temporary.replace(path)
        return path

    def restore(self, path: Path) -> None:
        state = torch.load(path, map_location="cpu", weights_only=True)
        self.network.load_state_dict(state["model"])
        self.optimizer.load_state_dict(state["optimizer"])
        self.pool = state["pool"]
        self.selfplay.restore(state["batch"])
        torch.set_rng_state(state["rng"]["torch"])
        self.shuffling.set_state(state["rng"]["shuffling"])
        self.rng.bit_generator.state = json.loads(state["rng"]["numpy"])
        progress = state["progress"]
        self.updates, self.samples, self.plies = progress["updates"], progress["samples"], progress["plies"]
        self.seconds, self.murkplay_seconds = progress["seconds"], progress["murkplay_seconds"]
        self.last_eval = progress["last_eval"]

    @staticmethod
    def latest_checkpoint(run: Path) -> Path:
        found = sorted((Path(run) / "checkpoints").glob("checkpoint-*.pt"))
        if not found:
            raise FileNotFoundError(f"no checkpoint in {run}/checkpoints")
        return found[-1]

    # -- training ------------------------------------------------------------------------------

    def train_step(self) -> dict[str, float]:
        """One rollout and one PPO update on it."""
        config = self.config
        started = time.perf_counter()
        opponent = None
        if self.pool:
            self.opponent.load_state_dict(self.pool[int(self.rng.integers(len(self.pool)))])
            opponent = self.opponent
        self.network.eval()
        rollout = self.selfplay.collect(self.network, opponent, config.steps, gamma=config.ppo.gamma,
                                        lam=config.ppo.lam)
        collected = time.perf_counter()
        self.network.train()
        for group in self.optimizer.param_groups:
            group["lr"] = learning_rate(config.ppo, self.updates)
        stats = update(self.network, self.optimizer, rollout, config.ppo, self.shuffling, self.device)
        self.updates += 1
        if self.updates % config.snapshot_every == 0:
            self.pool.append({name: tensor.detach().clone() for name, tensor in self.network.state_dict().items()})
            del self.pool[:-config.pool_size]
        elapsed = time.perf_counter() - started
        self.seconds += elapsed
        self.samples += len(rollout.choice)
        self.plies += rollout.plies
        self.murkplay_seconds += self.selfplay.murkplay_seconds
        stats.update(
            updates=self.updates, samples=self.samples, plies=self.plies, seconds=self.seconds,
            samples_per_second=len(rollout.choice) / elapsed, collect_seconds=collected - started,
            update_seconds=elapsed - (collected - started), murkplay_share=self.murkplay_seconds / self.seconds,
            games=rollout.games, pool_win_rate=rollout.wins / max(rollout.wins + rollout.losses, 1),
        )
        return stats

    def evaluate(self) -> dict[str, tuple[float, float, float]]:
        """Scores against every baseline in the arena, with 95 % intervals."""
        from murkplay_rl import arena
        from murkplay_rl.agents import TorchAgent

        self.network.eval()
        learner = TorchAgent(self.network, name="learner", device=self.device)
        results = {}
        for name in self.config.eval_opponents:
            result = arena.match(learner, name, self.config.eval_games, max_plies=self.config.eval_max_plies,
                                 threads=self.config.threads, seed=self.config.seed + 7919)
            results[name] = (result.score, *result.interval)
        self.scores = {name: result[0] for name, result in results.items()}
        return results


def _add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--minutes", type=float, required=True, help="training time, evaluation not counted")
    parser.add_argument("--updates", type=int, help="stop after this many updates in all, if sooner")
    parser.add_argument("--out", type=Path, required=True, help="the run directory")
    parser.add_argument("--resume", type=Path, help="go on from the latest checkpoint of this run directory")
    parser.add_argument("--device", help="torch device (default cpu; cuda where torch sees a GPU)")
    parser.add_argument("--seed", type=int)
    parser.add_argument("--threads", type=int, help="torch threads and the batch's native threads")
    parser.add_argument("--actors", type=int, default=0, help="play on this many Ray actors")
    parser.add_argument("--address", help="the Ray cluster to join (default: a local instance)")
    parser.add_argument("--set", action="append", default=[], metavar="NAME=VALUE",
                        help="any other setting of TrainConfig, e.g. games=128, ppo.epochs=3, network.channels=16")


def _config_from(args: argparse.Namespace) -> TrainConfig:
    values = TrainConfig().to_dict()
    if args.resume is not None:
        values = json.loads((args.resume / "config.json").read_text())
    for option in ("seed", "threads", "device"):
        if getattr(args, option) is not None:
            values[option] = getattr(args, option)
    for setting in args.set:
        name, _, text = setting.partition("=")
        *path, leaf = name.split(".")
        target = values
        for part in path:
            target = target[part]
        if leaf not in target:
            raise SystemExit(f"--set: no setting named {name}")
        target[leaf] = type(target[leaf])(json.loads(text)) if not isinstance(target[leaf], str) else text
    return TrainConfig.from_dict(values)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    _add_arguments(parser)
    args = parser.parse_args(argv)
    config = _config_from(args)
    if args.actors < 0:
        parser.error("--actors must be at least 0")
    trainer = Trainer(config, args.out, actors=args.actors, address=args.address)
    if args.resume is not None:
        trainer.restore(Trainer.latest_checkpoint(args.resume))
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "config.json").write_text(json.dumps(config.to_dict(), indent=2) + "\n")
    run(trainer, seconds=args.minutes * 60, updates=args.updates)
    return 0


def run(trainer: Trainer, *, seconds: float, updates: int | None = None) -> None:
    """Trains until ``seconds`` of training time (or ``updates`` updates in all), evaluating at
    the configured intervals and at the end, and saves the last checkpoint."""
    from murkplay_rl.run_log import RunLog

    config = trainer.config

    def evaluate() -> None:
        trainer.last_eval = trainer.seconds
        log.evaluation(trainer, trainer.evaluate())

    with RunLog(trainer.out, budget=seconds) as log:
        while trainer.seconds < seconds and (updates is None or trainer.updates < updates):
            if trainer.seconds - trainer.last_eval >= config.eval_every:
                evaluate()
            log.update(trainer.train_step())
            if trainer.updates % config.checkpoint_every == 0:
                trainer.save()
        if trainer.last_eval < trainer.seconds:
            evaluate()
        trainer.save()


if __name__ == "__main__":
    sys.exit(main())
