"""Every agent the package ships knows only what its side has seen: in positions reached by play,
changing squares the mover cannot see never changes its choice under the same seed.

Two games are played alike up to the opponent's last move, which differs between them in a way
that leaves the mover's whole view the same (what it sees, remembers and may play): the games
then differ only on squares the mover cannot see. The agent, a fresh one of the same seed for
each game, plays the mover's side in both from the start, and must choose the same move."""

import random

import numpy as np
import pytest

import murkplay_rl as rl
from murkplay import SelfPlayGame
from murkplay_rl import agents


def mover_view(game):
    return rl.observe(game).tobytes(), tuple(game.legal_actions_uci())


def hidden_alternatives(before, played):
    """The opponent's other moves from ``before`` after which the mover sees exactly what it
    sees after ``played``, on a board that differs from it."""
    after = before.clone()
    after.apply(played)
    if after.is_terminal():
        return []
    found = []
    for move in before.legal_actions_uci():
        other = before.clone()
        other.apply(move)
        if move != played and not other.is_terminal() and other.board != after.board:
            if mover_view(other) == mover_view(after):
                found.append(move)
    return found


def play(agent, side, opponent_moves, seed, max_turns=12):
    """One game on a batch of its own: the agent plays ``side``, the opponent the given moves
    (UCI text) in turn, until they run out; returns the agent's moves (codes)."""
    batch = rl.GameBatch(1, seed=seed)
    step = batch.observe()
    chosen = []
    opponent = iter(opponent_moves)
    for _ in range(2 * max_turns):
        if step.terminated[0] or step.truncated[0]:
            break
        if batch[0].turn == side:
            step = agents.play(agent, step, batch)
            chosen.append(int(step.played_move[0]))
            continue
        move = next(opponent, None)
        if move is None:
            break
        listed = batch[0].legal_actions_uci()
        step = batch.step([listed.index(move)], by="position")
    return chosen, batch


def twin_histories(make_agent, side, seed):
    """The opponent's moves of a game reached by play and of its twin, whose last opponent move
    differs unseen; None when the game offers no such move before it ends."""
    rng = random.Random(seed)
    agent = make_agent()
    batch = rl.GameBatch(1, seed=seed)
    step = batch.observe()
    moves = []
    for _ in range(24):
        if step.terminated[0] or step.truncated[0]:
            return None
        game = batch[0]
        if game.turn == side:
            step = agents.play(agent, step, batch)
            continue
        move = rng.choice(game.legal_actions_uci())
        others = hidden_alternatives(game, move)
        moves.append(move)
        if others and (len(moves) > 3 or rng.random() < 0.3):
            return moves, moves[:-1] + [rng.choice(others)]
        step = batch.step([game.legal_actions_uci().index(move)], by="position")
    return None


def small_network():
    torch = pytest.importorskip("torch")
    from murkplay_rl.policy import policy_network

    torch.manual_seed(0)
    return agents.TorchAgent(policy_network(hidden=8), name="small")


def foresight():
    torch = pytest.importorskip("torch")
    from murkplay_rl import foresight
    from murkplay_rl.network import PolicyValueNet
    from murkplay_rl.train_config import NetworkConfig

    torch.manual_seed(0)
    return foresight.agent(PolicyValueNet(NetworkConfig(channels=4, blocks=1, key=4, foresight=1.0)))


def pretrained():
    pytest.importorskip("torch")
    return agents.load("pretrained")


def search():
    pytest.importorskip("torch")
    return agents.load("search")


AGENTS = {
    "random": lambda: agents.load("random"),
    "greedy": lambda: agents.load("greedy"),
    "cautious": lambda: agents.load("cautious"),
    "belief": lambda: agents.load("belief"),
    "torch": small_network,
    "foresight": foresight,
    "pretrained": pretrained,
    "search": search,
}


@pytest.mark.parametrize("name", AGENTS)
def test_squares_the_mover_cannot_see_never_change_its_choice(name):
    make_agent = AGENTS[name]
    compared = 0
    for seed in range(12):
        side = seed % 2 == 1
        twins = twin_histories(make_agent, side, seed)
        if twins is None:
            continue
        one, two = (play(make_agent(), side, moves, seed) for moves in twins)
        (chosen_one, batch_one), (chosen_two, batch_two) = one, two
        # The games differ, unseen by the mover; its last move answers the difference.
        assert batch_one[0].board != batch_two[0].board
        assert chosen_one == chosen_two, (name, seed, twins)
        compared += 1
    assert compared >= 8
