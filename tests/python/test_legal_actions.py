"""The two action lists: UCI strings and python-chess moves, and how python-chess is reached."""

import sys
import types

import pytest

from murkplay import SelfPlayGame
from support import START_FEN, expect_error

NO_MOVES_FEN = "PP5k/PP6/PP6/PP6/PP6/PP6/PP6/KP6 w - - 0 1"
MISSING_CHESS = "python-chess is required for legal_actions()"

POSITIONS = {
    "start": (START_FEN, []),
    "black to move": (START_FEN, ["g1f3"]),
    "castling": ("r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1", []),
    "promotions": ("3r1r2/4P3/8/8/8/8/1p6/k6K w - - 0 1", []),
    "black promotions": ("3r1r2/4P3/8/8/8/8/1p6/k6K b - - 0 1", []),
    "en passant": ("rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3", []),
    "middle game": ("r3k2r/pppq1ppp/2n2n2/3pP3/1b6/2N2N2/PPPB1PPP/R3K2R b KQkq - 0 9", []),
    "king taken": ("8/8/8/3k4/8/4K3/8/3R4 b - - 0 1", ["d5d4", "d1d4"]),
    "no moves": (NO_MOVES_FEN, []),
}


def position(name):
    fen, moves = POSITIONS[name]
    game = SelfPlayGame(fen)
    for move in moves:
        game.apply(move)
    return game


def fake_chess(monkeypatch, from_uci=None, move_class=None):
    """Put a stand-in for python-chess where the import system finds it."""
    module = types.ModuleType("chess")
    if move_class is None and from_uci is not None:
        move_class = type("Move", (), {"from_uci": staticmethod(from_uci)})
    if move_class is not None:
        module.Move = move_class
    monkeypatch.setitem(sys.modules, "chess", module)
    return module


class TestUciList:
    def test_start_position_in_generation_order(self):
        pawns = [f"{file}2{file}{rank}" for file in "abcdefgh" for rank in "34"]
        assert SelfPlayGame().legal_actions_uci() == pawns + ["b1a3", "b1c3", "g1f3", "g1h3"]

    @pytest.mark.parametrize("name", POSITIONS)
    def test_list_of_new_strings(self, name):
        game = position(name)
        first = game.legal_actions_uci()
        second = game.legal_actions_uci()
        assert type(first) is list
        assert all(type(text) is str for text in first)
        assert first == second
        assert first is not second
        assert len(set(first)) == len(first)

    @pytest.mark.parametrize("name", POSITIONS)
    def test_every_entry_can_be_applied(self, name):
        game = position(name)
        for uci in game.legal_actions_uci():
            trial = game.clone()
            assert trial.apply(uci) is None

    @pytest.mark.parametrize(
        ("name", "prefix", "destinations"),
        [("promotions", "e7", ["e8", "d8", "f8"]), ("black promotions", "b2", ["b1"])],
    )
    def test_promotions_come_as_four_in_a_row(self, name, prefix, destinations):
        listed = position(name).legal_actions_uci()
        promotions = [uci for uci in listed if len(uci) == 5]
        expected = [prefix + square + letter for square in destinations for letter in "qrbn"]
        assert promotions == expected
        start = listed.index(expected[0])
        assert listed[start:start + len(expected)] == expected

    @pytest.mark.parametrize(
        ("fen", "king_moves"),
        [
            ("r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1", ["e1d1", "e1f1", "e1g1", "e1c1"]),
            ("r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R b KQkq - 0 1", ["e8d8", "e8f8", "e8g8", "e8c8"]),
            ("r3k2r/8/8/8/8/8/8/R3K2R w Q - 0 1", ["e1d1", "e1f1", "e1d2", "e1e2", "e1f2", "e1c1"]),
        ],
        ids=["white", "black", "queen side only"],
    )
    def test_castling_follows_the_king_moves(self, fen, king_moves):
        listed = SelfPlayGame(fen).legal_actions_uci()
        assert listed[-len(king_moves):] == king_moves

    def test_king_taken_does_not_empty_the_list(self):
        before = SelfPlayGame("8/8/8/3k4/8/4K3/8/3R4 b - - 0 1")
        before.apply("d5d4")
        listed = before.legal_actions_uci()
        after = position("king taken")
        assert after.is_terminal() is True
        assert listed
        assert after.legal_actions_uci() == listed
        assert [move.uci() for move in after.legal_actions()] == listed

    def test_works_without_python_chess(self, block_import):
        block_import("chess")
        game = SelfPlayGame()
        listed = game.legal_actions_uci()
        assert len(listed) == 20
        game.apply(listed[0])
        assert game.turn is False


class TestMoveList:
    @pytest.mark.parametrize("name", POSITIONS)
    def test_same_moves_in_the_same_order(self, name):
        chess = pytest.importorskip("chess")
        game = position(name)
        moves = game.legal_actions()
        assert type(moves) is list
        assert all(type(move) is chess.Move for move in moves)
        assert [move.uci() for move in moves] == game.legal_actions_uci()

    def test_start_moves_are_python_chess_moves(self):
        chess = pytest.importorskip("chess")
        moves = SelfPlayGame().legal_actions()
        assert moves[0] == chess.Move(chess.A2, chess.A3)
        assert moves[-1] == chess.Move(chess.G1, chess.H3)
        assert set(moves) == set(chess.Board().legal_moves)

    @pytest.mark.parametrize("name", ["start", "no moves", "king taken"])
    def test_python_chess_missing(self, name, block_import):
        game = position(name)
        block_import("chess")
        error = expect_error(ValueError, game.legal_actions, MISSING_CHESS)
        # The import's own error says why: it is kept as the cause.
        assert type(error.__cause__) is ModuleNotFoundError

    def test_any_import_failure_counts_as_missing(self, monkeypatch):
        class Exploding:
            def find_spec(self, name, path=None, target=None):
                if name == "chess":
                    raise ZeroDivisionError("broken installation")
                return None

        monkeypatch.delitem(sys.modules, "chess", raising=False)
        monkeypatch.setattr(sys, "meta_path", [Exploding(), *sys.meta_path])
        with pytest.raises(ValueError) as raised:
            SelfPlayGame().legal_actions()
        assert str(raised.value) == MISSING_CHESS
        assert type(raised.value.__cause__) is ZeroDivisionError

    def test_move_class_missing(self, monkeypatch):
        fake_chess(monkeypatch)
        with pytest.raises(AttributeError):
            position("start").legal_actions()

    @pytest.mark.parametrize("name", ["start", "no moves"])
    def test_from_uci_missing(self, name, monkeypatch):
        # Looked up before the moves are made, so an empty list does not hide it.
        fake_chess(monkeypatch, move_class=type("Move", (), {}))
        with pytest.raises(AttributeError):
            position(name).legal_actions()

    def test_results_of_from_uci_are_returned_as_they_are(self, monkeypatch):
        calls = []
        marker = object()

        def from_uci(*args, **kwargs):
            calls.append((args, kwargs))
            return marker if len(calls) == 2 else ("made", args[0])

        fake_chess(monkeypatch, from_uci)
        game = position("castling")
        texts = game.legal_actions_uci()
        moves = game.legal_actions()
        assert len(moves) == len(texts)
        assert moves[1] is marker
        assert [move for i, move in enumerate(moves) if i != 1] == [("made", t) for i, t in enumerate(texts) if i != 1]
        assert all(len(args) == 1 and type(args[0]) is str and kwargs == {} for args, kwargs in calls)
        assert [args[0] for args, _ in calls] == texts

    def test_from_uci_failing_on_the_third_call(self, monkeypatch):
        calls = []
        error = OverflowError("third")

        def from_uci(text):
            calls.append(text)
            if len(calls) == 3:
                raise error
            return text

        fake_chess(monkeypatch, from_uci)
        game = position("start")
        with pytest.raises(OverflowError) as raised:
            game.legal_actions()
        assert raised.value is error
        assert calls == game.legal_actions_uci()[:3]

    def test_empty_list_needs_no_from_uci_call(self, monkeypatch):
        calls = []
        fake_chess(monkeypatch, lambda text: calls.append(text))
        assert position("no moves").legal_actions() == []
        assert calls == []

    def test_chess_is_imported_on_every_call(self, monkeypatch):
        pytest.importorskip("chess")
        game = SelfPlayGame()
        real = game.legal_actions()
        fake_chess(monkeypatch, lambda text: text.upper())
        assert game.legal_actions() == [move.uci().upper() for move in real]
        monkeypatch.undo()
        assert game.legal_actions() == real

    def test_game_unchanged(self, monkeypatch, snapshot):
        pytest.importorskip("chess")
        game = position("en passant")
        before = snapshot(game)
        game.legal_actions()
        fake_chess(monkeypatch, lambda text: 1 / 0)
        with pytest.raises(ZeroDivisionError):
            game.legal_actions()
        assert snapshot(game) == before
