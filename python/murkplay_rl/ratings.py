"""Ratings by maximum likelihood: the Bradley–Terry model on the Elo scale.

Agent i scores against agent j with probability 1 / (1 + 10 ** ((R_j - R_i) / 400)); a draw
counts as half a win and half a loss. The ratings that make the observed scores most likely
are found by Newton's method with one agent held at 0, and their 95 % intervals come from the
observed Fisher information (the curvature of the log-likelihood at its maximum).

A pair whose games all went one way has no finite maximum: the fit adds ``prior_draws``
imagined draws to every pair that played (one by default), a weak prior that keeps the
ratings finite and shows such a pair's difference as large and uncertain rather than infinite.
"""

from __future__ import annotations

import math
from typing import NamedTuple, Sequence

import numpy as np

from murkplay_rl._checks import non_negative

# Elo points per unit of the logistic's argument: p = 1 / (1 + exp(-SCALE * difference)).
SCALE = math.log(10) / 400
Z95 = 1.959963984540054


class Ratings(NamedTuple):
    names: list[str]
    elo: np.ndarray  # (agents,) float64
    low: np.ndarray  # 95 % interval bounds
    high: np.ndarray
    anchor: str

    def table(self) -> str:
        width = max(len(name) for name in self.names)
        lines = [f"{'agent':<{width}}  {'Elo':>7}  95 % interval"]
        for i in np.argsort(-self.elo, kind="stable"):
            if self.names[i] == self.anchor:
                interval = "(anchor)"
            else:
                interval = f"{self.low[i]:7.1f} .. {self.high[i]:.1f}"
            lines.append(f"{self.names[i]:<{width}}  {self.elo[i]:7.1f}  {interval}")
        return "\n".join(lines)


def fit(names: Sequence[str], pairs: Sequence[tuple[int, int, float, float]], *, anchor: str | None = None,
        prior_draws: float = 1.0) -> Ratings:
    """Ratings of ``names`` from ``pairs`` of (i, j, points of i against j, games).

    ``anchor`` is held at 0: ``random`` when it takes part, else the first name.
    """
    names = list(names)
    count = len(names)
    prior_draws = non_negative("prior_draws", prior_draws)
    if anchor is None:
        anchor = "random" if "random" in names else names[0]
    if anchor not in names:
        raise ValueError(f"anchor {anchor!r} is not one of the names {names}")
    fixed = names.index(anchor)
    points = np.zeros((count, count))
    games = np.zeros((count, count))
    for i, j, score, played in pairs:
        if not (0 <= i < count and 0 <= j < count and i != j):
            raise ValueError(f"pairs: ({i}, {j}) is not a pair of two of the {count} agents")
        if played <= 0:
            continue
        if not 0 <= score <= played:
            raise ValueError(f"pairs: {names[i]} against {names[j]}: {score} points in {played} games")
        points[i, j] += score + prior_draws / 2
        points[j, i] += played - score + prior_draws / 2
        games[i, j] += played + prior_draws
        games[j, i] += played + prior_draws
    free = [i for i in range(count) if i != fixed]
    if not _connected(games > 0):
        raise ValueError("every agent must be linked to every other by games played")
    _refuse_perfect_scores(names, points, games)

    rating = np.zeros(count)
    likelihood = _log_likelihood(rating, points, games)
    for _ in range(200):
        gradient, information = _derivatives(rating, points, games)
        change = np.zeros(count)
        change[free] = np.linalg.solve(information[np.ix_(free, free)], gradient[free])
        # Halve the step until the likelihood rises: Newton's method can overshoot far from the top.
        for _ in range(60):
            candidate = rating + change
            candidate_likelihood = _log_likelihood(candidate, points, games)
            if candidate_likelihood >= likelihood - 1e-12:
                break
            change /= 2
        else:
            break  # no step rises any more: the top, to the precision of the likelihood
        rating, likelihood = candidate, candidate_likelihood
        if np.max(np.abs(change)) < 1e-9:
            break
    gradient, information = _derivatives(rating, points, games)
    # Every maximum exists once the scores pass the check above (the likelihood is then strictly
    # concave), so a fit that ends elsewhere is a fault, never a result.
    if not np.all(np.isfinite(rating)) or np.max(np.abs(gradient[free])) > 1e-6 * max(1.0, games.sum()):
        raise RuntimeError(f"the rating fit did not converge (ratings {rating}, gradient {gradient})")
    spread = np.zeros(count)
    spread[free] = Z95 * np.sqrt(np.diag(np.linalg.inv(information[np.ix_(free, free)])))
    return Ratings(names, rating, rating - spread, rating + spread, anchor)


def _refuse_perfect_scores(names, points, games) -> None:
    """Ratings have a finite maximum only if no group of agents scored nothing against the
    rest: from every agent, following "scored against", every other agent must be reached."""
    for start in range(len(names)):
        reached = sorted(_reached(points > 0, start))
        if len(reached) < len(names):
            rest = [i for i in range(len(names)) if i not in reached]
            played = int(games[np.ix_(reached, rest)].sum())
            raise ValueError(
                f"the ratings have no finite maximum: {', '.join(names[i] for i in reached)} scored nothing "
                f"in {played} games against {', '.join(names[i] for i in rest)}; fit with prior_draws above 0 "
                "(1 by default)")


def _log_likelihood(rating, points, games) -> float:
    difference = SCALE * (rating[:, None] - rating[None, :])
    # log p = -log(1 + exp(-d)), summed over ordered pairs: points[i, j] counts i's points.
    return float(-np.sum(points * np.logaddexp(0.0, -difference)))


def _derivatives(rating, points, games):
    difference = SCALE * (rating[:, None] - rating[None, :])
    expected = 1 / (1 + np.exp(-difference))
    gradient = SCALE * np.sum(points - games * expected, axis=1)
    weight = SCALE**2 * games * expected * (1 - expected)
    information = np.diag(weight.sum(axis=1)) - weight
    return gradient, information


def _reached(linked: np.ndarray, start: int) -> set[int]:
    reached = {start}
    frontier = [start]
    while frontier:
        i = frontier.pop()
        for j in np.flatnonzero(linked[i]):
            if j not in reached:
                reached.add(int(j))
                frontier.append(int(j))
    return reached


def _connected(linked: np.ndarray) -> bool:
    return len(_reached(linked, 0)) == len(linked)


def score_interval(points: float, games: int) -> tuple[float, float]:
    """The Wilson 95 % interval of a score of ``points`` in ``games`` (draws half a point):
    it stays inside 0..1 and does not shrink to a point at a perfect score."""
    if games == 0:
        return 0.0, 1.0
    share = points / games
    denominator = 1 + Z95**2 / games
    centre = (share + Z95**2 / (2 * games)) / denominator
    half = Z95 * math.sqrt(share * (1 - share) / games + Z95**2 / (4 * games**2)) / denominator
    return max(0.0, centre - half), min(1.0, centre + half)


def elo_difference(score: float) -> float:
    """The Elo difference a score implies; infinite at 0 and 1."""
    if score <= 0:
        return -math.inf
    if score >= 1:
        return math.inf
    return 400 * math.log10(score / (1 - score))
