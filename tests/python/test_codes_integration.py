"""The tools run on codes end to end: the trainer learns the same on codes as on floats, the
shipped network and any torch agent play the same from codes, and recorded games replay to
codes."""

import copy
import csv
import warnings

import numpy as np
import pytest

import murkplay_rl as rl
from murkplay_rl import codes as C

torch = pytest.importorskip("torch")

LOSSES = ("policy_loss", "value_loss", "entropy", "approx_kl", "clip_fraction")
TINY = ["--set", "games=6", "--set", "steps=6", "--set", "max_plies=12", "--set", "network.channels=4",
        "--set", "network.blocks=1", "--set", "network.key=4", "--set", "ppo.minibatch=16",
        "--set", "snapshot_every=1", "--set", "pool_size=2", "--set", "checkpoint_every=3",
        "--set", "eval_games=4", "--set", "eval_every=1e9", "--seed", "5", "--threads", "1"]


def test_the_trainer_on_codes_has_the_losses_and_weights_of_the_trainer_on_floats(tmp_path):
    pytest.importorskip("matplotlib")
    from murkplay_rl import train

    for form in ("floats", "codes"):
        assert train.main(["--minutes", "60", "--out", str(tmp_path / form), "--updates", "3", *TINY,
                           "--set", f"observation={form}"]) == 0
    rows = {}
    for form in ("floats", "codes"):
        with (tmp_path / form / "log.csv").open() as file:
            rows[form] = [tuple(row[name] for name in LOSSES) for row in csv.DictReader(file)]
    assert len(rows["codes"]) == 3 and rows["codes"] == rows["floats"]
    weights = [torch.load(tmp_path / form / "checkpoints" / "checkpoint-000003.pt", weights_only=True)["model"]
               for form in ("floats", "codes")]
    assert weights[0].keys() == weights[1].keys()
    assert all(torch.equal(weights[0][name], weights[1][name]) for name in weights[0])


def test_a_setting_names_the_observation_form():
    from murkplay_rl.rollout import SelfPlay
    from murkplay_rl.train_config import TrainConfig

    with pytest.raises(ValueError, match="^observation cannot be 'bytes': it is one of floats, codes$"):
        TrainConfig(observation="bytes")
    with pytest.raises(ValueError, match="^observation must be 'floats' or 'codes', not 'bytes'$"):
        SelfPlay(2, max_plies=4, opponent_share=0.0, seed=0, threads=1, observation="bytes")


def test_the_shipped_network_plays_the_same_from_codes():
    from murkplay_rl import agents, arena

    agent, twin = rl.pretrained(sample=False), rl.pretrained(sample=False)
    assert agent.reads_codes
    batch = rl.GameBatch(12, seed=2, auto_reset=True)
    for _ in range(10):
        floats = batch.observe()
        codes = batch.observe(codes=True, mask=False)
        by, from_floats = agent.act(floats, batch)
        _, from_codes = twin.act(codes, batch)
        np.testing.assert_array_equal(from_codes, from_floats)
        batch.step(from_floats, by=by, **getattr(agent, "step_options", {}))
    # A module that reads floats only gets the codes expanded; the arena steps on codes when
    # every agent that looks reads them, with the results it has on floats.
    floats_only = agents.TorchAgent(torch.nn.Sequential(torch.nn.Flatten(), torch.nn.Linear(64 * 35, 4352)))
    assert not floats_only.reads_codes
    np.testing.assert_array_equal(floats_only.act(batch.observe(codes=True), batch)[1],
                                  floats_only.act(batch.observe(), batch)[1])
    floats_net = copy.deepcopy(agent.module)
    floats_net.reads_codes = False
    on_floats = type(agent)(floats_net, sample=False, name="pretrained", depth=agent.depth, samples=agent.samples)
    assert not on_floats.reads_codes
    on_codes = arena.play_games(agent, "greedy", 8, max_plies=40, seed=3)
    again = arena.play_games(on_floats, "greedy", 8, max_plies=40, seed=3)
    for field in ("result", "plies", "moves", "slots"):
        np.testing.assert_array_equal(getattr(on_codes, field), getattr(again, field))


def test_torch_agents_refuse_steps_without_observations():
    agent = rl.pretrained()
    batch = rl.GameBatch(2)
    with pytest.raises(ValueError, match="^agent 'pretrained' needs observations: step the batch with observe=True$"):
        agent.act(batch.step_random(observe=False), batch)


def test_recorded_games_replay_to_codes():
    from murkplay_rl.dataset import replay_records
    from support import START_FEN, recorded_games

    played = recorded_games([START_FEN] * 3, max_plies=30, seed=8)
    records = [record for record, _, _ in played]
    floats = replay_records(records)
    codes = replay_records(records, codes=True, threads=2)
    assert codes.observation is None
    np.testing.assert_array_equal(C.decode(codes).view(np.uint32), floats.observation.view(np.uint32))
    np.testing.assert_array_equal(codes.mask, floats.mask)
    with pytest.raises(TypeError, match="^argument 'codes': 'int' object is not an instance of 'bool'$"):
        replay_records(records, codes=1)


def test_the_gymnasium_environments_observe_codes():
    pytest.importorskip("gymnasium")
    from murkplay_rl import gym as fog_gym

    # The opponent opens as White, so ended games are restarted and opened outside the batch.
    floats_env, codes_env = (fog_gym.FogChessVectorEnv(8, opponent="greedy", side="black", max_plies=20,
                                                       observation=form) for form in ("floats", "codes"))
    f, _ = floats_env.reset(seed=4)
    c, _ = codes_env.reset(seed=4)
    for _ in range(40):
        np.testing.assert_array_equal(c["action_mask"], f["action_mask"])
        np.testing.assert_array_equal(C.decode(c["codes"], c["ages"], c["shared"]).view(np.uint32),
                                      f["observation"].view(np.uint32))
        assert codes_env.observation_space.contains(c)
        actions = np.argmax(f["action_mask"], axis=1)
        f, *_ = floats_env.step(actions)
        c, *_ = codes_env.step(actions)
    single = fog_gym.FogChessEnv(opponent="random", side="black", observation="codes")
    c, _ = single.reset(seed=1)
    assert single.observation_space.contains(c) and set(c) == {"codes", "ages", "shared", "action_mask"}
    c, reward, terminated, truncated, _ = single.step(int(np.argmax(c["action_mask"])))
    assert single.observation_space.contains(c)
    with pytest.raises(ValueError, match="^observation must be 'floats' or 'codes', not 'text'$"):
        fog_gym.FogChessEnv(observation="text")


def test_the_pettingzoo_environment_observes_codes():
    pytest.importorskip("pettingzoo")
    from pettingzoo.test import api_test

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        api_test(rl.env(observation="codes"), num_cycles=60)
    floats, codes = rl.env(), rl.env(observation="codes")
    floats.reset(seed=2)
    codes.reset(seed=2)
    for _ in range(30):
        for agent in floats.possible_agents:
            f, c = floats.observe(agent), codes.observe(agent)
            np.testing.assert_array_equal(c["action_mask"], f["action_mask"])
            np.testing.assert_array_equal(C.decode(c["codes"], c["ages"], c["shared"]).view(np.uint32),
                                          f["observation"].view(np.uint32))
        if floats.terminations[floats.agent_selection] or floats.truncations[floats.agent_selection]:
            break
        action = int(np.argmax(floats.observe(floats.agent_selection)["action_mask"]))
        floats.step(action)
        codes.step(action)


def test_self_play_workers_and_whole_game_rollouts_on_codes():
    from murkplay_rl.network import PolicyValueNet
    from murkplay_rl.remote_rollout import whole_games
    from murkplay_rl.selfplay_ray import SelfPlayWorker
    from murkplay_rl.train_config import NetworkConfig

    network = lambda: PolicyValueNet(NetworkConfig(channels=4, blocks=1, key=4))  # noqa: E731
    workers = [SelfPlayWorker(4, max_plies=20, network=network, observation=form) for form in ("floats", "codes")]
    torch.manual_seed(1)
    learner = network().eval()
    weights = {name: value.numpy() for name, value in learner.state_dict().items()}
    played = [worker.play(weights, 1, seed=9, games=5).records for worker in workers]
    assert played[0] == played[1] and len(played[0]) == 5
    with torch.no_grad():
        rollouts = [whole_games(played[0], learner, max_plies=20, codes=codes) for codes in (False, True)]
    assert isinstance(rollouts[1].observation, C.CodeRows)
    np.testing.assert_array_equal(rollouts[1].observation.decode().view(np.uint32),
                                  rollouts[0].observation.view(np.uint32))
    for field in ("value", "log_prob", "slot", "mask"):
        np.testing.assert_array_equal(getattr(rollouts[1], field), getattr(rollouts[0], field))
    with pytest.raises(ValueError, match="^observation must be 'floats' or 'codes', not 'f'$"):
        SelfPlayWorker(2, observation="f")
