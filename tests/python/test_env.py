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
    [({"fen": "8/8/8/8/8/8/8/8 w - - 0 1"}, "Invalid FEN string"), ({"render_mode": "video"}, "render_mode"), ({"max_cycles": 0}, "max_cycles")],
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


# ------------------------------------------------------------------ parallel, state, cycles


class ParallelModule:
    """What PettingZoo's max_cycles_test takes: a module with env() and parallel_env(). The
    check samples actions without a seed, so the environments' spaces are seeded here."""

    def __init__(self, **options):
        self.options = options

    def env(self, **extra):
        return self._seeded(murkplay_rl.pettingzoo_env.env(**self.options, **extra))

    def parallel_env(self, **extra):
        return self._seeded(murkplay_rl.parallel_env(**self.options, **extra))

    @staticmethod
    def _seeded(env):
        for offset, agent in enumerate(env.possible_agents):
            env.action_space(agent).seed(offset)
        return env


@pytest.mark.parametrize("options", OPTIONS.values(), ids=OPTIONS.keys())
def test_pettingzoo_parallel_state_and_cycle_checks(options):
    from pettingzoo.test import max_cycles_test, parallel_api_test, parallel_seed_test, state_test

    module = ParallelModule(**options)
    parallel_api_test(module.parallel_env(), num_cycles=300)
    parallel_seed_test(module.parallel_env, num_cycles=100)
    state_test(module.env(), module.parallel_env())
    # The check asks its one game to outlast the cycles (8 plies of the AEC game), which random
    # play may not: the spaces are seeded, so the game is the same each run. From the standard
    # start a king falls at the 5th ply at the soonest; from the promotions position, at once.
    if "fen" not in options:
        max_cycles_test(module)


@pytest.mark.parametrize("fen", [START_FEN, PROMOTIONS_FEN])
def test_the_parallel_env_in_lockstep_with_the_aec_env(fen):
    for seed in range(3):
        rng = random.Random(seed)
        parallel = murkplay_rl.parallel_env(fen=fen, max_cycles=40)
        aec = murkplay_rl.raw_env(fen=fen, max_plies=40)
        observations, infos = parallel.reset(seed=seed)
        aec.reset(seed=seed)
        steps = 0
        while parallel.agents:
            mover = aec.agent_selection
            for agent in aec.possible_agents:
                expected = aec.observe(agent)
                np.testing.assert_array_equal(observations[agent]["observation"], expected["observation"])
                np.testing.assert_array_equal(observations[agent]["action_mask"], expected["action_mask"])
                assert infos[agent] == aec.infos[agent]
            np.testing.assert_array_equal(parallel.state(), aec.state())
            slot = rng.choice(list(np.flatnonzero(observations[mover]["action_mask"])))
            # The other agent's action is not read: anything goes there.
            actions = {agent: slot if agent == mover else 0 for agent in parallel.agents}
            observations, rewards, terminations, truncations, infos = parallel.step(actions)
            aec.step(slot)
            steps += 1
            assert rewards == {agent: aec.rewards[agent] for agent in aec.possible_agents}
            assert terminations == aec.terminations and truncations == aec.truncations
        assert steps == aec.plies <= 40


def test_infos_tell_each_agent_its_legal_moves_and_its_own_last_move():
    env = murkplay_rl.raw_env()
    env.reset()
    game = SelfPlayGame()
    assert env.infos["player_0"] == {"legal_moves": game.legal_actions_uci(), "last_move": None}
    assert env.infos["player_1"] == {"legal_moves": [], "last_move": None}
    play(env, [796, 796])  # e2e4 e7e5
    game.apply("e2e4")
    game.apply("e7e5")
    assert env.infos["player_0"] == {"legal_moves": game.legal_actions_uci(), "last_move": "e2e4"}
    # White is not told Black's move, which it cannot see.
    assert env.infos["player_1"] == {"legal_moves": [], "last_move": "e7e5"}
    # A sampled action is legal for the agent to move.
    mask = env.observe("player_0")["action_mask"]
    assert all(mask[env.action_space("player_0").sample()] for _ in range(50))
    assert env.action_space("player_1").sample() == 0


def test_the_state_is_the_oracle_view_whoever_moves():
    env = murkplay_rl.raw_env()
    play(env, [796, 796])
    assert env.state_space.contains(env.state())
    np.testing.assert_array_equal(env.state(), murkplay_rl.observe(env.game, oracle=True, viewer=True))
    np.testing.assert_array_equal(env.state()[:, 13], 0)  # no fog anywhere


@pytest.mark.parametrize("max_cycles, max_plies, plies", [(3, None, 6), (3, 4, 4), (None, 5, 5)])
def test_max_cycles_counts_each_agents_moves(max_cycles, max_plies, plies):
    env = murkplay_rl.raw_env(max_cycles=max_cycles, max_plies=max_plies)
    env.reset(seed=1)
    while not any(env.truncations.values()):
        env.step(env.action_space(env.agent_selection).sample())
    assert env.plies == plies
    parallel = murkplay_rl.parallel_env(max_cycles=max_cycles, max_plies=max_plies)
    parallel.reset(seed=1)
    steps = 0
    while parallel.agents:
        parallel.step({agent: parallel.action_space(agent).sample() for agent in parallel.agents})
        steps += 1
    assert steps == min(limit for limit in (max_cycles, max_plies) if limit is not None)


def test_the_parallel_env_refuses_and_loses_as_it_says():
    parallel = murkplay_rl.parallel_env()
    with pytest.raises(RuntimeError, match="reset"):
        parallel.step({"player_0": 796})
    parallel.reset(seed=0)
    with pytest.raises(ValueError, match="player_0, the agent to move"):
        parallel.step({"player_1": 796})
    with pytest.raises(TypeError, match="integer slot"):
        parallel.step({"player_0": 796.0})
    _, rewards, terminations, truncations, infos = parallel.step({"player_0": 0, "player_1": 0})
    assert rewards == {"player_0": -1.0, "player_1": 0.0} and all(terminations.values())
    assert infos["player_0"]["illegal_action"] and "illegal_action" not in infos["player_1"]
    assert parallel.agents == [] and not any(truncations.values())
    parallel.max_cycles = 7
    assert parallel.game.max_cycles == 7
    with pytest.raises(TypeError, match="max_cycles"):
        parallel.max_cycles = 2.5


def test_rgb_array_draws_the_view_of_the_agent_to_move():
    from murkplay_rl import render

    env = murkplay_rl.raw_env(render_mode="rgb_array")
    play(env, [796])
    frame = env.render()
    assert frame.shape == render.FRAME_SHAPE and frame.dtype == np.uint8
    np.testing.assert_array_equal(frame, render.frame(env.observe("player_1")["observation"], False))
