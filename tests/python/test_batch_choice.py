"""Moves chosen inside the step: the built-in agents, their replies, and slots drawn from logits."""

import numpy as np
import pytest

import murkplay_rl as rl

GAMES = 12
MODES = [("random", None), ("greedy", "cautious"), ("cautious", "random"), ("logits", "greedy")]


def logits_for(rng, games):
    """Logits with every eighth slot masked out, as a policy masking some moves would."""
    logits = rng.standard_normal((games, rl.ACTION_COUNT)).astype(np.float32) * 3
    logits[:, ::8] = -np.inf
    return logits


def masked_softmax(row, slots, temperature):
    """The distribution over each game's distinct legal slots, in listing order, as numpy sees it."""
    distinct = list(dict.fromkeys(slots.tolist()))
    scaled = row[distinct].astype(np.float64) / temperature
    weights = np.exp(scaled - scaled.max())
    return distinct, weights / weights.sum()


@pytest.mark.parametrize("temperature, greedy", [(1.0, False), (0.4, False), (2.0, True)])
def test_logits_draw_legal_slots_with_the_stated_probabilities(temperature, greedy):
    rng = np.random.default_rng(7)
    batch = rl.GameBatch(GAMES, seed=11, max_plies=40, auto_reset=True)
    step = batch.observe()
    drawn = []
    for _ in range(80):
        logits = logits_for(rng, GAMES)
        before = step
        step = batch.step(logits, by="logits", temperature=temperature, greedy=greedy)
        for i in range(GAMES):
            if before.terminated[i] or before.truncated[i]:
                assert step.played_move[i] == rl.NO_MOVE and step.log_prob[i] == 0 and step.entropy[i] == 0
                continue
            span = slice(before.offsets[i], before.offsets[i + 1])
            distinct, p = masked_softmax(logits[i], before.slots[span], temperature)
            k = distinct.index(int(step.played_slot[i]))
            assert p[k] > 0
            # The first listed move with the slot drawn is played.
            assert step.played_move[i] == before.moves[span][before.slots[span].tolist().index(distinct[k])]
            live = p[p > 0]
            np.testing.assert_allclose(step.log_prob[i], np.log(p[k]), rtol=1e-5, atol=1e-5)
            np.testing.assert_allclose(step.entropy[i], -(live * np.log(live)).sum(), rtol=1e-5, atol=1e-5)
            if greedy:
                assert k == int(np.argmax(p))
            drawn.append((p[k], (p * p).sum()))
    if not greedy:
        # Drawn from p, the probability of what was drawn averages sum(p^2); argmax or a
        # uniform draw would be far off.
        got, expected = np.array(drawn).mean(axis=0)
        assert abs(got - expected) < 0.04, (got, expected)


def test_greedy_ties_go_to_the_first_listed_slot():
    batch = rl.GameBatch(3)
    listed = batch.observe()
    step = batch.step(np.zeros((3, rl.ACTION_COUNT), np.float32), by="logits", greedy=True)
    assert step.played_slot.tolist() == [int(listed.slots[listed.offsets[i]]) for i in range(3)]
    np.testing.assert_allclose(step.log_prob, -np.log(20), rtol=1e-6)
    np.testing.assert_allclose(step.entropy, np.log(20), rtol=1e-6)


def play(threads, by, reply, seed=3, steps=50):
    rng = np.random.default_rng(seed)
    batch = rl.GameBatch(GAMES, seed=seed, max_plies=30, auto_reset=True, threads=threads)
    batch.observe()
    seen = []
    for turn in range(steps):
        actions = logits_for(rng, GAMES) if by == "logits" else None
        step = batch.step(actions, by=by, reply=reply, observe=turn % 2 == 0)
        seen.append({field: None if value is None else np.array(value) for field, value in step._asdict().items()})
    return seen


@pytest.mark.parametrize("by, reply", MODES)
def test_every_choice_is_the_same_for_every_thread_count(by, reply):
    one = play(1, by, reply)
    for threads in (2, 5):
        for turn, (a, b) in enumerate(zip(one, play(threads, by, reply))):
            for field in a:
                assert (a[field] is None) == (b[field] is None), field
                if a[field] is not None:
                    np.testing.assert_array_equal(a[field], b[field], err_msg=f"{field} at step {turn}")


@pytest.mark.parametrize("by, reply", MODES)
def test_replies_and_fields_follow_the_mode(by, reply):
    seen = play(1, by, reply, steps=30)
    for step in seen:
        assert (step["log_prob"] is None) == (by != "logits")
        assert (step["reply_move"] is None) == (reply is None)
        if reply is None:
            continue
        ended = step["terminated"] | step["truncated"]
        played = step["played_move"] != rl.NO_MOVE
        replied = step["reply_move"] != rl.NO_MOVE
        # A reply follows every move that did not end the game, and nothing else.
        assert not (replied & ~played).any()
        assert (replied | ended | ~played).all()


def test_the_random_agent_is_step_random():
    a = rl.GameBatch(GAMES, seed=9, max_plies=20, auto_reset=True)
    b = rl.GameBatch(GAMES, seed=9, max_plies=20, auto_reset=True)
    for _ in range(40):
        np.testing.assert_array_equal(a.step(by="random").played_move, b.step_random().played_move)
