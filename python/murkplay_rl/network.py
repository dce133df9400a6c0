"""The trainer's policy-value network, and the registry of the networks a checkpoint may name.

The observation is 64 cells of 35 features on the mover's oriented board, and a policy slot is
``64 * source + destination`` (or ``4096 + 4 * source + piece`` for a promotion) on the same
orientation. So the network keeps the board's shape all the way: every cell is embedded on its
own, a few 3 x 3 convolutions spread what stands where over the 8 x 8 board (each one also mixes
in the average of the whole board, so a rook's file or a far king is one layer away, not
seven), and a move's logit is the dot product of its source cell's query and its destination
cell's key. A capture of the king or of a queen is then one feature of the destination cell,
learnt once for every source, rather than 4096 separate weights of a dense head; and the
network has 47,717 parameters at its default sizes, cheap on two CPU cores and a small file.

Imports torch: import this module only where torch is wanted.
"""

from __future__ import annotations

import math
from types import MappingProxyType

import torch
from torch import nn

from murkplay_rl import _king_lines as king_lines
from murkplay_rl.codes import decode_tensor
from murkplay_rl.policy import policy_network
from murkplay_rl.train_config import NetworkConfig

FEATURES = 35
SQUARES = 64
SQUARE_PAIRS = SQUARES * SQUARES  # the slots of moves that do not promote: 64 * source + destination
# Pawn, knight, bishop, rook and queen: their usual worth in pawns, and how many a side starts with.
PIECE_VALUES = (1.0, 3.0, 3.0, 5.0, 9.0)
START_COUNTS = (8.0, 2.0, 2.0, 2.0, 1.0)
CONTENTS = 13  # what a cell may hold: an own pawn .. king, an opponent's pawn .. king, or nothing
OWN_PIECES = slice(0, 5)  # the observation's features of an own pawn .. queen on a cell
TAKEN = slice(30, 35)  # (start count - opponent's pawns .. queens left) / start count, in every cell


def material(observation: torch.Tensor) -> torch.Tensor:
    """The mover's material less the opponent's, in pawns, as the observation tells them: its own
    pieces it always sees, and how many of each kind the opponent has left it is told."""
    worth = observation.new_tensor(PIECE_VALUES)
    own = observation[:, :, OWN_PIECES].sum(1) @ worth
    left = observation.new_tensor(START_COUNTS) * (1 - observation[:, 0, TAKEN])
    return own - left @ worth


class _Block(nn.Module):
    """One residual step: a 3 x 3 convolution plus the board's average, through a ReLU."""

    def __init__(self, channels: int):
        super().__init__()
        self.conv = nn.Conv2d(channels, channels, 3, padding=1)
        self.board = nn.Linear(channels, channels)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        mixed = self.conv(x) + self.board(x.mean((2, 3)))[:, :, None, None]
        return x + torch.relu(mixed)


def _floats(observation) -> torch.Tensor:
    """The float observation of a network's input. Codes (CodeRows of tensors) are expanded
    where they are, on the device: the floats there are the batch's bit for bit, so a network
    trains and plays alike on either (CellEmbedding skips the floats, equal to the linear
    layer only up to rounding)."""
    if isinstance(observation, torch.Tensor):
        return observation
    return decode_tensor(observation.codes, observation.ages, observation.shared)


class PolicyValueNet(nn.Module):
    """Observations (N, 64, 35) to logits (N, 4352) by ``forward``; ``evaluate`` also gives the
    value (N,) in [-1, 1]: the mover's expected result. Either takes the observations as codes
    too (``murkplay_rl.codes.CodeRows`` of tensors), with the same outputs."""

    reads_codes = True

    def __init__(self, config: NetworkConfig = NetworkConfig()):
        super().__init__()
        self.config = config
        c = config.channels
        self.embed = nn.Linear(FEATURES + (king_lines.PLANES if config.lines else 0), c)
        self.place = nn.Parameter(torch.zeros(SQUARES, c))  # what the convolutions' padding cannot tell
        self.blocks = nn.ModuleList(_Block(c) for _ in range(config.blocks))
        self.query = nn.Linear(c, config.key)
        self.key = nn.Linear(c, config.key)
        self.promotion = nn.Linear(c, 4)
        self.value_head = nn.Sequential(nn.Linear(2 * c, c), nn.ReLU(), nn.Linear(c, 1))
        if config.material:
            # The value starts from the material balance, which a capture changes at once, so that
            # a piece given away costs the move that gave it long before the game's end says so.
            self.material_weight = nn.Parameter(torch.tensor(config.material))
        if config.foresight:
            # Learnt, so that the policy finds how far a search of a few guessed positions is to
            # be trusted (``murkplay_rl.foresight``).
            self.foresight_weight = nn.Parameter(torch.tensor(config.foresight))
        if config.guess:
            # Trained to guess what stands on every cell, the trunk learns where hidden pieces are
            # likely to be; the guess is a lesson of training and never an input to a move.
            self.guess_head = nn.Linear(c, CONTENTS)
        # Near-uniform moves at the start, so the first games explore.
        for layer in (self.query, self.key, self.promotion):
            nn.init.normal_(layer.weight, std=0.01)
            nn.init.zeros_(layer.bias)

    def _cells(self, observation: torch.Tensor) -> torch.Tensor:
        if self.config.lines:
            observation = torch.cat((observation, king_lines.king_lines(observation)), -1)
        x = self.embed(observation) + self.place  # (N, 64, C)
        x = x.transpose(1, 2).reshape(len(x), self.config.channels, 8, 8)
        for block in self.blocks:
            x = block(x)
        return x.flatten(2).transpose(1, 2)  # (N, 64, C)

    def _logits(self, cells: torch.Tensor, foresight: torch.Tensor | None) -> torch.Tensor:
        moves = self.query(cells) @ self.key(cells).transpose(1, 2) / math.sqrt(self.config.key)
        return self._foreseen(torch.cat((moves.flatten(1), self.promotion(cells).flatten(1)), 1), foresight)

    def _foreseen(self, logits: torch.Tensor, foresight: torch.Tensor | None) -> torch.Tensor:
        """``logits`` plus the learnt weight times ``foresight``, the moves' scores in pawns at
        the same columns, where the network has foresight; without ``foresight``, its policy
        alone (what the search agent's choice among equal moves reads)."""
        if not self.config.foresight or foresight is None:
            return logits
        return logits + self.foresight_weight * foresight

    def _value(self, cells: torch.Tensor, observation: torch.Tensor) -> torch.Tensor:
        value = self.value_head(torch.cat((cells.mean(1), cells.amax(1)), 1))[:, 0]
        if self.config.material:
            value = value + self.material_weight * material(observation)
        return torch.tanh(value)

    def forward(self, observation: torch.Tensor, foresight: torch.Tensor | None = None) -> torch.Tensor:
        return self._logits(self._cells(_floats(observation)), foresight)

    def evaluate(self, observation: torch.Tensor,
                 foresight: torch.Tensor | None = None) -> tuple[torch.Tensor, torch.Tensor]:
        """Logits and value; ``foresight`` (N, 4352) is each legal slot's score in pawns, which a
        network with foresight adds (``murkplay_rl.foresight``) and any other ignores."""
        observation = _floats(observation)
        cells = self._cells(observation)
        return self._logits(cells, foresight), self._value(cells, observation)

    def evaluate_slots(self, observation: torch.Tensor, slots: torch.Tensor,
                       foresight: torch.Tensor | None = None) -> tuple[torch.Tensor, ...]:
        """The logits of ``slots`` only, (N, width) of slot numbers, and the value: what the
        update needs, without the 4352 logits of every row. Equal to ``evaluate``'s logits
        gathered at ``slots`` (``foresight`` then is (N, width) too). With a guess head, its
        logits (N, 64, 13) of each cell's true contents come third."""
        observation = _floats(observation)
        cells = self._cells(observation)
        logits = self._foreseen(self._slot_logits(cells, slots), foresight), self._value(cells, observation)
        return (*logits, self.guess_head(cells)) if self.config.guess else logits

    def _slot_logits(self, cells: torch.Tensor, slots: torch.Tensor) -> torch.Tensor:
        promoting = slots >= SQUARE_PAIRS
        pair = slots.masked_fill(promoting, 0)
        query = self.query(cells).gather(1, (pair // SQUARES)[..., None].expand(-1, -1, self.config.key))
        key = self.key(cells).gather(1, (pair % SQUARES)[..., None].expand(-1, -1, self.config.key))
        moves = (query * key).sum(-1) / math.sqrt(self.config.key)
        promotions = self.promotion(cells).flatten(1).gather(1, (slots - SQUARE_PAIRS).clamp(min=0))
        return torch.where(promoting, promotions, moves)


# The networks a checkpoint may name, by name: what builds each from the keyword arguments the
# file holds. A file names one of these and never code, so loading it runs only the package's.
NETWORKS = MappingProxyType({
    "PolicyValueNet": lambda **settings: PolicyValueNet(NetworkConfig(**settings)),
    "policy_network": policy_network,
})


def load_network(path, device: str = "cpu") -> PolicyValueNet:
    """The network of a trainer's checkpoint (or of the small file ``export`` writes), in eval
    mode; ValueError naming the file when it holds none."""
    from murkplay_rl import checkpoint

    saved = checkpoint.read(path)
    return checkpoint.trainer_network(path, saved, device)


def export(source, path) -> None:
    """Writes the network of the checkpoint ``source`` alone: what ``load_network`` needs and
    nothing more."""
    from murkplay_rl import checkpoint

    network = load_network(source)
    checkpoint.write(path, {"network": network.config.to_dict(), "model": network.state_dict()})
