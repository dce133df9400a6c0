"""Game records in Parquet shards, and their replay into training arrays."""

import dataclasses
import os
import re
import signal
import subprocess
import sys
import time

import pytest

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from murkplay_rl.dataset import GameRecord, RecordWriter, read_records, replay_records, schema, shard_paths  # noqa: E402
from support import START_FEN, UNDER_ASAN, ctrl_c_as_interactive, recorded_games  # noqa: E402

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
    writer = RecordWriter(tmp_path, shard_games=4, append=True)
    with pytest.raises(KeyboardInterrupt), writer:
        writer.write(records[4:8])
    assert sorted(os.listdir(tmp_path)) == [".shard-00001.parquet.999.tmp", "shard-00000.parquet"]
    assert list(read_records(tmp_path)) == records[:4]
    monkeypatch.undo()
    writer.close()  # the records of the failed shard were kept
    with pytest.raises(KeyboardInterrupt), RecordWriter(tmp_path, shard_games=100, append=True) as writer:
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
    "slot null": (set_item("slots", 0, None), "slots", "expected integers"),
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


@pytest.mark.skipif(UNDER_ASAN, reason="pyarrow's exceptions trip AddressSanitizer")
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


UNWRITABLE = {
    "lengths": (lambda r: dataclasses.replace(r, moves=r.moves[:4], slots=r.slots[:4], plies=5),
                "5 plies, 4 moves and 4 slots"),
    "slot out of range": (lambda r: dataclasses.replace(r, slots=[4352] + r.slots[1:]), "field 'slots': a slot out of"),
    "slot not an integer": (lambda r: dataclasses.replace(r, slots=[0.5] + r.slots[1:]), "field 'slots': expected"),
    "move not text": (lambda r: dataclasses.replace(r, moves=[None] + r.moves[1:]), "field 'moves': expected"),
    "no start": (lambda r: dataclasses.replace(r, start=None), "field 'start': expected FEN text"),
    "result": (lambda r: dataclasses.replace(r, result=0.5), "field 'result': expected 1.0, -1.0 or 0.0"),
    "seed": (lambda r: dataclasses.replace(r, seed=2**63), "field 'seed': expected a 64-bit integer"),
    "not a record": (lambda r: dataclasses.asdict(r), "expected a GameRecord, got dict"),
}


@pytest.mark.parametrize("damage, problem", UNWRITABLE.values(), ids=UNWRITABLE.keys())
def test_a_record_that_cannot_be_written_is_refused_and_the_others_are_kept(tmp_path, records, damage, problem):
    with RecordWriter(tmp_path, shard_games=3) as writer:
        writer.write(records[:2])
        with pytest.raises(ValueError, match=rf"^write\(\): record 2 of the call.*: {re.escape(problem)}"):
            writer.write([*records[2:4], damage(records[4])])  # a full shard, had it been taken
        assert writer.pending == 2 and os.listdir(tmp_path) == []
        writer.write(records[2:])
    assert list(read_records(tmp_path)) == records


@pytest.mark.parametrize("where, error", [("table", KeyboardInterrupt), ("table", MemoryError),
                                          ("write_table", OSError), ("link", OSError)])
def test_a_failed_flush_keeps_every_record(tmp_path, records, monkeypatch, where, error):
    def fail(*args, **kwargs):
        raise error("injected")

    target = {"table": (pa, "table"), "write_table": (pq, "write_table"), "link": (os, "link")}[where]
    writer = RecordWriter(tmp_path, shard_games=4)
    writer.write(records[:3])
    monkeypatch.setattr(*target, fail)
    with pytest.raises(error, match="injected"):
        writer.write(records[3:9])
    assert writer.pending == 9 and os.listdir(tmp_path) == []  # no shard, no temporary file
    with pytest.raises(error, match="injected"):
        writer.close()
    monkeypatch.undo()
    writer.write(records[9:])
    writer.close()
    assert writer.pending == 0 and list(read_records(tmp_path)) == records


def writing_child(directory, shard_games, tag, calls):
    """A child process that hands ``calls`` lots of 10 copies of one game's record to one writer,
    the seeds counting from ``tag``, unless interrupted; it prints how many write() calls returned."""
    code = f"""
import dataclasses
import murkplay_rl
from murkplay_rl.dataset import GameRecorder, RecordWriter
batch = murkplay_rl.GameBatch(1, max_plies=80, seed=3)
recorder = GameRecorder(batch)
while not recorder.records:
    recorder.record(batch.step_random())
done = 0
try:
    with RecordWriter({str(directory)!r}, shard_games={shard_games}, append=True) as writer:
        print("ready", flush=True)
        for seed in range({tag}, {tag} + {10 * calls}, 10):
            writer.write([dataclasses.replace(recorder.records[0], seed=seed + k) for k in range(10)])
            done += 1
except KeyboardInterrupt:
    pass
print(done, flush=True)
"""
    return subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True,
                            preexec_fn=ctrl_c_as_interactive)


@pytest.mark.slow
def test_a_timed_interrupt_loses_no_record(tmp_path):
    for delay in (0.05, 0.15, 0.25, 0.35):
        directory = tmp_path / str(delay)
        child = writing_child(directory, 2000, 0, 10**6)
        assert child.stdout.readline() == "ready\n"
        time.sleep(delay)
        child.send_signal(signal.SIGINT)
        done = int(child.communicate(timeout=60)[0])
        assert child.returncode == 0
        seeds = [record.seed for record in read_records(directory)]
        # Every record of a write() that returned is on disk, in order, and nothing else but
        # perhaps the whole call that the interrupt met.
        assert seeds in (list(range(10 * done)), list(range(10 * done + 10))), (delay, done, len(seeds))
        assert all(name.startswith("shard-") for name in os.listdir(directory))


@pytest.mark.slow
def test_two_processes_appending_to_one_directory_keep_every_record(tmp_path):
    children = [writing_child(tmp_path, 10, tag, 200) for tag in (0, 10**6)]
    for child in children:
        assert child.stdout.readline() == "ready\n"
    assert [int(child.communicate(timeout=120)[0]) for child in children] == [200, 200]
    seeds = sorted(record.seed for record in read_records(tmp_path))
    assert seeds == list(range(2000)) + list(range(10**6, 10**6 + 2000))
    assert len(shard_paths(tmp_path)) == 400 == len(os.listdir(tmp_path))


@pytest.mark.parametrize("append", [False, True])
def test_a_directory_of_another_runs_shards_is_refused_unless_appending(tmp_path, records, append):
    (tmp_path / ".shard-00000.parquet.7.tmp").write_bytes(b"abandoned")  # not a shard: no refusal
    with RecordWriter(tmp_path, shard_games=4) as writer:
        writer.write(records[:4])
    before = sorted(os.listdir(tmp_path))
    if not append:
        with pytest.raises(FileExistsError, match="holds 1 shard.*append=True"):
            RecordWriter(tmp_path)
        assert sorted(os.listdir(tmp_path)) == before
        return
    with RecordWriter(tmp_path, append=True) as writer:
        writer.write(records[4:])
    assert [os.path.basename(path) for path in shard_paths(tmp_path)] == ["shard-00000.parquet", "shard-00001.parquet"]
    assert list(read_records(tmp_path)) == records


@pytest.mark.parametrize("max_plies", [40, 0])
def test_a_recorder_turns_a_batch_run_into_records_that_replay(max_plies):
    import murkplay
    import murkplay_rl
    from murkplay_rl.dataset import GameRecorder

    batch = murkplay_rl.GameBatch(8, max_plies=max_plies, auto_reset=True, seed=5)
    recorder = GameRecorder(batch, policy_version=3)
    ended = 0
    step = batch.observe()
    while ended < 24:
        step = batch.step_random()
        ended += int((step.terminated | step.truncated).sum())
        recorder.record(step)
    assert len(recorder.records) == ended
    for record in recorder.records:
        game = murkplay.SelfPlayGame(record.start)
        for move, slot in zip(record.moves, record.slots):
            assert move in game.legal_actions_uci() and game.action_index(move) == slot
            game.apply(move)
        assert (record.plies, record.result, record.seed, record.policy_version) == (
            len(record.moves), game.terminal_value(True), 5, 3)
        assert game.is_terminal() or record.plies == max_plies or not game.legal_actions_uci()


@pytest.mark.parametrize("by, reply", [("random", "greedy"), ("greedy", "cautious"), ("cautious", "random")])
def test_a_recorder_keeps_the_replies_of_a_batch_that_plays_them(by, reply):
    """Each game's moves as the steps report them, the reply after the move, replay to the
    recorded game (the recorder used to keep only the move, at the reply's ply, and left code 0,
    a1a1, in the gaps)."""
    import murkplay_rl
    from murkplay_rl.dataset import GameRecorder

    batch = murkplay_rl.GameBatch(6, max_plies=40, auto_reset=True, seed=9)
    recorder = GameRecorder(batch)
    played = [[] for _ in range(len(batch))]
    expected = []
    step = batch.observe()
    while len(expected) < 18:
        step = batch.step(by=by, reply=reply)
        for game in range(len(batch)):
            for move in (step.played_move[game], step.reply_move[game]):
                if move != murkplay_rl.NO_MOVE:
                    played[game].append(murkplay_rl.move_uci(int(move)))
            if step.terminated[game] or step.truncated[game]:
                expected.append(played[game])
                played[game] = []
        recorder.record(step)
    assert [record.moves for record in recorder.records] == expected
    replay = replay_records(recorder.records)  # refuses a move or slot the game did not play
    assert len(replay.slot) == sum(len(moves) for moves in expected)
