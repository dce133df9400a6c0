"""The trainer's policy-value network, and the masked distribution over policy slots.

The observation is 64 cells of 35 features on the mover's oriented board, and a policy slot is
``64 * source + destination`` (or ``4096 + 4 * source + piece`` for a promotion) on the same
orientation. So the network keeps the board's shape all the way: every cell is embedded on its
own, a few 3 x 3 convolutions spread what stands where over the 8 x 8 board (each one also mixes
in the average of the whole board, so a rook's file or a far king is one layer away, not
seven), and a move's logit is the dot product of its source cell's query and its destination
cell's key. A capture of the king or of a queen is then one feature of the destination cell,
learnt once for every source, rather than 4096 separate weights of a dense head; and the
network is about 60 thousand parameters, cheap on two CPU cores and a small file.

Imports torch: import this module only where torch is wanted.
"""

from __future__ import annotations

import math
from dataclasses import asdict, dataclass

import torch
from torch import nn

FEATURES = 35
SQUARES = 64
PROMOTION_BLOCK = 4096


@dataclass(frozen=True)
class NetworkConfig:
    channels: int = 32  # features of every cell between the layers
    blocks: int = 4  # 3 x 3 convolutions over the board
    key: int = 16  # size of a cell's query and key, whose dot product is a move's logit

    def to_dict(self) -> dict:
        return asdict(self)


class _Block(nn.Module):
    """One residual step: a 3 x 3 convolution plus the board's average, through a ReLU."""

    def __init__(self, channels: int):
        super().__init__()
        self.conv = nn.Conv2d(channels, channels, 3, padding=1)
        self.board = nn.Linear(channels, channels)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        mixed = self.conv(x) + self.board(x.mean((2, 3)))[:, :, None, None]
        return x + torch.relu(mixed)


class PolicyValueNet(nn.Module):
    """Observations (N, 64, 35) to logits (N, 4352) by ``forward``; ``evaluate`` also gives the
    value (N,) in [-1, 1]: the mover's expected result."""

    def __init__(self, config: NetworkConfig = NetworkConfig()):
        super().__init__()
        self.config = config
        c = config.channels
        self.embed = nn.Linear(FEATURES, c)
        self.place = nn.Parameter(torch.zeros(SQUARES, c))  # what the convolutions' padding cannot tell
        self.blocks = nn.ModuleList(_Block(c) for _ in range(config.blocks))
        self.query = nn.Linear(c, config.key)
        self.key = nn.Linear(c, config.key)
        self.promotion = nn.Linear(c, 4)
        self.value_head = nn.Sequential(nn.Linear(2 * c, c), nn.ReLU(), nn.Linear(c, 1), nn.Tanh())
        # Near-uniform moves at the start, so the first games explore.
        for layer in (self.query, self.key, self.promotion):
            nn.init.normal_(layer.weight, std=0.01)
            nn.init.zeros_(layer.bias)

    def _cells(self, observation: torch.Tensor) -> torch.Tensor:
        x = self.embed(observation) + self.place  # (N, 64, C)
        x = x.transpose(1, 2).reshape(len(x), self.config.channels, 8, 8)
        for block in self.blocks:
            x = block(x)
        return x.flatten(2).transpose(1, 2)  # (N, 64, C)

    def _logits(self, cells: torch.Tensor) -> torch.Tensor:
        moves = self.query(cells) @ self.key(cells).transpose(1, 2) / math.sqrt(self.config.key)
        return torch.cat((moves.flatten(1), self.promotion(cells).flatten(1)), 1)

    def forward(self, observation: torch.Tensor) -> torch.Tensor:
        return self._logits(self._cells(observation))

    def evaluate(self, observation: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        cells = self._cells(observation)
        pooled = torch.cat((cells.mean(1), cells.amax(1)), 1)
        return self._logits(cells), self.value_head(pooled)[:, 0]


def masked_log_probs(logits: torch.Tensor, mask: torch.Tensor) -> torch.Tensor:
    """log softmax over the legal slots only; -inf at every other slot."""
    return logits.masked_fill(~mask, -math.inf).log_softmax(1)


def legal_log_probs(logits: torch.Tensor, legal: torch.Tensor, valid: torch.Tensor) -> torch.Tensor:
    """log softmax over each row's legal slots (``legal``, real where ``valid``); -inf at the
    padding. The same distribution as ``masked_log_probs``, column by column of ``legal``."""
    return logits.gather(1, legal).masked_fill(~valid, -math.inf).log_softmax(1)


def entropy(log_probs: torch.Tensor) -> torch.Tensor:
    """Entropy of each row of masked log-probabilities (the -inf slots add nothing)."""
    # Zeroed rather than selected away: 0 * -inf would put NaN in the gradient.
    return -(log_probs.exp() * log_probs.masked_fill(torch.isinf(log_probs), 0.0)).sum(1)


def load_network(path, device: str = "cpu") -> PolicyValueNet:
    """The network of a checkpoint (or of the small file ``export`` writes), in eval mode."""
    saved = torch.load(path, map_location=device, weights_only=True)
    network = PolicyValueNet(NetworkConfig(**saved["network"])).to(device)
    network.load_state_dict(saved["model"])
    return network.eval()


def export(checkpoint, path) -> None:
    """Writes the network of ``checkpoint`` alone: what ``load_network`` needs and nothing more."""
    saved = torch.load(checkpoint, map_location="cpu", weights_only=True)
    torch.save({"network": saved["network"], "model": saved["model"]}, path)
