"""Values out of range are refused where they are given, by an exception naming them, before
anything is changed or written; the arena's command line turns every one into a usage error."""

import importlib.util
import math
import os

import pytest

import murkplay
import murkplay_rl
from murkplay_rl import agents, arena, ratings

HAS = {name: importlib.util.find_spec(name) is not None for name in ("gymnasium", "pettingzoo", "pyarrow", "chess")}


def gym_env(**options):
    from murkplay_rl.gym import FogChessEnv

    return FogChessEnv(**options)


def vector_env(**options):
    from murkplay_rl.gym import FogChessVectorEnv

    return FogChessVectorEnv(**options)


def writer(out, **options):
    from murkplay_rl.dataset import RecordWriter

    return RecordWriter(out, **options)


def selfplay_ray():
    from murkplay_rl import selfplay_ray

    return selfplay_ray


def recorder(**options):
    from murkplay_rl.dataset import GameRecorder

    return GameRecorder(murkplay_rl.GameBatch(2), **options)


# (call given a fresh directory path, exception, text of the message, the package it needs)
REFUSED = {
    "gym max_plies < 0": (lambda out: gym_env(max_plies=-1), ValueError, "max_plies must be from 0", "gymnasium"),
    "gym max_plies bool": (lambda out: gym_env(max_plies=True), TypeError, "max_plies must be an integer", "gymnasium"),
    "gym oracle text": (lambda out: gym_env(oracle="yes"), TypeError, "oracle must be True or False", "gymnasium"),
    "vector num_envs": (lambda out: vector_env(num_envs=0), ValueError, "num_envs must be at least 1", "gymnasium"),
    "vector threads": (lambda out: vector_env(threads=300), ValueError, "threads must be from 1 to", "gymnasium"),
    "vector oracle": (lambda out: vector_env(oracle=1), TypeError, "oracle must be True or False", "gymnasium"),
    "pettingzoo max_plies": (lambda out: murkplay_rl.env(max_plies=-1), ValueError, "max_plies must be from 0",
                             "pettingzoo"),
    "pettingzoo oracle": (lambda out: murkplay_rl.env(oracle="yes"), TypeError, "oracle must be True or False",
                          "pettingzoo"),
    "temperature inf": (lambda out: agents.TorchAgent(None, temperature=math.inf), ValueError,
                        "temperature must be a finite number above 0", None),
    "temperature nan": (lambda out: agents.TorchAgent(None, temperature=math.nan), ValueError, "temperature", None),
    "temperature 0": (lambda out: agents.TorchAgent(None, temperature=0), ValueError, "temperature", None),
    "temperature 10**400": (lambda out: agents.TorchAgent(None, temperature=10**400), ValueError,
                            "temperature must be a finite number above 0, not 10000", None),
    "temperature text": (lambda out: agents.TorchAgent(None, temperature="1"), TypeError, "temperature", None),
    "sample text": (lambda out: agents.TorchAgent(None, sample="no"), TypeError, "sample must be True or False", None),
    "agent name": (lambda out: agents.TorchAgent(None, name=""), ValueError, "name must be non-empty text", None),
    "match games": (lambda out: arena.match("random", "greedy", games=0), ValueError, "games must be at least 1", None),
    "match max_plies": (lambda out: arena.match("random", "greedy", max_plies=0), ValueError,
                        "max_plies must be from 1", None),
    "match threads": (lambda out: arena.match("random", "greedy", threads=0), ValueError, "threads must be from 1",
                      None),
    "match seed": (lambda out: arena.match("random", "greedy", seed=-1), ValueError, "seed must be from 0", None),
    "tournament games": (lambda out: arena.tournament(["random", "greedy"], 0, out=out), ValueError,
                         "games must be at least 1", None),
    "tournament prior": (lambda out: arena.tournament(["random", "greedy"], 2, out=out, prior_draws=-1), ValueError,
                         "prior_draws must be a finite number of at least 0", None),
    "tournament agent": (lambda out: arena.tournament(["random", "nobody"], 2, out=out), ValueError,
                         "'nobody' names no agent", None),
    "fit prior nan": (lambda out: ratings.fit(["random", "a"], [(1, 0, 5, 10)], prior_draws=math.nan), ValueError,
                      "prior_draws must be a finite number", None),
    "fit anchor": (lambda out: ratings.fit(["random", "a"], [(1, 0, 5, 10)], anchor="b"), ValueError,
                   "anchor 'b' is not one of", None),
    "fit pair": (lambda out: ratings.fit(["random", "a"], [(1, 2, 5, 10)]), ValueError, "pairs: (1, 2) is not a pair",
                 None),
    "fit points": (lambda out: ratings.fit(["random", "a"], [(1, 0, 11, 10)]), ValueError, "pairs: a against random",
                   None),
    "writer shard_games": (lambda out: writer(out, shard_games=0), ValueError, "shard_games must be at least 1",
                           "pyarrow"),
    "writer compression": (lambda out: writer(out, compression="zip"), ValueError, "compression must be", "pyarrow"),
    "writer append": (lambda out: writer(out, append="yes"), TypeError, "append must be True or False", "pyarrow"),
    "recorder version": (lambda out: recorder(policy_version=2**63), ValueError, "policy_version must be from", None),
    "recorder seed": (lambda out: recorder(seed=1.5), TypeError, "seed must be an integer", None),
    "worker max_plies": (lambda out: selfplay_ray().SelfPlayWorker(2, max_plies=0), ValueError,
                         "max_plies must be from 1", None),
    "selfplay tasks": (lambda out: selfplay_ray().run_selfplay([], None, None, games=8, games_per_task=0), ValueError,
                       "games_per_task must be at least 1", None),
    "play_games agent": (lambda out: arena.play_games("random", "nobody", 2), ValueError, "'nobody' names no agent",
                         None),
    "svg size": (lambda out: murkplay_rl.render_svg(murkplay.SelfPlayGame(), size=0), ValueError,
                 "size must be at least 1", "chess"),
}


@pytest.mark.parametrize("call, error, message, needs", REFUSED.values(), ids=REFUSED.keys())
def test_a_value_out_of_range_is_refused_where_it_is_given(tmp_path, call, error, message, needs):
    if needs and not HAS[needs]:
        pytest.skip(f"needs {needs}")
    out = tmp_path / "out"
    with pytest.raises(error, match=f"^{message.replace('(', '.').replace(')', '.')}") as raised:
        call(out)
    assert len(str(raised.value)) < 200
    assert not out.exists(), "a refused call left a directory behind"


# (arguments, text of the one line on stderr)
BAD_ARGUMENTS = {
    "games 0": (["random", "greedy", "--games", "0"], "argument --games: expected an integer at least 1, not 0"),
    "games text": (["random", "greedy", "--games", "many"], "argument --games: expected an integer at least 1"),
    "max plies": (["random", "greedy", "--max-plies", "0"], "argument --max-plies: expected an integer from 1"),
    "threads": (["random", "greedy", "--threads", "300"], "argument --threads: expected an integer from 1 to 256"),
    "seed": (["random", "greedy", "--seed", "-1"], "argument --seed: expected an integer from 0"),
    "prior draws": (["random", "greedy", "--prior-draws", "nan"], "argument --prior-draws: expected a finite number"),
    "one agent": (["random"], "name at least two agents"),
    "twice": (["random", "random"], "at least two agents of different names"),
    "unknown agent": (["random", "nobody"], "agent 'nobody': 'nobody' names no agent"),
    "missing module": (["random", "no_such_module_here:agent"], "agent 'no_such_module_here:agent': ModuleNotFound"),
    "not a checkpoint": (["random", "{out}/../junk.pt"], "agent '"),
    "unknown option": (["random", "greedy", "--gmaes", "3"], "unrecognized arguments: --gmaes 3"),
}


@pytest.mark.parametrize("argv, message", BAD_ARGUMENTS.values(), ids=BAD_ARGUMENTS.keys())
def test_every_bad_argument_of_the_arena_is_a_one_line_usage_error(tmp_path, capsys, argv, message):
    out = tmp_path / "out"
    (tmp_path / "junk.pt").write_bytes(b"not a checkpoint at all")
    argv = [arg.format(out=out) for arg in argv] + ["--out", str(out)]
    with pytest.raises(SystemExit) as ended:
        arena.main(argv)
    assert ended.value.code == 2
    printed = capsys.readouterr()
    assert printed.out == "" and printed.err.count("\n") == 1, printed.err
    assert printed.err.startswith("python -m murkplay_rl.arena: error: ") and message in printed.err, printed.err
    assert not out.exists() and sorted(os.listdir(tmp_path)) == ["junk.pt"]


def test_an_existing_run_directory_is_refused_and_left_as_it_was(tmp_path, capsys):
    for package in ("pyarrow", "matplotlib", "tqdm"):
        pytest.importorskip(package)
    out = tmp_path / "out"
    assert arena.main(["random", "greedy", "--games", "2", "--out", str(out)]) == 0
    assert capsys.readouterr().out.endswith(f"wrote 2 game records, arena.json and ratings.png to {out}\n")
    before = {name: (out / name).read_bytes() for name in os.listdir(out)}
    with pytest.raises(SystemExit) as ended:
        arena.main(["random", "greedy", "--games", "2", "--out", str(out)])
    assert ended.value.code == 2 and "already holds games" in capsys.readouterr().err
    assert {name: (out / name).read_bytes() for name in os.listdir(out)} == before
