"""The trainer's cost, its learning curve over seeds, and a trained agent's strength.

    python bench/learning.py [--rounds 5] [--threads 1] [--before REV] [--set NAME=VALUE ...]
    python bench/learning.py --seeds 0,1,2 [--minutes 30] [--threads 2] [--out build/runs/learning]
    python bench/learning.py --agent search [--network RUN/best.pt [--samples 16] [--deeper 0] [--king K]]
                             [--arena-games 500] [--opponents greedy,cautious,belief] [--agent-seed N]

Needs torch. Progress goes to stderr and Markdown tables to stdout; every table ends with the
machine's load average.

- Without ``--seeds`` or ``--agent``: rounds of the trainer's own loop at its default settings,
  collection and PPO update, timed apart: samples per second, the update's share of the time
  and murkplay's. ``--before REV`` times the trainer of the git revision REV too, in a child
  process of its own, round for round in alternating order, so the ratio of the two is measured
  side by side under the same load; ``--set`` times this trainer with those settings beside it so.
- ``--seeds``: the documented training run (``DOCUMENTED``) once per seed, one after the other,
  each in ``OUT/seed-N`` (a run already there is gone on with, or kept when finished), its last
  network against ``FINAL`` (kept in ``OUT/seed-N/final.csv``), then every evaluation of every
  seed into ``docs/learning_curve.csv`` and the curve, mean and range over the seeds, into
  ``docs/learning_curve.png`` (``--curve DIR``: into DIR instead), and the targets met or
  missed. Seeds given to separate processes run side by side; a last ``--seeds 0,1,2`` then
  only gathers them.
- ``--agent``: an agent (an ``agents.load`` name or a checkpoint) plays ``--arena-games``
  games against each opponent, colours alternating, and its time per move on one thread.
  ``--agent-seed N`` seeds the belief and search agents' own streams: two of them play the same
  games at any arena seed, so a replicate needs another agent seed.
"""

from __future__ import annotations

import argparse
import csv
import json
import math
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"

# The documented run: the trainer's defaults with foresight, the rate and the entropy bonus
# falling over the run's 30 minutes, evaluated every five minutes against greedy and cautious,
# as the network learns: with its two-ply foresight. Once the run is over, its last network
# plays ``FINAL`` as the shipped network does, with ``foresight.SHIPPED``'s deeper look; the
# belief agent's games are slow (500 of them took over 12 minutes on the shared machine), so it
# plays that network only.
DOCUMENTED = ["--set", "network.foresight=1", "--set", "ppo.decay_minutes=30",
              "--set", "eval_opponents=greedy,cautious", "--set", "eval_every=300", "--set", "eval_games=500"]
FINAL = ("greedy", "cautious", "belief")
AS_SHIPPED = ", as shipped"  # the final evaluations' opponents are named so in the curve
TARGETS = {30: {"greedy": 0.97, "cautious": 0.92, "belief": 0.55}, 5: {"greedy": 0.80}}
FALL = 0.02  # the score at the end may lie this far below the run's best earlier one


def load_average() -> str:
    return f"load average {os.getloadavg()[0]:.2f} (1 min), {os.getloadavg()[2]:.2f} (15 min)"


# ------------------------------------------------------------------------- cost

# One round of the trainer in whatever tree is on sys.path: collection and update timed apart.
ROUND = """
import json, sys, time, torch
from murkplay_rl import ppo
from murkplay_rl.rollout import advantages
from murkplay_rl.train_config import TrainConfig
from murkplay_rl.train_state import TrainState
threads, updates = int(sys.argv[1]), int(sys.argv[2])
config = TrainConfig(threads=threads)
for setting in sys.argv[3:]:
    config = config.with_setting(*setting.split("=", 1))
state = TrainState(config)
config = state.config
def one():
    started = time.perf_counter()
    opponent = state.pick_opponent()
    opponent = opponent[1] if isinstance(opponent, tuple) else opponent
    state.network.eval()
    rollout = state.selfplay.collect(state.network, opponent, config.steps)
    collected = time.perf_counter()
    state.network.train()
    samples = ppo.Samples.of(rollout, advantages(rollout, config.ppo.gamma, config.ppo.lam))
    ppo.update(state.network, state.optimizer, samples, config.ppo, updates=state.updates,
               generator=state.shuffling, device=state.device)
    updated = time.perf_counter()
    state.updates += 1
    if state.updates % config.snapshot_every == 0:
        state.snapshot()
    return rollout.samples, collected - started, updated - collected, state.selfplay.murkplay_seconds
for _ in range(3):
    one()
totals = [sum(column) for column in zip(*(one() for _ in range(updates)))]
print(json.dumps(dict(zip(("samples", "collect", "update", "murkplay"), totals))))
"""


def _tree_of(revision: str, scratch: Path) -> Path:
    """The Python package of ``revision`` beside the installed native engine."""
    subprocess.run(f"git -C {ROOT} archive {revision} python/murkplay_rl | tar -x -C {scratch}", shell=True,
                   check=True)
    import murkplay_rl._native as native

    package = scratch / "python" / "murkplay_rl"
    (package / Path(native.__file__).name).symlink_to(native.__file__)
    return scratch / "python"


def _round(tree: Path | None, threads: int, updates: int, settings: list[str]) -> dict:
    environment = dict(os.environ, PYTHONPATH=str(tree)) if tree else None
    done = subprocess.run([sys.executable, "-c", ROUND, str(threads), str(updates), *settings], env=environment,
                          check=True, capture_output=True, text=True)
    return json.loads(done.stdout.splitlines()[-1])


def cost(args) -> None:
    """This trainer at its defaults beside the trainer of ``--before`` or this one with the
    ``--set`` settings, in alternating order."""
    trees = {"now": (None, [])}
    settings = args.set[1::2]  # the values of the --set pairs
    with tempfile.TemporaryDirectory() as scratch:
        if args.before:
            trees[args.before] = (_tree_of(args.before, Path(scratch)), [])
        if settings:
            trees[" ".join(settings)] = (None, settings)
        rounds = {name: [] for name in trees}
        for number in range(args.rounds):
            for name in (list(trees) if number % 2 == 0 else list(trees)[::-1]):
                tree, extra = trees[name]
                rounds[name].append(_round(tree, args.threads, args.updates, extra))
                measured = rounds[name][-1]
                seconds = measured["collect"] + measured["update"]
                print(f"round {number + 1}, {name}: {measured['samples'] / seconds:,.0f} samples/s, update "
                      f"{measured['update'] / seconds:.0%}", file=sys.stderr)
    print("| trainer | samples/s | update's share | murkplay's share |\n|---|---:|---:|---:|")
    rates = {}
    for name, measured in rounds.items():
        rates[name] = [m["samples"] / (m["collect"] + m["update"]) for m in measured]
        update = statistics.median(m["update"] / (m["collect"] + m["update"]) for m in measured)
        share = statistics.median(m["murkplay"] / (m["collect"] + m["update"]) for m in measured)
        print(f"| {name} | {statistics.median(rates[name]):,.0f} | {update:.0%} | {share:.1%} |")
    for other in list(rates)[1:]:
        ratio = statistics.median(now / then for now, then in zip(rates["now"], rates[other]))
        print(f"\nsamples/s now / {other}: {ratio:.2f}x (median of {args.rounds} rounds side by side)")
    print(f"\n{args.updates} updates a round at the default settings, {args.threads} thread(s); {load_average()}")


# ------------------------------------------------------------------------- the curve over seeds

def run_seed(seed: int, args) -> Path:
    """The documented run of ``seed``, gone on with where an earlier one stopped."""
    from murkplay_rl import run_log, train

    out = args.out / f"seed-{seed}"
    options = ["--minutes", str(args.minutes), "--threads", str(args.threads)]
    if run_log.holds_run(out):
        options += ["--resume", str(out)]
    else:
        options += ["--out", str(out), "--seed", str(seed), *DOCUMENTED, *args.set]
    print(f"seed {seed}: python -m murkplay_rl.train {' '.join(options)} ({load_average()})", file=sys.stderr)
    status = train.main(options)
    if status != 0:
        raise SystemExit(f"the run of seed {seed} stopped with status {status}")
    return out


def final_evaluations(run: Path) -> list[dict]:
    """The run's last network, played as the shipped one is, against each of ``FINAL`` as the
    run's own evaluations play (its games, plies and seed), kept in ``RUN/final.csv`` once
    played."""
    from murkplay_rl import arena, foresight, run_log
    from murkplay_rl.network import load_network

    kept = run / "final.csv"
    if kept.exists():
        with kept.open() as file:
            return list(csv.DictReader(file))
    config = json.loads((run / "config.json").read_text())
    last = run_log.read_evaluations(run)[-1]
    learner = foresight.agent(load_network(run_log.checkpoints(run)[-1]), name="learner", **foresight.SHIPPED)
    rows = []
    for name in FINAL:
        print(f"{run.name}: the last network against {name} ({load_average()})", file=sys.stderr)
        result = arena.match(learner, name, config["eval_games"], max_plies=config["eval_max_plies"],
                             threads=config["threads"], seed=config["seed"] + 7919)
        rows.append(dict(updates=last["updates"], samples=last["samples"], seconds=last["seconds"],
                         opponent=name + AS_SHIPPED,
                         games=result.games, score=result.score, low=result.interval[0], high=result.interval[1]))
    with kept.open("w", newline="") as file:
        writer = csv.DictWriter(file, list(rows[0]))
        writer.writeheader()
        writer.writerows(rows)
    return rows


def _evaluations(runs: dict[int, Path]) -> list[dict]:
    from murkplay_rl.run_log import read_evaluations

    return [dict(row, seed=seed) for seed, run in runs.items()
            for row in read_evaluations(run) + final_evaluations(run)]


def _curves(rows: list[dict]) -> dict[str, list[list[dict]]]:
    """Each opponent's evaluations, every seed's nearest in training time together, at the times
    of the seed evaluated least often against it (a run may have given up an evaluation)."""
    curves: dict[str, list[list[dict]]] = {}
    for opponent in dict.fromkeys(row["opponent"] for row in rows):
        by_seed: dict[int, list[dict]] = {}
        for row in rows:
            if row["opponent"] == opponent:
                by_seed.setdefault(row["seed"], []).append(row)
        fewest = min(by_seed.values(), key=len)
        curves[opponent] = [[min(evaluations, key=lambda row: abs(float(row["seconds"]) - float(at["seconds"])))
                             for evaluations in by_seed.values()] for at in fewest]
    return curves


def write_curve(rows: list[dict], csv_path: Path, png_path: Path) -> None:
    """Every evaluation of every seed into ``csv_path``, and the mean and range over the seeds
    of each opponent's score over training minutes into ``png_path``."""
    from murkplay_rl._optional import require

    columns = ("seed", "updates", "samples", "seconds", "opponent", "games", "score", "low", "high")
    with csv_path.open("w", newline="") as file:
        writer = csv.DictWriter(file, columns, extrasaction="ignore")
        writer.writeheader()
        writer.writerows(rows)
    matplotlib = require("matplotlib", "train", "the learning curve")
    matplotlib.use("Agg")
    from matplotlib import pyplot

    figure, axis = pyplot.subplots(figsize=(8, 4.5))
    for opponent, points in _curves(rows).items():
        minutes = [statistics.mean(float(row["seconds"]) for row in point) / 60 for point in points]
        scores = [[float(row["score"]) for row in point] for point in points]
        mean = [statistics.mean(score) for score in scores]
        low, high = [min(score) for score in scores], [max(score) for score in scores]
        if len(points) == 1:  # an opponent met at the end only: its range as a bar
            axis.errorbar(minutes, mean, yerr=[[m - l for m, l in zip(mean, low)], [h - m for m, h in zip(mean, high)]],
                          marker="o", capsize=4, label=f"against {opponent}")
            continue
        axis.plot(minutes, mean, marker="o", markersize=3, label=f"against {opponent}")
        axis.fill_between(minutes, low, high, alpha=0.2)
    seeds = len({row["seed"] for row in rows})
    axis.set_xlabel("training minutes")
    axis.set_ylabel("score (win 1, unfinished 1/2)")
    axis.set_ylim(0, 1.02)
    axis.grid(alpha=0.3)
    axis.legend(loc="lower right")
    axis.set_title(f"self-play PPO against the pool: mean and range over {seeds} seeds")
    figure.tight_layout()
    figure.savefig(png_path, dpi=100)
    pyplot.close(figure)


def _nearest(points: list[list[dict]], minutes: float) -> list[dict]:
    return min(points, key=lambda point: abs(statistics.mean(float(row["seconds"]) for row in point) - minutes * 60))


def report(rows: list[dict]) -> None:
    """The targets, met or missed, as the mean and spread over the seeds."""
    curves = _curves(rows)
    print("| target | per seed | mean ± spread | |\n|---|---|---:|---|")
    for minutes, targets in sorted(TARGETS.items()):
        # The last network is played as shipped at the run's end only.
        shipped = (AS_SHIPPED,) if minutes == max(TARGETS) else ()
        for opponent, target in [(named + how, target) for named, target in targets.items() for how in ("", *shipped)]:
            if opponent not in curves:
                continue
            point = _nearest(curves[opponent], minutes)
            if any(abs(float(row["seconds"]) - 60 * minutes) > 6 * minutes + 10 for row in point):
                print(f"| >= {target:.2f} against {opponent} at {minutes} min | not evaluated then | | missed |")
                continue
            scores = [float(row["score"]) for row in point]
            each = minutes == 5  # at five minutes the target holds in each seed
            met = min(scores) >= target if each else statistics.mean(scores) >= target
            spread = statistics.stdev(scores) if len(scores) > 1 else 0.0
            print(f"| {'each seed ' * each}>= {target:.2f} against {opponent} at {minutes} min | "
                  f"{', '.join(f'{score:.3f}' for score in scores)} | {statistics.mean(scores):.3f} ± {spread:.3f} | "
                  f"{'met' if met else 'missed'} |")
    if "greedy" in curves:
        falls = []
        for seed in range(len(curves["greedy"][0])):
            scores = [float(point[seed]["score"]) for point in curves["greedy"]]
            falls.append(scores[-1] - max(scores[:-1]))
        met = all(fall >= -FALL for fall in falls)
        print(f"| no fall: the last score against greedy at most {FALL} below the best earlier one | "
              f"{', '.join(f'{fall:+.3f}' for fall in falls)} | {statistics.mean(falls):+.3f} | "
              f"{'met' if met else 'missed'} |")
    print(f"\n{load_average()} at the end")


def curve(args) -> None:
    seeds = [int(seed) for seed in args.seeds.split(",")]
    runs = {seed: run_seed(seed, args) for seed in seeds}
    rows = _evaluations(runs)
    args.curve.mkdir(parents=True, exist_ok=True)
    write_curve(rows, args.curve / "learning_curve.csv", args.curve / "learning_curve.png")
    report(rows)


# ------------------------------------------------------------------------- an agent's strength

class _Timed:
    """An agent whose time per move is counted, over the games it moved in: by the clock, and
    in CPU time of the process (which the machine's other jobs do not inflate)."""

    def __init__(self, agent):
        self.agent, self.name, self.seconds, self.cpu, self.moves = agent, agent.name, 0.0, 0.0, 0
        self.observes = getattr(agent, "observes", True)
        self.step_options = getattr(agent, "step_options", {})

    def act(self, step, batch):
        started, cpu = time.perf_counter(), time.process_time()
        answer = self.agent.act(step, batch)
        self.seconds += time.perf_counter() - started
        self.cpu += time.process_time() - cpu
        if step is not None:  # an agent that does not observe plays natively: no moves of its own to time
            self.moves += int((~(step.terminated | step.truncated)).sum())
        return answer


def _seeded(spec: str, seed: int | None):
    """The agent ``spec`` names, its own random streams seeded by ``seed`` where it keeps any:
    the belief and the search agent draw from streams of their own, which the arena's seed does
    not reach, so only theirs make other games."""
    from murkplay_rl import agents

    if seed is None:
        return agents.load(spec)
    if spec == "belief":
        from murkplay_rl.belief_agent import BeliefAgent

        return BeliefAgent(seed=seed)
    if spec == "search":
        from murkplay_rl.search_agent import SearchAgent

        return SearchAgent(seed=seed)
    return agents.load(spec)


def strength(args) -> None:
    import torch

    from murkplay_rl import arena

    torch.set_num_threads(1)
    if args.network:
        from murkplay_rl.network import load_network
        from murkplay_rl.search_agent import KING, SearchAgent

        agent = SearchAgent(load_network(args.network), samples=args.samples, depth=args.depth, deeper=args.deeper,
                            king=KING if args.king is None else args.king, seed=args.agent_seed or 0)
    else:
        agent = _seeded(args.agent, args.agent_seed)
    timed = _Timed(agent)
    print(f"| {timed.name} against | score | 95 % interval | won | lost | unfinished | per move | CPU per move | load |\n"
          "|---|---:|---|---:|---:|---:|---:|---:|---|")
    for name in args.opponents.split(","):
        timed.seconds, timed.cpu, timed.moves = 0.0, 0.0, 0
        result = arena.match(timed, _seeded(name, args.agent_seed), args.arena_games, threads=1, seed=12345)
        low, high = result.interval
        times = (f"{1000 * timed.seconds / timed.moves:.1f} ms | {1000 * timed.cpu / timed.moves:.1f} ms"
                 if timed.moves else "native | native")
        print(f"| {name} | {result.score:.3f} | {low:.3f} to {high:.3f} | {result.wins} | {result.losses} | "
              f"{result.draws} | {times} | {load_average()} |", flush=True)
    print(f"\none thread; {load_average()}")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--updates", type=int, default=10, help="updates timed per round")
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--before", metavar="REV", help="a git revision whose trainer to time beside this one")
    parser.add_argument("--seeds", help="run the documented training once per seed, e.g. 0,1,2")
    parser.add_argument("--minutes", type=float, default=30.0)
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "runs" / "learning")
    parser.add_argument("--set", action="append", default=[], help="a further --set NAME=VALUE of the runs")
    parser.add_argument("--curve", type=Path, default=DOCS, help="with --seeds: the directory the curve is written to")
    parser.add_argument("--agent", help="an agent to measure in the arena, e.g. search")
    parser.add_argument("--opponents", default="greedy,cautious,belief")
    parser.add_argument("--network", type=Path, help="with --agent search: the network it searches with "
                                                     "(a checkpoint or best.pt; default the shipped one)")
    parser.add_argument("--samples", type=int, default=16, help="with --network: the search's samples")
    parser.add_argument("--depth", type=int, default=4, help="with --network: the search's plies")
    parser.add_argument("--deeper", type=int, default=0, help="with --network: the plies of the second search over "
                                                                 "the policy's favourites among the best (0: none)")
    parser.add_argument("--king", type=int, help="with --network: what a king taken counts for in a sample of the "
                                                  "search, in hundredths of a pawn (default the agent's)")
    parser.add_argument("--arena-games", type=int, default=500)
    parser.add_argument("--agent-seed", type=int, help="with --agent: the seed of the belief and search agents' own "
                                                         "random streams, for games other than the default's")
    args = parser.parse_args(argv)
    args.set = [part for setting in args.set for part in ("--set", setting)]
    if args.seeds:
        curve(args)
    elif args.agent:
        strength(args)
    else:
        cost(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
