"""The PPO update: the clipped policy objective over legal slots, a value loss and an entropy bonus.

Imports torch: import this module only where torch is wanted.
"""

from __future__ import annotations

from dataclasses import asdict, dataclass

import torch

from murkplay_rl.network import entropy, legal_log_probs
from murkplay_rl.rollout import Rollout


@dataclass(frozen=True)
class PPOConfig:
    learning_rate: float = 1e-3
    decay_updates: int = 0  # when set, the rate falls linearly to a tenth over this many updates
    epochs: int = 2  # passes over a rollout
    minibatch: int = 256  # decisions per gradient step
    clip: float = 0.2  # the probability ratio's trust region
    value_coef: float = 0.5
    entropy_coef: float = 0.02  # 0.01 let the policy collapse onto few moves within minutes
    max_grad_norm: float = 0.5
    gamma: float = 0.99
    lam: float = 0.95

    def to_dict(self) -> dict:
        return asdict(self)


def learning_rate(config: PPOConfig, updates: int) -> float:
    """The rate of the update after ``updates`` updates: a function of the count alone, so a
    resumed run follows the same schedule."""
    if not config.decay_updates:
        return config.learning_rate
    return config.learning_rate * max(0.1, 1 - updates / config.decay_updates)


def update(network, optimizer: torch.optim.Optimizer, rollout: Rollout, config: PPOConfig,
           generator: torch.Generator, device: torch.device) -> dict[str, float]:
    """Trains ``network`` on ``rollout``; returns the mean losses and statistics of the last epoch."""
    rows = len(rollout.choice)
    totals: dict[str, float] = {}
    for epoch in range(config.epochs):
        totals = dict.fromkeys(("policy_loss", "value_loss", "entropy", "approx_kl", "clip_fraction"), 0.0)
        order = torch.randperm(rows, generator=generator)
        batches = 0
        for start in range(0, rows, config.minibatch):
            chosen = order[start:start + config.minibatch]
            if len(chosen) < 2:
                continue
            observation = rollout.observation[chosen].to(device)
            legal = rollout.legal[chosen].to(device)
            valid = rollout.valid[chosen].to(device)
            choice = rollout.choice[chosen].to(device)
            old_log_prob = rollout.log_prob[chosen].to(device)
            advantage = rollout.advantage[chosen].to(device)
            advantage = (advantage - advantage.mean()) / (advantage.std() + 1e-8)
            logits, value = network.evaluate(observation)
            log_probs = legal_log_probs(logits, legal, valid)
            log_prob = log_probs.gather(1, choice[:, None])[:, 0]
            ratio = (log_prob - old_log_prob).exp()
            policy_loss = -torch.min(ratio * advantage, ratio.clamp(1 - config.clip, 1 + config.clip) * advantage).mean()
            value_loss = 0.5 * (value - rollout.returns[chosen].to(device)).square().mean()
            spread = entropy(log_probs).mean()
            loss = policy_loss + config.value_coef * value_loss - config.entropy_coef * spread
            optimizer.zero_grad(set_to_none=True)
            loss.backward()
            torch.nn.utils.clip_grad_norm_(network.parameters(), config.max_grad_norm)
            optimizer.step()
            with torch.no_grad():
                totals["policy_loss"] += float(policy_loss)
                totals["value_loss"] += float(value_loss)
                totals["entropy"] += float(spread)
                totals["approx_kl"] += float((old_log_prob - log_prob).mean())
                totals["clip_fraction"] += float(((ratio - 1).abs() > config.clip).float().mean())
            batches += 1
        totals = {name: total / max(batches, 1) for name, total in totals.items()}
    return totals
