"""Creating games from nothing, FEN text or board objects; the board matrix; cloning."""

import pytest

from murkplay import SelfPlayGame
from support import START_FEN, expect_error, recorder

chess = pytest.importorskip("chess")

START_MATRIX = [
    [-4, -2, -3, -5, -6, -3, -2, -4],
    [-1] * 8,
    [0] * 8,
    [0] * 8,
    [0] * 8,
    [0] * 8,
    [1] * 8,
    [4, 2, 3, 5, 6, 3, 2, 4],
]
BOARD_REFUSAL = "board must be a python-chess Board or FEN string"

# Positions that python-chess reads the same way, with both sides to move, castling
# rights, an en-passant chance, pawns about to promote and pawns on the back ranks.
FENS = [
    START_FEN,
    "r1bqkbnr/pppp1ppp/2n5/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R w KQkq - 2 3",
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
    "r3k2r/pppq1ppp/2n2n2/3pP3/1b6/2N2N2/PPPB1PPP/R3K2R b KQkq - 0 9",
    "8/8/8/3k4/8/4K3/8/3R4 b - - 0 1",
    "3r1r2/4P3/8/8/8/8/1p6/k6K w - - 0 1",
    "3r1r2/4P3/8/8/8/8/1p6/k6K b - - 0 1",
    "PP5k/PP6/PP6/PP6/PP6/PP6/PP6/KP6 w - - 0 1",
]


class TestStartPosition:
    @pytest.mark.parametrize(
        "make",
        [
            lambda: SelfPlayGame(),
            lambda: SelfPlayGame(None),
            lambda: SelfPlayGame(board=None),
            lambda: SelfPlayGame(START_FEN),
            lambda: SelfPlayGame(chess.Board()),
        ],
        ids=["omitted", "None", "keyword None", "text", "python-chess"],
    )
    def test_every_spelling_gives_the_start(self, make, snapshot):
        game = make()
        assert game.board == START_MATRIX
        assert game.turn is True
        assert game.current_player() is True
        assert game.is_terminal() is False
        assert game.castle_eligible() == (True, True)
        assert snapshot(game) == snapshot(SelfPlayGame())

    def test_start_text_without_counters(self, snapshot):
        game = SelfPlayGame("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -")
        assert snapshot(game) == snapshot(SelfPlayGame())


class TestBoardMatrix:
    @pytest.mark.parametrize("fen", FENS)
    def test_matches_python_chess(self, fen, matrix_of):
        game = SelfPlayGame(fen)
        matrix = game.board
        assert type(matrix) is list and len(matrix) == 8
        for row in matrix:
            assert type(row) is list and len(row) == 8
            assert all(type(value) is int for value in row)
        assert matrix == matrix_of(chess.Board(fen))

    @pytest.mark.parametrize("fen", FENS)
    def test_side_to_move(self, fen):
        game = SelfPlayGame(fen)
        white = chess.Board(fen).turn == chess.WHITE
        assert game.turn is white
        assert game.current_player() is white

    def test_each_call_builds_a_new_matrix(self):
        game = SelfPlayGame()
        first = game.board
        assert first is not game.board
        assert first[0] is not game.board[0]


class TestBoardObjects:
    @pytest.mark.parametrize("fen", FENS)
    def test_python_chess_board_equals_its_fen_text(self, fen, snapshot):
        board = chess.Board(fen)
        assert snapshot(SelfPlayGame(board)) == snapshot(SelfPlayGame(board.fen()))
        assert board.fen() == chess.Board(fen).fen()  # the caller's board is left alone

    def test_python_chess_board_after_moves(self, snapshot, matrix_of):
        board = chess.Board()
        for uci in ["e2e4", "c7c5", "e4e5", "d7d5"]:
            board.push_uci(uci)
        game = SelfPlayGame(board)
        assert game.board == matrix_of(board)
        assert snapshot(game) == snapshot(SelfPlayGame(board.fen()))
        assert "e5d6" in game.legal_actions_uci()

    def test_placement_only_board(self):
        # python-chess's placement-only board offers board_fen() but no fen().
        expect_error(ValueError, lambda: SelfPlayGame(chess.BaseBoard()), BOARD_REFUSAL)
        placement = type("Placement", (), {"fen": chess.BaseBoard().board_fen})()
        expect_error(ValueError, lambda: SelfPlayGame(placement), "Invalid FEN string")

    def test_str_subclass_is_read_as_its_own_text(self, matrix_of):
        black_fen = "4k3/8/8/8/8/8/8/4K3 b - - 0 1"

        class FenText(str):
            def fen(self):
                return START_FEN

            def __str__(self):
                return START_FEN

            def encode(self, *args, **kwargs):
                return START_FEN.encode()

        game = SelfPlayGame(FenText(black_fen))
        assert game.board == matrix_of(chess.Board(black_fen))
        assert game.turn is False

    def test_fen_method_is_called_without_arguments(self):
        position, calls = recorder("fen", "4k3/8/8/8/8/8/8/4K3 b - - 0 1")
        game = SelfPlayGame(position)
        assert calls == [((), {})]
        assert game.turn is False

    @pytest.mark.parametrize(
        "make",
        [
            lambda fen: type("Plain", (), {"fen": fen})(),
            lambda fen: type("Property", (), {"fen": property(lambda self: fen)})(),
            lambda fen: type("Static", (), {"fen": staticmethod(lambda: fen)})(),
            lambda fen: type("CallableValue", (), {"fen": type("Call", (), {"__call__": lambda self: fen})()})(),
            lambda fen: type("SubclassResult", (), {"fen": lambda self: type("S", (str,), {})(fen)})(),
        ],
        ids=["str attribute", "property", "staticmethod", "callable object", "str subclass result"],
    )
    def test_other_ways_of_offering_fen(self, make, matrix_of):
        fen = "r3k2r/pppq1ppp/8/3pP3/8/8/PPP2PPP/R3K2R b KQkq - 0 1"
        game = SelfPlayGame(make(fen))
        assert game.board == matrix_of(chess.Board(fen))
        assert game.turn is False
        assert game.legal_actions_uci() == SelfPlayGame(fen).legal_actions_uci()

    def test_instance_attribute_holding_text(self):
        holder = type("Holder", (), {})()
        holder.fen = "4k3/8/8/8/8/8/8/4K3 b - - 0 1"
        assert SelfPlayGame(holder).turn is False

    def test_exception_from_fen_passes_through(self):
        error = KeyError("no position")

        class Broken:
            def fen(self):
                raise error

        with pytest.raises(KeyError) as raised:
            SelfPlayGame(Broken())
        assert raised.value is error

    def test_base_exception_from_fen_passes_through(self):
        class Stop(BaseException):
            pass

        class Broken:
            def fen(self):
                raise Stop

        with pytest.raises(Stop):
            SelfPlayGame(Broken())

    @pytest.mark.parametrize(
        ("result", "type_name"),
        [(42, "int"), (None, "NoneType"), (START_FEN.encode(), "bytes"), ([START_FEN], "list"), (1.5, "float")],
    )
    def test_fen_returning_non_text(self, result, type_name):
        class Odd:
            def fen(self):
                return result

        expect_error(TypeError, lambda: SelfPlayGame(Odd()), f"'{type_name}' object is not an instance of 'str'")

    def test_fen_returning_lone_surrogates(self):
        class Odd:
            def fen(self):
                return START_FEN + "\ud800"

        with pytest.raises(UnicodeEncodeError):
            SelfPlayGame(Odd())

    def test_fen_returning_bad_text(self):
        class Odd:
            def fen(self):
                return "no fen here"

        expect_error(ValueError, lambda: SelfPlayGame(Odd()), "Invalid FEN string")

    @pytest.mark.parametrize(
        "value", [42, None, START_FEN.encode(), START_FEN + "\udfff", [START_FEN]], ids=repr
    )
    def test_unusable_fen_attribute(self, value):
        holder = type("Holder", (), {"fen": value})()
        expect_error(ValueError, lambda: SelfPlayGame(holder), BOARD_REFUSAL)

    def test_failing_attribute_lookup_is_replaced_and_kept_as_cause(self):
        class Lookup:
            @property
            def fen(self):
                raise ZeroDivisionError

        error = expect_error(ValueError, lambda: SelfPlayGame(Lookup()), BOARD_REFUSAL)
        assert type(error.__cause__) is ZeroDivisionError

    @pytest.mark.parametrize(
        "board",
        [
            0,
            42,
            3.5,
            START_FEN.encode(),
            bytearray(START_FEN.encode()),
            [START_FEN],
            (START_FEN,),
            {"fen": START_FEN},
            object(),
            "\ud800",
            START_FEN + "\udc00",
        ],
        ids=["zero", "int", "float", "bytes", "bytearray", "list", "tuple", "dict", "object", "surrogate", "tail"],
    )
    def test_refused_objects(self, board):
        expect_error(ValueError, lambda: SelfPlayGame(board), BOARD_REFUSAL)


REFUSED_FENS = {
    # Texts that are no FEN at all.
    "empty": "",
    "one space": " ",
    "words": "not a fen",
    "three fields": "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq",
    "placement only": "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR",
    "tabs": "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR\tw\tKQkq\t-\t0\t1",
    "side word": "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR white KQkq - 0 1",
    "side letter": "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR x KQkq - 0 1",
    "empty side": "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR  KQkq - 0 1",
    "leading space": " rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "zero": "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBN0R w KQkq - 0 1",
    "nine": "rnbqkbnr/pppppppp/9/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "unknown letter": "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNX w KQkq - 0 1",
    "accented letter": "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBN\u00e9 w KQkq - 0 1",
    "combining mark": "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR \u0077\u0301 KQkq - 0 1",
    # Texts that read as a position no game can be in.
    "no kings": "8/8/8/8/8/8/8/8 w - - 0 1",
    "empty placement": " w - - 0 1",
    "no white king": "4k3/8/8/8/8/8/8/8 w - - 0 1",
    "no black king": "8/8/8/8/8/8/8/4K3 b - - 0 1",
    "two white kings": "4k3/8/8/8/8/8/8/3KK3 w - - 0 1",
    "two black kings": "3kk3/8/8/8/8/8/8/4K3 b - - 0 1",
    "kings touching": "8/8/8/4k3/4K3/8/8/8 w - - 0 1",
    "kings touching diagonally": "8/8/8/8/8/8/6k1/7K b - - 0 1",
    "rook attacks the king not to move": "4k3/8/8/8/8/8/8/4RK2 w - - 0 1",
    "pawn attacks the king not to move": "4k3/3P4/8/8/8/8/8/4K3 w - - 0 1",
    "knight attacks the king not to move": "4k3/8/5N2/8/8/8/8/4K3 w - - 0 1",
    "bishop attacks the king not to move": "4k3/8/8/8/B7/8/8/4K3 w - - 0 1",
    "queen attacks the king not to move": "4k3/8/8/8/8/2q5/8/2K5 b - - 0 1",
    "black pawn attacks the white king": "4k3/8/8/8/8/8/5p2/4K3 b - - 0 1",
    "white right without h1 rook": "r3k2r/8/8/8/8/8/8/R3K3 w KQkq - 0 1",
    "black right without h8 rook": "r3k3/8/8/8/8/8/8/R3K2R w KQkq - 0 1",
    "right without king on e1": "4k3/8/8/8/8/8/8/3K3R w K - 0 1",
    "enemy rook on the corner": "4k3/8/8/8/8/8/8/4K2r w K - 0 1",
    "wrong piece on the corner": "4k3/8/8/8/8/8/8/4K2B w K - 0 1",
    "both rights need both rooks": "4k3/8/8/8/8/8/8/R3K3 w KQ - 0 1",
    "en passant without the pawn": "4k3/8/8/3P4/8/8/8/4K3 w - e6 0 1",
    "black en passant without the pawn": "4k3/8/8/8/3p4/8/8/4K3 b - e3 0 1",
}


class TestFenText:
    @pytest.mark.parametrize("text", REFUSED_FENS.values(), ids=REFUSED_FENS.keys())
    def test_refused(self, text):
        expect_error(ValueError, lambda: SelfPlayGame(text), "Invalid FEN string")

    @pytest.mark.parametrize(
        ("text", "strict"),
        [
            ("4k3/8/8/8/8/8/8/4K3 W - - 0 1", "4k3/8/8/8/8/8/8/4K3 w - - 0 1"),
            ("4k3/8/8/8/8/8/8/4K3 B - - 0 1", "4k3/8/8/8/8/8/8/4K3 b - - 0 1"),
            ("4k3/8/8/8/8/8/8/4K3 w - -", "4k3/8/8/8/8/8/8/4K3 w - - 0 1"),
            ("4k3/8/8/8/8/8/8/4K3 w - - 0 1 and more", "4k3/8/8/8/8/8/8/4K3 w - - 0 1"),
            ("4k3/8/8/8/8/8/8/4K3 w - - 0 1 ", "4k3/8/8/8/8/8/8/4K3 w - - 0 1"),
            ("4k3/8/8/8/8/8/8/4K3 w - - x y", "4k3/8/8/8/8/8/8/4K3 w - - 0 1"),
            ("r3k2r/8/8/8/8/8/8/R3K2R w  KQkq - 0 1", "r3k2r/8/8/8/8/8/8/R3K2R w - - 0 1"),
            ("r3k2r/8/8/8/8/8/8/R3K2R w Kx - 0 1", "r3k2r/8/8/8/8/8/8/R3K2R w K - 0 1"),
            ("r3k2r/8/8/8/8/8/8/R3K2R w qQqQ - 0 1", "r3k2r/8/8/8/8/8/8/R3K2R w Qq - 0 1"),
            ("r3k2r/8/8/8/8/8/8/R3K2R b kK - 0 1", "r3k2r/8/8/8/8/8/8/R3K2R b Kk - 0 1"),
            ("rnbqkbnrq/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w - - 0 1",
             "qnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w - - 0 1"),
            ("4k3/8/8/3Pp3/8/8/8/4K3 w - e3 0 1", "4k3/8/8/3Pp3/8/8/8/4K3 w - e6 0 1"),
            ("4k3/8/8/3Pp3/8/8/8/4K3 w - e6extra 0 1", "4k3/8/8/3Pp3/8/8/8/4K3 w - e6 0 1"),
            ("4k3/8/8/4p3/8/8/8/4K3 w - e6 0 1", "4k3/8/8/4p3/8/8/8/4K3 w - - 0 1"),
            ("4k3/8/8/3Pp3/8/8/8/4K3 w - z9 0 1", "4k3/8/8/3Pp3/8/8/8/4K3 w - - 0 1"),
            ("4k3/8/4n3/3Pp3/8/8/8/4K3 w - e6 0 1", "4k3/8/4n3/3Pp3/8/8/8/4K3 w - - 0 1"),
            ("4k3/8/8/8/8/8/8/4RK2 b - - 0 1", "4k3/8/8/8/8/8/8/4RK2 b - - 0 1"),
            ("4P2k/8/8/8/8/8/8/4K3 w - - 0 1", "4P2k/8/8/8/8/8/8/4K3 w - - 0 1"),
        ],
        ids=[
            "upper-case W",
            "upper-case B",
            "no counters",
            "extra fields",
            "trailing space",
            "counters not numbers",
            "two spaces shift the fields",
            "castling with a stray letter",
            "castling repeated and reordered",
            "black side with both",
            "nine pieces wrap on the rank",
            "en-passant rank ignored",
            "en-passant text beyond the square",
            "en passant without a capturing pawn",
            "en-passant field not a square",
            "en-passant target occupied",
            "side to move in check",
            "pawn on the last rank",
        ],
    )
    def test_loose_texts_read_like_their_strict_form(self, text, strict, matrix_of, snapshot):
        game = SelfPlayGame(text)
        assert game.board == matrix_of(chess.Board(strict))
        assert snapshot(game) == snapshot(SelfPlayGame(strict))

    def test_en_passant_rank_is_ignored(self):
        assert "d5e6" in SelfPlayGame("4k3/8/8/3Pp3/8/8/8/4K3 w - e3 0 1").legal_actions_uci()
        assert "d5e6" not in SelfPlayGame("4k3/8/8/3Pp3/8/8/8/4K3 w - - 0 1").legal_actions_uci()

    def test_text_is_not_cut_at_a_nul_character(self):
        # The whole text counts: letters after a NUL still give rights.
        game = SelfPlayGame("r3k2r/8/8/8/8/8/8/R3K2R b KQ\x00kq - 0 1")
        assert game.castle_eligible() == (True, True)
        expect_error(ValueError, lambda: SelfPlayGame("4k3/8/8/8/8/8/8/4K3\x00 w - - 0 1"), "Invalid FEN string")
        expect_error(ValueError, lambda: SelfPlayGame("4k3/8/8/8/8/8/8/4K3 w\x00 - - 0 1"), "Invalid FEN string")

    def test_castling_read_from_letters(self):
        game = SelfPlayGame("r3k2r/8/8/8/8/8/8/R3K2R w Kx - 0 1")
        assert game.castle_eligible() == (True, False)
        game = SelfPlayGame("r3k2r/8/8/8/8/8/8/R3K2R w  KQkq - 0 1")
        assert game.castle_eligible() == (False, False)


def play(game, moves):
    for move in moves:
        game.apply(move)
    return game


class TestClone:
    OPENING = ["e2e4", "e7e5", "g1f3", "b8c6", "f1c4", "g8f6"]

    def test_copy_is_a_new_equal_game(self, snapshot):
        game = play(SelfPlayGame(), self.OPENING)
        copy = game.clone()
        assert copy is not game
        assert type(copy) is SelfPlayGame
        assert snapshot(copy) == snapshot(game)

    def test_copy_keeps_the_fog_memory(self, snapshot):
        board = chess.Board()
        for move in self.OPENING:
            board.push_uci(move)
        game = play(SelfPlayGame(), self.OPENING)
        # A new game on the same position remembers nothing of the moves before it.
        assert SelfPlayGame(board.fen()).encode_flattened() != game.encode_flattened()
        copy = game.clone()
        assert copy.encode_flattened() == game.encode_flattened()
        for move in ["e1g1", "f6e4", "d2d3"]:
            game.apply(move)
            copy.apply(move)
            assert snapshot(copy) == snapshot(game)

    @pytest.mark.parametrize("changed", ["copy", "original"])
    def test_independence(self, changed, snapshot):
        game = play(SelfPlayGame(), self.OPENING)
        copy = game.clone()
        before = snapshot(game)
        target, other = (copy, game) if changed == "copy" else (game, copy)
        play(target, ["e1g1", "f6e4", "f1e1"])
        assert snapshot(other) == before
        assert snapshot(target) != before

    def test_copy_of_a_copy(self, snapshot):
        game = play(SelfPlayGame(), self.OPENING)
        assert snapshot(game.clone().clone()) == snapshot(game)

    @pytest.mark.parametrize(("fen", "moves", "white_value"), [
        ("8/8/8/3k4/8/4K3/8/3R4 b - - 0 1", ["d5d4", "d1d4"], 1.0),
        (START_FEN, ["e1e1"], -1.0),
    ], ids=["black king taken", "own king taken"])
    def test_copy_of_a_finished_game_is_finished(self, fen, moves, white_value, snapshot):
        game = play(SelfPlayGame(fen), moves)
        copy = game.clone()
        assert copy.is_terminal() is True
        assert copy.terminal_value(True) == white_value
        assert copy.terminal_value(False) == -white_value
        assert snapshot(copy) == snapshot(game)
