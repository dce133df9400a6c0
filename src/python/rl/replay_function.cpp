#include "python/rl/replay_function.hpp"

#include <algorithm>
#include <array>
#include <new>
#include <string>

#include "batch/game_batch.hpp"
#include "batch/replay.hpp"
#include "python/errors.hpp"
#include "python/method_table.hpp"
#include "python/game_object.hpp"
#include "python/rl/arrays.hpp"
#include "python/rl/records.hpp"
#include "python/rl/released.hpp"
#include "python/rl/state.hpp"
#include "python/conversions.hpp"

namespace murkplay::python::rl {

namespace {

constexpr RecordField replay_fields[] = {
    {"observation", "float32 (plies, 64, 35): what the mover saw before each ply, as encode_flattened"},
    {"mask", "bool (plies, 4352): the slots of the legal moves at each ply"},
    {"slot", "int64 (plies,): the slot of the move played"},
    {"outcome", "float32 (plies,): the game's final value for the side that moved: 1, -1, or 0 if unfinished"},
};

// The start of every game: a game whose record is copied, or a position as SelfPlayGame takes it.
bool read_starts(const State& state, PyObject* starts, std::vector<Game>& out) {
    Ref items(PySequence_Fast(starts, "starts must be a sequence of FEN strings or SelfPlayGame objects"));
    if (!items) return false;
    out.resize(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get())));
    for (std::size_t g = 0; g < out.size(); ++g) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(g));
        if (Py_TYPE(item) == reinterpret_cast<PyTypeObject*>(state.game_type)) {
            if (!copy_game(item, out[g])) return false;
            continue;
        }
        const std::string where = "starts[" + std::to_string(g) + "]: ";
        const std::string refusal = where + "expected FEN text, a python-chess Board or a SelfPlayGame";
        const std::string invalid = where + "Invalid FEN string";
        if (!game_from_position(item, refusal.c_str(), invalid.c_str(), out[g])) return false;
    }
    return true;
}

bool read_offsets(PyObject* object, std::size_t games, std::vector<std::int64_t>& offsets, Extent& extent) {
    if (!read_integers(object, "offsets", static_cast<Py_ssize_t>(games + 1), offsets, &extent)) return false;
    if (offsets[0] != 0) {
        PyErr_SetString(PyExc_ValueError, "offsets: the first offset must be 0");
        return false;
    }
    for (std::size_t g = 0; g < games; ++g) {
        if (offsets[g + 1] < offsets[g]) {
            PyErr_Format(PyExc_ValueError, "offsets[%zu]: offsets must not decrease", g + 1);
            return false;
        }
    }
    return true;
}

bool read_moves(PyObject* object, std::int64_t count, std::vector<MoveCode>& moves, Extent& extent) {
    std::vector<std::int64_t> values;
    if (!read_integers(object, "moves", any_count, values, &extent)) return false;
    if (static_cast<std::int64_t>(values.size()) != count) {
        PyErr_Format(PyExc_ValueError, "moves: the offsets end at %lld, but there are %zu moves",
                     static_cast<long long>(count), values.size());
        return false;
    }
    moves.reserve(values.size());
    for (std::size_t k = 0; k < values.size(); ++k) {
        if (values[k] < 0 || values[k] >= no_move) {
            PyErr_Format(PyExc_ValueError, "moves[%zu]: %lld is not a move code", k, static_cast<long long>(values[k]));
            return false;
        }
        moves.push_back(static_cast<MoveCode>(values[k]));
    }
    return true;
}

PyObject* refused(const batch::ReplayRefusal& refusal) {
    const std::optional<BoardMove> move = move_of_code(refusal.move);
    if (!move) {
        return PyErr_Format(PyExc_ValueError, "game %zu, ply %zu: %u is not a move code", refusal.game, refusal.ply,
                            static_cast<unsigned>(refusal.move));
    }
    const UciText text = format_uci_move(*move);
    return PyErr_Format(PyExc_ValueError, "game %zu, ply %zu: %s is not a legal move there", refusal.game,
                        refusal.ply, text.chars.data());
}

PyObject* replay(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"starts", "moves", "offsets", "oracle", "threads", "out", nullptr};
    PyObject* starts_object = nullptr;
    PyObject* moves_object = nullptr;
    PyObject* offsets_object = nullptr;
    PyObject* oracle_flag = nullptr;
    PyObject* threads_object = nullptr;
    PyObject* out = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$OOO:replay", const_cast<char**>(keywords), &starts_object,
                                     &moves_object, &offsets_object, &oracle_flag, &threads_object, &out)) {
        return nullptr;
    }
    bool oracle = false;
    std::uint64_t threads = 1;
    if (!read_flag(oracle_flag, "oracle", oracle) ||
        !read_integer(threads_object, "threads", 1, batch::max_threads, threads)) {
        return nullptr;
    }
    const State& state = state_of(module);
    try {
        std::vector<Game> starts;
        std::vector<std::int64_t> offsets;
        std::vector<MoveCode> moves;
        std::vector<Extent> extents(2);
        if (!read_starts(state, starts_object, starts) ||
            !read_offsets(offsets_object, starts.size(), offsets, extents[0]) ||
            !read_moves(moves_object, offsets.back(), moves, extents[1])) {
            return nullptr;
        }
        const auto plies = static_cast<Py_ssize_t>(moves.size());
        std::array<Ref, std::size(replay_fields)> given;
        if (!offered_arrays(out, replay_fields, given)) return nullptr;
        struct Spec {
            Element element;
            std::initializer_list<Py_ssize_t> shape;
        };
        const Spec specs[] = {{Element::Float32, {plies, 64, 35}},
                              {Element::Byte, {plies, action_count}},
                              {Element::Int64, {plies}},
                              {Element::Float32, {plies}}};
        std::array<ArrayView, std::size(replay_fields)> views;
        std::array<Ref, std::size(replay_fields)> arrays;
        for (std::size_t f = 0; f < arrays.size(); ++f) {
            const std::string name = std::string("out.") + replay_fields[f].name;
            arrays[f] = output_array(given[f].get(), name.c_str(), specs[f].element, specs[f].shape, views[f], true);
            if (!arrays[f]) return nullptr;
            extents.push_back(views[f].extent());
        }
        if (!check_apart(extents)) return nullptr;
        const batch::ReplayOutputs outputs{views[0].data<float>(), views[1].data<std::uint8_t>(),
                                           views[2].data<std::int64_t>(), views[3].data<float>()};
        // The caller's arrays keep what they held when the replay is refused; new ones are
        // dropped then anyway.
        const bool callers =
            std::any_of(given.begin(), given.end(), [](const Ref& g) { return g && g.get() != Py_None; });
        std::optional<batch::ReplayRefusal> refusal;
        const bool ran = run_released([&](batch::Stop&) {
            batch::ThreadTeam team;
            refusal = batch::replay(starts, moves, offsets, oracle, callers, team, static_cast<std::size_t>(threads),
                                    outputs);
        });
        if (!ran) return nullptr;
        if (refusal) return refused(*refusal);
        return make_record(state.replay_type, arrays).release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace

PyMethodDef replay_functions[] = {
    {"replay", as_table_entry<replay>(), METH_VARARGS | METH_KEYWORDS,
     "replay(starts, moves, offsets, *, oracle=False, threads=1, out=None)\n--\n\n"
     "Plays recorded games again and returns, for every ply, what the mover saw, the legal slots,\n"
     "the slot played and the game's final value for the mover: a Replay of arrays, one row per ply.\n\n"
     "starts holds one FEN text or SelfPlayGame per game; moves the move codes of all games, one\n"
     "after another; offsets (games + 1 of them) where each game's moves begin. The games are played\n"
     "natively, without the interpreter, over `threads` native threads. out may name arrays with\n"
     "more rows than there are plies, kept from call to call; their first rows are returned. A move\n"
     "that is not legal where it is played raises ValueError naming the game and the ply, and leaves\n"
     "the arrays of out as they were: with out, every move is checked before any row is written."},
    {nullptr, nullptr, 0, nullptr},
};

const RecordSpec replay_spec = {
    .name = "Replay",
    .doc = "Recorded games played again: arrays with one row per ply, games one after another.",
    .fields = replay_fields,
};

}  // namespace murkplay::python::rl
