"""The borrow that guards each game: re-entry from Python callbacks, release on every path, threads."""

import random
import sys
import threading
import time
import types

import pytest

from murkplay import SelfPlayGame
from support import PLAIN_READS, CallbackAction, SlowAction

SHARED_REFUSED = "Already mutably borrowed"
EXCLUSIVE_REFUSED = "Already borrowed"

READS = {
    **PLAIN_READS,
    "clone": lambda g: g.clone(),
    "legal_actions": lambda g: g.legal_actions(),
    "terminal_value": lambda g: g.terminal_value(True),
    "encode": lambda g: g.encode(),
    "action_index": lambda g: g.action_index("e2e4"),
}
WRITES = {
    "apply text": lambda g: g.apply("e2e4"),
    "apply object": lambda g: g.apply(type("Action", (), {"uci": "d2d4"})()),
}
CALLS = {**READS, **WRITES}
# A read needs the shared borrow and so meets the exclusive one that apply holds; a
# nested write needs the exclusive borrow and meets it too, under the other message.
REENTRY_REFUSAL = {**dict.fromkeys(READS, SHARED_REFUSED), **dict.fromkeys(WRITES, EXCLUSIVE_REFUSED)}


def after_e2e4():
    game = SelfPlayGame()
    game.apply("e2e4")
    return game


class TestReentryDuringApply:
    @pytest.mark.parametrize("name", CALLS)
    def test_reads_and_nested_apply_are_refused(self, name, snapshot):
        game = SelfPlayGame()
        action = CallbackAction(lambda: CALLS[name](game))
        assert game.apply(action) is None
        assert type(action.raised) is RuntimeError
        assert str(action.raised) == REENTRY_REFUSAL[name]
        # The outer apply went ahead as if nothing had been tried.
        assert snapshot(game) == snapshot(after_e2e4())

    @pytest.mark.parametrize("name", CALLS)
    def test_refusal_escaping_from_uci(self, name, snapshot):
        game = SelfPlayGame()
        before = snapshot(game)
        call = CALLS[name]
        action = CallbackAction(lambda: call(game), swallow=False)
        with pytest.raises(RuntimeError) as raised:
            game.apply(action)
        assert raised.value is action.raised
        assert snapshot(game) == before
        # Released: both kinds of borrow can be taken again.
        game.apply("e2e4")
        assert snapshot(game) == snapshot(after_e2e4())

    def test_other_games_are_free(self, snapshot):
        game = SelfPlayGame()
        other = SelfPlayGame()
        action = CallbackAction(lambda: (other.apply("d2d4"), other.board))
        game.apply(action)
        assert action.raised is None
        reference = SelfPlayGame()
        reference.apply("d2d4")
        assert snapshot(other) == snapshot(reference)

    def test_clone_made_before_apply_is_free(self):
        game = SelfPlayGame()
        copy = game.clone()
        action = CallbackAction(lambda: copy.apply("g1f3"))
        game.apply(action)
        assert action.raised is None
        assert copy.board != game.board


class TestReentryDuringReads:
    def test_action_index_callback_may_read_but_not_write(self):
        game = SelfPlayGame()
        reading = CallbackAction(lambda: (game.board, game.legal_actions_uci(), game.clone().turn))
        assert game.action_index(reading) == game.action_index("e2e4")
        assert reading.raised is None
        assert reading.returned[2] is True

        writing = CallbackAction(lambda: game.apply("e2e4"))
        game.action_index(writing)
        assert type(writing.raised) is RuntimeError
        assert str(writing.raised) == EXCLUSIVE_REFUSED
        assert game.turn is True

    def test_from_uci_may_read_but_not_write(self, install_module):
        game = SelfPlayGame()
        expected = game.legal_actions_uci()
        seen = []

        def from_uci(text):
            seen.append((game.turn, len(game.legal_actions_uci()), game.clone().board == game.board))
            try:
                game.apply(text)
            except RuntimeError as error:
                return str(error)
            return "applied"

        install_module("chess", Move=type("Move", (), {"from_uci": staticmethod(from_uci)}))
        assert game.legal_actions() == [EXCLUSIVE_REFUSED] * len(expected)
        assert seen == [(True, len(expected), True)] * len(expected)
        assert game.legal_actions_uci() == expected
        game.apply("e2e4")
        assert game.turn is False

    def test_tensor_callback_may_read_but_not_write(self, install_module):
        game = SelfPlayGame()
        outcome = {}

        def tensor(rows, dtype=None):
            outcome["board"] = game.board
            try:
                game.apply("e2e4")
            except RuntimeError as error:
                outcome["apply"] = str(error)
            return ("tensor", len(rows), dtype)

        install_module("torch", tensor=tensor, float32="float32 marker")
        assert game.encode() == ("tensor", 64, "float32 marker")
        assert outcome == {"board": SelfPlayGame().board, "apply": EXCLUSIVE_REFUSED}
        game.apply("e2e4")
        assert game.turn is False

    def test_nested_readers_count_up_and_down(self, install_module):
        # Each level of from_uci opens one more shared borrow; all must close again.
        game = SelfPlayGame()
        depth = {"now": 0, "most": 0}

        def from_uci(text):
            depth["now"] += 1
            depth["most"] = max(depth["most"], depth["now"])
            try:
                if depth["now"] < 4:
                    game.legal_actions()
                else:
                    with pytest.raises(RuntimeError, match=f"^{EXCLUSIVE_REFUSED}$"):
                        game.apply("e2e4")
            finally:
                depth["now"] -= 1
            return text

        install_module("chess", Move=type("Move", (), {"from_uci": staticmethod(from_uci)}))
        assert game.legal_actions() == game.legal_actions_uci()
        assert depth == {"now": 0, "most": 4}
        game.apply("e2e4")
        assert game.turn is False


def raising(error):
    def fail(*args, **kwargs):
        raise error

    return fail


# Each entry gets the game and the stand-ins of conftest: m.install(name, **attributes)
# and m.block(name).
FAILURES = {
    "terminal_value(None)": lambda g, m: g.terminal_value(None),
    "terminal_value()": lambda g, m: g.terminal_value(),
    "encode_flattened(oracle=1)": lambda g, m: g.encode_flattened(oracle=1),
    "encode(oracle=1)": lambda g, m: g.encode(oracle=1),
    "action_index(None)": lambda g, m: g.action_index(None),
    "action_index bad text": lambda g, m: g.action_index("e9e4"),
    "action_index uci raises": lambda g, m: g.action_index(type("A", (), {"uci": raising(KeyError())})()),
    "action_index uci gives int": lambda g, m: g.action_index(type("A", (), {"uci": lambda self: 42})()),
    "apply(None)": lambda g, m: g.apply(None),
    "apply bad text": lambda g, m: g.apply("e2e4Q"),
    "apply empty source": lambda g, m: g.apply("e3e4"),
    "apply not the mover's piece": lambda g, m: g.apply("e7e5"),
    "apply own piece on destination": lambda g, m: g.apply("a1a2"),
    "apply uci raises": lambda g, m: g.apply(type("A", (), {"uci": raising(KeyError())})()),
    "apply uci gives int": lambda g, m: g.apply(type("A", (), {"uci": lambda self: 42})()),
    "apply uci surrogate": lambda g, m: g.apply(type("A", (), {"uci": lambda self: "e2e4\ud800"})()),
    "apply too many": lambda g, m: g.apply("e2e4", "e2e4"),
    "legal_actions without chess": lambda g, m: (m.block("chess"), g.legal_actions()),
    "legal_actions without Move": lambda g, m: (m.install("chess"), g.legal_actions()),
    "legal_actions from_uci raises": lambda g, m: (
        m.install("chess", Move=type("M", (), {"from_uci": staticmethod(raising(KeyError()))})),
        g.legal_actions(),
    ),
    "encode without torch": lambda g, m: (m.block("torch"), g.encode()),
    "encode without float32": lambda g, m: (m.install("torch", tensor=list), g.encode()),
    "encode tensor raises": lambda g, m: (
        m.install("torch", tensor=raising(KeyError()), float32=None),
        g.encode(),
    ),
    "clone with an argument": lambda g, m: g.clone(1),
}


@pytest.mark.parametrize("name", FAILURES)
def test_borrow_released_after_failure(name, monkeypatch, install_module, block_import, snapshot):
    game = SelfPlayGame()
    before = snapshot(game)
    modules = types.SimpleNamespace(install=install_module, block=block_import)
    with pytest.raises(BaseException) as raised:
        FAILURES[name](game, modules)
    assert not isinstance(raised.value, RuntimeError)
    monkeypatch.undo()
    assert snapshot(game) == before
    # Exclusive access is free again, and so is shared access after it.
    game.apply("e2e4")
    assert snapshot(game) == snapshot(after_e2e4())


def key(value):
    """A hashable digest of nested lists."""
    if isinstance(value, list):
        return hash(tuple(key(item) for item in value))
    return hash(value)


def test_threads_see_only_borrow_errors_and_whole_states():
    pytest.importorskip("chess")
    game = SelfPlayGame()
    stop = threading.Event()
    unexpected = []
    observed = {"board": [], "observation": [], "clone": [], "actions": []}
    conflicts = {"readers": 0, "writer": 0}
    lock = threading.Lock()

    # Readers keep only a hash of what they saw, so that a long run stays small.
    def read(kind):
        if kind == "actions":
            return key([move.uci() for move in game.legal_actions()])
        if kind == "observation":
            return key(game.encode_flattened())
        if kind == "board":
            return key(game.board)
        copy = game.clone()
        return key([copy.board, copy.turn, copy.encode_flattened()])

    def reader(kind):
        while not stop.is_set():
            # A short rest between reads, or readers overlapping without pause would
            # keep the game borrowed and starve the writer.
            time.sleep(0.0002)
            try:
                value = read(kind)
            except RuntimeError as error:
                if str(error) != SHARED_REFUSED:
                    unexpected.append(error)
                with lock:
                    conflicts["readers"] += 1
                continue
            except BaseException as error:  # noqa: BLE001 - anything else is a fault
                unexpected.append(error)
                return
            observed[kind].append(value)

    threads = [threading.Thread(target=reader, args=(kind,)) for kind in observed for _ in range(2)]
    accepted = []
    rng = random.Random(7)
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for thread in threads:
            thread.start()
        deadline = time.monotonic() + 20
        while len(accepted) < 150 and time.monotonic() < deadline and not unexpected:
            choices = game.legal_actions_uci()
            if not choices:
                break
            move = rng.choice(choices)
            try:
                game.apply(SlowAction(move))
            except RuntimeError as error:
                if str(error) != EXCLUSIVE_REFUSED:
                    unexpected.append(error)
                conflicts["writer"] += 1
                continue
            accepted.append(move)
            time.sleep(0.001)  # room for the readers to find the game free
    finally:
        stop.set()
        for thread in threads:
            thread.join(timeout=60)
        sys.setswitchinterval(old_interval)

    assert not any(thread.is_alive() for thread in threads)
    assert unexpected == []
    assert accepted

    # Replaying the accepted moves on a new game must give every state the readers saw.
    replay = SelfPlayGame()
    states = []
    for move in [None, *accepted]:
        if move is not None:
            replay.apply(move)
        states.append((replay.board, replay.turn, replay.encode_flattened(), replay.legal_actions_uci()))
    assert game.board == replay.board
    assert game.turn == replay.turn
    assert game.encode_flattened() == replay.encode_flattened()
    assert game.encode_flattened(oracle=True) == replay.encode_flattened(oracle=True)
    assert game.is_terminal() == replay.is_terminal()

    possible = {
        "board": {key(board) for board, _, _, _ in states},
        "observation": {key(observation) for _, _, observation, _ in states},
        "clone": {key([board, turn, observation]) for board, turn, observation, _ in states},
        "actions": {key(actions) for _, _, _, actions in states},
    }
    for kind, values in observed.items():
        assert set(values) <= possible[kind], kind
