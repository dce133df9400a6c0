"""The arena: agents play each other in batches, and ratings are fitted to the results.

Every pair plays its games in two batches, one for each way of giving out the colours. Within a
batch every game has the same agent as White; a built-in agent answering another agent's move
plays natively in the same call (``reply=``), so two built-in agents play a move pair per call.
A game still going at the ply limit counts as a draw. The games are written to a dataset of
game records, with ``arena.json`` beside the shards naming who played White and Black in each,
so the ratings can be fitted again from the records alone (``ratings_from_records``).

    python -m murkplay_rl.arena random greedy cautious --games 2000 --threads 2 --out build/arena
"""

from __future__ import annotations

import argparse
import dataclasses
import itertools
import json
import os
import sys
from typing import Callable, Sequence

import numpy as np

import murkplay_rl
from murkplay import SelfPlayGame
from murkplay_rl import agents as agents_module
from murkplay_rl import ratings as ratings_module
from murkplay_rl._optional import require
from murkplay_rl.dataset import GameRecord

START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
# Any position with Black to move: a slot depends on nothing else of the position.
_BLACK_TO_MOVE_FEN = "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1"
SIDECAR = "arena.json"


@dataclasses.dataclass
class MatchResult:
    """Games between two agents, counted from the first agent's side."""

    first: str
    second: str
    wins: int
    losses: int
    draws: int

    @property
    def games(self) -> int:
        return self.wins + self.losses + self.draws

    @property
    def points(self) -> float:
        return self.wins + self.draws / 2

    @property
    def score(self) -> float:
        return self.points / self.games if self.games else 0.5

    @property
    def interval(self) -> tuple[float, float]:
        """The 95 % interval of the score (Wilson's, draws half a point)."""
        return ratings_module.score_interval(self.points, self.games)

    def __add__(self, other: MatchResult) -> MatchResult:
        return MatchResult(self.first, self.second, self.wins + other.wins, self.losses + other.losses,
                           self.draws + other.draws)


@dataclasses.dataclass
class PlayedGames:
    """The games of one batch: ``moves`` holds ply after ply of every game (a column a game)."""

    white: str
    black: str
    seed: int
    result: np.ndarray  # float32 (games,): White's value
    plies: np.ndarray  # int32 (games,)
    moves: np.ndarray  # uint16 (plies, games)

    def score(self, first: str) -> MatchResult:
        """The results from the side of ``first``, which played White or Black here."""
        wins, losses = int(np.sum(self.result > 0)), int(np.sum(self.result < 0))
        draws = len(self.result) - wins - losses
        if first == self.white:
            return MatchResult(self.white, self.black, wins, losses, draws)
        return MatchResult(self.black, self.white, losses, wins, draws)

    def records(self) -> list[GameRecord]:
        codes = self.moves
        played = np.arange(len(codes))[:, None] < self.plies[None, :]
        unique, inverse = np.unique(codes[played], return_inverse=True)
        texts = [murkplay_rl.move_uci(int(code)) for code in unique]
        # White moves at even plies, Black at odd: each side's slots are from its own side.
        sides = (SelfPlayGame(START_FEN), SelfPlayGame(_BLACK_TO_MOVE_FEN))
        slot_of = np.array([[side.action_index(text) for text in texts] for side in sides], dtype=np.int64)
        index = np.zeros(codes.shape, dtype=np.int64)
        index[played] = inverse
        parity = (np.arange(len(codes)) % 2)[:, None]
        slots = slot_of[np.broadcast_to(parity, codes.shape), index]
        text_of = np.array(texts, dtype=object)
        records = []
        for game, length in enumerate(self.plies.tolist()):
            records.append(GameRecord(
                start=START_FEN, moves=text_of[index[:length, game]].tolist(), slots=slots[:length, game].tolist(),
                plies=length, result=float(self.result[game]), seed=self.seed,
            ))
        return records


def play_games(white, black, games: int, *, max_plies: int = 300, threads: int = 1, seed: int = 0,
               progress: Callable[[int], object] | None = None) -> PlayedGames:
    """``games`` games of ``white`` against ``black`` on one batch, each played to its end or to
    ``max_plies`` plies. ``progress`` is called with the number of games that just ended."""
    if max_plies < 1:
        raise ValueError(f"max_plies must be at least 1, not {max_plies}")
    # A game that ends restarts at the next call; it has played its part and is not read again.
    batch = murkplay_rl.GameBatch(games, max_plies=max_plies, auto_reset=True, seed=seed, threads=threads)
    observe = agents_module.observes(white) or agents_module.observes(black)
    step = batch.observe() if observe else None
    done = np.zeros(games, dtype=bool)
    result = np.zeros(games, dtype=np.float32)
    plies = np.zeros(games, dtype=np.int32)
    columns: list[np.ndarray] = []
    movers = (white, black)
    turn = 0
    while not done.all():
        mover, answer = movers[turn], movers[1 - turn]
        reply = agents_module.builtin_name(answer)
        step = agents_module.play(mover, step, batch, reply=reply, observe=observe)
        columns.append(step.played_move.copy())
        if reply is None:
            turn = 1 - turn
        else:
            columns.append(step.reply_move.copy())
        ended = (step.terminated | step.truncated) & ~done
        result[ended] = step.values[ended, 0]
        plies[ended] = step.plies[ended]
        done |= ended
        if progress is not None and ended.any():
            progress(int(ended.sum()))
    return PlayedGames(white.name, black.name, seed, result, plies, np.stack(columns))


def match(agent_a, agent_b, games: int = 100, *, max_plies: int = 300, threads: int = 1, seed: int = 0,
          writer=None, progress: Callable[[int], object] | None = None) -> MatchResult:
    """``games`` games between two agents (or specs of ``agents.load``), half with each colour;
    the result is from ``agent_a``'s side. ``writer`` (a ``dataset.RecordWriter``) receives the
    games' records."""
    first = agents_module.load(agent_a)
    played = _match_games(first, agent_b, games, max_plies=max_plies, threads=threads, seed=seed,
                          progress=progress)
    if writer is not None:
        for batch_games in played:
            writer.write(batch_games.records())
    return _tally(played, first.name)


def _match_games(agent_a, agent_b, games, *, max_plies, threads, seed, progress) -> list[PlayedGames]:
    first, second = agents_module.load(agent_a), agents_module.load(agent_b)
    if first.name == second.name:
        raise ValueError(f"two agents are both named {first.name!r}; give one another name")
    halves = ((first, second, (games + 1) // 2), (second, first, games // 2))
    return [
        play_games(white, black, count, max_plies=max_plies, threads=threads, seed=seed + colour, progress=progress)
        for colour, (white, black, count) in enumerate(halves)
        if count
    ]


def _tally(played: Sequence[PlayedGames], first: str) -> MatchResult:
    total = played[0].score(first)
    for more in played[1:]:
        total = total + more.score(first)
    return total


@dataclasses.dataclass
class Tournament:
    names: list[str]
    matches: list[MatchResult]
    ratings: ratings_module.Ratings

    def table(self) -> str:
        width = max(len(name) for name in self.names)
        lines = [f"{'agent':<{width}}  {'against':<{width}}  {'wins':>6} {'losses':>6} {'draws':>6}  "
                 f"score  95 % interval"]
        for result in self.matches:
            low, high = result.interval
            lines.append(f"{result.first:<{width}}  {result.second:<{width}}  {result.wins:>6} {result.losses:>6} "
                         f"{result.draws:>6}  {result.score:.3f}  {low:.3f} .. {high:.3f}")
        return "\n".join(lines)


def tournament(agent_specs: Sequence, games: int = 100, *, max_plies: int = 300, threads: int = 1, seed: int = 0,
               out: str | os.PathLike | None = None, progress: bool = False, prior_draws: float = 1.0) -> Tournament:
    """Every pair of agents plays ``games`` games; the ratings are fitted to all of them.

    With ``out``, a directory holding no shards yet, every game is written there as a record,
    with ``arena.json`` naming who played White and Black in each.
    """
    loaded = [agents_module.load(spec) for spec in agent_specs]
    names = [agent.name for agent in loaded]
    if len(set(names)) != len(names) or len(names) < 2:
        raise ValueError(f"a tournament needs at least two agents of different names, not {names}")
    pairs = list(itertools.combinations(range(len(loaded)), 2))
    bar = None
    if progress:
        tqdm = require("tqdm", "arena", "the arena's progress bar")
        bar = tqdm.tqdm(total=games * len(pairs), unit="game", file=sys.stderr)
    writer = _writer(out) if out is not None else None
    sidecar = {"agents": names, "max_plies": max_plies, "seed": seed, "white": [], "black": []}
    matches = []
    try:
        for number, (i, j) in enumerate(pairs):
            played = _match_games(loaded[i], loaded[j], games, max_plies=max_plies, threads=threads,
                                  seed=seed + 2 * number, progress=bar.update if bar else None)
            matches.append(_tally(played, names[i]))
            if writer is not None:
                for batch_games in played:
                    writer.write(batch_games.records())
                    count = len(batch_games.result)
                    sidecar["white"] += [names.index(batch_games.white)] * count
                    sidecar["black"] += [names.index(batch_games.black)] * count
    finally:
        if bar is not None:
            bar.close()
        if writer is not None:
            writer.close()
            with open(os.path.join(writer.directory, SIDECAR), "w") as sink:
                json.dump(sidecar, sink)
    fitted = ratings_module.fit(
        names, [(names.index(m.first), names.index(m.second), m.points, m.games) for m in matches],
        prior_draws=prior_draws)
    return Tournament(names, matches, fitted)


def _writer(out):
    from murkplay_rl.dataset import RecordWriter, shard_paths

    if os.path.isdir(out) and (shard_paths(out) or os.path.exists(os.path.join(out, SIDECAR))):
        raise ValueError(f"{os.fspath(out)!r} already holds games; the arena writes into a fresh directory")
    return RecordWriter(out)


def ratings_from_records(directory, *, prior_draws: float = 1.0) -> ratings_module.Ratings:
    """The ratings fitted again from an arena's records and the ``arena.json`` beside them."""
    from murkplay_rl.dataset import read_records

    with open(os.path.join(directory, SIDECAR)) as source:
        sidecar = json.load(source)
    names = sidecar["agents"]
    count = len(names)
    points = np.zeros((count, count))
    games = np.zeros((count, count))
    records = list(read_records(directory))
    if len(records) != len(sidecar["white"]):
        raise ValueError(f"{len(records)} records, but {SIDECAR} names the players of {len(sidecar['white'])}")
    for record, white, black in zip(records, sidecar["white"], sidecar["black"]):
        points[white, black] += (1 + record.result) / 2
        points[black, white] += (1 - record.result) / 2
        games[white, black] += 1
    pairs = [(i, j, points[i, j], games[i, j] + games[j, i]) for i in range(count) for j in range(i + 1, count)]
    return ratings_module.fit(names, pairs, prior_draws=prior_draws)


def chart(ratings: ratings_module.Ratings, path, *, title: str = "Ratings (Elo, 95 % intervals)") -> None:
    """A PNG chart of the ratings with their intervals."""
    matplotlib = require("matplotlib", "arena", "the arena's chart")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    order = np.argsort(ratings.elo, kind="stable")
    figure, axes = plt.subplots(figsize=(7, 1 + 0.5 * len(order)))
    try:
        elo = ratings.elo[order]
        axes.errorbar(elo, np.arange(len(order)), xerr=[elo - ratings.low[order], ratings.high[order] - elo],
                      fmt="o", capsize=4)
        axes.set_yticks(np.arange(len(order)), [ratings.names[i] for i in order])
        axes.set_xlabel(f"Elo ({ratings.anchor} = 0)")
        axes.set_title(title)
        axes.grid(axis="x", alpha=0.3)
        figure.tight_layout()
        figure.savefig(path, format="png")
    finally:
        plt.close(figure)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m murkplay_rl.arena", description=__doc__.split("\n\n")[0])
    parser.add_argument("agents", nargs="+", help="random, greedy, cautious, a checkpoint path or module:callable")
    parser.add_argument("--games", type=int, default=100, help="games of every pair (default 100)")
    parser.add_argument("--max-plies", type=int, default=300, help="a game still going then is a draw (default 300)")
    parser.add_argument("--threads", type=int, default=1, help="native threads of each batch (default 1)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--out", help="a fresh directory for the game records, arena.json and ratings.png")
    parser.add_argument("--prior-draws", type=float, default=1.0,
                        help="imagined draws per pair that keep perfect scores finite (default 1)")
    options = parser.parse_args(argv)
    if len(options.agents) < 2:
        parser.error("name at least two agents")
    result = tournament(options.agents, options.games, max_plies=options.max_plies, threads=options.threads,
                        seed=options.seed, out=options.out, progress=True, prior_draws=options.prior_draws)
    print(result.table())
    print()
    print(result.ratings.table())
    if options.prior_draws:
        plural = "" if options.prior_draws == 1 else "s"
        print(f"(each pair's results include {options.prior_draws:g} imagined draw{plural}, "
              "which keep perfect scores finite)")
    if options.out:
        path = os.path.join(options.out, "ratings.png")
        chart(result.ratings, path)
        print(f"games, arena.json and ratings.png written to {options.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
