"""Batched stepping and the single-game fast paths, in lockstep with SelfPlayGame."""

import array
import pickle
import random
import threading
import time

import numpy as np
import pytest

import murkplay_rl as rl
from murkplay import SelfPlayGame
from support import START_FEN, UNDER_ASAN, snapshot

FENS = [
    START_FEN,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1",
    "3r1r2/4P3/8/8/8/8/8/K6k w - - 0 1",
]


def observation_of(game, oracle=False):
    return np.array(game.encode_flattened(oracle), dtype=np.float32).reshape(64, 35)


def expect_step_matches(step, games, oracle):
    """Every array of a Step says what the single games say, bit for bit."""
    for i, game in enumerate(games):
        np.testing.assert_array_equal(step.observation[i], observation_of(game, oracle))
        listed = game.legal_actions_uci()
        moves = step.moves[step.offsets[i]:step.offsets[i + 1]]
        slots = step.slots[step.offsets[i]:step.offsets[i + 1]]
        assert [rl.move_uci(int(code)) for code in moves] == listed
        assert slots.tolist() == [game.action_index(text) for text in listed]
        assert np.flatnonzero(step.mask[i]).tolist() == sorted(set(slots.tolist()))
        assert step.terminated[i] == game.is_terminal()
        assert step.values[i].tolist() == [game.terminal_value(True), game.terminal_value(False)]


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("by", ["position", "slot"])
def test_lockstep_with_single_games(threads, by):
    rng = random.Random(threads * 10 + len(by))
    games = [SelfPlayGame(FENS[i % len(FENS)]) for i in range(6)]
    batch = rl.GameBatch([g.clone() for g in games], max_plies=30, auto_reset=True, threads=threads)
    step = batch.observe()
    expect_step_matches(step, games, False)
    plies = [0] * len(games)
    for turn in range(90):
        oracle = turn % 3 == 0
        actions = []
        for i, game in enumerate(games):
            if step.terminated[i] or step.truncated[i]:
                actions.append(-1)  # not read: the game restarts
                continue
            listed = game.legal_actions_uci()
            position = rng.randrange(len(listed))
            if by == "slot":
                slot = game.action_index(listed[position])
                position = [game.action_index(text) for text in listed].index(slot)
                actions.append(slot)
            else:
                actions.append(position)
            game.apply(listed[position])
        ended = step.terminated | step.truncated
        step = batch.step(actions, by=by, oracle=oracle)
        for i in range(len(games)):
            if ended[i]:
                games[i] = SelfPlayGame()
                plies[i] = 0
                assert step.played_move[i] == rl.NO_MOVE and step.played_slot[i] == -1
            else:
                plies[i] += 1
            assert step.plies[i] == plies[i]
            assert step.truncated[i] == (not games[i].is_terminal() and plies[i] >= 30)
        expect_step_matches(step, games, oracle)
        for i, game in enumerate(games):
            assert batch[i].encode_flattened() == game.encode_flattened()


def test_random_steps_are_the_same_for_every_thread_count():
    batches = [rl.GameBatch(40, seed=5, max_plies=25, auto_reset=True, threads=t) for t in (1, 2, 4)]
    for _ in range(60):
        steps = [batch.step_random() for batch in batches]
        for other in steps[1:]:
            for field in rl.Step._fields:
                np.testing.assert_array_equal(getattr(other, field), getattr(steps[0], field), err_msg=field)


def test_outputs_go_into_the_callers_arrays():
    batch = rl.GameBatch(3)
    out = batch.observe()
    moves = np.zeros(3 * rl.MAX_MOVES, dtype=np.uint16)
    out = out._replace(moves=moves)
    step = batch.step([0, 1, 2], out=out)
    assert step.observation is out.observation and step.mask is out.mask
    assert np.shares_memory(step.moves, moves) and len(step.moves) == step.offsets[-1]
    # A torch tensor's memory serves through .numpy().
    torch = pytest.importorskip("torch")
    tensor = torch.zeros(3, 64, 35)
    batch.step_random(out=out._replace(observation=tensor.numpy()))
    assert torch.equal(tensor, torch.from_numpy(np.stack([observation_of(batch[i]) for i in range(3)])))


def batch_state(batch):
    return [batch[i].encode_flattened() + batch[i].legal_actions_uci() for i in range(len(batch))]


N = 3
BAD_CALLS = [
    ("actions", lambda b, g: b.step([0, 0]), ValueError, "actions: expected 3 values, one per game, got 2"),
    ("actions", lambda b, g: b.step(np.zeros(3, np.float32)), TypeError, "actions: expected integers, got float32"),
    ("actions", lambda b, g: b.step(np.zeros(2, np.int64)), ValueError,
     "actions: expected shape (3,), one value per game, got (2,)"),
    ("actions", lambda b, g: b.step(["e2e4"] * 3), TypeError, "actions[0]: expected an integer, got 'str'"),
    ("actions", lambda b, g: b.step(5), TypeError, "actions: expected a sequence or array of integers, got 'int'"),
    ("position", lambda b, g: b.step([0, 20, 0]), ValueError,
     "actions[1]: position 20 is out of range for game 1, which has 20 legal moves"),
    ("position", lambda b, g: b.step([-1, 0, 0]), ValueError,
     "actions[0]: position -1 is out of range for game 0, which has 20 legal moves"),
    ("slot", lambda b, g: b.step([796, 796, 4095], by="slot"), ValueError, "actions[2]: no legal move of game 2 has slot 4095"),
    ("slot", lambda b, g: b.step([796, 796, 2**70], by="slot"), ValueError,
     "actions[2]: no legal move of game 2 has slot 9223372036854775807"),
    ("by", lambda b, g: b.step([0, 0, 0], by="uci"), ValueError,
     "by must be 'position', 'slot', 'logits', 'random', 'greedy' or 'cautious', not 'uci'"),
    ("no actions", lambda b, g: b.step(by="slot"), TypeError, "step(by='slot') needs actions, one per game"),
    ("agent actions", lambda b, g: b.step([0, 0, 0], by="greedy"), TypeError,
     "step(by='greedy') chooses the moves itself; actions must be None"),
    ("reply", lambda b, g: b.step(by="random", reply="minimax"), ValueError,
     "reply must be 'random', 'greedy', 'cautious' or None, not 'minimax'"),
    ("logits dtype", lambda b, g: b.step(np.zeros((N, 4352)), by="logits"), TypeError,
     "actions: expected elements of float32, got float64"),
    ("logits shape", lambda b, g: b.step(np.zeros((N, 4096), np.float32), by="logits"), ValueError,
     "actions: expected shape (3, 4352), got (3, 4096)"),
    ("logits strides", lambda b, g: b.step(np.zeros((4352, N), np.float32).T, by="logits"), ValueError,
     "actions: the array must be C-contiguous"),
    ("logits list", lambda b, g: b.step([[0.0] * 4352] * N, by="logits"), TypeError,
     "actions: expected an array of float32 (a numpy array, or tensor.numpy()), got 'list'"),
    ("logits NaN", lambda b, g: b.step(np.where(np.arange(N)[:, None] == 1, np.float32("nan"), np.zeros((N, 4352), np.float32)),
                                     by="logits"), ValueError,
     "actions[1]: the logits of game 1's legal slots make no distribution: each must be finite or -inf, and at least "
     "one finite"),
    ("logits -inf", lambda b, g: b.step(np.full((N, 4352), -np.inf, np.float32), by="logits"), ValueError,
     "actions[0]: the logits of game 0's legal slots make no distribution: each must be finite or -inf, and at least "
     "one finite"),
    ("temperature", lambda b, g: b.step(np.zeros((N, 4352), np.float32), by="logits", temperature=0.0), ValueError,
     "temperature must be a finite number above 0, not 0.000000"),
    ("temperature inf", lambda b, g: b.step(np.zeros((N, 4352), np.float32), by="logits", temperature=float("inf")),
     ValueError, "temperature must be a finite number above 0, not inf"),
    ("temperature bool", lambda b, g: b.step(np.zeros((N, 4352), np.float32), by="logits", temperature=True),
     TypeError, "temperature must be a real number, not 'bool'"),
    ("temperature huge", lambda b, g: b.step(np.zeros((N, 4352), np.float32), by="logits", temperature=10**400),
     ValueError, "temperature must be a finite number above 0, not an integer too large for a float"),
    ("temperature nan", lambda b, g: b.step(np.zeros((N, 4352), np.float32), by="logits", temperature=float("nan")),
     ValueError, "temperature must be a finite number above 0, not nan"),
    ("temperature negative", lambda b, g: b.step(by="random", temperature=-1), ValueError,
     "temperature must be a finite number above 0, not -1.000000"),
    ("temperature text", lambda b, g: b.step(by="random", temperature="1"), TypeError,
     "temperature must be a real number, not 'str'"),
    ("reply with a NUL", lambda b, g: b.step(by="random", reply="random\x00junk"), ValueError,
     "reply must be 'random', 'greedy', 'cautious' or None, not 'random\\x00junk'"),
    ("reply type", lambda b, g: b.step(by="random", reply=b"random"), TypeError, "reply must be a str, not 'bytes'"),
    ("by with a NUL", lambda b, g: b.step(by="greedy\x00"), ValueError,
     "by must be 'position', 'slot', 'logits', 'random', 'greedy' or 'cautious', not 'greedy\\x00'"),
    ("by type", lambda b, g: b.step(by=None), TypeError, "by must be a str, not 'NoneType'"),
    ("reply_slot dtype", lambda b, g: b.step(by="random", reply="greedy", out=out(reply_slot=np.zeros(N, np.int32))),
     TypeError, "out.reply_slot: expected elements of int64, got int32"),
    ("restarting shape", lambda b, g: b.observe(out=out(restarting=np.zeros(N + 1, bool))), ValueError,
     "out.restarting: expected shape (3,), got (4,)"),
    ("greedy flag", lambda b, g: b.step(np.zeros((N, 4352), np.float32), by="logits", greedy=1), TypeError,
     "argument 'greedy': 'int' object is not an instance of 'bool'"),
    ("logits under an output", lambda b, g: b.step(LOGITS, by="logits", out=out(log_prob=LOGITS[1, :N])), ValueError,
     "actions and out.log_prob share memory; each output needs memory of its own"),
    ("reply_move dtype", lambda b, g: b.step(by="random", reply="greedy", out=out(reply_move=np.zeros(N, np.int16))),
     TypeError, "out.reply_move: expected elements of uint16, got int16"),
    ("dtype", lambda b, g: b.observe(out=out(observation=np.zeros((N, 64, 35), np.float64))), TypeError,
     "out.observation: expected elements of float32, got float64"),
    ("shape", lambda b, g: b.observe(out=out(mask=np.zeros((N, 4351), bool))), ValueError,
     "out.mask: expected shape (3, 4352), got (3, 4351)"),
    ("strides", lambda b, g: b.observe(out=out(values=np.zeros((2, N), np.float32).T)), ValueError,
     "out.values: the array must be C-contiguous"),
    ("read-only", lambda b, g: b.observe(out=out(plies=read_only(np.zeros(N, np.int32)))), ValueError,
     "out.plies: the array is read-only"),
    ("offsets", lambda b, g: b.step([0, 0, 0], out=out(offsets=np.zeros(N, np.int64))), ValueError,
     "out.offsets: expected shape (4,), got (3,)"),
    ("moves", lambda b, g: b.step([0, 0, 0], out=out(moves=np.zeros((N, 5), np.uint16))), ValueError,
     "out.moves: expected shape (any length,), got (3, 5)"),
    ("slots", lambda b, g: b.step([0, 0, 0], out=out(slots=np.zeros(500, np.int16))), TypeError,
     "out.slots: expected elements of int64, got int16"),
    ("not an array", lambda b, g: b.observe(out=out(terminated=[0] * N)), TypeError,
     "out.terminated: expected a writable array of bool, int8 or uint8 (a numpy array, or tensor.numpy()), got 'list'"),
    ("unsliceable buffer", lambda b, g: b.step([0] * N, out=out(moves=pickle.PickleBuffer(np.zeros(9, np.uint16)),
                                                                 slots=np.zeros(N, np.int16))), TypeError,
     "out.slots: expected elements of int64, got int16"),
    ("names no output", lambda b, g: b.step([0] * N, out=5), TypeError,
     "out: a 'int' names none of the outputs; give None or a record of arrays by name"),
    ("same array twice", lambda b, g: b.observe(out=out(terminated=SHARED[:N], truncated=SHARED[:N])), ValueError,
     "out.terminated and out.truncated share memory; each output needs memory of its own"),
    ("overlapping outputs", lambda b, g: b.observe(out=out(observation=SHARED.view(np.float32)[:N * 64 * 35].reshape(N, 64, 35),
                                                           mask=SHARED[:N * 4352].reshape(N, 4352))), ValueError,
     "out.observation and out.mask share memory; each output needs memory of its own"),
    ("view of another output", lambda b, g: b.step([0] * N, out=out(moves=SHARED[:80].view(np.uint16),
                                                                    slots=SHARED[:80].view(np.int64))), ValueError,
     "out.moves and out.slots share memory; each output needs memory of its own"),
    ("output over an input", lambda b, g: b.step(SHARED[:12].view(np.int32), out=out(plies=SHARED[:12].view(np.int32))),
     ValueError, "actions and out.plies share memory; each output needs memory of its own"),
    ("bool actions", lambda b, g: b.step([False, True, 0]), TypeError, "actions[0]: expected an integer, got 'bool'"),
    ("bool array actions", lambda b, g: b.step(np.zeros(N, bool)), TypeError, "actions: expected integers, got bool"),
    ("oracle flag", lambda b, g: b.step([0] * N, oracle="no"), TypeError,
     "argument 'oracle': 'str' object is not an instance of 'bool'"),
    ("observe flag", lambda b, g: b.step_random(observe=1), TypeError,
     "argument 'observe': 'int' object is not an instance of 'bool'"),
    ("games", lambda b, g: rl.GameBatch(2**63), ValueError, "games must be from 0 to 9223372036854775807, not 9223372036854775808"),
    ("games", lambda b, g: rl.GameBatch(2**62), MemoryError, ""),
    ("games", lambda b, g: rl.GameBatch(True), TypeError, "games must be an integer, not 'bool'"),
    ("threads", lambda b, g: rl.GameBatch(1, threads=2**70), ValueError,
     "threads must be from 1 to 256, not 1180591620717411303424"),
    ("threads", lambda b, g: setattr(b, "threads", True), TypeError, "threads must be an integer, not 'bool'"),
    ("max_plies", lambda b, g: rl.GameBatch(1, max_plies=True), TypeError, "max_plies must be an integer, not 'bool'"),
    ("max_plies", lambda b, g: rl.GameBatch(1, max_plies=2**31), ValueError,
     "max_plies must be from 0 to 2147483647, not 2147483648"),
    ("seed", lambda b, g: rl.GameBatch(1, seed=-1), ValueError, "seed must be from 0 to 18446744073709551615, not -1"),
    ("auto_reset", lambda b, g: rl.GameBatch(1, auto_reset="no"), TypeError,
     "argument 'auto_reset': 'str' object is not an instance of 'bool'"),
    ("reset index", lambda b, g: b.reset([True]), TypeError, "a game index must be an integer, not bool"),
    ("replay dtype", lambda b, g: rl.replay([START_FEN], [E2E4], [0, 1], out=out(slot=np.zeros(1, np.int32))), TypeError,
     "out.slot: expected elements of int64, got int32"),
    ("replay dtype", lambda b, g: rl.replay([START_FEN], [E2E4], [0, 1], out=out(observation=np.zeros((1, 64, 35)))),
     TypeError, "out.observation: expected elements of float32, got float64"),
    ("replay rows", lambda b, g: rl.replay([START_FEN], [E2E4], [0, 1], out=out(mask=np.zeros((0, 4352), bool))),
     ValueError, "out.mask: expected shape (1 or more, 4352), got (0, 4352)"),
    ("replay read-only", lambda b, g: rl.replay([START_FEN], [E2E4], [0, 1], out=out(slot=read_only(np.zeros(1, np.int64)))),
     ValueError, "out.slot: the array is read-only"),
    ("replay overlap", lambda b, g: rl.replay([START_FEN], [E2E4], [0, 1], out=out(slot=SHARED[:8].view(np.int64),
                                                                                   outcome=SHARED[:4].view(np.float32))),
     ValueError, "out.slot and out.outcome share memory; each output needs memory of its own"),
    ("replay threads", lambda b, g: rl.replay([START_FEN], [E2E4], [0, 1], threads=True), TypeError,
     "threads must be an integer, not 'bool'"),
    ("replay oracle", lambda b, g: rl.replay([START_FEN], [E2E4], [0, 1], oracle=None), TypeError,
     "argument 'oracle': 'None' is not an instance of 'bool'"),
    ("slot", lambda b, g: rl.apply_slot(g, 2**40), ValueError, "slot must be from 0 to 4351, not 1099511627776"),
    ("slot", lambda b, g: rl.apply_slot(g, True), TypeError, "slot must be an integer, not 'bool'"),
    ("code", lambda b, g: rl.move_uci(2**70), ValueError, "code must be from 0 to 65534, not 1180591620717411303424"),
    ("code", lambda b, g: rl.move_uci(False), TypeError, "code must be an integer, not 'bool'"),
    ("uci", lambda b, g: rl.move_code(b"e2e4"), TypeError, "uci must be UCI text, not 'bytes'"),
    ("single oracle", lambda b, g: rl.observe(g, oracle="no"), TypeError,
     "argument 'oracle': 'str' object is not an instance of 'bool'"),
]
E2E4 = rl.move_code("e2e4")
# Memory to lay outputs over one another.
SHARED = np.zeros(N * 64 * 35 * 4, np.uint8)
LOGITS = np.zeros((N, 4352), np.float32)


def out(**arrays):
    return type("Out", (), arrays)()


def read_only(array):
    array.flags.writeable = False
    return array


@pytest.mark.parametrize("call, kind, message", [
    pytest.param(*case[1:], id=case[0], marks=pytest.mark.skipif(
        UNDER_ASAN and case[2] is MemoryError, reason="AddressSanitizer ends the process on an allocation it cannot make"))
    for case in BAD_CALLS
])
def test_bad_input_is_refused_before_any_game_changes(call, kind, message):
    batch = rl.GameBatch(N)
    game = SelfPlayGame()
    before = batch_state(batch), snapshot(game)
    with pytest.raises(kind) as raised:
        call(batch, game)
    assert type(raised.value) is kind and str(raised.value) == message
    assert (batch_state(batch), snapshot(game)) == before


def with_plies(batch, plies, max_plies=None):
    """A batch's payload with the ply count of its last game, and the ply limit, replaced."""
    restore, (payload,) = batch.__reduce__()
    payload = bytearray(payload)
    payload[-9:-5] = plies.to_bytes(4, "little")
    if max_plies is not None:
        payload[13:17] = max_plies.to_bytes(4, "little")  # after the 5-byte tag and the 8-byte size
    return restore, bytes(payload)


def test_ply_counts_cannot_wrap():
    restore, payload = with_plies(rl.GameBatch(1), 2**31 - 2)
    batch = restore(payload)
    # The count stops at the largest an int32 holds instead of turning negative.
    assert [int(batch.step_random().plies[0]) for _ in range(3)] == [2**31 - 1] * 3
    assert restore(with_plies(batch, 2**31 - 1)[1]).observe().plies.tolist() == [2**31 - 1]
    for plies, max_plies in [(2**31, None), (2**32 - 1, None), (0, 2**31)]:
        with pytest.raises(ValueError, match="^not a pickled GameBatch of this version, or a damaged one$"):
            restore(with_plies(batch, plies, max_plies)[1])


def test_array_array_outputs_are_the_callers_memory():
    """A slice of array.array is a copy: what comes back must be a view, or the array itself."""
    batch = rl.GameBatch(2)
    fresh = batch.observe()
    moves, slots = array.array("H", [7] * 100), array.array("q", [7] * 100)
    step = batch.observe(out=out(moves=moves, slots=slots))
    exact = array.array("q", [7] * len(fresh.slots))
    assert batch.observe(out=out(slots=exact)).slots is exact
    spare = pickle.PickleBuffer(np.zeros(100, np.uint16))
    played = batch.step([0, 1], out=out(moves=spare))
    for returned, given, expected in [(step.moves, moves, fresh.moves), (step.slots, slots, fresh.slots),
                                      (played.moves, spare, batch.observe().moves)]:
        assert np.shares_memory(returned, np.asarray(given)) and returned.tolist() == expected.tolist()
    replayed = rl.replay([START_FEN], [E2E4], [0, 1])
    slot, outcome = array.array("q", [7] * 5), array.array("f", [7] * 5)
    again = rl.replay([START_FEN], [E2E4], [0, 1], out=rl.Replay(None, None, slot, outcome))
    assert again.slot.tolist() == replayed.slot.tolist() == slot[:1].tolist()
    assert again.outcome.tolist() == replayed.outcome.tolist() == outcome[:1].tolist()
    assert np.shares_memory(again.slot, np.asarray(slot)) and np.shares_memory(again.outcome, np.asarray(outcome))


def test_the_interpreter_runs_during_a_long_call():
    batch = rl.GameBatch(3000, threads=1)
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.perf_counter())

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        time.sleep(0.01)
        for _ in range(3):
            started = time.perf_counter()
            batch.step_random()
            finished = time.perf_counter()
            # Python code ran on the other thread in the middle of the native work.
            inside = [t for t in ticks if started + 0.002 < t < finished - 0.002]
            assert finished - started > 0.01
            assert inside, "the batched call held the interpreter"
    finally:
        stop.set()
        ticker.join()


def test_concurrent_use_of_one_batch_gives_only_the_borrow_errors():
    batch = rl.GameBatch(600, auto_reset=True)
    errors, done = [], []

    def use(kind):
        for _ in range(15):
            try:
                batch.step_random() if kind == "step" else batch[0].legal_actions_uci()
                done.append(kind)
            except RuntimeError as error:
                errors.append(str(error))

    threads = [threading.Thread(target=use, args=(kind,)) for kind in ("step", "step", "read")]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert set(errors) <= {"Already borrowed", "Already mutably borrowed"}
    assert errors and done


def test_replay_reproduces_what_each_mover_saw():
    starts = [FENS[i % len(FENS)] for i in range(5)]
    batch = rl.GameBatch([SelfPlayGame(fen) for fen in starts], seed=9, threads=2)
    step = batch.observe(oracle=True)
    seen = [[] for _ in starts]
    for _ in range(40):
        before = step
        step = batch.step_random(oracle=True)
        for i in range(len(starts)):
            if not (before.terminated[i] or before.truncated[i]):
                seen[i].append((before.observation[i], before.mask[i], step.played_slot[i], step.played_move[i]))
    moves = [code for rows in seen for *_, code in rows]
    offsets = np.cumsum([0] + [len(rows) for rows in seen])
    for threads in (1, 3):
        replayed = rl.replay(starts, moves, offsets, oracle=True, threads=threads)
        rows = [row for game in seen for row in game]
        np.testing.assert_array_equal(replayed.observation, np.stack([row[0] for row in rows]))
        np.testing.assert_array_equal(replayed.mask, np.stack([row[1] for row in rows]))
        assert replayed.slot.tolist() == [int(row[2]) for row in rows]
        for i, start in enumerate(starts):
            game, movers = SelfPlayGame(start), []
            for code in moves[offsets[i]:offsets[i + 1]]:
                movers.append(game.turn)
                game.apply(rl.move_uci(int(code)))
            expected = [game.terminal_value(white) for white in movers]
            assert replayed.outcome[offsets[i]:offsets[i + 1]].tolist() == expected


def test_replay_fills_the_first_rows_of_longer_arrays():
    moves = [rl.move_code(text) for text in ("e2e4", "e7e5", "g1f3")]
    fresh = rl.replay([START_FEN], moves, [0, 3])
    kept = rl.Replay(np.full((10, 64, 35), 7, np.float32), np.zeros((10, rl.ACTION_COUNT), bool),
                     np.zeros(10, np.int64), np.zeros(10, np.float32))
    again = rl.replay([START_FEN], moves, [0, 3], out=kept)
    for field, array in zip(rl.Replay._fields, again):
        assert np.shares_memory(array, getattr(kept, field)) and len(array) == 3
        np.testing.assert_array_equal(array, getattr(fresh, field))
    assert (kept.observation[3:] == 7).all()
    with pytest.raises(ValueError, match=r"^out.mask: expected shape \(3 or more, 4352\), got \(2, 4352\)$"):
        rl.replay([START_FEN], moves, [0, 3], out=kept._replace(mask=np.zeros((2, rl.ACTION_COUNT), bool)))


@pytest.mark.parametrize(
    "moves, offsets, message",
    [
        ([rl.move_code("e2e4"), rl.move_code("e2e4")], [0, 2], "game 0, ply 1: e2e4 is not a legal move there"),
        ([rl.move_code("e2e4")], [0, 2], "moves: the offsets end at 2, but there are 1 moves"),
        ([70000], [0, 1], "moves[0]: 70000 is not a move code"),
        ([], [1, 0], "offsets: the first offset must be 0"),
    ],
)
def test_replay_refuses_what_was_not_played(moves, offsets, message):
    with pytest.raises(ValueError) as raised:
        rl.replay([START_FEN], moves, offsets)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "start, message",
    [(42, "starts[0]: expected FEN text, a python-chess Board or a SelfPlayGame"),
     ("8/8/8/8/8/8/8/8 w - - 0 1", "starts[0]: Invalid FEN string")],
)
def test_replay_reads_starts_as_games_read_positions(start, message):
    with pytest.raises(ValueError) as raised:
        rl.replay([start], [], [0, 0])
    assert str(raised.value) == message


def test_a_batch_starts_from_any_position_a_game_takes():
    chess = pytest.importorskip("chess")
    board = chess.Board("4k3/8/8/8/8/8/8/R3K3 w Q - 0 1")
    assert rl.GameBatch(2, fen=board)[1].board == SelfPlayGame(board).board
    with pytest.raises(ValueError, match="^fen must be FEN text or a python-chess Board$"):
        rl.GameBatch(2, fen=42)


def finished_game():
    game = SelfPlayGame("4k3/8/8/8/8/8/8/r3K3 w - - 0 1")
    game.apply("e1d1")
    game.apply("a1d1")  # Black takes the king
    assert game.is_terminal()
    return game


def test_a_finished_game_written_into_the_batch_restarts_at_the_next_step():
    batch = rl.GameBatch(2, auto_reset=True)
    batch.step_random()
    batch[0] = finished_game()
    seen = batch.observe()
    assert seen.terminated.tolist() == [True, False] and seen.restarting.tolist() == [True, False]
    step = batch.step_random()
    assert step.played_move[0] == rl.NO_MOVE and step.plies.tolist() == [0, 2]
    assert batch[0].board == SelfPlayGame().board and not step.restarting.any()


@pytest.mark.parametrize("auto_reset", [True, False])
def test_restarting_says_which_games_the_next_step_restarts(auto_reset):
    rng = random.Random(5)
    batch = rl.GameBatch(24, max_plies=12, auto_reset=auto_reset, seed=3, threads=2)
    report = batch.observe()
    for turn in range(80):
        assert (report.restarting == (auto_reset & (report.terminated | report.truncated))).all()
        action = rng.random()
        if action < 0.1:
            batch[rng.randrange(24)] = finished_game()
            report = batch.observe()
            continue
        if action < 0.15:
            batch.reset([rng.randrange(24)])
            report = batch.observe()
            continue
        step = batch.step_random(observe=turn % 3 == 0)
        restarted = step.played_move == rl.NO_MOVE
        assert (restarted == report.restarting).all()
        assert (step.plies[report.restarting] == 0).all()
        report = step


def test_a_refused_replay_leaves_the_callers_arrays_as_they_were():
    moves = [rl.move_code("e2e4")] * 3  # game 1 plays it twice
    kept = rl.Replay(np.full((10, 64, 35), 7, np.float32), np.ones((10, rl.ACTION_COUNT), bool),
                     np.full(10, 7, np.int64), np.full(10, 7, np.float32))
    with pytest.raises(ValueError, match="^game 1, ply 1: e2e4 is not a legal move there$"):
        rl.replay([START_FEN, START_FEN], moves, [0, 1, 3], threads=2, out=kept)
    assert (kept.observation == 7).all() and kept.mask.all() and (kept.slot == 7).all() and (kept.outcome == 7).all()
