"""The game ``murkplay_fog_chess``: murkplay's fog-of-war chess under OpenSpiel's game API.

Player 0 is White and player 1 Black. A player sees the board at its own turns (its fog memory
is refreshed then): its observation is the one of its latest turn, the known start before its
first. An action is a policy slot (0 to 4351, murkplay's action
index from the mover's side); the action text is the UCI text of the move the slot plays. A
king captured ends the game (+1 to its taker, -1 to the other); so does the ply limit, or a side
to move without a move, both at 0. Parameters: ``fen`` (the start), ``max_plies`` (the limit,
also the game's maximum length), ``belief_limit`` and ``belief_seed`` (each player's belief
tracker, see ``resample_from_infostate``).

**The slot rule.** A pawn that can promote to one piece both by a push and by captures has one
slot for all of them, and the slot plays the first listed move: the push. Those captures are
not actions of this game (they are of murkplay's own ``apply``), and a player's belief holds
no position reached only through one of them.
"""

from __future__ import annotations

import re

import numpy as np
import pyspiel

from murkplay import SelfPlayGame
from murkplay_rl._native import ACTION_COUNT, apply_slot, move_uci, observe
from murkplay_rl.openspiel import views
from murkplay_rl.openspiel.belief import Belief, resampled_line
from murkplay_rl.openspiel.line import Ply, follow, slot_of
from murkplay_rl.openspiel.position import fen

SHORT_NAME = "murkplay_fog_chess"
START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
DEFAULTS = {"fen": START_FEN, "max_plies": 300, "belief_limit": 10_000, "belief_seed": 0}
WHITE, BLACK = 0, 1

GAME_TYPE = pyspiel.GameType(
    short_name=SHORT_NAME,
    long_name="murkplay fog-of-war chess",
    dynamics=pyspiel.GameType.Dynamics.SEQUENTIAL,
    chance_mode=pyspiel.GameType.ChanceMode.DETERMINISTIC,
    information=pyspiel.GameType.Information.IMPERFECT_INFORMATION,
    utility=pyspiel.GameType.Utility.ZERO_SUM,
    reward_model=pyspiel.GameType.RewardModel.TERMINAL,
    max_num_players=2,
    min_num_players=2,
    provides_information_state_string=True,
    provides_information_state_tensor=False,
    provides_observation_string=True,
    provides_observation_tensor=True,
    parameter_specification=DEFAULTS,
)


class Rules:
    """What every state of one game shares: its parameters and its first position."""

    def __init__(self, params):
        unknown = set(params) - set(DEFAULTS)
        if unknown:
            raise ValueError(f"{SHORT_NAME} has no parameter {', '.join(sorted(unknown))}; it has {', '.join(DEFAULTS)}")
        settings = {**DEFAULTS, **params}
        self.fen = settings["fen"]
        if not isinstance(self.fen, str):
            raise ValueError(f"fen must be FEN text, not {self.fen!r}")
        self.max_plies = _count(settings, "max_plies", 1, 2**31 - 1)
        self.belief_limit = _count(settings, "belief_limit", 2, 10_000_000)
        self.belief_seed = _count(settings, "belief_seed", 0, 2**63 - 1)
        try:
            start = SelfPlayGame(self.fen)
        except ValueError as error:
            raise ValueError(f"fen {self.fen!r} is not a start murkplay can play from") from error
        self.root = Ply(None, start, None, self)

    def __deepcopy__(self, memo):
        return self

    def __reduce__(self):
        return Rules, ({"fen": self.fen, "max_plies": self.max_plies, "belief_limit": self.belief_limit,
                        "belief_seed": self.belief_seed},)


def _count(settings, name: str, low: int, high: int) -> int:
    value = settings[name]
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ValueError(f"{name} must be an integer from {low} to {high}, not {value!r}")
    return value


class FogChessGame(pyspiel.Game):
    """The game: ``pyspiel.load_game("murkplay_fog_chess", {"fen": ..., "max_plies": ...})``."""

    def __init__(self, params=None):
        rules = Rules(dict(params or {}))
        info = pyspiel.GameInfo(
            num_distinct_actions=ACTION_COUNT, max_chance_outcomes=0, num_players=2, min_utility=-1.0,
            max_utility=1.0, utility_sum=0.0, max_game_length=rules.max_plies)
        super().__init__(GAME_TYPE, info, {"fen": rules.fen, "max_plies": rules.max_plies,
                                           "belief_limit": rules.belief_limit, "belief_seed": rules.belief_seed})
        self.rules = rules

    def new_initial_state(self):
        return FogChessState(self)

    def make_py_observer(self, iig_obs_type=None, params=None):
        return FogChessObserver(iig_obs_type or pyspiel.IIGObservationType(perfect_recall=False), params)

    def deserialize_state(self, text: str):
        """The state ``state.serialize()`` wrote, played again from its actions.

        Only the history line is read, each action checked against the state it is played in;
        the pickled attributes that OpenSpiel's own reader unpickles are never loaded, so text
        from anywhere is safe to read here (``pyspiel.deserialize_game_and_state`` is not).
        """
        if not isinstance(text, str):
            raise TypeError(f"a serialized state is text, not {type(text).__name__}")
        match = re.match(r"history=((?:\d+:\d+(?:,\d+:\d+)*)?)\n", text)
        if match is None:
            raise ValueError("not a serialized murkplay_fog_chess state: it does not begin with its history line")
        state = self.new_initial_state()
        for entry in filter(None, match.group(1).split(",")):
            player, action = map(int, entry.split(":"))
            if player != state.current_player() or action not in state.legal_actions():
                raise ValueError(f"serialized history: {entry} is not a legal action at ply {len(state.history())}")
            state.apply_action(action)
        return state


class FogChessState(pyspiel.State):
    """A state of ``murkplay_fog_chess``: one native game and the line of play that led to it.

    Every position of the line is kept, never changed once reached, and shared by the clones
    that reached it: ``clone`` copies a reference, whatever the game's length.
    """

    def __init__(self, game: FogChessGame):
        super().__init__(game)
        # The state's only attribute: OpenSpiel's clone deep-copies each one, and a ply copies
        # as itself.
        self._at = game.rules.root

    # -- the game ----------------------------------------------------------------------------

    def current_player(self):
        at = self._at
        if at.is_over():
            return pyspiel.PlayerId.TERMINAL
        return WHITE if at.game.turn else BLACK

    def _legal_actions(self, player):
        return self._at.slots()

    # Python callers take this direct path; OpenSpiel's C++ goes through _legal_actions.
    def legal_actions(self, player=None):
        at = self._at
        if at.is_over() or (player is not None and player != (WHITE if at.game.turn else BLACK)):
            return []
        return at.slots().copy()

    def _apply_action(self, action):
        at = self._at
        if at.is_over():
            raise ValueError(f"the game is over; action {action} cannot be played")
        action = int(action)
        forced = self.__dict__.pop("_forced", None)
        if forced is not None:
            self._at = follow(at, forced, action)
            return
        game = at.game.clone()
        code = apply_slot(game, action)
        self._at = Ply(at, game, code, at.rules, action)

    def follow_move(self, code: int) -> None:
        """Plays the move ``code`` (a move code, as a batch reports it), which must be legal.

        For following a game played elsewhere: a capture-promotion that shares its slot with a
        legal push is played as itself, though the history records the slot (and so replays the
        push), and a drawn state never reaches a position that only such a capture leads to.
        """
        self._forced = code
        try:
            self.apply_action(slot_of(self._at.game, move_uci(code)))
        finally:
            self.__dict__.pop("_forced", None)

    def _action_to_string(self, player, action):
        return move_uci(self._at.move_of(int(action), player == WHITE))

    def is_terminal(self):
        return self._at.is_over()

    def returns(self):
        return list(self._at.returns())

    def rewards(self):
        return list(self._at.returns())

    def __str__(self):
        """The true position as FEN."""
        at = self._at
        return fen(at.game, 1 + at.ply // 2)

    # -- what each player knows --------------------------------------------------------------

    def observation_string(self, player=None):
        player = self._player(player)
        return views.observation_text(self._at.last_turn(player).game, player == WHITE)

    def information_state_string(self, player=None):
        return self._at.information(self._player(player))

    def _player(self, player) -> int:
        if player is None:
            player = self.current_player()
        if player not in (WHITE, BLACK):
            raise ValueError(f"player must be 0 (White) or 1 (Black), not {player}")
        return player

    def belief(self, player: int) -> Belief:
        """``player``'s belief about the hidden board here (a native BeliefTracker made from the
        known start and fed the player's own moves and views, never the true board)."""
        player = self._player(player)
        at = self._at
        shared = at.beliefs[player]
        if shared is None or not shared.follows(at):
            shared = at.beliefs[player] = Belief.following(at, player == WHITE, shared)
        return shared

    def resample_from_infostate(self, player, probability_sampler):
        """A full state drawn from ``player``'s belief: a position that the player's belief
        keeps (every one consistent with what it has seen while the belief is exact, a sample of
        them above ``belief_limit`` positions), reached by a history of its own that shows the
        player exactly what it was shown. ``probability_sampler()`` returns uniform numbers in
        [0, 1), as OpenSpiel's samplers do; it makes every choice, so equal samplers draw equal
        states. The player's information state is unchanged; the opponent's is that of the new
        history."""
        player = self._player(player)
        belief = self.belief(player)
        actions = resampled_line(belief, self._at, probability_sampler)
        state = self.get_game().new_initial_state()
        for action in actions:
            # Every position before the last is on a history the belief verified, so none is
            # over: that spares working out each one's moves.
            state._at.going_on()
            state.apply_action(action)
        # The drawn line shows the player what this one did: its belief and its information
        # state carry over (a deserialized copy works them out afresh, as the tests do).
        drawn = state._at
        drawn.beliefs[player] = belief
        drawn.learnt(player, self._at.information(player))
        return state


class FogChessObserver:
    """OpenSpiel's observer: a player's observation (perfect_recall False: its view and memory,
    as murkplay's 64 x 35 observation and as text), its information state (perfect_recall True:
    text only), the public facts (no private information: the ply and the result), or the true
    position (private information of all players)."""

    def __init__(self, iig_obs_type, params):
        if params:
            raise ValueError(f"{SHORT_NAME} observations take no parameters; got {params}")
        private = iig_obs_type.private_info
        self._kind = ("public" if private == pyspiel.PrivateInfoType.NONE else
                      "truth" if private == pyspiel.PrivateInfoType.ALL_PLAYERS else
                      "information" if iig_obs_type.perfect_recall else "observation")
        if self._kind == "observation":
            self.tensor = np.zeros(64 * 35, np.float32)
            self.dict = {"observation": self.tensor.reshape(64, 35)}
        else:
            self.tensor = None
            self.dict = {}

    def set_from(self, state, player):
        if self.tensor is not None:
            player = state._player(player)
            observe(state._at.last_turn(player).game, self.dict["observation"], viewer=player == WHITE)

    def string_from(self, state, player):
        at = state._at
        if self._kind == "observation":
            return state.observation_string(player)
        if self._kind == "information":
            return state.information_state_string(player)
        if self._kind == "truth":
            return str(state)
        return at.public()


def load_game(**params) -> FogChessGame:
    """``pyspiel.load_game("murkplay_fog_chess", params)``."""
    return pyspiel.load_game(SHORT_NAME, params)


pyspiel.register_game(GAME_TYPE, FogChessGame)
