"""Fixtures shared by the Python tests of murkplay."""

import sys

import pytest

import support


def pytest_configure(config):
    # scripts/hardening leaves these out of its run under the sanitizers.
    config.addinivalue_line("markers", "slow: starts Ray or another process, taking seconds")


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
def install_module(monkeypatch):
    """Return a function that puts a stand-in module NAME with the given attributes
    where ``import NAME`` finds it, until the test ends."""

    def install(name, **attributes):
        module = support.fake_module(name, **attributes)
        monkeypatch.setitem(sys.modules, name, module)
        return module

    return install


@pytest.fixture
def snapshot():
    """Return ``support.snapshot``: everything Python can observe about a game."""
    return support.snapshot


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
