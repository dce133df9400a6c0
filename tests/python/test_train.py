"""The self-play trainer on a tiny network: finite losses, legal-only probabilities, advantages
against a plain per-game statement, resuming bit for bit (after a kill and after Ctrl-C too),
the same losses from the same seed, and every file of a run directory."""

import csv
import importlib.util
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

torch = pytest.importorskip("torch")
pytest.importorskip("matplotlib")

import murkplay_rl  # noqa: E402
from murkplay_rl import train  # noqa: E402
from murkplay_rl.network import load_network  # noqa: E402
from murkplay_rl.policy import legal_log_probs, legal_slots, log_probs  # noqa: E402
from murkplay_rl.ppo import Samples  # noqa: E402
from murkplay_rl.rollout import Rollout, advantages  # noqa: E402
from murkplay_rl.train_config import BASELINES, TrainConfig  # noqa: E402
from murkplay_rl.train_state import TrainState  # noqa: E402

TINY = ["--set", "games=6", "--set", "steps=6", "--set", "max_plies=12", "--set", "network.channels=4",
        "--set", "network.blocks=1", "--set", "network.key=4", "--set", "ppo.minibatch=16", "--set", "ppo.decay_updates=3",
        "--set", "snapshot_every=1", "--set", "pool_size=2", "--set", "checkpoint_every=2",
        "--set", "eval_games=4", "--set", "eval_every=1e9", "--seed", "3", "--threads", "1"]


def tiny_run(out, updates, *more):
    assert train.main(["--minutes", "60", "--out", str(out), "--updates", str(updates), *TINY, *more]) == 0


def load(path):
    return torch.load(path, weights_only=True)


def assert_same(a, b, where="checkpoint"):
    if isinstance(a, dict):
        assert a.keys() == b.keys(), where
        for key in a:
            assert_same(a[key], b[key], f"{where}[{key!r}]")
    elif isinstance(a, (list, tuple)):
        assert len(a) == len(b), where
        for i, (x, y) in enumerate(zip(a, b)):
            assert_same(x, y, f"{where}[{i}]")
    elif isinstance(a, torch.Tensor):
        assert torch.equal(a, b), where
    elif where.endswith("['seconds']") or "murkplay_seconds" in where or "last_eval" in where:
        pass  # wall-clock figures
    else:
        assert a == b, where


def test_a_run_directory_holds_every_promised_file(tmp_path):
    tiny_run(tmp_path, 3)
    names = {path.name for path in tmp_path.iterdir()}
    expected = {"config.json", "checkpoints", "log.csv", "evaluations.csv", "learning_curve.png"}
    if importlib.util.find_spec("tensorboard") is not None:
        expected.add("tensorboard")
    assert expected <= names
    assert sorted(p.name for p in (tmp_path / "checkpoints").iterdir()) == [
        "checkpoint-000002.pt", "checkpoint-000003.pt"]
    log = np.genfromtxt(tmp_path / "log.csv", delimiter=",", names=True)
    assert len(log) == 3
    for column in ("policy_loss", "value_loss", "entropy", "approx_kl"):
        assert np.isfinite(log[column]).all(), column
    scores = np.genfromtxt(tmp_path / "evaluations.csv", delimiter=",", names=True, dtype=None, encoding="utf-8")
    assert set(scores["opponent"]) == set(BASELINES)
    assert ((scores["low"] <= scores["score"]) & (scores["score"] <= scores["high"])).all()
    network = load_network(tmp_path / "checkpoints" / "checkpoint-000003.pt")
    assert network(torch.zeros(2, 64, 35)).shape == (2, 4352)


def test_a_resumed_run_writes_the_same_next_checkpoint(tmp_path):
    tiny_run(tmp_path / "whole", 4)
    tiny_run(tmp_path / "cut", 3)  # its last checkpoint falls between two scheduled ones
    tiny_run(tmp_path / "cut", 4, "--resume", str(tmp_path / "cut"))
    name = "checkpoints/checkpoint-000004.pt"
    assert_same(load(tmp_path / "whole" / name), load(tmp_path / "cut" / name))


@pytest.mark.parametrize("device, named", [("cpux", "device must be a torch device such as cpu or cuda, not 'cpux'"),
                                           ("cuda:0", "device 'cuda:0': torch sees no GPU here")])
def test_a_device_torch_cannot_use_is_a_usage_error(tmp_path, capsys, device, named):
    if device.startswith("cuda") and torch.cuda.is_available():
        pytest.skip("this machine has a GPU")
    with pytest.raises(SystemExit) as exited:
        train.main(["--updates", "1", "--out", str(tmp_path / "run"), "--device", device])
    assert exited.value.code == 2 and named in capsys.readouterr().err
    assert not (tmp_path / "run").exists()


LOSSES = ("policy_loss", "value_loss", "entropy", "approx_kl", "clip_fraction")


def log_rows(run, columns=("updates", *LOSSES)):
    with (run / "log.csv").open() as file:
        return [tuple(row[column] for column in columns) for row in csv.DictReader(file)]


def test_the_same_seed_gives_the_same_losses_and_weights(tmp_path):
    for name in ("one", "two"):
        tiny_run(tmp_path / name, 4)
    assert log_rows(tmp_path / "one") == log_rows(tmp_path / "two")
    name = "checkpoints/checkpoint-000004.pt"
    assert_same(load(tmp_path / "one" / name), load(tmp_path / "two" / name))
    tiny_run(tmp_path / "other", 4, "--seed", "4")
    assert log_rows(tmp_path / "other") != log_rows(tmp_path / "one")


def test_resume_counts_the_earlier_run_s_minutes_and_restarts_a_run_without_checkpoint(tmp_path, capsys):
    tiny_run(tmp_path / "run", 3)
    rows = log_rows(tmp_path / "run")
    # --minutes is the budget in all: 3 updates took more than these minutes, so none follows.
    assert train.main(["--minutes", "1e-5", "--resume", str(tmp_path / "run")]) == 0
    assert log_rows(tmp_path / "run") == rows and "trained 3 updates" in capsys.readouterr().out
    shutil.rmtree(tmp_path / "run" / "checkpoints")
    tiny_run(tmp_path / "run", 2, "--resume", str(tmp_path / "run"))
    assert "holds no checkpoint yet: it starts again" in capsys.readouterr().err
    assert log_rows(tmp_path / "run") == rows[:2]
    evaluations = np.genfromtxt(tmp_path / "run" / "evaluations.csv", delimiter=",", names=True, dtype=None,
                                encoding="utf-8")
    assert len(evaluations) == 2 * len(BASELINES)  # at the start and at the end, once each


def start_run(out, updates, *more):
    return subprocess.Popen([sys.executable, "-m", "murkplay_rl.train", "--updates", str(updates), "--out", str(out),
                             *TINY, "--set", "checkpoint_every=3", *more], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def wait_for_rows(run, child, rows):
    """Waits until the run has logged ``rows`` updates past a checkpoint."""
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and child.poll() is None:
        logged = len(log_rows(run)) if (run / "log.csv").exists() else 0
        if logged >= rows and logged % 3:
            return
        time.sleep(0.02)
    raise AssertionError(f"the run logged too little: {child.communicate()}")


@pytest.mark.slow
@pytest.mark.parametrize("stop", ["SIGKILL", "SIGINT"])
def test_a_stopped_run_goes_on_as_if_it_had_not_stopped(tmp_path, stop):
    tiny_run(tmp_path / "whole", 12, "--set", "checkpoint_every=3")
    run = tmp_path / "stopped"
    child = start_run(run, 40)
    wait_for_rows(run, child, 4)
    child.send_signal(getattr(signal, stop))
    out, err = child.communicate(timeout=120)
    found = [int(path.stem.split("-")[1]) for path in (run / "checkpoints").glob("checkpoint-*.pt")]
    if stop == "SIGINT":
        # A last checkpoint at the last logged update, a closing line and no traceback.
        assert child.returncode == 130 and "Traceback" not in err, err
        assert max(found) == int(log_rows(run)[-1][0]) and f"stopped by Ctrl-C after {max(found)} updates" in out
    else:
        assert child.returncode == -signal.SIGKILL
        assert int(log_rows(run)[-1][0]) > max(found)  # rows past the checkpoint, dropped on resuming
        with (run / "log.csv").open("a") as log:
            log.write("1")  # a row a kill cut short
    assert max(found) < 12
    tiny_run(run, 12, "--resume", str(run), "--set", "checkpoint_every=3")
    assert log_rows(run) == log_rows(tmp_path / "whole")
    name = "checkpoints/checkpoint-000012.pt"
    assert_same(load(tmp_path / "whole" / name), load(run / name))


@pytest.mark.parametrize("fen", [None, "r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1"])  # b7 promotes by push and by capture
def test_only_legal_slots_get_probability(fen):
    batch = murkplay_rl.GameBatch(16, fen=fen, max_plies=40, auto_reset=True, seed=1)
    step = batch.observe()
    logits = torch.randn(16, murkplay_rl.ACTION_COUNT, generator=torch.Generator().manual_seed(0))
    for _ in range(30):
        legal, valid = legal_slots(step.mask)
        for game in range(16):  # each slot of a listed move, once
            listed = step.slots[step.offsets[game]:step.offsets[game + 1]]
            assert legal[game][valid[game]].tolist() == sorted(set(listed.tolist()))
        spread = torch.zeros(16, murkplay_rl.ACTION_COUNT)
        scores = legal_log_probs(logits, torch.from_numpy(legal), torch.from_numpy(valid))
        spread.scatter_add_(1, torch.from_numpy(legal), scores.exp())
        expected = log_probs(logits, torch.from_numpy(step.mask)).exp()
        assert torch.allclose(spread, expected, atol=1e-6)
        assert (spread[~torch.from_numpy(step.mask)] == 0).all()
        step = batch.step_random()


def test_a_rollout_records_what_its_policy_played():
    state = TrainState(TrainConfig(games=8, max_plies=16))
    rollout = state.selfplay.collect(state.network, state.network, 10)
    samples = Samples.of(rollout, advantages(rollout, 0.9, 0.8))
    assert samples.valid[torch.arange(len(samples)), samples.choice].all()
    with torch.no_grad():
        scores = legal_log_probs(state.network(samples.observation), samples.legal, samples.valid)
    assert torch.allclose(scores.gather(1, samples.choice[:, None])[:, 0], samples.log_prob, atol=1e-5)
    # The learner's moves: every move of a game against itself, its own colour's against the opponent.
    colour = state.selfplay.learner_colour
    against = colour >= 0
    assert against.sum() == 4
    assert (rollout.learner[:, ~against] == rollout.moved[:, ~against]).all()
    own = rollout.mover[:, against] == colour[against]
    assert (rollout.learner[:, against] == rollout.moved[:, against] & own).all()


def plain_advantages(decisions, result, bootstrap, gamma, lam):
    """GAE along one colour's decisions of one game: [(step, value)], the game's result for that
    colour (None: not over) and the value after the last decision."""
    out = []
    following_value, following_advantage = (0.0, 0.0) if result is not None else (bootstrap, 0.0)
    for index, (_, value) in reversed(list(enumerate(decisions))):
        last = index == len(decisions) - 1
        reward = result if (last and result is not None) else 0.0
        keep = 0.0 if (last and result is not None) else 1.0
        delta = reward + gamma * keep * following_value - value
        following_advantage = delta + gamma * lam * keep * following_advantage
        following_value = value
        out.append(following_advantage)
    return out[::-1]


def rollout_of(learner, mover, value, ended, outcome, bootstrap):
    """A rollout of these (steps, games) arrays, every move made; the rest does not bear on advantages."""
    shape = learner.shape
    return Rollout(moved=np.ones(shape, bool), learner=learner, mover=mover, slot=np.zeros(shape, np.int64),
                   log_prob=np.zeros(shape, np.float32), value=value.astype(np.float32), terminated=ended,
                   truncated=np.zeros(shape, bool), outcome=outcome, bootstrap=bootstrap,
                   observation=np.zeros((learner.sum(), 64, 35), np.float32),
                   mask=np.zeros((learner.sum(), murkplay_rl.ACTION_COUNT), bool))


@pytest.mark.parametrize("seed", range(4))
def test_advantages_follow_each_colour_of_each_game(seed):
    rng = np.random.default_rng(seed)
    steps, gamma, lam = 9, 0.9, 0.7
    # Game 0 is played by both colours and ends at step 6 by White's move, game 1 only by Black
    # and goes on; game 2 ends at step 3 by Black's move, its next game starting at step 5.
    movers = {0: [(t, t % 2) for t in range(7)], 1: [(t, 1) for t in range(1, steps, 2)],
              2: [(t, t % 2) for t in range(4)] + [(t, (t - 5) % 2) for t in range(5, steps)]}
    learner = np.zeros((steps, 3), bool)
    mover = np.zeros((steps, 3), np.int64)
    for g, moves in movers.items():
        for t, c in moves:
            learner[t, g], mover[t, g] = True, c
    value = np.where(learner, rng.uniform(-1, 1, learner.shape), 0.0)
    ended = np.zeros((steps, 3), bool)
    outcome = np.zeros((steps, 3, 2), np.float32)
    ended[6, 0], outcome[6, 0] = True, (1, -1)
    ended[3, 2], outcome[3, 2] = True, (-1, 1)
    bootstrap = rng.uniform(-1, 1, (3, 2)).astype(np.float32)
    got = advantages(rollout_of(learner, mover, value, ended, outcome, bootstrap), gamma, lam)
    value = value.astype(np.float32)
    expected = np.zeros((steps, 3))
    for g in range(3):
        episodes = [[(t, c) for t, c in movers[g] if t <= 3], [(t, c) for t, c in movers[g] if t >= 5]] \
            if g == 2 else [movers[g]]
        for number, moves in enumerate(episodes):
            over = (g == 0) or (g == 2 and number == 0)
            for c in (0, 1):
                mine = [(t, value[t, g]) for t, cc in moves if cc == c]
                if not mine:
                    continue
                result = float(outcome[6 if g == 0 else 3, g, c]) if over else None
                for (t, _), a in zip(mine, plain_advantages(mine, result, bootstrap[g, c], gamma, lam)):
                    expected[t, g] = a
    assert np.allclose(got, expected)
    assert (got[~learner] == 0).all()


def test_settings_are_checked_by_name(tmp_path, capsys):
    with pytest.raises(SystemExit) as exited:
        train.main(["--minutes", "1", "--out", str(tmp_path), "--set", "ppo.speed=2"])
    assert exited.value.code == 2
    assert "no setting named ppo.speed" in capsys.readouterr().err


@pytest.mark.slow
def test_self_play_on_ray_actors_trains_the_driver_s_network(tmp_path):
    ray = pytest.importorskip("ray")
    pytest.importorskip("pyarrow")
    try:
        tiny_run(tmp_path, 2, "--actors", "2", "--set", "games=4")
    finally:
        ray.shutdown()
    log = np.genfromtxt(tmp_path / "log.csv", delimiter=",", names=True)
    assert len(log) == 2 and np.isfinite(log["policy_loss"]).all()
    assert (log["games"] == 4).all()  # whole games, every one played by the actors
    # Its checkpoint is data too (it keeps no games), loads as an agent and resumes only on actors.
    from murkplay_rl import agents

    assert agents.load(str(tmp_path / "checkpoints" / "checkpoint-000002.pt")).name == "checkpoint-000002"
    with pytest.raises(SystemExit) as exited:
        train.main(["--updates", "3", "--resume", str(tmp_path)])
    assert exited.value.code == 2


def test_whole_games_are_valued_as_the_batch_would_value_them():
    from support import recorded_games

    from murkplay_rl.dataset import START_FEN
    from murkplay_rl.network import NetworkConfig, PolicyValueNet
    from murkplay_rl.remote_rollout import whole_games

    torch.manual_seed(5)
    network = PolicyValueNet(NetworkConfig(channels=4, blocks=1, key=4)).eval()
    played = recorded_games([START_FEN] * 4, max_plies=9, seed=11)
    records = [record for record, _, _ in played]
    with torch.no_grad():
        rollout = whole_games(records, network, max_plies=9)
    assert rollout.learner.sum() == rollout.samples == sum(record.plies for record in records)
    sample = 0
    for t in range(len(rollout.learner)):  # samples step after step, game after game
        for g in np.flatnonzero(rollout.learner[t]):
            record, observations, masks = played[g]
            assert np.array_equal(rollout.observation[sample], observations[t])
            assert np.array_equal(rollout.mask[sample], masks[t])
            assert rollout.slot[t, g] == record.slots[t] and rollout.mover[t, g] == t % 2
            with torch.no_grad():
                logits, value = network.evaluate(torch.from_numpy(observations[t][None]))
                scores = log_probs(logits, torch.from_numpy(masks[t][None]))
            assert np.isclose(rollout.value[t, g], float(value[0]), atol=1e-6)
            assert np.isclose(rollout.log_prob[t, g], float(scores[0, record.slots[t]]), atol=1e-5)
            sample += 1
    got = advantages(rollout, 0.9, 0.8)
    for g, record in enumerate(records):
        for colour in (0, 1):
            decisions = [(ply, rollout.value[ply, g]) for ply in range(colour, record.plies, 2)]
            result = record.result if colour == 0 else -record.result
            expected = plain_advantages(decisions, result, 0.0, 0.9, 0.8)
            assert np.allclose(got[colour:record.plies:2, g], expected)


def test_the_pretrained_agent_ships_and_plays():
    from importlib import resources

    from murkplay_rl import agents, arena

    shipped = resources.files("murkplay_rl") / "pretrained" / "ppo-30min.pt"
    assert shipped.is_file() and len(shipped.read_bytes()) <= 5 * 2**20
    agent = murkplay_rl.pretrained()
    assert agent.name == "pretrained" and agents.load("pretrained").name == "pretrained"
    result = arena.match(agent, "random", 4, max_plies=30, seed=1)
    assert result.games == 4
