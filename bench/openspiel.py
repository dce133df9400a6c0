"""murkplay_fog_chess beside OpenSpiel's own fog-of-war chess (dark_chess), in one run:
random playouts through the state API, clone at several plies, MCTS games per minute (both
games) and IS-MCTS games per minute (murkplay only: dark_chess cannot draw a state from an
information state), and, with --strength, IS-MCTS against greedy in the arena.

    python bench/openspiel.py [--rounds 7] [--seconds 1] [--simulations 200] [--search-games 4]
        [--strength GAMES] [--max-plies 300]

Times are the CPU time of this thread; each ratio is the median of per-round ratios, the two
games measured back to back in every round.
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import time
import timeit

import numpy as np
import pyspiel
from open_spiel.python.algorithms import evaluate_bots, mcts

import murkplay_rl.openspiel as mo
from murkplay_rl import arena

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from timing import CLOCK, median, rates_side_by_side, ratio_of_rounds  # noqa: E402

CLONE_PLIES = (0, 20, 60, 120, 200)


def games(max_plies: int) -> dict[str, pyspiel.Game]:
    return {"murkplay_fog_chess": mo.load_game(max_plies=max_plies), "dark_chess": pyspiel.load_game("dark_chess")}


def playout(game: pyspiel.Game):
    def run(seed: int) -> int:
        rng = random.Random(seed)
        state = game.new_initial_state()
        plies = 0
        while not state.is_terminal():
            state.apply_action(rng.choice(state.legal_actions()))
            plies += 1
        return plies
    return run


def playouts(all_games, rounds: int, seconds: float) -> None:
    rates = rates_side_by_side({name: playout(game) for name, game in all_games.items()}, rounds, seconds, seed=0)
    ours, theirs = rates["murkplay_fog_chess"], rates["dark_chess"]
    print(f"random playouts, plies per second: murkplay_fog_chess {median(ours):,.0f}, "
          f"dark_chess {median(theirs):,.0f}; ratio {ratio_of_rounds(ours, theirs):.2f} (target >= 2)")


def state_at(game: pyspiel.Game, plies: int):
    """A state after ``plies`` random plies, from the first of 1,000 seeds whose game lasts
    that long; None if none does."""
    for seed in range(1000):
        rng = random.Random(seed)
        state = game.new_initial_state()
        while len(state.history()) < plies and not state.is_terminal():
            state.apply_action(rng.choice(state.legal_actions()))
        if len(state.history()) == plies and not state.is_terminal():
            return state
    return None


def clones(all_games, rounds: int) -> None:
    plies_of = [plies for plies in CLONE_PLIES if all(plies < game.max_game_length() for game in all_games.values())]
    states = {(name, plies): state_at(game, plies) for name, game in all_games.items() for plies in plies_of}
    states = {key: state for key, state in states.items() if state is not None}
    timers = {key: timeit.Timer(state.clone, timer=CLOCK) for key, state in states.items()}
    samples: dict = {key: [] for key in timers}
    for _ in range(rounds):
        for key, timer in timers.items():
            samples[key].append(timer.timeit(2000) / 2000 * 1e6)
    for name in all_games:
        row = ", ".join(f"ply {plies}: {median(samples[name, plies]):.2f}" for plies in plies_of
                        if (name, plies) in samples)
        print(f"clone, microseconds: {name}: {row}")
    if ("dark_chess", 60) in samples and ("murkplay_fog_chess", 60) in samples:
        ratio = [a / b for a, b in zip(samples["dark_chess", 60], samples["murkplay_fog_chess", 60])]
        print(f"clone at ply 60: dark_chess / murkplay_fog_chess {median(ratio):.2f}")


def searches(all_games, simulations: int, count: int, max_plies: int) -> None:
    """Games of a search bot against uniform random play, per minute of CPU time."""
    for name, game in all_games.items():
        evaluator = mo.bots.RolloutEvaluator() if name == "murkplay_fog_chess" else mcts.RandomRolloutEvaluator()
        bot = mcts.MCTSBot(game, 2.0, simulations, evaluator, random_state=np.random.RandomState(0))
        print(f"MCTS, {simulations} simulations, {name}: {_per_minute(game, bot, count)}")
    for name, game in all_games.items():
        try:
            game.new_initial_state().resample_from_infostate(0, pyspiel.UniformProbabilitySampler(0.0, 1.0))
        except pyspiel.SpielError as error:
            print(f"IS-MCTS, {name}: cannot run: {error}")
            continue
        bot = mo.ismcts_bot(game, simulations=simulations, seed=0)
        print(f"IS-MCTS, {simulations} simulations, {name}: {_per_minute(game, bot, count)}")


def _per_minute(game, bot, count: int) -> str:
    """Games of ``bot`` against uniform random play, colours alternating, per minute; the games'
    lengths differ between the two games, so the plies are told too."""
    rng = np.random.RandomState(0)
    plies = 0
    start = CLOCK()
    for number in range(count):
        players = [bot, pyspiel.make_uniform_random_bot(1, number)] if number % 2 == 0 else \
            [pyspiel.make_uniform_random_bot(0, number), bot]
        state = game.new_initial_state()
        evaluate_bots.evaluate_bots(state, players, rng)
        plies += len(state.history())
    minutes = (CLOCK() - start) / 60
    return f"{count / minutes:.2f} games per minute, {plies / count:.0f} plies a game, {plies / minutes:,.0f} plies per minute"


def strength(games_played: int, simulations: int, max_plies: int, chunk: int = 50) -> None:
    """IS-MCTS against greedy in the arena, in chunks of ``chunk`` games (a fresh agent of seed
    k + 1 and arena seed 100 k for the k-th), the running total printed after each."""
    total, moves, seconds, fallbacks = None, 0, 0.0, 0
    start = time.perf_counter()
    for number in range((games_played + chunk - 1) // chunk):
        agent = mo.ismcts_agent(simulations, seed=number + 1, game=mo.load_game(max_plies=max_plies))
        count = min(chunk, games_played - number * chunk)
        result = arena.match(agent, "greedy", games=count, max_plies=max_plies, seed=100 * number)
        total = result if total is None else total + result
        moves, seconds, fallbacks = moves + agent.moves, seconds + agent.seconds, fallbacks + agent.fallbacks
        low, high = total.interval
        print(f"IS-MCTS {simulations} vs greedy after {total.games} games (max {max_plies} plies): "
              f"{total.wins}-{total.losses}-{total.draws}, score {total.score:.3f} ({low:.3f} .. {high:.3f}); "
              f"{seconds / moves * 1e3:.0f} ms a move over {moves} moves, {fallbacks} fallback moves; "
              f"{time.perf_counter() - start:.0f} s; load {os.getloadavg()[0]:.2f}", flush=True)


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--seconds", type=float, default=1.0, help="seconds of playouts per game and round")
    parser.add_argument("--simulations", type=int, default=200)
    parser.add_argument("--search-games", type=int, default=4, help="games of each search bot (default 4)")
    parser.add_argument("--max-plies", type=int, default=300)
    parser.add_argument("--strength", type=int, default=0, metavar="GAMES",
                        help="also play IS-MCTS against greedy for GAMES games (a long run)")
    options = parser.parse_args(argv)
    print(f"load: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f}")
    all_games = games(options.max_plies)
    playouts(all_games, options.rounds, options.seconds)
    clones(all_games, options.rounds)
    searches(all_games, options.simulations, options.search_games, options.max_plies)
    if options.strength:
        strength(options.strength, options.simulations, options.max_plies)
    print(f"load: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f}")


if __name__ == "__main__":
    main()
