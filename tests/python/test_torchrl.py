"""TorchRL: its own check_env_specs on the native EnvBase and on GymWrapper over the vector
environment, the EnvBase in lockstep with the vector environment it wraps, and a collector
drawing legal slots from a masked policy."""

import numpy as np
import pytest

torch = pytest.importorskip("torch")
pytest.importorskip("torchrl")
pytest.importorskip("gymnasium")

import murkplay_rl as rl  # noqa: E402
from murkplay_rl import gym as fog_gym  # noqa: E402
from murkplay_rl.torchrl import FogChessEnv  # noqa: E402
from torchrl.envs.utils import check_env_specs  # noqa: E402


@pytest.mark.parametrize("options", [{}, {"side": "black", "oracle": True}, {"opponent": "greedy", "max_plies": 6}],
                         ids=["default", "black-oracle", "greedy-short"])
def test_check_env_specs_passes(options):
    env = FogChessEnv(16, **options)
    for seed in range(3):
        check_env_specs(env, seed=seed)
    rollout = env.rollout(40, break_when_any_done=False)
    assert rollout["action_mask"].gather(-1, rollout["action"].unsqueeze(-1)).all()  # only legal slots drawn


def test_gym_wrapper_takes_the_vector_environment_in_disabled_mode():
    from torchrl.envs import GymWrapper, TransformedEnv
    from torchrl.envs.transforms import ActionMask

    base = fog_gym.FogChessVectorEnv(8, autoreset_mode="disabled", max_plies=6)
    check_env_specs(TransformedEnv(GymWrapper(base, categorical_action_encoding=True), ActionMask()), seed=0)


def test_the_env_in_lockstep_with_the_vector_environment_it_wraps():
    env = FogChessEnv(8, opponent="cautious", max_plies=10)
    games = fog_gym.FogChessVectorEnv(8, opponent="cautious", max_plies=10, autoreset_mode="disabled")
    env.set_seed(3)
    td = env.reset()
    expected, _ = games.reset(seed=3)
    rng = np.random.default_rng(0)
    for _ in range(30):
        np.testing.assert_array_equal(td["observation"].numpy(), expected["observation"])
        np.testing.assert_array_equal(td["action_mask"].numpy(), expected["action_mask"].astype(bool))
        slots = np.array([rng.choice(np.flatnonzero(mask)) for mask in expected["action_mask"]])
        td = env.step(td.set("action", torch.from_numpy(slots)))["next"]
        expected, rewards, terminations, truncations, _ = games.step(slots)
        np.testing.assert_array_equal(td["reward"].squeeze(-1).numpy(), rewards)
        np.testing.assert_array_equal(td["terminated"].squeeze(-1).numpy(), terminations)
        np.testing.assert_array_equal(td["truncated"].squeeze(-1).numpy(), truncations)
        done = terminations | truncations
        if done.any():
            td = env.reset(td.set("_reset", torch.from_numpy(done).unsqueeze(-1)))
            expected, _ = games.reset(options={"reset_mask": done})


def test_a_collector_gathers_the_moves_of_a_masked_policy_and_the_network_plays_in_the_arena():
    from tensordict.nn import TensorDictModule
    from torchrl.collectors import Collector
    from torchrl.modules import MaskedCategorical, ProbabilisticActor
    from murkplay_rl import agents, arena
    from murkplay_rl.policy import policy_network

    env = FogChessEnv(8)
    network = policy_network(hidden=16)
    policy = ProbabilisticActor(TensorDictModule(network, in_keys=["observation"], out_keys=["logits"]),
                                in_keys={"logits": "logits", "mask": "action_mask"}, spec=env.action_spec,
                                distribution_class=MaskedCategorical, return_log_prob=True)
    collector = Collector(env, policy, frames_per_batch=8 * 16, total_frames=8 * 16 * 2)
    batches = list(collector)
    assert len(batches) == 2 and batches[0].shape == (8, 16)
    for data in batches:
        assert data["action_mask"].gather(-1, data["action"].unsqueeze(-1)).all()
    result = arena.match(agents.TorchAgent(network, name="torchrl"), "random", games=4, max_plies=20)
    assert result.games == 4
