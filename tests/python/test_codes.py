"""The observation as codes: every path that writes floats writes codes too, and the decoders
turn them back into those floats bit for bit; the cell embedding is the linear layer it
replaces."""

import copyreg

import numpy as np
import pytest

import murkplay
import murkplay_rl as rl
from murkplay_rl import codes as C
from support import START_FEN, expect_error

BYTES_PER_GAME = 64 * 2 + 64 * 2 + 7


def same_bits(decoded, floats):
    decoded = np.asarray(decoded)
    assert decoded.dtype == np.float32 and decoded.shape == floats.shape
    np.testing.assert_array_equal(decoded.view(np.uint32), floats.view(np.uint32))


def decoders():
    yield C.decode
    try:
        import torch  # noqa: F401
    except ImportError:
        return
    yield lambda *parts: C.decode_tensor(*parts).numpy()


def aged(game, turns):
    """The game with every square of both memories `turns` turns older, as a game that went on
    that much longer with those squares out of sight would be."""
    restore, (payload,) = copyreg.dispatch_table[murkplay.SelfPlayGame](game)
    header = 5  # a tag of four bytes and the version, then the 128 ages
    ages = np.frombuffer(payload, np.float32, 128, header) + np.float32(turns)
    return restore(payload[:header] + ages.tobytes() + payload[header + 4 * 128:])


@pytest.mark.parametrize("oracle", [False, True])
def test_batch_codes_decode_to_the_floats_on_every_ply(oracle):
    # Twin batches on one seed play the same random moves; one reports floats, one codes. Half
    # the games start with memories thousands of turns old, past what a byte would hold.
    starts = [aged(murkplay.SelfPlayGame(), 1000 * (i % 2) * i) for i in range(24)]
    floats = rl.GameBatch(starts, seed=11, auto_reset=True)
    codes = rl.GameBatch(starts, seed=11, auto_reset=True)
    f, c = floats.observe(oracle=oracle), codes.observe(oracle=oracle, codes=True)
    oldest = 0
    for _ in range(250):
        assert c.observation is None and f.codes is None
        np.testing.assert_array_equal(c.mask, f.mask)
        for decode in decoders():
            same_bits(decode(c.codes, c.ages, c.shared), f.observation)
        oldest = max(oldest, int(c.ages.max()))
        f = floats.step_random(oracle=oracle, out=f)
        c = codes.step_random(oracle=oracle, codes=True, out=c)
        np.testing.assert_array_equal(c.played_move, f.played_move)
    assert oldest > 20000


def test_codes_are_small_and_of_the_documented_types():
    step = rl.GameBatch(5).step_random(codes=True, mask=False)
    assert step.mask is None and step.observation is None
    assert (step.codes.dtype, step.codes.shape) == (np.uint8, (5, 64, 2))
    assert (step.ages.dtype, step.ages.shape) == (np.uint16, (5, 64))
    assert (step.shared.dtype, step.shared.shape) == (np.uint8, (5, 7))
    assert (step.codes.nbytes + step.ages.nbytes + step.shared.nbytes) / 5 == BYTES_PER_GAME <= 300
    assert step.codes[..., 0].max() < C.SEEN_CODES and step.codes[..., 1].max() < C.REMEMBERED_CODES
    # The start, White to move: own rook on cell 0, fog on the far half, age 101 there.
    start = rl.GameBatch(1).observe(codes=True)
    assert list(start.codes[0, 0]) == [3, 3] and list(start.codes[0, 63]) == [13, 12]
    assert start.ages[0, 0] == 0 and start.ages[0, 63] == 101
    assert list(start.shared[0]) == [1, 1, 8, 2, 2, 2, 1]


def test_unusual_material_is_stored_as_counts():
    game = murkplay.SelfPlayGame("nnnqqk2/8/8/8/8/8/8/NNNNK3 w - - 0 1")
    codes = rl.observe(game, codes=True)
    assert list(codes.shared) == [0, 0, 0, 3, 0, 0, 2]
    for decode in decoders():
        same_bits(decode(codes), rl.observe(game))


@pytest.mark.parametrize("viewer", [None, True, False])
@pytest.mark.parametrize("oracle", [False, True])
def test_single_game_codes_follow_the_floats(viewer, oracle):
    game = murkplay.SelfPlayGame()
    kept = None
    for move in ["e2e4", "d7d5", "e4d5", "d8d5", "b1c3", "d5a5", "e1e2", "e8d8"]:
        kept = rl.observe(game, kept, oracle=oracle, viewer=viewer, codes=True)
        assert type(kept) is rl.Codes
        same_bits(C.decode(kept), rl.observe(game, oracle=oracle, viewer=viewer))
        game.apply(move)


def test_replay_gives_codes_row_for_row():
    played = rl.GameBatch(6, seed=3, max_plies=60)
    step = played.observe()
    moves = [[] for _ in range(6)]
    while not (step.terminated | step.truncated).all():
        step = played.step_random()
        for i, move in enumerate(step.played_move):
            if move != rl.NO_MOVE:
                moves[i].append(int(move))
    offsets = np.cumsum([0] + [len(m) for m in moves])
    flat = np.array([m for game in moves for m in game], np.uint16)
    floats = rl.replay([START_FEN] * 6, flat, offsets, oracle=True)
    codes = rl.replay([START_FEN] * 6, flat, offsets, oracle=True, codes=True, threads=2)
    assert codes.observation is None and floats.codes is None
    for field in ("mask", "slot", "outcome"):
        np.testing.assert_array_equal(getattr(codes, field), getattr(floats, field))
    same_bits(C.decode(codes), floats.observation)
    # A record kept from call to call, with more rows than plies, is filled and cut.
    rows = len(flat) + 5
    kept = rl.Replay(None, np.zeros((rows, rl.ACTION_COUNT), bool), np.zeros(rows, np.int64),
                     np.zeros(rows, np.float32), np.zeros((rows, 64, 2), np.uint8), np.zeros((rows, 64), np.uint16),
                     np.zeros((rows, 7), np.uint8))
    again = rl.replay([START_FEN] * 6, flat, offsets, oracle=True, codes=True, out=kept)
    assert np.shares_memory(again.codes, kept.codes) and len(again.codes) == len(flat)
    same_bits(C.decode(again), floats.observation)


def test_records_built_by_position_before_the_codes_still_build():
    assert rl.Replay(None, None, 1, 2).codes is None
    assert rl.Step(*range(16)).shared is None


@pytest.mark.parametrize("call, kind, message", [
    (lambda b: b.step_random(codes=1), TypeError, "argument 'codes': 'int' object is not an instance of 'bool'"),
    (lambda b: b.step([0, 0], codes=True, mask="yes"), TypeError,
     "argument 'mask': 'str' object is not an instance of 'bool'"),
    (lambda b: b.observe(codes=True, out=b.observe()._replace(codes=np.zeros((2, 64, 2), np.int8))), TypeError,
     "out.codes: expected elements of uint8, got int8"),
    (lambda b: b.observe(codes=True, out=b.observe()._replace(ages=np.zeros((2, 63), np.uint16))), ValueError,
     "out.ages: expected shape (2, 64), got (2, 63)"),
    (lambda b: b.observe(codes=True, out=b.observe()._replace(shared=np.zeros((2, 7), np.uint8)[:, ::-1])),
     ValueError, "out.shared: the array must be C-contiguous"),
    (lambda b: rl.observe(b[0], np.zeros((64, 35), np.float32), codes=True), TypeError,
     "out: a 'numpy.ndarray' names none of the outputs; give None or a record of arrays by name"),
    (lambda b: rl.observe(b[0], codes=None), TypeError, "argument 'codes': 'None' is not an instance of 'bool'"),
    (lambda b: rl.replay([START_FEN], [], [0, 0], codes="no"), TypeError,
     "argument 'codes': 'str' object is not an instance of 'bool'"),
])
def test_refused_codes_arguments(call, kind, message):
    batch = rl.GameBatch(2)
    before = batch.observe(codes=True)
    with pytest.raises(kind) as raised:
        call(batch)
    # A refused call changes no game.
    after = batch.observe(codes=True)
    for field in ("codes", "ages", "shared"):
        np.testing.assert_array_equal(getattr(after, field), getattr(before, field))
    assert type(raised.value) is kind
    assert str(raised.value) == message


def test_codes_outputs_must_not_share_memory():
    batch = rl.GameBatch(2)
    block = np.zeros(2 * 64 * 2, np.uint8)
    out = batch.observe(codes=True)._replace(codes=block.reshape(2, 64, 2), shared=block[:14].reshape(2, 7))
    expect_error(ValueError, lambda: batch.observe(codes=True, out=out),
                 "out.codes and out.shared share memory; each output needs memory of its own")


def test_decoder_refusals():
    step = rl.GameBatch(2).observe()
    codes = rl.GameBatch(2).observe(codes=True)
    expect_error(ValueError, lambda: C.decode(step), "Step holds no codes: ask for codes=True")
    expect_error(TypeError, lambda: C.decode(codes.codes, codes.ages),
                 "decode takes codes, ages and shared, or one record holding all three")
    expect_error(ValueError, lambda: C.decode(codes.codes, codes.ages[:1], codes.shared),
                 "codes, ages and shared must be (..., 64, 2), (..., 64) and (..., 7) with the same leading "
                 "dimensions, not (2, 64, 2), (1, 64) and (2, 7)")
    expect_error(ValueError, lambda: C.decode(codes, out=np.zeros((2, 64, 35), np.float64)),
                 "out must be a float32 numpy array of shape (2, 64, 35)")
    out = np.full((2, 64, 35), 7, np.float32)
    assert C.decode(codes, out=out) is out
    same_bits(out, rl.GameBatch(2).observe().observation)


def test_tensor_decoder_and_embedding():
    torch = pytest.importorskip("torch")
    batch = rl.GameBatch(16, seed=4, auto_reset=True)
    for _ in range(30):
        step = batch.step_random()
    codes = batch.observe(codes=True)
    floats = torch.from_numpy(step.observation)
    same_bits(C.decode_tensor(codes, device="cpu").numpy(), step.observation)
    parts = [torch.from_numpy(a) for a in (codes.codes, codes.ages, codes.shared)]
    same_bits(C.decode_tensor(*parts).numpy(), step.observation)

    torch.manual_seed(0)
    linear = torch.nn.Linear(35, 24)
    embedding = C.CellEmbedding.from_linear(linear)
    assert isinstance(embedding, torch.nn.Module)
    expected = linear(floats)
    got = embedding(codes)
    torch.testing.assert_close(got, expected, rtol=0, atol=2e-6)
    # Gradients reach the same weights as through the linear layer.
    expected.square().sum().backward()
    got.square().sum().backward()
    torch.testing.assert_close(embedding.weight.grad, linear.weight.grad, rtol=1e-5, atol=1e-4)
    torch.testing.assert_close(embedding.bias.grad, linear.bias.grad, rtol=1e-5, atol=1e-4)
    back = embedding.to_linear()
    assert torch.equal(back.weight, linear.weight) and torch.equal(back.bias, linear.bias)
    no_bias = torch.nn.Linear(35, 8, bias=False)
    torch.testing.assert_close(C.CellEmbedding.from_linear(no_bias)(codes), no_bias(floats), rtol=0, atol=2e-6)
    expect_error(ValueError, lambda: C.CellEmbedding.from_linear(torch.nn.Linear(34, 8)),
                 "from_linear takes a Linear over the 35 features of a cell, not "
                 "Linear(in_features=34, out_features=8, bias=True)")


def test_the_decoders_need_no_torch(block_import):
    block_import("torch")
    codes = rl.GameBatch(3).observe(codes=True)
    same_bits(C.decode(codes), rl.GameBatch(3).observe().observation)
    with pytest.raises(rl.MissingExtra, match=r'murkplay_rl.codes.CellEmbedding needs torch.*murkplay\[torch\]'):
        C.CellEmbedding
    with pytest.raises(rl.MissingExtra, match="murkplay_rl.codes on tensors needs torch"):
        C.decode_tensor(codes)


def test_code_rows_keep_the_three_arrays_together():
    batch = rl.GameBatch(6, seed=2)
    for _ in range(5):
        step = batch.step_random(codes=True)
    rows = C.CodeRows.of(step)
    kept = C.CodeRows.empty(10)
    kept[2:8] = rows
    assert len(kept) == 10 and len(kept[3:5]) == 2
    same_bits(kept[2:8].decode(), batch.observe().observation)
    assert C.observations(step, "codes").codes is step.codes
    expect_error(ValueError, lambda: C.observations(step, "floats"),
                 "Step holds no float observation: it was asked for codes")
    expect_error(ValueError, lambda: C.observations(step, "bits"), "observation must be 'floats' or 'codes', not 'bits'")
    expect_error(ValueError, lambda: C.CodeRows(step.codes, step.ages[:, :8], step.shared),
                 "codes, ages and shared must be (..., 64, 2), (..., 64) and (..., 7) with the same leading "
                 "dimensions, not (6, 64, 2), (6, 8) and (6, 7)")
