# Each marked line must be refused by mypy: the type information is precise enough to
# catch these mistakes.
from murkplay import SelfPlayGame

game = SelfPlayGame()
game.turn = False  # E: read-only property
game.apply(42)  # E: not text and no uci
game.terminal_value()  # E: missing argument
game.encode(flat=True)  # E: unknown keyword
count: str = game.action_index("e2e4")  # E: returns int
SelfPlayGame(fen="8/8/8/8/8/8/8/8 w - -")  # E: unknown keyword


class Sub(SelfPlayGame):  # E: final class
    pass
