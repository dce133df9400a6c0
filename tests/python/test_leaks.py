"""Reference leaks: every method and property, on success and on each failure path,
called a few thousand times; the interpreter's count of allocated blocks must not grow,
and neither may the reference counts of the objects passed in or of the class itself
(each live game holds a reference to its class, so a leaked game shows there too).
"""

from __future__ import annotations

import gc
import sys

import numpy
import pytest

from murkplay import SelfPlayGame
from support import PLAIN_READS, START_FEN, fake_module

chess = pytest.importorskip("chess")

ROUNDS = 3000
WARM_UP = 200
# Blocks the interpreter and python-chess may still settle (free lists, caches) across
# the measured rounds; a leak of even one block per call is ten times as much.
TOLERANCE = ROUNDS // 10

# Black's king steps onto the rook's file; taking it leaves the board as it is, so the
# capture can be applied again and again.
KING_WALKS_IN_FEN = "8/8/3k4/8/8/4K3/8/3R4 b - - 0 1"

if sys.getallocatedblocks() == 0:  # pragma: no cover - only without pymalloc
    pytest.skip("the interpreter does not count allocated blocks", allow_module_level=True)


def fresh(text: str) -> str:
    """A str object of its own, not a shared constant or an immortal one."""
    return "".join(list(text))


class Raised(Exception):
    pass


class Gives:
    """A board or an action: fen() and uci() return ``result``, or raise it when it is an exception."""

    def __init__(self, result):
        self.result = result

    def fen(self):
        # A new exception each time: raising one instance again would lengthen its
        # traceback, a growth of the test's own making.
        if isinstance(self.result, BaseException):
            raise type(self.result)(*self.result.args)
        return self.result

    uci = fen


class UciText:
    def __init__(self, text):
        self.uci = text


class LookupFails:
    @property
    def uci(self):
        raise Raised("lookup")

    fen = uci


class CallsBack:
    """uci() calls into the game it is applied to; the refusal is kept or let through."""

    def __init__(self, game, call, swallow):
        self.game, self.call, self.swallow = game, call, swallow
        self.text = fresh("e2e4")

    def uci(self):
        try:
            self.call(self.game)
        except RuntimeError:
            if not self.swallow:
                raise
        return self.text


def fake_chess(fail_after=None):
    count = [0]

    def from_uci(text):
        count[0] += 1
        if fail_after is not None and count[0] % (fail_after + 1) == 0:
            raise Raised("from_uci")
        return ("move", text)

    return fake_module("chess", Move=type("Move", (), {"from_uci": staticmethod(from_uci)}))


def fake_torch(raise_in_tensor=False, with_float32=True):
    def tensor(rows, dtype):
        if raise_in_tensor:
            raise Raised("tensor")
        return len(rows)

    attributes = {"tensor": tensor}
    if with_float32:
        attributes["float32"] = object()
    return fake_module("torch", **attributes)


def raises(exception, call, *args, **kwargs):
    def run():
        try:
            call(*args, **kwargs)
        except exception:
            return
        raise AssertionError(f"{call} did not raise {exception.__name__}")

    return run


def cases():
    """(id, setup) pairs; setup(game) gives the call to repeat and the objects whose
    reference counts must stay as they are. `modules` maps names to stand-ins placed in
    sys.modules for the test (None blocks the import)."""
    out = []

    def case(name, modules=None):
        def register(setup):
            out.append(pytest.param(setup, modules or {}, id=name))
            return setup

        return register

    # One argument passed again and again; it ends in a result (error None) or in
    # `error`. The argument is watched, and so is what a Gives hands over. The
    # constructor has no method name.
    for name, error, method, argument in [
        ("new/fen text", None, None, fresh(START_FEN)),
        ("new/fen method", None, None, Gives(fresh(START_FEN))),
        ("new/python-chess board", None, None, chess.Board()),
        ("new/invalid fen", ValueError, None, fresh("8/8/8/8/8/8/8/8 w - - 0 1")),
        ("new/unreadable fen", ValueError, None, fresh("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR x KQkq - 0 1")),
        ("new/bytes", ValueError, None, bytes(bytearray(b"8/8 w - -"))),
        ("new/surrogate str", ValueError, None, fresh("\ud800 w - -")),
        ("new/fen raises", Raised, None, Gives(Raised("fen"))),
        ("new/fen returns int", TypeError, None, Gives(10**30)),
        ("new/fen returns surrogates", UnicodeEncodeError, None, Gives(fresh("\udc80"))),
        ("new/fen lookup raises", ValueError, None, LookupFails()),
        ("read/terminal_value", None, "terminal_value", numpy.bool_(True)),
        ("read/terminal_value int", TypeError, "terminal_value", 10**30),
        ("read/encode bad oracle", TypeError, "encode_flattened", [True]),
        ("action_index/text", None, "action_index", fresh("e7e8q")),
        ("action_index/python-chess move", None, "action_index", chess.Move.from_uci("g1f3")),
        ("action_index/invalid uci", ValueError, "action_index", fresh("e2e9")),
        ("action_index/uci returns bytes", TypeError, "action_index", Gives(bytes(bytearray(b"e2e4")))),
        ("apply/invalid uci", ValueError, "apply", fresh("e7e8Q")),
        ("apply/empty source", ValueError, "apply", fresh("e4e5")),
        ("apply/opponent's piece", ValueError, "apply", fresh("e7e5")),
        ("apply/onto own piece", ValueError, "apply", fresh("a1a2")),
        ("apply/not text", ValueError, "apply", 10**30),
        ("apply/uci raises", Raised, "apply", Gives(Raised("uci"))),
        ("apply/uci returns surrogates", UnicodeEncodeError, "apply", Gives(fresh("e2\udc80"))),
        ("apply/uci lookup raises", ValueError, "apply", LookupFails()),
    ]:

        def with_argument(game, error=error, method=method, argument=argument):
            call = SelfPlayGame if method is None else getattr(game, method)
            watched = [argument, argument.result] if isinstance(argument, Gives) else [argument]
            return (lambda: call(argument)) if error is None else raises(error, call, argument), watched

        case(name)(with_argument)

    # Calls that take nothing but the game, some with stand-in modules; the game is watched.
    reads = {**PLAIN_READS, "clone": lambda g: g.clone()}
    for name, modules, error, call in [
        *((f"read/{name}", {}, None, read) for name, read in reads.items()),
        ("read/legal_actions", {}, None, lambda g: g.legal_actions()),
        ("read/legal_actions stand-in chess", {"chess": fake_chess()}, None, lambda g: g.legal_actions()),
        ("read/legal_actions from_uci raises", {"chess": fake_chess(fail_after=5)}, Raised,
         lambda g: g.legal_actions()),
        ("read/legal_actions no chess", {"chess": None}, ValueError, lambda g: g.legal_actions()),
        ("read/legal_actions chess without Move", {"chess": fake_module("chess")}, AttributeError,
         lambda g: g.legal_actions()),
        ("read/terminal_value None", {}, TypeError, lambda g: g.terminal_value(None)),
        ("read/encode", {"torch": fake_torch()}, None, lambda g: g.encode(oracle=True)),
        ("read/encode no torch", {"torch": None}, ValueError, lambda g: g.encode()),
        ("read/encode tensor raises", {"torch": fake_torch(raise_in_tensor=True)}, Raised, lambda g: g.encode()),
        ("read/encode torch without float32", {"torch": fake_torch(with_float32=False)}, AttributeError,
         lambda g: g.encode()),
        ("read/clone with an argument", {}, TypeError, lambda g: g.clone(g)),
        ("read/set turn", {}, AttributeError, lambda g: setattr(g, "turn", False)),
        ("action_index/missing argument", {}, TypeError, lambda g: g.action_index()),
    ]:

        def on_the_game(game, error=error, call=call):
            return (lambda: call(game)) if error is None else raises(error, call, game), [game]

        case(name, modules)(on_the_game)

    # Construction by keyword and with the wrong arguments.
    @case("new/start")
    def _(game):
        return lambda: SelfPlayGame(), []

    @case("new/keyword board")
    def _(game):
        fen = fresh(START_FEN)
        return lambda: SelfPlayGame(board=fen), [fen]

    @case("new/too many arguments")
    def _(game):
        fen = fresh(START_FEN)
        return raises(TypeError, SelfPlayGame, fen, fen), [fen]

    @case("new/unexpected keyword")
    def _(game):
        fen = fresh(START_FEN)
        return raises(TypeError, SelfPlayGame, fen=fen), [fen]

    # action_index.
    @case("action_index/uci attribute")
    def _(game):
        action = UciText(fresh("e2e4"))
        return lambda: game.action_index(action), [action, action.uci]

    @case("action_index/calls apply back")
    def _(game):
        action = CallsBack(game, lambda g: g.apply("e2e4"), swallow=False)
        return raises(RuntimeError, game.action_index, action), [action, action.text]

    # apply.
    @case("apply/king capture")
    def _(game):
        game = SelfPlayGame(KING_WALKS_IN_FEN)
        game.apply("d6d5")
        text = fresh("d1d5")
        return lambda: game.apply(text), [text, game]

    # Knights out and back, so that every round starts from the same position.
    for name, moves in [
        ("apply/moves back and forth", [fresh(t) for t in ("g1f3", "g8f6", "f3g1", "f6g8")]),
        ("apply/python-chess move", [chess.Move.from_uci(t) for t in ("b1c3", "b8c6", "c3b1", "c6b8")]),
    ]:

        def out_and_back(game, moves=moves):
            def run():
                for move in moves:
                    game.apply(move)

            return run, moves

        case(name)(out_and_back)

    @case("apply/uci reads the game")
    def _(game):
        action = CallsBack(game, lambda g: g.board, swallow=False)
        return raises(RuntimeError, game.apply, action), [action, action.text]

    @case("apply/uci applies to the game")
    def _(game):
        # The nested apply is refused inside; the outer one then plays e2e4 and the
        # move back follows, so every round starts from the same position.
        action = CallsBack(game, lambda g: g.apply("e2e4"), swallow=True)
        back = [fresh(t) for t in ("g8f6", "e4e5", "f6g8")]

        def run():
            fresh_game = SelfPlayGame()
            action.game = fresh_game
            fresh_game.apply(action)
            for text in back:
                fresh_game.apply(text)

        return run, [action, action.text] + back

    @case("apply/too many arguments")
    def _(game):
        text = fresh("e2e4")
        return raises(TypeError, game.apply, text, text), [text]

    @case("apply/keyword")
    def _(game):
        def run():
            copy = game.clone()
            copy.apply(action=text)

        text = fresh("e2e4")
        return run, [text, game]

    return out


def allocated_blocks():
    gc.collect()
    gc.collect()
    return sys.getallocatedblocks()


@pytest.mark.parametrize(("setup", "modules"), cases())
def test_calls_release_what_they_take(setup, modules, monkeypatch):
    for name, module in modules.items():
        monkeypatch.setitem(sys.modules, name, module)
    game = SelfPlayGame()
    call, watched = setup(game)
    for _ in range(WARM_UP):
        call()
    before = allocated_blocks()
    counts = [sys.getrefcount(obj) for obj in watched]
    class_count = sys.getrefcount(SelfPlayGame)
    for _ in range(ROUNDS):
        call()
    grown = allocated_blocks() - before
    assert grown < TOLERANCE, f"{grown} blocks more after {ROUNDS} calls"
    assert [sys.getrefcount(obj) for obj in watched] == counts
    assert sys.getrefcount(SelfPlayGame) == class_count
