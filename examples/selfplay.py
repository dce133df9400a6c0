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
(``--threads`` then spreads each step over native threads). Games that end are replaced by
new ones until ``--games`` have finished. The summary shows how the step time divides
between the network and murkplay.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import random
import sys
import time
from dataclasses import dataclass

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
    chosen = int(torch.multinomial(torch.softmax(masked, dim=0), 1, generator=generator))
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
    observation, mask = torch.from_numpy(step.observation), torch.from_numpy(step.mask)
    results: list[GameResult] = []
    seconds = {"network": 0.0, "murkplay": 0.0, "plies": 0}
    with torch.inference_mode():
        while len(results) < args.games:
            started = time.perf_counter()
            # A game without a legal move gets a slot out of range, but it ended stalled and
            # restarts at this step, which does not read its slot.
            slots = sample_slots(policy(observation).masked_fill_(~mask, float("-inf")), generator)
            sampled = time.perf_counter()
            # The arrays of the last step are reused: observation and mask stay the tensors above.
            step = batch.step(slots.numpy(), by="slot", oracle=args.oracle, out=step)
            stepped = time.perf_counter()
            seconds["network"] += sampled - started
            seconds["murkplay"] += stepped - sampled
            seconds["plies"] += int((step.played_move != murkplay_rl.NO_MOVE).sum())
            for i in (step.terminated | step.truncated).nonzero()[0]:
                if len(results) < args.games:
                    result = GameResult(len(results), int(step.plies[i]), float(step.values[i, 0]))
                    results.append(result)
                    report(result)
    return results, seconds


def progress_reporter(total: int):
    """tqdm on a terminal when it is installed, otherwise one plain line per game."""
    if sys.stdout.isatty():
        try:
            from tqdm import tqdm
        except ImportError:
            pass
        else:
            bar = tqdm(total=total, unit="game")

            def update(result: GameResult) -> None:
                bar.update(1)
                bar.set_postfix_str(f"last: {result.plies} plies, {result.outcome()}")

            return update, bar.close
    done = 0

    def report(result: GameResult) -> None:
        nonlocal done
        done += 1
        print(f"game {done}/{total} (#{result.number}): {result.plies} plies, {result.outcome()}", flush=True)

    return report, lambda: None


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=16, help="games to play (default 16)")
    parser.add_argument("--plies", type=int, default=300, help="ply limit per game (default 300)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the network weights and the games")
    parser.add_argument("--oracle", action="store_true", help="observe the whole board instead of the fogged view")
    parser.add_argument("--threads", type=int, default=1, help="threads to spread the games over (default 1)")
    parser.add_argument("--batch", type=int, default=0,
                        help="play this many games at once with one forward pass per step (default: one at a time)")
    args = parser.parse_args(argv)
    if args.games < 1 or args.plies < 1 or args.threads < 1 or args.batch < 0:
        parser.error("--games, --plies and --threads must be at least 1, --batch at least 0")
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_arguments(argv)
    if args.threads > 1:
        # The games are the parallelism; torch's own threads would only compete with them.
        torch.set_num_threads(1)
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

    # In batch mode every ply played counts, those of games still running at the end too.
    plies = split["plies"] if split else sum(r.plies for r in results)
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    mode = f"{args.batch} at a time" if args.batch else f"one at a time on {args.threads} thread(s)"
    print()
    print(f"games:            {len(results)}, {mode}, GIL {'enabled' if gil else 'disabled'}, "
          f"{'oracle' if args.oracle else 'fogged'} observations")
    print(f"plies:            {plies} in {elapsed:.2f} s, {plies / elapsed:,.0f} plies per second")
    if split:
        total = split["network"] + split["murkplay"]
        print(f"step time:        network {split['network'] / total:.0%}, murkplay {split['murkplay'] / total:.0%} "
              f"({split['murkplay'] / max(plies, 1) * 1e6:.2f} µs per ply on {args.threads} native thread(s))")
    print(f"White wins:       {sum(r.white_value > 0 for r in results)}")
    print(f"Black wins:       {sum(r.white_value < 0 for r in results)}")
    print(f"unfinished:       {sum(r.white_value == 0 for r in results)} (ply limit {args.plies})")
    print(f"mean game length: {sum(r.plies for r in results) / len(results):.1f} plies")
    return 0


if __name__ == "__main__":
    sys.exit(main())
