"""Stable-Baselines3: the games as one native ``VecEnv``, with sb3-contrib's ``action_masks()``
hook, and a trained model as an agent of the package.

    from sb3_contrib import MaskablePPO
    from murkplay_rl.sb3 import FogChessVecEnv, Sb3Agent

    model = MaskablePPO("MlpPolicy", FogChessVecEnv(64, opponent="random")).learn(10_000)
    arena.match(Sb3Agent(model), "greedy", games=200)

``FogChessVecEnv`` is the vector environment of ``murkplay_rl.gym`` in SB3's own interface: an
observation is the learner's (64, 35) view alone (the legal slots come from
``action_masks()``, as sb3-contrib's maskable algorithms ask for them); a game that ends is
restarted in the same step, its last view in ``infos[i]["terminal_observation"]`` and
``"TimeLimit.truncated"`` set where the ply limit or a lack of moves cut it off.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from murkplay_rl._optional import require

require("stable_baselines3", "sb3", "murkplay_rl.sb3")

from gymnasium import spaces  # noqa: E402
from stable_baselines3.common.vec_env import VecEnv  # noqa: E402

from murkplay_rl._checks import flag  # noqa: E402
from murkplay_rl.gym import FogChessVectorEnv  # noqa: E402


class FogChessVecEnv(VecEnv):
    """``num_envs`` games on one batch, stepped natively; the settings are the vector
    environment's (``murkplay_rl.gym.FogChessVectorEnv``)."""

    def __init__(self, num_envs: int = 16, opponent="random", side: str = "white", max_plies: int = 300, fen=None,
                 oracle: bool = False, threads: int = 1, render_mode: str | None = None):
        self.games = FogChessVectorEnv(num_envs, opponent=opponent, side=side, max_plies=max_plies, fen=fen,
                                       oracle=oracle, threads=threads, render_mode=render_mode,
                                       autoreset_mode="same_step")
        super().__init__(num_envs, self.games.single_observation_space["observation"], self.games.single_action_space)
        self._actions = None

    def reset(self) -> np.ndarray:
        observation, _ = self.games.reset(seed=self._seeds[0])
        self._reset_seeds()
        self._reset_options()
        return observation["observation"]

    def step_async(self, actions: np.ndarray) -> None:
        self._actions = actions

    def step_wait(self):
        if self._actions is None:
            raise RuntimeError("call step_async() before step_wait()")
        actions, self._actions = self._actions, None
        observation, rewards, terminations, truncations, infos = self.games.step(actions)
        done = terminations | truncations
        information: list[dict[str, Any]] = [{} for _ in range(self.num_envs)]
        if done.any():
            finals = infos["final_obs"]
            for game in np.flatnonzero(done).tolist():
                information[game]["terminal_observation"] = finals[game]["observation"]
                information[game]["TimeLimit.truncated"] = bool(truncations[game])
            for game in np.flatnonzero(infos.get("illegal_action", ())).tolist():
                information[game]["illegal_action"] = True
        return observation["observation"], rewards, done, information

    def action_masks(self) -> np.ndarray:
        """bool (num_envs, 4352): the legal slots of every game."""
        return self.games.action_masks()

    def close(self) -> None:
        self.games.close()

    def get_images(self):
        return list(self.games.render())

    # SB3 reaches the games one environment at a time by name; each game answers for itself.

    def get_attr(self, attr_name: str, indices=None) -> list[Any]:
        if attr_name == "action_masks":
            return [self._game_method(attr_name, game) for game in self._get_indices(indices)]
        value = getattr(self.games, attr_name)
        return [value for _ in self._get_indices(indices)]

    def set_attr(self, attr_name: str, value: Any, indices=None) -> None:
        raise AttributeError(f"the games' settings are fixed when they are made: {attr_name} cannot be set")

    def env_method(self, method_name: str, *method_args, indices=None, **method_kwargs) -> list[Any]:
        return [self._game_method(method_name, game)(*method_args, **method_kwargs)
                for game in self._get_indices(indices)]

    def _game_method(self, name: str, game: int):
        if name == "action_masks":
            return lambda: self.games.action_mask(game).copy()
        if name in ("slot_uci", "uci_slot"):
            method = getattr(self.games, name)
            return lambda *args, **kwargs: method(game, *args, **kwargs)
        raise AttributeError(f"a game of FogChessVecEnv has no method {name!r}: action_masks, slot_uci and uci_slot")

    def env_is_wrapped(self, wrapper_class, indices=None) -> list[bool]:
        return [False for _ in self._get_indices(indices)]


class Sb3Agent:
    """A trained Stable-Baselines3 actor-critic model (PPO, A2C, MaskablePPO) as an agent: one
    forward pass of its policy for every game of a batch, its move drawn natively from the
    policy's logits over the legal slots (``deterministic``: the most probable one)."""

    observes = True

    def __init__(self, model, *, deterministic: bool = False, name: str | None = None):
        require("torch", "sb3", "Sb3Agent")
        self.policy = model.policy
        self.deterministic = flag("deterministic", deterministic)
        if name is not None and (not isinstance(name, str) or not name):
            raise ValueError(f"name must be non-empty text, not {name!r}")
        self.name = name if name is not None else type(model).__name__
        self.step_options = {"greedy": True} if self.deterministic else {}
        # A model trained on the Gymnasium environment's dict reads the mask too.
        self._dict_input = isinstance(self.policy.observation_space, spaces.Dict)

    def act(self, step, batch):
        import torch

        if step is None or step.observation is None:
            raise ValueError(f"agent {self.name!r} needs observations: step the batch with observe=True")
        seen = step.observation
        if self._dict_input:
            seen = {"observation": seen, "action_mask": step.mask.view(np.int8)}
        with torch.no_grad():
            tensor, _ = self.policy.obs_to_tensor(seen)
            logits = self.policy.get_distribution(tensor).distribution.logits
        return "logits", logits.to("cpu", torch.float32).numpy()

    def __repr__(self) -> str:
        return f"Sb3Agent({self.name!r}, deterministic={self.deterministic})"
