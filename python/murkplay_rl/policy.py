"""A small torch policy for self-play, and drawing a legal slot from its logits.

Imports torch: import this module only where torch is wanted.
"""

from __future__ import annotations

import murkplay_rl
from murkplay_rl._optional import require

torch = require("torch", "torch", "murkplay_rl.policy")

OBSERVATION_SIZE = 64 * 35


def policy_network(hidden: int = 256) -> torch.nn.Sequential:
    """A few dense layers from the 64 x 35 observation (one, or a batch of them) to one logit
    per policy slot."""
    return torch.nn.Sequential(
        torch.nn.Flatten(start_dim=-2),
        torch.nn.Linear(OBSERVATION_SIZE, hidden),
        torch.nn.ReLU(),
        torch.nn.Linear(hidden, hidden),
        torch.nn.ReLU(),
        torch.nn.Linear(hidden, murkplay_rl.ACTION_COUNT),
    )


def sample_slots(logits: torch.Tensor, generator: torch.Generator) -> torch.Tensor:
    """One slot per row, drawn from the softmax of ``logits`` (-inf at the slots not allowed).

    Inverting the cumulative distribution costs a tenth of ``torch.multinomial`` on rows of 4352.
    torch.rand stays below 1 and its product with the row's total rounds below the total, so
    every draw lands where the cumulative sum rises: on an allowed slot. A row with no allowed
    slot at all gives a slot out of range, which no game may be asked to play.
    """
    cumulative = torch.softmax(logits, 1).cumsum_(1)
    draw = torch.rand(len(logits), 1, generator=generator) * cumulative[:, -1:]
    return torch.searchsorted(cumulative, draw, right=True)[:, 0]
