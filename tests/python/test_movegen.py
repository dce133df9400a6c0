"""Move generation as seen through legal_actions_uci(): which moves, and in what order."""

import random

import pytest

import murkplay
from support import START_FEN

chess = pytest.importorskip("chess")
from fog_chess import fog_perft  # noqa: E402 - needs python-chess


CASTLING_TEXTS = {"e1g1", "e1c1", "e8g8", "e8c8"}
PROMOTION_ORDER = "qrbn"


def actions(fen=None, moves=()):
    game = murkplay.SelfPlayGame(fen) if fen else murkplay.SelfPlayGame()
    for move in moves:
        game.apply(move)
    return game.legal_actions_uci()


def is_castling(board, text):
    """Castling is the king's two-file step from its home square."""
    source = chess.parse_square(text[:2])
    return text in CASTLING_TEXTS and board.piece_type_at(source) == chess.KING


def order_key(board, text):
    """Sort key of an action under the listing rule.

    Piece kinds go pawn, knight, bishop, rook, queen, king (python-chess numbers them the
    same way), sources ascend; a pawn lists pushes, then captures, then its en-passant
    capture; promotions come as Q, R, B, N; a king lists its steps, then castling with the
    king side first.
    """
    source = chess.parse_square(text[:2])
    destination = chess.parse_square(text[2:4])
    kind = board.piece_type_at(source)
    promotion = PROMOTION_ORDER.index(text[4]) if len(text) == 5 else -1
    if kind == chess.PAWN:
        if chess.square_file(source) == chess.square_file(destination):
            group = 0
        elif board.piece_at(destination) is not None:
            group = 1
        else:
            group = 2
        return (kind, source, group, destination, promotion)
    if is_castling(board, text):
        side = 0 if text[2] == "g" else 1
        return (kind, source, 1, side, promotion)
    return (kind, source, 0, destination, promotion)


def assert_listed_in_order(board, listed):
    assert len(set(listed)) == len(listed), "an action is listed twice"
    keys = [order_key(board, text) for text in listed]
    assert keys == sorted(keys), listed


# --------------------------------------------------------------------- moves after play


@pytest.mark.parametrize(
    "moves, castles",
    [
        # The rook leaves and comes back: that side's right is gone, the other stays.
        (["h1h2", "a8a7", "h2h1", "a7a8"], {"e1c1"}),
        (["a1a2", "h8h7", "a2a1", "h7h8"], {"e1g1"}),
        # The king steps off and back: both are gone.
        (["e1f1", "a8a7", "f1e1", "a7a8"], set()),
        (["e1d1", "a8a7", "d1e1", "a7a8"], set()),
        (["e1e2", "a8a7", "e2e1", "h8h7"], set()),
        # Taking the rook on h8 costs White its own king side too (the rook left h1).
        (["h1h8", "a8b8"], {"e1c1"}),
    ],
)
def test_castling_lost_for_good_once_king_or_rook_moved(moves, castles):
    fen = "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1"
    listed = actions(fen, moves)
    assert set(listed) & CASTLING_TEXTS == castles


def test_en_passant_only_right_after_the_double_step():
    fen = "4k3/3p4/8/4P3/8/8/8/4K3 b - - 0 1"
    assert "e5d6" in actions(fen, ["d7d5"])
    assert "e5d6" not in actions(fen, ["d7d5", "e1e2", "e8e7"])
    # A pawn arriving by two single steps gives no chance either.
    assert "e5d6" not in actions(fen, ["d7d6", "e1e2", "d6d5"])


@pytest.mark.parametrize(
    "fen, pawn_square",
    [
        ("P3k3/8/8/8/8/8/8/4K3 w - - 0 1", "a8"),
        ("4k3/8/8/8/8/8/8/4K2p b - - 0 1", "h1"),
    ],
)
def test_pawn_on_its_last_rank_has_no_moves(fen, pawn_square):
    game = murkplay.SelfPlayGame(fen)
    listed = game.legal_actions_uci()
    assert listed
    assert not [t for t in listed if t.startswith(pawn_square)]
    assert all(t[:2] in ("e1", "e8") for t in listed)
    assert len(game.encode_flattened()) == 2240


def test_pawn_on_its_own_first_rank_steps_one_square():
    # The FEN reader accepts a White pawn on rank 1; it is not on its starting rank.
    listed = actions("4k3/8/8/8/8/8/1n6/P3K3 w - - 0 1")
    assert listed[:2] == ["a1a2", "a1b2"]
    assert "a1a3" not in listed


# ------------------------------------------------------------------ python-chess agreement


def compare_position(game, board):
    listed = game.legal_actions_uci()
    ours = {t for t in listed if not is_castling(board, t)}
    theirs = {m.uci() for m in board.pseudo_legal_moves if not board.is_castling(m)}
    assert ours == theirs, board.fen()
    assert_listed_in_order(board, listed)
    return listed


RANDOM_STARTS = [
    START_FEN,
    "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1",
    "4k3/pppppppp/8/1P1P1P1P/8/8/8/4K3 b - - 0 1",
    "r1n3nk/1P4pp/8/8/8/8/PP4p1/KB5R w - - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
]


@pytest.mark.parametrize("seed", range(16))
def test_random_play_matches_python_chess(seed, matrix_of):
    rng = random.Random(seed)
    fen = RANDOM_STARTS[seed % len(RANDOM_STARTS)]
    game = murkplay.SelfPlayGame(fen)
    board = chess.Board(fen)
    for _ply in range(150):
        assert game.board == matrix_of(board)
        listed = compare_position(game, board)
        # A king capture leaves our board unchanged while python-chess would remove the
        # king, so the two games are only kept in step by never playing one.
        enemy_king = board.king(not board.turn)
        quiet = [t for t in listed if chess.parse_square(t[2:4]) != enemy_king]
        if not quiet:
            break
        move = rng.choice(quiet)
        game.apply(move)
        board.push(chess.Move.from_uci(move))


# --------------------------------------------------------------------------------- perft


def our_perft(game, depth):
    """Leaves of the move tree through the game itself; a move onto a king ends the game and
    is a leaf."""
    listed = game.legal_actions_uci()
    if depth == 1:
        return len(listed)
    total = 0
    for text in listed:
        child = game.clone()
        child.apply(text)
        total += 1 if child.is_terminal() else our_perft(child, depth - 1)
    return total


# The positions and depths of the C++ perft test, whose counts come from here, and one with
# kings exposed to capture inside the tree.
@pytest.mark.parametrize(
    "fen, depth",
    [
        (START_FEN, 4),
        ("r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1", 4),
        ("rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3", 3),
        ("4k3/pppppppp/8/1P1P1P1P/8/8/8/4K3 b - - 0 1", 4),
        ("r1n3nk/1P4pp/8/8/8/8/PP4p1/KB5R w - - 0 1", 3),
        ("8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", 3),
    ],
    ids=["start", "castling", "en-passant-open", "en-passant-wall", "promotion", "kings-exposed"],
)
def test_perft_matches_python_chess(fen, depth):
    assert our_perft(murkplay.SelfPlayGame(fen), depth) == fog_perft(chess.Board(fen), depth)
