"""Game records in Parquet shards, and their replay into training arrays."""

import dataclasses
import os
import re

import pytest

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from murkplay_rl.dataset import GameRecord, RecordWriter, read_records, replay_records, schema, shard_paths  # noqa: E402
from support import START_FEN, recorded_games  # noqa: E402

FENS = [
    START_FEN,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1",
    "3r1r2/4P3/8/8/8/8/8/K6k w - - 0 1",
]


@pytest.fixture(scope="module")
def records():
    return [record for record, _, _ in recorded_games(FENS * 3, max_plies=60, seed=11)]


@pytest.mark.parametrize("shard_games", [1, 5, 100])
def test_records_come_back_from_complete_shards(tmp_path, records, shard_games):
    with RecordWriter(tmp_path, shard_games=shard_games) as writer:
        writer.write(records[:7])
        writer.write(records[7:])
    full, rest = divmod(len(records), shard_games)
    paths = shard_paths(tmp_path)
    assert sorted(os.listdir(tmp_path)) == sorted(os.path.basename(path) for path in paths)
    assert [pq.ParquetFile(path).metadata.num_rows for path in paths] == [shard_games] * full + [rest] * (rest > 0)
    assert list(read_records(tmp_path)) == records
    # A reader that knows nothing of murkplay finds the same rows, in plain column types.
    table = pq.read_table(tmp_path)
    assert [str(kind) for kind in table.schema.types] == [
        "string", "list<element: string>", "list<element: int16>", "int32", "float", "int64", "int64"]
    assert table.to_pylist() == [dataclasses.asdict(record) for record in records]


def test_an_interrupted_writer_leaves_only_complete_shards(tmp_path, records, monkeypatch):
    with RecordWriter(tmp_path, shard_games=4) as writer:
        writer.write(records[:4])
    (tmp_path / ".shard-00001.parquet.999.tmp").write_bytes(b"PAR1 cut short")  # a writer that crashed
    write_table = pq.write_table

    def interrupted(table, sink, **options):
        write_table(table.slice(0, 1), sink, **options)
        raise KeyboardInterrupt

    monkeypatch.setattr(pq, "write_table", interrupted)
    writer = RecordWriter(tmp_path, shard_games=4)
    with pytest.raises(KeyboardInterrupt), writer:
        writer.write(records[4:8])
    assert sorted(os.listdir(tmp_path)) == [".shard-00001.parquet.999.tmp", "shard-00000.parquet"]
    assert list(read_records(tmp_path)) == records[:4]
    monkeypatch.undo()
    writer.close()  # the records of the failed shard were kept
    with pytest.raises(KeyboardInterrupt), RecordWriter(tmp_path, shard_games=100) as writer:
        writer.write(records[8:])
        raise KeyboardInterrupt
    assert list(read_records(tmp_path)) == records
    assert len(pq.read_table(tmp_path)) == len(records)


def mover_signs(record):
    white_first = record.start.split()[1] == "w"
    return np.array([1.0 if (ply % 2 == 0) == white_first else -1.0 for ply in range(record.plies)], np.float32)


@pytest.mark.parametrize("oracle, threads", [(False, 1), (True, 2)])
def test_replay_gives_back_what_play_showed(tmp_path, oracle, threads):
    played = recorded_games(FENS * 2, max_plies=80, seed=40 + threads, oracle=oracle)
    with RecordWriter(tmp_path, shard_games=3) as writer:
        writer.write(record for record, _, _ in played)
    records = list(read_records(tmp_path))
    replay = replay_records(records, oracle=oracle, threads=threads)
    observations = np.concatenate([observation for _, observation, _ in played])
    np.testing.assert_array_equal(replay.observation.view(np.uint32), observations.view(np.uint32))
    np.testing.assert_array_equal(replay.mask, np.concatenate([mask for _, _, mask in played]))
    np.testing.assert_array_equal(replay.slot, np.concatenate([record.slots for record in records]))
    expected = np.concatenate([record.result * mover_signs(record) for record in records])
    np.testing.assert_array_equal(replay.outcome, expected)
    assert {record.result for record in records} >= {1.0, -1.0}


def set_item(field, index, value):
    return lambda row: row[field].__setitem__(index, value)


# What damage does to one row of a shard, and the field that must be named.
DAMAGE = {
    "start null": (lambda row: row.update(start=None), "start", "missing"),
    "start not a position": (lambda row: row.update(start="8/8/8 w"), "start", "'8/8/8 w' is not a valid position"),
    "not a move": (set_item("moves", 1, "e9e4"), "moves", r"moves\[1\] 'e9e4' is not a move"),
    "illegal move": (set_item("moves", 2, "a1a8"), "moves", "ply 2: a1a8 is not a legal move there"),
    "slot": (lambda row: row["slots"].__setitem__(3, row["slots"][3] + 1), "slots",
             r"ply 3 plays \w+, whose slot is \d+, but the record says \d+"),
    "cut short": (lambda row: row.update(moves=row["moves"][:-1], slots=row["slots"][:-1]), "plies",
                  r"\d+, but the record holds \d+ moves"),
    "result": (lambda row: row.update(result=0.5), "result", r"0.5, but the game replays to -?\d.0"),
    "plies null": (lambda row: row.update(plies=None), "plies", "missing"),
}


@pytest.fixture(scope="module")
def short_records():
    return [record for record, _, _ in recorded_games([START_FEN, FENS[2], START_FEN], max_plies=20, seed=70)]


@pytest.mark.parametrize("damage, field, problem", DAMAGE.values(), ids=DAMAGE.keys())
def test_damaged_records_are_refused(tmp_path, short_records, damage, field, problem):
    rows = [dataclasses.asdict(record) for record in short_records]
    damage(rows[1])
    path = str(tmp_path / "shard-00000.parquet")
    pq.write_table(pa.Table.from_pylist(rows, schema=schema()), path)
    with pytest.raises(ValueError, match=rf"^{re.escape(path)}, row 1, field '{field}': {problem}$"):
        list(read_records(tmp_path))
    with pytest.raises(ValueError, match=rf"^records, row 1, field '{field}': {problem}$"):
        replay_records([GameRecord(**row) for row in rows])


def test_damaged_shards_are_refused(tmp_path, short_records):
    table = pa.Table.from_pylist([dataclasses.asdict(record) for record in short_records], schema=schema())
    path = str(tmp_path / "shard-00000.parquet")
    pq.write_table(table.drop_columns(["start"]), path)
    with pytest.raises(ValueError, match=rf"^{re.escape(path)}, row 0, field 'start': the shard has no such column$"):
        list(read_records(tmp_path))
    # A seed changed on disk breaks no rule of the game: only the page checksum can tell.
    with RecordWriter(tmp_path / "written", compression="none") as writer:
        writer.write(dataclasses.replace(record, seed=0x5EED5EED5EED) for record in short_records)
    [path] = shard_paths(tmp_path / "written")
    data = bytearray(open(path, "rb").read())
    at = data.index((0x5EED5EED5EED).to_bytes(8, "little"))
    data[at] ^= 1
    open(path, "wb").write(bytes(data))
    with pytest.raises(ValueError, match=rf"^{re.escape(path)}: a damaged shard: .*[Cc]hecksum"):
        list(read_records(tmp_path / "written"))


def test_a_record_whose_lengths_disagree_is_not_written(tmp_path, records):
    with RecordWriter(tmp_path) as writer, pytest.raises(ValueError, match="5 plies, 4 moves and 4 slots"):
        writer.write([dataclasses.replace(records[0], moves=records[0].moves[:4], slots=records[0].slots[:4], plies=5)])
    assert os.listdir(tmp_path) == []
