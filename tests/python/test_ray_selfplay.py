"""Self-play on a local Ray instance: every game an actor returned is written once, in complete
shards, as the same games played in this process, even when actors die in the middle of a task."""

import collections
import math
import os
import signal
import subprocess
import sys
import time

import pytest

pq = pytest.importorskip("pyarrow.parquet")
torch = pytest.importorskip("torch")
ray = pytest.importorskip("ray")

from murkplay_rl.dataset import RecordWriter, read_records, replay_records, shard_paths  # noqa: E402
from murkplay_rl.policy import policy_network, sample_slots  # noqa: E402
from murkplay_rl.selfplay_ray import (  # noqa: E402
    LOOPBACK, SelfPlayWorker, run_selfplay, start_actors, start_local_ray, task_seed, weights_of)
from support import ctrl_c_as_interactive  # noqa: E402

WORKER = {"batch": 4, "max_plies": 40, "hidden": 32}
GAMES, PER_TASK, SEED = 28, 6, 5
EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "distributed_selfplay.py")


def test_slots_are_drawn_from_the_masked_softmax():
    allowed = {0: [0], 1: [4351], 2: [5, 700, 4000]}
    logits = torch.full((3, 4352), -math.inf)
    for row, slots in allowed.items():
        logits[row, slots] = torch.log(torch.tensor([1.0, 2.0, 5.0][:len(slots)]))
    generator = torch.Generator().manual_seed(0)
    draws = torch.stack([sample_slots(logits, generator) for _ in range(8000)])
    for row, slots in allowed.items():
        counts = torch.bincount(draws[:, row], minlength=4352)
        assert counts.nonzero()[:, 0].tolist() == slots
        expected = torch.softmax(logits[row, slots], 0) * len(draws)
        # Within four standard deviations of a binomial count.
        assert ((counts[slots] - expected).abs() <= 4 * (expected * (1 - expected / len(draws))).sqrt() + 1e-9).all()


@pytest.fixture(scope="module")
def actors():
    start_local_ray(num_cpus=2)
    assert {node["NodeManagerAddress"] for node in ray.nodes()} == {LOOPBACK}
    yield start_actors(2, **WORKER)
    ray.shutdown()


@pytest.fixture(scope="module")
def network():
    torch.manual_seed(SEED)
    return policy_network(WORKER["hidden"])


class WatchedWorker(SelfPlayWorker):
    """Keeps every observation its policy is shown, as bytes."""

    def __init__(self, **options):
        super().__init__(**options)
        self.seen = collections.Counter()
        self.network.register_forward_pre_hook(
            lambda module, inputs: self.seen.update(row.tobytes() for row in inputs[0].numpy()))


@pytest.fixture(scope="module")
def played_here(network):
    """The run's tasks played in this process, and the observations its policy saw."""
    worker = WatchedWorker(**WORKER)
    records = []
    for task in range(math.ceil(GAMES / PER_TASK)):
        count = min(PER_TASK, GAMES - task * PER_TASK)
        records += worker.play(weights_of(network), 0, task_seed(SEED, task), count).records
    return records, worker.seen


def identity(record):
    return record.seed, record.moves


def expect_complete_shards(directory, games):
    paths = shard_paths(directory)
    assert sorted(os.listdir(directory)) == sorted(os.path.basename(path) for path in paths)
    assert sum(pq.ParquetFile(path).metadata.num_rows for path in paths) == games


@pytest.mark.slow
@pytest.mark.parametrize("kill", [False, True], ids=["undisturbed", "actors killed"])
def test_every_returned_game_is_written_once(tmp_path, actors, network, played_here, kill):
    returned, killed = [], []

    def on_result(played):
        returned.append(played)
        if kill and len(returned) == 2:
            # Both first tasks are back and one actor is in the middle of the third.
            for actor in actors:
                ray.kill(actor, no_restart=False)
            killed.append(True)
        return False

    with RecordWriter(tmp_path, shard_games=5) as writer:
        summary = run_selfplay(actors, network, writer, games=GAMES, games_per_task=PER_TASK, seed=SEED,
                               on_result=on_result)
    written = list(read_records(tmp_path))
    expect_complete_shards(tmp_path, GAMES)
    assert summary.games == len(written) == GAMES
    assert summary.plies == sum(record.plies for record in written)
    assert bool(killed) == kill
    expected, seen = played_here
    assert sorted(written, key=identity) == sorted(expected, key=identity)
    replay = replay_records(written)
    assert collections.Counter(row.tobytes() for row in replay.observation) == seen


@pytest.mark.slow
def test_a_worker_error_reaches_the_driver_with_its_cause(tmp_path, actors):
    with RecordWriter(tmp_path) as writer, pytest.raises(RuntimeError) as raised:
        run_selfplay(actors, policy_network(WORKER["hidden"] + 1), writer, games=4, games_per_task=2)
    assert isinstance(raised.value, ray.exceptions.RayTaskError)
    assert "size mismatch for 1.weight" in str(raised.value)
    assert "load_state_dict" in str(raised.value)  # the worker's own traceback
    assert os.listdir(tmp_path) == []


@pytest.mark.slow
def test_interrupting_the_example_keeps_complete_shards(tmp_path):
    out = tmp_path / "data"
    example = subprocess.Popen(
        [sys.executable, EXAMPLE, "--actors", "1", "--batch", "4", "--games-per-task", "3", "--games", "100000",
         "--max-plies", "30", "--hidden", "16", "--shard-games", "2", "--out", str(out)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, preexec_fn=ctrl_c_as_interactive)
    deadline = time.monotonic() + 60
    while not (out.exists() and len(shard_paths(out)) >= 2) and time.monotonic() < deadline:
        assert example.poll() is None, example.communicate()
        time.sleep(0.05)
    example.send_signal(signal.SIGINT)
    _, errors = example.communicate(timeout=60)
    assert example.returncode == 130, errors
    games = len(list(read_records(out)))
    assert f"interrupted: {games} games" in errors
    assert games >= 4
    expect_complete_shards(out, games)
