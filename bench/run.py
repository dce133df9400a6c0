"""Runs every murkplay benchmark and prints one Markdown table of medians and ratios.

    python bench/run.py [--perft build/bench/bench/murkplay_perft] [--quick]

Progress goes to stderr, the table to stdout. Every ratio compares workloads measured side by
side in this run (see timing.py); no figure is compared with one from another run. Before
anything is timed the python-chess + numpy baseline is played in lockstep with murkplay and
must agree on every move, action index and observation, so the self-play comparison is
between two programs that do the same work.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import platform
import subprocess
import sys
import time
from importlib import metadata
from pathlib import Path

HERE = Path(__file__).resolve().parent
# The test suite's python-chess reference of the variant's moves is the baselines' too.
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

import batch  # noqa: E402
import env_plies  # noqa: E402
import fog_baseline  # noqa: E402
import method_calls  # noqa: E402
import perft_python  # noqa: E402
import playouts  # noqa: E402
from timing import median, rates_side_by_side, ratio_of_rounds  # noqa: E402

TARGETS = {
    "apply": 3.0,  # at most, times the cheapest call
    "action_index": 3.0,  # at most, times the cheapest call
    "encode_flattened": 1.5,  # at most, times the array.tolist floor
    "random_playouts": 30.0,  # at least, times python-chess
    "selfplay_step": 50.0,  # at least, times the python-chess + numpy baseline
    "game_bytes": 1024,  # at most
    "batch_vs_python": 25.0,  # at least, a batched step over a Python loop of the same games
    "batch_vs_cpp": 0.95,  # at least, a batched step over a plain C++ loop
    "codes_vs_floats": 2.0,  # at least, a batched step with the observation as codes over one with floats
    "threads": {64: 1.0, 256: 1.6, 1024: 1.9},  # at least, two native threads over one with codes, by batch size
    "playouts_2_threads": 150.0,  # at least, step_random(observe=False) on 2 threads over python-chess playouts
    "logits_vs_numpy": 3.0,  # at least, a step by logits over the slot drawn in numpy from the mask
    "logits_vs_random": 1.2,  # at most, a step by logits over step_random
    "observe": 20.0,  # at least, observe into a buffer over np.asarray(encode_flattened())
    "demo": 10.0,  # at least, the demo 256 at a time over one at a time
    "demo_share": 0.2,  # at most, murkplay's share of the batched demo's step time
}


def progress(message: str) -> None:
    print(f"[bench {time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def version(package: str) -> str:
    try:
        return metadata.version(package)
    except metadata.PackageNotFoundError:
        return "not installed"


def ns(value: float) -> str:
    return f"{value:,.0f}" if value >= 100 else f"{value:.1f}"


def rate(value: float) -> str:
    return f"{value:,.0f}"


def times(value: float) -> str:
    return f"{value:.2f}×" if value < 10 else f"{value:,.1f}×"


def verdict(ok: bool) -> str:
    return "met" if ok else "**missed**"


def measure_memory() -> dict:
    output = subprocess.run(
        [sys.executable, str(HERE / "memory.py")], check=True, capture_output=True, text=True
    ).stdout
    return json.loads(output)


def batch_table(b: dict) -> list[str]:
    out = ["### Batches (murkplay_rl)", ""]
    add = out.append
    add("| measure | murkplay_rl | beside | beside is | ratio | target | |")
    add("|---|---:|---:|---|---:|---|---|")
    n, big = b["games"], b["big"]
    add(f"| batched step, {n} games, 1 thread | {b['batch_ns']:,.0f} ns/game | {b['python_ns']:,.0f} ns/game | "
        f"a Python loop over {n} `SelfPlayGame`s building the same numpy observation and mask | "
        f"{times(b['batch_vs_python'])} | ≥ {TARGETS['batch_vs_python']:g}× | "
        f"{verdict(b['batch_vs_python'] >= TARGETS['batch_vs_python'])} |")
    if "cpp_ns" in b:
        add(f"| batched step, {n} games, 1 thread | {b['batch_ns']:,.0f} ns/game | {b['cpp_ns']:,.0f} ns/game | "
            f"the same step as a plain C++ loop over the core (bench/batch_step.cpp) | {times(b['batch_vs_cpp'])} | "
            f"≥ {TARGETS['batch_vs_cpp']:g}× | {verdict(b['batch_vs_cpp'] >= TARGETS['batch_vs_cpp'])} |")
    target = TARGETS["codes_vs_floats"]
    add(f"| batched step with codes, {n} games, 1 thread | {b['codes_ns']:,.0f} ns/game | "
        f"{b['floats_ns']:,.0f} ns/game | "
        f"the same step with the float observation | {times(b['codes_vs_floats'])} | ≥ {target:g}× | "
        f"{verdict(b['codes_vs_floats'] >= target)} |")
    for games, t in b["threads"].items():
        target = TARGETS["threads"][int(games)]
        add(f"| batched step with codes, {games} games, 2 native threads (wall time; rounds {t['low']:.2f}× to "
            f"{t['high']:.2f}×) | "
            f"{t['two_ns']:,.0f} ns/game | {t['one_ns']:,.0f} ns/game | 1 native thread | {times(t['speedup'])} | "
            f"≥ {target:g}× | {verdict(t['speedup'] >= target)} |")
    playout = b["playouts"]
    if playout:
        target = TARGETS["playouts_2_threads"]
        add(f"| random playouts, `step_random(observe=False)`, {playout['games']} games, 2 native threads (wall time) | "
            f"{playout['murkplay']:,.0f} plies/s | {playout['chess']:,.0f} plies/s | python-chess playouts "
            f"(bench/playouts.py) | {times(playout['ratio'])} | ≥ {target:g}× | {verdict(playout['ratio'] >= target)} |")
    us = b["logits_us"]
    add(f"| step by logits, {n} games, 1 thread | {us['logits']:,.0f} µs | {us['numpy']:,.0f} µs | the slot drawn in "
        f"numpy from the mask (with log-probability and entropy), then `by=\"slot\"` | {times(b['logits_vs_numpy'])} | "
        f"≥ {TARGETS['logits_vs_numpy']:g}× | {verdict(b['logits_vs_numpy'] >= TARGETS['logits_vs_numpy'])} |")
    add(f"| step by logits, {n} games, 1 thread | {us['logits']:,.0f} µs | {us['random']:,.0f} µs | `step_random` | "
        f"{b['logits_vs_random']:.2f}× the time | ≤ {TARGETS['logits_vs_random']:g}× | "
        f"{verdict(b['logits_vs_random'] <= TARGETS['logits_vs_random'])} |")
    single = b["single_ns"]
    add(f"| one game's observation into a buffer | {single['observe']:,.0f} ns | {single['asarray']:,.0f} ns | "
        f"`np.asarray(game.encode_flattened(), np.float32)` | {times(b['observe_speedup'])} | "
        f"≥ {TARGETS['observe']:g}× | {verdict(b['observe_speedup'] >= TARGETS['observe'])} |")
    add(f"| one game's legal moves, slots and mask | {single['legal_moves']:,.0f} ns | | | | | |")
    demo = b["demo"]
    if demo:
        add(f"| self-play demo, {demo['batch']} games at a time | {demo['batched']:,.0f} plies/s | "
            f"{demo['single']:,.0f} plies/s | the same demo and network one game at a time | {times(demo['ratio'])} | "
            f"≥ {TARGETS['demo']:g}× | {verdict(demo['ratio'] >= TARGETS['demo'])} |")
        add(f"| murkplay's share of the batched demo's step time | {demo['murkplay_share']:.1%} | | "
            f"the rest is the network (torch, {demo['torch_threads']} threads) | | ≤ {TARGETS['demo_share']:.0%} | "
            f"{verdict(demo['murkplay_share'] <= TARGETS['demo_share'])} |")
    else:
        add("| self-play demo | not run (no torch) | | | | | |")
    memory = b["memory"]
    add(f"| resident memory per game of a batch, beyond its output arrays | {memory['stepped']:,.0f} B | | "
        f"(after creation {memory['created']:,.0f} B; the step's arrays {memory['outputs']:,.0f} B per game) | | "
        f"≤ 1 KiB | {verdict(memory['stepped'] <= 1024)} |")
    add("")
    add(
        "The batched step is `step_random(out=...)` with auto-restart at 200 plies: legal moves, their slots, the "
        "mask, the observation and a random move played in every game; the Python loop does the same per game "
        "with `legal_actions_uci()`, `action_index` of each move, `encode_flattened()` into a numpy array and "
        "`apply`. Steps are timed in the measuring thread's CPU time, the thread comparisons and the playouts in "
        "wall time (medians of alternating rounds, the spread of the per-round ratios in brackets); the load "
        f"average was {b['load_before']:.1f} before and {b['load_after']:.1f} after these measures. "
        f"Memory: {memory['games']:,} games in a fresh process, resident set before and after two steps without "
        "observations, less the arrays the step returned."
    )
    add("")
    return out


def table(args, calls, random_rates, step_rates, perft, memory, batches, elapsed) -> str:
    out = []
    add = out.append
    positions = list(method_calls.POSITIONS)
    add("## Benchmarks")
    add("")
    add(
        f"Machine: {os.cpu_count()} cores (`os.cpu_count()`), load average {args.load:.2f} at the start; "
        f"{platform.python_implementation()} {platform.python_version()}"
        f"{' (free-threaded)' if not getattr(sys, '_is_gil_enabled', lambda: True)() else ''}; "
        f"murkplay {version('murkplay')}, python-chess {version('chess')}, numpy {version('numpy')}, "
        f"torch {version('torch')}. Whole run: {elapsed:.0f} s."
    )
    add("")
    add(
        "Every figure is a median; every ratio compares workloads measured side by side in this run. Times are "
        "the CPU time of the measuring thread (`time.thread_time`, `CLOCK_THREAD_CPUTIME_ID` in C++), so time "
        "slices that a shared machine gives to other processes are not counted."
    )
    add("")

    add("### Method calls (ns per call)")
    add("")
    add("| call | " + " | ".join(positions) + " |")
    add("|---|" + "---:|" * len(positions))
    for row in method_calls.ROWS:
        cells = [ns(calls[p][row]) if row in calls[p] else "n/a (no torch)" for p in positions]
        add(f"| `{row}` | " + " | ".join(cells) + " |")
    add("| floor: cheapest call | " + " | ".join(ns(calls[p]["cheapest call"]) for p in positions) + " |")
    add("")
    moves = ", ".join(f"{p}: `{move}`" for p, (_fen, move) in method_calls.POSITIONS.items())
    add(
        f"`m` is the move applied and indexed in each position ({moves}). `apply(m)` is the median of "
        "`g.clone().apply(m)` minus the median of `g.clone()`, timed in alternation, so each apply runs on a "
        "fresh game. The cheapest call is the smaller of `current_player()` and `is_terminal()`. The tolist floor "
        "is `array.array('f', raw).tolist()` with `raw` the 2240 packed floats of the same observation. "
        "Positions: " + "; ".join(f"{p} `{fen}`" for p, (fen, _m) in method_calls.POSITIONS.items()) + "."
    )
    add("")

    add("### Ratios and targets")
    add("")
    add("| ratio | " + " | ".join(positions) + " | target | |")
    add("|---|" + "---:|" * len(positions) + "---|---|")
    ratio_rows = [
        ("`apply` / cheapest call", "apply(m)", "cheapest call", "apply"),
        ("`action_index` / cheapest call", "action_index(m)", "cheapest call", "action_index"),
        ("`encode_flattened` / tolist floor", "encode_flattened()", "floor: array('f', raw).tolist()", "encode_flattened"),
    ]
    for label, top, bottom, target in ratio_rows:
        values = [calls[p][top] / calls[p][bottom] for p in positions]
        ok = max(values) <= TARGETS[target]
        add(f"| {label} | " + " | ".join(times(v) for v in values) + f" | ≤ {TARGETS[target]:g}× | {verdict(ok)} |")
    add("")

    add("### Throughput")
    add("")
    add("| workload | unit | murkplay | baseline | baseline is | murkplay / baseline | target | |")
    add("|---|---|---:|---:|---|---:|---|---|")
    random_ratio = ratio_of_rounds(random_rates["murkplay"], random_rates["python-chess"])
    add(
        f"| random playouts, ≤ {playouts.MAX_PLIES} plies | plies/s | {rate(median(random_rates['murkplay']))} | "
        f"{rate(median(random_rates['python-chess']))} | python-chess legal moves, `push`, `is_game_over()` | "
        f"{times(random_ratio)} | ≥ {TARGETS['random_playouts']:g}× | {verdict(random_ratio >= TARGETS['random_playouts'])} |"
    )
    step_ratio = ratio_of_rounds(step_rates["murkplay"], step_rates["baseline"])
    add(
        f"| self-play step | steps/s | {rate(median(step_rates['murkplay']))} | {rate(median(step_rates['baseline']))} | "
        f"python-chess + numpy fog of war (bench/fog_baseline.py) | {times(step_ratio)} | "
        f"≥ {TARGETS['selfplay_step']:g}× | {verdict(step_ratio >= TARGETS['selfplay_step'])} |"
    )
    if perft:
        for name, r in perft.items():
            baseline = "python-chess pseudo-legal" + (" + fog castling" if r["uses_fog_castling"] else "")
            add(
                f"| perft {name}, C++ depth {r['cpp_depth']} ({r['cpp_nodes']:,} nodes) vs Python depth "
                f"{r['chess_depth']} ({r['chess_nodes']:,}, counts equal) | nodes/s | {rate(r['cpp_nps'])} | "
                f"{rate(r['chess_nps'])} | {baseline} | {times(r['ratio'])} | | |"
            )
    else:
        add("| perft | nodes/s | not run (no `--perft` executable) | | | | | |")
    add("")
    add(
        f"Playouts and steps: {args.rounds} rounds of about {args.seconds:g} s per side, both sides on the same seeds "
        "(`random.Random(seed)` per game), order alternating by round; rates are medians over rounds and the ratio "
        "is the median of the per-round ratios. The self-play step is `legal_actions_uci()`, `action_index` of each "
        "action, `encode_flattened()`, `apply` of a random action, `is_terminal()`; the baseline makes the same "
        "moves, indices and 64×35 observation (checked equal in lockstep before timing) but keeps the observation "
        "as a numpy array. Perft is pseudo-legal with bulk counting at the last ply; a move onto a king is a leaf "
        "and is not made; each of 5 rounds runs bench/perft.cpp (median of 3 runs) then python-chess once, "
        "and the ratio is the median of the per-round ratios."
    )
    add("")

    out.extend(batch_table(batches))

    add("### Memory")
    add("")
    per_game = (memory["rss_after"] - memory["rss_before"]) / memory["games"]
    beyond = per_game - memory["list_slot"] - memory["getsizeof"]
    size_ok = memory["getsizeof"] <= TARGETS["game_bytes"] and per_game - memory["list_slot"] <= TARGETS["game_bytes"]
    add("| measure | value | target | |")
    add("|---|---:|---|---|")
    add(f"| `sys.getsizeof(game)` | {memory['getsizeof']} B | ≤ 1 KiB | {verdict(memory['getsizeof'] <= TARGETS['game_bytes'])} |")
    add(
        f"| resident memory per live game, {memory['games']:,} clones | {per_game:,.1f} B | ≤ 1 KiB, no heap storage | "
        f"{verdict(size_ok)} |"
    )
    add(f"| of which the list slot | {memory['list_slot']} B | | |")
    add(f"| of which beyond the object and its slot (allocator rounding and headers) | {beyond:,.1f} B | | |")
    add("")
    add(
        f"RSS from /proc/self/status in a fresh process: {memory['rss_before'] / 2**20:,.1f} MiB before "
        f"`[g.clone() for _ in range(10**6)]`, {memory['rss_after'] / 2**20:,.1f} MiB after."
    )
    return "\n".join(out)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--perft", help="path of the murkplay_perft executable (bench/perft.cpp)")
    parser.add_argument("--batch-step", help="path of the murkplay_batch_step executable (bench/batch_step.cpp)")
    parser.add_argument("--quick", action="store_true", help="fewer, shorter samples: a smoke test, not a measurement")
    args = parser.parse_args()
    args.rounds, args.seconds = (2, 0.1) if args.quick else (7, 1.0)
    repeat, sample_seconds = (3, 0.002) if args.quick else (21, 0.01)
    started = time.perf_counter()
    args.load = os.getloadavg()[0]

    progress("checking the python-chess + numpy baseline against murkplay")
    compared = fog_baseline.cross_check(games=4 if args.quick else 12, seed=7)
    compared += fog_baseline.cross_check(
        games=3 if args.quick else 6,
        seed=70,
        fens=tuple(fen for fen, _move in method_calls.POSITIONS.values()),
    )
    progress(f"baseline agrees with murkplay on {compared} positions")

    progress("method calls")
    calls = method_calls.measure(repeat, sample_seconds)

    def side_by_side(label, workloads, seed):
        progress(label)
        return rates_side_by_side(workloads, args.rounds, args.seconds, seed=seed)

    random_rates = side_by_side(
        "random playouts",
        {"murkplay": playouts.murkplay_random_playout, "python-chess": playouts.chess_random_playout},
        seed=1,
    )
    step_rates = side_by_side(
        "self-play step",
        {"murkplay": playouts.murkplay_selfplay_steps, "baseline": playouts.baseline_selfplay_steps},
        seed=2,
    )

    perft = None
    if args.perft:
        progress("perft")
        perft = perft_python.measure(args.perft, rounds=1 if args.quick else 5)

    progress("batches")
    batches = batch.measure(args.batch_step, rounds=2 if args.quick else 5, quick=args.quick)

    environment = None
    if importlib.util.find_spec("pettingzoo") is not None:
        progress("PettingZoo environment")
        env_rounds, env_plies_each = (2, 1_000) if args.quick else (5, 10_000)
        environment = env_plies.table(env_plies.measure(env_rounds, env_plies_each), env_rounds, env_plies_each)

    progress("memory")
    memory = measure_memory()

    print(table(args, calls, random_rates, step_rates, perft, memory, batches, time.perf_counter() - started))
    if environment:
        print()
        print(environment)
    return 0


if __name__ == "__main__":
    sys.exit(main())
