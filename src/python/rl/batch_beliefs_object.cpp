// The Python class BatchBeliefs: arguments checked, the interpreter released for the native work.
#include "python/rl/batch_beliefs_object.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "agents/belief_search.hpp"
#include "belief/batch_beliefs.hpp"
#include "encode/move_code.hpp"
#include "python/borrow.hpp"
#include "python/errors.hpp"
#include "python/method_table.hpp"
#include "python/rl/arrays.hpp"
#include "python/rl/batch_object.hpp"
#include "python/rl/belief_arguments.hpp"
#include "python/rl/belief_tracker_object.hpp"
#include "python/rl/released.hpp"
#include "python/rl/state.hpp"

namespace murkplay::python::rl {

namespace {

using batch::GameBatch;
using belief::BatchBeliefs;
using belief::BeliefRefusal;
using belief::BeliefSettings;
using belief::BeliefTracker;

struct BatchBeliefsObject {
    PyObject_HEAD
    BatchBeliefs* beliefs;
    PyObject* batch;  // owned: the GameBatch the beliefs follow
    BorrowCounter borrow;
};

BatchBeliefsObject* as_beliefs(PyObject* self) { return reinterpret_cast<BatchBeliefsObject*>(self); }

// Runs `body` on the beliefs and their batch, the beliefs borrowed with `access`, the batch
// for reading.
template <Access access, typename Body>
PyObject* with_beliefs(PyObject* self, Body&& body) {
    BatchObject* batch = nullptr;
    if (!batch_object(state_of_type(Py_TYPE(self)), as_beliefs(self)->batch, "batch", batch)) return nullptr;
    const BorrowGuard own(as_beliefs(self)->borrow, access);
    if (!own) return nullptr;
    const BorrowGuard batch_guard(batch->borrow, Access::Shared);
    if (!batch_guard) return nullptr;
    return body(*as_beliefs(self)->beliefs, *batch->batch);
}

// The message of a refused batch update or choice, naming the game.
PyObject* beliefs_refusal(const BeliefRefusal& refusal) {
    using Reason = BeliefRefusal::Reason;
    const std::size_t game = refusal.game;
    const unsigned belief = refusal.belief_ply;
    const unsigned now = refusal.game_ply;
    switch (refusal.reason) {
        case Reason::Tracker:
            return PyErr_Format(PyExc_ValueError, "game %zu: %s", game, belief_error_text(refusal.error));
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
    if (!read_integer(threads == Py_None ? nullptr : threads, "threads", 1, parallel::max_threads, count)) return false;
    out = static_cast<std::size_t>(count);
    return true;
}

// Pays, with the interpreter released, what the beliefs owe and can pay at once.
PyObject* catch_up(BatchBeliefs& beliefs, const GameBatch& batch) {
    std::optional<BeliefRefusal> refused;
    const std::size_t threads = batch.settings().threads;
    if (!run_released([&](parallel::Stop& stop) { refused = beliefs.catch_up(batch, threads, stop); })) return nullptr;
    if (refused) return beliefs_refusal(*refused);
    Py_RETURN_NONE;
}

PyObject* beliefs_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"batch", "side", "limit", "seed", nullptr};
    PyObject* batch_argument = nullptr;
    PyObject* side = nullptr;
    PyObject* limit = nullptr;
    PyObject* seed = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OO:BatchBeliefs", const_cast<char**>(keywords), &batch_argument,
                                     &side, &limit, &seed)) {
        return nullptr;
    }
    Color color = Color::White;
    BeliefSettings settings;
    BatchObject* batch = nullptr;
    if (!batch_object(state_of_type(type), batch_argument, "batch", batch) || !read_side(side, color) ||
        !read_belief_settings(limit, seed, settings)) {
        return nullptr;
    }
    const BorrowGuard guard(batch->borrow, Access::Shared);
    if (!guard) return nullptr;
    std::unique_ptr<BatchBeliefs> beliefs;
    const Ref caught_up(run_held([&] {
        beliefs = std::make_unique<BatchBeliefs>(*batch->batch, color, settings);
        return catch_up(*beliefs, *batch->batch);
    }));
    if (!caught_up) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_beliefs(self)->beliefs = beliefs.release();
    as_beliefs(self)->batch = Py_NewRef(batch_argument);
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
        std::optional<BeliefRefusal> refused;
        const bool ran = run_released(
            [&](parallel::Stop& stop) { refused = beliefs.update(batch, codes.data(), thread_count, stop); });
        if (!ran) return nullptr;
        if (refused) return beliefs_refusal(*refused);
        Py_RETURN_NONE;
    });
}

// Parses choose()'s and scores()'s arguments (`format` names the method; scores() has one
// more, `among`, which `among` receives), then runs body(beliefs, batch, search, threads)
// under an exclusive borrow of the beliefs.
template <typename Body>
PyObject* with_search(PyObject* self, PyObject* args, PyObject* kwargs, const char* format, PyObject** among,
                      Body&& body) {
    static const char* keywords[] = {"samples", "depth", "king", "threads", "among", nullptr};
    static const char* without_among[] = {"samples", "depth", "king", "threads", nullptr};
    PyObject* samples_argument = nullptr;
    PyObject* depth_argument = nullptr;
    PyObject* king_argument = nullptr;
    PyObject* threads = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(among ? keywords : without_among),
                                     &samples_argument, &depth_argument, &king_argument, &threads, among)) {
        return nullptr;
    }
    agents::SearchSettings search;
    std::uint64_t samples = search.samples;
    std::uint64_t depth = static_cast<std::uint64_t>(search.depth);
    std::uint64_t king = static_cast<std::uint64_t>(search.king);
    if (!read_integer(samples_argument, "samples", 1, agents::max_search_samples, samples) ||
        !read_integer(depth_argument, "depth", 1, agents::max_search_depth, depth) ||
        !read_integer(king_argument, "king", agents::min_king_score, agents::win_score, king)) {
        return nullptr;
    }
    search = {static_cast<std::size_t>(samples), static_cast<int>(depth), static_cast<int>(king)};
    return with_beliefs<Access::Exclusive>(self, [&](BatchBeliefs& beliefs, const GameBatch& batch) -> PyObject* {
        std::size_t thread_count = 1;
        if (!read_threads(threads, batch, thread_count)) return nullptr;
        return body(beliefs, batch, search, thread_count);
    });
}

PyObject* beliefs_choose(PyObject* self, PyObject* args, PyObject* kwargs) {
    return with_search(self, args, kwargs, "|$OOOO:choose", nullptr,
                       [&](BatchBeliefs& beliefs, const GameBatch& batch, agents::SearchSettings search,
                           std::size_t thread_count) -> PyObject* {
        ArrayView view;
        Ref positions = new_array(Element::Int64, {static_cast<Py_ssize_t>(batch.size())}, view);
        if (!positions) return nullptr;
        std::optional<BeliefRefusal> refused;
        const bool ran = run_released([&](parallel::Stop& stop) {
            refused = agents::belief_moves(beliefs, batch, search, view.data<std::int64_t>(), thread_count, stop);
        });
        if (!ran) return nullptr;
        if (refused) return beliefs_refusal(*refused);
        return positions.release();
    });
}

PyObject* beliefs_scores(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* among = nullptr;
    return with_search(self, args, kwargs, "|$OOOOO:scores", &among,
                       [&](BatchBeliefs& beliefs, const GameBatch& batch, agents::SearchSettings search,
                           std::size_t thread_count) -> PyObject* {
        ArrayView flags;
        if (among != nullptr && among != Py_None &&
            !take_view(among, "among", Element::Byte, {static_cast<Py_ssize_t>(batch.size()), any_length}, false,
                       flags, Use::Read)) {
            return nullptr;
        }
        // Copied while the caller's array is held, as another thread may write it once the search runs.
        std::vector<std::uint8_t> wanted;
        agents::MoveFilter filter;
        if (flags.held()) {
            const auto* given = flags.data<const std::uint8_t>();
            wanted.assign(given, given + flags.length());
            filter = {false, wanted.data(), batch.size() == 0 ? 0 : wanted.size() / batch.size()};
        }
        std::vector<std::size_t> games;
        std::vector<std::vector<double>> scores;
        std::optional<BeliefRefusal> refused;
        const bool ran = run_released([&](parallel::Stop& stop) {
            refused = agents::belief_move_scores(beliefs, batch, search, games, scores, thread_count, stop, filter);
        });
        if (!ran) return nullptr;
        if (refused) return beliefs_refusal(*refused);
        std::size_t width = 0;
        for (const auto& listed : scores) width = std::max(width, listed.size());
        ArrayView view;
        Ref table = new_array(Element::Float32,
                              {static_cast<Py_ssize_t>(batch.size()), static_cast<Py_ssize_t>(width)}, view);
        if (!table) return nullptr;
        float* cells = view.data<float>();
        std::fill(cells, cells + batch.size() * width, std::numeric_limits<float>::quiet_NaN());
        for (std::size_t k = 0; k < games.size(); ++k) {
            std::copy(scores[k].begin(), scores[k].end(), cells + games[k] * width);
        }
        return table.release();
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
        return run_held([&] {
            for (const std::int64_t i : chosen) beliefs.reset(batch, static_cast<std::size_t>(i));
            return catch_up(beliefs, batch);
        });
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
    const BeliefTracker& tracker = as_beliefs(self)->beliefs->tracker(static_cast<std::size_t>(i < 0 ? i + n : i));
    return run_held([&] { return adopt_tracker(type, std::make_unique<BeliefTracker>(tracker)); });
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
     "choose($self, /, *, samples=8, depth=3, king=1000000, threads=None)\n--\n\n"
     "The belief agent's move in every followed game where the side is to move, as an int64\n"
     "(games,) array of positions in each game's list of legal moves (-1 where the side does not\n"
     "move, or its belief does not follow the game): `samples` positions (1 to 64) drawn from the\n"
     "belief, each searched `depth` plies deep (1 to 5) with full sight (material counts, and a\n"
     "king taken or lost: `king` hundredths of a pawn, 100 to 1,000,000, less the plies it took),\n"
     "and the move with the best average score. At the bounds one game's choice takes a\n"
     "few seconds on one core; an interrupt (KeyboardInterrupt) stops it, changing nothing.\n"
     "ValueError naming the game where a belief has not been updated to its game's ply."},
    {"scores", as_table_entry<beliefs_scores>(), METH_VARARGS | METH_KEYWORDS,
     "scores($self, /, *, samples=8, depth=3, king=1000000, threads=None, among=None)\n--\n\n"
     "What choose() weighs: a float32 (games, width) array whose row i holds, for each of game i's\n"
     "legal moves in the order the game lists them, its average score over `samples` positions\n"
     "drawn from the belief, each searched `depth` plies deep with full sight, in hundredths of a\n"
     "pawn for the side (about `king` for a king taken, minus that for its own king lost); NaN\n"
     "past the game's moves and in games where choose() would not act. width is the most moves\n"
     "any such game lists. among: a bool (games, any width) array; when given, only the moves it\n"
     "flags are searched (the others, and any past its width, are NaN), as deeply as asked, on as\n"
     "many samples. The belief's random stream moves on as choose()'s does."},
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

PyType_Spec batch_beliefs_type_spec = {
    .name = "murkplay_rl.BatchBeliefs",
    .basicsize = static_cast<int>(sizeof(BatchBeliefsObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    .slots = beliefs_slots,
};

}  // namespace murkplay::python::rl
