"""The trainer's command line and settings, without torch: ``--help`` at once and complete, every
refused argument a one-line usage error that names it and leaves nothing behind, every setting
checked where it is given, a run directory holding one run, checkpoints ordered by number."""

import subprocess
import sys
import time

import pytest

from murkplay_rl import run_log, train
from murkplay_rl.train_config import NetworkConfig, PPOConfig, TrainConfig


def test_help_is_quick_complete_and_imports_no_torch():
    code = ("import sys, time; started = time.perf_counter()\n"
            "from murkplay_rl import train\n"
            "try:\n    train.main(['--help'])\nexcept SystemExit:\n    pass\n"
            "print('torch' in sys.modules, time.perf_counter() - started, file=sys.stderr)")
    started = time.perf_counter()
    shown = subprocess.run([sys.executable, "-m", "murkplay_rl.train", "--help"], capture_output=True, text=True,
                           timeout=60)
    elapsed = time.perf_counter() - started
    assert shown.returncode == 0 and elapsed < 1.0, elapsed
    assert shown.stdout.startswith("usage: python -m murkplay_rl.train ")
    text = " ".join(shown.stdout.split())
    for name, default, _ in TrainConfig.describe():
        assert f"{name}={default} " in text, name
    assert "the earlier run's minutes count" in text  # what --minutes means with --resume
    probe = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    imported, seconds = probe.stderr.split()
    assert imported == "False" and float(seconds) < 1.0


MINUTES = ["--minutes", "1"]


@pytest.mark.parametrize("arguments, named", [
    ([*MINUTES, "--set", "games=0"], "games must be at least 1, not 0"),
    ([*MINUTES, "--set", "steps=0"], "steps must be at least 1, not 0"),
    ([*MINUTES, "--set", "games=abc"], "games must be a whole number, not 'abc'"),
    ([*MINUTES, "--set", "games=-3"], "games must be at least 1, not -3"),
    ([*MINUTES, "--set", "ppo.speed=2"], "there is no setting named ppo.speed"),
    ([*MINUTES, "--set", "speed=2"], "there is no setting named speed"),
    ([*MINUTES, "--set", "network=3"], "network is a group"),
    ([*MINUTES, "--set", "games"], "--set games: give a setting as NAME=VALUE"),
    ([*MINUTES, "--set", "ppo.lam=1.5"], "ppo.lam must be at most 1.0, not 1.5"),
    ([*MINUTES, "--set", "ppo.learning_rate=nan"], "ppo.learning_rate must be a finite number, not nan"),
    ([*MINUTES, "--set", "eval_every=-1"], "eval_every must be more than 0.0, not -1.0"),
    ([*MINUTES, "--set", "eval_opponents=random,subprocess:run"], "eval_opponents cannot be 'subprocess:run'"),
    ([*MINUTES, "--seed", "-1"], "--seed: seed must be at least 0, not -1"),
    ([*MINUTES, "--threads", "0"], "--threads: threads must be at least 1, not 0"),
    ([*MINUTES, "--threads", "100000"], "--threads: threads must be at most"),
    (["--minutes", "nan"], "argument --minutes: must be a positive number of minutes, not 'nan'"),
    (["--minutes", "-1"], "not '-1'"),
    (["--minutes", "0"], "not '0'"),
    (["--minutes", "inf"], "not 'inf'"),
    (["--minutes", "ten"], "not 'ten'"),
    (["--updates", "0"], "argument --updates: must be a whole number of at least 1, not '0'"),
    (["--updates", "2.5"], "not '2.5'"),
    ([*MINUTES, "--actors", "-1"], "argument --actors: must be a whole number, 0 or more, not '-1'"),
    ([*MINUTES, "--actors", "1", "--set", "network.foresight=1"], "network.foresight is not played on Ray actors"),
    ([*MINUTES, "--set", "network.foresight=-1"], "network.foresight must be at least 0.0, not -1.0"),
    ([*MINUTES, "--set", "network.foresight_depth=6"], "network.foresight_depth must be at most 5, not 6"),
    ([], "give --minutes, --updates or both"),
])
def test_a_refused_argument_is_a_usage_error_naming_it(tmp_path, capsys, arguments, named):
    out = tmp_path / "run"
    with pytest.raises(SystemExit) as exited:
        train.main(["--out", str(out), *arguments])
    error = capsys.readouterr().err
    assert exited.value.code == 2 and named in error
    assert error.count("\n") == 1 and error.startswith("python -m murkplay_rl.train: error: ")
    assert not out.exists()


def test_a_run_directory_holds_one_run(tmp_path, capsys):
    for holding in ("config.json", "log.csv", "evaluations.csv", "checkpoints/checkpoint-000050.pt"):
        run = tmp_path / holding.replace("/", "-")
        (run / holding).parent.mkdir(parents=True)
        (run / holding).write_text("{}")
        before = sorted(path.name for path in run.rglob("*"))
        with pytest.raises(SystemExit) as exited:
            train.main([*MINUTES, "--out", str(run)])
        error = capsys.readouterr().err
        assert exited.value.code == 2 and f"--out {run} holds a run already" in error and error.count("\n") == 1
        assert sorted(path.name for path in run.rglob("*")) == before
    empty = tmp_path / "empty"
    empty.mkdir()
    with pytest.raises(SystemExit):
        train.main([*MINUTES, "--resume", str(empty)])
    assert "holds no run" in capsys.readouterr().err
    with pytest.raises(SystemExit):
        train.main(MINUTES)
    assert "give --out (a new run) or --resume" in capsys.readouterr().err


def test_without_torch_training_is_one_line_naming_the_extra(tmp_path, capsys, block_import):
    block_import("torch")
    with pytest.raises(SystemExit) as exited:
        train.main([*MINUTES, "--out", str(tmp_path / "run")])
    error = capsys.readouterr().err
    assert exited.value.code == 2 and error.count("\n") == 1
    assert "training needs torch, which is not installed" in error and "[train]" in error
    assert not (tmp_path / "run").exists()


def test_checkpoints_are_ordered_by_number(tmp_path):
    (tmp_path / "checkpoints").mkdir()
    for name in ("checkpoint-1000000.pt", "checkpoint-999999.pt", "checkpoint-000050.pt", "checkpoint-7.tmp",
                 "checkpoint-x.pt", "notes.txt"):
        (tmp_path / "checkpoints" / name).write_bytes(b"")
    assert [path.name for path in run_log.checkpoints(tmp_path)] == [
        "checkpoint-000050.pt", "checkpoint-999999.pt", "checkpoint-1000000.pt"]
    assert run_log.checkpoint_path(tmp_path, 1_000_000).name == "checkpoint-1000000.pt"


@pytest.mark.parametrize("make, named", [
    (lambda: TrainConfig(games=0), "games must be at least 1, not 0"),
    (lambda: TrainConfig(games=True), "games must be a whole number, not True"),
    (lambda: TrainConfig(steps=2.0), "steps must be a whole number, not 2.0"),
    (lambda: TrainConfig(opponent_share=1.5), "opponent_share must be at most 1.0"),
    (lambda: TrainConfig(eval_every=float("inf")), "eval_every must be a finite number, not inf"),
    (lambda: TrainConfig(eval_opponents=()), "eval_opponents must be a non-empty list of names"),
    (lambda: TrainConfig(eval_opponents=("greedy", "policy.pt")), "eval_opponents cannot be 'policy.pt'"),
    (lambda: TrainConfig(device=""), "device must be a name"),
    (lambda: TrainConfig(seed=2**63), "seed must be at most"),
    (lambda: TrainConfig(network={"channels": 0}), "network.channels must be at least 1, not 0"),
    (lambda: TrainConfig(network=3), "network must be a group of settings, not 3"),
    (lambda: NetworkConfig(key=-1), "network.key must be at least 1, not -1"),
    (lambda: PPOConfig(minibatch=1), "ppo.minibatch must be at least 2, not 1"),
    (lambda: PPOConfig(clip=0.0), "ppo.clip must be more than 0.0, not 0.0"),
    (lambda: PPOConfig(gamma="high"), "ppo.gamma must be a number, not 'high'"),
    (lambda: TrainConfig.from_dict({"games": 8, "colour": "white"}), "there is no setting named colour"),
    (lambda: TrainConfig.from_dict({"ppo": {"epochs": "3"}}), "ppo.epochs must be a whole number, not '3'"),
    (lambda: TrainConfig.from_dict([1, 2]), "the settings must be a dict of settings"),
])
def test_every_setting_is_checked_where_it_is_given(make, named):
    with pytest.raises(ValueError, match="^" + named.replace("(", r"\(").replace(".", r"\.")):
        make()


def test_settings_read_back_as_written():
    config = TrainConfig().with_setting("ppo.epochs", "3").with_setting("eval_opponents", "random, belief")
    assert (config.ppo.epochs, config.eval_opponents) == (3, ("random", "belief"))
    assert TrainConfig.from_dict(config.to_dict()) == config
    assert TrainConfig(eval_every=150, eval_points=5).eval_interval(120) == 24  # a 2-minute run: 6 points
    assert TrainConfig(eval_every=150, eval_points=5).eval_interval(1800) == 150
