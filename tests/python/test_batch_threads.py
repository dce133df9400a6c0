"""Batches on many threads at once, Python's and their own, with plain buffers instead of
numpy so that the free-threaded interpreter runs these too."""

import os
import subprocess
import sys
import textwrap
import threading
import time
import warnings

import pytest

import murkplay_rl as rl
from support import plain_buffers

GAMES = 40


def play(seed, native_threads, steps=30):
    """Every byte of every step of a batch of random games."""
    return play_on(rl.GameBatch(GAMES, seed=seed, max_plies=25, auto_reset=True, threads=native_threads), steps)


def test_threads_of_both_kinds_give_the_results_of_one():
    expected = {seed: play(seed, 1) for seed in range(4)}
    results = {}

    def worker(seed):
        results[seed] = play(seed, 3)

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in expected]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == expected


def test_one_batch_under_many_threads_refuses_rather_than_races():
    batch = rl.GameBatch(GAMES, seed=1, auto_reset=True, threads=2)
    refusals, finished = [], []
    buffers = [plain_buffers(GAMES) for _ in range(4)]

    def hammer(number):
        for _ in range(40):
            try:
                if number % 2:
                    batch.step_random(out=buffers[number])
                else:
                    batch[number].legal_actions_uci()
                finished.append(number)
            except RuntimeError as error:
                refusals.append(str(error))

    threads = [threading.Thread(target=hammer, args=(number,)) for number in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert set(refusals) <= {"Already borrowed", "Already mutably borrowed"}
    assert finished
    # Whatever interleaving happened, every game is whole: it lists moves and plays on.
    step = batch.step_random(out=plain_buffers(GAMES))
    assert step.offsets[GAMES] == sum(len(batch[i].legal_actions_uci()) for i in range(GAMES))


@pytest.mark.parametrize("hidden, looked", [("sys.meta_path.insert(0, Absent())", "1"),
                                            ("sys.modules['numpy'] = None", "0")])
def test_without_numpy_plain_buffers_are_stepped_without_importing_it_again(hidden, looked):
    # Four threads each searching the import path on every step are slow, and trip the import
    # locks of early free-threaded builds. None in sys.modules blocks an import: no module.
    script = textwrap.dedent("""
        import sys
        class Absent:
            looked = 0
            def find_spec(self, name, path=None, target=None):
                if name == "numpy":
                    Absent.looked += 1
                    raise ModuleNotFoundError("No module named 'numpy'", name="numpy")
        HIDDEN
        import murkplay_rl as rl
        from support import plain_buffers
        batch = rl.GameBatch(4, seed=0)
        out = plain_buffers(4)
        steps = [batch.step_random(out=out) for _ in range(5)]
        assert type(steps[-1].moves) is memoryview
        try:
            batch.observe()
        except ValueError as error:
            assert str(error) == "numpy is required for arrays the caller does not provide", error
        else:
            raise AssertionError("observe() made arrays without numpy")
        print(Absent.looked)
    """).replace("HIDDEN", hidden)
    tests = os.path.dirname(os.path.abspath(__file__))
    ran = subprocess.run([sys.executable, "-c", script], cwd=tests, capture_output=True, text=True, timeout=60)
    assert ran.returncode == 0, ran.stderr
    assert ran.stdout.split() == [looked]


@pytest.mark.parametrize("threads", [1, 4])
def test_replay_on_native_threads_reproduces_play(threads):
    starts = ["rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"] * 6
    batch = rl.GameBatch(len(starts), seed=8)
    out = plain_buffers(len(starts))
    seen, moves = [], [[] for _ in starts]
    for _ in range(12):
        before = bytes(batch.observe(out=out).observation)
        seen.append(before)
        step = batch.step_random(out=out)
        for i in range(len(starts)):
            moves[i].append(step.played_move[i])
    flat = [code for game in moves for code in game]
    offsets = [12 * g for g in range(len(starts) + 1)]
    replay_out = type("Out", (), {
        "observation": memoryview(bytearray(len(flat) * 64 * 35 * 4)).cast("f", (len(flat), 64, 35)),
        "mask": memoryview(bytearray(len(flat) * rl.ACTION_COUNT)).cast("B", (len(flat), rl.ACTION_COUNT)),
        "slot": memoryview(bytearray(len(flat) * 8)).cast("q", (len(flat),)),
        "outcome": memoryview(bytearray(len(flat) * 4)).cast("f", (len(flat),)),
    })()
    replayed = rl.replay(starts, flat, offsets, threads=threads, out=replay_out)
    rows = bytes(replayed.observation)
    size = 64 * 35 * 4
    for ply, observed in enumerate(seen):
        for i in range(len(starts)):
            row = i * 12 + ply
            assert rows[row * size:(row + 1) * size] == observed[i * size:(i + 1) * size]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_a_forked_child_steps_an_inherited_batch():
    # The batch's native threads stay in the parent; the child must get threads of its own.
    batch = rl.GameBatch(GAMES, seed=4, auto_reset=True, threads=2)
    expected = play_on(rl.GameBatch(GAMES, seed=4, auto_reset=True, threads=1), 6)
    assert play_on(batch, 3) == expected[:3]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking a process that has threads
        child = os.fork()
    if child == 0:
        os._exit(0 if play_on(batch, 3) == expected[3:] else 1)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        done, status = os.waitpid(child, os.WNOHANG)
        if done:
            assert os.waitstatus_to_exitcode(status) == 0
            break
        time.sleep(0.05)
    else:
        os.kill(child, 9)
        pytest.fail("the child hung stepping the batch it inherited")
    assert play_on(batch, 3) == expected[3:]


def play_on(batch, steps):
    out = plain_buffers(GAMES)
    return [b"".join(bytes(array) for array in batch.step_random(out=out) if array is not None) for _ in range(steps)]
