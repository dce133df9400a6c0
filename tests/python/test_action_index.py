"""action_index: the fixed 4352-entry policy index of an action, seen from the side to move."""

from collections import defaultdict

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import murkplay
from support import random_play

WHITE_TO_MOVE = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
BLACK_TO_MOVE = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1"
FILES, RANKS = "abcdefgh", "12345678"


def square_of(text):
    return RANKS.index(text[1]) * 8 + FILES.index(text[0])


def expected_index(text, white_to_move):
    """The index by its definition: 64 * from + to, or 4096 + 4 * from + Q/R/B/N offset.

    Black's squares are mirrored top to bottom first; text after the fourth character
    counts only when it is a single promotion letter.
    """
    source, destination = square_of(text[0:2]), square_of(text[2:4])
    if not white_to_move:
        source, destination = source ^ 56, destination ^ 56
    if len(text) == 5:
        return 4096 + 4 * source + "qrbn".index(text[4])
    return 64 * source + destination


def mirror_text(text):
    flip = {r: RANKS[7 - i] for i, r in enumerate(RANKS)}
    return text[0] + flip[text[1]] + text[2] + flip[text[3]] + text[4:]


@pytest.mark.parametrize(
    "fen, text, index",
    [
        (WHITE_TO_MOVE, "e2e4", 796),
        (WHITE_TO_MOVE, "g1f3", 405),
        (WHITE_TO_MOVE, "e1g1", 262),
        (BLACK_TO_MOVE, "e7e5", 796),
        (BLACK_TO_MOVE, "e8g8", 262),
        (WHITE_TO_MOVE, "e7e8q", 4304),
        (WHITE_TO_MOVE, "e7f8r", 4305),
        (WHITE_TO_MOVE, "e7d8n", 4307),
        (WHITE_TO_MOVE, "a7a8q", 4288),
        (WHITE_TO_MOVE, "a7b8q", 4288),
        (BLACK_TO_MOVE, "e2e1q", 4304),
        (BLACK_TO_MOVE, "h2h1b", 4318),
        (WHITE_TO_MOVE, "a1a1", 0),
        (WHITE_TO_MOVE, "h8h8", 4095),
        (WHITE_TO_MOVE, "e7e8qq", 3388),
        (WHITE_TO_MOVE, "a2a1n", 4131),
    ],
)
def test_listed_indices(fen, text, index):
    game = murkplay.SelfPlayGame(fen)
    assert game.action_index(text) == index
    assert type(game.action_index(text)) is int


@pytest.mark.parametrize("text", ["e2e4", "g1f3", "e7e8q", "a7b8n", "h2h1b", "e1c1"])
@pytest.mark.parametrize("fen", [WHITE_TO_MOVE, BLACK_TO_MOVE])
def test_python_chess_move_gives_the_index_of_its_text(fen, text):
    chess = pytest.importorskip("chess")
    game = murkplay.SelfPlayGame(fen)
    assert game.action_index(chess.Move.from_uci(text)) == game.action_index(text)


@pytest.mark.parametrize("text", ["e2e9", "", "e7e8Q", "0000", "e2"])
def test_malformed_text_is_refused(text):
    with pytest.raises(ValueError, match=r"^Invalid UCI move$"):
        murkplay.SelfPlayGame().action_index(text)


@pytest.mark.parametrize("action", [None, 796, 4.5, b"e2e4"])
def test_action_that_is_not_text_is_refused(action):
    with pytest.raises(ValueError, match=r"^action must be a python-chess Move or UCI string$"):
        murkplay.SelfPlayGame().action_index(action)


def test_index_does_not_change_the_game(snapshot):
    game = murkplay.SelfPlayGame()
    game.apply("e2e4")
    before = snapshot(game)
    for text in ["e7e5", "a1h8", "e2e1q"]:
        game.action_index(text)
    with pytest.raises(ValueError):
        game.action_index("zz")
    assert snapshot(game) == before


uci_texts = st.builds(
    lambda s, d, p: s + d + p,
    st.sampled_from([f + r for r in RANKS for f in FILES]),
    st.sampled_from([f + r for r in RANKS for f in FILES]),
    st.sampled_from(["", "q", "r", "b", "n"]),
)


@settings(max_examples=300, deadline=None)
@given(text=uci_texts)
def test_any_text_follows_the_definition(text):
    white = murkplay.SelfPlayGame(WHITE_TO_MOVE)
    black = murkplay.SelfPlayGame(BLACK_TO_MOVE)
    assert white.action_index(text) == expected_index(text, True)
    assert black.action_index(text) == expected_index(text, False)
    # Black's view is White's view of the board turned upside down.
    assert black.action_index(text) == white.action_index(mirror_text(text))
    assert 0 <= white.action_index(text) < 4352


COLLISION_POSITIONS = [
    # Each pawn can promote by its push and by two captures: three destinations, one index.
    "rn1b1q2/2P1P3/8/8/8/8/8/K6k w - - 0 1",
    "K6k/8/8/8/8/8/3p1p2/2N1Q1R1 b - - 0 1",
]


def collision_cases():
    yield from random_play(range(6), 80)
    for fen in COLLISION_POSITIONS:
        yield murkplay.SelfPlayGame(fen)


def test_listed_actions_collide_only_as_promotions_sharing_source_and_kind():
    collisions_seen = 0
    for game in collision_cases():
        white = game.current_player()
        groups = defaultdict(list)
        for text in game.legal_actions_uci():
            index = game.action_index(text)
            assert 0 <= index < 4352
            assert index == expected_index(text, white)
            groups[index].append(text)
        for index, texts in groups.items():
            if len(texts) == 1:
                continue
            collisions_seen += 1
            # Promotions drop the destination, so e7e8q, e7d8q and e7f8q share an entry;
            # nothing else may.
            assert index >= 4096
            assert all(len(t) == 5 for t in texts)
            assert len({(t[:2], t[4]) for t in texts}) == 1
            assert len({t[2:4] for t in texts}) == len(texts)
    assert collisions_seen >= 8  # the fixed positions alone give 2 pawns x 4 kinds


@pytest.mark.parametrize("seed", range(4))
def test_index_follows_the_side_to_move_only(seed):
    texts = ["e2e4", "a1h8", "g7g8n", "b2a1q", "h8a1", "d4d4"]
    reference = {
        True: [murkplay.SelfPlayGame(WHITE_TO_MOVE).action_index(t) for t in texts],
        False: [murkplay.SelfPlayGame(BLACK_TO_MOVE).action_index(t) for t in texts],
    }
    assert reference[True] != reference[False]
    for game in random_play([seed], 40):
        assert [game.action_index(t) for t in texts] == reference[game.current_player()]


def test_king_capture_keeps_the_index():
    # The side to move stays the same after a king is taken, and so do the indices.
    game = murkplay.SelfPlayGame("8/8/8/1k6/8/8/8/R3K3 b - - 0 1")
    game.apply("b5a5")
    before = game.action_index("a1a5")
    game.apply("a1a5")
    assert game.is_terminal() and game.current_player()
    assert game.action_index("a1a5") == before == 64 * 0 + 32
