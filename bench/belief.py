"""Beliefs over the hidden position: how fast a tracker checks candidates, how large its set
grows and how long an update takes after 4, 8 and 12 plies of random play, whether the true
position stays in the set while it is exact, how long the belief agent's search takes, and how
the belief agent scores.

    python bench/belief.py [--games 1000] [--invariant-plies 40] [--search-plies 40]
        [--strength-games 200] [--opponents greedy cautious pretrained] [--samples 8] [--depth 3]

The search's cost is measured on the same games every time (the belief agent playing both
sides of 32 games from the start), so two builds can be timed on the same work: its last line
digests the moves played, equal for any two builds whose searches agree.
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


def search_cost(plies: int, samples: int, depths: list[int]) -> None:
    import hashlib

    import numpy as np

    import murkplay_rl

    digest = hashlib.sha256()
    for depth in depths:
        batch = murkplay_rl.GameBatch(32, seed=11, max_plies=300)
        beliefs = {side: murkplay_rl.BatchBeliefs(batch, side, limit=5_000, seed=3) for side in (True, False)}
        played = {side: np.full(len(batch), murkplay_rl.NO_MOVE, np.uint16) for side in beliefs}
        searching = updating = 0.0
        moves = 0
        step = batch.observe()
        for ply in range(plies):
            positions = np.zeros(len(batch), np.int64)
            for side, belief in beliefs.items():
                start = time.process_time()
                if ply:
                    belief.update(played[side], threads=1)
                updating += time.process_time() - start
                start = time.process_time()
                chosen = belief.choose(samples=samples, depth=depth, threads=1)
                searching += time.process_time() - start
                acting = chosen >= 0
                moves += int(acting.sum())
                positions[acting] = chosen[acting]
                played[side][acting] = step.moves[step.offsets[:-1][acting] + chosen[acting]]
            digest.update(positions.tobytes())
            step = batch.step(positions, by="position")
            for side in played:
                played[side][step.restarting] = murkplay_rl.NO_MOVE
        print(f"search at depth {depth}, {samples} samples: {searching / moves * 1e3:.2f} ms of CPU a move, "
              f"belief update {updating / moves * 1e3:.2f} ms ({moves} moves, one thread)")
    print(f"moves played: {digest.hexdigest()[:16]}")


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


def _king_square(game, white: bool) -> str:
    king = 6 if white else -6
    return next("abcdefgh"[f] + str(8 - r) for r, rank in enumerate(game.board) for f, piece in enumerate(rank)
                if piece == king)


def _king_takeable(game, white: bool) -> bool:
    """Whether the side to move in ``game`` can take ``white``'s king (a move of its lands there)."""
    square = _king_square(game, white)
    return any(move[2:4] == square for move in game.legal_actions_uci())


def _exposure(positions, move: str, white: bool) -> float:
    """The share of ``positions`` in which ``move`` leaves ``white``'s king to be taken at once."""
    def exposed(position):
        after = position.clone()
        after.apply(move)
        return not after.is_terminal() and _king_takeable(after, white)
    return sum(map(exposed, positions)) / len(positions)


def losses(games: int) -> None:
    import numpy as np

    import murkplay_rl
    from murkplay_rl import agents, arena

    search, belief = agents.load("search"), agents.load("belief")
    kinds: dict[tuple[str, ...], int] = {}
    rows = []
    won = lost = 0
    for colour, (white, black) in enumerate(((search, belief), (belief, search))):
        search.forget()
        belief.forget()
        played = arena.play_games(white, black, (games + 1 - colour) // 2, seed=1 + colour)
        mine = colour == 0  # the search agent plays White
        for g in range(len(played.result)):
            outcome = played.result[g] if mine else -played.result[g]
            won += outcome > 0
            if outcome >= 0:
                continue
            lost += 1
            moves = [murkplay_rl.move_uci(int(code)) for code in played.moves[:played.plies[g], g]]
            game = SelfPlayGame()
            tracker = BeliefTracker(game, mine, limit=5_000, seed=5)
            own = None
            for ply, move in enumerate(moves[:-2]):  # up to its last move, the one before the king fell
                if (ply % 2 == 0) == mine:
                    if ply:
                        tracker.update(game, own)
                    own = move
                game.apply(move)
            if len(moves) > 2:
                tracker.update(game, own)
            fatal, taking = moves[-2], moves[-1]
            view = murkplay_rl.observe(game, viewer=mine)
            cell = (ord(taking[0]) - 97) + 8 * (int(taking[1]) - 1)
            seen = bool(view[cell if mine else cell ^ 56, 6:12].any())
            king_moved = fatal[:2] == _king_square(game, mine)
            drawn = tracker.sample(min(len(tracker), 300))
            safest = min(_exposure(drawn[:100], move, mine) for move in game.legal_actions_uci())
            key = ("the king moved" if king_moved else "another piece moved",
                   "the taker seen" if seen else "the taker unseen")
            kinds[key] = kinds.get(key, 0) + 1
            rows.append((tracker.exact, tracker.keeps(game), _exposure(drawn, fatal, mine), safest))
    print(f"search against belief: {won} won, {lost} lost of {games} games; of each lost game's last move:")
    for key, count in sorted(kinds.items(), key=lambda item: -item[1]):
        print(f"  {count:3d}  {', '.join(key)}")
    if rows:
        exact, kept, risk, safest = (np.array(column) for column in zip(*rows))
        print(f"  the belief exact in {exact.sum()} of {lost}, holding the true position in {kept.sum()}; "
              f"the move played left the king to be taken in {np.median(risk):.0%} of its positions (median), "
              f"the safest legal move in {np.median(safest):.0%}; a move safe in every one drawn existed in "
              f"{(safest == 0).sum()} of {lost}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--games", type=int, default=1000)
    parser.add_argument("--growth-games", type=int, default=50)
    parser.add_argument("--invariant-plies", type=int, default=40)
    parser.add_argument("--limit", type=int, default=100_000)
    parser.add_argument("--search-plies", type=int, default=40)
    parser.add_argument("--search-depths", type=int, nargs="*", default=[3, 4])
    parser.add_argument("--strength-games", type=int, default=200)
    parser.add_argument("--opponents", nargs="*", default=["greedy", "cautious"])
    parser.add_argument("--samples", type=int, default=8)
    parser.add_argument("--depth", type=int, default=3)
    parser.add_argument("--losses", type=int, default=0, help="games of the search agent against the belief agent "
                                                               "whose losses to look at")
    args = parser.parse_args()
    if args.growth_games:
        growth(args.growth_games, args.limit)
    if args.games:
        invariant(args.games, args.invariant_plies, args.limit)
    if args.search_plies:
        search_cost(args.search_plies, args.samples, args.search_depths)
    if args.strength_games:
        strength(args.strength_games, args.opponents, args.samples, args.depth)
    if args.losses:
        losses(args.losses)


if __name__ == "__main__":
    main()
