"""Pictures of a game as SVG, drawn with python-chess: the true board, or what one side sees.

In a side's view the squares it does not see are shaded as fog, and the pieces it remembers
there are drawn faintly where it last saw them; a legend under the board says so.
"""

from __future__ import annotations

import re

from . import _native as engine
from ._checks import flag, integer
from ._optional import require
from ._views import square_views, true_pieces

FOG = "#5a6270cc"
REMEMBERED_OPACITY = 0.4
# python-chess draws a board 390 units across; the legend is a strip of this height beneath it.
BOARD_UNITS = 390
LEGEND_UNITS = 30
LEGEND_WIDTH = 360

_VIEWS = {None: None, "white": True, "black": False, True: True, False: False}


class Svg(str):
    """SVG text that Jupyter shows as a picture."""

    def _repr_svg_(self) -> str:
        return str(self)


def render_svg(game, view=None, size: int | None = 360, *, legend: bool = True) -> Svg:
    """Draw ``game``: the true board when ``view`` is None, else what White ("white" or True) or
    Black ("black" or False) sees now, with a legend of the fog and the remembered pieces unless
    ``legend`` is False. ``size`` is the width in pixels (None: unscaled).
    """
    chess = require("chess", "chess", "render_svg()")
    require("chess.svg", "chess", "render_svg()")

    if size is not None:
        size = integer("size", size, 1)
    if not (view is None or isinstance(view, bool) or view in ("white", "black")):
        raise ValueError(f"view must be None, 'white', 'black', True or False, not {view!r}")
    viewer = _VIEWS[view]
    board = chess.BaseBoard.empty()
    if viewer is None:
        fog, remembered = [], []
        for square, symbol in enumerate(true_pieces(game)):
            if symbol is not None:
                board.set_piece_at(square, chess.Piece.from_symbol(symbol))
    else:
        views = square_views(engine.observe(game, viewer=viewer), viewer)
        fog = [square for square, seen in enumerate(views) if not seen.seen]
        remembered = [square for square in fog if views[square].piece is not None]
        for square, seen in enumerate(views):
            if seen.piece is not None:
                board.set_piece_at(square, chess.Piece.from_symbol(seen.piece))
    text = _fade(chess.svg.board(board, fill=dict.fromkeys(fog, FOG), size=size), remembered)
    if viewer is not None and flag("legend", legend):
        text = _with_legend(text)
    return Svg(text)


def legend_svg(x: float, y: float) -> str:
    """The key to a side's view, as SVG elements whose top left corner is at (x, y), in the
    board's units: ``LEGEND_WIDTH`` wide and ``LEGEND_UNITS`` high."""
    middle = y + LEGEND_UNITS / 2
    return (f'<g class="legend" font-family="sans-serif" font-size="14" dominant-baseline="central">'
            f'<rect x="{x}" y="{middle - 9}" width="18" height="18" fill="{FOG}"/>'
            f'<text x="{x + 25}" y="{middle}">fog: not seen now</text>'
            f'<text x="{x + 165}" y="{middle}" font-size="24" opacity="{REMEMBERED_OPACITY}">\u265e</text>'
            f'<text x="{x + 192}" y="{middle}">faint piece: remembered</text></g>')


def _with_legend(text: str) -> str:
    """The board with the legend in a strip beneath it, the picture grown to hold it."""
    height = BOARD_UNITS + LEGEND_UNITS
    text = text.replace(f'viewBox="0 0 {BOARD_UNITS} {BOARD_UNITS}"', f'viewBox="0 0 {BOARD_UNITS} {height}"', 1)
    text = re.sub(r'height="(\d+)"', lambda m: f'height="{round(int(m[1]) * height / BOARD_UNITS)}"', text, count=1)
    return text.replace("</svg>", legend_svg((BOARD_UNITS - LEGEND_WIDTH) / 2, BOARD_UNITS) + "</svg>")


def _fade(text: str, squares: list[int]) -> str:
    """Make the pieces on ``squares`` faint.

    python-chess places each piece with a ``translate`` to the corner of its square, and names
    the square in the class of the square's own rectangle, which gives that corner.
    """
    corners = {
        name: (x, y)
        for x, y, name in re.findall(r'<rect x="(\d+)" y="(\d+)"[^>]*? class="square [^"]*?([a-h][1-8])"', text)
    }
    for square in squares:
        x, y = corners["abcdefgh"[square % 8] + str(square // 8 + 1)]
        placed = f'transform="translate({x}, {y})"'
        text = text.replace(placed, f'{placed} opacity="{REMEMBERED_OPACITY}"')
    return text
