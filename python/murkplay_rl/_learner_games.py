"""The learner's games: N games on one batch in which the learner plays one side against an
opponent agent, every game left at the learner's turn after each move.

Every environment and library adapter of the package plays through this one class, so each
rule below holds for all of them:

- The learner's slots are played natively in one call; a built-in opponent replies in that
  same call (``reply=``), any other agent (a network, the belief agent, the caller's own) in
  one more call with one ``act`` for every game, its logits drawn natively.
- A slot that is not legal loses the game at once (-1, terminated); the batch plays a legal
  move in its place, and the game is restarted like any other that ended.
- A game that ended is shown as the learner's own view of its last position, with the mask of
  the learner's last move there (no move is legal any more, but a masked sampler must never
  meet an empty row; the action chosen for it is not read). Restarting it is the caller's
  choice (``restart`` or, for the games of the step before, ``play(..., skip=...)``), since
  that is what Gymnasium's autoreset modes differ by.
- The opponent plays only from what its side sees: its observations are never the oracle's.
- The view is held as the floats or, with ``codes``, as codes (``murkplay_rl.codes``), the
  batch stepped so that the other form is never built.

A batch steps all of its games at once, so a game restarted while others go on is started
here (and, when the opponent moves first, opened on a small batch of its own and written
back) rather than left to the batch; the Step's ``restarting`` says which games the batch
itself will restart at its next call, which these rules rely on instead of keeping a record
of their own.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

import murkplay_rl
from murkplay import SelfPlayGame
from murkplay_rl import agents, codes as code_arrays, render
from murkplay_rl._checks import flag, integer, ply_limit

# The arrays a Step shows a game in, under their names there, with their shape for one game
# and their type: the floats, or the codes.
_LAYOUTS = {
    False: {"observation": ((64, 35), np.float32)},
    True: {"codes": ((code_arrays.CELLS, 2), np.uint8), "ages": ((code_arrays.CELLS,), np.uint16),
           "shared": ((code_arrays.SHARED_VALUES,), np.uint8)},
}


class Played(NamedTuple):
    """What one move of the learner in every game came to; the arrays are new."""

    view: dict  # the learner's view of each game as shown, by the names a Step gives its arrays
    mask: np.ndarray  # bool (N, 4352): its legal slots there; in a game shown ended, those of its last move
    rewards: np.ndarray  # float32 (N,)
    terminated: np.ndarray  # bool (N,)
    truncated: np.ndarray  # bool (N,)
    illegal: np.ndarray  # bool (N,): lost by a slot that was not legal
    final_rows: np.ndarray  # int64: the games that ended
    final_view: dict | None  # the learner's view of their end (len(final_rows) rows), when they
    # restart at once (else None: it is the one shown)
    final_mask: np.ndarray  # bool (len(final_rows), 4352): the learner's legal slots at its last move there


class LearnerGames:
    """``count`` games in which the learner plays ``side`` (0 White, 1 Black) against
    ``opponent`` (an agent or an agent's name); ``view`` (as floats, or as codes with
    ``codes``) and ``mask`` show each game to the learner."""

    def __init__(self, count: int, *, opponent, side: int, max_plies: int, fen, oracle: bool, threads: int,
                 seed: int, codes: bool = False):
        self.count = integer("num_envs", count, 1)
        self.side = side
        self.oracle = flag("oracle", oracle)
        self.codes = flag("codes", codes)
        self._layout = _LAYOUTS[self.codes]
        self.opponent = agents.load(opponent)
        self._reply = agents.builtin_name(self.opponent)
        self._opponent_observes = agents.observes(self.opponent)
        # An opponent that reads codes is given them where the learner's view is codes too.
        self._opponent_codes = self.codes and agents.reads_codes(self.opponent)
        self.max_plies = ply_limit(max_plies)
        self._fen = fen
        start = SelfPlayGame(fen)
        # Whether the opponent has the first move, which a restarted game needs played before
        # the learner sees it.
        self.opens = start.turn != (side == 0)
        if self.opens and self.max_plies == 1:
            raise ValueError("max_plies must be 0 or at least 2 when the opponent moves first: "
                             "its opening move would end every game")
        # An opened game is written into the batch, which then counts its plies from after the
        # opening move.
        limit = self.max_plies - 1 if self.opens and self.max_plies else self.max_plies
        self._seeds = np.random.default_rng(seed)
        self.batch = murkplay_rl.GameBatch(self.count, fen=fen, max_plies=limit, auto_reset=True,
                                           seed=self._new_seed(),
                                           threads=integer("threads", threads, 1, murkplay_rl.MAX_THREADS))
        self._flat = np.arange(self.count) * murkplay_rl.ACTION_COUNT
        self._between = None  # the arrays of the opponent's turn, reused
        self._start = None if self.opens else murkplay_rl.GameBatch(1, fen=fen).observe(oracle=self.oracle,
                                                                                         codes=self.codes)
        self.view = self._empty(self.count)
        self.mask = np.empty((self.count, murkplay_rl.ACTION_COUNT), dtype=bool)
        # Where a legal move of each game as the batch holds it is found, to be played where the
        # learner's is not: the last call's listing, and the first slots of the games restarted since.
        self._listing = None
        self._renewed: dict[int, int] = {}
        # The games the batch restarts at its next call instead of playing them.
        self._restarting = np.zeros(self.count, dtype=bool)
        self._restart(np.arange(self.count))

    def _new_seed(self) -> int:
        return int(self._seeds.integers(2**63))

    @property
    def observation(self) -> np.ndarray:
        """float32 (N, 64, 35): the learner's view of each game as shown, as floats."""
        return self.view["observation"]

    def _empty(self, count: int) -> dict:
        return {name: np.empty((count, *shape), dtype) for name, (shape, dtype) in self._layout.items()}

    def _of(self, step) -> dict:
        """The view ``step`` shows."""
        return {name: getattr(step, name) for name in self._layout}

    def restart(self, rows) -> None:
        """Starts the games ``rows`` afresh, at the learner's turn (after the opponent's
        opening move when it moves first), and shows them so in new arrays."""
        self.view, self.mask = {name: array.copy() for name, array in self.view.items()}, self.mask.copy()
        self._restart(np.asarray(rows, dtype=np.int64))

    def _restart(self, rows: np.ndarray) -> None:
        if not len(rows):
            return
        self.batch.reset(rows.tolist())  # a new episode: the games draw new random streams
        if self.opens:
            opener = murkplay_rl.GameBatch(len(rows), fen=self._fen, seed=self._new_seed())
            fresh = agents.play(self.opponent, opener.observe(codes=self._opponent_codes), opener,
                                oracle=self.oracle, codes=self.codes)
            for k, game in enumerate(rows.tolist()):
                self.batch[game] = opener[k]
            taken = np.arange(len(rows))
        else:
            fresh, taken = self._start, np.zeros(len(rows), dtype=np.int64)
        forget = getattr(self.opponent, "forget", None)
        if forget is not None:  # an agent that follows the games: these are new ones
            forget(rows.tolist())
        _put(self.view, rows, pick(self._of(fresh), taken))
        self.mask[rows] = fresh.mask[taken]
        self._renewed.update(zip(rows.tolist(), _first_slots(fresh)[taken].tolist()))
        self._restarting[rows] = False

    def play(self, slots, skip=None, *, restart_ended: bool, hold=None) -> Played:
        """The learner's move by ``slots`` in every game, then the opponent's.

        The games ``skip`` play no move of the learner's: they are shown restarted, rewarding
        and ending nothing. The games ``hold`` (none of them shown ended) play no move either
        and stay exactly as they are. With ``restart_ended`` a game that ends is restarted at
        once and shown so; otherwise it is shown as it ended, the learner's view of its last
        position with the mask of its last move, until it is restarted.
        """
        slots = _whole_numbers(slots, self.count)
        held = np.flatnonzero(hold) if hold is not None else np.empty(0, dtype=np.int64)
        if len(held):
            if getattr(self.opponent, "forget", None) is not None:
                raise ValueError(f"the opponent {self.opponent.name!r} follows its games, so games cannot be "
                                 "left out of a step: step every game")
            # The batch steps every game: a held one plays a stand-in move, then is written back.
            kept = [self.batch[game] for game in held.tolist()]
            kept_view = pick(self.view, held), self.mask[held]
            skip = hold if skip is None else skip | hold
        in_range = (slots >= 0) & (slots < murkplay_rl.ACTION_COUNT)
        legal = self.mask.reshape(-1).take(self._flat + np.where(in_range, slots, 0)) & in_range
        # Games whose move is not the learner's: lost by an illegal slot, or not to be played.
        out = ~legal if skip is None else ~legal | skip
        illegal = ~legal if skip is None else ~legal & ~skip
        if out.any():
            rows = np.flatnonzero(out)
            slots[rows] = self._substitutes(rows)
        shown_before, mask_before = self.view, self.mask
        finals = {}

        if self._reply is not None:
            last = self.batch.step(slots, by="slot", reply=self._reply, oracle=self.oracle, codes=self.codes)
            restarted = self._restarting
            ended = last.terminated | last.truncated
            terminated, rewards = last.terminated, last.values[:, self.side]
        else:
            between = self.batch.step(slots, by="slot", observe=self._opponent_observes, out=self._between,
                                      codes=self._opponent_codes)
            self._between = between
            ended_first = (between.terminated | between.truncated) & ~out
            # Read before the opponent's call, which restarts them.
            finals = {game: self.batch[game] for game in np.flatnonzero(ended_first).tolist()}
            if between.restarting.all():
                # Every game ended at the learner's move: the opponent has none to make, and
                # the games stay as they ended (the arrays of this call are reused, not shown).
                last = between._replace(**self._empty(self.count), mask=np.empty_like(self.mask))
                restarted = self._restarting
                ended, terminated, rewards = ended_first, between.terminated, between.values[:, self.side]
            else:
                terminated_first, rewards_first = between.terminated.copy(), between.values[:, self.side].copy()
                last = agents.play(self.opponent, between, self.batch, oracle=self.oracle, codes=self.codes)
                restarted = between.restarting
                ended = last.terminated | last.truncated | ended_first
                terminated = np.where(ended_first, terminated_first, last.terminated)
                rewards = np.where(ended_first, rewards_first, last.values[:, self.side])

        # A game's value is 0 until a king is taken, and a king taken ends it.
        if out.any():
            ended = ended & ~out
            terminated = terminated & ended
            rewards = np.where(ended, rewards, np.float32(0))
            rewards[illegal] = -1.0
            truncated = ended & ~terminated
            terminated = terminated | illegal
        else:
            rewards = rewards.copy()
            truncated = ended & ~terminated
            terminated = terminated.copy()

        self.view, self.mask = self._of(last), last.mask
        self._listing, self._renewed = last, {}
        self._restarting = last.restarting.copy()
        lost = ended | illegal
        final_rows = np.flatnonzero(lost)
        # The learner's view of each ended game goes where it is shown: into this call's new
        # arrays, or, when the games restart at once, into arrays of its own.
        final_view = self._empty(len(final_rows)) if restart_ended else None
        if len(final_rows):
            # The batch showed the side to move: the learner after taking the king, which
            # leaves the capturer to move, or at an even ply, which is the learner's turn.
            own = np.where(last.terminated, last.values[:, self.side] > 0, last.plies % 2 == 0)
        for k, game in enumerate(final_rows.tolist()):
            view = pick(final_view, k) if restart_ended else pick(self.view, game)
            if illegal[game]:  # the move was never played
                _put(view, ..., pick(shown_before, game))
            elif game not in finals and own[game]:
                if restart_ended:  # otherwise shown already
                    _put(view, ..., pick(self.view, game))
            else:
                self._observe(finals[game] if game in finals else self.batch[game], view)
        final_mask = mask_before[final_rows]
        if len(final_rows) and not restart_ended:
            self.mask[final_rows] = final_mask
        renew = (lost if skip is None else lost | skip) if restart_ended else skip
        if renew is not None and renew.any():
            # The batch restarted these games in its last call, at their start: the learner's
            # turn, unless the opponent opens.
            self._restart(np.flatnonzero(renew if self.opens else renew & ~restarted))
        if len(held):
            for game, record in zip(held.tolist(), kept):
                self.batch[game] = record  # which also keeps the batch from restarting it
            _put(self.view, held, kept_view[0])
            self.mask[held] = kept_view[1]
            self._renewed.update(zip(held.tolist(), np.argmax(kept_view[1], axis=1).tolist()))
            self._restarting[held] = False
        return Played(self.view, self.mask, rewards, terminated, truncated, illegal, final_rows, final_view,
                      final_mask)

    def _observe(self, game, view: dict) -> None:
        """Writes the learner's view of ``game`` (a SelfPlayGame) into one game's ``view``."""
        out = murkplay_rl.Codes(**view) if self.codes else view["observation"]
        murkplay_rl.observe(game, out, oracle=self.oracle, viewer=self.side == 0, codes=self.codes)

    def _substitutes(self, rows: np.ndarray) -> np.ndarray:
        """A legal slot of each game ``rows`` as the batch holds it (any where the batch
        restarts the game instead of playing it)."""
        listing = self._listing
        slots = np.zeros(len(rows), dtype=np.int64)
        if listing is not None and len(listing.slots):
            starts = listing.offsets[rows]
            found = listing.offsets[rows + 1] > starts
            slots[found] = listing.slots[starts[found]]
        for k, row in enumerate(rows.tolist()):
            slots[k] = self._renewed.get(row, slots[k])
        return slots

    # ------------------------------------------------------------------ reading

    def uci(self, game: int, slot) -> str:
        """The UCI text of the move a slot legal in game ``game`` as shown plays there."""
        slot = _slot(slot)
        if not (0 <= slot < murkplay_rl.ACTION_COUNT and self.mask[game, slot]):
            raise ValueError(f"slot {slot} is not legal in game {game} as shown")
        listed = murkplay_rl.legal_moves(self.batch[game])
        return murkplay_rl.move_uci(int(listed.moves[np.argmax(listed.slots == slot)]))

    def slot(self, game: int, uci) -> int:
        """The slot of a move legal in game ``game`` as shown, given as UCI text."""
        if not isinstance(uci, str):
            raise TypeError(f"uci must be text, not {type(uci).__name__}")
        code = murkplay_rl.move_code(uci)
        listed = murkplay_rl.legal_moves(self.batch[game])
        found = np.flatnonzero(listed.moves == code)
        if not (len(found) and self.mask[game].any()):
            raise ValueError(f"{uci} is not a legal move in game {game} as shown")
        return int(listed.slots[found[0]])

    def floats(self, game: int) -> np.ndarray:
        """float32 (64, 35): the learner's view of game ``game`` as shown, decoded from codes
        where it is held so."""
        view = pick(self.view, game)
        return code_arrays.decode(**view) if self.codes else view["observation"]

    def picture(self, game: int, mode: str):
        """Game ``game`` as ``render`` draws it: text (``"ansi"``) or the learner's view as an
        RGB frame (``"rgb_array"``)."""
        if mode == "rgb_array":
            return render.frame(self.floats(game), self.side == 0)
        learner = ("White", "Black")[self.side]
        status = (f"the learner plays {learner} against {self.opponent.name}: "
                  + ("the game has ended" if not self.mask[game].any() else f"{learner} to move"))
        return render.text(self.batch[game], status)


def pick(view: dict, index) -> dict:
    """The games ``index`` picks of ``view`` (views of its arrays where numpy indexing gives them)."""
    return {name: array[index] for name, array in view.items()}


def _put(view: dict, index, source: dict) -> None:
    """Writes ``source`` into the games ``index`` picks of ``view``."""
    for name, array in view.items():
        array[index] = source[name]


def _slot(value) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"slot must be an integer, not {type(value).__name__}")
    return int(value)


def _whole_numbers(actions, count: int) -> np.ndarray:
    """The learner's actions as int64 slots, one a game."""
    slots = np.asarray(actions)
    if slots.size != count:
        raise ValueError(f"actions must hold one slot for each of the {count} games, not {slots.size}")
    if slots.dtype.kind not in "iu":
        if slots.dtype.kind not in "f" or not np.array_equal(slots, np.floor(slots)):
            raise TypeError(f"actions must be whole numbers, not {slots.dtype}")
    return slots.reshape(count).astype(np.int64)


def _first_slots(step) -> np.ndarray:
    """The slot of each game's first legal move in ``step``'s listing (0 for a game without)."""
    starts = step.offsets[:-1]
    if not len(step.slots):
        return np.zeros(len(starts), dtype=np.int64)
    return np.where(step.offsets[1:] > starts, step.slots[np.minimum(starts, len(step.slots) - 1)], 0)
