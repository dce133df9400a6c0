"""The vector environment in each of Gymnasium's autoreset modes, in lockstep with plain games:
an opponent that always plays its first listed move makes every game replayable here, so each
step's observations, rewards, ends, final observations and restarts are checked exactly."""

import numpy as np
import pytest

gymnasium = pytest.importorskip("gymnasium")

import murkplay_rl as rl  # noqa: E402
from gymnasium.vector import AutoresetMode  # noqa: E402
from murkplay import SelfPlayGame  # noqa: E402
from murkplay_rl import gym as fog_gym  # noqa: E402


class FirstMove:
    """Plays the first listed legal move in every game: not built in, so it moves in a call of its own."""

    name = "first"

    def act(self, step, batch):
        return "position", np.zeros(len(batch), dtype=np.int64)


class Replica:
    """One game as the environment should play it, on a plain SelfPlayGame."""

    def __init__(self, side, max_plies, oracle):
        self.white, self.max_plies, self.oracle = side == "white", max_plies, oracle
        self.restart()

    def restart(self):
        self.game, self.plies = SelfPlayGame(), 0
        if not self.white:
            self.play(self.game.legal_actions_uci()[0])

    def play(self, uci):
        self.game.apply(uci)
        self.plies += 1

    def ended(self):
        return (self.game.is_terminal() or (self.max_plies and self.plies >= self.max_plies)
                or not self.game.legal_actions_uci())

    def view(self):
        return rl.observe(self.game, oracle=self.oracle, viewer=self.white)

    def mask(self):
        return rl.legal_moves(self.game).mask

    def step(self, slot):
        """(reward, terminated, truncated, final view or None) of the learner's slot, then the reply."""
        moves = {self.game.action_index(uci): uci for uci in reversed(self.game.legal_actions_uci())}
        if slot not in moves:
            return -1.0, True, False, self.view()
        self.play(moves[slot])
        if not self.ended():
            self.play(self.game.legal_actions_uci()[0])
        if not self.ended():
            return 0.0, False, False, None
        terminated = self.game.is_terminal()
        return (self.game.terminal_value(self.white) if terminated else 0.0), terminated, not terminated, self.view()


def chosen_slots(masks, rng, count):
    slots = np.array([rng.choice(np.flatnonzero(mask)) if mask.any() else 0 for mask in masks])
    wrong = rng.random(count) < 0.04
    slots[wrong] = rng.integers(0, rl.ACTION_COUNT, wrong.sum())
    return slots


@pytest.mark.parametrize("mode", list(AutoresetMode), ids=lambda mode: mode.value)
@pytest.mark.parametrize("side", fog_gym.SIDES)
@pytest.mark.parametrize("max_plies, oracle", [(9, False), (40, True)])
def test_every_autoreset_mode_in_lockstep_with_plain_games(mode, side, max_plies, oracle):
    count = 12
    env = fog_gym.FogChessVectorEnv(count, opponent=FirstMove(), side=side, max_plies=max_plies, oracle=oracle,
                                    autoreset_mode=mode.value)
    assert env.autoreset_mode == mode and env.metadata["autoreset_mode"] == mode
    replicas = [Replica(side, max_plies, oracle) for _ in range(count)]
    observation, infos = env.reset(seed=0)
    shown_ended = np.zeros(count, dtype=bool)
    rng = np.random.default_rng(5)
    endings = 0
    for _ in range(60):
        if mode == AutoresetMode.DISABLED and shown_ended.any():
            with pytest.raises(RuntimeError, match="reset_mask"):
                env.step(np.zeros(count, dtype=np.int64))
            kept = observation["observation"].copy()
            observation, infos = env.reset(options={"reset_mask": shown_ended.copy()})
            np.testing.assert_array_equal(observation["observation"][~shown_ended], kept[~shown_ended])
            for game in np.flatnonzero(shown_ended):
                replicas[game].restart()
            shown_ended[:] = False
        for game, replica in enumerate(replicas):
            if not shown_ended[game]:
                np.testing.assert_array_equal(observation["observation"][game], replica.view())
                np.testing.assert_array_equal(observation["action_mask"][game], replica.mask())
        assert env.observation_space.contains(observation)
        slots = chosen_slots(observation["action_mask"], rng, count)
        masks_before = observation["action_mask"]
        observation, rewards, terminations, truncations, infos = env.step(slots)
        finals = infos.get("final_obs")
        for game, replica in enumerate(replicas):
            if shown_ended[game]:  # next_step: restarted, its action not read
                replica.restart()
                expected = (0.0, False, False, None)
            else:
                expected = replica.step(int(slots[game]))
            reward, terminated, truncated, final = expected
            assert (rewards[game], terminations[game], truncations[game]) == (reward, terminated, truncated)
            if final is None:
                continue
            endings += 1
            if mode == AutoresetMode.SAME_STEP:
                assert infos["_final_obs"][game]
                np.testing.assert_array_equal(finals[game]["observation"], final)
                # No move is legal any more: the mask is that of the learner's last move.
                np.testing.assert_array_equal(finals[game]["action_mask"], masks_before[game])
                replica.restart()
            else:
                np.testing.assert_array_equal(observation["observation"][game], final)
                np.testing.assert_array_equal(observation["action_mask"][game], masks_before[game])
        ended = terminations | truncations
        if mode == AutoresetMode.SAME_STEP:
            assert finals is None or np.array_equal(infos["_final_obs"], ended)
        else:
            assert finals is None
            shown_ended = ended
        assert rewards.dtype == np.float32 and set(np.unique(rewards)) <= {-1.0, 0.0, 1.0}
    assert endings > count


@pytest.mark.parametrize("mode", list(AutoresetMode), ids=lambda mode: mode.value)
def test_a_built_in_opponent_in_every_mode_shows_each_game_as_its_batch_holds_it(mode):
    count = 16
    env = fog_gym.FogChessVectorEnv(count, opponent="greedy", side="black", max_plies=30, threads=2,
                                    autoreset_mode=mode)
    observation, _ = env.reset(seed=1)
    rng = np.random.default_rng(0)
    endings = 0
    ended = np.zeros(count, dtype=bool)
    for _ in range(80):
        if mode == AutoresetMode.DISABLED and ended.any():
            observation, _ = env.reset(options={"reset_mask": ended})
        shown_ended = ended if mode != AutoresetMode.SAME_STEP else np.zeros(count, dtype=bool)
        games = [env._games.batch[game] for game in range(count)]
        for game, replica in enumerate(games):
            if not shown_ended[game] or mode == AutoresetMode.DISABLED:
                assert not replica.turn  # the learner, Black, is to move
                np.testing.assert_array_equal(observation["observation"][game], rl.observe(replica, viewer=False))
                np.testing.assert_array_equal(observation["action_mask"][game], rl.legal_moves(replica).mask)
        slots = chosen_slots(observation["action_mask"], rng, count)
        observation, rewards, terminations, truncations, infos = env.step(slots)
        ended = terminations | truncations
        endings += ended.sum()
        assert np.all(rewards[terminations] != 0) and not np.any(rewards[~terminations])
        assert observation["action_mask"].any(axis=1).all()
    assert endings > count


@pytest.mark.parametrize("options, error, message", [
    ({"reset_mask": [True] * 4}, TypeError, "must be a numpy array"),
    ({"reset_mask": np.ones(3, dtype=bool)}, ValueError, r"must have shape \(4,\)"),
    ({"reset_mask": np.ones(4, dtype=np.int8)}, TypeError, "must have dtype bool"),
    ({"reset_mask": np.zeros(4, dtype=bool)}, ValueError, "at least one game"),
    ({"colour": "white"}, ValueError, "reset takes no options but reset_mask, not 'colour'"),
])
def test_refused_resets_change_nothing(options, error, message):
    env = fog_gym.FogChessVectorEnv(4, opponent="random")
    observation, _ = env.reset(seed=0)
    with pytest.raises(error, match=message):
        env.reset(options=options)
    with pytest.raises(ValueError, match="takes no seed"):
        env.reset(seed=1, options={"reset_mask": np.ones(4, dtype=bool)})
    np.testing.assert_array_equal(env._games.observation, observation["observation"])


@pytest.mark.parametrize("make, message", [
    (lambda: fog_gym.FogChessVectorEnv(2, autoreset_mode="sometimes"), "autoreset_mode must be an AutoresetMode"),
    (lambda: fog_gym.FogChessVectorEnv(2, render_mode="human"), "render_mode must be one of 'ansi', 'rgb_array'"),
    (lambda: fog_gym.FogChessEnv(side="black", max_plies=1), "max_plies must be 0 or at least 2"),
])
def test_refused_settings(make, message):
    with pytest.raises(ValueError, match=message):
        make()


def test_actions_are_one_whole_slot_a_game():
    env = fog_gym.FogChessVectorEnv(3)
    env.reset(seed=0)
    with pytest.raises(ValueError, match="one slot for each of the 3 games, not 2"):
        env.step([796, 796])
    with pytest.raises(TypeError, match="whole numbers"):
        env.step(np.array([796.5, 796, 796]))
    with pytest.raises(TypeError, match="whole numbers"):
        env.step(np.array([True, False, True]))
    with pytest.raises(RuntimeError, match="call reset"):
        fog_gym.FogChessVectorEnv(2).step([0, 0])
