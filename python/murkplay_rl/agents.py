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
import math
import os
from types import MappingProxyType
from typing import Any, Mapping, NamedTuple, Protocol, runtime_checkable

from murkplay_rl._checks import flag, positive
from murkplay_rl._native import AGENTS
from murkplay_rl._optional import require

# The rules the batch plays natively, as its step's by= and reply= name them.
BUILTIN: tuple[str, ...] = AGENTS



class Named(NamedTuple):
    target: str  # "module:callable" of the package, called with no arguments
    about: str  # what it plays, for help texts


# Agents provided elsewhere in the package, loaded on first use.
NAMED: Mapping[str, Named] = MappingProxyType({
    "belief": Named("murkplay_rl.belief_agent:BeliefAgent",
                    "searches positions sampled from the set its side's view allows"),
    "pretrained": Named("murkplay_rl._pretrained:pretrained",
                        "the network trained by self-play that ships with the package (needs torch)"),
    "search": Named("murkplay_rl.search_agent:SearchAgent",
                    "searches positions sampled from its side's belief with the shipped network (needs torch)"),
})


def describe() -> str:
    """Every way of naming an agent, one a line, as command lines list them."""
    lines = [(", ".join(BUILTIN), "the built-in rules, chosen inside the batch's step"),
             *((name, named.about) for name, named in NAMED.items()),
             ("PATH", "a checkpoint file: data, loading it runs nothing it names"),
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
    Steps with the observation as codes (``codes=True``) serve as well: a module with
    ``reads_codes`` set gets them as ``CodeRows``, any other their floats, expanded on its device.

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
        if step is None or (step.observation is None and step.codes is None):
            raise ValueError(f"agent {self.name!r} needs observations: step the batch with observe=True")
        with torch.inference_mode():
            observation = self._inputs(step)
            logits = self.module(observation)
            logits = logits.to("cpu", torch.float32).reshape(len(step.played_move), -1).contiguous()
        return "logits", logits.numpy()

    @property
    def reads_codes(self) -> bool:
        """Whether its module reads observations as codes (``murkplay_rl.codes.CodeRows``); it
        is given floats otherwise, expanded from the codes on its device."""
        return bool(getattr(self.module, "reads_codes", False))

    def _inputs(self, step):
        from murkplay_rl.codes import CodeRows, module_inputs

        observation = step.observation if step.observation is not None else CodeRows.of(step)
        return module_inputs(self.module, observation, self.device if self.device is not None else "cpu")

    def __repr__(self) -> str:
        return f"TorchAgent({self.name!r}, sample={self.sample}, temperature={self.temperature})"


def builtin_name(agent) -> str | None:
    """The rule a built-in agent plays by, which the batch can play natively as a reply; None
    for any other agent."""
    return agent.name if isinstance(agent, BuiltinAgent) else None


def observes(agent) -> bool:
    """Whether the agent reads the observations of the steps it is given."""
    return getattr(agent, "observes", True)


def reads_codes(agent) -> bool:
    """Whether the agent reads the observation as codes (steps with ``codes=True``) as well."""
    return bool(getattr(agent, "reads_codes", False))


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
    arguments that returns an agent.

    Naming an agent as ``module:callable`` imports code: the caller's own text names it.
    Loading a checkpoint never does (``load_checkpoint``)."""
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

# A network of the registry (``murkplay_rl.network.NETWORKS``): the small dense policy.
DEFAULT_NETWORK = "policy_network"
_AGENT_OPTIONS = {"name": str, "sample": bool, "temperature": float}


def save_checkpoint(path, module, *, network: str = DEFAULT_NETWORK, kwargs: Mapping[str, Any] | None = None,
                    **config) -> None:
    """Save ``module``'s weights with what rebuilds it: the registry's network ``network``
    built with ``kwargs``. ``config`` may hold the agent's ``name``, ``sample`` and
    ``temperature``. The file is written whole or not at all."""
    from murkplay_rl import checkpoint
    from murkplay_rl.network import NETWORKS

    if network not in NETWORKS:
        raise ValueError(f"network must be one of {', '.join(NETWORKS)}, not {network!r}")
    unknown = sorted(config.keys() - _AGENT_OPTIONS.keys())
    if unknown:
        raise TypeError(f"save_checkpoint() got unexpected keyword arguments {', '.join(unknown)}")
    checkpoint.write(path, {"config": {"network": network, "kwargs": dict(kwargs or {}), **config},
                            "state_dict": module.state_dict()})


def _agent_file(path, payload: dict, device):
    """A file of ``save_checkpoint``: the network by name, and the agent's options."""
    from murkplay_rl import checkpoint

    checkpoint.keys(path, payload, {"config", "state_dict"})
    config = payload["config"]
    checkpoint.value(path, config, dict, "'config'")
    unknown = sorted(map(repr, config.keys() - {"network", "kwargs"} - _AGENT_OPTIONS.keys()))
    if unknown:
        raise checkpoint.fault(path, f"'config' has unknown {', '.join(unknown)}; a checkpoint names a network "
                                     "of the registry and the agent's options, never code")
    options = {key: checkpoint.value(path, config[key], kind, f"'config'[{key!r}]")
               for key, kind in _AGENT_OPTIONS.items() if key in config}
    temperature = options.get("temperature", 1.0)
    if not 0 < temperature < math.inf:
        raise checkpoint.fault(path, f"'config'['temperature'] must be positive and finite, not {temperature}")
    module = checkpoint.network(path, config.get("network", DEFAULT_NETWORK), config.get("kwargs", {}),
                                payload["state_dict"], device or "cpu")
    return TorchAgent(module, sample=options.get("sample", True), temperature=temperature,
                      name=options.get("name") or _stem(path), device=device)


def _trainer_file(path, payload: dict, device):
    """A checkpoint or export of the trainer: its PolicyValueNet."""
    from murkplay_rl import checkpoint, foresight

    return foresight.agent(checkpoint.trainer_network(path, payload, device or "cpu"), name=_stem(path),
                           device=device)


def _stem(path) -> str:
    return os.path.splitext(os.path.basename(os.fspath(path)))[0]


# The checkpoint files an agent is loaded from, told apart by their keys: an agent's own
# (``save_checkpoint``) and the trainer's checkpoints and exports.
CHECKPOINT_FORMATS: Mapping[tuple[str, ...], Any] = MappingProxyType({
    ("config", "state_dict"): _agent_file,
    ("network", "model"): _trainer_file,
})


def load_checkpoint(path, *, device=None):
    """The agent a checkpoint file holds, read as data: loading a file never imports or runs
    anything it names (``murkplay_rl.checkpoint``).

    The file is one of ``CHECKPOINT_FORMATS``: ``{"config": {...}, "state_dict": {...}}`` of
    ``save_checkpoint``, whose network, a name of the registry, is rebuilt with the config's
    ``kwargs`` and plays as a ``TorchAgent`` with its ``sample`` and ``temperature``, named by
    its ``name`` or the file's; or the trainer's. A damaged or foreign file is a ValueError
    naming the file and what is wrong with it.
    """
    from murkplay_rl import checkpoint

    require("torch", "torch", "checkpoints")
    payload = checkpoint.read(path)
    for keys, reader in CHECKPOINT_FORMATS.items():
        if set(keys) <= payload.keys():
            return reader(path, payload, device)
    raise checkpoint.fault(path, "this file is not a checkpoint: it holds neither 'config' and 'state_dict' "
                                 "(an agent's) nor 'network' and 'model' (the trainer's)")
