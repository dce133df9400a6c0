"""Foresight: each legal move's score in a short search of positions drawn from the mover's
belief, which a network with ``network.foresight`` adds to its logits.

A network reads one observation and searches nothing, so the piece it cannot see takes its king:
most of its losses to greedy end so. The belief (``BatchBeliefs``) knows only what the side has
seen, and a search of a few plies over a few positions drawn from it (two over 8 by default:
``network.foresight_depth``, ``network.foresight_samples``) tells which moves leave the king to
be taken and what a capture into the fog is likely to win. The network adds that score, in
pawns (a king taken or lost counts thirty), times a learnt weight to each legal move's logit,
and learns when to trust it. The same function serves the trainer's rollouts and the agent.

Beliefs follow one batch from its games' start (``belief_agent.Following``): a trainer's
rollouts follow their batch from the run's start, and a resumed run's games in progress are
scored 0 until they restart, since the checkpoint keeps no beliefs.

Imports torch.
"""

from __future__ import annotations

import numpy as np

import murkplay_rl
from murkplay_rl._checks import MAX_SEED, flag, integer, positive
from murkplay_rl._native import MAX_SEARCH_DEPTH, MAX_SEARCH_SAMPLES, NO_MOVE
from murkplay_rl._optional import require
from murkplay_rl.belief_agent import Following, _Followed
from murkplay_rl.codes import CodeRows, module_inputs
from murkplay_rl.train_config import NetworkConfig

torch = require("torch", "torch", "foresight")

from murkplay_rl.search_agent import KING, white_to_move  # noqa: E402  (imports the network, and torch)

# The most positions a belief keeps exactly, a fifth of the belief agent's: its update then
# costs about a third as much, and two plies of search on it alone beat greedy 0.945 (200 games;
# 0.885 at 256 positions, 0.965 at 5,000).
LIMIT = 1_000
# How the shipped network plays (``pretrained()``): it learnt with two plies over 8 positions,
# the most a rollout affords, and plays better looking a ply further over twice the positions
# (against the belief agent, 200 games: 0.485 as learnt, 0.535 at three plies, 0.588 at three
# over 16), since the learnt weight only says how far to trust the score.
SHIPPED = {"depth": 3, "samples": 16}
LEARNT = NetworkConfig()  # how far a network learns to look by default


def looks_ahead(network) -> bool:
    """Whether ``network`` adds foresight to its logits."""
    return bool(getattr(getattr(network, "config", None), "foresight", 0))


class Beliefs(_Followed):
    """Both sides' beliefs about one batch's games, and the last move each side played there."""

    def __init__(self, batch, seed: int = 0, threads: int | None = None, limit: int = LIMIT,
                 depth: int = LEARNT.foresight_depth, samples: int = LEARNT.foresight_samples):
        super().__init__(batch, limit, seed)
        self.threads = threads
        self.depth = depth
        self.samples = samples
        self.fresh = True

    def look(self, step) -> np.ndarray:
        """float32 (len(step.moves),): every listed move's score in pawns to its mover, in the
        listing's order (0 where the belief does not follow the game). Brings the beliefs up to
        ``step`` first; call it once a step, then ``saw``."""
        scores = np.zeros(len(step.moves), np.float32)
        for side, beliefs in self.beliefs.items():
            if not self.fresh:
                beliefs.update(self.played[side], threads=self.threads)
            table = beliefs.scores(samples=self.samples, depth=self.depth, king=KING, threads=self.threads)
            if not table.shape[1]:
                continue
            # NaN where the side does not move or is not followed
            games = np.flatnonzero(~np.isnan(table[:, 0]) & (np.diff(step.offsets) > 0))
            rows, columns, entries = _listed(step, games)
            scores[entries] = table[games[rows], columns] / 100
        self.fresh = False
        return scores

    def saw(self, step, played: np.ndarray) -> None:
        """Records ``played`` (the move code of every game, as the step after ``step`` reports
        it) as each mover's move where its belief follows the game."""
        going = ~(step.terminated | step.truncated)
        white = white_to_move(step)
        for side, beliefs in self.beliefs.items():
            games = going & (white == side) & beliefs.following
            self.played[side][games] = played[games]
        self.restarting(step)


def dense(step, scores: np.ndarray, rows: np.ndarray) -> np.ndarray:
    """float32 (len(rows), 4352): the ``scores`` of ``look`` at each listed move's slot in the
    games ``rows``, 0 at every other slot."""
    out = np.zeros((len(rows), murkplay_rl.ACTION_COUNT), np.float32)
    row, _, entries = _listed(step, rows)
    out[row, step.slots[entries]] = scores[entries]
    return out


def _listed(step, games: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Every listed move of ``games`` in the step's listing: the index into ``games`` of its
    game, its position in that game's list, and its index in the listing."""
    counts = np.diff(step.offsets)[games]
    rows = np.repeat(np.arange(len(games)), counts)
    columns = np.arange(len(rows)) - np.repeat(np.cumsum(counts) - counts, counts)
    return rows, columns, step.offsets[games][rows] + columns


class ForesightAgent(Following):
    """A network with foresight as an agent: it follows one batch from its games' start with
    both sides' beliefs (as the belief agent does) and draws each move from the softmax of its
    logits and foresight over the legal slots at ``temperature`` (``sample=False``: the best),
    from a random stream of its own (``seed``). ``limit``: the most positions a belief keeps
    exactly (the trainer's, ``LIMIT``, by default); ``depth`` and ``samples``: the plies of its
    search and the positions it draws (None: the network's ``foresight_depth`` and
    ``foresight_samples``, those it learnt with)."""

    observes = True

    def __init__(self, network, *, sample: bool = True, temperature: float = 1.0, name: str = "foresight",
                 seed: int = 0, limit: int = LIMIT, depth: int | None = None, samples: int | None = None,
                 threads: int | None = None, device=None):
        if not looks_ahead(network):
            raise ValueError("network has no foresight: play it with agents.TorchAgent")
        self.module = network.eval()
        learnt = network.config
        self.depth = learnt.foresight_depth if depth is None else integer("depth", depth, 1, MAX_SEARCH_DEPTH)
        self.samples = (learnt.foresight_samples if samples is None
                        else integer("samples", samples, 1, MAX_SEARCH_SAMPLES))
        self.sample = flag("sample", sample)
        self.temperature = positive("temperature", temperature)
        self.name = name
        self.seed = integer("seed", seed, 0, MAX_SEED)
        self.limit = integer("limit", limit, 2, 2**32 - 1)
        self.threads = None if threads is None else integer("threads", threads, 1, murkplay_rl.MAX_THREADS)
        self.device = torch.device(device or "cpu")
        self._draws = np.random.default_rng(self.seed)

    def _beliefs_of(self, batch) -> Beliefs:
        return Beliefs(batch, self.seed, self.threads, self.limit, self.depth, self.samples)

    @torch.inference_mode()
    def act(self, step, batch):
        if step is None or (step.observation is None and step.codes is None):
            raise ValueError(f"agent {self.name!r} needs observations: step the batch with observe=True")
        followed, _ = self._follow(step, batch)
        scores = followed.look(step)
        positions = np.zeros(len(batch), np.int64)
        played = np.full(len(batch), NO_MOVE, np.uint16)
        games = np.flatnonzero(np.diff(step.offsets) > 0)
        if len(games):
            shown = CodeRows.of(step) if step.observation is None else step.observation
            observation = module_inputs(self.module, shown[games], self.device)
            bias = torch.from_numpy(dense(step, scores, games)).to(self.device)
            logits = self.module(observation, foresight=bias).float().cpu().numpy()
            for row, game in enumerate(games.tolist()):
                listed = slice(step.offsets[game], step.offsets[game + 1])
                positions[game] = self._draw(logits[row, step.slots[listed]])
            played[games] = step.moves[step.offsets[games] + positions[games]]
        followed.saw(step, played)
        return "position", positions

    @property
    def reads_codes(self) -> bool:
        """Whether its network reads observations as codes, which the trainer's does."""
        return bool(getattr(self.module, "reads_codes", False))

    def _draw(self, logits: np.ndarray) -> int:
        if not self.sample:
            return int(np.argmax(logits))
        weights = np.exp((logits - logits.max()) / self.temperature)
        return int(self._draws.choice(len(weights), p=weights / weights.sum()))

    def __repr__(self) -> str:
        return f"ForesightAgent({self.name!r}, sample={self.sample}, temperature={self.temperature})"


def agent(network, *, sample: bool = True, temperature: float = 1.0, name: str | None = None, device=None,
          **search):
    """The agent that plays ``network``: a ``ForesightAgent`` (with ``search``, its ``depth`` and
    ``samples``) when it has foresight, else a ``TorchAgent``."""
    from murkplay_rl.agents import TorchAgent

    if looks_ahead(network):
        return ForesightAgent(network, sample=sample, temperature=temperature, name=name or "foresight",
                              device=device, **search)
    return TorchAgent(network, sample=sample, temperature=temperature, name=name, device=device)
