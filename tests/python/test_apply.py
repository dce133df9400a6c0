"""Applying actions, the end of the game by king capture, and castling rights."""

import random
import re

import pytest

from murkplay import SelfPlayGame
from support import START_FEN, expect_error, recorder

chess = pytest.importorskip("chess")

ACTION_REFUSAL = "action must be a python-chess Move or UCI string"
CASTLING_FEN = "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1"
# Black's king stands on the rook's file with Black to move: any king move along the
# file leaves it to be taken. The kings are far enough apart to start with.
KING_HUNT_FEN = "8/8/8/3k4/8/4K3/8/3R4 b - - 0 1"


def moved(fen, *changes, turn):
    """A python-chess board after moving pieces by hand, for moves python-chess will not play."""
    board = chess.Board(fen)
    for source, destination, piece in changes:
        moving = board.remove_piece_at(chess.parse_square(source))
        board.set_piece_at(chess.parse_square(destination), piece or moving)
    board.turn = turn
    return board


class TestPlaying:
    def test_first_move(self, matrix_of):
        game = SelfPlayGame()
        assert game.apply("e2e4") is None
        assert game.turn is False
        assert game.current_player() is False
        board = chess.Board()
        board.push_uci("e2e4")
        assert game.board == matrix_of(board)
        assert game.castle_eligible() == (True, True)
        assert game.is_terminal() is False

    @pytest.mark.parametrize(
        ("fen", "uci", "expected"),
        [
            (START_FEN, "e2e5", moved(START_FEN, ("e2", "e5", None), turn=chess.BLACK)),
            (START_FEN, "a1a5", moved(START_FEN, ("a1", "a5", None), turn=chess.BLACK)),
            (START_FEN, "b1d5", moved(START_FEN, ("b1", "d5", None), turn=chess.BLACK)),
            (START_FEN, "d1d7", moved(START_FEN, ("d1", "d7", None), turn=chess.BLACK)),
            (
                "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1",
                "h8h3",
                moved(
                    "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1", ("h8", "h3", None), turn=chess.WHITE
                ),
            ),
        ],
        ids=["pawn three squares", "rook through its pawn", "knight far", "queen captures through pieces", "black rook"],
    )
    def test_moves_outside_the_list_are_played(self, fen, uci, expected, matrix_of):
        game = SelfPlayGame(fen)
        assert uci not in game.legal_actions_uci()
        assert game.apply(uci) is None
        assert game.board == matrix_of(expected)
        assert game.turn is (expected.turn == chess.WHITE)
        assert game.is_terminal() is False

    @pytest.mark.parametrize(
        ("variant", "canonical"),
        [
            ("e2e4xyz", "e2e4"),
            ("e2e4qq", "e2e4"),
            ("e2e4\u00e9", "e2e4"),
            ("e2e4    ", "e2e4"),
            ("g1f3q", "g1f3"),
            ("g1f3n", "g1f3"),
        ],
    )
    def test_texts_read_as_another_move(self, variant, canonical, snapshot):
        game = SelfPlayGame()
        game.apply(variant)
        reference = SelfPlayGame()
        reference.apply(canonical)
        assert snapshot(game) == snapshot(reference)

    def test_promotion_letter_on_an_ordinary_pawn_move(self, matrix_of):
        # The pawn becomes a queen where it lands, and no double step is recorded.
        plain = SelfPlayGame("4k3/8/8/8/3p4/8/4P3/4K3 w - - 0 1")
        plain.apply("e2e4")
        assert "d4e3" in plain.legal_actions_uci()
        game = SelfPlayGame("4k3/8/8/8/3p4/8/4P3/4K3 w - - 0 1")
        game.apply("e2e4q")
        expected = moved("4k3/8/8/8/3p4/8/4P3/4K3 w - - 0 1", ("e2", "e4", chess.Piece(chess.QUEEN, chess.WHITE)),
                         turn=chess.BLACK)
        assert game.board == matrix_of(expected)
        assert "d4e3" not in game.legal_actions_uci()

    @pytest.mark.parametrize(("uci", "kind"), [("e7e8q", chess.QUEEN), ("e7e8r", chess.ROOK),
                                               ("e7e8b", chess.BISHOP), ("e7e8n", chess.KNIGHT)])
    def test_promotion(self, uci, kind, matrix_of):
        fen = "k7/4P3/8/8/8/8/8/4K3 w - - 0 1"
        game = SelfPlayGame(fen)
        game.apply(uci)
        board = chess.Board(fen)
        board.push_uci(uci)
        assert board.piece_at(chess.E8) == chess.Piece(kind, chess.WHITE)
        assert game.board == matrix_of(board)

    def test_pawn_reaching_the_last_rank_without_a_letter_stays_a_pawn(self, matrix_of):
        fen = "k7/4P3/8/8/8/8/8/4K3 w - - 0 1"
        game = SelfPlayGame(fen)
        game.apply("e7e8")
        assert game.board == matrix_of(moved(fen, ("e7", "e8", None), turn=chess.BLACK))


class TestInvalidText:
    @pytest.mark.parametrize(
        "text",
        [
            "e7e8Q",
            "e7e8k",
            "e7e8p",
            "e2",
            "e2e",
            "e",
            "",
            "0000",
            "e2e4 ",
            "E2E4",
            "e9e4",
            "e2i4",
            "z2z4",
            "e2\u00e94",
            "e\u00e92e4",
            "e2e4Q",
            "e2e4\x00",
            "e2\x00e4",
            "\x00e2e4",
        ],
        ids=repr,
    )
    def test_refused_without_change(self, text):
        game = SelfPlayGame()
        game.apply("e2e4")
        expect_error(ValueError, lambda: game.apply(text), "Invalid UCI move", unchanged=game)

    def test_null_move_object(self, snapshot):
        game = SelfPlayGame()
        before = snapshot(game)
        with pytest.raises(ValueError, match="^Invalid UCI move$"):
            game.apply(chess.Move.null())
        assert snapshot(game) == before


class TestActionObjects:
    def test_python_chess_move_equals_its_text(self, snapshot):
        by_object = SelfPlayGame(CASTLING_FEN)
        by_text = SelfPlayGame(CASTLING_FEN)
        for uci in ["e1g1", "e8c8", "a2a4", "b7b5", "a4b5"]:
            assert by_object.apply(chess.Move.from_uci(uci)) is None
            by_text.apply(uci)
            assert snapshot(by_object) == snapshot(by_text)

    @pytest.mark.parametrize(
        "make",
        [
            lambda text: type("Method", (), {"uci": lambda self: text})(),
            lambda text: type("Plain", (), {"uci": text})(),
            lambda text: type("Property", (), {"uci": property(lambda self: text)})(),
            lambda text: type("Static", (), {"uci": staticmethod(lambda: text)})(),
            lambda text: type("SubclassResult", (), {"uci": lambda self: type("S", (str,), {})(text)})(),
            lambda text: type("Text", (str,), {"uci": lambda self: "a2a3"})(text),
        ],
        ids=["method", "str attribute", "property", "staticmethod", "str subclass result", "str subclass"],
    )
    def test_duck_typed_actions(self, make, snapshot):
        game = SelfPlayGame()
        assert game.apply(make("e2e4")) is None
        reference = SelfPlayGame()
        reference.apply("e2e4")
        assert snapshot(game) == snapshot(reference)

    def test_uci_called_once_without_arguments(self):
        action, calls = recorder("uci", "e2e4")
        SelfPlayGame().apply(action)
        assert calls == [((), {})]

    @pytest.mark.parametrize(
        ("result", "type_name"), [(42, "int"), (None, "NoneType"), (b"e2e4", "bytes"), (("e2e4",), "tuple")]
    )
    def test_uci_returning_non_text(self, result, type_name):
        game = SelfPlayGame()
        action = type("Odd", (), {"uci": lambda self: result})()
        message = f"'{type_name}' object is not an instance of 'str'"
        expect_error(TypeError, lambda: game.apply(action), message, unchanged=game)

    def test_uci_returning_lone_surrogates(self, snapshot):
        game = SelfPlayGame()
        before = snapshot(game)
        action = type("Odd", (), {"uci": lambda self: "e2e4\udc80"})()
        with pytest.raises(UnicodeEncodeError):
            game.apply(action)
        assert snapshot(game) == before

    def test_exception_from_uci_passes_through(self, snapshot):
        error = LookupError("no move")

        def fail(self):
            raise error

        game = SelfPlayGame()
        before = snapshot(game)
        with pytest.raises(LookupError) as raised:
            game.apply(type("Broken", (), {"uci": fail})())
        assert raised.value is error
        assert snapshot(game) == before

    @pytest.mark.parametrize(
        "action",
        [
            None,
            0,
            42,
            4.2,
            b"e2e4",
            bytearray(b"e2e4"),
            ["e2e4"],
            {"uci": "e2e4"},
            object(),
            "e2e4\ud800",
            type("Holder", (), {"uci": 42})(),
            type("Holder", (), {"uci": None})(),
            type("Holder", (), {"uci": b"e2e4"})(),
            type("Holder", (), {"uci": "e2e4\udfff"})(),
            type("Lookup", (), {"uci": property(lambda self: 1 / 0)})(),
        ],
        ids=[
            "None", "zero", "int", "float", "bytes", "bytearray", "list", "dict", "object", "surrogate",
            "int attribute", "None attribute", "bytes attribute", "surrogate attribute", "failing lookup",
        ],
    )
    def test_refused_actions(self, action):
        game = SelfPlayGame()
        error = expect_error(ValueError, lambda: game.apply(action), ACTION_REFUSAL, unchanged=game)
        assert error.__context__ is None


def hunted_game():
    """Black's king steps onto d4, where White's rook on d1 can take it."""
    game = SelfPlayGame(KING_HUNT_FEN)
    game.apply("d5d4")
    return game


class TestKingCapture:
    def test_taking_the_black_king(self, snapshot):
        game = hunted_game()
        before = snapshot(game)
        assert before["terminal"] is False
        assert game.apply("d1d4") is None
        after = snapshot(game)
        # The board and the side to move stay as they were; only the result changes.
        assert after["board"] == before["board"]
        assert after["turn"] is True
        assert after["actions"] == before["actions"]
        assert after["castling"] == before["castling"]
        assert game.is_terminal() is True
        assert game.terminal_value(True) == 1.0
        assert game.terminal_value(False) == -1.0

    def test_play_continues_and_a_second_capture_overwrites(self, matrix_of):
        game = hunted_game()
        game.apply("d1d4")
        # White plays on: the rook steps aside and the turn passes.
        game.apply("d1d2")
        assert game.turn is False
        expected = moved("8/8/8/8/3k4/4K3/8/3R4 w - - 0 1", ("d1", "d2", None), turn=chess.BLACK)
        assert game.board == matrix_of(expected)
        assert game.terminal_value(True) == 1.0
        # Black's king, still on the board, takes White's.
        game.apply("d4e3")
        assert game.board == matrix_of(expected)
        assert game.turn is False
        assert game.is_terminal() is True
        assert game.terminal_value(True) == -1.0
        assert game.terminal_value(False) == 1.0

    def test_same_king_taken_again(self):
        game = hunted_game()
        game.apply("d1d4")
        game.apply("e3d4")
        assert game.terminal_value(True) == 1.0
        assert game.turn is True

    @pytest.mark.parametrize(
        ("moves", "white_value", "white_to_move"),
        [
            (["e1e1"], -1.0, True),
            (["d1e1"], -1.0, True),
            (["f1e1"], -1.0, True),
            (["e2e4", "e8e8"], 1.0, False),
            (["e2e4", "d8e8"], 1.0, False),
        ],
        ids=["white king on itself", "white queen", "white bishop", "black king on itself", "black queen"],
    )
    def test_moving_onto_the_own_king_loses(self, moves, white_value, white_to_move, snapshot):
        game = SelfPlayGame()
        for move in moves[:-1]:
            game.apply(move)
        before = snapshot(game)
        game.apply(moves[-1])
        after = snapshot(game)
        assert after["board"] == before["board"]
        assert after["turn"] is white_to_move
        assert after["terminal"] is True
        assert after["value_white"] == white_value
        assert after["value_black"] == -white_value

    def test_king_capture_through_an_action_object(self):
        game = hunted_game()
        game.apply(chess.Move.from_uci("d1d4"))
        assert game.terminal_value(True) == 1.0

    def test_capture_of_a_king_is_offered(self):
        game = hunted_game()
        assert "d1d4" in game.legal_actions_uci()


class TestRefusedMoves:
    @pytest.mark.parametrize(
        ("moves", "uci", "square"),
        [
            ([], "e3e4", "e3"),
            ([], "e3e4q", "e3"),
            ([], "e4e8", "e4"),
            (["e2e4"], "e2e3", "e2"),
            ([], "e7e5", "e7"),
            ([], "d8e1", "d8"),
            ([], "g8f6", "g8"),
            (["e2e4"], "e4e5", "e4"),
            (["e2e4"], "d1e1", "d1"),
            ([], "a1a2", "a2"),
            ([], "e1d1", "d1"),
            ([], "d1e2", "e2"),
            (["e2e4"], "a8b8", "b8"),
            (["e2e4"], "d8e7", "e7"),
        ],
        ids=[
            "empty source",
            "empty source with promotion",
            "empty source onto a king",
            "black from an empty square",
            "black pawn on white's move",
            "black queen onto the white king",
            "black knight on white's move",
            "white pawn on black's move",
            "white queen onto its king on black's move",
            "rook onto own pawn",
            "king onto own queen",
            "queen onto own pawn",
            "black rook onto own knight",
            "black queen onto own pawn",
        ],
    )
    def test_refused_without_change(self, moves, uci, square, snapshot):
        game = SelfPlayGame()
        for move in moves:
            game.apply(move)
        before = snapshot(game)
        with pytest.raises(ValueError) as raised:
            game.apply(uci)
        assert type(raised.value) is ValueError
        message = str(raised.value)
        assert message.startswith(f"Cannot apply {uci}: ")
        assert re.search(rf"\b{square}\b", message.split(": ", 1)[1])
        assert snapshot(game) == before

    def test_refusal_keeps_a_finished_game_as_it_was(self, snapshot):
        game = hunted_game()
        game.apply("d1d4")
        before = snapshot(game)
        for uci in ["a1a2", "d4e3", "c3c4"]:
            with pytest.raises(ValueError):
                game.apply(uci)
        assert snapshot(game) == before

    def test_game_goes_on_after_a_refusal(self, snapshot):
        game = SelfPlayGame()
        with pytest.raises(ValueError):
            game.apply("e3e4")
        game.apply("e2e4")
        reference = SelfPlayGame()
        reference.apply("e2e4")
        assert snapshot(game) == snapshot(reference)


class TestGameEnd:
    def test_new_game(self):
        game = SelfPlayGame()
        assert game.is_terminal() is False
        assert game.terminal_value(True) == 0.0
        assert game.terminal_value(False) == 0.0
        assert type(game.terminal_value(True)) is float

    def test_no_moves_is_not_an_end(self):
        # White's king is walled in by its own pawns, none of which can move.
        fen = "PP5k/PP6/PP6/PP6/PP6/PP6/PP6/KP6 w - - 0 1"
        assert list(chess.Board(fen).pseudo_legal_moves) == []
        game = SelfPlayGame(fen)
        assert game.legal_actions_uci() == []
        assert game.is_terminal() is False
        assert game.terminal_value(True) == 0.0
        assert game.terminal_value(False) == 0.0

    def test_mate_in_ordinary_chess_is_not_an_end(self):
        board = chess.Board()
        for uci in ["f2f3", "e7e5", "g2g4", "d8h4"]:
            board.push_uci(uci)
        assert board.is_checkmate()
        game = SelfPlayGame()
        for uci in ["f2f3", "e7e5", "g2g4", "d8h4"]:
            game.apply(uci)
        assert game.is_terminal() is False
        assert game.terminal_value(True) == 0.0
        assert "e1f2" in game.legal_actions_uci()


class TestCastleEligible:
    @pytest.mark.parametrize(
        ("fen", "expected"),
        [
            (START_FEN, (True, True)),
            ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", (True, True)),
            ("r3k2r/8/8/8/8/8/8/R3K2R w Kq - 0 1", (True, False)),
            ("r3k2r/8/8/8/8/8/8/R3K2R b Kq - 0 1", (False, True)),
            ("r3k2r/8/8/8/8/8/8/R3K2R w Qk - 0 1", (False, True)),
            ("r3k2r/8/8/8/8/8/8/R3K2R b Qk - 0 1", (True, False)),
            ("r3k2r/8/8/8/8/8/8/R3K2R w kq - 0 1", (False, False)),
            ("r3k2r/8/8/8/8/8/8/R3K2R b KQ - 0 1", (False, False)),
            ("r3k2r/8/8/8/8/8/8/R3KBNR w K - 0 1", (True, False)),
            ("r3k2r/8/8/8/8/8/8/RN2K2R w Q - 0 1", (False, True)),
            ("r3k2r/8/8/8/8/8/5r2/R3K2R w KQ - 0 1", (True, True)),
        ],
        ids=[
            "start",
            "all rights",
            "white king side",
            "black queen side",
            "white queen side",
            "black king side",
            "white none",
            "black none",
            "blocked squares",
            "blocked queen side",
            "attacked squares",
        ],
    )
    def test_rights_of_the_side_to_move(self, fen, expected):
        game = SelfPlayGame(fen)
        result = game.castle_eligible()
        assert type(result) is tuple
        assert all(type(flag) is bool for flag in result)
        assert result == expected

    @pytest.mark.parametrize(
        "moves",
        [
            ["e1g1", "e8c8"],
            ["e1c1", "e8g8"],
            ["h1h2", "a8a7", "a1a2"],
            ["e1f1", "e8e7", "f1e1"],
            ["a1a2", "h8h7", "a2a1", "h7h8"],
            ["a1a8", "h8h1", "a8b8", "h1g1"],
            ["h1h8", "a8a1", "e1f2"],
        ],
        ids=["castle short then long", "castle long then short", "rook moves", "king returns", "rook returns",
             "rooks taken on the corners", "rooks taken the other way"],
    )
    def test_rights_follow_the_moves(self, moves):
        fen = "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1"
        board = chess.Board(fen)
        game = SelfPlayGame(fen)
        for uci in moves:
            board.push(chess.Move.from_uci(uci))
            game.apply(uci)
            assert game.castle_eligible() == (
                board.has_kingside_castling_rights(board.turn),
                board.has_queenside_castling_rights(board.turn),
            )


def pick(board, candidates, rng):
    """A random move, with castling, en passant and promotion favoured when they come up."""
    special = [
        move for move in candidates
        if board.is_castling(move) or board.is_en_passant(move) or move.promotion is not None
    ]
    if special and rng.random() < 0.6:
        return rng.choice(special)
    return rng.choice(candidates)


@pytest.mark.parametrize(
    "fen",
    [
        START_FEN,
        CASTLING_FEN,
        "r3k2r/1P4P1/8/2pPp3/3pPp2/8/1p4p1/R3K2R w KQkq - 0 1",
        "4k3/pppppppp/8/8/8/8/PPPPPPPP/4K3 w - - 0 1",
    ],
    ids=["start", "castling", "promotions", "pawns"],
)
@pytest.mark.parametrize("seed", range(12))
def test_random_games_follow_python_chess(fen, seed, matrix_of):
    """Play python-chess's pseudo-legal moves into both and compare after every ply.

    Only moves both sides agree on are played, and no move lands on a king: from
    there on the rules of the two differ.
    """
    rng = random.Random(seed)
    board = chess.Board(fen)
    game = SelfPlayGame(fen)
    for _ply in range(150):
        offered = set(game.legal_actions_uci())
        candidates = [
            move for move in board.pseudo_legal_moves
            if move.uci() in offered and board.piece_type_at(move.to_square) != chess.KING
        ]
        if not candidates:
            break
        move = pick(board, candidates, rng)
        board.push(move)
        assert game.apply(move if rng.random() < 0.5 else move.uci()) is None

        assert game.board == matrix_of(board)
        assert game.turn is (board.turn == chess.WHITE)
        assert game.is_terminal() is False
        assert game.castle_eligible() == (
            board.has_kingside_castling_rights(board.turn),
            board.has_queenside_castling_rights(board.turn),
        )
        # A game read from the position's FEN offers the same moves: the running game
        # kept castling rights and the en-passant chance as python-chess did. A side
        # that left its king attacked makes a position no FEN reader accepts.
        if not board.was_into_check():
            fresh = SelfPlayGame(board.fen(en_passant="fen"))
            assert fresh.board == game.board
            assert fresh.legal_actions_uci() == game.legal_actions_uci()
