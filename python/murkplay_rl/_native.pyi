# Type information for murkplay_rl's native engine.
from typing import Any, Literal, NamedTuple, Protocol, Sequence, SupportsIndex, final

from murkplay import SelfPlayGame

ACTION_COUNT: int
NO_MOVE: int
MAX_MOVES: int
MAX_THREADS: int

# Arrays are numpy arrays, or any object with the buffer protocol where the caller supplies one;
# typed loosely so that checking a client needs no numpy.
_Array = Any

class _Outputs(Protocol):
    """Any object whose attributes name output arrays; a Step from an earlier call serves."""

class Step(NamedTuple):
    """The outputs of one batched call: arrays, game after game."""

    observation: _Array | None
    mask: _Array | None
    offsets: _Array
    moves: _Array
    slots: _Array
    terminated: _Array
    truncated: _Array
    values: _Array
    plies: _Array
    played_move: _Array
    played_slot: _Array
    log_prob: _Array | None
    entropy: _Array | None
    reply_move: _Array | None

class LegalMoves(NamedTuple):
    """The legal moves of one game as arrays."""

    moves: _Array
    slots: _Array
    mask: _Array

class Replay(NamedTuple):
    """Recorded games played again: arrays with one row per ply."""

    observation: _Array
    mask: _Array
    slot: _Array
    outcome: _Array

@final
class GameBatch:
    """Many fog-of-war games held in native memory and stepped together."""

    def __new__(
        cls,
        games: int | Sequence[SelfPlayGame],
        *,
        fen: str | None = None,
        max_plies: int = 0,
        auto_reset: bool = False,
        seed: int = 0,
        threads: int = 1,
    ) -> GameBatch: ...
    def __len__(self) -> int: ...
    def __getitem__(self, key: SupportsIndex, /) -> SelfPlayGame: ...
    def __setitem__(self, key: SupportsIndex, value: SelfPlayGame, /) -> None: ...
    def __delitem__(self, key: SupportsIndex, /) -> None: ...
    @property
    def threads(self) -> int: ...
    @threads.setter
    def threads(self, value: int) -> None: ...
    @property
    def max_plies(self) -> int: ...
    @property
    def auto_reset(self) -> bool: ...
    @property
    def seed(self) -> int: ...
    def observe(self, *, oracle: bool = False, out: _Outputs | None = None) -> Step:
        """Reports on every game as it stands, changing none."""
    def step(
        self, actions: Sequence[int] | _Array | None = None, *,
        by: Literal["position", "slot", "logits", "random", "greedy", "cautious"] = "position", oracle: bool = False,
        observe: bool = True, out: _Outputs | None = None, reply: Literal["random", "greedy", "cautious"] | None = None,
        temperature: float = 1.0, greedy: bool = False,
    ) -> Step:
        """Plays one move in every game: named by position or slot, drawn from logits, or chosen by a built-in agent;
        then, with reply, a built-in agent's answer in every game that goes on."""
    def step_random(self, *, oracle: bool = False, observe: bool = True, out: _Outputs | None = None) -> Step:
        """Plays a uniformly random legal move in every game, from each game's own stream of the seed."""
    def reset(self, games: Sequence[SupportsIndex] | None = None) -> None:
        """Restarts the given games (all when None) from the start position."""
    def __reduce__(self) -> tuple[Any, ...]: ...
    @classmethod
    def _from_bytes(cls, payload: bytes, /) -> GameBatch: ...

def observe(game: SelfPlayGame, out: _Array | None = None, *, oracle: bool = False, viewer: bool | None = None) -> _Array:
    """A game's observation as a float32 (64, 35) array, into `out` when given."""

def legal_moves(game: SelfPlayGame, mask: _Array | None = None) -> LegalMoves:
    """A game's legal moves, their slots and the slot mask, as arrays."""

def apply_slot(game: SelfPlayGame, slot: int, /) -> int:
    """Plays the first listed legal move with this slot and returns its move code."""

def move_uci(code: int, /) -> str:
    """The UCI text of a move code."""

def move_code(uci: str, /) -> int:
    """The move code of UCI text."""

def restore_game(payload: bytes, /) -> SelfPlayGame:
    """The game a pickled SelfPlayGame holds."""

def replay(
    starts: Sequence[str | SelfPlayGame],
    moves: Sequence[int] | _Array,
    offsets: Sequence[int] | _Array,
    *,
    oracle: bool = False,
    threads: int = 1,
    out: _Outputs | None = None,
) -> Replay:
    """Recorded games played again, one row per ply: what the mover saw, the mask, the slot played, the outcome."""
