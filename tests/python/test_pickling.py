"""Games and batches cross pickle, copy and process boundaries whole, fog memories included,
and no damaged or crafted payload comes back as a game."""

import concurrent.futures
import copy
import copyreg
import multiprocessing
import pickle
import random
import struct
import subprocess
import sys

import pytest

import murkplay_rl as rl
from murkplay import SelfPlayGame
from support import plain_buffers, random_play, snapshot

# Where the fields of a pickled game lie: tag and version, 128 ages, 128 remembered pieces,
# the six piece sets, two colour sets and the occupied set, then six single bytes.
AGES, PIECES, SETS = 5, 5 + 512, 5 + 512 + 256
CASTLING, EN_PASSANT, SIDE, CAPTURED = SETS + 72, SETS + 74, SETS + 76, SETS + 77


def copyreg_payload(game):
    _restore, (payload,) = copyreg.dispatch_table[SelfPlayGame](game)
    return payload


def continues_alike(a, b, moves=12, seed=0):
    rng = random.Random(seed)
    for _ in range(moves):
        assert snapshot(a) == snapshot(b)
        listed = a.legal_actions_uci()
        if not listed:
            break
        move = rng.choice(listed)
        a.apply(move)
        b.apply(move)
    assert snapshot(a) == snapshot(b)


@pytest.mark.parametrize("how", ["pickle", "copy", "deepcopy"])
def test_mid_game_positions_round_trip(how):
    make = {
        "pickle": lambda g: pickle.loads(pickle.dumps(g, protocol=pickle.HIGHEST_PROTOCOL)),
        "copy": copy.copy,
        "deepcopy": copy.deepcopy,
    }[how]
    for number, game in enumerate(random_play(range(4), 70)):
        if number % 7:
            continue
        restored = make(game)
        assert type(restored) is SelfPlayGame and restored is not game
        continues_alike(game.clone(), restored, seed=number)


def test_a_process_that_imported_only_murkplay_pickles_and_copies():
    code = (
        "import copy, pickle, sys, murkplay\n"
        "game = murkplay.SelfPlayGame()\n"
        "game.apply('e2e4')\n"
        "loaded = sys.modules.copy()\n"
        "again = pickle.loads(pickle.dumps(game))\n"
        "assert again.encode_flattened() == game.encode_flattened() == copy.deepcopy(game).encode_flattened()\n"
        "assert 'numpy' not in sys.modules, 'pickling a game imported numpy'\n"
        "print(sorted(set(vars(murkplay)) - {'__builtins__', '__cached__'}))\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    # Nothing was added to the module.
    assert result.stdout.split() == [
        "['SelfPlayGame',", "'__all__',", "'__doc__',", "'__file__',", "'__loader__',", "'__name__',",
        "'__package__',", "'__spec__']",
    ]


def corrupt(payload, at, value, fmt="B"):
    damaged = bytearray(payload)
    struct.pack_into("<" + fmt, damaged, at, value)
    return bytes(damaged)


WHITE_KING_SET = SETS + 5 * 8


@pytest.mark.parametrize(
    "damage",
    [
        lambda p: p[:-1],
        lambda p: p + b"\0",
        lambda p: b"",
        lambda p: b"not a game at all",
        lambda p: corrupt(p, 0, ord("X")),
        lambda p: corrupt(p, 4, 2),  # a version from the future
        lambda p: corrupt(p, AGES, float("nan"), "f"),
        lambda p: corrupt(p, AGES + 4, -1.0, "f"),
        lambda p: corrupt(p, AGES, float("inf"), "f"),
        lambda p: corrupt(p, PIECES, 3),  # a colour code beyond "nothing remembered"
        lambda p: corrupt(p, PIECES + 1, 7),  # a kind code beyond "no piece"
        lambda p: corrupt(p, SETS, 1 << 4, "Q"),  # a pawn set holding the king's e1
        lambda p: corrupt(p, WHITE_KING_SET, 0, "Q"),  # no kings at all
        lambda p: corrupt(p, CASTLING, 4),
        lambda p: corrupt(p, EN_PASSANT, 1),  # an en-passant pawn where none can be taken
        lambda p: corrupt(p, EN_PASSANT, 2),
        lambda p: corrupt(p, SIDE, 2),
        lambda p: corrupt(p, CAPTURED, 3),
    ],
    ids=[
        "truncated", "extended", "empty", "foreign", "tag", "version", "nan age", "negative age", "infinite age",
        "colour code", "kind code", "overlapping sets", "no kings", "castling byte", "en passant",
        "presence flag", "side", "captured king",
    ],
)
def test_damaged_payloads_are_refused(damage):
    payload = copyreg_payload(SelfPlayGame())
    assert rl._native.restore_game(payload).encode_flattened() == SelfPlayGame().encode_flattened()
    with pytest.raises(ValueError, match="^not a pickled SelfPlayGame of this version, or a damaged one$"):
        rl._native.restore_game(damage(payload))


def test_the_reducer_takes_games_only():
    with pytest.raises(TypeError, match="^expected a SelfPlayGame, not 'int'$"):
        copyreg.dispatch_table[SelfPlayGame](42)


def test_a_castling_right_without_its_rook_is_refused():
    game = SelfPlayGame("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1")
    payload = copyreg_payload(game)
    rook_set = SETS + 3 * 8
    rooks = struct.unpack_from("<Q", payload, rook_set)[0]
    with pytest.raises(ValueError):
        rl._native.restore_game(corrupt(payload, rook_set, rooks & ~1, "Q"))  # the rook leaves a1, the right stays


def play_on(game, moves):
    for move in moves:
        game.apply(move)
    return game


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_games_cross_process_boundaries(method):
    game = play_on(SelfPlayGame(), ["e2e4", "d7d5", "e4d5"])
    moves = ["d8d5", "b1c3"]
    expected = snapshot(play_on(game.clone(), moves))
    context = multiprocessing.get_context(method)
    with concurrent.futures.ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
        returned = pool.submit(play_on, game, moves).result(timeout=120)
    assert snapshot(returned) == expected
    assert snapshot(game) != expected  # the worker had a copy


def test_batches_round_trip_and_go_on_alike():
    batch = rl.GameBatch(5, seed=3, max_plies=20, auto_reset=True, threads=2)
    out_a, out_b = plain_buffers(5), plain_buffers(5)
    for _ in range(25):
        batch.step_random(out=out_a)
    restored = pickle.loads(pickle.dumps(batch))
    assert (restored.seed, restored.max_plies, restored.auto_reset, restored.threads) == (3, 20, True, 2)
    for _ in range(10):
        a, b = batch.step_random(out=out_a), restored.step_random(out=out_b)
        assert [None if x is None else bytes(x) for x in a] == [None if y is None else bytes(y) for y in b]
    _restore, (payload,) = batch.__reduce__()
    for damaged in (payload[:-40], payload[:5] + b"\xff" * 8 + payload[13:]):
        with pytest.raises(ValueError, match="^not a pickled GameBatch of this version, or a damaged one$"):
            rl.GameBatch._from_bytes(damaged)
