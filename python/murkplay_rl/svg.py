"""Pictures of a game as SVG, drawn with python-chess: the true board, or what one side sees.

In a side's view the squares it does not see are shaded as fog, and the pieces it remembers
there are drawn faintly where it last saw them.
"""

from __future__ import annotations

import re

from . import _native as engine
from ._checks import integer
from ._optional import require
from ._views import square_views, true_pieces

FOG = "#5a6270cc"
REMEMBERED_OPACITY = 0.4

_VIEWS = {None: None, "white": True, "black": False, True: True, False: False}


class Svg(str):
    """SVG text that Jupyter shows as a picture."""

    def _repr_svg_(self) -> str:
        return str(self)


def render_svg(game, view=None, size: int | None = 360) -> Svg:
    """Draw ``game``: the true board when ``view`` is None, else what White ("white" or True) or
    Black ("black" or False) sees now. ``size`` is the width in pixels (None: unscaled).
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
    text = chess.svg.board(board, fill=dict.fromkeys(fog, FOG), size=size)
    return Svg(_fade(text, remembered))


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
