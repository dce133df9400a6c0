"""Foresight: each legal move's two-ply score over positions drawn from the mover's belief, added
to a network's logits by a learnt weight, alike in the rollout that plays, the update that learns
and the agent that plays."""

import copy
import dataclasses

import numpy as np
import pytest

torch = pytest.importorskip("torch")
pytest.importorskip("matplotlib")

import murkplay_rl  # noqa: E402
from murkplay_rl import agents, arena, foresight, network as networks, run_log, train  # noqa: E402
from murkplay_rl._native import MAX_SEARCH_DEPTH  # noqa: E402
from murkplay_rl.network import PolicyValueNet  # noqa: E402
from murkplay_rl.policy import log_probs  # noqa: E402
from murkplay_rl.ppo import Samples  # noqa: E402
from murkplay_rl.rollout import SelfPlay, advantages  # noqa: E402
from murkplay_rl.train_config import NetworkConfig  # noqa: E402
from test_train import tiny_run  # noqa: E402

LOOKING = NetworkConfig(channels=4, blocks=1, key=4, foresight=1.0)


def test_a_move_scores_what_its_two_plies_win_or_lose_in_pawns():
    # White's king beside a black rook it sees: taking it wins the rook; a step onto the rook's
    # rank or file loses the king.
    batch = murkplay_rl.GameBatch(1, fen="4k3/8/8/8/8/8/3r4/4K3 w - - 0 1")
    step = batch.observe()
    scores = foresight.Beliefs(batch).look(step)
    by_move = {murkplay_rl.move_uci(int(move)): float(score) for move, score in zip(step.moves, scores)}
    assert by_move["e1d2"] - by_move["e1f1"] == pytest.approx(5)
    for lost in ("e1d1", "e1e2", "e1f2"):  # thirty pawns, less the ply the king took
        assert by_move[lost] - by_move["e1f1"] == pytest.approx(-24.99, abs=1e-4)
    row = foresight.dense(step, scores, np.array([0]))
    assert row[0, step.slots].tolist() == scores.tolist() and np.count_nonzero(row) == np.count_nonzero(scores)


@pytest.mark.parametrize("depth, won", [(1, 3.0), (2, -2.0)])
def test_a_deeper_look_sees_the_recapture(depth, won):
    # The rook takes a knight the pawn it sees defends: a knight won, or a rook for it.
    batch = murkplay_rl.GameBatch(1, fen="4k3/8/1p6/n7/3B4/8/8/R3K3 w - - 0 1")
    step = batch.observe()
    scores = foresight.Beliefs(batch, depth=depth, samples=4).look(step)
    by_move = {murkplay_rl.move_uci(int(move)): float(score) for move, score in zip(step.moves, scores)}
    assert by_move["a1a5"] - by_move["e1f1"] == pytest.approx(won)


@pytest.mark.parametrize("opponent", [None, "greedy", "snapshot"])
def test_the_update_scores_every_move_as_the_rollout_drew_it(opponent):
    torch.manual_seed(1)
    learner = PolicyValueNet(LOOKING).eval()
    selfplay = SelfPlay(8, max_plies=30, opponent_share=0.5, seed=4, threads=1, foresight=LOOKING)
    rollout = selfplay.collect(learner, copy.deepcopy(learner) if opponent == "snapshot" else opponent, 40)
    samples = Samples.of(rollout, advantages(rollout, 0.99, 0.95))
    assert rollout.games > 0 and (samples.foresight[samples.valid] < -20).any()  # kings were in danger

    def drawn(foresight):
        logits, _ = learner.evaluate_slots(samples.observation, samples.legal, foresight)
        return log_probs(logits, samples.valid).gather(1, samples.choice[:, None])[:, 0]

    with torch.no_grad():
        assert torch.allclose(drawn(samples.foresight), samples.log_prob, atol=1e-4)
        assert not torch.allclose(drawn(None), samples.log_prob, atol=1e-2)


def test_foresight_alone_beats_greedy_and_its_weight_is_learnt(tmp_path):
    torch.manual_seed(0)
    network = PolicyValueNet(LOOKING).eval()
    looking = foresight.agent(network, name="looking")
    blind = agents.TorchAgent(network, name="blind")
    assert isinstance(looking, foresight.ForesightAgent)
    scores = {agent.name: arena.match(agent, "greedy", games=40, threads=1, seed=5).score for agent in (looking, blind)}
    assert scores["looking"] >= 0.8 and scores["looking"] > scores["blind"] + 0.2, scores
    tiny_run(tmp_path, 2, "--set", "network.foresight=1")
    last = run_log.checkpoints(tmp_path)[-1]
    assert networks.load_network(last).foresight_weight.item() != 1.0  # the update moved it
    assert isinstance(agents.load(str(last)), foresight.ForesightAgent)
    # A run resumed follows its games again from their next start.
    assert train.main(["--resume", str(tmp_path), "--updates", "4"]) == 0


def test_an_agent_looks_as_far_as_its_network_learnt_unless_told():
    network = PolicyValueNet(dataclasses.replace(LOOKING, foresight_depth=1, foresight_samples=3))
    learnt = foresight.agent(network)
    assert (learnt.depth, learnt.samples) == (1, 3)
    told = foresight.agent(network, depth=4, samples=32)
    batch = murkplay_rl.GameBatch(2, seed=1)
    told.act(batch.observe(), batch)
    assert (told._followed.depth, told._followed.samples) == (4, 32)
    for setting in ({"depth": 0}, {"samples": 0}, {"depth": MAX_SEARCH_DEPTH + 1}):
        with pytest.raises(ValueError, match=next(iter(setting))):
            foresight.ForesightAgent(network, **setting)


def test_an_agent_of_foresight_needs_a_network_that_has_it():
    with pytest.raises(ValueError, match="network has no foresight: play it with agents.TorchAgent"):
        foresight.ForesightAgent(PolicyValueNet(NetworkConfig(channels=4, blocks=1, key=4)))
    assert isinstance(foresight.agent(PolicyValueNet(NetworkConfig(channels=4, blocks=1, key=4))), agents.TorchAgent)
