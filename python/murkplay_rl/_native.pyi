# Type information for murkplay_rl's native engine.
from typing import Any, Literal, NamedTuple, Protocol, Sequence, SupportsIndex, final, overload

from murkplay import SelfPlayGame

ACTION_COUNT: int
NO_MOVE: int
MAX_MOVES: int
MAX_THREADS: int
MAX_SEARCH_DEPTH: int
MAX_SEARCH_SAMPLES: int
WIN_SCORE: int
MIN_KING_SCORE: int
# The built-in agents' names, in the order of the native agents: by= and reply= take them.
AGENTS: tuple[str, ...]

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
    reply_slot: _Array | None
    restarting: _Array
    codes: _Array | None = None
    ages: _Array | None = None
    shared: _Array | None = None

class LegalMoves(NamedTuple):
    """The legal moves of one game as arrays."""

    moves: _Array
    slots: _Array
    mask: _Array

class Replay(NamedTuple):
    """Recorded games played again: arrays with one row per ply."""

    observation: _Array | None
    mask: _Array
    slot: _Array
    outcome: _Array
    codes: _Array | None = None
    ages: _Array | None = None
    shared: _Array | None = None

class Codes(NamedTuple):
    """One observation as codes: murkplay_rl.codes.decode turns it into the float observation."""

    codes: _Array
    ages: _Array
    shared: _Array

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
    def observe(
        self, *, oracle: bool = False, out: _Outputs | None = None, codes: bool = False, mask: bool = True,
    ) -> Step:
        """Reports on every game as it stands, changing none."""
    def step(
        self, actions: Sequence[int] | _Array | None = None, *,
        by: Literal["position", "slot", "logits", "random", "greedy", "cautious"] = "position", oracle: bool = False,
        observe: bool = True, out: _Outputs | None = None, reply: Literal["random", "greedy", "cautious"] | None = None,
        temperature: float = 1.0, greedy: bool = False, codes: bool = False, mask: bool = True,
    ) -> Step:
        """Plays one move in every game: named by position or slot, drawn from logits, or chosen by a built-in agent;
        then, with reply, a built-in agent's answer in every game that goes on."""
    def step_random(
        self, *, oracle: bool = False, observe: bool = True, out: _Outputs | None = None, codes: bool = False,
        mask: bool = True,
    ) -> Step:
        """Plays a uniformly random legal move in every game, from each game's own stream of the seed."""
    def reset(self, games: Sequence[SupportsIndex] | None = None) -> None:
        """Restarts the given games (all when None) from the start position."""
    def __reduce__(self) -> tuple[Any, ...]: ...
    @classmethod
    def _from_bytes(cls, payload: bytes, /) -> GameBatch: ...

@final
class BeliefTracker:
    """One side's belief about a game's hidden position: every true position consistent with what
    it has seen since the known start, exact up to `limit`, a uniform random sample beyond."""

    def __new__(cls, game: SelfPlayGame, side: bool, *, limit: int = 100000, seed: int = 0) -> BeliefTracker: ...
    def __len__(self) -> int: ...
    def update(self, /, game: SelfPlayGame, played: str | SupportsIndex | None = None) -> None:
        """Brings the belief up to the tracked side's turn; `played` is its move since the last update (UCI text or a
        move code). ValueError, nothing changed, for a move that is not the one the side made or an update repeated;
        KeyboardInterrupt stops a long update, changing nothing."""
    def sample(self, k: int, /) -> list[SelfPlayGame]:
        """Up to k distinct kept positions, uniformly without replacement, with the side's fog memory."""
    def keeps(self, game: SelfPlayGame, /) -> bool:
        """Whether the game's true position is among the kept ones."""
    def marginals(self, /) -> _Array:
        """float32 (64, 13): per square (a1 first), the share of positions with each piece or none."""
    @property
    def side(self) -> bool: ...
    @property
    def size(self) -> float: ...
    @property
    def size_error(self) -> float: ...
    @property
    def exact(self) -> bool: ...
    @property
    def sampling(self) -> bool: ...
    @property
    def regenerated(self) -> bool: ...
    @property
    def regenerations(self) -> int: ...
    @property
    def candidates_checked(self) -> int: ...

@final
class BatchBeliefs:
    """One BeliefTracker per game of a GameBatch, for one side, updated together natively.

    A belief starts at each game's known start, never at its true board: a game at ply 0 is its own (a game written
    into or given to the batch is taken as known, as fen= makes the batch's start known); a later game that began at
    the batch's start is followed from there, owing the opponent's move since (enumerated at once) and the side's
    own first move (owed to the next update). Games whose past cannot be known are not followed (`following`)."""

    def __new__(cls, batch: GameBatch, side: bool, *, limit: int = 100000, seed: int = 0) -> BatchBeliefs: ...
    def __len__(self) -> int: ...
    def __getitem__(self, key: SupportsIndex, /) -> BeliefTracker: ...
    @property
    def batch(self) -> GameBatch: ...
    @property
    def following(self) -> _Array:
        """bool (games,): whether each game's belief follows the game, as of the last update."""
    def update(self, /, played: Sequence[int] | _Array | None = None, *, threads: int | None = None) -> None:
        """Brings every followed game's belief up to the side's turn; `played` holds its moves since (or NO_MOVE).
        An update missed or repeated is refused (ValueError naming the game); nothing changes on a refusal, a failure
        or KeyboardInterrupt."""
    def choose(self, /, *, samples: int = 8, depth: int = 3, king: int = 1000000, threads: int | None = None) -> _Array:
        """The belief agent's move in every followed game, as positions in the legal lists (-1 where the side does not
        move or the game is not followed). samples: 1 to MAX_SEARCH_SAMPLES; depth: 1 to MAX_SEARCH_DEPTH; king: what a
        king taken within the depth scores in a sample, MIN_KING_SCORE to WIN_SCORE hundredths of a pawn (less
        the plies it took)."""
    def scores(self, /, *, samples: int = 8, depth: int = 3, king: int = 1000000, threads: int | None = None,
               among: _Array | None = None) -> _Array:
        """What choose() weighs: float32 (games, width), each game's legal moves' average search scores in hundredths of
        a pawn, NaN past its moves and where choose() would not act; with among (bool, (games, any width)), only
        the moves it flags are searched."""
    def reset(self, /, games: Sequence[SupportsIndex] | None = None) -> None:
        """Starts the given games' beliefs afresh at each game's known start as it is now."""

@overload
def observe(
    game: SelfPlayGame, out: _Array | None = None, *, oracle: bool = False, viewer: bool | None = None,
    codes: Literal[False] = False,
) -> _Array:
    """A game's observation as a float32 (64, 35) array, into `out` when given."""
@overload
def observe(
    game: SelfPlayGame, out: _Outputs | None = None, *, oracle: bool = False, viewer: bool | None = None,
    codes: Literal[True],
) -> Codes:
    """A game's observation as codes, into the arrays `out` names when given."""

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
    codes: bool = False,
) -> Replay:
    """Recorded games played again, one row per ply: what the mover saw, the mask, the slot played, the outcome."""
