"""The PettingZoo environment: PettingZoo's own checks, a lockstep against a plain game, and the
conventions for bad input that PettingZoo's wrappers give."""

import random
import warnings

import numpy as np
import pytest

pytest.importorskip("pettingzoo")
pytest.importorskip("gymnasium")

import murkplay_rl  # noqa: E402
import reference_model as model  # noqa: E402
from murkplay import SelfPlayGame  # noqa: E402
from pettingzoo.test import api_test, render_test, seed_test  # noqa: E402

from support import START_FEN  # noqa: E402

PROMOTIONS_FEN = "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1"
# Black already has three knights and White a second queen: material features below zero.
EXTRA_MATERIAL_FEN = "nnn1k3/pppppppp/8/8/8/8/PPPPPPPP/QQ2K3 w - - 0 1"
NO_MOVE_FEN = "PP5k/PP6/PP6/PP6/PP6/PP6/PP6/KP6 w - - 0 1"


@pytest.fixture(autouse=True)
def quiet_pettingzoo():
    # PettingZoo warns about things it cannot know are deliberate here: a Dict observation
    # space, negative material features, an illegal move that the test makes on purpose.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


CHECKS = {
    "api": lambda make: api_test(make(), num_cycles=300),
    "seed": lambda make: seed_test(make, num_cycles=150),
    "render": lambda make: render_test(make),
}
OPTIONS = {
    "default": {},
    "truncated": {"max_plies": 9},
    "oracle": {"oracle": True, "fen": PROMOTIONS_FEN},
}


@pytest.mark.parametrize("options", OPTIONS.values(), ids=OPTIONS.keys())
@pytest.mark.parametrize("check", CHECKS.values(), ids=CHECKS.keys())
def test_pettingzoo_checks(check, options):
    check(lambda **extra: murkplay_rl.env(**options, **extra))


def first_with_slot(game, slot):
    return next(uci for uci in game.legal_actions_uci() if game.action_index(uci) == slot)


@pytest.mark.parametrize("fen", [START_FEN, PROMOTIONS_FEN, EXTRA_MATERIAL_FEN])
@pytest.mark.parametrize("oracle", [False, True])
def test_lockstep_with_plain_game(fen, oracle):
    for seed in range(4):
        max_plies = 20 if seed == 0 else 150
        rng = random.Random(seed)
        env = murkplay_rl.raw_env(fen=fen, oracle=oracle, max_plies=max_plies)
        env.reset(seed=seed)
        game, reference = SelfPlayGame(fen), model.Game(fen)
        for plies in range(max_plies + 1):
            mover = "player_0" if game.turn else "player_1"
            over = game.is_terminal() or plies == max_plies
            # A king capture leaves its capturer to move in the game; the turn passes in the env.
            assert (env.agent_selection == mover) != game.is_terminal()
            assert env.terminations[mover] == game.is_terminal()
            assert env.truncations[mover] == (plies == max_plies and not game.is_terminal())
            legal = set() if over else {game.action_index(uci) for uci in game.legal_actions_uci()}
            for agent in env.agents:
                observed = env.observe(agent)
                assert env.observation_space(agent).contains(observed)
                # Each agent sees the current board, the one not to move with its latest memory.
                expected = reference.observation(oracle, viewer=model.WHITE if agent == "player_0" else model.BLACK)
                np.testing.assert_array_equal(observed["observation"], expected)
                if agent == mover:
                    np.testing.assert_array_equal(expected.ravel(), np.array(game.encode_flattened(oracle), np.float32))
                assert set(np.flatnonzero(observed["action_mask"])) == (legal if agent == mover else set())
            if over:
                break
            slot = rng.choice(sorted(legal))
            env.step(slot)
            move = first_with_slot(game, slot)
            game.apply(move)
            reference.apply(move)
        assert env.plies == plies
        for agent, white in (("player_0", True), ("player_1", False)):
            assert env.rewards[agent] == game.terminal_value(white)


def test_a_side_without_a_move_ends_the_game():
    env = murkplay_rl.env(fen=NO_MOVE_FEN, render_mode="ansi")
    env.reset()
    observation, reward, terminated, truncated, _ = env.last()
    assert (reward, terminated, truncated) == (0, True, False)
    assert not observation["action_mask"].any()
    assert "player_0 has no move" in env.render()


def play(env, slots):
    env.reset(seed=0)
    for slot in slots:
        env.step(slot)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda env: env.observe("player_2"), KeyError),
        (lambda env: env.observation_space("white"), KeyError),
        (lambda env: env.action_space("white"), KeyError),
        (lambda env: env.step(4352), AssertionError),
        (lambda env: env.step(-1), AssertionError),
        (lambda env: env.step(0.5), AssertionError),
    ],
    ids=["observe", "observation_space", "action_space", "slot 4352", "slot -1", "float slot"],
)
def test_refused_input_changes_nothing(call, error):
    env = murkplay_rl.env()
    play(env, [796])  # e2e4
    before = (env.unwrapped.game.encode_flattened(), env.agent_selection, dict(env.terminations))
    with pytest.raises(error):
        call(env)
    assert (env.unwrapped.game.encode_flattened(), env.agent_selection, dict(env.terminations)) == before


def test_illegal_slot_loses_and_the_game_ends():
    env = murkplay_rl.env()
    play(env, [796, 0])  # after e2e4, Black's slot 0 (a8a8) is no move
    assert env.rewards == {"player_0": 0, "player_1": -1}
    assert all(env.terminations.values()) and all(env.truncations.values())
    with pytest.raises(ValueError, match="only valid action is None"):
        env.step(796)
    while env.agents:
        env.step(None)
    assert env.unwrapped.plies == 1


@pytest.mark.parametrize(
    "options, message",
    [({"fen": "8/8/8/8/8/8/8/8 w - - 0 1"}, "Invalid FEN string"), ({"render_mode": "rgb_array"}, "render_mode")],
)
def test_refused_options(options, message):
    with pytest.raises(ValueError, match=message):
        murkplay_rl.env(**options)


def test_text_shows_the_true_board_and_each_agents_fog():
    env = murkplay_rl.raw_env(render_mode="ansi")
    play(env, [796, 796, 405])  # e2e4 e7e5 g1f3: Black to move
    rows = env.render().splitlines()[2:10]
    # Three boards of 22 characters each: the rank, a blank, two characters per square, a gap.
    columns = [[row.ljust(66)[22 * board + 2 : 22 * board + 18] for row in rows] for board in range(3)]
    symbol = {v: ("PNBRQK" if v > 0 else "pnbrqk")[abs(v) - 1] for v in range(-6, 7) if v}
    assert columns[0] == ["".join(symbol.get(v, ".") + " " for v in row) for row in env.game.board]
    for board, agent, white in ((1, "player_0", True), (2, "player_1", False)):
        fog = env.observe(agent)["observation"][:, 13]
        for rank, text in zip(range(7, -1, -1), columns[board]):
            for file in range(8):
                assert (text[2 * file : 2 * file + 2] == "##") == bool(fog[(8 * rank + file) ^ (0 if white else 56)])
