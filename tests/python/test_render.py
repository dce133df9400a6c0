"""Pictures of a game: each square of a frame shows what the side's observation says of it, as
the text views read it, on random games; the environments render in both modes."""

import numpy as np
import pytest

import murkplay_rl as rl
from murkplay import SelfPlayGame
from murkplay_rl import render
from murkplay_rl._views import square_views
from support import UNDER_ASAN

PIECES = "PNBRQKpnbrqk"


def random_games(count, seed):
    rng = np.random.default_rng(seed)
    for _ in range(count):
        game = SelfPlayGame()
        for _ in range(int(rng.integers(0, 60))):
            moves = game.legal_actions_uci()
            if game.is_terminal() or not moves:
                break
            game.apply(moves[rng.integers(len(moves))])
        yield game


def tile(content, light):
    rows = render._TILE_ROWS[(2 * content + light) * render.SQUARE:][:render.SQUARE]
    return rows.reshape(render.SQUARE, render.SQUARE, 3)


@pytest.mark.parametrize("oracle", [False, True])
def test_each_square_of_a_frame_shows_what_the_side_sees_and_remembers(oracle):
    size = render.SQUARE
    for game in random_games(25, seed=int(oracle)):
        for white in (True, False):
            observation = rl.observe(game, oracle=oracle, viewer=white)
            picture = render.frame(observation, white)
            assert picture.shape == render.FRAME_SHAPE and picture.dtype == np.uint8
            for square, view in enumerate(square_views(observation, white)):
                rank, file = divmod(square, 8)
                if view.seen:
                    content = PIECES.index(view.piece) if view.piece else render._EMPTY
                else:
                    content = render._MEMORY + PIECES.index(view.piece) if view.piece else render._NOTHING
                block = picture[(7 - rank) * size:(8 - rank) * size, file * size:(file + 1) * size]
                np.testing.assert_array_equal(block, tile(content, (rank + file) % 2))


def test_the_tiles_differ_and_a_blank_view_is_fog():
    flat = render._TILE_ROWS.reshape(52, -1)
    assert len({row.tobytes() for row in flat}) == 52
    blank = render.frame(np.zeros((64, 35), np.float32), True)
    np.testing.assert_array_equal(blank[:render.SQUARE, :render.SQUARE], tile(render._NOTHING, 1))


def test_the_text_shows_the_true_board_and_both_views():
    game = SelfPlayGame()
    for move in ("e2e4", "d7d5"):
        game.apply(move)
    lines = render.text(game, "status").splitlines()
    assert lines[0] == "status" and lines[2].startswith("8 r n b q k b n r     8 ################")
    assert lines[6].startswith("4 . . . . P . . .") and "4 ####. . P" in lines[6]


@pytest.mark.parametrize("side", ["white", "black"])
def test_the_environments_render_the_learners_view(side):
    pytest.importorskip("gymnasium")
    from murkplay_rl import gym as fog_gym

    env = fog_gym.FogChessEnv(opponent="greedy", side=side, render_mode="rgb_array")
    observation, _ = env.reset(seed=0)
    np.testing.assert_array_equal(env.render(), render.frame(observation["observation"], side == "white"))
    text = fog_gym.FogChessEnv(side=side, render_mode="ansi")
    text.reset(seed=0)
    assert f"plays {side.capitalize()} against random: {side.capitalize()} to move" in text.render()
    envs = fog_gym.FogChessVectorEnv(3, side=side, render_mode="rgb_array")
    observations, _ = envs.reset(seed=0)
    frames = envs.render()
    assert isinstance(frames, tuple) and len(frames) == 3
    for row, picture in enumerate(frames):
        np.testing.assert_array_equal(picture, render.frame(observations["observation"][row], side == "white"))
    with pytest.warns(UserWarning, match="without specifying any render mode"):
        assert fog_gym.FogChessEnv().render() is None


@pytest.mark.skipif(UNDER_ASAN, reason="a frame's time means nothing under AddressSanitizer")
def test_a_frame_takes_at_most_fifty_microseconds():
    import time

    observation = rl.observe(next(random_games(1, seed=3)))
    times = []
    for _ in range(5):
        started = time.thread_time()
        for _ in range(200):
            render.frame(observation, True)
        times.append((time.thread_time() - started) / 200)
    # A generous bound for a shared machine; bench/libraries.py measures it side by side.
    assert sorted(times)[2] < 200e-6
