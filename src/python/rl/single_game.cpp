#include "python/rl/single_game.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "encode/legal_slots.hpp"
#include "encode/move_code.hpp"
#include "encode/observation.hpp"
#include "encode/observation_codes.hpp"
#include "game/apply.hpp"
#include "game/game_codec.hpp"
#include "python/errors.hpp"
#include "python/method_table.hpp"
#include "python/game_object.hpp"
#include "python/rl/arrays.hpp"
#include "python/rl/records.hpp"
#include "python/rl/state.hpp"

namespace murkplay::python::rl {

namespace {

constexpr RecordField legal_moves_fields[] = {
    {"moves", "uint16: the legal moves as move codes, in the order of legal_actions_uci()"},
    {"slots", "int64: the policy slot (action_index) of each move"},
    {"mask", "bool (4352,): True at every legal slot"},
};

constexpr RecordField codes_fields[] = {
    {"codes", "uint8 (64, 2): each cell's seen code (the feature set among 0-13) and remembered code (the feature "
              "set among 14-26, less 14)"},
    {"ages", "uint16 (64,): each cell's age in turns; feature 27 is 1 / (age + 1)"},
    {"shared", "uint8 (7,): the castling flags (king side, queen side), then the opponent's pawns, knights, bishops, "
               "rooks and queens on the board"},
};

// None for the side to move, True for White, False for Black.
bool read_viewer(PyObject* viewer, const Game& game, Color& out) {
    if (viewer == nullptr || viewer == Py_None) {
        out = game.board.side_to_move;
    } else if (PyBool_Check(viewer)) {
        out = viewer == Py_True ? Color::White : Color::Black;
    } else {
        PyErr_Format(PyExc_TypeError, "viewer must be None (the side to move), True (White) or False (Black), not '%s'",
                     Py_TYPE(viewer)->tp_name);
        return false;
    }
    return true;
}

// The observation as codes into the caller's Codes record, or new arrays.
PyObject* observe_codes(const State& state, PyObject* game, PyObject* out, bool oracle, PyObject* viewer) {
    std::array<Ref, std::size(codes_fields)> given;
    if (!offered_arrays(out, codes_fields, given, state.codes_type)) return nullptr;
    struct Spec {
        Element element;
        std::initializer_list<Py_ssize_t> shape;
    };
    const Spec specs[] = {{Element::UInt8, {64, cell_code_count}}, {Element::UInt16, {64}},
                          {Element::UInt8, {shared_value_count}}};
    std::array<ArrayView, std::size(codes_fields)> views;
    std::array<Ref, std::size(codes_fields)> arrays;
    for (std::size_t f = 0; f < arrays.size(); ++f) {
        const std::string name = std::string("out.") + codes_fields[f].name;
        arrays[f] = output_array(given[f].get(), name.c_str(), specs[f].element, specs[f].shape, views[f]);
        if (!arrays[f]) return nullptr;
    }
    const Extent extents[] = {views[0].extent(), views[1].extent(), views[2].extent()};
    if (!check_apart(extents)) return nullptr;
    return with_game<Access::Shared>(game, [&](const Game& g) -> PyObject* {
        Color seen_by = g.board.side_to_move;
        if (!read_viewer(viewer, g, seen_by)) return nullptr;
        build_observation_codes(g, seen_by, oracle,
                                observation_codes_at(views[0].data<std::uint8_t>(), views[1].data<std::uint16_t>(),
                                                     views[2].data<std::uint8_t>(), 0));
        return make_record(state.codes_type, arrays).release();
    });
}

PyObject* observe(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"game", "out", "oracle", "viewer", "codes", nullptr};
    PyObject* game = nullptr;
    PyObject* out = nullptr;
    PyObject* oracle_flag = nullptr;
    PyObject* viewer = nullptr;
    PyObject* codes_flag = nullptr;
    bool oracle = false;
    bool codes = false;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$OOO:observe", const_cast<char**>(keywords), &game, &out,
                                     &oracle_flag, &viewer, &codes_flag) ||
        !read_flag(oracle_flag, "oracle", oracle) || !read_flag(codes_flag, "codes", codes)) {
        return nullptr;
    }
    const State& state = state_of(module);
    if (!check_game(state, game, "game")) return nullptr;
    if (codes) return observe_codes(state, game, out, oracle, viewer);
    ArrayView view;
    Ref array = output_array(out, "out", Element::Float32, {64, observation_features}, view);
    if (!array) return nullptr;
    return with_game<Access::Shared>(game, [&](const Game& g) -> PyObject* {
        Color seen_by = g.board.side_to_move;
        if (!read_viewer(viewer, g, seen_by)) return nullptr;
        build_observation(g, seen_by, oracle, std::span<float, observation_size>(view.data<float>(), observation_size));
        return array.release();
    });
}

PyObject* legal_moves(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"game", "mask", nullptr};
    PyObject* game = nullptr;
    PyObject* mask = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:legal_moves", const_cast<char**>(keywords), &game, &mask)) {
        return nullptr;
    }
    const State& state = state_of(module);
    if (!check_game(state, game, "game")) return nullptr;
    ArrayView mask_view;
    Ref mask_array = output_array(mask, "mask", Element::Byte, {action_count}, mask_view);
    if (!mask_array) return nullptr;
    MoveList listed;
    Color side = Color::White;
    {
        const BorrowGuard guard(as_game(game)->borrow, Access::Shared);
        if (!guard) return nullptr;
        generate_moves(as_game(game)->game.board, listed);
        side = as_game(game)->game.board.side_to_move;
    }
    const auto count = static_cast<Py_ssize_t>(listed.size());
    ArrayView moves_view;
    ArrayView slots_view;
    Ref moves(new_array(Element::UInt16, {count}, moves_view));
    if (!moves) return nullptr;
    Ref slots(new_array(Element::Int64, {count}, slots_view));
    if (!slots) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        moves_view.data<MoveCode>()[i] = move_code(listed[static_cast<std::size_t>(i)]);
        slots_view.data<std::int64_t>()[i] = slot_of(side, listed[static_cast<std::size_t>(i)]);
    }
    write_slot_mask(side, listed, mask_view.data<std::uint8_t>());
    Ref items[] = {std::move(moves), std::move(slots), std::move(mask_array)};
    return make_record(state.legal_moves_type, items).release();
}

PyObject* apply_slot(PyObject* module, PyObject* args) {
    PyObject* game = nullptr;
    PyObject* slot_object = nullptr;
    std::uint64_t chosen = 0;
    if (!PyArg_ParseTuple(args, "OO:apply_slot", &game, &slot_object) || !check_game(state_of(module), game, "game") ||
        !read_integer(slot_object, "slot", 0, action_count - 1, chosen)) {
        return nullptr;
    }
    const auto slot = static_cast<int>(chosen);
    return with_game<Access::Exclusive>(game, [&](Game& g) -> PyObject* {
        MoveList listed;
        generate_moves(g.board, listed);
        const auto found = first_with_slot(g.board.side_to_move, listed, slot);
        if (!found) return PyErr_Format(PyExc_ValueError, "no legal move has slot %d", slot);
        const BoardMove move = listed[*found];
        // A listed move is always playable.
        if (!apply_move(g, move).ok()) return internal_failure("a listed move was refused");
        return PyLong_FromLong(move_code(move));
    });
}

PyObject* move_uci(PyObject*, PyObject* code) {
    std::uint64_t value = 0;
    if (!read_integer(code, "code", 0, no_move - 1, value)) return nullptr;
    const auto move = move_of_code(static_cast<MoveCode>(value));
    if (!move) return PyErr_Format(PyExc_ValueError, "%llu is not a move code", static_cast<unsigned long long>(value));
    const UciText text = format_uci_move(*move);
    return PyUnicode_FromStringAndSize(text.chars.data(), text.length);
}

PyObject* move_code_of(PyObject*, PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
    if (data == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "uci must be UCI text, not '%s'", Py_TYPE(text)->tp_name);
        return nullptr;
    }
    const Result<BoardMove> move = parse_uci_move(std::string_view(data, static_cast<std::size_t>(size)));
    if (!move) return PyErr_Format(PyExc_ValueError, "Invalid UCI move");
    return PyLong_FromLong(move_code(*move));
}

PyObject* restore_game(PyObject* module, PyObject* payload) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!PyBytes_Check(payload)) {
        return PyErr_Format(PyExc_ValueError, "a pickled game is bytes, not '%s'", Py_TYPE(payload)->tp_name);
    }
    if (PyBytes_AsStringAndSize(payload, &data, &size) < 0) return nullptr;
    const std::optional<Game> game =
        read_game_bytes(std::span(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)));
    if (!game) return PyErr_Format(PyExc_ValueError, "not a pickled SelfPlayGame of this version, or a damaged one");
    return new_game_object(reinterpret_cast<PyTypeObject*>(state_of(module).game_type), *game);
}

}  // namespace

bool check_game(const State& state, PyObject* object, const char* name) {
    if (Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(state.game_type)) return true;
    PyErr_Format(PyExc_TypeError, "%s must be a murkplay.SelfPlayGame, not '%s'", name, Py_TYPE(object)->tp_name);
    return false;
}

PyMethodDef single_game_functions[] = {
    {"observe", as_table_entry<observe>(), METH_VARARGS | METH_KEYWORDS,
     "observe(game, out=None, *, oracle=False, viewer=None, codes=False)\n--\n\n"
     "The observation of a game as a float32 (64, 35) array, value for value encode_flattened().\n\n"
     "out is a writable C-contiguous float32 (64, 35) array to fill and return (a numpy array, or a\n"
     "torch tensor's .numpy()). viewer None is the side to move; True or False asks for White's or\n"
     "Black's own view of the current board, with its memory as of its last turn.\n"
     "codes=True returns the same observation as codes instead, a Codes(codes, ages, shared) of\n"
     "arrays; out is then a Codes record (or any object naming those arrays) to fill."},
    {"legal_moves", as_table_entry<legal_moves>(), METH_VARARGS | METH_KEYWORDS,
     "legal_moves(game, mask=None)\n--\n\n"
     "The legal moves of a game as arrays: LegalMoves(moves, slots, mask). mask may be the caller's\n"
     "bool, int8 or uint8 (4352,) array."},
    {"apply_slot", apply_slot, METH_VARARGS,
     "apply_slot(game, slot, /)\n--\n\n"
     "Plays the first legal move, in the order of legal_actions_uci(), whose policy slot is slot, and\n"
     "returns its move code. Promotions of one pawn to one piece share a slot; the push is listed\n"
     "before the captures. ValueError if no legal move has the slot."},
    {"move_uci", move_uci, METH_O, "move_uci(code, /)\n--\n\nThe UCI text of a move code."},
    {"move_code", move_code_of, METH_O,
     "move_code(uci, /)\n--\n\nThe move code of UCI text, read as apply() reads it; ValueError if it is not a move."},
    {"restore_game", restore_game, METH_O,
     "restore_game(payload, /)\n--\n\nThe game a pickled SelfPlayGame holds; ValueError for anything else."},
    {nullptr, nullptr, 0, nullptr},
};

const RecordSpec codes_spec = {
    .name = "Codes",
    .doc = "One observation as codes: murkplay_rl.codes.decode turns it into the float observation.",
    .fields = codes_fields,
};

const RecordSpec legal_moves_spec = {
    .name = "LegalMoves",
    .doc = "The legal moves of one game as arrays.",
    .fields = legal_moves_fields,
};

}  // namespace murkplay::python::rl
