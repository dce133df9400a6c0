"""``murkplay_rl.codes.CellEmbedding``, kept apart because it imports torch."""

from __future__ import annotations

import torch
from torch import nn

from murkplay_rl.codes import FEATURES, _tensors, embed_codes


class CellEmbedding(nn.Module):
    """Embeds every cell of an observation given as codes as ``Linear(35, d)`` embeds the float
    cells: ``forward(codes, ages, shared)`` (tensors or arrays, or one record holding them)
    gives (..., 64, d). Its parameters are a Linear's, ``weight`` (d, 35) and ``bias`` (d,), so
    ``from_linear`` converts a trained layer and ``to_linear`` gives one back."""

    def __init__(self, dim: int, *, bias: bool = True, device=None, dtype=None):
        super().__init__()
        linear = nn.Linear(FEATURES, dim, bias=bias, device=device, dtype=dtype)
        self.weight = linear.weight
        self.bias = linear.bias

    @classmethod
    def from_linear(cls, linear: nn.Linear) -> CellEmbedding:
        if not isinstance(linear, nn.Linear) or linear.in_features != FEATURES:
            raise ValueError(f"from_linear takes a Linear over the {FEATURES} features of a cell, not {linear!r}")
        embedding = cls(linear.out_features, bias=linear.bias is not None, device=linear.weight.device,
                        dtype=linear.weight.dtype)
        embedding.load_state_dict(linear.state_dict())
        return embedding

    def to_linear(self) -> nn.Linear:
        linear = nn.Linear(FEATURES, self.weight.shape[0], bias=self.bias is not None, device=self.weight.device,
                           dtype=self.weight.dtype)
        linear.load_state_dict(self.state_dict())
        return linear

    def forward(self, codes, ages=None, shared=None) -> torch.Tensor:
        codes, ages, shared = _tensors(codes, ages, shared, self.weight.device)
        return embed_codes(self.weight, self.bias, codes, ages, shared)

    def extra_repr(self) -> str:
        return f"dim={self.weight.shape[0]}, bias={self.bias is not None}"
