"""The rating fit on cases with known answers, and the arena's games, records and refit."""

import itertools
import json
import math
import os
import subprocess
import sys
import time

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from murkplay_rl import arena, ratings


def expected(difference):
    return 1 / (1 + 10 ** (-difference / 400))


def test_the_fit_finds_the_ratings_that_made_the_scores():
    truth = np.array([0.0, 150.0, 420.0, -80.0])
    names = ["random", "a", "b", "c"]
    pairs = [(i, j, 1000 * expected(truth[i] - truth[j]), 1000) for i in range(4) for j in range(i + 1, 4)]
    fitted = ratings.fit(names, pairs, prior_draws=0)
    np.testing.assert_allclose(fitted.elo, truth, atol=1e-6)
    # Two agents: the interval is 1.96 / sqrt(Fisher information) of the one difference.
    two = ratings.fit(["random", "a"], [(1, 0, 750, 1000)], prior_draws=0)
    half = 1.959963984540054 / (math.log(10) / 400 * math.sqrt(1000 * 0.75 * 0.25))
    assert two.elo[1] == pytest.approx(400 * math.log10(3))
    assert (two.low[1], two.high[1]) == pytest.approx((two.elo[1] - half, two.elo[1] + half))


def test_a_perfect_score_needs_the_prior():
    with pytest.raises(ValueError, match="no finite maximum"):
        ratings.fit(["random", "a"], [(1, 0, 100, 100)], prior_draws=0)
    fitted = ratings.fit(["a", "random"], [(0, 1, 100, 100)])
    # One imagined draw: a scores 100.5 of 101.
    assert fitted.elo[0] == pytest.approx(400 * math.log10(100.5 / 0.5))
    assert fitted.low[0] < fitted.elo[0] < fitted.high[0]
    assert ratings.score_interval(100, 100)[0] < 1 == ratings.score_interval(100, 100)[1]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from([0, 0.5, 1, 188, 399.5, 400]), min_size=6, max_size=6), st.integers(3, 4))
def test_a_fit_matches_every_agents_score_or_is_refused(scores, count):
    """A fit exists exactly when no group of agents scored nothing against the others; then each
    agent's expected points equal its points. Newton's method used to walk off on the groups,
    returning -6,570 ± 2e9 for random beating greedy and cautious 400 to 0."""
    names = ["random", "a", "b", "c"][:count]
    pairs = [(i, j, score, 400) for (i, j), score in zip(itertools.combinations(range(count), 2), scores)]

    def scored(group):  # the points of the group against the others
        return sum(score if i in group else 400 - score for i, j, score, _ in pairs if (i in group) != (j in group))

    groups = [set(group) for size in range(1, count) for group in itertools.combinations(range(count), size)]
    if any(scored(group) == 0 for group in groups):
        with pytest.raises(ValueError, match="no finite maximum: .* scored nothing in"):
            ratings.fit(names, pairs, prior_draws=0)
        return
    fitted = ratings.fit(names, pairs, prior_draws=0)
    missing = np.zeros(count)
    for i, j, score, played in pairs:
        p = expected(fitted.elo[i] - fitted.elo[j])
        missing[i] += played * p - score
        missing[j] += played * (1 - p) - (played - score)
    np.testing.assert_allclose(missing, 0, atol=1e-6)
    assert np.all(np.isfinite(fitted.low)) and np.all(np.isfinite(fitted.high))


def test_a_tournament_writes_records_that_replay_and_refit(tmp_path):
    pytest.importorskip("pyarrow")
    from murkplay_rl.dataset import read_records, replay_records

    out = tmp_path / "games"
    result = arena.tournament(["random", "greedy", "cautious"], 30, max_plies=80, threads=2, seed=5, out=out)
    assert [(m.first, m.second, m.games) for m in result.matches] == [
        ("random", "greedy", 30), ("random", "cautious", 30), ("greedy", "cautious", 30)]
    records = list(read_records(out))
    sidecar = json.loads((out / arena.SIDECAR).read_text())
    assert len(records) == 90 == len(sidecar["white"])
    # Every pair played half its games with each colour.
    colours = list(zip(sidecar["white"], sidecar["black"]))
    assert all(colours.count((i, j)) == 15 for i in range(3) for j in range(3) if i != j)
    assert all(record.plies <= 80 and (record.result == 0 or record.plies > 0) for record in records)
    replay = replay_records(records)  # refuses any record whose slots are not its moves'
    assert len(replay.slot) == sum(record.plies for record in records)
    refitted = arena.ratings_from_records(out)
    np.testing.assert_allclose(refitted.elo, result.ratings.elo)
    assert refitted.names == result.names
    # Greedy takes whatever it sees hanging; random does not.
    assert result.matches[0].score < 0.5
    with pytest.raises(ValueError, match="already holds games"):
        arena.tournament(["random", "greedy"], 2, out=out)


def test_games_that_move_to_a_smaller_batch_keep_their_ply_limit():
    from murkplay_rl import agents
    from murkplay_rl.dataset import replay_records

    random = agents.builtin("random")
    played = arena.play_games(random, agents.builtin("greedy"), 64, max_plies=30, seed=8)
    # Half the games end early, the rest move on, and many of those reach the limit.
    assert 0 < np.sum(played.plies == 30) < 32 and played.plies.max() == 30
    assert np.all(played.plies[played.result == 0] == 30)
    replay = replay_records(played.records())
    assert len(replay.slot) == played.plies.sum()


def test_match_scores_from_the_first_agents_side():
    result = arena.match("greedy", "random", 40, max_plies=100, seed=2)
    assert (result.first, result.second, result.games) == ("greedy", "random", 40)
    assert result.score > 0.5
    low, high = result.interval
    assert low <= result.score <= high


def test_the_command_line_prints_and_draws(tmp_path, capsys):
    for package in ("matplotlib", "tqdm", "pyarrow"):
        pytest.importorskip(package)
    out = tmp_path / "run"
    assert arena.main(["random", "greedy", "--games", "10", "--max-plies", "40", "--out", str(out)]) == 0
    printed = capsys.readouterr().out
    assert "random" in printed and "(anchor)" in printed
    assert (out / "ratings.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_a_torch_agent_plays_its_own_moves_and_its_games_replay(tmp_path):
    torch = pytest.importorskip("torch")
    pytest.importorskip("pyarrow")
    from murkplay_rl import agents
    from murkplay_rl.dataset import RecordWriter, read_records, replay_records

    uniform = agents.TorchAgent(lambda observation: torch.zeros(len(observation), 4352), name="uniform")
    with RecordWriter(tmp_path) as writer:
        result = arena.match(uniform, "cautious", 12, max_plies=60, seed=4, writer=writer)
    records = list(read_records(tmp_path))
    assert result.games == len(records) == 12
    assert sum(record.result != 0 for record in records) == result.wins + result.losses
    replay_records(records)


def test_help_comes_at_once_and_names_every_agent_it_takes():
    from murkplay_rl import agents

    timings = []
    for _ in range(3):
        started = time.perf_counter()
        shown = subprocess.run([sys.executable, "-m", "murkplay_rl.arena", "--help"], check=True,
                               capture_output=True, text=True).stdout
        timings.append(time.perf_counter() - started)
    assert min(timings) < 1.0, timings
    assert shown.startswith("usage: python -m murkplay_rl.arena ")
    listed = shown.split("agents:")[1]
    for name in (*agents.BUILTIN, *agents.NAMED, "PATH", "MODULE:CALLABLE"):
        assert name in listed
    assert "imports and runs MODULE" in listed


@pytest.mark.parametrize("hidden, options", [("tqdm", []), ("pyarrow", ["--out", "run"]),
                                             ("matplotlib", ["--out", "run"])])
def test_a_missing_extra_is_one_line_naming_the_install(block_import, capsys, tmp_path, monkeypatch, hidden,
                                                       options):
    for package in {"tqdm", "pyarrow", "matplotlib"} - {hidden}:
        pytest.importorskip(package)
    monkeypatch.chdir(tmp_path)
    block_import(hidden)
    with pytest.raises(SystemExit) as ended:
        arena.main(["random", "greedy", "--games", "2", *options])
    printed = capsys.readouterr()
    assert ended.value.code == 2 and printed.out == ""
    assert printed.err == (f"python -m murkplay_rl.arena: error: {_needs(hidden)} needs {hidden}, which is not "
                           'installed: pip install "murkplay[arena]" (from a checkout: pip install ".[arena]") '
                           "(see --help)\n")
    assert os.listdir(tmp_path) == []


def _needs(package):
    return {"tqdm": "the arena's progress bar", "pyarrow": "the arena's game records",
            "matplotlib": "the arena's chart"}[package]


def test_an_interrupted_run_keeps_its_finished_games_and_their_sidecar(tmp_path, capsys, monkeypatch):
    for package in ("matplotlib", "tqdm", "pyarrow"):
        pytest.importorskip(package)
    from murkplay_rl.dataset import read_records

    played = arena._match_games
    calls = []

    def interrupted_on_the_second_pair(*args, **kwargs):
        calls.append(args)
        if len(calls) == 2:
            raise KeyboardInterrupt
        return played(*args, **kwargs)

    monkeypatch.setattr(arena, "_match_games", interrupted_on_the_second_pair)
    out = tmp_path / "run"
    assert arena.main(["random", "greedy", "cautious", "--games", "6", "--out", str(out)]) == 130
    assert capsys.readouterr().err.endswith(f"interrupted: wrote 6 game records, arena.json to {out}\n")
    sidecar = json.loads((out / arena.SIDECAR).read_text())
    assert len(list(read_records(out))) == len(sidecar["white"]) == 6
    assert {name for name in os.listdir(out) if not name.startswith("shard-")} == {arena.SIDECAR}
