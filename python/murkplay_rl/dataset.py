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

import dataclasses
import os
import re
from typing import Iterable, Iterator

import murkplay
import murkplay_rl

# One writer owns a directory; it numbers its shards on from the highest number there.
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
    import pyarrow as pa

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

    A shard is written under a hidden temporary name and renamed into place when complete,
    so a crash or an interrupt never leaves a partial file under a shard name. Leaving the
    ``with`` block, by an exception too, writes the records still held as a last, shorter
    shard: they are complete games.
    """

    def __init__(self, directory: str | os.PathLike, shard_games: int = 4096, *, compression: str = "zstd"):
        import pyarrow  # noqa: F401 - fail here, not at the first full shard

        if shard_games < 1:
            raise ValueError(f"shard_games must be at least 1, not {shard_games}")
        self.directory = os.fspath(directory)
        self.shard_games = shard_games
        self.compression = compression
        os.makedirs(self.directory, exist_ok=True)
        existing = shard_paths(self.directory)
        self._next = int(_SHARD.match(os.path.basename(existing[-1])).group(1)) + 1 if existing else 0
        self._pending: list[GameRecord] = []
        self.written_games = 0
        self.written_plies = 0
        self.shards: list[str] = []

    def write(self, records: Iterable[GameRecord]) -> None:
        for record in records:
            if record.plies != len(record.moves) or len(record.moves) != len(record.slots):
                raise ValueError(
                    f"record of seed {record.seed}: {record.plies} plies, {len(record.moves)} moves "
                    f"and {len(record.slots)} slots"
                )
            self._pending.append(record)
            if len(self._pending) >= self.shard_games:
                self._flush()

    def close(self) -> None:
        if self._pending:
            self._flush()

    def __enter__(self) -> RecordWriter:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def _flush(self) -> None:
        import pyarrow as pa
        import pyarrow.parquet as pq

        records, self._pending = self._pending, []
        table = pa.table({name: [getattr(r, name) for r in records] for name in COLUMNS}, schema=schema())
        name = f"shard-{self._next:05d}.parquet"
        final = os.path.join(self.directory, name)
        temporary = os.path.join(self.directory, f".{name}.{os.getpid()}.tmp")
        try:
            with open(temporary, "wb") as sink:
                pq.write_table(table, sink, compression=self.compression, write_page_checksum=True)
                sink.flush()
                # Renaming a file whose data is still in the page cache would not survive a power cut.
                os.fsync(sink.fileno())
            os.replace(temporary, final)
        except BaseException:
            self._pending = records + self._pending
            if os.path.exists(temporary):
                os.remove(temporary)
            raise
        self._next += 1
        self.shards.append(final)
        self.written_games += len(records)
        self.written_plies += sum(r.plies for r in records)


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
    import pyarrow as pa
    import pyarrow.parquet as pq

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
