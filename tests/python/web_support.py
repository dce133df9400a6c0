"""What the web app's tests share: recorded games and a training run to serve, and start
positions close to an end."""

import csv
import os

import pytest

from murkplay_rl.run_log import EVALUATION_COLUMNS

# Black to move, and every move of its king steps where White's queen takes it.
KING_IN_REACH = "k7/8/1Q6/8/8/8/8/4K3 b - - 0 1"
# White's pawn on a7 promotes; the Black king is far away.
PAWN_PROMOTES = "7k/P7/8/8/8/8/8/K7 w - - 0 1"


@pytest.fixture(scope="session")
def records(tmp_path_factory):
    """A directory of record sets: the arena's games in ``arena`` (with arena.json), and
    a set of its own in ``other``."""
    pytest.importorskip("pyarrow", reason="the records need pyarrow (murkplay[dataset])")
    from murkplay_rl import arena

    root = tmp_path_factory.mktemp("records")
    arena.tournament(["random", "greedy", "cautious"], 4, max_plies=60, seed=3, out=root / "arena")
    arena.tournament(["random", "greedy"], 2, max_plies=40, seed=4, out=root / "other")
    return root


def evaluation_rows(count, opponents=("random", "greedy")):
    return [dict(updates=10 * k, samples=1000 * k, seconds=60.0 * k, opponent=opponent, games=100,
                 score=min(1.0, 0.1 * k), low=max(0.0, 0.1 * k - 0.05), high=min(1.0, 0.1 * k + 0.05))
            for k in range(count) for opponent in opponents]


def write_evaluations(run, rows, *, append=False):
    path = os.path.join(run, "evaluations.csv")
    fresh = not append or not os.path.exists(path)
    with open(path, "a" if append else "w", newline="") as sink:
        writer = csv.DictWriter(sink, EVALUATION_COLUMNS)
        if fresh:
            writer.writeheader()
        writer.writerows(rows)
    return path
