"""Batched stepping (murkplay_rl) beside the ways a numpy user steps games without it.

Every comparison is side by side, round after round in alternating order, and reported as the
median of the per-round ratios. Single-threaded work is timed in CPU time of the measuring
thread; anything with more than one thread (native threads, torch) in wall time.
"""

from __future__ import annotations

import json
import os
import random
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import murkplay_rl as rl
from murkplay import SelfPlayGame
from timing import CLOCK, call_costs, median, ratio_of_rounds

MAX_PLIES = 200
HERE = Path(__file__).resolve().parent


class PythonLoop:
    """The step a numpy user writes over SelfPlayGame objects: the same outputs as a batch."""

    def __init__(self, games: int, seed: int) -> None:
        self.games = [SelfPlayGame() for _ in range(games)]
        self.plies = [0] * games
        self.observation = np.zeros((games, 64, 35), np.float32)
        self.mask = np.zeros((games, rl.ACTION_COUNT), bool)
        self.rng = random.Random(seed)

    def step(self) -> None:
        for i, game in enumerate(self.games):
            if game.is_terminal() or self.plies[i] >= MAX_PLIES:
                game = self.games[i] = SelfPlayGame()
                self.plies[i] = 0
            listed = game.legal_actions_uci()
            self.observation[i] = np.asarray(game.encode_flattened(), np.float32).reshape(64, 35)
            self.mask[i] = False
            self.mask[i, [game.action_index(text) for text in listed]] = True
            if listed:
                game.apply(self.rng.choice(listed))
                self.plies[i] += 1


def side_by_side(workloads: dict, rounds: int, clock=CLOCK) -> dict[str, list[float]]:
    """Seconds per call of each workload, one figure per round, order alternating."""
    seconds: dict[str, list[float]] = {name: [] for name in workloads}
    for number in range(rounds):
        names = list(workloads) if number % 2 == 0 else list(workloads)[::-1]
        for name in names:
            run, repeat = workloads[name]
            run()
            started = clock()
            for _ in range(repeat):
                run()
            seconds[name].append((clock() - started) / repeat)
    return seconds


def stepper(games: int, threads: int = 1, codes: bool = False):
    batch = rl.GameBatch(games, max_plies=MAX_PLIES, auto_reset=True, seed=1, threads=threads)
    arrays = batch.observe(codes=codes)

    def step() -> None:
        nonlocal arrays
        arrays = batch.step_random(out=arrays, codes=codes)

    return step


def logits_steppers(games: int, seed: int) -> dict:
    """A policy's logits to a move in every game at one thread: drawn natively (by="logits"),
    drawn in numpy from the mask and played by slot (with the log-probability and entropy PPO
    keeps, as the native draw returns them), and step_random beside them for scale."""
    rng = np.random.default_rng(seed)
    logits = rng.standard_normal((games, rl.ACTION_COUNT)).astype(np.float32)
    made = {}
    for name in ("logits", "numpy", "random"):
        batch = rl.GameBatch(games, max_plies=MAX_PLIES, auto_reset=True, seed=seed)
        made[name] = [batch, batch.observe()]

    def native() -> None:
        batch, step = made["logits"]
        made["logits"][1] = batch.step(logits, by="logits", out=step)

    def numpy_draw() -> None:
        batch, step = made["numpy"]
        masked = np.where(step.mask, logits, -np.inf)
        masked -= masked.max(axis=1, keepdims=True)
        p = np.exp(masked)
        p /= p.sum(axis=1, keepdims=True)
        slots = (p.cumsum(axis=1) < rng.random((games, 1))).sum(axis=1)
        slots = np.minimum(slots, rl.ACTION_COUNT - 1)
        chosen = p[np.arange(games), slots]
        _log_prob = np.log(chosen)
        _entropy = -(p * np.log(np.where(p > 0, p, 1))).sum(axis=1)
        made["numpy"][1] = batch.step(slots, by="slot", out=step)

    def random_step() -> None:
        batch, step = made["random"]
        made["random"][1] = batch.step_random(out=step)

    return {"logits": native, "numpy": numpy_draw, "random": random_step}


def playout_rates(rounds: int, quick: bool) -> dict | None:
    """Random playouts without observations: step_random(observe=False) on 2 native threads
    against python-chess's playouts (bench/playouts.py), plies per second of wall time."""
    # The test suite's python-chess reference of the variant is the playouts' baseline too.
    sys.path.insert(0, str(HERE.parent / "tests" / "python"))
    try:
        import playouts
    except ImportError:  # python-chess is missing
        return None
    games, seconds = (256, 0.2) if quick else (1024, 1.0)
    batch = rl.GameBatch(games, max_plies=playouts.MAX_PLIES, auto_reset=True, seed=4, threads=2)
    arrays = batch.step_random(observe=False)
    ours, theirs = [], []
    for number in range(rounds):
        for side in (("murkplay", "chess") if number % 2 == 0 else ("chess", "murkplay")):
            plies, started, seed = 0, time.perf_counter(), 1_000 * number
            while time.perf_counter() - started < seconds:
                if side == "murkplay":
                    arrays = batch.step_random(observe=False, out=arrays)
                    plies += int((arrays.played_move != rl.NO_MOVE).sum())
                else:
                    plies += playouts.chess_random_playout(seed)
                    seed += 1
            (ours if side == "murkplay" else theirs).append(plies / (time.perf_counter() - started))
    return {"games": games, "murkplay": median(ours), "chess": median(theirs), "ratio": ratio_of_rounds(ours, theirs)}


def thread_speedups(rounds: int, quick: bool) -> dict:
    """Wall time of a batched step with the observation as codes on 2 native threads against 1,
    at several batch sizes."""
    results = {}
    for games in (64, 256, 1024):
        repeat = max(2, (2_000 if quick else 20_000) // games)
        wall = side_by_side({f"threads={t}": (stepper(games, t, codes=True), repeat) for t in (1, 2)}, rounds,
                            clock=time.perf_counter)
        ratios = [one / two for one, two in zip(wall["threads=1"], wall["threads=2"])]
        results[games] = {"one_ns": median(wall["threads=1"]) / games * 1e9,
                          "two_ns": median(wall["threads=2"]) / games * 1e9,
                          "speedup": median(ratios), "low": min(ratios), "high": max(ratios), "rounds": rounds}
    return results


def load_average() -> float:
    return os.getloadavg()[0]


def cpp_loop(executable: str, games: int) -> float:
    """ns per game-step of the plain C++ loop (bench/batch_step.cpp)."""
    output = subprocess.run([executable, str(games), "200", "5"], check=True, capture_output=True, text=True).stdout
    return float(output.split("median_ns_per_game_step=")[1])


def measure(executable: str | None, rounds: int, quick: bool) -> dict:
    games, big = (32, 128) if quick else (256, 1024)
    results: dict = {"games": games, "big": big}

    loop = PythonLoop(games, seed=3)
    timed = side_by_side({"batch": (stepper(games), 3 if quick else 30), "python": (loop.step, 1 if quick else 3)},
                         rounds)
    results["batch_ns"] = median(timed["batch"]) / games * 1e9
    results["python_ns"] = median(timed["python"]) / games * 1e9
    results["batch_vs_python"] = ratio_of_rounds(timed["python"], timed["batch"])

    if executable:
        cpp, ours = [], []
        step = stepper(games)
        for _ in range(rounds):
            cpp.append(cpp_loop(executable, games))
            ours.append(side_by_side({"batch": (step, 3 if quick else 30)}, 1)["batch"][0] / games * 1e9)
        results["cpp_ns"] = median(cpp)
        results["batch_vs_cpp"] = ratio_of_rounds(cpp, ours)

    coded = side_by_side({"floats": (stepper(games), 3 if quick else 30),
                          "codes": (stepper(games, codes=True), 3 if quick else 30)}, 2 * rounds + 1)
    results["codes_ns"] = median(coded["codes"]) / games * 1e9
    results["floats_ns"] = median(coded["floats"]) / games * 1e9
    results["codes_vs_floats"] = ratio_of_rounds(coded["floats"], coded["codes"])

    # Wall time swings with whatever else the machine runs, so these comparisons take more rounds.
    results["load_before"] = load_average()
    results["threads"] = thread_speedups(2 * rounds + 1, quick)
    results["playouts"] = playout_rates(2 * rounds + 1, quick)
    logits = side_by_side({name: (run, 3 if quick else 30) for name, run in logits_steppers(games, 5).items()},
                          2 * rounds + 1)
    results["logits_us"] = {name: median(values) * 1e6 for name, values in logits.items()}
    results["logits_vs_numpy"] = ratio_of_rounds(logits["numpy"], logits["logits"])
    results["logits_vs_random"] = ratio_of_rounds(logits["logits"], logits["random"])
    results["load_after"] = load_average()

    game = SelfPlayGame("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1")
    buffer = np.empty((64, 35), np.float32)
    costs = call_costs(
        {
            "observe": "observe(game, buffer)",
            "asarray": "np.asarray(game.encode_flattened(), np.float32)",
            "legal_moves": "legal_moves(game, mask)",
        },
        {"observe": rl.observe, "legal_moves": rl.legal_moves, "game": game, "buffer": buffer, "np": np,
         "mask": np.empty(rl.ACTION_COUNT, bool)},
        repeat=5 if quick else 15,
    )
    results["single_ns"] = costs
    results["observe_speedup"] = costs["asarray"] / costs["observe"]

    results["memory"] = json.loads(
        subprocess.run([sys.executable, str(HERE / "batch_memory.py")], check=True, capture_output=True,
                       text=True).stdout
    )
    results["demo"] = demo_rates(rounds, quick)
    return results


def demo_rates(rounds: int, quick: bool) -> dict | None:
    """The self-play demo one game at a time and 256 at a time, with the same network."""
    try:
        import torch
    except ImportError:
        return None
    sys.path.insert(0, str(HERE.parent / "examples"))
    import selfplay

    torch.manual_seed(0)
    policy = selfplay.policy_network().eval()
    batch_size = 32 if quick else 256
    single, batched, shares = [], [], []
    for number in range(rounds):
        single_plies, started = 0, time.perf_counter()
        while time.perf_counter() - started < (0.2 if quick else 1.5):
            single_plies += selfplay.play_game(policy, number, number, MAX_PLIES, False).plies
        single.append(single_plies / (time.perf_counter() - started))
        arguments = selfplay.parse_arguments(["--batch", str(batch_size), "--games", str(batch_size // 2),
                                              "--plies", str(MAX_PLIES), "--seed", str(number)])
        started = time.perf_counter()
        _results, split = selfplay.play_batch(policy, arguments, lambda result: None)
        batched.append(split["plies"] / (time.perf_counter() - started))
        shares.append(split["murkplay"] / (split["murkplay"] + split["network"]))
    return {"batch": batch_size, "single": median(single), "batched": median(batched),
            "ratio": ratio_of_rounds(batched, single), "murkplay_share": median(shares),
            "torch_threads": torch.get_num_threads()}


if __name__ == "__main__":
    print(json.dumps(measure(os.environ.get("MURKPLAY_BATCH_STEP"), rounds=3, quick="--quick" in sys.argv), indent=1))
