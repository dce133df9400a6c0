"""Whole games: random playouts and the self-play step, each beside its python-chess baseline.

Every workload takes a seed, plays one game from the start position with
``random.Random(seed)`` choosing the moves, and returns the number of plies it played.
"""

from __future__ import annotations

import random

import chess
from murkplay import SelfPlayGame

from fog_baseline import FogGame

MAX_PLIES = 300


def murkplay_random_playout(seed: int) -> int:
    rng = random.Random(seed)
    game = SelfPlayGame()
    plies = 0
    while plies < MAX_PLIES and not game.is_terminal():
        actions = game.legal_actions_uci()
        if not actions:
            break
        game.apply(rng.choice(actions))
        plies += 1
    return plies


def chess_random_playout(seed: int) -> int:
    rng = random.Random(seed)
    board = chess.Board()
    plies = 0
    while plies < MAX_PLIES and not board.is_game_over():
        board.push(rng.choice(list(board.legal_moves)))
        plies += 1
    return plies


def selfplay_steps(seed: int, game, legal, indices_of, observe) -> int:
    """What a training loop asks of the game on every ply, without the network.

    The network would read the indices and the observation; here they are only built.
    Both sides run this same loop, so the ratio compares the games and not two loops.
    """
    rng = random.Random(seed)
    plies = 0
    while plies < MAX_PLIES:
        actions = legal()
        if not actions:
            break
        indices_of(actions)
        observe()
        game.apply(rng.choice(actions))
        plies += 1
        if game.is_terminal():
            break
    return plies


def murkplay_selfplay_steps(seed: int) -> int:
    game = SelfPlayGame()

    def indices_of(actions):
        return [game.action_index(a) for a in actions]

    return selfplay_steps(seed, game, game.legal_actions_uci, indices_of, game.encode_flattened)


def baseline_selfplay_steps(seed: int) -> int:
    """The same step with python-chess and numpy (fog_baseline.FogGame)."""
    game = FogGame()
    return selfplay_steps(seed, game, game.legal_moves, game.action_indices, game.observation)
