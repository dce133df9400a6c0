"""What makes the trainer learn against the opponents it is rated against: the opponents' pool
drawn toward what the learner loses to, built-in agents playing inside the rollout by their own
rule, games cut off at the ply limit valued rather than scored, the value's material term, the
update's logits of legal slots only, and the best network of a run kept."""

import dataclasses
import json

import numpy as np
import pytest

torch = pytest.importorskip("torch")
pytest.importorskip("matplotlib")

import murkplay_rl  # noqa: E402
from murkplay import SelfPlayGame  # noqa: E402
from murkplay_rl import agents  # noqa: E402
from murkplay_rl.network import PolicyValueNet, load_network, material  # noqa: E402
from murkplay_rl.policy import legal_slots  # noqa: E402
from murkplay_rl.rollout import SelfPlay, advantages  # noqa: E402
from murkplay_rl.train_config import NetworkConfig, TrainConfig  # noqa: E402
from murkplay_rl.train_state import TrainState  # noqa: E402
from support import bench  # noqa: E402
from test_agents import allowed, positions  # noqa: E402
from test_train import plain_advantages, rollout_of, tiny_run  # noqa: E402

SMALL = NetworkConfig(channels=4, blocks=1, key=4, guess=1, material=0.1)


def small_state(**settings):
    return TrainState(TrainConfig(games=8, steps=4, max_plies=20, network=SMALL, **settings))


def test_the_pool_is_drawn_toward_what_the_learner_loses_to():
    state = small_state()
    assert state.entries() == ["greedy", "cautious"]  # snapshots join with the first one
    state.snapshot()
    assert state.entries() == ["greedy", "cautious", "snapshots"]
    state.scores = {"greedy": 0.95, "cautious": 0.2, "snapshots": 0.5}
    drawn = [state.pick_opponent()[0] for _ in range(600)]
    counts = {name: drawn.count(name) for name in state.entries()}
    assert counts["cautious"] > 1.5 * counts["snapshots"] > 2 * counts["greedy"] > 0, counts
    entry, network = next((entry, opponent) for entry, opponent in iter(state.pick_opponent, None)
                          if entry == "snapshots")
    assert isinstance(network, PolicyValueNet)
    even = small_state(opponent_power=0.0)
    even.scores = dict(state.scores)
    drawn = [even.pick_opponent()[0] for _ in range(600)]
    assert min(drawn.count(name) for name in ("greedy", "cautious")) > 200
    # An update's games against an entry move its estimate toward their score.
    rollout = rollout_of(*(np.zeros((1, 1), t) for t in (bool, np.int64, np.float32, bool)),
                         np.zeros((1, 1, 2), np.float32), np.zeros((1, 2), np.float32))
    for wins, losses, draws, toward in ((10, 0, 0, 1.0), (0, 6, 4, 0.2)):
        before = state.scores["cautious"]
        state.count(dataclasses.replace(rollout, wins=wins, losses=losses, draws=draws), 1.0, "cautious")
        assert abs(state.scores["cautious"] - toward) < abs(before - toward)
    assert small_state(opponents=()).pick_opponent() == (None, None)


@pytest.mark.parametrize("rule", ["greedy", "cautious"])
def test_a_built_in_opponent_moves_by_its_own_rule(rule):
    """Games where the opponent is to move, one step: each move it plays is one its rule keeps."""
    # White to move in each, as a batch made of games counts (its ply counts start at 0); game i's
    # learner plays colour i % 2, so the opponent moves in the odd games.
    cases = [(reference.position.copy(), game.clone()) for reference, game in positions(range(12), 80)
             if game.turn][:128]
    selfplay = SelfPlay(len(cases), max_plies=300, opponent_share=1.0, seed=3, threads=1)
    selfplay.restore(murkplay_rl.GameBatch([game for _, game in cases], max_plies=300, auto_reset=True))
    rollout = selfplay.collect(PolicyValueNet(SMALL).eval(), rule, 1, number=5)
    assert rollout.learner[0, ::2].all() and not rollout.learner[0, 1::2].any() and rollout.moved.all()
    for (position, game), slot in list(zip(cases, rollout.slot[0]))[1::2]:
        assert slot in {game.action_index(move) for move in allowed(position, rule)}


def test_a_game_cut_off_at_the_ply_limit_is_valued_by_the_network():
    selfplay = SelfPlay(6, max_plies=6, opponent_share=0.0, seed=1, threads=1)
    rollout = selfplay.collect(PolicyValueNet(SMALL).eval(), None, 6)
    cut = rollout.truncated[5]
    assert cut.sum() >= 4 and not rollout.truncated[:5].any()
    # Cut off at the last step, a game's final value and its bootstrap are the same position's.
    assert np.allclose(rollout.final_value[5][cut], rollout.bootstrap[cut])
    assert (rollout.final_value[5][cut, 0] == -rollout.final_value[5][cut, 1]).all()
    # Each colour's moves before the cut are valued onward from the final value, not scored 0.
    got = advantages(rollout, 0.9, 0.8)
    for g in np.flatnonzero(cut):
        for colour in (0, 1):
            decisions = [(t, rollout.value[t, g]) for t in range(colour, 6, 2)]
            expected = plain_advantages(decisions, None, rollout.final_value[5, g, colour], 0.9, 0.8)
            assert np.allclose(got[colour:6:2, g], expected, atol=1e-6)


def test_the_value_s_material_term_counts_what_the_mover_knows():
    worth = {1: 1, 2: 3, 3: 3, 4: 5, 5: 9, 6: 0}
    seen = 0
    for _, game in positions(range(6), 80):
        mine = 1 if game.turn else -1
        board = [piece for row in game.board for piece in row]
        expected = sum(worth[abs(p)] * (1 if p * mine > 0 else -1) for p in board if p)
        got = float(material(torch.from_numpy(murkplay_rl.observe(game))[None])[0])
        assert got == pytest.approx(expected), game.board
        seen += expected != 0
    assert seen > 50


@pytest.mark.parametrize("guess, lines", [(0, 0), (1, 0), (0, 1)])
@pytest.mark.parametrize("fen", [None, "r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1"])  # promotions by push and capture
def test_the_update_s_logits_of_legal_slots_are_the_network_s(guess, lines, fen):
    torch.manual_seed(guess)
    network = PolicyValueNet(NetworkConfig(channels=8, blocks=2, key=4, guess=guess, material=0.1, lines=lines))
    batch = murkplay_rl.GameBatch(12, fen=fen, seed=2)
    step = batch.observe()
    for _ in range(10):
        step = batch.step_random()
    legal, valid = map(torch.from_numpy, legal_slots(step.mask))
    observation = torch.from_numpy(step.observation)
    logits, value = network.evaluate(observation)
    slots, same, *guessed = network.evaluate_slots(observation, legal)
    assert torch.allclose(logits.gather(1, legal), slots, atol=1e-6) and torch.equal(value, same)
    assert [tuple(cells.shape) for cells in guessed] == [(12, 64, 13)] * guess


def test_a_run_keeps_the_network_of_its_best_evaluation(tmp_path):
    # An evaluation and a checkpoint after every update, so that every evaluated network is on disk.
    tiny_run(tmp_path, 4, "--set", "eval_every=1e-9", "--set", "checkpoint_every=1", "--set", "eval_games=6")
    rows = np.genfromtxt(tmp_path / "evaluations.csv", delimiter=",", names=True, dtype=None, encoding="utf-8")
    updates = sorted(set(rows["updates"].tolist()))
    means = [rows["score"][rows["updates"] == update].mean() for update in updates]
    best = updates[int(np.argmax(means))]  # the first of equals
    kept = load_network(tmp_path / "best.pt").state_dict()
    if best:
        at_best = torch.load(tmp_path / "checkpoints" / f"checkpoint-{best:06d}.pt", weights_only=True)["model"]
    else:  # the network before any update
        config = TrainConfig.from_dict(json.loads((tmp_path / "config.json").read_text()))
        at_best = TrainState(config).network.state_dict()
    assert all(torch.equal(kept[name], at_best[name]) for name in kept)
    assert agents.load(str(tmp_path / "best.pt")).name == "best"


@pytest.mark.parametrize("given_up", [None, 1])
def test_the_curve_over_seeds_pairs_each_seed_s_nearest_evaluation(given_up):
    # A seed may have given up an evaluation, or played one opponent only at its end: the
    # curve pairs the seeds' evaluations of the same time, never the n-th of each.
    rows = [dict(seed=seed, opponent="belief", seconds=str(seconds + seed), score=str(seed + seconds / 1000))
            for seed in range(3) for number, seconds in enumerate((0, 300, 1800)) if (seed, number) != (0, given_up)]
    points = bench("learning")._curves(rows)["belief"]
    assert len(points) == (2 if given_up else 3)
    for point in points:
        assert [row["seed"] for row in point] == [0, 1, 2]
        assert max(float(row["seconds"]) for row in point) - min(float(row["seconds"]) for row in point) <= 2


def test_the_targets_read_the_last_network_as_shipped_beside_the_run_s_own_evaluations(capsys):
    learning = bench("learning")
    rows = [dict(seed=seed, opponent=opponent, seconds=str(seconds), score=str(score))
            for seed in range(3)
            for opponent, seconds, score in [("greedy", 0, 0.5), ("greedy", 300, 0.9), ("greedy", 1800, 0.98),
                                             ("belief" + learning.AS_SHIPPED, 1800, 0.5 + seed / 20)]]
    learning.report(rows)
    lines = {line.split(" | ")[0].lstrip("| "): line for line in capsys.readouterr().out.splitlines()}
    assert "met" in lines["each seed >= 0.80 against greedy at 5 min"]
    assert "0.500, 0.550, 0.600 | 0.550 ± 0.050 | met" in lines[">= 0.55 against belief, as shipped at 30 min"]
    assert not any("not evaluated" in line for line in lines.values())  # nor at 5 minutes as shipped


def test_only_the_agents_own_seeds_make_other_games_between_belief_followers():
    # The search and belief agents draw from streams of their own: the arena's seed leaves their
    # games as they were, and a replicate of a match needs the agents' seed changed.
    from murkplay_rl import arena

    learning = bench("learning")

    def moves(agent_seed, arena_seed):
        played = arena.play_games(learning._seeded("search", agent_seed), learning._seeded("belief", agent_seed), 2,
                                  seed=arena_seed, max_plies=30)
        return played.moves

    assert np.array_equal(moves(None, 1), moves(None, 2))
    assert np.array_equal(moves(None, 1), moves(0, 1))
    assert not np.array_equal(moves(None, 1), moves(1, 1))
