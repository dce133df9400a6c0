"""A run directory, and what a training run writes into it as it goes: CSV logs, TensorBoard,
the learning curve, the progress bars.

A run directory holds one run: ``config.json``, ``checkpoints/checkpoint-NNNNNN.pt`` (numbered by
update), ``log.csv``, ``evaluations.csv``, ``learning_curve.png`` and, when tensorboard is
installed, ``tensorboard/``. Every log row is written whole and flushed, and every row of an
update up to a checkpoint's is written before that checkpoint, so a run resumed from its latest
checkpoint drops the rows after it (``drop_rows_after``) and logs each update once.
"""

from __future__ import annotations

import contextlib
import csv
import os
import re
import sys
from pathlib import Path

from murkplay_rl._optional import require

UPDATE_COLUMNS = ("updates", "samples", "plies", "seconds", "samples_per_second", "policy_loss", "value_loss",
                  "entropy", "approx_kl", "clip_fraction", "guess_loss", "collect_seconds", "update_seconds",
                  "murkplay_share", "games", "opponent", "pool_win_rate")
EVALUATION_COLUMNS = ("updates", "samples", "seconds", "opponent", "games", "score", "low", "high")
LOGS = {"log.csv": UPDATE_COLUMNS, "evaluations.csv": EVALUATION_COLUMNS}
_NUMBERED = re.compile(r"checkpoint-(\d+)\.pt")


def checkpoint_path(run, updates: int) -> Path:
    return Path(run) / "checkpoints" / f"checkpoint-{updates:06d}.pt"


def checkpoints(run) -> list[Path]:
    """The checkpoints of a run directory, in the order of their update counts."""
    found = []
    for path in (Path(run) / "checkpoints").glob("checkpoint-*.pt"):
        numbered = _NUMBERED.fullmatch(path.name)
        if numbered:
            found.append((int(numbered[1]), path))
    return [path for _, path in sorted(found)]


def holds_run(run) -> bool:
    """Whether a directory holds (part of) a training run."""
    run = Path(run)
    return any((run / name).exists() for name in ("config.json", *LOGS)) or bool(checkpoints(run))


def drop_rows_after(run, updates: int) -> None:
    """Keeps the rows of the logs up to update ``updates`` (a checkpoint's): the rows a run
    stopped after its checkpoint wrote (a kill, Ctrl-C) are written again when it goes on. A
    row cut short by a kill is dropped too. Each file is replaced whole."""
    for name, columns in LOGS.items():
        path = Path(run) / name
        if not path.exists():
            continue
        with path.open(newline="") as file:
            rows = [row for row in csv.DictReader(file)
                    if all(row.get(column) for column in columns) and row["updates"].isdigit()
                    and int(row["updates"]) <= updates]
        temporary = path.with_suffix(".tmp")
        with temporary.open("w", newline="") as file:
            writer = csv.DictWriter(file, columns, extrasaction="ignore")
            writer.writeheader()
            writer.writerows(rows)
        os.replace(temporary, path)


class _Csv:
    def __init__(self, path: Path, columns: tuple[str, ...]):
        self.columns = columns
        fresh = not path.exists()
        self.file = path.open("a", newline="")
        self.writer = csv.DictWriter(self.file, columns, extrasaction="ignore")
        if fresh:
            self.writer.writeheader()

    def write(self, row: dict) -> None:
        self.writer.writerow(row)
        self.file.flush()


def read_evaluations(run) -> list[dict]:
    with (Path(run) / "evaluations.csv").open() as file:
        return list(csv.DictReader(file))


def plot_curve(run) -> Path:
    """Draws ``learning_curve.png`` from ``evaluations.csv``: each baseline's score over training
    minutes and over samples, with its 95 % interval."""
    matplotlib = require("matplotlib", "train", "the learning curve")
    matplotlib.use("Agg")
    from matplotlib import pyplot

    rows = read_evaluations(run)
    figure, axes = pyplot.subplots(1, 2, figsize=(11, 4), sharey=True)
    for opponent in dict.fromkeys(row["opponent"] for row in rows):
        mine = [row for row in rows if row["opponent"] == opponent]
        score = [float(row["score"]) for row in mine]
        low = [float(row["low"]) for row in mine]
        high = [float(row["high"]) for row in mine]
        for axis, x in ((axes[0], [float(row["seconds"]) / 60 for row in mine]),
                        (axes[1], [int(row["samples"]) for row in mine])):
            axis.plot(x, score, marker="o", markersize=3, label=f"against {opponent}")
            axis.fill_between(x, low, high, alpha=0.2)
    axes[0].set_xlabel("training minutes")
    axes[1].set_xlabel("samples (learner's decisions)")
    axes[0].set_ylabel("score (win 1, unfinished 1/2)")
    for axis in axes:
        axis.set_ylim(0, 1.02)
        axis.grid(alpha=0.3)
    axes[0].legend(loc="lower right")
    figure.suptitle(f"self-play PPO: {Path(run).name}")
    figure.tight_layout()
    path = Path(run) / "learning_curve.png"
    figure.savefig(path, dpi=100)
    pyplot.close(figure)
    return path


def _tqdm():
    try:
        from tqdm import tqdm
    except ImportError:  # the bars are the extra "train"'s; without them a line per evaluation
        return None
    return tqdm


class RunLog:
    """The logs of one run directory, opened for appending (a resumed run goes on in them), and
    a bar of the budget: training minutes, or updates when only those are given."""

    def __init__(self, out: Path, state, *, seconds: float, updates: int | None):
        self.out = Path(out)
        self.updates = _Csv(self.out / "log.csv", UPDATE_COLUMNS)
        self.evaluations = _Csv(self.out / "evaluations.csv", EVALUATION_COLUMNS)
        self.board = None
        try:
            from torch.utils.tensorboard import SummaryWriter
        except ImportError:  # tensorboard is an optional extra
            pass
        else:
            # A resumed run hides the events its predecessor logged after the checkpoint.
            self.board = SummaryWriter(str(self.out / "tensorboard"), purge_step=state.samples + 1)
        self.scores = ""
        self.speed = ""
        self.by_minutes = seconds < float("inf")
        tqdm = _tqdm()
        self.bar = None
        if tqdm is not None:
            if self.by_minutes:
                self.bar = tqdm(total=round(seconds / 60, 2), initial=round(min(state.seconds, seconds) / 60, 2),
                                unit="min", file=sys.stderr, dynamic_ncols=True,
                                bar_format="{l_bar}{bar}| {n:.1f}/{total:.1f} training min [{elapsed}<{remaining}"
                                           "{postfix}]")
            else:
                self.bar = tqdm(total=updates, initial=min(state.updates, updates), unit="update", file=sys.stderr,
                                dynamic_ncols=True)

    def __enter__(self) -> RunLog:
        return self

    def __exit__(self, *exc) -> None:
        if self.bar is not None:
            self.bar.close()
        if self.board is not None:
            self.board.close()
        self.updates.file.close()
        self.evaluations.file.close()

    def update(self, state, rollout, losses: dict, *, collect_seconds: float, update_seconds: float,
               opponent: str | None = None) -> None:
        """The row of the update ``state`` has just made on ``rollout``, played against the
        pool's entry ``opponent``."""
        seconds = collect_seconds + update_seconds
        row = dict(
            losses, updates=state.updates, samples=state.samples, plies=state.plies, seconds=state.seconds,
            samples_per_second=rollout.samples / seconds, collect_seconds=collect_seconds,
            update_seconds=update_seconds, murkplay_share=state.murkplay_seconds / state.seconds,
            games=rollout.games, opponent=opponent or "none",
            pool_win_rate=rollout.wins / max(rollout.wins + rollout.losses, 1),
        )
        self.updates.write(row)
        if self.board is not None:
            for name in UPDATE_COLUMNS[4:]:
                if name == "opponent":
                    continue
                self.board.add_scalar(f"train/{name}", row[name], row["samples"])
        self.speed = f"update {state.updates:,}, {row['samples_per_second']:,.0f} samples/s"
        if self.bar is not None:
            self.bar.update((state.seconds / 60 if self.by_minutes else state.updates) - self.bar.n)
            self._postfix()

    @contextlib.contextmanager
    def evaluating(self, games: int):
        """A callable that counts games as an evaluation plays them (a bar of its own); the
        budget's bar does not count the time."""
        tqdm = _tqdm()
        if tqdm is None or self.bar is None:
            yield lambda count: None
            return
        self.bar.refresh()
        bar = tqdm(total=games, unit="game", desc="evaluating", file=sys.stderr, dynamic_ncols=True, leave=False)
        try:
            yield bar.update
        finally:
            bar.close()
            self.bar.unpause()

    def evaluation(self, state, results: dict) -> None:
        for opponent, (score, low, high) in results.items():
            row = dict(updates=state.updates, samples=state.samples, seconds=round(state.seconds, 2),
                       opponent=opponent, games=state.config.eval_games, score=score, low=low, high=high)
            self.evaluations.write(row)
            if self.board is not None:
                self.board.add_scalar(f"score/{opponent}", score, state.samples)
        self.scores = " ".join(f"{opponent[:4]} {result[0]:.2f}" for opponent, result in results.items())
        plot_curve(self.out)
        if self.bar is None:
            print(f"{state.seconds / 60:.1f} min, {state.samples} samples: {self.scores}", flush=True)
        else:
            self._postfix()

    def _postfix(self) -> None:
        self.bar.set_postfix_str(", ".join(part for part in (self.speed, self.scores) if part))
