"""The arena: agents play each other in batches, and ratings are fitted to the results.

Every pair plays its games in two batches, one for each way of giving out the colours. Within a
batch every game has the same agent as White; a built-in agent answering another agent's move
plays natively in the same call (``reply=``), so two built-in agents play a move pair per call.
A game still going at the ply limit counts as a draw.

    python -m murkplay_rl.arena random greedy cautious --games 2000 --threads 2 --out build/arena

Given a directory, the arena writes the games there as a dataset of game records, with
``arena.json`` beside the shards naming who played White and Black in each, so the ratings
can be fitted again from the records alone (``ratings_from_records``).
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
from murkplay_rl import agents as agents_module
from murkplay_rl import ratings as ratings_module
from murkplay_rl import _cli
from murkplay_rl._checks import MAX_PLIES, MAX_SEED, integer, non_negative
from murkplay_rl._optional import MissingExtra, require
from murkplay_rl.dataset import START_FEN, GameRecord, records_of

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
    """The games of one batch: ``moves`` and ``slots`` hold ply after ply of every game (a
    column a game), each slot from its mover's side."""

    white: str
    black: str
    seed: int
    result: np.ndarray  # float32 (games,): White's value
    plies: np.ndarray  # int32 (games,)
    moves: np.ndarray  # uint16 (plies, games)
    slots: np.ndarray  # int16 (plies, games)

    def score(self, first: str) -> MatchResult:
        """The results from the side of ``first``, which played White or Black here."""
        wins, losses = int(np.sum(self.result > 0)), int(np.sum(self.result < 0))
        draws = len(self.result) - wins - losses
        if first == self.white:
            return MatchResult(self.white, self.black, wins, losses, draws)
        return MatchResult(self.black, self.white, losses, wins, draws)

    def records(self) -> list[GameRecord]:
        return records_of(START_FEN, self.moves.T, self.slots.T, self.plies, self.result, seed=self.seed)


def play_games(white, black, games: int, *, max_plies: int = 300, threads: int = 1, seed: int = 0,
               progress: Callable[[int], object] | None = None) -> PlayedGames:
    """``games`` games of ``white`` against ``black`` (agents or specs of ``agents.load``) on one batch, each played to its end or to
    ``max_plies`` plies. ``progress`` is called with the number of games that just ended.
    ``seed`` seeds the batch's random streams, from which the built-in agents draw among equal
    moves; an agent with streams of its own (the belief and search agents) plays the same games
    at any ``seed``, and plays others only with another seed of its own.

    Two built-in agents keep nothing between calls, so once half the games of their batch have
    ended, the games still going move to a batch of their own (whose random streams, seeded
    afresh, choose on) and the ended ones stop costing a step.
    """
    games, max_plies, threads, seed = _checked_play(games, max_plies, threads, seed)
    white, black = agents_module.load(white), agents_module.load(black)
    # A game that ends restarts at the next call; it has played its part and is not read again.
    batch = murkplay_rl.GameBatch(games, max_plies=max_plies, auto_reset=True, seed=seed, threads=threads)
    rows = np.arange(games)  # the game each row of the batch plays
    before = 0  # plies the games had played when they moved to this batch
    shrinks = agents_module.builtin_name(white) is not None and agents_module.builtin_name(black) is not None
    observe = agents_module.observes(white) or agents_module.observes(black)
    # Codes when every agent that reads the observation reads codes: some 263 bytes a game.
    codes = observe and all(agents_module.reads_codes(a) for a in (white, black) if agents_module.observes(a))
    step = batch.observe(codes=codes) if observe else None
    done = np.zeros(games, dtype=bool)
    result = np.zeros(games, dtype=np.float32)
    plies = np.zeros(games, dtype=np.int32)
    columns: list[np.ndarray] = []  # the move of every game, ply by ply
    slot_columns: list[np.ndarray] = []
    movers = (white, black)
    turn = 0
    while not done.all():
        mover, answer = movers[turn], movers[1 - turn]
        reply = agents_module.builtin_name(answer)
        step = agents_module.play(mover, step, batch, reply=reply, observe=observe, codes=codes)
        columns.append(_column(games, rows, step.played_move, murkplay_rl.NO_MOVE, np.uint16))
        slot_columns.append(_column(games, rows, step.played_slot, 0, np.int16))
        if reply is None:
            turn = 1 - turn
        else:
            columns.append(_column(games, rows, step.reply_move, murkplay_rl.NO_MOVE, np.uint16))
            slot_columns.append(_column(games, rows, step.reply_slot, 0, np.int16))
        ended = step.restarting & ~done[rows]
        result[rows[ended]] = step.values[ended, 0]
        plies[rows[ended]] = step.plies[ended] + before
        done[rows[ended]] = True
        if progress is not None and ended.any():
            progress(int(ended.sum()))
        going = np.flatnonzero(~done[rows])
        if shrinks and 0 < len(going) <= len(rows) // 2:
            # Every game still going has played as many plies as the others.
            before += int(step.plies[going[0]])
            generation = np.random.SeedSequence([seed, before]).generate_state(1, np.uint64)[0]
            batch = murkplay_rl.GameBatch([batch[int(row)] for row in going], max_plies=max_plies - before,
                                          auto_reset=True, seed=int(generation), threads=threads)
            rows = rows[going]
    return PlayedGames(white.name, black.name, seed, result, plies, np.stack(columns), np.stack(slot_columns))


def _column(games: int, rows: np.ndarray, values: np.ndarray, missing, dtype) -> np.ndarray:
    """One ply of every game: the values of the batch's rows, ``missing`` for the games not in it."""
    column = np.full(games, missing, dtype=dtype)
    column[rows] = values
    return column


def _checked_play(games, max_plies, threads, seed) -> tuple[int, int, int, int]:
    """The settings of a batch of arena games, checked before anything is played. A game needs
    a ply limit: two agents that never take a king would play on for ever."""
    return (integer("games", games, 1), integer("max_plies", max_plies, 1, MAX_PLIES),
            integer("threads", threads, 1, murkplay_rl.MAX_THREADS), integer("seed", seed, 0, MAX_SEED // 2))


def match(agent_a, agent_b, games: int = 100, *, max_plies: int = 300, threads: int = 1, seed: int = 0,
          writer=None, progress: Callable[[int], object] | None = None) -> MatchResult:
    """``games`` games between two agents (or specs of ``agents.load``), half with each colour;
    the result is from ``agent_a``'s side. ``writer`` (a ``dataset.RecordWriter``) receives the
    games' records."""
    _checked_play(games, max_plies, threads, seed)
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

    With ``out``, a directory holding no games yet, every game is written there as a record,
    with ``arena.json`` naming who played White and Black in each. Everything is checked before
    the first game, so a refused call leaves nothing behind; an interrupted one leaves the
    records of the games it finished, with their ``arena.json``.
    """
    _checked_play(games, max_plies, threads, seed)
    prior_draws = non_negative("prior_draws", prior_draws)
    loaded = [agents_module.load(spec) for spec in agent_specs]
    names = _distinct_names(loaded)
    pairs = list(itertools.combinations(range(len(loaded)), 2))
    tqdm = require("tqdm", "arena", "the arena's progress bar") if progress else None
    writer, created = _writer(out) if out is not None else (None, False)
    bar = tqdm.tqdm(total=games * len(pairs), unit=" games", file=sys.stderr) if tqdm else None
    # (White, Black, games) of every batch handed to the writer, in order.
    colours: list[tuple[int, int, int]] = []
    matches = []
    try:
        for number, (i, j) in enumerate(pairs):
            if bar is not None:
                bar.set_description(f"{names[i]} v {names[j]}")
            played = _match_games(loaded[i], loaded[j], games, max_plies=max_plies, threads=threads,
                                  seed=seed + 2 * number, progress=bar.update if bar else None)
            matches.append(_tally(played, names[i]))
            if writer is not None:
                for batch_games in played:
                    colours.append((names.index(batch_games.white), names.index(batch_games.black),
                                    len(batch_games.result)))
                    writer.write(batch_games.records())
    finally:
        if bar is not None:
            bar.close()
        if writer is not None:
            _finish(writer, created, {"agents": names, "max_plies": max_plies, "seed": seed}, colours)
    fitted = ratings_module.fit(
        names, [(names.index(m.first), names.index(m.second), m.points, m.games) for m in matches],
        prior_draws=prior_draws)
    return Tournament(names, matches, fitted)


def _distinct_names(loaded) -> list[str]:
    names = [agent.name for agent in loaded]
    if len(set(names)) != len(names) or len(names) < 2:
        raise ValueError(f"a tournament needs at least two agents of different names, not {names}")
    return names


def _writer(out):
    """A writer of a directory holding no games yet, and whether the directory is new."""
    from murkplay_rl.dataset import RecordWriter, shard_paths

    require("pyarrow", "arena", "the arena's game records")
    if os.path.exists(out) and not os.path.isdir(out):
        raise ValueError(f"out: {os.fspath(out)!r} is a file, not a directory")
    if os.path.isdir(out) and (shard_paths(out) or os.path.exists(os.path.join(out, SIDECAR))):
        raise ValueError(f"out: {os.fspath(out)!r} already holds games; the arena writes into a fresh directory")
    created = not os.path.exists(out)
    return RecordWriter(out), created


def _finish(writer, created: bool, sidecar: dict, colours) -> None:
    """Writes what the writer holds and the ``arena.json`` of the records on disk; a directory
    made for games that never came is removed again."""
    writer.close()
    taken = writer.written_games
    white, black = [], []
    for first, second, count in colours:
        white += [first] * count
        black += [second] * count
    if taken:
        path = os.path.join(writer.directory, SIDECAR)
        with open(path + ".tmp", "w") as sink:
            json.dump({**sidecar, "white": white[:taken], "black": black[:taken]}, sink)
        os.replace(path + ".tmp", path)
    elif created:
        os.rmdir(writer.directory)


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
    """A PNG chart of the ratings with their intervals, each point labelled with its value."""
    matplotlib = require("matplotlib", "arena", "the arena's chart")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    order = np.argsort(ratings.elo, kind="stable")
    figure, axes = plt.subplots(figsize=(7, 1 + 0.5 * len(order)))
    try:
        elo = ratings.elo[order]
        rows = np.arange(len(order))
        axes.errorbar(elo, rows, xerr=[elo - ratings.low[order], ratings.high[order] - elo], fmt="o", capsize=4)
        for row, i in zip(rows, order):
            anchored = ratings.names[i] == ratings.anchor
            interval = "anchor" if anchored else f"{ratings.low[i]:.0f} .. {ratings.high[i]:.0f}"
            axes.annotate(f"{ratings.elo[i]:.0f} ({interval})", (ratings.elo[i], row), textcoords="offset points",
                          xytext=(0, 7), ha="center", fontsize=8)
        axes.set_yticks(rows, [ratings.names[i] for i in order])
        axes.set_ylim(-0.6, len(order) - 0.2)
        axes.margins(x=0.1)
        axes.set_xlabel(f"Elo ({ratings.anchor} = 0)")
        axes.set_title(title)
        axes.grid(axis="x", alpha=0.3)
        figure.tight_layout()
        figure.savefig(path, format="png")
    finally:
        plt.close(figure)


HELP_EPILOG = """agents:
{agents}

Every pair plays --games games, half with each colour. --out keeps every game as a Parquet
record, arena.json (who played which colour) and ratings.png; arena.ratings_from_records(DIR)
fits the ratings again from them."""


def main(argv: Sequence[str] | None = None) -> int:
    parser = _cli.ArgumentParser(prog="python -m murkplay_rl.arena", description=__doc__.split("\n\n")[0],
                                 epilog=HELP_EPILOG.format(agents=agents_module.describe()),
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("agents", nargs="+", metavar="AGENT", help="two or more agents (below)")
    parser.add_argument("--games", type=_cli.integer(1), default=100, help="games of every pair (default 100)")
    parser.add_argument("--max-plies", type=_cli.integer(1, MAX_PLIES), default=300,
                        help="a game still going then is a draw (default 300)")
    parser.add_argument("--threads", type=_cli.integer(1, murkplay_rl.MAX_THREADS), default=1,
                        help="native threads of each batch (default 1)")
    parser.add_argument("--seed", type=_cli.integer(0, MAX_SEED // 2), default=0, help="(default 0)")
    parser.add_argument("--out", metavar="DIR",
                        help="a fresh directory for the game records, arena.json and ratings.png")
    parser.add_argument("--prior-draws", type=_cli.number(0), default=1.0,
                        help="imagined draws per pair that keep perfect scores finite (default 1)")
    options = parser.parse_args(argv)
    if len(options.agents) < 2:
        parser.error("name at least two agents")
    try:
        loaded = [_load(spec) for spec in options.agents]
        _distinct_names(loaded)
        if options.out is not None:
            require("matplotlib", "arena", "the arena's chart")  # drawn last: missed before any game
        result = tournament(loaded, options.games, max_plies=options.max_plies, threads=options.threads,
                            seed=options.seed, out=options.out, progress=True, prior_draws=options.prior_draws)
    except (ValueError, TypeError, MissingExtra) as error:
        parser.error(str(error))
    except KeyboardInterrupt:
        print(f"interrupted: {_written(options.out)}", file=sys.stderr)
        return 130
    print(result.table())
    print()
    print(result.ratings.table())
    if options.prior_draws:
        plural = "" if options.prior_draws == 1 else "s"
        print(f"(each pair's results include {options.prior_draws:g} imagined draw{plural}: "
              "a weak prior that keeps perfect scores finite)")
    if options.out:
        chart(result.ratings, os.path.join(options.out, "ratings.png"))
    print(_written(options.out))
    return 0


def _load(spec: str):
    """An agent named on the command line. Whatever stops it loading (a file that is no
    checkpoint, a module that fails) is the caller's to fix, so it becomes a usage error."""
    try:
        return agents_module.load(spec)
    except Exception as error:
        kind = "" if isinstance(error, (ValueError, MissingExtra)) else f"{type(error).__name__}: "
        raise ValueError(f"agent {spec!r}: {kind}{error}") from error


def _written(out) -> str:
    """The closing line: what the run left where."""
    if out is None:
        return "nothing written (--out DIR keeps the games, arena.json and ratings.png)"
    sidecar = os.path.join(out, SIDECAR)
    if not os.path.exists(sidecar):
        return f"nothing written to {out}"
    with open(sidecar) as source:
        games = len(json.load(source)["white"])
    chart_too = " and ratings.png" if os.path.exists(os.path.join(out, "ratings.png")) else ""
    return f"wrote {games} game records, {SIDECAR}{chart_too} to {out}"


if __name__ == "__main__":
    sys.exit(main())
