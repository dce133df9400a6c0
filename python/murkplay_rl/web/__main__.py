"""``python -m murkplay_rl.web``: serves the pages on 127.0.0.1 until interrupted."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Sequence

from murkplay_rl._optional import MissingExtra, require
from murkplay_rl.web.server import HOST, listen, serve, url


def _port(text: str) -> int:
    if not text.isascii() or not text.isdigit() or not 0 <= int(text) <= 65535:
        raise argparse.ArgumentTypeError(f"a port is a number from 0 to 65535, not {text!r}")
    return int(text)


def _directory(text: str) -> str:
    if not os.path.isdir(text):
        raise argparse.ArgumentTypeError(f"no directory {text!r}")
    return text


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m murkplay_rl.web",
        description="Play agents under fog of war, replay recorded games and follow a training run, in the "
                    f"browser; served on {HOST} only.")
    parser.add_argument("--port", type=_port, default=8000, help="the port (default 8000; 0: any free port)")
    parser.add_argument("--records", type=_directory, metavar="DIR",
                        help="game records to replay: the arena's or the dataset's shards, in DIR or its "
                             "subdirectories")
    parser.add_argument("--run", type=_directory, metavar="RUN", help="a training run's directory to follow")
    options = parser.parse_args(argv)
    try:
        require("starlette", "web", "the web app")
        require("uvicorn", "web", "the web app")
    except MissingExtra as error:
        parser.error(str(error))
    from murkplay_rl.web.app import create_app

    try:
        listener = listen(options.port)
    except OSError as error:
        parser.error(f"cannot listen on {HOST}:{options.port}: {error.strerror}")
    print(f"murkplay web: {url(listener)}", flush=True)
    serve(create_app(records=options.records, run=options.run), listener)
    return 0


if __name__ == "__main__":
    sys.exit(main())
