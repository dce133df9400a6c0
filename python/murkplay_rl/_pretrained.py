"""The trained opponent shipped with the package, as ``murkplay_rl.pretrained()``.

``pretrained/ppo-30min.pt`` holds the best network of the documented 30-minute training run
(``python -m murkplay_rl.train`` with foresight) and nothing else, so the agent is a
``ForesightAgent``. Imports torch when called.
"""

from __future__ import annotations

from importlib import resources

FILE = "ppo-30min.pt"


def shipped_network(device: str = "cpu"):
    """The shipped ``PolicyValueNet``, in eval mode."""
    from murkplay_rl._optional import require

    require("torch", "torch", "the pretrained agent")
    from murkplay_rl.network import load_network

    with resources.as_file(resources.files("murkplay_rl") / "pretrained" / FILE) as path:
        return load_network(path, device)


def pretrained(*, sample: bool = True, temperature: float = 1.0, device: str = "cpu"):
    """The shipped network as an agent named ``pretrained``: it samples its moves from its
    policy and a three-ply foresight (``sample=False``: the most probable legal move)."""
    from murkplay_rl import foresight

    return foresight.agent(shipped_network(device), sample=sample, temperature=temperature, name="pretrained",
                           device=device, **foresight.SHIPPED)
