"""Timing helpers shared by the benchmarks.

The machine is shared and noisy, so nothing is timed alone: the workloads that a ratio
compares are sampled in alternation, round after round, and every figure reported is a
median over the rounds. Time is the CPU time of the measuring thread, not wall time: every
workload here is single-threaded and CPU-bound, and on a shared machine wall time would also
count the slices the scheduler hands to other processes.
"""

from __future__ import annotations

import statistics
import time
import timeit
from typing import Callable

CLOCK = time.thread_time


def median(values: list[float]) -> float:
    return statistics.median(values)


def loops_for(timer: timeit.Timer, sample_seconds: float) -> int:
    """How many calls make one sample last about sample_seconds."""
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= sample_seconds / 10 or number >= 1 << 24:
            return max(1, round(number * sample_seconds / max(elapsed, 1e-9)))
        number *= 4


def call_costs(
    statements: dict[str, str],
    namespace: dict,
    repeat: int = 9,
    sample_seconds: float = 0.01,
) -> dict[str, float]:
    """Median nanoseconds per execution of each statement.

    Every repeat takes one sample of every statement, so slow phases of a busy machine hit
    all statements alike instead of whichever one happened to run then.
    """
    timers = {name: timeit.Timer(stmt, timer=CLOCK, globals=namespace) for name, stmt in statements.items()}
    loops = {name: loops_for(timer, sample_seconds) for name, timer in timers.items()}
    samples: dict[str, list[float]] = {name: [] for name in statements}
    for _ in range(repeat):
        for name, timer in timers.items():
            samples[name].append(timer.timeit(loops[name]) / loops[name] * 1e9)
    return {name: median(values) for name, values in samples.items()}


def rates_side_by_side(
    workloads: dict[str, Callable[[int], int]],
    rounds: int,
    seconds: float,
    seed: int,
) -> dict[str, list[float]]:
    """Units of work per second of each workload, one figure per round.

    A workload takes a seed and returns the units it did (plies, steps). In each round every
    workload runs on the same sequence of seeds until it has used its time, and the order of
    the workloads alternates from round to round.
    """
    rates: dict[str, list[float]] = {name: [] for name in workloads}
    names = list(workloads)
    for round_number in range(rounds):
        order = names if round_number % 2 == 0 else names[::-1]
        for name in order:
            run = workloads[name]
            next_seed = seed + 1_000_000 * round_number
            units = 0
            start = CLOCK()
            while True:
                units += run(next_seed)
                next_seed += 1
                elapsed = CLOCK() - start
                if elapsed >= seconds:
                    break
            rates[name].append(units / elapsed)
    return rates


def ratio_of_rounds(numerator: list[float], denominator: list[float]) -> float:
    """Median of the per-round ratios: each round's two figures were measured back to back."""
    return median([a / b for a, b in zip(numerator, denominator)])
