"""The self-play trainer on a tiny network: finite losses, legal-only probabilities, advantages
against a plain per-game statement, resuming bit for bit, and every file of a run directory."""

import importlib.util

import numpy as np
import pytest

torch = pytest.importorskip("torch")
pytest.importorskip("matplotlib")

import murkplay_rl  # noqa: E402
from murkplay_rl import train  # noqa: E402
from murkplay_rl.network import legal_log_probs, load_network, masked_log_probs  # noqa: E402
from murkplay_rl.rollout import advantages, legal_slots  # noqa: E402

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
    assert set(scores["opponent"]) == set(train.BASELINES)
    assert ((scores["low"] <= scores["score"]) & (scores["score"] <= scores["high"])).all()
    network = load_network(tmp_path / "checkpoints" / "checkpoint-000003.pt")
    assert network(torch.zeros(2, 64, 35)).shape == (2, 4352)


def test_a_resumed_run_writes_the_same_next_checkpoint(tmp_path):
    tiny_run(tmp_path / "whole", 4)
    tiny_run(tmp_path / "cut", 3)  # its last checkpoint falls between two scheduled ones
    tiny_run(tmp_path / "cut", 4, "--resume", str(tmp_path / "cut"))
    name = "checkpoints/checkpoint-000004.pt"
    assert_same(load(tmp_path / "whole" / name), load(tmp_path / "cut" / name))


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
        log_probs = legal_log_probs(logits, torch.from_numpy(legal), torch.from_numpy(valid))
        spread.scatter_add_(1, torch.from_numpy(legal), log_probs.exp())
        expected = masked_log_probs(logits, torch.from_numpy(step.mask)).exp()
        assert torch.allclose(spread, expected, atol=1e-6)
        assert (spread[~torch.from_numpy(step.mask)] == 0).all()
        step = batch.step_random()


def test_a_rollout_records_what_its_policy_played(tmp_path):
    config = train.TrainConfig.from_dict({**train.TrainConfig().to_dict(), "games": 8, "max_plies": 16})
    trainer = train.Trainer(config, tmp_path)
    rollout = trainer.selfplay.collect(trainer.network, trainer.network, 10, gamma=0.9, lam=0.8)
    assert rollout.valid[torch.arange(len(rollout.choice)), rollout.choice].all()
    with torch.no_grad():
        log_probs = legal_log_probs(trainer.network(rollout.observation), rollout.legal, rollout.valid)
    assert torch.allclose(log_probs.gather(1, rollout.choice[:, None])[:, 0], rollout.log_prob, atol=1e-5)


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


@pytest.mark.parametrize("seed", range(4))
def test_advantages_follow_each_colour_of_each_game(seed):
    rng = np.random.default_rng(seed)
    steps, gamma, lam = 9, 0.9, 0.7
    # Game 0 is played by both colours and ends at step 6 by White's move, game 1 only by Black
    # and goes on; game 2 ends at step 3 by Black's move, its next game starting at step 5.
    movers = {0: [(t, t % 2) for t in range(7)], 1: [(t, 1) for t in range(1, steps, 2)],
              2: [(t, t % 2) for t in range(4)] + [(t, (t - 5) % 2) for t in range(5, steps)]}
    rows = sorted((t, g, c) for g, moves in movers.items() for t, c in moves)
    value = rng.uniform(-1, 1, len(rows))
    ended = np.zeros((steps, 3), bool)
    outcome = np.zeros((steps, 3, 2), np.float32)
    ended[6, 0], outcome[6, 0] = True, (1, -1)
    ended[3, 2], outcome[3, 2] = True, (-1, 1)
    bootstrap = rng.uniform(-1, 1, (3, 2))
    rows_at = np.searchsorted([t for t, _, _ in rows], np.arange(steps + 1))
    got = advantages(value, np.array([g for _, g, _ in rows]), np.array([c for _, _, c in rows]), rows_at, ended,
                     outcome, bootstrap, gamma, lam)
    expected = np.zeros(len(rows))
    for g in range(3):
        episodes = [[(t, c) for t, c in movers[g] if t <= 3], [(t, c) for t, c in movers[g] if t >= 5]] \
            if g == 2 else [movers[g]]
        for number, moves in enumerate(episodes):
            over = (g == 0) or (g == 2 and number == 0)
            for c in (0, 1):
                mine = [(t, value[rows.index((t, g, c))]) for t, cc in moves if cc == c]
                if not mine:
                    continue
                result = float(outcome[6 if g == 0 else 3, g, c]) if over else None
                for (t, _), a in zip(mine, plain_advantages(mine, result, bootstrap[g, c], gamma, lam)):
                    expected[rows.index((t, g, c))] = a
    assert np.allclose(got, expected)


def test_settings_are_checked_by_name(tmp_path):
    with pytest.raises(SystemExit, match="no setting named ppo.speed"):
        train.main(["--minutes", "1", "--out", str(tmp_path), "--set", "ppo.speed=2"])


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
    assert (tmp_path / "checkpoints" / "checkpoint-000002.pt").exists()


def test_whole_games_are_valued_as_the_batch_would_value_them():
    from murkplay_rl.dataset import GameRecord

    records = [GameRecord(start="", moves=[], slots=[], plies=plies, result=result, seed=0, policy_version=0)
               for plies, result in ((3, 1.0), (4, 0.0), (2, -1.0))]
    from murkplay_rl.remote_rollout import whole_game_advantages

    value = np.linspace(-0.5, 0.5, 9)
    got = whole_game_advantages(records, value, 0.9, 0.8)
    start = 0
    for record in records:
        mine = value[start:start + record.plies]
        for colour in (0, 1):
            decisions = [(ply, mine[ply]) for ply in range(colour, record.plies, 2)]
            result = record.result if colour == 0 else -record.result
            expected = plain_advantages(decisions, result, 0.0, 0.9, 0.8)
            assert np.allclose(got[start + colour:start + record.plies:2], expected)
        start += record.plies


def test_the_pretrained_agent_ships_and_plays():
    from importlib import resources

    from murkplay_rl import agents, arena

    shipped = resources.files("murkplay_rl") / "pretrained" / "ppo-30min.pt"
    assert shipped.is_file() and len(shipped.read_bytes()) <= 5 * 2**20
    agent = murkplay_rl.pretrained()
    assert agent.name == "pretrained" and agents.load("pretrained").name == "pretrained"
    result = arena.match(agent, "random", 4, max_plies=30, seed=1)
    assert result.games == 4
