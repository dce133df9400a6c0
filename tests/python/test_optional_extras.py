"""A feature whose optional package is missing says which extra installs it.

The packages are hidden through sys.modules (None there makes an import fail), so the errors
are checked whether or not the packages are installed.
"""

import importlib.util
import sys
import traceback

import pytest

import murkplay
import murkplay_rl


def _env():
    return murkplay_rl.env()


def _render_svg():
    return murkplay_rl.render_svg(murkplay.SelfPlayGame())


def _writer(tmp_path):
    from murkplay_rl.dataset import RecordWriter

    return RecordWriter(tmp_path)


def _worker():
    from murkplay_rl.selfplay_ray import SelfPlayWorker

    return SelfPlayWorker(2)


def _actors():
    from murkplay_rl.selfplay_ray import start_actors

    return start_actors(1)


def _policy():
    import murkplay_rl.policy

    return murkplay_rl.policy


def _sb3():
    import murkplay_rl.sb3


def _torchrl():
    import murkplay_rl.torchrl


def _tianshou():
    import murkplay_rl.tianshou


def _rllib():
    import murkplay_rl.rllib


def _gym():
    import murkplay_rl.gym


def _pretrained():
    murkplay_rl.pretrained()


def _search():
    import murkplay_rl.search_agent  # noqa: F401


# Packages a feature checks for before the hidden one, whose absence it reports first.
CHECKED_BEFORE = {"torchrl": ("torch",)}

# (feature, hidden packages, the extra named, modules to load afresh)
CASES = {
    "env without gymnasium": (_env, ["gymnasium"], "pettingzoo", ["murkplay_rl.pettingzoo_env"]),
    "env without pettingzoo": (_env, ["pettingzoo"], "pettingzoo", ["murkplay_rl.pettingzoo_env"]),
    "render_svg without chess": (_render_svg, ["chess", "chess.svg"], "chess", []),
    "RecordWriter without pyarrow": (_writer, ["pyarrow", "pyarrow.parquet"], "dataset", []),
    "SelfPlayWorker without torch": (_worker, ["torch"], "ray", []),
    "start_actors without ray": (_actors, ["ray"], "ray", []),
    "the policy without torch": (_policy, ["torch"], "torch", ["murkplay_rl.policy"]),
    "pretrained without torch": (_pretrained, ["torch"], "torch", ["murkplay_rl.network"]),
    "search without torch": (_search, ["torch"], "torch", ["murkplay_rl.search_agent", "murkplay_rl.network"]),
    "sb3 without stable_baselines3": (_sb3, ["stable_baselines3"], "sb3", ["murkplay_rl.sb3"]),
    "torchrl without torchrl": (_torchrl, ["torchrl"], "torchrl", ["murkplay_rl.torchrl"]),
    "torchrl without torch": (_torchrl, ["torch"], "torchrl", ["murkplay_rl.torchrl"]),
    "tianshou without tianshou": (_tianshou, ["tianshou"], "tianshou", ["murkplay_rl.tianshou"]),
    "rllib without gymnasium": (_rllib, ["gymnasium"], "rllib", ["murkplay_rl.rllib"]),
    "gym without gymnasium": (_gym, ["gymnasium"], "gym", ["murkplay_rl.gym"]),
}


@pytest.mark.parametrize("call, hidden, extra, fresh", CASES.values(), ids=CASES.keys())
def test_a_missing_package_names_its_extra(call, hidden, extra, fresh, monkeypatch, tmp_path):
    for earlier in CHECKED_BEFORE.get(hidden[0], ()):
        if importlib.util.find_spec(earlier) is None:
            pytest.skip(f"{earlier}, checked before {hidden[0]}, is not installed here")
    for name in fresh:
        monkeypatch.delitem(sys.modules, name, raising=False)
    for name in ("env", "raw_env", "render_svg"):
        monkeypatch.delitem(murkplay_rl.__dict__, name, raising=False)  # the lazy loader's cache
    for name in hidden:
        monkeypatch.setitem(sys.modules, name, None)
    arguments = [tmp_path] if call is _writer else []
    with pytest.raises(ImportError) as raised:
        call(*arguments)
    error = raised.value
    assert f'pip install "murkplay[{extra}]"' in str(error)
    assert error.name == hidden[0].partition(".")[0]
    assert isinstance(error.__cause__, ImportError)
    # One error and its cause, without the import machinery's frames in between.
    assert "importlib" not in "".join(traceback.format_exception(error))
