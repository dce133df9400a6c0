"""Native work that fails or is interrupted: a worker thread that runs out of memory raises
MemoryError on the caller's thread (never ends the process), Ctrl-C stops a long belief update
or search with KeyboardInterrupt, and either way nothing is changed."""

import os
import random
import resource
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import murkplay_rl as rl
from murkplay_rl import _native as native
from murkplay import SelfPlayGame
from support import UNDER_ASAN

GAMES = 8
# A random game in which Black's belief, exact, grows to 107,804 positions at ply 15 and to
# 165,715 at ply 17: the update between costs about half a second a game.
SEED, LAST_PLY = 3, 17


def big_beliefs(threads=1):
    """A batch of GAMES copies of that game at ply 17 and Black's beliefs, updated up to ply 15,
    with Black's last moves still to hand over."""
    rng = random.Random(SEED)
    game = SelfPlayGame()
    batch = rl.GameBatch(GAMES, threads=threads)
    beliefs = rl.BatchBeliefs(batch, False, limit=10**7)
    played = np.full(GAMES, rl.NO_MOVE, np.uint16)
    for ply in range(1, LAST_PLY + 1):
        listed = game.legal_actions_uci()
        move = rng.choice(listed)
        if not game.turn:
            played[:] = rl.move_code(move)
        game.apply(move)
        batch.step([listed.index(move)] * GAMES)
        if not game.turn and ply < LAST_PLY:
            beliefs.update(played, threads=threads)
    return batch, beliefs, played


def sizes(beliefs):
    return [len(beliefs[i]) for i in range(GAMES)]


def child_out_of_memory(threads):
    """Run in a child: the last update under an address-space limit it cannot meet."""
    batch, beliefs, played = big_beliefs(threads)
    before = sizes(beliefs)
    with open("/proc/self/status") as status:
        used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (used + (48 << 20), resource.RLIM_INFINITY))
    try:
        beliefs.update(played, threads=threads)
    except MemoryError:
        print("MemoryError")
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    assert sizes(beliefs) == before, "a failed update changed the beliefs"
    beliefs.update(played, threads=threads)
    print(sizes(beliefs))


@pytest.mark.slow
@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer ends the process on an allocation it cannot make")
@pytest.mark.parametrize("threads", [1, 2])
def test_a_worker_out_of_memory_raises_memory_error_and_changes_nothing(threads):
    here = Path(__file__).resolve().parent
    code = (f"import sys; sys.path.insert(0, {str(here)!r}); import {Path(__file__).stem} as failures; "
            f"failures.child_out_of_memory({threads})")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300, cwd=here)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.splitlines() == ["MemoryError", str([165715] * GAMES)]


def interrupted(call, after=0.3):
    """Runs call() with SIGINT sent to the process `after` seconds in: the seconds it took from
    the signal to the KeyboardInterrupt."""
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("signals reach the main thread only")
    # A process started in the background of a shell inherits Ctrl-C ignored, and the
    # interpreter then leaves it so: the test asks for Python's own handler while it runs.
    handler = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(after, os.kill, (os.getpid(), signal.SIGINT))
    began = time.perf_counter()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, handler)
    return time.perf_counter() - began - after


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_a_long_update_and_changes_nothing(threads):
    batch, beliefs, played = big_beliefs(threads)
    before = sizes(beliefs)
    # Uninterrupted, the update takes seconds; the interrupt ends it within a few milliseconds.
    assert interrupted(lambda: beliefs.update(played, threads=threads)) < 0.5
    assert sizes(beliefs) == before
    beliefs.update(played, threads=threads)
    assert sizes(beliefs) == [165715] * GAMES


def followed_middle_game(plies=12, games=4):
    """White's beliefs over a batch played by the cautious agent for `plies` plies."""
    batch = rl.GameBatch(games, seed=5)
    beliefs = rl.BatchBeliefs(batch, True, limit=2000, seed=1)
    played = None
    for ply in range(plies):
        if ply % 2 == 0 and played is not None:
            beliefs.update(played)
        step = batch.step(by="cautious")
        if ply % 2 == 0:
            played = step.played_move.copy()
    beliefs.update(played)
    return batch, beliefs


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_a_long_search_and_changes_nothing(threads):
    _, beliefs = followed_middle_game()
    _, twin = followed_middle_game()
    # At its bounds the search takes seconds for each game.
    longest = dict(samples=native.MAX_SEARCH_SAMPLES, depth=native.MAX_SEARCH_DEPTH, threads=threads)
    assert interrupted(lambda: beliefs.choose(**longest)) < 0.5
    # The random streams drawn from are as they were: both choose alike.
    assert beliefs.choose(samples=3, depth=2).tolist() == twin.choose(samples=3, depth=2).tolist()
