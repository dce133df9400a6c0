"""Play and watch fog-of-war chess in the browser: a person plays an agent of the package
seeing only their side's view, recorded games are replayed from the true board or either
side's view, a belief set is drawn as a heat map, and a training run's learning curve grows as
the run writes it.

    python -m murkplay_rl.web [--port 8000] [--records DIR] [--run RUN]

It serves on 127.0.0.1 only. ``create_app`` makes the ASGI application, and ``running(app)``
serves it on a thread while a ``with`` block runs; the web framework (the extra
``murkplay[web]``) is imported with them.
"""

__all__ = ["create_app", "running"]


def __getattr__(name):
    if name == "create_app":
        from murkplay_rl.web.app import create_app

        return create_app
    if name == "running":
        from murkplay_rl.web.server import running

        return running
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
