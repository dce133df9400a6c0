"""What a training run writes as it goes: CSV logs, TensorBoard, the learning curve, the bar.

Every file is appended or rewritten whole after each row, so a run stopped at any point leaves
logs that agree with its latest checkpoint or run past it, never a torn file.
"""

from __future__ import annotations

import csv
import sys
from pathlib import Path

from murkplay_rl._optional import require

UPDATE_COLUMNS = ("updates", "samples", "plies", "seconds", "samples_per_second", "policy_loss", "value_loss",
                  "entropy", "approx_kl", "clip_fraction", "collect_seconds", "update_seconds", "murkplay_share",
                  "games", "pool_win_rate")
EVALUATION_COLUMNS = ("updates", "samples", "seconds", "opponent", "games", "score", "low", "high")


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


class RunLog:
    """The logs of one run directory, opened for appending (a resumed run goes on in them)."""

    def __init__(self, out: Path, *, budget: float):
        self.out = Path(out)
        self.updates = _Csv(self.out / "log.csv", UPDATE_COLUMNS)
        self.evaluations = _Csv(self.out / "evaluations.csv", EVALUATION_COLUMNS)
        self.board = None
        try:
            from torch.utils.tensorboard import SummaryWriter
        except ImportError:  # tensorboard is an optional extra
            pass
        else:
            self.board = SummaryWriter(str(self.out / "tensorboard"))
        self.bar = None
        try:
            from tqdm import tqdm
        except ImportError:
            pass
        else:
            self.bar = tqdm(total=round(budget), unit="s", file=sys.stderr, dynamic_ncols=True)
        self.last = {}
        self.scores = ""

    def __enter__(self) -> RunLog:
        return self

    def __exit__(self, *exc) -> None:
        if self.bar is not None:
            self.bar.close()
        if self.board is not None:
            self.board.close()
        self.updates.file.close()
        self.evaluations.file.close()

    def update(self, stats: dict) -> None:
        self.updates.write(stats)
        if self.board is not None:
            for name in UPDATE_COLUMNS[4:]:
                self.board.add_scalar(f"train/{name}", stats[name], stats["samples"])
        self._show(stats)

    def evaluation(self, trainer, results: dict) -> None:
        for opponent, (score, low, high) in results.items():
            row = dict(updates=trainer.updates, samples=trainer.samples, seconds=round(trainer.seconds, 2),
                       opponent=opponent, games=trainer.config.eval_games, score=score, low=low, high=high)
            self.evaluations.write(row)
            if self.board is not None:
                self.board.add_scalar(f"score/{opponent}", score, trainer.samples)
        self.scores = " ".join(f"{opponent[:4]} {result[0]:.2f}" for opponent, result in results.items())
        plot_curve(self.out)
        if self.bar is None:
            print(f"{trainer.seconds / 60:.1f} min, {trainer.samples} samples: {self.scores}", flush=True)
        self._show(self.last)

    def _show(self, stats: dict) -> None:
        self.last = stats
        if self.bar is None or not stats:
            return
        self.bar.n = min(round(stats["seconds"]), self.bar.total)
        self.bar.set_postfix_str(f"{stats['samples_per_second']:,.0f} samples/s, {self.scores}")
