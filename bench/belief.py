"""Beliefs over the hidden position: how fast a tracker checks candidates, how large its set
grows and how long an update takes after 4, 8 and 12 plies of random play, whether the true
position stays in the set while it is exact, and how the belief agent scores.

    python bench/belief.py [--games 1000] [--invariant-plies 40] [--strength-games 200]
        [--opponents greedy cautious pretrained] [--samples 8] [--depth 3]
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import sys
import time

from murkplay import SelfPlayGame
from murkplay_rl import BeliefTracker

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from support import tracked_random_game  # noqa: E402


def growth(games: int, limit: int) -> None:
    by_ply: dict[int, list[tuple[float, float, bool]]] = {4: [], 8: [], 12: []}
    checked = 0
    seconds = 0.0
    for seed in range(games):
        before = 0
        for ply, tracker, _, spent in tracked_random_game(seed, True, 12, limit):
            checked += tracker.candidates_checked - before
            before = tracker.candidates_checked
            seconds += spent
            if ply in by_ply:
                by_ply[ply].append((tracker.size, spent, tracker.exact))
    rate = checked / seconds / 1e6
    print(f"candidates checked per second (one core): {rate:.2f} million ({checked} in {seconds:.2f} s)")
    for ply, rows in by_ply.items():
        sizes = sorted(r[0] for r in rows)
        times = [r[1] * 1e3 for r in rows]
        exact = sum(r[2] for r in rows)
        p90 = sizes[int(0.9 * len(sizes))]
        print(
            f"after {ply:2d} plies: set size median {statistics.median(sizes):,.0f} (p90 {p90:,.0f}),"
            f" exact in {exact}/{len(rows)} games; update median {statistics.median(times):.1f} ms,"
            f" max {max(times):.1f} ms"
        )


def invariant(games: int, plies: int, limit: int) -> None:
    turns = 0
    missed = 0
    started = time.perf_counter()
    for seed in range(games):
        for _, tracker, game, _ in tracked_random_game(seed, seed % 2 == 0, plies, limit):
            if not tracker.exact:
                break
            turns += 1
            missed += not tracker.keeps(game)
    print(
        f"true position kept: {turns - missed}/{turns} exact turns of {games} random games"
        f" ({time.perf_counter() - started:.0f} s)"
    )


def strength(games: int, opponents: list[str], samples: int, depth: int) -> None:
    from murkplay_rl import arena
    from murkplay_rl.belief_agent import BeliefAgent

    for opponent in opponents:
        agent = BeliefAgent(samples=samples, depth=depth)
        spent = [0.0, 0]
        act = agent.act

        def timed(step, batch):
            start = time.perf_counter()
            chosen = act(step, batch)
            spent[0] += time.perf_counter() - start
            spent[1] += len(batch)
            return chosen

        agent.act = timed
        result = arena.match(agent, opponent, games=games, seed=1)
        low, high = result.interval
        print(
            f"belief (samples {samples}, depth {depth}) vs {opponent}: {result.wins}-{result.losses}-{result.draws},"
            f" score {result.score:.3f} ({low:.3f} .. {high:.3f}), {spent[0] / spent[1] * 1e3:.1f} ms per move"
            " (one thread, a batch's games at once)"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--games", type=int, default=1000)
    parser.add_argument("--growth-games", type=int, default=50)
    parser.add_argument("--invariant-plies", type=int, default=40)
    parser.add_argument("--limit", type=int, default=100_000)
    parser.add_argument("--strength-games", type=int, default=200)
    parser.add_argument("--opponents", nargs="*", default=["greedy", "cautious"])
    parser.add_argument("--samples", type=int, default=8)
    parser.add_argument("--depth", type=int, default=3)
    args = parser.parse_args()
    if args.growth_games:
        growth(args.growth_games, args.limit)
    if args.games:
        invariant(args.games, args.invariant_plies, args.limit)
    if args.strength_games:
        strength(args.strength_games, args.opponents, args.samples, args.depth)


if __name__ == "__main__":
    main()
