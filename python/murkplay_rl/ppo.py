"""The PPO update: the clipped policy objective over legal slots, a value loss and an entropy bonus.

Imports torch: import this module only where torch is wanted.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import torch

from murkplay_rl.codes import CodeRows, to_device
from murkplay_rl.policy import entropy, legal_slots, log_probs
from murkplay_rl.rollout import Rollout
from murkplay_rl.train_config import PPOConfig

FOG = 13  # the observation's feature of a cell the mover does not see

@dataclass
class Samples:
    """The learner's moves of a rollout, one row each, as tensors."""

    observation: torch.Tensor | CodeRows  # (rows, 64, 35) float32, or CodeRows of tensors
    legal: torch.Tensor  # (rows, width) int64: each legal slot once, then padding
    valid: torch.Tensor  # (rows, width) bool: False at the padding
    choice: torch.Tensor  # (rows,) int64: the column of ``legal`` that was played
    log_prob: torch.Tensor  # (rows,) under the policy that played
    advantage: torch.Tensor  # (rows,)
    returns: torch.Tensor  # (rows,) advantage + value: the value target
    contents: torch.Tensor | None = None  # (rows, 64) int64: what stood on each cell, where kept
    foresight: torch.Tensor | None = None  # (rows, width): the foresight of each of ``legal``, where kept

    @classmethod
    def of(cls, rollout: Rollout, advantage: np.ndarray) -> Samples:
        """The samples of ``rollout`` with their (steps, games) advantages."""
        mine = rollout.learner
        legal, valid = legal_slots(rollout.mask)
        choice = np.argmax(valid & (legal == rollout.slot[mine][:, None]), 1)
        gain = torch.from_numpy(advantage[mine].astype(np.float32))
        return cls(
            observation=to_device(rollout.observation, "cpu"), legal=torch.from_numpy(legal),
            valid=torch.from_numpy(valid), choice=torch.from_numpy(choice),
            log_prob=torch.from_numpy(rollout.log_prob[mine]), advantage=gain,
            returns=gain + torch.from_numpy(rollout.value[mine]),
            contents=None if rollout.contents is None else torch.from_numpy(rollout.contents).long(),
            foresight=None if rollout.foresight is None else
            torch.from_numpy(np.take_along_axis(rollout.foresight, legal, 1)),
        )

    def __len__(self) -> int:
        return len(self.choice)


def decay(config: PPOConfig, updates: int, seconds: float = 0.0) -> float:
    """The share of the learning rate and the entropy bonus left after ``updates`` updates and
    ``seconds`` training seconds, falling linearly to a tenth over ``decay_updates`` updates or
    ``decay_minutes`` minutes, whichever comes first. The count's schedule is a function of the
    count alone, so a resumed run follows it bit for bit; the clock's follows the machine."""
    done = 0.0
    if config.decay_updates:
        done = max(done, updates / config.decay_updates)
    if config.decay_minutes:
        done = max(done, seconds / (60 * config.decay_minutes))
    return max(0.1, 1 - 0.9 * done)


def update(network, optimizer: torch.optim.Optimizer, samples: Samples, config: PPOConfig, *, updates: int,
           generator: torch.Generator, device: torch.device, seconds: float = 0.0) -> dict[str, float]:
    """The update after ``updates`` updates and ``seconds`` training seconds: trains ``network``
    on ``samples``, minibatches drawn by ``generator``; returns the mean losses and statistics
    of the last epoch."""
    left = decay(config, updates, seconds)
    for group in optimizer.param_groups:
        group["lr"] = config.learning_rate * left
    rows = len(samples)
    totals: dict[str, float] = {}
    for epoch in range(config.epochs):
        totals = dict.fromkeys(("policy_loss", "value_loss", "entropy", "approx_kl", "clip_fraction", "guess_loss"),
                               0.0)
        order = torch.randperm(rows, generator=generator)
        batches = 0
        for start in range(0, rows, config.minibatch):
            chosen = order[start:start + config.minibatch]
            if len(chosen) < 2:
                continue
            observation = samples.observation[chosen].to(device)
            legal = samples.legal[chosen].to(device)
            valid = samples.valid[chosen].to(device)
            choice = samples.choice[chosen].to(device)
            old_log_prob = samples.log_prob[chosen].to(device)
            advantage = samples.advantage[chosen].to(device)
            advantage = (advantage - advantage.mean()) / (advantage.std() + 1e-8)
            foresight = None if samples.foresight is None else samples.foresight[chosen].to(device)
            logits, value, *guess = network.evaluate_slots(observation, legal, foresight)
            scores = log_probs(logits, valid)
            log_prob = scores.gather(1, choice[:, None])[:, 0]
            ratio = (log_prob - old_log_prob).exp()
            policy_loss = -torch.min(ratio * advantage, ratio.clamp(1 - config.clip, 1 + config.clip) * advantage).mean()
            value_loss = 0.5 * (value - samples.returns[chosen].to(device)).square().mean()
            spread = entropy(scores).mean()
            guess_loss = torch.zeros(())
            if guess and samples.contents is not None:
                # Only the cells the mover does not see hold anything to guess.
                hidden = (observation.codes[:, :, 0] == FOG if isinstance(observation, CodeRows)
                          else observation[:, :, FOG] > 0)
                truth = samples.contents[chosen].to(device)
                guess_loss = torch.nn.functional.cross_entropy(guess[0][hidden], truth[hidden])
            loss = (policy_loss + config.value_coef * value_loss - config.entropy_coef * left * spread
                    + config.guess_coef * guess_loss)
            optimizer.zero_grad(set_to_none=True)
            loss.backward()
            torch.nn.utils.clip_grad_norm_(network.parameters(), config.max_grad_norm)
            optimizer.step()
            with torch.no_grad():
                totals["policy_loss"] += float(policy_loss)
                totals["guess_loss"] += float(guess_loss)
                totals["value_loss"] += float(value_loss)
                totals["entropy"] += float(spread)
                totals["approx_kl"] += float((old_log_prob - log_prob).mean())
                totals["clip_fraction"] += float(((ratio - 1).abs() > config.clip).float().mean())
            batches += 1
        totals = {name: total / max(batches, 1) for name, total in totals.items()}
    return totals
