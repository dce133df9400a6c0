"""Gymnasium environments: one side of fog-of-war chess against an opponent agent.

Importing this module registers ``murkplay/FogChess-v0``:

    import gymnasium, murkplay_rl.gym
    env = gymnasium.make("murkplay/FogChess-v0", opponent="greedy")
    envs = gymnasium.make_vec("murkplay/FogChess-v0", num_envs=256, vectorization_mode="vector_entry_point")

The learner plays ``side`` (White by default) against ``opponent`` (any agent or agent spec of
``murkplay_rl.agents``; ``random`` by default). An observation is a dict of the learner's
(64, 35) view and the int8 mask of its legal slots; an action is a policy slot, played as the
first legal move listed with it. Capturing the king gives +1, losing the king -1; a game still
going after ``max_plies`` plies is truncated, and one whose side to move has no move ends
truncated with 0. A slot that is not legal loses the game at once (-1, terminated).

``FogChessVectorEnv`` steps N games on one ``GameBatch``: the learner's moves and the built-in
opponent's replies are played natively in the same call, and a game that ended restarts at
the following step, whose action for it is not read (Gymnasium's ``next_step`` autoreset).
The masks are in the observation and in ``infos["action_mask"]``.
"""

from __future__ import annotations

import numpy as np

from murkplay_rl._optional import require

gymnasium = require("gymnasium", "gym", "murkplay_rl.gym")

from gymnasium import spaces  # noqa: E402
from gymnasium.vector import AutoresetMode, VectorEnv  # noqa: E402
from gymnasium.vector.utils import batch_space  # noqa: E402

import murkplay_rl  # noqa: E402
from murkplay import SelfPlayGame  # noqa: E402
from murkplay_rl import agents  # noqa: E402
from murkplay_rl._checks import flag, integer, ply_limit  # noqa: E402
from murkplay_rl._spaces import observation_space  # noqa: E402

ENV_ID = "murkplay/FogChess-v0"
SIDES = ("white", "black")


def _batch_seed(np_random) -> int:
    return int(np_random.integers(2**63))


class _Match:
    """What both environments are made with: the opponent, the learner's side, the games."""

    def _set_up(self, opponent, side: str, max_plies: int, fen, oracle: bool, render_mode):
        """Keep the settings; return the space of what the learner observes in one game."""
        if render_mode is not None:
            raise ValueError(f"FogChess-v0 renders nothing; render_mode must be None, not {render_mode!r}")
        if side not in SIDES:
            raise ValueError(f"side must be 'white' or 'black', not {side!r}")
        self.max_plies = ply_limit(max_plies)
        self.oracle = flag("oracle", oracle)
        self.opponent = agents.load(opponent)
        self.side = SIDES.index(side)
        self._fen = fen
        start = SelfPlayGame(fen)
        self._opponent_opens = start.turn != (self.side == 0)
        return observation_space(start)

    def _new_batch(self, games: int, **options):
        return murkplay_rl.GameBatch(games, fen=self._fen, max_plies=self.max_plies, seed=_batch_seed(self.np_random),
                                     **options)

    def _play_opening(self, batch):
        """The step as the learner first sees the games of ``batch``: after the opponent's
        opening move when the opponent moves first."""
        step = batch.observe(oracle=self.oracle)
        if self._opponent_opens:
            step = agents.play(self.opponent, step, batch, oracle=self.oracle)
        return step


class FogChessEnv(_Match, gymnasium.Env):
    """One game: the learner plays ``side`` against ``opponent``."""

    metadata = {"render_modes": []}

    def __init__(self, opponent="random", side: str = "white", max_plies: int = 300, fen=None,
                 oracle: bool = False, render_mode: str | None = None):
        self.observation_space = self._set_up(opponent, side, max_plies, fen, oracle, render_mode)
        self.action_space = spaces.Discrete(murkplay_rl.ACTION_COUNT)
        self._batch = None
        self._step = None

    def reset(self, *, seed=None, options=None):
        super().reset(seed=seed)
        self._batch = self._new_batch(1)
        self._step = self._play_opening(self._batch)
        return self._observation(), {}

    def step(self, action):
        if self._step is None:
            raise RuntimeError("call reset() before step()")
        step = self._step
        slot = int(action)
        if not 0 <= slot < murkplay_rl.ACTION_COUNT or not step.mask[0, slot]:
            self._step = None
            return self._observation(step), -1.0, True, False, {"illegal_action": True}
        reply = agents.builtin_name(self.opponent)
        step = self._batch.step(np.array([slot]), by="slot", reply=reply, oracle=self.oracle)
        if reply is None and not (step.terminated[0] or step.truncated[0]):
            step = agents.play(self.opponent, step, self._batch, oracle=self.oracle)
        self._step = step
        terminated, truncated = bool(step.terminated[0]), bool(step.truncated[0])
        reward = float(step.values[0, self.side]) if terminated else 0.0
        if terminated or truncated:
            self._step = None
        return self._observation(step), reward, terminated, truncated, {}

    def _observation(self, step=None):
        step = self._step if step is None else step
        return {"observation": step.observation[0].copy(), "action_mask": step.mask[0].astype(np.int8)}


class FogChessVectorEnv(_Match, VectorEnv):
    """``num_envs`` games on one ``GameBatch``, the learner playing ``side`` in all of them
    against a built-in ``opponent`` whose replies the batch plays natively.

    Each step returns new arrays. ``threads`` is the batch's number of native threads.
    """

    metadata = {"autoreset_mode": AutoresetMode.NEXT_STEP, "render_modes": []}

    def __init__(self, num_envs: int = 16, opponent: str = "random", side: str = "white", max_plies: int = 300,
                 fen=None, oracle: bool = False, threads: int = 1, render_mode: str | None = None):
        self.single_observation_space = self._set_up(opponent, side, max_plies, fen, oracle, render_mode)
        self._reply = agents.builtin_name(self.opponent)
        if self._reply is None:
            raise ValueError(
                f"the vector environment's opponent plays inside the batch's step: one of {', '.join(agents.BUILTIN)}"
            )
        self.num_envs = integer("num_envs", num_envs, 1)
        self.threads = integer("threads", threads, 1, murkplay_rl.MAX_THREADS)
        self.single_action_space = spaces.Discrete(murkplay_rl.ACTION_COUNT)
        self.observation_space = batch_space(self.single_observation_space, num_envs)
        self.action_space = batch_space(self.single_action_space, num_envs)
        self._batch = None
        self._step = None
        self._games = np.arange(num_envs)
        self._everywhere = np.ones(num_envs, dtype=bool)
        # Games lost by an illegal slot: the batch knows nothing of that ending, so they are
        # restarted here after the following step.
        self._lost = np.zeros(num_envs, dtype=bool)

    def reset(self, *, seed=None, options=None):
        super().reset(seed=seed)
        self._batch = self._new_batch(self.num_envs, auto_reset=True, threads=self.threads)
        self._lost = np.zeros(self.num_envs, dtype=bool)
        self._step = self._play_opening(self._batch)
        return self._observation(self._step), self._infos(self._step)

    def step(self, actions):
        if self._step is None:
            raise RuntimeError("call reset() before step()")
        before = self._step
        slots = np.asarray(actions, dtype=np.int64).reshape(self.num_envs).copy()
        # The batch restarts the games it saw end, without reading their action.
        restarting = before.restarting
        in_range = (slots >= 0) & (slots < murkplay_rl.ACTION_COUNT)
        if in_range.all():
            legal = before.mask[self._games, slots]
        else:
            legal = in_range & before.mask[self._games, np.where(in_range, slots, 0)]
        illegal = ~legal & ~restarting & ~self._lost
        substitute = illegal | self._lost
        if substitute.any():
            # Any legal move keeps the batch going; these games' results are decided here.
            slots[substitute] = np.argmax(before.mask[substitute], axis=1)
        step = self._batch.step(slots, by="slot", reply=self._reply, oracle=self.oracle)
        # The batch restarts a game at its start position; when the opponent opens, it has to
        # move first, which the batch cannot do for some of its games only.
        fresh = self._lost | restarting if self._opponent_opens else self._lost
        if fresh.any():
            self._restart(step, np.flatnonzero(fresh))
        # A game's value is 0 until a king is taken.
        rewards = step.values[:, self.side].copy()
        terminations = step.terminated.copy()
        if illegal.any():
            rewards[illegal] = -1.0
            terminations[illegal] = True
            self._lost = illegal & ~step.restarting
        else:
            self._lost[:] = False
        truncations = step.truncated & ~terminations
        self._step = step
        return self._observation(step), rewards, terminations, truncations, self._infos(step)

    def _restart(self, step, rows):
        """Restart the games ``rows`` and report them in ``step`` as the learner first sees them.

        Their openings are played on a batch of their own and written into this one, whose ply
        count for them starts after the opening move.
        """
        self._batch.reset(rows.tolist())  # a new episode: new random streams for the game
        opener = self._new_batch(len(rows))
        opened = self._play_opening(opener)
        for k, game in enumerate(rows.tolist()):
            self._batch[game] = opener[k]
        for name in ("observation", "mask", "terminated", "truncated", "values", "plies", "restarting"):
            getattr(step, name)[rows] = getattr(opened, name)

    def _observation(self, step):
        return {"observation": step.observation, "action_mask": step.mask.view(np.int8)}

    def _infos(self, step):
        return {"action_mask": step.mask.view(np.int8), "_action_mask": self._everywhere}


if ENV_ID not in gymnasium.registry:
    gymnasium.register(
        id=ENV_ID,
        entry_point="murkplay_rl.gym:FogChessEnv",
        vector_entry_point="murkplay_rl.gym:FogChessVectorEnv",
    )
