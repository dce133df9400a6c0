"""Fog-of-war chess as a PettingZoo AEC environment, in the manner of PettingZoo's classic games.

``player_0`` plays White and ``player_1`` Black. An action is a policy slot (0 to 4351) of the
agent to move; the slot is played as the first legal move listed with it, which matters only
for promotions, where the capturing promotions share the slot of the straight push.

Each agent observes a dict: ``observation``, its own fogged (64, 35) view of the current board
exactly as the game encodes it for the side to move (mirrored for Black), and ``action_mask``,
1 at every legal slot while it is the agent's turn and 0 everywhere otherwise. A side's fog
memory is refreshed only at its own turns, so the memory features of the agent not to move are
those of its latest turn (nothing remembered before its first).

Capturing a king ends the game with +1 for the capturer and -1 for the other agent; a side to
move that has no move at all ends it with 0 for both. ``max_plies`` truncates both agents
once that many plies have been played. An illegal slot, through ``env()``'s wrappers, ends the
game with -1 for the agent that chose it.
"""

from __future__ import annotations

import numpy as np

from ._optional import require

# Checked first, so that a missing package is reported as the extra to install.
gymnasium = require("gymnasium", "pettingzoo", "murkplay_rl.env()")
require("pettingzoo", "pettingzoo", "murkplay_rl.env()")

from gymnasium import spaces  # noqa: E402
from gymnasium.utils import EzPickle  # noqa: E402
from pettingzoo import AECEnv  # noqa: E402
from pettingzoo.utils import wrappers  # noqa: E402

from murkplay import SelfPlayGame  # noqa: E402

from . import _native as engine  # noqa: E402
from ._checks import flag, ply_limit  # noqa: E402
from ._spaces import observation_space  # noqa: E402
from ._views import square_views, true_pieces  # noqa: E402

WHITE, BLACK = "player_0", "player_1"
_IS_WHITE = {WHITE: True, BLACK: False}
_OPPONENT = {WHITE: BLACK, BLACK: WHITE}


def env(**kwargs):
    """The environment wrapped as PettingZoo's classic games are: an illegal slot loses."""
    wrapped = raw_env(**kwargs)
    wrapped = wrappers.TerminateIllegalWrapper(wrapped, illegal_reward=-1)
    wrapped = wrappers.AssertOutOfBoundsWrapper(wrapped)
    return wrappers.OrderEnforcingWrapper(wrapped)


def _cell(view) -> str:
    if view.seen:
        return (view.piece or ".") + " "
    return "##" if view.piece is None else view.piece + "?"


class raw_env(AECEnv, EzPickle):
    metadata = {
        "render_modes": ["human", "ansi"],
        "name": "murkplay_v0",
        "is_parallelizable": False,
        "render_fps": 2,
    }

    def __init__(self, fen=None, max_plies: int | None = None, oracle: bool = False, render_mode: str | None = None):
        """``fen``: the start position, as FEN text or a python-chess Board (default: the standard
        start). ``max_plies``: truncate after that many plies (None or 0: never). ``oracle``: show
        every square's true contents in the observation instead of the fogged view."""
        EzPickle.__init__(self, fen, max_plies, oracle, render_mode)
        super().__init__()
        if render_mode is not None and render_mode not in self.metadata["render_modes"]:
            raise ValueError(f"render_mode must be one of {self.metadata['render_modes']} or None, not {render_mode!r}")
        self._max_plies = None if max_plies is None else ply_limit(max_plies) or None
        self._oracle = flag("oracle", oracle)
        self._start = SelfPlayGame(fen)
        self.render_mode = render_mode

        self.agents = [WHITE, BLACK]
        self.possible_agents = self.agents[:]
        self.observation_spaces = {agent: observation_space(self._start) for agent in self.agents}
        self.action_spaces = {agent: spaces.Discrete(engine.ACTION_COUNT) for agent in self.agents}

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
        observation = engine.observe(self.game, oracle=self._oracle, viewer=_IS_WHITE[agent])
        mask = np.zeros(engine.ACTION_COUNT, dtype=np.int8)
        live = not (self.terminations.get(agent, True) or self.truncations.get(agent, True))
        if live and agent == self.agent_selection:
            engine.legal_moves(self.game, mask)
        return {"observation": observation, "action_mask": mask}

    def step(self, action):
        agent = self.agent_selection
        if self.terminations[agent] or self.truncations[agent]:
            return self._was_dead_step(action)
        self._last_move = engine.apply_slot(self.game, int(action))
        self.plies += 1
        self._cumulative_rewards[agent] = 0
        self._clear_rewards()
        self._settle()
        self._accumulate_rewards()
        self.agent_selection = _OPPONENT[agent]
        if self.render_mode == "human":
            self.render()

    def _settle(self):
        """Ends the game, or truncates it, when the position calls for it."""
        if self.game.is_terminal():
            for agent in self.agents:
                self.rewards[agent] = self.game.terminal_value(_IS_WHITE[agent])
            self.terminations = dict.fromkeys(self.agents, True)
        elif not self.game.legal_actions_uci():
            self.terminations = dict.fromkeys(self.agents, True)
            self._ending = f"game over: {WHITE if self.game.turn else BLACK} has no move"
        elif self._max_plies is not None and self.plies >= self._max_plies:
            self.truncations = dict.fromkeys(self.agents, True)
            self._ending = "truncated"

    def render(self):
        if self.render_mode is None:
            gymnasium.logger.warn("You are calling render method without specifying any render mode.")
            return None
        text = self._text()
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

    def _text(self) -> str:
        """The true board beside what each agent observes, White at the bottom in all three."""
        columns = [("true board", [(piece or ".") + " " for piece in true_pieces(self.game)])]
        for agent in self.possible_agents:
            white = _IS_WHITE[agent]
            views = square_views(self.observe(agent)["observation"], white)
            columns.append((f"{agent} sees", [_cell(view) for view in views]))
        lines = [self._status(), "  " + "".join(f"{label:<22}" for label, _ in columns)]
        for rank in range(7, -1, -1):
            lines.append("".join(f"{rank + 1} {''.join(cells[8 * rank : 8 * rank + 8])}    " for _, cells in columns))
        lines.append("  a b c d e f g h     " * len(columns))
        lines.append(f"{WHITE} plays White, {BLACK} Black; ## is fog, P? a piece remembered under fog")
        return "\n".join(line.rstrip() for line in lines)

    def close(self):
        pass
