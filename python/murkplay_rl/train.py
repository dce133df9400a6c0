"""Self-play PPO for fog-of-war chess: ``python -m murkplay_rl.train --minutes 30 --out RUN``.

The learner plays both colours of a GameBatch, against itself and against snapshots of its own
past weights, and learns from its own moves with PPO. ``train`` below is the whole loop, top to
bottom: collect a rollout (``rollout``), its advantages, the PPO update (``ppo``), a snapshot
into the opponents' pool, an evaluation against named agents, a checkpoint (``train_state``).

A run directory holds one run (``run_log``): ``--resume RUN`` goes on from its latest checkpoint
and, with the same seed and thread counts, writes the same next checkpoint bit for bit as the
run that was not stopped; Ctrl-C stops after the update under way and writes a last checkpoint.

torch is imported once the command line is read: ``--help`` and a refused argument cost nothing.
"""

from __future__ import annotations

import argparse
import json
import math
import signal
import sys
import threading
import time
from pathlib import Path

from murkplay_rl import run_log
from murkplay_rl._optional import MissingExtra, require
from murkplay_rl.train_config import TrainConfig, check_actors

PROG = "python -m murkplay_rl.train"
DESCRIPTION = """\
Trains a policy-value network for fog-of-war chess by self-play with PPO. The run directory
gets config.json, checkpoints/checkpoint-NNNNNN.pt, log.csv (a row per update), evaluations.csv
and learning_curve.png (scores against the evaluation opponents over training), and
tensorboard/ where tensorboard is installed. Ctrl-C stops after the update under way and writes
a last checkpoint (exit status 130); --resume RUN goes on from RUN's latest checkpoint."""


def train(state, log, *, seconds: float, updates: int | None = None, stop=lambda: False) -> None:
    """Trains ``state`` (a ``train_state.TrainState``) until ``seconds`` seconds of training in
    all, ``updates`` updates in all, or ``stop()``: the evaluations are spaced over the budget
    (``TrainConfig.eval_interval``), the first before any training and the last at the end
    (not after a stop), and the last checkpoint is written at the end."""
    from murkplay_rl import ppo
    from murkplay_rl.rollout import advantages

    config = state.config
    every = config.eval_interval(seconds)
    if state.seconds - state.last_eval >= every:
        evaluate(state, log, stop)
    while state.seconds < seconds and (updates is None or state.updates < updates) and not stop():
        started = time.perf_counter()
        entry, opponent = state.pick_opponent()
        state.network.eval()
        rollout = state.selfplay.collect(state.network, opponent, config.steps, number=state.updates)
        collected = time.perf_counter()
        advantage = advantages(rollout, config.ppo.gamma, config.ppo.lam)
        state.network.train()
        losses = ppo.update(state.network, state.optimizer, ppo.Samples.of(rollout, advantage), config.ppo,
                            updates=state.updates, generator=state.shuffling, device=state.device,
                            seconds=state.seconds)
        updated = time.perf_counter()
        state.count(rollout, updated - started, entry)
        log.update(state, rollout, losses, collect_seconds=collected - started, update_seconds=updated - collected,
                   opponent=entry)
        if state.updates % config.snapshot_every == 0:
            state.snapshot()
        if state.seconds - state.last_eval >= every:
            evaluate(state, log, stop)
        if state.updates % config.checkpoint_every == 0:
            state.save(log.out)
    if state.last_eval < state.seconds and not stop():
        evaluate(state, log, stop)
    state.save(log.out)


class _Stopped(Exception):
    """An evaluation given up at the caller's request."""


def evaluate(state, log, stop=lambda: False) -> None:
    """Scores of the learner against every opponent of the settings in the arena, with 95 %
    intervals, into the log; given up, and nothing logged, when ``stop()`` asks during it."""
    from murkplay_rl import arena, foresight

    config = state.config
    state.network.eval()
    learner = foresight.agent(state.network, name="learner", device=state.device)
    results = {}
    with log.evaluating(config.eval_games * len(config.eval_opponents)) as progress:
        def played(games: int) -> None:
            progress(games)
            if stop():
                raise _Stopped

        try:
            for name in config.eval_opponents:
                result = arena.match(learner, name, config.eval_games, max_plies=config.eval_max_plies,
                                     threads=config.threads, seed=config.seed + 7919, progress=played)
                results[name] = (result.score, *result.interval)
        except _Stopped:
            return
    state.last_eval = state.seconds
    log.evaluation(state, results)
    state.evaluated(log.out, sum(score for score, _, _ in results.values()) / len(results))


class _Interrupts:
    """Ctrl-C asks the run to stop after the update under way (an evaluation under way is given
    up); a second Ctrl-C stops it at once, its latest checkpoint kept."""

    def __init__(self):
        self.asked = False
        self.previous = None

    def __call__(self) -> bool:
        return self.asked

    def __enter__(self) -> _Interrupts:
        if threading.current_thread() is threading.main_thread():  # signals reach that thread only
            self.previous = signal.signal(signal.SIGINT, self._interrupted)
        return self

    def __exit__(self, *exc) -> None:
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)

    def _interrupted(self, signum, frame) -> None:
        if self.asked:
            raise KeyboardInterrupt
        self.asked = True
        print("\nCtrl-C: stopping after this update (press it again to stop at once)", file=sys.stderr, flush=True)


# ------------------------------------------------------------------------- the command line

class _Parser(argparse.ArgumentParser):
    def error(self, message: str):
        """A usage error in one line."""
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def _number(kind, what: str, *, low: float, positive: bool = False):
    """An argument's type: a finite number of ``kind``, at least ``low`` (and above 0 when
    ``positive``)."""
    def read(text: str):
        try:
            value = kind(text)
        except ValueError:
            value = math.nan
        if not (math.isfinite(value) and value >= low and (value > 0 or not positive)):
            raise argparse.ArgumentTypeError(f"must be {what}, not {text!r}")
        return value

    return read


def _settings_help() -> str:
    rows = TrainConfig.describe()
    width = max(len(f"{name}={default}") for name, default, _ in rows)
    lines = [f"  {f'{name}={default}':<{width}}  {help}" for name, default, help in rows]
    return "settings of --set NAME=VALUE, at their defaults:\n" + "\n".join(lines)


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description=DESCRIPTION, epilog=_settings_help(),
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=_number(float, "a positive number of minutes", low=0, positive=True),
                        help="training minutes in all, evaluations not counted; with --resume the earlier run's "
                             "minutes count (a 30-minute run resumed with --minutes 40 trains 10 more)")
    parser.add_argument("--updates", type=_number(int, "a whole number of at least 1", low=1),
                        help="updates in all, the earlier run's counted too with --resume; training stops at the "
                             "first of --minutes and --updates (give one or both)")
    parser.add_argument("--out", type=Path, help="the run directory: a new or empty one (default: --resume's)")
    parser.add_argument("--resume", type=Path, metavar="RUN",
                        help="go on from RUN's latest checkpoint with its settings (and any --set), dropping the "
                             "log rows written after that checkpoint")
    parser.add_argument("--seed", type=int, help="--set seed=SEED")
    parser.add_argument("--threads", type=int, help="--set threads=THREADS: torch's and the batch's native threads")
    parser.add_argument("--device", help="--set device=DEVICE: cpu, or cuda where torch sees a GPU")
    parser.add_argument("--actors", type=_number(int, "a whole number, 0 or more", low=0), default=0,
                        help="play the games on this many Ray actors (default 0: in this process)")
    parser.add_argument("--address", help="the Ray cluster to join with --actors (default: a local instance)")
    parser.add_argument("--set", action="append", default=[], metavar="NAME=VALUE",
                        help="any setting below, e.g. --set games=128 --set ppo.epochs=3")
    return parser


def _settings(args, base: TrainConfig) -> TrainConfig:
    """``base`` with the command line's settings; ValueError naming the one refused."""
    config = base
    for option in ("seed", "threads", "device"):
        if getattr(args, option) is not None:
            try:
                config = config.with_setting(option, str(getattr(args, option)))
            except ValueError as error:
                raise ValueError(f"--{option}: {error}") from None
    for setting in args.set:
        name, equals, text = setting.partition("=")
        if not equals:
            raise ValueError(f"--set {setting}: give a setting as NAME=VALUE")
        try:
            config = config.with_setting(name.strip(), text.strip())
        except ValueError as error:
            raise ValueError(f"--set {setting}: {error}") from None
    return config


def _plan(args):
    """Everything the command line asks, checked before anything is written: the run directory,
    the settings, and the checkpoint to go on from (None: from the start)."""
    if args.minutes is None and args.updates is None:
        raise ValueError("give --minutes, --updates or both")
    if args.out is None and args.resume is None:
        raise ValueError("give --out (a new run) or --resume (a run to go on with)")
    out = args.out if args.out is not None else args.resume
    if args.resume is None or out.resolve() != args.resume.resolve():
        if run_log.holds_run(out):
            raise ValueError(f"--out {out} holds a run already: go on with it by --resume {out}, "
                             "or choose a new directory")
    if args.resume is None:
        return out, _settings(args, TrainConfig()), None
    if not run_log.holds_run(args.resume):
        raise ValueError(f"--resume {args.resume} holds no run")
    found = run_log.checkpoints(args.resume)
    if not found:
        try:
            base = TrainConfig.from_dict(json.loads((args.resume / "config.json").read_text()))
        except (OSError, ValueError) as error:
            raise ValueError(f"--resume {args.resume}: no checkpoint yet, and its config.json cannot be read: "
                             f"{error}") from None
        return out, _settings(args, base), None
    require("torch", "train", "training")
    from murkplay_rl import train_state  # torch, from here on

    saved = train_state.read(found[-1])
    return out, _settings(args, saved.config), saved


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        return _run(parser, args)
    except KeyboardInterrupt:  # the second Ctrl-C, or one before training started
        latest = run_log.checkpoints(args.out or args.resume) if (args.out or args.resume) else []
        print(f"stopped at once; the latest checkpoint: {latest[-1] if latest else 'none'}", file=sys.stderr)
        return 130


def _run(parser: argparse.ArgumentParser, args) -> int:
    try:
        out, config, saved = _plan(args)
        if args.actors:
            check_actors(config)
        require("torch", "train", "training")
        from murkplay_rl.train_state import TrainState

        state = TrainState(config, actors=args.actors, address=args.address)
        if saved is not None:
            state.restore(saved)
    except (ValueError, MissingExtra) as error:
        parser.error(str(error))
    resumed_here = args.resume is not None and out.resolve() == args.resume.resolve()
    if resumed_here:
        run_log.drop_rows_after(out, state.updates if saved is not None else -1)
        for leftover in (out / "checkpoints").glob("*.tmp"):
            leftover.unlink()  # a checkpoint a kill cut short
        if saved is None:
            print(f"{out} holds no checkpoint yet: it starts again from the beginning", file=sys.stderr)
    out.mkdir(parents=True, exist_ok=True)
    (out / "config.json").write_text(json.dumps(config.to_dict(), indent=2) + "\n")
    state.write_best(out)  # the best network up to the checkpoint gone on from
    seconds = args.minutes * 60 if args.minutes is not None else math.inf
    interrupts = _Interrupts()
    with interrupts, run_log.RunLog(out, state, seconds=seconds, updates=args.updates) as log:
        train(state, log, seconds=seconds, updates=args.updates, stop=interrupts)
    written = ["config.json", str(run_log.checkpoint_path(out, state.updates).relative_to(out))] + [
        name for name in ("best.pt", "log.csv", "evaluations.csv", "learning_curve.png", "tensorboard/")
        if (out / name).exists()]
    if interrupts.asked:
        print(f"stopped by Ctrl-C after {state.updates:,} updates ({state.seconds / 60:.1f} training minutes); "
              f"wrote {', '.join(written)} in {out}; go on with --resume {out}")
        return 130
    print(f"trained {state.updates:,} updates on {state.samples:,} samples in {state.seconds / 60:.1f} training "
          f"minutes; wrote {', '.join(written)} in {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
