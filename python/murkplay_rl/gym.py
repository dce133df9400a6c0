"""Gymnasium environments: one side of fog-of-war chess against an opponent agent.

Importing this module registers ``murkplay/FogChess-v0``:

    import gymnasium, murkplay_rl.gym
    env = gymnasium.make("murkplay/FogChess-v0", opponent="greedy")
    envs = gymnasium.make_vec("murkplay/FogChess-v0", num_envs=256, vectorization_mode="vector_entry_point")

The learner plays ``side`` (White by default) against ``opponent``: any agent or agent spec of
``murkplay_rl.agents`` (``random`` by default), a network included. An observation is a dict of
the learner's (64, 35) view and the int8 mask of its legal slots (with ``observation="codes"``,
the view as ``codes``, ``ages`` and ``shared``, see ``murkplay_rl.codes``; the floats are then
never built); an action is a policy slot, played as the first legal move listed with it.
Capturing the king gives +1, losing the king -1; a game still going after ``max_plies`` plies
is truncated, and one whose side to move has no move ends truncated with 0. A slot that is not
legal loses the game at once (-1, terminated). A game that ended is shown as the learner's view
of its last position, with the mask of the learner's last move (its action is not read).

``FogChessVectorEnv`` steps N games on one ``GameBatch``: the learner's moves and a built-in
opponent's replies are played natively in the same call, any other opponent's with one more
call and one ``act`` for all games. Its ``autoreset_mode`` is any of Gymnasium's, chosen at
construction. The games of both environments are played by ``murkplay_rl._learner_games``.
"""

from __future__ import annotations

import dataclasses

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
from murkplay_rl._learner_games import LearnerGames, pick  # noqa: E402
from murkplay_rl._spaces import OBSERVATIONS, form  # noqa: E402

ENV_ID = "murkplay/FogChess-v0"
SIDES = ("white", "black")
RENDER_MODES = ("ansi", "rgb_array")


def _batch_seed(np_random) -> int:
    return int(np_random.integers(2**63))


def _autoreset_mode(value) -> AutoresetMode:
    """An ``AutoresetMode``, or its name as text in any case, with or without underscores
    (``"next_step"``, ``"SameStep"``, ``"DISABLED"``)."""
    if isinstance(value, AutoresetMode):
        return value
    for mode in AutoresetMode:
        if isinstance(value, str) and value.replace("_", "").lower() == mode.value.lower():
            return mode
    raise ValueError(f"autoreset_mode must be an AutoresetMode or one of 'next_step', 'same_step', 'disabled', "
                     f"not {value!r}")


class _Match:
    """What both environments are made with: the opponent, the learner's side, the games."""

    _spec = None
    # The forms of an observation (murkplay_rl._spaces), by the setting that names them.
    _forms = OBSERVATIONS

    def _set_up(self, opponent, side: str, max_plies: int, fen, oracle: bool, render_mode, observation):
        """Keep the settings; return the space of what the learner observes in one game."""
        self._form = form(observation, self._forms)
        if render_mode is not None and render_mode not in RENDER_MODES:
            raise ValueError(f"render_mode must be one of {', '.join(map(repr, RENDER_MODES))} or None, "
                             f"not {render_mode!r}")
        if side not in SIDES:
            raise ValueError(f"side must be 'white' or 'black', not {side!r}")
        self.render_mode = render_mode
        self.max_plies = ply_limit(max_plies)
        self.oracle = flag("oracle", oracle)
        self.opponent = agents.load(opponent)
        self.side = SIDES.index(side)
        self._fen = fen
        start = SelfPlayGame(fen)
        # The learner moves at every other ply, first or second.
        first = start.turn == (self.side == 0)
        self._max_episode_steps = (self.max_plies + first) // 2 if self.max_plies else None
        return self._form.space(start)

    def _new_games(self, count: int, threads: int = 1) -> LearnerGames:
        return LearnerGames(count, opponent=self.opponent, side=self.side, max_plies=self.max_plies, fen=self._fen,
                            oracle=self.oracle, threads=threads, seed=_batch_seed(self.np_random),
                            codes=self._form.codes)

    @property
    def spec(self):
        """The registration this environment was made from, with ``max_episode_steps``: the
        learner's moves in a game of ``max_plies`` plies (None for games without a limit)."""
        return self._spec

    @spec.setter
    def spec(self, value):
        if value is not None and value.max_episode_steps is None and self._max_episode_steps is not None:
            value = dataclasses.replace(value, max_episode_steps=self._max_episode_steps)
        self._spec = value

    def _render_all(self, games: LearnerGames, rows):
        if self.render_mode is None:
            gymnasium.logger.warn("You are calling render method without specifying any render mode.")
            return None
        return tuple(games.picture(row, self.render_mode) for row in rows)


class FogChessEnv(_Match, gymnasium.Env):
    """One game: the learner plays ``side`` against ``opponent``.

    ``action_masks()`` is the mask as sb3-contrib's maskable algorithms ask for it;
    ``slot_uci(slot)`` and ``uci_slot(uci)`` name the legal moves of the position shown.
    """

    metadata = {"render_modes": list(RENDER_MODES), "render_fps": 4}

    def __init__(self, opponent="random", side: str = "white", max_plies: int = 300, fen=None,
                 oracle: bool = False, render_mode: str | None = None, observation: str = "floats"):
        self.observation_space = self._set_up(opponent, side, max_plies, fen, oracle, render_mode, observation)
        self.action_space = spaces.Discrete(murkplay_rl.ACTION_COUNT)
        self._games = self._new_games(1)
        self._going = False

    def reset(self, *, seed=None, options=None):
        super().reset(seed=seed)
        self._games = self._new_games(1)
        self._going = True
        return self._shown(), {}

    def step(self, action):
        if not self._going:
            raise RuntimeError("call reset() before step()")
        played = self._games.play(np.asarray(action), restart_ended=False)
        terminated, truncated = bool(played.terminated[0]), bool(played.truncated[0])
        self._going = not (terminated or truncated)
        info = {"illegal_action": True} if played.illegal[0] else {}
        return self._shown(), float(played.rewards[0]), terminated, truncated, info

    def _shown(self):
        return self._form.build(pick(self._games.view, 0), self._games.mask[0])

    def action_masks(self) -> np.ndarray:
        """bool (4352,): the legal slots of the position shown."""
        return self._games.mask[0].copy()

    def slot_uci(self, slot: int) -> str:
        """The UCI text of the move a legal slot plays in the position shown."""
        return self._games.uci(0, slot)

    def uci_slot(self, uci: str) -> int:
        """The slot of a legal move, given as UCI text, in the position shown."""
        return self._games.slot(0, uci)

    def render(self):
        frames = self._render_all(self._games, [0])
        return None if frames is None else frames[0]


class FogChessVectorEnv(_Match, VectorEnv):
    """``num_envs`` games on one ``GameBatch``, the learner playing ``side`` in all of them
    against ``opponent``.

    ``autoreset_mode`` (an ``AutoresetMode`` or its text) says what follows a game's end, as
    Gymnasium defines it: ``next_step`` (the default) shows the ended game and restarts it at
    the next step, whose action for it is not read; ``same_step`` restarts it at once, its last
    observation in ``infos["final_obs"]``; ``disabled`` shows it ended until
    ``reset(options={"reset_mask": mask})`` restarts it, and refuses a step before that.
    ``reset_mask`` restarts the games it marks in every mode. Each step returns new arrays.
    ``threads`` is the batch's number of native threads.
    """

    metadata = {"autoreset_mode": AutoresetMode.NEXT_STEP, "render_modes": list(RENDER_MODES), "render_fps": 4}

    def __init__(self, num_envs: int = 16, opponent="random", side: str = "white", max_plies: int = 300,
                 fen=None, oracle: bool = False, threads: int = 1, render_mode: str | None = None,
                 autoreset_mode: AutoresetMode | str = AutoresetMode.NEXT_STEP, observation: str = "floats"):
        self.single_observation_space = self._set_up(opponent, side, max_plies, fen, oracle, render_mode,
                                                     observation)
        self.num_envs = integer("num_envs", num_envs, 1)
        self.threads = integer("threads", threads, 1, murkplay_rl.MAX_THREADS)
        self.autoreset_mode = _autoreset_mode(autoreset_mode)
        self.metadata = {**type(self).metadata, "autoreset_mode": self.autoreset_mode}
        self.single_action_space = spaces.Discrete(murkplay_rl.ACTION_COUNT)
        self.observation_space = batch_space(self.single_observation_space, num_envs)
        self.action_space = batch_space(self.single_action_space, num_envs)
        self._games = self._new_games(self.num_envs, self.threads)
        self._going = False
        self._everywhere = np.ones(num_envs, dtype=bool)
        # The games shown ended: restarted at the next step (next_step), or waiting for a
        # reset (disabled).
        self._shown_ended = np.zeros(num_envs, dtype=bool)

    def reset(self, *, seed=None, options=None):
        options = dict(options or {})
        reset_mask = options.pop("reset_mask", None)
        if options:
            raise ValueError(f"reset takes no options but reset_mask, not {', '.join(map(repr, options))}")
        if reset_mask is None:
            super().reset(seed=seed)
            self._games = self._new_games(self.num_envs, self.threads)
            self._shown_ended = np.zeros(self.num_envs, dtype=bool)
        else:
            if seed is not None:
                raise ValueError("reset with a reset_mask takes no seed: the games restarted go on drawing from "
                                 "the random streams of the last seed")
            rows = np.flatnonzero(_reset_mask(reset_mask, self.num_envs))
            self._games.restart(rows)
            self._shown_ended = self._shown_ended.copy()
            self._shown_ended[rows] = False
        self._going = True
        return self._observations(), self._infos()

    def step(self, actions):
        return self._step(actions)

    def _step(self, actions, hold=None):
        """``step``, with the games ``hold`` (bool, one a game) playing no move and staying as
        they are, which adapters stepping some of the games need."""
        if not self._going:
            raise RuntimeError("call reset() before step()")
        mode = self.autoreset_mode
        if mode == AutoresetMode.DISABLED and self._shown_ended.any():
            waiting = np.flatnonzero(self._shown_ended)
            raise RuntimeError(
                f"games {', '.join(map(str, waiting[:8]))}{', ...' if len(waiting) > 8 else ''} have ended: with "
                "autoreset_mode disabled, restart them with reset(options={'reset_mask': mask}) before the next step"
            )
        played = self._games.play(actions, self._shown_ended if mode == AutoresetMode.NEXT_STEP else None,
                                  restart_ended=mode == AutoresetMode.SAME_STEP, hold=hold)
        if mode != AutoresetMode.SAME_STEP:
            self._shown_ended = played.terminated | played.truncated
        return self._observations(), played.rewards, played.terminated, played.truncated, self._infos(played)

    def _observations(self):
        return self._form.build(self._games.view, self._games.mask)

    def _infos(self, played=None):
        infos = {"action_mask": self._games.mask.view(np.int8), "_action_mask": self._everywhere}
        if played is None:
            return infos
        if played.illegal.any():
            infos["illegal_action"], infos["_illegal_action"] = played.illegal, played.illegal.copy()
        if self.autoreset_mode == AutoresetMode.SAME_STEP and len(played.final_rows):
            ended = np.zeros(self.num_envs, dtype=bool)
            ended[played.final_rows] = True
            final = np.full(self.num_envs, None, dtype=object)
            for k, game in enumerate(played.final_rows.tolist()):
                final[game] = self._form.build(pick(played.final_view, k), played.final_mask[k])
            infos["final_obs"], infos["_final_obs"] = final, ended
            lost = played.illegal & ended
            infos["final_info"] = {"illegal_action": lost, "_illegal_action": lost.copy()} if lost.any() else {}
            infos["_final_info"] = ended.copy()
        return infos

    def action_masks(self) -> np.ndarray:
        """bool (num_envs, 4352): the legal slots of every game as shown."""
        return self._games.mask.copy()

    def action_mask(self, game: int) -> np.ndarray:
        """bool (4352,): the legal slots of one game as shown, read-only, valid until the next
        step or reset."""
        view = self._games.mask[integer("game", game, 0, self.num_envs - 1)].view()
        view.flags.writeable = False
        return view

    def slot_uci(self, game: int, slot: int) -> str:
        """The UCI text of the move a legal slot plays in a game as shown."""
        return self._games.uci(integer("game", game, 0, self.num_envs - 1), slot)

    def uci_slot(self, game: int, uci: str) -> int:
        """The slot of a legal move, given as UCI text, in a game as shown."""
        return self._games.slot(integer("game", game, 0, self.num_envs - 1), uci)

    def render(self):
        """A picture of every game, as the mode says: a tuple of texts or of RGB frames."""
        return self._render_all(self._games, range(self.num_envs))


def _reset_mask(mask, count: int) -> np.ndarray:
    """Gymnasium's own checks of a ``reset_mask``."""
    if not isinstance(mask, np.ndarray):
        raise TypeError(f"options['reset_mask'] must be a numpy array, not {type(mask).__name__}")
    if mask.shape != (count,):
        raise ValueError(f"options['reset_mask'] must have shape ({count},), not {mask.shape}")
    if mask.dtype != np.bool_:
        raise TypeError(f"options['reset_mask'] must have dtype bool, not {mask.dtype}")
    if not mask.any():
        raise ValueError("options['reset_mask'] must mark at least one game")
    return mask


if ENV_ID not in gymnasium.registry:
    gymnasium.register(
        id=ENV_ID,
        entry_point="murkplay_rl.gym:FogChessEnv",
        vector_entry_point="murkplay_rl.gym:FogChessVectorEnv",
    )
