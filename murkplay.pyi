# Type information for the native murkplay module.
from typing import Any, Callable, Protocol, final

__all__ = ["SelfPlayGame"]

class _HasFen(Protocol):
    # python-chess boards have a `fen()` method; a plain str attribute is read as well.
    @property
    def fen(self) -> Callable[[], str] | str: ...

class _HasUci(Protocol):
    # python-chess moves have a `uci()` method; a plain str attribute is read as well.
    @property
    def uci(self) -> Callable[[], str] | str: ...

@final
class SelfPlayGame:
    """One game of fog-of-war chess: the true position and each side's memory of what it saw."""

    def __new__(cls, board: str | _HasFen | None = None) -> SelfPlayGame:
        """A game from the start position, FEN text, or a python-chess Board (its fen())."""
    @property
    def turn(self) -> bool:
        """True when White is to move."""
    @property
    def board(self) -> list[list[int]]:
        """The true placement, rank 8 first: 0 empty, 1 to 6 pawn to king, negative for Black."""
    def castle_eligible(self) -> tuple[bool, bool]:
        """The (king side, queen side) castling rights of the side to move, rights only."""
    def clone(self) -> SelfPlayGame:
        """An independent copy, fog memories included."""
    def current_player(self) -> bool:
        """True when White is to move, as `turn`."""
    # python-chess `Move` objects; typed loosely so that checking a client needs no chess.
    def legal_actions(self) -> list[Any]:
        """The moves of the side to move as python-chess Moves, in the order of legal_actions_uci()."""
    def legal_actions_uci(self) -> list[str]:
        """The moves of the side to move as UCI text; there is no check, so a king may be taken."""
    def apply(self, action: str | _HasUci) -> None:
        """Plays a move given as UCI text or a python-chess Move; a move onto a king ends the game."""
    def is_terminal(self) -> bool:
        """True once a king has been captured."""
    def terminal_value(self, player_is_white: bool) -> float:
        """1.0 if that side has won, -1.0 if it has lost, 0.0 while no king has been taken."""
    # A `torch.Tensor` of shape (64, 35); typed loosely so that checking needs no torch.
    def encode(self, oracle: bool = False) -> Any:
        """The 64 x 35 observation of the side to move as a float32 torch tensor."""
    def encode_flattened(self, oracle: bool = False) -> list[float]:
        """The same 2240 observation values as a flat list of floats."""
    def action_index(self, action: str | _HasUci) -> int:
        """The policy slot (0 to 4351) of a move, seen from the side to move."""
