"""Arbitrary input thrown at every entry point that takes an argument.

Each property computes the expected outcome from the reading rules (FEN, UCI, argument
matching, text from objects), restated here in a few lines of plain Python, and checks
that the call ends in exactly that value or that exception, and that a failed call
leaves the game as it was.
"""

from __future__ import annotations

import sys
import types

import numpy
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from murkplay import SelfPlayGame
import reference_model as model
from support import START_FEN, snapshot

FILES = "abcdefgh"
KIND_LETTERS = "pnbrqk"  # piece kinds 0..5; the board matrix uses kind + 1
ACTION_REFUSAL = "action must be a python-chess Move or UCI string"
BOARD_REFUSAL = "board must be a python-chess Board or FEN string"

POSITIONS = [
    START_FEN,
    "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1",
    "r3k2r/1P6/8/3pP3/8/8/6p1/R3K2R w KQkq d6 0 1",
    "4k3/8/8/8/3pP3/8/8/4K3 b - e3 0 1",
    "8/8/3k4/8/8/4K3/8/3R4 b - - 0 1",
]

FUZZ = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def square_name(sq: int) -> str:
    return FILES[sq % 8] + str(sq // 8 + 1)


def at(matrix, sq: int) -> int:
    return matrix[7 - sq // 8][sq % 8]


# --------------------------------------------------------------------------- reading rules


def read_square(data: bytes, at_byte: int):
    if len(data) < at_byte + 2:
        return None
    f, r = data[at_byte], data[at_byte + 1]
    if not (ord("a") <= f <= ord("h") and ord("1") <= r <= ord("8")):
        return None
    return (r - ord("1")) * 8 + (f - ord("a"))


def read_uci(data: bytes):
    """(source, destination, promotion letter or "") or None when the text is refused."""

    def starts_character(byte):
        return byte & 0xC0 != 0x80

    n = len(data)
    if n < 2 or (n > 2 and not starts_character(data[2])):
        return None
    source = read_square(data, 0)
    if source is None or n < 4 or (n > 4 and not starts_character(data[4])):
        return None
    destination = read_square(data, 2)
    if destination is None:
        return None
    promotion = ""
    if n == 5:
        promotion = chr(data[4])
        if promotion not in "qrbn":
            return None
    return source, destination, promotion


def read_fen(data: bytes):
    """(board matrix, White to move, castling rights of both) or None when refused."""
    try:
        position = model.Position.from_fen(data)
    except model.Refused:
        return None
    return position.matrix(), position.side == model.WHITE, position.castling


def utf8(text: str):
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        return None


# --------------------------------------------------------------------------- odd objects


class Raised(Exception):
    pass


class Sample:
    """An argument, built for a given game, and what reading text from it must give:
    bytes, or an exception (a type and message, or the very instance that must pass)."""

    def __init__(self, make, text=None, error=None, message=None, instance=None, label=""):
        self.make, self.text, self.error, self.message, self.instance = make, text, error, message, instance
        self.label = label

    def __repr__(self):
        return f"Sample({self.label})"


def with_attribute(attribute, value, callable_value):
    if callable_value:
        namespace = {attribute: lambda self: value}
    else:
        namespace = {attribute: value}
    return type("Holder", (), namespace)()


def texts():
    """Text mostly close to UCI, with odd bytes, surrogates and wrong letters mixed in."""
    square = st.tuples(st.sampled_from("abcdefghiAz0"), st.sampled_from("1234567890")).map("".join)
    tail = st.sampled_from(["", "q", "r", "b", "n", "k", "p", "Q", "qq", "xyz", " ", "é", "\u00e9q", "\ud800", "\x00"])
    near_uci = st.tuples(square, square, tail).map("".join)
    short = st.tuples(square, st.sampled_from(["", "e", "é", "\ud83d"])).map("".join)
    return st.one_of(near_uci, near_uci, short, st.text(max_size=8))


def text_samples(attribute, refusal):
    def from_text(text):
        data = utf8(text)
        if data is not None:
            return Sample(lambda game: text, text=data, label=repr(text))
        return Sample(lambda game: text, error=ValueError, message=refusal, label=repr(text))

    def method(text):
        data = utf8(text)
        make = lambda game: with_attribute(attribute, text, True)  # noqa: E731
        if data is None:
            return Sample(make, error=UnicodeEncodeError, label=f"{attribute}() -> {text!r}")
        return Sample(make, text=data, label=f"{attribute}() -> {text!r}")

    def plain_attribute(text):
        data = utf8(text)
        make = lambda game: with_attribute(attribute, text, False)  # noqa: E731
        if data is None:
            return Sample(make, error=ValueError, message=refusal, label=f"{attribute} = {text!r}")
        return Sample(make, text=data, label=f"{attribute} = {text!r}")

    def str_subclass(text):
        data = utf8(text)
        sub = type("Text", (str,), {})
        if data is None:
            return Sample(lambda game: sub(text), error=ValueError, message=refusal, label="str subclass")
        return Sample(lambda game: sub(text), text=data, label="str subclass")

    def raising(_):
        instance = Raised("from the caller's object")

        def method(self):
            raise instance

        holder = type("Holder", (), {attribute: method})
        return Sample(lambda game: holder(), instance=instance, label=f"{attribute}() raises")

    def non_string_result(value):
        return Sample(
            lambda game: with_attribute(attribute, value, True),
            error=TypeError,
            message=f"'{type(value).__name__}' object is not an instance of 'str'",
            label=f"{attribute}() -> {value!r}",
        )

    def refused(value):
        return Sample(lambda game: value, error=ValueError, message=refusal, label=repr(value))

    def non_string_attribute(value):
        return Sample(
            lambda game: with_attribute(attribute, value, False), error=ValueError, message=refusal, label="attr"
        )

    def failing_lookup(_):
        class Holder:
            @property
            def fen(self):
                raise Raised("lookup")

            uci = fen

        return Sample(lambda game: Holder(), error=ValueError, message=refusal, label="lookup raises")

    odd_values = st.one_of(
        st.none(),
        st.integers(),
        st.floats(allow_nan=False),
        st.binary(max_size=6),
        st.lists(st.integers(), max_size=2),
        st.just(object()),
    )
    return st.one_of(
        texts().map(from_text),
        texts().map(method),
        texts().map(plain_attribute),
        texts().map(str_subclass),
        st.just(None).map(raising),
        st.one_of(st.integers(), st.binary(max_size=4), st.none()).map(non_string_result),
        odd_values.filter(lambda v: v is not None or attribute != "fen").map(refused),
        odd_values.map(non_string_attribute),
        st.just(None).map(failing_lookup),
    )


def expect_outcome(sample, call):
    """Runs `call`, which must fail as the sample says; returns the exception."""
    expected = sample.instance.__class__ if sample.instance is not None else sample.error
    with pytest.raises(expected) as raised:
        call()
    if sample.instance is not None:
        assert raised.value is sample.instance
    elif sample.message is not None:
        assert str(raised.value) == sample.message
    return raised.value


# --------------------------------------------------------------------------- properties


def expected_apply(matrix, white, data):
    move = read_uci(data)
    if move is None:
        return ("error", "Invalid UCI move")
    s, d, promotion = move
    uci = square_name(s) + square_name(d) + promotion
    sign, side = (1, "White") if white else (-1, "Black")
    mover, target = at(matrix, s), at(matrix, d)
    if mover == 0:
        return ("error", f"Cannot apply {uci}: there is no piece on {square_name(s)}")
    if mover * sign < 0:
        return ("error", f"Cannot apply {uci}: the piece on {square_name(s)} is not {side}'s")
    if abs(target) == 6:
        return ("king", 0 if target > 0 else 1)
    if target * sign > 0:
        return ("error", f"Cannot apply {uci}: {square_name(d)} holds one of {side}'s own pieces")
    return ("played", s, d, promotion)


@FUZZ
@given(fen=st.sampled_from(POSITIONS), sample=text_samples("uci", ACTION_REFUSAL))
def test_apply_ends_as_the_rules_say(fen, sample):
    game = SelfPlayGame(fen)
    before = snapshot(game)
    matrix, white = before["board"], before["turn"]
    action = sample.make(game)
    if sample.text is None:
        expect_outcome(sample, lambda: game.apply(action))
        assert snapshot(game) == before
        return
    outcome = expected_apply(matrix, white, sample.text)
    if outcome[0] == "error":
        with pytest.raises(ValueError) as raised:
            game.apply(action)
        assert str(raised.value) == outcome[1]
        assert snapshot(game) == before
    elif outcome[0] == "king":
        assert game.apply(action) is None
        assert (game.board, game.turn) == (matrix, white)
        assert game.is_terminal()
        assert game.terminal_value(True) == (-1.0 if outcome[1] == 0 else 1.0)
    else:
        _, s, d, promotion = outcome
        assert game.apply(action) is None
        after = game.board
        mover = at(matrix, s)
        kind = abs(mover)
        if kind == 1 and promotion:
            kind = KIND_LETTERS.index(promotion) + 1
        assert game.turn is (not white)
        assert at(after, s) == 0
        assert at(after, d) == (kind if mover > 0 else -kind)
        assert not game.is_terminal()


def expected_index(white, data):
    move = read_uci(data)
    if move is None:
        return None
    s, d, promotion = move
    if not white:
        s, d = s ^ 56, d ^ 56
    if promotion:
        return 4096 + 4 * s + "qrbn".index(promotion)
    return 64 * s + d


@FUZZ
@given(fen=st.sampled_from(POSITIONS), sample=text_samples("uci", ACTION_REFUSAL))
def test_action_index_ends_as_the_rules_say(fen, sample):
    game = SelfPlayGame(fen)
    before = snapshot(game)
    action = sample.make(game)
    if sample.text is None:
        expect_outcome(sample, lambda: game.action_index(action))
    else:
        index = expected_index(before["turn"], sample.text)
        if index is None:
            with pytest.raises(ValueError, match="^Invalid UCI move$"):
                game.action_index(action)
        else:
            assert game.action_index(action) == index
    assert snapshot(game) == before


def fen_texts():
    """Mostly positions that have a fair chance to be valid, written with FEN's quirks."""
    letters = "PNBRQKpnbrqk"

    def write(pieces, kings, side, castling, ep, spaces, extra):
        cells = [None] * 64
        for q, piece in pieces.items():
            cells[q] = piece
        for q, piece in zip(kings, "Kk"):
            cells[q] = piece
        ranks = []
        for rank in range(7, -1, -1):
            text, gap = "", 0
            for file in range(8):
                piece = cells[rank * 8 + file]
                if piece is None:
                    gap += 1
                    continue
                text += (str(gap) if gap else "") + piece
                gap = 0
            ranks.append(text + (str(gap) if gap else ""))
        return spaces.join(["/".join(ranks), side, castling, ep] + extra)

    positions = st.builds(
        write,
        st.dictionaries(st.integers(0, 63), st.sampled_from(letters), max_size=12),
        st.lists(st.integers(0, 63), min_size=2, max_size=2),
        st.sampled_from(["w", "b", "W", "B", "x", "wb", ""]),
        st.text(alphabet="KQkq-x", max_size=5),
        st.one_of(st.sampled_from(["-", "e3", "e6", "d6", "a3", "h6", "z9", "e"]), st.text(max_size=3)),
        st.sampled_from([" ", " ", " ", "  "]),
        st.sampled_from([[], ["0", "1"], ["0"], ["x", "y", "z"]]),
    )
    raw = st.text(alphabet="pnbrqkPNBRQK12345678/09 wbKQ-e3é", max_size=40)
    return st.one_of(positions, positions, positions, raw, st.text(max_size=20))


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(text=fen_texts())
@example(text="4k3/8/8/3P4/8/8/8/4K3 w - e6 0 1")
@example(text="4k3/8/4n3/3P4/8/8/8/4K3 w - e6 0 1")
@example(text="4k3/8/8/8/3pP3/8/8/4K3 b - e3")
@example(text="4k3/8/8/8/3p4/8/8/4K3 b - e6")
@example(text="r3k2r/8/8/8/8/8/8/R3K2R w  KQkq - 0 1")
@example(text="r3k3/8/8/8/8/8/8/R3K2R b Kq - 0 1")
def test_constructor_reads_fen_as_the_rules_say(text):
    expected = read_fen(text.encode("utf-8", "surrogatepass"))
    if utf8(text) is None:
        expected = None
    if expected is None:
        message = "Invalid FEN string" if utf8(text) is not None else BOARD_REFUSAL
        with pytest.raises(ValueError) as raised:
            SelfPlayGame(text)
        assert str(raised.value) == message
        return
    matrix, white, rights = expected
    game = SelfPlayGame(text)
    assert game.board == matrix
    assert game.turn is white
    own = rights[0 if white else 1]
    assert game.castle_eligible() == (bool(own & 1), bool(own & 2))


@FUZZ
@given(sample=text_samples("fen", BOARD_REFUSAL))
def test_constructor_reads_text_from_objects(sample):
    if sample.text is None:
        expect_outcome(sample, lambda: SelfPlayGame(sample.make(None)))
        return
    expected = read_fen(sample.text)
    if expected is None:
        with pytest.raises(ValueError) as raised:
            SelfPlayGame(sample.make(None))
        # The message stays fixed; the reason rides along as a note.
        assert str(raised.value) == "Invalid FEN string"
        assert len(raised.value.__notes__) == 1
    else:
        assert SelfPlayGame(sample.make(None)).board == expected[0]


def flag_values():
    return st.one_of(
        st.booleans(),
        st.booleans().map(numpy.bool_),
        st.none(),
        st.integers(-2, 2),
        st.floats(allow_nan=False),
        st.text(max_size=3),
        st.lists(st.booleans(), max_size=2),
        st.just(type("Flag", (), {"__bool__": lambda self: True})()),
    )


def flag_error(name, value):
    if value is None:
        return f"argument '{name}': 'None' is not an instance of 'bool'"
    if isinstance(value, (bool, numpy.bool_)):
        return None
    return f"argument '{name}': '{type(value).__name__}' object is not an instance of 'bool'"


class FakeTorch:
    """Puts a stand-in torch module in place that records what encode() hands to
    torch.tensor, and restores whatever was there before."""

    def __enter__(self):
        self.calls = []
        self.module = types.ModuleType("torch")
        self.module.float32 = object()
        self.module.tensor = lambda rows, **kwargs: self.calls.append((rows, kwargs)) or ("tensor", len(self.calls))
        self.saved = sys.modules.get("torch", self)
        sys.modules["torch"] = self.module
        return self.module, self.calls

    def __exit__(self, *exc_info):
        if self.saved is self:
            del sys.modules["torch"]
        else:
            sys.modules["torch"] = self.saved


@FUZZ
@given(fen=st.sampled_from(POSITIONS), value=flag_values(), by_keyword=st.booleans())
def test_flags_accept_only_bools(fen, value, by_keyword):
    with FakeTorch() as (torch, calls):
        check_flags(fen, value, by_keyword, torch, calls)


def check_flags(fen, value, by_keyword, torch, calls):
    game = SelfPlayGame(fen)
    before = snapshot(game)
    for method, name in [("terminal_value", "player_is_white"), ("encode_flattened", "oracle"), ("encode", "oracle")]:
        call = getattr(game, method)
        run = (lambda: call(**{name: value})) if by_keyword else (lambda: call(value))
        error = flag_error(name, value)
        if error is not None:
            with pytest.raises(TypeError) as raised:
                run()
            assert str(raised.value) == error
            continue
        result = run()
        if method == "terminal_value":
            assert result == 0.0 and type(result) is float
        elif method == "encode_flattened":
            assert result == (before["oracle"] if value else before["observation"])
        else:
            rows, kwargs = calls[-1]
            assert result == ("tensor", len(calls))
            assert kwargs == {"dtype": torch.float32}
            flat = before["oracle"] if value else before["observation"]
            assert rows == [flat[35 * r : 35 * r + 35] for r in range(64)]
    assert snapshot(game) == before


ARGUMENT_NAMES = ["action", "oracle", "player_is_white", "board", "fen", "self"]


def expected_matching(qualified, name, required, args, kwargs):
    """The TypeError message argument matching gives, or None when it matches."""
    if len(args) > 1:
        counts = "1" if required else "from 0 to 1"
        return f"{qualified}() takes {counts} positional arguments but {len(args)} were given"
    filled = bool(args)
    for key in kwargs:
        if key != name:
            return f"{qualified}() got an unexpected keyword argument '{key}'"
        if filled:
            return f"{qualified}() got multiple values for argument '{name}'"
        filled = True
    if required and not filled:
        return f"{qualified}() missing 1 required positional argument: '{name}'"
    return None


@FUZZ
@given(
    args=st.lists(st.sampled_from(["e2e4", True, None]), max_size=3),
    kwargs=st.dictionaries(st.sampled_from(ARGUMENT_NAMES), st.sampled_from(["e2e4", False]), max_size=2),
)
def test_argument_matching_follows_the_rules(args, kwargs):
    game = SelfPlayGame()
    before = snapshot(game)
    callables = [
        (SelfPlayGame, "SelfPlayGame.__new__", "board", False),
        (game.apply, "SelfPlayGame.apply", "action", True),
        (game.action_index, "SelfPlayGame.action_index", "action", True),
        (game.terminal_value, "SelfPlayGame.terminal_value", "player_is_white", True),
        (game.encode_flattened, "SelfPlayGame.encode_flattened", "oracle", False),
    ]
    for call, qualified, name, required in callables:
        message = expected_matching(qualified, name, required, args, kwargs)
        if message is None:
            continue  # matched: what the value does is covered by the other properties
        with pytest.raises(TypeError) as raised:
            call(*args, **kwargs)
        assert str(raised.value) == message
    assert snapshot(game) == before


# --------------------------------------------------------------------------- re-entry


READS = {
    "turn": lambda g: g.turn,
    "board": lambda g: g.board,
    "current_player": lambda g: g.current_player(),
    "castle_eligible": lambda g: g.castle_eligible(),
    "clone": lambda g: g.clone(),
    "legal_actions_uci": lambda g: g.legal_actions_uci(),
    "is_terminal": lambda g: g.is_terminal(),
    "terminal_value": lambda g: g.terminal_value(True),
    "encode_flattened": lambda g: g.encode_flattened(),
    "action_index": lambda g: g.action_index("e2e4"),
}
CALLS_BACK = sorted(READS) + ["apply"]


class CallsBack:
    """An action whose uci() first calls back into a game, then returns its text."""

    def __init__(self, game, what, text):
        self.game, self.what, self.text, self.seen = game, what, text, []

    def uci(self):
        try:
            if self.what == "apply":
                self.game.apply("e2e4")
            else:
                READS[self.what](self.game)
            self.seen.append(None)
        except RuntimeError as error:
            self.seen.append(str(error))
        return self.text


@FUZZ
@given(what=st.sampled_from(CALLS_BACK), text=st.sampled_from(["e2e4", "g1f3", "e7e5", "e2e9", "a1a1"]))
def test_calls_back_into_the_game_meet_the_borrow(what, text):
    game = SelfPlayGame()
    before = snapshot(game)
    action = CallsBack(game, what, text)
    expected = expected_apply(before["board"], before["turn"], text.encode())
    if expected[0] == "error":
        with pytest.raises(ValueError, match=f"^{expected[1]}$"):
            game.apply(action)
        assert snapshot(game) == before
    else:
        game.apply(action)
    # Inside apply the game is held exclusively: every call back is refused.
    assert action.seen == ["Already borrowed" if what == "apply" else "Already mutably borrowed"]

    # Inside action_index it is shared: reads go through, apply is refused.
    game = SelfPlayGame()
    before = snapshot(game)
    action = CallsBack(game, what, text)
    index = expected_index(True, text.encode())
    if index is None:
        with pytest.raises(ValueError, match="^Invalid UCI move$"):
            game.action_index(action)
    else:
        assert game.action_index(action) == index
    assert action.seen == ["Already borrowed" if what == "apply" else None]
    assert snapshot(game) == before


# --------------------------------------------------------------------------- move sequences


def listed_actions_all_apply(game):
    actions = game.legal_actions_uci()
    assert len(actions) == len(set(actions)), f"duplicate actions in {actions}"
    for action in actions:
        game.clone().apply(action)
    return actions


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    fen=st.sampled_from(POSITIONS),
    choices=st.lists(st.tuples(st.booleans(), st.integers(0, 10_000), st.integers(0, 63)), max_size=24),
)
def test_every_listed_action_applies_after_any_moves(fen, choices):
    """Moves from the list and hand-made moves of the mover's pieces, mixed: whatever
    position arises, the list has no duplicates and apply accepts each of its actions."""
    game = SelfPlayGame(fen)
    for from_list, pick, destination in choices:
        actions = listed_actions_all_apply(game)
        if from_list and actions:
            game.apply(actions[pick % len(actions)])
            continue
        matrix, white = game.board, game.turn
        own = [q for q in range(64) if at(matrix, q) * (1 if white else -1) > 0]
        source = own[pick % len(own)]
        target = at(matrix, destination)
        if target * (1 if white else -1) > 0 and abs(target) != 6:
            continue  # onto an own piece: refused, covered above
        game.apply(square_name(source) + square_name(destination))
    listed_actions_all_apply(game)


@pytest.mark.parametrize(
    "fen",
    [
        "4k3/8/8/8/5p2/4n3/4P3/4K3 w - - 0 1",  # the square passed over holds a Black piece
        "4k3/8/8/8/5p2/4N3/4P3/4K3 w - - 0 1",  # ... or a White one
    ],
)
def test_two_step_over_a_piece_leaves_a_consistent_list(fen):
    """e2e4 jumps over e3 (apply plays any well-formed move); Black's pawn on f4 must not
    be offered an en-passant capture onto e3, which holds a piece."""
    game = SelfPlayGame(fen)
    game.apply("e2e4")
    listed_actions_all_apply(game)
