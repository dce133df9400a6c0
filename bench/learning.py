"""The trainer's cost and a trained agent's strength.

    python bench/learning.py [--rounds 5] [--games 256] [--steps 32] [--threads 1]
                             [--agent pretrained] [--arena-games 500] [--run build/runs/pretrained]

Needs torch. Progress goes to stderr and Markdown tables to
stdout. Each round, side by side in alternating order:

- the batched demo's loop (``examples/selfplay.py --batch``: one forward pass per step, slots
  drawn in torch from the masked softmax, played by slot) with the trainer's network, until as
  many games as the batch holds have ended (150 plies at most);
- the trainer's self-play collection of the same games, steps and network (logits drawn
  natively, the learner's decisions and values kept for PPO);
- one training update (collection and PPO update), and murkplay's share of its time.

Then ``--agent`` (an ``agents.load`` name or a checkpoint) plays ``--arena-games`` games against
each built-in agent, colours alternating, unfinished games half a point; and with ``--run`` the
scores the run's log holds at 5, 10, 20 and 30 training minutes are listed.
"""

from __future__ import annotations

import argparse
import csv
import importlib.util
import math
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

import torch

from murkplay_rl import train
from murkplay_rl.train_config import BASELINES, TrainConfig
from murkplay_rl.train_state import TrainState

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "selfplay.py"


def demo_plies_per_second(network, games: int, threads: int, seed: int) -> float:
    """The batched demo's own loop (``play_batch`` of examples/selfplay.py) with ``network``,
    until ``games`` games have ended."""
    spec = importlib.util.spec_from_file_location("selfplay_demo", EXAMPLE)
    demo = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = demo  # its dataclasses look their module up there
    spec.loader.exec_module(demo)
    args = argparse.Namespace(batch=games, games=games, plies=150, seed=seed, threads=threads, oracle=False)
    _, split = demo.play_batch(network, args, lambda result: None)
    return split["plies"] / (split["network"] + split["murkplay"])


def collection_plies_per_second(state: TrainState, steps: int) -> float:
    state.network.eval()
    started = time.perf_counter()
    rollout = state.selfplay.collect(state.network, None, steps)
    return rollout.plies / (time.perf_counter() - started)


class _Scratch:
    """The trainer's log for one measured update: nothing kept but the checkpoint, in ``out``."""

    def __init__(self, out: Path):
        self.out = out

    def update(self, *args, **kwargs) -> None:
        pass


def one_update(state: TrainState, scratch: _Scratch) -> tuple[float, float]:
    """One update of the trainer's own loop (collection and PPO update, no evaluation): its
    samples per second and murkplay's share of its time."""
    before = state.samples, state.seconds, state.murkplay_seconds
    state.last_eval = math.inf
    train.train(state, scratch, seconds=math.inf, updates=state.updates + 1)
    seconds = state.seconds - before[1]
    return (state.samples - before[0]) / seconds, (state.murkplay_seconds - before[2]) / seconds


def print_curve(run: Path) -> None:
    """The run's evaluations nearest to 5, 10, 20 and 30 training minutes."""
    with (run / "evaluations.csv").open() as file:
        rows = list(csv.DictReader(file))
    times = sorted({float(row["seconds"]) for row in rows})
    print("\n| training minutes | samples | " + " | ".join(BASELINES) + " |\n|---:|---:|" + "---:|" * len(BASELINES))
    for minutes in (5, 10, 20, 30):
        nearest = min(times, key=lambda seconds: abs(seconds - minutes * 60))
        mine = [row for row in rows if float(row["seconds"]) == nearest]
        scores = {row["opponent"]: float(row["score"]) for row in mine}
        print(f"| {nearest / 60:.1f} | {int(mine[0]['samples']):,} | "
              + " | ".join(f"{scores.get(name, float('nan')):.3f}" for name in BASELINES) + " |")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--games", type=int, default=256)
    parser.add_argument("--steps", type=int, default=32)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--agent", help="an agent to measure in the arena, e.g. pretrained")
    parser.add_argument("--arena-games", type=int, default=500)
    parser.add_argument("--run", type=Path, help="a run directory whose evaluations to list")
    args = parser.parse_args(argv)
    torch.set_num_threads(args.threads)
    config = TrainConfig(games=args.games, steps=args.steps, threads=args.threads)
    with tempfile.TemporaryDirectory() as scratch:
        state = TrainState(config)
        demo, collect, shares, rates = [], [], [], []
        for round_number in range(args.rounds):
            for first in ((0, 1) if round_number % 2 == 0 else (1, 0)):
                if first == 0:
                    demo.append(demo_plies_per_second(state.network.eval(), args.games, args.threads, round_number))
                else:
                    collect.append(collection_plies_per_second(state, args.steps))
            rate, share = one_update(state, _Scratch(Path(scratch)))
            rates.append(rate)
            shares.append(share)
            print(f"round {round_number + 1}: demo {demo[-1]:,.0f}, collection {collect[-1]:,.0f} plies/s, "
                  f"update {rates[-1]:,.0f} samples/s, murkplay {shares[-1]:.1%}", file=sys.stderr)
    ratio = statistics.median(c / d for c, d in zip(collect, demo))
    share = statistics.median(shares)
    print(f"| measure | value | target | |\n|---|---:|---|---|")
    print(f"| batched demo loop, trainer's network | {statistics.median(demo):,.0f} plies/s | | |")
    print(f"| trainer's self-play collection | {statistics.median(collect):,.0f} plies/s | | |")
    print(f"| collection / demo | {ratio:.2f}x | >= 0.5x | {'met' if ratio >= 0.5 else 'missed'} |")
    print(f"| training (collection and update) | {statistics.median(rates):,.0f} samples/s | | |")
    print(f"| murkplay's share of training time | {share:.1%} | <= 10% | {'met' if share <= 0.10 else 'missed'} |")
    print(f"\n{args.games} games, {args.steps} steps a round, {args.threads} thread(s), {args.rounds} rounds, "
          f"medians; load average at the end {os.getloadavg()[0]:.2f}")

    if args.agent:
        from murkplay_rl import agents, arena

        agent = agents.load(args.agent)
        print(f"\n| {agent.name} against | score | 95 % interval | won | lost | unfinished |\n|---|---:|---|---:|---:|---:|")
        for name in BASELINES:
            result = arena.match(agent, name, args.arena_games, threads=args.threads, seed=12345)
            low, high = result.interval
            print(f"| {name} | {result.score:.3f} | {low:.3f} to {high:.3f} | {result.wins} | {result.losses} | "
                  f"{result.draws} |")
    if args.run:
        print_curve(args.run)
    return 0


if __name__ == "__main__":
    sys.exit(main())
