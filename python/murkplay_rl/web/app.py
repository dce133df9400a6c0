"""The web application: routes that parse a request, hand the work to the play sessions, the
record sets or the run, and answer JSON; and the pages' static files.

Whatever a route computes (an agent's move, a belief update, reading records) runs on a
bounded pool of worker threads, never on the event loop, so one slow agent does not hold up
the other tabs; a request beyond the bound is refused at once (429) rather than queued.
Requests naming another host are refused (a page elsewhere cannot reach this server through a
name of its own), and the pages may load nothing but this server's own files.
"""

from __future__ import annotations

import functools
import json
import os
from pathlib import Path
from typing import Callable, Mapping

from murkplay_rl._optional import require

require("starlette", "web", "the web app")

import anyio  # noqa: E402  (starlette's own dependency)
import anyio.to_thread  # noqa: E402
from starlette.applications import Starlette  # noqa: E402
from starlette.exceptions import HTTPException  # noqa: E402
from starlette.middleware import Middleware  # noqa: E402
from starlette.middleware.trustedhost import TrustedHostMiddleware  # noqa: E402
from starlette.requests import Request  # noqa: E402
from starlette.responses import FileResponse, JSONResponse, Response  # noqa: E402
from starlette.routing import Mount, Route  # noqa: E402
from starlette.staticfiles import StaticFiles  # noqa: E402

from murkplay_rl.web.errors import Refused, shown  # noqa: E402
from murkplay_rl.web.play import FEN_LENGTH, PlaySession, Sessions, agent_names, load_agent  # noqa: E402
from murkplay_rl.web.records import RecordSets  # noqa: E402
from murkplay_rl.web.training import run_status  # noqa: E402

STATIC = Path(__file__).parent / "static"
HOSTS = ("127.0.0.1", "localhost")
MAX_BODY = 4096
HEADERS = {
    "content-security-policy": "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; form-action 'none'",
    "x-content-type-options": "nosniff",
    "referrer-policy": "no-referrer",
    "cache-control": "no-store",
}
VIEWS = ("true", "white", "black")


def create_app(*, records: str | os.PathLike | None = None, run: str | os.PathLike | None = None,
               max_games: int = 32, idle_minutes: float = 30, max_requests: int = 4,
               agents: Mapping[str, Callable[[], object]] | None = None) -> Starlette:
    """The application. ``records``: a directory of record sets to replay; ``run``: a training
    run's directory to follow; ``max_games`` open games at most, each closed after
    ``idle_minutes`` without a request; ``max_requests`` computed at once. ``agents`` maps the
    names a page may choose to functions that make a fresh agent (by default the package's
    built-in and named agents)."""
    for name, value in (("max_games", max_games), ("max_requests", max_requests)):
        if not isinstance(value, int) or value < 1:
            raise ValueError(f"{name} must be a positive integer, not {value!r}")
    if not idle_minutes > 0:
        raise ValueError(f"idle_minutes must be positive, not {idle_minutes!r}")
    if agents is None:
        agents = {name: functools.partial(load_agent, name) for name in agent_names()}
    sessions = Sessions(max_games, idle_minutes * 60)
    sets = RecordSets(records) if records is not None else None
    run = os.fspath(run) if run is not None else None
    worker = _Workers(max_requests)

    async def config(request: Request) -> Response:
        return JSONResponse({
            "agents": list(agents),
            "records": sets.label if sets else None,
            "run": os.path.basename(os.path.realpath(run)) if run else None,
            "max_games": max_games,
        })

    async def new_game(request: Request) -> Response:
        body = await _body(request)
        agent = body.get("agent")
        if not isinstance(agent, str) or agent not in agents:
            raise Refused(400, f"no agent is named {shown(agent)}; there are {', '.join(agents)}")
        color = body.get("color", "white")
        if color not in ("white", "black"):
            raise Refused(400, f"color must be 'white' or 'black', not {shown(color)}")
        fen = body.get("fen")
        if fen is not None and (not isinstance(fen, str) or len(fen) > FEN_LENGTH):
            raise Refused(400, f"fen must be FEN text of at most {FEN_LENGTH} characters")
        sessions.reserve()
        try:
            session = await worker.run(lambda: PlaySession(agent, agents[agent](), color == "white", fen))
        except BaseException:
            sessions.release()
            raise
        return JSONResponse({"id": sessions.add(session), **session.state}, status_code=201)

    async def game(request: Request) -> Response:
        key = request.path_params["key"]
        if request.method == "DELETE":
            sessions.remove(key)
            return Response(status_code=204)
        return JSONResponse({"id": key, **sessions.get(key).state})

    async def move(request: Request) -> Response:
        key = request.path_params["key"]
        session = sessions.get(key)
        body = await _body(request)
        if not session.lock.acquire(blocking=False):
            raise Refused(409, "this game's last move is still being played")
        try:
            state = await worker.run(session.move, body.get("move"))
        finally:
            session.lock.release()
        return JSONResponse({"id": key, **state})

    def record_sets() -> RecordSets:
        if sets is None:
            raise Refused(404, "this server was started without --records")
        return sets

    async def set_list(request: Request) -> Response:
        names = await worker.run(record_sets().names)
        return JSONResponse({"root": record_sets().label, "sets": names})

    async def game_list(request: Request) -> Response:
        games = await worker.run(record_sets().games, request.query_params.get("set", ""))
        offset = _integer(request, "offset", 0, len(games), 0)
        limit = _integer(request, "limit", 1, 1000, 200)
        return JSONResponse({
            "total": len(games), "offset": offset, "warning": games.warning,
            "games": [games.summary(number) for number in range(offset, min(offset + limit, len(games)))],
        })

    async def record(request: Request) -> Response:
        games = await worker.run(record_sets().games, request.query_params.get("set", ""))
        return JSONResponse(games.game(_game_number(request, games)))

    async def position(request: Request) -> Response:
        name = request.query_params.get("set", "")
        games = await worker.run(record_sets().games, name)
        number = _game_number(request, games)
        ply = _integer(request, "ply", 0, games.plies(number))
        view = _choice(request, "view", VIEWS, "true")
        belief = _choice(request, "belief", ("none", "white", "black"), "none")
        return JSONResponse(await worker.run(record_sets().position_view, name, number, ply, view,
                                             None if belief == "none" else belief))

    async def training(request: Request) -> Response:
        if run is None:
            raise Refused(404, "this server was started without --run")
        return JSONResponse(await worker.run(run_status, run))

    async def index(request: Request) -> Response:
        return FileResponse(STATIC / "index.html")

    routes = [
        Route("/", index),
        Route("/api/config", config),
        Route("/api/play", new_game, methods=["POST"]),
        Route("/api/play/{key}", game, methods=["GET", "DELETE"]),
        Route("/api/play/{key}/move", move, methods=["POST"]),
        Route("/api/records", set_list),
        Route("/api/records/games", game_list),
        Route("/api/records/game", record),
        Route("/api/records/position", position),
        Route("/api/training", training),
        Mount("/static", StaticFiles(directory=STATIC), name="static"),
    ]
    handlers = {Refused: _refused, HTTPException: _http_error, Exception: _failed}
    app = Starlette(routes=routes, exception_handlers=handlers,
                    middleware=[Middleware(_Headers), Middleware(TrustedHostMiddleware, allowed_hosts=list(HOSTS))])
    app.state.sessions = sessions
    return app


class _Workers:
    """The threads computing for requests: at most ``limit`` at once, more refused."""

    def __init__(self, limit: int):
        self.limit = limit
        self.busy = 0  # changed on the event loop only
        self.threads = None  # made in the event loop, at the first request

    async def run(self, call, *arguments):
        if self.busy >= self.limit:
            raise Refused(429, f"the server is busy with {self.busy} requests; try again in a moment")
        if self.threads is None:
            self.threads = anyio.CapacityLimiter(self.limit)
        self.busy += 1
        try:
            return await anyio.to_thread.run_sync(functools.partial(call, *arguments), limiter=self.threads)
        finally:
            self.busy -= 1


class _Headers:
    """Adds the security headers to every response."""

    def __init__(self, app):
        self.app = app

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            return await self.app(scope, receive, send)

        async def send_with_headers(message):
            if message["type"] == "http.response.start":
                message.setdefault("headers", [])
                names = {name.lower() for name, _ in message["headers"]}
                message["headers"] = list(message["headers"]) + [
                    (name.encode(), value.encode()) for name, value in HEADERS.items() if name.encode() not in names]
            await send(message)

        await self.app(scope, receive, send_with_headers)


async def _body(request: Request) -> dict:
    kind = request.headers.get("content-type", "").partition(";")[0].strip().lower()
    if kind != "application/json":
        # A page elsewhere can post a form here without asking; JSON it must ask for first.
        raise Refused(415, "the body must be JSON (Content-Type: application/json)")
    chunks, size = [], 0
    async for chunk in request.stream():
        size += len(chunk)
        if size > MAX_BODY:
            raise Refused(413, f"the body is longer than {MAX_BODY} bytes")
        chunks.append(chunk)
    try:
        body = json.loads(b"".join(chunks))
    except (ValueError, UnicodeDecodeError) as error:
        raise Refused(400, f"the body is not valid JSON: {error}") from error
    if not isinstance(body, dict):
        raise Refused(400, "the body must be a JSON object")
    return body


def _integer(request: Request, name: str, low: int, high: int, default: int | None = None) -> int:
    text = request.query_params.get(name)
    if text is None and default is not None:
        return default
    if text is None or not text.isascii() or not text.isdigit() or len(text) > 12 or not low <= int(text) <= high:
        raise Refused(400, f"{name} must be an integer from {low} to {high}, not {shown(text)}")
    return int(text)


def _game_number(request: Request, games) -> int:
    if not len(games):
        raise Refused(404, "this record set holds no games")
    return _integer(request, "game", 0, len(games) - 1)


def _choice(request: Request, name: str, choices: tuple[str, ...], default: str) -> str:
    value = request.query_params.get(name, default)
    if value not in choices:
        raise Refused(400, f"{name} must be one of {', '.join(choices)}, not {shown(value)}")
    return value


def _refused(request: Request, error: Refused) -> Response:
    return JSONResponse({"error": error.message}, status_code=error.status)


def _http_error(request: Request, error: HTTPException) -> Response:
    return JSONResponse({"error": error.detail}, status_code=error.status_code, headers=error.headers)


def _failed(request: Request, error: Exception) -> Response:
    return JSONResponse({"error": f"the server failed: {type(error).__name__}: {error}"}, status_code=500)
