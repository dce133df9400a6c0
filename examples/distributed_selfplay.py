"""Fog-of-war self-play on Ray actors, written to a Parquet dataset.

Each actor steps a batch of games with its own copy of a small torch policy (random weights,
masked to the legal slots, sampled). The driver puts the weights in Ray's object store once per
version, hands out tasks of games to whichever actor is free, and writes the finished games in
complete shards. With ``--learn-plies N`` it also replays N plies of every returned task and takes
one policy-gradient step on them, so later tasks play with a new version of the weights.

    python examples/distributed_selfplay.py --actors 2 --batch 64 --games 1024 --out build/selfplay

On one machine this starts a local Ray instance; ``--address auto`` (or ray://host:10001) joins
a running cluster, whose nodes must have murkplay, torch and Ray installed. Ctrl-C stops the run
and keeps every game already returned, in complete shards.
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import time

from murkplay_rl._optional import require
from murkplay_rl.dataset import RecordWriter, replay_records
from murkplay_rl.policy import log_probs, policy_network
from murkplay_rl.selfplay_ray import run_selfplay, start_actors, start_local_ray

# The speed figures replay at most this many plies, so the summary's memory stays small.
REPLAY_SAMPLE_PLIES = 20_000


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--actors", type=int, default=2, help="Ray actors, one CPU each (default 2)")
    parser.add_argument("--batch", type=int, default=64, help="games each actor steps together (default 64)")
    parser.add_argument("--games-per-task", type=int, default=0,
                        help="games an actor plays per task (default: twice the batch)")
    parser.add_argument("--games", type=int, default=1024, help="games in all (default 1024)")
    parser.add_argument("--max-plies", type=int, default=300, help="ply limit per game (default 300)")
    parser.add_argument("--hidden", type=int, default=256, help="width of the policy's hidden layers (default 256)")
    parser.add_argument("--out", default="build/selfplay", help="dataset directory (default build/selfplay)")
    parser.add_argument("--append", action="store_true",
                        help="add to the shards already in --out (default: refuse a directory that holds some)")
    parser.add_argument("--shard-games", type=int, default=4096, help="games per Parquet shard (default 4096)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the weights and of every task's sampling")
    parser.add_argument("--learn-plies", type=int, default=0,
                        help="plies of each task to learn from before the next version (default 0: no learning)")
    parser.add_argument("--address", default=None, help="Ray cluster to join (default: start a local instance)")
    args = parser.parse_args(argv)
    args.games_per_task = args.games_per_task or 2 * args.batch
    if min(args.actors, args.batch, args.games, args.games_per_task, args.max_plies, args.shard_games) < 1:
        parser.error("--actors, --batch, --games, --games-per-task, --max-plies and --shard-games must be at least 1")
    return args


class Learner:
    """One REINFORCE step per task: the log-probability of each move played, weighted by the
    game's outcome for its mover, on plies replayed from the task's records."""

    def __init__(self, network, plies: int, seed: int):
        import torch

        self.network = network
        self.plies = plies
        self.rng = random.Random(seed)
        self.optimizer = torch.optim.Adam(network.parameters(), lr=1e-4)

    def __call__(self, records) -> bool:
        import torch

        chosen, plies = [], 0
        for record in self.rng.sample(records, len(records)):
            if plies >= self.plies:
                break
            chosen.append(record)
            plies += record.plies
        replay = replay_records(chosen)
        logits = self.network(torch.from_numpy(replay.observation))
        scores = log_probs(logits, torch.from_numpy(replay.mask))
        played = scores.gather(1, torch.from_numpy(replay.slot)[:, None])[:, 0]
        loss = -(torch.from_numpy(replay.outcome) * played).mean()
        self.optimizer.zero_grad()
        loss.backward()
        self.optimizer.step()
        return True


class Progress:
    """A tqdm bar of games with the plies per second so far, the results for the summary, and
    the first records of this run, which the summary replays."""

    def __init__(self, total: int):
        tqdm = require("tqdm", "ray", "the progress bar of distributed_selfplay.py").tqdm

        self.bar = tqdm(total=total, unit="game", smoothing=0.1)
        self.started = time.perf_counter()
        self.plies = 0
        self.results = {"White won": 0, "Black won": 0, "unfinished": 0}
        self.sample = []

    def __call__(self, played) -> None:
        for record in played.records:
            if self.plies < REPLAY_SAMPLE_PLIES:
                self.sample.append(record)
            self.plies += record.plies
            self.results["White won" if record.result > 0 else "Black won" if record.result < 0 else "unfinished"] += 1
        self.bar.update(len(played.records))
        self.bar.set_postfix_str(f"{self.plies / (time.perf_counter() - self.started):,.0f} plies/s")


def speed_section(summary, writer, sample, args) -> list[str]:
    """Throughput of the run, of one actor, of replaying this run's first games, and the bytes per
    ply of this run's shards."""
    plies = sum(record.plies for record in sample)
    started = time.perf_counter()
    replay_records(sample)
    replay_rate = plies / (time.perf_counter() - started)
    actor_rate = summary.plies / sum(summary.actor_seconds)
    run_rate = summary.plies / summary.seconds
    size = sum(os.path.getsize(path) for path in writer.shards)
    return [
        f"  run:             {run_rate:,.0f} plies/s on {args.actors} actor(s)",
        f"  one actor:       {actor_rate:,.0f} plies/s while playing, by its own clock",
        f"  actors at work:  {run_rate / actor_rate:.2f} of {args.actors} (the run's rate over one actor's)",
        f"  replay:          {replay_rate:,.0f} plies/s over this run's first {plies:,} plies, "
        f"{replay_rate / actor_rate:.1f}x one actor's self-play per ply",
        f"  dataset:         {size / writer.written_plies:.2f} bytes per ply ({size:,} bytes in this run's shards)",
    ]


def main(argv: list[str] | None = None) -> int:
    args = parse_arguments(argv)
    ray = require("ray", "ray", "distributed_selfplay.py")
    torch = require("torch", "ray", "distributed_selfplay.py")
    try:
        # Refused before Ray starts: a directory of another run's shards would mix its games in.
        writer = RecordWriter(args.out, shard_games=args.shard_games, append=args.append)
    except FileExistsError as error:
        print(f"{error} (--append)", file=sys.stderr)
        return 2

    torch.manual_seed(args.seed)
    torch.set_num_threads(1)
    network = policy_network(args.hidden)
    learner = Learner(network, args.learn_plies, args.seed) if args.learn_plies else None
    if args.address:
        ray.init(address=args.address)
    else:
        start_local_ray()
    cpus = int(ray.cluster_resources().get("CPU", 0))
    if args.actors > cpus:
        # Each actor holds one CPU, so the rest would wait for ever to be placed.
        print(f"--actors {args.actors}: the Ray cluster has {cpus} CPU(s), one for each actor", file=sys.stderr)
        return 2
    actors = start_actors(args.actors, batch=args.batch, max_plies=args.max_plies, hidden=args.hidden)
    progress = Progress(args.games)

    def on_result(played) -> bool:
        progress(played)
        return learner(played.records) if learner else False

    try:
        with writer:
            summary = run_selfplay(actors, network, writer, games=args.games, games_per_task=args.games_per_task,
                                   seed=args.seed, on_result=on_result)
    except KeyboardInterrupt:
        progress.bar.close()
        print(f"\ninterrupted: {writer.written_games} games ({writer.written_plies} plies) kept in "
              f"{len(writer.shards)} complete shard(s) in {args.out}", file=sys.stderr)
        return 130
    progress.bar.close()

    print()
    print(f"games:      {summary.games} on {args.actors} actor(s), batches of {args.batch}, "
          f"{args.games_per_task} per task, {summary.versions} policy version(s)")
    print(f"plies:      {summary.plies:,} in {summary.seconds:.2f} s, mean game {summary.plies / summary.games:.1f}")
    for outcome, count in progress.results.items():
        print(f"{outcome + ':':<11} {count}")
    print(f"written:    {len(writer.shards)} shard(s) in {args.out}")
    print("speed:")
    print("\n".join(speed_section(summary, writer, progress.sample, args)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
