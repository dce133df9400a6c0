"""Plain helpers shared by the Python tests, for places where a fixture cannot go
(hypothesis properties, module-level tables, helpers called from other helpers).

pytest puts this directory on ``sys.path`` before it imports the test files, so they
can say ``import support``.
"""

import importlib.util
import os
import random
import signal
import time
import types

import pytest

import murkplay_rl
from murkplay import SelfPlayGame

START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"

# The reads that need no python-chess, no torch and no argument of the caller's
# choosing; each test file adds the reads that its own setting can afford.
PLAIN_READS = {
    "turn": lambda g: g.turn,
    "board": lambda g: g.board,
    "castle_eligible": lambda g: g.castle_eligible(),
    "current_player": lambda g: g.current_player(),
    "legal_actions_uci": lambda g: g.legal_actions_uci(),
    "is_terminal": lambda g: g.is_terminal(),
    "encode_flattened": lambda g: g.encode_flattened(),
    "encode_flattened oracle": lambda g: g.encode_flattened(oracle=True),
}


# Under AddressSanitizer (scripts/hardening preloads its runtime) an allocation that cannot be made
# ends the process, and a C++ exception thrown inside pyarrow's own libraries trips its interceptor.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

def snapshot(game):
    """Everything Python can observe about a game.

    The fog memory has no reader of its own; it shows only through the observation,
    so both observation modes are part of the picture.
    """
    return {
        "board": game.board,
        "turn": game.turn,
        "current_player": game.current_player(),
        "terminal": game.is_terminal(),
        "value_white": game.terminal_value(True),
        "value_black": game.terminal_value(False),
        "castling": game.castle_eligible(),
        "actions": game.legal_actions_uci(),
        "observation": game.encode_flattened(),
        "oracle": game.encode_flattened(oracle=True),
    }


def frozen(value):
    """A hashable form of a snapshot (or any nesting of dicts, lists and tuples), equal
    exactly when the values are, so that many states can be kept in a set."""
    if isinstance(value, dict):
        return tuple((key, frozen(item)) for key, item in sorted(value.items()))
    if isinstance(value, (list, tuple)):
        return tuple(frozen(item) for item in value)
    return value


def expect_error(kind, call, message, unchanged=None):
    """Check that ``call()`` raises exactly ``kind`` (no subclass) with ``message``, and
    that the game ``unchanged``, when given, looks afterwards as it did before; return
    the error."""
    before = None if unchanged is None else snapshot(unchanged)
    with pytest.raises(kind) as raised:
        call()
    assert type(raised.value) is kind
    assert str(raised.value) == message
    if unchanged is not None:
        assert snapshot(unchanged) == before
    return raised.value


def random_play(seeds, plies):
    """Yield, for each seed, one game from the start before each of up to ``plies`` random moves.

    It is the same object every time within a seed, moved on after the caller is done
    with it, so a caller that keeps a position must clone it.
    """
    for seed in seeds:
        rng = random.Random(seed)
        game = SelfPlayGame()
        for _ in range(plies):
            yield game
            listed = game.legal_actions_uci()
            if not listed:
                break
            game.apply(rng.choice(listed))


def recorder(method, result):
    """An object whose ``method`` returns ``result`` and notes the arguments of every call."""
    calls = []

    def record(self, *args, **kwargs):
        calls.append((args, kwargs))
        return result

    return type("Recorder", (), {method: record})(), calls


class SlowAction:
    """An action that lets other threads run while ``apply`` holds the game."""

    def __init__(self, text):
        self.text = text

    def uci(self):
        time.sleep(0)
        return self.text


class CallbackAction:
    """An action whose ``uci`` runs a callback first; it records or lets through what the callback raised."""

    def __init__(self, callback, text="e2e4", swallow=True):
        self.callback = callback
        self.text = text
        self.swallow = swallow
        self.raised = None
        self.returned = None

    def uci(self):
        try:
            self.returned = self.callback()
        except BaseException as error:  # noqa: BLE001 - the test inspects whatever came out
            self.raised = error
            if not self.swallow:
                raise
        return self.text


def fake_module(name, **attributes):
    """A stand-in module with the given attributes; the caller decides where it goes."""
    module = types.ModuleType(name)
    for key, value in attributes.items():
        setattr(module, key, value)
    return module


def recorded_games(fens, max_plies, seed, oracle=False):
    """Play one random game from each FEN on a GameBatch and return its records with what the
    batch showed before every move: a list of (GameRecord, observations, masks), the arrays
    stacked ply by ply."""
    import numpy as np

    import murkplay_rl as rl
    from murkplay_rl.dataset import GameRecord

    played = []
    for number, fen in enumerate(fens):
        batch = rl.GameBatch(1, fen=fen, max_plies=max_plies, seed=seed + number)
        step = batch.observe(oracle=oracle)
        moves, slots, observations, masks = [], [], [], []
        while not (step.terminated[0] or step.truncated[0]):
            observations.append(step.observation[0].copy())
            masks.append(step.mask[0].copy())
            step = batch.step_random(oracle=oracle)
            moves.append(rl.move_uci(int(step.played_move[0])))
            slots.append(int(step.played_slot[0]))
        record = GameRecord(fen, moves, slots, len(moves), float(step.values[0, 0]), seed + number, number % 3)
        empty = (np.zeros((0, 64, 35), np.float32), np.zeros((0, rl.ACTION_COUNT), bool))
        played.append((record, *(map(np.stack, (observations, masks)) if moves else empty)))
    return played


def plain_buffers(n):
    """Every output of a call as a memoryview of the right element type and shape."""

    def buffer(fmt, itemsize, *shape):
        count = 1
        for dim in shape:
            count *= dim
        return memoryview(bytearray(count * itemsize)).cast(fmt, shape)

    capacity = n * murkplay_rl.MAX_MOVES
    fields = {
        "observation": buffer("f", 4, n, 64, 35),
        "mask": buffer("B", 1, n, murkplay_rl.ACTION_COUNT),
        "offsets": buffer("q", 8, n + 1),
        "moves": buffer("H", 2, capacity),
        "slots": buffer("q", 8, capacity),
        "terminated": buffer("B", 1, n),
        "truncated": buffer("B", 1, n),
        "values": buffer("f", 4, n, 2),
        "plies": buffer("i", 4, n),
        "played_move": buffer("H", 2, n),
        "played_slot": buffer("q", 8, n),
        "restarting": buffer("B", 1, n),
    }
    return type("Buffers", (), fields)()


def tracked_random_game(seed: int, side: bool, plies: int, limit: int):
    """Yields (ply, tracker, game, seconds of the update) after each of the side's updates."""
    rng = random.Random(seed)
    game = SelfPlayGame()
    tracker = murkplay_rl.BeliefTracker(game, side, limit=limit, seed=seed)
    played = None
    for ply in range(1, plies + 1):
        if game.is_terminal():
            return
        move = rng.choice(game.legal_actions_uci())
        if game.turn == side:
            played = move
        game.apply(move)
        if not game.is_terminal() and game.turn == side:
            start = time.perf_counter()
            tracker.update(game, played)
            yield ply, tracker, game, time.perf_counter() - start


def ctrl_c_as_interactive():
    """A subprocess preexec_fn for children a test interrupts: a process started in a shell's
    background inherits Ctrl-C ignored, and Python then leaves it ignored; the child gets it
    back as an interactive shell gives it."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def bench(name: str):
    """The module of ``bench/NAME.py``, loaded from its file (bench/ is no package)."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench", f"{name}.py")
    spec = importlib.util.spec_from_file_location(f"bench_{name}", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
