"""Games between a person and an agent, one session per browser tab.

The game lives in a one-game ``GameBatch`` and the agent plays it through the agent protocol
(``agents.play`` with the batch's latest ``Step``), so an agent that keeps state, as the belief
agent does, sees every step of its game, and an agent knows only what the batch tells its
side. The person is shown only their side's view; the agent's moves stay hidden until the
game ends. A belief tracker follows the person's side, for the heat map.
"""

from __future__ import annotations

import re
import secrets
import threading
import time
from collections import OrderedDict
from typing import Callable

import murkplay
import murkplay_rl
from murkplay_rl import agents as agents_module
from murkplay_rl._optional import MissingExtra
from murkplay_rl.web.boards import belief_view, result_text, side_view, true_view
from murkplay_rl.web.errors import Refused, shown

# The variant has no move limit; a game still going after this many plies is a draw.
MAX_PLIES = 1000
# The person's belief keeps this many positions exactly, then a uniform sample of them.
BELIEF_LIMIT = 20_000
FEN_LENGTH = 100
_UCI = re.compile(r"[a-h][1-8][a-h][1-8][qrbn]?")


def agent_names() -> tuple[str, ...]:
    """The agents a page may name: the built-in ones and the package's named agents."""
    return tuple(agents_module.BUILTIN) + tuple(agents_module.NAMED)


def load_agent(name: str):
    """A fresh agent of a name from ``agent_names()`` (an agent may keep state per game)."""
    try:
        return agents_module.load(name)
    except MissingExtra as error:
        raise Refused(503, f"{name} cannot play here: {error}") from error


class PlaySession:
    """One game of a person against an agent."""

    def __init__(self, agent_name: str, agent, white: bool, fen: str | None = None):
        self.agent_name = agent_name
        self.agent = agent
        self.white = white
        self.lock = threading.Lock()
        self.used = 0.0  # set by Sessions
        try:
            start = murkplay.SelfPlayGame(fen) if fen is not None else murkplay.SelfPlayGame()
        except ValueError as error:
            raise Refused(400, f"fen {shown(fen)} is not a valid position") from error
        # Each game draws its random choices afresh.
        self.batch = murkplay_rl.GameBatch(1, fen=fen, max_plies=MAX_PLIES, seed=secrets.randbits(63))
        self.step = self.batch.observe()
        self.belief = murkplay_rl.BeliefTracker(start, white, limit=BELIEF_LIMIT, seed=self.batch.seed)
        self.moves: list[tuple[str, bool]] = []  # (UCI, played by the person)
        self.last_own: str | None = None
        self.failure: str | None = None
        if not self.over and self.game.turn != white:
            self._agent_moves()
        self.state = self._state()

    @property
    def game(self) -> murkplay.SelfPlayGame:
        return self.batch[0]

    @property
    def over(self) -> bool:
        return bool(self.step.terminated[0] or self.step.truncated[0])

    def legal(self) -> list[str]:
        """The person's legal moves now, in the order the game lists them."""
        if self.over or self.failure or self.game.turn != self.white:
            return []
        offsets = self.step.offsets
        return [murkplay_rl.move_uci(int(code)) for code in self.step.moves[offsets[0]:offsets[1]]]

    def move(self, uci) -> dict:
        """Plays the person's move, then the agent's reply; the new state. A refused move
        changes nothing."""
        if not isinstance(uci, str) or not _UCI.fullmatch(uci):
            raise Refused(400, f"move must be UCI text such as 'e2e4' or 'e7e8q', not {shown(uci)}")
        if self.failure:
            raise Refused(409, f"this game stopped: {self.failure}")
        if self.over:
            raise Refused(409, "this game is over; start a new one")
        legal = self.legal()
        if uci not in legal:
            raise Refused(422, f"{uci} is not a legal move here")
        self.step = self.batch.step([legal.index(uci)], by="position")
        self.moves.append((uci, True))
        self.last_own = uci
        if not self.over:
            self._agent_moves()
        self.state = self._state()
        return self.state

    def _agent_moves(self) -> None:
        try:
            self.step = agents_module.play(self.agent, self.step, self.batch)
        except Exception as error:
            # Whatever the agent did, its game cannot go on; the person is told why.
            self.failure = f"{self.agent_name} failed: {type(error).__name__}: {error}"
            return
        self.moves.append((murkplay_rl.move_uci(int(self.step.played_move[0])), False))
        if not self.over:
            # The person's turn again: their belief takes in what they see now.
            self.belief.update(self.game, self.last_own)

    def _state(self) -> dict:
        game = self.game
        over = self.over
        state = {
            "agent": self.agent_name,
            "color": "white" if self.white else "black",
            "ply": int(self.step.plies[0]),
            "turn": "white" if game.turn else "black",
            "legal": self.legal(),
            # The agent's moves are hidden, as the person does not see them, until the end.
            "moves": [{"uci": uci if own or over else None, "own": own} for uci, own in self.moves],
            "view": side_view(game, self.white),
            "belief": belief_view(self.belief),
            "over": over,
            "failure": self.failure,
            "result": None,
            "board": None,
        }
        if over:
            state["result"] = self._result()
            state["board"] = true_view(game)
        return state

    def _result(self) -> dict:
        terminated = bool(self.step.terminated[0])
        white_value = float(self.step.values[0, 0])
        mine = white_value if self.white else -white_value
        if terminated:
            reason = "the Black king was captured" if white_value > 0 else "the White king was captured"
        elif int(self.step.plies[0]) >= MAX_PLIES:
            reason = f"the game reached {MAX_PLIES} plies"
        else:
            reason = "the side to move has no move"
        outcome = "won" if mine > 0 else "lost" if mine < 0 else "drawn"
        return {"score": result_text(white_value, terminated), "outcome": outcome, "reason": reason}


class Sessions:
    """The open games, by id: at most ``capacity`` at once, each dropped after ``idle``
    seconds without a request."""

    def __init__(self, capacity: int, idle: float, clock: Callable[[], float] = time.monotonic):
        self.capacity = capacity
        self.idle = idle
        self.clock = clock
        self._games: OrderedDict[str, PlaySession] = OrderedDict()
        self._reserved = 0
        self._lock = threading.Lock()

    def __len__(self) -> int:
        return len(self._games)

    def reserve(self) -> None:
        """Holds a place for a game being made; refused when every place is taken."""
        with self._lock:
            self._expire()
            if len(self._games) + self._reserved >= self.capacity:
                raise Refused(429, f"{self.capacity} games are open, the most this server keeps: close one, or wait "
                                   f"until one has been idle for {self.idle / 60:g} minutes")
            self._reserved += 1

    def release(self) -> None:
        with self._lock:
            self._reserved -= 1

    def add(self, session: PlaySession) -> str:
        """Fills a reserved place; the new game's id."""
        key = secrets.token_urlsafe(16)
        with self._lock:
            self._reserved -= 1
            session.used = self.clock()
            self._games[key] = session
        return key

    def get(self, key: str) -> PlaySession:
        with self._lock:
            self._expire()
            session = self._games.get(key)
            if session is None:
                raise Refused(404, "no such game: it was closed, or it expired after being idle")
            session.used = self.clock()
            self._games.move_to_end(key)
            return session

    def remove(self, key: str) -> None:
        with self._lock:
            if self._games.pop(key, None) is None:
                raise Refused(404, "no such game: it was closed, or it expired after being idle")

    def _expire(self) -> None:
        # Kept in order of use, so the idle ones come first.
        now = self.clock()
        while self._games:
            key, session = next(iter(self._games.items()))
            if now - session.used < self.idle:
                break
            del self._games[key]
