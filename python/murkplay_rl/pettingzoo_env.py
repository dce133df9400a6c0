"""Fog-of-war chess as a PettingZoo AEC environment, in the manner of PettingZoo's classic games.

``player_0`` plays White and ``player_1`` Black. An action is a policy slot (0 to 4351) of the
agent to move; the slot is played as the first legal move listed with it, which matters only
for promotions, where the capturing promotions share the slot of the straight push.

Each agent observes a dict: ``observation``, its own fogged (64, 35) view of the current board
exactly as the game encodes it for the side to move (mirrored for Black), and ``action_mask``,
1 at every legal slot while it is the agent's turn and 0 everywhere otherwise. A side's fog
memory is refreshed only at its own turns, so the memory features of the agent not to move are
those of its latest turn (nothing remembered before its first). With ``observation="codes"``
the view is ``codes``, ``ages`` and ``shared`` (``murkplay_rl.codes``) in place of the floats.

Capturing a king ends the game with +1 for the capturer and -1 for the other agent; a side to
move that has no move at all ends it with 0 for both. ``max_plies`` truncates both agents
once that many plies have been played, ``max_cycles`` once each agent has acted that many
times. An illegal slot, through ``env()``'s wrappers, ends the game with -1 for the agent that
chose it.

An agent's info holds ``legal_moves``, the UCI text of its legal moves (empty when it is not to
move), and ``last_move``, the UCI text of its own latest move (None before its first): the
other side's move is hidden in the fog, so it is not given. ``state()`` is the oracle view (every
square's true contents, as White's observation shows them), for a centralised critic;
``action_space(agent).sample()`` draws a move legal for the agent now. ``render_mode``
``"rgb_array"`` draws the view of the agent to move (``murkplay_rl.render``).

``parallel_env()`` is the same game as a PettingZoo ``ParallelEnv``, turn-based as PettingZoo's
turn-based parallel games are: each step takes an action from every agent, plays the one of the
agent to move and ignores the other's (its mask is all zeros, and its sampled action slot 0);
``max_cycles`` there counts steps, one ply each.
"""

from __future__ import annotations

import functools

import numpy as np

from ._optional import require

# Checked first, so that a missing package is reported as the extra to install.
gymnasium = require("gymnasium", "pettingzoo", "murkplay_rl.env()")
require("pettingzoo", "pettingzoo", "murkplay_rl.env()")

from gymnasium import spaces  # noqa: E402
from gymnasium.utils import EzPickle  # noqa: E402
from pettingzoo import AECEnv, ParallelEnv  # noqa: E402
from pettingzoo.utils import wrappers  # noqa: E402

from murkplay import SelfPlayGame  # noqa: E402

from . import _native as engine  # noqa: E402
from . import render as pictures  # noqa: E402
from ._checks import flag, integer, ply_limit  # noqa: E402
from ._spaces import LegalSlots, form, observation_space  # noqa: E402

WHITE, BLACK = "player_0", "player_1"
_IS_WHITE = {WHITE: True, BLACK: False}
_OPPONENT = {WHITE: BLACK, BLACK: WHITE}


def env(**kwargs):
    """The environment wrapped as PettingZoo's classic games are: an illegal slot loses."""
    wrapped = raw_env(**kwargs)
    wrapped = wrappers.TerminateIllegalWrapper(wrapped, illegal_reward=-1)
    wrapped = wrappers.AssertOutOfBoundsWrapper(wrapped)
    return wrappers.OrderEnforcingWrapper(wrapped)


def parallel_env(**kwargs):
    """The game as a turn-based PettingZoo ``ParallelEnv``; the settings are ``raw_env``'s."""
    return parallel_raw_env(**kwargs)


def _cycles(value) -> int | None:
    return None if value is None else integer("max_cycles", value, 1)


class raw_env(AECEnv, EzPickle):
    metadata = {
        "render_modes": ["human", "ansi", "rgb_array"],
        "name": "murkplay_v0",
        "is_parallelizable": False,
        "render_fps": 2,
    }
    # Plies in which each agent acts once: both move in a cycle of the turn-based game.
    _plies_per_cycle = 2

    def __init__(self, fen=None, max_plies: int | None = None, oracle: bool = False, render_mode: str | None = None,
                 max_cycles: int | None = None, observation: str = "floats"):
        """``fen``: the start position, as FEN text or a python-chess Board (default: the standard
        start). ``max_plies``: truncate after that many plies (None or 0: never). ``oracle``: show
        every square's true contents in the observation instead of the fogged view.
        ``max_cycles``: truncate once each agent has acted that many times (None: never).
        ``observation``: ``"floats"``, or ``"codes"`` for the view as codes."""
        EzPickle.__init__(self, fen, max_plies, oracle, render_mode, max_cycles, observation)
        super().__init__()
        if render_mode is not None and render_mode not in self.metadata["render_modes"]:
            raise ValueError(f"render_mode must be one of {self.metadata['render_modes']} or None, not {render_mode!r}")
        self._max_plies = None if max_plies is None else ply_limit(max_plies) or None
        self.max_cycles = _cycles(max_cycles)
        self._oracle = flag("oracle", oracle)
        self._form = form(observation)
        self._start = SelfPlayGame(fen)
        self.render_mode = render_mode

        self.agents = [WHITE, BLACK]
        self.possible_agents = self.agents[:]
        self.observation_spaces = {agent: self._form.space(self._start) for agent in self.agents}
        self.action_spaces = {agent: LegalSlots(functools.partial(self._mask, agent)) for agent in self.agents}
        self.state_space = observation_space(self._start)["observation"]

    def observation_space(self, agent):
        return self.observation_spaces[agent]

    def action_space(self, agent):
        return self.action_spaces[agent]

    def reset(self, seed=None, options=None):
        if seed is not None:
            for offset, agent in enumerate(self.possible_agents):
                self.action_spaces[agent].seed(seed + offset)
        self.game = self._start.clone()
        self.plies = 0
        self._last_move = None
        self._own_last_move = dict.fromkeys(self.possible_agents)
        self._ending = None
        self.agents = self.possible_agents[:]
        self.rewards = dict.fromkeys(self.agents, 0)
        self._cumulative_rewards = dict.fromkeys(self.agents, 0)
        self.terminations = dict.fromkeys(self.agents, False)
        self.truncations = dict.fromkeys(self.agents, False)
        self.infos = {agent: {} for agent in self.agents}
        self.agent_selection = WHITE if self.game.turn else BLACK
        self._settle()
        if self.render_mode == "human":
            self.render()

    def observe(self, agent):
        return self._form.build(self._view(agent, self._form.codes), self._mask(agent))

    def _view(self, agent, codes: bool) -> dict:
        """The agent's view, under the names a Step gives its arrays: the floats, or the codes."""
        seen = engine.observe(self.game, oracle=self._oracle, viewer=_IS_WHITE[agent], codes=codes)
        return seen._asdict() if codes else {"observation": seen}

    def _mask(self, agent) -> np.ndarray:
        """int8 (4352,): the agent's legal slots, none unless it is to move in a game going on."""
        mask = np.zeros(engine.ACTION_COUNT, dtype=np.int8)
        live = not (self.terminations.get(agent, True) or self.truncations.get(agent, True))
        if live and agent == self.agent_selection:
            engine.legal_moves(self.game, mask)
        return mask

    def state(self) -> np.ndarray:
        """The oracle view: float32 (64, 35), every square's true contents as White's
        observation shows them."""
        return engine.observe(self.game, oracle=True, viewer=True)

    def step(self, action):
        agent = self.agent_selection
        if self.terminations[agent] or self.truncations[agent]:
            return self._was_dead_step(action)
        self._last_move = engine.apply_slot(self.game, int(action))
        self._own_last_move[agent] = engine.move_uci(self._last_move)
        self.plies += 1
        self._cumulative_rewards[agent] = 0
        self._clear_rewards()
        self._settle()
        self._accumulate_rewards()
        self.agent_selection = _OPPONENT[agent]
        if self.render_mode == "human":
            self.render()

    def _settle(self):
        """Ends the game, or truncates it, when the position calls for it; tells each agent
        its legal moves and its own last move."""
        legal = [] if self.game.is_terminal() else self.game.legal_actions_uci()
        if self.game.is_terminal():
            for agent in self.agents:
                self.rewards[agent] = self.game.terminal_value(_IS_WHITE[agent])
            self.terminations = dict.fromkeys(self.agents, True)
        elif not legal:
            self.terminations = dict.fromkeys(self.agents, True)
            self._ending = f"game over: {WHITE if self.game.turn else BLACK} has no move"
        elif self._truncating():
            self.truncations = dict.fromkeys(self.agents, True)
            self._ending = "truncated"
            legal = []
        mover = WHITE if self.game.turn else BLACK
        self.infos = {agent: {"legal_moves": legal if agent == mover else [],
                              "last_move": self._own_last_move[agent]} for agent in self.agents}

    def _truncating(self) -> bool:
        if self._max_plies is not None and self.plies >= self._max_plies:
            return True
        return self.max_cycles is not None and self.plies >= self.max_cycles * self._plies_per_cycle

    def render(self):
        if self.render_mode is None:
            gymnasium.logger.warn("You are calling render method without specifying any render mode.")
            return None
        if self.render_mode == "rgb_array":
            agent = self.agent_selection
            return pictures.frame(self._view(agent, codes=False)["observation"], _IS_WHITE[agent])
        text = pictures.text(self.game, self._status(), sides=(f"{WHITE} (White)", f"{BLACK} (Black)"))
        if self.render_mode == "human":
            print(text)
            return None
        return text

    def _status(self) -> str:
        last = "" if self._last_move is None else f", last move {engine.move_uci(self._last_move)}"
        if self.game.is_terminal():
            outcome = f"a king was captured: {WHITE if self.game.terminal_value(True) > 0 else BLACK} wins"
        elif self._ending is not None:
            outcome = self._ending
        elif not self.agents or any(self.terminations.values()):
            outcome = "game over: an illegal action"
        else:
            outcome = f"{WHITE if self.game.turn else BLACK} to move"
        return f"ply {self.plies}{last}: {outcome}"

    def close(self):
        pass


class parallel_raw_env(ParallelEnv, EzPickle):
    """The game as a turn-based ``ParallelEnv``: each step plays the action of the agent to
    move and ignores the other's; an illegal slot ends the game with -1 for the agent that
    chose it (``info["illegal_action"]``). ``max_cycles`` counts steps, one ply each."""

    metadata = {**raw_env.metadata, "name": "murkplay_parallel_v0"}

    def __init__(self, fen=None, max_plies: int | None = None, oracle: bool = False, render_mode: str | None = None,
                 max_cycles: int | None = None, observation: str = "floats"):
        EzPickle.__init__(self, fen, max_plies, oracle, render_mode, max_cycles, observation)
        self.game = raw_env(fen=fen, max_plies=max_plies, oracle=oracle, render_mode=render_mode,
                            max_cycles=max_cycles, observation=observation)
        self.game._plies_per_cycle = 1
        self.possible_agents = self.game.possible_agents[:]
        self.agents = []
        self.observation_spaces = self.game.observation_spaces
        self.action_spaces = self.game.action_spaces
        self.state_space = self.game.state_space
        self.render_mode = render_mode

    @property
    def max_cycles(self) -> int | None:
        return self.game.max_cycles

    @max_cycles.setter
    def max_cycles(self, value) -> None:
        self.game.max_cycles = _cycles(value)

    def observation_space(self, agent):
        return self.observation_spaces[agent]

    def action_space(self, agent):
        return self.action_spaces[agent]

    def reset(self, seed=None, options=None):
        self.game.reset(seed=seed, options=options)
        self.agents = self.game.agents[:]
        return self._observations(), {agent: dict(info) for agent, info in self.game.infos.items()}

    def step(self, actions):
        if not self.agents:
            raise RuntimeError("the game is over: call reset() before step()")
        game = self.game
        mover = game.agent_selection
        if mover not in actions:
            raise ValueError(f"actions must hold an action of {mover}, the agent to move")
        action = actions[mover]
        if isinstance(action, (bool, np.bool_)) or not isinstance(action, (int, np.integer)):
            raise TypeError(f"the action of {mover} must be an integer slot, not {type(action).__name__}")
        if not (0 <= action < engine.ACTION_COUNT and game._mask(mover)[action]):
            return self._lost(mover)
        game.step(int(action))
        rewards = {agent: float(game.rewards[agent]) for agent in self.agents}
        return self._ending(rewards, dict(game.terminations), dict(game.truncations),
                            {agent: dict(game.infos[agent]) for agent in self.agents})

    def _lost(self, agent):
        ended = dict.fromkeys(self.agents, True)
        rewards = {other: -1.0 if other == agent else 0.0 for other in self.agents}
        infos = {other: {**self.game.infos[other], "legal_moves": []} for other in self.agents}
        infos[agent]["illegal_action"] = True
        for other in self.agents:
            self.game.terminations[other] = True
            self.game.infos[other] = infos[other]
        self.game._ending = f"game over: an illegal action of {agent}"
        return self._ending(rewards, ended, dict.fromkeys(self.agents, False), infos)

    def _ending(self, rewards, terminations, truncations, infos):
        observations = self._observations()
        if any(terminations.values()) or any(truncations.values()):
            self.agents = []
        return observations, rewards, terminations, truncations, infos

    def _observations(self):
        return {agent: self.game.observe(agent) for agent in self.game.possible_agents}

    def state(self) -> np.ndarray:
        return self.game.state()

    def render(self):
        return self.game.render()

    def close(self):
        self.game.close()
