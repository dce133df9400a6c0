// The belief classes: arguments checked, the interpreter released for the native work.
#include "python/rl/belief_object.hpp"

#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "batch/batch_beliefs.hpp"
#include "encode/move_code.hpp"
#include "python/borrow.hpp"
#include "python/errors.hpp"
#include "python/game_object.hpp"
#include "python/method_table.hpp"
#include "python/rl/arrays.hpp"
#include "python/rl/batch_object.hpp"
#include "python/rl/released.hpp"
#include "python/rl/state.hpp"

namespace murkplay::python::rl {

namespace {

using batch::BatchBeliefs;
using batch::BeliefError;
using batch::BeliefSettings;
using batch::BeliefTracker;
using batch::GameBatch;

struct BeliefObject {
    PyObject_HEAD
    BeliefTracker* tracker;
    BorrowCounter borrow;
};

struct BatchBeliefsObject {
    PyObject_HEAD
    BatchBeliefs* beliefs;
    PyObject* batch;  // owned: the GameBatch the beliefs follow
    BorrowCounter borrow;
};

BeliefObject* as_belief(PyObject* self) { return reinterpret_cast<BeliefObject*>(self); }
BatchBeliefsObject* as_beliefs(PyObject* self) { return reinterpret_cast<BatchBeliefsObject*>(self); }

// ------------------------------------------------------------------------- arguments

bool read_side(PyObject* side, Color& out) {
    bool white = true;
    if (!read_flag(side, "side", white)) return false;
    out = white ? Color::White : Color::Black;
    return true;
}

// Omitted arguments keep the defaults.
bool read_belief_settings(PyObject* limit, PyObject* seed, BeliefSettings& out) {
    std::uint64_t kept = out.limit;
    if (!read_integer(limit, "limit", 2, UINT32_MAX, kept) || !read_integer(seed, "seed", 0, UINT64_MAX, out.seed)) {
        return false;
    }
    out.limit = static_cast<std::size_t>(kept);
    return true;
}

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

const char* error_text(BeliefError error) {
    switch (error) {
        case BeliefError::NotItsTurn: return "the tracked side is not to move in this game";
        case BeliefError::GameOver: return "the game is over";
        case BeliefError::MissingMove:
            return "the tracked side has moved since the last update: pass the move it played";
        case BeliefError::UnexpectedMove: return "the tracked side has not moved since the last update: pass no move";
        case BeliefError::IllegalMove: return "the move played is not one of the tracked side's moves";
        case BeliefError::NotItsMove:
            return "the side's pieces in this game do not follow from the move played: another move, the same "
                   "update twice, or another game";
        case BeliefError::Unexplained:
            return "nothing the side can have seen explains this game: the move played or the game is not what "
                   "happened";
        case BeliefError::Stopped: return "the update was stopped";
    }
    return "unknown refusal";
}

// ------------------------------------------------------------------------- BeliefTracker

PyObject* adopt_tracker(PyTypeObject* type, std::unique_ptr<BeliefTracker> tracker) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_belief(self)->tracker = tracker.release();
    new (&as_belief(self)->borrow) BorrowCounter(0);
    return self;
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
    try {
        return adopt_tracker(type, std::make_unique<BeliefTracker>(start, color, settings));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

void belief_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_belief(self)->tracker;
    type->tp_free(self);
    Py_DECREF(type);
}

template <Access access, typename Body>
PyObject* with_tracker(PyObject* self, Body&& body) {
    const BorrowGuard guard(as_belief(self)->borrow, access);
    if (!guard) return nullptr;
    return body(*as_belief(self)->tracker);
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
        if (!run_released([&](batch::Stop& stop) { refused = tracker.update(move, now, stop); })) return nullptr;
        if (refused) return PyErr_Format(PyExc_ValueError, "%s", error_text(*refused));
        Py_RETURN_NONE;
    });
}

PyObject* sample_method(PyObject* self, PyObject* arg) {
    std::uint64_t k = 0;
    if (!read_integer(arg, "k", 0, PY_SSIZE_T_MAX, k)) return nullptr;
    auto* game_type = reinterpret_cast<PyTypeObject*>(state_of_type(Py_TYPE(self)).game_type);
    return with_tracker<Access::Exclusive>(self, [&](BeliefTracker& tracker) -> PyObject* {
        batch::RandomStream random = tracker.random();
        const std::vector<std::size_t> chosen = tracker.sample(static_cast<std::size_t>(k), random);
        tracker.set_random(random);
        Ref games(PyList_New(static_cast<Py_ssize_t>(chosen.size())));
        if (!games) return nullptr;
        for (std::size_t i = 0; i < chosen.size(); ++i) {
            PyObject* game = new_game_object(game_type, tracker.position_game(chosen[i]));
            if (game == nullptr) return nullptr;
            PyList_SET_ITEM(games.get(), static_cast<Py_ssize_t>(i), game);
        }
        return games.release();
    });
}

PyObject* marginals_method(PyObject* self, PyObject*) {
    ArrayView view;
    Ref array = new_array(Element::Float32, {64, batch::marginal_columns}, view);
    if (!array) return nullptr;
    return with_tracker<Access::Shared>(self, [&](BeliefTracker& tracker) -> PyObject* {
        batch::Marginals m;
        if (!run_released([&](batch::Stop&) { m = tracker.marginals(); })) return nullptr;
        float* out = view.data<float>();
        for (int q = 0; q < 64; ++q) {
            for (int c = 0; c < batch::marginal_columns; ++c) {
                out[q * batch::marginal_columns + c] = static_cast<float>(m[q][c]);
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
        if (!run_released([&](batch::Stop&) { kept = tracker.keeps(truth.board); })) return nullptr;
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

// ------------------------------------------------------------------------- BatchBeliefs

// Runs `body` on the beliefs and their batch, the beliefs borrowed with `access`, the batch
// for reading.
template <Access access, typename Body>
PyObject* with_beliefs(PyObject* self, Body&& body) {
    BatchHandle handle;
    if (!batch_handle(state_of_type(Py_TYPE(self)), as_beliefs(self)->batch, "batch", handle)) return nullptr;
    const BorrowGuard own(as_beliefs(self)->borrow, access);
    if (!own) return nullptr;
    const BorrowGuard batch_guard(*handle.borrow, Access::Shared);
    if (!batch_guard) return nullptr;
    return body(*as_beliefs(self)->beliefs, *handle.batch);
}

// The message of a refused batch update or choice, naming the game.
PyObject* beliefs_refusal(const batch::BeliefRefusal& refusal) {
    using Reason = batch::BeliefRefusal::Reason;
    const std::size_t game = refusal.game;
    const unsigned belief = refusal.belief_ply;
    const unsigned now = refusal.game_ply;
    switch (refusal.reason) {
        case Reason::Tracker: return PyErr_Format(PyExc_ValueError, "game %zu: %s", game, error_text(refusal.error));
        case Reason::AlreadyUpdated:
            return PyErr_Format(PyExc_ValueError,
                                "game %zu: its belief already stands at ply %u, where the game is: the same update "
                                "twice",
                                game, now);
        case Reason::MissedUpdates:
            return PyErr_Format(PyExc_ValueError,
                                "game %zu: its belief stands at ply %u, the game at ply %u: an update at one of the "
                                "side's turns was missed",
                                game, belief, now);
        case Reason::Written:
            return PyErr_Format(PyExc_ValueError,
                                "game %zu: the game stands at ply %u, before its belief (ply %u): a game was written "
                                "into the batch since; reset its belief",
                                game, now, belief);
        case Reason::NotUpdated:
            return PyErr_Format(PyExc_ValueError,
                                "game %zu: its belief stands at ply %u, the game at ply %u: update() it first", game,
                                belief, now);
    }
    return internal_failure("unknown refusal");
}

// The threads of a call: the batch's own when None or omitted.
bool read_threads(PyObject* threads, const GameBatch& batch, std::size_t& out) {
    std::uint64_t count = batch.settings().threads;
    if (!read_integer(threads == Py_None ? nullptr : threads, "threads", 1, batch::max_threads, count)) return false;
    out = static_cast<std::size_t>(count);
    return true;
}

// Pays, with the interpreter released, what the beliefs owe and can pay at once.
PyObject* catch_up(BatchBeliefs& beliefs, const GameBatch& batch) {
    std::optional<batch::BeliefRefusal> refused;
    const std::size_t threads = batch.settings().threads;
    if (!run_released([&](batch::Stop& stop) { refused = beliefs.catch_up(batch, threads, stop); })) return nullptr;
    if (refused) return beliefs_refusal(*refused);
    Py_RETURN_NONE;
}

PyObject* beliefs_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"batch", "side", "limit", "seed", nullptr};
    PyObject* batch_object = nullptr;
    PyObject* side = nullptr;
    PyObject* limit = nullptr;
    PyObject* seed = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OO:BatchBeliefs", const_cast<char**>(keywords), &batch_object,
                                     &side, &limit, &seed)) {
        return nullptr;
    }
    Color color = Color::White;
    BeliefSettings settings;
    BatchHandle handle;
    if (!batch_handle(state_of_type(type), batch_object, "batch", handle) || !read_side(side, color) ||
        !read_belief_settings(limit, seed, settings)) {
        return nullptr;
    }
    const BorrowGuard guard(*handle.borrow, Access::Shared);
    if (!guard) return nullptr;
    std::unique_ptr<BatchBeliefs> beliefs;
    try {
        beliefs = std::make_unique<BatchBeliefs>(*handle.batch, color, settings);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    const Ref caught_up(catch_up(*beliefs, *handle.batch));
    if (!caught_up) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_beliefs(self)->beliefs = beliefs.release();
    as_beliefs(self)->batch = Py_NewRef(batch_object);
    new (&as_beliefs(self)->borrow) BorrowCounter(0);
    return self;
}

void beliefs_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete as_beliefs(self)->beliefs;
    Py_CLEAR(as_beliefs(self)->batch);
    type->tp_free(self);
    Py_DECREF(type);
}

int beliefs_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_beliefs(self)->batch);
    return 0;
}

PyObject* beliefs_update(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"played", "threads", nullptr};
    PyObject* played = nullptr;
    PyObject* threads = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$O:update", const_cast<char**>(keywords), &played, &threads)) {
        return nullptr;
    }
    return with_beliefs<Access::Exclusive>(self, [&](BatchBeliefs& beliefs, const GameBatch& batch) -> PyObject* {
        const auto n = static_cast<Py_ssize_t>(batch.size());
        std::vector<std::int64_t> values(static_cast<std::size_t>(n), no_move);
        std::size_t thread_count = 1;
        if ((played != nullptr && played != Py_None && !read_integers(played, "played", n, values)) ||
            !read_threads(threads, batch, thread_count)) {
            return nullptr;
        }
        std::vector<MoveCode> codes(values.size());
        for (std::size_t i = 0; i < values.size(); ++i) {
            const bool in_range = values[i] >= 0 && values[i] < no_move;
            const bool valid = values[i] == no_move || (in_range && move_of_code(static_cast<MoveCode>(values[i])));
            if (!valid) {
                return PyErr_Format(PyExc_ValueError, "played[%zu]: %lld is not a move code or NO_MOVE", i,
                                    static_cast<long long>(values[i]));
            }
            codes[i] = static_cast<MoveCode>(values[i]);
        }
        std::optional<batch::BeliefRefusal> refused;
        const bool ran = run_released(
            [&](batch::Stop& stop) { refused = beliefs.update(batch, codes.data(), thread_count, stop); });
        if (!ran) return nullptr;
        if (refused) return beliefs_refusal(*refused);
        Py_RETURN_NONE;
    });
}

PyObject* beliefs_choose(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"samples", "depth", "threads", nullptr};
    PyObject* samples_argument = nullptr;
    PyObject* depth_argument = nullptr;
    PyObject* threads = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOO:choose", const_cast<char**>(keywords), &samples_argument,
                                     &depth_argument, &threads)) {
        return nullptr;
    }
    batch::SearchSettings search;
    std::uint64_t samples = search.samples;
    std::uint64_t depth = static_cast<std::uint64_t>(search.depth);
    if (!read_integer(samples_argument, "samples", 1, batch::max_search_samples, samples) ||
        !read_integer(depth_argument, "depth", 1, batch::max_search_depth, depth)) {
        return nullptr;
    }
    search = {static_cast<std::size_t>(samples), static_cast<int>(depth)};
    return with_beliefs<Access::Exclusive>(self, [&](BatchBeliefs& beliefs, const GameBatch& batch) -> PyObject* {
        std::size_t thread_count = 1;
        if (!read_threads(threads, batch, thread_count)) return nullptr;
        ArrayView view;
        Ref positions = new_array(Element::Int64, {static_cast<Py_ssize_t>(batch.size())}, view);
        if (!positions) return nullptr;
        std::optional<batch::BeliefRefusal> refused;
        const bool ran = run_released([&](batch::Stop& stop) {
            refused = beliefs.choose(batch, search, view.data<std::int64_t>(), thread_count, stop);
        });
        if (!ran) return nullptr;
        if (refused) return beliefs_refusal(*refused);
        return positions.release();
    });
}

PyObject* beliefs_reset(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"games", nullptr};
    PyObject* games = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:reset", const_cast<char**>(keywords), &games)) return nullptr;
    return with_beliefs<Access::Exclusive>(self, [&](BatchBeliefs& beliefs, const GameBatch& batch) -> PyObject* {
        std::vector<std::int64_t> chosen;
        if (games == nullptr || games == Py_None) {
            for (std::size_t i = 0; i < beliefs.size(); ++i) chosen.push_back(static_cast<std::int64_t>(i));
        } else if (!read_integers(games, "games", any_count, chosen)) {
            return nullptr;
        }
        for (const std::int64_t i : chosen) {
            if (i < 0 || static_cast<std::size_t>(i) >= beliefs.size()) {
                return PyErr_Format(PyExc_IndexError, "game %lld is out of range for %zu games",
                                    static_cast<long long>(i), beliefs.size());
            }
        }
        try {
            for (const std::int64_t i : chosen) beliefs.reset(batch, static_cast<std::size_t>(i));
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
        return catch_up(beliefs, batch);
    });
}

Py_ssize_t beliefs_length(PyObject* self) { return static_cast<Py_ssize_t>(as_beliefs(self)->beliefs->size()); }

PyObject* beliefs_item(PyObject* self, PyObject* key) {
    const Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return nullptr;
    const Py_ssize_t n = beliefs_length(self);
    if (i < -n || i >= n) return PyErr_Format(PyExc_IndexError, "game %zd is out of range for %zd games", i, n);
    auto* type = reinterpret_cast<PyTypeObject*>(state_of_type(Py_TYPE(self)).belief_type);
    const BorrowGuard guard(as_beliefs(self)->borrow, Access::Shared);
    if (!guard) return nullptr;
    try {
        const BeliefTracker& tracker = as_beliefs(self)->beliefs->tracker(static_cast<std::size_t>(i < 0 ? i + n : i));
        return adopt_tracker(type, std::make_unique<BeliefTracker>(tracker));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* beliefs_batch(PyObject* self, void*) { return Py_NewRef(as_beliefs(self)->batch); }

PyObject* beliefs_following(PyObject* self, void*) {
    const BorrowGuard guard(as_beliefs(self)->borrow, Access::Shared);
    if (!guard) return nullptr;
    const BatchBeliefs& beliefs = *as_beliefs(self)->beliefs;
    ArrayView view;
    Ref following = new_array(Element::Byte, {static_cast<Py_ssize_t>(beliefs.size())}, view);
    if (!following) return nullptr;
    for (std::size_t i = 0; i < beliefs.size(); ++i) view.data<std::uint8_t>()[i] = beliefs.following(i);
    return following.release();
}

PyMethodDef beliefs_methods[] = {
    {"update", as_table_entry<beliefs_update>(), METH_VARARGS | METH_KEYWORDS,
     "update($self, /, played=None, *, threads=None)\n--\n\n"
     "Brings the belief of every followed game where the side is to move up to the side's turn.\n"
     "played: uint16 (games,) move codes, each the side's move in that game since the last update,\n"
     "or NO_MOVE (None: NO_MOVE everywhere). Each belief must stand at the side's last turn in its\n"
     "game: an update missed, or the same update twice, is refused. Games that have ended or where\n"
     "the side is not to move are left alone. A game the batch restarted is followed again from\n"
     "its start when its belief can know what happened since (played names the side's move only\n"
     "if the side moved first); otherwise it is not followed until its next restart (following).\n"
     "Every game is checked first and the new beliefs are made apart: a ValueError naming the game,\n"
     "a failure or an interrupt (KeyboardInterrupt) changes nothing. threads: the batch's own when\n"
     "None."},
    {"choose", as_table_entry<beliefs_choose>(), METH_VARARGS | METH_KEYWORDS,
     "choose($self, /, *, samples=8, depth=3, threads=None)\n--\n\n"
     "The belief agent's move in every followed game where the side is to move, as an int64\n"
     "(games,) array of positions in each game's list of legal moves (-1 where the side does not\n"
     "move, or its belief does not follow the game): `samples` positions (1 to 64) drawn from the\n"
     "belief, each searched `depth` plies deep (1 to 5) with full sight (taking a king wins, else\n"
     "material), and the move with the best average score. At the bounds one game's choice takes a\n"
     "few seconds on one core; an interrupt (KeyboardInterrupt) stops it, changing nothing.\n"
     "ValueError naming the game where a belief has not been updated to its game's ply."},
    {"reset", as_table_entry<beliefs_reset>(), METH_VARARGS | METH_KEYWORDS,
     "reset($self, /, games=None)\n--\n\n"
     "Starts the beliefs of the given games (all when None) afresh at each game's known start as it\n"
     "is now: after batch[i] = game, that game, which the side is taken to know as after fen=; a\n"
     "game at ply 1 or 2 that began at the batch's start, from that start, owing the plies since."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef beliefs_properties[] = {
    {"batch", beliefs_batch, nullptr, "The GameBatch the beliefs follow.", nullptr},
    {"following", beliefs_following, nullptr,
     "bool (games,): whether each game's belief follows the game, as of the last update: False where\n"
     "it cannot know the game's past (it joined later than its side's first move, or the game was\n"
     "written into the batch and has moved since).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot beliefs_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "BatchBeliefs(batch, side, *, limit=100000, seed=0)\n--\n\n"
                    "One BeliefTracker per game of a GameBatch, all for one side, updated together on native\n"
                    "threads without the interpreter. beliefs[i] is a copy of game i's tracker.\n\n"
                    "A belief knows only what its side has seen: it starts at each game's known start, never at\n"
                    "its true board. A game at ply 0 is its own known start (a game written into or given to\n"
                    "the batch is taken to be known, as fen= makes the batch's start known). A game at a later\n"
                    "ply that began at the batch's start is followed from that start, owing the plies since:\n"
                    "the opponent's move is enumerated at once (joining Black's turn after 1. e4, its set holds\n"
                    "White's 20 first moves), and the side's own first move, if it moved first, is owed to the\n"
                    "next update. A game whose past it cannot know is not followed (see following).")},
    {Py_tp_new, reinterpret_cast<void*>(beliefs_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(beliefs_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(beliefs_traverse)},
    {Py_tp_methods, beliefs_methods},
    {Py_tp_getset, beliefs_properties},
    {Py_mp_length, reinterpret_cast<void*>(beliefs_length)},
    {Py_sq_length, reinterpret_cast<void*>(beliefs_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(beliefs_item)},
    {0, nullptr},
};

}  // namespace

PyType_Spec belief_type_spec = {
    .name = "murkplay_rl.BeliefTracker",
    .basicsize = static_cast<int>(sizeof(BeliefObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = belief_slots,
};

PyType_Spec batch_beliefs_type_spec = {
    .name = "murkplay_rl.BatchBeliefs",
    .basicsize = static_cast<int>(sizeof(BatchBeliefsObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    .slots = beliefs_slots,
};

}  // namespace murkplay::python::rl
