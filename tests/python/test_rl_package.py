"""The companion package murkplay_rl: what importing it costs, and the single-game paths that
its environment and pictures are built on, checked against the game's own methods."""

import random
import subprocess
import sys

import numpy as np
import pytest

import murkplay_rl as single
import reference_model as model
import support
from murkplay import SelfPlayGame

PROMOTIONS_FEN = "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1"


def test_importing_loads_no_optional_tool():
    code = (
        "import sys, murkplay, murkplay_rl\n"
        "assert {'env', 'raw_env', 'render_svg'} <= set(dir(murkplay_rl))\n"
        "print(sorted(m for m in ('pettingzoo', 'gymnasium', 'chess') if m in sys.modules))"
    )
    loaded = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    assert loaded.strip() == "[]"


def test_the_namespace_is_the_api_and_the_version_is_the_installed_one():
    code = (
        "import importlib.metadata, murkplay_rl\n"
        "print(sorted(name for name in vars(murkplay_rl) if not name.startswith('_')))\n"
        "print(murkplay_rl.__version__ == importlib.metadata.version('murkplay'), murkplay_rl.__version__)"
    )
    public, version = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                                     text=True).stdout.splitlines()
    assert public == str(sorted(single.__all__))
    assert version.startswith("True ") and version.split()[1][0].isdigit()


def positions():
    yield from (game.clone() for game in support.random_play(range(6), 40))
    promotions = SelfPlayGame(PROMOTIONS_FEN)
    yield promotions
    promotions = promotions.clone()
    promotions.apply("d7e6")
    yield promotions


@pytest.mark.parametrize("mask_dtype", [None, np.bool_, np.int8, np.uint8])
def test_legal_moves_and_apply_slot_follow_the_listed_actions(mask_dtype):
    for game in positions():
        listed = game.legal_actions_uci()
        mask = None if mask_dtype is None else np.full(single.ACTION_COUNT, 1, dtype=mask_dtype)
        moves, slots, filled = single.legal_moves(game, mask)
        assert [single.move_uci(int(code)) for code in moves] == listed
        assert slots.tolist() == [game.action_index(uci) for uci in listed]
        assert mask is None or filled is mask
        assert set(np.flatnonzero(filled)) == set(slots.tolist())
        for slot in set(slots.tolist()):
            # Several moves share a slot only for promotions; the first listed one is played.
            first = listed[slots.tolist().index(slot)]
            played, expected = game.clone(), game.clone()
            assert single.move_uci(single.apply_slot(played, slot)) == first
            expected.apply(first)
            assert support.snapshot(played) == support.snapshot(expected)


def test_refusals_change_nothing():
    game = SelfPlayGame()
    with pytest.raises(ValueError, match="^no legal move has slot 0$"):
        single.apply_slot(game, 0)
    with pytest.raises(TypeError, match="^game must be a murkplay.SelfPlayGame, not 'str'$"):
        single.observe(support.START_FEN)
    with pytest.raises(TypeError, match="^viewer must be None"):
        single.observe(game, viewer=1)
    assert support.snapshot(game) == support.snapshot(SelfPlayGame())


@pytest.mark.parametrize("oracle", [False, True])
def test_observe_is_the_encoded_observation(oracle):
    out = np.full((64, 35), np.nan, dtype=np.float32)
    for game in positions():
        expected = np.array(game.encode_flattened(oracle), dtype=np.float32).reshape(64, 35)
        np.testing.assert_array_equal(single.observe(game, oracle=oracle), expected)
        np.testing.assert_array_equal(single.observe(game, oracle=oracle, viewer=game.turn), expected)
        assert single.observe(game, out, oracle=oracle) is out
        np.testing.assert_array_equal(out, expected)


def test_each_side_sees_its_own_view_of_the_current_board():
    for seed in range(3):
        rng = random.Random(seed)
        game, reference = SelfPlayGame(), model.Game()
        for _ in range(80):
            for viewer, colour in ((True, model.WHITE), (False, model.BLACK)):
                np.testing.assert_array_equal(single.observe(game, viewer=viewer), reference.observation(viewer=colour))
            listed = game.legal_actions_uci()
            if game.is_terminal() or not listed:
                break
            move = rng.choice(listed)
            game.apply(move)
            reference.apply(move)
