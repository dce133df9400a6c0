"""TorchRL: the games as one native ``EnvBase`` of batch size N, stepped natively, whose specs
pass TorchRL's ``check_env_specs``.

    from torchrl.collectors import Collector
    from murkplay_rl.torchrl import FogChessEnv

    env = FogChessEnv(64, opponent="random")
    collector = Collector(env, policy, frames_per_batch=64 * 32, total_frames=100_000)

A tensordict carries the learner's ``observation`` (float32 (N, 64, 35)) and ``action_mask``
(bool (N, 4352)), which the action spec's mask follows (``rand_action`` and TorchRL's masked
distributions draw only legal slots); ``action`` is a slot. A game that ends is done until
TorchRL resets it, as it resets every done game (``_reset``): the vector environment's
``disabled`` autoreset mode, which TorchRL prefers. Arrays pass to tensors without copies.

``FogChessEnv(...).base`` is the ``murkplay_rl.gym.FogChessVectorEnv`` underneath; TorchRL's
own ``GymWrapper`` takes that one too, at a far higher cost a step (``docs/libraries.md``).
"""

from __future__ import annotations

from murkplay_rl._optional import require

torch = require("torch", "torchrl", "murkplay_rl.torchrl")
require("torchrl", "torchrl", "murkplay_rl.torchrl")

from tensordict import TensorDict  # noqa: E402
from torchrl.data import Binary, Bounded, Categorical, Composite, Unbounded  # noqa: E402
from torchrl.envs import EnvBase  # noqa: E402

from murkplay_rl.gym import FogChessVectorEnv  # noqa: E402


class FogChessEnv(EnvBase):
    """``num_envs`` games on one batch; the settings are the vector environment's."""

    def __init__(self, num_envs: int = 16, opponent="random", side: str = "white", max_plies: int = 300, fen=None,
                 oracle: bool = False, threads: int = 1, device="cpu"):
        self.base = FogChessVectorEnv(num_envs, opponent=opponent, side=side, max_plies=max_plies, fen=fen,
                                      oracle=oracle, threads=threads, autoreset_mode="disabled")
        super().__init__(device=device, batch_size=torch.Size([num_envs]))
        count = torch.Size([num_envs])
        seen = self.base.single_observation_space["observation"]
        self.observation_spec = Composite(
            observation=Bounded(torch.from_numpy(seen.low).expand(num_envs, 64, 35),
                                torch.from_numpy(seen.high).expand(num_envs, 64, 35),
                                shape=(num_envs, 64, 35), dtype=torch.float32, device=self.device),
            action_mask=Binary(n=4352, shape=(num_envs, 4352), dtype=torch.bool, device=self.device),
            shape=count,
        )
        self.action_spec = Categorical(4352, shape=count, dtype=torch.int64, device=self.device)
        self.reward_spec = Unbounded(shape=(num_envs, 1), dtype=torch.float32, device=self.device)
        ends = {name: Categorical(2, shape=(num_envs, 1), dtype=torch.bool, device=self.device)
                for name in ("done", "terminated", "truncated")}
        self.done_spec = Composite(**ends, shape=count)
        self._seed = None

    def _result(self, observation, **fields) -> TensorDict:
        mask = torch.from_numpy(observation["action_mask"].view(bool))
        self.action_spec.update_mask(mask.to(self.device))
        return TensorDict({"observation": torch.from_numpy(observation["observation"]), "action_mask": mask,
                           **fields}, batch_size=self.batch_size, device=self.device)

    def _reset(self, tensordict=None, **kwargs):
        reset = None if tensordict is None else tensordict.get("_reset", None)
        if reset is None or self._seed is not None:
            observation, _ = self.base.reset(seed=self._seed)
            self._seed = None
        else:
            observation, _ = self.base.reset(options={"reset_mask": reset.reshape(-1).cpu().numpy()})
        done = torch.zeros((*self.batch_size, 1), dtype=torch.bool, device=self.device)
        return self._result(observation, done=done, terminated=done.clone(), truncated=done.clone())

    def _step(self, tensordict):
        actions = tensordict.get("action").reshape(-1).cpu().numpy()
        observation, rewards, terminations, truncations, _ = self.base.step(actions)
        terminated = torch.from_numpy(terminations).unsqueeze(-1)
        truncated = torch.from_numpy(truncations).unsqueeze(-1)
        return self._result(observation, reward=torch.from_numpy(rewards).unsqueeze(-1), terminated=terminated,
                            truncated=truncated, done=terminated | truncated)

    def _set_seed(self, seed):
        # The seed of the next full reset, as Gymnasium's reset(seed=...) takes it.
        self._seed = None if seed is None else int(seed) % 2**63
