"""Errors that tell the truth: what is not the argument's fault passes through unchanged,
every refusal keeps the error that caused it, and a refused FEN text says why in a note."""

import sys

import pytest

from murkplay import SelfPlayGame
from support import START_FEN

NOT_ABOUT_THE_INPUT = [KeyboardInterrupt, SystemExit, MemoryError]


class Attribute:
    """An object whose `fen` and `uci` attributes raise the given exception when looked up."""

    def __init__(self, exception):
        self.exception = exception

    @property
    def fen(self):
        raise self.exception

    uci = fen


READERS = {
    "constructor": lambda argument: SelfPlayGame(argument),
    "apply": lambda argument: SelfPlayGame().apply(argument),
    "action_index": lambda argument: SelfPlayGame().action_index(argument),
}
REFUSALS = {
    "constructor": "board must be a python-chess Board or FEN string",
    "apply": "action must be a python-chess Move or UCI string",
    "action_index": "action must be a python-chess Move or UCI string",
}


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("kind", NOT_ABOUT_THE_INPUT)
def test_interrupts_and_memory_errors_in_an_attribute_pass_through(reader, kind):
    raised = kind("from the attribute")
    with pytest.raises(kind) as caught:
        READERS[reader](Attribute(raised))
    assert caught.value is raised


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize(
    "argument, cause",
    [(Attribute(LookupError("no such thing")), LookupError), ("e2e4\udc00", UnicodeEncodeError)],
    ids=["failing lookup", "lone surrogate"],
)
def test_refusal_keeps_its_cause(reader, argument, cause):
    with pytest.raises(ValueError) as caught:
        READERS[reader](argument)
    assert str(caught.value) == REFUSALS[reader]
    assert type(caught.value.__cause__) is cause


class FailingImport:
    """A finder that makes importing one package raise the given exception."""

    def __init__(self, name, exception):
        self.name = name
        self.exception = exception

    def find_spec(self, name, path=None, target=None):
        if name == self.name:
            raise self.exception
        return None


IMPORTS = {
    "torch": (lambda game: game.encode(), "torch is required for encode()"),
    "chess": (lambda game: game.legal_actions(), "python-chess is required for legal_actions()"),
}


@pytest.fixture
def failing_import(monkeypatch):
    def install(name, exception):
        for loaded in [key for key in sys.modules if key == name or key.startswith(name + ".")]:
            monkeypatch.delitem(sys.modules, loaded)
        monkeypatch.setattr(sys, "meta_path", [FailingImport(name, exception), *sys.meta_path])

    return install


@pytest.mark.parametrize("package", IMPORTS)
@pytest.mark.parametrize("kind", [*NOT_ABOUT_THE_INPUT, ImportError])
def test_failed_import(package, kind, failing_import):
    call, refusal = IMPORTS[package]
    game = SelfPlayGame()
    raised = kind("libcudart.so.12: cannot open shared object file")
    failing_import(package, raised)
    if kind is ImportError:
        # A package that is there but cannot load is reported as missing, with the real reason.
        with pytest.raises(ValueError) as caught:
            call(game)
        assert str(caught.value) == refusal
        assert caught.value.__cause__ is raised
    else:
        with pytest.raises(kind) as caught:
            call(game)
        assert caught.value is raised


NOT_A_PLACEMENT_CHARACTER = "which is neither a piece letter, a digit from 1 to 8 nor '/'"
FEWER_THAN_FOUR = "fewer than four (fields are separated by spaces)"


@pytest.mark.parametrize(
    "text, note",
    [
        ("", f"the text has 1 field, {FEWER_THAN_FOUR}"),
        ("8/8/8/8/8/8/8/8 w", f"the text has 2 fields, {FEWER_THAN_FOUR}"),
        (START_FEN.replace(" w ", "\tw "), f"the piece placement holds a tab, {NOT_A_PLACEMENT_CHARACTER}"),
        (START_FEN.replace("/8/", "/9/", 1), f"the piece placement holds '9', {NOT_A_PLACEMENT_CHARACTER}"),
        ("4k3/8/8/8/8/8/8/4K2é w - - 0 1", f"the piece placement holds 'é', {NOT_A_PLACEMENT_CHARACTER}"),
        (START_FEN.replace(" w ", "  w "), "the side-to-move field is empty (two spaces in a row make an empty field)"),
        (START_FEN.replace(" w ", " white "), "the side to move is 'white', neither 'w' nor 'b'"),
        ("8/8/8/8/8/8/8/8 w - - 0 1", "there is no White king"),
        ("4k3/8/8/8/8/8/8/3KK3 w - - 0 1", "there are 2 White kings, not one"),
        ("4k3/8/8/8/8/8/8/4K3/4Q3 w - - 0 1",
         "there is no Black king (the piece placement describes 9 ranks, not eight)"),
        ("rnbqkbnrrrrrr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
         "there is no Black king (rank 8 describes more than eight squares, so later pieces replaced earlier ones)"),
        ("4k3/8/8/3P4/8/8/8/4K3 w - e6 0 1", "the en-passant field asks for a Black pawn on e5, and there is none"),
        ("4k3/8/8/8/8/8/8/4K2r b - - 0 1", "White is not to move, but its king on e1 can be captured at once"),
        ("4k3/8/8/8/8/8/8/R3K3 w K - 0 1", "White's king-side castling right needs a White rook on h1"),
        ("4k3/8/8/8/8/8/8/R2K3R w Q - 0 1", "White holds a castling right, but its king is not on e1"),
        ("8/8/8/4k3/4K3/8/8/8 w - - 0 1", "the kings on e4 and e5 stand next to each other"),
    ],
)
def test_refused_fen_says_why_in_a_note(text, note):
    with pytest.raises(ValueError) as caught:
        SelfPlayGame(text)
    assert str(caught.value) == "Invalid FEN string"
    assert caught.value.__notes__ == [note]
