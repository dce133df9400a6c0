"""Reference leaks: every method and property, on success and on each failure path,
called a few thousand times; the interpreter's count of allocated blocks must not grow,
and neither may the reference counts of the objects passed in or of the class itself
(each live game holds a reference to its class, so a leaked game shows there too).
"""

from __future__ import annotations

import gc
import sys
import types

import numpy
import pytest

from murkplay import SelfPlayGame

chess = pytest.importorskip("chess")

ROUNDS = 3000
WARM_UP = 200
# Blocks the interpreter and python-chess may still settle (free lists, caches) across
# the measured rounds; a leak of even one block per call is ten times as much.
TOLERANCE = ROUNDS // 10

START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
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


class Fen:
    def __init__(self, result):
        self.result = result

    def fen(self):
        # A new exception each time: raising one instance again would lengthen its
        # traceback, a growth of the test's own making.
        if isinstance(self.result, BaseException):
            raise type(self.result)(*self.result.args)
        return self.result


class Uci:
    def __init__(self, result):
        self.result = result

    def uci(self):
        if isinstance(self.result, BaseException):
            raise type(self.result)(*self.result.args)
        return self.result


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


def fake_module(name, **attributes):
    module = types.ModuleType(name)
    for key, value in attributes.items():
        setattr(module, key, value)
    return module


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
    """(id, setup) pairs; setup(game, modules) gives the call to repeat and the objects
    whose reference counts must stay as they are. `modules` maps names to stand-ins
    placed in sys.modules for the test (None blocks the import)."""
    out = []

    def case(name, modules=None):
        def register(setup):
            out.append(pytest.param(setup, modules or {}, id=name))
            return setup

        return register

    # Construction.
    @case("new/start")
    def _(game):
        return lambda: SelfPlayGame(), []

    @case("new/fen text")
    def _(game):
        fen = fresh(START_FEN)
        return lambda: SelfPlayGame(fen), [fen]

    @case("new/keyword board")
    def _(game):
        fen = fresh(START_FEN)
        return lambda: SelfPlayGame(board=fen), [fen]

    @case("new/fen method")
    def _(game):
        board = Fen(fresh(START_FEN))
        return lambda: SelfPlayGame(board), [board, board.result]

    @case("new/python-chess board")
    def _(game):
        board = chess.Board()
        return lambda: SelfPlayGame(board), [board]

    @case("new/invalid fen")
    def _(game):
        fen = fresh("8/8/8/8/8/8/8/8 w - - 0 1")
        return raises(ValueError, SelfPlayGame, fen), [fen]

    @case("new/unreadable fen")
    def _(game):
        fen = fresh("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR x KQkq - 0 1")
        return raises(ValueError, SelfPlayGame, fen), [fen]

    @case("new/bytes")
    def _(game):
        data = bytes(bytearray(b"8/8 w - -"))
        return raises(ValueError, SelfPlayGame, data), [data]

    @case("new/surrogate str")
    def _(game):
        text = fresh("\ud800 w - -")
        return raises(ValueError, SelfPlayGame, text), [text]

    @case("new/fen raises")
    def _(game):
        board = Fen(Raised("fen"))
        return raises(Raised, SelfPlayGame, board), [board, board.result]

    @case("new/fen returns int")
    def _(game):
        board = Fen(10**30)
        return raises(TypeError, SelfPlayGame, board), [board, board.result]

    @case("new/fen returns surrogates")
    def _(game):
        board = Fen(fresh("\udc80"))
        return raises(UnicodeEncodeError, SelfPlayGame, board), [board, board.result]

    @case("new/fen lookup raises")
    def _(game):
        board = LookupFails()
        return raises(ValueError, SelfPlayGame, board), [board]

    @case("new/too many arguments")
    def _(game):
        fen = fresh(START_FEN)
        return raises(TypeError, SelfPlayGame, fen, fen), [fen]

    @case("new/unexpected keyword")
    def _(game):
        fen = fresh(START_FEN)
        return raises(TypeError, SelfPlayGame, fen=fen), [fen]

    # Readers.
    for name, read in [
        ("turn", lambda g: g.turn),
        ("board", lambda g: g.board),
        ("castle_eligible", lambda g: g.castle_eligible()),
        ("clone", lambda g: g.clone()),
        ("current_player", lambda g: g.current_player()),
        ("legal_actions_uci", lambda g: g.legal_actions_uci()),
        ("is_terminal", lambda g: g.is_terminal()),
        ("encode_flattened", lambda g: g.encode_flattened()),
        ("encode_flattened/oracle", lambda g: g.encode_flattened(oracle=True)),
    ]:
        case(f"read/{name}")(lambda game, read=read: (lambda: read(game), [game]))

    @case("read/legal_actions")
    def _(game):
        return lambda: game.legal_actions(), [game]

    @case("read/legal_actions stand-in chess", {"chess": fake_chess()})
    def _(game):
        return lambda: game.legal_actions(), [game]

    @case("read/legal_actions from_uci raises", {"chess": fake_chess(fail_after=5)})
    def _(game):
        return raises(Raised, game.legal_actions), [game]

    @case("read/legal_actions no chess", {"chess": None})
    def _(game):
        return raises(ValueError, game.legal_actions), [game]

    @case("read/legal_actions chess without Move", {"chess": fake_module("chess")})
    def _(game):
        return raises(AttributeError, game.legal_actions), [game]

    @case("read/terminal_value")
    def _(game):
        flag = numpy.bool_(True)
        return lambda: game.terminal_value(flag), [flag]

    @case("read/terminal_value int")
    def _(game):
        number = 10**30
        return raises(TypeError, game.terminal_value, number), [number]

    @case("read/terminal_value None")
    def _(game):
        return raises(TypeError, game.terminal_value, None), [game]

    @case("read/encode", {"torch": fake_torch()})
    def _(game):
        return lambda: game.encode(oracle=True), [game]

    @case("read/encode no torch", {"torch": None})
    def _(game):
        return raises(ValueError, game.encode), [game]

    @case("read/encode tensor raises", {"torch": fake_torch(raise_in_tensor=True)})
    def _(game):
        return raises(Raised, game.encode), [game]

    @case("read/encode torch without float32", {"torch": fake_torch(with_float32=False)})
    def _(game):
        return raises(AttributeError, game.encode), [game]

    @case("read/encode bad oracle")
    def _(game):
        flag = [True]
        return raises(TypeError, game.encode_flattened, flag), [flag]

    @case("read/clone with an argument")
    def _(game):
        return raises(TypeError, game.clone, game), [game]

    @case("read/set turn")
    def _(game):
        return raises(AttributeError, setattr, game, "turn", False), [game]

    # action_index.
    @case("action_index/text")
    def _(game):
        text = fresh("e7e8q")
        return lambda: game.action_index(text), [text]

    @case("action_index/python-chess move")
    def _(game):
        move = chess.Move.from_uci("g1f3")
        return lambda: game.action_index(move), [move]

    @case("action_index/uci attribute")
    def _(game):
        action = UciText(fresh("e2e4"))
        return lambda: game.action_index(action), [action, action.uci]

    @case("action_index/invalid uci")
    def _(game):
        text = fresh("e2e9")
        return raises(ValueError, game.action_index, text), [text]

    @case("action_index/uci returns bytes")
    def _(game):
        action = Uci(bytes(bytearray(b"e2e4")))
        return raises(TypeError, game.action_index, action), [action, action.result]

    @case("action_index/missing argument")
    def _(game):
        return raises(TypeError, game.action_index), [game]

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

    @case("apply/moves back and forth")
    def _(game):
        texts = [fresh(t) for t in ("g1f3", "g8f6", "f3g1", "f6g8")]

        def run():
            for text in texts:
                game.apply(text)

        return run, texts

    @case("apply/python-chess move")
    def _(game):
        moves = [chess.Move.from_uci(t) for t in ("b1c3", "b8c6", "c3b1", "c6b8")]

        def run():
            for move in moves:
                game.apply(move)

        return run, moves

    @case("apply/invalid uci")
    def _(game):
        text = fresh("e7e8Q")
        return raises(ValueError, game.apply, text), [text]

    @case("apply/empty source")
    def _(game):
        text = fresh("e4e5")
        return raises(ValueError, game.apply, text), [text]

    @case("apply/opponent's piece")
    def _(game):
        text = fresh("e7e5")
        return raises(ValueError, game.apply, text), [text]

    @case("apply/onto own piece")
    def _(game):
        text = fresh("a1a2")
        return raises(ValueError, game.apply, text), [text]

    @case("apply/not text")
    def _(game):
        number = 10**30
        return raises(ValueError, game.apply, number), [number]

    @case("apply/uci raises")
    def _(game):
        action = Uci(Raised("uci"))
        return raises(Raised, game.apply, action), [action, action.result]

    @case("apply/uci returns surrogates")
    def _(game):
        action = Uci(fresh("e2\udc80"))
        return raises(UnicodeEncodeError, game.apply, action), [action, action.result]

    @case("apply/uci lookup raises")
    def _(game):
        action = LookupFails()
        return raises(ValueError, game.apply, action), [action]

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
