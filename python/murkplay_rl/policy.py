"""The policy over legal slots on the torch side: one softmax, and everything that draws or
scores a slot through it; and a small dense policy network for self-play.

``log_probs`` is the one softmax: a row's logits over its allowed entries, -inf at the rest.
The update scores the slots played with it, ``sample_slots`` draws from it, and
``legal_log_probs`` runs it over a row's legal slots only (a few dozen columns instead of 4352,
see ``legal_slots``), which is what makes the update's softmax cheap. The batch's own
``step(logits, by="logits")`` is the same distribution on the native side.

Imports torch: import this module only where torch is wanted.
"""

from __future__ import annotations

import math

import numpy as np

import murkplay_rl
from murkplay_rl._optional import require

torch = require("torch", "torch", "murkplay_rl.policy")

OBSERVATION_SIZE = 64 * 35


def policy_network(hidden: int = 256) -> torch.nn.Sequential:
    """A few dense layers from the 64 x 35 observation (one, or a batch of them) to one logit
    per policy slot."""
    if isinstance(hidden, bool) or not isinstance(hidden, int) or hidden < 1:
        raise ValueError(f"hidden must be a whole number of at least 1, not {hidden!r}")
    return torch.nn.Sequential(
        torch.nn.Flatten(start_dim=-2),
        torch.nn.Linear(OBSERVATION_SIZE, hidden),
        torch.nn.ReLU(),
        torch.nn.Linear(hidden, hidden),
        torch.nn.ReLU(),
        torch.nn.Linear(hidden, murkplay_rl.ACTION_COUNT),
    )


def log_probs(logits: torch.Tensor, allowed: torch.Tensor | None = None) -> torch.Tensor:
    """The log softmax of each row over its ``allowed`` entries (every entry not already -inf
    when None); -inf at every other entry."""
    if allowed is not None:
        logits = logits.masked_fill(~allowed, -math.inf)
    return logits.log_softmax(-1)


def legal_log_probs(logits: torch.Tensor, legal: torch.Tensor, valid: torch.Tensor) -> torch.Tensor:
    """``log_probs`` of full rows of logits, column by column of ``legal`` (each row's legal
    slots, real where ``valid``; -inf at the padding)."""
    return log_probs(logits.gather(1, legal), valid)


def entropy(log_probs: torch.Tensor) -> torch.Tensor:
    """Entropy of each row of log-probabilities (the -inf entries add nothing)."""
    # Zeroed rather than selected away: 0 * -inf would put NaN in the gradient.
    return -(log_probs.exp() * log_probs.masked_fill(torch.isinf(log_probs), 0.0)).sum(1)


def sample_slots(logits: torch.Tensor, generator: torch.Generator) -> torch.Tensor:
    """One slot per row, drawn from ``log_probs(logits)`` (-inf at the slots not allowed).

    Inverting the cumulative distribution costs a tenth of ``torch.multinomial`` on rows of 4352.
    torch.rand stays below 1 and its product with the row's total rounds below the total, so
    every draw lands where the cumulative sum rises: on an allowed slot. A row with no allowed
    slot at all gives a slot out of range, which no game may be asked to play.
    """
    cumulative = log_probs(logits).exp_().cumsum_(1)
    draw = torch.rand(len(logits), 1, generator=generator) * cumulative[:, -1:]
    return torch.searchsorted(cumulative, draw, right=True)[:, 0]


def legal_slots(mask: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The slots of each row of a legal-slot mask, ascending and padded to the longest row, and
    where they are real: the support of the policy."""
    rows, slots = np.nonzero(mask)
    counts = np.bincount(rows, minlength=len(mask))
    width = max(int(counts.max(initial=0)), 1)
    column = np.arange(len(rows)) - np.repeat(np.cumsum(counts) - counts, counts)
    legal = np.zeros((len(mask), width), np.int64)
    legal[rows, column] = slots
    return legal, np.arange(width) < counts[:, None]
