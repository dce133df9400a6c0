"""Pseudo-legal perft: the C++ core (bench/perft.cpp) beside python-chess.

Both count the same tree: every pseudo-legal move, bulk counting at the last ply, and a move
onto a king counted as a leaf and never made. The Python count is the test suite's
python-chess reference (fog_chess.fog_perft), which redoes castling by the variant's rule
where the mover can still castle. The C++ and the Python counts must agree at the Python
depth before any speed is reported.
"""

from __future__ import annotations

import re
import subprocess

import chess

from fog_chess import fog_perft
from timing import CLOCK, median, ratio_of_rounds

# name -> (FEN, C++ depth, python-chess depth)
POSITIONS = {
    "start": (chess.STARTING_FEN, 5, 4),
    "middlegame": ("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1", 4, 3),
    "endgame": ("8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", 5, 4),
}

LINE = re.compile(r"perft (\S+) depth=(\d+) nodes=(\d+) runs=(\d+) median_ns=(\d+) nodes_per_second=(\d+)")


def chess_rate(fen: str, depth: int) -> tuple[int, float]:
    """(nodes, nodes per second) of one python-chess perft."""
    board = chess.Board(fen)
    start = CLOCK()
    nodes = fog_perft(board, depth)
    return nodes, nodes / (CLOCK() - start)


def cpp_perft(executable: str, jobs: list[tuple[str, int, int, str]]) -> dict[tuple[str, int], tuple[int, float]]:
    """Runs the C++ perft; {(name, depth): (nodes, median nodes per second)}."""
    arguments = [executable]
    for name, depth, runs, fen in jobs:
        arguments += [name, str(depth), str(runs), fen]
    output = subprocess.run(arguments, check=True, capture_output=True, text=True).stdout
    results = {}
    for match in LINE.finditer(output):
        name, depth, nodes, _runs, _ns, nps = match.groups()
        results[(name, int(depth))] = (int(nodes), float(nps))
    if len(results) != len(jobs):
        raise RuntimeError(f"unexpected output from {executable}:\n{output}")
    return results


def measure(executable: str, rounds: int = 5, cpp_runs: int = 3) -> dict[str, dict]:
    """Per position: the C++ count and rate at its depth beside the python-chess count and rate
    at the smaller depth, in alternating rounds. The C++ count at the smaller depth must equal
    the python-chess one, or nothing is reported."""
    results = {}
    for name, (fen, cpp_depth, chess_depth) in POSITIONS.items():
        cpp_rates, chess_rates = [], []
        for _ in range(rounds):
            cpp = cpp_perft(executable, [(name, cpp_depth, cpp_runs, fen), (name, chess_depth, 1, fen)])
            chess_nodes, chess_nps = chess_rate(fen, chess_depth)
            check_nodes = cpp[(name, chess_depth)][0]
            if check_nodes != chess_nodes:
                raise AssertionError(
                    f"perft counts differ for {name} at depth {chess_depth}: C++ {check_nodes}, python-chess {chess_nodes}"
                )
            cpp_rates.append(cpp[(name, cpp_depth)][1])
            chess_rates.append(chess_nps)
        results[name] = {
            "cpp_depth": cpp_depth,
            "cpp_nodes": cpp[(name, cpp_depth)][0],
            "cpp_nps": median(cpp_rates),
            "chess_depth": chess_depth,
            "chess_nodes": chess_nodes,
            "chess_nps": median(chess_rates),
            "ratio": ratio_of_rounds(cpp_rates, chess_rates),
            "uses_fog_castling": chess.Board(fen).castling_rights != 0,
        }
    return results
