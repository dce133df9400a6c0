"""The web app over HTTP: a game shows the person only their side's view until it ends, every
refused request changes nothing, replays and beliefs agree with the records played again, the
run's curve follows its file, and the command line serves on 127.0.0.1."""

import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request

import pytest

pytest.importorskip("starlette", reason="the web app needs its extra: pip install murkplay[web]")
pytest.importorskip("uvicorn", reason="the web app needs its extra: pip install murkplay[web]")
try:
    from starlette.testclient import TestClient
except RuntimeError as error:  # neither httpx2 nor httpx
    pytest.skip(f"starlette's test client cannot be had: {error}", allow_module_level=True)

import murkplay
import murkplay_rl
from murkplay_rl.web import create_app, play
from murkplay_rl.web.boards import belief_view, side_view, true_view
from murkplay_rl.web.play import BELIEF_LIMIT, Sessions, agent_names
from murkplay_rl.web.server import running
from web_support import PAWN_PROMOTES, KING_IN_REACH, evaluation_rows, records, write_evaluations  # noqa: F401

LOCAL = "http://127.0.0.1"


@pytest.fixture
def app():
    return create_app()


@pytest.fixture
def client(app):
    return TestClient(app, base_url=LOCAL)


def new_game(client, agent="random", color="white", fen=None):
    body = {"agent": agent, "color": color, **({"fen": fen} if fen else {})}
    response = client.post("/api/play", json=body)
    assert response.status_code == 201, response.text
    return response.json()


def move(client, key, uci):
    return client.post(f"/api/play/{key}/move", json={"move": uci})


def session_of(app, key):
    return app.state.sessions.get(key)


# ------------------------------------------------------------------------- play

class Reference:
    """The game and the person's belief, played again from the session's moves."""

    def __init__(self, white, seed, fen=None):
        self.white = white
        self.game = murkplay.SelfPlayGame(fen) if fen else murkplay.SelfPlayGame()
        self.belief = murkplay_rl.BeliefTracker(self.game, white, limit=BELIEF_LIMIT, seed=seed)
        self.played = 0
        self.last_own = None

    def follow(self, moves):
        for uci, own in moves[self.played:]:
            assert own == (self.game.turn == self.white)
            if own:
                self.last_own = uci
            self.game.apply(uci)
            if self.game.turn == self.white and not self.game.is_terminal() and not own:
                self.belief.update(self.game, self.last_own)
        self.played = len(moves)


@pytest.mark.parametrize("color", ["white", "black"])
def test_a_game_shows_only_the_persons_view_until_it_ends(client, app, color):
    rng = random.Random(color)
    white = color == "white"
    state = new_game(client, "greedy", color)
    session = session_of(app, state["id"])
    reference = Reference(white, session.batch.seed)
    for _ in range(400):
        reference.follow(session.moves)
        game = session.game
        assert game.board == reference.game.board
        assert state["view"] == side_view(game, white)
        assert state["belief"] == belief_view(reference.belief)
        assert state["ply"] == len(session.moves)
        assert [entry["own"] for entry in state["moves"]] == [own for _, own in session.moves]
        if state["over"]:
            break
        assert state["legal"] == game.legal_actions_uci()
        assert state["board"] is None and state["result"] is None
        # The agent's moves are not told; the person's own are.
        assert [entry["uci"] for entry in state["moves"]] == [uci if own else None for uci, own in session.moves]
        state = move(client, state["id"], rng.choice(state["legal"])).json()
    assert state["over"], "greedy took no king in 400 plies"
    assert state["legal"] == []
    assert state["board"] == true_view(session.game)
    assert [(entry["uci"], entry["own"]) for entry in state["moves"]] == session.moves
    assert state["result"]["outcome"] in ("won", "lost")
    assert client.get(f"/api/play/{state['id']}").json() == state


def test_each_tab_plays_a_game_of_its_own(client, app):
    first, second = new_game(client), new_game(client)
    assert first["id"] != second["id"]
    moved = move(client, first["id"], "e2e4").json()
    assert moved["ply"] == 2
    assert client.get(f"/api/play/{second['id']}").json() == second
    assert session_of(app, second["id"]).game.board == murkplay.SelfPlayGame().board


@pytest.mark.parametrize("color", ["white", "black"])
@pytest.mark.parametrize("name", agent_names())
def test_every_agent_of_the_package_plays(client, name, color):
    response = client.post("/api/play", json={"agent": name, "color": color})
    if response.status_code == 503:
        assert 'pip install "murkplay[' in response.json()["error"]
        pytest.skip(response.json()["error"])
    state = response.json()
    assert response.status_code == 201 and state["agent"] == name
    assert state["ply"] == (0 if color == "white" else 1)
    rng = random.Random(name)
    for _ in range(4):
        if state["over"]:
            break
        ply = state["ply"]
        state = move(client, state["id"], rng.choice(state["legal"])).json()
        assert state["failure"] is None
        assert state["ply"] == ply + 2 or state["over"]


@pytest.mark.parametrize("color, outcome", [("white", "won"), ("black", "lost")])
def test_a_game_ends_with_its_result(client, app, color, outcome):
    state = new_game(client, "greedy", color, fen=KING_IN_REACH)
    if color == "white":
        # The Black king stepped next to the queen, and the person sees it there.
        king = next(square for square, seen in enumerate(state["view"]) if seen["piece"] == "k" and not seen["fog"])
        capture = next(uci for uci in state["legal"] if uci[2:4] == "abcdefgh"[king % 8] + str(king // 8 + 1))
    else:
        capture = state["legal"][0]
    state = move(client, state["id"], capture).json()
    assert state["over"]
    assert state["result"] == {"outcome": outcome, "reason": "the Black king was captured", "score": "1-0"}
    session = session_of(app, state["id"])
    assert state["board"] == true_view(session.game)
    assert [entry["uci"] for entry in state["moves"]] == [uci for uci, _ in session.moves]
    refused = move(client, state["id"], "e1e2")
    assert refused.status_code == 409 and refused.json()["error"] == "this game is over; start a new one"


def test_a_game_at_the_ply_limit_is_a_draw(client, monkeypatch):
    monkeypatch.setattr(play, "MAX_PLIES", 2)
    state = move(client, new_game(client)["id"], "e2e4").json()
    assert state["over"]
    assert state["result"] == {"outcome": "drawn", "reason": "the game reached 2 plies", "score": "½-½"}


def test_a_pawn_promotes_to_the_piece_chosen(client):
    state = new_game(client, fen=PAWN_PROMOTES)
    assert {"a7a8q", "a7a8r", "a7a8b", "a7a8n"} <= set(state["legal"])
    refused = move(client, state["id"], "a7a8")
    assert refused.status_code == 422 and refused.json()["error"] == "a7a8 is not a legal move here"
    state = move(client, state["id"], "a7a8n").json()
    assert state["view"][56]["piece"] == "N"


def _post(client, key, content, kind="application/json"):
    return client.post(f"/api/play/{key}/move", content=content, headers={"content-type": kind})


REFUSED_MOVES = {
    "illegal": (b'{"move": "e2e5"}', "application/json", 422, "e2e5 is not a legal move here"),
    "the opponent's piece": (b'{"move": "e7e5"}', "application/json", 422, "e7e5 is not a legal move here"),
    "off the board": (b'{"move": "e2e9"}', "application/json", 400, "move must be UCI text"),
    "a king as promotion": (b'{"move": "e7e8k"}', "application/json", 400, "move must be UCI text"),
    "trailing text": (b'{"move": "e2e4 "}', "application/json", 400, "move must be UCI text"),
    "a NUL": (b'{"move": "e2e4\\u0000"}', "application/json", 400, "move must be UCI text"),
    "a number": (b'{"move": 1234}', "application/json", 400, "move must be UCI text"),
    "no move": (b"{}", "application/json", 400, "move must be UCI text"),
    "not JSON": (b"e2e4", "application/json", 400, "the body is not valid JSON"),
    "not UTF-8": (b"\xff\xfe", "application/json", 400, "the body is not valid JSON"),
    "a list": (b'["e2e4"]', "application/json", 400, "the body must be a JSON object"),
    "a form": (b"move=e2e4", "application/x-www-form-urlencoded", 415, "the body must be JSON"),
    "too long": (b'{"move": "' + b"e" * 10_000 + b'"}', "application/json", 413, "the body is longer than 4096 bytes"),
}


@pytest.mark.parametrize("content, kind, status, message", REFUSED_MOVES.values(), ids=REFUSED_MOVES.keys())
def test_a_refused_move_changes_nothing(client, app, content, kind, status, message):
    state = new_game(client)
    session = session_of(app, state["id"])
    before = session.game.encode_flattened(), session.game.board, list(session.moves)
    response = _post(client, state["id"], content, kind)
    assert response.status_code == status
    assert response.json()["error"].startswith(message)
    assert (session.game.encode_flattened(), session.game.board, list(session.moves)) == before
    assert client.get(f"/api/play/{state['id']}").json() == state
    assert move(client, state["id"], "e2e4").status_code == 200  # and the game goes on


def test_an_agent_that_fails_stops_its_game():
    class Silent:
        name, observes = "silent", False

        def act(self, step, batch):
            raise RuntimeError("no move today")

    app = create_app(agents={"silent": Silent})
    client = TestClient(app, base_url=LOCAL)
    state = new_game(client, "silent", "black")
    assert state["failure"] == "silent failed: RuntimeError: no move today"
    assert state["legal"] == [] and state["ply"] == 0
    refused = move(client, state["id"], "e7e5")
    assert refused.status_code == 409 and refused.json()["error"].startswith("this game stopped: silent failed")


def test_a_failure_of_the_server_is_said_and_frees_its_place():
    def broken():
        raise RuntimeError("no agent today")

    client = TestClient(create_app(max_games=1, agents={"broken": broken, "random": lambda: murkplay_rl.agents.load("random")}),
                        base_url=LOCAL, raise_server_exceptions=False)
    for _ in range(2):
        failed = client.post("/api/play", json={"agent": "broken"})
        assert failed.status_code == 500
        assert failed.json() == {"error": "the server failed: RuntimeError: no agent today"}
    new_game(client)


REFUSED_GAMES = {
    "an unknown agent": ({"agent": "nobody"}, "no agent is named 'nobody'; there are random, greedy"),
    "a name in another case": ({"agent": "Random"}, "no agent is named 'Random'"),
    "a name with junk": ({"agent": "random\x00junk"}, "no agent is named 'random\\x00junk'"),
    "module:callable": ({"agent": "murkplay_rl.agents:BuiltinAgent"}, "no agent is named"),
    "os.system": ({"agent": "os:system"}, "no agent is named"),
    "a path": ({"agent": "../random"}, "no agent is named"),
    "a number": ({"agent": 7}, "no agent is named 7"),
    "no agent": ({}, "no agent is named None"),
    "a list": ({"agent": ["random"]}, "no agent is named ['random']"),
    "a colour": ({"agent": "random", "color": "red"}, "color must be 'white' or 'black', not 'red'"),
    "a bad FEN": ({"agent": "random", "fen": "8/8/8 w - -"}, "fen '8/8/8 w - -' is not a valid position"),
    "a long FEN": ({"agent": "random", "fen": "8/" * 60}, "fen must be FEN text of at most 100 characters"),
    "a FEN not text": ({"agent": "random", "fen": 3}, "fen must be FEN text"),
}


@pytest.mark.parametrize("body, message", REFUSED_GAMES.values(), ids=REFUSED_GAMES.keys())
def test_a_refused_game_is_not_made(client, app, body, message):
    response = client.post("/api/play", json=body)
    assert response.status_code == 400
    assert response.json()["error"].startswith(message)
    assert len(app.state.sessions) == 0


def test_a_checkpoint_path_never_reaches_the_loader(client, app, tmp_path):
    checkpoint = tmp_path / "agent.pt"
    checkpoint.write_bytes(b"not a checkpoint")
    response = client.post("/api/play", json={"agent": str(checkpoint)})
    assert response.status_code == 400 and len(app.state.sessions) == 0


def test_games_beyond_the_bound_are_refused_until_one_closes():
    app = create_app(max_games=2)
    client = TestClient(app, base_url=LOCAL)
    first, _ = new_game(client), new_game(client)
    refused = client.post("/api/play", json={"agent": "random"})
    assert refused.status_code == 429 and refused.json()["error"].startswith("2 games are open")
    assert client.delete(f"/api/play/{first['id']}").status_code == 204
    for method in (client.get, client.delete):
        gone = method(f"/api/play/{first['id']}")
        assert gone.status_code == 404 and gone.json()["error"].startswith("no such game")
    new_game(client)


def test_idle_games_expire():
    now = [0.0]
    sessions = Sessions(2, idle=10, clock=lambda: now[0])
    games = []
    for _ in range(2):
        sessions.reserve()
        games.append(sessions.add(object.__new__(play.PlaySession)))
    now[0] = 6
    sessions.get(games[1])  # used: its idle time starts again
    now[0] = 12
    sessions.reserve()  # the first has expired, and its place is free
    with pytest.raises(play.Refused, match="no such game"):
        sessions.get(games[0])
    sessions.get(games[1])
    with pytest.raises(play.Refused) as refused:
        sessions.reserve()
    assert refused.value.status == 429


def call(url, method="GET", body=None):
    data = None if body is None else json.dumps(body).encode()
    request = urllib.request.Request(url, data=data, method=method,
                                     headers={"Content-Type": "application/json"} if data else {})
    try:
        with urllib.request.urlopen(request, timeout=30) as response:
            return response.status, json.loads(response.read() or b"null")
    except urllib.error.HTTPError as error:
        return error.code, json.loads(error.read())


class Waiting:
    """Agents that move only when the test lets them, and say when they have begun."""

    def __init__(self):
        self.gate = threading.Event()
        self.begun = threading.Semaphore(0)

    def agent(self):
        waiting = self

        class Agent:
            name, observes = "waiting", False

            def act(self, step, batch):
                waiting.begun.release()
                assert waiting.gate.wait(30)
                return "random", None

        return Agent()

    def wait_until_begun(self, count=1):
        for _ in range(count):
            assert self.begun.acquire(timeout=30)


def test_a_slow_agent_holds_up_no_other_tab_and_extra_requests_are_refused():
    waiting = Waiting()
    app = create_app(max_requests=2, agents={"waiting": waiting.agent, "random": lambda: murkplay_rl.agents.load("random")})
    answers = []
    with running(app) as url:
        status, game = call(url + "api/play", "POST", {"agent": "random"})
        assert status == 201
        # Two games whose agents are slow to move take both workers.
        slow = [threading.Thread(target=lambda: answers.append(call(url + "api/play", "POST",
                                                                    {"agent": "waiting", "color": "black"})))
                for _ in range(2)]
        for thread in slow:
            thread.start()
        waiting.wait_until_begun(2)
        began = time.monotonic()
        assert call(url + "api/config")[0] == 200
        assert call(url + f"api/play/{game['id']}") == (200, game)
        assert time.monotonic() - began < 2
        status, refused = call(url + f"api/play/{game['id']}/move", "POST", {"move": "e2e4"})
        assert status == 429 and refused["error"].startswith("the server is busy")
        waiting.gate.set()
        for thread in slow:
            thread.join(30)
        assert [status for status, _ in answers] == [201, 201]
        assert call(url + f"api/play/{game['id']}/move", "POST", {"move": "e2e4"})[0] == 200


def test_a_second_move_while_the_first_is_played_is_refused():
    waiting = Waiting()
    app = create_app(agents={"waiting": waiting.agent})
    with running(app) as url:
        status, game = call(url + "api/play", "POST", {"agent": "waiting"})
        first = threading.Thread(target=call, args=(url + f"api/play/{game['id']}/move", "POST", {"move": "e2e4"}))
        first.start()
        session = app.state.sessions.get(game["id"])
        waiting.wait_until_begun()
        status, refused = call(url + f"api/play/{game['id']}/move", "POST", {"move": "d2d4"})
        assert status == 409 and refused["error"] == "this game's last move is still being played"
        waiting.gate.set()
        first.join(30)
        assert [uci for uci, own in session.moves if own] == ["e2e4"]


# ------------------------------------------------------------------------- replay

@pytest.fixture
def replays(records):
    return TestClient(create_app(records=records), base_url=LOCAL)


def read(records, name):
    from murkplay_rl.dataset import read_records

    return list(read_records(records / name))


def test_the_record_sets_and_their_games_are_listed(replays, records):
    assert replays.get("/api/records").json() == {"root": records.name, "sets": ["arena", "other"]}
    listed = replays.get("/api/records/games?set=arena").json()
    games = read(records, "arena")
    sidecar = json.loads((records / "arena" / "arena.json").read_text())
    assert listed["total"] == len(games) == 12 and listed["warning"] is None
    assert [(game["plies"], game["white"], game["black"]) for game in listed["games"]] == [
        (record.plies, sidecar["agents"][white], sidecar["agents"][black])
        for record, white, black in zip(games, sidecar["white"], sidecar["black"])]
    page = replays.get("/api/records/games?set=arena&offset=10&limit=5").json()
    assert [game["game"] for game in page["games"]] == [10, 11]


def test_a_directory_of_shards_is_a_set_of_its_own(records):
    client = TestClient(create_app(records=records / "other"), base_url=LOCAL)
    assert client.get("/api/records").json() == {"root": "other", "sets": [""]}
    listed = client.get("/api/records/games?set=").json()
    assert listed["total"] == 2 and [game["white"] for game in listed["games"]] == ["random", "greedy"]
    assert client.get("/api/records/game?game=1").json()["moves"] == read(records, "other")[1].moves


@pytest.mark.parametrize("view", ["true", "white", "black"])
def test_each_ply_of_a_replay_shows_the_view_asked_for(replays, records, view):
    games = read(records, "arena")
    for number in (0, 5):
        record = games[number]
        answer = replays.get(f"/api/records/game?set=arena&game={number}").json()
        assert answer["moves"] == record.moves and answer["plies"] == record.plies
        game = murkplay.SelfPlayGame(record.start)
        for ply in range(record.plies + 1):
            position = replays.get(f"/api/records/position?set=arena&game={number}&ply={ply}&view={view}").json()
            expected = true_view(game) if view == "true" else side_view(game, view == "white")
            assert position["squares"] == expected
            assert position["last"] == (record.moves[ply - 1] if ply else None)
            assert position["over"] == (ply == record.plies) and position["belief"] is None
            if ply < record.plies:
                game.apply(record.moves[ply])


@pytest.mark.parametrize("side", ["white", "black"])
def test_a_replayed_belief_is_a_tracker_run_over_the_record(replays, records, side):
    record = read(records, "arena")[2]
    white = side == "white"
    game = murkplay.SelfPlayGame(record.start)
    tracker = murkplay_rl.BeliefTracker(game, white, limit=BELIEF_LIMIT, seed=2)
    expected, taken, last_own = [], 0, None
    for ply in range(record.plies + 1):
        if ply:
            if game.turn == white:
                last_own = record.moves[ply - 1]
            game.apply(record.moves[ply - 1])
            if game.turn == white and not game.is_terminal():
                tracker.update(game, last_own)
                taken = ply
        expected.append({**belief_view(tracker), "ply": taken})
    # Asked out of order, as a person stepping back and forth asks.
    for ply in [3, 0, record.plies, 1, record.plies - 1]:
        position = replays.get(f"/api/records/position?set=arena&game=2&ply={ply}&view=true&belief={side}").json()
        assert position["belief"] == expected[ply]


def _symlinked_records(records, tmp_path):
    root = tmp_path / "root"
    shutil.copytree(records / "other", root / "inside")
    (root / "escape").symlink_to(records / "arena", target_is_directory=True)
    (root / "mixed").mkdir()
    (root / "mixed" / "shard-00000.parquet").symlink_to(records / "arena" / "shard-00000.parquet")
    return root


REFUSED_REPLAYS = {
    "a parent": ("/api/records/games?set=..", 403, "'..' lies outside the records directory"),
    "a path up": ("/api/records/games?set=../arena", 403, "'../arena' lies outside"),
    "an absolute path": ("/api/records/games?set=/etc", 403, "'/etc' lies outside"),
    "a link leading out": ("/api/records/game?set=escape&game=0", 403, "'escape' lies outside"),
    "a shard leading out": ("/api/records/games?set=mixed", 403, "shard-00000.parquet of 'mixed' lies outside"),
    "no such set": ("/api/records/games?set=nope", 404, "no record set is named 'nope'"),
    "a path to a set": ("/api/records/games?set=inside/../inside", 404, "no record set is named"),
    "a NUL": ("/api/records/games?set=inside%00", 400, "a record set is named by text"),
    "no game": ("/api/records/game?set=inside", 400, "game must be an integer from 0 to 1, not None"),
    "a game too far": ("/api/records/game?set=inside&game=2", 400, "game must be an integer from 0 to 1, not '2'"),
    "a negative game": ("/api/records/game?set=inside&game=-1", 400, "game must be an integer"),
    "a ply too far": ("/api/records/position?set=inside&game=0&ply=999", 400, "ply must be an integer from 0 to"),
    "a ply not a number": ("/api/records/position?set=inside&game=0&ply=1e3", 400, "ply must be an integer"),
    "an unknown view": ("/api/records/position?set=inside&game=0&ply=0&view=oracle", 400,
                        "view must be one of true, white, black, not 'oracle'"),
    "an unknown belief": ("/api/records/position?set=inside&game=0&ply=0&belief=both", 400,
                          "belief must be one of none, white, black, not 'both'"),
    "a huge limit": ("/api/records/games?set=inside&limit=100000", 400, "limit must be an integer from 1 to 1000"),
}


@pytest.mark.parametrize("path, status, message", REFUSED_REPLAYS.values(), ids=REFUSED_REPLAYS.keys())
def test_a_refused_replay_request(records, tmp_path, path, status, message):
    client = TestClient(create_app(records=_symlinked_records(records, tmp_path)), base_url=LOCAL)
    assert client.get("/api/records").json()["sets"] == ["inside", "mixed"]
    response = client.get(path)
    assert response.status_code == status
    assert response.json()["error"].startswith(message)


def test_a_damaged_shard_keeps_the_games_before_it(records, tmp_path):
    damaged = tmp_path / "damaged"
    shutil.copytree(records / "arena", damaged / "set")
    (damaged / "set" / "shard-00001.parquet").write_bytes(b"PAR1 not really")
    listed = TestClient(create_app(records=damaged), base_url=LOCAL).get("/api/records/games?set=set").json()
    assert listed["total"] == 12
    assert listed["warning"].startswith("12 games read; the rest could not be:") and "damaged" in listed["warning"]


@pytest.mark.parametrize("sidecar", [
    b"not JSON", b"[1, 2]", b'{"agents": "random", "white": [0, 0], "black": [0, 0]}',
    b'{"agents": ["random", "greedy"], "white": [0, -1], "black": [1, 0]}',
    b'{"agents": ["random", "greedy"], "white": [0, 1, 0], "black": [1, 0, 1]}',
    b'{"agents": ["random", "greedy"], "white": [0, true], "black": [1, 0]}',
    b'{"agents": ["random", 3], "white": [0, 1], "black": [1, 0]}',
])
def test_a_sidecar_that_does_not_fit_names_no_players(records, tmp_path, sidecar):
    shutil.copytree(records / "other", tmp_path / "set")
    (tmp_path / "set" / "arena.json").write_bytes(sidecar)
    listed = TestClient(create_app(records=tmp_path), base_url=LOCAL).get("/api/records/games?set=set").json()
    assert listed["total"] == 2 and [game["white"] for game in listed["games"]] == [None, None]


def test_without_records_or_run_their_routes_say_so(client):
    for path, option in (("/api/records", "--records"), ("/api/records/games", "--records"),
                         ("/api/training", "--run")):
        response = client.get(path)
        assert response.status_code == 404 and response.json()["error"].endswith(f"started without {option}")
    assert client.get("/api/config").json()["records"] is None


# ------------------------------------------------------------------------- training

def test_the_run_is_read_again_at_each_request(tmp_path):
    rows = evaluation_rows(3)
    path = write_evaluations(tmp_path, rows)
    with open(path, "a") as sink:
        sink.write("30,3000,180.0,random,100,0.3")  # a row the trainer is still writing
    client = TestClient(create_app(run=tmp_path), base_url=LOCAL)
    status = client.get("/api/training").json()
    assert status["name"] == tmp_path.name and status["update"] is None
    assert [(row["opponent"], row["score"]) for row in status["evaluations"]] == [
        (row["opponent"], row["score"]) for row in rows]
    assert [(row["opponent"], row["seconds"]) for row in status["latest"]] == [("random", 120.0), ("greedy", 120.0)]
    with open(path, "a") as sink:
        sink.write("5,0.35,0.45\n")
    (tmp_path / "log.csv").write_text("updates,samples,plies,seconds,samples_per_second,games,pool_win_rate\n"
                                      "30,3000,9000,180.5,16.6,40,0.5\n")
    status = client.get("/api/training").json()
    assert len(status["evaluations"]) == 7 and status["latest"][0]["score"] == 0.35
    assert status["update"] == {"updates": 30, "samples": 3000, "plies": 9000, "seconds": 180.5,
                                "samples_per_second": 16.6, "games": 40, "pool_win_rate": 0.5}


# ------------------------------------------------------------------------- the server

def test_the_pages_are_served_with_nothing_from_elsewhere(client):
    page = client.get("/")
    assert page.status_code == 200 and page.headers["content-type"].startswith("text/html")
    assert page.headers["content-security-policy"].startswith("default-src 'self'")
    assert page.headers["x-content-type-options"] == "nosniff"
    for name in ("main.js", "api.js", "board.js", "play.js", "replay.js", "training.js", "style.css"):
        assert client.get(f"/static/{name}").status_code == 200, name
    text = "".join(client.get(f"/static/{name}").text for name in ("main.js", "play.js", "replay.js"))
    assert "http://" not in page.text + text.replace("http://www.w3.org/2000/svg", "")


@pytest.mark.parametrize("path, status", [
    ("/static/../app.py", 404), ("/static/%2e%2e/app.py", 404), ("/static/..%2fapp.py", 404),
    ("/static/%2e%2e%2f%2e%2e%2fplay.py", 404), ("/nothing", 404), ("/api/play", 405),
])
def test_nothing_else_is_served(client, path, status):
    response = client.get(path)
    assert response.status_code == status and "error" in response.json()


def test_a_request_for_another_host_is_refused(app):
    assert TestClient(app, base_url="http://attacker.example").get("/api/config").status_code == 400
    assert TestClient(app, base_url="http://localhost:8000").get("/api/config").status_code == 200


@pytest.mark.parametrize("value", [0, -1, 2.5, "4"])
def test_the_bounds_are_checked(value):
    with pytest.raises(ValueError, match="max_games must be a positive integer"):
        create_app(max_games=value)


USAGE = {
    "a port not a number": (["--port", "http"], "argument --port: a port is a number from 0 to 65535, not 'http'"),
    "a port too large": (["--port", "70000"], "argument --port: a port is a number from 0 to 65535"),
    "a negative port": (["--port", "-1"], "argument --port: a port is a number from 0 to 65535, not '-1'"),
    "no records": (["--records", "/no/such/dir"], "argument --records: no directory '/no/such/dir'"),
    "no run": (["--run", "/no/such/run"], "argument --run: no directory '/no/such/run'"),
    "another host": (["--host", "0.0.0.0"], "unrecognized arguments: --host 0.0.0.0"),
}


@pytest.mark.parametrize("argv, message", USAGE.values(), ids=USAGE.keys())
def test_command_line_errors_are_usage_errors(argv, message, capsys):
    from murkplay_rl.web.__main__ import main

    with pytest.raises(SystemExit) as raised:
        main(argv)
    assert raised.value.code == 2
    last = capsys.readouterr().err.splitlines()[-1]
    assert last.startswith(f"python -m murkplay_rl.web: error: {message}")


def test_a_port_in_use_is_a_usage_error(capsys):
    from murkplay_rl.web.__main__ import main

    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        with pytest.raises(SystemExit) as raised:
            main(["--port", str(port)])
    assert raised.value.code == 2
    assert capsys.readouterr().err.splitlines()[-1] == (
        f"python -m murkplay_rl.web: error: cannot listen on 127.0.0.1:{port}: Address already in use")


@pytest.mark.parametrize("hidden", ["starlette", "uvicorn"])
def test_without_the_extra_the_command_says_what_to_install(hidden):
    code = (f"import runpy, sys; sys.modules[{hidden!r}] = None; sys.argv = ['x', '--port', '0']; "
            "runpy.run_module('murkplay_rl.web', run_name='__main__')")
    ran = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert ran.returncode == 2
    last = ran.stderr.splitlines()[-1]
    assert last == (f"python -m murkplay_rl.web: error: the web app needs {hidden}, which is not installed: "
                    'pip install "murkplay[web]" (from a checkout: pip install ".[web]")')
    assert "Traceback" not in ran.stderr


def test_without_the_extra_the_app_names_it(block_import, monkeypatch):
    block_import("starlette")
    monkeypatch.delitem(sys.modules, "murkplay_rl.web.app")
    import murkplay_rl.web

    with pytest.raises(ImportError, match=r'pip install "murkplay\[web\]"') as raised:
        murkplay_rl.web.create_app
    assert raised.value.name == "starlette"


@pytest.mark.slow
def test_the_command_serves_on_127_0_0_1(records):
    server = subprocess.Popen([sys.executable, "-m", "murkplay_rl.web", "--port", "0", "--records", str(records)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = server.stdout.readline()
        assert line.startswith("murkplay web: http://127.0.0.1:"), line + server.stderr.read()
        url = line.split(": ", 1)[1].strip()
        status, game = call(url + "api/play", "POST", {"agent": "random"})
        assert status == 201
        status, moved = call(url + f"api/play/{game['id']}/move", "POST", {"move": "g1f3"})
        assert status == 200 and moved["ply"] == 2
        assert call(url + f"api/play/{game['id']}/move", "POST", {"move": "g1f3"}) == (
            422, {"error": "g1f3 is not a legal move here"})
        assert call(url + f"api/play/{game['id']}/move", "POST", ["g1f3"]) == (
            400, {"error": "the body must be a JSON object"})
        assert call(url + "api/play", "POST", {"agent": "os:system"})[0] == 400
        step = [call(url + f"api/records/position?set=arena&game=1&ply={ply}&view=white") for ply in (3, 4)]
        assert [status for status, _ in step] == [200, 200] and step[0][1]["squares"] != step[1][1]["squares"]
        assert call(url + "api/records/games?set=../..")[0] == 403
        for _ in range(31):
            assert call(url + "api/play", "POST", {"agent": "random"})[0] == 201
        assert call(url + "api/play", "POST", {"agent": "random"})[0] == 429
    finally:
        server.send_signal(signal.SIGINT)
        assert server.wait(30) == 0
        assert server.stderr.read() == ""
