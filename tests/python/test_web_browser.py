"""The pages in a real headless browser, Debian's chromium driven through its chromedriver:
play against random by clicking and watch the fog lift, finish a game, promote a pawn, show
the belief, replay a record from each side's view, follow a run as it writes; and the
screenshots of each screen (kept in docs/ when MURKPLAY_WEB_SCREENSHOTS names a directory).

Skipped, with the reason, where selenium, chromium or its driver cannot be had.
"""

import os
import shutil
import urllib.error
import urllib.request

import pytest

pytest.importorskip("starlette", reason="the web app needs its extra: pip install murkplay[web]")
pytest.importorskip("uvicorn", reason="the web app needs its extra: pip install murkplay[web]")
webdriver = pytest.importorskip("selenium.webdriver", reason="the browser tests need selenium")
from selenium.common.exceptions import WebDriverException  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

import murkplay  # noqa: E402
from murkplay_rl.web import create_app  # noqa: E402
from murkplay_rl.web.boards import side_view, true_view  # noqa: E402
from murkplay_rl.web.server import running  # noqa: E402
from web_support import (KING_IN_REACH, PAWN_PROMOTES, evaluation_rows, records,  # noqa: E402,F401
                         write_evaluations)

pytestmark = pytest.mark.slow

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
DRIVER = shutil.which("chromedriver")
FILES = "abcdefgh"


@pytest.fixture(scope="module")
def browser():
    if not CHROMIUM or not DRIVER:
        pytest.skip("no chromium and chromedriver here (apt-get install chromium chromium-driver)")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1200,820", "--force-device-scale-factor=1"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    try:
        driver = webdriver.Chrome(options=options, service=Service(DRIVER))
    except WebDriverException as error:
        pytest.skip(f"chromium did not start: {error.msg}")
    yield driver
    driver.quit()


@pytest.fixture(autouse=True)
def no_page_errors(browser):
    """No test may leave a script error or a refused load in the console."""
    browser.get_log("browser")
    yield
    problems = [entry["message"] for entry in browser.get_log("browser")
                if "Content Security Policy" in entry["message"] or "Uncaught" in entry["message"]]
    assert problems == []


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    directory = tmp_path_factory.mktemp("run")
    write_evaluations(directory, evaluation_rows(4, ("random", "greedy", "cautious")))
    return directory


@pytest.fixture(scope="module")
def site(records, run):
    with running(create_app(records=records, run=run)) as url:
        yield url


def wait(browser, condition, timeout=30):
    return WebDriverWait(browser, timeout).until(lambda driver: condition())


def open_screen(browser, site, screen):
    browser.get("about:blank")
    browser.get(f"{site}#{screen}")
    wait(browser, lambda: browser.find_element(By.TAG_NAME, "body").get_attribute("data-ready") == "true")


def square(browser, board, name):
    return browser.find_element(By.CSS_SELECTOR, f"#{board} [data-square='{name}']")


def squares(browser, board):
    """The board as drawn: per square name, (in the fog, piece symbol or None)."""
    cells = browser.execute_script(
        "return [...document.querySelectorAll(arguments[0] + ' .square')].map(cell => "
        "[cell.dataset.square, cell.classList.contains('fog'), cell.dataset.piece ?? null]);", f"#{board}")
    return {name: (fog, piece) for name, fog, piece in cells}


def drawn(view):
    """What the page should draw for a view the server gives, in the form of ``squares``."""
    return {FILES[index % 8] + str(index // 8 + 1): (cell["fog"], cell["piece"]) for index, cell in enumerate(view)}


def board_data(browser, board, name):
    return browser.find_element(By.ID, board).get_attribute(f"data-{name}")


def start_game(browser, site, agent="random", color="white", fen=""):
    open_screen(browser, site, "play")
    # The page starts a game of its own as it opens; this one comes after it.
    wait(browser, lambda: board_data(browser, "play-board", "game") is not None)
    previous = board_data(browser, "play-board", "game")
    browser.find_element(By.CSS_SELECTOR, f"#agent option[value='{agent}']").click()
    browser.find_element(By.CSS_SELECTOR, f"#color option[value='{color}']").click()
    browser.find_element(By.ID, "fen").send_keys(fen)
    browser.find_element(By.ID, "new-game-button").click()
    wait(browser, lambda: board_data(browser, "play-board", "game") != previous
         and board_data(browser, "play-board", "turn") in ("you", "over"))


def click_move(browser, source, target=None):
    """Clicks a piece, then where it goes (by default the first square offered), and waits
    for the agent's reply."""
    ply = int(board_data(browser, "play-board", "ply"))
    square(browser, "play-board", source).click()
    if target is None:
        target = browser.find_element(By.CSS_SELECTOR, "#play-board .square.target").get_attribute("data-square")
    assert "target" in square(browser, "play-board", target).get_attribute("class")
    square(browser, "play-board", target).click()
    wait(browser, lambda: int(board_data(browser, "play-board", "ply")) > ply
         and board_data(browser, "play-board", "turn") in ("you", "over"))


def test_play_against_random_by_clicking_and_see_the_fog_change(browser, site):
    start_game(browser, site)
    before = squares(browser, "play-board")
    assert board_data(browser, "play-board", "ply") == "0"
    assert all(before[f"{file}{rank}"] == (True, None) for file in FILES for rank in "5678")
    assert before["e2"] == (False, "P")
    click_move(browser, "e2", "e4")
    after = squares(browser, "play-board")
    assert after["e4"][1] == "P" and after["e2"] == (False, None)
    # The pawn on e4 sees the squares in front of it and beside that.
    assert all(before[name][0] and not after[name][0] for name in ("d5", "e5", "f5"))
    for _ in range(3):
        if board_data(browser, "play-board", "turn") != "you":
            break
        click_move(browser, browser.find_element(By.CSS_SELECTOR, "#play-board .square.movable")
                   .get_attribute("data-square"))
    moves = browser.find_elements(By.CSS_SELECTOR, "#play-moves li")
    assert moves[0].text == "e2e4"
    assert [move.text for move in moves[1::2]] == ["?"] * len(moves[1::2])


def test_a_game_finishes_with_its_result(browser, site):
    start_game(browser, site, "greedy", "white", KING_IN_REACH)
    view = squares(browser, "play-board")
    king = next(name for name, (fog, piece) in view.items() if piece == "k")
    click_move(browser, "b6", king)
    result = browser.find_element(By.ID, "play-result")
    assert result.is_displayed()
    assert result.text == "You won: the Black king was captured (1-0)."
    assert browser.find_element(By.ID, "play-status").text == "Game over."
    assert browser.find_element(By.ID, "play-true").is_selected()
    assert not browser.find_elements(By.CSS_SELECTOR, "#play-moves li.hidden-move")
    assert board_data(browser, "play-board", "turn") == "over"


def test_a_pawn_promotes_to_the_piece_clicked(browser, site):
    start_game(browser, site, "random", "white", PAWN_PROMOTES)
    promotion = browser.find_element(By.ID, "promotion")
    square(browser, "play-board", "a7").click()
    square(browser, "play-board", "a8").click()
    wait(browser, promotion.is_displayed)
    promotion.find_element(By.CSS_SELECTOR, "button[data-piece='n']").click()
    wait(browser, lambda: board_data(browser, "play-board", "ply") == "2")
    assert squares(browser, "play-board")["a8"] == (False, "N")


def test_the_belief_is_drawn_over_the_board(browser, site):
    start_game(browser, site)
    click_move(browser, "g1", "f3")
    browser.find_element(By.ID, "play-belief").click()
    heat = browser.find_elements(By.CSS_SELECTOR, "#play-board .square .heat")
    assert heat
    shares = {cell.get_attribute("data-square"): float(cell.get_attribute("data-belief"))
              for cell in browser.find_elements(By.CSS_SELECTOR, "#play-board .square")}
    # Sixteen Black pieces, spread over the squares they may stand on.
    assert sum(shares.values()) == pytest.approx(16, abs=0.01)
    assert browser.find_element(By.ID, "play-belief-info").text.startswith("White's belief: ")
    hot = max(shares, key=shares.get)
    ActionChains(browser).move_to_element(square(browser, "play-board", hot)).perform()
    wait(browser, lambda: browser.find_element(By.ID, "play-hover").text.startswith(f"{hot}: a Black piece in"))


def test_each_tab_plays_its_own_game_and_a_closed_tab_drops_it(browser, site):
    start_game(browser, site)
    first = browser.current_window_handle
    browser.switch_to.new_window("tab")
    try:
        start_game(browser, site)
        click_move(browser, "d2", "d4")
        second = board_data(browser, "play-board", "game")
        browser.switch_to.window(first)
        assert board_data(browser, "play-board", "ply") == "0"
        click_move(browser, "e2", "e4")
        assert squares(browser, "play-board")["d2"] == (False, "P")
        browser.switch_to.window(browser.window_handles[-1])
        browser.close()
    finally:
        browser.switch_to.window(first)
    wait(browser, lambda: _status(f"{site}api/play/{second}") == 404)
    assert _status(f"{site}api/play/{board_data(browser, 'play-board', 'game')}") == 200


def _status(url):
    try:
        with urllib.request.urlopen(url, timeout=10) as response:
            return response.status
    except urllib.error.HTTPError as error:
        return error.code


def test_a_record_replays_step_by_step_from_each_view(browser, site, records):
    from murkplay_rl.dataset import read_records

    record = next(iter(read_records(records / "arena")))
    open_screen(browser, site, "replay")
    wait(browser, lambda: board_data(browser, "replay-board", "ply") == "0")
    assert len(browser.find_elements(By.CSS_SELECTOR, "#replay-moves li")) == record.plies
    body = browser.find_element(By.TAG_NAME, "body")
    for _ in range(3):
        body.send_keys(Keys.ARROW_RIGHT)
    wait(browser, lambda: board_data(browser, "replay-board", "ply") == "3")
    game = murkplay.SelfPlayGame(record.start)
    for move in record.moves[:3]:
        game.apply(move)
    for view, expected in (("white", side_view(game, True)), ("black", side_view(game, False)),
                           ("true", true_view(game))):
        browser.find_element(By.CSS_SELECTOR, f"#replay-view input[value='{view}']").click()
        wait(browser, lambda: board_data(browser, "replay-board", "view") == view)
        assert squares(browser, "replay-board") == drawn(expected)
        first = browser.find_element(By.CSS_SELECTOR, "#replay-board .square").get_attribute("data-square")
        assert first == ("h1" if view == "black" else "a8")  # each side sees its own end at the bottom
    assert browser.find_element(By.CSS_SELECTOR, "#replay-moves li.current").text == record.moves[2]
    body.send_keys(Keys.ARROW_LEFT)
    wait(browser, lambda: board_data(browser, "replay-board", "ply") == "2")
    body.send_keys(Keys.END)
    wait(browser, lambda: board_data(browser, "replay-board", "ply") == str(record.plies))
    browser.find_elements(By.CSS_SELECTOR, "#replay-moves li")[0].click()
    wait(browser, lambda: board_data(browser, "replay-board", "ply") == "1")
    browser.find_element(By.CSS_SELECTOR, "#replay-belief input[value='black']").click()
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#replay-board .square .heat"))
    assert browser.find_element(By.ID, "replay-belief-info").text.startswith("Black's belief: ")


def test_the_learning_curve_grows_as_the_run_writes(browser, site, run):
    open_screen(browser, site, "training")
    chart = browser.find_element(By.ID, "training-chart")
    wait(browser, lambda: chart.get_attribute("data-rows") == "12")
    assert len(browser.find_elements(By.CSS_SELECTOR, "#training-latest tr")) == 4
    write_evaluations(run, evaluation_rows(6, ("random", "greedy", "cautious"))[12:], append=True)
    wait(browser, lambda: chart.get_attribute("data-rows") == "18", timeout=20)
    assert len(chart.find_elements(By.CSS_SELECTOR, "polyline")) == 3


def test_screenshots_of_each_screen(browser, records, tmp_path):
    """The pictures of the docs: MURKPLAY_WEB_SCREENSHOTS=docs writes them there, with the
    learning curve of the documented training run."""
    out = os.environ.get("MURKPLAY_WEB_SCREENSHOTS") or tmp_path
    curve = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "docs", "learning_curve.csv")
    run = tmp_path / "ppo-30min"
    run.mkdir()
    if os.path.exists(curve):
        shutil.copy(curve, run / "evaluations.csv")
    else:
        write_evaluations(run, evaluation_rows(6, ("random", "greedy", "cautious")))
    with running(create_app(records=records, run=run)) as site:
        start_game(browser, site, "greedy", "white")
        for source, target in (("e2", "e4"), ("g1", "f3"), ("f1", "c4"), ("b1", "c3")):
            if board_data(browser, "play-board", "turn") != "you" or squares(browser, "play-board")[target][1]:
                break
            click_move(browser, source, target)
        browser.save_screenshot(os.path.join(out, "web-play.png"))
        browser.find_element(By.ID, "play-belief").click()
        hot = browser.find_element(By.CSS_SELECTOR, "#play-board .square .heat").find_element(By.XPATH, "..")
        ActionChains(browser).move_to_element(hot).perform()
        browser.save_screenshot(os.path.join(out, "web-beliefs.png"))
        open_screen(browser, site, "replay")
        wait(browser, lambda: board_data(browser, "replay-board", "ply") == "0")
        plies = min(9, len(browser.find_elements(By.CSS_SELECTOR, "#replay-moves li")))
        body = browser.find_element(By.TAG_NAME, "body")
        for _ in range(plies):
            body.send_keys(Keys.ARROW_RIGHT)
        browser.find_element(By.CSS_SELECTOR, "#replay-view input[value='white']").click()
        wait(browser, lambda: board_data(browser, "replay-board", "view") == "white"
             and board_data(browser, "replay-board", "ply") == str(plies))
        browser.save_screenshot(os.path.join(out, "web-replay.png"))
        open_screen(browser, site, "training")
        wait(browser, lambda: browser.find_element(By.ID, "training-chart").get_attribute("data-rows")
             not in (None, "0"))
        browser.save_screenshot(os.path.join(out, "web-training.png"))
    for name in ("web-play.png", "web-beliefs.png", "web-replay.png", "web-training.png"):
        with open(os.path.join(out, name), "rb") as picture:
            assert picture.read(8) == b"\x89PNG\r\n\x1a\n"
