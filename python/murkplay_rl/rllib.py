"""RLlib: the Gymnasium environments in the observation RLlib's action-masking PPO reads, the
vector one made natively by RLlib's env runners.

    from ray.rllib.algorithms.ppo import PPOConfig
    from ray.rllib.core.rl_module.rl_module import RLModuleSpec
    from ray.rllib.examples.rl_modules.classes.action_masking_rlm import ActionMaskingTorchRLModule
    from murkplay_rl import rllib as fog_rllib

    config = (PPOConfig()
              .environment(fog_rllib.ENV, env_config={"opponent": "random"})
              .env_runners(num_envs_per_env_runner=64, gym_env_vectorize_mode="vector_entry_point")
              .rl_module(rl_module_spec=RLModuleSpec(module_class=ActionMaskingTorchRLModule)))
    algo = config.build_algo()
    algo.train()
    arena.match(fog_rllib.RLlibAgent(algo.get_module()), "greedy", games=200)

An observation is a dict of ``observations``, the learner's view as one float32 vector of
64 * 35, and ``action_mask``, its legal slots as float32 0 and 1. ``ENV_ID`` is registered
with Gymnasium for both environments; ``ENV`` names it with this module, so that any process
(RLlib's remote env runners too) imports the module when it makes the environment. With
``gym_env_vectorize_mode="vector_entry_point"`` RLlib's env runners make the native vector
environment, restarting games at the next step as RLlib expects; otherwise one game each.
``env_config`` holds the environments' settings (``opponent``, ``side``, ``max_plies``, ...);
the view is floats only.

This module needs only Gymnasium; RLlib (``ray[rllib]``) pins its own Gymnasium, so it is
installed apart from the extra ``gym`` (see ``docs/libraries.md``).
"""

from __future__ import annotations

from murkplay_rl._optional import require

gymnasium = require("gymnasium", "rllib", "murkplay_rl.rllib")

from murkplay_rl import gym as fog_gym  # noqa: E402
from murkplay_rl._checks import flag  # noqa: E402
from murkplay_rl._spaces import FLAT  # noqa: E402

ENV_ID = "murkplay/FogChessRLlib-v0"
ENV = f"{__name__}:{ENV_ID}"


class FogChessEnv(fog_gym.FogChessEnv):
    """One game, in RLlib's observation."""

    _forms = {"floats": FLAT}


class FogChessVectorEnv(fog_gym.FogChessVectorEnv):
    """``num_envs`` games on one batch, in RLlib's observation."""

    _forms = {"floats": FLAT}


class RLlibAgent:
    """A trained RLlib module over this observation (``algo.get_module()``) as an agent: one
    forward pass for every game of a batch, its move drawn natively from the module's logits
    (``deterministic``: the most probable one)."""

    observes = True

    def __init__(self, module, *, deterministic: bool = False, name: str = "rllib"):
        require("torch", "rllib", "RLlibAgent")
        if not isinstance(name, str) or not name:
            raise ValueError(f"name must be non-empty text, not {name!r}")
        self.module, self.name = module, name
        self.deterministic = flag("deterministic", deterministic)
        self.step_options = {"greedy": True} if self.deterministic else {}

    def act(self, step, batch):
        import torch

        if step is None or step.observation is None:
            raise ValueError(f"agent {self.name!r} needs observations: step the batch with observe=True")
        seen = FLAT.build({"observation": step.observation}, step.mask)
        seen = {key: torch.from_numpy(value) for key, value in seen.items()}
        with torch.no_grad():
            out = self.module.forward_inference({"obs": seen})
        return "logits", out["action_dist_inputs"].to("cpu", torch.float32).numpy()

    def __repr__(self) -> str:
        return f"RLlibAgent({self.name!r}, deterministic={self.deterministic})"


if ENV_ID not in gymnasium.registry:
    gymnasium.register(
        id=ENV_ID,
        entry_point="murkplay_rl.rllib:FogChessEnv",
        vector_entry_point="murkplay_rl.rllib:FogChessVectorEnv",
    )
