"""A line of play: each position a ``Ply`` that points back to the one before it.

A ply is never changed once made (what it works out about itself it keeps), so every state
that reached it shares it: a clone is one reference, and a line that forks shares its common
start. What each player knows is read back along the line.
"""

from __future__ import annotations

from murkplay import SelfPlayGame
from murkplay_rl._native import ACTION_COUNT, move_code, move_uci
from murkplay_rl.openspiel import views

_BLACK_TO_MOVE = "4k3/8/8/8/8/8/8/4K3 b - - 0 1"
_NAMES = [f"{'abcdefgh'[q % 8]}{q // 8 + 1}" for q in range(64)]


def _index_tables(white: bool) -> tuple[dict[str, int], dict[int, str]]:
    """The native action index of every move text for one colour, both ways: a slot depends on
    the mover's colour and the move's text only. A promotion's slot reads back as its push."""
    game = SelfPlayGame() if white else SelfPlayGame(_BLACK_TO_MOVE)
    moves = [a + b for a in _NAMES for b in _NAMES]
    promotions = [_NAMES[s] + _NAMES[t] + piece for s in range(64) for t in range(64)
                  if abs(t // 8 - s // 8) == 1 and abs(t % 8 - s % 8) <= 1 for piece in "qrbn"]
    # The push first: straight on, onto the mover's last rank.
    promotions.sort(key=lambda text: (text[3] != ("8" if white else "1"), text[0] != text[2]))
    slots = {text: game.action_index(text) for text in moves + promotions}
    texts: dict[int, str] = {}
    for text, slot in slots.items():
        texts.setdefault(slot, text)
    return slots, texts


_SLOTS, _TEXTS = zip(*(_index_tables(white) for white in (False, True)))


def slot_of(game: SelfPlayGame, uci: str) -> int:
    return _SLOTS[game.turn][uci]


def legal_slots(game: SelfPlayGame) -> list[int]:
    """The slots of the mover's legal moves, ascending, each once."""
    return sorted(set(map(_SLOTS[game.turn].__getitem__, game.legal_actions_uci())))


def slot_text(slot: int, white: bool) -> str:
    return _TEXTS[white][slot]


class Ply:
    __slots__ = ("parent", "game", "move", "action", "ply", "rules", "beliefs", "_slots", "_over", "_view",
                 "_information")

    def __init__(self, parent: Ply | None, game: SelfPlayGame, move: int | None, rules, action: int | None = None):
        self.parent = parent
        self.game = game  # never changed after this
        self.move = move  # the move code that led here
        self.action = action  # its slot, as the history records it
        self.ply = 0 if parent is None else parent.ply + 1
        self.rules = rules
        # Each player's belief as last brought up to this ply or one before it: where the
        # states here begin when they need one (see FogChessState.belief).
        self.beliefs = [None, None] if parent is None else parent.beliefs.copy()
        self._slots = None
        self._over = None
        self._view = None
        self._information = {}

    # A ply is a value: copies share it.
    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self

    def __reduce__(self):
        moves = []
        at = self
        while at.parent is not None:
            moves.append(at.move)
            at = at.parent
        return replayed, (self.rules, tuple(reversed(moves)))

    def slots(self) -> list[int]:
        """The legal slots of the side to move, ascending (the caller's to read, not change)."""
        if self._slots is None:
            self._slots = legal_slots(self.game)
        return self._slots

    def move_of(self, slot: int, white: bool) -> int:
        """The move code a slot plays here: the first listed move with it, where it is legal."""
        if isinstance(slot, bool) or not 0 <= slot < ACTION_COUNT:
            raise ValueError(f"an action is a slot from 0 to {ACTION_COUNT - 1}, not {slot}")
        game = self.game
        if game.turn == white:
            for uci in game.legal_actions_uci():
                if slot_of(game, uci) == slot:
                    return move_code(uci)
        return move_code(slot_text(slot, white))

    def is_over(self) -> bool:
        if self._over is None:
            self._over = self.game.is_terminal() or self.ply >= self.rules.max_plies or not self.slots()
        return self._over

    def going_on(self) -> None:
        """Records that the game goes on here (for plies of a history known to go on)."""
        if self._over is None:
            self._over = False

    def returns(self) -> tuple[float, float]:
        game = self.game
        if not game.is_terminal():
            return 0.0, 0.0
        return game.terminal_value(True), game.terminal_value(False)

    def mover(self) -> int:
        return 0 if self.game.turn else 1

    def view(self) -> str:
        """What the side to move sees here."""
        if self._view is None:
            self._view = views.turn_view(self.game)
        return self._view

    def last_turn(self, player: int) -> Ply:
        """Where ``player`` last saw the board: its latest turn up to here (a side sees at its
        turns only, as its memory is refreshed then), or the known start before its first."""
        at = self
        while at.parent is not None and (at.mover() != player or at.is_over()):
            at = at.parent
        return at

    def path(self) -> list[Ply]:
        """The line from its first position to this one."""
        line = []
        at = self
        while at is not None:
            line.append(at)
            at = at.parent
        line.reverse()
        return line

    def descends_from(self, other: Ply) -> bool:
        at = self
        while at is not None and at.ply > other.ply:
            at = at.parent
        return at is other

    def information(self, player: int) -> str:
        """All that ``player`` has seen and done, a line each: its view at each of its turns,
        each followed by the move it made; ``over`` and the returns once the game has ended."""
        known = self._information.get(player)
        if known is not None:
            return known
        # Walk back to a ply that already knows, then forward, leaving what is learnt behind.
        pending = []
        at = self
        while at is not None and player not in at._information:
            pending.append(at)
            at = at.parent
        text = at._information[player] if at is not None else ""
        for ply in reversed(pending):
            if ply.parent is not None and ply.parent.mover() == player:
                text += move_uci(ply.move) + "\n"
            head = text
            if ply.is_over():
                returns = ply.returns()
                head = f"{text}over {returns[0]:+g} {returns[1]:+g}\n"
            elif ply.mover() == player:
                text += ply.view() + "\n"
                head = text
            ply._information[player] = head
        return self._information[player]

    def learnt(self, player: int, information: str) -> None:
        """Records what ``player`` knows here, worked out on another line that showed it the same."""
        self._information[player] = information

    def public(self) -> str:
        """What both players know: the ply, and the end once it has come."""
        if self.is_over():
            returns = self.returns()
            return f"ply {self.ply} over {returns[0]:+g} {returns[1]:+g}"
        return f"ply {self.ply}"


def follow(at: Ply, code: int, action: int | None = None) -> Ply:
    """The ply after the move ``code``, which must be one of the mover's legal moves."""
    game = at.game
    text = move_uci(code)
    if text not in game.legal_actions_uci():
        raise ValueError(f"{text} is not a legal move at ply {at.ply}")
    if action is None:
        action = slot_of(game, text)
    after = game.clone()
    after.apply(text)
    return Ply(at, after, code, at.rules, action)


def replayed(rules, moves) -> Ply:
    """The line of the moves ``moves`` (move codes) from the game's start, each checked."""
    at = rules.root
    for code in moves:
        at = follow(at, int(code))
    return at
