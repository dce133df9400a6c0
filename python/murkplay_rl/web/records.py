"""Recorded games to replay: the record sets under one directory, read with the dataset's
checks, and each game's positions and beliefs ply by ply.

A record set is the directory given, or one of its subdirectories, holding the Parquet shards
that the arena or a ``RecordWriter`` wrote; an ``arena.json`` beside them names who played
White and Black in each game. Pages name a set by its name and a game by its number, never by
a path; every name is resolved and checked to lie inside the directory anyway, and so is every
shard, so a symbolic link cannot lead a page outside it.
"""

from __future__ import annotations

import dataclasses
import json
import os
import threading
from collections import OrderedDict

import numpy as np

import murkplay
import murkplay_rl
from murkplay_rl import dataset
from murkplay_rl.web.boards import belief_view, result_text, side_view, true_view
from murkplay_rl.web.errors import Refused
from murkplay_rl.web.play import BELIEF_LIMIT

SIDECAR = "arena.json"
# Sets held in memory at once, and games whose beliefs are kept ply by ply.
_SETS = 4
_BELIEFS = 8


@dataclasses.dataclass
class Games:
    """The games of one record set, their moves as move codes (two bytes a ply)."""

    starts: list[str]
    moves: np.ndarray  # uint16, every game's moves one after another
    offsets: np.ndarray  # int64 (games + 1,)
    results: np.ndarray  # float32: White's value
    white: list[str] | None  # the agents, where arena.json names them
    black: list[str] | None
    warning: str | None  # why some of the set's games could not be read

    def __len__(self) -> int:
        return len(self.results)

    def plies(self, number: int) -> int:
        return int(self.offsets[number + 1] - self.offsets[number])

    def summary(self, number: int) -> dict:
        plies = self.plies(number)
        result = float(self.results[number])
        return {
            "game": number,
            "plies": plies,
            "result": result_text(result, result != 0),
            "white": self.white[number] if self.white else None,
            "black": self.black[number] if self.black else None,
        }

    def game(self, number: int) -> dict:
        codes = self.moves[self.offsets[number]:self.offsets[number + 1]]
        return {**self.summary(number), "start": self.starts[number],
                "moves": [murkplay_rl.move_uci(int(code)) for code in codes]}

    def position(self, number: int, ply: int) -> murkplay.SelfPlayGame:
        """The game after its first ``ply`` moves."""
        game = murkplay.SelfPlayGame(self.starts[number])
        for code in self.moves[self.offsets[number]:self.offsets[number] + ply]:
            game.apply(murkplay_rl.move_uci(int(code)))
        return game


def read_games(directory: str) -> Games:
    """Every record of a set, each checked as ``dataset.read_records`` checks it. A damaged
    shard ends the reading there; the games before it are kept and the warning says why."""
    starts, codes, plies, results = [], [], [], []
    warning = None
    try:
        for record in dataset.read_records(directory):
            starts.append(record.start)
            codes.extend(murkplay_rl.move_code(move) for move in record.moves)
            plies.append(record.plies)
            results.append(record.result)
    except ValueError as error:
        warning = f"{len(results)} games read; the rest could not be: {error}"
    offsets = np.zeros(len(plies) + 1, np.int64)
    np.cumsum(plies, out=offsets[1:])
    white, black = _players(directory, len(results))
    return Games(starts, np.array(codes, np.uint16), offsets, np.array(results, np.float32), white, black,
                 warning)


def _players(directory: str, count: int) -> tuple[list[str] | None, list[str] | None]:
    """The agents of each game, from the arena's sidecar; None where it is missing or does not
    fit the records (it is data like them, and only read)."""
    try:
        with open(os.path.join(directory, SIDECAR), encoding="utf-8") as source:
            sidecar = json.load(source)
    except (OSError, ValueError):
        return None, None
    names = sidecar.get("agents") if isinstance(sidecar, dict) else None
    if not isinstance(names, list) or not all(isinstance(name, str) for name in names):
        return None, None
    sides = []
    for colour in ("white", "black"):
        indices = sidecar.get(colour)
        if not isinstance(indices, list) or len(indices) != count or \
                not all(type(index) is int and 0 <= index < len(names) for index in indices):
            return None, None
        sides.append([names[index] for index in indices])
    return sides[0], sides[1]


class _Belief:
    """One side's tracker run over one game from its start, with its view at each of the
    side's turns reached so far."""

    def __init__(self, games: Games, number: int, white: bool):
        self.games, self.number, self.white = games, number, white
        self.lock = threading.Lock()
        self.game = games.position(number, 0)
        self.tracker = murkplay_rl.BeliefTracker(self.game, white, limit=BELIEF_LIMIT, seed=number)
        self.ply = 0
        self.last_own: str | None = None
        self.views = [(0, belief_view(self.tracker))]  # (ply, view), at the side's turns

    def at(self, ply: int) -> dict:
        """The belief as it stood at the side's latest turn up to ``ply``."""
        with self.lock:
            moves = self.games.moves[self.games.offsets[self.number]:self.games.offsets[self.number + 1]]
            while self.ply < ply:
                move = murkplay_rl.move_uci(int(moves[self.ply]))
                if self.game.turn == self.white:
                    self.last_own = move
                self.game.apply(move)
                self.ply += 1
                if self.game.turn == self.white and not self.game.is_terminal():
                    self.tracker.update(self.game, self.last_own)
                    self.views.append((self.ply, belief_view(self.tracker)))
            taken, view = next((taken, view) for taken, view in reversed(self.views) if taken <= ply)
            return {**view, "ply": taken}


class RecordSets:
    """The record sets under ``root``."""

    def __init__(self, root: str | os.PathLike):
        self.root = os.path.realpath(root)
        self.label = os.path.basename(self.root)
        self._lock = threading.Lock()
        self._loaded: OrderedDict[str, Games] = OrderedDict()
        self._beliefs: OrderedDict[tuple, _Belief] = OrderedDict()

    def names(self) -> list[str]:
        """The sets: "" for the directory itself when it holds shards, then its
        subdirectories that do, by name."""
        found = [""] if self._holds_shards(self.root) else []
        with os.scandir(self.root) as entries:
            for entry in sorted(entries, key=lambda entry: entry.name):
                if not entry.name.startswith(".") and entry.is_dir() and self._inside(entry.path) \
                        and self._holds_shards(entry.path):
                    found.append(entry.name)
        return found

    def games(self, name) -> Games:
        """The games of the set ``name``, read on first use."""
        path = self._path(name)
        with self._lock:
            games = self._loaded.get(name)
            if games is not None:
                self._loaded.move_to_end(name)
                return games
        for shard in dataset.shard_paths(path):
            if not self._inside(shard):
                raise Refused(403, f"{os.path.basename(shard)} of {name or self.label!r} lies outside the records "
                                   "directory")
        games = read_games(path)
        with self._lock:
            self._loaded[name] = games
            while len(self._loaded) > _SETS:
                self._loaded.popitem(last=False)
        return games

    def belief(self, name, number: int, ply: int, white: bool) -> dict:
        games = self.games(name)
        key = (name, number, white)
        with self._lock:
            belief = self._beliefs.get(key)
            if belief is None or belief.games is not games:
                belief = self._beliefs[key] = _Belief(games, number, white)
            self._beliefs.move_to_end(key)
            while len(self._beliefs) > _BELIEFS:
                self._beliefs.popitem(last=False)
        return belief.at(ply)

    def position_view(self, name, number: int, ply: int, view: str, belief: str | None) -> dict:
        games = self.games(name)
        game = games.position(number, ply)
        moves = games.moves[games.offsets[number]:games.offsets[number] + ply]
        squares = true_view(game) if view == "true" else side_view(game, view == "white")
        return {
            "ply": ply,
            "turn": "white" if game.turn else "black",
            "view": view,
            "squares": squares,
            "last": murkplay_rl.move_uci(int(moves[-1])) if ply else None,
            "over": ply == games.plies(number),
            "belief": None if belief is None else self.belief(name, number, ply, belief == "white"),
        }

    def _path(self, name) -> str:
        if not isinstance(name, str) or "\x00" in name:
            raise Refused(400, "a record set is named by text")
        path = os.path.realpath(os.path.join(self.root, name))
        if not self._inside(path):
            raise Refused(403, f"{name!r} lies outside the records directory")
        if name not in self.names():
            raise Refused(404, f"no record set is named {name!r}")
        return path

    def _inside(self, path: str) -> bool:
        return os.path.commonpath([self.root, os.path.realpath(path)]) == self.root

    @staticmethod
    def _holds_shards(path: str) -> bool:
        try:
            return bool(dataset.shard_paths(path))
        except OSError:
            return False
