"""The trainer's score against a built-in agent: half the games as White, half as Black.

Imports torch: import this module only where torch is wanted.
"""

from __future__ import annotations

import math

import numpy as np
import torch

import murkplay_rl
from murkplay_rl.network import masked_log_probs
from murkplay_rl.policy import sample_slots


@torch.no_grad()
def score(network, baseline: str, *, games: int, max_plies: int, seed: int, threads: int = 1,
          device: torch.device | str = "cpu") -> tuple[float, float, float]:
    """The network's mean score (a win 1, an unfinished game 1/2) and its 95 % interval."""
    points = []
    generator = torch.Generator().manual_seed(seed)
    for colour in (0, 1):
        # Restarting keeps a finished game steppable; only its first result counts.
        batch = murkplay_rl.GameBatch(games // 2 + colour * (games % 2), max_plies=max_plies, seed=seed + colour,
                                      threads=threads, auto_reset=True)
        step = batch.observe()
        result = np.full(len(batch), np.nan)
        # Every game starts together, so all that count have the same side to move.
        for ply in range(max_plies):
            if ply % 2 == colour:
                logits = network(torch.from_numpy(step.observation).to(device)).float().cpu()
                slots = sample_slots(masked_log_probs(logits, torch.from_numpy(step.mask)), generator)
                step = batch.step(slots.clamp_(max=murkplay_rl.ACTION_COUNT - 1).numpy(), by="slot")
            elif baseline == "random":
                step = batch.step_random()
            else:
                step = batch.step(by=baseline)
            first = np.isnan(result) & (step.terminated | step.truncated)
            result[first] = step.values[first, colour]
            if not np.isnan(result).any():
                break
        points.append((np.nan_to_num(result) + 1) / 2)
    points = np.concatenate(points)
    mean = float(points.mean())
    half = 1.96 * float(points.std()) / math.sqrt(len(points))
    return mean, max(mean - half, 0.0), min(mean + half, 1.0)
