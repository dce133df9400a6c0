"""Draws what each side sees in a mid-game position of a random game, beside the true board.

    python examples/render_views.py [--seed 0] [--plies 24] [--out docs/what_each_side_sees.svg]

The position is the one after ``--plies`` random plies. The true board comes first, then
White's view and Black's: fog shaded, remembered pieces faint, as the legend beneath says.
Needs python-chess.
"""

from __future__ import annotations

import argparse
import random
from pathlib import Path

from murkplay import SelfPlayGame
from murkplay_rl import render_svg
from murkplay_rl.svg import BOARD_UNITS, LEGEND_UNITS, LEGEND_WIDTH, legend_svg

BOARD = 300
LABEL = 28
GAP = 24


def play(seed: int, plies: int) -> SelfPlayGame:
    rng = random.Random(seed)
    game = SelfPlayGame()
    for _ in range(plies):
        game.apply(rng.choice(game.legal_actions_uci()))
        if game.is_terminal():
            raise SystemExit(f"seed {seed} captures a king within {plies} plies; choose another")
    return game


def picture(rows: list[list[tuple[str, str]]]) -> str:
    """One SVG of the (label, board SVG) cells, row by row."""
    width = max(len(row) for row in rows) * (BOARD + GAP) - GAP
    legend = LEGEND_UNITS * BOARD / BOARD_UNITS
    height = len(rows) * (BOARD + LABEL + GAP) - GAP + legend
    parts = [
        f'<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" '
        f'width="{width}" height="{height}" viewBox="0 0 {width} {height}">',
        f'<rect width="{width}" height="{height}" fill="#ffffff"/>',
    ]
    for row_index, row in enumerate(rows):
        y = row_index * (BOARD + LABEL + GAP)
        for column, (label, board) in enumerate(row):
            x = column * (BOARD + GAP)
            parts.append(
                f'<text x="{x + BOARD / 2}" y="{y + 19}" text-anchor="middle" '
                f'font-family="sans-serif" font-size="16">{label}</text>'
            )
            parts.append(board.replace("<svg ", f'<svg x="{x}" y="{y + LABEL}" ', 1))
    # One legend for all the views, in the boards' scale, beneath the last row.
    scale = BOARD / BOARD_UNITS
    parts.append(f'<g transform="translate({(width - LEGEND_WIDTH * scale) / 2}, {height - legend}) scale({scale})">'
                 f'{legend_svg(0, 0)}</g>')
    parts.append("</svg>")
    return "\n".join(parts)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--plies", type=int, default=24)
    default_out = Path(__file__).resolve().parent.parent / "docs" / "what_each_side_sees.svg"
    parser.add_argument("--out", type=Path, default=default_out)
    args = parser.parse_args()

    game = play(args.seed, args.plies)
    rows = [[
        (f"true board after {args.plies} plies", render_svg(game, size=BOARD)),
        ("what White sees", render_svg(game, "white", size=BOARD, legend=False)),
        ("what Black sees", render_svg(game, "black", size=BOARD, legend=False)),
    ]]
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(picture(rows) + "\n")
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
