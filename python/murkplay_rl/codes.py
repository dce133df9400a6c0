"""The observation as codes, and back: decoders in numpy and torch, and a cell embedding.

``step(codes=True)``, ``observe(codes=True)``, ``replay(codes=True)`` and the single-game
``observe(game, codes=True)`` report what the side to move sees as three small arrays instead
of the (64, 35) floats, about 263 bytes a game instead of 8,960:

- ``codes`` uint8 (..., 64, 2), in the floats' cell order (mirrored for Black as they are): per
  cell the seen code, which is the feature set among 0-13 (own kind 0-5, opponent kind 6-11,
  12 seen empty, 13 fog), and the remembered code, the feature set among 14-26 less 14 (own
  kind 0-5, opponent kind 6-11, 12 nothing remembered);
- ``ages`` uint16 (..., 64): turns since each cell was last seen; feature 27 is
  ``1 / (age + 1)``. Ages are whole turns, unbounded in the game, so a byte would not hold
  them: a square never seen is 100 turns old plus one a turn, 256 after some 310 plies;
- ``shared`` uint8 (..., 7): the side to move's king-side and queen-side castling flags
  (features 28 of cell 0 and 29 of cell 1), then the opponent's pawns, knights, bishops, rooks
  and queens on the board, as counts, unclamped (features 30-34 of every cell).

``decode`` (numpy) and ``decode_tensor`` (torch, on any device, so that only the codes cross
to an accelerator) give back the floats bit for bit. ``CellEmbedding`` is what a network that
embeds each cell with a ``Linear(35, d)`` computes, read from the codes without building the
floats; ``CellEmbedding.from_linear`` converts such a layer's weights.

The decoders need numpy; ``decode_tensor`` and ``CellEmbedding`` import torch when first used.
"""

from __future__ import annotations

import sys

FEATURES = 35
CELLS = 64
SEEN_CODES = 14
REMEMBERED_CODES = 13
SHARED_VALUES = 7
# The names of the three arrays, in every record that holds them.
CODE_FIELDS = ("codes", "ages", "shared")

_REMEMBERED = 14
_RECENCY = 27
_KING_SIDE = 28
_QUEEN_SIDE = 29
_MATERIAL = 30
# The opponent's material features are (full - count) / full, with these full counts, pawns
# to queens, in single precision as the native builder computes them.
_FULL = (8.0, 2.0, 2.0, 2.0, 1.0)


def _parts(codes, ages, shared):
    """The three arrays, given apart or as one record (a Step, Replay or Codes)."""
    if ages is None and shared is None:
        for name in CODE_FIELDS:
            if getattr(codes, name, None) is None:
                raise ValueError(f"{type(codes).__name__} holds no {name}: ask for codes=True")
        return codes.codes, codes.ages, codes.shared
    if ages is None or shared is None:
        raise TypeError("decode takes codes, ages and shared, or one record holding all three")
    return codes, ages, shared


def _check_shapes(codes_shape, ages_shape, shared_shape) -> tuple:
    lead = tuple(codes_shape[:-2])
    if (tuple(codes_shape[-2:]) != (CELLS, 2) or tuple(ages_shape) != lead + (CELLS,)
            or tuple(shared_shape) != lead + (SHARED_VALUES,)):
        raise ValueError(
            f"codes, ages and shared must be (..., 64, 2), (..., 64) and (..., 7) with the same leading "
            f"dimensions, not {tuple(codes_shape)}, {tuple(ages_shape)} and {tuple(shared_shape)}")
    return lead


def decode(codes, ages=None, shared=None, *, out=None):
    """The float32 observation (..., 64, 35) of codes, equal bit for bit to what the float path
    writes. Takes the three arrays, or one record holding them; ``out`` is a float32 array of
    that shape to fill and return."""
    import numpy as np

    codes, ages, shared = (np.asarray(a) for a in _parts(codes, ages, shared))
    lead = _check_shapes(codes.shape, ages.shape, shared.shape)
    shape = lead + (CELLS, FEATURES)
    if out is None:
        out = np.zeros(shape, np.float32)
    else:
        if not isinstance(out, np.ndarray) or out.dtype != np.float32 or out.shape != shape:
            raise ValueError(f"out must be a float32 numpy array of shape {shape}")
        out[...] = 0.0
    one = np.float32(1.0)
    np.put_along_axis(out, codes[..., :1].astype(np.intp), one, axis=-1)
    np.put_along_axis(out, codes[..., 1:].astype(np.intp) + _REMEMBERED, one, axis=-1)
    out[..., _RECENCY] = one / (ages.astype(np.float32) + one)
    out[..., 0, _KING_SIDE] = shared[..., 0]
    out[..., 1, _QUEEN_SIDE] = shared[..., 1]
    full = np.array(_FULL, np.float32)
    out[..., _MATERIAL:] = ((full - shared[..., 2:].astype(np.float32)) / full)[..., None, :]
    return out


def _torch():
    from murkplay_rl._optional import require

    return require("torch", "torch", "murkplay_rl.codes on tensors")


def _tensors(codes, ages, shared, device):
    torch = _torch()

    def tensor(array):
        if not isinstance(array, torch.Tensor):
            import numpy as np

            array = torch.from_numpy(np.ascontiguousarray(array))
        return array.to(device) if device is not None else array

    codes, ages, shared = (tensor(a) for a in _parts(codes, ages, shared))
    _check_shapes(codes.shape, ages.shape, shared.shape)
    return codes, ages, shared


def _recency(ages):
    import torch

    # uint16 converts straight to float32 on the devices torch supports it on; int32 on all.
    return 1.0 / (ages.to(torch.int32).to(torch.float32) + 1.0)


def _material(shared):
    import torch

    full = torch.tensor(_FULL, dtype=torch.float32, device=shared.device)
    return (full - shared[..., 2:].to(torch.float32)) / full


def decode_tensor(codes, ages=None, shared=None, *, device=None):
    """``decode`` in torch: a float32 tensor (..., 64, 35) on ``device`` (default: where the
    codes are), equal bit for bit to the float path. The codes move to the device first, so an
    accelerator receives some 263 bytes a game and expands them itself."""
    torch = _torch()

    codes, ages, shared = _tensors(codes, ages, shared, device)
    out = torch.zeros(codes.shape[:-1] + (FEATURES,), dtype=torch.float32, device=codes.device)
    seen = codes[..., :1].to(torch.int64)
    remembered = codes[..., 1:].to(torch.int64) + _REMEMBERED
    out.scatter_(-1, seen, 1.0)
    out.scatter_(-1, remembered, 1.0)
    out[..., _RECENCY] = _recency(ages)
    out[..., 0, _KING_SIDE] = shared[..., 0].to(torch.float32)
    out[..., 1, _QUEEN_SIDE] = shared[..., 1].to(torch.float32)
    out[..., _MATERIAL:] = _material(shared)[..., None, :]
    return out


def embed_codes(weight, bias, codes, ages, shared):
    """What ``Linear(35, d)`` with ``weight`` (d, 35) and ``bias`` (d,) makes of the decoded
    observation, (..., 64, d), computed from the codes: each cell's two code embeddings (the
    weight's columns they select), its recency times column 27, the castling flags on cells 0
    and 1, and the opponent's material once a game for all cells. Equal to the linear layer up
    to the order of float additions; gradients reach ``weight`` and ``bias`` as through it."""
    import torch

    table = weight.t()  # (35, d): row f is feature f's contribution
    x = table[codes[..., 0].to(torch.int64)] + table[codes[..., 1].to(torch.int64) + _REMEMBERED]
    x = x + _recency(ages)[..., None] * table[_RECENCY]
    per_game = _material(shared) @ table[_MATERIAL:]
    if bias is not None:
        per_game = per_game + bias
    x = x + per_game[..., None, :]
    castling = torch.zeros_like(x[..., :2, :])
    castling[..., 0, :] = shared[..., 0, None].to(x.dtype) * table[_KING_SIDE]
    castling[..., 1, :] = shared[..., 1, None].to(x.dtype) * table[_QUEEN_SIDE]
    return torch.cat((x[..., :2, :] + castling, x[..., 2:, :]), -2)


def __getattr__(name):
    # The embedding is a torch module: it is defined, and torch imported, on first use.
    if name == "CellEmbedding":
        from murkplay_rl._optional import require

        require("torch", "torch", "murkplay_rl.codes.CellEmbedding")
        from murkplay_rl._cell_embedding import CellEmbedding

        return CellEmbedding
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class CodeRows:
    """Many observations as codes, the three arrays (numpy arrays or torch tensors) kept side
    by side and handled as one: indexed by rows, assigned by rows, moved to a device. What a
    trainer keeps in place of a float observation array; a network that embeds cells reads one
    as it reads the floats."""

    __slots__ = ("codes", "ages", "shared")

    def __init__(self, codes, ages, shared):
        _check_shapes(codes.shape, ages.shape, shared.shape)
        self.codes, self.ages, self.shared = codes, ages, shared

    @classmethod
    def empty(cls, rows: int) -> CodeRows:
        """Room for ``rows`` observations, as numpy arrays."""
        import numpy as np

        return cls(np.zeros((rows, CELLS, 2), np.uint8), np.zeros((rows, CELLS), np.uint16),
                   np.zeros((rows, SHARED_VALUES), np.uint8))

    @classmethod
    def of(cls, record) -> CodeRows:
        """The codes of a Step, Replay or Codes record (or of any object naming the three)."""
        return cls(*_parts(record, None, None))

    def __len__(self) -> int:
        return len(self.codes)

    def __getitem__(self, rows) -> CodeRows:
        return CodeRows(self.codes[rows], self.ages[rows], self.shared[rows])

    def __setitem__(self, rows, value: CodeRows) -> None:
        self.codes[rows], self.ages[rows], self.shared[rows] = value.codes, value.ages, value.shared

    def to(self, device) -> CodeRows:
        """The same rows as torch tensors on ``device``: some 263 bytes a row cross to it."""
        return CodeRows(*_tensors(self.codes, self.ages, self.shared, device))

    def decode(self):
        """The float observations (rows, 64, 35): a numpy array, or a tensor where the codes are."""
        torch = sys.modules.get("torch")
        if torch is not None and isinstance(self.codes, torch.Tensor):
            return decode_tensor(self.codes, self.ages, self.shared)
        return decode(self.codes, self.ages, self.shared)


def observations(step, form: str):
    """What a network reads of a Step (or Replay): its float observation for ``form`` "floats",
    its codes as CodeRows for "codes"."""
    if form == "codes":
        return CodeRows.of(step)
    if form == "floats":
        if step.observation is None:
            raise ValueError(f"{type(step).__name__} holds no float observation: it was asked for codes")
        return step.observation
    raise ValueError(f"observation must be 'floats' or 'codes', not {form!r}")


def to_device(observation, device):
    """A float observation array, or CodeRows, as torch tensors on ``device``."""
    torch = _torch()
    if isinstance(observation, CodeRows | torch.Tensor):
        return observation.to(device)
    return torch.from_numpy(observation).to(device)


def module_inputs(module, observation, device):
    """A float observation array or CodeRows as the torch ``module`` reads it on ``device``:
    CodeRows for a module with ``reads_codes`` set, floats for any other (codes are expanded
    on the device, so only they cross to it)."""
    moved = to_device(observation, device)
    if isinstance(moved, CodeRows) and not getattr(module, "reads_codes", False):
        return moved.decode()
    return moved
