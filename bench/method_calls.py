"""Cost of every method and property of SelfPlayGame, in nanoseconds per call.

Each position is timed with its own floors, sampled in alternation with the calls:
the cheapest call of the module (the smaller of current_player() and is_terminal()), and
for encode_flattened the cost of turning 2240 single-precision values into a list of Python
floats with ``array.array('f', raw).tolist()``, raw being the packed observation itself.

apply needs a fresh game each time, so ``g.clone().apply(m)`` is timed beside
``g.clone()`` and apply is reported as the difference of the two medians. Both statements
also free the clone, so the difference is the attribute lookup, the call and the move.
"""

from __future__ import annotations

import array
import importlib.util

import chess
from murkplay import SelfPlayGame

from timing import call_costs

# name -> (FEN, the action applied and indexed there)
POSITIONS = {
    "start": ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "e2e4"),
    "middlegame": ("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1", "e1g1"),
    "promotions": ("n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1", "g2h1q"),
}

CALLS = {
    "SelfPlayGame(fen)": "SelfPlayGame(fen)",
    "turn": "g.turn",
    "board": "g.board",
    "castle_eligible()": "g.castle_eligible()",
    "clone()": "g.clone()",
    "current_player()": "g.current_player()",
    "legal_actions()": "g.legal_actions()",
    "legal_actions_uci()": "g.legal_actions_uci()",
    "clone().apply(m)": "g.clone().apply(m)",
    "is_terminal()": "g.is_terminal()",
    "terminal_value(True)": "g.terminal_value(True)",
    "encode()": "g.encode()",
    "encode(oracle=True)": "g.encode(oracle=True)",
    "encode_flattened()": "g.encode_flattened()",
    "encode_flattened(oracle=True)": "g.encode_flattened(oracle=True)",
    "action_index(m)": "g.action_index(m)",
    "action_index(Move)": "g.action_index(move)",
    "floor: array('f', raw).tolist()": "array('f', raw).tolist()",
}

TORCH_CALLS = ("encode()", "encode(oracle=True)")

ROWS = [  # the table's rows, in order; apply(m) is derived
    "SelfPlayGame(fen)",
    "turn",
    "board",
    "castle_eligible()",
    "clone()",
    "current_player()",
    "legal_actions()",
    "legal_actions_uci()",
    "apply(m)",
    "is_terminal()",
    "terminal_value(True)",
    "encode()",
    "encode(oracle=True)",
    "encode_flattened()",
    "encode_flattened(oracle=True)",
    "action_index(m)",
    "action_index(Move)",
    "floor: array('f', raw).tolist()",
]


def has_torch() -> bool:
    return importlib.util.find_spec("torch") is not None


def measure(repeat: int = 9, sample_seconds: float = 0.01) -> dict[str, dict[str, float]]:
    """{position: {row: ns per call}}, plus the derived 'cheapest call' per position."""
    torch_present = has_torch()
    results = {}
    for name, (fen, move) in POSITIONS.items():
        game = SelfPlayGame(fen)
        game.clone().apply(move)  # fails loudly here if the move does not fit the position
        raw = array.array("f", game.encode_flattened()).tobytes()
        calls = {k: v for k, v in CALLS.items() if torch_present or k not in TORCH_CALLS}
        namespace = {
            "g": game,
            "m": move,
            "move": chess.Move.from_uci(move),
            "fen": fen,
            "SelfPlayGame": SelfPlayGame,
            "raw": raw,
            "array": array.array,
        }
        costs = call_costs(calls, namespace, repeat, sample_seconds)
        costs["apply(m)"] = costs["clone().apply(m)"] - costs["clone()"]
        costs["cheapest call"] = min(costs["current_player()"], costs["is_terminal()"])
        results[name] = costs
    return results
