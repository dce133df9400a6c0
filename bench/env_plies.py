"""Random agents playing through the PettingZoo environment, beside the bare game's step.

    python bench/env_plies.py [--rounds 5] [--plies 10000]

Prints a small Markdown table. In every round each side plays ``--plies`` plies, game after
game of at most playouts.MAX_PLIES plies, and the order of the two alternates by round; the
rates are medians over the rounds and the ratio is the median of the per-round ratios. The
environment's agents sample uniformly from their action mask; the bare step is the self-play
step of playouts.py (legal actions, the index of each, the observation, apply). Times are the
CPU time of this thread (timing.py).
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
# playouts.py reaches the test suite's python-chess reference of the variant through here.
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

import murkplay_rl  # noqa: E402
from playouts import MAX_PLIES, murkplay_selfplay_steps  # noqa: E402
from timing import CLOCK, median, ratio_of_rounds  # noqa: E402


def env_plies(seed: int, plies: int) -> int:
    """Plays at least ``plies`` plies through murkplay_rl.env() with random agents."""
    rng = np.random.default_rng(seed)
    env = murkplay_rl.env(max_plies=MAX_PLIES)
    played = 0
    while played < plies:
        env.reset()
        for _agent in env.agent_iter():
            observation, _reward, termination, truncation, _info = env.last()
            if termination or truncation:
                action = None
            else:
                action = int(rng.choice(np.flatnonzero(observation["action_mask"])))
                played += 1
            env.step(action)
    return played


def game_plies(seed: int, plies: int) -> int:
    """Plays at least ``plies`` plies of the bare self-play step, one seed per game."""
    played = 0
    while played < plies:
        played += murkplay_selfplay_steps(seed)
        seed += 1
    return played


def measure(rounds: int = 5, plies: int = 10_000, seed: int = 0) -> dict:
    """Plies per second of the environment and of the bare game, one figure per round each,
    their medians, and the median of the per-round ratios (environment / game)."""
    workloads = {"env": env_plies, "game": game_plies}
    rates: dict[str, list[float]] = {name: [] for name in workloads}
    for round_number in range(rounds):
        order = list(workloads) if round_number % 2 == 0 else list(workloads)[::-1]
        for name in order:
            start = CLOCK()
            played = workloads[name](seed + 1_000_000 * round_number, plies)
            rates[name].append(played / (CLOCK() - start))
    return {
        "env_rates": rates["env"],
        "game_rates": rates["game"],
        "env": median(rates["env"]),
        "game": median(rates["game"]),
        "ratio": ratio_of_rounds(rates["env"], rates["game"]),
    }


def table(result: dict, rounds: int, plies: int) -> str:
    return "\n".join(
        [
            f"### PettingZoo environment ({rounds} rounds of {plies:,} plies each way)",
            "",
            "| workload | plies/s |",
            "|---|---:|",
            f"| `murkplay_rl.env()`, random agents sampling from the action mask | {result['env']:,.0f} |",
            f"| bare `SelfPlayGame` self-play step | {result['game']:,.0f} |",
            f"| environment / bare game | {result['ratio']:.3f}× |",
        ]
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--plies", type=int, default=10_000)
    args = parser.parse_args()
    print(table(measure(args.rounds, args.plies), args.rounds, args.plies))


if __name__ == "__main__":
    main()
