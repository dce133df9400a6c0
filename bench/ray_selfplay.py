"""Self-play on Ray actors against the same loop in this process, and replay against self-play.

    python bench/ray_selfplay.py [--rounds 5] [--batch 32] [--games 64] [--max-plies 300] [--hidden 256]

Needs torch, Ray and pyarrow (``pip install .[ray] torch``). Progress goes to stderr and a
Markdown table to stdout. Each round plays one task of ``--games`` games, with the same seed, in
this process and on one actor, then two such tasks at once on two actors, replays the records of
the first and writes them to a Parquet shard; the order of the first two alternates by round.
These workloads span processes, so they are timed by the wall clock, from submitting a task to
holding its records; every figure is a median over the rounds and every ratio the median of the
per-round ratios. "cores busy" is the CPU time of the players' processes over that wall time:
below 1 per player, the machine's other work took the rest.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time

TARGETS = {"two_actors": 1.6, "one_actor": 0.85, "replay": 5.0}


def progress(message: str) -> None:
    print(f"[bench {time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def plies_of(records) -> int:
    return sum(record.plies for record in records)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--batch", type=int, default=32, help="games each worker steps together")
    parser.add_argument("--games", type=int, default=64, help="games per task")
    parser.add_argument("--max-plies", type=int, default=300)
    parser.add_argument("--hidden", type=int, default=256)
    args = parser.parse_args(argv)

    import ray
    import torch

    from murkplay_rl.dataset import RecordWriter, replay_records
    from murkplay_rl.selfplay_ray import SelfPlayWorker, policy_network, start_actors, task_seed, weights_of

    load = os.getloadavg()[0]
    worker_options = {"batch": args.batch, "max_plies": args.max_plies, "hidden": args.hidden}
    torch.manual_seed(0)
    weights = weights_of(policy_network(args.hidden))
    progress("starting Ray and two actors")
    ray.init(num_cpus=2, include_dashboard=False)
    actors = start_actors(2, **worker_options)
    shared = ray.put(weights)
    here = SelfPlayWorker(**worker_options)
    ray.get([actor.play.remote(shared, 0, 0, 1) for actor in actors])
    here.play(weights, 0, 0, 1)

    def on_actors(count, seed):
        refs = [actor.play.remote(shared, 0, task_seed(seed, n), args.games) for n, actor in enumerate(actors[:count])]
        return ray.get(refs)

    rates = {name: [] for name in ("here", "one_actor", "two_actors", "replay", "replay_again")}
    cores = {name: [] for name in ("here", "one_actor", "two_actors")}
    bytes_per_ply = []
    for round_number in range(args.rounds):
        progress(f"round {round_number + 1} of {args.rounds}")
        seed = 1000 + round_number
        sides = {
            "here": lambda: [here.play(weights, 0, task_seed(seed, 0), args.games)],
            "one_actor": lambda: on_actors(1, seed),
            "two_actors": lambda: on_actors(2, seed),
        }
        order = ["here", "one_actor"] if round_number % 2 == 0 else ["one_actor", "here"]
        played = {}
        for name in order + ["two_actors"]:
            started = time.perf_counter()
            played[name] = sides[name]()
            seconds = time.perf_counter() - started
            rates[name].append(sum(plies_of(task.records) for task in played[name]) / seconds)
            cores[name].append(sum(task.cpu_seconds for task in played[name]) / seconds)
        records = played["here"][0].records
        if records != played["one_actor"][0].records:
            raise SystemExit("the actor played other games than this process from the same seed and weights")
        # The first replay of a round writes its arrays into freshly mapped memory, the second
        # into memory the first has just given back, as a training loop replaying batch after
        # batch does.
        for name in ("replay", "replay_again"):
            started = time.perf_counter()
            replay_records(records)
            rates[name].append(plies_of(records) / (time.perf_counter() - started))
        with tempfile.TemporaryDirectory() as directory:
            with RecordWriter(directory) as writer:
                writer.write(records)
            bytes_per_ply.append(sum(os.path.getsize(path) for path in writer.shards) / writer.written_plies)
    ray.shutdown()

    def ratio(numerator, denominator):
        return statistics.median(a / b for a, b in zip(rates[numerator], rates[denominator]))

    ratios = {
        "two_actors": ("2 actors / 1 actor, plies/s", ratio("two_actors", "one_actor")),
        "one_actor": ("1 actor / the same loop in this process, plies/s", ratio("one_actor", "here")),
        "replay": ("replay / self-play in this process, per ply", ratio("replay", "here")),
    }
    print(f"Machine: {os.cpu_count()} cores, load average {load:.2f} at the start; {args.rounds} rounds of "
          f"{args.games} games on batches of {args.batch}, at most {args.max_plies} plies, "
          f"hidden layers of {args.hidden}; torch {torch.__version__}, Ray {ray.__version__}, one torch thread "
          f"per player.")
    print()
    print("| workload | plies/s | cores busy |")
    print("|---|---:|---:|")
    for name, label in (("here", "self-play loop in this process"), ("one_actor", "1 actor"),
                        ("two_actors", "2 actors"), ("replay", "replay of the in-process records"),
                        ("replay_again", "the same replay again")):
        busy = f"{statistics.median(cores[name]):.2f}" if name in cores else ""
        print(f"| {label} | {statistics.median(rates[name]):,.0f} | {busy} |")
    print()
    print("| ratio | value | target | |")
    print("|---|---:|---|---|")
    for key, (label, value) in ratios.items():
        print(f"| {label} | {value:.2f}× | ≥ {TARGETS[key]}× | {'met' if value >= TARGETS[key] else '**missed**'} |")
    print(f"| dataset bytes per ply (Parquet, zstd) | {statistics.median(bytes_per_ply):.2f} | | |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
