"""Fixtures shared by the Python tests of murkplay."""

import sys

import pytest


@pytest.fixture
def block_import(monkeypatch):
    """Return a function that makes ``import NAME`` fail until the test ends.

    A ``None`` entry in ``sys.modules`` makes the import system raise ImportError
    without touching the installed package, so python-chess and torch can be
    "missing" on a machine that has them.
    """

    def block(name):
        for loaded in [key for key in sys.modules if key.startswith(name + ".")]:
            monkeypatch.setitem(sys.modules, loaded, None)
        monkeypatch.setitem(sys.modules, name, None)

    return block


@pytest.fixture
def snapshot():
    """Return a function giving everything Python can observe about a game.

    The fog memory has no reader of its own; it shows only through the
    observation, so both observation modes are part of the picture.
    """

    def take(game):
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

    return take


@pytest.fixture
def matrix_of():
    """Return a function turning a python-chess board into the expected ``board`` matrix.

    python-chess numbers its piece types pawn 1 to king 6, the same codes the
    matrix uses, so only the sign for Black and the row order (rank 8 first)
    need work.
    """
    chess = pytest.importorskip("chess")

    def matrix(board):
        rows = []
        for rank in range(7, -1, -1):
            row = []
            for file in range(8):
                piece = board.piece_at(chess.square(file, rank))
                if piece is None:
                    row.append(0)
                else:
                    row.append(piece.piece_type if piece.color == chess.WHITE else -piece.piece_type)
            rows.append(row)
        return rows

    return matrix
