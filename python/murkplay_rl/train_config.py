"""The settings of a training run, each checked where it is given.

Free of torch, so that ``python -m murkplay_rl.train --help`` lists them at once and a bad one
is refused before anything is imported or written. Every setting carries its help, its default
and its range in one place, its ``field``; a value out of range is a ValueError naming the
setting.
"""

from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass, field

from murkplay_rl import MAX_THREADS
from murkplay_rl._native import MAX_SEARCH_DEPTH, MAX_SEARCH_SAMPLES

BASELINES = ("random", "greedy", "cautious")
SEED_LIMIT = 2**63  # the seeds derived from a run's seed stay within every generator's range


def setting(default, help: str, *, low=None, high=None, above=None, choices=None, empty=False):
    """A field with its help and its range: ``low <= value <= high``, ``value > above``; a
    list of names may be ``empty`` only when said."""
    bounds = {"help": help, "low": low, "high": high, "above": above, "choices": choices, "empty": empty}
    if isinstance(default, (list, tuple)):
        return field(default=tuple(default), metadata=bounds)
    return field(default=default, metadata=bounds)


def group(kind, help: str, **defaults):
    """A field holding a group of settings of its own (``network.channels``), some of them at
    ``defaults`` of the group's own here."""
    return field(default_factory=lambda: kind(**defaults), metadata={"help": help, "group": kind})


def _checked(owner: str, item: dataclasses.Field, value):
    """``value`` as the setting's type, or ValueError naming the setting."""
    name = f"{owner}{item.name}"
    default = item.default
    if "group" in item.metadata:
        kind = item.metadata["group"]
        if isinstance(value, dict):
            return kind.from_dict(value)
        if not isinstance(value, kind):
            raise ValueError(f"{name} must be a group of settings, not {value!r}")
        return value
    if isinstance(default, str):
        if not isinstance(value, str) or not value:
            raise ValueError(f"{name} must be a name, not {value!r}")
    elif isinstance(default, int):
        if isinstance(value, bool) or not isinstance(value, int):
            raise ValueError(f"{name} must be a whole number, not {value!r}")
    elif isinstance(default, float):
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise ValueError(f"{name} must be a number, not {value!r}")
        value = float(value)
        if not math.isfinite(value):
            raise ValueError(f"{name} must be a finite number, not {value}")
    elif isinstance(default, tuple):
        empty = item.metadata["empty"]
        if not isinstance(value, (list, tuple)) or not (value or empty) or not all(isinstance(part, str)
                                                                                   for part in value):
            raise ValueError(f"{name} must be a{'' if empty else ' non-empty'} list of names, not {value!r}")
        value = tuple(value)
    bounds = item.metadata
    if bounds["choices"] is not None:
        choices = bounds["choices"]() if callable(bounds["choices"]) else bounds["choices"]
        for part in value if isinstance(value, tuple) else (value,):
            if part not in choices:
                raise ValueError(f"{name} cannot be {part!r}: it is one of {', '.join(choices)}")
    if bounds["low"] is not None and value < bounds["low"]:
        raise ValueError(f"{name} must be at least {bounds['low']}, not {value}")
    if bounds["high"] is not None and value > bounds["high"]:
        raise ValueError(f"{name} must be at most {bounds['high']}, not {value}")
    if bounds["above"] is not None and not value > bounds["above"]:
        raise ValueError(f"{name} must be more than {bounds['above']}, not {value}")
    return value


class Settings:
    """What the three groups of settings share: checking, plain dicts, text settings, help."""

    def __post_init__(self):
        for item in dataclasses.fields(self):
            object.__setattr__(self, item.name, _checked(self._prefix, item, getattr(self, item.name)))

    _prefix = ""

    def to_dict(self) -> dict:
        return dataclasses.asdict(self)

    @classmethod
    def from_dict(cls, values: dict):
        """The settings ``values`` holds (a config.json), missing ones at their defaults."""
        if not isinstance(values, dict):
            raise ValueError(f"{cls._prefix.rstrip('.') or 'the settings'} must be a dict of settings, not {values!r}")
        known = {item.name for item in dataclasses.fields(cls)}
        for name in values:
            if name not in known:
                raise ValueError(f"there is no setting named {cls._prefix}{name}")
        return cls(**values)

    def with_setting(self, name: str, text: str):
        """A copy with the setting ``name`` (dotted for a group: ``ppo.epochs``) read from ``text``:
        a number, a word, or names separated by commas."""
        head, _, rest = name.partition(".")
        known = {item.name: item for item in dataclasses.fields(self)}
        item = known.get(head)
        if item is None:
            raise ValueError(f"there is no setting named {self._prefix}{head}")
        if "group" in item.metadata:
            if not rest:
                raise ValueError(f"{self._prefix}{head} is a group: set one of its settings, e.g. {head}."
                                 f"{dataclasses.fields(item.metadata['group'])[0].name}=...")
            return dataclasses.replace(self, **{head: getattr(self, head).with_setting(rest, text)})
        if rest:
            raise ValueError(f"there is no setting named {self._prefix}{name}")
        return dataclasses.replace(self, **{head: _read(f"{self._prefix}{head}", item.default, text)})

    @classmethod
    def describe(cls, prefix: str = "", defaults=None) -> list[tuple[str, str, str]]:
        """(name, default, help) of every setting, groups' settings after their group's name."""
        defaults = cls() if defaults is None else defaults
        rows = []
        for item in dataclasses.fields(cls):
            default = getattr(defaults, item.name)
            if "group" in item.metadata:
                rows += item.metadata["group"].describe(f"{prefix}{item.name}.", default)
            else:
                shown = ",".join(default) if isinstance(default, tuple) else str(default)
                rows.append((f"{prefix}{item.name}", shown, item.metadata["help"]))
        return rows


def _read(name: str, default, text: str):
    """The text of a --set as the setting's type."""
    try:
        if isinstance(default, int):
            return int(text)
        if isinstance(default, float):
            return float(text)
    except ValueError:
        kind = "a whole number" if isinstance(default, int) else "a number"
        raise ValueError(f"{name} must be {kind}, not {text!r}") from None
    if isinstance(default, tuple):
        return tuple(part.strip() for part in text.split(",") if part.strip())
    return text


def _builtin_names() -> tuple[str, ...]:
    from murkplay_rl.agents import BUILTIN

    return BUILTIN


def _agent_names() -> tuple[str, ...]:
    from murkplay_rl.agents import BUILTIN, NAMED

    return BUILTIN + tuple(NAMED)


@dataclass(frozen=True)
class NetworkConfig(Settings):
    _prefix = "network."
    channels: int = setting(32, "features of every cell between the layers", low=1)
    blocks: int = setting(4, "3 x 3 convolutions over the board", low=0)
    key: int = setting(16, "size of a cell's query and key, whose dot product is a move's logit", low=1)
    guess: int = setting(0, "1: a head learns to guess the true contents of every cell the mover does not see",
                         low=0, high=1)
    material: float = setting(0.0, "the value's first weight of the material balance, in pawns; 0: none",
                              low=0.0)
    lines: int = setting(0, "1: the cells read, beside the observation, the lines that lead to the own king",
                         low=0, high=1)
    foresight: float = setting(0.0, "the first weight, per pawn, of each legal move's score in a short search of "
                                    "positions drawn from the mover's belief, added to its logit; 0: none", low=0.0)
    foresight_depth: int = setting(2, "plies of that search, the move itself the first", low=1, high=MAX_SEARCH_DEPTH)
    foresight_samples: int = setting(8, "positions that search draws from the belief", low=1, high=MAX_SEARCH_SAMPLES)


@dataclass(frozen=True)
class PPOConfig(Settings):
    _prefix = "ppo."
    learning_rate: float = setting(1e-3, "Adam's step size", above=0.0)
    decay_updates: int = setting(0, "when set, the rate and the entropy bonus fall linearly to a tenth over this "
                                    "many updates", low=0)
    decay_minutes: float = setting(0.0, "when set, they fall so over this many training minutes, the first of the "
                                        "two (by the clock: a resumed run is then not bit for bit)", low=0.0)
    epochs: int = setting(2, "passes over a rollout", low=1)
    minibatch: int = setting(256, "decisions per gradient step", low=2)
    clip: float = setting(0.2, "the probability ratio's trust region", above=0.0, high=1.0)
    value_coef: float = setting(0.5, "weight of the value loss", low=0.0)
    guess_coef: float = setting(0.5, "weight of the guess head's loss, where the network has one", low=0.0)
    # 0.01 let the policy collapse onto few moves within minutes.
    entropy_coef: float = setting(0.02, "weight of the entropy bonus", low=0.0)
    max_grad_norm: float = setting(0.5, "the gradient's norm is clipped to this", above=0.0)
    gamma: float = setting(0.99, "discount per decision of one colour", low=0.0, high=1.0)
    lam: float = setting(0.95, "GAE's lambda", low=0.0, high=1.0)


@dataclass(frozen=True)
class TrainConfig(Settings):
    seed: int = setting(0, "seeds the network, the games and the evaluations", low=0, high=SEED_LIMIT - 1)
    games: int = setting(64, "games stepped together", low=1)
    steps: int = setting(16, "steps of every game per rollout: small rollouts, many updates", low=1)
    max_plies: int = setting(150, "a game reaching it is cut off, its last moves valued by the network", low=1)
    opponent_share: float = setting(0.5, "share of the games against an opponent of the pool; the rest self-play",
                                    low=0.0, high=1.0)
    opponents: tuple[str, ...] = setting(("greedy", "cautious"), "built-in agents in the opponents' pool beside "
                                         "the learner's snapshots", choices=_builtin_names,
                                         empty=True)
    opponent_power: float = setting(2.0, "an opponent is drawn with weight (1 - the learner's score) ** this: "
                                         "toward what it loses to; 0 draws evenly", low=0.0)
    pool_size: int = setting(16, "snapshots kept", low=1)
    snapshot_every: int = setting(40, "updates between snapshots", low=1)
    checkpoint_every: int = setting(50, "updates between checkpoints", low=1)
    eval_every: float = setting(150.0, "training seconds between evaluations, at most", above=0.0)
    eval_points: int = setting(5, "evaluations a run's budget holds at least, besides the first", low=1)
    eval_games: int = setting(500, "games against each opponent, colours alternating", low=1)
    eval_opponents: tuple[str, ...] = setting(BASELINES, "the agents evaluated against, by name",
                                              choices=_agent_names)
    eval_max_plies: int = setting(300, "an evaluation game still going then counts half a point", low=1)
    threads: int = setting(1, "torch's threads and the batch's native threads", low=1, high=MAX_THREADS)
    device: str = setting("cpu", "torch device: cpu, or cuda where torch sees a GPU")
    observation: str = setting("floats", "what the batch hands the network: the float observation, or its codes "
                               "(about 263 bytes a game instead of 8,960), embedded by the same weights",
                               choices=("floats", "codes"))
    network: NetworkConfig = group(NetworkConfig, "the policy-value network", guess=1, material=0.1)
    ppo: PPOConfig = group(PPOConfig, "the PPO update")

    def eval_interval(self, budget: float) -> float:
        """Training seconds between evaluations in a run of ``budget`` training seconds: at
        most ``eval_every``, and short enough for ``eval_points`` evaluations after the first,
        so that a short run draws a curve too."""
        return min(self.eval_every, budget / self.eval_points)


def check_actors(config: TrainConfig) -> None:
    """Refuses settings that self-play on Ray actors cannot play (ValueError naming them)."""
    if config.network.foresight:
        raise ValueError("network.foresight is not played on Ray actors: the actors keep no beliefs")
