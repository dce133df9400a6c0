"""RLlib: the environments in RLlib's observation (Gymnasium's checker, the same games as the
standard form, the native vector environment made through the registered name), and, where
RLlib is installed (an environment of its own: it pins its own Gymnasium), its PPO with the
action-masking module trained on them with no wrapper and its module played in the arena."""

import numpy as np
import pytest

gymnasium = pytest.importorskip("gymnasium")

from murkplay_rl import gym as fog_gym  # noqa: E402
from murkplay_rl import rllib as fog_rllib  # noqa: E402


def test_gymnasiums_checker_passes():
    from gymnasium.utils.env_checker import check_env

    check_env(fog_rllib.FogChessEnv(opponent="greedy"), skip_render_check=True)


@pytest.mark.parametrize("side", fog_gym.SIDES)
def test_the_same_games_as_the_standard_form_flattened(side):
    envs = gymnasium.make_vec(fog_rllib.ENV, num_envs=4, vectorization_mode="vector_entry_point", side=side,
                              max_plies=10)
    assert type(envs) is fog_rllib.FogChessVectorEnv
    assert envs.observation_space == gymnasium.vector.utils.batch_space(envs.single_observation_space, 4)
    standard = fog_gym.FogChessVectorEnv(4, side=side, max_plies=10)
    flat, _ = envs.reset(seed=3)
    expected, _ = standard.reset(seed=3)
    rng = np.random.default_rng(0)
    for _ in range(15):
        assert envs.observation_space.contains(flat)
        np.testing.assert_array_equal(flat["observations"], expected["observation"].reshape(4, -1))
        np.testing.assert_array_equal(flat["action_mask"], expected["action_mask"].astype(np.float32))
        slots = np.array([rng.choice(np.flatnonzero(mask)) for mask in expected["action_mask"]])
        flat, rewards, *_ = envs.step(slots)
        expected, expected_rewards, *_ = standard.step(slots)
        np.testing.assert_array_equal(rewards, expected_rewards)


def test_ppo_with_the_action_masking_module_trains_and_its_module_plays_in_the_arena():
    pytest.importorskip("ray.rllib", reason="RLlib pins gymnasium 1.2.2: it is tested in a venv of its own")
    pytest.importorskip("torch")
    import ray
    from ray.rllib.algorithms.ppo import PPOConfig
    from ray.rllib.core.rl_module.rl_module import RLModuleSpec
    from ray.rllib.examples.rl_modules.classes.action_masking_rlm import ActionMaskingTorchRLModule

    import murkplay_rl as rl
    from murkplay_rl import arena
    from murkplay_rl.selfplay_ray import start_local_ray

    start_local_ray(num_cpus=1)
    try:
        config = (PPOConfig()
                  .environment(fog_rllib.ENV, env_config={"opponent": "random", "max_plies": 40})
                  .env_runners(num_env_runners=0, num_envs_per_env_runner=8,
                               gym_env_vectorize_mode="vector_entry_point")
                  .training(train_batch_size_per_learner=128, minibatch_size=64, num_epochs=1)
                  .rl_module(rl_module_spec=RLModuleSpec(module_class=ActionMaskingTorchRLModule,
                                                         model_config={"head_fcnet_hiddens": [16]})))
        algo = config.build_algo()
        result = algo.train()
        assert result["env_runners"]["num_env_steps_sampled_lifetime"] >= 128
        runner = algo.env_runner
        assert type(runner.env.unwrapped) is fog_rllib.FogChessVectorEnv  # the native games, not copies
        agent = fog_rllib.RLlibAgent(algo.get_module(), deterministic=True)
        batch = rl.GameBatch(4, seed=1)
        step = batch.observe()
        by, logits = agent.act(step, batch)
        legal_best = np.where(step.mask, logits, -np.inf).argmax(axis=1)
        step = batch.step(logits, by=by, **agent.step_options)
        np.testing.assert_array_equal(step.played_slot, legal_best)
        match = arena.match(agent, "random", games=4, max_plies=20)
        assert match.games == 4
        algo.stop()
    finally:
        ray.shutdown()
