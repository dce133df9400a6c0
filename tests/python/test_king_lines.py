"""The planes of the lines to the mover's king, against plain loops over the board."""

import random

import numpy as np
import pytest

torch = pytest.importorskip("torch")

import murkplay_rl  # noqa: E402
from murkplay import SelfPlayGame  # noqa: E402
from murkplay_rl._king_lines import PLANES, king_lines  # noqa: E402

STRAIGHT = ((0, 1), (0, -1), (1, 0), (-1, 0))
DIAGONAL = ((1, 1), (1, -1), (-1, 1), (-1, -1))
JUMPS = ((1, 2), (2, 1), (-1, 2), (-2, 1), (1, -2), (2, -1), (-1, -2), (-2, -1))


def walked(observation):
    """The planes of one observation (64 rows of 35), walking every line from the king."""
    planes = np.zeros((64, PLANES), np.float32)
    kings = [cell for cell in range(64) if observation[cell][5]]
    if not kings:
        return planes
    rank, file = divmod(kings[0], 8)
    for kind, directions in enumerate((STRAIGHT, DIAGONAL)):
        for dr, df in directions:
            pieces, shield, fogged = 0, None, False
            r, f = rank + dr, file + df
            while 0 <= r < 8 and 0 <= f < 8 and pieces < 2:
                cell = 8 * r + f
                planes[cell, kind + 2 * pieces] = 1
                fogged |= pieces == 1 and observation[cell][13] == 1
                if any(observation[cell][:12]):
                    pieces += 1
                    shield = cell if pieces == 1 else shield
                r, f = r + dr, f + df
            if fogged:
                planes[shield, 5] = 1
    for dr, df in JUMPS:
        if 0 <= rank + dr < 8 and 0 <= file + df < 8:
            planes[8 * (rank + dr) + file + df, 4] = 1
    return planes


def test_the_planes_are_those_of_walking_each_line():
    rng = random.Random(3)
    observations = []
    for _ in range(40):
        game = SelfPlayGame()
        for _ in range(rng.randrange(90)):
            if game.is_terminal():
                break
            game.apply(rng.choice(game.legal_actions_uci()))
            observations.append(murkplay_rl.observe(game))
    observations.append(np.zeros((64, 35), np.float32))  # no king: nothing
    got = king_lines(torch.from_numpy(np.stack(observations))).numpy()
    for observation, planes in zip(observations, got):
        np.testing.assert_array_equal(planes, walked(observation.tolist()))
    assert got[:, :, 5].any(1).mean() > 0.5  # most positions have a shield with fog behind it


def test_a_knight_shielding_its_king_from_the_fog_is_marked():
    # Black's rook on e8 is unseen behind the knight on e2; a bishop on b5 would be seen.
    game = SelfPlayGame("4r1k1/8/8/8/8/8/4N3/4K3 w - - 0 1")
    planes = king_lines(torch.from_numpy(murkplay_rl.observe(game))[None])[0]
    assert torch.nonzero(planes[:, 5]).flatten().tolist() == [12]  # e2
    assert planes[[20, 28, 36, 44, 52, 60], 2].tolist() == [1] * 6  # e3 to e8, past the knight
