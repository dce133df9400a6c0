"""Fog-of-war self-play driven the way a reinforcement-learning loop drives murkplay.

Every ply the side to move is observed with ``encode()`` (64 x 35 features, from its own
fogged view, or the full board with ``--oracle``), a small torch policy network with random
weights turns the observation into 4352 logits, the logits are masked to the action indices
of the legal actions, and an action is sampled from the masked softmax and applied. A game
ends when a king is captured or after ``--plies`` plies.

    python examples/selfplay.py --games 16 --plies 300 --seed 0 [--oracle] [--threads N] [--batch N]

With ``--threads N`` the games are spread over N threads. murkplay never needs the
interpreter lock, so on a free-threaded interpreter the threads really play in parallel; on
an ordinary one they take turns.

With ``--batch N`` N games are played at once by ``murkplay_rl.GameBatch``: one forward pass
of the policy for all of them per step, the observations and legal-slot masks written by
murkplay straight into arrays the network reads, and the sampled slots played natively
(``--threads`` then spreads each step over native threads). ``--games`` (by default the
larger of 16 and N) are shared out among the N places of the batch, each playing its share
one game after another; a place whose share is done plays on unseen, so every game counted
was played to its end, and a short game is not counted more often than a long one. The
summary shows how the step time divides between the network and murkplay.

torch's threads are set from the cores this process may use (``os.sched_getaffinity``), less
those that other processes keep busy (the load average), unless ``--torch-threads`` says.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import os
import random
import sys
import time
from dataclasses import dataclass

import numpy as np
import torch

import murkplay_rl
from murkplay import SelfPlayGame
from murkplay_rl.policy import policy_network, sample_slots

@dataclass
class GameResult:
    number: int
    plies: int
    white_value: float  # +1.0 White won, -1.0 Black won, 0.0 unfinished

    def outcome(self) -> str:
        if self.white_value > 0:
            return "White won"
        if self.white_value < 0:
            return "Black won"
        return "unfinished"


def choose_action(policy: torch.nn.Module, game: SelfPlayGame, actions: list[str], oracle: bool,
                  generator: torch.Generator, rng: random.Random) -> str:
    logits = policy(game.encode(oracle=oracle))
    indices = [game.action_index(action) for action in actions]
    masked = torch.full_like(logits, float("-inf"))
    legal = torch.tensor(indices)
    masked[legal] = logits[legal]
    chosen = int(sample_slots(masked[None], generator)[0])
    # Promotions to one piece from one pawn share an index whatever the destination
    # (a7a8q and a7b8q), so an index can stand for several actions.
    candidates = [action for action, index in zip(actions, indices) if index == chosen]
    return candidates[0] if len(candidates) == 1 else rng.choice(candidates)


def play_game(policy: torch.nn.Module, number: int, seed: int, max_plies: int, oracle: bool) -> GameResult:
    # Each game has its own generators, so its moves do not depend on which thread plays it
    # or on what the other games did.
    generator = torch.Generator().manual_seed(seed)
    rng = random.Random(seed)
    game = SelfPlayGame()
    plies = 0
    with torch.inference_mode():
        while plies < max_plies and not game.is_terminal():
            actions = game.legal_actions_uci()
            if not actions:  # possible in principle: pseudo-legal moves can run out
                break
            game.apply(choose_action(policy, game, actions, oracle, generator, rng))
            plies += 1
    return GameResult(number, plies, game.terminal_value(True))


def play_batch(policy: torch.nn.Module, args: argparse.Namespace, report) -> tuple[list[GameResult], dict[str, float]]:
    """Plays args.batch games at a time until args.games have ended; returns them and where the time went."""
    batch = murkplay_rl.GameBatch(args.batch, max_plies=args.plies, auto_reset=True, seed=args.seed,
                                  threads=args.threads)
    generator = torch.Generator().manual_seed(args.seed)
    step = batch.observe(oracle=args.oracle)
    # Each place of the batch owes its share of the games; all of them start at once.
    owed = np.full(args.batch, args.games // args.batch) + (np.arange(args.batch) < args.games % args.batch)
    slots = np.zeros(args.batch, np.int64)
    results: list[GameResult] = []
    seconds = {"network": 0.0, "murkplay": 0.0, "plies": 0}
    with torch.inference_mode():
        while owed.any():
            started = time.perf_counter()
            playing = np.flatnonzero(owed > 0)
            logits = policy(torch.from_numpy(step.observation[playing]))
            logits.masked_fill_(~torch.from_numpy(step.mask[playing]), float("-inf"))
            # A game without a legal move gets a slot out of range, but it ended stalled and
            # restarts at this step, which does not read its slot.
            slots[playing] = sample_slots(logits, generator).numpy()
            # Places whose share is done play their first legal move, unseen.
            done = np.flatnonzero(owed == 0)
            slots[done] = step.slots[np.minimum(step.offsets[done], len(step.slots) - 1)]
            sampled = time.perf_counter()
            step = batch.step(slots, by="slot", oracle=args.oracle, out=step)
            stepped = time.perf_counter()
            seconds["network"] += sampled - started
            seconds["murkplay"] += stepped - sampled
            seconds["plies"] += int((step.played_move != murkplay_rl.NO_MOVE).sum())
            for i in np.flatnonzero((step.terminated | step.truncated) & (owed > 0)):
                owed[i] -= 1
                result = GameResult(len(results), int(step.plies[i]), float(step.values[i, 0]))
                results.append(result)
                report(result)
    return results, seconds


def torch_threads(requested: int) -> tuple[int, str]:
    """The threads for torch and why: the cores this process may run on, less the load that
    other processes put on them. torch's default, every core, slows to a crawl when one of its
    threads has to wait for a core another process holds."""
    if requested:
        return requested, "--torch-threads"
    allowed = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else 0.0
    threads = max(1, min(allowed, round(allowed - load)))
    return threads, f"{allowed} core(s) allowed, load average {load:.2f}"


def progress_reporter(total: int):
    """tqdm on a terminal when it is installed; otherwise a plain line per game for a few games,
    and a line per tenth of them for many, so a log of 256 games stays a summary."""
    if sys.stdout.isatty():
        try:
            from tqdm import tqdm
        except ImportError:
            pass
        else:
            bar = tqdm(total=total, unit=" games")

            def update(result: GameResult) -> None:
                bar.update(1)
                bar.set_postfix_str(f"last: {result.plies} plies, {result.outcome()}")

            return update, bar.close
    done = 0
    every = 1 if total <= 20 else -(-total // 10)

    def report(result: GameResult) -> None:
        nonlocal done
        done += 1
        if done % every == 0 or done == total:
            print(f"games ended: {done}/{total}; the last (#{result.number}): {result.plies} plies, {result.outcome()}",
                  flush=True)

    return report, lambda: None


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=0,
                        help="games to play (default 16, with --batch N at least N)")
    parser.add_argument("--plies", type=int, default=300, help="ply limit per game (default 300)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the network weights and the games")
    parser.add_argument("--oracle", action="store_true", help="observe the whole board instead of the fogged view")
    parser.add_argument("--threads", type=int, default=1, help="threads to spread the games over (default 1)")
    parser.add_argument("--batch", type=int, default=0,
                        help="play this many games at once with one forward pass per step (default: one at a time)")
    parser.add_argument("--torch-threads", type=int, default=0,
                        help="torch's threads (default: the cores this process may use, less the busy ones)")
    args = parser.parse_args(argv)
    args.games = args.games or max(16, args.batch)
    if args.games < 1 or args.plies < 1 or args.threads < 1 or args.batch < 0 or args.torch_threads < 0:
        parser.error("--games, --plies and --threads must be at least 1, --batch and --torch-threads at least 0")
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_arguments(argv)
    if args.threads > 1 and not args.torch_threads:
        # The games are the parallelism; torch's own threads would only compete with them.
        threads, why = 1, f"--threads {args.threads}"
    else:
        threads, why = torch_threads(args.torch_threads)
    torch.set_num_threads(threads)
    torch.manual_seed(args.seed)
    policy = policy_network().eval()

    report, finish = progress_reporter(args.games)
    results: list[GameResult] = []
    split = None
    start = time.perf_counter()
    if args.batch:
        results, split = play_batch(policy, args, report)
    else:
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.threads) as pool:
            futures = [
                pool.submit(play_game, policy, number, args.seed * 1_000_003 + number, args.plies, args.oracle)
                for number in range(args.games)
            ]
            for future in concurrent.futures.as_completed(futures):
                result = future.result()
                results.append(result)
                report(result)
    elapsed = time.perf_counter() - start
    finish()

    # Only the plies of the games counted: in batch mode the places whose share was done played on.
    plies = sum(r.plies for r in results)
    decided = [r for r in results if r.white_value != 0]
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    mode = f"{args.batch} at a time" if args.batch else f"one at a time on {args.threads} thread(s)"
    print()
    print(f"games:            {len(results)}, {mode}, GIL {'enabled' if gil else 'disabled'}, "
          f"{'oracle' if args.oracle else 'fogged'} observations")
    print(f"plies:            {plies} in {elapsed:.2f} s, {plies / elapsed:,.0f} plies per second "
          f"(torch threads: {threads}, {why})")
    if split:
        total = split["network"] + split["murkplay"]
        print(f"step time:        network {split['network'] / total:.0%}, murkplay {split['murkplay'] / total:.0%} "
              f"({split['murkplay'] / max(split['plies'], 1) * 1e6:.2f} µs per ply on {args.threads} native thread(s))")
    print(f"White wins:       {sum(r.white_value > 0 for r in results)}")
    print(f"Black wins:       {sum(r.white_value < 0 for r in results)}")
    print(f"unfinished:       {len(results) - len(decided)} (cut off at the ply limit {args.plies}, or no move left)")
    if decided:
        print(f"mean game length: {sum(r.plies for r in decided) / len(decided):.1f} plies over the games won, "
              f"{plies / len(results):.1f} over all")
    return 0


if __name__ == "__main__":
    sys.exit(main())
