"""murkplay_fog_chess under OpenSpiel: its own checks, a lockstep with the native game, the
information each player has, and states drawn from a player's belief against a plain
enumeration of what it could know."""

import os
import pickle
import random
import subprocess
import sys

import numpy as np
import pytest

pyspiel = pytest.importorskip("pyspiel")

import murkplay_rl  # noqa: E402
import murkplay_rl.openspiel as mo  # noqa: E402
from murkplay import SelfPlayGame  # noqa: E402
from murkplay_rl.openspiel.belief import ResampleError  # noqa: E402
from test_belief import SMALL, brute_force_step, position_key, view  # noqa: E402

PROMOTIONS = "1n2k3/P6P/8/8/8/8/p6p/1N2K3 w - - 0 1"


def random_line(game, seed, plies=None):
    """The states of one random game, the first included."""
    rng = random.Random(seed)
    state = game.new_initial_state()
    states = [state]
    while not state.is_terminal() and (plies is None or len(state.history()) < plies):
        state = state.clone()
        state.apply_action(rng.choice(state.legal_actions()))
        states.append(state)
    return states


def placement(game):
    """The first two fields of a game's FEN, read from its board."""
    ranks = []
    for row in game.board:
        text = "".join("." if v == 0 else ("PNBRQK"[v - 1] if v > 0 else "pnbrqk"[-v - 1]) for v in row)
        for run in range(8, 0, -1):
            text = text.replace("." * run, str(run))
        ranks.append(text)
    return ["/".join(ranks), "w" if game.turn else "b"]


def sampler(seed):
    return random.Random(seed).random


# ------------------------------------------------------------------------------ the game

def test_registered_with_its_facts():
    game = pyspiel.load_game("murkplay_fog_chess", {"max_plies": 50})
    kind = game.get_type()
    assert (kind.dynamics, kind.information, kind.utility, kind.reward_model) == (
        pyspiel.GameType.Dynamics.SEQUENTIAL, pyspiel.GameType.Information.IMPERFECT_INFORMATION,
        pyspiel.GameType.Utility.ZERO_SUM, pyspiel.GameType.RewardModel.TERMINAL)
    assert (game.num_distinct_actions(), game.num_players(), game.max_game_length()) == (4352, 2, 50)
    assert (game.min_utility(), game.max_utility(), game.utility_sum()) == (-1.0, 1.0, 0.0)
    assert game.observation_tensor_shape() == [64, 35]
    assert "murkplay_fog_chess" in pyspiel.registered_names()


@pytest.mark.parametrize("params, error, text", [
    ({"max_plies": 0}, ValueError, "max_plies must be an integer from 1"),
    ({"belief_limit": 1}, ValueError, "belief_limit must be an integer from 2"),
    ({"fen": "8/8/8/8/8/8/8/8 w - - 0 1"}, ValueError, "fen '8/8/8/8/8/8/8/8 w - - 0 1' is not a start"),
    ({"max_plies": True}, pyspiel.SpielError, "max_plies"),
    ({"limit": 3}, pyspiel.SpielError, "Unknown parameter 'limit'"),
])
def test_refused_parameters_name_themselves(params, error, text):
    with pytest.raises(error, match=text):
        pyspiel.load_game("murkplay_fog_chess", params)
    with pytest.raises(error, match=text):
        mo.FogChessGame(params) if error is ValueError else pyspiel.load_game("murkplay_fog_chess", params)


@pytest.mark.parametrize("fen", [mo.game.START_FEN, PROMOTIONS, SMALL[1]])
def test_openspiel_random_simulation_with_serialization(fen):
    pyspiel.random_sim_test(mo.load_game(fen=fen, max_plies=40), num_sims=2, serialize=True, verbose=False)


@pytest.mark.parametrize("fen, seed", [(mo.game.START_FEN, 1), (PROMOTIONS, 2), (SMALL[2], 3)])
def test_lockstep_with_the_native_game(fen, seed):
    """Every state against a native game played along by apply_slot."""
    game = mo.load_game(fen=fen, max_plies=120)
    native = SelfPlayGame(fen)
    # Each side's observation is the one of its latest turn, the known start before its first.
    seen = [murkplay_rl.observe(native, viewer=side).ravel() for side in (True, False)]
    for state in random_line(game, seed):
        plies = len(state.history())
        if plies:
            murkplay_rl.apply_slot(native, state.history()[-1])
        assert str(state).split()[:2] == placement(native)  # __str__ is the true board's FEN
        ended = native.is_terminal() or plies == 120 or not native.legal_actions_uci()
        if not ended:
            seen[0 if native.turn else 1] = murkplay_rl.observe(native).ravel()
        for player in (0, 1):
            assert np.array_equal(state.observation_tensor(player), seen[player])
        assert state.is_terminal() == ended
        if ended:
            expected = [native.terminal_value(True), native.terminal_value(False)]
            assert state.returns() == state.rewards() == expected and sum(expected) == 0
            assert state.current_player() == pyspiel.PlayerId.TERMINAL and state.legal_actions() == []
            continue
        assert state.returns() == [0.0, 0.0]
        assert state.current_player() == (0 if native.turn else 1)
        moves = murkplay_rl.legal_moves(native)
        assert state.legal_actions() == sorted(set(moves.slots.tolist()))
        assert state.legal_actions() == state.legal_actions(state.current_player())
        assert state.legal_actions(1 - state.current_player()) == []
        assert np.array_equal(np.flatnonzero(state.legal_actions_mask()), state.legal_actions())
        for action in state.legal_actions():
            text = state.action_to_string(state.current_player(), action)
            # The slot plays the first listed move with it, and its text names that move.
            first = next(m for m, s in zip(moves.moves, moves.slots) if s == action)
            assert text == murkplay_rl.move_uci(int(first))
            assert state.string_to_action(text) == action


def test_the_slot_rule_plays_the_push_and_captures_sharing_it_are_no_actions():
    state = mo.load_game(fen="1n2k3/P7/8/8/8/8/8/4K3 w - - 0 1").new_initial_state()
    push = state.string_to_action("a7a8q")
    assert "a7b8q" in SelfPlayGame(str(state)).legal_actions_uci()
    assert state.action_to_string(0, push) == "a7a8q"
    with pytest.raises(pyspiel.SpielError, match="a7b8q"):
        state.string_to_action("a7b8q")
    state.apply_action(push)
    assert str(state).startswith("Qn2k3/")


def test_a_followed_capture_promotion_is_played_as_itself():
    state = mo.load_game(fen="1n2k3/P7/8/8/8/8/8/4K3 w - - 0 1").new_initial_state()
    push = state.string_to_action("a7a8q")
    state.follow_move(murkplay_rl.move_code("a7b8q"))
    assert str(state).startswith("1Q2k3/") and state.history() == [push]


@pytest.mark.parametrize("call, error, text", [
    (lambda s: s.follow_move(murkplay_rl.move_code("e2e5")), ValueError, "e2e5 is not a legal move at ply 0"),
    (lambda s: s.apply_action(5), ValueError, "no legal move has slot 5"),
    (lambda s: s.action_to_string(0, 4352), ValueError, "from 0 to 4351, not 4352"),
    (lambda s: s.observation_string(2), ValueError, "player must be 0 \\(White\\) or 1 \\(Black\\), not 2"),
    (lambda s: s.information_state_string(-1), ValueError, "not -1"),
    (lambda s: s.resample_from_infostate(7, sampler(0)), ValueError, "not 7"),
])
def test_refused_calls_name_what_is_wrong_and_change_nothing(call, error, text):
    state = mo.load_game().new_initial_state()
    before = (str(state), state.history())
    with pytest.raises(error, match=text):
        call(state)
    assert (str(state), state.history()) == before


def test_a_finished_game_refuses_moves():
    state = random_line(mo.load_game(max_plies=4), 0)[-1]
    assert state.is_terminal()
    with pytest.raises(ValueError, match="the game is over"):
        state._apply_action(796)


def test_clones_are_independent_and_cost_the_same_at_any_ply():
    line = random_line(mo.load_game(max_plies=200), 5)
    state = line[60]
    copy = state.clone()
    copy.apply_action(copy.legal_actions()[0])
    assert str(state) == str(line[60]) and state.history() == line[60].history()
    assert copy.history()[:-1] == state.history()
    # A clone copies a reference to the line, not the line.
    assert copy._at.parent is state._at


def test_serialized_and_pickled_states_come_back_whole():
    game = mo.load_game(max_plies=60)
    for state in random_line(game, 7)[::9]:
        text = state.serialize()
        again = game.deserialize_state(text)
        assert (str(again), again.history()) == (str(state), state.history())
        assert again.information_state_string(0) == state.information_state_string(0)
        _, cpp_again = pyspiel.deserialize_game_and_state(pyspiel.serialize_game_and_state(game, state))
        pickled = pickle.loads(pickle.dumps(state))
        assert str(cpp_again) == str(pickled) == str(state) and pickled.history() == state.history()
    assert str(pickle.loads(pickle.dumps(game))) == str(game)


@pytest.mark.parametrize("text, message", [
    ("", "does not begin with its history line"),
    (b"history=", "a serialized state is text, not bytes"),
    ("history=0:796,1:9999\nmove_number=2\n__dict__=", "1:9999 is not a legal action at ply 1"),
    ("history=1:796\nmove_number=1\n__dict__=", "1:796 is not a legal action at ply 0"),
])
def test_deserializing_refuses_what_no_game_reaches(text, message):
    with pytest.raises(TypeError if isinstance(text, bytes) else ValueError, match=message):
        mo.load_game().deserialize_state(text)


def test_deserializing_never_unpickles(tmp_path):
    import base64

    marker = tmp_path / "marker"

    class Payload:
        def __reduce__(self):
            return (os.system, (f"touch {marker}",))

    crafted = "history=0:796\nmove_number=1\n__dict__=" + base64.b64encode(pickle.dumps({"x": Payload()})).decode()
    state = mo.load_game().deserialize_state(crafted)
    assert state.history() == [796] and not marker.exists()


# ------------------------------------------------------------------------------ what players know

def infostates(fen, *lines):
    """Each player's information state after each line of UCI moves from fen."""
    game = mo.load_game(fen=fen)
    result = []
    for moves in lines:
        state = game.new_initial_state()
        for move in moves:
            state.apply_action(state.string_to_action(move))
        result.append([state.information_state_string(player) for player in (0, 1)])
    return result


def test_an_unseen_move_leaves_the_other_side_knowing_the_same():
    (white_a, black_a), (white_b, black_b), (white_c, _) = infostates(
        mo.game.START_FEN, ["e2e4", "b7b6", "g1f3"], ["e2e4", "g7g6", "g1f3"], ["e2e4", "e7e5", "g1f3"])
    assert white_a == white_b != white_c  # e5 is in front of White's pawn
    assert black_a != black_b  # Black knows its own moves


def test_a_side_sees_nothing_new_until_its_turn():
    """After its own move a side's observation stays the one of its turn, which its information
    state holds; it changes at the side's next turn."""
    state = mo.load_game().new_initial_state()
    before = state.observation_string(0)
    state.apply_action(state.string_to_action("e2e4"))  # the bishop on f1 would now see a6
    assert state.observation_string(0) == before
    assert np.array_equal(state.observation_tensor(0), murkplay_rl.observe(SelfPlayGame()).ravel())
    state.apply_action(state.string_to_action("b8c6"))
    assert state.observation_string(0) != before


def test_each_side_knows_its_own_moves_and_views_only():
    game = mo.load_game(max_plies=40)
    for state in random_line(game, 3):
        for player in (0, 1):
            lines = state.information_state_string(player).splitlines()
            moves = [line for line in lines if len(line) in (4, 5)]
            history = state.full_history()
            # The player's own moves, as text, in the order it played them.
            replay = game.new_initial_state()
            mine = []
            for entry in history:
                if entry.player == player:
                    mine.append(replay.action_to_string(entry.player, entry.action))
                replay.apply_action(entry.action)
            assert moves == mine
            assert state.information_state_string(player) == state.clone().information_state_string(player)


@pytest.mark.parametrize("kind, expected", [
    (dict(perfect_recall=False), lambda s, p: s.observation_string(p)),
    (dict(perfect_recall=True), lambda s, p: s.information_state_string(p)),
    (dict(perfect_recall=False, public_info=True, private_info=pyspiel.PrivateInfoType.NONE),
     lambda s, p: f"ply {len(s.history())}"),
    (dict(perfect_recall=False, public_info=True, private_info=pyspiel.PrivateInfoType.ALL_PLAYERS),
     lambda s, p: str(s)),
])
def test_observers_of_each_kind(kind, expected):
    from open_spiel.python.observation import make_observation

    game = mo.load_game(max_plies=30)
    observation = make_observation(game, pyspiel.IIGObservationType(**kind))
    for state in random_line(game, 11)[:-1]:
        for player in (0, 1):
            assert observation.string_from(state, player) == expected(state, player)
            if observation.tensor is not None:
                observation.set_from(state, player)
                assert np.array_equal(observation.tensor, state.observation_tensor(player))


# ------------------------------------------------------------------------------ drawn states

def drawn(state, player, seed):
    """A state drawn from the player's belief, played again from its history, so that what it
    shows each player is worked out afresh."""
    other = state.resample_from_infostate(player, sampler(seed))
    again = other.get_game().deserialize_state(other.serialize())
    assert str(again) == str(other) and again.history() == other.history()
    return again


@pytest.mark.parametrize("fen", [*SMALL, mo.game.START_FEN])
@pytest.mark.parametrize("side", [True, False])
def test_drawn_states_are_positions_the_player_cannot_rule_out(fen, side):
    """Against an enumeration of every position consistent with what the side has seen."""
    player = 0 if side else 1
    game = mo.load_game(fen=fen, max_plies=14)
    for seed in range(3):
        state = game.new_initial_state()
        candidates, played = [SelfPlayGame(fen)], None
        rng = random.Random(f"{fen} {side} {seed}")
        while not state.is_terminal() and len(candidates) <= 60:
            if state.current_player() == player:
                keys = {position_key(c) for c in candidates}
                draws = [drawn(state, player, 100 * seed + k) for k in range(24)]
                for other in draws:
                    assert other.information_state_string(player) == state.information_state_string(player)
                    assert other.current_player() == player and other.legal_actions() == state.legal_actions()
                    assert position_key(other._at.game) in keys
                if len(keys) <= 3:
                    assert {position_key(other._at.game) for other in draws} == keys
            action = rng.choice(state.legal_actions())
            if state.current_player() == player:
                played = state.action_to_string(player, action)
            state.apply_action(action)
            native = state._at.game
            if not state.is_terminal() and state.current_player() == player:
                candidates = brute_force_step(candidates, played, view(native, side), side)


def test_drawing_at_every_ply_for_both_players_and_from_drawn_states():
    game = mo.load_game(max_plies=16)
    for state in random_line(game, 21):
        for player in (0, 1):
            other = drawn(state, player, len(state.history()))
            assert other.information_state_string(player) == state.information_state_string(player)
            assert other.current_player() == state.current_player()
            assert other.is_terminal() == state.is_terminal() and other.returns() == state.returns()
            further = drawn(other, player, 1)
            assert further.information_state_string(player) == state.information_state_string(player)
            # The drawn line goes on: play a few moves and draw again, for the opponent too.
            if not other.is_terminal():
                other.apply_action(other.legal_actions()[0])
                for who in (0, 1):
                    assert drawn(other, who, 2).information_state_string(who) == other.information_state_string(who)


def test_a_player_whose_king_was_taken_draws_worlds_where_it_could_be():
    # White cannot tell where the knight went, except that at the end it took the king.
    state = mo.load_game(fen="4k3/8/8/8/1n6/8/8/R3K3 b - - 0 1").new_initial_state()
    for move in ("b4d3", "a1a2", "d3e1"):
        state.apply_action(state.string_to_action(move))
    assert state.is_terminal() and state.returns() == [-1.0, 1.0]
    assert len(state.belief(0).up_to(state._at)[-1].keys) > 1
    for seed in range(12):
        other = drawn(state, 0, seed)
        assert other.returns() == [-1.0, 1.0]
        assert other.information_state_string(0) == state.information_state_string(0)


def test_draws_are_reproducible_and_use_the_sampler():
    state = random_line(mo.load_game(), 4, plies=16)[-1]
    assert drawn(state, 0, 9).history() == drawn(state, 0, 9).history()
    histories = {tuple(drawn(state, 0, seed).history()) for seed in range(40)}
    assert len(histories) > 1
    # The sampler's numbers make the choices: an always-zero sampler draws the first of each.
    first = state.resample_from_infostate(0, lambda: 0.0)
    assert first.history() == state.resample_from_infostate(0, lambda: 0.0).history()


def test_a_belief_that_lost_every_reachable_position_says_so():
    game = mo.load_game(belief_limit=2, max_plies=80)
    for seed in range(40):
        for state in random_line(game, seed):
            for player in (0, 1):
                try:
                    drawn(state, player, 0)
                except ResampleError as error:
                    assert "is reached by the game's actions" in str(error)
                    assert state.belief(player)._tracked().regenerated or state.belief(player)._tracked().sampling
                    return
    pytest.fail("no belief of limit 2 lost its positions in 40 random games")


# ------------------------------------------------------------------------------ bots and agents

def test_ismcts_and_mcts_play_full_games_through_evaluate_bots():
    from open_spiel.python.algorithms import evaluate_bots, mcts

    game = mo.load_game(max_plies=30)
    ismcts = mo.ismcts_bot(game, simulations=8, seed=1)
    perfect = mcts.MCTSBot(game, 2.0, 8, mo.bots.RolloutEvaluator(), random_state=np.random.RandomState(0))
    for bots in ([ismcts, mo.AgentBot("greedy")], [perfect, ismcts], [mo.AgentBot("belief"), mo.AgentBot("random")]):
        returns = evaluate_bots.evaluate_bots(game.new_initial_state(), bots, np.random.RandomState(0))
        assert sum(returns) == 0 and returns[0] in (-1.0, 0.0, 1.0)


def test_an_openspiel_bot_is_rated_in_the_arena():
    from murkplay_rl import arena

    game = mo.load_game(max_plies=20, belief_limit=500)
    agent = mo.BotAgent(mo.ismcts_bot(game, simulations=4, seed=3), name="ismcts-4", game=game)
    played = arena.tournament([agent, "random", "greedy"], games=2, max_plies=20)
    assert played.names == ["ismcts-4", "random", "greedy"]
    assert sum(m.games for m in played.matches) == 6 and agent.fallbacks == 0
    assert np.isfinite(played.ratings.elo).all()


def test_a_bot_agent_plays_what_its_bot_chose_on_a_drawn_state():
    """A bot that records the states it is shown and plays their first action."""
    game = mo.load_game(max_plies=20, belief_limit=500)
    shown = []

    class First(pyspiel.Bot):
        def __init__(self):
            pyspiel.Bot.__init__(self)

        def step(self, state):
            shown.append(state)
            return state.legal_actions()[0]

    agent = mo.BotAgent(First(), game=game)
    batch = murkplay_rl.GameBatch(3, max_plies=20, seed=0)
    step = batch.observe()
    truth = [game.new_initial_state() for _ in range(3)]
    while not (step.terminated.any() or step.truncated.any()):
        shown.clear()
        by, slots = agent.act(step, batch)
        assert len(shown) == 3
        for i, seen in enumerate(shown):
            assert seen.information_state_string(0) == truth[i].information_state_string(0)
            assert slots[i] == seen.legal_actions()[0]
            truth[i].apply_action(int(slots[i]))
        step = batch.step(slots, by=by, reply="greedy")
        for i in range(3):
            truth[i].apply_action(truth[i].string_to_action(murkplay_rl.move_uci(int(step.reply_move[i]))))
        assert all(int(step.plies[i]) == len(truth[i].history()) for i in range(3))


def test_a_bot_agent_refuses_a_batch_it_did_not_see_start():
    batch = murkplay_rl.GameBatch(2, seed=0)
    batch.step_random()
    step = batch.step_random()
    agent = mo.BotAgent(mo.ismcts_bot(simulations=2))
    with pytest.raises(ValueError, match="must see the batch's games from their start"):
        agent.act(step, batch)


def test_a_bot_agent_whose_move_was_not_played_says_so():
    batch = murkplay_rl.GameBatch(2, seed=0)
    agent = mo.BotAgent(mo.ismcts_bot(simulations=2))
    _, slots = agent.act(batch.observe(), batch)
    other = [s for s in murkplay_rl.legal_moves(batch[0]).slots.tolist() if s != slots[0]][0]
    step = batch.step([other, slots[1]], by="slot", reply="greedy")
    with pytest.raises(ValueError, match="lost track of game 0: the batch played"):
        agent.act(step, batch)


def test_a_lost_belief_falls_back_to_the_builtin_agent():
    game = mo.load_game(belief_limit=2, max_plies=60)
    agent = mo.BotAgent(mo.ismcts_bot(game, simulations=2), game=game, fallback="random")
    from murkplay_rl import arena

    arena.match(agent, "random", games=4, max_plies=60)
    assert agent.fallbacks > 0


@pytest.mark.parametrize("make, error, text", [
    (lambda: mo.BotAgent(mo.ismcts_bot(simulations=2), fallback="belief"), ValueError, "fallback must be one of"),
    (lambda: mo.bots.RolloutEvaluator(agent="belief"), ValueError, "agent must be one of"),
    (lambda: mo.bots.RolloutEvaluator(plies=-1), ValueError, "plies must be a non-negative integer"),
    (lambda: mo.bots.RolloutEvaluator(scale=0), ValueError, "scale must be positive"),
    (lambda: mo.AgentBot("nobody"), ValueError, "names no agent"),
])
def test_refused_bot_arguments(make, error, text):
    with pytest.raises(error, match=text):
        make()


def test_missing_openspiel_names_the_extra():
    code = ("import sys; sys.modules['pyspiel'] = None\n"
            "try:\n    import murkplay_rl.openspiel\nexcept ImportError as e:\n    print(type(e).__name__, e)")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == ('MissingExtra the OpenSpiel game needs pyspiel, which is not installed: '
                                     'pip install "murkplay[openspiel]"')
