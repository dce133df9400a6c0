"""Tianshou: the games as one native vector environment of Tianshou's own protocol
(``BaseVectorEnv``), whose observations carry the legal slots as ``obs.mask``, the key
Tianshou's masked algorithms (DQN and its kin, the random policy) read.

    from tianshou.data import Collector, VectorReplayBuffer
    from murkplay_rl.tianshou import FogChessVectorEnv

    envs = FogChessVectorEnv(64, opponent="random")
    collector = Collector(policy, envs, VectorReplayBuffer(20_000, len(envs)))

An observation is a ``Batch`` of the learner's view ``obs`` (float32 (N, 64, 35)) and its legal
slots ``mask`` (bool (N, 4352)); ``info`` is an array of one dict a game, with its ``env_id``.
A game that ends is done until Tianshou resets it, as its collectors do at once (the vector
environment's ``disabled`` autoreset mode). A step or reset may name some of the games (``id``):
the others play no move and stay exactly as they are. ``action_space[i].sample()`` draws a legal
slot of game ``i``, so Tianshou's random collection (``collect(random=True)``) plays legal moves.
"""

from __future__ import annotations

import functools
from typing import Any

import numpy as np

from murkplay_rl._optional import require

require("tianshou", "tianshou", "murkplay_rl.tianshou")

from gymnasium import spaces  # noqa: E402
from tianshou.data import Batch  # noqa: E402
from tianshou.env import BaseVectorEnv  # noqa: E402
from tianshou.env.venvs import GYM_RESERVED_KEYS  # noqa: E402

import murkplay_rl  # noqa: E402
from murkplay_rl import gym as fog_gym  # noqa: E402
from murkplay_rl._spaces import LegalSlots  # noqa: E402


class FogChessVectorEnv(BaseVectorEnv):
    """``num_envs`` games on one batch, stepped natively; the settings are those of
    ``murkplay_rl.gym.FogChessVectorEnv``."""

    def __init__(self, num_envs: int = 16, opponent="random", side: str = "white", max_plies: int = 300, fen=None,
                 oracle: bool = False, threads: int = 1, render_mode: str | None = None):
        # Tianshou's own vector environments are made of workers, one a game; this one is
        # one batch, so the base class's constructor is not run.
        self.games = fog_gym.FogChessVectorEnv(num_envs, opponent=opponent, side=side, max_plies=max_plies, fen=fen,
                                               oracle=oracle, threads=threads, render_mode=render_mode,
                                               autoreset_mode="disabled")
        self.env_num = self.wait_num = self.games.num_envs
        self.timeout = None
        self.is_async = False
        self.waiting_conn, self.waiting_id = [], []
        self.ready_id = list(range(self.env_num))
        self.is_closed = False
        self._started = False
        self._seed = None
        self._every = np.arange(self.env_num)
        self._spaces = (
            spaces.Dict({
                "obs": self.games.single_observation_space["observation"],
                "mask": spaces.MultiBinary(murkplay_rl.ACTION_COUNT),
            }),
            [LegalSlots(functools.partial(self._legal, game)) for game in range(self.env_num)],
        )

    # The base class routes these names through its workers, with a Python-level lookup of
    # every attribute; here they are properties, a list with one entry a game as Tianshou
    # gives them, and attributes are looked up as usual.
    __getattribute__ = object.__getattribute__

    @property
    def observation_space(self) -> list[spaces.Dict]:
        return [self._spaces[0]] * self.env_num

    @property
    def action_space(self) -> list[LegalSlots]:
        return list(self._spaces[1])

    @property
    def metadata(self) -> list[dict]:
        return [self.games.metadata] * self.env_num

    @property
    def reward_range(self) -> list[tuple[float, float]]:
        return [(-1.0, 1.0)] * self.env_num

    @property
    def spec(self) -> list[None]:
        return [None] * self.env_num

    def get_env_attr(self, key: str, id=None) -> list[Any]:
        self._assert_is_not_closed()
        rows = self._rows(id)
        if key in GYM_RESERVED_KEYS:
            every = getattr(self, key)
            return [every[game] for game in rows.tolist()]
        value = getattr(self.games, key)
        return [value for _ in rows.tolist()]

    def set_env_attr(self, key: str, value: Any, id=None) -> None:
        raise AttributeError(f"the games' settings are fixed when they are made: {key} cannot be set")

    def seed(self, seed=None) -> list[int | None]:
        """The seed of the next full reset; the games draw from one seed (a list gives its first)."""
        self._assert_is_not_closed()
        if seed is not None and not isinstance(seed, (int, np.integer)):
            seed = list(seed)[0] if len(seed) else None
        self._seed = None if seed is None else int(seed)
        for game, space in enumerate(self._spaces[1]):
            space.seed(None if seed is None else self._seed + game)
        return [self._seed] * self.env_num

    def reset(self, env_id=None, **kwargs: Any) -> tuple[Batch, np.ndarray]:
        """Restarts the games ``env_id`` (all of them when None; the first reset restarts all
        whatever it names); ``seed`` applies to a full reset only."""
        self._assert_is_not_closed()
        seed = kwargs.pop("seed", None)
        options = kwargs.pop("options", None)
        if kwargs or options:
            raise TypeError(f"reset takes env_id and seed, not {', '.join(map(repr, {**kwargs, **(options or {})}))}")
        rows = self._rows(env_id)
        if seed is None:
            seed, self._seed = self._seed, None
        if env_id is None or seed is not None or not self._started:
            observation, _ = self.games.reset(seed=seed)
            self._started = True
        else:
            restart = np.zeros(self.env_num, dtype=bool)
            restart[rows] = True
            observation, _ = self.games.reset(options={"reset_mask": restart})
        return self._observations(observation, rows), self._infos(rows)

    def step(self, action, id=None):
        """One move of the learner in the games ``id`` (all of them when None), ``action``
        holding one slot for each in that order."""
        self._assert_is_not_closed()
        rows = self._rows(id)
        if action is None:
            raise ValueError("action must hold a slot for each game stepped: these games are stepped in step")
        action = np.asarray(action)
        if len(action) != len(rows):
            raise ValueError(f"action must hold one slot for each of the {len(rows)} games stepped, not {len(action)}")
        if _every_game(rows, self.env_num):
            slots, hold = action, None
        else:
            slots = np.zeros(self.env_num, dtype=np.int64)
            slots[rows] = action
            hold = np.ones(self.env_num, dtype=bool)
            hold[rows] = False
        observation, rewards, terminated, truncated, infos = self.games._step(slots, hold)
        information = self._infos(rows)
        for k in np.flatnonzero(infos.get("illegal_action", np.zeros(self.env_num, dtype=bool))[rows]).tolist():
            information[k]["illegal_action"] = True
        return (self._observations(observation, rows), rewards[rows], terminated[rows], truncated[rows],
                information)

    def render(self, **kwargs: Any) -> list[Any]:
        self._assert_is_not_closed()
        if kwargs:
            raise TypeError(f"render takes no arguments, not {', '.join(map(repr, kwargs))}")
        return list(self.games.render())

    def close(self) -> None:
        self._assert_is_not_closed()
        self.games.close()
        self.is_closed = True

    def _legal(self, game: int) -> np.ndarray:
        return self.games.action_mask(game).view(np.int8)

    def _rows(self, id) -> np.ndarray:
        if id is None:
            return self._every
        rows = np.atleast_1d(np.asarray(id))
        if rows.dtype.kind not in "iu" or rows.ndim != 1:
            raise TypeError(f"id must be a game's index or a list of them, not {id!r}")
        if len(rows) and (rows.min() < 0 or rows.max() >= self.env_num):
            raise ValueError(f"id must name games from 0 to {self.env_num - 1}, not {rows.tolist()}")
        if len(np.unique(rows)) != len(rows):
            raise ValueError(f"id names a game more than once: {rows.tolist()}")
        return rows.astype(np.int64)

    @staticmethod
    def _observations(observation, rows) -> Batch:
        if _every_game(rows, len(observation["observation"])):
            return Batch(obs=observation["observation"], mask=observation["action_mask"].view(bool))
        return Batch(obs=observation["observation"][rows], mask=observation["action_mask"].view(bool)[rows])

    @staticmethod
    def _infos(rows) -> np.ndarray:
        infos = np.empty(len(rows), dtype=object)
        for k, game in enumerate(rows.tolist()):
            infos[k] = {"env_id": game}
        return infos


def _every_game(rows: np.ndarray, count: int) -> bool:
    """Whether ``rows`` names every game in order."""
    return len(rows) == count and (rows == np.arange(count)).all()
