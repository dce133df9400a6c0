# A small client of the module, checked with mypy against the installed type information.
from __future__ import annotations

import chess

import murkplay
from murkplay import SelfPlayGame


class UciText:
    uci = "e2e4"


class FenText:
    def fen(self) -> str:
        return "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"


def play(game: SelfPlayGame, limit: int) -> float:
    for _ in range(limit):
        if game.is_terminal():
            break
        actions: list[str] = game.legal_actions_uci()
        if not actions:
            break
        index: int = game.action_index(actions[0])
        assert 0 <= index < 4352
        game.apply(actions[0])
    value: float = game.terminal_value(game.turn)
    return value


def from_python_chess(board: chess.Board) -> int:
    game = SelfPlayGame(board)
    move = chess.Move.from_uci("e2e4")
    game.apply(move)
    moves = game.legal_actions()
    return game.action_index(move) + len(moves)


game = SelfPlayGame()
other = SelfPlayGame(FenText())
copy: SelfPlayGame = game.clone()
copy.apply(UciText())
rows: list[list[int]] = game.board
king_side, queen_side = game.castle_eligible()
flags: tuple[bool, bool] = (king_side, queen_side)
observation: list[float] = game.encode_flattened(oracle=True)
white: bool = game.current_player()
names: list[str] = murkplay.__all__
print(play(other, 10), rows[0][0], flags, len(observation), white, names, from_python_chess(chess.Board()))
