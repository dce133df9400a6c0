"""The environments on codes show what they show on floats: the same games, step by step, in
every autoreset mode, against built-in opponents and opponents of the caller's own."""

import importlib

import numpy as np
import pytest

import murkplay_rl as rl
from murkplay_rl import codes as C

pytest.importorskip("gymnasium")
from murkplay_rl import gym as fog_gym  # noqa: E402


class FirstMove:
    """An opponent of the caller's own that reads codes: it plays each game's first legal move,
    and keeps which form of observation it was given."""

    name = "first"
    reads_codes = True

    def __init__(self):
        self.given = set()

    def act(self, step, batch):
        self.given.add("codes" if step.codes is not None else "floats")
        return "position", np.zeros(len(step.offsets) - 1, dtype=np.int64)


def assert_same_view(codes, floats):
    """An observation on codes decodes to the one on floats, bit for bit, with the same mask."""
    np.testing.assert_array_equal(codes["action_mask"], floats["action_mask"])
    decoded = C.decode(codes["codes"], codes["ages"], codes["shared"])
    np.testing.assert_array_equal(decoded.view(np.uint32), floats["observation"].view(np.uint32))


@pytest.mark.parametrize("mode", ["next_step", "same_step", "disabled"])
@pytest.mark.parametrize("side", ["white", "black"])
@pytest.mark.parametrize("opponent", ["greedy", FirstMove])
def test_the_vector_environment_on_codes_plays_the_games_it_plays_on_floats(mode, side, opponent):
    opponents = [opponent() if isinstance(opponent, type) else opponent for _ in range(2)]
    floats_env, codes_env = (
        fog_gym.FogChessVectorEnv(6, opponent=against, side=side, max_plies=10, autoreset_mode=mode,
                                  render_mode="rgb_array", observation=form)
        for against, form in zip(opponents, ("floats", "codes")))
    f, _ = floats_env.reset(seed=3)
    c, _ = codes_env.reset(seed=3)
    ended = 0
    for t in range(30):
        assert codes_env.observation_space.contains(c)
        assert_same_view(c, f)
        np.testing.assert_array_equal(codes_env.render()[t % 6], floats_env.render()[t % 6])
        actions = np.argmax(f["action_mask"], axis=1)
        actions[t % 6] = np.argmin(f["action_mask"][t % 6])  # one illegal slot a step: that game is lost
        f, f_rewards, f_terminated, f_truncated, f_infos = floats_env.step(actions)
        c, c_rewards, c_terminated, c_truncated, c_infos = codes_env.step(actions)
        for a, b in ((c_rewards, f_rewards), (c_terminated, f_terminated), (c_truncated, f_truncated)):
            np.testing.assert_array_equal(a, b)
        assert c_infos.keys() == f_infos.keys()
        for game in np.flatnonzero(f_infos.get("_final_obs", [])):
            assert codes_env.single_observation_space.contains(c_infos["final_obs"][game])
            assert_same_view(c_infos["final_obs"][game], f_infos["final_obs"][game])
        done = f_terminated | f_truncated
        ended += done.sum()
        if mode == "disabled" and done.any():
            f, _ = floats_env.reset(options={"reset_mask": done})
            c, _ = codes_env.reset(options={"reset_mask": done})
    assert ended >= 30
    if isinstance(opponent, type):
        assert [against.given for against in opponents] == [{"floats"}, {"codes"}]


@pytest.mark.parametrize("side", ["white", "black"])
def test_the_single_environment_on_codes_plays_the_game_it_plays_on_floats(side):
    floats_env, codes_env = (fog_gym.FogChessEnv(opponent=FirstMove(), side=side, max_plies=16,
                                                 render_mode="rgb_array", observation=form)
                             for form in ("floats", "codes"))
    for seed in range(3):
        f, _ = floats_env.reset(seed=seed)
        c, _ = codes_env.reset(seed=seed)
        while True:
            assert codes_env.observation_space.contains(c)
            assert_same_view(c, f)
            np.testing.assert_array_equal(codes_env.render(), floats_env.render())
            action = int(np.flatnonzero(f["action_mask"])[-1])
            f, f_reward, *f_ends, _ = floats_env.step(action)
            c, c_reward, *c_ends, _ = codes_env.step(action)
            assert (c_reward, c_ends) == (f_reward, f_ends)
            if any(f_ends):
                assert_same_view(c, f)
                break


def test_the_parallel_game_on_codes_shows_each_agent_its_floats():
    pytest.importorskip("pettingzoo")
    floats_env, codes_env = rl.parallel_env(max_plies=20), rl.parallel_env(max_plies=20, observation="codes")
    f, _ = floats_env.reset(seed=1)
    c, _ = codes_env.reset(seed=1)
    while floats_env.agents:
        for agent in floats_env.possible_agents:
            assert codes_env.observation_space(agent).contains(c[agent])
            assert_same_view(c[agent], f[agent])
        actions = {agent: int(np.argmax(f[agent]["action_mask"])) for agent in floats_env.agents}
        f, *f_rest = floats_env.step(actions)
        c, *c_rest = codes_env.step(actions)
        assert c_rest[:3] == f_rest[:3]


@pytest.mark.parametrize("needs, make, names", [
    ("gymnasium", lambda: fog_gym.FogChessVectorEnv(2, observation=None), "'floats' or 'codes'"),
    ("gymnasium", lambda: fog_gym.FogChessEnv(observation=["codes"]), "'floats' or 'codes'"),
    ("pettingzoo", lambda: rl.env(observation="bytes"), "'floats' or 'codes'"),
    # RLlib's observation is built from floats only.
    ("gymnasium", lambda: importlib.import_module("murkplay_rl.rllib").FogChessVectorEnv(2, observation="codes"),
     "'floats'"),
])
def test_an_observation_form_not_offered_is_refused(needs, make, names):
    pytest.importorskip(needs)
    with pytest.raises(ValueError, match=f"^observation must be {names}, not "):
        make()
