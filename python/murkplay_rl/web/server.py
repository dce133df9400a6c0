"""Serving the application on 127.0.0.1: in the foreground for the command line, or on a
thread of its own for a notebook, a test or a script."""

from __future__ import annotations

import contextlib
import socket
import threading
import time
from typing import Iterator

from murkplay_rl._optional import require

HOST = "127.0.0.1"


def listen(port: int) -> socket.socket:
    """A socket listening on ``port`` of 127.0.0.1 (0: any free port); OSError when it is
    taken. It queues connections at once, so its address may be handed out before the server
    runs."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        listener.bind((HOST, port))
        listener.listen(128)
    except OSError:
        listener.close()
        raise
    return listener


def url(listener: socket.socket) -> str:
    return f"http://{HOST}:{listener.getsockname()[1]}/"


def _server(app):
    uvicorn = require("uvicorn", "web", "the web app")
    return uvicorn.Server(uvicorn.Config(app, log_level="warning"))


def serve(app, listener: socket.socket) -> None:
    """Serves until interrupted: Ctrl-C is the way to stop, and ends it quietly."""
    try:
        _server(app).run(sockets=[listener])
    except KeyboardInterrupt:
        # The server has shut down already; it raises the signal again once it has.
        pass


@contextlib.contextmanager
def running(app, port: int = 0, *, timeout: float = 10) -> Iterator[str]:
    """Serves ``app`` on a thread while the block runs; yields the address."""
    listener = listen(port)
    server = _server(app)
    thread = threading.Thread(target=server.run, kwargs={"sockets": [listener]}, daemon=True)
    thread.start()
    try:
        deadline = time.monotonic() + timeout
        while not server.started:
            if not thread.is_alive() or time.monotonic() > deadline:
                raise RuntimeError("the web server did not start")
            time.sleep(0.01)
        yield url(listener)
    finally:
        server.should_exit = True
        thread.join(timeout)
        listener.close()
