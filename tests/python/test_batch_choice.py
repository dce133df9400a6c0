"""Moves chosen inside the step: the built-in agents, their replies, and slots drawn from logits."""

import numpy as np
import pytest

import murkplay_rl as rl
from murkplay import SelfPlayGame

GAMES = 40  # enough for two native threads
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
        assert (step["reply_slot"] is None) == (reply is None)
        if reply is None:
            continue
        assert ((step["reply_slot"] == -1) == (step["reply_move"] == rl.NO_MOVE)).all()
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


@pytest.mark.parametrize("by", ["position", "slot", "greedy"])
def test_games_written_or_restarted_between_steps_play_from_their_own_moves(by):
    """A step plays from the moves the last step listed; a game changed since lists its own."""
    batch = rl.GameBatch(GAMES, seed=2, threads=2)
    for _ in range(3):
        listed = batch.step_random()
    written = SelfPlayGame("n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1")
    batch[5] = written.clone()
    batch.reset([GAMES - 3])
    first = {i: int(listed.moves[listed.offsets[i]]) for i in range(GAMES)}
    first[5] = rl.move_code(written.legal_actions_uci()[0])
    first[GAMES - 3] = rl.move_code(SelfPlayGame().legal_actions_uci()[0])
    if by == "greedy":
        step = batch.step(by="greedy")
        # Black's only captures in the written game are pawns taking the knights on f1 and h1.
        assert rl.move_uci(int(step.played_move[5])) in {"e2f1q", "e2f1r", "e2f1b", "e2f1n", "g2f1q", "g2f1r",
                                                           "g2f1b", "g2f1n", "g2h1q", "g2h1r", "g2h1b", "g2h1n"}
        return
    if by == "position":
        step = batch.step([0] * GAMES, by="position")
    else:
        slots = [int(listed.slots[listed.offsets[i]]) for i in range(GAMES)]
        slots[5] = written.action_index(written.legal_actions_uci()[0])
        slots[GAMES - 3] = SelfPlayGame().action_index(SelfPlayGame().legal_actions_uci()[0])
        step = batch.step(slots, by="slot")
    assert step.played_move.tolist() == [first[i] for i in range(GAMES)]


@pytest.mark.parametrize("reply", ["random", "greedy", "cautious"])
def test_reply_slots_are_the_replies_slots_from_the_side_that_replied(reply):
    batch = rl.GameBatch(GAMES, seed=6, max_plies=30, auto_reset=True)
    for _ in range(20):
        before = [batch[i] for i in range(GAMES)]
        step = batch.step(by="random", reply=reply, observe=False)
        for i, game in enumerate(before):
            if step.reply_move[i] == rl.NO_MOVE:
                continue
            game.apply(rl.move_uci(int(step.played_move[i])))
            assert step.reply_slot[i] == game.action_index(rl.move_uci(int(step.reply_move[i])))


@pytest.mark.parametrize("greedy", [False, True])
def test_a_tiny_temperature_plays_the_best_slot(greedy):
    rng = np.random.default_rng(2)
    batch = rl.GameBatch(GAMES, seed=1)
    listed = batch.observe()
    # Finite logits, large, distinct and close together, which scaled by 1e38 would overflow a float.
    logits = (1e30 + np.stack([rng.permutation(rl.ACTION_COUNT) for _ in range(GAMES)]) * 1e23).astype(np.float32)
    step = batch.step(logits, by="logits", temperature=1e-38, greedy=greedy)
    for i in range(GAMES):
        slots = listed.slots[listed.offsets[i]:listed.offsets[i + 1]]
        assert step.played_slot[i] == slots[np.argmax(logits[i, slots])]
    assert (step.log_prob == 0).all() and (step.entropy == 0).all()
