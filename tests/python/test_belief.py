"""Beliefs over the hidden position, against a plain enumeration written from the rule: a side
keeps every true position whose view (what it sees, its rights, the opponent's material, its
own list of moves) is the one it was shown."""

import random

import numpy as np
import pytest

import murkplay_rl
from murkplay import SelfPlayGame
from murkplay_rl import BatchBeliefs, BeliefTracker, GameBatch
from support import tracked_random_game

# Columns of the observation the side reads of the present: what it sees now, its castling
# rights and the opponent's material; the remembered columns follow from earlier views.
PRESENT = np.r_[0:14, 28:35]


def view(game, side):
    seen = murkplay_rl.observe(game, viewer=side)[:, PRESENT]
    return seen.tobytes(), tuple(game.legal_actions_uci()) if game.turn == side else ()


def position_key(game):
    """The true position: placement, both sides' rights, and the en-passant chance, which
    shows in the list of moves of the side to move."""
    rights = [murkplay_rl.observe(game, viewer=side)[:2, 28:30].tobytes() for side in (True, False)]
    return str(game.board), *rights, tuple(game.legal_actions_uci())


def brute_force_step(candidates, played, shown, side):
    """Every opponent reply from every candidate after the side's move, kept when it shows
    the side exactly what it was shown."""
    kept = {}
    for candidate in candidates:
        after = candidate.clone()
        if played is not None:
            after.apply(played)
        for reply in after.legal_actions_uci():
            game = after.clone()
            game.apply(reply)
            if not game.is_terminal() and view(game, side) == shown:
                kept.setdefault(position_key(game), game)
    return list(kept.values())


def tracked_keys(tracker):
    return {position_key(game) for game in tracker.sample(len(tracker))}


SMALL = [
    "4k3/8/8/8/8/8/8/4K2R w K - 0 1",
    "r3k3/pp6/8/8/8/8/6PP/4K2R b Kq - 0 1",
    "4k3/1p6/8/2P5/8/8/8/4K3 w - - 0 1",
    "4k3/8/8/8/1p6/8/P7/1N2K3 w - - 0 1",
    "1n2k3/7P/8/8/8/8/p7/4K3 w - - 0 1",
]


@pytest.mark.parametrize("fen", SMALL)
@pytest.mark.parametrize("side", [True, False])
def test_belief_is_the_brute_force_set_on_every_turn(fen, side):
    rng = random.Random(f"{fen} {side}")
    for _ in range(4):
        game = SelfPlayGame(fen)
        tracker = BeliefTracker(game, side)
        candidates = [game.clone()]
        played = None
        for _ in range(14):
            # The plain enumeration is slow; small sets test the rule as well as large ones.
            if game.is_terminal() or len(candidates) > 200:
                break
            move = rng.choice(game.legal_actions_uci())
            if game.turn == side:
                played = move
            game.apply(move)
            if game.is_terminal() or game.turn != side:
                continue
            candidates = brute_force_step(candidates, played, view(game, side), side)
            tracker.update(game, played)
            assert tracker.exact and not tracker.regenerated
            assert tracker.size == len(tracker) == len(candidates)
            assert tracked_keys(tracker) == {position_key(c) for c in candidates}
            assert position_key(game) in tracked_keys(tracker)


def last_belief(seed, side, limit, plies):
    """The tracker and the game after the last of the side's updates in a random game."""
    *_, (_, tracker, game, _) = tracked_random_game(seed, side, plies, limit)
    return tracker, game


def test_true_position_is_kept_while_exact():
    turns = 0
    for seed in range(40):
        for _, tracker, game, _ in tracked_random_game(seed, seed % 2 == 0, 40, 3000):
            if not tracker.exact:
                assert tracker.sampling or tracker.regenerated
                break
            assert tracker.keeps(game)
            turns += 1
    assert turns > 200


def test_sampling_keeps_the_limit_and_estimates_the_size():
    tracker, _ = last_belief(0, True, 1000, 9)
    assert tracker.sampling and not tracker.exact and len(tracker) == 1000
    exact, _ = last_belief(0, True, 10**6, 9)
    assert exact.exact and len(exact) > 300
    assert abs(tracker.size - len(exact)) < 4 * tracker.size_error + 0.2 * len(exact)


def test_samples_are_uniform_over_a_listable_set():
    game = SelfPlayGame()
    game.apply("e2e4")
    tracker = BeliefTracker(game, True, seed=5)
    game.apply("g8f6")
    tracker.update(game)
    positions = tracked_keys(tracker)
    n = len(positions)
    assert 10 < n < 40
    draws = 200 * n
    counts = {}
    for _ in range(draws):
        (drawn,) = tracker.sample(1)
        counts[position_key(drawn)] = counts.get(position_key(drawn), 0) + 1
    assert set(counts) == positions
    chi_square = sum((c - 200) ** 2 / 200 for c in counts.values())
    assert chi_square < n + 6 * (2 * n) ** 0.5
    assert len({position_key(g) for g in tracker.sample(n - 1)}) == n - 1


def test_marginals_are_the_share_of_positions_on_every_square():
    tracker, _ = last_belief(11, False, 2000, 9)
    marginals = tracker.marginals()
    assert marginals.shape == (64, 13)
    np.testing.assert_allclose(marginals.sum(axis=1), 1.0, atol=1e-5)
    counts = np.zeros((64, 13))
    for game in tracker.sample(len(tracker)):
        codes = np.array(game.board[::-1]).ravel()  # a1 first
        column = np.where(codes > 0, codes - 1, np.where(codes < 0, 5 - codes, 12))
        counts[np.arange(64), column] += 1
    np.testing.assert_allclose(marginals, counts / len(tracker), atol=1e-5)


def test_sampled_games_carry_the_sides_memory():
    tracker, game = last_belief(4, True, 1000, 8)
    for candidate in tracker.sample(5):
        assert candidate.turn is True and not candidate.is_terminal()
        assert np.array_equal(murkplay_rl.observe(candidate), murkplay_rl.observe(game))


def test_regenerates_when_nothing_explains_the_view():
    tracker = BeliefTracker(SelfPlayGame(), True, seed=1)
    # White is shown a position its move cannot have led to: a second pawn has advanced.
    shown = SelfPlayGame("rnbqkbnr/pp1p1ppp/8/2p1p3/3PP3/8/PPP2PPP/RNBQKBNR w KQkq - 0 3")
    tracker.update(shown, "e2e4")
    assert tracker.regenerated and not tracker.exact and tracker.regenerations == 1 and len(tracker) > 0
    for candidate in tracker.sample(20):
        assert view(candidate, True) == view(shown, True)


def test_regeneration_puts_pieces_back_where_they_were_last_seen():
    start = "4k3/8/8/4n3/8/2B5/8/4K3 w - - 0 1"  # the bishop sees the knight on e5
    tracker = BeliefTracker(SelfPlayGame(start), True, seed=2)
    shown = after("c3b4", "e8d8", fen=start)  # the bishop looks away; e5 is out of sight now
    tracker.update(shown, "c3d2")  # a move other than the one played: nothing kept explains it
    assert tracker.regenerated
    knight_on_e5 = tracker.marginals()[4 * 8 + 4, 6 + 1]
    assert 0.3 < knight_on_e5 < 0.9


def test_batch_beliefs_follow_each_game_as_a_tracker_would():
    batch = GameBatch(6, seed=2, threads=2)
    beliefs = BatchBeliefs(batch, False, limit=5000)
    singles = [BeliefTracker(batch[i], False, limit=5000) for i in range(6)]
    played = np.full(6, murkplay_rl.NO_MOVE, dtype=np.uint16)
    for _ in range(8):
        step = batch.step_random()
        if not batch[0].turn:
            beliefs.update(played)
            for i, single in enumerate(singles):
                single.update(batch[i], None if played[i] == murkplay_rl.NO_MOVE else int(played[i]))
                assert len(beliefs[i]) == len(single) and beliefs[i].keeps(batch[i])
        else:
            played = step.played_move.copy()
    batch.step_random()
    positions = beliefs.choose(samples=2, depth=2)
    assert positions.shape == (6,)
    black_to_move = np.array([not batch[i].turn for i in range(6)])
    assert (positions[~black_to_move] == -1).all()
    listed = np.diff(batch.observe().offsets)[black_to_move]
    assert ((positions[black_to_move] >= 0) & (positions[black_to_move] < listed)).all()


def after(*moves, fen=None):
    game = SelfPlayGame(fen) if fen else SelfPlayGame()
    for move in moves:
        game.apply(move)
    return game


@pytest.mark.parametrize(
    "make, error, text",
    [
        (lambda: BeliefTracker("start", True), TypeError, "SelfPlayGame"),
        (lambda: BeliefTracker(SelfPlayGame(), 1), TypeError, "side"),
        (lambda: BeliefTracker(SelfPlayGame(), True, limit=1), ValueError, "limit"),
        (lambda: BeliefTracker(SelfPlayGame(), True, seed=-1), ValueError, "seed"),
        (lambda: BeliefTracker(SelfPlayGame(), True).update(after("e2e4")), ValueError, "not to move"),
        (lambda: BeliefTracker(SelfPlayGame(), True).update(after("e2e4", "e7e5")), ValueError, "pass the move"),
        (lambda: BeliefTracker(SelfPlayGame(), False).update(after("e2e4"), "e7e5"), ValueError, "has not moved"),
        (lambda: BeliefTracker(SelfPlayGame(), True).update(after("e2e4", "e7e5"), "e2e5"), ValueError, "not one of"),
        (lambda: BeliefTracker(after(fen="4k3/8/8/8/8/8/8/r3K3 w - - 0 1"), True).update(
            after("e1d1", "a1d1", fen="4k3/8/8/8/8/8/8/r3K3 w - - 0 1"), "e1d1"), ValueError, "over"),
        (lambda: BeliefTracker(SelfPlayGame(), True).update(after("e2e4", "e7e5"), 1.5), TypeError, "played must"),
        (lambda: BeliefTracker(SelfPlayGame(), True).update(after("e2e4", "e7e5"), 70000), ValueError, "move code"),
        (lambda: BeliefTracker(SelfPlayGame(), True).update(after("e2e4", "e7e5"), "e9"), ValueError, "UCI"),
        (lambda: BeliefTracker(SelfPlayGame(), True).update("game", "e2e4"), TypeError, "SelfPlayGame"),
        (lambda: BeliefTracker(SelfPlayGame(), True).sample(-1), ValueError, "k must be from 0"),
        (lambda: BeliefTracker(SelfPlayGame(), True).sample("1"), TypeError, None),
        (lambda: BeliefTracker(SelfPlayGame(), True).keeps(None), TypeError, "SelfPlayGame"),
        (lambda: BatchBeliefs([SelfPlayGame()], True), TypeError, "GameBatch"),
        (lambda: BatchBeliefs(GameBatch(2), None), TypeError, "side"),
        (lambda: BatchBeliefs(GameBatch(2), True, limit=0), ValueError, "limit"),
        (lambda: BatchBeliefs(GameBatch(2), True).update([murkplay_rl.NO_MOVE]), ValueError, "played"),
        (lambda: BatchBeliefs(GameBatch(2), True).update([5, murkplay_rl.NO_MOVE + 1]), ValueError, "played\\[1\\]"),
        (lambda: BatchBeliefs(GameBatch(2), True).update(threads=0), ValueError, "threads"),
        (lambda: BatchBeliefs(GameBatch(2), True).choose(threads="2"), TypeError, "threads"),
        (lambda: BatchBeliefs(GameBatch(2), True).choose(samples=0), ValueError, "samples"),
        (lambda: BatchBeliefs(GameBatch(2), True).choose(depth=9), ValueError, "depth"),
        (lambda: BatchBeliefs(GameBatch(2), True).reset([2]), IndexError, "out of range"),
        (lambda: BatchBeliefs(GameBatch(2), True).reset("ab"), TypeError, None),
        (lambda: BatchBeliefs(GameBatch(2), True)[2], IndexError, "out of range"),
        (lambda: BatchBeliefs(GameBatch(2), True)["0"], TypeError, None),
    ],
)
def test_refusals(make, error, text):
    with pytest.raises(error, match=text):
        make()


def test_batch_refusals_name_the_game_and_change_nothing():
    batch = GameBatch(3)
    beliefs = BatchBeliefs(batch, True)
    batch.step_random()
    batch.step_random()
    played = np.full(3, murkplay_rl.NO_MOVE, dtype=np.uint16)
    with pytest.raises(ValueError, match="game 0: .*pass the move"):
        beliefs.update(played)
    assert len(beliefs[1]) == 1
    assert beliefs.batch is batch


def test_belief_agent_plays_through_the_agent_protocol():
    from murkplay_rl import agents, arena

    agent = agents.load("belief")
    assert agent.name == "belief"
    result = arena.match(agent, "random", games=4, max_plies=60)
    assert result.wins + result.losses + result.draws == 4
    assert result.score >= 0.5
