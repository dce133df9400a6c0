"""Stable-Baselines3: its own environment checker, MaskablePPO training on the native VecEnv and
on the single environment with no wrapper, the VecEnv in lockstep with the same-step vector
environment, and a trained model in the arena playing the moves its policy predicts."""

import numpy as np
import pytest

pytest.importorskip("stable_baselines3")
pytest.importorskip("gymnasium")

import murkplay_rl as rl  # noqa: E402
from murkplay_rl import arena  # noqa: E402
from murkplay_rl import gym as fog_gym  # noqa: E402
from murkplay_rl.sb3 import FogChessVecEnv, Sb3Agent  # noqa: E402


def masked_choice(masks, rng):
    return np.array([rng.choice(np.flatnonzero(mask)) for mask in masks])


@pytest.mark.filterwarnings("ignore:Your observation observation has an unconventional shape")
def test_sb3s_checker_passes_the_single_environment():
    from stable_baselines3.common.env_checker import check_env

    check_env(fog_gym.FogChessEnv(opponent="greedy"))


@pytest.mark.parametrize("side", fog_gym.SIDES)
def test_the_vec_env_in_lockstep_with_the_same_step_vector_environment(side):
    venv = FogChessVecEnv(6, opponent="greedy", side=side, max_plies=12)
    games = fog_gym.FogChessVectorEnv(6, opponent="greedy", side=side, max_plies=12, autoreset_mode="same_step")
    venv.seed(7)
    observation = venv.reset()
    expected, _ = games.reset(seed=7)
    rng = np.random.default_rng(0)
    dones = 0
    for _ in range(40):
        np.testing.assert_array_equal(observation, expected["observation"])
        np.testing.assert_array_equal(venv.action_masks(), expected["action_mask"].astype(bool))
        np.testing.assert_array_equal(np.stack(venv.env_method("action_masks")), venv.action_masks())
        actions = masked_choice(venv.action_masks(), rng)
        observation, rewards, done, infos = venv.step(actions)
        expected, reward, terminated, truncated, info = games.step(actions)
        np.testing.assert_array_equal(rewards, reward)
        np.testing.assert_array_equal(done, terminated | truncated)
        for game in range(6):
            assert ("terminal_observation" in infos[game]) == done[game]
            if done[game]:
                np.testing.assert_array_equal(infos[game]["terminal_observation"],
                                              info["final_obs"][game]["observation"])
                assert infos[game]["TimeLimit.truncated"] == truncated[game]
        dones += done.sum()
    assert dones > 6


def test_maskable_ppo_trains_on_the_vec_env_and_the_single_environment_without_a_wrapper():
    sb3_contrib = pytest.importorskip("sb3_contrib")
    settings = dict(n_steps=32, batch_size=64, n_epochs=1, seed=0, policy_kwargs={"net_arch": [32]})
    model = sb3_contrib.MaskablePPO("MlpPolicy", FogChessVecEnv(8, opponent="random"), **settings)
    model.learn(256)
    assert model.num_timesteps >= 256
    single = sb3_contrib.MaskablePPO("MultiInputPolicy", fog_gym.FogChessEnv(opponent="random"), **settings)
    single.learn(64)
    result = arena.match(Sb3Agent(single, name="single"), "random", games=4, max_plies=20)
    assert result.games == 4


def test_a_trained_model_plays_in_the_arena_the_moves_its_policy_predicts():
    sb3_contrib = pytest.importorskip("sb3_contrib")
    venv = FogChessVecEnv(8, opponent="random")
    model = sb3_contrib.MaskablePPO("MlpPolicy", venv, n_steps=16, batch_size=64, n_epochs=1, seed=1,
                                    policy_kwargs={"net_arch": [16]})
    model.learn(128)
    agent = Sb3Agent(model, deterministic=True, name="ppo")
    batch = rl.GameBatch(8, seed=3)
    step = batch.observe()
    for _ in range(6):
        predicted, _ = model.predict(step.observation, action_masks=step.mask, deterministic=True)
        by, logits = agent.act(step, batch)
        step = batch.step(logits, by=by, **agent.step_options)
        np.testing.assert_array_equal(step.played_slot, predicted)
    result = arena.match(agent, "random", games=6, max_plies=30)
    assert result.wins + result.losses + result.draws == 6


def test_what_the_vec_env_refuses():
    venv = FogChessVecEnv(2)
    with pytest.raises(AttributeError, match="no method 'seed_everything'"):
        venv.env_method("seed_everything")
    with pytest.raises(AttributeError, match="cannot be set"):
        venv.set_attr("max_plies", 4)
    with pytest.raises(RuntimeError, match="step_async"):
        venv.step_wait()
    assert venv.get_attr("max_plies") == [300, 300] and venv.env_is_wrapped(object) == [False, False]
    venv.reset()
    assert venv.env_method("slot_uci", 796, indices=[1]) == ["e2e4"]
