"""Agents: whatever chooses a move in every game of a batch, from what the batch last reported.

An agent has a ``name`` and ``act(step, batch) -> (by, actions)``; the pair goes to
``batch.step(actions, by=by, **agent.step_options)``, so one agent plays in the arena, in the
Gymnasium environments and in a training loop alike. ``play`` makes that call. Two attributes
are optional: ``step_options``, further keyword arguments of ``batch.step`` (``temperature``,
``greedy``), and ``observes``, False for an agent that never reads the observation, so that
the arena can step its batches without observations.

The built-in agents (``random``, ``greedy``, ``cautious``) are chosen natively inside the
batch's step: their ``act`` names the rule and passes no actions, and one of them can answer
another agent's move in the same call (``reply=``). A torch module that maps observations to
logits becomes an agent with ``TorchAgent``; the batch masks the logits to the legal slots and
draws from them natively.

``load(spec)`` names an agent by text: a built-in name, a name of ``NAMED`` (agents that other
parts of the package provide), a checkpoint file, or ``module:callable`` (a callable that
returns an agent).
"""

from __future__ import annotations

import importlib
import os
from types import MappingProxyType
from typing import Any, Mapping, NamedTuple, Protocol, runtime_checkable

from murkplay_rl._checks import flag, positive
from murkplay_rl._optional import require

BUILTIN = ("random", "greedy", "cautious")



class Named(NamedTuple):
    target: str  # "module:callable" of the package, called with no arguments
    about: str  # what it plays, for help texts


# Agents provided elsewhere in the package, loaded on first use.
NAMED: Mapping[str, Named] = MappingProxyType({
    "belief": Named("murkplay_rl.belief_agent:BeliefAgent",
                    "searches positions sampled from the set its side's view allows"),
    "pretrained": Named("murkplay_rl._pretrained:pretrained",
                        "the network trained by self-play that ships with the package (needs torch)"),
})


def describe() -> str:
    """Every way of naming an agent, one a line, as command lines list them."""
    lines = [(", ".join(BUILTIN), "the built-in rules, chosen inside the batch's step"),
             *((name, named.about) for name, named in NAMED.items()),
             ("PATH", "a checkpoint file, as agents.save_checkpoint and the trainer write them"),
             ("MODULE:CALLABLE", "a callable of no arguments returning an agent: imports and runs MODULE")]
    width = max(len(name) for name, _ in lines)
    return "\n".join(f"  {name:<{width}}  {about}" for name, about in lines)


@runtime_checkable
class Agent(Protocol):
    name: str

    def act(self, step, batch) -> tuple[str, Any]:
        """``(by, actions)`` for ``batch.step``: the move of every game of ``batch``, whose
        latest report is ``step``."""


class BuiltinAgent:
    """An agent whose moves the batch chooses natively, by the rule of its name."""

    # It reads nothing of the step, so a batch it plays in may skip the observations.
    observes = False
    step_options: Mapping[str, Any] = MappingProxyType({})

    def __init__(self, name: str):
        if name not in BUILTIN:
            raise ValueError(f"no built-in agent is named {name!r}; there are {', '.join(BUILTIN)}")
        self.name = name

    def act(self, step, batch) -> tuple[str, None]:
        return self.name, None

    def __repr__(self) -> str:
        return f"builtin({self.name!r})"

    def __eq__(self, other) -> bool:
        return isinstance(other, BuiltinAgent) and other.name == self.name

    def __hash__(self) -> int:
        return hash(self.name)


def builtin(name: str) -> BuiltinAgent:
    return BuiltinAgent(name)


class TorchAgent:
    """A torch module as an agent: it maps float32 (N, 64, 35) observations to (N, 4352) logits.

    The batch masks the logits to each game's legal slots and, with ``sample``, draws a slot
    from their softmax at ``temperature`` from the game's own random stream; otherwise it plays
    the best slot (ties to the first listed move).
    """

    observes = True

    def __init__(self, module, sample: bool = True, temperature: float = 1.0, *, name: str | None = None,
                 device=None):
        self.sample = flag("sample", sample)
        self.temperature = positive("temperature", temperature)
        if name is not None and (not isinstance(name, str) or not name):
            raise ValueError(f"name must be non-empty text, not {name!r}")
        self.module = module
        self.device = device
        self.name = name if name is not None else type(module).__name__
        self.step_options = MappingProxyType({"temperature": self.temperature} if sample else {"greedy": True})

    def act(self, step, batch) -> tuple[str, Any]:
        torch = require("torch", "torch", "TorchAgent")
        if step is None or step.observation is None:
            raise ValueError(f"agent {self.name!r} needs observations: step the batch with observe=True")
        with torch.inference_mode():
            observation = torch.from_numpy(step.observation)
            if self.device is not None:
                observation = observation.to(self.device)
            logits = self.module(observation)
            logits = logits.to("cpu", torch.float32).reshape(len(step.observation), -1).contiguous()
        return "logits", logits.numpy()

    def __repr__(self) -> str:
        return f"TorchAgent({self.name!r}, sample={self.sample}, temperature={self.temperature})"


def builtin_name(agent) -> str | None:
    """The rule a built-in agent plays by, which the batch can play natively as a reply; None
    for any other agent."""
    return agent.name if isinstance(agent, BuiltinAgent) else None


def observes(agent) -> bool:
    """Whether the agent reads the observations of the steps it is given."""
    return getattr(agent, "observes", True)


def play(agent, step, batch, **options):
    """One move of ``agent`` in every game of ``batch``: its ``act`` then ``batch.step``, with
    the agent's own step options and ``options`` (``reply=``, ``observe=``, ``out=``, ...)."""
    by, actions = agent.act(step, batch)
    return batch.step(actions, by=by, **getattr(agent, "step_options", {}), **options)


# ------------------------------------------------------------------------- loading by name

def resolve(target: str):
    """The object ``module:attribute`` names (``a.b:c.d`` reads attribute ``d`` of ``c``)."""
    module_name, _, attribute = target.partition(":")
    if not module_name or not attribute:
        raise ValueError(f"{target!r} does not name an object as module:callable")
    value = importlib.import_module(module_name)
    for part in attribute.split("."):
        value = getattr(value, part)
    return value


def load(spec):
    """The agent ``spec`` names: an agent itself, ``random`` | ``greedy`` | ``cautious``, a name
    in ``NAMED``, the path of a checkpoint file, or ``module:callable``, a callable of no
    arguments that returns an agent."""
    if isinstance(spec, os.PathLike):
        return load_checkpoint(spec)
    if not isinstance(spec, str):
        if isinstance(spec, Agent):
            return spec
        raise TypeError(f"an agent is named by text or given as an agent, not by {type(spec).__name__}")
    if spec in BUILTIN:
        return BuiltinAgent(spec)
    if spec in NAMED:
        return _checked(resolve(NAMED[spec].target)(), spec)
    if os.path.isfile(spec):
        return load_checkpoint(spec)
    if ":" in spec:
        return _checked(resolve(spec)(), spec)
    raise ValueError(
        f"{spec!r} names no agent: not one of {', '.join(BUILTIN + tuple(NAMED))}, no file, and not module:callable"
    )


def _checked(agent, spec: str):
    if not isinstance(agent, Agent):
        raise TypeError(f"{spec!r} returned {type(agent).__name__}, which is not an agent (name and act)")
    return agent


# ------------------------------------------------------------------------- checkpoints

DEFAULT_NETWORK = "murkplay_rl.policy:policy_network"

# Checkpoint files of other parts of the package, told apart by their keys: the keys, and the
# "module:callable" that rebuilds the torch module from such a file, called with (path, device).
CHECKPOINT_FORMATS: Mapping[tuple[str, ...], str] = MappingProxyType({
    ("network", "model"): "murkplay_rl.network:load_network",  # the trainer's checkpoints and exports
})


def save_checkpoint(path, module, *, network: str = DEFAULT_NETWORK, kwargs: Mapping[str, Any] | None = None,
                    **config) -> None:
    """Save ``module``'s weights with what rebuilds it: ``network`` (``module:callable``) called
    with ``kwargs`` makes the module again. Further ``config`` entries are kept for the loader:
    ``name``, ``sample`` and ``temperature`` of the agent, or ``loader``."""
    torch = require("torch", "torch", "checkpoints")
    payload = {"config": {"network": network, "kwargs": dict(kwargs or {}), **config},
               "state_dict": module.state_dict()}
    torch.save(payload, path)


def load_checkpoint(path, *, device=None):
    """The agent a checkpoint file holds.

    The file is a torch file of ``{"config": {...}, "state_dict": {...}}``, or of a format of
    ``CHECKPOINT_FORMATS`` (the trainer's), loaded without unpickling arbitrary objects. A
    config with ``loader`` (``module:callable``) is handed to that callable with the state
    dict, which returns the agent: that is how other checkpoint formats plug in. Otherwise ``network`` and ``kwargs`` rebuild the module, the state dict is
    loaded into it and it plays as a ``TorchAgent`` with the config's ``sample`` and
    ``temperature``; its name is the config's ``name`` or the file's name.
    """
    torch = require("torch", "torch", "checkpoints")
    payload = torch.load(path, map_location=device or "cpu", weights_only=True)
    stem = os.path.splitext(os.path.basename(os.fspath(path)))[0]
    if not isinstance(payload, dict):
        payload = {}
    if not {"config", "state_dict"} <= payload.keys():
        for keys, loader in CHECKPOINT_FORMATS.items():
            if set(keys) <= payload.keys():
                return TorchAgent(resolve(loader)(path, device=device or "cpu").eval(), name=stem, device=device)
        raise ValueError(f"{os.fspath(path)!r} is not a checkpoint: expected a dict of 'config' and 'state_dict'")
    config, state = payload["config"], payload["state_dict"]
    name = config.get("name") or stem
    if "loader" in config:
        return _checked(resolve(config["loader"])(config, state), os.fspath(path))
    module = resolve(config.get("network", DEFAULT_NETWORK))(**config.get("kwargs", {}))
    module.load_state_dict(state)
    module.eval()
    if device is not None:
        module.to(device)
    return TorchAgent(module, sample=config.get("sample", True), temperature=config.get("temperature", 1.0),
                      name=name, device=device)
