"""The search agent: the belief agent's determinised search, with a trained network choosing
among the moves it finds best.

At each of its turns it draws ``samples`` positions from its side's belief about the hidden
board (``BatchBeliefs``, which knows only what the side has seen) and searches every legal move
``depth`` plies deep in each, as the belief agent does (material counts, and a king taken or
lost), but with a king worth ``king`` in a sample (thirty pawns) where the belief agent puts it
above any material: one drawn position in sixteen that loses the king no longer outweighs
material won in all of them. Material leaves many moves equal, most of all in quiet positions,
where the belief agent draws one at random: this agent plays the one its network's policy likes
best instead.
Two options look again at the ``candidates`` among the best that the policy likes most: with
``deeper`` they are searched that many plies deep on fresh samples and the best of them by that
search is played (the policy's favourite among equals); with ``value=True`` the network's value
decides, each candidate played in every drawn position and what follows valued from the
opponent's side, every position of every game in one forward pass.

It plays through the agents' protocol, ``act(step, batch) -> ("position", positions)``, and
follows one batch at a time with a belief per side, as the belief agent does: it must see a
batch's games from their start. Imports torch.
"""

from __future__ import annotations

import numpy as np

import murkplay_rl
from murkplay_rl._checks import MAX_SEED, flag, integer
from murkplay_rl._native import MAX_SEARCH_DEPTH, MAX_SEARCH_SAMPLES, MIN_KING_SCORE, WIN_SCORE
from murkplay_rl._optional import require
from murkplay_rl.belief_agent import Following

torch = require("torch", "torch", "the search agent")

from murkplay_rl.network import SQUARE_PAIRS  # noqa: E402  (imports torch)

KING_SEEN = 11  # the observation's feature of a seen opponent king
# What a king taken or lost counts for in one sample, in hundredths of a pawn: thirty pawns, so
# that a king lost in one position of sixteen weighs about two pawns won in all of them. Counted
# above any material, every such position made the agent give up material against a danger its
# belief mostly shows wrongly; a tenth of this left games unfinished, the kings no longer chased.
KING = 3_000
_CHUNK = 4096  # positions per forward pass


class SearchAgent(Following):
    """Belief samples searched with material, the network's policy choosing among the best.

    network: a ``PolicyValueNet`` (None: the shipped one of ``pretrained()``); samples:
    positions drawn from each game's belief per search (1 to ``MAX_SEARCH_SAMPLES``); depth:
    plies searched from each, its own move included (1 to ``MAX_SEARCH_DEPTH``); candidates:
    how many of the best moves (the policy's favourites) are looked at again (1 to 256);
    deeper: the plies of the second search over them (0: none; else 1 to ``MAX_SEARCH_DEPTH``);
    value: whether the network's value of what follows decides among them instead; king: what a
    king taken or lost within the depth counts for in a sample, in hundredths of a pawn
    (``MIN_KING_SCORE``, a pawn, to ``WIN_SCORE``, which puts it above any material);
    limit: the most positions a belief keeps exactly; seed: of the beliefs' random streams;
    threads: native threads for the beliefs and the search (None: the batch's own).
    """

    # The policy reads the observation; the rest is the belief's.
    observes = True

    def __init__(self, network=None, *, samples: int = 16, depth: int = 4, candidates: int = 4, deeper: int = 0,
                 value: bool = False, king: int = KING, limit: int = 5_000, seed: int = 0, threads: int | None = None,
                 device: str = "cpu", name: str = "search"):
        if network is None:
            from murkplay_rl._pretrained import shipped_network

            network = shipped_network(device)
        if not hasattr(network, "evaluate"):
            raise TypeError(f"network must be a policy-value network with evaluate(), not {type(network).__name__}")
        self.network = network.eval()
        self.samples = integer("samples", samples, 1, MAX_SEARCH_SAMPLES)
        self.depth = integer("depth", depth, 1, MAX_SEARCH_DEPTH)
        self.value = flag("value", value)
        self.king = integer("king", king, MIN_KING_SCORE, WIN_SCORE)
        self.candidates = integer("candidates", candidates, 1, 256)
        self.deeper = integer("deeper", deeper, 0, MAX_SEARCH_DEPTH)
        self.limit = integer("limit", limit, 2, 2**32 - 1)
        self.seed = integer("seed", seed, 0, MAX_SEED)
        self.threads = None if threads is None else integer("threads", threads, 1, murkplay_rl.MAX_THREADS)
        self.device = torch.device(device)
        self.name = name

    def act(self, step, batch):
        if step is None or step.observation is None:
            raise ValueError(f"agent {self.name!r} needs observations: step the batch with observe=True")
        followed, fresh = self._follow(step, batch)
        going = ~(step.terminated | step.truncated)
        white = white_to_move(step)
        # Games not followed (written into the batch since) take any legal move, as the batch ignores
        # the move of a game that restarts.
        positions = np.zeros(len(batch), dtype=np.int64)
        for side, beliefs in followed.beliefs.items():
            if not fresh:
                beliefs.update(followed.played[side], threads=self.threads)
            games = np.flatnonzero(going & (white == side) & beliefs.following)
            if len(games):
                positions[games] = self._search(step, beliefs, games)
                followed.played[side][games] = step.moves[step.offsets[games] + positions[games]]
        followed.restarting(step)
        return "position", positions

    @torch.inference_mode()
    def _search(self, step, beliefs, games: np.ndarray) -> np.ndarray:
        """The chosen move of each of ``games``, where the beliefs' side moves, as a position in
        its legal list."""
        logits, _ = self.network.evaluate(torch.from_numpy(step.observation[games]).to(self.device))
        logits = logits.float().cpu().numpy()
        scores = beliefs.scores(samples=self.samples, depth=self.depth, king=self.king, threads=self.threads)
        orders = []
        for row, game in enumerate(games):
            listed = slice(step.offsets[game], step.offsets[game + 1])
            prior = logits[row, step.slots[listed]]
            score = scores[game, :len(prior)]
            searched = ~np.isnan(score)  # NaN throughout where the beliefs would not act: any move then
            best = score == score[searched].max() if searched.any() else ~searched
            order = np.flatnonzero(best)[np.argsort(-prior[best], kind="stable")]  # the policy's favourites first
            orders.append(order[:self.candidates])
        if self.value:
            return self._valued(step, beliefs, games, orders)
        if self.deeper:
            orders = self._deepened(beliefs, games, orders, scores.shape[1])
        return np.array([order[0] for order in orders], dtype=np.int64)

    def _deepened(self, beliefs, games: np.ndarray, orders: list, width: int) -> list:
        """Each game's ``orders`` narrowed to the best of them by a search ``deeper`` plies deep,
        in the same order; a game with one candidate keeps it unsearched."""
        among = np.zeros((len(beliefs.following), width), bool)
        for game, order in zip(games, orders):
            if len(order) > 1:
                among[game, order] = True
        if not among.any():
            return orders
        deep = beliefs.scores(samples=self.samples, depth=self.deeper, king=self.king, threads=self.threads,
                              among=among)
        narrowed = []
        for game, order in zip(games, orders):
            score = deep[game, order]
            narrowed.append(order[score == np.nanmax(score)] if len(order) > 1 and not np.isnan(score).all() else order)
        return narrowed

    def _valued(self, step, beliefs, games: np.ndarray, orders: list) -> np.ndarray:
        """Of each game's ``orders``, the move whose successors the network values best over
        positions drawn from the belief (the policy's favourite among equals)."""
        leaves, plans = [], []
        for game, order in zip(games, orders):
            drawn = beliefs[int(game)].sample(self.samples)
            moves = [murkplay_rl.move_uci(int(code)) for code in step.moves[step.offsets[game] + order]]
            for position in drawn:
                for move in moves:
                    leaf = position.clone()
                    leaf.apply(move)
                    leaves.append(leaf)
            plans.append(len(drawn))
        counts = [drawn * len(order) for order, drawn in zip(orders, plans)]
        values = self._values(leaves, np.repeat(np.where(white_to_move(step)[games], 0, 1), counts))
        chosen = np.empty(len(games), dtype=np.int64)
        start = 0
        for row, (order, drawn) in enumerate(zip(orders, plans)):
            if not drawn:  # no position to value: the policy's own choice
                chosen[row] = order[0]
                continue
            mean = values[start:start + drawn * len(order)].reshape(drawn, len(order)).mean(0)
            start += drawn * len(order)
            chosen[row] = order[int(np.argmax(mean))]
        return chosen

    def _values(self, leaves: list, side: np.ndarray) -> np.ndarray:
        """Each leaf's worth to ``side`` (0 White, 1 Black), the side that moved into it."""
        if not leaves:
            return np.zeros(0, np.float32)
        report = murkplay_rl.GameBatch(leaves).observe()
        worth = np.full(len(leaves), -1.0, np.float32)  # where the opponent can take the king
        ended = report.terminated | report.truncated  # a king taken, or no move left to the opponent
        worth[ended] = report.values[ended, side[ended]]
        open_leaves = np.flatnonzero(~ended & ~_takes_king(report, 1 - side))
        for start in range(0, len(open_leaves), _CHUNK):
            rows = open_leaves[start:start + _CHUNK]
            _, value = self.network.evaluate(torch.from_numpy(report.observation[rows]).to(self.device))
            worth[rows] = -value.float().cpu().numpy()
        return worth


def white_to_move(step) -> np.ndarray:
    """Whether White is to move in each game of a step (False where no move is listed): a
    slot names squares on the mover's board, mirrored for Black, so a listed move's source
    square is its slot's exactly when White moves. (A ply count would not tell: a game may
    start with Black to move.)"""
    counts = np.diff(step.offsets)
    white = np.zeros(len(counts), bool)
    listed = np.flatnonzero(counts)
    code, slot = step.moves[step.offsets[listed]].astype(np.int64), step.slots[step.offsets[listed]]
    source = np.where(slot < SQUARE_PAIRS, slot // 64, (slot - SQUARE_PAIRS) // 4)
    white[listed] = source == code & 63
    return white


def _takes_king(report, mover: np.ndarray) -> np.ndarray:
    """The positions where the side to move (``mover``: 0 White, 1 Black) can take the other
    king: a legal move of its lands on the square where it sees that king."""
    cells = report.observation[:, :, KING_SEEN] > 0
    seen = cells.any(1)
    cell = cells.argmax(1)
    square = np.where(mover == 0, cell, cell ^ 56)  # cells are on the mover's oriented board
    counts = np.diff(report.offsets)
    destination = (report.moves.astype(np.int64) >> 6) & 63
    hits = destination == np.repeat(square, counts)
    taken = np.zeros(len(counts), bool)
    moving = np.flatnonzero(counts)
    taken[moving] = np.add.reduceat(hits, report.offsets[:-1][moving]) > 0
    return taken & seen
