"""Move generation as seen through legal_actions_uci(): which moves, and in what order."""

import random

import pytest

import murkplay

chess = pytest.importorskip("chess")

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
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


# --------------------------------------------------------------------------- fixed lists


def test_start_position_lists_twenty_moves_in_order():
    pawn_moves = [f"{f}2{f}3 {f}2{f}4".split() for f in "abcdefgh"]
    expected = [m for pair in pawn_moves for m in pair] + ["b1a3", "b1c3", "g1f3", "g1h3"]
    assert actions() == expected


def test_black_lists_two_step_before_one_step():
    expected = [m for f in "abcdefgh" for m in (f"{f}7{f}5", f"{f}7{f}6")]
    expected += ["b8a6", "b8c6", "g8f6", "g8h6"]
    assert actions(moves=["e2e4"]) == expected


def test_promotion_pushes_before_captures_each_as_four_moves():
    listed = actions("3r1r2/4P3/8/8/8/8/8/K6k w - - 0 1")
    expected = [f"e7{d}{p}" for d in ("e8", "d8", "f8") for p in "qrbn"]
    # The king on a1 follows with b1 (1), a2 (8), b2 (9).
    assert listed == expected + ["a1b1", "a1a2", "a1b2"]


def test_black_promotion_order():
    listed = actions("k7/8/8/8/8/8/3p4/2N1R2K b - - 0 1")
    # d2: push to d1, then captures c1 and e1 in ascending order.
    assert listed[:12] == [f"d2{d}{p}" for d in ("d1", "c1", "e1") for p in "qrbn"]


@pytest.mark.parametrize(
    "fen, tail",
    [
        ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1",
         ["e1d1", "e1f1", "e1d2", "e1e2", "e1f2", "e1g1", "e1c1"]),
        ("r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1",
         ["e8d7", "e8e7", "e8f7", "e8d8", "e8f8", "e8g8", "e8c8"]),
    ],
    ids=["white", "black"],
)
def test_castling_follows_king_steps_king_side_first(fen, tail):
    listed = actions(fen)
    assert listed[-7:] == tail
    assert sum(text in CASTLING_TEXTS for text in listed) == 2


@pytest.mark.parametrize(
    "fen, castle",
    [
        # A rook on the f-file: the king passes through an attacked f1.
        ("4kr2/8/8/8/8/8/8/4K2R w K - 0 1", "e1g1"),
        # On the g-file: the king lands on an attacked square.
        ("4k1r1/8/8/8/8/8/8/4K2R w K - 0 1", "e1g1"),
        # On the e-file: the king castles out of check.
        ("r3r1k1/8/8/8/8/8/8/4K2R w K - 0 1", "e1g1"),
        ("3rk3/8/8/8/8/8/8/R3K3 w Q - 0 1", "e1c1"),
        ("2r1k3/8/8/8/8/8/8/R3K3 w Q - 0 1", "e1c1"),
        ("4k2r/8/8/8/8/8/8/4KR2 b k - 0 1", "e8g8"),
        ("r3k3/8/8/8/8/8/8/2R1K3 b q - 0 1", "e8c8"),
    ],
)
def test_castling_ignores_attacked_squares(fen, castle):
    assert castle in actions(fen)
    # Ordinary chess forbids each of these, which is what makes them worth listing.
    assert castle not in {m.uci() for m in chess.Board(fen).legal_moves}


@pytest.mark.parametrize(
    "fen, castle",
    [
        ("4k3/8/8/8/8/8/8/4KB1R w K - 0 1", "e1g1"),
        ("4k3/8/8/8/8/8/8/4K1NR w K - 0 1", "e1g1"),
        ("4k3/8/8/8/8/8/8/4K1nR w K - 0 1", "e1g1"),
        # The queen side needs b1 empty too, although the king never crosses it.
        ("4k3/8/8/8/8/8/8/RN2K3 w Q - 0 1", "e1c1"),
        ("4k3/8/8/8/8/8/8/Rn2K3 w Q - 0 1", "e1c1"),
        ("4k3/8/8/8/8/8/8/R1B1K3 w Q - 0 1", "e1c1"),
        ("4k3/8/8/8/8/8/8/R2QK3 w Q - 0 1", "e1c1"),
        ("r1b1k3/8/8/8/8/8/8/4K3 b q - 0 1", "e8c8"),
        ("rn2k3/8/8/8/8/8/8/4K3 b q - 0 1", "e8c8"),
        ("4k1nr/8/8/8/8/8/8/4K3 b k - 0 1", "e8g8"),
    ],
)
def test_castling_needs_the_squares_between_empty(fen, castle):
    assert castle not in actions(fen)
    # Clearing the path brings the castling move back.
    board = chess.Board(fen)
    back = 0 if board.turn == chess.WHITE else 7
    files = (5, 6) if castle[2] == "g" else (1, 2, 3)
    for f in files:
        board.remove_piece_at(chess.square(f, back))
    assert castle in actions(board.fen())


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


def test_no_castling_without_right_even_when_path_is_clear():
    listed = actions("r3k2r/8/8/8/8/8/8/R3K2R w - - 0 1")
    assert not CASTLING_TEXTS & set(listed)


def test_en_passant_listed_after_pushes_and_captures():
    listed = actions("4k3/8/5n2/3pP3/8/8/8/4K3 w - d6 0 1")
    assert listed == ["e5e6", "e5f6", "e5d6", "e1d1", "e1f1", "e1d2", "e1e2", "e1f2"]


def test_en_passant_by_two_pawns_keeps_each_pawn_together():
    listed = actions("4k3/8/8/2PpP3/8/8/8/4K3 w - d6 0 1")
    assert listed[:4] == ["c5c6", "c5d6", "e5e6", "e5d6"]


def test_black_en_passant_after_double_step():
    listed = actions("4k3/8/8/8/5p2/8/4P3/4K3 w - - 0 1", ["e2e4"])
    assert listed[:2] == ["f4f3", "f4e3"]


def test_en_passant_only_right_after_the_double_step():
    fen = "4k3/3p4/8/4P3/8/8/8/4K3 b - - 0 1"
    assert "e5d6" in actions(fen, ["d7d5"])
    assert "e5d6" not in actions(fen, ["d7d5", "e1e2", "e8e7"])
    # A pawn arriving by two single steps gives no chance either.
    assert "e5d6" not in actions(fen, ["d7d6", "e1e2", "d6d5"])


@pytest.mark.parametrize(
    "fen, moves, capture",
    [
        ("8/8/8/1k6/8/8/8/R3K3 b - - 0 1", ["b5a5"], "a1a5"),
        ("8/8/8/2k5/8/1P6/8/4K3 b - - 0 1", ["c5c4"], "b3c4"),
        ("8/8/8/3k4/8/3N4/8/4K3 b - - 0 1", ["d5e5"], "d3e5"),
        ("8/8/8/8/8/4k3/8/4K3 b - - 0 1", ["e3e2"], "e1e2"),
        ("4k3/8/8/8/8/8/2q5/4K3 w - - 0 1", ["e1d1"], "c2d1"),
    ],
    ids=["rook", "pawn", "knight", "king", "black-queen"],
)
def test_enemy_king_is_a_capture_destination(fen, moves, capture):
    listed = actions(fen, moves)
    assert capture in listed


def test_king_may_step_onto_attacked_squares_and_pinned_pieces_move():
    # The White knight on e2 is pinned by the rook on e8; the king is in check from b4.
    listed = actions("4r1k1/8/8/8/1b6/8/4N3/4K3 w - - 0 1")
    assert {"e2c3", "e2g3", "e2d4"} <= set(listed)
    assert {"e1d1", "e1d2", "e1f2"} <= set(listed)


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


def test_blocked_pawn_has_no_pushes_and_no_jump():
    listed = actions("4k3/8/8/8/8/4n3/4P3/4K3 w - - 0 1")
    assert not [t for t in listed if t.startswith("e2")]
    listed = actions("4k3/8/8/8/4n3/8/4P3/4K3 w - - 0 1")
    assert [t for t in listed if t.startswith("e2")] == ["e2e3"]


# ------------------------------------------------------------------ python-chess agreement


def compare_position(game, board):
    listed = game.legal_actions_uci()
    ours = {t for t in listed if not is_castling(board, t)}
    theirs = {m.uci() for m in board.pseudo_legal_moves if not board.is_castling(m)}
    assert ours == theirs, board.fen()
    assert_listed_in_order(board, listed)
    return listed


RANDOM_STARTS = [
    START,
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


def our_castling(board):
    """Castling moves our rule allows in a python-chess position."""
    moves = set()
    color = board.turn
    back = 0 if color == chess.WHITE else 7
    king = chess.square(4, back)
    if board.piece_at(king) != chess.Piece(chess.KING, color):
        return moves
    for rook_file, between, king_file, has_right in (
        (7, (5, 6), 6, board.has_kingside_castling_rights(color)),
        (0, (1, 2, 3), 2, board.has_queenside_castling_rights(color)),
    ):
        rook = board.piece_at(chess.square(rook_file, back))
        if (has_right and rook == chess.Piece(chess.ROOK, color)
                and all(board.piece_at(chess.square(f, back)) is None for f in between)):
            moves.add(chess.Move(king, chess.square(king_file, back)).uci())
    return moves


def reference_perft(board, depth):
    """Counts leaves with python-chess's pseudo-legal moves.

    python-chess ignores check in its pseudo-legal list and includes king captures, as our
    rules do. Two points differ: it refuses castling out of or through attack, so each node
    asserts that its castling moves are exactly ours; and a king capture leaves our board
    as it was with the same side to move, so at inner nodes such a capture recurses on the
    unchanged board instead of pushing it.
    """
    castles = {m.uci() for m in board.pseudo_legal_moves if board.is_castling(m)}
    assert castles == our_castling(board), board.fen()
    moves = list(board.pseudo_legal_moves)
    if depth == 1:
        return len(moves)
    total = 0
    for move in moves:
        if board.piece_type_at(move.to_square) == chess.KING:
            total += reference_perft(board, depth - 1)
        else:
            board.push(move)
            total += reference_perft(board, depth - 1)
            board.pop()
    return total


def our_perft(game, depth):
    listed = game.legal_actions_uci()
    if depth == 1:
        return len(listed)
    total = 0
    for text in listed:
        child = game.clone()
        child.apply(text)
        total += our_perft(child, depth - 1)
    return total


@pytest.mark.parametrize(
    "fen",
    [
        START,
        "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1",
        "4k3/pppppppp/8/1P1P1P1P/8/8/8/4K3 b - - 0 1",
        "r1n3nk/1P4pp/8/8/8/8/PP4p1/KB5R w - - 0 1",
        "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    ],
    ids=["start", "castling", "en-passant", "promotion", "kings-exposed"],
)
def test_perft_depth_three(fen):
    expected = reference_perft(chess.Board(fen), 3)
    assert our_perft(murkplay.SelfPlayGame(fen), 3) == expected


def test_start_perft_matches_ordinary_chess():
    # Within three plies from the start no side can give check, pin, castle or take
    # en passant, so the pseudo-legal count is the ordinary legal one.
    board = chess.Board()

    def legal_perft(depth):
        if depth == 0:
            return 1
        total = 0
        for move in list(board.legal_moves):
            board.push(move)
            total += legal_perft(depth - 1)
            board.pop()
        return total

    assert our_perft(murkplay.SelfPlayGame(), 3) == legal_perft(3)
