"""The lines that lead to the mover's own king, as planes a network reads beside the observation.

Most games a network loses in the fog end with its king taken by a piece it never saw: a slider
down a line its king stood on, opened when a piece in between moved away. A few 3 x 3
convolutions cannot trace a line across the board, so these planes trace it for them, from what
the mover sees only (a fogged cell counts as empty, which is where an unseen piece may stand):

0, 1  on a rank or file (0) or a diagonal (1) from the king, up to and including the first piece;
2, 3  the same lines past that first piece, up to and including the second;
4     a knight's jump from the king;
5     the first piece of a line whose cells past it, up to the next piece, include fog: the
      shield that, moved away, may open the king to what it hid.

Imports torch.
"""

from __future__ import annotations

import torch

PLANES = 6
_OWN_KING, _FOG = 5, 13
_PIECES = slice(0, 12)  # an own or a seen opponent piece
_OFF = 64  # the cell past the board's edge, where short rays end
_DIRECTIONS = ((0, 1), (0, -1), (1, 0), (-1, 0), (1, 1), (1, -1), (-1, 1), (-1, -1))  # the straight ones first
_JUMPS = ((1, 2), (2, 1), (-1, 2), (-2, 1), (1, -2), (2, -1), (-1, -2), (-2, -1))


def _walk(cell: int, rank: int, file: int, steps: int) -> list[int]:
    """The cells ``steps`` moves of (``rank``, ``file``) from ``cell`` passes, ``_OFF`` past the edge."""
    r, f, cells = divmod(cell, 8) + ([],)
    for _ in range(steps):
        r, f = r + rank, f + file
        cells.append(r * 8 + f if 0 <= r < 8 and 0 <= f < 8 else _OFF)
        if cells[-1] == _OFF:
            r = f = -99
    return cells


# Per king cell: the 7 cells of each of the 8 rays from it, nearest first, and its 8 knight jumps.
_RAYS = torch.tensor([[_walk(king, *d, 7) for d in _DIRECTIONS] for king in range(64)])
_KNIGHTS = torch.tensor([[_walk(king, *jump, 1)[0] for jump in _JUMPS] for king in range(64)])
_KIND = torch.tensor([0] * 4 + [1] * 4)[:, None].expand(8, 7)  # a ray's plane: straight 0, diagonal 1


@torch.no_grad()
def king_lines(observation: torch.Tensor) -> torch.Tensor:
    """The planes of the module's table for observations (N, 64, 35), as (N, 64, PLANES);
    all zero where the mover has no king."""
    n = len(observation)
    king = observation[:, :, _OWN_KING]
    square = king.argmax(1)
    rays = _RAYS.to(observation.device)[square]  # (N, 8, 7)
    edge = torch.zeros(n, 1, device=observation.device, dtype=observation.dtype)
    occupied = torch.cat((observation[:, :, _PIECES].sum(-1).clamp(max=1), edge), 1)
    fog = torch.cat((observation[:, :, _FOG], edge), 1)
    on_ray = occupied.gather(1, rays.flatten(1)).view(n, 8, 7)
    before = on_ray.cumsum(-1) - on_ray  # pieces between the king and each cell of its rays
    line, past = (before == 0).to(on_ray), (before == 1).to(on_ray)
    shield = line * on_ray
    hidden = (past * fog.gather(1, rays.flatten(1)).view(n, 8, 7)).amax(-1, keepdim=True)
    kind = _KIND.to(observation.device).expand(n, 8, 7)
    planes = torch.zeros(n, PLANES, _OFF + 1, device=observation.device, dtype=observation.dtype)
    index = (kind * (_OFF + 1) + rays).flatten(1)  # (plane, cell) as one index into the flat planes
    flat = planes.view(n, -1)
    flat.scatter_add_(1, index, line.flatten(1))
    flat.scatter_add_(1, index + 2 * (_OFF + 1), past.flatten(1))
    flat.scatter_add_(1, (rays + 5 * (_OFF + 1)).flatten(1), (shield * hidden).flatten(1))
    knights = _KNIGHTS.to(observation.device)[square]
    flat.scatter_add_(1, knights + 4 * (_OFF + 1), torch.ones_like(knights, dtype=observation.dtype))
    planes = planes[:, :, :_OFF].clamp(max=1) * (king.amax(1) > 0).to(planes)[:, None, None]
    return planes.transpose(1, 2)
