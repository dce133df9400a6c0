"""Checkpoint files are data: every crafted, damaged or foreign file is refused with one
ValueError naming the file and the fault, nothing a file names is ever run (a marker file is
never created), and the files the package wrote before still load."""

import json
import os
import pickle
import shutil

import pytest

torch = pytest.importorskip("torch")
pytest.importorskip("matplotlib")

import murkplay_rl  # noqa: E402
from murkplay_rl import agents, checkpoint, train  # noqa: E402
from murkplay_rl.network import NetworkConfig, PolicyValueNet  # noqa: E402
from murkplay_rl.policy import policy_network  # noqa: E402

TINY = ["--set", "games=4", "--set", "steps=4", "--set", "max_plies=12", "--set", "network.channels=4",
        "--set", "network.blocks=1", "--set", "network.key=4", "--set", "ppo.minibatch=8",
        "--set", "snapshot_every=1", "--set", "pool_size=2", "--set", "eval_games=2", "--seed", "3"]


class Runs:
    """A callable that runs ``command`` in a shell when unpickled: what a hostile file holds."""

    def __init__(self, command):
        self.command = command

    def __reduce__(self):
        return os.system, (self.command,)


@pytest.fixture
def marker(tmp_path):
    path = tmp_path / "MARKER"
    yield path
    assert not path.exists(), "a file ran code"


def agent_file(network="policy_network", kwargs=None, state=None, **config):
    return {"config": {"network": network, "kwargs": {"hidden": 4} if kwargs is None else kwargs, **config},
            "state_dict": policy_network(4).state_dict() if state is None else state}


def weights(**changes):
    state = policy_network(4).state_dict()
    state.update(changes)
    return state


def trainer_file(**changes):
    config = NetworkConfig(channels=4, blocks=1, key=4)
    return {"network": config.to_dict(), "model": PolicyValueNet(config).state_dict(), **changes}


AGENT_FILES = [
    ("empty", b"", "not a torch checkpoint, or a truncated or damaged one"),
    ("text", b"hello, world\n" * 20, "not a torch checkpoint"),
    ("raw-pickle", lambda marker: pickle.dumps(Runs(f"touch {marker}")), "not a torch checkpoint"),
    ("torch-pickle", lambda marker: {"config": Runs(f"touch {marker}"), "state_dict": {}},
     "it holds objects other than tensors and plain values"),
    ("a-list", [1, 2, 3], "a checkpoint holds a dict, not list"),
    ("a-tensor", torch.zeros(3), "a checkpoint holds a dict, not Tensor"),
    ("foreign-keys", {"weights": {}}, "this file is not a checkpoint"),
    ("subprocess-run", lambda marker: agent_file("subprocess:run", {"args": f"touch {marker}", "shell": True}),
     "names the network 'subprocess:run', which is none of the package's"),
    ("os-system", lambda marker: agent_file("os:system", {"command": f"touch {marker}"}),
     "names the network 'os:system'"),
    ("loader", lambda marker: agent_file(loader="subprocess:run"), "'config' has unknown 'loader'"),
    ("unknown-network", agent_file("ResNet50"), "names the network 'ResNet50'"),
    ("network-not-text", agent_file(["policy_network"]), "names the network ['policy_network']"),
    ("kwargs-not-dict", agent_file(kwargs=[4]), "must be a dict of names to numbers or text"),
    ("kwargs-object", agent_file(kwargs={"hidden": {"a": 1}}), "must be a dict of names to numbers or text"),
    ("kwargs-unknown", agent_file(kwargs={"hiden": 4}), "network 'policy_network': "),
    ("kwargs-bool", agent_file(kwargs={"hidden": True}), "hidden must be a whole number of at least 1, not True"),
    ("kwargs-huge", agent_file(kwargs={"hidden": 10**9}), "the weights['1.weight'] must be a torch.float32 tensor of "
                                                          "shape (1000000000, 2240)"),
    ("config-not-dict", {"config": "policy_network", "state_dict": {}}, "'config' must be a dict, not str"),
    ("extra-key", {**agent_file(), "extra": 1}, "unknown 'extra'"),
    ("missing-weight", agent_file(state={k: v for k, v in weights().items() if k != "1.bias"}),
     "the weights does not fit the network: missing ['1.bias']"),
    ("unknown-weight", agent_file(state=weights(**{"9.weight": torch.zeros(1)})), "unknown ['9.weight']"),
    ("wrong-shape", agent_file(state=weights(**{"1.bias": torch.zeros(5)})), "the weights['1.bias'] must be a "
                                                                             "torch.float32 tensor of shape (4,)"),
    ("wrong-dtype", agent_file(state=weights(**{"1.bias": torch.zeros(4, dtype=torch.float64)})), "not torch.float64"),
    ("not-a-tensor", agent_file(state=weights(**{"1.bias": [0.0] * 4})), "not list"),
    ("sparse", agent_file(state=weights(**{"1.bias": torch.zeros(4).to_sparse()})), "torch.sparse_coo"),
    ("nan-weight", agent_file(state=weights(**{"1.bias": torch.full((4,), float("nan"))})), "not finite"),
    ("temperature-nan", agent_file(temperature=float("nan")), "'config'['temperature'] must be a number, not nan"),
    ("temperature-zero", agent_file(temperature=0.0), "must be positive and finite, not 0.0"),
    ("temperature-text", agent_file(temperature="hot"), "'config'['temperature'] must be a number, not str"),
    ("sample-text", agent_file(sample="yes"), "'config'['sample'] must be true or false, not str"),
    ("name-number", agent_file(name=3), "'config'['name'] must be text, not int"),
    ("trainer-settings", trainer_file(network={"channels": "4", "blocks": 1, "key": 4}),
     "network.channels must be a whole number, not '4'"),
    ("trainer-no-channels", trainer_file(network={"channels": 0, "blocks": 1, "key": 4}),
     "network.channels must be at least 1, not 0"),
    ("trainer-shape", trainer_file(network={"channels": 8, "blocks": 1, "key": 4}), "must be a torch.float32 tensor"),
    ("trainer-extra", trainer_file(loader="subprocess:run"), "holds unknown 'loader'"),
]


@pytest.mark.parametrize("name, content, fault", AGENT_FILES, ids=[case[0] for case in AGENT_FILES])
def test_a_crafted_or_damaged_agent_file_is_refused(tmp_path, marker, name, content, fault):
    path = tmp_path / f"{name}.pt"
    content = content(marker) if callable(content) else content
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        torch.save(content, path)
    with pytest.raises(ValueError) as refused:
        agents.load(str(path))
    assert type(refused.value) is ValueError
    assert str(refused.value).startswith(f"{path}: ") and fault in str(refused.value), str(refused.value)


def test_a_truncated_checkpoint_is_refused_at_every_length(tmp_path):
    whole = tmp_path / "whole.pt"
    agents.save_checkpoint(whole, policy_network(4), kwargs={"hidden": 4})
    data = whole.read_bytes()
    for length in sorted({0, 1, 100, len(data) // 3, len(data) // 2, len(data) - 100, len(data) - 1}):
        path = tmp_path / f"cut-{length}.pt"
        path.write_bytes(data[:length])
        with pytest.raises(ValueError, match=f"^{path}: not a torch checkpoint"):
            agents.load(str(path))


def test_checkpoints_written_before_the_registry_still_load(tmp_path):
    network = policy_network(4)
    path = tmp_path / "former.pt"
    torch.save({"config": {"network": "murkplay_rl.policy:policy_network", "kwargs": {"hidden": 4}},
                "state_dict": network.state_dict()}, path)
    observation = torch.rand(2, 64, 35)
    assert torch.equal(agents.load(str(path)).module(observation), network(observation))
    # A network file from before the guess head and the material term names neither.
    before = PolicyValueNet(NetworkConfig(channels=32, blocks=4, key=16))
    torch.save({"network": {"channels": 32, "blocks": 4, "key": 16}, "model": before.state_dict()},
               tmp_path / "network.pt")
    loaded = agents.load(str(tmp_path / "network.pt"))
    assert sum(tensor.numel() for tensor in loaded.module.parameters()) == 47_717
    assert torch.equal(loaded.module(observation), before(observation))
    with pytest.raises(ValueError, match="^network must be one of PolicyValueNet, policy_network, not 'x:y'"):
        agents.save_checkpoint(tmp_path / "new.pt", network, network="x:y")
    with pytest.raises(TypeError, match="unexpected keyword arguments loader"):
        agents.save_checkpoint(tmp_path / "new.pt", network, loader="x:y")
    assert not (tmp_path / "new.pt").exists()


# ------------------------------------------------------------------------- resuming a run


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """A run of two updates: its directory and its last checkpoint's payload."""
    out = tmp_path_factory.mktemp("run")
    assert train.main(["--updates", "2", "--out", str(out), *TINY]) == 0
    return out, torch.load(out / "checkpoints" / "checkpoint-000002.pt", weights_only=True)


def changed(payload, path, value, marker=None):
    """A deep copy of ``payload`` with the entry at ``path`` (keys) set to ``value``: removed when
    it is ``REMOVED``, ``value(marker, entry)`` when it is a function."""
    payload = pickle.loads(pickle.dumps(payload))
    *parents, last = path
    target = payload
    for key in parents:
        target = target[key]
    if value is REMOVED:
        del target[last]
    else:
        target[last] = value(marker, target[last]) if callable(value) else value
    return payload


REMOVED = object()
FOREIGN_GENERATOR = json.dumps({"bit_generator": "MT19937", "state": {"key": [1, 2, 3], "pos": 3}})

RESUME_FILES = [
    (("batch",), lambda marker, _: pickle.dumps(Runs(f"touch {marker}")), "'batch' is a pickle of something other"),
    (("batch",), b"MPGB garbage", "'batch': not a pickled GameBatch of this version, or a damaged one"),
    (("batch",), lambda _, raw: raw[:len(raw) // 2], "'batch': not a pickled GameBatch"),
    (("batch",), lambda *_: checkpoint.batch_bytes(murkplay_rl.GameBatch(3, max_plies=12, auto_reset=True)),
     "'batch' holds 3 games of at most 12 plies, where the run plays 4"),
    (("batch",), 5, "'batch' must be bytes, not int"),
    (("batch",), None, "'batch' holds no games: the run played on Ray actors"),
    (("rng", "torch"), torch.zeros(10, dtype=torch.uint8),
     "'rng'['torch'] must be a torch.uint8 tensor of shape (5056,)"),
    (("rng", "numpy"), "{", "'rng'['numpy'] is not the state of numpy's generator"),
    (("rng", "numpy"), FOREIGN_GENERATOR, "'rng'['numpy'] is not the state of numpy's generator"),
    (("rng", "shuffling"), REMOVED, "'rng' has no 'shuffling'"),
    (("progress", "updates"), -1, "'progress'['updates'] must be at least 0, not -1"),
    (("progress", "updates"), "2", "'progress'['updates'] must be a whole number, not str"),
    (("progress", "seconds"), REMOVED, "'progress' has no 'seconds'"),
    (("progress", "last_eval"), float("nan"), "'progress'['last_eval'] must be a number, not nan"),
    (("optimizer", "state", 0, "exp_avg"), torch.zeros(3), "'optimizer'['state'][0]['exp_avg'] must be a"),
    (("optimizer", "state", 99), {}, "'optimizer' holds the state of a parameter 99 the network lacks"),
    (("optimizer",), [], "'optimizer' must be a dict, not list"),
    (("pool",), [{}], "'pool'[0] does not fit the network"),
    (("pool",), "snapshots", "'pool' must be a list, not str"),
    (("model", "embed.weight"), torch.zeros(4, 36), "'model'['embed.weight'] must be a torch.float32 tensor"),
    (("config", "games"), 0, "'config': games must be at least 1, not 0"),
    (("config", "eval_opponents"), ["subprocess:run"], "'config': eval_opponents cannot be"),
    (("config", "colour"), "white", "'config': there is no setting named colour"),
    (("network", "channels"), 8, "is not the run's network"),
    (("extra",), 1, "the file has unknown 'extra': not a checkpoint of this kind"),
    (("progress",), REMOVED, "the file has no 'progress'"),
]


@pytest.mark.parametrize("entry, value, fault", RESUME_FILES,
                         ids=["-".join(map(str, case[0])) + f"-{number}" for number, case in enumerate(RESUME_FILES)])
def test_a_damaged_run_checkpoint_is_refused_and_nothing_is_written(tmp_path, marker, capsys, run, entry, value,
                                                                     fault):
    out, payload = run
    crafted = tmp_path / "crafted"
    shutil.copytree(out, crafted)
    path = crafted / "checkpoints" / "checkpoint-000002.pt"
    torch.save(changed(payload, entry, value, marker), path)
    before = {item: item.read_bytes() for item in crafted.rglob("*") if item.is_file()}
    with pytest.raises(SystemExit) as exited:
        train.main(["--updates", "3", "--resume", str(crafted)])
    error = capsys.readouterr().err
    assert exited.value.code == 2 and error.count("\n") == 1, error
    assert f"error: {path}: " in error and fault in error, error
    assert {item: item.read_bytes() for item in crafted.rglob("*") if item.is_file()} == before


def test_a_run_whose_batch_was_pickled_goes_on_as_its_bytes_do(tmp_path, run):
    out, payload = run
    former, current = tmp_path / "former", tmp_path / "current"
    shutil.copytree(out, former)
    shutil.copytree(out, current)
    pickled = pickle.dumps(checkpoint.batch(out, payload["batch"]))  # what earlier checkpoints held
    torch.save(changed(payload, ("batch",), pickled), former / "checkpoints" / "checkpoint-000002.pt")
    for directory in (former, current):
        assert train.main(["--updates", "3", "--resume", str(directory)]) == 0
    one, two = (torch.load(d / "checkpoints" / "checkpoint-000003.pt", weights_only=True) for d in (former, current))
    assert one["batch"] == two["batch"]
    assert all(torch.equal(one["model"][key], two["model"][key]) for key in one["model"])
