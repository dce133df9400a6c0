"""Checkpoint files are data: tensors, numbers, strings, and lists and dicts of them.

Reading one never imports or runs anything it names. torch reads it with ``weights_only``, so
nothing but tensors and plain containers comes back; the network it holds is built by name from
the package's registry (``network.NETWORKS``), first without memory to check the file's tensors
against, then for real; a batch's games go through the batch's own validating byte codec. Every
fault of a file (truncated, foreign, a wrong key, type or shape, an unknown network, damaged
games) is one ValueError that names the file and the fault.

Imports torch when called.
"""

from __future__ import annotations

import math
import os
import pickle
import pickletools
import warnings
from typing import Any

from murkplay_rl._optional import require

# Files written before the registry named their network by the callable that built it.
_FORMER_NAMES = {"murkplay_rl.policy:policy_network": "policy_network"}
# What a batch pickled by earlier checkpoints names: its class and how pickle rebuilds it.
_PICKLED_BATCH_NAMES = {"builtins", "getattr", "murkplay_rl", "murkplay_rl._native", "GameBatch", "_from_bytes"}


def _torch():
    return require("torch", "torch", "checkpoints")


def fault(path, message: str) -> ValueError:
    return ValueError(f"{os.fspath(path)}: {message}")


def read(path) -> dict:
    """The dict a checkpoint file holds, read as data."""
    torch = _torch()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # torch's notes on foreign pickles: the file is refused anyway
            payload = torch.load(path, map_location="cpu", weights_only=True)
    except (FileNotFoundError, IsADirectoryError, PermissionError):
        raise
    except Exception as error:
        if isinstance(error, pickle.UnpicklingError) and "GLOBAL" in str(error):  # what torch refuses to import
            raise fault(path, "it holds objects other than tensors and plain values, which are never loaded") from None
        raise fault(path, f"not a torch checkpoint, or a truncated or damaged one ({type(error).__name__})") from None
    if not isinstance(payload, dict):
        raise fault(path, f"a checkpoint holds a dict, not {type(payload).__name__}")
    return payload


def write(path, payload: dict) -> None:
    """Saves ``payload`` whole or not at all: into a temporary file beside ``path``, then renamed."""
    torch = _torch()
    temporary = f"{os.fspath(path)}.tmp"
    try:
        torch.save(payload, temporary)
        os.replace(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)


def keys(path, payload: dict, required: set[str], where: str = "the file") -> None:
    """Refuses a dict without exactly the ``required`` keys."""
    if not isinstance(payload, dict):
        raise fault(path, f"{where} must be a dict, not {type(payload).__name__}")
    faults = []
    missing, unknown = sorted(required - payload.keys()), sorted(map(repr, payload.keys() - required))
    if missing:
        faults.append(f"no {', '.join(map(repr, missing))}")
    if unknown:
        faults.append(f"unknown {', '.join(unknown)}")
    if faults:
        raise fault(path, f"{where} has {' and '.join(faults)}: not a checkpoint of this kind")


_KINDS = {bool: "true or false", int: "a whole number", float: "a number", str: "text", bytes: "bytes",
          dict: "a dict", list: "a list"}


def value(path, entry, kind: type, where: str, *, low: float | None = None):
    """``entry`` when it is of ``kind`` (a whole number serves as a number; a bool as neither),
    not NaN, and at least ``low``."""
    accepted = (int, float) if kind is float else kind
    if not isinstance(entry, accepted) or (kind in (int, float) and isinstance(entry, bool)):
        raise fault(path, f"{where} must be {_KINDS[kind]}, not {type(entry).__name__}")
    if kind is float and math.isnan(entry) or low is not None and not entry >= low:
        raise fault(path, f"{where} must be at least {low}, not {entry}" if low is not None
                    else f"{where} must be a number, not nan")
    return entry


def tensors(path, state, reference: dict, where: str) -> None:
    """Refuses ``state`` unless it holds the tensors of ``reference``: the same names, shapes
    and dtypes, dense and finite."""
    torch = _torch()
    if not isinstance(state, dict):
        raise fault(path, f"{where} must be a dict of tensors, not {type(state).__name__}")
    missing, unknown = sorted(reference.keys() - state.keys()), sorted(map(str, state.keys() - reference.keys()))
    if missing or unknown:
        raise fault(path, f"{where} does not fit the network: missing {missing or 'nothing'}, "
                          f"unknown {unknown or 'nothing'}")
    for name, expected in reference.items():
        tensor = state[name]
        shape = tuple(expected.shape)
        if (not isinstance(tensor, torch.Tensor) or tensor.layout != torch.strided or tensor.dtype != expected.dtype
                or tuple(tensor.shape) != shape):
            got = (f"{tensor.dtype} {tuple(tensor.shape)} ({tensor.layout})" if isinstance(tensor, torch.Tensor)
                   else type(tensor).__name__)
            raise fault(path, f"{where}[{name!r}] must be a {expected.dtype} tensor of shape {shape}, not {got}")
        if tensor.is_floating_point() and not bool(torch.isfinite(tensor).all()):
            raise fault(path, f"{where}[{name!r}] holds values that are not finite")


def network(path, name, settings, state, device="cpu"):
    """The registry's network ``name`` built with ``settings`` and holding ``state``, in eval
    mode. The file's tensors are checked against the network built on torch's meta device, which
    allocates nothing however large the settings, before any memory is spent on it."""
    torch = _torch()
    from murkplay_rl.network import NETWORKS

    build = NETWORKS.get(_FORMER_NAMES.get(name, name)) if isinstance(name, str) else None
    if build is None:
        raise fault(path, f"names the network {name!r}, which is none of the package's "
                          f"({', '.join(NETWORKS)}); a checkpoint names a network, never code")
    if not isinstance(settings, dict) or not all(
            isinstance(key, str) and isinstance(entry, (bool, int, float, str)) for key, entry in settings.items()):
        raise fault(path, f"the settings of network {name!r} must be a dict of names to numbers or text, "
                          f"not {settings!r}")
    try:
        with torch.device("meta"):
            module = build(**settings)
    except (TypeError, ValueError) as error:
        raise fault(path, f"network {name!r}: {error}") from None
    tensors(path, state, module.state_dict(), "the weights")
    module.to_empty(device=device)
    module.load_state_dict(state)
    return module.eval()


# A trainer's checkpoint holds every one of these; its export the first two.
TRAINER_KEYS = ("network", "model", "config", "optimizer", "pool", "scores", "best", "batch", "rng", "progress")


def trainer_network(path, payload: dict, device="cpu"):
    """The PolicyValueNet of a trainer's checkpoint or export: ``network`` (its settings) and
    ``model`` (its weights)."""
    unknown = sorted(map(repr, payload.keys() - set(TRAINER_KEYS)))
    if "network" not in payload or "model" not in payload or unknown:
        raise fault(path, "not a checkpoint of the trainer: it needs 'network' and 'model'"
                          + f", and holds unknown {', '.join(unknown)}" * bool(unknown))
    return network(path, "PolicyValueNet", payload["network"], payload["model"], device)


def batch_bytes(batch) -> bytes:
    """The batch's games, random streams and settings in the batch's own byte form (what its
    pickling carries)."""
    _, (payload,) = batch.__reduce__()
    return payload


def batch(path, payload):
    """The GameBatch of ``batch_bytes``; the codec validates every byte."""
    from murkplay_rl import GameBatch

    value(path, payload, bytes, "'batch'")
    if payload[:1] == b"\x80":
        payload = _pickled_batch(path, payload)
    try:
        return GameBatch._from_bytes(payload)
    except ValueError as error:
        raise fault(path, f"'batch': {error}") from None


def _pickled_batch(path, payload: bytes) -> bytes:
    """The byte form inside a batch that earlier checkpoints pickled, read by walking the
    pickle's opcodes: nothing in it is unpickled, imported or called."""
    found: list[Any] = []
    try:
        for _, argument, _ in pickletools.genops(payload):
            if isinstance(argument, bytes) or (isinstance(argument, str) and argument not in _PICKLED_BATCH_NAMES):
                found.append(argument)
    except Exception:  # genops reads any byte string; a damaged one ends its walk with whatever error
        raise fault(path, "'batch' is a damaged pickle") from None
    if len(found) != 1 or not isinstance(found[0], bytes):
        raise fault(path, "'batch' is a pickle of something other than a GameBatch, which is never loaded")
    return found[0]
