// The Python class GameBatch: its construction, its games by index, restarts, pickling and
// settings; the batched calls (step_methods.cpp) are in its method table.
#include "python/rl/batch_object.hpp"

#include <memory>
#include <new>
#include <span>

#include "batch/batch_codec.hpp"
#include "python/conversions.hpp"
#include "python/game_object.hpp"
#include "python/method_table.hpp"
#include "python/rl/arrays.hpp"
#include "python/rl/released.hpp"
#include "python/rl/step_methods.hpp"

namespace murkplay::python::rl {

namespace {

using batch::GameBatch;

// ------------------------------------------------------------------------- construction

bool read_entries(const State& state, PyObject* games, const Game& start, std::vector<batch::Entry>& entries) {
    if (PyLong_Check(games) || PyIndex_Check(games)) {
        std::uint64_t count = 0;
        if (!read_integer(games, "games", 0, PY_SSIZE_T_MAX, count)) return false;
        entries.assign(static_cast<std::size_t>(count), batch::Entry{start, 0, 0, false, true});
        return true;
    }
    Ref items(PySequence_Fast(games, "games must be a count or a sequence of SelfPlayGame objects"));
    if (!items) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    entries.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        Game game;
        if (!check_game(state, item, "games") || !copy_game(item, game)) return false;
        entries.push_back(batch::written_entry(game));
    }
    return true;
}

// Omitted settings keep the defaults. A ply limit above what a game can count is refused.
bool read_settings(PyObject* max_plies, PyObject* seed, PyObject* threads, batch::Settings& settings) {
    std::uint64_t plies = settings.max_plies;
    std::uint64_t threads_value = settings.threads;
    if (!read_integer(max_plies, "max_plies", 0, batch::max_ply_count, plies) ||
        !read_integer(seed, "seed", 0, UINT64_MAX, settings.seed) ||
        !read_integer(threads, "threads", 1, parallel::max_threads, threads_value)) {
        return false;
    }
    settings.max_plies = static_cast<std::uint32_t>(plies);
    settings.threads = static_cast<std::uint32_t>(threads_value);
    return true;
}

PyObject* adopt(PyTypeObject* type, std::unique_ptr<GameBatch> batch) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_batch(self)->batch = batch.release();
    new (&as_batch(self)->borrow) BorrowCounter(0);
    return self;
}

PyObject* batch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"games", "fen", "max_plies", "auto_reset", "seed", "threads", nullptr};
    PyObject* games = nullptr;
    PyObject* fen = nullptr;
    PyObject* max_plies = nullptr;
    PyObject* auto_reset = nullptr;
    PyObject* seed = nullptr;
    PyObject* threads = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOO:GameBatch", const_cast<char**>(keywords), &games, &fen,
                                     &max_plies, &auto_reset, &seed, &threads)) {
        return nullptr;
    }
    batch::Settings settings;
    if (!read_flag(auto_reset, "auto_reset", settings.auto_reset) ||
        !read_settings(max_plies, seed, threads, settings)) {
        return nullptr;
    }
    const State& state = state_of_type(type);
    // More games than memory holds fail as MemoryError, more than a vector can hold at all too.
    return run_held([&]() -> PyObject* {
        Game start;
        std::vector<batch::Entry> entries;
        if (!game_from_position(fen, "fen must be FEN text or a python-chess Board", "Invalid FEN string", start) ||
            !read_entries(state, games, start, entries)) {
            return nullptr;
        }
        return adopt(type, std::make_unique<GameBatch>(std::move(entries), start, settings));
    });
}

void batch_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_batch(self)->batch;
    type->tp_free(self);
    Py_DECREF(type);
}

// ------------------------------------------------------------------------- methods

// A game number as Python indexes sequences: negative counts from the end.
bool game_index(const GameBatch& batch, PyObject* key, std::size_t& out) {
    if (PyBool_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "a game index must be an integer, not bool");
        return false;
    }
    Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return false;
    const auto n = static_cast<Py_ssize_t>(batch.size());
    if (i < 0) i += n;
    if (i < 0 || i >= n) {
        PyErr_SetString(PyExc_IndexError, "game index out of range");
        return false;
    }
    out = static_cast<std::size_t>(i);
    return true;
}

PyObject* reset_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"games", nullptr};
    PyObject* games = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:reset", const_cast<char**>(keywords), &games)) return nullptr;
    return with_batch<Access::Exclusive>(self, [&](GameBatch& batch) -> PyObject* {
        std::vector<std::size_t> chosen;
        if (games == Py_None) {
            for (std::size_t i = 0; i < batch.size(); ++i) chosen.push_back(i);
        } else {
            Ref items(PySequence_Fast(games, "games must be a sequence of game indices or None"));
            if (!items) return nullptr;
            for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(items.get()); ++k) {
                std::size_t i = 0;
                if (!game_index(batch, PySequence_Fast_GET_ITEM(items.get(), k), i)) return nullptr;
                chosen.push_back(i);
            }
        }
        // Every index is checked before any game restarts.
        for (const std::size_t i : chosen) batch.restart(i);
        Py_RETURN_NONE;
    });
}

PyObject* reduce_method(PyObject* self, PyObject*) {
    return with_batch<Access::Shared>(self, [&](const GameBatch& batch) -> PyObject* {
        return run_held([&]() -> PyObject* {
            const std::vector<std::uint8_t> bytes = batch::write_batch_bytes(batch);
            Ref payload(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                  static_cast<Py_ssize_t>(bytes.size())));
            if (!payload) return nullptr;
            Ref restore(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_bytes"));
            if (!restore) return nullptr;
            return Py_BuildValue("O(O)", restore.get(), payload.get());
        });
    });
}

PyObject* from_bytes_method(PyObject* type, PyObject* payload) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(payload, &data, &size) < 0) return nullptr;
    return run_held([&]() -> PyObject* {
        std::optional<GameBatch> batch = batch::read_batch_bytes(
            std::span(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)));
        if (!batch) {
            PyErr_SetString(PyExc_ValueError, "not a pickled GameBatch of this version, or a damaged one");
            return nullptr;
        }
        return adopt(reinterpret_cast<PyTypeObject*>(type), std::make_unique<GameBatch>(std::move(*batch)));
    });
}

Py_ssize_t batch_length(PyObject* self) { return static_cast<Py_ssize_t>(as_batch(self)->batch->size()); }

PyObject* get_game(PyObject* self, PyObject* key) {
    return with_batch<Access::Shared>(self, [&](const GameBatch& batch) -> PyObject* {
        std::size_t i = 0;
        if (!game_index(batch, key, i)) return nullptr;
        return new_game_object(reinterpret_cast<PyTypeObject*>(state_of_type(Py_TYPE(self)).game_type),
                               batch.entry(i).game);
    });
}

int set_game(PyObject* self, PyObject* key, PyObject* value) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "games cannot be deleted from a batch");
        return -1;
    }
    PyObject* done = with_batch<Access::Exclusive>(self, [&](GameBatch& batch) -> PyObject* {
        std::size_t i = 0;
        Game game;
        if (!game_index(batch, key, i) || !check_game(state_of_type(Py_TYPE(self)), value, "value") ||
            !copy_game(value, game)) {
            return nullptr;
        }
        batch.set_game(i, game);
        Py_RETURN_NONE;
    });
    if (done == nullptr) return -1;
    Py_DECREF(done);
    return 0;
}

template <typename Read>
PyObject* read_setting(PyObject* self, Read read) {
    return with_batch<Access::Shared>(self, [&](const GameBatch& batch) { return read(batch.settings()); });
}

PyObject* get_threads(PyObject* self, void*) {
    return read_setting(self, [](const batch::Settings& s) { return PyLong_FromUnsignedLong(s.threads); });
}

int set_threads(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "threads cannot be deleted");
        return -1;
    }
    batch::Settings settings;
    if (!read_settings(nullptr, nullptr, value, settings)) return -1;
    PyObject* done = with_batch<Access::Exclusive>(self, [&](GameBatch& batch) {
        batch.set_threads(settings.threads);
        return Py_NewRef(Py_None);
    });
    if (done == nullptr) return -1;
    Py_DECREF(done);
    return 0;
}

PyObject* get_max_plies(PyObject* self, void*) {
    return read_setting(self, [](const batch::Settings& s) { return PyLong_FromUnsignedLong(s.max_plies); });
}

PyObject* get_auto_reset(PyObject* self, void*) {
    return read_setting(self, [](const batch::Settings& s) { return PyBool_FromLong(s.auto_reset); });
}

PyObject* get_seed(PyObject* self, void*) {
    return read_setting(self, [](const batch::Settings& s) { return PyLong_FromUnsignedLongLong(s.seed); });
}

PyMethodDef batch_methods[] = {
    {"observe", as_table_entry<observe_method>(), METH_VARARGS | METH_KEYWORDS,
     "observe($self, /, *, oracle=False, out=None, codes=False, mask=True)\n--\n\n"
     "Reports on every game as it stands, changing none: a Step whose played_move is NO_MOVE throughout.\n"
     "codes=True reports the observation as codes (codes, ages, shared) instead of floats; mask=False\n"
     "leaves the mask out."},
    {"step", as_table_entry<step_method>(), METH_VARARGS | METH_KEYWORDS,
     "step($self, /, actions=None, *, by='position', oracle=False, observe=True, out=None, reply=None, "
     "temperature=1.0, greedy=False, codes=False, mask=True)\n--\n\n"
     "Plays one move in every game and reports on all of them.\n\n"
     "by='position': actions holds one integer per game, the move's place in that game's list\n"
     "(moves[offsets[i]:offsets[i + 1]] of the last Step, the order of legal_actions_uci()).\n"
     "by='slot': its policy slot, which names the first listed move with that slot (a promotion push\n"
     "before the captures that share its slot).\n"
     "by='logits': actions is a float32 (games, 4352) C-contiguous array; each game's slot is drawn\n"
     "from softmax(logits / temperature) over its legal slots only (greedy=True: the most probable,\n"
     "the first listed among equals), and log_prob and entropy report the draw.\n"
     "by='random', 'greedy' or 'cautious': a built-in agent chooses; actions must be None.\n"
     "reply='random', 'greedy' or 'cautious': every game that played a move and has not ended then\n"
     "plays that agent's reply (reply_move), before the report.\n"
     "Random choices take each game's own stream of the seed, the same for every thread count.\n"
     "Every action is checked before any game changes. With auto_reset, a game that ended at the\n"
     "last step (or was written into the batch finished) restarts instead and its action is not\n"
     "read: the last report's restarting says which.\n"
     "observe=False leaves out the observation and the mask; codes=True gives the observation as codes\n"
     "(codes, ages, shared: about 260 bytes a game instead of 8,960), never building the floats;\n"
     "mask=False leaves out the mask alone."},
    {"step_random", as_table_entry<step_random_method>(), METH_VARARGS | METH_KEYWORDS,
     "step_random($self, /, *, oracle=False, observe=True, out=None, codes=False, mask=True)\n--\n\n"
     "Plays a uniformly random legal move in every game, from each game's own stream of the seed,\n"
     "the same for every thread count. observe, codes and mask as for step()."},
    {"reset", as_table_entry<reset_method>(), METH_VARARGS | METH_KEYWORDS,
     "reset($self, /, games=None)\n--\n\nRestarts the given games (all when None) from the start position."},
    {"__reduce__", reduce_method, METH_NOARGS, nullptr},
    {"_from_bytes", from_bytes_method, METH_O | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef batch_properties[] = {
    {"threads", get_threads, set_threads, "Native threads each call spreads the games over.", nullptr},
    {"max_plies", get_max_plies, nullptr, "Plies after which a game is truncated; 0 for no limit.", nullptr},
    {"auto_reset", get_auto_reset, nullptr, "Whether ended games restart at the next step.", nullptr},
    {"seed", get_seed, nullptr, "The seed of the random moves.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "GameBatch(games, *, fen=None, max_plies=0, auto_reset=False, seed=0, threads=1)\n--\n\n"
                    "Many fog-of-war games held in native memory and stepped together.\n\n"
                    "games is a count of new games, or a sequence of SelfPlayGame objects to copy, fog memories\n"
                    "included. fen is the position new and restarted games start from (the standard start by\n"
                    "default). batch[i] is an independent copy of game i; batch[i] = game writes one back\n"
                    "(with auto_reset, a finished game written restarts at the next step, as Step.restarting\n"
                    "says of every game).")},
    {Py_tp_new, reinterpret_cast<void*>(batch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_methods, batch_methods},
    {Py_tp_getset, batch_properties},
    {Py_mp_length, reinterpret_cast<void*>(batch_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(get_game)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(set_game)},
    {Py_sq_length, reinterpret_cast<void*>(batch_length)},
    {0, nullptr},
};

}  // namespace

bool batch_object(const State& state, PyObject* object, const char* name, BatchObject*& out) {
    if (Py_TYPE(object) != reinterpret_cast<PyTypeObject*>(state.batch_type)) {
        PyErr_Format(PyExc_TypeError, "%s must be a GameBatch, not '%s'", name, Py_TYPE(object)->tp_name);
        return false;
    }
    out = as_batch(object);
    return true;
}

PyType_Spec batch_type_spec = {
    .name = "murkplay_rl.GameBatch",
    .basicsize = static_cast<int>(sizeof(BatchObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = batch_slots,
};

}  // namespace murkplay::python::rl
