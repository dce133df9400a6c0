"""The Gymnasium environments: Gymnasium's own checks, and the vector environment's autoreset,
rewards and illegal slots against what its batch reports."""

import importlib.util

import numpy as np
import pytest

gymnasium = pytest.importorskip("gymnasium")

import murkplay_rl as rl  # noqa: E402
from murkplay import SelfPlayGame  # noqa: E402
from murkplay_rl import agents  # noqa: E402
from murkplay_rl import gym as fog_gym  # noqa: E402


def legal_slots(masks, rng):
    """One legal slot per row of masks, drawn at random."""
    return np.array([rng.choice(np.flatnonzero(mask)) for mask in masks])


def first_illegal(mask):
    return int(np.flatnonzero(mask == 0)[0])


@pytest.mark.parametrize("opponent, side", [("random", "white"), ("greedy", "black"), ("cautious", "white")])
def test_the_environment_passes_check_env(opponent, side):
    from gymnasium.utils.env_checker import check_env

    env = gymnasium.make(fog_gym.ENV_ID, opponent=opponent, side=side)
    check_env(env.unwrapped)


@pytest.mark.parametrize("side", fog_gym.SIDES)
def test_an_episode_ends_as_its_game_does(side):
    # A built-in opponent replies in the learner's call; a torch one moves in a call of its own.
    opponents = ["greedy"]
    if importlib.util.find_spec("torch") is not None:
        import torch

        opponents.append(agents.TorchAgent(lambda seen: torch.zeros(len(seen), rl.ACTION_COUNT), name="uniform"))
    for opponent in opponents:
        env = fog_gym.FogChessEnv(opponent=opponent, side=side, max_plies=400)
        rng = np.random.default_rng(1)
        for episode in range(3):
            observation, _ = env.reset(seed=episode)
            game = env._games.batch[0]
            assert game.turn == (side == "white")
            np.testing.assert_array_equal(observation["observation"], rl.observe(game))
            done = False
            while not done:
                action = legal_slots([observation["action_mask"]], rng)[0]
                observation, reward, terminated, truncated, _ = env.step(action)
                done = terminated or truncated
            game = env._games.batch[0]
            assert reward == (game.terminal_value(side == "white") if terminated else 0.0)
            assert terminated == game.is_terminal()
        env.reset(seed=0)
        mask = env._games.mask[0]
        assert env.step(first_illegal(mask))[1:4] == (-1.0, True, False)


def openings(side):
    """The boards a game may start from as the learner first sees it."""
    if side == "white":
        return [SelfPlayGame().board]
    boards = []
    for move in SelfPlayGame().legal_actions_uci():
        game = SelfPlayGame()
        game.apply(move)
        boards.append(game.board)
    return boards


def assert_at_start(env, observation, rows, side):
    """The games ``rows`` stand at their start, the learner to move, and the observation shows it."""
    starts = openings(side)
    for row in np.flatnonzero(rows):
        game = env._games.batch[int(row)]
        assert game.board in starts and game.turn == (side == "white")
        np.testing.assert_array_equal(observation["observation"][row], rl.observe(game))


@pytest.mark.parametrize("side", fog_gym.SIDES)
def test_the_vector_environment_restarts_ended_games_at_the_next_step(side):
    from gymnasium.vector.utils import batch_space

    count = 32
    env = fog_gym.FogChessVectorEnv(count, opponent="greedy", side=side, max_plies=60, threads=2)
    assert env.observation_space == batch_space(env.single_observation_space, count)
    observation, infos = env.reset(seed=3)
    assert_at_start(env, observation, np.ones(count, dtype=bool), side)
    rng = np.random.default_rng(0)
    ended = np.zeros(count, dtype=bool)
    endings = 0
    for ply in range(150):
        assert env.observation_space.contains(observation)
        np.testing.assert_array_equal(infos["action_mask"], observation["action_mask"])
        actions = legal_slots(observation["action_mask"], rng)
        if ply == 5:
            actions[0] = first_illegal(observation["action_mask"][0])
        observation, rewards, terminations, truncations, infos = env.step(actions)
        # A game reported ended restarts at the next step, which rewards nothing and ends nothing.
        assert_at_start(env, observation, ended, side)
        assert not (rewards[ended].any() or (terminations | truncations)[ended].any())
        if ply == 5 and not ended[0]:
            assert (rewards[0], terminations[0]) == (-1.0, True)
        assert set(np.unique(rewards)) <= {-1.0, 0.0, 1.0}
        assert np.all(rewards[terminations] != 0) and not np.any(terminations & truncations)
        ended = terminations | truncations
        endings += ended.sum()
    assert endings > count


def test_the_vector_environment_repeats_itself_and_runs_in_gymnasiums_wrappers():
    from gymnasium.wrappers.vector import RecordEpisodeStatistics

    runs = []
    for _ in range(2):
        env = RecordEpisodeStatistics(gymnasium.make_vec(
            fog_gym.ENV_ID, num_envs=8, vectorization_mode="vector_entry_point", opponent="cautious", max_plies=40))
        observation, _ = env.reset(seed=11)
        rng = np.random.default_rng(2)
        trace = []
        for _ in range(60):
            observation, rewards, terminations, truncations, infos = env.step(
                legal_slots(observation["action_mask"], rng))
            trace.append((observation["observation"].copy(), rewards.copy()))
        # Each episode is one game: one reward at its end, at most 20 of the learner's moves in 40 plies.
        assert len(env.return_queue) > 8
        assert set(env.return_queue) <= {-1.0, 0.0, 1.0} and max(env.length_queue) <= 20
        runs.append(trace)
    for (one, reward_one), (two, reward_two) in zip(*runs):
        np.testing.assert_array_equal(one, two)
        np.testing.assert_array_equal(reward_one, reward_two)


def test_without_gymnasium_the_error_names_the_extra(block_import, monkeypatch):
    import sys

    block_import("gymnasium")
    monkeypatch.delitem(sys.modules, "murkplay_rl.gym")
    with pytest.raises(ImportError, match=r'^murkplay_rl.gym needs gymnasium, which is not installed: pip install "murkplay\[gym\]" '
                       r'\(from a checkout: pip install "\.\[gym\]"\)$'):
        importlib.import_module("murkplay_rl.gym")


@pytest.mark.parametrize("render_mode", fog_gym.RENDER_MODES)
def test_the_environment_passes_check_env_while_rendering(render_mode):
    from gymnasium.utils.env_checker import check_env

    check_env(gymnasium.make(fog_gym.ENV_ID, render_mode=render_mode, opponent="cautious").unwrapped)


@pytest.mark.parametrize("side, max_plies, steps", [("white", 9, 5), ("black", 9, 4), ("white", 8, 4),
                                                     ("black", 0, None)])
def test_the_spec_says_how_many_steps_an_episode_lasts_at_most(side, max_plies, steps):
    env = gymnasium.make(fog_gym.ENV_ID, side=side, max_plies=max_plies)
    assert env.spec.max_episode_steps == steps
    assert not any(isinstance(wrapper, gymnasium.wrappers.TimeLimit) for wrapper in _wrappers(env))
    envs = gymnasium.make_vec(fog_gym.ENV_ID, num_envs=4, vectorization_mode="vector_entry_point", side=side,
                              max_plies=max_plies)
    assert envs.spec.max_episode_steps == steps
    if steps is None:
        return
    rng = np.random.default_rng(0)
    lengths = set()
    for episode in range(30):
        observation, _ = env.reset(seed=episode)
        for length in range(1, 100):
            observation, _, terminated, truncated, _ = env.step(legal_slots([observation["action_mask"]], rng)[0])
            if terminated or truncated:
                break
        assert length <= steps
        if truncated and observation["observation"][:, 13].any():  # cut off by the ply limit, not by a lack of moves
            lengths.add(length)
    assert lengths == {steps}


def _wrappers(env):
    while isinstance(env, gymnasium.Wrapper):
        yield env
        env = env.env


def test_slots_and_uci_texts_name_the_moves_shown():
    env = fog_gym.FogChessEnv(opponent="greedy", side="black")
    observation, _ = env.reset(seed=4)
    game = env._games.batch[0]
    for slot in np.flatnonzero(observation["action_mask"]):
        uci = env.slot_uci(slot)
        assert game.action_index(uci) == slot and env.uci_slot(uci) == slot
    assert env.action_masks().tolist() == observation["action_mask"].astype(bool).tolist()
    with pytest.raises(ValueError, match="slot 0 is not legal in game 0 as shown"):
        env.slot_uci(0)
    with pytest.raises(ValueError, match="a1a2 is not a legal move in game 0 as shown"):
        env.uci_slot("a1a2")
    with pytest.raises(ValueError, match="Invalid UCI move|not UCI|uci"):
        env.uci_slot("castle")
    with pytest.raises(TypeError, match="uci must be text"):
        env.uci_slot(796)
    with pytest.raises(TypeError, match="slot must be an integer"):
        env.slot_uci("e2e4")
    envs = fog_gym.FogChessVectorEnv(3, opponent="random")
    observations, _ = envs.reset(seed=0)
    assert envs.slot_uci(2, 796) == "e2e4" and envs.uci_slot(1, "g1f3") == SelfPlayGame().action_index("g1f3")
    with pytest.raises(ValueError, match="game must be from 0 to 2, not 3"):
        envs.slot_uci(3, 796)
    np.testing.assert_array_equal(envs.action_masks(), observations["action_mask"].astype(bool))


class CountingNetwork:
    """A module giving uniform logits that records what it was shown, and checks it is the fogged
    view of the side to move in every game of the batch."""

    def __init__(self, env):
        self.env, self.calls = env, 0

    def __call__(self, observation):
        import torch

        self.calls += 1
        batch = self.env._games.batch
        if len(observation) == len(batch):
            for game in range(len(batch)):
                if not (batch[game].is_terminal()):
                    np.testing.assert_array_equal(observation[game].numpy(), rl.observe(batch[game]))
        else:  # the opening moves of games restarted, played on a batch of their own
            for seen in observation:
                np.testing.assert_array_equal(seen.numpy(), rl.observe(SelfPlayGame()))
        return torch.zeros(len(observation), rl.ACTION_COUNT)


@pytest.mark.parametrize("side", fog_gym.SIDES)
def test_a_network_opponent_moves_with_one_forward_pass_for_all_games_and_sees_only_its_side(side):
    pytest.importorskip("torch")
    env = fog_gym.FogChessVectorEnv(8, side=side, oracle=True, max_plies=40)
    network = CountingNetwork(env)
    env = fog_gym.FogChessVectorEnv(8, opponent=agents.TorchAgent(network, name="uniform"), side=side, oracle=True,
                                    max_plies=40)
    network.env = env
    observation, _ = env.reset(seed=0)
    rng = np.random.default_rng(0)
    calls = network.calls
    for step in range(30):
        observation, rewards, terminations, truncations, _ = env.step(legal_slots(observation["action_mask"], rng))
        # One act for all games (none when every game ended at the learner's move), and one
        # more for the openings of the games restarted at this step.
        made = network.calls - calls
        assert made <= (2 if side == "black" else 1) and (made or (terminations | truncations).all())
        calls = network.calls
    assert not observation["observation"][:, :, 13].any()  # the learner's own view is the oracle's


def test_the_pretrained_network_plays_as_an_opponent():
    pytest.importorskip("torch")
    env = gymnasium.make_vec(fog_gym.ENV_ID, num_envs=4, vectorization_mode="vector_entry_point",
                             opponent="pretrained", max_plies=20)
    observation, _ = env.reset(seed=0)
    rng = np.random.default_rng(0)
    for _ in range(12):
        observation, rewards, terminations, truncations, _ = env.step(legal_slots(observation["action_mask"], rng))
    assert env.unwrapped.opponent.name == "pretrained"
