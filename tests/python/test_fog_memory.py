"""Each side's memory of the squares it saw, read through observation features 14 to 27."""

import os
import random
import sys

import numpy as np
import pytest

import murkplay

sys.path.insert(0, os.path.dirname(__file__))
import reference_model as model  # noqa: E402
from support import START_FEN  # noqa: E402

START_BLACK = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1"
BACK_RANK = [model.ROOK, model.KNIGHT, model.BISHOP, model.QUEEN, model.KING,
             model.BISHOP, model.KNIGHT, model.ROOK]
OWN, OPPONENT, NOTHING, RECENCY = 14, 20, 26, 27


def observe(game, oracle=False):
    return np.array(game.encode_flattened(oracle), dtype=np.float64).reshape(64, 35)


def recency(age):
    """Feature 27 for a square last seen `age` refreshes ago, in single precision."""
    return float(np.float32(1.0) / np.float32(age + 1.0))


def cell(name, white_to_move):
    sq = model.parse_square_name(name)
    return sq if white_to_move else sq ^ 56


def remembered(obs, c):
    """The one memory feature (14..26) set in a cell."""
    hot = np.flatnonzero(obs[c, 14:27]) + 14
    assert len(hot) == 1, obs[c, 14:27]
    return int(hot[0])


@pytest.mark.parametrize("fen", [START_FEN, START_BLACK], ids=["white", "black"])
def test_memory_right_after_construction(fen):
    # Either side to move sees its own half of the board; cells are mirrored for Black,
    # so its own back rank is cells 0-7 in both cases.
    obs = observe(murkplay.SelfPlayGame(fen))
    np.testing.assert_array_equal(obs[:32, RECENCY], 1.0)
    np.testing.assert_array_equal(obs[32:, RECENCY], recency(101))
    assert [remembered(obs, c) for c in range(8)] == [OWN + k for k in BACK_RANK]
    assert [remembered(obs, c) for c in range(8, 16)] == [OWN + model.PAWN] * 8
    assert [remembered(obs, c) for c in range(16, 64)] == [NOTHING] * 48


def test_side_not_to_move_starts_unrefreshed():
    # Built with Black to move, White's memory is refreshed for the first time after
    # Black's move: its unseen squares are then 101 refreshes old, not 102.
    game = murkplay.SelfPlayGame(START_BLACK)
    game.apply("e7e5")
    obs = observe(game)
    np.testing.assert_array_equal(obs[:32, RECENCY], 1.0)
    np.testing.assert_array_equal(obs[32:, RECENCY], recency(101))


def test_black_first_observation_after_e2e4():
    game = murkplay.SelfPlayGame()
    game.apply("e2e4")
    obs = observe(game)
    np.testing.assert_array_equal(obs[:32, RECENCY], 1.0)
    np.testing.assert_array_equal(obs[32:, RECENCY], recency(101))
    assert [remembered(obs, c) for c in range(8)] == [OWN + k for k in BACK_RANK]
    # Black has never seen rank 4, so the White pawn on e4 is not remembered.
    assert [remembered(obs, c) for c in range(16, 64)] == [NOTHING] * 48


def test_white_second_observation_sees_the_blocking_pawn():
    game = murkplay.SelfPlayGame()
    game.apply("e2e4")
    game.apply("e7e5")
    obs = observe(game)
    e5, d5, a8 = cell("e5", True), cell("d5", True), cell("a8", True)
    assert remembered(obs, e5) == OPPONENT + model.PAWN
    assert obs[e5, RECENCY] == 1.0
    assert remembered(obs, d5) == NOTHING and obs[d5, RECENCY] == 1.0
    # a8 has been out of sight at both of White's refreshes.
    assert remembered(obs, a8) == NOTHING and obs[a8, RECENCY] == recency(102)


def play_hidden_knight(refreshes):
    """White's rook sees a knight on a5, turns away, and the knight leaves unseen.

    Returns the game after `refreshes` White refreshes without sight of a5, with the
    rook on b1 or b2 and White to move.
    """
    game = murkplay.SelfPlayGame("4k3/8/8/n7/8/8/8/R3K3 w - - 0 1")
    assert remembered(observe(game), 32) == OPPONENT + model.KNIGHT
    game.apply("a1b1")
    game.apply("a5c6")
    rook, king = "b1", "e8"
    for _ in range(refreshes - 1):
        rook_to = "b2" if rook == "b1" else "b1"
        king_to = "f8" if king == "e8" else "e8"
        game.apply(rook + rook_to)
        game.apply(king + king_to)
        rook, king = rook_to, king_to
    return game, rook, king


@pytest.mark.parametrize("refreshes", [1, 2, 3, 5])
def test_hidden_square_keeps_the_piece_and_ages(refreshes):
    game, _, _ = play_hidden_knight(refreshes)
    obs = observe(game)
    a5 = 32
    # The knight went to c6 long ago; White still remembers it on a5.
    assert obs[a5, 13] == 1.0
    assert remembered(obs, a5) == OPPONENT + model.KNIGHT
    assert obs[a5, RECENCY] == recency(refreshes)
    assert remembered(obs, cell("c6", True)) == NOTHING


@pytest.mark.parametrize("refreshes", [1, 4])
def test_remembered_piece_seen_gone_is_forgotten(refreshes):
    game, rook, king = play_hidden_knight(refreshes)
    game.apply(rook + "a" + rook[1])
    game.apply(king + ("f8" if king == "e8" else "e8"))
    obs = observe(game)
    a5 = 32
    assert obs[a5, 12] == 1.0
    assert remembered(obs, a5) == NOTHING
    assert obs[a5, RECENCY] == 1.0


def test_king_capture_refreshes_the_capturer_only():
    game = murkplay.SelfPlayGame("1k6/8/8/8/8/8/8/R3K3 b - - 0 1")
    game.apply("b8a8")
    before = observe(game)
    a8, h8 = cell("a8", True), cell("h8", True)
    assert before[h8, RECENCY] == recency(101)
    game.apply("a1a8")
    assert game.is_terminal() and game.current_player()
    after = observe(game)
    # Nothing moved, so everything but the ages is as before; unseen squares aged by one.
    np.testing.assert_array_equal(after[:, :27], before[:, :27])
    assert after[h8, RECENCY] == recency(102)
    assert remembered(after, a8) == OPPONENT + model.KING and after[a8, RECENCY] == 1.0
    seen = before[:, RECENCY] == 1.0
    np.testing.assert_array_equal(after[seen, RECENCY], 1.0)
    # The loser's memory was not touched by the capture: Black has had exactly two
    # refreshes (construction and now), so h1 never seen is 102 old.
    game.apply("e1d1")
    black = observe(game)
    assert black[cell("h1", False), RECENCY] == recency(102)


def test_memories_after_both_kings_are_taken():
    fen = "1k6/8/8/8/8/2q5/3P4/R3K3 b - - 0 1"
    game, reference = murkplay.SelfPlayGame(fen), model.Game(fen)
    # White takes the king, plays on with a pawn move that opens the diagonal, and Black's
    # queen takes the White king: each capture refreshes its capturer once more.
    for move in ["b8a8", "a1a8", "d2d3", "c3e1", "a8a7"]:
        game.apply(move)
        reference.apply(move)
        assert_matches_model(game, reference)
    assert game.terminal_value(True) == -1.0


BAD_ACTIONS = [
    "e2e9", "", "e7e8Q", "0000", None, 42,
    "e3e4",  # empty source square
    "e7e5",  # a piece of the side not to move
    "d1d2",  # onto one of the mover's own pieces
]


@pytest.mark.parametrize("action", BAD_ACTIONS, ids=repr)
def test_rejected_action_leaves_both_memories(action, snapshot):
    game = murkplay.SelfPlayGame()
    for move in ["e2e4", "e7e5", "g1f3", "b8c6"]:
        game.apply(move)
    twin = game.clone()
    before = snapshot(game)
    with pytest.raises(ValueError):
        game.apply(action)
    assert snapshot(game) == before
    # Black's memory only shows once Black is to move again.
    for move in ["f1c4", "g8f6"]:
        game.apply(move)
        twin.apply(move)
        assert snapshot(game) == snapshot(twin)


# ----------------------------------------------------------------- agreement with the model


def assert_matches_model(game, reference):
    assert game.board == reference.position.matrix()
    assert game.legal_actions_uci() == reference.legal_actions_uci()
    for oracle in (False, True):
        ours = np.array(game.encode_flattened(oracle), dtype=np.float64)
        theirs = reference.observation(oracle).reshape(-1).astype(np.float64)
        if not np.array_equal(ours, theirs):
            where = np.flatnonzero(ours != theirs)
            details = [(int(i) // 35, int(i) % 35, ours[i], theirs[i]) for i in where[:8]]
            pytest.fail(f"oracle={oracle}: (cell, feature, ours, model) {details}")


MODEL_STARTS = [
    START_FEN,
    START_BLACK,
    "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1",
    "4k3/pppppppp/8/1P1P1P1P/8/8/8/4K3 b - - 0 1",
    "r1n3nk/1P4pp/8/8/8/8/PP4p1/KB5R w - - 0 1",
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
]


@pytest.mark.parametrize("seed", range(18))
def test_random_games_match_the_model(seed):
    rng = random.Random(seed)
    fen = MODEL_STARTS[seed % len(MODEL_STARTS)]
    game = murkplay.SelfPlayGame(fen)
    reference = model.Game(fen)
    for _ply in range(150):
        assert_matches_model(game, reference)
        listed = game.legal_actions_uci()
        if not listed:
            break
        pieces = reference.position.pieces
        king_captures = [t for t in listed
                         if (p := pieces[model.parse_square_name(t[2:4])]) and p[1] == model.KING]
        # Take a king now and then, and play on afterwards: the game does not stop.
        if king_captures and rng.random() < 0.3:
            move = rng.choice(king_captures)
        else:
            move = rng.choice(listed)
        game.apply(move)
        reference.apply(move)
