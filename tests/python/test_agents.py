"""The built-in agents against a plain statement of their rules, computed on the reference model
from what the mover sees; and the invariance of their choices to the squares it does not see."""

import random

import numpy as np
import pytest

import murkplay_rl as rl
import reference_model as model
from murkplay import SelfPlayGame
from murkplay_rl import agents

VALUE = {model.PAWN: 1, model.KNIGHT: 3, model.BISHOP: 3, model.ROOK: 5, model.QUEEN: 9, model.KING: 100}
COPIES = 16  # games of one position in a batch: each draws its ties from its own stream


def gain(position, move):
    source, destination, _ = move
    taken = position.pieces[destination]
    if taken is not None:
        return VALUE[taken[1]]
    # A pawn moving aslant onto an empty square takes en passant.
    pawn = position.pieces[source][1] == model.PAWN
    return 1 if pawn and model.file_of(source) != model.file_of(destination) else 0


def known_board(position):
    known = position.copy()
    seen = position.visible_squares(position.side)
    known.pieces = [piece if square in seen else None for square, piece in enumerate(position.pieces)]
    return known


def attacks(position, square, target):
    colour, kind = position.pieces[square]
    if kind == model.PAWN:
        return target in position.pawn_diagonals(colour, square)
    return target in position.reach(square)


def safe(position, move):
    """No enemy piece the mover sees after the move, on the board it knows, attacks its king."""
    us = position.side
    if position.pieces[move[1]] == (1 - us, model.KING):
        return True
    after = known_board(position)
    after.play(*move)
    seen = after.visible_squares(us)
    kings = [square for square, piece in enumerate(after.pieces) if piece == (us, model.KING)]
    enemies = [square for square in seen if after.pieces[square] is not None and after.pieces[square][0] != us]
    return not any(attacks(after, enemy, king) for enemy in enemies for king in kings)


def allowed(position, rule):
    """The moves the rule may choose between; its random stream picks one of them."""
    moves = position.generate_moves()
    if rule == "random":
        return {model.uci_text(move) for move in moves}
    best = max(gain(position, move) for move in moves)
    tied = [move for move in moves if gain(position, move) == best]

    def rank(move):
        capturer = VALUE[position.pieces[move[0]][1]] if best else 0
        return (rule == "cautious" and safe(position, move)) * 1000 - capturer

    top = max(rank(move) for move in tied)
    return {model.uci_text(move) for move in tied if rank(move) == top}


def positions(seeds, plies):
    """(reference game, SelfPlayGame) pairs in the same position, along random games."""
    for seed in seeds:
        rng = random.Random(seed)
        reference, game = model.Game(), SelfPlayGame()
        for _ in range(plies):
            listed = game.legal_actions_uci()
            if game.is_terminal() or not listed:
                break
            yield reference, game
            move = rng.choice(listed)
            reference.apply(move)
            game.apply(move)


def chosen(games, rule, copies, seed=0):
    """The moves ``rule`` plays in ``copies`` copies of each game (each copy has a stream of its
    own), a list per game."""
    batch = rl.GameBatch([game for game in games for _ in range(copies)], seed=seed)
    step = batch.step(by=rule, observe=False)
    played = [rl.move_uci(int(code)) for code in step.played_move]
    return [played[k * copies : (k + 1) * copies] for k in range(len(games))]


def test_builtin_agents_choose_only_what_their_rule_allows():
    cases = [(reference.position.copy(), game.clone()) for reference, game in positions(range(20), 100)]
    choices = {rule: [allowed(position, rule) for position, _ in cases] for rule in agents.BUILTIN}
    for rule in agents.BUILTIN:
        picked = chosen([game for _, game in cases], rule, COPIES)
        for (position, _), mine, theirs in zip(cases, picked, choices[rule]):
            assert set(mine) <= theirs, (rule, position.matrix(), mine, theirs)
        # Ties are drawn from each game's own stream.
        spread = [len(set(mine)) > 1 for mine, theirs in zip(picked, choices[rule]) if len(theirs) > 1]
        assert sum(spread) > len(spread) / 2 > 100
    # The positions hold captures to prefer, and moves that leave the king attacked to avoid.
    assert sum(len(greedy) < len(every) for greedy, every in zip(choices["greedy"], choices["random"])) > 100
    assert sum(greedy != cautious for greedy, cautious in zip(choices["greedy"], choices["cautious"])) > 20


def test_cautious_plays_when_every_best_capture_is_unsafe():
    # Nxd6 is the only capture, and it opens the e-file to a rook the knight then sees.
    game = SelfPlayGame("4r2k/8/3p4/8/4N3/8/8/4K3 w - - 0 1")
    assert chosen([game], "cautious", 4) == [["e4d6"] * 4]


def fen_of(position):
    """FEN text of a reference position."""
    rows = []
    for rank in range(7, -1, -1):
        row, empty = "", 0
        for file in range(8):
            piece = position.pieces[model.square(file, rank)]
            if piece is None:
                empty += 1
                continue
            letter = model.KIND_LETTERS[piece[1]]
            row += (str(empty) if empty else "") + (letter.upper() if piece[0] == model.WHITE else letter)
            empty = 0
        rows.append(row + (str(empty) if empty else ""))
    castling = "".join(letter for colour, side, letter in (
        (model.WHITE, model.KING_SIDE, "K"), (model.WHITE, model.QUEEN_SIDE, "Q"),
        (model.BLACK, model.KING_SIDE, "k"), (model.BLACK, model.QUEEN_SIDE, "q"),
    ) if position.castling[colour] & side) or "-"
    target = position.en_passant_target(position.side)
    passant = "-" if target is None else model.square_name(target)
    return f"{'/'.join(rows)} {'wb'[position.side]} {castling} {passant} 0 1"


def changed_unseen(position, rng):
    """The position with one square the mover does not see changed, if one can be changed
    without changing what it sees or may play."""
    seen = position.visible_squares(position.side)
    unseen = [square for square in range(64) if square not in seen and position.pieces[square] != (
        1 - position.side, model.KING)]
    if not unseen:
        return None
    square = rng.choice(unseen)
    other = position.copy()
    if other.pieces[square] is None:
        other.pieces[square] = (1 - position.side, rng.choice((model.KNIGHT, model.ROOK, model.QUEEN)))
    else:
        other.pieces[square] = None
    if other.visible_squares(other.side) != seen or other.generate_moves() != position.generate_moves():
        return None
    try:
        SelfPlayGame(fen_of(position)), SelfPlayGame(fen_of(other))
    except ValueError:  # a king left en prise by the random game cannot be written as FEN
        return None
    return other


def test_a_square_the_mover_does_not_see_never_changes_its_choice():
    rng = random.Random(7)
    pairs = []
    for reference, _ in positions(range(20, 30), 80):
        other = changed_unseen(reference.position, rng)
        if other is not None:
            pairs.append((fen_of(reference.position), fen_of(other)))
    assert len(pairs) > 200
    for rule in agents.BUILTIN:
        one, two = ([SelfPlayGame(pair[k]) for pair in pairs] for k in (0, 1))
        assert chosen(one, rule, 4, seed=3) == chosen(two, rule, 4, seed=3), rule


def test_torch_agent_plays_masked_logits():
    torch = pytest.importorskip("torch")
    # Logits that favour one slot that is never legal: the batch must still play a legal move.
    favoured = torch.zeros(rl.ACTION_COUNT)
    favoured[0] = 50.0
    module = lambda observation: favoured.expand(len(observation), -1)  # noqa: E731
    for sample in (True, False):
        agent = agents.TorchAgent(module, sample=sample, name="fixed")
        batch = rl.GameBatch(8, seed=1)
        step = agents.play(agent, batch.observe(), batch)
        assert all(rl.move_uci(int(code)) in SelfPlayGame().legal_actions_uci() for code in step.played_move)
        if not sample:
            # All legal slots tie: the first listed move is played.
            assert set(step.played_move.tolist()) == {rl.move_code(SelfPlayGame().legal_actions_uci()[0])}


def test_load_resolves_every_kind_of_name(tmp_path, install_module):
    torch = pytest.importorskip("torch")
    from murkplay_rl.policy import policy_network

    assert agents.load("greedy") == agents.builtin("greedy")
    install_module("my_agents", make=lambda: agents.builtin("cautious"), wrong=lambda: 3)
    assert agents.load("my_agents:make") == agents.builtin("cautious")
    with pytest.raises(TypeError, match="^'my_agents:wrong' returned int, which is not an agent"):
        agents.load("my_agents:wrong")
    network = policy_network(hidden=8)
    path = tmp_path / "small.pt"
    agents.save_checkpoint(path, network, kwargs={"hidden": 8}, temperature=0.5)
    loaded = agents.load(str(path))
    assert (loaded.name, loaded.temperature, loaded.sample) == ("small", 0.5, True)
    observation = torch.rand(3, 64, 35)
    assert torch.equal(loaded.module(observation), network(observation))
    # The trainer's files are rebuilt by the trainer's loader.
    from murkplay_rl.network import NetworkConfig, PolicyValueNet

    config = NetworkConfig(channels=4, blocks=1, key=4)
    learner = PolicyValueNet(config)
    torch.save({"network": config.to_dict(), "model": learner.state_dict()}, tmp_path / "trained.pt")
    trained = agents.load(tmp_path / "trained.pt")
    assert trained.name == "trained"
    assert torch.equal(trained.module(observation), learner(observation))
    with pytest.raises(ValueError, match="names no agent"):
        agents.load("no such agent")
    torch.save({"model": {}}, tmp_path / "other.pt")
    with pytest.raises(ValueError, match="is not a checkpoint"):
        agents.load(str(tmp_path / "other.pt"))
