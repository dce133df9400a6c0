"""Finished games as a dataset of Parquet shards, and their replay into training arrays.

A game record holds what is needed to play the game again: its start position, its moves, the
policy slot of each move, its length and result, and the seed and policy version that played
it. Records are written in shards of plain columns (string, list<string>, list<int16>, int32,
float32, int64), so pandas, polars, Hugging Face datasets or any other Parquet reader can load
them, with page checksums that reading verifies. pyarrow (the extra ``murkplay[dataset]``) is
imported by the calls that read or write.

Every record read or replayed is checked against the game it claims: a valid start position,
moves legal when played again, each slot the action index of its move, ``plies`` the number of
moves and ``result`` the outcome of the replayed game. A record that fails is refused with a
ValueError naming where it lies (the shard, or "records" for records handed over), its row and
the field, so a damaged dataset cannot train a policy on the wrong targets.
"""

from __future__ import annotations

import contextlib
import dataclasses
import itertools
import numbers
import os
import re
import secrets
import signal
import threading
from typing import Iterable, Iterator

import murkplay
import murkplay_rl
from murkplay_rl._checks import flag, integer
from murkplay_rl._optional import require

# Shards are numbered in the order they were written.
_SHARD = re.compile(r"^shard-(\d+)\.parquet$")


@dataclasses.dataclass
class GameRecord:
    """One finished game.

    ``result`` is White's value: 1.0 White captured the king, -1.0 Black did, 0.0 the game
    was cut off or stalled. ``seed`` is the seed of the sampling stream that chose the moves
    and ``policy_version`` the version of the weights that scored them.
    """

    start: str
    moves: list[str]
    slots: list[int]
    plies: int
    result: float
    seed: int = 0
    policy_version: int = 0


COLUMNS = tuple(field.name for field in dataclasses.fields(GameRecord))


def schema():
    pa = require("pyarrow", "dataset", "the dataset")

    return pa.schema([
        ("start", pa.string()),
        ("moves", pa.list_(pa.string())),
        ("slots", pa.list_(pa.int16())),
        ("plies", pa.int32()),
        ("result", pa.float32()),
        ("seed", pa.int64()),
        ("policy_version", pa.int64()),
    ])


def shard_paths(directory: str | os.PathLike) -> list[str]:
    """The complete shards of a directory in the order they were written; temporary files
    of a shard still being written (or abandoned by a crash) are not among them."""
    names = [name for name in os.listdir(directory) if _SHARD.match(name)]
    names.sort(key=lambda name: int(_SHARD.match(name).group(1)))
    return [os.path.join(directory, name) for name in names]


class RecordWriter:
    """Writes game records to ``directory`` in Parquet shards of ``shard_games`` records.

    A record handed to ``write`` stays in the writer until it is on disk: a flush that fails or
    is interrupted (Ctrl-C included) keeps every pending record, and leaving the ``with`` block,
    by an exception too, writes the records still held as a last, shorter shard. ``write``
    checks every record of a call before taking any, so a record that cannot be written is
    refused with a ValueError naming it and the call adds nothing.

    A shard is written under a hidden temporary name unique to the writer and linked into place
    under the next free shard number once complete, so a crash or an interrupt never leaves a
    partial file under a shard name, and writers appending to one directory, in one process or
    several, never take each other's numbers.

    A directory that already holds shards is refused (FileExistsError), since they are
    another run's games, unless ``append`` is true: then the new shards are numbered on from
    the highest there.
    """

    def __init__(self, directory: str | os.PathLike, shard_games: int = 4096, *, compression: str = "zstd",
                 append: bool = False):
        pa = require("pyarrow", "dataset", "RecordWriter")  # fail here, not at the first full shard
        require("pyarrow.parquet", "dataset", "RecordWriter")

        self.shard_games = integer("shard_games", shard_games, 1)
        if compression != "none" and not (isinstance(compression, str) and _codec_available(pa, compression)):
            raise ValueError(f"compression must be 'none' or a codec of pyarrow's (e.g. 'zstd'), not {compression!r}")
        append = flag("append", append)
        self.directory = os.fspath(directory)
        self.compression = compression
        os.makedirs(self.directory, exist_ok=True)
        existing = shard_paths(self.directory)
        if existing and not append:
            raise FileExistsError(
                f"{self.directory} already holds {len(existing)} shard(s) of another run: write to a new "
                "directory, or add to them with append=True"
            )
        self._token = f"{os.getpid()}-{secrets.token_hex(4)}"
        self._pending: list[GameRecord] = []
        self.written_games = 0
        self.written_plies = 0
        self.shards: list[str] = []

    @property
    def pending(self) -> int:
        """The records handed to ``write`` that are not on disk yet."""
        return len(self._pending)

    def write(self, records: Iterable[GameRecord]) -> None:
        records = list(records)
        if not _all_writable(records):
            for number, record in enumerate(records):
                problem = _unwritable(record)
                if problem is not None:
                    seed = f" (seed {record.seed})" if isinstance(record, GameRecord) else ""
                    raise ValueError(f"write(): record {number} of the call{seed}: {problem}")
        self._pending.extend(records)
        while len(self._pending) >= self.shard_games:
            self._flush(self.shard_games)

    def close(self) -> None:
        if self._pending:
            self._flush(len(self._pending))

    def __enter__(self) -> RecordWriter:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def _flush(self, count: int) -> None:
        """Writes the first ``count`` pending records as one shard; they stay pending until the
        shard holds them under its name, whatever fails or interrupts before."""
        pa = require("pyarrow", "dataset", "RecordWriter")
        pq = require("pyarrow.parquet", "dataset", "RecordWriter")

        records = self._pending[:count]
        temporary = os.path.join(self.directory, f".shard.{self._token}.tmp")
        try:
            table = pa.table({name: [getattr(r, name) for r in records] for name in COLUMNS}, schema=schema())
            with open(temporary, "wb") as sink:
                pq.write_table(table, sink, compression=self.compression, write_page_checksum=True)
                sink.flush()
                # Linking a file whose data is still in the page cache would not survive a power cut.
                os.fsync(sink.fileno())
            with _interrupt_deferred():
                # Between the shard taking its name and its records leaving the pending ones, a
                # Ctrl-C would have them written twice.
                final = self._claim(temporary)
                del self._pending[:count]
                self.shards.append(final)
                self.written_games += len(records)
                self.written_plies += sum(r.plies for r in records)
        finally:
            if os.path.exists(temporary):
                os.remove(temporary)
        _sync_directory(self.directory)

    def _claim(self, temporary: str) -> str:
        """Gives the complete shard ``temporary`` the next free shard name. A hard link is made
        only where no file of that name exists, so two writers never replace each other's."""
        while True:
            paths = shard_paths(self.directory)
            number = int(_SHARD.match(os.path.basename(paths[-1])).group(1)) + 1 if paths else 0
            final = os.path.join(self.directory, f"shard-{number:05d}.parquet")
            try:
                os.link(temporary, final)
            except FileExistsError:
                continue  # another writer took the number in between
            return final


@contextlib.contextmanager
def _interrupt_deferred():
    """Holds a Ctrl-C (SIGINT) back until the block has run, then delivers it as it would have
    been. Signals reach Python's handlers on the main thread only, so only there is any to hold."""
    if threading.current_thread() is not threading.main_thread() or signal.getsignal(signal.SIGINT) is None:
        yield  # off the main thread, or under a handler set outside Python, which could not be put back
        return
    held = []
    previous = signal.signal(signal.SIGINT, lambda *received: held.append(received))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if held:
            if callable(previous):
                previous(*held[0])
            elif previous == signal.SIG_DFL:
                signal.raise_signal(signal.SIGINT)


def _codec_available(pa, name: str) -> bool:
    try:
        return pa.Codec.is_available(name)
    except ValueError:
        return False


def _sync_directory(directory: str) -> None:
    """Makes a new name in ``directory`` survive a power cut."""
    descriptor = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


_INT64 = (-2**63, 2**63 - 1)


def _all_writable(records: list) -> bool:
    """Whether every record passes ``_unwritable``, tested at once for the common case, records
    the package made: their exact types, and the moves and slots of all of them together."""
    low, high = _INT64
    for r in records:
        if not (type(r) is GameRecord and type(r.start) is str and type(r.moves) is list and type(r.slots) is list
                and type(r.plies) is int and r.plies == len(r.moves) == len(r.slots)
                and type(r.result) in (float, int) and r.result in (-1, 0, 1)
                and type(r.seed) is int and low <= r.seed <= high
                and type(r.policy_version) is int and low <= r.policy_version <= high):
            return False
    moves = list(itertools.chain.from_iterable(r.moves for r in records))
    slots = list(itertools.chain.from_iterable(r.slots for r in records))
    return (set(map(type, moves)) <= {str} and set(map(type, slots)) <= {int}
            and (not slots or (min(slots) >= 0 and max(slots) < murkplay_rl.ACTION_COUNT)))


def _unwritable(record) -> str | None:
    """Why ``record`` cannot become a row of a shard, or None: each field must fit its column
    and mean what it says (a slot is a policy slot, the result one of the three outcomes)."""
    if not isinstance(record, GameRecord):
        return f"expected a GameRecord, got {type(record).__name__}"
    if not isinstance(record.start, str):
        return f"field 'start': expected FEN text, got {type(record.start).__name__}"
    if not isinstance(record.moves, list) or not all(type(move) is str for move in record.moves):
        return "field 'moves': expected a list of UCI strings"
    if not isinstance(record.slots, list):
        return f"field 'slots': expected a list of integers, got {type(record.slots).__name__}"
    slots = record.slots
    # The exact type first: it is what records hold, and the general test costs ten times more.
    if not (all(type(slot) is int for slot in slots)
            or all(isinstance(slot, numbers.Integral) and not isinstance(slot, bool) for slot in slots)):
        return "field 'slots': expected a list of integers"
    if slots and (min(slots) < 0 or max(slots) >= murkplay_rl.ACTION_COUNT):
        return f"field 'slots': a slot out of 0 to {murkplay_rl.ACTION_COUNT - 1}"
    for name in ("plies", "seed", "policy_version"):
        value = getattr(record, name)
        if isinstance(value, bool) or not isinstance(value, numbers.Integral) or not _INT64[0] <= value <= _INT64[1]:
            return f"field {name!r}: expected a 64-bit integer, got {value!r}"
    if record.plies != len(record.moves) or len(record.moves) != len(record.slots):
        return f"{record.plies} plies, {len(record.moves)} moves and {len(record.slots)} slots"
    result = record.result
    if isinstance(result, bool) or not isinstance(result, numbers.Real) or result not in (-1, 0, 1):
        return f"field 'result': expected 1.0, -1.0 or 0.0, got {record.result!r}"
    return None


def read_records(directory: str | os.PathLike) -> Iterator[GameRecord]:
    """The records of ``directory``, shard by shard in the order written, each shard checked
    whole (page checksums and every record) before any of its records is yielded."""
    for path in shard_paths(directory):
        records = _read_shard(path)
        _check(records, path)
        yield from records


def replay_records(records: Iterable[GameRecord], *, oracle: bool = False, threads: int = 1, out=None):
    """Play the records again natively and return ``murkplay_rl.replay``'s arrays, one row per
    ply: the observation the mover saw, the legal-slot mask, the slot played and the outcome
    from the mover's side. ``out`` may be a Replay of arrays with rows to spare, reused from call
    to call, which spares the fresh memory a new array costs; its first rows are returned.

    Each record is checked as reading checks it; a bad one raises ValueError naming its row.
    """
    records = list(records)
    starts = [_checked_start(record, "records", row) for row, record in enumerate(records)]
    return _replay_checked(records, starts, "records", 0, oracle=oracle, threads=threads, out=out)


# Reading replays records in runs of about this many plies into arrays kept for the shard, so
# checking takes memory of a run, not of a shard.
_CHECK_PLIES = 1024
_REFUSED_MOVE = re.compile(r"^game (\d+), ply (\d+): (.*)$")


def _read_shard(path: str) -> list[GameRecord]:
    pa = require("pyarrow", "dataset", "read_records()")
    pq = require("pyarrow.parquet", "dataset", "read_records()")

    try:
        table = pq.read_table(path, page_checksum_verification=True)
    except (pa.ArrowException, OSError) as error:
        raise ValueError(f"{path}: a damaged shard: {error}") from error
    expected = schema()
    for field in expected:
        if field.name not in table.schema.names:
            raise ValueError(f"{path}, row 0, field {field.name!r}: the shard has no such column")
        kind = table.schema.field(field.name).type
        if kind != field.type:
            raise ValueError(f"{path}, row 0, field {field.name!r}: the column holds {kind}, not {field.type}")
    return [GameRecord(**row) for row in table.select(expected.names).to_pylist()]


def _check(records: list[GameRecord], where: str) -> None:
    import numpy as np

    starts = [_checked_start(record, where, row) for row, record in enumerate(records)]
    out = None
    first = 0
    while first < len(records):
        last, plies = first, 0
        while last < len(records) and (last == first or plies + records[last].plies <= _CHECK_PLIES):
            plies += records[last].plies
            last += 1
        if out is None and plies <= _CHECK_PLIES:
            out = murkplay_rl.Replay(
                np.empty((_CHECK_PLIES, 64, 35), np.float32), np.empty((_CHECK_PLIES, 4352), np.bool_),
                np.empty(_CHECK_PLIES, np.int64), np.empty(_CHECK_PLIES, np.float32))
        _replay_checked(records[first:last], starts[first:last], where, first,
                        out=out if plies <= _CHECK_PLIES else None)
        first = last


def _checked_start(record: GameRecord, where: str, row: int) -> murkplay.SelfPlayGame:
    """Checks what a record says without playing it, and returns the game at its start."""
    def refuse(field, problem):
        return ValueError(f"{where}, row {row}, field {field!r}: {problem}")

    for field in COLUMNS:
        if getattr(record, field) is None:
            raise refuse(field, "missing")
    if not isinstance(record.start, str):
        raise refuse("start", f"expected FEN text, got {type(record.start).__name__}")
    try:
        start = murkplay.SelfPlayGame(record.start)
    except ValueError as error:
        raise refuse("start", f"{record.start!r} is not a valid position") from error
    for k, move in enumerate(record.moves):
        try:
            murkplay_rl.move_code(move)
        except (TypeError, ValueError) as error:
            raise refuse("moves", f"moves[{k}] {move!r} is not a move") from error
    if any(isinstance(slot, bool) or not isinstance(slot, numbers.Integral) for slot in record.slots):
        raise refuse("slots", "expected integers")
    if len(record.slots) != len(record.moves):
        raise refuse("slots", f"{len(record.slots)} slots for {len(record.moves)} moves")
    if record.plies != len(record.moves):
        raise refuse("plies", f"{record.plies}, but the record holds {len(record.moves)} moves")
    return start


def _replay_checked(records, starts, where, first_row, *, oracle=False, threads=1, out=None):
    """Replays records whose fields were checked, and checks them against the replay."""
    import numpy as np

    offsets = np.zeros(len(records) + 1, dtype=np.int64)
    np.cumsum([len(record.moves) for record in records], out=offsets[1:])
    move_code = murkplay_rl.move_code
    moves = np.fromiter(
        (move_code(move) for record in records for move in record.moves), dtype=np.uint16, count=int(offsets[-1])
    )
    try:
        replay = murkplay_rl.replay(
            [record.start for record in records], moves, offsets, oracle=oracle, threads=threads, out=out)
    except ValueError as error:
        refused = _REFUSED_MOVE.match(str(error))
        if refused is None:
            raise
        game, ply, problem = int(refused[1]), int(refused[2]), refused[3]
        raise ValueError(f"{where}, row {first_row + game}, field 'moves': ply {ply}: {problem}") from error
    recorded = np.fromiter((slot for record in records for slot in record.slots), dtype=np.int64, count=len(moves))
    wrong = np.flatnonzero(replay.slot != recorded)
    if len(wrong):
        game = int(np.searchsorted(offsets, wrong[0], side="right")) - 1
        ply = int(wrong[0] - offsets[game])
        raise ValueError(
            f"{where}, row {first_row + game}, field 'slots': ply {ply} plays {records[game].moves[ply]}, "
            f"whose slot is {replay.slot[wrong[0]]}, but the record says {recorded[wrong[0]]}"
        )
    for game, (record, start) in enumerate(zip(records, starts)):
        # The outcome of a ply is seen from its mover; the first mover is the start's side to move.
        begin = int(offsets[game])
        if record.moves:
            outcome = float(replay.outcome[begin]) * (1.0 if start.turn else -1.0)
        else:
            outcome = start.terminal_value(True)
        if record.result != outcome:
            raise ValueError(
                f"{where}, row {first_row + game}, field 'result': {record.result}, but the game replays to {outcome}")
    return replay


START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"


def records_of(start: str, moves, slots, plies, results, *, seed: int, policy_version: int = 0) -> list[GameRecord]:
    """The ``GameRecord``s of games given as arrays with a row a game: ``moves`` (move codes)
    and ``slots`` ply by ply, read up to each game's ``plies``, and ``results``, White's values.
    Every record of the package is made here, from a recorder's rows or from the arena's."""
    import numpy as np

    plies = np.asarray(plies, dtype=np.int64)
    played = np.arange(moves.shape[1])[None, :] < plies[:, None]
    # A game's moves are text in the record; most codes recur, so each is converted once.
    text = {code: murkplay_rl.move_uci(code) for code in np.unique(moves[played]).tolist()}
    return [
        GameRecord(start=start, moves=[text[code] for code in moves[game, :length].tolist()],
                   slots=slots[game, :length].tolist(), plies=length, result=float(results[game]), seed=seed,
                   policy_version=policy_version)
        for game, length in enumerate(plies.tolist())
    ]


class GameRecorder:
    """The games a ``GameBatch`` finishes, as ``GameRecord``s, collected from the steps it reports.

    Hand ``record`` every Step that ``batch.step`` or ``batch.step_random`` returns, once: it keeps the
    move and slot each game played, and the reply of a step with ``reply=`` at the ply after it,
    and returns the records of the games that this step reported ended (each once; with
    ``auto_reset`` the restarted game is recorded afresh). ``records``
    holds every record returned so far. ``start`` is the FEN the batch's games start from (the
    standard start by default), ``seed`` goes into the records (the batch's seed by default).
    """

    def __init__(self, batch, *, start: str | None = None, seed: int | None = None, policy_version: int = 0):
        import numpy as np

        if start is not None:
            murkplay.SelfPlayGame(start)  # refused here, not when the first game ends
        self.start = start or START_FEN
        self.seed = batch.seed if seed is None else integer("seed", seed, *_INT64)
        self.policy_version = integer("policy_version", policy_version, *_INT64)
        self.records: list[GameRecord] = []
        width = batch.max_plies or 256
        self._moves = np.zeros((len(batch), width), np.uint16)
        self._slots = np.zeros((len(batch), width), np.int16)
        self._recorded = np.zeros(len(batch), bool)  # ended games already turned into records

    def record(self, step, games=None) -> list[GameRecord]:
        """The records of the games ``step`` reports ended; ``games``, a bool array with one
        entry per game, limits them to some games of the batch."""
        import numpy as np

        # A step's last ply is its reply where one was played, else its move.
        last = step.plies.astype(np.int64) - 1
        if step.reply_move is None:
            self._keep(step.played_move, step.played_slot, last)
        else:
            replied = step.reply_move != murkplay_rl.NO_MOVE
            self._keep(step.played_move, step.played_slot, last - replied)
            self._keep(step.reply_move, step.reply_slot, last)
        ended = (step.terminated | step.truncated) & ~self._recorded
        self._recorded |= ended
        if games is not None:
            ended &= games
        rows = np.flatnonzero(ended)
        new = records_of(self.start, self._moves[rows], self._slots[rows], step.plies[rows], step.values[rows, 0],
                         seed=self.seed, policy_version=self.policy_version)
        self.records.extend(new)
        return new

    def _keep(self, moves, slots, plies) -> None:
        """Keeps the moves and slots of the games that played one, at their plies."""
        import numpy as np

        played = np.flatnonzero(moves != murkplay_rl.NO_MOVE)
        at = plies[played]
        while len(at) and at.max() >= self._moves.shape[1]:
            # Without a ply limit games can outgrow the arrays: double them.
            self._moves = np.concatenate([self._moves, np.zeros_like(self._moves)], axis=1)
            self._slots = np.concatenate([self._slots, np.zeros_like(self._slots)], axis=1)
        self._moves[played, at] = moves[played]
        self._slots[played, at] = slots[played]
        self._recorded[played] = False
