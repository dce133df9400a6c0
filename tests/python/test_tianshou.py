"""Tianshou: the native vector environment in lockstep with the disabled-mode vector
environment, games left out of a step kept exactly, Tianshou's own collectors (random, n_step,
n_episode) and a DQN trained through its trainer, and what the environment refuses."""

import numpy as np
import pytest

pytest.importorskip("tianshou")

import murkplay_rl as rl  # noqa: E402
from murkplay_rl import gym as fog_gym  # noqa: E402
from murkplay_rl.tianshou import FogChessVectorEnv  # noqa: E402


def legal_choice(masks, rng):
    return np.array([rng.choice(np.flatnonzero(mask)) for mask in masks])


@pytest.mark.parametrize("side", fog_gym.SIDES)
def test_in_lockstep_with_the_disabled_mode_vector_environment(side):
    envs = FogChessVectorEnv(6, opponent="greedy", side=side, max_plies=12)
    games = fog_gym.FogChessVectorEnv(6, opponent="greedy", side=side, max_plies=12, autoreset_mode="disabled")
    envs.seed(5)
    observation, infos = envs.reset()
    expected, _ = games.reset(seed=5)
    assert [info["env_id"] for info in infos] == list(range(6))
    rng = np.random.default_rng(0)
    ended = 0
    for _ in range(40):
        np.testing.assert_array_equal(observation.obs, expected["observation"])
        np.testing.assert_array_equal(observation.mask, expected["action_mask"].astype(bool))
        actions = legal_choice(observation.mask, rng)
        observation, rewards, terminated, truncated, infos = envs.step(actions)
        expected, reward, terminated_too, truncated_too, _ = games.step(actions)
        np.testing.assert_array_equal(rewards, reward)
        np.testing.assert_array_equal(terminated, terminated_too)
        np.testing.assert_array_equal(truncated, truncated_too)
        done = np.flatnonzero(terminated | truncated)
        if len(done):
            ended += len(done)
            fresh, fresh_infos = envs.reset(done)
            assert [info["env_id"] for info in fresh_infos] == done.tolist()
            expected, _ = games.reset(options={"reset_mask": terminated | truncated})
            np.testing.assert_array_equal(fresh.obs, expected["observation"][done])
            observation.obs[done], observation.mask[done] = fresh.obs, fresh.mask
    assert ended > 6


@pytest.mark.parametrize("side", fog_gym.SIDES)
def test_games_left_out_of_a_step_stay_exactly_as_they_are(side):
    envs = FogChessVectorEnv(5, opponent="random", side=side, max_plies=30)
    observation, _ = envs.reset(seed=2)
    rng = np.random.default_rng(1)
    for _ in range(12):
        stepped = np.sort(rng.choice(5, size=int(rng.integers(1, 5)), replace=False))
        held = np.setdiff1d(np.arange(5), stepped)
        before = [envs.games._games.batch[game] for game in held]
        kept_obs, kept_mask = observation.obs[held].copy(), observation.mask[held].copy()
        result, rewards, terminated, truncated, infos = envs.step(legal_choice(observation.mask[stepped], rng), stepped)
        assert len(result) == len(stepped) and [info["env_id"] for info in infos] == stepped.tolist()
        after = envs.games._games.batch
        for game, record in zip(held, before):
            assert after[game].board == record.board and after[game].turn == record.turn
        # Every game as the environment shows it now, the held ones unchanged.
        shown = envs.games.action_masks()
        np.testing.assert_array_equal(shown[held], kept_mask)
        np.testing.assert_array_equal(envs.games._games.observation[held], kept_obs)
        observation.obs[stepped], observation.mask[stepped] = result.obs, result.mask
        done = stepped[terminated | truncated]
        if len(done):
            fresh, _ = envs.reset(done)
            observation.obs[done], observation.mask[done] = fresh.obs, fresh.mask
        # The held games play on with a legal move of the view they kept.
        np.testing.assert_array_equal(shown[stepped][~(terminated | truncated)],
                                      observation.mask[stepped][~(terminated | truncated)])
    # Every game plays on from the view the environment last gave of it.
    _, _, _, _, infos = envs.step(legal_choice(observation.mask, rng))
    assert not any(info.get("illegal_action") for info in infos)


def test_an_opponent_that_follows_its_games_is_refused_a_partial_step():
    class Follower:
        name, observes = "follower", False

        def act(self, step, batch):
            return "random", None

        def forget(self, games=None):
            pass

    envs = FogChessVectorEnv(3, opponent=Follower())
    observation, _ = envs.reset(seed=0)
    envs.step(legal_choice(observation.mask, np.random.default_rng(0)))  # every game: allowed
    with pytest.raises(ValueError, match="follows its games"):
        envs.step([int(np.flatnonzero(observation.mask[0])[0])], [0])


def test_tianshous_collectors_and_a_dqn_trained_by_its_trainer():
    torch = pytest.importorskip("torch")
    from tianshou.algorithm import DQN
    from tianshou.algorithm.modelfree.dqn import DiscreteQLearningPolicy
    from tianshou.algorithm.optim import AdamOptimizerFactory
    from tianshou.data import Collector, VectorReplayBuffer
    from tianshou.trainer import OffPolicyTrainerParams
    from tianshou.utils.net.common import Net

    torch.manual_seed(0)
    train_envs, test_envs = FogChessVectorEnv(8, max_plies=40), FogChessVectorEnv(3, max_plies=40)
    net = Net(state_shape=(64, 35), action_shape=rl.ACTION_COUNT, hidden_sizes=[32])
    policy = DiscreteQLearningPolicy(model=net, action_space=train_envs.action_space[0], eps_training=0.2)
    algorithm = DQN(policy=policy, optim=AdamOptimizerFactory(lr=1e-3), target_update_freq=20)
    train = Collector(algorithm, train_envs, VectorReplayBuffer(2_000, len(train_envs)), exploration_noise=True)
    test = Collector(algorithm, test_envs)
    train.reset()
    test.reset()
    warm = train.collect(n_step=160, random=True)  # the spaces draw legal slots
    data = train.buffer.sample(0)[0]
    assert warm.n_collected_steps >= 160 and len(data) >= 160
    assert data.obs.mask[np.arange(len(data)), data.act].all()
    episodes = test.collect(n_episode=5)  # fewer games than episodes: partial steps
    assert episodes.n_collected_episodes == 5
    result = algorithm.run_training(OffPolicyTrainerParams(
        training_collector=train, test_collector=test, max_epochs=1, epoch_num_steps=160,
        collection_step_num_env_steps=16, test_step_num_episodes=3, batch_size=32,
        update_step_num_gradient_steps_per_sample=0.1, show_progress=False))
    assert result.update_step > 0
    data = train.buffer.sample(0)[0]
    assert data.obs.mask[np.arange(len(data)), data.act].all()  # the masked policy played legal slots only


def test_what_the_environment_refuses():
    envs = FogChessVectorEnv(3)
    observation, _ = envs.reset()
    assert len(envs) == 3 and len(envs.action_space) == 3 and envs.observation_space[0]["obs"].shape == (64, 35)
    assert envs.get_env_attr("max_plies", [1]) == [300]
    with pytest.raises(ValueError, match="from 0 to 2"):
        envs.step([0], [3])
    with pytest.raises(ValueError, match="more than once"):
        envs.step([796, 796], [1, 1])
    with pytest.raises(TypeError, match="id must be"):
        envs.reset(["a"])
    with pytest.raises(ValueError, match="one slot for each of the 2"):
        envs.step([796], [0, 1])
    with pytest.raises(ValueError, match="action must hold"):
        envs.step(None)
    with pytest.raises(AttributeError, match="cannot be set"):
        envs.set_env_attr("max_plies", 3)
    with pytest.raises(TypeError, match="reset takes env_id and seed"):
        envs.reset(options={"reset_mask": np.ones(3, dtype=bool)})
    with pytest.raises(TypeError, match="render takes no arguments"):
        envs.render(mode="human")
    _, rewards, terminated, _, infos = envs.step([0, 0, 0])  # slot 0 is never legal at the start
    assert (rewards == -1).all() and terminated.all() and all(info["illegal_action"] for info in infos)
    envs.close()
    with pytest.raises(AssertionError, match="after close"):
        envs.reset()
