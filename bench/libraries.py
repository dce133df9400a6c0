"""Collection through each RL library's adapter, beside the bare native vector environment and
beside the library's own generic path over single environments, all with the same opponent.

    python bench/libraries.py [--games 64] [--rounds 5] [--seconds 1.5] [--libraries ...]

Prints a Markdown table of learner steps per second (one step: one move of the learner and the
opponent's reply in one game) and the ratios the adapters are held to: adapter / bare native
vector environment, and adapter / generic path. In every round each path steps for
``--seconds`` of this thread's CPU time, the order alternating by round (timing.py); the
figures are medians over the rounds. The learner plays the first legal slot of each game's
mask on every path, so every path pays the same for its actions; the opponent is the native
``random`` agent. Then the cost of one ``rgb_array`` frame.

The paths: ``native`` murkplay_rl.gym.FogChessVectorEnv (next-step restarts); ``gymnasium
sync`` Gymnasium's SyncVectorEnv of single environments; ``sb3`` murkplay_rl.sb3.FogChessVecEnv
beside SB3's DummyVecEnv of single environments; ``torchrl`` murkplay_rl.torchrl.FogChessEnv
(step_and_maybe_reset) beside TorchRL's SerialEnv of GymWrapper-wrapped single environments;
``tianshou`` murkplay_rl.tianshou.FogChessVectorEnv beside Tianshou's DummyVectorEnv of single
environments, ended games reset as Tianshou's collectors do; ``rllib`` the vector environment
RLlib's ``vector_entry_point`` mode makes beside the SyncVectorEnv its ``sync`` mode makes (run
this one where RLlib is installed: it pins its own Gymnasium). A library that is not installed
is left out, and said so.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

from timing import call_costs, median, rates_side_by_side, ratio_of_rounds  # noqa: E402

STEPS = 8  # steps of every game a call of a workload makes
LIBRARIES = ("gymnasium", "sb3", "torchrl", "tianshou", "rllib")


def first_legal(masks) -> np.ndarray:
    return np.asarray(masks).argmax(axis=1)


def stepper(step, masks_of, games: int):
    """A workload of STEPS steps of every game, ``step`` taking the actions and returning
    what ``masks_of`` reads the next masks from."""
    state = {"masks": None}

    def run(_seed: int) -> int:
        for _ in range(STEPS):
            state["masks"] = masks_of(step(first_legal(state["masks"])))
        return STEPS * games

    return state, run


def gym_vector(envs, games: int):
    observation, _ = envs.reset(seed=0)
    state, run = stepper(lambda actions: envs.step(actions)[0], lambda observation: observation["action_mask"], games)
    state["masks"] = observation["action_mask"]
    return run


def native(games: int):
    from murkplay_rl import gym as fog_gym

    return gym_vector(fog_gym.FogChessVectorEnv(games), games)


def gymnasium_paths(games: int):
    import gymnasium

    from murkplay_rl import gym as fog_gym

    envs = gymnasium.make_vec(fog_gym.ENV_ID, num_envs=games, vectorization_mode="sync")
    return {"gymnasium sync": gym_vector(envs, games)}


def sb3_paths(games: int):
    from stable_baselines3.common.vec_env import DummyVecEnv

    from murkplay_rl import gym as fog_gym
    from murkplay_rl.sb3 import FogChessVecEnv

    venv = FogChessVecEnv(games)
    venv.reset()
    adapter_state, adapter = stepper(lambda actions: venv.step(actions), lambda _: venv.action_masks(), games)
    adapter_state["masks"] = venv.action_masks()
    generic = DummyVecEnv([fog_gym.FogChessEnv] * games)
    observation = generic.reset()
    generic_state, generic_run = stepper(lambda actions: generic.step(actions)[0],
                                         lambda observation: observation["action_mask"], games)
    generic_state["masks"] = observation["action_mask"]
    return {"sb3": adapter, "sb3 generic": generic_run}


def torchrl_paths(games: int):
    import torch
    from torchrl.envs import GymWrapper, SerialEnv

    from murkplay_rl import gym as fog_gym
    from murkplay_rl.torchrl import FogChessEnv

    torch.set_num_threads(1)  # as every other path: one thread

    def collecting(env):
        state = {"td": env.reset()}

        def run(_seed: int) -> int:
            td = state["td"]
            for _ in range(STEPS):
                td["action"] = torch.from_numpy(first_legal(td["action_mask"].numpy()))
                _, td = env.step_and_maybe_reset(td)
            state["td"] = td
            return STEPS * games

        return run

    generic = SerialEnv(games, lambda: GymWrapper(fog_gym.FogChessEnv(), categorical_action_encoding=True))
    return {"torchrl": collecting(FogChessEnv(games)), "torchrl generic": collecting(generic)}


def tianshou_paths(games: int):
    from tianshou.env import DummyVectorEnv

    from murkplay_rl import gym as fog_gym
    from murkplay_rl.tianshou import FogChessVectorEnv

    def collecting(envs, masks_of):
        observation, _ = envs.reset()
        state = {"observation": observation}

        def run(_seed: int) -> int:
            observation = state["observation"]
            for _ in range(STEPS):
                observation, _, terminated, truncated, _ = envs.step(first_legal(masks_of(observation)))
                done = np.flatnonzero(terminated | truncated)
                if len(done):
                    observation = replace(observation, done, envs.reset(done)[0])
            state["observation"] = observation
            return STEPS * games

        return run

    def replace(observation, rows, fresh):
        observation[rows] = fresh
        return observation

    generic = DummyVectorEnv([fog_gym.FogChessEnv] * games)
    return {"tianshou": collecting(FogChessVectorEnv(games), lambda observation: observation.mask),
            "tianshou generic": collecting(generic, lambda observation: np.stack([o["action_mask"] for o in observation]))}


def rllib_paths(games: int):
    import gymnasium

    from murkplay_rl import rllib as fog_rllib

    made = {mode: gymnasium.make_vec(fog_rllib.ENV, num_envs=games, vectorization_mode=mode)
            for mode in ("vector_entry_point", "sync")}
    return {"rllib": gym_vector(made["vector_entry_point"], games), "rllib generic": gym_vector(made["sync"], games)}


PATHS = {"gymnasium": gymnasium_paths, "sb3": sb3_paths, "torchrl": torchrl_paths, "tianshou": tianshou_paths,
         "rllib": rllib_paths}


def frame_cost() -> float:
    from murkplay_rl import gym as fog_gym
    from murkplay_rl import render

    envs = fog_gym.FogChessVectorEnv(1)
    observation, _ = envs.reset(seed=0)
    for _ in range(6):
        observation, *_ = envs.step(first_legal(observation["action_mask"]))
    namespace = {"render": render, "seen": observation["observation"][0]}
    return call_costs({"frame": "render.frame(seen, True)"}, namespace, repeat=15)["frame"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--games", type=int, default=64)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=1.5)
    parser.add_argument("--libraries", nargs="+", choices=LIBRARIES, default=list(LIBRARIES))
    args = parser.parse_args()
    if args.games < 1 or args.rounds < 1 or args.seconds <= 0:
        parser.error("--games and --rounds must be at least 1, --seconds above 0")

    workloads = {"native": native(args.games)}
    for library in args.libraries:
        try:
            workloads.update(PATHS[library](args.games))
        except ImportError as error:
            print(f"{library}: left out, not importable here ({error})")
    rates = rates_side_by_side(workloads, rounds=args.rounds, seconds=args.seconds, seed=0)
    uptime = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    print(f"\n{args.games} games, opponent random, {args.rounds} rounds of {args.seconds} s CPU a path; "
          f"{os.cpu_count()} cores; uptime: {uptime}\n")
    print("| path | learner steps/s | / native | / its generic path |")
    print("|---|---:|---:|---:|")
    for name, values in rates.items():
        versus_native = "" if name == "native" else f"{ratio_of_rounds(values, rates['native']):.2f}x"
        generic = rates.get(f"{name} generic")
        versus_generic = f"{ratio_of_rounds(values, generic):.1f}x" if generic is not None else ""
        print(f"| {name} | {median(values):,.0f} | {versus_native} | {versus_generic} |")
    print(f"\nrgb_array: {frame_cost() / 1000:.1f} us a frame (median of 15 samples)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
