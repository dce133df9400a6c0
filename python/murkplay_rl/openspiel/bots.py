"""Agents across the boundary: an OpenSpiel bot as a murkplay agent (so the arena rates it
against the built-in ladder), a murkplay agent as an OpenSpiel bot (so ``evaluate_bots`` and
OpenSpiel's tools play it), and information-set MCTS set up for fog-of-war chess.

Every OpenSpiel bot playing through ``BotAgent`` is handed, at each move, a state drawn from
its player's belief (``resample_from_infostate``), never the true one: even a bot written for
perfect information (MCTS) then knows only what its side has seen.
"""

from __future__ import annotations

import time
from types import MappingProxyType
from typing import Callable

import numpy as np
import pyspiel
from open_spiel.python.algorithms import ismcts

from murkplay_rl import agents as agents_module
from murkplay_rl._native import NO_MOVE, GameBatch, move_uci
from murkplay_rl.openspiel.belief import ResampleError
from murkplay_rl.openspiel.game import FogChessGame, FogChessState, load_game

# Material of a piece kind (board codes 1 to 6: pawn to king); a king taken ends the game.
_MATERIAL = np.array([0, 1, 3, 3, 5, 9, 0])


class RolloutEvaluator:
    """An MCTS evaluator for this game: from the state it is given (for IS-MCTS, a world drawn
    from the searching player's belief), a built-in agent plays both sides for ``plies`` plies
    natively, then the material balance scores the position, ``tanh(difference / scale)`` for
    White and its negation for Black; a game that ends scores its returns. The prior is uniform.
    """

    def __init__(self, plies: int = 4, agent: str = "greedy", scale: float = 5.0, seed: int = 0):
        if agent not in agents_module.BUILTIN:
            raise ValueError(f"agent must be one of {', '.join(agents_module.BUILTIN)}, not {agent!r}")
        if isinstance(plies, bool) or not isinstance(plies, int) or plies < 0:
            raise ValueError(f"plies must be a non-negative integer, not {plies!r}")
        if not scale > 0:
            raise ValueError(f"scale must be positive, not {scale!r}")
        self.plies = plies
        self.agent = agent
        self.scale = float(scale)
        self._seed = seed
        self._batch = None

    def evaluate(self, state: FogChessState):
        if state.is_terminal():
            return np.array(state.returns())
        at = state._at
        if self._batch is None:
            self._batch = GameBatch(1, seed=self._seed)
        batch = self._batch
        batch[0] = at.game
        left = min(self.plies, at.rules.max_plies - at.ply)
        for _ in range(left // 2):
            step = batch.step(by=self.agent, reply=self.agent, observe=False)
            if step.terminated[0] or step.truncated[0] or step.reply_move[0] == NO_MOVE:
                break
        else:
            if left % 2:
                step = batch.step(by=self.agent, observe=False)
        game = batch[0]
        if game.is_terminal():
            white = game.terminal_value(True)
        else:
            board = np.asarray(game.board)
            white = float(np.tanh((np.sign(board) * _MATERIAL[np.abs(board)]).sum() / self.scale))
        return np.array([white, -white])

    def prior(self, state):
        actions = state.legal_actions()
        return [(action, 1.0 / len(actions)) for action in actions]


class ISMCTSBot(ismcts.ISMCTSBot):
    """OpenSpiel's information-set MCTS bot, able to play through ``evaluate_bots`` (it searches
    afresh at every move, so a new game and the opponent's moves need nothing from it), and
    drawing its worlds with its own seeded random state, so that a seed repeats its games."""

    def resample_from_infostate(self, state):
        return state.resample_from_infostate(state.current_player(), self._random_state.uniform)

    def restart_at(self, state):
        self.reset()

    def inform_action(self, state, player_id, action):
        pass


def ismcts_bot(game: FogChessGame | None = None, *, simulations: int = 200, uct_c: float = 2.0,
               evaluator=None, seed: int = 0, max_world_samples: int = -1) -> ISMCTSBot:
    """Information-set MCTS on this game, drawing a world from the mover's belief at every
    simulation (``max_world_samples=-1``; a positive number draws that many and reuses them),
    scoring leaves with a ``RolloutEvaluator`` unless given another evaluator."""
    game = game if game is not None else load_game()
    return ISMCTSBot(
        game, evaluator if evaluator is not None else RolloutEvaluator(seed=seed), uct_c, simulations,
        max_world_samples=max_world_samples, random_state=np.random.RandomState(seed),
        final_policy_type=ismcts.ISMCTSFinalPolicyType.MAX_VISIT_COUNT)


class BotAgent:
    """An OpenSpiel bot as a murkplay agent: ``act(step, batch)`` in the agents' protocol.

    For every game of the batch it keeps the game's state in this game (``game``, whose start
    must be the batch's), follows the moves the steps report, and at the agent's turn asks the
    bot for an action on a state drawn from the player's belief. ``bot`` is a ``pyspiel.Bot``
    used for every game, or a callable ``bot(game, player)`` that makes one per game (for bots
    that keep something between moves). Where the belief has lost every position a history of
    the game's actions reaches (see ``resample_from_infostate``), the move of the built-in
    ``fallback`` agent is played instead, counted in ``fallbacks``. Like the belief agent it
    must see the batch's games from their start.
    """

    observes = False
    step_options = MappingProxyType({})

    def __init__(self, bot, *, name: str = "openspiel", game: FogChessGame | None = None, seed: int = 0,
                 fallback: str = "greedy"):
        if fallback not in agents_module.BUILTIN:
            raise ValueError(f"fallback must be one of {', '.join(agents_module.BUILTIN)}, not {fallback!r}")
        self.name = name
        self.game = game if game is not None else load_game()
        self._make_bot: Callable = bot if not isinstance(bot, pyspiel.Bot) else (lambda game, player: bot)
        self.fallback = fallback
        self.fallbacks = 0
        # Moves chosen, and the seconds spent choosing them (drawing the state and the bot's step).
        self.moves = 0
        self.seconds = 0.0
        self._random = np.random.default_rng(seed)
        self._batch = None
        self._states: list[FogChessState] = []
        self._bots: list = []
        self._pending: list[int | None] = []

    def forget(self) -> None:
        """Drops the games followed; the agent starts again at its next move."""
        self._batch = None

    def act(self, step, batch):
        if step is None:
            step = batch.observe()
        if self._batch is not batch:
            self._follow(batch, step)
        slots = np.zeros(len(batch), dtype=np.int64)
        sampler = self._random.random
        for i, state in enumerate(self._states):
            state = self._catch_up(i, step)
            if state.is_terminal() or step.terminated[i] or step.truncated[i]:
                # A batch restarts such a game without reading its action, or, without
                # auto_reset, plays on past the end: any listed move will do.
                listed = step.slots[step.offsets[i]:step.offsets[i + 1]]
                slots[i] = listed[0] if len(listed) else 0
                continue
            player = state.current_player()
            if self._bots[i] is None:
                self._bots[i] = self._make_bot(self.game, player)
            started = time.perf_counter()
            try:
                drawn = state.resample_from_infostate(player, sampler)
            except ResampleError:
                self.fallbacks += 1
                slots[i] = self._fallback_slot(state)
            else:
                slots[i] = int(self._bots[i].step(drawn))
            self.seconds += time.perf_counter() - started
            self.moves += 1
            self._pending[i] = int(slots[i])
        return "slot", slots

    def _follow(self, batch, step):
        # At most the opponent's first move may have been played.
        if np.any(step.plies > 1):
            raise ValueError(f"agent {self.name!r} must see the batch's games from their start")
        self._batch = batch
        self._states = [self.game.new_initial_state() for _ in range(len(batch))]
        self._bots = [None] * len(batch)
        self._pending = [None] * len(batch)

    def _catch_up(self, i: int, step) -> FogChessState:
        """The state of game ``i`` brought up to the step: the agent's own last action, then the
        opponent's move the step reports; a game that restarted starts afresh."""
        state = self._states[i]
        plies = int(step.plies[i])
        if plies == 0 and len(state.history()) != 0:
            state = self._states[i] = self.game.new_initial_state()
            self._bots[i], self._pending[i] = None, None
        if self._pending[i] is not None:
            state.apply_action(self._pending[i])
            self._pending[i] = None
            # A step of the agent's own call reports its move.
            if step.reply_move is not None and step.reply_move[i] != NO_MOVE \
                    and int(step.played_move[i]) != state._at.move:
                raise ValueError(f"agent {self.name!r} lost track of game {i}: the batch played "
                                 f"{move_uci(int(step.played_move[i]))}, not its move {move_uci(state._at.move)}")
        if len(state.history()) < plies:
            reply = step.reply_move[i] if step.reply_move is not None else NO_MOVE
            state.follow_move(int(reply if reply != NO_MOVE else step.played_move[i]))
        if len(state.history()) != plies:
            raise ValueError(f"agent {self.name!r} lost track of game {i}: the batch is at ply {plies}, "
                             f"its state at ply {len(state.history())}")
        return state

    def _fallback_slot(self, state: FogChessState) -> int:
        one = GameBatch([state._at.game], seed=int(self._random.integers(2**63)))
        return int(one.step(by=self.fallback, observe=False).played_slot[0])

    def __repr__(self) -> str:
        return f"BotAgent({self.name!r})"


class AgentBot(pyspiel.Bot):
    """A murkplay agent (a built-in name, ``belief``, ``pretrained``, a checkpoint or any agent)
    as an OpenSpiel bot: it plays one game on a batch of its own, fed the moves of the state's
    history, and returns the slot of the move its agent chooses. A built-in agent's capture-
    promotion that shares its slot with a legal push becomes the push."""

    def __init__(self, agent, *, seed: int = 0):
        pyspiel.Bot.__init__(self)
        self.agent = agents_module.load(agent)
        self._seed = seed
        self._batch = None
        self._step = None
        self._history: list[int] = []

    def restart_at(self, state):
        self._batch = None

    def inform_action(self, state, player_id, action):
        pass

    def step(self, state):
        history = list(state.history())
        if self._batch is None or history[:len(self._history)] != self._history:
            self._start(state)
        observe = agents_module.observes(self.agent)
        for action in history[len(self._history):]:
            self._step = self._batch.step(np.array([action]), by="slot", observe=observe)
            self._history.append(action)
        step = agents_module.play(self.agent, self._step, self._batch, observe=observe)
        action = int(step.played_slot[0])
        self._step = step
        self._history.append(action)
        if state._at.move_of(action, state._at.game.turn) != int(step.played_move[0]):
            self._batch = None  # the state plays the push: follow it afresh at the next move
        return action

    def _start(self, state):
        rules = state._at.rules
        self._batch = GameBatch(1, fen=rules.fen, seed=self._seed)
        if hasattr(self.agent, "forget"):
            self.agent.forget()
        self._step = self._batch.observe()
        self._history = []


def ismcts_agent(simulations: int = 200, *, seed: int = 0, game: FogChessGame | None = None,
                 name: str | None = None, **options) -> BotAgent:
    """Information-set MCTS as a murkplay agent, for the arena: ``python -m murkplay_rl.arena
    greedy murkplay_rl.openspiel:ismcts_agent``. ``options`` go to ``ismcts_bot``."""
    game = game if game is not None else load_game()
    bot = ismcts_bot(game, simulations=simulations, seed=seed, **options)
    return BotAgent(bot, name=name or f"ismcts-{simulations}", game=game, seed=seed)
