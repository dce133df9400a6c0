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
            game = env._batch[0]
            assert game.turn == (side == "white")
            np.testing.assert_array_equal(observation["observation"], rl.observe(game))
            done = False
            while not done:
                action = legal_slots([observation["action_mask"]], rng)[0]
                observation, reward, terminated, truncated, _ = env.step(action)
                done = terminated or truncated
            game = env._batch[0]
            assert reward == (game.terminal_value(side == "white") if terminated else 0.0)
            assert terminated == game.is_terminal()
        env.reset(seed=0)
        mask = env._step.mask[0]
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
        game = env._batch[int(row)]
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
