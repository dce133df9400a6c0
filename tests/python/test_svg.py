"""Pictures of a game: the fog of a side's view is shaded and its memories are faint."""

import re
import xml.etree.ElementTree as ET

import numpy as np
import pytest

pytest.importorskip("chess")

from murkplay_rl import render_svg  # noqa: E402

import support  # noqa: E402

SVG = "{http://www.w3.org/2000/svg}"


def drawn(picture):
    """The squares shaded over, and the squares of faint and of plain pieces."""
    root = ET.fromstring(picture)
    corners = {}
    shaded = set()
    for rect in root.iter(SVG + "rect"):
        corner = (rect.get("x"), rect.get("y"))
        names = re.findall(r"\b[a-h][1-8]\b", rect.get("class", ""))
        if names:
            corners[corner] = names[0]
        else:
            shaded.add(corner)
    faint, plain = set(), set()
    for use in root.iter(SVG + "use"):
        corner = tuple(re.fullmatch(r"translate\((\d+), (\d+)\)", use.get("transform")).groups())
        (faint if use.get("opacity") else plain).add(corners[corner])
    # The board's frame is a rectangle too, but on no square.
    return {corners[corner] for corner in shaded if corner in corners}, faint, plain


def name(square):
    return "abcdefgh"[square % 8] + str(square // 8 + 1)


def test_a_view_shades_fog_and_shows_memories_faintly():
    games = [game.clone() for game in support.random_play(range(3), 30)][10::7]
    for game in games:
        cells = np.array(game.encode_flattened()).reshape(64, 35)
        mirror = 0 if game.turn else 56
        fog = {name(s) for s in range(64) if cells[s ^ mirror, 13]}
        remembered = {name(s) for s in range(64) if cells[s ^ mirror, 14:26].any()} & fog
        board = game.board
        occupied = {name(8 * (7 - rank) + file) for rank in range(8) for file in range(8) if board[rank][file]}
        assert drawn(render_svg(game, game.turn)) == (fog, remembered, occupied - fog)
        assert drawn(render_svg(game)) == (set(), set(), occupied)


@pytest.mark.parametrize("view, legend, shown", [("white", True, True), (False, True, True), ("black", False, False),
                                                 (None, True, False)])
def test_a_view_has_a_legend_beneath_the_board(view, legend, shown):
    game = [game.clone() for game in support.random_play([4], 12)][-1]
    picture = render_svg(game, view, size=300, legend=legend)
    root = ET.fromstring(picture)
    keys = [group for group in root.iter(SVG + "g") if group.get("class") == "legend"]
    assert len(keys) == shown
    width, height = int(root.get("width")), int(root.get("height"))
    if shown:
        words = " ".join(text.text for text in keys[0].iter(SVG + "text"))
        assert "fog: not seen now" in words and "faint piece: remembered" in words
        assert root.get("viewBox") == "0 0 390 420" and height == round(width * 420 / 390)
    else:
        assert root.get("viewBox") == "0 0 390 390" and height == width
