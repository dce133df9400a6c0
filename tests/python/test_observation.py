"""The 64 x 35 observation: encode_flattened() and its torch twin encode()."""

import os
import random
import sys
import types

import numpy as np
import pytest

import murkplay

sys.path.insert(0, os.path.dirname(__file__))
import reference_model as model  # noqa: E402
from support import START_FEN, random_play  # noqa: E402

START_BLACK = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1"
BACK_RANK = [model.ROOK, model.KNIGHT, model.BISHOP, model.QUEEN, model.KING,
             model.BISHOP, model.KNIGHT, model.ROOK]
UNSEEN_AT_FIRST = float(np.float32(1.0) / np.float32(102.0))


def observe(game, oracle=False):
    return np.array(game.encode_flattened(oracle), dtype=np.float64).reshape(64, 35)


def start_rows(oracle):
    """The start position as either side to move sees it: the same rows for both."""
    rows = np.zeros((64, 35))
    for c, kind in enumerate(BACK_RANK):
        rows[c, kind] = rows[c, 14 + kind] = 1.0
    for c in range(8, 16):
        rows[c, model.PAWN] = rows[c, 14 + model.PAWN] = 1.0
    rows[16:32, 12] = 1.0
    rows[16:, 26] = 1.0
    rows[:32, 27] = 1.0
    rows[32:, 27] = UNSEEN_AT_FIRST
    if oracle:
        rows[32:48, 12] = 1.0
        for c in range(48, 56):
            rows[c, 6 + model.PAWN] = 1.0
        for c, kind in enumerate(BACK_RANK):
            rows[56 + c, 6 + kind] = 1.0
    else:
        rows[32:, 13] = 1.0
    rows[0, 28] = rows[1, 29] = 1.0
    return rows


@pytest.mark.parametrize("oracle", [False, True])
@pytest.mark.parametrize("fen", [START_FEN, START_BLACK], ids=["white", "black"])
def test_start_position_rows(fen, oracle):
    # With Black to move the board is turned over, so both sides see the same rows.
    np.testing.assert_array_equal(observe(murkplay.SelfPlayGame(fen), oracle), start_rows(oracle))


def test_default_is_the_fogged_view():
    game = murkplay.SelfPlayGame()
    assert game.encode_flattened() == game.encode_flattened(False)
    assert game.encode_flattened() == game.encode_flattened(oracle=False)
    assert game.encode_flattened(oracle=True) != game.encode_flattened()


@pytest.mark.parametrize(
    "fen, king_side, queen_side",
    [
        ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", 1.0, 1.0),
        ("r3k2r/8/8/8/8/8/8/R3K2R w K - 0 1", 1.0, 0.0),
        ("r3k2r/8/8/8/8/8/8/R3K2R w Q - 0 1", 0.0, 1.0),
        ("r3k2r/8/8/8/8/8/8/R3K2R w - - 0 1", 0.0, 0.0),
        # The opponent's rights are not shown.
        ("r3k2r/8/8/8/8/8/8/R3K2R w kq - 0 1", 0.0, 0.0),
        ("r3k2r/8/8/8/8/8/8/R3K2R b KQ - 0 1", 0.0, 0.0),
        ("r3k2r/8/8/8/8/8/8/R3K2R b KQq - 0 1", 0.0, 1.0),
        ("r3k2r/8/8/8/8/8/8/R3K2R b k - 0 1", 1.0, 0.0),
    ],
)
def test_castling_rights_sit_in_two_entries_only(fen, king_side, queen_side):
    for oracle in (False, True):
        flat = murkplay.SelfPlayGame(fen).encode_flattened(oracle)
        assert flat[28] == king_side
        assert flat[64] == queen_side
        others = [flat[35 * c + f] for c in range(64) for f in (28, 29)
                  if 35 * c + f not in (28, 64)]
        assert others == [0.0] * 126


def test_castling_entries_follow_rights_lost_in_play():
    game = murkplay.SelfPlayGame("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1")
    for move in ["h1h2", "a8b8"]:
        game.apply(move)
    flat = game.encode_flattened()
    assert (flat[28], flat[64]) == (0.0, 1.0)


def material(opponent_counts):
    pawns, knights, bishops, rooks, queens = opponent_counts
    return [(8 - pawns) / 8, (2 - knights) / 2, (2 - bishops) / 2, (2 - rooks) / 2, 1 - queens]


@pytest.mark.parametrize(
    "fen, opponent_counts",
    [
        ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", (8, 2, 2, 2, 1)),
        # Three knights go below zero; nothing is clamped.
        ("1n2k1n1/8/8/8/8/2n5/8/4K3 w - - 0 1", (0, 3, 0, 0, 0)),
        ("3qk1q1/8/8/8/8/8/8/NN2K3 w - - 0 1", (0, 0, 0, 0, 2)),
        ("4k3/pppp4/8/8/8/8/8/QQQQK3 w - - 0 1", (4, 0, 0, 0, 0)),
        # Black to move: White is the opponent.
        ("4k3/pppp4/8/8/8/8/PPPPPPP1/QQ2KBBB b - - 0 1", (7, 0, 3, 0, 2)),
        ("rrr1k3/8/8/8/8/8/8/4K3 b - - 0 1", (0, 0, 0, 0, 0)),
    ],
)
def test_material_counts_opponent_pieces_everywhere(fen, opponent_counts):
    expected = np.array(material(opponent_counts), dtype=np.float32).astype(np.float64)
    for oracle in (False, True):
        obs = observe(murkplay.SelfPlayGame(fen), oracle)
        np.testing.assert_array_equal(obs[:, 30:35], np.tile(expected, (64, 1)))


EMPTY, FOG = 12, 13
OPP_PAWN, OPP_KNIGHT = 6 + model.PAWN, 6 + model.KNIGHT


@pytest.mark.parametrize(
    "fen, expected",
    [
        # A blocked pawn sees the blocker and both diagonals, nothing beyond.
        ("4k3/8/8/4n3/4P3/8/8/4K3 w - - 0 1",
         {"e5": OPP_KNIGHT, "d5": EMPTY, "f5": EMPTY, "e6": FOG, "e3": FOG}),
        # From the start rank the two-step square is seen only past an empty one.
        ("4k3/8/8/8/8/4n3/4P3/4K3 w - - 0 1", {"e3": OPP_KNIGHT, "e4": FOG, "d3": EMPTY}),
        ("4k3/8/8/8/4n3/8/4P3/4K3 w - - 0 1", {"e3": EMPTY, "e4": OPP_KNIGHT}),
        # A slider sees up to the first piece in its way.
        ("4k3/8/8/8/p7/8/8/R3K3 w - - 0 1", {"a4": OPP_PAWN, "a3": EMPTY, "a5": FOG}),
        # Black looks down the board; cells are mirrored but the squares are the same.
        ("4k3/4p3/8/8/8/8/8/4K3 b - - 0 1", {"e6": EMPTY, "e5": EMPTY, "e4": FOG}),
        # An own piece stops the view as well, and is seen itself.
        ("4k3/8/8/8/8/8/8/4K2R w - - 0 1", {"h8": EMPTY, "e1": model.KING, "c1": FOG}),
    ],
)
def test_what_the_side_to_move_sees(fen, expected):
    game = murkplay.SelfPlayGame(fen)
    obs = observe(game)
    white = game.current_player()
    for name, feature in expected.items():
        sq = model.parse_square_name(name)
        row = obs[sq if white else sq ^ 56]
        assert row[feature] == 1.0, (name, np.flatnonzero(row[:14]))


def test_en_passant_chance_reveals_the_pawn():
    c5 = model.parse_square_name("c5")
    game = murkplay.SelfPlayGame("4k3/2p5/8/1P6/8/8/8/4K3 b - - 0 1")
    game.apply("c7c5")
    obs = observe(game)
    assert obs[c5, OPP_PAWN] == 1.0 and obs[c5, 20 + model.PAWN] == 1.0
    # The chance lasts one move, and so does the sight of the pawn; the memory stays.
    game.apply("e1e2")
    game.apply("e8e7")
    obs = observe(game)
    assert obs[c5, FOG] == 1.0 and obs[c5, 20 + model.PAWN] == 1.0
    assert obs[c5, 27] == 0.5


def test_no_en_passant_chance_no_reveal():
    c5 = model.parse_square_name("c5")
    game = murkplay.SelfPlayGame("4k3/2p5/8/P7/8/8/8/4K3 b - - 0 1")
    game.apply("c7c5")
    obs = observe(game)
    assert obs[c5, FOG] == 1.0 and obs[c5, 26] == 1.0


def test_material_counts_hidden_pieces_too():
    # Black's queen and rooks are out of White's sight, yet they count.
    game = murkplay.SelfPlayGame("r2qk2r/8/8/8/8/8/8/4K3 w - - 0 1")
    obs = observe(game)
    assert obs[59, 13] == 1.0
    np.testing.assert_array_equal(obs[:, 33], 0.0)
    np.testing.assert_array_equal(obs[:, 34], 0.0)
    np.testing.assert_array_equal(obs[:, 30], 1.0)


def test_every_cell_has_one_view_and_one_memory_feature():
    for game in random_play(range(6), 100):
        for oracle in (False, True):
            obs = observe(game, oracle)
            assert set(np.unique(obs[:, :27])) <= {0.0, 1.0}
            np.testing.assert_array_equal(obs[:, :14].sum(axis=1), 1.0)
            np.testing.assert_array_equal(obs[:, 14:27].sum(axis=1), 1.0)
            if oracle:
                assert not obs[:, 13].any()
            # Every value is a widened single-precision number.
            assert np.array_equal(obs.astype(np.float32).astype(np.float64), obs)


def test_oracle_changes_only_the_view_features():
    for game in random_play(range(3), 60):
        fogged, oracle = observe(game), observe(game, True)
        np.testing.assert_array_equal(fogged[:, 14:], oracle[:, 14:])
        # Where the side to move sees, both modes agree on the view too.
        seen = fogged[:, 13] == 0.0
        np.testing.assert_array_equal(fogged[seen, :13], oracle[seen, :13])


def test_oracle_view_is_the_true_board():
    chess = pytest.importorskip("chess")
    rng = random.Random(7)
    game, board = murkplay.SelfPlayGame(), chess.Board()
    for _ in range(40):
        obs = observe(game, True)
        white = board.turn == chess.WHITE
        for sq in range(64):
            piece = board.piece_at(sq)
            row = obs[sq if white else sq ^ 56]
            if piece is None:
                assert row[12] == 1.0
            else:
                own = piece.color == board.turn
                assert row[(0 if own else 6) + piece.piece_type - 1] == 1.0
        listed = [t for t in game.legal_actions_uci()
                  if chess.parse_square(t[2:4]) != board.king(not board.turn)]
        move = rng.choice(listed)
        game.apply(move)
        board.push(chess.Move.from_uci(move))


def test_encoding_does_not_change_the_game(snapshot):
    game = murkplay.SelfPlayGame()
    game.apply("e2e4")
    before = snapshot(game)
    first = game.encode_flattened()
    assert game.encode_flattened() == first
    game.encode_flattened(True)
    assert snapshot(game) == before


# --------------------------------------------------------------------------------- torch


@pytest.mark.parametrize("oracle", [False, True])
def test_encode_is_the_flat_list_as_a_tensor(oracle, snapshot):
    torch = pytest.importorskip("torch")
    game = murkplay.SelfPlayGame()
    for move in ["e2e4", "d7d5", "e4d5"]:
        game.apply(move)
    before = snapshot(game)
    tensor = game.encode(oracle)
    assert isinstance(tensor, torch.Tensor)
    assert tensor.dtype == torch.float32
    assert tuple(tensor.shape) == (64, 35)
    expected = torch.tensor(game.encode_flattened(oracle), dtype=torch.float32).reshape(64, 35)
    assert torch.equal(tensor, expected)
    assert torch.equal(game.encode(oracle=oracle), tensor)
    assert snapshot(game) == before


def test_encode_without_torch(block_import):
    block_import("torch")
    game = murkplay.SelfPlayGame()
    with pytest.raises(ValueError, match=r"^torch is required for encode\(\)$") as raised:
        game.encode()
    assert type(raised.value.__cause__) is ModuleNotFoundError
    assert len(game.encode_flattened()) == 2240


class FakeTorch(types.ModuleType):
    def __init__(self, **attributes):
        super().__init__("torch")
        self.calls = []
        for name, value in attributes.items():
            setattr(self, name, value)


def test_encode_hands_rows_and_dtype_to_torch(monkeypatch):
    float32 = object()
    result = object()
    fake = FakeTorch(float32=float32)

    def tensor(*args, **kwargs):
        fake.calls.append((args, kwargs))
        return result

    fake.tensor = tensor
    monkeypatch.setitem(sys.modules, "torch", fake)
    game = murkplay.SelfPlayGame()
    game.apply("g1f3")
    assert game.encode(True) is result
    (args, kwargs), = fake.calls
    assert len(args) == 1
    assert kwargs.keys() == {"dtype"} and kwargs["dtype"] is float32
    rows = args[0]
    assert type(rows) is list and len(rows) == 64
    assert all(type(row) is list and len(row) == 35 for row in rows)
    assert all(type(v) is float for row in rows for v in row)
    flat = game.encode_flattened(True)
    assert [v for row in rows for v in row] == flat


@pytest.mark.parametrize("missing", ["tensor", "float32"])
def test_fake_torch_missing_an_attribute(monkeypatch, missing):
    attributes = {"tensor": lambda *a, **k: None, "float32": object()}
    del attributes[missing]
    monkeypatch.setitem(sys.modules, "torch", FakeTorch(**attributes))
    with pytest.raises(AttributeError, match=missing):
        murkplay.SelfPlayGame().encode()


def test_exception_from_tensor_passes_through(monkeypatch):
    class Refused(Exception):
        pass

    problem = Refused("no tensors today")

    def tensor(*args, **kwargs):
        raise problem

    monkeypatch.setitem(sys.modules, "torch", FakeTorch(tensor=tensor, float32=object()))
    game = murkplay.SelfPlayGame()
    before = game.encode_flattened()
    with pytest.raises(Refused) as raised:
        game.encode()
    assert raised.value is problem
    assert game.encode_flattened() == before
