"""A player's belief along a line of play, and the states drawn from it.

At each of the player's turns (and at the start) the belief keeps a generation: the positions
its native ``BeliefTracker`` keeps there (exact up to the game's ``belief_limit``, a uniform
sample of the successors of the kept positions above it), and for each the positions of the
generation before from which one opponent move leads to it. Those links come from trackers
started on each earlier position, so they are found by the same native comparison of views as
the belief itself. A drawn state walks the links back from a position of the last generation,
picking an opponent move for each step, and so has a history of its own that shows the player
exactly what the real one showed it.

A position the tracker placed afresh after losing every consistent one (``regenerated``) has
no link back; nor has one that only a capture-promotion sharing its slot with a push leads to,
which is not an action of the game. Neither is ever drawn. Should no kept position lead back
to the start, drawing raises ``ResampleError``.
"""

from __future__ import annotations

import threading

from murkplay_rl._native import MAX_MOVES, BeliefTracker, apply_slot, move_uci, restore_game
from murkplay_rl.openspiel.line import legal_slots
from murkplay_rl.openspiel.position import BOARD_BYTES, board_key, game_bytes


class ResampleError(ValueError):
    """No position the belief keeps is reached by a history of the game's actions."""


class Generation:
    """The kept positions at one of the player's turns (or at the start): what any line that
    shows the player the same things up to that turn shares."""

    __slots__ = ("ply", "view", "played", "prefix", "keys", "index", "parents", "replies", "_reachable")

    def __init__(self, ply, played, games, parents):
        self.ply = ply.ply  # the turn's ply number
        self.view = ply.view()  # what the player saw there
        self.played = played  # the player's move since the generation before, or None
        # Every kept position has the player's own memory and an empty one for the opponent, so
        # a game's bytes are this prefix followed by its board.
        self.prefix = game_bytes(games[0])[:-BOARD_BYTES] if games else b""
        self.keys = [board_key(game) for game in games]
        self.index = {key: i for i, key in enumerate(self.keys)}
        # parents[i]: positions of the generation before that lead here, only ones that lead
        # back to the start; None at the first generation.
        self.parents = parents
        # (i, j): the opponent's action that leads from position j of the generation before to
        # position i, once a draw has looked for it.
        self.replies = {}
        self._reachable = None

    def game(self, i):
        return restore_game(self.prefix + self.keys[i])

    def reachable(self) -> list[int]:
        """The positions a history of the game's actions reaches (all, at the first)."""
        if self._reachable is None:
            self._reachable = list(range(len(self.keys))) if self.parents is None else \
                [i for i, links in enumerate(self.parents) if links]
        return self._reachable

    def unlink(self, i: int, k: int) -> None:
        """Drops the k-th link of position i: it is no action of the game."""
        links = self.parents[i]
        links.pop(k)
        if not links:
            self._reachable = None


class Belief:
    """One player's belief along a line: a generation for each of its turns up to the last
    one asked about, and the line's ply at each. States on the line share it; a line that shows
    the player the same things (a drawn state's) shares its generations."""

    def __init__(self, start, white: bool):
        self.white = white
        self.player = 0 if white else 1
        self.generations = [Generation(start, None, [start.game], None)]
        self.plies = [start]
        self._tracker = None  # made, or brought up to the generations again, when first needed
        self._lock = threading.Lock()

    # Shared between states and their clones, rebuilt after unpickling.
    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self

    def __reduce__(self):
        return _no_belief, ()

    @classmethod
    def following(cls, at, white: bool, previous: Belief | None) -> Belief:
        """A belief for the line that ends at ``at``, sharing the generations of ``previous``
        for as long as the line shows the player what they record."""
        path = at.path()
        belief = cls(path[0], white)
        if previous is not None and previous.white == white and previous.plies[0] is path[0]:
            for generation in previous.generations[1:]:
                if generation.ply > at.ply:
                    break
                ply = path[generation.ply]
                before = belief.plies[-1]
                played = path[before.ply + 1].move if before.mover() == belief.player else None
                if ply.mover() != belief.player or ply.is_over() or played != generation.played \
                        or ply.view() != generation.view:
                    break
                belief.generations.append(generation)
                belief.plies.append(ply)
        return belief

    def follows(self, at) -> bool:
        """Whether ``at`` lies on this belief's line at or after its last generation."""
        return at.descends_from(self.plies[-1])

    def up_to(self, at) -> list[Generation]:
        """The generations of every turn of the player up to ``at``, made where missing."""
        with self._lock:
            last = self.plies[-1]
            for ply in at.path()[last.ply + 1:]:
                if ply.mover() == self.player and not ply.is_over():
                    self._advance(ply)
            return list(self.generations)

    def _played_since(self, ply):
        """The player's move since the last generation, None when it has not moved since."""
        before = self.plies[-1]
        return ply.path()[before.ply + 1].move if before.mover() == self.player else None

    def _tracked(self):
        """The native tracker, brought up to the last generation."""
        if self._tracker is None:
            start = self.plies[0]
            rules = start.rules
            tracker = BeliefTracker(start.game, self.white, limit=rules.belief_limit, seed=rules.belief_seed)
            for generation, ply in zip(self.generations[1:], self.plies[1:]):
                tracker.update(ply.game, None if generation.played is None else move_uci(generation.played))
            self._tracker = tracker
        return self._tracker

    def _advance(self, ply):
        previous = self.generations[-1]
        played = self._played_since(ply)
        text = None if played is None else move_uci(played)
        tracker = self._tracked()
        tracker.update(ply.game, text)
        games = tracker.sample(len(tracker))
        generation = Generation(ply, played, games, [[] for _ in games])
        for j in previous.reachable():
            # The successors of one earlier position that show the player this view. Most have
            # none, and a tracker that finds none places pieces afresh, up to its limit: so the
            # first probe keeps two, and only one that had more to keep runs again.
            start = previous.game(j)
            probe = BeliefTracker(start, self.white, limit=2)
            probe.update(ply.game, text)
            if probe.regenerated:
                continue
            if probe.sampling:
                probe = BeliefTracker(start, self.white, limit=MAX_MOVES)
                probe.update(ply.game, text)
            for game in probe.sample(len(probe)):
                i = generation.index.get(board_key(game))
                if i is not None:
                    generation.parents[i].append(j)
        self.generations.append(generation)
        self.plies.append(ply)


def _no_belief():
    return None


def resampled_line(belief: Belief, at, sampler) -> list[int]:
    """The actions of a history drawn from the belief that ends where ``at`` stands for the
    player: at a position the belief keeps, with the player's own moves and views."""
    generations = belief.up_to(at)
    path = at.path()
    mover = 0 if belief.white else 1
    last = generations[-1]
    # Positions of the last turn from which the game cannot have gone on as the player saw it
    # since (an opponent who took its king needs a piece that could).
    ruled_out = set()
    while True:
        reachable = [i for i in last.reachable() if i not in ruled_out]
        if not reachable:
            raise ResampleError(
                f"no position that {'White' if belief.white else 'Black'}'s belief keeps at ply {last.ply} "
                "is reached by the game's actions (the tracker had to place the hidden pieces afresh)")
        chosen = reachable[_draw(sampler, len(reachable))]
        line = _walk_back(generations, len(generations) - 1, chosen, path, mover, sampler)
        if line is not None and _finish(line, path, last.ply, mover, sampler):
            return line
        if line is not None:
            ruled_out.add(chosen)


def _finish(line, path, last, mover, sampler) -> bool:
    """Extends ``line`` from the player's last turn to the end of ``path``: the player's own
    move, then, where the game ended, an opponent move that ends it the same way; False where
    there is none."""
    world = _replay(path[0].game, line)
    for ply in path[last + 1:]:
        if ply.parent.mover() == mover:
            slot = ply.action
        else:
            endings = [slot for slot in legal_slots(world) if _ends_as(world, slot, ply)]
            if not endings:
                return False
            slot = endings[_draw(sampler, len(endings))]
        apply_slot(world, slot)
        line.append(slot)
    return True


def _walk_back(generations, t, i, path, mover, sampler):
    """Actions from the start to position ``i`` of generation ``t``, or None when no link
    back is an action of the game (those links are dropped)."""
    if t == 0:
        return []
    generation, previous = generations[t], generations[t - 1]
    links = generation.parents[i]
    while links:
        k = _draw(sampler, len(links))
        j = links[k]
        own = [ply.action for ply in path[previous.ply + 1:generation.ply] if ply.parent.mover() == mover]
        reply = generation.replies.get((i, j), -1)
        if reply == -1:
            world = previous.game(j)
            for action in own:
                apply_slot(world, action)
            target = generation.keys[i]
            reply = generation.replies[i, j] = next(
                (slot for slot in legal_slots(world) if board_key(_after(world, slot)) == target), None)
        if reply is not None:
            earlier = _walk_back(generations, t - 1, j, path, mover, sampler)
            if earlier is not None:
                return earlier + own + [reply]
        generation.unlink(i, k)
    return None


def _draw(sampler, count: int) -> int:
    return min(int(sampler() * count), count - 1)


def _after(game, slot):
    after = game.clone()
    apply_slot(after, slot)
    return after


def _ends_as(world, slot, ply) -> bool:
    """Whether the opponent's move ``slot`` ends the game as it ended at ``ply``."""
    after = _after(world, slot)
    truth = ply.game
    if truth.is_terminal():
        return after.is_terminal() and after.terminal_value(True) == truth.terminal_value(True)
    if after.is_terminal():
        return False
    return ply.ply >= ply.rules.max_plies or not after.legal_actions_uci()


def _replay(start, actions):
    world = start.clone()
    for action in actions:
        apply_slot(world, action)
    return world
