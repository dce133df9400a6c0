"""The search agent: what its search must find whatever its network, the side it plays read
from the game, its arguments checked where they are given, and its name in the arena."""

import numpy as np
import pytest

torch = pytest.importorskip("torch")

import murkplay_rl  # noqa: E402
from murkplay_rl import agents, arena  # noqa: E402
from murkplay_rl._native import MIN_KING_SCORE, WIN_SCORE  # noqa: E402
from murkplay_rl.network import PolicyValueNet  # noqa: E402
from murkplay_rl.search_agent import SearchAgent, white_to_move  # noqa: E402
from murkplay_rl.train_config import NetworkConfig  # noqa: E402


def untrained():
    torch.manual_seed(0)
    return PolicyValueNet(NetworkConfig(channels=8, blocks=1, key=4, guess=1, material=0.1))


@pytest.mark.parametrize("fen, first, allowed", [
    # The knight leaves the file: the rook sees the king, and takes it.
    ("4k3/8/8/8/4n3/8/8/4RK2 b - - 0 1", "e4c5", lambda move: move == "e1e8"),
    ("4kr2/8/8/8/8/5N2/8/5K2 w - - 0 1", "f3d4", lambda move: move == "f8f1"),
    # Every move but these leaves the king to the queen.
    ("4k3/8/8/8/8/8/3q4/4K3 w - - 0 1", None, lambda move: move in ("e1d2", "e1f1")),
    ("3qk3/8/8/8/8/8/8/2K4R w - - 0 1", None, lambda move: move not in ("c1d1", "c1d2")),
])
@pytest.mark.parametrize("value", [False, True])
def test_the_search_takes_a_king_and_never_leaves_its_own(fen, first, allowed, value):
    # The start is known, so every position the belief draws shows the king where it stands.
    batch = murkplay_rl.GameBatch(3, fen=fen, seed=4)
    step = batch.observe()
    agent = SearchAgent(untrained(), value=value, candidates=256)
    if first is not None:
        agent.act(step, batch)  # the searching side's belief starts here, at the known start
        listed = [murkplay_rl.move_uci(int(code)) for code in step.moves[:step.offsets[1]]]
        step = batch.step([listed.index(first)] * 3, by="position")
    by, positions = agent.act(step, batch)
    for g in range(3):
        listed = [murkplay_rl.move_uci(int(code)) for code in step.moves[step.offsets[g]:step.offsets[g + 1]]]
        assert by == "position" and allowed(listed[positions[g]]), listed[positions[g]]


class Favouring:
    """A network whose policy is a fixed random ranking of the slots."""

    def __init__(self, seed):
        self.logits = torch.from_numpy(np.random.default_rng(seed).permutation(4352).astype(np.float32))

    def eval(self):
        return self

    def evaluate(self, observation):
        return self.logits.expand(len(observation), -1), torch.zeros(len(observation))


@pytest.mark.parametrize("fen", [
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r1bqkbnr/pppp1ppp/2n5/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R w KQkq - 2 3",
    "4k3/8/8/3p4/4P3/8/8/4K3 w - - 0 1",
    "r3k2r/ppp2ppp/2n5/3q4/3P4/2N5/PPP2PPP/R2QK2R b KQkq - 0 9",
    "7k/8/8/7q/7Q/8/8/r3K3 w - - 0 1",  # the queen taken for the king, or the king kept for the queen
])
@pytest.mark.parametrize("seed", [0, 1])
@pytest.mark.parametrize("candidates, deeper, king", [(1, 4, WIN_SCORE), (4, 0, 300), (3, 4, 300)])
def test_of_the_moves_the_search_finds_best_the_policy_picks(fen, seed, candidates, deeper, king):
    # From a known start the belief holds the true board alone, so every draw is that board:
    # of the best at three plies, the policy's favourite among its `candidates` favourites
    # that score best at `deeper` plies, a king taken counting `king`.
    batch = murkplay_rl.GameBatch(2, fen=fen, seed=seed)
    step = batch.observe()
    network = Favouring(seed)
    _, positions = SearchAgent(network, samples=2, depth=3, candidates=candidates, deeper=deeper,
                               king=king).act(step, batch)
    white = fen.split()[1] == "w"
    scores = murkplay_rl.BatchBeliefs(batch, white).scores(samples=2, depth=3, king=king)
    deep = murkplay_rl.BatchBeliefs(batch, white).scores(samples=1, depth=max(deeper, 1), king=king)
    for game in range(2):
        listed = slice(step.offsets[game], step.offsets[game + 1])
        score = scores[game, :listed.stop - listed.start]
        best = np.flatnonzero(score == score.max())
        prior = network.logits.numpy()[step.slots[listed]]
        favourites = best[np.argsort(-prior[best], kind="stable")][:candidates]
        if deeper and len(favourites) > 1:
            favourites = favourites[deep[game, favourites] == deep[game, favourites].max()]
        assert positions[game] == favourites[0]


def test_the_side_to_move_is_read_from_the_moves_not_the_ply_count():
    games = murkplay_rl.GameBatch(8, seed=5)
    steps = [games.observe()]
    for _ in range(3):
        steps.append(games.step_random())
    for ply, step in enumerate(steps):
        assert (white_to_move(step) == (ply % 2 == 0)).all()
    black = murkplay_rl.GameBatch(2, fen="4k3/8/8/8/8/8/8/4K3 b - - 0 1").observe()
    assert not white_to_move(black).any() and (black.plies == 0).all()


@pytest.mark.parametrize("options, error, named", [
    ({"samples": 0}, ValueError, "samples must be from 1 to 64, not 0"),
    ({"depth": 6}, ValueError, "depth must be from 1 to 5, not 6"),
    ({"value": 1}, TypeError, "value must be True or False, not 1"),
    ({"candidates": 257}, ValueError, "candidates must be from 1 to 256, not 257"),
    ({"deeper": 6}, ValueError, "deeper must be from 0 to 5, not 6"),
    ({"deeper": False}, TypeError, "deeper must be an integer, not 'bool'"),
    ({"king": 99}, ValueError, "king must be from 100 to 1000000, not 99"),
    ({"limit": 1}, ValueError, "limit must be from 2 to"),
    ({"seed": -1}, ValueError, "seed must be from 0 to"),
    ({"threads": 0}, ValueError, "threads must be from 1 to"),
    ({"samples": True}, TypeError, "samples must be an integer, not 'bool'"),
    ({"candidates": 2.0}, TypeError, "candidates must be an integer, not 'float'"),
    ({"network": object()}, TypeError, "network must be a policy-value network"),
])
def test_a_refused_argument_names_itself(options, error, named):
    options = {"network": untrained(), **options}
    with pytest.raises(error, match=named):
        SearchAgent(**options)


def test_the_search_agent_plays_by_name_and_needs_observations():
    agent = agents.load("search")
    assert agent.name == "search" and agent.observes
    result = arena.match(agent, "random", 4, max_plies=40, seed=2)
    assert result.games == 4
    batch = murkplay_rl.GameBatch(2)
    with pytest.raises(ValueError, match="needs observations"):
        agent.act(batch.step_random(observe=False), batch)
