"""Self-play on Ray actors against the same loop in this process, and replay against self-play.

    python bench/ray_selfplay.py [--rounds 5] [--batch 64] [--games 128] [--tasks 4] [--max-plies 300] [--hidden 256]

Needs torch, Ray and pyarrow (``pip install .[ray] torch``). Progress goes to stderr and a
Markdown table to stdout. Each round:

- plays one task of ``--games`` games in this process and the same task (same seed and weights,
  so the same games, which is checked) on one actor, in alternating order;
- runs the driver loop ``run_selfplay`` over ``--tasks`` such tasks on one actor and then the
  same tasks on two actors, writing the records to Parquet shards as the example does;
- replays the in-process task's records twice.

These workloads span processes, so they are timed by the wall clock (for a task, from submitting
it to holding its records); every figure is a median over the rounds and every ratio the median
of the per-round ratios. "per player" is the rate each task's worker measured over its own play
loop, so players that are each slower side by side than alone are held back by the machine, not
by Ray; "cores busy" is the CPU time of the players' processes over the wall time: below 1 per
player, the machine's other work took the rest.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time

TARGETS = {"two_actors": 1.6, "one_actor": 0.85, "replay": 5.0, "replay_fresh": 5.0}
LABELS = {
    "here": "one task in this process",
    "one_actor": "the same task on 1 actor",
    "run_one": "driver loop, 1 actor",
    "run_two": "driver loop, 2 actors",
    "replay": "replay of the in-process task's records into arrays kept from call to call",
    "replay_fresh": "the same replay into new arrays",
}


def progress(message: str) -> None:
    print(f"[bench {time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def plies_of(records) -> int:
    return sum(record.plies for record in records)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--batch", type=int, default=64, help="games each worker steps together")
    parser.add_argument("--games", type=int, default=128, help="games per task")
    parser.add_argument("--tasks", type=int, default=4, help="tasks of each driver loop")
    parser.add_argument("--max-plies", type=int, default=300)
    parser.add_argument("--hidden", type=int, default=256)
    args = parser.parse_args(argv)

    import ray
    import torch

    from murkplay_rl.dataset import RecordWriter, replay_records
    from murkplay_rl.policy import policy_network
    from murkplay_rl.selfplay_ray import (
        SelfPlayWorker, run_selfplay, start_actors, task_seed, weights_of)

    load = os.getloadavg()[0]
    worker_options = {"batch": args.batch, "max_plies": args.max_plies, "hidden": args.hidden}
    torch.manual_seed(0)
    network = policy_network(args.hidden)
    weights = weights_of(network)
    progress("starting Ray and two actors")
    ray.init(num_cpus=2, include_dashboard=False)
    actors = start_actors(2, **worker_options)
    shared = ray.put(weights)
    here = SelfPlayWorker(**worker_options)
    ray.get([actor.play.remote(shared, 0, 0, 1) for actor in actors])
    here.play(weights, 0, 0, 1)

    rates = {name: [] for name in LABELS}
    own = {name: [] for name in ("here", "one_actor", "run_one", "run_two")}
    cores = {name: [] for name in own}
    bytes_per_ply = []

    def record(name, seconds, played) -> None:
        rates[name].append(sum(plies_of(task.records) for task in played) / seconds)
        own[name].append(statistics.mean(plies_of(task.records) / task.seconds for task in played))
        cores[name].append(sum(task.cpu_seconds for task in played) / seconds)

    def driver_loop(name, count, seed) -> int:
        played = []
        with tempfile.TemporaryDirectory() as directory:
            with RecordWriter(directory) as writer:
                summary = run_selfplay(actors[:count], network, writer, games=args.tasks * args.games,
                                       games_per_task=args.games, seed=seed, on_result=played.append)
            bytes_per_ply.append(sum(os.path.getsize(path) for path in writer.shards) / writer.written_plies)
        record(name, summary.seconds, played)
        return summary.plies

    for round_number in range(args.rounds):
        progress(f"round {round_number + 1} of {args.rounds}")
        seed = 1000 + round_number
        tasks = {
            "here": lambda: here.play(weights, 0, task_seed(seed, 0), args.games),
            "one_actor": lambda: ray.get(actors[0].play.remote(shared, 0, task_seed(seed, 0), args.games)),
        }
        played = {}
        for name in tasks if round_number % 2 == 0 else reversed(tasks):
            started = time.perf_counter()
            played[name] = tasks[name]()
            record(name, time.perf_counter() - started, [played[name]])
        if played["here"].records != played["one_actor"].records:
            raise SystemExit("the actor played other games than this process from the same seed and weights")
        if driver_loop("run_one", 1, seed) != driver_loop("run_two", 2, seed):
            raise SystemExit("one actor and two played different games from the same seeds and weights")
        # A training loop keeps its arrays from batch to batch; new arrays cost the kernel fresh
        # pages on top of the replay itself.
        records = played["here"].records
        kept = replay_records(records)
        for name, out in (("replay", kept), ("replay_fresh", None)):
            started = time.perf_counter()
            replay_records(records, out=out)
            rates[name].append(plies_of(records) / (time.perf_counter() - started))
    ray.shutdown()

    def ratio(numerator, denominator):
        return statistics.median(a / b for a, b in zip(rates[numerator], rates[denominator]))

    ratios = {
        "two_actors": ("driver loop: 2 actors / 1 actor, plies/s", ratio("run_two", "run_one")),
        "one_actor": ("1 actor / the same task in this process, plies/s", ratio("one_actor", "here")),
        "replay": ("replay into kept arrays / self-play in this process, per ply", ratio("replay", "here")),
        "replay_fresh": ("replay into new arrays / self-play in this process, per ply", ratio("replay_fresh", "here")),
    }
    print(f"Machine: {os.cpu_count()} cores, load average {load:.2f} at the start; {args.rounds} rounds; tasks of "
          f"{args.games} games on batches of {args.batch}, at most {args.max_plies} plies, hidden layers of "
          f"{args.hidden}, driver loops of {args.tasks} tasks; torch {torch.__version__}, Ray {ray.__version__}, "
          f"one torch thread per player.")
    print()
    print("| workload | plies/s | per player, by its own clock | cores busy |")
    print("|---|---:|---:|---:|")
    for name, label in LABELS.items():
        player = f"{statistics.median(own[name]):,.0f}" if name in own else ""
        busy = f"{statistics.median(cores[name]):.2f}" if name in cores else ""
        print(f"| {label} | {statistics.median(rates[name]):,.0f} | {player} | {busy} |")
    print()
    print("| ratio | value | target | |")
    print("|---|---:|---|---|")
    for key, (label, value) in ratios.items():
        verdict = "met" if value >= TARGETS[key] else "**missed**"
        print(f"| {label} | {value:.2f}× | ≥ {TARGETS[key]}× | {verdict} |")
    print(f"| dataset bytes per ply (Parquet, zstd) | {statistics.median(bytes_per_ply):.2f} | | |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
