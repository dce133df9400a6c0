// The Python class BeliefTracker: arguments checked, the interpreter released for the native work.
#include "python/rl/belief_tracker_object.hpp"

#include <optional>
#include <string_view>
#include <vector>

#include "encode/move_code.hpp"
#include "python/borrow.hpp"
#include "python/game_object.hpp"
#include "python/method_table.hpp"
#include "python/rl/arrays.hpp"
#include "python/rl/belief_arguments.hpp"
#include "python/rl/released.hpp"
#include "python/rl/state.hpp"

namespace murkplay::python::rl {

namespace {

using belief::BeliefError;
using belief::BeliefSettings;
using belief::BeliefTracker;

struct BeliefObject {
    PyObject_HEAD
    BeliefTracker* tracker;
    BorrowCounter borrow;
};

BeliefObject* as_belief(PyObject* self) { return reinterpret_cast<BeliefObject*>(self); }

// None, a move code (any integer but a bool, numpy's included, as a Step holds them), or UCI
// text.
bool read_played(PyObject* played, std::optional<BoardMove>& out) {
    out.reset();
    if (played == nullptr || played == Py_None) return true;
    if (!PyBool_Check(played) && PyIndex_Check(played)) {
        const Ref number(PyNumber_Index(played));
        if (!number) return false;
        // Negative values and values beyond 64 bits fail the conversion: out of range either way.
        const unsigned long long code = PyLong_AsUnsignedLongLong(number.get());
        if (code == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
            PyErr_Clear();
        } else if (code < no_move) {
            out = move_of_code(static_cast<MoveCode>(code));
            if (!out) PyErr_Format(PyExc_ValueError, "played: %llu is not a move code", code);
            return out.has_value();
        }
        PyErr_Format(PyExc_ValueError, "played must be a move code from 0 to %d, not %S", no_move - 1, number.get());
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(played) ? PyUnicode_AsUTF8AndSize(played, &size) : nullptr;
    if (text == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_TypeError, "played must be None, a move code or UCI text, not '%s'",
                         Py_TYPE(played)->tp_name);
        }
        return false;
    }
    const Result<BoardMove> move = parse_uci_move(std::string_view(text, static_cast<std::size_t>(size)));
    if (!move) {
        PyErr_Format(PyExc_ValueError, "played: '%s' is not UCI text", text);
        return false;
    }
    out = *move;
    return true;
}

PyObject* belief_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"game", "side", "limit", "seed", nullptr};
    PyObject* game = nullptr;
    PyObject* side = nullptr;
    PyObject* limit = nullptr;
    PyObject* seed = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OO:BeliefTracker", const_cast<char**>(keywords), &game, &side,
                                     &limit, &seed)) {
        return nullptr;
    }
    Color color = Color::White;
    BeliefSettings settings;
    Game start;
    if (!check_game(state_of_type(type), game, "game") || !read_side(side, color) ||
        !read_belief_settings(limit, seed, settings) || !copy_game(game, start)) {
        return nullptr;
    }
    return run_held([&] { return adopt_tracker(type, std::make_unique<BeliefTracker>(start, color, settings)); });
}

void belief_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_belief(self)->tracker;
    type->tp_free(self);
    Py_DECREF(type);
}

// Runs `body` on the tracker under a borrow of the given kind; a refused borrow raises instead.
template <Access access, typename Body>
PyObject* with_tracker(PyObject* self, Body&& body) {
    return with_borrowed<access>(as_belief(self)->borrow, *as_belief(self)->tracker, body);
}

PyObject* update_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"game", "played", nullptr};
    PyObject* game = nullptr;
    PyObject* played = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:update", const_cast<char**>(keywords), &game, &played)) {
        return nullptr;
    }
    std::optional<BoardMove> move;
    Game now;
    if (!check_game(state_of_type(Py_TYPE(self)), game, "game") || !read_played(played, move) ||
        !copy_game(game, now)) {
        return nullptr;
    }
    return with_tracker<Access::Exclusive>(self, [&](BeliefTracker& tracker) -> PyObject* {
        std::optional<BeliefError> refused;
        if (!run_released([&](parallel::Stop& stop) { refused = tracker.update(move, now, stop); })) return nullptr;
        if (refused) return PyErr_Format(PyExc_ValueError, "%s", belief_error_text(*refused));
        Py_RETURN_NONE;
    });
}

PyObject* sample_method(PyObject* self, PyObject* arg) {
    std::uint64_t k = 0;
    if (!read_integer(arg, "k", 0, PY_SSIZE_T_MAX, k)) return nullptr;
    auto* game_type = reinterpret_cast<PyTypeObject*>(state_of_type(Py_TYPE(self)).game_type);
    return with_tracker<Access::Exclusive>(self, [&](BeliefTracker& tracker) {
        return run_held([&]() -> PyObject* {
            belief::RandomStream random = tracker.random();
            const std::vector<std::size_t> chosen = tracker.sample(static_cast<std::size_t>(k), random);
            Ref games(PyList_New(static_cast<Py_ssize_t>(chosen.size())));
            if (!games) return nullptr;
            for (std::size_t i = 0; i < chosen.size(); ++i) {
                PyObject* game = new_game_object(game_type, tracker.position_game(chosen[i]));
                if (game == nullptr) return nullptr;
                PyList_SET_ITEM(games.get(), static_cast<Py_ssize_t>(i), game);
            }
            // The draws are kept with the sample they made.
            tracker.set_random(random);
            return games.release();
        });
    });
}

PyObject* marginals_method(PyObject* self, PyObject*) {
    ArrayView view;
    Ref array = new_array(Element::Float32, {64, belief::marginal_columns}, view);
    if (!array) return nullptr;
    return with_tracker<Access::Shared>(self, [&](BeliefTracker& tracker) -> PyObject* {
        belief::Marginals m;
        if (!run_released([&](parallel::Stop&) { m = tracker.marginals(); })) return nullptr;
        float* out = view.data<float>();
        for (int q = 0; q < 64; ++q) {
            for (int c = 0; c < belief::marginal_columns; ++c) {
                out[q * belief::marginal_columns + c] = static_cast<float>(m[q][c]);
            }
        }
        return array.release();
    });
}

PyObject* keeps_method(PyObject* self, PyObject* game) {
    Game truth;
    if (!check_game(state_of_type(Py_TYPE(self)), game, "game") || !copy_game(game, truth)) return nullptr;
    return with_tracker<Access::Shared>(self, [&](BeliefTracker& tracker) -> PyObject* {
        bool kept = false;
        if (!run_released([&](parallel::Stop&) { kept = tracker.keeps(truth.board); })) return nullptr;
        return PyBool_FromLong(kept);
    });
}

Py_ssize_t belief_length(PyObject* self) {
    const BorrowGuard guard(as_belief(self)->borrow, Access::Shared);
    return guard ? static_cast<Py_ssize_t>(as_belief(self)->tracker->positions().size()) : -1;
}

template <auto read>
PyObject* tracker_property(PyObject* self, void*) {
    return with_tracker<Access::Shared>(self, [](BeliefTracker& tracker) -> PyObject* { return read(tracker); });
}

PyObject* read_side_of(BeliefTracker& t) { return PyBool_FromLong(t.side() == Color::White); }
PyObject* read_size(BeliefTracker& t) { return PyFloat_FromDouble(t.estimated_size()); }
PyObject* read_size_error(BeliefTracker& t) { return PyFloat_FromDouble(t.size_error()); }
PyObject* read_exact(BeliefTracker& t) { return PyBool_FromLong(t.exact()); }
PyObject* read_sampling(BeliefTracker& t) { return PyBool_FromLong(t.sampling()); }
PyObject* read_regenerated(BeliefTracker& t) { return PyBool_FromLong(t.regenerated()); }
PyObject* read_regenerations(BeliefTracker& t) { return PyLong_FromUnsignedLong(t.regenerations()); }
PyObject* read_checked(BeliefTracker& t) { return PyLong_FromUnsignedLongLong(t.candidates_checked()); }

PyMethodDef belief_methods[] = {
    {"update", as_table_entry<update_method>(), METH_VARARGS | METH_KEYWORDS,
     "update($self, /, game, played=None)\n--\n\n"
     "Brings the belief up to the tracked side's turn in `game`. played is the move the side made\n"
     "at its previous turn (UCI text or a move code); None only when it has not moved since the\n"
     "tracker was made. Only the side's own view of the game and its memory are read. ValueError\n"
     "when the side is not to move, the game is over, or the move is missing, unexpected or not\n"
     "the side's."},
    {"sample", sample_method, METH_O,
     "sample($self, k, /)\n--\n\n"
     "Up to k distinct kept positions, uniformly without replacement (all when fewer are kept),\n"
     "as SelfPlayGames: each the candidate's true board with the tracked side's fog memory."},
    {"keeps", keeps_method, METH_O,
     "keeps($self, game, /)\n--\n\n"
     "Whether the game's true position is among the kept ones: for checking a belief against the\n"
     "truth, which the tracked side does not know."},
    {"marginals", marginals_method, METH_NOARGS,
     "marginals($self, /)\n--\n\n"
     "A float32 (64, 13) array: for each square (a1 = 0, b1 = 1, ..., h8 = 63) the share of kept\n"
     "positions with a White pawn to king (columns 0-5), a Black pawn to king (6-11) or nothing (12)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef belief_properties[] = {
    {"side", tracker_property<read_side_of>, nullptr, "True when the belief is White's.", nullptr},
    {"size", tracker_property<read_size>, nullptr,
     "The number of consistent positions: exact while `exact`, else an estimate (see size_error).", nullptr},
    {"size_error", tracker_property<read_size_error>, nullptr,
     "The standard error of `size`: 0.0 while exact, nan after a regeneration.", nullptr},
    {"exact", tracker_property<read_exact>, nullptr, "Whether the kept positions are every consistent one.", nullptr},
    {"sampling", tracker_property<read_sampling>, nullptr,
     "Whether the set has outgrown the limit: the kept positions are a random sample.", nullptr},
    {"regenerated", tracker_property<read_regenerated>, nullptr,
     "Whether the last update found no kept position to explain the view and placed the unseen pieces anew.", nullptr},
    {"regenerations", tracker_property<read_regenerations>, nullptr, "How many updates had to regenerate.", nullptr},
    {"candidates_checked", tracker_property<read_checked>, nullptr,
     "Opponent moves tried, applied and compared with the view, since the tracker began.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot belief_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "BeliefTracker(game, side, *, limit=100000, seed=0)\n--\n\n"
                    "One side's belief about a game's hidden position: every true position consistent with\n"
                    "what the side has seen since `game` (whose true board is the known start). Call\n"
                    "update(game, played) at each of the side's turns. Above `limit` positions it keeps a\n"
                    "uniform random sample of the positions that follow from the kept ones. len() is the\n"
                    "number kept.")},
    {Py_tp_new, reinterpret_cast<void*>(belief_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(belief_dealloc)},
    {Py_tp_methods, belief_methods},
    {Py_tp_getset, belief_properties},
    {Py_sq_length, reinterpret_cast<void*>(belief_length)},
    {0, nullptr},
};

}  // namespace

PyObject* adopt_tracker(PyTypeObject* type, std::unique_ptr<BeliefTracker> tracker) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_belief(self)->tracker = tracker.release();
    new (&as_belief(self)->borrow) BorrowCounter(0);
    return self;
}

PyType_Spec belief_type_spec = {
    .name = "murkplay_rl.BeliefTracker",
    .basicsize = static_cast<int>(sizeof(BeliefObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = belief_slots,
};

}  // namespace murkplay::python::rl
