// The methods and properties of SelfPlayGame: match the arguments, take the borrow, convert
// the arguments, run the game logic, build the result.
#include <cstddef>

#include "encode/action_index.hpp"
#include "encode/observation.hpp"
#include "game/apply.hpp"
#include "game/game_end.hpp"
#include "game/movegen.hpp"
#include "game/readouts.hpp"
#include "python/arguments.hpp"
#include "python/conversions.hpp"
#include "python/errors.hpp"
#include "python/method_table.hpp"
#include "python/game_object.hpp"

namespace murkplay::python {

namespace {

constexpr Signature constructor_signature{"SelfPlayGame.__new__", {"board", false}};
constexpr Signature apply_signature{"SelfPlayGame.apply", {"action", true}};
constexpr Signature terminal_value_signature{"SelfPlayGame.terminal_value", {"player_is_white", true}};
constexpr Signature encode_signature{"SelfPlayGame.encode", {"oracle", false}};
constexpr Signature encode_flattened_signature{"SelfPlayGame.encode_flattened", {"oracle", false}};
constexpr Signature action_index_signature{"SelfPlayGame.action_index", {"action", true}};

PyObject* game_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Matched board_argument = nullptr;
    if (!match_arguments(constructor_signature, args, kwargs, board_argument)) return nullptr;
    Game game;
    if (!game_from_position(board_argument, board_refusal, "Invalid FEN string", game)) return nullptr;
    return new_game_object(type, game);
}

void game_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* boolean(bool value) { return Py_NewRef(value ? Py_True : Py_False); }

// The action as a move: text through `uci` when needed, then the UCI reader.
bool move_from_action(PyObject* action, BoardMove& move) {
    Text text;
    if (!text_from_argument(action, "uci", action_refusal, text)) return false;
    const Result<BoardMove> parsed = parse_uci_move(text.bytes);
    if (!parsed) {
        PyErr_SetString(PyExc_ValueError, "Invalid UCI move");
        return false;
    }
    move = *parsed;
    return true;
}

PyObject* refuse_move(const Board& board, const BoardMove& move, MoveRefusal refusal) {
    const UciText uci = format_uci_move(move);
    const char* text = uci.chars.data();
    const auto square = format_square(refusal == MoveRefusal::OwnPieceOnDestination ? move.destination : move.source);
    const char* side = board.side_to_move == Color::White ? "White" : "Black";
    switch (refusal) {
        case MoveRefusal::EmptySource:
            return PyErr_Format(PyExc_ValueError, "Cannot apply %s: there is no piece on %c%c",
                                text, square[0], square[1]);
        case MoveRefusal::NotMoversPiece:
            return PyErr_Format(PyExc_ValueError, "Cannot apply %s: the piece on %c%c is not %s's",
                                text, square[0], square[1], side);
        case MoveRefusal::OwnPieceOnDestination:
            return PyErr_Format(PyExc_ValueError, "Cannot apply %s: %c%c holds one of %s's own pieces",
                                text, square[0], square[1], side);
    }
    return internal_failure("unknown move refusal");
}

PyObject* get_turn(PyObject* self, void*) {
    return with_game<Access::Shared>(self, [](const Game& g) { return boolean(g.board.side_to_move == Color::White); });
}

PyObject* current_player(PyObject* self, PyObject*) { return get_turn(self, nullptr); }

PyObject* get_board(PyObject* self, void*) {
    return with_game<Access::Shared>(self, [](const Game& g) -> PyObject* {
        const PieceMatrix matrix = piece_matrix(g.board);
        Ref rows(PyList_New(8));
        if (!rows) return internal_failure("could not create a list");
        for (std::size_t r = 0; r < matrix.size(); ++r) {
            Ref row(PyList_New(8));
            if (!row) return internal_failure("could not create a list");
            for (std::size_t f = 0; f < matrix[r].size(); ++f) {
                PyObject* value = PyLong_FromLong(matrix[r][f]);
                if (value == nullptr) return internal_failure("could not create an int");
                PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(f), value);
            }
            PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(r), row.release());
        }
        return rows.release();
    });
}

PyObject* castle_eligible(PyObject* self, PyObject*) {
    return with_game<Access::Shared>(self, [](const Game& g) -> PyObject* {
        const CastleEligibility rights = murkplay::castle_eligible(g.board);
        PyObject* result = PyTuple_Pack(2, rights.king_side ? Py_True : Py_False, rights.queen_side ? Py_True : Py_False);
        return result != nullptr ? result : internal_failure("could not create a tuple");
    });
}

PyObject* clone(PyObject* self, PyObject*) {
    return with_game<Access::Shared>(self, [self](const Game& g) { return new_game_object(Py_TYPE(self), g); });
}

PyObject* legal_actions(PyObject* self, PyObject*) {
    return with_game<Access::Shared>(self, [](const Game& g) -> PyObject* {
        Ref chess = import_optional("chess", "python-chess is required for legal_actions()");
        if (!chess) return nullptr;
        Ref move_class(PyObject_GetAttrString(chess.get(), "Move"));
        if (!move_class) return nullptr;
        Ref from_uci(PyObject_GetAttrString(move_class.get(), "from_uci"));
        if (!from_uci) return nullptr;
        MoveList moves;
        generate_moves(g.board, moves);
        return make_move_objects(from_uci.get(), moves).release();
    });
}

PyObject* legal_actions_uci(PyObject* self, PyObject*) {
    return with_game<Access::Shared>(self, [](const Game& g) {
        MoveList moves;
        generate_moves(g.board, moves);
        return make_uci_strings(moves).release();
    });
}

PyObject* apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Matched action = nullptr;
    if (!match_arguments(apply_signature, args, nargs, kwnames, action)) return nullptr;
    return with_game<Access::Exclusive>(self, [action](Game& g) -> PyObject* {
        BoardMove move;
        if (!move_from_action(action, move)) return nullptr;
        const auto applied = apply_move(g, move);
        if (!applied) return refuse_move(g.board, move, applied.error());
        Py_RETURN_NONE;
    });
}

PyObject* is_terminal(PyObject* self, PyObject*) {
    return with_game<Access::Shared>(self, [](const Game& g) { return boolean(murkplay::is_terminal(g)); });
}

PyObject* terminal_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Matched player = nullptr;
    if (!match_arguments(terminal_value_signature, args, nargs, kwnames, player)) return nullptr;
    return with_game<Access::Shared>(self, [player](const Game& g) -> PyObject* {
        const int white = bool_argument(terminal_value_signature, player, false);
        if (white < 0) return nullptr;
        const float value = murkplay::terminal_value(g, white ? Color::White : Color::Black);
        PyObject* result = PyFloat_FromDouble(static_cast<double>(value));
        return result != nullptr ? result : internal_failure("could not create a float");
    });
}

// Both encoders: the observation, handed over by `make_result`.
template <typename MakeResult>
PyObject* encode_with(const Signature& signature, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, MakeResult make_result) {
    Matched oracle = nullptr;
    if (!match_arguments(signature, args, nargs, kwnames, oracle)) return nullptr;
    return with_game<Access::Shared>(self, [&](const Game& g) -> PyObject* {
        const int use_oracle = bool_argument(signature, oracle, false);
        if (use_oracle < 0) return nullptr;
        Observation observation;
        build_observation(g, use_oracle == 1, observation);
        return make_result(observation).release();
    });
}

PyObject* encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return encode_with(encode_signature, self, args, nargs, kwnames, [](const Observation& observation) {
        return make_tensor(observation, observation_features);
    });
}

PyObject* encode_flattened(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return encode_with(encode_flattened_signature, self, args, nargs, kwnames,
                       [](const Observation& observation) { return make_float_list(observation); });
}

PyObject* action_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Matched action = nullptr;
    if (!match_arguments(action_index_signature, args, nargs, kwnames, action)) return nullptr;
    return with_game<Access::Shared>(self, [action](const Game& g) -> PyObject* {
        BoardMove move;
        if (!move_from_action(action, move)) return nullptr;
        const std::optional<int> found = murkplay::action_index(g.board.side_to_move, move);
        if (!found) {
            PyErr_Format(PyExc_ValueError, "Unsupported promotion piece: %s",
                         move.promotion == PieceKind::Pawn ? "Pawn" : "King");
            return nullptr;
        }
        PyObject* result = PyLong_FromLong(*found);
        return result != nullptr ? result : internal_failure("could not create an int");
    });
}

constexpr int fast_flags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"castle_eligible", castle_eligible, METH_NOARGS, "castle_eligible($self)\n--\n\n"},
    {"clone", clone, METH_NOARGS, "clone($self)\n--\n\n"},
    {"current_player", current_player, METH_NOARGS, "current_player($self)\n--\n\n"},
    {"legal_actions", legal_actions, METH_NOARGS, "legal_actions($self)\n--\n\n"},
    {"legal_actions_uci", legal_actions_uci, METH_NOARGS, "legal_actions_uci($self)\n--\n\n"},
    {"apply", as_table_entry<apply>(), fast_flags, "apply($self, action)\n--\n\n"},
    {"is_terminal", is_terminal, METH_NOARGS, "is_terminal($self)\n--\n\n"},
    {"terminal_value", as_table_entry<terminal_value>(), fast_flags, "terminal_value($self, player_is_white)\n--\n\n"},
    {"encode", as_table_entry<encode>(), fast_flags, "encode($self, oracle=False)\n--\n\n"},
    {"encode_flattened", as_table_entry<encode_flattened>(), fast_flags, "encode_flattened($self, oracle=False)\n--\n\n"},
    {"action_index", as_table_entry<action_index>(), fast_flags, "action_index($self, action)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"turn", get_turn, nullptr, nullptr, nullptr},
    {"board", get_board, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("SelfPlayGame(board=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(game_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(game_dealloc)},
    {Py_tp_getset, properties},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec game_type_spec = {
    .name = "builtins.SelfPlayGame",
    .basicsize = static_cast<int>(sizeof(GameObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = slots,
};

}  // namespace murkplay::python
