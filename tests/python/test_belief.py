"""Beliefs over the hidden position, against a plain enumeration written from the rule: a side
keeps every true position whose view (what it sees, its rights, the opponent's material, its
own list of moves) is the one it was shown."""

import random

import numpy as np
import pytest

import murkplay_rl
from murkplay import SelfPlayGame
from murkplay_rl import BatchBeliefs, BeliefTracker, GameBatch
from murkplay_rl._native import MIN_KING_SCORE, WIN_SCORE
from support import bench, tracked_random_game

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
    # A sample of two positions soon loses the true one; then nothing kept explains the view.
    for ply, tracker, game, _ in tracked_random_game(3, True, 40, 2):
        if tracker.regenerated:
            break
    assert tracker.regenerated and not tracker.exact and tracker.regenerations == 1 and len(tracker) > 0
    for candidate in tracker.sample(20):
        assert view(candidate, True) == view(game, True)


def test_regeneration_puts_pieces_back_where_they_were_last_seen():
    start = "4k3/8/8/4n3/8/2B5/8/4K3 w - - 0 1"  # the bishop sees the knight on e5
    tracker = BeliefTracker(SelfPlayGame(start), True, limit=60, seed=2702)
    game = SelfPlayGame(start)
    moves = ["c3d2", "e5d7", "d2h6", "d7f8", "e1d1", "f8g6", "d1c1", "g6h4", "c1b1", "e8d7", "b1a1", "h4f3",
             "a1b1", "f3d2", "h6g5", "d2f3"]
    for white, black in zip(moves[::2], moves[1::2]):
        game.apply(white)
        game.apply(black)
        tracker.update(game, white)
    # The sample of 60 lost the true position; the knight, out of sight, goes back to e5 often.
    assert tracker.regenerated
    knight_on_e5 = tracker.marginals()[4 * 8 + 4, 6 + 1]
    assert 0.3 < knight_on_e5 < 0.9


@pytest.mark.parametrize("shown, played, error", [
    # A second pawn has advanced: the side's own pieces do not follow from its move.
    ("rnbqkbnr/pp1p1ppp/8/2p1p3/3PP3/8/PPP2PPP/RNBQKBNR w KQkq - 0 3", "e2e4", "pieces"),
    # The move named is legal but is not the one played (d2d4 where e2e4 was).
    ("rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq - 0 2", "d2d4", "pieces"),
    # The side's pieces follow, but Black cannot have moved two pawns at once.
    ("rnbqkbnr/ppp2ppp/8/3pp3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq - 0 2", "e2e4", "nothing the side can have seen"),
])
def test_an_update_that_did_not_happen_is_refused_and_changes_nothing(shown, played, error):
    tracker = BeliefTracker(SelfPlayGame(), True, seed=1)
    with pytest.raises(ValueError, match=error):
        tracker.update(SelfPlayGame(shown), played)
    assert len(tracker) == 1 and tracker.exact and tracker.keeps(SelfPlayGame())
    # The true update still goes through afterwards.
    game = after("e2e4", "e7e5")
    tracker.update(game, "e2e4")
    assert tracker.exact and tracker.keeps(game)


def test_the_same_update_twice_is_refused_and_changes_nothing():
    game = after("e2e4", "e7e5")
    tracker = BeliefTracker(SelfPlayGame(), True)
    tracker.update(game, "e2e4")
    game.apply("g1f3")
    game.apply("b8c6")
    tracker.update(game, "g1f3")
    kept = tracked_keys(tracker)
    for played in ("g1f3", "e2e4", None):
        with pytest.raises(ValueError):
            tracker.update(game, played)
        assert tracked_keys(tracker) == kept and tracker.keeps(game)


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
    beliefs.update(played)
    positions = beliefs.choose(samples=2, depth=2)
    assert positions.shape == (6,)
    black_to_move = np.array([not batch[i].turn for i in range(6)])
    assert (positions[~black_to_move] == -1).all()
    listed = np.diff(batch.observe().offsets)[black_to_move]
    assert ((positions[black_to_move] >= 0) & (positions[black_to_move] < listed)).all()


@pytest.mark.parametrize("seed", [3, 7])
@pytest.mark.parametrize("turn", [1, 3, 5, 9])
def test_the_scores_are_what_the_choice_weighs(seed, turn):
    # Beliefs with one seed draw the same samples until they search: at Black's turn-th ply
    # one chooses, one scores every move, and one only the moves flagged, each as the full
    # scores do.
    batch = GameBatch(8, seed=seed)
    chooser, scorer, flagger = (BatchBeliefs(batch, False, seed=seed) for _ in range(3))
    step = batch.step_random()
    for beliefs in (chooser, scorer, flagger):
        beliefs.update()
    for _ in range(turn // 2):
        played = batch.step_random().played_move.copy()
        step = batch.step_random()
        for beliefs in (chooser, scorer, flagger):
            beliefs.update(played)
    chosen, scores = chooser.choose(samples=3, depth=2), scorer.scores(samples=3, depth=2)
    among = np.random.default_rng(turn).random((8, 5)) < 0.5
    flagged = flagger.scores(samples=3, depth=2, among=among)
    wanted = np.zeros(scores.shape, bool)
    wanted[:, :5] = among[:, :scores.shape[1]]
    assert np.array_equal(flagged[wanted], scores[wanted], equal_nan=True) and np.isnan(flagged[~wanted]).all()
    counts = np.diff(step.offsets)
    acting = chosen >= 0
    assert acting.any() and scores.dtype == np.float32 and scores.shape == (8, counts[acting].max())
    assert np.isnan(scores[~acting]).all()
    for game in np.flatnonzero(acting):
        row = scores[game]
        assert not np.isnan(row[:counts[game]]).any() and np.isnan(row[counts[game]:]).all()
        assert row[chosen[game]] == row[:counts[game]].max()


@pytest.mark.parametrize("king", [MIN_KING_SCORE, 250, 40_000])
def test_a_king_taken_counts_what_the_caller_asks(king):
    # One sample each, the same one for beliefs of one seed: a king taken or lost scores the
    # asked worth less the plies it took, a score of material stays as it was.
    batch = GameBatch(16, fen="rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3", seed=king)
    full, asked = BatchBeliefs(batch, True, seed=5), BatchBeliefs(batch, True, seed=5)
    plain, worth = [], []
    for turn in range(3):
        played = None
        if turn:
            played = batch.step_random().played_move.copy()
            batch.step_random()
        full.update(played), asked.update(played)
        plain.append(full.scores(samples=1, depth=3).ravel())
        worth.append(asked.scores(samples=1, depth=3, king=king).ravel())
    plain, worth = np.concatenate(plain), np.concatenate(worth)
    searched = ~np.isnan(plain)
    taken = np.abs(plain) > WIN_SCORE / 2
    assert taken[searched].any() and (~taken[searched]).any()
    expected = np.where(taken, np.sign(plain) * (king - (WIN_SCORE - np.abs(plain))), plain)
    assert np.array_equal(worth[searched], expected[searched])


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
        (lambda: BatchBeliefs(GameBatch(2), True).scores(threads="2"), TypeError, "threads"),
        (lambda: BatchBeliefs(GameBatch(2), True).scores(samples=65), ValueError, "samples must be from 1 to 64"),
        (lambda: BatchBeliefs(GameBatch(2), True).scores(depth=0), ValueError, "depth must be from 1 to 5, not 0"),
        (lambda: BatchBeliefs(GameBatch(2), True).scores(king=99), ValueError,
         "king must be from 100 to 1000000, not 99"),
        (lambda: BatchBeliefs(GameBatch(2), True).choose(king=True), TypeError, "king must be an integer, not 'bool'"),
        (lambda: BatchBeliefs(GameBatch(2), True).scores(among=np.ones((3, 4), bool)), ValueError,
         r"among: expected shape \(2, any length\), got \(3, 4\)"),
        (lambda: BatchBeliefs(GameBatch(2), True).scores(among=np.ones((2, 4))), TypeError, "among: expected elements"),
        (lambda: BatchBeliefs(GameBatch(2), True).scores(among=[[True]]), TypeError, "among: expected an array"),
        (lambda: BatchBeliefs(GameBatch(2), True).choose(among=np.ones((2, 4), bool)), TypeError, "among"),
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


def e4_position(batch):
    return [batch[i].legal_actions_uci().index("e2e4") for i in range(len(batch))]


class OpensE4:
    """White: 1. e4 in every game, then the first listed move."""

    name = "e4"
    observes = False

    def act(self, step, batch):
        return "position", [row.index("e2e4") if "e2e4" in row else 0
                            for row in (batch[i].legal_actions_uci() for i in range(len(batch)))]


@pytest.mark.parametrize("made", ["ply 1", "restarted", "reset"])
def test_a_belief_that_joins_after_the_opening_move_enumerates_it(made):
    batch = GameBatch(2, max_plies=3, auto_reset=True)
    if made == "ply 1":
        batch.step(e4_position(batch))
        beliefs = BatchBeliefs(batch, False)
    else:
        beliefs = BatchBeliefs(batch, False)
        if made == "restarted":
            for _ in range(3):
                batch.step_random()
            assert batch.observe().restarting.all()
            batch.step_random()  # the restart
        batch.step(e4_position(batch))
        if made == "reset":
            beliefs.reset()
        else:
            beliefs.update()
    # Black cannot tell White's 20 first moves apart, and its belief holds every one.
    assert [len(beliefs[i]) for i in range(2)] == [20, 20] and beliefs.following.all()
    assert all(beliefs[i].keeps(batch[i]) for i in range(2))
    assert (beliefs.choose(samples=1, depth=1) >= 0).all()


def test_a_game_written_into_the_batch_is_a_known_start_only_where_it_stands():
    batch = GameBatch(3)
    written = after("e2e4", "e7e5", "g1f3")
    batch[0] = written
    batch[1] = written
    batch.step([0, 0, 0])  # games 1 and 2 move on: 1 from the written game, 2 from the start
    batch[0] = after("e2e4", "e7e5")  # game 0 written again, White to move
    beliefs = BatchBeliefs(batch, True)
    # Game 0 is taken as known; game 1 has moved since it was written: its past is unknown.
    assert beliefs.following.tolist() == [True, False, True]
    assert len(beliefs[0]) == 1 and beliefs[0].keeps(batch[0])
    chosen = beliefs.choose(samples=1, depth=1)
    assert chosen[0] >= 0 and chosen[1] == -1 and chosen[2] == -1  # Black moves in game 2


@pytest.mark.parametrize("prepare, refused, message", [
    (lambda batch, beliefs, played: beliefs.update(played), lambda beliefs, played: beliefs.update(played),
     "already stands at ply 2, where the game is: the same update twice"),
    (lambda batch, beliefs, played: (batch.step_random(), batch.step_random()),
     lambda beliefs, played: beliefs.update(played), "stands at ply 0, the game at ply 4: an update .* was missed"),
    (lambda batch, beliefs, played: None, lambda beliefs, played: beliefs.choose(),
     "stands at ply 0, the game at ply 2: update\\(\\) it first"),
    (lambda batch, beliefs, played: None, lambda beliefs, played: beliefs.scores(),
     "stands at ply 0, the game at ply 2: update\\(\\) it first"),
])
def test_updates_missed_or_repeated_are_refused_and_change_nothing(prepare, refused, message):
    batch = GameBatch(2, seed=4)
    beliefs = BatchBeliefs(batch, True)
    played = batch.step_random().played_move.copy()  # White's first moves
    batch.step_random()
    prepare(batch, beliefs, played)
    kept = [tracked_keys(beliefs[i]) for i in range(2)]
    with pytest.raises(ValueError, match=f"^game 0: .*{message}"):
        refused(beliefs, played)
    assert [tracked_keys(beliefs[i]) for i in range(2)] == kept


def test_the_belief_agent_starts_honestly_in_the_environment_and_the_arena():
    pytest.importorskip("gymnasium")
    from murkplay_rl import arena
    from murkplay_rl.belief_agent import BeliefAgent
    from murkplay_rl.gym import FogChessEnv

    opponent = BeliefAgent(samples=1, depth=1)
    env = FogChessEnv(opponent=opponent, side="white")
    for seed in range(2):  # every reset makes a new batch, which the agent joins at ply 1
        env.reset(seed=seed)
        env.step(SelfPlayGame().action_index("e2e4"))
        assert len(opponent.beliefs[False][0]) == 20
    black = BeliefAgent(samples=1, depth=1, name="belief")
    arena.play_games(OpensE4(), black, 2, max_plies=2)
    assert [len(black.beliefs[False][i]) for i in range(2)] == [20, 20]


def test_the_belief_agent_refuses_a_batch_it_joins_too_late():
    from murkplay_rl.belief_agent import BeliefAgent

    batch = GameBatch(3, seed=1)
    for _ in range(2):
        batch.step_random()
    with pytest.raises(ValueError, match="^the belief agent first sees game 0 at ply 2: it cannot know"):
        BeliefAgent().act(batch.observe(), batch)


def tracker_after_e4_e5():
    tracker = BeliefTracker(SelfPlayGame(), True)
    return tracker, after("e2e4", "e7e5")


@pytest.mark.parametrize("call, error, message", [
    (lambda t, g: t.update(g, 2**70), ValueError,
     "played must be a move code from 0 to 65534, not 1180591620717411303424"),
    (lambda t, g: t.update(g, -1), ValueError, "played must be a move code from 0 to 65534, not -1"),
    (lambda t, g: t.update(g, np.int64(65000)), ValueError, "played: 65000 is not a move code"),
    (lambda t, g: t.update(g, True), TypeError, "played must be None, a move code or UCI text, not 'bool'"),
    (lambda t, g: t.update(g, np.uint16(murkplay_rl.move_code("d2d4"))), ValueError,
     "the side's pieces in this game do not follow from the move played: another move, the same update twice, or "
     "another game"),
    (lambda t, g: BatchBeliefs(GameBatch(1), True).choose(samples=65), ValueError,
     "samples must be from 1 to 64, not 65"),
    (lambda t, g: BatchBeliefs(GameBatch(1), True).choose(depth=6), ValueError, "depth must be from 1 to 5, not 6"),
    (lambda t, g: BatchBeliefs(GameBatch(1), True).choose(samples=2**70), ValueError,
     "samples must be from 1 to 64, not 1180591620717411303424"),
])
def test_refused_values_name_themselves_and_change_nothing(call, error, message):
    tracker, game = tracker_after_e4_e5()
    with pytest.raises(error) as raised:
        call(tracker, game)
    assert type(raised.value) is error and str(raised.value) == message
    assert len(tracker) == 1 and tracker.keeps(SelfPlayGame())
    # A move code as a Step holds it serves.
    tracker.update(game, np.uint16(murkplay_rl.move_code("e2e4")))
    assert tracker.keeps(game)


@pytest.mark.parametrize("options, error, message", [
    (dict(samples=0), ValueError, "samples must be from 1 to 64, not 0"),
    (dict(samples=65), ValueError, "samples must be from 1 to 64, not 65"),
    (dict(samples=True), TypeError, "samples must be an integer, not 'bool'"),
    (dict(depth=0), ValueError, "depth must be from 1 to 5, not 0"),
    (dict(depth="3"), TypeError, "depth must be an integer, not 'str'"),
    (dict(limit=1), ValueError, "limit must be from 2 to 4294967295, not 1"),
    (dict(seed=-1), ValueError, "seed must be from 0 to 18446744073709551615, not -1"),
    (dict(seed=2**64), ValueError, "seed must be from 0 to 18446744073709551615, not 18446744073709551616"),
    (dict(threads=0), ValueError, "threads must be from 1 to 256, not 0"),
    (dict(threads=1.0), TypeError, "threads must be an integer, not 'float'"),
    (dict(name=3), TypeError, "name must be a str, not 'int'"),
])
def test_the_belief_agent_refuses_bad_settings_where_they_are_given(options, error, message):
    from murkplay_rl.belief_agent import BeliefAgent

    with pytest.raises(error) as raised:
        BeliefAgent(**options)
    assert type(raised.value) is error and str(raised.value) == message


def test_the_belief_agent_takes_the_largest_seed():
    from murkplay_rl import arena
    from murkplay_rl.belief_agent import BeliefAgent

    result = arena.match(BeliefAgent(seed=2**64 - 1, samples=1, depth=1), "random", games=2, max_plies=20)
    assert result.games == 2


def test_the_belief_agent_takes_up_a_written_game_once_it_forgets_it():
    from murkplay_rl import agents
    from murkplay_rl.belief_agent import BeliefAgent

    agent = BeliefAgent(samples=1, depth=1)
    batch = GameBatch(2, seed=3)
    step = batch.observe()
    for _ in range(2):
        step = agents.play(agent, step, batch)  # White: the agent
        step = batch.step_random()  # Black: at random
    batch[0] = after("e2e4", "e7e5")
    with pytest.raises(ValueError, match="^game 0: the game stands at ply 0, before its belief \\(ply 2\\)"):
        agent.act(batch.observe(), batch)
    agent.forget([0])
    for _ in range(2):
        shown = [batch[i] for i in range(2)]
        agents.play(agent, batch.observe(), batch)
        assert agent.beliefs[True].following.all()
        assert all(agent.beliefs[True][i].keeps(shown[i]) for i in range(2))
        batch.step_random()
    # Taken up at the game written, which it is taken to know.
    assert len(agent.beliefs[True][0]) > 1


@pytest.mark.parametrize("fen, move, white, share", [
    ("k7/8/8/8/8/8/1r6/4K3 w - - 0 1", "e1d2", True, 1.0),  # onto the rook's rank
    ("k7/8/8/8/8/8/1r6/4K3 w - - 0 1", "e1f1", True, 0.0),
    ("4k3/8/8/8/8/8/8/r1R1K3 w - - 0 1", "c1c2", True, 1.0),  # the rook that shielded the king leaves the rank
    ("4k3/8/8/8/8/8/8/r1R1K3 w - - 0 1", "c1b1", True, 0.0),
    ("4k3/8/8/2B5/8/8/8/4K3 b - - 0 1", "e8d7", False, 0.0),
    ("4k3/8/8/2B5/8/8/8/4K3 b - - 0 1", "e8f8", False, 1.0),  # onto the bishop's diagonal
])
def test_the_loss_bench_counts_a_king_left_to_be_taken(fen, move, white, share):
    game = SelfPlayGame(fen)
    assert bench("belief")._exposure([game, game.clone()], move, white) == share
