"""Many threads on a few shared games.

Each game has one writer thread that applies actions from its own legal list; every other
thread reads games with every read method, clones them and checks the clone, and now and
then tries an `apply` whose action refuses to give its text (so that it competes for the
exclusive borrow without changing anything). The only errors allowed are the two borrow
refusals. Afterwards each game must equal a fresh game given the same actions one after
another, and its clone must offer a list that python-chess and `apply` agree on.

MURKPLAY_STRESS_THREADS (default 8) and MURKPLAY_STRESS_SECONDS (default 2) set the size
of the run.
"""

from __future__ import annotations

import os
import random
import sys
import threading
import time

import pytest

from murkplay import SelfPlayGame
from support import PLAIN_READS, snapshot

chess = pytest.importorskip("chess")

THREADS = max(2, int(os.environ.get("MURKPLAY_STRESS_THREADS", "8")))
SECONDS = float(os.environ.get("MURKPLAY_STRESS_SECONDS", "2"))
MOVES_PER_GAME = 120

FENS = [
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/pppq1ppp/2n5/3pP3/8/2N5/PPP2PPP/R3K2R w KQkq d6 0 1",
    "4k3/1P4p1/8/8/8/8/1p4P1/4K3 b - - 0 1",
]
BORROW_REFUSALS = {"Already borrowed", "Already mutably borrowed"}


class Withheld(Exception):
    """Raised by an action that competes for the exclusive borrow but never plays."""


class WithholdsText:
    def uci(self):
        # Holding the exclusive borrow, give the other threads time to run into it.
        time.sleep(0.0001)
        raise Withheld()


def read_operations():
    move = chess.Move.from_uci("e2e4")
    return [
        *PLAIN_READS.items(),
        ("legal_actions", lambda g: g.legal_actions()),
        ("terminal_value", lambda g: g.terminal_value(False)),
        ("encode", lambda g: g.encode(oracle=True)),
        ("action_index", lambda g: g.action_index("g1f3")),
        ("action_index move", lambda g: g.action_index(move)),
    ]


def kings(board):
    cells = [value for row in board for value in row]
    return cells.count(6), cells.count(-6)


def check_private_copy(copy):
    """Checks on a clone, which no other thread can see: nothing may fail here."""
    board = copy.board
    assert len(board) == 8 and all(len(row) == 8 for row in board)
    assert all(-6 <= value <= 6 for row in board for value in row)
    assert kings(board) == (1, 1)
    texts = copy.legal_actions_uci()
    assert [move.uci() for move in copy.legal_actions()] == texts
    assert len(copy.encode_flattened()) == 2240
    for text in texts:
        assert 0 <= copy.action_index(text) < 4352
    if texts:
        copy.apply(random.choice(texts))


def test_shared_games_survive_many_threads(install_module):
    # encode() runs against a stand-in torch: the stress is on the game, not on torch.
    install_module("torch", float32="float32", tensor=lambda rows, dtype: (len(rows), dtype))
    games = [SelfPlayGame(fen) for fen in FENS]
    histories = [[] for _ in games]
    unexpected = []
    refusals = {message: 0 for message in BORROW_REFUSALS}
    counter_lock = threading.Lock()
    operations = read_operations()
    deadline = [0.0]

    def refused(error):
        message = str(error)
        if message not in BORROW_REFUSALS:
            return False
        with counter_lock:
            refusals[message] += 1
        return True

    def writer(index):
        game, history = games[index], histories[index]
        rng = random.Random(index)
        # Past the deadline the readers stop, so a first action always gets through.
        def going():
            return time.monotonic() < deadline[0] or not history

        while going() and len(history) < MOVES_PER_GAME:
            # Only this thread changes the game, so the list stays current until used.
            try:
                actions = game.legal_actions()
            except RuntimeError as error:
                if not refused(error):
                    raise
                continue
            if not actions:
                break
            move = rng.choice(actions)
            while going():
                try:
                    game.apply(move)
                except RuntimeError as error:
                    if not refused(error):
                        raise
                    continue
                history.append(move.uci())
                break

    def reader(index):
        rng = random.Random(1000 + index)
        while time.monotonic() < deadline[0]:
            game = rng.choice(games)
            roll = rng.random()
            try:
                if roll < 0.1:
                    check_private_copy(game.clone())
                elif roll < 0.2:
                    try:
                        game.apply(WithholdsText())
                    except Withheld:
                        pass
                else:
                    rng.choice(operations)[1](game)
            except RuntimeError as error:
                if not refused(error):
                    raise

    def run(index):
        try:
            start.wait()
            if index == 0:
                deadline[0] = time.monotonic() + SECONDS
            start.wait()
            (writer if index < len(games) else reader)(index)
        except BaseException as error:  # noqa: BLE001 - every failure is reported below
            unexpected.append((index, repr(error)))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # more thread switches inside the calls into Python code
    try:
        threads = [threading.Thread(target=run, args=(i,)) for i in range(max(THREADS, len(games) + 1))]
        start = threading.Barrier(len(threads))
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=SECONDS + 60)
        assert not any(thread.is_alive() for thread in threads), "a thread hangs"
    finally:
        sys.setswitchinterval(interval)

    assert unexpected == []
    # Both refusals must have happened: the guard was really contended.
    assert all(refusals.values()), refusals
    for fen, game, history in zip(FENS, games, histories):
        assert history, f"no action was ever applied to {fen}"
        replay = SelfPlayGame(fen)
        for text in history:
            replay.apply(text)
        assert snapshot(game) == snapshot(replay)
        assert kings(game.board) == (1, 1)
        check_private_copy(game.clone())
    print(f"{len(threads)} threads, {sum(map(len, histories))} actions applied, borrow refusals: {refusals}")
