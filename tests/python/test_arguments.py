"""Matching call arguments to parameters, and converting flags to bool."""

import numpy
import pytest

from murkplay import SelfPlayGame
from support import START_FEN, CallbackAction, expect_error



class Callable:
    def __init__(self, name, qualified, parameter, required, valid):
        self.name = name
        self.qualified = qualified
        self.parameter = parameter
        self.required = required
        self.valid = valid  # an argument the callable accepts

    def on(self, game):
        if self.name == "constructor":
            return SelfPlayGame
        if self.name == "constructor via __new__":
            return lambda *args, **kwargs: SelfPlayGame.__new__(SelfPlayGame, *args, **kwargs)
        if self.name.startswith("unbound "):
            method = getattr(SelfPlayGame, self.name.split()[1])
            return lambda *args, **kwargs: method(game, *args, **kwargs)
        return getattr(game, self.name)

    def __repr__(self):
        return self.name


CALLABLES = [
    Callable("constructor", "SelfPlayGame.__new__", "board", False, START_FEN),
    Callable("constructor via __new__", "SelfPlayGame.__new__", "board", False, START_FEN),
    Callable("apply", "SelfPlayGame.apply", "action", True, "e2e4"),
    Callable("unbound apply", "SelfPlayGame.apply", "action", True, "e2e4"),
    Callable("terminal_value", "SelfPlayGame.terminal_value", "player_is_white", True, True),
    Callable("encode", "SelfPlayGame.encode", "oracle", False, False),
    Callable("encode_flattened", "SelfPlayGame.encode_flattened", "oracle", False, False),
    Callable("unbound encode_flattened", "SelfPlayGame.encode_flattened", "oracle", False, False),
    Callable("action_index", "SelfPlayGame.action_index", "action", True, "e2e4"),
]
REQUIRED = [c for c in CALLABLES if c.required]
FLAG_METHODS = ["terminal_value", "encode", "encode_flattened"]
FLAG_PARAMETER = {"terminal_value": "player_is_white", "encode": "oracle", "encode_flattened": "oracle"}


def black_king_taken():
    """A game that White has won: Black's king walked onto the rook's file and was taken."""
    game = SelfPlayGame("8/8/8/3k4/8/4K3/8/3R4 b - - 0 1")
    game.apply("d5d4")
    game.apply("d1d4")
    assert game.terminal_value(True) == 1.0
    return game


def expect_refused_on_a_new_game(target, args, kwargs, message):
    """The call with these arguments raises TypeError(message) and leaves the game as it was."""
    game = SelfPlayGame()
    expect_error(TypeError, lambda: target.on(game)(*args, **kwargs), message, unchanged=game)


class TestMatching:
    @pytest.mark.parametrize("target", CALLABLES, ids=repr)
    @pytest.mark.parametrize("count", [2, 3])
    def test_too_many_positional(self, target, count):
        takes = "1" if target.required else "from 0 to 1"
        message = f"{target.qualified}() takes {takes} positional arguments but {count} were given"
        expect_refused_on_a_new_game(target, [target.valid] * count, {}, message)

    @pytest.mark.parametrize("target", CALLABLES, ids=repr)
    @pytest.mark.parametrize("keyword", ["fen", "flat", "ACTION", "Oracle", "board_", "\u00f6l"])
    def test_unexpected_keyword(self, target, keyword):
        message = f"{target.qualified}() got an unexpected keyword argument '{keyword}'"
        expect_refused_on_a_new_game(target, [], {keyword: target.valid}, message)
        expect_refused_on_a_new_game(target, [target.valid], {keyword: target.valid}, message)

    @pytest.mark.parametrize("target", CALLABLES, ids=repr)
    def test_multiple_values(self, target):
        message = f"{target.qualified}() got multiple values for argument '{target.parameter}'"
        expect_refused_on_a_new_game(target, [target.valid], {target.parameter: target.valid}, message)

    @pytest.mark.parametrize("target", REQUIRED, ids=repr)
    def test_missing_required(self, target):
        message = f"{target.qualified}() missing 1 required positional argument: '{target.parameter}'"
        expect_refused_on_a_new_game(target, [], {}, message)

    @pytest.mark.parametrize("target", CALLABLES, ids=repr)
    def test_too_many_is_reported_before_keyword_problems(self, target):
        game = SelfPlayGame()
        with pytest.raises(TypeError) as raised:
            target.on(game)(target.valid, target.valid, bogus=1, **{target.parameter: target.valid})
        assert str(raised.value).startswith(f"{target.qualified}() takes ")

    @pytest.mark.parametrize("target", CALLABLES, ids=repr)
    def test_keywords_are_matched_in_the_order_given(self, target):
        game = SelfPlayGame()
        call = target.on(game)
        expect_error(
            TypeError,
            lambda: call(target.valid, bogus=1, **{target.parameter: target.valid}),
            f"{target.qualified}() got an unexpected keyword argument 'bogus'",
        )
        expect_error(
            TypeError,
            lambda: call(target.valid, **{target.parameter: target.valid}, bogus=1),
            f"{target.qualified}() got multiple values for argument '{target.parameter}'",
        )

    @pytest.mark.parametrize("target", REQUIRED, ids=repr)
    def test_unexpected_keyword_is_reported_before_missing(self, target):
        game = SelfPlayGame()
        message = f"{target.qualified}() got an unexpected keyword argument 'bogus'"
        expect_error(TypeError, lambda: target.on(game)(bogus=1), message)


class TestKeywordForms:
    def test_constructor(self):
        fen = "4k3/8/8/8/8/8/8/4K3 b - - 0 1"
        assert SelfPlayGame(board=fen).board == SelfPlayGame(fen).board
        assert SelfPlayGame(board=fen).turn is False
        assert SelfPlayGame(board=None).board == SelfPlayGame().board

    def test_apply(self):
        by_keyword = SelfPlayGame()
        by_position = SelfPlayGame()
        assert by_keyword.apply(action="e2e4") is None
        by_position.apply("e2e4")
        assert by_keyword.board == by_position.board
        assert by_keyword.encode_flattened() == by_position.encode_flattened()

    def test_terminal_value(self):
        game = black_king_taken()
        assert game.terminal_value(player_is_white=True) == 1.0
        assert game.terminal_value(player_is_white=False) == -1.0

    def test_encode_flattened(self):
        game = SelfPlayGame()
        assert game.encode_flattened(oracle=True) == game.encode_flattened(True)
        assert game.encode_flattened(oracle=False) == game.encode_flattened()

    def test_action_index(self):
        game = SelfPlayGame()
        assert game.action_index(action="e2e4") == game.action_index("e2e4")


class TestBoolConversion:
    @pytest.mark.parametrize(
        ("flag", "meaning"),
        [
            (True, True),
            (numpy.bool_(True), True),
            (numpy.True_, True),
            (numpy.array([False, True])[1], True),
            (False, False),
            (numpy.bool_(False), False),
            (numpy.False_, False),
            (numpy.array([False, True])[0], False),
        ],
        ids=[
            "True", "numpy.bool_(True)", "numpy.True_", "array item True",
            "False", "numpy.bool_(False)", "numpy.False_", "array item False",
        ],
    )
    def test_values_read_as_bool(self, flag, meaning):
        game = black_king_taken()
        assert game.terminal_value(flag) == (1.0 if meaning else -1.0)
        assert game.terminal_value(player_is_white=flag) == (1.0 if meaning else -1.0)
        start = SelfPlayGame()
        # The fog hides Black's army from White, so the two modes differ here.
        assert start.encode_flattened(True) != start.encode_flattened(False)
        assert start.encode_flattened(flag) == start.encode_flattened(oracle=meaning)

    def test_results_are_floats(self):
        game = black_king_taken()
        for flag in (True, False, numpy.True_, numpy.False_):
            assert type(game.terminal_value(flag)) is float
        assert SelfPlayGame().terminal_value(True) == 0.0

    @pytest.mark.parametrize("method", FLAG_METHODS)
    @pytest.mark.parametrize(
        ("value", "detail"),
        [
            (1, "'int' object is not an instance of 'bool'"),
            (0, "'int' object is not an instance of 'bool'"),
            (None, "'None' is not an instance of 'bool'"),
            ("x", "'str' object is not an instance of 'bool'"),
            ("", "'str' object is not an instance of 'bool'"),
            (1.0, "'float' object is not an instance of 'bool'"),
            (b"\x01", "'bytes' object is not an instance of 'bool'"),
            ([True], "'list' object is not an instance of 'bool'"),
        ],
    )
    @pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
    def test_refused(self, method, value, detail, by_keyword):
        game = SelfPlayGame()
        parameter = FLAG_PARAMETER[method]
        call = getattr(game, method)
        attempt = (lambda: call(**{parameter: value})) if by_keyword else (lambda: call(value))
        error = expect_error(TypeError, attempt, f"argument '{parameter}': {detail}", unchanged=game)
        assert error.__cause__ is None

    @pytest.mark.parametrize("method", FLAG_METHODS)
    @pytest.mark.parametrize(
        "value", [numpy.int64(1), numpy.array(True), numpy.float32(0.0)], ids=["int64", "0-d array", "float32"]
    )
    def test_other_numpy_values_refused(self, method, value):
        # Only numpy's boolean scalar stands in for a bool, not anything with a truth value.
        parameter = FLAG_PARAMETER[method]
        with pytest.raises(TypeError) as raised:
            getattr(SelfPlayGame(), method)(value)
        assert type(raised.value) is TypeError
        message = str(raised.value)
        assert message.startswith(f"argument '{parameter}': '")
        assert message.endswith("' object is not an instance of 'bool'")
        assert type(value).__name__ in message


class TestBorrowBeforeArguments:
    @pytest.mark.parametrize(
        "callback",
        [
            lambda g: g.terminal_value(1),
            lambda g: g.terminal_value(None),
            lambda g: g.encode_flattened(oracle="yes"),
            lambda g: g.encode(oracle=0),
            lambda g: g.action_index(None),
            lambda g: g.action_index("zz"),
        ],
        ids=["terminal_value(1)", "terminal_value(None)", "encode_flattened", "encode", "action_index(None)", "bad uci"],
    )
    def test_reader_with_bad_argument_meets_the_borrow_first(self, callback):
        game = SelfPlayGame()
        action = CallbackAction(lambda: callback(game))
        game.apply(action)
        assert type(action.raised) is RuntimeError
        assert str(action.raised) == "Already mutably borrowed"

    @pytest.mark.parametrize("bad", [None, 42, "e2", "e3e4"], ids=["None", "int", "bad uci", "empty source"])
    def test_nested_apply_with_bad_action_meets_the_borrow_first(self, bad):
        game = SelfPlayGame()
        action = CallbackAction(lambda: game.apply(bad))
        game.apply(action)
        assert type(action.raised) is RuntimeError
        assert str(action.raised) == "Already borrowed"

    @pytest.mark.parametrize(
        ("callback", "message"),
        [
            (lambda g: g.terminal_value(), "SelfPlayGame.terminal_value() missing 1 required positional argument: "
             "'player_is_white'"),
            (lambda g: g.apply("e2e4", "e2e4"), "SelfPlayGame.apply() takes 1 positional arguments but 2 were given"),
            (lambda g: g.encode_flattened(flat=True), "SelfPlayGame.encode_flattened() got an unexpected keyword "
             "argument 'flat'"),
        ],
        ids=["missing", "too many", "unexpected keyword"],
    )
    def test_argument_matching_comes_before_the_borrow(self, callback, message):
        game = SelfPlayGame()
        action = CallbackAction(lambda: callback(game))
        game.apply(action)
        assert type(action.raised) is TypeError
        assert str(action.raised) == message
