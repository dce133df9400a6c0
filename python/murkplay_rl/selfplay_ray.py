"""Self-play spread over Ray actors, each stepping a GameBatch with its own copy of a small torch
policy, and a driver loop that broadcasts the weights and writes the finished games.

torch and Ray (the extra ``murkplay[ray]``) are imported by the calls that need them, so a Ray
worker process pays for them once, when its actor starts. ``SelfPlayWorker`` is a plain class:
the same object plays in-process, which is how it is tested and measured against its actors.
"""

from __future__ import annotations

import math
import os
import time
from dataclasses import dataclass, field
from typing import Callable, NamedTuple

import murkplay_rl
from murkplay_rl._checks import MAX_PLIES, integer
from murkplay_rl._optional import require
from murkplay_rl.dataset import START_FEN, GameRecord, GameRecorder, RecordWriter


def weights_of(network) -> dict:
    """The network's weights as numpy arrays, which Ray's object store hands to every actor on
    the machine without a copy."""
    return {name: tensor.detach().cpu().numpy().copy() for name, tensor in network.state_dict().items()}


def task_seed(seed: int, task: int) -> int:
    """The sampling seed of one task of a run: independent streams for every (seed, task) pair,
    within the int64 column of the dataset."""
    import numpy as np

    return int(np.random.SeedSequence([seed, task]).generate_state(1, np.uint64)[0] >> 1)


class Played(NamedTuple):
    records: list[GameRecord]
    seconds: float  # wall time of the play loop, on the worker
    cpu_seconds: float  # CPU time of the worker process in that loop: less than seconds when cores are short


class SelfPlayWorker:
    """Plays games with a policy network on a batch of ``batch`` games stepped together.

    ``play`` returns exactly the games it was asked for, each played from its start to its end
    (a captured king, ``max_plies``, or no legal move) by one version of the weights and one
    sampling stream, so a task that Ray runs again after its actor died returns the same records.
    """

    def __init__(self, batch: int = 32, *, max_plies: int = 300, hidden: int = 256, fen: str | None = None,
                 torch_threads: int = 1, network: Callable | None = None):
        # A task's games are played whole, so each needs an end.
        max_plies = integer("max_plies", max_plies, 1, MAX_PLIES)
        torch_threads = integer("torch_threads", torch_threads, 1)
        torch = require("torch", "ray", "SelfPlayWorker")

        from murkplay_rl.policy import policy_network

        # Actors are the parallelism; torch's own threads would only compete with them for cores.
        torch.set_num_threads(torch_threads)
        self.start = fen or START_FEN
        self.games = murkplay_rl.GameBatch(batch, fen=fen, max_plies=max_plies, auto_reset=True)
        # ``network`` builds another module of observations to logits (the trainer's); it must pickle.
        self.network = (network() if network is not None else policy_network(hidden)).eval()

    def play(self, weights: dict, version: int, seed: int, games: int) -> Played:
        import numpy as np
        import torch

        from murkplay_rl.policy import sample_slots

        # Loaded every task: a version number alone cannot tell two drivers' weights apart, and
        # the copy costs a few milliseconds against a task's seconds.
        self.network.load_state_dict({name: torch.tensor(array) for name, array in weights.items()})
        started_at, cpu_started_at = time.perf_counter(), time.process_time()
        batch = self.games
        rows = len(batch)
        generator = torch.Generator().manual_seed(seed)
        recorder = GameRecorder(batch, start=self.start, seed=seed, policy_version=version)
        owed = np.arange(rows) < games  # rows whose current game is one of this task's
        started = int(owed.sum())
        actions = np.zeros(rows, np.int64)
        batch.reset()
        step = batch.observe()
        with torch.inference_mode():
            while owed.any():
                # A game that restarts at this step has its action ignored.
                chosen = np.flatnonzero(owed & ~step.restarting)
                if len(chosen):
                    logits = self.network(torch.from_numpy(step.observation[chosen]))
                    logits.masked_fill_(~torch.from_numpy(step.mask[chosen]), -math.inf)
                    actions[chosen] = sample_slots(logits, generator).numpy()
                # Games beyond the task's count keep the batch's shape with their first legal move.
                idle = np.flatnonzero(~owed & ~step.restarting)
                actions[idle] = step.slots[step.offsets[idle]]
                step = batch.step(actions, by="slot")
                recorder.record(step, games=owed)
                for row in np.flatnonzero(step.restarting & owed):
                    if started < games:
                        started += 1
                    else:
                        owed[row] = False
        return Played(recorder.records, time.perf_counter() - started_at, time.process_time() - cpu_started_at)


def start_local_ray(**options) -> None:
    """Starts a Ray of this machine alone with every server it runs (GCS, raylets, workers)
    listening on the loopback (127.0.0.1) only, out of the network's reach; ``options`` go to
    ``ray.init``. Child processes inherit the setting through the environment."""
    os.environ["RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER"] = "0"
    import ray
    from ray._private import ray_constants

    # Ray reads the variable once, when first imported, which may have been before now; on Linux
    # "no cluster" is what keeps its addresses on the loopback instead of the machine's own.
    ray_constants.ENABLE_RAY_CLUSTER = False
    ray.init(include_dashboard=False, **options)


LOOPBACK = "127.0.0.1"


def start_actors(count: int, *, max_restarts: int = 3, max_task_retries: int = 3, **worker_options) -> list:
    """``count`` Ray actors, one CPU each, that Ray restarts when one dies, running the task it
    was in again (``max_task_retries``); ``worker_options`` go to ``SelfPlayWorker``. Returns once
    every actor has started, so a run's clock counts play, not imports."""
    ray = require("ray", "ray", "start_actors()")

    remote = ray.remote(num_cpus=1, max_restarts=max_restarts, max_task_retries=max_task_retries)(SelfPlayWorker)
    actors = [remote.remote(**worker_options) for _ in range(count)]
    ray.get([actor.__ray_ready__.remote() for actor in actors])
    return actors


@dataclass
class RunSummary:
    games: int = 0
    plies: int = 0
    seconds: float = 0.0  # driver wall time from the first task to the last record written
    actor_seconds: list[float] = field(default_factory=list)  # play time of each task, as its actor measured it
    versions: int = 1


def run_selfplay(actors: list, network, writer: RecordWriter, *, games: int, games_per_task: int, seed: int = 0,
                 on_result: Callable[[Played], bool] | None = None) -> RunSummary:
    """Play ``games`` games on ``actors`` in tasks of ``games_per_task`` and write every record.

    Each task goes to whichever actor is free, with the weights of the latest version, put in the
    object store once per version. ``on_result`` is called after a task's records are written;
    it returns True when it changed ``network``'s weights, which become the next version. An
    actor's error reaches the caller as Ray raises it, with the worker's traceback.
    """
    games = integer("games", games, 1)
    games_per_task = integer("games_per_task", games_per_task, 1)
    ray = require("ray", "ray", "run_selfplay()")

    tasks = math.ceil(games / games_per_task)
    summary = RunSummary()
    version = 0
    weights = ray.put(weights_of(network))
    pending: dict = {}
    submitted = 0

    def submit(actor) -> None:
        nonlocal submitted
        count = min(games_per_task, games - submitted * games_per_task)
        pending[actor.play.remote(weights, version, task_seed(seed, submitted), count)] = actor
        submitted += 1

    started_at = time.perf_counter()
    for actor in actors[:tasks]:
        submit(actor)
    while pending:
        [done], _ = ray.wait(list(pending), num_returns=1)
        actor = pending.pop(done)
        played = ray.get(done)
        writer.write(played.records)
        summary.games += len(played.records)
        summary.plies += sum(record.plies for record in played.records)
        summary.actor_seconds.append(played.seconds)
        summary.seconds = time.perf_counter() - started_at
        if on_result is not None and on_result(played):
            version += 1
            weights = ray.put(weights_of(network))
            summary.versions += 1
        if submitted < tasks:
            submit(actor)
    return summary
