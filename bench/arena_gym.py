"""The arena's speed, the vector environment beside the bare batched step, and the built-in
agents' scores.

    python bench/arena_gym.py [--rounds 5] [--games 10000] [--score-games 2000]

- arena: ``arena.match("random", "greedy", games, threads=2)`` in wall time (two batches of
  half the games, move pairs played natively), and the same games turned into records;
- vector environment: ``FogChessVectorEnv.step`` against ``GameBatch.step(slots, by="slot",
  reply=opponent)`` on batches of the same size and opponent, the learner's slots chosen
  outside the timing (the first legal slot), rounds alternating, CPU time of this thread;
- scores: ``greedy`` against ``random`` and ``cautious`` against ``greedy``, with Wilson 95 %
  intervals and the Elo differences they imply.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import murkplay_rl as rl  # noqa: E402
from murkplay_rl import arena, ratings  # noqa: E402
from murkplay_rl.gym import FogChessVectorEnv  # noqa: E402
from timing import CLOCK, median  # noqa: E402


def arena_seconds(games: int, threads: int, seed: int) -> tuple[float, float]:
    """Wall seconds to play ``games`` games of random against greedy, then to make their records."""
    started = time.perf_counter()
    played = arena._match_games("random", "greedy", games, max_plies=300, threads=threads, seed=seed, progress=None)
    playing = time.perf_counter() - started
    started = time.perf_counter()
    for batch_games in played:
        batch_games.records()
    return playing, time.perf_counter() - started


def bare_steps(games: int, opponent: str, steps: int, seed: int) -> float:
    batch = rl.GameBatch(games, max_plies=300, auto_reset=True, seed=seed)
    step = batch.observe()
    spent = 0.0
    for _ in range(steps):
        slots = step.mask.argmax(axis=1)
        started = CLOCK()
        step = batch.step(slots, by="slot", reply=opponent)
        spent += CLOCK() - started
    return spent / steps


def env_steps(games: int, opponent: str, steps: int, seed: int) -> float:
    env = FogChessVectorEnv(games, opponent=opponent, max_plies=300)
    observation, _ = env.reset(seed=seed)
    spent = 0.0
    for _ in range(steps):
        slots = observation["action_mask"].argmax(axis=1)
        started = CLOCK()
        observation, *_ = env.step(slots)
        spent += CLOCK() - started
    return spent / steps


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--games", type=int, default=10_000)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--env-games", type=int, default=256)
    parser.add_argument("--env-steps", type=int, default=200)
    parser.add_argument("--score-games", type=int, default=2_000)
    options = parser.parse_args()
    print(f"machine: {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f}")

    playing, recording = [], []
    for round_ in range(options.rounds):
        play, record = arena_seconds(options.games, options.threads, seed=round_)
        playing.append(play)
        recording.append(record)
    print(f"arena, {options.games} games random against greedy, {options.threads} threads: "
          f"{median(playing):.3f} s to play (rounds {min(playing):.3f} to {max(playing):.3f}), "
          f"{median(recording):.3f} s more to make their records")

    for opponent in ("random", "greedy"):
        ratios, bare, env = [], [], []
        for round_ in range(options.rounds):
            pair = [
                ("bare", lambda: bare_steps(options.env_games, opponent, options.env_steps, round_)),
                ("env", lambda: env_steps(options.env_games, opponent, options.env_steps, round_)),
            ]
            if round_ % 2:
                pair.reverse()
            measured = {name: run() for name, run in pair}
            bare.append(measured["bare"])
            env.append(measured["env"])
            ratios.append(measured["bare"] / measured["env"])
        print(f"vector env, {options.env_games} games against {opponent}: {median(env) * 1e6:.0f} us a step, "
              f"bare batch {median(bare) * 1e6:.0f} us; env / bare speed {median(ratios):.3f}x "
              f"(rounds {min(ratios):.3f} to {max(ratios):.3f})")

    for first, second in (("greedy", "random"), ("cautious", "greedy")):
        result = arena.match(first, second, options.score_games, max_plies=300, threads=options.threads, seed=99)
        low, high = result.interval
        print(f"{first} against {second}, {result.games} games: +{result.wins} -{result.losses} ={result.draws}, "
              f"score {result.score:.3f} (95 % {low:.3f} to {high:.3f}), Elo difference "
              f"{ratings.elo_difference(result.score):+.0f} ({ratings.elo_difference(low):+.0f} to "
              f"{ratings.elo_difference(high):+.0f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
