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


def murkplay_selfplay_steps(seed: int) -> int:
    """What a training loop asks of the game on every ply, without the network."""
    rng = random.Random(seed)
    game = SelfPlayGame()
    plies = 0
    while plies < MAX_PLIES:
        actions = game.legal_actions_uci()
        if not actions:
            break
        # The network would read these; the benchmark only has them built.
        indices = [game.action_index(a) for a in actions]  # noqa: F841
        observation = game.encode_flattened()  # noqa: F841
        game.apply(rng.choice(actions))
        plies += 1
        if game.is_terminal():
            break
    return plies


def baseline_selfplay_steps(seed: int) -> int:
    """The same step with python-chess and numpy (fog_baseline.FogGame)."""
    rng = random.Random(seed)
    game = FogGame()
    plies = 0
    while plies < MAX_PLIES:
        moves = game.legal_moves()
        if not moves:
            break
        indices = game.action_indices(moves)  # noqa: F841
        observation = game.observation()  # noqa: F841
        game.apply(rng.choice(moves))
        plies += 1
        if game.is_terminal():
            break
    return plies
